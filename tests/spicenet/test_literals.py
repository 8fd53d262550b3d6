"""The native literal reader against the runtime's ast.literal_eval: for every
text, the reader either declines (NotImplemented) or gives exactly the
runtime's value; texts the runtime refuses or warns about are always declined."""

import ast
import keyword
import sys
import types
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane.core.spicenet as sn

REFUSED = object()


def runtime(text):
    """literal_eval's value, or REFUSED when it raises or warns."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = ast.literal_eval(text)
        except Exception:
            return REFUSED
    return REFUSED if caught else value


def same(a, b):
    """Equal with the same types all the way down: float bits by repr (-0.0,
    inf), dict and set order included."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (float, complex)):
        return repr(a) == repr(b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return same(list(a.items()), list(b.items()))
    if isinstance(a, set):
        return same(list(a), list(b))
    return a == b


def read(text):
    """The reader's answer; it never warns."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = sn._read_literal(text)
    assert caught == []
    return value


def check(text):
    """The reader declines or agrees with the runtime; True when it answered."""
    value = read(text)
    if value is NotImplemented:
        return False
    expected = runtime(text)
    assert expected is not REFUSED, text
    assert same(value, expected), (text, value, expected)
    return True


# --- generated texts ---------------------------------------------------------------

# Between tokens inside brackets; the last few the reader leaves to the runtime.
gaps = st.sampled_from(["", "", "", " ", " ", "\t", "\n", " # note\n"] * 3 + ["\\\n", "\f", "\r\n", "\x0b"])

decimal_ints = st.one_of(
    st.integers(0, 2**70).map(str),
    st.integers(0, 10**40).map(lambda n: f"{n:_}"),
    st.from_regex(r"\A[0-9](_{0,2}[0-9]){0,5}_?\Z"),
)
based_ints = st.builds(
    lambda n, prefix, underscore: prefix + underscore + format(n, {"x": "x", "o": "o", "b": "b"}[prefix[1].lower()]),
    st.integers(0, 2**80),
    st.sampled_from(["0x", "0X", "0o", "0O", "0b", "0B"]),
    st.sampled_from(["", "", "_"]),
)
float_texts = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False).map(lambda f: repr(abs(f))),
    st.from_regex(r"\A[0-9_]{0,4}\.?[0-9_]{0,4}([eE][+-]?[0-9_]{0,4})?\Z"),
    st.sampled_from(["1e999", "1e-400", "5e-324", "2e-324", "0.", ".0", "1.e5", "00.5", "01e1"]),
)
reals = st.one_of(decimal_ints, based_ints, float_texts)
imaginaries = st.builds(lambda r, j: r + j, st.one_of(decimal_ints, float_texts), st.sampled_from("jJ"))
numbers = st.one_of(reals, imaginaries)
signs = st.sampled_from(["", "", "-", "+", "- ", "--"])
signed = st.one_of(st.builds(lambda s, n: s + n, signs, numbers),
                   st.builds(lambda s, n: s + "(" + n + ")", signs, numbers))
sums = st.builds(lambda a, op, b: a + op + b, signed, st.sampled_from(["+", "-", " - ", "+ -", "*"]), numbers)

string_pieces = st.one_of(
    st.text(st.characters(exclude_categories=["Cs"]), max_size=4),
    st.sampled_from([
        "\\n", "\\t", "\\a\\b\\f\\v\\r", "\\x41", "\\xff", "\\x4", "\\0", "\\07", "\\08", "\\377", "\\400",
        "\\u00e9", "\\u12", "\\U0001F600", "\\U00110000", "\\ud800", "\\udc00", "\\N{DASH}", "\\d", "\\8",
        "\\\\", "\\'", '\\"', "\\\n", "\n", "'", '"', "\\", "é", "\x00", "\r",
    ]),
)
string_literals = st.builds(
    lambda prefix, quote, pieces: prefix + quote + "".join(pieces) + quote,
    st.sampled_from(["", "", "r", "u", "U", "b", "B", "br", "rb", "Rb", "bR", "f", "rf", "ur", "bu"]),
    st.sampled_from(["'", '"', "'''", '"""']),
    st.lists(string_pieces, max_size=4),
)
strings = st.builds(lambda parts, gap: gap.join(parts), st.lists(string_literals, min_size=1, max_size=3),
                    st.sampled_from([" ", "", "\t", "\n"]))
