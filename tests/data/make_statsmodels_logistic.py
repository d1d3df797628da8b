"""Writes statsmodels_logistic.json: statsmodels' logistic fits of the test problems.

Run with statsmodels installed (it is no test dependency), from the repository root:
    python tests/data/make_statsmodels_logistic.py
"""

import json
import sys
from pathlib import Path

import numpy as np
import statsmodels
import statsmodels.api as sm

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS))
from fitting_support import logistic_problem  # noqa: E402

PROBLEMS = [(11, 500, 5), (3, 200, 3), (7, 1000, 8)]  # (seed, n, p)


def main():
    problems = []
    for seed, n, p in PROBLEMS:
        x, y = logistic_problem(np.random.default_rng(seed), n, p)
        params = sm.GLM(y, x, family=sm.families.Binomial()).fit(tol=1e-12).params
        problems.append({"seed": seed, "n": n, "p": p, "x_sum": float(x.sum()),
                         "y_sum": float(y.sum()), "params": [float(v) for v in params]})
    document = {
        "made_by": (f"statsmodels {statsmodels.__version__} (NumPy {np.__version__}): "
                    "sm.GLM(y, x, family=sm.families.Binomial()).fit(tol=1e-12).params on "
                    "fitting_support.logistic_problem(np.random.default_rng(seed), n, p), "
                    "written by tests/data/make_statsmodels_logistic.py"),
        "problems": problems,
    }
    (TESTS / "data" / "statsmodels_logistic.json").write_text(json.dumps(document, indent=2) + "\n")


if __name__ == "__main__":
    main()
