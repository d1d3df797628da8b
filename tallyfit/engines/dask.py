"""The models of `tf.lm` and `tf.glm` fitted on a Dask DataFrame.

Both least squares and IRLS need only sums over rows: XᵀX, Xᵀy and yᵀy for
least squares; XᵀWX, the right-hand side of the Newton step and the
log-likelihood for each IRLS step. So each partition is turned into its design
block with one global encoding, the native streaming kernels compute the block's
p × p and p-sized statistics, and the workers add them up in a tree; only the
totals reach the client, which solves with the same inverse as the core.

Passes over the data:

1. One pass collects what the encoding needs: the levels of every categorical
   variable (the categories of a column of dtype category in their order, the
   sorted unique values of a string column, as in memory) and the count of
   rows in every partition.
2. Least squares: one pass. Logistic regression: one pass for the start
   values, one pass per iteration and one for the deviance at the final
   coefficients.

The design blocks of a logistic fit are persisted on the workers when their
total size (rows × columns × 8 bytes) is at most half the memory the workers
may use; otherwise every iteration builds them again from the source (for
example by reading the Parquet files again), which costs a read per iteration
but needs memory for a few partitions only.

The fitted model is the same class as in memory: the same summary, inference,
`save` and `predict`; only the residuals and fitted values, which would be
n-sized, are left out (`residuals` is None).
"""
from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass
from functools import lru_cache
from typing import TYPE_CHECKING, Any, Callable, Literal, Sequence

import numpy as np

if TYPE_CHECKING:
    from .frames import Kind
    from .models import LinearModel, LogisticModel

#: The kind of a pass of the IRLS loop over the partitions.
PassKind = Literal["start", "gram"]

#: Statistics of one partition, or of several added up: name -> array or number.
Statistics = dict[str, Any]

#: Partial sums combined per task of the tree reduction.
FAN_IN = 8

#: Share of the workers' memory that persisted design blocks may take.
PERSIST_SHARE = 0.5

NOT_CONVERGED = "Algorithm failed to converge"


def is_dask_frame(data: object) -> bool:
    """Whether `data` is a Dask DataFrame, without importing Dask for other inputs.

    >>> is_dask_frame({"y": [1.0]})
    False
    """
    if not type(data).__module__.startswith("dask"):
        return False
    frames = sys.modules.get("dask.dataframe")
    return frames is not None and isinstance(data, frames.DataFrame)


def _dask() -> Any:
    """The dask module, imported on first use (only Dask inputs need it)."""
    return importlib.import_module("dask")


# ---- Sums over partitions ------------------------------------------------------------------


def add_statistics(*parts: Statistics | None) -> Statistics | None:
    """Adds partial statistics key by key; None (nothing to add) is skipped."""
    total: Statistics | None = None
    for part in parts:
        if part is None:
            continue
        if total is None:
            total = dict(part)
        else:
            for key, value in part.items():
                total[key] = total[key] + value
    return total


def tree_sum(parts: list[Any]) -> Any:
    """A delayed sum of delayed statistics, added on the workers in a tree."""
    delayed = _dask().delayed
    if not parts:
        return delayed(add_statistics)()
    while len(parts) > 1:
        parts = [
            delayed(add_statistics, pure=True)(*parts[i:i + FAN_IN])
            for i in range(0, len(parts), FAN_IN)
        ]
    return parts[0]


def compute_sum(parts: list[Any]) -> Statistics:
    """Computes the tree sum of `parts`; a worker's exception is raised here."""
    total: Statistics | None = _dask().compute(tree_sum(parts))[0]
    if total is None:
        raise ValueError("the Dask DataFrame has no rows to fit on")
    return total


# ---- Memory -------------------------------------------------------------------------------


def workers_memory() -> float:
    """Bytes the workers may use: the sum of the memory limits of the workers of the current
    distributed client, or the available memory of this machine without a client."""
    client = _current_client()
    if client is not None:
        try:
            info = client.scheduler_info(n_workers=-1)
        except TypeError:  # versions before the n_workers argument list every worker
            info = client.scheduler_info()
        workers = info["workers"].values()
        limits = [worker.get("memory_limit") or 0 for worker in workers]
        if all(limits):
            return float(sum(limits))
    return float(_available_memory())


