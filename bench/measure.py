"""Wall time and peak extra resident memory of single calls.

The kernel's resident-set high-water mark (VmHWM) is reset through
/proc/self/clear_refs right before each call, so its value after the call is
the peak RSS during the call. The fitting calls hold the interpreter lock
throughout, which rules out sampling from a Python thread.
"""
import ctypes
import ctypes.util
import gc
import statistics
import time
from dataclasses import dataclass

METHOD = ("peak extra memory = VmHWM after the call - VmRSS before it; VmHWM "
          "is reset via /proc/self/clear_refs after gc.collect() and "
          "malloc_trim(0), so freed heap pages are not reused unseen; "
          "resolution about 0.5 MB, as the kernel's RSS counters are "
          "per-CPU approximations")

_libc = ctypes.CDLL(ctypes.util.find_library("c"))


@dataclass
class Measurement:
    seconds: float
    peak_extra_bytes: int
    result: object


def _status_bytes(field):
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"/proc/self/status has no {field}")


def _reset_high_water_mark():
    gc.collect()
    _libc.malloc_trim(0)
    with open("/proc/self/clear_refs", "w", encoding="ascii") as refs:
        refs.write("5")


def measure_call(function):
    """Runs `function()` once; returns its time, peak extra RSS and result."""
    _reset_high_water_mark()
    before = _status_bytes("VmRSS")
    start = time.perf_counter()
    result = function()
    seconds = time.perf_counter() - start
    peak = _status_bytes("VmHWM")
    return Measurement(seconds, max(0, peak - before), result)


def timed(function, repeats):
    """`repeats` timed calls, each doing its full work: (min, median, last result)."""
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


def measure_repeated(function, repeats):
    """Median time and largest peak of `repeats` calls, last result."""
    runs = [measure_call(function) for _ in range(repeats)]
    return Measurement(statistics.median(run.seconds for run in runs),
                       max(run.peak_extra_bytes for run in runs),
                       runs[-1].result)
