"""Sandwich covariances at scale: tallyfit's vcov(type="HC1") and vcov(cluster=...) beside the
fit's own time, and statsmodels' get_robustcov_results on the same least-squares model.

    python bench/robust_bench.py [--rows 1000000] [--quick] [--repeats 3] [--clusters 5000]

Data: glm_data.simulated_frame (20 numeric columns, two string columns of 10 levels: 39
design columns) with a column `firm` of `clusters` integer cluster ids. Models: least
squares of log(amount), and the Poisson fit of glm_bench with its offset. tallyfit's
covariance is one pass over the fit's rows (in memory: the design rebuilt from the frame,
then the scores' crossproduct or their per-cluster sums), each timed call on a model whose
kept covariances were cleared. statsmodels' OLS is refitted (untimed) before each timed
get_robustcov_results, whose results keep what they computed. Writes bench/results/robust.md.
"""
import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
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


def with_clusters(frame: pd.DataFrame, clusters: int, rng: np.random.Generator) -> pd.DataFrame:
    frame["firm"] = rng.integers(0, clusters, size=len(frame))
    return frame


def covariance_call(model, **arguments):
    def call():
        model._sandwiches.clear()  # the model keeps each covariance it computed
        return model.vcov(**arguments)
    return call


def timed_peer(model, options, repeats):
    """statsmodels' get_robustcov_results on a fresh fit each time (untimed: the results
    keep the HC matrices they computed), through .bse (computed on first use)."""
    times, result = [], None
    for _ in range(repeats):
        fitted = model.fit()
        start = time.perf_counter()
        result = fitted.get_robustcov_results(**options)
        result.bse
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


def _statsmodels_errors(result) -> dict[str, float]:
    errors = {name.replace("[T.", "_").rstrip("]"): float(value)
              for name, value in zip(result.model.exog_names, result.bse)}
    errors["(Intercept)"] = errors.pop("Intercept")
    return errors


def error_gap(model, covariance, theirs: dict[str, float]) -> float:
    ours = dict(zip(model.column_names, np.sqrt(np.diag(covariance))))
    return max(abs(ours[name] - value) / value for name, value in theirs.items())


def run(rows: int, repeats: int, clusters: int, seed: int):
    rng = np.random.default_rng(seed)
    frame = with_clusters(simulated_frame(rows, rng), clusters, rng)
    firms = frame["firm"].to_numpy()
    table = []
    fits = {
        "lm  log(amount) ~ 39 columns": lambda: tf.lm(LINEAR_FORMULA, frame),
        "glm Poisson, offset(log(exposure))": lambda: tf.glm(POISSON_FORMULA, frame,
                                                             family="poisson"),
    }
    peer_model = smf.ols(PEER_LINEAR_FORMULA, frame)
    peer_options = {"HC1": {"cov_type": "HC1"},
                    "cluster": {"cov_type": "cluster", "groups": firms}}
    for label, fit in fits.items():
        fit_best, fit_median, model = timed(fit, repeats)
        for kind, arguments in (("HC1", {"type": "HC1"}), ("cluster", {"cluster": "firm"})):
            best, median, covariance = timed(covariance_call(model, **arguments), repeats)
            row = {"model": label, "covariance": f"{kind} ({clusters:,} clusters)"
                   if kind == "cluster" else kind,
                   "fit": fit_best, "ours": best, "ours median": median,
                   "share": best / fit_best}
            if label.startswith("lm"):
                peer_best, _, robust = timed_peer(peer_model, peer_options[kind], repeats)
                row.update({"peer": peer_best, "ratio": peer_best / best,
                            "gap": error_gap(model, covariance, _statsmodels_errors(robust))})
            table.append(row)
            print(f"{label}, {kind}: {best:.2f} s (fit {fit_best:.2f} s)", file=sys.stderr,
                  flush=True)
    return table


COLUMNS = [
    ("model", "model", None), ("covariance", "covariance", None),
    ("fit (s)", "fit", seconds), ("vcov min (s)", "ours", seconds),
    ("vcov median (s)", "ours median", seconds), ("vcov ÷ fit", "share", ratio),
    ("statsmodels get_robustcov_results (s)", "peer", seconds),
    ("statsmodels ÷ ours", "ratio", ratio), ("max rel Δ std. error", "gap", scientific),
]


def write(rows: int, repeats: int, clusters: int, seed: int, results_dir: Path) -> str:
    """Runs the benchmark, writes results_dir/robust.md and returns its text."""
    load_before = os.getloadavg()
    table = run(rows, repeats, clusters, seed)
    before, after = load_before, os.getloadavg()
    notes = [
        f"{rows:,} rows of glm_data's frame (39 design columns) and a column of {clusters:,} "
        f"cluster ids; `{LINEAR_FORMULA}` and `{POISSON_FORMULA}`",
        "fit: tf.lm / tf.glm from the frame; vcov: model.vcov(type='HC1') and "
        "model.vcov(cluster='firm') (clustered HC1: G/(G−1) · (n−1)/(n−k)), each a pass over "
        "the rows that rebuilds the design from the frame",
        f"time: minimum and median of {repeats} runs, all in this one process",
        "statsmodels: smf.ols(...) once, then per run .fit() (untimed) and "
        "get_robustcov_results('HC1') or ('cluster', groups=...) with .bse (timed); it has "
        "the design and residuals in memory already. "
        "max rel Δ std. error: the largest |ours − statsmodels| / statsmodels",
        f"load average (1, 5, 15 min) {before[0]:.2f}, {before[1]:.2f}, {before[2]:.2f} at the "
        f"start and {after[0]:.2f}, {after[1]:.2f}, {after[2]:.2f} at the end; the machine is "
        "shared with other jobs",
    ]
    return write_report(results_dir / "robust.md", "Sandwich covariances: HC1 and clustered",
                        ["Machine:", *machine_lines()], notes,
                        [markdown_table(COLUMNS, table)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="100,000 rows")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--clusters", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    args = parser.parse_args()
    started = time.perf_counter()
    rows = 100_000 if args.quick else args.rows
    print(write(rows, args.repeats, args.clusters, args.seed, args.results_dir))
    print(f"robust benchmark: {time.perf_counter() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
