"""What a user can do with the three modules, one callable per operation or
error path, and the probes that tell whether running them leaves anything
behind (memory, file descriptors, references).

`Workload` runs on a copy of the demo project, so the factory database the
registrations write lands in a temporary directory; `close()` gives the
process back its `sys.path`, PDK caches and project setting and drops the
project's modules.
Each operation checks its own outcome (result, error type and message), so a
soak also proves that the thousandth call behaves as the first.
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import gc
import io
import os
import shutil
import sys
import tempfile
import time
import tracemalloc
import warnings
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace

import korvane.core.freeze as fz
import korvane.core.pdk as pk
import korvane.core.spicenet as sn
from korvane import settings

ROOT = Path(__file__).resolve().parents[2]
DEMO = ROOT / "examples" / "demo_project"

Derived = type("Derived", (dict,), {})

GOOD = """* two stages and a buffer
.subckt stage a b r=1k
R1 a m r='r'
C1 m b c=2p $ location=(10,0,90)
.ends
.subckt amp inn inp out ref
E1 out ref vcvs inp inn 'gain'
.ends
.subckt top in out vref gnd
X1 in n1 stage r=2k * location=(o1)(0,0,0)
X2 vref n1 n2 gnd amp
+ $ location=(o2)(40,0,180)
X3 n2 out stage w=5e-7
.ends
"""

# (text, error type, message); each text fails on its last line.
PARSE_FAILURES = [
    (".subckt a x\nR1 x y\n.ends\n.end\n", sn.ParseError, "Unsupported command: .end."),
    (".SUBCKT a x\n", sn.ParseError, "Unsupported command: .SUBCKT."),
    (".ends\n", sn.ParseError, ".ends before begin."),
    (
        ".subckt a\nR1 mid x\nR2 mid y\nR3 mid z\n.ends\n",
        sn.ParseError,
        "Net 'mid' is connected to more than two ports: ['R1,minus', 'R2,minus', 'R3,minus']. "
        "This is currently not supported.",
    ),
    (".subckt a x\nR1 x y * location=1 location=2\n.ends\n", ValueError, "too many values to unpack (expected 2)"),
    (".subckt a x\nR1 x y * location=(1,2)\n.ends\n", ValueError, "need more than 2 values to unpack"),
    (".subckt a x\nR1 x y * location=(o1)(1,2,3)(4)\n.ends\n", ValueError, "too many values to unpack (expected 2)"),
    (".subckt a x\nR1 x y w=''\n.ends\n", SyntaxError, None),
    (".subckt a x\nR1 x y w='(1,'\n.ends\n", SyntaxError, None),
    (".subckt a x\nR1 x y w=a=b\n.ends\n", ValueError, "too many values to unpack (expected 2)"),
    (".subckt\n", IndexError, "list index out of range"),
    (".subckt a x\nX1 w=1\n.ends\n", IndexError, "tuple index out of range"),
]

# (text, warning message); the import still returns records.
PARSE_WARNINGS = [
    (
        ".subckt a x\nR1 x y w='wl'\n.ends\n",
        "Could not parse 'wl'. Setting it to None (to be specified during the circuit call). "
        "You can also set the value of 'wl' as a keyword argument of kv.parse_oc_spice",
    ),
    (".subckt open x\nR1 x y\n", "Subcircuit 'open' is not closed by .ends; its elements are ignored."),
    (
        ".subckt a x\nR1 x y\nR2 x z\n.ends\n",
        "Port 'x' is connected to more than one pin: ['R1,minus', 'R2,minus']. Only the last one is kept.",
    ),
]


def expect(error_type: type[BaseException], message: str | None, fn: Callable, *args, **kwargs) -> None:
    """Call `fn`; it must raise exactly `error_type` with `message` (when given)."""
    try:
        fn(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - the type is checked below
        if type(error) is not error_type or (message is not None and str(error) != message):
            raise AssertionError(f"expected {error_type.__name__}({message!r}), got {error!r}") from error
        return
    raise AssertionError(f"expected {error_type.__name__}({message!r}), nothing was raised")


class FailingStream:
    """A text stream whose read fails, to check that the error passes unchanged."""

    def read(self):
        raise OSError(5, "device gone")


class Workload:
    """The operations, on a private copy of the demo project."""

    def __init__(self) -> None:
        self._stack = contextlib.ExitStack()
        try:
            self._set_up()
        except BaseException:
            self._stack.close()
            raise

    def _set_up(self) -> None:
        self._saved_path = list(sys.path)
        self.dir = Path(tempfile.mkdtemp(prefix="kv-soak-"))
        self._stack.callback(shutil.rmtree, self.dir, True)
        self.project = self.dir / "demo_project"
        shutil.copytree(DEMO, self.project)
        self._stack.enter_context(settings.use_project(self.project))
        self._clear_caches()
        self._stack.callback(self._clear_caches)
        self._stack.callback(self._restore_modules)
        self.netlists = sorted((self.project / "netlists").glob("*.sp"))
        self.missing = self.dir / "missing.sp"
        self.undecodable = self.dir / "undecodable.sp"
        self.undecodable.write_bytes(b".subckt a x\nR1 x y w=\xff\xfe\n.ends\n")
        self.nopdk = self.dir / "site" / "kv_soak_nopdk"
        self.nopdk.mkdir(parents=True)
        (self.nopdk / "__init__.py").write_text("")
        sys.path.insert(0, str(self.nopdk.parent))

        self.pdk = pk.get_pdk()
        self.base = pk.get_base_pdk()
        pk.register_cells()
        # Cells freeze refuses: a YAML cell and one whose netlist has no instances.
        yaml_cell = functools.partial(dict)
        yaml_cell.__module__ = "demo_project.ring_picyml"
        self.pdk.cells["yaml_ring"] = yaml_cell
        self.pdk.cells["empty"] = lambda: SimpleNamespace(get_netlist=lambda **_: {"instances": {}, "warnings": {}})
        self._stack.callback(self._drop_cells, "yaml_ring", "empty")
        # An error cell that lives as long as the workload, called again and again.
        self.broken = pk._error_cell("broken", "demo_project.cells", ValueError("no such layer"))
        self.ops = {name: functools.partial(fn, self) for name, fn in OPERATIONS.items()}

    # --- process state -------------------------------------------------------

    @staticmethod
    def _clear_caches() -> None:
        for cache in (pk._get_pdk, pk.get_base_pdk, sn._get_ports):
            cache.cache_clear()

    def _restore_modules(self) -> None:
        sys.path[:] = self._saved_path
        for name in [name for name in sys.modules if name.split(".")[0] in ("demo_project", "kv_soak_nopdk")]:
            del sys.modules[name]

    def _drop_cells(self, *names: str) -> None:
        for name in names:
            self.pdk.cells.pop(name, None)

    def close(self) -> None:
        self._stack.close()


# --- operations -------------------------------------------------------------------

OPERATIONS: dict[str, Callable[[Workload], None]] = {}


def op(name):
    def add(fn):
        OPERATIONS[name] = fn
        return fn

    return add


@op("parse_oc_spice(file)")
def parse_files(w: Workload) -> None:
    for path in w.netlists:
        records = sn.parse_oc_spice(path)
        assert records and all(r["instances"] for r in records.values())


@op("parse_oc_spice(stream, maps, named values)")
def parse_stream(w: Workload) -> None:
    stream = io.StringIO(GOOD)
    records = sn.parse_oc_spice(stream, {"w": "width"}, {"resistor": "rpoly"}, gain=10)
    assert list(records) == ["top", "amp", "stage"] and not stream.closed
    assert records["top"]["instances"]["X3"]["settings"] == {"width": 0.5}


@op("parse_oc_spice(bad argument types and counts)")
def parse_bad_arguments(w: Workload) -> None:
    expect(TypeError, "Argument 'settings_keymap' has incorrect type (expected dict, got Derived)",
           sn.parse_oc_spice, w.missing, Derived())
    expect(TypeError, "Argument 'component_map' has incorrect type (expected dict, got list)",
           sn.parse_oc_spice, w.missing, None, [])
    expect(TypeError, "parse_oc_spice() takes at most 3 positional arguments (4 given)",
           sn.parse_oc_spice, w.missing, None, None, None)
    expect(TypeError, "parse_oc_spice() takes at least 1 positional argument (0 given)", sn.parse_oc_spice)


@op("parse_oc_spice(failing netlists)")
def parse_failures(w: Workload) -> None:
    for text, error_type, message in PARSE_FAILURES:
        expect(error_type, message, sn.parse_oc_spice, io.StringIO(text))


@op("parse_oc_spice(netlists that warn)")
def parse_warnings(w: Workload) -> None:
    for text, message in PARSE_WARNINGS:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            sn.parse_oc_spice(io.StringIO(text))
        assert [str(c.message) for c in caught] == [message], caught


@op("parse_oc_spice(missing, undecodable and unreadable input)")
def parse_bad_input(w: Workload) -> None:
    expect(FileNotFoundError, None, sn.parse_oc_spice, w.missing)
    expect(FileNotFoundError, None, sn.parse_oc_spice, str(w.missing))
    expect(IsADirectoryError, None, sn.parse_oc_spice, w.dir)
    expect(UnicodeDecodeError, None, sn.parse_oc_spice, w.undecodable)
    expect(OSError, "[Errno 5] device gone", sn.parse_oc_spice, FailingStream())


@op("get_pdk, get_base_pdk, activate_pdk_by_name")
def pdk_access(w: Workload) -> None:
    assert pk.get_pdk() is w.pdk and pk.get_base_pdk() is w.base
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert pk.activate_pdk_by_name("other") is w.pdk
    assert len(caught) == 1 and caught[0].category is DeprecationWarning


@op("PDK import errors")
def pdk_import_errors(w: Workload) -> None:
    saved = pk.settings
    try:
        pk.settings = SimpleNamespace(get_pdk_name=lambda: "kv_soak_absent", get_project_name=lambda: "x")
        expect(ModuleNotFoundError, "No module named 'kv_soak_absent'", pk._get_pdk.__wrapped__)
        pk.settings = SimpleNamespace(get_pdk_name=lambda: "kv_soak_nopdk", get_project_name=lambda: "x")
        expect(ImportError, "Module 'kv_soak_nopdk' does not expose a PDK in its __init__.py.",
               pk._get_pdk.__wrapped__)
    finally:
        pk.settings = saved
    expect(TypeError, "Argument 'name' has incorrect type (expected str, got int)", pk.activate_pdk_by_name, 1)


@op("frozen PDK writes")
def frozen_pdk_writes(w: Workload) -> None:
    expect(AttributeError, "Frozen PDK cannot be modified.", setattr, w.base, "cells", {})
    expect(AttributeError, "Frozen PDK cannot be modified.", setattr, w.base, "new", 1)
    expect(AttributeError, "Frozen PDK cannot be modified.", delattr, w.base, "name")
    expect(TypeError, None, w.base.cells.__setitem__, "x", None)


@op("register_cells()")
def register_all(w: Workload) -> None:
    added, removed = pk.register_cells()
    assert removed == []
    expect(ImportError, None, w.pdk.cells["ring_filter"])  # the broken file's error cell


@op("register_cells(paths=[file], reload=False)")
def register_one_file(w: Workload) -> None:
    pk.register_cells(paths=[w.project / "demo_project" / "cells.py"], reload=False)


@op("register_cells(bad arguments)")
def register_bad_arguments(w: Workload) -> None:
    expect(TypeError, "register_cells() takes exactly 0 positional arguments (1 given)", pk.register_cells, ())
    expect(TypeError, "paths must be an iterable of paths, not a single path (str)",
           pk.register_cells, paths="cells.py")


@op("error cells")
def error_cells(w: Workload) -> None:
    cell = pk._error_cell("c", "mod", "it broke")
    expect(RuntimeError, "it broke", cell, 1, x=2)
    expect(TypeError, "Argument 'funcname' has incorrect type (expected str, got bytes)",
           pk._error_cell, b"c", "mod", "x")


@op("freeze")
def freeze_cell(w: Workload) -> None:
    record = fz.freeze("splitter_tree", spacing=40.0)
    assert list(record) == ["instances", "connections", "ports", "placements", "routes", "nets"]
    assert len(record["instances"]) == 3


@op("freeze refusals")
def freeze_refusals(w: Workload) -> None:
    expect(FileNotFoundError, f"Cell nothing not found in PDK {w.pdk.name}", fz.freeze, "nothing")
    expect(RuntimeError, "Cell yaml_ring is alreay a YAML cell.", fz.freeze, "yaml_ring")
    expect(RuntimeError, "Cell empty has no instances.", fz.freeze, "empty")
    expect(TypeError, "Argument 'cell_name' has incorrect type (expected str, got NoneType)", fz.freeze, None)
    expect(TypeError, "freeze() takes exactly 1 positional argument (2 given)", fz.freeze, "a", "b")
    expect(ValueError, "fill_factor must lie between 0 and 1, not 2", fz.freeze, "grating_coupler",
           fill_factor=2)


@op("calling one error cell again and again")
def error_cell_called_again(w: Workload) -> None:
    expect(ValueError, "no such layer", w.broken, width=1)


# --- probes -----------------------------------------------------------------------


class _MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo


def heap_bytes() -> int:
    """Bytes the C allocator has handed out and not got back (C++ containers
    included, which neither tracemalloc nor the object counts see)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def watched_objects() -> dict[str, object]:
    """Objects the modules hold for their whole life: their attributes and the
    interned names their C++ code uses. A reference taken and never given back
    shows as a growing reference count."""
    watched = {}
    for module in (sn, pk, fz):
        for name, value in vars(module).items():
            if not name.startswith("__"):
                watched[f"{module.__name__.rsplit('.', 1)[1]}.{name}"] = value
    for name in ("resistor", "capacitor", "instances", "connections", "ports", "settings", "placements",
                 "component", "children_ids", "Subckt", "Conn", "ParseError", "ParseWarning", "PDK", "ERROR",
                 "UNKNOWN", "status", "message", "warnings", "routes", "nets", "minus", "plus", "out", "gnd_",
                 "origin", "error", "cells", "models", "name"):
        watched[f"'{name}'"] = sys.intern(name)
    return watched


