"""R's model-checking plots, ``plot(m)`` of an lm or glm (stats:::plot.lm), drawn with
matplotlib for fits on in-memory data: `which` picks the panels,

1. Residuals vs Fitted: the residuals (Pearson's for a glm) against the fitted values (the
   linear predictor for a glm), with a dotted zero line;
2. Q-Q Residuals: the standardized residuals against the normal quantiles of R's ``ppoints``,
   with R's ``qqline`` through the quartiles;
3. Scale-Location: √|standardized residuals| against the fitted values;
4. Cook's distance: Cook's distances against the row number;
5. Residuals vs Leverage: the standardized residuals against the leverages, with the
   contours of Cook's distance at `cook_levels`.

The standardized residuals are R's ``rstandard(m, type = "pearson")``. Panels 1, 3 and 5 carry
R's ``panel.smooth``: a lowess curve (three robustness iterations for lm, none for a glm), and
the `id_n` most extreme rows are labelled by row name. Rows of prior weight 0 are left out, as
R leaves them out. matplotlib is an optional extra (``pip install tallyfit[plot]``).

>>> import matplotlib
>>> matplotlib.use("Agg")
>>> import tallyfit as tf
>>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0], "y": [1.0, 3.0, 2.0, 5.0, 4.0]})
>>> figure = m.plot(which=(1, 2))
>>> [axes.get_title() for axes in figure.axes]
['Residuals vs Fitted', 'Q-Q Residuals']
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
from scipy import stats

from . import diagnostics
from .frames import FloatArray
from .smoothing import lowess

__all__ = ["CAPTIONS", "plot"]

#: plot.lm's default captions of panels 1 to 5 (R 4.3's: before it, panel 2 was "Normal Q-Q").
CAPTIONS = ("Residuals vs Fitted", "Q-Q Residuals", "Scale-Location", "Cook's distance",
            "Residuals vs Leverage")
PANELS = (1, 2, 3, 4, 5)
MISSING_MATPLOTLIB = ("model.plot draws with matplotlib, which is not installed: install the "
                      "plot extra (pip install 'tallyfit[plot]') or matplotlib>=3.6")
#: R's axes span their data range and 4% more on each side (par's xaxs = "r").
_AXIS_MARGIN = 0.04
_ID_OFFSET = 3.0  # points between a point and its label (R's offset = 0.25 characters)


def _figure_class() -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError(MISSING_MATPLOTLIB) from error
    return Figure


@dataclass
class PanelData:
    """What the panels draw, for the rows of positive prior weight: the residuals `r`, the
    fitted values (linear predictors) `fitted`, the standardized residuals `standardized`
    (NaN at leverage 1), the leverages `hat`, Cook's distances `cook`, the row `labels`,
    the rank and whether the model is a glm."""

    r: FloatArray
    fitted: FloatArray
    standardized: FloatArray
    hat: FloatArray
    cook: FloatArray
    labels: list[str]
    rank: int
    is_glm: bool


def _row_labels(model: Any) -> list[str]:
    """R's default row names of the fitted rows: their 1-based positions in the data."""
    scan = model.fit_rows.scan
    kept = np.asarray(scan.plan.build(scan.state).kept, dtype=bool)
    return [str(i + 1) for i in np.flatnonzero(kept)]


def panel_data(model: Any, labels_id: Optional[Sequence[Any]] = None) -> PanelData:
    """The values of the panels (see `PanelData`); `labels_id` names the fitted rows (one
    per row of `model.resid()`), by default their row numbers in the data."""
    is_glm = model.kind != "lm"
    r = diagnostics.residuals(model, "pearson" if is_glm else "response")
    fitted = np.asarray(model.linear_predictors if is_glm else model.fitted_values,
                        dtype=np.float64)
    labels = [str(label) for label in labels_id] if labels_id is not None \
        else _row_labels(model)
    if len(labels) != r.shape[0]:
        raise ValueError(f"labels_id has {len(labels)} labels but the fit has {r.shape[0]} "
                         "rows: give one label per fitted row (rows with a missing value "
                         "left out)")
    weights = model.prior_weights
    positive = np.ones(r.shape[0], dtype=bool) if weights is None else \
        np.asarray(weights) != 0.0
    hat = diagnostics.hatvalues(model)
    standardized = diagnostics.rstandard(model, "pearson")
    at_one = hat >= 1.0
    if at_one.any():
        rows = ", ".join(str(i + 1) for i in np.flatnonzero(at_one))
        warnings.warn(f"not plotting observations with leverage one: {rows}", stacklevel=3)
        standardized[at_one] = math.nan
    return PanelData(r[positive], fitted[positive], standardized, hat,
                     diagnostics.cooks_distance(model),
                     [label for label, keep in zip(labels, positive) if keep],
                     int(model.rank), is_glm)


