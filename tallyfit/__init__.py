"""tallyfit: statistical models in R's formula syntax on data frames.

>>> import tallyfit as tf
>>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
>>> round(m.coefficients["x"], 6)
1.1

`lm` fits ordinary least squares, `glm` a generalized linear model (optionally
ridge-penalized), `anova` and `drop1` give R's analysis of variance and deviance tables of
their fits, and `load` reads a saved model; data may be a pandas or polars DataFrame, a
pyarrow Table, a dict of equal-length sequences or a Dask DataFrame.
"""

from pkgutil import extend_path

# The native kernels are installed into the package directory in site-packages; a source
# checkout on sys.path (tests run from the repository) still finds them there.
__path__ = extend_path(__path__, __name__)

from .errors import (  # noqa: E402
    ConvergenceError,
    ConvergenceWarning,
    FitInterrupted,
    SeparationWarning,
    TallyfitWarning,
)
from .api import glm, lm, load  # noqa: E402
from .anova import AnovaTable, anova, drop1  # noqa: E402
from .negative_binomial import glm_nb  # noqa: E402
from .results import GeneralizedLinearModel, LinearModel, Model  # noqa: E402
from . import models  # noqa: E402  (the earlier module of the classes)
from .models import LogisticModel  # noqa: E402

__all__ = [
    "lm",
    "glm",
    "glm_nb",
    "load",
    "anova",
    "drop1",
    "AnovaTable",
    "Model",
    "LinearModel",
    "LogisticModel",
    "GeneralizedLinearModel",
    "ConvergenceError",
    "ConvergenceWarning",
    "FitInterrupted",
    "SeparationWarning",
    "TallyfitWarning",
]
__version__ = "0.1.0"
