"""Logistic regression streamed from Parquet on one machine, beside the in-memory fit of the
same files (read included) and the Dask fit that streams them on a two-worker LocalCluster.

    python bench/stream_bench.py [--rows 5000000 10000000 20000000] [--skip-dask]

Writes bench/results/stream.md and prints it. The data (the largest n: `--columns - 1`
standard normal predictors and a 0/1 response) are written once to Parquet files of
`--partition-rows` rows in `--data-dir`, by the Dask benchmark's writer; a smaller n fits on
the first files.

Every measurement runs in a child process of its own: the timing child fits the stream
(`tf.glm` on a pyarrow Dataset of the files) and the in-memory fit (`pq.read_table`, then
`tf.glm` on the Table) alternately in one process; the memory child fits the stream once and
reports its peak resident memory (VmHWM, imports included); the Dask child fits
`dd.read_parquet(files)` with nothing persisted.
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
RESULTS_DIR = BENCH_DIR / "results"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, nargs="+",
                        default=[5_000_000, 10_000_000, 20_000_000])
    parser.add_argument("--columns", type=int, default=20)
    parser.add_argument("--partition-rows", type=int, default=500_000)
    parser.add_argument("--repeats", type=int, default=3,
                        help="timed fits of each kind (one above 1e7 rows)")
    parser.add_argument("--data-dir", type=Path, default=Path("/tmp/tallyfit-stream-bench"))
    parser.add_argument("--results", type=Path, default=RESULTS_DIR / "stream.md")
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--child", choices=["time", "peak", "dask"], help=argparse.SUPPRESS)
    return parser.parse_args()


def formula_for(columns: int) -> str:
    return "y ~ " + " + ".join(f"x{j}" for j in range(1, columns))


# ---- Children ---------------------------------------------------------------------------------


def _high_water_mark() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("/proc/self/status has no VmHWM")


def child(kind: str, files: list[str], columns: int, repeats: int) -> dict:
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    import tallyfit as tf

    formula = formula_for(columns)

    def stream_fit(chosen=files):
        return tf.glm(formula, ds.dataset(chosen, format="parquet"))

    def memory_fit(chosen=files):
        return tf.glm(formula, pq.read_table(chosen))

    def timed(fit):
        started = time.perf_counter()
        model = fit()
        return time.perf_counter() - started, model

    if kind == "peak":
        model = stream_fit()
        return {"peak": _high_water_mark(), "spilled": model.stream_fit["spilled"]}
    if kind == "dask":
        import dask.dataframe as dd
        from distributed import Client, LocalCluster

        import tallyfit.dask as tfd

        tfd.PERSIST_SHARE = 0.0  # streaming: every pass reads the files again
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            tf.glm(formula, dd.read_parquet(files[:1]))  # warm-up of the workers
            seconds, model = timed(lambda: tf.glm(formula, dd.read_parquet(files)))
        return {"seconds": [seconds], "beta": list(model.coefficients.values())}
    stream_fit(files[:1]), memory_fit(files[:1])  # warm-up: imports, thread pools
    stream_seconds, memory_seconds = [], []
    for _ in range(repeats):
        seconds, stream_model = timed(stream_fit)
        stream_seconds.append(seconds)
        seconds, memory_model = timed(memory_fit)
        memory_seconds.append(seconds)
    return {"stream": stream_seconds, "memory": memory_seconds,
            "iterations": stream_model.iterations,
            "stream_beta": list(stream_model.coefficients.values()),
            "memory_beta": list(memory_model.coefficients.values())}


def run_child(kind: str, files: list[str], args) -> dict:
    command = [sys.executable, __file__, "--child", kind, "--columns", str(args.columns),
               "--repeats", str(args.repeats)]
    result = subprocess.run(command, input=json.dumps(files), capture_output=True, text=True,
                            check=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


# ---- Report -----------------------------------------------------------------------------------


def relative(values, reference) -> float:
    return max(abs(a - b) / max(abs(b), 1e-300) for a, b in zip(values, reference))


def load_average() -> str:
    with open("/proc/loadavg", encoding="ascii") as handle:
        return " ".join(handle.read().split()[:3])


def main():
    args = parse_arguments()
    # The package of this source tree, and this folder's helpers.
    sys.path[:0] = [str(BENCH_DIR), str(BENCH_DIR.parent)]
    if args.child:
        files = json.loads(sys.stdin.read())
        repeats = args.repeats if len(files) * args.partition_rows <= 10_000_000 else 1
        print(json.dumps(child(args.child, files, args.columns, repeats)))
        return
    import dask_bench
    from machine_info import machine_lines
    from report import write_report
    from tables import markdown_table, megabytes, ratio, scientific, seconds

    largest = max(args.rows)
    started = time.perf_counter()
    dask_bench.write_parquet(args.data_dir, largest, args.columns, args.partition_rows)
    print(f"data: {time.perf_counter() - started:.1f} s", file=sys.stderr, flush=True)
    rows = []
    loads = [load_average()]
    for n in sorted(args.rows):
        files = dask_bench.parquet_files(args.data_dir, n, args.partition_rows)
        timing = run_child("time", files, args)
        peak = run_child("peak", files, args)
        row = {"n": n, "stream_min": min(timing["stream"]),
               "stream_median": statistics.median(timing["stream"]),
               "memory_min": min(timing["memory"]),
               "memory_median": statistics.median(timing["memory"]),
               "repeats": len(timing["stream"]), "iterations": timing["iterations"],
               "peak": peak["peak"], "spilled": "yes" if peak["spilled"] else "no",
               "difference": relative(timing["stream_beta"], timing["memory_beta"])}
        row["over_memory"] = row["stream_min"] / row["memory_min"]
        if not args.skip_dask:
            dask = run_child("dask", files, args)
            row["dask"] = dask["seconds"][0]
            row["dask_over"] = row["dask"] / row["stream_min"]
        rows.append(row)
        loads.append(load_average())
        print(f"n={n:,}: {row}", file=sys.stderr, flush=True)
    import pyarrow  # noqa: F401  (its BLAS-free build loaded as in the children)

    machine = ["Machine:", *machine_lines(),
               f"- load average (1, 5, 15 min) before and after each n: {'; '.join(loads)}"]
    table = markdown_table(
        [("n", "n", "{:,}".format), ("stream min (s)", "stream_min", seconds),
         ("stream median (s)", "stream_median", seconds),
         ("in memory incl. read, min (s)", "memory_min", seconds),
         ("in memory median (s)", "memory_median", seconds),
         ("stream ÷ in memory", "over_memory", ratio), ("fits", "repeats", str),
         ("iterations", "iterations", str), ("stream peak RSS (MB)", "peak", megabytes),
         ("blocks spilled", "spilled", None),
         ("Dask streaming (s)", "dask", seconds), ("Dask ÷ stream", "dask_over", ratio),
         ("max rel. Δβ vs in memory", "difference", scientific)], rows)
    notes = [
        f"data: {args.columns - 1} standard normal predictors and a 0/1 response from a "
        f"logistic model, Parquet files of {args.partition_rows:,} rows; formula "
        f"`y ~ x1 + … + x{args.columns - 1}`, p = {args.columns}",
        "stream: tf.glm on pyarrow.dataset.dataset(files); in memory: pq.read_table(files) "
        "then tf.glm on the Table, the read included; both in one child process, "
        "alternating, after one warm-up fit of each on one file; min and median of "
        f"{args.repeats} fits up to 1e7 rows, one fit above",
        "stream peak RSS: VmHWM of a child process that imports tallyfit and fits the stream "
        "once (the interpreter and libraries included)",
        "Dask streaming: tf.glm on dd.read_parquet(files) on a LocalCluster of 2 worker "
        "processes × 1 thread, nothing persisted (every pass reads the files), one fit after "
        "a warm-up on one file; Dask ÷ stream is its time over the stream's minimum",
        "the machine's two cores were shared with other work during the run (load average "
        "above): times are noisy, the multi-threaded BLAS kernels most of all",
    ]
    text = write_report(args.results, "Logistic regression streamed from Parquet", machine,
                        notes, [table])
    print(text)


if __name__ == "__main__":
    main()
