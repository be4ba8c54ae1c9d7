"""Entropy, Otsu threshold, mode, variance and generic kernels beside SciPy.

    python -m pip install ".[bench]"
    python benchmarks/bench_statistics.py                 # every table (a few minutes)
    python benchmarks/bench_statistics.py entropy otsu --repeats 3

The conventions are bench_engine's: ours and the peer run interleaved, best
of --repeats, one thread each; both take mode="reflect" (SciPy's "reflect",
np.pad's "symmetric"), so the results are compared on every pixel.

- entropy, otsu, mode: scipy.ndimage.generic_filter calling a numba @cfunc
  (LowLevelCallable) that computes the statistic from the window's values
  (the callbacks take uint8 values).
- variance: scipy.ndimage.uniform_filter of x and of x*x in float64,
  E[x^2] - E[x]^2.  Both are compared with the exact variance, from integer
  box sums (and a few pixels checked with Fractions); the note gives the
  peer's largest distance from it.
- generic: a numba median kernel through generic() beside our median.

Before the tables, the numba peers are checked against a brute-force NumPy
computation of every window of small images.
"""

import ctypes
import os
import sys
from fractions import Fraction

import numpy as np
from scipy import LowLevelCallable, ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_engine  # noqa: E402
from bench_engine import Table, check, race  # noqa: E402
from morvane.filters import rank  # noqa: E402

import numba  # noqa: E402
from numba import carray, cfunc, types  # noqa: E402
from numba.extending import intrinsic  # noqa: E402

BINS = 256  # the peers below take uint8 images


def few(n):
    """n repeats for a slow row, fewer when --repeats asks for fewer."""
    return min(n, bench_engine.REPEATS)


# ---------------------------------------------------------------------------
# The image


def field(size=1024, seed=11):
    """A natural-looking grey image, 0..255: smooth shading at two scales,
    bright blobs with soft edges, fine texture and a little pixel noise."""
    rng = np.random.default_rng(seed)
    low = size // 4

    def smooth(sigma, shape):
        layer = ndimage.gaussian_filter(rng.standard_normal(shape), sigma, mode="wrap")
        return layer / layer.std()

    coarse = smooth(24, (low, low)) + 0.5 * smooth(6, (low, low))
    blobs = (smooth(8, (low, low)) > 0.8) * 1.5
    image = ndimage.zoom(coarse + blobs, size / low, order=1)
    image = ndimage.gaussian_filter(image, 1.0) + 0.15 * smooth(1.5, (size, size))
    image = (image - image.mean()) * (40 / image.std()) + 128 + rng.normal(0, 3, image.shape)
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


def test_image(size=1024):
    """(name, image): the photograph where it can be loaded, else field()."""
    try:
        return f"{size}^2 uint8 photograph", bench_engine.photo(size)
    except (ImportError, OSError):
        return f"{size}^2 uint8 smooth random field with noise (seed 11)", field(size)


# ---------------------------------------------------------------------------
# The numba peers: scipy.ndimage.generic_filter callbacks
#     int callback(double *buffer, intptr_t filter_size, double *return_value,
#                  void *user_data)
# The window's values are uint8 values held as doubles.  user_data points to
# a scratch int64[BINS] that each call clears and counts the window into, so
# that no call allocates.  (Clearing and reading all BINS bins beat tracking
# the window's smallest and largest value, and beat counting into four
# histograms, on the 2-core machine these tables were first made on.)

CALLBACK = types.intc(types.CPointer(types.float64), types.intp, types.CPointer(types.float64),
                      types.voidptr)


@intrinsic
def _int64_pointer(typingctx, pointer):
    """void * -> int64 *"""
    sig = types.CPointer(types.int64)(types.voidptr)

    def codegen(context, builder, signature, args):
        return builder.bitcast(args[0], context.get_value_type(signature.return_type))
    return sig, codegen


@numba.njit(inline="always")
def _count(buffer_ptr, size, user_data):
    buffer = carray(buffer_ptr, (size,))
    counts = carray(_int64_pointer(user_data), (BINS,))
    for v in range(BINS):
        counts[v] = 0
    for i in range(size):
        counts[int(buffer[i])] += 1
    return counts


