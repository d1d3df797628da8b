"""One model state to and from the model file.

The file is the native cores' JSON document, written here in exactly the native writer's
layout (two-blank indent, ``": "``, ``{}``/``[]`` for empty containers, no final newline,
numbers in the shortest form that reads back to the same double: fixed notation from 1e-5 to
below 1e16 with at least one decimal, else ``1e-6``, ``1.5e16``; strings raw UTF-8 with JSON's
escapes), plus a top-level ``"tallyfit"`` member with this package's own state (the format
version, the family and link). The native reader ignores members it does not know, so every
file still loads in the core of its kind, and files without ``"tallyfit"`` still load here.

Reading parses the file once with Python's json. Only a file that is not JSON, or whose
document the cores would not read, goes to the native loader of its kind, so that the error
raised is the core's own (with its line and column).
"""

from __future__ import annotations

import json
import math
import os
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union

import _tallyfit

from . import families

__all__ = ["ModelState", "dumps", "write", "read", "native_core", "CORE_KINDS", "FORMAT_VERSION"]

PathLike = Union[str, "os.PathLike[str]"]
FORMAT_VERSION = 1
# The native codec's kinds, each the name of its core class without "Core".
CORE_KINDS: tuple[str, ...] = tuple(
    dict.fromkeys([*families.NATIVE_KINDS.values(), *families.PENALIZED_NATIVE_KINDS.values()])
)
_CORE_CLASSES: dict[str, Any] = {kind: getattr(_tallyfit, kind + "Core") for kind in CORE_KINDS}
_ENCODINGS = {member.name: member for member in (
    _tallyfit.EncodingType.Numeric, _tallyfit.EncodingType.Bool,
    _tallyfit.EncodingType.Dummy, _tallyfit.EncodingType.OneHot)}
Penalty = tuple[str, Optional[str], float, float]  # variable, level, lambda, target


@dataclass
class ModelState:
    """Everything a model file holds: the native kind, the coefficients of the estimated
    columns, the encoding of every variable (name -> (levels or None, encoding name)), the
    formula, the ridge penalties, and this package's family and link."""

    kind: str
    coefficients: dict[str, float]
    encoding: dict[str, tuple[Optional[list[str]], str]]
    formula: Optional[_tallyfit.Formula]
    penalties: Optional[list[Penalty]] = None
    family: Optional[str] = None
    link: Optional[str] = None
    model: Optional[str] = None  # "lm" or "glm"
    #: What the design needs beyond the encoding: the learned states of stateful transforms
    #: (``poly``, ``ns``, ``scale``...) by label, and the data columns ``.`` stood for.
    design: Optional[dict[str, Any]] = None

    def encoder(self) -> _tallyfit.Encoder:
        encoder = _tallyfit.Encoder()
        for name, (levels, encoding) in self.encoding.items():
            encoder.add_column_mapping(
                name, _tallyfit.EncodedColumnInfo(levels, _ENCODINGS[encoding]))
        return encoder


def encoding_of(encoder: _tallyfit.Encoder) -> dict[str, tuple[Optional[list[str]], str]]:
    """The encoding of a core's Encoder as ModelState holds it."""
    return {name: (None if info.levels is None else list(info.levels), info.encoding_type.name)
            for name, info in encoder.column_mappings.items()}


# ---- writing ---------------------------------------------------------------------------------


def format_number(value: float) -> str:
    """A double as the native writer prints it: shortest round-trip digits, null when not
    finite.

    >>> [format_number(v) for v in (1.0, 0.00001, 1e-6, 1e16, 1.5e-7, -0.0, 123.456)]
    ['1.0', '0.00001', '1e-6', '1e16', '1.5e-7', '-0.0', '123.456']
    """
    if not math.isfinite(value):
        return "null"
    if value == 0.0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    text = repr(abs(value))
    mantissa, _, exponent_text = text.partition("e")
    whole, _, fraction = mantissa.partition(".")
    exponent = int(exponent_text) if exponent_text else 0
    digits = (whole + fraction).lstrip("0")
    # The decimal exponent of the first significant digit.
    point = exponent + len(whole) - (len(whole + fraction) - len((whole + fraction).lstrip("0")))
    digits = digits.rstrip("0") or "0"
    power = point - 1
    if -5 <= power < 16:
        if point <= 0:
            return f"{sign}0.{'0' * -point}{digits}"
        if point >= len(digits):
            return f"{sign}{digits}{'0' * (point - len(digits))}.0"
        return f"{sign}{digits[:point]}.{digits[point:]}"
    tail = f".{digits[1:]}" if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{tail}e{power}"


