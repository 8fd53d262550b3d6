"""The main job on the bundled demo project: `make demo`.

Registers the project's cells, imports its SPICE netlists and freezes a
composite cell, printing a short summary of each result; `--json` prints each
record in full as JSON as well. Log lines are shown at info level.

    python examples/demo.py [--json] [--project DIR] [--cell NAME]

The project is copied to a temporary directory first, so the factory database
that registration writes never lands in the source tree.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
from collections import Counter
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _names(names: list[str], limit: int = 6) -> str:
    shown = ", ".join(names[:limit])
    return shown + (f", ... ({len(names) - limit} more)" if len(names) > limit else "")


def summarize(record: dict[str, Any]) -> str:
    """One line per record: how many of each section, with the names worth seeing."""
    parts = []
    for key, value in record.items():
        if key == "settings":
            if value:
                parts.append("settings " + ", ".join(f"{k}={v!r}" for k, v in value.items()))
            continue
        noun = key.removesuffix("s")
        part = _plural(len(value), noun)
        if key == "instances" and value:
            components = Counter(str(i.get("component")) for i in value.values())
            part += " (" + ", ".join(c if n == 1 else f"{c} x{n}" for c, n in components.items()) + ")"
        elif key == "ports" and value:
            part += " (" + _names([str(name) for name in value]) + ")"
        parts.append(part)
    return ", ".join(parts)


def _jsonable(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if value is None or isinstance(value, (str, int, float)):
        return value
    return repr(value)


def show(title: str, record: dict[str, Any], as_json: bool) -> None:
    print(f"  {title}: {summarize(record)}", flush=True)
    if as_json:
        print(json.dumps(_jsonable(record), indent=2), flush=True)


def _cell_state(cell: Any) -> str:
    try:
        cell()
    except Exception as error:  # an error cell raises its file's import error
        return f"raises {type(error).__name__}: {error}"
    return "builds"


def run(project: Path, cell_name: str, as_json: bool) -> None:
    from korvane.core import database
    from korvane.core.freeze import freeze
    from korvane.core.pdk import get_base_pdk, get_pdk, register_cells
    from korvane.core.spicenet import parse_oc_spice

    print("== get_pdk(), get_base_pdk()")
    pdk = get_pdk()
    base = get_base_pdk()
    print(f"  project PDK {pdk.name!r}: {_plural(len(pdk.cells), 'cell')}, "
          f"{_plural(len(pdk.containers), 'container')}, {_plural(len(pdk.models), 'model')}")
    print(f"  base PDK {base.name!r}: a read-only {type(base).__name__}")

    print("== register_cells()", flush=True)
    added, removed = register_cells()
    print(f"  added or updated: {_names(added) or '-'}")
    print(f"  removed: {_names(removed) or '-'}")
    for name, record in database.get_all_factories().items():
        where = f"{record.source}:{record.line}" if record.line else record.source
        state = _cell_state(pdk.cells[name]) if name in pdk.cells else "not registered"
        print(f"  {name} ({where}): status {record.status}, {state}")

    netlists = sorted((project / "netlists").glob("*.sp"))
    for path in netlists:
        print(f"== parse_oc_spice({path.relative_to(project)})", flush=True)
        for name, record in parse_oc_spice(path).items():
            show(name, record, as_json)

    print(f"== freeze({cell_name!r})", flush=True)
    show(cell_name, freeze(cell_name), as_json)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print the full records as JSON as well")
    parser.add_argument("--project", type=Path, default=HERE / "demo_project",
                        help="the project directory (default: the bundled demo project)")
    parser.add_argument("--cell", default="splitter_tree",
                        help="the composite cell to freeze (default: splitter_tree)")
    args = parser.parse_args(argv)
    if not (args.project / "pyproject.toml").is_file():
        parser.error(f"{args.project} is not a project: it has no pyproject.toml")

    work = Path(tempfile.mkdtemp(prefix="korvane-demo-"))
    try:
        project = work / args.project.resolve().name
        shutil.copytree(args.project, project, ignore=shutil.ignore_patterns("build", "__pycache__"))
        os.environ["KORVANE_PROJECT_DIR"] = str(project)
        os.environ.setdefault("KORVANE_LOG_LEVEL", "INFO")
        run(project, args.cell, args.json)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
