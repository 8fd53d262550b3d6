"""The product logger.

`get_logger()` returns the standard library logger named "korvane".  The first
call attaches one handler that prints "LEVEL: message" lines to standard error;
every call sets the level from the environment variable KORVANE_LOG_LEVEL
(default WARNING), so a changed variable takes effect on the next message.
Records still propagate to the root logger, where an application's own
handlers (or pytest's caplog) see them.
"""

from __future__ import annotations

import logging
import os
import sys

__all__ = ["LEVEL_VARIABLE", "LOGGER_NAME", "get_logger"]

LOGGER_NAME = "korvane"
LEVEL_VARIABLE = "KORVANE_LOG_LEVEL"
DEFAULT_LEVEL = logging.WARNING
_HANDLER_NAME = "korvane.stderr"
_LEVEL_NAMES = ("CRITICAL", "ERROR", "WARNING", "INFO", "DEBUG", "NOTSET")


class _StderrHandler(logging.StreamHandler):
    """Writes to whatever `sys.stderr` is at the time of each record."""

    def __init__(self) -> None:
        super().__init__()
        self.set_name(_HANDLER_NAME)
        self.setFormatter(logging.Formatter("%(levelname)s: %(message)s"))

    @property
    def stream(self):  # type: ignore[override]
        return sys.stderr

    @stream.setter
    def stream(self, value) -> None:
        pass


# `os.environ.get` of an unset variable raises and catches a KeyError inside
# the mapping, which costs more than the rest of `get_logger`; the mapping's
# own store answers the same question without it. Kept only where the store
# is there to read.
_ENVIRONMENT_STORE = getattr(os.environ, "_data", None)
_ENCODED_VARIABLE = os.environ.encodekey(LEVEL_VARIABLE) if hasattr(os.environ, "encodekey") else None
_STORE_READABLE = isinstance(_ENVIRONMENT_STORE, dict) and _ENCODED_VARIABLE is not None


def _level_of(text: str) -> int:
    text = text.strip()
    if not text:
        return DEFAULT_LEVEL
    if text.lstrip("+-").isdigit():
        return int(text)
    name = text.upper()
    if name == "WARN":
        name = "WARNING"
    if name not in _LEVEL_NAMES:
        raise ValueError(
            f"{LEVEL_VARIABLE}={text!r} is not a log level; "
            f"use one of {', '.join(_LEVEL_NAMES)} or a number"
        )
    return logging.getLevelNamesMapping()[name]


# The level last read and the stored text it was read from. The store puts a
# new object in place whenever the variable is set; the one kept here cannot
# be freed and its place taken while it is kept.
_last_level: tuple[object, int] = (None, DEFAULT_LEVEL)
# The handler last found attached, so that a call finds it without a scan.
_attached: list[logging.Handler] = []


def _attach_handler(logger: logging.Logger) -> None:
    # Matched by name so that a reloaded module does not attach a second one.
    for handler in logger.handlers:
        if handler.get_name() == _HANDLER_NAME:
            break
    else:
        handler = _StderrHandler()
        logger.addHandler(handler)
    _attached[:] = [handler]


def get_logger() -> logging.Logger:
    """Return the product logger, its level taken from KORVANE_LOG_LEVEL."""
    # `logging.getLogger` takes the logging module's lock on every call; the
    # manager's own map answers without it once the logger exists.
    logger = logging.Logger.manager.loggerDict.get(LOGGER_NAME)
    if type(logger) is not logging.Logger:
        logger = logging.getLogger(LOGGER_NAME)
    global _last_level
    if _STORE_READABLE:
        raw = _ENVIRONMENT_STORE.get(_ENCODED_VARIABLE)
        if raw is not _last_level[0]:
            _last_level = (raw, _level_of("" if raw is None else os.environ.decodevalue(raw)))
        level = _last_level[1]
    else:
        level = _level_of(os.environ.get(LEVEL_VARIABLE, ""))
    # `_name` is what the handler's `name` gives, read without a call.
    if not (_attached and _attached[0] in logger.handlers and _attached[0]._name == _HANDLER_NAME):
        _attach_handler(logger)
    if logger.level != level:
        logger.setLevel(level)
    return logger
