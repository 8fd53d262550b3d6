"""The import as one native pipeline (the module's own functions in place)
against the same import through the module globals (a function replaced by a
wrapper that calls it): results, key order, warnings and errors must agree."""

import io
import sys
import warnings
from pathlib import Path
from types import MappingProxyType, SimpleNamespace

import pytest

import korvane.core.spicenet as sn

sys.path.insert(0, str(Path(__file__).parent))
from _back_helpers import cell, model, pdk  # noqa: E402,F401

NETLIST = """\
* every form of the dialect
.subckt leaf a b lsub=2u
R1 a n1 r=10k $ location=(1.5,2,90)
C2 n1\tn2 c=5p * location=(o1)(-3,4,180)
X3 n2  n3 straight width=0.5u name="n7" pts={1,2} w='wg' g='lsub' loss=0.25
E4 n4 n5 vcvs n3 n6 2.5
G5 n5 n6 vccs n4 n4b gain=0.1 7
X6 n4b b taper length=1e-3
+ extra=3M
+ tail=1_000.5

* a comment line
.ends leaf
.subckt top in out
X1 in mid leaf
X2 mid out leaf $ note
X3 out  in  unknown_part q=1
.ends top
"""

THROUGH_GLOBALS = [
    "_parse_into_ir",
    "_recursive_netlist_from_ir",
    "_netlist_from_subckt",
    "_parse_value",
    "_get_port",
    "_patch_settings",
    "_map_settings_keys",
    "_convert_um",
    "_is_probably_um",
    "_parse_location_comment",
    "_split_comments",
    "_strip_lines",
    "Conn",
]


@pytest.fixture(autouse=True)
def models(pdk):
    pdk.models.update(straight=model("o1", "o2"))
    pdk.cells.update(taper=cell("o1", "o2", "e1"))


