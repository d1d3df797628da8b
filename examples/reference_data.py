"""Reads the data sets in examples/data: numeric CSV columns plus
"# key: value" notes (source, certified or published values)."""
import csv
from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"


def read_reference_csv(path):
    """Returns ({column name: float64 array}, {note key: note text})."""
    notes = {}
    rows = []
    with open(path, newline="", encoding="utf-8") as handle:
        for line in handle:
            if line.startswith("#"):
                key, sep, value = line[1:].partition(":")
                if sep:
                    notes[key.strip()] = value.strip()
            elif line.strip():
                rows.append(line)
    header, *records = list(csv.reader(rows))
    values = np.array(records, dtype=np.float64)
    values = values.reshape(len(records), len(header))
    return {name: values[:, i].copy() for i, name in enumerate(header)}, notes


def note_numbers(notes, key):
    """The blank-separated numbers of one note, e.g. estimate and sd."""
    return [float(token) for token in notes[key].split()]
