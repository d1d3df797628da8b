"""The negative binomial family, theta_ml and glm_nb against MASS's negative.binomial,
theta.ml and glm.nb (tests/r_reference/negative_binomial.json, written by
tests/r_reference/make_negative_binomial.R from MASS::quine)."""

from __future__ import annotations

import functools
import inspect
import json
import math
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from tallyfit import negative_binomial
from tallyfit.errors import ConvergenceWarning, TallyfitWarning
from tallyfit.families import NegativeBinomial, family_from

HERE = Path(__file__).parent / "r_reference"
REFERENCE = json.loads((HERE / "negative_binomial.json").read_text(encoding="utf-8"))
MODELS = {model["id"]: model for model in REFERENCE["models"]}
RTOL = 1e-6
# glm_nb needs tf.glm to take weights, offsets and any family (R's etastart for the counts).
needs_weighted_glm = pytest.mark.skipif(
    "offset" not in inspect.signature(tf.glm).parameters,
    reason="tf.glm does not take weights and offsets yet")


def numbers(values: Any) -> np.ndarray:
    return np.array([math.nan if v is None else float(v) for v in values], dtype=np.float64)


def close(actual: Any, expected: Any, rtol: float = RTOL) -> None:
    np.testing.assert_allclose(np.asarray(actual, dtype=np.float64),
                               np.asarray(expected, dtype=np.float64), rtol=rtol, atol=0.0)


# ---- the family ---------------------------------------------------------------------------------


@pytest.mark.parametrize("r", REFERENCE["families"], ids=lambda r: f"{r['theta']}-{r['link']}")
def test_family_is_mass_negative_binomial(r: dict[str, Any]) -> None:
    family = NegativeBinomial(r["theta"], r["link"])
    assert (family.name, family.link.name) == (r["family"], r["link_name"])
    y, mu, wt = numbers(r["y"]), numbers(r["mu"]), numbers(r["wt"])
    close(family.variance(mu), r["variance"], 1e-14)
    close(family.dev_resids(y, mu, wt), r["dev_resids"], 1e-12)
    close(family.deviance(y, mu, wt), r["deviance"], 1e-12)
    close(family.aic(y, mu, wt, r["deviance"], len(y)), r["aic"], 1e-12)
    close(family.aic_from_sums(family.aic_rows(y, mu, wt), r["deviance"], len(y)), r["aic"],
          1e-12)
    close(family.initialize(y).mustart, r["mustart"], 1e-15)
    close(family.link.link(mu), r["linkfun"], 1e-15)
    eta = numbers(r["eta"])
    close(family.link.inverse(eta), r["linkinv"], 1e-15)
    close(family.link.mu_eta(eta), r["mu_eta"], 1e-15)
    for check in r["validmu"]:
        assert family.valid_mu(numbers(check["mu"])) is check["value"], check["mu"]
    assert family.dispersion_estimated is False and family_from(family) is family


@pytest.mark.parametrize("r", REFERENCE["names"], ids=lambda r: repr(r["theta"]))
def test_family_name_formats_theta_as_r(r: dict[str, Any]) -> None:
    assert NegativeBinomial(r["theta"]).name == r["name"]


def test_negative_counts_are_refused_with_r_message() -> None:
    with pytest.raises(ValueError, match=REFERENCE["negative_y_error"]):
        NegativeBinomial(2.0).initialize(np.array([1.0, -1.0]))


@pytest.mark.parametrize("theta", [0.0, -1.0, math.nan, math.inf])
def test_theta_must_be_positive_and_finite(theta: float) -> None:
    with pytest.raises(ValueError, match="theta"):
        NegativeBinomial(theta)


@pytest.mark.parametrize("link", ["logit", "inverse", "probit"])
def test_refused_links_name_the_offered_ones(link: str) -> None:
    for make in (lambda: NegativeBinomial(1.0, link), lambda: tf.glm_nb("y ~ x", {}, link=link)):
        with pytest.raises(ValueError, match=link) as raised:
            make()
        assert all(repr(name) in str(raised.value) for name in ("log", "sqrt", "identity"))


# ---- theta_ml -----------------------------------------------------------------------------------


