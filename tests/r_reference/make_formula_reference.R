# Writes tests/r_reference/formulas.json, R's reference for tallyfit's formula language
# (tests/test_formula_language.py reads it; CI has no R).
#
#     Rscript tests/r_reference/make_formula_reference.R      (from the repository root)
#
# Per fit: the data set (a CSV of tests/r_reference/data, read with read.csv, so strings are
# factors with sorted levels, as tallyfit sorts them), the formula, lm or binomial glm, R's
# coefficient names in order and R's coefficients, standard errors, t/z values and p-values,
# and predictions on new rows: the first rows of the data, then rows where every numeric
# column is 10% of its range below its minimum or above its maximum (beyond the range every
# stateful transform learned). Per formula of `term_cases`: R's term labels and intercept.
# R 4.2.2 with splines; deterministic.

suppressPackageStartupMessages(library(splines))
options(digits = 7, scipen = 0, OutDec = ".")
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
read <- function(name) read.csv(file.path(here, "data", paste0(name, ".csv")),
                                stringsAsFactors = TRUE)

fits <- list(
  list("mtcars", "mpg ~ log(wt)", "lm"),
  list("mtcars", "mpg ~ I(wt^2)", "lm"),
  list("mtcars", "mpg ~ factor(cyl)", "lm"),
  list("mtcars", "mpg ~ factor(cyl) * wt", "lm"),
  list("mtcars", "mpg ~ poly(wt, 2)", "lm"),
  list("mtcars", "mpg ~ poly(wt, 3) + hp", "lm"),
  list("mtcars", "mpg ~ poly(wt, 2, raw = TRUE)", "lm"),
  list("mtcars", "mpg ~ scale(hp) + wt", "lm"),
  list("mtcars", "mpg ~ ns(wt, df = 3)", "lm"),
  list("mtcars", "mpg ~ (wt + hp + qsec)^2", "lm"),
  list("mtcars", "mpg ~ wt * hp * qsec", "lm"),
  list("mtcars", "mpg ~ wt * hp * qsec - wt:hp", "lm"),
  list("mtcars", "mpg ~ .", "lm"),
  list("mtcars", "mpg ~ . - disp - carb", "lm"),
  list("mtcars", "log(mpg) ~ wt + hp", "lm"),
  list("mtcars", "mpg ~ log(hp + 1) + I(log(wt)^2)", "lm"),
  list("mtcars", "mpg ~ poly(log(wt), 2)", "lm"),
  list("mtcars", "mpg ~ sqrt(disp) + exp(-wt) + log10(hp) + log2(qsec) + abs(drat - 3.5)", "lm"),
  list("mtcars", "mpg ~ log(disp, 2) + log1p(hp)", "lm"),
  list("mtcars", "mpg ~ I((wt - 3)^2) + I(-hp/100) + I(2 * qsec)", "lm"),
  list("Boston", "medv ~ bs(lstat, df = 5, degree = 2)", "lm"),
  list("Boston", "medv ~ ns(lstat, df = 4) + bs(rm, df = 4) + crim", "lm"),
  list("warpbreaks", "breaks ~ wool/tension", "lm"),
  list("warpbreaks", "breaks ~ wool + tension %in% wool", "lm"),
  list("warpbreaks", "breaks ~ tension %in% wool", "lm"),
  list("warpbreaks", "breaks ~ wool:tension + wool", "lm"),
  list("warpbreaks", "breaks ~ (wool + tension)/wool", "lm"),
  list("warpbreaks", "breaks ~ C(tension, contr.sum)", "lm"),
  list("warpbreaks", "breaks ~ C(tension, contr.sum) * wool", "lm"),
  list("warpbreaks", "breaks ~ C(tension, contr.sum) - 1", "lm"),
  list("warpbreaks", "breaks ~ C(tension, contr.helmert) + wool", "lm"),
  list("warpbreaks", "breaks ~ C(tension, contr.treatment, base = 2)", "lm"),
  list("warpbreaks", "breaks ~ relevel(tension, ref = \"M\") + wool", "lm"),
  list("airquality", "Ozone ~ poly(Temp, 2) + Wind + Solar.R", "lm"),
  list("airquality", "Ozone ~ scale(Temp) + ns(Wind, df = 2) + Solar.R", "lm"),
  list("Pima.tr", "type ~ log(bmi) + poly(glu, 2) + ns(age, df = 3)", "binomial"),
  list("infert", "case ~ bs(age, df = 4) + factor(parity) + spontaneous", "binomial")
)

