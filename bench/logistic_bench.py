"""Logistic regression: our IRLS fit beside scikit-learn's Newton-Cholesky
solver and statsmodels' GLM, at comparable tolerances.

Stopping rules: ours stops when the log-likelihood changes by at most 1e-8
(its default), statsmodels when the deviance (-2 log-likelihood) changes by
at most 1e-8, scikit-learn when the largest gradient component of the mean
log-loss is at most 1e-8.
"""
import statsmodels.api as sm
from sklearn.linear_model import LogisticRegression

import _tallyfit as tf
from iterations import DEFAULT_CAP
from logistic_fits import ours_row, peer_row
from measure import measure_repeated
from rows import (GOAL_COLUMNS, add_ratios, memory_goal_rows, result_row)
from simulated_data import column_names
from sklearn_options import unpenalized
from tables import (markdown_table, megabytes, milliseconds, percent, ratio,
                    scientific, seconds)

TOLERANCE = 1e-8
PEER_MAX_ITERATIONS = 100
OURS = "ours (LogisticRegressionCore)"
FLOOR = "floor: numpy X'X × our iterations"

COLUMNS = [
    ("n", "n", "{:,}".format), ("p", "p", str), ("method", "method", None),
    ("time (s)", "seconds", seconds), ("iterations", "iterations", str),
    ("ms / iteration", "per_iteration", milliseconds),
    ("÷ floor", "over_floor", ratio), ("ours ÷ this", "ours_over", ratio),
    ("peak extra (MB)", "peak", megabytes),
    ("peak ÷ size of X", "percent_of_x", percent),
    ("max abs Δβ vs ours", "difference", scientific), ("note", "note", None),
]


def _ours(x, y):
    names = column_names(x.shape[1])
    model = tf.LogisticRegressionCore()

    def fit(cap=DEFAULT_CAP):
        model.fit(x, y, names, tf.Encoder(), max_iterations=cap,
                  convergence_delta=TOLERANCE)
        coefficients = model.coefficients
        return [coefficients[name] for name in names]

    return fit


def _scikit_learn(x, y):
    model = LogisticRegression(**unpenalized(), solver="newton-cholesky",
                               fit_intercept=False, tol=TOLERANCE,
                               max_iter=PEER_MAX_ITERATIONS).fit(x, y)
    return model.coef_.ravel(), model.n_iter_[0]


def _statsmodels(x, y):
    result = sm.GLM(y, x, family=sm.families.Binomial()).fit(
        tol=TOLERANCE, maxiter=PEER_MAX_ITERATIONS)
    return result.params, result.fit_history["iteration"]


def floor_row(x, iterations, repeats):
    """numpy's X'X once, scaled to our iteration count."""
    measurement = measure_repeated(lambda: x.T @ x, repeats)
    row = result_row(x, FLOOR, measurement)
    if iterations:
        row["seconds"] = measurement.seconds * iterations
        row["iterations"] = iterations
        row["per_iteration"] = measurement.seconds
    else:
        row["seconds"] = None
    return row


def run(x, y, repeats):
    ours, ours_beta = ours_row(x, OURS, _ours(x, y), repeats)
    rows = [ours, floor_row(x, ours.get("iterations"), repeats)]
    rows.append(peer_row(x, "scikit-learn newton-cholesky",
                         lambda: _scikit_learn(x, y), repeats, ours_beta))
    rows.append(peer_row(x, "statsmodels GLM Binomial (IRLS)",
                         lambda: _statsmodels(x, y), repeats, ours_beta))
    return add_ratios(rows, OURS, FLOOR)


def tables(rows):
    return [markdown_table(COLUMNS, rows),
            markdown_table(GOAL_COLUMNS, memory_goal_rows(rows, OURS, 5.0))]
