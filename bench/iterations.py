"""Iteration counts of our logistic fits.

A fit reports only success or "Algorithm failed to converge", so its
iteration count is the smallest `max_iterations` under which it still
succeeds. A cap of 1 never succeeds: the first change of the log-likelihood
is infinite.
"""
import time

from measure import measure_repeated

NOT_CONVERGED = "Algorithm failed to converge"
DEFAULT_CAP = 25


def converges_within(fit, cap):
    """`fit(cap)` fits with max_iterations=cap; True when it converged."""
    try:
        fit(cap)
    except ValueError as error:
        if str(error) != NOT_CONVERGED:
            raise
        return False
    return True


def count_iterations(fit, estimate):
    """Smallest cap <= DEFAULT_CAP under which `fit` converges, or None.

    Starting from a good `estimate` (e.g. full-fit time over one-iteration
    time) the answer is confirmed with about two fits; a poor one costs a
    fit per step of distance.
    """
    cap = min(max(estimate, 2), DEFAULT_CAP)
    if converges_within(fit, cap):
        while cap > 2 and converges_within(fit, cap - 1):
            cap -= 1
        return cap
    while cap < DEFAULT_CAP:
        cap += 1
        if converges_within(fit, cap):
            return cap
    return None


def measure_with_iterations(fit, repeats):
    """Measures `fit()` at the default cap, then counts its iterations.

    Returns (measurement, iterations); a fit that does not converge raises
    its ValueError from the first measured call.
    """
    measurement = measure_repeated(fit, repeats)
    start = time.perf_counter()
    converges_within(fit, 1)
    one_iteration = time.perf_counter() - start
    estimate = round(measurement.seconds / max(one_iteration, 1e-9))
    return measurement, count_iterations(fit, estimate)
