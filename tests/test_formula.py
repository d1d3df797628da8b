"""Formula parsing, the Formula and FormulaTerm objects, and the numeric-string test."""

import numpy as np
import pytest

from _tallyfit import Formula, FormulaTerm, _is_numeric, _parse_formula

INVALID_TERM = "Invalid term found in formula: '{}'"


def describe(term):
    """A term's name with "(c)" for an intercept and "(i)" for an interaction."""
    return term.name + ("(c)" if term.intercept else "") + ("(i)" if term.interaction else "")


def independent_names(formula):
    return [describe(term) for term in formula.independent]


def first_interaction(formula):
    return next(term for term in formula.independent if term.interaction)


@pytest.mark.parametrize(
    "text, dependent, independent",
    [
        ("y ~ x1 + x2", "y", ["1(c)", "x1", "x2"]),
        ("y ~ a*b - 1", "y", ["a", "b", "a:b(i)"]),
        ("y ~ a:b + c - a", "y", ["1(c)", "a:b(i)", "c"]),
        ("y ~ x + 1", "y", ["1(c)", "x"]),
        ("y ~ 0 + x", "y", ["x"]),
        ("y ~ -1 + x", "y", ["x"]),
        ("y ~ x - 0", "y", ["x"]),
        ("y ~ x + x", "y", ["1(c)", "x"]),
        ("y ~ a*b + a:b", "y", ["1(c)", "a", "b", "a:b(i)"]),
        ("y ~ a*b - a:b", "y", ["1(c)", "a", "b"]),
        ("y ~ a * b", "y", ["1(c)", "a", "b", "a : b(i)"]),
        ("y ~ a* b", "y", ["1(c)", "a", "b", "a: b(i)"]),
        ("log(y) ~ x + 2", "log(y)", ["1(c)", "x"]),
        ("y1 + y2 ~ x", "y1 + y2", ["1(c)", "x"]),
        ("y ~ 0", "y", []),
        ("y ~ +", "y", ["1(c)"]),
        ("y ~ -", "y", ["1(c)"]),
        ("y ~ a +", "y", ["1(c)", "a"]),
        ("y ~ - x", "y", ["1(c)"]),
        ("y ~ a + - b", "y", ["1(c)", "a"]),
        ("y ~ a - + b", "y", ["1(c)", "a", "b"]),
        ("y ~ (a + b)", "y", ["1(c)", "(a", "b)"]),
        ("y ~ x-1", "y", ["x"]),
        ("y ~ x + 00", "y", ["1(c)", "x"]),
        ("y ~ x + 0.0", "y", ["1(c)", "x"]),
        ("y ~ 0 + 1 + x", "y", ["1(c)", "x"]),
        ("y ~ x + 1 - 1", "y", ["x"]),
        ("y ~ x + 1e0", "y", ["1(c)", "x"]),
        ("y ~ x + inf - NaN", "y", ["x"]),
        ("y ~ x + 1e", "y", ["1(c)", "x", "1e"]),
        ("y ~ a:", "y", ["1(c)", "a:(i)"]),
        ("y ~ 1*x", "y", ["1(c)", "1", "x", "1:x(i)"]),
        ("y ~ 1 + 1*x", "y", ["1(c)", "x", "1:x(i)"]),
        ("y ~ 1*x - 1", "y", ["x", "1:x(i)"]),
        ("y ~ 0*x", "y", ["1(c)", "0", "x", "0:x(i)"]),
        ("y ~ a*b:c", "y", ["1(c)", "a", "b:c", "a:b:c(i)"]),
        ("y ~ x + x:z - x", "y", ["1(c)", "x:z(i)"]),
        ("y ~ b + a + b:a + a", "y", ["1(c)", "b", "a", "b:a(i)"]),
        ("y ~ X + x", "y", ["1(c)", "X", "x"]),
        ("y ~ a^2 + f(x) | g / h . i", "y", ["1(c)", "a^2", "f(x) | g / h . i"]),
    ],
)
def test_parse_results(text, dependent, independent):
    formula = _parse_formula(text)
    assert formula.original == text
    assert formula.dependent.name == dependent
    assert independent_names(formula) == independent
    for term in formula.independent:
        assert not term.subtracted and not term.dependent


