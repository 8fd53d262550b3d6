"""Argument handling of the module functions: counts, exact types and keywords, with the runtime's texts."""

import importlib
import re

import pytest

Str = type("Str", (str,), {})
Dict = type("Dict", (dict,), {})


def function(module, name):
    fn = getattr(importlib.import_module(f"korvane.core.{module}"), name, None)
    if fn is None:
        pytest.skip(f"korvane.core.{module}.{name} does not exist yet")
    return fn


@pytest.mark.parametrize("module, name, args, kwargs, message", [
    ("freeze", "freeze", (), {}, "freeze() takes exactly 1 positional argument (0 given)"),
    ("freeze", "freeze", (), {"width": 1}, "freeze() takes exactly 1 positional argument (0 given)"),
    ("freeze", "freeze", ("a", "b"), {}, "freeze() takes exactly 1 positional argument (2 given)"),
    ("freeze", "freeze", ("a",), {"cell_name": "b"}, "freeze() got multiple values for keyword argument 'cell_name'"),
    ("freeze", "freeze", (Str("a"),), {}, "Argument 'cell_name' has incorrect type (expected str, got Str)"),
    ("freeze", "freeze", (), {"cell_name": None}, "Argument 'cell_name' has incorrect type (expected str, got NoneType)"),
    ("freeze", "_get_lumivar_version", (1,), {}, "_get_lumivar_version() takes exactly 0 positional arguments (1 given)"),
    ("freeze", "_get_lumivar_version", (), {"a": 1}, "_get_lumivar_version() got an unexpected keyword argument 'a'"),
    ("spicenet", "_split_comments", (), {}, "_split_comments() takes exactly 1 positional argument (0 given)"),
    ("spicenet", "_split_comments", ("a", "b"), {}, "_split_comments() takes exactly 1 positional argument (2 given)"),
    ("spicenet", "_split_comments", (b"R1 a b",), {}, "Argument 'line' has incorrect type (expected str, got bytes)"),
    ("spicenet", "_split_comments", (Str("R1 a b"),), {}, "Argument 'line' has incorrect type (expected str, got Str)"),
    ("spicenet", "parse_oc_spice", (), {}, "parse_oc_spice() takes at least 1 positional argument (0 given)"),
    ("spicenet", "parse_oc_spice", (), {"settings_keymap": {}}, "parse_oc_spice() takes at least 1 positional argument (0 given)"),
    ("spicenet", "parse_oc_spice", ("a", None, None, None), {}, "parse_oc_spice() takes at most 3 positional arguments (4 given)"),
    ("spicenet", "parse_oc_spice", ("a", Dict()), {}, "Argument 'settings_keymap' has incorrect type (expected dict, got Dict)"),
    ("spicenet", "parse_oc_spice", ("a",), {"component_map": []}, "Argument 'component_map' has incorrect type (expected dict, got list)"),
])
def test_refusals_carry_the_runtime_texts(module, name, args, kwargs, message):
    fn = function(module, name)
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        fn(*args, **kwargs)


def test_extra_keywords_are_collected_by_kwargs(monkeypatch):
    freeze = importlib.import_module("korvane.core.freeze")

    class Reached(Exception):
        pass

    def get_pdk():
        raise Reached

    monkeypatch.setattr(freeze, "get_pdk", get_pdk)
    with pytest.raises(Reached):
        freeze.freeze(cell_name="a", colour="red", cell="b")
