import copy
import importlib
import os
import pickle
import subprocess
import sys

import pytest

from korvane.core.lazy import lazy_import


@pytest.fixture
def module(tmp_path, monkeypatch):
    """The name of a module not imported yet, with `value` and `double`."""
    (tmp_path / "lazy_target.py").write_text("value = 42\n\ndef double(x):\n    return 2 * x\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield "lazy_target"
    sys.modules.pop("lazy_target", None)


def test_loading_the_module_imports_nothing_else_of_the_product():
    code = (
        "import sys, korvane.core.lazy\n"
        "ours = ('korvane', 'lumivar', 'nodalis')\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ours))"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    assert out.stdout.strip() == "['korvane', 'korvane.core', 'korvane.core.lazy']"


def test_the_import_waits_for_first_use_and_happens_once(module):
    handle, double = lazy_import(module), lazy_import(module, "double")
    assert module not in sys.modules
    assert handle.value == 42 and double(4) == 8
    first = sys.modules.pop(module)
    assert handle.double(1) == 2 and module not in sys.modules  # the resolved module is kept
    first.value = 7
    assert handle.value == 7


@pytest.mark.parametrize(
    ("args", "text"),
    [
        (("korvane.core.pdk",), "<lazy 'korvane.core.pdk'>"),
        (("natsort", "natsorted"), "<lazy 'natsort.natsorted'>"),
    ],
)
def test_repr_names_the_target_without_importing(args, text):
    assert repr(lazy_import(*args)) == text


def test_a_failed_import_is_tried_again(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    handle = lazy_import("lazy_later")
    with pytest.raises(ModuleNotFoundError):
        _ = handle.anything
    (tmp_path / "lazy_later.py").write_text("anything = 'found'\n")
    importlib.invalidate_caches()
    try:
        assert handle.anything == "found"
    finally:
        sys.modules.pop("lazy_later", None)


def test_a_missing_attribute_is_an_import_error(module):
    with pytest.raises(ImportError, match="cannot import name 'triple' from 'lazy_target'"):
        lazy_import(module, "triple")()


def test_copies_and_pickles_are_handles_for_the_same_target():
    handle = lazy_import("natsort", "natsorted")
    for twin in (copy.deepcopy(handle), pickle.loads(pickle.dumps(handle))):
        assert repr(twin) == repr(handle) and twin(["a10", "a2"]) == ["a2", "a10"]