@cfunc(CALLBACK, nopython=True)
def entropy_callback(buffer_ptr, size, result, user_data):
    """Shannon entropy in bits: -sum(p log2 p), p = count / n."""
    counts = _count(buffer_ptr, size, user_data)
    n = float(size)
    total = 0.0
    for v in range(BINS):
        c = counts[v]
        if c:
            p = c / n
            total -= p * np.log2(p)
    result[0] = total
    return 1


@cfunc(CALLBACK, nopython=True)
def otsu_callback(buffer_ptr, size, result, user_data):
    """Otsu's threshold t of the window: among its distinct values that leave
    one above, the first to maximise d*d / q, d = M*w0 - n*m0 and
    q = w0*(n - w0) (w0, m0: count and sum of the values <= t; n, M: of
    all), in float64; a window of one distinct value gives that value."""
    counts = _count(buffer_ptr, size, user_data)
    total = 0
    top = 0
    for v in range(BINS):
        c = counts[v]
        if c:
            total += c * v
            top = v
    n = size
    n_f, total_f = float(n), float(total)
    w0 = 0
    m0 = 0
    best_t = top
    best_f = -1.0
    for v in range(top):
        c = counts[v]
        if c == 0:
            continue
        w0 += c
        m0 += c * v
        d = total_f * w0 - n_f * m0
        q = float(w0) * float(n - w0)
        f = d * d / q
        if f > best_f:
            best_f = f
            best_t = v
    result[0] = best_t
    return 1


@cfunc(CALLBACK, nopython=True)
def mode_callback(buffer_ptr, size, result, user_data):
    """The most frequent value, the smallest of those on ties."""
    counts = _count(buffer_ptr, size, user_data)
    best, best_c = 0, counts[0]
    for v in range(1, BINS):
        c = counts[v]
        if c > best_c:
            best, best_c = v, c
    result[0] = best
    return 1


_SCRATCH = np.zeros(BINS, np.int64)


def scipy_peer(callback):
    """A LowLevelCallable of `callback` for generic_filter, with its scratch."""
    return LowLevelCallable(callback.ctypes, ctypes.c_void_p(_SCRATCH.ctypes.data))


def generic_filter(image, callback, footprint, mode="reflect"):
    return ndimage.generic_filter(image, scipy_peer(callback), footprint=footprint,
                                  mode=mode, output=np.float64)


# The kernel of our generic():
#     double kernel(const uint32_t *counts, const double *values, intptr_t bins,
#                   intptr_t population, intptr_t centre)
KERNEL = types.float64(types.CPointer(types.uint32), types.CPointer(types.float64), types.intp,
                       types.intp, types.intp)


@cfunc(KERNEL, nopython=True)
def median_kernel(counts, values, bins, population, centre):
    """The value of rank population // 2 (0-based), walking the bins in
    order; 0 for an empty window."""
    if population == 0:
        return 0.0
    rank_ = population // 2
    seen = 0
    for i in range(bins):
        seen += counts[i]
        if seen > rank_:
            return values[i]
    return np.nan


# ---------------------------------------------------------------------------
# Brute force, window by window, for checking the peers


def windows(image, footprint):
    """Every pixel's window values (mode "reflect"), as a list of rows of
    1D arrays."""
    reach = footprint.shape[0] // 2
    padded = np.pad(image, reach, mode="symmetric")
    rows, cols = image.shape
    size = footprint.shape[0]
    return [[padded[y:y + size, x:x + size][footprint] for x in range(cols)] for y in range(rows)]


def entropy_of(values):
    _, counts = np.unique(values, return_counts=True)
    p = counts / values.size
    return float(-(p * np.log2(p)).sum())


