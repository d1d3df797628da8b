"""Every operation, successful or failing, repeated many times must leave nothing behind: the
reference counts of its arguments, of None/True/False and of the module's classes come back to
where they were, the interpreter holds no more memory blocks than before, and the resident
memory of the process stays flat.

The arguments are large (names of 16 KiB, levels, a 400 x 6 matrix) so that a lost copy of any
of them shows up in the resident memory after CALLS repetitions."""

import gc
import os
import pathlib
import sys
import tempfile

import numpy as np
import pytest

from memory_tools import under_memory_tool

from _tallyfit import (
    EncodedColumnInfo,
    Encoder,
    EncodingType,
    Formula,
    FormulaTerm,
    LinearRegressionCore,
    LogisticRegressionCore,
    PenalizedLogisticRegressionCore,
    PenaltySpecification,
    _is_numeric,
    _parse_formula,
)

CALLS = 50
# Of this many windows the quietest counts: under AddressSanitizer on a loaded machine one
# operation's allocated blocks once grew by 26 in each of three windows (a leak grows by CALLS
# or more in every one); more windows make a quiet one likely.
WINDOWS = 5
WARM_UP = 10
# One lost reference or Python object per call adds CALLS to a count; free lists of the
# interpreter and NumPy move the count of allocated blocks by a dozen or two.
COUNT_TOLERANCE = CALLS // 2
# Far below CALLS times the smallest payload (16 KiB).
RSS_TOLERANCE = 256 << 10

LONG = "v" * (16 << 10)
N_ROWS, N_COLS = 400, 6
RNG = np.random.default_rng(7)
X = np.column_stack([np.ones(N_ROWS), RNG.normal(size=(N_ROWS, N_COLS - 1))])
Y_LINEAR = X @ np.arange(1.0, N_COLS + 1) + RNG.normal(size=N_ROWS)
Y_BINARY = (RNG.random(N_ROWS) < 1 / (1 + np.exp(-X @ np.linspace(-0.5, 0.5, N_COLS)))) * 1.0
NAMES = [f"{LONG}{j}" for j in range(N_COLS)]
X_SINGULAR = X.copy()
X_SINGULAR[:, 2] = 0.0
LEVELS = [f"{LONG}{j}" for j in range(4)]
ENCODER = Encoder()
for _j in range(8):
    ENCODER.add_column_mapping(f"{LONG}{_j}", EncodedColumnInfo(LEVELS, EncodingType.Dummy))
COEFFICIENTS = {name: float(j) for j, name in enumerate(NAMES)}
FORMULA_TEXT = f"y ~ {LONG}a * {LONG}b + c - 1"
FORMULA = _parse_formula(FORMULA_TEXT)
BAD_INTERACTION = _parse_formula(f"y ~ a*{LONG}b:c").independent[-1]
PENALTIES = [PenaltySpecification(NAMES[1], None, 1.0), PenaltySpecification(NAMES[2], None, 2.0)]
AMBIGUOUS_PENALTIES = [PenaltySpecification(NAMES[1], None, 1.0)] * 2

MODEL_CLASSES = [LinearRegressionCore, LogisticRegressionCore, PenalizedLogisticRegressionCore]
ALL_CLASSES = [Formula, FormulaTerm, Encoder, EncodedColumnInfo, EncodingType, *MODEL_CLASSES,
               PenaltySpecification]
ENCODING_TYPES = [EncodingType.Dummy, EncodingType.OneHot, EncodingType.Bool, EncodingType.Numeric]
PAYLOADS = [X, Y_LINEAR, Y_BINARY, NAMES, LONG, ENCODER, COEFFICIENTS, FORMULA, PENALTIES]
TRACKED = [None, True, False, *ALL_CLASSES, *ENCODING_TYPES, *PAYLOADS]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raises(exception_class, call, *args, **kwargs):
    """Runs a call that must fail with exactly this class of exception."""
    try:
        call(*args, **kwargs)
    except BaseException as error:  # the internal error is no Exception
        assert type(error) is exception_class or (
            exception_class is BaseException and not isinstance(error, Exception)
        ), repr(error)
    else:
        raise AssertionError(f"{call} did not raise {exception_class.__name__}")


def fit_args(model_class):
    y = Y_LINEAR if model_class is LinearRegressionCore else Y_BINARY
    return X, y, NAMES, ENCODER


def fit_options(model_class):
    return {"penalties": PENALTIES} if model_class is PenalizedLogisticRegressionCore else {}


class ReadsModel:
    """A name list or convergence delta that reads the model being fitted while fit holds it
    exclusively, so the conversion fails with a borrow conflict."""

    def __init__(self, model):
        self.model = model

    def __len__(self):
        return N_COLS

    def __getitem__(self, index):
        self.model.coefficients
        return NAMES[index]

    def __float__(self):
        self.model.coefficients
        return 1e-8


