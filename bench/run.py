"""Benchmarks of _tallyfit's fits against numpy, scikit-learn and statsmodels.

    python bench/run.py [--quick] [--sections ols logistic penalized front glm robust
                         diagnostics dask stream gram cardinality]

Writes bench/results/{ols,logistic,penalized}.md (rewritten after every
shape, so an interrupted run keeps what it measured) and prints them; the
front section (bench/front_bench.py: tf.lm and tf.glm on a data frame against
statsmodels' formula API) writes bench/results/front.md; the glm section
(bench/glm_bench.py: Poisson with an offset and Gamma(log) on 1e6 rows against
statsmodels' and glum's formula interfaces) writes bench/results/glm.md; the robust section
(bench/robust_bench.py: HC1 and clustered covariances on 1e6 rows against the fit's own time
and statsmodels' get_robustcov_results) writes bench/results/robust.md; the diagnostics
section (bench/diagnostics_bench.py: hatvalues, rstudent and predict's se_fit on 1e6 rows
against the fit's own time and statsmodels' hat_matrix_diag) writes
bench/results/diagnostics.md. The
full grid (n up to 1e6, p up to 200) needs about 20 minutes and 8 GB on two
idle cores; --quick stops at n = 1e5. The dask section (bench/dask_bench.py: 2e7 rows from
Parquet on a two-worker LocalCluster, 2e6 with --quick) runs first, in a process of its own,
and writes bench/results/dask.md. The stream section (bench/stream_bench.py: tf.glm streamed
from Parquet at 5e6, 1e7 and 2e7 rows against the in-memory fit and Dask; 1e6 and 2e6 with
--quick) runs next, in child processes of its own, and writes bench/results/stream.md. The gram
section (bench/gram_bench.py: OLS and the IRLS pass against NumPy's X.T @ X at p = 10, 39, 50
and 200, the spread of 7 runs, and the fits with one core kept busy, under
OPENBLAS_CORETYPE=Haswell and under the autodetected kernel) runs in child processes of its own
and writes bench/results/gram.md. The cardinality section (bench/cardinality_bench.py: logistic
and Poisson fits with a 1,000-level categorical on 1e6 rows against glum and tallyfit's own
dense design, with peak memory) runs in child processes too and writes
bench/results/cardinality.md.

OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, where set, slow current OpenBLAS
builds; each report records them. To measure without them, unset both for
that one command: env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE make bench
"""
import argparse
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import front_bench
import glm_bench
import logistic_bench
import ols_bench
import penalized_bench
import robust_bench
import diagnostics_bench
from machine_info import machine_lines
from measure import METHOD
from report import write_report
from simulated_data import binary_response, design_matrix, linear_response

FULL_N = [10_000, 100_000, 1_000_000]
QUICK_N = [10_000, 100_000]
P_VALUES = [10, 50, 200]
WARM_UP_SHAPE = (2_000, 10)
RESULTS_DIR = Path(__file__).resolve().parent / "results"

TIMING_NOTE = ("time: median of 5 runs for n <= 1e4, 3 for n <= 1e5, 1 above; "
               "all methods run in this one process on the same arrays")
RATIO_NOTE = ("÷ floor: this method's time over the floor's; ours ÷ this: "
              "our time over this method's (below 1 means ours is faster)")


def repeats_for(n):
    return 5 if n <= 10_000 else 3 if n <= 100_000 else 1


def sections(c):
    """name -> (title, notes, runner(x, y_linear, y_binary, repeats),
    module with tables())"""
    return {
        "ols": (
            "Least squares", [
                TIMING_NOTE, METHOD, RATIO_NOTE,
                "floor: numpy computing X'X, X'y, inv(X'X) and their "
                "product on the same arrays",
                "goal: ours under 1% of X's size beyond p×p matrices"],
            lambda x, yl, yb, r: ols_bench.run(x, yl, r), ols_bench),
        "logistic": (
            "Logistic regression", [
                TIMING_NOTE, METHOD, RATIO_NOTE,
                " ".join(logistic_bench.__doc__.split("\n\n")[1].split()),
                "iterations of ours: the smallest max_iterations under which "
                "the same fit converges (found by refitting, not timed)",
                "floor: numpy's X'X once, times our iteration count",
                "simulated data: x ~ N(0, 1) plus an intercept column, "
                "P(y = 1) = logistic(x'b) with b ~ N(0, 1/p): not separable",
                "goal: ours under 5% of X's size beyond p×p matrices"],
            lambda x, yl, yb, r: logistic_bench.run(x, yb, r),
            logistic_bench),
        "penalized": (
            "Ridge-penalized logistic regression", [
                TIMING_NOTE, METHOD,
                f"C = {c:g} for scikit-learn, lambda = 1/C = {1 / c:g} on "
                "every column but the intercept for ours: the same objective",
                "data as in the logistic benchmark",
                "goal: ours under 5% of X's size beyond p×p matrices"],
            lambda x, yl, yb, r: penalized_bench.run(x, yb, r, c),
            penalized_bench),
    }


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="stop at n = 1e5 (a few minutes)")
    parser.add_argument("--sections", nargs="+",
                        choices=["ols", "logistic", "penalized", "front", "glm", "robust",
                                 "diagnostics", "dask", "stream", "gram", "cardinality"],
                        default=["ols", "logistic", "penalized", "front", "glm", "robust",
                                 "diagnostics", "dask", "stream", "gram", "cardinality"])
    parser.add_argument("--C", type=float, default=0.01, dest="c",
                        help="inverse ridge strength (default 0.01)")
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    return parser.parse_args()


