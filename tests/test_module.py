"""The module object and the shape shared by all of its classes."""

import importlib
import types
import weakref

import pytest

import _tallyfit

CLASS_NAMES = [
    "Formula",
    "FormulaTerm",
    "Encoder",
    "EncodedColumnInfo",
    "EncodingType",
    "LinearRegressionCore",
    "LogisticRegressionCore",
    "PenalizedLogisticRegressionCore",
    "PenaltySpecification",
]
FUNCTION_NAMES = ["_parse_formula", "_is_numeric"]

# One instance of each class, made the way a caller would get one.
INSTANCE_FACTORIES = {
    "Formula": lambda: _tallyfit._parse_formula("y ~ x"),
    "FormulaTerm": lambda: _tallyfit._parse_formula("y ~ x").dependent,
    "Encoder": lambda: _tallyfit.Encoder(),
    "EncodedColumnInfo": lambda: _tallyfit.EncodedColumnInfo(None, _tallyfit.EncodingType.Bool),
    "EncodingType": lambda: _tallyfit.EncodingType.Bool,
    "LinearRegressionCore": lambda: _tallyfit.LinearRegressionCore(),
    "LogisticRegressionCore": lambda: _tallyfit.LogisticRegressionCore(),
    "PenalizedLogisticRegressionCore": lambda: _tallyfit.PenalizedLogisticRegressionCore(),
    "PenaltySpecification": lambda: _tallyfit.PenaltySpecification("x", None, 1.0),
}


def test_all_lists_classes_then_functions():
    assert _tallyfit.__all__ == CLASS_NAMES + FUNCTION_NAMES


def test_import_gives_the_same_module():
    assert importlib.import_module("_tallyfit") is _tallyfit


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_functions_are_builtins(name):
    assert isinstance(getattr(_tallyfit, name), types.BuiltinFunctionType)


def test_module_docstring():
    lines = _tallyfit.__doc__.split("\n")
    assert len(lines) == 5
    assert lines[0].endswith(" ") and lines[0].strip()
    assert lines[1:] == [
        "Much of the code is modeled after R's syntax for specifying models. ",
        "Includes:",
        "",
        "- Linear regression: Modeled after R's lm() function",
    ]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_shape(name):
    cls = getattr(_tallyfit, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    # No per-instance dict and no weak-reference slot.
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_is_final(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(_tallyfit, name),), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_take_no_new_attributes_or_weak_references(name):
    instance = INSTANCE_FACTORIES[name]()
    assert type(instance) is getattr(_tallyfit, name)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.unknown_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("name", CLASS_NAMES)
@pytest.mark.parametrize("attribute, value", [
    ("__new__", staticmethod(lambda cls: object.__new__(cls))),
    ("__init__", lambda self: None),
    ("extra", 1),
])
def test_classes_are_immutable(name, attribute, value):
    # A replaced __new__ would make instances whose value was never constructed.
    cls = getattr(_tallyfit, name)
    before = vars(cls).get(attribute)
    with pytest.raises(TypeError, match="immutable type"):
        setattr(cls, attribute, value)
    assert vars(cls).get(attribute) is before
    with pytest.raises(TypeError):
        object.__new__(cls)
