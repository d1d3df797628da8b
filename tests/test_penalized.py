"""PenalizedLogisticRegressionCore: penalty resolution, the ridge term and failed fits."""

import json
import math
import re

import numpy as np
import pytest

import _tallyfit
from fitting_support import logistic, logistic_problem, raises_internal_error, reference_irls

Penalty = _tallyfit.PenaltySpecification
NAMES = ["(Intercept)", "x1", "color_red", "color_blue"]
BIG = 1e10
SINGULAR_MESSAGE = "Matrix inversion failed. The matrix may be singular."
CONVERGENCE_MESSAGE = "Algorithm failed to converge"
MULTIPLE_MESSAGE = "Multiple penalties specified for variable: "


def problem(seed=0, n=300):
    rng = np.random.default_rng(seed)
    x, y = logistic_problem(rng, n, len(NAMES))
    # Dummy columns hold 0/1 indicators, as the Python layer builds them.
    x[:, 2] = rng.random(n) < 0.4
    x[:, 3] = (rng.random(n) < 0.5) & (x[:, 2] == 0)
    return x, y


def fit(x, y, names, penalties=None, model=None, **options):
    model = model or _tallyfit.PenalizedLogisticRegressionCore()
    model.fit(x, y, names, _tallyfit.Encoder(), penalties, **options)
    return model


def plain_fit(x, y, names, **options):
    model = _tallyfit.LogisticRegressionCore()
    model.fit(x, y, names, _tallyfit.Encoder(), **options)
    return model


@pytest.mark.parametrize(
    "args, kwargs",
    [(("x", None, 0.0), {}), (("x", "lvl", math.nan), {}), (("x", None, -0.0), {})]
    + [(("x", None, math.inf), {"target": -3.0})],
)
def test_penalty_accepts_non_negative_lambda(args, kwargs):
    assert isinstance(Penalty(*args, **kwargs), Penalty)


@pytest.mark.parametrize("lambda_param", [-0.1, -math.inf, -1e-300])
def test_penalty_refuses_negative_lambda(lambda_param):
    with pytest.raises(ValueError) as info:
        Penalty("x", None, lambda_param)
    assert str(info.value) == "Lambda parameter must be greater than or equal to 0."


@pytest.mark.parametrize(
    "penalties, shrunk",
    [
        ([("x1", None)], {"x1"}),
        ([("color", "red")], {"color_red"}),
        ([("color", None)], set()),
        ([("zzz", None), ("color", "green"), ("x", "1")], set()),
        ([("color_red", None), ("color", "red")], {"color_red"}),
        ([("(Intercept)", None), ("color", "blue")], {"(Intercept)", "color_blue"}),
    ],
)
def test_penalties_apply_to_the_columns_they_name(penalties, shrunk):
    x, y = problem()
    plain = plain_fit(x, y, NAMES).coefficients
    model = fit(x, y, NAMES, [Penalty(name, level, BIG) for name, level in penalties])
    for name in NAMES:
        if name in shrunk:
            assert abs(model.coefficients[name]) < 1e-6 < abs(plain[name])
        elif not shrunk:
            assert model.coefficients[name] == plain[name]


@pytest.mark.parametrize(
    "penalties",
    [
        [Penalty("color_red", None, 1.0), Penalty("color", "red", 5.0)],
        [Penalty("color", "red", 5.0), Penalty("color_red", None, 1.0)],
        [
            Penalty("color_red", None, 1.0),
            Penalty("color", "red", 5.0),
            Penalty("color_red", None, 2.0),
        ],
    ],
)
def test_level_specific_penalty_wins_over_plain_ones(penalties):
    x, y = problem(1)
    expected = fit(x, y, NAMES, [Penalty("color_red", None, 5.0)]).coefficients
    assert fit(x, y, NAMES, penalties).coefficients == expected


@pytest.mark.parametrize(
    "names, penalties, column",
    [
        (NAMES, [("x1", None), ("x1", None)], "x1"),
        (NAMES, [("color", "red"), ("color", "red"), ("color_red", None)], "color_red"),
        (["(Intercept)", "x1", "a_b_c", "d"], [("a_b", "c"), ("a", "b_c")], "a_b_c"),
        (NAMES, [("color", "red"), ("color", "red"), ("x1", None), ("x1", None)], "x1"),
        (
            NAMES[::-1],
            [("x1", None), ("x1", None), ("color", "red"), ("color", "red")],
            "color_red",
        ),
    ],
)
@pytest.mark.parametrize(
    "options",
    [{}, {"max_iterations": 0}, {"max_iterations": 0, "convergence_delta": math.inf}],
    ids=["default", "no_iterations_failing", "no_iterations_succeeding"],
)
def test_multiple_penalties_fail_before_iterating(names, penalties, column, options):
    x, y = problem(2)
    x[:, 1] = 0.0  # would fail the inversion in the first iteration
    with pytest.raises(ValueError) as info:
        fit(x, y, names, [Penalty(name, level, 1.0) for name, level in penalties], **options)
    assert type(info.value) is ValueError and str(info.value) == MULTIPLE_MESSAGE + column


