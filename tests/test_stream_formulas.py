"""R's formula language on data read in blocks: elementwise calls (log, sqrt, I(...)) are
evaluated block by block and give the in-memory fit."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tallyfit as tf

RNG = np.random.default_rng(11)
N = 400
X = RNG.uniform(1.0, 5.0, N)
X[7] = -1.0  # log(x) and sqrt(x) are NaN there: the row is dropped, as in memory
FRAME = pd.DataFrame({
    "x": X,
    "y": np.exp(0.3 + 0.8 * np.log(np.abs(X)) + RNG.normal(scale=0.3, size=N)),
    "g": RNG.choice(["a", "b", "c"], N),
    "b": (RNG.random(N) < 0.4).astype(float),
})


@pytest.fixture(scope="module")
def parquet(tmp_path_factory):
    path = tmp_path_factory.mktemp("formulas") / "data.parquet"
    pq.write_table(pa.Table.from_pandas(FRAME), path, row_group_size=37)
    return path


@pytest.mark.parametrize("fit, formula", [
    (tf.lm, "log(y) ~ log(x) + g + I(x^2)"),
    (tf.lm, "log(y) ~ sqrt(x) * g"),
    (tf.lm, "y ~ I((x - 1)^2) + log(x, 2):g"),
    (tf.glm, "b ~ log(x) + exp(x / 5) + g"),
])
def test_elementwise_calls_stream_as_in_memory(parquet, fit, formula):
    streamed, in_memory = fit(formula, parquet), fit(formula, FRAME)
    assert list(streamed.coefficients) == list(in_memory.coefficients)
    np.testing.assert_allclose(list(streamed.coefficients.values()),
                               list(in_memory.coefficients.values()), rtol=1e-10, atol=1e-12)
    assert streamed.nobs == in_memory.nobs == N - 1
    np.testing.assert_allclose(streamed.predict(parquet), in_memory.predict(FRAME),
                               rtol=1e-10, equal_nan=True)
