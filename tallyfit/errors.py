"""The package's exception and warning classes, raised and filtered by type."""

from __future__ import annotations

__all__ = ["ConvergenceError", "TallyfitWarning", "ConvergenceWarning", "SeparationWarning"]


class ConvergenceError(ValueError):
    """An iterative fit that did not converge and has no usable estimate."""


class TallyfitWarning(UserWarning):
    """Base class of the warnings a fit issues (filter them all with this class)."""


class ConvergenceWarning(TallyfitWarning):
    """The fit stopped at its iteration limit before the convergence test held (R's
    "glm.fit: algorithm did not converge")."""


class SeparationWarning(TallyfitWarning):
    """Fitted probabilities of 0 or 1 to working precision: the outcome is (quasi-)separated
    by the predictors, so some estimates diverge (R's "glm.fit: fitted probabilities
    numerically 0 or 1 occurred")."""
