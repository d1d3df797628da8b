"""What a fit shows while it runs: R's trace lines (against R's own output,
tests/r_reference/trace.json, written by make_trace_reference.R), the progress lines and bar
of streamed, Dask and in-memory fits, when progress is on by default, and the message of a
fit stopped by Ctrl-C."""
import json
import os
import pty
import fcntl
import re
import select
import signal
import struct
import subprocess
import termios
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import tallyfit as tf
from child_process import start_python
from tallyfit import passes, progress, solvers
from tallyfit.engines import stream

HERE = Path(__file__).parent / "r_reference"
REFERENCE = json.loads((HERE / "trace.json").read_text(encoding="utf-8"))
CASES = {case["name"]: case for case in REFERENCE["cases"]}
REPOSITORY = Path(__file__).resolve().parents[1]


def case_frame(case) -> pd.DataFrame:
    frame = pd.DataFrame(case["data"]["columns"])
    for name, levels in case["data"]["levels"].items():
        frame[name] = pd.Categorical(frame[name], categories=levels)
    return frame


def poisson_table(rows: int, seed: int = 3) -> pa.Table:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=rows)
    g = rng.choice(["a", "b", "c"], size=rows)
    y = rng.poisson(np.exp(0.2 + 0.4 * x + (g == "b") * 0.3)).astype(float)
    return pa.table({"x": x, "g": g, "y": y})


def factory(table: pa.Table, chunk: int):
    return lambda: pa.RecordBatchReader.from_batches(table.schema,
                                                     table.to_batches(max_chunksize=chunk))


@pytest.fixture()
def plain_lines(monkeypatch):
    """The display without tqdm: plain lines on stderr."""
    monkeypatch.setattr(progress, "_tqdm", lambda: None)


# ---- R's trace ----------------------------------------------------------------------------


@pytest.mark.parametrize("value, printed", list(zip(REFERENCE["cat"]["values"],
                                                    REFERENCE["cat"]["printed"])))
def test_numbers_print_as_r_cat_prints_them(value, printed):
    assert progress.r_number(value) == printed


def as_stream(frame: pd.DataFrame):
    return factory(pa.Table.from_pandas(frame, preserve_index=False), 10)


@pytest.mark.parametrize("name, source", [
    *((name, "memory") for name, case in CASES.items() if case["kind"] == "glm"),
    # Streamed in batches (numeric columns: the levels' order is the in-memory fit's).
    *((name, "stream") for name, case in CASES.items()
      if case["kind"] == "glm" and not case["data"]["levels"] and "offset(" not in
      case["formula"]),
])
def test_glm_trace_is_r_glm_fit_trace(name, source, capsys):
    case = CASES[name]
    frame = case_frame(case)
    data = frame if source == "memory" else as_stream(frame)
    model = tf.glm(case["formula"], data, family=case["family"], link=case["link"],
                   trace=True)
    out, err = capsys.readouterr()
    assert out.splitlines() == case["stdout"]
    assert err == ""
    # R's count of iterations: the last line of the model's fit (the null model's fit, with
    # an offset, starts again at 1).
    counts = [int(line.rsplit(" ", 1)[1]) for line in case["stdout"]]
    restart = counts.index(1, 1) if counts.count(1) > 1 else len(counts)
    assert model.iterations == counts[restart - 1]
    assert ("offset(" in case["formula"]) is (restart < len(counts))


def nb_trace(capsys):
    case = CASES["quine negative binomial"]
    tf.glm_nb(case["formula"], case_frame(case), trace=True)
    out, err = capsys.readouterr()
    assert out == ""
    return err.splitlines(), case["messages"]


def test_glm_nb_trace_lines_are_mass_lines(capsys):
    # Every alternation of MASS's, with its θ and deviance as MASS prints them.
    ours, r = nb_trace(capsys)
    assert ours == r


def test_trace_off_prints_nothing_and_changes_no_number(capsys):
    case = CASES["mtcars logit"]
    frame = case_frame(case)
    quiet = tf.glm(case["formula"], frame, family="binomial")
    assert capsys.readouterr() == ("", "")
    traced = tf.glm(case["formula"], frame, family="binomial", trace=True, progress=True)
    capsys.readouterr()
    assert quiet.coefficients == traced.coefficients
    assert quiet.deviance == traced.deviance


