"""Property tests of the SPICE import.

Netlists drawn from a grammar of the dialect (subcircuit blocks, nested or
not, resistors, capacitors, subcircuit and PDK instances, controlled sources,
key=value settings with numbers, texts and expressions, location comments,
continuation lines, comments, every kind of white space and line boundary)
import to what the netlist says: the instances written, one connection per
net of two pins, one port per single pin, settings read and rescaled, the
placements of the location comments, and the same records whether the text
comes from a file or a stream. Arbitrary text either imports to well-formed
records or fails with one of the import's documented errors, never crashes,
leaves no file open and never closes the caller's stream.

`make fuzz` runs these with a budget of minutes (tools/fuzz.py).
"""

import io
import locale
import math
import os
import warnings
from dataclasses import dataclass, field
from types import SimpleNamespace

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import korvane.core.spicenet as sn
from _fuzz_settings import PROFILE, TRIED

# --- the PDK the imports resolve ports against -------------------------------------

# name -> (ports as the cell lists them, ports in canonical order)
CELLS = {
    "straight": (["o1", "o2"], ("o1", "o2")),
    "mmi1x2": (["o3", "o1", "o2"], ("o1", "o2", "o3")),
    "coupler": (["o2", "in1", "e1", "out"], ("in1", "out", "o2", "e1")),
}
MODELS = {"ring": ("o1", "o2")}  # its S-parameters name o2 first; the canonical order puts o1 first
RESOLVED = {name: canonical for name, (_, canonical) in CELLS.items()} | dict(MODELS)
RESOLVED["wg_straight"] = RESOLVED["straight"]  # "wg_" falls back to the name without it


def _cell(names):
    return lambda: SimpleNamespace(ports=[SimpleNamespace(name=n) for n in names])


PDK = SimpleNamespace(
    cells={name: _cell(listed) for name, (listed, _) in CELLS.items()},
    models={"ring": lambda: {("o2", "o1"): 0.5, ("o1", "o2"): 0.5}},
)


@pytest.fixture(autouse=True)
def pdk(monkeypatch):
    monkeypatch.setattr(sn, "kv_pdk", SimpleNamespace(get_pdk=lambda: PDK))
    sn._get_ports.cache_clear()
    yield
    sn._get_ports.cache_clear()


NAMED = {"wl": 0.5, "gap": 2, "label": "abc"}  # keyword arguments of every import
KEYMAP = {"l": "len"}

# --- values ------------------------------------------------------------------------

