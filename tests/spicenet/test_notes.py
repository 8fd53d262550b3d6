"""The note an error gets when it ends an import: the source, the physical
lines of the statement and its text, the enclosing block, the elements on an
overconnected net; the error itself unchanged."""

import ast
import io
import sys
import warnings
from pathlib import Path

import pytest

import korvane.core.spicenet as sn

sys.path.insert(0, str(Path(__file__).parent))
from _back_helpers import model, pdk  # noqa: E402,F401

# Comment-only lines, blank lines and continuation lines before every fault;
# the statement after them starts on line 9.
PREFIX = [
    "* header comment",
    "",
    ".subckt top a b w=1",
    "+ l=2",
    "* a comment-only line",
    "\t ",
    "R1 a mid r=10",
    "+ $ a folded comment",
]
IN_TOP = ", in .subckt 'top' from line 3"


def syntax_error(text):
    try:
        ast.literal_eval(text)
    except SyntaxError as error:
        return error
    raise AssertionError(text)


def failing_model():
    raise LookupError("model failed")


# name: (lines from line 9 on, error type, message, where the note says it happened)
CASES = {
    "unsupported command": (["X1 mid b straight", ".end"], sn.ParseError, "Unsupported command: .end.",
                            ", line 10 (statement '.end')" + IN_TOP),
    "ends before begin": ([".ends", "", ".ends"], sn.ParseError, ".ends before begin.",
                          ", line 11 (statement '.ends')"),
    "nameless block": ([".subckt", "+ "], IndexError, "list index out of range",
                       ", lines 9-10 (statement '.subckt')" + IN_TOP),
    "no component": (["X1", "* x"], IndexError, "tuple index out of range", ", line 9 (statement 'X1')" + IN_TOP),
    "two equals": (["X1 mid b", "+ straight w=1=2"], ValueError, "too many values to unpack (expected 2)",
                   ", lines 9-10 (statement 'X1 mid b straight w=1=2')" + IN_TOP),
    "syntax error": (["X1 mid b straight", "+ w='(1'"], SyntaxError, str(syntax_error("(1")),
                     ", lines 9-10 (statement \"X1 mid b straight w='(1'\")" + IN_TOP),
    "two coordinates": (["X1 mid b straight * location=(1,2)"], ValueError, "need more than 2 values to unpack",
                        ", line 9 (statement 'X1 mid b straight * location=(1,2)')" + IN_TOP),
    "net of four pins": (["X1 mid b straight", "X2 mid", "+ x straight", "X3 c mid straight"], sn.ParseError,
                         "Net 'mid' is connected to more than two ports: ['R1,plus', 'X1,o1', 'X2,o1', 'X3,o2']. "
                         "This is currently not supported.",
                         IN_TOP + "; the net's pins are on lines 7, 9, 10 and 12"),
    "collaborator": (["X1 mid b straight", "X2 b", "+ a failing"], LookupError, "model failed",
                     ", lines 10-11 (statement 'X2 b a failing')" + IN_TOP),
}

# What is replaced on each road: nothing (the fused import), the reading and
# the assembly (the module globals), the assembly only (on the IR the fused
# reading made).
ROADS = {
    "fused": [],
    "globals": ["_split_comments", "_parse_value", "_netlist_from_subckt"],
    "materialised": ["_recursive_netlist_from_ir"],
}


@pytest.fixture
def source(request, tmp_path):
    """Imports a text from a path or a stream; gives the error and the note's source."""

    def run(text):
        if request.param == "path":
            path = tmp_path / "chip.sp"
            path.write_text(text)
            given, shown = str(path), repr(str(path))
        else:
            given, shown = io.StringIO(text), "<stream>"
        with pytest.raises(Exception) as info:
            sn.parse_oc_spice(given)
        return info.value, shown

    return run


@pytest.mark.parametrize("source", ["path", "stream"], indirect=True)
@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("case", CASES)
def test_the_note_says_where(pdk, wrap, source, road, case):  # noqa: F811
    pdk.models.update(straight=model("o1", "o2"), failing=failing_model)
    for name in ROADS[road]:
        wrap(name)
    lines, kind, message, where = CASES[case]
    error, shown = source("\n".join(PREFIX + lines + [".ends", ""]))
    assert type(error) is kind and str(error) == message
    assert error.__notes__ == ["while importing " + shown + where]
    if kind is SyntaxError:
        assert error.args == syntax_error("(1").args


