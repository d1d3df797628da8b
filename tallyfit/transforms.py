"""The functions a formula may call, one entry each in ``FUNCTIONS``.

A numeric function maps the values of its arguments (float64, NaN where missing) to one column
or to a block of columns (``poly``, ``ns``, ``bs``). A stateful one (``scale``, ``poly``,
``ns``, ``bs``) first learns its state from the values of its argument (every row where that
argument is present, as R's ``model.frame`` evaluates it before dropping rows with missing
values elsewhere); the state is a JSON-able dict kept in the design plan and reused for new
data, as R's ``predict`` does through ``makepredictcall``.

A categorical function (``factor``, ``C``, ``relevel``) gives level codes; ``C(f, contr)``
also sets the contrasts: ``contr.treatment`` (also ``C(f, contr.treatment, base = k)``, R's
form, and the shorthand ``C(f, contr.treatment(base = k))``, which R itself refuses),
``contr.sum`` and ``contr.helmert`` (R's short names ``treatment``, ``sum``, ``helmert`` too).

Adding a transform is one ``Transform`` entry: its name, its arguments, what it gives and, for
a stateful one, ``learn``.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _native, frames
from .moments import Moments
from .expressions import Arg, BinOp, Call, Expr, FormulaError, Name, Num, Paren, Str, Unary, deparse
from .expressions import r_number

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]
State = dict[str, Any]


@dataclass(frozen=True)
class Transform:
    """One function of the formula language.

    `params` are the argument names in R's order (positional arguments bind to them in turn),
    `required` how many must be given; `kind` is "numeric" or "categorical"; `basis` marks a
    function whose columns R names label + 1, 2, ...; `evaluate(args, state)` gets the
    evaluated data arguments (arrays) and the constant ones (numbers, names); `learn(args)`
    the state from the values of the first argument where it is present; `width(args, state)`
    the number of columns."""

    params: tuple[str, ...]
    required: int
    kind: str = "numeric"
    evaluate: Optional[Callable[..., Any]] = None
    learn: Optional[Callable[..., State]] = None
    width: Optional[Callable[[Mapping[str, Any], Optional[State]], int]] = None
    basis: bool = False
    data_params: tuple[str, ...] = ("x",)
    #: Its values are missing exactly where its argument is (so the rows a fit keeps are found
    #: without computing the columns).
    missing_as_argument: bool = False
    #: The order of the central moments (`moments.Moments`) that `learn` takes in place of
    #: the values (``args["moments"]``), from the constant arguments; None: it needs the values.
    moments: Optional[Callable[[Mapping[str, Any]], int]] = None


def _unary(function: Callable[[FloatArray], FloatArray]) -> Transform:
    return Transform(("x",), 1, evaluate=lambda a, s: function(a["x"]))


def _log(args: Mapping[str, Any], state: Optional[State]) -> FloatArray:
    with np.errstate(divide="ignore", invalid="ignore"):
        values = np.log(args["x"])
        base = args.get("base")
        return np.asarray(values if base is None else values / math.log(float(base)),
                          dtype=np.float64)


# ---- poly: R's orthogonal polynomials ------------------------------------------------------


def _poly_learn(args: Mapping[str, Any]) -> State:
    degree = _whole(args, "degree", 1)
    if "moments" in args:
        return _poly_from_moments(args["moments"], degree)
    x = args["x"]
    # A few thousand values usually show enough distinct points without sorting them all.
    if len(np.unique(x[:4096])) <= degree and (distinct := len(np.unique(x))) <= degree:
        raise ValueError(f"'degree' ({degree}) must be less than the number of unique points "
                         f"({distinct})")
    # The three-term recurrence R's predict.poly evaluates with (R's coefs: alpha, norm2).
    alpha: list[float] = []
    norm2 = [1.0, float(len(x))]
    previous = np.zeros_like(x)
    current = np.ones_like(x)
    for i in range(degree):
        alpha.append(float(np.dot(x, current * current) / norm2[-1]))
        following = (x - alpha[i]) * current - (norm2[-1] / norm2[-2]) * previous
        previous, current = current, following
        norm2.append(float(np.dot(current, current)))
    return {"alpha": alpha, "norm2": norm2}


def _poly_from_moments(moments: Moments, degree: int) -> State:
    """R's alpha and norm2 from the central moments up to 2 × degree: the recurrence of
    `_poly_learn` on coefficient vectors of polynomials in v = (x − mean) / sd, whose inner
    product is the Hankel matrix of the moments of v (every inner product the recurrence takes
    is of degree 2 × degree at most). Centred and scaled, the matrix is well conditioned for
    the degrees a model uses."""
    spread = math.sqrt(moments.sums[2] / moments.count) or 1.0
    scaled = moments.sums[: 2 * degree + 1] / spread ** np.arange(2 * degree + 1)
    hankel = scaled[np.add.outer(np.arange(degree + 1), np.arange(degree + 1))]
    alpha: list[float] = []
    norm2 = [1.0, float(moments.count)]
    previous = np.zeros(degree + 1)
    current = np.eye(degree + 1)[0]
    for i in range(degree):
        times_v = np.r_[0.0, current[:-1]]
        alpha.append(float(times_v @ hankel @ current / norm2[-1]))
        following = times_v - alpha[i] * current - (norm2[-1] / norm2[-2]) * previous
        previous, current = current, following
        norm2.append(float(current @ hankel @ current))
        if not norm2[-1] > 1e-12 * norm2[-2]:
            raise ValueError(f"'degree' ({degree}) must be less than the number of unique "
                             "points")
    # Back to x: a monic polynomial of degree k in v is spread^-k times one in x.
    return {"alpha": [moments.mean + spread * a for a in alpha],
            "norm2": norm2[:2] + [n * spread ** (2 * k) for k, n in enumerate(norm2[2:], 1)]}


def _poly(args: Mapping[str, Any], state: Optional[State]) -> FloatArray:
    x = args["x"]
    degree = _whole(args, "degree", 1)
    if args.get("raw"):
        return np.column_stack([x ** k for k in range(1, degree + 1)])
    assert state is not None
    alpha, norm2 = state["alpha"], state["norm2"]
    out = np.empty((len(x), degree))
    previous = np.zeros_like(x)
    current = np.ones_like(x)
    for i in range(degree):
        following = (x - alpha[i]) * current - (norm2[i + 1] / norm2[i]) * previous
        previous, current = current, following
        out[:, i] = current / math.sqrt(norm2[i + 2])
    return out


def _poly_stateful(args: Mapping[str, Any]) -> bool:
    return not args.get("raw")


# ---- splines: R's ns and bs (package splines) ------------------------------------------------


def _spline_design(knots: FloatArray, x: FloatArray, order: int, derivative: int = 0
                   ) -> FloatArray:
    """R's ``splineDesign(knots, x, order, derivs)``: the B-spline basis (or a derivative) at
    x, x within the boundary knots."""
    from scipy.interpolate import BSpline

    count = len(knots) - order
    spline = BSpline(knots, np.eye(count), order - 1, extrapolate=True)
    if derivative:
        spline = spline.derivative(derivative)
    return np.asarray(spline(x), dtype=np.float64).reshape(len(x), count)


def _interior_knots(x: FloatArray, count: int) -> list[float]:
    if count <= 0:
        return []
    probabilities = np.linspace(0.0, 1.0, count + 2)[1:-1]
    return [float(value) for value in np.quantile(x, probabilities)]  # R's type 7


def _ns_learn(args: Mapping[str, Any]) -> State:
    x = args["x"]
    intercept = bool(args.get("intercept", False))
    df = args.get("df")
    if args.get("knots") is not None:
        knots = [float(k) for k in np.atleast_1d(args["knots"])]
    else:
        knots = _interior_knots(x, max(0, (_whole(args, "df", 1) if df is not None else 1)
                                       - 1 - int(intercept)))
    return {"knots": knots, "boundary": [float(x.min()), float(x.max())],
            "intercept": intercept}


def _bs_learn(args: Mapping[str, Any]) -> State:
    x = args["x"]
    degree = _whole(args, "degree", 3)
    intercept = bool(args.get("intercept", False))
    if args.get("knots") is not None:
        knots = [float(k) for k in np.atleast_1d(args["knots"])]
    elif args.get("df") is not None:
        knots = _interior_knots(x, max(0, _whole(args, "df", 1) - degree - 1 + 1
                                       - int(intercept)))
    else:
        knots = []
    return {"knots": knots, "boundary": [float(x.min()), float(x.max())],
            "intercept": intercept, "degree": degree}


def _basis_times(knots: FloatArray, x: FloatArray, order: int, combination: FloatArray
                 ) -> FloatArray:
    """splineDesign(knots, x, order) %*% combination, evaluated row by row without the basis
    itself (a NaN x gives NaN); x beyond the boundary knots must be replaced by the caller."""
    return _native.spline_basis(np.ascontiguousarray(x, dtype=np.float64),
                                np.ascontiguousarray(knots), order,
                                np.ascontiguousarray(combination, dtype=np.float64))


def _outside(x: FloatArray, low: float, high: float) -> tuple[BoolArray, BoolArray]:
    with np.errstate(invalid="ignore"):
        return x < low, x > high


def _ns(args: Mapping[str, Any], state: Optional[State]) -> FloatArray:
    assert state is not None
    x = args["x"]
    low, high = state["boundary"]
    knots = np.sort(np.r_[[low] * 4, state["knots"], [high] * 4])
    const = _spline_design(knots, np.array([low, high]), 4, 2)
    # R's ns: the basis (without its first function unless intercept) projected on the
    # complement of the second derivatives at the boundary.
    first = 0 if state["intercept"] else 1
    q, _ = np.linalg.qr(const[:, first:].T, mode="complete")
    combination = np.zeros((len(knots) - 4, q.shape[0] - 2))
    combination[first:] = q[:, 2:]
    basis = _basis_times(knots, x, 4, combination)
    below, above = _outside(x, low, high)
    for rows, pivot in ((below, low), (above, high)):
        if rows.any():  # linear beyond the boundary, as R's ns
            at = _spline_design(knots, np.array([pivot]), 4)
            slope = _spline_design(knots, np.array([pivot]), 4, 1)
            basis[rows] = (at + (x[rows] - pivot)[:, None] * slope) @ combination
    return basis


def _bs(args: Mapping[str, Any], state: Optional[State]) -> FloatArray:
    assert state is not None
    x = args["x"]
    degree = int(state["degree"])
    order = degree + 1
    low, high = state["boundary"]
    knots = np.sort(np.r_[[low] * order, state["knots"], [high] * order])
    # The basis functions kept: all with intercept, else all but the first.
    combination = np.eye(len(knots) - order)[:, 0 if state["intercept"] else 1:]
    basis = _basis_times(knots, x, order, combination)
    below, above = _outside(x, low, high)
    factorials = np.array([math.gamma(k + 1) for k in range(order)])
    for rows, pivot in ((below, 0.75 * low + 0.25 * knots[order]),
                        (above, 0.75 * high + 0.25 * knots[len(knots) - order - 1])):
        if rows.any():  # R's bs: the Taylor polynomial of degree `degree` at a pivot
            derivatives = np.vstack([_spline_design(knots, np.array([pivot]), order, d)
                                     for d in range(order)])
            powers = np.column_stack([(x[rows] - pivot) ** k for k in range(order)])
            basis[rows] = powers @ (derivatives / factorials[:, None]) @ combination
    return basis


def _ns_width(args: Mapping[str, Any], state: Optional[State]) -> int:
    assert state is not None
    return len(state["knots"]) + 1 + int(state["intercept"])


def _bs_width(args: Mapping[str, Any], state: Optional[State]) -> int:
    assert state is not None
    return len(state["knots"]) + int(state["degree"]) + int(state["intercept"])


def _scale_learn(args: Mapping[str, Any]) -> State:
    moments = args["moments"] if "moments" in args else Moments.of(args["x"], 2)
    center = args.get("center", True)
    scale = args.get("scale", True)
    mean = moments.mean if center else 0.0
    # Without centring, R divides by the root mean square: the sum of squares about 0.
    squares = moments.sums[2] if center else moments.about(0.0)[2]
    spread = float(np.sqrt(squares / (moments.count - 1))) if scale else 1.0
    return {"center": mean, "scale": spread}


def _whole(args: Mapping[str, Any], name: str, default: int) -> int:
    value = args.get(name, default)
    if value is None:
        return default
    if not isinstance(value, (int, float)) or value != int(value) or value < 1:
        raise ValueError(f"argument {name!r} must be a whole number of 1 or more, not {value!r}")
    return int(value)


FUNCTIONS: dict[str, Transform] = {
    "I": Transform(("x",), 1, evaluate=lambda a, s: a["x"]),
    "log": Transform(("x", "base"), 1, evaluate=_log),
    "log2": _unary(np.log2),
    "log10": _unary(np.log10),
    "log1p": _unary(np.log1p),
    "exp": _unary(np.exp),
    "sqrt": _unary(np.sqrt),
    "abs": _unary(np.abs),
    "scale": Transform(("x", "center", "scale"), 1, learn=_scale_learn,
                       evaluate=lambda a, s: (a["x"] - s["center"]) / s["scale"],
                       missing_as_argument=True, moments=lambda a: 2),
    "poly": Transform(("x", "degree", "raw"), 1, evaluate=_poly, learn=_poly_learn,
                      width=lambda a, s: _whole(a, "degree", 1), basis=True,
                      missing_as_argument=True, moments=lambda a: 2 * _whole(a, "degree", 1)),
    "ns": Transform(("x", "df", "knots", "intercept"), 1, evaluate=_ns, learn=_ns_learn,
                    width=_ns_width, basis=True, missing_as_argument=True),
    "bs": Transform(("x", "df", "knots", "degree", "intercept"), 1, evaluate=_bs,
                    learn=_bs_learn, width=_bs_width, basis=True, missing_as_argument=True),
    "factor": Transform(("x",), 1, kind="categorical"),
    "C": Transform(("object", "contr", "base"), 2, kind="categorical",
                   data_params=("object",)),
    "relevel": Transform(("x", "ref"), 2, kind="categorical"),
}
# Calls that are no variables: the left-hand side's cbind and the offset terms.
SPECIAL = {"offset": 1, "cbind": 2}
_CONTRASTS = {"treatment": "treatment", "contr.treatment": "treatment", "sum": "sum",
              "contr.sum": "sum", "helmert": "helmert", "contr.helmert": "helmert"}
_ARITHMETIC = {"+", "-", "*", "/", "^"}


# ---- checks of the formula's calls -----------------------------------------------------------


def bound_arguments(call: Call, text: str = "") -> dict[str, Expr]:
    """The call's arguments by parameter name (R's matching: named ones first, then the others
    in order); a FormulaError for an unknown function or a wrong number of arguments."""
    transform = FUNCTIONS.get(call.func)
    if transform is None:
        known = ", ".join(sorted(FUNCTIONS))
        raise FormulaError(f"unknown function {call.func!r} (known: {known})", text, call.pos)
    bound: dict[str, Expr] = {}
    for arg in call.args:
        if arg.name is not None:
            matches = [p for p in transform.params if p == arg.name]
            if not matches:
                raise FormulaError(
                    f"{call.func}() has no argument {arg.name!r} (its arguments: "
                    f"{', '.join(transform.params)})", text, call.pos)
            bound[arg.name] = arg.value
    free = [p for p in transform.params if p not in bound]
    positional = [arg for arg in call.args if arg.name is None]
    if len(positional) > len(free):
        raise FormulaError(f"{call.func}() takes at most {len(transform.params)} arguments, "
                           f"not {len(call.args)}", text, call.pos)
    bound.update(zip(free, (arg.value for arg in positional)))
    missing = [p for p in transform.params[: transform.required] if p not in bound]
    if missing:
        raise FormulaError(f"{call.func}() needs the argument {missing[0]!r}", text, call.pos)
    return bound


def check_call(call: Call, text: str) -> None:
    """Raises FormulaError for an unknown function or a wrong number of arguments anywhere in
    the call (nested calls included)."""
    if call.func in SPECIAL:
        if len(call.args) != SPECIAL[call.func] and call.func == "offset":
            raise FormulaError("offset() takes one argument", text, call.pos)
        for arg in call.args:
            _check_expression(arg.value, text, inside=True)
        return
    bound = bound_arguments(call, text)
    for name, value in bound.items():
        if call.func == "C" and name == "contr":
            _contrast(value, text)
            continue
        _check_expression(value, text, inside=True)


def _check_expression(expr: Expr, text: str, inside: bool) -> None:
    if isinstance(expr, Call):
        if expr.func in SPECIAL:
            raise FormulaError(f"{expr.func}() cannot be part of an expression", text, expr.pos)
        check_call(expr, text)
    elif isinstance(expr, BinOp):
        if expr.op not in _ARITHMETIC:
            raise FormulaError(f"the operator {expr.op!r} is not offered inside a call (only "
                               f"{' '.join(sorted(_ARITHMETIC))})", text, expr.pos)
        _check_expression(expr.left, text, inside)
        _check_expression(expr.right, text, inside)
    elif isinstance(expr, Unary):
        if expr.op not in ("-", "+"):
            raise FormulaError(f"the operator {expr.op!r} is not offered", text, expr.pos)
        _check_expression(expr.operand, text, inside)
    elif isinstance(expr, Paren):
        _check_expression(expr.inner, text, inside)


def check_variable(call: Call, text: str) -> None:
    """A call used as a variable: known, of the right arity, not cbind."""
    if call.func == "cbind":
        raise FormulaError("cbind() belongs on the left-hand side", text, call.pos)
    check_call(call, text)


def check_response(expr: Expr, text: str) -> None:
    if isinstance(expr, Call):
        if expr.func == "offset":
            raise FormulaError("offset() cannot be the response", text, expr.pos)
        check_call(expr, text)
    else:
        _check_expression(expr, text, inside=False)


def _contrast(expr: Expr, text: str) -> tuple[str, Optional[int]]:
    """(contrast kind, treatment base or None) of the second argument of C()."""
    if isinstance(expr, (Name, Str)):
        key = expr.id if isinstance(expr, Name) else expr.value
        if key in _CONTRASTS:
            return _CONTRASTS[key], None
    if isinstance(expr, Call) and _CONTRASTS.get(expr.func) == "treatment":
        base = [arg for arg in expr.args if arg.name == "base"]
        if len(expr.args) == 1 and base and isinstance(base[0].value, Num):
            return "treatment", int(base[0].value.value)
    raise FormulaError(
        "the contrasts of C() must be contr.treatment, contr.sum or contr.helmert (or "
        "contr.treatment(base = k))", text, getattr(expr, "pos", None))


@dataclass(frozen=True)
class Contrast:
    """How a categorical variable is coded where R uses contrasts: treatment with the level at
    position `base` (0-based) as reference, sum or helmert."""

    kind: str = "treatment"
    base: int = 0

    def matrix(self, count: int) -> FloatArray:
        """R's contrast matrix (levels × columns)."""
        if self.kind == "treatment":
            return np.delete(np.eye(count), self.base, axis=1)
        if self.kind == "sum":
            return np.vstack([np.eye(count - 1), -np.ones((1, count - 1))])
        helmert = np.zeros((count, count - 1))
        for j in range(count - 1):
            helmert[: j + 1, j] = -1.0
            helmert[j + 1, j] = j + 1
        return helmert

    def to_record(self) -> dict[str, Any]:
        return {"kind": self.kind, "base": self.base}


