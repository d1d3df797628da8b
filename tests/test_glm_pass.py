"""The native GLM pass against the NumPy pass written from tallyfit.families' R definitions."""

import os

import numpy as np
import pytest
from child_process import run_python

from tallyfit import _native
from tallyfit.families import FAMILY_NAMES, LINKS, family_from

# Every family with every link R's family object takes (the quasi families use their base's).
PAIRS = [(name, link) for name in FAMILY_NAMES if not name.startswith("quasi")
         for link in family_from(name).links]
# The pairs with a vectorized row loop of their own.
FAST_PAIRS = [("gaussian", "identity"), ("binomial", "logit"), ("poisson", "log"),
              ("Gamma", "inverse"), ("Gamma", "log")]


def reference_pass(family_name, link, x, y, beta, weights=None, offset=None):
    """(deviance, X'WX, X'Wz, valid, scale of X'Wz) as glm.fit computes them over its good rows."""
    family = family_from(family_name, link)
    prior = np.ones(len(y)) if weights is None else weights
    off = np.zeros(len(y)) if offset is None else offset
    eta = x @ beta + off
    with np.errstate(all="ignore"):
        mu = family.link.inverse(eta)
        mu_eta = family.link.mu_eta(eta)
        w = prior * (mu_eta * mu_eta / family.variance(mu))
        z = eta - off + (y - mu) / mu_eta
        deviance = float(family.dev_resids(y, mu, prior).sum())
        valid = family.link.valid_eta(eta) and family.valid_mu(mu)
    good = (prior > 0) & (mu_eta != 0)
    xg, wg, zg = x[good], w[good], z[good]
    right = xg.T @ (wg * zg)
    return deviance, (xg * wg[:, None]).T @ xg, right, valid, np.abs(xg).T @ np.abs(wg * zg)


def eta_centre(family_name, link):
    if family_name == "binomial":
        return -1.5 if link == "log" else 0.0  # mu below 1 for the log link
    return 1.0  # inside every other link's range (the inverse, sqrt and 1/mu^2 need eta > 0)


# Rows at these eta for the binomial links but the log: both tails, each clamp (the logit's at
# |eta| = 30, the probit's at 8.13, the cloglog's mu.eta at 700) and the cauchit's branches;
# their responses on the wrong side, where the clamps make the deviance.
FAR_ETA = np.array([-800.0, -40.0, -31.0, -20.0, -8.5, -3.0, 3.0, 8.5, 20.0, 31.0, 40.0, 800.0])


def glm_data(family_name, link, n=2000, p=4, weighted=False, offset=False, seed=0):
    rng = np.random.default_rng(seed)
    x = np.ones((n, p))
    x[:, 1:] = rng.uniform(-1.0, 1.0, size=(n, p - 1))
    x = np.asfortranarray(x)
    spread = 2.0 if family_name == "binomial" and link != "log" else 0.2
    beta = np.concatenate([[eta_centre(family_name, link)],
                           rng.uniform(-spread, spread, p - 1)])
    if spread == 2.0:
        far = np.arange(len(FAR_ETA)) * 7
        x[far, 1:] = 0.0
        x[far, 1] = FAR_ETA / beta[1]
    off = rng.uniform(-0.2, 0.2, n) if offset else None
    eta = x @ beta + (0.0 if off is None else off)
    mu = family_from(family_name, link).link.inverse(eta)
    weights = None
    if family_name == "binomial":
        trials = rng.integers(0, 5, n).astype(float) if weighted else np.ones(n)
        y = rng.binomial(trials.astype(int), mu) / np.maximum(trials, 1.0)
        if spread == 2.0:
            y[far] = FAR_ETA < 0.0
        weights = trials if weighted else None
    else:
        if weighted:
            weights = rng.uniform(0.0, 3.0, n)
            weights[rng.random(n) < 0.2] = 0.0
        y = {
            "gaussian": lambda: mu + rng.normal(size=n),
            "poisson": lambda: rng.poisson(mu).astype(float),
            "Gamma": lambda: rng.gamma(2.0, mu / 2.0),
            "inverse.gaussian": lambda: rng.wald(mu, 1.0),
        }[family_name]()
    return x, y, beta, weights, off


