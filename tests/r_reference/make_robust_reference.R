# Writes tests/r_reference/robust_reference.json: sandwich's heteroskedasticity-consistent and
# cluster-robust covariances of lm, glm and MASS::glm.nb fits, with lmtest's coeftest and
# coefci from them, that tests/test_robust_covariance.py compares tallyfit with.
#
#     Rscript tests/r_reference/make_robust_reference.R      (from the repository root)
#
# Run by hand when a case is added; the tests only read the output (CI has no R).
# Deterministic: a rerun rewrites the same bytes. Numbers are doubles with 17 significant
# digits. Reads the CSVs that make_glm_reference.R and make_r_reference.R wrote to
# tests/r_reference/data (their factors get the levels of R's own data sets, recorded in the
# JSON), and borrows coefficient_names and the JSON writer from those scripts.
#
# The cluster column of a case is not in its formula: clustered by a factor of the model, the
# score sums of that factor's columns vanish and their variances are rounding noise.
# Every case records, on the estimated columns (aliased ones left out, as sandwich does):
#   hc         vcovHC(m, type = t) for t in HC0, HC1, HC2, HC3 (HC2 and HC3 omitted where a
#              prior weight is 0: hatvalues() then drops rows and sandwich recycles them)
#   cluster    vcovCL(m, cluster = g, type = t) for t in HC0, HC1 (cadjust = TRUE), with g
#              the case's cluster column
#   coeftest   coeftest(m, vcov. = ...) with HC1 and with the HC1 clustered covariance:
#              statistics and p-values (t on df.residual for lm, normal for a glm)
#   coefci     coefci(m, vcov. = ..., level = 0.9) with the same two
# Fits use glm.control(epsilon = 1e-14, maxit = 100), a glm refitted once from its estimate
# (the fit tallyfit reports; see make_glm_reference.R).

suppressPackageStartupMessages({
  library(MASS)
  library(sandwich)
  library(lmtest)
})
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
source(file.path(here, "reference_setup.R"))  # locale, data_dir, JSON writers

# ---- data sets -------------------------------------------------------------------------------

factor_levels <- list(
  glm_mtcars = list(),
  glm_trees = list(),
  glm_warpbreaks = lapply(warpbreaks[c("wool", "tension")], levels),
  glm_esoph = lapply(esoph[c("agegp", "alcgp", "tobgp")], levels),
  glm_Insurance = lapply(Insurance[c("District", "Group", "Age")], levels),
  glm_quine = lapply(quine[c("Eth", "Sex", "Age", "Lrn")], levels),
  glm_budworm = list(sex = c("F", "M")),
  birthwt = list(race = c("white", "black", "other")))

read_data <- function(name) {
  d <- read.csv(file.path(data_dir, paste0(name, ".csv")), na.strings = "",
                check.names = FALSE, stringsAsFactors = FALSE, encoding = "UTF-8")
  for (v in names(factor_levels[[name]])) {
    d[[v]] <- factor(as.character(d[[v]]), levels = factor_levels[[name]][[v]])
  }
  d
}

# ---- cases -----------------------------------------------------------------------------------

case <- function(id, kind, data, formula, cluster, family = NA, link = NA, weights = NA,
                 offset = NA) {
  list(id = id, kind = kind, data = data, formula = formula, cluster = cluster,
       family = family, link = link, weights = weights, offset = offset)
}

cases <- list(
  case("lm_mtcars", "lm", "glm_mtcars", "mpg ~ wt + hp", "cyl"),
  case("lm_factor_cluster", "lm", "glm_warpbreaks", "breaks ~ wool", "tension"),
  case("lm_aliased", "lm", "glm_mtcars", "mpg ~ wt + hp + I(wt + hp) + qsec", "gear"),
  case("lm_weights", "lm", "glm_trees", "Volume ~ Girth + Height", "om", weights = "w"),
  case("lm_zero_weights_offset", "lm", "glm_trees", "log(Volume) ~ log(Girth)", "om",
       weights = "w0", offset = "lh"),
  case("poisson_warpbreaks", "glm", "glm_warpbreaks", "breaks ~ wool + tension", "om",
       "poisson"),
  case("poisson_offset", "glm", "glm_Insurance", "Claims ~ Group + Age", "District",
       "poisson", offset = "logH"),
  case("quasipoisson_weights", "glm", "glm_warpbreaks", "breaks ~ wool", "tension",
       "quasipoisson", weights = "w"),
  case("binomial_esoph", "glm", "glm_esoph", "cbind(ncases, ncontrols) ~ agegp + alcgp",
       "tobgp", "binomial"),
  case("binomial_birthwt", "glm", "birthwt", "low ~ lwt + smoke + race", "ftv", "binomial"),
  case("binomial_trials", "glm", "glm_budworm", "prop ~ ldose", "sex", "binomial",
       "probit", weights = "total"),
  case("gamma_inverse", "glm", "glm_mtcars", "mpg ~ wt + hp", "cyl", "Gamma"),
  case("gamma_log_weights", "glm", "glm_mtcars", "mpg ~ wt + hp", "gear", "Gamma", "log",
       weights = "w"),
  case("gaussian_log", "glm", "glm_mtcars", "mpg ~ wt + hp", "cyl", "gaussian", "log"),
  case("negbin_quine", "negbin", "glm_quine", "Days ~ Sex + Eth + Lrn", "Age",
       link = "log"))

