"""The calling conventions every function, method, constructor and accessor of the module shares:
argument matching, the conversion kinds, error classes, and the shape of array results."""

import functools
import json
import types

import numpy as np
import pytest

import _tallyfit as tf
from fitting_support import raises_internal_error

X = np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0], [1.0, 3.0]])
Y = np.array([0.0, 1.0, 0.0, 1.0])  # not separable, so every core fits it
NAMES = ["a", "b"]
CORES = [tf.LinearRegressionCore, tf.LogisticRegressionCore, tf.PenalizedLogisticRegressionCore]
INFO = tf.EncodedColumnInfo(None, tf.EncodingType.Bool)
BAD = object()


def encoder():
    enc = tf.Encoder()
    enc.add_column_mapping("a", tf.EncodedColumnInfo(["u", "v"], tf.EncodingType.Dummy))
    return enc


def fitted(core=tf.LinearRegressionCore):
    model = core()
    model.fit(X, Y, NAMES, encoder())
    model.formula = tf._parse_formula("y ~ b")
    return model


def describe(value):
    """A comparable snapshot of an attribute value."""
    if isinstance(value, dict):
        return {key: describe(item) for key, item in value.items()}
    if isinstance(value, tf.EncodedColumnInfo):
        return value.levels, int(value.encoding_type)
    if isinstance(value, tf.Encoder):
        return describe(value.column_mappings)
    return [describe(item) for item in value] if isinstance(value, list) else repr(value)


def state(model):
    return describe([model.coefficients, model.formula, model.encoding_data])


def refuses(call, argument, error=TypeError):
    """call raises exactly `error`; a TypeError names the argument."""
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert error is not TypeError or str(caught.value).startswith(f"argument '{argument}': ")


def floaty(value):
    """An object whose __float__ returns 1 / value (and so raises for 0)."""
    return type("Floaty", (), {"__float__": lambda self: 1.0 / value})()


Index = type("Index", (), {"__index__": lambda self: 2})
Names = type("Names", (), {"__len__": lambda self: 2, "__getitem__": lambda self, i: NAMES[i]})
SubArray = type("SubArray", (np.ndarray,), {})
Dict = type("Dict", (dict,), {})


@pytest.mark.parametrize("call, words", [
    (lambda m: m.fit(X, Y), ["fit()", "'x_col_names'", "'encoder'"]),
    (lambda m: m.fit(1, 2, 3), ["fit()", "'encoder'"]),  # matching comes before conversion
    (lambda m: m.fit(X, Y, NAMES, tf.Encoder(), 1), ["fit()", "5"]),
    (lambda m: m.fit(X, Y, NAMES, tf.Encoder(), bogus=1), ["fit()", "'bogus'"]),
    (lambda m: m.fit(X, Y, NAMES, tf.Encoder(), x_matrix=X), ["fit()", "'x_matrix'"]),
    (lambda m: m.predict(X, NAMES, x_col_names=NAMES), ["predict()", "'x_col_names'"]),
    (lambda m: m.save_to_file(), ["save_to_file()", "'filepath'"]),
    (lambda m: tf.PenaltySpecification("x"), ["PenaltySpecification()", "'lambda_param'"]),
    (lambda m: tf.PenaltySpecification("x", None, 1.0, 0.0, 9), ["PenaltySpecification()"]),
    (lambda m: tf.Encoder(1), ["Encoder()"]),
    (lambda m: tf._parse_formula(text="y ~ x"), ["_parse_formula()", "'text'"]),
    (lambda m: tf._is_numeric(), ["_is_numeric()", "'string'"]),
    (lambda m: tf._parse_formula("y ~ x").get_column_names(True, False), ["get_column_names()"]),
    (lambda m: tf.EncodedColumnInfo(None), ["EncodedColumnInfo()", "'encoding_type'"]),
])
def test_argument_mismatch_is_an_interpreter_style_type_error(call, words):
    model = fitted()
    before = state(model)
    with pytest.raises(TypeError) as caught:
        call(model)
    message = str(caught.value)
    assert not message.startswith("argument '")
    assert all(word in message for word in words), message
    assert state(model) == before


# Byte-swapped float64 is not the native float64 that the kernels read in place.
BAD_X = [X.astype(np.float32), X.astype(np.int64), X > 0, X.astype(">f8"), X.tolist(),
         np.array(1.0), np.float64(1.0), X[None], X[:, 0], None]
BAD_Y = [Y[:, None], Y.astype(np.float32), Y.astype(int), Y.astype(">f8"), Y.tolist(),
         np.array(0.0)]


@pytest.mark.parametrize("argument, bad", [("x_matrix", bad) for bad in BAD_X] +
                         [("y_matrix", bad) for bad in BAD_Y])
