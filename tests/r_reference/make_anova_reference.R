# Writes tests/r_reference/anova_reference.json: R's anova and drop1 tables of lm and glm
# fits (sequential tables, comparisons of nested models, single term deletions, with and
# without a test) and the text R prints for each, which tests/test_anova.py compares
# tallyfit with.
#
#     Rscript tests/r_reference/make_anova_reference.R      (from the repository root)
#
# Run by hand when a case is added; the tests only read the output (CI has no R).
# Deterministic: a rerun rewrites the same bytes. Numbers are doubles with 17 significant
# digits, null for NA. The data sets are the CSVs make_glm_reference.R (and, for airquality,
# make_r_reference.R) wrote in tests/r_reference/data, read back with R's factor levels. glm fits use
# glm.control(epsilon = 1e-14, maxit = 100) and are refitted once from their estimate, as
# make_glm_reference.R fits them; the refits of anova and drop1 inherit that control.
# Formulas are written as R deparses them, so that the printed "Response:", "Model:" and
# "Model 1:" lines are the formula texts tallyfit is given.

suppressPackageStartupMessages(library(MASS))
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
source(file.path(here, "reference_setup.R"))  # locale, data_dir, JSON writers
options(useFancyQuotes = TRUE, width = 80, digits = 7, scipen = 0, OutDec = ".")

# ---- data sets: R's levels of every factor ---------------------------------------------------

levels_of <- list(
  glm_warpbreaks = list(wool = levels(warpbreaks$wool), tension = levels(warpbreaks$tension)),
  glm_budworm = list(sex = c("F", "M")),
  glm_quine = list(Eth = levels(quine$Eth), Sex = levels(quine$Sex), Age = levels(quine$Age),
                   Lrn = levels(quine$Lrn)),
  glm_Insurance = list(District = levels(Insurance$District), Group = levels(Insurance$Group),
                       Age = levels(Insurance$Age)),
  glm_mtcars = list(),
  airquality = list(),
  glm_trees = list())
frames <- lapply(names(levels_of), function(name) {
  d <- read.csv(file.path(data_dir, paste0(name, ".csv")), na.strings = "",
                check.names = FALSE, stringsAsFactors = FALSE, encoding = "UTF-8")
  for (v in names(levels_of[[name]])) d[[v]] <- factor(as.character(d[[v]]),
                                                       levels = levels_of[[name]][[v]])
  d
})
names(frames) <- names(levels_of)

# ---- fits --------------------------------------------------------------------------------------

tight <- glm.control(epsilon = 1e-14, maxit = 100)

fit_model <- function(m) {
  d <- frames[[m$data]]
  f <- as.formula(m$formula, env = globalenv())
  w <- if (is.null(m$weights)) NULL else d[[m$weights]]
  o <- if (is.null(m$offset)) NULL else d[[m$offset]]
  if (m$kind == "lm") {
    fit <- eval(bquote(lm(.(f), data = d, weights = .(w), offset = .(o))))
    return(fit)
  }
  family <- get(m$family, mode = "function")(link = m$link)
  fit <- eval(bquote(glm(.(f), family = .(family), data = d, weights = .(w), offset = .(o),
                         control = tight)))
  eval(bquote(glm(.(f), family = .(family), data = d, weights = .(w), offset = .(o),
                  control = tight, start = .(coef(fit)))))
}

# The table's numbers by column (null for NA) with R's row and column names, and the lines
# print.anova writes.
record <- function(table) {
  values <- lapply(seq_along(table), function(j) as.numeric(table[[j]]))
  names(values) <- names(table)
  printed <- capture.output(print(table))
  list(columns = names(table), rows = rownames(table), values = values, printed = printed)
}

lm_model <- function(data, formula, weights = NULL, offset = NULL)
  list(kind = "lm", data = data, formula = formula, weights = weights, offset = offset,
       family = NULL, link = NULL)
glm_model <- function(data, formula, family, link, weights = NULL, offset = NULL)
  list(kind = "glm", data = data, formula = formula, weights = weights, offset = offset,
       family = family, link = link)