def run(text, *args, **named):
    """(result as an ordered repr, warnings) of one import of `text`."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = sn.parse_oc_spice(io.StringIO(text), *args, **named)
    return repr(result), [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("name", THROUGH_GLOBALS)
def test_native_and_global_roads_agree(wrap, name):
    keymap, component_map = {"w": "width_um", "r": "resistance"}, {"leaf": "cell_leaf"}
    native = run(NETLIST, keymap, component_map, wg=0.45e-6)
    if name == "Conn":
        sn_conn = sn.Conn
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(sn, "Conn", type("Conn", (sn_conn,), {}))
            assert run(NETLIST, keymap, component_map, wg=0.45e-6) == native
        return
    calls = wrap(name)
    assert run(NETLIST, keymap, component_map, wg=0.45e-6) == native
    assert calls, f"{name} was not called through the module global"


BROKEN = [
    (".subckt t a\nX1 a m p\nX2 m q p\nX3 m r p\n.ends", sn.ParseError,
     "Net 'm' is connected to more than two ports: ['X1,o2', 'X2,o1', 'X3,o1']. This is currently not supported."),
    (".subckt t a\nX1 a p\n.ends\n.end", sn.ParseError, "Unsupported command: .end."),
    (".ends", sn.ParseError, ".ends before begin."),
    (".subckt t a\nX1 a p k=1=2\n.ends", ValueError, "too many values to unpack (expected 2)"),
    (".subckt t a\nX1 a p\n.ends $ location=(1,2)", None, None),
    (".subckt t a\nX1 a p * location=(1,2)\n.ends", ValueError, "need more than 2 values to unpack"),
    (".subckt\n", IndexError, "list index out of range"),
    (".subckt t a\nX1\n.ends", IndexError, "tuple index out of range"),
    (".subckt t a\nX1 a p w=''\n.ends", SyntaxError, None),
]


@pytest.mark.parametrize("text, error, message", BROKEN)
@pytest.mark.parametrize("name", [None, "_recursive_netlist_from_ir", "_parse_into_ir"])
def test_failures_agree(wrap, text, error, message, name):
    if name:
        wrap(name)
    if error is None:
        assert run(text)[0] == "{'t': {'instances': {'X1': {'component': 'p', 'settings': {}}}, 'connections': {}, " \
                               "'ports': {'a': 'X1,o1'}, 'settings': {}, 'placements': {}}}"
        return
    with pytest.raises(error) as info:
        run(text)
    if message:
        assert str(info.value) == message


WARNING_NETLIST = """\
.subckt t a b
X1 a m p w='nothing'
X2 m a p
.ends
.subckt open x
X3 x y q
"""


@pytest.mark.parametrize("name", [None, "_netlist_from_subckt", "_parse_into_ir"])
def test_warnings_agree(wrap, name):
    if name:
        wrap(name)
    _, caught = run(WARNING_NETLIST)
    assert [str(m) for _, m in caught] == [
        "Could not parse 'nothing'. Setting it to None (to be specified during the circuit call). "
        "You can also set the value of 'nothing' as a keyword argument of kv.parse_oc_spice",
        "Subcircuit 'open' is not closed by .ends; its elements are ignored.",
        "Port 'a' is connected to more than one pin: ['X1,o1', 'X2,o2']. Only the last one is kept.",
    ]


def test_function_replaced_during_the_import_takes_effect(pdk, monkeypatch):
    # Building the cell of "late" replaces _patch_settings: the elements after
    # it see the replacement, the one before does not.
    def late():
        monkeypatch.setattr(sn, "_patch_settings", lambda settings, keymap: {"replaced": True})
        return cell("o1", "o2")()

    pdk.cells["late"] = late
    result = sn.parse_oc_spice(io.StringIO(".subckt t a b\nX1 a m early x=1\nX2 m n late x=1\nX3 n b early x=1\n.ends"))
    settings = [i["settings"] for i in result["t"]["instances"].values()]
    assert settings == [{"x": 1.0}, {"replaced": True}, {"replaced": True}]


@pytest.mark.parametrize(
    "text",
    ["0.1", "1.", ".5", "123456789012345", "1234567890123456", "9007199254740993", "1e22", "1e23", "-0",
     "0.000001", "1_000.5", "2.2250738585072014e-308", "4.9e-324", "1e400", "17976931348623157e292",
     "0.30000000000000004", "  7  "],
)
def test_numbers_round_as_float_does(text):
    assert repr(sn._parse_value(text)) == repr(float(text))


@pytest.mark.parametrize(
    "text",
    ["a  b\t\tc  \n  d", "x\u00a0 y\r\nz  ", "+ first\n+ second", "a\n\n+ b", "  \n\t\n", "r1 a b\n+\tc   d\n"],
)
def test_line_preparation_agrees_with_the_stages(wrap, text):
    native = list(sn._iter_relevant_lines(text))
    wrap("_strip_lines")
    assert list(sn._iter_relevant_lines(text)) == native


def test_port_patching_of_other_mappings():
    # Records whose maps are not plain dicts take the general road, to the same result.
    def netlist(wrap):
        return {
            "T": {"instances": {}, "connections": {}, "ports": {"a": "R1,minus", "b": "R1,plus"}},
            "top": {"instances": wrap({"X1": wrap({"component": "T"}), "X2": wrap({"component": "other"})}),
                    "connections": {"X1,o2": "X2,o1"}, "ports": {"p": "X1,o1", "q": "X2,o2"}},
        }

    plain, other = netlist(dict), netlist(MappingProxyType)
    sn._patch_ports(plain)
    sn._patch_ports(other)
    for record in (plain, other):
        assert record["top"]["connections"] == {"X1,b": "X2,o1"}
        assert list(record["top"]["ports"].items()) == [("p", "X1,a"), ("q", "X2,o2")]
    bad = netlist(dict)
    bad["top"]["connections"] = {"X1,o1": "X2,o1,x"}
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        sn._patch_ports(bad)


EFFECTS = [
    # a warning of the first block comes after its look-ups and before the next block's
    (".subckt a p\nX1 p q c1\nX2 p q c2\n.ends\n.subckt b\nX3 r s c3\n.ends",
     ["c1", "c2", "warn", "c3"], None),
    # a location that fails stops the import before the next element is looked up
    (".subckt a\nX1 m n c1\nX2 n o c2 * location=(1,2)\nX3 o m c3\n.ends", ["c1", "c2"], ValueError),
    # an expression that warns sits between the look-ups of its element and the next
    (".subckt a\nX1 m n c1\nX2 n o c2 * location=('q',1,2)\nX3 o m c3\n.ends", ["c1", "c2", "warn", "c3"], None),
    # a net with three pins fails after the block's look-ups, before the next block's
    (".subckt a\nX1 m n c1\nX2 m n c2\nX3 m n c3\n.ends\n.subckt b\nX4 r s c4\n.ends",
     ["c1", "c2", "c3"], sn.ParseError),
]


@pytest.mark.parametrize("text, events, error", EFFECTS)
@pytest.mark.parametrize("name", [None, "_netlist_from_subckt"])
def test_port_look_ups_keep_their_place_among_effects(pdk, monkeypatch, wrap, text, events, error, name):
    seen = []
    for component in ("c1", "c2", "c3", "c4"):
        pdk.cells[component] = lambda component=component: seen.append(component) or cell("o1", "o2")()
    monkeypatch.setattr(warnings, "showwarning", lambda *args, **kwargs: seen.append("warn"))
    if name:
        wrap(name)
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        monkeypatch.setattr(warnings, "showwarning", lambda *args, **kwargs: seen.append("warn"))
        if error:
            with pytest.raises(error):
                sn.parse_oc_spice(io.StringIO(text))
        else:
            sn.parse_oc_spice(io.StringIO(text))
    assert seen == events


@pytest.mark.parametrize("replaced_by", ["c1", "c2"])
def test_a_location_reader_replaced_during_the_look_ups_reads_every_later_placement(pdk, monkeypatch, replaced_by):
    read = []
    own = sn._parse_location_comment

    def replacing_cell(component):
        def factory():
            if component == replaced_by:
                monkeypatch.setattr(sn, "_parse_location_comment", lambda comment: read.append(comment) or own(comment))
            return cell("o1", "o2")()
        return factory

    for component in ("c1", "c2", "c3"):
        pdk.cells[component] = replacing_cell(component)
    text = (".subckt a\nX1 m n c1 * location=(1,2,0)\nX2 n o c2 * location=(3,4,90)\n"
            "X3 o m c3 * location=(o1)(5,6,180)\n.ends")
    result = sn.parse_oc_spice(io.StringIO(text))
    # An element whose look-up replaced the reader is read by the replacement, as are the later ones.
    later = ["* location=(3,4,90)", "* location=(o1)(5,6,180)"]
    assert read == (later if replaced_by == "c2" else ["* location=(1,2,0)"] + later)
    assert result["a"]["placements"]["X3"] == {"x": 5.0, "y": 6.0, "rotation": 180.0, "port": "o1"}


REPLACED_PARSE_ERRORS = [
    # a callable giving an exception raises that exception
    (lambda message: KeyError(message), KeyError),
    # a callable giving an exception class raises an instance of it
    (lambda message: LookupError, LookupError),
    # anything else is the runtime's own complaint about what was raised
    (lambda message: "not an exception", TypeError),
    (str, TypeError),
]


@pytest.mark.parametrize("text", [".ends", ".subckt t a\nX1 a m p\nX2 m q p\nX3 m r p\n.ends"])
@pytest.mark.parametrize("replacement, error", REPLACED_PARSE_ERRORS)
@pytest.mark.parametrize("name", [None, "_recursive_netlist_from_ir", "_parse_into_ir"])
def test_a_replaced_parse_error_is_raised_as_python_raises_it(monkeypatch, wrap, text, replacement, error, name):
    if name:
        wrap(name)
    monkeypatch.setattr(sn, "ParseError", replacement)
    with pytest.raises(error) as info:
        run(text)
    if error is TypeError:
        assert str(info.value) == "exceptions must derive from BaseException"


def test_values_and_component_names_read_after_code_ran_are_read_afresh(monkeypatch):
    # The literal of X1 replaces _parse_value and changes the component map:
    # the settings after it, on the same line and later ones, go through the
    # replacement, and later lines are mapped by the changed map.
    component_map = {"other": "x"}
    runtime_ast = sn.ast

    def literal_eval(text):
        monkeypatch.setattr(sn, "_parse_value", lambda value, **named: f"read {value}")
        component_map["p"] = "mapped"
        return runtime_ast.literal_eval(text)

    monkeypatch.setattr(sn, "ast", SimpleNamespace(literal_eval=literal_eval))
    text = ".subckt t a b\nX1 a m p k='(3)' n=1\nX2 m b p n=2\n.ends"
    result = sn.parse_oc_spice(io.StringIO(text), component_map=component_map)
    instances = result["t"]["instances"]
    assert instances == {"X1": {"component": "p", "settings": {"k": 3, "n": "read 1"}},
                         "X2": {"component": "mapped", "settings": {"n": "read 2"}}}


def test_a_reading_function_replaced_while_reading_takes_effect_from_there(monkeypatch):
    # The literal '(3)' of X3 replaces _split_comments while the text is read:
    # the lines after it are split by the replacement, the records agree.
    text = ".subckt t a b\nX1 a m p\nX2 m n p $ before\nX3 n o p k='(3)'\nX4 o b p $ after\n.ends\n"
    expected = run(text)
    seen, own, runtime_ast = [], sn._split_comments, sn.ast

    def literal_eval(source):
        monkeypatch.setattr(sn, "_split_comments", lambda line: seen.append(line) or own(line))
        return runtime_ast.literal_eval(source)

    monkeypatch.setattr(sn, "ast", SimpleNamespace(literal_eval=literal_eval))
    assert run(text) == expected
    assert seen == ["X4 o b p $ after", ".ends"]


def test_a_warning_hook_that_replaces_a_reading_function_takes_effect_from_there(monkeypatch):
    # The unresolved name of X3 warns while the text is read; the hook that
    # shows the warning replaces _split_comments for the lines after it.
    text = ".subckt t a b\nX1 a m p\nX2 m n p $ before\nX3 n o p k='w'\nX4 o b p $ after\n.ends\n"
    expected = run(text)[0]
    seen, own = [], sn._split_comments

    def show(*args, **kwargs):
        monkeypatch.setattr(sn, "_split_comments", lambda line: seen.append(line) or own(line))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        assert repr(sn.parse_oc_spice(io.StringIO(text))) == expected
    assert seen == ["X4 o b p $ after", ".ends"]
