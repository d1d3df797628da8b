"""Sandwich covariances of tf.lm, tf.glm and tf.glm_nb against R's sandwich and lmtest
(tests/r_reference/robust_reference.json, written by
tests/r_reference/make_robust_reference.R): vcovHC of every type, vcovCL by a numeric and a
factor column (HC0 and HC1), and coeftest/coefci with them, through vcov, summary,
conf_int and tidy; then the errors."""

from __future__ import annotations

import functools
import json
from typing import Any

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from test_r_reference import HERE, read_frame

REFERENCE = json.loads((HERE / "robust_reference.json").read_text(encoding="utf-8"))
CASES: list[dict[str, Any]] = [{**case, "levels": case["levels"] or {}}
                               for case in REFERENCE["cases"]]
IDS = [case["id"] for case in CASES]
BY_ID = dict(zip(IDS, CASES))
RTOL = 1e-6
TIGHT = {"max_iterations": 100, "convergence_delta": 1e-14}

HC_CASES = [(case["id"], kind) for case in CASES for kind in case["hc"]]
CLUSTER_CASES = [(case["id"], kind) for case in CASES for kind in case["cluster_vcov"]]


@functools.lru_cache(maxsize=None)
def fitted(case_id: str) -> Any:
    case = BY_ID[case_id]
    data = read_frame(case)
    given = {"weights": case["weights"], "offset": case["offset"]}
    if case["kind"] == "lm":
        return tf.lm(case["formula"], data, **given)
    if case["kind"] == "negbin":
        return tf.glm_nb(case["formula"], data, link=case["link"], **given, **TIGHT)
    return tf.glm(case["formula"], data, family=case["family"], link=case["link"], **given,
                  **TIGHT)


def estimated_block(model: Any, case: dict[str, Any], matrix: np.ndarray) -> np.ndarray:
    """The rows and columns of R's estimated coefficients; NaN in every other place."""
    assert model.column_names == case["names"]
    keep = np.array([name in case["estimated"] for name in case["names"]])
    assert np.isnan(matrix[~keep]).all() and np.isnan(matrix[:, ~keep]).all()
    return matrix[np.ix_(keep, keep)]


@pytest.mark.parametrize("case_id, kind", HC_CASES, ids=[f"{c}-{k}" for c, k in HC_CASES])
def test_heteroskedasticity_consistent_matches_vcovhc(case_id: str, kind: str) -> None:
    case = BY_ID[case_id]
    model = fitted(case_id)
    actual = estimated_block(model, case, model.vcov(type=kind))
    np.testing.assert_allclose(actual, np.array(case["hc"][kind]), rtol=RTOL, atol=0.0)


@pytest.mark.parametrize("case_id, kind", CLUSTER_CASES,
                         ids=[f"{c}-{k}" for c, k in CLUSTER_CASES])
def test_clustered_matches_vcovcl(case_id: str, kind: str) -> None:
    case = BY_ID[case_id]
    model = fitted(case_id)
    expected = np.array(case["cluster_vcov"][kind])
    by_name = estimated_block(model, case, model.vcov(type=kind, cluster=case["cluster"]))
    np.testing.assert_allclose(by_name, expected, rtol=RTOL, atol=0.0)
    # The same clusters as values of the input rows, here as codes of their own.
    codes = pd.factorize(read_frame(case)[case["cluster"]])[0] * 7 + 3
    by_values = estimated_block(model, case, model.vcov(type=kind, cluster=codes))
    np.testing.assert_allclose(by_values, expected, rtol=RTOL, atol=0.0)


@pytest.mark.parametrize("case", CASES, ids=IDS)
@pytest.mark.parametrize("which", ["coeftest_hc1", "coeftest_cluster"])
def test_tests_and_intervals_match_coeftest(case: dict[str, Any], which: str) -> None:
    model = fitted(case["id"])
    vcov = "HC1" if which == "coeftest_hc1" else {"cluster": case["cluster"]}
    expected = case[which]
    names = case["estimated"]
    table = model.tidy(vcov=vcov).set_index("term").loc[names]
    np.testing.assert_allclose(table["statistic"], expected["statistics"], rtol=RTOL)
    np.testing.assert_allclose(table["p_value"], expected["p_values"], rtol=RTOL)
    intervals = model.conf_int(0.9, vcov=vcov)
    np.testing.assert_allclose([intervals[name][0] for name in names], expected["lower"],
                               rtol=RTOL)
    np.testing.assert_allclose([intervals[name][1] for name in names], expected["upper"],
                               rtol=RTOL)
    # The model-based results are left as they were.
    np.testing.assert_allclose(model.vcov(), fitted(case["id"]).vcov(type=None))


@pytest.mark.parametrize("case_id", ["lm_mtcars", "binomial_esoph", "negbin_quine"])
def test_summary_prints_the_sandwich_and_names_it(case_id: str) -> None:
    case = BY_ID[case_id]
    model = fitted(case_id)
    classical = str(model.summary()).split("\n")
    robust = str(model.summary(vcov={"type": "HC1", "cluster": case["cluster"]})).split("\n")
    line = (f"Standard errors: clustered by {case['cluster']} (HC1, {case['clusters']} "
            "clusters)")
    assert line in robust and not any(text.startswith("Standard errors") for text in classical)
    # One line more, and the rest of the printout outside the table unchanged.
    assert len(robust) == len(classical) + 1
    start = classical.index("Coefficients:")
    end = classical.index("---")
    assert robust[:start + 1] == classical[:start + 1]
    assert robust[end + 3:] == classical[end + 2:]
    label = "t" if case["kind"] == "lm" else "z"
    assert f"{label} value" in robust[start + 1]
    first = robust[start + 2].split()
    errors = model.tidy(vcov={"cluster": case["cluster"]})["std_error"]
    assert float(first[2]) == pytest.approx(errors.iloc[0], rel=1e-3)
    hc = str(model.summary(vcov="HC0"))
    assert "Standard errors: heteroskedasticity-consistent (HC0)" in hc


