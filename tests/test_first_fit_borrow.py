"""No Python code runs while a call holds its borrows: neither the one-time set-up of a process's
first fit (NumPy's C API, BLAS/LAPACK) nor the signal handlers that the interruption check of an
iterative fit leads to, nor NumPy's str() of a refused array's dtype. Python code lets other
threads in, and they must not find the model borrowed by a call that is only computing."""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import child_process

PROCESSES_PER_CORE = 15

# The reader counts the conflicts it meets while the main thread runs the first fit of the
# process; thread switches are forced as often as the interpreter allows. SciPy is imported
# first, or its import, slowed down by the switches, would take most of the time (its binding
# before the borrow is tested in test_blas_binding.py).
FIRST_FIT = """
    import sys, threading
    import numpy as np
    import scipy.linalg.cython_blas, scipy.linalg.cython_lapack
    import _tallyfit as t

    sys.setswitchinterval(1e-6)
    rng = np.random.default_rng(7)
    x = np.column_stack([np.ones(20000), rng.standard_normal((20000, 7))])
    y = (rng.random(20000) < 0.4).astype(float)
    names = [f"c{{i}}" for i in range(8)]
    model = t.{core}()
    started, done = threading.Event(), threading.Event()
    conflicts = 0
    reads = 0

    def read():
        global conflicts, reads
        while not done.is_set():
            try:
                model.coefficients
            except RuntimeError as error:
                conflicts += str(error) == "Already mutably borrowed"
            reads += 1
            started.set()

    reader = threading.Thread(target=read)
    reader.start()
    started.wait()
    model.fit(x, y, names, t.Encoder())
    done.set()
    reader.join()
    print(conflicts, reads > 0, len(model.coefficients))
"""


@pytest.mark.parametrize("core", ["LinearRegressionCore", "LogisticRegressionCore"])
def test_first_fit_of_a_process_lets_readers_in(core):
    code = textwrap.dedent(FIRST_FIT.format(core=core))
    # Two at a time, on this machine's two cores.
    outputs = []
    for start in range(0, PROCESSES_PER_CORE, 2):
        children = [
            subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
            for _ in range(min(2, PROCESSES_PER_CORE - start))
        ]
        for child in children:
            stdout, stderr = child.communicate(timeout=60)
            assert child.returncode == 0, stderr
            outputs.append(stdout.split())
    conflicts = [int(found[0]) for found in outputs]
    assert all(found[1:] == ["True", "8"] for found in outputs), outputs
    assert conflicts == [0] * PROCESSES_PER_CORE, f"conflicts seen per process: {conflicts}"


# A profile hook sees every Python function that runs in the main thread, including those that
# the module's own C++ code calls. At each one it tries to take the model and the encoder
# exclusively (assigning an attribute its own value), which fails while a call holds either. A
# hook that raised would be uninstalled, so it catches everything, and a last Python call shows
# that it was still there. SciPy is imported before, as its import under the hook is slow (the
# threaded test covers the binding of BLAS/LAPACK).
PROFILED = """
    import sys
    import numpy as np
    import scipy.linalg.cython_blas, scipy.linalg.cython_lapack
    import _tallyfit as t

    x = np.column_stack([np.ones(40), np.arange(40.0) % 7])
    y = (np.arange(40) % 3 == 0).astype(float)
    model = t.{core}()
    model.coefficients = {{"a": 0.0, "b": 0.0}}
    encoder = t.Encoder()
    under_borrow = set()
    seen = []

    def hook(frame, event, arg):
        if event != "call":
            return
        seen.append(frame.f_code.co_name)
        for target, attribute in ((model, "coefficients"), (encoder, "column_mappings")):
            try:
                setattr(target, attribute, getattr(target, attribute))
            except Exception as error:
                under_borrow.add((frame.f_code.co_name, str(error)))

    def still_profiled():
        pass

    sys.setprofile(hook)
    try:
        {call}
    except TypeError as error:
        print("TypeError:", error)
    still_profiled()
    sys.setprofile(None)
    print(seen[-1], sorted(under_borrow))
"""


@pytest.mark.parametrize("core", [
    "LinearRegressionCore", "LogisticRegressionCore", "PenalizedLogisticRegressionCore",
])
@pytest.mark.parametrize("call, message", [
    # The first fit binds NumPy's C API.
    ("model.fit(x, y, ['a', 'b'], encoder)", None),
    # The first call that reads and makes arrays.
    ("model.predict(x, ['a', 'b'])", None),
    # The message names the dtype by NumPy's str(), which is Python code.
    ("model.fit(x.astype(np.float32), y, ['a', 'b'], encoder)",
     "TypeError: argument 'x_matrix': expected dtype float64, got float32"),
])
def test_no_python_code_runs_under_a_borrow(core, call, message):
    result = child_process.run_python(PROFILED.format(core=core, call=call), timeout=60)
    assert result.returncode == 0, result.stderr
    expected = ([message] if message else []) + ["still_profiled []"]
    assert result.stdout.splitlines() == expected


@pytest.mark.parametrize("core, penalties", [
    ("LogisticRegressionCore", ""),
    ("PenalizedLogisticRegressionCore",
     ", penalties=[_tallyfit.PenaltySpecification('b', None, 1.0)]"),
])
def test_ctrl_c_handler_runs_without_the_borrow(core, penalties):
    # A Python SIGINT handler reads the model the interrupted fit is using. The first Ctrl-C it
    # ignores, so the fit goes on; the second it turns into KeyboardInterrupt.
    child = child_process.start_python(f"""
        import signal
        import numpy as np
        import _tallyfit
        x = np.column_stack([np.ones(8), np.arange(8.0)])
        y = np.array([0.0, 0, 1, 0, 1, 0, 1, 1])
        model = _tallyfit.{core}()
        model.fit(x, y, ["a", "b"], _tallyfit.Encoder(){penalties})
        before = model.coefficients
        reads = []

        def handler(number, frame):
            try:
                reads.append(model.coefficients == before)
            except RuntimeError as error:
                reads.append(str(error))
            print("handled", flush=True)
            if len(reads) == 2:
                raise KeyboardInterrupt

        signal.signal(signal.SIGINT, handler)
        print("fitting", flush=True)
        try:
            model.fit(x, y, ["a", "b"], _tallyfit.Encoder(){penalties},
                      max_iterations=2**100, convergence_delta=-1.0)
        except KeyboardInterrupt:
            print("interrupted", reads, model.coefficients == before)
    """)
    # Lines are read one by one (communicate() would miss those that readline() buffered); a
    # child that hangs is killed, which ends the reads.
    watchdog = threading.Timer(30, child.kill)
    watchdog.start()
    try:
        lines = [child.stdout.readline()]
        for _ in range(2):
            time.sleep(0.2)
            child.send_signal(signal.SIGINT)
            lines.append(child.stdout.readline())
        lines.append(child.stdout.readline())
        child.wait()
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()
    assert lines == ["fitting\n", "handled\n", "handled\n", "interrupted [True, True] True\n"], (
        child.stderr.read()
    )
    assert child.returncode == 0
