"""Residuals, influence measures, predictions with standard errors and glance of tf.lm and
tf.glm against R (tests/r_reference/diagnostics_reference.json, written by
tests/r_reference/make_diagnostics_reference.R); then the refusals."""

from __future__ import annotations

import functools
import json
from typing import Any

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from test_r_reference import HERE, read_frame

REFERENCE = json.loads((HERE / "diagnostics_reference.json").read_text(encoding="utf-8"))
CASES: list[dict[str, Any]] = [{**case, "levels": case["levels"] or {}, "offset": None}
                               for case in REFERENCE["cases"]]
IDS = [case["id"] for case in CASES]
BY_ID = dict(zip(IDS, CASES))
RTOL = 1e-6
TIGHT = {"max_iterations": 100, "convergence_delta": 1e-14}
# Absolute tolerance for values that are 0 up to rounding (a residual of a row fitted
# exactly), relative to the largest value of the array.
ZERO = 1e-9


@functools.lru_cache(maxsize=None)
def fitted(case_id: str) -> Any:
    case = BY_ID[case_id]
    data = read_frame(case)
    if case["kind"] == "lm":
        return tf.lm(case["formula"], data, weights=case["weights"])
    if case["kind"] == "negbin":
        return tf.glm_nb(case["formula"], data, link=case["link"], weights=case["weights"],
                         **TIGHT)
    return tf.glm(case["formula"], data, family=case["family"], link=case["link"],
                  weights=case["weights"], **TIGHT)


def expected(values: list[Any]) -> np.ndarray:
    return np.array([np.nan if v is None else v for v in values], dtype=float)


def close(actual: np.ndarray, wanted: np.ndarray) -> None:
    assert actual.shape == wanted.shape
    scale = np.nanmax(np.abs(wanted)) if np.isfinite(wanted).any() else 1.0
    np.testing.assert_allclose(actual, wanted, rtol=RTOL, atol=ZERO * scale)


RESIDUAL_CASES = [(case["id"], kind) for case in CASES for kind in case["residuals"]]


@pytest.mark.parametrize("case_id, kind", RESIDUAL_CASES,
                         ids=[f"{c}-{k}" for c, k in RESIDUAL_CASES])
def test_residuals_match_r(case_id: str, kind: str) -> None:
    close(fitted(case_id).resid(kind), expected(BY_ID[case_id]["residuals"][kind]))


@pytest.mark.parametrize("case_id", IDS)
def test_default_residuals_are_rs(case_id: str) -> None:
    model = fitted(case_id)
    default = "response" if BY_ID[case_id]["kind"] == "lm" else "deviance"
    np.testing.assert_array_equal(model.resid(), model.resid(default))


INFLUENCE = {"hat": "hatvalues", "cooks": "cooks_distance", "rstandard": "rstandard",
             "rstudent": "rstudent"}
INFLUENCE_CASES = [(case["id"], key) for case in CASES for key in INFLUENCE]


@pytest.mark.parametrize("case_id, key", INFLUENCE_CASES,
                         ids=[f"{c}-{k}" for c, k in INFLUENCE_CASES])
def test_influence_measures_match_r(case_id: str, key: str) -> None:
    """Rows of weight 0 are left out, as R's lm.influence does."""
    close(getattr(fitted(case_id), INFLUENCE[key])(), expected(BY_ID[case_id][key]))


PREDICT_CASES = [(case["id"], scale) for case in CASES for scale in case["predict"]]


@pytest.mark.parametrize("case_id, scale", PREDICT_CASES,
                         ids=[f"{c}-{s}" for c, s in PREDICT_CASES])
def test_predict_se_fit_matches_r(case_id: str, scale: str) -> None:
    case = BY_ID[case_id]
    fit, se = fitted(case_id).predict(read_frame(case), type=scale, se_fit=True)
    close(fit, expected(case["predict"][scale]["fit"]))
    close(se, expected(case["predict"][scale]["se"]))


@pytest.mark.parametrize("case_id", IDS)
def test_glance_matches_r(case_id: str) -> None:
    case = BY_ID[case_id]
    frame = fitted(case_id).glance()
    assert isinstance(frame, pd.DataFrame) and len(frame) == 1
    assert list(frame.columns) == list(case["glance"])
    for name, value in case["glance"].items():
        wanted = np.nan if value is None else value  # a quasi family has no likelihood
        np.testing.assert_allclose(float(frame[name].iloc[0]), wanted, rtol=RTOL,
                                   err_msg=name)


def test_glance_is_a_frame_of_the_callers_library() -> None:
    polars = pytest.importorskip("polars")
    data = polars.DataFrame({"x": [1.0, 2.0, 3.0, 4.0, 5.0], "y": [1.0, 3.0, 2.0, 5.0, 4.0]})
    assert isinstance(tf.lm("y ~ x", data).glance(), polars.DataFrame)


def test_rows_with_missing_values_are_left_out_of_the_residuals_and_predicted_as_nan() -> None:
    data = pd.DataFrame({"x": [1.0, 2.0, np.nan, 4.0, 5.0, 6.0],
                         "y": [1.0, 3.0, 2.0, 5.0, 4.0, 7.0]})
    model = tf.lm("y ~ x", data)
    complete = tf.lm("y ~ x", data.dropna())
    np.testing.assert_allclose(model.resid(), complete.resid())
    np.testing.assert_allclose(model.hatvalues(), complete.hatvalues())
    fit, se = model.predict(data, se_fit=True)
    assert np.isnan(fit[2]) and np.isnan(se[2]) and np.isfinite(se[[0, 1, 3]]).all()


def test_leverages_of_badly_scaled_columns_sum_to_the_rank() -> None:
    rng = np.random.default_rng(3)
    x = rng.normal(size=200)
    data = {"a": x * 1e8, "b": rng.normal(size=200) * 1e-6, "y": x + rng.normal(size=200)}
    hat = tf.lm("y ~ a + b", data).hatvalues()
    np.testing.assert_allclose(hat.sum(), 3.0, rtol=1e-9)


def test_aliased_columns_are_left_out_of_the_leverages() -> None:
    data = {"x": [1.0, 2.0, 3.0, 4.0, 6.0], "y": [1.0, 3.0, 2.0, 5.0, 4.0]}
    doubled = {**data, "z": [2.0 * v for v in data["x"]]}
    np.testing.assert_allclose(tf.lm("y ~ x + z", doubled).hatvalues(),
                               tf.lm("y ~ x", data).hatvalues())


def test_residual_type_is_checked() -> None:
    model = fitted("lm_mtcars")
    with pytest.raises(ValueError, match="type must be one of 'response'"):
        model.resid("partial")


def test_se_fit_and_interval_are_refused_together() -> None:
    with pytest.raises(ValueError, match="not both"):
        fitted("lm_mtcars").predict(read_frame(BY_ID["lm_mtcars"]), interval="confidence",
                                    se_fit=True)


@pytest.mark.parametrize("method", ["resid", "hatvalues", "cooks_distance", "rstudent"])
def test_a_loaded_model_has_no_diagnostics(method: str, tmp_path: Any) -> None:
    path = tmp_path / "m.json"
    fitted("lm_mtcars").save(path)
    with pytest.raises(ValueError, match="loaded from a model file"):
        getattr(tf.load(path), method)()


def test_a_penalized_model_has_no_diagnostics() -> None:
    data = {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]}
    model = tf.glm("y ~ x", data, family="binomial", penalties={"x": 1.0})
    with pytest.raises(ValueError, match="penalized"):
        model.hatvalues()
    with pytest.raises(ValueError, match="penalized"):
        model.glance()
