"""A cell file that does not import: it asks the generic PDK for a cell it lacks.

Registration reports `ring_filter` as an error cell instead of stopping.
"""

import lumivar as lv
from lumivar.generic_tech import ring_single  # the generic PDK has no ring: ImportError


@lv.cell
def ring_filter(*, radius: float = 5.0) -> lv.Component:
    """A ring filter."""
    return ring_single(radius=radius)
