"""The BLAS settings a benchmark section runs under, each in a child process of its own:
OpenBLAS's Haswell kernel forced (as some machines set it), and OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE unset (the kernel autodetected)."""
import json
import os
import subprocess
import sys

SETTINGS = {"OPENBLAS_CORETYPE=Haswell": {"OPENBLAS_CORETYPE": "Haswell"},
            "OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset (autodetected)": {}}


def machine_under(label, found):
    """The machine lines a child reported, under its setting's label."""
    return [f"under {label}:", *[f"  {line}" for line in found["machine"]]]


def load_note(before, after):
    """The report's line of the load averages at the start and at the end."""
    return (f"load average (1, 5, 15 min) {', '.join(f'{v:.2f}' for v in before)} at the start "
            f"and {', '.join(f'{v:.2f}' for v in after)} at the end")


def run_per_setting(arguments):
    """Runs `python arguments...` once per setting (TALLYFIT_THREADS unset) and returns
    [(label, the JSON object of its last line of output)]."""
    found = []
    for label, setting in SETTINGS.items():
        env = {k: v for k, v in os.environ.items()
               if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "TALLYFIT_THREADS")}
        env.update(setting)
        out = subprocess.run([sys.executable, *arguments], env=env, check=True,
                             capture_output=True, text=True).stdout
        found.append((label, json.loads(out.strip().splitlines()[-1])))
    return found
