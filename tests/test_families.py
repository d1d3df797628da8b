"""Families against R: tf.glm(family="gaussian") against R's glm(family = gaussian) (numbers
and the printed summary), and the family functions against R's binomial() and gaussian()
(tests/r_reference/make_gaussian_glm.R wrote tests/r_reference/gaussian_glm.json)."""

import json
import math
import pathlib

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from tallyfit import families

HERE = pathlib.Path(__file__).parent / "r_reference"
REFERENCE = json.loads((HERE / "gaussian_glm.json").read_text(encoding="utf-8"))
MODELS = REFERENCE["models"]
R = REFERENCE["families"]


def fitted(case):
    frame = pd.read_csv(HERE / "data" / case["data"], keep_default_na=False, na_values=[""])
    return tf.glm(case["formula"], frame, family="gaussian")


@pytest.mark.parametrize("case", MODELS, ids=[case["id"] for case in MODELS])
def test_gaussian_glm_matches_r(case):
    model = fitted(case)
    assert model.column_names == case["names"]
    for key, attribute in (("estimates", "coefficients"), ("std_errors", "std_errors"),
                           ("statistics", "statistics"), ("p_values", "p_values")):
        np.testing.assert_allclose(list(getattr(model, attribute).values()), case[key],
                                   rtol=1e-7, atol=1e-12, err_msg=key)
    for key in ("dispersion", "deviance", "null_deviance", "aic", "bic", "log_likelihood"):
        assert getattr(model, key) == pytest.approx(case[key], rel=1e-9), key
    assert (model.df_null, model.df_resid, model.nobs) == (
        case["df_null"], case["df_resid"], case["nobs"])
    assert model.iterations == case["iterations"]
    assert str(model.summary()) == "\n".join(case["printed"])


@pytest.mark.parametrize("case", MODELS[:3], ids=[case["id"] for case in MODELS[:3]])
def test_gaussian_glm_estimates_are_least_squares(case):
    frame = pd.read_csv(HERE / "data" / case["data"], keep_default_na=False, na_values=[""])
    model, linear = fitted(case), tf.lm(case["formula"], frame)
    np.testing.assert_allclose(list(model.coefficients.values()),
                               list(linear.coefficients.values()), rtol=1e-10)
    np.testing.assert_allclose(model.vcov(), linear.vcov(), rtol=1e-8)
    assert model.dispersion == pytest.approx(linear.sigma ** 2, rel=1e-10)


@pytest.mark.parametrize("name, method, arguments", [
    ("binomial", "unit_deviance", ("y", "mu")),
    ("binomial", "variance", ("mu",)),
    ("gaussian", "unit_deviance", ("y_gaussian", "mu_gaussian")),
    ("binomial", "starting_mu", ("y",)),
])
def test_family_functions_match_r(name, method, arguments):
    family = families.family_from(name)
    expected = {"unit_deviance": f"{name}_dev_resids", "variance": f"{name}_variance",
                "starting_mu": f"{name}_mustart"}[method]
    values = getattr(family, method)(*(np.array(R[a]) for a in arguments))
    np.testing.assert_allclose(values, R[expected], rtol=1e-12)


def test_links_and_aic_match_r():
    binomial, gaussian = families.family_from("binomial"), families.family_from("gaussian")
    np.testing.assert_allclose(binomial.link.link(np.array(R["mu"])), R["binomial_linkfun"],
                               rtol=1e-12)
    np.testing.assert_allclose(binomial.link.mu_eta(np.array(R["eta"])), R["binomial_mu_eta"],
                               rtol=1e-12)
    y, mu = np.array(R["y"]), np.array(R["mu"])
    assert binomial.aic(y, mu, None, binomial.deviance(y, mu), 5) == pytest.approx(
        R["binomial_aic"], rel=1e-12)
    yg, mug = np.array(R["y_gaussian"]), np.array(R["mu_gaussian"])
    assert gaussian.aic(yg, mug, None, gaussian.deviance(yg, mug), 5) == pytest.approx(
        R["gaussian_aic"], rel=1e-12)


@pytest.mark.parametrize("spelling, expected", [
    ("binomial", "binomial"), ("Binomial", "binomial"), (" GAUSSIAN ", "gaussian"),
])
def test_registry_accepts_r_spellings(spelling, expected):
    assert families.family_from(spelling).name == expected


@pytest.mark.parametrize("name, link, message", [
    ("weibull", None, "family must be one of"),
    (3, None, "family must be"),
    ("gaussian", "logit", "link 'logit' is not available for the gaussian family"),
])
def test_registry_refuses_what_it_does_not_offer(name, link, message):
    with pytest.raises(ValueError, match=message):
        families.family_from(name, link)


