"""Design columns (set, names, order) and fits against R's model.matrix, lm and glm, read from
tests/fixtures/design_r_rules.json (written by tests/fixtures/make_design_fixtures.R, which
also stores every data set), plus the design rules R has no counterpart for."""

import json
import math
import pathlib
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import tallyfit as tf
from tallyfit import design, frames

FIXTURE = json.loads(
    (pathlib.Path(__file__).parent / "fixtures" / "design_r_rules.json").read_text("utf-8")
)
CASES = {case["formula"]: case for case in FIXTURE["cases"]}


def r_table(name, library="pandas"):
    """A fixture table; an R factor becomes a categorical declaring all of R's levels."""
    columns = {}
    for column, values in FIXTURE["tables"][name].items():
        if isinstance(values, dict):
            columns[column] = pd.Categorical(values["values"], categories=values["levels"])
        else:
            columns[column] = np.array([math.nan if v is None else v for v in values], float)
    frame = pd.DataFrame(columns)
    return frame if library == "pandas" else pa.Table.from_pandas(frame, preserve_index=False)


def our_name(r_name, table):
    """R's column name in tallyfit's spelling: the factor g's level "b" is "g_b"."""
    factors = {
        column: values["levels"]
        for column, values in FIXTURE["tables"][table].items()
        if isinstance(values, dict)
    }
    if r_name == "(Intercept)":
        return r_name
    parts = []
    for part in r_name.split(":"):
        if part not in FIXTURE["tables"][table]:
            matches = [
                f"{column}_{level}"
                for column, levels in factors.items()
                for level in levels
                if part == column + level
            ]
            assert len(matches) == 1, (r_name, matches)
            part = matches[0]
        parts.append(part)
    return ":".join(parts)


def fit_case(case, library="pandas"):
    fitter = tf.lm if case["kind"] == "lm" else tf.glm
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = fitter(case["formula"], r_table(case["table"], library))
    return model, [str(warning.message) for warning in caught]


@pytest.mark.parametrize("library", ["pandas", "pyarrow"])
@pytest.mark.parametrize("formula", CASES)
def test_columns_and_coefficients_match_r(formula, library):
    case = CASES[formula]
    model, caught = fit_case(case, library)
    expected = [our_name(name, case["table"]) for name in case["columns"]]
    assert list(model.coefficients) == expected
    r_values = np.array([math.nan if v is None else v for v in case["coefficients"]])
    ours = np.array(list(model.coefficients.values()))
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(r_values))
    np.testing.assert_allclose(ours, r_values, rtol=1e-6, atol=1e-9)
    # R warns that the response was dropped from the right-hand side; so do we, once.
    dropped = [message for message in caught if "right-hand side" in message]
    assert len(dropped) == any("response appeared" in w for w in case["warnings"])


@pytest.mark.parametrize("formula", [f for f in CASES if CASES[f]["table"] == "rules"])
def test_term_order_matches_r_term_labels(formula):
    terms, dropped = design.model_terms(design.parse_formula(formula))
    expected = [label for label in CASES[formula]["labels"] if not (dropped and label == "y")]
    assert [":".join(term) for term in terms] == expected
    assert dropped == (formula == "y ~ y + x")


def test_binomial_response_with_an_unused_declared_level_is_two_level():
    model, _ = fit_case(CASES["Species ~ Petal.Width"])
    assert model._plan.response_levels == ["versicolor", "virginica"]


@pytest.mark.parametrize(
    "formula, table, variable",
    [
        ("Sepal.Length ~ Species", "iris2", "Species"),
        ("Price ~ Cylinders + Rear.seat.room", "cars", "Cylinders"),
    ],
    ids=["no-row", "only-in-rows-dropped-for-missing"],
)
def test_unused_level_in_new_data_is_refused(formula, table, variable):
    frame = r_table(table)
    model = tf.lm(formula, frame)
    declared = FIXTURE["tables"][table][variable]["levels"]
    fitted = model._plan.levels[variable]
    assert len(fitted) == len(declared) - 1
    (unused,) = set(declared) - set(fitted)
    # A fitted row whose level is changed to the dropped one: refused, not coded as the
    # reference level.
    new = frame.dropna().head(3).copy()
    new.loc[new.index[1], variable] = unused
    with pytest.raises(ValueError, match=f"level '{unused}', which the model was not fitted"):
        model.predict(new)
    # A declared category that no row of the new data holds is fine.
    rows = new.drop(index=new.index[1])
    np.testing.assert_allclose(model.predict(rows), model.predict(rows.astype({variable: str})))


VALUES = {
    "float": [1.0, 2.5, 2.5, 1.0, 4.0, 1.0, 2.5, 4.0],
    "bool": [True, False, False, True, True, False, True, False],
    "timestamp": list(pd.to_datetime(["2020-01-01", "2021-06-30", "2022-01-01", "2020-01-01",
                                      "2021-06-30", "2022-01-01", "2020-01-01", "2022-01-01"])),
    "interval": list(pd.cut([0.6, 0.2, 0.7, 0.3, 0.1, 0.9, 0.4, 1.4], [0, 0.5, 1.0, 1.5])),
}
Y = [1.0, 2.0, 3.5, 4.0, 5.0, 7.0, 6.5, 8.0]


def categorical_frame(kind, library):
    frame = pd.DataFrame({"s": pd.Categorical(VALUES[kind]), "y": Y})
    if library == "pyarrow":
        return pa.Table.from_pandas(frame, preserve_index=False)
    if library == "pyarrow-chunked":
        table = pa.Table.from_pandas(frame, preserve_index=False)
        return pa.concat_tables([table.slice(0, 3), table.slice(3)])
    return frame


@pytest.mark.parametrize("library", ["pandas", "pyarrow", "pyarrow-chunked"])
@pytest.mark.parametrize("kind", VALUES)
def test_categories_of_any_value_type_are_levels_named_by_their_text(kind, library):
    # Polars holds categories of text only; its Enum and Categorical are tested elsewhere.
    model = tf.lm("y ~ s", categorical_frame(kind, library))
    texts = [str(value) for value in pd.Categorical(VALUES[kind]).categories]
    assert list(model.coefficients) == ["(Intercept)"] + [f"s_{text}" for text in texts[1:]]
    # The same fit as from the text of the values, the level order kept.
    as_text = pd.DataFrame({"s": pd.Categorical([str(v) for v in VALUES[kind]],
                                                categories=texts), "y": Y})
    reference = tf.lm("y ~ s", as_text)
    np.testing.assert_allclose(list(model.coefficients.values()),
                               list(reference.coefficients.values()))
    np.testing.assert_allclose(model.predict(categorical_frame(kind, library)),
                               reference.predict(as_text))


def test_polars_from_arrow_float_dictionary_is_numeric():
    pl = pytest.importorskip("polars")
    frame = pl.from_arrow(pa.table({"s": pa.array(VALUES["float"]).dictionary_encode(), "y": Y}))
    assert frames.column_kind(frames.to_frame(frame)[0], "s") == "numeric"


def test_response_on_the_right_hand_side_is_dropped_with_a_warning():
    data = {"x": [1.0, 2.0, 3.0, 5.0], "y": [1.0, 3.0, 2.0, 5.0]}
    with pytest.warns(UserWarning, match=r"response 'y' appeared on the right-hand side"):
        model = tf.lm("y ~ y + x", data)
    assert list(model.coefficients) == ["(Intercept)", "x"]
    assert model.predict({"x": [4.0]}).shape == (1,)  # no y needed to predict
