"""The passes over shares of rows on our own threads: every split of the rows (one row, fewer
rows than threads, uneven last shares, narrow and wide X) gives NumPy's sums, and the same sums
to the last bit whatever the number of threads (TALLYFIT_THREADS)."""

import numpy as np
import pytest

import _tallyfit
from tallyfit import _native

THREADS = ["1", "2", "3", "8"]

# (rows, columns): one row; fewer rows than threads; several narrow shares with an uneven last
# one (a share of a 3-column X holds about 175,000 rows); wide X, above the fused accumulator's
# width, over several shares of blocks summed by the BLAS with an uneven last share.
SHAPES = [(1, 3), (2, 3), (5, 1), (400_003, 3), (20_001, 110)]


def data(n, p, seed=0):
    rng = np.random.default_rng(seed + n + p)
    x = np.asfortranarray(rng.uniform(-1.0, 1.0, size=(n, p)))
    x[:, 0] = 1.0
    y = rng.normal(size=n)
    weights = rng.uniform(0.0, 2.0, n)
    weights[:: max(1, n // 7)] = 0.0
    return x, y, weights


def pass_for_every_thread_count(monkeypatch, call):
    results = {}
    for threads in THREADS:
        monkeypatch.setenv("TALLYFIT_THREADS", threads)
        results[threads] = call()
    return results


def assert_same_bits(results):
    first, *others = results.values() if isinstance(results, dict) else results
    for other in others:
        for a, b in zip(first, other):
            if a is None or b is None:
                assert a is b
            elif isinstance(a, np.ndarray):
                assert np.array_equal(a, b)
            else:
                assert a == b


@pytest.mark.parametrize("n, p", SHAPES)
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weights with zeros"])
def test_gram_over_every_split(monkeypatch, n, p, weighted):
    x, y, weights = data(n, p)
    w = weights if weighted else np.ones(n)
    if weighted:
        y[weights == 0.0] = np.inf  # a row of weight 0 adds nothing, whatever its values
    results = pass_for_every_thread_count(
        monkeypatch, lambda: _native.gram(x, y, weights if weighted else None))
    assert_same_bits(results)
    h, t = results["1"]
    finite_y = np.where(w == 0.0, 0.0, y)
    np.testing.assert_allclose(h, (x * w[:, None]).T @ x, rtol=1e-11, atol=1e-11 * n)
    np.testing.assert_allclose(t, x.T @ (w * finite_y), rtol=1e-11, atol=1e-11 * n)
    assert np.array_equal(h, h.T)


@pytest.mark.parametrize("n, p", SHAPES)
def test_glm_pass_over_every_split(monkeypatch, n, p):
    x, _, weights = data(n, p)
    rng = np.random.default_rng(n)
    beta = np.concatenate([[0.3], rng.uniform(-0.2, 0.2, p - 1)])
    offset = rng.uniform(-0.1, 0.1, n)
    mu = np.exp(x @ beta + offset)
    y = rng.poisson(mu).astype(float)
    results = pass_for_every_thread_count(
        monkeypatch,
        lambda: _native.glm_pass(x, y, beta, "poisson", "log", weights, offset))
    assert_same_bits(results)
    deviance, information, right, valid = results["1"]
    w = weights * mu
    z = x @ beta + (y - mu) / mu
    with np.errstate(divide="ignore", invalid="ignore"):
        unit = 2 * weights * (np.where(y > 0, y * np.log(y / mu), 0.0) - (y - mu))
    assert valid
    assert deviance == pytest.approx(unit.sum(), rel=1e-11)
    np.testing.assert_allclose(information, (x * w[:, None]).T @ x, rtol=1e-11, atol=1e-11 * n)
    np.testing.assert_allclose(right, x.T @ (w * z), rtol=1e-10, atol=1e-10 * n)


@pytest.mark.parametrize("n, p", SHAPES)
@pytest.mark.parametrize("kind", ["gram", "start", "likelihood"])
def test_logistic_pass_over_every_split(monkeypatch, n, p, kind):
    x, _, _ = data(n, p)
    rng = np.random.default_rng(p)
    beta = rng.uniform(-0.5, 0.5, p)
    y = (rng.random(n) < 1 / (1 + np.exp(-x @ beta))).astype(float)
    results = pass_for_every_thread_count(
        monkeypatch, lambda: _native.irls_pass(x, y, beta, kind=kind))
    assert_same_bits(results)


@pytest.mark.parametrize("n, p", [shape for shape in SHAPES if shape[0] >= shape[1]])
def test_least_squares_fit_over_every_split(monkeypatch, n, p):
    x, y, _ = data(n, p)
    names = [f"x{j}" for j in range(p)]

    def fit():
        model = _tallyfit.LinearRegressionCore()
        model.fit(x, y, names, _tallyfit.Encoder())
        return tuple(model.coefficients[name] for name in names)

    results = pass_for_every_thread_count(monkeypatch, fit)
    assert_same_bits(results)
    np.testing.assert_allclose(results["1"], np.linalg.lstsq(x, y, rcond=None)[0],
                               rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("value", ["0", "-2", "lots", "", "100000"])
def test_a_thread_count_out_of_range_takes_the_default(monkeypatch, value):
    x, y, _ = data(400_003, 3)
    expected = _native.gram(x, y)
    monkeypatch.setenv("TALLYFIT_THREADS", value)
    assert_same_bits([expected, _native.gram(x, y)])


@pytest.mark.parametrize("bad", [-1.0, np.nan, -np.inf])
def test_gram_refuses_negative_or_missing_weights(bad):
    x, y, weights = data(50, 3)
    weights[17] = bad
    with pytest.raises(ValueError, match=r"weights\[17\]"):
        _native.gram(x, y, weights)
    with pytest.raises(ValueError, match="weights"):
        _native.gram(x, y, weights[:-1])


@pytest.mark.parametrize("n, p", SHAPES + [(0, 3), (7, 0)])
@pytest.mark.parametrize("layout", ["F", "C"])
def test_products_over_every_split(monkeypatch, n, p, layout):
    x, y, _ = data(n, p) if n and p else (np.zeros((n, p)), np.ones(n), None)
    x = np.asfortranarray(x) if layout == "F" else np.ascontiguousarray(x)
    beta = np.linspace(-1.0, 1.0, p)
    results = pass_for_every_thread_count(
        monkeypatch, lambda: (_native.matvec(x, beta), _native.rmatvec(x, y)))
    assert_same_bits(results)
    eta, moments = results["1"]
    np.testing.assert_allclose(eta, x @ beta, rtol=1e-12, atol=1e-12 * max(p, 1))
    np.testing.assert_allclose(moments, x.T @ y, rtol=1e-11, atol=1e-11 * max(n, 1))


def test_products_refuse_mismatched_lengths():
    x, y, _ = data(10, 3)
    with pytest.raises(ValueError, match="columns"):
        _native.matvec(x, np.ones(4))
    with pytest.raises(ValueError, match="rows"):
        _native.rmatvec(x, y[:-1])


@pytest.mark.parametrize("threads", ["2", "3"])
def test_a_pass_leaves_the_blas_thread_count_as_it_found_it(monkeypatch, threads):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    x, y, weights = data(20_001, 110)

    def counts():
        return [(pool["filepath"], pool["num_threads"])
                for pool in threadpoolctl.threadpool_info() if pool["user_api"] == "blas"]

    before = counts()
    monkeypatch.setenv("TALLYFIT_THREADS", threads)
    _native.gram(x, y)
    _native.gram(x, y, weights)
    _native.glm_pass(x, y, np.zeros(110), "gaussian", "identity")
    assert counts() == before


def test_a_fits_blas_calls_run_on_one_thread_and_the_counts_come_back():
    # SciPy's BLAS (the native module's) and NumPy's own alike: either one's idle threads
    # would spin on the cores of the next pass.
    import threadpoolctl

    from tallyfit import solvers

    def counts():
        return {pool["filepath"]: pool["num_threads"] for pool in threadpoolctl.threadpool_info()
                if pool["user_api"] == "blas"}

    before = counts()
    assert any("scipy_openblas-" in path for path in before)
    with pytest.raises(RuntimeError, match="inside"):
        with solvers.blas_on_this_thread():
            assert set(counts().values()) == {1}
            raise RuntimeError("inside")
    assert counts() == before
