"""`glm_nb`, MASS's ``glm.nb``: a negative binomial GLM whose θ is estimated by maximum
likelihood, alternating `theta_ml` with glm fits of `families.NegativeBinomial(θ)`.

glm.nb's loop, kept step for step (the iteration counts and the last digits are R's; each glm
fit ends where glm.fit's test stops, without tallyfit.glm's refit step): a
Poisson fit; θ by theta.ml at its μ; then, until |ΔL|/d₁ + |Δθ|/d₂ ≤ ε (L the
log-likelihood, d₁ = √(2 max(1, df.residual)), d₂ = 1), a refit with the family of the
current θ started from the previous η, and θ again by theta.ml at the μ *before* that refit
(as MASS does). The standard errors are those of the last fit, θ held fixed.
"""

from __future__ import annotations

import math
import sys
import warnings
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
from scipy import special

from . import api, arguments
from .engines import engine_for
from .errors import ConvergenceError, ConvergenceWarning, TallyfitWarning
from .families import NegativeBinomial
from .frames import FloatArray
from .progress import FitProgress
from .results import GeneralizedLinearModel

__all__ = ["NegativeBinomialModel", "ThetaEstimate", "glm_nb", "theta_ml"]

_THETA_EPS = float(np.finfo(np.float64).eps) ** 0.25  # theta.ml's default eps


@dataclass(frozen=True)
class ThetaEstimate:
    """What MASS's theta.ml returns: θ, its standard error (attribute "SE") and the warning
    it gave ("iteration limit reached", "estimate truncated at zero" or None)."""

    theta: float
    se: float
    warning: Optional[str] = None


def _score(theta: float, mu: FloatArray, y: FloatArray, w: FloatArray) -> float:
    return float(np.sum(w * (special.digamma(theta + y) - special.digamma(theta)
                             + math.log(theta) + 1.0 - np.log(theta + mu)
                             - (y + theta) / (mu + theta))))


def _info(theta: float, mu: FloatArray, y: FloatArray, w: FloatArray) -> float:
    return float(np.sum(w * (-special.polygamma(1, theta + y) + special.polygamma(1, theta)
                             - 1.0 / theta + 2.0 / (mu + theta)
                             - (y + theta) / (mu + theta) ** 2)))


def theta_ml(y: object, mu: object, n: Optional[float] = None,
             weights: Optional[object] = None, limit: int = 10,
             eps: float = _THETA_EPS) -> ThetaEstimate:
    """θ of a negative binomial with means `mu` by Newton's method on the score, as MASS's
    ``theta.ml(y, mu, n = sum(weights), weights, limit, eps)``; its warnings are issued
    (ConvergenceWarning at the iteration limit, TallyfitWarning when truncated at 0).

    >>> estimate = theta_ml([0, 1, 7, 2, 15, 0, 3, 0], [3.5] * 8)
    >>> round(estimate.theta, 6), round(estimate.se, 6)
    (0.466768, 0.306613)
    """
    y_ = np.asarray(y, dtype=np.float64)
    mu_ = np.asarray(mu, dtype=np.float64)
    if y_.shape != mu_.shape or y_.ndim != 1:
        raise ValueError(f"y and mu must be vectors of one length, not of shapes {y_.shape} "
                         f"and {mu_.shape}")
    w = np.ones_like(y_) if weights is None else np.asarray(weights, dtype=np.float64)
    if w.shape != y_.shape:
        raise ValueError(f"weights must have one value per row of y ({y_.shape[0]}), not "
                         f"{w.shape}")
    total = float(w.sum()) if n is None else float(n)
    theta = total / float(np.sum(w * (y_ / mu_ - 1.0) ** 2))
    iteration, delta, info = 0, 1.0, math.nan
    while True:
        iteration += 1
        if not (iteration < limit and abs(delta) > eps):
            break
        theta = abs(theta)
        info = _info(theta, mu_, y_, w)
        delta = _score(theta, mu_, y_, w) / info
        theta += delta
    if math.isnan(info):  # no Newton step was taken (limit < 2)
        info = _info(abs(theta), mu_, y_, w)
    message = None
    if theta < 0.0:
        theta = 0.0
        message = "estimate truncated at zero"
        warnings.warn(message, TallyfitWarning, stacklevel=2)
    if iteration == limit:
        message = "iteration limit reached"
        warnings.warn(f"theta_ml: {message}", ConvergenceWarning, stacklevel=2)
    with np.errstate(invalid="ignore", divide="ignore"):
        se = float(np.sqrt(1.0 / info))
    return ThetaEstimate(theta, se, message)


def _log_likelihood(theta: float, mu: FloatArray, y: FloatArray, w: FloatArray) -> float:
    # glm.nb's loglik; log(μ + (y == 0)) keeps 0 · log μ finite.
    return float(np.sum(w * (special.gammaln(theta + y) - special.gammaln(theta)
                             - special.gammaln(y + 1.0) + theta * math.log(theta)
                             + y * np.log(mu + (y == 0.0)) - (theta + y) * np.log(theta + mu))))


class NegativeBinomialModel(GeneralizedLinearModel):
    """The last glm fit of `glm_nb` (coefficients, standard errors with θ held fixed,
    deviances, `family` of the θ it was fitted with) plus MASS's `theta`, `se_theta`,
    `two_log_likelihood` (twologlik), `init_theta` (θ to 10 significant digits, as the call
    prints it) and `theta_warning` (th.warn). The log-likelihood, AIC and BIC count θ as a
    parameter (MASS's logLik.negbin)."""

    theta: float
    se_theta: float
    two_log_likelihood: float
    init_theta: float
    theta_warning: Optional[str]
    _rows: FloatArray

    @property
    def log_likelihood(self) -> float:
        return self.two_log_likelihood / 2.0

    @property
    def aic(self) -> float:
        return -self.two_log_likelihood + 2.0 * (self.rank + 1)

    @property
    def bic(self) -> float:
        rows = len(self._rows)  # logLik.negbin's nobs: rows with a residual, weight 0 too
        return -self.two_log_likelihood + math.log(rows) * (self.rank + 1)


