"""Model files: save_to_file and load_from_file of the three model cores."""

import errno
import itertools
import json
import math
import os
import random
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np
import pytest

import child_process

from _tallyfit import (
    EncodedColumnInfo,
    Encoder,
    EncodingType,
    LinearRegressionCore,
    LogisticRegressionCore,
    PenalizedLogisticRegressionCore,
    PenaltySpecification,
    _parse_formula,
)

KINDS = [
    (LinearRegressionCore, "LinearRegression"),
    (LogisticRegressionCore, "LogisticRegression"),
    (PenalizedLogisticRegressionCore, "PenalizedLogisticRegression"),
]
CLASSES = [cls for cls, _ in KINDS]
DESERIALIZE = "Failed to deserialize model from JSON: "
POSITION = re.compile(r" at line \d+ column \d+$")
NOT_FITTED = "Model has not been fitted yet. Cannot save an empty model."
MAX_FILE_BYTES = 1 << 30  # the reader's size cap

TEN_LINES = (
    '{\n'
    '  "coefficients": {\n'
    '    "x": 1.5\n'
    '  },\n'
    '  "encoding_data": {\n'
    '    "column_mappings": {}\n'
    '  },\n'
    '  "formula": null,\n'
    '  "model_type": "LinearRegression"\n'
    '}'
)

# A small logistic data set that is not separable, so every fit converges.
X_LOGISTIC = np.array(
    [[1.0, x, red] for x, red in zip(range(10), [0, 1, 0, 1, 1, 0, 0, 1, 1, 0])]
)
Y_LOGISTIC = np.array([0, 0, 1, 0, 1, 0, 1, 1, 0, 1], dtype=float)
NAMES = ["(Intercept)", "x", "color_red"]


def fitted(cls):
    return with_coefficients(cls(), {"x": 1.5})


def with_coefficients(model, coefficients):
    model.coefficients = coefficients
    return model


def sample_encoder():
    encoder = Encoder()
    encoder.add_column_mapping("color", EncodedColumnInfo(["red", "blue"], EncodingType.Dummy))
    encoder.add_column_mapping("x", EncodedColumnInfo(None, EncodingType.Numeric))
    encoder.add_column_mapping("flag", EncodedColumnInfo([], EncodingType.Bool))
    encoder.add_column_mapping("shape", EncodedColumnInfo(["ä", "b"], EncodingType.OneHot))
    return encoder


def fully_fitted(cls):
    """A model with coefficients, encoding data, a formula and (penalized) penalties."""
    model = cls()
    if cls is not PenalizedLogisticRegressionCore:
        model.fit(X_LOGISTIC, Y_LOGISTIC, NAMES, sample_encoder())
    else:
        penalties = [
            PenaltySpecification("x", None, 0.5, 2.0),
            PenaltySpecification("color", "red", 1.0),
        ]
        model.fit(X_LOGISTIC, Y_LOGISTIC, NAMES, sample_encoder(), penalties=penalties)
    model.formula = _parse_formula("y ~ x*color - 1 + z:w")
    return model


def state(model):
    """Everything observable from Python, for comparing a model before and after."""
    formula = model.formula
    return (
        model.coefficients,
        {name: (info.levels, info.encoding_type.name)
         for name, info in model.encoding_data.column_mappings.items()},
        None if formula is None else (
            formula.original,
            [(t.name, t.dependent, t.subtracted, t.intercept, t.interaction)
             for t in [formula.dependent] + formula.independent],
        ),
    )


def save_text(model, path):
    model.save_to_file(str(path))
    return path.read_bytes().decode("utf-8")


def load_into(model, path, text):
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    model.load_from_file(str(path))


def minimal(kind="LinearRegression", **members):
    document = {"encoding_data": {"column_mappings": {}}, "model_type": kind}
    document.update(members)
    return json.dumps(document)


# --- the writer ------------------------------------------------------------------------------


def test_ten_line_example(tmp_path):
    path = tmp_path / "model.json"
    assert fitted(LinearRegressionCore).save_to_file(str(path)) is None
    assert path.read_bytes() == TEN_LINES.encode()


