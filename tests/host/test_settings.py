import pytest

from korvane import settings


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ('[project]\nname = "chip"\n', ("generic", "chip", False)),
        (
            '[project]\nname = "chip"\n[tool.korvane]\npdk = "my_pdk"\nis-pdk = true\n',
            ("my_pdk", "chip", True),
        ),
        ('[project]\nname = "gpdk"\n[tool.korvane]\npdk = "GPDK"\n', ("GPDK", "gpdk", False)),
    ],
)
def test_settings_come_from_the_project_file(project, text, expected):
    project.write("pyproject.toml", text)
    assert (settings.get_pdk_name(), settings.get_project_name(), settings.is_a_pdk()) == expected
    assert settings.get_project_dir() == project.root.resolve()


def test_the_project_is_found_upwards_from_the_current_directory(project, monkeypatch):
    monkeypatch.delenv("KORVANE_PROJECT_DIR")
    monkeypatch.chdir(project.package)
    assert settings.get_project_dir() == project.root.resolve()


def test_use_project_points_elsewhere_for_a_block(project, tmp_path):
    other = tmp_path / "other"
    other.mkdir()
    (other / "pyproject.toml").write_text('[project]\nname = "other"\n')
    with settings.use_project(other) as chosen:
        assert chosen == other.resolve() and settings.get_project_name() == "other"
    assert settings.get_project_name() == "chip"


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("[project\nname = 'x'\n", "is not valid TOML"),
        ('[tool.korvane]\npdk = "generic"\n', r"\[project\] name is missing"),
        (
            '[project]\nname = "chip"\n[tool.korvane]\npdk = 3\n',
            r"\[tool.korvane\] pdk must be a str",
        ),
        (
            '[project]\nname = "chip"\n[tool.korvane]\nis-pdk = "yes"\n',
            r"\[tool.korvane\] is-pdk must be a bool",
        ),
        ('tool = 1\n[project]\nname = "chip"\n', r"\[tool\] must be a table"),
        (
            '[project]\nname = "chip"\n[tool]\nkorvane = "generic"\n',
            r"\[tool.korvane\] must be a table",
        ),
    ],
)
def test_a_bad_project_file_is_reported_with_its_path(project, text, message):
    path = project.write("pyproject.toml", text)
    with pytest.raises(settings.SettingsError, match=message) as error:
        settings.get_pdk_name(), settings.get_project_name(), settings.is_a_pdk()
    assert str(path) in str(error.value)


@pytest.mark.parametrize("via", ["environment", "use_project"])
def test_a_directory_without_project_file_is_not_a_project(project, tmp_path, monkeypatch, via):
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(
        FileNotFoundError, match=f"no pyproject.toml in project directory '{empty}'"
    ):
        if via == "environment":
            monkeypatch.setenv("KORVANE_PROJECT_DIR", str(empty))
            settings.get_project_dir()
        else:
            with settings.use_project(empty):
                pass
    assert issubclass(settings.ProjectNotFoundError, FileNotFoundError)
