import io
import sys
from pathlib import Path
from types import SimpleNamespace

import nodalis
import pytest

import korvane.core.spicenet as sn

sys.path.insert(0, str(Path(__file__).parent))
from _back_helpers import Subckt, ir_of, model, pdk  # noqa: E402,F401


@pytest.fixture(autouse=True)
def models(pdk):
    pdk.models.update(straight=model("o1", "o2"), unit=model("p"))


def build(ir, keymap=None, comments=None):
    last = [v for v in ir.values() if isinstance(v, Subckt)][-1]
    return sn._netlist_from_subckt(ir, last, keymap or {}, comments)


def normalising(netlist):
    return SimpleNamespace(netlist=netlist, get_ports=nodalis.get_ports)


def test_worked_example():
    ir = ir_of(("TOP", "ab", [("X1", "straight", ["a", "mid"]), ("X2", "straight", ["mid", "b"])]))
    record = build(ir)
    assert record == {
        "instances": {"X1": {"component": "straight", "settings": {}},
                      "X2": {"component": "straight", "settings": {}}},
        "connections": {"X1,o2": "X2,o1"},
        "ports": {"a": "X1,o1", "b": "X2,o2"},
        "settings": {},
        "placements": {},
    }
    assert list(record) == ["instances", "connections", "ports", "settings", "placements"]
    assert list(record["ports"]) == ["a", "b"]
    assert [list(i) for i in record["instances"].values()] == [["component", "settings"]] * 2


def test_nets_ports_and_generic_names():
    ir = ir_of(("S", ["a", "b", "c"], [
        ("X1", "unit", ["n1", "n2", "n3"]),  # one known port, then o2, o3
        ("R1", "resistor", ["b", "n1"]),
        ("X2", "nothing", ["n3", "a", "n4"]),  # no known ports: o1, o2, o3
    ]))
    record = build(ir)
    assert record["connections"] == {"X1,p": "R1,plus", "X1,o3": "X2,o1"}
    # declared ports as first touched (c never), then single-pin nets in first-seen order
    assert list(record["ports"].items()) == [("b", "R1,minus"), ("a", "X2,o2"), ("n2", "X1,o2"), ("n4", "X2,o3")]


def test_two_pins_on_a_declared_port_warn_and_keep_the_last():
    ir = ir_of(("S", ["a"], [("R1", "resistor", ["a", "x"]), ("R2", "resistor", ["a", "x"]),
                             ("R3", "resistor", ["y", "a"])]))
    with pytest.warns(sn.ParseWarning) as caught:
        record = build(ir)
    assert [str(w.message) for w in caught] == [
        "Port 'a' is connected to more than one pin: ['R1,minus', 'R2,minus', 'R3,plus']. "
        "Only the last one is kept."
    ]
    assert caught[0].filename == __file__
    assert record["ports"] == {"a": "R3,plus", "y": "R3,minus"}
    assert record["connections"] == {"R1,plus": "R2,plus"}


def test_three_pins_on_a_net():
    ir = ir_of(("S", [], [("X1", "n", ["mid"]), ("X2", "n", ["mid"]), ("X3", "n", ["x", "mid"])]))
    with pytest.raises(sn.ParseError) as info:
        build(ir)
    assert str(info.value) == (
        "Net 'mid' is connected to more than two ports: ['X1,o1', 'X2,o1', 'X3,o2']. "
        "This is currently not supported."
    )


def test_settings_placements_and_comments():
    ir = ir_of(("S", ["a"], [("X1", "straight", ["a", "m"], {"w": 5e-7, "l": 2.0}),
                             ("X2", "straight", ["m", "b"]), ("X3", "straight", ["b", "c"])],
                {"w": 1e-6}))
    comments = {
        1: "* location=(1,1,1)",  # the .subckt line: never a placement
        2: "* location=(o1)(10,20,90)",
        3: "* no placement",
    }
    record = build(ir, {"w": "width"}, comments)
    assert list(record["instances"]["X1"]["settings"].items()) == [("l", 2.0), ("width", 0.5)]
    assert record["settings"] == {"width": 1.0}
    assert record["placements"] == {"X1": {"x": 10.0, "y": 20.0, "rotation": 90.0, "port": "o1"}}


