"""R's ``lowess(x, y, f, iter, delta)``: Cleveland's locally weighted regression with
robustness iterations, as R's C code (clowess) computes it, for the smoothers of the
model-checking plots.

>>> x, y = lowess([1.0, 2.0, 3.0, 4.0, 5.0], [2.0, 4.0, 6.0, 8.0, 10.0])
>>> y.round(6).tolist()
[2.0, 4.0, 6.0, 8.0, 10.0]
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Optional, Union

import numpy as np

from .frames import FloatArray

__all__ = ["lowess"]

Values = Union[Sequence[float], FloatArray]


def _local_fit(x: FloatArray, y: FloatArray, at: float, left: int, right: int,
               robustness: Optional[FloatArray]) -> Optional[float]:
    """The weighted linear fit at `at` of the neighbours from `left` to `right` (and the
    ties beyond `right`), or None when every weight is 0 (clowess's lowest)."""
    n = x.shape[0]
    span = x[n - 1] - x[0]
    h = max(at - x[left], x[right] - at)
    # The neighbourhood runs on past `right` over the points within 0.999 h (ties).
    stop = right + 1
    while stop < n and (x[stop] <= at or x[stop] - at <= 0.999 * h):
        stop += 1
    window = slice(left, stop)
    distance = np.abs(x[window] - at)
    inside = distance <= 0.999 * h
    with np.errstate(divide="ignore", invalid="ignore"):
        weights = np.where(distance <= 0.001 * h, 1.0, (1.0 - (distance / h) ** 3) ** 3)
    weights = np.where(inside, weights, 0.0)
    if robustness is not None:
        weights = weights * robustness[window]
    total = weights.sum()
    if total <= 0.0:
        return None
    weights = weights / total
    if h > 0.0:
        centre = float(weights @ x[window])
        spread = float(weights @ (x[window] - centre) ** 2)
        # A slope only when the points are spread out enough to estimate one.
        if np.sqrt(spread) > 0.001 * span:
            weights = weights * ((at - centre) / spread * (x[window] - centre) + 1.0)
    return float(weights @ y[window])


def _pass(x: FloatArray, y: FloatArray, size: int, delta: float,
          robustness: Optional[FloatArray]) -> FloatArray:
    """One smoothing pass: fits at points at least `delta` apart, linear interpolation
    between them."""
    n = x.shape[0]
    fitted = np.empty(n)
    left, right, last, i = 0, size - 1, -1, 0
    while True:
        # Move the window right while that brings its far end nearer.
        while right < n - 1 and x[i] - x[left] > x[right + 1] - x[i]:
            left += 1
            right += 1
        value = _local_fit(x, y, float(x[i]), left, right, robustness)
        fitted[i] = y[i] if value is None else value
        if last < i - 1:
            alpha = (x[last + 1:i] - x[last]) / (x[i] - x[last])
            fitted[last + 1:i] = alpha * fitted[i] + (1.0 - alpha) * fitted[last]
        last = i
        cut = x[last] + delta
        i = last + 1
        while i < n and x[i] <= cut:
            if x[i] == x[last]:
                fitted[i] = fitted[last]
                last = i
            i += 1
        i = max(last + 1, i - 1)
        if last >= n - 1:
            return fitted


def lowess(x: Values, y: Values, f: float = 2.0 / 3.0, iter: int = 3,
           delta: Optional[float] = None) -> tuple[FloatArray, FloatArray]:
    """R's ``lowess(x, y, f, iter, delta)``: the points sorted by x (ties in their order) and
    the smooth at each; `f` is the share of points in each neighbourhood, `iter` the number
    of robustness iterations and `delta` (by default 1% of the range of x) the distance
    within which the fit is interpolated instead of computed.

    >>> x, y = lowess([3.0, 1.0, 2.0], [1.0, 1.0, 1.0], iter=0)
    >>> x.tolist(), y.tolist()
    ([1.0, 2.0, 3.0], [1.0, 1.0, 1.0])
    """
    xs = np.asarray(x, dtype=np.float64)
    ys = np.asarray(y, dtype=np.float64)
    if xs.ndim != 1 or xs.shape != ys.shape:
        raise ValueError(f"x and y must be vectors of one length, not shapes {xs.shape} "
                         f"and {ys.shape}")
    if not (np.isfinite(xs).all() and np.isfinite(ys).all()):
        raise ValueError("lowess needs finite x and y: leave out the points with a missing "
                         "or infinite coordinate first")
    order = np.argsort(xs, kind="stable")
    xs, ys = xs[order], ys[order]
    n = xs.shape[0]
    if n < 2:
        return xs, ys.copy()
    if delta is None:
        delta = 0.01 * float(xs[-1] - xs[0])
    size = max(2, min(n, int(f * n + 1e-7)))
    robustness: Optional[FloatArray] = None
    for step in range(iter + 1):
        fitted = _pass(xs, ys, size, delta, robustness)
        if step == iter:
            break
        residual = np.abs(ys - fitted)
        scale = residual.mean()
        # Six median absolute residuals, the two middle ones averaged for even n (as R).
        ordered = np.sort(residual)
        middle = n // 2
        cmad = 6.0 * ordered[middle] if n % 2 else 3.0 * (ordered[middle]
                                                          + ordered[n - middle - 1])
        if cmad < 1e-7 * scale:  # effectively zero: the fit is exact
            break
        with np.errstate(divide="ignore", invalid="ignore"):
            robustness = np.where(residual <= 0.001 * cmad, 1.0,
                                  np.where(residual <= 0.999 * cmad,
                                           (1.0 - (residual / cmad) ** 2) ** 2, 0.0))
    return xs, fitted
