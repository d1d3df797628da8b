"""Logistic regression on a Dask DataFrame read from Parquet, on a two-worker LocalCluster,
beside the in-memory fit of the same data and dask-ml's Newton solver.

    python bench/dask_bench.py [--rows 20000000] [--scaling 5000000 10000000]

Writes bench/results/dask.md and prints it. The data (n rows: an intercept-free frame of
`--columns - 1` standard normal predictors and a 0/1 response) are written once to Parquet
files of `--partition-rows` rows in `--data-dir`.

Measured:
- the in-memory fit (`tf.glm` on the pandas frame, read before timing) and the Dask fit of the
  same data (`tf.glm` on the frame persisted on the workers, so the read is excluded too):
  time, coefficients side by side;
- the Dask fit that streams from Parquet (nothing persisted, every pass reads the files again):
  time and the peak resident memory of each worker above its resident memory before the fit;
- dask-ml's LogisticRegression(solver="newton") on the same cluster, its arrays persisted;
- for the scaling of n: the streaming fit on the first n rows' files for each size of
  `--scaling` and the full n.
"""
from __future__ import annotations

import argparse
import gc
import sys
import time
from pathlib import Path

import numpy as np

import measure  # this script's folder is first on sys.path
from front_bench import fastest as timed

BENCH_DIR = Path(__file__).resolve().parent
RESULTS_DIR = BENCH_DIR / "results"
SEED = 20240601
SCALING_NOTE = (
    "An n beyond the workers' memory streams: every pass reads the Parquet files and builds "
    "the design blocks again, with memory for a few partitions per worker (the peak column). "
    "A run at 3× this machine's free memory (about 3.5e8 rows of 21 float64 columns, 60 GB) "
    "did not fit the disk and time of a benchmark run; its cost follows from the time per "
    "row above, which stays roughly flat over the three sizes: n × (ns per row).")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--columns", type=int, default=20,
                        help="data columns: the response and columns - 1 predictors")
    parser.add_argument("--partition-rows", type=int, default=500_000)
    parser.add_argument("--scaling", type=int, nargs="*", default=[5_000_000, 10_000_000],
                        help="smaller n for the scaling table (multiples of partition-rows)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--data-dir", type=Path, default=Path("/tmp/tallyfit-dask-bench"))
    parser.add_argument("--results", type=Path, default=RESULTS_DIR / "dask.md")
    parser.add_argument("--skip-dask-ml", action="store_true")
    return parser.parse_args()


# ---- Data -----------------------------------------------------------------------------------


def predictor_names(columns):
    return [f"x{j}" for j in range(1, columns)]


