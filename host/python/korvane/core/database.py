"""The factory database: one SQLite file per project.

The file is <project dir>/build/korvane/factories.db.  It is created, with its
folders, by the first write; reading a project that has none yet gives empty
results and creates nothing.  The database runs in write-ahead-log mode and
waits for a busy lock, so several processes may read and write it at once.
Every operation opens its own connection and closes it before returning.

Sources are stored as the records carry them (relative to the project
directory, or absolute).  `get_factories_by_source` accepts paths in any form
(absolute, or relative to the current directory) and finds the records of a
file in either form.
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
import time
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path

from korvane.core.lazy import lazy_import

__all__ = [
    "database_path",
    "get_all_factories",
    "get_factories_by_name",
    "get_factories_by_source",
    "update_factories",
]

m = lazy_import("korvane.models")
settings = lazy_import("korvane.settings")

SCHEMA_VERSION = 1
BUSY_TIMEOUT_SECONDS = 30.0
_BATCH = 500  # names per query, well below SQLite's limit on parameters
_COLUMNS = ("name", "source", "status", "message", "line")
_SCHEMA = """
CREATE TABLE IF NOT EXISTS factories (
    name    TEXT PRIMARY KEY,
    source  TEXT NOT NULL,
    status  TEXT NOT NULL,
    message TEXT NOT NULL,
    line    INTEGER
);
CREATE INDEX IF NOT EXISTS factories_by_source ON factories (source);
"""


def database_path() -> Path:
    """Return the path of the project's factory database."""
    return settings.get_project_dir() / "build" / "korvane" / "factories.db"


@contextlib.contextmanager
def _connect(*, create: bool) -> Iterator[sqlite3.Connection | None]:
    """Open the database, with its table when `create`; yield None if there is nothing to read."""
    path = database_path()
    if not create and not path.exists():
        yield None
        return
    if create:
        path.parent.mkdir(parents=True, exist_ok=True)
    connection = sqlite3.connect(path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None)
    try:
        yield connection if _prepare(connection, path, create) else None
    finally:
        connection.close()


def _prepare(connection: sqlite3.Connection, path: Path, create: bool) -> bool:
    """Check the schema version, creating the table when asked; return whether it exists."""
    try:
        version = connection.execute("PRAGMA user_version").fetchone()[0]
    except sqlite3.DatabaseError as error:
        raise sqlite3.DatabaseError(f"{path}: {error}") from error
    if version > SCHEMA_VERSION:
        raise RuntimeError(
            f"{path} was written by a newer version of the product (schema {version})"
        )
    if version == SCHEMA_VERSION:
        return True
    if not create:
        return False  # the file exists but no factory was ever written
    _use_wal(connection)
    connection.execute("BEGIN IMMEDIATE")
    for statement in filter(str.strip, _SCHEMA.split(";")):
        connection.execute(statement)
    connection.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
    connection.execute("COMMIT")
    return True


def _use_wal(connection: sqlite3.Connection) -> None:
    """Switch a new database to write-ahead logging.

    The switch needs the database to itself, and SQLite refuses it at once
    ("database is locked"), without its busy wait, while another connection
    is writing: another process creating the same new database.  So wait
    here, as long as the busy timeout.
    """
    deadline = time.monotonic() + BUSY_TIMEOUT_SECONDS
    while True:
        try:
            connection.execute("PRAGMA journal_mode=WAL")
            return
        except sqlite3.OperationalError as error:
            busy = error.sqlite_errorcode in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)
            if not busy or time.monotonic() >= deadline:
                raise
        time.sleep(0.005)


def _record(row: Sequence) -> object:
    return m.FactoryRecord(**dict(zip(_COLUMNS, row, strict=True)))


def _batches(items: Sequence) -> Iterator[Sequence]:
    for start in range(0, len(items), _BATCH):
        yield items[start : start + _BATCH]


