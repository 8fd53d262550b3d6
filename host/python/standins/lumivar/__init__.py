"""lumivar: layout components, cells and process design kits (PDKs).

A cell is a function decorated with `cell` that takes keyword settings and
returns a `Component`.  A `Pdk` groups cells, containers (cells that wrap
another component), circuit models and layer data; `Pdk.activate()` makes it
the process's active PDK, returned by `get_active_pdk()`.  The sample PDKs are
built by `lumivar.generic_tech.get_generic_pdk()` and
`lumivar.gpdk.get_generic_pdk()`.
"""

from lumivar.component import Component, Instance, Port
from lumivar.pdk import Pdk, cell, get_active_pdk

__version__ = "9.34.0"

__all__ = ["Component", "Instance", "Pdk", "Port", "cell", "get_active_pdk"]