@pytest.mark.parametrize("name, link", [("poisson", None), ("Gamma", "log"),
                                        ("binomial", "probit"), ("gaussian", "log"),
                                        ("inverse.gaussian", None), ("quasipoisson", "sqrt")])
def test_glm_fits_every_family_to_a_zero_score(name, link):
    # At the estimate (fully converged: a link other than the canonical one converges only
    # linearly) the score Xᵀ diag(prior · μ'(η)/V(μ)) (y − μ) vanishes, whatever the
    # family, link, prior weights and offset.
    rng = np.random.default_rng(7)
    n = 400
    x = rng.uniform(0.5, 1.5, n)
    offset = rng.uniform(-0.1, 0.1, n)
    weights = rng.integers(0, 4, n).astype(float)
    family = families.family_from(name, link)
    mu = family.link.inverse(0.3 + 0.4 * x + offset)
    y = {"poisson": rng.poisson(mu), "quasipoisson": rng.poisson(mu),
         "binomial": rng.binomial(1, np.clip(mu, 0.01, 0.99))}.get(
        name, mu * rng.uniform(0.8, 1.25, n)).astype(float)
    model = tf.glm("y ~ x", {"x": x, "y": y}, family=name, link=link, weights=weights,
                   offset=offset, convergence_delta=1e-14)
    beta = np.array([model.coefficients["(Intercept)"], model.coefficients["x"]])
    eta = beta[0] + beta[1] * x + offset
    mu = family.link.inverse(eta)
    ratio = family.link.mu_eta(eta) / family.variance(mu)
    score = np.column_stack([np.ones(n), x]).T @ (weights * ratio * (y - mu))
    assert np.abs(score).max() < 1e-8 * np.abs(weights * ratio * y).sum()
    assert model.nobs == int(np.count_nonzero(weights))


@pytest.mark.parametrize("data, message", [
    ({"x": [1.0, 2.0, 3.0], "y": ["a", "b", "a"]}, "holds categories"),
    ({"x": [1.0, 2.0, 3.0], "y": [0.0, 2.0, 1.0]}, None),
])
def test_gaussian_response_rule(data, message):
    if message is None:
        model = tf.glm("y ~ x", data, family="gaussian")
        assert math.isfinite(model.coefficients["x"])
    else:
        with pytest.raises(ValueError, match=message):
            tf.glm("y ~ x", data, family="gaussian")


def test_penalties_need_a_family_with_a_penalized_fit():
    with pytest.raises(ValueError, match="penalties are offered for"):
        tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0], "y": [0.5, 2.0, 1.0]}, family="gaussian",
               penalties={"x": 1.0})


@pytest.mark.parametrize("counts", [
    np.arange(10_000, dtype=float) % 997,  # whole counts: from the table
    np.arange(10_000, dtype=float),  # a table longer than the direct evaluation's threshold
    np.arange(10_000, dtype=float) % 997 + 0.5,  # halves: evaluated directly
    np.r_[np.arange(9_999, dtype=float), 2e5],  # beyond the table's limit
])
def test_stirlerr_of_many_counts_equals_its_direct_evaluation(counts):
    direct = np.concatenate([families._stirlerr(counts[i:i + 4000])
                             for i in range(0, counts.size, 4000)])
    assert np.array_equal(families._stirlerr(counts), direct)


@pytest.mark.parametrize("top, weighted", [(3, False), (60, True), (6_000, True)])
def test_direct_poisson_log_density_sum_has_nmaths_value(top, weighted):
    rng = np.random.default_rng(top)
    counts = rng.integers(0, top + 1, 20_000).astype(np.float64)
    means = np.maximum(counts * rng.uniform(0.5, 1.5, counts.size), 1e-3)
    weights = rng.uniform(0.0, 2.0, counts.size) if weighted else None
    direct = families._whole_count_log_dpois_sum(counts, means, weights)
    rows = families._log_dpois(counts, means)
    want = float(rows.sum() if weights is None else rows @ weights)
    assert direct == pytest.approx(want, rel=1e-12)


@pytest.mark.parametrize("counts, means", [
    (np.full(5000, 2.5), np.ones(5000)),        # not whole counts
    (np.full(5000, 2e4), np.full(5000, 2e4)),    # beyond the direct form's range
    (np.ones(5000), np.zeros(5000)),             # a mean of 0
    (np.ones(100), np.ones(100)),                # too few rows to pay for the table
])
def test_direct_poisson_log_density_sum_declines_other_rows(counts, means):
    assert families._whole_count_log_dpois_sum(counts, means, None) is None