@pytest.mark.parametrize("call", [
    lambda data: tf.glm("y ~ x", data, progress="yes"),
    lambda data: tf.lm("y ~ x", data, progress=1),
    lambda data: tf.glm("y ~ x", data, trace=None),
    lambda data: tf.glm_nb("y ~ x", data, trace="on"),
])
def test_arguments_are_checked(call):
    data = {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 0.0, 3.0, 5.0]}
    with pytest.raises(TypeError, match="progress|trace"):
        call(data)


# ---- when progress is shown ---------------------------------------------------------------


@pytest.mark.parametrize("given, engine, cells, ci, terminal, shown", [
    (None, "memory", 1e3, False, True, False),
    (None, "memory", 1e9, False, True, True),
    (None, "stream", 0, False, True, True),
    (None, "dask", 0, False, True, True),
    (None, "stream", 0, True, True, False),
    (None, "stream", 0, False, False, False),
    (True, "memory", 0, True, False, True),
    (False, "stream", 1e9, False, True, False),
])
def test_progress_default(monkeypatch, given, engine, cells, ci, terminal, shown):
    if ci:
        monkeypatch.setenv("CI", "true")
    else:
        monkeypatch.delenv("CI", raising=False)
    monkeypatch.setattr(progress, "_is_terminal", lambda stream: terminal)
    assert progress.wanted(given, engine, cells) is shown


def test_small_in_memory_fit_is_quiet_at_a_terminal(monkeypatch, capsys, plain_lines):
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.setattr(progress, "_is_terminal", lambda stream: True)
    table = poisson_table(500)
    tf.glm("y ~ x + g", table, family="poisson")
    assert capsys.readouterr().err == ""
    # The same data streamed: shown without being asked for.
    tf.glm("y ~ x + g", factory(table, 200), family="poisson")
    assert "IRLS iteration 1 of at most 25" in capsys.readouterr().err


# ---- the lines of a fit -------------------------------------------------------------------


IRLS_LINE = re.compile(r"^tallyfit glm \((?P<engine>\w+)\): IRLS iteration (?P<k>\d+) of at "
                       r"most (?P<most>\d+): (?P<rest>.*)$")


def irls_lines(err: str):
    return [match for match in map(IRLS_LINE.match, err.splitlines()) if match]


def test_streamed_fit_shows_every_pass(monkeypatch, capsys, plain_lines):
    monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", 300)
    model = tf.glm("y ~ x + g", factory(poisson_table(2000), 250), family="poisson",
                   progress=True, max_iterations=12)
    err = capsys.readouterr().err
    batches = model.stream_fit["batches"]
    assert "tallyfit glm (stream): levels pass: " in err  # g is a string column
    assert f"start pass: {batches} batches, 2,000 rows" in err
    lines = irls_lines(err)
    assert [int(m["k"]) for m in lines] == list(range(1, model.iterations + 1))
    assert {m["most"] for m in lines} == {"12"}
    for index, match in enumerate(lines):
        assert match["rest"].startswith(f"{batches} of {batches} batches, 2,000 rows, ")
        assert " rows/s, deviance " in match["rest"]
        assert ("(change " in match["rest"]) is (index > 0)
    changes = [float(m["rest"].split("(change ")[1].rstrip(")")) for m in lines[1:]]
    assert changes[0] < 0 and abs(changes[-1]) < abs(changes[0])
    assert "final pass: " in err


def test_least_squares_shows_its_pass(capsys, plain_lines):
    tf.lm("y ~ x", factory(poisson_table(1000), 300), progress=True)
    err = capsys.readouterr().err
    assert "tallyfit lm (stream): least-squares pass: " in err
    assert "1,000 rows" in err and "IRLS" not in err


def test_glm_nb_progress_names_each_glm_fit(capsys, plain_lines):
    case = CASES["quine negative binomial"]
    model = tf.glm_nb(case["formula"], case_frame(case), progress=True)
    err = capsys.readouterr().err
    assert "tallyfit glm_nb (memory): Poisson start, IRLS iteration 1 of at most 25" in err
    fits = {int(k) for k in re.findall(r"glm fit (\d+) of at most 25, IRLS iteration 1 ", err)}
    assert fits and fits == set(range(1, max(fits) + 1))
    assert model.theta > 0


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as session_client:
            yield session_client


