import copy

import pytest

from korvane.models import FactoryRecord


@pytest.mark.parametrize(
    ("source", "expected"), [("chip/cells.py", "chip/cells.py"), ("chip/../chip/a.py", "chip/a.py")]
)
def test_a_relative_source_is_taken_from_the_project_directory(project, source, expected):
    record = FactoryRecord(name="a", source=source)
    assert record.absolute_source() == project.root.resolve() / expected


def test_an_absolute_source_stays(project, tmp_path):
    assert (
        FactoryRecord(name="a", source=str(tmp_path / "x.py")).absolute_source()
        == tmp_path / "x.py"
    )


def test_equality_covers_every_field_and_copies_are_independent():
    record = FactoryRecord(name="a", source="a.py", status="OK", message="", line=3)
    twin = copy.deepcopy(record)
    assert twin == record and twin is not record
    twin.line = 4
    assert twin != record and record.line == 3
    assert FactoryRecord(name="a", source="a.py") == FactoryRecord(
        name="a", source="a.py", status="UNKNOWN", message="", line=None
    )


@pytest.mark.parametrize(
    ("field", "value", "error"),
    [
        ("status", "DONE", ValueError),
        ("name", 3, TypeError),
        ("source", "", ValueError),
        ("line", 0, ValueError),
        ("message", None, TypeError),
    ],
)
def test_bad_values_are_refused_when_built_and_when_set(field, value, error):
    fields = {"name": "a", "source": "a.py", field: value}
    with pytest.raises(error, match=f"FactoryRecord.{field}"):
        FactoryRecord(**fields)
    record = FactoryRecord(name="a", source="a.py")
    with pytest.raises(error):
        setattr(record, field, value)
    assert record == FactoryRecord(name="a", source="a.py")
