"""SPICE import benchmark: `make bench`.

For 10k, 100k and 1M element lines of a generated netlist (gen_netlist.py) it
prints file size, median import time over several runs after a warm-up,
element lines per second, the peak memory added during the import and four
ratios measured in the same run (import, `pickle.loads`, normalisation and
peer alternate from run to run, so that a change of load on the machine
touches all of them alike):

- floor: import time / time of `pickle.loads` rebuilding the same result;
- peer: time of a pure-Python SPICE parser on the same content / import time
  (10k and 100k only; the content gets a final ".end" line, which that parser
  requires and our dialect refuses, and nothing else);
- scaling: time per element line at the largest size / at the smallest;
- memory: peak memory added / (file size + memory of the result).

The circuit-model normalisation (`nodalis.netlist`, the host's cost in the real
product) is timed on its own and printed beside the import; "floor-n" is the
floor ratio of the import without it. Memory is what tracemalloc sees: the
Python objects and the import's own C++ memory, which lives on the runtime's
allocator for that reason.
"""

from __future__ import annotations

import gc
import os
import pickle
import statistics
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
os.environ.setdefault("KORVANE_PROJECT_DIR", str(HERE.parent / "examples" / "demo_project"))

import gen_netlist  # noqa: E402

SIZES = [int(s) for s in os.environ.get("BENCH_SIZES", "10000,100000,1000000").split(",")]
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
PEER_SIZES = {10000, 100000}


def side_by_side(fns: dict, runs: int = RUNS) -> dict:
    """Median time of each function, up to its return (the result is freed
    outside the timed span); the runs alternate between them, so that a change
    of load on the machine touches all of them alike."""
    for fn in fns.values():
        fn()  # warm-up
    times: dict = {name: [] for name in fns}
    for _ in range(runs):
        for name, fn in fns.items():
            gc.collect()
            start = time.perf_counter()
            result = fn()
            times[name].append(time.perf_counter() - start)
            del result  # freeing the result is not part of making it
    return {name: statistics.median(t) for name, t in times.items()}


def peak_memory(fn) -> tuple[int, int, object]:
    """(peak added during fn, memory held by its result, result)."""
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    result = fn()
    current, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak - base, current - base, result


def peer_parser(path: Path):
    """The peer parser on a copy of the file with the final ".end" it needs."""
    try:
        from spicelib import SpiceEditor
    except ImportError:
        return None
    peer_path = path.with_suffix(".net")
    peer_path.write_text(path.read_text() + ".end\n")
    return lambda: SpiceEditor(str(peer_path))


def main() -> None:
    from korvane.core.spicenet import parse_oc_spice

    import nodalis

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in SIZES:
            path = Path(tmp) / f"net_{n}.sp"
            path.write_text(gen_netlist.generate(n))
            size = path.stat().st_size

            def run():
                return parse_oc_spice(path, **gen_netlist.KWARGS)

            result = run()
            blob = pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL)
            fns = {"import": run, "floor": lambda: pickle.loads(blob), "norm": lambda: nodalis.netlist(result)}
            peer_fn = peer_parser(path) if n in PEER_SIZES else None
            if peer_fn:
                fns["peer"] = peer_fn
            t = side_by_side(fns)
            del result, blob
            peak, held, result = peak_memory(run)
            del result
            rows.append(dict(n=n, size=size, t=t["import"], floor=t["floor"], norm=t["norm"],
                             peak=peak, held=held, peer=t.get("peer")))
            print(f"measured {n} element lines", file=sys.stderr)

    print(f"{'lines':>9} {'file MB':>8} {'import s':>9} {'us/line':>8} {'lines/s':>9} {'peak MB':>8} "
          f"{'pickle s':>9} {'floor':>6} {'floor-n':>7} {'peer s':>7} {'peer':>6} {'memory':>7} {'normalise s':>11}")
    for r in rows:
        peer_s = f"{r['peer']:7.3f}" if r["peer"] else f"{'-':>7}"
        peer = f"{r['peer'] / r['t']:6.1f}" if r["peer"] else f"{'-':>6}"
        print(f"{r['n']:>9} {r['size'] / 1e6:8.1f} {r['t']:9.4f} {r['t'] / r['n'] * 1e6:8.2f} {r['n'] / r['t']:9.0f} "
              f"{r['peak'] / 1e6:8.1f} {r['floor']:9.4f} {r['t'] / r['floor']:6.2f} "
              f"{(r['t'] - r['norm']) / r['floor']:7.2f} {peer_s} {peer} "
              f"{r['peak'] / (r['size'] + r['held']):7.2f} {r['norm']:11.4f}")
    if len(rows) > 1:
        first, last = rows[0], rows[-1]
        scaling = (last["t"] / last["n"]) / (first["t"] / first["n"])
        print(f"scaling (time per line, {last['n']} / {first['n']}): {scaling:.2f}")


if __name__ == "__main__":
    main()