COUNTED = ("heap", "blocks", "objects")


def counted() -> dict[str, int]:
    return {"heap": heap_bytes(), "blocks": sys.getallocatedblocks(), "objects": len(gc.get_objects())}


class Reading(SimpleNamespace):
    """Process figures at one moment, after a full collection. The counts are
    taken before and after the reading makes its own objects (`start`, `end`),
    so that a later reading does not count them as growth."""

    @classmethod
    def take(cls, watched: dict[str, object]) -> Reading:
        gc.collect()
        start = counted()
        reading = cls(
            start=start,
            rss=rss_bytes(),
            fds=open_fds(),
            refs={name: sys.getrefcount(value) for name, value in watched.items()},
        )
        reading.end = counted()
        return reading


# Growth allowed after warm-up, per operation, in bytes. Resident memory moves
# in steps of whole pages and arenas (a table of the runtime resized once
# shows as most of a MiB), so it gets two.
BOUNDS = {"rss": 2 << 20, "heap": 1 << 20, "traced": 1 << 20}

# Under the address sanitizer the allocator is the sanitizer's: it keeps freed
# memory in quarantine and counts nothing the probes read, so only file
# descriptors, collected objects and references are held to account there.
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()


class Soak(SimpleNamespace):
    """One operation called `calls` times in each of two windows after a
    warm-up, with readings at the start (r0), between the windows (r1) and at
    the end (r2); then, after a traced warm-up, two more windows under
    tracemalloc (`traced`: the smaller growth of the traced total,
    `traced_max` the larger). Tracing runs only in its own windows because its
    tables live on the same heap as what the first two windows measure."""

    @staticmethod
    def _between(earlier: Reading, later: Reading, key: str) -> int:
        if key in COUNTED:
            return later.start[key] - earlier.end[key]
        return getattr(later, key) - getattr(earlier, key)

    def growth(self, key: str) -> int:
        """Growth over both windows."""
        return self._between(self.r0, self.r1, key) + self._between(self.r1, self.r2, key)

    def per_window(self, key: str) -> int:
        """The smaller growth of the two windows: a leak grows in both, a cache
        filling up or a table resized once in at most one."""
        return min(self._between(self.r0, self.r1, key), self._between(self.r1, self.r2, key))

    def problems(self) -> list[str]:
        found = []
        if not SANITIZED:
            grown = {"rss": self.growth("rss"), "heap": self.growth("heap"), "traced": self.traced}
            found += [f"{key} grew by {grown[key]} bytes (bound {bound})" for key, bound in BOUNDS.items()
                      if grown[key] > bound]
        # Something kept per call: at least one object or block per call in both windows.
        for key in ("objects",) if SANITIZED else ("blocks", "objects"):
            if self.per_window(key) >= self.calls:
                found.append(f"{key} grew by {self.per_window(key)} in each window of {self.calls} calls")
        if not SANITIZED and self.per_window("heap") >= 8 * self.calls:
            found.append(f"the C heap grew by {self.per_window('heap')} bytes in each window of {self.calls} calls")
        if self.r2.fds != self.r0.fds:
            found.append(f"open file descriptors went from {self.r0.fds} to {self.r2.fds}")
        # The modules' own objects get back every reference; a shared name
        # (interned text) may move with the runtime's caches, but not grow on.
        refs = {}
        for name, before in self.r0.refs.items():
            steps = (self.r1.refs[name] - before, self.r2.refs[name] - self.r1.refs[name])
            if (not name.startswith("'") and sum(steps)) or min(steps) > 0:
                refs[name] = steps
        if refs:
            found.append(f"reference counts changed (per window): {refs}")
        return found


