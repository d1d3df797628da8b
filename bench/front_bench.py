"""The front layer end to end: tallyfit's lm and glm on a data frame beside statsmodels'
formula API, glum's formula interface and R's lm and glm (Rscript, timed inside R on its own
data.frame), the design-matrix build beside np.column_stack, and the memory tf.lm adds.

    python bench/front_bench.py [--rows 1000000] [--repeats 3]

Data: a pandas DataFrame of `rows` rows with 20 numeric columns x1 ... x20 (standard normal),
two string columns g1, g2 of 10 levels each, a numeric response y and a 0/1 response b, both
depending on every column. The formula names every column ("y ~ x1 + ... + x20 + g1 + g2"),
so the design has 1 + 20 + 2 * 9 = 39 columns. Writes bench/results/front.md.
"""
import argparse
import sys
import time
from pathlib import Path

import glum
import numpy as np
import pandas as pd
import statsmodels.formula.api as smf

import tallyfit as tf
import r_peer
from machine_info import machine_lines
from measure import METHOD, measure_call
from report import write_report
from tables import markdown_table, megabytes, ratio, seconds
from tallyfit import design, frames

RESULTS_DIR = Path(__file__).resolve().parent / "results"
N_NUMERIC = 20
N_LEVELS = 10
PREDICTORS = " + ".join([f"x{j}" for j in range(1, N_NUMERIC + 1)] + ["g1", "g2"])
LINEAR_FORMULA = f"y ~ {PREDICTORS}"
LOGISTIC_FORMULA = f"b ~ {PREDICTORS}"
# The same design with three transforms added (a log, an orthogonal cubic, a natural spline).
TRANSFORM_FORMULA = f"{LINEAR_FORMULA} + log(size) + poly(x2, 3) + ns(x3, df = 4)"


def simulated_frame(rows, rng):
    numeric = rng.standard_normal((rows, N_NUMERIC))
    levels = np.array([f"level{k}" for k in range(N_LEVELS)], dtype=object)
    codes = rng.integers(0, N_LEVELS, size=(rows, 2))
    effects = rng.normal(scale=0.5, size=(2, N_LEVELS))
    beta = rng.normal(scale=1 / np.sqrt(N_NUMERIC), size=N_NUMERIC)
    eta = numeric @ beta + effects[0, codes[:, 0]] + effects[1, codes[:, 1]]
    data = {f"x{j + 1}": numeric[:, j].copy() for j in range(N_NUMERIC)}
    data["g1"] = levels[codes[:, 0]]
    data["g2"] = levels[codes[:, 1]]
    data["y"] = eta + rng.standard_normal(rows)
    data["b"] = (rng.random(rows) < 1 / (1 + np.exp(-eta))).astype(np.float64)
    data["size"] = rng.lognormal(size=rows)
    return pd.DataFrame(data)


def fastest(function, repeats):
    """The minimum time of `repeats` calls (the machine is shared), and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def design_build(frame, formula=LINEAR_FORMULA):
    data, _ = frames.to_frame(frame)
    plan = design.plan_from_frame(formula, data)
    return plan.build(data).matrix


def transform_build(frame):
    return design_build(frame, TRANSFORM_FORMULA)


def ours_lm(frame):
    model = tf.lm(LINEAR_FORMULA, frame)
    return model, str(model.summary())


def ours_glm(frame):
    model = tf.glm(LOGISTIC_FORMULA, frame)
    return model, str(model.summary())


def statsmodels_ols(frame):
    result = smf.ols(LINEAR_FORMULA, frame).fit()
    return result, str(result.summary())


def statsmodels_logit(frame):
    result = smf.logit(LOGISTIC_FORMULA, frame).fit(disp=0)
    return result, str(result.summary())


def glum_fit(frame, formula, family):
    # alpha=0: no penalty; drop_first: treatment coding as R's.
    return glum.GeneralizedLinearRegressor(family=family, formula=formula, alpha=0,
                                           fit_intercept=True, drop_first=True).fit(frame)


def glum_lm(frame):
    return glum_fit(frame, LINEAR_FORMULA, "normal")


def glum_glm(frame):
    return glum_fit(frame, LOGISTIC_FORMULA, "binomial")


def glum_difference(ours, fitted):
    """Largest |difference| of the coefficients from glum's ("g1[level3]")."""
    theirs = {name.replace("[", "_").rstrip("]"): float(value)
              for name, value in zip(fitted.feature_names_, fitted.coef_)}
    theirs["(Intercept)"] = float(fitted.intercept_)
    return max(abs(ours.coefficients[name] - value) for name, value in theirs.items())


