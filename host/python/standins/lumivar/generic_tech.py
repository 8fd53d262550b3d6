"""The generic sample PDK."""

from __future__ import annotations

import functools

from lumivar import sample_models, samples
from lumivar.pdk import Pdk
from lumivar.samples import (  # noqa: F401  (cells for direct use: `from lumivar.generic_tech import straight`)
    bend_euler,
    coupler,
    extend_ports,
    mmi1x2,
    mmi2x2,
    mzi,
    straight,
    straight_heater,
)

LAYERS = {
    "WG": (1, 0),
    "SLAB": (3, 0),
    "HEATER": (47, 0),
    "VIA": (44, 0),
    "PAD": (49, 0),
}
CONNECTIVITY = [("HEATER", "VIA", "PAD")]


@functools.cache
def get_generic_pdk() -> Pdk:
    """Return the generic PDK (built once; `get_generic_pdk.__wrapped__()` builds a new one)."""
    return Pdk(
        "generic",
        cells=samples.cells(),
        containers=samples.containers(),
        models=sample_models.models(),
        layers=LAYERS,
        connectivity=CONNECTIVITY,
    )
