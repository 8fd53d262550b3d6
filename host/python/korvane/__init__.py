"""Korvane: the core of the chip-design product."""
