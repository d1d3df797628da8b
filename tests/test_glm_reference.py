"""tf.glm for every family and link, tf.lm with prior weights and offsets, and the negative
binomial fit, against R's glm, lm and MASS::glm.nb (tests/r_reference/glm_reference.json,
written by tests/r_reference/make_glm_reference.R from the CSVs it wrote in
tests/r_reference/data): coefficient names, every number of the summary, the iteration count,
and predictions on new rows (some outside the data) before and after save/load."""

from __future__ import annotations

import functools
import json
import math
from typing import Any

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from test_r_reference import HERE, read_frame

REFERENCE = json.loads((HERE / "glm_reference.json").read_text(encoding="utf-8"))
CASES: list[dict[str, Any]] = [{**case, "levels": case["levels"] or {}}
                               for case in REFERENCE["cases"]]
IDS = [case["id"] for case in CASES]
BY_ID = dict(zip(IDS, CASES))
RTOL = 1e-6
TIGHT = {"max_iterations": 100, "convergence_delta": 1e-14}  # R's glm.control of the fits

parametrized = pytest.mark.parametrize("case", CASES, ids=IDS)
iterative = pytest.mark.parametrize("case", [c for c in CASES if c["kind"] != "lm"],
                                    ids=[c["id"] for c in CASES if c["kind"] != "lm"])


def fit(case: dict[str, Any], **control: Any) -> Any:
    data = read_frame(case)
    given = {"weights": case["weights"], "offset": case["offset"]}
    if case["kind"] == "lm":
        return tf.lm(case["formula"], data, **given)
    if case["kind"] == "negbin":
        return tf.glm_nb(case["formula"], data, link=case["link"], **given, **control)
    return tf.glm(case["formula"], data, family=case["family"], link=case["link"], **given,
                  **control)


@functools.lru_cache(maxsize=None)
def fitted(case_id: str) -> Any:
    """The case fitted with R's control (epsilon = 1e-14, maxit = 100)."""
    case = BY_ID[case_id]
    return fit(case, **({} if case["kind"] == "lm" else TIGHT))


def numbers(values: Any) -> np.ndarray:
    """R's numbers: null for NA, which tallyfit gives as NaN."""
    values = values if isinstance(values, list) else [values]
    return np.array([math.nan if v is None else float(v) for v in values])


def assert_r(actual: Any, expected: Any, what: str) -> None:
    np.testing.assert_allclose(np.asarray(actual, dtype=float), numbers(expected), rtol=RTOL,
                               atol=0.0, equal_nan=True, err_msg=what)


def new_rows(case: dict[str, Any]) -> pd.DataFrame:
    def column(name: str, values: list[Any]) -> Any:
        text = name in case["levels"] or any(isinstance(v, str) for v in values)
        return values if text else np.asarray(values, float)

    frame = pd.DataFrame({name: column(name, values)
                          for name, values in case["new_rows"].items()})
    for name, levels in case["levels"].items():
        frame[name] = pd.Categorical(frame[name], categories=levels)
    return frame


@parametrized
def test_coefficients_match_r(case: dict[str, Any]) -> None:
    model = fitted(case["id"])
    assert model.column_names == case["names"], f"R's columns are {case['r_names']}"
    for key, attribute in (("estimates", "coefficients"), ("std_errors", "std_errors"),
                           ("statistics", "statistics"), ("p_values", "p_values")):
        values = getattr(model, attribute)
        assert_r([values[name] for name in case["names"]], case[key], key)


@parametrized
def test_fit_measures_match_r(case: dict[str, Any]) -> None:
    model = fitted(case["id"])
    assert (model.nobs, model.df_resid) == (case["nobs"], case["df_resid"])
    assert model.weights_name == case["weights"] and model.offset_name == case["offset"]
    keys = ["aic", "log_likelihood"]
    if case["kind"] == "lm":
        keys += ["sigma", "r_squared", "adj_r_squared"]
        assert_r(model.f_statistic, [case["fstatistic"][k] for k in ("value", "numdf", "dendf")],
                 "f_statistic")
    else:
        keys += ["deviance", "null_deviance", "dispersion"]
        assert model.df_null == case["df_null"]
        assert (model.family.name, model.family.link.name) == (case["family_name"],
                                                               case["link_name"])
    for key in keys:
        assert_r(getattr(model, key), case[key], key)


