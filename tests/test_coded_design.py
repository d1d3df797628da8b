"""Categorical main effects held as codes: the native pass over a dense part and codes gives the
dense design's normal equations on every split of the rows and thread count, the coded design's
products and compaction are the dense one's, and a fit with codes is the dense fit (1e-10)."""

import math

import numpy as np
import pytest

import tallyfit as tf
from tallyfit import _native, coded, solvers
from tallyfit.engines import memory

from test_row_shares import assert_same_bits, pass_for_every_thread_count

FAMILIES = [("gaussian", "identity"), ("poisson", "log"), ("binomial", "logit"),
            ("Gamma", "inverse"), ("inverse.gaussian", "1/mu^2"), ("binomial", "cloglog")]

# (rows, dense columns, levels of each factor): one row; fewer rows than threads; no dense
# column; two factors over several shares with an uneven last one; a factor of one level.
LAYOUTS = [(1, 2, [3]), (2, 1, [4, 2]), (5, 0, [3, 3]), (60_001, 3, [7, 4]), (3000, 2, [1]),
           # Dense columns by fours through registers and the rest one by one, rows likewise.
           (6, 4, [2]), (37, 5, [3, 6]), (1030, 11, [5])]


def coded_data(n, p, levels, seed=0):
    rng = np.random.default_rng(seed + n + p + len(levels))
    x = np.asfortranarray(rng.uniform(-1.0, 1.0, size=(n, p)))
    codes = np.asfortranarray(
        np.column_stack([rng.integers(-1, k, n) for k in levels]).astype(np.float64)
        if levels else np.zeros((n, 0)))
    return x, codes, np.array(levels, dtype=np.float64)


def indicators(x, codes, levels):
    blocks = [x] + [(codes[:, f:f + 1] == np.arange(int(k))).astype(np.float64)
                    for f, k in enumerate(levels)]
    return np.asfortranarray(np.hstack(blocks))


def response(family, link, eta, rng):
    if family == "binomial":
        return (rng.random(eta.shape[0]) < 0.5).astype(np.float64)
    if family == "poisson":
        return rng.poisson(1.0, eta.shape[0]).astype(np.float64)
    return rng.uniform(0.5, 2.0, eta.shape[0])


def beta_for(family, link, columns, rng):
    beta = rng.normal(scale=0.05, size=columns)
    if link in ("inverse", "1/mu^2"):
        beta = np.abs(beta) + 0.5 / max(columns, 1)  # η > 0 on every row
    return beta


