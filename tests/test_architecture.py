"""The package's structure and its seams: the layer check, the model-file writer against
the native writer, the engine registry, and non-convergence raised by type."""

import json
import math
import random
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tallyfit
import tallyfit as tf
from tallyfit import engines, model_file
from tallyfit.tools import check_layers

DATA = {"x": [0.5, 1.0, 2.0, 3.5, 4.0, 5.5, 6.0, 7.5], "g": list("abcabcab"),
        "y": [1.0, 2.5, 2.0, 4.0, 3.5, 6.0, 5.0, 8.5], "b": [0, 0, 1, 0, 1, 1, 0, 1]}
CORES = [_tallyfit.LinearRegressionCore, _tallyfit.LogisticRegressionCore,
         _tallyfit.PenalizedLogisticRegressionCore]
FITS = {
    "lm": lambda: tf.lm("y ~ x + g", DATA),
    "glm": lambda: tf.glm("b ~ x", DATA),
    "penalized": lambda: tf.glm("b ~ x + g", DATA, penalties={"x": 1.0, ("g", "c"): 0.5}),
    "gaussian": lambda: tf.glm("y ~ x + g", DATA, family="gaussian"),
}


# --- the layer check ---------------------------------------------------------------------------

def test_the_package_passes_the_layer_check():
    run = subprocess.run([sys.executable, "-m", "tallyfit.tools.check_layers"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout


MODULES = {
    "__init__.py": "from . import low, high\n",
    "low.py": "import math\n",
    "high.py": "from . import low\n",
}


@pytest.mark.parametrize("edit, problem", [
    ({"low.py": "from . import high\n"}, "'low' (layer 0) imports 'high' (layer 1)"),
    ({"low.py": "def f():\n    from . import high\n"}, "imports 'high' inside a function"),
    ({"high.py": "from . import low\nFAMILY = 'Binomial'\n"}, "'Binomial' names a family"),
    ({"high.py": "from . import low\n# the logit link\n"}, "'logit' names a family"),
    ({"extra.py": "x = 1\n"}, "module 'extra' is in no layer"),
    ({"low.py": "from . import high\n"}, "import cycle: high -> low -> high"),
], ids=["upward", "in a function", "string", "comment", "no layer", "cycle"])
def test_the_layer_check_finds_each_kind_of_problem(tmp_path, monkeypatch, edit, problem):
    for name, text in {**MODULES, **edit}.items():
        (tmp_path / name).write_text(text)
    monkeypatch.setattr(check_layers, "ROOT", tmp_path)
    monkeypatch.setattr(check_layers, "LAYERS", [{"low"}, {"high"}, {"__init__"}])
    found = check_layers.problems()
    assert any(problem in line for line in found), found


def test_the_layer_check_passes_a_clean_package(tmp_path, monkeypatch):
    for name, text in MODULES.items():
        (tmp_path / name).write_text(text)
    monkeypatch.setattr(check_layers, "ROOT", tmp_path)
    monkeypatch.setattr(check_layers, "LAYERS", [{"low"}, {"high"}, {"__init__"}])
    assert check_layers.problems() == []


# --- the model file: our writer against the native writer ---------------------------------------

def native_text(core, path):
    core.save_to_file(str(path))
    return path.read_text(encoding="utf-8")


def one_column_state(kind, value):
    formula = _tallyfit._parse_formula("y ~ x - 1")
    penalties = [("x", None, 0.5, 0.0)] if "Penalized" in kind else None
    return model_file.ModelState(kind, {"x": value}, {"x": (None, "Numeric")}, formula,
                                 penalties)


@pytest.mark.parametrize("kind", model_file.CORE_KINDS)
@pytest.mark.parametrize("value", [1.0, 0.00001, 1e-6, 1e16, 1.5e-7, -0.0, 123.456, 5e-324,
                                   1.2345678901234567e20, 9999999999999998.0])
def test_our_writer_writes_what_the_native_writer_writes(tmp_path, kind, value):
    state = one_column_state(kind, value)
    core = model_file.native_core(state)
    expected = native_text(core, tmp_path / "native.json")
    document = model_file.document(state)
    del document["tallyfit"]
    assert model_file.dumps(document) == expected  # layout, numbers and member order


def test_random_doubles_are_written_as_the_native_writer_writes_them(tmp_path):
    generator = random.Random(7)
    values = []
    while len(values) < 2000:
        value = struct.unpack("<d", generator.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(value):
            values.append(value)
    core = _tallyfit.LinearRegressionCore()
    core.coefficients = {f"c{i}": v for i, v in enumerate(values)}
    lines = native_text(core, tmp_path / "m.json").splitlines()
    written = dict(line.strip().rstrip(",").split(": ") for line in lines if '"c' in line)
    for i, value in enumerate(values):
        assert model_file.format_number(value) == written[f'"c{i}"'], value


@pytest.mark.parametrize("fit", FITS)
def test_saved_files_load_in_the_native_cores_and_back(tmp_path, fit):
    model = FITS[fit]()
    path = tmp_path / "m.json"
    model.save(path)
    document = json.loads(path.read_text(encoding="utf-8"))
    assert document["tallyfit"]["family"] == model.family.name
    core = model.core
    assert type(core) in CORES
    loaded_core = type(core)()
    loaded_core.load_from_file(str(path))  # the native reader ignores "tallyfit"
    assert loaded_core.coefficients == {k: v for k, v in model.coefficients.items()
                                        if not math.isnan(v)}
    # Our writer's text is the native writer's for the same content (parsed: the native
    # writer orders its hash maps its own way).
    del document["tallyfit"]
    assert json.loads(native_text(loaded_core, tmp_path / "again.json")) == document
    loaded = tf.load(path)
    assert (type(loaded), loaded.family.name, loaded.kind) == (
        type(model), model.family.name, model.kind)
    assert loaded.fit_statistics is None
    np.testing.assert_array_equal(loaded.predict(DATA), model.predict(DATA))


def test_files_without_our_member_still_load(tmp_path):
    model = FITS["glm"]()
    path = tmp_path / "old.json"
    model.core.save_to_file(str(path))  # as earlier versions wrote them
    assert "tallyfit" not in json.loads(path.read_text())
    loaded = tf.load(path)
    assert loaded.family.name == model.family.name and loaded.kind == "glm"
    np.testing.assert_array_equal(loaded.predict(DATA), model.predict(DATA))


def test_model_text_round_trips_without_files():
    model = FITS["penalized"]()
    state = model_file.loads(model.to_text())
    assert state.coefficients == {k: v for k, v in model.coefficients.items()}
    assert state.penalties == [("x", None, 1.0, 0.0), ("g", "c", 0.5, 0.0)]


# --- engines and errors ---------------------------------------------------------------------------

def test_engine_registry_picks_the_first_engine_that_takes_the_data(monkeypatch):
    class Marked(dict):
        pass

    assert engines.engine_for(DATA).NAME == "memory"
    registry = dict(engines._REGISTRY)
    monkeypatch.setattr(engines, "_REGISTRY", {})
    engines.register("marked", lambda data: isinstance(data, Marked),
                     "tallyfit.engines.memory")
    for name, entry in registry.items():
        engines.register(name, *entry)
    assert list(engines._REGISTRY)[0] == "marked"
    assert engines.engine_for(Marked(DATA)).NAME == "memory"  # the module registered


def test_penalized_non_convergence_is_a_convergence_error():
    with pytest.raises(tf.ConvergenceError, match="within max_iterations=1"):
        tf.glm("b ~ x", DATA, penalties={"x": 0.1}, max_iterations=1)


def test_no_temporary_files_are_written(tmp_path):
    code = textwrap.dedent("""
        import os, sys, tempfile, tallyfit as tf
        def refuse(*args, **kwargs):
            raise AssertionError("temporary file")
        tempfile.mkstemp = tempfile.mkdtemp = tempfile.TemporaryDirectory = refuse
        data = {"x": [1.0, 2.0, 3.0, 4.0, 5.0], "b": [0, 1, 0, 1, 1]}
        model = tf.glm("b ~ x", data)
        model.core
        tf.models.core_from_coefficients("LinearRegression", ["x"], [1.0],
                                         model._plan.encoder(), model._plan.formula)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
