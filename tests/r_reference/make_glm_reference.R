# Writes tests/r_reference/glm_reference.json, R's glm, lm and MASS::glm.nb fits with every
# family and link, prior weights (some zero) and offsets, that tests/test_glm_reference.py and
# tests/test_summary_families.py compare tallyfit with.
#
#     Rscript tests/r_reference/make_glm_reference.R      (from the repository root)
#
# Run by hand when a case is added; the tests only read the outputs (CI has no R).
# Deterministic: a rerun rewrites the same bytes. Numbers are doubles with 17 significant
# digits, null for NA. Reuses coefficient_names (R's names and tallyfit's "v_l" names) from
# make_r_reference.R and the JSON writer of make_family_reference.R (with the string
# escaping of make_r_reference.R: lm's summary prints a tab).
#
# Data sets written to tests/r_reference/data (row names dropped, factors as their labels,
# unordered, with their levels recorded in the JSON). Every one gets the derived columns
#   w    prior weights rep_len(c(1, 2, 0.5, 3, 1.5), n)
#   w0   w with rows 4, 11, 18, ... set to 0
#   lo   an offset, log(rep_len(c(1, 1.25, 1.5, 2), n))
#   om   a small offset, rep_len(c(0, 0.01, 0.02, 0.03), n)
#   glm_mtcars       datasets::mtcars (all columns numeric)
#   glm_trees        datasets::trees (lh = log(Height))
#   glm_warpbreaks   datasets::warpbreaks
#   glm_InsectSprays datasets::InsectSprays
#   glm_esoph        datasets::esoph (total = ncases + ncontrols, prop = ncases / total,
#                    total0: total with rows 3 and 20 set to 0)
#   glm_budworm      MASS (Venables & Ripley 2002, section 7.2): the budworm dose-response
#                    data, 20 moths per batch (numalive = 20 - numdead, prop = numdead / 20,
#                    total = 20, total0: total with row 3 set to 0)
#   glm_Insurance    MASS::Insurance (logH = log(Holders))
#   glm_quine        MASS::quine
#   birthwt.csv      (written by make_r_reference.R) MASS::birthwt
#
# lm cases also hold the residuals and prior weights of every row (zero weights included), which
# its summary prints from.
# Fits use glm.control(epsilon = 1e-14, maxit = 100), glm's refitted once from its estimate;
# `iterations` is the first fit's fit$iter and
# `iterations_default` the count at R's default control. The printed summary is
# print(summary(fit)) of the tight fit with tallyfit's names as row names, the Call as
# tallyfit prints it (glm(formula = f, family = poisson(link = "sqrt"), weights = w,
# offset = o): no data = ..., the family call only when a link was given) and without R 4.2's
# "Deviance Residuals:" block (R 4.3's print.summary.glm no longer prints it).

suppressPackageStartupMessages(library(MASS))
args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
source(file.path(here, "reference_setup.R"))  # locale, data_dir, JSON writers
options(useFancyQuotes = TRUE, width = 80, digits = 7, scipen = 0, OutDec = ".")

# ---- data sets -------------------------------------------------------------------------------

plain <- function(d) {
  rownames(d) <- NULL
  for (v in names(d)) if (is.factor(d[[v]])) d[[v]] <- factor(as.character(d[[v]]),
                                                               levels = levels(d[[v]]))
  d
}
derived <- function(d) {
  n <- nrow(d)
  d$w <- rep_len(c(1, 2, 0.5, 3, 1.5), n)
  d$w0 <- d$w
  d$w0[seq(4, n, by = 7)] <- 0
  d$lo <- log(rep_len(c(1, 1.25, 1.5, 2), n))
  d$om <- rep_len(c(0, 0.01, 0.02, 0.03), n)
  d
}

tr <- plain(trees)
tr$lh <- log(tr$Height)
es <- plain(esoph)
es$total <- es$ncases + es$ncontrols
es$prop <- es$ncases / es$total
es$total0 <- es$total
es$total0[c(3, 20)] <- 0
bud <- data.frame(ldose = rep(0:5, 2), numdead = c(1, 4, 9, 13, 18, 20, 0, 2, 6, 10, 12, 16),
                  sex = factor(rep(c("M", "F"), c(6, 6)), levels = c("F", "M")))
bud$numalive <- 20 - bud$numdead
bud$prop <- bud$numdead / 20
bud$total <- 20
bud$total0 <- bud$total
bud$total0[3] <- 0
ins <- plain(Insurance)
ins$District <- factor(as.character(ins$District), levels = levels(Insurance$District))
ins$logH <- log(ins$Holders)

written <- list(glm_mtcars = plain(mtcars), glm_trees = tr, glm_warpbreaks = plain(warpbreaks),
                glm_InsectSprays = plain(InsectSprays), glm_esoph = es, glm_budworm = bud,
                glm_Insurance = ins, glm_quine = plain(quine))

