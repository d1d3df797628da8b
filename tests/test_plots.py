"""model.plot against what R's plot.lm draws (tests/r_reference/plot_reference.json, written
by tests/r_reference/make_plot_reference.R): the points, smoothers, Q-Q line, labelled rows
and Cook's contours of each panel, read back from the matplotlib Axes; R's lowess on its own;
the files the figures render to; then the refusals."""

from __future__ import annotations

import builtins
import functools
import json
import subprocess
import sys
from typing import Any

import matplotlib
import numpy as np
import pytest

import tallyfit as tf
from tallyfit import plots, smoothing
from test_r_reference import HERE, read_frame

matplotlib.use("Agg")

REFERENCE = json.loads((HERE / "plot_reference.json").read_text(encoding="utf-8"))
CASES = {case["id"]: {**case, "levels": case["levels"] or {}} for case in REFERENCE["cases"]}
TOLERANCE = 1e-6
TIGHT = {"max_iterations": 100, "convergence_delta": 1e-14}
PANELS = ("1", "2", "3", "4", "5")


@functools.lru_cache(maxsize=None)
def fitted(case_id: str) -> Any:
    case = CASES[case_id]
    data = read_frame(case)
    if case["rows"]:
        data = data.iloc[:case["rows"]].reset_index(drop=True)
    if case["kind"] == "lm":
        return tf.lm(case["formula"], data, weights=case["weights"])
    return tf.glm(case["formula"], data, family=case["family"], weights=case["weights"],
                  **TIGHT)


@functools.lru_cache(maxsize=None)
def figure(case_id: str) -> Any:
    return fitted(case_id).plot(which=(1, 2, 3, 4, 5))


def axes_of(case_id: str, panel: str) -> Any:
    return figure(case_id).axes[PANELS.index(panel)]


def numbers(values: list[Any]) -> np.ndarray:
    return np.array([np.nan if v is None else v for v in values], dtype=float)


def close(actual: Any, wanted: Any) -> None:
    actual = np.ma.filled(np.ma.asarray(actual, dtype=float), np.nan)
    np.testing.assert_allclose(actual, wanted, rtol=TOLERANCE, atol=TOLERANCE)


def line(axes: Any, gid: str) -> Any:
    found = [item for item in axes.lines if item.get_gid() == gid]
    assert len(found) == 1, f"{len(found)} lines {gid!r}"
    return found[0]


def labels(axes: Any) -> list[Any]:
    return [text for text in axes.texts if text.get_gid() == "label"]


POINT_PANELS = [(case_id, panel) for case_id in CASES for panel in ("1", "2", "3", "5")]


@pytest.mark.parametrize("case_id, panel", POINT_PANELS)
def test_points_are_rs(case_id: str, panel: str) -> None:
    """Pearson residuals for a glm, rows of weight 0 left out, R's ppoints for n <= 10."""
    wanted = CASES[case_id]["panels"][panel]
    offsets = axes_of(case_id, panel).collections[0].get_offsets()
    close(offsets[:, 0], numbers(wanted["x"]))
    close(offsets[:, 1], numbers(wanted["y"]))


SMOOTH_PANELS = [(case_id, panel) for case_id in CASES for panel in ("1", "3", "5")]


@pytest.mark.parametrize("case_id, panel", SMOOTH_PANELS)
def test_smoother_is_rs_panel_smooth(case_id: str, panel: str) -> None:
    """lowess with three robustness iterations for lm and none for a glm."""
    wanted = CASES[case_id]["panels"][panel]["smooth"]
    smooth = line(axes_of(case_id, panel), "smooth")
    close(smooth.get_xdata(), numbers(wanted["x"]))
    close(smooth.get_ydata(), numbers(wanted["y"]))


LABEL_PANELS = [(case_id, panel) for case_id in CASES for panel in PANELS]


@pytest.mark.parametrize("case_id, panel", LABEL_PANELS)
def test_labelled_rows_are_rs(case_id: str, panel: str) -> None:
    """The three most extreme rows, named by their row in the data (missing rows counted)."""
    wanted = CASES[case_id]["panels"][panel]["labelled"]
    found = labels(axes_of(case_id, panel))
    assert [text.get_text() for text in found] == wanted["labels"]
    close([text.xy for text in found], np.column_stack([numbers(wanted["x"]),
                                                        numbers(wanted["y"])]))