def _current_client() -> Any:
    if "distributed" not in sys.modules:
        return None
    from distributed import get_client

    try:
        return get_client()
    except ValueError:
        return None


def _available_memory() -> int:
    try:
        with open("/proc/meminfo", encoding="ascii") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import os

    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_AVPHYS_PAGES")


def blocks_fit_in_memory(rows: int, columns: int, memory: float) -> bool:
    """Whether design blocks of `rows` × `columns` (plus the response) fit in the share of
    `memory` that persisted blocks may take.

    >>> blocks_fit_in_memory(1_000_000, 19, 1e9), blocks_fit_in_memory(10**8, 19, 1e9)
    (True, False)
    """
    return rows * (columns + 1) * 8 <= PERSIST_SHARE * memory


# ---- The client's side of the fits --------------------------------------------------------


@dataclass
class IrlsResult:
    """Coefficients of a converged IRLS fit and the statistics of its last pass."""

    coefficients: np.ndarray
    log_likelihood: float
    h: np.ndarray
    iterations: int


def solve_least_squares(xtx: np.ndarray, xty: np.ndarray) -> np.ndarray:
    """β = (XᵀX)⁻¹ Xᵀy with the core's inverse, as the core's least-squares fit."""
    from tallyfit import _native

    return np.asarray(_native.inverse(xtx) @ xty, dtype=np.float64)


def irls(
    run_pass: Callable[[np.ndarray, PassKind], Statistics],
    p: int,
    ridge: np.ndarray | None,
    max_iterations: int,
    convergence_delta: float,
) -> IrlsResult:
    """The core's IRLS loop over passes that sum over all partitions.

    `run_pass(beta, kind)` returns the summed statistics "log_likelihood", "h" and "t" of
    `_native.irls_pass` at `beta` for the pass kind "start" or "gram". As in the core: the
    start pass takes μ = 0.5; each iteration inverts h (plus the ridge), steps to β = h⁻¹t
    and evaluates the log-likelihood there; the loop runs while fewer than `max_iterations`
    iterations ran and the log-likelihood changed by more than `convergence_delta`. A change
    still above it at the end, or coefficients that are not finite, fail with "Algorithm
    failed to converge"; a singular h fails with the core's inversion message.
    """
    from tallyfit import _native

    beta = np.zeros(p)
    change = previous = float("inf")
    iterations = 0
    last: Statistics | None = None
    if max_iterations > 0 and change > convergence_delta:
        last = run_pass(beta, "start")
    while iterations < max_iterations and change > convergence_delta:
        assert last is not None
        h = last["h"] if ridge is None else last["h"] + np.diag(ridge)
        beta = _native.inverse(h) @ last["t"]
        last = run_pass(beta, "gram")
        iterations += 1
        change = abs(last["log_likelihood"] - previous)
        previous = last["log_likelihood"]
    if change > convergence_delta or not np.all(np.isfinite(beta)):
        raise ValueError(NOT_CONVERGED)
    if last is None:  # no iteration ran and the test let the fit pass: all coefficients 0
        last = run_pass(beta, "gram")
    return IrlsResult(beta, float(last["log_likelihood"]), last["h"], iterations)


# ---- Pass 1: what the encoding needs ------------------------------------------------------


@dataclass(frozen=True)
class Recipe:
    """What a worker needs to plan the design again (a plan holds native objects, which do
    not travel): the formula text, the kinds and levels of the variables, the response rule."""

    formula: str
    kinds: tuple[tuple[str, Kind], ...]
    levels: tuple[tuple[str, tuple[str, ...]], ...]
    binary_response: bool

    def plan(self) -> Any:
        """The design plan, planned once per process."""
        return _planned(self)


@lru_cache(maxsize=16)
def _planned(recipe: Recipe) -> Any:
    from .design import plan_design

    return plan_design(
        recipe.formula,
        dict(recipe.kinds),
        {name: list(levels) for name, levels in recipe.levels},
        binary_response=recipe.binary_response,
    )


def used_variables(formula: Any) -> list[str]:
    """The data columns of a parsed formula: the predictors, then the response."""
    from .design import _checked_predictors, response_name

    used = _checked_predictors(formula)
    response = response_name(formula)
    return used + ([response] if response not in used else [])


