import math
import re
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane.core.spicenet as sn


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1.5", 1.5),
        ("3", 3.0),
        ("2N", 2e-09),
        ("4M", 0.004),
        ("1p", 1e-12),
        ("10u", 9.999999999999999e-06),
        ("10k", 10.0),
        ("5V", 5.0),
        ("10meg", "10meg"),
        ("5um", "5um"),
        ("abc", "abc"),
        ('"abc"', "abc"),
        ('""', ""),
        ('"', ""),
        ('"\'w\'"', None),  # an expression once the double quotes are gone (warns)
        ("{1,2}", "[1,2]"),
        ("'{1,2}'", [1, 2]),
        ("'1+2j'", 1 + 2j),
        ("'(1, 2)'", (1, 2)),
        ("'\"w\"'", "w"),
        ("'{1}'", [1]),
        ("'set()'", []),
        ("' 7'", 7.0),
        ("'5'", 5.0),
        ("'1e-6'", 1e-06),
        ("'2u'", 2e-06),
        ("1_000", 1000.0),
        ("-inf", -math.inf),
        ("1e999", math.inf),
        ("1e-400", 0.0),
        ("\u0665\u0660", 50.0),  # digits the runtime reads
        ("\uff15k", 5.0),
        ("", None),
        (None, None),
    ],
)
def test_parse_value(text, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sn.ParseWarning)
        value = sn._parse_value(text)
    assert value == expected
    assert type(value) is type(expected)


@settings(max_examples=500, deadline=None)
@given(st.text(alphabet="0123456789._eE+-infaINFA \t", max_size=12))
def test_numbers_read_as_the_runtime_reads_them(text):
    try:
        expected = float(text)
    except ValueError:
        return
    value = sn._parse_value(text)
    assert type(value) is float
    assert value == expected or (math.isnan(value) and math.isnan(expected))
    assert math.copysign(1, value) == math.copysign(1, expected)


# Texts on either side of the exact short reading: a second sign, white space
# and underscores around it, digits and exponents beyond its reach.
@pytest.mark.parametrize("text", [
    "+-5", "-+5", "--5", "+ 5", " -0 ", "\t-1_5.2_5\n", "1_0e1_0", "-1_2e-2_2", "0." + "0" * 25 + "1", "1" * 25,
    "-" + "9" * 19 + "e-22", "9007199254740993", "1e23",
])
def test_number_texts_at_the_edges_read_as_float_reads_them(text):
    try:
        expected = float(text)
    except ValueError:
        assert sn._parse_value(text) == text
        return
    value = sn._parse_value(text)
    assert type(value) is float
    assert value == expected and math.copysign(1, value) == math.copysign(1, expected)


@pytest.mark.parametrize("text", ["1__0", "_1", "1_", "1_.5", "0x10", "1e", ".", "\x1c5"])
def test_text_that_is_not_a_number_stays_text(text):
    assert sn._parse_value(text + "meg") == text + "meg"


def test_unchanged_text_is_the_given_object():
    value = "some-name"
    assert sn._parse_value(value) is value


def test_named_values_resolve_expressions():
    assert sn._parse_value("'w'", w=0.5) == 0.5
    named = object()
    assert sn._eval("w", w=named) is named
    # Names of the function's own parameters are named values too.
    assert sn._parse_value("'value'", value=1) == 1
    assert sn._eval("key_or_value", key_or_value=2) == 2


# A lone surrogate has no UTF-8; a non-ASCII name is worded by the general
# road, an ASCII one by the fast one.
@pytest.mark.parametrize("name", ["w", "größe", "w\ud800x"])
def test_unresolvable_expression_warns_and_gives_none(name):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert sn._parse_value(f"'{name}'") is None
        assert sn._eval(name) is None
    assert len(caught) == 2
    for warning in caught:
        assert warning.category is sn.ParseWarning
        assert str(warning.message) == (
            f"Could not parse '{name}'. Setting it to None (to be specified during the circuit call). "
            f"You can also set the value of '{name}' as a keyword argument of kv.parse_oc_spice"
        )
        assert warning.filename == __file__


