"""The main job on the bundled demo project: `make demo`.

Registers the project's cells, imports its SPICE netlists and freezes a
composite cell, printing a short summary of each result. `--json` prints the
full records as JSON as well.

    python examples/demo.py [--json] [--project DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def _jsonable(value):
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, complex):
        return str(value)
    return value


def _show(title: str, record: dict, as_json: bool) -> None:
    parts = []
    for key, value in record.items():
        parts.append(f"{len(value)} {key}" if isinstance(value, (dict, list, tuple)) else f"{key}={value!r}")
    print(f"  {title}: " + ", ".join(parts))
    if as_json:
        print(json.dumps(_jsonable(record), indent=2))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print the full records as JSON")
    parser.add_argument("--project", type=Path, default=HERE / "demo_project",
                        help="the project directory (default: the bundled demo project)")
    args = parser.parse_args(argv)

    # Work on a copy so the demo never writes into the source tree.
    work = Path(tempfile.mkdtemp(prefix="korvane-demo-"))
    project = work / args.project.name
    shutil.copytree(args.project, project, ignore=shutil.ignore_patterns("build", "__pycache__"))
    os.environ["KORVANE_PROJECT_DIR"] = str(project)
    os.environ.setdefault("KORVANE_LOG_LEVEL", "INFO")
    sys.path.insert(0, str(project))

    from korvane.core.freeze import freeze
    from korvane.core.pdk import get_base_pdk, get_pdk, register_cells
    from korvane.core.spicenet import parse_oc_spice

    try:
        print("== PDK")
        pdk = get_pdk()
        base = get_base_pdk()
        print(f"  active PDK {pdk.name!r}: {len(pdk.cells)} cells, {len(pdk.models)} models")
        print(f"  base PDK {base.name!r} is a {type(base).__name__}: "
              f"cells are a {type(base.cells).__name__}")

        print("== register_cells()")
        added, removed = register_cells()
        print(f"  added or updated: {added}")
        print(f"  removed: {removed}")
        for name in sorted(pdk.cells):
            cell = pdk.cells[name]
            if getattr(cell, "__module__", "").startswith(project.name):
                try:
                    cell()
                    state = "ok"
                except Exception as exc:  # an error cell reports its import failure
                    state = f"error cell: {type(exc).__name__}: {exc}"
                print(f"  {name}: {state}")

        print("== parse_oc_spice()")
        for path in sorted((project / "netlists").glob("*.sp")):
            records = parse_oc_spice(path)
            print(f" {path.name}: {len(records)} subcircuits")
            for name, record in records.items():
                _show(name, record, args.json)

        print("== freeze('splitter_tree')")
        _show("splitter_tree", freeze("splitter_tree", spacing=60.0), args.json)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
