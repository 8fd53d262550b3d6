"""freeze against the platform: the generic PDK of lumivar, nodalis and the product logger."""

import inspect
import json
import logging
import os
import subprocess
import sys

import pytest

import korvane.core.freeze as fz
import lumivar
from lumivar import Component, cell
from lumivar.generic_tech import get_generic_pdk, mmi1x2, straight

SECTIONS = ["instances", "connections", "ports", "placements", "routes", "nets"]
OPEN = "neither connected nor exported"


@cell
def tap(*, length: float = 5.0) -> Component:
    """A splitter feeding one arm; split,o2 is also exported, split,o3 and arm,o2 stay open."""
    c = Component()
    c.add_instance("split", mmi1x2())
    c.add_instance("arm", straight(length=length), x=20.0)
    c.connect("split,o2", "arm,o1")
    c.add_port("o1", port="split,o1")
    c.add_port("tap", port="split,o2")
    return c


@pytest.fixture
def pdk(monkeypatch):
    pdk = get_generic_pdk.__wrapped__()
    pdk.cells["tap"] = tap
    monkeypatch.setattr(fz, "get_pdk", lambda: pdk)
    return pdk


def test_freezes_a_composite_cell_with_settings(pdk):
    record = fz.freeze("mzi", delta_length=20.0)
    assert list(record) == SECTIONS
    assert {name: i["component"] for name, i in record["instances"].items()} == {
        "cp1": "mmi1x2", "top": "straight", "bot": "straight", "cp2": "mmi1x2"}
    assert record["instances"]["top"]["settings"] == {"length": 50.0, "width": 0.5}
    assert record["connections"] == {"cp1,o2": "top,o1", "top,o2": "cp2,o3", "cp1,o3": "bot,o1", "bot,o2": "cp2,o2"}
    assert record["ports"] == {"o1": "cp1,o1", "o2": "cp2,o1"}
    assert record["placements"]["cp2"] == {"x": 96.5, "y": 0.0, "rotation": 180.0}
    assert record["routes"] == {} and len(record["nets"]) == 4


@pytest.mark.parametrize("version, multi", [
    ("9.34.0", []),
    ("9.33.0", ["multi_connected_ports split o2: used 2 times"]),
])
def test_netlist_warnings_reach_the_logger(pdk, monkeypatch, caplog, version, multi):
    monkeypatch.setattr(lumivar, "__version__", version)
    with caplog.at_level(logging.WARNING, logger="korvane"):
        record = fz.freeze("tap", length=8.0)
    assert record["ports"] == {"o1": "split,o1", "tap": "split,o2"}
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("korvane", "WARNING", text)
        for text in [f"unconnected_ports split o3: {OPEN}", f"unconnected_ports arm o2: {OPEN}", *multi]]


FRESH = """
import inspect
import json
from lumivar import Component, cell
from lumivar.generic_tech import mmi1x2, straight
from korvane.core.freeze import freeze
from korvane.core.pdk import get_pdk
{tap}
get_pdk().cells["tap"] = tap
print(json.dumps([freeze("mzi", length=12.0), freeze("tap", length=8.0)]))
"""


def test_freezes_cells_of_the_project_pdk_in_a_fresh_process(pdk, tmp_path):
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "chip"\n\n[tool.korvane]\npdk = "generic"\n')
    env = {**os.environ, "KORVANE_PROJECT_DIR": str(tmp_path)}
    env.pop("KORVANE_LOG_LEVEL", None)
    script = FRESH.format(tap=inspect.getsource(tap))
    run = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    expected = [fz.freeze("mzi", length=12.0), fz.freeze("tap", length=8.0)]
    assert json.loads(run.stdout) == json.loads(json.dumps(expected))
    assert run.stderr.splitlines() == [
        f"WARNING: unconnected_ports split o3: {OPEN}", f"WARNING: unconnected_ports arm o2: {OPEN}"]
