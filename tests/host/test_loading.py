"""Loading the extension modules: one interpreter per process, one initialisation, nothing imported early."""

import ctypes
import importlib
import json
import re
import subprocess
import sys
import types

import pytest

MODULES = ["spicenet", "pdk", "freeze"]


def run(script, *args):
    done = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


SUBINTERPRETER = """
import _interpreters, importlib, json, sys
importlib.import_module(sys.argv[1])
interp = _interpreters.create("legacy")
try:
    info = _interpreters.exec(interp, "import " + sys.argv[1])
finally:
    _interpreters.destroy(interp)
print(json.dumps(info and [info.type.__name__, info.msg]))
"""


@pytest.mark.parametrize("name", MODULES)
def test_a_second_interpreter_is_refused(name):
    assert run(SUBINTERPRETER, f"korvane.core.{name}") == [
        "ImportError", "Interpreter change detected - this module can only be loaded into one interpreter per process."]


@pytest.mark.parametrize("name", MODULES)
def test_import_after_removal_gives_the_same_module(name, monkeypatch):
    dotted = f"korvane.core.{name}"
    module = importlib.import_module(dotted)
    monkeypatch.delitem(sys.modules, dotted)
    again = importlib.import_module(dotted)
    assert again is module and again.__dict__ is module.__dict__


@pytest.mark.parametrize("name", MODULES)
def test_executing_the_module_on_another_object_is_refused(name):
    module = importlib.import_module(f"korvane.core.{name}")
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
    api.PyModule_ExecDef.restype, api.PyModule_ExecDef.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
    other = types.ModuleType(module.__name__)
    message = f"Module '{name}' has already been imported. Re-initialisation is not supported."
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        api.PyModule_ExecDef(other, api.PyModule_GetDef(module))
    assert set(vars(other)) == set(vars(types.ModuleType("empty")))


LOADED = """
import importlib, json, sys
importlib.import_module(sys.argv[1])
print(json.dumps(sorted(name for name in sys.argv[2:] if name in sys.modules)))
"""
COLLABORATORS = ["nodalis", "natsort", "frozendict", "lumivar", "korvane.core.pdk", "korvane.logger",
                 "korvane.settings", "korvane.models", "korvane.core.database", "korvane.core.imports"]


@pytest.mark.parametrize("name, loaded", [
    ("spicenet", []),
    ("freeze", []),
    ("pdk", ["korvane.core.pdk", "lumivar"]),  # its frozen PDK class derives from lumivar's Pdk
])
def test_loading_imports_no_collaborator(name, loaded):
    assert run(LOADED, f"korvane.core.{name}", *COLLABORATORS) == loaded


CALLED = """
import importlib, sys
function = getattr(importlib.import_module(sys.argv[1]), sys.argv[2])
try:
    function()
except TypeError:
    pass
"""


@pytest.mark.parametrize("name, function", [
    ("freeze", "freeze"),
    ("pdk", "activate_pdk_by_name"),
    ("spicenet", "parse_oc_spice"),
])
def test_a_process_that_called_a_module_function_exits_cleanly(name, function):
    done = subprocess.run([sys.executable, "-c", CALLED, f"korvane.core.{name}", function], capture_output=True)
    assert done.returncode == 0, done.stderr
