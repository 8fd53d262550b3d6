"""PDK access: building, caching, freezing and activating the project PDK."""

from __future__ import annotations

import functools
import inspect
import sys
import types
import warnings

import lumivar
import pytest
from frozendict import frozendict

import korvane.settings

REFUSED = "Frozen PDK cannot be modified."


# --- building the project PDK ---------------------------------------------------


@pytest.mark.parametrize(
    "pdk_name, module_name, built",
    [
        ("GPDK", "lumivar.gpdk", "gpdk"),
        ("Generic", "lumivar.generic_tech", "generic"),
        ("generic", "lumivar.generic_tech", "generic"),
    ],
)
def test_generic_names_build_a_new_sample_pdk_from_a_reloaded_module(
    pdk, settings, pdk_name, module_name, built
):
    settings.pdk_name = pdk_name
    first = pdk._get_pdk()
    assert first.name == built
    loaded = sys.modules[module_name]
    builder = loaded.get_generic_pdk

    second = pdk._get_pdk.__wrapped__()

    assert second.name == built
    # A new object every run, not the sample module's own cached PDK ...
    assert second is not first and second is not loaded.get_generic_pdk()
    # ... from the module run again (its cached builder was replaced).
    assert sys.modules[module_name].get_generic_pdk is not builder
    assert pdk._get_pdk() is first


@pytest.mark.parametrize("pdk_name, project_name", [("gpdk", "GPDK"), ("generic", "Generic")])
def test_a_project_named_like_a_sample_pdk_imports_the_package_of_that_name(
    pdk, settings, packages, pdk_source, pdk_name, project_name
):
    packages.write(pdk_name, init=pdk_source("own"))
    settings.pdk_name, settings.project_name = pdk_name, project_name
    assert pdk._get_pdk().name == "own"


def test_a_reloaded_package_gives_way_to_its_pdk_submodule(pdk, settings, packages, pdk_source):
    packages.write("kvt_a", init=pdk_source("package"), pdk=pdk_source("submodule"))
    settings.pdk_name = "kvt_a"
    runs = packages.trace.runs

    assert pdk._get_pdk().name == "package"
    assert runs == ["kvt_a"]
    # Reloaded, but the submodule was never loaded: still the package's PDK.
    assert pdk._get_pdk.__wrapped__().name == "package"
    assert runs == ["kvt_a", "kvt_a"]

    __import__("kvt_a.pdk")
    runs.clear()
    assert pdk._get_pdk.__wrapped__().name == "submodule"
    assert runs == ["kvt_a", "kvt_a.pdk"]


def test_a_package_without_pdk_fails_and_nothing_is_cached(pdk, settings, packages, pdk_source):
    # The package loads its submodule but exposes no PDK itself; a first
    # import does not consult the submodule.
    packages.write("kvt_b", init="from . import pdk\n", pdk=pdk_source("submodule"))
    settings.pdk_name = "kvt_b"
    with pytest.raises(ImportError) as info:
        pdk.get_pdk()
    assert type(info.value) is ImportError
    assert str(info.value) == "Module 'kvt_b' does not expose a PDK in its __init__.py."
    assert pdk._get_pdk.cache_info().currsize == 0

    # The next call runs again; the package is loaded now, so it is reloaded
    # and its submodule is consulted.
    assert pdk._get_pdk().name == "submodule"


def test_a_missing_package_is_not_found_until_it_exists(pdk, settings, log, packages, pdk_source):
    settings.pdk_name = "kvt_missing"
    with pytest.raises(ModuleNotFoundError, match="kvt_missing"):
        pdk.get_pdk()
    packages.write("kvt_missing", init=pdk_source("late"))
    assert pdk.get_pdk().name == "late"


# --- get_pdk ------------------------------------------------------------------------


def test_get_pdk_builds_once_and_activates_on_every_call(pdk, settings, log, packages, pdk_source):
    packages.write("kvt_c", init=pdk_source("c") + "PDK.activate()\n")
    settings.pdk_name = "kvt_c"

    base = pdk.get_base_pdk()
    # Imported for the project PDK, reloaded once for the base PDK, whose
    # module activated it: the project PDK is active again afterwards.
    assert packages.trace.runs == ["kvt_c", "kvt_c"]
    project = lumivar.get_active_pdk()
    assert project is not base and type(project) is lumivar.Pdk
    assert log.lines == [("debug", "Froze base PDK: c")]

    assert pdk.get_pdk() is project
    assert log.lines[1:] == [("debug", "Activated PDK: c")]

    lumivar.Pdk("other").activate()
    assert pdk.get_pdk() is project and pdk.get_pdk() is project
    assert lumivar.get_active_pdk() is project
    assert packages.trace.runs == ["kvt_c", "kvt_c"]
    assert log.texts("debug")[2:] == ["Activated PDK: c", "Activated PDK: c"]