def test_texts_are_shared_and_get_ports_is_called_per_element(monkeypatch):
    calls = []
    monkeypatch.setattr(sn, "_get_ports", lambda c: calls.append(c) or ("o1", "o2"))
    name = "".join(["str", "aight"])  # equal texts, distinct objects
    ir = ir_of(("S", [], [("X1", "straight", ["a", "b"], {"".join("wl"): 1.0}),
                          ("X2", name, ["b", "c"], {"".join("wl"): 2.0})]))
    inst = build(ir)["instances"]
    assert calls == ["straight", "straight"]
    assert inst["X1"]["component"] is inst["X2"]["component"]
    assert next(iter(inst["X1"]["settings"])) is next(iter(inst["X2"]["settings"]))


def test_missing_child_and_bad_nodes():
    ir = ir_of(("S", [], [("X1", "straight", ["a"])]))
    ir[2].ports = 7
    with pytest.raises(TypeError, match="^element ports must be iterable$"):
        build(ir)
    del ir[2]
    with pytest.raises(KeyError) as info:
        build(ir)
    assert info.value.args == (2,)


def test_hierarchy(monkeypatch):
    seen = []
    monkeypatch.setattr(sn, "nodalis", normalising(lambda nets: seen.append(list(nets)) or nodalis.netlist(nets)))
    ir = ir_of(
        ("A", ["a", "b"], [("R1", "resistor", ["b", "x"]), ("R2", "resistor", ["x", "a"])]),
        ("EMPTY", ["z"], []),
        ("B", ["p", "r"], [("X1", "A", ["p", "q"]), ("X2", "A", ["q", "r", "s"])]),
    )
    result = sn._recursive_netlist_from_ir(ir, {}, {})
    assert seen == [["A", "B"]]
    assert list(result) == ["B", "A"]
    # A's record lists b before a; the instances bind by the .subckt line all the same.
    assert list(result["A"]["ports"]) == ["b", "a"]
    assert result["B"]["ports"] == {"p": "X1,a", "r": "X2,b", "s": "X2,o3"}
    assert result["B"]["connections"] == {"X1,b": "X2,a"}


def test_later_subcircuit_of_the_same_name_wins(monkeypatch):
    ir = ir_of(
        ("T", ["x", "y"], [("R1", "resistor", ["x", "y"])]),
        ("TOP", ["p"], [("X1", "T", ["p", "n"]), ("R9", "resistor", ["n", "m"])]),
        ("T", ["y", "x"], [("R1", "resistor", ["x", "y"])]),
    )
    result = sn._recursive_netlist_from_ir(ir, {}, {})
    assert list(result) == ["TOP", "T"]
    assert result["TOP"]["ports"] == {"p": "X1,y", "m": "R9,plus"}
    assert result["TOP"]["connections"] == {"X1,x": "R9,minus"}


