"""The native reading pass against the reading through the module globals.

The native pass looks at sixteen bytes at a time (line ends, runs of spaces,
comment markers, spaces, "=" and quotes), keeps what it learnt about
expressions while nothing can have changed it, and stores its IR in blocks.
Each test puts the edge cases of that work (texts around sixteen bytes, marks
at every offset, imports larger than a block) against a road that does not
take it: a line function replaced by a wrapper sends every line through the
module functions on str objects."""

import io
import warnings
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane.core.spicenet as sn

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from _line_reference import reference_lines  # noqa: E402


def outcome(text, **named):
    """(IR and comments as a repr, or the error) and the warnings of one read."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = repr(sn._parse_oc_spice_into_ir(io.StringIO(text), {"straight": "wg"}, **named))
        except Exception as error:  # noqa: BLE001 - the error itself is compared
            result = (type(error), str(error))
    return result, [(w.category, str(w.message)) for w in caught]


def agree(wrap, text, **named):
    native = outcome(text, **named)
    wrap("_split_comments")
    wrap("_strip_lines")
    assert outcome(text, **named) == native, text
    return native


# --- line ends and runs of white space around sixteen bytes --------------------------

@pytest.mark.parametrize(
    "make",
    [
        lambda k: "x" * k + "  " + "y" * 20,      # two spaces at each offset
        lambda k: "x" * k + " y \n  z  ",         # single spaces, spaces at both ends
        lambda k: " " * k + "x\r\ny" + " " * k,   # runs of spaces across blocks
        lambda k: "x" * k + "\ty\u3000z\n",       # white space beyond " "
        lambda k: "x" * k + "\u2028y\x85z\r",     # boundaries beyond "\n"
        lambda k: "x" * k + "é  y\n+  z",         # text beyond ASCII, then a continuation
        lambda k: "x" * k,                        # the content ends the line
    ],
)
def test_relevant_lines_at_every_offset(make):
    # Near the end of the content the bytes are looked at one by one: each
    # text is read there and, followed by a long line, sixteen at a time.
    for k in range(40):
        for content in (make(k), make(k) + "\n" + "t" * 40):
            assert list(sn._iter_relevant_lines(content)) == reference_lines(content), repr(content)


# --- comments, words and "=" ---------------------------------------------------------

TOKENS = [
    "R1", "C2", "X3", "E4", "a", "n1", "node_with_a_long_name", "straight", "vcvs", "VCCS", "cCvS", "cccs",
    "vcv", "cccs5", "w=1", "l=2.5u", "x=1=2", "n='wl'", "g='lsub'", "q='nothing'", 'name="a b"', '"x=1"',
    "pts={1,2}", "v=1234567890123456789", "v=nan", "v=n60", "'", '"', "=", "$", "*", " ", "  ", "\t",
    "\u00a0", "é", "location=(1,2,90)",
]


def body(tokens, prefix=""):
    return ".subckt t a lsub=3\n" + prefix + "".join(tokens) + "\n.ends\n"


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=24), st.integers(0, 20))
def test_lines_split_as_the_module_functions_split_them(tokens, pad):
    with pytest.MonkeyPatch.context() as mp:

        def wrap(name):
            original = getattr(sn, name)
            mp.setattr(sn, name, lambda *args, **kwargs: original(*args, **kwargs))

        agree(wrap, body(tokens, "X" * pad + " "), wl=0.5)


@pytest.mark.parametrize(
    "line",
    [
        'X1 a "b * c" straight $ tail',      # a star inside quotes is still a comment marker
        'X1 a "b * c" straight',             # ... and without a "$" the comment starts there
        "X1 a p w=1 * c $ d",                # "$" wins over an earlier "*"
        "X1 a p 'w = 1' * c",                # spaces inside an expression
        "E1 a b vcvs c d 2.5 * vcvs",        # a keyword only in the comment
        "E1 a b VCVS c d gain=2 x=1",        # a keyword in capitals
        "vcvs a b c straight",               # a keyword as the name only
        "X1 a p w=1=2 * location=(1,2,3)",   # two "=" in a setting
        "X1 a p " + "w=1 " * 30 + "$ many settings",
    ],
)
def test_lines_with_markers_quotes_and_keywords(wrap, line):
    agree(wrap, body([line]), wl=0.5)


# --- numbers -------------------------------------------------------------------------

SCALE = {"p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3}


def reference_value(text):
    try:
        return float(text)
    except ValueError:
        pass
    try:
        return float(text[:-1]) * SCALE.get(text[-1].lower(), 1.0)
    except ValueError:
        return text


@pytest.mark.parametrize(
    "text",
    ["9007199254740992", "9007199254740993", "1234567890123456789", "12345678901234567890", "0000000000000000001",
     "0.0000000000000000001", "123456789012345678e-3", "1e22", "1e23", "1e-22", "-0.0e5", "nan", "NaN", "-inf",
     "Infinity", "nanu", "infm", "n60", "in", "i", "Nx", "1e", "2.5e+3k", "1_000.5u", "7\u0663"],
)
def test_numbers_read_as_the_runtime_reads_them(text):
    assert repr(sn._parse_value(text)) == repr(reference_value(text))
    # The same text as a setting of the native pass.
    ir, _ = sn._parse_oc_spice_into_ir(io.StringIO(f".subckt t a\nR1 a b v={text}\n.ends"), {})
    assert repr(ir[2].settings["v"]) == repr(reference_value(text))


# --- expressions ---------------------------------------------------------------------

def settings_of(ir):
    return [record.settings for record in ir.values() if isinstance(record, sn.Conn)]


def test_each_block_finds_its_own_value_of_a_name():
    text = ".subckt t a w=1\nX1 a p v='w'\n.ends\n.subckt u a w=2\nX2 a p v='w'\nX3 a p v='w'\n.ends"
    ir, _ = sn._parse_oc_spice_into_ir(io.StringIO(text), {}, w=9)
    assert settings_of(ir) == [{"v": 1.0}, {"v": 2.0}, {"v": 2.0}]


def test_eval_replaced_while_reading_takes_effect(monkeypatch):
    # The literal of X2 runs code that replaces _eval: X3 asks the new one
    # although X1 found the same name without it.
    asked = []
    runtime_ast = sn.ast

    def literal_eval(text):
        monkeypatch.setattr(sn, "_eval", lambda key, **named: asked.append((key, named)) or 7.0)
        return runtime_ast.literal_eval(text)

    monkeypatch.setattr(sn, "ast", SimpleNamespace(literal_eval=literal_eval))
    text = ".subckt t a w=1\nX1 a p v='w'\nX2 a p v='(3)'\nX3 a p v='w'\n.ends"
    ir, _ = sn._parse_oc_spice_into_ir(io.StringIO(text), {}, k=2)
    assert settings_of(ir) == [{"v": 1.0}, {"v": 3}, {"v": 7.0}]
    assert asked == [("w", {"k": 2, "w": 1.0})]


class Name(str):
    """A name that is a str, but not exactly one."""


def test_names_that_are_not_exactly_str_still_resolve():
    text = ".subckt t a\nX1 a p v='wl'\nX2 a p v='wl'\n.ends"
    ir, _ = sn._parse_oc_spice_into_ir(io.StringIO(text), {}, **{Name("wl"): 0.25})
    assert settings_of(ir) == [{"v": 0.25}, {"v": 0.25}]


# --- imports larger than a block of the IR -------------------------------------------

def test_large_import_agrees_with_the_module_functions(wrap):
    lines = [f"X{i} n{i} n{i + 1} straight w={i} g='lsub' * c{i}" if i % 3 else f"E{i} n{i} n{i + 1} vcvs m{i} 2"
             for i in range(1500)]
    native = agree(wrap, body(["\n".join(lines)]))
    assert "X1499" in native[0] and not native[1]


# --- quotes around sixteen bytes -----------------------------------------------------

@pytest.mark.parametrize(
    "make",
    [
        lambda k: "X1 " + "a" * k + " 'p \"q' r",          # a double quote inside an expression
        lambda k: "X1 " + "a" * k + ' "p \'q" r',          # a single quote inside a text
        lambda k: "X1 a " + " " * k + "w='1 2' v=\"x y\"",  # spaces inside both kinds of quote
        lambda k: "X1 a b " + "c" * k + " 'open to the end",
        lambda k: "X1 a b w='" + "x " * k + "' straight",
    ],
)
def test_quotes_at_every_offset(make):
    for k in range(20):
        with pytest.MonkeyPatch.context() as mp:

            def wrap(name):
                original = getattr(sn, name)
                mp.setattr(sn, name, lambda *args, **kwargs: original(*args, **kwargs))

            agree(wrap, body([make(k)]), wl=0.5)


# --- a relevant-line stream read by _parse_into_ir -------------------------------------

LEASED = (".subckt top a b\nX1 a b straight w='(1,2)'\n+ l=3\nX2 a  b   bend w='(3,4)'\n+  l=4\n"
          "X3 a b taper\n.ends\n")

# What code run while a line is read does to the stream of lines.
LEASE_ACTIONS = {
    "advance": lambda lines: next(lines, None),
    "close": lambda lines: lines.close(),
    "exhaust": list,
    "read again": lambda lines: sn._parse_into_ir(lines, {}),
}


def python_lines(content):
    yield from sn._iter_relevant_lines(content)


def read_while(monkeypatch, lines, seam, action):
    """_parse_into_ir of `lines`, the first expression (native road) or the
    first port look-up (road through the module globals) running `action`."""
    done = []

    def once():
        if not done:
            done.append(True)
            LEASE_ACTIONS[action](lines)

    if seam == "expression":
        runtime_ast = sn.ast
        monkeypatch.setattr(sn, "ast", SimpleNamespace(
            literal_eval=lambda text: once() or runtime_ast.literal_eval(text)))
    else:
        own = sn._get_ir_ports
        monkeypatch.setattr(sn, "_get_ir_ports", lambda words: once() or own(words))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = repr(sn._parse_into_ir(lines, {}))
        except Exception as error:  # noqa: BLE001 - the error itself is compared
            result = (type(error), str(error))
    return result, [str(w.message) for w in caught]


@pytest.mark.parametrize("action", LEASE_ACTIONS)
@pytest.mark.parametrize("seam", ["expression", "ports"])
def test_stream_read_by_the_import_is_a_suspended_generator(monkeypatch, seam, action):
    # The code run between two lines sees the stream as a suspended
    # generator, as it would see one written in Python; folded lines read
    # before it ran keep their text.
    native = read_while(monkeypatch, sn._iter_relevant_lines(LEASED), seam, action)
    monkeypatch.undo()
    assert native == read_while(monkeypatch, python_lines(LEASED), seam, action)
