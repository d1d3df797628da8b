"""tf.anova and tf.drop1 against R's anova and drop1 (tests/r_reference/anova_reference.json,
written by tests/r_reference/make_anova_reference.R): every number of each table, its row and
column names, the printed text line by line, the table as a frame of the caller's library, and
the errors for models that cannot be compared."""

from __future__ import annotations

import functools
import json
import math
import warnings
from typing import Any

import numpy as np
import pandas as pd
import polars as pl
import pytest

import tallyfit as tf
from test_r_reference import HERE

REFERENCE = json.loads((HERE / "anova_reference.json").read_text(encoding="utf-8"))
CASES: list[dict[str, Any]] = REFERENCE["cases"]
BY_ID = {case["id"]: case for case in CASES}
RTOL = 1e-6
TIGHT = {"max_iterations": 100, "convergence_delta": 1e-14}  # R's glm.control of the fits

parametrized = pytest.mark.parametrize("case", CASES, ids=[case["id"] for case in CASES])


@functools.lru_cache(maxsize=None)
def frame(name: str) -> pd.DataFrame:
    levels = next(case["levels"] or {} for case in CASES if case["models"][0]["data"] == name)
    data = pd.read_csv(HERE / "data" / f"{name}.csv", keep_default_na=False, na_values=[""],
                       dtype={column: str for column in levels})
    for column, categories in levels.items():
        data[column] = pd.Categorical(data[column], categories=categories)
    return data


def fit(spec: dict[str, Any], data: Any = None) -> Any:
    data = frame(spec["data"]) if data is None else data
    given = {"weights": spec["weights"], "offset": spec["offset"]}
    if spec["kind"] == "lm":
        return tf.lm(spec["formula"], data, **given)
    return tf.glm(spec["formula"], data, family=spec["family"], link=spec["link"], **given,
                  **TIGHT)


def table_of(case: dict[str, Any], data: Any = None) -> tf.AnovaTable:
    models = [fit(spec, data) for spec in case["models"]]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no case of R's warns
        if case["what"] == "drop1":
            return tf.drop1(models[0], test=case["test"])
        return tf.anova(*models, test=case["test"])


@functools.lru_cache(maxsize=None)
def result(case_id: str) -> tf.AnovaTable:
    return table_of(BY_ID[case_id])


def numbers(values: list[Any]) -> np.ndarray:
    return np.array([math.nan if v is None else float(v) for v in values])


@parametrized
def test_table_matches_r(case: dict[str, Any]) -> None:
    table = result(case["id"])
    assert table.columns == case["columns"]
    assert table.rows == case["rows"]
    for column in case["columns"]:
        assert_column(table.values[column], case["values"][column], column)


def assert_column(actual: list[float], expected: list[Any], what: str) -> None:
    """R's numbers to RTOL; R's exact zeros (a sum of squares of columns that span the same
    space) to rounding error at the column's scale."""
    values = numbers(expected)
    scale = float(np.nanmax(np.abs(values), initial=0.0))
    np.testing.assert_allclose(actual, values, rtol=RTOL, atol=1e-12 * scale, equal_nan=True,
                               err_msg=what)


@parametrized
def test_prints_as_r(case: dict[str, Any]) -> None:
    assert str(result(case["id"])).split("\n") == case["printed"]


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_table_is_a_frame_of_the_callers_library(library: str) -> None:
    case = BY_ID["poisson_warpbreaks_chisq"]
    data = frame(case["models"][0]["data"])
    table = table_of(case, data if library == "pandas" else pl.from_pandas(data)).table
    expected = numbers(case["values"]["Pr(>Chi)"])
    if library == "pandas":
        assert isinstance(table, pd.DataFrame) and list(table.index) == case["rows"]
        assert list(table.columns) == case["columns"]
        values = table["Pr(>Chi)"].to_numpy()
    else:
        assert isinstance(table, pl.DataFrame)
        assert table.columns == ["term", *case["columns"]]
        assert table["term"].to_list() == case["rows"]
        values = table["Pr(>Chi)"].to_numpy()
    np.testing.assert_allclose(values, expected, rtol=RTOL, equal_nan=True)
    assert result(case["id"])._repr_html_().startswith("<pre>Analysis of Deviance Table")


def warpbreaks() -> pd.DataFrame:
    return frame("glm_warpbreaks").copy()


def with_missing_tension() -> pd.DataFrame:
    data = warpbreaks()
    data.loc[[3, 40], "tension"] = np.nan
    return data


def with_changed_breaks() -> pd.DataFrame:
    data = warpbreaks()
    data.loc[0, "breaks"] += 1.0
    return data


