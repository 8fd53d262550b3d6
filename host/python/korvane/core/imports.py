"""Importing the project's source files.

A file is imported under the module name its place gives it: inside the
project directory, its path relative to that directory with the parts joined
by dots (demo_project/cells.py -> demo_project.cells, a package's __init__.py
-> the package); outside it, its path from the top of the package tree that
holds it.  The directory the name starts from is put on `sys.path` when it is
not there yet, so that the modules can import each other.
"""

from __future__ import annotations

import importlib
import os
import re
import sys
from collections.abc import Iterable
from pathlib import Path
from types import ModuleType

from korvane.core.lazy import lazy_import

__all__ = ["get_cells_from_regex", "import_modules", "module_name", "scan_cells"]

settings = lazy_import("korvane.settings")
cg = lazy_import("korvane.core.callgraph")


def module_name(path: str | os.PathLike[str], project_dir: Path | None = None) -> tuple[str, Path]:
    """Return (module name, directory the name starts from) for a Python file."""
    path = Path(path).resolve()
    if path.suffix != ".py":
        raise ImportError(f"{path} is not a Python source file", path=str(path))
    if project_dir is not None and path.is_relative_to(project_dir):
        root = project_dir
    else:
        root = path.parent
        while (root / "__init__.py").is_file() and root.parent != root:
            root = root.parent
    parts = list(path.relative_to(root).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    if not parts or not all(part.isidentifier() for part in parts):
        raise ImportError(
            f"{path} cannot be imported: {'.'.join(parts) or path.name!r} is not a module name",
            path=str(path),
        )
    return ".".join(parts), root


def import_modules(
    *,
    paths: Iterable[str | os.PathLike[str]] = (),
    reload: bool = True,
    from_project: bool = False,
) -> tuple[dict, dict]:
    """Import Python files; return (modules, errors).

    `modules` maps each path that imported to its module, `errors` each path
    that did not to (module name, error); both are keyed by the path objects
    as given and follow their order.  A file that fails to import never makes
    this function raise.  Modules already loaded are reloaded when `reload` is
    true and taken as they are otherwise.  With `from_project`, every Python
    file of the project is imported (and `paths` must be empty).
    """
    if isinstance(paths, (str, os.PathLike)):
        raise TypeError("paths must be a list of paths, not a single path")
    paths = list(paths)
    try:
        project_dir = settings.get_project_dir()
    except FileNotFoundError:
        if from_project:
            raise
        project_dir = None
    if from_project:
        if paths:
            raise ValueError("give either paths or from_project=True, not both")
        paths = cg.project_files(project_dir)

    importlib.invalidate_caches()  # files may have appeared since the last import
    modules: dict = {}
    errors: dict = {}
    for path in paths:
        name = Path(path).stem
        try:
            name, root = module_name(path, project_dir)
            modules[path] = _import(name, root, Path(path).resolve(), reload)
        except Exception as error:
            errors[path] = (name, error)
    return modules, errors


def _import(name: str, root: Path, path: Path, reload: bool) -> ModuleType:
    if str(root) not in sys.path:
        sys.path.insert(0, str(root))
    module = sys.modules.get(name)
    if module is None:
        module = importlib.import_module(name)
    elif reload:
        module = importlib.reload(module)
    loaded_from = getattr(module, "__file__", None)
    if loaded_from is None or Path(loaded_from).resolve() != path:
        raise ImportError(
            f"module {name!r} is loaded from {loaded_from}, not from {path}",
            name=name,
            path=str(path),
        )
    return module


# A decorator line naming `cell` (also as `lv.cell`, `@cell(...)`), then the
# function it decorates, possibly after further decorators.
_CELL_DECORATOR = re.compile(r"@\s*(?:[A-Za-z_]\w*\s*\.\s*)*cell\s*(?:\(|#|$)")
_DECORATOR = re.compile(r"@")
_DEFINITION = re.compile(r"(?:async\s+)?def\s+([A-Za-z_]\w*)\s*\(")


def get_cells_from_regex(path: str | os.PathLike[str]) -> list[str]:
    """Return the names of the cells a textual scan of a Python file finds.

    A cell is a module-level function whose decorators include one named
    `cell` (`@cell`, `@lv.cell`, `@cell(...)`).  The file is not parsed, so
    this works for files that do not compile; unreadable bytes are replaced.
    An entry that is not a regular file (a FIFO, say) holds no cells.
    """
    source = cg.read_source(path)
    if source is None:
        return []
    return scan_cells(source.decode("utf-8", errors="replace"))


def scan_cells(text: str) -> list[str]:
    """Return the names of the cells a textual scan of Python source text finds."""
    names: list[str] = []
    is_cell = False  # a cell decorator stands above the coming definition
    in_decorators = False
    depth = 0  # open brackets of a decorator spread over several lines
    for line in text.splitlines():
        if depth:
            depth = max(0, depth + _bracket_balance(line))
            continue
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        if line[0].isspace():  # indented code: not a module-level decorator
            is_cell = in_decorators = False
            continue
        if _DECORATOR.match(line):
            in_decorators = True
            is_cell = is_cell or bool(_CELL_DECORATOR.match(stripped))
            depth = max(0, _bracket_balance(line))
            continue
        definition = _DEFINITION.match(line)
        if definition and in_decorators and is_cell:
            names.append(definition.group(1))
        is_cell = in_decorators = False
    return names


def _bracket_balance(line: str) -> int:
    code = line.split("#", 1)[0]
    return sum(code.count(c) for c in "([{") - sum(code.count(c) for c in ")]}")
