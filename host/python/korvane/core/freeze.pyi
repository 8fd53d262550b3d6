# Cell freezing: `freeze` turns a cell of the active PDK into a schematic netlist record.

from typing import Any

from korvane.core.lazy import LazyImport

# Collaborators, bound when the module loads and imported on first use. The
# module looks them up at call time, so replacing one changes what it calls.
nodalis: LazyImport
get_pdk: LazyImport
log: LazyImport

def freeze(cell_name: str, **kwargs: Any) -> dict[str, Any]:
    """Freeze a python cell as schematic netlist.

    Args:
        cell_name: name of the cell to freeze.
        **kwargs: the keyword arguments to create the cell with.
    """

def _get_lumivar_version() -> tuple[int, int, int]:
    """Get the lumivar version as a tuple (major, minor, patch)."""
