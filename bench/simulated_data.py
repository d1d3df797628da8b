"""Simulated design matrices and responses; column 0 is the intercept."""
import numpy as np


def column_names(p):
    return ["1"] + [f"x{j}" for j in range(1, p)]


def design_matrix(n, p, rng):
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.0
    return x


def linear_response(x, rng):
    beta = rng.normal(size=x.shape[1])
    return x @ beta + rng.standard_normal(x.shape[0])


def binary_response(x, rng):
    # Coefficients of size 1/sqrt(p) keep the linear predictor near unit
    # scale, so both classes overlap everywhere and the data cannot be
    # separated.
    beta = rng.normal(size=x.shape[1]) / np.sqrt(x.shape[1])
    probability = 1.0 / (1.0 + np.exp(-(x @ beta)))
    return (rng.random(x.shape[0]) < probability).astype(np.float64)
