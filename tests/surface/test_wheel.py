"""`pip wheel .` gives a wheel that installs and imports in a new virtual environment."""

import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULES = ["spicenet", "pdk", "freeze"]

pytestmark = pytest.mark.slow

SMOKE = """
import inspect, io, json, sys
import korvane.core.freeze, korvane.core.pdk, korvane.core.spicenet
from korvane.core.spicenet import parse_oc_spice
records = parse_oc_spice(io.StringIO(".subckt rc a b\\nR1 a m r=1k\\nC1 m b c=2p\\n.ends"))
print(json.dumps({
    "files": [m.__file__ for m in (korvane.core.spicenet, korvane.core.pdk, korvane.core.freeze)],
    "signature": str(inspect.signature(parse_oc_spice)),
    "connections": records["rc"]["connections"],
    "prefix": sys.prefix,
}))
"""


def build_dir():
    """The build tree of the test run's install (so the wheel is not compiled anew), else a new one."""
    given = os.environ.get("KORVANE_BUILD_DIR")
    if given and (Path(given) / "CMakeCache.txt").is_file():
        return Path(given)
    release = ROOT / "build" / "release"
    return release if (release / "CMakeCache.txt").is_file() else None


def run(*args, cwd=ROOT):
    result = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheels")
    build = build_dir() or tmp_path_factory.mktemp("build")
    pip = [sys.executable, "-m", "pip", "--disable-pip-version-check", "-q"]
    run(*pip, "wheel", ".", "--no-deps", "--no-build-isolation", "-w", out, f"-Cbuild-dir={build}")
    # The stand-ins are built from a copy, so their source folder stays clean.
    standins = tmp_path_factory.mktemp("src") / "standins"
    shutil.copytree(ROOT / "host" / "python" / "standins", standins)
    run(*pip, "wheel", standins, "--no-deps", "--no-build-isolation", "-w", out)
    [korvane] = out.glob("korvane-*.whl")
    [host] = out.glob("korvane_host_standins-*.whl")
    return korvane, host


def test_the_wheel_carries_the_modules_their_stubs_and_nothing_of_the_host(wheels):
    names = zipfile.ZipFile(wheels[0]).namelist()
    for module in MODULES:
        assert any(n.startswith(f"korvane/core/{module}.") and n.endswith(".so") for n in names), module
        assert f"korvane/core/{module}.pyi" in names
    assert {"korvane/py.typed", "korvane/settings.py", "korvane/core/lazy.py"} <= set(names)
    assert not [n for n in names if n.startswith(("lumivar/", "nodalis/")) or "__pycache__" in n]


def test_the_wheel_installs_and_imports_in_a_new_environment(wheels, tmp_path):
    python313 = run(ROOT / "scripts" / "find-python313").strip()
    venv = tmp_path / "venv"
    run(python313, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "--disable-pip-version-check", "-q", "install", *wheels)
    report = run(python, "-I", "-c", SMOKE, cwd=tmp_path)  # -I: nothing from the source tree
    found = json.loads(report)
    assert found["prefix"] == str(venv)
    assert all(Path(f).is_relative_to(venv) for f in found["files"])
    assert found["signature"] == "(path_or_buf, settings_keymap=None, component_map=None, **kwargs)"
    assert found["connections"] == {"R1,plus": "C1,minus"}
