"""freeze and _get_lumivar_version with replaced collaborators (get_pdk, log, nodalis, lumivar)."""

import re
import sys
import types
from types import MappingProxyType
from types import SimpleNamespace as NS

import pytest

import korvane.core.freeze as fz

SECTIONS = ["instances", "connections", "ports", "placements", "routes", "nets"]
MISSING = object()
IGNORE = {"on_multi_connect": "ignore"}


class Cell:
    """A cell factory whose component is the factory itself."""

    def __init__(self, net):
        self.__module__, self.net, self.calls, self.options = "chip.cells", net, [], []

    def __call__(self, *args, **settings):
        self.calls.append((args, settings))
        return self

    def get_netlist(self, **options):
        self.options.append(options)
        return self.net


def flatten_dict(d, *, sep):
    flat = {}
    for key, value in d.items():
        if isinstance(value, dict):
            flat.update({f"{key}{sep}{k}": v for k, v in flatten_dict(value, sep=sep).items()})
        else:
            flat[key] = value
    return flat


def set_version(monkeypatch, version):
    lumivar = types.ModuleType("lumivar")
    if version is not MISSING:
        lumivar.__version__ = version
    monkeypatch.setitem(sys.modules, "lumivar", lumivar)


@pytest.fixture
def world(monkeypatch):
    w = NS(logged=[], loggers=0)
    w.net = {"name": "top", "warnings": {}, "nets": [], "routes": {}, "placements": {"a": {"x": 1}},
             "ports": {"o1": "a,o2"}, "connections": {"a,o1": "b,o1"}, "instances": {"a": {}, "b": {}}}
    w.cell = Cell(w.net)
    w.pdk = NS(name="demo", cells={"top": w.cell})

    def log():
        w.loggers += 1
        return NS(warning=w.logged.append)

    monkeypatch.setattr(fz, "get_pdk", lambda: w.pdk)
    monkeypatch.setattr(fz, "log", log)
    monkeypatch.setattr(fz, "nodalis", NS(flatten_dict=flatten_dict))
    set_version(monkeypatch, "9.34.0")
    return w


@pytest.mark.parametrize("version, triple", [
    ("9.34.0", (9, 34, 0)), ("9.33.9", (9, 33, 9)), ("10.0", (10, 0, 0)), ("9.34", (9, 34, 0)),
    ("9", (9, 0, 0)), ("9.34.1+local", (9, 34, 1)), ("9.34.1-dev", (9, 34, 1)),
    ("9.34.2+a-b", (9, 34, 2)), ("9.34.0.dev3", (9, 34, 0)), (" 9 .3_4. 1 +x", (9, 34, 1)),
    (type("Version", (str,), {})("9.35.0"), (9, 35, 0)),
    ("9.34.0rc1", (0, 0, 0)), ("9.x.1", (0, 0, 0)), ("", (0, 0, 0)), ("9..1", (0, 0, 0)),
    ("9.3__4.0", (0, 0, 0)), (b"9.34.0", (0, 0, 0)), (None, (0, 0, 0)), (9.34, (0, 0, 0)),
    (MISSING, (0, 0, 0)),
])
def test_version_decides_the_extraction_options(world, monkeypatch, version, triple):
    set_version(monkeypatch, version)
    got = fz._get_lumivar_version()
    assert got == triple and all(type(n) is int for n in got)
    fz.freeze("top")
    assert world.cell.options == [{} if triple < (9, 34, 0) else IGNORE]


def test_version_is_read_on_every_call_through_the_module_global(world, monkeypatch):
    set_version(monkeypatch, "9.33.0")
    fz.freeze("top")
    set_version(monkeypatch, "9.34.0")
    fz.freeze("top")
    monkeypatch.setattr(fz, "_get_lumivar_version", lambda: (8, 0, 0))
    fz.freeze("top")
    assert world.cell.options == [{}, IGNORE, {}]


def raising(error):
    def fail(*args):
        raise error

    return fail


def own_split(answer):
    """A version text whose own split gives `answer(sep)`; the separators asked for are kept."""
    asked = []
    version = type("Version", (str,), {"split": lambda self, sep: asked.append(sep) or answer(sep)})("1.2.3")
    return version, asked


@pytest.mark.parametrize("getattr_error", [ValueError("no version"), IndexError("no version"), AttributeError("none")])
def test_an_unreadable_version_attribute_gives_zeros(world, monkeypatch, getattr_error):
    lumivar = types.ModuleType("lumivar")
    lumivar.__getattr__ = raising(getattr_error)
    monkeypatch.setitem(sys.modules, "lumivar", lumivar)
    assert fz._get_lumivar_version() == (0, 0, 0)
    fz.freeze("top")
    assert world.cell.options == [{}]


def shrinking_parts(sep):
    """Parts whose second element empties the list when read as a number."""
    parts = ["9"]

    class Minor(str):
        def __int__(self):
            parts.clear()
            return 34

    parts += [Minor("x"), "5"]
    return parts


@pytest.mark.parametrize("answer, triple", [
    (lambda sep: ["9", "40", "1+x-y"], (9, 40, 1)),
    (shrinking_parts, (9, 34, 0)),  # the length is asked afresh for the patch
    (lambda sep: ("9", "7"), (9, 7, 0)),
    (lambda sep: ["10", "2", own_split(lambda sep: ["5", "x"])[0]], (10, 2, 5)),  # the patch's own split too
    (lambda sep: ["9", "34", "rc1"], (0, 0, 0)),
    (raising(IndexError("short")), (0, 0, 0)),
    (lambda sep: [b"9", "x"], (0, 0, 0)),
])
def test_the_version_is_split_by_its_own_split(monkeypatch, answer, triple):
    version, asked = own_split(answer)
    set_version(monkeypatch, version)
    assert fz._get_lumivar_version() == triple and asked == ["."]


