"""R-style summaries and tidy coefficient tables.

The expected texts are worked out by hand from R's printing rules (print.summary.lm,
print.summary.glm, printCoefmat, format.pval, formatReal) and the reference fits in
tests/fixtures, or copied from R's own output (R 4.2.2), the R expression that printed them
named beside them; the derivation of each number is noted beside it.
"""

import math

import numpy as np
import pytest

import tallyfit as tf
from reference_tables import LIBRARIES, as_frame, read_table
from tallyfit.summary import (LOADED_MODEL_MESSAGE, _format_c, coefficient_table,
                              deparse_lines, format_numbers, format_pvalues)

LEGEND = "Signif. codes:  0 ‘***’ 0.001 ‘**’ 0.01 ‘*’ 0.05 ‘.’ 0.1 ‘ ’ 1"


@pytest.mark.parametrize("values, digits, expected", [
    # R: format(c(5.032, -0.371, 0.2202, 0.3114), digits = 4), one layout for all.
    ([5.032, -0.371, 0.2202, 0.3114], 4, [" 5.0320", "-0.3710", " 0.2202", " 0.3114"]),
    ([100000.0], 7, ["1e+05"]),  # scientific is narrower
    ([123456.0], 7, ["123456"]),
    ([0.0001], 7, ["1e-04"]),
    ([0.0001234], 7, ["0.0001234"]),  # equal widths: fixed wins
    ([1.0, 10.0, 100.0], 7, ["  1", " 10", "100"]),
    ([1.5e-10, 2e-12], 7, ["1.5e-10", "2.0e-12"]),  # shared mantissa digits
    ([9996.0], 3, ["9996"]),  # rounding to 1.00e+04 does not widen the fixed form
    ([0.00123, 0.5], 3, ["0.00123", "0.50000"]),
    ([None, 1.5, math.nan, -math.inf], 7, ["  NA", " 1.5", " NaN", "-Inf"]),
    # R: format(c(-0, 1.5)) and format(c(-0, -0.25), digits = 4): a zero has no sign.
    ([-0.0, 1.5], 7, ["0.0", "1.5"]),
    ([-0.0, -0.25], 4, [" 0.00", "-0.25"]),
])
def test_format_numbers_as_r_format(values, digits, expected):
    assert format_numbers(values, digits) == expected


@pytest.mark.parametrize("pvalues, digits, expected", [
    ([9.547e-15, 0.249], 3, ["9.55e-15", "0.249"]),
    ([1e-20, 0.0123], 3, ["<2e-16", "0.0123"]),
    # A blank after "<" once another p-value is wider than six characters.
    ([1e-20, 2.81e-9], 3, ["< 2e-16", "2.81e-09"]),
    ([1e-20], 4, ["< 2.2e-16"]),  # the F statistic's p-value
    ([0.0194158, 0.489544], 3, ["0.0194", "0.4895"]),
    ([float("nan")], 4, ["NA"]),
    # R: format.pval(x, digits = d) for each x and d below. From 1e-4 up (1e-3 at digits 1)
    # the p-values are formatted together, fixed when that is not wider.
    ([8.11e-4, 0.004718, 0.5], 1, ["8e-04", "0.005", "0.500"]),
    ([8.11e-4, 0.004718, 0.5], 3, ["0.000811", "0.004718", "0.500000"]),
    ([1e-4], 3, ["1e-04"]),
    ([5e-4, 0.2], 1, ["5e-04", "0.2"]),
    ([5e-4, 0.2], 3, ["5e-04", "2e-01"]),
    ([1e-20, 8.11e-4], 1, ["<2e-16", "8e-04"]),
    ([1e-20, 8.11e-4], 3, ["< 2e-16", "0.000811"]),
    ([1e-20, 8.11e-4], 4, ["< 2.2e-16", "0.000811"]),
    ([9.99e-4, 0.0123], 1, ["0.001", "0.01"]),
    ([9.99e-4, 0.0123], 3, ["0.000999", "0.012300"]),
    ([1.5e-4, 3.2e-5], 1, ["1e-04", "3e-05"]),
    ([1.5e-4, 3.2e-5], 3, ["0.00015", "3.2e-05"]),
])
def test_format_pvalues_as_r_format_pval(pvalues, digits, expected):
    assert format_pvalues(pvalues, digits) == expected


