"""The demo's helpers and the demo itself."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _tallyfit as tf

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from demo import agreeing_digits  # noqa: E402
from design_matrix import build_design_matrix, response_vector  # noqa: E402
from reference_data import (  # noqa: E402
    DATA_DIR, note_numbers, read_reference_csv)

COLUMNS = {"y": np.array([1.0, 2.0, 3.0]), "a": np.array([2.0, 3.0, 5.0]),
           "b": np.array([7.0, 11.0, 13.0])}


@pytest.mark.parametrize("formula, names, expected", [
    ("y ~ a + b", ["1", "a", "b"], [[1, 2, 7], [1, 3, 11], [1, 5, 13]]),
    ("y ~ a*b - 1", ["a", "b", "a:b"], [[2, 7, 14], [3, 11, 33],
                                        [5, 13, 65]]),
    ("y ~ a:b", ["1", "a:b"], [[1, 14], [1, 33], [1, 65]]),
    # Blanks around "*" stay in the interaction's factor names.
    ("y ~ a * b + 0", ["a", "b", "a : b"], [[2, 7, 14], [3, 11, 33],
                                            [5, 13, 65]]),
    ("y ~ 0", [], np.empty((3, 0))),
])
def test_design_matrix_columns(formula, names, expected):
    x_matrix, x_col_names, _ = build_design_matrix(
        tf._parse_formula(formula), COLUMNS)
    assert x_col_names == names
    np.testing.assert_array_equal(x_matrix, expected)
    assert x_matrix.dtype == np.float64


def test_encoder_maps_each_data_column_as_numeric():
    formula = tf._parse_formula("y ~ a*b")
    _, _, encoder = build_design_matrix(formula, COLUMNS)
    mappings = encoder.column_mappings
    assert sorted(mappings) == ["a", "b"]
    for info in mappings.values():
        assert info.levels is None
        assert info.encoding_type == tf.EncodingType.Numeric


def test_unknown_column_is_named():
    with pytest.raises(KeyError, match="'c'"):
        build_design_matrix(tf._parse_formula("y ~ a + c"), COLUMNS)


def test_response_is_the_dependent_column():
    formula = tf._parse_formula("b ~ a")
    np.testing.assert_array_equal(response_vector(formula, COLUMNS),
                                  COLUMNS["b"])


@pytest.mark.parametrize("file, rows, header, note, first_number", [
    ("longley.csv", 16, ["y", "x1", "x2", "x3", "x4", "x5", "x6"],
     "certified B2", -0.358191792925910e-01),
    ("challenger.csv", 23, ["temp", "damaged", "rings"],
     "published temp", -0.2321627),
])
def test_reference_files(file, rows, header, note, first_number):
    columns, notes = read_reference_csv(DATA_DIR / file)
    assert list(columns) == header
    assert all(len(values) == rows for values in columns.values())
    assert note_numbers(notes, note)[0] == first_number
    assert "source" in notes


@pytest.mark.parametrize("estimate, reference, digits", [
    (1.5, 1.5, 15.0),
    (1.000001, 1.0, 6.0),
    (-2.02022980381683, -2.02022980381683 * (1 + 1e-9), 9.0),
    (3.0, 1.0, 0.0),
    (1.0 + 1e-17, 1.0 + 2e-16, 15.0),
])
def test_agreeing_digits(estimate, reference, digits):
    assert agreeing_digits(estimate, reference) == pytest.approx(
        digits, abs=0.01)


def _sections(script):
    """The output lines of an example script, by the letter of its "== (x) ..." sections."""
    run = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True,
                         text=True, timeout=120, check=True, cwd=EXAMPLES)
    sections = {}
    for line in run.stdout.splitlines():
        if line.startswith("== ("):
            current = sections.setdefault(line[4], [])
        elif line.strip():
            current.append(line)
    return sections


def test_demo_reproduces_published_results():
    sections = _sections("demo.py")
    assert sorted(sections) == ["a", "b", "c", "d"]
    digits = [float(line.split()[-1]) for line in sections["a"]
              if line.split()[0] in ("1", "x1", "x2", "x3", "x4", "x5", "x6")]
    # Normal equations on Longley keep about 7 of the 15 digits.
    assert len(digits) == 7 and min(digits) >= 4
    assert any(line.startswith("P(distress)  31 F: 0.99961")
               for line in sections["b"])
    # The ridge path: the temp coefficient shrinks towards 0 as lambda grows.
    temp = [abs(float(line.split()[2])) for line in sections["c"][1:]]
    assert len(temp) == 5 and temp == sorted(temp, reverse=True)
    reloads = sections["d"][1:]
    assert len(reloads) == 3
    assert all(float(line.split()[2]) < 1e-9 for line in reloads)


def test_walkthrough_on_data_frames():
    sections = _sections("walkthrough.py")
    assert sorted(sections) == ["a", "b", "c", "d", "e", "f"]
    # (a) Longley: the summary, then the standard errors against NIST's certified values.
    assert "Coefficients:" in sections["a"] and "Call:" in sections["a"]
    digits = [float(line.split()[-1]) for line in sections["a"]
              if line.split()[0] in ("(Intercept)", "x1", "x2", "x3", "x4", "x5", "x6")
              and len(line.split()) == 4]
    assert len(digits) == 7 and min(digits) >= 6
    # (b) Challenger: R's layout and the published estimates to all seven decimals shown.
    assert "glm(formula = distress ~ temp, family = binomial)" in sections["b"]
    published = [line for line in sections["b"] if " ours " in line]
    assert len(published) == 2
    assert all(line.split()[2] == line.split()[4] for line in published)
    # (c) treatment coding in the declared level order: "cold" is the reference.
    assert [line.split()[0] for line in sections["c"] if line.startswith("band_")] == [
        "band_mild", "band_warm"]
    # (d) predictions, and the unseen level named in the error.
    assert sections["d"][0].startswith("P(distress)  31 F: 0.99961")
    assert any("ValueError" in line and "'freezing'" in line for line in sections["d"])
    # (e) the penalized fit shows its penalty and no p-values.
    assert any(line.split() == ["Estimate", "Penalty"] for line in sections["e"])
    assert not any("Pr(>|z|)" in line for line in sections["e"])
    # (f) the loaded model predicts the same and refuses inference.
    reload, refusal = sections["f"]
    assert float(reload.split()[-1]) == 0.0
    assert "loaded from a model file" in refusal
