"""Several threads importing different netlists at once get what each import
gives alone. The runtime is made to switch threads as often as it can, so
imports interleave wherever they call back into Python (ports resolved from
the PDK, normalisation, values), and the port cache is filled by whichever
thread comes first."""

import io
import sys
import threading
import time
from types import SimpleNamespace

import pytest

import korvane.core.spicenet as sn


def slow_cell(*names):
    def factory():
        time.sleep(0)  # let another thread in while this one resolves ports
        return SimpleNamespace(ports=[SimpleNamespace(name=n) for n in names])

    return factory


PDK = SimpleNamespace(
    models={"ring": lambda: {("o2", "o1"): 1.0, ("o1", "o2"): 1.0}},
    cells={"straight": slow_cell("o2", "o1"), "mmi1x2": slow_cell("o1", "o3", "o2"),
           "coupler": slow_cell("in2", "o1", "e1", "in10")},
)


def netlist(k):
    """A netlist of its own for thread k: a chain of PDK cells, a subcircuit
    used twice, sources, lengths in metres and placements."""
    cells = ["straight", "mmi1x2", "coupler", "ring", "wg_straight"]
    lines = [f"* netlist {k}", f".subckt chain{k} in out len={k + 1}u"]
    nodes = ["in", *(f"n{i}" for i in range(8 + k)), "out"]
    for i, (a, b) in enumerate(zip(nodes, nodes[1:])):
        lines.append(f"X{i} {a} {b} {cells[(i + k) % len(cells)]} length='len' w={i}n * location=(o1)({i},{k},90)")
    lines += [".ends", f".subckt top{k} a b ref", f"X1 a m chain{k}", f"X2 m p chain{k}",
              f"E1 s ref vcvs p t {k + 2}", f"R1 b q r={k}k", "C1 q t c=1p", ".ends"]
    return "\n".join(lines) + "\n"


FAILING = ".subckt bad a\nR1 mid a\nR2 mid a2\nR3 mid a3\n.ends\n"


def outcome(source):
    try:
        return sn.parse_oc_spice(source)
    except sn.ParseError as error:
        return ("ParseError", str(error))


@pytest.fixture
def pdk(monkeypatch):
    monkeypatch.setattr(sn, "kv_pdk", SimpleNamespace(get_pdk=lambda: PDK))
    sn._get_ports.cache_clear()
    yield
    sn._get_ports.cache_clear()


@pytest.fixture
def switching():
    """Thread switches as often as the runtime allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_import_as_one_after_another(tmp_path, pdk, switching):
    texts = [netlist(k) for k in range(6)] + [FAILING]
    paths = []
    for k, text in enumerate(texts):
        paths.append(tmp_path / f"n{k}.sp")
        paths[-1].write_text(text)
    alone = [outcome(path) for path in paths]
    assert len(alone[0]["top0"]["connections"]) == 4 and alone[-1][0] == "ParseError"
    sn._get_ports.cache_clear()  # the threads race to fill it

    rounds, count = 15, 8
    start = threading.Barrier(count)
    got, failures = {}, []

    def work(t):
        try:
            start.wait()
            for r in range(rounds):
                k = (t + r) % len(texts)
                source = paths[k] if r % 2 else io.StringIO(texts[k])
                got[t, r] = (k, outcome(source))
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(got) == rounds * count
    for k, result in got.values():
        assert result == alone[k]