def test_dask_fit_shows_a_line_per_pass(client, capsys, plain_lines):
    dd = pytest.importorskip("dask.dataframe")
    frame = poisson_table(1200).to_pandas()
    model = tf.glm("y ~ x + g", dd.from_pandas(frame, npartitions=3), family="poisson",
                   progress=True)
    err = capsys.readouterr().err
    assert "tallyfit glm (dask): levels pass: 3 of 3 partitions, 1,200 rows" in err
    lines = irls_lines(err)
    assert len(lines) == model.iterations
    assert all(m["rest"].startswith("3 of 3 partitions, 1,200 rows") for m in lines)


@pytest.mark.parametrize("shown", [False, True])
def test_dask_interrupt_cancels_the_tasks(client, monkeypatch, shown):
    """A Ctrl-C while the client waits (for the sum, or for the partitions one by one when
    the display counts them) cancels the submitted tasks."""
    import distributed
    from tallyfit.engines import dask as engine

    delayed = pytest.importorskip("dask").delayed
    slow = [delayed(time.sleep, pure=False)(4) for _ in range(3)]
    submitted = []

    def interrupted(futures, *args, **kwargs):
        submitted.extend(futures)
        raise KeyboardInterrupt

    if shown:
        monkeypatch.setattr(distributed, "as_completed", interrupted)
    else:
        monkeypatch.setattr(distributed.Client, "gather",
                            lambda self, futures, *a, **k: interrupted(futures))
    hook = progress.FitProgress("glm", "dask", show=shown, bar=False)
    with pytest.raises(KeyboardInterrupt):
        engine.compute_sum(slow, hook)
    assert len(submitted) == (3 if shown else 1)
    assert all(future.status == "cancelled" for future in submitted)
    # The scheduler hears of the cancellation a moment after the submission (it may not have
    # assigned the tasks yet when first asked), and a task already running finishes its sleep:
    # the workers must be idle for a second on end, within a generous wait.
    deadline = time.monotonic() + 30
    idle_since = None
    while time.monotonic() < deadline:
        if any(client.processing().values()):
            idle_since = None
        elif idle_since is None:
            idle_since = time.monotonic()
        elif time.monotonic() - idle_since >= 1.0:
            break
        time.sleep(0.05)
    assert idle_since is not None and not any(client.processing().values())


# ---- the bar -------------------------------------------------------------------------------


BAR_FIT = f"""
import sys
sys.path.insert(0, {str(REPOSITORY)!r})
import numpy as np, pyarrow as pa, tallyfit as tf
x = np.random.default_rng(1).normal(size=3000)
table = pa.table({{"x": x, "y": np.round(np.exp(0.5 * x) * 2)}})
tf.glm("y ~ x", lambda: pa.RecordBatchReader.from_batches(
    table.schema, table.to_batches(max_chunksize=500)), family="poisson")
print("done", file=sys.stderr)
"""


def test_bar_on_a_terminal():
    """At a terminal (a pseudo-terminal here), a streamed fit draws tqdm's bar, redrawn in
    place, with no argument given."""
    pytest.importorskip("tqdm")
    leader, follower = pty.openpty()
    # A terminal of 24 lines of 160 columns (a new pseudo-terminal has none, and tqdm draws
    # bars of its width).
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 160, 0, 0))
    env = {k: v for k, v in os.environ.items() if k != "CI"}
    child = subprocess.Popen([sys.executable, "-c", BAR_FIT], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=follower, env=env)
    os.close(follower)
    output = b""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([leader], [], [], 1.0)
        if ready:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            output += chunk
        elif child.poll() is not None:
            break
    child.wait(timeout=60)
    os.close(leader)
    text = output.decode(errors="replace")
    assert child.returncode == 0 and "done" in text
    # The bar of an iteration's pass over the spilled batches, redrawn in place.
    bars = re.findall(r"\rtallyfit glm \(stream\): IRLS iteration 1 of at most 25: +(\d+)%\|"
                      r"[^|]*\| (\d+)/(\d+)", text)
    assert bars and bars[0][0] == "0" and bars[0][1] == "0"
    assert len({done for _, done, _ in bars}) > 1 and len({total for *_, total in bars}) == 1
    # And the line of each pass, as without tqdm.
    assert re.search(r"[\r\n]tallyfit glm \(stream\): IRLS iteration 1 of at most 25: \d+ of \d+ "
                     r"batches", text)


