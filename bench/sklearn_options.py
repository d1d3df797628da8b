"""Penalty arguments for scikit-learn's LogisticRegression across versions:
from 1.8 on, `penalty` is deprecated in favour of C and l1_ratio."""
import inspect

import numpy as np
from sklearn.linear_model import LogisticRegression

_PENALTY_DEPRECATED = inspect.signature(
    LogisticRegression).parameters["penalty"].default == "deprecated"


def unpenalized():
    return {"C": np.inf} if _PENALTY_DEPRECATED else {"penalty": None}


def ridge(c):
    if _PENALTY_DEPRECATED:
        return {"C": c, "l1_ratio": 0.0}
    return {"penalty": "l2", "C": c}