def contrast_of(expr: Expr) -> Contrast:
    """The contrasts of a categorical variable: C()'s, else treatment with the first level."""
    if isinstance(expr, Call) and expr.func == "C":
        bound = bound_arguments(expr)
        kind, base = _contrast(bound["contr"], "")
        if "base" in bound:
            value = bound["base"]
            if not isinstance(value, Num):
                raise ValueError(f"base of {deparse(expr)} must be a number")
            base = int(value.value)
        return Contrast(kind, 0 if base is None else base - 1)
    return Contrast()


# ---- evaluation ------------------------------------------------------------------------------


def is_plain(expr: Expr) -> bool:
    return isinstance(expr, Name)


def stateful_calls(expr: Expr) -> list[Call]:
    """The stateful calls of an expression, innermost first."""
    found: list[Call] = []

    def walk(node: Expr) -> None:
        if isinstance(node, Call):
            for arg in node.args:
                walk(arg.value)
            transform = FUNCTIONS.get(node.func)
            if transform is not None and transform.learn is not None and (
                node.func != "poly" or _poly_stateful(_constants(node))
            ):
                found.append(node)
        elif isinstance(node, BinOp):
            walk(node.left)
            walk(node.right)
        elif isinstance(node, (Unary, Paren)):
            walk(node.operand if isinstance(node, Unary) else node.inner)

    walk(expr)
    return found


