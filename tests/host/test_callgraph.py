import pytest

from korvane.core import callgraph as cg
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