atoms = st.one_of(
    numbers, signed, sums, strings,
    st.sampled_from(["True", "False", "None", "...", "set()", "set( )", "set(\n)", "set(1)", "x", "match",
                     "if", "Ellipsis", "nan", "inf", "()", "[]", "{}", "{**{}}", "[*()]", "(1)(2)", "1[0]",
                     "'a'.x", "not 1", "~1", "1 if 1 else 2", "f(1)", "1 < 2", "2/3", "(x:=1)", "...."]),
)


def displays(children):
    items = st.lists(st.builds(lambda a, c, b: a + c + b, gaps, children, gaps), max_size=4)
    pairs = st.lists(st.builds(lambda k, v, g: k + g + ":" + g + v, children, children, gaps), max_size=3)
    trailing = st.sampled_from(["", "", ","])
    return st.one_of(
        st.builds(lambda xs, t: "[" + ",".join(xs) + t + "]", items, trailing),
        st.builds(lambda xs, t: "(" + ",".join(xs) + t + ")", items, trailing),
        st.builds(lambda xs, t: "{" + ",".join(xs) + t + "}", items, trailing),
        st.builds(lambda xs, t: "{" + ",".join(xs) + t + "}", pairs, trailing),
        st.builds(lambda c: "(" + c + ")", children),
    )


expressions = st.recursive(atoms, displays, max_leaves=12)
texts = st.builds(
    lambda lead, body, tail: lead + body + tail,
    st.sampled_from(["", "", " ", "\t ", "\n", "\ufeff"]),
    st.one_of(expressions, st.lists(expressions, min_size=1, max_size=3).map(", ".join)),
    st.sampled_from(["", "", " ", ",", "\n", " # c", " # c\n", "\n\n", "\n  ", ";", "\x00"]),
)


@st.composite
def mutated(draw):
    """A generated text with one character deleted, inserted or doubled."""
    text = draw(texts)
    if not text:
        return text
    i = draw(st.integers(0, len(text) - 1))
    how = draw(st.sampled_from(["delete", "insert", "double"]))
    if how == "delete":
        return text[:i] + text[i + 1:]
    if how == "double":
        return text[:i] + text[i] + text[i:]
    return text[:i] + draw(st.sampled_from("\"'\\()[]{},:.+-_0x1jeE \n#\tbrfu")) + text[i:]


@settings(max_examples=1500, deadline=None)
@given(st.one_of(texts, mutated()))
def test_the_reader_declines_or_agrees_with_the_runtime(text):
    check(text)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="0123456789_.xXoObBeEjJ+-() \t,", max_size=10))
def test_number_texts(text):
    check(text)


# Well-formed literals in every spelling the reader takes: all of them are read.
good_gaps = st.sampled_from(["", "", " ", "\t", "\n", "  # note\n"])
good_ints = st.one_of(
    st.integers(0, 2**70).map(str), st.integers(0, 10**30).map(lambda n: f"{n:_}"), st.just("0_0"), based_ints)
good_floats = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False).map(lambda f: repr(abs(f))),
    st.from_regex(r"\A([0-9](_?[0-9])*)?\.[0-9](_?[0-9])*([eE][+-]?[0-9](_?[0-9])*)?\Z"),
    st.from_regex(r"\A[0-9](_?[0-9])*(\.|[eE][+-]?[0-9](_?[0-9])*)\Z"),
)
good_reals = st.one_of(good_ints, good_floats)
good_imaginaries = st.builds(lambda r, j: r + j, st.one_of(st.integers(0, 10**20).map(str), good_floats),
                             st.sampled_from("jJ"))
good_signs = st.sampled_from(["", "", "-", "+", "- "])
good_numbers = st.one_of(
    good_reals, good_imaginaries,
    st.builds(lambda s, n: s + n, good_signs, st.one_of(good_reals, good_imaginaries)),
    st.builds(lambda s, n, op, j: s + n + op + j, good_signs, good_reals, st.sampled_from(["+", "-", " - "]),
              good_imaginaries),
)
STR_ESCAPES = ["\\n", "\\t", "\\a", "\\x41", "\\xe9", "\\0", "\\07", "\\377", "\\\\", "\\'", '\\"', "\\u00e9",
               "\\U0001F600", "\\ud800"]
BYTES_ESCAPES = ["\\n", "\\x41", "\\xff", "\\0", "\\377", "\\\\", "\\'", '\\"']


