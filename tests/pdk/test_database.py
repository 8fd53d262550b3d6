"""What a registration writes to the factory database, which records belong to
the project, and names held both as cell and container."""

from __future__ import annotations

import copy

import lumivar
import pytest


def stored(record, **changes):
    """The database's copy of a record, with some fields changed."""
    result = copy.deepcopy(record)
    for key, value in changes.items():
        setattr(result, key, value)
    return result


def test_a_first_registration_writes_every_record(pdk, platform, record):
    add, remove = pdk._get_database_updates({n: record(n, "chip/a.py") for n in "bca"}, {}, [])
    assert [r.name for r in add] == ["a", "b", "c"] and remove == []
    assert platform.log.lines == [
        ("info", "new factories: ['a', 'b', 'c']"), ("info", "updated factories: []"), ("info", "removed factories: []"),
    ]


def test_stored_records_are_written_only_when_they_changed(pdk, platform, record, tmp_path):
    static = {n: record(n, "chip/b.py" if n == "listed" else "chip/a.py", line=4) for n in ["same", "moved", "edited", "listed", "new"]}
    present = {
        "same": stored(static["same"], status="OK", message="fine"),
        "moved": stored(static["moved"], source=str(tmp_path / "chip/old.py"), status="OK"),
        "edited": stored(static["edited"], line=2, status="OK", message="fine"),
        "listed": stored(static["listed"], status="OK"),
        "gone": record("gone", "chip/a.py"),
        "also_gone": record("also_gone", "chip/a.py"),
    }
    add, remove = pdk._get_database_updates(static, present, [tmp_path / "chip/b.py"])

    assert [r.name for r in add] == ["edited", "listed", "moved", "new"] and remove == ["also_gone", "gone"]
    # Equal but for status and message: not written; it takes the stored ones.
    assert [(static[n].status, static[n].message) for n in ("same", "edited")] == [("OK", "fine")] * 2
    # Written because its source moved or its file was named: keeps its own.
    assert static["moved"].status == static["listed"].status == "UNKNOWN"
    assert platform.log.texts("info") == [
        "new factories: ['new']", "updated factories: ['edited', 'listed', 'moved']", "removed factories: ['also_gone', 'gone']",
    ]


@pytest.mark.parametrize(
    "stored_status, stored_message, written",
    [("UNKNOWN", "", True), ("ERROR", "older failure", True), ("ERROR", "it broke", False)],
)
def test_a_record_that_failed_in_this_run_keeps_its_failure(pdk, platform, record, stored_status, stored_message, written):
    failed = record("cell", "chip/a.py", status="ERROR", message="it broke")
    present = {"cell": stored(failed, status=stored_status, message=stored_message)}
    add, _ = pdk._get_database_updates({"cell": failed}, present, [])
    assert (failed.status, failed.message) == ("ERROR", "it broke") and add == ([failed] if written else [])


def test_the_filter_keeps_project_cells_and_base_pdk_cells(pdk, platform, record):
    files = {"top": "chip", "mine": "chip/deep/cells.py", "straight": "lib/cells.py", "foreign": "lib/cells.py",
             "sibling": "chip_extra/cells.py", "outside": "cells.py"}
    static = {name: record(name, file) for name, file in files.items()}
    kept = pdk._filter_records_for_non_pdk_project(static, platform.base)
    assert list(kept) == ["top", "mine", "straight"] and len(static) == 6
    assert all(kept[n] is static[n] for n in kept)
    assert platform.settings.calls == ["get_project_dir", "get_project_name"]


def factory(module):
    def make():
        pass

    make.__module__ = module
    return make


@pytest.mark.parametrize(
    "container_module, cell_module, winner",
    [
        ("chip.cells", "lumivar.samples", "container"),  # the project's package wins
        ("chip.cells", "chip.more", "container"),
        ("lumivar.samples", "chip.cells", "cell"),
        ("lumivar.samples", "other.cells", "cell"),  # between outsiders the cell wins
        ("chip", "lumivar.samples", "cell"),  # "chip" alone is not the project's package
        ("", "chip.cells", "cell"),  # a factory without module name loses ...
        (None, "chip.cells", "cell"),
        ("chip.cells", "", "container"),
        (None, None, "cell"),  # ... the container's is examined first
    ],
)
def test_a_name_in_both_maps_ends_up_in_one(pdk, platform, container_module, cell_module, winner):
    target = lumivar.Pdk("p", cells={"both": factory(cell_module), "only_cell": abs},
                         containers={"only_container": len, "both": factory(container_module)})
    assert pdk._clean_containers_also_in_cells(target) is None
    assert sorted(target.containers) == (["both", "only_container"] if winner == "container" else ["only_container"])
    assert sorted(target.cells) == (["both", "only_cell"] if winner == "cell" else ["only_cell"])


def test_the_same_object_as_cell_and_container_stays_a_container(pdk, platform):
    shared = factory("lumivar.samples")
    target = lumivar.Pdk("p", cells={"x": shared}, containers={"x": shared})
    pdk._clean_containers_also_in_cells(pdk=target)
    assert (target.cells, target.containers) == ({}, {"x": shared})


@pytest.mark.parametrize(
    "container_module, winner",
    [("lumivar.samples", None), ("chip.cells", "container")],  # the cell's module is asked only in the first
)
def test_a_cell_module_name_that_is_not_text_is_asked_for_its_prefix(pdk, platform, container_module, winner):
    target = lumivar.Pdk("p", cells={"both": factory(5)}, containers={"both": factory(container_module)})
    if winner is None:
        with pytest.raises(AttributeError, match="^'int' object has no attribute 'startswith'$"):
            pdk._clean_containers_also_in_cells(target)
        assert list(target.cells) == list(target.containers) == ["both"]
    else:
        pdk._clean_containers_also_in_cells(target)
        assert (list(target.cells), list(target.containers)) == ([], ["both"])
