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

# Rows per Parquet file: empty files and single rows between larger ones.
PARTITION_ROWS = [0, 1, 37, 0, 120, 1, 58, 0, 83, 1, 99]
N_ROWS = sum(PARTITION_ROWS)


def make_frame(n: int = N_ROWS, seed: int = 7) -> pd.DataFrame:
    """Numeric, boolean, string and category columns with missing values; a linear and a 0/1
    response."""
    rng = np.random.default_rng(seed)
    x1 = rng.normal(size=n)
    x2 = rng.normal(2.0, 1.5, size=n)
    g = rng.choice(np.array(["b", "a", "c"], dtype=object), size=n)
    g[np.cumsum(PARTITION_ROWS)[4]] = "d"  # the single row of the second single-row file
    c = pd.Categorical(rng.choice(["lo", "hi", "mid"], size=n), categories=["lo", "mid", "hi"])
    flag = rng.random(n) < 0.4
    effect = pd.Series(g).map({"a": 0.0, "b": 0.7, "c": -0.4, "d": 0.2}).to_numpy()
    eta = 0.3 + 0.8 * x1 - 0.5 * (x2 - 2.0) + effect + 0.6 * flag
    frame = pd.DataFrame({
        "x1": x1, "x2": x2, "g": pd.array(g, dtype="string"), "c": c, "flag": flag,
        "y": 1.0 + eta + rng.normal(scale=0.8, size=n),
        "yb": (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64),
    })
    frame.loc[[5, 77, 300], "x2"] = np.nan
    frame.loc[[12, 150], "g"] = pd.NA
    return frame


def write_partitions(frame: pd.DataFrame, directory: Path, sizes) -> Path:
    directory.mkdir(parents=True, exist_ok=True)
    first = 0
    for index, size in enumerate(sizes):
        frame.iloc[first:first + size].to_parquet(directory / f"part.{index:03d}.parquet")
        first += size
    return directory


@pytest.fixture(scope="session")
def client():
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
