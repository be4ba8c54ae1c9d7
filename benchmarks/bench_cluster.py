"""apply_dask beside dask-image on a local cluster: a zarr array in, a zarr array out.

    python -m pip install ".[bench]" zarr "dask[array]" distributed dask-image
    python benchmarks/bench_cluster.py            # 8192^2 and 128x768x768 uint16 (about 5 min)
    python benchmarks/bench_cluster.py --quick    # small arrays, under a minute
    python benchmarks/bench_cluster.py --size 4096 --volume 0 --repeats 2

A deterministic uint16 image (and volume) is written to a zarr folder store
in a temporary folder, then filtered by a median of a size= box with
mode="reflect" on a fresh dask.distributed.LocalCluster (processes, one
thread each) for every run, ours and dask-image's interleaved, each result
written back with to_zarr; the two results are read back and must be equal
(SciPy's median_filter, which dask-image runs on every block, and ours agree
there). A second table splits our cluster run into what reading, writing
and the overlap cost without any filter, beside the in-memory call and
dask's threaded scheduler. Peak memory is each process's high-water mark
(VmHWM): the largest over the cluster's workers, or that of a fresh process
for the runs without a cluster. The zarr files are read warm, from the page
cache.
"""

import argparse
import concurrent.futures
import logging
import multiprocessing
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

SEED = 20240611


def status_mb(key):
    """This process's VmRSS or VmHWM (its peak so far), in MB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def warm():
    """Import what either side uses, so that no run pays for it; this
    process's memory after."""
    import dask.array  # noqa: F401
    import dask_image.ndfilters  # noqa: F401
    import scipy.ndimage  # noqa: F401
    import zarr  # noqa: F401

    import morvane.filters.rank  # noqa: F401
    return status_mb("VmRSS")


def fmt(seconds):
    return f"{seconds:.2f}" if abs(seconds) >= 0.1 else f"{seconds:.3f}"


def loadavg():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


# ---------------------------------------------------------------------------
# The arrays and the jobs


def make_source(path, shape, chunks, bits):
    """A uint16 array of `bits`-bit noise, written slab by slab along the
    first axis, the same for the same shape and seed on every machine."""
    import zarr

    rng = np.random.default_rng(SEED)
    array = zarr.create_array(store=path, shape=shape, chunks=chunks, dtype=np.uint16)
    for start in range(0, shape[0], chunks[0]):
        stop = min(start + chunks[0], shape[0])
        array[start:stop] = rng.integers(0, 1 << bits, (stop - start,) + shape[1:],
                                         dtype=np.uint16)
    return array


def ours(src, dst, k, workers=1):
    import dask.array as da

    from morvane.filters.rank import apply_dask, median
    apply_dask(median, da.from_zarr(src), size=k, mode="reflect",
               workers=workers).to_zarr(dst)


def theirs(src, dst, k):
    import dask.array as da
    from dask_image import ndfilters
    ndfilters.median_filter(da.from_zarr(src), size=k, mode="reflect").to_zarr(dst)


def read_only(src, dst, k):
    """Every block read and decompressed; one pixel of each kept."""
    import dask.array as da
    x = da.from_zarr(src)
    x.map_blocks(lambda b: b[(slice(0, 1),) * b.ndim],
                 chunks=tuple((1,) * n for n in x.numblocks)).compute()


def read_write(src, dst, k):
    import dask.array as da
    da.from_zarr(src).to_zarr(dst)


def read_overlap_write(src, dst, k):
    """The overlap both sides build for a k-box with mode="reflect" (k // 2
    pixels from each neighbour, nothing added at the array's border: the
    filter mirrors it), and no filter."""
    import dask.array as da
    x = da.from_zarr(src)
    r = k // 2
    depth = {d: (r, r) for d in range(x.ndim)}
    da.map_overlap(lambda b: b, x, depth=depth, boundary="none", dtype=x.dtype,
                   meta=np.empty((0,) * x.ndim, x.dtype)).to_zarr(dst)


