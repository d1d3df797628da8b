# Writes tests/r_reference/plot_reference.json: what R's plot.lm draws in its panels for a few
# lm and glm fits, that tests/test_plots.py compares the matplotlib figures of model.plot with.
#
#     Rscript tests/r_reference/make_plot_reference.R      (from the repository root)
#
# Run by hand when a case is added; the tests only read the output (CI has no R).
# Deterministic: a rerun rewrites the same bytes. Numbers are doubles with 17 significant
# digits, null for NA and NaN. Reads the CSVs of tests/r_reference/data (their row names are
# R's default "1", "2", ..., which plot.lm labels the points with) and borrows the JSON writer
# from the other scripts.
#
# Every case records, with the rules of stats:::plot.lm (read it with print(stats:::plot.lm)):
#   sub_caption  the model's call as plot.lm deparses it (function and formula only)
#   captions     plot.lm's default panel captions, and the axis labels it chooses
#   panels       for which = 1, 2, 3, 4, 5: the points (x, y), the labelled rows (labels and
#                their points), the lowess curve panel.smooth draws through them (lowess(x, y,
#                f = 2/3, iter = 3 for lm, 0 for a glm), points with a non-finite coordinate
#                left out) and, for 2, qqline's intercept and slope through the quartiles; for
#                5 the x range R's axis spans (par("usr")) and the Cook's distance contours
#                at levels 0.5 and 1 (the curve sqrt(level p (1 - h) / h) over the h R draws)
#   lowess       R's lowess of awkward inputs (ties, a tiny span, duplicated x, robustness
#                weights that vanish), for the smoother on its own
# Rows of prior weight 0 are left out of every panel, as plot.lm does. glm fits use
# glm.control(epsilon = 1e-14, maxit = 100), refitted once from their estimate (the fit
# tallyfit reports; see make_glm_reference.R).

args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
source(file.path(here, "reference_setup.R"))  # locale, data_dir, JSON writers

factor_levels <- list(
  glm_warpbreaks = lapply(warpbreaks[c("wool", "tension")], levels),
  airquality = list())

read_data <- function(name, rows) {
  d <- read.csv(file.path(data_dir, paste0(name, ".csv")), na.strings = "",
                check.names = FALSE, stringsAsFactors = FALSE, encoding = "UTF-8")
  for (v in names(factor_levels[[name]])) {
    d[[v]] <- factor(as.character(d[[v]]), levels = factor_levels[[name]][[v]])
  }
  if (!is.na(rows)) d <- d[seq_len(rows), , drop = FALSE]
  d
}

case <- function(id, kind, data, formula, family = NA, weights = NA, rows = NA) {
  list(id = id, kind = kind, data = data, formula = formula, family = family,
       weights = weights, rows = rows)
}

cases <- list(
  case("lm_mtcars", "lm", "mtcars", "mpg ~ wt + hp"),
  case("poisson_warpbreaks", "glm", "glm_warpbreaks", "breaks ~ wool + tension", "poisson"),
  # Rows of weight 0 (left out of the panels) and a Gamma glm of a non-canonical link.
  case("lm_zero_weights", "lm", "glm_trees", "log(Volume) ~ log(Girth)", weights = "w0"),
  case("gamma_zero_weights", "glm", "glm_warpbreaks", "breaks ~ wool * tension", "Gamma",
       weights = "w0"),
  # Rows dropped for a missing value keep their row names.
  case("lm_missing", "lm", "airquality", "Ozone ~ Solar.R + Wind"),
  # Ten rows or fewer: ppoints takes a = 3/8.
  case("lm_few_rows", "lm", "mtcars", "mpg ~ wt", rows = 8))

tight <- glm.control(epsilon = 1e-14, maxit = 100)

fit_call <- function(entry, formula) {
  call <- list(as.name(entry$kind), formula = formula, data = quote(d))
  if (entry$kind == "glm") {
    call$family <- as.name(entry$family)
    call$control <- tight
  }
  if (!is.na(entry$weights)) call$weights <- as.name(entry$weights)
  as.call(call)
}

numbers <- function(x) unname(as.numeric(x))

# The curve panel.smooth draws through the points.
smooth <- function(x, y, iter) {
  ok <- is.finite(x) & is.finite(y)
  l <- lowess(x[ok], y[ok], f = 2/3, iter = iter)
  list(x = numbers(l$x), y = numbers(l$y))
}

# The x range of the axes of panel `which` as R draws it.
usr_of <- function(m, which) {
  pdf(NULL)
  on.exit(dev.off())
  plot(m, which = which)
  par("usr")
}

record <- function(entry) {
  d <- read_data(entry$data, entry$rows)
  formula <- as.formula(entry$formula, env = environment())
  m <- eval(fit_call(entry, formula))
  if (entry$kind == "glm") {
    refit <- fit_call(entry, formula)
    refit$start <- coef(m)
    m <- eval(refit)
    if (!m$converged) stop(entry$id, ": did not converge")
  }
  # Every rule below is plot.lm's, in its own order.
  is_glm <- inherits(m, "glm")
  r <- if (is_glm) residuals(m, type = "pearson") else residuals(m)
  yh <- predict(m)
  labels_id <- names(residuals(m))
  w <- weights(m)
  if (!is.null(w)) {
    wind <- w != 0
    r <- r[wind]; yh <- yh[wind]; w <- w[wind]; labels_id <- labels_id[wind]
  }
  s <- if (is_glm) sqrt(summary(m)$dispersion) else sqrt(deviance(m) / df.residual(m))
  infl <- influence(m, do.coef = FALSE)
  hii <- infl$hat
  cook <- cooks.distance(m, infl)
  rs <- if (is_glm) rstandard(m, type = "pearson") else
    (if (is.null(w)) r else sqrt(w) * r) / (s * sqrt(1 - hii))
  rs[hii >= 1] <- NaN
  iter <- if (is_glm) 0 else 3
  id <- 1:3
  show_r <- sort.list(abs(r), decreasing = TRUE)[id]
  show_rs <- sort.list(abs(rs), decreasing = TRUE)[id]
  labelled <- function(x, y, ind) list(labels = labels_id[ind], x = numbers(x[ind]),
                                       y = numbers(y[ind]))

