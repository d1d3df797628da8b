"""R's expression syntax inside formulas: the nodes (names, numbers, calls, operators), R's
``deparse`` text of a node, and the tokenizer and Pratt parser that read a formula's text into
nodes with their positions (for error messages with a caret).

It is a parser of our own: a few hundred lines that give R's labels exactly (formulaic's differ
in spacing and in the order of variables within a term) and the position of every error.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Optional, Union

__all__ = [
    "Arg", "BinOp", "Call", "Expr", "FormulaError", "Name", "Num", "Paren", "Str", "Unary",
    "deparse", "names_in", "parse_expression", "r_number",
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
