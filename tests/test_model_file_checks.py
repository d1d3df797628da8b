"""tf.load against damaged and hand-edited model files: the JSON error of a damaged file as the
core reports it, and coefficients checked against the design the file's formula and encoding
describe."""

import json
import re

import numpy as np
import pytest

import tallyfit as tf
from _tallyfit import LinearRegressionCore, LogisticRegressionCore, PenalizedLogisticRegressionCore

RNG = np.random.default_rng(5)
N = 90
X = RNG.normal(size=N)
G = RNG.choice(["a", "b", "c"], N)
Y = 1.0 + 0.5 * X + 0.7 * (G == "b") + RNG.normal(size=N)
B = (RNG.random(N) < 1.0 / (1.0 + np.exp(-(0.2 + X - 0.6 * (G == "c"))))).astype(float)
DATA = {"x": X, "x2": 2.0 * X, "g": list(G), "y": Y, "b": B}
NEW = {"x": [0.5, -1.0, 2.0], "x2": [1.0, -2.0, 4.0], "g": ["a", "b", "c"]}
POSITION = re.compile(r" at line \d+ column \d+$")

FITS = {
    "linear": (lambda: tf.lm("y ~ x + g", DATA), LinearRegressionCore),
    "logistic": (lambda: tf.glm("b ~ x * g", DATA), LogisticRegressionCore),
    "penalized": (lambda: tf.glm("b ~ x + g", DATA, penalties={"x": 1.0, ("g", "c"): 2.0}),
                  PenalizedLogisticRegressionCore),
}


def saved(tmp_path, fit, edit=None):
    """The path of the fit's model file, edited as a document by `edit` when given."""
    path = tmp_path / "model.json"
    fit().save(path)
    if edit is not None:
        document = json.loads(path.read_text())
        edit(document)
        path.write_text(json.dumps(document, indent=2))
    return path


def levels(order):
    def edit(document):
        document["encoding_data"]["column_mappings"]["g"]["levels"] = order
    return edit


def coefficients(change):
    def edit(document):
        change(document["coefficients"])
    return edit


# --- damaged files ---------------------------------------------------------------------------

