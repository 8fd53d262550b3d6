"""Deferred imports.

`lazy_import` hands out a stand-in for a module, or for one attribute of a
module, that performs the import the first time it is used.  Modules bind their
collaborators this way so that loading them imports nothing else.

This module imports nothing of the product itself.
"""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["LazyImport", "lazy_import"]

_UNRESOLVED = object()


class LazyImport:
    """A module, or an attribute of a module, imported on first use.

    Attribute access reaches the attribute of the target, calling the handle
    calls the target.  The target is looked up once; later uses go straight to
    the object found.  A failed import is not remembered: the next use tries
    again.
    """

    __slots__ = ("_module", "_attribute", "_target")

    def __init__(self, module: str, attribute: str | None = None) -> None:
        if type(module) is not str or not module:
            raise TypeError(f"module must be a non-empty str, not {module!r}")
        if attribute is not None and (type(attribute) is not str or not attribute):
            raise TypeError(f"attribute must be a non-empty str or None, not {attribute!r}")
        object.__setattr__(self, "_module", module)
        object.__setattr__(self, "_attribute", attribute)
        object.__setattr__(self, "_target", _UNRESOLVED)

    def _resolve(self) -> Any:
        target = self._target
        if target is _UNRESOLVED:
            target = importlib.import_module(self._module)
            if self._attribute is not None:
                try:
                    target = getattr(target, self._attribute)
                except AttributeError:
                    raise ImportError(
                        f"cannot import name {self._attribute!r} from {self._module!r}",
                        name=self._module,
                    ) from None
            object.__setattr__(self, "_target", target)
        return target

    def __getattr__(self, name: str) -> Any:
        return getattr(self._resolve(), name)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"cannot set {name!r} on {self!r}; set it on the target instead")

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        target = self._target
        if target is _UNRESOLVED:
            target = self._resolve()
        return target(*args, **kwargs)

    def __reduce__(self) -> tuple:
        # Copies and pickles are new handles for the same target.
        return (LazyImport, (self._module, self._attribute))

    def __dir__(self) -> list[str]:
        return dir(self._resolve())

    def __repr__(self) -> str:
        if self._attribute is None:
            return f"<lazy {self._module!r}>"
        return f"<lazy '{self._module}.{self._attribute}'>"


def lazy_import(module: str, attribute: str | None = None) -> LazyImport:
    """Return a handle for `module` (or for `module.attribute`) that imports on first use."""
    return LazyImport(module, attribute)