def write_parquet(directory, rows, columns, partition_rows):
    """Writes the data once (kept between runs when the shape matches)."""
    import pandas as pd

    stamp = directory / f"done-{rows}-{columns}-{partition_rows}"
    if stamp.exists():
        return
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("*"):
        old.unlink()
    rng = np.random.default_rng(SEED)
    beta = rng.normal(size=columns) / np.sqrt(columns)
    names = predictor_names(columns)
    for index, first in enumerate(range(0, rows, partition_rows)):
        count = min(partition_rows, rows - first)
        x = rng.standard_normal((count, columns - 1))
        eta = beta[0] + x @ beta[1:]
        y = (rng.random(count) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
        frame = pd.DataFrame(x, columns=names)
        frame["y"] = y
        frame.to_parquet(directory / f"part.{index:05d}.parquet", index=False)
    stamp.touch()


def parquet_files(directory, rows, partition_rows):
    files = sorted(directory.glob("part.*.parquet"))
    return [str(path) for path in files[:-(-rows // partition_rows)]]


# ---- Memory ---------------------------------------------------------------------------------


def reset_peak():
    """Resets this process's resident high-water mark; returns its resident memory."""
    measure._reset_high_water_mark()
    return measure._status_bytes("VmRSS")


def peak():
    return measure._status_bytes("VmHWM")


def affordable_rows(rows, columns, partition_rows):
    """`rows`, or fewer when this machine's available memory cannot hold the in-memory fit
    (frame and design matrix) or the cluster's persisted frame, design blocks and dask-ml
    arrays (about three copies of the data) with a quarter to spare."""
    with open("/proc/meminfo", encoding="ascii") as info:
        available = next(int(line.split()[1]) * 1024 for line in info
                         if line.startswith("MemAvailable:"))
    fitting = int(0.75 * available / (3 * columns * 8))
    return min(rows, max(partition_rows, fitting // partition_rows * partition_rows))


# ---- Fits -----------------------------------------------------------------------------------


def coefficient_vector(model, names):
    return np.array([model.coefficients[name] for name in names])


def in_memory_fit(files, formula, names, repeats):
    import pandas as pd

    import tallyfit as tf

    frame = pd.concat([pd.read_parquet(path) for path in files], ignore_index=True)
    seconds, model = timed(lambda: tf.glm(formula, frame), repeats)
    coefficients = coefficient_vector(model, names)
    # The peak of one fit with no earlier model alive: a model keeps its design (as R's glm
    # keeps its QR), and the timing loop holds the last one while it runs the next fit.
    del model
    gc.collect()
    extra = measure.measure_call(lambda: tf.glm(formula, frame)).peak_extra_bytes
    del frame
    gc.collect()
    return seconds, coefficients, extra


def worker_peaks(client, function):
    """Runs function() on the client; returns its result and each worker's peak resident
    memory above its resident memory before the call."""
    before = client.run(reset_peak)
    result = function()
    after = client.run(peak)
    return result, {worker: after[worker] - before[worker] for worker in before}


def dask_ml_fit(frame, names, repeats):
    """dask-ml's Newton solver on X and y taken from the persisted frame: the minimum time of
    the fit alone, the time of making the arrays (their lengths, a pass) and the
    coefficients."""
    from dask_ml.linear_model import LogisticRegression
    from distributed import wait

    started = time.perf_counter()
    x = frame[names[1:]].to_dask_array(lengths=True).persist()
    y = frame["y"].to_dask_array(lengths=True).persist()
    wait([x, y])
    preparation = time.perf_counter() - started

    def fit():
        estimator = LogisticRegression(solver="newton", fit_intercept=True, tol=1e-8,
                                       max_iter=100)
        estimator.fit(x, y)
        return estimator

    seconds, estimator = timed(fit, repeats)
    coefficients = np.concatenate([[estimator.intercept_], np.ravel(estimator.coef_)])
    del x, y
    return seconds, preparation, coefficients


# ---- Report ---------------------------------------------------------------------------------


def main():
    args = parse_arguments()
    sys.path.insert(0, str(BENCH_DIR))
    import dask.dataframe as dd
    from distributed import Client, LocalCluster, wait

    import tallyfit as tf
    import tallyfit.dask as tfd
    from machine_info import machine_lines
    from report import write_report
    from tables import markdown_table, megabytes, ratio, scientific, seconds

    requested = args.rows
    args.rows = affordable_rows(args.rows, args.columns, args.partition_rows)
    args.scaling = [n for n in args.scaling if n < args.rows]
    predictors = predictor_names(args.columns)
    formula = "y ~ " + " + ".join(predictors)
    names = ["(Intercept)", *predictors]
    started = time.perf_counter()
    write_parquet(args.data_dir, args.rows, args.columns, args.partition_rows)
    print(f"data: {time.perf_counter() - started:.1f} s", file=sys.stderr, flush=True)
    files = parquet_files(args.data_dir, args.rows, args.partition_rows)
    partition_bytes = args.partition_rows * args.columns * 8
    x_bytes = args.rows * args.columns * 8

    rows, notes = [], []
    memory_seconds, memory_beta, memory_extra = in_memory_fit(files, formula, names,
                                                               args.repeats)
    rows.append({"method": "tf.glm on the pandas frame (in memory)",
                 "seconds": memory_seconds, "peak": memory_extra})
    print(f"in memory: {memory_seconds:.2f} s", file=sys.stderr, flush=True)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # The memory probes of measure.py, on the workers too.
        client.run(sys.path.insert, 0, str(BENCH_DIR))
        # Warm-up: imports and allocator arenas of the workers, on the smallest subset.
        tf.glm(formula, dd.read_parquet(parquet_files(args.data_dir, args.partition_rows,
                                                      args.partition_rows)))
        # Streaming: nothing persisted; every pass reads the Parquet files again.
        share = tfd.PERSIST_SHARE
        tfd.PERSIST_SHARE = 0.0
        streaming = {}
        for n in [*args.scaling, args.rows]:
            subset = parquet_files(args.data_dir, n, args.partition_rows)
            frame = dd.read_parquet(subset)
            seconds_peaks = []
            model = None
            for _ in range(1):  # minutes per run at the full n: one run each
                t0 = time.perf_counter()
                model, peaks = worker_peaks(client, lambda: tf.glm(formula, frame))
                seconds_peaks.append((time.perf_counter() - t0, max(peaks.values())))
            streaming[n] = (min(s for s, _ in seconds_peaks), max(p for _, p in seconds_peaks),
                            model.dask_fit["iterations"])
            print(f"streaming n={n:,}: {streaming[n][0]:.2f} s", file=sys.stderr, flush=True)
        stream_beta = coefficient_vector(model, names)
        tfd.PERSIST_SHARE = share

        frame = dd.read_parquet(files).persist()
        wait(frame)
        dask_seconds, model = timed(lambda: tf.glm(formula, frame), args.repeats)
        dask_beta = coefficient_vector(model, names)
        print(f"dask persisted: {dask_seconds:.2f} s", file=sys.stderr, flush=True)
        rows.append({"method": "tf.glm on the Dask frame, persisted on the workers",
                     "seconds": dask_seconds, "over_memory": dask_seconds / memory_seconds,
                     "difference": _relative(dask_beta, memory_beta)})
        stream_seconds, stream_peak, iterations = streaming[args.rows]
        rows.append({"method": "tf.glm on the Dask frame, streaming from Parquet",
                     "seconds": stream_seconds, "over_memory": stream_seconds / memory_seconds,
                     "peak": stream_peak, "difference": _relative(stream_beta, memory_beta)})
        ml_beta = None
        if not args.skip_dask_ml:
            ml_seconds, ml_arrays, ml_beta = dask_ml_fit(frame, names,
                                                         max(1, args.repeats - 1))
            print(f"dask-ml: {ml_seconds:.2f} s + {ml_arrays:.2f} s", file=sys.stderr,
                  flush=True)
            rows.append({"method": "dask-ml LogisticRegression(solver=\"newton\"), fit alone",
                         "seconds": ml_seconds, "over_memory": ml_seconds / memory_seconds,
                         "ours_over": dask_seconds / ml_seconds,
                         "difference": _relative(ml_beta, memory_beta)})
            total = ml_seconds + ml_arrays
            rows.append({"method": "dask-ml, with its X and y made from the same frame",
                         "seconds": total, "over_memory": total / memory_seconds,
                         "ours_over": dask_seconds / total})
        del frame
        machine = ["Machine:", *machine_lines(),
                   f"- cluster: LocalCluster, 2 worker processes × 1 thread, memory limit "
                   f"{cluster.workers[0].memory_manager.memory_limit / 2**30:.1f} GiB each"]

    columns = [("method", "method", None), ("time (s)", "seconds", seconds),
               ("÷ in memory", "over_memory", ratio), ("ours ÷ this", "ours_over", ratio),
               ("peak per worker (MB)", "peak", megabytes),
               ("max rel. Δβ vs in memory", "difference", scientific)]
    main_table = markdown_table(columns, rows)
    beta_rows = [{"name": name, "memory": memory_beta[j], "dask": dask_beta[j],
                  "ml": None if ml_beta is None else ml_beta[j]}
                 for j, name in enumerate(names)]
    full = "{:.10g}".format
    beta_table = markdown_table([("coefficient", "name", None), ("in memory", "memory", full),
                                 ("tallyfit on Dask", "dask", full),
                                 ("dask-ml newton", "ml", full)], beta_rows)
    scaling_rows = [{"n": n, "seconds": s, "iterations": it, "per_row": s / n * 1e9,
                     "peak": p, "data": n * args.columns * 8}
                    for n, (s, p, it) in sorted(streaming.items())]
    scaling_table = markdown_table(
        [("n", "n", "{:,}".format), ("Parquet → fit (s)", "seconds", seconds),
         ("iterations", "iterations", str), ("ns per row", "per_row", "{:.1f}".format),
         ("size of X (MB)", "data", megabytes), ("peak per worker (MB)", "peak", megabytes)],
        scaling_rows)
    if args.rows < requested:
        notes.append(f"n scaled down from {requested:,} to {args.rows:,}: the memory available "
                     "when the run started (other work shares this machine) holds no more")
    notes += [
        f"data: n = {args.rows:,} rows, {args.columns - 1} standard normal predictors and a "
        f"0/1 response from a logistic model; {len(files)} Parquet files of "
        f"{args.partition_rows:,} rows ({megabytes(partition_bytes)} MB of float64 each); "
        f"formula `{formula.split(' + ')[0]} + … + x{args.columns - 1}`, p = {args.columns}",
        f"time: minimum of {args.repeats} fits (in memory, persisted on Dask), of "
        f"{max(1, args.repeats - 1)} (dask-ml), one fit (streaming); the read is excluded from the in-memory and the "
        "persisted Dask fits (the pandas frame is read and the Dask frame persisted before the "
        "clock starts); the streaming fit includes reading the files on every pass",
        "÷ in memory: this time over the in-memory fit's; ours ÷ this: the persisted Dask "
        "fit's time over this one's (below 1: ours is faster)",
        "peak per worker: the largest rise of a worker's resident memory (VmHWM, reset before "
        "the fit) during the fit; in memory: the same for this process, over one more fit "
        "with no earlier model alive (a model keeps its design). "
        f"For scale: one partition's float64 block is {megabytes(partition_bytes)} MB, the "
        f"whole X {megabytes(x_bytes)} MB",
        "dask-ml: LogisticRegression(solver=\"newton\", tol=1e-8, fit_intercept=True), which "
        "is unpenalized (its Newton solver ignores the penalty), on X and y as Dask arrays "
        "persisted on the same workers; 'with its X and y' adds the one-time making of those "
        "arrays from the persisted frame (to_dask_array(lengths=True), persisted), the "
        "counterpart of the design blocks that our time includes",
    ]
    text = write_report(args.results, "Logistic regression on Dask", machine, notes,
                        [main_table, "Coefficients:\n\n" + beta_table,
                         "Streaming from Parquet, by n (the scaling of an n that does not "
                         "fit in memory):\n\n" + scaling_table + "\n\n" + SCALING_NOTE])
    print(text)


def _relative(values, reference):
    return float(np.max(np.abs(values - reference) / np.maximum(np.abs(reference), 1e-300)))


if __name__ == "__main__":
    main()
