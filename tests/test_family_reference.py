"""The families and links against R's own (tests/r_reference/families.json, written by
tests/r_reference/make_family_reference.R): every value of linkfun, linkinv, mu.eta,
variance, dev.resids, aic, initialize and validmu/valideta, R's family and link names, the
links a family refuses, the spellings of family names and initialize's errors and warnings."""

from __future__ import annotations

import json
import math
import re
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pytest

from tallyfit import families
from tallyfit.errors import TallyfitWarning
from tallyfit.families import family_from

REFERENCE = json.loads(
    (Path(__file__).parent / "r_reference" / "families.json").read_text(encoding="utf-8"))
RTOL = 1e-12


def numbers(values: Any) -> np.ndarray:
    """R's numbers as the JSON holds them: null for NA/NaN, "Infinity" for infinities."""
    if not isinstance(values, list):
        values = [values]
    return np.array([math.nan if v is None else float(v) for v in values], dtype=np.float64)


def assert_r_equal(actual: Any, expected: Any, rtol: float = RTOL) -> None:
    # Exact where R clamps or gives 0, Inf or NaN; to rtol elsewhere.
    np.testing.assert_allclose(np.asarray(actual, dtype=np.float64), numbers(expected),
                               rtol=rtol, atol=0.0, equal_nan=True)


def family_cases() -> list[Any]:
    return [pytest.param(entry, case, id=f"{entry['family']}-{entry['link']}-{case['name']}")
            for entry in REFERENCE["families"] for case in entry["cases"]]


def response(case: dict[str, Any]) -> np.ndarray:
    y = numbers(case["y_given"])
    return y.reshape(case["ncol"], -1).T if case["ncol"] == 2 else y


