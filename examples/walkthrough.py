"""tallyfit on data frames: the models a user writes, with R's summaries.

(a) lm on NIST's Longley data as a pandas DataFrame, against the certified values,
(b) glm on the Challenger O-ring data as a polars DataFrame, against the published fit,
(c) a categorical variable (treatment coding, declared level order) and its table as a frame,
(d) predictions on new rows, and the error for a level the model has not seen,
(e) a ridge penalty on one column,
(f) saving a model and loading it to predict from a data frame.

Run with `make demo` (after the native demo) or `python examples/walkthrough.py`.
"""
import math
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
import polars as pl

import tallyfit as tf
from reference_data import DATA_DIR, note_numbers, read_reference_csv

LONGLEY_FORMULA = "y ~ x1 + x2 + x3 + x4 + x5 + x6"
NEW_TEMPERATURES = [31.0, 50.0, 65.0, 80.0]


def heading(text):
    print(f"\n== {text} ==")


def agreeing_digits(estimate, reference):
    """Leading significant digits shared with `reference` (NIST's log relative error)."""
    if estimate == reference:
        return 15.0
    return max(0.0, min(15.0, -math.log10(abs(estimate - reference) / abs(reference))))


def longley():
    heading("(a) lm on Longley, a pandas DataFrame (NIST StRD certified values)")
    columns, notes = read_reference_csv(DATA_DIR / "longley.csv")
    frame = pd.DataFrame(columns)
    model = tf.lm(LONGLEY_FORMULA, frame)
    print(model.summary())
    print(f"{'term':<12} {'std. error':>18} {'certified':>18} {'digits':>6}")
    for index, name in enumerate(model.column_names):
        _, certified = note_numbers(notes, f"certified B{index}")
        ours = model.std_errors[name]
        print(f"{name:<12} {ours:>18.10g} {certified:>18.10g} "
              f"{agreeing_digits(ours, certified):>6.1f}")


def challenger_frame():
    columns, notes = read_reference_csv(DATA_DIR / "challenger.csv")
    frame = pl.DataFrame(columns).with_columns(
        distress=pl.col("damaged") > 0,
        # Launch temperature in three bands, in the order declared here (not alphabetical).
        band=pl.when(pl.col("temp") < 65).then(pl.lit("cold"))
        .when(pl.col("temp") < 72).then(pl.lit("mild"))
        .otherwise(pl.lit("warm")).cast(pl.Enum(["cold", "mild", "warm"])),
    )
    return frame, notes


def challenger(frame, notes):
    heading("(b) glm on Challenger, a polars DataFrame (published maximum likelihood fit)")
    model = tf.glm("distress ~ temp", frame)
    print(model.summary())
    for name, key in [("(Intercept)", "published (Intercept)"), ("temp", "published temp")]:
        published = float(notes[key])
        ours = model.coefficients[name]
        print(f"{name:<12} ours {ours:12.7f}  published {published:12.7f}  "
              f"digits {agreeing_digits(ours, published):4.1f}")
    return model


def categorical(frame):
    heading("(c) A categorical variable: damaged O-rings by temperature band")
    model = tf.lm("damaged ~ band", frame)
    print(model.summary())
    print("coefficient table as a polars DataFrame (tidy):")
    print(model.tidy())
    return model


def predictions(logistic, linear):
    heading("(d) Predictions on new rows")
    new = pl.DataFrame({"temp": NEW_TEMPERATURES})
    probabilities = logistic.predict(new)
    print("P(distress)  " + ", ".join(
        f"{t:.0f} F: {p:.5f}" for t, p in zip(NEW_TEMPERATURES, probabilities)))
    bands = {"band": ["cold", "warm"]}
    print("mean damaged O-rings, cold and warm launches:",
          np.round(linear.predict(bands), 4).tolist())
    fit, lower, upper = linear.predict(bands, interval="prediction")
    print("95% prediction interval, cold:", f"[{lower[0]:.3f}, {upper[0]:.3f}]")
    try:
        linear.predict({"band": ["freezing"]})
    except ValueError as error:
        print(f"unseen level -> ValueError: {error}")


def ridge(frame):
    heading("(e) Ridge penalty on temp (lambda 10)")
    model = tf.glm("distress ~ temp", frame, penalties={"temp": 10.0})
    print(model.summary())


def save_and_load(model, frame):
    heading("(f) Save the glm and load it")
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "challenger.json"
        model.save(path)
        loaded = tf.load(path)
        gap = np.max(np.abs(loaded.predict(frame) - model.predict(frame)))
        print(f"{type(loaded).__name__} from {path.name} ({path.stat().st_size} bytes), "
              f"formula {loaded.formula!r}: max |prediction difference| {gap:.3g}")
        try:
            loaded.std_errors
        except ValueError as error:
            print(f"standard errors of the loaded model -> ValueError: {error}")


def main():
    longley()
    frame, notes = challenger_frame()
    logistic = challenger(frame, notes)
    linear = categorical(frame)
    predictions(logistic, linear)
    ridge(frame)
    save_and_load(logistic, frame)


if __name__ == "__main__":
    main()
