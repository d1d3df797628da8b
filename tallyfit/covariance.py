"""Covariance matrices of the coefficients: the seam where other estimators (HC0–HC3,
clustered) come in. Each works on the estimated columns (aliased ones left out).

>>> classical(np.array([[0.5, -0.5], [-0.5, 1.0]]), 2.0).tolist()
[[1.0, -1.0], [-1.0, 2.0]]
"""

from __future__ import annotations

import numpy as np

from .frames import FloatArray

__all__ = ["classical"]


def classical(unscaled: FloatArray, dispersion: float) -> FloatArray:
    """The model-based covariance: dispersion × (XᵀWX)⁻¹ (σ² (XᵀX)⁻¹ for least squares)."""
    return np.asarray(unscaled * dispersion, dtype=np.float64)
