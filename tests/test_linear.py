"""LinearRegressionCore: least squares through the BLAS/LAPACK kernels."""

import math

import numpy as np
import pytest

import _tallyfit
import child_process
from fitting_support import (
    MATRIX_LAYOUTS,
    VECTOR_LAYOUTS,
    raises_internal_error,
    read_dataset,
    well_conditioned_problem,
)

SINGULAR_MESSAGE = "Matrix inversion failed. The matrix may be singular."


def fitted(x, y, names):
    model = _tallyfit.LinearRegressionCore()
    model.fit(x, y, names, _tallyfit.Encoder())
    return model


def names_for(p):
    return [f"c{j}" for j in range(p)]


def coefficient_array(model, names):
    return np.array([model.coefficients[name] for name in names])


def test_small_exact_fit_and_prediction():
    x = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    model = fitted(x, np.array([1.0, 3.0, 5.0]), ["a", "b"])
    assert model.coefficients == pytest.approx({"a": 1.0, "b": 2.0})
    prediction = model.predict(x, ["a", "b"])
    assert prediction.dtype == np.float64 and prediction.flags.c_contiguous
    assert prediction == pytest.approx([1.0, 3.0, 5.0])


def test_longley_certified_values():
    columns, certified = read_dataset("longley.csv")
    n = len(columns["y"])
    x = np.column_stack([np.ones(n)] + [columns[f"x{j}"] for j in range(1, 7)])
    names = [f"B{j}" for j in range(7)]
    model = fitted(x, columns["y"], names)
    # Log relative error: the number of correct significant digits. The normal equations
    # square the condition number (about 5e7 here), so about 7 of 15 digits survive.
    digits = {
        name: -math.log10(abs(model.coefficients[name] - certified[name]) / abs(certified[name]))
        for name in names
    }
    assert min(digits.values()) >= 6, digits


@pytest.mark.parametrize(
    "n, p",
    [(40, 1), (6, 3), (7, 7), (3, 2), (25, 7), (200, 12), (2000, 40)],
)
def test_agrees_with_lstsq(n, p):
    rng = np.random.default_rng(n * 100 + p)
    x = well_conditioned_problem(rng, n, p)
    y = x @ rng.normal(size=p) + rng.normal(size=n)
    expected = np.linalg.lstsq(x, y, rcond=None)[0]
    names = names_for(p)
    model = fitted(x, y, names)
    np.testing.assert_allclose(coefficient_array(model, names), expected, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("n, p", [(5, 3), (60, 9)])  # the portable loop and the BLAS path
@pytest.mark.parametrize("layout", sorted(MATRIX_LAYOUTS))
def test_strided_matrix_layouts_match_contiguous(layout, n, p):
    rng = np.random.default_rng(7)
    x = well_conditioned_problem(rng, n, p)
    y = rng.normal(size=n)
    names = names_for(p)
    strided = MATRIX_LAYOUTS[layout](x)
    assert np.array_equal(strided, x) and not strided.flags.c_contiguous
    reference = fitted(x, y, names)
    model = fitted(strided, y, names)
    np.testing.assert_allclose(
        coefficient_array(model, names), coefficient_array(reference, names), rtol=1e-10
    )
    np.testing.assert_allclose(
        model.predict(strided, names), reference.predict(x, names), rtol=1e-10, atol=1e-12
    )


@pytest.mark.parametrize("layout", sorted(VECTOR_LAYOUTS))
def test_strided_response_matches_contiguous(layout):
    rng = np.random.default_rng(8)
    x = well_conditioned_problem(rng, 30, 4)
    y = rng.normal(size=30)
    names = names_for(4)
    reference = fitted(x, y, names)
    model = fitted(x, VECTOR_LAYOUTS[layout](y), names)
    np.testing.assert_allclose(
        coefficient_array(model, names), coefficient_array(reference, names), rtol=1e-12
    )


@pytest.mark.parametrize(
    "predict_columns, predict_names, expected_from",
    [
        ([1, 0], ["b", "a"], lambda c: c["a"] + c["b"] * np.array([0.0, 1.0, 2.0])),
        ([0, 1], ["a", "zzz"], lambda c: np.full(3, c["a"])),
        ([0, 0], ["a", "a"], lambda c: np.full(3, 2 * c["a"])),
    ],
    ids=["permuted", "unknown_name", "repeated_name"],
)
def test_predict_matches_columns_by_name(predict_columns, predict_names, expected_from):
    x = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    model = fitted(x, np.array([1.0, 3.0, 5.0]), ["a", "b"])
    prediction = model.predict(x[:, predict_columns], predict_names)
    np.testing.assert_allclose(prediction, expected_from(model.coefficients), atol=1e-12)


def test_unfitted_model_predicts_zeros():
    prediction = _tallyfit.LinearRegressionCore().predict(np.ones((4, 2)), ["a", "b"])
    assert prediction.tolist() == [0.0] * 4


@pytest.mark.parametrize(
    "names, expected_names",
    [(["a", "b", "c"], {"a", "b"}), (["a"], {"a"}), (["a", "a"], {"a"})],
)
def test_names_pair_with_columns_up_to_the_shorter(names, expected_names):
    x = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]])
    model = fitted(x, np.array([1.0, 3.0, 5.0]), names)
    assert set(model.coefficients) == expected_names
    # The later column wins for a repeated name.
    expected_a = 2.0 if names == ["a", "a"] else 1.0
    assert model.coefficients["a"] == pytest.approx(expected_a)