def _partition_summary(partition: Any, used: Sequence[str]) -> Statistics | None:
    """Kinds, levels and row counts of one partition (None for an empty one)."""
    from . import frames
    from .design import collect_levels

    if len(partition) == 0:
        return None
    frame, _ = frames.to_frame(partition)
    # A column with only missing values here says nothing of its kind (an object column of
    # None would look boolean): None, and the other partitions decide.
    kinds = {name: None if frames.all_missing(frame[name]) else frames.column_kind(frame, name)
             for name in used}
    missing = None
    for name in used:
        mask = frames.missing_mask(frame[name])
        if mask is not None:
            missing = mask if missing is None else missing | mask
    kept = None if missing is None else ~missing
    categorical = [name for name in used if kinds[name] == "categorical"]
    declared = [name for name in categorical if frames.declared_levels(frame[name]) is not None]
    # The declared levels in declared order, to merge, and those the kept rows use: R drops
    # the others.
    return {"kinds": kinds, "levels": collect_levels(frame, categorical, kept),
            "used_levels": collect_levels(frame, categorical, kept, drop_unused=True),
            "declared": declared, "rows": len(partition),
            "kept": len(partition) if kept is None else int(kept.sum())}


def _merge_kinds(summaries: list[Statistics], used: Sequence[str], meta: Any) -> dict[str, Kind]:
    """The kind of every column over the partitions that have values in it; of the frame's
    dtype for a column with none."""
    from . import frames

    kinds: dict[str, Kind] = {}
    for name in used:
        found = {summary["kinds"][name] for summary in summaries} - {None}
        if len(found) > 1:
            raise ValueError(
                f"column {name!r} holds values of different kinds ({', '.join(sorted(found))}) "
                "in different partitions: convert it to one type"
            )
        kinds[name] = found.pop() if found else frames.column_kind(meta, name)
    return kinds


def _merge_levels(name: str, summaries: list[Statistics], meta: Any) -> list[str]:
    """The levels of one categorical variable over all partitions, as in memory: of the
    declared categories (of the frame's dtype when Dask knows them, else those of the
    partitions when they all agree) those that some kept row uses, else the values found in
    the kept rows, sorted byte-wise."""
    used = set().union(*(summary["used_levels"].get(name, ()) for summary in summaries))
    return [level for level in _merged_declared_levels(name, summaries, meta) if level in used]


def _merged_declared_levels(name: str, summaries: list[Statistics], meta: Any) -> list[str]:
    from . import frames

    known = _known_categories(meta, name)
    if known is not None:
        return known
    summaries = [summary for summary in summaries if summary["kinds"][name] is not None]
    found = [summary["levels"][name] for summary in summaries]
    declared = all(name in summary["declared"] for summary in summaries)
    if summaries and declared and all(levels == found[0] for levels in found):
        return list(found[0])
    if not summaries:
        return frames.declared_levels(meta[name]) or []
    return sorted(set().union(*found))


def _known_categories(meta: Any, name: str) -> list[str] | None:
    """The categories of a column of dtype category whose categories Dask knows."""
    from . import frames

    levels = frames.declared_levels(meta[name])
    if levels is None or levels == ["__UNKNOWN_CATEGORIES__"]:
        return None
    return levels


@dataclass
class PlannedFrame:
    """A Dask frame with the design plan of a formula: the plan, the recipe the workers plan
    from (one delayed value that every task refers to, so that long lists of levels travel
    once), the delayed partitions holding only the used columns and their row counts."""

    plan: Any
    recipe: Any
    partitions: list[Any]
    rows: int
    kept: int


def plan_dask(formula: Any, data: Any, binary_response: bool) -> PlannedFrame:
    """Pass 1 over a Dask frame and the design plan it allows; errors as in memory."""
    from . import frames
    from .design import parse_formula, plan_design

    parsed = parse_formula(formula)
    used = used_variables(parsed)
    meta, _ = frames.to_frame(data._meta)
    frames.require_columns(meta, used)
    selected = data[used]
    partitions = list(selected.to_delayed())
    summarize = _dask().delayed(_partition_summary, pure=True)
    found = _dask().compute([summarize(part, used) for part in partitions])[0]
    summaries = [summary for summary in found if summary is not None]
    if not any(summary["kept"] for summary in summaries):
        raise ValueError(
            f"no row of the data has values in all of {', '.join(map(repr, used))}: "
            "nothing to fit"
        )
    kinds = _merge_kinds(summaries, used, meta)
    levels = {
        name: _merge_levels(name, summaries, meta)
        for name in used
        if kinds[name] == "categorical"
    }
    plan = plan_design(parsed, kinds, levels, binary_response=binary_response)
    recipe = Recipe(
        parsed.original,
        tuple(sorted(kinds.items())),
        tuple(sorted((name, tuple(values)) for name, values in levels.items())),
        binary_response,
    )
    return PlannedFrame(
        plan,
        _dask().delayed(recipe, pure=True, traverse=False),
        partitions,
        sum(summary["rows"] for summary in summaries),
        sum(summary["kept"] for summary in summaries),
    )


