"""PDK access: building, caching, freezing and activating the project PDK."""

from __future__ import annotations

import functools
import logging
import sys
import types

import lumivar
import pytest
from frozendict import frozendict



def pdk_source(name, extra=""):
    return f"import lumivar\nPDK = lumivar.Pdk({name!r}{extra})\n"


@pytest.mark.parametrize(
    "pdk_name, module_name", [("GPDK", "lumivar.gpdk"), ("Generic", "lumivar.generic_tech")]
)
def test_generic_names_build_a_new_sample_pdk_from_the_reloaded_module(pdk, settings, pdk_name, module_name):
    settings.values["get_pdk_name"] = pdk_name
    first = pdk._get_pdk()
    builder = sys.modules[module_name].get_generic_pdk
    second = pdk._get_pdk.__wrapped__()
    assert first.name == second.name == pdk_name.lower()
    assert second is not first and second is not sys.modules[module_name].get_generic_pdk()
    assert sys.modules[module_name].get_generic_pdk is not builder  # the module was run again
    assert pdk._get_pdk() is first


@pytest.mark.parametrize("pdk_name, project_name", [("gpdk", "GPDK"), ("generic", "Generic")])
def test_a_project_named_like_a_sample_pdk_imports_its_own_package(pdk, settings, packages, pdk_name, project_name):
    packages.write(pdk_name, init=pdk_source("own"))
    settings.values.update(get_pdk_name=pdk_name, get_project_name=project_name)
    assert pdk._get_pdk().name == "own"


def test_a_reloaded_package_gives_way_to_its_pdk_submodule(pdk, settings, packages):
    packages.write("kvt_a", init=pdk_source("package"), pdk=pdk_source("submodule"))
    settings.values["get_pdk_name"] = "kvt_a"
    assert pdk._get_pdk().name == "package"
    assert pdk._get_pdk.__wrapped__().name == "package"  # reloaded; submodule never loaded
    __import__("kvt_a.pdk")
    assert pdk._get_pdk.__wrapped__().name == "submodule"
    assert packages.trace.runs == ["kvt_a", "kvt_a", "kvt_a.pdk", "kvt_a", "kvt_a.pdk"]


@pytest.mark.parametrize(
    "init, error, message",
    [
        # Exposes no PDK itself; a first import does not consult the submodule.
        ("from . import pdk\n", ImportError, "Module 'kvt_b' does not expose a PDK in its __init__.py."),
        (None, ModuleNotFoundError, "No module named 'kvt_b'"),
    ],
)
def test_a_missing_pdk_fails_and_nothing_is_cached(pdk, settings, log, packages, init, error, message):
    settings.values["get_pdk_name"] = "kvt_b"
    if init is not None:
        packages.write("kvt_b", init=init, pdk=pdk_source("late"))
    with pytest.raises(error) as info:
        pdk.get_pdk()
    assert type(info.value) is error and str(info.value) == message
    assert pdk._get_pdk.cache_info().currsize == 0
    if init is None:
        packages.write("kvt_b", init=pdk_source("late"))
    assert pdk.get_pdk().name == "late"


def test_get_pdk_builds_once_and_activates_on_every_call(pdk, settings, log, packages):
    packages.write("kvt_c", init=pdk_source("c") + "PDK.activate()\n")
    settings.values["get_pdk_name"] = "kvt_c"
    base = pdk.get_base_pdk()
    # Imported, then reloaded for the base PDK (whose module activates it):
    # the project PDK is made active again.
    project = lumivar.get_active_pdk()
    assert project is not base and type(project) is lumivar.Pdk
    assert log.lines == [("debug", "Froze base PDK: c")]
    for _ in range(2):
        lumivar.Pdk("other").activate()
        assert pdk.get_pdk() is project is lumivar.get_active_pdk()
    assert packages.trace.runs == ["kvt_c", "kvt_c"]
    assert log.texts("debug")[1:] == ["Activated PDK: c", "Activated PDK: c"]


def test_a_failing_second_build_fails_get_pdk_until_it_succeeds(pdk, settings, log, packages):
    packages.write("kvt_e", init=pdk_source("e"))
    settings.values["get_pdk_name"] = "kvt_e"
    project = pdk._get_pdk()
    packages.trace.fail.add("kvt_e")
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^cannot load kvt_e$"):
            pdk.get_pdk()
    packages.trace.fail.clear()
    assert pdk.get_pdk() is project and type(pdk.get_base_pdk()) is pdk.FrozenPdk


