"""Complexity table of the SPICE import: for each shape of shapes.py, the
import time at n and at 4n and their ratio. A pass that is linear along the
shape's dimension gives about 4; a quadratic one about 16. Every ratio must
stay at or below 5.

    python bench/complexity.py
"""

from __future__ import annotations

import gc
import io
import os
import sys
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
os.environ.setdefault("KORVANE_PROJECT_DIR", str(HERE.parent / "examples" / "demo_project"))

import shapes  # noqa: E402

# Each size is imported this many times after a warm-up.
RUNS = 3 * int(os.environ.get("BENCH_RUNS", "5"))
LIMIT = 5.0


def import_time(text: str) -> float:
    from korvane.core.spicenet import parse_oc_spice

    gc.collect()
    start = time.perf_counter()
    result = parse_oc_spice(io.StringIO(text))
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def least_time(text: str) -> float:
    # The least time: the import's own cost, which other work on the machine
    # only ever adds to.
    import_time(text)  # warm-up: the caches of the import and the machine
    return min(import_time(text) for _ in range(RUNS))


def main() -> int:
    print(f"{'shape':<38} {'n':>7} {'t(n) s':>9} {'t(4n) s':>9} {'growth':>7}")
    worst = 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, (shape, n) in shapes.SHAPES.items():
            small, large = least_time(shape(n)), least_time(shape(4 * n))
            growth = large / small
            worst = max(worst, growth)
            flag = "" if growth <= LIMIT else "  not linear"
            print(f"{name:<38} {n:>7} {small:9.4f} {large:9.4f} {growth:7.2f}{flag}")
            sys.stdout.flush()
    print(f"worst growth: {worst:.2f} (limit {LIMIT})")
    return 0 if worst <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main())