def r_difference(ours, theirs):
    """Largest |difference| of the coefficients from R's ("g1level3")."""
    renamed = {name.replace("_level", "level"): value for name, value in ours.coefficients.items()}
    return max(abs(renamed[name] - value) for name, value in theirs.items())


def speed_row(what, ours, reference, theirs, goal, gap):
    """A row of the time table: `theirs` ÷ `ours` against the goal (None: none set)."""
    ratio_ = theirs / ours
    return {"what": what, "ours": ours, "reference": reference, "theirs": theirs,
            "ratio": ratio_, "goal": "—" if goal is None else f"≥ {goal:g}",
            "met": "—" if goal is None else ("yes" if ratio_ >= goal else "NO"), "gap": gap}


def largest_difference(ours, theirs):
    """Largest |difference| of the coefficients, matching statsmodels' names
    ("g1[T.level3]") to ours ("g1_level3")."""
    renamed = {name.replace("[T.", "_").rstrip("]"): value
               for name, value in theirs.params.items()}
    renamed["(Intercept)"] = renamed.pop("Intercept")
    return max(abs(ours.coefficients[name] - value) for name, value in renamed.items())


def run(rows, repeats, slow_repeats, seed):
    rng = np.random.default_rng(seed)
    frame = simulated_frame(rows, rng)
    # Warm-up on a small frame: imports, thread pools, allocator arenas.
    small = frame.head(2000)
    for function in (ours_lm, ours_glm, statsmodels_ols, statsmodels_logit, glum_lm, glum_glm,
                     design_build, transform_build):
        function(small)
    machine = ["Machine:", *machine_lines()]

    # Memory first, on a quiet heap: the peak resident memory tf.lm adds while it runs.
    memory = measure_call(lambda: ours_lm(frame))
    design_bytes = memory.result[0].vcov().shape[0] * rows * 8

    timings = {}
    timings["build"], matrix = fastest(lambda: design_build(frame), repeats)
    columns = [np.ascontiguousarray(matrix[:, j]) for j in range(matrix.shape[1])]
    timings["stack"], stacked = fastest(lambda: np.column_stack(columns), repeats)
    assert np.array_equal(stacked, matrix)
    del columns, stacked, matrix
    timings["transforms"], matrix = fastest(lambda: transform_build(frame), repeats)
    columns = [np.ascontiguousarray(matrix[:, j]) for j in range(matrix.shape[1])]
    timings["transforms stack"], stacked = fastest(lambda: np.column_stack(columns), repeats)
    transform_columns = matrix.shape[1]
    assert np.array_equal(stacked, matrix)
    del columns, stacked, matrix
    timings["lm"], (lm_model, _) = fastest(lambda: ours_lm(frame), repeats)
    timings["ols"], (ols_result, _) = fastest(lambda: statsmodels_ols(frame), slow_repeats)
    lm_gap = largest_difference(lm_model, ols_result)
    del ols_result
    timings["glm"], (glm_model, _) = fastest(lambda: ours_glm(frame), repeats)
    timings["logit"], (logit_result, _) = fastest(lambda: statsmodels_logit(frame),
                                                  slow_repeats)
    glm_gap = largest_difference(glm_model, logit_result)
    timings["glum lm"], glum_lm_fit = fastest(lambda: glum_lm(frame), repeats)
    timings["glum glm"], glum_glm_fit = fastest(lambda: glum_glm(frame), repeats)
    lm_what = "lm end to end (frame → fitted model → summary text)"
    glm_what = "glm end to end (frame → fitted model → summary text)"
    time_rows = [
        speed_row(lm_what, timings["lm"], "statsmodels smf.ols(...).fit() + summary()",
                  timings["ols"], 30, lm_gap),
        speed_row(lm_what, timings["lm"], "glum GeneralizedLinearRegressor(family='normal', "
                  "formula=..., alpha=0).fit(frame)", timings["glum lm"], 10,
                  glum_difference(lm_model, glum_lm_fit)),
    ]
    if r_peer.available():
        used = ["y", "b"] + PREDICTORS.split(" + ")
        r_times, r_coefficients = r_peer.r_fits(
            frame[used], {"lm": (LINEAR_FORMULA, None), "glm": (LOGISTIC_FORMULA, "binomial")},
            slow_repeats)
        time_rows.append(speed_row(lm_what, timings["lm"], "R lm(...) + summary(), in R",
                                   r_times["lm"], None,
                                   r_difference(lm_model, r_coefficients["lm"])))
    time_rows += [
        speed_row(glm_what, timings["glm"], "statsmodels smf.logit(...).fit() + summary()",
                  timings["logit"], 12, glm_gap),
        speed_row(glm_what, timings["glm"], "glum GeneralizedLinearRegressor(family="
                  "'binomial', formula=..., alpha=0).fit(frame)", timings["glum glm"], 8,
                  glum_difference(glm_model, glum_glm_fit)),
    ]
    if r_peer.available():
        time_rows.append(speed_row(glm_what, timings["glm"],
                                   "R glm(..., family = binomial) + summary(), in R",
                                   r_times["glm"], 10,
                                   r_difference(glm_model, r_coefficients["glm"])))
    time_rows += [
        {"what": "design matrix build (plan + build from the frame)",
         "ours": timings["build"], "reference": "np.column_stack of the 39 finished columns",
         "theirs": timings["stack"], "ratio": timings["build"] / timings["stack"],
         "goal": "≤ 1.5", "met": "yes" if timings["build"] / timings["stack"] <= 1.5 else "NO"},
        {"what": "design build with log(size) + poly(x2, 3) + ns(x3, df = 4) added",
         "ours": timings["transforms"],
         "reference": f"np.column_stack of the {transform_columns} finished columns",
         "theirs": timings["transforms stack"],
         "ratio": timings["transforms"] / timings["transforms stack"], "goal": "≤ 1.5",
         "met": "yes" if timings["transforms"] / timings["transforms stack"] <= 1.5 else "NO"},
    ]
    memory_row = {
        "peak": memory.peak_extra_bytes, "design": design_bytes,
        "ratio": memory.peak_extra_bytes / design_bytes, "goal": "≤ 1.3",
        "met": "yes" if memory.peak_extra_bytes / design_bytes <= 1.3 else "NO",
        "time": memory.seconds,
    }
    return machine, time_rows, memory_row


