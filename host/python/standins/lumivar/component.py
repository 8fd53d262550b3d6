"""Components: ports, placed instances of other components, and their connections."""

from __future__ import annotations

import dataclasses
import math
from collections import Counter
from collections.abc import Mapping
from types import MappingProxyType
from typing import Any

__all__ = ["Component", "Instance", "Port"]

ON_MULTI_CONNECT = ("warn", "ignore", "error")


@dataclasses.dataclass(frozen=True)
class Port:
    """A named port: where it is, which way it faces (degrees) and how wide it is."""

    name: str
    position: tuple[float, float] = (0.0, 0.0)
    orientation: float = 0.0
    width: float = 0.5

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"port name must be a str, not {type(self.name).__name__}")
        x, y = self.position
        object.__setattr__(self, "position", (float(x), float(y)))
        object.__setattr__(self, "orientation", float(self.orientation) % 360.0)
        if not self.width > 0:
            raise ValueError(f"port {self.name!r}: width must be positive, not {self.width!r}")
        object.__setattr__(self, "width", float(self.width))

    def transformed(self, x: float, y: float, rotation: float) -> Port:
        """Return the port as seen outside an instance rotated by `rotation` and moved to (x, y)."""
        angle = math.radians(rotation)
        px, py = self.position
        cos, sin = math.cos(angle), math.sin(angle)
        return Port(
            self.name,
            (round(x + px * cos - py * sin, 9), round(y + px * sin + py * cos, 9)),
            self.orientation + rotation,
            self.width,
        )


class Instance:
    """A component placed inside another one under a name."""

    def __init__(self, name: str, component: Component, x: float, y: float, rotation: float):
        self.name = name
        self.component = component
        self.x = float(x)
        self.y = float(y)
        self.rotation = float(rotation) % 360.0

    @property
    def ports(self) -> dict[str, Port]:
        """The component's ports, placed as the instance is."""
        return {p.name: p.transformed(self.x, self.y, self.rotation) for p in self.component.ports}

    def __repr__(self) -> str:
        return (
            f"Instance({self.name!r} of {self.component.name!r} "
            f"at ({self.x}, {self.y}), {self.rotation}°)"
        )


