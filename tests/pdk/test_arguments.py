"""Argument errors of the module's functions: raised before any work is done."""

from __future__ import annotations

import types
import warnings
from collections import OrderedDict
from pathlib import Path

import pytest


class Text(str):
    pass


def got(name, expected, given):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {given})"


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        ("get_pdk", (1,), {}, "get_pdk() takes exactly 0 positional arguments (1 given)"),
        ("get_base_pdk", (None,), {}, "get_base_pdk() takes exactly 0 positional arguments (1 given)"),
        ("activate_pdk_by_name", (1,), {}, got("name", "str", "int")),
        ("activate_pdk_by_name", (), {"name": Text("generic")}, got("name", "str", "Text")),
        ("activate_pdk_by_name", (), {}, "activate_pdk_by_name() takes exactly 1 positional argument (0 given)"),
        ("register_cells", (["cells.py"],), {}, "register_cells() takes exactly 0 positional arguments (1 given)"),
        ("register_cells", (), {"path": []}, "register_cells() got an unexpected keyword argument 'path'"),
        ("register_cells", (), {"paths": "cells.py"}, "paths must be an iterable of paths, not a single path (str)"),
        ("register_cells", (), {"paths": Path("cells.py")}, "paths must be an iterable of paths, not a single path (PosixPath)"),
        ("_error_cell", (1, "mod", "e"), {}, got("funcname", "str", "int")),
        ("_error_cell", ("x", None, "e"), {}, got("modname", "str", "NoneType")),
        ("_error_cell", ("x", "mod"), {}, "_error_cell() takes exactly 3 positional arguments (2 given)"),
        ("_import_modules", (OrderedDict(), []), {}, got("static_records", "dict", "collections.OrderedDict")),
        ("_import_modules", ({}, ()), {}, got("paths", "list", "tuple")),
        ("_import_modules", ({}, [], True), {}, "_import_modules() takes exactly 2 positional arguments (3 given)"),
        ("_handle_import_errors", ({}, []), {}, got("errors", "dict", "list")),
        ("_find_cells", ({}, None), {}, got("modules", "dict", "NoneType")),
        ("_get_database_updates", ({}, {}, ()), {}, got("paths", "list", "tuple")),
        ("_get_database_updates", ({}, types.MappingProxyType({}), []), {}, got("present_records", "dict", "mappingproxy")),
        ("_filter_records_for_non_pdk_project", ([], None), {}, got("static_records", "dict", "list")),
        ("_clean_containers_also_in_cells", (), {}, "_clean_containers_also_in_cells() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(pdk, settings, log, function, args, kwargs, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no deprecation warning either
        with pytest.raises(TypeError) as info:
            getattr(pdk, function)(*args, **kwargs)
    assert str(info.value) == message
    assert settings.calls == log.lines == []
