"""The simulated frame of the GLM benchmarks (glm_bench.py, robust_bench.py): 20 numeric
columns x1 ... x20 (standard normal), two string columns g1, g2 of 10 levels each, an exposure
(uniform on [0.5, 2]), a Poisson count `count` with mean exposure * exp(eta) and a Gamma
response `amount` (shape 2) with mean exp(eta); 1 + 20 + 2 * 9 = 39 design columns."""
import numpy as np
import pandas as pd

N_NUMERIC = 20
N_LEVELS = 10
GAMMA_SHAPE = 2.0
PREDICTORS = " + ".join([f"x{j}" for j in range(1, N_NUMERIC + 1)] + ["g1", "g2"])
POISSON_FORMULA = f"count ~ {PREDICTORS} + offset(log(exposure))"
POISSON_PEER_FORMULA = f"count ~ {PREDICTORS}"  # the peers take the offset as an argument
GAMMA_FORMULA = f"amount ~ {PREDICTORS}"


def simulated_frame(rows: int, rng: np.random.Generator) -> pd.DataFrame:
    numeric = rng.standard_normal((rows, N_NUMERIC))
    levels = np.array([f"level{k}" for k in range(N_LEVELS)], dtype=object)
    codes = rng.integers(0, N_LEVELS, size=(rows, 2))
    effects = rng.normal(scale=0.3, size=(2, N_LEVELS))
    beta = rng.normal(scale=0.5 / np.sqrt(N_NUMERIC), size=N_NUMERIC)
    eta = 0.5 + numeric @ beta + effects[0, codes[:, 0]] + effects[1, codes[:, 1]]
    exposure = rng.uniform(0.5, 2.0, size=rows)
    data = {f"x{j + 1}": numeric[:, j].copy() for j in range(N_NUMERIC)}
    data["g1"] = levels[codes[:, 0]]
    data["g2"] = levels[codes[:, 1]]
    data["exposure"] = exposure
    data["count"] = rng.poisson(exposure * np.exp(eta)).astype(np.float64)
    data["amount"] = rng.gamma(GAMMA_SHAPE, np.exp(eta) / GAMMA_SHAPE)
    return pd.DataFrame(data)
