# SPICE netlist import: `parse_oc_spice` and the stages behind it.
#
# Only `parse_oc_spice` is public; the operations with a leading underscore are
# the stages of the import (line preparation, values, element words, the
# intermediate representation, assembly, port resolution and settings
# patching), there for tests and for callers that need one stage alone.

import os
from collections.abc import Callable, Generator, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Protocol, TypeAlias, TypeVar, type_check_only

from korvane.core.lazy import LazyImport

__all__ = ["parse_oc_spice"]

_T = TypeVar("_T")

@type_check_only
class _TextStream(Protocol):
    # An open text stream: read() without arguments returns the whole text.
    def read(self) -> str: ...

# A netlist record: "instances", "connections", "ports", "settings", "placements".
_Record: TypeAlias = dict[str, Any]
# IR map: line position -> Subckt or Conn.
_IR: TypeAlias = dict[int, Subckt | Conn]

class ParseError(RuntimeError):
    """Error while parsing spice."""

class ParseWarning(Warning):
    """Warning while parsing spice."""

@dataclass
class Subckt:
    """Subcircuit."""

    id: int
    component: str
    ports: tuple[str, ...]
    settings: dict[str, Any]
    parent_id: int
    children_ids: tuple[int, ...]

@dataclass
class Conn:
    """Connection."""

    id: int
    name: str
    component: str
    ports: tuple[str, ...]
    settings: dict[str, Any]
    parent_id: int

# Collaborators, bound when the module loads and imported on first use. The
# module looks them up at call time, so replacing one changes what it calls.
nodalis: LazyImport
kv_pdk: LazyImport
natsorted: LazyImport

def parse_oc_spice(
    path_or_buf: str | os.PathLike[str] | _TextStream,
    settings_keymap: dict[str, Any] | None = None,
    component_map: dict[str, Any] | None = None,
    **kwargs: Any,
) -> dict[str, _Record]:
    """Import a SPICE netlist into netlist records.

    path_or_buf is a path (str or Path) of the netlist file or an open text
    stream. settings_keymap renames settings, component_map renames
    subcircuits and components; any other keyword argument is a named value
    for the single-quoted parameter expressions of the netlist.

    Returns a dict from subcircuit name to its record ("instances",
    "connections", "ports", "settings", "placements"), the subcircuit
    closed last first.
    """

# Line preparation (private).
def _chain(*funcs: Callable[[Any], Any]) -> Callable[[Any], Any]: ...
def _iter_relevant_lines(content: str) -> Generator[str]: ...
def _strip_lines(lines: Iterable[str]) -> Generator[str]: ...
def _join_continuations(lines: Iterable[str]) -> Generator[str]: ...
def _standardize_spaces(lines: Iterable[str]) -> Generator[str]: ...
def _filter_empty(lines: Iterable[_T]) -> Generator[_T]: ...
def _split_comments(line: str) -> tuple[str, str]: ...
def _split_words(line: str) -> Generator[str]: ...

# Values and units (private).
def _parse_value(value: Any, /, **kwargs: Any) -> Any: ...
def _eval(key_or_value: str, /, **kwargs: Any) -> Any: ...
def _is_probably_um(val: float, low: float = 1e-10, high: float = 0.01) -> bool: ...
def _convert_um(settings: dict[str, Any]) -> dict[str, Any]: ...

# The native literal reader (test hooks).
def _read_literal(text: str) -> Any: ...
def _is_bare_identifier(text: str) -> bool: ...

# Element words (private).
def _handle_sources(words: Sequence[str]) -> list[str]: ...
def _get_ir_ports(words: list[str]) -> tuple[str, ...]: ...
def _get_ir_settings(words: list[str], /, **kwargs: Any) -> dict[str, Any]: ...
def _get_parent_id(parents: list[Subckt]) -> int: ...

# Intermediate representation (private).
def _parse_oc_spice_into_ir(
    path_or_buf: str | os.PathLike[str] | _TextStream, component_map: dict[str, Any], /, **kwargs: Any
) -> tuple[_IR, dict[int, str]]: ...
def _parse_into_ir(
    lines: Iterable[str], component_map: dict[str, Any], /, **kwargs: Any
) -> tuple[_IR, dict[int, str]]: ...
def _parse_location_comment(comment: str) -> dict[str, Any]: ...

# Port resolution (private). _get_ports keeps the last 128 components resolved.
def _get_ports(component: str) -> tuple[str, ...]: ...
def _get_ports_from_model(component: str) -> tuple[str, ...]: ...
def _get_ports_from_component(component: str) -> tuple[str, ...]: ...
def _sort_ports(ports: Iterable[str]) -> tuple[str, ...]: ...
def _get_port(ports: tuple[str, ...], i: int) -> str: ...

# Settings and port patching (private).
def _map_settings_keys(settings: dict[str, Any], settings_keymap: dict[str, Any]) -> dict[str, Any]: ...
def _patch_settings(settings: dict[str, Any], settings_keymap: dict[str, Any]) -> dict[str, Any]: ...
def _patch_ports(netlist: dict[str, Any], declared_ports: dict[str, Sequence[str]] | None = None) -> None: ...

# Assembly (private).
def _netlist_from_subckt(
    ir: _IR, subckt: Subckt, settings_keymap: dict[str, Any], comments: dict[int, str] | None = None
) -> _Record: ...
def _recursive_netlist_from_ir(
    ir: _IR, settings_keymap: dict[str, Any], comments: dict[int, str]
) -> dict[str, _Record]: ...
