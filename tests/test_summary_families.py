"""The printed summary of every family and link, lm with prior weights and glm.nb, against R's
print(summary(fit)) (tests/r_reference/glm_reference.json, written by
tests/r_reference/make_glm_reference.R): once from a tallyfit fit, once from a model holding
R's own numbers, which checks the printing apart from the fit."""

from __future__ import annotations

import functools
import math
from types import SimpleNamespace
from typing import Any

import numpy as np
import pytest

from tallyfit.families import family_from
from tallyfit.summary import Summary
from test_glm_reference import CASES, IDS, fitted

parametrized = pytest.mark.parametrize("case", CASES, ids=IDS)


def _number(value: Any) -> float:
    return math.nan if value is None else float(value)


def with_r_numbers(case: dict[str, Any]) -> SimpleNamespace:
    """A fitted model as the summary reads it, holding R's values for the case."""
    names = case["names"]
    keyed = {key: dict(zip(names, map(_number, case[key])))
             for key in ("estimates", "std_errors", "statistics", "p_values")}
    model = SimpleNamespace(
        kind="lm" if case["kind"] == "lm" else "glm", formula=case["formula"],
        fit_statistics=object(), column_names=names, aliased=[], n_missing=0,
        coefficients=keyed["estimates"], std_errors=keyed["std_errors"],
        statistics=keyed["statistics"], p_values=keyed["p_values"], nobs=case["nobs"],
        df_resid=case["df_resid"], weights_name=case["weights"], offset_name=case["offset"],
        penalties=None)
    if case["kind"] == "lm":
        model.uses_t = True
        model.residuals = np.array(case["residuals"])
        model.prior_weights = np.array(case["prior_weights"])
        model.sigma = case["sigma"]
        model.r_squared, model.adj_r_squared = case["r_squared"], case["adj_r_squared"]
        model.f_statistic = tuple(case["fstatistic"][k] for k in ("value", "numdf", "dendf"))
        model.f_p_value = case["f_p_value"]
        return model
    if case["kind"] == "negbin":
        model.family = SimpleNamespace(name=case["family_name"],
                                       link=SimpleNamespace(name=case["link_name"]))
        model.uses_t = False
        model.theta, model.se_theta = case["theta"], case["se_theta"]
        model.two_log_likelihood, model.init_theta = (case["two_log_likelihood"],
                                                      case["init_theta"])
    else:
        model.family = family_from(case["family"], case["link"])
        model.uses_t = model.family.dispersion_estimated
        model.link_given = case["link"] is not None
    for key in ("deviance", "null_deviance", "df_null", "dispersion", "iterations"):
        setattr(model, key, case[key])
    model.aic = _number(case["aic"])
    return model


def r_printed(case: dict[str, Any]) -> str:
    return "\n".join(case["printed"])


@parametrized
def test_summary_of_r_numbers_prints_as_r(case: dict[str, Any]) -> None:
    assert str(Summary(with_r_numbers(case))) == r_printed(case)


@parametrized
def test_summary_of_fit_prints_as_r(case: dict[str, Any]) -> None:
    assert str(fitted(case["id"]).summary()) == r_printed(case)


@functools.lru_cache(maxsize=None)
def _weighted_case() -> dict[str, Any]:
    return next(c for c in CASES if c["kind"] == "lm" and 0 in c["prior_weights"])


@pytest.mark.parametrize("weights, heading", [
    ("r", "Weighted Residuals:"),  # unequal weights, zeros among them
    ("equal", "Residuals:"),  # R calls residuals weighted only when the weights differ
])
def test_residual_heading_follows_the_weights(weights: str, heading: str) -> None:
    model = with_r_numbers(_weighted_case())
    if weights == "equal":
        model.prior_weights = np.full(model.prior_weights.size, 2.0)
    lines = str(Summary(model)).split("\n")
    assert heading in lines
    assert ("Residuals:" in lines) is (heading == "Residuals:")


def test_residuals_of_nonzero_weight_rows_only_print_as_r() -> None:
    # A model that keeps residuals only for rows with a nonzero weight prints R's zeros.
    case = _weighted_case()
    model = with_r_numbers(case)
    model.residuals = model.residuals[model.prior_weights != 0]
    assert str(Summary(model)) == r_printed(case)
    model.residuals = model.residuals[1:]
    with pytest.raises(ValueError, match="residuals for .* prior weights"):
        str(Summary(model))
