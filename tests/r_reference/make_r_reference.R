# Writes the R reference fits that tests/test_r_reference.py compares tallyfit with.
#
#     Rscript tests/r_reference/make_r_reference.R      (from the repository root)
#
# Outputs: one CSV per data set in tests/r_reference/data/ and tests/r_reference/models.json.
# Run by hand when a model is added; the tests only read the outputs (CI has no R). The
# script is deterministic: a rerun rewrites the same bytes.
#
# Data sets (R 4.2.2 with its recommended packages; row names are dropped, factors written as
# their labels, missing values as empty cells):
#   mtcars           datasets: Motor Trend Car Road Tests (cyl, gear, am as factors)
#   iris             datasets: Edgar Anderson's Iris Data
#   iris_no_setosa   iris rows 51-150; Species keeps its three levels (R drops setosa)
#   warpbreaks       datasets: The Number of Breaks in Yarn during Weaving
#   airquality       datasets: New York Air Quality Measurements (Month as a factor)
#   swiss            datasets: Swiss Fertility and Socioeconomic Indicators (1888) Data
#                    (Catholic_majority: 0/1, Catholic above 50 percent)
#   infert           datasets: Infertility after Spontaneous and Induced Abortion
#   ToothGrowth      datasets: The Effect of Vitamin C on Tooth Growth in Guinea Pigs
#                    (dosef: dose as a factor; long: 0/1, len above 20)
#   PlantGrowth      datasets: Results from an Experiment on Plant Growth
#   chickwts         datasets: Chicken Weights by Feed Type
#   InsectSprays     datasets: Effectiveness of Insect Sprays
#   trees            datasets: Diameter, Height and Volume for Black Cherry Trees
#   stackloss        datasets: Brownlee's Stack Loss Plant Data
#   LifeCycleSavings datasets: Intercountry Life-Cycle Savings Data
#   attitude         datasets: The Chatterjee-Price Attitude Data
#   esoph            datasets: Smoking, Alcohol and (O)esophageal Cancer (age, alcohol and
#                    tobacco groups as unordered factors)
#   esoph_cases      esoph with one row per case (case = 1) and per control (case = 0)
#   Boston           MASS: Housing Values in Suburbs of Boston
#   birthwt          MASS: Risk Factors Associated with Low Infant Birth Weight
#                    (race as a factor: white, black, other)
#   Pima.tr          MASS: Diabetes in Pima Indian Women (training set)
#   biopsy           MASS: Biopsy Data on Breast Cancer Patients
#   Cars93           MASS: Data from 93 Cars on Sale in the USA in 1993
#   longley          datasets: Longley's Economic Regression Data
#
# Per model the JSON holds R's numbers (doubles with 17 significant digits, null for NA),
# R's coefficient names and the tallyfit names they correspond to (factor v, level l: "v_l";
# the parts of an interaction joined by ":"), the declared levels of every factor the model
# uses, and print(summary(m)) line by line, printed with the tallyfit names as row names and
# the Call as lm(formula = ...) / glm(formula = ..., family = binomial). Binomial numbers come
# from a fit converged with epsilon = 1e-14 and refitted from its estimate (so that its
# covariance is at the maximum of the likelihood); its printed iteration count is that of a fit with
# R's default control. R 4.2 prints a "Deviance Residuals:" block for a glm, kept here as R
# prints it.

suppressPackageStartupMessages(library(MASS))
invisible(Sys.setlocale("LC_COLLATE", "C"))
options(useFancyQuotes = TRUE, width = 80, digits = 7, scipen = 0, OutDec = ".")

args <- commandArgs(trailingOnly = FALSE)
script <- sub("^--file=", "", args[grep("^--file=", args)])
here <- if (length(script)) dirname(normalizePath(script)) else "tests/r_reference"
data_dir <- file.path(here, "data")
dir.create(data_dir, showWarnings = FALSE, recursive = TRUE)

# ---- data sets -------------------------------------------------------------------------------

plain <- function(d) {
  rownames(d) <- NULL
  d
}
unordered <- function(x) factor(as.character(x), levels = levels(x))