@pytest.mark.parametrize("r", REFERENCE["theta_ml"], ids=lambda r: r["id"])
def test_theta_ml_is_mass_theta_ml(r: dict[str, Any]) -> None:
    weights = None if r["weights"] is None else numbers(r["weights"])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        estimate = negative_binomial.theta_ml(numbers(r["y"]), numbers(r["mu"]),
                                              weights=weights, limit=r["limit"])
    # Near the Poisson (θ ~ 1e5) the score is a difference of digammas that cancels: R's and
    # SciPy's last bits of digamma then show in the 7th digit.
    rtol = 1e-5 if r["theta"] > 1e4 else 1e-10
    close(estimate.theta, r["theta"], rtol)
    close(estimate.se, r["se"], rtol)
    assert [w for w in r["warnings"]] == [
        m for m in ("iteration limit reached", "estimate truncated at zero")
        if any(m in str(w.message) for w in caught)]
    assert estimate.warning == (r["warnings"][-1] if r["warnings"] else None)
    assert all(issubclass(w.category, TallyfitWarning) for w in caught)


# ---- glm_nb -------------------------------------------------------------------------------------


@functools.cache
def quine() -> pd.DataFrame:
    levels = REFERENCE["models"][0]["levels"]
    frame = pd.read_csv(HERE / "data" / "quine.csv", dtype={name: str for name in levels})
    for name, categories in levels.items():
        frame[name] = pd.Categorical(frame[name], categories=categories)
    frame["log_exposure"] = np.log(frame["exposure"])
    return frame


def fit(r: dict[str, Any], offset_as: str = "column") -> negative_binomial.NegativeBinomialModel:
    formula, offset = r["formula"], None
    if r["offset"] is not None:
        offset = {"column": "log_exposure", "array": quine()["log_exposure"].to_numpy()}.get(
            offset_as)
        if offset_as == "formula":
            formula += f" + offset(log({r['offset']}))"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TallyfitWarning)
        return tf.glm_nb(formula, quine(), weights=r["weights"], offset=offset, link=r["link"],
                         max_iterations=r["maxit"], convergence_delta=r["epsilon"])


# A fit stopped at its limits is R's only along R's path: each refit started at the last η.
MODEL_CASES = [pytest.param(r, id=r["id"]) for r in REFERENCE["models"]]


@needs_weighted_glm
@pytest.mark.parametrize("r", MODEL_CASES)
def test_glm_nb_is_mass_glm_nb(r: dict[str, Any]) -> None:
    model = fit(r)
    table = {c["tallyfit_name"]: c for c in r["coefficients"]}
    assert list(model.coefficients) == list(table)
    for mine, field in ((model.coefficients, "estimate"), (model.std_errors, "std_error"),
                        (model.statistics, "statistic"), (model.p_values, "p_value")):
        close([mine[name] for name in table], [table[name][field] for name in table])
    for mine, field in ((model.theta, "theta"), (model.se_theta, "se_theta"),
                        (model.two_log_likelihood, "twologlik"), (model.aic, "aic"),
                        (model.bic, "bic"), (model.log_likelihood, "log_likelihood"),
                        (model.deviance, "deviance"), (model.null_deviance, "null_deviance"),
                        (model.fitted_values, "fitted_values")):
        close(mine, r[field])
    assert (model.df_resid, model.df_null, model.rank) == (
        r["df_residual"], r["df_null"], r["rank"])
    close(model.init_theta, r["init_theta"])  # θ to 10 digits: its last may round either way
    assert model.family.name == r["family"]
    assert model.theta_warning == r["theta_warning"] and model.dispersion == 1.0
    assert model.iterations == r["iterations"]


@needs_weighted_glm
@pytest.mark.parametrize("offset_as", ["column", "array", "formula"])
def test_each_way_of_giving_the_offset_fits_r_model(offset_as: str) -> None:
    r = MODELS["quine-weighted-offset"]
    model = fit(r, offset_as)
    close(model.theta, r["theta"])
    close(list(model.coefficients.values()), [c["estimate"] for c in r["coefficients"]])


@needs_weighted_glm
def test_limits_warn_as_glm_nb() -> None:
    r = MODELS["quine-simple-maxit-2"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = tf.glm_nb(r["formula"], quine(), max_iterations=2)
    ours = [str(w.message) for w in caught if issubclass(w.category, ConvergenceWarning)]
    # Every kind of warning R gave (glm.fit's, theta.ml's, glm.nb's), and no other kind.
    assert all(any(theirs in mine for mine in ours) for theirs in r["warnings"]), ours
    assert all(any(theirs in mine for theirs in r["warnings"]) for mine in ours), ours
    assert model.theta_warning == r["theta_warning"]
