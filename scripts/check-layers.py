#!/usr/bin/env python3
"""Checks that the C++ core calls downward only.

Layers, lowest first: the public header's declarations; the foundation
(src/util); the adapters (database with its statements, HTTP, crypto), which
never use each other; the operations (the rest of src/lib), which may use one
another without a cycle; the C interface; the Python face.

Two graphs are checked, both between modules (a source and its header):
  - includes, read from the sources;
  - calls, read from the object files: each undefined function of a module's
    object is resolved to the module whose object defines it.
Inside the library, no module but the C interface calls a function of the
public header other than the foundation's helpers for logging, memory and the
error envelope.

Usage: scripts/check-layers.py; exit status 1 with the faults listed when
any rule is broken.
"""

from __future__ import annotations

import re
import subprocess
import sys
import sysconfig
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
HEADER = ROOT / "include" / "scb.h"
ADAPTERS = {"db": "db", "sql": "db", "http": "http", "crypto": "crypto"}
FOUNDATION_HELPERS = {"scb_log_info", "scb_log_error", "scb_log_debug", "scb_malloc", "scb_free", "scb_strdup",
                      "scb_create_error_response"}
LAYERS = {"header": 0, "foundation": 1, "adapter": 2, "operation": 3, "interface": 4, "python": 5}


def module_of(path: Path) -> str:
    return path.stem


def layer_of(path: Path) -> str:
    if path == HEADER:
        return "header"
    if path.parent == ROOT / "src" / "util":
        return "foundation"
    if path.name == "_binding.cpp":
        return "python"
    if path.stem == "c_interface":
        return "interface"
    return "adapter" if path.stem in ADAPTERS else "operation"


def sources() -> list[Path]:
    found = [HEADER, ROOT / "src" / "halvenor_scb_lib" / "_binding.cpp"]
    for directory in ("src/util", "src/lib"):
        found += sorted(p for p in (ROOT / directory).iterdir() if p.suffix in {".cpp", ".hpp"})
    return found


def allowed(source: Path, target: Path) -> bool:
    low, high = LAYERS[layer_of(target)], LAYERS[layer_of(source)]
    if low < high:
        return True
    if low > high:
        return False
    if layer_of(source) == "adapter":
        return ADAPTERS[source.stem] == ADAPTERS[target.stem]
    return layer_of(source) in {"foundation", "operation"}


def include_edges(files: list[Path]) -> set[tuple[Path, Path]]:
    by_name = {path.name: path for path in files}
    edges = set()
    for path in files:
        for name in re.findall(r'^#include "([^"]+)"', path.read_text(), flags=re.MULTILINE):
            if name in by_name and by_name[name] != path:
                edges.add((path, by_name[name]))
    return edges


def compile_objects(files: list[Path], directory: Path) -> dict[Path, Path]:
    flags = subprocess.run(["pkg-config", "--cflags", "libcurl", "libpq", "libcjson"], capture_output=True,
                           text=True, check=True).stdout.split()
    python = ["-I" + sysconfig.get_paths()["include"]]

    def build(source: Path) -> Path:
        target = directory / f"{source.stem}.o"
        subprocess.run(["g++", "-std=c++17", "-O0", "-c", "-Iinclude", "-Isrc/lib", "-Isrc/util", *flags, *python,
                        str(source), "-o", str(target)], cwd=ROOT, check=True)
        return target

    units = [path for path in files if path.suffix == ".cpp"]
    with ThreadPoolExecutor(max_workers=2) as pool:
        return dict(zip(units, pool.map(build, units)))


def symbols(obj: Path, kind: str) -> set[str]:
    """Names nm lists in obj with the given kind: "T" for functions it defines (not inline, not a
    template instance), "U" for those it uses from elsewhere."""
    listed = subprocess.run(["nm", obj], capture_output=True, text=True, check=True).stdout
    return {fields[-1] for fields in map(str.split, listed.splitlines()) if len(fields) >= 2 and fields[-2] == kind}


def call_edges(objects: dict[Path, Path]) -> set[tuple[Path, Path, str]]:
    defined = {name: source for source, obj in objects.items() for name in symbols(obj, "T")}
    edges = set()
    for source, obj in objects.items():
        for name in symbols(obj, "U"):
            target = defined.get(name)
            if target is not None and target != source:
                edges.add((source, target, name))
    return edges


def exported_names() -> set[str]:
    return set(re.findall(r"SCB_EXPORT [^;(]*?\b((?:scb|http)_\w+)\(", HEADER.read_text()))


def cycles(edges: set[tuple[str, str]]) -> list[list[str]]:
    graph: dict[str, set[str]] = {}
    for source, target in edges:
        graph.setdefault(source, set()).add(target)
    found, state = [], {}

    def visit(node: str, path: list[str]) -> None:
        state[node] = "open"
        for following in sorted(graph.get(node, ())):
            if state.get(following) == "open":
                found.append(path[path.index(following):] + [following])
            elif following not in state:
                visit(following, path + [following])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    return found


def faults() -> list[str]:
    files = sources()
    problems = []
    includes = include_edges(files)
    for source, target in sorted(includes):
        if not allowed(source, target):
            problems.append(f"include: {source.relative_to(ROOT)} ({layer_of(source)}) -> "
                            f"{target.relative_to(ROOT)} ({layer_of(target)})")
    with tempfile.TemporaryDirectory() as directory:
        calls = call_edges(compile_objects(files, Path(directory)))
    exported = exported_names()
    for source, target, name in sorted(calls):
        if not allowed(source, target):
            problems.append(f"call: {source.relative_to(ROOT)} -> {name} in {target.relative_to(ROOT)}")
        if name in exported - FOUNDATION_HELPERS and layer_of(source) not in {"interface", "python"}:
            problems.append(f"exported operation called inside the library: {source.relative_to(ROOT)} -> {name}")
    module_edges = {(module_of(s), module_of(t)) for s, t in includes if module_of(s) != module_of(t)}
    module_edges |= {(module_of(s), module_of(t)) for s, t, _ in calls}
    problems += [f"cycle: {' -> '.join(cycle)}" for cycle in cycles(module_edges)]
    return problems


def main() -> int:
    problems = faults()
    for problem in problems:
        print(problem)
    print(f"{len(problems)} fault(s) in the layering of the core")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