def assert_pass_matches(result, expected):
    deviance, information, right, valid = result
    e_deviance, e_information, e_right, e_valid, right_scale = expected
    assert deviance == pytest.approx(e_deviance, rel=1e-12)
    np.testing.assert_allclose(information, e_information, rtol=1e-12,
                               atol=1e-12 * np.abs(e_information).max())
    assert np.array_equal(information, information.T)
    # X'Wz sums terms of both signs: compared against the sum of their magnitudes.
    np.testing.assert_allclose(right, e_right, rtol=1e-12, atol=1e-12 * right_scale.max())
    assert valid is e_valid


@pytest.mark.parametrize("offset", [False, True], ids=["no offset", "offset"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weights with zeros"])
@pytest.mark.parametrize("family_name, link", PAIRS)
def test_pass_matches_numpy(family_name, link, weighted, offset):
    x, y, beta, weights, off = glm_data(family_name, link, weighted=weighted, offset=offset)
    expected = reference_pass(family_name, link, x, y, beta, weights, off)
    assert expected[3], "the data should lie inside the family's and link's ranges"
    if weighted:
        assert (weights == 0).any()
    assert_pass_matches(_native.glm_pass(x, y, beta, family_name, link, weights, off), expected)


@pytest.mark.parametrize("family_name, link", FAST_PAIRS + [("binomial", "probit")])
def test_strided_inputs_and_row_blocks_summing_to_the_whole(family_name, link):
    x, y, beta, weights, off = glm_data(family_name, link, n=5000, weighted=True, offset=True)
    whole = _native.glm_pass(np.ascontiguousarray(x), np.repeat(y, 2)[::2], beta, family_name,
                             link, np.repeat(weights, 3)[::3], np.repeat(off, 2)[::2])
    assert_pass_matches(whole, reference_pass(family_name, link, x, y, beta, weights, off))
    parts = [_native.glm_pass(x[a:b], y[a:b], beta, family_name, link, weights[a:b], off[a:b])
             for a, b in [(0, 1), (1, 3001), (3001, 5000)]]
    assert sum(part[0] for part in parts) == pytest.approx(whole[0], rel=1e-12)
    np.testing.assert_allclose(sum(part[1] for part in parts), whole[1], rtol=1e-12)


@pytest.mark.parametrize("family_name, link", FAST_PAIRS[1:])
def test_log_arguments_beyond_the_fast_log(family_name, link):
    # y / mu subnormal: the deviance's logarithm leaves the vectorized log's range, and the
    # block is computed again with the C library's.
    x, y, beta, _, _ = glm_data(family_name, link, n=3000)
    y[[5, 2900]] = 1e-310
    expected = reference_pass(family_name, link, x, y, beta)
    assert np.isfinite(expected[0])
    assert_pass_matches(_native.glm_pass(x, y, beta, family_name, link), expected)


@pytest.mark.parametrize(
    "family_name, link, eta",
    [
        ("poisson", "identity", -0.5),
        ("poisson", "sqrt", 0.0),
        ("Gamma", "inverse", -0.5),
        ("Gamma", "inverse", 0.0),
        ("Gamma", "identity", -0.5),
        ("inverse.gaussian", "1/mu^2", -0.5),
        ("inverse.gaussian", "inverse", 0.0),
        ("gaussian", "inverse", np.inf),
        ("binomial", "log", 0.5),
        ("poisson", "log", np.nan),
    ],
)
def test_invalid_where_eta_or_mu_leaves_the_range(family_name, link, eta):
    x, y, beta, _, off = glm_data(family_name, link, n=500, offset=True)
    shift = np.zeros(len(y))
    shift[321] = eta - (x[321] @ beta + off[321])  # one row's eta moved out, through the offset
    off = off + shift
    if np.isnan(eta) or np.isinf(eta):
        off[321] = eta
    assert _native.glm_pass(x, y, beta, family_name, link, offset=off)[3] is False
    assert reference_pass(family_name, link, x, y, beta, offset=off)[3] is False
    # Valid without that row.
    keep = np.arange(len(y)) != 321
    alone = _native.glm_pass(x[keep], y[keep], beta, family_name, link, offset=off[keep])
    assert alone[3] is True


def test_large_pass_over_many_blocks():
    # 300,001 rows: many blocks, the last one partial.
    for family_name, link in [("poisson", "log"), ("binomial", "logit"), ("Gamma", "identity")]:
        x, y, beta, weights, off = glm_data(family_name, link, n=300_001, p=5, weighted=True,
                                            offset=True, seed=3)
        expected = reference_pass(family_name, link, x, y, beta, weights, off)
        assert_pass_matches(_native.glm_pass(x, y, beta, family_name, link, weights, off),
                            expected)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"y": np.zeros(9)}, "x has 10 rows but y has 9 values"),
        ({"beta": np.zeros(2)}, "beta has 2 values but x has 3 columns"),
        ({"weights": np.ones(11)}, "x has 10 rows but weights has 11 values"),
        ({"offset": np.ones(3)}, "x has 10 rows but offset has 3 values"),
        ({"family": "quasipoisson"}, "family must be one of 'gaussian', 'binomial'.*'Gamma'"),
        ({"family": "gamma"}, "family must be one of"),
        ({"link": "logt"}, r"link must be one of 'identity'.*'1/mu\^2', got 'logt'"),
        ({"link": "sqrt"}, "binomial family does not take the 'sqrt' link; it takes 'logit'"),
        ({"family": "gaussian", "link": "cloglog"},
         ("gaussian family does not take the 'cloglog' link; it takes 'identity', 'log', "
          "'inverse'")),
    ],
)
def test_bad_arguments(arguments, message):
    call = {"x": np.ones((10, 3), order="F"), "y": np.ones(10) / 2, "beta": np.zeros(3),
            "family": "binomial", "link": "logit"} | arguments
    with pytest.raises(ValueError, match=message):
        _native.glm_pass(**call)


