from typing import Literal

import numpy as np
import numpy.typing as npt

_Array = npt.NDArray[np.float64]

def irls_pass(
    x: _Array, y: _Array, beta: _Array, kind: Literal["gram", "likelihood", "start"] = "gram"
) -> tuple[float, _Array | None, _Array | None]: ...
def gram(x: _Array, y: _Array | None = None) -> tuple[_Array, _Array | None]: ...
def inverse(a: _Array) -> _Array: ...
def penalty_diagonal(
    penalties: list[tuple[str, str | None, float]], names: list[str]
) -> _Array: ...
