# Writes tests/r_reference/families.json, R's values for every family and link that
# tests/test_families.py compares tallyfit.families with.
#
#     Rscript tests/r_reference/make_family_reference.R      (from the repository root)
#
# Run by hand when a family or link is added; the tests only read the output (CI has no R).
# Deterministic: a rerun rewrites the same bytes. Numbers are doubles with 17 significant
# digits, null for NA/NaN, "Infinity"/"-Infinity" for infinities.
#
# links:    per make.link link, linkfun on a grid of mu, linkinv and mu.eta on a grid of eta
#           (with R's clamping thresholds inside it), valideta on edge vectors.
# families: per family x link, R's family/link names, variance, dev.resids(y, mu, wt), the
#           deviance, aic(y, n, mu, wt, dev) with n from initialize, validmu on edge vectors,
#           and initialize evaluated as glm.fit does (y, nobs, weights in one environment):
#           the y, weights, n and mustart it leaves, or its error, and its warnings.

options(digits = 7, OutDec = ".")
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"

json_string <- function(x) paste0("\"", gsub("\"", "\\\"", gsub("\\", "\\\\", x, fixed = TRUE),
                                             fixed = TRUE), "\"")
json_number <- function(x) {
  ifelse(is.na(x), "null", ifelse(is.finite(x), sprintf("%.17g", x),
                                  ifelse(x > 0, "\"Infinity\"", "\"-Infinity\"")))
}
# A value as JSON: named lists are objects, unnamed lists arrays, logicals booleans,
# characters strings, numbers arrays of numbers (a scalar wrapped by I() stays a number).
to_json <- function(x) {
  if (is.null(x)) return("null")
  if (is.list(x)) {
    items <- vapply(x, to_json, "")
    if (!is.null(names(x)))
      return(paste0("{", paste0(json_string(names(x)), ": ", items, collapse = ", "), "}"))
    return(paste0("[", paste(items, collapse = ", "), "]"))
  }
  if (is.logical(x) && length(x) == 1) return(if (x) "true" else "false")
  if (is.character(x)) {
    if (length(x) == 1 && inherits(x, "AsIs")) return(json_string(x))
    return(paste0("[", paste(json_string(x), collapse = ", "), "]"))
  }
  if (inherits(x, "AsIs")) return(json_number(unclass(x)))
  paste0("[", paste(json_number(as.vector(x)), collapse = ", "), "]")
}

# ---- links ------------------------------------------------------------------------------------

eta_grid <- c(-1e16, -800, -701, -40, -30.5, -30, -29.5, -10, -8.3, -8, -1, -1e-3, 0, 1e-3,
              0.5, 1, 2, 8, 8.3, 10, 29.5, 30, 30.5, 40, 700, 701, 800, 1e16)
prob_mu <- c(0, 1e-300, 1e-10, 0.01, 0.25, 0.3, 0.5, 0.75, 0.99, 1 - 1e-10, 1)
positive_mu <- c(0, 1e-8, 0.01, 0.5, 1, 2, 10, 1e6)
edge_eta <- list(c(1, 2), c(0, 1), c(-1, 1), c(Inf, 1), c(NaN, 1))

links <- list()
for (name in c("identity", "log", "inverse", "logit", "probit", "cloglog", "cauchit", "sqrt",
               "1/mu^2")) {
  link <- make.link(name)
  mu <- if (name %in% c("logit", "probit", "cloglog", "cauchit")) prob_mu else positive_mu
  links[[name]] <- list(
    mu = mu, linkfun = suppressWarnings(link$linkfun(mu)),
    eta = eta_grid, linkinv = suppressWarnings(link$linkinv(eta_grid)),
    mu_eta = suppressWarnings(link$mu.eta(eta_grid)),
    valideta = lapply(edge_eta, function(e) list(eta = e, value = link$valideta(e))))
}

# ---- families -----------------------------------------------------------------------------------