@pytest.mark.parametrize("value, expected", [
    # R: formatC(value, digits = 4) for each value: "%5.4g", NA/NaN/Inf right-aligned too.
    (59.9, " 59.9"), (0.82, " 0.82"), (-0.5, " -0.5"), (1.0, "    1"), (0.0, "    0"),
    (-0.0, "   -0"), (math.nan, "  NaN"), (None, "   NA"), (math.inf, "  Inf"),
    (-math.inf, " -Inf"), (123456.0, "1.235e+05"), (1e-5, "1e-05"), (0.07308, "0.07308"),
    (401.6, "401.6"), (12345.6, "1.235e+04"), (-0.0123, "-0.0123"),
])
def test_format_c_as_r_formatc(value, expected):
    assert _format_c(value, 4) == expected


# R: printCoefmat(m, digits = 4) of each matrix m (columns Estimate, Std. Error, t value,
# Pr(>|t|)) with these row names and numbers, NA as None.
@pytest.mark.parametrize("names, columns, expected", [
    # p-values from 1e-4 up print fixed; -0.00008 rounds to a zero t value, shown unsigned;
    # a tab in a row name shows as \t, four columns wide.
    (["(Intercept)", "g_b\tc", "x"],
     [[2.5, 0.31, -0.00004], [0.4, 0.08, 0.5], [6.25, 3.875, -0.00008],
      [8.11e-4, 0.004718, 0.99994]],
     ["            Estimate Std. Error t value Pr(>|t|)    ",
      "(Intercept)  2.50000    0.40000   6.250 0.000811 ***",
      "g_b\\tc       0.31000    0.08000   3.875 0.004718 ** ",
      "x           -0.00004    0.50000   0.000 0.999940    "]),
    # Negative zeros; a newline and a backslash escaped, accented letters one column each.
    (["a\nb", "été\\x"],
     [[-0.0, 1.25], [0.75, 0.3], [-0.0, 4.1667], [1.0, 0.00015]],
     ["       Estimate Std. Error t value Pr(>|t|)    ",
      "a\\nb       0.00       0.75   0.000  1.00000    ",
      "été\\\\x     1.25       0.30   4.167  0.00015 ***"]),
    # Wide characters two columns each, another control character in octal, an NA row.
    (["k日本", "alias\001ed", "z"],
     [[1.5, None, 3.0], [0.2, None, 0.9], [7.5, None, 3.333], [1.2e-7, None, 0.00099]],
     ["            Estimate Std. Error t value Pr(>|t|)    ",
      "k日本            1.5        0.2   7.500  1.2e-07 ***",
      "alias\\001ed       NA         NA      NA       NA    ",
      "z                3.0        0.9   3.333  0.00099 ***"]),
])
def test_coefficient_table_as_r_printcoefmat(names, columns, expected):
    assert coefficient_table(names, *columns, "t") == expected + ["---", LEGEND]


@pytest.mark.parametrize("call, expected", [
    ("glm(formula = am ~ wt, family = binomial)",
     ["glm(formula = am ~ wt, family = binomial)"]),
    # R: print(summary(glm(cbind(ncases, ncontrols) ~ agegp + tobgp * alcgp, ...))) shows
    # this break (with "binomial(), data = esoph" after it).
    ("glm(formula = cbind(ncases, ncontrols) ~ agegp + tobgp * alcgp, family = binomial)",
     ["glm(formula = cbind(ncases, ncontrols) ~ agegp + tobgp * alcgp, ",
      "    family = binomial)"]),
    # Breaks only where the line has passed 60 characters, the operator kept at its end.
    ("lm(formula = y ~ " + " + ".join(f"x{j}" for j in range(1, 25)) + ")",
     ["lm(formula = y ~ x1 + x2 + x3 + x4 + x5 + x6 + x7 + x8 + x9 + ",
      "    x10 + x11 + x12 + x13 + x14 + x15 + x16 + x17 + x18 + x19 + ",
      "    x20 + x21 + x22 + x23 + x24)"]),
])
def test_call_lines_break_as_r_deparse(call, expected):
    assert deparse_lines(call) == expected


def synthetic(library="pandas"):
    return as_frame(read_table("synthetic"), library)


