"""The model classes and fitting functions under their earlier module name, and
`core_from_coefficients`.

>>> import tallyfit as tf
>>> core = tf.models.core_from_coefficients("LinearRegression", ["x"], [2.0],
...                                          tf.lm("y ~ x - 1", {"x": [1.0, 2.0],
...                                                              "y": [2.0, 4.0]})._plan.encoder(),
...                                          tf.lm("y ~ x - 1", {"x": [1.0, 2.0],
...                                                              "y": [2.0, 4.0]})._plan.formula)
>>> core.coefficients
{'x': 2.0}
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, Optional

import _tallyfit

from . import model_file
from .api import glm, lm, load
from .results import GeneralizedLinearModel, LinearModel, Model

LogisticModel = GeneralizedLinearModel

__all__ = ["Model", "LinearModel", "LogisticModel", "GeneralizedLinearModel", "lm", "glm",
           "load", "core_from_coefficients"]


def core_from_coefficients(
    kind: str,
    names: Sequence[str],
    coefficients: Sequence[float],
    encoder: _tallyfit.Encoder,
    formula: _tallyfit.Formula,
    penalties: Optional[Sequence[tuple[str, Optional[str], float]]] = None,
) -> Any:
    """A native core of `kind` (a model-file kind) holding coefficients computed elsewhere,
    with the encoding and formula a model file needs. NaN coefficients are left out."""
    if kind not in model_file.CORE_KINDS:
        raise ValueError(
            f"kind must be one of {', '.join(model_file.CORE_KINDS)}, not {kind!r}")
    state = model_file.ModelState(
        kind,
        {name: float(value) for name, value in zip(names, coefficients)
         if math.isfinite(float(value))},
        model_file.encoding_of(encoder), formula,
        [(v, level, lam, 0.0) for v, level, lam in penalties or []])
    return model_file.native_core(state)