# ---- fitting ---------------------------------------------------------------------------------

tight <- glm.control(epsilon = 1e-14, maxit = 100)

fit_call <- function(spec, formula) {
  if (spec$kind == "negbin") {
    call <- list(as.name("glm.nb"), formula = formula, data = quote(d),
                 link = as.name(spec$link))
  } else {
    call <- list(as.name(spec$kind), formula = formula, data = quote(d))
    if (spec$kind == "glm") {
      call$family <- if (is.na(spec$link)) as.name(spec$family) else
        as.call(list(as.name(spec$family), link = spec$link))
    }
  }
  if (!is.na(spec$weights)) call$weights <- as.name(spec$weights)
  if (!is.na(spec$offset)) call$offset <- as.name(spec$offset)
  if (spec$kind != "lm") call$control <- tight
  as.call(call)
}

rows_of <- function(v) lapply(seq_len(nrow(v)), function(i) unname(v[i, ]))

tested <- function(m, v) {
  test <- coeftest(m, vcov. = v)
  interval <- coefci(m, vcov. = v, level = 0.9)
  list(statistics = unname(test[, 3]), p_values = unname(test[, 4]),
       lower = unname(interval[, 1]), upper = unname(interval[, 2]))
}

record <- function(spec) {
  d <- read_data(spec$data)
  formula <- as.formula(spec$formula, env = environment())
  m <- eval(fit_call(spec, formula))
  if (spec$kind == "glm") {
    refit <- fit_call(spec, formula)
    refit$start <- coef(m)
    m <- eval(refit)
  }
  if (spec$kind != "lm" && !m$converged) stop(spec$id, ": did not converge")
  names_of <- coefficient_names(m)
  estimated <- !is.na(coef(m))
  g <- d[[spec$cluster]]
  zero_weights <- !is.na(spec$weights) && any(d[[spec$weights]] == 0)
  types <- if (zero_weights) c("HC0", "HC1") else c("HC0", "HC1", "HC2", "HC3")
  hc <- lapply(setNames(types, types), function(t) rows_of(vcovHC(m, type = t)))
  clustered <- lapply(c(HC0 = "HC0", HC1 = "HC1"),
                      function(t) rows_of(vcovCL(m, cluster = g, type = t)))
  to_json(list(
    id = I(spec$id), kind = I(spec$kind), data = I(paste0(spec$data, ".csv")),
    formula = I(spec$formula),
    family = if (spec$kind == "glm") I(spec$family) else NULL,
    link = if (is.na(spec$link)) NULL else I(spec$link),
    weights = if (is.na(spec$weights)) NULL else I(spec$weights),
    offset = if (is.na(spec$offset)) NULL else I(spec$offset),
    cluster = I(spec$cluster),
    clusters = I(if (is.factor(g)) nlevels(g) else length(unique(g))),
    levels = if (length(factor_levels[[spec$data]])) factor_levels[[spec$data]] else NULL,
    names = names_of$tf, estimated = names_of$tf[estimated],
    estimates = unname(coef(m)[estimated]),
    hc = hc, cluster_vcov = clustered,
    coeftest_hc1 = tested(m, vcovHC(m, type = "HC1")),
    coeftest_cluster = tested(m, vcovCL(m, cluster = g, type = "HC1"))))
}

ids <- vapply(cases, `[[`, "", "id")
stopifnot(!anyDuplicated(ids))
records <- vapply(cases, record, "")
out <- file(file.path(here, "robust_reference.json"), open = "w", encoding = "UTF-8")
writeLines(c(paste0("{\"r_version\": ", json_string(R.version$version.string),
                    ", \"sandwich_version\": ", json_string(as.character(packageVersion("sandwich"))),
                    ", \"cases\": ["),
             paste0(records, c(rep(",", length(records) - 1), "")), "]}"), out)
close(out)
cat(sprintf("%d cases written to %s\n", length(records), file.path(here, "robust_reference.json")))