def test_every_link_is_covered_and_x_must_be_float64():
    x, y, beta, _, _ = glm_data("binomial", "logit", n=100)
    taken = {link for _, link in PAIRS}
    assert taken == set(LINKS)
    with pytest.raises(TypeError, match="argument 'x'"):
        _native.glm_pass(x.astype(np.float32), y, beta, "binomial", "logit")


@pytest.mark.parametrize("accumulator", ["fused", "blas"])
def test_each_accumulator_gives_the_numpy_pass(accumulator):
    # Which accumulator a width takes is timed on the processor; each must give the same sums.
    code = """
        import numpy as np
        from tallyfit import _native
        rng = np.random.default_rng(5)
        # 200,003 rows: several shares of rows, which the fused pass hands to its threads. The
        # widths take the fused pass's groups of three columns with every remainder (zero
        # columns padding the last group, one to three columns after the tiles of four).
        widths = [(p, 1003) for p in (2, 4, 5, 6, 7, 11, 16, 17, 40, 41)]
        for p, n in ((1, 5003), (3, 5003), (8, 200_003), (39, 200_003), (104, 5003), *widths):
            x = np.asfortranarray(rng.standard_normal((n, p)))
            y = rng.poisson(2.0, n).astype(float)
            w = rng.uniform(0.0, 2.0, n)
            beta = rng.normal(scale=0.1, size=p)
            _, information, right, _ = _native.glm_pass(x, y, beta, "poisson", "log", w, None)
            mu = np.exp(x @ beta)
            weights = w * mu
            z = x @ beta + (y - mu) / mu
            np.testing.assert_allclose(information, x.T @ (weights[:, None] * x), rtol=1e-10)
            np.testing.assert_allclose(right, x.T @ (weights * z), rtol=1e-10)
        print("ok")
    """
    done = run_python(code, env={**os.environ, "TALLYFIT_ACCUMULATOR": accumulator})
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
