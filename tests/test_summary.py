"""R-style summaries and tidy coefficient tables.

The expected texts are worked out by hand from R's printing rules (print.summary.lm,
print.summary.glm, printCoefmat, format.pval, formatReal) and the reference fits in
tests/fixtures; the derivation of each number is noted beside it.
"""

import math

import numpy as np
import pytest

import tallyfit as tf
from reference_tables import LIBRARIES, as_frame, read_table
from tallyfit.summary import deparse_lines, format_numbers, format_pvalues

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
])
def test_format_pvalues_as_r_format_pval(pvalues, digits, expected):
    assert format_pvalues(pvalues, digits) == expected


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