# ---- Pass 2 and on: the partitions' statistics ---------------------------------------------


def _design_block(recipe: Recipe, partition: Any) -> tuple[Any, Any, int] | None:
    """(X, y, rows dropped for missing values) of one partition; None for an empty one."""
    from . import frames

    if len(partition) == 0:
        return None
    plan = recipe.plan()
    frame = frames.to_frame(partition)[0]
    try:
        block = plan.build(frame)
    except ValueError as error:
        change = _change_since_planning(plan, frame)
        if change is None:
            raise
        raise ValueError(data_changed(change)) from error
    return block.matrix, block.response, block.n_missing


def data_changed(what: str) -> str:
    """The error of data that differ between the pass that planned the fit and a later one."""
    return (
        f"the data changed during the fit: {what}. The fit reads the data more than once, so "
        "its source must give the same rows every time: persist the frame (data.persist()) or "
        "write it to Parquet and fit on that"
    )


def _change_since_planning(plan: Any, frame: Any) -> str | None:
    """How the frame differs from what pass 1 found (a categorical value that is no level of
    the plan, or a column of another kind), or None when it does not."""
    from . import frames
    from .design import missing_rows

    used = list(plan.predictors) + [plan.response]
    missing = missing_rows(frame, used)
    for name in dict.fromkeys(used):
        if frames.all_missing(frame[name]):
            continue
        planned = plan.kinds[name]
        found = frames.column_kind(frame, name)
        if (planned == "categorical") != (found == "categorical"):
            return (f"column {name!r} was {planned} in the pass that collected the levels and "
                    f"is {found} now")
        if planned != "categorical":
            continue
        levels = plan.response_levels if name == plan.response else plan.levels[name]
        values = frame[name].to_numpy()
        if missing is not None:
            values = values[~missing]
        unknown = sorted({str(value) for value in values} - set(levels))
        if unknown:
            return (
                f"variable {name!r} has the value(s) {', '.join(map(repr, unknown[:5]))}, which "
                "the pass that collected the levels did not find (levels: "
                f"{', '.join(map(repr, levels))})"
            )
    return None


def _least_squares_partition(recipe: Recipe, partition: Any) -> Statistics | None:
    from . import _native

    block = _design_block(recipe, partition)
    if block is None:
        return None
    x, y, n_missing = block
    xtx, xty = _native.gram(x, y)
    return {"xtx": xtx, "xty": xty, "yty": float(y @ y), "y_sum": float(y.sum()),
            "n": y.shape[0], "n_missing": n_missing}


def _aligned(block: tuple[Any, Any, int]) -> tuple[Any, Any, int]:
    """The block with its arrays aligned for the native kernels: arrays that arrive from
    another process may start at any byte (copied then; a block built here is not)."""
    x, y, n_missing = block
    return np.require(x, requirements="A"), np.require(y, requirements="A"), n_missing


def _irls_partition(block: tuple[Any, Any, int] | None, beta: np.ndarray,
                    kind: PassKind) -> Statistics | None:
    from . import _native

    if block is None:
        return None
    x, y, n_missing = _aligned(block)
    log_likelihood, h, t = _native.irls_pass(x, y, np.require(beta, requirements="A"), kind)
    statistics = {"log_likelihood": log_likelihood, "h": h, "t": t}
    if kind == "start":
        statistics.update(n=y.shape[0], y_sum=float(y.sum()), n_missing=n_missing)
    return statistics


