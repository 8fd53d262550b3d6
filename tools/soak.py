"""The long soak: every operation of tests/reliability/_soak_workload.py called
tens of thousands of times (registrations, which import modules and write the
database, ten thousand times), with the figures of each.

    python tools/soak.py [--calls N] [--register-calls N] [--only TEXT]

For each operation: a warm-up of a fifth of the calls, two measured windows
and two windows under tracemalloc. Printed per operation: the calls made, the
time, the growth over the two measured windows of resident memory (RSS), of
the C heap (in use, as the C allocator counts it), of the objects the
collector tracks and of the interpreter's memory blocks, the smaller growth of
the traced total over the two traced windows, and any problem the workload's
bounds find (resident memory grown by more than 2 MiB, the C heap or the
traced total by more than 1 MiB, something kept on every call, a file
descriptor left open, a reference not given back). Exits 1 when there is one.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "reliability"))
os.environ.setdefault("KORVANE_LOG_LEVEL", "ERROR")  # warnings are logged; keep them off the terminal

import _soak_workload as workload  # noqa: E402

KIB = 1024


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--calls", type=int, default=20_000, help="calls per window (default 20000)")
    parser.add_argument("--register-calls", type=int, default=4_000,
                        help="calls per window for registrations (default 4000)")
    parser.add_argument("--only", default="", help="run the operations whose name contains this text")
    args = parser.parse_args(argv)

    work = workload.Workload()
    problems = 0
    total_calls = 0
    first = last = None
    clock = time.perf_counter()
    print(f"{'calls':>7} {'seconds':>8} {'RSS KiB':>8} {'heap KiB':>9} {'objects':>8} {'blocks':>7} "
          f"{'traced KiB':>10}  operation")
    try:
        for name, operation in work.ops.items():
            if args.only not in name:
                continue
            calls = args.register_calls if name.startswith("register_cells(") and "bad" not in name else args.calls
            result = workload.soak(operation, calls=calls, traced_calls=max(1, calls // 4))
            first = first or result.r0
            last = result.r2
            made = calls // 5 + 2 * calls + 2 * max(1, calls // 4)
            total_calls += made
            found = result.problems()
            problems += bool(found)
            print(f"{made:7d} {result.seconds:8.1f} {result.growth('rss') / KIB:8.0f} "
                  f"{result.growth('heap') / KIB:9.1f} {result.growth('objects'):8d} {result.growth('blocks'):7d} "
                  f"{result.traced / KIB:10.1f}  {name}" + "".join(f"\n        PROBLEM: {p}" for p in found),
                  flush=True)
    finally:
        work.close()
    if first is not None:
        print(f"all operations: {total_calls} calls in {time.perf_counter() - clock:.0f} s; resident memory "
              f"{first.rss / KIB / KIB:.1f} MiB after the first warm-up, {last.rss / KIB / KIB:.1f} MiB at the end; "
              f"open file descriptors {first.fds} -> {last.fds}")
    print("no problem found" if not problems else f"{problems} operation(s) with problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
