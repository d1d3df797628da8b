"""Solving the fits: the aliasing rule, least squares and the IRLS loop, as R's lm.fit and
glm.fit, from sums any engine supplies (and from the rows where an engine holds them).

Both start from XᵀX, formed once by the native Gram kernel and shared with the aliasing check.
A well-conditioned system is solved by a Cholesky factorization of the equilibrated normal
equations (refined with one residual step when it is only moderately conditioned), which is
as accurate as R's QR there and reads X once. Beyond a condition number of about 1e8 of the
equilibrated XᵀX the normal equations would lose digits R keeps, so least squares falls back
to a Householder QR of X itself and the IRLS steps are computed from the exact gradient.
"""

from __future__ import annotations

import contextlib
import functools
import math
import warnings
from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import Callable, Optional, Protocol, Union

import numpy as np
import threadpoolctl
from scipy import linalg
from scipy.linalg import blas, lapack

from . import _native, design, passes
from .coded import Design, IndexArray, dense_matrix, design_column, diagonal_columns
from .errors import ConvergenceError, ConvergenceWarning, SeparationWarning
from .families import Family
from .frames import BoolArray, FloatArray
from .progress import FitProgress

# Reciprocal condition numbers of the equilibrated XᵀX: above the first the normal equations
# are exact to working precision, between the two one residual step restores the digits the
# squaring lost, below the second they are not trusted.
_REFINE_RCOND = 1e-4
_NORMAL_EQUATIONS_RCOND = 1e-8
# Gram diagonals outside this range have overflowed or lost digits to underflow.
_SMALLEST_DIAGONAL = 1e-280
_LARGEST_DIAGONAL = 1e280


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
        if self.factor.shape[0] == 0:
            return np.zeros((0, 0))  # the empty model (y ~ 0): LAPACK refuses a 0 × 0 factor
        inverse, info = lapack.dpotri(self.factor, lower=0)
        if info != 0:
            raise np.linalg.LinAlgError("the information matrix is singular")
        inverse = np.triu(inverse) + np.triu(inverse, 1).T
        return np.asarray(inverse * self.scale[:, None] * self.scale[None, :], dtype=np.float64)


