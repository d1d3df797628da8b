"""Error distributions and link functions of generalized linear models, as R's ``family``
objects: what a fit needs to know of a family is here and nowhere else.

A `Link` maps the mean μ to the linear predictor η (``linkfun``), back (``linkinv``), and
gives dμ/dη (``mu.eta``). A `Family` has R's name, its default link, the variance function,
the unit deviances (``dev.resids``), the AIC (``aic``), the response's check and preparation,
the starting μ (``initialize``), whether the dispersion is estimated, and the id of a native
kernel that computes one IRLS pass for it (None: the NumPy pass of `solvers` is used).

A new family is one `Family` subclass here and one line in `_FAMILIES`.

>>> family = family_from("binomial")
>>> family.name, family.link.name, family.dispersion_estimated
('binomial', 'logit', False)
>>> family_from("gaussian").link.name
'identity'
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Optional

import numpy as np
from scipy import special

from .frames import FloatArray

__all__ = ["Link", "Family", "Binomial", "Gaussian", "family_from", "FAMILY_NAMES"]

_EPS = float(np.finfo(np.float64).eps)  # .Machine$double.eps
_START_RESPONSE = math.log(3.0) + 4.0 / 3.0


class Link:
    """A link function g: η = g(μ), with its inverse and dμ/dη."""

    name = ""

    def link(self, mu: FloatArray) -> FloatArray:
        raise NotImplementedError

    def inverse(self, eta: FloatArray) -> FloatArray:
        raise NotImplementedError

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        raise NotImplementedError

    def valid_eta(self, eta: FloatArray) -> bool:
        return True


class IdentityLink(Link):
    name = "identity"

    def link(self, mu: FloatArray) -> FloatArray:
        return np.asarray(mu, dtype=np.float64)

    def inverse(self, eta: FloatArray) -> FloatArray:
        return np.asarray(eta, dtype=np.float64)

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        return np.ones_like(np.asarray(eta, dtype=np.float64))


class LogitLink(Link):
    name = "logit"

    def link(self, mu: FloatArray) -> FloatArray:
        return np.asarray(special.logit(mu), dtype=np.float64)

    def inverse(self, eta: FloatArray) -> FloatArray:
        return np.asarray(special.expit(eta), dtype=np.float64)

    def mu_eta(self, eta: FloatArray) -> FloatArray:
        # R's: pmax(exp(-|eta|) / (1 + exp(-|eta|))^2, .Machine$double.eps)
        e = np.exp(-np.abs(eta))
        return np.asarray(np.maximum(e / (1.0 + e) ** 2, _EPS), dtype=np.float64)


class Family:
    """An exponential-family error distribution with a link, as R's ``family`` object."""

    name = ""
    default_link = ""
    links: dict[str, type[Link]] = {}
    dispersion_estimated = True
    #: The native IRLS kernel computing one pass for this family and link, or None.
    native_kernel: Optional[str] = None
    #: Weight of every row at the starting μ when it is the same for all rows (None else).
    constant_start_weight: Optional[float] = None

    def __init__(self, link: Optional[str] = None) -> None:
        name = self.default_link if link is None else _canonical(link)
        if name not in self.links:
            raise ValueError(
                f"link {link!r} is not offered for the {self.name} family; links: "
                f"{', '.join(self.links)}"
            )
        self.link: Link = self.links[name]()

    def __repr__(self) -> str:
        return f"Family({self.name!r}, link={self.link.name!r})"

    # ---- the distribution -------------------------------------------------------------------

    def variance(self, mu: FloatArray) -> FloatArray:
        raise NotImplementedError

    def unit_deviance(self, y: FloatArray, mu: FloatArray) -> FloatArray:
        raise NotImplementedError

    def working_weights(self, eta: FloatArray, mu: FloatArray) -> FloatArray:
        """The IRLS weights μ'(η)² / V(μ) (of unit prior weights)."""
        mu_eta = self.link.mu_eta(eta)
        return np.asarray(mu_eta * mu_eta / self.variance(mu), dtype=np.float64)

    def score_ratio(self, eta: FloatArray, mu: FloatArray) -> FloatArray:
        """μ'(η) / V(μ), the factor of y − μ in the score (1 for a canonical link)."""
        return np.asarray(self.link.mu_eta(eta) / self.variance(mu), dtype=np.float64)

    def deviance(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None) -> float:
        units = self.unit_deviance(y, mu)
        return float(units.sum() if weights is None else units @ weights)

    def deviance_at(self, y: FloatArray, eta: FloatArray,
                    weights: Optional[FloatArray] = None) -> float:
        """The deviance at the linear predictor η (a family may keep digits μ loses)."""
        return self.deviance(y, self.link.inverse(eta), weights)

    def aic_rows(self, y: FloatArray, mu: FloatArray,
                 weights: Optional[FloatArray] = None) -> float:
        """The part of the AIC that adds up over rows (0 where R's aic uses the deviance)."""
        return 0.0

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0) -> float:
        """R's ``family$aic`` from the summed row parts, the deviance and the row count."""
        raise NotImplementedError

    def aic(self, y: FloatArray, mu: FloatArray, weights: Optional[FloatArray],
            deviance: float, n: int) -> float:
        """R's ``family$aic(y, n, mu, wt, dev)`` (the fit adds 2 × rank)."""
        log_weights = 0.0 if weights is None else float(np.log(weights).sum())
        return self.aic_from_sums(self.aic_rows(y, mu, weights), deviance, n, log_weights)

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        """The deviance of the model of the intercept alone (μ = ȳ), or of η = 0 without an
        intercept, from sums over the rows (unweighted rows, no offset)."""
        raise NotImplementedError

    def starting_mu(self, y: FloatArray) -> FloatArray:
        """R's ``initialize``: the μ the first IRLS step starts from."""
        raise NotImplementedError

    def start(self, y: FloatArray) -> tuple[FloatArray, Optional[FloatArray], float]:
        """At R's start μ₀: the working response z₀, the weights (None when every row has
        `constant_start_weight`) and the deviance."""
        mu = self.starting_mu(y)
        eta = self.link.link(mu)
        mu_eta = self.link.mu_eta(eta)
        z = eta + (y - mu) / mu_eta
        weights = None if self.constant_start_weight is not None else (
            self.working_weights(eta, mu))
        return z, weights, self.deviance(y, mu)

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        """R's warning for fitted values on the boundary of the family's range, or None."""
        return None

    # ---- the response -------------------------------------------------------------------------

    def check_levels(self, name: str, levels: Sequence[str]) -> None:
        """Raises ValueError when a categorical response cannot be this family's."""
        raise ValueError(f"response {name!r} holds categories; a linear model needs numbers")

    def prepare(self, name: str, values: FloatArray,
                levels: Optional[Sequence[str]]) -> FloatArray:
        """The response as the fit reads it: `values` are numbers, or the level positions of
        a categorical response when `levels` is given."""
        return values


