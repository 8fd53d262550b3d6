"""Helpers of the SPICE import tests: reading netlist text into the IR, and
wrapping a module function so that the module's own fast path is not taken."""

import io
import os

import pytest

import korvane.core.spicenet as sn


@pytest.fixture
def read_ir():
    """(IR map, comments map) of a netlist given as text."""

    def read(text, component_map=None, **named):
        return sn._parse_oc_spice_into_ir(io.StringIO(text), component_map or {}, **named)

    return read


@pytest.fixture
def open_fds():
    """The file descriptors this process has open."""
    return lambda: set(os.listdir("/proc/self/fd"))


@pytest.fixture
def wrap(monkeypatch):
    """Replaces a module function by a Python function that calls the
    original: behaviour stays, but the module no longer sees its own function."""
    calls = []

    def install(name):
        original = getattr(sn, name)

        def wrapper(*args, **kwargs):
            calls.append((name, args, kwargs))
            return original(*args, **kwargs)

        monkeypatch.setattr(sn, name, wrapper)
        return calls

    return install