class Component:
    """A layout component.

    Its own ports come from `add_port`, or from `add_port(name, port=...)`,
    which exports a port of one of its instances.  `add_instance` places other
    components inside it, `connect` joins two instance ports.  Instance ports
    are named "instance,port" (or given as an (Instance, port name) pair).
    """

    def __init__(self, name: str = "", settings: Mapping[str, Any] | None = None) -> None:
        if not isinstance(name, str):
            raise TypeError(f"component name must be a str, not {type(name).__name__}")
        self.name = name
        self.settings: dict[str, Any] = dict(settings or {})
        self._ports: dict[str, Port] = {}
        self._exports: dict[str, str] = {}
        self._instances: dict[str, Instance] = {}
        self._connections: list[tuple[str, str]] = []

    @property
    def ports(self) -> tuple[Port, ...]:
        """The component's ports, in the order they were added."""
        return tuple(self._ports.values())

    @property
    def instances(self) -> Mapping[str, Instance]:
        return MappingProxyType(self._instances)

    def add_port(
        self,
        name: str,
        *,
        position: tuple[float, float] = (0.0, 0.0),
        orientation: float = 0.0,
        width: float = 0.5,
        port: str | tuple[Instance, str] | None = None,
    ) -> Port:
        """Add a port; with `port`, export that instance port (and its geometry) under `name`."""
        if name in self._ports:
            raise ValueError(f"component {self.name!r} already has a port {name!r}")
        if port is None:
            new = Port(name, position, orientation, width)
        else:
            reference, instance, port_name = self._reference(port)
            placed = instance.ports[port_name]
            new = Port(name, placed.position, placed.orientation, placed.width)
            self._exports[name] = reference
        self._ports[name] = new
        return new

    def add_instance(
        self,
        name: str,
        component: Component,
        *,
        x: float = 0.0,
        y: float = 0.0,
        rotation: float = 0.0,
    ) -> Instance:
        """Place `component` inside this one under `name`."""
        if not isinstance(name, str) or not name or "," in name:
            raise ValueError(f"instance name must be a non-empty str without ',', not {name!r}")
        if not isinstance(component, Component):
            raise TypeError(
                f"instance {name!r}: expected a Component, not {type(component).__name__}"
            )
        if name in self._instances:
            raise ValueError(f"component {self.name!r} already has an instance {name!r}")
        instance = Instance(name, component, x, y, rotation)
        self._instances[name] = instance
        return instance

    def connect(self, a: str | tuple[Instance, str], b: str | tuple[Instance, str]) -> None:
        """Join two instance ports."""
        first, second = self._reference(a)[0], self._reference(b)[0]
        if first == second:
            raise ValueError(f"cannot connect {first!r} to itself")
        self._connections.append((first, second))

    def _reference(self, port: str | tuple[Instance, str]) -> tuple[str, Instance, str]:
        if isinstance(port, tuple) and len(port) == 2 and isinstance(port[0], Instance):
            instance_name, port_name = port[0].name, port[1]
        elif isinstance(port, str) and port.count(",") == 1:
            instance_name, port_name = port.split(",")
        else:
            raise ValueError(f"expected 'instance,port' or (Instance, port name), not {port!r}")
        instance = self._instances.get(instance_name)
        if instance is None:
            raise KeyError(f"component {self.name!r} has no instance {instance_name!r}")
        if port_name not in instance.component._ports:
            raise KeyError(
                f"instance {instance_name!r} ({instance.component.name}) "
                f"has no port {port_name!r}; "
                f"it has {', '.join(instance.component._ports) or 'none'}"
            )
        return f"{instance_name},{port_name}", instance, port_name

    def get_netlist(self, *, on_multi_connect: str = "warn") -> dict[str, Any]:
        """Return the component's netlist.

        Keys: "name"; "instances" (name -> {"component", "settings"});
        "connections" ("inst,port" -> "inst,port"); "ports" (exported port
        -> "inst,port"); "placements" (name -> {"x", "y", "rotation"});
        "routes" (always empty: components here carry no routing); "nets"
        (one {"p1", "p2"} per connection, in order); "warnings", a nested map:
        warnings["unconnected_ports"][instance][port] for instance ports that
        are neither connected nor exported, and
        warnings["multi_connected_ports"][instance][port] for those used more
        than once.  `on_multi_connect` says what a port used more than once
        does: "warn" (a warning), "ignore" (nothing) or "error" (ValueError).
        """
        if on_multi_connect not in ON_MULTI_CONNECT:
            raise ValueError(
                f"on_multi_connect must be one of {', '.join(map(repr, ON_MULTI_CONNECT))}, "
                f"not {on_multi_connect!r}"
            )
        uses = Counter(ref for pair in self._connections for ref in pair)
        uses.update(self._exports.values())
        multi = {ref: count for ref, count in uses.items() if count > 1}
        if multi and on_multi_connect == "error":
            raise ValueError(
                f"component {self.name!r}: ports used more than once: "
                + ", ".join(f"{ref} ({count} times)" for ref, count in multi.items())
            )
        warnings: dict[str, dict[str, dict[str, str]]] = {}
        for name, instance in self._instances.items():
            for port in instance.component._ports:
                if f"{name},{port}" not in uses:
                    warnings.setdefault("unconnected_ports", {}).setdefault(name, {})[port] = (
                        "neither connected nor exported"
                    )
        if on_multi_connect == "warn":
            for ref, count in multi.items():
                name, port = ref.split(",")
                warnings.setdefault("multi_connected_ports", {}).setdefault(name, {})[port] = (
                    f"used {count} times"
                )
        return {
            "name": self.name,
            "instances": {
                name: {"component": i.component.name, "settings": dict(i.component.settings)}
                for name, i in self._instances.items()
            },
            "connections": dict(self._connections),
            "ports": dict(self._exports),
            "placements": {
                name: {"x": i.x, "y": i.y, "rotation": i.rotation}
                for name, i in self._instances.items()
            },
            "routes": {},
            "nets": [{"p1": a, "p2": b} for a, b in self._connections],
            "warnings": warnings,
        }

    def __repr__(self) -> str:
        return (
            f"Component({self.name!r}, ports={[p.name for p in self.ports]}, "
            f"instances={list(self._instances)})"
        )