def _deviance_partition(block: tuple[Any, Any, int] | None,
                        beta: np.ndarray) -> Statistics | None:
    from .inference import binomial_deviance

    if block is None:
        return None
    x, y, _ = block
    return {"deviance": binomial_deviance(y, x @ beta)}


@dataclass
class LeastSquaresStatistics:
    """What a least-squares fit on Dask yields: the plan, the sums over all kept rows and the
    aliased columns."""

    plan: Any
    sums: Statistics
    aliased: np.ndarray
    coefficients: np.ndarray  # of the estimated columns


def least_squares(formula: Any, data: Any) -> LeastSquaresStatistics:
    """Pass 1, then one pass for XᵀX, Xᵀy, yᵀy, Σy and n; the solve on the client."""
    from .design import aliased_columns

    planned = plan_dask(formula, data, binary_response=False)
    partition = _dask().delayed(_least_squares_partition, pure=True)
    sums = compute_sum([partition(planned.recipe, part) for part in planned.partitions])
    _check_rows(planned, int(sums["n"]) + int(sums["n_missing"]))
    aliased = aliased_columns(sums["xtx"])
    keep = ~aliased
    beta = solve_least_squares(sums["xtx"][np.ix_(keep, keep)], sums["xty"][keep])
    return LeastSquaresStatistics(planned.plan, sums, aliased, beta)


@dataclass
class LogisticStatistics:
    """What a logistic fit on Dask yields: the plan, the penalty records, the IRLS result (on
    the estimated columns), the aliased columns, the exact deviance and the counts of rows."""

    plan: Any
    penalties: Any
    result: IrlsResult
    aliased: np.ndarray
    deviance: float
    n: int
    y_sum: float
    n_missing: int
    persisted: bool


def logistic(
    formula: Any,
    data: Any,
    penalties: Any,
    max_iterations: int,
    convergence_delta: float,
) -> LogisticStatistics:
    """Pass 1, then the IRLS loop with one pass over the design blocks per iteration and one
    for the deviance at the final coefficients. `penalties` are checked ones (a dict of
    column or (variable, level) to lambda), or None."""
    from . import _native
    from .design import aliased_columns

    from .models import _penalty_records

    planned = plan_dask(formula, data, binary_response=True)
    if penalties:
        penalties = _penalty_records(penalties, planned.plan)
    p = len(planned.plan.column_names)
    delayed = _dask().delayed
    build = delayed(_design_block, pure=True)
    blocks = [build(planned.recipe, part) for part in planned.partitions]
    persisted = blocks_fit_in_memory(planned.kept, p, workers_memory())
    if persisted:
        blocks = list(_dask().persist(*blocks))
    try:
        irls_partition = delayed(_irls_partition, pure=True)

        def pass_over_blocks(beta: np.ndarray, kind: PassKind) -> Statistics:
            return compute_sum([irls_partition(block, beta, kind) for block in blocks])

        start = pass_over_blocks(np.zeros(p), "start")
        _check_rows(planned, int(start["n"]) + int(start["n_missing"]))
        ridge = None
        if penalties:
            ridge = _native.penalty_diagonal(list(penalties), planned.plan.column_names)
        # The start pass weighs every row by 0.25 exactly, so its h is XᵀX / 4; a column is
        # aliased by the same test as in memory, on XᵀX with the penalty.
        aliased = aliased_columns(4.0 * (start["h"] if ridge is None else
                                         start["h"] + np.diag(ridge)))
        keep = ~aliased
        if ridge is not None:
            ridge = ridge[keep]

        def run_pass(beta: np.ndarray, kind: PassKind) -> Statistics:
            sums = start if kind == "start" else pass_over_blocks(_scatter(beta, keep), kind)
            return {"log_likelihood": sums["log_likelihood"],
                    "h": sums["h"][np.ix_(keep, keep)], "t": sums["t"][keep]}

        if ridge is None:
            result = _r_irls(run_pass, start, keep, max_iterations, convergence_delta)
        else:
            result = irls(run_pass, int(keep.sum()), ridge, max_iterations, convergence_delta)
        deviance_partition = delayed(_deviance_partition, pure=True)
        full_beta = _scatter(result.coefficients, keep)
        deviance = compute_sum([deviance_partition(block, full_beta) for block in blocks])
    finally:
        del blocks  # releases persisted blocks on the workers
    return LogisticStatistics(planned.plan, penalties, result, aliased, deviance["deviance"],
                              start["n"], start["y_sum"], start["n_missing"], persisted)


