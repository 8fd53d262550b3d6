"""Shared pieces of the port, settings, assembly and import tests: IR records,
a PDK of plain objects, and installing it as the module's PDK."""

import dataclasses
from types import SimpleNamespace

import korvane.core.spicenet as sn


def _record(name, fields, doc):
    made = getattr(sn, name, None)
    if made is not None:
        return made
    # Same fields, for as long as the module does not define the record itself.
    cls = dataclasses.make_dataclass(name, fields)
    cls.__doc__ = doc
    return cls


Subckt = _record("Subckt", ["id", "component", "ports", "settings", "parent_id", "children_ids"], "Subcircuit.")
Conn = _record("Conn", ["id", "name", "component", "ports", "settings", "parent_id"], "Connection.")


def ir_of(*subckts):
    """IR map of subcircuits given as (component, ports, elements[, settings]); each
    element is (name, component, nodes[, settings]). Ids follow the line order."""
    ir, next_id = {}, 1
    for component, ports, elements, *settings in subckts:
        own_id, next_id = next_id, next_id + 1
        children = []
        for name, comp, nodes, *conn_settings in elements:
            ir[next_id] = Conn(next_id, name, comp, tuple(nodes), dict(*conn_settings), own_id)
            children.append(next_id)
            next_id += 1
        ir[own_id] = Subckt(own_id, component, tuple(ports), dict(*settings), 0, tuple(children))
        next_id += 1  # the .ends line
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


def use_pdk(monkeypatch, pdk):
    """Make `pdk` what the module's PDK handle returns; the port cache starts empty."""
    monkeypatch.setattr(sn, "kv_pdk", SimpleNamespace(get_pdk=lambda: pdk))
    sn._get_ports.cache_clear()
