"""Fixtures for korvane.core.pdk: the module with empty caches, collaborators
that record what they are asked, and throw-away PDK packages."""

from __future__ import annotations

import copy
import importlib
import sys
import textwrap
import types

import lumivar
import pytest

import korvane.core.pdk as pdk_module
from korvane.models import FactoryRecord


class Log:
    """The product logger: keeps (level, text) pairs."""

    def __init__(self):
        self.lines = []

    def __getattr__(self, level):
        return lambda text: self.lines.append((level, text))

    def texts(self, level):
        return [text for lvl, text in self.lines if lvl == level]


class Settings:
    """`settings.values[name]` is what `settings.name()` returns."""

    def __init__(self, **values):
        self.values, self.calls = values, []

    def __getattr__(self, name):
        return lambda: self.calls.append(name) or self.values[name]


@pytest.fixture
def pdk():
    for cached in (pdk_module._get_pdk, pdk_module.get_base_pdk):
        cached.cache_clear()
    yield pdk_module
    for cached in (pdk_module._get_pdk, pdk_module.get_base_pdk):
        cached.cache_clear()


@pytest.fixture
def log(pdk, monkeypatch):
    recorder = Log()
    monkeypatch.setattr(pdk, "log", lambda: recorder)
    return recorder


@pytest.fixture
def settings(pdk, monkeypatch, tmp_path):
    fake = Settings(get_pdk_name="generic", get_project_name="chip", is_a_pdk=False, get_project_dir=tmp_path)
    monkeypatch.setattr(pdk, "settings", fake)
    return fake


@pytest.fixture
def packages(tmp_path, monkeypatch):
    """`write(name, init, pdk)` makes an importable package (with a .pdk
    submodule when `pdk` is given). `trace.runs` lists every execution of
    their modules; a module named in `trace.fail` raises when executed."""
    root = tmp_path / "site"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    trace = types.ModuleType("_kvt_trace")
    trace.runs, trace.fail = [], set()
    before = set(sys.modules)
    sys.modules["_kvt_trace"] = trace
    header = "import _kvt_trace\n_kvt_trace.runs.append(__name__)\nif __name__ in _kvt_trace.fail: raise RuntimeError('cannot load ' + __name__)\n"

    def write(name, init="", pdk=None):
        (root / name).mkdir(exist_ok=True)
        (root / name / "__init__.py").write_text(header + textwrap.dedent(init))
        if pdk is not None:
            (root / name / "pdk.py").write_text(header + pdk)
        importlib.invalidate_caches()

    yield types.SimpleNamespace(write=write, trace=trace)
    for name in set(sys.modules) - before:
        del sys.modules[name]


# --- collaborators of a registration --------------------------------------------


class Imports:
    """Files import to `modules[path]` or fail with `errors[path]`; the name
    scan returns (or raises) `scans[path]`."""

    def __init__(self, events):
        self.events, self.modules, self.errors, self.scans, self.calls = events, {}, {}, {}, []

    def import_modules(self, *, paths, reload, from_project):
        self.events.append("import_modules")
        self.calls.append((list(paths), reload, from_project))
        pick = lambda found: {p: found[p] for p in paths if p in found}  # noqa: E731
        return pick(self.modules), pick(self.errors)

    def get_cells_from_regex(self, path):
        found = self.scans.get(path, [])
        if isinstance(found, BaseException):
            raise found
        return found


class Callgraph:
    def __init__(self, events):
        self.events, self.records, self.graph, self.calls = events, [], object(), []

    def create_callgraph(self):
        self.events.append("create_callgraph")
        return self.graph

    def get_static_records(self, G, *, paths):
        self.events.append("get_static_records")
        self.calls.append((G, paths))
        return {r.name: copy.deepcopy(r) for r in self.records if not paths or r.absolute_source() in paths}


class Database:
    def __init__(self, events):
        self.events, self.stored, self.calls = events, {}, []

    def get_factories_by_name(self, *names):
        self.calls.append(("by_name", names))
        return {n: copy.deepcopy(self.stored[n]) for n in names if n in self.stored}

    def get_factories_by_source(self, *paths):
        self.calls.append(("by_source", paths))
        return {str(p): sorted(n for n, r in self.stored.items() if r.absolute_source() == p) for p in paths}

    def get_all_factories(self):
        self.calls.append(("all",))
        return copy.deepcopy(self.stored)

    def update_factories(self, *, add, remove):
        self.events.append("update_factories")
        self.calls.append(("update", [r.name for r in add], list(remove)))
        self.stored.update((r.name, copy.deepcopy(r)) for r in add)
        for name in remove:
            del self.stored[name]


@pytest.fixture
def record(tmp_path):
    """A factory record of a file under tmp_path (its source is absolute)."""

    def make(name, file, status="UNKNOWN", message="", line=None):
        return FactoryRecord(name=name, source=str(tmp_path / file), status=status, message=message, line=line)

    return make


@pytest.fixture
def platform(pdk, settings, log, monkeypatch):
    """Every collaborator of register_cells replaced by a recording fake; the
    project is tmp_path/chip."""
    events = []
    p = types.SimpleNamespace(
        events=events, settings=settings, log=log, imports=Imports(events), cg=Callgraph(events),
        db=Database(events), models=[], project=lumivar.Pdk("project"),
        base=lumivar.Pdk("base", cells={"straight": len}),
    )
    monkeypatch.setattr(pdk, "imports", p.imports)
    monkeypatch.setattr(pdk, "cg", p.cg)
    monkeypatch.setattr(pdk, "db", p.db)
    monkeypatch.setattr(pdk, "register_models", lambda G, reload: events.append("register_models") or p.models.append((G, reload)))
    monkeypatch.setattr(pdk, "get_pdk", lambda: events.append("get_pdk") or p.project)
    monkeypatch.setattr(pdk, "get_base_pdk", lambda: events.append("get_base_pdk") or p.base)
    return p
