import copy

import pytest

import lumivar
import nodalis
from lumivar import gpdk, generic_tech


def pair():
    """Two straights in a row inside a component, with only the far ends free."""
    c = lumivar.Component("pair")
    first = c.add_instance("s1", generic_tech.straight(length=5))
    c.add_instance("s2", generic_tech.straight(), x=5, rotation=90)
    c.connect((first, "o2"), "s2,o1")
    c.add_port("in", port="s1,o1")
    return c


def test_get_netlist_reports_each_section():
    netlist = pair().get_netlist()
    assert netlist["instances"] == {
        "s1": {"component": "straight", "settings": {"length": 5, "width": 0.5}},
        "s2": {"component": "straight", "settings": {"length": 10.0, "width": 0.5}},
    }
    assert netlist["connections"] == {"s1,o2": "s2,o1"}
    assert netlist["ports"] == {"in": "s1,o1"}
    assert netlist["placements"]["s2"] == {"x": 5.0, "y": 0.0, "rotation": 90.0}
    assert netlist["nets"] == [{"p1": "s1,o2", "p2": "s2,o1"}] and netlist["routes"] == {}
    assert nodalis.flatten_dict(netlist["warnings"], sep=" ") == {
        "unconnected_ports s2 o2": "neither connected nor exported"
    }


@pytest.mark.parametrize(
    ("option", "multi"),
    [
        ({}, {"s1": {"o2": "used 2 times"}}),
        ({"on_multi_connect": "warn"}, {"s1": {"o2": "used 2 times"}}),
        ({"on_multi_connect": "ignore"}, None),
    ],
)
def test_a_port_used_twice_warns_unless_ignored(option, multi):
    c = pair()
    c.add_port("tap", port="s1,o2")
    assert c.get_netlist(**option)["warnings"].get("multi_connected_ports") == multi


@pytest.mark.parametrize(
    ("option", "error"),
    [
        ({"on_multi_connect": "error"}, ValueError),
        ({"on_multi_connect": "loud"}, ValueError),
        ({"recursive": True}, TypeError),
    ],
)
def test_netlist_options_are_checked(option, error):
    c = pair()
    c.add_port("tap", port="s1,o2")
    with pytest.raises(error):
        c.get_netlist(**option)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda c: c.add_instance("s1", c), ValueError),
        (lambda c: c.add_instance("a,b", c), ValueError),
        (lambda c: c.add_instance("x", "straight"), TypeError),
        (lambda c: c.connect("s1,o9", "s2,o2"), KeyError),
        (lambda c: c.connect("s3,o1", "s2,o2"), KeyError),
        (lambda c: c.connect("s2,o2", "s2,o2"), ValueError),
        (lambda c: c.add_port("in"), ValueError),
    ],
)
def test_bad_components_are_refused(call, error):
    with pytest.raises(error):
        call(pair())


def test_cells_take_known_keyword_settings_only():
    with pytest.raises(TypeError, match="keyword only"):
        generic_tech.straight(5)
    with pytest.raises(TypeError, match="unknown settings: lenght"):
        generic_tech.straight(lenght=5)
    with pytest.raises(TypeError, match="must be keyword-only"):
        lumivar.cell(lambda length: lumivar.Component())
    assert generic_tech.mzi.__name__ == "mzi" and generic_tech.mzi.__module__ == "lumivar.samples"


@pytest.mark.parametrize("module", [generic_tech, gpdk])
def test_sample_pdks_are_cached_and_the_wrapped_builder_makes_new_ones(module):
    assert module.get_generic_pdk() is module.get_generic_pdk()
    fresh = module.get_generic_pdk.__wrapped__()
    assert fresh is not module.get_generic_pdk() and fresh.cells == module.get_generic_pdk().cells
    assert {"straight", "bend_euler", "coupler", "mmi1x2", "mzi"} <= set(fresh.cells)
    assert fresh.get_component("mzi").get_netlist()["warnings"] == {}


@pytest.mark.parametrize("name", sorted(generic_tech.get_generic_pdk().models))
def test_each_model_has_the_ports_of_its_cell(name):
    pdk = generic_tech.get_generic_pdk()
    assert sorted(nodalis.get_ports(pdk.models[name]())) == sorted(
        p.name for p in pdk.cells[name]().ports
    )


def test_a_pdk_copies_shallowly_changes_class_and_activates(generic_pdk):
    class Frozen(lumivar.Pdk):
        pass

    twin = copy.copy(generic_pdk)
    assert twin.cells is generic_pdk.cells and twin.layers is generic_pdk.layers
    twin.__class__ = Frozen
    assert isinstance(twin, lumivar.Pdk) and twin.name == "generic"
    assert lumivar.get_active_pdk() is generic_pdk
    twin.activate()
    assert lumivar.get_active_pdk() is twin
