"""Solving the fits: least squares and the logistic IRLS loop, as R's lm.fit and glm.fit.

Both start from XᵀX, formed once by the native Gram kernel and shared with the aliasing check.
A well-conditioned system is solved by a Cholesky factorization of the equilibrated normal
equations (refined with one residual step when it is only moderately conditioned), which is
as accurate as R's QR there and reads X once. Beyond a condition number of about 1e8 of the
equilibrated XᵀX the normal equations would lose digits R keeps, so least squares falls back
to a Householder QR of X itself and the IRLS steps are computed from the exact gradient.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np
from scipy import linalg
from scipy.linalg import lapack

from . import _native
from .errors import ConvergenceWarning, SeparationWarning
from .frames import FloatArray

# Reciprocal condition numbers of the equilibrated XᵀX: above the first the normal equations
# are exact to working precision, between the two one residual step restores the digits the
# squaring lost, below the second they are not trusted.
_REFINE_RCOND = 1e-4
_NORMAL_EQUATIONS_RCOND = 1e-8
# Gram diagonals outside this range have overflowed or lost digits to underflow.
_SMALLEST_DIAGONAL = 1e-280
_LARGEST_DIAGONAL = 1e280
# R's binomial()$linkinv-based check in glm.fit: 10 * .Machine$double.eps.
_SEPARATION_EPS = 10 * np.finfo(np.float64).eps


@dataclass
class Equilibrated:
    """The Cholesky factor of D A D with D = diag(A)^(-1/2), and its reciprocal condition."""

    scale: FloatArray
    factor: FloatArray
    rcond: float

    def solve(self, right: FloatArray) -> FloatArray:
        scaled = linalg.cho_solve((self.factor, False), self.scale * right)
        return np.asarray(self.scale * scaled, dtype=np.float64)

    def inverse(self) -> FloatArray:
        inverse, info = lapack.dpotri(self.factor, lower=0)
        if info != 0:
            raise np.linalg.LinAlgError("the information matrix is singular")
        inverse = np.triu(inverse) + np.triu(inverse, 1).T
        return np.asarray(inverse * self.scale[:, None] * self.scale[None, :], dtype=np.float64)


def equilibrate(a: FloatArray) -> Optional[Equilibrated]:
    """The factorization of a symmetric positive definite matrix scaled to a unit diagonal, or
    None when it is not numerically positive definite.

    >>> round(equilibrate(np.array([[4.0, 2.0], [2.0, 2.0]])).rcond, 6)
    0.171573
    """
    diagonal = np.diag(a)
    if a.shape[0] == 0:
        return Equilibrated(np.zeros(0), np.zeros((0, 0)), 1.0)
    if not (np.all(np.isfinite(diagonal)) and np.all(diagonal > 0.0)):
        return None
    scale = 1.0 / np.sqrt(diagonal)
    scaled = a * scale[:, None] * scale[None, :]
    factor, info = lapack.dpotrf(scaled, lower=0, clean=1)
    if info != 0:
        return None
    norm = float(np.abs(scaled).sum(axis=0).max())
    rcond, info = lapack.dpocon(factor, norm, uplo="U")
    return Equilibrated(scale, factor, float(rcond) if info == 0 else 0.0)


def column_scales(gram: FloatArray, matrix: FloatArray) -> Optional[FloatArray]:
    """Powers of two that bring every column of `matrix` whose squared norm over- or underflows
    (the diagonal of its Gram matrix) near unit size, or None when no column needs one. Scaling
    by a power of two is exact, so the scaled fit is the same fit in other units."""
    diagonal = np.diag(gram)
    # A zero diagonal is a zero column or one whose squares all underflowed.
    extreme = ~np.isfinite(diagonal) | (diagonal > _LARGEST_DIAGONAL) | (
        diagonal < _SMALLEST_DIAGONAL)
    if not extreme.any():
        return None
    scales = np.ones(gram.shape[0])
    for j in np.flatnonzero(extreme):
        largest = float(np.max(np.abs(matrix[:, j]))) if matrix.shape[0] else 0.0
        if largest > 0.0 and math.isfinite(largest):
            scales[j] = math.ldexp(1.0, -math.frexp(largest)[1])
    return scales


@dataclass
class LeastSquares:
    """Coefficients and (XᵀX)⁻¹ of the columns given, and the fitted values."""

    coefficients: FloatArray
    unscaled_covariance: FloatArray
    fitted: FloatArray


def least_squares(matrix: FloatArray, y: FloatArray, gram: FloatArray) -> LeastSquares:
    """Least squares of y on the columns of `matrix` (full column rank, aliased columns already
    removed), with `gram` = XᵀX.

    >>> x = np.array([[1.0, 1.0], [1.0, 2.0], [1.0, 3.0], [1.0, 4.0]])
    >>> y = np.array([1.0, 3.0, 2.0, 5.0])
    >>> least_squares(x, y, x.T @ x).coefficients.round(6).tolist()
    [0.0, 1.1]
    """
    system = equilibrate(gram)
    if system is None or system.rcond < _NORMAL_EQUATIONS_RCOND:
        return _least_squares_qr(matrix, y)
    beta = system.solve(matrix.T @ y)
    fitted = np.asarray(matrix @ beta, dtype=np.float64)
    if system.rcond < _REFINE_RCOND:
        beta = beta + system.solve(matrix.T @ (y - fitted))
        fitted = np.asarray(matrix @ beta, dtype=np.float64)
    return LeastSquares(beta, system.inverse(), fitted)


def _least_squares_qr(matrix: FloatArray, y: FloatArray) -> LeastSquares:
    p = matrix.shape[1]
    norms = np.sqrt(np.einsum("ij,ij->j", matrix, matrix))
    scale = np.where(norms > 0.0, 1.0 / np.where(norms > 0.0, norms, 1.0), 1.0)
    q, r = linalg.qr(matrix * scale, mode="economic")
    beta = scale * linalg.solve_triangular(r, q.T @ y)
    r_inverse = linalg.solve_triangular(r, np.eye(p))
    unscaled = (r_inverse @ r_inverse.T) * scale[:, None] * scale[None, :]
    fitted = np.asarray(matrix @ beta, dtype=np.float64)
    return LeastSquares(np.asarray(beta, dtype=np.float64), unscaled, fitted)


@dataclass
class IrlsFit:
    """The estimate, XᵀWX and the linear predictor at it, the iterations R's convergence test
    counts, and whether that test held within the limit."""

    coefficients: FloatArray
    information: FloatArray
    unscaled_covariance: FloatArray
    linear_predictor: FloatArray
    iterations: int
    converged: bool


class _NewtonSystem:
    """Solves for the next IRLS estimate from one pass's XᵀWX and right-hand side."""

    def __init__(self, matrix: FloatArray, y: FloatArray) -> None:
        self.matrix = matrix
        self.y = y

    def next_estimate(self, beta: FloatArray, information: FloatArray,
                      right: FloatArray) -> FloatArray:
        system = equilibrate(information)
        if system is None or system.rcond >= _NORMAL_EQUATIONS_RCOND:
            return solve_step(beta, information, right)
        # Ill-conditioned: the step from the exact gradient Xᵀ(y − μ), not the full solve of
        # XᵀWX β = XᵀWz, whose error is the condition number times β's own size.
        mu = _expit(self.matrix @ beta)
        return np.asarray(beta + system.solve(self.matrix.T @ (self.y - mu)))