def _encode(value: Any, indent: str, out: list[str]) -> None:
    if value is None:
        out.append("null")
    elif value is True or value is False:
        out.append("true" if value else "false")
    elif isinstance(value, str):
        out.append(json.dumps(value, ensure_ascii=False))
    elif isinstance(value, (int, float)):
        out.append(format_number(float(value)))
    elif isinstance(value, Mapping):
        if not value:
            out.append("{}")
            return
        inner = indent + "  "
        out.append("{")
        for i, (key, item) in enumerate(value.items()):
            out.append(("," if i else "") + "\n" + inner + json.dumps(key, ensure_ascii=False)
                       + ": ")
            _encode(item, inner, out)
        out.append("\n" + indent + "}")
    elif isinstance(value, Sequence):
        if not value:
            out.append("[]")
            return
        inner = indent + "  "
        out.append("[")
        for i, item in enumerate(value):
            out.append(("," if i else "") + "\n" + inner)
            _encode(item, inner, out)
        out.append("\n" + indent + "]")
    else:
        raise TypeError(f"cannot write {type(value).__name__} to a model file")


def dumps(document: Mapping[str, Any]) -> str:
    """The document's text in the native writer's layout."""
    out: list[str] = []
    _encode(document, "", out)
    return "".join(out)


def _term(term: _tallyfit.FormulaTerm) -> dict[str, object]:
    return {"name": term.name, "dependent": term.dependent, "subtracted": term.subtracted,
            "intercept": term.intercept, "interaction": term.interaction}


def document(state: ModelState) -> dict[str, Any]:
    """The state as the JSON document the native writer's member order gives, plus ours."""
    formula = state.formula
    doc: dict[str, Any] = {
        "coefficients": {name: float(value) for name, value in state.coefficients.items()
                         if math.isfinite(float(value))},
        "encoding_data": {"column_mappings": {
            name: {"levels": levels, "encoding_type": encoding}
            for name, (levels, encoding) in state.encoding.items()}},
        "formula": None if formula is None else {
            "original": formula.original,
            "dependent": _term(formula.dependent),
            "independent": [_term(term) for term in formula.independent],
        },
        "model_type": state.kind,
    }
    if state.kind in families.PENALIZED_NATIVE_KINDS.values():
        doc["penalties"] = [
            {"variable_name": v, "categorical_level": level, "lambda_param": lam,
             "target": target}
            for v, level, lam, target in (state.penalties or [])]
    ours: dict[str, Any] = {"format_version": FORMAT_VERSION}
    if state.family is not None:
        ours.update(family=state.family, link=state.link)
    if state.model is not None:
        ours["model"] = state.model
    if state.design:
        ours["design"] = state.design
    doc["tallyfit"] = ours
    return doc