DAMAGES = {
    "truncated": lambda text: text[: len(text) // 2].encode(),
    "truncated in the last brace": lambda text: text.rstrip()[:-1].encode(),
    "trailing bytes": lambda text: (text + "\n}").encode(),
    "a second document": lambda text: (text + text).encode(),
    "not UTF-8": lambda text: text.replace('"x"', '"\xff"', 1).encode("latin-1"),
    "nested too deep": lambda text: ("[" * 100_000).encode(),
}


@pytest.mark.parametrize("damage", DAMAGES)
@pytest.mark.parametrize("kind", FITS)
def test_damaged_file_reports_the_core_error(tmp_path, kind, damage):
    fit, core_class = FITS[kind]
    path = saved(tmp_path, fit)
    path.write_bytes(DAMAGES[damage](path.read_text()))
    with pytest.raises(Exception) as from_core:
        core_class().load_from_file(str(path))
    with pytest.raises(Exception) as from_load:
        tf.load(path)
    assert type(from_load.value) is type(from_core.value)
    assert str(from_load.value) == str(from_core.value)
    assert "not a tallyfit model file" not in str(from_load.value)
    if isinstance(from_core.value, ValueError):
        assert POSITION.search(str(from_load.value))


@pytest.mark.parametrize("text", [
    "[]", "{}", '{"model_type": "Forest"}', '{"model_type": 7}', '"LinearRegression"', "null",
])
def test_well_formed_json_without_a_known_model_type(tmp_path, text):
    path = tmp_path / "other.json"
    path.write_text(text)
    with pytest.raises(ValueError, match="is not a tallyfit model file"):
        tf.load(path)


# --- edited files ----------------------------------------------------------------------------


@pytest.mark.parametrize("fit, edit, message", [
    # b becomes the reference: the file's g_b names no column and g_a has no coefficient
    (FITS["linear"][0], levels(["b", "a", "c"]),
     "the coefficient(s) 'g_b' name no design column; the design column(s) 'g_a' have no "
     "coefficient"),
    (FITS["logistic"][0], levels(["c", "b", "a"]), "'g_c', 'x:g_c' name no design column"),
    (FITS["linear"][0], coefficients(lambda c: c.update(z=1.0)),
     "the coefficient(s) 'z' name no design column"),
    (FITS["linear"][0], coefficients(lambda c: c.update(G_b=c.pop("g_b"))),
     "'G_b' name no design column; the design column(s) 'g_b' have no coefficient"),
    (FITS["penalized"][0], coefficients(lambda c: c.pop("(Intercept)")),
     "the design's '(Intercept)' has no coefficient"),
], ids=["new reference", "new reference with interactions", "extra", "renamed", "intercept"])
def test_coefficients_that_do_not_fit_the_design_are_refused(tmp_path, fit, edit, message):
    path = saved(tmp_path, fit, edit)
    with pytest.raises(ValueError) as raised:
        tf.load(path)
    text = str(raised.value)
    assert text.startswith(f"{str(path)!r}: the model file's coefficients do not match the "
                           "design its formula and encoding describe: ")
    assert message in text and "was the file edited?" in text


@pytest.mark.parametrize("fit, edit, message", [
    (FITS["linear"][0], levels(["a", "b", "a", "c"]), "level(s) 'a' of 'g' more than once"),
    (FITS["penalized"][0], lambda d: d["penalties"][0].update(variable_name="w"),
     "penalties do not match its design: penalty on 'w': no design column"),
    (FITS["penalized"][0], lambda d: d["penalties"][1].update(categorical_level="a"),
     "level 'a' is the reference level"),
    (FITS["penalized"][0], lambda d: d["penalties"][0].update(lambda_param=-1.0),
     "must be a finite number >= 0"),
], ids=["repeated level", "penalty on no column", "penalty on the reference", "negative"])
def test_other_edits_are_refused(tmp_path, fit, edit, message):
    path = saved(tmp_path, fit, edit)
    with pytest.raises(ValueError, match="was the file edited") as raised:
        tf.load(path)
    assert str(raised.value).startswith(repr(str(path)))
    assert message in str(raised.value)


@pytest.mark.parametrize("fit, edit", [
    (lambda: tf.lm("y ~ x + g", DATA), levels(["a", "c", "b"])),  # the same reference
    (lambda: tf.glm("b ~ g - 1 + x", DATA), levels(["c", "a", "b"])),  # a column per level
    (lambda: tf.lm("y ~ x + x2 + g", DATA), None),  # x2 aliased, left out of the file
    (lambda: tf.glm("b ~ x + x2 + g", DATA, penalties={("g", "b"): 1.0}), None),
], ids=["levels reordered", "full coding reordered", "aliased", "penalized"])
def test_files_that_fit_their_design_load_and_predict_as_the_model(tmp_path, fit, edit):
    model = fit()
    loaded = tf.load(saved(tmp_path, fit, edit))
    assert loaded.aliased == model.aliased
    np.testing.assert_allclose(loaded.predict(NEW), model.predict(NEW), rtol=1e-13)


@pytest.mark.parametrize("kind", ["lm", "glm"])
def test_interaction_names_of_earlier_versions_still_load(tmp_path, kind):
    # Earlier versions named the columns of `x:g` after the written order of `g:x`.
    data = {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0],
            "g": ["a", "b", "a", "b", "a", "b", "b", "a"],
            "y": [0.0, 1.0, 0.0, 1.0, 1.0, 0.0, 1.0, 1.0]}
    model = getattr(tf, kind)("y ~ x + g:x", data)
    assert "x:g_b" in model.column_names
    path = tmp_path / "old.json"
    model.save(path)
    document = json.loads(path.read_text())
    document["coefficients"] = {name.replace("x:g_b", "g_b:x"): value
                                for name, value in document["coefficients"].items()}
    path.write_text(json.dumps(document))
    loaded = tf.load(path)
    np.testing.assert_allclose(loaded.predict(data), model.predict(data), rtol=1e-14)