# R's printed output of the example of ?lm (Dobson's plant weights), R's "groupTrt" being
# "group_Trt" here. The residual quantiles -0.49375 and 0.24625 sit on a rounding tie at 4
# decimals, so their last digit depends on the last bit of the residuals: that line is
# compared by value.
R_PLANT_WEIGHT_OUTPUT = """
Call:
lm(formula = weight ~ group)

Residuals:
    Min      1Q  Median      3Q     Max 
-1.0710 -0.4938  0.0685  0.2462  1.3690 

Coefficients:
            Estimate Std. Error t value Pr(>|t|)    
(Intercept)   5.0320     0.2202  22.850 9.55e-15 ***
group_Trt    -0.3710     0.3114  -1.191    0.249    
---
Signif. codes:  0 ‘***’ 0.001 ‘**’ 0.01 ‘*’ 0.05 ‘.’ 0.1 ‘ ’ 1

Residual standard error: 0.6964 on 18 degrees of freedom
Multiple R-squared:  0.07308,\tAdjusted R-squared:  0.02158 
F-statistic: 1.419 on 1 and 18 DF,  p-value: 0.249
"""


@pytest.mark.parametrize("library", LIBRARIES)
def test_lm_summary_reproduces_r_output(library):
    model = tf.lm("weight ~ group", as_frame(read_table("plant_weight"), library))
    ours, r = str(model.summary()).splitlines(), R_PLANT_WEIGHT_OUTPUT.splitlines()
    residuals = r.index("Residuals:") + 2
    assert ours[:residuals] + ours[residuals + 1:] == r[:residuals] + r[residuals + 1:]
    assert len(ours[residuals]) == len(r[residuals])
    np.testing.assert_allclose([float(v) for v in ours[residuals].split()],
                               [float(v) for v in r[residuals].split()], atol=1.000001e-4)


def test_lm_summary_with_aliased_column_and_missing_rows():
    model = tf.lm("y ~ x + x2 + xsum + z", synthetic())
    # Estimates and standard errors: smallest |value| 0.0777 -> round to 4 - (1 - 2) = 5
    # decimals; 0.07766 then needs 5 decimals at 4 significant digits, so all get 5.
    # t values rounded to 3 decimals; p-values at 3 digits, 3.9e-21 below the machine epsilon.
    # Residual quantiles: zapsmall to 5 digits (4 decimals), formatted with 4 digits.
    expected = "\n".join([
        "",
        "Call:",
        "lm(formula = y ~ x + x2 + xsum + z)",
        "",
        "Residuals:",
        "    Min      1Q  Median      3Q     Max ",
        "-4.0745 -1.3037 -0.1192  1.3080  4.1839 ",
        "",
        "Coefficients: (1 not defined because of singularities)",
        "            Estimate Std. Error t value Pr(>|t|)    ",
        "(Intercept)  1.76683    0.73287   2.411   0.0194 *  ",
        "x            1.92117    0.12525  15.339  < 2e-16 ***",
        "x2          -0.15814    0.22725  -0.696   0.4895    ",
        "xsum              NA         NA      NA       NA    ",
        "z           -0.55352    0.07766  -7.128 2.81e-09 ***",
        "---",
        LEGEND,
        "",
        "Residual standard error: 1.729 on 53 degrees of freedom",
        "  (3 observations deleted due to missingness)",
        "Multiple R-squared:  0.8324,\tAdjusted R-squared:  0.8229 ",
        "F-statistic: 87.73 on 3 and 53 DF,  p-value: < 2.2e-16",
        "",
    ])
    assert str(model.summary()) == expected


def test_glm_summary_of_challenger():
    columns = read_table("challenger")
    model = tf.glm("distress ~ temp", as_frame(columns, "polars"))
    # Smallest |value| 0.108 -> 4 decimals; 15.0429 and -0.2322 share 4 decimals. Deviances
    # at 5 digits, AIC at 5 digits. These agree with the published R output of this fit.
    lines = [
        "",
        "Call:",
        "glm(formula = distress ~ temp, family = binomial)",
        "",
        "Coefficients:",
        "            Estimate Std. Error z value Pr(>|z|)  ",
        "(Intercept)  15.0429     7.3786   2.039   0.0415 *",
        "temp         -0.2322     0.1082  -2.145   0.0320 *",
        "---",
        LEGEND,
        "",
        "(Dispersion parameter for binomial family taken to be 1)",
        "",
        "    Null deviance: 28.267  on 22  degrees of freedom",
        "Residual deviance: 20.315  on 21  degrees of freedom",
        "AIC: 24.315",
    ]
    if model.iterations is not None:
        lines += ["", f"Number of Fisher Scoring iterations: {model.iterations}"]
    assert str(model.summary()) == "\n".join(lines + [""])


