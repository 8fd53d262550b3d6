"""The project's factories, found by reading its source files.

`create_callgraph()` parses every Python file of the project with `ast`,
without importing anything, and notes the functions decorated with the host
layout library's `cell` decorator (cell factories) and with the circuit-model
package's `model` decorator (circuit models).  A decorator counts when the file
binds its name to that decorator: `from lumivar import cell` (also under
another name), `import lumivar as lv` for `@lv.cell`, `from lumivar import *`;
the called forms `@cell()` and `@cell(...)` count as well.  Only functions
defined at module level (also inside a module-level `if`, `try` or `with`)
are factories, since only those are attributes of the imported module.

A file with invalid Python (a syntax or encoding error) is not skipped: its
cells are taken from a textual scan (see `korvane.core.imports.get_cells_from_regex`),
so that the import that later fails for it can report them.  A file that cannot
be read at all (a dangling or looping symbolic link, no permission) or that is
too complex for the parser (nesting beyond its limits) yields no factories and
one warning line naming it and the reason.  Entries that are not regular files
(a FIFO, a socket, a device named `*.py`) are skipped: reading one could block
or have side effects.
"""

from __future__ import annotations

import ast
import dataclasses
import io
import os
import stat
import tokenize
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Literal

from korvane.core.lazy import lazy_import

__all__ = ["CallGraph", "Factory", "create_callgraph", "get_static_records", "project_files", "read_source"]

m = lazy_import("korvane.models")
settings = lazy_import("korvane.settings")
imports = lazy_import("korvane.core.imports")
log = lazy_import("korvane.logger", "get_logger")

CELL_DECORATOR = ("lumivar", "cell")
MODEL_DECORATOR = ("nodalis", "model")

# Directories that hold no project sources: build output, caches, environments.
_SKIPPED_DIRS = frozenset({"build", "dist", "__pycache__", "node_modules", "site-packages"})


@dataclasses.dataclass(frozen=True)
class Factory:
    """One decorated function: a cell factory or a circuit model."""

    name: str
    kind: Literal["cell", "model"]
    path: Path
    line: int | None


@dataclasses.dataclass(frozen=True)
class CallGraph:
    """The factories of a project, in file order and then in definition order.

    `unparsed` maps each file that could not be read or parsed to the reason.
    """

    project_dir: Path
    files: tuple[Path, ...]
    factories: tuple[Factory, ...]
    unparsed: dict[Path, str] = dataclasses.field(default_factory=dict)

    def cells(self) -> list[Factory]:
        return [f for f in self.factories if f.kind == "cell"]

    def models(self) -> list[Factory]:
        return [f for f in self.factories if f.kind == "model"]


def project_files(project_dir: Path) -> list[Path]:
    """Return the project's Python files, sorted, without hidden, build and environment folders.

    Entries that exist but are not regular files are left out; an entry whose
    target cannot be reached (a dangling or looping link) is kept, so that the
    reader reports it.
    """
    found: list[Path] = []
    for root, dirs, files in os.walk(project_dir):
        dirs[:] = sorted(
            d
            for d in dirs
            if not d.startswith(".")
            and d not in _SKIPPED_DIRS
            and not d.endswith(".egg-info")
            and not os.path.exists(os.path.join(root, d, "pyvenv.cfg"))
        )
        found.extend(
            Path(root, f) for f in sorted(files) if f.endswith(".py") and not _is_other_kind(Path(root, f))
        )
    return found


def _is_other_kind(path: Path) -> bool:
    """Whether `path` leads to something other than a regular file."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def read_source(path: str | os.PathLike[str]) -> bytes | None:
    """Return the bytes of a source file, or None when it is not a regular file.

    The file is opened without blocking and checked once open, so a FIFO put in
    its place never makes the reader wait for a writer.  Errors of the file
    system (a missing target, a link loop, no permission) are raised.
    """
    if _is_other_kind(Path(path)):
        return None
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        with open(fd, "rb", closefd=False) as file:
            return file.read()
    finally:
        os.close(fd)


def create_callgraph() -> CallGraph:
    """Read the project's Python files and return the factories they define."""
    project_dir = settings.get_project_dir()
    files = project_files(project_dir)
    factories: list[Factory] = []
    unparsed: dict[Path, str] = {}
    for path in files:
        try:
            source = read_source(path)
        except OSError as error:
            _skip(path, error, unparsed)
            continue
        if source is None:
            continue
        try:
            factories.extend(_factories_in(path, source))
        except (RecursionError, MemoryError) as error:  # beyond the parser's limits
            _skip(path, error, unparsed)
        except (SyntaxError, UnicodeDecodeError, ValueError) as error:
            unparsed[path] = _reason(error)
            text = source.decode("utf-8", errors="replace")
            factories.extend(Factory(name, "cell", path, None) for name in imports.scan_cells(text))
    return CallGraph(project_dir, tuple(files), tuple(factories), unparsed)