def good_literal(is_bytes):
    chars = (st.characters(min_codepoint=32, max_codepoint=126, exclude_characters="\\'\"") if is_bytes
             else st.characters(exclude_categories=["Cs"], exclude_characters="\\'\"\n\r\x00"))
    pieces = st.one_of(st.text(chars, max_size=3), st.sampled_from(BYTES_ESCAPES if is_bytes else STR_ESCAPES))
    prefixes = ["b", "B", "br", "Rb", "rB"] if is_bytes else ["", "", "r", "R", "u", "U"]
    quotes = ["'", '"', "'" * 3, '"' * 3]
    return st.builds(lambda p, q, xs: p + q + "".join(xs) + q, st.sampled_from(prefixes), st.sampled_from(quotes),
                     st.lists(pieces, max_size=4))


good_strings = st.booleans().flatmap(lambda b: st.lists(good_literal(b), min_size=1, max_size=3).map(" ".join))
good_keys = st.recursive(
    st.one_of(good_numbers, st.lists(good_literal(False), min_size=1, max_size=2).map(" ".join),
              st.sampled_from(["True", "False", "None", "...", "()"])),
    lambda children: st.lists(children, min_size=1, max_size=3).map(lambda xs: "(" + ", ".join(xs) + ",)"),
    max_leaves=4,
)


def good_displays(children):
    def items(element):
        return st.lists(st.builds(lambda a, c, b: a + c + b, good_gaps, element, good_gaps), max_size=4)

    trailing = st.sampled_from(["", ","])
    pairs = st.lists(st.builds(lambda k, v, g: k + g + ":" + g + v, good_keys, children, good_gaps), max_size=3)
    return st.one_of(
        st.builds(lambda xs, t: "[" + ",".join(xs) + (t if xs else "") + "]", items(children), trailing),
        st.builds(lambda xs: "(" + ",".join(xs) + ("," if len(xs) == 1 else "") + ")", items(children)),
        st.builds(lambda xs, t: "{" + ",".join(xs) + t + "}", items(good_keys).filter(bool), trailing),
        st.builds(lambda xs, t: "{" + ",".join(xs) + (t if xs else "") + "}", pairs, trailing),
        st.builds(lambda g, c: "(" + g + c + g + ")", good_gaps, children),
    )


good_texts = st.builds(
    lambda lead, body, tail: lead + body + tail,
    st.sampled_from(["", " ", "\t "]),
    st.recursive(st.one_of(good_numbers, good_strings, st.sampled_from(["True", "None", "...", "set()", "set ( )"])),
                 good_displays, max_leaves=10),
    st.sampled_from(["", " ", "\n", " # c", " # c\n"]),
)


@settings(max_examples=800, deadline=None)
@given(good_texts)
def test_well_formed_literals_are_read(text):
    assert check(text), text


# Values the runtime writes back as literals: their reprs are read, and every
# result matches.
keys = st.one_of(st.integers(), st.text(max_size=3), st.floats(allow_nan=False, allow_infinity=False))
values = st.recursive(
    st.one_of(
        st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False),
        st.complex_numbers(allow_nan=False, allow_infinity=False), st.text(st.characters(exclude_categories=["Cs"])),
        st.binary(),
    ),
    lambda children: st.one_of(
        st.lists(children, max_size=4), st.lists(children, max_size=4).map(tuple),
        st.dictionaries(keys, children, max_size=4),
        st.sets(keys, max_size=4),
    ),
    max_leaves=16,
)


@settings(max_examples=500, deadline=None)
@given(values)
def test_every_repr_of_literal_values_is_read(value):
    assert check(repr(value)), repr(value)


@settings(max_examples=300, deadline=None)
@given(values)
def test_the_whole_expression_road_gives_what_eval_gives(value):
    # _eval returns a set as a list of its elements, in the set's order.
    text = repr(value)
    got = sn._read_literal(text)
    assert same(list(got) if isinstance(got, set) else got, sn._eval(text))


