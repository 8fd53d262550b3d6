"""Complexity table of the SPICE import: for each shape of shapes.py, the
import time at n and at 4n and their ratio. A pass that is linear along the
shape's dimension gives about 4; a quadratic one about 16. Every ratio must
stay at or below 5.

Beside it, the same ratio for `pickle.loads` rebuilding the import's result
("floor growth"): what building that many objects costs at each size, with
no pass of the import in it. Where both grow beyond 4 together, the memory
the results take (caches, pages the allocator asks the system for again),
not a pass, makes the difference.

    python bench/complexity.py
"""

from __future__ import annotations

import gc
import os
import pickle
import sys
import tempfile
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
os.environ.setdefault("KORVANE_PROJECT_DIR", str(HERE.parent / "examples" / "demo_project"))

import shapes  # noqa: E402

# Each size is run this many times after a warm-up, in each of ROUNDS rounds
# that take the sizes in turn: a machine shared with other work has slow
# spells that last longer than one size's runs, and the rounds give both
# sizes their share of the quiet ones.
RUNS = 4 * int(os.environ.get("BENCH_RUNS", "5"))
ROUNDS = 3
LIMIT = 5.0


def least_time(run) -> float:
    # The least time: the run's own cost, which other work on the machine
    # only ever adds to.
    times = []
    for _ in range(RUNS + 1):  # the first warms the caches of the import and the machine
        gc.collect()
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
        del result
    return min(times[1:])


def import_and_floor(texts: list[str]) -> list[tuple[float, float]]:
    """For each text, the least time of its import from a file and of
    rebuilding its result. (A text stream made inside the timed call would
    add the stream's own copy of the text, four bytes a character.)"""
    from korvane.core.spicenet import parse_oc_spice

    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i, text in enumerate(texts):
            paths.append(Path(tmp) / f"shape_{i}.sp")
            paths[-1].write_text(text)
        pickled = [pickle.dumps(parse_oc_spice(path)) for path in paths]
        best = [[float("inf"), float("inf")] for _ in texts]
        for _ in range(ROUNDS):
            for i, path in enumerate(paths):
                best[i][0] = min(best[i][0], least_time(lambda: parse_oc_spice(path)))
                best[i][1] = min(best[i][1], least_time(lambda: pickle.loads(pickled[i])))
    return [(a, b) for a, b in best]


def main() -> int:
    print(f"{'shape':<38} {'n':>7} {'t(n) s':>9} {'t(4n) s':>9} {'growth':>7} {'floor growth':>13}")
    worst = 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, (shape, n) in shapes.SHAPES.items():
            (small, floor_small), (large, floor_large) = import_and_floor([shape(n), shape(4 * n)])
            growth = large / small
            worst = max(worst, growth)
            flag = "" if growth <= LIMIT else "  not linear"
            print(f"{name:<38} {n:>7} {small:9.4f} {large:9.4f} {growth:7.2f} {floor_large / floor_small:13.2f}{flag}")
            sys.stdout.flush()
    print(f"worst growth: {worst:.2f} (limit {LIMIT})")
    return 0 if worst <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main())
