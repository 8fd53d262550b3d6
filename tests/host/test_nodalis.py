import pytest

import nodalis


def test_netlist_returns_normalised_copies_in_the_given_order():
    ready = {"component": "straight", "settings": {"length": 1.0}}
    given = {
        "top": {
            "instances": {"a": ready, "b": "bend", "c": {"component": "mmi"}},
            "connections": {"a,o2": "b,o1"},
            "ports": {"in": "a,o1"},
            "settings": {},
            "placements": {"a": {"x": 0}},
        },
        "sub": {"instances": {}, "connections": {}, "ports": {}},
    }
    result = nodalis.netlist(given)
    assert list(result) == ["top", "sub"] and result is not given
    top = result["top"]
    assert list(top) == ["instances", "connections", "ports", "settings", "placements"]
    assert top["instances"] == {
        "a": ready,
        "b": {"component": "bend", "settings": {}},
        "c": {"component": "mmi", "settings": {}},
    }
    assert (
        top["connections"] == {"a,o2": "b,o1"}
        and top["connections"] is not given["top"]["connections"]
    )
    top["placements"] = {}
    assert given["top"]["instances"]["b"] == "bend" and given["top"]["placements"] == {
        "a": {"x": 0}
    }


def test_netlist_shares_normal_instances_in_a_new_map():
    instances = {name: {"component": "straight", "settings": {}} for name in ("a", "b")}
    given = {"top": {"instances": instances, "connections": {}, "ports": {}}}
    normal = nodalis.netlist(given)["top"]["instances"]
    assert normal == instances and normal is not instances
    assert all(normal[name] is instances[name] for name in instances)


@pytest.mark.parametrize(
    ("nets", "error", "message"),
    [
        ({"top": {"instances": {}, "ports": {}}}, ValueError, "netlist 'top' lacks 'connections'"),
        ({"top": ["instances"]}, ValueError, "netlist 'top' must be a map"),
        (
            {"top": {"instances": {"a": {}}, "connections": {}, "ports": {}}},
            ValueError,
            "instance 'a' names no component",
        ),
        (
            {"top": {"instances": {}, "connections": [], "ports": {}}},
            ValueError,
            "'connections' must be a map",
        ),
        ([], TypeError, "map of netlist records"),
    ],
)
def test_netlist_refuses_malformed_records(nets, error, message):
    with pytest.raises(error, match=message):
        nodalis.netlist(nets)


def test_get_ports_lists_ports_in_first_seen_order():
    assert nodalis.get_ports({("o2", "o1"): 1, ("o1", "o2"): 1, ("o3", "o3"): 0}) == (
        "o2",
        "o1",
        "o3",
    )
    with pytest.raises(ValueError, match="pairs"):
        nodalis.get_ports({"o1": 1})
    with pytest.raises(TypeError):
        nodalis.get_ports([("o1", "o2")])


@pytest.mark.parametrize(
    ("nested", "sep", "flat"),
    [
        ({"a": {"b": "x"}, "c": "y"}, " ", {"a b": "x", "c": "y"}),
        ({"a": {"b": {"c": 1}, "d": 2}, "e": {}}, ".", {"a.b.c": 1, "a.d": 2}),
        ({1: {2: 3}}, "/", {"1/2": 3}),
        ({"": {"x": 1}}, ".", {".x": 1}),
    ],
)
def test_flatten_dict_joins_nested_keys(nested, sep, flat):
    assert nodalis.flatten_dict(nested, sep=sep) == flat
    assert list(nodalis.flatten_dict(nested, sep=sep)) == list(flat)
