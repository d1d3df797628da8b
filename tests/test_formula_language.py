"""R's formula language against R itself: term expansion (R's term labels), fits with
transforms and operators (names, coefficients, SEs, statistics, p-values) and predictions on
new rows beyond the fitting range, computed by R 4.2 (tests/r_reference/
make_formula_reference.R wrote tests/r_reference/formulas.json); parser errors; plan records."""

import functools
import json
import pathlib

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from tallyfit import design, frames
from tallyfit.formula import FormulaError, parse

HERE = pathlib.Path(__file__).parent / "r_reference"
REFERENCE = json.loads((HERE / "formulas.json").read_text(encoding="utf-8"))
FITS = {case["formula"]: case for case in REFERENCE["fits"]}
RTOL = 1e-6
ATOL = 1e-9


@functools.lru_cache(maxsize=None)
def data(name: str) -> pd.DataFrame:
    return pd.read_csv(HERE / "data" / f"{name}.csv", keep_default_na=False, na_values=[""])


@functools.lru_cache(maxsize=None)
def fitted(formula: str):
    case = FITS[formula]
    fitter = tf.lm if case["model"] == "lm" else tf.glm
    return fitter(formula, data(case["dataset"]))


def r_names(model) -> list[str]:
    """Our design columns under R's names: R writes a level right after the label, and the
    level's position where C() gets an explicit treatment base; basis columns get 1, 2, ..."""
    plan = model._plan
    names = []
    for column in plan.columns:
        if not column.factors:
            names.append(design.INTERCEPT)
            continue
        parts = []
        for variable, index, how in column.factors:
            coding = plan.codings[variable]
            if how == "indicator":
                explicit = "base =" in variable
                parts.append(variable + (str(index + 1) if explicit else coding.levels[index]))
            else:
                parts.append(variable + coding.suffixes[index] if how == "value"
                             else f"{variable}{index + 1}")
        names.append(":".join(parts))
    return names


@pytest.mark.parametrize("formula", list(FITS))
def test_fit_matches_r(formula):
    case = FITS[formula]
    model = fitted(formula)
    ours = dict(zip(r_names(model), model.column_names))
    assert [name for name in ours if name in case["names"]] == case["names"]
    assert set(ours) - set(case["names"]) == {
        name for name, column in ours.items() if column in model.aliased}
    for key, attribute in (("estimates", "coefficients"), ("std_errors", "std_errors"),
                           ("statistics", "statistics"), ("p_values", "p_values")):
        values = getattr(model, attribute)
        found = [values[ours[name]] for name in case["names"]]
        np.testing.assert_allclose(found, case[key], rtol=RTOL, atol=ATOL, err_msg=key)
    assert model.nobs == case["nobs"][0]


@pytest.mark.parametrize("saved", [False, True], ids=["fitted", "saved and loaded"])
@pytest.mark.parametrize("formula", list(FITS))
def test_predictions_beyond_the_range_match_r(formula, saved, tmp_path):
    case = FITS[formula]
    model = fitted(formula)
    if saved:
        model.save(tmp_path / "model.json")
        model = tf.load(tmp_path / "model.json")
    new = pd.DataFrame(case["new_data"])
    if case["model"] == "lm":
        predicted = model.predict(new)
    else:
        predicted = model.predict(new, type="link")
    expected = np.array([np.nan if v is None else v for v in case["predictions"]])
    np.testing.assert_allclose(predicted, expected, rtol=RTOL, atol=1e-8)


@pytest.mark.parametrize("case", REFERENCE["terms"], ids=lambda c: c["formula"])
def test_terms_match_r_term_labels(case):
    parsed = parse(case["formula"])
    assert parsed.term_labels == case["labels"]
    assert parsed.intercept == case["intercept"]
    assert parsed.response_label == case["response"]
    assert [design.deparse(o) for o in parsed.offsets] == case["offsets"]