@pytest.mark.parametrize("value, text", [
    (1.0, "1.0"), (250.0, "250.0"), (1234500000.0, "1234500000.0"), (0.0, "0.0"),
    (-0.0, "-0.0"), (12.34, "12.34"), (3.25, "3.25"), (123.456, "123.456"), (-1.5, "-1.5"),
    (0.5, "0.5"), (0.001234, "0.001234"), (0.00001, "0.00001"), (0.0000125, "0.0000125"),
    (0.000001, "1e-6"), (5e-7, "5e-7"), (1.5e-7, "1.5e-7"), (1e-300, "1e-300"),
    (1e15, "1000000000000000.0"), (9999999999999998.0, "9999999999999998.0"),
    (1234567890123456.7, "1234567890123456.8"), (1e16, "1e16"), (1.5e16, "1.5e16"),
    (1.2345678901234567e20, "1.2345678901234567e20"),
    (1.7976931348623157e308, "1.7976931348623157e308"), (5e-324, "5e-324"),
])
def test_number_format(tmp_path, value, text):
    written = save_text(with_coefficients(LinearRegressionCore(), {"x": value}),
                        tmp_path / "m.json")
    assert written.splitlines()[2] == '    "x": ' + text


def significant_digits(text):
    mantissa = re.split("[eE]", text.lstrip("-"))[0].replace(".", "")
    return mantissa.strip("0")


