"""Netlists that grow along one dimension only, for the complexity table of
`make bench` and the hostile-input runs of `make soak`.

Each shape is a function of n giving the text of one import whose size is
proportional to n along its dimension and fixed along every other.
"""

from __future__ import annotations


def element_settings(n: int) -> str:
    """n settings on one element line."""
    return ".subckt t a b\nX1 a b part " + " ".join(f"k{i}={i}" for i in range(n)) + "\n.ends\n"


def header_settings(n: int) -> str:
    """n settings on one .subckt header."""
    return ".subckt t a b " + " ".join(f"k{i}={i}" for i in range(n)) + "\nR1 a b\n.ends\n"


def declared_ports(n: int) -> str:
    """One block declaring n ports, each touched by the pin of an element."""
    ports = " ".join(f"p{i}" for i in range(n))
    elements = "".join(f"R{i} p{i} m{i}\n" for i in range(n))
    return f".subckt t {ports}\n{elements}.ends\n"


def nesting_depth(n: int) -> str:
    """n blocks, each inside the one before, each with an element."""
    return "".join(f".subckt s{i} a b\nR{i} a b\n" for i in range(n)) + ".ends\n" * n


def continuation_lines(n: int) -> str:
    """One statement folded from n continuation lines."""
    return ".subckt t a b\nX1 a b part\n" + "".join(f"+ k{i}={i}\n" for i in range(n)) + ".ends\n"


def distinct_subcircuits(n: int) -> str:
    """n small blocks, all instantiated by one last block."""
    leaves = "".join(f".subckt leaf{i} a b\nR1 a b\n.ends\n" for i in range(n))
    top = "".join(f"X{i} n{i} n{i + 1} leaf{i}\n" for i in range(n))
    return f"{leaves}.subckt top n0 n{n}\n{top}.ends\n"


def element_pins(n: int) -> str:
    """One element with n pins."""
    return ".subckt t a b\nX1 " + " ".join(f"n{i}" for i in range(n)) + " part\n.ends\n"


def quoted_words(n: int) -> str:
    """One line of n quoted words (texts with spaces inside their quotes)."""
    return ".subckt t a b\nX1 a b part " + " ".join(f'k{i}="v {i}"' for i in range(n)) + "\n.ends\n"


# name: (shape, n for the complexity table). n is chosen so that one import
# takes a few milliseconds: long enough for the timer, short enough that the
# records of 4n still mostly stay in the processor's caches, whose misses
# would otherwise add to the growth what is not the passes' own work.
# t(4n) / t(n) near 4 means linear; a quadratic pass gives near 16.
SHAPES = {
    "settings on one element": (element_settings, 5_000),
    "settings on one .subckt header": (header_settings, 5_000),
    "declared ports of one block": (declared_ports, 2_000),
    "nesting depth": (nesting_depth, 1_000),
    "continuation lines of one statement": (continuation_lines, 5_000),
    "distinct subcircuits of one block": (distinct_subcircuits, 1_000),
    "pins of one element": (element_pins, 5_000),
    "quoted words of one line": (quoted_words, 5_000),
}
