import sys
from types import SimpleNamespace
from pathlib import Path

import pytest

import korvane.core.spicenet as sn

sys.path.insert(0, str(Path(__file__).parent))
from _back_helpers import cell, model, pdk  # noqa: E402,F401


@pytest.mark.parametrize(
    "component, ports",
    [(c, ("minus", "plus", "out", "gnd_")) for c in ("vcvs", "vccs", "ccvs", "cccs")]
    + [("resistor", ("minus", "plus")), ("capacitor", ("minus", "plus"))],
)
def test_primitives_never_consult_the_pdk(monkeypatch, component, ports):
    monkeypatch.setattr(sn, "kv_pdk", None)
    assert sn._get_ports.__wrapped__(component) == ports


@pytest.mark.parametrize(
    "models, cells, component, expected",
    [
        ({"VCVS": model("p", "n")}, {}, "VCVS", ("n", "p")),  # case matters
        ({"mmi": model("o2", "o1")}, {"mmi": cell("x")}, "mmi", ("o1", "o2")),  # model first
        ({"mmi": lambda: {}}, {"mmi": cell("o3", "o1")}, "mmi", ("o1", "o3")),  # no model ports
        ({"strip": model("o1", "o2")}, {}, "wg_strip", ("o1", "o2")),
        ({}, {"strip": cell("o1", "e1", "in")}, "wg_strip", ("in", "o1", "e1")),
        ({"": model("a")}, {}, "wg_", ("a",)),  # "wg_" alone falls back to the empty name
        ({"strip": None}, {"strip": cell("o1")}, "strip", ("o1",)),  # a None model is no model
        ({}, {"c": cell(None, "", "o1")}, "c", ("", "", "o1")),  # unnamed ports become ""
        ({}, {}, "unknown", ()),
    ],
)
def test_resolution(pdk, models, cells, component, expected):
    pdk.models.update(models)
    pdk.cells.update(cells)
    assert sn._get_ports(component) == expected


def test_a_failing_cell_has_no_ports_and_stays_cached(pdk):
    pdk.cells["bad"] = factory = cell(fail=ValueError("cannot build"))
    assert sn._get_ports("bad") == sn._get_ports("bad") == ()
    assert factory.calls == 1


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_interrupts_and_exit_requests_pass_through_uncached(pdk, stop):
    pdk.cells["c"] = cell(fail=stop())
    with pytest.raises(stop):
        sn._get_ports("c")
    assert sn._get_ports.cache_info().currsize == 0


def test_cache_and_late_binding(pdk, monkeypatch):
    assert sn._get_ports.cache_info().maxsize == 128
    calls = []
    monkeypatch.setattr(sn, "_get_ports_from_model", lambda c: calls.append(c) or ("z",))
    assert sn._get_ports("thing") == sn._get_ports("thing") == ("z",)
    assert calls == ["thing"]
    monkeypatch.setattr(sn, "_get_ports_from_model", lambda c: ())
    monkeypatch.setattr(sn, "_get_ports_from_component", lambda c: ("from cell",))
    assert sn._get_ports("other") == ("from cell",)


def test_sort_order(monkeypatch):
    names = ["o2", "in10", "e1", "out", "o10", "in2", "gnd", "east"]
    assert sn._sort_ports(names) == ("in2", "in10", "gnd", "out", "o2", "o10", "e1", "east")
    # Equal natural keys keep their input order; any iterable is read once.
    assert sn._sort_ports(iter(["o1", "o01", "B", "a", "in"])) == ("in", "B", "a", "o1", "o01")
    groups = []
    monkeypatch.setattr(sn, "natsorted", lambda g: groups.append(list(g)) or sorted(g, reverse=True))
    assert sn._sort_ports(["o1", "in1", "x", "o2", "e1", "in2"]) == ("in2", "in1", "x", "o2", "o1", "e1")
    assert groups == [["o1", "o2"], ["e1"], ["in1", "in2"], ["x"]]


def test_get_port():
    assert [sn._get_port(("a", "b"), i) for i in range(4)] == ["a", "b", "o3", "o4"]
    assert sn._get_port((), 0) == "o1"
    assert sn._get_port((), 2**70) == f"o{2**70 + 1}"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: sn._get_ports(5), TypeError, "Argument 'component' has incorrect type (expected str, got int)"),
        (lambda: sn._sort_ports(["a", 3]), TypeError, "port names must be str, not int"),
        (lambda: sn._get_port(["a"], 0), TypeError, "Argument 'ports' has incorrect type (expected tuple, got list)"),
        (lambda: sn._get_port(("a",), 1.0), TypeError, "Argument 'i' has incorrect type (expected int, got float)"),
        (lambda: sn._get_port(("a",), -1), ValueError, "position must not be negative, got -1"),
    ],
)
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_model_errors_propagate(pdk):
    pdk.models["m"] = lambda: 42
    with pytest.raises(TypeError, match="S-parameters"):
        sn._get_ports("m")


def test_a_group_list_changed_by_a_port_name_is_not_read_stale(monkeypatch):
    # natsorted hands back a list it keeps; hashing a name empties it.
    kept = []

    class Emptying(str):
        def __hash__(self):
            for group in kept:
                group.clear()
            return str.__hash__(self)

    def natsorted(group):
        kept.append(sorted(group))
        return kept[-1]

    monkeypatch.setattr(sn, "natsorted", natsorted)
    names = [Emptying("e2"), Emptying("e1"), "o1", "in1"]
    assert sn._sort_ports(names) == ("in1", "o1", "e1", "e2")


def test_lazy_collaborator_is_followed_to_its_current_target(monkeypatch):
    # The lazy handles of the module stand for their targets: an unresolved
    # handle imports on use, a resolved one reaches the target's current
    # attribute, and a handle of a subclass forwards as it chooses.
    from korvane.core import pdk as kv_pdk_module
    from korvane.core.lazy import LazyImport

    made = SimpleNamespace(models={"m": model("o1")}, cells={})
    monkeypatch.setattr(kv_pdk_module, "get_pdk", lambda: made)
    monkeypatch.setattr(sn, "kv_pdk", LazyImport("korvane.core.pdk"))  # not yet resolved
    assert sn._get_ports_from_model("m") == ("o1",)
    assert sn._get_ports_from_model("m") == ("o1",)  # resolved now

    class Redirect(LazyImport):
        __slots__ = ()

        def __getattr__(self, name):
            return lambda: SimpleNamespace(models={}, cells={"m": cell("e1")})

    handle = Redirect("korvane.core.pdk")
    handle._resolve()
    monkeypatch.setattr(sn, "kv_pdk", handle)
    assert sn._get_ports_from_component("m") == ("e1",)
    assert sn._get_ports_from_model("m") == ()
