# Writes tests/r_reference/gaussian_glm.json, which tests/test_families.py compares
# tf.glm(..., family = "gaussian") and the families' functions with.
#
#     Rscript tests/r_reference/make_gaussian_glm.R      (from the repository root)
#
# Reads the CSVs of tests/r_reference/data (written by make_r_reference.R). Per model: R's
# glm(family = gaussian) numbers (doubles with 17 significant digits) and print(summary(m))
# with the tallyfit names ("v_l" for level l of factor v) as row names, the Call as
# glm(formula = ..., family = gaussian) and without R 4.2's "Deviance Residuals:" block (R 4.3
# no longer prints it). Then R's binomial() and gaussian() functions at fixed arguments.
# Deterministic: a rerun rewrites the same bytes.

invisible(Sys.setlocale("LC_COLLATE", "C"))
here <- "tests/r_reference"
num <- function(x) ifelse(is.na(x), "null", sprintf("%.17g", x))
str_ <- function(x) paste0("\"", gsub("\"", "\\\"", gsub("\\", "\\\\", x, fixed = TRUE),
                                      fixed = TRUE), "\"")
arr <- function(items) paste0("[", paste(items, collapse = ", "), "]")
obj <- function(fields, indent = "  ") {
  paste0("{\n", paste0(indent, "  ", str_(names(fields)), ": ", unlist(fields),
                       collapse = ",\n"), "\n", indent, "}")
}

models <- list(
  list("plantgrowth", "PlantGrowth", "weight ~ group"),
  list("toothgrowth", "ToothGrowth", "len ~ supp + dose"),
  list("lifecycle", "LifeCycleSavings", "sr ~ pop15 + pop75 + dpi + ddpi"),
  list("lifecycle_no_intercept", "LifeCycleSavings", "sr ~ pop15 + dpi - 1"),
  list("airquality_missing", "airquality", "Ozone ~ Solar.R + Wind + Temp")
)

record <- function(spec) {
  d <- read.csv(file.path(here, "data", paste0(spec[[2]], ".csv")), stringsAsFactors = TRUE)
  m <- glm(as.formula(spec[[3]]), family = gaussian, data = d)
  m$call <- as.call(list(as.name("glm"), formula = str2lang(spec[[3]]),
                         family = as.name("gaussian")))
  s <- summary(m)
  names_tf <- names(coef(m))
  for (v in names(m$xlevels)) {
    for (l in m$xlevels[[v]]) names_tf[names_tf == paste0(v, l)] <- paste0(v, "_", l)
  }
  shown <- s
  rownames(shown$coefficients) <- names_tf
  names(shown$aliased) <- names_tf
  printed <- capture.output(print(shown))
  start <- match("Deviance Residuals: ", printed)
  if (!is.na(start)) {
    end <- which(printed == "")
    end <- min(end[end > start])
    printed <- printed[-(start:end)]
  }
  obj(list(
    id = str_(spec[[1]]), data = str_(paste0(spec[[2]], ".csv")), formula = str_(spec[[3]]),
    names = arr(str_(names_tf)),
    estimates = arr(num(s$coefficients[, 1])), std_errors = arr(num(s$coefficients[, 2])),
    statistics = arr(num(s$coefficients[, 3])), p_values = arr(num(s$coefficients[, 4])),
    dispersion = num(s$dispersion), deviance = num(deviance(m)),
    null_deviance = num(m$null.deviance), df_null = num(m$df.null),
    df_resid = num(m$df.residual), aic = num(AIC(m)), bic = num(BIC(m)),
    log_likelihood = num(as.numeric(logLik(m))), iterations = num(m$iter),
    nobs = num(nobs(m)), printed = arr(str_(printed))), "    ")
}

y <- c(0, 1, 1, 0, 1)
mu <- c(0.2, 0.9, 0.5, 1e-12, 0.999)
yg <- c(1.5, -0.3, 2.2, 0.7, 4.1)
mug <- c(1.2, 0.1, 2.0, 1.1, 3.3)
families <- obj(list(
  y = arr(num(y)), mu = arr(num(mu)), y_gaussian = arr(num(yg)), mu_gaussian = arr(num(mug)),
  binomial_dev_resids = arr(num(binomial()$dev.resids(y, mu, rep(1, 5)))),
  binomial_variance = arr(num(binomial()$variance(mu))),
  binomial_linkfun = arr(num(binomial()$linkfun(mu))),
  binomial_mu_eta = arr(num(binomial()$mu.eta(c(-40, -2, 0, 3, 40)))),
  binomial_aic = num(binomial()$aic(y, rep(1, 5), mu, rep(1, 5),
                                    sum(binomial()$dev.resids(y, mu, rep(1, 5))))),
  gaussian_dev_resids = arr(num(gaussian()$dev.resids(yg, mug, rep(1, 5)))),
  gaussian_aic = num(gaussian()$aic(yg, rep(1, 5), mug, rep(1, 5),
                                    sum(gaussian()$dev.resids(yg, mug, rep(1, 5))))),
  binomial_mustart = arr(num((y + 0.5) / 2)),
  eta = arr(num(c(-40, -2, 0, 3, 40)))))

text <- paste0("{\n  \"r_version\": ", str_(R.version.string), ",\n  \"models\": [\n",
               paste0("    ", sapply(models, record), collapse = ",\n"),
               "\n  ],\n  \"families\": ", families, "\n}\n")
writeLines(text, file.path(here, "gaussian_glm.json"), sep = "")