mt <- plain(mtcars)
mt$cyl <- factor(mt$cyl, levels = c(4, 6, 8), labels = c("4", "6", "8"))
mt$gear <- factor(mt$gear, levels = c(3, 4, 5), labels = c("3", "4", "5"))
mt$am <- factor(mt$am, levels = c(0, 1), labels = c("0", "1"))

iris_no_setosa <- plain(iris[iris$Species != "setosa", ])  # levels kept, as subset leaves them

aq <- plain(airquality)
aq$Month <- factor(aq$Month, levels = 5:9, labels = as.character(5:9))

tg <- plain(ToothGrowth)
tg$dosef <- factor(tg$dose, levels = c(0.5, 1, 2), labels = c("0.5", "1", "2"))
tg$long <- as.integer(tg$len > 20)

es <- plain(esoph)
for (v in c("agegp", "alcgp", "tobgp")) es[[v]] <- unordered(es[[v]])
es_cases <- plain(data.frame(
  agegp = rep(es$agegp, es$ncases + es$ncontrols),
  alcgp = rep(es$alcgp, es$ncases + es$ncontrols),
  tobgp = rep(es$tobgp, es$ncases + es$ncontrols),
  case = unlist(mapply(function(a, b) c(rep(1L, a), rep(0L, b)), es$ncases, es$ncontrols,
                       SIMPLIFY = FALSE))))

sw <- plain(swiss)
sw$Catholic_majority <- as.integer(sw$Catholic > 50)

bw <- plain(birthwt)
bw$race <- factor(bw$race, levels = 1:3, labels = c("white", "black", "other"))

datasets <- list(
  mtcars = mt, iris = plain(iris), iris_no_setosa = iris_no_setosa,
  warpbreaks = plain(warpbreaks), airquality = aq, swiss = sw,
  infert = plain(infert), ToothGrowth = tg, PlantGrowth = plain(PlantGrowth),
  chickwts = plain(chickwts), InsectSprays = plain(InsectSprays), trees = plain(trees),
  stackloss = plain(stackloss), LifeCycleSavings = plain(LifeCycleSavings),
  attitude = plain(attitude), esoph = es, esoph_cases = es_cases, Boston = plain(Boston),
  birthwt = bw, Pima.tr = plain(Pima.tr), biopsy = plain(biopsy), Cars93 = plain(Cars93),
  longley = plain(longley))

# Each data set is written, then read back with its factors' levels: the fits below use the
# very numbers the tests read.
frames <- list()
factor_levels <- list()
for (name in names(datasets)) {
  d <- datasets[[name]]
  path <- file.path(data_dir, paste0(name, ".csv"))
  write.csv(d, path, row.names = FALSE, na = "", fileEncoding = "UTF-8")
  is_factor <- vapply(d, is.factor, logical(1))
  back <- read.csv(path, na.strings = "", check.names = FALSE, stringsAsFactors = FALSE,
                   colClasses = ifelse(is_factor, "character", NA), encoding = "UTF-8")
  stopifnot(identical(names(back), names(d)))
  levels_of <- list()
  for (v in names(d)[is_factor]) {
    back[[v]] <- factor(back[[v]], levels = levels(d[[v]]))
    stopifnot(identical(is.na(back[[v]]), is.na(d[[v]])))
    levels_of[[v]] <- levels(d[[v]])
  }
  frames[[name]] <- back
  factor_levels[[name]] <- levels_of
}

# ---- models ------------------------------------------------------------------------------------