def in_memory(src, k, workers, repeats):
    """The best time of the median of the whole array, read beforehand
    (not timed), each call with a result of its own."""
    import zarr

    from morvane.filters.rank import median
    image = zarr.open_array(src, mode="r")[...]
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        median(image, size=k, mode="reflect", workers=workers)
        times.append(time.perf_counter() - start)
    return min(times)


def alone(job, src, dst, k, workers, repeats=1):
    """Run in a fresh process: (seconds, peak MB), no cluster."""
    warm()
    if job == "memory":
        seconds = in_memory(src, k, workers, repeats)
    else:
        import dask
        with dask.config.set(scheduler="threads", num_workers=workers):
            start = time.perf_counter()
            ours(src, dst, k)
            seconds = time.perf_counter() - start
    return seconds, status_mb("VmHWM")


def in_process(job, src, dst, k, workers, repeats=1):
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        return pool.submit(alone, job, src, dst, k, workers, repeats).result()


def on_cluster(job, src, dst, k, workers):
    """(seconds, peak MB of the largest worker, its memory before) of `job`
    on a fresh local cluster of `workers` processes of one thread."""
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(workers)
        base = client.run(warm)
        start = time.perf_counter()
        job(src, dst, k)
        seconds = time.perf_counter() - start
        peaks = client.run(status_mb, "VmHWM")
    return seconds, max(peaks.values()), max(base.values())


# ---------------------------------------------------------------------------
# One array


READ_SRC = "read the source only (decompress)"
COPY_SRC = "read + write the source (no filter)"
READ_RES = "read our median's result only"
COPY_RES = "read + write our median's result (no filter)"
OVERLAP = "read + overlap + write the source (no filter)"
MEMORY = "in memory, workers={} (no dask, no zarr)"


class Paths:
    """Fresh output folders under `root`, removed when asked."""

    def __init__(self, root):
        self.root, self.count = root, 0

    def new(self):
        self.count += 1
        return os.path.join(self.root, f"out{self.count}.zarr")

    @staticmethod
    def drop(path):
        shutil.rmtree(path, ignore_errors=True)


def best_into(paths, repeats, run):
    """The best of `repeats` runs, each writing into a fresh folder that is
    removed after it."""
    runs = []
    for _ in range(repeats):
        dst = paths.new()
        runs.append(run(dst))
        paths.drop(dst)
    return min(runs)


def read_back(path):
    import zarr
    return zarr.open_array(path, mode="r")[...]


def bench_array(name, shape, chunks, k, args, paths):
    from morvane.filters.rank import median

    print(f"[{name}] writing the source", file=sys.stderr)
    src = os.path.join(paths.root, f"{name.split()[0]}.zarr")
    make_source(src, shape, chunks, args.bits)
    W = args.workers
    found = {"ours": [], "theirs": []}
    jobs = {"ours": ours, "theirs": theirs}
    load_before = loadavg()
    # A first cluster run of this process pays for what the client side
    # sets up once; it is not counted.
    dst = paths.new()
    on_cluster(read_write, src, dst, k, W)
    paths.drop(dst)
    for rep in range(args.repeats):
        outputs = {}
        for side in ("ours", "theirs")[::1 if rep % 2 == 0 else -1]:
            dst = paths.new()
            seconds, peak, base = on_cluster(jobs[side], src, dst, k, W)
            found[side].append((seconds, peak, base))
            print(f"  {side} {rep + 1}: {fmt(seconds)} s, peak {peak:.0f} MB per worker "
                  f"(from {base:.0f} MB)", file=sys.stderr)
            outputs[side] = dst
        if rep == 0:
            a, b = read_back(outputs["ours"]), read_back(outputs["theirs"])
            c = median(read_back(src), size=k, mode="reflect", workers=W)
            differ = [f"{int(np.count_nonzero(x != y))} pixels differ between {what}"
                      for x, y, what in ((a, b, "ours and dask-image's"),
                                         (a, c, "ours on the cluster and in memory"))
                      if not np.array_equal(x, y)]
            equal = "; ".join(differ) or "yes"
            print(f"  results equal: {equal}", file=sys.stderr)
            del a, b, c
        for side, dst in outputs.items():
            if rep == 0 and side == "ours":
                result = dst  # kept for the stages below
            else:
                paths.drop(dst)

    # The same cluster run without the filter, in parts: reading, writing
    # (the median's values compress more slowly than the noise's), and the
    # overlap.
    stages = {}
    for key, job, path in ((READ_SRC, read_only, src), (COPY_SRC, read_write, src),
                           (READ_RES, read_only, result), (COPY_RES, read_write, result),
                           (OVERLAP, read_overlap_write, src)):
        stages[key] = best_into(paths, args.stage_repeats,
                                lambda dst: on_cluster(job, path, dst, k, W))
        print(f"  {key}: {fmt(stages[key][0])} s", file=sys.stderr)
    paths.drop(result)
    apart = {}
    for label, job, n in ((f"dask threaded scheduler, {W} threads", "threads", W),
                          (MEMORY.format(W), "memory", W),
                          (MEMORY.format(1), "memory", 1)):
        if job == "memory":  # one process, its best call
            apart[label] = in_process(job, src, None, k, n, args.repeats)
        else:
            apart[label] = best_into(paths, args.stage_repeats,
                                     lambda dst: in_process(job, src, dst, k, n))
        print(f"  {label}: {fmt(apart[label][0])} s", file=sys.stderr)
    paths.drop(src)
    return Report(name, len(shape), k, W, found, stages, apart, load_before, loadavg(), equal)


