"""Data frames to design matrices: coding, names, order, missing rows and aliasing, checked
against matrices written out directly with NumPy."""

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import _tallyfit
from tallyfit import design, families, frames

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
    rule = families.family_from("binomial") if binary else None
    plan = design.plan_from_frame(formula, frame, response_rule=rule)
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
        ("y ~ log(g)", DATA, "column 'g' holds strings or categories"),
        ("y ~ x", {"x": [1.0, np.inf], "y": [1.0, 2.0]}, "infinite values"),
        ("y ~ x", {"x": [[1], [2]], "y": [1.0, 2.0]}, "which a model cannot use"),
        ("y ~ x", {"x": [None, None], "y": [1.0, 2.0]}, "no row of the data has values"),
    ],
)
def test_design_errors(formula, data, message):
    with pytest.raises(ValueError, match=__import__("re").escape(message)):
        build(formula, data)


@pytest.mark.parametrize(
    "data, formula, sources",
    [
        ({"g": ["x", "w", "x", "w"], "g_x": [1.0, 2.0, 4.0, 3.0]}, "y ~ g + g_x",
         ["variable 'g' level 'x'", "variable 'g_x'"]),
        ({"a": ["a", "b_c", "a", "b_c"], "a_b": ["c", "b", "b", "c"]}, "y ~ a + a_b",
         ["variable 'a' level 'b_c'", "variable 'a_b' level 'c'"]),
    ],
    ids=["level-vs-numeric", "level-vs-level"],
)
def test_colliding_column_names_are_refused(data, formula, sources):
    data = dict(data, y=[1.0, 3.0, 2.0, 5.0])
    with pytest.raises(ValueError, match="rename a data column or a level") as caught:
        build(formula, data)
    for source in sources:
        assert source in str(caught.value)


def test_declared_level_used_by_no_kept_row_is_dropped_and_can_leave_too_few():
    g = pd.Categorical(["b", "b", "a", "b"], categories=["c", "b", "a"])
    frame, _ = frames.to_frame(pd.DataFrame({"g": g, "x": [1.0, 2.0, np.nan, 3.0]}))
    kept = np.array([True, True, False, True])
    assert design.collect_levels(frame, ["g"], drop_unused=True) == {"g": ["b", "a"]}
    assert design.collect_levels(frame, ["g"], kept, drop_unused=True) == {"g": ["b"]}
    # A partition's summary keeps every declared level, to merge partitions in that order.
    assert design.collect_levels(frame, ["g"], kept) == {"g": ["c", "b", "a"]}
    with pytest.raises(ValueError, match=r"'g' has fewer than two levels \('b'\)"):
        build("y ~ g + x", pd.DataFrame({"g": g, "x": [1.0, 2.0, np.nan, 3.0], "y": ones[:4]}))


def wide_plan(levels):
    names = [f"l{i}" for i in range(levels)]
    return design.plan_design("y ~ a:b", {"a": "categorical", "b": "categorical",
                                          "y": "numeric"}, {"a": names, "b": names})


@pytest.mark.parametrize("with_response", [True, False], ids=["fit", "predict"])
def test_design_too_large_for_memory_is_refused_before_allocating(monkeypatch, with_response):
    plan = wide_plan(3)
    frame, _ = frames.to_frame({"a": ["l0", "l1", "l2"] * 2, "b": ["l1", "l2", "l0"] * 2,
                                "y": [1.0, 2.0, 4.0, 3.0, 6.0, 5.0]})
    # 6 rows of 10 columns: 480 bytes for the design, and 800 more for a fit's XᵀX.
    monkeypatch.setattr(design, "available_memory", lambda: 1000)
    if not with_response:
        assert plan.build(frame, with_response=False).matrix.shape == (6, 10)
        monkeypatch.setattr(design, "available_memory", lambda: 400)
    allocations, empty = [], np.empty

    def recording_empty(shape, *args, **kwargs):
        allocations.append(shape)
        return empty(shape, *args, **kwargs)

    monkeypatch.setattr(design.np, "empty", recording_empty)
    with pytest.raises(design.DesignTooLargeError, match=r"n = 6 rows and p = 10 columns") as e:
        plan.build(frame, with_response=with_response)
    assert isinstance(e.value, MemoryError) and isinstance(e.value, ValueError)
    assert "more columns than rows" in str(e.value) and (6, 10) not in allocations