def _check_texts(kind: str, values: Sequence) -> None:
    for value in values:
        if not isinstance(value, str):
            raise TypeError(f"{kind} must be str, not {type(value).__name__}: {value!r}")


def get_factories_by_name(*names: str) -> dict:
    """Return name -> stored FactoryRecord for those of `names` that are stored, in their order."""
    _check_texts("factory names", names)
    found = {}
    with _connect(create=False) as connection:
        if connection is not None:
            wanted = list(dict.fromkeys(names))
            for batch in _batches(wanted):
                marks = ",".join("?" * len(batch))
                rows = connection.execute(
                    f"SELECT {', '.join(_COLUMNS)} FROM factories WHERE name IN ({marks})", batch
                ).fetchall()
                found.update((row[0], row) for row in rows)
    return {name: _record(found[name]) for name in dict.fromkeys(names) if name in found}


def get_factories_by_source(*paths: str | os.PathLike[str]) -> dict:
    """Return source -> names (sorted) of the factories stored for each of `paths`.

    A file inside the project is found whether its records hold the source
    relative to the project directory or as an absolute path.  Only sources
    with stored factories are listed, in the order of `paths`.
    """
    if not paths:
        return {}
    project_dir = settings.get_project_dir()
    sources = list(dict.fromkeys(text for p in paths for text in _source_texts(p, project_dir)))
    names: dict[str, list[str]] = {}
    with _connect(create=False) as connection:
        if connection is not None:
            for batch in _batches(sources):
                marks = ",".join("?" * len(batch))
                rows = connection.execute(
                    f"SELECT source, name FROM factories WHERE source IN ({marks}) ORDER BY name",
                    batch,
                ).fetchall()
                for source, name in rows:
                    names.setdefault(source, []).append(name)
    return {source: names[source] for source in sources if source in names}


def get_all_factories() -> dict:
    """Return name -> FactoryRecord of every stored factory, ordered by name."""
    with _connect(create=False) as connection:
        if connection is None:
            return {}
        rows = connection.execute(
            f"SELECT {', '.join(_COLUMNS)} FROM factories ORDER BY name"
        ).fetchall()
    return {row[0]: _record(row) for row in rows}


def update_factories(*, add: Iterable = (), remove: Iterable[str] = ()) -> None:
    """Store the records of `add` and delete the factories named in `remove`, in one transaction.

    A stored record of the same name is replaced.  Either everything is
    written or, when something fails, nothing is.
    """
    add = list(add)
    remove = list(remove)
    record_type = m.FactoryRecord
    for record in add:
        if not isinstance(record, record_type):
            raise TypeError(f"add must hold FactoryRecord objects, not {type(record).__name__}")
    _check_texts("names to remove", remove)
    both = sorted({r.name for r in add} & set(remove))
    if both:
        raise ValueError(f"factories both added and removed: {both}")
    if not add and not remove:
        return
    rows = [tuple(getattr(record, column) for column in _COLUMNS) for record in add]
    with _connect(create=True) as connection:
        connection.execute("BEGIN IMMEDIATE")
        try:
            connection.executemany(
                f"INSERT INTO factories ({', '.join(_COLUMNS)}) VALUES (?, ?, ?, ?, ?) "
                "ON CONFLICT (name) DO UPDATE SET "
                + ", ".join(f"{c} = excluded.{c}" for c in _COLUMNS[1:]),
                rows,
            )
            connection.executemany("DELETE FROM factories WHERE name = ?", ((n,) for n in remove))
        except BaseException:
            connection.execute("ROLLBACK")
            raise
        connection.execute("COMMIT")


def _source_texts(path: str | os.PathLike[str], project_dir: Path) -> tuple[str, ...]:
    """Return the texts a record may hold as the source of `path` (relative, absolute)."""
    absolute = Path(path).resolve()
    if absolute.is_relative_to(project_dir):
        return absolute.relative_to(project_dir).as_posix(), str(absolute)
    return (str(absolute),)
