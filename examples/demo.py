"""A tour of _tallyfit on two published data sets.

(a) least squares on NIST's Longley data against the certified values,
(b) logistic regression on the Challenger O-ring data against the
    published fit, (c) a ridge penalty on temperature, and (d) saving and
    reloading every fitted model.
"""
import math
import tempfile
from pathlib import Path

import numpy as np

import _tallyfit as tf
from design_matrix import build_design_matrix, response_vector
from reference_data import DATA_DIR, note_numbers, read_reference_csv

CHALLENGER_TEMPERATURES = [31.0, 50.0, 65.0, 80.0]
RIDGE_LAMBDAS = [0.0, 1.0, 10.0, 100.0, 1000.0]


def agreeing_digits(estimate, reference):
    """Leading significant digits shared with `reference`: NIST's log
    relative error, capped at the 15 digits the certified values carry."""
    if estimate == reference:
        return 15.0
    error = abs(estimate - reference) / abs(reference)
    return max(0.0, min(15.0, -math.log10(error)))


def heading(text):
    print(f"\n== {text} ==")


def fitted_columns(model, formula, columns):
    x_matrix, names, _ = build_design_matrix(formula, columns)
    return model.predict(x_matrix, names)


def ols_on_longley():
    heading("(a) Least squares on Longley (NIST StRD, certified values)")
    columns, notes = read_reference_csv(DATA_DIR / "longley.csv")
    formula = tf._parse_formula("y ~ x1 + x2 + x3 + x4 + x5 + x6")
    x_matrix, names, encoder = build_design_matrix(formula, columns)
    y = response_vector(formula, columns)
    model = tf.LinearRegressionCore()
    model.fit(x_matrix, y, names, encoder)
    model.formula = formula
    print(f"formula: {formula}   ({x_matrix.shape[0]} rows)")

    print(f"{'term':<5} {'ours':>24} {'certified':>24} {'digits':>6}")
    coefficients = model.coefficients
    for index, name in enumerate(names):
        certified = note_numbers(notes, f"certified B{index}")[0]
        ours = coefficients[name]
        print(f"{name:<5} {ours:>24.15g} {certified:>24.15g} "
              f"{agreeing_digits(ours, certified):>6.1f}")

    residuals = y - model.predict(x_matrix, names)
    dof = len(y) - len(names)
    residual_sd = math.sqrt(residuals @ residuals / dof)
    r_squared = 1 - (residuals @ residuals) / np.sum((y - y.mean()) ** 2)
    for label, ours, key in [
        ("residual sd", residual_sd, "residual standard deviation"),
        ("R-squared", r_squared, "R-squared"),
    ]:
        certified = float(notes[key])
        print(f"{label:<11} {ours:.15g} (certified {certified:.15g}, "
              f"{agreeing_digits(ours, certified):.1f} digits)")
    return model, x_matrix, names


def challenger_columns():
    columns, notes = read_reference_csv(DATA_DIR / "challenger.csv")
    columns["distress"] = (columns["damaged"] > 0).astype(np.float64)
    return columns, notes


def logistic_on_challenger():
    heading("(b) Logistic regression on Challenger (any O-ring distress)")
    columns, notes = challenger_columns()
    formula = tf._parse_formula("distress ~ temp")
    x_matrix, names, encoder = build_design_matrix(formula, columns)
    model = tf.LogisticRegressionCore()
    model.fit(x_matrix, response_vector(formula, columns), names, encoder)
    model.formula = formula
    print(f"formula: {formula}   ({x_matrix.shape[0]} flights)")

    published = {"1": float(notes["published (Intercept)"]),
                 "temp": float(notes["published temp"])}
    print(f"{'term':<5} {'ours':>14} {'published glm':>14} {'digits':>6}")
    for name in names:
        ours = model.coefficients[name]
        print(f"{name:<5} {ours:>14.7f} {published[name]:>14.7f} "
              f"{agreeing_digits(ours, published[name]):>6.1f}")

    probabilities = fitted_columns(
        model, formula, {"temp": np.array(CHALLENGER_TEMPERATURES)})
    shown = ", ".join(f"{t:.0f} F: {p:.5f}"
                      for t, p in zip(CHALLENGER_TEMPERATURES, probabilities))
    print(f"P(distress)  {shown}")
    print("published at 31 F: "
          f"{float(notes['published probability of distress at 31 F']):.5f}")
    return model, x_matrix, names


def ridge_on_temperature():
    heading("(c) Ridge on temp: maximize log-likelihood "
            "- 0.5 * lambda * b_temp^2")
    columns, _ = challenger_columns()
    formula = tf._parse_formula("distress ~ temp")
    x_matrix, names, encoder = build_design_matrix(formula, columns)
    y = response_vector(formula, columns)
    at_31_f = np.array([[1.0, 31.0]])
    print(f"{'lambda':>8} {'intercept':>10} {'temp':>10} {'P(31 F)':>8}")
    model = None
    for lam in RIDGE_LAMBDAS:
        model = tf.PenalizedLogisticRegressionCore()
        penalty = tf.PenaltySpecification("temp", None, lam)
        model.fit(x_matrix, y, names, encoder, penalties=[penalty])
        coefficients = model.coefficients
        probability = model.predict(at_31_f, names)[0]
        print(f"{lam:>8g} {coefficients['1']:>10.5f} "
              f"{coefficients['temp']:>10.5f} {probability:>8.5f}")
    model.formula = formula
    return model, x_matrix, names


def save_and_reload(fitted):
    heading("(d) Save each model and load it into a fresh object")
    print(f"{'model':<32} {'bytes':>5} {'max |Δ prediction|':>18}  "
          "formula after reload")
    with tempfile.TemporaryDirectory() as directory:
        for model, x_matrix, names in fitted:
            kind = type(model).__name__
            path = Path(directory) / f"{kind}.json"
            model.save_to_file(str(path))
            reloaded = type(model)()
            reloaded.load_from_file(str(path))
            before = model.predict(x_matrix, names)
            after = reloaded.predict(x_matrix, names)
            gap = np.max(np.abs(before - after))
            print(f"{kind:<32} {path.stat().st_size:>5} {gap:>18.3g}  "
                  f"{reloaded.formula}")


def main():
    fitted = [ols_on_longley(), logistic_on_challenger(),
              ridge_on_temperature()]
    save_and_reload(fitted)


if __name__ == "__main__":
    main()