@iterative
def test_iterations_match_r(case: dict[str, Any]) -> None:
    assert fitted(case["id"]).iterations == case["iterations"]
    # With R's default control (epsilon = 1e-8, maxit = 25) as well.
    assert fit(case).iterations == case["iterations_default"]


@parametrized
def test_predictions_match_r_after_save_and_load(case: dict[str, Any], tmp_path: Any) -> None:
    model = fitted(case["id"])
    new = new_rows(case)
    path = tmp_path / "model.json"
    model.save(path)
    loaded = tf.load(path)
    types = ["response"] if case["kind"] == "lm" else ["link", "response"]
    for which in (model, loaded):
        for kind in types:
            assert_r(which.predict(new, type=kind), case[f"predict_{kind}"],
                     f"{kind} predictions of the {'loaded' if which is loaded else 'fitted'} "
                     "model")


@pytest.mark.parametrize("case", [c for c in CASES if c["kind"] == "negbin"],
                         ids=[c["id"] for c in CASES if c["kind"] == "negbin"])
def test_negative_binomial_theta_matches_r(case: dict[str, Any]) -> None:
    model = fitted(case["id"])
    for key in ("theta", "se_theta", "two_log_likelihood"):
        assert_r(getattr(model, key), case[key], key)
    assert model.family.name == case["family_name"]


def test_cases_cover_every_family_link_weights_and_offsets() -> None:
    # What the fixture must hold for the tests above to cover every family and link with and
    # without weights (some zero) and offsets (a formula term and an argument).
    offered = {"gaussian": {"identity", "log", "inverse"},
               "binomial": {"logit", "probit", "cloglog", "cauchit", "log"},
               "poisson": {"log", "identity", "sqrt"},
               "Gamma": {"inverse", "identity", "log"},
               "inverse.gaussian": {"1/mu^2", "inverse", "identity", "log"}}
    offered["quasibinomial"], offered["quasipoisson"] = offered["binomial"], offered["poisson"]
    glms = [c for c in CASES if c["kind"] == "glm"]
    for family, links in offered.items():
        ours = [c for c in glms if c["family"] == family]
        assert {c["link_name"] for c in ours} == links, family
        assert any(c["weights"] for c in ours) and any(not c["weights"] for c in ours), family
        assert any(c["offset"] for c in ours), family
        assert any("offset(" in c["formula"] for c in ours), family
    for kind in ("lm", "negbin"):
        ours = [c for c in CASES if c["kind"] == kind]
        assert any(c["weights"] for c in ours) and any("offset(" in c["formula"] for c in ours)


ZERO_WEIGHT = json.loads((HERE / "zero_weight_alias.json").read_text(encoding="utf-8"))
ZERO_WEIGHT_IDS = [case["id"] for case in ZERO_WEIGHT["cases"]]


@pytest.mark.parametrize("case", ZERO_WEIGHT["cases"], ids=ZERO_WEIGHT_IDS)
def test_columns_zero_on_rows_of_positive_weight_are_aliased_as_r(case: dict[str, Any]) -> None:
    # glm.fit finds the aliased columns on the rows it fits: a column (or level) nonzero only
    # where the prior weight is 0 is NA in R, and the other columns are fitted.
    data = pd.DataFrame(ZERO_WEIGHT["data"])
    data["g"] = pd.Categorical(data["g"], categories=ZERO_WEIGHT["levels"]["g"])
    model = tf.glm(case["formula"], data, family=case["family"], link=case["link"],
                   weights="w", **TIGHT)
    assert len(model.column_names) == len(case["names"])
    assert_r(list(model.coefficients.values()), case["estimates"], "estimates")
    assert_r(list(model.std_errors.values()), case["std_errors"], "std_errors")
    for key in ("deviance", "null_deviance", "dispersion", "aic"):
        assert_r(getattr(model, key), case[key], key)
    assert model.df_resid == case["df_residual"]
