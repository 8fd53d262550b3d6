"""Cell registration: resolving records to cells, and register_cells with
recording collaborators and end to end on a copy of the demo project."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import lumivar
import pytest

import korvane.core.database

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo_project"


def test_find_cells_resolves_unknown_records_to_module_attributes(pdk, platform, record, tmp_path):
    path = tmp_path / "chip/cells.py"
    static = {n: record(n, path) for n in ["good", "absent", "none"]}
    static["failed"] = record("failed", path, status="ERROR", message="earlier")
    cells = pdk._find_cells(static, {path: types.SimpleNamespace(good=len, failed=abs, none=None)})

    assert list(cells) == ["good", "absent", "none"] and cells["good"] is len
    assert (static["failed"].status, static["failed"].message) == ("ERROR", "earlier")
    assert static["good"].status == "UNKNOWN" and platform.imports.calls == []
    messages = [f"Cell '{name}' not found in '{path}'." for name in ("absent", "none")]
    assert platform.log.texts("warning") == messages
    for name, message in zip(("absent", "none"), messages):
        assert (static[name].status, static[name].message) == ("ERROR", message)
        assert (cells[name].__name__, cells[name].__module__) == (name, "cells.py")
        with pytest.raises(ImportError) as info:
            cells[name]()
        assert type(info.value) is ImportError and str(info.value) == message


@pytest.mark.parametrize("importable", [True, False])
def test_a_file_missing_from_modules_is_imported_on_demand(pdk, platform, record, tmp_path, importable):
    path, module, modules = tmp_path / "chip/late.py", types.SimpleNamespace(a=len, b=abs), {}
    if importable:
        platform.imports.modules[path] = module
    static = {"a": record("a", path), "b": record("b", path)}
    cells = pdk._find_cells(static, modules)
    if importable:  # imported once: the second record finds it in modules
        assert platform.imports.calls == [([path], False, False)]
        assert cells == {"a": len, "b": abs} and modules == {path: module}
        return
    assert platform.imports.calls == [([path], False, False)] * 2
    for name in "ab":
        message = f"Module for cell '{name}' with path {path} not found."
        assert (static[name].status, static[name].message, cells[name].__module__) == ("ERROR", message, "late.py")
        with pytest.raises(ModuleNotFoundError, match=f"^{re.escape(message)}$"):
            cells[name]()
    assert len(platform.log.texts("warning")) == 2


@pytest.fixture
def project(platform, record, tmp_path):
    """chip/cells.py imports but lacks `lost`, chip/broken.py fails, and lib/x.py
    (outside the project) defines a base-PDK cell and a foreign one."""
    cells_py, broken, x = tmp_path / "chip/cells.py", tmp_path / "chip/broken.py", tmp_path / "lib/x.py"
    platform.cg.records = [record("good", cells_py, line=1), record("lost", cells_py), record("bad", broken),
                           record("straight", x), record("outsider", x)]
    good = lambda: "good"  # noqa: E731
    platform.imports.modules = {cells_py: types.SimpleNamespace(good=good), x: types.SimpleNamespace(straight=len, outsider=abs)}
    platform.imports.errors = {broken: ("chip.broken", ImportError("no ring"))}
    platform.imports.scans = {broken: ["bad", "scan_only"]}
    return types.SimpleNamespace(good=good, cells_py=cells_py, broken=broken, x=x)


def test_a_full_registration(pdk, platform, project, record):
    db, target, shared = platform.db, platform.project, lambda: None
    db.stored = {
        "good": record("good", project.cells_py, line=1),  # unchanged: not written
        "bad": record("bad", project.broken),  # fine before, failing now
        "old": record("old", project.cells_py),  # gone from the sources
    }
    target.cells.update(old=abs, dup=shared)
    target.containers.update(dup=shared)

    assert pdk.register_cells() == (["bad", "lost", "scan_only", "straight"], ["old"])

    assert platform.events == ["get_pdk", "get_base_pdk", "create_callgraph", "get_static_records",
                               "import_modules", "update_factories", "register_models"]
    assert platform.cg.calls == [(platform.cg.graph, [])] and platform.models == [(platform.cg.graph, True)]
    assert platform.imports.calls == [([project.x, project.cells_py, project.broken], True, False)]
    # Found cells and error cells registered, "old" removed, "dup" left a container.
    assert list(target.cells) == ["good", "lost", "straight", "bad", "scan_only"]
    assert target.cells["good"] is project.good and target.containers == {"dup": shared}
    with pytest.raises(ImportError, match="^no ring$"):
        target.cells["scan_only"]()
    assert db.calls[0] == ("all",) and db.stored["bad"].message == "no ring"
    assert {n: r.status for n, r in db.stored.items()} == {
        "good": "UNKNOWN", "bad": "ERROR", "lost": "ERROR", "scan_only": "ERROR", "straight": "UNKNOWN"}


def test_a_registration_of_given_paths(pdk, platform, project, record, tmp_path, monkeypatch):
    db, cells_py = platform.db, project.cells_py
    db.stored = {n: record(n, cells_py, line=1) for n in ["good", "renamed"]}
    db.stored["elsewhere"] = record("elsewhere", "chip/other.py")
    monkeypatch.chdir(tmp_path)

    # Text becomes an absolute path, equal to the records' paths; the named
    # file's records are always written, other files' never removed.
    assert pdk.register_cells(paths=("chip/cells.py",), reload=0) == (["good", "lost"], ["renamed"])

    assert platform.cg.calls == [(platform.cg.graph, [cells_py])]
    assert platform.imports.calls == [([cells_py], False, False)]
    assert db.calls == [("by_name", ("good", "lost")), ("by_source", (cells_py,)), ("by_name", ("renamed",)),
                        ("update", ["good", "lost"], ["renamed"])]
    assert sorted(db.stored) == ["elsewhere", "good", "lost"] and platform.models == []


class Truth:
    """A reload value that counts its truth tests; `answer` is returned or raised."""

    def __init__(self, answer):
        self.answer, self.asked = answer, 0

    def __bool__(self):
        self.asked += 1
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("reload, passed", [(0, False), ("yes", True), (Truth(True), True), (Truth(False), False)])
def test_reload_is_taken_once_as_a_bool(pdk, platform, project, monkeypatch, reload, passed):
    assert pdk.register_cells(reload=reload)[0]  # the module's own _import_modules
    seen = []
    monkeypatch.setattr(pdk, "_import_modules", lambda records, paths, *, reload: seen.append(reload) or ({}, {}))
    pdk.register_cells(reload=reload)
    assert seen == [passed] and type(seen[0]) is bool
    assert platform.imports.calls[0][1] is passed  # the first registration's import
    assert platform.models == ([(platform.cg.graph, True)] * 2 if passed else [])
    assert getattr(reload, "asked", 2) == 2  # once per registration


def test_a_reload_without_a_truth_value_fails_before_any_step(pdk, platform, project):
    undecided = Truth(ValueError("truth of an undecided value"))
    with pytest.raises(ValueError, match="^truth of an undecided value$"):
        pdk.register_cells(paths="cells.py", reload=undecided)  # before the refusal of a lone path, too
    assert platform.events == [] and undecided.asked == 1


def test_a_project_that_is_a_pdk_keeps_every_record(pdk, platform, project):
    platform.settings.values["is_a_pdk"] = True
    assert "outsider" in pdk.register_cells()[0] and platform.project.cells["outsider"] is abs


def test_a_failing_step_leaves_the_earlier_steps_done(pdk, platform, project, monkeypatch):
    monkeypatch.setattr(platform.db, "update_factories", lambda **kw: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        pdk.register_cells()
    assert platform.project.cells["good"] is project.good and platform.models == []


# --- end to end on a copy of the demo project -------------------------------------------


@pytest.fixture
def demo(pdk, tmp_path, monkeypatch):
    project = tmp_path / "demo_project"
    shutil.copytree(DEMO, project, ignore=shutil.ignore_patterns("build", "__pycache__"))
    monkeypatch.setenv("KORVANE_PROJECT_DIR", str(project))
    monkeypatch.setenv("KORVANE_LOG_LEVEL", "INFO")
    monkeypatch.chdir(project)
    path = list(sys.path)
    yield project
    sys.path[:] = path
    for name in [n for n in sys.modules if n.split(".")[0] == "demo_project"]:
        del sys.modules[name]


def stored_factories():
    return {n: (r.source.split("/")[-1], r.status) for n, r in korvane.core.database.get_all_factories().items()}


def test_a_first_registration_of_the_demo_project(pdk, demo, caplog):
    with caplog.at_level("INFO", logger="korvane"):
        assert pdk.register_cells() == (["delay_loop", "grating_coupler", "ring_filter", "splitter_tree"], [])
    assert stored_factories() == {"delay_loop": ("cells.py", "UNKNOWN"), "grating_coupler": ("cells.py", "UNKNOWN"),
                                  "ring_filter": ("broken.py", "ERROR"), "splitter_tree": ("cells.py", "UNKNOWN")}
    project = pdk.get_pdk()
    assert lumivar.get_active_pdk() is project and "grating_coupler" in project.models
    assert [p.name for p in project.cells["splitter_tree"]().ports] == ["o1", "o2", "o3", "o4", "o5"]
    errors = []
    for kwargs in ({}, {"radius": 2.0}):
        with pytest.raises(ImportError, match="ring_single") as info:
            project.cells["ring_filter"](**kwargs)
        errors.append(info.value)
    assert errors[0] is errors[1] and f"broken.py: {errors[0]}" in caplog.messages
    assert "ring_filter" not in pdk.get_base_pdk().cells


def test_registering_one_edited_file_updates_only_its_records(pdk, demo):
    pdk.register_cells()
    cells_py = demo / "demo_project/cells.py"
    text = cells_py.read_text()
    cells_py.write_text(text[: text.index("@lv.cell()\ndef delay_loop")] + (
        "@lv.cell\ndef spiral(*, turns: int = 3) -> lv.Component:\n    return lv.Component()\n"))

    assert pdk.register_cells(paths=[Path("demo_project/cells.py")]) == (
        ["grating_coupler", "spiral", "splitter_tree"], ["delay_loop"])
    project = pdk.get_pdk()
    assert "delay_loop" not in project.cells and project.cells["spiral"]().name == "spiral"
    assert stored_factories() == {"grating_coupler": ("cells.py", "UNKNOWN"), "ring_filter": ("broken.py", "ERROR"),
                                  "spiral": ("cells.py", "UNKNOWN"), "splitter_tree": ("cells.py", "UNKNOWN")}


def test_a_second_process_sees_the_same_database(pdk, demo):
    pdk.register_cells()
    script = "import korvane.core.pdk as p; print(p.register_cells(reload=False))"
    result = subprocess.run([sys.executable, "-c", script], cwd=demo, env=dict(os.environ),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "([], [])\n" and "INFO: new factories: []" in result.stderr


@pytest.mark.parametrize("paths", [(), ["demo_project/cells.py"]])
def test_odd_project_files_leave_the_registration_going(pdk, demo, caplog, deadline, paths):
    package = demo / "demo_project"
    (package / ".#cells.py").symlink_to(package / "gone.py")  # an editor's lock file
    (package / "loop.py").symlink_to(package / "loop.py")
    (package / "deep.py").write_text("x = " + "+".join(["1"] * 200_000) + "\n")
    os.mkfifo(package / "pipe.py")
    names = ["delay_loop", "grating_coupler", "splitter_tree"]
    with caplog.at_level("WARNING", logger="korvane"):
        assert pdk.register_cells(paths=paths) == ((names if paths else sorted(names + ["ring_filter"])), [])
    skipped = [m.split(":")[0] for m in caplog.messages if m.startswith("Skipped ")]
    assert skipped == [f"Skipped {package / n}" for n in (".#cells.py", "deep.py", "loop.py")]
    assert set(stored_factories()) == set(names) | (set() if paths else {"ring_filter"})