def _signif(value: float, digits: int = 6) -> float:
    """R's ``signif(value)``: `digits` significant digits."""
    return float(f"{value:.{digits - 1}e}")


def _check_link(link: object) -> str:
    name = link.strip() if isinstance(link, str) else link
    if name not in NegativeBinomial.links:
        raise ValueError(
            f"link {link!r} is not available for glm_nb; available links are "
            f"{', '.join(map(repr, NegativeBinomial.links))}")
    return str(name)


def _fit(formula: str, data: object, family: Any, eta: FloatArray,
         options: dict[str, Any]) -> GeneralizedLinearModel:
    return api.fit_glm(formula, data, family, None, options["weights"], options["offset"],
                       None, options["max_iterations"], options["convergence_delta"],
                       eta_start=eta, progress=options["progress"], refit_step=False)


def glm_nb(formula: str, data: object, weights: Optional[object] = None,
           offset: Optional[object] = None, link: str = "log", max_iterations: int = 25,
           convergence_delta: float = 1e-8, progress: Optional[bool] = None,
           trace: bool = False) -> NegativeBinomialModel:
    """Fits a negative binomial GLM with θ estimated, as MASS's ``glm.nb(formula, data,
    weights, offset = ..., link = ..., control = glm.control(epsilon = convergence_delta,
    maxit = max_iterations))``. `weights` and `offset` are as for `tallyfit.glm`; `link` is
    "log", "sqrt" or "identity". `max_iterations` bounds each glm fit, each theta_ml and the
    alternations between them (a ConvergenceWarning when the alternations run out).
    `progress` is as for `tallyfit.glm`, over every glm fit; `trace` prints glm.nb's line
    per alternation to stderr, as MASS's message: "Theta(k) = θ, 2(Ls - Lm) = deviance".
    """
    chosen = _check_link(link)
    iterations = arguments.check_positive_int("max_iterations", max_iterations)
    delta_limit = arguments.check_non_negative("convergence_delta", convergence_delta)
    hook = FitProgress.for_fit("glm_nb", engine_for(data).NAME, progress)
    if not isinstance(trace, bool):
        raise TypeError(f"trace must be True or False, not {trace!r}")
    options: dict[str, Any] = {"weights": weights, "offset": offset,
                               "max_iterations": iterations, "convergence_delta": delta_limit,
                               "progress": hook}
    # The Poisson start, then θ at its μ.
    hook.prefix = "Poisson start, "
    # Each glm fit is glm.fit's own, without the refit's step: MASS alternates those.
    model = api.fit_glm(formula, data, "poisson", chosen, weights, offset, None, iterations,
                        delta_limit, progress=hook, refit_step=False)
    y = np.asarray(model.y, dtype=np.float64)
    w = np.asarray(model.prior_weights, dtype=np.float64)
    mu = np.asarray(model.fitted_values, dtype=np.float64)
    total = float(w.sum())

    def estimate(at: FloatArray) -> ThetaEstimate:
        found = theta_ml(y, at, total, w, limit=iterations)
        if not found.theta > 0.0:
            raise ConvergenceError(
                f"glm_nb: theta was estimated as {found.theta!r} for {formula!r}: the "
                "response is not over-dispersed for a negative binomial (fit a Poisson "
                "model with tallyfit.glm instead)")
        return found

    found = estimate(mu)
    theta = found.theta
    family = NegativeBinomial(theta, chosen)
    d1 = math.sqrt(2.0 * max(1, model.df_resid))
    d2 = change = 1.0
    likelihood = _log_likelihood(theta, mu, y, w)
    previous = likelihood + 2.0 * d1
    alternation = 0
    while True:
        alternation += 1
        if not (alternation <= iterations
                and abs(previous - likelihood) / d1 + abs(change) / d2 > delta_limit):
            break
        hook.prefix = f"glm fit {alternation} of at most {iterations}, "
        model = _fit(formula, data, family, family.link.link(mu), options)
        before = theta
        found = estimate(mu)  # at the μ before this refit, as glm.nb
        theta = found.theta
        family = NegativeBinomial(theta, chosen)
        mu = np.asarray(model.fitted_values, dtype=np.float64)
        change = before - theta
        previous, likelihood = likelihood, _log_likelihood(theta, mu, y, w)
        if trace:
            saturated = _log_likelihood(theta, y, y, w)
            print(f"Theta({alternation}) = {_signif(theta):f}, 2(Ls - Lm) = "
                  f"{_signif(2.0 * (saturated - likelihood)):f}", file=sys.stderr, flush=True)
    message = found.warning
    if alternation > iterations:
        message = "alternation limit reached"
        warnings.warn(f"glm_nb: {message} ({iterations} glm fits) for {formula!r}; raise "
                      "max_iterations", ConvergenceWarning, stacklevel=2)
    result = NegativeBinomialModel.__new__(NegativeBinomialModel)
    result.__dict__.update(model.__dict__)
    result._rows = y
    result.theta = theta
    result.se_theta = found.se
    result.two_log_likelihood = 2.0 * likelihood
    result.init_theta = float(f"{theta:.10g}")
    result.theta_warning = message
    return result
