"""Calls that learn from the whole column (scale, poly, ns, bs, the levels of factor, C and
relevel) and '.' on data read in blocks: a Dask fit (a LocalCluster, uneven Parquet
partitions, one of a single row) and a streamed fit (a Parquet file of uneven row groups read
in batches, the last of a single row) learn the states and levels of the in-memory fit, from
every row where the call's argument is present (rows missing another column included), and
give its coefficients, standard errors and, after save and load, its predictions."""
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tallyfit as tf
from tallyfit import transforms
from tallyfit.engines import stream
from tallyfit.moments import Moments

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

# Row groups / partitions of uneven sizes; streamed in batches of STREAM_ROWS, the last of
# them holds the single row of the last row group.
SIZES = [97, 45, 15, 120, 1]
STREAM_ROWS = 60
N = sum(SIZES)


def make_frame() -> pd.DataFrame:
    rng = np.random.default_rng(20)
    x = rng.uniform(1.0, 5.0, N)
    z = rng.normal(size=N)
    # Missing z drops the row from the fit but not from what scale(x), poly(x, ...) learn; the
    # extreme x of row 3 moves the boundary knots of ns and bs, and k = 5 occurs only there.
    x[3], z[[3, 40, 200]] = 9.0, np.nan
    k = rng.integers(1, 5, N).astype(float)
    k[3] = 5.0
    y = 1.0 + np.sin(x) + 0.3 * z + 0.2 * k + rng.normal(scale=0.4, size=N)
    return pd.DataFrame({"x": x, "z": z, "k": k, "g": rng.choice(["a", "b", "c"], N),
                         "y": y, "yb": (rng.random(N) < 1 / (1 + np.exp(2.5 - x))) * 1.0})


FRAME = make_frame()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as session_client:
            yield session_client


