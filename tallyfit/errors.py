"""The package's exception and warning classes, raised and filtered by type."""

from __future__ import annotations

__all__ = ["ConvergenceError", "TallyfitWarning", "ConvergenceWarning", "SeparationWarning",
           "FitInterrupted"]


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


class FitInterrupted(KeyboardInterrupt):
    """A fit stopped by Ctrl-C (SIGINT); the message names the pass it stopped in, such as
    "glm interrupted in IRLS iteration 3 of at most 25, pass over batch 5 of 12". Caught by
    ``except KeyboardInterrupt`` as any interrupt."""
