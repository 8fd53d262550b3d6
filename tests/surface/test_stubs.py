"""The type stubs of the three compiled modules, checked against the installed modules."""

import ast
import importlib
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from korvane.core.lazy import LazyImport

HERE = Path(__file__).resolve().parent
CONFIG = HERE / "mypy.ini"
MODULES = ["korvane.core.spicenet", "korvane.core.pdk", "korvane.core.freeze"]

pytest.importorskip("mypy", reason="mypy checks the stubs; `make test` installs it")


def mypy(tool, *args, cwd):
    config = "--mypy-config-file" if tool == "mypy.stubtest" else "--config-file"
    return subprocess.run([sys.executable, "-m", tool, config, str(CONFIG), *args],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


def stub_of(name):
    module = importlib.import_module(name)
    path = Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi")
    return module, ast.parse(path.read_text(encoding="utf-8"))


def own_names(module):
    """The names the module itself defines: its functions, caches, classes and collaborator handles."""
    names = set()
    for name, value in vars(module).items():
        if name.startswith("__"):
            continue
        if isinstance(value, LazyImport):  # checked first: any other look-up would import the target
            names.add(name)
        elif (getattr(getattr(value, "__wrapped__", value), "__self__", None) is module
                or isinstance(value, type) and value.__module__ == module.__name__):
            names.add(name)
    return names


def test_stubtest_finds_the_stubs_consistent_with_the_modules(tmp_path):
    result = mypy("mypy.stubtest", *MODULES, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("name", MODULES)
def test_every_name_the_module_defines_is_in_its_stub(name):
    module, tree = stub_of(name)
    declared = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    declared |= {t.id for node in tree.body if isinstance(node, ast.Assign) for t in node.targets}
    assert own_names(module) - declared == set()


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstrings_are_the_modules_own(name):
    module, tree = stub_of(name)
    if ast.get_docstring(tree) is not None:
        assert ast.get_docstring(tree) == inspect.getdoc(module)
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and ast.get_docstring(node) is not None:
            assert ast.get_docstring(node) == inspect.getdoc(getattr(module, node.name)), node.name


@pytest.mark.parametrize("name", MODULES)
def test_inspect_signature_works_on_every_function(name):
    module = importlib.import_module(name)
    for attribute in sorted(own_names(module)):
        value = getattr(module, attribute)
        if callable(value) and not isinstance(value, (type, LazyImport)):
            assert isinstance(inspect.signature(value), inspect.Signature), attribute


# Every line marked with an ignore must be an error and no other line may be
# one: strict mode reports an ignore that is not needed.
TYPED_USE = """
import io
from pathlib import Path
from typing import Any, assert_type

from korvane.core.freeze import freeze
import korvane.core.pdk
from korvane.core.pdk import FrozenPdk, get_base_pdk, get_pdk, register_cells
from korvane.core.spicenet import ParseError, ParseWarning, Subckt, parse_oc_spice

records = parse_oc_spice(io.StringIO(".subckt a x\\n.ends"), {"w": "width"}, None, w=0.5)
assert_type(records, dict[str, dict[str, Any]])
parse_oc_spice(Path("chip.sp"), component_map={"straight": "wg"})
parse_oc_spice(b"chip.sp")  # type: ignore[arg-type]
parse_oc_spice("chip.sp", settings_keymap=[("w", "width")])  # type: ignore[arg-type]

added, removed = register_cells(paths=[Path("cells.py"), "more.py"], reload=False)
assert_type(added, list[str])
assert_type(removed, list[str])
register_cells(["cells.py"])  # type: ignore[call-arg]

record = freeze("mzi", length=10.0)
assert_type(record, dict[str, Any])
freeze(3)  # type: ignore[arg-type]
freeze()  # type: ignore[call-arg]

pdk = get_pdk()
base = get_base_pdk()
korvane.core.pdk.activate_pdk_by_name("generic")  # type: ignore[deprecated]
korvane.core.pdk.activate_pdk_by_name(None)  # type: ignore[arg-type, deprecated]
frozen: type[FrozenPdk] = FrozenPdk
subckt = Subckt(1, "top", ("a",), {}, 0, ())
assert_type(subckt.children_ids, tuple[int, ...])
Subckt(1, "top")  # type: ignore[call-arg]
error: RuntimeError = ParseError("x")
category: type[Warning] = ParseWarning
"""


def test_type_checkers_see_the_signatures_and_types(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent(TYPED_USE))
    result = mypy("mypy", "use.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