class Report:
    def __init__(self, name, ndim, k, workers, found, stages, apart, before, after, equal):
        self.name, self.ndim, self.k, self.workers = name, ndim, k, workers
        self.equal = equal
        self.found, self.stages, self.apart = found, stages, apart
        self.before, self.after = before, after

    def show(self):
        box = "x".join([str(self.k)] * self.ndim)
        W = self.workers
        ours_t = [s for s, _, _ in self.found["ours"]]
        theirs_t = [s for s, _, _ in self.found["theirs"]]
        peak_o = max(p for _, p, _ in self.found["ours"])
        peak_t = max(p for _, p, _ in self.found["theirs"])
        base = max(b for _, _, b in self.found["ours"] + self.found["theirs"])
        print(f"\n### Median {box}, mode=\"reflect\", {self.name}: zarr to zarr\n")
        print(f"Load average (1, 5, 15 min) before: {self.before}; after: {self.after}. "
              f"Results equal: {self.equal}.\n")
        print("| case | ours s | dask-image s | ratio | peak MB per worker ours/theirs |")
        print("|---|---:|---:|---:|---:|")
        for what, f in (("best", min), ("median", statistics.median)):
            a, b = f(ours_t), f(theirs_t)
            print(f"| LocalCluster {W} processes x 1 thread, {what} of {len(ours_t)} | "
                  f"{fmt(a)} | {fmt(b)} | {b / a:.1f} | {peak_o:.0f} / {peak_t:.0f} |")
        label = f"dask threaded scheduler, {W} threads"
        s, p = self.apart[label]
        print(f"| {label} (one process) | {fmt(s)} | - | - | {p:.0f} / - |")
        print(f"\nA worker holds {base:.0f} MB before its first task (Python, dask, "
              f"NumPy, SciPy, zarr and both filters imported).")

        best = min(ours_t)
        print(f"\n### Where our cluster run goes: {self.name}, median {box}\n")
        print("| stage | s (best) | share of our cluster run | peak MB |")
        print("|---|---:|---:|---:|")
        for label, (s, p, _) in self.stages.items():
            print(f"| {label}, cluster | {fmt(s)} | {s / best:.0%} | {p:.0f} per worker |")
        print(f"| read + overlap + our median + write, cluster | {fmt(best)} | 100% | "
              f"{peak_o:.0f} per worker |")
        print(f"| the same with dask-image's median, cluster | {fmt(min(theirs_t))} | "
              f"{min(theirs_t) / best:.0%} | {peak_t:.0f} per worker |")
        for label, (s, p) in self.apart.items():
            print(f"| {label} | {fmt(s)} | {s / best:.0%} | {p:.0f} in the process |")
        t = {key: v[0] for key, v in self.stages.items()}
        write_src, write_res = t[COPY_SRC] - t[READ_SRC], t[COPY_RES] - t[READ_RES]
        overlap = t[OVERLAP] - t[COPY_SRC]
        rest = best - t[READ_SRC] - write_res - overlap
        print(f"\nBy difference, of our {fmt(best)} s on the cluster: {fmt(t[READ_SRC])} s "
              f"reading the source, {fmt(write_res)} s writing the median (the source's own "
              f"values write in {fmt(write_src)} s), {fmt(overlap)} s for the overlap (the "
              f"same graph as dask-image's), and {fmt(rest)} s for the filter and the rest; "
              f"in memory the filter takes {fmt(self.apart[MEMORY.format(W)][0])} s on {W} "
              f"threads.")
        sys.stdout.flush()


