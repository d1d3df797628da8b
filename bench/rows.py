"""Result rows shared by the benchmark sections."""
import numpy as np

from tables import megabytes, percent

# p x p matrices a fit may hold at once besides X: the cross product, its
# inverse and LAPACK's work array, with one to spare.
SQUARE_MATRIX_ALLOWANCE = 4

GOAL_COLUMNS = [
    ("n", "n", "{:,}".format), ("p", "p", str),
    ("ours: peak extra (MB)", "peak", megabytes),
    (f"{SQUARE_MATRIX_ALLOWANCE} p×p matrices (MB)", "allowance", megabytes),
    ("rest ÷ size of X", "rest_share", percent),
    ("rest in n-vectors", "rest_vectors", "{:.1f}".format),
    ("goal met", "goal_met", None),
]


def max_abs_difference(a, b):
    return float(np.max(np.abs(np.asarray(a) - np.asarray(b))))


def result_row(x, method, measurement):
    """Row with time and memory of one method on design matrix `x`."""
    return {
        "n": x.shape[0],
        "p": x.shape[1],
        "method": method,
        "seconds": measurement.seconds,
        "peak": measurement.peak_extra_bytes,
        "percent_of_x": 100.0 * measurement.peak_extra_bytes / x.nbytes,
    }


def add_ratios(rows, ours_method, floor_method):
    """Fills in each row's time over the floor's and ours over its time,
    where both times exist (a failed fit has none)."""
    times = {row["method"]: row.get("seconds") for row in rows}
    ours, floor = times.get(ours_method), times.get(floor_method)
    for row in rows:
        if row.get("seconds") is None:
            continue
        if floor:
            row["over_floor"] = row["seconds"] / floor
        if ours:
            row["ours_over"] = ours / row["seconds"]
    return rows


def memory_goal_rows(rows, ours_method, goal_percent):
    """Our peak extra memory beyond the p x p allowance, as a share of X."""
    goal_rows = []
    for row in rows:
        if row["method"] != ours_method or row.get("peak") is None:
            continue
        allowance = SQUARE_MATRIX_ALLOWANCE * row["p"] ** 2 * 8
        x_bytes = row["n"] * row["p"] * 8
        share = 100.0 * max(0, row["peak"] - allowance) / x_bytes
        goal_rows.append({
            "n": row["n"], "p": row["p"], "peak": row["peak"],
            "allowance": allowance, "rest_share": share,
            # Working vectors of length n (weights, probabilities, ...)
            # scale like X / p; a copy of X would show as p of them.
            "rest_vectors": max(0, row["peak"] - allowance) / (8 * row["n"]),
            "goal_met": "yes" if share < goal_percent else "NO",
        })
    return goal_rows
