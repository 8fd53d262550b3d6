"""Fixtures for the service modules and stand-ins: a temporary project and a fresh PDK."""

import sys
import textwrap

import pytest

import lumivar.generic_tech
import lumivar.pdk

PROJECT = "chip"


class Project:
    """A project directory with the package `chip`; `write` adds files to it."""

    def __init__(self, root):
        self.root = root
        self.package = root / PROJECT

    def write(self, relative, text):
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
        return path


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A fresh project named "chip", made current through KORVANE_PROJECT_DIR."""
    root = tmp_path / "project"
    made = Project(root)
    made.write(
        "pyproject.toml", f'[project]\nname = "{PROJECT}"\n\n[tool.korvane]\npdk = "generic"\n'
    )
    made.write(f"{PROJECT}/__init__.py", "")
    monkeypatch.setenv("KORVANE_PROJECT_DIR", str(root))
    monkeypatch.setattr(sys, "path", list(sys.path))
    yield made
    for name in [n for n in sys.modules if n == PROJECT or n.startswith(PROJECT + ".")]:
        del sys.modules[name]


@pytest.fixture
def generic_pdk(monkeypatch):
    """A newly built generic PDK, active for the test only."""
    monkeypatch.setattr(lumivar.pdk, "_active_pdk", lumivar.pdk._active_pdk)
    pdk = lumivar.generic_tech.get_generic_pdk.__wrapped__()
    pdk.activate()
    return pdk
