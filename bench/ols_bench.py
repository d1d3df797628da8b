"""Least squares: our fit beside numpy, scikit-learn, statsmodels and a
numpy floor of the same normal-equation arithmetic."""
import numpy as np
import statsmodels.api as sm
from sklearn.linear_model import LinearRegression

import _tallyfit as tf
from measure import measure_repeated
from rows import (GOAL_COLUMNS, add_ratios, max_abs_difference,
                  memory_goal_rows, result_row)
from simulated_data import column_names
from tables import (markdown_table, megabytes, percent, ratio, scientific,
                    seconds)

OURS = "ours (LinearRegressionCore)"
FLOOR = "floor: numpy X'X, X'y, inv, product"

COLUMNS = [
    ("n", "n", "{:,}".format), ("p", "p", str), ("method", "method", None),
    ("time (s)", "seconds", seconds), ("÷ floor", "over_floor", ratio),
    ("ours ÷ this", "ours_over", ratio),
    ("peak extra (MB)", "peak", megabytes),
    ("peak ÷ size of X", "percent_of_x", percent),
    ("max abs Δβ vs ours", "difference", scientific),
]


def _methods(x, y):
    names = column_names(x.shape[1])
    model = tf.LinearRegressionCore()

    def ours():
        model.fit(x, y, names, tf.Encoder())
        coefficients = model.coefficients
        return [coefficients[name] for name in names]

    return {
        OURS: ours,
        FLOOR: lambda: np.linalg.inv(x.T @ x) @ (x.T @ y),
        "numpy.linalg.lstsq": lambda: np.linalg.lstsq(x, y, rcond=None)[0],
        "scikit-learn LinearRegression": lambda: LinearRegression(
            fit_intercept=False).fit(x, y).coef_,
        "statsmodels OLS": lambda: sm.OLS(y, x).fit().params,
    }


def run(x, y, repeats):
    rows, ours_beta = [], None
    for method, fit in _methods(x, y).items():
        measurement = measure_repeated(fit, repeats)
        if ours_beta is None:
            ours_beta = measurement.result
        row = result_row(x, method, measurement)
        if method != OURS:
            row["difference"] = max_abs_difference(measurement.result,
                                                   ours_beta)
        rows.append(row)
    return add_ratios(rows, OURS, FLOOR)


def tables(rows):
    return [markdown_table(COLUMNS, rows),
            markdown_table(GOAL_COLUMNS, memory_goal_rows(rows, OURS, 1.0))]
