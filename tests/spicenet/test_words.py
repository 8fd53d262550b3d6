from types import SimpleNamespace

import pytest

import korvane.core.spicenet as sn


@pytest.mark.parametrize(
    "words, expected",
    [
        ("out 0 vcvs inp inn 10", "inn inp out 0 vcvs inp= inn= gain=10"),
        ("out 0 VCVS inp inn 10", "inn inp out 0 VCVS inp= inn= gain=10"),
        ("o 0 cccs 1 2 3", "o 0 cccs gain=1 unknown1=2 unknown2=3"),
        ("o 0 vccs in+ x", "x o 0 vccs gain=in+ x="),
        ("o 0 ccvs gain=2 c 5", "c o 0 ccvs gain=2 c= gain=5"),
        ("a vccs b vcvs c", "c a vccs b vcvs c="),  # vcvs is searched first
        ("a b c", "a b c"),
        ("a \u3000Vcvs\u00a0 b", "b a \u3000Vcvs\u00a0 b="),  # stripped before comparing
        ("a \uff56cvs b", "a \uff56cvs b"),  # lower-cased by the runtime: no keyword
        ("a vcvs \u00f1ode", "\u00f1ode a vcvs \u00f1ode="),  # an identifier by the runtime's rules
    ],
)
def test_handle_sources(words, expected):
    given = words.split(" ")
    result = sn._handle_sources(given)
    assert result == expected.split(" ")
    assert result is not given


def test_handle_sources_takes_any_sequence():
    assert sn._handle_sources(("a", "b")) == ["a", "b"]
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        sn._handle_sources(5)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'strip'"):
        sn._handle_sources(["a", 5])


def test_ports_and_settings():
    words = ["a", "b=1", "c", "x="]
    assert sn._get_ir_ports(words) == ("a", "c")
    assert sn._get_ir_settings(words) == {"b": 1.0, "x": None}
    assert sn._get_ir_settings(["k=1", "j=2", "k=3"]) == {"k": 3.0, "j": 2.0}
    assert list(sn._get_ir_settings(["k=1", "j=2", "k=3"])) == ["k", "j"]
    assert sn._get_ir_settings(["w='words'"], words=4) == {"w": 4}


def test_settings_parse_values_through_the_module(monkeypatch):
    seen = []
    monkeypatch.setattr(sn, "_parse_value", lambda value, **named: seen.append((value, named)) or value)
    assert sn._get_ir_settings(["a=1", "b", "c='x'"], x=2) == {"a": "1", "c": "'x'"}
    assert seen == [("1", {"x": 2}), ("'x'", {"x": 2})]


def test_parent_id():
    assert sn._get_parent_id([]) == 0
    assert sn._get_parent_id([SimpleNamespace(id=3), SimpleNamespace(id=7)]) == 7


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: sn._get_ir_settings(["a=b=c"]), ValueError, "too many values to unpack (expected 2)"),
        (lambda: sn._get_ir_ports(("a",)), TypeError, "Argument 'words' has incorrect type (expected list, got tuple)"),
        (
            lambda: sn._get_ir_settings(type("L", (list,), {})()),
            TypeError,
            "Argument 'words' has incorrect type (expected list, got L)",
        ),
        (lambda: sn._get_parent_id(None), TypeError, "Argument 'parents' has incorrect type (expected list, got NoneType)"),
        (lambda: sn._get_ir_settings(), TypeError, "_get_ir_settings() takes exactly 1 positional argument (0 given)"),
        (lambda: sn._get_ir_ports([1]), TypeError, "argument of type 'int' is not iterable"),
        (lambda: sn._get_ir_settings([["="]]), AttributeError, "'list' object has no attribute 'split'"),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "words, expected, source",
    [
        ("a CCCS b ccvs c", "c a CCCS b ccvs c=", "ccvs"),  # ccvs comes before cccs in the search order
        ("a cccs b VcCs c", "c a cccs b VcCs c=", "VcCs"),
        ("a Cccs b", "b a Cccs b=", "Cccs"),
        ("a cccz b ccv c", "a cccz b ccv c", "c"),
        ("a vcvs1 b", "a vcvs1 b", "b"),
    ],
)
def test_source_keywords_in_search_order(read_ir, words, expected, source):
    assert sn._handle_sources(words.split(" ")) == expected.split(" ")
    # The reading of a netlist finds the same keyword.
    ir, _ = read_ir(f".subckt t x\nE1 {words}\n.ends")
    assert ir[2].component == source


def test_settings_walk_the_words_as_a_parse_changes_them(monkeypatch):
    words = ["a=1", "b=2", "c=3"]
    seen = []
    own = sn._parse_value

    def parse(value, **named):
        seen.append(value)
        if value == "1":
            words[1:] = ["d=4", ["="], "e=5"]
        return own(value, **named)

    monkeypatch.setattr(sn, "_parse_value", parse)
    with pytest.raises(AttributeError, match="'list' object has no attribute 'split'"):
        sn._get_ir_settings(words)
    assert seen == ["1", "4"]
