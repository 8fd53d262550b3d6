"""SPICE import benchmark: `make bench`.

For each workload of gen_netlist.py (and the expression workload imported
without its keyword arguments), at 10k, 100k and 1M element lines, it prints
file size, the least import time over several runs after a warm-up,
element lines per second, the peak memory added during the import and four
ratios measured in the same run (import, `pickle.loads`, normalisation and
peer alternate from run to run, so that a change of load on the machine
touches all of them alike):

- floor: import time / time of `pickle.loads` rebuilding the same result;
- peers: time of each pure-Python SPICE reader from the package registry on
  the same content / import time (10k and 100k only). Each peer reads a copy
  of the file with a final ".end" line, which they require and our dialect
  refuses, and nothing else changed. What each builds:
  - spicelib `SpiceEditor(path)`: the file's lines, kept for editing, with
    its subcircuit blocks found and indexed;
  - PySpice `SpiceParser(source=text)`: a statement object per line (element
    name, nodes, parameters as texts), grouped by subcircuit;
  - eda-netlist-parser `NetlistParser(internal=True).parse(path)`: a cell per
    subcircuit with its pins and device instances (name, reference, pins,
    parameters as texts);
- scaling: time per element line at the largest size / at the smallest, and
  the floor ratio at the largest size / at the smallest;
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
import sys
import tempfile
import time
import tracemalloc
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
os.environ.setdefault("KORVANE_PROJECT_DIR", str(HERE.parent / "examples" / "demo_project"))

import gen_netlist  # noqa: E402

SIZES = [int(s) for s in os.environ.get("BENCH_SIZES", "10000,100000,1000000").split(",")]
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
PEER_SIZES = {int(s) for s in os.environ.get("BENCH_PEER_SIZES", "10000,100000").split(",")}


def side_by_side(fns: dict, runs: int = RUNS) -> dict:
    """Least time of each function, up to its return (the result is freed
    outside the timed span): the run's own cost, which other work on the
    machine only ever adds to. The runs alternate between the functions, so
    that a change of load on the machine touches all of them alike."""
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
    return {name: min(t) for name, t in times.items()}


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


def spicelib_peer(path: Path):
    from spicelib import SpiceEditor

    return lambda: SpiceEditor(str(path))


def pyspice_peer(path: Path):
    from PySpice.Spice.Parser import SpiceParser

    text = path.read_text()
    return lambda: SpiceParser(source=text)


def eda_peer(path: Path):
    from netlist_parser import NetlistParser

    return lambda: NetlistParser(internal=True).parse(str(path))


# name: the peer's reader of a file with the final ".end" line (made by make_peer_file).
PEERS = {"spicelib": spicelib_peer, "pyspice": pyspice_peer, "eda": eda_peer}


def make_peer_file(path: Path) -> Path:
    peer_path = path.with_suffix(".net")
    peer_path.write_text(path.read_text() + ".end\n")
    return peer_path


def peer_functions(path: Path) -> dict:
    """The peers that are installed, as timed functions."""
    peer_path = make_peer_file(path)
    fns = {}
    for name, make in PEERS.items():
        try:
            fns[name] = make(peer_path)
        except ImportError:
            print(f"peer {name} is not installed; skipped", file=sys.stderr)
    return fns


def measure(workload: str, n: int, kwargs: dict, tmp: Path) -> dict:
    from korvane.core.spicenet import parse_oc_spice

    import nodalis

    path = tmp / f"{workload}_{n}.sp"
    path.write_text(gen_netlist.generate(n, workload=workload))
    size = path.stat().st_size

    def run():
        return parse_oc_spice(path, **kwargs)

    result = run()
    blob = pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL)
    fns = {"import": run, "floor": lambda: pickle.loads(blob), "norm": lambda: nodalis.netlist(result)}
    peers = peer_functions(path) if n in PEER_SIZES else {}
    fns.update({f"peer {name}": fn for name, fn in peers.items()})
    t = side_by_side(fns)
    del result, blob
    peak, held, result = peak_memory(run)
    del result
    return dict(n=n, size=size, t=t["import"], floor=t["floor"], norm=t["norm"], peak=peak, held=held,
                peers={name: t[f"peer {name}"] for name in peers})


def print_table(title: str, rows: list[dict]) -> None:
    print(f"\n{title}")
    peer_names = list(PEERS)
    print(f"{'lines':>9} {'file MB':>8} {'import s':>9} {'us/line':>8} {'peak MB':>8} {'pickle s':>9} "
          f"{'floor':>6} {'floor-n':>7} " + " ".join(f"{name:>8}" for name in peer_names) +
          f" {'memory':>7} {'normalise s':>11}")
    for r in rows:
        peers = " ".join(f"{r['peers'][name] / r['t']:8.1f}" if name in r["peers"] else f"{'-':>8}"
                         for name in peer_names)
        print(f"{r['n']:>9} {r['size'] / 1e6:8.1f} {r['t']:9.4f} {r['t'] / r['n'] * 1e6:8.2f} "
              f"{r['peak'] / 1e6:8.1f} {r['floor']:9.4f} {r['t'] / r['floor']:6.2f} "
              f"{(r['t'] - r['norm']) / r['floor']:7.2f} {peers} "
              f"{r['peak'] / (r['size'] + r['held']):7.2f} {r['norm']:11.4f}")
    if len(rows) > 1:
        first, last = rows[0], rows[-1]
        scaling = (last["t"] / last["n"]) / (first["t"] / first["n"])
        floor_scaling = (last["t"] / last["floor"]) / (first["t"] / first["floor"])
        print(f"scaling ({last['n']} / {first['n']}): time per line {scaling:.2f}, floor ratio {floor_scaling:.2f}")


# Workload name: (generator workload, keyword arguments of the import).
WORKLOADS = {
    "base": ("base", gen_netlist.KWARGS),
    "hierarchy": ("hierarchy", gen_netlist.KWARGS),
    "hierarchy, scattered": ("hierarchy, scattered", gen_netlist.KWARGS),
    "expressions": ("expressions", gen_netlist.KWARGS),
    "expressions, no keywords": ("expressions", {}),
}


def main() -> None:
    chosen = os.environ.get("BENCH_WORKLOADS")
    names = [w.strip() for w in chosen.split(";")] if chosen else list(WORKLOADS)
    with tempfile.TemporaryDirectory() as tmp, warnings.catch_warnings():
        # The unresolved names of "no keywords" warn once each; the warnings
        # are not what is measured.
        warnings.simplefilter("ignore")
        for name in names:
            workload, kwargs = WORKLOADS[name]
            rows = []
            for n in SIZES:
                rows.append(measure(workload, n, kwargs, Path(tmp)))
                print(f"measured {name}, {n} element lines", file=sys.stderr)
            print_table(f"workload: {name}", rows)
            sys.stdout.flush()


if __name__ == "__main__":
    main()
