"""Runs one logistic fit method on a design matrix and makes its table row."""
import warnings

from iterations import measure_with_iterations
from measure import measure_repeated
from rows import max_abs_difference, result_row


def _warning_note(caught):
    names = sorted({warning.category.__name__ for warning in caught})
    return ", ".join(names) if names else None


def ours_row(x, method, fit, repeats):
    """`fit(cap=...)` returns our coefficients in column order."""
    try:
        measurement, iterations = measure_with_iterations(fit, repeats)
    except ValueError as error:
        return {"n": x.shape[0], "p": x.shape[1], "method": method,
                "note": f"failed: {error}"}, None
    row = result_row(x, method, measurement)
    row["iterations"] = iterations
    if iterations:
        row["per_iteration"] = measurement.seconds / iterations
    return row, measurement.result


def peer_row(x, method, fit, repeats, ours_beta):
    """`fit()` returns (coefficients in column order, iteration count)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        measurement = measure_repeated(fit, repeats)
    beta, iterations = measurement.result
    row = result_row(x, method, measurement)
    row["iterations"] = int(iterations)
    row["per_iteration"] = measurement.seconds / max(int(iterations), 1)
    row["note"] = _warning_note(caught)
    if ours_beta is not None:
        row["difference"] = max_abs_difference(beta, ours_beta)
    return row
