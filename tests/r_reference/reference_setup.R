# What every reference script starts with, sourced after it has found its folder (`here`):
# the C collation of R's level sorting, the data folder, and the JSON writers and R's
# coefficient names defined in make_family_reference.R and make_r_reference.R (their
# assignments only, so those scripts do not run).

invisible(Sys.setlocale("LC_COLLATE", "C"))
data_dir <- file.path(here, "data")

borrow <- function(file, names) {
  for (e in parse(file.path(here, file))) {
    if (is.call(e) && identical(e[[1]], as.name("<-")) && is.name(e[[2]]) &&
        as.character(e[[2]]) %in% names) eval(e, globalenv())
  }
}
borrow("make_family_reference.R", c("json_number", "to_json"))
borrow("make_r_reference.R", c("coefficient_names", "json_string"))  # escapes tabs too
stopifnot(exists("to_json"), exists("json_string"), exists("coefficient_names"))
