"""Measurement, iteration counting and tables of the benchmarks."""
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

from iterations import NOT_CONVERGED, count_iterations  # noqa: E402
from measure import measure_call, measure_repeated  # noqa: E402
from rows import add_ratios, memory_goal_rows  # noqa: E402
from tables import markdown_table, ratio  # noqa: E402
from memory_tools import needs_plain_allocator  # noqa: E402

MB = 1_000_000
# The kernel's RSS counters are per-CPU and lag by up to a few hundred kB.
SLACK = MB


@needs_plain_allocator
@pytest.mark.parametrize("megabytes", [0, 40, 120])
def test_peak_memory_of_a_call(megabytes):
    measurement = measure_call(
        lambda: float(np.ones(megabytes * MB // 8).sum()))
    assert megabytes * MB - SLACK <= measurement.peak_extra_bytes \
        <= megabytes * MB + SLACK
    assert measurement.result == megabytes * MB // 8


@needs_plain_allocator
def test_heap_memory_freed_before_the_call_is_not_reused_unseen():
    # Blocks of 1 kB come from malloc's heap, which keeps freed pages
    # resident unless they are trimmed.
    freed = [bytearray(1000) for _ in range(100_000)]
    del freed
    measurement = measure_call(
        lambda: len([bytearray(1000) for _ in range(20_000)]))
    assert measurement.peak_extra_bytes >= 20 * MB - SLACK


def test_repeated_measurement_keeps_the_largest_peak():
    sizes = iter([5, 60, 5])
    measurement = measure_repeated(
        lambda: np.ones(next(sizes) * MB // 8).size, 3)
    assert measurement.peak_extra_bytes >= 60 * MB - SLACK
    assert measurement.result == 5 * MB // 8


def _fit_needing(iterations, calls):
    def fit(cap):
        calls.append(cap)
        if cap < iterations:
            raise ValueError(NOT_CONVERGED)
    return fit


@pytest.mark.parametrize("needed", [2, 3, 7, 25])
@pytest.mark.parametrize("estimate", [0, 2, 6, 7, 8, 40])
def test_count_iterations(needed, estimate):
    calls = []
    assert count_iterations(_fit_needing(needed, calls), estimate) == needed
    # A correct estimate is confirmed by one success and one failure.
    if estimate == needed > 2:
        assert calls == [needed, needed - 1]


def test_count_iterations_when_never_converging():
    assert count_iterations(_fit_needing(26, []), 5) is None


def test_count_iterations_passes_other_errors_on():
    def fit(cap):
        raise ValueError("Matrix inversion failed. The matrix may be "
                         "singular.")
    with pytest.raises(ValueError, match="singular"):
        count_iterations(fit, 5)


def test_ratios_skip_failed_fits():
    rows = [{"method": "ours", "seconds": 2.0},
            {"method": "floor", "seconds": 0.5},
            {"method": "peer", "seconds": 4.0},
            {"method": "broken", "seconds": None}]
    add_ratios(rows, "ours", "floor")
    assert [row.get("over_floor") for row in rows] == [4.0, 1.0, 8.0, None]
    assert [row.get("ours_over") for row in rows] == [1.0, 4.0, 0.5, None]


@pytest.mark.parametrize("peak, met", [(0, "yes"), (4 * 200**2 * 8, "yes"),
                                       (4 * 200**2 * 8 + 1_600_000, "NO")])
def test_memory_goal_allows_square_matrices(peak, met):
    rows = [{"method": "ours", "n": 10_000, "p": 200, "peak": peak},
            {"method": "peer", "n": 10_000, "p": 200, "peak": 10**9}]
    (goal,) = memory_goal_rows(rows, "ours", 1.0)
    assert goal["goal_met"] == met


def test_markdown_table():
    columns = [("name", "name", None), ("ratio", "value", ratio)]
    text = markdown_table(columns, [{"name": "a", "value": 1.234},
                                    {"name": "b"}])
    assert text.splitlines() == ["| name | ratio |", "|---|---:|",
                                 "| a | 1.23 |", "| b | — |"]