def simulate(n, p, rng):
    x = design_matrix(n, p, rng)
    return x, linear_response(x, rng), binary_response(x, rng)


def run_dask_section(args):
    """The Dask benchmark in a process of its own (its memory is measured per process)."""
    command = [sys.executable, str(Path(__file__).resolve().parent / "dask_bench.py"),
               "--results", str(args.results_dir / "dask.md")]
    if args.quick:
        command += ["--rows", "2000000", "--partition-rows", "250000",
                    "--scaling", "500000", "1000000"]
    subprocess.run(command, check=True)


def run_stream_section(args):
    """The stream benchmark; it runs every fit in a child process of its own."""
    command = [sys.executable, str(Path(__file__).resolve().parent / "stream_bench.py"),
               "--results", str(args.results_dir / "stream.md")]
    if args.quick:
        command += ["--rows", "1000000", "2000000"]
    subprocess.run(command, check=True)


def run_child_section(args, script, report, quick):
    """A section that runs once per BLAS setting in child processes of its own; `quick`: its
    arguments under --quick."""
    command = [sys.executable, str(Path(__file__).resolve().parent / script),
               "--results", str(args.results_dir / report)]
    if args.quick:
        command += quick
    subprocess.run(command, check=True)


def run_gram_section(args):
    """The Gram kernel's benchmark."""
    run_child_section(args, "gram_bench.py", "gram.md", ["--n", "100000"])


def run_cardinality_section(args):
    """The 1,000-level categorical against glum."""
    run_child_section(args, "cardinality_bench.py", "cardinality.md", ["--rows", "100000"])


def main():
    args = parse_arguments()
    for name, run_section in (("dask", run_dask_section), ("stream", run_stream_section),
                              ("gram", run_gram_section),
                              ("cardinality", run_cardinality_section)):
        if name in args.sections:
            run_section(args)
            args.sections = [other for other in args.sections if other != name]
    if not args.sections:
        return
    chosen = {name: spec for name, spec in sections(args.c).items()
              if name in args.sections}
    rng = np.random.default_rng(args.seed)

    # Thread pools, lazy imports and allocator arenas start on first use.
    warm_up = simulate(*WARM_UP_SHAPE, rng)
    for _, _, runner, _ in chosen.values():
        runner(*warm_up, 1)
    machine = ["Machine:", *machine_lines()]

    rows = {name: [] for name in chosen}
    texts = {}
    for n in (QUICK_N if args.quick else FULL_N) if chosen else []:
        for p in P_VALUES:
            started = time.perf_counter()
            x, y_linear, y_binary = simulate(n, p, rng)
            for name, (title, notes, runner, module) in chosen.items():
                rows[name] += runner(x, y_linear, y_binary, repeats_for(n))
                texts[name] = write_report(
                    args.results_dir / f"{name}.md", title, machine, notes,
                    module.tables(rows[name]))
            del x, y_linear, y_binary
            print(f"n={n:,} p={p}: {time.perf_counter() - started:.1f} s",
                  file=sys.stderr, flush=True)
    if "front" in args.sections:
        texts["front"] = front_bench.write(
            QUICK_N[-1] if args.quick else FULL_N[-1], 3, 2, args.seed,
            args.results_dir)
    if "glm" in args.sections:
        texts["glm"] = glm_bench.write(
            QUICK_N[-1] if args.quick else FULL_N[-1], 3, 2, args.seed, args.results_dir)
    if "robust" in args.sections:
        texts["robust"] = robust_bench.write(
            QUICK_N[-1] if args.quick else FULL_N[-1], 3, 5000, args.seed, args.results_dir)
    if "diagnostics" in args.sections:
        texts["diagnostics"] = diagnostics_bench.write(
            QUICK_N[-1] if args.quick else FULL_N[-1], 3, args.seed, args.results_dir)
    print("\n\n".join(texts.values()))


if __name__ == "__main__":
    main()