@dataclass
class BlockEquilibrated:
    """The factorization of D A D (D = diag(A)^(-1/2)) whose block of the columns `block` is
    diagonal: the Cholesky factor of the Schur complement of that block alone, so that a
    factor of a thousand levels costs what its cross products with the other columns cost,
    not the cube of the width. `rcond` is the exact reciprocal condition (1-norm)."""

    scale: FloatArray
    block: IndexArray
    rest: IndexArray
    block_diagonal: FloatArray  # of the scaled matrix, at `block`
    cross: FloatArray  # the scaled matrix at (rest, block)
    factor: FloatArray  # upper Cholesky factor of the Schur complement of the block
    rcond: float = 1.0

    def solve(self, right: FloatArray) -> FloatArray:
        b = self.scale * np.asarray(right, dtype=np.float64)
        b_block, b_rest = b[self.block], b[self.rest]
        u = np.empty_like(b)
        u_rest = linalg.cho_solve((self.factor, False),
                                  b_rest - blas.dgemv(1.0, self.cross,
                                                      b_block / self.block_diagonal))
        u[self.rest] = u_rest
        u[self.block] = (b_block - blas.dgemv(1.0, self.cross, u_rest, trans=1)
                         ) / self.block_diagonal
        return np.asarray(self.scale * u, dtype=np.float64)

    @functools.cached_property
    def inverse_blocks(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """(D A D)⁻¹ by blocks, with V = cross · diag(block)⁻¹ and S the Schur complement:
        S⁻¹ at (rest, rest), −S⁻¹V at (rest, block) and diag(block)⁻¹ + VᵀS⁻¹V at
        (block, block); computed once, for the condition estimate, and kept for the
        covariance."""
        v = self.cross / self.block_diagonal[None, :]
        w = linalg.solve_triangular(self.factor, v, trans="T")  # U⁻ᵀ V, so VᵀS⁻¹V = WᵀW
        s_inverse = linalg.cho_solve((self.factor, False), np.eye(self.rest.shape[0]))
        block = _product(w, w, transpose_a=True)
        block[np.diag_indices_from(block)] += 1.0 / self.block_diagonal
        return s_inverse, -_product(s_inverse, v), block

    def scaled_inverse(self) -> FloatArray:
        """(D A D)⁻¹."""
        n = self.scale.shape[0]
        s_inverse, upper, block = self.inverse_blocks
        inverse = np.empty((n, n))
        inverse[np.ix_(self.rest, self.rest)] = s_inverse
        inverse[np.ix_(self.rest, self.block)] = upper
        inverse[np.ix_(self.block, self.rest)] = upper.T
        inverse[np.ix_(self.block, self.block)] = block
        return inverse

    def inverse(self) -> FloatArray:
        return np.asarray(self.scaled_inverse() * self.scale[:, None] * self.scale[None, :],
                          dtype=np.float64)


def _product(a: FloatArray, b: FloatArray, transpose_a: bool = False,
             transpose_b: bool = False) -> FloatArray:
    """A matrix product by SciPy's BLAS, which a fit keeps on the calling thread
    (`blas_on_this_thread`): NumPy's own BLAS would leave its threads spinning into the next
    pass (a coded pass took 75 ms after such products against 55)."""
    return np.asarray(blas.dgemm(1.0, a, b, trans_a=transpose_a, trans_b=transpose_b),
                      dtype=np.float64)


def _block_equilibrated(a: FloatArray, scale: FloatArray,
                        block: IndexArray) -> Optional[BlockEquilibrated]:
    n = a.shape[0]
    rest = np.setdiff1d(np.arange(n), block)
    block_scale, rest_scale = scale[block], scale[rest]
    block_diagonal = a[block, block] * block_scale * block_scale
    cross = a[np.ix_(rest, block)] * rest_scale[:, None] * block_scale[None, :]
    rest_block = a[np.ix_(rest, rest)] * rest_scale[:, None] * rest_scale[None, :]
    v = cross / block_diagonal[None, :]
    factor, info = lapack.dpotrf(rest_block - _product(v, cross, transpose_b=True), lower=0,
                                 clean=1)
    if info != 0 or not np.all(block_diagonal > 0.0):
        return None
    system = BlockEquilibrated(scale, block, rest, block_diagonal, cross, factor)
    # The 1-norms of the scaled matrix and of its inverse, column by column, from their blocks
    # (neither is formed).
    abs_cross = np.abs(cross)
    norm = max(float(np.max(np.abs(rest_block).sum(axis=0) + abs_cross.sum(axis=1))),
               float(np.max(block_diagonal + abs_cross.sum(axis=0))))
    s_inverse, upper, block_inverse = system.inverse_blocks
    abs_upper = np.abs(upper)
    inverse_norm = max(
        float(np.max(np.abs(s_inverse).sum(axis=0) + abs_upper.sum(axis=1))),
        float(np.max(np.abs(block_inverse).sum(axis=0) + abs_upper.sum(axis=0))))
    system.rcond = 1.0 / (norm * inverse_norm) if math.isfinite(inverse_norm) else 0.0
    return system


def equilibrate(a: FloatArray, diagonal_block: Optional[IndexArray] = None
                ) -> Optional[Union[Equilibrated, BlockEquilibrated]]:
    """The factorization of a symmetric positive definite matrix scaled to a unit diagonal, or
    None when it is not numerically positive definite. `diagonal_block`: columns whose block
    of `a` is known to be diagonal (a coded factor's levels), eliminated first.

    >>> round(equilibrate(np.array([[4.0, 2.0], [2.0, 2.0]])).rcond, 6)
    0.171573
    """
    diagonal = np.diag(a)
    if a.shape[0] == 0:
        return Equilibrated(np.zeros(0), np.zeros((0, 0)), 1.0)
    if not (np.all(np.isfinite(diagonal)) and np.all(diagonal > 0.0)):
        return None
    scale = 1.0 / np.sqrt(diagonal)
    if diagonal_block is not None and 0 < diagonal_block.shape[0] < a.shape[0]:
        return _block_equilibrated(a, scale, diagonal_block)
    scaled = a * scale[:, None] * scale[None, :]
    factor, info = lapack.dpotrf(scaled, lower=0, clean=1)
    if info != 0:
        return None
    norm = float(np.abs(scaled).sum(axis=0).max())
    rcond, info = lapack.dpocon(factor, norm, uplo="U")
    return Equilibrated(scale, factor, float(rcond) if info == 0 else 0.0)


def column_scales(diagonal: FloatArray, matrix: Design) -> Optional[FloatArray]:
    """Powers of two that bring every column of `matrix` whose squared norm over- or underflows
    (`diagonal`, that of its Gram matrix) near unit size, or None when no column needs one.
    Scaling by a power of two is exact, so the scaled fit is the same fit in other units."""
    # A zero diagonal is a zero column or one whose squares all underflowed.
    extreme = ~np.isfinite(diagonal) | (diagonal > _LARGEST_DIAGONAL) | (
        diagonal < _SMALLEST_DIAGONAL)
    if not extreme.any():
        return None
    scales = np.ones(diagonal.shape[0])
    for j in np.flatnonzero(extreme):
        values = design_column(matrix, int(j))
        largest = float(np.max(np.abs(values))) if matrix.shape[0] else 0.0
        if largest > 0.0 and math.isfinite(largest):
            scales[j] = math.ldexp(1.0, -math.frexp(largest)[1])
    return scales


@dataclass
class LeastSquares:
    """Coefficients and (XᵀX)⁻¹ of the columns given, and the fitted values."""

    coefficients: FloatArray
    unscaled_covariance: FloatArray
    fitted: FloatArray


def find_aliased(gram: FloatArray, ridge: Optional[FloatArray] = None,
                 weight: float = 1.0) -> BoolArray:
    """The aliased columns by R's rule (`design.aliased_columns`) on `gram` (XᵀX or XᵀW₀X:
    `passes.StartSums.rank_matrix`), or, for a ridge fit, on the first step's XᵀWX + R
    scaled back to XᵀX units (W = `weight` on every row)."""
    return design.aliased_columns(gram if ridge is None else gram + np.diag(ridge / weight))


def least_squares(gram: FloatArray, xty: FloatArray, matrix: Optional[FloatArray] = None,
                  y: Optional[FloatArray] = None) -> LeastSquares:
    """Least squares of y on the columns of a design of full column rank (aliased columns
    already removed) from `gram` = XᵀX and `xty` = Xᵀy; with the rows (`matrix`, `y`) an
    ill-conditioned system is solved by QR of X and a moderately conditioned one refined, and
    the fitted values are returned (else `fitted` is empty).

    >>> x = np.array([[1.0, 1.0], [1.0, 2.0], [1.0, 3.0], [1.0, 4.0]])
    >>> y = np.array([1.0, 3.0, 2.0, 5.0])
    >>> (least_squares(x.T @ x, x.T @ y, x, y).coefficients.round(6) + 0.0).tolist()
    [0.0, 1.1]
    """
    system = equilibrate(gram)
    if matrix is None or y is None:
        if system is None:
            beta = np.asarray(_native.inverse(gram) @ xty, dtype=np.float64)
            return LeastSquares(beta, _native.inverse(gram), np.zeros(0))
        return LeastSquares(system.solve(xty), system.inverse(), np.zeros(0))
    if system is None or system.rcond < _NORMAL_EQUATIONS_RCOND:
        return _least_squares_qr(matrix, y)
    beta = system.solve(xty)
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


class IrlsSource(Protocol):
    """What the IRLS driver needs of an engine, on the estimated columns: the start sums, one
    pass at β summed over all rows, and the rows themselves when the engine holds them in
    memory (None otherwise), which allow the exact gradient and the QR fallbacks."""

    start: passes.StartSums

    def pass_at(self, beta: FloatArray) -> passes.PassSums: ...

    def rows(self) -> Optional[passes.Rows]: ...


@dataclass
class IrlsFit:
    """The estimate, XᵀWX at it and its inverse (None for a ridge fit), the iterations R's
    convergence test counts, whether that test held within the limit, and whether a step
    was halved (R's "algorithm stopped at boundary value")."""

    coefficients: FloatArray
    information: FloatArray
    unscaled_covariance: Optional[FloatArray]
    iterations: int
    converged: bool
    boundary: bool = False
    #: The estimate the working weights of the last step were formed at (None: the start
    #: μ; "beta": the estimate itself), for summary.glm's dispersion.
    weights_at: passes.WeightsAt = "beta"


PassAt = Callable[[FloatArray], passes.PassSums]
StepFrom = Callable[[FloatArray, FloatArray, FloatArray], FloatArray]
Converged = Callable[[float, float], bool]


@dataclass
class IrlsLoop:
    """Where the loop stopped: the estimate, the iterations, whether its test held, the
    pass at the estimate (XᵀWX and the right-hand side of the next Newton step), whether a
    step was halved, and the XᵀWX the estimate was solved with and the estimate it was
    formed at (`previous`; None for the first step, formed at the start μ): R's fit$qr and
    fit$weights, from which summary.glm takes the covariance."""

    coefficients: FloatArray
    iterations: int
    converged: bool
    information: Optional[FloatArray]
    right: Optional[FloatArray]
    boundary: bool = False
    solved_with: Optional[FloatArray] = None
    previous: Optional[FloatArray] = None


_blas_libraries: Optional[threadpoolctl.ThreadpoolController] = None


def _loaded_blas() -> threadpoolctl.ThreadpoolController:
    """The BLAS libraries of this process (NumPy's and SciPy's OpenBLAS), found once."""
    global _blas_libraries
    if _blas_libraries is None:
        _blas_libraries = threadpoolctl.ThreadpoolController().select(user_api="blas")
    return _blas_libraries


@contextlib.contextmanager
def blas_on_this_thread() -> Iterator[None]:
    """The BLAS calls of a fit on the calling thread alone. An OpenBLAS whose threads have run
    a call keeps them spinning for about a tenth of a second after it, and the next pass's own
    threads then share the cores with them: a pass after a Cholesky solve of 1020 columns took
    92 ms against 52, and NumPy's BLAS kept a core busy for 0.11 s after one dot product of
    1e6 values. A solve of the normal equations is small beside a pass. The limit covers
    SciPy's BLAS (the one the native module calls) and NumPy's alike."""
    with _loaded_blas().limit(limits=1):
        yield


def solve_step(beta: FloatArray, information: FloatArray, right: FloatArray,
               diagonal_block: Optional[IndexArray] = None) -> FloatArray:
    """The next IRLS estimate: XᵀWX β = XᵀWz by the equilibrated Cholesky factorization
    (`equilibrate`'s `diagonal_block`: columns of a diagonal block of XᵀWX)."""
    system = equilibrate(information, diagonal_block)
    if system is None:
        return np.asarray(np.linalg.lstsq(information, right, rcond=None)[0])
    return system.solve(right)


def r_converged(epsilon: float) -> Converged:
    """glm.fit's test: |dev − dev_old| / (|dev| + 0.1) < epsilon."""
    return lambda deviance, old: abs(deviance - old) / (abs(deviance) + 0.1) < epsilon


def _acceptable(sums: passes.PassSums) -> bool:
    return math.isfinite(sums.deviance) and sums.valid


def _halved(run_pass: PassAt, beta: FloatArray, previous: Optional[FloatArray],
            sums: passes.PassSums, max_iterations: int) -> tuple[FloatArray, passes.PassSums]:
    """glm.fit's step halving: while the deviance is not finite or η or μ leaves the valid
    region, the step is halved towards the previous estimate."""
    if previous is None:
        raise ConvergenceError(
            "no valid set of coefficients has been found: the first step leaves the family's "
            "range (a non-finite deviance, or fitted values outside the valid region); try "
            "another link or check the response")
    what = "divergence" if not math.isfinite(sums.deviance) else "out of bounds"
    warnings.warn(f"step size truncated due to {what}" if what == "divergence"
                  else "step size truncated: out of bounds", ConvergenceWarning, stacklevel=5)
    for _ in range(max_iterations):
        beta = (beta + previous) / 2.0
        sums = run_pass(beta)
        if _acceptable(sums):
            return beta, sums
    raise ConvergenceError(
        f"inner loop; cannot correct step size: the deviance stayed non-finite or the fitted "
        f"values invalid after {max_iterations} halvings")


def irls_loop(run_pass: PassAt, beta: FloatArray, deviance_old: float, max_iterations: int,
              converged: Converged, step: StepFrom = solve_step, halving: bool = False,
              first_information: Optional[FloatArray] = None,
              watch: Optional[FitProgress] = None) -> IrlsLoop:
    """The IRLS loop over any source of passes: from the first estimate `beta` (the step from
    the start, solved with `first_information`), `run_pass(beta)` returns the deviance,
    XᵀWX and XᵀWz summed over all rows; the loop stops when `converged(deviance,
    deviance_old)` holds (`deviance_old` starting at the start's deviance) or after
    `max_iterations` passes. With `halving`, a step to a non-finite deviance or an invalid η
    or μ is halved as glm.fit halves it. `watch` is told each iteration and its deviance."""
    information: Optional[FloatArray] = None
    right: Optional[FloatArray] = None
    previous: Optional[FloatArray] = None
    solved_with = first_information
    boundary = False
    for iteration in range(1, max_iterations + 1):
        if information is not None and right is not None:
            previous, solved_with = beta, information
            beta = step(beta, information, right)
        if watch is not None:
            watch.stage(f"IRLS iteration {iteration} of at most {max_iterations}")
        sums = run_pass(beta)
        if watch is not None:
            watch.iteration(iteration, sums.deviance)
        if halving and not _acceptable(sums):
            beta, sums = _halved(run_pass, beta, previous, sums, max_iterations)
            boundary = True
            if watch is not None:
                watch.halved(sums.deviance)
        information, right = sums.information, sums.right
        if converged(sums.deviance, deviance_old):
            return IrlsLoop(beta, iteration, True, information, right, boundary, solved_with,
                            previous)
        deviance_old = sums.deviance
    return IrlsLoop(beta, max_iterations, False, information, right, boundary, solved_with,
                    previous)


def polished(loop: IrlsLoop, step: StepFrom = solve_step,
             run_pass: Optional[PassAt] = None
             ) -> tuple[FloatArray, Optional[passes.PassSums]]:
    """The estimate one Newton step past where R's test stopped (the optimum to working
    precision), and the pass there when `run_pass` is given; the estimate itself when the
    test did not hold, or when the step would leave the family's range."""
    if not loop.converged or loop.information is None or loop.right is None:
        return loop.coefficients, None
    beta = step(loop.coefficients, loop.information, loop.right)
    if run_pass is None:
        return beta, None
    sums = run_pass(beta)
    if not _acceptable(sums):
        return loop.coefficients, None
    return beta, sums


def warn_not_converged(max_iterations: int, epsilon: float) -> None:
    warnings.warn(
        f"glm.fit: algorithm did not converge in {max_iterations} iterations "
        f"(convergence_delta={epsilon}): raise max_iterations, or look for a predictor "
        "that separates the outcomes", ConvergenceWarning, stacklevel=5)


def _newton_step(family: Family, rows: Optional[passes.Rows],
                 diagonal_block: Optional[IndexArray]) -> StepFrom:
    """The step from one pass's sums; with the rows, an ill-conditioned XᵀWX steps along the
    exact gradient Xᵀ W (z − η), not by the full solve of XᵀWX β = XᵀWz, whose error is the
    condition number times β's own size. `diagonal_block`: the columns of the rows' largest
    coded factor (see `equilibrate`)."""
    if rows is None:
        return solve_step
    block = rows

    def step(beta: FloatArray, information: FloatArray, right: FloatArray) -> FloatArray:
        system = equilibrate(information, diagonal_block)
        if system is None:
            return solve_step(beta, information, right)
        if system.rcond >= _NORMAL_EQUATIONS_RCOND:
            return system.solve(right)  # solve_step's solve, by the factorization in hand
        return np.asarray(beta + system.solve(passes.score(family, block, beta)))

    return step


def information_inverse(information: FloatArray) -> FloatArray:
    """(XᵀWX)⁻¹ equilibrated to a unit diagonal first, so that a badly scaled design
    (Longley's) loses no digits to scaling; the core's LU inverse does the rest.

    >>> information_inverse(np.array([[4.0, 2.0], [2.0, 2.0]])).round(6).tolist()
    [[0.5, -0.5], [-0.5, 1.0]]
    """
    information = np.asarray(information, dtype=np.float64)
    if information.shape[0] == 0:
        return np.zeros((0, 0))
    scale = 1.0 / np.sqrt(np.diag(information))
    inverse = _native.inverse(information * scale[:, None] * scale[None, :])
    return np.asarray(inverse * scale[:, None] * scale[None, :], dtype=np.float64)


def start_information(family: Family, start: passes.StartSums) -> FloatArray:
    """XᵀW₀X at R's start μ."""
    if start.information is not None:
        return start.information
    assert family.constant_start_weight is not None
    assert start.gram is not None
    return start.gram * family.constant_start_weight


def first_step(family: Family, start: passes.StartSums,
               diagonal_block: Optional[IndexArray] = None) -> FloatArray:
    """The estimate of the first IRLS step, from R's start μ."""
    return solve_step(np.zeros(start.right.shape[0]), start_information(family, start),
                      start.right, diagonal_block)


def _acceptable_at(source: IrlsSource, family: Family, rows: Optional[passes.Rows],
                   beta: FloatArray) -> tuple[bool, Optional[FloatArray]]:
    """Whether the deviance at β is finite and η and μ valid, and μ: from the rows where they
    are in memory (without the cost of a pass), else from a pass (μ None)."""
    if rows is None:
        return _acceptable(source.pass_at(beta)), None
    eta = rows.eta(beta)
    mu = family.link.inverse(eta)
    if not (family.link.valid_eta(eta) and family.valid_mu(mu)):
        return False, None
    with np.errstate(all="ignore"):
        return math.isfinite(passes.chunked_deviance(family, rows.y, mu, rows.weights)), mu


def irls(source: IrlsSource, family: Family, max_iterations: int, epsilon: float,
         watch: Optional[FitProgress] = None, refit_step: bool = True) -> IrlsFit:
    """R's glm.fit over the source's passes, step for step: the first step from R's start μ
    (the family's ``initialize``), step halving where the deviance is not finite or η or μ
    leaves the valid region, and R's iteration count; then, as a refit of glm from that
    estimate would, one step more (the optimum to working precision for a canonical link;
    R's own test stops about epsilon away), with summary.glm's covariance of that refit:
    (XᵀWX)⁻¹ with the weights at where the test stopped. Where that step would leave the
    family's range, the estimate is where the test stopped, with the weights its last step
    was solved with.

    When the source holds the rows and the pass's deviance is a native kernel's clamped one
    at the final μ (separated or nearly separated data, where no optimum exists), the loop is
    run again on the exact deviance, as R computes it. Warns (ConvergenceWarning) when the
    test does not hold within `max_iterations`, and as R does for fitted values on the
    family's boundary. `watch` is told the passes and R's trace lines (of the loop whose
    iterations R runs: the exact deviance's where the loop is run again). Without
    `refit_step`, the estimate is glm.fit's own, where its test stopped (as MASS's glm.nb
    alternates them).
    """
    start = source.start
    rows = source.rows()
    if watch is not None and rows is not None:
        watch.hold_trace()
    diagonal_block = None if rows is None else diagonal_columns(rows.x)
    step = _newton_step(family, rows, diagonal_block)
    first = first_step(family, start, diagonal_block)
    first_information = start_information(family, start)
    test = r_converged(epsilon)
    loop = irls_loop(source.pass_at, first, start.deviance, max_iterations, test, step,
                     halving=True, first_information=first_information, watch=watch)
    beta = loop.coefficients
    # The covariance and the dispersion's working weights of the fit the estimate was solved
    # in: after the refit's one step, the weights at where R's test stopped.
    information, weights_at = loop.solved_with, loop.previous
    mu_at_beta: Optional[FloatArray] = None
    if (refit_step and loop.converged and loop.information is not None
            and loop.right is not None):
        if watch is not None:
            watch.stage("refit step")
        candidate = step(loop.coefficients, loop.information, loop.right)
        acceptable, mu_candidate = _acceptable_at(source, family, rows, candidate)
        if acceptable:
            beta, mu_at_beta = candidate, mu_candidate
            information, weights_at = loop.information, loop.coefficients
    mu = None
    if rows is not None:
        block = rows
        mu = mu_at_beta if mu_at_beta is not None else family.link.inverse(block.eta(beta))
        if passes.kernel_clamped(family, block, mu):
            def exact_pass(b: FloatArray) -> passes.PassSums:
                sums = source.pass_at(b)
                sums.deviance = family.deviance_at(block.y, block.eta(b), block.weights)
                return sums

            if watch is not None:
                watch.drop_trace()
            loop = irls_loop(exact_pass, first, start.deviance, max_iterations, test, step,
                             first_information=first_information, watch=watch)
            beta, information, weights_at = loop.coefficients, loop.solved_with, loop.previous
            mu = family.link.inverse(block.eta(beta))
    if watch is not None:
        watch.release_trace()
    if information is None:
        information = source.pass_at(beta).information
    if not loop.converged:
        warn_not_converged(max_iterations, epsilon)
    if loop.boundary:
        warnings.warn("glm.fit: algorithm stopped at boundary value", ConvergenceWarning,
                      stacklevel=4)
    if rows is not None and mu is not None:
        message = family.boundary_warning(mu)
        if message is not None:
            warnings.warn(message, SeparationWarning, stacklevel=4)
        block, at = rows, weights_at

        def weights() -> FloatArray:
            return (passes.start_weights(family, block) if at is None
                    else passes.working_weights(family, block, at))

        covariance = weighted_inverse(rows.x, weights, information)
    else:
        covariance = information_inverse(information)
    return IrlsFit(np.asarray(beta, dtype=np.float64), information, covariance,
                   loop.iterations, loop.converged, loop.boundary, weights_at)


def trace_null_fit(family: Family, rows: passes.Rows, mu: FloatArray, max_iterations: int,
                   epsilon: float, watch: FitProgress) -> None:
    """R's trace of the fit glm runs for the null deviance with an offset and an intercept:
    glm.fit of the intercept alone, started at the model's fitted values `mu`, with the
    model's control. Only the lines are wanted (the null deviance is computed to
    convergence elsewhere), so its warnings and a failure to converge are not reported."""
    block = replace(passes.intercept_only(rows), mustart=mu)
    start = passes.start_sums(family, block, start_given=True)
    assert start.information is not None
    first = solve_step(np.zeros(1), start.information, start.right)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            irls_loop(lambda beta: passes.pass_at(family, block, beta), first, start.deviance,
                      max_iterations, r_converged(epsilon), halving=True,
                      first_information=start.information, watch=watch)
        except ConvergenceError:
            pass


def ridge_irls(source: IrlsSource, ridge: FloatArray, max_iterations: int,
               epsilon: float, watch: Optional[FitProgress] = None) -> IrlsFit:
    """The ridge-penalized fit as the native penalized core runs it: from β = 0, each step
    solves (XᵀWX + R) β = XᵀWz; it stops when the log-likelihood changes by at most
    `epsilon`. Raises ConvergenceError when it does not within `max_iterations`."""
    penalty = np.diag(ridge)

    def step(beta: FloatArray, information: FloatArray, right: FloatArray) -> FloatArray:
        return np.asarray(_native.inverse(information + penalty) @ right, dtype=np.float64)

    zero = np.zeros(ridge.shape[0])
    at_zero = source.pass_at(zero)
    loop = irls_loop(source.pass_at, step(zero, at_zero.information, at_zero.right), math.inf,
                     max_iterations, lambda d, old: abs(d - old) / 2.0 <= epsilon, step,
                     watch=watch)
    if not loop.converged or not np.all(np.isfinite(loop.coefficients)):
        raise ConvergenceError(
            f"Algorithm failed to converge within max_iterations={max_iterations} "
            f"(convergence_delta={epsilon}): raise max_iterations, or look for a predictor "
            "that separates the outcomes")
    assert loop.information is not None
    return IrlsFit(loop.coefficients, loop.information, None, loop.iterations, True)


def weighted_inverse(matrix: Design, weights: Callable[[], FloatArray],
                     information: FloatArray) -> FloatArray:
    """(XᵀWX)⁻¹ from the information matrix where it is well conditioned, else from a QR of
    √W X, which keeps the digits the formed product loses (the weights, a read of X, are
    asked for only then).

    >>> x = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    >>> weighted_inverse(x, lambda: np.ones(3), x.T @ x).round(6).tolist()
    [[0.833333, -0.5], [-0.5, 0.5]]
    """
    system = equilibrate(information, diagonal_columns(matrix))
    if system is not None and system.rcond >= _NORMAL_EQUATIONS_RCOND:
        return system.inverse()
    return _least_squares_qr(dense_matrix(matrix) * np.sqrt(weights())[:, None],
                             np.zeros(matrix.shape[0])).unscaled_covariance

