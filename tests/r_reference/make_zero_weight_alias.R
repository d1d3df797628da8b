# Writes tests/r_reference/zero_weight_alias.json: glm fits where a design column is zero on
# every row of positive prior weight (a numeric column, and a level seen only on rows of
# weight 0). glm.fit finds the aliased columns on the rows it fits (weights > 0), so R reports
# NA for them and fits the rest; tests/test_glm_reference.py compares tallyfit with it.
#
#     Rscript tests/r_reference/make_zero_weight_alias.R      (from the repository root)
#
# Each case carries its data; the fit is R's with glm.control(epsilon = 1e-14), refitted from
# its estimate as make_glm_reference.R does. Deterministic: a rerun rewrites the same bytes.

args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
source(file.path(here, "reference_setup.R"))  # locale, data_dir, JSON writers

w <- c(1, 2, 1, 1, 3, 1, 2, 1, 1, 2, 0, 0)
data <- list(
  x = c(0.3, 1.1, 1.9, 2.4, 3.2, 3.9, 4.4, 5.1, 5.8, 6.6, 7.1, 7.7),
  z = c(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.5, -0.5),
  g = c("a", "b", "a", "b", "a", "b", "a", "b", "a", "b", "c", "c"),
  count = c(2, 1, 3, 4, 3, 6, 5, 8, 7, 11, 4, 9),
  amount = c(1.2, 0.8, 2.1, 1.7, 2.9, 2.2, 3.8, 3.1, 4.9, 4.0, 2.5, 6.0),
  w = w)
frame <- as.data.frame(data)
frame$g <- factor(frame$g, levels = c("a", "b", "c"))

cases <- list(
  list(id = "poisson_zero_column", formula = "count ~ x + z", family = "poisson", link = "log"),
  list(id = "poisson_zero_level", formula = "count ~ x + g", family = "poisson", link = "log"),
  list(id = "gamma_log_zero_column", formula = "amount ~ x + z", family = "Gamma",
       link = "log"),
  list(id = "gaussian_zero_level", formula = "amount ~ x + g", family = "gaussian",
       link = "identity"))

tight <- glm.control(epsilon = 1e-14, maxit = 100)
results <- lapply(cases, function(spec) {
  family <- get(spec$family)(link = spec$link)
  m <- glm(as.formula(spec$formula), family = family, data = frame, weights = w,
           control = tight)
  m <- glm(as.formula(spec$formula), family = family, data = frame, weights = w,
           control = tight, start = ifelse(is.na(coef(m)), 0, coef(m)))
  s <- summary(m)
  estimates <- coef(m)
  errors <- rep(NA_real_, length(estimates))
  errors[!is.na(estimates)] <- s$coefficients[, 2]
  list(id = I(spec$id), formula = I(spec$formula), family = I(spec$family),
       link = I(spec$link), names = names(estimates), estimates = unname(estimates),
       std_errors = errors, deviance = I(deviance(m)), null_deviance = I(m$null.deviance),
       df_residual = I(df.residual(m)), dispersion = I(s$dispersion), aic = I(AIC(m)))
})

out <- list(data = list(x = data$x, z = data$z, g = data$g, count = data$count,
                        amount = data$amount, w = data$w),
            levels = list(g = c("a", "b", "c")), cases = results)
writeLines(to_json(out), file.path(here, "zero_weight_alias.json"))
