"""The property tests of the SPICE import (tests/reliability/test_properties.py)
run with a budget of minutes: rounds of many inputs per test, each round with
a new seed, until the budget is spent; then the number of inputs tried.

    python tools/fuzz.py [--minutes M] [--examples N]

A round that fails stops the run; hypothesis prints the smallest failing
input it found and the seed that reproduces it. Exits with pytest's status.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--minutes", type=float, default=5.0, help="time budget (default 5)")
    parser.add_argument("--examples", type=int, default=1000, help="inputs per test and round (default 1000)")
    args = parser.parse_args(argv)

    deadline = time.monotonic() + args.minutes * 60
    tried: Counter = Counter()
    rounds = 0
    status = 0
    with tempfile.TemporaryDirectory() as scratch:
        counts = Path(scratch) / "counts.json"
        while time.monotonic() < deadline:
            seed = random.randrange(2**32)
            env = os.environ | {"KORVANE_FUZZ": "1", "KORVANE_FUZZ_EXAMPLES": str(args.examples),
                                "KORVANE_FUZZ_COUNTS": str(counts)}
            command = [sys.executable, "-m", "pytest", "reliability/test_properties.py", "-q", "-p",
                       "no:cacheprovider", f"--hypothesis-seed={seed}"]
            status = subprocess.run(command, cwd=TESTS, env=env).returncode
            rounds += 1
            if counts.exists():
                tried.update(json.loads(counts.read_text()))
                counts.unlink()
            if status != 0:
                print(f"round {rounds} failed (seed {seed})")
                break
    print(f"fuzz: {rounds} round(s), {sum(tried.values())} inputs tried: "
          + ", ".join(f"{name} {count}" for name, count in sorted(tried.items())))
    return status


if __name__ == "__main__":
    sys.exit(main())