def soak(fn: Callable[[], None], calls: int, warmup: int | None = None, traced_calls: int | None = None) -> Soak:
    """Call `fn` quietly (warnings ignored) for a warm-up (a fifth of `calls`),
    two windows of `calls` calls, a traced warm-up of half `traced_calls`
    (default `calls`) and two traced windows of `traced_calls` (see `Soak`)."""
    watched = watched_objects()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(calls // 5 if warmup is None else warmup):
            fn()
        r0 = Reading.take(watched)
        clock = time.perf_counter()
        for _ in range(calls):
            fn()
        r1 = Reading.take(watched)
        for _ in range(calls):
            fn()
        seconds = time.perf_counter() - clock
        r2 = Reading.take(watched)
        started = not tracemalloc.is_tracing()
        if started:
            tracemalloc.start()
        try:
            traced = []
            # Objects made before tracing and replaced during it (modules
            # reloaded, caches refreshed) count only when their replacement
            # is made: a traced warm-up replaces them first.
            for _ in range((calls if traced_calls is None else traced_calls) // 2):
                fn()
            for _ in range(2):
                gc.collect()
                before = tracemalloc.get_traced_memory()[0]
                for _ in range(calls if traced_calls is None else traced_calls):
                    fn()
                gc.collect()
                traced.append(tracemalloc.get_traced_memory()[0] - before)
        finally:
            if started:
                tracemalloc.stop()
    return Soak(calls=calls, r0=r0, r1=r1, r2=r2, traced=min(traced), traced_max=max(traced), seconds=seconds)
