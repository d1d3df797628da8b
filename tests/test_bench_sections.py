"""The benchmark sections on a small problem: every peer must reach our
coefficients, which checks column order, intercept and penalty wiring."""
import os
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

import cardinality_bench  # noqa: E402
import diagnostics_bench  # noqa: E402
import front_bench  # noqa: E402
import gram_bench  # noqa: E402
import logistic_bench  # noqa: E402
import ols_bench  # noqa: E402
import penalized_bench  # noqa: E402
import r_peer  # noqa: E402
import robust_bench  # noqa: E402
from simulated_data import (  # noqa: E402
    binary_response, design_matrix, linear_response)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    x = design_matrix(2_000, 6, rng)
    return x, linear_response(x, rng), binary_response(x, rng)


def _peers(rows, ours_prefix, floor_prefix="floor"):
    return [row for row in rows
            if not row["method"].startswith((ours_prefix, floor_prefix))]


@pytest.mark.parametrize("section, response, extra, tolerance", [
    (ols_bench, 1, (), 1e-10),
    (logistic_bench, 2, (), 1e-6),
    # A strong penalty shows whether both sides leave the intercept alone
    # and penalize the rest alike; a weak one stays close to the plain fit.
    (penalized_bench, 2, (1e-4,), 1e-6),
    (penalized_bench, 2, (0.05,), 1e-6),
])
def test_peers_agree_with_ours(data, section, response, extra, tolerance):
    x = data[0]
    rows = section.run(x, data[response], 1, *extra)
    (ours,) = [row for row in rows if row["method"] == section.OURS]
    assert ours.get("note") is None and ours["seconds"] > 0
    peers = _peers(rows, section.OURS)
    assert len(peers) >= 1
    for row in peers:
        assert row["difference"] < tolerance, row["method"]
        assert row["ours_over"] > 0
    if section is not ols_bench:
        assert 2 <= ours["iterations"] <= 25


def test_robust_section_agrees_with_statsmodels():
    rows = robust_bench.run(3_000, 1, 40, seed=5)
    assert [row["covariance"] for row in rows] == ["HC1", "cluster (40 clusters)"] * 2
    for row in rows:
        assert row["ours"] > 0 and row["fit"] > 0
        if row["model"].startswith("lm"):
            assert row["gap"] < 1e-10 and row["peer"] > 0, row["covariance"]


def test_diagnostics_section_agrees_with_statsmodels():
    rows = diagnostics_bench.run(3_000, 1, seed=5)
    assert [row["measure"] for row in rows] == [
        "hatvalues()", "rstudent()", "predict(se_fit=True)"] * 2
    assert all(row["ours"] > 0 and row["fit"] > 0 for row in rows)
    (compared,) = [row for row in rows if "gap" in row]
    assert compared["gap"] < 1e-9 and compared["peer"] > 0


def test_gram_section_rows_and_busy_core():
    rng = np.random.default_rng(3)
    rows = gram_bench.width_rows(3_000, 10, 2, rng)
    assert [row["method"] for row in rows] == ["X.T @ X", "OLS", "logistic, per iteration"]
    assert all(row["min"] > 0 and row["spread"] >= 1 for row in rows)
    busy = gram_bench.busy_rows(3_000, 1, rng)
    assert [row["fit"] for row in busy] == ["front layer tf.glm (logistic)", "OLS, p = 50"]
    assert all(row["single"] > 0 and row["worst"] > 0 for row in busy)
    assert "TALLYFIT_THREADS" not in os.environ


def test_cardinality_section_codes_agree_with_the_dense_path():
    rows = cardinality_bench.table_rows(4_000, 1, 4_000, n_levels=30)
    assert [row["model"] for row in rows] == ["logistic", "Poisson"]
    for row in rows:
        assert row["ours"] > 0 and row["glum"] > 0 and row["dense"] > 0
        assert row["dense gap"] < 1e-9 and row["glum gap"] < 1e-3
        assert row["memory"] >= 0


def test_front_section_every_peer_reaches_our_coefficients():
    machine, rows, memory = front_bench.run(3_000, 1, 1, seed=4)
    peers = [row for row in rows if row["what"].endswith("summary text)")]
    references = [row["reference"].split()[0] for row in peers]
    assert references[:2] == ["statsmodels", "glum"]
    if r_peer.available():
        assert references.count("R") == 2
    for row in peers:
        assert row["ours"] > 0 and row["theirs"] > 0
        assert row["gap"] < (1e-4 if row["reference"].startswith("glum") else 1e-8), row
