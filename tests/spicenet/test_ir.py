import dataclasses
import io
import warnings
from pathlib import Path
from types import SimpleNamespace

import pytest

import korvane.core.spicenet as sn

Conn, Subckt = sn.Conn, sn.Subckt

NETLIST = """\
* demo netlist $ with both markers
.global gnd
.subckt inner a b w=1u
R1 a b r='w'
C1 a b
X1 a mid straight $ location=(o1)(1,2,90)
E1 mid 0 vcvs a b 10
.ends inner
.subckt top in out
X2 in n1 inner w='width' l='width'
+ extra=3 * after
X3 n1 out mmi
.ends
"""


def test_records_are_real_dataclasses():
    assert [f.name for f in dataclasses.fields(Subckt)] == [
        "id", "component", "ports", "settings", "parent_id", "children_ids"
    ]
    assert [f.name for f in dataclasses.fields(Conn)] == ["id", "name", "component", "ports", "settings", "parent_id"]
    assert (Subckt.__doc__, Conn.__doc__) == ("Subcircuit.", "Connection.")
    assert Subckt.__module__ == Conn.__module__ == "korvane.core.spicenet"
    assert issubclass(sn.ParseError, RuntimeError) and sn.ParseError.__doc__ == "Error while parsing spice."
    assert issubclass(sn.ParseWarning, Warning) and sn.ParseWarning.__doc__ == "Warning while parsing spice."


def test_small_netlist(read_ir):
    ir, comments = read_ir(".subckt top a b\nR1 a b r=10\n.ends")
    assert list(ir.items()) == [
        (2, Conn(2, "R1", "resistor", ("a", "b"), {"r": 10.0}, 1)),
        (1, Subckt(1, "top", ("a", "b"), {}, 0, (2,))),
    ]
    assert comments == {}


def test_full_netlist(read_ir):
    ir, comments = read_ir(NETLIST, width=0.5)
    assert list(ir) == [4, 5, 6, 7, 3, 10, 11, 9]
    assert ir[3] == Subckt(3, "inner", ("a", "b"), {"w": 1e-06}, 0, (4, 5, 6, 7))
    assert ir[4] == Conn(4, "R1", "resistor", ("a", "b"), {"r": 1e-06}, 3)
    assert ir[5] == Conn(5, "C1", "capacitor", ("a", "b"), {}, 3)
    assert ir[6] == Conn(6, "X1", "straight", ("a", "mid"), {}, 3)
    assert ir[7] == Conn(7, "E1", "vcvs", ("b", "a", "mid", "0"), {"a": None, "b": None, "gain": 10.0}, 3)
    assert ir[9] == Subckt(9, "top", ("in", "out"), {}, 0, (10, 11))
    assert ir[10] == Conn(10, "X2", "inner", ("in", "n1"), {"w": 0.5, "l": 0.5, "extra": 3.0}, 9)
    assert ir[11] == Conn(11, "X3", "mmi", ("n1", "out"), {}, 9)
    assert comments == {1: "$ with both markers", 6: "$ location=(o1)(1,2,90)", 10: "* after"}


def test_keyword_arguments_and_subcircuit_settings(read_ir):
    text = "* title\n.subckt top a w=2 u='w'\nX1 a mmi w='wl' v='w'\n.ends"
    ir, comments = read_ir(text, wl=0.5, w=9)
    assert comments == {1: "* title"}
    assert ir[2].settings == {"w": 2.0, "u": 9}
    assert ir[3] == Conn(3, "X1", "mmi", ("a",), {"w": 0.5, "v": 2.0}, 2)


def test_component_map(read_ir):
    text = ".subckt top a\nR1 a b\nC1 a b\nr1 a b c\nX1 a mmi\n.ends"
    cmap = {"resistor": "rpoly", "capacitor": "cmim", "c": "cc", "top": "TOP", "mmi": "mmi1x2"}
    ir, _ = read_ir(text, cmap)
    assert [ir[i].component for i in (2, 3, 4, 5, 1)] == ["rpoly", "cmim", "cc", "mmi1x2", "TOP"]
    assert ir[4].ports == ("a", "b")


def test_elements_outside_blocks_are_ignored_but_comments_kept(read_ir):
    ir, comments = read_ir("X0 a b $ before\n.subckt t a\n.ends * closing\nX9 a b $ after")
    assert list(ir) == [2]
    assert comments == {1: "$ before", 3: "* closing", 4: "$ after"}


def test_nested_blocks_collect_their_own_children(read_ir):
    text = ".subckt outer a\nX1 a p\n.subckt inner b\nX2 b q\n.ends\nX3 a r\n.ends"
    ir, _ = read_ir(text)
    assert list(ir) == [2, 4, 3, 6, 1]
    assert ir[3].children_ids == (4,) and ir[3].parent_id == 1
    assert ir[1].children_ids == (2, 6)
    assert ir[2].parent_id == ir[6].parent_id == 1


