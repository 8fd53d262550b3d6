"""The README: its examples run as written, and its reference states what users meet."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import korvane.settings
import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
RUNNER = HERE / "readme_examples.py"

_spec = importlib.util.spec_from_file_location("readme_examples", RUNNER)
readme_examples = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(readme_examples)


def blocks(language):
    return [block for _, block in readme_examples.blocks(TEXT, language)]


def run_in(project, *args):
    """Python in a process of its own, in `project`, found as a reader's shell would find it."""
    env = {k: v for k, v in os.environ.items() if k not in ("KORVANE_PROJECT_DIR", "KORVANE_LOG_LEVEL")}
    return subprocess.run([sys.executable, *args], cwd=project, env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def project(tmp_path):
    copy = tmp_path / "demo_project"
    shutil.copytree(ROOT / "examples" / "demo_project", copy,
                    ignore=shutil.ignore_patterns("build", "__pycache__"))
    return copy


def test_the_examples_run_as_written_in_the_demo_project(project):
    result = run_in(project, str(RUNNER), str(README))
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^\d+ examples, [1-9]\d* SPICE blocks, 0 failed$", result.stdout, re.MULTILINE)


@pytest.mark.parametrize("operation", [
    "parse_oc_spice", "get_pdk", "get_base_pdk", "activate_pdk_by_name", "register_cells", "freeze"])
def test_every_public_operation_has_an_example(operation):
    calls = [line for block in blocks("pycon") for line in block.splitlines()
             if line.startswith((">>> ", "... ")) and re.search(rf"\b{operation}\(", line)]
    assert calls


def test_the_configuration_example_is_what_the_project_settings_read(tmp_path):
    [config] = blocks("toml")
    (tmp_path / "pyproject.toml").write_text(config)
    assert set(tomllib.loads(config)["tool"]["korvane"]) == {"pdk", "is-pdk"}
    with korvane.settings.use_project(tmp_path):
        assert korvane.settings.get_project_name() == "demo_project"
        assert korvane.settings.get_pdk_name() == "generic"
        assert korvane.settings.is_a_pdk() is False


# What a user does wrong, and what the README's reference says comes of it.
# The cases run in this order in one process, in a copy of the demo project;
# the PDK is cached once built, so the cases of a missing PDK come first.
CASES = {
    "PDK not installed": "configure('my_pdk'); get_pdk()",
    "PDK not exposed": "Path('my_pdk').mkdir(); Path('my_pdk/__init__.py').write_text('')\n"
                       "try:\n    get_pdk()\nfinally:\n    configure('generic')",
    "unsupported command": "parse_oc_spice(io.StringIO('.subckt t a\\nR1 a b\\n.ends\\n.end'))",
    "ends first": "parse_oc_spice(io.StringIO('.ends'))",
    "net of three pins": "parse_oc_spice(io.StringIO("
                         "'.subckt t\\nX1 mid a straight\\nX2 mid b straight\\nX3 c mid straight\\n.ends'))",
    "unknown name": "parse_oc_spice(io.StringIO(\".subckt t a\\nR1 a b r='w'\\n.ends\"))",
    "unclosed block": "parse_oc_spice(io.StringIO('.subckt top a\\nR1 a b'))",
    "port on two pins": "parse_oc_spice(io.StringIO('.subckt t a\\nX1 a b straight\\nX2 a c straight\\n.ends'))",
    "two equals": "parse_oc_spice(io.StringIO('.subckt t a\\nR1 a b r=1=2\\n.ends'))",
    "two coordinates": "parse_oc_spice(io.StringIO('.subckt t a\\nR1 a b * location=(1,2)\\n.ends'))",
    "nameless block": "parse_oc_spice(io.StringIO('.subckt\\n.ends'))",
    "no component": "parse_oc_spice(io.StringIO('.subckt t a\\nX1\\n.ends'))",
    "derived map": "parse_oc_spice(io.StringIO(''), settings_keymap=collections.OrderedDict())",
    "named value by position": "parse_oc_spice(io.StringIO(''), None, None, 4)",
    "frozen": "get_base_pdk().name = 'mine'",
    "deprecated": "activate_pdk_by_name('gpdk')",
    "name not text": "activate_pdk_by_name(3)",
    "paths by position": "register_cells(['cells.py'])",
    "one path": "register_cells(paths='demo_project/cells.py')",
    "unknown cell": "freeze('x')",
    "YAML cell": "cell = lambda **settings: None\ncell.__module__ = 'chip_picyml'\n"
                 "get_pdk().cells['x'] = cell\nfreeze('x')",
    "no instances": "freeze('straight')",
    "cell name not text": "freeze(3)",
    "settings by position": "freeze('mzi', 10.0)",
}

OUTCOMES = """
import collections, io, json, re, sys, warnings
from pathlib import Path
from korvane.core.freeze import freeze
from korvane.core.pdk import activate_pdk_by_name, get_base_pdk, get_pdk, register_cells
from korvane.core.spicenet import parse_oc_spice

def configure(pdk):
    path = Path('pyproject.toml')
    path.write_text(re.sub(r'(?m)^pdk = .*$', f'pdk = "{pdk}"', path.read_text()))

outcomes = {}
for label, code in json.loads(sys.argv[1]).items():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        try:
            exec(code, dict(globals()))
        except Exception as error:
            outcomes[label] = [type(error).__name__, str(error)]
            continue
    outcomes[label] = [caught[0].category.__name__, str(caught[0].message)] if caught else None
print(json.dumps(outcomes))
"""


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    project = tmp_path_factory.mktemp("errors") / "demo_project"
    shutil.copytree(ROOT / "examples" / "demo_project", project,
                    ignore=shutil.ignore_patterns("build", "__pycache__"))
    result = run_in(project, "-c", OUTCOMES, json.dumps(CASES))
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def shown_messages(kind):
    """The message of each row of the reference for an error or warning of `kind`."""
    for row in TEXT.splitlines():
        if row.startswith(f"| `{kind}`"):
            shown = re.search(r"`([^`]*)`", row.split("|")[2])
            if shown:
                yield shown.group(1)


@pytest.mark.parametrize("case", CASES)
def test_the_error_reference_states_what_the_user_meets(outcomes, case):
    assert outcomes[case] is not None, "neither an error nor a warning"
    kind, message = outcomes[case]
    assert any(shown == message or shown.endswith(" ...") and message.startswith(shown[:-4])
               for shown in shown_messages(kind)), f"no row of the reference gives {kind}: {message}"
