"""Inference as R's summary.lm and summary.glm compute it: covariance, standard errors, test
statistics, p-values, confidence intervals, R², F, deviances, log-likelihood, AIC and BIC.

Every function works on the columns that were estimated (aliased columns left out); the model
classes put NaN in the places of aliased columns.
"""

from __future__ import annotations

import math
from typing import Optional

import numpy as np
from scipy import stats

from . import _native
from .frames import FloatArray


def unscaled_covariance(information: FloatArray) -> FloatArray:
    """The inverse of XᵀX (or XᵀWX), equilibrated to a unit diagonal first so that a badly
    scaled design (Longley's) loses no digits to scaling; the core's LU inverse does the rest.

    >>> unscaled_covariance(np.array([[4.0, 2.0], [2.0, 2.0]])).round(6).tolist()
    [[0.5, -0.5], [-0.5, 1.0]]
    """
    information = np.asarray(information, dtype=np.float64)
    if information.shape[0] == 0:
        return np.zeros((0, 0))
    scale = 1.0 / np.sqrt(np.diag(information))
    inverse = _native.inverse(information * scale[:, None] * scale[None, :])
    return np.asarray(inverse * scale[:, None] * scale[None, :], dtype=np.float64)


def standard_errors(covariance: FloatArray) -> FloatArray:
    return np.sqrt(np.diag(covariance))


def t_p_values(statistics: FloatArray, df: float) -> FloatArray:
    """Two-sided p-values of Student t statistics (NaN without residual degrees of freedom)."""
    if df <= 0:
        return np.full_like(statistics, np.nan)
    return np.asarray(2.0 * stats.t.sf(np.abs(statistics), df), dtype=np.float64)


def z_p_values(statistics: FloatArray) -> FloatArray:
    return np.asarray(2.0 * stats.norm.sf(np.abs(statistics)), dtype=np.float64)


def t_quantile(level: float, df: float) -> float:
    return float(stats.t.ppf(0.5 + level / 2.0, df)) if df > 0 else math.nan


def z_quantile(level: float) -> float:
    return float(stats.norm.ppf(0.5 + level / 2.0))


def check_level(level: object) -> float:
    """A confidence level strictly between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating, np.integer)):
        raise ValueError(f"level must be a number between 0 and 1, not {level!r}")
    value = float(level)
    if not 0.0 < value < 1.0:
        raise ValueError(f"level must be between 0 and 1 (exclusive), not {level!r}")
    return value


def linear_fit_measures(
    rss: float, tss: float, nobs: int, rank: int, has_intercept: bool
) -> dict[str, object]:
    """sigma, R², adjusted R², F and its p-value as summary.lm computes them; R² and F are
    taken about the mean with an intercept and about zero without."""
    df_resid = nobs - rank
    intercept = 1 if has_intercept else 0
    sigma = math.sqrt(rss / df_resid) if df_resid > 0 else math.nan
    numdf = rank - intercept
    r_squared = adj = f_value = f_p = math.nan
    if numdf == 0:
        r_squared = adj = 0.0
    elif tss > 0:
        r_squared = 1.0 - rss / tss
        if df_resid > 0:
            adj = 1.0 - (1.0 - r_squared) * (nobs - intercept) / df_resid
            f_value = ((tss - rss) / numdf) / (rss / df_resid) if rss > 0 else math.inf
            f_p = float(stats.f.sf(f_value, numdf, df_resid))
    return {
        "sigma": sigma,
        "r_squared": r_squared,
        "adj_r_squared": adj,
        "f_statistic": (f_value, float(numdf), float(df_resid)),
        "f_p_value": f_p,
    }


def binomial_deviance(response: FloatArray, linear_predictor: FloatArray) -> float:
    """Deviance of 0/1 responses at the linear predictor η, exactly (no clamping of μ):
    2 Σ log(1 + e^(-sη)) with s = +1 for y = 1 and -1 for y = 0."""
    signed = np.where(response > 0.5, -linear_predictor, linear_predictor)
    return float(2.0 * np.logaddexp(0.0, signed, out=signed).sum())


def binomial_null_deviance(successes: float, n: int, has_intercept: bool) -> float:
    """Deviance of n 0/1 responses with `successes` ones under the model with the intercept
    alone (μ = successes / n), or under μ = 0.5 for a model without intercept, as glm reports
    it.

    >>> round(binomial_null_deviance(3.0, 6, True), 6)
    8.317766
    """
    if not has_intercept:
        return float(2.0 * n * math.log(2.0))
    deviance = 0.0
    for count in (successes, n - successes):
        if count > 0:
            deviance -= 2.0 * count * math.log(count / n)
    return deviance


def information_criteria(deviance: float, rank: int, nobs: int) -> tuple[float, float, float]:
    """Log-likelihood, AIC and BIC of a binomial model with 0/1 responses."""
    log_likelihood = -deviance / 2.0
    return (
        log_likelihood,
        -2.0 * log_likelihood + 2.0 * rank,
        -2.0 * log_likelihood + math.log(nobs) * rank if nobs > 0 else math.nan,
    )


def scatter(values: FloatArray, estimated: np.ndarray, size: int) -> FloatArray:
    """The estimated columns' values placed among NaNs for the aliased ones."""
    full = np.full(size, np.nan)
    full[estimated] = values
    return full


def scatter_matrix(values: Optional[FloatArray], estimated: np.ndarray, size: int) -> FloatArray:
    full = np.full((size, size), np.nan)
    if values is not None:
        full[np.ix_(estimated, estimated)] = values
    return full
