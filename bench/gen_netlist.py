"""Deterministic generator of netlists in the accepted SPICE dialect.

The netlist has many subcircuits of about `per_block` element lines each. Every
block is a chain from its port `a` to its port `b`: each element takes the chain
node before it and makes a new one, so every internal net joins exactly two
pins. Four-pin controlled sources come in pairs that share their middle nodes.
The last blocks instantiate earlier ones (hierarchy). The text mixes every
form the dialect has: R and C elements, X elements of a few component names,
controlled sources, plain numbers, scale suffixes, quoted texts, single-quoted
expressions (from keyword arguments and from block settings), brace lists,
continuation lines, "$" and "*" comments, location comments, blank lines and
tabs.

Workloads (`WORKLOADS`), each seeded and deterministic:

- "base": the mix above, about 50 element lines per block;
- "hierarchy": about 40 element lines per block (2,500 blocks per 100k lines),
  and half the elements of every later block are instances of earlier
  blocks: mostly of the blocks just before it (its own sub-blocks, written
  leaves first as netlists are), one in eight of any earlier block (cells
  shared across the whole design). The port look-ups meet every block;
- "hierarchy, scattered": as "hierarchy", with every instance of any
  earlier block alike: the worst case for the 128-entry port cache, which
  then misses on nearly every instance;
- "expressions": as "base", with about 40% of the settings single-quoted
  literal expressions of every literal form (signed numbers, texts with
  escapes and prefixes, bytes, tuples, lists, sets, dicts inside lists,
  complex numbers, nesting), plus names resolved from the keyword arguments
  and from the block's settings. Imported without the keyword arguments
  (the benchmark's "expressions, no keywords"), its names warn and become None.

    python bench/gen_netlist.py 100000 [workload] > net.sp
"""

from __future__ import annotations

import random
import sys

# Keyword arguments the single-quoted expressions of the netlist name.
KWARGS = {"wg_width": 0.5, "gap": 0.2}
COMPONENTS = ("straight", "bend_euler", "taper", "delay_line")


# Single-quoted literal expressions, one of each form. Top-level braces read
# as a list, so dicts stand inside other literals; texts inside use double
# quotes; no "=" (it separates settings), "*" or "$" (they open comments).
LITERALS = (
    "-1.5", "+3", "-0x1F", "1_000", "2.5e-3", "1+2j", "-2-3.5j", "4j",
    '"a\\tb"', 'r"x\\y"', 'b"by"', 'u"txt"', '"\\u00e9t\\x41"', '"con" "cat"',
    "(1, 0)", "(1,)", "()", "[0.5, 1.5]", "{1, 2}", '[(1, 2), {"k": [3, None]}]',
    '({"a": (1, [2, {3}])}, True)', '[[-1, 2.0], [False, "z"]]', "((1+1j), -0.0)",
)