def test_summary_of_quasi_family_switches_to_normal_tests() -> None:
    model = fitted("quasipoisson_weights")
    assert "t value" in str(model.summary())
    assert "z value" in str(model.summary(vcov="HC1"))


# ---- errors -----------------------------------------------------------------------------------


def _frame() -> pd.DataFrame:
    return read_frame(BY_ID["lm_mtcars"])


@pytest.mark.parametrize("arguments, error, message", [
    ({"type": "HC4"}, ValueError, "type must be None"),
    ({"type": "hc1"}, ValueError, "type must be None"),
    ({"type": "HC2", "cluster": "cyl"}, ValueError, "clustered covariance takes type"),
    ({"cluster": "nothing"}, ValueError, "column 'nothing' not found"),
    ({"cluster": [1, 2]}, ValueError, "cluster has 2 values but the data has 32 rows"),
    ({"cluster": np.ones((32, 2))}, TypeError, "cluster must be a column name"),
    ({"cluster": "am_one"}, ValueError, "at least two clusters"),
    ({"cluster": "cyl_gap"}, ValueError, "missing value"),
])
def test_bad_arguments_are_refused(arguments: dict[str, Any], error: type, message: str
                                   ) -> None:
    frame = _frame()
    frame["am_one"] = 1.0
    frame["cyl_gap"] = frame["cyl"].where(frame.index != 3)
    model = tf.lm("mpg ~ wt + hp", frame)
    with pytest.raises(error, match=message):
        model.vcov(**arguments)


@pytest.mark.parametrize("vcov, message", [
    ({"types": "HC1"}, "takes the keys 'type' and 'cluster'"),
    (3, "vcov must be None"),
])
def test_bad_vcov_arguments_of_summary_are_refused(vcov: Any, message: str) -> None:
    model = fitted("lm_mtcars")
    with pytest.raises((TypeError, ValueError), match=message):
        model.summary(vcov=vcov)


@pytest.mark.parametrize("fit", [
    lambda frame: tf.lm("mpg ~ wt + hp", frame),
    lambda frame: tf.glm("mpg ~ wt + hp", frame, family="Gamma"),
])
def test_data_changed_since_the_fit_is_refused(fit: Any) -> None:
    frame = _frame()
    # A column whose squares overflow: the fit scales its design in place, so it keeps no
    # design and the covariance's pass reads the frame again.
    frame["hp"] = frame["hp"] * 1e160
    model = fit(frame)
    frame.loc[[0, 1], "wt"] = np.nan  # two rows fewer to fit
    with pytest.raises(ValueError, match="had 32 rows to fit, the pass for the covariance "
                                         "matrix found 30"):
        model.vcov("HC0")


FITS = {"lm": tf.lm, "glm": functools.partial(tf.glm, family="Gamma")}


def _quantities(model: Any) -> list[np.ndarray]:
    model._sandwiches.clear()  # computed anew each time
    return [model.vcov("HC1"), model.vcov("HC3"), model.vcov(cluster="cyl"),
            model.hatvalues(), model.cooks_distance()]


@pytest.mark.parametrize("kind", FITS)
@pytest.mark.parametrize("formula", ["mpg ~ wt + hp", "mpg ~ wt + wt2 + hp"])
def test_passes_after_the_fit_leave_its_design_as_it_was(kind: str, formula: str) -> None:
    frame = _frame().assign(wt2=lambda f: 2.0 * f["wt"])  # aliased: its column is dropped
    model = FITS[kind](formula, frame)
    first, again = _quantities(model), _quantities(model)
    expected = _quantities(FITS[kind](formula, frame.copy()))
    for one, two, three in zip(first, again, expected):
        np.testing.assert_array_equal(one, two)
        np.testing.assert_allclose(one, three, rtol=1e-12)


@pytest.mark.parametrize("kind", FITS)
def test_covariance_reads_the_design_the_fit_kept(kind: str) -> None:
    frame = _frame()
    model = FITS[kind]("mpg ~ wt + hp", frame)
    before = _quantities(model)
    frame.loc[[0, 1], "wt"] = np.nan  # the frame the fit read changes under it
    for one, two in zip(before, _quantities(model)):
        np.testing.assert_array_equal(one, two)


def test_missing_clusters_outside_the_fit_are_fine() -> None:
    frame = _frame()
    frame.loc[3, "wt"] = np.nan
    frame["group"] = frame["cyl"].astype(str).where(frame.index != 3)  # the dropped row
    model = tf.lm("mpg ~ wt + hp", frame)
    assert np.isfinite(model.vcov(cluster="group")).all()


def test_loaded_and_penalized_models_have_no_sandwich(tmp_path: Any) -> None:
    model = fitted("binomial_birthwt")
    path = tmp_path / "m.json"
    model.save(path)
    with pytest.raises(ValueError, match="loaded from a model file"):
        tf.load(path).vcov("HC0")
    penalized = tf.glm("low ~ lwt + smoke", read_frame(BY_ID["binomial_birthwt"]),
                       penalties={"lwt": 1.0})
    with pytest.raises(ValueError, match="not defined for a penalized model"):
        penalized.vcov("HC1")
    with pytest.raises(ValueError, match="not defined for a penalized model"):
        penalized.summary(vcov="HC1")
