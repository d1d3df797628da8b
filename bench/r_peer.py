"""R as a peer in the benchmarks: a pandas frame handed to Rscript (numeric columns as raw
doubles, string columns as codes and levels), and R's lm/glm timed inside R on its own
data.frame, as an R user has it: one untimed fit first, then the minimum of `repeats` runs of
the fit and its summary().

    times, coefficients = r_fits(frame, {"lm": ("y ~ x1 + g", None)}, repeats=2)
"""
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np

R_SCRIPT = r"""
args <- commandArgs(trailingOnly = TRUE)
folder <- args[1]; repeats <- as.integer(args[2])
columns <- readLines(file.path(folder, "columns.txt"))
rows <- as.integer(readLines(file.path(folder, "rows.txt")))
data <- list()
for (name in columns) {
  numbers <- file.path(folder, paste0(name, ".f64"))
  if (file.exists(numbers)) {
    data[[name]] <- readBin(numbers, "double", n = rows, size = 8, endian = "little")
  } else {
    codes <- readBin(file.path(folder, paste0(name, ".i32")), "integer", n = rows, size = 4,
                     endian = "little")
    levels <- readLines(file.path(folder, paste0(name, ".levels")))
    data[[name]] <- factor(levels[codes + 1L], levels = levels)
  }
}
frame <- as.data.frame(data)
fits <- read.delim(file.path(folder, "fits.tsv"), header = FALSE, stringsAsFactors = FALSE)
for (i in seq_len(nrow(fits))) {
  name <- fits[i, 1]; formula <- as.formula(fits[i, 2]); family <- fits[i, 3]
  run <- function() {
    fit <- if (family == "lm") lm(formula, data = frame) else
      glm(formula, family = get(family), data = frame)
    summary(fit)
    fit
  }
  fit <- run()
  best <- Inf
  for (r in seq_len(repeats)) best <- min(best, system.time(fit <- run())[["elapsed"]])
  cat("fit", name, best, "\n", sep = "\t")
  cf <- coef(fit)
  for (k in seq_along(cf)) cat("coef", name, names(cf)[k], format(cf[[k]], digits = 17), "\n",
                               sep = "\t")
}
"""


def available() -> bool:
    return shutil.which("Rscript") is not None


def _write_frame(frame, folder: Path) -> None:
    (folder / "rows.txt").write_text(f"{len(frame)}\n")
    (folder / "columns.txt").write_text("\n".join(frame.columns) + "\n")
    for name in frame.columns:
        values = frame[name].to_numpy()
        if values.dtype.kind == "f":
            np.ascontiguousarray(values, dtype="<f8").tofile(folder / f"{name}.f64")
        else:
            levels, codes = np.unique(values.astype(str), return_inverse=True)
            codes.astype("<i4").tofile(folder / f"{name}.i32")
            (folder / f"{name}.levels").write_text("\n".join(levels) + "\n")


def r_fits(frame, fits, repeats):
    """Times of R's fits of `frame`: `fits` maps a name to (formula, family), family None for
    lm or R's family function's name ("binomial"); returns ({name: seconds}, {name:
    {coefficient: value}}) with R's coefficient names ("g1level3")."""
    with tempfile.TemporaryDirectory() as directory:
        folder = Path(directory)
        _write_frame(frame, folder)
        lines = [f"{name}\t{formula}\t{family or 'lm'}" for name, (formula, family) in fits.items()]
        (folder / "fits.tsv").write_text("\n".join(lines) + "\n")
        (folder / "fits.R").write_text(R_SCRIPT)
        out = subprocess.run(["Rscript", str(folder / "fits.R"), str(folder), str(repeats)],
                             check=True, capture_output=True, text=True).stdout
    times, coefficients = {}, {}
    for line in out.splitlines():
        parts = line.rstrip("\t").split("\t")
        if parts[0] == "fit":
            times[parts[1]] = float(parts[2])
        elif parts[0] == "coef":
            value = float("nan") if parts[3].strip() == "NA" else float(parts[3])
            coefficients.setdefault(parts[1], {})[parts[2]] = value
    return times, coefficients
