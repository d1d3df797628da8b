# Writes tests/r_reference/trace.json: the lines R prints while it fits, which
# tests/test_progress.py compares tallyfit's `trace=True` output with, line for line.
#
#     Rscript tests/r_reference/make_trace_reference.R      (from the repository root)
#
# glm:     glm(..., control = glm.control(trace = TRUE)) with the default epsilon and maxit;
#          glm.fit's cat() lines ("Deviance = ... Iterations - ...") as captured on stdout;
#          with an offset, the lines of the null model's fit follow.
# glm.nb:  MASS::glm.nb(..., control = glm.control(trace = TRUE)); its message() lines
#          ("Theta(k) = ..., 2(Ls - Lm) = ...") as captured from the conditions.
# cat:     doubles as cat() prints them (the trace's number format), over the range of widths.
# Each case carries its data (columns by name, factors as strings with their levels), so the
# test needs no other file. Deterministic: a rerun rewrites the same bytes.

suppressPackageStartupMessages(library(MASS))
options(digits = 7, OutDec = ".")
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"

json_string <- function(x) {
  x <- gsub("\\", "\\\\", x, fixed = TRUE)
  x <- gsub("\n", "\\n", gsub("\"", "\\\"", x, fixed = TRUE), fixed = TRUE)
  paste0("\"", x, "\"")
}
json_strings <- function(x) paste0("[", paste(vapply(x, json_string, ""), collapse = ", "), "]")
json_column <- function(x) {
  if (is.factor(x)) return(json_strings(as.character(x)))
  paste0("[", paste(sprintf("%.17g", as.double(x)), collapse = ", "), "]")
}
json_object <- function(items) {
  paste0("{", paste0(json_string(names(items)), ": ", unlist(items), collapse = ", "), "}")
}

data_json <- function(frame, used) {
  frame <- frame[used]
  levels <- Filter(Negate(is.null), lapply(frame, function(x) if (is.factor(x)) levels(x)))
  json_object(list(
    columns = json_object(lapply(frame, json_column)),
    levels = if (length(levels)) json_object(lapply(levels, json_strings)) else "{}"))
}

# The lines a fit prints with cat() to stdout and with message() to stderr, in order.
printed <- function(expr) {
  messages <- character()
  out <- capture.output(fit <- withCallingHandlers(expr, message = function(m) {
    messages <<- c(messages, sub("\n$", "", conditionMessage(m)))
    invokeRestart("muffleMessage")
  }))
  list(stdout = out, messages = messages)
}

glm_case <- function(name, formula, family, link, frame) {
  lines <- printed(glm(as.formula(formula), data = frame, family = get(family)(link = link),
                       control = glm.control(trace = TRUE)))
  json_object(list(
    name = json_string(name), kind = json_string("glm"), formula = json_string(formula),
    family = json_string(family), link = json_string(link),
    data = data_json(frame, all.vars(as.formula(formula))),
    stdout = json_strings(lines$stdout), messages = json_strings(lines$messages)))
}

nb_case <- function(name, formula, frame) {
  lines <- printed(glm.nb(as.formula(formula), data = frame,
                          control = glm.control(trace = TRUE)))
  json_object(list(
    name = json_string(name), kind = json_string("glm_nb"), formula = json_string(formula),
    family = json_string("negative.binomial"), link = json_string("log"),
    data = data_json(frame, all.vars(as.formula(formula))),
    stdout = json_strings(lines$stdout), messages = json_strings(lines$messages)))
}

cars <- mtcars
# Days of a school year by row, whose log is an offset: glm then fits the model of the
# intercept alone again for the null deviance, and traces that fit too.
absences <- transform(quine, exposure = rep(c(180, 195, 200, 210), length.out = nrow(quine)))
cases <- c(
  glm_case("warpbreaks poisson", "breaks ~ wool + tension", "poisson", "log", warpbreaks),
  glm_case("mtcars logit", "am ~ hp + wt", "binomial", "logit", cars),
  glm_case("mtcars gamma", "mpg ~ wt + hp", "Gamma", "inverse", cars),
  glm_case("quine poisson with an offset", "Days ~ Eth + Sex + offset(log(exposure))",
           "poisson", "log", absences),
  nb_case("quine negative binomial", "Days ~ Eth + Sex + Age + Lrn", quine))

numbers <- c(218.0257912, 10, 1.234567891e-5, 1e15, 123456789, 1234567.8, 0.1 + 0.2,
             -3.5e-300, 1e5, 1e5 + 0.1, 2 / 3, 1e-4, 123456.7, -0.000123, 99999995, 0.3344894,
             1e-15, 5e100, 12345678, 0.1, -2.5, 1 / 7 * 1e-3, 3e-5, 1234.5678, 6.02214076e23)
printed_numbers <- vapply(numbers, function(x) capture.output(cat(x)), "")
reference <- paste0("{", json_string("r_version"), ": ", json_string(R.version.string), ", ",
                    json_string("cat"), ": ", json_object(list(
                      values = json_column(numbers), printed = json_strings(printed_numbers))),
                    ", ", json_string("cases"), ": [", paste(cases, collapse = ", "), "]}")
writeLines(reference, file.path(here, "trace.json"), useBytes = TRUE)