term_cases <- c(
  "y ~ a + b", "y ~ a*b*c", "y ~ (a + b + c)^2", "y ~ (a + b + c)^3 - a:b:c", "y ~ a/b",
  "y ~ (a + b)/c", "y ~ a/(b + c)", "y ~ b %in% a", "y ~ a + b %in% a", "y ~ (a + b) %in% c",
  "y ~ a %in% (b + c)", "y ~ a:(b + c)", "y ~ a*b - a:b", "y ~ a*b - a", "y ~ b:a + a",
  "y ~ a:b + c + a", "y ~ -1 + a", "y ~ a + 0", "y ~ a - 1 + 1", "y ~ 0 + a*b",
  "y ~ a*(b + c) - 1", "y ~ x^2", "y ~ (a + b)^2 - a", "y ~ a - a", "y ~ 1", "y ~ 0",
  "y ~ a + `b c`", "y ~ -a + b", "y ~ a + offset(w) + b", "y ~ log(x) + log(x)",
  "y ~ I(x^2) + log(x + 1) + poly(x, 2) + ns(x, df = 3) + bs(x, df = 5, degree = 2)",
  "y ~ C(f, contr.treatment, base = 2) + I(-x) + I(x - 1) + log(x, 2) + I(2 * x/3)",
  "y ~ I((x + 1)^2) + I(1e+05 * x) + I(0.5 * x) + I(x^-1) + I(-(x)) + I(1e5*x) + I(x^2.0)",
  "log(y) ~ x*f", "cbind(s, f) ~ x", "y ~ a*f:g", "y ~ (a + b):(c + d)", "y ~ a:b:c + a*b",
  "y ~ ((a + b))^2", "y ~ a*b*c*d - a:b:c:d", "y ~ poly(log(x), 2):f"
)

# ---- JSON ------------------------------------------------------------------------------------
js <- function(x) {
  if (is.null(x)) return("null")
  if (is.list(x)) {
    if (!is.null(names(x)))
      return(paste0("{", paste0(vapply(names(x), js, ""), ": ", vapply(x, js, ""),
                            collapse = ", "), "}"))
    return(paste0("[", paste(vapply(x, js, ""), collapse = ", "), "]"))
  }
  if (is.character(x) && length(x) == 1 && is.null(names(x))) {
    x <- gsub("\\", "\\\\", x, fixed = TRUE); x <- gsub("\"", "\\\"", x, fixed = TRUE)
    return(paste0("\"", x, "\""))
  }
  if (is.character(x) || is.factor(x))
    return(paste0("[", paste(vapply(as.character(x), function(v)
      if (is.na(v)) "null" else js(v), ""), collapse = ", "), "]"))
  if (is.logical(x) && length(x) == 1) return(if (is.na(x)) "null" else tolower(x))
  values <- ifelse(is.na(x), "null", sprintf("%.17g", as.double(x)))
  paste0("[", paste(values, collapse = ", "), "]")
}

# ---- fits --------------------------------------------------------------------------------------
beyond <- function(d) {
  rows <- d[stats::complete.cases(d), , drop = FALSE][1:6, , drop = FALSE]
  for (name in names(d)) {
    if (is.numeric(d[[name]]) && length(unique(d[[name]])) > 8) {  # not factor(x) codes
      low <- min(d[[name]], na.rm = TRUE); high <- max(d[[name]], na.rm = TRUE)
      step <- 0.1 * (high - low)
      rows[[name]][5] <- low - step
      rows[[name]][6] <- high + step
    }
  }
  rows
}

cases <- lapply(fits, function(case) {
  data <- read(case[[1]])
  formula <- as.formula(case[[2]])
  model <- if (case[[3]] == "lm") lm(formula, data) else
    suppressWarnings(glm(formula, binomial, data, control = glm.control(epsilon = 1e-14,
                                                                           maxit = 100)))
  table <- coef(summary(model))
  new <- beyond(data)
  # Rows beyond the range of a transform's domain (log of a negative) are not predicted.
  prediction <- suppressWarnings(if (case[[3]] == "lm") predict(model, new) else
    predict(model, new, type = "link"))
  columns <- lapply(new, function(column) if (is.factor(column)) as.list(as.character(column))
                    else column)
  list(dataset = case[[1]], formula = case[[2]], model = case[[3]],
       names = as.list(rownames(table)), estimates = unname(table[, 1]),
       std_errors = unname(table[, 2]), statistics = unname(table[, 3]),
       p_values = unname(table[, 4]), nobs = nobs(model),
       new_data = columns, predictions = unname(prediction))
})

terms_out <- lapply(term_cases, function(text) {
  tt <- terms(as.formula(text))
  labels <- attr(tt, "term.labels")
  offsets <- attr(tt, "offset")
  list(formula = text, labels = as.list(labels), intercept = attr(tt, "intercept") == 1,
       response = if (attr(tt, "response")) deparse(as.formula(text)[[2]]) else NULL,
       offsets = as.list(if (is.null(offsets)) character(0) else
         vapply(offsets, function(i) deparse(attr(tt, "variables")[[i + 1]][[2]]), "")))
})

dot_data <- data.frame(y = 1, a = 1, b = 2, c = 3)
dot_cases <- lapply(c("y ~ .", "log(y) ~ . - a", "y ~ .^2", "y ~ a*.", "a ~ . + log(y)"),
                    function(text) list(formula = text, columns = as.list(names(dot_data)),
  labels = as.list(attr(terms(as.formula(text), data = dot_data), "term.labels"))))

body <- paste0(
  "{\n\"fits\": [\n", paste(vapply(cases, js, ""), collapse = ",\n"), "\n],\n",
  "\"terms\": [\n", paste(vapply(terms_out, js, ""), collapse = ",\n"), "\n],\n",
  "\"dot\": [\n", paste(vapply(dot_cases, js, ""), collapse = ",\n"), "\n]\n}\n")
writeLines(body, file.path(here, "formulas.json"), useBytes = TRUE)
