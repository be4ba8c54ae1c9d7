"""Ctrl-C during a long filter: the call ends soon with KeyboardInterrupt and
leaves no thread of its own behind.

The child sizes its workload so that the call, left alone, would run for
several seconds on this machine, and sends itself SIGINT from another
thread once the call has started (its first progress report), so the
signal always lands inside the call, however fast the machine."""

import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    from morvane.filters.rank import _api, _filters

    def threads():
        return len(os.listdir("/proc/self/task"))

    # A job started in the background of a shell (or under nohup) inherits
    # SIGINT ignored, and Python then leaves it ignored: take it back.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    name, workers = sys.argv[1], int(sys.argv[2])
    rng = np.random.default_rng(0)
    ball = np.sum(np.square(np.mgrid[-9:10, -9:10, -9:10]), axis=0) <= 81
    big_ball = np.sum(np.square(np.mgrid[-30:31, -30:31, -30:31]), axis=0) <= 900
    disk = np.hypot(*np.ogrid[-90:91, -90:91]) <= 90
    # name -> (statistic, footprint, p, shape of n planes or rows, smallest n)
    cases = {"median_3d": (_filters.PERCENTILE, ball, 0.5, lambda n: (n, 160, 160), 24),
             "mean_3d": (_filters.MEAN, big_ball, 0.0, lambda n: (n, 160, 160), 64),
             "percentile_2d": (_filters.PERCENTILE, disk, 0.9, lambda n: (n, 4096), 256)}
    stat, footprint, p, shape, n = cases[name]

    def call(n, progress=None):
        image = rng.integers(0, 60000, shape(n), dtype=np.uint16)
        start = time.monotonic()
        _api._statistic(stat, image, footprint, p=p, workers=workers, bands=64,
                        progress=progress)
        return time.monotonic() - start

    # Left alone, the call would take at least LONG seconds (from a short
    # call's time per plane or row; the cost is about linear in them).
    LONG = 4.0
    per = call(n) / n
    n = min(max(n, int(LONG / per) + 1), 40 * n)
    started, sent = threading.Event(), []

    def interrupt():
        started.wait()
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    # A joined thread can stay listed for a moment after its join returns:
    # let the measuring call's threads leave /proc before counting.
    time.sleep(0.1)
    before = threads()
    threading.Thread(target=interrupt, daemon=True).start()
    print("expected", n * per, flush=True)
    try:
        call(n, lambda done, total: started.set())
    except KeyboardInterrupt:
        now = time.monotonic()
        time.sleep(0.1)  # the interrupting thread ends
        print("interrupted", now - sent[0], threads() - before, flush=True)
    else:
        print("finished", flush=True)
""")

# The call must end within this many seconds of the signal (it ends within
# a tenth of a second on an idle machine; CI machines are shared).
BOUND = 1.5


@pytest.mark.skipif(sys.platform != "linux", reason="counts threads through /proc")
@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("name", ["median_3d", "mean_3d", "percentile_2d"])
def test_sigint_ends_the_call(name, workers):
    child = subprocess.run([sys.executable, "-c", CHILD, name, str(workers)],
                           capture_output=True, text=True, timeout=300)
    lines = [line.split() for line in child.stdout.splitlines()]
    assert len(lines) == 2 and lines[0][0] == "expected", (child.stdout, child.stderr)
    expected, line = float(lines[0][1]), lines[1]
    assert line[0] == "interrupted", (line, child.stderr)
    assert expected > 2 * BOUND, "the workload is too short to show that it was cancelled"
    assert float(line[1]) < BOUND
    assert int(line[2]) == 0, "threads left running"