def test_term_flags():
    formula = _parse_formula("y ~ a*b")
    dep = formula.dependent
    assert (dep.dependent, dep.subtracted, dep.intercept, dep.interaction) == (
        True, False, False, False)
    flags = [(t.intercept, t.interaction, t.subtracted, t.dependent) for t in formula.independent]
    assert flags == [
        (True, False, False, False),
        (False, False, False, False),
        (False, False, False, False),
        (False, True, False, False),
    ]
    assert all(type(getattr(dep, flag)) is bool
               for flag in ("dependent", "subtracted", "intercept", "interaction"))


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "Formula cannot be empty"),
        ("   ", "Formula cannot be empty"),
        ("\u00a0\u3000\t\n", "Formula cannot be empty"),
        ("y = x", "Formula must contain '~' to separate dependent and independent variables"),
        ("y ~ a ~ b", "Formula cannot contain multiple '~' characters"),
        ("~~", "Formula cannot contain multiple '~' characters"),
        ("~ x", "Dependent variable cannot be empty"),
        ("~", "Dependent variable cannot be empty"),
        ("\u2003~ x", "Dependent variable cannot be empty"),
        ("y ~", "Independent variables cannot be empty"),
        ("y ~   ", "Independent variables cannot be empty"),
        ("y ~\u00a0\u205f", "Independent variables cannot be empty"),
        ("y ~ a*", "Independent variables cannot be empty"),
        ("y ~ *b", "Independent variables cannot be empty"),
        ("y ~ a:b:c", INVALID_TERM.format("a:b:c")),
        ("y ~ a*b*c", INVALID_TERM.format("a*b*c")),
        ("y ~ a**b", INVALID_TERM.format("a**b")),
        ("y ~ x +  a:b:c\u00a0 - q", INVALID_TERM.format("a:b:c")),
        # The first failing term from the left decides.
        ("y ~ a*b*c + q*", INVALID_TERM.format("a*b*c")),
        ("y ~ q* + a*b*c", "Independent variables cannot be empty"),
    ],
)
def test_parse_errors(text, message):
    with pytest.raises(ValueError) as caught:
        _parse_formula(text)
    assert type(caught.value) is ValueError
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "text, dependent, independent",
    [
        ("  y ~ x  ", "y", ["1(c)", "x"]),
        ("\u00a0y\u3000~\u2028x\u2029", "y", ["1(c)", "x"]),
        ("y\t~\nx", "y", ["1(c)", "x"]),
        ("my y ~ my var + x", "my y", ["1(c)", "my var", "x"]),
        ("y ~ \u00a0x\u00a0 + \u3000z\u202f", "y", ["1(c)", "x", "z"]),
        ("y ~ a\u00a0*\u00a0b", "y", ["1(c)", "a", "b", "a\u00a0:\u00a0b(i)"]),
        ("y ~ a\u1680:\u205fb", "y", ["1(c)", "a\u1680:\u205fb(i)"]),
        ("größe ~ 体重 + café", "größe", ["1(c)", "体重", "café"]),
        # Not White_Space: kept as part of the name.
        ("y ~ \u200bx\u200b", "y", ["1(c)", "\u200bx\u200b"]),
        ("y ~ x\x1c", "y", ["1(c)", "x\x1c"]),
    ],
)
def test_whitespace_in_and_around_names(text, dependent, independent):
    formula = _parse_formula(text)
    assert formula.original == text
    assert formula.dependent.name == dependent
    assert independent_names(formula) == independent


@pytest.mark.parametrize(
    "text, with_dependent, columns",
    [
        ("y ~ a*b + c", True, ["a", "b", "c", "y"]),
        ("y ~ a*b + c", False, ["a", "b", "c"]),
        ("y ~ 0", True, ["y"]),
        ("y ~ 0", False, []),
        ("y ~ a * b", True, [" b", "a", "a ", "b", "y"]),
        ("y ~ a*b:c", True, ["a", "b:c", "y"]),
        ("y ~ a:", True, ["", "a", "y"]),
        ("y ~ a + a:b + b", True, ["a", "b", "y"]),
        ("log(y) ~ x", True, ["log(y)", "x"]),
        ("y ~ y + x", True, ["x", "y"]),
        ("y ~ y + x", False, ["x", "y"]),
        ("y ~ 1*x", True, ["1", "x", "y"]),
        ("y ~ x2 + x10 + X + x", False, ["X", "x", "x10", "x2"]),
        ("y ~ é + z + ab + a", False, ["a", "ab", "z", "é"]),
        ("y ~ \uff41 + \u00e9 + \U0001f600", False, ["\u00e9", "\uff41", "\U0001f600"]),
    ],
)
def test_get_column_names(text, with_dependent, columns):
    names = _parse_formula(text).get_column_names(with_dependent)
    assert type(names) is list
    assert names == columns


@pytest.mark.parametrize(
    "call, includes_dependent",
    [
        (lambda f: f.get_column_names(), True),
        (lambda f: f.get_column_names(None), True),
        (lambda f: f.get_column_names(with_dependent=None), True),
        (lambda f: f.get_column_names(True), True),
        (lambda f: f.get_column_names(with_dependent=False), False),
        (lambda f: f.get_column_names(np.bool_(True)), True),
        (lambda f: f.get_column_names(np.bool_(False)), False),
    ],
)
def test_with_dependent_forms(call, includes_dependent):
    names = call(_parse_formula("z ~ a + b"))
    assert names == (["a", "b", "z"] if includes_dependent else ["a", "b"])