SCALE = {"": 1.0, "p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3, "M": 1e-3, "k": 1.0, "V": 1.0}


@dataclass
class Value:
    text: str
    value: object
    warns: bool = False  # an expression nothing resolves: None and a ParseWarning


def numbers():
    mantissas = st.sampled_from(["1", "2.5", ".5", "3.", "1e-3", "2E6", "-4", "+7", "1_000", "0", "inf", "-inf"])
    return st.builds(lambda m, s: Value(m + s, float(m) * SCALE[s]), mantissas, st.sampled_from(list(SCALE)))


LITERALS = [
    ("'(1,2)'", (1, 2)),
    ("'[1,2]'", [1, 2]),
    ("'{3,4}'", [3, 4]),  # a set comes back as a list
    ("'1+2j'", 1 + 2j),
    ("'True'", True),
    ("'None'", None),
    ("'0x1F'", 31),
    ("'5'", 5.0),  # a quoted number is that number
    ("'-3e-9'", -3e-9),
    ("'\"txt\"'", "txt"),
]


def values(params=()):
    """Value texts of key=value words; `params` names settings of the
    enclosing subcircuit (name -> Value) that expressions may use."""
    choices = [
        numbers(),
        st.sampled_from([Value('"abc"', "abc"), Value('""', ""), Value('"metal1"', "metal1"),
                         Value("{1,2}", "[1,2]"), Value("x", "x"), Value("10meg", "10meg")]),
        st.sampled_from([Value(text, value) for text, value in LITERALS]),
        st.sampled_from([Value(f"'{name}'", value) for name, value in NAMED.items()]),
        st.just(Value("'nowhere'", None, warns=True)),
    ]
    if params:
        choices.append(st.sampled_from([Value(f"'{name}'", value.value) for name, value in params.items()]))
    return st.one_of(choices)


def settings_words(keys, params=()):
    return st.lists(st.tuples(st.sampled_from(keys), values(params)), max_size=3, unique_by=lambda kv: kv[0])


def patched(settings_map):
    """Settings as an imported record holds them: keys sorted, renamed by the
    key map, lengths in metres rescaled to micrometres."""
    out = {}
    for key in sorted(settings_map):
        value = settings_map[key]
        if type(value) is float and 1e-10 < value < 0.01:
            value *= 1e6
        out[KEYMAP.get(key, key)] = value
    return out


# --- netlists ----------------------------------------------------------------------


@dataclass
class Element:
    name: str
    kind: str  # R, C, E or X
    component: str
    pins: int
    words: list = field(default_factory=list)  # settings: [(key, Value)]
    nodes: list = field(default_factory=list)  # one node per pin
    placement: tuple | None = None  # (marker, port or None, (x, y, rotation) texts)


@dataclass
class Block:
    name: str
    ports: list
    params: list
    elements: list
    parent: int | None = None  # the block this one opens inside, if any
    at: int = 0  # before which of the parent's elements it opens


@st.composite
def blocks(draw):
    count = draw(st.integers(1, 4))
    made = []
    for b in range(count):
        params = draw(settings_words(["delta", "width", "mode"]))
        declared = [f"p{b}_{i}" for i in range(draw(st.integers(0, 3)))]
        elements = []
        earlier = [blk.name for blk in made if blk.elements]
        components = [*RESOLVED, "mystery", *earlier]
        for e in range(draw(st.integers(0, 5))):
            kind = draw(st.sampled_from("RCXE"))
            if kind in "RC":
                element = Element(f"{kind}{b}x{e}", kind, "", 2)
            elif kind == "E":
                element = Element(f"E{b}x{e}", kind, "vcvs", 4)
            else:
                element = Element(f"X{b}x{e}", kind, draw(st.sampled_from(components)), draw(st.integers(1, 4)))
            element.words = draw(settings_words(["w", "l", "r", "c", "angle"], dict(params)))
            if draw(st.booleans()):
                coords = draw(st.lists(st.sampled_from(["0", "10", "-2.5", "1e3", "90", "180"]), min_size=3,
                                       max_size=3))
                port = draw(st.sampled_from([None, "o1", "in2"]))
                element.placement = (draw(st.sampled_from("*$")), port, tuple(coords))
            elements.append(element)
        made.append(Block(f"sub{b}", declared, params, elements))
        if b and draw(st.booleans()):  # nested in the block before, among its elements
            made[-1].parent, made[-1].at = b - 1, draw(st.integers(0, len(made[b - 1].elements)))
        wire(draw, made[-1])
    return made


def wire(draw, block):
    """Give every pin a node: pairs of pins share an internal net, single pins
    take a declared port (each at most one pin) or a net of their own."""
    pins = [(element, i) for element in block.elements for i in range(element.pins)]
    order = draw(st.permutations(range(len(pins))))
    free_ports = list(block.ports)
    at = net = 0
    while at < len(order):
        size = min(draw(st.sampled_from([1, 2, 2])), len(order) - at)
        group = [pins[k] for k in order[at : at + size]]
        at += size
        if size == 1 and free_ports and draw(st.booleans()):
            node = free_ports.pop(0)
        else:
            node = f"n{block.name}_{net}"
            net += 1
        for element, i in group:
            element.nodes.append((i, node))
    for element in block.elements:
        element.nodes = [node for _, node in sorted(element.nodes)]


def statement(element):
    """The words of an element line (before its comment)."""
    settings_text = [f"{key}={value.text}" for key, value in element.words]
    if element.kind == "E":  # out ref vcvs inp inn gain: the pins become inn inp out ref
        inn, inp, out, ref = element.nodes
        return [element.name, out, ref, "vcvs", inp, inn, "10", *settings_text]
    if element.kind == "X":
        return [element.name, *element.nodes, element.component, *settings_text]
    return [element.name, *element.nodes, *settings_text]


SPACES = st.text(st.sampled_from(" \t\u00a0\u3000\u2000\x1f\u205f"), min_size=1, max_size=3)
BOUNDARIES = st.sampled_from(["\n", "\r\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"])


def render(draw, design):
    """The netlist text of a design, with white space, line boundaries,
    continuation lines and comment lines drawn at random; and the order in
    which its blocks close."""
    out, closed = [], []

    def line(words, comment=""):
        text = draw(SPACES) if draw(st.booleans()) else ""
        for k, word in enumerate(words):
            text += (draw(SPACES) if k else "") + word
        if comment:
            text += draw(SPACES) + comment
        out.append(text + (draw(SPACES) if draw(st.booleans()) else "") + draw(BOUNDARIES))

    def between(outside=False):
        lines = ["", "   ", "* a note", "$ another", ".global gnd"] + (["X9 a b straight w=1"] if outside else [])
        for _ in range(draw(st.integers(0, 2))):
            out.append(draw(st.sampled_from(lines)) + draw(BOUNDARIES))

    def element_lines(element):
        words = statement(element)
        comment = ""
        if element.placement:
            marker, port, coords = element.placement
            comment = f"{marker} location=" + (f"({port})" if port else "") + f"({','.join(coords)})"
        cuts = sorted(draw(st.sets(st.integers(2, max(2, len(words) - 1)), max_size=2)))
        pieces = [words[a:b] for a, b in zip([0, *cuts], [*cuts, len(words)])]
        pieces = [piece for piece in pieces if piece]
        for k, piece in enumerate(pieces):
            line(piece if k == 0 else ["+", *piece], comment if k == len(pieces) - 1 else "")

    def block_lines(b, outermost):
        block = design[b]
        inner = [c for c, child in enumerate(design) if child.parent == b]
        params = [f"{key}={value.text}" for key, value in block.params]
        line([".subckt", block.name, *block.ports, *params], draw(st.sampled_from(["", "* header"])))
        between()
        for i in range(len(block.elements) + 1):
            for c in inner:
                if design[c].at == i:
                    block_lines(c, False)
            if i < len(block.elements):
                element_lines(block.elements[i])
                between()
        line([".ends"] + ([block.name] if draw(st.booleans()) else []))
        closed.append(b)
        between(outside=outermost)

    between(outside=True)
    for b, block in enumerate(design):
        if block.parent is None:
            block_lines(b, True)
    return "".join(out), closed


def port_name(element, i, blocks_by_name, component_map):
    if element.kind in "RC":
        mapped = component_map.get("resistor" if element.kind == "R" else "capacitor")
        return f"o{i + 1}" if mapped else ("minus", "plus")[i]
    if element.kind == "E":
        return ("minus", "plus", "out", "gnd_")[i]
    own = blocks_by_name.get(element.component)
    names = own.ports if own is not None else RESOLVED.get(element.component, ())
    return names[i] if i < len(names) else f"o{i + 1}"


def expected_records(design, closed, component_map):
    """The records of a design: one per block with elements, the block closed
    last first; each block has exactly its own elements, nested or not."""
    by_name = {block.name: block for block in design if block.elements}
    records = {}
    for block in (design[b] for b in reversed(closed)):
        if not block.elements:
            continue
        params = {key: value.value for key, value in block.params}
        instances, pins_of, placements = {}, {}, {}
        for element in block.elements:
            component = {"R": "resistor", "C": "capacitor"}.get(element.kind, element.component)
            settings_map = {key: value.value for key, value in element.words}
            if element.kind == "E":
                inn, inp = element.nodes[:2]
                settings_map = {inp: None, inn: None, "gain": 10.0} | settings_map
            instances[element.name] = {"component": component_map.get(component, component),
                                       "settings": patched(settings_map)}
            for i, node in enumerate(element.nodes):
                pins_of.setdefault(node, []).append(f"{element.name},{port_name(element, i, by_name, component_map)}")
            if element.placement:
                _, port, coords = element.placement
                placements[element.name] = dict(zip(("x", "y", "rotation"), map(float, coords)))
                if port:
                    placements[element.name]["port"] = port
        connections = {frozenset(pins) for pins in pins_of.values() if len(pins) == 2}
        ports = {node: pins[0] for node, pins in pins_of.items() if len(pins) == 1}
        records[block.name] = dict(instances=instances, connections=connections, ports=ports,
                                   settings=patched(params), placements=placements)
    return records


def comparable(records):
    """Imported records in the form of `expected_records`: connections as
    unordered pairs, lists sorted (a list made from a set has no fixed order)."""

    def settings_of(values):
        return {key: sorted(value) if type(value) is list else value for key, value in values.items()}

    out = {}
    for name, record in records.items():
        assert list(record) == ["instances", "connections", "ports", "settings", "placements"]
        instances = {key: dict(instance, settings=settings_of(instance["settings"]))
                     for key, instance in record["instances"].items()}
        out[name] = dict(record, instances=instances, settings=settings_of(record["settings"]),
                         connections={frozenset(pair) for pair in record["connections"].items()})
    return out


# --- reading the same text from a stream and from a file ------------------------------


class Stream:
    """A text stream that counts its reads and must stay open."""

    def __init__(self, text):
        self.text, self.reads, self.closed = text, 0, False

    def read(self):
        self.reads += 1
        return self.text

    def close(self):
        self.closed = True


def outcome(source, **kwargs):
    """(records or None, error or None, warning texts) of one import."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = sn.parse_oc_spice(source, **kwargs), None
        except Exception as raised:  # noqa: BLE001 - the tests check what was raised
            result, error = None, raised
    assert all(w.category is sn.ParseWarning for w in caught), caught
    return result, error, [str(w.message) for w in caught]


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def file_of(tmp_path, text):
    """The text written to a file the import reads back unchanged, or None
    when the platform encoding cannot hold it."""
    path = tmp_path / "netlist.sp"
    try:
        path.write_text(text, encoding=locale.getpreferredencoding(False), newline="")
    except UnicodeEncodeError:
        return None
    return path


def same(a, b):
    """Equal, with NaN equal to itself (arbitrary text may spell nan)."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


# --- the properties ------------------------------------------------------------------


@PROFILE
@given(data=st.data())
def test_grammar_netlists_import_to_what_they_say(tmp_path_factory, data):
    TRIED["grammar netlists"] += 1
    design = data.draw(blocks())
    text, closed = render(data.draw, design)
    component_map = data.draw(st.sampled_from([{}, {"resistor": "rpoly"}]))
    stream = Stream(text)
    records, error, warned = outcome(stream, settings_keymap=KEYMAP, component_map=component_map, **NAMED)
    assert error is None, f"{error!r} for\n{text!r}"
    assert stream.reads == 1 and not stream.closed

    got = comparable(records)
    assert list(got) == [design[b].name for b in reversed(closed) if design[b].elements]
    assert got == expected_records(design, closed, component_map), text
    unresolved = sum(value.warns for block in design for _, value in
                     [*block.params, *(word for element in block.elements for word in element.words)])
    assert len(warned) == unresolved and all("'nowhere'" in message for message in warned)

    path = file_of(tmp_path_factory.mktemp("grammar"), text)
    if path is not None:
        fds = open_fds()
        from_file = outcome(path, settings_keymap=KEYMAP, component_map=component_map, **NAMED)
        assert open_fds() == fds
        assert same(from_file[0], records) and from_file[2] == warned


# Pieces of the dialect and of trouble, for arbitrary text.
TOKENS = [
    ".subckt", ".ends", ".global", ".end", ".SUBCKT", ".param", "X1", "R1", "C1", "E1", "a", "b", "mid", "straight",
    "vcvs", "vccs", "VCVS", "w=", "=", "w=1", "l=2u", "w='wl'", "w='(1,'", "w=''", "x=a=b", "'", '"', "{", "}", "(",
    ")", "{{{{1}}}}", "'{{{1}}}'", "'[[[[", "location=", "location=(1,2,3)", "location=(o1)(1,2)", ")(", ",", "*",
    "$", "+", "1e999", "-1e999", "1e-400", "9" * 40, "nan", "-inf", "1_0", "1__0", "0x1F", "٣", "\x00", "\ufeff",
    "ｘ", "é", "µ", "\U0001f600", " ", "  ", "\t",
]
LINE_BOUNDARIES = ["\n", "\r\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
UNICODE_SPACES = ["\u00a0", "\u1680", "\u2000", "\u200a", "\u202f", "\u205f", "\u3000", "\x1f"]
ALLOWED = (sn.ParseError, SyntaxError, ValueError, IndexError)


def arbitrary_texts(surrogates):
    pieces = st.one_of(
        st.sampled_from(TOKENS),
        st.sampled_from(LINE_BOUNDARIES + UNICODE_SPACES),
        st.text(st.characters(blacklist_categories=() if surrogates else ("Cs",)), max_size=8),
    )
    return st.lists(pieces, max_size=60).map("".join)


def check_records(records):
    """Records an import returned are well formed: the five sections, and every
    port reference names an instance of its own record."""
    assert type(records) is dict
    for record in records.values():
        assert list(record) == ["instances", "connections", "ports", "settings", "placements"]
        refs = [*record["connections"], *record["connections"].values(), *record["ports"].values()]
        for ref in refs:
            instance, port = ref.split(",")
            assert instance in record["instances"]
        for name, placement in record["placements"].items():
            assert name in record["instances"] and list(placement)[:3] == ["x", "y", "rotation"]


@PROFILE
@given(text=arbitrary_texts(surrogates=True))
def test_arbitrary_text_from_a_stream_imports_or_fails_cleanly(text):
    TRIED["arbitrary text, stream"] += 1
    stream = io.StringIO(text)
    records, error, _ = outcome(stream)
    assert not stream.closed
    if error is None:
        check_records(records)
    else:
        assert isinstance(error, ALLOWED), f"{error!r} for {text!r}"


@PROFILE
@given(text=arbitrary_texts(surrogates=False))
def test_arbitrary_text_from_a_file_matches_the_stream_and_closes_the_file(tmp_path_factory, text):
    TRIED["arbitrary text, file"] += 1
    path = file_of(tmp_path_factory.mktemp("arbitrary"), text)
    assume(path is not None)
    fds = open_fds()
    from_file = outcome(path)
    assert open_fds() == fds
    # Universal newlines turn "\r" and "\r\n" into "\n" when reading the file,
    # which split lines exactly as they do; everything else arrives unchanged.
    from_stream = outcome(io.StringIO(text))
    assert same(from_file[0], from_stream[0])
    assert type(from_file[1]) is type(from_stream[1]) and str(from_file[1]) == str(from_stream[1])
    assert from_file[2] == from_stream[2]
