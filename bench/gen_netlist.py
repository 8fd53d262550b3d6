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

    python bench/gen_netlist.py 100000 > net.sp
"""

from __future__ import annotations

import random
import sys

# Keyword arguments the single-quoted expressions of the netlist name.
KWARGS = {"wg_width": 0.5, "gap": 0.2}
COMPONENTS = ("straight", "bend_euler", "taper", "delay_line")


def _settings(rng: random.Random) -> str:
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
    return " ".join(rng.choice(choices)() for _ in range(rng.randint(1, 3)))


def _location(rng: random.Random, marker: str) -> str:
    x, y = rng.randint(-999, 999), rng.randint(-999, 999)
    rot = rng.choice((0, 90, 180, 270))
    if rng.random() < 0.5:
        return f" {marker} location=(o1)({x},{y},{rot})"
    return f" {marker} location=({x}.5,{y},{rot})"


def _element_lines(rng: random.Random, index: int, left: str, right: str,
                   children: list[str]) -> list[str]:
    kind = rng.random()
    sep = "\t" if rng.random() < 0.1 else " "
    if kind < 0.2:
        line = f"R{index}{sep}{left} {right} r={rng.randint(1, 999)}k"
    elif kind < 0.3:
        line = f"C{index} {left}{sep}{right} c={rng.randint(1, 99)}p"
    elif kind < 0.35 and children:
        line = f"X{index} {left} {right} {rng.choice(children)}"
    else:
        line = f"X{index} {left} {right} {rng.choice(COMPONENTS)} {_settings(rng)}"
    r = rng.random()
    if r < 0.3:
        line += _location(rng, rng.choice("*$"))
    elif r < 0.35:
        line += " $ note"
    if rng.random() < 0.05 and "=" in line and "location" not in line:
        head, _, tail = line.rpartition(" ")
        return [head, f"+ {tail}"]
    return [line]


def _source_pair(index: int, left: str, right: str, block: int) -> list[str]:
    # Rewritten pins are (minus, plus, out, gnd_) = (w1, w2, w3, w4) for
    # "E w3 w4 vcvs w2 w1 gain". The pair shares three middle nodes.
    u, v, w = (f"s{block}_{index}_{k}" for k in range(3))
    return [
        f"E{index} {v} {w} vcvs {u} {left} 2.5",
        f"G{index + 1} {w} {right} vccs {v} {u} gain=0.1 7",
    ]


def generate(elements: int, seed: int = 7, per_block: int = 50) -> str:
    rng = random.Random(seed)
    out: list[str] = ["* generated netlist", ""]
    blocks = max(1, elements // per_block)
    made = 0
    names: list[str] = []
    for b in range(blocks):
        count = per_block if b < blocks - 1 else elements - made
        name = f"cell_{b}"
        out.append(f".subckt {name} a b lsub={rng.randint(1, 9)}u")
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
                out.extend(_element_lines(rng, i, node, right, children))
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
    sys.stdout.write(generate(n))
