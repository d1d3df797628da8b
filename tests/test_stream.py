"""Fits over record batches against the same fits in memory, on Parquet written here.

The data are a folder of Parquet files of many row groups, with empty files and single-row
files among them; a level of `g` occurs only in a single-row file, so the levels must come
from every batch. Each kind of source is compared with the in-memory fit of the same data as
that library reads it (a Polars or DuckDB read may type a column differently from pandas).
"""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest

import tallyfit as tf
from fitting_support import (BLOCKED_FRAME_ERRORS, WEIGHTED_FITS, assert_sandwiches_agree,
                             assert_weighted_fits_agree,
                             blocked_frame, relative_difference, weighted_fit,
                             without_residuals)
from tallyfit.engines import stream

pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")

FILE_ROWS = [0, 1, 370, 0, 1200, 1, 580, 830]
ROW_GROUP = 53
DEFAULT_BATCH_ROWS = stream.DEFAULT_BATCH_ROWS


def make_frame() -> pd.DataFrame:
    return blocked_frame(FILE_ROWS, seed=11, missing_x2=[5, 77, 900], missing_g=[12, 1500])


@pytest.fixture(scope="module")
def frame() -> pd.DataFrame:
    return make_frame()


@pytest.fixture(scope="module")
def folder(tmp_path_factory, frame) -> Path:
    directory = tmp_path_factory.mktemp("parquet")
    first = 0
    for index, rows in enumerate(FILE_ROWS):
        part = pa.Table.from_pandas(frame.iloc[first:first + rows], preserve_index=False)
        pq.write_table(part, directory / f"part.{index:03d}.parquet", row_group_size=ROW_GROUP)
        first += rows
    return directory


@pytest.fixture(autouse=True)
def small_batches(monkeypatch):
    monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", 97)


SOURCES = {
    # kind: (stream source of the folder, the same data in memory)
    "dataset": (lambda d: ds.dataset(d), lambda d: pq.read_table(d)),
    "folder": (lambda d: d, lambda d: pq.read_table(d)),
    "file": (lambda d: d / "part.004.parquet", lambda d: pq.read_table(d / "part.004.parquet")),
    "factory": (lambda d: lambda: ds.dataset(d).scanner().to_reader(),
                lambda d: pq.read_table(d)),
    "lazyframe": (lambda d: pl.scan_parquet(d / "*.parquet"),
                  lambda d: pl.scan_parquet(d / "*.parquet").collect()),
    "duckdb": (lambda d: duckdb.read_parquet(str(d / "*.parquet")),
               lambda d: duckdb.read_parquet(str(d / "*.parquet")).arrow().read_all()),
}


@pytest.fixture(params=list(SOURCES))
def source(request, folder):
    """(stream source, in-memory data) of each kind."""
    make, read = SOURCES[request.param]
    data = read(folder)
    return make(folder), data.read_all() if hasattr(data, "read_all") else data


@pytest.mark.parametrize("formula", [
    "y ~ x1 + x2 * g + c + flag",  # interactions, a level in one row, missing rows
    "y ~ g + c - 1",  # full coding without intercept
    "y ~ x1 + x2",  # planned from the schema alone
])
def test_lm_matches_in_memory(source, formula):
    data, in_memory = source
    model, reference = tf.lm(formula, data), tf.lm(formula, in_memory)
    assert (model.column_names, model.aliased) == (reference.column_names, reference.aliased)
    assert relative_difference(model, reference) < 1e-10
    assert (model.nobs, model.n_missing) == (reference.nobs, reference.n_missing)
    assert model.residuals is None and model.stream_fit["batches"] > 1
    assert str(model.summary()) == without_residuals(str(reference.summary()))
    np.testing.assert_allclose(model.vcov(), reference.vcov(), rtol=1e-8)


@pytest.mark.parametrize("formula, penalties, family", [
    ("yb ~ x1 + x2 + c + flag", None, None),
    ("yb ~ x1 * flag + g", None, None),
    ("yb ~ x1 + x2 + g + c", {"x1": 2.0, ("g", "b"): 1.0}, None),
    ("y ~ x1 + x2 * g + c + flag", None, "gaussian"),  # the NumPy pass, Pearson's χ²
    ("y ~ g + c - 1", None, "gaussian"),
])
def test_glm_matches_in_memory(source, formula, penalties, family):
    data, in_memory = source
    model = tf.glm(formula, data, family=family, penalties=penalties)
    reference = tf.glm(formula, in_memory, family=family, penalties=penalties)
    assert model.column_names == reference.column_names
    assert relative_difference(model, reference) < 1e-8
    assert str(model.summary()) == str(reference.summary())
    assert model.deviance == pytest.approx(reference.deviance, rel=1e-10)
    assert model.iterations == reference.iterations