def test_a_path_object_and_a_named_stream(tmp_path):
    path = tmp_path / "chip.sp"
    path.write_text(".ends\n")
    with pytest.raises(sn.ParseError) as info:
        sn.parse_oc_spice(path)
    assert info.value.__notes__ == [f"while importing {str(path)!r}, line 1 (statement '.ends')"]
    with open(path) as stream, pytest.raises(sn.ParseError) as info:
        sn.parse_oc_spice(stream)
    assert info.value.__notes__ == [f"while importing {str(path)!r}, line 1 (statement '.ends')"]


class Named(io.StringIO):
    def __init__(self, text, name):
        super().__init__(text)
        self._name = name

    @property
    def name(self):
        if isinstance(self._name, Exception):
            raise self._name
        return self._name


@pytest.mark.parametrize("name", [3, None, AttributeError("name"), ValueError("closed")])
def test_a_stream_without_a_text_name(name):
    with pytest.raises(sn.ParseError) as info:
        sn.parse_oc_spice(Named("\n.ends", name))
    assert info.value.__notes__ == ["while importing <stream>, line 2 (statement '.ends')"]


def test_reading_errors_name_the_source(tmp_path):
    missing = str(tmp_path / "missing.sp")
    with pytest.raises(FileNotFoundError) as info:
        sn.parse_oc_spice(missing)
    assert info.value.__notes__ == [f"while importing {missing!r}"]

    class Failing(io.StringIO):
        name = "live.sp"

        def read(self):
            raise OSError("gone")

    with pytest.raises(OSError) as info:
        sn.parse_oc_spice(Failing())
    assert info.value.__notes__ == ["while importing 'live.sp'"]


@pytest.mark.parametrize("replaced", ["_iter_relevant_lines", "_join_continuations", "_parse_oc_spice_into_ir"])
@pytest.mark.parametrize("case", ["two equals", "two coordinates", "net of four pins"])
def test_relevant_lines_from_a_replaced_function(pdk, wrap, replaced, case):  # noqa: F811
    # Positions among the relevant lines: 1 header, 2 .subckt, 3 comment,
    # 4 R1, then the lines of the case.
    pdk.models.update(straight=model("o1", "o2"))
    wrap(replaced)
    lines, kind, message, _ = CASES[case]
    with pytest.raises(kind) as info:
        sn.parse_oc_spice(io.StringIO("\n".join(PREFIX + lines + [".ends"])))
    assert str(info.value) == message
    [note] = info.value.__notes__
    expected = {
        # the reading still holds the statement's text; assembly knows the IR only
        "two equals": ", relevant line 5 (statement 'X1 mid b straight w=1=2')",
        "two coordinates": ", relevant line 5",
        "net of four pins": "; the net's pins are on relevant lines 4, 5, 6 and 7",
    }[case]
    block = ", in .subckt 'top' from relevant line 2"
    if case == "net of four pins":
        assert note == "while importing <stream>" + block + expected
    else:
        assert note == "while importing <stream>" + expected + block


def test_each_import_notes_its_own_error(pdk):  # noqa: F811
    # A model that imports a netlist of its own, which fails: the error gets
    # the note of the inner import, then the note of the outer one.
    def importing_model():
        sn.parse_oc_spice(io.StringIO("* inner\n.subckt in x\nR1 x y r=1=2\n.ends"))

    pdk.models.update(importing=importing_model)
    with pytest.raises(ValueError) as info:
        sn.parse_oc_spice(io.StringIO(".subckt top a\n\nX1 a importing\n.ends"))
    assert info.value.__notes__ == [
        "while importing <stream>, line 3 (statement 'R1 x y r=1=2'), in .subckt 'in' from line 2",
        "while importing <stream>, line 3 (statement 'X1 a importing'), in .subckt 'top' from line 1",
    ]
    # and an import after them starts afresh
    with pytest.raises(sn.ParseError) as info:
        sn.parse_oc_spice(io.StringIO(".ends"))
    assert info.value.__notes__ == ["while importing <stream>, line 1 (statement '.ends')"]


