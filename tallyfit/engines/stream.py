"""The models of `tf.lm` and `tf.glm` fitted over record batches on one machine, in memory
bounded by the batch size rather than by the number of rows.

Sources (`is_stream_source` tells them apart without importing optional libraries):

* a `pyarrow.dataset.Dataset`, or a `pathlib.Path` to a Parquet file or a folder of them:
  ``Dataset.to_batches(columns=..., batch_size=...)``, reading only the used columns;
* a zero-argument callable returning a fresh `pyarrow.RecordBatchReader` (a factory); the
  fit calls it once per pass. A bare reader can be read once only and is refused;
* a Polars `LazyFrame`: ``lazy.select(...).collect_batches(chunk_size=...)`` (Polars'
  streaming engine), or ``lazy.slice(...).collect()`` slice by slice where the installed
  Polars has no `collect_batches`; the batches stay Polars frames, so categories follow
  Polars' rules as in memory;
* a DuckDB relation: the projected relation is executed again for every pass and read by
  ``to_arrow_reader(rows)`` (``fetch_record_batch(rows)`` on older DuckDB).

Arrow batches are regrouped to about `batch_rows` rows (small ones joined, large ones
sliced without copying). Every batch becomes a frame of the design code, its design block is
built with the one global plan and reduced by the native kernels, as the Dask fit reduces
partitions.

Passes over the source:

1. When a used column is categorical (or of a type that does not fix its kind), one pass
   collects the kinds, the levels (declared levels in order of first appearance, else the
   sorted values of the kept rows; unused levels dropped, as in memory) and the rows.
   Numeric and boolean columns are planned from the schema alone, without this pass.
2. Least squares: one pass for XᵀX, Xᵀy and yᵀy. Logistic regression: one pass that builds
   the design blocks and sums the start pass; the blocks are written to an unlinked scratch
   file (when the disk has room), so that each IRLS iteration reads raw float64 into one
   reused buffer instead of decoding and encoding the source again. Without room, each
   iteration reads the source again.

The fitted model is the class of the in-memory fit, with the same summary, inference, `save`
and `predict`; the n-sized residuals and fitted values are None, as on Dask. Predictions on a
stream source are computed batch by batch and returned as one NumPy array.
"""
from __future__ import annotations

import os
import shutil
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

import numpy as np

#: Rows per batch unless the block size bound asks for fewer.
DEFAULT_BATCH_ROWS = 65_536 * 4
#: Bytes a design block (rows × (columns + 1) float64) may take.
BLOCK_BYTES = 64 * 2**20
#: Share of the free disk space the scratch file of the design blocks may take.
SPILL_SHARE = 0.5


# ---- Sources --------------------------------------------------------------------------------