def _call_text(model: Any) -> str:
    """plot.lm's sub-caption: the call with its formula only, cut at 75 characters."""
    function = "lm" if model.kind == "lm" else (
        "glm.nb" if getattr(model, "theta", None) is not None else "glm")
    text = f"{function}({model.formula})"
    return text if len(text) <= 75 else text[:75] + " ..."


def _extend(low: float, high: float, share: float) -> tuple[float, float]:
    """R's ``extendrange(c(low, high), f = share)``."""
    width = high - low
    return low - share * width, high + share * width


def _finite_range(values: FloatArray) -> tuple[float, float]:
    finite = values[np.isfinite(values)]
    return float(finite.min()), float(finite.max())


def _largest(values: FloatArray, count: int) -> Any:
    """R's ``sort.list(values, decreasing = TRUE)[1:count]``: ties in row order, NaN last."""
    keys = np.where(np.isnan(values), np.inf, -values)
    return np.argsort(keys, kind="stable")[:count]


def _points(axes: Any, x: FloatArray, y: FloatArray) -> None:
    axes.scatter(x, y, s=14, facecolors="none", edgecolors="black", linewidths=0.8,
                 gid="points")


def _smooth(axes: Any, x: FloatArray, y: FloatArray, iterations: int) -> None:
    """R's panel.smooth: lowess(x, y, f = 2/3, iter) of the finite points, in red."""
    finite = np.isfinite(x) & np.isfinite(y)
    if finite.any():
        sx, sy = lowess(x[finite], y[finite], 2.0 / 3.0, iterations)
        axes.plot(sx, sy, color="red", linewidth=1.0, gid="smooth")


def _label(axes: Any, data: PanelData, x: FloatArray, y: FloatArray, rows: Any,
           beside: bool = True) -> None:
    """R's text.id: the row names, right of the points in the left half of the axes and
    left of them in the right half (above them for the Cook's distance bars)."""
    low, high = axes.get_xlim()
    for row in rows:
        if not (np.isfinite(x[row]) and np.isfinite(y[row])):
            continue
        if beside:
            right = x[row] <= (low + high) / 2.0
            offset, align, vertical = (_ID_OFFSET if right else -_ID_OFFSET, 0.0), \
                ("left" if right else "right"), "center"
        else:
            offset, align, vertical = (0.0, _ID_OFFSET), "center", "bottom"
        axes.annotate(data.labels[row], (float(x[row]), float(y[row])), xytext=offset,
                      textcoords="offset points", ha=align, va=vertical, fontsize=7,
                      gid="label")


def _r_limits(low: float, high: float) -> tuple[float, float]:
    return _extend(low, high, _AXIS_MARGIN)


def _zero_line(axes: Any, vertical: bool = False) -> None:
    axes.axhline(0.0, linestyle=":", color="gray", linewidth=1.0, gid="zero")
    if vertical:
        axes.axvline(0.0, linestyle=":", color="gray", linewidth=1.0, gid="zero")


def _residuals_fitted(axes: Any, data: PanelData, id_n: int, iterations: Optional[int],
                      ) -> None:
    x, y = data.fitted, data.r
    axes.set_xlim(*_r_limits(*_finite_range(x)))
    low, high = _finite_range(y)
    axes.set_ylim(*_r_limits(*(_extend(low, high, 0.08) if id_n else (low, high))))
    _points(axes, x, y)
    if iterations is not None:
        _smooth(axes, x, y, iterations)
    _label(axes, data, x, y, _largest(np.abs(y), id_n))
    _zero_line(axes)
    axes.set_xlabel("Predicted values" if data.is_glm else "Fitted values")
    axes.set_ylabel("Residuals")


def ppoints(n: int) -> FloatArray:
    """R's ``ppoints(n)``: (i − a)/(n + 1 − 2a), a = 3/8 for n ≤ 10 and 1/2 beyond.

    >>> ppoints(4).round(4).tolist()
    [0.1471, 0.3824, 0.6176, 0.8529]
    """
    a = 3.0 / 8.0 if n <= 10 else 0.5
    return np.asarray((np.arange(1, n + 1) - a) / (n + 1 - 2.0 * a), dtype=np.float64)


def normal_scores(values: FloatArray) -> FloatArray:
    """R's ``qqnorm(values)$x``: the normal quantile of each value's rank (NaN stays NaN)."""
    scores = np.full(values.shape[0], math.nan)
    finite = ~np.isnan(values)
    ranks = np.argsort(np.argsort(values[finite], kind="stable"), kind="stable")
    scores[finite] = stats.norm.ppf(ppoints(int(finite.sum())))[ranks]
    return scores


