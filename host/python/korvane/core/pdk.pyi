"""PDK Utilties."""

import os
from collections.abc import Callable, Iterable
from pathlib import Path
from types import ModuleType
from typing import Any, NoReturn
from warnings import deprecated

from lumivar import Pdk

from korvane.core.lazy import LazyImport
from korvane.models import FactoryRecord

# Collaborators, bound when the module loads and imported on first use. The
# module looks them up at call time, so replacing one changes what it calls.
m: LazyImport
cg: LazyImport
lv: LazyImport
log: LazyImport
settings: LazyImport
frozendict: LazyImport
imports: LazyImport
db: LazyImport
register_models: LazyImport

class FrozenPdk(Pdk):
    """A frozen PDK that prevents modification of its attributes."""

    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...
    def __delattr__(self, name: str, /) -> NoReturn: ...

def get_pdk() -> Pdk:
    """Import a PDK by name.

    Returns:
        lv.Pdk: The imported PDK object.

    Raises:
        ImportError: If the specified PDK cannot be found.
    """

# Cached: the same object on every call after the first that succeeds.
def get_base_pdk() -> Pdk:
    """Get the base PDK, which is the generic PDK.

    Returns:
        lv.Pdk: The base PDK object.
    """

def register_cells(
    *, paths: Iterable[str | os.PathLike[str]] = (), reload: bool = True
) -> tuple[list[str], list[str]]:
    """Register PDK cells.

    Args:
        paths: Paths to Python modules containing PDK cells.
            If empty, it will import all modules.
        reload: Whether to reload the modules we're importing from.

    Returns:
        List of names of newly registered cells.
        List of names of deleted cells.
    """

@deprecated("activate_pdk_by_name is deprecated, use get_pdk() instead.")
def activate_pdk_by_name(name: str) -> Pdk:
    """Activate a PDK by name (deprecated).

    Args:
        name: Name of the PDK to activate. (deprecated, will be ignored)

    Returns:
        lv.Pdk: The activated PDK object.
    """

# Private: the project PDK builder (cached; its __wrapped__ builds anew) and
# the steps of register_cells.
def _get_pdk() -> Pdk: ...

def _sort_paths(paths: Iterable[str | os.PathLike[str]]) -> list[Path]: ...
def _error_cell(funcname: str, modname: str, error: str | BaseException) -> Callable[..., NoReturn]: ...
def _import_modules(
    static_records: dict[str, FactoryRecord], paths: list[Path], *, reload: bool = True
) -> tuple[dict[Path, ModuleType], dict[Path, tuple[str, BaseException | str]]]: ...
def _handle_import_errors(
    static_records: dict[str, FactoryRecord], errors: dict[Path, tuple[str, BaseException | str]]
) -> tuple[dict[str, Callable[..., NoReturn]], dict[str, FactoryRecord]]: ...
def _find_cells(
    static_records: dict[str, FactoryRecord], modules: dict[Path, ModuleType]
) -> dict[str, Callable[..., Any]]: ...
def _get_database_updates(
    static_records: dict[str, FactoryRecord], present_records: dict[str, FactoryRecord], paths: list[Path]
) -> tuple[list[FactoryRecord], list[str]]: ...
def _clean_containers_also_in_cells(pdk: Pdk) -> None: ...
def _filter_records_for_non_pdk_project(
    static_records: dict[str, FactoryRecord], base_pdk: Pdk
) -> dict[str, FactoryRecord]: ...