def test_lm_summary_of_few_residuals_lists_them():
    model = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    text = str(model.summary()).splitlines()
    # Two residual degrees of freedom: every residual, named by its row (fit 1.1 x).
    start = text.index("Residuals:")
    assert text[start + 1:start + 3] == ["   1    2    3    4 ", "-0.1  0.8 -1.3  0.6 "]
    assert "Residual standard error: 1.162 on 2 degrees of freedom" in text


def test_lm_summary_without_residuals_skips_their_block():
    # A model fitted on Dask keeps no residuals; the rest of the summary is the same.
    model = tf.lm("y ~ x + x2 + xsum + z", synthetic())
    full = str(model.summary()).splitlines()
    model.residuals = None
    text = str(model.summary()).splitlines()
    start = full.index("Residuals:")
    assert text == full[:start] + full[start + 4:]


@pytest.mark.parametrize("formula, line", [
    ("b ~ x + z", "  (3 observations deleted due to missingness)"),  # x twice, b once
    ("b ~ z", "  (1 observation deleted due to missingness)"),
])
def test_glm_summary_counts_missing_rows(formula, line):
    text = str(tf.glm(formula, synthetic("pyarrow")).summary()).splitlines()
    residual = [i for i, entry in enumerate(text) if entry.startswith("Residual deviance:")]
    assert text[residual[0] + 1] == line


def test_penalized_summary_shows_penalties_and_no_inference():
    model = tf.glm("b ~ x + g", synthetic(), penalties={"x": 2.0, ("g", "b"): 1.0})
    summary = model.summary()
    assert summary.lambdas == [0.0, 2.0, 1.0, 0.0]
    text = str(summary).splitlines()
    heading = text.index("Coefficients (ridge penalty: no standard errors or p-values):")
    assert text[heading + 1].split() == ["Estimate", "Penalty"]
    rows = [line.split() for line in text[heading + 2:heading + 6]]
    assert [row[0] for row in rows] == ["(Intercept)", "x", "g_b", "g_c"]
    assert [float(row[2]) for row in rows] == [0.0, 2.0, 1.0, 0.0]
    estimates = [float(row[1]) for row in rows]
    np.testing.assert_allclose(estimates, list(model.coefficients.values()), rtol=1e-3)
    assert not any("Pr(" in line or "Signif" in line for line in text)


def test_summary_of_loaded_model_says_to_refit(tmp_path):
    model = tf.lm("y ~ x + g", synthetic())
    path = tmp_path / "model.json"
    model.save(str(path))
    loaded = tf.load(str(path))
    with pytest.raises(ValueError, match="loaded from a model file"):
        loaded.summary()


@pytest.mark.parametrize("library", LIBRARIES)
def test_tidy_gives_a_frame_of_the_callers_library(library):
    model = tf.lm("y ~ x + x2 + xsum + z", synthetic(library))
    table = model.tidy()
    native = {"pandas": "pandas", "polars": "polars", "pyarrow": "pyarrow",
              "dict": "pandas"}[library]
    assert type(table).__module__.split(".")[0] == native
    import narwhals.stable.v1 as nw

    columns = nw.from_native(table, eager_only=True).to_dict(as_series=False)
    assert list(columns) == ["term", "estimate", "std_error", "statistic", "p_value"]
    assert columns["term"] == model.column_names
    for key, attribute in [("std_error", "std_errors"), ("statistic", "statistics"),
                           ("p_value", "p_values")]:
        values = getattr(model, attribute)
        expected = [math.nan if name in model.aliased else values[name]
                    for name in model.column_names]
        np.testing.assert_array_equal(np.array(columns[key], dtype=float), expected)
    assert math.isnan(columns["estimate"][model.column_names.index("xsum")])