def test_open_blocks_warn_and_give_no_record():
    text = ".subckt Outer a\nX1 a p\n.subckt Inner b\nX2 b q\n"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ir, _ = sn._parse_oc_spice_into_ir(io.StringIO(text), {"Outer": "mapped"})
    assert list(ir) == [2, 4]
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (sn.ParseWarning, "Subcircuit 'Outer' is not closed by .ends; its elements are ignored.", __file__),
        (sn.ParseWarning, "Subcircuit 'Inner' is not closed by .ends; its elements are ignored.", __file__),
    ]


@pytest.mark.parametrize("content", ["", "\n", "  \n\t\n", "* only a comment"])
def test_empty_netlists(content, read_ir):
    ir, _ = read_ir(content)
    assert ir == {}


def test_quoted_numbers_are_numbers(read_ir):
    ir, _ = read_ir(".subckt t a\nX1 a m n='5' k='1e-6'\n.ends")
    assert ir[2].settings == {"n": 5.0, "k": 1e-06}


def test_named_values_may_share_parameter_names():
    names = {"value": 1, "words": 2, "lines": 3, "key_or_value": 4, "component_map": 5, "path_or_buf": 6}
    settings = " ".join(f"{k}='{k}'" for k in names)
    text = f".subckt t a {settings}\nX1 a m {settings}\n.ends"
    ir, _ = sn._parse_oc_spice_into_ir(io.StringIO(text), {}, **names)
    assert ir[1].settings == ir[2].settings == names


@pytest.mark.parametrize(
    "text, error, message",
    [
        (".SUBCKT x", sn.ParseError, "Unsupported command: .SUBCKT."),
        (".subckt x\n.ends\n.end", sn.ParseError, "Unsupported command: .end."),
        (".ends", sn.ParseError, ".ends before begin."),
        (".subckt", IndexError, "list index out of range"),
        (".subckt t a\nX1 w=1\n.ends", IndexError, "tuple index out of range"),
        (".subckt t a\nX1 a m k=1=2\n.ends", ValueError, "too many values to unpack (expected 2)"),
        (".subckt t a\nX1 a m k=''\n.ends", SyntaxError, None),
    ],
)
def test_failures(text, error, message, read_ir):
    with pytest.raises(error) as caught:
        read_ir(text)
    if message is not None:
        assert str(caught.value) == message
        assert type(caught.value) is error


# --- reading ------------------------------------------------------------------


class CountingStream(io.StringIO):
    reads = 0

    def read(self, *args):
        self.reads += 1
        return super().read(*args)


def test_stream_is_read_once_and_left_open():
    stream = CountingStream(".subckt t a\nX1 a m\n.ends")
    ir, _ = sn._parse_oc_spice_into_ir(stream, {})
    assert list(ir) == [2, 1]
    assert stream.reads == 1 and not stream.closed


@pytest.mark.parametrize("kind", [str, Path, lambda p: type("P", (), {"__fspath__": lambda self: p})()])
def test_paths_are_opened_and_closed(tmp_path, kind, open_fds):
    path = tmp_path / "n.sp"
    path.write_text(".subckt t a\nX1 a m\n.ends\n")
    before = open_fds()
    ir, _ = sn._parse_oc_spice_into_ir(kind(str(path)), {})
    assert list(ir) == [2, 1]
    assert open_fds() == before


@pytest.mark.parametrize(
    "content, error",
    [
        (b".ends\n", sn.ParseError),
        (b".subckt t a\nX1 a m k=''\n.ends\n", SyntaxError),
        (b"\xff\xfe\x00", UnicodeDecodeError),
    ],
)
def test_files_are_closed_when_parsing_fails(tmp_path, monkeypatch, content, error, open_fds):
    monkeypatch.setattr(sn, "open", lambda p: open(p, encoding="utf-8"), raising=False)
    path = tmp_path / "n.sp"
    path.write_bytes(content)
    before = open_fds()
    with pytest.raises(error):
        sn._parse_oc_spice_into_ir(path, {})
    assert open_fds() == before


def test_text_is_always_a_path():
    with pytest.raises(FileNotFoundError):
        sn._parse_oc_spice_into_ir(".subckt t a\n.ends", {})