def test_impossible_width_is_refused_on_this_machine():
    # 400 x 400 levels: p = 160,001 and a fit's XᵀX of 205 GB, on any machine out of reach.
    plan = wide_plan(400)
    p = len(plan.column_names)
    frame, _ = frames.to_frame({"a": ["l0", "l1"], "b": ["l1", "l0"], "y": [1.0, 2.0]})
    with pytest.raises(MemoryError, match=f"p = {p} columns: .* need {8 * (2 * p + p * p):,} "):
        plan.build(frame)


def aliased_reference(xtx, tolerance=design.ALIAS_TOLERANCE):
    """R's rule column by column, as plainly as it can be written: Gram-Schmidt on the scaled
    XᵀX through the Cholesky rows of the kept columns."""
    diagonal = np.diag(xtx)
    aliased = ~(diagonal > 0.0)
    scale = 1.0 / np.sqrt(np.where(aliased, 1.0, diagonal))
    scaled = xtx * scale[:, None] * scale[None, :]
    rows, kept = {}, []
    for j in np.flatnonzero(~aliased):
        row = np.array([0.0] * len(kept))
        for i, k in enumerate(kept):
            row[i] = (scaled[k, j] - rows[k][:i] @ row[:i]) / rows[k][i]
        residual = scaled[j, j] - row @ row
        if residual > tolerance**2:
            rows[j] = np.append(row, np.sqrt(residual))
            kept.append(j)
        else:
            aliased[j] = True
    return aliased


def structured_design(case, n=300, p=40):
    rng = np.random.default_rng(hash(case) % 2**32)
    matrix = rng.normal(size=(n, p))
    if case == "duplicates":
        matrix[:, 5::7] = matrix[:, 4::7][:, : matrix[:, 5::7].shape[1]]
    elif case == "sums":
        matrix[:, 2::5] = matrix[:, 0::5][:, :8] + matrix[:, 1::5][:, :8]
    elif case == "zeros":
        matrix[:, [0, 13, 39]] = 0.0
    elif case == "near-within":
        matrix[:, 3::4] = matrix[:, 2::4] + 1e-10 * rng.normal(size=(n, 10))
    elif case == "near-beyond":
        matrix[:, 3::4] = matrix[:, 2::4] + 1e-4 * rng.normal(size=(n, 10))
    elif case == "wide-block":  # aliasing inside and across blocks of the factorization
        matrix = rng.normal(size=(700, 600))
        matrix[:, 250:270] = matrix[:, :20] @ rng.integers(-2, 3, size=(20, 20))
        matrix[:, 255] = 0.0
        matrix[:, 590] = matrix[:, 100] - matrix[:, 300]
    elif case == "one-hot-and-intercept":
        matrix = np.column_stack([a, b, c, ones, x])
    return matrix


@pytest.mark.parametrize(
    "case",
    ["random", "duplicates", "sums", "zeros", "near-within", "near-beyond", "wide-block",
     "one-hot-and-intercept"],
)
def test_aliased_columns_follow_r_rule(case):
    matrix = structured_design(case)
    xtx = matrix.T @ matrix
    found = design.aliased_columns(xtx)
    np.testing.assert_array_equal(found, aliased_reference(xtx))
    expected_count = {"random": 0, "near-beyond": 0, "duplicates": 5, "sums": 8, "zeros": 3,
                      "near-within": 10, "wide-block": 21, "one-hot-and-intercept": 1}[case]
    assert found.sum() == expected_count


@pytest.mark.parametrize("bad", [np.inf, np.nan])
def test_aliased_columns_refuse_non_finite_crossproducts(bad):
    matrix = np.column_stack([ones, x, z])
    xtx = matrix.T @ matrix
    xtx[2, 1] = xtx[1, 2] = bad
    with pytest.raises(ValueError, match="infinite or NaN entry in column 1"):
        design.aliased_columns(xtx)
