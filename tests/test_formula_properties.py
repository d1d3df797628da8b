"""Property tests: any formula text either parses into a well-formed Formula or fails cleanly."""

from hypothesis import given, settings
from hypothesis import strategies as st

from _tallyfit import _parse_formula

# The Unicode White_Space characters the parser trims.
WHITESPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
              + "\u2028\u2029\u202f\u205f\u3000")

FIXED_MESSAGES = {
    "Formula cannot be empty",
    "Formula must contain '~' to separate dependent and independent variables",
    "Formula cannot contain multiple '~' characters",
    "Dependent variable cannot be empty",
    "Independent variables cannot be empty",
}
INVALID_TERM_PREFIX = "Invalid term found in formula: '"

tokens = st.one_of(
    st.sampled_from(["a", "b", "x1", "my var", "größe", "(a", "b)", "log(y)", "1e", "X"]),
    st.sampled_from(["0", "1", "2", "00", "1.5", "1e3", "inf", "-1", ".5"]),
    st.sampled_from(["+", "-", "*", ":", "~", "**", "::"]),
    st.sampled_from([" ", "  ", "\t", "\n", "\u00a0", "\u3000", "\u2003"]),
)
formula_texts = st.one_of(
    st.lists(tokens, max_size=14).map("".join),
    st.text(alphabet=st.sampled_from("ab1 0~+-*:\u00a0\u3000.e"), max_size=20),
    st.text(max_size=20),
)


def check_error(text, message):
    if message.startswith(INVALID_TERM_PREFIX):
        assert message.endswith("'")
        quoted = message[len(INVALID_TERM_PREFIX):-1]
        assert quoted and quoted == quoted.strip(WHITESPACE)
        assert quoted in text and ("*" in quoted or ":" in quoted)
    else:
        assert message in FIXED_MESSAGES
    # The whole-text checks come first, in a fixed order.
    if not text.strip(WHITESPACE):
        assert message == "Formula cannot be empty"
    elif "~" not in text:
        assert message.startswith("Formula must contain '~'")
    elif text.count("~") > 1:
        assert message == "Formula cannot contain multiple '~' characters"
    elif not text.split("~")[0].strip(WHITESPACE):
        assert message == "Dependent variable cannot be empty"
    elif not text.split("~")[1].strip(WHITESPACE):
        assert message == "Independent variables cannot be empty"


def check_formula(text, formula):
    assert formula.original == text
    left, right = text.split("~")
    dependent = formula.dependent
    assert dependent.name == left.strip(WHITESPACE) != ""
    assert (dependent.dependent, dependent.subtracted, dependent.intercept,
            dependent.interaction) == (True, False, False, False)

    terms = formula.independent
    intercepts = [i for i, term in enumerate(terms) if term.intercept]
    assert intercepts in ([], [0])
    if intercepts:
        first = terms[0]
        assert first.name == "1" and not first.interaction
    for term in terms:
        assert not term.subtracted and not term.dependent
        assert term.name and term.name == term.name.strip(WHITESPACE)
        assert not set("+-~*") & set(term.name)
        if term.interaction:
            assert ":" in term.name and not term.intercept
        elif not term.intercept:
            assert term.name in right

    # Names are unique, except that a product's numeric factor "1" may sit beside the intercept.
    named = [term.name for term in terms if not term.intercept]
    assert len(named) == len(set(named))

    columns = formula.get_column_names()
    assert columns == sorted(set(columns), key=lambda name: name.encode())
    assert dependent.name in columns
    assert set(formula.get_column_names(False)) <= set(columns)


@settings(max_examples=400, deadline=None)
@given(formula_texts)
def test_parser_never_crashes_and_keeps_invariants(text):
    try:
        formula = _parse_formula(text)
    except ValueError as error:
        assert type(error) is ValueError
        check_error(text, str(error))
    else:
        check_formula(text, formula)