def qqline(values: FloatArray) -> tuple[float, float]:
    """R's ``qqline``: the intercept and slope of the line through the quartiles (type 7)
    of `values` and of the normal distribution."""
    finite = values[~np.isnan(values)]
    low, high = np.quantile(finite, [0.25, 0.75])
    slope = float((high - low) / (stats.norm.ppf(0.75) - stats.norm.ppf(0.25)))
    return float(low - slope * stats.norm.ppf(0.25)), slope


def _standardized_label(data: PanelData) -> str:
    return "Std. Pearson resid." if data.is_glm else "Standardized residuals"


def _quantiles(axes: Any, data: PanelData, id_n: int, iterations: Optional[int]) -> None:
    y = data.standardized
    x = normal_scores(y)
    axes.set_xlim(*_r_limits(*_finite_range(x)))
    low, high = _finite_range(y)
    axes.set_ylim(*_r_limits(low, high + 0.075 * (high - low)))
    _points(axes, x, y)
    intercept, slope = qqline(y)
    # Across the whole axes, as R's abline (the limits are set, so they stay).
    ends = np.array(axes.get_xlim())
    axes.plot(ends, intercept + slope * ends, linestyle=":", color="0.5", linewidth=1.0,
              gid="qqline")
    _label(axes, data, x, y, _largest(np.abs(y), id_n))
    axes.set_xlabel("Theoretical Quantiles")
    axes.set_ylabel(_standardized_label(data))


def _scale_location(axes: Any, data: PanelData, id_n: int, iterations: Optional[int]
                    ) -> None:
    x, y = data.fitted, np.sqrt(np.abs(data.standardized))
    axes.set_xlim(*_r_limits(*_finite_range(x)))
    axes.set_ylim(*_r_limits(0.0, _finite_range(y)[1]))
    _points(axes, x, y)
    if iterations is not None:
        _smooth(axes, x, y, iterations)
    _label(axes, data, x, y, _largest(np.abs(data.standardized), id_n))
    axes.set_xlabel("Predicted values" if data.is_glm else "Fitted values")
    axes.set_ylabel(f"√|{_standardized_label(data)}|")


def _cook_bars(axes: Any, data: PanelData, id_n: int, iterations: Optional[int]) -> None:
    x = np.arange(1, data.cook.shape[0] + 1, dtype=np.float64)
    y = data.cook
    top = _largest(y, id_n)
    highest = float(y[top[0]]) * 1.075 if id_n else _finite_range(y)[1]
    axes.set_xlim(*_r_limits(1.0, float(x[-1])))
    axes.set_ylim(*_r_limits(0.0, highest))
    axes.vlines(x, 0.0, y, colors="black", linewidth=1.0, gid="bars")
    _label(axes, data, x, y, top, beside=False)
    axes.set_xlabel("Obs. number")
    axes.set_ylabel("Cook's distance")


def cook_contours(hat: FloatArray, right: float, rank: int, level: float
                  ) -> tuple[FloatArray, FloatArray]:
    """plot.lm's contour of Cook's distance `level`: √(level p (1 − h)/h) over 101
    leverages from min(h_min, h_max/100) to the right end of the axis."""
    low, high = _finite_range(hat)
    h = np.linspace(min(low, high / 100.0), right, 101)
    return h, np.sqrt(level * rank * (1.0 - h) / h)


def _residuals_leverage(axes: Any, data: PanelData, id_n: int, iterations: Optional[int],
                        cook_levels: Sequence[float] = (0.5, 1.0)) -> None:
    x = np.where(data.hat >= 1.0, math.nan, data.hat)
    y = data.standardized
    low, high = _finite_range(y)
    axes.set_ylim(*_r_limits(*(_extend(low, high, 0.08) if id_n else (low, high))))
    left, right = _r_limits(0.0, _finite_range(x)[1])
    axes.set_xlim(left, right)
    hat_low, hat_high = _finite_range(data.hat)
    if hat_high == 0.0 or hat_high - hat_low < 1e-10 * float(np.nanmean(data.hat)):
        # R then plots against the factor levels, or nothing without factors.
        warnings.warn(f"hat values (leverages) are all = {hat_high:g}: the Residuals vs "
                      "Leverage panel is left empty", stacklevel=4)
        return
    _points(axes, x, y)
    if iterations is not None:
        _smooth(axes, x, y, iterations)
    _zero_line(axes, vertical=True)
    if len(cook_levels):
        for level in cook_levels:
            h, curve = cook_contours(data.hat, right, data.rank, level)
            axes.plot(h, curve, linestyle="--", color="gray", linewidth=1.0,
                      gid=f"cook {level:g}", label="Cook's distance")
            axes.plot(h, -curve, linestyle="--", color="gray", linewidth=1.0,
                      gid=f"cook {level:g} below")
        axes.legend(handles=axes.lines[-2:-1], loc="lower left", frameon=False, fontsize=7,
                    labelcolor="gray")
        # The levels, on the right, where the contours cross min(0.99, right end).
        end = min(0.99, right)
        transform = axes.get_yaxis_transform()
        for level in cook_levels:
            at = math.sqrt(level) * math.sqrt(data.rank * (1.0 - end) / end)
            for sign in (1.0, -1.0):
                axes.text(1.01, sign * at, f"{level:g}", transform=transform, color="gray",
                          fontsize=7, va="center", gid="cook level")
    _label(axes, data, x, y, _largest(data.cook, id_n))
    axes.set_xlabel("Leverage")
    axes.set_ylabel(_standardized_label(data))


