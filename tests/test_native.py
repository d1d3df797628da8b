"""The package's private kernels against direct NumPy computations."""

import numpy as np
import pytest

import _tallyfit
from tallyfit import _native


def logistic_data(n=600, p=4, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    x[:, 0] = 1.0
    beta = rng.normal(size=p) * 0.5
    y = (rng.random(n) < 1 / (1 + np.exp(-x @ beta))).astype(float)
    return x, y, beta


LAYOUTS = {
    "C": lambda x: np.ascontiguousarray(x),
    "F": lambda x: np.asfortranarray(x),
    "strided": lambda x: np.repeat(x, 2, axis=1)[::1, ::2],
    "reversed rows": lambda x: np.ascontiguousarray(x[::-1])[::-1],
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_gram_matches_numpy(layout):
    x, y, _ = logistic_data()
    xtx, xty = _native.gram(LAYOUTS[layout](x), y)
    np.testing.assert_allclose(xtx, x.T @ x, rtol=1e-12)
    np.testing.assert_allclose(xty, x.T @ y, rtol=1e-12)
    assert np.array_equal(xtx, xtx.T)
    only_xtx, nothing = _native.gram(LAYOUTS[layout](x))
    assert nothing is None
    np.testing.assert_array_equal(only_xtx, xtx)


# Shapes for each way through the pass: narrow widths (with and without columns left over from
# the groups of three columns and the tiles of four), row counts that leave a partial group, a
# partial block and several blocks, and widths above the fused pass's limit.
PASS_SHAPES = [(1, 3), (7, 10), (9, 1), (600, 4), (301, 13), (2500, 10), (600, 105), (70, 130)]


def pass_expectations(x, y, beta, start):
    eta = x @ beta
    mu = np.full(len(y), 0.5) if start else 1 / (1 + np.exp(-eta))
    w = mu * (1 - mu)
    log_likelihood = 0.0 if start else np.sum(y * np.log(mu) + (1 - y) * np.log1p(-mu))
    return log_likelihood, (x * w[:, None]).T @ x, x.T @ (w * eta + y - mu)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("n, p", PASS_SHAPES)
@pytest.mark.parametrize("kind", ["gram", "start", "start at zero"])
def test_irls_pass_matches_numpy(layout, n, p, kind):
    x, y, beta = logistic_data(n, p, seed=n + p)
    if kind == "start at zero":
        beta = np.zeros(p)
    start = kind != "gram"
    strided_y = np.repeat(y, 2)[::2]
    log_likelihood, h, t = _native.irls_pass(LAYOUTS[layout](x), strided_y, beta,
                                             "start" if start else "gram")
    expected_log_likelihood, expected_h, expected_t = pass_expectations(x, y, beta, start)
    np.testing.assert_allclose(h, expected_h, rtol=1e-12, atol=1e-12 * np.abs(expected_h).max())
    assert np.array_equal(h, h.T)
    np.testing.assert_allclose(t, expected_t, rtol=1e-10, atol=1e-12 * np.abs(expected_t).max())
    assert log_likelihood == pytest.approx(expected_log_likelihood, rel=1e-12)
    if not start:
        only, no_h, no_t = _native.irls_pass(x, y, beta, kind="likelihood")
        assert (no_h, no_t) == (None, None)
        assert only == pytest.approx(log_likelihood, rel=1e-13)


@pytest.mark.parametrize("p", [6, 110])
def test_rows_of_zero_weight_add_to_the_right_hand_side(p):
    # Two misclassified rows so far out that their probabilities round to exactly 1 and 0: their
    # weights are 0, yet each adds x (y - mu) to t.
    x, y, beta = logistic_data(300, p, seed=p)
    x[7] = 900 * beta / (beta @ beta)
    x[8] = -x[7]
    y[7], y[8] = 0.0, 1.0
    _, h, t = _native.irls_pass(x, y, beta)
    with np.errstate(divide="ignore", over="ignore"):  # the unclamped log-likelihood is -inf
        _, expected_h, expected_t = pass_expectations(x, y, beta, start=False)
    np.testing.assert_allclose(h, expected_h, rtol=1e-12, atol=1e-12 * np.abs(expected_h).max())
    np.testing.assert_allclose(t, expected_t, rtol=1e-10, atol=1e-12 * np.abs(expected_t).max())
    assert np.isfinite(t).all()


def test_start_pass_uses_half_probabilities():
    x, y, beta = logistic_data()
    log_likelihood, h, t = _native.irls_pass(x, y, beta, "start")
    assert log_likelihood == 0.0
    np.testing.assert_allclose(h, 0.25 * x.T @ x, rtol=1e-12)
    np.testing.assert_allclose(t, x.T @ (0.25 * (x @ beta) + y - 0.5), rtol=1e-10)


@pytest.mark.parametrize("kind", ["start", "gram"])
def test_passes_over_row_blocks_sum_to_the_whole(kind):
    x, y, beta = logistic_data(n=5000)
    whole = _native.irls_pass(x, y, beta, kind)
    blocks = [(0, 1), (1, 3000), (3000, 5000)]
    parts = [_native.irls_pass(x[a:b], y[a:b], beta, kind) for a, b in blocks]
    assert sum(p[0] for p in parts) == pytest.approx(whole[0], rel=1e-12)
    np.testing.assert_allclose(sum(p[1] for p in parts), whole[1], rtol=1e-12)
    np.testing.assert_allclose(sum(p[2] for p in parts), whole[2], rtol=1e-12)


def test_newton_iteration_from_passes_reproduces_the_core_fit():
    x, y, _ = logistic_data()
    _, h, t = _native.irls_pass(x, y, np.zeros(x.shape[1]), "start")
    previous, change, beta = np.inf, np.inf, None
    while change > 1e-8:
        beta = _native.inverse(h) @ t
        log_likelihood, h, t = _native.irls_pass(x, y, beta)
        change, previous = abs(log_likelihood - previous), log_likelihood
    core = _tallyfit.LogisticRegressionCore()
    names = [f"c{j}" for j in range(x.shape[1])]
    core.fit(x, y, names, _tallyfit.Encoder())
    np.testing.assert_allclose(beta, [core.coefficients[n] for n in names], rtol=1e-12)


def test_inverse_and_its_failure():
    a = np.array([[4.0, 1.0], [2.0, 3.0]])
    np.testing.assert_allclose(_native.inverse(a), np.linalg.inv(a), rtol=1e-14)
    assert _native.inverse(np.zeros((0, 0))).shape == (0, 0)
    with pytest.raises(ValueError, match="Matrix inversion failed"):
        _native.inverse(np.ones((2, 2)))


@pytest.mark.parametrize(
    ("penalties", "names", "expected"),
    [
        ([("b", None, 2.0)], ["a", "b"], [0.0, 2.0]),
        ([("f", "x", 1.5), ("f_x", None, 9.0)], ["f_x", "f_y"], [1.5, 0.0]),
        ([], ["a"], [0.0]),
    ],
)
def test_penalty_diagonal_resolves_as_the_core(penalties, names, expected):
    np.testing.assert_array_equal(_native.penalty_diagonal(penalties, names), expected)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda x, y, b: _native.irls_pass(x, y[:-1], b), ValueError, "rows but y has"),
        (lambda x, y, b: _native.irls_pass(x, y, b[:-1]), ValueError, "columns"),
        (lambda x, y, b: _native.irls_pass(x, y, b, "newton"), ValueError, "kind must be"),
        (lambda x, y, b: _native.gram(x, y[:2]), ValueError, "rows but y has"),
        (lambda x, y, b: _native.gram(x.astype(np.float32)), TypeError, "argument 'x'"),
        (lambda x, y, b: _native.inverse(np.ones((2, 3))), ValueError, "inversion failed"),
        (lambda x, y, b: _native.penalty_diagonal([("b", None)], ["b"]), TypeError, "3 items"),
        (
            lambda x, y, b: _native.penalty_diagonal([("b", None, 1.0)] * 2, ["b"]),
            ValueError,
            "Multiple penalties specified for variable: b",
        ),
    ],
)
def test_bad_arguments(call, error, message):
    x, y, beta = logistic_data(n=20)
    with pytest.raises(error, match=message):
        call(x, y, beta)