@pytest.mark.parametrize("bad", [1, 0, "yes", 1.0, [], "True"])
def test_with_dependent_refuses_non_bool(bad):
    with pytest.raises(TypeError, match=r"^argument 'with_dependent': "):
        _parse_formula("y ~ x").get_column_names(bad)


@pytest.mark.parametrize(
    "text, pick, columns",
    [
        ("y ~ a * b", first_interaction, ["a ", " b"]),
        ("y ~ a:b", first_interaction, ["a", "b"]),
        ("y ~ a:", first_interaction, ["a", ""]),
        ("y ~ :", first_interaction, ["", ""]),
        ("y ~ a*b:c", lambda f: f.independent[2], ["b:c"]),
        ("y ~ x", lambda f: f.independent[0], ["1"]),
        ("log(y) ~ x", lambda f: f.dependent, ["log(y)"]),
    ],
)
def test_get_columns_from_term(text, pick, columns):
    assert pick(_parse_formula(text)).get_columns_from_term() == columns


def test_get_columns_from_term_refuses_three_way_interaction():
    term = first_interaction(_parse_formula("y ~ a*b:c"))
    assert term.name == "a:b:c"
    with pytest.raises(ValueError) as caught:
        term.get_columns_from_term()
    assert type(caught.value) is ValueError
    assert str(caught.value) == INVALID_TERM.format("a:b:c")


def test_constructor_stores_values_unchanged():
    parsed = _parse_formula("y ~ a:b + 0")
    interaction = parsed.independent[0]
    dependent = parsed.dependent
    formula = Formula("anything at all", interaction, [dependent, dependent, interaction])
    assert formula.original == "anything at all"
    # No validation: flags stay as passed and duplicates are kept.
    assert formula.dependent.interaction and not formula.dependent.dependent
    assert [(t.name, t.dependent) for t in formula.independent] == [
        ("y", True), ("y", True), ("a:b", False)]
    assert str(formula) == "a:b ~ y + y + a:b"
    assert formula.get_column_names() == ["a", "b", "y"]


def test_constructor_copies_its_arguments():
    parsed = _parse_formula("y ~ a + b")
    terms = parsed.independent
    formula = Formula(original_str="o", dependent=parsed.dependent, independent=terms)
    terms.clear()
    assert independent_names(formula) == ["1(c)", "a", "b"]
    assert Formula("o", parsed.dependent, tuple(parsed.independent)).independent[2].name == "b"


def test_intercept_dependent_is_never_a_column():
    parsed = _parse_formula("y ~ x")
    formula = Formula("", parsed.independent[0], parsed.independent)
    assert formula.get_column_names() == ["x"]
    assert str(formula) == "1 ~ 1 + x"


@pytest.mark.parametrize(
    "args, argument",
    [
        ((1, "dep", []), "original_str"),
        (("o", "y", []), "dependent"),
        (("o", None, []), "dependent"),
        (("o", "dep", "abc"), "independent"),
        (("o", "dep", ["x"]), "independent"),
        (("o", "dep", None), "independent"),
        (("o", "dep", {"a": 1}), "independent"),
    ],
)
def test_constructor_argument_errors(args, argument):
    dependent = _parse_formula("y ~ x").dependent
    args = tuple(dependent if arg == "dep" else arg for arg in args)
    with pytest.raises(TypeError, match=rf"^argument '{argument}': "):
        Formula(*args)


def test_constructor_requires_all_arguments():
    with pytest.raises(TypeError):
        Formula("y ~ x", _parse_formula("y ~ x").dependent)


@pytest.mark.parametrize(
    "formula, text",
    [
        (lambda: _parse_formula("y ~ x1 + x2"), "y ~ 1 + x1 + x2"),
        (lambda: _parse_formula("y ~ a * b - 1"), "y ~ a + b + a : b"),
        (lambda: _parse_formula("y ~ 0"), "y ~ "),
        (lambda: Formula("y ~ q", _parse_formula("z ~ x").dependent, []), "z ~ "),
    ],
)
def test_formula_str_and_repr(formula, text):
    assert str(formula()) == text
    assert repr(formula()) == "Formula: " + text


def test_term_repr_and_str():
    term = _parse_formula("y ~ a:b").independent[1]
    assert repr(term) == "FormulaTerm: a:b"
    assert str(term) == "FormulaTerm: a:b"


