"""Circuit models of the demo project."""

import math

import nodalis as nd


@nd.model
def grating_coupler(
    *, wl: float = 1.55, center: float = 1.55, bandwidth: float = 0.035, peak_loss_db: float = 3.0
) -> dict:
    """A grating coupler with a Gaussian pass band around `center` (micrometres)."""
    peak = 10 ** (-peak_loss_db / 20)
    amplitude = peak * math.exp(-(((wl - center) / bandwidth) ** 2) / 2)
    return {("o1", "o2"): amplitude, ("o2", "o1"): amplitude}