def is_stream_source(data: object) -> bool:
    """Whether `data` is read in batches by this module (a bare RecordBatchReader included,
    so that it is refused with advice), without importing optional libraries.

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


class Source:
    """Batches of a stream source, read again for every pass."""

    #: Column names and types, as a frame of no rows.
    meta: Any

    def batches(self, columns: list[str], rows: int) -> Iterator[Any]:
        """Native frames (pyarrow Tables or Polars DataFrames) of about `rows` rows with the
        `columns` only."""
        raise NotImplementedError

    def count_rows(self) -> Optional[int]:
        """The number of rows when it is known without reading the data."""
        return None


def _rebatched(batches: Any, rows: int) -> Iterator[Any]:
    """pyarrow Tables of about `rows` rows from record batches of any size: small batches are
    joined, large ones sliced (no copy)."""
    import pyarrow as pa

    pending: list[Any] = []
    count = 0
    for batch in batches:
        offset = 0
        while batch.num_rows - offset >= rows and not pending:
            yield pa.Table.from_batches([batch.slice(offset, rows)])
            offset += rows
        if offset < batch.num_rows:
            rest = batch.slice(offset)
            pending.append(rest)
            count += rest.num_rows
        if count >= rows:
            yield pa.Table.from_batches(pending)
            pending, count = [], 0
    if pending:
        yield pa.Table.from_batches(pending)


class _DatasetSource(Source):
    def __init__(self, dataset: Any) -> None:
        self.dataset = dataset
        self.meta = dataset.schema.empty_table()

    def batches(self, columns: list[str], rows: int) -> Iterator[Any]:
        return _rebatched(self._record_batches(columns, rows), rows)

    def _record_batches(self, columns: list[str], rows: int) -> Iterator[Any]:
        """The dataset's scanner reads several files ahead whatever its read-ahead options
        (hundreds of MB); a scan of one row group at a time holds one row group."""
        fragments = list(self.dataset.get_fragments())
        if not all(set(columns) <= set(fragment.physical_schema.names)
                   for fragment in fragments):  # partition keys: the dataset's own scan
            yield from self.dataset.to_batches(columns=columns, batch_size=rows)
            return
        for fragment in fragments:
            pieces = (fragment.split_by_row_group()
                      if hasattr(fragment, "split_by_row_group") else [fragment])
            for piece in pieces:
                yield from piece.to_batches(columns=columns, batch_size=rows,
                                            batch_readahead=0, fragment_readahead=0)

    def count_rows(self) -> Optional[int]:
        return int(self.dataset.count_rows())


class _FactorySource(Source):
    def __init__(self, factory: Callable[[], Any]) -> None:
        self.factory = factory
        # The reader opened for the schema serves the first pass.
        self.first: Optional[Any] = self._reader()
        self.meta = self.first.schema.empty_table()

    def _reader(self) -> Any:
        import pyarrow as pa

        reader = self.factory()
        if not isinstance(reader, pa.RecordBatchReader):
            raise TypeError(
                "a callable data source must return a pyarrow.RecordBatchReader each time it "
                f"is called, not {type(reader).__name__}"
            )
        return reader

    def batches(self, columns: list[str], rows: int) -> Iterator[Any]:
        reader, self.first = self.first or self._reader(), None
        return _rebatched((batch.select(columns) for batch in reader), rows)


class _PolarsSource(Source):
    def __init__(self, lazy: Any) -> None:
        import polars as pl

        self.lazy = lazy
        self.meta = pl.DataFrame(schema=lazy.collect_schema())

    def batches(self, columns: list[str], rows: int) -> Iterator[Any]:
        selected = self.lazy.select(columns)
        if hasattr(selected, "collect_batches"):
            yield from selected.collect_batches(chunk_size=rows)
            return
        offset = 0  # older Polars: slices of the query, each collected on its own
        while True:
            part = selected.slice(offset, rows).collect()
            if part.height == 0:
                return
            yield part
            offset += part.height


class _DuckSource(Source):
    def __init__(self, relation: Any) -> None:
        self.relation = relation
        self.meta = relation.limit(0).arrow()
        if hasattr(self.meta, "read_all"):  # DuckDB versions whose arrow() gives a reader
            self.meta = self.meta.read_all()

    def batches(self, columns: list[str], rows: int) -> Iterator[Any]:
        quoted = ", ".join('"' + name.replace('"', '""') + '"' for name in columns)
        selected = self.relation.project(quoted)
        if hasattr(selected, "to_arrow_reader"):
            reader = selected.to_arrow_reader(rows)
        else:
            reader = selected.fetch_record_batch(rows)
        return _rebatched(reader, rows)


def source_of(data: Any) -> Source:
    """The batch source of a stream input; TypeError for a one-shot reader."""
    import pyarrow as pa
    import pyarrow.dataset as ds

    if isinstance(data, pa.RecordBatchReader):
        raise TypeError(
            "a pyarrow.RecordBatchReader can be read only once, and a fit reads its data more "
            "than once: pass a factory that opens a new reader for each pass "
            "(lambda: reader_for(...)) or a pyarrow.dataset.Dataset"
        )
    if isinstance(data, Path):
        if not data.exists():
            raise FileNotFoundError(f"no Parquet file or folder at {str(data)!r}")
        return _DatasetSource(ds.dataset(data, format="parquet"))
    if isinstance(data, ds.Dataset):
        return _DatasetSource(data)
    module = type(data).__module__
    if module.startswith("polars"):
        return _PolarsSource(data)
    if module.startswith("duckdb"):
        return _DuckSource(data)
    if callable(data):
        return _FactorySource(data)
    raise TypeError(f"data of type {type(data).__name__} is not a stream source")


def batch_rows_for(columns: int, requested: Optional[int] = None) -> int:
    """Rows per batch: `requested`, else as many as keep a block of `columns` float64 columns
    within BLOCK_BYTES, at most DEFAULT_BATCH_ROWS.

    >>> batch_rows_for(20), batch_rows_for(2000), batch_rows_for(3, requested=10)
    (262144, 4192, 10)
    """
    if requested is not None:
        if requested < 1:
            raise ValueError(f"batch_rows must be a positive number of rows, not {requested}")
        return requested
    return max(1024, min(DEFAULT_BATCH_ROWS, BLOCK_BYTES // (8 * (columns + 1))))


# ---- Pass 1: kinds and levels ---------------------------------------------------------------


@dataclass
class _Levels:
    """Levels of one categorical variable merged over batches."""

    declared: dict[str, None] = field(default_factory=dict)  # in order of first appearance
    all_declared: bool = True
    found: set[str] = field(default_factory=set)
    used: set[str] = field(default_factory=set)

    def merged(self) -> list[str]:
        order = list(self.declared) if self.all_declared else sorted(self.found)
        return [level for level in order if level in self.used]


@dataclass
class Planned:
    """A source with the design plan of a formula and what the planning pass counted (None
    where the plan came from the schema alone)."""

    plan: Any
    source: Source
    used: list[str]
    rows: Optional[int]
    kept: Optional[int]


def _schema_kinds(meta: Any, used: list[str]) -> Optional[dict[str, Any]]:
    """The kinds of the used columns when their types fix them (numbers and booleans), else
    None: then the data must be read for kinds and levels."""
    import narwhals.stable.v1 as nw

    from .. import frames

    frame = frames.to_frame(meta)[0]
    kinds: dict[str, Any] = {}
    for name in used:
        dtype = frame[name].dtype
        if not (dtype.is_numeric() or dtype == nw.Boolean):
            return None
        kinds[name] = frames.column_kind(frame, name)
    return kinds


def plan_stream(formula: Any, source: Source, binary_response: bool,
                batch_rows: Optional[int]) -> Planned:
    """The design plan of `formula` over the source; errors as in memory."""
    from .. import frames
    from ..design import parse_formula, plan_design

    parsed = parse_formula(formula)
    used = used_variables(parsed)
    meta = frames.to_frame(source.meta)[0]
    frames.require_columns(meta, used)
    kinds = _schema_kinds(source.meta, used)
    if kinds is not None:
        return Planned(plan_design(parsed, kinds, {}, binary_response=binary_response),
                       source, used, None, None)
    found: dict[str, set[Any]] = {name: set() for name in used}
    levels: dict[str, _Levels] = {}
    rows = kept = 0
    for batch in source.batches(used, batch_rows_for(len(used), batch_rows)):
        summary = partition_summary(batch, used)
        if summary is None:
            continue
        rows += summary["rows"]
        kept += summary["kept"]
        for name in used:
            found[name].add(summary["kinds"][name])
        for name, values in summary["levels"].items():
            merged = levels.setdefault(name, _Levels())
            if summary["kinds"][name] is None:
                continue
            merged.all_declared &= name in summary["declared"]
            merged.declared.update(dict.fromkeys(values))
            merged.found.update(values)
            merged.used.update(summary["used_levels"][name])
    if not kept:
        raise ValueError(
            f"no row of the data has values in all of {', '.join(map(repr, used))}: "
            "nothing to fit"
        )
    merged_kinds: dict[str, Any] = {}
    for name in used:
        kinds_found = found[name] - {None}
        if len(kinds_found) > 1:
            raise ValueError(
                f"column {name!r} holds values of different kinds "
                f"({', '.join(sorted(kinds_found))}) in different batches: convert it to one "
                "type"
            )
        merged_kinds[name] = kinds_found.pop() if kinds_found else frames.column_kind(meta, name)
    merged_levels = {name: levels[name].merged() if name in levels else []
                     for name in used if merged_kinds[name] == "categorical"}
    plan = plan_design(parsed, merged_kinds, merged_levels, binary_response=binary_response)
    return Planned(plan, source, used, rows, kept)


# ---- Design blocks ------------------------------------------------------------------------


Block = tuple[np.ndarray, np.ndarray, int]


def _block(plan: Any, batch: Any, planned_by_scan: bool) -> Optional[Block]:
    """(X, y, rows dropped for missing values) of one batch; None for an empty one."""
    from .. import frames

    if len(batch) == 0:
        return None
    frame = frames.to_frame(batch)[0]
    try:
        block = plan.build(frame)
    except ValueError as error:
        change = change_since_planning(plan, frame) if planned_by_scan else None
        if change is None:
            raise
        raise ValueError(_data_changed(change)) from error
    return block.matrix, block.response, block.n_missing


def _data_changed(what: str) -> str:
    return (
        f"the data changed during the fit: {what}. The fit reads the data more than once, so "
        "its source must give the same rows every time: write it to Parquet and fit on that"
    )


def source_blocks(planned: Planned, batch_rows: Optional[int]) -> Iterator[Block]:
    """The design blocks of one pass over the source."""
    rows = batch_rows_for(len(planned.plan.column_names), batch_rows)
    scanned = planned.rows is not None
    for batch in planned.source.batches(planned.used, rows):
        block = _block(planned.plan, batch, scanned)
        if block is not None:
            yield block


class Spill:
    """Design blocks written to an unlinked scratch file and read back into one reused buffer
    (X in F order, then y), so later passes cost a raw read rather than a decode and an
    encoding of the source."""

    def __init__(self, columns: int, directory: Optional[str] = None) -> None:
        self.columns = columns
        self.file = tempfile.TemporaryFile(dir=directory)
        self.rows: list[int] = []
        self.missing: list[int] = []

    def write(self, block: Block) -> None:
        x, y, n_missing = block
        self.file.write(np.ascontiguousarray(x.T).reshape(-1).data)
        self.file.write(np.ascontiguousarray(y).reshape(-1).data)
        self.rows.append(x.shape[0])
        self.missing.append(n_missing)

    def blocks(self) -> Iterator[Block]:
        """The blocks in written order. Two buffers: a thread reads the next block (the read
        releases the interpreter lock) while the caller works on the current one."""
        from concurrent.futures import ThreadPoolExecutor

        self.file.flush()
        self.file.seek(0)
        most = max(self.rows, default=0) * (self.columns + 1)
        buffers = [np.empty(most), np.empty(most)]

        def read(index: int) -> Block:
            rows = self.rows[index]
            size = rows * (self.columns + 1)
            view = buffers[index % 2][:size]
            if size and self.file.readinto(view.data) != size * 8:
                raise OSError("the scratch file of the design blocks was cut short")
            return (view[:rows * self.columns].reshape(self.columns, rows).T,
                    view[rows * self.columns:], self.missing[index])

        if not self.rows:
            return
        with ThreadPoolExecutor(max_workers=1) as reader:
            pending = reader.submit(read, 0)
            for index in range(len(self.rows)):
                block = pending.result()
                if index + 1 < len(self.rows):
                    pending = reader.submit(read, index + 1)
                yield block

    def close(self) -> None:
        self.file.close()


def _room_to_spill(rows: Optional[int], columns: int, directory: Optional[str]) -> bool:
    if rows is None:
        return True  # unknown: tried, and given up when the disk fills
    free = shutil.disk_usage(directory or tempfile.gettempdir()).free
    return rows * (columns + 1) * 8 <= SPILL_SHARE * free


# ---- The fits' sums ---------------------------------------------------------------------------


def least_squares(formula: str, source: Source, batch_rows: Optional[int] = None) -> Any:
    """Pass 1 (when needed), then one pass for XᵀX, Xᵀy, yᵀy, Σy and n."""
    from .. import _native
    from ..design import aliased_columns

    planned = plan_stream(formula, source, False, batch_rows)
    sums: Optional[dict[str, Any]] = None
    batches = 0
    for x, y, n_missing in source_blocks(planned, batch_rows):
        xtx, xty = _native.gram(x, y)
        part = {"xtx": xtx, "xty": xty, "yty": float(y @ y), "y_sum": float(y.sum()),
                "n": y.shape[0], "n_missing": n_missing}
        sums = part if sums is None else add_statistics(sums, part)
        batches += 1
    sums = _checked_sums(planned, sums)
    aliased = aliased_columns(sums["xtx"])
    keep = ~aliased
    beta = solve_least_squares(sums["xtx"][np.ix_(keep, keep)], sums["xty"][keep])
    return planned.plan, sums, aliased, beta, {"batches": batches, "spilled": None}


def _checked_sums(planned: Planned, sums: Optional[dict[str, Any]]) -> dict[str, Any]:
    if sums is None or sums["n"] == 0:
        raise ValueError(
            f"no row of the data has values in all of {', '.join(map(repr, planned.used))}: "
            "nothing to fit"
        )
    if planned.rows is not None and sums["n"] + sums["n_missing"] != planned.rows:
        raise ValueError(_data_changed(
            f"the pass that collected the levels read {planned.rows} rows, the fit pass "
            f"{sums['n'] + sums['n_missing']}"
        ))
    return sums


@dataclass
class LogisticSums:
    plan: Any
    penalties: Any
    result: Any
    aliased: np.ndarray
    deviance: float
    n: int
    y_sum: float
    n_missing: int
    record: dict[str, Any]


def logistic(formula: str, source: Source, penalties: Any, max_iterations: int,
             convergence_delta: float, batch_rows: Optional[int] = None,
             spill_directory: Optional[str] = None) -> LogisticSums:
    """Pass 1 (when needed), one pass that builds the blocks (spilled to scratch when there
    is room) and sums the start pass, then one pass per IRLS iteration over the blocks; the
    deviance comes with the last pass."""
    from .. import _native
    from ..design import aliased_columns
    from ..inference import binomial_deviance

    planned = plan_stream(formula, source, True, batch_rows)
    if penalties:
        penalties = penalty_records(penalties, planned.plan)
    p = len(planned.plan.column_names)
    kept = planned.kept if planned.kept is not None else source.count_rows()
    spill: Optional[Spill] = None
    if _room_to_spill(kept, p, spill_directory):
        spill = Spill(p, spill_directory)
    start: Optional[dict[str, Any]] = None
    batches = 0
    try:
        for block in source_blocks(planned, batch_rows):
            x, y, n_missing = block
            # The start pass (μ = 1/2, weights 1/4) is XᵀX / 4 and Xᵀ(y − 1/2): the Gram
            # kernel gives both at a third of the cost of the weighted pass.
            xtx, xty = _native.gram(x, y - 0.5)
            part = {"h": 0.25 * xtx, "t": xty, "log_likelihood": 0.0, "n": y.shape[0],
                    "y_sum": float(y.sum()), "n_missing": n_missing}
            start = part if start is None else add_statistics(start, part)
            batches += 1
            if spill is not None:
                try:
                    spill.write(block)
                except OSError:  # the disk filled: read the source again on every pass
                    spill.close()
                    spill = None
        start = _checked_sums(planned, start)

        def blocks() -> Iterator[Block]:
            return spill.blocks() if spill is not None else source_blocks(planned, batch_rows)

        ridge = None
        if penalties:
            ridge = _native.penalty_diagonal(list(penalties), planned.plan.column_names)
        # The start pass weighs every row by 0.25 exactly, so its h is XᵀX / 4.
        aliased = aliased_columns(4.0 * (start["h"] if ridge is None else
                                         start["h"] + np.diag(ridge)))
        keep = ~aliased
        if ridge is not None:
            ridge = ridge[keep]
        deviance: dict[str, float] = {}

        def run_pass(beta: np.ndarray, kind: str) -> dict[str, Any]:
            """Sums of the native pass at beta; "final" adds the exact deviance."""
            if kind == "start":
                sums = start
            else:
                full = scatter(beta, keep)
                sums = None
                total_deviance = 0.0
                for x, y, _ in blocks():
                    log_likelihood, h, t = _native.irls_pass(x, y, full, "gram")
                    part = {"log_likelihood": log_likelihood, "h": h, "t": t}
                    sums = part if sums is None else add_statistics(sums, part)
                    if kind == "final":
                        total_deviance += binomial_deviance(y, x @ full)
                deviance["value"] = total_deviance
            assert sums is not None
            return {"log_likelihood": sums["log_likelihood"],
                    "h": sums["h"][np.ix_(keep, keep)], "t": sums["t"][keep]}

        if ridge is None:
            result = r_irls(run_pass, start, keep, max_iterations, convergence_delta)
        else:
            result = core_irls(run_pass, int(keep.sum()), ridge, max_iterations,
                               convergence_delta)
            run_pass(result.coefficients, "final")  # the deviance at the final coefficients
    finally:
        if spill is not None:
            spill.close()
    record = {"batches": batches, "spilled": spill is not None,
              "iterations": result.iterations}
    return LogisticSums(planned.plan, penalties, result, aliased, deviance["value"],
                        int(start["n"]), float(start["y_sum"]), int(start["n_missing"]), record)


# ---- Glue to the package's models, solvers and the Dask fit's helpers -------------------------
# Everything the stream fits borrow from the rest of the package is imported or built here.

from ..dask import (  # noqa: E402
    IrlsResult,
    _change_since_planning as change_since_planning,
    _partition_summary as partition_summary,
    _scatter as scatter,
    add_statistics,
    irls as core_irls,
    solve_least_squares,
    used_variables,
)


def r_irls(run_pass: Callable[[np.ndarray, str], dict[str, Any]], start: dict[str, Any],
           keep: np.ndarray, max_iterations: int, convergence_delta: float) -> IrlsResult:
    """R's glm.fit loop (`solvers.irls_loop`) over passes of the blocks, as the Dask fit runs
    it; the pass at the polished estimate also sums the exact deviance ("final")."""
    from .. import solvers

    def pass_at(beta: np.ndarray) -> tuple[float, np.ndarray, np.ndarray]:
        sums = run_pass(beta, "gram")
        return float(sums["log_likelihood"]), sums["h"], sums["t"]

    loop = solvers.irls_loop(pass_at, 4.0 * start["h"][np.ix_(keep, keep)], start["t"][keep],
                             int(start["n"]), max_iterations, convergence_delta)
    beta = solvers.polished(loop)
    final = run_pass(beta, "final")
    if not loop.converged:
        solvers.warn_not_converged(max_iterations, convergence_delta)
    return IrlsResult(beta, float(final["log_likelihood"]), final["h"], loop.iterations)


def penalty_records(penalties: Any, plan: Any) -> Any:
    from ..models import _penalty_records

    return _penalty_records(penalties, plan)


def _model_arguments(text: str, source: Source, plan: Any, aliased: np.ndarray,
                     beta: np.ndarray, kind: str, penalties: Any,
                     unscaled: Optional[np.ndarray], nobs: int, n_missing: int) -> dict[str, Any]:
    from .. import frames, inference
    from ..models import core_from_coefficients

    keep = ~aliased
    names = [name for name, kept in zip(plan.column_names, keep) if kept]
    core = core_from_coefficients(kind, names, beta.tolist(), plan.encoder(), plan.formula,
                                  penalties)
    return {"core": core, "plan": plan, "formula": text,
            "coefficients": inference.scatter(beta, keep, len(plan.column_names)),
            "aliased": aliased, "unscaled_covariance": unscaled, "nobs": nobs,
            "n_missing": n_missing, "native_namespace": frames.to_frame(source.meta)[1]}


def _checked_formula(formula: object) -> str:
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {formula!r}")
    return formula


def lm(formula: str, data: Any, batch_rows: Optional[int] = None) -> Any:
    """`tf.lm` over a stream source: the model of the in-memory fit, from at most two passes.

    `residuals` and `fitted_values` are None (they would be n-sized); `stream_fit` records
    the number of batches.

    >>> import pyarrow as pa, tallyfit as tf
    >>> table = pa.table({"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> m = tf.lm("y ~ x", lambda: pa.RecordBatchReader.from_batches(
    ...     table.schema, table.to_batches(max_chunksize=3)))
    >>> round(m.coefficients["x"], 6), m.residuals is None
    (1.1, True)
    """
    from .. import inference
    from ..models import LinearModel

    text = _checked_formula(formula)
    source = source_of(data)
    plan, sums, aliased, beta, record = least_squares(text, source, batch_rows)
    keep = ~aliased
    n = int(sums["n"])
    rss = max(float(sums["yty"] - beta @ sums["xty"][keep]), 0.0)
    tss = float(sums["yty"])
    if plan.has_intercept and n > 0:
        tss = max(tss - sums["y_sum"] ** 2 / n, 0.0)
    model = LinearModel(
        **_model_arguments(text, source, plan, aliased, beta, "LinearRegression", None,
                           inference.unscaled_covariance(sums["xtx"][np.ix_(keep, keep)]),
                           n, int(sums["n_missing"])),
        rss=rss, tss=tss,
    )
    setattr(model, "stream_fit", record)
    return model


def glm(formula: str, data: Any, penalties: Any = None, max_iterations: int = 25,
        convergence_delta: float = 1e-8, batch_rows: Optional[int] = None,
        spill_directory: Optional[str] = None) -> Any:
    """`tf.glm` over a stream source (its arguments checked by `tf.glm`): the model of the
    in-memory fit, by R's IRLS loop with one pass over the design blocks per iteration.
    `stream_fit` records the batches, the iterations and whether the blocks were spilled."""
    from .. import inference
    from ..models import LogisticModel, convergence_hint

    text = _checked_formula(formula)
    source = source_of(data)
    with convergence_hint(max_iterations, convergence_delta):
        fit = logistic(text, source, penalties, max_iterations, convergence_delta,
                       batch_rows, spill_directory)
    plan, records = fit.plan, fit.penalties or None
    unscaled = None if records else inference.unscaled_covariance(fit.result.h)
    kind = "PenalizedLogisticRegression" if records else "LogisticRegression"
    model = LogisticModel(
        **_model_arguments(text, source, plan, fit.aliased, fit.result.coefficients, kind,
                           records, unscaled, fit.n, fit.n_missing),
        deviance=fit.deviance,
        null_deviance=inference.binomial_null_deviance(fit.y_sum, fit.n, plan.has_intercept),
        df_null=fit.n - (1 if plan.has_intercept else 0),
        penalties=dict(penalties) if penalties else None,
        iterations=None if records else fit.result.iterations,
    )
    setattr(model, "stream_fit", fit.record)
    return model


def predict(model: Any, data: Any, batch_rows: Optional[int] = None, **options: Any) -> Any:
    """Predictions of `model` (its in-memory `predict` with `options`) for every row of a
    stream source, batch by batch: one float64 NumPy array (NaN where a predictor is
    missing), or the tuple (fit, lower, upper) of arrays for an interval."""
    from .. import frames

    source = source_of(data)
    predictors = list(dict.fromkeys(model._plan.predictors))
    frames.require_columns(frames.to_frame(source.meta)[0], predictors)
    parts: list[Any] = []
    for batch in source.batches(predictors, batch_rows_for(len(model.column_names),
                                                           batch_rows)):
        if len(batch):
            parts.append(model.predict(batch, **options))
    if parts and isinstance(parts[0], tuple):
        return tuple(np.concatenate([part[i] for part in parts]) for i in range(3))
    if not parts:
        empty = np.zeros(0)
        return (empty, empty.copy(), empty.copy()) if options.get("interval") else empty
    return np.concatenate(parts)