def _constants(call: Call) -> dict[str, Any]:
    """The constant arguments of a call (numbers, TRUE/FALSE, strings, c(...) of numbers)."""
    transform = FUNCTIONS[call.func]
    constants: dict[str, Any] = {}
    for name, value in bound_arguments(call).items():
        if name in transform.data_params:
            continue
        constants[name] = _constant(value)
    return constants


def _constant(expr: Expr) -> Any:
    if isinstance(expr, Num):
        return expr.value
    if isinstance(expr, Str):
        return expr.value
    if isinstance(expr, Name) and expr.id in ("TRUE", "T", "FALSE", "F"):
        return expr.id in ("TRUE", "T")
    if isinstance(expr, Name) and expr.id == "NULL":
        return None
    if isinstance(expr, Unary) and expr.op == "-" and isinstance(expr.operand, Num):
        return -expr.operand.value
    if isinstance(expr, Call) and expr.func == "c":
        return [_constant(arg.value) for arg in expr.args]
    return expr  # a name such as contr.sum: the caller reads it


class Evaluator:
    """Evaluates variables on the rows of a frame with the plan's transform states."""

    def __init__(self, frame: frames.Frame, states: Mapping[str, State],
                 kinds: Optional[Mapping[str, str]] = None) -> None:
        self.frame = frame
        self.states = states
        self.kinds = kinds or {}

    def column_kind(self, name: str) -> str:
        if name not in self.kinds:
            self.kinds = {**self.kinds, name: frames.column_kind(self.frame, name)}
        return self.kinds[name]

    def numeric(self, expr: Expr) -> FloatArray:
        """Float64 values (n,) or (n, k), NaN where missing."""
        if isinstance(expr, Name):
            if expr.id in ("pi",):
                return np.asarray(math.pi)
            if expr.id in ("TRUE", "T", "FALSE", "F"):
                return np.asarray(float(expr.id in ("TRUE", "T")))
            if self.column_kind(expr.id) == "categorical":
                raise ValueError(
                    f"column {expr.id!r} holds strings or categories: a numeric function or "
                    f"arithmetic cannot use it (use it as a term, or factor({expr.id}))")
            series = self.frame[expr.id]
            values = np.array(frames.float_values(series), dtype=np.float64)
            mask = frames.missing_mask(series)
            if mask is not None:
                values[mask] = np.nan
            return values
        if isinstance(expr, Num):
            return np.asarray(expr.value)
        if isinstance(expr, Paren):
            return self.numeric(expr.inner)
        if isinstance(expr, Unary):
            value = self.numeric(expr.operand)
            return -value if expr.op == "-" else value
        if isinstance(expr, BinOp):
            left, right = self.numeric(expr.left), self.numeric(expr.right)
            with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
                if expr.op == "+":
                    return left + right
                if expr.op == "-":
                    return left - right
                if expr.op == "*":
                    return left * right
                if expr.op == "/":
                    return left / right
                if expr.op == "^":
                    return np.power(left, right)
            raise ValueError(f"the operator {expr.op!r} is not offered inside a call")
        if isinstance(expr, Call):
            transform = FUNCTIONS[expr.func]
            if transform.kind != "numeric":
                raise ValueError(f"{deparse(expr)} is categorical: it cannot be used in "
                                 "arithmetic or a numeric function")
            args = self.arguments(expr)
            state = self.states.get(deparse(expr))
            if state is None and expr in stateful_calls(expr)[-1:]:
                raise ValueError(f"the state of {deparse(expr)} was not learned: plan the "
                                 "design from data (or from a record that holds it)")
            with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
                result = transform.evaluate(args, state)  # type: ignore[misc]
            return np.asarray(result, dtype=np.float64)
        raise ValueError(f"{deparse(expr)} is not a number")

    def missing(self, expr: Expr, rows: int) -> npt.NDArray[np.bool_]:
        """The rows (of `rows`) where a numeric expression has a missing value (NaN)."""
        if isinstance(expr, Call) and FUNCTIONS[expr.func].missing_as_argument:
            argument = bound_arguments(expr).get(FUNCTIONS[expr.func].data_params[0])
            if argument is not None:
                return self.missing(argument, rows)
        values = np.asarray(self.numeric(expr))
        if values.ndim == 0:
            return np.broadcast_to(np.isnan(values), (rows,))
        nan = np.isnan(values)
        return nan if nan.ndim == 1 else np.asarray(nan.any(axis=1))

    def arguments(self, call: Call) -> dict[str, Any]:
        transform = FUNCTIONS[call.func]
        args = _constants(call)
        for name, value in bound_arguments(call).items():
            if name in transform.data_params:
                args[name] = self.numeric(value)
                if np.ndim(args[name]) > 1:
                    raise ValueError(f"{deparse(value)} has several columns: {call.func}() "
                                     "needs one")
        return args

    def present_argument(self, call: Call) -> FloatArray:
        """The values of a stateful call's argument in the rows where it is present."""
        x = np.broadcast_to(self.arguments(call)["x"], (len(self.frame),))
        return np.asarray(x[~np.isnan(x)], dtype=np.float64)

    def learn(self, call: Call) -> State:
        """The state of a stateful call from the rows where its argument is present."""
        return learn_state(call, {"x": self.present_argument(call)})

    def width(self, expr: Expr) -> int:
        if isinstance(expr, Call) and FUNCTIONS[expr.func].width is not None:
            transform = FUNCTIONS[expr.func]
            assert transform.width is not None
            return transform.width(_constants(expr), self.states.get(deparse(expr)))
        return 1

    # -- categorical variables --

    def categorical_source(self, expr: Expr) -> tuple[Expr, Optional[str]]:
        """(the expression giving the values, a level moved first by relevel)."""
        ref: Optional[str] = None
        while isinstance(expr, Call):
            bound = bound_arguments(expr)
            if expr.func == "relevel":
                value = _constant(bound["ref"])
                ref = ref if ref is not None else (r_number(value) if isinstance(value, float)
                                                   else str(value))
                expr = bound["x"]
            elif expr.func == "C":
                expr = bound["object"]
            elif expr.func == "factor":
                expr = bound["x"]
            else:
                break
        return expr, ref

    def levels(self, expr: Expr, kept: Optional[npt.NDArray[np.bool_]]) -> list[str]:
        """The levels of a categorical expression that occur in the rows `kept`."""
        source, ref = self.categorical_source(expr)
        if isinstance(source, Name) and self.column_kind(source.id) == "categorical":
            found = frames.collect_levels(self.frame, [source.id], kept, drop_unused=True)[source.id]
        else:
            bools = isinstance(source, Name) and self.column_kind(source.id) == "bool"
            found = level_texts(self.distinct_values(source, kept), bools)
        return with_reference(expr, found, ref)

    def distinct_values(self, source: Expr, kept: Optional[npt.NDArray[np.bool_]]
                        ) -> FloatArray:
        """The sorted distinct values of a numeric expression in the rows `kept`."""
        values = self.numeric(source)
        rows = ~np.isnan(values) if kept is None else kept & ~np.isnan(values)
        return np.unique(values[rows])

    def codes(self, expr: Expr, levels: Sequence[str], rows: Optional[npt.NDArray[np.bool_]]
              ) -> npt.NDArray[np.int32]:
        """Each row's position in `levels` (-1 where missing); a value that is no level in a
        row of `rows` raises ValueError."""
        source, _ = self.categorical_source(expr)
        if isinstance(source, Name) and self.column_kind(source.id) == "categorical":
            return frames.category_codes(self.frame[source.id], levels, rows)
        values = self.numeric(source)
        present = ~np.isnan(values)
        unique, inverse = np.unique(values[present], return_inverse=True)
        bools = isinstance(source, Name) and self.column_kind(source.id) == "bool"
        texts = [("TRUE" if v else "FALSE") if bools else r_number(float(v)) for v in unique]
        position = {level: i for i, level in enumerate(levels)}
        lookup = np.array([position.get(text, -2) for text in texts], dtype=np.int32)
        codes = np.full(len(values), -1, dtype=np.int32)
        codes[present] = lookup[inverse] if len(lookup) else -2
        unmatched = codes == -2
        if rows is not None:
            unmatched &= rows
        if unmatched.any():
            value = texts[int(inverse[int(np.argmax(unmatched[present]))])]
            raise ValueError(
                f"variable {deparse(expr)!r} has level {value!r}, which the model was not "
                f"fitted with (levels: {', '.join(map(repr, levels))}); drop those rows or "
                "refit with them")
        return codes


