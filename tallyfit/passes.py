"""The sums one block of rows contributes to a fit, for any family: the start of R's IRLS
loop, one pass at β (XᵀWX, XᵀWz and the deviance), and the measures at the final β.

A block is `Rows`: X, the response as the family reads it, the prior weights and the offset.
A family with a native kernel (`Family.native_kernel`) has the pass of unweighted rows
without an offset computed by `_native.irls_pass`; any other pass of R's families by the fused
`_native.glm_pass` (`Family.native_family`), and of a family without either by NumPy here, as
glm.fit computes it: η = Xβ + offset, μ = g⁻¹(η), w = prior · μ'(η)² / V(μ),
z = η − offset + (y − μ) / μ'(η), over the rows of positive prior weight. Every engine calls
these on its blocks and adds the results up, so a fit is the same whatever holds the rows.
The meat of a sandwich covariance (`meat_sums`) is one more such pass, at the final β.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import Optional, Union

import numpy as np

from . import _native, covariance, design, threads
from .coded import CodedDesign, Design, dense_matrix
from .families import Family
from .frames import BoolArray, FloatArray

# The native kernel clamps μ to [1e-9, 1 − 1e-9] in the log-likelihood it returns.
KERNEL_CLAMP = 1e-9


#: How many of the last η's a block keeps (n values each).
_RECENT_ETAS = 3


@dataclass
class Rows:
    """One block of a fit: `x` (F order), the response `y` as the fit reads it (a count of
    successes and failures becomes a proportion), the prior `weights` (None: all 1), the `offset` (None: 0),
    the numbers of `trials` of proportions (None: 1), R's starting μ (`mustart`, for the start
    pass) and the rows dropped for missing values."""

    x: Design
    y: FloatArray
    n_missing: int
    weights: Optional[FloatArray] = None
    offset: Optional[FloatArray] = None
    trials: Optional[FloatArray] = None
    mustart: Optional[FloatArray] = None
    # η at the β's asked for last: the driver's acceptance check, the final μ, the working
    # weights at the estimate before and the final measures ask for two or three β's in turn,
    # each a read of X.
    _recent_etas: list[tuple[bytes, FloatArray]] = field(
        default_factory=list, init=False, repr=False, compare=False)

    @property
    def plain(self) -> bool:
        """Unit weights and no offset: the rows the native kernels take."""
        return self.weights is None and self.offset is None

    def aligned(self) -> "Rows":
        """The rows with arrays aligned for the native kernels (arrays that arrive from
        another process may start at any byte; copied then)."""
        def align(a: Optional[FloatArray]) -> Optional[FloatArray]:
            return None if a is None else np.require(a, requirements="A")

        assert not isinstance(self.x, CodedDesign)  # only in-memory rows hold codes
        return replace(self, x=np.require(self.x, requirements="A"),
                       y=np.require(self.y, requirements="A"), weights=align(self.weights),
                       offset=align(self.offset))

    def eta(self, beta: FloatArray) -> FloatArray:
        """Xβ + offset (a new array: callers may change it)."""
        key = np.asarray(beta, dtype=np.float64).tobytes()
        for known, eta in self._recent_etas:
            if known == key:
                return eta.copy()
        eta = product(self.x, beta)
        if self.offset is not None:
            eta += self.offset
        self._recent_etas = [(key, eta), *self._recent_etas[:_RECENT_ETAS - 1]]
        return eta.copy()

    def prior(self) -> FloatArray:
        return np.ones(self.y.shape[0]) if self.weights is None else self.weights


def intercept_only(rows: Rows) -> Rows:
    """The rows of the model of the intercept alone (with the rows' offset and weights)."""
    return replace(rows, x=np.ones((rows.y.shape[0], 1), order="F"))


def rows_for(family: Optional[Family], x: Design, y: FloatArray,
             n_missing: int,
             weights: Optional[FloatArray] = None,
             offset: Optional[FloatArray] = None) -> Rows:
    """The block as `family` reads it (R's ``initialize``: the response checked, a count
    response turned into proportions weighted by their totals, the starting μ); the rows as
    they are for least squares (no family)."""
    if family is None:
        return Rows(x, y, n_missing, weights, offset)
    start = family.initialize(y, weights)
    trials = None if np.all(start.n == 1.0) else start.n
    prior: Optional[FloatArray] = start.weights
    if weights is None and trials is None:
        prior = None
    return Rows(x, start.y, n_missing, prior, offset, trials, start.mustart)


@dataclass
class StartSums:
    """XᵀX (None where it was not asked for and the start weights vary), XᵀW₀X (None when
    every start weight is the family's constant, so that it is that multiple of XᵀX), XᵀW₀z₀
    and the deviance at R's start μ₀, and the counts: rows, rows dropped, Σy and Σy²
    (unweighted), rows of positive weight, Σw, Σwy and Σ log w."""

    gram: Optional[FloatArray]
    information: Optional[FloatArray]
    right: FloatArray
    deviance: float
    n: int
    n_missing: int
    y_sum: float
    y_square_sum: float
    n_weighted: int = 0
    weight_sum: float = 0.0
    weighted_y_sum: float = 0.0
    log_weight_sum: float = 0.0

    def __add__(self, other: "StartSums") -> "StartSums":
        return StartSums(
            None if self.gram is None or other.gram is None else self.gram + other.gram,
            None if self.information is None or other.information is None
            else self.information + other.information,
            self.right + other.right, self.deviance + other.deviance, self.n + other.n,
            self.n_missing + other.n_missing, self.y_sum + other.y_sum,
            self.y_square_sum + other.y_square_sum, self.n_weighted + other.n_weighted,
            self.weight_sum + other.weight_sum, self.weighted_y_sum + other.weighted_y_sum,
            self.log_weight_sum + other.log_weight_sum)

    def restrict(self, keep: BoolArray) -> None:
        """Keeps the sums of the estimated columns only (in place)."""
        if self.gram is not None:
            self.gram = self.gram[np.ix_(keep, keep)]
        if self.information is not None:
            self.information = self.information[np.ix_(keep, keep)]
        self.right = self.right[keep]

    def rank_matrix(self, penalized: bool = False) -> FloatArray:
        """The matrix whose rank decides the aliased columns: XᵀX for a penalized fit (its
        rule reads the design alone, so the sums must have been formed `with_gram`); else
        XᵀW₀X where the start weights vary (glm.fit decides on the weighted X of the rows of
        positive weight), and XᵀX where they do not."""
        if penalized:
            assert self.gram is not None, "a penalized fit's start sums are formed with XᵀX"
            return self.gram
        matrix = self.information if self.information is not None else self.gram
        assert matrix is not None
        return matrix

    @property
    def weighted_mean(self) -> float:
        """glm.fit's μ of the null model with an intercept: Σwy / Σw."""
        return self.weighted_y_sum / self.weight_sum if self.weight_sum > 0 else math.nan


def weighted_sums(x: Design, weights: FloatArray, z: FloatArray
                  ) -> tuple[FloatArray, FloatArray]:
    """XᵀWX and XᵀWz (W ≥ 0 diagonal) in one pass over X and no copy of it: the Gaussian pass
    at β = 0, whose working weights and response are `weights` and `z`."""
    if isinstance(x, CodedDesign):
        return x.weighted_sums(_aligned(weights), _aligned(z))
    _, information, right, _ = _native.glm_pass(
        x, _aligned(z), np.zeros(x.shape[1]), "gaussian", "identity", _aligned(weights), None)
    return information, right


def gram_of(x: Design) -> FloatArray:
    """XᵀX by the pass's kernel: on this process's own threads where that is the faster, so
    that a core kept busy elsewhere slows it by its share only (the BLAS's statically split
    threads wait for it)."""
    if isinstance(x, CodedDesign):
        rows = x.shape[0]
        return weighted_sums(x, np.ones(rows), np.zeros(rows))[0]
    return np.asarray(_native.gram(_aligned(x))[0], dtype=np.float64)


def start_sums(family: Family, rows: Rows, start_given: bool = False,
               with_gram: bool = True) -> StartSums:
    """The block's start sums at the family's start μ or, with `start_given`, at the rows'
    own `mustart`; XᵀX only `with_gram` or where the start weights are constant (it is a
    read of X of its own where they vary)."""
    x, y = rows.x, rows.y
    gram: Optional[FloatArray] = None
    if (rows.plain and rows.trials is None and family.constant_start_weight is not None
            and not start_given):
        gram = gram_of(x)
        z, _, deviance = family.start(y)
        information = None
        right = family.constant_start_weight * transposed_product(x, z)
    else:
        mu = rows.mustart if rows.mustart is not None else family.initialize(y).mustart
        weights, z = np.empty_like(y), np.empty_like(y)
        parts = threads.map_in_order(
            lambda part: _start_chunk(family, rows, mu, part, weights, z), _chunks(y.shape[0]))
        if not all(valid for valid, _ in parts):
            raise ValueError("cannot find valid starting values: please specify some "
                             f"(the {family.name} family with the {family.link.name} link)")
        information, right = weighted_sums(x, weights, z)
        del weights, z
        deviance = math.fsum(part_deviance for _, part_deviance in parts)
        if with_gram:
            gram = gram_of(x)
    prior = rows.prior()
    with np.errstate(divide="ignore"):
        log_weights = 0.0 if rows.weights is None else float(np.log(rows.weights).sum())
    return StartSums(gram, information, np.asarray(right, dtype=np.float64), deviance,
                     int(y.shape[0]), rows.n_missing, float(y.sum()), float(y @ y),
                     int(np.count_nonzero(prior)), float(prior.sum()), float(prior @ y),
                     log_weights)


def _start_chunk(family: Family, rows: Rows, mu: FloatArray, part: slice, weights: FloatArray,
                 z: FloatArray) -> tuple[bool, float]:
    """R's start for the rows `part` at μ₀: whether η₀ and μ₀ are valid, and their deviance;
    the working weights and response written into `weights` and `z`."""
    link = family.link
    y, mu = rows.y[part], mu[part]
    eta = link.link(mu)
    if not (family.valid_mu(mu) and link.valid_eta(eta)):
        return False, math.nan
    mu_eta = link.mu_eta(eta)
    prior = None if rows.weights is None else rows.weights[part]
    with np.errstate(divide="ignore", invalid="ignore"):
        chunk_weights = mu_eta * mu_eta / family.variance(mu)
        chunk_z = eta + (y - mu) / mu_eta
        if rows.offset is not None:
            chunk_z -= rows.offset[part]
        if prior is not None:
            good = prior > 0.0
            chunk_weights = np.where(good, prior * chunk_weights, 0.0)
            chunk_z = np.where(good, chunk_z, 0.0)
    weights[part], z[part] = chunk_weights, chunk_z
    return True, family.deviance(y, mu, prior)


@dataclass
class PassSums:
    """One pass at β: the deviance, XᵀWX, XᵀWz, and whether η and μ are valid for the
    family and link (R's ``valideta`` and ``validmu``) in every row."""

    deviance: float
    information: FloatArray
    right: FloatArray
    valid: bool = True

    def __add__(self, other: "PassSums") -> "PassSums":
        return PassSums(self.deviance + other.deviance, self.information + other.information,
                        self.right + other.right, self.valid and other.valid)

    def restrict(self, keep: BoolArray) -> "PassSums":
        return PassSums(self.deviance, self.information[np.ix_(keep, keep)],
                        self.right[keep], self.valid)


def product(x: Design, v: FloatArray) -> FloatArray:
    """X v on this process's threads, as every pass runs (a core busy elsewhere slows it by its
    share; the BLAS's statically split threads wait for that core)."""
    if isinstance(x, CodedDesign):
        return x.matvec(v)
    return np.asarray(_native.matvec(_aligned(x), _aligned(v)))


def transposed_product(x: Design, v: FloatArray) -> FloatArray:
    """Xᵀ v on this process's threads (see `product`)."""
    if isinstance(x, CodedDesign):
        return x.rmatvec(v)
    return np.asarray(_native.rmatvec(_aligned(x), _aligned(v)))


def _aligned(values: FloatArray) -> FloatArray:
    # Arrays unpickled on a Dask worker may sit at unaligned addresses, which the kernels
    # refuse; an aligned array is passed as it is.
    return np.require(values, np.float64, ["A"])


def _maybe_aligned(values: Optional[FloatArray]) -> Optional[FloatArray]:
    return None if values is None else _aligned(values)


def pass_at(family: Family, rows: Rows, beta: FloatArray) -> PassSums:
    """The block's deviance, XᵀWX and XᵀWz at β. The native kernel's deviance is −2 × its
    log-likelihood, whose μ is clamped (see `KERNEL_CLAMP`)."""
    x, y = rows.x, rows.y
    if isinstance(x, CodedDesign):
        if family.native_family is not None:
            return PassSums(*x.pass_sums(
                _aligned(y), beta, family.native_family, family.link.name,
                _maybe_aligned(rows.weights), _maybe_aligned(rows.offset)))
    elif _takes_native_kernel(family, rows):
        log_likelihood, gram, step_right = _native.irls_pass(x, y, beta, "gram")
        assert gram is not None and step_right is not None
        return PassSums(-2.0 * log_likelihood, gram, step_right)
    elif family.native_family is not None:
        deviance, information, right, valid = _native.glm_pass(
            x, _aligned(y), _aligned(beta),
            family.native_family, family.link.name,  # type: ignore[arg-type]
            _maybe_aligned(rows.weights), _maybe_aligned(rows.offset))
        return PassSums(deviance, information, right, valid)
    link = family.link
    eta = rows.eta(beta)
    mu = link.inverse(eta)
    valid = bool(link.valid_eta(eta) and family.valid_mu(mu))
    mu_eta = link.mu_eta(eta)
    with np.errstate(divide="ignore", invalid="ignore"):
        weights = mu_eta * mu_eta / family.variance(mu)
        z = eta + (y - mu) / mu_eta
        if rows.offset is not None:
            z -= rows.offset
        if rows.weights is not None:
            good = rows.weights > 0.0
            weights = np.where(good, rows.weights * weights, 0.0)
            z = np.where(good, z, 0.0)
        deviance = family.deviance(y, mu, rows.weights)
    information, right = weighted_sums(x, weights, z)
    return PassSums(deviance, information, right, valid)


def _takes_native_kernel(family: Family, rows: Rows) -> bool:
    """Whether `pass_at` runs the family's own native kernel on the rows (dense and plain)."""
    return (family.native_kernel is not None and rows.plain and rows.trials is None
            and not isinstance(rows.x, CodedDesign))


def kernel_clamped(family: Family, rows: Rows, mu: FloatArray) -> bool:
    """Whether the pass's deviance at μ is the kernel's clamped one, not the exact one."""
    return _takes_native_kernel(family, rows) and bool(
        np.any(mu < KERNEL_CLAMP) or np.any(mu > 1.0 - KERNEL_CLAMP))


def working_weights(family: Family, rows: Rows, beta: FloatArray) -> FloatArray:
    """The IRLS weights at β, prior weights included."""
    eta = rows.eta(beta)
    weights = family.working_weights(eta, family.link.inverse(eta))
    return weights if rows.weights is None else rows.weights * weights


def start_weights(family: Family, rows: Rows) -> FloatArray:
    """The IRLS weights at R's start μ, prior weights included."""
    mu = rows.mustart if rows.mustart is not None else family.initialize(rows.y).mustart
    weights = family.working_weights(family.link.link(mu), mu)
    return weights if rows.weights is None else rows.weights * weights


def score(family: Family, rows: Rows, beta: FloatArray) -> FloatArray:
    """The exact gradient of the log-likelihood, XᵀW(z − η), from the rows."""
    eta = rows.eta(beta)
    mu = family.link.inverse(eta)
    factor = family.score_ratio(eta, mu) * (rows.y - mu)
    if rows.weights is not None:
        factor = np.where(rows.weights > 0.0, rows.weights * factor, 0.0)
    return transposed_product(rows.x, np.asarray(factor, dtype=np.float64))


#: Where the working weights of summary.glm's Pearson χ² are formed: at an estimate, at the
#: start μ (None), or at the final estimate itself ("beta").
WeightsAt = Union[FloatArray, None, str]


@dataclass
class FinalSums:
    """At the final β: the deviance (exact), the Pearson χ², the row part of the AIC and the
    null deviance at the null model's μ given to `final_sums` (NaN when none is)."""

    deviance: float
    pearson: float
    aic_rows: float
    null_deviance: float = math.nan

    def __add__(self, other: "FinalSums") -> "FinalSums":
        return FinalSums(self.deviance + other.deviance, self.pearson + other.pearson,
                         self.aic_rows + other.aic_rows,
                         self.null_deviance + other.null_deviance)


#: Rows per chunk of the final measures: their temporaries (a dozen arrays of a chunk each)
#: stay small beside X and in the cache, and the count tables of a chunk (stirlerr, log x!)
#: still pay for themselves.
_MEASURE_ROWS = 1 << 16


def final_sums(family: Family, rows: Rows, beta: FloatArray,
               null_mu: Optional[float] = None, null_by_offset: bool = False,
               eta: Optional[FloatArray] = None,
               weights_at: WeightsAt = "beta") -> FinalSums:
    """The final measures; the null deviance at μ = `null_mu` in every row, or at
    μ = g⁻¹(offset) with `null_by_offset` (glm.fit's null model without an intercept).

    The Pearson χ² is summary.glm's Σ w r²: the working residuals r at β, and the working
    weights w at `weights_at` (the estimate the last IRLS step was formed at, None for the
    start μ; "beta" for β itself, the χ² of its textbook definition). Summed over chunks of
    rows on the package's threads, in row order."""
    y = rows.y
    if eta is None:
        eta = rows.eta(beta)
    at_eta = at_mu = None
    if weights_at is None:
        at_mu = rows.mustart if rows.mustart is not None else family.initialize(y).mustart
    elif not isinstance(weights_at, str):
        at_eta = rows.eta(weights_at)
    n = y.shape[0]
    sums = threads.map_in_order(
        lambda part: _final_chunk(family, rows, part, eta[part], null_mu, null_by_offset,
                                  weights_at, None if at_eta is None else at_eta[part],
                                  None if at_mu is None else at_mu[part]), _chunks(n))
    return sum(sums[1:], sums[0])


def _chunks(n: int) -> list[slice]:
    return [slice(first, first + _MEASURE_ROWS) for first in range(0, max(n, 1), _MEASURE_ROWS)]


def chunked_deviance(family: Family, y: FloatArray, mu: FloatArray,
                     weights: Optional[FloatArray]) -> float:
    """The family's deviance at μ, summed over chunks of rows (few temporaries; on the
    package's threads, added in row order)."""
    return math.fsum(threads.map_in_order(
        lambda part: family.deviance(y[part], mu[part],
                                     None if weights is None else weights[part]),
        _chunks(y.shape[0])))


def _final_chunk(family: Family, rows: Rows, part: slice, eta: FloatArray,
                 null_mu: Optional[float], null_by_offset: bool, weights_at: WeightsAt,
                 at_eta: Optional[FloatArray], at_mu: Optional[FloatArray]) -> FinalSums:
    """`final_sums` of the rows `part`, given their η (and η or μ at `weights_at`)."""
    y = rows.y[part]
    weights = None if rows.weights is None else rows.weights[part]
    null = math.nan
    if null_by_offset:
        offset = np.zeros_like(y) if rows.offset is None else rows.offset[part]
        null = family.deviance(y, family.link.inverse(offset), weights)
    elif null_mu is not None:
        null = family.deviance(y, np.full_like(y, null_mu), weights)
    deviance = family.deviance_at(y, eta.copy(), weights)
    needs_rows = family.aic_needs_rows or not rows.plain or rows.trials is not None
    if not family.dispersion_estimated and not needs_rows:
        return FinalSums(deviance, math.nan, math.nan, null)  # neither is needed: skip them
    mu = family.link.inverse(eta)
    residual = y - mu
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if isinstance(weights_at, str):
            pearson_rows = residual * residual / family.variance(mu)
        else:
            if at_mu is not None:
                at_eta = family.link.link(at_mu)
            else:
                assert at_eta is not None
                at_mu = family.link.inverse(at_eta)
            working = residual / family.link.mu_eta(eta)
            pearson_rows = family.working_weights(at_eta, at_mu) * working * working
        if weights is not None:
            pearson_rows = np.where(weights > 0.0, weights * pearson_rows, 0.0)
        aic = family.aic_rows(y, mu, weights, rows.trials[part]) if rows.trials is not None \
            else family.aic_rows(y, mu, weights)
    return FinalSums(deviance, float(pearson_rows.sum()), aic, null)


@dataclass(frozen=True)
class MeatRequest:
    """What a pass of the sandwich's meat needs: the family whose working weights and
    residuals give the scores (Gaussian for least squares), the estimate of the estimated
    columns (`keep` of the design's), where the working weights are formed (as
    `final_sums`), and for HC2/HC3 (XᵀWX)⁻¹ and the power of 1 − h that divides the
    squared scores (1 for HC2, 2 for HC3; the leverages h need every row)."""

    family: Family
    beta: FloatArray
    keep: BoolArray
    weights_at: WeightsAt = "beta"
    unscaled: Optional[FloatArray] = None
    leverage_power: int = 0
    #: The μ the fit started from where it was given (a fit from η of another fit), for
    #: weights at the start (`weights_at` None); None: R's initialize of the response.
    mustart: Optional[FloatArray] = None


#: Rows per chunk of the leverages x_iᵀ (XᵀWX)⁻¹ x_i (a chunk × k temporary: 10 MB at 39
#: columns).
_CHUNK_ROWS = 32768


def score_factors(request: MeatRequest, rows: Rows) -> tuple[FloatArray, FloatArray]:
    """u_i, the factor of x_i in the row's score (sandwich's estfun without the dispersion:
    the working residual at β times the working weight at `weights_at`, prior weights
    included; 0 for rows of prior weight 0), and the working weights themselves."""
    family = request.family
    eta = rows.eta(request.beta)
    mu = family.link.inverse(eta)
    weights_at = request.weights_at
    if isinstance(weights_at, str):
        at_eta, at_mu = eta, mu
    elif weights_at is None:
        at_mu = request.mustart if request.mustart is not None else rows.mustart \
            if rows.mustart is not None else family.initialize(rows.y).mustart
        at_eta = family.link.link(at_mu)
    else:
        at_eta = rows.eta(weights_at)
        at_mu = family.link.inverse(at_eta)
    prior = rows.prior()
    with np.errstate(divide="ignore", invalid="ignore"):
        working = family.working_weights(at_eta, at_mu)
        weights = np.where(prior > 0.0, prior * working, 0.0)
        factors = np.where(prior > 0.0, weights * (rows.y - mu) / family.link.mu_eta(eta), 0.0)
    return np.asarray(factors, dtype=np.float64), np.asarray(weights, dtype=np.float64)


def quadratic_forms(x: FloatArray, matrix: FloatArray) -> FloatArray:
    """x_iᵀ M x_i of every row of x, a chunk of rows at a time (the product by M through the
    BLAS: a three-operand einsum runs several times slower).

    >>> quadratic_forms(np.array([[1.0, 2.0]]), np.array([[1.0, 0.0], [0.0, 0.25]]))
    array([2.])
    """
    forms = np.empty(x.shape[0])
    for start in range(0, x.shape[0], _CHUNK_ROWS):
        chunk = x[start:start + _CHUNK_ROWS]
        forms[start:start + _CHUNK_ROWS] = np.einsum("ij,ij->i", chunk @ matrix, chunk)
    return forms


def leverages(x: FloatArray, weights: FloatArray, unscaled: FloatArray) -> FloatArray:
    """The hat values w_i x_iᵀ (XᵀWX)⁻¹ x_i."""
    return np.asarray(quadratic_forms(x, unscaled) * weights, dtype=np.float64)


def estimated_columns(x: FloatArray, keep: BoolArray, in_place: bool) -> FloatArray:
    """The kept columns of a design: moved left in place, or copied out of a design that
    must stay as it is (one the fit keeps)."""
    if keep.all():
        return x
    return design.compact_columns(x, keep) if in_place else np.asfortranarray(x[:, keep])


def meat_sums(request: MeatRequest, rows: Rows, keys: Optional[np.ndarray] = None,
              in_place: bool = True) -> covariance.MeatSums:
    """The block's share of the meat at the request's estimate: Σ ω_i u_i² x_i x_iᵀ, or with
    `keys` (the cluster of every row) the per-cluster sums of u_i x_i. The rows' design
    holds every design column; the aliased ones are dropped here (in place unless not
    `in_place`)."""
    x = estimated_columns(dense_matrix(rows.x), request.keep, in_place)
    block = replace(rows, x=x)
    factors, weights = score_factors(request, block)
    if keys is not None:
        return covariance.ClusterSums.of(keys, x, factors)
    squares = factors * factors
    if request.leverage_power:
        assert request.unscaled is not None
        hat = leverages(x, weights, request.unscaled)
        with np.errstate(divide="ignore", invalid="ignore"):
            squares = np.where(squares > 0.0, squares / (1.0 - hat) ** request.leverage_power,
                               0.0)
    # Xᵀ diag(u²) X in one read of X by the pass's kernel (no scaled copy of X).
    meat = weighted_sums(x, squares, np.zeros(x.shape[0]))[0]
    return covariance.HeteroskedasticSums(meat, x.shape[0])
