"""The sums one block of rows contributes to a fit, for any family: the start of R's IRLS
loop, one pass at β (XᵀWX, XᵀWz and the deviance), and the measures at the final β.

A family with a native kernel (`Family.native_kernel`) has its pass computed by
`_native.irls_pass`; any other family by the NumPy pass here: η = Xβ, μ = g⁻¹(η),
w = μ'(η)² / V(μ), z = η + (y − μ) / μ'(η). Every engine calls these on its blocks and adds
the results up, so a fit is the same whatever holds the rows.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import _native
from .families import Family
from .frames import BoolArray, FloatArray

# The native kernel clamps μ to [1e-9, 1 − 1e-9] in the log-likelihood it returns.
KERNEL_CLAMP = 1e-9


@dataclass
class StartSums:
    """XᵀX (for the aliasing rule), XᵀW₀X (None when every start weight is the family's
    constant, so that it is that multiple of XᵀX), XᵀW₀z₀ and the deviance at R's start μ₀,
    and the counts: rows, rows dropped, Σy and Σy²."""

    gram: FloatArray
    information: Optional[FloatArray]
    right: FloatArray
    deviance: float
    n: int
    n_missing: int
    y_sum: float
    y_square_sum: float

    def __add__(self, other: "StartSums") -> "StartSums":
        return StartSums(
            self.gram + other.gram,
            None if self.information is None or other.information is None
            else self.information + other.information,
            self.right + other.right, self.deviance + other.deviance, self.n + other.n,
            self.n_missing + other.n_missing, self.y_sum + other.y_sum,
            self.y_square_sum + other.y_square_sum)

    def restrict(self, keep: BoolArray) -> None:
        """Keeps the sums of the estimated columns only (in place)."""
        self.gram = self.gram[np.ix_(keep, keep)]
        if self.information is not None:
            self.information = self.information[np.ix_(keep, keep)]
        self.right = self.right[keep]


def start_sums(family: Family, x: FloatArray, y: FloatArray, n_missing: int,
               gram: Optional[FloatArray] = None) -> StartSums:
    """The block's start sums (`gram`, XᵀX, when the caller has formed it already)."""
    if gram is None:
        gram = _native.gram(x)[0]
    z, weights, deviance = family.start(y)
    if weights is None:
        assert family.constant_start_weight is not None
        information = None
        right = family.constant_start_weight * (x.T @ z)
    else:
        information = _native.gram(x * np.sqrt(weights)[:, None])[0]
        right = x.T @ (weights * z)
    return StartSums(gram, information, np.asarray(right, dtype=np.float64),
                     deviance, int(y.shape[0]), n_missing, float(y.sum()),
                     float(y @ y))


def pass_at(family: Family, x: FloatArray, y: FloatArray,
            beta: FloatArray) -> tuple[float, FloatArray, FloatArray]:
    """The block's deviance, XᵀWX and XᵀWz at β. The native kernel's deviance is −2 × its
    log-likelihood, whose μ is clamped (see `KERNEL_CLAMP`)."""
    if family.native_kernel is not None:
        log_likelihood, information, right = _native.irls_pass(x, y, beta, "gram")
        assert information is not None and right is not None
        return -2.0 * log_likelihood, information, right
    link = family.link
    eta = x @ beta
    mu = link.inverse(eta)
    weights = family.working_weights(eta, mu)
    z = eta + (y - mu) / link.mu_eta(eta)
    information = _native.gram(x * np.sqrt(weights)[:, None])[0]
    return family.deviance(y, mu), information, np.asarray(x.T @ (weights * z))


def kernel_clamped(family: Family, mu: FloatArray) -> bool:
    """Whether the pass's deviance at μ is the kernel's clamped one, not the exact one."""
    return family.native_kernel is not None and bool(
        np.any(mu < KERNEL_CLAMP) or np.any(mu > 1.0 - KERNEL_CLAMP))


def score(family: Family, x: FloatArray, y: FloatArray, beta: FloatArray) -> FloatArray:
    """The exact gradient of the log-likelihood, XᵀW(z − η), from the rows."""
    eta = x @ beta
    mu = family.link.inverse(eta)
    return np.asarray(x.T @ (family.score_ratio(eta, mu) * (y - mu)), dtype=np.float64)


@dataclass
class FinalSums:
    """At the final β: the deviance (exact), the Pearson χ², the row part of the AIC."""

    deviance: float
    pearson: float
    aic_rows: float

    def __add__(self, other: "FinalSums") -> "FinalSums":
        return FinalSums(self.deviance + other.deviance, self.pearson + other.pearson,
                         self.aic_rows + other.aic_rows)


def final_sums(family: Family, x: FloatArray, y: FloatArray, beta: FloatArray,
               eta: Optional[FloatArray] = None) -> FinalSums:
    if eta is None:
        eta = np.asarray(x @ beta, dtype=np.float64)
    deviance = family.deviance_at(y, eta.copy())
    if not family.dispersion_estimated and not family.aic_needs_rows:
        return FinalSums(deviance, math.nan, math.nan)  # neither is needed: skip the pass
    mu = family.link.inverse(eta)
    residual = y - mu
    with np.errstate(divide="ignore", invalid="ignore"):
        pearson = float((residual * residual / family.variance(mu)).sum())
    return FinalSums(deviance, pearson, family.aic_rows(y, mu))
