"""The factory database under a registration that is killed, and under two
registrations at once.

A registration killed (SIGKILL) at any statement of its database update leaves
the database exactly as it was before the update or, once the update has
returned, as after it; never anything between, and never damaged. Two
processes registering at the same moment, on a new database or an existing
one, leave it as one registration does.

The children are forked by a driver process (_db_driver.py); `make soak` kills
the registration at every statement of the update instead of a sample.
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from _db_driver import state
from korvane import settings
from korvane.core import database
from korvane.models import FactoryRecord

HERE = Path(__file__).resolve().parent
DEMO = HERE.parents[1] / "examples" / "demo_project"


def cells_file(count, first_line_blank=False, prefix="g"):
    """A cell file with `count` cells; a blank first line moves every
    definition one line down, which changes every stored record."""
    lines = [""] if first_line_blank else []
    lines.append("import lumivar as lv")
    for i in range(count):
        lines += ["", "", "@lv.cell", f"def {prefix}{i}(*, width: float = {i}.5) -> lv.Component:",
                  "    return lv.Component()"]
    return "\n".join(lines) + "\n"


def driver(*args):
    done = subprocess.run([sys.executable, str(HERE / "_db_driver.py"), *map(str, args)], capture_output=True,
                          text=True, timeout=600, env=os.environ | {"PYTHONPATH": ""})
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    """The demo project with a file of 40 cells, registered once (the state
    before); then the file changes: 30 cells moved, 10 removed, 15 added, so
    that the next update writes and deletes records in one transaction."""
    root = tmp_path_factory.mktemp("db") / "demo_project"
    shutil.copytree(DEMO, root)
    gen = root / "demo_project" / "gen.py"
    gen.write_text(cells_file(40))
    driver("register", root)
    db = root / "build" / "korvane" / "factories.db"
    saved = db.with_name("before.db")
    shutil.copyfile(db, saved)
    gen.write_text(cells_file(30, first_line_blank=True) + cells_file(15, prefix="h").split("\n", 1)[1])
    [unkilled] = driver("kill", root, saved, json.dumps(["count"]))
    return type("Project", (), dict(root=root, saved=saved, before=state(saved)[0], after=unkilled["rows"],
                                    statements=unkilled["statements"]))


def test_the_update_changes_the_database(project):
    names = lambda rows: {row[0] for row in rows}  # noqa: E731
    assert {f"g{i}" for i in range(40)} <= names(project.before)
    assert names(project.after) == names(project.before) - {f"g{i}" for i in range(30, 40)} | {
        f"h{i}" for i in range(15)}
    # one BEGIN, a statement per record written or name removed, one COMMIT
    assert project.statements == 2 + 30 + 15 + 10


def kill_points(statements):
    if os.environ.get("KORVANE_BIG") == "1":
        return [*range(statements), "after"]
    return [0, 1, statements // 2, statements - 2, statements - 1, "after"]


def test_a_registration_killed_in_its_update_leaves_the_database_before_or_after(project):
    points = kill_points(project.statements)
    results = driver("kill", project.root, project.saved, json.dumps(points))
    print(f"killed at {len(results)} points ({project.statements} statements, then after the update):",
          {r["point"]: "before" if r["rows"] == project.before else "after" if r["rows"] == project.after else "?"
           for r in results})
    for result in results:
        assert result["child"] == "signal 9" and result["integrity"] == "ok", result
        # Up to and including its COMMIT the update has not happened; after it, all of it has.
        assert result["rows"] == (project.after if result["point"] == "after" else project.before), result["point"]


def test_two_registrations_at_once_leave_the_database_as_one_does(project):
    rounds = 12 if os.environ.get("KORVANE_BIG") == "1" else 6
    results = driver("race", project.root, rounds)
    for result in results:
        assert result["children"] == ["exit 0", "exit 0"] and result["integrity"] == "ok", result
        assert result["rows"] == project.after, result["round"]


HOLD_WRITE_LOCK = """
import sqlite3, sys, time
connection = sqlite3.connect(sys.argv[1], isolation_level=None)
connection.execute("BEGIN IMMEDIATE")
print("writing", flush=True)
time.sleep(0.3)
connection.execute("COMMIT")
"""


def test_a_new_database_waits_for_another_writer_instead_of_failing(tmp_path):
    """Another process writing to the file while a registration creates the
    database: the registration waits (as for any busy database) instead of
    failing with "database is locked"."""
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "p"\n')
    with settings.use_project(tmp_path):
        path = database.database_path()
        path.parent.mkdir(parents=True)
        holder = subprocess.Popen([sys.executable, "-c", HOLD_WRITE_LOCK, str(path)], stdout=subprocess.PIPE, text=True)
        try:
            assert holder.stdout.readline() == "writing\n"
            database.update_factories(add=[FactoryRecord(name="x", source="a.py")])
        finally:
            assert holder.wait(timeout=60) == 0
        assert list(database.get_all_factories()) == ["x"]
