"""BLAS/LAPACK are bound from SciPy on the first fit, never at import."""

import subprocess
import sys
import textwrap


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_scipy_is_imported_by_the_first_fit_only():
    before, after = run_python(
        """
        import sys
        import numpy as np
        import _tallyfit
        print("scipy" in sys.modules)
        _tallyfit.LinearRegressionCore().fit(np.eye(2), np.ones(2), ["a", "b"], _tallyfit.Encoder())
        print("scipy.linalg.cython_lapack" in sys.modules)
        """
    )
    assert (before, after) == ("False", "True")


def test_missing_scipy_is_an_import_error_naming_it():
    outcome = run_python(
        """
        import sys
        sys.modules["scipy"] = None  # as if it were not installed
        import numpy as np
        import _tallyfit
        model = _tallyfit.LinearRegressionCore()
        model.coefficients = {"a": 1.0}
        for attempt in range(2):
            try:
                model.fit(np.eye(2), np.ones(2), ["a", "b"], _tallyfit.Encoder())
            except ImportError as error:
                print("pip install scipy" in str(error))
        print(model.coefficients == {"a": 1.0})
        """
    )
    assert outcome == ["True", "True", "True"]
