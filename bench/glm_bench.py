"""GLM families end to end from a data frame: tallyfit's glm beside statsmodels' and glum's
formula interfaces, for a Poisson response with an exposure offset and a Gamma response with
a log link.

    python bench/glm_bench.py [--rows 1000000] [--quick] [--repeats 3] [--slow-repeats 2]

Data: a pandas DataFrame of `rows` rows with 20 numeric columns x1 ... x20 (standard normal),
two string columns g1, g2 of 10 levels each, an exposure (uniform on [0.5, 2]), a Poisson
count `count` with mean exposure * exp(eta) and a Gamma response `amount` (shape 2) with mean
exp(eta). Both models name every predictor (1 + 20 + 2 * 9 = 39 design columns); the Poisson
one adds offset(log(exposure)). Every timed call goes from the frame to the coefficients:
formula, design matrix, fit. Writes bench/results/glm.md.
"""
import argparse
import os
import statistics
import sys
import time
from importlib import metadata
from pathlib import Path

import glum
import numpy as np
import pandas as pd
import statsmodels.api as sm
import statsmodels.formula.api as smf

import tallyfit as tf
from glm_data import (GAMMA_FORMULA, POISSON_FORMULA, POISSON_PEER_FORMULA,
                      simulated_frame)
from machine_info import machine_lines
from report import write_report
from tables import markdown_table, ratio, scientific, seconds

RESULTS_DIR = Path(__file__).resolve().parent / "results"
SPEED_GOALS = {"statsmodels": 10.0, "glum": 5.0}


# Each fit returns its coefficients under tallyfit's names: "(Intercept)", "x1", "g1_level3".

def ours_poisson(frame: pd.DataFrame) -> dict[str, float]:
    return dict(tf.glm(POISSON_FORMULA, frame, family="poisson").coefficients)


def ours_gamma(frame: pd.DataFrame) -> dict[str, float]:
    return dict(tf.glm(GAMMA_FORMULA, frame, family="Gamma", link="log").coefficients)


def _statsmodels_names(params: pd.Series) -> dict[str, float]:
    renamed = {name.replace("[T.", "_").rstrip("]"): float(value)
               for name, value in params.items()}
    renamed["(Intercept)"] = renamed.pop("Intercept")
    return renamed


def statsmodels_poisson(frame: pd.DataFrame) -> dict[str, float]:
    result = smf.glm(POISSON_PEER_FORMULA, frame, family=sm.families.Poisson(),
                     offset=np.log(frame["exposure"])).fit()
    return _statsmodels_names(result.params)


def statsmodels_gamma(frame: pd.DataFrame) -> dict[str, float]:
    family = sm.families.Gamma(link=sm.families.links.Log())
    return _statsmodels_names(smf.glm(GAMMA_FORMULA, frame, family=family).fit().params)


def _glum_names(model: glum.GeneralizedLinearRegressor) -> dict[str, float]:
    renamed = {name.replace("[", "_").rstrip("]"): float(value)
               for name, value in zip(model.feature_names_, model.coef_)}
    renamed["(Intercept)"] = float(model.intercept_)
    return renamed


def _glum_model(family: str, formula: str, link: str = "auto") -> glum.GeneralizedLinearRegressor:
    # alpha=0: no penalty; drop_first: treatment coding as R's, else the design is singular.
    return glum.GeneralizedLinearRegressor(family=family, link=link, formula=formula, alpha=0,
                                           fit_intercept=True, drop_first=True)


def glum_poisson(frame: pd.DataFrame) -> dict[str, float]:
    model = _glum_model("poisson", POISSON_PEER_FORMULA)
    return _glum_names(model.fit(frame, offset=np.log(frame["exposure"].to_numpy())))


def glum_gamma(frame: pd.DataFrame) -> dict[str, float]:
    return _glum_names(_glum_model("gamma", GAMMA_FORMULA, link="log").fit(frame))


def timed(function, frame, repeats):
    """One untimed warm-up call, then `repeats` timed ones: (min, median, last result)."""
    function(frame)
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function(frame)
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


def relative_difference(ours: dict[str, float], theirs: dict[str, float]) -> float:
    """Largest |ours - theirs| / |theirs| over the coefficients; the names must match."""
    if set(ours) != set(theirs):
        raise ValueError(f"coefficient names differ: only ours {sorted(set(ours) - set(theirs))}"
                         f", only theirs {sorted(set(theirs) - set(ours))}")
    return max(abs(ours[name] - value) / abs(value) for name, value in theirs.items())