# --- chosen texts ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        "(1, 0)", "[0.5, 1.5]", '"txt"', "1+2j", '{1: "a"}', "{1,2}", "{1, 1.0, True}", "{True: 1, 1: 2, 1.0: 3}",
        " \t0x10", "0x_fF", "0o17", "0B1_0", "1_000", "00", "0_0", "0e0", "01.5", "01e1", "01j", "1_0.5_5e1_0j",
        "5.", ".5", "5.j", "1E+5", "1e-5_0", "1e999", "-1e999j", "1e-400", "5e-324", "2" * 400, "0x" + "f" * 5000,
        "-0.0", "+0.0", "-0", "-0j", "+0j", "-(1)", "(-1)+2j", "+(1)-(1j)", "1 -1j", "-1e400-1e400j", "-0.0-0j",
        "1.5+2J", "(1+2j)", "- 1", "-\t1", "[-\n1]",
        "'a' \"b\" '''c''' \"\"\"d\"\"\"", "u'a' r'\\b' 'c'", "b'a' rb'\\b' Br'c' bR'd' RB'e'", "'''a\nb'''",
        "''''''", '"""\\""""', '"""a""b"""', "'\\a\\b\\f\\n\\r\\t\\v\\\\\\'\\\"'", "'\\0\\07\\377\\08'",
        "b'\\x00\\xff\\377\\n'", "'\\x41\\u00e9\\U0001F600'", "'\\ud83d\\ude00'", "'a\\\nb'", "r'a\\\nb'", "r'\\''",
        "'é€😀'", "'\x0b\x0c\x01\x7f\ufeff\u2028'", "b'\x7f\x01'",
        "True", "False", "None", "...", "(True, False, None, ...)", "set()", "set ( )", "[set()]", "{(): set()}",
        "()", "( )", "(\n)", "(1,)", "1,", "1, 2,", "(1, 2,)", "[]", "[1, 2,]", "{}", "{1: 2,}", "{1,}", "{()}",
        "(1, # note\n 2)", "[\n1,\n2\n]", "{1:\n2}", "1 # c", "1 #c\n", "1\n", "((((1))))", "[" * 100 + "]" * 100,
        "{(1, 2): {3}, 'k': [b'v']}",
    ],
)
def test_chosen_literals(text):
    assert check(text), text


@pytest.mark.parametrize(
    "text",
    [
        # Malformed: the runtime's SyntaxError.
        "", " ", "1 2", "(", "'", "1;", "01", "0_7", "1_", "1__0", "0x", "0x_", "0b2", "0o8", "1e", "1.5e+",
        "1if 1else 2", "1.__class__", "....", "(,)", "[,]", "1\n2", "1,\n2", "'a\nb'", "'a\\'", "r'\\'",
        "'''a''''", "'1' b'2'", "b'1' '2'", "b'é'", "ur'a'", "bu'a'", "'\x00'", "'\\x4'", "'\\u12'",
        "'\\U00110000'", "'1' + '\\\n", "1\n  ", "(" * 300 + ")" * 300, "1" * 5000, "\ufeff1", "1\x0b",
        # Warned about by the runtime.
        "'\\d'", "'\\8'", "'\\400'", "b'\\477'", "b'\\u1234'",
        # Well-formed but no literal: the runtime's ValueError.
        "w", "x + 1", "2/3", "--1", "-(-1)", "-(1+2j)", "1+-2j", "True+1j", "1+True", "1j+2j", "1+2j+3j", "1+2",
        "+1j+1", "1-(-1j)", "-'a'", "not 1", "~1", "f'a'", "rf'a'", "F'a'", "set(1)", "set([])", "Set()",
        "(set)()", "set()()", "set()[0]", "()[0]", "'a'[0]", "'a'.x", "1 .real", "{**{}}", "[*()]", "(x:=1)",
        "Ellipsis", "nan", "inf", "f(1)", "1 < 2", "1 if 1 else 2", "[1 for x in y]", "ｓｅｔ()",
        # The runtime's TypeError.
        "{[]: 1}", "{(1, []): 1}", "{set()}", "{{}}", "{[1]}",
        # Left to the runtime although it reads them: names, continuations,
        # deep nesting, comparisons of bytes that may warn.
        "'\\N{DASH}'", "(1,\\\n2)", "\\\n1", "\n1", "1\n\n", "1\r\n", "[1,\r2]", "[1,\f2]", "1\f",
        "[" * 101 + "]" * 101, "{b'a', 'a'}", "{b'a': 1, 'a': 2}", "{b'a': 1}",
    ],
)
def test_texts_left_to_the_runtime(text):
    assert read(text) is NotImplemented


def test_a_lone_surrogate_in_the_text_is_the_runtime_s():
    assert read("'\ud800'") is NotImplemented
    assert runtime("'\ud800'") is REFUSED


