"""Data, memory layouts and reference solvers shared by the model-core tests."""

import pathlib

import numpy as np
import pytest

DATA = pathlib.Path(__file__).parent / "data"


def read_dataset(name):
    """The columns of a data file as a dict of float arrays, and the published values that its
    comment header lists as "# estimate NAME VALUE" or "# NAME VALUE" lines."""
    lines = (DATA / name).read_text().splitlines()
    comments = [line[1:].split() for line in lines if line.startswith("#")]
    published = {}
    for words in comments:
        if len(words) == 3 and words[0] == "estimate":
            published[words[1]] = float(words[2])
        elif len(words) == 2:
            published[words[0]] = float(words[1])
    table = [line for line in lines if line and not line.startswith("#")]
    header = table[0].split(",")
    values = np.array([[float(cell) for cell in row.split(",")] for row in table[1:]])
    return {column: values[:, j].copy() for j, column in enumerate(header)}, published


def raises_internal_error(call):
    """Runs call, which must end with the module's internal-error exception: a BaseException
    that a plain `except Exception` does not catch."""
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception), repr(info.value)
    return info.value


def well_conditioned_problem(rng, n, p):
    """A design matrix with an intercept column and independent normal columns."""
    x = rng.normal(size=(n, p))
    x[:, 0] = 1.0
    return x


# Each layout returns a view with the logical contents of its contiguous argument but other
# strides; the kernels must give the same results as for the contiguous array.
MATRIX_LAYOUTS = {
    "fortran_order": np.asfortranarray,
    "transposed_view": lambda a: np.ascontiguousarray(a.T).T,
    "every_second_row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "reversed_rows": lambda a: a[::-1].copy()[::-1],
    "reversed_columns": lambda a: a[:, ::-1].copy()[:, ::-1],
    "reversed_both": lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
    "column_slice": lambda a: np.repeat(a, 3, axis=1)[:, 1::3],
    "transposed_reversed": lambda a: np.ascontiguousarray(a.T[::-1]).T[:, ::-1],
}

VECTOR_LAYOUTS = {
    "contiguous": lambda v: v,
    "every_second": lambda v: np.repeat(v, 2)[::2],
    "reversed": lambda v: v[::-1].copy()[::-1],
}


def logistic(s):
    return 1.0 / (np.exp(-s) + 1.0)


def reference_irls(x, y, ridge=None, max_iterations=25, convergence_delta=1e-8):
    """The Newton iteration of the logistic models written plainly in NumPy: the coefficients
    and the number of iterations run, or None when the fit does not converge."""
    n, p = x.shape
    ridge = np.zeros(p) if ridge is None else np.asarray(ridge, dtype=float)
    beta = np.zeros(p)
    mu = np.full(n, 0.5)
    w = np.full(n, 0.25)
    previous = np.inf
    change = np.inf
    iterations = 0
    while iterations < max_iterations and change > convergence_delta:
        # X'W z for the working response z = eta + (y - mu) / w, written so that a weight of 0
        # (a probability rounded to 0 or 1) adds nothing instead of 0/0.
        right_hand_side = x.T @ (w * (x @ beta) + (y - mu))
        beta = np.linalg.solve((x.T * w) @ x + np.diag(ridge), right_hand_side)
        mu = logistic(x @ beta)
        p_clamped = np.clip(mu, 1e-9, 0.999999999)
        log_likelihood = np.sum(y * np.log(p_clamped) + (1 - y) * np.log(1 - p_clamped))
        w = (1 - mu) * mu
        iterations += 1
        change = abs(log_likelihood - previous)
        previous = log_likelihood
    if change > convergence_delta:
        return None
    return beta, iterations


def logistic_problem(rng, n, p):
    """A design with an intercept and outcomes drawn from a moderate true model, so that the
    maximum-likelihood fit exists and converges in a handful of steps."""
    x = well_conditioned_problem(rng, n, p)
    true_beta = rng.normal(scale=0.5, size=p)
    y = (rng.random(n) < logistic(x @ true_beta)).astype(float)
    return x, y


