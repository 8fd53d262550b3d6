"""`make demo`: the main job on the bundled demo project, run as a user runs it."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DEMO = ROOT / "examples" / "demo.py"
PROJECT = ROOT / "examples" / "demo_project"
SECTIONS = [
    "== get_pdk(), get_base_pdk()",
    "== register_cells()",
    "== parse_oc_spice(netlists/link.sp)",
    "== parse_oc_spice(netlists/mzi_chain.sp)",
    "== parse_oc_spice(netlists/rc_buffer.sp)",
    "== freeze('splitter_tree')",
]
NETLIST_KEYS = ["instances", "connections", "ports", "settings", "placements"]
FROZEN_KEYS = ["instances", "connections", "ports", "placements", "routes", "nets"]


def run_demo(tmp, *args):
    """The demo in a process of its own, its temporary files under `tmp`."""
    tmp.mkdir(exist_ok=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANE_")}
    env["TMPDIR"] = str(tmp)
    return subprocess.run([sys.executable, str(DEMO), *args], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=120)


def files(directory):
    return sorted(p.relative_to(directory) for p in directory.rglob("*"))


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    before = files(PROJECT)
    tmp = tmp_path_factory.mktemp("demo")
    result = run_demo(tmp)
    assert result.returncode == 0, result.stderr
    # Registration worked on a copy, and the copy is gone.
    assert files(PROJECT) == before and list(tmp.iterdir()) == []
    return result


@pytest.fixture(scope="module")
def as_json(tmp_path_factory):
    result = run_demo(tmp_path_factory.mktemp("demo"), "--json")
    assert result.returncode == 0, result.stderr
    return result


def summaries_and_records(stdout):
    """(summary line, the JSON record printed after it) for every record of the output."""
    found, lines = [], iter(stdout.splitlines())
    for line in lines:
        if line == "{":
            document = [line]
            for line in lines:
                document.append(line)
                if line == "}":
                    break
            found[-1] = (found[-1][0], json.loads("\n".join(document)))
        elif line.startswith("  ") and ": " in line:
            found.append((line, None))
    return [pair for pair in found if pair[1] is not None]


def test_the_demo_registers_imports_and_freezes(plain):
    lines = plain.stdout.splitlines()
    assert [line for line in lines if line.startswith("==")] == SECTIONS
    assert "  added or updated: delay_loop, grating_coupler, ring_filter, splitter_tree" in lines
    assert "  splitter_tree (demo_project/cells.py:19): status UNKNOWN, builds" in lines
    # The file that does not import gives an error cell, recorded as failed.
    assert any(line.startswith("  ring_filter (demo_project/broken.py:11): status ERROR, raises ImportError: "
                               "cannot import name 'ring_single'") for line in lines)
    assert ("  link: 6 instances (grating_coupler x5, splitter_tree), 5 connections, "
            "5 ports (fiber_in, fiber_1, fiber_2, fiber_3, fiber_4), 6 placements") in lines
    assert ("  mzi_stage: 4 instances (mmi1x2 x2, straight x2), 4 connections, 2 ports (o1, o2), "
            "settings delta=10.0, 4 placements") in lines
    assert ("  splitter_tree: 3 instances (mmi1x2 x3), 2 connections, 5 ports (o1, o2, o3, o4, o5), "
            "3 placements, 0 routes, 2 nets") in lines


def test_log_lines_are_shown_at_info_level(plain):
    lines = plain.stderr.splitlines()
    assert lines[0].startswith("WARNING: broken.py: cannot import name 'ring_single' from 'lumivar.generic_tech'")
    assert lines[1:] == [
        "INFO: new factories: ['delay_loop', 'grating_coupler', 'ring_filter', 'splitter_tree']",
        "INFO: updated factories: []",
        "INFO: removed factories: []",
    ]


def test_json_gives_every_record_in_full_after_its_summary(plain, as_json):
    pairs = summaries_and_records(as_json.stdout)
    summaries = [line for line in plain.stdout.splitlines() if line.startswith("  ") and " instance" in line]
    assert [summary for summary, _ in pairs] == summaries
    records = {summary.split(":")[0].strip(): record for summary, record in pairs}
    assert list(records) == ["link", "mzi_chain", "mzi_stage", "top", "buffer", "rc_stage", "splitter_tree"]
    assert all(list(record) == NETLIST_KEYS for name, record in records.items() if name != "splitter_tree")
    assert list(records["splitter_tree"]) == FROZEN_KEYS
    assert records["mzi_chain"]["connections"] == {"X1,o2": "X2,o1"}
    assert records["buffer"]["ports"] == {"inn": "E1,minus", "inp": "E1,plus", "out": "E1,out", "ref": "E1,gnd_"}
    assert records["splitter_tree"]["placements"]["upper"] == {"x": 50.0, "y": 25.0, "rotation": 0.0}


def test_a_directory_that_is_no_project_is_refused(tmp_path):
    result = run_demo(tmp_path / "tmp", "--project", str(tmp_path))
    assert result.returncode == 2
    assert f"{tmp_path} is not a project: it has no pyproject.toml" in result.stderr
    assert result.stdout == ""