# ---- Ctrl-C ---------------------------------------------------------------------------------


@pytest.mark.parametrize("make_data, target, raise_at, where", [
    # In memory, one pass per iteration: the third is iteration 3's.
    (lambda: poisson_table(600).to_pandas(), (passes, "pass_at"), 3,
     r"IRLS iteration 3 of at most 25$"),
    # Streamed, 6 blocks per pass: the 16th block pass is iteration 3's fourth block.
    (lambda: factory(poisson_table(600), 100), (passes, "pass_at"), 16,
     r"IRLS iteration 3 of at most 25, pass over batch 4 of 6$"),
    # The third solve (the first step's, then one per iteration) follows iteration 2's pass.
    (lambda: factory(poisson_table(600), 100), (solvers, "solve_step"), 3,
     r"IRLS iteration 2 of at most 25, after its pass over 6 batches$"),
    # The start pass reads the source: its second batch.
    (lambda: factory(poisson_table(600), 100), (passes, "start_sums"), 2,
     r"start pass, pass over batch 2$"),
])
def test_interrupt_names_the_iteration(monkeypatch, make_data, target, raise_at, where):
    calls = {"n": 0}
    module, name = target
    real = getattr(module, name)

    def interrupted(*args, **kwargs):
        calls["n"] += 1
        if calls["n"] == raise_at:
            raise KeyboardInterrupt
        return real(*args, **kwargs)

    data = make_data()
    monkeypatch.setattr(stream, "DEFAULT_BATCH_ROWS", 100)
    monkeypatch.setattr(module, name, interrupted)
    with pytest.raises(KeyboardInterrupt) as caught:
        tf.glm("y ~ x + g", data, family="poisson", convergence_delta=0.0)
    assert isinstance(caught.value, tf.FitInterrupted)
    assert re.search(r"^glm interrupted in " + where, str(caught.value))


LONG_FIT = f"""
import sys, warnings
sys.path.insert(0, {str(REPOSITORY)!r})
import numpy as np, pyarrow as pa, tallyfit as tf
from tallyfit.engines import stream
stream.DEFAULT_BATCH_ROWS = 20_000
rng = np.random.default_rng(5)
x = rng.normal(size=(1_000_000, 4))
table = pa.table({{f"x{{j}}": x[:, j] for j in range(4)}} | {{"y": rng.poisson(2.0, 1_000_000)
                                                               .astype(float)}})
warnings.simplefilter("ignore")
from tallyfit import progress
progress._tqdm = lambda: None  # plain lines on the pipe
try:
    # convergence_delta=0: the loop runs all its iterations, long enough to be stopped.
    tf.glm("y ~ x0 + x1 + x2 + x3", lambda: pa.RecordBatchReader.from_batches(
        table.schema, table.to_batches(max_chunksize=20_000)), family="poisson",
        progress=True, convergence_delta=0.0, max_iterations=1000)
except KeyboardInterrupt as error:
    print(type(error).__name__, "|", error, flush=True)
"""


def test_ctrl_c_stops_a_streamed_fit():
    child = start_python(LONG_FIT)
    try:
        seen = ""
        deadline = time.monotonic() + 120
        while "IRLS iteration 2 of" not in seen and time.monotonic() < deadline:
            line = child.stderr.readline()
            if not line:
                break
            seen += line
        assert "IRLS iteration 2 of" in seen, seen
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
    name, message = out.strip().split(" | ")
    assert name == "FitInterrupted"
    # In a pass over the 50 batches, or between two passes.
    assert re.fullmatch(r"glm interrupted in IRLS iteration \d+ of at most 1000, (pass over "
                        r"batch ([1-9]|[1-4]\d|50) of 50|after its pass over 50 batches)",
                        message), message