def _r_irls(run_pass: Callable[[np.ndarray, PassKind], Statistics], start: Statistics,
            keep: np.ndarray, max_iterations: int, convergence_delta: float) -> IrlsResult:
    """R's glm.fit loop over passes of the partitions, as the in-memory fit runs it: the start
    pass's h is XᵀX / 4 and its t is Xᵀ(y − 1/2), which give R's first step."""
    from . import solvers

    def pass_at(beta: np.ndarray) -> tuple[float, np.ndarray, np.ndarray]:
        sums = run_pass(beta, "gram")
        return float(sums["log_likelihood"]), sums["h"], sums["t"]

    loop = solvers.irls_loop(pass_at, 4.0 * start["h"][np.ix_(keep, keep)], start["t"][keep],
                             int(start["n"]), max_iterations, convergence_delta)
    beta = solvers.polished(loop)
    final = run_pass(beta, "gram")
    if not loop.converged:
        solvers.warn_not_converged(max_iterations, convergence_delta)
    return IrlsResult(beta, float(final["log_likelihood"]), final["h"], loop.iterations)


def _check_rows(planned: PlannedFrame, rows: int) -> None:
    if rows != planned.rows:
        raise ValueError(data_changed(
            f"the pass that collected the levels read {planned.rows} rows, the fit pass {rows}"
        ))


def _scatter(values: np.ndarray, keep: np.ndarray) -> np.ndarray:
    full = np.zeros(keep.shape[0])
    full[keep] = values
    return full


# ---- The models ---------------------------------------------------------------------------


def _checked(formula: object, data: object) -> str:
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {formula!r}")
    if not is_dask_frame(data):
        raise TypeError(
            f"data must be a Dask DataFrame (dask.dataframe.DataFrame), not {type(data).__name__}"
        )
    return formula


def _namespace(data: Any) -> Any:
    from . import frames

    return frames.to_frame(data._meta)[1]


def _fit_record(iterations: int | None, persisted: bool | None, data: Any) -> dict[str, Any]:
    return {"partitions": data.npartitions, "iterations": iterations, "persisted": persisted}


def _model_arguments(text: str, data: Any, plan: Any, aliased: np.ndarray, beta: np.ndarray,
                     kind: str, penalties: Any, unscaled: np.ndarray | None, nobs: int,
                     n_missing: int) -> dict[str, Any]:
    """The arguments every model class takes, with a core holding the coefficients `beta` of
    the columns that are not aliased."""
    from . import inference
    from .models import core_from_coefficients

    keep = ~aliased
    names = [name for name, kept in zip(plan.column_names, keep) if kept]
    core = core_from_coefficients(kind, names, beta.tolist(), plan.encoder(), plan.formula,
                                  penalties)
    return {"core": core, "plan": plan, "formula": text,
            "coefficients": inference.scatter(beta, keep, len(plan.column_names)),
            "aliased": aliased, "unscaled_covariance": unscaled, "nobs": nobs,
            "n_missing": n_missing, "native_namespace": _namespace(data)}


def lm(formula: str, data: Any) -> LinearModel:
    """`tf.lm` on a Dask DataFrame: the same model as in memory, from one pass over the data
    for the levels and one for XᵀX, Xᵀy and yᵀy.

    The model's `residuals` and `fitted_values` are None (they would be n-sized); its
    `dask_fit` records the number of partitions.

    >>> import dask.dataframe as dd, pandas as pd, tallyfit as tf
    >>> frame = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> m = tf.lm("y ~ x", dd.from_pandas(frame, npartitions=2))
    >>> round(m.coefficients["x"], 6), round(m.r_squared, 6), m.residuals is None
    (1.1, 0.691429, True)
    """
    from . import inference
    from .models import LinearModel

    text = _checked(formula, data)
    fit = least_squares(text, data)
    plan, sums, keep = fit.plan, fit.sums, ~fit.aliased
    beta = fit.coefficients
    n = int(sums["n"])
    xty = sums["xty"][keep]
    rss = max(float(sums["yty"] - beta @ xty), 0.0)
    tss = float(sums["yty"])
    if plan.has_intercept and n > 0:
        tss = max(tss - sums["y_sum"] ** 2 / n, 0.0)
    model = LinearModel(
        **_model_arguments(text, data, plan, fit.aliased, beta, "LinearRegression", None,
                           inference.unscaled_covariance(sums["xtx"][np.ix_(keep, keep)]),
                           n, int(sums["n_missing"])),
        rss=rss,
        tss=tss,
    )
    setattr(model, "dask_fit", _fit_record(None, None, data))  # set after construction
    return model


