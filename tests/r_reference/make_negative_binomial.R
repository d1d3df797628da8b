# Writes tests/r_reference/negative_binomial.json and tests/r_reference/data/quine.csv: R's
# values that tests/test_negative_binomial.py compares tallyfit's negative binomial family,
# theta_ml and glm_nb with.
#
#     Rscript tests/r_reference/make_negative_binomial.R      (from the repository root)
#
# Data: MASS::quine (Venables & Ripley, MASS 4th ed., Quine's absence from school in
# Walgett, NSW), with two columns added here for the weighted fit: `w`, prior weights
# cycling 1, 2, 0.5, 3, 1.5 with row 7 given weight 0, and `exposure`, school days cycling
# 180, 195, 200, 210 (its log is the offset).
# families:  negative.binomial(theta, link)'s name, variance, dev.resids, aic, validmu,
#            linkfun/linkinv and initialize, for several theta and the three links.
# theta_ml:  MASS::theta.ml on fixed (y, mu, weights) vectors, with its warnings.
# models:    glm.nb fits, control = glm.control(epsilon = 1e-14, maxit = 100), and one
#            stopped at maxit = 2.
# Deterministic: a rerun rewrites the same bytes (17 significant digits, null for NA).

suppressPackageStartupMessages(library(MASS))
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
# Named lists are objects, unnamed lists arrays, logicals booleans, characters strings,
# numbers arrays of numbers (a scalar wrapped by I() stays a scalar).
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
    if (length(x) == 0) return("[]")
    if (length(x) == 1 && inherits(x, "AsIs")) return(json_string(x))
    return(paste0("[", paste(json_string(x), collapse = ", "), "]"))
  }
  if (inherits(x, "AsIs")) return(json_number(unclass(x)))
  paste0("[", paste(json_number(as.vector(x)), collapse = ", "), "]")
}
# The value of `expr` and the messages of the warnings it raised.
with_warnings <- function(expr) {
  caught <- character()
  value <- withCallingHandlers(expr, warning = function(w) {
    caught <<- c(caught, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  list(value = value, warnings = caught)
}

# ---- data --------------------------------------------------------------------------------------

quine <- MASS::quine
n_rows <- nrow(quine)
quine$w <- rep(c(1, 2, 0.5, 3, 1.5), length.out = n_rows)
quine$w[7] <- 0
quine$exposure <- rep(c(180, 195, 200, 210), length.out = n_rows)
data_path <- file.path(here, "data", "quine.csv")
write.csv(quine, data_path, row.names = FALSE, fileEncoding = "UTF-8")
levels_of <- lapply(Filter(is.factor, quine), levels)
back <- read.csv(data_path, stringsAsFactors = FALSE)
for (v in names(levels_of)) back[[v]] <- factor(back[[v]], levels = levels_of[[v]])
stopifnot(isTRUE(all.equal(back, quine, tolerance = 0)))
quine <- back

# ---- the family --------------------------------------------------------------------------------

y <- c(0, 0, 1, 2, 3, 5, 8, 13, 40, 0.5)
mu <- c(0.2, 1.5, 1, 2.5, 3, 0.7, 10, 13, 25, 0.5)
wt <- c(1, 2, 0.5, 1, 3, 1, 1, 0, 2, 1)
eta <- c(0.1, 0.5, 1, 2, 3.5)
families <- list()
for (theta in c(0.35, 1.5979907, 7, 250)) {
  for (link in c("log", "sqrt", "identity")) {
    fam <- negative.binomial(theta, link = link)
    dev <- sum(fam$dev.resids(y, mu, wt))
    # initialize as glm.fit evaluates it, in an environment of y, nobs and weights.
    start <- list2env(list(y = y, nobs = length(y), weights = rep(1, length(y))))
    eval(fam$initialize, start)
    families[[length(families) + 1]] <- list(
      theta = I(theta), link = I(link), family = I(fam$family), link_name = I(fam$link),
      y = y, mu = mu, wt = wt, variance = fam$variance(mu),
      dev_resids = fam$dev.resids(y, mu, wt), deviance = I(dev),
      aic = I(fam$aic(y, rep(1, length(y)), mu, wt, dev)),
      mustart = start$mustart, eta = eta, linkfun = fam$linkfun(mu), linkinv = fam$linkinv(eta),
      mu_eta = fam$mu.eta(eta),
      validmu = lapply(list(c(1, 2), c(0, 1), c(-1, 2), c(1e-300, 5)),
                       function(m) list(mu = m, value = fam$validmu(m))))
  }
}
names_theta <- c(1.5979907, 2, 1e5, 123456, 123456.78912, 1e-5, 1.234e-4, 12345678, 0.1 + 0.2,
                 1e-6, 0.33333333, 1e15, 99999.99996, 10.00004, 0.00005)
family_names <- lapply(names_theta, function(t)
  list(theta = I(t), name = I(negative.binomial(t)$family)))
negative_y <- tryCatch({
  eval(negative.binomial(1)$initialize, list2env(list(y = c(1, -1), nobs = 2))); NULL
}, error = function(e) conditionMessage(e))

# ---- theta.ml ----------------------------------------------------------------------------------

poisson_fit <- glm(Days ~ Eth + Sex + Age + Lrn, data = quine, family = poisson)
theta_cases <- list(
  list(id = "quine-poisson-mu", y = quine$Days, mu = fitted(poisson_fit), weights = NULL,
       limit = 10),
  list(id = "quine-weighted", y = quine$Days, mu = fitted(poisson_fit), weights = quine$w,
       limit = 25),
  list(id = "quine-limit-3", y = quine$Days, mu = fitted(poisson_fit), weights = NULL,
       limit = 3),
  list(id = "small-overdispersed", y = c(0, 0, 1, 7, 2, 15, 0, 3), mu = rep(3.5, 8),
       weights = NULL, limit = 25),
  list(id = "near-poisson", y = c(2, 3, 4, 3, 2, 4, 3, 3, 5, 1), mu = rep(3, 10),
       weights = NULL, limit = 25))
theta_ml_cases <- lapply(theta_cases, function(case) {
  fitted <- with_warnings(if (is.null(case$weights)) {
    theta.ml(case$y, case$mu, limit = case$limit)
  } else {
    theta.ml(case$y, case$mu, sum(case$weights), case$weights, limit = case$limit)
  })
  list(id = I(case$id), y = case$y, mu = unname(case$mu), weights = case$weights,
       limit = I(case$limit), theta = I(as.vector(fitted$value)),
       se = I(attr(fitted$value, "SE")), warnings = fitted$warnings)
})

# ---- glm.nb fits -------------------------------------------------------------------------------

control <- glm.control(epsilon = 1e-14, maxit = 100)
specs <- list(
  list(id = "quine-full", formula = "Days ~ Sex/(Age + Eth*Lrn)", link = "log",
       weights = NULL, offset = NULL),
  list(id = "quine-simple", formula = "Days ~ Eth + Lrn", link = "log",
       weights = NULL, offset = NULL),
  list(id = "quine-weighted-offset", formula = "Days ~ Eth + Sex + Lrn", link = "log",
       weights = "w", offset = "exposure"),
  list(id = "quine-sqrt", formula = "Days ~ Eth + Sex + Age", link = "sqrt",
       weights = NULL, offset = NULL),
  # Stopped by the limits: theta.ml's iteration limit and glm.nb's alternation limit.
  list(id = "quine-simple-maxit-2", formula = "Days ~ Eth + Lrn", link = "log",
       weights = NULL, offset = NULL, epsilon = 1e-8, maxit = 2))
# tallyfit's name of an R coefficient: each factor's level joined to its name by "_"
# ("SexF:AgeF1" is "Sex_F:Age_F1").
tallyfit_name <- function(name, xlevels) {
  parts <- strsplit(name, ":", fixed = TRUE)[[1]]
  paste(vapply(parts, function(part) {
    for (v in names(xlevels))
      if (startsWith(part, v) && substring(part, nchar(v) + 1) %in% xlevels[[v]])
        return(paste0(v, "_", substring(part, nchar(v) + 1)))
    part
  }, ""), collapse = ":")
}

models <- lapply(specs, function(spec) {
  data <- quine
  data$.w <- if (is.null(spec$weights)) rep(1, n_rows) else data[[spec$weights]]
  control <- if (is.null(spec$maxit)) control else glm.control(epsilon = spec$epsilon,
                                                                 maxit = spec$maxit)
  # glm.nb takes its link unevaluated, as a name. An offset is given only where the case has
  # one: with any offset, even zeros, glm.nb refits the null model for its null deviance.
  call <- bquote(glm.nb(.(as.formula(spec$formula)), data = data, weights = .w,
                        link = .(as.name(spec$link)), control = control))
  if (!is.null(spec$offset)) {
    data$.offset <- log(data[[spec$offset]])
    call$offset <- quote(.offset)
  }
  fit <- with_warnings(eval(call))
  m <- fit$value
  table <- coef(summary(m))
  coefficients <- lapply(rownames(table), function(name) list(
    name = I(name), tallyfit_name = I(tallyfit_name(name, m$xlevels)), estimate = I(table[name, 1]), std_error = I(table[name, 2]),
    statistic = I(table[name, 3]), p_value = I(table[name, 4])))
  log_lik <- logLik(m)
  list(id = I(spec$id), data = I("quine.csv"), formula = I(spec$formula), link = I(spec$link),
       weights = if (is.null(spec$weights)) NULL else I(spec$weights),
       offset = if (is.null(spec$offset)) NULL else I(spec$offset),
       levels = levels_of, family = I(m$family$family), coefficients = coefficients,
       theta = I(m$theta), se_theta = I(m$SE.theta), twologlik = I(m$twologlik),
       init_theta = I(m$call$init.theta), aic = I(AIC(m)), bic = I(BIC(m)),
       log_likelihood = I(as.vector(log_lik)), deviance = I(m$deviance),
       null_deviance = I(m$null.deviance), df_residual = I(m$df.residual),
       df_null = I(m$df.null), rank = I(m$rank), iterations = I(m$iter),
       epsilon = I(control$epsilon), maxit = I(control$maxit),
       theta_warning = if (is.null(m$th.warn)) NULL else I(m$th.warn),
       fitted_values = unname(fitted(m)), warnings = fit$warnings)
})

reference <- list(
  r_version = I(R.version.string), mass_version = I(as.character(packageVersion("MASS"))),
  families = families, names = family_names, negative_y_error = I(negative_y),
  theta_ml = theta_ml_cases, models = models)
writeLines(to_json(reference), file.path(here, "negative_binomial.json"), useBytes = TRUE)
