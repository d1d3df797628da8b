"""Data frames of any library as columns: kinds, missing values, category levels and codes.

Every input (pandas, polars or pyarrow frames, or a dict of equal-length sequences) is read
through narwhals, so the rest of the package sees one kind of frame. Category codes go through
the Arrow form of a column when pyarrow is installed (fast for every library) and through
narwhals' ``replace_strict`` otherwise.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from types import ModuleType
from typing import Any, Literal, Optional

import narwhals.stable.v1 as nw
import numpy as np
import numpy.typing as npt

Kind = Literal["numeric", "bool", "categorical"]
Frame = Any  # a narwhals eager DataFrame
BoolArray = npt.NDArray[np.bool_]
FloatArray = npt.NDArray[np.float64]

# The library that holds a dict's columns: the first of these that is installed and accepts them.
_DICT_BACKENDS: tuple[Literal["polars", "pyarrow", "pandas"], ...] = ("polars", "pyarrow", "pandas")


def to_frame(data: object) -> tuple[Frame, Optional[ModuleType]]:
    """The data as a narwhals DataFrame, and the native namespace of the caller's library
    (None for a dict, whatever library holds it here)."""
    if isinstance(data, Mapping):
        return _frame_from_dict(data), None
    try:
        frame = nw.from_native(data, eager_only=True)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(
            "data must be a pandas or polars DataFrame, a pyarrow Table or a dict of "
            f"equal-length sequences, not {type(data).__name__}"
        ) from None
    return frame, nw.get_native_namespace(frame)


def _frame_from_dict(data: Mapping[Any, Any]) -> Frame:
    columns: dict[str, Any] = {}
    lengths: dict[str, int] = {}
    for key, values in data.items():
        if not isinstance(key, str):
            raise TypeError(f"data keys must be column names (str), not {key!r}")
        if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
            raise TypeError(f"column {key!r} must be a sequence of values, not {values!r}")
        columns[key] = values
        lengths[key] = len(values)
    if len(set(lengths.values())) > 1:
        raise ValueError(f"the columns of data have different lengths: {lengths}")
    first_error: Optional[Exception] = None
    for backend in _DICT_BACKENDS:
        try:
            __import__(backend)
        except ImportError:
            continue
        try:
            return nw.from_dict(columns, backend=backend)
        except Exception as error:  # this library cannot hold these values: try the next
            first_error = first_error or error
    if first_error is not None:
        raise ValueError(f"data could not be read as columns: {first_error}") from first_error
    raise ImportError(
        "reading a dict needs polars, pyarrow or pandas: pip install 'tallyfit[polars]'"
    )


def require_columns(frame: Frame, names: Iterable[str]) -> None:
    """Raises ValueError for the first name that is not a column of the frame."""
    available = frame.columns
    present = set(available)
    for name in names:
        if name not in present:
            raise ValueError(
                f"column {name!r} not found in data; available columns: "
                + ", ".join(repr(column) for column in available)
            )


def column_kind(frame: Frame, name: str) -> Kind:
    """numeric, bool or categorical (strings, categories, enums, dictionaries)."""
    series = frame[name]
    dtype = series.dtype
    if dtype == nw.Boolean:
        return "bool"
    if dtype.is_numeric():
        return "numeric"
    if dtype in (nw.String, nw.Categorical, nw.Enum):
        return "categorical"
    if dtype == nw.Object:
        kinds = {type(value) for value in series.drop_nulls().unique().to_list()}
        if kinds <= {bool, np.bool_}:
            return "bool"
        if kinds <= {str}:
            return "categorical"
    raise ValueError(
        f"column {name!r} has type {dtype}, which a model cannot use: convert it to numbers, "
        "booleans or strings"
    )


def all_missing(series: Any) -> bool:
    """Whether every value of the column is missing (an empty column included)."""
    return null_count(series) == len(series)


def level_text(value: object) -> str:
    """The name of a level: the text of its value as the library prints it ("2.5" for a
    float, "(0.5, 1.0]" for an interval), the same wherever levels are named or looked up."""
    return str(value)


def declared_levels(series: Any) -> Optional[list[str]]:
    """The declared level order of a categorical, enum or dictionary column; None for plain
    strings and for polars categoricals, whose categories follow first appearance."""
    dtype = series.dtype
    if dtype == nw.Enum or (
        dtype == nw.Categorical and series.implementation is not nw.Implementation.POLARS
    ):
        categories = _native_categories(series)
        if categories is None:
            categories = series.cat.get_categories().to_list()
        return [level_text(level) for level in categories]
    return None


def observed_levels(series: Any) -> list[str]:
    """The distinct values of a column, sorted byte-wise (code-point order of the text)."""
    return sorted(level_text(value) for value in series.drop_nulls().unique().to_list())


def _native_categories(series: Any) -> Optional[list[Any]]:
    """The categories of a pandas categorical or an Arrow dictionary column as that library
    holds them, else None."""
    native = series.to_native()
    if series.implementation.is_pandas_like():
        categories = getattr(native.dtype, "categories", None)
        return None if categories is None else list(categories.to_list())
    if series.implementation is nw.Implementation.PYARROW:
        chunks = _dictionary_chunks(native)
        if chunks is not None:
            return _dictionary_categories(chunks)
    return None


def _dictionary_chunks(array: Any) -> Optional[list[Any]]:
    """The chunks of an Arrow dictionary array (or chunked array), each with its own
    dictionary; None for any other array."""
    import pyarrow as pa

    if not pa.types.is_dictionary(array.type):
        return None
    return list(array.chunks) if isinstance(array, pa.ChunkedArray) else [array]


def _dictionary_categories(chunks: Sequence[Any]) -> list[Any]:
    """The values of the chunks' dictionaries, each text once, in order of first appearance."""
    categories: dict[str, Any] = {}
    for chunk in chunks:
        for value in _arrow_values(chunk.dictionary):
            categories.setdefault(level_text(value), value)
    return list(categories.values())