@pytest.mark.parametrize("fit", WEIGHTED_FITS, ids=[f[0] for f in WEIGHTED_FITS])
def test_weighted_and_offset_fits_match_in_memory(folder, fit):
    model = weighted_fit(*fit, ds.dataset(folder))
    assert_weighted_fits_agree(model, weighted_fit(*fit, pq.read_table(folder)))


@pytest.mark.parametrize("fit", WEIGHTED_FITS[1:3] + [
    ("yb ~ x1 + x2 + c + flag", "binomial", None, None, None)])
def test_sandwich_covariances_match_in_memory(source, fit):
    data, in_memory = source
    assert_sandwiches_agree(weighted_fit(*fit, data), weighted_fit(*fit, in_memory))


@pytest.mark.parametrize("arguments, message", [
    ({"type": "HC2"}, "HC2 needs the leverage of every row, which is computed for in-memory"),
    ({"cluster": np.arange(10)}, "on a stream source give the name of a column"),
    ({"cluster": "nothing"}, "column 'nothing' not found"),
    ({"cluster": "g"}, "missing value"),
])
def test_sandwich_errors(folder, arguments, message):
    model = tf.glm("yb ~ x1", folder)
    with pytest.raises(ValueError, match=message):
        model.vcov(**arguments)


def test_levels_follow_the_in_memory_rules(frame, folder):
    # pandas' categories in declared order, the string column's sorted, "d" from one row.
    model = tf.lm("y ~ g + c", folder)
    assert model.column_names == tf.lm("y ~ g + c", frame).column_names == [
        "(Intercept)", "g_b", "g_c", "g_d", "c_mid", "c_hi"]


@pytest.mark.parametrize("spill_share", [stream.SPILL_SHARE, 0.0], ids=["spilled", "reread"])
def test_spilled_and_reread_blocks_agree(folder, frame, monkeypatch, spill_share):
    monkeypatch.setattr(stream, "SPILL_SHARE", spill_share)
    model = tf.glm("yb ~ x1 + x2 + g", folder)
    assert model.stream_fit["spilled"] == (spill_share > 0)
    assert relative_difference(model, tf.glm("yb ~ x1 + x2 + g", frame)) < 1e-8


def test_predict(source):
    data, in_memory = source
    model = tf.glm("yb ~ x1 + x2 + g + c", in_memory)
    for kind in ("response", "link"):
        ours = model.predict(data, type=kind)
        # A LazyFrame gives a Polars Series; the other sources a NumPy array.
        assert isinstance(ours, pl.Series if isinstance(data, pl.LazyFrame) else np.ndarray)
        np.testing.assert_allclose(np.asarray(ours), model.predict(in_memory, type=kind),
                                   rtol=1e-12)
    linear = tf.lm("y ~ x1 + x2", in_memory)
    np.testing.assert_allclose(np.asarray(linear.predict(data)), linear.predict(in_memory),
                               rtol=1e-12)
    with pytest.raises(ValueError, match="intervals are offered for in-memory data only"):
        linear.predict(data, interval="prediction")


@pytest.mark.parametrize("fit", [
    lambda data: tf.lm("y ~ x1 + g", data),
    lambda data: tf.glm("yb ~ x1 + c", data, penalties={"c_hi": 1.0}),
], ids=["lm", "penalized glm"])
def test_save_and_load(folder, frame, tmp_path, fit):
    model = fit(folder)
    model.save(tmp_path / "model.json")
    loaded = tf.load(tmp_path / "model.json")
    np.testing.assert_allclose(loaded.predict(frame), fit(frame).predict(frame), rtol=1e-10)
    assert loaded.coefficients == model.coefficients


@pytest.mark.parametrize("fit, message", BLOCKED_FRAME_ERRORS)
@pytest.mark.parametrize("kind", ["folder", "lazyframe", "duckdb"])
def test_errors_as_in_memory(folder, kind, fit, message):
    make, read = SOURCES[kind]
    data = read(folder)
    with pytest.raises(ValueError, match=message) as in_memory:
        fit(data.read_all() if hasattr(data, "read_all") else data)
    with pytest.raises(ValueError) as streamed:
        fit(make(folder))
    assert str(streamed.value) == str(in_memory.value)


