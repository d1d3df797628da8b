# Writes tests/r_reference/diagnostics_reference.json: R's residuals of every type, influence
# measures, predictions with se.fit and one-row fit summaries of lm and glm fits, that
# tests/test_diagnostics.py compares tallyfit with.
#
#     Rscript tests/r_reference/make_diagnostics_reference.R      (from the repository root)
#
# Run by hand when a case is added; the tests only read the output (CI has no R).
# Deterministic: a rerun rewrites the same bytes. Numbers are doubles with 17 significant
# digits, null for NA and NaN. Reads the CSVs that make_glm_reference.R wrote to
# tests/r_reference/data (factors get the levels of R's own data sets) and borrows the JSON
# writer from the other scripts.
#
# Every case records
#   residuals    residuals(m, type = t) for t in response, deviance, pearson, working (every
#                fitted row, those of weight 0 included)
#   hat, cooks, rstandard, rstudent
#                hatvalues(m), cooks.distance(m), rstandard(m), rstudent(m) (rows of weight 0
#                left out, as lm.influence does)
#   predict      predict(m, newdata = d, se.fit = TRUE) on the fitting data: fit and se.fit,
#                for a glm on the link and on the response scale
#   glance       the fit's one-row summary, as broom's glance names it (snake_case): for lm
#                nobs, df (summary's F numerator df), r_squared, adj_r_squared, sigma,
#                statistic, p_value, log_likelihood, aic, bic, deviance, df_residual; for a
#                glm nobs, df (df.null - df.residual), null_deviance, df_null,
#                log_likelihood, aic, bic, deviance, df_residual, dispersion
# Fits use glm.control(epsilon = 1e-14, maxit = 100), a glm refitted once from its estimate
# (the fit tallyfit reports; see make_glm_reference.R); MASS::glm.nb's alternation as it is.

suppressPackageStartupMessages(library(MASS))
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
source(file.path(here, "reference_setup.R"))  # locale, data_dir, JSON writers

factor_levels <- list(
  glm_mtcars = list(),
  glm_trees = list(),
  glm_warpbreaks = lapply(warpbreaks[c("wool", "tension")], levels),
  glm_budworm = list(sex = c("F", "M")),
  glm_quine = lapply(quine[c("Eth", "Sex", "Age", "Lrn")], levels))

read_data <- function(name) {
  d <- read.csv(file.path(data_dir, paste0(name, ".csv")), na.strings = "",
                check.names = FALSE, stringsAsFactors = FALSE, encoding = "UTF-8")
  for (v in names(factor_levels[[name]])) {
    d[[v]] <- factor(as.character(d[[v]]), levels = factor_levels[[name]][[v]])
  }
  d
}

case <- function(id, kind, data, formula, family = NA, link = NA, weights = NA) {
  list(id = id, kind = kind, data = data, formula = formula, family = family, link = link,
       weights = weights)
}

cases <- list(
  case("lm_mtcars", "lm", "glm_mtcars", "mpg ~ wt + hp + factor(cyl)"),
  case("lm_weights", "lm", "glm_trees", "Volume ~ Girth + Height", weights = "w"),
  case("lm_zero_weights", "lm", "glm_trees", "log(Volume) ~ log(Girth)", weights = "w0"),
  case("poisson_warpbreaks", "glm", "glm_warpbreaks", "breaks ~ wool + tension", "poisson"),
  case("quasipoisson_weights", "glm", "glm_warpbreaks", "breaks ~ wool * tension",
       "quasipoisson", weights = "w0"),
  case("binomial_trials", "glm", "glm_budworm", "prop ~ sex + ldose", "binomial",
       weights = "total"),
  case("binomial_probit_trials", "glm", "glm_budworm", "prop ~ ldose", "binomial", "probit",
       weights = "total0"),
  case("gamma_inverse", "glm", "glm_mtcars", "mpg ~ wt + hp", "Gamma"),
  case("gamma_log_weights", "glm", "glm_mtcars", "mpg ~ wt + hp", "Gamma", "log",
       weights = "w"),
  case("negbin_quine", "negbin", "glm_quine", "Days ~ Sex + Eth + Lrn", link = "log"))

