import collections.abc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane.core.spicenet as sn

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from _line_reference import reference_lines  # noqa: E402

STAGES = ["_chain", "_strip_lines", "_join_continuations", "_standardize_spaces", "_filter_empty"]


@pytest.mark.parametrize(
    "content, expected",
    [
        ("R1 a b 1k\n+ w=2\n+  l=3", ["R1 a b 1k w=2 l=3"]),
        ("X1 a b\n\n+ c", ["X1 a b", "c"]),
        ("* header\n+ tail", ["* header tail"]),
        ("+ x\ny", ["+ x", "y"]),
        ("a\t\tb   c", ["a b c"]),
        (" \t \n\n", []),
        ("\n", []),
        ("", []),
        ("a\r\nb\r\n+c\r\n", ["a", "b c"]),
        ("a\rb\x0bc\x0cd\x1ce\x1df\x1eg\x85h\u2028i\u2029j", list("abcdefghij")),
        ("a\x1fb", ["a b"]),  # a separator that is white space but no line boundary
        ("\u3000a\u00a0\u2003b\u202f\n+\u205fc\u1680", ["a b c"]),
        ("R1 a\u200bb", ["R1 a\u200bb"]),  # zero-width space is not white space
        ("x\udc80 y", ["x\udc80 y"]),  # lone surrogates pass through
    ],
)
def test_relevant_lines(content, expected):
    assert list(sn._iter_relevant_lines(content)) == expected


ALPHABET = "ab+* \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000\u200bé"


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=40))
def test_relevant_lines_match_runtime_text_rules(content):
    assert list(sn._iter_relevant_lines(content)) == reference_lines(content)


@settings(max_examples=100, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=40))
def test_composed_stages_match_the_single_pass(content):
    fast = list(sn._iter_relevant_lines(content))
    original = sn._standardize_spaces
    with pytest.MonkeyPatch.context() as m:
        m.setattr(sn, "_standardize_spaces", lambda lines: original(lines))
        assert list(sn._iter_relevant_lines(content)) == fast


def test_stream_is_lazy_and_a_generator():
    stream = sn._iter_relevant_lines("a\nb")
    assert isinstance(stream, collections.abc.Generator)
    assert next(stream) == "a"
    assert list(stream) == ["b"]


@pytest.mark.parametrize("name", STAGES)
def test_replaced_stage_is_used_and_stream_stays_lazy(monkeypatch, name):
    pulled = []

    def replacement(*args):
        pulled.append(name)
        return original(*args)

    original = getattr(sn, name)
    monkeypatch.setattr(sn, name, replacement)
    stream = sn._iter_relevant_lines("a\n+ b\nc  d")
    assert list(stream) == ["a b", "c d"]
    assert pulled


def test_stages_pull_on_demand():
    pulled = []

    def source():
        for line in [" a ", "+ b", "c", "d"]:
            pulled.append(line)
            yield line

    stream = sn._filter_empty(sn._join_continuations(sn._strip_lines(source())))
    assert pulled == []
    assert next(stream) == "a b"
    assert pulled == [" a ", "+ b", "c"]  # one line of look-ahead to end a statement


@pytest.mark.parametrize(
    "stage, items, expected",
    [
        (sn._strip_lines, ["  a \u3000", "b"], ["a", "b"]),
        (sn._join_continuations, ["a", "+ b ", "+c", "d"], ["a b c", "d"]),
        (sn._join_continuations, [], []),
        (sn._join_continuations, ["+ a", "+ b"], ["+ a b"]),
        (sn._standardize_spaces, [" a \t b\u2003"], [" a b "]),
        (sn._filter_empty, ["", "a", "", 0, "b"], ["a", "b"]),
    ],
)
def test_stages(stage, items, expected):
    assert list(stage(iter(items))) == expected


def test_stages_apply_string_operations_to_other_items():
    with pytest.raises(AttributeError, match="'int' object has no attribute 'strip'"):
        list(sn._strip_lines([1]))
    with pytest.raises(TypeError, match="expected string or bytes-like object"):
        list(sn._standardize_spaces([1]))
    assert list(sn._strip_lines([b" x "])) == [b"x"]


def test_stage_errors_surface_on_first_request():
    stream = sn._strip_lines(5)
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        next(stream)
    assert list(stream) == []


