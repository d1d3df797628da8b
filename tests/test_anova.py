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
        np.testing.assert_allclose(table.values[column], numbers(case["values"][column]),
                                   rtol=RTOL, atol=0.0, equal_nan=True, err_msg=column)


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
