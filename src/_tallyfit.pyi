"""Types of the native core of tallyfit: formulas, encoding records and model cores."""

from collections.abc import Sequence
from typing import ClassVar, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "Formula",
    "FormulaTerm",
    "Encoder",
    "EncodedColumnInfo",
    "EncodingType",
    "LinearRegressionCore",
    "LogisticRegressionCore",
    "PenalizedLogisticRegressionCore",
    "PenaltySpecification",
    "_parse_formula",
    "_is_numeric",
]

# Anything the interpreter's float() accepts: float, int, or objects with __float__/__index__.
_Float = SupportsFloat | SupportsIndex
# A dict is invariant in its values, so the common value types are listed one by one.
_CoefficientDict = dict[str, float] | dict[str, int] | dict[str, _Float]
# A design matrix is two-dimensional and a response one-dimensional; NumPy's static types do not
# carry the number of dimensions, the module checks it at run time.
_Float64Array = npt.NDArray[np.float64]

@final
class FormulaTerm:
    """Objects come only from a Formula's `dependent` and `independent`; calling the class
    raises TypeError."""

    @property
    def name(self) -> str: ...
    @property
    def dependent(self) -> bool: ...
    @property
    def subtracted(self) -> bool: ...
    @property
    def intercept(self) -> bool: ...
    @property
    def interaction(self) -> bool: ...
    def get_columns_from_term(self) -> list[str]: ...

@final
class Formula:
    def __new__(
        cls, original_str: str, dependent: FormulaTerm, independent: Sequence[FormulaTerm]
    ) -> Formula: ...
    @property
    def original(self) -> str: ...
    @property
    def dependent(self) -> FormulaTerm: ...
    @property
    def independent(self) -> list[FormulaTerm]: ...
    def get_column_names(self, with_dependent: bool | np.bool_ | None = ...) -> list[str]: ...

@final
class EncodingType:
    """An enumeration; calling the class raises TypeError."""

    Dummy: ClassVar[EncodingType]
    OneHot: ClassVar[EncodingType]
    Bool: ClassVar[EncodingType]
    Numeric: ClassVar[EncodingType]
    # Equality without a hash: the values cannot be dict keys or set members.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def name(self) -> str: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class EncodedColumnInfo:
    def __new__(cls, levels: Sequence[str] | None, encoding_type: EncodingType) -> EncodedColumnInfo: ...
    @property
    def levels(self) -> list[str] | None: ...
    @property
    def encoding_type(self) -> EncodingType: ...

@final
class Encoder:
    def __new__(cls) -> Encoder: ...
    @property
    def column_mappings(self) -> dict[str, EncodedColumnInfo]: ...
    @column_mappings.setter
    def column_mappings(self, mappings: dict[str, EncodedColumnInfo]) -> None: ...
    def add_column_mapping(self, col_name: str, col_info: EncodedColumnInfo) -> None: ...
    def get_column_mapping(self, col_name: str) -> EncodedColumnInfo | None: ...

@final
class PenaltySpecification:
    """One quadratic penalty on a coefficient; it has no readable attributes."""

    def __new__(
        cls,
        variable_name: str,
        categorical_level: str | None,
        lambda_param: _Float,
        target: _Float = 0.0,
    ) -> PenaltySpecification: ...

# What the three model cores have in common. The class exists only in this stub: at run time
# each core defines these members itself.
class _ModelCore:
    # The getter gives None until the model is fitted; the setter accepts only a dict.
    @property
    def coefficients(self) -> dict[str, float] | None: ...
    @coefficients.setter
    def coefficients(self, new_coefficients: _CoefficientDict) -> None: ...
    @property
    def formula(self) -> Formula | None: ...
    @formula.setter
    def formula(self, new_formula: Formula) -> None: ...
    @property
    def encoding_data(self) -> Encoder: ...
    def predict(self, x_matrix: _Float64Array, x_col_names: Sequence[str]) -> _Float64Array: ...
    def save_to_file(self, filepath: str) -> None: ...
    def load_from_file(self, filepath: str) -> None: ...

@final
class LinearRegressionCore(_ModelCore):
    def __new__(cls) -> LinearRegressionCore: ...
    def fit(
        self,
        x_matrix: _Float64Array,
        y_matrix: _Float64Array,
        x_col_names: Sequence[str],
        encoder: Encoder,
    ) -> None: ...

@final
class LogisticRegressionCore(_ModelCore):
    def __new__(cls) -> LogisticRegressionCore: ...
    def fit(
        self,
        x_matrix: _Float64Array,
        y_matrix: _Float64Array,
        x_col_names: Sequence[str],
        encoder: Encoder,
        max_iterations: SupportsIndex = 25,
        convergence_delta: _Float = 1e-8,
    ) -> None: ...

@final
class PenalizedLogisticRegressionCore(_ModelCore):
    def __new__(cls) -> PenalizedLogisticRegressionCore: ...
    def fit(
        self,
        x_matrix: _Float64Array,
        y_matrix: _Float64Array,
        x_col_names: Sequence[str],
        encoder: Encoder,
        penalties: Sequence[PenaltySpecification] | None = None,
        max_iterations: SupportsIndex = 25,
        convergence_delta: _Float = 1e-8,
    ) -> None: ...

def _parse_formula(formula: str) -> Formula: ...
def _is_numeric(string: str) -> bool: ...
