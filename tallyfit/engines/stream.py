"""The stream engine: fits over record batches on one machine, in memory bounded by the
batch size rather than by the number of rows.

Sources (`inputs.is_stream_source` tells them apart without importing optional libraries):

* a `pyarrow.dataset.Dataset`, or a `pathlib.Path` to a Parquet file or a folder of them:
  read one row group at a time, only the used columns;
* a zero-argument callable returning a fresh `pyarrow.RecordBatchReader` (a factory); the
  fit calls it once per pass. A bare reader can be read once only and is refused;
* a Polars `LazyFrame`: ``lazy.select(...).collect_batches(chunk_size=...)`` (Polars'
  streaming engine), or ``lazy.slice(...).collect()`` slice by slice where the installed
  Polars has no `collect_batches`; the batches stay Polars frames, so categories follow
  Polars' rules as in memory;
* a DuckDB relation: the projected relation is executed again for every pass and read by
  ``to_arrow_reader(rows)`` (``fetch_record_batch(rows)`` on older DuckDB).

Arrow batches are regrouped to about `batch_rows_for` rows (small ones joined, large ones
sliced without copying). Every batch becomes its design block with the one global plan, and
`passes` gives the block's sums, as on Dask partitions; the solvers run on the totals.

Passes over the source:

1. When a used column is categorical (or of a type that does not fix its kind), or the
   formula has calls that learn from the whole column (``scale``, ``poly``, ``ns``, ``bs``,
   ``factor``, ``C``, ``relevel``), one pass collects the kinds, the levels, the rows and
   what those calls learn (`learning`, the rules of the in-memory fit; a call inside
   another stateful one takes a pass more). Numeric and boolean columns with elementwise
   calls only are planned from the schema alone; ``.`` stands for the schema's columns.
2. Least squares: one pass for XᵀX, Xᵀy and yᵀy. IRLS: one pass that builds the design
   blocks and sums R's start (by the Gram kernel alone where the family's start weight is
   a constant); the blocks are written to an unlinked scratch file when the disk has room,
   so that each iteration reads raw float64 (the next block read ahead in a thread) instead
   of decoding and encoding the source again. Without room, each pass reads the source again.

The model is that of the in-memory fit, with the same summary, inference, `save` and
`predict`; the n-sized residuals and fitted values are None, as on Dask. `stream_fit`
records the batches, the iterations and whether the blocks were spilled.

>>> import pyarrow as pa, tallyfit as tf
>>> table = pa.table({"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
>>> m = tf.lm("y ~ x", lambda: pa.RecordBatchReader.from_batches(
...     table.schema, table.to_batches(max_chunksize=3)))
>>> round(m.coefficients["x"], 6), m.residuals is None, m.stream_fit["batches"]
(1.1, True, 1)
"""
from __future__ import annotations

import shutil
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Any, Callable, Optional, Sequence

import numpy as np

from .. import covariance, design, frames, passes
from ..coded import dense_matrix
from ..design import parse_formula
from ..families import Family
from ..frames import BoolArray, FloatArray
from ..progress import FitProgress
from . import LeastSquaresSums, Scan, block_meat, least_squares_block
from .learning import Learning, gather, plan_in_passes
from .summaries import (Merged, change_since_planning, data_changed, rows_changed, scatter,
                        used_variables)

NAME = "stream"

#: Rows per batch at the most.
DEFAULT_BATCH_ROWS = 65_536 * 4
#: Bytes a design block (rows × (columns + 1) float64) may take.
BLOCK_BYTES = 64 * 2**20
#: Share of the free disk space the scratch file of the design blocks may take.
SPILL_SHARE = 0.5
#: The folder of the scratch file (None: the system's temporary folder).
SPILL_DIRECTORY: Optional[str] = None

#: What to do when the data change between passes.
ADVICE = "write it to Parquet and fit on that"


# ---- Sources --------------------------------------------------------------------------------


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


