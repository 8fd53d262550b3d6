import os
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from korvane.core import database as db
from korvane.models import FactoryRecord


def record(name, source="chip/cells.py", status="UNKNOWN", message="", **fields):
    return FactoryRecord(name=name, source=source, status=status, message=message, **fields)


def open_files(path):
    fds = "/proc/self/fd"
    return [
        fd
        for fd in os.listdir(fds)
        if os.path.realpath(os.path.join(fds, fd)).startswith(str(path))
    ]


def test_records_round_trip_and_nothing_stays_open(project, monkeypatch):
    assert db.get_all_factories() == {} and not db.database_path().exists()  # reads create nothing
    absolute = str(project.package.resolve() / "cells.py")
    a, b, c = (
        record("a", line=3),
        record("b", absolute, "ERROR", "boom"),
        record("c", "chip/other.py"),
    )
    db.update_factories(add=[c, b, a])
    assert db.database_path() == project.root.resolve() / "build" / "korvane" / "factories.db"
    assert db.get_all_factories() == {"a": a, "b": b, "c": c}
    assert db.get_factories_by_name("c", "missing", "a") == {"c": c, "a": a}
    monkeypatch.chdir(project.package)
    assert db.get_factories_by_source("other.py", project.package / "cells.py", "none.py") == {
        "chip/other.py": ["c"],
        "chip/cells.py": ["a"],
        absolute: ["b"],
    }
    changed = record("a", "chip/moved.py", status="OK", line=9)
    db.update_factories(add=[changed], remove=["b"])
    assert db.get_all_factories() == {"a": changed, "c": c}
    assert open_files(db.database_path().parent) == []


def test_an_update_is_one_transaction(project):
    db.update_factories(add=[record("kept")])
    with pytest.raises(OverflowError):  # the second row cannot be stored
        db.update_factories(add=[record("new"), record("huge", line=2**70)], remove=["kept"])
    assert list(db.get_all_factories()) == ["kept"]
    assert open_files(db.database_path().parent) == []


@pytest.mark.parametrize(
    ("add", "remove", "error", "message"),
    [
        (["a"], [], TypeError, "FactoryRecord objects"),
        ([], [3], TypeError, "names to remove must be str"),
        ([record("a")], ["a"], ValueError, r"both added and removed: \['a'\]"),
    ],
)
def test_bad_updates_are_refused_before_anything_is_written(project, add, remove, error, message):
    with pytest.raises(error, match=message):
        db.update_factories(add=add, remove=remove)
    assert not db.database_path().exists()


def test_two_processes_write_at_once_and_the_records_persist(project):
    script = textwrap.dedent(
        """
        import sys
        from korvane.core import database as db
        from korvane.models import FactoryRecord
        for i in range(25):
            record = FactoryRecord(name=f"{sys.argv[1]}{i}", source="chip/x.py", line=i + 1)
            db.update_factories(add=[record])
        """
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    writers = [
        subprocess.Popen([sys.executable, "-c", script, prefix], env=env) for prefix in ("p", "q")
    ]
    assert [w.wait(timeout=120) for w in writers] == [0, 0]
    stored = db.get_all_factories()
    assert len(stored) == 50 and stored["q24"] == FactoryRecord(
        name="q24", source="chip/x.py", line=25
    )


def test_a_file_that_is_not_a_database_is_named_in_the_error(project):
    db.database_path().parent.mkdir(parents=True)
    db.database_path().write_text("not a database" * 100)
    with pytest.raises(sqlite3.DatabaseError, match=str(db.database_path())):
        db.get_all_factories()
    assert open_files(db.database_path().parent) == []