def write(state: ModelState, path: PathLike) -> None:
    """Writes the model file, replacing an existing one atomically (a sibling file renamed
    over it) where the directory allows, else in place."""
    target = os.path.realpath(os.fspath(path))
    data = dumps(document(state)).encode("utf-8")
    directory = os.path.dirname(target) or "."
    sibling = os.path.join(directory, f".{os.path.basename(target)}.{os.getpid()}.partial")
    try:
        descriptor = os.open(sibling, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError:
        with open(target, "wb") as handle:  # a read-only directory: the file in place
            handle.write(data)
        return
    try:
        with os.fdopen(descriptor, "wb") as handle:
            handle.write(data)
        if os.path.exists(target):
            os.chmod(sibling, os.stat(target).st_mode & 0o7777)
        os.replace(sibling, target)
    except BaseException:
        if os.path.exists(sibling):
            os.unlink(sibling)
        raise


# ---- the native cores ------------------------------------------------------------------------


def native_core(state: ModelState) -> Any:
    """A native core of the state's kind holding the state (read from the document in
    memory: an anonymous memory file, no file on disk)."""
    core = _CORE_CLASSES[state.kind]()
    descriptor = os.memfd_create("tallyfit-model")
    try:
        os.write(descriptor, dumps(document(state)).encode("utf-8"))
        core.load_from_file(f"/proc/self/fd/{descriptor}")
    finally:
        os.close(descriptor)
    return core


def _state_of_core(core: Any, kind: str, extra: Mapping[str, Any]) -> ModelState:
    penalties: Optional[list[Penalty]] = None
    return ModelState(kind, dict(core.coefficients or {}), encoding_of(core.encoding_data),
                      core.formula, penalties, _text(extra.get("family")),
                      _text(extra.get("link")), _text(extra.get("model")))


def _text(value: Any) -> Optional[str]:
    return value if isinstance(value, str) else None


# ---- reading ---------------------------------------------------------------------------------


class _Invalid(Exception):
    """The document is not one the cores read (the native loader reports how)."""


def _reject_constant(name: str) -> None:
    raise _Invalid(name)


def _require(condition: bool) -> None:
    if not condition:
        raise _Invalid()


def _number(value: Any) -> float:
    _require(isinstance(value, (int, float)) and not isinstance(value, bool))
    number = float(value)
    _require(math.isfinite(number))
    return number


def _string_list(value: Any) -> Optional[list[str]]:
    if value is None:
        return None
    _require(isinstance(value, list) and all(isinstance(v, str) for v in value))
    return list(value)


def _formula(value: Any) -> Optional[_tallyfit.Formula]:
    if value is None:
        return None
    _require(isinstance(value, dict) and isinstance(value.get("original"), str))
    for term in [value.get("dependent"), *(value.get("independent") or [])]:
        _require(isinstance(term, dict) and isinstance(term.get("name"), str))
    try:
        return _tallyfit._parse_formula(value["original"])
    except ValueError:
        raise _Invalid() from None


def _state_of_document(doc: dict[str, Any], kind: str) -> ModelState:
    coefficients = doc.get("coefficients")
    _require(coefficients is None or isinstance(coefficients, dict))
    mappings = doc.get("encoding_data", {})
    _require(isinstance(mappings, dict) and isinstance(mappings.get("column_mappings"), dict))
    encoding: dict[str, tuple[Optional[list[str]], str]] = {}
    for name, info in mappings["column_mappings"].items():
        _require(isinstance(info, dict) and info.get("encoding_type") in _ENCODINGS)
        encoding[name] = (_string_list(info.get("levels")), info["encoding_type"])
    penalties: Optional[list[Penalty]] = None
    if kind in families.PENALIZED_NATIVE_KINDS.values() and doc.get("penalties") is not None:
        _require(isinstance(doc["penalties"], list))
        penalties = []
        for record in doc["penalties"]:
            _require(isinstance(record, dict) and isinstance(record.get("variable_name"), str))
            level = record.get("categorical_level")
            _require(level is None or isinstance(level, str))
            penalties.append((record["variable_name"], level, _number(record.get("lambda_param")),
                              _number(record.get("target", 0.0))))
    ours = doc.get("tallyfit") if isinstance(doc.get("tallyfit"), dict) else {}
    return ModelState(
        kind,
        {} if coefficients is None else {str(k): _number(v) for k, v in coefficients.items()},
        encoding, _formula(doc.get("formula")), penalties,
        _text(ours.get("family")), _text(ours.get("link")), _text(ours.get("model")),  # type: ignore[union-attr]
        ours.get("design") if isinstance(ours.get("design"), dict) else None)  # type: ignore[union-attr]


def loads(text: str) -> ModelState:
    """The state of a model file's text written by `dumps` (a worker's copy of a model)."""
    doc = json.loads(text)
    return _state_of_document(doc, doc["model_type"])


def _native_failure(filepath: str, kind: Optional[str]) -> Any:
    """Loads the file with the native loader of `kind` (the one its text names): raises the
    core's own error, or returns the core when it reads the file after all."""
    core = _CORE_CLASSES[kind if kind in _CORE_CLASSES else CORE_KINDS[0]]()
    core.load_from_file(filepath)
    return core


def read(path: PathLike) -> ModelState:
    """The state of a model file. A file that is not a JSON document of a known model_type
    raises ValueError; one the cores would refuse raises the core's own error."""
    filepath = os.fspath(path)
    with open(filepath, "rb") as handle:
        raw = handle.read()
    try:
        doc = json.loads(raw.decode("utf-8"), parse_constant=_reject_constant)
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError, _Invalid) as error:
        found = re.search(r'"model_type"\s*:\s*"([A-Za-z]+)"', raw.decode("utf-8", "replace"))
        _native_failure(filepath, found.group(1) if found else None)
        raise ValueError(f"{filepath!r} is not a readable JSON document: {error}") from None
    kind = doc.get("model_type") if isinstance(doc, dict) else None
    if not isinstance(kind, str) or kind not in _CORE_CLASSES:
        raise ValueError(
            f"{filepath!r} is not a tallyfit model file (no known model_type; expected one of "
            f"{', '.join(CORE_KINDS)})"
        )
    try:
        return _state_of_document(doc, kind)
    except _Invalid:
        core = _native_failure(filepath, kind)
    # The core read what this reader does not (records written as arrays, say).
    ours = doc.get("tallyfit")
    state = _state_of_core(core, kind, ours if isinstance(ours, dict) else {})
    if kind in families.PENALIZED_NATIVE_KINDS.values():
        state.penalties = _penalties_of_records(doc.get("penalties"))
    return state


def _penalties_of_records(records: Any) -> Optional[list[Penalty]]:
    """The penalties of a document the core has read (so well-formed, records maybe arrays)."""
    if not records:
        return None
    penalties: list[Penalty] = []
    for record in records:
        if isinstance(record, list):
            record = dict(zip(("variable_name", "categorical_level", "lambda_param", "target"),
                              record))
        penalties.append((record["variable_name"], record.get("categorical_level"),
                          float(record["lambda_param"]), float(record.get("target", 0.0))))
    return penalties
