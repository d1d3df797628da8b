"""Generated inputs for the Python surface of the formula parser and of model-file loading: any
argument either works or raises its documented exception, a failed load leaves the model as it
was, and whatever loads (or parses) survives a save and a second load unchanged."""

import json
import math
import re

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from _tallyfit import (
    LinearRegressionCore,
    LogisticRegressionCore,
    PenalizedLogisticRegressionCore,
    _parse_formula,
)

KINDS = {
    LinearRegressionCore: "LinearRegression",
    LogisticRegressionCore: "LogisticRegression",
    PenalizedLogisticRegressionCore: "PenalizedLogisticRegression",
}
FORMULA_MESSAGES = re.compile(
    r"Formula cannot be empty|Formula must contain '~' to separate dependent and independent "
    r"variables|Formula cannot contain multiple '~' characters|Dependent variable cannot be empty"
    r"|Independent variables cannot be empty|Invalid term found in formula: '.+'",
    re.DOTALL,
)
DESERIALIZE_ERROR = re.compile(
    r"Failed to deserialize model from JSON: .+ at line \d+ column \d+", re.DOTALL
)
FUZZ_SETTINGS = settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)

names = st.text(max_size=6)
finite_numbers = st.floats(allow_nan=False, allow_infinity=False)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz") / "model.json"


def formula_state(formula):
    if formula is None:
        return None
    terms = [formula.dependent] + formula.independent
    return formula.original, [
        (t.name, t.dependent, t.subtracted, t.intercept, t.interaction) for t in terms
    ]


def model_state(model, path):
    """Everything a model holds; the penalties are visible only in a saved file."""
    mappings = model.encoding_data.column_mappings
    state = (
        model.coefficients,
        {name: (info.levels, info.encoding_type.name) for name, info in mappings.items()},
        formula_state(model.formula),
    )
    if isinstance(model, PenalizedLogisticRegressionCore) and model.coefficients is not None:
        model.save_to_file(str(path))
        state += (json.loads(path.read_text(encoding="utf-8"))["penalties"],)
    return state


def close_floats(found, expected):
    # A decimal need not be read back to the nearest double, only to within one unit.
    return found == expected or abs(found - expected) <= math.ulp(expected)


# --- formula texts and other arguments --------------------------------------------------------

formula_arguments = st.one_of(
    st.text(alphabet=st.sampled_from("xy1 0~+-*:\u00a0\t.e(é"), max_size=16),
    st.text(max_size=16),
    st.text(alphabet=st.characters(categories=["Cs", "Ll"]), min_size=1, max_size=4),
    st.binary(max_size=8),
    st.none() | st.integers() | st.floats() | st.lists(st.text(max_size=3), max_size=2),
)


@FUZZ_SETTINGS
@given(argument=formula_arguments)
def test_any_formula_argument_parses_or_raises_its_own_error(argument, scratch):
    try:
        formula = _parse_formula(argument)
    except TypeError as error:
        assert not isinstance(argument, str)
        assert str(error).startswith("argument 'formula': ")
        return
    except UnicodeEncodeError:
        assert any("\ud800" <= char <= "\udfff" for char in argument)
        return
    except ValueError as error:
        assert type(error) is ValueError and FORMULA_MESSAGES.fullmatch(str(error))
        return
    assert formula.original == argument
    str(formula), repr(formula), formula.get_column_names(False)
    for term in formula.independent:
        repr(term)

    # Whatever the parser produced, a model file keeps it exactly.
    model = LinearRegressionCore()
    model.coefficients = {term.name: 1.0 for term in formula.independent}
    model.formula = formula
    model.save_to_file(str(scratch))
    loaded = LinearRegressionCore()
    loaded.load_from_file(str(scratch))
    assert model_state(loaded, scratch) == model_state(model, scratch)


# --- model documents --------------------------------------------------------------------------


@st.composite
def records(draw, members):
    """A record as a JSON object or, sometimes, as the array of its values in member order."""
    values = {key: draw(strategy) for key, strategy in members.items()}
    if draw(st.booleans()) and draw(st.booleans()):
        return list(values.values())
    return values


def term_records(dependent=False):
    return records(
        {
            "name": names,
            "dependent": st.just(dependent) | st.booleans(),
            "subtracted": st.booleans(),
            "intercept": st.booleans(),
            "interaction": st.booleans(),
        }
    )


encoding_types = st.sampled_from(["Dummy", "OneHot", "Bool", "Numeric"])
column_infos = records(
    {"levels": st.none() | st.lists(names, max_size=3), "encoding_type": encoding_types}
)
formulas = records(
    {
        "original": st.text(max_size=12),
        "dependent": term_records(dependent=True),
        "independent": st.lists(term_records(), max_size=3),
    }
)
penalty_records = records(
    {
        "variable_name": names,
        "categorical_level": st.none() | names,
        "lambda_param": finite_numbers,
        "target": finite_numbers,
    }
)


@st.composite
def documents(draw, kind):
    document = {}
    if draw(st.booleans()):
        coefficients = st.dictionaries(names, finite_numbers, max_size=4)
        document["coefficients"] = draw(st.none() | coefficients)
    document["encoding_data"] = draw(
        records({"column_mappings": st.dictionaries(names, column_infos, max_size=3)})
    )
    if draw(st.booleans()):
        document["formula"] = draw(st.none() | formulas)
    document["model_type"] = kind
    if draw(st.booleans()):
        document["penalties"] = draw(st.none() | st.lists(penalty_records, max_size=3))
    if draw(st.booleans()):
        document[draw(names)] = draw(st.none() | finite_numbers | st.lists(names, max_size=2))
    return document


