"""Regression diagnostics of a fit on in-memory rows, as R's: residuals of every type
(residuals.lm, residuals.glm), the influence measures (hatvalues, cooks.distance, rstandard,
rstudent, from lm.influence), standard errors of predictions (predict's se.fit) and the
one-row summary of the fit (broom's glance).

Residuals have one value per fitted row (the rows the fit read, in their order, rows of
prior weight 0 included; rows dropped for a missing value are not there), as R's under
na.omit. The influence measures are those of the rows of positive prior weight only, as R's
``lm.influence`` drops the rows of weight 0.

The leverages come from the Cholesky factor R of XᵀWX (its columns equilibrated first):
h_i = ‖R⁻ᵀ x_i √w_i‖², a block of rows at a time, over the design the fit keeps (or rebuilt
from its frame), as the sandwich covariances do.

>>> import tallyfit as tf
>>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
>>> m.hatvalues().round(4).tolist()
[0.7, 0.3, 0.3, 0.7]
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Any, Optional

import numpy as np
from scipy import linalg

from . import passes
from .coded import dense_matrix
from .engines import fit_rows_of
from .frames import BoolArray, FloatArray

__all__ = ["RESIDUAL_TYPES", "residuals", "Influence", "influence", "hatvalues",
           "cooks_distance", "rstandard", "rstudent", "prediction_errors", "glance"]

RESIDUAL_TYPES = ("response", "deviance", "pearson", "working")

#: Rows per block of the leverages (a block × k temporary).
_BLOCK_ROWS = 32768
#: R's lm.influence sets leverages this close to 1 to 1 (the row is fitted exactly).
_ONE = 1.0 - 10.0 * np.finfo(float).eps

NEEDS_ROWS = ("{what} need the fitted rows, which a model keeps for a fit on in-memory data "
              "only: fit on the rows in memory (for example data.compute() or a pandas "
              "frame) to get them")


def _is_linear(model: Any) -> bool:
    return bool(model.kind == "lm")


def _require_rows(model: Any, what: str) -> None:
    model._fit(what)  # a loaded model says so
    if getattr(model, "penalties", None):
        raise ValueError(f"{what} are not defined for a penalized model: the ridge penalty "
                         "biases the fit; fit without penalties for diagnostics")
    rows = model.fit_rows
    if rows is None or rows.engine.NAME != "memory" or model.fitted_values is None:
        raise ValueError(NEEDS_ROWS.format(what=what))


def _prior(model: Any) -> FloatArray:
    """The prior weights of the fitted rows (1 where the fit had none)."""
    weights = model.prior_weights
    if weights is None:
        return np.ones(np.asarray(model.fitted_values).shape[0])
    return np.asarray(weights, dtype=np.float64)


def residuals(model: Any, type: Optional[str] = None) -> FloatArray:
    """R's ``residuals(m, type)`` of the fitted rows: `type` "response" (y − μ), "working"
    ((y − μ)/μ'(η)), "pearson" ((y − μ)√w/√V(μ)) or "deviance" (sign(y − μ)√d_i); None is
    R's default, "response" for lm and "deviance" for glm. Rows of weight 0 have deviance
    and Pearson residuals 0, as in R.

    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> residuals(m).round(4).tolist()
    [-0.1, 0.8, -1.3, 0.6]
    """
    linear = _is_linear(model)
    if type is None:
        type = "response" if linear else "deviance"
    if type not in RESIDUAL_TYPES:
        raise ValueError(f"type must be one of {', '.join(map(repr, RESIDUAL_TYPES))}, "
                         f"not {type!r}")
    _require_rows(model, "residuals")
    prior = _prior(model)
    if linear:
        raw = np.asarray(model.residuals, dtype=np.float64)
        if type in ("response", "working"):
            return raw
        return np.asarray(raw * np.sqrt(prior), dtype=np.float64)
    y = np.asarray(model.y, dtype=np.float64)
    mu = np.asarray(model.fitted_values, dtype=np.float64)
    family = model.family
    if type == "response":
        return y - mu
    if type == "working":
        return np.asarray((y - mu) / family.link.mu_eta(model.linear_predictors),
                          dtype=np.float64)
    if type == "pearson":
        return np.asarray((y - mu) * np.sqrt(prior) / np.sqrt(family.variance(mu)),
                          dtype=np.float64)
    deviance = np.maximum(family.dev_resids(y, mu, prior), 0.0)
    return np.asarray(np.sign(y - mu) * np.sqrt(deviance), dtype=np.float64)


@dataclass(frozen=True)
class Influence:
    """R's ``influence(m)`` of the rows of positive prior weight: the leverages `hat`, the
    deviance residuals `dev_res` (√w e for least squares), the Pearson residuals `pear_res`,
    the leave-one-out residual standard errors `sigma`, and the dispersion and rank."""

    hat: FloatArray
    dev_res: FloatArray
    pear_res: FloatArray
    sigma: FloatArray
    dispersion: float
    rank: int


def _fit_design(model: Any) -> tuple[FloatArray, FloatArray, BoolArray]:
    """The estimated columns of the fit's rows, their working weights (prior weights
    included, at the fit's final weights) and which rows have a positive prior weight."""
    fit_rows = model.fit_rows
    rows, _ = fit_rows_of(fit_rows.scan.plan, fit_rows.scan.state, fit_rows.response_family,
                          fit_rows.scan.built)
    estimated = model._estimated
    x = passes.estimated_columns(dense_matrix(rows.x), estimated,
                                 in_place=fit_rows.scan.built is None)
    request = passes.MeatRequest(fit_rows.family, model._coefficients[estimated], estimated,
                                 fit_rows.weights_at, mustart=fit_rows.mustart)
    _, weights = passes.score_factors(request, replace(rows, x=x))
    return x, weights, rows.prior() > 0.0


def leverages(x: FloatArray, weights: FloatArray) -> FloatArray:
    """The hat values h_i = ‖R⁻ᵀ x_i √w_i‖² of √W X (R: its Cholesky factor, RᵀR = XᵀWX,
    with equilibrated columns), a block of rows at a time.

    >>> x = np.array([[1.0, 1.0], [1.0, 2.0], [1.0, 3.0], [1.0, 4.0]])
    >>> leverages(x, np.ones(4)).round(4).tolist()
    [0.7, 0.3, 0.3, 0.7]
    """
    gram = passes.weighted_sums(x, weights, np.zeros(x.shape[0]))[0]
    diagonal = np.diag(gram).copy()
    # Equilibrated columns keep the factor accurate for columns of very different scales.
    scale = np.where(diagonal > 0.0, 1.0 / np.sqrt(np.where(diagonal > 0.0, diagonal, 1.0)),
                     1.0)
    factor = linalg.cholesky(gram * scale[:, None] * scale[None, :], lower=False)
    # h_i = w_i ‖x_i D R⁻¹‖² with D the equilibration: one product of a block of rows by the
    # p × p matrix D R⁻¹ (no scaled copy of the block, no transposed solve).
    inverse = linalg.solve_triangular(factor, np.eye(factor.shape[0]), lower=False)
    mapping = scale[:, None] * inverse
    hat = np.empty(x.shape[0])
    for start in range(0, x.shape[0], _BLOCK_ROWS):
        stop = start + _BLOCK_ROWS
        solved = x[start:stop] @ mapping
        hat[start:stop] = np.einsum("ij,ij->i", solved, solved) * weights[start:stop]
    return hat


def influence(model: Any, what: str = "influence measures") -> Influence:
    """The influence measures of the model (computed once, then kept on the model)."""
    _require_rows(model, what)
    kept = getattr(model, "_influence", None)
    if isinstance(kept, Influence):
        return kept
    x, weights, positive = _fit_design(model)
    hat = leverages(x[positive], weights[positive])
    hat[hat > _ONE] = 1.0
    linear = _is_linear(model)
    dev_res = residuals(model, "deviance")[positive]
    pear_res = dev_res if linear else residuals(model, "pearson")[positive]
    n = int(positive.sum())
    rank = int(model.rank)
    total = float(dev_res @ dev_res)
    with np.errstate(divide="ignore", invalid="ignore"):
        left_out = np.where(hat < 1.0, total - dev_res * dev_res / (1.0 - hat), total)
        sigma = np.sqrt(left_out / (n - rank - 1)) if n - rank - 1 > 0 else \
            np.full(n, math.nan)
    result = Influence(hat, dev_res, pear_res, np.asarray(sigma, dtype=np.float64),
                       float(model.dispersion), rank)
    model._influence = result
    return result


def _finite(values: FloatArray) -> FloatArray:
    """R's ``res[is.infinite(res)] <- NaN``."""
    values = np.asarray(values, dtype=np.float64)
    values[np.isinf(values)] = math.nan
    return values


def hatvalues(model: Any) -> FloatArray:
    """R's ``hatvalues(m)``: the diagonal of the hat matrix of √W X (W the final working
    weights), for the rows of positive prior weight."""
    return influence(model, "hat values").hat.copy()


def cooks_distance(model: Any) -> FloatArray:
    """R's ``cooks.distance(m)``: (r_i / (1 − h_i))² h_i / (φ p), r the Pearson residuals
    (√w e for least squares), φ the dispersion (σ²) and p the rank."""
    infl = influence(model, "Cook's distances")
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = infl.pear_res / (1.0 - infl.hat)
        return _finite(ratio * ratio * infl.hat / (infl.dispersion * infl.rank))


def rstandard(model: Any, type: str = "deviance") -> FloatArray:
    """R's ``rstandard(m, type)``: d_i / √(φ (1 − h_i)), d the deviance residuals (`type`
    "deviance", R's default) or the Pearson residuals ("pearson"); the two agree for lm."""
    if type not in ("deviance", "pearson"):
        raise ValueError(f"type must be 'deviance' or 'pearson', not {type!r}")
    infl = influence(model, "standardized residuals")
    res = infl.dev_res if type == "deviance" else infl.pear_res
    with np.errstate(divide="ignore", invalid="ignore"):
        return _finite(res / np.sqrt(infl.dispersion * (1.0 - infl.hat)))


def rstudent(model: Any) -> FloatArray:
    """R's ``rstudent(m)``: sign(d_i) √(d_i² + h_i r_i² / (1 − h_i)) / σ₍ᵢ₎, with d and r the
    deviance and Pearson residuals and σ₍ᵢ₎ the residual standard error without row i (R
    leaves out the division for two families of fixed dispersion, see
    `Family.rstudent_unscaled`)."""
    infl = influence(model, "studentized residuals")
    with np.errstate(divide="ignore", invalid="ignore"):
        values = np.sign(infl.dev_res) * np.sqrt(
            infl.dev_res * infl.dev_res + infl.hat * infl.pear_res * infl.pear_res
            / (1.0 - infl.hat))
        values = _finite(values)
        if _is_linear(model) or not model.family.rstudent_unscaled:
            values = values / infl.sigma
    return np.asarray(values, dtype=np.float64)


def prediction_errors(matrix: FloatArray, covariance: FloatArray) -> FloatArray:
    """The standard errors √(x_iᵀ V x_i) of the linear predictors of the rows of `matrix`.

    >>> prediction_errors(np.array([[1.0, 2.0]]), np.array([[1.0, 0.0], [0.0, 0.25]]))
    array([1.41421356])
    """
    return np.sqrt(np.maximum(passes.quadratic_forms(matrix, covariance), 0.0))


def glance(model: Any) -> dict[str, list[Any]]:
    """The one-row summary of the fit, broom's ``glance(m)`` with snake_case names: for lm
    nobs, df (the F statistic's numerator degrees of freedom), r_squared, adj_r_squared,
    sigma, statistic, p_value, log_likelihood, aic, bic, deviance (the residual sum of
    squares), df_residual; for a glm nobs, df (the model's degrees of freedom, df_null −
    df_residual), null_deviance, df_null, log_likelihood, aic, bic, deviance, df_residual and
    dispersion."""
    model._fit("the summary of the fit")
    if getattr(model, "penalties", None):
        raise ValueError("the summary of the fit is not defined for a penalized model: the "
                         "ridge penalty biases it; fit without penalties")
    if _is_linear(model):
        statistic, numdf, _ = model.f_statistic
        row: dict[str, Any] = {
            "nobs": model.nobs, "df": numdf, "r_squared": model.r_squared,
            "adj_r_squared": model.adj_r_squared, "sigma": model.sigma,
            "statistic": statistic, "p_value": model.f_p_value,
            "log_likelihood": model.log_likelihood, "aic": model.aic, "bic": model.bic,
            "deviance": model.rss, "df_residual": model.df_resid}
    else:
        row = {
            "nobs": model.nobs, "df": model.df_null - model.df_resid,
            "null_deviance": model.null_deviance, "df_null": model.df_null,
            "log_likelihood": model.log_likelihood, "aic": model.aic, "bic": model.bic,
            "deviance": model.deviance, "df_residual": model.df_resid,
            "dispersion": model.dispersion}
    return {name: [_plain(value)] for name, value in row.items()}


def _plain(value: Any) -> Any:
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return int(value)
    return float(value)


def response_errors(model: Any, eta: FloatArray, link_errors: FloatArray) -> FloatArray:
    """The standard errors of μ by the delta method, |μ'(η)| × se(η), as predict.glm."""
    return np.asarray(np.abs(model.family.link.mu_eta(eta)) * link_errors, dtype=np.float64)

