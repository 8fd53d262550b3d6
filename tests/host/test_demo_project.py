import sys
from pathlib import Path

import pytest

import nodalis
from korvane import settings
from korvane.core import callgraph as cg
from korvane.core import imports

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo_project"


@pytest.fixture
def demo(monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    with settings.use_project(DEMO):
        yield
    for name in [n for n in sys.modules if n.split(".")[0] == "demo_project"]:
        del sys.modules[name]


def test_the_demo_project_has_working_cells_a_model_and_one_broken_file(demo):
    assert (settings.get_project_name(), settings.get_pdk_name()) == ("demo_project", "generic")
    G = cg.create_callgraph()
    records = cg.get_static_records(G)
    assert set(records) == {"grating_coupler", "splitter_tree", "delay_loop", "ring_filter"}
    assert [m.name for m in G.models()] == ["grating_coupler"]
    paths = list(dict.fromkeys(r.absolute_source() for r in records.values()))
    modules, errors = imports.import_modules(paths=paths, reload=False)
    assert [p.name for p in errors] == ["broken.py"]
    (cells,) = modules.values()
    for name in ("splitter_tree", "delay_loop"):
        netlist = getattr(cells, name)().get_netlist()
        assert netlist["instances"] and netlist["warnings"] == {}
    gc_model = imports.import_modules(paths=[G.models()[0].path])[0][
        G.models()[0].path
    ].grating_coupler
    assert nodalis.get_ports(gc_model()) == tuple(p.name for p in cells.grating_coupler().ports)
