"""Covariance matrices of the coefficients: the model-based one, and the sandwich estimators
of R's sandwich package (vcovHC types HC0–HC3, one-way clustered vcovCL). Each works on the
estimated columns (aliased ones left out).

A sandwich is (XᵀWX)⁻¹ M (XᵀWX)⁻¹ times sandwich's adjustment, where the "meat" M adds up
the rows' scores s_i = u_i x_i (u_i the working residual times the working weight, prior
weights included; for least squares w_i e_i): Σ ω_i u_i² x_i x_iᵀ for HC types, and
Σ_g S_g S_gᵀ of the per-cluster sums S_g = Σ_{i∈g} s_i for clusters. Engines compute the
meat in one pass over their blocks at the final estimate (`HeteroskedasticSums` and
`ClusterSums` add up over blocks); `sandwich` finishes it. The dispersion sandwich's bread
and scores carry cancels, so none is needed here.

>>> classical(np.array([[0.5, -0.5], [-0.5, 1.0]]), 2.0).tolist()
[[1.0, -1.0], [-1.0, 2.0]]
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

from . import _native
from .frames import FloatArray

__all__ = ["classical", "Choice", "choice", "HeteroskedasticSums", "ClusterSums", "sandwich",
           "TYPES"]

#: The heteroskedasticity-consistent types, as sandwich::vcovHC names them.
TYPES = ("HC0", "HC1", "HC2", "HC3")
#: The types a clustered covariance takes (sandwich's adjustment G/(G−1), and for HC1 also
#: (n−1)/(n−k)); HC1 when none is given.
CLUSTER_TYPES = ("HC0", "HC1")
#: Types that need the leverages (hat values) of every row.
LEVERAGE_TYPES = ("HC2", "HC3")

#: What `vcov=` of summary, conf_int and tidy takes.
VcovArgument = Union[None, str, Mapping[str, Any]]


def classical(unscaled: FloatArray, dispersion: float) -> FloatArray:
    """The model-based covariance: dispersion × (XᵀWX)⁻¹ (σ² (XᵀX)⁻¹ for least squares)."""
    return np.asarray(unscaled * dispersion, dtype=np.float64)


@dataclass(frozen=True)
class Choice:
    """Which covariance: `type` None (the model-based one) or one of `TYPES`, and `cluster`
    (None, a column name of the fitting data, or an array with one value per input row)."""

    type: Optional[str] = None
    cluster: Any = None

    @property
    def classical(self) -> bool:
        return self.type is None and self.cluster is None

    @property
    def clustered(self) -> bool:
        return self.cluster is not None

    @property
    def key(self) -> Optional[tuple[Optional[str], Optional[str]]]:
        """What the result is cached under (None for clusters given as numbers: not cached)."""
        if self.cluster is None or isinstance(self.cluster, str):
            return (self.type, self.cluster)
        return None

    def cluster_label(self) -> str:
        return self.cluster if isinstance(self.cluster, str) else "the given groups"


def choice(type: Optional[str] = None, cluster: Any = None) -> Choice:
    """The checked choice of `vcov(type, cluster)`: a clustered covariance is HC1 unless
    `type` says HC0.

    >>> choice("HC3"), choice(cluster="g")
    (Choice(type='HC3', cluster=None), Choice(type='HC1', cluster='g'))
    """
    if type is not None and type not in TYPES:
        raise ValueError(
            f"type must be None (the model-based covariance) or one of "
            f"{', '.join(map(repr, TYPES))}, not {type!r}")
    if cluster is None:
        return Choice(type, None)
    if isinstance(cluster, (bytes, bool)) or not (
            isinstance(cluster, str) or np.ndim(cluster) == 1):
        raise TypeError(
            "cluster must be a column name of the fitting data or an array with one value per "
            f"row of it, not {cluster!r}")
    if type is None:
        type = "HC1"
    if type not in CLUSTER_TYPES:
        raise ValueError(
            f"a clustered covariance takes type {' or '.join(map(repr, CLUSTER_TYPES))} "
            f"(or None for HC1), not {type!r}")
    return Choice(type, cluster if isinstance(cluster, str) else np.asarray(cluster))


def choice_from(vcov: VcovArgument) -> Choice:
    """The choice of a `vcov=` argument: None (model-based), a type such as "HC1", or a dict
    ``{"type": "HC1", "cluster": "g"}`` (either key may be left out).

    >>> choice_from({"cluster": "g"}).type, choice_from("HC0").cluster is None
    ('HC1', True)
    """
    if vcov is None or isinstance(vcov, str):
        return choice(vcov)
    if isinstance(vcov, Mapping):
        unknown = sorted(set(vcov) - {"type", "cluster"})
        if unknown:
            raise ValueError(f"vcov takes the keys 'type' and 'cluster', not "
                             f"{', '.join(map(repr, unknown))}")
        return choice(vcov.get("type"), vcov.get("cluster"))
    raise TypeError(
        "vcov must be None, a type such as 'HC1' or a dict such as "
        f"{{'type': 'HC1', 'cluster': 'g'}}, not {vcov!r}")


def description(chosen: Choice, clusters: Optional[int] = None) -> str:
    """The summary's line on the standard errors of a sandwich covariance.

    >>> description(Choice("HC1"))
    'Standard errors: heteroskedasticity-consistent (HC1)'
    >>> description(Choice("HC1", "firm"), 12)
    'Standard errors: clustered by firm (HC1, 12 clusters)'
    """
    if chosen.clustered:
        return (f"Standard errors: clustered by {chosen.cluster_label()} "
                f"({chosen.type}, {clusters} clusters)")
    return f"Standard errors: heteroskedasticity-consistent ({chosen.type})"


@dataclass
class HeteroskedasticSums:
    """Σ ω_i u_i² x_i x_iᵀ over the rows of a block, and the block's rows (zero weights
    included, as sandwich counts them)."""

    meat: FloatArray
    rows: int

    def __add__(self, other: "HeteroskedasticSums") -> "HeteroskedasticSums":
        return HeteroskedasticSums(self.meat + other.meat, self.rows + other.rows)


@dataclass
class ClusterSums:
    """The per-cluster score sums of a block: the cluster values (sorted, distinct), their
    sums (one row each) and the block's rows. Blocks merge by cluster value."""

    keys: np.ndarray
    scores: FloatArray
    rows: int

    @staticmethod
    def of(keys: np.ndarray, x: FloatArray, factors: FloatArray) -> "ClusterSums":
        """The sums Σ_{i∈g} u_i x_i of one block, read from X as it lies (no scaled copy of
        X, no grouping matrix)."""
        unique, codes = _unique(keys)
        scores = _native.group_sums(x, codes.astype(np.float64), factors, unique.shape[0])
        return ClusterSums(unique, scores, x.shape[0])

    def __add__(self, other: "ClusterSums") -> "ClusterSums":
        try:
            unique, codes = _unique(np.concatenate([self.keys, other.keys]))
        except TypeError:
            raise ValueError(
                "the cluster column holds values of different types in different blocks: "
                "convert it to one type") from None
        scores = np.zeros((unique.shape[0], self.scores.shape[1]))
        np.add.at(scores, codes, np.concatenate([self.scores, other.scores]))
        return ClusterSums(unique, scores, self.rows + other.rows)

    @property
    def clusters(self) -> int:
        return int(self.keys.shape[0])

    @property
    def meat(self) -> FloatArray:
        return np.asarray(self.scores.T @ self.scores, dtype=np.float64)


