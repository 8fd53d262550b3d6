import errno
import os

import pytest

from korvane.core import callgraph as cg
from korvane.core.imports import get_cells_from_regex
from korvane.models import FactoryRecord


@pytest.mark.parametrize(
    ("source", "cells", "models"),
    [
        ("from lumivar import cell\n@cell\ndef a(): pass\n", ["a"], []),
        ("import lumivar as lv\n@lv.cell()\ndef a(): pass\n", ["a"], []),
        ("import lumivar.generic_tech\n@lumivar.cell\ndef a(): pass\n", ["a"], []),
        ("from lumivar import cell as c\n@other\n@c(\n)\ndef a(): pass\n", ["a"], []),
        ("from lumivar import *\n@cell\ndef a(): pass\n", ["a"], []),
        ("import nodalis as nd\n@nd.model\ndef a(): pass\n", [], ["a"]),
        (
            "from nodalis import model\nimport sys\nif sys:\n    @model()\n    def a(): pass\n",
            [],
            ["a"],
        ),
        ("def cell(f): return f\n@cell\ndef a(): pass\n", [], []),
        ("import lumivar as lv\nclass K:\n    @lv.cell\n    def a(self): pass\n", [], []),
        ("import lumivar as lv\ndef outer():\n    @lv.cell\n    def a(): pass\n", [], []),
    ],
)
def test_decorated_functions_are_found_without_importing(project, source, cells, models):
    project.write("chip/cells.py", source + "raise SystemExit('never imported')\n")
    G = cg.create_callgraph()
    assert [f.name for f in G.cells()] == cells
    assert [f.name for f in G.models()] == models


def test_static_records_follow_file_then_definition_order(project, monkeypatch):
    head = "import lumivar as lv\n"
    project.write("chip/b.py", head + "@lv.cell\ndef z(): pass\n@lv.cell\ndef y(): pass\n")
    project.write("chip/a.py", head + "\n\n@lv.cell\ndef x(): pass\n")
    project.write("chip/sub/c.py", head + "@lv.cell\ndef w(): pass\n")
    G = cg.create_callgraph()
    assert list(cg.get_static_records(G)) == ["x", "z", "y", "w"]
    monkeypatch.chdir(project.package)
    records = cg.get_static_records(G, paths=["b.py", project.package / "sub" / "c.py"])
    assert records == {
        "z": FactoryRecord(name="z", source="chip/b.py", status="UNKNOWN", message="", line=3),
        "y": FactoryRecord(name="y", source="chip/b.py", status="UNKNOWN", message="", line=5),
        "w": FactoryRecord(name="w", source="chip/sub/c.py", status="UNKNOWN", message="", line=3),
    }


def test_a_file_that_does_not_parse_still_lists_its_cells(project):
    path = project.write("chip/bad.py", "import lumivar as lv\n@lv.cell\ndef broken(:\n    pass\n")
    G = cg.create_callgraph()
    assert [f.name for f in G.cells()] == ["broken"]
    assert "SyntaxError" in G.unparsed[path]


def test_build_hidden_and_environment_folders_are_left_out(project):
    cell = "import lumivar as lv\n@lv.cell\ndef c(): pass\n"
    for folder in ("build", ".git", "venv", "chip/__pycache__"):
        project.write(f"{folder}/x.py", cell)
    project.write("venv/pyvenv.cfg", "")
    project.write("tools/x.py", cell)
    assert [f.path for f in cg.create_callgraph().cells()] == [
        project.root.resolve() / "tools" / "x.py"
    ]


DEEP = "x = " + "+".join(["1"] * 200_000) + "\n"  # nested beyond the parser's limits


@pytest.mark.parametrize(
    ("name", "make", "reason"),
    [
        (".#cells.py", lambda p: p.symlink_to(p.parent / "gone.py"), "FileNotFoundError: [Errno 2] No such file or directory"),
        ("loop.py", lambda p: p.symlink_to(p), f"OSError: [Errno {errno.ELOOP}] {os.strerror(errno.ELOOP)}"),
        ("deep.py", lambda p: p.write_text(DEEP), "RecursionError: maximum recursion depth exceeded"),
        ("pipe.py", os.mkfifo, None),  # not a regular file: skipped without a word
        ("folder.py", lambda p: p.symlink_to(p.parent), None),
    ],
)
def test_a_file_that_cannot_be_read_or_parsed_is_skipped_with_one_warning(project, caplog, deadline, name, make, reason):
    project.write("chip/cells.py", "import lumivar as lv\n@lv.cell\ndef good(): pass\n")
    odd = project.package / name
    make(odd)
    G = cg.create_callgraph()
    assert [f.name for f in G.cells()] == ["good"]
    if reason is None:
        assert caplog.messages == [] and G.unparsed == {} and odd not in cg.project_files(project.root)
        return
    assert list(G.unparsed) == [odd] and G.unparsed[odd].startswith(reason)
    assert caplog.messages == [f"Skipped {odd}: {G.unparsed[odd]}"]
    assert [r.levelname for r in caplog.records] == ["WARNING"]


def test_a_fifo_is_read_as_no_source_without_waiting_for_a_writer(tmp_path, deadline):
    fifo = tmp_path / "cells.py"
    os.mkfifo(fifo)
    assert cg.read_source(fifo) is None
    assert get_cells_from_regex(fifo) == []
    link = tmp_path / "link.py"
    link.symlink_to(tmp_path / "real.py")
    (tmp_path / "real.py").write_bytes(b"@cell\ndef a(): pass\n")
    assert cg.read_source(link) == b"@cell\ndef a(): pass\n" and get_cells_from_regex(link) == ["a"]


@pytest.mark.parametrize(
    "head",
    [b"\xef\xbb\xbf", b"# -*- coding: latin-1 -*-\nname = '\xe9'\n", b"name = 'x'\r\n"],
)
def test_source_encodings_and_line_ends_are_honoured(project, head):
    path = project.root / "chip" / "cells.py"
    path.write_bytes(head + b"import lumivar as lv\r\n@lv.cell\ndef a(): pass\n")
    G = cg.create_callgraph()
    assert [f.name for f in G.cells()] == ["a"] and G.unparsed == {}
