"""The public filters beside what a user would otherwise pick, in one run.

    python -m pip install ".[bench]"
    python benchmarks/bench_engine.py            # every table (several minutes)
    python benchmarks/bench_engine.py squares disks --repeats 3
    python benchmarks/bench_engine.py statistics   # entropy, mode, Otsu, variance, generic

Every row times ours and the peer interleaved (best of --repeats), one
thread each unless the row says otherwise, and checks the results equal
where the border rules agree (the interior, or everywhere for minimum and
maximum against OpenCV, whose border rule is ours). Prints Markdown tables
of milliseconds and of the peer's time over ours (> 1: we are faster).
"""

import argparse
import gzip
import os
import sys
import time

import numpy as np

from morvane.filters.rank import (_api, _filters, _request, ball, disk, maximum, mean, median,
                                  minimum, percentile)
from morvane.filters.rank._testing import filters as _testing

try:
    import cv2
    cv2.setNumThreads(1)
except ImportError:  # pragma: no cover - reported in the tables
    cv2 = None
try:
    import SimpleITK as sitk
    sitk.ProcessObject.SetGlobalDefaultNumberOfThreads(1)
except ImportError:  # pragma: no cover
    sitk = None
from scipy import ndimage

REPEATS = 5


def best(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


# Rounds of a race go on, up to this many times the repeats asked, until the
# race has taken BUDGET seconds: a call of a tenth of a millisecond gets
# enough rounds for its best time to stand out of the machine's noise.
MORE, BUDGET = 20, 0.25


def race(ours, theirs, repeats=None):
    """Best times of ours and theirs, run alternately, and their results."""
    repeats = repeats or REPEATS
    t_ours = t_theirs = float("inf")
    r_ours = r_theirs = None
    start, rounds = time.perf_counter(), 0
    while rounds < repeats or (rounds < MORE * repeats
                               and time.perf_counter() - start < BUDGET):
        rounds += 1
        t, r_ours = best(ours, 1)
        t_ours = min(t_ours, t)
        t, r_theirs = best(theirs, 1)
        t_theirs = min(t_theirs, t)
    return t_ours, t_theirs, r_ours, r_theirs


def interior(a, reach):
    return a[tuple(slice(reach, n - reach) for n in a.shape)]


def check(ours, theirs, reach, what, close=False):
    """Equal in the interior; or within `close` (True: 1e-9), for a peer
    that sums in floating point."""
    a, b = interior(np.asarray(ours), reach), interior(np.asarray(theirs), reach)
    tol = 1e-9 if close is True else close
    ok = np.allclose(a, b, rtol=tol, atol=tol) if close else np.array_equal(a, b)
    if not ok:
        raise SystemExit(f"{what}: results differ in the interior")


def beside_scipy(image, fp, reach, side, repeats):
    """(ours, SciPy's, note) for a median of `fp`: on the image, or on its
    top-left side x side crop where SciPy would take very long (side None:
    the whole image); the results are checked equal in the interior."""
    crop = image if side is None else image[:side, :side]
    a, b, ra, rb = race(lambda: median(crop, fp),
                        lambda: ndimage.median_filter(crop, footprint=fp), repeats)
    check(ra, rb, reach, f"median, {image.dtype}, reach {reach}")
    return a, b, "" if crop is image else f"on {crop.shape[0]}^2"


class Table:
    def __init__(self, title, peer):
        self.title, self.peer, self.rows = title, peer, []

    def add(self, case, t_ours, t_theirs, note=""):
        self.rows.append((case, t_ours, t_theirs, note))
        print(f"  {case}: ours {t_ours * 1e3:.3f} ms, {self.peer} {t_theirs * 1e3:.3f} ms "
              f"({t_theirs / t_ours:.2f}x) {note}", file=sys.stderr)

    def show(self):
        print(f"\n### {self.title}\n")
        print(f"| case | ours (ms) | {self.peer} (ms) | {self.peer} / ours | note |")
        print("|---|---:|---:|---:|---|")
        for case, a, b, note in self.rows:
            print(f"| {case} | {a * 1e3:.3f} | {b * 1e3:.3f} | {b / a:.2f} | {note} |")
        sys.stdout.flush()


# ---------------------------------------------------------------------------
# Images


def random_u8(shape=(1024, 1024), seed=1):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def sample_path(name):
    import matplotlib
    return os.path.join(os.path.dirname(matplotlib.__file__), "mpl-data", "sample_data", name)


def photo(size=1024):
    """A real photograph (grey, resized to size x size)."""
    from PIL import Image
    with Image.open(sample_path("grace_hopper.jpg")) as picture:
        return np.array(picture.convert("L").resize((size, size), Image.BILINEAR))


def mri(size=1024):
    """A real 16-bit MRI slice, resized with bilinear interpolation and with
    a little sensor noise added: more than 50,000 distinct values."""
    from PIL import Image
    with gzip.open(sample_path("s1045.ima.gz")) as f:
        slice_ = np.frombuffer(f.read(), "<u2").reshape(256, 256).astype(np.float32)
    big = np.array(Image.fromarray(slice_ * (65535.0 / slice_.max())).resize(
        (size, size), Image.BILINEAR))
    big += np.random.default_rng(5).normal(0, 400, big.shape).astype(np.float32)
    return np.clip(big, 0, 65535).astype(np.uint16)


def images_16(shape=(1024, 1024)):
    rng = np.random.default_rng(3)
    return {"uint16 12-bit": rng.integers(0, 4096, shape, dtype=np.uint16),
            "uint16 random (65k values)": rng.integers(0, 65536, shape, dtype=np.uint16),
            "uint16 MRI": mri(shape[0])}


def method_of(kind, image, footprint, p=0.5):
    if image.dtype.kind in "fi":  # the engine reads their keys, of the same layout
        image = image.view(f"u{image.dtype.itemsize}")
    out = np.empty(image.shape, np.float64 if kind == _filters.MEAN else image.dtype)
    fp = _request.footprint_array(footprint, image.ndim)
    return _filters.engine(_api._STATS[kind], image, fp,
                           None, out, (0,) * image.ndim, p, 1, "auto")


# ---------------------------------------------------------------------------
# Tables


def squares():
    """Medians of k x k squares. Both sides write into an output given (our
    out=, OpenCV's dst=), so that neither pays for the first touch of
    fresh memory."""
    t = Table("Median, k x k squares, 1024^2 uint8 random, out given, vs cv2.medianBlur",
              "OpenCV")
    s = Table("Median, k x k squares, 1024^2 uint8 random, vs SimpleITK.Median", "SimpleITK")
    image = random_u8()
    ours_out, their_out = np.empty_like(image), np.empty_like(image)
    for k in (3, 5, 7, 11, 21, 41, 81):
        box = np.ones((k, k), bool)
        if cv2 is not None:
            a, b, ra, rb = race(lambda: median(image, box, out=ours_out),
                                lambda: cv2.medianBlur(image, k, dst=their_out))
            check(ra, rb, k // 2, f"medianBlur k={k}")
            t.add(f"k={k}", a, b, method_of(_filters.PERCENTILE, image, box))
        if sitk is not None and k <= 21:
            img = sitk.GetImageFromArray(image)
            f = sitk.MedianImageFilter()
            f.SetRadius([k // 2, k // 2])
            f.SetNumberOfThreads(1)
            a, b, ra, rb = race(lambda: median(image, box),
                                lambda: sitk.GetArrayFromImage(f.Execute(img)), 3)
            check(ra, rb, k // 2, f"SimpleITK k={k}")
            s.add(f"k={k}", a, b)
    tables = [t, s]
    if cv2 is not None:
        w = Table("Median, k x k squares, 1024^2 uint16 and float32, out given, "
                  "vs cv2.medianBlur", "OpenCV")
        rng = np.random.default_rng(9)
        for name, other in (("uint16 random", rng.integers(0, 65536, (1024, 1024),
                                                            dtype=np.uint16)),
                            ("float32, 1M distinct", (rng.permutation(1 << 20).reshape(
                                1024, 1024) / 7.0).astype(np.float32))):
            mine, theirs = np.empty_like(other), np.empty_like(other)
            for k in (3, 5):
                a, b, ra, rb = race(lambda: median(other, size=k, out=mine),
                                    lambda: cv2.medianBlur(other, k, dst=theirs))
                check(ra, rb, k // 2, f"medianBlur {name} k={k}")
                w.add(f"{name}, k={k}", a, b,
                      method_of(_filters.PERCENTILE, other, np.ones((k, k), bool)))
        c = Table("Median 3x3, 1024^2 uint8 random, out given, vs copying the image into out "
                  "(np.copyto)", "np.copyto")
        a, b, _, _ = race(lambda: median(image, size=3, out=ours_out),
                          lambda: np.copyto(their_out, image), 2 * REPEATS)
        c.add("k=3", a, b, f"ours over the copy: {a / b:.2f}")
        tables += [w, c]
    return tables


def disks():
    """Median of disks: beside SciPy (on a crop where SciPy takes very long)
    and beside the core's C-API path ("today")."""
    tables = []
    for name, image in (("1024^2 uint8 random", random_u8()), ("1024^2 uint8 photograph", photo())):
        t = Table(f"Median, disks, {name}, vs scipy.ndimage.median_filter", "SciPy")
        c = Table(f"Median, disks, {name}, vs the core's C-API path", "C-API path")
        for r in (1, 2, 3, 5, 10, 20, 40):
            fp = disk(r)
            a, b, on = beside_scipy(image, fp, r, None if r <= 5 else 128 + 2 * r,
                                    2 if r > 5 else 3)
            note = method_of(_filters.PERCENTILE, image, fp)
            t.add(f"r={r}", a, b, note + (f" ({on})" if on else ""))
            a, b, ra, rb = race(lambda: median(image, fp),
                                lambda: _testing.core_filter(_filters.PERCENTILE, image, fp, None,
                                                          None, None, 1, 0.5), 3)
            check(ra, rb, 0, f"C-API r={r}")
            c.add(f"r={r}", a, b, note)
        tables += [t, c]
    return tables


def percentiles():
    t = Table("90th percentile, disks, 1024^2 uint8 random, vs scipy.ndimage.percentile_filter",
              "SciPy")
    image = random_u8()
    for r in (1, 2, 3, 5, 10):
        fp = disk(r)
        crop = image if r <= 3 else image[:160, :160]
        a, b, ra, rb = race(lambda: percentile(crop, fp, 0.9),
                            lambda: ndimage.percentile_filter(crop, 90, footprint=fp), 2)
        check(ra, rb, r, f"percentile r={r}")  # both take rank floor(0.9 n)
        t.add(f"r={r}", a, b, "" if crop is image else f"on {crop.shape[0]}^2")
    return [t]


def minmax():
    tables = []
    image = random_u8()
    mine, theirs = np.empty_like(image), np.empty_like(image)
    for name, ours, cv, sp in (("Minimum", minimum, "erode", ndimage.minimum_filter),
                               ("Maximum", maximum, "dilate", ndimage.maximum_filter)):
        t = Table(f"{name}, disks and a 3x3 square, 1024^2 uint8 random, out given, "
                  f"vs cv2.{cv}", "OpenCV")
        s = Table(f"{name}, disks, 1024^2 uint8 random, vs scipy.ndimage.{sp.__name__}", "SciPy")
        for r in ("3x3", 1, 2, 3, 5, 10, 20, 40):
            fp = np.ones((3, 3), bool) if r == "3x3" else disk(r)
            case = "3x3" if r == "3x3" else f"r={r}"
            if cv2 is not None:
                op = getattr(cv2, cv)
                kernel = fp.astype(np.uint8)
                a, b, ra, rb = race(lambda: ours(image, fp, out=mine),
                                    lambda: op(image, kernel, dst=theirs))
                check(ra, rb, 0, f"{cv} {case}")
                t.add(case, a, b, method_of(_filters.MINIMUM, image, fp))
            if r == "3x3":
                continue
            a, b, ra, rb = race(lambda: ours(image, fp),
                                lambda: sp(image, footprint=fp), 2 if r > 10 else 3)
            check(ra, rb, r, f"{sp.__name__} r={r}")
            s.add(case, a, b)
        tables += [t, s]
    return tables


def means():
    image = random_u8()
    t = Table("Mean, disks, 1024^2 uint8 random, vs cv2.filter2D (float64 out)", "OpenCV")
    s = Table("Mean, disks, 1024^2 uint8 random, vs scipy.ndimage.correlate", "SciPy")
    for r in (1, 2, 3, 5, 10, 20, 40):
        fp = disk(r)
        weights = fp / fp.sum()
        if cv2 is not None:
            a, b, ra, rb = race(lambda: mean(image, fp),
                                lambda: cv2.filter2D(image, cv2.CV_64F, weights,
                                                     borderType=cv2.BORDER_CONSTANT))
            # Kernels of 11 x 11 and more run through OpenCV's single
            # precision DFT: about 1e-6 from the exact mean.
            check(ra, rb, r, f"filter2D r={r}", close=1e-5)
            t.add(f"r={r}", a, b, method_of(_filters.MEAN, image, fp))
        as_float = image.astype(np.float64)
        a, b, ra, rb = race(lambda: mean(image, fp),
                            lambda: ndimage.correlate(as_float, weights, mode="constant"),
                            2 if r > 10 else 3)
        check(ra, rb, r, f"correlate r={r}", close=True)
        s.add(f"r={r}", a, b)
    return [t, s]


def sixteen():
    """uint16: beside SciPy, and our time over our uint8 time."""
    u8 = random_u8()
    out8 = np.empty_like(u8)
    tables = []
    for name, image in images_16().items():
        out16 = np.empty_like(image)
        t = Table(f"Median, disks, 1024^2 {name}, vs scipy.ndimage.median_filter", "SciPy")
        u = Table(f"Median, disks, 1024^2 {name}: our uint8 time over ours", "ours on uint8")
        for r in (1, 2, 3, 5, 10, 20, 40):
            fp = disk(r)
            a, b, on = beside_scipy(image, fp, r, None if r <= 3 else 128 + 2 * r, 2)
            t.add(f"r={r}", a, b, on)
            a, b, _, _ = race(lambda: median(image, fp, out=out16),
                              lambda: median(u8, fp, out=out8), 3)
            u.add(f"r={r}", a, b, method_of(_filters.PERCENTILE, image, fp))
        tables += [t, u]
    return tables


def volumes():
    t = Table("Median, balls, 128^3 uint8 random, vs scipy.ndimage.median_filter", "SciPy")
    volume = np.random.default_rng(4).integers(0, 256, (128, 128, 128), dtype=np.uint8)
    for r in (1, 2, 3, 5):
        fp = ball(r)
        a, b, ra, rb = race(lambda: median(volume, fp),
                            lambda: ndimage.median_filter(volume, footprint=fp), 1)
        check(ra, rb, r, f"3D r={r}")
        t.add(f"r={r}", a, b, method_of(_filters.PERCENTILE, volume, fp))
    return [t]


def sizes():
    t = Table("Median per pixel, disk r=10, uint8 random: N^2 over 1024^2", "1024^2 per pixel")
    fp = disk(10)
    small = random_u8((1024, 1024))
    for n in (2048, 4096):
        big = random_u8((n, n))
        a, b, _, _ = race(lambda: median(big, fp), lambda: median(small, fp), 2)
        per_big, per_small = a / big.size, b / small.size
        t.add(f"{n}^2", per_big * small.size, per_small * small.size,
              "times scaled to 1024^2 pixels")
    return [t]


def fixed_cost():
    t = Table("Fixed cost of a call: median, 3x3 box", "SciPy")
    box = np.ones((3, 3), bool)
    for n in (1, 8, 32):
        image = random_u8((n, n))
        reps = 2000
        a, b, _, _ = race(lambda: [median(image, box) for _ in range(reps)],
                          lambda: [ndimage.median_filter(image, footprint=box)
                                   for _ in range(reps)])
        t.add(f"{n}x{n}", a / reps, b / reps, "per call")
    # What the Python layer adds to the engine's own call, for a call that
    # needs no copy (an out given).
    e = Table("The Python layer's cost: median(image, box, out=out) beside the engine's call "
              "alone", "the engine alone")
    fp = _request.footprint_array(box, 2)
    for n in (1, 8, 32):
        image = random_u8((n, n))
        out = np.empty_like(image)
        reps = 5000
        a, b, _, _ = race(lambda: [median(image, box, out=out) for _ in range(reps)],
                          lambda: [_filters.engine(0, image, fp, None, out, (0, 0), 0.5, 1, "auto")
                                   for _ in range(reps)])
        e.add(f"{n}x{n}", a / reps, b / reps, f"Python layer {(a - b) / reps * 1e6:.2f} us")
    return [t, e]


def workers():
    """Each side writes into an `out` of its own, given: the first touch of
    a fresh 32 MiB result costs this machine anywhere from 5 to 130 ms,
    which would swamp the filters' own times. The machine's load (one
    minute's average) is printed beside each row: another process on one
    of the two cores halves what a second worker can give."""
    tables = []
    for n in (2048, 8192):
        t = Table(f"workers=2 beside workers=1, {n}^2 uint8 random, out given", "workers=1")
        image = random_u8((n, n))
        for name, f, fp in (("median 3x3", median, np.ones((3, 3), bool)),
                            ("median 5x5", median, np.ones((5, 5), bool)),
                            ("median r=5", median, disk(5)), ("median r=20", median, disk(20)),
                            ("median 41x41", median, np.ones((41, 41), bool)),
                            ("minimum r=10", minimum, disk(10)),
                            ("maximum 3x3", maximum, np.ones((3, 3), bool)),
                            ("mean r=10", mean, disk(10))):
            if n > 2048 and name in ("median r=20",):
                continue  # several seconds a call
            kind = np.float64 if f is mean else image.dtype
            two, one = np.zeros(image.shape, kind), np.zeros(image.shape, kind)
            # Short calls vary most from run to run (where the second
            # thread lands, what its core's caches hold): repeats enough
            # for about a second of each.
            once, _ = best(lambda: f(image, fp, workers=1, out=one), 1)
            a, b, ra, rb = race(lambda: f(image, fp, workers=2, out=two),
                                lambda: f(image, fp, workers=1, out=one),
                                int(min(30, max(3, 1.0 / max(once, 1e-6)))))
            check(ra, rb, 0, name, close=f is mean)
            t.add(name, a, b, f"load {os.getloadavg()[0]:.2f}")
        tables.append(t)
    return tables


def vips():
    """libvips' median (rank filter) beside ours on 8192^2, one thread each
    (VIPS_CONCURRENCY=1, its operation cache off); both make a fresh result
    in memory. The interiors are checked equal."""
    os.environ["VIPS_CONCURRENCY"] = "1"
    try:
        import pyvips
    except (ImportError, OSError):
        print("pyvips is absent: no libvips table", file=sys.stderr)
        return []
    pyvips.cache_set_max(0)
    t = Table("Median, k x k squares, 8192^2 uint8 random, vs libvips (pyvips) median",
              "libvips")
    image = random_u8((8192, 8192))
    source = pyvips.Image.new_from_memory(image.data, image.shape[1], image.shape[0], 1,
                                          "uchar")

    def theirs(k):
        result = source.median(k).write_to_memory()
        return np.frombuffer(result, np.uint8).reshape(image.shape)
    for k in (5, 21):
        a, b, ra, rb = race(lambda: median(image, size=k), lambda: theirs(k), 2)
        check(ra, rb, k // 2, f"libvips k={k}")
        t.add(f"k={k}", a, b)
    return [t]


def types():
    """Images of other dtypes: beside the same image as uint16, and beside
    SciPy."""
    rng = np.random.default_rng(7)
    base = rng.permutation(1024 * 1024).reshape(1024, 1024)
    cases = {"float32, 1M distinct values": (base / 7.0).astype(np.float32),
             "int16": (rng.integers(-32768, 32768, (1024, 1024))).astype(np.int16)}
    u16 = (base % 65536).astype(np.uint16)
    t = Table("Median, disks, 1024^2: other dtypes over the same image as uint16", "uint16")
    s = Table("Median, disks, other dtypes, vs scipy.ndimage.median_filter", "SciPy")
    out16 = np.empty_like(u16)
    for name, image in cases.items():
        mine = np.empty_like(image)
        for r in (1, 2, 3, 5, 10):
            fp = disk(r)
            a, b, _, _ = race(lambda: median(image, fp, out=mine),
                              lambda: median(u16, fp, out=out16), 2)
            t.add(f"{name}, r={r}", a, b)
            a, b, on = beside_scipy(image, fp, r, None if r <= 2 else 160, 2)
            s.add(f"{name}, r={r}", a, b, on)
    return [t, s]


def dropin():
    """morvane.filters.rank.ndimage beside scipy.ndimage, same call, whole
    results equal (border modes included)."""
    from morvane.filters.rank import ndimage as ours
    t = Table("ndimage.median_filter(size=k) beside scipy.ndimage's, 1024^2", "SciPy")
    rng = np.random.default_rng(8)
    images = {"uint8": random_u8(), "float32": rng.normal(size=(1024, 1024)).astype(np.float32)}
    for name, image in images.items():
        for k in (3, 5, 7, 11):
            crop = image if k <= 5 else image[:256, :256]
            a, b, ra, rb = race(lambda: ours.median_filter(crop, size=k),
                                lambda: ndimage.median_filter(crop, size=k), 2)
            check(ra, rb, 0, f"ndimage {name} k={k}")
            t.add(f"{name}, size={k}", a, b, "" if crop is image else f"on {crop.shape[0]}^2")
    for name, f in (("minimum_filter", "minimum_filter"), ("maximum_filter", "maximum_filter")):
        a, b, ra, rb = race(lambda: getattr(ours, f)(images["uint8"], size=15, mode="nearest"),
                            lambda: getattr(ndimage, f)(images["uint8"], size=15, mode="nearest"))
        check(ra, rb, 0, name)
        t.add(f"{name}, uint8, size=15", a, b)
    return [t]


def statistics():
    """The statistics beyond the rank filters: every table of
    bench_statistics.py (numba's peers)."""
    import bench_statistics
    bench_statistics.bench_engine.REPEATS = REPEATS  # this module may run as __main__
    bench_statistics.check_peers(verbose=False)
    for section in bench_statistics.SECTIONS.values():
        yield from section()


SECTIONS = {"squares": squares, "disks": disks, "percentiles": percentiles, "minmax": minmax,
            "means": means, "sixteen": sixteen, "volumes": volumes, "sizes": sizes,
            "fixed": fixed_cost, "workers": workers, "vips": vips, "types": types, "dropin": dropin,
            "statistics": statistics}


def run(sections, argv, header, before=None):
    """The tables of the sections that argv names (all by default), with
    --repeats; `header` is printed first, then `before` runs."""
    global REPEATS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sections", nargs="*", help=f"tables to run: {', '.join(sections)} "
                        "(default: all)")
    parser.add_argument("--repeats", type=int, default=REPEATS)
    args = parser.parse_args(argv)
    REPEATS = args.repeats
    unknown = set(args.sections) - set(sections)
    if unknown:
        parser.error(f"unknown sections {sorted(unknown)}")
    print(header)
    if before is not None:
        before()
    for name in args.sections or list(sections):
        print(f"[{name}]", file=sys.stderr)
        for table in sections[name]():
            table.show()


def main(argv=None):
    run(SECTIONS, argv,
        f"CPUs: {os.cpu_count()}; OpenCV {cv2.__version__ if cv2 else 'absent'}; SimpleITK "
        f"{sitk.Version_VersionString() if sitk else 'absent'}; NumPy {np.__version__}")


if __name__ == "__main__":
    main()
