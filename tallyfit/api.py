"""`lm`, `glm` and `load`: check the arguments, pick the family and the engine, run the
solver on the engine's sums and assemble the result (R's split of glm and glm.fit)."""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Mapping
from typing import Any, Optional, Union

import numpy as np

from . import _native, anova, arguments, inference, model_file, results, solvers
from .engines import engine_for
from .families import DEFAULT_FAMILY, PENALIZED_NATIVE_KINDS, Family, family_from, glm_family
from .progress import FitProgress
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


def _linear_measures(plan: Any, sums: Any, fit: solvers.LeastSquares,
                     coefficients: np.ndarray) -> tuple[float, float, Any, Any]:
    """rss, tss (= mss + rss, R's summary.lm), the residuals and the fitted values."""
    if not sums.weighted:
        residuals = fitted = None
        if sums.y is not None:
            fitted = fit.fitted
            residuals = sums.y - fitted
            rss = float(residuals @ residuals)
            centred = sums.y - sums.y.mean() if plan.has_intercept else sums.y
            return rss, float(centred @ centred), residuals, fitted
        rss = max(float(sums.yty - fit.coefficients @ sums.xty), 0.0)
        tss = float(sums.yty)
        if plan.has_intercept and sums.n > 0:
            tss = max(tss - sums.y_sum ** 2 / sums.n, 0.0)
        return rss, tss, None, None
    beta = fit.coefficients
    if sums.y is not None:
        # √W-scaled rows: residuals and fitted values are unscaled where w > 0, and the fitted
        # values of the rows of weight 0 come from the unscaled design.
        scaled_residuals = sums.y - fit.fitted
        rss = float(scaled_residuals @ scaled_residuals)
        weights = np.ones(sums.y.shape[0]) if sums.weights is None else sums.weights
        offset = 0.0 if sums.offset is None else sums.offset
        root = np.sqrt(weights)
        with np.errstate(divide="ignore", invalid="ignore"):
            linear = np.where(root > 0.0, fit.fitted / root, np.nan)
        if sums.zero_weight_rows is not None:
            # The unweighted design rows, in the data's units as `coefficients` (√W X is 0
            # there, whatever the column scales).
            linear[root == 0.0] = sums.zero_weight_rows @ coefficients
        fitted = linear + offset
        assert sums.response is not None
        residuals = sums.response - fitted  # rows of weight 0 too, as R's lm.wfit
        mean = float(weights @ fitted) / float(weights.sum())
        centred = fitted - mean if plan.has_intercept else fitted
        mss = float(weights @ (centred * centred))
        return rss, mss + rss, residuals, fitted
    rss = max(float(sums.yty - 2.0 * beta @ sums.xty + beta @ sums.gram @ beta), 0.0)
    weighted_sum = float(beta @ sums.x_weight) + sums.offset_sum
    square_sum = float(beta @ sums.gram @ beta + 2.0 * beta @ sums.x_offset) + \
        sums.offset_square_sum
    mss = square_sum - weighted_sum ** 2 / sums.weight_sum if plan.has_intercept \
        else square_sum
    return rss, max(mss, 0.0) + rss, None, None


def lm(formula: str, data: object, weights: object = None, offset: object = None,
       progress: Optional[bool] = None) -> LinearModel:
    """Fits a linear model by least squares, as R's ``lm(formula, data, weights, offset)``.

    `data` is a pandas or polars DataFrame, a pyarrow Table, a dict of equal-length sequences
    or a Dask DataFrame. Rows with a missing value in a used column are dropped (R's na.omit).
    `weights` (prior weights: weighted least squares) and `offset` (a known part of the
    linear predictor, added to the formula's ``offset()`` terms) are column names of `data`
    or numbers, one per row; rows of weight 0 are not counted as observations.

    `progress` shows each pass on stderr (`tallyfit.progress`): None shows it for streamed
    and Dask data and large in-memory fits, unless $CI is set or stderr is no terminal. A
    Ctrl-C raises `FitInterrupted` (a KeyboardInterrupt) naming the pass it stopped in.

    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> round(m.coefficients["x"], 6), round(m.std_errors["x"], 6)
    (1.1, 0.519615)
    """
    text = _formula_text(formula)
    engine = engine_for(data)
    hook = FitProgress.for_fit("lm", engine.NAME, progress)
    with hook.running("scan"):
        scan = engine.scan(text, data, None, progress=hook,
                           **_row_arguments(engine, weights, offset))
        hook.stage("least-squares pass")
        sums = engine.least_squares(scan)
    plan = scan.plan
    aliased = solvers.find_aliased(sums.gram)
    keep = ~aliased
    sums.restrict(keep)
    fit = solvers.least_squares(sums.gram, sums.xty, sums.matrix, sums.y)
    beta = _unscale(fit.coefficients, sums.scales)
    rss, tss, residuals, fitted = _linear_measures(plan, sums, fit, beta)
    nobs = sums.n_weighted if sums.weighted else sums.n
    statistics = FitStatistics(
        nobs=nobs, n_missing=sums.n_missing,
        unscaled=_unscale_covariance(fit.unscaled_covariance, sums.scales),
        rss=rss, tss=tss, residuals=residuals, fitted_values=fitted,
        aic=inference.linear_aic(rss, nobs, int(keep.sum()), sums.log_weight_sum))
    model = LinearModel(plan=plan, formula=text,
                        coefficients=inference.scatter(beta, keep, len(plan.column_names)),
                        aliased=aliased, family=family_from("gaussian"), fit=statistics,
                        native_namespace=scan.namespace)
    # In memory, the prior weights of the fitted rows (None without weights), as R's
    # weights(m), which the summary's weighted residuals read.
    model.prior_weights = sums.weights
    gaussian = family_from("gaussian")
    model.fit_rows = results.FitRows(engine, scan, None, gaussian, rows=sums.n)
    _set_record(model, engine, scan)
    # What anova and drop1 refit the same data with: R's nrow of the model matrix counts
    # the rows of weight 0.
    anova.keep_refit(model, lm, data, weights, offset, sums.n)
    return model