def batch_rows_for(columns: int) -> int:
    """Rows per batch: as many as keep a block of `columns` float64 columns within
    BLOCK_BYTES (at least 1024), at most DEFAULT_BATCH_ROWS.

    >>> batch_rows_for(20), batch_rows_for(2000)
    (262144, 4192)
    """
    return min(DEFAULT_BATCH_ROWS, max(1024, BLOCK_BYTES // (8 * (columns + 1))))


# ---- Pass 1: kinds and levels ---------------------------------------------------------------


@dataclass
class Planned:
    """The engine's state: the source, the used columns, what the planning pass counted (None
    where the plan came from the schema alone) and the batches of the last pass."""

    source: Source
    used: list[str]
    rows: Optional[int]
    kept: Optional[int]
    family: Optional[Family] = None
    batches: int = 0


def _schema_kinds(meta: Any, used: list[str]) -> Optional[dict[str, Any]]:
    """The kinds of the used columns when their types fix them (numbers and booleans), else
    None: then the data must be read for kinds and levels."""
    import narwhals.stable.v1 as nw

    frame = frames.to_frame(meta)[0]
    kinds: dict[str, Any] = {}
    for name in used:
        dtype = frame[name].dtype
        if not (dtype.is_numeric() or dtype == nw.Boolean):
            return None
        kinds[name] = frames.column_kind(frame, name)
    return kinds


def scan(formula: str, data: Any, family: Optional[Family], weights: Optional[str] = None,
         offset: Optional[str] = None, progress: Optional[FitProgress] = None) -> Scan:
    """The design plan over the source (pass 1 where the schema does not fix the kinds);
    errors as in memory. `weights` and `offset` are column names."""
    source = source_of(data)
    meta, namespace = frames.to_frame(source.meta)
    parsed = parse_formula(formula)
    columns = list(meta.columns) if parsed.dot else None  # '.': the source's schema
    if columns is not None:
        parsed = parsed.with_columns(columns)
    used = used_variables(parsed, weights, offset)
    frames.require_columns(meta, used)
    hook = FitProgress("fit", NAME) if progress is None else progress

    def run(learning: Learning) -> Iterator[Any]:
        hook.stage("levels pass")
        for batch in hook.counted(source.batches(used, batch_rows_for(len(used))), len):
            yield gather(batch, learning)

    plan, merged = plan_in_passes(parsed, meta, used, run, "batches", family=family,
                                  weights=weights, offset=offset,
                                  kinds=_schema_kinds(source.meta, used), columns=columns)
    rows, kept = (None, None) if merged is None else (merged.rows, merged.kept)
    return Scan(plan, namespace, Planned(source, used, rows, kept, family), hook)


# ---- Design blocks ------------------------------------------------------------------------


def source_blocks(scan: Scan, family: Optional[Family] = None) -> Iterator[passes.Rows]:
    """The design blocks of one pass over the source, as `family` reads them."""
    for block in _design_blocks(scan):
        assert block.response is not None
        yield passes.rows_for(family, block.matrix, block.response, block.n_missing,
                              block.weights, block.offset)


def _design_blocks(scan: Scan) -> Iterator[design.DesignBlock]:
    """The design blocks of one pass, as built (for least squares)."""
    planned: Planned = scan.state
    rows = batch_rows_for(len(scan.plan.column_names))
    if planned.batches:  # the count of the last pass (none before the first)
        scan.progress.expect(planned.batches)
    planned.batches = 0
    for batch in planned.source.batches(planned.used, rows):
        if len(batch) == 0:
            continue
        frame = frames.to_frame(batch)[0]
        try:
            block = scan.plan.build(frame)
        except ValueError as error:
            change = change_since_planning(scan.plan, frame) if planned.rows is not None \
                else None
            if change is None:
                raise
            raise ValueError(data_changed(change, ADVICE)) from error
        planned.batches += 1
        yield block
        scan.progress.step(block.matrix.shape[0])


def _check_rows(scan: Scan, n: int, n_missing: int) -> None:
    planned: Planned = scan.state
    if n == 0:
        Merged(planned.used, "batches").check_rows()
    if planned.rows is not None and n + n_missing != planned.rows:
        raise ValueError(data_changed(rows_changed(planned.rows, n + n_missing), ADVICE))


_VECTORS = ("y", "weights", "offset", "trials")


class Spill:
    """Design blocks written to an unlinked scratch file and read back into one reused buffer
    (X in F order, then y and the weights, offset and trials a block has), so later passes
    cost a raw read rather than a decode and an encoding of the source."""

    def __init__(self, columns: int, directory: Optional[str] = None) -> None:
        self.columns = columns
        self.file = tempfile.TemporaryFile(dir=directory)
        self.rows: list[int] = []
        self.missing: list[int] = []
        self.present: list[tuple[str, ...]] = []

    def write(self, block: passes.Rows) -> None:
        self.file.write(np.ascontiguousarray(dense_matrix(block.x).T).reshape(-1).data)
        present = tuple(name for name in _VECTORS if getattr(block, name) is not None)
        for name in present:
            self.file.write(np.ascontiguousarray(getattr(block, name)).reshape(-1).data)
        self.rows.append(block.x.shape[0])
        self.missing.append(block.n_missing)
        self.present.append(present)

    def blocks(self) -> Iterator[passes.Rows]:
        """The blocks in written order. Two buffers: a thread reads the next block (the read
        releases the interpreter lock) while the caller works on the current one."""
        from concurrent.futures import ThreadPoolExecutor

        self.file.flush()
        self.file.seek(0)
        most = max((rows * (self.columns + len(present))
                    for rows, present in zip(self.rows, self.present)), default=0)
        buffers = [np.empty(most), np.empty(most)]

        def read(index: int) -> passes.Rows:
            rows, present = self.rows[index], self.present[index]
            size = rows * (self.columns + len(present))
            view = buffers[index % 2][:size]
            if size and self.file.readinto(view.data) != size * 8:
                raise OSError("the scratch file of the design blocks was cut short")
            x = view[:rows * self.columns].reshape(self.columns, rows).T
            vectors = {name: view[rows * (self.columns + k):rows * (self.columns + k + 1)]
                       for k, name in enumerate(present)}
            return passes.Rows(x, vectors["y"], self.missing[index], vectors.get("weights"),
                               vectors.get("offset"), vectors.get("trials"))

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


def _room_to_spill(rows: Optional[int], columns: int) -> bool:
    if rows is None:
        return True  # unknown: tried, and given up when the disk fills
    free = shutil.disk_usage(SPILL_DIRECTORY or tempfile.gettempdir()).free
    return rows * (columns + 1) * 8 <= SPILL_SHARE * free


# ---- The engine's sums ------------------------------------------------------------------------


def least_squares(scan: Scan) -> LeastSquaresSums:
    """One pass for XᵀWX, XᵀW(y − o), the sums of squares and the counts."""
    total: Optional[LeastSquaresSums] = None
    for block in _design_blocks(scan):
        part = least_squares_block(block)
        total = part if total is None else total + part
    if total is None:
        _check_rows(scan, 0, 0)
    assert total is not None
    _check_rows(scan, total.n, total.n_missing)
    return total


class StreamSource:
    """The IRLS source over the batches' design blocks (see the engine interface): one pass
    builds the blocks, spills them and sums the start; every later pass reads them back."""

    scales = None

    def __init__(self, scan: Scan, family: Family, with_gram: bool) -> None:
        self.scan = scan
        self.family = family
        planned: Planned = scan.state
        p = len(scan.plan.column_names)
        self.keep = np.ones(p, dtype=bool)
        kept = planned.kept if planned.kept is not None else planned.source.count_rows()
        self.spill: Optional[Spill] = Spill(p, SPILL_DIRECTORY) if _room_to_spill(kept, p) \
            else None
        start: Optional[passes.StartSums] = None
        try:
            for block in source_blocks(scan, family):
                # With a constant start weight this is XᵀX by the Gram kernel and one Xᵀz.
                part = passes.start_sums(family, block, with_gram=with_gram)
                start = part if start is None else start + part
                self._write(block)
        except BaseException:
            self._close()
            raise
        if start is None:
            _check_rows(scan, 0, 0)
        assert start is not None
        try:
            _check_rows(scan, start.n, start.n_missing)
        except ValueError:
            self._close()
            raise
        self.start: passes.StartSums = start

    @property
    def persisted(self) -> bool:
        """Whether the blocks were spilled (else every pass reads the source again)."""
        return self.spill is not None

    def _write(self, block: passes.Rows) -> None:
        if self.spill is None:
            return
        try:
            self.spill.write(block)
        except OSError:  # the disk filled: read the source again on every pass
            self._close()

    def _close(self) -> None:
        if self.spill is not None:
            self.spill.close()
            self.spill = None

    def __enter__(self) -> "StreamSource":
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self._close()

    def _blocks(self) -> Iterator[passes.Rows]:
        if self.spill is not None:
            progress = self.scan.progress
            progress.expect(len(self.spill.rows))
            return progress.counted(self.spill.blocks(), lambda block: block.x.shape[0])
        return source_blocks(self.scan, self.family)

    def restrict(self, keep: BoolArray) -> None:
        self.keep = keep
        self.start.restrict(keep)

    def _sum(self, beta: FloatArray, each: Callable[[passes.Rows, FloatArray], Any]) -> Any:
        total = None
        for block in self._blocks():
            part = each(block, beta)
            total = part if total is None else total + part
        return total

    def pass_at(self, beta: FloatArray) -> passes.PassSums:
        family = self.family
        sums: passes.PassSums = self._sum(scatter(beta, self.keep),
                                          lambda rows, b: passes.pass_at(family, rows, b))
        return sums.restrict(self.keep)

    def rows(self) -> None:
        return None

    def final(self, beta: FloatArray, null_mu: Optional[float] = None,
              null_by_offset: bool = False,
              weights_at: passes.WeightsAt = "beta") -> passes.FinalSums:
        family = self.family
        at = weights_at if weights_at is None or isinstance(weights_at, str) \
            else scatter(weights_at, self.keep)
        final: passes.FinalSums = self._sum(
            scatter(beta, self.keep),
            lambda rows, b: passes.final_sums(family, rows, b, null_mu, null_by_offset,
                                              weights_at=at))
        return final

    def null_pass(self, beta: FloatArray) -> passes.PassSums:
        family = self.family
        sums: passes.PassSums = self._sum(
            beta, lambda rows, b: passes.pass_at(family, passes.intercept_only(rows), b))
        return sums


def irls_source(scan: Scan, family: Family, penalized: bool) -> StreamSource:
    """The IRLS source; extreme columns are not rescaled (as on Dask)."""
    return StreamSource(scan, family, with_gram=penalized)


def meat(scan: Scan, response_family: Optional[Family], request: passes.MeatRequest,
         cluster: Optional[str] = None) -> covariance.MeatSums:
    """The sandwich's meat in one pass over the source's batches (read with the cluster
    column when there is one), each rebuilt into its design block; per-cluster sums are
    merged by cluster value batch by batch."""
    planned: Planned = scan.state
    if cluster is not None and not isinstance(cluster, str):
        raise ValueError(
            "cluster as values is offered for in-memory data; on a stream source give the "
            "name of a column that holds the clusters")
    columns = planned.used
    if cluster is not None:
        frames.require_columns(frames.to_frame(planned.source.meta)[0], [cluster])
        columns = list(dict.fromkeys([*columns, cluster]))
    total: Optional[covariance.MeatSums] = None
    for batch in planned.source.batches(columns, batch_rows_for(len(scan.plan.column_names))):
        part = block_meat(scan.plan, frames.to_frame(batch)[0], response_family, request,
                          cluster)
        if part is not None:
            total = part if total is None else total + part  # type: ignore[operator]
    if total is None:
        raise ValueError("the data source gave no rows for the covariance pass")
    return total


def fit_record(scan: Scan, iterations: Optional[int] = None,
               persisted: Optional[bool] = None) -> dict[str, Any]:
    """The model's `stream_fit`: batches per pass, iterations and whether blocks spilled."""
    planned: Planned = scan.state
    return {"batches": planned.batches, "iterations": iterations, "spilled": persisted}


# ---- Prediction -----------------------------------------------------------------------------


def predict(data: Any, predictors: Sequence[str],
            predict_rows: Callable[[Any], FloatArray]) -> Any:
    """Predictions for every row of a stream source, batch by batch (`predict_rows`, the
    model's in-memory predict, on each): a Polars Series of Float64 for a LazyFrame, else one
    float64 NumPy array; NaN where a predictor is missing. Errors of the data are those of
    the in-memory predict.

    >>> import polars as pl, tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> m.predict(pl.LazyFrame({"x": [5.0, 6.0]})).round(6).to_list()
    [5.5, 6.6]
    """
    source = source_of(data)
    names = list(dict.fromkeys(predictors))
    frames.require_columns(frames.to_frame(source.meta)[0], names)
    parts = [np.asarray(predict_rows(batch), dtype=np.float64)
             for batch in source.batches(names, batch_rows_for(len(names))) if len(batch)]
    values = np.concatenate(parts) if parts else np.zeros(0)
    if isinstance(source, _PolarsSource):
        import polars as pl

        return pl.Series(values, dtype=pl.Float64)
    return values
