"""Draws R's four model-checking panels of lm(mpg ~ wt + hp) on mtcars into docs/plot_lm.png
(the picture of the README), or into the path given as the first argument.

    python examples/plot_lm.py [out.png]
"""
import sys
from pathlib import Path

import matplotlib
import pandas as pd

import tallyfit as tf

ROOT = Path(__file__).resolve().parents[1]
MTCARS = ROOT / "tests" / "r_reference" / "data" / "mtcars.csv"


def main(out: Path) -> None:
    matplotlib.use("Agg")  # a file, no window
    model = tf.lm("mpg ~ wt + hp", pd.read_csv(MTCARS))
    figure = model.plot()  # which=(1, 2, 3, 5), as R's plot(m)
    out.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(out, dpi=90)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "plot_lm.png")
