"""Fits on Dask DataFrames against the same fits in memory, on a real LocalCluster.

The data are written to Parquet with many partitions, some of them empty and some with a
single row; a level of `g` occurs only in a single-row partition, so the levels must come from
all partitions.
"""
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import tallyfit as tf  # noqa: E402
from fitting_support import (  # noqa: E402
    BLOCKED_FRAME_ERRORS, WEIGHTED_FITS, assert_sandwiches_agree, assert_weighted_fits_agree,
    blocked_frame,
    relative_difference, weighted_fit, without_residuals)

# Rows per Parquet file: empty files and single rows between larger ones.
PARTITION_ROWS = [0, 1, 37, 0, 120, 1, 58, 0, 83, 1, 99]
N_ROWS = sum(PARTITION_ROWS)


def make_frame() -> pd.DataFrame:
    return blocked_frame(PARTITION_ROWS, seed=7, missing_x2=[5, 77, 300], missing_g=[12, 150])


def write_partitions(frame: pd.DataFrame, directory: Path, sizes) -> Path:
    directory.mkdir(parents=True, exist_ok=True)
    first = 0
    for index, size in enumerate(sizes):
        frame.iloc[first:first + size].to_parquet(directory / f"part.{index:03d}.parquet")
        first += size
    return directory


@pytest.fixture(scope="module")
def client():
    """One cluster for this module, closed at its end: its threads in this process would
    disturb the reference counts that other test modules watch."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as session_client:
            yield session_client


@pytest.fixture(scope="session")
def frame() -> pd.DataFrame:
    return make_frame()


@pytest.fixture(scope="session")
def parquet_dir(tmp_path_factory, frame) -> Path:
    return write_partitions(frame, tmp_path_factory.mktemp("parquet"), PARTITION_ROWS)


@pytest.fixture()
def ddf(client, parquet_dir):
    data = dd.read_parquet(parquet_dir)
    assert data.map_partitions(len).compute().tolist() == PARTITION_ROWS
    return data


@pytest.fixture(params=["parquet", "three partitions"])
def any_ddf(request, client, parquet_dir, frame):
    """The data as read from the Parquet files (unknown categories, empty and single-row
    partitions) and as split from pandas (known categories)."""
    if request.param == "parquet":
        return dd.read_parquet(parquet_dir)
    return dd.from_pandas(frame, npartitions=3)


@pytest.mark.parametrize("formula", [
    "y ~ x1 + x2 * g + c + flag",  # interactions, an aliased column, missing rows
    "y ~ g + c - 1",  # full coding without intercept
    "y ~ x1",
])
def test_lm_matches_pandas(any_ddf, frame, formula):
    model, reference = tf.lm(formula, any_ddf), tf.lm(formula, frame)
    assert model.column_names == reference.column_names
    assert model.aliased == reference.aliased
    assert relative_difference(model, reference) < 1e-10
    assert (model.nobs, model.n_missing, model.df_resid) == (
        reference.nobs, reference.n_missing, reference.df_resid)
    assert model.residuals is None and model.fitted_values is None
    assert str(model.summary()) == without_residuals(str(reference.summary()))
    assert model.sigma == pytest.approx(reference.sigma, rel=1e-10)
    np.testing.assert_allclose(model.vcov(), reference.vcov(), rtol=1e-8)


@pytest.mark.parametrize("formula, penalties", [
    ("yb ~ x1 + x2 + c + flag", None),
    ("yb ~ x1 * flag + g", None),  # a level in one row only: a large coefficient
    ("yb ~ x1 + x2 + g + c", {"x1": 2.0, ("g", "b"): 1.0, "c_hi": 0.5}),
])
def test_glm_matches_pandas(any_ddf, frame, formula, penalties):
    model = tf.glm(formula, any_ddf, penalties=penalties)
    reference = tf.glm(formula, frame, penalties=penalties)
    assert relative_difference(model, reference) < 1e-8
    assert str(model.summary()) == str(reference.summary())
    assert model.deviance == pytest.approx(reference.deviance, rel=1e-10)
    assert model.null_deviance == pytest.approx(reference.null_deviance, rel=1e-12)
    assert model.penalties == reference.penalties
    if penalties is None:
        assert model.aic == pytest.approx(reference.aic, rel=1e-10)
        np.testing.assert_allclose(model.vcov(), reference.vcov(), rtol=1e-7)
    else:
        with pytest.raises(ValueError, match="penalized"):
            model.std_errors


@pytest.mark.parametrize("fit", WEIGHTED_FITS, ids=[f[0] for f in WEIGHTED_FITS])
def test_weighted_and_offset_fits_match_pandas(any_ddf, frame, fit):
    assert_weighted_fits_agree(weighted_fit(*fit, any_ddf), weighted_fit(*fit, frame))


ROBUST_FITS = WEIGHTED_FITS + [("yb ~ x1 + x2 + c + flag", "binomial", None, None, None)]


@pytest.mark.parametrize("fit", ROBUST_FITS, ids=[f[0] for f in ROBUST_FITS])
def test_sandwich_covariances_match_pandas(ddf, frame, fit):
    model, reference = weighted_fit(*fit, ddf), weighted_fit(*fit, frame)
    assert_sandwiches_agree(model, reference)
    if hasattr(reference, "deviance"):  # (a weighted lm prints weighted residuals)
        assert str(model.summary(vcov={"cluster": "site"})) == str(
            reference.summary(vcov={"cluster": "site"}))


@pytest.mark.parametrize("arguments, message", [
    ({"type": "HC3"}, "HC3 needs the leverage of every row, which is computed for in-memory"),
    ({"type": "HC2"}, "take type='HC0' or 'HC1'"),
    ({"cluster": np.arange(N_ROWS)}, "on dask data give the name of a column"),
    ({"cluster": "nothing"}, "column 'nothing' not found"),
    ({"cluster": "g"}, "missing value"),
])
def test_sandwich_errors(ddf, arguments, message):
    model = tf.lm("y ~ x1", ddf)
    with pytest.raises(ValueError, match=message):
        model.vcov(**arguments)


def test_glm_non_convergence_warns_as_in_memory(ddf, frame):
    with pytest.warns(tf.ConvergenceWarning, match="raise max_iterations"):
        model = tf.glm("yb ~ x1 + x2", ddf, max_iterations=1)
    with pytest.warns(tf.ConvergenceWarning):
        reference = tf.glm("yb ~ x1 + x2", frame, max_iterations=1)
    assert model.iterations == reference.iterations == 1
    assert relative_difference(model, reference) < 1e-8


def test_recomputed_blocks_give_the_same_fit(ddf, frame, monkeypatch):
    import tallyfit.dask as tfd

    persisted = tf.glm("yb ~ x1 + x2 + c", ddf)
    monkeypatch.setattr(tfd, "PERSIST_SHARE", 0.0)
    recomputed = tf.glm("yb ~ x1 + x2 + c", ddf)
    assert persisted.dask_fit["persisted"] and not recomputed.dask_fit["persisted"]
    assert list(recomputed.coefficients) == list(persisted.coefficients)
    # To rounding, not bit for bit: in the AddressSanitizer build two fits of the same data on
    # a fresh cluster (persisted or not) may differ in their last bits.
    np.testing.assert_allclose(list(recomputed.coefficients.values()),
                               list(persisted.coefficients.values()), rtol=1e-12, atol=0.0)


@pytest.mark.parametrize("fit, message", BLOCKED_FRAME_ERRORS)
def test_errors_as_in_memory(ddf, frame, fit, message):
    with pytest.raises(ValueError, match=message) as in_memory:
        fit(frame)
    with pytest.raises(ValueError) as on_dask:
        fit(ddf)
    # A value quoted after "; it has" is the first bad one of the partition that failed first.
    assert str(on_dask.value).split("; it has")[0] == str(in_memory.value).split("; it has")[0]


def test_predict(ddf, frame):
    model = tf.glm("yb ~ x1 + x2 + g + c", ddf)
    reference = tf.glm("yb ~ x1 + x2 + g + c", frame)
    expected = reference.predict(frame)
    np.testing.assert_allclose(model.predict(frame), expected, rtol=1e-8)
    lazy = model.predict(ddf)
    assert isinstance(lazy, dd.Series) and lazy.npartitions == ddf.npartitions
    computed = lazy.compute()
    assert computed.index.equals(frame.index)
    np.testing.assert_allclose(computed.to_numpy(), expected, rtol=1e-8)  # NaN where missing
    link = model.predict(ddf, type="link").compute().to_numpy()
    np.testing.assert_allclose(link, reference.predict(frame, type="link"), rtol=1e-8)


def test_predict_errors(ddf, frame):
    model = tf.lm("y ~ x1 + g", ddf)
    with pytest.raises(ValueError, match="column 'g' not found"):
        model.predict(ddf[["x1"]])
    unseen = frame.assign(g=frame["g"].replace("a", "z"))
    with pytest.raises(ValueError, match="level 'z'") as in_memory:
        model.predict(unseen)
    with pytest.raises(ValueError) as on_dask:
        model.predict(dd.from_pandas(unseen, npartitions=4)).compute()
    assert str(on_dask.value) == str(in_memory.value)
    with pytest.raises(ValueError, match="in-memory data only"):
        model.predict(ddf, interval="confidence")


def test_saved_model_loads_in_the_core(ddf, frame, tmp_path):
    import _tallyfit

    model = tf.glm("yb ~ x1 + g + c", ddf, penalties={"x1": 1.0})
    path = tmp_path / "model.json"
    model.save(path)
    core = _tallyfit.PenalizedLogisticRegressionCore()
    core.load_from_file(str(path))
    assert core.coefficients == pytest.approx(
        {name: value for name, value in model.coefficients.items()})
    np.testing.assert_array_equal(tf.load(path).predict(frame), model.predict(frame))


def test_worker_failure_raises_on_the_client(ddf):
    def fail_in_third(partition, partition_info=None):
        if partition_info is not None and partition_info["number"] == 2:
            raise OSError("the disk under partition 2 went away")
        return partition

    broken = ddf.map_partitions(fail_in_third, meta=ddf._meta)
    for fit in (tf.lm, tf.glm):
        with pytest.raises(OSError, match="partition 2 went away"):
            fit("yb ~ x1 + g", broken)


def test_other_inputs_do_not_import_dask():
    import subprocess
    import sys

    code = ("import sys, tallyfit as tf\n"
            "tf.lm('y ~ x', {'x': [1.0, 2.0, 3.0], 'y': [1.0, 3.0, 2.0]})\n"
            "sys.exit('dask' in sys.modules)\n")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_docstring_examples(client):
    import doctest

    import tallyfit.dask

    result = doctest.testmod(tallyfit.dask, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


@pytest.mark.parametrize("rows", [
    lambda frame: frame.assign(x1=np.where(frame.index % 2 == 0, np.nan, frame["x1"]),
                               yb=np.where(frame.index % 2 == 1, np.nan, frame["yb"]),
                               y=np.where(frame.index % 2 == 1, np.nan, frame["y"])),
    lambda frame: frame.iloc[:0],
], ids=["every row misses a value", "no rows"])
@pytest.mark.parametrize("fit", [
    lambda data: tf.lm("y ~ x1 + g", data),
    lambda data: tf.glm("yb ~ x1 + g", data),
], ids=["lm", "glm"])
def test_nothing_to_fit_as_in_memory(client, frame, rows, fit):
    data = rows(frame)
    with pytest.raises(ValueError, match="nothing to fit") as in_memory:
        fit(data)
    with pytest.raises(ValueError) as on_dask:
        fit(dd.from_pandas(data, npartitions=3))
    assert str(on_dask.value) == str(in_memory.value)


@pytest.mark.parametrize("column, values", [
    ("g", lambda frame: frame["g"].astype(object).where(frame["g"].notna(), None)),
    ("flag", lambda frame: frame["flag"].astype(object)),
])
@pytest.mark.parametrize("all_none", [0, 2], ids=["first", "middle"])
def test_partition_of_only_none_does_not_decide_the_kind(client, frame, column, values,
                                                          all_none):
    import dask

    divisions = [0, 40, 150, 300, N_ROWS - 1]
    data = frame.assign(**{column: values(frame)})
    data.loc[divisions[all_none]:divisions[all_none + 1] - 1, column] = None
    reference = tf.glm(f"yb ~ x1 + {column}", data)
    with dask.config.set({"dataframe.convert-string": False}):  # keep the object column
        parts = dd.from_pandas(data, npartitions=1).repartition(divisions=divisions)
    assert parts.partitions[all_none].compute()[column].isna().all()
    model = tf.glm(f"yb ~ x1 + {column}", parts)
    assert model.column_names == reference.column_names
    assert relative_difference(model, reference) < 1e-8


def changing_source(frame, marks, change):
    """A Dask frame whose partitions read `frame` the first time and `change(frame)` every
    later time: a source that is not deterministic."""
    def read(index):
        part = frame.iloc[index * 100:(index + 1) * 100]
        mark = marks / f"read.{index}"
        if mark.exists():
            return change(part)
        mark.touch()
        return part

    return dd.from_map(read, range(3), meta=frame.iloc[:0], enforce_metadata=False)


@pytest.mark.parametrize("change, message", [
    (lambda part: part.assign(g=part["g"].replace("a", "z")), "variable 'g' has the value(s) 'z'"),
    (lambda part: part.assign(g=part["x1"]), "column 'g' was categorical"),
    (lambda part: part.iloc[1:], "read 300 rows, the fit pass 297"),
], ids=["new level", "new kind", "fewer rows"])
@pytest.mark.parametrize("fit", [tf.lm, tf.glm], ids=["lm", "glm"])
def test_data_changed_during_the_fit(client, frame, tmp_path, change, message, fit):
    data = changing_source(frame.iloc[:300], tmp_path, change)
    with pytest.raises(ValueError, match=r"^the data changed during the fit: ") as raised:
        fit("yb ~ x1 + g", data)
    assert message in str(raised.value) and "refit" not in str(raised.value)


@pytest.mark.parametrize("npartitions", [1, 3])
def test_unused_declared_levels_are_dropped_as_in_memory(client, npartitions):
    # "c" is declared but in no row, "b" only in a row dropped for its missing x: R drops both.
    frame = pd.DataFrame({
        "g": pd.Categorical(["a", "d", "a", "d", "b", "a", "d", "a"],
                            categories=["a", "b", "c", "d"]),
        "x": [1.0, 2.0, 3.0, 4.0, np.nan, 6.0, 7.0, 9.0],
        "y": [1.0, 3.0, 2.0, 5.0, 4.0, 6.0, 8.0, 7.0],
    })
    reference = tf.lm("y ~ x + g", frame)
    model = tf.lm("y ~ x + g", dd.from_pandas(frame, npartitions=npartitions))
    assert model.column_names == reference.column_names == ["(Intercept)", "x", "g_d"]
    assert relative_difference(model, reference) < 1e-10