family_links <- list(
  binomial = c("logit", "probit", "cloglog", "cauchit", "log"),
  quasibinomial = c("logit", "probit", "cloglog", "cauchit", "log"),
  poisson = c("log", "identity", "sqrt"),
  quasipoisson = c("log", "identity", "sqrt"),
  Gamma = c("inverse", "identity", "log"),
  inverse.gaussian = c("1/mu^2", "inverse", "identity", "log"),
  gaussian = c("identity", "log", "inverse"))

# Cases of y, prior weights and mu per kind of response. Binomial y are proportions whose
# successes weights * y are whole (except in "fractional"), or a two-column count matrix.
prob_cases <- list(
  zero_one = list(y = c(0, 1, 1, 0, 1, 0), wt = rep(1, 6),
                  mu = c(0.1, 0.9, 0.999, 1e-6, 0.6, 0.4)),
  proportions = list(y = c(0, 1, 0.25, 0.5, 1, 0, 0.75, 1 / 3), wt = c(1, 1, 4, 2, 3, 5, 4, 3),
                     mu = c(0.1, 0.9, 0.3, 0.5, 0.999, 1e-6, 0.6, 0.4)),
  zero_weight = list(y = c(0.5, 1, 0, 0.25), wt = c(0, 2, 1, 4), mu = c(0.2, 0.7, 0.3, 0.25)),
  fractional = list(y = c(0.3, 0.5, 0.9), wt = c(1, 1, 2), mu = c(0.35, 0.45, 0.8)),
  counts = list(y = cbind(c(3, 0, 5, 2, 0), c(1, 4, 0, 2, 0)), wt = c(1, 2, 1, 1, 1),
                mu = c(0.7, 0.1, 0.95, 0.5, 0.3)),
  out_of_range = list(y = c(0, 1.5, 1), wt = c(1, 1, 1), mu = c(0.2, 0.5, 0.5)))
count_cases <- list(
  counts = list(y = c(0, 1, 2, 5, 10, 3, 0, 7), wt = c(1, 2, 1, 0.5, 3, 1, 2, 1),
                mu = c(0.5, 1.2, 2, 4, 12, 2.5, 1e-3, 7.5)),
  unit = list(y = c(0, 0, 1, 4, 20, 150), wt = rep(1, 6), mu = c(0.2, 1e-9, 1.5, 4, 18, 149)),
  negative = list(y = c(1, -1, 2), wt = c(1, 1, 1), mu = c(1, 1, 1)))
positive_cases <- list(
  positive = list(y = c(0.5, 1.2, 2, 4, 10, 3.3, 0.1, 7), wt = c(1, 2, 1, 0.5, 3, 1, 2, 1),
                  mu = c(0.6, 1, 2.5, 3.5, 12, 3.3, 0.2, 6)),
  unit = list(y = c(0.05, 0.8, 1.5, 30, 2), wt = rep(1, 5), mu = c(0.1, 0.75, 1.6, 25, 2.2)),
  zero = list(y = c(1, 0, 2), wt = c(1, 1, 1), mu = c(1, 1, 1)))
real_cases <- list(
  real = list(y = c(-1.5, 0.3, 2, 4, 10, 3.3, 0.1, 7), wt = c(1, 2, 1, 0.5, 3, 1, 2, 1),
              mu = c(-1, 0.5, 2.5, 3.5, 12, 3.3, 0.2, 6)),
  positive = positive_cases$positive, zero = positive_cases$zero)
cases_of <- list(binomial = prob_cases, quasibinomial = prob_cases, poisson = count_cases,
                 quasipoisson = count_cases, Gamma = positive_cases,
                 inverse.gaussian = positive_cases, gaussian = real_cases)
edge_mu <- list(c(0.5, 0.2), c(0, 0.5), c(1, 0.5), c(Inf, 0.5), c(-1, 2), c(2, 3))

