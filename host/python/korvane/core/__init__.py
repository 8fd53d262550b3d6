"""Korvane core: SPICE import, PDK management, cell freezing and their services."""