@pytest.mark.parametrize("rows", [
    lambda frame: frame.assign(x1=np.nan),
    lambda frame: frame.iloc[:0],
], ids=["every row misses a value", "no rows"])
@pytest.mark.parametrize("fit", [
    lambda data: tf.lm("y ~ x1 + g", data), lambda data: tf.glm("yb ~ x1", data),
], ids=["lm", "glm"])
def test_nothing_to_fit_as_in_memory(frame, tmp_path, rows, fit):
    table = pa.Table.from_pandas(rows(frame), preserve_index=False)
    pq.write_table(table, tmp_path / "data.parquet")
    with pytest.raises(ValueError, match="nothing to fit") as in_memory:
        fit(table)
    with pytest.raises(ValueError) as streamed:
        fit(tmp_path / "data.parquet")
    assert str(streamed.value) == str(in_memory.value)


def test_dictionary_levels_in_declared_order(monkeypatch):
    # Declared order z, a, m over batches with different dictionaries; "q" is in no row.
    values = pa.array(["m", "z", "a", "m", "z", "q", "a", "z"]).dictionary_encode()
    dictionary = pa.array(["z", "a", "m", "q"])
    codes = pa.array([2, 0, 1, 2, 0, None, 1, 0], type=pa.int8())
    column = pa.DictionaryArray.from_arrays(codes, dictionary)
    assert values.type.value_type == pa.string()
    table = pa.table({"g": column, "x": np.arange(8.0), "y": [1.0, 3, 2, 5, 4, 6, 8, 7]})
    monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", 2)
    model = tf.lm("y ~ g + x", lambda: pa.RecordBatchReader.from_batches(
        table.schema, table.to_batches(max_chunksize=3)))
    reference = tf.lm("y ~ g + x", table)
    assert model.column_names == reference.column_names == ["(Intercept)", "g_a", "g_m", "x"]
    assert relative_difference(model, reference) < 1e-10


def test_one_shot_reader_refused(folder):
    with pytest.raises(TypeError, match=r"factory .*lambda: reader_for"):
        tf.lm("y ~ x1", ds.dataset(folder).scanner().to_reader())


def test_data_changed_during_the_fit(frame):
    table = pa.Table.from_pandas(frame[["x1", "g", "yb"]], preserve_index=False)
    reads = []

    def changing():
        reads.append(1)
        data = table if len(reads) == 1 else table.slice(1)
        return pa.RecordBatchReader.from_batches(data.schema, data.to_batches())

    with pytest.raises(ValueError, match=r"^the data changed during the fit: .*read 2982 rows"):
        tf.lm("yb ~ x1 + g", changing)


def test_other_inputs_import_no_optional_library():
    code = ("import sys, tallyfit as tf\n"
            "tf.lm('y ~ x', {'x': [1.0, 2.0, 3.0], 'y': [1.0, 3.0, 2.0]})\n"
            "sys.exit(bool({'duckdb', 'pyarrow.dataset'} & set(sys.modules)))\n")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_docstring_examples(monkeypatch):
    import doctest

    monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", DEFAULT_BATCH_ROWS)

    result = doctest.testmod(stream, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


def differing_dictionaries() -> list[pd.DataFrame]:
    """Blocks whose declared categories differ (z, a | m, z | a, q): the whole data declares
    them in order of first appearance, z, a, m, q ("q" is in no row)."""
    blocks = [(["z", "a", "a"], ["z", "a"]), (["m", "z", "m"], ["m", "z"]),
              (["a", "a", "z"], ["a", "q"])]
    return [pd.DataFrame({"g": pd.Categorical(values if values[-1] in declared else
                                              values[:-1] + [None], categories=declared),
                          "x": np.arange(3.0) + 3 * i, "y": np.sin(np.arange(3.0) + 3 * i)})
            for i, (values, declared) in enumerate(blocks)]


@pytest.mark.parametrize("engine", ["stream", "dask"])
def test_differing_declared_levels_merge_as_concatenated_in_memory(engine, monkeypatch):
    blocks = differing_dictionaries()
    tables = [pa.Table.from_pandas(block, preserve_index=False) for block in blocks]
    in_memory = pa.concat_tables(tables, promote_options="permissive").unify_dictionaries()
    if engine == "stream":
        monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", 3)
        batches = [batch for table in tables for batch in table.to_batches()]
        data = lambda: pa.RecordBatchReader.from_batches(tables[0].schema, batches)  # noqa: E731
    else:
        dask = pytest.importorskip("dask")
        dd = pytest.importorskip("dask.dataframe")
        meta = blocks[0].iloc[:0].astype({"g": pd.CategoricalDtype(["__UNKNOWN_CATEGORIES__"])})
        data = dd.from_delayed([dask.delayed(block) for block in blocks], meta=meta,
                               verify_meta=False)
        in_memory = data.compute()
    model, reference = tf.lm("y ~ g + x", data), tf.lm("y ~ g + x", in_memory)
    assert model.column_names == reference.column_names == ["(Intercept)", "g_a", "g_m", "x"]
    assert relative_difference(model, reference) < 1e-10