models <- list(
  # id, data set, kind, formula as written (the stored text is R's deparse of it)
  list("mtcars_wt", "mtcars", "lm", "mpg ~ wt"),
  list("mtcars_wt_hp_qsec", "mtcars", "lm", "mpg ~ wt + hp + qsec"),
  list("mtcars_cyl", "mtcars", "lm", "mpg ~ cyl"),
  list("mtcars_cyl_times_gear", "mtcars", "lm", "mpg ~ cyl * gear"),
  list("mtcars_cyl_colon_gear", "mtcars", "lm", "mpg ~ cyl:gear"),
  list("mtcars_wt_times_am", "mtcars", "lm", "mpg ~ wt * am"),
  list("mtcars_cyl_wt_no_intercept", "mtcars", "lm", "mpg ~ cyl + wt - 1"),
  list("mtcars_wt_cyl_plus_zero", "mtcars", "lm", "mpg ~ wt + cyl + 0"),
  list("mtcars_hp_colon_cyl_then_wt", "mtcars", "lm", "mpg ~ hp:cyl + wt"),
  list("mtcars_gear_times_am_then_wt", "mtcars", "lm", "mpg ~ gear * am + wt"),
  list("iris_petal_times_species", "iris", "lm", "Sepal.Length ~ Petal.Length * Species"),
  list("iris_species_no_intercept", "iris", "lm", "Sepal.Length ~ Species - 1"),
  list("iris_petal_colon_species", "iris", "lm", "Sepal.Length ~ Petal.Length:Species"),
  list("iris_all", "iris", "lm",
       "Sepal.Length ~ Sepal.Width + Petal.Length + Petal.Width + Species"),
  list("iris_no_setosa_species_width", "iris_no_setosa", "lm",
       "Sepal.Length ~ Species + Petal.Width"),
  list("iris_no_setosa_petal_times_species", "iris_no_setosa", "lm",
       "Sepal.Length ~ Petal.Length * Species"),
  list("iris_no_setosa_species_no_intercept", "iris_no_setosa", "lm",
       "Sepal.Length ~ Species + 0"),
  list("warpbreaks_wool_times_tension", "warpbreaks", "lm", "breaks ~ wool * tension"),
  list("warpbreaks_interaction_first", "warpbreaks", "lm", "breaks ~ wool:tension + wool"),
  list("warpbreaks_tension_wool_no_intercept", "warpbreaks", "lm",
       "breaks ~ tension + wool - 1"),
  list("airquality_solar_wind_temp", "airquality", "lm", "Ozone ~ Solar.R + Wind + Temp"),
  list("airquality_temp_times_month", "airquality", "lm", "Ozone ~ Temp * Month"),
  list("swiss_all", "swiss", "lm",
       "Fertility ~ Agriculture + Examination + Education + Catholic + Infant.Mortality"),
  list("toothgrowth_supp_times_dose", "ToothGrowth", "lm", "len ~ supp * dosef"),
  list("toothgrowth_aliased_dose", "ToothGrowth", "lm", "len ~ dosef + dose"),
  list("toothgrowth_supp_colon_dose", "ToothGrowth", "lm", "len ~ supp:dose"),
  list("plantgrowth_group", "PlantGrowth", "lm", "weight ~ group"),
  list("plantgrowth_intercept_only", "PlantGrowth", "lm", "weight ~ 1"),
  list("plantgrowth_group_no_intercept", "PlantGrowth", "lm", "weight ~ group - 1"),
  list("chickwts_feed", "chickwts", "lm", "weight ~ feed"),
  list("insectsprays_spray", "InsectSprays", "lm", "count ~ spray"),
  list("trees_girth_times_height", "trees", "lm", "Volume ~ Girth * Height"),
  list("stackloss_all", "stackloss", "lm", "stack.loss ~ Air.Flow + Water.Temp + Acid.Conc."),
  list("lifecyclesavings_all", "LifeCycleSavings", "lm", "sr ~ pop15 + pop75 + dpi + ddpi"),
  list("attitude_all", "attitude", "lm",
       "rating ~ complaints + privileges + learning + raises + critical + advance"),
  list("esoph_age_alcohol", "esoph", "lm", "ncases ~ agegp + alcgp"),
  list("longley_all", "longley", "lm",
       "Employed ~ GNP.deflator + GNP + Unemployed + Armed.Forces + Population + Year"),
  list("longley_five_df", "longley", "lm",
       paste("Employed ~ GNP * Year + Unemployed * Year + Armed.Forces * Year +",
             "Population * Year + GNP.deflator")),
  list("longley_three_df", "longley", "lm",
       paste("Employed ~ GNP * Unemployed + Armed.Forces * Population + Year * GNP.deflator",
             "+ GNP:Year + Unemployed:Year + Population:Year")),
  list("longley_five_df_well_conditioned", "longley", "lm",
       paste("Employed ~ Unemployed * Armed.Forces + Unemployed * Population +",
             "Armed.Forces * Population + GNP + Unemployed:GNP + Armed.Forces:GNP +",
             "GNP:Population")),
  list("boston_lstat_times_rm_first", "Boston", "lm", "medv ~ lstat * rm + chas + crim + ptratio"),
  list("boston_all", "Boston", "lm",
       paste("medv ~ crim + zn + indus + chas + nox + rm + age + dis + rad + tax +",
             "ptratio + black + lstat")),
  list("birthwt_bwt_race_times_smoke", "birthwt", "lm", "bwt ~ race * smoke + lwt"),
  list("cars93_unused_cylinders_level", "Cars93", "lm", "Price ~ Cylinders + Rear.seat.room"),
  list("cars93_airbags_weight", "Cars93", "lm", "MPG.city ~ AirBags + Weight"),

  list("mtcars_vs_mpg", "mtcars", "glm", "vs ~ mpg"),
  list("mtcars_am_wt_hp", "mtcars", "glm", "am ~ wt + hp"),
  list("infert_main", "infert", "glm", "case ~ spontaneous + induced + education"),
  list("infert_spontaneous_times_education", "infert", "glm", "case ~ spontaneous * education"),
  list("birthwt_main", "birthwt", "glm", "low ~ age + lwt + race + smoke + ptl + ht + ui"),
  list("birthwt_race_times_smoke", "birthwt", "glm", "low ~ race * smoke"),
  list("birthwt_race_smoke_no_intercept", "birthwt", "glm", "low ~ race + smoke - 1"),
  list("birthwt_lwt_race_colon_smoke", "birthwt", "glm", "low ~ lwt + race:smoke"),
  list("pima_all", "Pima.tr", "glm", "type ~ npreg + glu + bp + skin + bmi + ped + age"),
  list("pima_intercept_only", "Pima.tr", "glm", "type ~ 1"),
  list("pima_glu_times_bmi", "Pima.tr", "glm", "type ~ glu * bmi"),
  list("biopsy_five", "biopsy", "glm", "class ~ V1 + V3 + V4 + V6 + V7"),
  list("biopsy_v1_v6", "biopsy", "glm", "class ~ V1 + V6"),
  list("toothgrowth_long_aliased_dose", "ToothGrowth", "glm", "long ~ supp + dosef + dose"),
  list("esoph_cases_groups", "esoph_cases", "glm", "case ~ agegp + alcgp + tobgp"),
  list("cars93_origin_price_mpg", "Cars93", "glm", "Origin ~ Price + MPG.city"),
  list("swiss_catholic_majority", "swiss", "glm", "Catholic_majority ~ Fertility + Education")
)

