"""Importing the project's files and the error cells of files that fail."""

from __future__ import annotations

import inspect
from pathlib import Path

import pytest


def test_sort_paths_resolves_then_orders_by_depth_length_and_text(pdk, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "sub")
    given = iter(["link/a.py", tmp_path / "ab.py", "b.py", Path("sub/../a.py"), "Z.py"])
    expected = ["Z.py", "a.py", "b.py", "ab.py", "sub/a.py"]  # code point order puts "Z" first
    assert pdk._sort_paths(given) == [tmp_path / p for p in expected]


@pytest.mark.parametrize("error", ["it broke", type("Text", (str,), {})("it broke"), ValueError("it broke")])
def test_an_error_cell_raises_one_error_object_on_every_call(pdk, error):
    cell = pdk._error_cell("x", "mod", error)
    assert (cell.__name__, cell.__qualname__, cell.__module__) == ("x", "x", "mod")
    assert str(inspect.signature(cell)) == "(*args, **kwargs)"
    raised = []
    for args, kwargs in [((), {}), ((1, "two"), {"three": 3})]:
        with pytest.raises(Exception) as info:
            cell(*args, **kwargs)
        raised.append(info.value)
    assert raised[0] is raised[1] and str(raised[0]) == "it broke"
    assert raised[0] is error if isinstance(error, Exception) else type(raised[0]) is RuntimeError
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        pdk._error_cell("x", "mod", 42)()


@pytest.fixture
def files(platform, record, tmp_path):
    """Records of three files: x (two records) and zz import, y fails."""
    x, y, z = tmp_path / "chip/sub/x.py", tmp_path / "chip/y.py", tmp_path / "chip/zz.py"
    records = {n: record(n, f) for n, f in [("a", x), ("b", y), ("c", x), ("d", z)]}
    platform.imports.modules = {x: "module x", z: "module z", tmp_path / "other.py": "not asked for"}
    platform.imports.errors = {y: ("chip.y", ImportError("y is broken"))}
    return records, x, y, z


def test_import_modules_imports_each_file_once_and_answers_in_record_order(pdk, platform, files):
    records, x, y, z = files
    modules, errors = pdk._import_modules(records, [])
    assert platform.imports.calls == [([y, z, x], True, False)]  # shallow and short first
    assert list(modules.items()) == [(x, "module x"), (z, "module z")]  # other keys dropped
    assert errors == {y: platform.imports.errors[y]}
    # Entries that are not true count as absent.
    platform.imports.modules[x], platform.imports.errors[y] = 0, None
    assert pdk._import_modules(records, []) == ({z: "module z"}, {})


@pytest.mark.parametrize(
    "named, reload, imported, reload_passed",
    [("y", 0, ["y"], False), ("x", "yes", ["x"], True), ("none", True, [], True)],  # "none": no record's file
)
def test_import_modules_limits_to_the_given_paths(pdk, platform, files, tmp_path, named, reload, imported, reload_passed):
    records, x, y, z = files
    paths = {"x": x, "y": y, "none": tmp_path / "chip/none.py"}
    modules, errors = pdk._import_modules(records, [paths[named]], reload=reload)
    assert platform.imports.calls == [([paths[n] for n in imported], reload_passed, False)]
    assert set(modules) | set(errors) == {paths[n] for n in imported}


@pytest.mark.parametrize(
    "result, error, message",
    [
        (({}, {}, {}), ValueError, "too many values to unpack (expected 2)"),
        (({},), ValueError, "not enough values to unpack (expected 2, got 1)"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
    ],
)
def test_import_modules_needs_a_pair_from_the_import_service(pdk, platform, files, monkeypatch, result, error, message):
    monkeypatch.setattr(platform.imports, "import_modules", lambda **kw: result)
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
        pdk._import_modules(files[0], [])


def test_a_failed_file_yields_error_cells_and_records_for_scanned_and_static_names(pdk, platform, record, tmp_path):
    path = tmp_path / "chip/broken.py"
    static = {"b": record("b", path, line=3), "other": record("other", "chip/fine.py"), "c": record("c", path)}
    error = ImportError("no ring here")
    platform.imports.scans[path] = ["a", "b", "a"]

    cells, records = pdk._handle_import_errors(static, {path: ("chip.broken", error)})

    assert platform.log.lines == [("warning", "broken.py: no ring here")]
    assert list(cells) == list(records) == ["a", "b", "c"]  # scanned names, then the static ones
    for name, cell in cells.items():
        assert (cell.__name__, cell.__module__) == (name, "chip.broken")
        with pytest.raises(ImportError) as info:
            cell()
        assert info.value is error
    a = records["a"]
    assert (a.name, a.source, a.status, a.message) == ("a", str(path), "ERROR", "no ring here")
    for name in "bc":  # copies of the static records; those stay as they were
        assert records[name] is not static[name] and records[name].source == static[name].source
        assert (records[name].status, records[name].message) == ("ERROR", "no ring here")
        assert (static[name].status, static[name].message) == ("UNKNOWN", "")
    assert records["b"].line == 3


@pytest.mark.parametrize(
    "scan, names",
    [(OSError("unreadable"), ["b"]), (["b", "a"], ["b", "a"]), (iter(["z"]), ["z", "b"])],  # a failing scan is swallowed
)
def test_the_name_scan_of_a_failed_file(pdk, platform, record, tmp_path, scan, names):
    path = tmp_path / "broken.py"
    platform.imports.scans[path] = scan
    cells, records = pdk._handle_import_errors({"b": record("b", path)}, {path: ("broken", "text error")})
    assert list(cells) == names and {r.message for r in records.values()} == {"text error"}
    with pytest.raises(RuntimeError, match="^text error$"):
        cells[names[0]]()


@pytest.mark.parametrize(
    "scan, failure, error, message",
    [
        (None, ("broken", "boom"), TypeError, "'NoneType' object is not iterable"),
        (KeyboardInterrupt(), ("broken", "boom"), KeyboardInterrupt, ""),
        ([], ("broken",), ValueError, "not enough values to unpack (expected 2, got 1)"),
    ],
)
def test_handle_import_errors_passes_other_failures_on(pdk, platform, tmp_path, scan, failure, error, message):
    platform.imports.scans[tmp_path / "broken.py"] = scan
    with pytest.raises(error) as info:
        pdk._handle_import_errors({}, {tmp_path / "broken.py": failure})
    assert str(info.value) == message


def test_a_name_of_two_failed_files_keeps_the_later_one(pdk, platform, tmp_path):
    first, second = tmp_path / "one.py", tmp_path / "two.py"
    platform.imports.scans = {first: ["x"], second: ["x"]}
    cells, records = pdk._handle_import_errors({}, {first: ("one", "first"), second: ("two", "second")})
    assert cells["x"].__module__ == "two" and records["x"].message == "second"
    assert platform.log.texts("warning") == ["one.py: first", "two.py: second"]
    assert pdk._handle_import_errors({}, {}) == ({}, {}) and len(platform.log.lines) == 2