def _reason(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def _skip(path: Path, error: BaseException, unparsed: dict[Path, str]) -> None:
    """Note a file whose factories cannot be known; the other files go on."""
    unparsed[path] = _reason(error)
    log().warning(f"Skipped {path}: {unparsed[path]}")


def get_static_records(G: CallGraph, *, paths: Iterable[str | os.PathLike[str]] = ()) -> dict:
    """Return name -> FactoryRecord(status="UNKNOWN") for the cells defined in `paths`.

    Relative paths are taken from the current directory.  With no paths, the
    records of every cell of the project are returned.  The order is that of
    the call graph; a name defined twice keeps its first place and its last
    definition.
    """
    if not isinstance(G, CallGraph):
        raise TypeError(f"expected a CallGraph from create_callgraph(), not {type(G).__name__}")
    if isinstance(paths, (str, os.PathLike)):
        raise TypeError("paths must be a list of paths, not a single path")
    wanted = {Path(p).resolve() for p in paths}
    records = {}
    for factory in G.cells():
        if wanted and factory.path.resolve() not in wanted:
            continue
        records[factory.name] = m.FactoryRecord(
            name=factory.name,
            source=_source_text(factory.path, G.project_dir),
            status="UNKNOWN",
            message="",
            line=factory.line,
        )
    return records


def _source_text(path: Path, project_dir: Path) -> str:
    if path.is_relative_to(project_dir):
        return path.relative_to(project_dir).as_posix()
    return str(path)


def _factories_in(path: Path, source: bytes) -> list[Factory]:
    encoding, _ = tokenize.detect_encoding(io.BytesIO(source).readline)  # a coding declaration, a BOM
    tree = ast.parse(source.decode(encoding), filename=str(path))
    aliases = _decorator_aliases(tree)
    factories = []
    for node in _module_level_functions(tree.body):
        for decorator in node.decorator_list:
            kind = _decorator_kind(decorator, aliases)
            if kind is not None:
                factories.append(Factory(node.name, kind, path, node.lineno))
                break
    return factories


def _decorator_aliases(tree: ast.Module) -> dict[str, object]:
    """Map each name the file binds to a decorator ("cell"/"model") or to its package."""
    aliases: dict[str, object] = {}
    decorators = {CELL_DECORATOR: "cell", MODEL_DECORATOR: "model"}
    packages = {CELL_DECORATOR[0], MODEL_DECORATOR[0]}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                top = alias.name.partition(".")[0]
                if alias.asname is None and top in packages:
                    aliases[top] = ("package", top)
                elif alias.asname is not None and alias.name in packages:
                    aliases[alias.asname] = ("package", alias.name)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module in packages:
            for alias in node.names:
                if alias.name == "*":
                    for (package, attr), kind in decorators.items():
                        if package == node.module:
                            aliases.setdefault(attr, kind)
                elif (node.module, alias.name) in decorators:
                    aliases[alias.asname or alias.name] = decorators[(node.module, alias.name)]
    return aliases


def _decorator_kind(decorator: ast.expr, aliases: dict[str, object]) -> str | None:
    if isinstance(decorator, ast.Call):
        decorator = decorator.func
    if isinstance(decorator, ast.Name):
        kind = aliases.get(decorator.id)
        return kind if isinstance(kind, str) else None
    if isinstance(decorator, ast.Attribute) and isinstance(decorator.value, ast.Name):
        bound = aliases.get(decorator.value.id)
        if isinstance(bound, tuple):
            package = bound[1]
            if (package, decorator.attr) == CELL_DECORATOR:
                return "cell"
            if (package, decorator.attr) == MODEL_DECORATOR:
                return "model"
    return None


def _module_level_functions(body: list[ast.stmt]) -> Iterator[ast.FunctionDef]:
    for node in body:
        if isinstance(node, ast.FunctionDef):
            yield node
        elif isinstance(node, (ast.If, ast.Try, ast.TryStar)):
            yield from _module_level_functions(node.body)
            yield from _module_level_functions(node.orelse)
            if not isinstance(node, ast.If):
                for handler in node.handlers:
                    yield from _module_level_functions(handler.body)
                yield from _module_level_functions(node.finalbody)
        elif isinstance(node, ast.With):
            yield from _module_level_functions(node.body)
