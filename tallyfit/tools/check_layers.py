"""Checks the package's structure: ``python -m tallyfit.tools.check_layers``.

1. Layers: every module of the package is in one layer of `LAYERS` (lowest first) and
   imports, at module level, only modules of its own or lower layers; the import graph has
   no cycle.
2. No import of a package module inside a function (lazy imports are for optional third
   party libraries such as dask or polars only).
3. Family names: the words of `FAMILY_WORDS` occur (case-insensitive, in code, strings,
   comments and docstrings alike) only in `families.py` and the modules of one family's
   own model (`FAMILY_MODULES`), and otherwise only as the public names listed in
   `ALLOWED_NAMES` (compatibility aliases that must keep their names, and the public
   modules of `FAMILY_MODULES`).

Exits with status 1 and one line per problem when a check fails.
"""

from __future__ import annotations

import ast
import re
import sys
from collections.abc import Iterator
from pathlib import Path

PACKAGE = "tallyfit"
ROOT = Path(__file__).resolve().parents[1]

LAYERS: list[set[str]] = [
    {"errors", "frames", "_native", "moments", "coded", "threads"},
    {"progress"},
    {"expressions"},
    {"transforms"},
    {"formula"},
    {"families", "design", "inference", "covariance", "arguments", "smoothing"},
    {"passes", "model_file", "engines.inputs", "engines.summaries", "engines.learning"},
    {"solvers"},
    {"engines", "engines.memory", "engines.dask", "engines.stream", "summary"},
    {"diagnostics"},
    {"plots"},
    {"results"},
    {"anova"},
    {"api"},
    {"negative_binomial"},
    {"models", "dask", "__init__", "tools", "tools.check_layers"},
]
FAMILY_WORDS = re.compile(r"binomial|logit|logistic", re.IGNORECASE)
FAMILY_MODULE = "families"
# Modules of a model of one family (MASS's glm.nb), which cannot help naming it.
FAMILY_MODULES = {FAMILY_MODULE, "negative_binomial"}
# Modules of the package that are native extensions (no source to parse).
NATIVE = {"_native"}
# Public names kept for compatibility (the results class's earlier name), and the public
# module of glm_nb.
ALLOWED_NAMES = {"LogisticModel", "negative_binomial"}


def module_name(path: Path) -> str:
    relative = path.relative_to(ROOT).with_suffix("")
    parts = list(relative.parts)
    if parts[-1] == "__init__" and len(parts) > 1:
        parts.pop()
    return ".".join(parts)


def modules() -> dict[str, Path]:
    return {module_name(path): path for path in sorted(ROOT.rglob("*.py"))}


def _resolve(current: str, is_package: bool, level: int, target: str | None) -> str:
    base = current.split(".") if current != "__init__" else []
    if not is_package:
        base = base[:-1]
    if level > 1:
        base = base[: len(base) - (level - 1)]
    return ".".join(base + ([target] if target else []))


def imports(name: str, path: Path, tree: ast.Module,
            known: set[str]) -> Iterator[tuple[str, int, bool]]:
    """(imported package module, line, at module level) of every import of the module."""
    is_package = path.name == "__init__.py"
    top_level = set(map(id, tree.body))
    for node in ast.walk(tree):
        targets: list[str] = []
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = _resolve(name, is_package, node.level, node.module)
            elif node.module and node.module.split(".")[0] == PACKAGE:
                base = node.module.partition(".")[2]
            else:
                continue
            for alias in node.names:
                candidate = f"{base}.{alias.name}" if base else alias.name
                targets.append(candidate if candidate in known else base or "__init__")
        elif isinstance(node, ast.Import):
            targets = [alias.name.partition(".")[2] or "__init__" for alias in node.names
                       if alias.name.split(".")[0] == PACKAGE]
        for target in targets:
            if target in known:
                yield target, node.lineno, id(node) in top_level  # type: ignore[attr-defined]


def layer_of(name: str) -> int:
    for index, layer in enumerate(LAYERS):
        if name in layer:
            return index
    return -1


def _words_outside_allowed(text: str) -> list[str]:
    found = []
    for match in re.finditer(r"[A-Za-z_][A-Za-z0-9_]*", text):
        word = match.group(0)
        if word not in ALLOWED_NAMES and FAMILY_WORDS.search(word):
            found.append(word)
    return found


def problems() -> list[str]:
    found: list[str] = []
    table = modules()
    known = set(table) | NATIVE
    graph: dict[str, set[str]] = {name: set() for name in table}
    for name, path in table.items():
        source = path.read_text(encoding="utf-8")
        tree = ast.parse(source, filename=str(path))
        layer = layer_of(name)
        if layer < 0:
            found.append(f"{path}: module {name!r} is in no layer of LAYERS")
        for target, line, top in imports(name, path, tree, known):
            if not top:
                found.append(f"{path}:{line}: imports {target!r} inside a function")
                continue
            if target == name or target == "__init__" and name.startswith("tools"):
                continue
            graph[name].add(target)
            if layer >= 0 and layer_of(target) > layer:
                found.append(f"{path}:{line}: {name!r} (layer {layer}) imports {target!r} "
                             f"(layer {layer_of(target)}), a higher layer")
        if name not in FAMILY_MODULES and name != "tools.check_layers":
            for number, text in enumerate(source.splitlines(), 1):
                for word in _words_outside_allowed(text):
                    found.append(f"{path}:{number}: {word!r} names a family outside "
                                 f"{FAMILY_MODULE}.py")
    found += [f"import cycle: {' -> '.join(cycle)}" for cycle in cycles(graph)]
    return found


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """One cycle through each strongly connected group of modules, if any."""
    found: list[list[str]] = []
    state: dict[str, int] = {}
    stack: list[str] = []

    def visit(node: str) -> None:
        state[node] = 1
        stack.append(node)
        for target in sorted(graph.get(node, ())):
            if state.get(target) == 1:
                found.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found


def main() -> int:
    found = problems()
    for line in found:
        print(line)
    if not found:
        print(f"{len(modules())} modules: layers, imports and family names are in order")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
