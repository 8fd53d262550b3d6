"""The cells and containers of the sample PDKs.

Optical ports are named o1, o2, ... counter-clockwise from the west side;
electrical ports e1, e2, ...  Lengths are in micrometres.
"""

from __future__ import annotations

from lumivar.component import Component
from lumivar.pdk import cell, get_active_pdk

__all__ = [
    "bend_euler",
    "cells",
    "containers",
    "coupler",
    "extend_ports",
    "mmi1x2",
    "mmi2x2",
    "mzi",
    "straight",
    "straight_heater",
]


def _positive(name: str, value: float) -> float:
    if not isinstance(value, (int, float)) or not value > 0:
        raise ValueError(f"{name} must be a positive number, not {value!r}")
    return float(value)


@cell
def straight(*, length: float = 10.0, width: float = 0.5) -> Component:
    """A straight waveguide."""
    length, width = _positive("length", length), _positive("width", width)
    c = Component()
    c.add_port("o1", position=(0, 0), orientation=180, width=width)
    c.add_port("o2", position=(length, 0), orientation=0, width=width)
    return c


@cell
def bend_euler(*, radius: float = 10.0, width: float = 0.5) -> Component:
    """A 90 degree bend to the left."""
    radius, width = _positive("radius", radius), _positive("width", width)
    c = Component()
    c.add_port("o1", position=(0, 0), orientation=180, width=width)
    c.add_port("o2", position=(radius, radius), orientation=90, width=width)
    return c


@cell
def coupler(*, gap: float = 0.2, length: float = 10.0, dy: float = 4.0) -> Component:
    """A directional coupler: o1, o2 on the west side, o3, o4 on the east side."""
    gap, length, dy = _positive("gap", gap), _positive("length", length), _positive("dy", dy)
    c = Component()
    c.add_port("o1", position=(0, -dy / 2), orientation=180)
    c.add_port("o2", position=(0, dy / 2), orientation=180)
    c.add_port("o3", position=(length + 20, dy / 2), orientation=0)
    c.add_port("o4", position=(length + 20, -dy / 2), orientation=0)
    return c


@cell
def mmi1x2(*, width_mmi: float = 2.5, length_mmi: float = 5.5) -> Component:
    """A 1x2 multimode-interference splitter: o1 in, o2 and o3 out."""
    width_mmi, length_mmi = _positive("width_mmi", width_mmi), _positive("length_mmi", length_mmi)
    c = Component()
    c.add_port("o1", position=(-10, 0), orientation=180)
    c.add_port("o2", position=(length_mmi + 10, width_mmi / 4), orientation=0)
    c.add_port("o3", position=(length_mmi + 10, -width_mmi / 4), orientation=0)
    return c


@cell
def mmi2x2(*, width_mmi: float = 2.5, length_mmi: float = 42.5) -> Component:
    """A 2x2 multimode-interference coupler: o1, o2 in, o3, o4 out."""
    width_mmi, length_mmi = _positive("width_mmi", width_mmi), _positive("length_mmi", length_mmi)
    c = Component()
    c.add_port("o1", position=(-10, -width_mmi / 4), orientation=180)
    c.add_port("o2", position=(-10, width_mmi / 4), orientation=180)
    c.add_port("o3", position=(length_mmi + 10, width_mmi / 4), orientation=0)
    c.add_port("o4", position=(length_mmi + 10, -width_mmi / 4), orientation=0)
    return c


@cell
def straight_heater(*, length: float = 100.0) -> Component:
    """A straight waveguide under a heater: optical o1, o2 and electrical e1, e2."""
    length = _positive("length", length)
    c = Component()
    c.add_port("o1", position=(0, 0), orientation=180)
    c.add_port("o2", position=(length, 0), orientation=0)
    c.add_port("e1", position=(0, 5), orientation=90, width=10)
    c.add_port("e2", position=(length, 5), orientation=90, width=10)
    return c


@cell
def mzi(*, delta_length: float = 10.0, length: float = 10.0) -> Component:
    """A Mach-Zehnder interferometer: two mmi1x2 joined by two straight arms."""
    if not isinstance(delta_length, (int, float)) or delta_length < 0:
        raise ValueError(f"delta_length must be a number >= 0, not {delta_length!r}")
    length = _positive("length", length)
    splitter = mmi1x2()
    arm_length = length + 20.0
    c = Component()
    c.add_instance("cp1", splitter)
    top = c.add_instance("top", straight(length=arm_length + delta_length), x=15.5, y=10.0)
    c.add_instance("bot", straight(length=arm_length), x=15.5, y=-10.0)
    c.add_instance("cp2", splitter, x=arm_length + delta_length + 46.5, rotation=180)
    c.connect("cp1,o2", (top, "o1"))
    c.connect("top,o2", "cp2,o3")
    c.connect("cp1,o3", "bot,o1")
    c.connect("bot,o2", "cp2,o2")
    c.add_port("o1", port="cp1,o1")
    c.add_port("o2", port="cp2,o1")
    return c


@cell
def extend_ports(*, component: Component | str = "straight", length: float = 5.0) -> Component:
    """A container: `component` (or the active PDK's cell of that name), optical ports extended.

    Each optical port gets a straight of `length`; other ports are exported as they are.
    """
    length = _positive("length", length)
    inner = get_active_pdk().get_component(component) if isinstance(component, str) else component
    if not isinstance(inner, Component):
        raise TypeError(f"component must be a Component or a cell name, not {type(inner).__name__}")
    c = Component()
    c.add_instance("component", inner)
    for port in inner.ports:
        if not port.name.startswith("o"):
            c.add_port(port.name, port=f"component,{port.name}")
            continue
        x, y = port.position
        extension = c.add_instance(
            f"extension_{port.name}",
            straight(length=length, width=port.width),
            x=x,
            y=y,
            rotation=port.orientation,
        )
        c.connect(f"component,{port.name}", (extension, "o1"))
        c.add_port(port.name, port=(extension, "o2"))
    return c


def cells() -> dict:
    """Return a new map of the sample cells."""
    return {
        f.__name__: f for f in (straight, bend_euler, coupler, mmi1x2, mmi2x2, straight_heater, mzi)
    }


def containers() -> dict:
    """Return a new map of the sample containers."""
    return {"extend_ports": extend_ports}
