"""Replaced functions and collaborators are user code: when one changes a map
the module is walking, the walk fails as a for loop would, and when one drops
the last other reference to an object the module is using, the module still
holds it."""

from __future__ import annotations

import functools
import types

import lumivar
import pytest
from frozendict import frozendict

CHANGED = "^dictionary changed size during iteration$"


class Meddling:
    """A record whose first absolute_source() adds an entry to the map holding it."""

    def __init__(self, records, path):
        self.records, self.path = records, path
        self.name, self.source, self.status, self.message = "meddling", str(path), "UNKNOWN", ""

    def absolute_source(self):
        self.records.setdefault("added", self)
        return self.path


@pytest.mark.parametrize(
    "call",
    [
        lambda pdk, records, base: pdk._find_cells(records, {}),
        lambda pdk, records, base: pdk._filter_records_for_non_pdk_project(records, base),
        lambda pdk, records, base: pdk._import_modules(records, []),
        lambda pdk, records, base: pdk._handle_import_errors(records, {}),
    ],
    ids=["_find_cells", "_filter_records_for_non_pdk_project", "_import_modules", "_handle_import_errors"],
)
def test_records_changed_during_the_walk_over_them(pdk, platform, record, tmp_path, call):
    records = {}
    records["meddling"] = Meddling(records, tmp_path / "chip/a.py")
    records["next"] = record("next", "chip/b.py")
    with pytest.raises(RuntimeError, match=CHANGED):
        call(pdk, records, platform.base)


def test_failures_changed_during_the_walk_over_them(pdk, platform, tmp_path):
    errors = {tmp_path / "a.py": ("a", "broken")}

    def scan(path):
        errors.setdefault(tmp_path / "b.py", ("b", "broken"))
        return []

    platform.imports.get_cells_from_regex = scan
    with pytest.raises(RuntimeError, match=CHANGED):
        pdk._handle_import_errors({}, errors)


@pytest.fixture
def one_file(platform, record, tmp_path):
    path = tmp_path / "chip/a.py"
    platform.cg.records = [record("a", path)]
    platform.imports.modules = {path: types.SimpleNamespace(a=len)}
    return path


def test_stored_names_changed_during_the_walk_over_them(pdk, platform, one_file, record):
    by_source = {"chip/a.py": ["a", "old"]}

    class Present(dict):
        def __contains__(self, name):
            by_source.setdefault("chip/b.py", [])
            return super().__contains__(name)

    platform.db.get_factories_by_name = lambda *names: Present()
    platform.db.get_factories_by_source = lambda *paths: by_source
    with pytest.raises(RuntimeError, match=CHANGED):
        pdk.register_cells(paths=[one_file])
    assert "update_factories" not in platform.events


def test_found_cells_changed_during_the_walk_over_them(pdk, platform, one_file, monkeypatch):
    found = {}

    class Name(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            found.setdefault("late", len)
            return str.__eq__(self, other)

    found[Name("a")] = len
    monkeypatch.setattr(pdk, "_find_cells", lambda records, modules: found)
    with pytest.raises(RuntimeError, match=CHANGED):
        pdk.register_cells()
    assert platform.project.cells == {}


def test_attributes_changed_while_the_base_pdk_is_frozen(pdk, settings, log, monkeypatch):
    project, second = lumivar.Pdk("p"), lumivar.Pdk("b", cells={"a": len})
    cached = functools.cache(lambda: project)
    cached.__wrapped__ = lambda: second
    monkeypatch.setattr(pdk, "_get_pdk", cached)
    monkeypatch.setattr(pdk, "frozendict", lambda value: vars(second).setdefault("added", 1) and frozendict(value))
    with pytest.raises(RuntimeError, match=CHANGED):
        pdk.get_base_pdk()
    assert type(second) is lumivar.Pdk and type(second.cells) is dict and log.lines == []


# --- objects whose last other reference goes while the module uses them -------------


def test_an_item_that_empties_its_list_while_being_unpacked(pdk, platform, one_file, monkeypatch):
    class Vanishing:
        def __iter__(self):
            del self  # the list now holds the only reference, and lets it go
            listed.clear()
            raise TypeError("no pair here")

    listed = [Vanishing()]
    found = types.SimpleNamespace(update=lambda other: None, items=lambda: listed)
    monkeypatch.setattr(pdk, "_find_cells", lambda records, modules: found)
    with pytest.raises(TypeError, match="^no pair here$"):
        pdk.register_cells()


def test_a_path_dropped_from_the_record_paths_during_its_look_up(pdk, platform, record, tmp_path, monkeypatch):
    """A replaced _sort_paths keeps the list of record paths and adds a key
    whose hash empties it: the key is still held while it is looked up and
    filed."""
    kept, dropped = [], []

    class Key:
        def __hash__(self):
            kept[0].clear()
            return 1

        def __eq__(self, other):
            return True

        def __del__(self):
            dropped.append(self.__class__.__name__)

    class Stored:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            return type(other).__name__ == "Key"

    def sort_paths(paths):
        kept.append(paths)
        paths.append(Key())
        return []

    monkeypatch.setattr(pdk, "_sort_paths", sort_paths)
    monkeypatch.setattr(platform.imports, "import_modules", lambda **kw: ({Stored(): "module"}, {}))
    modules, errors = pdk._import_modules({"a": record("a", "chip/a.py")}, [])
    assert dropped == [] and errors == {}
    assert [(type(k).__name__, v) for k, v in modules.items()] == [("Key", "module")]
