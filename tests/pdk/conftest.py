"""Fixtures for korvane.core.pdk: the module with empty caches, replaced
collaborators that record what they are asked, and throw-away PDK packages."""

from __future__ import annotations

import importlib
import sys
import textwrap
import types

import pytest

import korvane.core.pdk as pdk_module


class Recorder:
    """A logger that keeps (level, text) pairs."""

    def __init__(self) -> None:
        self.lines: list[tuple[str, str]] = []

    def debug(self, text):
        self.lines.append(("debug", text))

    def info(self, text):
        self.lines.append(("info", text))

    def warning(self, text):
        self.lines.append(("warning", text))

    def texts(self, level):
        return [text for lvl, text in self.lines if lvl == level]


class FakeSettings:
    def __init__(self, pdk_name="generic", project_name="proj", is_pdk=False, project_dir=None):
        self.pdk_name = pdk_name
        self.project_name = project_name
        self.is_pdk = is_pdk
        self.project_dir = project_dir
        self.calls: list[str] = []

    def get_pdk_name(self):
        self.calls.append("get_pdk_name")
        return self.pdk_name

    def get_project_name(self):
        self.calls.append("get_project_name")
        return self.project_name

    def is_a_pdk(self):
        self.calls.append("is_a_pdk")
        return self.is_pdk

    def get_project_dir(self):
        self.calls.append("get_project_dir")
        return self.project_dir


@pytest.fixture
def pdk():
    """The module, with both PDK caches empty before and after the test."""
    pdk_module._get_pdk.cache_clear()
    pdk_module.get_base_pdk.cache_clear()
    yield pdk_module
    pdk_module._get_pdk.cache_clear()
    pdk_module.get_base_pdk.cache_clear()


@pytest.fixture
def log(pdk, monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(pdk, "log", lambda: recorder)
    return recorder


@pytest.fixture
def settings(pdk, monkeypatch):
    fake = FakeSettings()
    monkeypatch.setattr(pdk, "settings", fake)
    return fake


@pytest.fixture
def packages(tmp_path, monkeypatch):
    """Writes importable packages under tmp_path; `trace` lists every module
    execution (import or reload) by module name. New modules are dropped from
    sys.modules afterwards."""
    root = tmp_path / "site"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    trace = types.ModuleType("_kvt_trace")
    trace.runs = []
    trace.fail = set()  # module names whose next execution raises
    before = set(sys.modules)
    sys.modules["_kvt_trace"] = trace

    header = (
        "import _kvt_trace\n"
        "_kvt_trace.runs.append(__name__)\n"
        "if __name__ in _kvt_trace.fail:\n"
        "    raise RuntimeError('cannot load ' + __name__)\n"
    )

    class Packages:
        def __init__(self):
            self.root = root
            self.trace = trace

        def write(self, name, init="", pdk=None):
            package = root / name
            package.mkdir(exist_ok=True)
            (package / "__init__.py").write_text(header + textwrap.dedent(init))
            if pdk is not None:
                (package / "pdk.py").write_text(header + textwrap.dedent(pdk))
            importlib.invalidate_caches()
            return package

    yield Packages()
    for name in set(sys.modules) - before:
        del sys.modules[name]
    sys.modules.pop("_kvt_trace", None)


@pytest.fixture
def pdk_source():
    """Module text that builds `PDK = lumivar.Pdk(name, ...)`."""

    def source(name, **extra):
        args = "".join(f", {key}={value}" for key, value in extra.items())
        return f"import lumivar\nPDK = lumivar.Pdk({name!r}{args})\n"

    return source
