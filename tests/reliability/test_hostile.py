"""Hostile sizes: a very long single line, a million continuation lines,
100,000 nested blocks and deeply nested expressions. Each import runs in a
fresh process that reports its time, its peak memory above what it held
before the import, and its outcome: no crash, no native stack overflow (a
runtime error from the expression parser is fine), and memory within a small
multiple of the input.

Here the sizes are small; `make soak` runs them at full size (marked `big`)
and prints the figures.
"""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import shapes  # noqa: E402  (the netlists that grow along one dimension, shared with the benchmark)

MB = 1 << 20
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()

CHILD = textwrap.dedent("""
    import io, json, sys, time
    import korvane.core.spicenet as sn

    def status(key):
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(key))

    # A first small import loads what the import uses (nodalis, ast, ...).
    sn.parse_oc_spice(io.StringIO(".subckt warm a b\\nR1 a b w='(1,2)'\\n.ends\\n"))
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak starts again from here
    before = status("VmRSS:")
    clock = time.perf_counter()
    try:
        result = sn.parse_oc_spice(sys.argv[1])
        outcome = {"records": len(result),
                   "instances": sum(len(r["instances"]) for r in result.values()),
                   "first": next(iter(result), None)}
        if result:
            first = next(iter(result.values()))
            outcome["settings"] = {k: (v if not isinstance(v, str) else len(v))
                                   for i in first["instances"].values() for k, v in i["settings"].items()}
    except Exception as error:
        outcome = {"error": type(error).__name__, "message": str(error)[:200]}
    seconds = time.perf_counter() - clock
    print(json.dumps({"seconds": seconds, "peak": max(0, status("VmHWM:") - before), **outcome}))
""")


def run(path):
    done = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, f"the import died ({done.returncode}): {done.stderr[-2000:]}"
    return json.loads(done.stdout)


# --- the inputs, by size -----------------------------------------------------------


def long_value(size):
    return ".subckt big a b\nR1 a b w=\"" + "x" * size + "\"\n.ends\n"