def model_operations(model_class, files):
    kind = model_class.__name__
    fitted = model_class()
    fitted.fit(*fit_args(model_class), **fit_options(model_class))
    fitted.formula = FORMULA
    good_file = str(files / f"{kind}.json")
    fitted.save_to_file(good_file)
    model = model_class()
    unfitted = model_class()
    x, y, names, encoder = fit_args(model_class)
    options = fit_options(model_class)

    def fit():
        model.fit(x, y, names, encoder, **options)

    def accessors():
        fitted.coefficients, fitted.formula, fitted.encoding_data.column_mappings
        model.coefficients = COEFFICIENTS
        model.formula = FORMULA

    def accessor_errors():
        raises(TypeError, setattr, model, "coefficients", None)
        raises(TypeError, setattr, model, "coefficients", {1: 1.0})
        raises(TypeError, setattr, model, "coefficients", {LONG: "x"})
        raises(TypeError, setattr, model, "formula", LONG)
        raises(AttributeError, delattr, model, "coefficients")
        raises(AttributeError, setattr, model, "encoding_data", ENCODER)

    def fit_argument_errors():
        raises(TypeError, model.fit, X.tolist(), y, names, encoder)
        raises(TypeError, model.fit, X.astype(np.float32), y, names, encoder)
        raises(TypeError, model.fit, x, y[:, None], names, encoder)
        raises(TypeError, model.fit, x, y, LONG, encoder)
        raises(TypeError, model.fit, x, y, [*names[:-1], 1], encoder)
        raises(TypeError, model.fit, x, y, names, None)
        raises(TypeError, model.fit, x, y, names, encoder, LONG)

    def fit_failures():
        raises(ValueError, model.fit, X_SINGULAR, y, names, encoder)
        raises(BaseException, model.fit, x, y[:-1], names, encoder)

    def predict():
        fitted.predict(x, names)
        unfitted.predict(x, names)

    def predict_errors():
        raises(BaseException, fitted.predict, x, names[:-1])
        raises(TypeError, fitted.predict, x, LONG)
        raises(TypeError, fitted.predict, y, names)

    def save_and_load():
        fitted.save_to_file(good_file)
        model.load_from_file(good_file)

    def file_errors():
        raises(RuntimeError, unfitted.save_to_file, good_file)
        raises(OSError, fitted.save_to_file, str(files / LONG[:200] / "missing" / "m.json"))
        raises(TypeError, fitted.save_to_file, good_file.encode())
        raises(OSError, model.load_from_file, str(files / "missing.json"))
        raises(OSError, model.load_from_file, str(files / "latin1.json"))
        raises(ValueError, model.load_from_file, str(files / "truncated.json"))
        raises(ValueError, model.load_from_file, str(files / "bad-type.json"))
        other = "LogisticRegression" if kind == "LinearRegressionCore" else "LinearRegression"
        raises(ValueError, model.load_from_file, str(files / f"{other}Core.json"))

    operations = {
        "fit": fit,
        "accessors": accessors,
        "accessor errors": accessor_errors,
        "fit argument errors": fit_argument_errors,
        "fit failures": fit_failures,
        "predict": predict,
        "predict errors": predict_errors,
        "save and load": save_and_load,
        "file errors": file_errors,
        "borrow conflict": lambda: raises(
            RuntimeError, model.fit, x, y, ReadsModel(model), encoder
        ),
    }
    if model_class is not LinearRegressionCore:
        operations["iteration failures"] = lambda: (
            raises(ValueError, model.fit, x, y, names, encoder, max_iterations=1, **options),
            raises(OverflowError, model.fit, x, y, names, encoder, max_iterations=1 << 200),
            raises(RuntimeError, model.fit, x, y, names, encoder,
                   convergence_delta=ReadsModel(model)),
        )
    if model_class is PenalizedLogisticRegressionCore:
        operations["penalty failures"] = lambda: (
            raises(ValueError, model.fit, x, y, names, encoder, penalties=AMBIGUOUS_PENALTIES),
            raises(TypeError, model.fit, x, y, names, encoder, penalties=[LONG]),
        )
    return {f"{kind} {name}": operation for name, operation in operations.items()}


