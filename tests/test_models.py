"""The fitted models: estimates against direct NumPy solutions, argument checks, responses,
aliasing, prediction (levels from the fit, aligned NaN rows, intervals) and model files."""

import re

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from fitting_support import reference_irls
from scipy import stats

import tallyfit as tf
from tallyfit import frames

RNG = np.random.default_rng(11)
N = 120
X = RNG.normal(size=N)
G = RNG.choice(["lo", "mid", "hi"], N)
Y = 1.0 + 0.5 * X + (G == "mid") * 0.7 + RNG.normal(size=N)
B = (RNG.random(N) < 1.0 / (1.0 + np.exp(-(0.3 + 0.8 * X - 0.5 * (G == "hi"))))).astype(float)
DATA = {"x": X, "g": list(G), "y": Y, "b": B}
# The design of "~ x + g" (levels sorted: hi, lo, mid; "hi" the reference), written out.
DESIGN = np.column_stack([np.ones(N), X, G == "lo", G == "mid"]).astype(float)
NAMES = ["(Intercept)", "x", "g_lo", "g_mid"]

LIBRARIES = {
    "dict": lambda d: d,
    "pandas": pd.DataFrame,
    "polars": pl.DataFrame,
    "pyarrow": pa.table,
}


def values(d):
    return np.array(list(d.values()))


@pytest.mark.parametrize("library", LIBRARIES)
def test_lm_against_normal_equations(library):
    model = tf.lm("y ~ x + g", LIBRARIES[library](DATA))
    beta, *_ = np.linalg.lstsq(DESIGN, Y, rcond=None)
    residuals = Y - DESIGN @ beta
    sigma2 = residuals @ residuals / (N - 4)
    covariance = sigma2 * np.linalg.inv(DESIGN.T @ DESIGN)
    se = np.sqrt(np.diag(covariance))
    assert model.column_names == NAMES
    np.testing.assert_allclose(values(model.coefficients), beta, rtol=1e-10)
    np.testing.assert_allclose(model.vcov(), covariance, rtol=1e-9)
    np.testing.assert_allclose(values(model.std_errors), se, rtol=1e-9)
    np.testing.assert_allclose(values(model.p_values), 2 * stats.t.sf(abs(beta / se), N - 4))
    np.testing.assert_allclose(model.residuals, residuals, atol=1e-12)
    tss = np.sum((Y - Y.mean()) ** 2)
    assert model.r_squared == pytest.approx(1 - residuals @ residuals / tss)
    assert model.f_statistic[1:] == (3.0, N - 4.0)
    assert model.df_resid == N - 4 and model.nobs == N and model.has_intercept


def test_lm_without_intercept_takes_r_squared_about_zero():
    model = tf.lm("y ~ x - 1", DATA)
    rss = float(np.sum(model.residuals**2))
    assert model.r_squared == pytest.approx(1 - rss / (Y @ Y))
    assert model.f_statistic[1:] == (1.0, N - 1.0)


@pytest.mark.parametrize("library", LIBRARIES)
def test_glm_against_plain_newton_iteration(library):
    model = tf.glm("b ~ x + g", LIBRARIES[library](DATA))
    beta, _ = reference_irls(DESIGN, B, convergence_delta=1e-14)
    mu = 1 / (1 + np.exp(-DESIGN @ beta))
    covariance = np.linalg.inv(DESIGN.T @ (DESIGN * (mu * (1 - mu))[:, None]))
    np.testing.assert_allclose(values(model.coefficients), beta, rtol=1e-6)
    np.testing.assert_allclose(model.vcov(), covariance, rtol=1e-6)
    deviance = -2 * np.sum(B * np.log(mu) + (1 - B) * np.log(1 - mu))
    assert model.deviance == pytest.approx(deviance, rel=1e-9)
    p = B.mean()
    assert model.null_deviance == pytest.approx(-2 * N * (p * np.log(p) + (1 - p) * np.log(1 - p)))
    assert model.aic == pytest.approx(deviance + 8, rel=1e-9)
    assert model.bic == pytest.approx(deviance + 4 * np.log(N), rel=1e-9)
    assert (model.df_null, model.df_resid) == (N - 1, N - 4)


@pytest.mark.parametrize(
    "response, expected",
    [
        (B.astype(bool), B),
        (np.where(B == 1, "yes", "no"), B),  # levels "no" < "yes": "yes" is 1
        (pd.Categorical(np.where(B == 1, "a", "b"), categories=["b", "a"]), B),
    ],
    ids=["bool", "strings", "categorical"],
)
def test_glm_response_kinds(response, expected):
    data = pd.DataFrame({"x": X, "r": response})
    fitted = tf.glm("r ~ x", data).coefficients
    assert fitted == pytest.approx(tf.glm("b ~ x", {"x": X, "b": expected}).coefficients)