@pytest.mark.parametrize("case_id", CASES)
def test_qqline_through_the_quartiles(case_id: str) -> None:
    wanted = CASES[case_id]["panels"]["2"]
    qq = line(axes_of(case_id, "2"), "qqline")
    (x0, x1), (y0, y1) = qq.get_xdata(), qq.get_ydata()
    slope = (y1 - y0) / (x1 - x0)
    intercept = y0 - slope * x0
    close([intercept, slope], [wanted["intercept"], wanted["slope"]])


@pytest.mark.parametrize("case_id", CASES)
def test_cooks_distance_bars(case_id: str) -> None:
    wanted = CASES[case_id]["panels"]["4"]
    bars = axes_of(case_id, "4").collections[0].get_segments()
    close([segment[1] for segment in bars], np.column_stack([numbers(wanted["x"]),
                                                             numbers(wanted["y"])]))


@pytest.mark.parametrize("case_id", CASES)
def test_cook_contours_over_rs_axis(case_id: str) -> None:
    wanted = CASES[case_id]["panels"]["5"]
    axes = axes_of(case_id, "5")
    close(axes.get_xlim(), numbers(wanted["usr"]))
    for contour in wanted["contours"]:
        level = f"{contour['level']:g}"
        for gid, sign in ((f"cook {level}", 1.0), (f"cook {level} below", -1.0)):
            curve = line(axes, gid)
            close(curve.get_xdata(), numbers(contour["h"]))
            close(curve.get_ydata(), sign * numbers(contour["y"]))


@pytest.mark.parametrize("case_id", CASES)
def test_titles_labels_and_call(case_id: str) -> None:
    case = CASES[case_id]
    names = case["labels"]
    fitted_label, standardized = names["fitted"], names["standardized"]
    expected = {
        "1": (fitted_label, names["residuals"]),
        "2": (names["quantiles"], standardized),
        "3": (fitted_label, f"√|{standardized}|"),
        "4": (names["observation"], names["cook"]),
        "5": (names["leverage"], standardized)}
    # The fixture's R (4.2) names panel 2 "Normal Q-Q"; R 4.3 renamed it "Q-Q Residuals".
    captions = [caption.replace("Normal Q-Q", "Q-Q Residuals") for caption in case["captions"]]
    for panel, caption in zip(PANELS, captions):
        axes = axes_of(case_id, panel)
        assert (axes.get_title(), axes.get_xlabel(), axes.get_ylabel()) == \
            (caption, *expected[panel])
    assert figure(case_id)._suptitle.get_text() == case["sub_caption"]


@pytest.mark.parametrize("which", [1, 2, 3, 4, 5, (1, 2, 3, 5), (5, 1)])
def test_panels_render_to_png(which: Any, tmp_path: Any) -> None:
    """A single panel carries the call under its x label, as R's sub-caption."""
    model = fitted("lm_mtcars")
    chosen = model.plot(which=which)
    path = tmp_path / "panels.png"
    chosen.savefig(path)
    content = path.read_bytes()
    assert content.startswith(b"\x89PNG\r\n\x1a\n") and len(content) > 1000
    count = 1 if isinstance(which, int) else len(which)
    assert len(chosen.axes) == count
    if count == 1:
        assert chosen.axes[0].get_xlabel().endswith("\nlm(mpg ~ wt + hp)")
    else:
        titles = [axes.get_title() for axes in chosen.axes]
        assert titles == [plots.CAPTIONS[k - 1] for k in sorted(which)]


@pytest.mark.parametrize("case", REFERENCE["lowess"], ids=[c["id"] for c in REFERENCE["lowess"]])
def test_lowess_is_rs(case: dict[str, Any]) -> None:
    """Ties, a span of two points, vanishing robustness weights, a single x."""
    x, y = smoothing.lowess(case["x"], case["y"], case["f"], case["iter"])
    close(x, numbers(case["fitted_x"]))
    close(y, numbers(case["fitted_y"]))