cases <- list(
  # The sequential table of one model, R's default test.
  list(id = "lm_warpbreaks_interaction", what = "anova", test = NULL,
       models = list(lm_model("glm_warpbreaks", "breaks ~ wool * tension"))),
  list(id = "lm_mtcars_factors", what = "anova", test = NULL,
       models = list(lm_model("glm_mtcars", "mpg ~ wt * factor(am) + factor(cyl)"))),
  list(id = "lm_weighted", what = "anova", test = NULL,
       models = list(lm_model("glm_warpbreaks", "breaks ~ tension + wool", weights = "w0"))),
  list(id = "lm_no_intercept_offset", what = "anova", test = NULL,
       models = list(lm_model("glm_trees", "Volume ~ Girth + Height - 1", offset = "om"))),
  list(id = "poisson_warpbreaks", what = "anova", test = NULL,
       models = list(glm_model("glm_warpbreaks", "breaks ~ wool * tension", "poisson",
                               "log"))),
  list(id = "poisson_warpbreaks_chisq", what = "anova", test = "Chisq",
       models = list(glm_model("glm_warpbreaks", "breaks ~ wool * tension", "poisson",
                               "log"))),
  list(id = "poisson_insurance_offset", what = "anova", test = "LRT",
       models = list(glm_model("glm_Insurance", "Claims ~ District + Group + Age + offset(logH)",
                               "poisson", "log"))),
  list(id = "binomial_budworm_chisq", what = "anova", test = "Chisq",
       models = list(glm_model("glm_budworm", "cbind(numdead, numalive) ~ sex * ldose",
                               "binomial", "logit"))),
  list(id = "quasipoisson_quine_f", what = "anova", test = "F",
       models = list(glm_model("glm_quine", "Days ~ Eth + Sex + Age + Lrn", "quasipoisson",
                               "log"))),
  list(id = "gamma_trees_f", what = "anova", test = "F",
       models = list(glm_model("glm_trees", "Volume ~ log(Girth) + log(Height)", "Gamma",
                               "log", weights = "w"))),
  list(id = "gaussian_glm_mtcars_f", what = "anova", test = "F",
       models = list(glm_model("glm_mtcars", "mpg ~ wt + factor(cyl)", "gaussian",
                               "identity"))),
  # Aliased columns (a term of no columns left: left out of lm's table), the intercept alone,
  # stateful transforms.
  list(id = "lm_aliased_term", what = "anova", test = NULL,
       models = list(lm_model("glm_mtcars", "mpg ~ wt + I(2 * wt) + hp"))),
  list(id = "drop1_lm_aliased_term", what = "drop1", test = "F",
       models = list(lm_model("glm_mtcars", "mpg ~ wt + I(2 * wt) + hp"))),
  list(id = "lm_intercept_only", what = "anova", test = NULL,
       models = list(lm_model("glm_mtcars", "mpg ~ 1"))),
  list(id = "drop1_lm_intercept_only", what = "drop1", test = NULL,
       models = list(lm_model("glm_mtcars", "mpg ~ 1"))),
  list(id = "poisson_intercept_only", what = "anova", test = NULL,
       models = list(glm_model("glm_mtcars", "carb ~ 1", "poisson", "log"))),
  list(id = "lm_poly", what = "anova", test = NULL,
       models = list(lm_model("glm_mtcars", "mpg ~ poly(hp, 2) + disp:wt"))),
  list(id = "drop1_poisson_poly_chisq", what = "drop1", test = "Chisq",
       models = list(glm_model("glm_mtcars", "carb ~ poly(hp, 2) + wt", "poisson", "log"))),
  # Rows with missing values in some of the variables: every table is of the model's rows.
  list(id = "lm_airquality_missing", what = "anova", test = NULL,
       models = list(lm_model("airquality", "Ozone ~ Solar.R + Wind + Temp"))),
  list(id = "poisson_airquality_missing", what = "anova", test = "Chisq",
       models = list(glm_model("airquality", "Ozone ~ Solar.R + Wind", "poisson", "log"))),
  list(id = "drop1_airquality_missing", what = "drop1", test = "F",
       models = list(lm_model("airquality", "Ozone ~ Solar.R + Wind + Temp"))),
  # Nested models.
  list(id = "lm_nested", what = "anova", test = NULL,
       models = list(lm_model("glm_warpbreaks", "breaks ~ wool"),
                     lm_model("glm_warpbreaks", "breaks ~ wool + tension"),
                     lm_model("glm_warpbreaks", "breaks ~ wool * tension"))),
  list(id = "lm_nested_chisq", what = "anova", test = "Chisq",
       models = list(lm_model("glm_mtcars", "mpg ~ wt + factor(cyl)"),
                     lm_model("glm_mtcars", "mpg ~ wt"))),
  list(id = "lm_nested_weighted", what = "anova", test = "F",
       models = list(lm_model("glm_warpbreaks", "breaks ~ tension", weights = "w"),
                     lm_model("glm_warpbreaks", "breaks ~ tension + wool", weights = "w"))),
  list(id = "poisson_nested", what = "anova", test = NULL,
       models = list(glm_model("glm_warpbreaks", "breaks ~ wool", "poisson", "log"),
                     glm_model("glm_warpbreaks", "breaks ~ wool + tension", "poisson", "log"),
                     glm_model("glm_warpbreaks", "breaks ~ wool * tension", "poisson",
                               "log"))),
  list(id = "poisson_nested_chisq", what = "anova", test = "Chisq",
       models = list(glm_model("glm_warpbreaks", "breaks ~ wool", "poisson", "log"),
                     glm_model("glm_warpbreaks", "breaks ~ wool * tension", "poisson",
                               "log"))),
  list(id = "quasipoisson_nested_f", what = "anova", test = "F",
       models = list(glm_model("glm_quine", "Days ~ Eth + Sex", "quasipoisson", "log"),
                     glm_model("glm_quine", "Days ~ Eth + Sex + Age + Lrn", "quasipoisson",
                               "log"))),
  # Single term deletions.
  list(id = "drop1_lm", what = "drop1", test = NULL,
       models = list(lm_model("glm_mtcars", "mpg ~ wt * factor(am) + factor(cyl)"))),
  list(id = "drop1_lm_f", what = "drop1", test = "F",
       models = list(lm_model("glm_warpbreaks", "breaks ~ wool + tension"))),
  list(id = "drop1_lm_chisq_weighted", what = "drop1", test = "Chisq",
       models = list(lm_model("glm_warpbreaks", "breaks ~ wool + tension", weights = "w0"))),
  list(id = "drop1_lm_interaction_f", what = "drop1", test = "F",
       models = list(lm_model("glm_warpbreaks", "breaks ~ wool * tension"))),
  list(id = "drop1_poisson", what = "drop1", test = NULL,
       models = list(glm_model("glm_Insurance", "Claims ~ District + Group + Age + offset(logH)",
                               "poisson", "log"))),
  list(id = "drop1_poisson_lrt", what = "drop1", test = "LRT",
       models = list(glm_model("glm_warpbreaks", "breaks ~ wool + tension", "poisson",
                               "log"))),
  list(id = "drop1_binomial_chisq", what = "drop1", test = "Chisq",
       models = list(glm_model("glm_budworm", "cbind(numdead, numalive) ~ sex + ldose",
                               "binomial", "logit"))),
  list(id = "drop1_quasipoisson_f", what = "drop1", test = "F",
       models = list(glm_model("glm_quine", "Days ~ Eth + Sex + Age", "quasipoisson",
                               "log"))),
  list(id = "drop1_gamma_lrt", what = "drop1", test = "LRT",
       models = list(glm_model("glm_trees", "Volume ~ log(Girth) + log(Height)", "Gamma",
                               "log"))),
  list(id = "drop1_gaussian_glm", what = "drop1", test = "F",
       models = list(glm_model("glm_mtcars", "mpg ~ wt + factor(cyl)", "gaussian",
                               "identity", weights = "w")))
)

out <- lapply(cases, function(case) {
  fits <- lapply(case$models, fit_model)
  table <- if (case$what == "drop1") {
    if (is.null(case$test)) drop1(fits[[1]]) else drop1(fits[[1]], test = case$test)
  } else {
    call_args <- fits
    if (!is.null(case$test)) call_args$test <- case$test
    do.call(anova, call_args)
  }
  c(list(id = I(case$id), what = I(case$what),
         test = if (is.null(case$test)) NULL else I(case$test),
         models = lapply(case$models, function(m) lapply(m, function(v)
           if (is.null(v)) NULL else I(v))),
         levels = lapply(levels_of[[case$models[[1]]$data]], I)),
    record(table))
})

writeLines(to_json(list(r_version = I(R.version.string), cases = out)),
           file.path(here, "anova_reference.json"), useBytes = TRUE)