def glm(
    formula: str,
    data: Any,
    penalties: Any = None,
    max_iterations: int = 25,
    convergence_delta: float = 1e-8,
) -> LogisticModel:
    """`tf.glm` on a Dask DataFrame (its arguments checked by `tf.glm`): the same model as in
    memory, by the core's IRLS loop with one pass over the partitions per iteration.

    The model's `dask_fit` records the number of partitions, the iterations and whether the
    design blocks were persisted on the workers.

    >>> import dask.dataframe as dd, pandas as pd, tallyfit as tf
    >>> frame = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                       "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]})
    >>> g = tf.glm("y ~ x", dd.from_pandas(frame, npartitions=3))
    >>> round(g.coefficients["x"], 4)
    1.214
    """
    from . import inference
    from .models import LogisticModel, convergence_hint

    text = _checked(formula, data)
    with convergence_hint(max_iterations, convergence_delta):
        fit = logistic(text, data, penalties, max_iterations, convergence_delta)
    plan, records = fit.plan, fit.penalties or None
    unscaled = None if records else inference.unscaled_covariance(fit.result.h)
    kind = "PenalizedLogisticRegression" if records else "LogisticRegression"
    model = LogisticModel(
        **_model_arguments(text, data, plan, fit.aliased, fit.result.coefficients, kind,
                           records, unscaled, fit.n, fit.n_missing),
        deviance=fit.deviance,
        null_deviance=inference.binomial_null_deviance(fit.y_sum, fit.n, plan.has_intercept),
        df_null=fit.n - (1 if plan.has_intercept else 0),
        penalties=dict(penalties) if penalties else None,
        iterations=None if records else fit.result.iterations,
    )
    setattr(model, "dask_fit", _fit_record(fit.result.iterations, fit.persisted, data))
    return model


# ---- Prediction -----------------------------------------------------------------------------


def predict(model: Any, data: Any, **options: Any) -> Any:
    """Lazy predictions of `model` for the rows of a Dask DataFrame: a Dask Series of float64
    with the frame's partitions and index (NaN where a predictor is missing), computed by the
    model's in-memory `predict` on each partition. Errors of the data (an unknown column
    now; a level the model was not fitted with when computed) are those of the in-memory
    predict.

    >>> import dask.dataframe as dd, pandas as pd, tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> new = dd.from_pandas(pd.DataFrame({"x": [5.0, 6.0, 7.0]}), npartitions=2)
    >>> m.predict(new).compute().round(6).tolist()
    [5.5, 6.6, 7.7]
    """
    import pandas as pd

    from . import frames

    if options.get("interval") is not None:
        raise ValueError(
            "prediction intervals are offered for in-memory data only: compute the rows you "
            "need (for example data.head(n) or data.partitions[i].compute()) and predict those"
        )
    options.pop("interval", None)
    options.pop("level", None)
    predictors = list(model._plan.predictors)
    meta, _ = frames.to_frame(data._meta)
    frames.require_columns(meta, predictors)
    return data[predictors].map_partitions(
        _predict_partition, _model_document(model), options,
        meta=pd.Series(dtype="float64"),
    )


def _model_document(model: Any) -> str:
    """The model file's text: what a worker loads the model from."""
    import os
    import tempfile

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model.json")
        model.save(path)
        with open(path, encoding="utf-8") as handle:
            return handle.read()


@lru_cache(maxsize=8)
def _loaded_model(document: str) -> Any:
    import os
    import tempfile

    from .models import load

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model.json")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(document)
        return load(path)


def _predict_partition(partition: Any, document: str, options: dict[str, Any]) -> Any:
    import pandas as pd

    if len(partition) == 0:
        return pd.Series([], dtype="float64", index=partition.index)
    values = _loaded_model(document).predict(partition, **options)
    return pd.Series(values, index=partition.index, dtype="float64")