_DRAW = {1: _residuals_fitted, 2: _quantiles, 3: _scale_location, 4: _cook_bars,
         5: _residuals_leverage}


def _checked_which(which: Any) -> tuple[int, ...]:
    chosen = (which,) if isinstance(which, (int, np.integer)) else tuple(which)
    if not chosen or any(isinstance(k, bool) or not isinstance(k, (int, np.integer))
                         or not 1 <= k <= 6 for k in chosen):
        raise ValueError(f"which must be panel numbers in 1..6, not {which!r}")
    if 6 in chosen:
        raise ValueError("panel 6 (Cook's distance against leverage/(1 − leverage)) is not "
                         "drawn by tallyfit: choose among panels 1 to 5")
    # Panels come in R's order, each once, whatever order `which` gives.
    return tuple(sorted(set(int(k) for k in chosen)))


def plot(model: Any, which: Any = (1, 2, 3, 5), *, caption: Optional[Sequence[str]] = None,
         sub_caption: Optional[str] = None, id_n: int = 3,
         labels_id: Optional[Sequence[Any]] = None, add_smooth: bool = True,
         iter_smooth: Optional[int] = None, cook_levels: Sequence[float] = (0.5, 1.0),
         figsize: Optional[tuple[float, float]] = None) -> Any:
    """R's ``plot(m, which)`` of an lm or glm fitted on in-memory data, as a matplotlib Figure
    with one Axes per panel (two panels a row). `caption` replaces R's five panel titles,
    `sub_caption` the model's call under the panels, `id_n` the number of extreme rows
    labelled (by `labels_id`, one per fitted row; by default their row numbers in the data),
    `iter_smooth` the smoother's robustness iterations (3 for lm, 0 for a glm) and
    `add_smooth=False` leaves the smoother out.

    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0], "y": [1.0, 3.0, 2.0, 5.0, 4.0]})
    >>> figure = plot(m, which=5, id_n=1)
    >>> figure.axes[0].get_xlabel(), [text.get_text() for text in figure.axes[0].texts
    ...                               if text.get_gid() == "label"]
    ('Leverage', ['4'])
    """
    panels = _checked_which(which)
    figure_class = _figure_class()
    model._fit("the model-checking plots")
    data = panel_data(model, labels_id)
    n = data.r.shape[0]
    if not 0 <= id_n <= n:
        raise ValueError(f"id_n must be in 0..{n} (the rows of positive weight), not {id_n}")
    captions = list(CAPTIONS if caption is None else caption)
    if len(captions) < len(CAPTIONS):
        raise ValueError(f"caption must give the {len(CAPTIONS)} panel titles, not "
                         f"{len(captions)}")
    iterations = None if not add_smooth else (
        iter_smooth if iter_smooth is not None else (0 if data.is_glm else 3))
    columns = 1 if len(panels) == 1 else 2
    rows = math.ceil(len(panels) / columns)
    figure = figure_class(figsize=figsize or (5.0 * columns, 4.6 * rows), layout="tight")
    text = _call_text(model) if sub_caption is None else sub_caption
    for index, panel in enumerate(panels):
        axes = figure.add_subplot(rows, columns, index + 1)
        if panel == 5:
            _residuals_leverage(axes, data, id_n, iterations, cook_levels)
        else:
            _DRAW[panel](axes, data, id_n, iterations)
        axes.set_title(captions[panel - 1], fontsize=10)
        if len(panels) == 1:
            axes.set_xlabel(f"{axes.get_xlabel()}\n{text}")
    if len(panels) > 1:
        figure.suptitle(text, fontsize=11)
    return figure