def formula_operations():
    term = FORMULA.independent[0]

    def formula_queries():
        FORMULA.original, FORMULA.dependent, FORMULA.independent, str(FORMULA), repr(FORMULA)
        FORMULA.get_column_names(), FORMULA.get_column_names(False), FORMULA.get_column_names(None)
        term.name, term.dependent, term.subtracted, term.intercept, term.interaction, repr(term)
        term.get_columns_from_term()
        Formula(FORMULA_TEXT, FORMULA.dependent, FORMULA.independent)

    def formula_errors():
        raises(ValueError, _parse_formula, f"y ~ {LONG}a:b:c")
        raises(ValueError, _parse_formula, f"{LONG} ~ ")
        raises(TypeError, _parse_formula, FORMULA_TEXT.encode())
        raises(ValueError, BAD_INTERACTION.get_columns_from_term)
        raises(TypeError, FORMULA.get_column_names, LONG)
        raises(TypeError, Formula, LONG, FORMULA.dependent, LONG)
        raises(TypeError, Formula, LONG, LONG, [])
        raises(TypeError, FormulaTerm)
        raises(AttributeError, setattr, FORMULA, "original", LONG)

    return {
        "parse formula": lambda: _parse_formula(FORMULA_TEXT),
        "numeric test": lambda: (_is_numeric(LONG), _is_numeric("1" * 4096),
                                 raises(TypeError, _is_numeric, 1)),
        "formula queries": formula_queries,
        "formula errors": formula_errors,
    }


def encoding_operations():
    encoder = Encoder()
    info = EncodedColumnInfo(LEVELS, EncodingType.OneHot)

    def encoding_types():
        for member in ENCODING_TYPES:
            member.name, repr(member), int(member), member == EncodingType.Bool, member != 1
        raises(TypeError, hash, EncodingType.Dummy)
        raises(TypeError, lambda: EncodingType.Dummy < EncodingType.Bool)
        raises(TypeError, EncodingType)

    def encoder_use():
        EncodedColumnInfo(LEVELS, EncodingType.Dummy).levels, info.encoding_type, info.levels
        encoder.add_column_mapping(LONG, info)
        encoder.get_column_mapping(LONG), encoder.get_column_mapping("missing")
        encoder.column_mappings = ENCODER.column_mappings
        encoder.column_mappings

    def encoder_errors():
        raises(TypeError, EncodedColumnInfo, LONG, EncodingType.Dummy)
        raises(TypeError, EncodedColumnInfo, LEVELS, 0)
        raises(TypeError, encoder.add_column_mapping, LONG, LEVELS)
        raises(TypeError, setattr, encoder, "column_mappings", {LONG: LEVELS})
        raises(TypeError, setattr, encoder, "column_mappings", [])
        raises(AttributeError, delattr, encoder, "column_mappings")

    def penalty_records():
        PenaltySpecification(LONG, LONG, 1.0, target=2.0)
        raises(ValueError, PenaltySpecification, LONG, None, -1.0)
        raises(TypeError, PenaltySpecification, LONG, None, LONG)

    return {
        "encoding types": encoding_types,
        "encoder use": encoder_use,
        "encoder errors": encoder_errors,
        "penalty records": penalty_records,
    }


def write_model_files(files):
    (files / "latin1.json").write_bytes(b'{"model_type": "Linear\xe9"}')
    (files / "truncated.json").write_text('{"coefficients": {"' + LONG + '": 1.0')
    (files / "bad-type.json").write_text(
        '{"encoding_data": {"column_mappings": {}}, "model_type": "LinearRegression", '
        '"coefficients": {"' + LONG + '": null}}'
    )


def all_operations(files):
    write_model_files(files)
    found = {**formula_operations(), **encoding_operations()}
    for model_class in MODEL_CLASSES:
        found.update(model_operations(model_class, files))
    return found


FILES = tempfile.TemporaryDirectory(prefix="tallyfit-leaks-")
OPERATIONS = all_operations(pathlib.Path(FILES.name))


def snapshot():
    gc.collect()
    return [
        *(sys.getrefcount(obj) for obj in TRACKED),
        getattr(sys, "gettotalrefcount", lambda: 0)(),
        sys.getallocatedblocks(),
        resident_bytes(),
    ]


def steady_growth(operation):
    """How much each measure grows per window of CALLS calls. A leak grows in every window,
    while a cache that fills or empties once (here or in NumPy) moves one window only; so of
    WINDOWS windows the growth nearest to zero counts."""
    for _ in range(WARM_UP):
        operation()
    samples = [snapshot()]
    for _ in range(WINDOWS):
        for _ in range(CALLS):
            operation()
        samples.append(snapshot())
    windows = [[after - before for before, after in zip(first, second)]
               for first, second in zip(samples, samples[1:])]
    return [min(deltas, key=abs) for deltas in zip(*windows)]


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_repeated_operation_leaks_nothing(name):
    *refcounts, total_refs, blocks, resident = steady_growth(OPERATIONS[name])
    changed = {repr(obj)[:40]: delta for obj, delta in zip(TRACKED, refcounts) if delta}
    assert changed == {}
    assert abs(total_refs) < COUNT_TOLERANCE
    assert blocks < COUNT_TOLERANCE
    if not under_memory_tool():
        assert resident < RSS_TOLERANCE
