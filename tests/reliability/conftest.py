"""Shared pieces of the reliability tests.

Tests marked `big` (the hostile sizes at full scale) are left out unless
KORVANE_BIG=1 is set, which `make soak` does. The property tests draw from
hypothesis profiles of `_fuzz_settings`. Every input a property test tries is
counted, and the counts are printed at the end of the run (and written to the
file named by KORVANE_FUZZ_COUNTS, for the fuzz driver).
"""

import json
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _fuzz_settings import TRIED  # noqa: E402

def pytest_configure(config):
    config.addinivalue_line("markers", "big: full-scale hostile input, run by `make soak` (KORVANE_BIG=1)")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("KORVANE_BIG") == "1":
        return
    kept, dropped = [], []
    for item in items:
        (dropped if item.get_closest_marker("big") else kept).append(item)
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


def pytest_terminal_summary(terminalreporter):
    if not TRIED:
        return
    terminalreporter.write_line(
        "inputs tried by the property tests: "
        + ", ".join(f"{name} {count}" for name, count in sorted(TRIED.items()))
        + f" (total {sum(TRIED.values())})"
    )
    if path := os.environ.get("KORVANE_FUZZ_COUNTS"):
        Path(path).write_text(json.dumps(dict(TRIED)))