MODELS = [
    ("Poisson, log link, offset(log(exposure))",
     {"tallyfit": ours_poisson, "statsmodels": statsmodels_poisson, "glum": glum_poisson}),
    ("Gamma, log link",
     {"tallyfit": ours_gamma, "statsmodels": statsmodels_gamma, "glum": glum_gamma}),
]
PEER_CALLS = {
    "statsmodels": "smf.glm(...).fit() (offset= argument)",
    "glum": "GeneralizedLinearRegressor(formula=..., alpha=0).fit(frame, offset=...)",
}


def run(rows: int, repeats: int, slow_repeats: int, seed: int):
    frame = simulated_frame(rows, np.random.default_rng(seed))
    machine = ["Machine:", *machine_lines()]
    load_before = os.getloadavg()
    table = []
    for model, calls in MODELS:
        best, median, ours = timed(calls["tallyfit"], frame, repeats)
        table.append({"model": model, "library": "tallyfit tf.glm(formula, frame, ...)",
                      "min": best, "median": median})
        for peer, call in calls.items():
            if peer == "tallyfit":
                continue
            peer_best, peer_median, theirs = timed(
                call, frame, slow_repeats if peer == "statsmodels" else repeats)
            speedup = peer_best / best
            table.append({
                "model": model, "library": f"{peer} {PEER_CALLS[peer]}", "min": peer_best,
                "median": peer_median, "ratio": speedup,
                "median ratio": peer_median / median, "goal": f"≥ {SPEED_GOALS[peer]:g}",
                "met": "yes" if speedup >= SPEED_GOALS[peer] else "NO",
                "gap": relative_difference(ours, theirs)})
            print(f"{model}, {peer}: {peer_best:.2f} s vs ours {best:.2f} s",
                  file=sys.stderr, flush=True)
    load = (load_before, os.getloadavg())
    return machine, table, load


COLUMNS = [
    ("model", "model", None), ("library and call", "library", None),
    ("min (s)", "min", seconds), ("median (s)", "median", seconds),
    ("speed-up (min ÷ ours)", "ratio", ratio), ("speed-up (medians)", "median ratio", ratio),
    ("goal", "goal", None), ("met", "met", None),
    ("max rel Δβ vs tallyfit", "gap", scientific),
]


def write(rows: int, repeats: int, slow_repeats: int, seed: int, results_dir: Path) -> str:
    """Runs the benchmark, writes results_dir/glm.md and returns its text."""
    machine, table, (before, after) = run(rows, repeats, slow_repeats, seed)
    machine.append(f"- glum {metadata.version('glum')}, tabmat {metadata.version('tabmat')}, "
                   f"formulaic {metadata.version('formulaic')}, pandas {pd.__version__}")
    notes = [
        f"{rows:,} rows, 20 numeric and 2 string columns of 10 levels, a pandas DataFrame; "
        f"`{POISSON_FORMULA}` and `{GAMMA_FORMULA}` (39 design columns each)",
        "end to end: from the frame through the formula and the design matrix to the fitted "
        "coefficients, for every library; each call is warmed up by one untimed fit on the "
        "same frame",
        f"time: minimum and median of {repeats} runs for tallyfit and glum, {slow_repeats} for "
        "statsmodels, all in this one process on the same frame; speed-up: the peer's time "
        "over tallyfit's",
        "max rel Δβ: the largest |tallyfit − peer| / |peer| over the 39 coefficients; glum "
        "stops at its own default gradient tolerance, statsmodels at its deviance tolerance",
        f"load average (1, 5, 15 min) {before[0]:.2f}, {before[1]:.2f}, {before[2]:.2f} at the "
        f"start and {after[0]:.2f}, {after[1]:.2f}, {after[2]:.2f} at the end; the machine is "
        "shared with other jobs",
    ]
    return write_report(results_dir / "glm.md", "GLM families: Poisson with an offset, Gamma "
                        "with a log link", machine, notes, [markdown_table(COLUMNS, table)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="100,000 rows")
    parser.add_argument("--repeats", type=int, default=3,
                        help="timed runs of tallyfit and glum (after one warm-up)")
    parser.add_argument("--slow-repeats", type=int, default=2,
                        help="timed runs of statsmodels (after one warm-up)")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    args = parser.parse_args()
    started = time.perf_counter()
    rows = 100_000 if args.quick else args.rows
    print(write(rows, args.repeats, args.slow_repeats, args.seed, args.results_dir))
    print(f"glm benchmark: {time.perf_counter() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