@pytest.mark.parametrize("limit", [640, 0])
def test_the_runtime_s_digit_limit_decides_long_decimal_ints(limit, monkeypatch):
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        text = "7" * 700
        assert (read(text) is NotImplemented) == (limit == 640)
        check(text)
        assert check("0x" + "f" * 700)
    finally:
        sys.set_int_max_str_digits(old)


# --- bare identifiers ------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("w", True), ("  w", True), ("\tw ", True), ("w # c", True), ("w\n", True), ("w#c\n", True),
        ("_", True), ("match", True), ("case", True), ("type", True), ("set", True), ("print", True),
        ("__debug__", True), ("x1", True), ("é", True), ("ｉｆ", True), ("Ｔｒｕｅ", True), ("ℌ", True),
        ("True", False), ("False", False), ("None", False), ("if", False), ("await", False), ("lambda", False),
        ("1x", False), ("a€", False), ("a b", False), ("w()", False), ("(w)", False), ("a.b", False),
        ("", False), (" ", False), ("\u00a0w", False), ("w\u00a0", False), ("w\n\n", False), ("w\r", False),
        ("\nw", False), ("w\x00", False), ("'w'", False), ("\ud800", False), ("a\ud800", False),
    ],
)
def test_bare_identifiers(text, expected):
    assert sn._is_bare_identifier(text) is expected


def test_keywords_are_the_runtime_s():
    for word in keyword.kwlist:
        assert not sn._is_bare_identifier(word), word
    for word in keyword.softkwlist:
        assert sn._is_bare_identifier(word), word


words = st.one_of(
    st.sampled_from(keyword.kwlist + keyword.softkwlist),
    st.text(st.characters(categories=["L", "Nd", "Nl", "Mn", "Mc", "Pc", "So", "Sm", "Zs"], exclude_characters=" "),
            min_size=1, max_size=5),
)


@settings(max_examples=500, deadline=None)
@given(words, st.sampled_from(["", " ", "\t"]), st.sampled_from(["", " ", "\n", " # c", "()", ".x", "1"]))
def test_bare_identifiers_are_names_to_the_runtime(word, lead, tail):
    text = lead + word + tail
    answer = sn._is_bare_identifier(text)
    if tail in ("", " ", "\n", " # c"):
        assert answer == (word.isidentifier() and not keyword.iskeyword(word))
    if answer:
        assert isinstance(ast.parse(text.lstrip(" \t"), mode="eval").body, ast.Name)
        with pytest.raises(ValueError, match="malformed node or string"):
            ast.literal_eval(text)


# --- the test hooks' arguments ----------------------------------------------------


@pytest.mark.parametrize("name", ["_read_literal", "_is_bare_identifier"])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(1), "Argument 'text' has incorrect type (expected str, got int)"),
        (lambda f: f(type("S", (str,), {})("1")), "Argument 'text' has incorrect type (expected str, got S)"),
        (lambda f: f(), "() takes exactly 1 positional argument (0 given)"),
        (lambda f: f("1", "2"), "() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_hook_arguments(name, call, message):
    with pytest.raises(TypeError) as caught:
        call(getattr(sn, name))
    assert str(caught.value).endswith(message)
    assert getattr(sn, name)(text="1") is not None


EVAL_TEXTS = ["(1, 0)", "[0.5, 1.5]", '"txt"', "1+2j", "{1, 2}", "[(1, 2), {'k': [3]}]", "w", "match",
              "1 +", "f'x'", "'\\d'", "x.y", "2**3", "(1, [2, {3}])"]


def _eval_with(text, literal_eval):
    """(value, warnings, error type) of _eval(text) with `literal_eval` as the module's ast.literal_eval."""
    with pytest.MonkeyPatch.context() as mp:
        if literal_eval is not None:
            mp.setattr(sn, "ast", types.SimpleNamespace(literal_eval=literal_eval))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                value, error = sn._eval(text), None
            except Exception as exc:  # the runtime's own errors, compared by type
                value, error = None, type(exc)
    return repr(value), [(w.category, str(w.message)) for w in caught], error


@pytest.mark.parametrize("text", EVAL_TEXTS)
def test_eval_reads_natively_only_while_ast_is_the_runtime_s(text):
    # The native road and the runtime's give the same value, warnings and
    # errors; a replaced literal_eval is asked for every text.
    asked = []

    def spy(source):
        asked.append(source)
        return ast.literal_eval(source)

    assert _eval_with(text, None) == _eval_with(text, spy)
    assert asked == [text]