def test_generator_protocol():
    stream = sn._strip_lines(["a", "b"])
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        stream.send(1)
    assert stream.send(None) == "a"
    with pytest.raises(KeyError):
        stream.throw(KeyError("x"))
    assert list(stream) == []
    closed = sn._strip_lines(["a"])
    closed.close()
    assert list(closed) == []


def test_stop_iteration_inside_a_stage_becomes_runtime_error():
    class Line:
        def strip(self):
            raise StopIteration

    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        next(sn._strip_lines([Line()]))


@pytest.mark.parametrize(
    "line, expected",
    [
        ("R1 a b 10 $ note", ("R1 a b 10", "$ note")),
        ("C1 x y 1p * c", ("C1 x y 1p", "* c")),
        ("M1 d g s", ("M1 d g s", "")),
        ("* note $ more", ("* note", "$ more")),
        ("W={2*w}", ("W={2", "*w}")),
        ("* text", ("", "* text")),
        ("  a  ", ("  a  ", "")),
        ("x\u3000*\u3000y\u3000", ("x", "*\u3000y")),
    ],
)
def test_split_comments(line, expected):
    assert sn._split_comments(line) == expected


@pytest.mark.parametrize(
    "line, expected",
    [
        ("X1 a \"b c\" 'd e'", ["X1", "a", '"b c"', "'d e'"]),
        ("R1 a b 'w * 2'", ["R1", "a", "b", "'w * 2'"]),
        ("", [""]),
        ("a  b", ["a", "", "b"]),
        ("a 'b \"c d' e", ["a", "'b \"c d'", "e"]),
        ("a \"b 'c d\" e", ["a", "\"b 'c d\"", "e"]),
        ("a 'open quote b", ["a", "'open quote b"]),
        ("a\tb", ["a\tb"]),
    ],
)
def test_split_words(line, expected):
    words = sn._split_words(line)
    assert isinstance(words, collections.abc.Generator)
    assert list(words) == expected


def test_chain():
    assert sn._chain()(5) == 5
    assert sn._chain(lambda x: x + 1, lambda x: x * 10)(1) == 20
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        sn._chain()(1, 2)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sn._split_comments(1), "Argument 'line' has incorrect type (expected str, got int)"),
        (lambda: sn._split_words(None), "Argument 'line' has incorrect type (expected str, got NoneType)"),
        (lambda: sn._iter_relevant_lines(b"x"), "Argument 'content' has incorrect type (expected str, got bytes)"),
        (lambda: sn._split_comments(), "_split_comments() takes exactly 1 positional argument (0 given)"),
        (lambda: sn._strip_lines([], []), "_strip_lines() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_str_subclass_refused():
    class Text(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Text"):
        sn._split_comments(Text("a"))


# --- re-entry: what a source may do to the stream that pulls from it --------------------

def python_strip_lines(lines):
    """A generator of the same shape as a stage, for the runtime's own answer."""
    for line in lines:
        yield line.strip()


REENTRIES = {
    "next": lambda stream: next(stream),
    "send": lambda stream: stream.send(None),
    "throw": lambda stream: stream.throw(KeyError("x")),
    "close": lambda stream: stream.close(),
    "list": lambda stream: list(stream),
}


@pytest.mark.parametrize("action", REENTRIES)
@pytest.mark.parametrize("make", [python_strip_lines, sn._strip_lines, sn._filter_empty, sn._join_continuations,
                                  sn._standardize_spaces], ids=lambda f: f.__name__)
def test_stream_entered_from_its_own_source_is_already_executing(make, action):
    class Source:
        def __iter__(self):
            return self

        def __next__(self):
            REENTRIES[action](stream)
            return "a"

    stream = make(Source())
    with pytest.raises(ValueError, match="^generator already executing$"):
        next(stream)
    assert list(stream) == []  # the error ended it


# --- the word rule ---------------------------------------------------------------------

def reference_words(code):
    """The words of a code text as the word rule reads them, one character at a time."""
    words, word, mode = [], "", "char"
    for c in code:
        if c == " " and mode == "char":
            words.append(word)
            word = ""
            continue
        if c == '"' and mode in ("char", "string"):
            mode = "string" if mode == "char" else "char"
        elif c == "'" and mode in ("char", "eval"):
            mode = "eval" if mode == "char" else "char"
        word += c
    return words + [word]


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="ab \"'=", max_size=60))
def test_split_words_follows_the_word_rule(code):
    assert list(sn._split_words(code)) == reference_words(code)
