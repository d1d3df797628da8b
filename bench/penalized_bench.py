"""Ridge-penalized logistic regression: ours beside scikit-learn's L2
logistic regression where the two objectives coincide.

scikit-learn minimizes 0.5*||w||^2 + C * sum(log-loss) with an unpenalized
intercept; ours maximizes log-likelihood - 0.5 * sum(lambda_j * beta_j^2).
Dividing the first by -C shows they agree for lambda_j = 1/C on every
column except the intercept column "1", which carries no penalty.
"""
import numpy as np
from sklearn.linear_model import LogisticRegression

import _tallyfit as tf
from iterations import DEFAULT_CAP
from logistic_fits import ours_row, peer_row
from rows import GOAL_COLUMNS, add_ratios, memory_goal_rows
from simulated_data import column_names
from sklearn_options import ridge
from tables import (markdown_table, megabytes, milliseconds, percent, ratio,
                    scientific, seconds)

TOLERANCE = 1e-8
OURS = "ours (PenalizedLogisticRegressionCore)"
PEER = "scikit-learn L2, newton-cholesky"

COLUMNS = [
    ("n", "n", "{:,}".format), ("p", "p", str), ("method", "method", None),
    ("time (s)", "seconds", seconds), ("iterations", "iterations", str),
    ("ms / iteration", "per_iteration", milliseconds),
    ("ours ÷ this", "ours_over", ratio),
    ("peak extra (MB)", "peak", megabytes),
    ("peak ÷ size of X", "percent_of_x", percent),
    ("max abs Δβ vs ours", "difference", scientific), ("note", "note", None),
]


def _ours(x, y, lam):
    names = column_names(x.shape[1])
    penalties = [tf.PenaltySpecification(name, None, lam)
                 for name in names[1:]]
    model = tf.PenalizedLogisticRegressionCore()

    def fit(cap=DEFAULT_CAP):
        model.fit(x, y, names, tf.Encoder(), penalties=penalties,
                  max_iterations=cap, convergence_delta=TOLERANCE)
        coefficients = model.coefficients
        return [coefficients[name] for name in names]

    return fit


def _scikit_learn(features, y, c):
    model = LogisticRegression(**ridge(c), solver="newton-cholesky",
                               fit_intercept=True, tol=TOLERANCE,
                               max_iter=100).fit(features, y)
    return np.concatenate([model.intercept_, model.coef_.ravel()]), \
        model.n_iter_[0]


def run(x, y, repeats, c):
    ours, ours_beta = ours_row(x, OURS, _ours(x, y, 1.0 / c), repeats)
    # scikit-learn adds the intercept itself; a contiguous copy without the
    # ones column keeps it from copying the slice inside the measured call.
    features = np.ascontiguousarray(x[:, 1:])
    peer = peer_row(x, PEER, lambda: _scikit_learn(features, y, c),
                    repeats, ours_beta)
    return add_ratios([ours, peer], OURS, None)


def tables(rows):
    return [markdown_table(COLUMNS, rows),
            markdown_table(GOAL_COLUMNS, memory_goal_rows(rows, OURS, 5.0))]