@pytest.mark.parametrize("call, message", [
    (lambda: tf.anova(tf.lm("breaks ~ wool", warpbreaks()),
                      tf.lm("breaks ~ tension", warpbreaks())), "not nested"),
    (lambda: tf.anova(tf.lm("breaks ~ wool", warpbreaks()),
                      tf.lm("breaks ~ wool + tension", warpbreaks().iloc[:-2])),
     "fitted on 52 rows"),
    (lambda: tf.anova(tf.glm("breaks ~ wool", warpbreaks(), family="poisson"),
                      tf.glm("breaks ~ wool + tension", with_changed_breaks(),
                             family="poisson")), "not fitted on the same data"),
    (lambda: tf.anova(tf.lm("breaks ~ wool", warpbreaks()),
                      tf.lm("breaks ~ wool + tension", with_changed_breaks())),
     "not fitted on the same data"),
    (lambda: tf.anova(tf.lm("breaks ~ wool", warpbreaks()),
                      tf.lm("log(breaks) ~ wool + tension", warpbreaks())), "one response"),
    (lambda: tf.anova(tf.lm("breaks ~ wool", warpbreaks()),
                      tf.glm("breaks ~ wool + tension", warpbreaks(), family="poisson")),
     "models of one kind"),
    (lambda: tf.anova(tf.glm("breaks ~ wool", warpbreaks(), family="poisson"),
                      tf.glm("breaks ~ wool + tension", warpbreaks(), family="quasipoisson")),
     "one family"),
    (lambda: tf.drop1(tf.lm("breaks ~ 0 + wool + tension", warpbreaks())),
     "recodes the other terms"),
    (lambda: tf.anova(tf.lm("breaks ~ wool", warpbreaks()), test="Wald"), "test must be"),
    (lambda: tf.drop1(tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
                                       "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]},
                             penalties={"x": 1.0})), "penalized"),
    (lambda: tf.anova(tf.glm_nb("breaks ~ wool", warpbreaks())), "glm_nb"),
], ids=["not nested", "other rows", "other data glm", "other data lm", "other response",
        "lm and glm", "other family", "recoded terms", "unknown test", "penalized",
        "negative binomial"])
def test_refuses_what_r_could_not_compare(call: Any, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        call()


def test_loaded_model_has_no_table(tmp_path: Any) -> None:
    path = tmp_path / "m.json"
    tf.lm("breaks ~ wool", warpbreaks()).save(path)
    with pytest.raises(ValueError, match="loaded from a model file"):
        tf.anova(tf.load(path))


@pytest.mark.parametrize("call", [
    lambda g: tf.anova(g, test="F"),
    lambda g: tf.anova(tf.glm("breaks ~ wool", warpbreaks(), family="poisson"), g, test="F"),
    lambda g: tf.drop1(g, test="F"),
], ids=["anova", "comparison", "drop1"])
def test_f_test_of_a_fixed_dispersion_warns(call: Any) -> None:
    model = tf.glm("breaks ~ wool + tension", warpbreaks(), family="poisson")
    with pytest.warns(tf.TallyfitWarning, match="dispersion is fixed"):
        call(model)


@pytest.mark.parametrize("engine", ["dask", "stream"])
@pytest.mark.parametrize("case_id", ["lm_weighted", "poisson_insurance_offset",
                                     "drop1_lm_chisq_weighted", "drop1_binomial_chisq",
                                     "poisson_nested_chisq"])
def test_data_not_in_memory_give_the_tables_of_data_in_memory(engine: str,
                                                              case_id: str) -> None:
    case = BY_ID[case_id]
    data = frame(case["models"][0]["data"])
    if engine == "stream":
        table = table_of(case, pl.from_pandas(data).lazy())
    else:
        dask = pytest.importorskip("dask")
        dd = pytest.importorskip("dask.dataframe")
        # No thread pool: other test modules watch this process's reference counts.
        with dask.config.set(scheduler="synchronous"):
            table = table_of(case, dd.from_pandas(data, npartitions=3))
    assert str(table).split("\n") == case["printed"]
    for column in case["columns"]:
        assert_column(table.values[column], case["values"][column], column)


def test_streamed_data_with_missing_values_in_some_variables_are_refused() -> None:
    model = tf.glm("breaks ~ wool + tension", pl.from_pandas(with_missing_tension()).lazy(),
                   family="poisson")
    with pytest.raises(ValueError, match="drop the rows with missing values"):
        tf.drop1(model)


@pytest.mark.parametrize("library", ["polars", "pyarrow", "dict", "dask"])
@pytest.mark.parametrize("case_id", ["drop1_airquality_missing", "poisson_airquality_missing"])
def test_rows_with_missing_values_are_left_out_of_every_refit(library: str,
                                                              case_id: str) -> None:
    case = BY_ID[case_id]
    data = frame(case["models"][0]["data"])
    if library == "dask":
        dask = pytest.importorskip("dask")
        dd = pytest.importorskip("dask.dataframe")
        with dask.config.set(scheduler="synchronous"):
            table = table_of(case, dd.from_pandas(data, npartitions=3))
    else:
        converted = {"polars": lambda: pl.from_pandas(data),
                     "pyarrow": lambda: pl.from_pandas(data).to_arrow(),
                     "dict": lambda: {name: data[name].tolist() for name in data.columns}}
        table = table_of(case, converted[library]())
    assert str(table).split("\n") == case["printed"]
