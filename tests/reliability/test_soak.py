"""Every public operation of the three modules and every error path a user can
reach, called again and again: after warm-up, memory stays flat (resident
memory within 2 MiB, the C heap and the tracemalloc total within 1 MiB per
operation), nothing is kept per call, no file descriptor stays open and the
references the modules hold are given back. `make soak` runs the same with tens of thousands of calls per operation
(tools/soak.py); here each gets a few hundred."""

import pytest

import _soak_workload as soak_workload
import korvane.core.pdk as pk
from _soak_workload import OPERATIONS, Workload, soak

# (calls per window, per traced window, warm-up calls): registrations import
# modules and write the database, so they get fewer calls and a longer warm-up
# (the runtime's import caches settle slowly).
CALLS = {"register_cells()": (200, 40, 200), "register_cells(paths=[file], reload=False)": (150, 30, 100)}


@pytest.fixture(scope="module")
def workload():
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("KORVANE_LOG_LEVEL", "ERROR")  # warnings are logged; keep them off the terminal
        made = Workload()
        yield made
        made.close()


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_repeated_calls_leave_nothing_behind(workload, name):
    calls, traced_calls, warmup = CALLS.get(name, (300, 300, 60))
    result = soak(workload.ops[name], calls=calls, traced_calls=traced_calls, warmup=warmup)
    assert result.problems() == []


@pytest.mark.parametrize(
    "keep, seen",
    [
        (lambda kept: kept.append((object(),)), "blocks grew"),  # a Python object per call
        (lambda kept: kept.append(bytes(1000)), "the C heap grew"),  # memory from the C allocator
    ],
)
@pytest.mark.skipif(soak_workload.SANITIZED, reason="the sanitizer's allocator hides what the probes read")
def test_the_probes_see_a_leak(workload, keep, seen):
    """A call that keeps something each time is caught, so a clean result
    above means something."""
    kept = []
    result = soak(lambda: keep(kept), calls=300)
    assert any(problem.startswith(seen) for problem in result.problems()), result.problems()


def test_an_error_cell_raises_with_the_traceback_of_its_making_each_time():
    """An error cell raises the same error object on every call; its traceback
    keeps where the error came from but not the frames of earlier calls."""

    def chain(tb):
        return [] if tb is None else [tb, *chain(tb.tb_next)]

    try:
        raise ValueError("no such layer")
    except ValueError as error:
        made_with = error
    origin = made_with.__traceback__
    cell = pk._error_cell("c", "m", made_with)
    lengths = []
    for _ in range(3):
        with pytest.raises(ValueError) as info:
            cell()
        assert info.value is made_with and chain(made_with.__traceback__)[-1] is origin
        lengths.append(len(chain(made_with.__traceback__)))
    assert lengths[0] == lengths[-1] == 2