# R: d <- data.frame(x = ..., y = ...); print(summary(lm(y ~ x, d))), the Call line (which
# adds "data = d") left out. The first has a p-value between 1e-4 and 1e-3 (fixed, and the
# other one widened to match) and an F statistic that formatC pads to five columns; in the
# second zapsmall keeps 4 decimals of residuals up to 11.75.
@pytest.mark.parametrize("y, expected", [
    ([-23.0, 12.0, 14.0, 43.0, 48.0, 83.0, 58.0, 76.0, 100.0], [
        "Residuals:",
        "    Min      1Q  Median      3Q     Max ",
        "-14.733 -10.267   0.200   6.933  23.800 ",
        "",
        "Coefficients:",
        "            Estimate Std. Error t value Pr(>|t|)    ",
        "(Intercept)  -22.000      9.873  -2.228 0.061131 .  ",
        "x             13.533      1.755   7.713 0.000115 ***",
        "---",
        LEGEND,
        "",
        "Residual standard error: 13.59 on 7 degrees of freedom",
        "Multiple R-squared:  0.8947,\tAdjusted R-squared:  0.8797 ",
        "F-statistic:  59.5 on 1 and 7 DF,  p-value: 0.000115",
    ]),
    ([5.2, 1.0, 15.9, 25.8, 15.2, 20.9, 10.5, 29.9, 27.4, 21.6], [
        "Residuals:",
        "     Min       1Q   Median       3Q      Max ",
        "-10.1327  -4.7791   0.6673   3.6515  11.7527 ",
        "",
        "Coefficients:",
        "            Estimate Std. Error t value Pr(>|t|)  ",
        "(Intercept)   5.2667     5.0178   1.050   0.3246  ",
        "x             2.1952     0.8087   2.714   0.0265 *",
        "---",
        LEGEND,
        "",
        "Residual standard error: 7.345 on 8 degrees of freedom",
        "Multiple R-squared:  0.4794,\tAdjusted R-squared:  0.4144 ",
        "F-statistic: 7.368 on 1 and 8 DF,  p-value: 0.02647",
    ]),
])
def test_lm_summary_of_small_fits_as_r(y, expected):
    data = {"x": [float(i) for i in range(1, len(y) + 1)], "y": y}
    text = str(tf.lm("y ~ x", data).summary())
    assert text == "\n".join(["", "Call:", "lm(formula = y ~ x)", ""] + expected + [""])


# R: print(structure(zapsmall(quantile(r), 5), names = c("Min", "1Q", "Median", "3Q",
# "Max")), digits = 4) for each r, as print.summary.lm prints the residuals.
@pytest.mark.parametrize("residuals, expected", [
    ([-15.27431, -3.21, 0.01234, 2.5, 8.1],
     ["     Min       1Q   Median       3Q      Max ",
      "-15.2743  -3.2100   0.0123   2.5000   8.1000 "]),
    ([-2.5, -1.0, -1e-17, 1.0, 3.1],  # the median zapped to a zero, printed unsigned
     ["   Min     1Q Median     3Q    Max ",
      "  -2.5   -1.0    0.0    1.0    3.1 "]),
    ([-1.23456, -0.5, 0.0123, 0.4, 2.9],
     ["    Min      1Q  Median      3Q     Max ",
      "-1.2346 -0.5000  0.0123  0.4000  2.9000 "]),
    ([-1234.5678, -10.25, 0.123456, 99.9, 400.1],
     ["     Min       1Q   Median       3Q      Max ",
      "-1234.57   -10.25     0.12    99.90   400.10 "]),
    ([-0.004567, -0.001, 0.0002345, 0.003, 0.0081],
     ["       Min         1Q     Median         3Q        Max ",
      "-0.0045670 -0.0010000  0.0002345  0.0030000  0.0081000 "]),
])
def test_residual_quantiles_as_r_zapsmall(residuals, expected):
    model = tf.lm("y ~ x + x2 + xsum + z", synthetic())  # 53 residual degrees of freedom
    model.residuals = np.array(residuals)  # five values are their own quantiles
    text = str(model.summary()).splitlines()
    start = text.index("Residuals:")
    assert text[start + 1:start + 3] == expected