# ---- names --------------------------------------------------------------------------------------

# R's coefficient names and the matching tallyfit names, term by term from the model matrix's
# "assign" attribute and the levels the fit used (m$xlevels: unused levels dropped); within a
# term the first variable varies fastest, as in model.matrix.
coefficient_names <- function(m) {
  mm <- model.matrix(m)
  assign <- attr(mm, "assign")
  factors <- attr(terms(m), "factors")
  if (!attr(terms(m), "intercept")) {
    # As model.matrix does: without an intercept, the first factor of the first term that has
    # one is coded by a column for every level.
    done <- FALSE
    for (k in seq_len(ncol(factors))) {
      for (v in rownames(factors)) {
        if (!done && v %in% names(m$xlevels) && factors[v, k] > 0) {
          factors[v, k] <- 2
          done <- TRUE
        }
      }
    }
  }
  r_names <- character(0)
  tf_names <- character(0)
  for (k in unique(assign)) {
    if (k == 0) {
      r_names <- c(r_names, "(Intercept)")
      tf_names <- c(tf_names, "(Intercept)")
      next
    }
    vars <- rownames(factors)[factors[, k] > 0]
    r_parts <- list()
    tf_parts <- list()
    for (v in vars) {
      if (v %in% names(m$xlevels)) {
        lev <- m$xlevels[[v]]
        if (factors[v, k] == 1) lev <- lev[-1]  # treatment contrasts; 2 codes every level
        r_parts[[v]] <- paste0(v, lev)
        tf_parts[[v]] <- paste0(v, "_", lev)
      } else {
        r_parts[[v]] <- v
        tf_parts[[v]] <- v
      }
    }
    joined <- function(parts) {
      grid <- expand.grid(parts, KEEP.OUT.ATTRS = FALSE, stringsAsFactors = FALSE)
      apply(as.matrix(grid), 1, paste, collapse = ":")
    }
    r_names <- c(r_names, joined(r_parts))
    tf_names <- c(tf_names, joined(tf_parts))
  }
  if (!identical(unname(r_names), colnames(mm))) stop(paste(c(r_names, "|", colnames(mm)), collapse = " "))
  list(r = unname(r_names), tf = unname(tf_names))
}

