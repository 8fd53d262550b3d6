"""Process design kits, the active PDK and the `cell` decorator."""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Mapping
from typing import Any

from lumivar.component import Component

__all__ = ["Pdk", "cell", "get_active_pdk"]

_active_pdk: Pdk | None = None


class Pdk:
    """A process design kit.

    `cells` maps cell names to cell factories, `containers` names to factories
    that wrap another component, `models` names to circuit models (callables
    that return S-parameters when called without arguments).  `layers` maps
    layer names to (layer, datatype) pairs and `connectivity` lists the
    (lower, via, upper) layer triples that connect.  All are plain, mutable
    instance attributes; `copy.copy` gives a PDK sharing them.
    """

    def __init__(
        self,
        name: str,
        *,
        cells: Mapping[str, Callable[..., Component]] | None = None,
        containers: Mapping[str, Callable[..., Component]] | None = None,
        models: Mapping[str, Callable[..., Any]] | None = None,
        layers: Mapping[str, tuple[int, int]] | None = None,
        connectivity: list[tuple[str, str, str]] | None = None,
    ) -> None:
        if not isinstance(name, str) or not name:
            raise TypeError(f"PDK name must be a non-empty str, not {name!r}")
        self.name = name
        self.cells = dict(cells or {})
        self.containers = dict(containers or {})
        self.models = dict(models or {})
        self.layers = dict(layers or {})
        self.connectivity = list(connectivity or [])

    def activate(self) -> None:
        """Make this PDK the process's active PDK."""
        global _active_pdk
        _active_pdk = self

    def get_component(self, name: str, **settings: Any) -> Component:
        """Build the cell (or container) `name` with `settings`."""
        factory = self.cells.get(name) or self.containers.get(name)
        if factory is None:
            raise KeyError(f"PDK {self.name!r} has no cell {name!r}")
        return factory(**settings)

    def __repr__(self) -> str:
        return (
            f"<{type(self).__name__} {self.name!r}: {len(self.cells)} cells, "
            f"{len(self.containers)} containers, {len(self.models)} models>"
        )


def get_active_pdk() -> Pdk:
    """Return the active PDK (the last one activated)."""
    if _active_pdk is None:
        raise RuntimeError("no PDK is active: call activate() on a Pdk first")
    return _active_pdk


def cell(func: Callable[..., Component] | None = None, /) -> Any:
    """Make a cell out of a factory that takes keyword-only settings and returns a Component.

    The cell refuses positional arguments and unknown settings, names the
    component after the factory (unless the factory named it) and records the
    settings it was built with, defaults included.  Usable as `@cell` and
    `@cell()`.  Nothing is registered anywhere: a PDK holds the cells it is
    given.
    """
    if func is None:
        return cell
    if not callable(func):
        raise TypeError(f"cell() expects a function, not {type(func).__name__}")
    signature = inspect.signature(func)
    for parameter in signature.parameters.values():
        if parameter.kind not in (parameter.KEYWORD_ONLY, parameter.VAR_KEYWORD):
            raise TypeError(
                f"cell {func.__name__!r}: parameter {parameter.name!r} must be keyword-only "
                "(put it after '*')"
            )
    defaults = {
        p.name: p.default
        for p in signature.parameters.values()
        if p.kind is p.KEYWORD_ONLY and p.default is not p.empty
    }
    accepts_any = any(p.kind is p.VAR_KEYWORD for p in signature.parameters.values())

    @functools.wraps(func)
    def build(*args: Any, **settings: Any) -> Component:
        if args:
            raise TypeError(
                f"{func.__name__}() takes settings by keyword only ({len(args)} positional given)"
            )
        if not accepts_any:
            unknown = [key for key in settings if key not in signature.parameters]
            if unknown:
                raise TypeError(f"{func.__name__}() got unknown settings: {', '.join(unknown)}")
        component = func(**settings)
        if not isinstance(component, Component):
            raise TypeError(
                f"cell {func.__name__!r} returned {type(component).__name__}, not a Component"
            )
        if not component.name:
            component.name = func.__name__
        component.settings = {**defaults, **settings}
        return component

    return build
