"""Registrations of a project in child processes, for the database tests.

    python _db_driver.py register PROJECT
        one full registration.
    python _db_driver.py kill PROJECT SAVED_DB POINTS
        for each point, the database is put back to SAVED_DB and a child
        registers the project and is killed (SIGKILL) at that point of its
        database update: an int k kills it when the k-th statement of the
        write transaction is about to run (0 is its BEGIN, the last its
        COMMIT), "after" once the update has returned, "count" lets it finish
        and reports how many statements the transaction had.
    python _db_driver.py race PROJECT ROUNDS
        each round removes the database, then two children register at the
        same moment (full and full, then full and one file, then two files).

Prints one JSON document: what each child did and the rows and integrity of
the database afterwards. The children are forked from this process once it
has built the PDK, so each costs a registration, not an interpreter start.
"""

import json
import os
import shutil
import signal
import sqlite3
import sys
import traceback
from pathlib import Path

from korvane import settings

COLUMNS = "name, source, status, message, line"


def database_files(db):
    return [db, db.with_name(db.name + "-wal"), db.with_name(db.name + "-shm")]


def state(db):
    """(rows, integrity) of the database as a new reader sees it."""
    if not db.exists():
        return [], "missing"
    connection = sqlite3.connect(db)  # a reader as the product opens one: recovers what a kill left
    try:
        tables = connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall()
        rows = connection.execute(f"SELECT {COLUMNS} FROM factories ORDER BY name").fetchall() if tables else []
        integrity = connection.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        connection.close()
    return [list(row) for row in rows], integrity


def arm(point, report):
    """Make this process die at `point` of its database update."""
    from korvane.core import database

    if point == "after":
        update = database.update_factories

        def update_then_die(**kwargs):
            update(**kwargs)
            os.kill(os.getpid(), signal.SIGKILL)

        database.update_factories = update_then_die
        return
    seen = [-1]  # statements of the write transaction so far, -1 before its BEGIN
    connect = sqlite3.connect

    def trace(sql):
        if seen[0] < 0 and not sql.startswith("BEGIN IMMEDIATE"):
            return
        seen[0] += 1
        if point == "count":
            os.write(report, b"%d\n" % seen[0])
        elif seen[0] == point:
            os.kill(os.getpid(), signal.SIGKILL)

    def traced_connect(*args, **kwargs):
        connection = connect(*args, **kwargs)
        connection.set_trace_callback(trace)
        return connection

    sqlite3.connect = traced_connect


def child(run, *args):
    """Fork; the child runs `run(*args)` and exits 0 (1 when it raised)."""
    pid = os.fork()
    if pid:
        return pid
    code = 0
    try:
        run(*args)
    except BaseException:  # noqa: BLE001 - reported on stderr, the exit code tells
        traceback.print_exc()
        code = 1
    finally:
        os._exit(code)


def outcome(pid):
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    return f"exit {os.WEXITSTATUS(status)}"


def kill(project, saved, points):
    import korvane.core.pdk as pk
    from korvane.core import database

    db = database.database_path()
    results = []
    for point in points:
        for path in database_files(db):
            path.unlink(missing_ok=True)
        shutil.copyfile(saved, db)
        read, write = os.pipe()

        def register(point=point, write=write):
            arm(point, write)
            pk.register_cells()

        pid = child(register)
        os.close(write)
        with os.fdopen(read) as counts:
            count = counts.read().split()
        done = outcome(pid)
        rows, integrity = state(db)
        results.append({"point": point, "child": done, "statements": len(count), "rows": rows,
                        "integrity": integrity})
    return results


def race(project, rounds):
    import korvane.core.pdk as pk
    from korvane.core import database

    db = database.database_path()
    files = {name: project / "demo_project" / f"{name}.py" for name in ("cells", "gen", "broken")}
    pairings = [
        ({}, {}),
        ({}, {"paths": [files["gen"]]}),
        ({"paths": [files["gen"]]}, {"paths": [files["cells"], files["broken"]]}),
    ]
    results = []
    for r in range(rounds):
        first, second = pairings[r % len(pairings)]
        for path in database_files(db):
            path.unlink(missing_ok=True)
        go_read, go_write = os.pipe()

        def register(kwargs, go_read=go_read):
            os.read(go_read, 1)  # both start together
            pk.register_cells(**kwargs)

        pids = [child(register, first), child(register, second)]
        os.close(go_read)
        os.write(go_write, b"gg")
        os.close(go_write)
        children = [outcome(pid) for pid in pids]
        rows, integrity = state(db)
        results.append({"round": r, "children": children, "rows": rows, "integrity": integrity})
    return results


def main(mode, project, *rest):
    project = Path(project)
    settings.set_project_dir(project)
    os.environ["KORVANE_LOG_LEVEL"] = "ERROR"
    import korvane.core.pdk as pk

    if mode == "register":
        pk.register_cells()
        return []
    pk.get_pdk()  # built once, before the children are forked
    if mode == "kill":
        saved, points = rest
        return kill(project, Path(saved), json.loads(points))
    return race(project, int(rest[0]))


if __name__ == "__main__":
    sys.stdout.write(json.dumps(main(*sys.argv[1:])))
