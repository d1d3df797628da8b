"""tf.lm and tf.glm against reference fits computed from R's summary.lm and summary.glm
formulas (tests/fixtures/make_fixtures.py), and against published results, on frames of every
supported library."""

import json
import math
import pathlib

import numpy as np
import pytest
from scipy import stats

import tallyfit as tf
from reference_tables import LIBRARIES, as_frame, read_table

FIXTURES = pathlib.Path(__file__).parent / "fixtures"
FITS = json.loads((FIXTURES / "reference_fits.json").read_text(encoding="utf-8"))["fits"]
CASES = {case["name"]: case for case in FITS}
RTOL = 1e-6

LONGLEY_FORMULA = "y ~ x1 + x2 + x3 + x4 + x5 + x6"
# NIST StRD, Longley: certified standard deviations of the estimates B0 ... B6, residual
# standard deviation and R-squared.
LONGLEY_CERTIFIED_SD = [890420.383607373, 84.9149257747669, 0.334910077722432e-01,
                        0.488399681651699, 0.214274163161675, 0.226073200069370,
                        455.478499142212]
LONGLEY_CERTIFIED_SIGMA = 304.854073561965
LONGLEY_CERTIFIED_R_SQUARED = 0.995479004577296


def fit(case, library):
    frame = as_frame(read_table(case["table"]), library, categories=case["levels"])
    fitter = tf.lm if case["kind"] == "lm" else tf.glm
    return fitter(case["formula"], frame)


def ordered(values, names):
    """A coefficient-keyed dict (None or NaN for NA) as an array in the given order."""
    return np.array([math.nan if values[name] is None else values[name] for name in names],
                    dtype=float)


def assert_matches_reference(model, case):
    names = case["column_names"]
    assert model.column_names == names
    assert list(model.coefficients) == names
    assert model.aliased == case["aliased"]
    assert (model.nobs, model.n_missing, model.df_resid) == (
        case["nobs"], case["n_missing"], case["df_resid"])
    estimates = ordered(model.coefficients, names)
    np.testing.assert_allclose(estimates, ordered(case["coefficients"], names), rtol=RTOL)
    kept = [name for name in names if name not in case["aliased"]]
    for key in ("std_errors", "statistics", "p_values"):
        np.testing.assert_allclose(ordered(getattr(model, key), kept),
                                   ordered(case[key], kept), rtol=RTOL, err_msg=key)
    reference_vcov = np.array(case["vcov"], dtype=float)
    index = [names.index(name) for name in kept]
    vcov = model.vcov()
    assert vcov.shape == (len(names), len(names))
    scale = np.sqrt(np.outer(np.diag(reference_vcov)[index], np.diag(reference_vcov)[index]))
    np.testing.assert_allclose(vcov[np.ix_(index, index)] / scale,
                               reference_vcov[np.ix_(index, index)] / scale,
                               rtol=RTOL, atol=RTOL)
    if case["kind"] == "lm":
        for key in ("sigma", "r_squared", "adj_r_squared", "f_p_value"):
            assert getattr(model, key) == pytest.approx(case[key], rel=RTOL), key
        assert tuple(model.f_statistic) == pytest.approx(tuple(case["f_statistic"]), rel=RTOL)
        quantile = stats.t.ppf(0.975, case["df_resid"])
    else:
        for key in ("deviance", "null_deviance", "log_likelihood", "aic", "bic"):
            assert getattr(model, key) == pytest.approx(case[key], rel=RTOL), key
        assert model.df_null == case["df_null"]
        # Wald intervals, as R's confint.default.
        quantile = stats.norm.ppf(0.975)
    intervals = model.conf_int()
    for name in kept:
        estimate, error = case["coefficients"][name], case["std_errors"][name]
        assert intervals[name] == pytest.approx(
            (estimate - quantile * error, estimate + quantile * error), rel=RTOL)


@pytest.mark.parametrize("case", FITS, ids=[case["name"] for case in FITS])
def test_reference_fit_on_every_library(case):
    libraries = [lib for lib in LIBRARIES if not (case["levels"] and lib == "dict")]
    models = {library: fit(case, library) for library in libraries}
    for library, model in models.items():
        assert_matches_reference(model, case)
    # The same fit, bit for bit, whatever library holds the data.
    first = models[libraries[0]]
    for model in models.values():
        np.testing.assert_array_equal(ordered(model.coefficients, case["column_names"]),
                                      ordered(first.coefficients, case["column_names"]))
        np.testing.assert_array_equal(model.vcov(), first.vcov())


@pytest.mark.parametrize("library", LIBRARIES)
def test_longley_reproduces_nist_certified_values(library):
    model = tf.lm(LONGLEY_FORMULA, as_frame(read_table("longley"), library))
    errors = [model.std_errors[name] for name in model.column_names]
    relative = np.abs(np.array(errors) / LONGLEY_CERTIFIED_SD - 1)
    assert relative.max() < 1e-6, relative
    assert model.sigma == pytest.approx(LONGLEY_CERTIFIED_SIGMA, rel=1e-6)
    assert model.r_squared == pytest.approx(LONGLEY_CERTIFIED_R_SQUARED, rel=1e-9)


def test_challenger_reproduces_published_fit():
    columns = read_table("challenger")
    model = tf.glm("distress ~ temp", as_frame(columns, "pandas"))
    # Dalal, Fowlkes and Hoadley (1989): 15.0429016 and -0.2321627, P(distress at 31 F) 0.99961.
    assert model.coefficients["(Intercept)"] == pytest.approx(15.0429016, abs=5e-8)
    assert model.coefficients["temp"] == pytest.approx(-0.2321627, abs=5e-8)
    assert model.predict({"temp": [31.0]})[0] == pytest.approx(0.99961, abs=5e-6)
