"""Text signatures and messages that the binding kit builds from one declaration each.

Every callable's docstring and text signature are generated from its declaration, and every
error message from a message table with the caller's text put in; these tests pin both.
"""

import inspect

import numpy as np
import pytest

import _tallyfit
from _tallyfit import (
    Encoder,
    LinearRegressionCore,
    LogisticRegressionCore,
    PenalizedLogisticRegressionCore,
    PenaltySpecification,
)
from tallyfit import _native

CORES = [LinearRegressionCore, LogisticRegressionCore, PenalizedLogisticRegressionCore]
DATA = "x_matrix, y_matrix, x_col_names, encoder"
ITERATION = "max_iterations=25, convergence_delta=1e-8"


@pytest.mark.parametrize("obj, signature", [
    (LinearRegressionCore.fit, f"($self, {DATA})"),
    (LogisticRegressionCore.fit, f"($self, {DATA}, {ITERATION})"),
    (PenalizedLogisticRegressionCore.fit, f"($self, {DATA}, penalties=None, {ITERATION})"),
    *[(core, "()") for core in CORES],
    *[(core.predict, "($self, x_matrix, x_col_names)") for core in CORES],
    *[(core.save_to_file, "($self, filepath)") for core in CORES],
    *[(core.load_from_file, "($self, filepath)") for core in CORES],
    (PenaltySpecification, "(variable_name, categorical_level, lambda_param, target=0.0)"),
    (_native.irls_pass, "($module, x, y, beta, kind='gram')"),
    (_native.gram, "($module, x, y=None, weights=None)"),
    (_native.inverse, "($module, a)"),
    (_native.penalty_diagonal, "($module, penalties, names)"),
])
def test_text_signature(obj, signature):
    assert obj.__text_signature__ == signature


INSTANCES = {
    _tallyfit.Formula: lambda: _tallyfit._parse_formula("y ~ a"),
    _tallyfit.FormulaTerm: lambda: _tallyfit._parse_formula("y ~ a").dependent,
    Encoder: Encoder,
    **{core: core for core in CORES},
}


def declared_callables():
    """Every callable bound with a declaration, with a factory of its receiver (or None)."""
    for name in _tallyfit.__all__:
        obj = getattr(_tallyfit, name)
        if not isinstance(obj, type):
            yield obj, None
            continue
        if obj.__text_signature__ is not None:
            yield obj, None  # the constructor
        for value in vars(obj).values():
            if type(value).__name__ == "method_descriptor":
                yield value, INSTANCES[obj]
    for name in ("irls_pass", "gram", "inverse", "penalty_diagonal"):
        yield getattr(_native, name), None


@pytest.mark.parametrize("obj, receiver", list(declared_callables()),
                         ids=lambda value: getattr(value, "__qualname__", ""))
def test_every_shown_parameter_is_accepted_by_keyword(obj, receiver):
    # The matcher and the text signature come from the same declaration: each name the
    # signature shows is a keyword the call accepts (the call then fails on the value).
    parameters = list(inspect.signature(obj).parameters)
    bound = []
    if receiver:
        assert parameters.pop(0) == "self"
        bound = [receiver()]
    for name in parameters:
        try:
            obj(*bound, **{name: object()})
        except TypeError as error:
            assert "unexpected keyword argument" not in str(error)
            assert f"argument '{name}'" in str(error) or "missing" in str(error)


# Text from the caller goes into messages as it is, "{}" included: only the message table's
# own "{}" are placeholders.
def test_formula_text_with_braces():
    with pytest.raises(ValueError) as caught:
        _tallyfit._parse_formula("y ~ a{}*b*c{}")
    assert str(caught.value) == "Invalid term found in formula: 'a{}*b*c{}'"


def test_penalty_name_with_braces():
    penalties = [PenaltySpecification("{}{}", None, 1.0), PenaltySpecification("{}{}", None, 2.0)]
    x = np.ones((3, 1))
    with pytest.raises(ValueError) as caught:
        PenalizedLogisticRegressionCore().fit(x, np.array([0.0, 1.0, 0.0]), ["{}{}"], Encoder(),
                                              penalties)
    assert str(caught.value) == "Multiple penalties specified for variable: {}{}"


@pytest.mark.parametrize("method, prefix", [
    ("save_to_file", "Failed to write to file"),
    ("load_from_file", "Failed to read file"),
])
def test_path_with_braces(tmp_path, method, prefix):
    path = str(tmp_path / "{}" / "{}.json")
    model = LinearRegressionCore()
    model.coefficients = {"a": 1.0}
    with pytest.raises(OSError) as caught:
        getattr(model, method)(path)
    assert str(caught.value) == f"{prefix} '{path}': No such file or directory (os error 2)"


def test_model_kind_with_braces(tmp_path):
    path = tmp_path / "m.json"
    path.write_text('{"encoding_data": {"column_mappings": {}}, "model_type": "{}"}')
    with pytest.raises(ValueError) as caught:
        LinearRegressionCore().load_from_file(str(path))
    assert str(caught.value) == ("Model type mismatch: Cannot load a '{}' model into a "
                                 "'LinearRegression' object.")