def _expression(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.2:
        return rng.choice(("'wg_width'", "'gap'"))
    if r < 0.3:
        return "'lsub'"
    return "'" + rng.choice(LITERALS) + "'"


def _settings(rng: random.Random, expressions: bool = False) -> str:
    if expressions:
        return " ".join(
            f"e{k}={_expression(rng)}" if rng.random() < 0.4 else _plain_setting(rng)
            for k in range(rng.randint(1, 4)))
    return " ".join(_plain_setting(rng) for _ in range(rng.randint(1, 3)))


def _plain_setting(rng: random.Random) -> str:
    choices = (
        lambda: f"length={rng.randint(1, 500)}",
        lambda: f"width={rng.choice(['0.5u', '450n', '1.2', '3'])}",
        lambda: "w='wg_width'",
        lambda: "g='lsub'",
        lambda: f'name="n{rng.randint(0, 99)}"',
        lambda: f"pts={{{rng.randint(0, 9)},{rng.randint(0, 9)}}}",
        lambda: f"loss={rng.random():.4f}",
        lambda: f"r={rng.randint(1, 99)}k",
    )
    return rng.choice(choices)()


def _location(rng: random.Random, marker: str) -> str:
    x, y = rng.randint(-999, 999), rng.randint(-999, 999)
    rot = rng.choice((0, 90, 180, 270))
    if rng.random() < 0.5:
        return f" {marker} location=(o1)({x},{y},{rot})"
    return f" {marker} location=({x}.5,{y},{rot})"


def _element_lines(rng: random.Random, index: int, left: str, right: str,
                   children: list[str], workload: str) -> list[str]:
    kind = rng.random()
    if workload.startswith("hierarchy") and children and rng.random() < 0.5:
        kind = 0.3  # an instance of an earlier block
    sep = "\t" if rng.random() < 0.1 else " "
    if kind < 0.2:
        line = f"R{index}{sep}{left} {right} r={rng.randint(1, 999)}k"
    elif kind < 0.3:
        line = f"C{index} {left}{sep}{right} c={rng.randint(1, 99)}p"
    elif kind < 0.35 and children:
        line = f"X{index} {left} {right} {_child(rng, children, workload)}"
    else:
        line = f"X{index} {left} {right} {rng.choice(COMPONENTS)} {_settings(rng, workload == 'expressions')}"
    r = rng.random()
    if r < 0.3:
        line += _location(rng, rng.choice("*$"))
    elif r < 0.35:
        line += " $ note"
    if rng.random() < 0.05 and "=" in line and "location" not in line:
        head, _, tail = line.rpartition(" ")
        return [head, f"+ {tail}"]
    return [line]


# Blocks just before a block that its instances mostly come from.
NEIGHBOURS = 32


def _child(rng: random.Random, children: list[str], workload: str) -> str:
    if workload == "hierarchy" and rng.random() >= 1 / 8:
        return rng.choice(children[-NEIGHBOURS:])
    return rng.choice(children)


def _source_pair(index: int, left: str, right: str, block: int) -> list[str]:
    # Rewritten pins are (minus, plus, out, gnd_) = (w1, w2, w3, w4) for
    # "E w3 w4 vcvs w2 w1 gain". The pair shares three middle nodes.
    u, v, w = (f"s{block}_{index}_{k}" for k in range(3))
    return [
        f"E{index} {v} {w} vcvs {u} {left} 2.5",
        f"G{index + 1} {w} {right} vccs {v} {u} gain=0.1 7",
    ]


WORKLOADS = ("base", "hierarchy", "hierarchy, scattered", "expressions")


def generate(elements: int, seed: int = 7, per_block: int | None = None, workload: str = "base") -> str:
    if workload not in WORKLOADS:
        raise ValueError(f"unknown workload {workload!r}; one of {', '.join(WORKLOADS)}")
    if per_block is None:
        per_block = 40 if workload.startswith("hierarchy") else 50
    rng = random.Random(seed)
    out: list[str] = ["* generated netlist", ""]
    blocks = max(1, elements // per_block)
    made = 0
    names: list[str] = []
    for b in range(blocks):
        count = per_block if b < blocks - 1 else elements - made
        name = f"cell_{b}"
        out.append(f".subckt {name} a b lsub={rng.randint(1, 9)}u")
        if workload.startswith("hierarchy"):
            children = names  # every earlier block
        else:
            children = names[-20:] if b >= blocks // 2 else []
        node = "a"
        i = 0
        while i < count:
            right = "b" if i == count - 1 else f"n{i}"
            if count - i >= 2 and rng.random() < 0.05:
                right = "b" if i + 1 == count - 1 else f"n{i + 1}"
                out.extend(_source_pair(i, node, right, b))
                i += 2
            else:
                out.extend(_element_lines(rng, i, node, right, children, workload))
                i += 1
            node = right
            if rng.random() < 0.02:
                out.append("")
            if rng.random() < 0.02:
                out.append("* comment line")
        out.append(f".ends {name}")
        out.append("")
        names.append(name)
        made += count
    return "\n".join(out) + "\n"


def element_count(text: str) -> int:
    """Element lines of a generated netlist (continuations not counted)."""
    return sum(1 for line in text.splitlines()
               if line[:1] in ("R", "C", "X", "E", "G"))


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    sys.stdout.write(generate(n, workload=sys.argv[2] if len(sys.argv) > 2 else "base"))
