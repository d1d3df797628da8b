"""R's formula language: a text such as ``log(y) ~ poly(x, 2) + f/g - 1`` parsed into terms.

The grammar and the term algebra are those of R's ``terms.formula``:

* ``a + b`` both; ``a - b`` the terms of ``a`` without those of ``b``; ``a:b`` the interactions
  of every term of ``a`` with every term of ``b``; ``a * b`` = ``a + b + a:b``; ``(a + b)^k``
  all interactions up to degree k; ``a / b`` = ``a + a:b`` (the interaction of all variables
  of ``a`` with each term of ``b``); ``b %in% a`` = every term of ``b`` interacted with all
  variables of ``a``; ``1`` and ``+0``/``-1`` add or remove the intercept (the last one
  written wins); ``.`` every data column not used by the response.
* Operators bind as in R: ``^`` (right), unary ``-``, ``:``, ``%in%``, ``* /``, ``+ -``, ``~``.
* A variable is an expression: a column name (backquoted if it is not a syntactic name) or a
  call such as ``log(x + 1)``; its label is R's ``deparse`` text.
* Terms are sorted by degree, in order of creation within a degree (``keep.order = FALSE``);
  the variables of a term are in order of their first appearance in the formula, the
  response first. ``offset(expr)`` is no term: it is collected in ``offsets``.

The text is read into expressions by `tallyfit.expressions`; calls are checked against the
functions of `tallyfit.transforms`.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Optional

from . import transforms
from .expressions import (  # noqa: F401 (re-exported)
    Arg, BinOp, Call, Expr, FormulaError, Name, Num, Paren, Str, Unary, deparse, names_in,
    parse_expression, r_number,
)

__all__ = [
    "Arg", "BinOp", "Call", "Expr", "FormulaError", "ModelFormula", "Name", "Num", "Paren",
    "Str", "Unary", "deparse", "parse", "parse_expression", "r_number",
]


# ---- the term algebra ------------------------------------------------------------------------

Term = frozenset[int]  # of variable positions


@dataclass(frozen=True)
class ModelFormula:
    """A parsed formula. `terms` are tuples of variables (expressions), R's order; `response`
    is the left-hand side (None for a one-sided formula); `offsets` the arguments of the
    ``offset()`` terms; `response_dropped` whether the response's own main effect was written
    on the right-hand side (R drops it). `dot` is True while a ``.`` awaits the data's
    columns (see ``with_columns``)."""

    text: str
    response: Optional[Expr]
    terms: tuple[tuple[Expr, ...], ...]
    intercept: bool
    offsets: tuple[Expr, ...]
    response_dropped: bool
    dot: bool = False

    @property
    def original(self) -> str:
        return self.text

    @property
    def response_label(self) -> Optional[str]:
        return None if self.response is None else deparse(self.response)

    @property
    def term_labels(self) -> list[str]:
        """R's ``attr(terms(f), "term.labels")``."""
        return [":".join(deparse(v) for v in term) for term in self.terms]

    @property
    def variables(self) -> list[Expr]:
        """The distinct variables of the terms, in order of first appearance."""
        seen: dict[str, Expr] = {}
        for term in self.terms:
            for variable in term:
                seen.setdefault(deparse(variable), variable)
        return list(seen.values())

    @property
    def data_columns(self) -> list[str]:
        """The data columns the terms and offsets read (not the response), in order."""
        found: dict[str, None] = {}
        for variable in [*self.variables, *self.offsets]:
            found.update(dict.fromkeys(names_in(variable)))
        return list(found)

    @property
    def response_columns(self) -> list[str]:
        return [] if self.response is None else names_in(self.response)

    def with_columns(self, columns: Sequence[str]) -> "ModelFormula":
        """The formula with ``.`` expanded to the given data columns (the response's
        excluded); itself when it has no ``.``."""
        return self if not self.dot else parse(self.text, columns)


class _Algebra:
    """Evaluates the right-hand side of a formula into terms, as R's ``EncodeVars`` does."""

    def __init__(self, text: str, columns: Optional[Sequence[str]]) -> None:
        self.text = text
        self.columns = columns
        self.variables: dict[str, Expr] = {}
        self.intercept = True
        self.offsets: list[Expr] = []
        self.dot = False
        self.excluded: set[str] = set()

    def variable(self, expr: Expr) -> Term:
        label = deparse(expr)
        if label not in self.variables:
            self.variables[label] = expr
        return frozenset({list(self.variables).index(label)})

    def fail(self, problem: str, expr: Expr) -> FormulaError:
        return FormulaError(problem, self.text, getattr(expr, "pos", None))

    def terms(self, expr: Expr, negated: bool = False) -> list[Term]:
        if isinstance(expr, Paren):
            return self.terms(expr.inner, negated)
        if isinstance(expr, Num):
            if expr.value in (0.0, 1.0):
                self.intercept = (expr.value == 1.0) != negated
                return []
            raise self.fail(f"the number {r_number(expr.value)} is not a term (only 0, 1 and -1 "
                            "are: they remove or add the intercept)", expr)
        if isinstance(expr, Unary):
            if expr.op == "-":
                self.terms(expr.operand, not negated)  # removes from nothing; sets intercept
                return []
            if expr.op == "+":
                return self.terms(expr.operand, negated)
            raise self.fail(f"the operator {expr.op!r} is not part of R's formulas", expr)
        if isinstance(expr, Name) and expr.id == ".":
            return self.dot_terms(expr)
        if isinstance(expr, (Name, Str)):
            if isinstance(expr, Str):
                raise self.fail("a string is not a term: write a column name", expr)
            return [self.variable(expr)]
        if isinstance(expr, Call):
            if expr.func == "offset":
                transforms.check_call(expr, self.text)
                self.offsets.append(expr.args[0].value)
                for name in names_in(expr):
                    self.variable(Name(name))  # an offset's variables count for the order
                return []
            transforms.check_variable(expr, self.text)
            return [self.variable(expr)]
        assert isinstance(expr, BinOp)
        op = expr.op
        if op == "+":
            return _plus(self.terms(expr.left, negated), self.terms(expr.right, negated))
        if op == "-":
            left = self.terms(expr.left, negated)
            removed = self.terms(expr.right, not negated)
            return [term for term in left if term not in removed]
        if op in (":", "*", "/", "%in%"):
            left = self.factor_terms(expr.left, expr)
            right = self.factor_terms(expr.right, expr)
            if op == ":":
                return _product(left, right)
            if op == "*":
                return _plus(_plus(left, right), _product(left, right))
            if op == "/":
                return _plus(left, _product([_union(left)], right))
            return _product(left, [_union(right)])
        if op == "^":
            base = self.factor_terms(expr.left, expr)
            power = expr.right
            while isinstance(power, Paren):
                power = power.inner
            if not isinstance(power, Num) or power.value < 1 or power.value != int(power.value):
                raise self.fail("the power of '^' must be a whole number of 1 or more", expr.right)
            result = base
            for _ in range(int(power.value) - 1):
                result = _plus(_plus(result, base), _product(result, base))
            return result
        if op.startswith("%"):
            raise self.fail(f"the operator {op!r} is not part of R's formulas", expr)
        if op == "~":
            raise self.fail("a formula has one '~'", expr)
        raise self.fail(f"the operator {op!r} is not part of R's formulas outside I()", expr)

    def factor_terms(self, expr: Expr, parent: BinOp) -> list[Term]:
        saved = self.intercept
        found = self.terms(expr)
        if self.intercept != saved or (isinstance(expr, Num)):
            raise self.fail(f"the intercept (0 or 1) cannot be part of '{parent.op}'", expr)
        return found

    def dot_terms(self, expr: Expr) -> list[Term]:
        if self.columns is None:
            self.dot = True
            return []
        return [self.variable(Name(column)) for column in self.columns
                if column not in self.excluded]


def _plus(left: list[Term], right: Iterable[Term]) -> list[Term]:
    result = list(left)
    for term in right:
        if term not in result:
            result.append(term)
    return result


def _product(left: list[Term], right: list[Term]) -> list[Term]:
    return _plus([], (a | b for a in left for b in right))


def _union(terms: list[Term]) -> Term:
    return frozenset().union(*terms)


def parse(text: str, columns: Optional[Sequence[str]] = None) -> ModelFormula:
    """Parses an R formula. `columns` (the data's column names) expand ``.``; without them a
    ``.`` is left for ``ModelFormula.with_columns``.

    >>> f = parse("log(y) ~ poly(x, 2) + wool + tension %in% wool - 1")
    >>> f.term_labels, f.intercept, f.response_label
    (['poly(x, 2)', 'wool', 'wool:tension'], False, 'log(y)')
    """
    if not isinstance(text, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {text!r}")
    if not text.strip():
        raise FormulaError("an empty text is no formula", text, 0)
    tree = parse_expression(text)
    if not (isinstance(tree, BinOp) and tree.op == "~"):
        raise FormulaError("a formula needs a '~' between the response and the terms", text,
                           len(text))
    algebra = _Algebra(text, columns)
    response: Expr = tree.left
    if isinstance(response, Name) and response.id == ".":
        raise FormulaError("'.' cannot be the response", text, response.pos)
    transforms.check_response(response, text)
    algebra.variable(response)
    algebra.excluded = set(names_in(response))
    found = algebra.terms(tree.right)
    labels = list(algebra.variables)
    dropped = frozenset({0}) in found
    ordered = sorted((term for term in found if term and term != frozenset({0})), key=len)
    terms = tuple(
        tuple(algebra.variables[labels[i]] for i in sorted(term)) for term in ordered
    )
    return ModelFormula(text, response, terms, algebra.intercept, tuple(algebra.offsets),
                        dropped, algebra.dot)