def shape_of(text):
    return tuple(int(n) for n in text.lower().split("x"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=8192,
                        help="side of the square 2D image (0: none); default 8192")
    parser.add_argument("--volume", default="128x768x768",
                        help="shape of the 3D volume, ZxYxX (0: none); default 128x768x768")
    parser.add_argument("--radius", type=int, nargs="+", default=[2, 1],
                        help="half-width of the box (size=2r+1): for the image, then the "
                        "volume; default 2 1 (5x5 and 3x3x3)")
    parser.add_argument("--chunks", type=int, default=1024,
                        help="chunk side of the image; default 1024")
    parser.add_argument("--volume-chunks", default="64x256x256",
                        help="chunks of the volume; default 64x256x256")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes (one thread each); default 2")
    parser.add_argument("--repeats", type=int, default=3,
                        help="runs of each side, interleaved; default 3")
    parser.add_argument("--stage-repeats", type=int, default=2,
                        help="runs of each part of the breakdown; default 2")
    parser.add_argument("--bits", type=int, default=12,
                        help="significant bits of the uint16 values; default 12")
    parser.add_argument("--quick", action="store_true",
                        help="by default a 1024^2 image and a 32x256x256 volume, 2 repeats")
    if parser.parse_args(argv).quick:
        # Options given beside --quick still hold.
        parser.set_defaults(size=1024, volume="32x256x256", chunks=256,
                            volume_chunks="16x128x128", repeats=2, stage_repeats=1)
    args = parser.parse_args(argv)
    if not 1 <= args.bits <= 16:
        parser.error("--bits must be from 1 to 16")
    r2 = args.radius[0]
    r3 = args.radius[1] if len(args.radius) > 1 else r2

    from importlib.metadata import version

    import dask
    import distributed
    import zarr
    print(f"CPUs: {os.cpu_count()}; NumPy {np.__version__}; dask {dask.__version__}; "
          f"distributed {distributed.__version__}; zarr {zarr.__version__}; dask-image "
          f"{version('dask-image')}; load average {loadavg()}")
    cases = []
    if args.size:
        cases.append((f"{args.size}^2 uint16 ({args.bits}-bit), chunks {args.chunks}^2",
                      (args.size, args.size), (args.chunks, args.chunks), 2 * r2 + 1))
    if args.volume != "0":
        shape, chunks = shape_of(args.volume), shape_of(args.volume_chunks)
        cases.append((f"{args.volume} uint16 ({args.bits}-bit), chunks {args.volume_chunks}",
                      shape, chunks, 2 * r3 + 1))
    with tempfile.TemporaryDirectory(prefix="bench_cluster_") as root:
        paths = Paths(root)
        reports = []
        for name, shape, chunks, k in cases:
            reports.append(bench_array(name, shape, chunks, k, args, paths))
            reports[-1].show()
    if any(r.equal != "yes" for r in reports):
        raise SystemExit("the medians differ: see the tables")


if __name__ == "__main__":
    main()