def _row_arguments(engine: Any, weights: object, offset: object) -> dict[str, Any]:
    """The checked `weights=`/`offset=` arguments; per-row numbers are for in-memory data."""
    checked = {"weights": arguments.check_row_values("weights", weights),
               "offset": arguments.check_row_values("offset", offset)}
    for what, value in checked.items():
        if isinstance(value, np.ndarray) and engine.NAME != "memory":
            raise ValueError(
                f"{what} as numbers is offered for in-memory data; on {engine.NAME} data give "
                f"the name of a column that holds them")
    return {what: value for what, value in checked.items() if value is not None}


def _null_deviance(source: Any, family: Family, start: Any, has_intercept: bool,
                   final: Any, iterations: int) -> float:
    """glm's null deviance: of the weighted mean without an offset (or at g⁻¹(offset)
    without an intercept) from the final pass; with an offset and an intercept, of the fit of
    the intercept alone with the offset, as R's glm refits it."""
    if not has_intercept or not math.isnan(final.null_deviance):
        return float(final.null_deviance)
    link = family.link
    beta = np.array([float(link.link(np.array([start.weighted_mean]))[0])])
    if not math.isfinite(beta[0]):
        beta = np.zeros(1)
    loop = solvers.irls_loop(source.null_pass, beta, math.inf, max(iterations, 100),
                             solvers.r_converged(1e-14), halving=True)
    estimate, at = solvers.polished(loop, solvers.solve_step, source.null_pass)
    return float((at if at is not None else source.null_pass(estimate)).deviance)


def glm(
    formula: str,
    data: object,
    family: Union[str, Family, None] = None,
    link: Optional[str] = None,
    weights: object = None,
    offset: object = None,
    penalties: Optional[Mapping[PenaltyKey, float]] = None,
    max_iterations: int = 25,
    convergence_delta: float = 1e-8,
    progress: Optional[bool] = None,
    trace: bool = False,
) -> GeneralizedLinearModel:
    """Fits a generalized linear model, as R's ``glm(formula, data, family = ...)``, of a
    family of `tallyfit.families` (by R's name, `families.FAMILY_NAMES`; without one,
    `families.DEFAULT_FAMILY`) with its default link or `link` (as R names it). The family
    checks the response (see its ``initialize`` and ``prepare``): a 0/1 response may also be
    boolean, a two-level category, a proportion with `weights` the numbers of trials, or
    ``cbind(successes, failures)``.

    `weights` (prior weights) and `offset` (added to the formula's ``offset()`` terms) are
    column names of `data` or numbers, one per row. `penalties` maps a column name, or a
    (variable, level) pair of a categorical variable, to a ridge lambda; a penalized model
    reports estimates and penalties but no inference.

    `progress` is as for `tallyfit.lm` (the pass, IRLS iteration k of at most
    `max_iterations`, the deviance's change). `trace` prints R's lines of ``glm.control(trace
    = TRUE)``, one per iteration of R's loop, to stdout (not for a penalized fit; with an
    offset, R's lines of the null model's fit follow for in-memory data).

    >>> import tallyfit as tf
    >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]}, penalties={"x": 1.0})
    >>> round(g.coefficients["x"], 4)
    0.7671
    >>> counts = {"x": [1.0, 2.0, 3.0, 4.0], "y": [2.0, 3.0, 6.0, 7.0]}
    >>> round(tf.glm("y ~ x", counts, family="poisson").coefficients["x"], 6)
    0.419618
    """
    return fit_glm(formula, data, family, link, weights, offset, penalties, max_iterations,
                   convergence_delta, progress=progress, trace=trace)


