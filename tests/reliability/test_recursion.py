"""Re-entering a module through a callback that has no Python frame of its
own (a functools.partial of the module's own function, handed in where the
module calls back) ends in the runtime's RecursionError, not in a crash of the
process. Only C frames pile up then, so the runtime's guard on C recursion
must be reached before the default 8 MiB stack of the main thread runs out:
each level may use at most about 800 bytes of stack."""

import resource
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SANITIZED = "libasan" in Path("/proc/self/maps").read_text()

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="sanitized stack frames are several times larger than the runtime's recursion guard assumes"
)

SETUP = """
import functools
from types import SimpleNamespace
import korvane.core.freeze as fz
import korvane.core.pdk as pk
import korvane.core.spicenet as sn
again = functools.partial
"""

# name: (statements that set up the loop, the call that enters it)
LOOPS = {
    "parse_oc_spice, a stream whose read imports it": (
        "s = SimpleNamespace(); s.read = again(sn.parse_oc_spice, s)", "sn.parse_oc_spice(s)"),
    "_parse_oc_spice_into_ir, a stream whose read reads it": (
        "s = SimpleNamespace(); s.read = again(sn._parse_oc_spice_into_ir, s, {})",
        "sn._parse_oc_spice_into_ir(s, {})"),
    "port resolution, a PDK that resolves ports": (
        "sn.kv_pdk = SimpleNamespace(get_pdk=again(sn._get_ports_from_component, 'x'))",
        "sn._get_ports_from_component('x')"),
    "_get_pdk, settings that build the PDK": (
        "pk.settings = SimpleNamespace(get_pdk_name=again(pk._get_pdk.__wrapped__))", "pk._get_pdk.__wrapped__()"),
    "register_cells, a PDK that registers": ("pk.get_pdk = again(pk.register_cells)", "pk.register_cells()"),
    "freeze, a PDK that freezes": ("fz.get_pdk = again(fz.freeze, 'c')", "fz.freeze('c')"),
}


def run_with_default_stack(code):
    def eight_mib_stack():
        hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
        soft = 8 << 20 if hard == resource.RLIM_INFINITY else min(8 << 20, hard)
        resource.setrlimit(resource.RLIMIT_STACK, (soft, hard))

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          preexec_fn=eight_mib_stack)


@pytest.mark.parametrize("name", LOOPS)
def test_reentry_without_python_frames_ends_in_a_recursion_error(name):
    setup, call = LOOPS[name]
    code = SETUP + setup + textwrap.dedent(f"""
        try:
            {call}
        except RecursionError:
            print("RecursionError")
    """)
    done = run_with_default_stack(code)
    assert (done.returncode, done.stdout) == (0, "RecursionError\n"), done.stderr[-2000:]


# Objects of the module that nest through their arguments: a stream over a
# stream pulls from it, a chain of chains calls it. Only C frames pile up.
# name: (the innermost object, one more level around `inner`, the request)
NESTINGS = {
    "_strip_lines": ("['a']", "sn._strip_lines(inner)", "next(outer)"),
    "_filter_empty": ("['a']", "sn._filter_empty(inner)", "next(outer)"),
    "_standardize_spaces": ("['a']", "sn._standardize_spaces(inner)", "next(outer)"),
    "_join_continuations": ("['a']", "sn._join_continuations(inner)", "next(outer)"),
    "_chain": ("lambda x: x", "sn._chain(inner)", "outer(1)"),
}


def nest(name, depth):
    innermost, level, _ = NESTINGS[name]
    return f"outer = {innermost}\nfor _ in range({depth}):\n    inner = outer\n    outer = {level}\ndel inner\n"


@pytest.mark.parametrize("name", NESTINGS)
def test_deep_nesting_ends_in_a_recursion_error(name):
    # The error ends the outer stream as it ends a generator; freeing what is
    # left of the nesting afterwards is no recursion either.
    request = NESTINGS[name][2]
    ended = "list(outer) == []" if request.startswith("next") else "True"
    code = SETUP + nest(name, 30_000) + textwrap.dedent(f"""
        try:
            {request}
        except RecursionError:
            print("RecursionError", {ended})
        del outer
        print("freed")
    """)
    done = run_with_default_stack(code)
    assert (done.returncode, done.stdout) == (0, "RecursionError True\nfreed\n"), done.stderr[-2000:]