  qq <- qqnorm(rs, plot.it = FALSE)
  quartiles <- quantile(rs, c(0.25, 0.75), names = FALSE, type = 7, na.rm = TRUE)
  slope <- diff(quartiles) / diff(qnorm(c(0.25, 0.75)))
  sqrtabsr <- sqrt(abs(rs))

  xx <- hii
  xx[xx >= 1] <- NA
  show_cook <- order(-cook)[id]
  usr <- usr_of(m, 5)
  r_hat <- range(hii, na.rm = TRUE)
  hh <- seq.int(min(r_hat[1L], r_hat[2L] / 100), usr[2L], length.out = 101)
  p <- m$rank
  contours <- lapply(c(0.5, 1), function(level) list(
    level = I(level), h = hh, y = sqrt(level * p * (1 - hh) / hh)))

  ylab <- if (is_glm) "Std. Pearson resid." else "Standardized residuals"
  l_fit <- if (is_glm) "Predicted values" else "Fitted values"
  captions <- eval(formals(stats:::plot.lm)$caption)

  cal <- m$call
  cal <- cal[c(1, match("formula", names(cal)))]
  names(cal)[2L] <- ""
  sub_caption <- deparse(cal, 80)[1L]

  to_json(list(
    id = I(entry$id), kind = I(entry$kind), data = I(paste0(entry$data, ".csv")),
    formula = I(entry$formula),
    family = if (is_glm) I(entry$family) else NULL,
    weights = if (is.na(entry$weights)) NULL else I(entry$weights),
    rows = if (is.na(entry$rows)) NULL else I(entry$rows),
    levels = if (length(factor_levels[[entry$data]])) factor_levels[[entry$data]] else NULL,
    sub_caption = I(sub_caption),
    captions = unlist(captions[1:5]),
    labels = list(fitted = I(l_fit), residuals = I("Residuals"),
                  standardized = I(ylab), quantiles = I("Theoretical Quantiles"),
                  leverage = I("Leverage"), cook = I("Cook's distance"),
                  observation = I("Obs. number")),
    panels = list(
      "1" = list(x = numbers(yh), y = numbers(r), smooth = smooth(yh, r, iter),
                 labelled = labelled(yh, r, show_r)),
      "2" = list(x = numbers(qq$x), y = numbers(qq$y), labelled = labelled(qq$x, qq$y, show_rs),
                 intercept = I(quartiles[1L] - slope * qnorm(0.25)), slope = I(slope)),
      "3" = list(x = numbers(yh), y = numbers(sqrtabsr), smooth = smooth(yh, sqrtabsr, iter),
                 labelled = labelled(yh, sqrtabsr, show_rs)),
      "4" = list(x = seq_along(cook), y = numbers(cook),
                 labelled = labelled(seq_along(cook), cook, show_cook)),
      "5" = list(x = numbers(xx), y = numbers(rs), smooth = smooth(xx, rs, iter),
                 labelled = labelled(xx, rs, show_cook), usr = numbers(usr[1:2]),
                 rank = I(p), contours = contours))))
}

lowess_cases <- list(
  list(id = "ties", x = c(1, 1, 1, 2, 2, 3, 4, 4, 5, 6, 6, 6, 7, 8, 9, 9, 10),
       y = c(3, 1, 2, 5, 4, 4, 6, 8, 7, 9, 12, 10, 11, 15, 13, 14, 20), f = 2/3, iter = 3),
  list(id = "small_span", x = c(5, 3, 9, 1, 7, 2, 8, 4, 6, 10, 11, 12),
       y = c(2, 8, 1, 9, 3, 7, 2, 6, 40, 1, 0, 5), f = 0.1, iter = 3),
  list(id = "outlier_no_iterations", x = c(1:15), y = c(1:14, 100), f = 2/3, iter = 0),
  list(id = "exact_line", x = c(1:10), y = 2 * (1:10) + 1, f = 2/3, iter = 3),
  list(id = "one_x", x = rep(4, 6), y = c(1, 5, 2, 8, 3, 3), f = 2/3, iter = 3))

lowess_record <- function(entry) {
  l <- lowess(entry$x, entry$y, f = entry$f, iter = entry$iter)
  to_json(list(id = I(entry$id), x = entry$x, y = entry$y, f = I(entry$f),
               iter = I(entry$iter), fitted_x = numbers(l$x), fitted_y = numbers(l$y)))
}

ids <- vapply(cases, `[[`, "", "id")
stopifnot(!anyDuplicated(ids))
records <- vapply(cases, record, "")
smooths <- vapply(lowess_cases, lowess_record, "")
comma <- function(items) paste0(items, c(rep(",", length(items) - 1), ""))
out <- file(file.path(here, "plot_reference.json"), open = "w", encoding = "UTF-8")
writeLines(c(paste0("{\"r_version\": ", json_string(R.version$version.string),
                    ", \"cases\": ["), comma(records), "], \"lowess\": [", comma(smooths),
             "]}"), out)
close(out)
cat(sprintf("%d cases and %d smoothers written to %s\n", length(records), length(smooths),
            file.path(here, "plot_reference.json")))
