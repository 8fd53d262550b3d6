"""nodalis: circuit models and netlist records.

A circuit model is a function decorated with `model`; called with its
parameters (all of which have defaults) it returns S-parameters, a map from
(port, port) pairs to complex amplitudes.  A netlist record is a map with
"instances" (name -> {"component", "settings"}), "connections"
("inst,port" -> "inst,port") and "ports" (port -> "inst,port"); `netlist`
checks and normalises a set of them.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

__version__ = "0.9.0"

__all__ = ["flatten_dict", "get_ports", "model", "netlist"]

_REQUIRED = ("instances", "connections", "ports")


def netlist(nets: dict[str, dict[str, Any]], /) -> dict[str, dict[str, Any]]:
    """Check and normalise a set of netlist records; return a new set under the same keys.

    Each record must be a map with "instances", "connections" and "ports"
    (ValueError otherwise).  The result holds, in the same order, a new map per
    record with the same keys; its "instances", "connections" and "ports" are
    new maps, and an instance given as a bare component name, or without
    "settings", becomes {"component": ..., "settings": {...}}.  Everything else
    is shared with the input.
    """
    if not isinstance(nets, Mapping):
        raise TypeError(f"netlist() expects a map of netlist records, not {type(nets).__name__}")
    result = {}
    for name, record in nets.items():
        if not _is_map(record):
            raise ValueError(f"netlist {name!r} must be a map, not {type(record).__name__}")
        if "instances" not in record or "connections" not in record or "ports" not in record:
            missing = [key for key in _REQUIRED if key not in record]
            raise ValueError(f"netlist {name!r} lacks {', '.join(map(repr, missing))}")
        normal = dict(record)
        normal["instances"] = _instances(name, record["instances"])
        normal["connections"] = _mapping(name, "connections", record["connections"])
        normal["ports"] = _mapping(name, "ports", record["ports"])
        result[name] = normal
    return result


def _is_map(value: Any) -> bool:
    # A plain dict needs no look at the abstract class, which costs far more.
    return type(value) is dict or isinstance(value, Mapping)


def _mapping(name: Any, key: str, value: Any) -> dict:
    if not _is_map(value):
        raise ValueError(f"netlist {name!r}: {key!r} must be a map, not {type(value).__name__}")
    return dict(value)


def _instances(name: Any, instances: Any) -> dict:
    if not _is_map(instances):
        raise ValueError(
            f"netlist {name!r}: 'instances' must be a map, not {type(instances).__name__}"
        )
    # Instances already normal are shared, not copied: records made by an
    # import are all of that kind, so first check them without building anything.
    for instance in instances.values():
        if type(instance) is not dict or "component" not in instance or "settings" not in instance:
            break
    else:
        return dict(instances)
    normal = {}
    for instance_name, instance in instances.items():
        if type(instance) is dict and "component" in instance and "settings" in instance:
            normal[instance_name] = instance
        elif isinstance(instance, str):
            normal[instance_name] = {"component": instance, "settings": {}}
        elif isinstance(instance, Mapping) and "component" in instance:
            normal[instance_name] = {**instance, "settings": dict(instance.get("settings") or {})}
        else:
            raise ValueError(f"netlist {name!r}: instance {instance_name!r} names no component")
    return normal


def get_ports(model_value: Mapping[tuple[str, str], Any], /) -> tuple[str, ...]:
    """Return the port names of S-parameters, in the order they first appear in the keys."""
    if not isinstance(model_value, Mapping):
        raise TypeError(
            "get_ports() expects S-parameters keyed by (port, port), "
            f"not {type(model_value).__name__}"
        )
    ports: dict[str, None] = {}
    for key in model_value:
        if type(key) is not tuple or len(key) != 2:
            raise ValueError(f"S-parameter keys must be (port, port) pairs, not {key!r}")
        for port in key:
            if not isinstance(port, str):
                raise ValueError(f"port names must be str, not {port!r} in {key!r}")
            ports[port] = None
    return tuple(ports)


def flatten_dict(d: Mapping[Any, Any], sep: str = ".") -> dict[str, Any]:
    """Return a flat map whose keys are the keys of nested maps joined by `sep`.

    {"a": {"b": 1}, "c": 2} gives {"a.b": 1, "c": 2}.  Keys are turned into
    text; an empty nested map leaves no entry.
    """
    if not isinstance(d, Mapping):
        raise TypeError(f"flatten_dict() expects a map, not {type(d).__name__}")
    if not isinstance(sep, str):
        raise TypeError(f"sep must be a str, not {type(sep).__name__}")
    flat: dict[str, Any] = {}
    stack: list[tuple[str | None, Any]] = [(None, iter(d.items()))]
    while stack:  # iterative, so that deep nesting cannot exhaust the recursion limit
        prefix, items = stack[-1]
        for key, value in items:
            text = str(key) if prefix is None else f"{prefix}{sep}{key}"
            if isinstance(value, Mapping):
                stack.append((text, iter(value.items())))
                break
            flat[text] = value
        else:
            stack.pop()
    return flat


def model(func: Callable[..., Any] | None = None, /) -> Any:
    """Mark a function as a circuit model; usable as `@model` and `@model()`.

    The function is returned unchanged, marked with `__nodalis_model__`.
    """
    if func is None:
        return model
    if not callable(func):
        raise TypeError(f"model() expects a function, not {type(func).__name__}")
    func.__nodalis_model__ = True
    return func
