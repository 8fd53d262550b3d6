import sys
from pathlib import Path

import pytest

from korvane.core import imports


def test_files_import_under_their_package_names_and_failures_are_returned(project):
    good = project.write("chip/good.py", "value = 1\n")
    nested = project.write("chip/sub/__init__.py", "value = 2\n")
    bad = project.write("chip/bad.py", "value = 3\nraise KeyError('boom')\n")
    missing = project.package / "missing.py"
    unnamed = project.write("chip/my-cells.py", "value = 4\n")
    given = [str(good), nested, bad, missing, unnamed]
    modules, errors = imports.import_modules(paths=given, reload=False, from_project=False)
    assert list(modules) == given[:2]  # keyed by the very objects given, in their order
    assert [m.__name__ for m in modules.values()] == ["chip.good", "chip.sub"]
    assert list(errors) == given[2:]
    name, error = errors[bad]
    assert name == "chip.bad" and isinstance(error, KeyError)
    assert "chip.bad" not in sys.modules
    assert errors[missing][0] == "chip.missing" and isinstance(
        errors[missing][1], ModuleNotFoundError
    )
    assert isinstance(errors[unnamed][1], ImportError)


@pytest.mark.parametrize("reload", [True, False])
def test_loaded_modules_are_reloaded_only_when_asked(project, reload):
    path = project.write("chip/cells.py", "value = 1\n")
    first, _ = imports.import_modules(paths=[path])
    path.write_text("value = 'changed'\n")  # another size, so no stale bytecode is used
    second, _ = imports.import_modules(paths=[path], reload=reload)
    assert second[path] is first[path]
    assert second[path].value == ("changed" if reload else 1)


def test_a_reload_that_fails_is_an_error_entry(project):
    path = project.write("chip/cells.py", "value = 1\n")
    imports.import_modules(paths=[path])
    path.write_text("raise ValueError('now broken')\n")
    modules, errors = imports.import_modules(paths=[path], reload=True)
    assert modules == {} and str(errors[path][1]) == "now broken"


def test_from_project_imports_every_project_file(project):
    project.write("chip/a.py", "from chip import b\n")
    project.write("chip/b.py", "")
    modules, errors = imports.import_modules(from_project=True)
    assert (
        sorted(m.__name__ for m in modules.values()) == ["chip", "chip.a", "chip.b"]
        and errors == {}
    )
    with pytest.raises(ValueError, match="not both"):
        imports.import_modules(paths=[project.package / "a.py"], from_project=True)


def test_a_file_outside_the_project_is_named_from_its_package_tree(project, tmp_path):
    path = tmp_path / "lib" / "outer_pkg" / "mod.py"
    path.parent.mkdir(parents=True)
    (path.parent / "__init__.py").write_text("")
    path.write_text("value = 5\n")
    try:
        modules, errors = imports.import_modules(paths=[path])
        assert modules[path].__name__ == "outer_pkg.mod" and modules[path].value == 5
    finally:
        sys.modules.pop("outer_pkg.mod", None)
        sys.modules.pop("outer_pkg", None)


@pytest.mark.parametrize(
    ("text", "names"),
    [
        ("@cell\ndef a(): pass\n", ["a"]),
        ("@lv.cell()  # note\n@other\n\ndef b(x,\n      y): pass\n", ["b"]),
        ("@lumivar.cell(\n    tags=['x'],\n)\ndef c(): pass\n", ["c"]),
        ("@cells\ndef d(): pass\n@lv.model\ndef e(): pass\n", []),
        ("class K:\n    @cell\n    def f(self): pass\n", []),
        ("@cell\nx = 1\ndef g(): pass\n", []),
        ("@cell\ndef h(:\n    syntax error\n", ["h"]),
    ],
)
def test_the_textual_scan_finds_decorated_module_level_functions(tmp_path, text, names):
    path = tmp_path / "cells.py"
    path.write_text(text)
    assert imports.get_cells_from_regex(path) == names


def test_the_textual_scan_of_a_missing_file_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        imports.get_cells_from_regex(Path(tmp_path / "none.py"))
