"""Instructions per element line of one SPICE import, counted by callgrind.

    python bench/instructions.py [elements [workload [no-keywords]]]

(defaults: 10000 element lines of the "base" workload of gen_netlist.py, with
its keyword arguments).

Runs itself twice under `valgrind --tool=callgrind`: both runs import a
generated netlist once to warm the caches (PDK, ports, interned texts); the
first imports it a second time. The difference of the two totals is the cost
of one warm import (the installed modules carry no symbols to count a
function by). The count is the same from run to run for the same build and
input, whatever else the machine does, so it compares two builds where
timings on a shared machine cannot.
"""

from __future__ import annotations

import io
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
os.environ.setdefault("KORVANE_PROJECT_DIR", str(HERE.parent / "examples" / "demo_project"))

import gen_netlist  # noqa: E402


def imports(elements: int, workload: str, keywords: bool, count: int) -> None:
    import warnings

    import korvane.core.spicenet as sn

    text = gen_netlist.generate(elements, workload=workload)
    warnings.simplefilter("ignore")  # unresolved names without keyword arguments
    for _ in range(count):
        sn.parse_oc_spice(io.StringIO(text), **(gen_netlist.KWARGS if keywords else {}))


def total_instructions(args: list[str], count: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__, *args],
            env={**os.environ, "KORVANE_UNDER_CALLGRIND": str(count), "PYTHONHASHSEED": "0"},
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        summary = re.search(r"^(?:summary|totals):\s+(\d+)", out.read_text(), re.MULTILINE)
    if not summary:
        sys.exit("callgrind gave no summary")
    return int(summary.group(1))


def main() -> None:
    args = sys.argv[1:]
    elements = int(args[0]) if args else 10000
    workload = args[1] if len(args) > 1 else "base"
    keywords = not (len(args) > 2 and args[2] == "no-keywords")
    if os.environ.get("KORVANE_UNDER_CALLGRIND"):
        imports(elements, workload, keywords, int(os.environ["KORVANE_UNDER_CALLGRIND"]))
        return
    total = total_instructions(args, 2) - total_instructions(args, 1)
    label = workload + ("" if keywords else ", no keywords")
    print(f"{elements} element lines ({label}): {total} instructions, {total / elements:.0f} per element line")


if __name__ == "__main__":
    main()