class Gaussian(Family):
    """R's ``gaussian()``: constant variance; with the identity link, least squares."""

    name = "gaussian"
    default_link = "identity"
    links = {"identity": IdentityLink}
    constant_start_weight = 1.0

    def variance(self, mu: FloatArray) -> FloatArray:
        return np.ones_like(np.asarray(mu, dtype=np.float64))

    def unit_deviance(self, y: FloatArray, mu: FloatArray) -> FloatArray:
        residual = np.asarray(y - mu, dtype=np.float64)
        return residual * residual

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0) -> float:
        if n <= 0 or deviance <= 0.0:
            return -math.inf if n > 0 else math.nan
        return n * (math.log(deviance / n * 2.0 * math.pi) + 1.0) + 2.0 - log_weight_sum

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        assert y_square_sum is not None
        if has_intercept and n > 0:
            return max(y_square_sum - y_sum * y_sum / n, 0.0)
        return y_square_sum

    def starting_mu(self, y: FloatArray) -> FloatArray:
        return np.asarray(y, dtype=np.float64)


class Binomial(Family):
    """R's ``binomial()`` for 0/1 responses: a response is 0/1, boolean or a two-level
    category, whose second level counts as 1."""

    name = "binomial"
    default_link = "logit"
    links = {"logit": LogitLink}
    dispersion_estimated = False
    native_kernel = "logistic"
    constant_start_weight = 0.1875  # μ(1 − μ) at R's start μ = 1/4 or 3/4

    def variance(self, mu: FloatArray) -> FloatArray:
        return np.asarray(mu * (1.0 - mu), dtype=np.float64)

    def unit_deviance(self, y: FloatArray, mu: FloatArray) -> FloatArray:
        # R's binomial dev.resids: 2 (y log(y/μ) + (1 − y) log((1 − y)/(1 − μ))), with R's
        # y_log_y (0 where y is 0).
        def y_log_y(a: FloatArray, b: FloatArray) -> FloatArray:
            with np.errstate(divide="ignore", invalid="ignore"):
                return np.where(a != 0.0, a * np.log(a / b), 0.0)

        return np.asarray(2.0 * (y_log_y(y, mu) + y_log_y(1.0 - y, 1.0 - mu)),
                          dtype=np.float64)

    def working_weights(self, eta: FloatArray, mu: FloatArray) -> FloatArray:
        if self.link.name == "logit":  # canonical: V(μ) itself, exactly 0 where μ is 0 or 1
            return self.variance(mu)
        return super().working_weights(eta, mu)

    def score_ratio(self, eta: FloatArray, mu: FloatArray) -> FloatArray:
        if self.link.name == "logit":  # canonical: exactly 1, also where μ(1 − μ) is 0
            return np.ones_like(np.asarray(eta, dtype=np.float64))
        return super().score_ratio(eta, mu)

    def deviance_at(self, y: FloatArray, eta: FloatArray,
                    weights: Optional[FloatArray] = None) -> float:
        if self.link.name != "logit":
            return super().deviance_at(y, eta, weights)
        # Exactly, without rounding μ: 2 Σ log(1 + e^(−sη)), s = +1 for y = 1, −1 for y = 0.
        signed = np.where(y > 0.5, -eta, eta)
        units = np.logaddexp(0.0, signed, out=signed)
        return float(2.0 * (units.sum() if weights is None else units @ weights))

    def aic_from_sums(self, rows: float, deviance: float, n: int,
                      log_weight_sum: float = 0.0) -> float:
        # −2 Σ log dbinom(y, 1, μ): for 0/1 responses the deviance itself.
        return deviance

    def null_deviance(self, y_sum: float, n: int, has_intercept: bool,
                      y_square_sum: Optional[float] = None) -> float:
        """The null deviance of 0/1 responses: μ = ȳ with an intercept, μ = 1/2 without.

        >>> round(Binomial().null_deviance(3.0, 6, True), 6)
        8.317766
        """
        if not has_intercept:
            return float(2.0 * n * math.log(2.0))
        deviance = 0.0
        for count in (y_sum, n - y_sum):
            if count > 0:
                deviance -= 2.0 * count * math.log(count / n)
        return deviance

    def starting_mu(self, y: FloatArray) -> FloatArray:
        return np.asarray((y + 0.5) / 2.0, dtype=np.float64)

    def start(self, y: FloatArray) -> tuple[FloatArray, Optional[FloatArray], float]:
        if self.link.name != "logit":
            return super().start(y)
        # μ₀ is 3/4 or 1/4: η₀ = ±log 3, z₀ = ±(log 3 + 4/3), each unit deviance 2 log(4/3).
        z = np.where(y > 0.5, _START_RESPONSE, -_START_RESPONSE)
        return z, None, 2.0 * y.shape[0] * math.log(4.0 / 3.0)

    def boundary_warning(self, mu: FloatArray) -> Optional[str]:
        eps = 10.0 * _EPS  # glm.fit's check
        if np.any(mu > 1.0 - eps) or np.any(mu < eps):
            return "glm.fit: fitted probabilities numerically 0 or 1 occurred"
        return None

    def check_levels(self, name: str, levels: Sequence[str]) -> None:
        if len(levels) != 2:
            raise ValueError(
                f"response {name!r} of a binomial model must be 0/1, boolean or a "
                f"two-level category; it has the levels {', '.join(map(repr, levels))}"
            )

    def prepare(self, name: str, values: FloatArray,
                levels: Optional[Sequence[str]]) -> FloatArray:
        if levels is not None:
            return np.asarray(np.equal(values, 1), dtype=np.float64)
        bad = (values != 0.0) & (values != 1.0)
        if bad.any():
            raise ValueError(
                f"response {name!r} of a binomial model must be 0/1, boolean or a "
                f"two-level category; it has the value {float(values[bad][0])!r}"
            )
        return values


_FAMILIES: dict[str, type[Family]] = {
    "binomial": Binomial,
    "gaussian": Gaussian,
}
FAMILY_NAMES = tuple(_FAMILIES)
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


def family_from(name: object, link: Optional[str] = None) -> Family:
    """The family of R's name (lower case and "_" for "." accepted), with `link` or the
    family's default link; a Family is returned as it is.

    >>> family_from("Binomial")
    Family('binomial', link='logit')
    """
    if isinstance(name, Family):
        return name
    if not isinstance(name, str) or _canonical(name) not in _FAMILIES:
        raise ValueError(
            f"family must be {' or '.join(map(repr, _FAMILIES))}, not {name!r}"
        )
    return _FAMILIES[_canonical(name)](link)


def family_for_kind(kind: str) -> Family:
    """The family of a native model-file kind ("LinearRegression" etc.)."""
    for table in (NATIVE_KINDS, PENALIZED_NATIVE_KINDS):
        for (family, link), native in table.items():
            if native == kind:
                return family_from(family, link)
    raise ValueError(f"no family holds the native kind {kind!r}")