def test_stream_must_give_text():
    with pytest.raises(TypeError, match=r"Argument 'content' has incorrect type \(expected str, got bytes\)"):
        sn._parse_oc_spice_into_ir(io.BytesIO(b".ends"), {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sn._parse_oc_spice_into_ir(io.StringIO(""), []), "Argument 'component_map' has incorrect type (expected dict, got list)"),
        (lambda: sn._parse_into_ir([], type("D", (dict,), {})()), "Argument 'component_map' has incorrect type (expected dict, got D)"),
        (lambda: sn._parse_into_ir([]), "_parse_into_ir() takes exactly 2 positional arguments (1 given)"),
        (lambda: sn._parse_into_ir([1], {}), "Argument 'line' has incorrect type (expected str, got int)"),
        (lambda: sn._parse_location_comment(None), "Argument 'comment' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


# --- late binding ------------------------------------------------------------


@pytest.mark.parametrize(
    "name",
    [
        "_iter_relevant_lines", "_parse_into_ir", "_strip_lines", "_split_comments", "_split_words",
        "_filter_empty", "_chain", "_handle_sources", "_get_ir_ports", "_get_ir_settings", "_get_parent_id",
        "_parse_value",
    ],
)
def test_replaced_functions_are_used_with_the_same_result(wrap, name, read_ir):
    expected = read_ir(NETLIST, width=0.5)
    calls = wrap(name)
    assert read_ir(NETLIST, width=0.5) == expected
    assert calls and all(called == name for called, *_ in calls)


def test_element_settings_see_keyword_arguments_under_subcircuit_settings(wrap, read_ir):
    calls = wrap("_get_ir_settings")
    read_ir(".subckt t a w=1 v=2\nX1 a m\n.ends", w=5, z=6)
    assert [kwargs for *_, kwargs in calls] == [{"w": 5, "z": 6}, {"w": 1.0, "z": 6, "v": 2.0}]


def test_parse_into_ir_takes_any_lines():
    ir, comments = sn._parse_into_ir(iter([".subckt t a", "X1 a m $ c", ".ends"]), {})
    assert list(ir) == [2, 1] and comments == {2: "$ c"}


def test_parse_into_ir_continues_a_started_line_stream():
    lines = sn._iter_relevant_lines("* skipped\n.ends\n.subckt t a\nX1 a m\n.ends")
    assert next(lines) == "* skipped"
    with pytest.raises(sn.ParseError):
        sn._parse_into_ir(lines, {})
    ir, _ = sn._parse_into_ir(lines, {})
    assert list(ir) == [2, 1]
    assert list(lines) == []


# --- location comments ------------------------------------------------------------


@pytest.mark.parametrize(
    "comment, expected",
    [
        ("* location=(10,20,0)", {"x": 10.0, "y": 20.0, "rotation": 0.0}),
        ("$ location=(o2)(1,2,180) flipped", {"x": 1.0, "y": 2.0, "rotation": 180.0, "port": "o2"}),
        ("* location=((o1))((1u,\t2\u3000,3))", {"x": 1e-06, "y": 2.0, "rotation": 3.0, "port": "o1"}),
        ("* location=(a,b,'r')", {"x": "a", "y": "b", "rotation": None}),
        ("* no placement", {}),
    ],
)
def test_location_comment(comment, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sn.ParseWarning)
        placement = sn._parse_location_comment(comment)
    assert placement == expected
    assert list(placement) == list(expected)


@pytest.mark.parametrize(
    "comment, message",
    [
        ("* location=(1,2)", "need more than 2 values to unpack"),
        ("* location= (1,2,3)", "need more than 1 value to unpack"),
        ("* location=(1,2,3,4)", "too many values to unpack (expected 3)"),
        ("* location=(1,2,3) location=(1,2,3)", "too many values to unpack (expected 2)"),
        ("* location=(a)(b)(1,2,3)", "too many values to unpack (expected 2)"),
    ],
)
def test_location_comment_errors(comment, message):
    with pytest.raises(ValueError) as caught:
        sn._parse_location_comment(comment)
    assert str(caught.value) == message


# --- functions replaced while reading ------------------------------------------------

READERS = {
    "content": lambda text, component_map, **named: sn._parse_oc_spice_into_ir(io.StringIO(text), component_map,
                                                                               **named),
    "lines": lambda text, component_map, **named: sn._parse_into_ir(text.splitlines(), component_map, **named),
    "stream": lambda text, component_map, **named: sn._parse_into_ir(sn._iter_relevant_lines(text), component_map,
                                                                      **named),
}


def quiet(read, text, component_map=None, **named):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sn.ParseWarning)
        return read(text, {} if component_map is None else component_map, **named)


@pytest.mark.parametrize("read", READERS.values(), ids=READERS)
@pytest.mark.parametrize("changed_by", ["_handle_sources", "_get_ir_ports"])
def test_open_blocks_are_read_from_the_list_get_parent_id_was_handed(monkeypatch, read, changed_by):
    # A replaced _get_parent_id keeps the list; a later replaced function
    # empties it, then gives it a block of its own: the element's parent is
    # whatever the list holds at that point.
    kept = []
    own_parent_id, original = sn._get_parent_id, getattr(sn, changed_by)
    monkeypatch.setattr(sn, "_get_parent_id", lambda parents: kept.append(parents) or own_parent_id(parents))
    foreign = SimpleNamespace(id=99, settings={"w": 5})

    def changing(words):
        for parents in kept:
            parents[:] = [foreign] if "q" in words else []
        return original(words)

    monkeypatch.setattr(sn, changed_by, changing)
    with pytest.raises(IndexError, match="list index out of range"):
        read(".subckt t a\nX1 a m\n.ends", {})
    kept.clear()
    ir, _ = quiet(read, ".subckt t a\nX1 a q v='w'\n")
    assert ir[2].parent_id == 99 and ir[2].settings == {"v": 5}


def replacing_while_reading(monkeypatch, name, replacement):
    """The literal '(3)' of a netlist replaces the module attribute `name` while it is read."""
    runtime_ast = sn.ast

    def literal_eval(text):
        monkeypatch.setattr(sn, name, replacement)
        return runtime_ast.literal_eval(text)

    monkeypatch.setattr(sn, "ast", SimpleNamespace(literal_eval=literal_eval))


HANDED_OVER = """\
.subckt done a
X1 a p
.ends
.subckt outer a w=1
X2 a q $ before
.subckt inner b
X3 b r k='(3)'
X4 b s $ after
.ends
X5 a t v='w'
.subckt open c
"""


@pytest.mark.parametrize("read", READERS.values(), ids=READERS)
def test_a_line_function_replaced_while_reading_reads_every_later_line(monkeypatch, read):
    expected = quiet(read, HANDED_OVER)
    seen = []
    own = sn._split_comments
    replacing_while_reading(monkeypatch, "_split_comments", lambda line: seen.append(line) or own(line))
    ir, comments = quiet(read, HANDED_OVER)
    assert seen == HANDED_OVER.splitlines()[7:]
    assert (list(ir.items()), comments) == (list(expected[0].items()), expected[1])
    assert list(ir) == [2, 1, 5, 7, 8, 6, 10]
    assert ir[6].children_ids == (7, 8) and comments == {5: "$ before", 8: "$ after"}
    assert all(type(record) in (sn.Conn, sn.Subckt) for record in ir.values())


@pytest.mark.parametrize("read", READERS.values(), ids=READERS)
def test_a_record_type_replaced_by_an_element_makes_its_record(monkeypatch, read):
    class Later(sn.Conn):
        pass

    replacing_while_reading(monkeypatch, "Conn", Later)
    ir, _ = quiet(read, HANDED_OVER)
    assert [type(ir[i]) for i in (2, 5, 7, 8, 10)] == [Conn, Conn, Later, Later, Later]
    assert ir[7].settings == {"k": 3} and ir[10].settings == {"v": 1.0}


@pytest.mark.parametrize("read", READERS.values(), ids=READERS)
def test_get_parent_id_replaced_by_a_subckt_header_gives_its_parent(monkeypatch, read):
    seen = []

    def parent_id(parents):
        seen.append([(type(p), p.id, p.children_ids) for p in parents])
        return 42

    replacing_while_reading(monkeypatch, "_get_parent_id", parent_id)
    ir, _ = quiet(read, ".subckt outer a\nX1 a p\n.subckt inner b k='(3)'\nX2 b q\n.ends\n.ends")
    assert seen == [[(Subckt, 1, ())]]
    assert list(ir) == [2, 4, 3, 1]
    assert (ir[3].parent_id, ir[3].settings, ir[1].parent_id) == (42, {"k": 3}, 0)
    assert ir[1].children_ids == (2,) and ir[3].children_ids == (4,)


@pytest.mark.parametrize("read", READERS.values(), ids=READERS)
@pytest.mark.parametrize("line, name", [("X{} a p straight", "straight"), ("R{} a p", "resistor")])
def test_a_component_map_changed_while_reading_maps_the_later_lines(monkeypatch, read, line, name):
    component_map = {"other": "x"}
    runtime_ast = sn.ast

    def literal_eval(text):
        component_map[name] = "mapped"
        return runtime_ast.literal_eval(text)

    monkeypatch.setattr(sn, "ast", SimpleNamespace(literal_eval=literal_eval))
    text = ".subckt t a\n" + "\n".join(line.format(i) for i in (1, 2)) + " k='(3)'\n" + line.format(3) + "\n.ends"
    ir, _ = quiet(read, text, component_map)
    assert [ir[i].component for i in (2, 3, 4)] == [name, name, "mapped"]
