"""Where a fit is, shown while it runs: the pass (the levels pass, the least-squares pass,
IRLS iteration k of at most m, ...), the batches or partitions done of the total where
known, rows per second and the change of the deviance; R's ``trace`` lines; and the place a
Ctrl-C stopped the fit.

The api makes one `FitProgress` per fit and hands it down: the solvers name the pass
(`stage`), the engines count what a pass has read (`step`), the IRLS loop reports the
deviance (`deviance`). Counting is a few attribute updates per pass or batch (never per
row), so a fit with the display off pays nothing it would notice; the display itself is a
tqdm bar (a terminal bar, or Jupyter's through ``tqdm.auto``; ``pip install
'tallyfit[progress]'``) or, without tqdm, one plain line per pass on stderr.

>>> import io
>>> out = io.StringIO()
>>> hook = FitProgress("lm", "stream", show=True, stream=out, bar=False)
>>> hook.stage("least-squares pass", total=2)
>>> hook.step(1000); hook.step(500)
>>> hook.where()
'least-squares pass, after its pass over 2 batches'
>>> hook.finish()
>>> print(out.getvalue(), end="")  # doctest: +ELLIPSIS
tallyfit lm (stream): least-squares pass: 2 of 2 batches, 1,500 rows, ... rows/s
"""

from __future__ import annotations

import contextlib
import math
import os
import sys
import time
from collections.abc import Iterator
from typing import IO, Any, Optional

from .errors import FitInterrupted

__all__ = ["FitProgress", "r_number", "wanted"]

#: Rows × columns above which an in-memory fit is expected to take more than about two
#: seconds (a few passes of the native kernels), so that progress=None shows it.
LARGE_FIT_CELLS = 50_000_000
#: Engines whose fits read their data pass by pass (the display is on for them by default).
PASSING_ENGINES = ("stream", "dask")


def wanted(progress: Optional[bool], engine: str, cells: float = 0.0) -> bool:
    """Whether to show progress: `progress` when given; for None, on for the stream and Dask
    engines and for large in-memory fits, off when $CI is set or stderr is not a terminal.

    >>> wanted(True, "memory"), wanted(False, "stream")
    (True, False)
    """
    if progress is not None:
        return bool(progress)
    if os.environ.get("CI") or not _is_terminal(sys.stderr):
        return False
    return engine in PASSING_ENGINES or cells > LARGE_FIT_CELLS


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):  # closed or replaced streams
        return False


def r_number(value: float, digits: int = 7) -> str:
    """A double as R's ``cat`` prints it: the fewest significant digits (at most `digits`)
    that give the value to `digits` digits, in fixed notation unless scientific is
    narrower (R's ``formatReal`` with scipen 0).

    >>> r_number(218.02579), r_number(10.0), r_number(0.00001234567891), r_number(1e15)
    ('218.0258', '10', '1.234568e-05', '1e+15')
    """
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Inf" if value > 0 else "-Inf"
    if value == 0.0:
        return "0"
    full = f"{value:.{digits - 1}e}"
    mantissa, exponent = full.split("e")
    power = int(exponent)
    significant = mantissa.replace("-", "").replace(".", "").rstrip("0") or "0"
    shown = len(significant)
    negative = 1 if value < 0 else 0
    decimals = max(0, shown - 1 - power)
    fixed_width = negative + max(1, power + 1) + (decimals + 1 if decimals else 0)
    exponent_digits = 3 if abs(power) >= 100 else 2
    scientific_width = negative + (shown + 1 if shown > 1 else 1) + 2 + exponent_digits
    if fixed_width <= scientific_width:
        return f"{value:.{decimals}f}"
    body = f"{value:.{shown - 1}e}".split("e")[0]
    return f"{body}e{'-' if power < 0 else '+'}{abs(power):0{exponent_digits}d}"


