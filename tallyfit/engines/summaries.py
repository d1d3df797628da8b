"""What the engines that read their rows in blocks (Dask partitions, stream batches) share:
the planning pass's summary of one block and their merge into kinds and levels, and the
checks that a later pass read the data the plan was made from.

The merge follows the in-memory rules: a categorical variable's levels are its declared
categories (in order of first appearance over the blocks, as pandas' and Arrow's
concatenation orders them) when every block with values declares them, else the values
found, sorted; of those, the ones some kept row uses.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Mapping, Optional, Sequence

import numpy as np

from .. import frames
from ..design import missing_rows, parse_formula
from ..frames import Kind, collect_levels

#: The planning pass's summary of one block: kinds, levels and row counts.
Summary = dict[str, Any]


def used_variables(formula: Any, *extra: Optional[str]) -> list[str]:
    """The data columns of a parsed formula (``.`` expanded): the predictors, then the
    response, then the `extra` columns given (the weights and offset columns; None for
    none)."""
    used = list(parse_formula(formula).data_columns)
    used += [name for name in parse_formula(formula).response_columns if name not in used]
    return used + [name for name in extra if name is not None and name not in used]


def block_kinds(frame: Any, used: Sequence[str]) -> dict[str, Optional[Kind]]:
    """The kind of every used column of a block; None for a column with only missing values
    here, which says nothing of its kind (an object column of None would look boolean): the
    other blocks decide."""
    return {name: None if frames.all_missing(frame[name]) else frames.column_kind(frame, name)
            for name in used}


def block_summary(block: Any, used: Sequence[str], missing: Any = False) -> Optional[Summary]:
    """Kinds, levels and row counts of one block of rows (None for an empty one); `missing`
    the rows that are not kept when more than those missing a used column are (None: none)."""
    if len(block) == 0:
        return None
    frame, _ = frames.to_frame(block)
    kinds = block_kinds(frame, used)
    if missing is False:
        missing = missing_rows(frame, used)
    kept = None if missing is None else ~missing
    categorical = [name for name in used if kinds[name] == "categorical"]
    declared = [name for name in categorical if frames.declared_levels(frame[name]) is not None]
    # The declared levels in declared order, to merge, and those the kept rows use: R drops
    # the others.
    return {"kinds": kinds, "levels": collect_levels(frame, categorical, kept),
            "used_levels": collect_levels(frame, categorical, kept, drop_unused=True),
            "declared": declared, "rows": len(frame),
            "kept": len(frame) if kept is None else int(kept.sum())}


@dataclass
class _Levels:
    declared: dict[str, None] = field(default_factory=dict)  # in order of first appearance
    all_declared: bool = True
    found: set[str] = field(default_factory=set)
    used: set[str] = field(default_factory=set)


class Merged:
    """Block summaries added one at a time (so a stream holds one block and the union of
    levels), then read as the kinds and levels of the whole data."""

    def __init__(self, used: Sequence[str], blocks: str) -> None:
        self.used = list(used)
        self.blocks = blocks  # what a block is called in errors: "partitions", "batches"
        self.rows = 0
        self.kept = 0
        self._kinds: dict[str, set[Optional[Kind]]] = {name: set() for name in used}
        self._levels: dict[str, _Levels] = {}

    def add(self, summary: Optional[Summary]) -> None:
        if summary is None:
            return
        self.rows += summary["rows"]
        self.kept += summary["kept"]
        for name in self.used:
            self._kinds[name].add(summary["kinds"][name])
        for name, values in summary["levels"].items():
            merged = self._levels.setdefault(name, _Levels())
            merged.all_declared &= name in summary["declared"]
            merged.declared.update(dict.fromkeys(values))
            merged.found.update(values)
            merged.used.update(summary["used_levels"][name])

    def check_rows(self) -> None:
        """The in-memory error when no row has values in every used column."""
        if not self.kept:
            raise ValueError(
                f"no row of the data has values in all of {', '.join(map(repr, self.used))}: "
                "nothing to fit"
            )

    def kinds(self, meta: Any) -> dict[str, Kind]:
        """The kind of every column over the blocks that have values in it; of the empty
        frame `meta`'s dtype for a column with none."""
        kinds: dict[str, Kind] = {}
        for name in self.used:
            found = {kind for kind in self._kinds[name] if kind is not None}
            if len(found) > 1:
                raise ValueError(
                    f"column {name!r} holds values of different kinds "
                    f"({', '.join(sorted(found))}) in different {self.blocks}: convert it to "
                    "one type"
                )
            kinds[name] = found.pop() if found else frames.column_kind(meta, name)
        return kinds

    def levels(self, kinds: Mapping[str, Kind],
               known: Mapping[str, list[str]]) -> dict[str, list[str]]:
        """The levels of every categorical variable; `known` gives the declared levels of
        the variables whose categories the input's schema fixes."""
        result = {}
        for name in self.used:
            if kinds[name] != "categorical":
                continue
            merged = self._levels.get(name, _Levels())
            if name in known:
                order = known[name]
            elif merged.all_declared:
                order = list(merged.declared)
            else:
                order = sorted(merged.found)
            result[name] = [level for level in order if level in merged.used]
        return result


def data_changed(what: str, advice: str) -> str:
    """The error of data that differ between the pass that planned the fit and a later one."""
    return (
        f"the data changed during the fit: {what}. The fit reads the data more than once, so "
        f"its source must give the same rows every time: {advice}"
    )


def rows_changed(planned: int, found: int) -> str:
    return f"the pass that collected the levels read {planned} rows, the fit pass {found}"


def change_since_planning(plan: Any, frame: Any) -> Optional[str]:
    """How the frame differs from what the planning pass found (a categorical value that is
    no level of the plan, or a column of another kind), or None when it does not."""
    used = list(dict.fromkeys([*plan.predictors, *plan.model_formula.response_columns]))
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


def scatter(values: np.ndarray, keep: np.ndarray) -> np.ndarray:
    """The values of the kept columns in a vector of every column (zeros elsewhere)."""
    full = np.zeros(keep.shape[0])
    full[keep] = values
    return full
