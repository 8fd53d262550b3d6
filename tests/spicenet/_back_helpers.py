"""Shared pieces of the port, settings, assembly and import tests: IR records,
PDK contents made of plain objects, and a fixture installing a PDK."""

from types import SimpleNamespace

import pytest

import korvane.core.spicenet as sn

Subckt, Conn = sn.Subckt, sn.Conn


def ir_of(*subckts):
    """IR map of subcircuits given as (component, ports, elements[, settings]); each
    element is (name, component, nodes[, settings]). Ids follow the line order."""
    ir, next_id = {}, 1
    for component, ports, elements, *settings in subckts:
        own_id, children = next_id, []
        for name, comp, nodes, *conn_settings in elements:
            next_id += 1
            ir[next_id] = Conn(next_id, name, comp, tuple(nodes), dict(*conn_settings), own_id)
            children.append(next_id)
        ir[own_id] = Subckt(own_id, component, tuple(ports), dict(*settings), 0, tuple(children))
        next_id += 2  # the .ends line, then the next .subckt
    return ir


def cell(*port_names, fail=None):
    """A cell factory whose component has ports of those names (or that raises `fail`)."""

    def factory():
        factory.calls += 1
        if fail is not None:
            raise fail
        return SimpleNamespace(ports=[SimpleNamespace(name=n) for n in port_names])

    factory.calls = 0
    return factory


def model(*port_names):
    """A circuit model whose S-parameters name those ports."""
    return lambda: {(a, b): 0.5 for a in port_names for b in port_names}


def install_pdk(monkeypatch, made):
    """Make `made` what the module's PDK handle returns, starting with an empty port cache."""
    monkeypatch.setattr(sn, "kv_pdk", SimpleNamespace(get_pdk=lambda: made))
    sn._get_ports.cache_clear()


@pytest.fixture
def pdk(monkeypatch):
    """An empty PDK (models and cells to be filled in) as the active PDK."""
    made = SimpleNamespace(models={}, cells={})
    install_pdk(monkeypatch, made)
    yield made
    monkeypatch.undo()
    sn._get_ports.cache_clear()