def test_normalised_record_and_placements(monkeypatch):
    def dumped(*extra):
        """A normalisation result that is a record with model_dump, not a dict."""
        return lambda nets: SimpleNamespace(model_dump=lambda: {
            **{k: dict(v, placements="normalised") for k, v in nets.items()},
            **dict.fromkeys(extra, {"instances": {}, "connections": {}, "ports": {}})})

    monkeypatch.setattr(sn, "nodalis", normalising(dumped()))
    ir = ir_of(("S", ["a"], [("X1", "straight", ["a", "b"])]))
    result = sn._recursive_netlist_from_ir(ir, {}, {2: "* location=(1,2,3)"})
    assert result["S"]["placements"] == {"X1": {"x": 1.0, "y": 2.0, "rotation": 3.0}}
    monkeypatch.setattr(sn, "nodalis", normalising(dumped("ghost")))
    with pytest.raises(KeyError, match="ghost"):
        sn._recursive_netlist_from_ir(ir, {}, {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sn._netlist_from_subckt({}, None, {}, []),
         "Argument 'comments' has incorrect type (expected dict, got list)"),
        (lambda: sn._recursive_netlist_from_ir({}, {}, None),
         "Argument 'comments' has incorrect type (expected dict, got NoneType)"),
        (lambda: sn._recursive_netlist_from_ir({}, {}),
         "_recursive_netlist_from_ir() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message



def test_a_node_list_emptied_by_a_replaced_get_port_ends_the_walk(monkeypatch):
    # The nodes are walked as a for loop walks a list: what is cleared is not read.
    kept = []

    def get_ir_ports(words):
        kept.append([w for w in words if "=" not in w])
        return kept[-1]

    def get_port(ports, i):
        for nodes in kept:
            nodes.clear()
        return f"p{i}"

    monkeypatch.setattr(sn, "_get_ir_ports", get_ir_ports)
    monkeypatch.setattr(sn, "_get_port", get_port)
    result = sn.parse_oc_spice(io.StringIO(".subckt top a b\nR1 a m\nR2 m b\n.ends\n"))
    assert result["top"]["ports"] == {"a": "R1,p0"}  # R2's nodes were cleared by R1's first pin
    ir = ir_of(("S", ["a"], [("X1", "straight", ["a", "b", "c"])]))
    ir[2].ports = ["a", "b", "c"]
    kept.append(ir[2].ports)
    assert build(ir)["ports"] == {"a": "X1,p0"}


class _Collider:
    """A key of an instance map that looks up like "component" and deletes an instance when compared."""

    def __init__(self, instances, victim):
        self.instances, self.victim = instances, victim

    def __hash__(self):
        return hash("component")

    def __eq__(self, other):
        self.instances.pop(self.victim, None)
        return False


def test_port_patching_survives_an_instance_deleted_by_a_key(monkeypatch):
    def netlist(nets):
        out = {k: dict(v) for k, v in nets.items()}
        instances = {}
        for name, inst in out["TOP"]["instances"].items():
            instances[name] = {_Collider(instances, name): 0, **inst}
        out["TOP"]["instances"] = instances
        return out

    monkeypatch.setattr(sn, "nodalis", normalising(netlist))
    ir = ir_of(("T", ["x", "y"], [("R1", "resistor", ["x", "y"])]),
               ("TOP", ["p"], [("X1", "T", ["p", "n"]), ("X2", "T", ["n", "q"])]))
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        sn._recursive_netlist_from_ir(ir, {}, {})


def test_keys_of_a_normalised_set_changed_while_read(monkeypatch):
    # keys() of the normalised set gives a list that its own item look-up empties.
    class Normalised(dict):
        def keys(self):
            self.kept = list(dict.keys(self))
            return self.kept

        def __getitem__(self, key):
            getattr(self, "kept", []).clear()
            return dict.__getitem__(self, key)

    monkeypatch.setattr(sn, "nodalis", normalising(lambda nets: Normalised(nodalis.netlist(nets))))
    monkeypatch.setattr(sn, "_patch_ports", lambda netlist, declared: None)  # it takes plain dicts only
    ir = ir_of(("A", ["a"], [("X1", "straight", ["a", "b"])]), ("B", ["p"], [("X2", "straight", ["p", "q"])]))
    result = sn._recursive_netlist_from_ir(ir, {}, {2: "* location=(1,2,3)", 5: "* location=(4,5,6)"})
    assert list(result) == ["B", "A"]
    assert result["A"]["placements"] == {"X1": {"x": 1.0, "y": 2.0, "rotation": 3.0}}
    assert result["B"]["placements"] == {"X2": {"x": 4.0, "y": 5.0, "rotation": 6.0}}