tight <- glm.control(epsilon = 1e-14, maxit = 100)

fit_call <- function(entry, formula) {
  if (entry$kind == "negbin") {
    call <- list(as.name("glm.nb"), formula = formula, data = quote(d),
                 link = as.name(entry$link), control = tight)
  } else {
    call <- list(as.name(entry$kind), formula = formula, data = quote(d))
  }
  if (entry$kind == "glm") {
    call$family <- if (is.na(entry$link)) as.name(entry$family) else
      as.call(list(as.name(entry$family), link = entry$link))
    call$control <- tight
  }
  if (!is.na(entry$weights)) call$weights <- as.name(entry$weights)
  as.call(call)
}

numbers <- function(x) unname(as.numeric(x))

glance_of <- function(m) {
  ll <- logLik(m)
  if (inherits(m, "glm")) {
    s <- summary(m)
    return(lapply(list(nobs = nobs(m), df = m$df.null - m$df.residual,
                       null_deviance = m$null.deviance, df_null = m$df.null,
                       log_likelihood = as.numeric(ll), aic = AIC(m), bic = BIC(m),
                       deviance = deviance(m), df_residual = df.residual(m),
                       dispersion = s$dispersion), I))
  }
  s <- summary(m)
  f <- s$fstatistic
  lapply(list(nobs = nobs(m), df = unname(f["numdf"]), r_squared = s$r.squared,
              adj_r_squared = s$adj.r.squared, sigma = s$sigma,
              statistic = unname(f["value"]),
              p_value = unname(pf(f["value"], f["numdf"], f["dendf"], lower.tail = FALSE)),
              log_likelihood = as.numeric(ll), aic = AIC(m), bic = BIC(m),
              deviance = deviance(m), df_residual = df.residual(m)), I)
}

record <- function(entry) {
  d <- read_data(entry$data)
  formula <- as.formula(entry$formula, env = environment())
  m <- eval(fit_call(entry, formula))
  if (entry$kind == "glm") {
    refit <- fit_call(entry, formula)
    refit$start <- coef(m)
    m <- eval(refit)
  }
  if (entry$kind != "lm" && !m$converged) stop(entry$id, ": did not converge")
  types <- c("response", "deviance", "pearson", "working")
  resid <- lapply(setNames(types, types), function(t) numbers(residuals(m, type = t)))
  predicted <- if (entry$kind != "lm") {
    link <- predict(m, newdata = d, type = "link", se.fit = TRUE)
    response <- predict(m, newdata = d, type = "response", se.fit = TRUE)
    list(link = list(fit = numbers(link$fit), se = numbers(link$se.fit)),
         response = list(fit = numbers(response$fit), se = numbers(response$se.fit)))
  } else {
    p <- predict(m, newdata = d, se.fit = TRUE)
    list(response = list(fit = numbers(p$fit), se = numbers(p$se.fit)))
  }
  to_json(list(
    id = I(entry$id), kind = I(entry$kind), data = I(paste0(entry$data, ".csv")),
    formula = I(entry$formula),
    family = if (entry$kind == "glm") I(entry$family) else NULL,
    link = if (is.na(entry$link)) NULL else I(entry$link),
    weights = if (is.na(entry$weights)) NULL else I(entry$weights),
    levels = if (length(factor_levels[[entry$data]])) factor_levels[[entry$data]] else NULL,
    residuals = resid, hat = numbers(hatvalues(m)), cooks = numbers(cooks.distance(m)),
    rstandard = numbers(rstandard(m)), rstudent = numbers(rstudent(m)),
    predict = predicted, glance = glance_of(m)))
}

ids <- vapply(cases, `[[`, "", "id")
stopifnot(!anyDuplicated(ids))
records <- vapply(cases, record, "")
out <- file(file.path(here, "diagnostics_reference.json"), open = "w", encoding = "UTF-8")
writeLines(c(paste0("{\"r_version\": ", json_string(R.version$version.string),
                    ", \"cases\": ["),
             paste0(records, c(rep(",", length(records) - 1), "")), "]}"), out)
close(out)
cat(sprintf("%d cases written to %s\n", length(records),
            file.path(here, "diagnostics_reference.json")))