def test_attributes_are_fresh_copies():
    formula = _parse_formula("y ~ a + b")
    terms = formula.independent
    assert type(terms) is list and terms is not formula.independent
    terms.pop()
    assert len(formula.independent) == 3
    assert formula.dependent is not formula.dependent
    assert type(formula.original) is str


def test_objects_compare_by_identity():
    first = _parse_formula("y ~ x")
    assert first == first
    assert first != _parse_formula("y ~ x")
    assert first.dependent != first.dependent
    assert hash(first) == hash(first)


@pytest.mark.parametrize(
    "target, attribute",
    [
        (lambda: _parse_formula("y ~ x"), "original"),
        (lambda: _parse_formula("y ~ x"), "dependent"),
        (lambda: _parse_formula("y ~ x"), "independent"),
        (lambda: _parse_formula("y ~ x").dependent, "name"),
        (lambda: _parse_formula("y ~ x").dependent, "dependent"),
        (lambda: _parse_formula("y ~ x").dependent, "subtracted"),
        (lambda: _parse_formula("y ~ x").dependent, "intercept"),
        (lambda: _parse_formula("y ~ x").dependent, "interaction"),
        (lambda: _parse_formula("y ~ x"), "not_an_attribute"),
        (lambda: _parse_formula("y ~ x").dependent, "not_an_attribute"),
    ],
)
def test_attributes_cannot_be_set(target, attribute):
    obj = target()
    with pytest.raises(AttributeError):
        setattr(obj, attribute, "value")
    with pytest.raises(AttributeError):
        delattr(obj, attribute)


def test_term_has_no_constructor():
    with pytest.raises(TypeError) as caught:
        FormulaTerm()
    assert str(caught.value) == "No constructor defined for FormulaTerm"


@pytest.mark.parametrize("cls", [Formula, FormulaTerm])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "text, numeric",
    [(t, True) for t in [
        "0", "-3", "+2", "1.", ".5", "+.5", "1.e5", "1E-7", "1.5e+3", "0005", "007.250", "1e400",
        "1e-400", "9" * 400, "inf", "-Infinity", "+NaN", "INFINITY", "nAn", "-inf",
    ]] + [(t, False) for t in [
        "", "+", "-", ".", "e5", ".e1", "1e", "1e+", " 1", "1 ", "\u00a01", "1_000", "0x10",
        "nan1", "infinite", "infin", "in", "1.2.3", "1,5", "+-1", "--1", "1e5.0", "1e1e1",
        "\u0661", "\uff11", "\u22121", "x", "1x", "1\n",
    ]],
)
def test_is_numeric(text, numeric):
    assert _is_numeric(text) is numeric


def test_keyword_arguments():
    assert _is_numeric(string="1") is True
    assert _parse_formula(formula="y ~ x").dependent.name == "y"
    with pytest.raises(TypeError):
        _is_numeric(term="1")


@pytest.mark.parametrize(
    "function, argument", [(_parse_formula, "formula"), (_is_numeric, "string")])
@pytest.mark.parametrize("bad", [1, None, b"y ~ x", ["y ~ x"]])
def test_string_argument_errors(function, argument, bad):
    with pytest.raises(TypeError, match=rf"^argument '{argument}': "):
        function(bad)


@pytest.mark.parametrize("function", [_parse_formula, _is_numeric])
def test_lone_surrogate_is_refused(function):
    with pytest.raises(UnicodeEncodeError):
        function("y ~ \ud800")


@pytest.mark.parametrize(
    "obj, doc, signature",
    [
        (_parse_formula, "\n".join([
            "Function to parse a formula string and extract a formula struct.",
            "",
            "Args:",
            "- `formula` (string): The formula string in R syntax.",
            "",
            "Returns:",
            "- A vector of FormulaTerm structs representing the parsed formula.",
        ]), "(formula)"),
        (_is_numeric, "\n".join([
            "Function to check if a term is numeric.",
            "",
            "Args:",
            "- `term`: A string representing the term to check.",
            "",
            "Returns:",
            "- `true` if the term is numeric, `false` otherwise.",
        ]), "(string)"),
        (Formula, "Struct to represent a parsed formula. This will be used to make the model \n"
                  "matrix later, and needs to contain all of the necessary info to do so.",
         "(original_str, dependent, independent)"),
        (Formula.get_column_names,
         "A method to get the names of all columns, either from the independent or all\n"
         "variables in a formula.", "($self, with_dependent=...)"),
        (FormulaTerm.get_columns_from_term, None, "($self)"),
    ],
)
def test_docstrings_and_signatures(obj, doc, signature):
    assert obj.__doc__ == doc
    assert obj.__text_signature__ == signature


def test_term_has_no_docstring():
    assert FormulaTerm.__doc__ is None