def long_comment(size):
    return ".subckt big a b\nR1 a b w=1 * " + "note " * (size // 5) + "\n.ends\n"


def continuations(count):
    return ".subckt big a b\nR1 a b\n" + "+ w=1\n" * count + ".ends\n"


def nested(depth):
    """`depth` blocks, each inside the one before; only the innermost has an element."""
    opening = "".join(f".subckt s{i} a b\n" for i in range(depth))
    return opening + "R1 a b r=2\n" + ".ends\n" * depth


def nested_with_elements(depth):
    """`depth` blocks, each inside the one before, each with an element of its own."""
    return "".join(f".subckt s{i} a b\nR{i} a b\n" for i in range(depth)) + ".ends\n" * depth


def braces(depth):
    return ".subckt big a b\nR1 a b w=" + "{" * depth + "1" + "}" * depth + "\n.ends\n"


def quoted_braces(depth):
    return ".subckt big a b\nR1 a b w='" + "{" * depth + "1" + "}" * depth + "'\n.ends\n"


def unary(depth):
    return ".subckt big a b\nR1 a b w='" + "-" * depth + "1'\n.ends\n"


def location(depth):
    return ".subckt big a b\nR1 a b * location=" + "(" * depth + "1,2,3" + ")" * depth + "\n.ends\n"


KB = 1 << 10

# name: (make, small size, full size, check of the outcome, allowance per size unit).
# Memory is held to four times the input plus the allowance per unit of size
# (per continuation line, per block, per setting or pin): the words of one
# statement, the IR records of the open blocks and the entries of the records
# cost a fixed amount each, however short the text.
CASES = {
    "one long quoted value": (long_value, MB, 200 * MB, lambda o: o["settings"]["w"] > 0, 0),
    "one long comment": (long_comment, MB, 200 * MB, lambda o: o["settings"] == {"w": 1.0}, 0),
    "continuation lines": (continuations, 20_000, 1_000_000, lambda o: o["settings"] == {"w": 1.0}, 128),
    "nested blocks": (nested, 2_000, 100_000, lambda o: o["records"] == 1 and o["first"].startswith("s"), KB),
    "nested blocks, each with an element": (nested_with_elements, 2_000, 100_000,
                                            lambda o: o["records"] == o["instances"], 4 * KB),
    "nested braces": (braces, 20_000, 1_000_000, lambda o: o["settings"]["w"] > 0, 0),
    "nested braces in an expression": (quoted_braces, 20_000, 1_000_000,
                                       lambda o: o["error"] == "SyntaxError", 0),
    # The runtime's expression parser refuses this depth with its own error.
    "nested unary minus in an expression": (unary, 20_000, 1_000_000,
                                            lambda o: o["error"] in ("SyntaxError", "MemoryError", "RecursionError"),
                                            0),
    "nested parentheses in a location": (location, 20_000, 1_000_000, lambda o: o["instances"] == 1, 0),
    # One dimension of a netlist grown to a size where a pass that is not
    # linear along it would take minutes.
    "settings on one element": (shapes.element_settings, 20_000, 1_000_000,
                                lambda o: o["instances"] == 1 and len(o["settings"]) > 0, 512),
    "settings on one .subckt header": (shapes.header_settings, 20_000, 1_000_000,
                                       lambda o: o["instances"] == 1, 256),
    "declared ports of one block": (shapes.declared_ports, 20_000, 500_000,
                                    lambda o: o["instances"] == o["units"], 2 * KB),
    "distinct subcircuits of one block": (shapes.distinct_subcircuits, 5_000, 200_000,
                                          lambda o: o["records"] == o["units"] + 1, 4 * KB),
    "pins of one element": (shapes.element_pins, 20_000, 1_000_000, lambda o: o["instances"] == 1, 640),
    "quoted words of one line": (shapes.quoted_words, 20_000, 1_000_000,
                                 lambda o: o["instances"] == 1 and len(o["settings"]) > 0, 640),
}


def check(tmp_path, name, full):
    make, small, big, expected, per_unit = CASES[name]
    units = big if full else small
    path = tmp_path / "hostile.sp"
    path.write_text(make(units))
    size = path.stat().st_size
    got = {**run(path), "units": units}
    print(f"{name}: {size / MB:.1f} MB in {got['seconds']:.2f} s, peak {got['peak'] / MB:.1f} MB above the start;"
          f" {({k: v for k, v in got.items() if k not in ('seconds', 'peak', 'settings', 'units')})}")
    assert expected(got), got
    # 16 MiB for the runtime's own allocations, which do not grow with the
    # input. The sanitizer's allocator keeps freed memory, so there only the
    # outcome counts.
    if not SANITIZED:
        assert got["peak"] <= 4 * size + per_unit * units + 16 * MB, got


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_input_small(tmp_path, name):
    check(tmp_path, name, full=False)


@pytest.mark.big
@pytest.mark.parametrize("name", list(CASES))
def test_hostile_input_full_size(tmp_path, name):
    check(tmp_path, name, full=True)


# --- deep nestings of the module's own objects -----------------------------------------

# name: one more level around `inner` (the innermost is a list, or a function).
NESTINGS = {
    "_strip_lines": "sn._strip_lines(inner)",
    "_join_continuations": "sn._join_continuations(inner)",
    "_standardize_spaces": "sn._standardize_spaces(inner)",
    "_filter_empty": "sn._filter_empty(inner)",
    "_chain": "sn._chain(inner)",
    "streams and chains in turn": "(sn._chain(inner) if isinstance(inner, type(sn._strip_lines(''))) "
                                  "else sn._strip_lines(inner))",
}


@pytest.mark.parametrize("name", NESTINGS)
def test_deep_nesting_is_freed(name):
    # 300,000 levels, each freeing the next: the runtime's trashcan keeps the
    # native stack flat.
    code = textwrap.dedent(f"""
        import korvane.core.spicenet as sn
        inner = ["a"]
        for _ in range(300_000):
            inner = {NESTINGS[name]}
        del inner
        print("freed")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "freed\n"), done.stderr[-2000:]