def _unique(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The sorted distinct keys and the position of each key among them."""
    if keys.dtype.kind in "iu" and keys.size:
        low, high = int(keys.min()), int(keys.max())
        if high - low <= 4 * keys.size:
            # Integer ids in a compact range (the usual cluster ids): counted, not sorted.
            offsets = (keys - low).astype(np.intp, copy=False)
            present = np.bincount(offsets, minlength=high - low + 1) > 0
            positions = np.cumsum(present) - 1
            return (np.flatnonzero(present) + low).astype(keys.dtype), positions[offsets]
    unique, codes = np.unique(keys, return_inverse=True)
    return unique, codes.reshape(-1)


MeatSums = Union[HeteroskedasticSums, ClusterSums]


def sandwich(unscaled: FloatArray, sums: MeatSums, chosen: Choice, nobs: int) -> FloatArray:
    """sandwich's covariance from (XᵀWX)⁻¹ (`unscaled`, of the k estimated columns) and the
    meat: (n₊/n)² · adjustment · (XᵀWX)⁻¹ M (XᵀWX)⁻¹, with n the rows of the fit and n₊
    (`nobs`) those of positive weight (sandwich's bread counts n₊, its meat n), and the
    adjustment 1 (HC0, HC2, HC3), n/(n−k) (HC1), G/(G−1) for G clusters (HC0) and
    G/(G−1) · (n−1)/(n−k) (clustered HC1).

    >>> x = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    >>> u = np.array([0.5, -1.0, 0.5])
    >>> meat = HeteroskedasticSums(x.T @ (x * (u * u)[:, None]), 3)
    >>> sandwich(np.linalg.inv(x.T @ x), meat, Choice("HC0"), 3).round(6).tolist()
    [[0.291667, -0.125], [-0.125, 0.125]]
    """
    n = sums.rows
    k = unscaled.shape[0]
    adjustment = 1.0
    if isinstance(sums, ClusterSums):
        clusters = sums.clusters
        if clusters < 2:
            raise ValueError(
                f"a clustered covariance needs at least two clusters; {chosen.cluster_label()} "
                f"has {clusters} in the rows of the fit")
        adjustment = clusters / (clusters - 1.0)
        if chosen.type == "HC1":
            adjustment *= (n - 1.0) / (n - k) if n > k else np.nan
    elif chosen.type == "HC1":
        adjustment = n / (n - k) if n > k else np.nan
    scale = (nobs / n) ** 2 * adjustment
    product = unscaled @ sums.meat @ unscaled
    # Symmetric to the last bit, as the crossproducts sandwich forms are.
    return np.asarray(scale * (product + product.T) / 2.0, dtype=np.float64)
