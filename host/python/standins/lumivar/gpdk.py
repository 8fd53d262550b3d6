"""The "gpdk" sample PDK: the generic cells with a layer map of their own."""

from __future__ import annotations

import functools

from lumivar import sample_models, samples
from lumivar.pdk import Pdk

LAYERS = {
    "WG": (1, 0),
    "WGCLAD": (111, 0),
    "SLAB90": (3, 0),
    "M1": (41, 0),
    "VIAC": (40, 0),
    "HEATER": (47, 0),
}
CONNECTIVITY = [("HEATER", "VIAC", "M1")]


@functools.cache
def get_generic_pdk() -> Pdk:
    """Return the gpdk PDK (built once; `get_generic_pdk.__wrapped__()` builds a new one)."""
    return Pdk(
        "gpdk",
        cells=samples.cells(),
        containers=samples.containers(),
        models=sample_models.models(),
        layers=LAYERS,
        connectivity=CONNECTIVITY,
    )
