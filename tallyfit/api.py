"""`lm`, `glm` and `load`: check the arguments, pick the family and the engine, run the
solver on the engine's sums and assemble the result (R's split of glm and glm.fit)."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any, Optional, Union

import numpy as np

from . import _native, arguments, inference, model_file, results, solvers
from .engines import engine_for
from .families import DEFAULT_FAMILY, PENALIZED_NATIVE_KINDS, Family, family_from, glm_family
from .results import FitStatistics, GeneralizedLinearModel, LinearModel, Model

PenaltyKey = Union[str, tuple[str, str]]
PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["lm", "glm", "load"]


def _formula_text(formula: object) -> str:
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {formula!r}")
    return formula


def _unscale(values: np.ndarray, scales: Optional[np.ndarray]) -> np.ndarray:
    return values if scales is None else values * scales


def _unscale_covariance(covariance: np.ndarray, scales: Optional[np.ndarray]) -> np.ndarray:
    if scales is None:
        return covariance
    # One factor at a time: the product of two scales may overflow where neither does. A
    # variance beyond the largest double is infinite, as in R.
    with np.errstate(over="ignore"):
        return (covariance * scales[:, None]) * scales[None, :]  # type: ignore[no-any-return]


def _set_record(model: Model, engine: Any, scan: Any, **details: Any) -> None:
    record = engine.fit_record(scan, **details)
    if record is not None:
        setattr(model, f"{engine.NAME}_fit", record)


def lm(formula: str, data: object) -> LinearModel:
    """Fits a linear model by ordinary least squares, as R's ``lm(formula, data)``.

    `data` is a pandas or polars DataFrame, a pyarrow Table, a dict of equal-length sequences
    or a Dask DataFrame. Rows with a missing value in a used column are dropped (R's na.omit).

    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> round(m.coefficients["x"], 6), round(m.std_errors["x"], 6)
    (1.1, 0.519615)
    """
    text = _formula_text(formula)
    engine = engine_for(data)
    scan = engine.scan(text, data, None)
    plan = scan.plan
    sums = engine.least_squares(scan)
    aliased = solvers.find_aliased(sums.gram)
    keep = ~aliased
    sums.restrict(keep)
    fit = solvers.least_squares(sums.gram, sums.xty, sums.matrix, sums.y)
    beta = _unscale(fit.coefficients, sums.scales)
    residuals = fitted = None
    if sums.y is not None:
        fitted = fit.fitted
        residuals = sums.y - fitted
        rss = float(residuals @ residuals)
        centred = sums.y - sums.y.mean() if plan.has_intercept else sums.y
        tss = float(centred @ centred)
    else:
        rss = max(float(sums.yty - fit.coefficients @ sums.xty), 0.0)
        tss = float(sums.yty)
        if plan.has_intercept and sums.n > 0:
            tss = max(tss - sums.y_sum ** 2 / sums.n, 0.0)
    statistics = FitStatistics(
        nobs=sums.n, n_missing=sums.n_missing,
        unscaled=_unscale_covariance(fit.unscaled_covariance, sums.scales),
        rss=rss, tss=tss, residuals=residuals, fitted_values=fitted)
    model = LinearModel(plan=plan, formula=text,
                        coefficients=inference.scatter(beta, keep, len(plan.column_names)),
                        aliased=aliased, family=family_from("gaussian"), fit=statistics,
                        native_namespace=scan.namespace)
    _set_record(model, engine, scan)
    return model


def glm(
    formula: str,
    data: object,
    family: Union[str, Family, None] = None,
    penalties: Optional[Mapping[PenaltyKey, float]] = None,
    max_iterations: int = 25,
    convergence_delta: float = 1e-8,
    link: Optional[str] = None,
) -> GeneralizedLinearModel:
    """Fits a generalized linear model, as R's ``glm(formula, data, family = ...)``, of a
    family of `tallyfit.families` (by R's name; without one, `families.DEFAULT_FAMILY`) with
    its default link or `link`. The family checks the response (see its ``prepare``).

    `penalties` maps a column name, or a (variable, level) pair of a categorical variable, to
    a ridge lambda; a penalized model reports estimates and penalties but no inference.

    >>> import tallyfit as tf
    >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]}, penalties={"x": 1.0})
    >>> round(g.coefficients["x"], 4)
    0.7671
    """
    chosen = glm_family(DEFAULT_FAMILY if family is None else family, link)
    checked = arguments.check_penalties(penalties)
    iterations = arguments.check_positive_int("max_iterations", max_iterations)
    delta = arguments.check_non_negative("convergence_delta", convergence_delta)
    if checked and (chosen.name, chosen.link.name) not in PENALIZED_NATIVE_KINDS:
        raise ValueError(
            f"penalties are offered for the families {', '.join(n for n, _ in PENALIZED_NATIVE_KINDS)} "
            f"only, not {chosen.name!r}")
    text = _formula_text(formula)
    engine = engine_for(data)
    scan = engine.scan(text, data, chosen)
    plan = scan.plan
    records = arguments.penalty_records(checked, plan) if checked else None
    ridge = _native.penalty_diagonal(records, plan.column_names) if records else None
    with engine.irls_source(scan, chosen, rescale=ridge is None) as source:
        start = source.start
        zero = np.zeros(1)
        weight = float(chosen.link.mu_eta(zero)[0] ** 2
                       / chosen.variance(chosen.link.inverse(zero))[0])
        aliased = solvers.find_aliased(start.gram, ridge, weight)
        keep = ~aliased
        source.restrict(keep)
        if ridge is not None:
            fit = solvers.ridge_irls(source, ridge[keep], iterations, delta)
        else:
            fit = solvers.irls(source, chosen, iterations, delta)
        final = source.final(fit.coefficients)
        scales = source.scales
        persisted = getattr(source, "persisted", None)
    beta = _unscale(fit.coefficients, scales)
    unscaled = None if fit.unscaled_covariance is None else _unscale_covariance(
        fit.unscaled_covariance, scales)
    n = start.n
    statistics = FitStatistics(
        nobs=n, n_missing=start.n_missing, unscaled=unscaled,
        deviance=final.deviance,
        null_deviance=chosen.null_deviance(start.y_sum, n, plan.has_intercept,
                                           start.y_square_sum),
        df_null=n - (1 if plan.has_intercept else 0), pearson=final.pearson,
        aic=chosen.aic_from_sums(final.aic_rows, final.deviance, n) + 2.0 * int(keep.sum()),
        iterations=None if ridge is not None else fit.iterations)
    model = GeneralizedLinearModel(
        plan=plan, formula=text,
        coefficients=inference.scatter(beta, keep, len(plan.column_names)),
        aliased=aliased, family=chosen, penalties=dict(checked) if checked else None,
        fit=statistics, native_namespace=scan.namespace)
    _set_record(model, engine, scan, iterations=fit.iterations, persisted=persisted)
    return model


def load(path: PathLike) -> Model:
    """Reads a model file written by ``model.save`` (any of the three kinds) and returns a
    model that predicts from data frames. Inference needs the data and is not in the file.

    A file whose coefficients do not fit the design its formula and encoding describe (a
    coefficient that names no design column, say after the levels were reordered) is
    refused: a design column without a coefficient is read as aliased, as tallyfit writes
    aliased columns by leaving them out.

    >>> import os, tempfile, tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> path = os.path.join(tempfile.mkdtemp(), "m.json")
    >>> m.save(path)
    >>> tf.load(path).predict({"x": [5.0]}).round(6).tolist()
    [5.5]
    """
    filepath = os.fspath(path)
    return results.from_state(model_file.read(filepath), filepath)
