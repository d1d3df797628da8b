"""Checks of the fit arguments: numbers, and ridge penalties against the design."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Optional, Union

import numpy as np

from .design import DesignPlan

PenaltyKey = Union[str, tuple[str, str]]


def check_positive_int(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or int(value) <= 0:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return int(value)


def check_non_negative(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a finite number >= 0, not {value!r}")
    number = float(value)
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(f"{name} must be a finite number >= 0, not {value!r}")
    return number


def check_penalties(penalties: object) -> Optional[dict[PenaltyKey, float]]:
    if penalties is None:
        return None
    if not isinstance(penalties, Mapping):
        raise ValueError(
            "penalties must be a dict from a column name or a (variable, level) pair to a "
            f"lambda, not {penalties!r}"
        )
    checked: dict[PenaltyKey, float] = {}
    for key, value in penalties.items():
        valid_key = isinstance(key, str) or (
            isinstance(key, tuple) and len(key) == 2 and all(isinstance(k, str) for k in key)
        )
        if not valid_key:
            raise ValueError(
                f"penalty key {key!r} must be a column name or a (variable, level) pair of str"
            )
        checked[key] = check_non_negative(f"the penalty on {key!r}", value)
    return checked


def penalty_records(
    penalties: dict[PenaltyKey, float], plan: DesignPlan
) -> list[tuple[str, Optional[str], float]]:
    """The penalties as (variable, level, lambda) after checking that each names a column."""
    records: list[tuple[str, Optional[str], float]] = []
    columns = set(plan.column_names)
    for key, value in penalties.items():
        if isinstance(key, str):
            if key not in columns:
                raise ValueError(
                    f"penalty on {key!r}: no design column of that name; columns: "
                    + ", ".join(map(repr, plan.column_names))
                )
            records.append((key, None, value))
            continue
        variable, level = key
        if plan.kinds.get(variable) != "categorical" or variable not in plan.predictors:
            raise ValueError(
                f"penalty on {key!r}: {variable!r} is not a categorical variable of the formula"
            )
        if level not in plan.levels[variable]:
            raise ValueError(
                f"penalty on {key!r}: {variable!r} has no level {level!r}; levels: "
                + ", ".join(map(repr, plan.levels[variable]))
            )
        if f"{variable}_{level}" not in columns:
            raise ValueError(
                f"penalty on {key!r}: level {level!r} is the reference level of {variable!r} "
                "and has no column of its own"
            )
        records.append((variable, level, value))
    return records


#: The frame columns that hold per-row `weights=`/`offset=` arrays (R's model frame names).
ROW_VALUE_COLUMNS = {"weights": "(weights)", "offset": "(offset)"}

RowValues = Union[str, np.ndarray, None]


def check_row_values(what: str, value: object) -> RowValues:
    """A `weights=`/`offset=` argument: None, a column name, or numbers, one per row (a
    float64 array; its length is checked against the data by `check_row_count`)."""
    if value is None or isinstance(value, str):
        return value
    try:
        values = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a column name or numbers, one per row, not "
                         f"{type(value).__name__}") from None
    if values.ndim != 1:
        raise ValueError(f"{what} must be a column name or a 1-d sequence of numbers, one per "
                         f"row; it has shape {values.shape}")
    return values


def check_row_count(what: str, values: np.ndarray, rows: int) -> None:
    if values.shape[0] != rows:
        raise ValueError(f"{what} has {values.shape[0]} values but the data has {rows} rows: "
                         "give one value per row (or a column name)")