def _expit(eta: FloatArray) -> FloatArray:
    from scipy.special import expit

    return np.asarray(expit(eta), dtype=np.float64)


PassAt = Callable[[FloatArray], tuple[float, FloatArray, FloatArray]]
StepFrom = Callable[[FloatArray, FloatArray, FloatArray], FloatArray]

# R's working response at its start μ = (y + 1/2)/2 for 0/1 responses is ±(log 3 + 4/3), so
# the first step's right-hand side is this multiple of Xᵀ(y − 1/2).
_START_RESPONSE = math.log(3.0) + 4.0 / 3.0
_START_WEIGHT = 0.1875  # μ(1 − μ) at μ = 1/4 or 3/4


@dataclass
class IrlsLoop:
    """Where R's loop stopped: the estimate, the iterations, whether its test held, and XᵀWX
    and the right-hand side of the next Newton step from the estimate."""

    coefficients: FloatArray
    iterations: int
    converged: bool
    information: Optional[FloatArray]
    right: Optional[FloatArray]


def solve_step(beta: FloatArray, information: FloatArray, right: FloatArray) -> FloatArray:
    """The next IRLS estimate: XᵀWX β = XᵀWz by the equilibrated Cholesky factorization."""
    system = equilibrate(information)
    if system is None:
        return np.asarray(np.linalg.lstsq(information, right, rcond=None)[0])
    return system.solve(right)


def irls_loop(run_pass: PassAt, gram: FloatArray, centred_right: FloatArray, n: int,
              max_iterations: int, epsilon: float, step: StepFrom = solve_step,
              deviance_at: Optional[Callable[[FloatArray], float]] = None) -> IrlsLoop:
    """R's glm.fit loop for 0/1 responses over any source of passes.

    `run_pass(beta)` returns the log-likelihood, XᵀWX and XᵀWz at beta summed over all rows;
    `gram` is XᵀX and `centred_right` Xᵀ(y − 1/2), which give R's first step from
    μ = (y + 1/2)/2; `n` counts the rows. Converged when |dev − dev_old| / (|dev| + 0.1) <
    epsilon, dev_old starting at the deviance of R's start. `deviance_at`, when given,
    computes the exact deviance in place of the pass's clamped log-likelihood.
    """
    beta = solve_step(np.zeros(gram.shape[0]), gram * _START_WEIGHT,
                      2.0 * _START_RESPONSE * _START_WEIGHT * centred_right)
    deviance_old = 2.0 * n * math.log(4.0 / 3.0)
    information: Optional[FloatArray] = None
    right: Optional[FloatArray] = None
    for iteration in range(1, max_iterations + 1):
        if information is not None and right is not None:
            beta = step(beta, information, right)
        log_likelihood, information, right = run_pass(beta)
        deviance = deviance_at(beta) if deviance_at is not None else -2.0 * log_likelihood
        if abs(deviance - deviance_old) / (abs(deviance) + 0.1) < epsilon:
            return IrlsLoop(beta, iteration, True, information, right)
        deviance_old = deviance
    return IrlsLoop(beta, max_iterations, False, information, right)


