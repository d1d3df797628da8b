"""The Python side's pieces of a pass on the package's threads: results in the items' order,
errors raised to the caller, nested calls that do not wait on themselves, and fits whose every
number is the same to the last bit whatever TALLYFIT_THREADS says."""

import os
import threading

import numpy as np
import pandas as pd
import pytest

import tallyfit as tf
from tallyfit import passes, threads

THREADS = ["1", "2", "3", "8"]


@pytest.mark.parametrize("count", THREADS)
@pytest.mark.parametrize("items", [0, 1, 2, 7, 100])
def test_results_come_back_in_the_order_of_the_items(monkeypatch, count, items):
    monkeypatch.setenv("TALLYFIT_THREADS", count)
    assert threads.map_in_order(lambda k: (k, k * k), range(items)) == [
        (k, k * k) for k in range(items)]


@pytest.mark.parametrize("value, expected", [("3", 3), ("64", 64), ("0", None), ("65", None),
                                             ("-1", None), ("two", None), ("", None)])
def test_the_thread_count_is_the_variables_or_the_cores(monkeypatch, value, expected):
    monkeypatch.setenv("TALLYFIT_THREADS", value)
    assert threads.thread_count() == (expected or max(1, os.cpu_count() or 1))


def test_an_error_of_any_item_reaches_the_caller(monkeypatch):
    monkeypatch.setenv("TALLYFIT_THREADS", "2")

    def piece(k):
        if k == 5:
            raise ValueError("row 5 is wrong")
        return k

    with pytest.raises(ValueError, match="row 5"):
        threads.map_in_order(piece, range(9))


def test_nested_calls_run_where_they_are_and_finish(monkeypatch):
    monkeypatch.setenv("TALLYFIT_THREADS", "2")
    seen = set()

    def outer(k):
        seen.add(threading.current_thread().name)
        return sum(threads.map_in_order(lambda j: j * k, range(4)))

    # Far more outer items than threads: a nested call that waited for the pool would hang.
    assert threads.map_in_order(outer, range(50)) == [6 * k for k in range(50)]
    assert any(name.startswith("tallyfit") for name in seen)


def test_a_caller_off_the_main_thread_runs_its_items_in_place(monkeypatch):
    monkeypatch.setenv("TALLYFIT_THREADS", "4")
    seen = []
    worker = threading.Thread(target=lambda: seen.extend(threads.map_in_order(
        lambda k: threading.current_thread().name, range(6))), name="a worker's thread")
    worker.start()
    worker.join()
    assert seen == ["a worker's thread"] * 6


def chunked_frame(rows=3 * passes._MEASURE_ROWS + 123):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(rows, 3))
    group = np.array(["a", "b", "c"])[rng.integers(0, 3, rows)]
    eta = 0.3 + x @ np.array([0.2, -0.1, 0.05])
    exposure = rng.uniform(0.5, 2.0, rows)
    frame = pd.DataFrame({"x1": x[:, 0], "x2": x[:, 1], "x3": x[:, 2], "g": group,
                          "exposure": exposure,
                          "count": rng.poisson(exposure * np.exp(eta)).astype(float),
                          "amount": rng.gamma(2.0, np.exp(eta) / 2.0)})
    frame.loc[17, "x2"] = np.nan  # a row dropped: the design compacts the kept rows
    return frame


FITS = {
    "poisson with an offset": lambda frame: tf.glm(
        "count ~ x1 + x2 * g + offset(log(exposure))", frame, family="poisson"),
    "Gamma, log link": lambda frame: tf.glm("amount ~ x1 + x2 + x3 + g", frame,
                                            family="Gamma", link="log"),
    "least squares": lambda frame: tf.lm("amount ~ x1 + poly(x3, 2) + g", frame),
}


@pytest.mark.parametrize("fit", list(FITS.values()), ids=list(FITS))
def test_a_fit_is_the_same_to_the_last_bit_on_any_number_of_threads(monkeypatch, fit):
    frame = chunked_frame()
    results = {}
    for count in THREADS:
        monkeypatch.setenv("TALLYFIT_THREADS", count)
        model = fit(frame)
        results[count] = (np.asarray(model.coefficients), str(model.summary()))
    first_beta, first_text = results["1"]
    for beta, text in results.values():
        assert np.array_equal(beta, first_beta)
        assert text == first_text