def test_options_change_what_is_drawn() -> None:
    model = fitted("poisson_warpbreaks")
    names = [f"row {i}" for i in range(model.resid().shape[0])]
    chosen = model.plot(which=(1, 5), id_n=1, labels_id=names, add_smooth=False,
                        caption=list("abcde"), sub_caption="warp")
    first, fifth = chosen.axes
    assert [text.get_text() for text in labels(first)] == ["row 4"]
    assert not [item for item in first.lines if item.get_gid() == "smooth"]
    assert (first.get_title(), fifth.get_title(), chosen._suptitle.get_text()) == \
        ("a", "e", "warp")


@pytest.mark.parametrize("which", [0, 7, (1, 8), (), "1", 6, (True,)])
def test_which_outside_the_panels_is_refused(which: Any) -> None:
    with pytest.raises(ValueError, match="panel"):
        fitted("lm_mtcars").plot(which=which)


@pytest.mark.parametrize("options, message", [
    ({"id_n": 40}, "id_n must be in 0..32"),
    ({"labels_id": ["a", "b"]}, "labels_id has 2 labels"),
    ({"caption": ["only one"]}, "caption must give the 5")])
def test_bad_options_are_refused(options: dict[str, Any], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        fitted("lm_mtcars").plot(**options)


def test_a_model_without_its_rows_is_refused(tmp_path: Any) -> None:
    path = tmp_path / "m.json"
    fitted("lm_mtcars").save(path)
    with pytest.raises(ValueError, match="loaded from a model file"):
        tf.load(path).plot()


def test_a_streamed_fit_is_refused(tmp_path: Any) -> None:
    pyarrow_parquet = pytest.importorskip("pyarrow.parquet")
    import pyarrow
    path = tmp_path / "d.parquet"
    pyarrow_parquet.write_table(pyarrow.table({"x": [1.0, 2.0, 3.0, 4.0, 5.0],
                                               "y": [1.0, 3.0, 2.0, 5.0, 4.0]}), path)
    with pytest.raises(ValueError, match="fitted rows"):
        tf.lm("y ~ x", path).plot()


def test_missing_matplotlib_names_the_extra(monkeypatch: pytest.MonkeyPatch) -> None:
    real_import = builtins.__import__

    def without_matplotlib(name: str, *args: Any, **kwargs: Any) -> Any:
        if name.split(".")[0] == "matplotlib":
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", without_matplotlib)
    with pytest.raises(ImportError, match=r"tallyfit\[plot\]"):
        fitted("lm_mtcars").plot()


def test_the_readme_picture_script_writes_a_png(tmp_path: Any) -> None:
    script = HERE.parents[1] / "examples" / "plot_lm.py"
    out = tmp_path / "plot_lm.png"
    subprocess.run([sys.executable, str(script), str(out)], check=True, capture_output=True)
    assert out.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_rows_of_leverage_one_are_left_out_with_a_warning() -> None:
    """Row 5 alone has g = "b", so it is fitted exactly: R plots its standardized residual as
    NaN, and it has no Q-Q position."""
    data = {"y": [1.0, 3.0, 2.0, 5.0, 9.0, 4.0], "x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
            "g": ["a", "a", "a", "a", "b", "a"]}
    with pytest.warns(UserWarning, match="leverage one: 5"):
        chosen = tf.lm("y ~ x + g", data).plot(which=(2, 5))
    quantiles = np.ma.filled(chosen.axes[0].collections[0].get_offsets(), np.nan)
    assert np.isnan(quantiles[4]).all() and np.isfinite(np.delete(quantiles, 4, 0)).all()
    assert "5" not in [text.get_text() for text in labels(chosen.axes[1])]


def test_constant_leverage_leaves_the_leverage_panel_empty() -> None:
    with pytest.warns(UserWarning, match=r"leverages\) are all = 0.2"):
        chosen = tf.lm("y ~ 1", {"y": [1.0, 3.0, 2.0, 5.0, 4.0]}).plot(which=5)
    assert not chosen.axes[0].collections and not chosen.axes[0].lines
