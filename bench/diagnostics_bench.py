"""Regression diagnostics at scale: tallyfit's hatvalues(), rstudent() and
predict(se_fit=True) beside the fit's own time, and statsmodels' influence measures of the
same least-squares model.

    python bench/diagnostics_bench.py [--rows 1000000] [--quick] [--repeats 3]

Data: glm_data.simulated_frame (20 numeric columns, two string columns of 10 levels: 39
design columns). Models: least squares of log(amount), and the Poisson fit of glm_bench with
its offset. tallyfit's leverages are one pass over the fit's rows (the design rebuilt from
the frame, then the Cholesky factor of XᵀWX solved a block of rows at a time); each timed
call is on a model whose kept influence measures were cleared. statsmodels' OLS is refitted
(untimed) before each timed get_influence().hat_matrix_diag. Writes
bench/results/diagnostics.md.
"""
import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import statsmodels.formula.api as smf

import tallyfit as tf
from glm_data import POISSON_FORMULA, PREDICTORS, simulated_frame
from machine_info import machine_lines
from measure import timed
from report import write_report
from tables import markdown_table, ratio, scientific, seconds

RESULTS_DIR = Path(__file__).resolve().parent / "results"
LINEAR_FORMULA = f"log(amount) ~ {PREDICTORS}"
PEER_LINEAR_FORMULA = f"np.log(amount) ~ {PREDICTORS}"


def fresh(model, method, *arguments, **options):
    def call():
        model.__dict__.pop("_influence", None)  # the model keeps what it computed
        return getattr(model, method)(*arguments, **options)
    return call


def timed_peer(model, repeats):
    """statsmodels' leverages of a fresh fit each time (the fit untimed)."""
    times, result = [], None
    for _ in range(repeats):
        fitted = model.fit()
        start = time.perf_counter()
        result = np.asarray(fitted.get_influence().hat_matrix_diag)
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


def run(rows: int, repeats: int, seed: int):
    rng = np.random.default_rng(seed)
    frame = simulated_frame(rows, rng)
    fits = {
        "lm  log(amount) ~ 39 columns": lambda: tf.lm(LINEAR_FORMULA, frame),
        "glm Poisson, offset(log(exposure))": lambda: tf.glm(POISSON_FORMULA, frame,
                                                             family="poisson"),
    }
    table = []
    for label, fit in fits.items():
        fit_best, _, model = timed(fit, repeats)
        for what, call in (("hatvalues()", fresh(model, "hatvalues")),
                           ("rstudent()", fresh(model, "rstudent")),
                           ("predict(se_fit=True)", fresh(model, "predict", frame,
                                                          se_fit=True))):
            best, median, result = timed(call, repeats)
            row = {"model": label, "measure": what, "fit": fit_best, "ours": best,
                   "ours median": median, "share": best / fit_best}
            if label.startswith("lm") and what == "hatvalues()":
                peer_best, _, theirs = timed_peer(smf.ols(PEER_LINEAR_FORMULA, frame), repeats)
                row.update({"peer": peer_best, "ratio": peer_best / best,
                            "gap": float(np.max(np.abs(result - theirs) / theirs))})
            table.append(row)
            print(f"{label}, {what}: {best:.2f} s (fit {fit_best:.2f} s)", file=sys.stderr,
                  flush=True)
    return table


COLUMNS = [
    ("model", "model", None), ("measure", "measure", None),
    ("fit (s)", "fit", seconds), ("ours min (s)", "ours", seconds),
    ("ours median (s)", "ours median", seconds), ("ours ÷ fit", "share", ratio),
    ("statsmodels hat_matrix_diag (s)", "peer", seconds),
    ("statsmodels ÷ ours", "ratio", ratio), ("max rel Δ leverage", "gap", scientific),
]


def write(rows: int, repeats: int, seed: int, results_dir: Path) -> str:
    """Runs the benchmark, writes results_dir/diagnostics.md and returns its text."""
    before = os.getloadavg()
    table = run(rows, repeats, seed)
    after = os.getloadavg()
    notes = [
        f"{rows:,} rows of glm_data's frame (39 design columns); `{LINEAR_FORMULA}` and "
        f"`{POISSON_FORMULA}`",
        "fit: tf.lm / tf.glm from the frame; hatvalues and rstudent each rebuild the design "
        "from the frame (their kept results cleared before every run); predict(se_fit=True) "
        "builds the design of the frame given",
        f"time: minimum and median of {repeats} runs, all in this one process",
        "statsmodels: smf.ols(...) once, then per run .fit() (untimed) and "
        "get_influence().hat_matrix_diag (timed); it has the design in memory already. "
        "max rel Δ leverage: the largest |ours − statsmodels| / statsmodels",
        f"load average (1, 5, 15 min) {before[0]:.2f}, {before[1]:.2f}, {before[2]:.2f} at the "
        f"start and {after[0]:.2f}, {after[1]:.2f}, {after[2]:.2f} at the end; the machine is "
        "shared with other jobs",
    ]
    return write_report(results_dir / "diagnostics.md",
                        "Diagnostics: leverages, studentized residuals, se.fit",
                        ["Machine:", *machine_lines()], notes,
                        [markdown_table(COLUMNS, table)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="100,000 rows")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    args = parser.parse_args()
    started = time.perf_counter()
    rows = 100_000 if args.quick else args.rows
    print(write(rows, args.repeats, args.seed, args.results_dir))
    print(f"diagnostics benchmark: {time.perf_counter() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