def test_random_doubles_round_trip_with_shortest_digits(tmp_path):
    generator = random.Random(20240501)
    values = []
    while len(values) < 3000:
        value = struct.unpack("<d", generator.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(value):
            values.append(value)
    values += [generator.uniform(-1e3, 1e3) for _ in range(1000)]
    coefficients = {f"c{i}": value for i, value in enumerate(values)}
    path = tmp_path / "m.json"
    text = save_text(with_coefficients(LinearRegressionCore(), coefficients), path)
    written = dict(re.findall(r'^    "(c\d+)": (\S+?),?$', text, re.MULTILINE))
    for name, value in coefficients.items():
        # Python's repr is the shortest round-trip form as well: the same digits.
        assert significant_digits(written[name]) == significant_digits(repr(value)), name
    loaded = LinearRegressionCore()
    loaded.load_from_file(str(path))
    assert {k: struct.pack("<d", v) for k, v in loaded.coefficients.items()} == {
        k: struct.pack("<d", v) for k, v in coefficients.items()}


NAMES_TO_ESCAPE = [
    "plain", 'quote " and \\ backslash', "\b\t\n\f\r", "\x00\x01\x1f", "\x7f / slash",
    "näive", "日本語", "emoji 😀", "\u2028\u00a0",
]


def test_string_escapes_as_pythons_json(tmp_path):
    coefficients = {name: float(i) for i, name in enumerate(NAMES_TO_ESCAPE)}
    path = tmp_path / "m.json"
    text = save_text(with_coefficients(LinearRegressionCore(), coefficients), path)
    for name in NAMES_TO_ESCAPE:
        assert json.dumps(name, ensure_ascii=False) + ":" in text
    assert "\\u001f" in text and "\\u0000" in text and "\x7f" in text
    loaded = LinearRegressionCore()
    loaded.load_from_file(str(path))
    assert loaded.coefficients == coefficients


@pytest.mark.parametrize("cls", CLASSES)
def test_layout_matches_pythons_json_indent_2(tmp_path, cls):
    model = fully_fitted(cls)
    # Numbers that Python's json writes alike, so that only the layout is compared.
    model.coefficients = {"(Intercept)": -2.25, "x": 0.5, "color_red": 3.0}
    text = save_text(model, tmp_path / "m.json")
    assert text == json.dumps(json.loads(text), indent=2, ensure_ascii=False)
    keys = list(json.loads(text))
    assert keys == ["coefficients", "encoding_data", "formula", "model_type"] + (
        ["penalties"] if cls is PenalizedLogisticRegressionCore else [])


def test_unfitted_penalized_writes_null_penalties(tmp_path):
    model = with_coefficients(PenalizedLogisticRegressionCore(), {"a": 1.0})
    assert json.loads(save_text(model, tmp_path / "m.json"))["penalties"] is None


# --- round trips -----------------------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES)
def test_save_load_round_trip(tmp_path, cls):
    model = fully_fitted(cls)
    path = tmp_path / "m.json"
    first = save_text(model, path)
    loaded = cls()
    assert loaded.load_from_file(str(path)) is None
    assert state(loaded) == state(model)
    assert np.array_equal(loaded.predict(X_LOGISTIC, NAMES), model.predict(X_LOGISTIC, NAMES))
    second = save_text(loaded, tmp_path / "again.json")
    # Only the member order of the two hash maps may differ; penalties keep their order.
    assert json.loads(second) == json.loads(first)
    if cls is PenalizedLogisticRegressionCore:
        assert json.loads(first)["penalties"] == [
            {"variable_name": "x", "categorical_level": None, "lambda_param": 0.5,
             "target": 2.0},
            {"variable_name": "color", "categorical_level": "red", "lambda_param": 1.0,
             "target": 0.0},
        ]


def test_load_replaces_whole_state(tmp_path):
    model = fully_fitted(LinearRegressionCore)
    load_into(model, tmp_path / "m.json", minimal(coefficients={"a": 1}))
    assert state(model) == ({"a": 1.0}, {}, None)
    load_into(model, tmp_path / "m.json", minimal(coefficients=None, formula=None))
    assert state(model) == (None, {}, None)
    with pytest.raises(RuntimeError) as caught:
        model.save_to_file(str(tmp_path / "other.json"))
    assert str(caught.value) == NOT_FITTED
    assert not (tmp_path / "other.json").exists()


RECORDS_AS_ARRAYS = """{
  "model_type": "PenalizedLogisticRegression",
  "encoding_data": [{"c": [["r", "b"], "Dummy"], "n": [null, "Numeric"]}],
  "formula": ["y ~ a", ["y", true, false, false, false],
              [{"name": "1", "dependent": false, "subtracted": false, "intercept": true,
                "interaction": false}, ["a", false, false, false, false]]],
  "penalties": [["a", null, 1, 0], ["c", "r", 2.5, -1]],
  "coefficients": {"a": 2}
}"""


def test_records_given_as_arrays(tmp_path):
    model = PenalizedLogisticRegressionCore()
    load_into(model, tmp_path / "in.json", RECORDS_AS_ARRAYS)
    assert state(model) == (
        {"a": 2.0},
        {"c": (["r", "b"], "Dummy"), "n": (None, "Numeric")},
        ("y ~ a", [("y", True, False, False, False), ("1", False, False, True, False),
                   ("a", False, False, False, False)]),
    )
    penalties = json.loads(save_text(model, tmp_path / "out.json"))["penalties"]
    assert penalties == [
        {"variable_name": "a", "categorical_level": None, "lambda_param": 1.0, "target": 0.0},
        {"variable_name": "c", "categorical_level": "r", "lambda_param": 2.5, "target": -1.0},
    ]


def test_unknown_keys_repeats_in_maps_and_optional_members(tmp_path):
    text = """{"version": [1, {"deep": [null, true, "x\\u00e9"]}],
      "coefficients": {"a": 1, "b": 2.5e0, "a": -3},
      "encoding_data": {"extra": 0, "column_mappings": {
          "c": {"encoding_type": "Bool", "note": {}}, "c": {"levels": ["z"],
          "encoding_type": "OneHot"}}},
      "penalties": "ignored by a linear model",
      "model_type": "LinearRegression"}"""
    model = LinearRegressionCore()
    load_into(model, tmp_path / "m.json", text)
    assert state(model) == ({"a": -3.0, "b": 2.5}, {"c": (["z"], "OneHot")}, None)


def test_penalty_without_categorical_level_loads(tmp_path):
    model = PenalizedLogisticRegressionCore()
    penalty = {"variable_name": "v", "lambda_param": 1, "target": 0}
    load_into(model, tmp_path / "m.json",
              minimal("PenalizedLogisticRegression", coefficients={}, penalties=[penalty]))
    saved = json.loads(save_text(model, tmp_path / "out.json"))
    assert saved["penalties"] == [dict(penalty, categorical_level=None)]
    assert saved["coefficients"] == {}


# --- failures --------------------------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES)
def test_unfitted_save_creates_no_file(tmp_path, cls):
    path = tmp_path / "m.json"
    with pytest.raises(RuntimeError) as caught:
        cls().save_to_file(str(path))
    assert type(caught.value) is RuntimeError and str(caught.value) == NOT_FITTED
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("make_path, os_text", [
    (lambda d: d / "missing" / "m.json", "No such file or directory (os error 2)"),
    (lambda d: d / "file" / "m.json", "Not a directory (os error 20)"),
    (lambda d: d / "dir", "Is a directory (os error 21)"),
    (lambda d: "", "No such file or directory (os error 2)"),
])
def test_write_errors(tmp_path, make_path, os_text):
    (tmp_path / "file").write_text("keep")
    (tmp_path / "dir").mkdir()
    path = str(make_path(tmp_path))
    with pytest.raises(IOError) as caught:
        fitted(LinearRegressionCore).save_to_file(path)
    assert str(caught.value) == f"Failed to write to file '{path}': {os_text}"
    assert (tmp_path / "file").read_text() == "keep"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir", "file"]
    assert list((tmp_path / "dir").iterdir()) == []


@pytest.mark.parametrize("setup, os_text", [
    (lambda p: None, "No such file or directory (os error 2)"),
    (lambda p: p.mkdir(), "Is a directory (os error 21)"),
    (lambda p: p.write_bytes(b'{"model_type": "\xff"}'), "stream did not contain valid UTF-8"),
    (lambda p: p.write_bytes(b'{"model_type": "\xed\xa0\x80"}'),
     "stream did not contain valid UTF-8"),
    # Beyond the size cap: a device that never ends, a file larger than the cap (sparse).
    (lambda p: p.symlink_to("/dev/zero"), "File too large (os error 27)"),
    (lambda p: (p.touch(), os.truncate(p, MAX_FILE_BYTES + 1)), "File too large (os error 27)"),
])
def test_read_errors_leave_model_unchanged(tmp_path, setup, os_text):
    path = tmp_path / "m.json"
    setup(path)
    model = fully_fitted(LinearRegressionCore)
    before = state(model)
    with pytest.raises(IOError) as caught:
        model.load_from_file(str(path))
    assert str(caught.value) == f"Failed to read file '{path}': {os_text}"
    assert state(model) == before


@pytest.mark.parametrize("source, target", list(itertools.permutations(KINDS, 2)))
@pytest.mark.parametrize("target_fitted", [False, True])
def test_kind_mismatch(tmp_path, source, target, target_fitted):
    (source_cls, source_kind), (target_cls, target_kind) = source, target
    path = tmp_path / "m.json"
    fitted(source_cls).save_to_file(str(path))
    model = fully_fitted(target_cls) if target_fitted else target_cls()
    before = state(model)
    with pytest.raises(ValueError) as caught:
        model.load_from_file(str(path))
    assert type(caught.value) is ValueError
    assert str(caught.value) == (f"Model type mismatch: Cannot load a '{source_kind}' model "
                                 f"into a '{target_kind}' object.")
    assert state(model) == before


DOC = '{"encoding_data": {"column_mappings": {}}, "model_type": "LinearRegression"'
TERM = '{"name": "a", "dependent": false, "subtracted": false, "intercept": false}'

BAD_DOCUMENTS = [
    ("", "EOF while parsing a value at line 1 column 1"),
    (" \n ", "EOF while parsing a value at line 2 column 2"),
    (DOC, "EOF while parsing a value"),
    (DOC[:30], "EOF while parsing a value"),
    ('{"model_type": "LinearRe', "EOF while parsing a value"),
    (DOC + "}\n}", "trailing characters at line 2 column 1"),
    (DOC + "} x", "trailing characters"),
    ("[]", "invalid type: array"),
    (DOC + ', "coefficients": {"x": 1e400}}', "number out of range"),
    (DOC + ', "coefficients": {"x": -123' + "9" * 400 + "}}", "number out of range"),
    (DOC + ', "coefficients": {"x": null}}', "invalid type: null, expected f64"),
    (DOC + ', "coefficients": {"x": "1.5"}}', 'invalid type: string "1.5", expected f64'),
    (DOC + ', "coefficients": [1.5]}', "invalid type: array"),
    (DOC + ', "coefficients": {"x": 01}}', "invalid number"),
    (DOC + ', "coefficients": {"x": .5}}', "expected value"),
    (DOC + ', "coefficients": {"x": NaN}}', "expected value"),
    (DOC + ', "coefficients": {"x": 1,}}', "trailing comma"),
    (DOC + ', "model_type": "LinearRegression"}', "duplicate field `model_type`"),
    (DOC + ', "coefficients": null, "coefficients": {}}', "duplicate field `coefficients`"),
    ('{"model_type": "LinearRegression"}', "missing field `encoding_data`"),
    ('{"penalties": 1}', "missing field `encoding_data`"),
    ('{"encoding_data": {"column_mappings": {}}}', "missing field `model_type`"),
    ('{"model_type": 7, "encoding_data": {"column_mappings": {}}}',
     "invalid type: number `7`, expected a string"),
    ('{"model_type": "LinearRegression", "encoding_data": {}}',
     "missing field `column_mappings`"),
    ('{"model_type": "LinearRegression", "encoding_data": []}',
     "invalid length 0, expected struct Encoder with 1 element"),
    ('{"model_type": "LinearRegression", "encoding_data": [{}, {}]}',
     "invalid length 2, expected struct Encoder with 1 element"),
    ('{"model_type": "LinearRegression", "encoding_data": "x"}',
     'invalid type: string "x", expected struct Encoder'),
    ('{"model_type": "LinearRegression", "encoding_data": {"column_mappings": '
     '{"c": {"encoding_type": "dummy"}}}}',
     "unknown variant `dummy`, expected one of `Dummy`, `OneHot`, `Bool`, `Numeric`"),
    ('{"model_type": "LinearRegression", "encoding_data": {"column_mappings": '
     '{"c": {"levels": ["a"]}}}}', "missing field `encoding_type`"),
    ('{"model_type": "LinearRegression", "encoding_data": {"column_mappings": '
     '{"c": [null]}}}', "invalid length 1, expected struct EncodedColumnInfo with 2 elements"),
    ('{"model_type": "LinearRegression", "encoding_data": {"column_mappings": '
     '{"c": {"levels": "a", "encoding_type": "Bool"}}}}', 'invalid type: string "a"'),
    (DOC + ', "formula": {"original": "y", "dependent": ' + TERM + ', "independent": []}}',
     "missing field `interaction`"),
    (DOC + ', "formula": {"original": "y", "dependent": ["y", true, false, false], '
     '"independent": []}}', "invalid length 4, expected struct FormulaTerm with 5 elements"),
    (DOC + ', "formula": ["y", ["y", 1, false, false, false], []]}',
     "invalid type: number `1`, expected a boolean"),
    (DOC + ', "formula": {"original": "y", "dependent": ["y", true, false, false, false]}}',
     "missing field `independent`"),
    (DOC + ', "formula": ["y"]}', "invalid length 1, expected struct Formula with 3 elements"),
    (DOC + ', "x": "\\q"}', "invalid escape"),
    (DOC + ', "x": "\\ud800"}', "lone leading surrogate"),
    (DOC + ', "x": "\\ud800\\u0041"}', "lone leading surrogate"),
    (DOC + ', "x": "\\udc00"}', "lone trailing surrogate"),
    (DOC + ', "x": "\\u12g4"}', ""),
    (DOC + ', "x": "tab\there"}', "control character"),
    (DOC + ', "x": tru}', ""),
    (DOC + ' "x": 1}', "expected `,` or `}`"),
    (DOC + ', 1: 1}', "key must be a string"),
    (DOC + ', "x" 1}', "expected `:`"),
    (DOC + ', "x": ' + "[" * 127 + "]" * 127 + "}", None),
    (DOC + ', "x": ' + "[" * 128 + "]" * 128 + "}", "recursion limit exceeded"),
    (DOC + ', "x": ' + '{"a":' * 200, "recursion limit exceeded"),
]


@pytest.mark.parametrize("text, description", BAD_DOCUMENTS)
def test_bad_documents(tmp_path, text, description):
    model = fully_fitted(LinearRegressionCore)
    before = state(model)
    if description is None:  # the control case next to a refused one
        load_into(model, tmp_path / "m.json", text)
        assert model.coefficients is None
        return
    with pytest.raises(ValueError) as caught:
        load_into(model, tmp_path / "m.json", text)
    message = str(caught.value)
    assert type(caught.value) is ValueError
    assert message.startswith(DESERIALIZE + description.split(" at line")[0])
    assert POSITION.search(message)
    if " at line" in description:
        assert message == DESERIALIZE + description
    assert state(model) == before


PENALTY_ERRORS = [
    ({"variable_name": "v", "categorical_level": None, "lambda_param": 1},
     "missing field `target`"),
    ({"variable_name": "v", "lambda_param": None, "target": 0}, "invalid type: null"),
    (["v", None, 1], "invalid length 3, expected struct PenaltySpecification with 4 elements"),
    ({"variable_name": "v", "categorical_level": 3, "lambda_param": 1, "target": 0},
     "invalid type: number `3`"),
]


@pytest.mark.parametrize("penalty, description", PENALTY_ERRORS)
def test_bad_penalties(tmp_path, penalty, description):
    model = fully_fitted(PenalizedLogisticRegressionCore)
    before = state(model)
    text = minimal("PenalizedLogisticRegression", penalties=[penalty])
    with pytest.raises(ValueError) as caught:
        load_into(model, tmp_path / "m.json", text)
    assert str(caught.value).startswith(DESERIALIZE + description)
    assert state(model) == before
    # The other kinds do not read "penalties" at all.
    linear = LinearRegressionCore()
    load_into(linear, tmp_path / "m.json", minimal(penalties=[penalty]))
    assert state(linear) == (None, {}, None)


def test_large_nesting_does_not_crash(tmp_path):
    model = LinearRegressionCore()
    with pytest.raises(ValueError) as caught:
        load_into(model, tmp_path / "m.json", "[" * 1_000_000)
    assert str(caught.value).startswith(DESERIALIZE)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("path", [b"m.json", 1, None])
def test_filepath_must_be_str(cls, path):
    for method in (fitted(cls).save_to_file, cls().load_from_file):
        with pytest.raises(TypeError, match="^argument 'filepath': "):
            method(path)


# --- the file is never damaged ---------------------------------------------------------------


@pytest.mark.parametrize("value, description", [
    (math.nan, "coefficient 'bad' is NaN"),
    (math.inf, "coefficient 'bad' is infinite"),
    (-math.inf, "coefficient 'bad' is infinite"),
])
@pytest.mark.parametrize("existing", [False, True])
def test_non_finite_coefficient_refused(tmp_path, value, description, existing):
    path = tmp_path / "m.json"
    if existing:
        path.write_text("old")
    model = with_coefficients(LinearRegressionCore(), {"good": 1.0, "bad": value})
    with pytest.raises(IOError) as caught:
        model.save_to_file(str(path))
    assert str(caught.value) == "Failed to serialize model: " + description
    assert [p.name for p in tmp_path.iterdir()] == (["m.json"] if existing else [])
    if existing:
        assert path.read_text() == "old"


def test_failed_write_keeps_old_file(tmp_path):
    # A file-size limit makes the write fail part-way, even for root.
    path = tmp_path / "m.json"
    path.write_bytes(TEN_LINES.encode())
    script = textwrap.dedent(f"""
        import resource, signal
        from _tallyfit import LinearRegressionCore
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        model = LinearRegressionCore()
        model.coefficients = {{f"c{{i}}": i / 7 for i in range(2000)}}
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))
        try:
            model.save_to_file({str(path)!r})
        except OSError as error:
            print(error)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True)
    assert result.stdout.strip() == (f"Failed to write to file '{path}': "
                                     "File too large (os error 27)")
    assert path.read_bytes() == TEN_LINES.encode()
    assert [p.name for p in tmp_path.iterdir()] == ["m.json"]


@pytest.fixture
def shared_dir():
    """A directory an unprivileged user can reach (pytest's tmp_path is private to root)."""
    path = Path(tempfile.mkdtemp(prefix="tallyfit-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def run_unprivileged(action):
    status, output = child_process.run_forked(child_process.as_unprivileged(action))
    assert status == 0, output


def test_read_only_directory_writes_existing_file_in_place(shared_dir):
    # The atomic way needs a new file beside the target; a writable file in a directory that
    # takes none is written in place, as a plain write would. A new file still fails.
    (shared_dir / "m.json").write_text("old")
    (shared_dir / "m.json").chmod(0o666)
    shared_dir.chmod(0o555)

    def save_both():
        fitted(LinearRegressionCore).save_to_file(str(shared_dir / "m.json"))
        with pytest.raises(IOError) as caught:
            fitted(LinearRegressionCore).save_to_file(str(shared_dir / "new.json"))
        assert str(caught.value).endswith("Permission denied (os error 13)")

    run_unprivileged(save_both)
    assert (shared_dir / "m.json").read_text() == TEN_LINES
    assert sorted(p.name for p in shared_dir.iterdir()) == ["m.json"]


def test_read_only_file_refused(shared_dir):
    (shared_dir / "m.json").write_text("old")
    (shared_dir / "m.json").chmod(0o444)
    shared_dir.chmod(0o777)

    def save():
        with pytest.raises(IOError, match=r"Permission denied \(os error 13\)$"):
            fitted(LinearRegressionCore).save_to_file(str(shared_dir / "m.json"))

    run_unprivileged(save)
    assert (shared_dir / "m.json").read_text() == "old"
    assert sorted(p.name for p in shared_dir.iterdir()) == ["m.json"]


def test_symlink_chain_target_replaced(tmp_path):
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "model.json"
    target.write_text("old")
    os.symlink("real/model.json", tmp_path / "first")
    os.symlink(str(tmp_path / "first"), tmp_path / "second")
    fitted(LinearRegressionCore).save_to_file(str(tmp_path / "second"))
    assert (tmp_path / "second").is_symlink() and (tmp_path / "first").is_symlink()
    assert target.read_text() == TEN_LINES
    assert sorted(p.name for p in (tmp_path / "real").iterdir()) == ["model.json"]


def test_dangling_symlink_creates_its_target(tmp_path):
    os.symlink("new.json", tmp_path / "link")
    fitted(LinearRegressionCore).save_to_file(str(tmp_path / "link"))
    assert (tmp_path / "link").is_symlink()
    assert (tmp_path / "new.json").read_text() == TEN_LINES


def test_symlink_loop_refused(tmp_path):
    os.symlink("b", tmp_path / "a")
    os.symlink("a", tmp_path / "b")
    with pytest.raises(IOError, match=r"\(os error 40\)$"):
        fitted(LinearRegressionCore).save_to_file(str(tmp_path / "a"))


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
def test_existing_permission_bits_kept(tmp_path, mode):
    path = tmp_path / "m.json"
    path.write_text("old")
    path.chmod(mode)
    fitted(LinearRegressionCore).save_to_file(str(path))
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_text() == TEN_LINES


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_new_file_mode_follows_umask(tmp_path, umask):
    previous = os.umask(umask)
    try:
        fitted(LinearRegressionCore).save_to_file(str(tmp_path / "m.json"))
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "m.json").stat().st_mode) == 0o666 & ~umask


def test_relative_path_and_special_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fitted(LinearRegressionCore).save_to_file("m.json")
    assert (tmp_path / "m.json").read_text() == TEN_LINES
    fitted(LinearRegressionCore).save_to_file(os.devnull)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_error_message_keeps_text_after_a_nul_character(tmp_path):
    path = tmp_path / "nul.json"
    path.write_text('{"encoding_data": {"column_mappings": {"c": {"encoding_type": '
                    '"Dumm\\u0000y"}}}, "model_type": "LinearRegression"}')
    with pytest.raises(ValueError) as raised:
        LinearRegressionCore().load_from_file(str(path))
    assert "unknown variant `Dumm\x00y`, expected one of `Dummy`" in str(raised.value)
    assert re.search(r" at line 1 column \d+$", str(raised.value))


# --- streams, special files and refused renames ----------------------------------------------

LOADED = {"x": 1.5}


def load_from_fifo(path):
    os.mkfifo(path)
    writer = child_process.start_python(f"open({str(path)!r}, 'w').write({TEN_LINES!r})")
    model = LinearRegressionCore()
    model.load_from_file(str(path))
    assert writer.wait(timeout=60) == 0
    return model


def load_from_pipe(directory):
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, TEN_LINES.encode())
        os.close(write_end)
        model = LinearRegressionCore()
        model.load_from_file(f"{directory}/{read_end}")
        return model
    finally:
        os.close(read_end)


@pytest.mark.parametrize("load", [
    lambda tmp_path: load_from_fifo(tmp_path / "fifo"),
    lambda tmp_path: load_from_pipe("/dev/fd"),
    lambda tmp_path: load_from_pipe("/proc/self/fd"),
], ids=["fifo", "dev-fd-pipe", "proc-fd-pipe"])
def test_load_reads_streams_to_their_end(tmp_path, load):
    # A pipe or FIFO reports no size; the file is read to its end all the same.
    assert load(tmp_path).coefficients == LOADED


def test_load_reads_proc_files_to_their_end(tmp_path):
    # A file of /proc reports size 0 but has text: the reader sees it as it sees a copy.
    copy = tmp_path / "status"
    copy.write_bytes(Path("/proc/self/status").read_bytes())
    messages = []
    for path in ["/proc/self/status", copy]:
        with pytest.raises(ValueError) as caught:
            LinearRegressionCore().load_from_file(str(path))
        messages.append(str(caught.value))
    assert messages[0] == messages[1]
    assert "EOF while parsing" not in messages[0]


SAVE_BETWEEN_PRINTS = """
    from _tallyfit import LinearRegressionCore
    model = LinearRegressionCore()
    model.coefficients = {{"x": 1.5}}
    print("before", flush=True)
    model.save_to_file({path!r})
    print("after")
"""


@pytest.mark.parametrize("path", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
@pytest.mark.parametrize("redirected_to", ["file", "pipe"])
def test_save_to_standard_output_comes_between_prints(tmp_path, path, redirected_to):
    # Standard output is written through its own descriptor, never renamed over (a file the
    # shell redirected to would lose all other output) nor followed as text (a pipe's link
    # text is no path).
    code = SAVE_BETWEEN_PRINTS.format(path=path)
    if redirected_to == "file":
        with open(tmp_path / "out.txt", "w") as out:
            result = child_process.run_python(code, stdout=out)
        output = (tmp_path / "out.txt").read_text()
        assert [p.name for p in tmp_path.iterdir()] == ["out.txt"]
    else:
        result = child_process.run_python(code)
        output = result.stdout
    assert result.returncode == 0, result.stderr
    assert output == "before\n" + TEN_LINES + "after\n"


def test_save_to_a_fifo_writes_into_it(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = child_process.start_python(f"print(open({str(fifo)!r}).read(), end='')")
    fitted(LinearRegressionCore).save_to_file(str(fifo))
    stdout, stderr = reader.communicate(timeout=60)
    assert (reader.returncode, stdout) == (0, TEN_LINES), stderr
    assert stat.S_ISFIFO(fifo.lstat().st_mode)


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting needs root (as in CI)")
def test_bind_mounted_file_is_written_in_place(tmp_path):
    # Renaming over a mount point fails (EBUSY) where a plain write works. The mount lives in
    # a mount namespace of the child's own.
    source = tmp_path / "source.json"
    source.write_text("old")
    (tmp_path / "dir").mkdir()
    target = tmp_path / "dir" / "m.json"
    target.write_text("under the mount")
    result = child_process.run_python(f"""
        import subprocess
        from _tallyfit import LinearRegressionCore
        subprocess.run(["mount", "--bind", {str(source)!r}, {str(target)!r}], check=True)
        model = LinearRegressionCore()
        model.coefficients = {{"x": 1.5}}
        model.save_to_file({str(target)!r})
    """, prefix=["unshare", "--mount", "--propagation", "private"])
    assert result.returncode == 0, result.stderr
    assert source.read_text() == TEN_LINES
    assert target.read_text() == "under the mount"
    assert [p.name for p in (tmp_path / "dir").iterdir()] == ["m.json"]


RENAME_FAILS = r"""
#include <errno.h>
#include <stdlib.h>
int rename(const char *from, const char *to) {
    (void)from;
    (void)to;
    errno = atoi(getenv("RENAME_ERRNO"));
    return -1;
}
"""


@pytest.fixture(scope="module")
def rename_fails(tmp_path_factory):
    """A preload library whose rename fails with the error number in RENAME_ERRNO."""
    directory = tmp_path_factory.mktemp("rename-fails")
    (directory / "rename_fails.c").write_text(RENAME_FAILS)
    library = directory / "rename_fails.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library),
                    str(directory / "rename_fails.c")], check=True)
    return library


@pytest.mark.parametrize("error, outcome", [
    (errno.EXDEV, TEN_LINES),  # another file system: written in place
    (errno.EBUSY, TEN_LINES),  # a mount point: written in place
    (errno.EIO, "Input/output error (os error 5)"),  # any other failure: reported, file kept
], ids=["EXDEV", "EBUSY", "EIO"])
def test_refused_rename(tmp_path, rename_fails, error, outcome):
    path = tmp_path / "m.json"
    path.write_text("old")
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(rename_fails)]))
    result = child_process.run_python(f"""
        from _tallyfit import LinearRegressionCore
        model = LinearRegressionCore()
        model.coefficients = {{"x": 1.5}}
        try:
            model.save_to_file({str(path)!r})
        except OSError as error:
            print(error, end="")
    """, env={**os.environ, "LD_PRELOAD": preload, "RENAME_ERRNO": str(error)})
    assert result.returncode == 0, result.stderr
    if outcome == TEN_LINES:
        assert (result.stdout, path.read_text()) == ("", TEN_LINES)
    else:
        assert result.stdout == f"Failed to write to file '{path}': {outcome}"
        assert path.read_text() == "old"
    assert [p.name for p in tmp_path.iterdir()] == ["m.json"]