# Each data set is written, then read back: the fits use the very numbers the tests read.
frames <- list()
factor_levels <- list()
read_back <- function(path, levels_of) {
  back <- read.csv(path, na.strings = "", check.names = FALSE, stringsAsFactors = FALSE,
                   encoding = "UTF-8")
  for (v in names(levels_of)) back[[v]] <- factor(as.character(back[[v]]),
                                                  levels = levels_of[[v]])
  back
}
for (name in names(written)) {
  d <- derived(written[[name]])
  path <- file.path(data_dir, paste0(name, ".csv"))
  write.csv(d, path, row.names = FALSE, na = "", fileEncoding = "UTF-8")
  levels_of <- lapply(Filter(is.factor, d), levels)
  frames[[name]] <- read_back(path, levels_of)
  stopifnot(identical(dim(frames[[name]]), dim(d)))
  factor_levels[[name]] <- levels_of
}
factor_levels$birthwt <- list(race = c("white", "black", "other"))
frames$birthwt <- read_back(file.path(data_dir, "birthwt.csv"), factor_levels$birthwt)

# ---- cases -----------------------------------------------------------------------------------

# id, kind, data, formula, family, link (NA: R's default, not given), weights, offset column.
case <- function(id, kind, data, formula, family = NA, link = NA, weights = NA, offset = NA) {
  list(id = id, kind = kind, data = data, formula = formula, family = family, link = link,
       weights = weights, offset = offset)
}
budworm <- "cbind(numdead, numalive) ~ sex + ldose"
mpg <- "mpg ~ wt + hp"
warp <- "breaks ~ wool + tension"
claims <- "Claims ~ District + Group + Age"

binomial_cases <- function(f) list(
  case(paste0(f, "_logit"), "glm", "glm_budworm", budworm, f),
  case(paste0(f, "_logit_given"), "glm", "glm_esoph", "cbind(ncases, ncontrols) ~ agegp + alcgp",
       f, "logit"),
  case(paste0(f, "_probit"), "glm", "glm_budworm", budworm, f, "probit"),
  case(paste0(f, "_cloglog"), "glm", "glm_budworm", budworm, f, "cloglog"),
  case(paste0(f, "_cauchit"), "glm", "glm_budworm", budworm, f, "cauchit"),
  case(paste0(f, "_log"), "glm", "glm_esoph", "cbind(ncases, ncontrols) ~ tobgp", f, "log"),
  case(paste0(f, "_log_zero_one"), "glm", "birthwt", "low ~ lwt + smoke", f, "log"),
  case(paste0(f, "_logit_trials"), "glm", "glm_budworm", "prop ~ sex + ldose", f,
       weights = "total"),
  case(paste0(f, "_probit_zero_trials"), "glm", "glm_budworm", "prop ~ sex + ldose", f,
       "probit", weights = "total0"),
  case(paste0(f, "_log_trials"), "glm", "glm_esoph", "prop ~ tobgp", f, "log",
       weights = "total0"),
  case(paste0(f, "_logit_offset_term"), "glm", "glm_budworm", paste(budworm, "+ offset(lo)"), f),
  case(paste0(f, "_cloglog_offset"), "glm", "glm_budworm", budworm, f, "cloglog",
       offset = "lo"),
  case(paste0(f, "_cauchit_trials_offset"), "glm", "glm_budworm", "prop ~ ldose", f, "cauchit",
       weights = "total", offset = "om"))

poisson_cases <- function(f) list(
  case(paste0(f, "_log"), "glm", "glm_warpbreaks", warp, f),
  case(paste0(f, "_log_given"), "glm", "glm_InsectSprays", "count ~ spray", f, "log"),
  case(paste0(f, "_identity"), "glm", "glm_warpbreaks", warp, f, "identity"),
  case(paste0(f, "_sqrt"), "glm", "glm_warpbreaks", warp, f, "sqrt"),
  case(paste0(f, "_log_weights"), "glm", "glm_warpbreaks", warp, f, weights = "w"),
  case(paste0(f, "_sqrt_zero_weights"), "glm", "glm_InsectSprays", "count ~ spray", f, "sqrt",
       weights = "w0"),
  case(paste0(f, "_log_offset_term"), "glm", "glm_Insurance",
       paste(claims, "+ offset(log(Holders))"), f),
  case(paste0(f, "_log_offset"), "glm", "glm_Insurance", claims, f, offset = "logH"),
  case(paste0(f, "_identity_weights_offset"), "glm", "glm_warpbreaks", warp, f, "identity",
       weights = "w0", offset = "om"))