class FitProgress:
    """The state of one fit (its pass, the batches of that pass, the last deviances) and
    its display when shown. `unit` names what the engine's passes step over ("batch",
    "partition"); `trace` prints R's ``Deviance = ... Iterations - k`` lines to stdout."""

    def __init__(self, what: str, engine: str, show: bool = False, trace: bool = False,
                 stream: Optional[IO[str]] = None, bar: Optional[bool] = None) -> None:
        self.what, self.engine, self.show, self.trace = what, engine, show, trace
        self.unit = "partition" if engine == "dask" else "batch"
        self.prefix = ""
        self.name: Optional[str] = None
        self.total: Optional[int] = None
        self.done = 0
        self.rows = 0
        #: Whether the display is chosen by the size of the fit (progress=None).
        self.automatic = False
        self.started = 0.0
        self.last_deviance: Optional[float] = None
        self.change: Optional[float] = None
        self._held: Optional[list[str]] = None
        self._stream = stream
        self._bar: Any = None
        self._use_bar = bar

    @classmethod
    def for_fit(cls, what: str, engine: str, progress: Optional[bool],
                trace: bool = False) -> "FitProgress":
        """The hook of a fit of the api with its `progress=` argument (see `wanted`)."""
        if progress is not None and not isinstance(progress, bool):
            raise TypeError(f"progress must be None, True or False, not {progress!r}")
        if not isinstance(trace, bool):
            raise TypeError(f"trace must be True or False, not {trace!r}")
        hook = cls(what, engine, show=wanted(progress, engine), trace=trace)
        hook.automatic = progress is None
        return hook

    # ---- what the solvers and engines call ----------------------------------------------

    def measure(self, rows: int, columns: int) -> None:
        """The size of an in-memory design: with progress=None, a large fit is shown."""
        if self.automatic:
            self.show = wanted(None, self.engine, float(rows) * columns)

    def stage(self, name: str, total: Optional[int] = None) -> None:
        """A new pass begins (the previous one is shown as done)."""
        if self.show and self.name is not None:
            self._show_done()
        self.name, self.total, self.done, self.rows = self.prefix + name, total, 0, 0
        self.change = None
        if self.show:
            self.started = time.perf_counter()
            self._show_started()

    def expect(self, total: Optional[int]) -> None:
        """The number of batches or partitions of the current pass, once known."""
        self.total = total
        if self._bar is not None:
            self._reset_bar()

    def step(self, rows: int) -> None:
        """One batch or partition of the current pass (of `rows` rows) is done."""
        self.done += 1
        self.rows += rows
        if self._bar is not None:
            self._bar.set_postfix_str(self._postfix(counts=False), refresh=False)
            self._bar.update(1)

    def read(self, rows: int) -> None:
        """`rows` rows read by the current pass (in memory: no batches to count)."""
        self.rows += rows

    def passed(self, count: int, rows: int) -> None:
        """`count` parts of `rows` rows in all done at once (Dask's sum over partitions)."""
        self.done, self.rows = count, rows
        self.total = count

    def counted(self, blocks: Iterator[Any], rows_of: Any) -> Iterator[Any]:
        """The items of `blocks`, each counted as a step of `rows_of(item)` rows after the
        caller is done with it (a Ctrl-C names the one being worked on)."""
        for block in blocks:
            yield block
            self.step(rows_of(block))

    def deviance(self, value: float) -> None:
        """The deviance at the end of the current pass."""
        if self.last_deviance is not None:
            self.change = value - self.last_deviance
        self.last_deviance = value

    def iteration(self, k: int, deviance: float) -> None:
        """glm.fit's trace line of iteration `k` (before any step halving)."""
        self.deviance(deviance)
        if self.trace:
            self._trace(f"Deviance = {r_number(deviance)} Iterations - {k}")

    def halved(self, deviance: float) -> None:
        """glm.fit's trace line of a halved step, at the deviance after halving."""
        self.last_deviance = deviance
        if self.trace:
            self._trace(f"Step halved: new deviance = {r_number(deviance)}")

    def hold_trace(self) -> None:
        """Keeps the trace lines until `release_trace` (or drops them on `drop_trace`): an
        in-memory fit may run its loop again on the exact deviance."""
        self._held = []

    def drop_trace(self) -> None:
        if self._held is not None:
            self._held = []

    def release_trace(self) -> None:
        held, self._held = self._held, None
        for line in held or ():
            print(line, flush=True)

    def finish(self) -> None:
        if self.show and self.name is not None:
            self._show_done()
        self.name = None
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def where(self) -> str:
        """The pass the fit is in, for the message of an interrupted fit."""
        if self.name is None:
            return f"{self.what} before its first pass"
        place = f"{self.name}"
        if self.total and self.done >= self.total:  # between passes: solving, or showing
            place += f", after its pass over {self.total} {self._units()}"
        elif self.done or self.total:
            of = f" of {self.total}" if self.total else ""
            place += f", pass over {self.unit} {self.done + 1}{of}"
        return place

    def _units(self) -> str:
        return self.unit + ("es" if self.unit == "batch" else "s")

    @contextlib.contextmanager
    def running(self, first: Optional[str] = None) -> Iterator["FitProgress"]:
        """A part of the fit (from the pass `first`, when given): a Ctrl-C becomes
        FitInterrupted naming where it stopped, and the display is closed however the part
        ends."""
        try:
            if first is not None:
                self.stage(first)
            yield self
        except FitInterrupted:
            raise
        except KeyboardInterrupt:
            raise FitInterrupted(f"{self.what} interrupted in {self.where()}") from None
        finally:
            self.release_trace()  # the lines before an error, as R prints them
            self.finish()

    # ---- display --------------------------------------------------------------------------

    def _trace(self, line: str) -> None:
        if self._held is not None:
            self._held.append(line)
        else:
            print(line, flush=True)

    def _out(self) -> IO[str]:
        return self._stream if self._stream is not None else sys.stderr

    def _postfix(self, counts: bool = True) -> str:
        parts = []
        if counts and (self.done or self.total):
            of = f" of {self.total}" if self.total else ""
            parts.append(f"{self.done}{of} {self._units()}")
        if self.rows:
            elapsed = max(time.perf_counter() - self.started, 1e-9)
            parts.append(f"{self.rows:,} rows, {self.rows / elapsed:,.0f} rows/s")
        if self.change is not None:
            parts.append(f"deviance {self.last_deviance:.7g} (change {self.change:+.3g})")
        elif self.last_deviance is not None and self.name and "IRLS" in self.name:
            parts.append(f"deviance {self.last_deviance:.7g}")
        return ", ".join(parts)

    def _show_started(self) -> None:
        if self._use_bar is False:
            return
        if self._bar is None:
            tqdm = _tqdm()
            if tqdm is None:
                self._use_bar = False
                return
            self._bar = tqdm(total=None, desc=f"tallyfit {self.what}", file=self._out(),
                             leave=False, unit=self.unit, bar_format="{desc}")
        self._bar.set_description_str(f"tallyfit {self.what} ({self.engine}): {self.name}",
                                      refresh=False)
        self._reset_bar()

    def _reset_bar(self) -> None:
        """The bar of the current pass: of its batches or partitions where their number is
        known, their count where not (none in memory)."""
        if self.total:
            form = "{desc}: {percentage:3.0f}%|{bar:24}| {n_fmt}/{total_fmt}{postfix} [{elapsed}]"
        elif self.engine in PASSING_ENGINES:
            form = "{desc}: {n_fmt} " + self._units() + "{postfix} [{elapsed}]"
        else:  # tqdm puts ", " before a postfix
            form = "{desc}{postfix} [{elapsed}]"
        self._bar.bar_format = form
        self._bar.reset(total=self.total)
        self._bar.n = self.done
        self._bar.set_postfix_str(self._postfix(counts=False), refresh=True)

    def _show_done(self) -> None:
        line = f"tallyfit {self.what} ({self.engine}): {self.name}"
        postfix = self._postfix()
        if not postfix:  # a step with nothing to report (the scan of a schema, in memory)
            return
        if self._bar is not None:  # above the bar, which is drawn again below
            self._bar.write(f"{line}: {postfix}", file=self._out())
            return
        print(f"{line}: {postfix}", file=self._out(), flush=True)


def _tqdm() -> Any:
    """tqdm's bar for this display (Jupyter's where it runs there), or None without tqdm."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm
