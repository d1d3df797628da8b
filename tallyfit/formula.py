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

This is a small Pratt parser of our own: it is a few hundred lines, gives R's labels exactly
(formulaic's differ in spacing and in the order of variables within a term) and reports errors
with the position in the text.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Optional, Union

__all__ = [
    "Arg", "BinOp", "Call", "Expr", "FormulaError", "ModelFormula", "Name", "Num", "Paren",
    "Str", "Unary", "deparse", "parse", "parse_expression", "r_number",
]


class FormulaError(ValueError):
    """A formula that cannot be parsed or does not fit the data; the message shows where."""

    def __init__(self, problem: str, text: str, position: Optional[int] = None) -> None:
        self.problem = problem
        self.text = text
        self.position = position
        message = f"{problem} in the formula {text!r}"
        if position is not None:
            message += f":\n    {text}\n    {' ' * position}^"
        super().__init__(message)


# ---- expressions -----------------------------------------------------------------------------


@dataclass(frozen=True)
class Name:
    id: str
    pos: int = field(default=-1, compare=False)


@dataclass(frozen=True)
class Num:
    value: float
    pos: int = field(default=-1, compare=False)


@dataclass(frozen=True)
class Str:
    value: str
    pos: int = field(default=-1, compare=False)


@dataclass(frozen=True)
class Arg:
    name: Optional[str]
    value: "Expr"


@dataclass(frozen=True)
class Call:
    func: str
    args: tuple[Arg, ...]
    pos: int = field(default=-1, compare=False)


@dataclass(frozen=True)
class BinOp:
    op: str
    left: "Expr"
    right: "Expr"
    pos: int = field(default=-1, compare=False)


@dataclass(frozen=True)
class Unary:
    op: str
    operand: "Expr"
    pos: int = field(default=-1, compare=False)


@dataclass(frozen=True)
class Paren:
    inner: "Expr"
    pos: int = field(default=-1, compare=False)


Expr = Union[Name, Num, Str, Call, BinOp, Unary, Paren]

_SYNTACTIC = re.compile(r"^((\.[A-Za-z._]|[A-Za-z])[A-Za-z0-9._]*|\.)$")
_RESERVED = {"if", "else", "repeat", "while", "function", "for", "next", "break", "TRUE",
             "FALSE", "NULL", "Inf", "NaN", "NA", "in"}


def r_number(value: float) -> str:
    """A number as R's ``deparse`` and ``as.character`` write it: 15 significant digits, fixed
    notation unless scientific is shorter (``1e+05``, ``1e-04``, ``0.5``, ``123456``)."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Inf" if value > 0 else "-Inf"
    if value == 0:
        return "0"
    target = float(f"{value:.14e}")
    digits = next(d for d in range(1, 16) if float(f"{value:.{d - 1}e}") == target)
    mantissa, exponent = f"{value:.{digits - 1}e}".split("e")
    power = int(exponent)
    sci = f"{mantissa}e{'-' if power < 0 else '+'}{abs(power):02d}"
    fixed = f"{value:.{max(0, digits - 1 - power)}f}"
    return fixed if len(fixed) <= len(sci) else sci


_CONSTANTS = {"TRUE", "FALSE", "NULL", "Inf", "NaN", "NA"}


def _name_text(name: str) -> str:
    if (_SYNTACTIC.match(name) and name not in _RESERVED) or name in _CONSTANTS:
        return name
    return "`" + name.replace("\\", "\\\\").replace("`", "\\`") + "`"


_SPACED = {"+", "-", "*", "~", "==", "!=", "<", ">", "<=", ">=", "&", "|"}


def deparse(expr: Expr) -> str:
    """R's ``deparse`` of the expression: ``log(x + 1)``, ``I(x^2)``, ``ns(x, df = 3)``."""
    if isinstance(expr, Name):
        return _name_text(expr.id)
    if isinstance(expr, Num):
        return r_number(expr.value)
    if isinstance(expr, Str):
        return '"' + expr.value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(expr, Call):
        args = ", ".join(
            deparse(arg.value) if arg.name is None else f"{arg.name} = {deparse(arg.value)}"
            for arg in expr.args
        )
        return f"{expr.func}({args})"
    if isinstance(expr, BinOp):
        left, right = deparse(expr.left), deparse(expr.right)
        if expr.op in _SPACED or expr.op.startswith("%"):
            return f"{left} {expr.op} {right}"
        return f"{left}{expr.op}{right}"
    if isinstance(expr, Unary):
        return f"{expr.op}{deparse(expr.operand)}"
    return f"({deparse(expr.inner)})"


def names_in(expr: Expr) -> list[str]:
    """The names an expression reads (R's ``all.vars``), in order, each once; function names
    and the names of arguments are not among them."""
    found: dict[str, None] = {}

    def walk(node: Expr) -> None:
        if isinstance(node, Name):
            if node.id not in ("TRUE", "FALSE", "T", "F", "pi"):
                found.setdefault(node.id, None)
        elif isinstance(node, Call):
            for position, arg in enumerate(node.args):
                # contrast names such as contr.sum are functions, not data
                if node.func == "C" and position > 0:
                    continue
                walk(arg.value)
        elif isinstance(node, BinOp):
            walk(node.left)
            walk(node.right)
        elif isinstance(node, Unary):
            walk(node.operand)
        elif isinstance(node, Paren):
            walk(node.inner)

    walk(expr)
    return list(found)


# ---- tokens and the parser -------------------------------------------------------------------

_TOKEN = re.compile(
    r"""(?P<space>\s+)
      | (?P<num>(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?L?)
      | (?P<name>(\.[A-Za-z._]|[A-Za-z]|\.)[A-Za-z0-9._]*)
      | (?P<bq>`(\\.|[^`\\])*`)
      | (?P<str>"(\\.|[^"\\])*"|'(\\.|[^'\\])*')
      | (?P<op>%[^%]*%|==|!=|<=|>=|::|[-+*/^:~(),=<>&|!])
    """,
    re.VERBOSE,
)

# Binding powers (left) of the binary operators, R's precedence from high to low.
_BINARY = {"^": 70, ":": 50, "*": 30, "/": 30, "+": 20, "-": 20,
           "==": 15, "!=": 15, "<": 15, ">": 15, "<=": 15, ">=": 15, "&": 12, "|": 11,
           "~": 10}
_UNARY = 60
_SPECIAL = 40  # %in%, %any%


@dataclass
class _Token:
    kind: str
    text: str
    pos: int


def _tokens(text: str) -> list[_Token]:
    tokens: list[_Token] = []
    position = 0
    while position < len(text):
        match = _TOKEN.match(text, position)
        if match is None:
            problem = ("an unterminated backquoted name or string" if text[position] in "`\"'"
                       else f"the character {text[position]!r} is not part of R's formulas")
            raise FormulaError(problem, text, position)
        kind = match.lastgroup or ""
        if kind != "space":
            tokens.append(_Token(kind, match.group(), position))
        position = match.end()
    tokens.append(_Token("end", "", len(text)))
    return tokens


def _unescape(body: str) -> str:
    return re.sub(r"\\(.)", r"\1", body)


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = _tokens(text)
        self.index = 0

    def peek(self) -> _Token:
        return self.tokens[self.index]

    def take(self) -> _Token:
        token = self.tokens[self.index]
        self.index += 1
        return token

    def fail(self, problem: str, token: _Token) -> FormulaError:
        return FormulaError(problem, self.text, token.pos)

    def expect(self, text: str, opened: Optional[_Token] = None) -> _Token:
        token = self.peek()
        if token.text != text or token.kind not in ("op",):
            if opened is not None:
                raise self.fail(f"unbalanced parentheses: the {opened.text!r} here is not closed",
                                opened)
            raise self.fail(f"expected {text!r}", token)
        return self.take()

    def expression(self, power: int = 0) -> Expr:
        left = self.prefix()
        while True:
            token = self.peek()
            if token.kind != "op":
                if token.kind != "end":
                    raise self.fail(f"unexpected {token.text!r} (an operator is missing)", token)
                return left
            op = token.text
            if op.startswith("%"):
                bind = _SPECIAL
            elif op in _BINARY:
                bind = _BINARY[op]
            else:
                return left
            if bind <= power:
                return left
            self.take()
            if self.peek().kind == "end":
                raise self.fail(f"the operator {op!r} has no right-hand side", token)
            right = self.expression(bind - 1 if op == "^" else bind)
            left = BinOp(op, left, right, token.pos)

    def prefix(self) -> Expr:
        token = self.take()
        if token.kind == "num":
            return Num(float(token.text.rstrip("L")), token.pos)
        if token.kind == "str":
            return Str(_unescape(token.text[1:-1]), token.pos)
        if token.kind in ("name", "bq"):
            name = token.text if token.kind == "name" else _unescape(token.text[1:-1])
            if self.peek().text == "::" and token.kind == "name":
                self.take()  # splines::ns is ns
                return self.prefix()
            if self.peek().text == "(" and self.peek().kind == "op":
                return self.call(name, token)
            return Name(name, token.pos)
        if token.text in ("-", "+", "!"):
            if self.peek().kind == "end":
                raise self.fail(f"the operator {token.text!r} has no operand", token)
            return Unary(token.text, self.expression(_UNARY), token.pos)
        if token.text == "(":
            if self.peek().text == ")":
                raise self.fail("empty parentheses", token)
            inner = self.expression()
            self.expect(")", token)
            return Paren(inner, token.pos)
        if token.kind == "end":
            raise self.fail("the formula ends where a term is expected", token)
        if token.text == ")":
            raise self.fail("unbalanced parentheses: this ')' closes nothing", token)
        raise self.fail(f"unexpected {token.text!r} where a term is expected", token)

    def call(self, func: str, name_token: _Token) -> Call:
        opened = self.take()
        args: list[Arg] = []
        if self.peek().text == ")":
            self.take()
            return Call(func, (), name_token.pos)
        while True:
            name: Optional[str] = None
            if self.peek().kind in ("name", "bq") and self.tokens[self.index + 1].text == "=":
                name = self.take().text.strip("`")
                self.take()
            args.append(Arg(name, self.expression()))
            token = self.peek()
            if token.text == ",":
                self.take()
                continue
            if token.text == ")":
                self.take()
                return Call(func, tuple(args), name_token.pos)
            if token.kind == "end":
                raise self.fail(f"unbalanced parentheses: the '(' of {func}( is not closed",
                                opened)
            raise self.fail(f"unexpected {token.text!r} in the arguments of {func}()", token)


def parse_expression(text: str) -> Expr:
    """The expression tree of a text (a formula or a part of one)."""
    parser = _Parser(text)
    expr = parser.expression()
    token = parser.peek()
    if token.kind != "end":
        if token.text == ")":
            raise parser.fail("unbalanced parentheses: this ')' closes nothing", token)
        raise parser.fail(f"unexpected {token.text!r}", token)
    return expr


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
                from . import transforms

                transforms.check_call(expr, self.text)
                self.offsets.append(expr.args[0].value)
                for name in names_in(expr):
                    self.variable(Name(name))  # an offset's variables count for the order
                return []
            from . import transforms

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
    from . import transforms

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
