"""BLAS/LAPACK are bound from SciPy on the first fit, never at import."""

import pytest

import child_process


def run_python(code, timeout=120):
    result = child_process.run_python(code, timeout=timeout)
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


def test_first_binding_inside_a_sub_interpreter():
    # The binding runs on the sub-interpreter's own thread state (no PyGILState_Ensure, which
    # waits forever there for the lock its thread holds).
    outcome = run_python(
        """
        import _xxsubinterpreters as interpreters
        interpreters.run_string(interpreters.create(), '''if True:
            import numpy as np, _tallyfit as t
            print(t.LinearRegressionCore().predict(np.eye(2), ['a', 'b']).tolist())
            model = t.LinearRegressionCore()
            model.fit(np.eye(2), np.array([1.0, 2.0]), ['a', 'b'], t.Encoder())
            print(model.coefficients == {'a': 1.0, 'b': 2.0})
        ''')
        """,
        timeout=60,
    )
    assert outcome == ["[0.0,", "0.0]", "True"]


@pytest.mark.parametrize("core", [
    "LinearRegressionCore()",
    "LogisticRegressionCore()",
    "PenalizedLogisticRegressionCore()",
])
def test_first_fit_binds_before_borrowing(core):
    # Importing SciPy runs Python code that lets other threads in; the first fit binds before
    # it takes the model and the encoder, so their readers on other threads never see a borrow.
    outcome = run_python(
        f"""
        import threading
        import numpy as np
        import _tallyfit as t
        model = t.{core}
        encoder = t.Encoder()
        done = threading.Event()
        errors = []
        reads = 0

        def read():
            global reads
            while not done.is_set():
                for get in (lambda: model.coefficients, lambda: encoder.column_mappings):
                    try:
                        get()
                    except RuntimeError as error:
                        errors.append(str(error))
                reads += 1

        reader = threading.Thread(target=read)
        reader.start()
        x = np.column_stack([np.ones(6), np.arange(6.0)])
        model.fit(x, np.array([0.0, 1, 0, 1, 1, 0]), ["a", "b"], encoder)
        done.set()
        reader.join()
        print(reads > 0, len(errors), sorted(set(errors)))
        """
    )
    assert outcome == ["True", "0", "[]"]
