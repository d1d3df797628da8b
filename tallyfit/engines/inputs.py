"""The tests of the inputs the engines take, run on every fit: they import no optional
library (an input of a library not yet imported cannot be one of its objects)."""

from __future__ import annotations

import sys
from pathlib import Path


def is_dask_frame(data: object) -> bool:
    """Whether `data` is a Dask DataFrame.

    >>> is_dask_frame({"y": [1.0]})
    False
    """
    if not type(data).__module__.startswith("dask"):
        return False
    frames = sys.modules.get("dask.dataframe")
    return frames is not None and isinstance(data, frames.DataFrame)


def is_stream_source(data: object) -> bool:
    """Whether `data` is read in batches by the stream engine: a `pathlib.Path`, a
    `pyarrow.dataset.Dataset`, a Polars LazyFrame, a DuckDB relation or a callable (a reader
    factory); a bare `pyarrow.RecordBatchReader` too, so that it is refused with advice.

    >>> is_stream_source({"y": [1.0]}), is_stream_source(Path("data.parquet"))
    (False, True)
    """
    if isinstance(data, Path):
        return True
    module = type(data).__module__
    if module.startswith("pyarrow"):
        dataset = sys.modules.get("pyarrow.dataset")
        lib = sys.modules.get("pyarrow")
        return bool(
            (dataset is not None and isinstance(data, dataset.Dataset))
            or (lib is not None and isinstance(data, lib.RecordBatchReader))
        )
    if module.startswith("polars"):
        polars = sys.modules.get("polars")
        return polars is not None and isinstance(data, polars.LazyFrame)
    if module.startswith("duckdb"):
        return type(data).__name__ == "DuckDBPyRelation"
    return callable(data) and not isinstance(data, type)