# ---- JSON ----------------------------------------------------------------------------------------

json_string <- function(x) {
  x <- enc2utf8(x)
  x <- gsub("\\", "\\\\", x, fixed = TRUE)
  x <- gsub("\"", "\\\"", x, fixed = TRUE)
  x <- gsub("\t", "\\t", x, fixed = TRUE)
  x <- gsub("\n", "\\n", x, fixed = TRUE)
  stopifnot(!grepl("[\001-\037]", x))
  paste0("\"", x, "\"")
}
json_number <- function(x) {
  ifelse(is.na(x), "null", ifelse(is.finite(x), sprintf("%.17g", x),
                                  ifelse(x > 0, "\"Infinity\"", "\"-Infinity\"")))
}
json_int <- function(x) ifelse(is.na(x), "null", sprintf("%d", as.integer(x)))
json_array <- function(items, indent = "") {
  if (!length(items)) return("[]")
  paste0("[", paste(items, collapse = ", "), "]")
}
json_lines <- function(lines, indent) {
  paste0("[\n", paste0(indent, "  ", json_string(lines), collapse = ",\n"), "\n", indent, "]")
}
json_object <- function(fields, indent) {
  inner <- paste0(indent, "  ")
  paste0("{\n", paste0(inner, json_string(names(fields)), ": ", unlist(fields),
                       collapse = ",\n"), "\n", indent, "}")
}

# ---- fitting ---------------------------------------------------------------------------------------

# glm.fit decides aliased columns with the QR tolerance min(1e-7, epsilon / 1000): at
# epsilon = 1e-14 an exactly aliased column would pass as estimable. This copy keeps the
# tolerance of R's default control (1e-11) and converges with epsilon = 1e-14.
replace_call <- function(e, old, new) {
  if (identical(e, old)) return(new)
  if (is.call(e)) for (i in seq_along(e)) if (!is.null(e[[i]])) e[[i]] <- replace_call(e[[i]], old, new)
  e
}
converged_glm_fit <- glm.fit
body(converged_glm_fit) <- replace_call(body(glm.fit), quote(min(1e-07, control$epsilon/1000)),
                                        min(1e-07, glm.control()$epsilon / 1000))
environment(converged_glm_fit) <- environment(glm.fit)
stopifnot(!identical(body(converged_glm_fit), body(glm.fit)))

