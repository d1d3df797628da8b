"""Error distributions and link functions of generalized linear models, as R's ``family``
objects: what a fit needs to know of a family is here and nowhere else.

A `Link` maps the mean μ to the linear predictor η (``linkfun``), back (``linkinv``), and
gives dμ/dη (``mu.eta``), each with R's clamping, and checks η (``valideta``). The links are
R's ``make.link`` ones: identity, log, inverse, logit, probit, cloglog, cauchit, sqrt and
1/mu^2.

A `Family` has R's name, the links it accepts and its default one, the variance function,
the deviance residuals (``dev.resids``), the AIC (``aic``), the starting μ with R's checks of
the response (``initialize``), ``validmu``, whether the dispersion is estimated, glm.fit's
warnings for fitted values on the boundary, and the id of a native kernel that computes one
IRLS pass for it (None: the NumPy pass of `solvers` is used). The families are R's binomial,
quasibinomial, poisson, quasipoisson, Gamma, inverse.gaussian and gaussian; the AIC of a
quasi family is R's NA, held as NaN.

A new family is one `Family` subclass here and one line in `_FAMILIES`.

>>> family = family_from("binomial")
>>> family.name, family.link.name, family.dispersion_estimated
('binomial', 'logit', False)
>>> family_from("inverse_gaussian").link.name
'1/mu^2'
>>> family_from("gamma", "log")
Family('Gamma', link='log')
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional

import numpy as np
from scipy import special

from .errors import TallyfitWarning
from .frames import FloatArray

__all__ = [
    "Link", "Family", "Start", "Binomial", "QuasiBinomial", "Poisson", "QuasiPoisson", "Gamma",
    "InverseGaussian", "Gaussian", "family_from", "FAMILY_NAMES", "LINKS",
]

_EPS = float(np.finfo(np.float64).eps)  # .Machine$double.eps
_DBL_MIN = float(np.finfo(np.float64).tiny)
_START_RESPONSE = math.log(3.0) + 4.0 / 3.0  # |z₀| of a 0/1 response under the logit
_LN_SQRT_2PI = 0.5 * math.log(2.0 * math.pi)


def _float(x: object) -> FloatArray:
    return np.asarray(x, dtype=np.float64)


def _finite_all(x: FloatArray) -> bool:
    return bool(np.all(np.isfinite(x)))


# ---- links -------------------------------------------------------------------------------------


class Link:
    """A link function g: η = g(μ) (R's ``linkfun``), its inverse (``linkinv``), dμ/dη
    (``mu.eta``) and R's check of η (``valideta``)."""

    name = ""

    def link(self, mu: FloatArray) -> FloatArray:
        raise NotImplementedError

    def inverse(self, eta: FloatArray) -> FloatArray:
        raise NotImplementedError

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        raise NotImplementedError

    def valid_eta(self, eta: FloatArray) -> bool:
        return True

    def __repr__(self) -> str:
        return f"Link({self.name!r})"


class IdentityLink(Link):
    name = "identity"

    def link(self, mu: FloatArray) -> FloatArray:
        return _float(mu)

    def inverse(self, eta: FloatArray) -> FloatArray:
        return _float(eta)

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        return np.ones_like(_float(eta))


class LogLink(Link):
    name = "log"

    def link(self, mu: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.log(_float(mu))

    def inverse(self, eta: FloatArray) -> FloatArray:
        with np.errstate(over="ignore"):
            return np.maximum(np.exp(_float(eta)), _EPS)

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        return self.inverse(eta)


class InverseLink(Link):
    name = "inverse"

    def link(self, mu: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore"):
            return 1.0 / _float(mu)

    def inverse(self, eta: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore"):
            return 1.0 / _float(eta)

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        eta = _float(eta)
        with np.errstate(divide="ignore", over="ignore"):
            return -1.0 / (eta * eta)

    def valid_eta(self, eta: FloatArray) -> bool:
        eta = _float(eta)
        return _finite_all(eta) and bool(np.all(eta != 0.0))


# R's C logit: |η| > 30 is clamped, to μ = ε / (1 + ε) or 1/(1 + ε), and dμ/dη = ε.
_LOGIT_THRESH = 30.0


class LogitLink(Link):
    name = "logit"

    def link(self, mu: FloatArray) -> FloatArray:
        mu = _float(mu)
        if np.any((mu < 0.0) | (mu > 1.0)):
            bad = float(mu[(mu < 0.0) | (mu > 1.0)].flat[0])
            raise ValueError(f"logit link: value {bad!r} out of range [0, 1]")
        with np.errstate(divide="ignore"):
            return np.log(mu / (1.0 - mu))

    def inverse(self, eta: FloatArray) -> FloatArray:
        eta = _float(eta)
        with np.errstate(over="ignore"):
            e = np.where(eta < -_LOGIT_THRESH, _EPS,
                         np.where(eta > _LOGIT_THRESH, 1.0 / _EPS, np.exp(eta)))
        return _float(e / (1.0 + e))

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        eta = _float(eta)
        outside = np.abs(eta) > _LOGIT_THRESH
        e = np.exp(np.where(outside, 0.0, eta))
        return _float(np.where(outside, _EPS, e / ((1.0 + e) * (1.0 + e))))


_PROBIT_THRESH = -float(special.ndtri(_EPS))


def _dnorm(x: FloatArray) -> FloatArray:
    with np.errstate(under="ignore"):
        return _float(np.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi))


class ProbitLink(Link):
    name = "probit"

    def link(self, mu: FloatArray) -> FloatArray:
        return _float(special.ndtri(_float(mu)))

    def inverse(self, eta: FloatArray) -> FloatArray:
        return _float(special.ndtr(np.clip(_float(eta), -_PROBIT_THRESH, _PROBIT_THRESH)))

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        return np.maximum(_dnorm(_float(eta)), _EPS)


class CloglogLink(Link):
    name = "cloglog"

    def link(self, mu: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.log(-np.log(1.0 - _float(mu)))  # as R writes it, not with log1p

    def inverse(self, eta: FloatArray) -> FloatArray:
        with np.errstate(over="ignore"):
            mu = -np.expm1(-np.exp(_float(eta)))
        return np.maximum(np.minimum(mu, 1.0 - _EPS), _EPS)

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        eta = np.minimum(_float(eta), 700.0)
        with np.errstate(over="ignore", under="ignore"):
            return np.maximum(np.exp(eta) * np.exp(-np.exp(eta)), _EPS)  # type: ignore[no-any-return]


def _tanpi(x: FloatArray) -> FloatArray:
    # R's tanpi: tan(πx) with x reduced to (-1/2, 1/2] first, exact at 0 and ±1/4.
    x = np.fmod(x, 1.0)
    x = np.where(x <= -0.5, x + 1.0, np.where(x > 0.5, x - 1.0, x))
    with np.errstate(invalid="ignore"):
        t = np.tan(math.pi * x)
    return _float(np.select([x == 0.0, x == 0.5, x == 0.25, x == -0.25],
                            [0.0, np.nan, 1.0, -1.0], t))


def _qcauchy(p: FloatArray) -> FloatArray:
    p = _float(p)
    upper = p > 0.5
    q = np.where(upper, 1.0 - p, p)
    with np.errstate(divide="ignore"):
        value = np.where(upper, 1.0, -1.0) / _tanpi(q)
    value = np.where(q == 0.5, 0.0, np.where(q == 0.0, np.where(upper, np.inf, -np.inf), value))
    return _float(np.where((p < 0.0) | (p > 1.0) | np.isnan(p), np.nan, value))


def _pcauchy(x: FloatArray) -> FloatArray:
    x = _float(x)
    with np.errstate(divide="ignore"):
        y = np.arctan(1.0 / x) / math.pi
    far = np.where(x > 0, 0.5 - y + 0.5, -y)
    return _float(np.where(np.abs(x) > 1.0, far, 0.5 + np.arctan(x) / math.pi))


_CAUCHIT_THRESH = -float(_qcauchy(np.array(_EPS)))


class CauchitLink(Link):
    name = "cauchit"

    def link(self, mu: FloatArray) -> FloatArray:
        return _qcauchy(mu)

    def inverse(self, eta: FloatArray) -> FloatArray:
        return _pcauchy(np.clip(_float(eta), -_CAUCHIT_THRESH, _CAUCHIT_THRESH))

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        eta = _float(eta)
        with np.errstate(over="ignore"):
            return np.maximum(1.0 / (math.pi * (1.0 + eta * eta)), _EPS)


class SqrtLink(Link):
    name = "sqrt"

    def link(self, mu: FloatArray) -> FloatArray:
        with np.errstate(invalid="ignore"):
            return np.sqrt(_float(mu))

    def inverse(self, eta: FloatArray) -> FloatArray:
        eta = _float(eta)
        return eta * eta

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        return 2.0 * _float(eta)

    def valid_eta(self, eta: FloatArray) -> bool:
        eta = _float(eta)
        return _finite_all(eta) and bool(np.all(eta > 0.0))


class InverseSquareLink(Link):
    name = "1/mu^2"

    def link(self, mu: FloatArray) -> FloatArray:
        mu = _float(mu)
        with np.errstate(divide="ignore", over="ignore"):
            return 1.0 / (mu * mu)

    def inverse(self, eta: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            return 1.0 / np.sqrt(_float(eta))

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            return -1.0 / (2.0 * _float(eta) ** 1.5)

    def valid_eta(self, eta: FloatArray) -> bool:
        eta = _float(eta)
        return _finite_all(eta) and bool(np.all(eta > 0.0))


#: Every link by R's name.
LINKS: dict[str, type[Link]] = {
    link.name: link for link in (
        IdentityLink, LogLink, InverseLink, LogitLink, ProbitLink, CloglogLink, CauchitLink,
        SqrtLink, InverseSquareLink)
}


# ---- R's densities, as nmath computes them (Loader's saddle point) ----------------------------

# stirlerr(n) = log(n!) − log(√(2π n) (n/e)^n): the series for n > 15, else from lgamma.
_S0, _S1, _S2, _S3, _S4 = (1.0 / 12, 1.0 / 360, 1.0 / 1260, 1.0 / 1680, 1.0 / 1188)


# Whole counts up to this take stirlerr from a table of its values (a count column of a million
# rows has few distinct values; the table costs one evaluation per value below its largest).
_STIRLERR_TABLE_LIMIT = 100_000


def _whole_counts_top(x: FloatArray, limit: float) -> Optional[int]:
    """The largest value of many rows of whole counts from 0 to `limit` (where a table of one
    value per count pays for itself), or None for other rows."""
    if x.size <= 4096:
        return None
    top = float(x.max(initial=0.0))
    if not (top <= limit and float(x.min(initial=0.0)) >= 0.0 and bool(np.all(x == np.floor(x)))):
        return None
    return int(top)


def _stirlerr(n: FloatArray) -> FloatArray:
    n = _float(n)
    top = _whole_counts_top(n, _STIRLERR_TABLE_LIMIT)
    if top is not None and top < n.size:
        table = _stirlerr_direct(np.arange(top + 1, dtype=np.float64))
        return _float(table[n.astype(np.intp)])
    return _stirlerr_direct(n)


def _stirlerr_direct(n: FloatArray) -> FloatArray:
    with np.errstate(divide="ignore", invalid="ignore"):
        small = special.gammaln(n + 1.0) - (n + 0.5) * np.log(n) + n - _LN_SQRT_2PI
        nn = n * n
        series = np.select(
            [n > 500, n > 80, n > 35],
            [(_S0 - _S1 / nn) / n, (_S0 - (_S1 - _S2 / nn) / nn) / n,
             (_S0 - (_S1 - (_S2 - _S3 / nn) / nn) / nn) / n],
            (_S0 - (_S1 - (_S2 - (_S3 - _S4 / nn) / nn) / nn) / nn) / n)
    return _float(np.where(n == 0.0, 0.0, np.where(n <= 15.0, small, series)))


def _bd0(x: FloatArray, np_: FloatArray) -> FloatArray:
    """x log(x / np) + np − x, by its series where x is near np (nmath's bd0)."""
    x, np_ = np.broadcast_arrays(_float(x), _float(np_))
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        out = _float(special.xlogy(x, x / np_) + np_ - x)
        near = np.abs(x - np_) < 0.1 * (x + np_)
        if np.any(near):
            xs, ns = x[near], np_[near]
            v = (xs - ns) / (xs + ns)
            s = (xs - ns) * v
            ej = 2.0 * xs * v
            v = v * v
            done = np.abs(s) < _DBL_MIN
            for j in range(1, 1000):
                ej = ej * v
                s1 = s + ej / (2 * j + 1)
                done = done | (s1 == s)
                s = np.where(done, s, s1)
                if done.all():
                    break
            out[near] = s
    return out


def _log_dpois_raw(x: FloatArray, lam: FloatArray) -> FloatArray:
    """log dpois(x, λ) for real x ≥ 0 (nmath's dpois_raw, log scale)."""
    x, lam = np.broadcast_arrays(_float(x), _float(lam))
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        main = -0.5 * np.log(2.0 * math.pi * x) - _stirlerr(x) - _bd0(x, lam)
        tiny_lam = -lam + x * np.log(lam) - special.gammaln(x + 1.0)
        out = np.where(lam < x * _DBL_MIN, tiny_lam, main)
        out = np.where(x <= lam * _DBL_MIN, -lam, out)
        out = np.where(x < 0.0, -np.inf, out)
        out = np.where(np.isinf(lam), -np.inf, out)
        out = np.where(lam == 0.0, np.where(x == 0.0, 0.0, -np.inf), out)
    return _float(out)


def _nonint(x: FloatArray) -> FloatArray:
    return np.abs(x - np.round(x)) > 1e-7 * np.maximum(1.0, np.abs(x))  # type: ignore[return-value]


def _log_dpois(x: FloatArray, lam: FloatArray) -> FloatArray:
    """R's dpois(x, λ, log = TRUE); non-integer x has density 0 (R also warns)."""
    x = _float(x)
    out = _log_dpois_raw(np.round(x), lam)
    return _float(np.where(_nonint(x) | (x < 0), -np.inf, out))  # type: ignore[operator]


#: Counts and means up to this take `_whole_count_log_dpois_sum`'s sum: x log λ − λ − log x!
#: then has R's value (nmath's saddle-point form) to about 1e-11 per row, 1e5 times the
#: rounding of terms of that size.
_DIRECT_DPOIS_LIMIT = 1e4


def _whole_count_log_dpois_sum(x: FloatArray, lam: FloatArray,
                               weights: Optional[FloatArray]) -> Optional[float]:
    """Σ w log dpois(x, λ) as Σ w (x log λ − λ − log x!) with log x! from a table of the
    counts, for many rows of whole counts x and positive means λ up to `_DIRECT_DPOIS_LIMIT`
    (four times faster than nmath's form row by row); None for other rows."""
    x, lam = _float(x), _float(lam)
    if x.shape != lam.shape or x.size == 0 or not (
            float(lam.min()) > 0.0 and float(lam.max()) <= _DIRECT_DPOIS_LIMIT):
        return None
    top = _whole_counts_top(x, _DIRECT_DPOIS_LIMIT)
    if top is None:
        return None
    log_factorial = special.gammaln(np.arange(top + 1, dtype=np.float64) + 1.0)
    rows = special.xlogy(x, lam) - lam - log_factorial[x.astype(np.intp)]
    return float(rows.sum() if weights is None else rows @ _float(weights))


def _log_dbinom(x: FloatArray, n: FloatArray, p: FloatArray) -> FloatArray:
    """R's dbinom(x, n, p, log = TRUE) for whole x and n (nmath's dbinom_raw)."""
    x, n, p = np.broadcast_arrays(_float(x), _float(n), _float(p))
    q = 1.0 - p
    with np.errstate(divide="ignore", invalid="ignore"):
        lc0 = np.where(p < 0.1, -_bd0(n, n * q) - n * p, n * np.log(q))
        lcn = np.where(q < 0.1, -_bd0(n, n * p) - n * q, n * np.log(p))
        lc = (_stirlerr(n) - _stirlerr(x) - _stirlerr(n - x) - _bd0(x, n * p)
              - _bd0(n - x, n * q))
        lf = math.log(2.0 * math.pi) + np.log(x) + np.log1p(-x / n)
        out = np.where(x == 0.0, np.where(n == 0.0, 0.0, lc0),
                       np.where(x == n, lcn, -0.5 * lf + lc))
        out = np.where((x < 0.0) | (x > n), -np.inf, out)
        out = np.where(q == 0.0, np.where(x == n, 0.0, -np.inf), out)
        out = np.where(p == 0.0, np.where(x == 0.0, 0.0, -np.inf), out)
    return _float(out)


def _log_dgamma(x: FloatArray, shape: float, scale: FloatArray) -> FloatArray:
    """R's dgamma(x, shape, scale = scale, log = TRUE) (nmath's, through dpois_raw)."""
    x, scale = np.broadcast_arrays(_float(x), _float(scale))
    with np.errstate(divide="ignore", invalid="ignore"):
        if shape < 1.0:
            ratio = shape / x
            out = (_log_dpois_raw(np.full_like(x, shape), x / scale)
                   + np.where(np.isfinite(ratio), np.log(ratio),
                              math.log(shape) - np.log(x)))
            at_zero = np.inf
        else:
            out = _log_dpois_raw(np.full_like(x, shape - 1.0), x / scale) - np.log(scale)
            at_zero = -np.log(scale) if shape == 1.0 else -np.inf  # type: ignore[assignment]
        out = np.where(x == 0.0, at_zero, out)
        out = np.where(x < 0.0, -np.inf, out)
    return _float(out)


# ---- families ----------------------------------------------------------------------------------


@dataclass
class Start:
    """What R's ``initialize`` leaves: the response and prior weights as the fit reads them
    (a binomial count matrix becomes proportions, weighted by its totals), the starting μ,
    and the binomial trial counts (``n``; ones for other families)."""

    y: FloatArray
    weights: FloatArray
    mustart: FloatArray
    n: FloatArray


class Family:
    """An exponential-family error distribution with a link, as R's ``family`` object."""

    name = ""
    default_link = ""
    links: tuple[str, ...] = ()
    dispersion_estimated = True
    #: Whether R's rstudent leaves this family's studentized residuals undivided by the
    #: leave-one-out σ₍ᵢ₎ (it names two families; their quasi forms and glm.nb are divided).
    rstudent_unscaled = False
    #: Per link, the native IRLS kernel computing one pass for this family (see native_kernel).
    native_kernels: dict[str, str] = {}
    #: Per link, the weight of every row at the starting μ when it is the same for all rows.
    constant_start_weights: dict[str, float] = {}
    #: The family whose variance and deviance `_native.glm_pass` computes (None: none).
    native_family: Optional[str] = None

    @property
    def stored_name(self) -> str:
        """The name the model file holds, from which `family_from` makes the family again."""
        return self.name

    def __init__(self, link: Optional[str] = None) -> None:
        name = self.default_link if link is None else _canonical_link(link)
        if name not in self.links:
            raise ValueError(
                f"link {link!r} is not available for the {self.name} family; available "
                f"links are {', '.join(map(repr, self.links))}"
            )
        self.link: Link = LINKS[name]()

    def __repr__(self) -> str:
        return f"Family({self.name!r}, link={self.link.name!r})"

    @property
    def native_kernel(self) -> Optional[str]:
        """The native IRLS kernel computing one pass for this family and link, or None."""
        return self.native_kernels.get(self.link.name)

    @property
    def constant_start_weight(self) -> Optional[float]:
        """Weight of every row at the starting μ when it is the same for all rows (None else)."""
        return self.constant_start_weights.get(self.link.name)

    # ---- the distribution -------------------------------------------------------------------

    def variance(self, mu: FloatArray) -> FloatArray:
        raise NotImplementedError

    def valid_mu(self, mu: FloatArray) -> bool:
        """R's ``validmu``: whether μ is inside the family's range."""
        return True

    def unit_deviance(self, y: FloatArray, mu: FloatArray) -> FloatArray:
        """The deviance residuals of unit prior weight."""
        return self.dev_resids(y, mu, 1.0)

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        """R's ``dev.resids(y, mu, wt)``: the rows' contributions to the deviance."""
        raise NotImplementedError

    def deviance(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None) -> float:
        return float(self.dev_resids(y, mu, 1.0 if weights is None else weights).sum())

    def deviance_at(self, y: FloatArray, eta: FloatArray,
                    weights: Optional[FloatArray] = None) -> float:
        """The deviance at the linear predictor η (a family may keep digits μ loses)."""
        return self.deviance(y, self.link.inverse(eta), weights)

    def working_weights(self, eta: FloatArray, mu: FloatArray) -> FloatArray:
        """The IRLS weights μ'(η)² / V(μ) (of unit prior weights)."""
        mu_eta = self.link.mu_eta(eta)
        return np.asarray(mu_eta * mu_eta / self.variance(mu), dtype=np.float64)

    def score_ratio(self, eta: FloatArray, mu: FloatArray) -> FloatArray:
        """μ'(η) / V(μ), the factor of y − μ in the score (1 for a canonical link)."""
        return np.asarray(self.link.mu_eta(eta) / self.variance(mu), dtype=np.float64)

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        """The part of the AIC that adds up over rows (0 where R's aic uses the deviance
        alone); `aic_from_sums` completes it."""
        return 0.0

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        """R's ``family$aic`` from the summed row parts, the deviance, the row count, Σ log w
        and Σ w (None: n, as for unit weights)."""
        return math.nan

    def aic(self, y: FloatArray, mu: FloatArray, weights: Optional[FloatArray],
            deviance: float, n: int, trials: Optional[FloatArray] = None) -> float:
        """R's ``family$aic(y, n, mu, wt, dev)`` (the fit adds 2 × rank); NaN for R's NA.
        `n` is the row count; `trials` R's ``n`` of a binomial count response."""
        wt = np.ones_like(_float(y)) if weights is None else _float(weights)
        with np.errstate(divide="ignore"):
            log_weights = float(np.log(wt).sum())
        return self.aic_from_sums(self.aic_rows(y, mu, weights), deviance, n, log_weights,
                                  float(wt.sum()))

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        """The deviance of the model of the intercept alone (μ = ȳ), or of η = 0 without an
        intercept, from sums over the rows (unweighted rows, no offset)."""
        raise NotImplementedError(
            f"the null deviance of the {self.name} family needs the rows: use null_deviance_of")

    def null_deviance_of(self, y: FloatArray, weights: Optional[FloatArray] = None,
                         offset: Optional[FloatArray] = None,
                         has_intercept: bool = True) -> float:
        """glm.fit's null deviance from the rows: at the weighted mean of y with an
        intercept, else at μ = linkinv(offset)."""
        y = _float(y)
        wt = np.ones_like(y) if weights is None else _float(weights)
        if has_intercept:
            mu = np.full_like(y, float(wt @ y) / float(wt.sum()))
        else:
            mu = self.link.inverse(np.zeros_like(y) if offset is None else _float(offset))
        return float(self.dev_resids(y, mu, wt).sum())

    def initialize(self, y: FloatArray, weights: Optional[FloatArray] = None,
                   mustart: Optional[FloatArray] = None, has_start: bool = False) -> Start:
        """R's ``initialize`` as glm.fit evaluates it: checks the response (ValueError with
        R's message), and returns the starting μ (`mustart` when given, as glm.fit keeps
        it). `has_start`: starting η or coefficients are given."""
        y = _float(y)
        wt = np.ones(y.shape[0]) if weights is None else _float(weights)
        start = self._initialize(y, wt, mustart is not None or has_start)
        if mustart is not None:
            start.mustart = _float(mustart)
        return start

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        raise NotImplementedError

    def starting_mu(self, y: FloatArray) -> FloatArray:
        """R's ``initialize``: the μ the first IRLS step starts from."""
        return self.initialize(y).mustart

    def start(self, y: FloatArray) -> tuple[FloatArray, Optional[FloatArray], float]:
        """At R's start μ₀: the working response z₀, the weights (None when every row has
        `constant_start_weight`) and the deviance."""
        mu = self.starting_mu(y)
        eta = self.link.link(mu)
        z = eta + (y - mu) / self.link.mu_eta(eta)
        weights = None if self.constant_start_weight is not None else (
            self.working_weights(eta, mu))
        return z, weights, self.deviance(y, mu)

    @property
    def aic_needs_rows(self) -> bool:
        """Whether the AIC needs `aic_rows` summed over the rows at the final μ."""
        return type(self).aic_rows is not Family.aic_rows

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        """R's warning for fitted values on the boundary of the family's range, or None."""
        return None

    # ---- the response -------------------------------------------------------------------------

    def check_levels(self, name: str, levels: Sequence[str]) -> None:
        """Raises ValueError when a categorical response cannot be this family's."""
        raise ValueError(
            f"response {name!r} holds categories; a {self.name} model needs numbers")

    def prepare(self, name: str, values: FloatArray,
                levels: Optional[Sequence[str]]) -> FloatArray:
        """The response as the fit reads it: `values` are numbers, or the level positions of
        a categorical response when `levels` is given."""
        return values


def _ones_start(y: FloatArray, weights: FloatArray, mustart: FloatArray) -> Start:
    return Start(y, weights, _float(mustart), np.ones(y.shape[0]))


class Gaussian(Family):
    """R's ``gaussian()``: constant variance; with the identity link, least squares."""

    name = "gaussian"
    native_family: Optional[str] = "gaussian"
    default_link = "identity"
    links = ("identity", "log", "inverse")
    constant_start_weights = {"identity": 1.0}

    def variance(self, mu: FloatArray) -> FloatArray:
        return np.ones_like(_float(mu))

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        residual = _float(y) - _float(mu)
        return _float(wt * (residual * residual))  # type: ignore[operator]

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        if n <= 0:
            return math.nan
        with np.errstate(divide="ignore"):
            log_term = float(np.log(deviance / n * 2.0 * math.pi))
        return n * (log_term + 1.0) + 2.0 - log_weight_sum

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        if y_square_sum is None:
            return super().null_deviance(y_sum, n, has_intercept, y_square_sum)
        if has_intercept and n > 0:
            return max(y_square_sum - y_sum * y_sum / n, 0.0)
        c = float(self.link.inverse(np.zeros(1))[0])  # μ at η = 0: Σ (y − c)²
        if not math.isfinite(c):
            return math.inf
        return y_square_sum if c == 0.0 else y_square_sum - 2.0 * c * y_sum + n * c * c

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        link = self.link.name
        if not given and ((link == "inverse" and np.any(y == 0.0))
                          or (link == "log" and np.any(y <= 0.0))):
            raise ValueError(
                "cannot find valid starting values: please specify some (the gaussian "
                f"family's {link} link needs a response "
                f"{'without zeros' if link == 'inverse' else 'above 0'}, or a starting mu)")
        return _ones_start(y, weights, y)


class Binomial(Family):
    """R's ``binomial()``: y a 0/1 response (boolean or a two-level category, whose second
    level counts as 1), or a proportion whose prior weights are the numbers of trials."""

    name = "binomial"
    native_family: Optional[str] = "binomial"
    default_link = "logit"
    links = ("logit", "probit", "cloglog", "cauchit", "log")
    dispersion_estimated = False
    rstudent_unscaled = True
    native_kernels = {"logit": "logistic"}
    constant_start_weights = {"logit": 0.1875}  # μ(1 − μ) at R's start μ = 1/4 or 3/4
    warns_non_integer = True  # R's "non-integer #successes" (binomial only, not quasi)
    takes_counts = True  # cbind(successes, failures) responses

    @property
    def kernel(self) -> Optional[str]:
        return self.native_kernel

    def variance(self, mu: FloatArray) -> FloatArray:
        mu = _float(mu)
        return mu * (1.0 - mu)

    def valid_mu(self, mu: FloatArray) -> bool:
        mu = _float(mu)
        return _finite_all(mu) and bool(np.all((mu > 0.0) & (mu < 1.0)))

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        # R's C_binomial_dev_resids: 2 wt (y log(y/μ) + (1 − y) log((1 − y)/(1 − μ))).
        y, mu = _float(y), _float(mu)
        with np.errstate(divide="ignore", invalid="ignore"):
            a = np.where(y != 0.0, y * np.log(y / mu), 0.0)
            b = np.where(y != 1.0, (1.0 - y) * np.log((1.0 - y) / (1.0 - mu)), 0.0)
            return _float(2.0 * wt * (a + b))  # type: ignore[operator]

    def deviance_at(self, y: FloatArray, eta: FloatArray,
                    weights: Optional[FloatArray] = None) -> float:
        if self.link.name != "logit":
            return super().deviance_at(y, eta, weights)
        # Without rounding μ: log μ = −log(1 + e^(−η)), log(1 − μ) = −log(1 + e^η).
        y = _float(y)
        with np.errstate(divide="ignore", invalid="ignore"):
            units = (special.xlogy(y, y) + special.xlogy(1.0 - y, 1.0 - y)
                     + y * np.logaddexp(0.0, -eta) + (1.0 - y) * np.logaddexp(0.0, eta))
        return float(2.0 * (units.sum() if weights is None else units @ weights))

    def _log_likelihood_rows(self, y: FloatArray, mu: FloatArray, wt: FloatArray,
                             trials: Optional[FloatArray]) -> FloatArray:
        m = trials if trials is not None and np.any(trials > 1) else wt
        with np.errstate(divide="ignore", invalid="ignore"):
            share = np.where(m > 0, wt / m, 0.0)
            dens = _log_dbinom(np.round(m * y), np.round(m), mu)
            return _float(np.where(share == 0.0, 0.0, share * dens))

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        """−2 Σ (w/m) log dbinom(m y, m, μ), m the trials (or the weights)."""
        wt = np.ones_like(_float(y)) if weights is None else _float(weights)
        return float(-2.0 * self._log_likelihood_rows(_float(y), _float(mu), wt, trials).sum())

    @property
    def aic_needs_rows(self) -> bool:
        # The responses are 0/1 with unit weights: −2 Σ log dbinom(y, 1, μ) is the deviance.
        return False

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        return deviance if math.isnan(rows) else rows

    def aic(self, y: FloatArray, mu: FloatArray, weights: Optional[FloatArray],
            deviance: float, n: int, trials: Optional[FloatArray] = None) -> float:
        return self.aic_rows(y, mu, weights, trials)

    def start(self, y: FloatArray) -> tuple[FloatArray, Optional[FloatArray], float]:
        if self.link.name != "logit":
            return super().start(y)
        # μ₀ is 3/4 or 1/4: η₀ = ±log 3, z₀ = ±(log 3 + 4/3), each unit deviance 2 log(4/3).
        z = np.where(y > 0.5, _START_RESPONSE, -_START_RESPONSE)
        return z, None, 2.0 * y.shape[0] * math.log(4.0 / 3.0)

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        """Of a 0/1 response.

        >>> round(Binomial().null_deviance(3.0, 6, True), 6)
        8.317766
        """
        if not has_intercept:  # μ = linkinv(0) in every row
            units = self.unit_deviance(np.array([1.0, 0.0]), self.link.inverse(np.zeros(2)))
            return float(sum(count * unit for count, unit in zip((y_sum, n - y_sum), units)
                             if count > 0))
        deviance = 0.0
        for count in (y_sum, n - y_sum):
            if count > 0:
                deviance -= 2.0 * count * math.log(count / n)
        return deviance

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        if y.ndim == 2 and y.shape[1] == 2:
            if self.warns_non_integer and np.any(np.abs(y - np.round(y)) > 0.001):
                warnings.warn(f"non-integer counts in a {self.name} glm!", TallyfitWarning,
                              stacklevel=3)
            n = y[:, 0] + y[:, 1]
            with np.errstate(divide="ignore", invalid="ignore"):
                p = np.where(n == 0.0, 0.0, y[:, 0] / n)
            return Start(p, weights * n, (n * p + 0.5) / (n + 1.0), n)
        if y.ndim != 1:
            raise ValueError(
                f"for the {self.name!r} family, y must be a vector of 0 and 1's or a 2 column "
                "matrix where col 1 is no. successes and col 2 is no. failures")
        y = np.where(weights == 0.0, 0.0, y)
        if np.any((y < 0.0) | (y > 1.0)):
            bad = float(y[(y < 0.0) | (y > 1.0)][0])
            raise ValueError(
                f"y values must be 0 <= y <= 1 for the {self.name} family (found {bad!r}); a "
                "proportion's numbers of trials are its weights")
        mustart = (weights * y + 0.5) / (weights + 1.0)
        m = weights * y
        if self.warns_non_integer and np.any(np.abs(m - np.round(m)) > 0.001):
            warnings.warn(f"non-integer #successes in a {self.name} glm!", TallyfitWarning,
                          stacklevel=3)
        return _ones_start(y, weights, mustart)

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        eps = 10.0 * _EPS  # glm.fit's check
        if np.any(mu > 1.0 - eps) or np.any(mu < eps):
            return "glm.fit: fitted probabilities numerically 0 or 1 occurred"
        return None

    def check_levels(self, name: str, levels: Sequence[str]) -> None:
        if len(levels) != 2:
            raise ValueError(
                f"response {name!r} of a {self.name} model must be 0/1, boolean or a "
                f"two-level category; it has the levels {', '.join(map(repr, levels))}"
            )

    def prepare(self, name: str, values: FloatArray,
                levels: Optional[Sequence[str]]) -> FloatArray:
        if levels is not None:
            return np.asarray(np.equal(values, 1), dtype=np.float64)
        if values.ndim == 2:
            bad = ~(values >= 0.0) | np.isinf(values)
            if bad.any():
                raise ValueError(
                    f"the counts {name} of a {self.name} model must be finite and >= 0; it "
                    f"has {float(values[bad][0])!r}")
            return values
        bad = ~((values >= 0.0) & (values <= 1.0))
        if bad.any():
            raise ValueError(
                f"response {name!r} of a {self.name} model must be 0/1, boolean, a two-level "
                "category or a proportion (0 <= y <= 1, with weights= the numbers of "
                f"trials); it has the value {float(values[bad][0])!r}"
            )
        return values


class QuasiBinomial(Binomial):
    """R's ``quasibinomial()``: the binomial variance with an estimated dispersion; no AIC."""

    name = "quasibinomial"
    dispersion_estimated = True
    rstudent_unscaled = False
    native_kernels: dict[str, str] = {}
    warns_non_integer = False

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        return 0.0

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        return math.nan

    def aic(self, y: FloatArray, mu: FloatArray, weights: Optional[FloatArray],
            deviance: float, n: int, trials: Optional[FloatArray] = None) -> float:
        return math.nan

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        return None  # glm.fit checks family "binomial" only


class Poisson(Family):
    """R's ``poisson()``: counts, variance μ."""

    name = "poisson"
    native_family: Optional[str] = "poisson"
    default_link = "log"
    links = ("log", "identity", "sqrt")
    dispersion_estimated = False
    rstudent_unscaled = True
    _label = "Poisson"  # as R's message spells it

    def variance(self, mu: FloatArray) -> FloatArray:
        return _float(mu)

    def valid_mu(self, mu: FloatArray) -> bool:
        mu = _float(mu)
        return _finite_all(mu) and bool(np.all(mu > 0.0))

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        y, mu = np.broadcast_arrays(_float(y), _float(mu))
        wt = np.broadcast_to(_float(wt), y.shape)
        with np.errstate(divide="ignore", invalid="ignore"):
            r = np.where(y > 0.0, wt * (y * np.log(y / mu) - (y - mu)), mu * wt)
        return _float(2.0 * r)

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        direct = _whole_count_log_dpois_sum(y, mu, weights)
        if direct is not None:
            return -2.0 * direct
        dens = _log_dpois(y, mu)
        wt = 1.0 if weights is None else _float(weights)
        return float(-2.0 * (dens * wt).sum())

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        return rows

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        return super().null_deviance(y_sum, n, has_intercept, y_square_sum)

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        if np.any(y < 0.0):
            raise ValueError(
                f"negative values not allowed for the '{self._label}' family (found "
                f"{float(y[y < 0.0][0])!r})")
        return _ones_start(y, weights, y + 0.1)

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        if np.any(mu < 10.0 * _EPS):
            return "glm.fit: fitted rates numerically 0 occurred"
        return None


class QuasiPoisson(Poisson):
    """R's ``quasipoisson()``: variance proportional to μ, with an estimated dispersion."""

    name = "quasipoisson"
    dispersion_estimated = True
    rstudent_unscaled = False
    _label = "quasiPoisson"

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        return 0.0

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        return math.nan

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        return None  # glm.fit checks family "poisson" only


class _PositiveResponse(Family):
    def valid_mu(self, mu: FloatArray) -> bool:
        mu = _float(mu)
        return _finite_all(mu) and bool(np.all(mu > 0.0))

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        """Σ w log y."""
        log_y = np.log(_float(y))
        return float(log_y.sum() if weights is None else log_y @ _float(weights))


class Gamma(_PositiveResponse):
    """R's ``Gamma()``: positive responses, variance μ²."""

    name = "Gamma"
    native_family: Optional[str] = "Gamma"
    default_link = "inverse"
    links = ("inverse", "identity", "log")

    def variance(self, mu: FloatArray) -> FloatArray:
        mu = _float(mu)
        return mu * mu

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        y, mu = _float(y), _float(mu)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = np.log(np.where(y == 0.0, 1.0, y / mu))
            return _float(-2.0 * wt * (ratio - (y - mu) / mu))  # type: ignore[operator]

    def aic(self, y: FloatArray, mu: FloatArray, weights: Optional[FloatArray],
            deviance: float, n: int, trials: Optional[FloatArray] = None) -> float:
        wt = np.ones_like(_float(y)) if weights is None else _float(weights)
        disp = deviance / float(wt.sum())
        dens = _log_dgamma(y, 1.0 / disp, _float(mu) * disp)
        return float(-2.0 * (dens * wt).sum() + 2.0)

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        """From Σ w log y (`rows`), Σ w and the deviance: Σ w log dgamma sums to
        −Σ w log y − W/2 − aW − W lgamma(a) − aW log(disp), a = 1/disp = W/dev, as
        Σ w (log(y/μ) − y/μ) = −dev/2 − W."""
        w = float(n) if weight_sum is None else weight_sum
        disp = deviance / w
        a = 1.0 / disp
        log_likelihood = -rows - w / 2.0 - a * w - w * math.lgamma(a) - a * w * math.log(disp)
        return -2.0 * log_likelihood + 2.0

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        if np.any(y <= 0.0):
            raise ValueError(
                "non-positive values not allowed for the 'Gamma' family (found "
                f"{float(y[y <= 0.0][0])!r})")
        return _ones_start(y, weights, y)


class InverseGaussian(_PositiveResponse):
    """R's ``inverse.gaussian()``: positive responses, variance μ³."""

    name = "inverse.gaussian"
    native_family: Optional[str] = "inverse.gaussian"
    default_link = "1/mu^2"
    links = ("1/mu^2", "inverse", "identity", "log")

    def variance(self, mu: FloatArray) -> FloatArray:
        mu = _float(mu)
        return mu * mu * mu

    def valid_mu(self, mu: FloatArray) -> bool:
        return True  # R's inverse.gaussian()$validmu

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        y, mu = _float(y), _float(mu)
        with np.errstate(divide="ignore", invalid="ignore"):
            return _float(wt * ((y - mu) ** 2) / (y * mu ** 2))  # type: ignore[operator]

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        w = float(n) if weight_sum is None else weight_sum
        with np.errstate(divide="ignore"):
            log_term = float(np.log(deviance / w * 2.0 * math.pi))
        return w * (1.0 + log_term) + 3.0 * rows + 2.0

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        if np.any(y <= 0.0):
            raise ValueError(
                "positive values only are allowed for the 'inverse.gaussian' family (found "
                f"{float(y[y <= 0.0][0])!r})")
        return _ones_start(y, weights, y)


_FAMILIES: dict[str, type[Family]] = {
    family.name.lower(): family for family in (
        Binomial, QuasiBinomial, Poisson, QuasiPoisson, Gamma, InverseGaussian, Gaussian)
}
#: R's names of the families.
FAMILY_NAMES = tuple(family.name for family in _FAMILIES.values())
#: The family of `tf.glm` without one (this package's default since its first version).
DEFAULT_FAMILY = "binomial"

# The model-file kinds of the native cores that hold a model of this family and link.
NATIVE_KINDS: dict[tuple[str, str], str] = {
    ("gaussian", "identity"): "LinearRegression",
    ("binomial", "logit"): "LogisticRegression",
}
PENALIZED_NATIVE_KINDS: dict[tuple[str, str], str] = {
    ("binomial", "logit"): "PenalizedLogisticRegression",
}


def _canonical(name: str) -> str:
    return name.strip().lower().replace("_", ".")


def _canonical_link(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"link must be a string as R names it, not {type(name).__name__}")
    return name.strip().lower().replace(" ", "")


def family_from(name: object, link: Optional[str] = None) -> Family:
    """The family of R's name (lower case and "_" for "." accepted), with `link` (as R
    names it, e.g. "1/mu^2") or the family's default link; a Family is returned as it is.

    >>> family_from("Binomial")
    Family('binomial', link='logit')
    >>> family_from("quasi_poisson", "sqrt")
    Family('quasipoisson', link='sqrt')
    """
    if isinstance(name, Family):
        return name
    key = _canonical(name) if isinstance(name, str) else None
    compact = None if key is None else key.replace(" ", "")
    if compact is not None and compact.startswith("negativebinomial(") and compact.endswith(")"):
        return NegativeBinomial(_theta_of(compact[len("negativebinomial("):-1], name),
                                "log" if link is None else link)
    if key is not None and key not in _FAMILIES:
        key = key.replace(".", "") if key.replace(".", "") in _FAMILIES else key
    if key is None or key not in _FAMILIES:
        raise ValueError(
            f"family must be one of {', '.join(map(repr, FAMILY_NAMES))}, not {name!r}"
        )
    return _FAMILIES[key](link)


def _theta_of(text: str, name: object) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"family {name!r} names no θ: write it as 'Negative Binomial(1.5)'"
                         ) from None


def glm_family(name: object, link: Optional[str] = None) -> Family:
    """The family `tf.glm` fits with: R's family of that name and link.

    >>> glm_family("binomial")
    Family('binomial', link='logit')
    """
    return family_from(name, link)


def family_for_kind(kind: str) -> Family:
    """The family of a native model-file kind ("LinearRegression" etc.)."""
    for table in (NATIVE_KINDS, PENALIZED_NATIVE_KINDS):
        for (family, link), native in table.items():
            if native == kind:
                return family_from(family, link)
    raise ValueError(f"no family holds the native kind {kind!r}")


# ---- the negative binomial of MASS (built by glm_nb for a given θ, not by name) ------------------


def _r_format(x: float) -> str:
    """R's ``format(x)`` of one finite number (7 significant digits, fixed notation unless
    the scientific one is narrower), as formatReal chooses.

    >>> [_r_format(v) for v in (1.598, 1e5, 123456.0, 0.0001234, 1e-4, 0.0)]
    ['1.598', '1e+05', '123456', '0.0001234', '1e-04', '0']
    """
    if x == 0.0:
        return "0"
    mantissa, exponent = f"{abs(x):.6e}".split("e")
    digits = mantissa.replace(".", "").rstrip("0") or "0"
    significant, power = len(digits), int(exponent)
    sign = "-" if x < 0 else ""
    decimals = max(0, significant - power - 1)
    fixed_width = (power + 1 if power >= 0 else 1) + (decimals + 1 if decimals else 0)
    sci_width = (significant + 1 if significant > 1 else 1) + (5 if abs(power) >= 100 else 4)
    if fixed_width <= sci_width:
        return f"{sign}{abs(x):.{decimals}f}"
    return f"{sign}{abs(x):.{significant - 1}e}"  # Python writes R's e+05 and e+200


def _r_round(x: float, digits: int) -> float:
    """R's ``round(x, digits)`` (R ≥ 4.0's fround): the nearer of the two neighbours with
    `digits` decimals, measured in doubles; the even one on a tie.

    >>> _r_round(5e-05, 4), _r_round(1.59799, 4), _r_round(-2.5e-05, 4)
    (0.0, 1.598, -0.0)
    """
    if not math.isfinite(x) or x == 0.0:
        return x
    if x < 0.0:
        return -_r_round(-x, digits)
    if math.log10(2.0) * (0.5 + math.frexp(x)[1] - 1) + digits > 15:  # DBL_DIG
        return x
    scale = 10.0 ** digits
    lower = math.floor(x * scale)
    down, up = lower / scale, math.ceil(x * scale) / scale
    below, above = x - down, up - x
    return up if above < below or (above == below and lower % 2 == 1) else down


class NegativeBinomial(Family):
    """MASS's ``negative.binomial(theta, link)``: counts with variance μ + μ²/θ for a known
    θ > 0 (glm_nb estimates θ and refits with this family). Its dispersion is 1.

    >>> family = NegativeBinomial(1.5979907)
    >>> family.name, family.link.name, family.theta
    ('Negative Binomial(1.598)', 'log', 1.5979907)
    >>> family_from(family) is family
    True
    """

    default_link = "log"
    links = ("log", "sqrt", "identity")
    dispersion_estimated = False

    def __init__(self, theta: float, link: Optional[str] = "log") -> None:
        value = float(theta)
        if not (math.isfinite(value) and value > 0.0):
            raise ValueError(
                f"theta of the negative binomial family must be a positive finite number, "
                f"not {theta!r}")
        super().__init__(link)
        self.theta = value
        self.name = f"Negative Binomial({_r_format(_r_round(value, 4))})"

    def __repr__(self) -> str:
        return f"NegativeBinomial({self.theta!r}, link={self.link.name!r})"

    @property
    def stored_name(self) -> str:
        return f"Negative Binomial({self.theta!r})"  # θ in full, which `family_from` reads

    def variance(self, mu: FloatArray) -> FloatArray:
        mu = _float(mu)
        return mu + mu * mu / self.theta

    def valid_mu(self, mu: FloatArray) -> bool:
        return bool(np.all(_float(mu) > 0.0))  # MASS's: all(mu > 0), infinities pass

    def dev_resids(self, y: FloatArray, mu: FloatArray, wt: object) -> FloatArray:
        y, mu = _float(y), _float(mu)
        theta = self.theta
        with np.errstate(divide="ignore", invalid="ignore"):
            r = (y * np.log(np.maximum(1.0, y) / mu)
                 - (y + theta) * np.log((y + theta) / (mu + theta)))
        return _float(2.0 * wt * r)  # type: ignore[operator]

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None,
                 trials: Optional[FloatArray] = None) -> float:
        """MASS's aic: 2 Σ w (−log dnbinom(y; θ, μ)), which sums over the rows."""
        y, mu = _float(y), _float(mu)
        theta = self.theta
        with np.errstate(divide="ignore", invalid="ignore"):
            term = ((y + theta) * np.log(mu + theta) - special.xlogy(y, mu)
                    + special.gammaln(y + 1.0) - theta * math.log(theta)
                    + math.lgamma(theta) - special.gammaln(theta + y))
        wt = 1.0 if weights is None else _float(weights)
        return float(2.0 * (term * wt).sum())

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0, weight_sum: Optional[float] = None) -> float:
        return rows

    def _initialize(self, y: FloatArray, weights: FloatArray, given: bool) -> Start:
        if np.any(y < 0.0):
            raise ValueError(
                "negative values not allowed for the negative binomial family (found "
                f"{float(y[y < 0.0][0])!r})")
        return _ones_start(y, weights, y + (y == 0.0) / 6.0)


__all__ += ["NegativeBinomial"]
