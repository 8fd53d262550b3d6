"""Two builds of the SPICE import side by side, in one sitting.

    python bench/compare.py BEFORE_PYTHON AFTER_PYTHON [ROUNDS]

BEFORE_PYTHON and AFTER_PYTHON are the interpreters of two virtual
environments, each with one build installed (for example a clone of an older
commit after `make install`, and this checkout's `.venv/bin/python`). For
each workload and size of `bench/run.py` (`BENCH_WORKLOADS`, `BENCH_SIZES`,
`BENCH_RUNS` choose them there too), both read the same generated netlist.
The builds take turns, ROUNDS times each (default 4), the first one first in
even rounds and second in odd ones, each turn in a fresh process that times
the import and `pickle.loads` of its result alternately and keeps the least
time of each.

A row gives, per build, the least import time of all its turns, the floor
ratio of the least times, the median of the turns' own floor ratios, and
the change of that median. On a machine whose speed drifts, the turns put
the two builds in the same spells; the median of several turns says more
than any one of them.
"""

from __future__ import annotations

import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run  # noqa: E402  (the workloads, sizes and runs of `make bench`)


def worker(path: str, workload: str, runs: int) -> None:
    """One turn: the least time of the import and of rebuilding its result."""
    from korvane.core.spicenet import parse_oc_spice

    kwargs = run.WORKLOADS[workload][1]
    warnings.simplefilter("ignore")  # the unresolved names of "no keywords"
    blob = pickle.dumps(parse_oc_spice(path, **kwargs), protocol=pickle.HIGHEST_PROTOCOL)
    steps = {"import": lambda: parse_oc_spice(path, **kwargs), "floor": lambda: pickle.loads(blob)}
    t = run.side_by_side(steps, runs)
    print(t["import"], t["floor"])


def turns(python: str, path: Path, workload: str, runs: int) -> tuple[float, float]:
    out = subprocess.run([python, __file__, "--worker", str(path), workload, str(runs)],
                         capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), float(out[1])


def main(argv: list[str]) -> int:
    if argv[1:2] == ["--worker"]:
        worker(argv[2], argv[3], int(argv[4]))
        return 0
    if len(argv) not in (3, 4):
        print("usage: python bench/compare.py BEFORE_PYTHON AFTER_PYTHON [ROUNDS]", file=sys.stderr)
        return 2
    builds = {"before": argv[1], "after": argv[2]}
    rounds = int(argv[3]) if len(argv) == 4 else 4
    chosen = os.environ.get("BENCH_WORKLOADS")
    names = [w.strip() for w in chosen.split(";")] if chosen else list(run.WORKLOADS)
    print(f"{'workload':<26} {'lines':>8} " + " ".join(
        f"{name + ' s':>10} {'floor':>6} {'median':>6}" for name in builds) + f" {'change':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            for n in run.SIZES:
                path = Path(tmp) / f"netlist_{n}.sp"
                path.write_text(run.gen_netlist.generate(n, workload=run.WORKLOADS[name][0]))
                times: dict[str, list[tuple[float, float]]] = {b: [] for b in builds}
                for r in range(rounds):
                    for b in (builds if r % 2 == 0 else reversed(builds)):
                        times[b].append(turns(builds[b], path, name, run.RUNS))
                cells, medians = [], []
                for b in builds:
                    least = min(t for t, _ in times[b])
                    floor = least / min(f for _, f in times[b])
                    medians.append(statistics.median(t / f for t, f in times[b]))
                    cells.append(f"{least:10.4f} {floor:6.2f} {medians[-1]:6.2f}")
                change = medians[1] / medians[0] - 1
                print(f"{name:<26} {n:>8} " + " ".join(cells) + f" {change:+7.1%}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