@pytest.mark.parametrize("penalties", [None, [], [Penalty("nothing", None, 3.0)]])
@pytest.mark.parametrize(
    "data, options",
    [
        ("random", {}),
        ("zero_column", {}),
        ("random", {"max_iterations": 1}),
        ("random", {"max_iterations": 0, "convergence_delta": math.inf}),
    ],
)
def test_no_applicable_penalty_behaves_like_the_plain_model(penalties, data, options):
    x, y = problem(3)
    if data == "zero_column":
        x[:, 2] = 0.0
    try:
        expected = plain_fit(x, y, NAMES, **options).coefficients
    except ValueError as error:
        with pytest.raises(ValueError, match=f"^{re.escape(str(error))}$"):
            fit(x, y, NAMES, penalties, **options)
    else:
        assert fit(x, y, NAMES, penalties, **options).coefficients == expected


def test_positive_lambda_makes_a_zero_column_invertible():
    x, y = problem(4)
    x[:, 2] = 0.0
    model = fit(x, y, NAMES, [Penalty("color", "red", 0.5)])
    assert model.coefficients["color_red"] == pytest.approx(0.0, abs=1e-300)
    without = np.delete(x, 2, axis=1)
    expected = plain_fit(without, y, [n for n in NAMES if n != "color_red"]).coefficients
    for name, value in expected.items():
        assert model.coefficients[name] == pytest.approx(value, rel=1e-9)


@pytest.mark.parametrize("target", [0.0, 5.0, -100.0])
def test_large_lambda_shrinks_towards_zero_whatever_the_target(target):
    x, y = problem(5)
    untargeted = fit(x, y, NAMES, [Penalty("x1", None, BIG)]).coefficients
    model = fit(x, y, NAMES, [Penalty("x1", None, BIG, target)])
    assert model.coefficients == untargeted
    assert abs(model.coefficients["x1"]) < 1e-6


@pytest.mark.parametrize("seed", [6, 7, 8])
def test_fit_is_the_penalized_likelihood_stationary_point(seed):
    x, y = problem(seed)
    lam = np.random.default_rng(seed).uniform(0.0, 20.0, size=len(NAMES))
    penalties = [Penalty(name, None, value) for name, value in zip(NAMES, lam)]
    model = fit(x, y, NAMES, penalties, convergence_delta=1e-11)
    beta = np.array([model.coefficients[name] for name in NAMES])
    mu = model.predict(x, NAMES)
    np.testing.assert_allclose(mu, logistic(x @ beta), rtol=1e-12)
    np.testing.assert_allclose(x.T @ (y - mu), lam * beta, atol=1e-6)
    expected, _ = reference_irls(x, y, ridge=lam, convergence_delta=1e-11)
    np.testing.assert_allclose(beta, expected, rtol=1e-8, atol=1e-12)


@pytest.mark.parametrize("names", [NAMES[:3], NAMES + ["extra"]])
def test_one_name_per_column_is_required(names):
    x, y = problem(9)
    model = fit(x, y, NAMES)
    before = model.coefficients
    error = raises_internal_error(lambda: fit(x, y, names, model=model))
    assert "x_col_names" in str(error)
    raises_internal_error(lambda: fit(x, y[:-1], NAMES, model=model))
    assert model.coefficients == before


def test_unfitted_model_predicts_one_half():
    model = _tallyfit.PenalizedLogisticRegressionCore()
    assert model.predict(np.ones((2, 3)), ["a", "b", "c"]).tolist() == [0.5, 0.5]


def saved_document(model, tmp_path):
    path = tmp_path / "model.json"
    model.save_to_file(str(path))
    return json.loads(path.read_text())


def failing_fit(kind, model, x, y):
    if kind == "multiple_penalties":
        penalties = [Penalty("x1", None, 1.0), Penalty("x1", None, 2.0)]
        with pytest.raises(ValueError, match=MULTIPLE_MESSAGE):
            fit(x, y, NAMES, penalties, model=model)
    elif kind == "inversion":
        zero = x.copy()
        zero[:, 1] = 0.0
        with pytest.raises(ValueError, match=f"^{SINGULAR_MESSAGE}$"):
            fit(zero, y, NAMES, [Penalty("color", "red", 1.0)], model=model)
    elif kind == "convergence":
        with pytest.raises(ValueError, match=f"^{CONVERGENCE_MESSAGE}$"):
            fit(x, y, NAMES, None, model=model, max_iterations=1)
    else:
        raises_internal_error(lambda: fit(x, y, NAMES[:2], [], model=model))


@pytest.mark.parametrize("kind", ["multiple_penalties", "inversion", "convergence", "shape"])
def test_failed_fit_keeps_the_previous_penalties(kind, tmp_path):
    x, y = problem(10)
    model = fit(x, y, NAMES, [Penalty("x1", None, 2.0, 0.5)])
    before = model.coefficients
    failing_fit(kind, model, x, y)
    assert model.coefficients == before
    assert saved_document(model, tmp_path)["penalties"] == [
        {"variable_name": "x1", "categorical_level": None, "lambda_param": 2.0, "target": 0.5}
    ]


def test_successful_fit_replaces_the_penalties(tmp_path):
    x, y = problem(11)
    model = fit(x, y, NAMES, [Penalty("x1", None, 2.0)])
    fit(x, y, NAMES, None, model=model)
    assert saved_document(model, tmp_path).get("penalties") is None
