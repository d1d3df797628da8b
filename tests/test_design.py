"""Data frames to design matrices: coding, names, order, missing rows and aliasing, checked
against matrices written out directly with NumPy."""

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import _tallyfit
from tallyfit import design, frames

RNG = np.random.default_rng(7)
N = 40
DATA = {
    "x": RNG.normal(size=N),
    "z": RNG.normal(size=N),
    "flag": RNG.random(N) < 0.5,
    "g": list(RNG.choice(["b", "a", "c"], N)),
    "y": RNG.normal(size=N),
}

LIBRARIES = {
    "dict": lambda d: d,
    "pandas": pd.DataFrame,
    "polars": lambda d: pl.DataFrame(d, nan_to_null=False),
    "pyarrow": pa.table,
}


def indicator(values, level):
    return (np.asarray(values, dtype=object) == level).astype(float)


def build(formula, data, binary=False):
    frame, _ = frames.to_frame(data)
    plan = design.plan_from_frame(formula, frame, binary_response=binary)
    return plan, plan.build(frame)


x, z, g = DATA["x"], DATA["z"], DATA["g"]
ones = np.ones(N)
b, c, a = indicator(g, "b"), indicator(g, "c"), indicator(g, "a")
flag = DATA["flag"].astype(float)

EXPECTED = {
    "y ~ x + z": (["(Intercept)", "x", "z"], [ones, x, z]),
    "y ~ x * z": (["(Intercept)", "x", "z", "x:z"], [ones, x, z, x * z]),
    # The core keeps the blanks of "x * z" in the term "x : z"; they do not reach the names.
    "y ~ x*z - 1": (["x", "z", "x:z"], [x, z, x * z]),
    "y ~ flag + g": (["(Intercept)", "flag", "g_b", "g_c"], [ones, flag, b, c]),
    "y ~ g - 1": (["g_a", "g_b", "g_c"], [a, b, c]),
    "y ~ 0 + g + flag": (["g_a", "g_b", "g_c", "flag"], [a, b, c, flag]),
    "y ~ x * g": (
        ["(Intercept)", "x", "g_b", "g_c", "x:g_b", "x:g_c"],
        [ones, x, b, c, x * b, x * c],
    ),
    "y ~ g:x": (["(Intercept)", "g_a:x", "g_b:x", "g_c:x"], [ones, a * x, b * x, c * x]),
    "y ~ g*x - 1": (["g_a", "g_b", "g_c", "x", "g_b:x", "g_c:x"], [a, b, c, x, b * x, c * x]),
}


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("formula", EXPECTED)
def test_design_matrix_against_direct_construction(formula, library):
    plan, block = build(formula, LIBRARIES[library](DATA))
    names, columns = EXPECTED[formula]
    assert plan.column_names == names
    assert block.matrix.flags.f_contiguous
    np.testing.assert_array_equal(block.matrix, np.column_stack(columns))
    np.testing.assert_array_equal(block.response, DATA["y"])
    assert block.n_missing == 0 and block.kept.all()


def test_encoder_records_every_variable():
    plan, _ = build("y ~ x + flag + g", DATA)
    mappings = plan.encoder().column_mappings
    assert set(mappings) == {"x", "flag", "g", "y"}
    assert mappings["g"].levels == ["a", "b", "c"]
    assert mappings["g"].encoding_type == _tallyfit.EncodingType.Dummy
    assert mappings["flag"].encoding_type == _tallyfit.EncodingType.Bool
    assert mappings["x"].encoding_type == _tallyfit.EncodingType.Numeric
    one_hot = build("y ~ g - 1", DATA)[0].encoder().get_column_mapping("g")
    assert one_hot.encoding_type == _tallyfit.EncodingType.OneHot


DECLARED = ["lo", "mid", "hi"]
VALUES = ["hi", "lo", "mid", "lo", "hi", "mid"]


@pytest.mark.parametrize(
    "column",
    [
        pd.Categorical(VALUES, categories=DECLARED),
        pl.Series(VALUES, dtype=pl.Enum(DECLARED)),
        pa.DictionaryArray.from_arrays(
            pa.array([DECLARED.index(v) for v in VALUES], pa.int8()), pa.array(DECLARED)
        ),
    ],
    ids=["pandas-categorical", "polars-enum", "arrow-dictionary"],
)
def test_declared_level_order_is_kept(column):
    y = np.arange(6.0)
    data = (
        pd.DataFrame({"s": column, "y": y})
        if isinstance(column, pd.Categorical)
        else pl.DataFrame({"s": column, "y": y})
        if isinstance(column, pl.Series)
        else pa.table({"s": column, "y": y})
    )
    plan, block = build("y ~ s", data)
    assert plan.column_names == ["(Intercept)", "s_mid", "s_hi"]
    np.testing.assert_array_equal(block.matrix[:, 1], indicator(VALUES, "mid"))