# initialize as glm.fit evaluates it; its y, weights, n and mustart, or its error message.
initialized <- function(family, y, weights) {
  env <- list2env(list(y = y, nobs = NROW(y), weights = weights, etastart = NULL,
                       mustart = NULL, start = NULL, family = family))
  found <- character()
  error <- tryCatch(withCallingHandlers(
    { eval(family$initialize, env); NULL },
    warning = function(w) { found <<- c(found, conditionMessage(w)); invokeRestart("muffleWarning") }),
    error = function(e) conditionMessage(e))
  out <- list(warnings = if (length(found)) found else list())
  if (!is.null(error)) return(c(out, list(error = I(error))))
  c(out, list(y = as.vector(env$y), weights = env$weights, n = env$n, mustart = env$mustart))
}

families <- list()
for (fname in names(family_links)) {
  for (lname in family_links[[fname]]) {
    family <- get(fname)(link = lname)
    cases <- list()
    for (cname in names(cases_of[[fname]])) {
      case <- cases_of[[fname]][[cname]]
      start <- initialized(family, case$y, case$wt)
      entry <- list(name = I(cname), y_given = as.vector(case$y), ncol = I(NCOL(case$y)),
                    wt_given = case$wt, mu = case$mu, initialize = start)
      if (is.null(start$error)) {
        dev_resids <- family$dev.resids(start$y, case$mu, start$weights)
        dev <- sum(dev_resids)
        aic <- suppressWarnings(family$aic(start$y, start$n, case$mu, start$weights, dev))
        w <- start$weights
        null_mu <- sum(w * start$y) / sum(w)  # glm.fit's null model with an intercept
        entry <- c(entry, list(variance = family$variance(case$mu), dev_resids = dev_resids,
                               deviance = I(dev), aic = I(as.numeric(aic)),
                               null_deviance = I(sum(family$dev.resids(start$y, null_mu, w))),
                               null_deviance_no_intercept = I(suppressWarnings(
                                 sum(family$dev.resids(start$y, family$linkinv(0), w))))))
      }
      cases[[length(cases) + 1]] <- entry
    }
    families[[length(families) + 1]] <- list(
      family = I(family$family), link = I(family$link),
      default_link = I(get(fname)()$link),
      validmu = lapply(edge_mu, function(m) list(mu = m, value = family$validmu(m))),
      cases = cases)
  }
}

# glm's warnings for fitted values on the boundary: a separated binomial fit and a Poisson fit
# with a zero rate, each also as its quasi family (glm.fit does not warn for those).
boundary_fit <- function(family, y, x) {
  found <- character()
  # A tiny epsilon runs the loop on until the fitted values reach the boundary.
  fit <- withCallingHandlers(glm(y ~ x, family = family,
                                 control = glm.control(epsilon = 1e-30, maxit = 60)),
    warning = function(w) { found <<- c(found, conditionMessage(w)); invokeRestart("muffleWarning") })
  list(family = I(family$family), mu = unname(fitted(fit)),
       warnings = if (length(found)) found else list())
}
separated <- list(y = c(0, 0, 0, 1, 1, 1), x = c(1, 2, 3, 4, 5, 6))
zero_rate <- list(y = c(0, 0, 0, 2, 3, 4), x = c(0, 0, 0, 1, 1, 1))
overlapping <- list(y = c(0, 1, 0, 1, 1, 0), x = c(1, 2, 3, 4, 5, 6))
boundary <- list(
  boundary_fit(binomial(), separated$y, separated$x),
  boundary_fit(quasibinomial(), separated$y, separated$x),
  boundary_fit(binomial(), overlapping$y, overlapping$x),
  boundary_fit(poisson(), zero_rate$y, zero_rate$x),
  boundary_fit(quasipoisson(), zero_rate$y, zero_rate$x),
  boundary_fit(poisson(), c(1, 3, 2, 5, 4, 6), separated$x))

out <- list(r_version = I(R.version$version.string), links = links, families = families,
            boundary = boundary)
writeLines(to_json(out), file.path(here, "families.json"))
