"""A categorical predictor of 1,000 levels: tallyfit's glm with the factor held as codes, beside
glum's formula interface and tallyfit's own dense design (the factor as 999 0/1 columns).

    python bench/cardinality_bench.py [--rows 1000000] [--repeats 3] [--results PATH]

Data: a pandas DataFrame of `rows` rows with 20 numeric columns x1 ... x20 (standard normal)
and a string column g of 1,000 levels; a 0/1 response `event` (logistic) and a count `count`
(Poisson, log link), both with a level effect of g. Every timed call goes from the frame to the
coefficients. The peak extra memory of a fit is its resident-set high-water mark over the
resident set before it (bench/measure.py), beside the numeric block's 8 · rows · 20 bytes. Runs
once per BLAS setting, in a child process each, and writes bench/results/cardinality.md.
"""
import argparse
import json
import os
from importlib import metadata
from pathlib import Path

import numpy as np
import pandas as pd

import tallyfit as tf
from tallyfit.engines import memory
from blas_settings import load_note, machine_under, run_per_setting
from machine_info import machine_lines
from measure import METHOD, measure_call, timed
from report import write_report
from tables import markdown_table, ratio, scientific, seconds

RESULTS = Path(__file__).resolve().parent / "results" / "cardinality.md"
N_NUMERIC = 20
N_LEVELS = 1000
PREDICTORS = " + ".join([f"x{j}" for j in range(1, N_NUMERIC + 1)] + ["g"])
MODELS = {"logistic": ("event", "binomial"), "Poisson": ("count", "poisson")}
GOAL = 5.0  # × glum


def simulated_frame(rows: int, rng: np.random.Generator, n_levels: int = N_LEVELS
                    ) -> pd.DataFrame:
    numeric = rng.standard_normal((rows, N_NUMERIC))
    levels = np.array([f"level{k:04d}" for k in range(n_levels)], dtype=object)
    codes = rng.integers(0, n_levels, rows)
    eta = (-0.5 + numeric @ rng.normal(scale=0.1, size=N_NUMERIC)
           + rng.normal(scale=0.3, size=n_levels)[codes])
    data = {f"x{j + 1}": numeric[:, j].copy() for j in range(N_NUMERIC)}
    data["g"] = levels[codes]
    data["event"] = (rng.random(rows) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
    data["count"] = rng.poisson(np.exp(eta)).astype(np.float64)
    return pd.DataFrame(data)


def ours(frame, model, coded=True):
    response, family = MODELS[model]
    saved = memory.CODED_FROM
    memory.CODED_FROM = saved if coded else 10**9
    try:
        return dict(tf.glm(f"{response} ~ {PREDICTORS}", frame, family=family).coefficients)
    finally:
        memory.CODED_FROM = saved


def glum_fit(frame, model):
    import glum
    response, family = MODELS[model]
    fitted = glum.GeneralizedLinearRegressor(
        family=family, formula=f"{response} ~ {PREDICTORS}", alpha=0, fit_intercept=True,
        drop_first=True).fit(frame)
    names = {name.replace("[", "_").rstrip("]"): float(value)
             for name, value in zip(fitted.feature_names_, fitted.coef_)}
    names["(Intercept)"] = float(fitted.intercept_)
    return names


def gap(a, b):
    """Largest |a − b| / max(|b|, 1e-3) over the coefficients (names must match)."""
    if set(a) != set(b):
        raise ValueError(f"coefficient names differ: {sorted(set(a) ^ set(b))[:5]}")
    return max(abs(a[name] - value) / max(abs(value), 1e-3) for name, value in b.items())


def table_rows(rows, repeats, dense_rows, n_levels=N_LEVELS):
    """The table's rows: per model, our times and peak memory, glum's, the dense path's."""
    frame = simulated_frame(rows, np.random.default_rng(20261209), n_levels)
    numeric_bytes = 8 * rows * N_NUMERIC
    dense_frame = frame if dense_rows >= rows else frame.iloc[:dense_rows].copy()
    table = []
    for model in MODELS:
        ours(frame, model)  # warm-up
        best, median, coefficients = timed(lambda: ours(frame, model), repeats)
        peak = measure_call(lambda: ours(frame, model)).peak_extra_bytes
        glum_fit(frame, model)
        glum_best, glum_median, theirs = timed(lambda: glum_fit(frame, model), repeats)
        dense = measure_call(lambda: ours(dense_frame, model, coded=False))
        with_codes = ours(dense_frame, model) if dense_frame is not frame else coefficients
        table.append({
            "model": model, "ours": best, "ours median": median,
            "memory": peak / numeric_bytes, "glum": glum_best, "glum median": glum_median,
            "ratio": glum_best / best, "median ratio": glum_median / median,
            "met": "yes" if glum_best / best >= GOAL and peak < 2 * numeric_bytes else "NO",
            "glum gap": gap(coefficients, theirs), "dense": dense.seconds,
            "dense rows": f"{dense_rows:,}", "dense memory": dense.peak_extra_bytes / 2**30,
            "dense gap": gap(with_codes, dense.result)})
    return table


def measure(rows, repeats, dense_rows):
    """This process's table, as JSON on stdout (the parent writes the report)."""
    table = table_rows(rows, repeats, dense_rows)
    print(json.dumps({"machine": machine_lines(), "table": table}))


COLUMNS = [
    ("model", "model", None), ("tallyfit min (s)", "ours", seconds),
    ("median (s)", "ours median", seconds),
    ("peak extra memory ÷ numeric block", "memory", ratio),
    ("glum min (s)", "glum", seconds), ("glum median (s)", "glum median", seconds),
    ("× glum (min)", "ratio", ratio), ("× glum (medians)", "median ratio", ratio),
    (f"≥ {GOAL:g}× and < 2× memory", "met", None),
    ("max rel Δβ vs glum", "glum gap", scientific),
    ("dense path (s, one run)", "dense", seconds), ("dense path rows", "dense rows", None),
    ("dense peak extra (GiB)", "dense memory", ratio),
    ("max rel Δβ codes vs dense", "dense gap", scientific),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dense-rows", type=int, default=None,
                        help="rows of the dense path's fit (default: all)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--results", type=Path, default=RESULTS)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    dense_rows = args.rows if args.dense_rows is None else args.dense_rows
    if args.child:
        measure(args.rows, args.repeats, dense_rows)
        return
    tables, machines = [], []
    load_before = os.getloadavg()
    for label, found in run_per_setting([__file__, "--child", "--rows", str(args.rows),
                                         "--dense-rows", str(dense_rows),
                                         "--repeats", str(args.repeats)]):
        machines += machine_under(label, found)
        tables += [f"### {label}", markdown_table(COLUMNS, found["table"])]
    load_after = os.getloadavg()
    text = write_report(
        args.results, "A 1,000-level categorical: codes against glum and the dense design",
        ["Machine:", *machines,
         f"- glum {metadata.version('glum')}, tabmat {metadata.version('tabmat')}, "
         f"pandas {pd.__version__}"],
        [f"{args.rows:,} rows, 20 numeric columns and a string column of {N_LEVELS:,} levels "
         f"(1 + 20 + 999 = 1,020 design columns); `y ~ {PREDICTORS}`, logistic and Poisson",
         "end to end from the pandas frame to the coefficients; each call warmed up once; "
         f"minimum and median of {args.repeats} runs; glum stops at its own gradient tolerance",
         "dense path: the same tf.glm with the factor as 999 dense 0/1 columns, one run",
         METHOD,
         load_note(load_before, load_after)],
        tables)
    print(text)


if __name__ == "__main__":
    main()
