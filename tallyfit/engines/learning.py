"""The planning passes of the engines that read their rows in blocks (Dask partitions,
stream batches): the states of the stateful calls (``scale``, ``poly``, ``ns``, ``bs``), the
kinds and the levels, with the numbers of the in-memory plan (`design.plan_from_frame`).

Each pass runs `gather` on every block and merges what the blocks give on the client:

* a stateful call's argument is evaluated on the block (elementwise calls inside it, such as
  ``poly(log(x), 2)``, block by block) and its present values summarised for the call's own
  ``learn`` (`transforms.learn_state`): ``scale`` and orthogonal ``poly`` take the central
  moments (`moments.Moments`: count, mean and centred power sums up to 2 on ``scale``, up to
  2 × degree on ``poly``, merged exactly); ``ns`` and ``bs`` take the values themselves,
  since their knots are exact quantiles, which need every value (one float64 column reaches
  the client);
* the block's kinds, levels and row counts (`summaries.block_summary`) over the rows a fit
  keeps (a computed variable's missing values included), and the distinct values of every
  computed categorical variable (``factor(x)``, ``C(x, sum)``, ``relevel(x, ref = 2)``) of a
  numeric column, whose union gives its levels as in memory.

One pass does all of it, unless a call needs the state of another to be evaluated
(``poly(scale(x), 2)``, ``log(scale(x))`` in a term): then the inner states are learned in a
pass first, and as many passes follow as the nesting is deep.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from .. import frames, transforms
from ..design import DesignPlan, computed_missing, missing_rows, parse_formula, plan_design
from ..expressions import Call, Expr, Name, deparse
from ..formula import ModelFormula
from ..frames import Kind
from ..moments import Moments
from .summaries import Merged, block_kinds, block_summary

#: What `gather` gives for one block (None for an empty block).
Gathered = Optional[dict[str, Any]]


@dataclass(frozen=True)
class Learning:
    """What a pass gathers, as plain data that travels to workers: the formula and the
    columns ``.`` stands for, the used columns, the states known so far, the labels of the
    calls whose argument to summarise, and whether to summarise kinds and levels."""

    formula: str
    columns: Optional[tuple[str, ...]]
    used: tuple[str, ...]
    states: Mapping[str, transforms.State] = field(default_factory=dict)
    learn: tuple[str, ...] = ()
    summarize: bool = False

    def parsed(self) -> ModelFormula:
        parsed = parse_formula(self.formula)
        return parsed if self.columns is None else parsed.with_columns(self.columns)


def stateful_by_label(parsed: ModelFormula) -> dict[str, Call]:
    """The stateful calls of the formula's variables, offsets and response, by label,
    innermost first."""
    expressions = [*parsed.variables, *parsed.offsets]
    if parsed.response is not None:
        expressions.append(parsed.response)
    return {deparse(call): call for expr in expressions
            for call in transforms.stateful_calls(expr)}


def _categorical_sources(parsed: ModelFormula
                         ) -> dict[str, tuple[Expr, Expr, Optional[str]]]:
    """The computed categorical variables: label -> (the variable, the expression of its
    values, the level relevel moves first)."""
    reader = transforms.Evaluator(None, {})
    return {deparse(v): (v, *reader.categorical_source(v)) for v in parsed.variables
            if not isinstance(v, Name) and transforms.variable_kind(v, {}) == "categorical"}


def gather(block: Any, learning: Learning) -> Gathered:
    """What one block gives to the pass `learning` describes."""
    if len(block) == 0:
        return None
    frame = frames.to_frame(block)[0]
    parsed = learning.parsed()
    used = list(learning.used)
    known = {name: kind for name, kind in block_kinds(frame, used).items() if kind is not None}
    evaluator = transforms.Evaluator(frame, learning.states, known)
    calls = stateful_by_label(parsed)
    statistics: dict[str, Any] = {}
    for label in learning.learn:
        values = evaluator.present_argument(calls[label])
        order = transforms.moments_order(calls[label])
        statistics[label] = values if order is None else Moments.of(values, order)
    gathered: dict[str, Any] = {"statistics": statistics}
    if learning.summarize:
        missing = computed_missing(parsed, evaluator, missing_rows(frame, used))
        gathered["summary"] = block_summary(frame, used, missing)
        kept = None if missing is None else ~missing
        gathered["values"] = {
            label: evaluator.distinct_values(source, kept)
            for label, (_, source, _) in _categorical_sources(parsed).items()
            if not (isinstance(source, Name) and known.get(source.id, "categorical")
                    == "categorical")}
    return gathered


def _needs_unknown(expr: Expr, states: Mapping[str, Any]) -> bool:
    """Whether finding the rows where `expr` is missing needs a state not yet learned (a
    call missing where its argument is needs only its argument)."""
    if isinstance(expr, Call) and expr.func in transforms.FUNCTIONS:
        transform = transforms.FUNCTIONS[expr.func]
        argument = transforms.bound_arguments(expr).get(transform.data_params[0])
        if transform.missing_as_argument and argument is not None:
            return _needs_unknown(argument, states)
    return any(deparse(call) not in states for call in transforms.stateful_calls(expr))


def _summary_waits(parsed: ModelFormula, states: Mapping[str, Any]) -> bool:
    """Whether the kept rows or the levels need states not yet learned."""
    numeric: list[Expr] = [v for v in parsed.variables if not isinstance(v, Name)
                           and transforms.variable_kind(v, {}) != "categorical"]
    numeric += [*parsed.offsets, *([parsed.response] if parsed.response is not None else [])]
    sources = [source for _, source, _ in _categorical_sources(parsed).values()]
    return any(_needs_unknown(expr, states) for expr in [*numeric, *sources])


def plan_in_passes(
    parsed: ModelFormula, meta: Any, used: Sequence[str],
    run: Callable[[Learning], Iterable[Gathered]], blocks: str, *, family: Any = None,
    weights: Optional[str] = None, offset: Optional[str] = None, kinds: Optional[Mapping[str, Kind]] = None,
    known: Optional[Mapping[str, list[str]]] = None, columns: Optional[Sequence[str]] = None,
) -> tuple[DesignPlan, Optional[Merged]]:
    """The design plan of `parsed` (``.`` expanded to `columns`) over data read in blocks,
    and the merged summary of the blocks (None when no pass was needed). `run(learning)`
    gives `gather(block, learning)` for every block; `meta` is the frame of no rows with the
    data's types, `kinds` the kinds when the schema fixes them (None: a pass finds them),
    `known` the categories the schema declares, `blocks` what a block is called."""
    calls = stateful_by_label(parsed)
    computed_levels = _categorical_sources(parsed)
    need_summary = kinds is None or bool(computed_levels)
    states: dict[str, transforms.State] = {}
    merged: Optional[Merged] = None
    values: dict[str, list[Any]] = {label: [] for label in computed_levels}
    while True:
        ready = tuple(label for label, call in calls.items() if label not in states and all(
            deparse(inner) in states for inner in transforms.stateful_calls(call)[:-1]))
        summarize = merged is None and (need_summary or bool(ready)) \
            and not _summary_waits(parsed, states)
        if not ready and not summarize:
            break
        learning = Learning(parsed.original, None if columns is None else tuple(columns),
                            tuple(used), dict(states), ready, summarize)
        pieces: dict[str, list[Any]] = {label: [] for label in ready}
        found = Merged(used, blocks) if summarize else None
        for gathered in run(learning):
            if gathered is None:
                continue
            for label, statistics in gathered["statistics"].items():
                pieces[label].append(statistics)
            if found is not None:
                found.add(gathered["summary"])
                for label, distinct in gathered["values"].items():
                    values[label].append(distinct)
        for label in ready:
            states[label] = _learned(calls[label], pieces[label], parsed.text)
        merged = merged or found
    if merged is not None:
        merged.check_rows()
        kinds = merged.kinds(meta)
    assert kinds is not None
    kinds = dict(kinds)
    levels = {} if merged is None else merged.levels(kinds, dict(known or {}))
    for label, (variable, source, ref) in computed_levels.items():
        if isinstance(source, Name) and kinds[source.id] == "categorical":
            found_levels = list(levels[source.id])
        else:
            distinct = np.unique(np.concatenate(values[label])) if values[label] else []
            bools = isinstance(source, Name) and kinds[source.id] == "bool"
            found_levels = transforms.level_texts(np.asarray(distinct), bools)
        try:
            levels[label] = transforms.with_reference(variable, found_levels, ref)
        except ValueError as error:
            raise ValueError(f"{error} (in the formula {parsed.text!r})") from None
    plan = plan_design(parsed, kinds, levels, response_rule=family, states=states,
                       weights=weights, offset=offset)
    return plan, merged


def _learned(call: Call, pieces: list[Any], text: str) -> transforms.State:
    """The state of a call from its blocks' summaries of its argument."""
    order = transforms.moments_order(call)
    if order is None:
        gathered: dict[str, Any] = {"x": np.concatenate(pieces) if pieces else np.zeros(0)}
    else:
        total = Moments(0, 0.0, np.zeros(order + 1))
        for piece in pieces:
            total = total + piece
        gathered = {"moments": total}
    try:
        return transforms.learn_state(call, gathered)
    except ValueError as error:
        raise ValueError(f"{error} (in the formula {text!r})") from None