@pytest.mark.parametrize(
    "response, shown",
    [([0.0, 1.0, 2.0, 1.0], "2.0"), ([0.0, -0.5, 1.0, 1.0], "-0.5")],
)
def test_glm_refuses_other_numeric_responses(response, shown):
    with pytest.raises(ValueError, match=f"response 'r' .* has the value {re.escape(shown)}"):
        tf.glm("r ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "r": response})


def test_glm_refuses_three_level_response():
    with pytest.raises(ValueError, match="levels 'a', 'b', 'c'"):
        tf.glm("r ~ x", {"x": [1.0, 2.0, 3.0], "r": ["a", "b", "c"]})


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"family": "poison"}, "family must be one of 'binomial'"),
        ({"max_iterations": 0}, "max_iterations must be a positive integer"),
        ({"max_iterations": 2.5}, "max_iterations must be a positive integer"),
        ({"convergence_delta": -1.0}, "convergence_delta must be a finite number >= 0"),
        ({"convergence_delta": float("nan")}, "convergence_delta must be a finite number"),
        ({"penalties": {"x": -1.0}}, "the penalty on 'x' must be a finite number >= 0"),
        ({"penalties": {"w": 1.0}}, "penalty on 'w': no design column"),
        ({"penalties": {("g", "zz"): 1.0}}, "'g' has no level 'zz'"),
        ({"penalties": {("g", "hi"): 1.0}}, "reference level of 'g'"),
        ({"penalties": {("x", "1"): 1.0}}, "'x' is not a categorical variable"),
        ({"penalties": {1: 1.0}}, "penalty key 1"),
        ({"penalties": [("x", 1.0)]}, "penalties must be a dict"),
    ],
)
def test_glm_argument_errors(kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        tf.glm("b ~ x + g", DATA, **kwargs)


def test_glm_non_convergence_warns_as_r_and_says_what_to_do():
    # R's glm.fit warns and returns the last estimate; so does the fit here.
    with pytest.warns(tf.ConvergenceWarning, match="raise max_iterations"):
        model = tf.glm("b ~ x", DATA, max_iterations=1)
    assert model.iterations == 1


def test_penalized_glm_matches_ridge_newton_and_refuses_inference():
    model = tf.glm("b ~ x + g", DATA, penalties={"x": 2.0, ("g", "mid"): 1.0})
    beta, _ = reference_irls(DESIGN, B, ridge=[0, 2.0, 0, 1.0], convergence_delta=1e-14)
    np.testing.assert_allclose(values(model.coefficients), beta, rtol=1e-6)
    assert model.penalties == {"x": 2.0, ("g", "mid"): 1.0}
    for attribute in ("std_errors", "statistics", "p_values"):
        with pytest.raises(ValueError, match="not defined for a penalized model"):
            getattr(model, attribute)


@pytest.mark.parametrize("fit", [tf.lm, tf.glm])
def test_aliased_columns_get_nan_and_leave_the_fit_unchanged(fit):
    data = dict(DATA, x2=2.0 * X, g=list(np.where(G == "lo", "mid", G)))
    # "lo" never occurs: dropped as R drops unused levels, so it is no column at all
    data["g"] = pd.Categorical(data["g"], categories=["hi", "lo", "mid"])
    response = "y" if fit is tf.lm else "b"
    model = fit(f"{response} ~ x + g + x2", pd.DataFrame(data))
    reduced = fit(f"{response} ~ x + g", pd.DataFrame(data).assign(g=lambda d: d.g.astype(str)))
    assert model.aliased == ["x2"] and "g_lo" not in model.coefficients
    assert np.isnan(model.coefficients["x2"]) and np.isnan(model.std_errors["x2"])
    assert np.isnan(model.vcov()[:, 3]).all()
    for name, value in reduced.coefficients.items():
        assert model.coefficients[name] == pytest.approx(value)
        assert model.std_errors[name] == pytest.approx(reduced.std_errors[name])
    np.testing.assert_allclose(model.predict(data), reduced.predict(data))


NEW = {"x": [0.5, np.nan, -1.0, 2.0], "g": ["mid", "lo", None, "hi"]}
NEW_DESIGN = np.array([[1, 0.5, 0, 1], [1, 2.0, 0, 0]])


@pytest.mark.parametrize("library", LIBRARIES)
def test_lm_predict_intervals_against_numpy(library):
    model = tf.lm("y ~ x + g", DATA)
    new = LIBRARIES[library](NEW)
    covariance = model.vcov()
    fit = NEW_DESIGN @ values(model.coefficients)
    se_fit = np.sqrt(np.einsum("ij,jk,ik->i", NEW_DESIGN, covariance, NEW_DESIGN))
    t = stats.t.ppf(0.95, N - 4)
    for interval, spread in [("confidence", se_fit), ("prediction", np.hypot(se_fit, model.sigma))]:
        got = model.predict(new, interval=interval, level=0.9)
        for array, expected in zip(got, [fit, fit - t * spread, fit + t * spread]):
            assert np.isnan(array[1:3]).all()
            np.testing.assert_allclose(array[[0, 3]], expected, rtol=1e-12)


def test_glm_predict_link_and_response():
    model = tf.glm("b ~ x + g", DATA)
    link = model.predict(NEW, type="link")
    np.testing.assert_allclose(link[[0, 3]], NEW_DESIGN @ values(model.coefficients))
    np.testing.assert_allclose(model.predict(NEW), 1 / (1 + np.exp(-link)))
    assert np.isnan(link[1:3]).all()


@pytest.mark.parametrize(
    "new, message",
    [
        ({"x": [1.0], "g": ["top"]}, "variable 'g' has level 'top'"),
        ({"x": [1.0], "g": [1]}, "variable 'g' was categorical with levels 'hi', 'lo', 'mid'"),
        ({"x": ["1"], "g": ["lo"]}, "variable 'x' was numeric"),
        ({"g": ["lo"]}, "column 'x' not found in data"),
    ],
)
def test_predict_errors(new, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        tf.lm("y ~ x + g", DATA).predict(new)


def test_predict_levels_come_from_the_fit():
    model = tf.lm("y ~ x + g", DATA)
    one_level = model.predict({"x": [1.0, 1.0], "g": ["mid", "mid"]})
    assert one_level[0] == pytest.approx(sum(values(model.coefficients)[[0, 1, 3]]))


@pytest.mark.parametrize(
    "fit",
    [
        lambda: tf.lm("y ~ x * g", DATA),
        lambda: tf.glm("b ~ x + g - 1", DATA),
        lambda: tf.glm("b ~ x + g", DATA, penalties={"x": 1.0, ("g", "lo"): 3.0}),
    ],
    ids=["linear", "logistic", "penalized"],
)
def test_save_and_load_round_trip(tmp_path, fit):
    model = fit()
    path = tmp_path / "model.json"
    model.save(path)
    loaded = tf.load(path)
    assert type(loaded) is type(model)
    assert loaded.formula == model.formula and loaded.column_names == model.column_names
    assert loaded.coefficients == model.coefficients
    assert getattr(loaded, "penalties", None) == getattr(model, "penalties", None)
    np.testing.assert_array_equal(loaded.predict(NEW), model.predict(NEW))
    for ask in (loaded.conf_int, loaded.vcov, lambda: loaded.p_values, lambda: loaded.nobs):
        with pytest.raises(ValueError, match="loaded from a model file; refit on data"):
            ask()


def test_load_refuses_other_files(tmp_path):
    path = tmp_path / "other.json"
    path.write_text('{"model_type": "Forest"}')
    with pytest.raises(ValueError, match="not a tallyfit model file"):
        tf.load(path)


def test_codes_without_pyarrow_match(monkeypatch):
    with_arrow = tf.lm("y ~ x + g", pd.DataFrame(DATA)).coefficients
    monkeypatch.setattr(frames, "_arrow_codes", lambda series, levels: None)
    assert tf.lm("y ~ x + g", pd.DataFrame(DATA)).coefficients == with_arrow
    with pytest.raises(ValueError, match="has level 'top'"):
        tf.lm("y ~ x + g", DATA).predict({"x": [1.0], "g": ["top"]})


def test_missing_rows_are_counted():
    data = dict(DATA, x=np.where(np.arange(N) < 5, np.nan, X))
    model = tf.lm("y ~ x + g", data)
    assert (model.nobs, model.n_missing) == (N - 5, 5)
    assert len(model.residuals) == N - 5


@pytest.mark.parametrize(
    "fit, kind",
    [
        (lambda: tf.lm("y ~ x + g", DATA), "LinearRegression"),
        (lambda: tf.glm("b ~ x + g", DATA), "LogisticRegression"),
        (lambda: tf.glm("b ~ x + g", DATA, penalties={"x": 1.0}), "PenalizedLogisticRegression"),
    ],
)
def test_core_from_coefficients_predicts_as_the_fitted_core(tmp_path, fit, kind):
    model = fit()
    plan = model._plan
    penalties = [("x", None, 1.0)] if "Penalized" in kind else None
    core = tf.models.core_from_coefficients(
        kind, NAMES, values(model.coefficients), plan.encoder(), plan.formula, penalties
    )
    assert type(core) is type(model.core)
    np.testing.assert_array_equal(core.predict(DESIGN, NAMES), model.core.predict(DESIGN, NAMES))
    core.save_to_file(str(tmp_path / "core.json"))
    np.testing.assert_array_equal(tf.load(tmp_path / "core.json").predict(NEW), model.predict(NEW))


@pytest.mark.parametrize("formula", ["y ~ 0", "y ~ -1", "y ~ 0 + offset(o)"])
def test_the_empty_model_fits_as_r(formula):
    # R fits a model without coefficients: the residuals are y minus the offset.
    data = {"y": [1.0, 2.0, 4.0], "o": [0.0, 0.5, 1.0]}
    offset = np.array(data["o"]) if "offset" in formula else np.zeros(3)
    model = tf.lm(formula, data)
    assert model.coefficients == {} and model.df_resid == 3
    np.testing.assert_allclose(model.rss, float(((np.array(data["y"]) - offset) ** 2).sum()))
    assert "No Coefficients" in str(model.summary())
    poisson = tf.glm(formula, data, family="poisson")
    mu = np.exp(offset)
    y = np.array(data["y"])
    np.testing.assert_allclose(poisson.deviance, 2.0 * float((y * np.log(y / mu) - (y - mu)).sum()))