positive_cases <- function(f, links) list(
  case(paste0(f, "_", links[1]), "glm", "glm_mtcars", mpg, f),
  case(paste0(f, "_", links[2]), "glm", "glm_mtcars", mpg, f, links[2]),
  case(paste0(f, "_", links[3]), "glm", "glm_mtcars", mpg, f, links[3]),
  case(paste0(f, "_default_weights"), "glm", "glm_mtcars", mpg, f, weights = "w"),
  case(paste0(f, "_log_zero_weights"), "glm", "glm_mtcars", mpg, f, "log", weights = "w0"),
  case(paste0(f, "_log_offset_term"), "glm", "glm_trees", "Volume ~ log(Girth) + offset(lh)",
       f, "log"),
  case(paste0(f, "_identity_offset"), "glm", "glm_mtcars", mpg, f, "identity", offset = "om"),
  case(paste0(f, "_log_weights_offset"), "glm", "glm_trees", "Volume ~ log(Girth)", f, "log",
       weights = "w0", offset = "lh"))

cases <- c(
  positive_cases("gaussian", c("identity", "log", "inverse")),
  binomial_cases("binomial"), binomial_cases("quasibinomial"),
  poisson_cases("poisson"), poisson_cases("quasipoisson"),
  positive_cases("Gamma", c("inverse", "identity", "log")),
  positive_cases("inverse.gaussian", c("1/mu^2", "inverse", "identity")),
  list(case("inverse.gaussian_log", "glm", "glm_mtcars", mpg, "inverse.gaussian", "log"),
       case("lm_weights", "lm", "glm_trees", "Volume ~ Girth + Height", weights = "w"),
       case("lm_zero_weights", "lm", "glm_trees", "Volume ~ Girth + Height", weights = "w0"),
       case("lm_offset_term", "lm", "glm_trees", "log(Volume) ~ log(Girth) + offset(lh)"),
       case("lm_weights_offset", "lm", "glm_trees", "log(Volume) ~ log(Girth)",
            weights = "w", offset = "lh"),
       case("lm_few_rows_weights", "lm", "glm_budworm", "prop ~ ldose", weights = "total0"),
       case("negbin_log", "negbin", "glm_quine", "Days ~ Sex/(Age + Eth * Lrn)", link = "log"),
       case("negbin_sqrt", "negbin", "glm_quine", "Days ~ Sex/(Age + Eth * Lrn)",
            link = "sqrt"),
       case("negbin_weights_offset_term", "negbin", "glm_quine",
            "Days ~ Sex + Age + Eth + Lrn + offset(lo)", link = "log", weights = "w0")))

# ---- fitting ---------------------------------------------------------------------------------

tight <- glm.control(epsilon = 1e-14, maxit = 100)

# The fit as a call on data `d`: glm(formula, family, data = d, weights = w, offset = o, ...).
fit_call <- function(spec, formula, control) {
  if (spec$kind == "negbin") {
    call <- list(as.name("glm.nb"), formula = formula, data = quote(d))
  } else {
    call <- list(as.name(spec$kind), formula = formula)
    if (spec$kind == "glm") {
      call$family <- if (is.na(spec$link)) as.name(spec$family) else
        as.call(list(as.name(spec$family), link = spec$link))
    }
    call$data <- quote(d)
  }
  if (!is.na(spec$weights)) call$weights <- as.name(spec$weights)
  if (!is.na(spec$offset)) call$offset <- as.name(spec$offset)
  if (spec$kind == "negbin") call$link <- as.name(spec$link)
  if (spec$kind != "lm") call$control <- control
  as.call(call)
}

# Extrapolates: the last row with every numeric predictor (not the offset) at 1.2 times its
# largest value.
new_rows <- function(m, d) {
  n <- nrow(d)
  rows <- d[c(1, ceiling(n / 2), n), , drop = FALSE]
  far <- d[n, , drop = FALSE]
  labels <- attr(terms(m), "term.labels")
  for (v in unique(unlist(lapply(labels, function(l) all.vars(str2lang(l)))))) {
    if (is.numeric(d[[v]])) far[[v]] <- 1.2 * max(d[[v]])
  }
  rownames(rows) <- NULL
  rbind(rows, far)
}

as_columns <- function(rows, levels_of) {
  lapply(rows, function(x) if (is.factor(x)) as.character(x) else as.numeric(x))
}

