"""Per-cluster score sums: the native group sums against a NumPy reference over both memory
orders and strided views, the integer fast path of the cluster codes, and the refusals."""
import numpy as np
import pytest

from tallyfit import _native, covariance


def reference(x, codes, factors, groups):
    out = np.zeros((groups, x.shape[1]))
    np.add.at(out, codes, factors[:, None] * x)
    return out


@pytest.mark.parametrize("order", ["F", "C"])
@pytest.mark.parametrize("rows, cols, groups", [(1, 1, 1), (7, 3, 5), (1000, 12, 40)])
def test_group_sums_equal_numpy(order, rows, cols, groups):
    rng = np.random.default_rng(rows + cols)
    x = np.asarray(rng.standard_normal((rows, cols)), order=order)
    codes = rng.integers(0, groups, rows)
    factors = rng.standard_normal(rows)
    got = _native.group_sums(x, codes.astype(float), factors, groups)
    np.testing.assert_allclose(got, reference(x, codes, factors, groups), rtol=1e-12,
                               atol=1e-12)


def test_group_sums_of_a_column_view_and_empty_groups():
    rng = np.random.default_rng(1)
    x = np.asfortranarray(rng.standard_normal((50, 6)))[:, :4]  # the compacted columns
    codes = np.repeat([0, 2], 25)  # group 1 has no row
    factors = rng.standard_normal(50)
    got = _native.group_sums(x, codes.astype(float), factors, 3)
    assert (got[1] == 0.0).all()
    np.testing.assert_allclose(got, reference(x, codes, factors, 3), rtol=1e-12)


@pytest.mark.parametrize("keys", [
    np.array([5, 3, 5, 9, 3, -2]),
    np.array([10**12, 7, 10**12]),  # a range too wide to count: sorted instead
    np.array([2.5, 1.0, 2.5]),
    np.array(["b", "a", "b"], dtype=object),
], ids=["compact-int", "wide-int", "float", "strings"])
def test_cluster_codes_match_numpy_unique(keys):
    unique, codes = covariance._unique(keys)
    expected_unique, expected_codes = np.unique(keys, return_inverse=True)
    np.testing.assert_array_equal(unique, expected_unique)
    np.testing.assert_array_equal(codes, expected_codes.reshape(-1))


@pytest.mark.parametrize("codes, groups, message", [
    ([0.0, 2.0], 2, "row 1 has another value"),
    ([0.0, 0.5], 2, "row 1 has another value"),
    ([-1.0, 0.0], 2, "row 0 has another value"),
    ([0.0, np.nan], 2, "row 1 has another value"),
    ([0.0], 2, "codes has 1 values"),
])
def test_group_sums_refusals(codes, groups, message):
    with pytest.raises(ValueError, match=message):
        _native.group_sums(np.ones((2, 1)), np.array(codes), np.ones(2), groups)
