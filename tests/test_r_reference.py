"""tf.lm and tf.glm against R itself: lm and glm(family = binomial) fits of R's own data sets
(datasets and MASS), computed and printed by R 4.2 (tests/r_reference/make_r_reference.R wrote
tests/r_reference/models.json and the CSVs in tests/r_reference/data).

Per model three checks: the design columns in R's order, every number of R's summary, and the
printed summary, line for line."""

import functools
import json
import math
import pathlib

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf

HERE = pathlib.Path(__file__).parent / "r_reference"
MODELS = json.loads((HERE / "models.json").read_text(encoding="utf-8"))["models"]
IDS = [case["id"] for case in MODELS]
RTOL = 1e-6
ATOL = 1e-9

parametrized = pytest.mark.parametrize("case", MODELS, ids=IDS)


def read_frame(case: dict) -> pd.DataFrame:
    """The model's data set, its factors as Categoricals with R's levels (unused ones kept)."""
    levels = case["levels"]
    frame = pd.read_csv(HERE / "data" / case["data"], keep_default_na=False, na_values=[""],
                        dtype={name: str for name in levels})
    for name, categories in levels.items():
        frame[name] = pd.Categorical(frame[name], categories=categories)
    return frame


@functools.lru_cache(maxsize=None)
def fitted(model_id: str):
    case = MODELS[IDS.index(model_id)]
    fitter = tf.lm if case["kind"] == "lm" else tf.glm
    return fitter(case["formula"], read_frame(case))


def differences(what: str, actual, expected) -> list[str]:
    """Descriptions of the values that differ from R's (None: NA, which must be NaN)."""
    if expected is None:
        return [] if actual is not None and math.isnan(actual) else [
            f"{what}: {actual!r}, R has NA"]
    if actual is None or not np.isclose(actual, expected, rtol=RTOL, atol=ATOL):
        return [f"{what}: {actual!r}, R has {expected!r}"]
    return []


def without_deviance_residuals(lines: list[str]) -> list[str]:
    """R 4.2's glm summary without its "Deviance Residuals:" block, as R 4.3 prints it."""
    if "Deviance Residuals: " not in lines:
        return lines
    start = lines.index("Deviance Residuals: ")
    end = lines.index("", start)
    return lines[:start] + lines[end + 1:]


@parametrized
def test_columns_in_r_order(case):
    model = fitted(case["id"])
    assert model.column_names == case["names"], (
        f"R's columns {case['r_names']} are {case['names']} in tallyfit")
    assert list(model.coefficients) == case["names"]


@parametrized
def test_numbers_match_r(case):
    model = fitted(case["id"])
    names = case["names"]
    assert sorted(model.column_names) == sorted(names), "not the columns R estimates"
    found = []
    for key, attribute in (("estimates", "coefficients"), ("std_errors", "std_errors"),
                           ("statistics", "statistics"), ("p_values", "p_values")):
        values = getattr(model, attribute)
        for name, expected in zip(names, case[key]):
            found += differences(f"{key}[{name}]", values[name], expected)
    assert (model.nobs, model.df_resid) == (case["nobs"], case["df_resid"])
    if case["kind"] == "lm":
        for key in ("sigma", "r_squared", "adj_r_squared"):
            found += differences(key, getattr(model, key), case[key])
        reference = case["fstatistic"]
        if reference is None:  # the intercept alone: R has no F test
            assert model.f_statistic is None or model.f_statistic[1] == 0, model.f_statistic
        else:
            for part, value in zip(("value", "numdf", "dendf"), model.f_statistic):
                found += differences(f"fstatistic {part}", value, reference[part])
    else:
        for key in ("deviance", "null_deviance", "aic"):
            found += differences(key, getattr(model, key), case[key])
        assert model.df_null == case["df_null"]
    assert not found, "\n".join(found)


def at_a_decimal_tie(ours: str, theirs: str, case: dict) -> bool:
    """Whether two printed numbers are the two roundings of one of R's values that lies on a
    decimal tie (7.4225 to three decimals): which one is printed is then decided by the last
    bits of rounding error, R's as much as ours."""
    decimals = [len(text.partition(".")[2]) for text in (ours, theirs)]
    if decimals[0] != decimals[1]:
        return False
    unit = 10.0 ** -decimals[0]
    a, b = float(ours), float(theirs)
    if not math.isclose(abs(a - b), unit, rel_tol=1e-6):
        return False
    middle = (a + b) / 2
    values = [v for key in ("estimates", "std_errors", "statistics") for v in case[key]]
    return any(v is not None and math.isclose(v, middle, rel_tol=1e-9) for v in values)


@parametrized
def test_printed_summary_matches_r(case):
    expected = without_deviance_residuals(case["printed"])
    printed = str(fitted(case["id"]).summary()).split("\n")
    assert len(printed) == len(expected), "\n".join(printed)
    for ours, theirs in zip(printed, expected):
        if ours == theirs:
            continue
        pairs = list(zip(ours.split(), theirs.split()))
        assert len(ours.split()) == len(theirs.split()) and all(
            a == b or at_a_decimal_tie(a, b, case) for a, b in pairs), (
            f"ours: {ours!r}\nR's:  {theirs!r}")