fit_record <- function(spec) {
  id <- spec[[1]]
  dataset <- spec[[2]]
  kind <- spec[[3]]
  formula_text <- paste(deparse(str2lang(spec[[4]]), width.cutoff = 500L), collapse = " ")
  formula_lang <- str2lang(formula_text)
  d <- frames[[dataset]]
  formula <- as.formula(formula_text, env = globalenv())
  if (kind == "lm") {
    m <- lm(formula, data = d)
    m$call <- as.call(list(as.name("lm"), formula = formula_lang))
    # R's answer is the reference only where it is accurate far beyond the tests' 1e-6:
    # LAPACK's QR (column pivoting) must agree with lm's LINPACK QR.
    estimated <- !is.na(coef(m))
    lapack <- qr.coef(qr(model.matrix(m)[, estimated, drop = FALSE], LAPACK = TRUE),
                      model.response(model.frame(m)))
    if (max(abs(lapack / coef(m)[estimated] - 1)) > 1e-8) stop(id, ": R's fit is inaccurate")
  } else {
    m <- glm(formula, family = binomial, data = d, method = converged_glm_fit,
             control = glm.control(epsilon = 1e-14, maxit = 100))
    # summary.glm takes the covariance from the weights of the last iteration's start, which
    # the deviance test can accept while the estimate still moves at 1e-7: one more fit from
    # the converged estimate puts those weights at the maximum of the likelihood.
    start <- coef(m)
    start[is.na(start)] <- 0
    m <- glm(formula, family = binomial, data = d, method = converged_glm_fit,
             start = start, control = glm.control(epsilon = 1e-14, maxit = 100))
    default <- glm(formula, family = binomial, data = d)
    stopifnot(identical(is.na(coef(m)), is.na(coef(default))))
    if (!m$converged || !default$converged) stop(id, ": the binomial fit did not converge")
    m$iter <- default$iter
    m$call <- as.call(list(as.name("glm"), formula = formula_lang,
                           family = as.name("binomial")))
  }
  names_of <- coefficient_names(m)
  stopifnot(identical(names(coef(m)), names_of$r))
  s <- summary(m)
  full <- matrix(NA_real_, length(names_of$r), 4, dimnames = list(names_of$r, NULL))
  full[rownames(s$coefficients), ] <- s$coefficients
  stopifnot(identical(names(s$aliased), names_of$r))

  shown <- s
  names(shown$aliased) <- names_of$tf
  rownames(shown$coefficients) <- names_of$tf[match(rownames(s$coefficients), names_of$r)]
  printed <- capture.output(print(shown))

  used <- all.vars(formula)
  levels_of <- factor_levels[[dataset]][intersect(used, names(factor_levels[[dataset]]))]
  level_fields <- if (length(levels_of)) {
    json_object(lapply(levels_of, function(l) json_array(json_string(l))), "      ")
  } else "{}"

  fields <- list(
    id = json_string(id),
    data = json_string(paste0(dataset, ".csv")),
    kind = json_string(kind),
    formula = json_string(formula_text),
    levels = level_fields,
    r_names = json_array(json_string(names_of$r)),
    names = json_array(json_string(names_of$tf)),
    estimates = json_array(json_number(full[, 1])),
    std_errors = json_array(json_number(full[, 2])),
    statistics = json_array(json_number(full[, 3])),
    p_values = json_array(json_number(full[, 4])),
    nobs = json_int(nobs(m)),
    df_resid = json_int(df.residual(m)))
  if (kind == "lm") {
    f <- s$fstatistic
    fields <- c(fields, list(
      sigma = json_number(s$sigma),
      r_squared = json_number(s$r.squared),
      adj_r_squared = json_number(s$adj.r.squared),
      fstatistic = if (is.null(f)) "null" else json_object(list(
        value = json_number(f[["value"]]), numdf = json_number(f[["numdf"]]),
        dendf = json_number(f[["dendf"]])), "      ")))
  } else {
    fields <- c(fields, list(
      deviance = json_number(m$deviance),
      null_deviance = json_number(m$null.deviance),
      df_null = json_int(m$df.null),
      aic = json_number(m$aic),
      iterations = json_int(m$iter)))
  }
  fields$printed <- json_lines(printed, "    ")
  json_object(fields, "    ")
}

records <- vapply(models, fit_record, character(1))
ids <- vapply(models, `[[`, character(1), 1)
stopifnot(!anyDuplicated(ids))

out <- file(file.path(here, "models.json"), open = "w", encoding = "UTF-8")
writeLines(c("{", paste0("  \"r_version\": ", json_string(R.version$version.string), ","),
             "  \"models\": [", paste0("    ", records, collapse = ",\n"), "  ]", "}"), out)
close(out)
cat(sprintf("%d models written to %s\n", length(records), file.path(here, "models.json")))