def _arrow_values(array: Any) -> list[Any]:
    """Python values of an Arrow array; an extension array (pandas intervals, say) through the
    library that defined it, so that its values print as they do there."""
    import pyarrow as pa

    if isinstance(array.type, pa.ExtensionType):
        return list(array.to_pandas().tolist())
    return list(array.to_pylist())


def _nulls_are_nan(series: Any) -> bool:
    """Whether the column's nulls are its NaNs (a pandas column of NumPy floats): then a sum of
    its values finds them faster than pandas' isna, which makes a mask to count them."""
    return bool(series.implementation.is_pandas() and series.dtype.is_float()
                and series.to_numpy().dtype.kind == "f")


def _surely_finite(values: npt.NDArray[Any]) -> bool:
    """True when no value is NaN or infinite; False may also mean a sum that overflows. The sum
    reads the column at memory speed (as fast as a BLAS dot product, which would leave the
    BLAS's threads spinning on the other cores after it)."""
    with np.errstate(over="ignore", invalid="ignore"):
        return bool(np.isfinite(np.add.reduce(values)))


def null_count(series: Any) -> int:
    """The number of nulls of the column (NaNs, for a pandas column of NumPy floats)."""
    if _nulls_are_nan(series):
        values = series.to_numpy()
        if _surely_finite(values):
            return 0
        return int(np.count_nonzero(np.isnan(values)))
    return int(series.null_count())


def missing_mask(series: Any) -> Optional[BoolArray]:
    """Rows where the column is null or NaN, or None when there are none (the common case costs
    no array)."""
    mask: Optional[BoolArray] = None
    if not _nulls_are_nan(series) and series.null_count() > 0:
        mask = series.is_null().to_numpy().astype(bool, copy=False)
    if series.dtype.is_float():
        values = series.to_numpy()
        if not _surely_finite(values[~mask] if mask is not None else values):
            nan = np.isnan(values)
            if np.isinf(values).any():
                raise ValueError(
                    f"column {series.name!r} has infinite values: remove them or set them to "
                    "missing"
                )
            mask = nan if mask is None else mask | nan
    return mask


def float_values(series: Any) -> npt.NDArray[Any]:
    """The column as a NumPy array that casts to float64 (numeric or bool), nulls as 0; a view
    of the library's memory where it allows one."""
    if null_count(series) > 0:
        series = series.fill_null(False if series.dtype == nw.Boolean else 0)
    values: npt.NDArray[Any] = series.to_numpy()
    if values.dtype == object:
        values = values.astype(np.float64)
    return values


def category_codes(
    series: Any, levels: Sequence[str], rows: Optional[BoolArray] = None
) -> npt.NDArray[np.int32]:
    """The position of each value in `levels`: -1 for null, -2 for a value that is not a level
    in a row outside `rows`. Such a value in a row of `rows` (all rows by default) raises
    ValueError naming it."""
    codes = _categorical_codes(series, levels)
    if codes is None:
        codes = _arrow_codes(series, levels)
    if codes is None:
        codes = _narwhals_codes(series, levels)
    unmatched = codes == -2
    if rows is not None:
        unmatched &= rows
    if unmatched.any():
        value = series[int(np.argmax(unmatched))]
        raise ValueError(
            f"variable {series.name!r} has level {value!r}, which the model was not fitted "
            f"with (levels: {', '.join(map(repr, levels))}); drop those rows or refit with them"
        )
    return codes


