"""LogisticRegressionCore: the IRLS iteration, its stopping rules and its failures."""

import json
import math
import signal
import time
from pathlib import Path

import numpy as np
import pytest

import _tallyfit
import child_process
from fitting_support import (
    MATRIX_LAYOUTS,
    VECTOR_LAYOUTS,
    logistic,
    logistic_problem,
    raises_internal_error,
    read_dataset,
    reference_irls,
)

DATA = Path(__file__).resolve().parent / "data"
SINGULAR_MESSAGE = "Matrix inversion failed. The matrix may be singular."
CONVERGENCE_MESSAGE = "Algorithm failed to converge"


def fit(x, y, names, model=None, **options):
    model = model or _tallyfit.LogisticRegressionCore()
    model.fit(x, y, names, _tallyfit.Encoder(), **options)
    return model


def names_for(p):
    return [f"c{j}" for j in range(p)]


def coefficient_array(model, names):
    return np.array([model.coefficients[name] for name in names])


def challenger_design():
    columns, published = read_dataset("challenger.csv")
    x = np.column_stack([np.ones(len(columns["temp"])), columns["temp"]])
    return x, (columns["damaged"] > 0).astype(float), published


def test_challenger_published_fit():
    x, y, published = challenger_design()
    model = fit(x, y, ["(Intercept)", "temp"])
    assert model.coefficients["(Intercept)"] == pytest.approx(published["(Intercept)"], abs=1e-7)
    assert model.coefficients["temp"] == pytest.approx(published["temp"], abs=1e-7)
    at_31 = model.predict(np.array([[31.0, 1.0]]), ["temp", "(Intercept)"])
    assert at_31[0] == pytest.approx(published["probability_at_31F"], abs=1e-5)


@pytest.mark.parametrize(
    "core",
    [_tallyfit.LogisticRegressionCore, _tallyfit.PenalizedLogisticRegressionCore],
    ids=["plain", "penalized_without_penalties"],
)
def test_row_with_probability_rounded_to_one_converges(core):
    # The row x = 60, y = 1 is classified so surely that its probability is exactly 1.0 and its
    # weight 0: the fit must neither divide by that weight nor report non-convergence.
    columns, published = read_dataset("saturated_row.csv")
    x = np.column_stack([np.ones(len(columns["x"])), columns["x"]])
    model = core()
    model.fit(x, columns["y"], ["(Intercept)", "x"], _tallyfit.Encoder())
    assert model.predict(x[-1:], ["(Intercept)", "x"])[0] == 1.0
    for name in ("(Intercept)", "x"):
        assert model.coefficients[name] == pytest.approx(published[name], rel=1e-6)