@pytest.mark.parametrize("answer, error, message", [
    (raising(KeyError("split")), KeyError, "'split'"),
    (lambda sep: None, TypeError, "object of type 'NoneType' has no len()"),
    (lambda sep: [1.5j], TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
])
def test_other_errors_of_the_own_split_pass(monkeypatch, answer, error, message):
    set_version(monkeypatch, own_split(answer)[0])
    with pytest.raises(error) as info:
        fz._get_lumivar_version()
    assert str(info.value) == message


def test_other_version_errors_pass(world, monkeypatch):
    lumivar = types.ModuleType("lumivar")
    lumivar.__getattr__ = lambda name: {}[name]
    monkeypatch.setitem(sys.modules, "lumivar", lumivar)
    with pytest.raises(KeyError, match="__version__"):
        fz._get_lumivar_version()
    monkeypatch.setitem(sys.modules, "lumivar", None)
    with pytest.raises(ImportError, match="lumivar"):
        fz.freeze("top")


@pytest.mark.parametrize("wrap", [dict, MappingProxyType])
def test_record_keeps_six_sections_in_order_and_hands_values_on(world, wrap):
    net = world.cell.net = wrap(world.net)
    record = fz.freeze("top")
    assert type(record) is dict and list(record) == SECTIONS
    assert all(record[key] is net[key] for key in SECTIONS)
    assert fz.freeze("top") is not record


def test_missing_sections_become_separate_new_maps(world):
    net = world.cell.net = {"instances": {"a": {}}}
    record = fz.freeze("top")
    assert list(record) == SECTIONS and record["instances"] is net["instances"]
    assert all(record[key] == {} for key in SECTIONS[1:])
    assert len({id(record[key]) for key in SECTIONS[1:]}) == 5


@pytest.mark.parametrize("name", [type("Name", (str,), {})("top"), None])
def test_bad_cell_name_is_refused_before_the_pdk_is_read(world, monkeypatch, name):
    monkeypatch.setattr(fz, "get_pdk", None)
    with pytest.raises(TypeError, match=r"^Argument 'cell_name' has incorrect type \(expected str"):
        fz.freeze(name)


@pytest.mark.parametrize("kwargs, settings", [
    ({"cell_name": "top"}, {}),
    ({"cell_name": "top", "cell": "x", "width": [1.5]}, {"cell": "x", "width": [1.5]}),
])
def test_settings_reach_the_factory_as_keywords_only(world, kwargs, settings):
    fz.freeze(**kwargs)
    assert world.cell.calls == [((), settings)]


@pytest.mark.parametrize("change, error, message", [
    (lambda w: w.pdk.cells.clear(), FileNotFoundError, "Cell top not found in PDK demo"),
    (lambda w: setattr(w.pdk, "name", 7) or w.pdk.cells.clear(), FileNotFoundError, "Cell top not found in PDK 7"),
    (lambda w: setattr(w.cell, "__module__", "chip.top_picyml"), RuntimeError, "Cell top is alreay a YAML cell."),
])
def test_refusals_before_the_factory_runs(world, change, error, message):
    change(world)
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        fz.freeze("top")
    assert world.cell.calls == []


@pytest.mark.parametrize("instances", [{}, [], None, MISSING])
def test_no_instances_is_refused_and_logs_nothing(world, monkeypatch, instances):
    world.net["warnings"] = {"a": "x"}
    del world.net["instances"]
    if instances is not MISSING:
        world.net["instances"] = instances
    with pytest.raises(RuntimeError, match=r"^Cell top has no instances\.$"):
        fz.freeze("top")
    assert world.loggers == 0


@pytest.mark.parametrize("warnings, lines", [
    ({"a": {"b": "x"}, "c": "y"}, ["a b: x", "c: y"]),
    ({1: 2.5, "n": None}, ["1: 2.5", "n: None"]),
    ({}, []),
    (MISSING, []),
])
def test_warnings_are_flattened_and_logged_one_by_one(world, warnings, lines):
    del world.net["warnings"]
    if warnings is not MISSING:
        world.net["warnings"] = warnings
    fz.freeze("top")
    assert world.logged == lines and world.loggers == len(lines)


class Unprintable:
    def __format__(self, spec):
        raise ValueError("cannot show")


@pytest.mark.parametrize("flat, error, message", [
    ({"a": "x", "b": Unprintable()}, ValueError, "cannot show"),
    (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    (NS(items=lambda: [("a", "x"), ("a", "b", "c")]), ValueError, r"too many values to unpack \(expected 2\)"),
    (NS(items=lambda: [("a", "x"), "b"]), ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    (NS(items=lambda: [("a", "x"), 5]), TypeError, "cannot unpack non-iterable int object"),
])
def test_all_texts_are_formed_before_any_is_logged(world, monkeypatch, flat, error, message):
    monkeypatch.setattr(fz, "nodalis", NS(flatten_dict=lambda d, sep: flat))
    with pytest.raises(error, match=message):
        fz.freeze("top")
    assert world.loggers == 0


@pytest.mark.parametrize("where", ["get_pdk", "__call__", "get_netlist", "flatten_dict", "log"])
def test_collaborator_errors_pass_unchanged(world, monkeypatch, where):
    error = KeyError("boom")

    def boom(*args, **kwargs):
        raise error

    world.net["warnings"] = {"a": "x"}
    owner = {"get_pdk": fz, "__call__": Cell, "get_netlist": world.cell, "flatten_dict": fz.nodalis, "log": fz}[where]
    monkeypatch.setattr(owner, where, boom)
    with pytest.raises(KeyError) as caught:
        fz.freeze("top")
    assert caught.value is error