@pytest.mark.parametrize(
    "x",
    [
        np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]]),
        np.array([[1.0, 2.0], [1.0, 2.0], [1.0, 2.0]]) * 0.0,
        np.zeros((0, 2)),
    ],
    ids=["zero_column", "all_zero", "no_rows"],
)
def test_singular_system_keeps_previous_fit(x):
    model = fitted(np.eye(2), np.array([4.0, 5.0]), ["a", "b"])
    with pytest.raises(ValueError) as info:
        model.fit(x, np.ones(len(x)), ["a", "b"], _tallyfit.Encoder())
    assert type(info.value) is ValueError and str(info.value) == SINGULAR_MESSAGE
    assert model.coefficients == {"a": 4.0, "b": 5.0}


def test_nearly_singular_system_does_not_fail():
    x = np.array([[1.0, 1.0], [1.0, 1.0 + 1e-7], [1.0, 1.0]])
    model = fitted(x, np.array([1.0, 2.0, 3.0]), ["a", "b"])
    assert set(model.coefficients) == {"a", "b"}


def test_shape_mismatch_is_an_internal_error_and_changes_nothing():
    model = fitted(np.eye(2), np.array([4.0, 5.0]), ["a", "b"])
    error = raises_internal_error(
        lambda: model.fit(np.ones((3, 2)), np.ones(2), ["a", "b"], _tallyfit.Encoder())
    )
    assert "3 rows" in str(error) and "2 elements" in str(error)
    error = raises_internal_error(lambda: model.predict(np.ones((3, 2)), ["a", "b", "c"]))
    assert "2 columns" in str(error) and "3 names" in str(error)
    assert model.coefficients == {"a": 4.0, "b": 5.0}


@pytest.mark.parametrize(
    "y",
    [
        np.ones(3, dtype=np.float32),
        np.ones(3, dtype=np.int64),
        [1.0, 2.0, 3.0],
        np.ones((3, 1)),
    ],
    ids=["float32", "int64", "list", "two_dimensional"],
)
def test_response_of_other_kind_is_refused(y):
    model = fitted(np.eye(2), np.array([4.0, 5.0]), ["a", "b"])
    with pytest.raises(TypeError, match="^argument 'y_matrix': "):
        model.fit(np.ones((3, 2)), y, ["a", "b"], _tallyfit.Encoder())
    assert model.coefficients == {"a": 4.0, "b": 5.0}


def test_nan_data_propagates_without_failure():
    rng = np.random.default_rng(3)
    x = well_conditioned_problem(rng, 10, 3)
    x[4, 1] = np.nan
    model = fitted(x, rng.normal(size=10), ["a", "b", "c"])
    assert np.isnan(model.coefficients["b"])
    clean = fitted(np.eye(3), np.ones(3), ["a", "b", "c"])
    prediction = clean.predict(x, ["a", "b", "c"])
    assert np.isnan(prediction[4]) and np.isfinite(np.delete(prediction, 4)).all()


def test_encoding_data_is_a_copy_of_the_encoder():
    encoder = _tallyfit.Encoder()
    info = _tallyfit.EncodedColumnInfo(None, _tallyfit.EncodingType.Numeric)
    encoder.add_column_mapping("a", info)
    model = _tallyfit.LinearRegressionCore()
    model.fit(np.eye(2), np.ones(2), ["a", "b"], encoder)
    encoder.add_column_mapping("b", info)
    assert set(model.encoding_data.column_mappings) == {"a"}


@pytest.mark.parametrize("core", ["LinearRegressionCore", "LogisticRegressionCore"])
@pytest.mark.parametrize("width", [2**32, 2**32 - 1, 3_500_000_000, 2**31, 2**30 + 1])
def test_width_whose_gram_product_cannot_exist_is_memory_error(core, width):
    # p x p elements overflow (2**32 wraps to an empty array) or exceed any possible array; a
    # child process, since the fault is a crash. A column of zero stride costs no memory.
    result = child_process.run_python(f"""
        import numpy as np
        import _tallyfit
        model = _tallyfit.{core}()
        model.coefficients = {{"a": 2.0}}
        try:
            model.fit(np.broadcast_to(1.0, (1, {width})), np.ones(1), ["a"], _tallyfit.Encoder())
        except BaseException as error:
            print(type(error).__name__, model.coefficients)
    """, timeout=60)
    assert (result.returncode, result.stdout) == (0, "MemoryError {'a': 2.0}\n"), result.stderr
