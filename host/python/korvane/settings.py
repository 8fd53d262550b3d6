"""Project settings, read from the project's pyproject.toml.

The project directory is, in this order of precedence: the one set with
`use_project` / `set_project_dir`, the directory named by the environment
variable KORVANE_PROJECT_DIR, or the nearest directory at or above the current
directory that holds a pyproject.toml.  The file is read anew on every call, so
an edited file or a changed variable is seen at once.

Read from the file:

    [project]
    name = "my_chip"        # get_project_name()

    [tool.korvane]
    pdk = "generic"         # get_pdk_name(), default "generic"
    is-pdk = false          # is_a_pdk(), default false
"""

from __future__ import annotations

import contextlib
import os
import tomllib
from collections.abc import Iterator
from pathlib import Path
from typing import Any

__all__ = [
    "PROJECT_VARIABLE",
    "ProjectNotFoundError",
    "SettingsError",
    "get_pdk_name",
    "get_project_dir",
    "get_project_name",
    "is_a_pdk",
    "set_project_dir",
    "use_project",
]

PROJECT_VARIABLE = "KORVANE_PROJECT_DIR"
PYPROJECT = "pyproject.toml"
DEFAULT_PDK = "generic"

_override: Path | None = None


class ProjectNotFoundError(FileNotFoundError):
    """No project directory (a directory holding a pyproject.toml) could be found."""


class SettingsError(ValueError):
    """The project's pyproject.toml cannot be read or holds an invalid setting."""


def _project_dir_from(path: str | os.PathLike[str], origin: str) -> Path:
    directory = Path(path).expanduser()
    if not (directory / PYPROJECT).is_file():
        raise ProjectNotFoundError(
            f"no {PYPROJECT} in project directory {str(directory)!r} ({origin})"
        )
    return directory.resolve()


def get_project_dir() -> Path:
    """Return the project's directory as an absolute path."""
    if _override is not None:
        return _project_dir_from(_override, "set with use_project")
    from_env = os.environ.get(PROJECT_VARIABLE)
    if from_env:
        return _project_dir_from(from_env, f"from {PROJECT_VARIABLE}")
    start = Path.cwd()
    for directory in (start, *start.parents):
        if (directory / PYPROJECT).is_file():
            return directory.resolve()
    raise ProjectNotFoundError(
        f"no {PYPROJECT} found in {str(start)!r} or any directory above it; "
        f"set {PROJECT_VARIABLE} to the project directory"
    )


def set_project_dir(path: str | os.PathLike[str] | None) -> None:
    """Use `path` as the project directory from now on (None: back to the usual search)."""
    global _override
    _override = None if path is None else _project_dir_from(path, "set with use_project")


@contextlib.contextmanager
def use_project(path: str | os.PathLike[str]) -> Iterator[Path]:
    """Use `path` as the project directory inside the `with` block; yields the resolved path."""
    global _override
    previous = _override
    set_project_dir(path)
    try:
        yield _override  # type: ignore[misc]
    finally:
        _override = previous


def _read_pyproject() -> tuple[Path, dict[str, Any]]:
    path = get_project_dir() / PYPROJECT
    try:
        with path.open("rb") as file:
            return path, tomllib.load(file)
    except tomllib.TOMLDecodeError as error:
        raise SettingsError(f"{path} is not valid TOML: {error}") from error
    except FileNotFoundError as error:
        raise ProjectNotFoundError(f"{path} has disappeared") from error


def _table(path: Path, data: dict[str, Any], *keys: str) -> dict[str, Any]:
    table: Any = data
    for depth, key in enumerate(keys, 1):
        table = table.get(key, {})
        if not isinstance(table, dict):
            raise SettingsError(f"{path}: [{'.'.join(keys[:depth])}] must be a table")
    return table


def _korvane_setting(name: str, kind: type, default: Any) -> Any:
    path, data = _read_pyproject()
    value = _table(path, data, "tool", "korvane").get(name, default)
    if type(value) is not kind:
        raise SettingsError(
            f"{path}: [tool.korvane] {name} must be a {kind.__name__}, not {value!r}"
        )
    return value


def get_pdk_name() -> str:
    """Return the import name of the project's PDK ([tool.korvane] pdk, default "generic")."""
    name = _korvane_setting("pdk", str, DEFAULT_PDK)
    if not name.strip():
        path = get_project_dir() / PYPROJECT
        raise SettingsError(f"{path}: [tool.korvane] pdk must not be empty")
    return name


def get_project_name() -> str:
    """Return the project's name ([project] name)."""
    path, data = _read_pyproject()
    name = _table(path, data, "project").get("name")
    if name is None:
        raise SettingsError(f"{path}: [project] name is missing")
    if type(name) is not str or not name.strip():
        raise SettingsError(f"{path}: [project] name must be a non-empty string, not {name!r}")
    return name


def is_a_pdk() -> bool:
    """Return whether the project is itself a PDK ([tool.korvane] is-pdk, default false)."""
    return _korvane_setting("is-pdk", bool, False)