def blocked_frame(block_rows, seed, missing_x2, missing_g):
    """Numeric, boolean, string and category columns with missing values at the given rows,
    a linear and a 0/1 response, for fits over blocks of `block_rows` rows: a level of `g`
    occurs only in the fifth block (a single row), so the levels must come from every block."""
    import pandas as pd

    n = sum(block_rows)
    rng = np.random.default_rng(seed)
    x1 = rng.normal(size=n)
    x2 = rng.normal(2.0, 1.5, size=n)
    g = rng.choice(np.array(["b", "a", "c"], dtype=object), size=n)
    g[np.cumsum(block_rows)[4]] = "d"
    c = pd.Categorical(rng.choice(["lo", "hi", "mid"], size=n), categories=["lo", "mid", "hi"])
    flag = rng.random(n) < 0.4
    effect = pd.Series(g).map({"a": 0.0, "b": 0.7, "c": -0.4, "d": 0.2}).to_numpy()
    eta = 0.3 + 0.8 * x1 - 0.5 * (x2 - 2.0) + effect + 0.6 * flag
    frame = pd.DataFrame({
        "x1": x1, "x2": x2, "g": pd.array(g, dtype="string"), "c": c, "flag": flag,
        "y": 1.0 + eta + rng.normal(scale=0.8, size=n),
        "yb": (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64),
    })
    # Counts over an exposure and positive costs, with prior weights (some 0), for the other
    # families (drawn last, so the columns above stay as they were).
    exposure = rng.uniform(0.5, 2.0, size=n)
    frame["count"] = rng.poisson(exposure * np.exp(0.2 + 0.3 * x1 + 0.5 * effect)).astype(float)
    frame["cost"] = rng.gamma(2.0, np.exp(1.0 + 0.3 * x1) / 2.0)
    frame["w"] = rng.integers(0, 4, size=n).astype(float)
    frame["log_exposure"] = np.log(exposure)
    frame["site"] = np.arange(n) % 23  # clusters that cross the blocks
    frame.loc[missing_x2, "x2"] = np.nan
    frame.loc[missing_g, "g"] = pd.NA
    return frame


#: Fits of a `blocked_frame` with other families, prior weights and offsets:
#: (formula, family, link, weights, offset) of tf.glm, and lm's where the family is None.
WEIGHTED_FITS = [
    ("count ~ x1 + g + offset(log_exposure)", "poisson", None, None, None),
    ("count ~ x1 + c + flag", "poisson", None, "w", "log_exposure"),
    ("cost ~ x1 + x2 + g", "Gamma", "log", "w", None),
    ("cost ~ x1 + c", "Gamma", "log", None, "log_exposure"),
    ("y ~ x1 + x2 * g", None, None, "w", "log_exposure"),
]


def weighted_fit(formula, family, link, weights, offset, data):
    import tallyfit as tf

    if family is None:
        return tf.lm(formula, data, weights=weights, offset=offset)
    return tf.glm(formula, data, family=family, link=link, weights=weights, offset=offset)


def assert_weighted_fits_agree(model, reference):
    """Two fits of one of `WEIGHTED_FITS` on different engines agree to 1e-8."""
    assert model.column_names == reference.column_names
    assert relative_difference(model, reference) < 1e-8
    assert (model.nobs, model.n_missing) == (reference.nobs, reference.n_missing)
    np.testing.assert_allclose(model.vcov(), reference.vcov(), rtol=1e-8)
    if hasattr(reference, "deviance"):
        for measure in ("deviance", "null_deviance", "aic", "dispersion"):
            assert getattr(model, measure) == np.float64(getattr(reference, measure)) or \
                abs(getattr(model, measure) / getattr(reference, measure) - 1.0) < 1e-8, measure
    else:
        assert model.r_squared == np.float64(reference.r_squared) or \
            abs(model.r_squared / reference.r_squared - 1.0) < 1e-8


#: Sandwich covariances the engines compute in a pass of their own: vcov's arguments.
ROBUST_CHOICES = [{"type": "HC0"}, {"type": "HC1"}, {"cluster": "c"},
                  {"cluster": "site", "type": "HC0"}, {"cluster": "flag"}]


def assert_sandwiches_agree(model, reference):
    """The sandwich covariances of two fits on different engines agree to 1e-10."""
    for arguments in ROBUST_CHOICES:
        np.testing.assert_allclose(model.vcov(**arguments), reference.vcov(**arguments),
                                   rtol=1e-10, atol=0.0, equal_nan=True, err_msg=str(arguments))


def without_residuals(summary_text):
    """The summary without its residual quantiles, which a fit over blocks leaves out."""
    lines = summary_text.split("\n")
    if "Residuals:" not in lines:
        return summary_text
    start = lines.index("Residuals:")
    end = lines.index("", start)
    return "\n".join(lines[:start] + lines[end + 1:])


def relative_difference(model, reference):
    """The largest relative difference of the estimated coefficients of two fits."""
    names = [name for name in reference.column_names if name not in reference.aliased]
    ours = np.array([model.coefficients[name] for name in names])
    theirs = np.array([reference.coefficients[name] for name in names])
    return float(np.max(np.abs(ours - theirs) / np.abs(theirs)))


def _blocked_frame_errors():
    import tallyfit as tf

    return [
        (lambda data: tf.lm("y ~ x1 + nothing", data), "column 'nothing' not found"),
        (lambda data: tf.glm("y ~ x1", data), "must be 0/1"),
        (lambda data: tf.lm("g ~ x1", data), "holds categories"),
        (lambda data: tf.glm("yb ~ x1", data, penalties={"x9": 1.0}), "no design column"),
    ]


#: Fits of a `blocked_frame` that fail, with their in-memory error.
BLOCKED_FRAME_ERRORS = _blocked_frame_errors()
