"""The native B-spline kernel behind ns() and bs(): SciPy's basis (R's splineDesign) times the
combination, at the boundaries, for NaN, and its refusals."""
import numpy as np
import pytest
from scipy.interpolate import BSpline

from tallyfit import _native


def scipy_basis(knots, x, order):
    return BSpline(knots, np.eye(len(knots) - order), order - 1, extrapolate=True)(x)


@pytest.mark.parametrize("order", [1, 2, 3, 4, 6])
@pytest.mark.parametrize("interior", [0, 1, 3, 20])
def test_basis_times_combination_equals_scipy(order, interior):
    rng = np.random.default_rng(order * 100 + interior)
    x = rng.standard_normal(2000)
    low, high = x.min(), x.max()
    inner = np.quantile(x, np.linspace(0, 1, interior + 2)[1:-1])
    knots = np.sort(np.r_[[low] * order, inner, [high] * order])
    combination = rng.standard_normal((len(knots) - order, 3))
    # The boundaries themselves and an interior knot exactly.
    x = np.r_[x, low, high, inner[:1]]
    got = _native.spline_basis(x, knots, order, combination)
    np.testing.assert_allclose(got, scipy_basis(knots, x, order) @ combination,
                               rtol=0, atol=1e-13)


def test_repeated_interior_knot_and_nan_rows():
    knots = np.array([0.0] * 4 + [0.5, 0.5] + [1.0] * 4)
    x = np.array([0.0, 0.25, 0.5, np.nan, 0.75, 1.0])
    combination = np.eye(len(knots) - 4)
    got = _native.spline_basis(x, knots, 4, combination)
    assert np.isnan(got[3]).all()
    keep = ~np.isnan(x)
    np.testing.assert_allclose(got[keep], scipy_basis(knots, x[keep], 4), atol=1e-13)
    # A partition of unity inside the boundary knots.
    np.testing.assert_allclose(got[keep].sum(axis=1), 1.0, atol=1e-13)


def test_strided_inputs_read_in_place():
    knots = np.r_[[0.0] * 4, 0.3, 0.6, [1.0] * 4]
    x = np.linspace(0, 1, 41)
    wide = np.random.default_rng(3).standard_normal((len(knots) - 4, 6))
    expected = scipy_basis(knots, x[::2], 4) @ wide[:, ::2]
    got = _native.spline_basis(x[::2], knots, 4, wide[:, ::2])
    np.testing.assert_allclose(got, expected, atol=1e-13)


@pytest.mark.parametrize("knots, order, rows, message", [
    ([0.0, 0.0, 1.0, 1.0], 0, 2, "order must be"),
    ([0.0, 1.0, 1.0], 2, 1, "at least 4 knots"),
    ([0.0, 0.0, 2.0, 1.0, 1.0], 2, 3, "non-decreasing"),
    ([0.0, 0.0, np.nan, 1.0, 1.0], 2, 3, "non-decreasing"),
    ([1.0, 1.0, 1.0, 1.0], 2, 2, "distinct"),
    ([0.0, 0.0, 1.0, 1.0], 2, 3, "combination has 3 rows but the basis has 2"),
])
def test_refusals(knots, order, rows, message):
    with pytest.raises(ValueError, match=message):
        _native.spline_basis(np.array([0.5]), np.array(knots), order, np.ones((rows, 1)))