@pytest.mark.parametrize("n, p, levels", LAYOUTS)
@pytest.mark.parametrize("family, link", FAMILIES)
@pytest.mark.parametrize("with_rows", [False, True], ids=["plain", "weights and offset"])
def test_pass_equals_the_dense_pass_on_every_split(monkeypatch, n, p, levels, family, link,
                                                   with_rows):
    x, codes, counts = coded_data(n, p, levels)
    dense = indicators(x, codes, counts)
    rng = np.random.default_rng(n)
    beta = beta_for(family, link, dense.shape[1], rng)
    if link in ("inverse", "1/mu^2"):
        dense, x = np.abs(dense), np.asfortranarray(np.abs(x))
    y = response(family, link, dense @ beta, rng)
    weights = offset = None
    if with_rows:
        weights = rng.uniform(0.0, 2.0, n)
        weights[:: max(1, n // 5)] = 0.0
        offset = np.zeros(n) if link in ("inverse", "1/mu^2") else rng.normal(0.0, 0.1, n)
    results = pass_for_every_thread_count(monkeypatch, lambda: _native.coded_glm_pass(
        x, codes, counts, y, beta, family, link, weights, offset))
    assert_same_bits(results)
    deviance, information, right, valid = results["1"]
    want = _native.glm_pass(dense, y, beta, family, link, weights, offset)
    assert deviance == pytest.approx(want[0], rel=1e-12, abs=1e-12)
    scale = max(np.abs(want[1]).max(), 1.0)
    np.testing.assert_allclose(information, want[1], rtol=0, atol=1e-12 * scale)
    np.testing.assert_allclose(right, want[2], rtol=0, atol=1e-12 * max(np.abs(want[2]).max(), 1))
    assert valid == want[3]


@pytest.mark.parametrize("codes, levels, beta_size, message", [
    ([[3.0]], [3.0], 4, "codes must be whole numbers from -1"),
    ([[-2.0]], [3.0], 4, "codes must be whole numbers from -1"),
    ([[0.5]], [3.0], 4, "codes must be whole numbers from -1"),
    ([[math.nan]], [3.0], 4, "codes must be whole numbers from -1"),
    ([[0.0]], [2.5], 4, "levels must be whole numbers"),
    ([[0.0]], [-1.0], 4, "levels must be whole numbers"),
    ([[0.0]], [3.0, 2.0], 4, "codes has 1 columns but levels has 2"),
    ([[0.0]], [3.0], 3, "beta has 3 values but the design has 4 columns"),
    ([[0.0], [1.0]], [3.0], 4, "x has 1 rows but codes has 2"),
])
def test_pass_refuses_bad_codes(codes, levels, beta_size, message):
    with pytest.raises(ValueError, match=message):
        _native.coded_glm_pass(np.ones((1, 1), order="F"), np.asfortranarray(codes),
                               np.array(levels), np.ones(1), np.zeros(beta_size), "poisson",
                               "log")


def design_of(n=400, seed=3):
    """A coded design of 2 dense columns and factors of 4 and 3 coded levels, its columns in a
    shuffled design order, and the dense matrix of it."""
    rng = np.random.default_rng(seed)
    x = np.asfortranarray(rng.normal(size=(n, 2)))
    factors = [rng.integers(-1, 4, n), rng.integers(-1, 3, n)]
    positions = rng.permutation(9)
    design = coded.coded_design(x.copy(order="F"), factors, [4, 3], positions)
    dense = np.zeros((n, 9))
    dense[:, positions[:2]] = x
    for f, (codes, start) in enumerate(zip(factors, (2, 6))):
        rows = np.flatnonzero(codes >= 0)
        dense[rows, positions[start + codes[rows]]] = 1.0
    return design, dense, rng


def test_coded_design_products_are_the_dense_ones():
    design, dense, rng = design_of()
    np.testing.assert_array_equal(design.to_dense(), dense)
    beta, v, w = rng.normal(size=9), rng.normal(size=400), rng.uniform(0, 2, 400)
    np.testing.assert_allclose(design.matvec(beta), dense @ beta, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(design.rmatvec(v), dense.T @ v, rtol=1e-13, atol=1e-12)
    information, right = design.weighted_sums(w, v)
    np.testing.assert_allclose(information, dense.T @ (dense * w[:, None]), atol=1e-11)
    np.testing.assert_allclose(right, dense.T @ (w * v), atol=1e-11)
    np.testing.assert_allclose(design.square_sums(), (dense * dense).sum(axis=0), rtol=1e-13)
    for j in range(9):
        np.testing.assert_array_equal(design.column(j), dense[:, j])


@pytest.mark.parametrize("seed", [3, 4, 5])
def test_factorization_by_the_diagonal_block_is_the_full_one(seed):
    design, dense, rng = design_of(seed=seed)
    w = rng.uniform(0.1, 2.0, 400)
    information, _ = design.weighted_sums(w, rng.normal(size=400))
    block = coded.diagonal_columns(design)
    assert sorted(block) == sorted(design.positions[2:6])  # the factor of four levels
    sub = information[np.ix_(block, block)]
    assert np.array_equal(sub, np.diag(np.diag(sub)))
    full, by_block = solvers.equilibrate(information), solvers.equilibrate(information, block)
    right = rng.normal(size=9)
    np.testing.assert_allclose(by_block.solve(right), full.solve(right), rtol=1e-12)
    np.testing.assert_allclose(by_block.inverse(), full.inverse(), rtol=1e-11, atol=1e-14)
    scale = 1.0 / np.sqrt(np.diag(information))
    scaled = information * scale[:, None] * scale[None, :]
    exact = 1.0 / (np.linalg.norm(scaled, 1) * np.linalg.norm(np.linalg.inv(scaled), 1))
    assert by_block.rcond == pytest.approx(exact, rel=1e-10)


def test_factorization_by_the_diagonal_block_sees_a_singular_matrix():
    design, dense, rng = design_of()
    # The dense columns made the factor's indicator sum: XᵀWX is singular.
    block = coded.diagonal_columns(design)
    dense[:, design.positions[0]] = dense[:, block].sum(axis=1)
    information = dense.T @ (dense * rng.uniform(0.5, 1.0, 400)[:, None])
    system = solvers.equilibrate(information, block)
    # Refused, or its condition below any the solvers trust (rounding may leave a tiny pivot).
    assert system is None or system.rcond < 1e-12
    assert coded.diagonal_columns(dense) is None


@pytest.mark.parametrize("dropped", [[0], [2, 3], [1, 4, 8], [0, 1, 2, 3, 4, 5, 6, 7, 8]])
def test_compacted_design_is_the_dense_design_of_the_kept_columns(dropped):
    design, dense, _ = design_of()
    keep = np.ones(9, dtype=bool)
    keep[dropped] = False
    np.testing.assert_array_equal(design.compact(keep).to_dense(), dense[:, keep])


def test_scaling_touches_dense_columns_only():
    design, dense, _ = design_of()
    scales = np.ones(9)
    scales[design.positions[0]] = 0.5
    design.scale(scales)
    np.testing.assert_array_equal(design.to_dense(), dense * scales)
    scales[design.positions[4]] = 2.0
    with pytest.raises(ValueError, match="indicator column"):
        design.scale(scales)


def frame(n=3000, seed=11):
    rng = np.random.default_rng(seed)
    g = rng.choice([f"g{i:02d}" for i in range(12)], n)
    h = rng.choice(["p", "q", "r", "s"], n)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    effect = np.array([int(v[1:]) % 5 for v in g]) * 0.1
    eta = 0.2 + 0.3 * x1 - 0.2 * x2 + effect
    exposure = rng.uniform(0.5, 2.0, n)
    x1[::97] = np.nan  # rows dropped for a missing value
    return {
        "x1": x1, "x2": x2, "g": g, "h": h, "exposure": exposure,
        "w": rng.uniform(0.0, 2.0, n).round(1),
        "k": rng.integers(0, 4, n).astype(float),  # whole weights, some 0
        "count": rng.poisson(np.exp(eta) * exposure).astype(float),
        "event": (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(float),
        "amount": rng.gamma(2.0, np.exp(eta) / 2.0),
        # A copy of g's level g03 as a numeric column: g_g03 is aliased with it.
        "twin": (g == "g03").astype(float),
    }


FITS = [
    ("count ~ x1 + x2 + g + h + offset(log(exposure))", "poisson", None, None),
    ("count ~ x1 + g + h", "quasipoisson", None, "w"),
    ("event ~ x1 + g + h + x2:g", "binomial", None, None),
    ("event ~ x1 + g * h", "binomial", "probit", "k"),
    ("amount ~ 0 + g + h + x1", "Gamma", "log", "w"),
    ("amount ~ x1 + twin + g", "gaussian", None, None),
    ("amount ~ x2 + h + g", "inverse.gaussian", "inverse", None),
]


def fit_both(monkeypatch, formula, family, link, weights, data):
    monkeypatch.setattr(memory, "CODED_FROM", 10**9)
    dense = tf.glm(formula, data, family=family, link=link, weights=weights)
    monkeypatch.setattr(memory, "CODED_FROM", 1)
    with_codes = tf.glm(formula, data, family=family, link=link, weights=weights)
    return dense, with_codes


def assert_close(a, b, rtol=1e-10):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    np.testing.assert_array_equal(np.isnan(a), np.isnan(b))
    finite = ~np.isnan(a)
    np.testing.assert_allclose(b[finite], a[finite], rtol=rtol, atol=1e-12)


@pytest.mark.parametrize("formula, family, link, weights", FITS)
def test_fit_with_codes_is_the_dense_fit(monkeypatch, formula, family, link, weights):
    data = frame()
    dense, with_codes = fit_both(monkeypatch, formula, family, link, weights, data)
    assert list(with_codes.coefficients) == list(dense.coefficients)
    assert_close(list(dense.coefficients.values()), list(with_codes.coefficients.values()))
    a, b = dense.tidy(), with_codes.tidy()
    for column in ("std_error", "statistic", "p_value"):
        assert_close(a[column], b[column], rtol=1e-8)
    for measure in ("deviance", "null_deviance", "aic", "pearson"):
        assert_close([getattr(dense.fit, measure)], [getattr(with_codes.fit, measure)])
    assert with_codes.fit.iterations == dense.fit.iterations
    assert str(with_codes.summary()) == str(dense.summary())
    assert_close(dense.predict(data, type="response"), with_codes.predict(data, type="response"))


def test_robust_covariance_and_hat_values_after_a_fit_with_codes(monkeypatch):
    data = frame()
    dense, with_codes = fit_both(monkeypatch, "count ~ x1 + g + h", "poisson", None, "w", data)
    for kind in ("HC0", "HC3"):
        assert_close(dense.vcov(type=kind), with_codes.vcov(type=kind), rtol=1e-8)
    assert_close(dense.vcov(cluster="h"), with_codes.vcov(cluster="h"), rtol=1e-8)
    assert_close(dense.hatvalues(), with_codes.hatvalues(), rtol=1e-8)


def test_design_build_codes_only_the_wide_main_effects():
    data = frame()
    plan = tf.design.plan_from_frame(tf.design.parse_formula("count ~ x1 + g + h + x2:h"),
                                     tf.frames.to_frame(data)[0])
    assert set(plan.coded_columns(5)) == {"g"}
    assert set(plan.coded_columns(3)) == {"g", "h"}
    block = plan.build(tf.frames.to_frame(data)[0], coded_from=3)
    dense = plan.build(tf.frames.to_frame(data)[0])
    assert block.coded is not None and dense.coded is None
    np.testing.assert_array_equal(block.coded.to_dense(), dense.matrix)
    assert block.matrix.shape[1] == len(plan.column_names) - 11 - 3
