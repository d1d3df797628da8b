"""Python code that runs inside a call (a __float__, __index__ or __getitem__ of an argument)
and calls back into the object the call is using: a call that changes an object holds it
exclusively, every other call holds it shared, and a conflicting use raises RuntimeError instead
of reaching a half-updated value."""

import json

import numpy as np
import pytest

from _tallyfit import (
    Encoder,
    LinearRegressionCore,
    LogisticRegressionCore,
    PenalizedLogisticRegressionCore,
    PenaltySpecification,
)

BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"

MODEL_CLASSES = [LinearRegressionCore, LogisticRegressionCore, PenalizedLogisticRegressionCore]
ITERATIVE_CLASSES = [LogisticRegressionCore, PenalizedLogisticRegressionCore]

X = np.column_stack([np.ones(6), np.arange(6.0)])
Y = np.array([0.0, 0.0, 1.0, 0.0, 1.0, 1.0])
NAMES = ["one", "x"]
OLD_COEFFICIENTS = {"one": 0.25, "x": -0.5}


def fitted(model_class):
    model = model_class()
    model.coefficients = OLD_COEFFICIENTS
    return model


def outcome(action):
    """What an action did: ("ok", its result) or (exception class, message)."""
    try:
        return "ok", action()
    except Exception as error:  # noqa: BLE001 - the outcome is what the tests compare
        return type(error), str(error)


class Number:
    """A float and an index whose conversion first runs `action`. With `swallow` the action's
    exception is recorded in `.outcome`; otherwise it propagates out of the conversion."""

    def __init__(self, value, action, swallow=False):
        self.value, self.action, self.swallow = value, action, swallow
        self.outcome = None

    def _convert(self):
        if self.swallow:
            self.outcome = outcome(self.action)
        else:
            self.outcome = "ok", self.action()
        return self.value

    def __float__(self):
        return float(self._convert())

    def __index__(self):
        return int(self._convert())


class Names:
    """A sequence (not a list) whose first item access runs `action` and records its outcome."""

    def __init__(self, items, action):
        self.items, self.action = list(items), action
        self.outcome = None

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if self.outcome is None:
            self.outcome = outcome(self.action)
        return self.items[index]


def fit_args():
    return X, Y, NAMES, Encoder()


def reference_fit(model_class):
    model = model_class()
    model.fit(*fit_args())
    return model.coefficients


def assert_usable(model, expected_coefficients):
    """The call that failed released its borrow: the model reads, changes and predicts again."""
    assert model.coefficients == pytest.approx(expected_coefficients)
    model.coefficients = {"x": 0.0}
    assert model.predict(X, NAMES).shape == (6,)
    model.fit(*fit_args())
    assert model.coefficients == pytest.approx(reference_fit(type(model)))


def read_coefficients(model):
    return lambda: model.coefficients


def refit(model):
    return lambda: model.fit(*fit_args())


def set_coefficients(model):
    def action():
        model.coefficients = {"inner": 1.0}

    return action


@pytest.mark.parametrize("model_class", ITERATIVE_CLASSES)
@pytest.mark.parametrize(
    "argument, make_action, message",
    [
        ("convergence_delta", read_coefficients, MUTABLY_BORROWED),
        ("max_iterations", read_coefficients, MUTABLY_BORROWED),
        ("convergence_delta", refit, BORROWED),
        ("max_iterations", set_coefficients, BORROWED),
    ],
)
def test_fit_holds_the_model_exclusively_while_converting(
    model_class, argument, make_action, message
):
    model = fitted(model_class)
    number = Number(1e-8 if argument == "convergence_delta" else 25, make_action(model))
    with pytest.raises(RuntimeError) as info:
        model.fit(*fit_args(), **{argument: number})
    assert type(info.value) is RuntimeError and str(info.value) == message
    assert_usable(model, OLD_COEFFICIENTS)


@pytest.mark.parametrize("model_class", MODEL_CLASSES)
def test_fit_goes_on_when_the_callback_swallows_the_conflict(model_class):
    model = fitted(model_class)
    names = Names(NAMES, read_coefficients(model))
    model.fit(X, Y, names, Encoder())
    assert names.outcome == (RuntimeError, MUTABLY_BORROWED)
    assert model.coefficients == pytest.approx(reference_fit(model_class))


@pytest.mark.parametrize("model_class", MODEL_CLASSES)
@pytest.mark.parametrize(
    "make_action, expected",
    [
        (read_coefficients, ("ok", OLD_COEFFICIENTS)),
        (refit, (RuntimeError, BORROWED)),
        (set_coefficients, (RuntimeError, BORROWED)),
    ],
)
def test_predict_holds_the_model_shared(model_class, make_action, expected):
    model = fitted(model_class)
    names = Names(NAMES, make_action(model))
    predictions = model.predict(X, names)
    assert names.outcome == expected
    assert predictions == pytest.approx(model.predict(X, NAMES))
    assert_usable(model, OLD_COEFFICIENTS)