def started(entry: dict[str, Any], case: dict[str, Any]) -> families.Start:
    family = family_from(entry["family"], entry["link"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TallyfitWarning)
        return family.initialize(response(case), numbers(case["wt_given"]))


# ---- links ----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(REFERENCE["links"]))
def test_link_values_are_r_make_link(name: str) -> None:
    r = REFERENCE["links"][name]
    link = families.LINKS[name]()
    assert link.name == name
    assert_r_equal(link.link(numbers(r["mu"])), r["linkfun"])
    assert_r_equal(link.inverse(numbers(r["eta"])), r["linkinv"])
    assert_r_equal(link.mu_eta(numbers(r["eta"])), r["mu_eta"])
    for check in r["valideta"]:
        assert link.valid_eta(numbers(check["eta"])) is check["value"], check["eta"]


def test_every_r_link_is_offered() -> None:
    assert set(families.LINKS) == set(REFERENCE["links"])


# ---- families -------------------------------------------------------------------------------


@pytest.mark.parametrize("entry", REFERENCE["families"],
                         ids=lambda e: f"{e['family']}-{e['link']}")
def test_family_names_links_and_validmu(entry: dict[str, Any]) -> None:
    family = family_from(entry["family"], entry["link"])
    assert (family.name, family.link.name) == (entry["family"], entry["link"])
    assert family_from(entry["family"]).link.name == entry["default_link"]
    assert entry["family"] in families.FAMILY_NAMES
    for check in entry["validmu"]:
        assert family.valid_mu(numbers(check["mu"])) is check["value"], check["mu"]


@pytest.mark.parametrize("entry, case", family_cases())
def test_initialize_is_r_initialize(entry: dict[str, Any], case: dict[str, Any]) -> None:
    family = family_from(entry["family"], entry["link"])
    r = case["initialize"]
    y, weights = response(case), numbers(case["wt_given"])
    if "error" in r:
        # R's message, up to the detail added after it.
        with pytest.raises(ValueError, match=re.escape(r["error"].split(";")[0])):
            family.initialize(y, weights)
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = family.initialize(y, weights)
    assert [str(w.message) for w in caught] == r["warnings"]
    assert all(issubclass(w.category, TallyfitWarning) for w in caught)
    for field in ("y", "weights", "n", "mustart"):
        assert_r_equal(getattr(start, field), r[field])
    if case["ncol"] == 1 and np.all(weights == 1.0):
        assert_r_equal(family.starting_mu(y), r["mustart"])
    given = np.full(len(r["mustart"]), 0.5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TallyfitWarning)
        kept = family.initialize(y, weights, mustart=given).mustart
    np.testing.assert_array_equal(kept, given)  # glm.fit keeps a given mustart


@pytest.mark.parametrize("entry, case",
                         [p for p in family_cases() if "error" not in p.values[1]["initialize"]])
def test_distribution_values_are_r_family(entry: dict[str, Any], case: dict[str, Any]) -> None:
    family = family_from(entry["family"], entry["link"])
    start = started(entry, case)
    mu = numbers(case["mu"])
    assert_r_equal(family.variance(mu), case["variance"])
    assert_r_equal(family.dev_resids(start.y, mu, start.weights), case["dev_resids"])
    assert_r_equal(family.deviance(start.y, mu, start.weights), case["deviance"])
    deviance = float(numbers(case["deviance"])[0])
    n = start.y.shape[0]
    assert_r_equal(family.aic(start.y, mu, start.weights, deviance, n, trials=start.n),
                   case["aic"])
    # The streaming form: row parts summed, then completed from the sums.
    if isinstance(family, families.Binomial):
        rows = family.aic_rows(start.y, mu, start.weights, trials=start.n)
    else:
        rows = family.aic_rows(start.y, mu, start.weights)
    with np.errstate(divide="ignore"):
        log_weight_sum = float(np.log(start.weights).sum())
    streamed = family.aic_from_sums(rows, deviance, n, log_weight_sum, float(start.weights.sum()))
    assert_r_equal(streamed, case["aic"], rtol=1e-10)
    assert_r_equal(family.null_deviance_of(start.y, start.weights), case["null_deviance"])
    assert_r_equal(family.null_deviance_of(start.y, start.weights, has_intercept=False),
                   case["null_deviance_no_intercept"])


@pytest.mark.parametrize("name, link", [
    (name, link) for name in ("binomial", "gaussian") for link in families.LINKS
    if link in family_from(name).links])
def test_null_deviance_from_sums_is_that_of_the_rows(name: str, link: str) -> None:
    family = family_from(name, link)
    y = np.array([0.0, 1.0, 1.0, 0.0, 1.0, 1.0, 1.0])
    for has_intercept in (True, False):
        try:
            from_sums = family.null_deviance(float(y.sum()), y.size, has_intercept,
                                             float(y @ y))
        except NotImplementedError:
            continue  # only from the rows for this link
        assert from_sums == pytest.approx(
            family.null_deviance_of(y, has_intercept=has_intercept), rel=1e-12)


@pytest.mark.parametrize("fit", REFERENCE["boundary"],
                         ids=lambda f: f"{f['family']}-{min(f['mu']):.0e}")
def test_boundary_warning_is_glm_fits(fit: dict[str, Any]) -> None:
    message = family_from(fit["family"]).boundary_warning(numbers(fit["mu"]))
    boundary = [w for w in fit["warnings"] if "numerically" in w]
    assert ([] if message is None else [message]) == boundary


@pytest.mark.parametrize("link", ["logit", "probit", "cloglog", "cauchit", "log"])
def test_binomial_deviance_at_eta_matches_mu(link: str) -> None:
    family = family_from("binomial", link)
    y = np.array([0.0, 1.0, 0.25, 0.5, 1.0, 0.0, 2.0 / 3.0])
    weights = np.array([1.0, 1.0, 4.0, 2.0, 3.0, 5.0, 3.0])
    eta = family.link.link(np.array([0.1, 0.8, 0.3, 0.5, 0.6, 0.2, 0.4]))
    assert family.deviance_at(y, eta, weights) == pytest.approx(
        family.deviance(y, family.link.inverse(eta), weights), rel=1e-12)


# ---- names, links, kernels ------------------------------------------------------------------


@pytest.mark.parametrize("spelling, name", [
    ("inverse_gaussian", "inverse.gaussian"), ("Inverse.Gaussian", "inverse.gaussian"),
    ("gamma", "Gamma"), ("GAMMA", "Gamma"), ("Gamma", "Gamma"), ("quasi_poisson", "quasipoisson"),
    ("QuasiBinomial", "quasibinomial"), (" poisson ", "poisson"), ("Gaussian", "gaussian")])
def test_family_spellings(spelling: str, name: str) -> None:
    assert family_from(spelling).name == name


@pytest.mark.parametrize("name, link", [
    ("binomial", "inverse"), ("quasibinomial", "identity"), ("poisson", "logit"),
    ("quasipoisson", "inverse"), ("Gamma", "1/mu^2"), ("inverse.gaussian", "sqrt"),
    ("gaussian", "probit"), ("binomial", "no-such-link")])
def test_refused_link_names_the_familys_links(name: str, link: str) -> None:
    offered = family_from(name).links
    with pytest.raises(ValueError, match=re.escape(link)) as raised:
        family_from(name, link)
    assert all(repr(other) in str(raised.value) for other in offered)
    assert name in str(raised.value)


@pytest.mark.parametrize("name", ["negative.binomial", "quasi", "", "binomial2"])
def test_unknown_family_is_refused(name: str) -> None:
    with pytest.raises(ValueError, match="family must be one of"):
        family_from(name)


def test_link_must_be_a_string() -> None:
    with pytest.raises(TypeError, match="link must be a string"):
        family_from("poisson", 1)  # type: ignore[arg-type]


@pytest.mark.parametrize("entry", REFERENCE["families"],
                         ids=lambda e: f"{e['family']}-{e['link']}")
def test_native_kernel_and_dispersion(entry: dict[str, Any]) -> None:
    family = family_from(entry["family"], entry["link"])
    native = (family.name, family.link.name) == ("binomial", "logit")
    assert family.native_kernel == ("logistic" if native else None)
    # R's summary.glm fixes the dispersion at 1 for these two families only.
    assert family.dispersion_estimated is (family.name not in ("binomial", "poisson"))
    # A constant start weight must be every 0/1 row's working weight at R's start.
    if family.constant_start_weight is not None:
        y = np.array([0.0, 1.0, 1.0, 0.0])
        mu = family.starting_mu(y)
        np.testing.assert_allclose(family.working_weights(family.link.link(mu), mu),
                                   family.constant_start_weight, rtol=1e-15)


@pytest.mark.parametrize("name", ["quasibinomial", "quasipoisson"])
def test_quasi_aic_is_na(name: str) -> None:
    family = family_from(name)
    y = np.array([0.0, 1.0, 1.0])
    mu = np.array([0.3, 0.6, 0.7])
    assert math.isnan(family.aic(y, mu, None, family.deviance(y, mu), 3))