@pytest.mark.parametrize("n, p", [(50, 1), (80, 3), (7, 7), (400, 6), (3000, 20)])
def test_agrees_with_reference_newton_solver(n, p):
    rng = np.random.default_rng(n + p)
    x, y = logistic_problem(rng, n, p)
    expected, iterations = reference_irls(x, y)
    names = names_for(p)
    model = fit(x, y, names)
    np.testing.assert_allclose(coefficient_array(model, names), expected, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(model.predict(x, names), logistic(x @ expected), rtol=1e-8)


STATSMODELS = json.loads((DATA / "statsmodels_logistic.json").read_text())


@pytest.mark.parametrize("problem", STATSMODELS["problems"],
                         ids=lambda problem: f"seed{problem['seed']}")
def test_agrees_with_statsmodels(problem):
    # Reference fits by statsmodels' GLM, stored by tests/data/make_statsmodels_logistic.py.
    x, y = logistic_problem(np.random.default_rng(problem["seed"]), problem["n"], problem["p"])
    # The same problem as the reference was fitted on.
    assert (x.sum(), y.sum()) == pytest.approx((problem["x_sum"], problem["y_sum"]), rel=1e-12)
    names = names_for(problem["p"])
    np.testing.assert_allclose(coefficient_array(fit(x, y, names), names), problem["params"],
                               rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("layout", sorted(MATRIX_LAYOUTS))
def test_strided_matrix_layouts_match_contiguous(layout):
    rng = np.random.default_rng(5)
    x, y = logistic_problem(rng, 120, 5)
    names = names_for(5)
    strided = MATRIX_LAYOUTS[layout](x)
    reference = fit(x, y, names)
    model = fit(strided, y, names)
    np.testing.assert_allclose(
        coefficient_array(model, names), coefficient_array(reference, names), rtol=1e-10
    )
    np.testing.assert_allclose(model.predict(strided, names), reference.predict(x, names))


@pytest.mark.parametrize("layout", sorted(VECTOR_LAYOUTS))
def test_strided_response_matches_contiguous(layout):
    rng = np.random.default_rng(6)
    x, y = logistic_problem(rng, 90, 3)
    names = names_for(3)
    reference = fit(x, y, names)
    model = fit(x, VECTOR_LAYOUTS[layout](y), names)
    np.testing.assert_allclose(
        coefficient_array(model, names), coefficient_array(reference, names), rtol=1e-12
    )


def iterations_to_converge(x, y, delta=1e-8):
    return reference_irls(x, y, convergence_delta=delta)[1]


@pytest.mark.parametrize(
    "max_iterations, delta, outcome",
    [
        (1, 1e-8, "fails"),
        (0, 1e-8, "fails"),
        (-3, 1e-8, "fails"),
        (-(2**127), 1e-8, "fails"),
        (0, math.inf, "zeros"),
        (-1, math.nan, "zeros"),
        (25, math.inf, "zeros"),  # d = inf is not above inf: no iteration runs
        (25, math.nan, "zeros"),
        (2, 1e300, "fits"),  # the first change is infinite, the second finite
        (2**100, 1e-8, "fits"),
        (2**127 - 1, 1e-8, "fits"),
    ],
)
def test_iteration_limits_and_deltas(max_iterations, delta, outcome):
    x, y, _ = challenger_design()
    model = _tallyfit.LogisticRegressionCore()
    if outcome == "fails":
        with pytest.raises(ValueError, match=f"^{CONVERGENCE_MESSAGE}$"):
            fit(x, y, ["a", "b"], model, max_iterations=max_iterations, convergence_delta=delta)
        assert model.coefficients is None
        return
    fit(x, y, ["a", "b"], model, max_iterations=max_iterations, convergence_delta=delta)
    if outcome == "zeros":
        assert model.coefficients == {"a": 0.0, "b": 0.0}
    else:
        assert all(math.isfinite(v) and v != 0.0 for v in model.coefficients.values())


def convergence_problem(name):
    """A design, responses, ridge (or None) and delta for the iteration-count checks."""
    rng = np.random.default_rng(len(name))
    if name == "challenger":
        x, y, _ = challenger_design()
        return x, y, None, 1e-8
    if name == "separable":
        return (*logistic_problem(np.random.default_rng(14), 7, 7), None, 1e-8)
    if name == "wide":  # past the width where the pass changes method
        return (*logistic_problem(rng, 900, 110), None, 1e-8)
    if name == "ridge":
        x, y = logistic_problem(rng, 500, 6)
        return x, y, rng.uniform(0.0, 30.0, size=6), 1e-10
    if name == "responses outside 0 and 1":
        # The log-likelihood is not concave here, so Newton's model mispredicts a step as the
        # last one and the fit must form the skipped Gram product after all.
        rng = np.random.default_rng(15)
        x = np.column_stack([np.ones(40), rng.normal(size=40)])
        return x, rng.choice([-1.0, 0.0, 1.0, 2.0], size=40), None, 1e-8
    if name == "loose delta":
        return (*logistic_problem(rng, 500, 6), None, 1e-2)
    return (*logistic_problem(rng, 3000, 12), None, 1e-12)


@pytest.mark.parametrize(
    "name",
    ["challenger", "separable", "wide", "ridge", "responses outside 0 and 1", "loose delta",
     "tight delta"],
)
def test_last_allowed_iteration_may_converge(name):
    # The fit skips the Gram product of a step it expects to be the last; that must never change
    # how many iterations converge, nor the coefficients.
    x, y, ridge, delta = convergence_problem(name)
    expected, needed = reference_irls(x, y, ridge=ridge, convergence_delta=delta)
    names = names_for(x.shape[1])
    if ridge is None:
        model = _tallyfit.LogisticRegressionCore()
        options = {}
    else:
        model = _tallyfit.PenalizedLogisticRegressionCore()
        options = {"penalties": [_tallyfit.PenaltySpecification(n, None, v)
                                 for n, v in zip(names, ridge)]}
    fit(x, y, names, model, max_iterations=needed, convergence_delta=delta, **options)
    np.testing.assert_allclose(coefficient_array(model, names), expected, rtol=1e-7, atol=1e-10)
    with pytest.raises(ValueError, match=f"^{CONVERGENCE_MESSAGE}$"):
        fit(x, y, names, model, max_iterations=needed - 1, convergence_delta=delta, **options)


@pytest.mark.parametrize("max_iterations", [2**127, -(2**127) - 1, 2**200])
def test_iteration_count_beyond_128_bits_overflows(max_iterations):
    x, y, _ = challenger_design()
    with pytest.raises(OverflowError):
        fit(x, y, ["a", "b"], max_iterations=max_iterations)


@pytest.mark.parametrize(
    "x, y",
    [
        (np.array([[1.0, -2.0], [1.0, -1.0], [1.0, 1.0], [1.0, 2.0]]), np.array([0, 0, 1, 1.0])),
        (np.array([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0], [1.0, 3.0]]), np.array([1, 1, 1, 1.0])),
    ],
    ids=["separable", "all_ones"],
)
def test_separable_data_never_yields_non_finite_coefficients(x, y):
    model = fit(np.eye(2), np.array([1.0, 0.0]), ["a", "b"])
    before = model.coefficients
    for max_iterations in (25, 200, 1000):
        try:
            fit(x, y, ["a", "b"], model, max_iterations=max_iterations)
        except ValueError as error:
            assert str(error) in (CONVERGENCE_MESSAGE, SINGULAR_MESSAGE)
            assert model.coefficients == before
        else:
            assert all(math.isfinite(v) for v in model.coefficients.values())
            before = model.coefficients


@pytest.mark.parametrize("bad_value", ["x", "y"])
def test_nan_data_fails_cleanly(bad_value):
    x, y, _ = challenger_design()
    x, y = x.copy(), y.copy()
    if bad_value == "x":
        x[3, 1] = np.nan
    else:
        y[3] = np.nan
    model = _tallyfit.LogisticRegressionCore()
    with pytest.raises(ValueError) as info:
        fit(x, y, ["a", "b"], model)
    assert str(info.value) in (CONVERGENCE_MESSAGE, SINGULAR_MESSAGE)
    assert model.coefficients is None


def test_zero_column_fails_inversion_and_keeps_previous_fit():
    x, y, _ = challenger_design()
    model = fit(x, y, ["a", "b"])
    before = model.coefficients
    with pytest.raises(ValueError, match=f"^{SINGULAR_MESSAGE}$"):
        fit(np.column_stack([x, np.zeros(len(y))]), y, ["a", "b", "c"], model)
    assert model.coefficients == before


@pytest.mark.parametrize(
    "names, expected",
    [
        (["a"], lambda full: {"a": full["a"]}),
        (["a", "b", "c"], lambda full: full),
        (["b", "b"], lambda full: {"b": full["b"]}),  # the later column wins
    ],
    ids=["fewer_names", "more_names", "repeated_name"],
)
def test_names_pair_with_columns_up_to_the_shorter(names, expected):
    x, y, _ = challenger_design()
    full = fit(x, y, ["a", "b"]).coefficients
    assert fit(x, y, names).coefficients == expected(full)


def test_predict_by_name_and_unfitted_predict():
    assert (
        _tallyfit.LogisticRegressionCore().predict(np.ones((3, 2)), ["a", "b"]).tolist()
        == [0.5] * 3
    )
    x, y, _ = challenger_design()
    model = fit(x, y, ["a", "b"])
    swapped = model.predict(x[:, ::-1], ["b", "a"])
    np.testing.assert_allclose(swapped, model.predict(x, ["a", "b"]))
    only_intercept = model.predict(x, ["a", "unknown"])
    np.testing.assert_allclose(only_intercept, logistic(model.coefficients["a"]))


def test_shape_mismatch_is_an_internal_error_and_changes_nothing():
    x, y, _ = challenger_design()
    model = fit(x, y, ["a", "b"])
    before = model.coefficients
    raises_internal_error(lambda: fit(x, y[:-1], ["a", "b"], model))
    raises_internal_error(lambda: model.predict(x, ["a"]))
    assert model.coefficients == before


@pytest.mark.parametrize(
    "y",
    [np.ones(3, dtype=np.float32), np.ones(3, dtype=np.int64), [1.0, 0.0, 1.0], np.ones((3, 1))],
)
def test_response_of_other_kind_is_refused(y):
    with pytest.raises(TypeError, match="^argument 'y_matrix': "):
        fit(np.ones((3, 2)), y, ["a", "b"])


@pytest.mark.parametrize("core, penalties", [
    ("LogisticRegressionCore", ""),
    ("PenalizedLogisticRegressionCore",
     ", penalties=[_tallyfit.PenaltySpecification('b', None, 1.0)]"),
])
def test_ctrl_c_stops_an_endless_fit(core, penalties):
    # A negative delta never stops the iteration; SIGINT is checked between iterations, and the
    # interrupted fit leaves the model as it was. A child process, since the fault is a hang.
    child = child_process.start_python(f"""
        import numpy as np
        import _tallyfit
        x = np.column_stack([np.ones(8), np.arange(8.0)])
        y = np.array([0.0, 0, 1, 0, 1, 0, 1, 1])
        model = _tallyfit.{core}()
        model.fit(x, y, ["a", "b"], _tallyfit.Encoder(){penalties})
        before = model.coefficients
        print("fitting", flush=True)
        try:
            model.fit(x, y, ["a", "b"], _tallyfit.Encoder(){penalties},
                      max_iterations=2**100, convergence_delta=-1.0)
        except KeyboardInterrupt:
            print("interrupted", model.coefficients == before)
    """)
    try:
        assert child.stdout.readline() == "fitting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, stdout) == (0, "interrupted True\n"), stderr