@pytest.mark.parametrize("core", CORES)
def test_array_of_another_kind_is_refused(core, argument, bad):
    model = fitted(core)
    before = state(model)
    arrays = {"x_matrix": X, "y_matrix": Y, argument: bad}
    refuses(lambda: model.fit(arrays["x_matrix"], arrays["y_matrix"], NAMES, encoder()), argument)
    if argument == "x_matrix":
        refuses(lambda: model.predict(bad, NAMES), argument)
    assert state(model) == before


def record_field(a):
    records = np.zeros(a.shape, dtype=np.dtype([("v", "f8"), ("w", "i4")], align=True))
    records["v"] = a
    return records["v"]


LAYOUTS = {
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "negative_strides": lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
    "row_step": lambda a: np.repeat(a, 2, axis=0)[::2],
    "record_field": record_field,
    "read_only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
    "subclass": lambda a: a.view(SubArray),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_any_float64_layout_is_read_in_place(layout):
    model = tf.LinearRegressionCore()
    model.fit(layout(X), layout(Y[:, None])[:, 0], NAMES, tf.Encoder())
    assert model.coefficients == pytest.approx(fitted().coefficients)
    assert model.predict(layout(X), NAMES) == pytest.approx(model.predict(X, NAMES))
    rows = np.broadcast_to(layout(X)[1], (3, 2))  # zero stride along the rows
    assert model.predict(rows, NAMES) == pytest.approx(model.predict(rows.copy(), NAMES))


STRING_CALLS = {
    "formula": lambda v: tf._parse_formula(v),
    "string": lambda v: tf._is_numeric(v),
    "col_name": lambda v: tf.Encoder().get_column_mapping(v),
    "filepath": lambda v: tf.LinearRegressionCore().load_from_file(v),
    "variable_name": lambda v: tf.PenaltySpecification(v, None, 1.0),
    "categorical_level": lambda v: tf.PenaltySpecification("x", v, 1.0),
    "x_col_names": lambda v: fitted().predict(X, ["a", v]),
    "new_coefficients": lambda v: setattr(tf.LinearRegressionCore(), "coefficients", {v: 1.0}),
}


@pytest.mark.parametrize("argument", STRING_CALLS)
@pytest.mark.parametrize("bad, error", [(b"a", TypeError), (1, TypeError), (2.5, TypeError),
                                        ("a\udc80", UnicodeEncodeError)])
def test_string_argument_must_be_encodable_str(argument, bad, error):
    refuses(lambda: STRING_CALLS[argument](bad), argument, error)


@pytest.mark.parametrize("names", [NAMES, tuple(NAMES), Names(), np.array(NAMES)])
def test_any_sequence_of_str_is_a_name_list(names):
    assert fitted().predict(X, names) == pytest.approx(fitted().predict(X, NAMES))
    assert tf.EncodedColumnInfo(names, tf.EncodingType.OneHot).levels == NAMES


@pytest.mark.parametrize("bad", ["ab", {"a": 1, "b": 2}, {"a", "b"}, iter(NAMES), ["a", 1],
                                 ["a", None], 3])
def test_name_list_of_another_kind_is_refused(bad):
    refuses(lambda: fitted().predict(X, bad), "x_col_names")
    refuses(lambda: tf.EncodedColumnInfo(bad, tf.EncodingType.Bool), "levels")


@pytest.mark.parametrize("value", [2, 2.0, np.float32(2.0), np.int64(2), floaty(0.5), Index()])
def test_float_argument_accepts_the_float_protocol(value):
    model = tf.LinearRegressionCore()
    model.coefficients = {"a": value}
    assert model.coefficients == {"a": 2.0} and type(model.coefficients["a"]) is float


FLOAT_CALLS = {
    "new_coefficients": lambda v: setattr(tf.LinearRegressionCore(), "coefficients", {"a": v}),
    "lambda_param": lambda v: tf.PenaltySpecification("x", None, v),
    "target": lambda v: tf.PenaltySpecification("x", None, 1.0, v),
    "convergence_delta": lambda v: tf.LogisticRegressionCore().fit(X, Y, NAMES, encoder(), 25, v),
}


@pytest.mark.parametrize("argument", FLOAT_CALLS)
@pytest.mark.parametrize("bad, error", [
    ("1.0", TypeError), (None, TypeError), ([1.0], TypeError), (1j, TypeError),
    (floaty(0), ZeroDivisionError), (2**1100, OverflowError),  # raised inside the conversion
])
def test_float_argument_refuses_other_objects(argument, bad, error):
    refuses(lambda: FLOAT_CALLS[argument](bad), argument, error)


@pytest.mark.parametrize("core", CORES[1:])
@pytest.mark.parametrize("value, error", [
    (0, None), (-3, None), (np.int64(5), None), (Index(), None), (2**127 - 1, None),
    (-2**127, None), (2.0, TypeError), (np.float64(2.0), TypeError), ("3", TypeError),
    (None, TypeError), (2**127, OverflowError), (-2**127 - 1, OverflowError),
])
def test_integer_argument_takes_ints_of_the_128_bit_range(core, value, error):
    model = core()

    def fit():
        # An infinite convergence_delta ends the fit before the first iteration, whatever the
        # number of iterations allowed.
        model.fit(X, Y, NAMES, tf.Encoder(), max_iterations=value, convergence_delta=float("inf"))

    if error is None:
        fit()
        assert model.coefficients == {"a": 0.0, "b": 0.0}
    else:
        refuses(fit, "max_iterations", error)


@pytest.mark.parametrize("value, columns", [
    (True, ["x", "y"]), (False, ["x"]), (None, ["x", "y"]), (np.True_, ["x", "y"]),
    (np.False_, ["x"]), (1, None), (0, None), (np.int64(1), None), ("yes", None),
    (np.array([True]), None),
])
def test_boolean_argument_takes_bool_and_numpy_bool_only(value, columns):
    formula = tf._parse_formula("y ~ x")
    if columns is None:
        refuses(lambda: formula.get_column_names(value), "with_dependent")
    else:
        assert formula.get_column_names(value) == columns


@pytest.mark.parametrize("kind", [dict, Dict])
def test_map_argument_accepts_dicts_and_dict_subclasses(kind):
    model, enc = tf.LinearRegressionCore(), tf.Encoder()
    model.coefficients = kind(a=1, b=2.5)
    enc.column_mappings = kind(a=INFO)
    assert model.coefficients == {"a": 1.0, "b": 2.5} and list(enc.column_mappings) == ["a"]
    for bad in [{1: 1.0}, {b"a": 1.0}, types.MappingProxyType({"a": 1.0}), [("a", 1.0)], None,
                {"a": INFO}, kind({"a": 1.0, 2: 1.0})]:
        refuses(lambda: setattr(model, "coefficients", bad), "new_coefficients")
    assert model.coefficients == {"a": 1.0, "b": 2.5}


@pytest.mark.parametrize("call, argument", [
    (lambda: fitted().fit(X, Y, NAMES, tf.LinearRegressionCore()), "encoder"),
    (lambda: fitted().fit(X, Y, NAMES, None), "encoder"),
    (lambda: setattr(fitted(), "formula", "y ~ x"), "new_formula"),
    (lambda: setattr(fitted(), "formula", None), "new_formula"),
    (lambda: tf.Encoder().add_column_mapping("a", tf.EncodingType.Bool), "col_info"),
    (lambda: setattr(tf.Encoder(), "column_mappings", {"a": INFO, "b": 1}), "mappings"),
    (lambda: tf.EncodedColumnInfo(None, 0), "encoding_type"),
    (lambda: tf.Formula("y", tf._parse_formula("y ~ x"), []), "dependent"),
    (lambda: tf.Formula("y", tf._parse_formula("y ~ x").dependent, [INFO]), "independent"),
    (lambda: tf.PenalizedLogisticRegressionCore().fit(X, Y, NAMES, tf.Encoder(), [INFO]),
     "penalties"),
])
def test_object_of_another_class_is_refused(call, argument):
    refuses(call, argument)


@pytest.mark.parametrize("arguments, reported", [
    ((1.5, "ab", BAD, None, "x", floaty(0)), "x_matrix"),
    ((X, Y[:, None], "ab", None, "x", floaty(0)), "y_matrix"),
    ((X, Y, "ab", None, 2.0, floaty(0)), "x_col_names"),
    ((X, Y, NAMES, BAD, 2.0, floaty(0)), "encoder"),
    ((X, Y, NAMES, tf.Encoder(), [floaty(0)], 2.0, "x"), "penalties"),
    ((X, Y, NAMES, tf.Encoder(), None, 2.0, floaty(0)), "max_iterations"),
    ((X, Y, NAMES, tf.Encoder(), None, 2**127, "x"), OverflowError),
    ((X, Y, NAMES, tf.Encoder(), None, 25, floaty(0)), ZeroDivisionError),
])
def test_first_failing_argument_in_declaration_order_is_reported(arguments, reported):
    model = tf.PenalizedLogisticRegressionCore()
    names = ["x_matrix", "y_matrix", "x_col_names", "encoder", "penalties", "max_iterations",
             "convergence_delta"]
    by_keyword = dict(reversed(list(zip(names, arguments))))  # keywords given last to first
    for call in (lambda: model.fit(*arguments), lambda: model.fit(**by_keyword)):
        if isinstance(reported, str):
            refuses(call, reported)
        else:
            refuses(call, None, reported)
    assert model.coefficients is None


@pytest.mark.parametrize("core", CORES)
@pytest.mark.parametrize("spoil", [
    lambda m: m.fit(X, Y.astype(np.float32), NAMES, encoder()),
    lambda m: m.fit(X, Y, "ab", encoder()),
    lambda m: m.fit(X, Y, NAMES, None),
    lambda m: setattr(m, "coefficients", {"a": 1.0, "b": "x"}),
    lambda m: setattr(m, "formula", "y ~ x"),
])
def test_argument_errors_leave_the_model_unchanged_and_free(core, spoil, tmp_path):
    model = fitted(core)
    penalized = core is tf.PenalizedLogisticRegressionCore
    if penalized:  # a failed conversion must not replace them by the omitted penalties=None
        model.fit(X, Y, NAMES, encoder(), [tf.PenaltySpecification("b", None, 1.0)])
    before = state(model)
    with pytest.raises(TypeError):
        spoil(model)
    assert state(model) == before
    model.save_to_file(str(tmp_path / "model.json"))
    saved = json.loads((tmp_path / "model.json").read_text())
    assert len(saved.get("penalties") or []) == (1 if penalized else 0)
    model.coefficients = {"a": 1.0}  # the exclusive borrow was released


def test_internal_error_is_one_base_exception_class():
    classes = set()
    calls = (lambda m: m.fit(X, Y[:3], NAMES, tf.Encoder()), lambda m: m.predict(X, ["a"]),
             lambda m: m.predict(X, ["a", "b", "c"]))
    for core, call in [(core, call) for core in CORES for call in calls]:
        model = fitted(core)
        before = state(model)
        error = raises_internal_error(lambda: call(model))
        classes.add(type(error))
        assert len(error.args) == 1 and error.args[0] == str(error) and str(error)
        assert state(model) == before
        model.coefficients = {"a": 1.0}  # the borrow was released
    (cls,) = classes
    assert cls.__bases__ == (BaseException,)


@pytest.mark.parametrize("call", [
    lambda: tf.LinearRegressionCore().fit(np.zeros((3, 2)), Y[:3], NAMES, tf.Encoder()),
    lambda: tf.LogisticRegressionCore().fit(X, Y, NAMES, tf.Encoder(), max_iterations=1),
    lambda: tf.PenalizedLogisticRegressionCore().fit(
        X, Y, NAMES, tf.Encoder(), [tf.PenaltySpecification("a", None, 1.0)] * 2),
    lambda: tf.PenaltySpecification("a", None, -1.0),
    lambda: tf._parse_formula("y ~ x ~ z"),
    lambda: tf._parse_formula("y ~ a*b:c").independent[-1].get_columns_from_term(),
])
def test_model_errors_are_exactly_value_error(call):
    refuses(call, None, ValueError)


SETTERS = [(core, name) for core in CORES for name in ("coefficients", "formula")]


@pytest.mark.parametrize("make, name", SETTERS + [(encoder, "column_mappings")])
def test_attribute_with_a_setter_cannot_be_deleted(make, name):
    owner = fitted(make) if make in CORES else make()
    before = describe(getattr(owner, name))
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(owner, name)
    assert describe(getattr(owner, name)) == before


READ_ONLY = {
    **{functools.partial(fitted, core): ["encoding_data"] for core in CORES},
    lambda: tf._parse_formula("y ~ x"): ["original", "dependent", "independent"],
    lambda: tf._parse_formula("y ~ x").dependent: ["name", "dependent", "subtracted",
                                                   "intercept", "interaction"],
    lambda: INFO: ["levels", "encoding_type"],
    lambda: tf.EncodingType.Bool: ["name"],
}


@pytest.mark.parametrize("make, name", [(m, n) for m, names in READ_ONLY.items() for n in names])
def test_read_only_attribute_refuses_assignment(make, name):
    owner = make()
    before = describe(getattr(owner, name))
    with pytest.raises(AttributeError):
        setattr(owner, name, getattr(owner, name))
    assert describe(getattr(owner, name)) == before


@pytest.mark.parametrize("core", CORES)
def test_prediction_is_a_new_owning_array(core):
    model = fitted(core)
    first, second = model.predict(X, NAMES), model.predict(X, NAMES)
    for result in (first, second):
        assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (4,)
        assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
        assert not np.shares_memory(result, X)
    assert not np.shares_memory(first, second)
    first[:] = -1.0
    assert np.array_equal(model.predict(X, NAMES), second)
