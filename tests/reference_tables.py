"""The reference data sets as plain columns, and the same columns as frames of each library.

A data file in tests/data is a CSV with "#" comment lines; an empty cell is a missing value.
A column whose cells all read as numbers is float, one of only "true"/"false" is boolean, any
other is a string column.
"""

import csv
import math
import pathlib

import numpy as np

DATA = pathlib.Path(__file__).parent / "data"

LIBRARIES = ["pandas", "polars", "pyarrow", "dict"]


def _parse_column(cells):
    present = [cell for cell in cells if cell != ""]
    if present and all(cell in ("true", "false") for cell in present):
        return [None if cell == "" else cell == "true" for cell in cells]
    try:
        return [None if cell == "" else float(cell) for cell in cells]
    except ValueError:
        return [None if cell == "" else cell for cell in cells]


def read_table(name):
    """{column: list of float, bool or str, None where missing} of tests/data/<name>.csv, with
    the derived columns a model of that table needs."""
    lines = (DATA / f"{name}.csv").read_text(encoding="utf-8").splitlines()
    rows = list(csv.reader(line for line in lines if line and not line.startswith("#")))
    header, records = rows[0], rows[1:]
    columns = {col: _parse_column([row[j] for row in records]) for j, col in enumerate(header)}
    if name == "challenger":
        # Any O-ring with thermal distress on the flight.
        columns["distress"] = [damaged > 0 for damaged in columns["damaged"]]
    return columns


def kind_of(values):
    present = [value for value in values if value is not None]
    if all(isinstance(value, bool) for value in present):
        return "bool"
    if all(isinstance(value, float) for value in present):
        return "float"
    return "string"


def as_frame(columns, library, categories=None):
    """The columns as a `library` frame. Float columns hold nulls (NaN in a dict), string
    columns nulls (None); `categories` maps a string column to its declared level order, which
    becomes a pandas Categorical, a polars Enum or an arrow dictionary."""
    categories = categories or {}
    if library == "dict":
        if categories:
            raise ValueError("a dict of lists cannot declare levels")
        return {
            col: [math.nan if v is None else v for v in values] if kind_of(values) == "float"
            else list(values)
            for col, values in columns.items()
        }
    if library == "pandas":
        import pandas as pd

        data = {}
        for col, values in columns.items():
            kind = kind_of(values)
            if col in categories:
                data[col] = pd.Categorical(values, categories=categories[col])
            elif kind == "float":
                data[col] = np.array([np.nan if v is None else v for v in values])
            elif kind == "bool":
                data[col] = np.array(values, dtype=bool)
            else:
                data[col] = pd.Series(values, dtype=object)
        return pd.DataFrame(data)
    if library == "polars":
        import polars as pl

        series = []
        for col, values in columns.items():
            kind = kind_of(values)
            if col in categories:
                series.append(pl.Series(col, values, dtype=pl.Enum(categories[col])))
            else:
                dtype = {"float": pl.Float64, "bool": pl.Boolean, "string": pl.String}[kind]
                series.append(pl.Series(col, values, dtype=dtype))
        return pl.DataFrame(series)
    if library == "pyarrow":
        import pyarrow as pa

        arrays = {}
        for col, values in columns.items():
            kind = kind_of(values)
            if col in categories:
                levels = categories[col]
                indices = pa.array([None if v is None else levels.index(v) for v in values],
                                   type=pa.int32())
                arrays[col] = pa.DictionaryArray.from_arrays(indices, pa.array(levels))
            else:
                dtype = {"float": pa.float64(), "bool": pa.bool_(), "string": pa.string()}[kind]
                arrays[col] = pa.array(values, type=dtype)
        return pa.table(arrays)
    raise ValueError(f"unknown library {library!r}")