def level_texts(values: FloatArray, bools: bool) -> list[str]:
    """The names of the levels of distinct numeric (or boolean) values, as R prints them."""
    return [("TRUE" if v else "FALSE") if bools else r_number(float(v)) for v in values]


def with_reference(expr: Expr, found: list[str], ref: Optional[str]) -> list[str]:
    """The levels with relevel's `ref` (None: none) moved first."""
    if ref is not None:
        if ref not in found:
            raise ValueError(f"{deparse(expr)}: 'ref' {ref!r} is not one of the levels "
                             f"({', '.join(map(repr, found))})")
        found = [ref] + [level for level in found if level != ref]
    return found


def learn_state(call: Call, gathered: Mapping[str, Any]) -> State:
    """The state of a stateful call from what was gathered of its argument where present:
    the values (``{"x": ...}``) or, for a transform that takes them, their central moments
    (``{"moments": ...}``, `moments.Moments`).

    >>> from tallyfit.expressions import parse_expression
    >>> call = parse_expression("scale(x)")
    >>> learn_state(call, {"moments": Moments.of(np.array([1.0, 2.0, 6.0]), 2)})
    {'center': 3.0, 'scale': 2.6457513110645907}
    """
    transform = FUNCTIONS[call.func]
    assert transform.learn is not None
    count = len(gathered["x"]) if "x" in gathered else gathered["moments"].count
    if count == 0:
        raise ValueError(f"{deparse(call)}: its argument has no value in any row")
    try:
        return transform.learn({**_constants(call), **gathered})
    except ValueError as error:
        raise ValueError(f"{deparse(call)}: {error}") from None


def moments_order(call: Call) -> Optional[int]:
    """The order of the central moments the call's `learn` takes in place of the values of
    its argument, or None when it needs the values.

    >>> from tallyfit.expressions import parse_expression
    >>> moments_order(parse_expression("poly(x, 3)")), moments_order(parse_expression("ns(x)"))
    (6, None)
    """
    transform = FUNCTIONS[call.func]
    return None if transform.moments is None else transform.moments(_constants(call))


def variable_kind(expr: Expr, column_kinds: Mapping[str, str]) -> str:
    """numeric, bool or categorical: the kind of a variable given its data columns' kinds."""
    if isinstance(expr, Name):
        return column_kinds[expr.id]
    if isinstance(expr, Call):
        return FUNCTIONS[expr.func].kind if expr.func in FUNCTIONS else "numeric"
    return "numeric"


__all__ = ["Arg", "Contrast", "Evaluator", "FUNCTIONS", "Transform", "bound_arguments",
           "check_call", "contrast_of", "stateful_calls", "variable_kind"]