def _lookup(
    categories: Sequence[Any], indices: npt.NDArray[Any], levels: Sequence[str]
) -> npt.NDArray[np.int32]:
    """Codes from each row's index into `categories` (negative: null): each category's text is
    looked up in `levels` once."""
    position = {level: index for index, level in enumerate(levels)}
    table = np.array(
        [position.get(level_text(category), -2) for category in categories] + [-1],
        dtype=np.int32,
    )
    return table[np.where(indices < 0, len(categories), indices)]


def _categorical_codes(series: Any, levels: Sequence[str]) -> Optional[npt.NDArray[np.int32]]:
    """The codes of a pandas categorical column from its own category codes, whatever the
    type of its categories; None for any other column."""
    if not series.implementation.is_pandas_like():
        return None
    native = series.to_native()
    categories = _native_categories(series)
    if categories is None:
        return None
    indices = np.asarray(native.cat.codes.to_numpy(), dtype=np.int64)
    return _lookup(categories, indices, levels)


def _arrow_codes(series: Any, levels: Sequence[str]) -> Optional[npt.NDArray[np.int32]]:
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
    except ImportError:  # pragma: no cover - the narwhals path below serves
        return None
    array = series.to_arrow()
    if pa.types.is_dictionary(array.type):
        value_type = array.type.value_type
        if not (pa.types.is_string(value_type) or pa.types.is_large_string(value_type)):
            return _arrow_dictionary_codes(array, levels)
        array = array.cast(value_type)
    if not (pa.types.is_string(array.type) or pa.types.is_large_string(array.type)):
        array = array.cast(pa.large_string())
    positions = pc.index_in(array, value_set=pa.array(list(levels), type=array.type))
    positions = pc.if_else(pc.is_valid(array), pc.fill_null(positions, -2), -1)
    return np.asarray(positions.to_numpy(zero_copy_only=False), dtype=np.int32)


def _arrow_dictionary_codes(array: Any, levels: Sequence[str]) -> npt.NDArray[np.int32]:
    """Codes of an Arrow dictionary column of values that are not text (floats, booleans,
    timestamps): the dictionary's values are named by `level_text` of their Python values."""
    codes = [
        _lookup(
            _arrow_values(chunk.dictionary),
            chunk.indices.fill_null(-1).to_numpy(zero_copy_only=False).astype(np.int64),
            levels,
        )
        for chunk in _dictionary_chunks(array) or []
    ]
    return np.concatenate(codes) if codes else np.zeros(0, dtype=np.int32)


def _narwhals_codes(series: Any, levels: Sequence[str]) -> npt.NDArray[np.int32]:
    codes = (
        series.cast(nw.String)
        .replace_strict(list(levels), list(range(len(levels))), default=-2, return_dtype=nw.Int32)
        .fill_null(-1)
    )
    return np.asarray(codes.to_numpy(), dtype=np.int32)


def collect_levels(
    frame: Frame,
    variables: Iterable[str],
    kept: Optional[BoolArray] = None,
    *,
    drop_unused: bool = False,
) -> dict[str, list[str]]:
    """The levels of each categorical variable: the declared order of a categorical, enum or
    dictionary column, else the values found in the rows `kept` (all rows by default), sorted
    byte-wise. With `drop_unused` a declared level is kept only if it occurs in the rows
    `kept`, as R's model frame keeps them (``drop.unused.levels = TRUE``). Its default keeps
    them all, as a partition's summary needs them to merge in declared order."""
    levels: dict[str, list[str]] = {}
    for name in variables:
        series = frame[name]
        declared = declared_levels(series)
        if declared is not None and not drop_unused:
            levels[name] = declared
            continue
        found = observed_levels(series) if declared is None else declared
        if found and (declared is not None or (kept is not None and not kept.all())):
            codes = category_codes(series, found)
            rows = codes >= 0 if kept is None else kept & (codes >= 0)
            counts = np.bincount(codes[rows], minlength=len(found))
            found = [level for level, count in zip(found, counts) if count > 0]
        levels[name] = found
    return levels


def with_column(frame: Frame, name: str, values: npt.NDArray[Any]) -> Frame:
    """The frame with a float64 column `name` of `values` (one per row) added or replaced."""
    series = nw.new_series(name, values, nw.Float64,
                           native_namespace=nw.get_native_namespace(frame))
    return frame.with_columns(series)