@pytest.mark.parametrize("case", REFERENCE["dot"], ids=lambda c: c["formula"])
def test_dot_expands_to_the_other_columns_as_r(case):
    assert parse(case["formula"]).dot
    assert parse(case["formula"], case["columns"]).term_labels == case["labels"]


@pytest.mark.parametrize(
    "text, problem, caret",
    [
        ("y ~ foo(x)", "unknown function 'foo'", 4),
        ("y ~ log(x", "unbalanced parentheses", 7),
        ("y ~ (a + b", "unbalanced parentheses", 4),
        ("y ~ a + b)", "closes nothing", 9),
        ("y ~ poly(x, 2, TRUE, 4)", "takes at most 3 arguments", 4),
        ("y ~ poly()", "needs the argument 'x'", 4),
        ("y ~ ns(x, dof = 3)", "has no argument 'dof'", 4),
        ("y ~ a +", "has no right-hand side", 6),
        ("y ~ a b", "an operator is missing", 6),
        ("y ~ 2", "the number 2 is not a term", 4),
        ("y ~ a^b", "whole number", 6),
        ("y ~ a $ b", "not part of R's formulas", 6),
        ("y ~ a:1", "intercept", 6),
        ("y ~ x + C(f, contr.poly)", "contrasts of C()", 13),
        ("y x", "an operator is missing", 2),
        ("y + x", "needs a '~'", 5),
        ("y ~ `x", "unterminated", 4),
    ],
)
def test_parse_errors_show_where(text, problem, caret):
    with pytest.raises(FormulaError) as caught:
        parse(text)
    assert problem in str(caught.value)
    assert caught.value.position == caret
    assert str(caught.value).splitlines()[-1] == " " * (4 + caret) + "^"


DATA = {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "g": list("ababab"),
        "y": [1.0, 3.0, 2.0, 5.0, 4.0, 6.0]}


@pytest.mark.parametrize(
    "formula, message",
    [
        ("y ~ log(g)", "column 'g' holds strings or categories"),
        ("y ~ z", "column 'z' not found"),
        ("y ~ log(z + 1)", "column 'z' not found"),
        ("y ~ x + offset(g)", "column 'g' holds strings or categories"),
        ("cbind(y, x) ~ g", "(successes, failures)"),
        ("y ~ poly(x, 6)", "must be less than the number of unique points"),
    ],
)
def test_fit_errors(formula, message):
    with pytest.raises(ValueError, match=__import__("re").escape(message)):
        tf.lm(formula, DATA)


def test_stateful_transforms_learn_from_all_rows_with_their_argument():
    frame, _ = frames.to_frame(data("airquality"))
    plan = design.plan_from_frame("Ozone ~ poly(Temp, 2) + Solar.R", frame)
    temp = data("airquality")["Temp"]
    assert plan.states["poly(Temp, 2)"]["alpha"][0] == pytest.approx(temp.mean())
    assert plan.stateful_variables == ["poly(Temp, 2)"]
    assert plan.build(frame).matrix.shape[0] == 111  # rows without NA in Ozone, Solar.R


@pytest.mark.parametrize("formula", [f for f in FITS if FITS[f]["model"] == "lm"][:20]
                         + ["breaks ~ C(tension, contr.sum) * wool",
                            "Ozone ~ poly(Temp, 2) + Wind + Solar.R"])
def test_record_round_trip_gives_the_same_design_on_new_data(formula):
    model = fitted(formula)
    record = json.loads(json.dumps(model._plan.to_record()))
    again = design.plan_from_record(record)
    new, _ = frames.to_frame(pd.DataFrame(FITS[formula]["new_data"]))
    assert again.column_names == model._plan.column_names
    expected = model._plan.build(new, with_response=False).matrix
    np.testing.assert_array_equal(again.build(new, with_response=False).matrix, expected)


def test_plan_without_learned_state_is_refused():
    with pytest.raises(ValueError, match=r"state of poly\(x, 2\) .* is not known"):
        design.plan_design("y ~ poly(x, 2)", {"x": "numeric", "y": "numeric"}, {})