def test_an_error_caught_meanwhile_leaves_no_trace(pdk, monkeypatch):  # noqa: F811
    # The replaced function meets a located error, swallows it, and fails on
    # its own: the note is about the error that ended the import.
    original = sn._netlist_from_subckt

    def netlist_from_subckt(ir, subckt, keymap, comments=None):
        with pytest.raises(ValueError):
            original(ir, subckt, keymap, {k: "* location=(1,2)" for k in ir})
        raise KeyError("own")

    monkeypatch.setattr(sn, "_netlist_from_subckt", netlist_from_subckt)
    with pytest.raises(KeyError) as info:
        sn.parse_oc_spice(io.StringIO(".subckt top a\nR1 a b\n.ends"))
    assert info.value.__notes__ == ["while importing <stream>, in .subckt 'top' from line 1"]


def test_long_statements_and_crowded_nets_are_cut():
    long = "R1 a b " + " ".join(f"k{i}=1" for i in range(40)) + " z=1=2"
    with pytest.raises(ValueError) as info:
        sn.parse_oc_spice(io.StringIO(".subckt top a\n" + long + "\n.ends"))
    [note] = info.value.__notes__
    assert f"line 2 (statement {long[:97] + '...'!r})" in note

    elements = "\n".join(f"R{i} a{i} mid" for i in range(12))
    with pytest.raises(sn.ParseError) as info:
        sn.parse_oc_spice(io.StringIO(".subckt top\n" + elements + "\n.ends"))
    assert info.value.__notes__[0].endswith("; the net's pins are on lines 2, 3, 4, 5, 6, 7, 8, 9 and 4 more")


def test_a_note_that_cannot_be_added_leaves_the_error_as_it_was(pdk):  # noqa: F811
    class Stubborn(Exception):
        def add_note(self, note):
            raise MemoryError

    error = Stubborn("mine")

    def failing():
        raise error

    pdk.models.update(failing=failing)
    with pytest.raises(Stubborn) as info:
        sn.parse_oc_spice(io.StringIO(".subckt top a\nX1 a failing\n.ends"))
    assert info.value is error and not hasattr(error, "__notes__") and error.args == ("mine",)


def test_notes_already_there_are_kept(pdk):  # noqa: F811
    error = LookupError("mine")
    error.add_note("from the model")

    def failing():
        raise error

    pdk.models.update(failing=failing)
    with pytest.raises(LookupError) as info:
        sn.parse_oc_spice(io.StringIO(".subckt top a\nX1 a failing\n.ends"))
    assert info.value.__notes__ == ["from the model",
                                    "while importing <stream>, line 2 (statement 'X1 a failing'), in .subckt 'top' from line 1"]


def test_a_warning_made_an_error_is_located_and_warnings_stay_warnings():
    text = ".subckt top a\n* c\nR1 a b r='w'\n.ends"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sn.parse_oc_spice(io.StringIO(text))
    [warning] = caught
    assert warning.category is sn.ParseWarning and warning.filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error", sn.ParseWarning)
        with pytest.raises(sn.ParseWarning) as info:
            sn.parse_oc_spice(io.StringIO(text))
    assert str(info.value) == str(warning.message)
    assert info.value.__notes__ == ["while importing <stream>, line 3 (statement \"R1 a b r='w'\"), "
                                    "in .subckt 'top' from line 1"]


def test_the_line_numbers_are_those_of_splitlines():
    # Every line boundary of str.splitlines, CR LF as one.
    text = ".subckt top a\r\n\x0b\x0c* c\x1c\x1d\x1e\x85\u2028\u2029\rR1 a b\n+ r=1=2\n.ends"
    with pytest.raises(ValueError) as info:
        sn.parse_oc_spice(io.StringIO(text))
    first = text.splitlines().index("R1 a b") + 1
    assert info.value.__notes__ == [
        f"while importing <stream>, lines {first}-{first + 1} (statement 'R1 a b r=1=2'), in .subckt 'top' from line 1"]