record <- function(spec) {
  formula_text <- paste(deparse(str2lang(spec$formula), width.cutoff = 500L), collapse = " ")
  formula_lang <- str2lang(formula_text)
  d <- frames[[spec$data]]
  formula <- as.formula(formula_text, env = globalenv())
  m <- eval(fit_call(spec, formula, tight))
  if (spec$kind == "glm") {
    # Refitted from its estimate, as make_r_reference.R does: R's test stops about epsilon
    # from the optimum (further with a link that converges linearly) and summary.glm takes
    # the covariance from the weights at the last step's start; one more fit from the
    # estimate is the fit tallyfit reports. The iteration count stays the first fit's.
    refit <- fit_call(spec, formula, tight)
    refit$start <- coef(m)
    iterations <- m$iter
    m <- eval(refit)
    m$iter <- iterations
  }
  default <- eval(fit_call(spec, formula, glm.control()))
  if (spec$kind != "lm") {
    if (!m$converged || !default$converged) stop(spec$id, ": did not converge")
    if (isTRUE(m$boundary)) stop(spec$id, ": fit on the boundary")
  }
  if (anyNA(coef(m))) stop(spec$id, ": aliased columns")
  names_of <- coefficient_names(m)
  s <- summary(m)
  stopifnot(identical(rownames(s$coefficients), names_of$r))

  shown <- s
  rownames(shown$coefficients) <- names_of$tf
  names(shown$aliased) <- names_of$tf
  printed_call <- fit_call(spec, formula_lang, NULL)
  printed_call$data <- NULL
  printed_call$control <- NULL
  if (spec$kind == "negbin") {
    # glm.nb adds init.theta before link, as MASS prints it.
    printed_call$link <- NULL
    printed_call$init.theta <- m$call$init.theta
    printed_call$link <- as.name(spec$link)
  }
  shown$call <- printed_call
  printed <- capture.output(print(shown))
  start <- match("Deviance Residuals: ", printed)
  if (!is.na(start)) {
    end <- which(printed == "")
    printed <- printed[-(start:min(end[end > start]))]
  }

  new <- new_rows(m, d)
  used <- all.vars(formula)
  levels_of <- factor_levels[[spec$data]][intersect(used, names(factor_levels[[spec$data]]))]
  out <- list(
    id = I(spec$id), kind = I(spec$kind), data = I(paste0(spec$data, ".csv")),
    formula = I(formula_text),
    family = if (spec$kind == "glm") I(spec$family) else NULL,
    link = if (is.na(spec$link)) NULL else I(spec$link),
    family_name = if (spec$kind == "lm") NULL else I(m$family$family),
    link_name = if (spec$kind == "lm") NULL else I(m$family$link),
    weights = if (is.na(spec$weights)) NULL else I(spec$weights),
    offset = if (is.na(spec$offset)) NULL else I(spec$offset),
    levels = if (length(levels_of)) levels_of else NULL,  # null: no factor
    r_names = names_of$r, names = names_of$tf,
    estimates = unname(s$coefficients[, 1]), std_errors = unname(s$coefficients[, 2]),
    statistics = unname(s$coefficients[, 3]), p_values = unname(s$coefficients[, 4]),
    nobs = I(nobs(m)), df_resid = I(df.residual(m)),
    log_likelihood = I(as.numeric(logLik(m))), aic = I(AIC(m)))
  if (spec$kind == "lm") {
    f <- s$fstatistic
    out <- c(out, list(sigma = I(s$sigma), r_squared = I(s$r.squared),
                       adj_r_squared = I(s$adj.r.squared),
                       fstatistic = lapply(as.list(f), I),
                       f_p_value = I(pf(f[["value"]], f[["numdf"]], f[["dendf"]],
                                        lower.tail = FALSE)),
                       residuals = unname(residuals(m)),
                       prior_weights = if (is.null(weights(m))) rep(1, length(residuals(m)))
                                       else unname(weights(m))))
  } else {
    out <- c(out, list(
      deviance = I(m$deviance), null_deviance = I(m$null.deviance), df_null = I(m$df.null),
      dispersion = I(s$dispersion), iterations = I(m$iter),
      iterations_default = I(default$iter)))
  }
  if (spec$kind == "negbin") {
    out <- c(out, list(theta = I(m$theta), se_theta = I(m$SE.theta),
                       two_log_likelihood = I(m$twologlik),
                       init_theta = I(m$call$init.theta)))
  }
  out$new_rows <- as_columns(new)
  out$predict_link <- unname(predict(m, new, type = if (spec$kind == "lm") "response" else "link"))
  out$predict_response <- unname(predict(m, new, type = "response"))
  out$printed <- printed
  to_json(out)
}

ids <- vapply(cases, `[[`, "", "id")
stopifnot(!anyDuplicated(ids))
records <- vapply(cases, record, "")
out <- file(file.path(here, "glm_reference.json"), open = "w", encoding = "UTF-8")
writeLines(c(paste0("{\"r_version\": ", json_string(R.version$version.string), ", \"cases\": ["),
             paste0(records, c(rep(",", length(records) - 1), "")), "]}"), out)
close(out)
cat(sprintf("%d cases written to %s\n", length(records), file.path(here, "glm_reference.json")))
