import io
from pathlib import Path
from types import SimpleNamespace

import pytest

import korvane.core.pdk
import korvane.core.spicenet as sn

Derived = type("Derived", (dict,), {})
DEMO = Path(__file__).parents[2] / "examples" / "demo_project" / "netlists"


@pytest.fixture
def generic(tmp_path, monkeypatch):
    """The real PDK module, for a project on the generic PDK; caches start empty."""
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "chip"\n\n[tool.korvane]\npdk = "generic"\n')
    monkeypatch.setenv("KORVANE_PROJECT_DIR", str(tmp_path))
    for cache in (korvane.core.pdk._get_pdk, sn._get_ports):
        cache.cache_clear()
    yield
    for cache in (korvane.core.pdk._get_pdk, sn._get_ports):
        cache.cache_clear()


@pytest.fixture
def spy(monkeypatch):
    """Replaces both halves of the import and records what they are given."""
    calls = SimpleNamespace(read=None, assemble=None, result={})

    def read(path_or_buf, component_map, **kwargs):
        calls.read = (path_or_buf, component_map, kwargs)
        return {}, {}

    def assemble(ir, keymap, comments):
        calls.assemble = keymap
        return calls.result

    monkeypatch.setattr(sn, "_parse_oc_spice_into_ir", read)
    monkeypatch.setattr(sn, "_recursive_netlist_from_ir", assemble)
    return calls


@pytest.mark.parametrize("given", [None, {}, {"a": "b"}])
def test_maps_and_named_values_are_passed_on(spy, given):
    sn.parse_oc_spice(path_or_buf="f.sp", component_map=given, settings_keymap=given, w=0.5, settings=1)
    path, component_map, named = spy.read
    assert (path, component_map, named) == ("f.sp", given or {}, {"w": 0.5, "settings": 1})
    # a missing or empty map is replaced by a new one
    assert (component_map is given) == bool(given) and (spy.assemble is given) == bool(given)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("missing.sp", Derived()), {}, "Argument 'settings_keymap' has incorrect type (expected dict, got Derived)"),
        (("missing.sp",), {"component_map": Derived(a=1)},
         "Argument 'component_map' has incorrect type (expected dict, got Derived)"),
        (("missing.sp", None, [("a", "b")]), {},
         "Argument 'component_map' has incorrect type (expected dict, got list)"),
        (("missing.sp", None, None, None), {}, "parse_oc_spice() takes at most 3 positional arguments (4 given)"),
        ((), {}, "parse_oc_spice() takes at least 1 positional argument (0 given)"),
    ],
)
def test_argument_errors_come_before_reading(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        sn.parse_oc_spice(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("result, name", [([], "list"), (Derived(), "Derived")])
def test_result_must_be_a_plain_dict(spy, result, name):
    spy.result = result
    with pytest.raises(TypeError) as info:
        sn.parse_oc_spice("f.sp")
    assert str(info.value) == f"Expected dict, got {name}"
    spy.result = None
    assert sn.parse_oc_spice("f.sp") is None


HIERARCHY = """\
* two stages and an amplifier
.subckt stage a b w=1u
X1 a m straight length='w' $ location=(o1)(0,0,90)
X2 m b
+ straight length='len' * location=(5,6,0)
.ends stage
.subckt amp inn inp out
E1 out 0 vcvs inp inn 2
.ends amp
.subckt top in out ctl
X1 in mid stage w=2u
X2 mid n2 stage
X3 ctl n2 out amp
.ends top
"""


def test_hierarchy_end_to_end(generic, tmp_path):
    path = tmp_path / "h.sp"
    path.write_text(HIERARCHY)
    result = sn.parse_oc_spice(path, len=3e-6)
    assert type(result) is dict and list(result) == ["top", "amp", "stage"]
    assert result["stage"] == {
        "instances": {"X1": {"component": "straight", "settings": {"length": 1.0}},
                      "X2": {"component": "straight", "settings": {"length": 3.0}}},
        "connections": {"X1,o2": "X2,o1"},
        "ports": {"a": "X1,o1", "b": "X2,o2"},
        "settings": {"w": 1.0},
        "placements": {"X1": {"x": 0.0, "y": 0.0, "rotation": 90.0, "port": "o1"},
                       "X2": {"x": 5.0, "y": 6.0, "rotation": 0.0}},
    }
    assert result["amp"] == {
        "instances": {"E1": {"component": "vcvs", "settings": {"gain": 2.0, "inn": None, "inp": None}}},
        "connections": {},
        "ports": {"inn": "E1,minus", "inp": "E1,plus", "out": "E1,out", "0": "E1,gnd_"},
        "settings": {},
        "placements": {},
    }
    assert result["top"] == {
        "instances": {"X1": {"component": "stage", "settings": {"w": 2.0}},
                      "X2": {"component": "stage", "settings": {}},
                      "X3": {"component": "amp", "settings": {}}},
        "connections": {"X1,b": "X2,a", "X2,b": "X3,inp"},
        "ports": {"in": "X1,a", "ctl": "X3,inn", "out": "X3,out"},
        "settings": {},
        "placements": {},
    }


CHIP = """\
.subckt chip in out1 out2 h1 h2
X1 in a b splitter
X2 a out1 h1 h2 straight_heater
X3 b c wg_straight
X4 c out2 mzi
R1 hx hy r=10
.ends chip
"""


def test_ports_from_the_generic_pdk(generic):
    result = sn.parse_oc_spice(io.StringIO(CHIP), {"r": "resistance"}, {"splitter": "mmi1x2"})
    chip = result["chip"]
    assert list(chip["ports"].items()) == [
        ("in", "X1,o1"), ("out1", "X2,o2"), ("h1", "X2,e1"), ("h2", "X2,e2"), ("out2", "X4,o2"),
        ("hx", "R1,minus"), ("hy", "R1,plus"),
    ]
    assert chip["connections"] == {"X1,o2": "X2,o1", "X1,o3": "X3,o1", "X3,o2": "X4,o1"}
    assert chip["instances"]["X1"]["component"] == "mmi1x2"
    assert chip["instances"]["R1"] == {"component": "resistor", "settings": {"resistance": 10.0}}


def test_demo_netlist(generic):
    result = sn.parse_oc_spice(DEMO / "rc_buffer.sp")
    assert list(result) == ["top", "buffer", "rc_stage"]
    # X2 vref n1 n2 gnd buffer binds to buffer's "inn inp out ref"
    assert result["top"]["ports"] == {"in": "X1,inp", "vref": "X2,inn", "gnd": "X2,ref", "out": "X3,out"}
    assert result["top"]["connections"] == {"X1,out": "X2,inp", "X2,out": "X3,inp"}