def test_get_pdk_reaches_its_collaborators_through_the_module_globals(pdk, log, monkeypatch):
    order = []
    project = lumivar.Pdk("replaced")
    monkeypatch.setattr(pdk, "get_base_pdk", lambda: order.append("base"))
    monkeypatch.setattr(pdk, "_get_pdk", lambda: order.append("project") or project)
    assert pdk.get_pdk() is project
    assert order == ["base", "project"]
    assert log.lines == [("debug", "Activated PDK: replaced")]


def test_a_failing_second_build_fails_get_pdk_until_it_succeeds(
    pdk, settings, log, packages, pdk_source
):
    packages.write("kvt_e", init=pdk_source("e"))
    settings.pdk_name = "kvt_e"
    project = pdk._get_pdk()
    packages.trace.fail.add("kvt_e")
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^cannot load kvt_e$"):
            pdk.get_pdk()
    assert pdk.get_base_pdk.cache_info().currsize == 0
    assert log.lines == []

    packages.trace.fail.clear()
    assert pdk.get_pdk() is project
    assert type(pdk.get_base_pdk()) is pdk.FrozenPdk


# --- the base PDK -----------------------------------------------------------------


def test_the_base_pdk_is_a_frozen_second_build(pdk, settings, log, packages, pdk_source):
    packages.write(
        "kvt_d",
        init=pdk_source(
            "d", cells="{'a': len}", layers="{'WG': [1, 0]}", connectivity="[['x', 'y', 'z']]"
        )
        + "PDK.extra = [{'k': 1}]\nPDK.count = 3\n",
    )
    settings.pdk_name = "kvt_d"
    project = pdk.get_pdk()
    base = pdk.get_base_pdk()

    assert type(base) is pdk.FrozenPdk and isinstance(base, lumivar.Pdk)
    assert base is not project and pdk.get_base_pdk() is base
    assert (base.name, base.count) == ("d", 3)
    assert type(base.cells) is frozendict and base.cells == {"a": len}
    assert type(base.models) is frozendict and base.models == {}
    # Lists become tuples, one level deep: what they hold stays as it was.
    assert base.connectivity == (["x", "y", "z"],) and base.extra == ({"k": 1},)
    assert base.layers == {"WG": [1, 0]} and type(base.layers["WG"]) is list
    with pytest.raises(TypeError):
        base.cells["b"] = abs
    assert repr(base) == "<FrozenPdk 'd': 1 cells, 0 containers, 0 models>"

    # The project PDK is a separate, mutable object.
    assert type(project) is lumivar.Pdk
    project.cells["b"] = abs
    project.connectivity.append(("p", "q", "r"))
    project.name = "renamed"
    assert "b" not in base.cells and len(base.connectivity) == 1 and base.name == "d"


@pytest.fixture
def frozen(pdk, settings, log):
    return pdk.get_base_pdk()


@pytest.mark.parametrize(
    "change",
    [
        lambda p: setattr(p, "name", "x"),
        lambda p: setattr(p, "brand_new", 1),
        lambda p: delattr(p, "cells"),
        lambda p: delattr(p, "never_there"),
        lambda p: p.__setattr__("models", {}),
        lambda p: p.__delattr__(name="layers"),
    ],
    ids=["set-existing", "set-new", "delete-existing", "delete-missing", "call-set", "call-del"],
)
def test_a_frozen_pdk_refuses_every_write_and_delete(frozen, change):
    before = dict(vars(frozen))
    with pytest.raises(AttributeError) as info:
        change(frozen)
    assert type(info.value) is AttributeError and str(info.value) == REFUSED
    assert vars(frozen) == before


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda p: p.__setattr__(1, 2), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda p: p.__delattr__(b"x"), "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda p: p.__setattr__("x"), "__setattr__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_frozen_pdk_methods_check_their_arguments(frozen, change, message):
    with pytest.raises(TypeError) as info:
        change(frozen)
    assert str(info.value) == message


def test_frozen_pdk_overrides_only_attribute_writes(pdk):
    cls = pdk.FrozenPdk
    assert cls.__bases__ == (lumivar.Pdk,)
    assert (cls.__module__, cls.__qualname__) == ("korvane.core.pdk", "FrozenPdk")
    assert cls.__doc__ == "A frozen PDK that prevents modification of its attributes."
    assert set(vars(cls)) == {"__module__", "__doc__", "__setattr__", "__delattr__"}
    assert list(inspect.signature(cls.__setattr__).parameters) == ["self", "name", "value"]


def test_the_same_object_from_the_second_build_is_copied_before_freezing(
    pdk, settings, log, monkeypatch
):
    shared = lumivar.Pdk("shared", cells={"a": len}, connectivity=[("a", "b", "c")])
    monkeypatch.setattr(pdk, "_get_pdk", functools.cache(lambda: shared))
    monkeypatch.setattr(pdk, "frozendict", types.MappingProxyType)

    base = pdk.get_base_pdk()

    assert base is not shared and type(base) is pdk.FrozenPdk
    assert type(base.cells) is types.MappingProxyType and base.cells == {"a": len}
    assert type(shared) is lumivar.Pdk
    assert type(shared.cells) is dict and type(shared.connectivity) is list
    assert log.lines == [("debug", "Froze base PDK: shared")]