def fit_glm(formula: str, data: object, family: Union[str, Family, None], link: Optional[str],
            weights: object, offset: object, penalties: Optional[Mapping[PenaltyKey, float]],
            max_iterations: int, convergence_delta: float,
            eta_start: Optional[np.ndarray] = None,
            progress: Union[bool, None, FitProgress] = None,
            trace: bool = False, refit_step: bool = True) -> GeneralizedLinearModel:
    """`glm`, and for in-memory data a start from η (R's ``etastart``, one value per fitted
    row) in place of the family's start μ; `progress` may be the hook of a fit that runs
    this one (glm_nb's); without `refit_step` the estimate is where R's test stopped (see
    `solvers.irls`)."""
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
    hook = progress if isinstance(progress, FitProgress) else FitProgress.for_fit(
        "glm", engine.NAME, progress, trace)
    with hook.running("scan"):
        scan = engine.scan(text, data, chosen, progress=hook,
                           **_row_arguments(engine, weights, offset))
    plan = scan.plan
    records = arguments.penalty_records(checked, plan) if checked else None
    ridge = _native.penalty_diagonal(records, plan.column_names) if records else None
    start_from = {} if eta_start is None else {"eta_start": eta_start}
    hook.trace = hook.trace and ridge is None  # R's trace is of glm.fit's loop
    with hook.running("start pass"), solvers.blas_on_this_thread(), \
            engine.irls_source(scan, chosen, penalized=ridge is not None, **start_from) as source:
        start = source.start
        weight = 1.0
        if ridge is not None:
            zero = np.zeros(1)
            weight = float(chosen.link.mu_eta(zero)[0] ** 2
                           / chosen.variance(chosen.link.inverse(zero))[0])
        aliased = solvers.find_aliased(start.rank_matrix(penalized=ridge is not None), ridge,
                                       weight)
        keep = ~aliased
        source.restrict(keep)
        if ridge is not None:
            fit = solvers.ridge_irls(source, ridge[keep], iterations, delta, hook)
        else:
            fit = solvers.irls(source, chosen, iterations, delta, hook, refit_step)
        hook.stage("final pass")
        with_offset = plan.offset is not None or bool(plan.model_formula.offsets)
        null_mu = None if (plan.has_intercept and with_offset) else start.weighted_mean
        final = source.final(fit.coefficients, null_mu if plan.has_intercept else None,
                             null_by_offset=not plan.has_intercept, weights_at=fit.weights_at)
        if plan.has_intercept and math.isnan(final.null_deviance):
            hook.stage("null deviance fit")
        null_deviance = _null_deviance(source, chosen, start, plan.has_intercept, final,
                                       iterations)
        scales = source.scales
        persisted = getattr(source, "persisted", None)
        rows = source.rows()
        in_memory = None
        if rows is not None:
            eta = rows.eta(fit.coefficients)
            in_memory = (eta, chosen.link.inverse(eta), rows.prior(), rows.y)
            if hook.trace and plan.has_intercept and with_offset:  # R traces its null fit
                solvers.trace_null_fit(chosen, rows, in_memory[1], iterations, delta,
                                       FitProgress("glm", engine.NAME, trace=True))
    beta = _unscale(fit.coefficients, scales)
    unscaled = None if fit.unscaled_covariance is None else _unscale_covariance(
        fit.unscaled_covariance, scales)
    n = start.n_weighted
    rank = int(keep.sum())
    statistics = FitStatistics(
        nobs=n, n_missing=start.n_missing, unscaled=unscaled,
        deviance=final.deviance, null_deviance=null_deviance,
        df_null=n - (1 if plan.has_intercept else 0), pearson=final.pearson,
        aic=chosen.aic_from_sums(final.aic_rows, final.deviance, start.n,
                                 start.log_weight_sum, start.weight_sum) + 2.0 * rank,
        iterations=None if ridge is not None else fit.iterations)
    model = GeneralizedLinearModel(
        plan=plan, formula=text,
        coefficients=inference.scatter(beta, keep, len(plan.column_names)),
        aliased=aliased, family=chosen, penalties=dict(checked) if checked else None,
        fit=statistics, native_namespace=scan.namespace)
    model.link_given = link is not None
    weights_at = fit.weights_at
    if isinstance(weights_at, np.ndarray):
        weights_at = _unscale(weights_at, scales)  # the estimate in the data's units
    # Weights at the start (one iteration from a given η) are those at that η.
    mustart = None if eta_start is None else chosen.link.inverse(eta_start)
    model.fit_rows = results.FitRows(engine, scan, chosen, chosen, weights_at, start.n,
                                     mustart)
    if in_memory is not None:
        (model.linear_predictors, model.fitted_values, model.prior_weights,
         model.y) = in_memory
    _set_record(model, engine, scan, iterations=fit.iterations, persisted=persisted)
    if ridge is None:
        anova.keep_refit(model, functools.partial(
            _refit_glm, family=chosen, max_iterations=iterations, convergence_delta=delta),
            data, weights, offset, start.n)
    return model


def _refit_glm(formula: str, data: object, weights: object, offset: object, family: Family,
               max_iterations: int, convergence_delta: float) -> GeneralizedLinearModel:
    return fit_glm(formula, data, family, None, weights, offset, None, max_iterations,
                   convergence_delta)


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