# R 4.3 and later: d <- data.frame(x = ..., y = ...); print(summary(glm(y ~ x, binomial, d,
# control = glm.control(epsilon = 1e-12)))) (converged as tallyfit converges; it took R 4
# iterations), without the Call line and without the deviance residuals that R before 4.3
# printed.
R_SMALL_GLM_LINES = [
    "Coefficients:",
    "            Estimate Std. Error z value Pr(>|z|)",
    "(Intercept)  -2.5280     1.7382  -1.454    0.146",
    "x             0.4449     0.2841   1.566    0.117",
    "",
    "(Dispersion parameter for binomial family taken to be 1)",
    "",
    "    Null deviance: 16.636  on 11  degrees of freedom",
    "Residual deviance: 13.403  on 10  degrees of freedom",
    "AIC: 17.403",
]
R_SMALL_GLM_ITERATIONS = 4


@pytest.mark.parametrize("iterations", [R_SMALL_GLM_ITERATIONS,
                                        np.int64(R_SMALL_GLM_ITERATIONS),
                                        float(R_SMALL_GLM_ITERATIONS), None])
def test_glm_summary_ends_with_iterations_as_r(iterations):
    data = {"x": [1.5, 2.2, 3.1, 3.8, 4.4, 5.3, 6.1, 6.6, 7.7, 8.2, 9.4, 10.1],
            "y": [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 1.0, 1.0, 0.0, 1.0, 1.0]}
    model = tf.glm("y ~ x", data)
    model.iterations = iterations
    tail = [] if iterations is None else [
        "", f"Number of Fisher Scoring iterations: {R_SMALL_GLM_ITERATIONS}"]
    assert str(model.summary()) == "\n".join(
        ["", "Call:", "glm(formula = y ~ x, family = binomial)", ""] + R_SMALL_GLM_LINES
        + tail + [""])


@pytest.mark.parametrize("fit", [
    lambda data: tf.lm("y ~ x + g", data),
    lambda data: tf.glm("b ~ x + g", data),
    lambda data: tf.glm("b ~ x + g", data, penalties={"x": 2.0}),
], ids=["lm", "glm", "penalized glm"])
def test_summary_of_loaded_model_raises_one_clear_error(tmp_path, fit):
    path = tmp_path / "model.json"
    fit(synthetic()).save(str(path))
    loaded = tf.load(str(path))
    for summarize in (loaded.summary, loaded.tidy):
        with pytest.raises(ValueError) as error:
            summarize()
        assert str(error.value) == LOADED_MODEL_MESSAGE


@pytest.mark.parametrize("formula, kind, heading", [
    ("y ~ x", None, "Pr(>|t|)"),  # no kind: lm's layout from the class's r_squared
    ("b ~ x", None, "Pr(>|z|)"),
    ("b ~ x", "glm", "Pr(>|z|)"),
    ("y ~ x", "lm", "Pr(>|t|)"),
])
def test_summary_layout_follows_model_kind(formula, kind, heading):
    fit = tf.lm if formula.startswith("y") else tf.glm
    model = fit(formula, synthetic())
    if kind is not None:
        model.kind = kind
    text = str(model.summary())
    assert heading in text
    assert ("Residual standard error" in text) == (heading == "Pr(>|t|)")


def test_summary_of_unknown_kind_says_which_kinds_are_known():
    model = tf.lm("y ~ x", synthetic())
    model.kind = "poisson"
    with pytest.raises(ValueError, match="kind 'poisson'.*expected one of"):
        model.summary()


@pytest.mark.parametrize("fit", [
    lambda data: tf.lm("y ~ x", data),
    lambda data: tf.glm("y ~ x", data, family="poisson"),
], ids=["lm", "glm"])
def test_notebooks_show_the_printed_summary_escaped(fit) -> None:
    data = {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "y": [1.0, 3.0, 2.0, 5.0, 4.0, 7.0]}
    summary = fit(data).summary()
    text = str(summary)
    shown = summary._repr_html_()
    assert shown.startswith("<pre>") and shown.endswith("</pre>")
    assert "Pr(&gt;|" in shown and "Pr(>|" not in shown
    unescaped = shown[5:-6].replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&")
    assert unescaped == text
