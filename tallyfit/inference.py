"""The distributions of inference as R's summary.lm and summary.glm use them: t and normal
p-values and quantiles, R² and F of least squares, and the information criteria.

Every function works on the columns that were estimated (aliased columns left out); the
results put NaN in the places of aliased columns.
"""

from __future__ import annotations

import math
from typing import Optional

import numpy as np
from scipy import stats

from .frames import FloatArray


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


def information_criteria(aic: float, df: int, nobs: int) -> tuple[float, float, float]:
    """Log-likelihood, AIC and BIC from R's AIC of a glm and the parameters it counts (the
    rank, plus one for an estimated dispersion), as logLik.glm and BIC.

    >>> [round(v, 4) for v in information_criteria(10.0, 2, 6)]
    [-3.0, 10.0, 9.5835]
    """
    log_likelihood = df - aic / 2.0
    return (
        log_likelihood,
        aic,
        -2.0 * log_likelihood + math.log(nobs) * df if nobs > 0 else math.nan,
    )


def linear_aic(rss: float, nobs: int, rank: int, log_weight_sum: float = 0.0) -> float:
    """R's AIC of a least-squares fit (logLik.lm: the Gaussian likelihood at σ² = RSS/N,
    N the rows of positive weight, with the weights' Jacobian), counting σ as a parameter.

    >>> round(linear_aic(2.0, 4, 2), 4)
    14.5789
    """
    if nobs <= 0:
        return math.nan
    log_rss = math.log(rss) if rss > 0.0 else -math.inf
    log_likelihood = 0.5 * (log_weight_sum - nobs * (
        math.log(2.0 * math.pi) + 1.0 - math.log(nobs) + log_rss))
    return -2.0 * log_likelihood + 2.0 * (rank + 1)


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