TIME_COLUMNS = [
    ("what", "what", None), ("ours (s)", "ours", seconds), ("reference", "reference", None),
    ("reference (s)", "theirs", seconds), ("ratio", "ratio", ratio), ("goal", "goal", None),
    ("met", "met", None), ("max abs Δβ", "gap", "{:.1e}".format),
]
MEMORY_COLUMNS = [
    ("tf.lm peak extra RSS (MB)", "peak", megabytes),
    ("design matrix n × p × 8 (MB)", "design", megabytes),
    ("peak ÷ design", "ratio", ratio), ("goal", "goal", None), ("met", "met", None),
]


def write(rows, repeats, slow_repeats, seed, results_dir):
    """Runs the benchmark, writes results_dir/front.md and returns its text."""
    machine, time_rows, memory_row = run(rows, repeats, slow_repeats, seed)
    notes = [
        f"{rows:,} rows, 20 numeric and 2 string columns of 10 levels, a pandas "
        "DataFrame; formula y ~ x1 + ... + x20 + g1 + g2 written out (39 design columns)",
        "time: minimum of repeated runs in this one process on the same frame "
        f"({repeats} for ours and column_stack, {slow_repeats} for statsmodels); "
        "ratio: reference ÷ ours for the fits, ours ÷ reference for the build",
        "end to end includes reading the frame, the design matrix, the fit, the inference "
        "statistics and the summary text, for tallyfit and statsmodels; glum's fit has no "
        "summary (coefficients only, its own gradient tolerance); R's is timed inside R "
        "(system.time of lm or glm and summary() on R's own data.frame, after one untimed "
        f"fit, minimum of {slow_repeats} runs)",
        "max abs Δβ: largest difference of the coefficients from the reference's",
        METHOD,
        "peak extra memory of tf.lm measured first, with the frame already in memory",
    ]
    return write_report(results_dir / "front.md", "Front layer: data frame to model", machine,
                        notes, [markdown_table(TIME_COLUMNS, time_rows),
                                markdown_table(MEMORY_COLUMNS, [memory_row])])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3,
                        help="runs of our calls and of column_stack (minimum taken)")
    parser.add_argument("--slow-repeats", type=int, default=2,
                        help="runs of the statsmodels calls (minimum taken)")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    args = parser.parse_args()
    started = time.perf_counter()
    print(write(args.rows, args.repeats, args.slow_repeats, args.seed, args.results_dir))
    print(f"front benchmark: {time.perf_counter() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
