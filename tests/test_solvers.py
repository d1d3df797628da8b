"""Accuracy of the least-squares and IRLS solves against SVD and fully converged references,
R's iteration count and warnings, and designs whose scale over- or underflows."""

import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from fitting_support import reference_irls

RNG_SEED = 20261208
DATA = Path(__file__).parent / "data"


def _svd_coefficients(columns, y):
    x = np.column_stack([np.ones(len(y))] + columns)
    return np.linalg.lstsq(x, y, rcond=None)[0]


def _ill_conditioned(kind, rng, n=300):
    """Designs whose normal equations square a large condition number of X."""
    u = rng.uniform(size=n)
    if kind.startswith("shift"):
        t = float(kind[5:]) + u
        return {"t": t}, ["t"], 2.0 + 3.0 * u + rng.normal(size=n)
    z = rng.normal(size=n)
    x1 = rng.normal(size=n)
    x2 = x1 + 1e-6 * z
    return {"x1": x1, "x2": x2}, ["x1", "x2"], 1.0 + x1 + x2 + rng.normal(size=n)


@pytest.mark.parametrize("kind", ["shift1e5", "shift1e6", "near_collinear"])
def test_lm_matches_svd_on_ill_conditioned_designs(kind):
    rng = np.random.default_rng(RNG_SEED)
    columns, names, y = _ill_conditioned(kind, rng)
    model = tf.lm("y ~ " + " + ".join(names), {**columns, "y": y})
    expected = _svd_coefficients([columns[name] for name in names], y)
    got = np.array([model.coefficients[name] for name in ["(Intercept)"] + names])
    np.testing.assert_allclose(got, expected, rtol=1e-8)


def test_lm_aliases_a_column_as_r_beyond_the_tolerance():
    # R's QR (tol = 1e-7) finds t = 1e7 + U(0, 1) a multiple of the intercept: its residual
    # norm is about 3e-8 of its own.
    rng = np.random.default_rng(RNG_SEED)
    columns, _, y = _ill_conditioned("shift1e7", rng)
    assert tf.lm("y ~ t", {**columns, "y": y}).aliased == ["t"]


def test_lm_on_a_square_longley_subset_keeps_its_digits():
    data = pd.read_csv(DATA / "longley.csv", comment="#")
    names = list(data.columns)
    response, predictors = names[0], names[1:]
    rows = slice(0, len(predictors) + 1)  # n = p: an exact fit
    frame = {name: data[name].to_numpy()[rows] for name in names}
    model = tf.lm(f"{response} ~ " + " + ".join(predictors), frame)
    expected = _svd_coefficients([frame[name] for name in predictors], frame[response])
    got = np.array([model.coefficients[c] for c in ["(Intercept)"] + predictors])
    np.testing.assert_allclose(got, expected, rtol=1e-7)


@pytest.mark.parametrize("scale", [1e-150, 1e-300, 1e150, 1e300])
def test_lm_is_scale_invariant_at_extreme_scales(scale):
    rng = np.random.default_rng(RNG_SEED)
    x = rng.normal(size=50)
    y = 1.0 + x + rng.normal(size=50)
    plain = tf.lm("y ~ x", {"x": x, "y": y})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        scaled = tf.lm("y ~ x", {"x": x * scale, "y": y})
    assert scaled.aliased == []
    assert scaled.coefficients["x"] * scale == pytest.approx(plain.coefficients["x"], rel=1e-12)
    if 1e-200 < scale < 1e200:  # beyond, the variance itself is past the largest double
        assert scaled.std_errors["x"] * scale == pytest.approx(plain.std_errors["x"], rel=1e-12)
    assert scaled.f_statistic[0] == pytest.approx(plain.f_statistic[0], rel=1e-10)


def test_glm_on_a_shifted_predictor_matches_the_centred_fit():
    rng = np.random.default_rng(RNG_SEED)
    u = rng.uniform(size=400)
    y = (rng.uniform(size=400) < 1.0 / (1.0 + np.exp(-(4.0 * u - 2.0)))).astype(float)
    shifted = tf.glm("y ~ t", {"t": 1e5 + u, "y": y})
    centred = tf.glm("y ~ t", {"t": u, "y": y})
    assert shifted.coefficients["t"] == pytest.approx(centred.coefficients["t"], rel=1e-8)
    assert shifted.std_errors["t"] == pytest.approx(centred.std_errors["t"], rel=1e-6)
    assert shifted.deviance == pytest.approx(centred.deviance, rel=1e-10)


@pytest.mark.parametrize("seed", range(4))
def test_glm_reaches_the_optimum_to_working_precision(seed):
    rng = np.random.default_rng(seed)
    n, p = 500, 4
    x = np.column_stack([np.ones(n), rng.normal(size=(n, p - 1))])
    y = (rng.uniform(size=n) < 1.0 / (1.0 + np.exp(-(x @ rng.normal(size=p))))).astype(float)
    converged, _ = reference_irls(x, y, max_iterations=100, convergence_delta=1e-14)
    frame = {f"x{j}": x[:, j] for j in range(1, p)} | {"y": y}
    model = tf.glm("y ~ " + " + ".join(f"x{j}" for j in range(1, p)), frame)
    got = np.array(list(model.coefficients.values()))
    np.testing.assert_allclose(got, converged, rtol=1e-10, atol=1e-13)


# R 4.2: glm(y ~ x, family = binomial) on these data: iterations, coefficients, and whether
# it warns "glm.fit: fitted probabilities numerically 0 or 1 occurred".
SEPARATED = [
    ([1, 2, 3, 4, 5, 6], [0, 0, 0, 1, 1, 1], 25, (-165.3178, 47.23367), True),
    ([1, 2, 3, 3, 4, 5], [0, 0, 0, 1, 1, 1], 20, (-60.42097, 20.14032), True),
    ([1, 2, 3, 4, 5, 6], [0, 0, 0, 0, 0, 0], 23, (-24.56607, 0.0), False),
]


@pytest.mark.parametrize("x, y, iterations, estimates, warns", SEPARATED,
                         ids=["complete", "quasi", "all_zero"])
def test_separated_data_stop_and_warn_as_r(x, y, iterations, estimates, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = tf.glm("y ~ x", {"x": np.array(x, float), "y": np.array(y, float)})
    separation = [w for w in caught if issubclass(w.category, tf.SeparationWarning)]
    assert bool(separation) == warns
    assert model.iterations == iterations
    got = list(model.coefficients.values())
    # R clamps the linear predictor at ±30 inside its weights, so diverging estimates agree
    # to a few digits only.
    assert got == pytest.approx(list(estimates), rel=1e-5, abs=1e-9)


def test_an_ordinary_glm_issues_no_warning():
    data = pd.read_csv(DATA / "challenger.csv", comment="#")
    frame = {"temp": data.iloc[:, 0].to_numpy(float),
             "y": (data.iloc[:, 1].to_numpy() > 0).astype(float)}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = tf.glm("y ~ temp", frame)
    # R: glm(damaged > 0 ~ temp, binomial) reports 5 Fisher scoring iterations.
    assert model.iterations == 5