def otsu_of(values):
    distinct, counts = np.unique(values, return_counts=True)
    n, total = np.float64(values.size), np.float64(values.astype(np.int64).sum())
    best_t, best_f = distinct[-1], None
    for j, t in enumerate(distinct[:-1]):
        w0 = np.float64(counts[:j + 1].sum())
        m0 = np.float64((distinct[:j + 1].astype(np.int64) * counts[:j + 1]).sum())
        d = total * w0 - n * m0
        f = d * d / (w0 * (n - w0))
        if best_f is None or f > best_f:
            best_t, best_f = t, f
    return float(best_t)


def mode_of(values):
    distinct, counts = np.unique(values, return_counts=True)
    return float(distinct[np.argmax(counts)])


def check_peers(verbose=True):
    """The three callbacks against the brute force on every pixel of small
    images (few distinct values, so that ties come often), and the median
    kernel against np.sort on window histograms."""
    rng = np.random.default_rng(21)
    images = {"random 0..255": rng.integers(0, 256, (20, 20), dtype=np.uint8),
              "random 0..3": rng.integers(0, 4, (20, 20), dtype=np.uint8),
              "two values": (rng.random((20, 20)) < 0.3).astype(np.uint8) * 200,
              "field": field(64, seed=3)[10:30, 20:40],
              "flat": np.full((12, 12), 7, np.uint8)}
    for name, image in images.items():
        for r in (1, 2, 3, 5):
            fp = rank.disk(r)
            every = windows(image, fp)
            for callback, of in ((entropy_callback, entropy_of), (otsu_callback, otsu_of),
                                 (mode_callback, mode_of)):
                got = generic_filter(image, callback, fp)
                want = np.array([[of(w) for w in row] for row in every])
                exact = of is not entropy_of
                ok = (np.array_equal(got, want) if exact
                      else np.allclose(got, want, rtol=1e-12, atol=1e-12))
                if not ok:
                    raise SystemExit(f"peer {callback.__name__} wrong on {name}, r={r}")
            # The median kernel, fed the window histograms as generic() feeds it.
            counts = np.zeros(BINS, np.uint32)
            values = np.arange(BINS, dtype=np.float64)
            kernel = median_kernel.ctypes
            for y, row in enumerate(every):
                for x, w in enumerate(row):
                    counts[:] = np.bincount(w, minlength=BINS)
                    got = kernel(counts.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32)),
                                 values.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                                 BINS, w.size, int(image[y, x]))
                    if got != np.sort(w)[w.size // 2]:
                        raise SystemExit(f"median kernel wrong on {name}, r={r}")
    if verbose:
        print("numba peers checked against the brute force", file=sys.stderr)


# ---------------------------------------------------------------------------
# Tables

RADII = (5, 10, 20)
# SciPy takes about 0.7, 1.3 and 4.3 s for the three statistics together at
# r = 5, 10 and 20 on 1024^2 (2-core test machine): the whole image, with
# fewer repeats at r = 20.


def _repeats(r):
    return few(3) if r >= 20 else None


def _beside_generic_filter(title, ours, callback, close=False):
    """A table of `ours(image, disk)` beside generic_filter with `callback`,
    results checked (to `close` when given)."""
    name, image = test_image()
    t = Table(f"{title}, disks, {name}, vs scipy.ndimage.generic_filter + numba", "SciPy")
    for r in RADII:
        fp = rank.disk(r)
        a, b, ra, rb = race(lambda: ours(image, fp),
                            lambda: generic_filter(image, callback, fp),
                            _repeats(r))
        check(ra, rb, 0, f"{title} r={r}", close=close)
        t.add(f"r={r}", a, b)
    return [t]


def entropy():
    return _beside_generic_filter("Entropy (bits)",
                                  lambda image, fp: rank.entropy(image, fp, mode="reflect"),
                                  entropy_callback, close=1e-9)


def otsu():
    name, image = test_image()
    t = Table(f"Otsu threshold, disks, {name}, vs scipy.ndimage.generic_filter + numba", "SciPy")
    for r in RADII:
        fp = rank.disk(r)
        a, b, ra, rb = race(lambda: rank.local_threshold(image, fp, mode="reflect", method="otsu",
                                                         return_threshold=True),
                            lambda: generic_filter(image, otsu_callback, fp),
                            _repeats(r))
        foreground, threshold = ra
        check(threshold, rb, 0, f"otsu threshold r={r}")
        check(foreground, image > rb, 0, f"otsu foreground r={r}")
        t.add(f"r={r}", a, b, "threshold and mask checked")
    return [t]


def mode():
    return _beside_generic_filter("Mode", lambda image, fp: rank.mode(image, fp, mode="reflect"),
                                  mode_callback)


def exact_variance(image, k):
    """The population variance of every k x k box (mode "reflect"), rounded
    once: (n*S2 - S1^2) / n^2 from integer box sums S1, S2."""
    reach = k // 2
    x = np.pad(image.astype(np.int64), reach, mode="symmetric")

    def box_sums(v):
        c = np.zeros((v.shape[0] + 1, v.shape[1] + 1), np.int64)
        c[1:, 1:] = v.cumsum(0).cumsum(1)
        return c[k:, k:] - c[:-k, k:] - c[k:, :-k] + c[:-k, :-k]

    s1, s2, n = box_sums(x), box_sums(x * x), k * k
    # Both integers stay below 2**53, so the division rounds once.
    return (n * s2 - s1 * s1).astype(np.float64) / float(n * n)


def spot_pixels(shape, count=8, seed=23):
    rows, cols = shape
    fixed = [(0, 0), (0, cols - 1), (rows - 1, 0), (rows - 1, cols - 1), (rows // 2, 1)]
    rng = np.random.default_rng(seed)
    return fixed + [(int(y), int(x)) for y, x in zip(rng.integers(0, rows, count),
                                                     rng.integers(0, cols, count))]


def fraction_variance(image, k, y, x):
    reach = k // 2
    padded = np.pad(image, reach, mode="symmetric")
    values = [int(v) for v in padded[y:y + k, x:x + k].ravel()]
    mean_ = Fraction(sum(values), len(values))
    return sum((v - mean_) ** 2 for v in values) / len(values)


def variance_peer(image, k):
    x = image.astype(np.float64)
    m = ndimage.uniform_filter(x, k, mode="reflect")
    m2 = ndimage.uniform_filter(x * x, k, mode="reflect")
    return m2 - m * m


def variance():
    name, image = test_image()
    t = Table(f"Variance, k x k boxes, {name}, vs scipy.ndimage.uniform_filter of x and x*x "
              "(float64)", "SciPy")
    for k in (3, 7, 21, 41):
        exact = exact_variance(image, k)
        for y, x in spot_pixels(image.shape):
            if float(fraction_variance(image, k, y, x)) != exact[y, x]:
                raise SystemExit(f"exact variance wrong at ({y}, {x}), k={k}")
        a, b, ra, rb = race(lambda: rank.variance(image, size=k, mode="reflect"),
                            lambda: variance_peer(image, k))
        check(ra, exact, 0, f"variance k={k}", close=1e-11)
        check(rb, exact, 0, f"variance peer k={k}", close=1e-6)
        ours_err = np.abs(ra - exact).max()
        peer_err = np.abs(rb - exact).max()
        t.add(f"k={k}", a, b, f"max abs from exact: ours {ours_err:.1e}, SciPy {peer_err:.1e}")
    return [t]


def generic():
    name, image = test_image()
    t = Table(f"generic() with a numba median kernel beside median, disk r=10, {name}",
              "median")
    fp = rank.disk(10)
    a, b, ra, rb = race(lambda: rank.generic(image, median_kernel, fp),
                        lambda: rank.median(image, fp), few(3))
    check(ra, rb, 0, "generic median")
    t.add("r=10", a, b, "median / generic: the cost of a kernel call per pixel")
    return [t]


SECTIONS = {"entropy": entropy, "otsu": otsu, "mode": mode, "variance": variance,
            "generic": generic}


def main(argv=None):
    bench_engine.run(SECTIONS, argv,
                     f"CPUs: {os.cpu_count()}; NumPy {np.__version__}; SciPy "
                     f"{__import__('scipy').__version__}; numba {numba.__version__}",
                     before=check_peers)


if __name__ == "__main__":
    main()
