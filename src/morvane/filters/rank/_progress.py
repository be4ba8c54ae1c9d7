"""Progress of long calls: `progress=` of the public filters.

A caller gives None (nothing is reported, and nothing is spent), True (a bar
on stderr: tqdm's where it is installed, else one line rewritten in place),
or a callable told ``(done, total)`` with ``done`` rising to ``total``.
"""

import sys
import threading

# Steps of a call that several filters make up (a top-hat, a threshold).
UNITS = 1000


def reporter(progress, what):
    """None, or a callable (done, total) for the caller's `progress`."""
    if progress is None or progress is False:
        return None
    if progress is True:
        return _Bar(what)
    if callable(progress):
        return progress
    raise TypeError(f"progress must be None, True or a callable (done, total), "
                    f"got {type(progress).__name__} {progress!r}")


class _Bar:
    """A bar on stderr, closed once done reaches total."""

    def __init__(self, what):
        self.what, self.bar, self.closed = what, None, False
        try:
            import tqdm
            self.tqdm = tqdm.tqdm
        except ImportError:
            self.tqdm = None

    def __call__(self, done, total):
        if self.closed:
            return
        if self.tqdm is not None:
            if self.bar is None:
                self.bar = self.tqdm(total=total, desc=self.what, file=sys.stderr, leave=True)
            self.bar.update(done - self.bar.n)
            if done >= total:
                self.bar.close()
        else:
            end = "\n" if done >= total else ""
            sys.stderr.write(f"\r{self.what}: {100 * done // max(total, 1):3d}% "
                             f"({done}/{total}){end}")
            sys.stderr.flush()
        self.closed = done >= total


class Parts:
    """One call's progress made of parts, each a share of it in turn: part(k)
    is the callable (done, total) of the k-th of `count`; the caller is told
    (done, UNITS), rising, and (UNITS, UNITS) by finish()."""

    def __init__(self, report, count):
        self.report, self.count, self.last = report, max(count, 1), -1

    def part(self, k):
        if self.report is None:
            return None
        return lambda done, total: self._at((k + done / max(total, 1)) / self.count)

    def finish(self):
        if self.report is not None:
            self._at(1.0)

    def _at(self, fraction):
        value = min(UNITS, int(fraction * UNITS))
        if value > self.last:
            self.last = value
            self.report(value, UNITS)


def per_channel(report, channels):
    """The callables (done, total) of `channels` channels filtered in turn,
    each reporting a channel's share of `report` (None: None)."""
    if report is None:
        return [None] * channels
    return [lambda done, total, c=c: report(c * total + done, channels * total)
            for c in range(channels)]


class Blocks:
    """Counts finished blocks (of a dask array, on any thread) and tells
    report (done, total)."""

    def __init__(self, report, total):
        self.report, self.total, self.done = report, total, 0
        self.lock = threading.Lock()

    def tick(self):
        with self.lock:
            self.done = min(self.done + 1, self.total)
            self.report(self.done, self.total)