TERM_MEMBERS = ["name", "dependent", "subtracted", "intercept", "interaction"]
PENALTY_MEMBERS = ["variable_name", "categorical_level", "lambda_param", "target"]


def as_record(value, members):
    """The object form of a record that may have been written as an array."""
    return dict(zip(members, value)) if isinstance(value, list) else value


def expected_state(document, penalized):
    """What a model holds after loading a well-formed document, in the form of model_state."""
    mappings = as_record(document["encoding_data"], ["column_mappings"])["column_mappings"]
    encoding = {}
    for name, info in mappings.items():
        info = as_record(info, ["levels", "encoding_type"])
        encoding[name] = (info["levels"], info["encoding_type"])
    formula = document.get("formula")
    if formula is not None:
        formula = as_record(formula, ["original", "dependent", "independent"])
        terms = [formula["dependent"]] + formula["independent"]
        terms = [as_record(term, TERM_MEMBERS) for term in terms]
        formula = formula["original"], [tuple(t[m] for m in TERM_MEMBERS) for t in terms]
    coefficients = document.get("coefficients")
    state = (coefficients, encoding, formula)
    if penalized and coefficients is not None:
        penalties = document.get("penalties")
        if penalties is not None:
            penalties = [as_record(penalty, PENALTY_MEMBERS) for penalty in penalties]
        state += (penalties,)
    return state


def same_state(found, expected):
    """Equal states, numbers to within one unit in the last place."""
    if isinstance(expected, float):
        return isinstance(found, float) and close_floats(found, expected)
    if isinstance(expected, dict):
        return (
            isinstance(found, dict)
            and found.keys() == expected.keys()
            and all(same_state(found[key], expected[key]) for key in expected)
        )
    if isinstance(expected, (list, tuple)):
        return (
            isinstance(found, (list, tuple))
            and len(found) == len(expected)
            and all(same_state(f, e) for f, e in zip(found, expected))
        )
    return found == expected


def serialize(document, layout):
    indent, ascii_only = layout
    return json.dumps(document, indent=indent, ensure_ascii=ascii_only).encode("utf-8")


layouts = st.tuples(st.sampled_from([None, 0, 2, "\t"]), st.booleans())
model_classes = st.sampled_from(list(KINDS))


@FUZZ_SETTINGS
@given(data=st.data(), model_class=model_classes, layout=layouts)
def test_well_formed_documents_load_exactly_and_round_trip(data, model_class, layout, scratch):
    document = data.draw(documents(KINDS[model_class]))
    scratch.write_bytes(serialize(document, layout))
    model = model_class()
    model.load_from_file(str(scratch))
    penalized = model_class is PenalizedLogisticRegressionCore
    state = model_state(model, scratch)
    assert same_state(state, expected_state(document, penalized))

    if model.coefficients is not None:
        model.save_to_file(str(scratch))
        again = model_class()
        again.load_from_file(str(scratch))
        assert model_state(again, scratch) == state


@FUZZ_SETTINGS
@given(data=st.data(), model_class=model_classes, document_class=model_classes)
def test_a_document_of_another_kind_is_refused(data, model_class, document_class, scratch):
    assume(model_class is not document_class)
    document = data.draw(documents(KINDS[document_class]))
    scratch.write_text(json.dumps(document), encoding="utf-8")
    model = model_class()
    with pytest.raises(ValueError) as info:
        model.load_from_file(str(scratch))
    assert str(info.value) == (
        f"Model type mismatch: Cannot load a '{KINDS[document_class]}' model into a "
        f"'{KINDS[model_class]}' object."
    )
    assert model.coefficients is None


def mutate(text, data):
    """Damages a document in one of the ways a truncated, edited or corrupted file would be."""
    position = data.draw(st.integers(0, len(text)))
    how = data.draw(st.sampled_from(["truncate", "delete", "insert", "replace"]))
    if how == "truncate":
        return text[:position]
    if how == "delete":
        return text[:position] + text[position + data.draw(st.integers(1, 8)):]
    tokens = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"null", b"1e999", b"-"]
    inserted = data.draw(st.binary(min_size=1, max_size=4) | st.sampled_from(tokens))
    end = position + (len(inserted) if how == "replace" else 0)
    return text[:position] + inserted + text[end:]


@FUZZ_SETTINGS
@given(data=st.data(), model_class=model_classes, layout=layouts)
def test_damaged_documents_fail_cleanly_or_load_consistently(data, model_class, layout, scratch):
    text = mutate(serialize(data.draw(documents(KINDS[model_class])), layout), data)
    model = model_class()
    model.coefficients = {"kept": 1.0}
    model.formula = _parse_formula("y ~ kept")
    before = model_state(model, scratch)
    scratch.write_bytes(text)
    try:
        model.load_from_file(str(scratch))
    except OSError as error:
        assert str(error) == f"Failed to read file '{scratch}': stream did not contain valid UTF-8"
        with pytest.raises(UnicodeDecodeError):
            text.decode("utf-8")
    except ValueError as error:
        message = str(error)
        assert DESERIALIZE_ERROR.fullmatch(message) or message.startswith("Model type mismatch: ")
    else:
        state = model_state(model, scratch)
        if model.coefficients is not None:
            model.save_to_file(str(scratch))
            again = model_class()
            again.load_from_file(str(scratch))
            assert model_state(again, scratch) == state
        return
    assert model_state(model, scratch) == before