@pytest.mark.parametrize("expression", ["2/3", "f(1)", "1 < 2", "w"])
def test_eval_of_non_literals_warns(expression):
    with pytest.warns(sn.ParseWarning, match=re.escape(f"'{expression}'")):
        assert sn._eval(expression) is None


@pytest.mark.parametrize("expression", ["", "1 2", "(", "'"])
def test_syntax_errors_are_not_caught(expression):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(SyntaxError):
            sn._eval(expression)
    with pytest.raises(SyntaxError):
        sn._parse_value("''")


def test_eval_of_literals():
    assert sn._eval("\t 0x10") == 16
    assert sn._eval("{'a': (1, None)}") == {"a": (1, None)}
    assert sorted(sn._eval("{3, 1, 2}")) == [1, 2, 3]


def test_parse_value_reaches_eval_through_the_module(monkeypatch):
    seen = []
    monkeypatch.setattr(sn, "_eval", lambda text, **named: seen.append((text, named)) or "done")
    assert sn._parse_value("'x + y'", x=1) == "done"
    assert seen == [("x + y", {"x": 1})]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: sn._eval(1.0), TypeError, "Argument 'key_or_value' has incorrect type (expected str, got float)"),
        (lambda: sn._eval(type("S", (str,), {})("x")), TypeError, "expected str, got S"),
        (lambda: sn._eval(), TypeError, "_eval() takes exactly 1 positional argument (0 given)"),
        (lambda: sn._parse_value(), TypeError, "_parse_value() takes exactly 1 positional argument (0 given)"),
        (lambda: sn._parse_value(5), AttributeError, "'int' object has no attribute 'startswith'"),
        (lambda: sn._is_probably_um("x"), TypeError, "must be real number, not str"),
        (lambda: sn._is_probably_um(), TypeError, "_is_probably_um() takes at least 1 positional argument (0 given)"),
        (lambda: sn._convert_um([]), TypeError, "Argument 'settings' has incorrect type (expected dict, got list)"),
        (
            lambda: sn._convert_um(type("D", (dict,), {})()),
            TypeError,
            "Argument 'settings' has incorrect type (expected dict, got D)",
        ),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert message in str(caught.value)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((5e-07,), True),
        ((0.01,), False),
        ((1e-10,), False),
        ((-5e-07,), False),
        ((0.0,), False),
        ((math.nan,), False),
        ((1, 0, 2), True),
        ((5, 1, 2), False),
    ],
)
def test_is_probably_um(args, expected):
    assert sn._is_probably_um(*args) is expected


def test_convert_um_rescales_float_lengths_in_place():
    settings = {"w": 5e-07, "l": 0.5, "n": 2, "name": "x", "tiny": 1e-7}
    assert sn._convert_um(settings) is settings
    assert settings == {"w": 0.5, "l": 0.5, "n": 2, "name": "x", "tiny": 0.09999999999999999}
    assert list(settings) == ["w", "l", "n", "name", "tiny"]


def test_convert_um_asks_the_module_global(monkeypatch):
    asked = []
    monkeypatch.setattr(sn, "_is_probably_um", lambda v: asked.append(v) or v > 1)
    settings = {"a": 0.5, "b": 2.0, "c": 3}
    sn._convert_um(settings)
    assert asked == [0.5, 2.0]
    assert settings == {"a": 0.5, "b": 2000000.0, "c": 3}


@pytest.mark.parametrize("text", ["", "1.5", "2N", "abc", '"q r"', "{1,2}", "'(1, 2)'", "'w'", "10meg", "'{3}'"])
def test_settings_in_the_ir_are_the_values_parse_value_gives(read_ir, text):
    ir, _ = read_ir(f'.subckt t a\nX1 a p v={text}\n.ends', w=0.5)
    assert repr(ir[2].settings["v"]) == repr(sn._parse_value(text, w=0.5))