@pytest.fixture(scope="module")
def parquet_file(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("states") / "data.parquet"
    table = pa.Table.from_pandas(FRAME, preserve_index=False)
    with pq.ParquetWriter(path, table.schema) as writer:
        first = 0
        for size in SIZES:
            writer.write_table(table.slice(first, size))
            first += size
    assert [pq.ParquetFile(path).metadata.row_group(i).num_rows
            for i in range(len(SIZES))] == SIZES
    return path


@pytest.fixture(scope="module")
def parquet_dir(tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("partitions")
    first = 0
    for index, size in enumerate(SIZES):
        FRAME.iloc[first:first + size].to_parquet(directory / f"part.{index}.parquet")
        first += size
    return directory


@pytest.fixture(params=["dask", "stream"])
def blocks(request, monkeypatch, parquet_file, parquet_dir):
    """The data as each engine reads it in blocks."""
    if request.param == "stream":
        monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", STREAM_ROWS)
        sizes = [len(batch) for batch in stream.source_of(parquet_file).batches(
            ["x"], stream.batch_rows_for(1))]
        assert len(sizes) > 3 and sizes[-1] == 1
        return parquet_file
    cluster = request.getfixturevalue("client")
    assert cluster is not None
    data = dd.read_parquet(parquet_dir)
    assert data.map_partitions(len).compute().tolist() == SIZES
    return data


FITS = [
    (tf.lm, "y ~ scale(x) + z"),
    (tf.lm, "y ~ scale(x, center = FALSE) + scale(z, scale = FALSE) + g"),
    (tf.lm, "y ~ poly(x, 3) + z"),
    (tf.lm, "y ~ poly(x, 2, raw = TRUE) * g + z"),
    (tf.lm, "y ~ ns(x, df = 4) + z"),
    (tf.lm, "y ~ bs(x, df = 5, degree = 2) + z"),
    (tf.lm, "y ~ factor(k) * z"),
    (tf.lm, "y ~ C(g, contr.helmert) + relevel(factor(k), ref = 3) + z"),
    (tf.lm, "y ~ poly(log(x), 2) + scale(I(x^2)) + z"),
    (tf.lm, "y ~ poly(scale(x), 2) + log(scale(x) + 3) + z"),  # a state needs another
    (tf.lm, "y ~ ."),
    (tf.lm, "y ~ . - yb + ns(x, df = 3)"),
    (tf.glm, "yb ~ ns(x, df = 3) + factor(k) + z"),
    (tf.glm, "yb ~ poly(x, 2) + C(g, contr.sum) + z"),
]


@pytest.mark.parametrize("fit, formula", FITS)
def test_block_fit_is_the_in_memory_fit(blocks, fit, formula, tmp_path):
    kwargs = {"family": "binomial"} if fit is tf.glm else {}
    in_memory, model = fit(formula, FRAME, **kwargs), fit(formula, blocks, **kwargs)
    assert model._plan.states.keys() == in_memory._plan.states.keys()
    assert model._plan.levels == in_memory._plan.levels
    assert model.column_names == in_memory.column_names
    assert model.nobs == in_memory.nobs == N - 3
    for ours, theirs in ((model.coefficients, in_memory.coefficients),
                         (model.std_errors, in_memory.std_errors)):
        np.testing.assert_allclose(list(ours.values()), list(theirs.values()),
                                   rtol=1e-10, atol=1e-12)
    model.save(tmp_path / "model.json")
    loaded = tf.load(tmp_path / "model.json")
    new = FRAME.assign(x=FRAME["x"] * 1.1)  # beyond the boundary knots in places
    np.testing.assert_allclose(loaded.predict(new), in_memory.predict(new),
                               rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("formula, message", [
    ("y ~ relevel(factor(k), ref = 7)", "'ref' '7' is not one of the levels"),
    ("y ~ poly(k, 5)", "must be less than the number of unique points"),
    ("y ~ scale(nope) + z", "'nope'"),
])
def test_errors_are_the_in_memory_ones(blocks, formula, message):
    with pytest.raises(ValueError, match=message):
        tf.lm(formula, FRAME)
    with pytest.raises(ValueError, match=message):
        tf.lm(formula, blocks)


def test_stream_with_numeric_columns_only_reads_the_states_once(parquet_file, monkeypatch):
    """A formula of numeric columns has one planning pass (the states); elementwise calls
    alone none."""
    monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", STREAM_ROWS)
    stages = []
    monkeypatch.setattr(stream.FitProgress, "stage",
                        lambda self, name, **kw: stages.append(name))
    tf.lm("y ~ log(x) + z", parquet_file)
    assert stages.count("levels pass") == 0
    tf.lm("y ~ ns(x, df = 3) + poly(z, 2)", parquet_file)
    assert stages.count("levels pass") == 1


@pytest.mark.parametrize("split", [[1], [1, 4, 250], [137], list(range(1, 400, 23))])
@pytest.mark.parametrize("centre", [0.0, 1e4])
def test_merged_moments_give_the_states_of_the_values(split, centre):
    """Moments merged over any split (a block of one value included) give scale's and poly's
    states of the whole column, also far from zero, where raw power sums would cancel."""
    x = centre + np.random.default_rng(4).uniform(-2.0, 3.0, 400)
    for degree in (1, 2, 4, 6):
        merged = Moments(0, 0.0, np.zeros(2 * degree + 1))
        for part in np.split(x, split):
            merged = merged + Moments.of(part, 2 * degree)
        assert merged.count == len(x)
        call = transforms.FUNCTIONS["poly"]
        assert call.learn is not None
        ours = call.learn({"moments": merged, "degree": degree})
        theirs = call.learn({"x": x, "degree": degree})
        np.testing.assert_allclose(ours["alpha"], theirs["alpha"], rtol=1e-12)
        np.testing.assert_allclose(ours["norm2"], theirs["norm2"], rtol=1e-9)
        scale = transforms.FUNCTIONS["scale"].learn
        assert scale is not None
        for center in (True, False):
            got = scale({"moments": merged, "center": center})
            want = scale({"x": x, "center": center})
            np.testing.assert_allclose([got["center"], got["scale"]],
                                       [want["center"], want["scale"]], rtol=1e-12)