def test_string_levels_sort_bytewise_and_come_from_kept_rows():
    data = {"s": ["b", "B", "é", "a", "zz"], "x": [1.0, 2.0, 3.0, 4.0, None], "y": [1.0] * 5}
    plan, _ = build("y ~ s + x", data)
    # "zz" is only in the dropped row; upper case sorts before lower case, "é" after "b".
    assert plan.levels["s"] == ["B", "a", "b", "é"]


@pytest.mark.parametrize("library", LIBRARIES)
def test_missing_values_drop_rows(library):
    data = {
        "x": [1.0, np.nan, 3.0, 4.0, 5.0, 6.0],
        "g": ["a", "b", None, "a", "b", "a"],
        "y": [1.0, 2.0, 3.0, None, 5.0, 6.0],
    }
    _, block = build("y ~ x + g", LIBRARIES[library](data))
    np.testing.assert_array_equal(block.kept, [True, False, False, False, True, True])
    assert block.n_missing == 3
    np.testing.assert_array_equal(block.matrix, [[1, 1, 0], [1, 5, 1], [1, 6, 0]])
    np.testing.assert_array_equal(block.response, [1.0, 5.0, 6.0])


@pytest.mark.parametrize(
    "column",
    [
        pd.array([1, None, 3, 4], dtype="Int64"),
        pd.array([True, None, False, True], dtype="boolean"),
        pd.Series([True, None, False, True], dtype=object),
    ],
    ids=["Int64", "boolean", "object-bool"],
)
def test_pandas_nullable_columns(column):
    _, block = build("y ~ v", pd.DataFrame({"v": column, "y": [1.0, 2.0, 3.0, 4.0]}))
    expected = [float(value) for value in column if not pd.isna(value)]
    np.testing.assert_array_equal(block.matrix[:, 1], expected)
    assert block.n_missing == 1


@pytest.mark.parametrize(
    "make_xtx, expected",
    [
        (lambda: np.column_stack([ones, x, z, x]), [False, False, False, True]),
        (lambda: np.column_stack([ones, x, 2 * x - z, z]), [False, False, False, True]),
        (lambda: np.column_stack([ones, np.zeros(N), x]), [False, True, False]),
        (lambda: np.column_stack([a, b, c, ones]), [False, False, False, True]),
        (lambda: np.column_stack([ones, x, z]), [False, False, False]),
    ],
    ids=["duplicated", "combination", "zero-dummy", "one-hot-and-intercept", "full-rank"],
)
def test_aliased_columns(make_xtx, expected):
    matrix = make_xtx()
    assert design.aliased_columns(matrix.T @ matrix).tolist() == expected


def test_longley_is_not_aliased():
    frame = pd.read_csv(
        __import__("pathlib").Path(__file__).parent / "data" / "longley.csv", comment="#"
    )
    _, block = build("y ~ x1 + x2 + x3 + x4 + x5 + x6", frame)
    assert not design.aliased_columns(block.matrix.T @ block.matrix).any()


def test_compact_columns_moves_in_place():
    matrix = np.asfortranarray(RNG.normal(size=(5, 4)))
    expected = matrix[:, [0, 2]].copy()
    view = design.compact_columns(matrix, np.array([True, False, True, False]))
    assert np.shares_memory(view, matrix)
    np.testing.assert_array_equal(view, expected)


@pytest.mark.parametrize(
    "formula, data, message",
    [
        ("y ~ w", DATA, "column 'w' not found in data; available columns: 'x'"),
        ("y ~ x", {"x": [1.0, 2.0], "y": [1.0]}, "different lengths"),
        ("y ~ g", {"g": ["a", "a"], "y": [1.0, 2.0]}, "fewer than two levels"),
        ("g ~ x", DATA, "response 'g' holds categories"),
        ("y ~ .", DATA, "'.' (all other columns) is not supported"),
        ("y ~ x", {"x": [1.0, np.inf], "y": [1.0, 2.0]}, "infinite values"),
        ("y ~ x", {"x": [[1], [2]], "y": [1.0, 2.0]}, "which a model cannot use"),
        ("y ~ x", {"x": [None, None], "y": [1.0, 2.0]}, "no row of the data has values"),
    ],
)
def test_design_errors(formula, data, message):
    with pytest.raises(ValueError, match=__import__("re").escape(message)):
        build(formula, data)
