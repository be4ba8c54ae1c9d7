"""This build beside another build of the package (an earlier commit), in one run.

    python benchmarks/compare_builds.py --other /path/to/other/venv/bin/python

Each interpreter runs as a worker that builds the same images and, on each
request, times one call of one row; the rows alternate between the two
builds (best of --repeats each), one thread each, outputs given to both, and
the results must be identical. Prints a Markdown table of milliseconds and
of the other build's time over this one's (> 1: this build is faster).
"""

import argparse
import json
import subprocess
import os
import sys

WORKER = r'''
import json, sys, time, zlib
import numpy as np
from morvane.filters.rank import (ball, disk, entropy, maximum, mean, median, minimum, mode,
                                  percentile)

rng = np.random.default_rng(1)
u8 = rng.integers(0, 256, (2048, 2048)).astype(np.uint8)
u16 = rng.integers(0, 65536, (2048, 2048)).astype(np.uint16)
f32 = rng.random((1024, 1024), dtype=np.float32)
vol = rng.integers(0, 256, (96, 96, 96)).astype(np.uint8)
box = lambda k: np.ones((k, k), bool)
ROWS = {
    "median u8 3x3": lambda o: median(u8, footprint=box(3), out=o),
    "median u8 5x5": lambda o: median(u8, footprint=box(5), out=o),
    "median u8 disk r=3": lambda o: median(u8, footprint=disk(3), out=o),
    "median u8 disk r=10": lambda o: median(u8, footprint=disk(10), out=o),
    "median u8 41x41": lambda o: median(u8, footprint=box(41), out=o),
    "percentile u8 disk r=40 p=0.9": lambda o: percentile(u8, disk(40), 0.9, out=o),
    "median u16 disk r=5": lambda o: median(u16, footprint=disk(5), out=o),
    "median u16 3x3": lambda o: median(u16, footprint=box(3), out=o),
    "median f32 (1024²) disk r=3": lambda o: median(f32, footprint=disk(3), out=o),
    "minimum u8 disk r=2": lambda o: minimum(u8, footprint=disk(2), out=o),
    "maximum u8 21x21": lambda o: maximum(u8, footprint=box(21), out=o),
    "mean u8 disk r=5": lambda o: mean(u8, footprint=disk(5), out=o),
    "median u8 ball r=3 (96³)": lambda o: median(vol, footprint=ball(3), out=o),
    "median u16 disk r=10": lambda o: median(u16, footprint=disk(10), out=o),
    "entropy u8 disk r=10": lambda o: entropy(u8, footprint=disk(10), out=o),
    "mode u8 disk r=5": lambda o: mode(u8, footprint=disk(5), out=o),
}
INPUT = {name: (f32 if "f32" in name else vol if "ball" in name else u16 if "u16" in name
                else u8) for name in ROWS}
outs = {}
for line in sys.stdin:
    name = line.strip()
    if name == "?":
        print(json.dumps(list(ROWS)), flush=True)
        continue
    image = INPUT[name]
    if name not in outs:
        real = name.startswith(("mean", "entropy"))
        outs[name] = np.empty(image.shape, np.float64 if real else image.dtype)
    start = time.perf_counter()
    ROWS[name](outs[name])
    took = time.perf_counter() - start
    print(json.dumps([took, zlib.crc32(outs[name].tobytes())]), flush=True)
'''


class Worker:
    def __init__(self, python):
        self.process = subprocess.Popen([python, "-c", WORKER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True,
                                        env={**os.environ, "OMP_NUM_THREADS": "1"})

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise RuntimeError(f"worker {self.process.args[0]} ended")
        return json.loads(answer)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--other", required=True, help="the other build's Python interpreter")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("rows", nargs="*", help="rows whose names contain one of these words")
    args = parser.parse_args(argv)
    this, other = Worker(sys.executable), Worker(args.other)
    try:
        rows = this.ask("?")
        print("| row | other build (ms) | this build (ms) | other / this |")
        print("|---|---:|---:|---:|")
        for name in rows:
            if args.rows and not any(word in name for word in args.rows):
                continue
            best_this = best_other = float("inf")
            sums = set()
            for _ in range(args.repeats):
                t, crc = other.ask(name)
                best_other = min(best_other, t)
                sums.add(crc)
                t, crc = this.ask(name)
                best_this = min(best_this, t)
                sums.add(crc)
            same = "" if len(sums) == 1 else " (results DIFFER)"
            print(f"| {name} | {best_other * 1e3:.2f} | {best_this * 1e3:.2f} | "
                  f"{best_other / best_this:.2f}{same} |", flush=True)
    finally:
        this.close()
        other.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
