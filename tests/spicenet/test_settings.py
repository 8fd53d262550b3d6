import copy

import pytest

import korvane.core.spicenet as sn


@pytest.mark.parametrize(
    "settings, keymap, expected",
    [
        ({"w": 5e-7, "l": 2.0}, {"w": "width"}, [("l", 2.0), ("width", 0.5)]),
        ({"b": 1e-3, "B": 1e-11, "a": "x"}, {}, [("B", 1e-11), ("a", "x"), ("b", 1000.0)]),
        # two names onto one: the first's position, the last's value
        ({"y": 2.0, "x": 1.0, "z": 3.0}, {"x": "k", "z": "k"}, [("k", 3.0), ("y", 2.0)]),
        ({"w": 0.01, "v": 1e-10, "n": 5e-7j, "i": 0}, {}, [("i", 0), ("n", 5e-7j), ("v", 1e-10), ("w", 0.01)]),
    ],
)
def test_patch_settings(settings, keymap, expected):
    before = copy.deepcopy(settings)
    result = sn._patch_settings(settings, keymap)
    assert list(result.items()) == expected
    assert settings == before


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: sn._patch_settings({}, type("D", (dict,), {})()), TypeError,
         "Argument 'settings_keymap' has incorrect type (expected dict, got D)"),
        (lambda: sn._map_settings_keys([], {}), TypeError,
         "Argument 'settings' has incorrect type (expected dict, got list)"),
        (lambda: sn._map_settings_keys({1: 1, "a": 2}, {}), TypeError,
         "'<' not supported between instances of 'str' and 'int'"),
        (lambda: sn._patch_ports({"T": {"instances": {}, "ports": {}, "connections": {"X1o1": "Y,o1"}}}),
         ValueError, "need more than 1 value to unpack"),
        (lambda: sn._patch_ports({"T": {"instances": {}, "connections": {}, "ports": {"a": "X,1,o1"}}}),
         ValueError, "too many values to unpack (expected 2)"),
        (lambda: sn._patch_ports({"T": {"connections": {}, "ports": {}}}), KeyError, "'instances'"),
        (lambda: sn._patch_ports({"T": {"instances": {}, "connections": {}, "ports": {"a": 1}}}),
         TypeError, "instance port reference must be str, not int"),
        (lambda: sn._patch_ports({}, []), TypeError,
         "Argument 'declared_ports' has incorrect type (expected dict, got list)"),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def hierarchy(t_ports):
    """TOP holds X1 of T, R1 and X2 of a component unknown to the set."""
    return {
        "T": {"instances": {"R9": {"component": "resistor"}}, "connections": {}, "ports": t_ports},
        "TOP": {
            "instances": {"X1": {"component": "T"}, "R1": {"component": "resistor"}, "X2": {"component": "ext"}},
            "connections": {"X1,o2": "R1,minus", "R1,plus": "X1,o3", "X2,o1": "X1,a"},
            "ports": {"p": "X1,o1", "q": "X2,o2", "r": "R1,o1"},
        },
    }


def test_patch_ports_maps_generic_names_to_the_record_ports():
    nets = hierarchy({"a": "R9,minus", "b": "R9,plus"})
    top = nets["TOP"]
    assert sn._patch_ports(nets) is None
    # o3 is beyond T's ports; names of other components and non-generic names stay.
    assert top["connections"] == {"X1,b": "R1,minus", "R1,plus": "X1,o3", "X2,o1": "X1,a"}
    assert top["ports"] == {"p": "X1,a", "q": "X2,o2", "r": "R1,o1"}
    assert list(top) == ["instances", "connections", "ports"]


def test_patch_ports_with_declared_ports():
    # T's record lists b first (its first pin touched b) and lacks the untouched c.
    nets = hierarchy({"b": "R9,plus", "a": "R9,minus"})
    sn._patch_ports(nets, {"T": ("a", "c", "b")})
    assert nets["TOP"]["connections"] == {"X1,c": "R1,minus", "R1,plus": "X1,b", "X2,o1": "X1,a"}
    assert nets["TOP"]["ports"]["p"] == "X1,a"
    nets = hierarchy({"b": "R9,plus", "a": "R9,minus"})
    sn._patch_ports(nets, {"other": ("x",)})  # no declared ports for T: its record decides
    assert nets["TOP"]["ports"]["p"] == "X1,b"



@pytest.mark.parametrize("section", ["connections", "ports"])
def test_patch_ports_refuses_a_map_changed_while_walked(section):
    refs = {"X1,o1": "X1,o2", "Y,o1": "Y,o2"}

    class Name:
        """A port name of T whose text deletes an entry of the map being walked."""

        def __str__(self):
            refs.pop("Y,o1", None)
            return "p"

    nets = {"T": {"instances": {}, "connections": {}, "ports": {Name(): "R,minus", Name(): "R,plus"}},
            "TOP": {"instances": {"X1": {"component": "T"}}, "connections": {}, "ports": {}}}
    nets["TOP"][section] = refs
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        sn._patch_ports(nets)