def polished(loop: IrlsLoop, step: StepFrom = solve_step) -> FloatArray:
    """The estimate one Newton step past where R's test stopped (the optimum to working
    precision); the estimate itself when the test did not hold."""
    if not loop.converged or loop.information is None or loop.right is None:
        return loop.coefficients
    return step(loop.coefficients, loop.information, loop.right)


def warn_not_converged(max_iterations: int, epsilon: float) -> None:
    warnings.warn(
        f"glm.fit: algorithm did not converge in {max_iterations} iterations "
        f"(convergence_delta={epsilon}): raise max_iterations, or look for a predictor "
        "that separates the outcomes", ConvergenceWarning, stacklevel=4)


def _exact_deviance(matrix: FloatArray, y: FloatArray, beta: FloatArray) -> float:
    eta = matrix @ beta
    signed = np.where(y > 0.5, -eta, eta)
    return float(2.0 * np.logaddexp(0.0, signed).sum())


# The native pass clamps probabilities to [1e-9, 1 - 1e-9] in its log-likelihood.
_PASS_CLAMP = 1e-9


def logistic_irls(matrix: FloatArray, y: FloatArray, gram: FloatArray, max_iterations: int,
                  epsilon: float) -> IrlsFit:
    """Logistic regression of 0/1 responses in memory by R's glm.fit (`irls_loop`), the
    estimate taken one Newton step past where R's test stops, which puts it at the optimum to
    working precision (R's own stops about epsilon away); the iteration count is R's.

    The deviance of the test comes from the native pass, whose probabilities are clamped near
    0 and 1; when the final probabilities reach the clamp (separated or nearly separated data,
    where no optimum exists) the loop is run again on the exact deviance, and its estimate is
    kept where R's test stops it, as R reports it.

    Warns (ConvergenceWarning) when the test does not hold within `max_iterations` and
    (SeparationWarning) when fitted probabilities are 0 or 1 to working precision, as R does.
    """
    newton = _NewtonSystem(matrix, y)

    def run_pass(beta: FloatArray) -> tuple[float, FloatArray, FloatArray]:
        log_likelihood, information, right = _native.irls_pass(matrix, y, beta, "gram")
        assert information is not None and right is not None
        return log_likelihood, information, right

    centred_right = np.asarray(matrix.T @ (y - 0.5), dtype=np.float64)
    n = int(y.shape[0])
    loop = irls_loop(run_pass, gram, centred_right, n, max_iterations, epsilon,
                     newton.next_estimate)
    beta = polished(loop, newton.next_estimate)
    eta = np.asarray(matrix @ beta, dtype=np.float64)
    mu = _expit(eta)
    if np.any(mu < _PASS_CLAMP) or np.any(mu > 1.0 - _PASS_CLAMP):
        loop = irls_loop(run_pass, gram, centred_right, n, max_iterations, epsilon,
                         newton.next_estimate, lambda b: _exact_deviance(matrix, y, b))
        beta = loop.coefficients
        eta = np.asarray(matrix @ beta, dtype=np.float64)
        mu = _expit(eta)
    _, information, _ = run_pass(beta)
    if not loop.converged:
        warn_not_converged(max_iterations, epsilon)
    if np.any(mu > 1.0 - _SEPARATION_EPS) or np.any(mu < _SEPARATION_EPS):
        warnings.warn("glm.fit: fitted probabilities numerically 0 or 1 occurred",
                      SeparationWarning, stacklevel=3)
    weights = mu * (1.0 - mu)
    covariance = weighted_inverse(matrix, weights, information)
    return IrlsFit(np.asarray(beta, dtype=np.float64), information, covariance, eta,
                   loop.iterations, loop.converged)

def weighted_inverse(matrix: FloatArray, weights: FloatArray,
                     information: FloatArray) -> FloatArray:
    """(XᵀWX)⁻¹ from the information matrix where it is well conditioned, else from a QR of
    √W X, which keeps the digits the formed product loses.

    >>> x = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    >>> weighted_inverse(x, np.ones(3), x.T @ x).round(6).tolist()
    [[0.833333, -0.5], [-0.5, 0.5]]
    """
    system = equilibrate(information)
    if system is not None and system.rcond >= _NORMAL_EQUATIONS_RCOND:
        return system.inverse()
    return _least_squares_qr(matrix * np.sqrt(weights)[:, None],
                             np.zeros(matrix.shape[0])).unscaled_covariance

