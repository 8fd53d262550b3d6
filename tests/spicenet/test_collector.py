"""The import and the runtime's collector: records built in one go are moved
out of the young generations once, and a disabled collector stays untouched."""

import gc
import io

import pytest

import korvane.core.spicenet as sn


def _netlist(elements: int) -> str:
    lines = [".subckt chain a b"]
    for i in range(elements):
        left = "a" if i == 0 else f"n{i}"
        right = "b" if i == elements - 1 else f"n{i + 1}"
        lines.append(f"R{i} {left} {right} r={i + 1}")
    lines.append(".ends chain")
    return "\n".join(lines) + "\n"


def _collections() -> list[int]:
    return [generation["collections"] for generation in gc.get_stats()]


@pytest.fixture
def collector():
    threshold, enabled = gc.get_threshold(), gc.isenabled()
    yield
    gc.set_threshold(*threshold)
    (gc.enable if enabled else gc.disable)()


@pytest.mark.usefixtures("collector")
def test_records_of_a_large_import_leave_the_young_generations():
    gc.enable()
    gc.set_threshold(100, 10, 10)
    gc.collect()
    before = _collections()
    result = sn.parse_oc_spice(io.StringIO(_netlist(5000)))
    assert _collections()[1] > before[1]
    instance = result["chain"]["instances"]["R7"]
    # Collected objects that survive go to the oldest generation's list.
    assert any(obj is instance for obj in gc.get_objects(generation=2))


@pytest.mark.usefixtures("collector")
@pytest.mark.parametrize("enabled", [False, True])
def test_a_disabled_collector_or_a_small_import_is_left_alone(enabled):
    (gc.enable if enabled else gc.disable)()
    gc.set_threshold(700 if not enabled else 100000, 10, 10)
    gc.collect()
    before = _collections()
    result = sn.parse_oc_spice(io.StringIO(_netlist(5000 if not enabled else 50)))
    assert len(result["chain"]["instances"]) == (5000 if not enabled else 50)
    assert _collections() == before


@pytest.mark.usefixtures("collector")
@pytest.mark.parametrize(
    ("full_passes_due", "blocks", "full"),
    [(True, 0, True), (True, 10**12, False), (False, 0, False)],
)
def test_the_move_is_the_full_pass_when_that_comes_next(monkeypatch, full_passes_due, blocks, full):
    # A full pass is next when enough middle passes ran since the last one
    # and the records are a quarter of what the runtime holds.
    gc.enable()
    gc.set_threshold(100, 10, 0 if full_passes_due else 1000)
    gc.collect()
    monkeypatch.setattr("sys.getallocatedblocks", lambda: blocks)
    before = _collections()
    sn.parse_oc_spice(io.StringIO(_netlist(5000)))
    after = _collections()
    assert (after[2] > before[2]) is full
    assert after[1] > before[1] or full