def test_a_project_that_is_a_pdk_is_its_own_base_pdk(pdk, settings, log, monkeypatch):
    builds = []
    monkeypatch.setattr(pdk, "_get_pdk", functools.cache(lambda: builds.append(1) or lumivar.Pdk("p")))
    settings.is_pdk = True

    project = pdk.get_pdk()

    assert pdk.get_base_pdk() is project and type(project) is lumivar.Pdk
    project.extra = 1
    assert builds == [1]
    assert log.lines == [("debug", "Activated PDK: p")]


# --- activate_pdk_by_name -------------------------------------------------------------

IGNORED = (
    "The given 'name' argument 'other' will be ignored. "
    "Using 'generic' instead (as configured in 'pyproject.toml')."
)


@pytest.mark.parametrize(
    "args, kwargs, tail",
    [(("generic",), {}, ""), (("other",), {}, IGNORED), ((), {"name": "other"}, IGNORED)],
)
def test_activate_pdk_by_name_warns_and_acts_as_get_pdk(pdk, settings, log, args, kwargs, tail):
    with pytest.warns(DeprecationWarning) as caught:
        result = pdk.activate_pdk_by_name(*args, **kwargs)
    assert [str(w.message) for w in caught] == [
        "activate_pdk_by_name is deprecated, use get_pdk() instead. " + tail
    ]
    assert caught[0].filename == __file__
    assert result is pdk.get_pdk() is lumivar.get_active_pdk()


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.activate_pdk_by_name(1), "Argument 'name' has incorrect type (expected str, got int)"),
        (
            lambda p: p.activate_pdk_by_name(name=Text("generic")),
            "Argument 'name' has incorrect type (expected str, got Text)",
        ),
        (lambda p: p.activate_pdk_by_name(), "activate_pdk_by_name() takes exactly 1 positional argument (0 given)"),
        (lambda p: p.get_pdk(1), "get_pdk() takes exactly 0 positional arguments (1 given)"),
        (lambda p: p.get_base_pdk(None), "get_base_pdk() takes exactly 0 positional arguments (1 given)"),
        (lambda p: p._get_pdk.__wrapped__(x=1), "_get_pdk() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors_come_before_any_work(pdk, settings, call, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(TypeError) as info:
            call(pdk)
    assert str(info.value) == message
    assert settings.calls == []


# --- the module as a whole ------------------------------------------------------------


def test_module_layout_docstrings_and_caches(pdk):
    names = [name for name in vars(pdk) if not name.startswith("__")]
    assert names == [
        "m", "cg", "lv", "log", "settings", "frozendict", "imports", "db", "register_models",
        "get_pdk", "get_base_pdk", "activate_pdk_by_name", "FrozenPdk", "_get_pdk",
    ]
    assert pdk.__doc__ == "PDK Utilties."
    assert inspect.getdoc(pdk.get_pdk) == (
        "Import a PDK by name.\n\nReturns:\n    lv.Pdk: The imported PDK object.\n\n"
        "Raises:\n    ImportError: If the specified PDK cannot be found."
    )
    assert inspect.getdoc(pdk.get_base_pdk) == (
        "Get the base PDK, which is the generic PDK.\n\nReturns:\n    lv.Pdk: The base PDK object."
    )
    assert inspect.getdoc(pdk.activate_pdk_by_name) == (
        "Activate a PDK by name (deprecated).\n\nArgs:\n"
        "    name: Name of the PDK to activate. (deprecated, will be ignored)\n\n"
        "Returns:\n    lv.Pdk: The activated PDK object."
    )
    assert str(inspect.signature(pdk.activate_pdk_by_name)) == "(name)"
    for cached in (pdk.get_base_pdk, pdk._get_pdk):
        assert callable(cached.cache_clear) and cached.__wrapped__.__module__ == "korvane.core.pdk"


def test_end_to_end_with_the_project_settings_and_logger(pdk, tmp_path, monkeypatch, caplog):
    (tmp_path / "pyproject.toml").write_text(
        '[project]\nname = "chip"\n\n[tool.korvane]\npdk = "GPDK"\n'
    )
    monkeypatch.setenv("KORVANE_LOG_LEVEL", "DEBUG")
    with korvane.settings.use_project(tmp_path), caplog.at_level("DEBUG", logger="korvane"):
        project = pdk.get_pdk()
        base = pdk.get_base_pdk()
    assert project.name == base.name == "gpdk"
    assert type(base) is pdk.FrozenPdk and type(project) is lumivar.Pdk
    assert [r.getMessage() for r in caplog.records] == ["Froze base PDK: gpdk", "Activated PDK: gpdk"]