@pytest.mark.parametrize("model_class", MODEL_CLASSES)
def test_coefficients_setter_converts_before_taking_the_model(model_class):
    model = fitted(model_class)
    seen = Number(2.0, read_coefficients(model))
    model.coefficients = {"a": seen}
    assert seen.outcome == ("ok", OLD_COEFFICIENTS)
    assert model.coefficients == {"a": 2.0}

    # A change made during the conversion is replaced by the assignment that follows it.
    model.coefficients = {"a": Number(3.0, set_coefficients(model))}
    assert model.coefficients == {"a": 3.0}
    model.coefficients = {"a": Number(4.0, refit(model))}
    assert model.coefficients == {"a": 4.0}


def test_fit_holds_the_encoder_shared():
    model = fitted(LogisticRegressionCore)
    encoder = Encoder()

    def add_mapping():
        encoder.column_mappings = {}

    delta = Number(1e-8, add_mapping)
    with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
        model.fit(X, Y, NAMES, encoder, convergence_delta=delta)
    reading = Number(1e-8, lambda: encoder.column_mappings)
    model.fit(X, Y, NAMES, encoder, convergence_delta=reading)
    assert reading.outcome == ("ok", {})
    encoder.column_mappings = {}  # the encoder is free again


def saved_penalties(model, tmp_path):
    path = tmp_path / "model.json"
    model.save_to_file(str(path))
    return json.loads(path.read_text())["penalties"]


def test_penalties_stay_when_a_later_argument_calls_back(tmp_path):
    model = PenalizedLogisticRegressionCore()
    model.fit(X, Y, NAMES, Encoder(), penalties=[PenaltySpecification("x", None, 1.0)])
    before = saved_penalties(model, tmp_path)
    with pytest.raises(RuntimeError, match=f"^{MUTABLY_BORROWED}$"):
        model.fit(
            X,
            Y,
            NAMES,
            Encoder(),
            penalties=[PenaltySpecification("x", None, 5.0)],
            convergence_delta=Number(1e-8, read_coefficients(model)),
        )
    assert saved_penalties(model, tmp_path) == before


def test_penalty_sequence_calls_back_during_fit(tmp_path):
    model = fitted(PenalizedLogisticRegressionCore)
    penalties = Names([PenaltySpecification("x", None, 2.0)], refit(model))
    model.fit(X, Y, NAMES, Encoder(), penalties=penalties)
    assert penalties.outcome == (RuntimeError, BORROWED)
    assert saved_penalties(model, tmp_path) == [
        {"variable_name": "x", "categorical_level": None, "lambda_param": 2.0, "target": 0.0}
    ]


@pytest.mark.parametrize("argument", ["lambda_param", "target"])
def test_penalty_construction_may_use_a_model(argument):
    model = fitted(PenalizedLogisticRegressionCore)
    number = Number(1.0, refit(model))
    PenaltySpecification("x", None, **{"lambda_param": 1.0, argument: number})
    assert number.outcome[0] == "ok"
    assert model.coefficients == pytest.approx(reference_fit(PenalizedLogisticRegressionCore))


class Name(str):
    """A str subclass whose Python-level methods call back into a model and record the outcome;
    the module reads the text itself and must not depend on them."""

    model = None
    outcomes = []

    def _touch(self):
        if Name.model is not None:
            Name.outcomes.append(outcome(read_coefficients(Name.model)))

    def __hash__(self):
        self._touch()
        return str.__hash__(self)

    def __eq__(self, other):
        self._touch()
        return str.__eq__(self, other)

    def __str__(self):
        self._touch()
        return str.__str__(self)

    def __del__(self):
        self._touch()


class FreshNames:
    """Hands out a new Name on every access, so the call holds the only reference to each one
    and drops it (running __del__) while it still uses the model."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return Name(self.items[index])


@pytest.mark.parametrize("model_class", MODEL_CLASSES)
def test_str_subclasses_are_read_as_their_text(model_class):
    model = fitted(model_class)
    Name.model, Name.outcomes = model, []
    try:
        model.fit(X, Y, FreshNames(NAMES), Encoder())
        predictions = model.predict(X, FreshNames(["x", "one"]))
        model.coefficients = {Name("a"): 1.0}
        keys = list(model.coefficients)
    finally:
        Name.model = None
    assert all(
        found[0] == "ok" or found == (RuntimeError, MUTABLY_BORROWED) for found in Name.outcomes
    )
    assert keys == ["a"] and type(keys[0]) is str
    reference = reference_fit(model_class)
    model.coefficients = reference
    assert predictions == pytest.approx(model.predict(X, ["x", "one"]))
    assert_usable(model, reference)
