"""Circuit models of the sample cells.

Each model takes keyword parameters that all have defaults and returns
S-parameters: a map from (output port, input port) to a complex amplitude.
Only the non-zero entries are listed; models are reciprocal.
"""

from __future__ import annotations

import cmath
import math

__all__ = ["bend_euler", "coupler", "mmi1x2", "mmi2x2", "models", "straight"]

Sparams = dict[tuple[str, str], complex]


def _reciprocal(pairs: dict[tuple[str, str], complex]) -> Sparams:
    result: Sparams = {}
    for (a, b), value in pairs.items():
        result[(a, b)] = value
        result[(b, a)] = value
    return result


def straight(
    *, wl: float = 1.55, length: float = 10.0, neff: float = 2.34, loss_db_cm: float = 2.0
) -> Sparams:
    """A lossy waveguide: phase 2 pi neff length / wl, loss in dB per centimetre."""
    amplitude = 10 ** (-loss_db_cm * length * 1e-4 / 20)
    phase = 2 * math.pi * neff * length / wl
    return _reciprocal({("o1", "o2"): amplitude * cmath.exp(1j * phase)})


def bend_euler(*, wl: float = 1.55, radius: float = 10.0, loss_db: float = 0.03) -> Sparams:
    """A 90 degree bend, its length that of a quarter circle."""
    transmission = straight(wl=wl, length=math.pi * radius / 2)[("o1", "o2")]
    return _reciprocal({("o1", "o2"): transmission * 10 ** (-loss_db / 20)})


def coupler(*, coupling: float = 0.5, loss_db: float = 0.1) -> Sparams:
    """A directional coupler passing `coupling` of the power across."""
    if not 0 <= coupling <= 1:
        raise ValueError(f"coupling must lie between 0 and 1, not {coupling!r}")
    amplitude = 10 ** (-loss_db / 20)
    through = amplitude * math.sqrt(1 - coupling)
    cross = 1j * amplitude * math.sqrt(coupling)
    return _reciprocal(
        {("o1", "o4"): through, ("o1", "o3"): cross, ("o2", "o3"): through, ("o2", "o4"): cross}
    )


def mmi1x2(*, loss_db: float = 0.2) -> Sparams:
    """An even 1x2 splitter."""
    amplitude = 10 ** (-loss_db / 20) / math.sqrt(2)
    return _reciprocal({("o1", "o2"): amplitude, ("o1", "o3"): amplitude})


def mmi2x2(*, loss_db: float = 0.3) -> Sparams:
    """An even 2x2 coupler."""
    return coupler(coupling=0.5, loss_db=loss_db)


def models() -> dict:
    """Return a new map of the sample models, keyed like the cells they describe."""
    return {f.__name__: f for f in (straight, bend_euler, coupler, mmi1x2, mmi2x2)}
