"""Records the product keeps about its factories."""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import Any, Final

from korvane.core.lazy import lazy_import

__all__ = ["STATUSES", "FactoryRecord"]

settings = lazy_import("korvane.settings")

STATUSES: Final = ("UNKNOWN", "OK", "ERROR")


@dataclasses.dataclass(kw_only=True)
class FactoryRecord:
    """What is known about one cell factory of the project.

    `source` is the defining file, relative to the project directory when the
    file lies inside it (as text, with "/" separators), absolute otherwise.
    `status` is "UNKNOWN" while the factory is still to be resolved to a
    callable, "OK" once it was, and "ERROR" when its cell failed to load or
    could not be found; `message` says why.  `line` is the line of the
    factory's definition, when known.
    """

    name: str
    source: str
    status: str = "UNKNOWN"
    message: str = ""
    line: int | None = None

    def __setattr__(self, field: str, value: Any) -> None:
        _check(field, value)
        super().__setattr__(field, value)

    def absolute_source(self) -> Path:
        """Return the absolute path of the source file."""
        source = Path(self.source)
        if not source.is_absolute():
            source = settings.get_project_dir() / source
        return source.resolve()


def _check(field: str, value: Any) -> None:
    if field in ("name", "source", "status", "message"):
        if type(value) is not str:
            raise TypeError(f"FactoryRecord.{field} must be a str, not {type(value).__name__}")
        if field == "status" and value not in STATUSES:
            raise ValueError(
                f"FactoryRecord.status must be one of {', '.join(STATUSES)}, not {value!r}"
            )
        if field in ("name", "source") and not value:
            raise ValueError(f"FactoryRecord.{field} must not be empty")
    elif field == "line":
        if value is not None and (type(value) is not int or value < 1):
            raise ValueError(f"FactoryRecord.line must be a positive int or None, not {value!r}")