def test_the_base_pdk_is_a_frozen_second_build(pdk, settings, log, packages):
    extra = ", cells={'a': len}, layers={'WG': [1, 0]}, connectivity=[['x', 'y', 'z']]"
    packages.write("kvt_d", init=pdk_source("d", extra) + "PDK.count = 3\n")
    settings.values["get_pdk_name"] = "kvt_d"
    project, base = pdk.get_pdk(), pdk.get_base_pdk()
    assert type(base) is pdk.FrozenPdk and base is not project and pdk.get_base_pdk() is base
    assert type(base.cells) is frozendict and base.cells == {"a": len} and base.count == 3
    # One level deep: what the maps and lists hold stays as it was.
    assert base.connectivity == (["x", "y", "z"],) and base.layers == {"WG": [1, 0]}
    assert repr(base) == "<FrozenPdk 'd': 1 cells, 0 containers, 0 models>"
    project.cells["b"] = abs  # the project PDK stays mutable and separate
    project.name = "renamed"
    assert "b" not in base.cells and base.name == "d" and type(project) is lumivar.Pdk


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda p: setattr(p, "name", "x"), AttributeError, "Frozen PDK cannot be modified."),
        (lambda p: setattr(p, "brand_new", 1), AttributeError, "Frozen PDK cannot be modified."),
        (lambda p: delattr(p, "cells"), AttributeError, "Frozen PDK cannot be modified."),
        (lambda p: delattr(p, "never_there"), AttributeError, "Frozen PDK cannot be modified."),
        (lambda p: p.cells.pop("straight"), AttributeError, "'frozendict' object is read-only"),
        (lambda p: p.__setattr__(1, 2), TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda p: p.__delattr__(b"x"), TypeError, "Argument 'name' has incorrect type (expected str, got bytes)"),
    ],
)
def test_a_frozen_pdk_refuses_every_change(pdk, settings, log, change, error, message):
    base = pdk.get_base_pdk()
    before = dict(vars(base))
    with pytest.raises(error) as info:
        change(base)
    assert type(info.value) is error and str(info.value) == message
    assert vars(base) == before and len(base.cells) == 7


def test_the_same_object_from_the_second_build_is_copied_before_freezing(pdk, settings, log, monkeypatch):
    shared = lumivar.Pdk("shared", cells={"a": len}, connectivity=[("a", "b", "c")])
    monkeypatch.setattr(pdk, "_get_pdk", functools.cache(lambda: shared))
    monkeypatch.setattr(pdk, "frozendict", types.MappingProxyType)
    base = pdk.get_base_pdk()
    assert base is not shared and type(base) is pdk.FrozenPdk and type(base.cells) is types.MappingProxyType
    assert type(shared) is lumivar.Pdk and type(shared.cells) is dict and type(shared.connectivity) is list
    assert log.lines == [("debug", "Froze base PDK: shared")]


def test_a_project_that_is_a_pdk_is_its_own_base_pdk(pdk, settings, log, monkeypatch):
    builds = []
    monkeypatch.setattr(pdk, "_get_pdk", functools.cache(lambda: builds.append(1) or lumivar.Pdk("p")))
    settings.values["is_a_pdk"] = True
    project = pdk.get_pdk()
    assert pdk.get_base_pdk() is project and type(project) is lumivar.Pdk
    project.extra = 1
    assert builds == [1] and log.lines == [("debug", "Activated PDK: p")]


@pytest.mark.parametrize(
    "args, kwargs, tail",
    [
        (("generic",), {}, ""),
        ((), {"name": "other"}, "The given 'name' argument 'other' will be ignored. Using 'generic' instead (as configured in 'pyproject.toml')."),
    ],
)
def test_activate_pdk_by_name_warns_and_acts_as_get_pdk(pdk, settings, log, args, kwargs, tail):
    with pytest.warns(DeprecationWarning) as caught:
        result = pdk.activate_pdk_by_name(*args, **kwargs)
    assert [str(w.message) for w in caught] == ["activate_pdk_by_name is deprecated, use get_pdk() instead. " + tail]
    assert caught[0].filename == __file__
    assert result is pdk.get_pdk() is lumivar.get_active_pdk()


def test_module_layout(pdk):
    assert [name for name in vars(pdk) if not name.startswith("__")] == [
        "m", "cg", "lv", "log", "settings", "frozendict", "imports", "db", "register_models",
        "get_pdk", "get_base_pdk", "register_cells", "activate_pdk_by_name", "FrozenPdk", "_get_pdk",
        "_sort_paths", "_error_cell", "_import_modules", "_handle_import_errors", "_find_cells",
        "_get_database_updates", "_clean_containers_also_in_cells", "_filter_records_for_non_pdk_project",
    ]
    assert set(vars(pdk.FrozenPdk)) == {"__module__", "__doc__", "__setattr__", "__delattr__"}
    assert pdk.FrozenPdk.__bases__ == (lumivar.Pdk,) and pdk.FrozenPdk.__module__ == "korvane.core.pdk"


def test_activation_is_logged_through_the_product_logger(pdk, settings, packages, monkeypatch, caplog):
    # The module's own lazy `log`, resolved on first use and followed to the
    # product logger from then on; a replaced target module function is not
    # what the handle resolved, so the first one stays.
    import korvane.logger

    packages.write("kvt_l", init=pdk_source("l"))
    settings.values["get_pdk_name"] = "kvt_l"
    monkeypatch.setenv("KORVANE_LOG_LEVEL", "DEBUG")
    with caplog.at_level(logging.DEBUG, logger="korvane"):
        pdk.get_pdk()
        monkeypatch.setattr(korvane.logger, "get_logger", lambda: pytest.fail("the handle resolved already"))
        pdk.get_pdk()
    assert [r.getMessage() for r in caplog.records if r.name == "korvane"][-2:] == ["Activated PDK: l"] * 2
