"""Refit the engine's calibration table on this machine.

The engine's cost models give nanoseconds per pixel as measured on the AVX2
machine it was tuned on; each instruction set scales each method's model by
a factor of its own (native/engine/dispatch.cpp, kCalibration). This script
times every method, one thread, on representative calls under every
instruction set this machine runs (a child process per set, MORVANE_ISA
set), divides by what the model predicts, and prints the table to paste,
the factor of each (set, method) being the geometric mean of its ratios.

    python benchmarks/calibrate.py            # every set this machine runs
    python benchmarks/calibrate.py --quick    # fewer, smaller calls

Sets this machine cannot run keep the row they have (printed as is).
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time

ISAS = ["portable", "sse2", "avx2", "neon", "avx512"]
METHODS = ["sort", "network", "histogram", "columns", "runs", "sums"]


def cases(quick):
    """(name, statistic, engine dtype, shape, footprint, masked, p)."""
    import numpy as np

    from morvane.filters.rank import ball, disk

    side = 256 if quick else 512
    out = []
    for dtype in (np.uint8, np.uint16, np.uint32):
        for r in (1, 2, 4, 8):
            out.append((f"median disk r={r} {np.dtype(dtype).name}", 0, dtype, (side, side),
                        disk(r), False, 0.5))
        out.append((f"median box 9x9 {np.dtype(dtype).name}", 0, dtype, (side, side),
                    np.ones((9, 9), bool), False, 0.5))
        out.append((f"p90 disk r=3 masked {np.dtype(dtype).name}", 0, dtype, (side, side),
                    disk(3), True, 0.9))
        out.append((f"minimum disk r=5 {np.dtype(dtype).name}", 2, dtype, (side, side),
                    disk(5), False, 0.0))
        out.append((f"mean disk r=5 {np.dtype(dtype).name}", 1, dtype, (side, side), disk(5),
                    False, 0.0))
    out.append(("median ball r=2 uint8", 0, np.uint8, (48, 64, 64), ball(2), False, 0.5))
    out.append(("mean disk r=5 float64", 1, np.float64, (side, side), disk(5), False, 0.0))
    return out


def child(quick):
    """Times every applicable method of every case under the instruction
    set the environment forces; prints (case, method, measured ns per pixel,
    model ns per pixel) as JSON."""
    import numpy as np

    from morvane.filters.rank import _filters

    rng = np.random.default_rng(3)
    rows = []
    for name, stat, dtype, shape, footprint, masked, p in cases(quick):
        top = {np.uint8: 256, np.uint16: 65536, np.uint32: 1 << 20}.get(dtype)
        image = (rng.random(shape) * 1000.0 if top is None
                 else rng.integers(0, top, shape)).astype(dtype)
        mask = (rng.random(shape) < 0.9).astype(np.uint8) if masked else None
        fp = np.asarray(footprint, np.uint8)
        shift = (0,) * image.ndim
        bins = top if dtype == np.uint32 else None
        out = np.empty(shape, np.float64 if stat == 1 else dtype)
        info = _filters.engine(stat, image, fp, mask, None, shift, p, 1, "explain", 0, None, bins)
        for method, cost in info["costs"].items():
            model = cost / info["scales"][method]

            def once():
                _filters.engine(stat, image, fp, mask, out, shift, p, 1, method, 0, None, bins)

            once()
            # Enough repeats for 0.2 s, the best of them.
            start = time.perf_counter()
            once()
            single = max(time.perf_counter() - start, 1e-6)
            best = single
            for _ in range(max(1, min(20, int(0.2 / single)))):
                start = time.perf_counter()
                once()
                best = min(best, time.perf_counter() - start)
            rows.append((name, method, best * 1e9 / image.size, model))
    print(json.dumps({"isa": _filters.ISA, "rows": rows}))


def current_table():
    """The table as dispatch.cpp has it, by set and method."""
    path = os.path.join(os.path.dirname(__file__), "..", "native", "engine", "dispatch.cpp")
    text = open(path).read()
    body = text[text.index("kCalibration[") :]
    body = body[body.index("{") + 1 : body.index("};")]
    table = {}
    for line in body.splitlines():
        line = line.strip()
        if not line.startswith("{"):
            continue
        numbers, isa = line.split("}", 1)
        table[isa.strip(" ,/").split()[0]] = [float(v) for v in numbers.strip("{ ").split(",")]
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, smaller calls")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.quick)
        return
    table = current_table()
    for isa in ISAS:
        env = dict(os.environ, MORVANE_ISA=isa)
        run = subprocess.run([sys.executable, __file__, "--child"] + (["--quick"] if args.quick
                                                                      else []),
                             capture_output=True, text=True, env=env)
        if run.returncode != 0:
            print(f"# {isa}: not run here ({run.stderr.strip().splitlines()[-1]})",
                  file=sys.stderr)
            continue
        result = json.loads(run.stdout)
        print(f"# {isa}: measured / model, one thread", file=sys.stderr)
        ratios = {m: [] for m in METHODS}
        for name, method, measured, model in result["rows"]:
            ratios[method].append(measured / model)
            print(f"#   {name:34s} {method:10s} {measured:8.2f} ns  model {model:8.2f}",
                  file=sys.stderr)
        table[isa] = [round(math.exp(sum(map(math.log, r)) / len(r)), 2) if r else old
                      for r, old in zip((ratios[m] for m in METHODS), table[isa])]
    print("    //  sort  network histogram columns runs  sums")
    for isa in ISAS:
        print("    {" + ", ".join(f"{v:.2f}" for v in table[isa]) + "},  // " + isa)


if __name__ == "__main__":
    main()
