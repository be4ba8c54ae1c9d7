"""Failures of the footprint analysis: NumPy calls that raise, a missing `np`.

Each failure must leave the exception with the driver's traceback entry at
the line of the failing step, call no kernel, leave `out` untouched and
release everything (the client checks its records' acquisition counts).
"""

import sys
import traceback

import numpy as np
import pytest

import morvane.filters.rank.slidewin as slidewin
import helpers
from helpers import FailingNumpy, np_replacer

FUNCTION = "morvane.filters.rank.slidewin._core"


@pytest.fixture
def replace_np():
    yield from np_replacer(slidewin)


def last_entry(exc):
    """The driver's traceback entry: exactly one, after the client's own."""
    entries = traceback.extract_tb(exc.__traceback__)
    ours = [i for i, e in enumerate(entries) if e.name.startswith(FUNCTION)]
    assert len(ours) == 1, entries
    entry = entries[ours[0]]
    # Only frames of the failing NumPy stand-in may follow the driver's.
    assert all(e.filename == helpers.__file__ for e in entries[ours[0] + 1:])
    return entry.name, entry.filename, entry.lineno


def run_failing(client):
    image = np.arange(30, dtype=np.uint8).reshape(5, 6)
    out = np.full((5, 6, 1), 7.0)
    with pytest.raises(Exception) as info:
        client.core("mean", image, np.ones((3, 3), np.uint8), None, out)
    assert (out == 7.0).all(), "out was written"
    return info.value


@pytest.mark.parametrize("name,when,line", [
    ("not_equal", 0, 91), ("hstack", 0, 91), ("diff", 0, 92),      # east
    ("not_equal", 1, 94), ("diff", 1, 95),                         # west
    ("vstack", 0, 97), ("diff", 2, 98),                            # south
    ("vstack", 1, 100), ("diff", 3, 101),                          # north
    ("zeros", 4, 105),                                             # histogram
    ("empty", 0, 111), ("empty", 1, 112), ("empty", 2, 114), ("empty", 3, 115),
    ("empty", 4, 117), ("empty", 5, 118), ("empty", 6, 120), ("empty", 7, 121),
])
def test_numpy_failure_reports_its_step(client, replace_np, name, when, line):
    replace_np(FailingNumpy().fail(name, when))
    exc = run_failing(client)
    assert isinstance(exc, MemoryError) and str(exc) == f"{name} refused"
    assert last_entry(exc) == (FUNCTION, "slidewin", line)


def test_missing_np_is_a_name_error(client, replace_np):
    replace_np(None)
    exc = run_failing(client)
    assert type(exc) is NameError and str(exc) == "name 'np' is not defined"
    assert last_entry(exc) == (FUNCTION, "slidewin", 91)


def test_negative_bin_count_fails_making_the_histogram(client):
    image = np.zeros((4, 4), np.uint8)
    out = np.full((4, 4, 1), 3.0)
    with pytest.raises(ValueError) as info:
        client.core("mean", image, np.ones((3, 3), np.uint8), None, out, bin_count=-1)
    assert last_entry(info.value) == (FUNCTION, "slidewin", 105)
    assert (out == 3.0).all()


def test_failing_paths_do_not_leak(client, replace_np):
    import gc
    failing = FailingNumpy().fail("empty", 5)
    replace_np(failing)

    def calls(n):
        for _ in range(n):
            failing.calls.clear()
            run_failing(client)

    calls(2000)  # warm-up: caches of the interpreter, NumPy and pytest
    # A leak costs at least one block per call, in every round; caches and
    # free lists may still settle by a few hundred blocks in the first.
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        calls(2000)
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
        if growth[-1] < 200:
            break
    assert growth[-1] < 200, growth


def test_cline_in_traceback_names_the_implementation_line(client):
    support = sys.modules["_morvane_slidewin_runtime"]
    assert getattr(support, "cline_in_traceback", False) is False
    image = np.zeros((4, 4), np.uint8)
    out = np.zeros((4, 4, 1))
    support.cline_in_traceback = True
    try:
        with pytest.raises(AssertionError) as info:
            client.core("mean", image, np.ones((3, 3), np.uint8), None, out, shift_x=2)
    finally:
        support.cline_in_traceback = False
    name, filename, line = last_entry(info.value)
    assert name.startswith(FUNCTION + " (native/core/slidewin.cpp:")
    assert (filename, line) == ("slidewin", 75)
