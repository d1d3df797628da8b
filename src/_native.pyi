from typing import Literal

import numpy as np
import numpy.typing as npt

_Array = npt.NDArray[np.float64]

def irls_pass(
    x: _Array, y: _Array, beta: _Array, kind: Literal["gram", "likelihood", "start"] = "gram"
) -> tuple[float, _Array | None, _Array | None]: ...
def glm_pass(
    x: _Array,
    y: _Array,
    beta: _Array,
    family: Literal["gaussian", "binomial", "poisson", "Gamma", "inverse.gaussian"],
    link: Literal[
        "identity", "log", "inverse", "logit", "probit", "cloglog", "cauchit", "sqrt", "1/mu^2"
    ],
    weights: _Array | None = None,
    offset: _Array | None = None,
) -> tuple[float, _Array, _Array, bool]:
    """One IRLS pass of a generalized linear model over the rows of x at beta.

    With eta = x beta + offset, mu = linkinv(eta), w = weights mu.eta(eta)^2 / V(mu) and
    z = eta - offset + (y - mu) / mu.eta(eta), returns (deviance, information, right, valid):
    sum(dev.resids(y, mu, weights)), X'WX, X'Wz (rows of weight 0 add nothing) and R's
    valideta(eta) && validmu(mu). Family and link by R's names (a quasi family by its base
    family's); weights default to 1, offset to 0. ValueError for a shape mismatch, an unknown
    name or a link the family does not take.
    """
    ...

def coded_glm_pass(
    x: _Array,
    codes: _Array,
    levels: _Array,
    y: _Array,
    beta: _Array,
    family: Literal["gaussian", "binomial", "poisson", "Gamma", "inverse.gaussian"],
    link: Literal[
        "identity", "log", "inverse", "logit", "probit", "cloglog", "cauchit", "sqrt", "1/mu^2"
    ],
    weights: _Array | None = None,
    offset: _Array | None = None,
) -> tuple[float, _Array, _Array, bool]: ...
def gram(
    x: _Array, y: _Array | None = None, weights: _Array | None = None
) -> tuple[_Array, _Array | None]: ...
def inverse(a: _Array) -> _Array: ...
def matvec(x: _Array, v: _Array) -> _Array: ...
def rmatvec(x: _Array, v: _Array) -> _Array: ...
def group_sums(x: _Array, codes: _Array, factors: _Array, groups: int) -> _Array: ...
def spline_basis(x: _Array, knots: _Array, order: int, combination: _Array) -> _Array: ...
def penalty_diagonal(
    penalties: list[tuple[str, str | None, float]], names: list[str]
) -> _Array: ...
