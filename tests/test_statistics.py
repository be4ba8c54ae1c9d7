"""variance, std, gradient, mode, entropy, remove_outliers, tophat, local_threshold and
generic against brute force: the image and mask padded by np.pad for the border modes, each
pixel's counted values gathered from scratch, each statistic computed from them by its
definition."""

import ctypes
import math
from collections import Counter

import numpy as np
import pytest

import morvane.filters.rank as rank
from morvane.filters.rank import apply_dask, disk, median

# ---------------------------------------------------------------------------
# Brute-force reference

PAD = {"reflect": "symmetric", "mirror": "reflect", "nearest": "edge", "wrap": "wrap"}


def windows(image, footprint, mask=None, shift=None, mode="ignore", cval=0.0):
    """Object array of image.shape: each pixel's counted values (image dtype)."""
    image, footprint = np.asarray(image), np.asarray(footprint)
    nd = image.ndim
    modes = (mode,) * nd if isinstance(mode, str) else tuple(mode)
    shift = (0,) * nd if shift is None else tuple(shift)
    centre = np.array([e // 2 + s for e, s in zip(footprint.shape, shift)])
    padded, origin = image, np.zeros(nd, int)
    counted = np.ones(image.shape, bool) if mask is None else np.asarray(mask) != 0
    for axis, m in enumerate(modes):
        if m == "ignore":
            continue
        widths = [(0, 0)] * nd
        widths[axis] = (centre[axis], footprint.shape[axis] - 1 - centre[axis])
        if m == "constant":  # constant pixels are counted
            padded = np.pad(padded, widths, constant_values=cval)
            counted = np.pad(counted, widths, constant_values=True)
        else:
            padded = np.pad(padded, widths, mode=PAD[m])
            counted = np.pad(counted, widths, mode=PAD[m])
        origin[axis] = centre[axis]
    offsets = np.argwhere(footprint != 0) - centre
    out = np.empty(image.shape, object)
    for index in np.ndindex(*image.shape):
        at = np.array(index) + origin + offsets
        at = tuple(at[((at >= 0) & (at < padded.shape)).all(axis=1)].T)
        out[index] = padded[at][counted[at]]
    return out


def per_pixel(fn, image, dtype, **geometry):
    """fn(window, pixel value) for every pixel, stored as dtype."""
    w = windows(image, **geometry)
    out = np.empty(image.shape, dtype)
    for index in np.ndindex(*image.shape):
        out[index] = fn(w[index], image[index])
    return out


def key(x):
    """Sort key of the value order: -0.0 just below 0.0, every NaN one value above +inf."""
    if isinstance(x, float):
        return (1, 0.0, 0) if math.isnan(x) else (0, x, int(math.copysign(1, x) > 0))
    return (0, x, 0)


def ordered(window):
    return sorted(window.tolist(), key=key)


def var_of(window, ddof=0):
    n = len(window)
    if n - ddof <= 0:
        return math.nan
    if window.dtype.kind in "iub":  # exact in integers
        xs = [int(x) for x in window.tolist()]
        return (n * sum(x * x for x in xs) - sum(xs) ** 2) / (n * (n - ddof))
    xs = window.astype(np.float64).tolist()
    m = math.fsum(xs) / n
    return math.fsum((x - m) ** 2 for x in xs) / (n - ddof)


def median_of(window):
    return ordered(window)[len(window) // 2]


def gradient_of(window):
    if not len(window):
        return 0
    o = ordered(window)
    return o[0] != o[-1] if window.dtype == bool else o[-1] - o[0]


def mode_of(window):
    xs = window.tolist()
    counts = Counter(key(x) for x in xs)
    top = max(counts.values(), default=0)
    return min((x for x in xs if counts[key(x)] == top), key=key, default=0)


def entropy_of(window):
    n = len(window)
    counts = Counter(key(x) for x in window.tolist()).values()
    return -sum(c / n * math.log2(c / n) for c in counts) if n else math.nan


def outliers_of(threshold, which):
    def fn(w, v):
        if not len(w):
            return v
        med = median_of(w)
        return med if (v.item() - med) * (1 if which == "bright" else -1) > threshold else v
    return fn


def out_dtype(dtype):
    """Result type of gradient and tophat: signed ints give the unsigned type."""
    dtype = np.dtype(dtype)
    return np.dtype(f"u{dtype.itemsize}") if dtype.kind == "i" else dtype


def tophat_ref(image, kind, footprint, shift=None, **g):
    """Opening (closing): minimum then maximum (maximum then minimum) with the footprint
    reflected through its centre in the second stage."""
    nd = footprint.ndim
    shift = (0,) * nd if shift is None else shift
    reflected = footprint[(slice(None, None, -1),) * nd]
    rshift = tuple(-s if e % 2 else -1 - s for e, s in zip(footprint.shape, shift))
    low = lambda w, v: ordered(w)[0] if len(w) else 0  # noqa: E731
    high = lambda w, v: ordered(w)[-1] if len(w) else 0  # noqa: E731
    first, second = (low, high) if kind == "white" else (high, low)
    stage = per_pixel(first, image, image.dtype, footprint=footprint, shift=shift, **g)
    stage = per_pixel(second, stage, image.dtype, footprint=reflected, shift=rshift, **g)
    wide = np.int64 if image.dtype.kind in "iu" else np.float64
    diff = (image.astype(wide) - stage.astype(wide)) * (1 if kind == "white" else -1)
    return np.maximum(diff, 0).astype(out_dtype(image.dtype))


def otsu_of(xs):
    distinct = sorted(set(xs))
    n, total = len(xs), math.fsum(xs)
    best, best_t = -1.0, distinct[0]
    for t in distinct[:-1]:
        below = [x for x in xs if x <= t]
        w0 = len(below)
        d = np.float64(total) * w0 - n * np.float64(math.fsum(below))
        f = d * d / np.float64(w0 * (n - w0))
        if f > best:  # the smallest t on ties
            best, best_t = f, t
    return best_t


def threshold_of(window, v, method, dtype, k=None, r=None):
    """(threshold, foreground) of one window and its pixel's value v."""
    if not len(window):
        return math.nan, False
    xs, v, n = window.astype(np.float64).tolist(), float(v), len(window)
    m, s = math.fsum(xs) / n, math.sqrt(var_of(window))
    o = sorted(xs)
    mn, mx, med = o[0], o[-1], o[n // 2]
    dtype = np.dtype(dtype)
    if k is None:  # Bernsen's contrast: 15 of uint8's 255, as a share of the type's range
        top = float(np.iinfo(dtype).max) if dtype.kind in "iu" else 1.0
        k = {"bernsen": 15 * top / 255, "niblack": 0.2, "phansalkar": 0.25,
             "sauvola": 0.5}.get(method, 0)
    if r is None and dtype.kind in "iu" and method in ("bernsen", "sauvola"):
        r = 0.0 if dtype.kind == "i" and method == "bernsen" else 2.0 ** (8 * dtype.itemsize - 1)
    r = 0.5 if r is None else r
    scale = float(np.iinfo(dtype).max) if dtype.kind in "iu" else 1.0
    thr = {"bernsen": lambda: (mx + mn) / 2, "contrast": lambda: (mx + mn) / 2,
           "mean": lambda: m - k, "median": lambda: med - k,
           "midgrey": lambda: (mx + mn) / 2 - k, "niblack": lambda: m + k * s,
           "otsu": lambda: otsu_of(xs), "sauvola": lambda: m * (1 + k * (s / r - 1)),
           "phansalkar": lambda: m * (1 + 2 * math.exp(-10 * m / scale)
                                      + k * (s / scale / r - 1))}[method]()
    if method == "bernsen":
        return thr, (thr >= r) if mx - mn < k else (v >= thr)
    return thr, v >= thr if method == "contrast" else v > thr


# ---------------------------------------------------------------------------
# Test data


def data(shape, dtype, seed, few=False):
    """Normal values (the type's extremes planted for ints), or few distinct ones."""
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.random(shape) < 0.5
    if few:
        if dtype.kind == "f":
            pool = [-0.0, 0.0, 1.5, -2.0, np.nan]
        else:
            info = np.iinfo(dtype)
            pool = [0, 3, 7, info.max] if dtype.kind == "u" else [info.min, -1, 0, 5, info.max]
        return np.array(pool, dtype)[rng.integers(0, len(pool), shape)]
    image = rng.normal(size=shape) * 50
    image = (np.abs(image) if dtype.kind == "u" else image).astype(dtype)
    if dtype.kind in "iu":
        image.flat[:2] = np.iinfo(dtype).min, np.iinfo(dtype).max
    return image


def _cases():
    rng = np.random.default_rng(2024)

    def fp(shape):  # not symmetric
        f = rng.random(shape) < 0.6
        f.flat[0] = True
        return f

    def mask(shape):
        return np.where(rng.random(shape) < 0.7, rng.choice([1, 7, 255], shape), 0).astype(
            np.uint8)

    holed = mask((9, 11))
    holed[1:7, 2:9] = 0  # wider than the footprint: empty and one-pixel windows
    cross = np.array([[0, 1, 0], [1, 1, 1], [0, 1, 0]], bool)
    return {
        "ignore-mask": dict(footprint=fp((4, 5)), shift=(1, -2), mask=holed),
        "reflect": dict(footprint=np.ones((3, 3), bool), mode="reflect"),
        "mirror-wrap-mask": dict(footprint=fp((5, 3)), shift=(0, 1), mode=("mirror", "wrap"),
                                 mask=mask((9, 11))),
        "nearest": dict(footprint=cross, shift=(-1, 0), mode="nearest"),
        "constant-mask": dict(footprint=fp((3, 4)), shift=(0, -1), mode="constant", cval=3,
                              mask=mask((9, 11))),
        "3d": dict(footprint=fp((3, 3, 2)), shift=(1, 0, 0), cval=3,
                   mode=("reflect", "ignore", "constant"), mask=mask((5, 6, 7))),
    }


CASES = _cases()
case_ids = pytest.mark.parametrize("case", sorted(CASES))


def shape_of(case):
    return (5, 6, 7) if CASES[case]["footprint"].ndim == 3 else (9, 11)


def call(name, image, case, *args, **kw):
    g = dict(CASES[case])
    return getattr(rank, name)(image, *args, g.pop("footprint"), **g, **kw)


# ---------------------------------------------------------------------------
# Each statistic against its reference

F64 = np.dtype(np.float64)
# name, keywords, reference of (window, pixel), result type, input types, few values
STATS = [
    ("variance", {}, lambda w, v: var_of(w), F64, [np.uint16, np.float32], False),
    ("variance", {"ddof": 1}, lambda w, v: var_of(w, 1), F64, [np.uint8, np.float32], False),
    ("std", {}, lambda w, v: math.sqrt(var_of(w)), F64, [np.uint8, np.int16], False),
    ("std", {"ddof": 1}, lambda w, v: math.sqrt(var_of(w, 1)), F64, [np.float32], False),
    ("gradient", {}, lambda w, v: gradient_of(w), out_dtype,
     [np.int16, np.float32, np.uint8], False),
    ("mode", {}, lambda w, v: mode_of(w), np.dtype, [np.uint8, np.int16, np.float32], True),
    ("entropy", {}, lambda w, v: entropy_of(w), F64, [np.uint16, np.float32], True),
] + [("remove_outliers", {"threshold": 10, "which": which}, outliers_of(10, which), np.dtype,
      [np.uint8, np.int16, np.float32], False) for which in ("bright", "dark")]
STAT_PARAMS = [pytest.param(case, *row[:4], dtype, row[5],
                            id=f"{row[0]}-{'-'.join(map(str, row[1].values()))}-"
                               f"{np.dtype(dtype).name}-{case}")
               for row in STATS for dtype in row[4] for case in sorted(CASES)]
# bool: True where the window holds both values (cases without a cval, 3 is no bool).
STAT_PARAMS += [pytest.param(case, "gradient", {}, STATS[4][2], np.dtype, bool, False,
                             id=f"gradient-bool-{case}")
                for case in sorted(CASES) if "cval" not in CASES[case]]


@pytest.mark.parametrize("case, name, kw, ref, result, dtype, few", STAT_PARAMS)
def test_statistic(case, name, kw, ref, result, dtype, few):
    image = data(shape_of(case), dtype, 1, few=few)
    result = result if isinstance(result, np.dtype) else result(dtype)
    want = per_pixel(ref, image, result, **CASES[case])
    got = call(name, image, case, **kw)
    assert got.dtype == result
    if result == F64:  # NaN exactly where n - ddof <= 0 or the window is empty
        ints = np.dtype(dtype).kind in "iu"
        tol = 1e-12 if ints else 1e-9
        np.testing.assert_allclose(got, want, rtol=tol, atol=0 if ints and name != "entropy"
                                   else tol)
    else:
        np.testing.assert_array_equal(got, want)
        if result.kind == "f":  # -0.0 and 0.0 are distinct values
            real = ~np.isnan(want)
            np.testing.assert_array_equal(np.signbit(got[real]), np.signbit(want[real]))


@case_ids
@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.float32])
@pytest.mark.parametrize("kind", ["white", "black"])
def test_tophat(case, dtype, kind):
    image = data(shape_of(case), dtype, 7)
    got = call("tophat", image, case, kind=kind)
    assert got.dtype == out_dtype(dtype)
    np.testing.assert_array_equal(got, tophat_ref(image, kind, **CASES[case]))


METHODS = [(m, {}) for m in ("bernsen", "contrast", "mean", "median", "midgrey", "niblack",
                             "otsu", "phansalkar", "sauvola")]
METHODS += [("bernsen", {"k": 40, "r": 20}), ("mean", {"k": -3}), ("niblack", {"k": -0.5}),
            ("phansalkar", {"k": 0.4, "r": 0.3}), ("sauvola", {"k": 0.2, "r": 60})]


@case_ids
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32])
@pytest.mark.parametrize("method, kw", METHODS, ids=lambda v: v if isinstance(v, str) else
                         "-".join(f"{a}{b}" for a, b in v.items()) or "defaults")
def test_local_threshold(case, dtype, method, kw):
    # uint8 of few values: windows of low contrast and Otsu ties; floats about 0 .. 1.
    image = data(shape_of(case), dtype, 8, few=dtype is np.uint8)
    if dtype is np.float32:
        image = (image / 200 + 0.5).astype(dtype)
    w = windows(image, **CASES[case])
    pairs = [threshold_of(w[i], image[i], method, dtype, **kw) for i in np.ndindex(*image.shape)]
    want_thr = np.array([p[0] for p in pairs], np.float64).reshape(image.shape)
    want_fg = np.array([p[1] for p in pairs], bool).reshape(image.shape)
    got_fg, got_thr = call("local_threshold", image, case, method=method, return_threshold=True,
                           **kw)
    assert got_fg.dtype == bool and got_thr.dtype == np.float64
    np.testing.assert_allclose(got_thr, want_thr, rtol=1e-9, atol=1e-9)
    np.testing.assert_array_equal(call("local_threshold", image, case, method=method, **kw),
                                  got_fg)
    decided = np.ones(image.shape, bool)
    if np.dtype(dtype).kind == "f" or method in ("niblack", "phansalkar", "sauvola"):
        # Pixels within rounding of their threshold may go either way.
        decided = np.abs(image - want_thr) > 1e-9 * (1 + np.abs(want_thr))
    np.testing.assert_array_equal(got_fg[decided], want_fg[decided])
    assert not got_fg[np.isnan(want_thr)].any()


# ---------------------------------------------------------------------------
# Exactness


@pytest.mark.parametrize("ddof", [0, 1])
@pytest.mark.parametrize("dtype, top", [(np.uint16, 65535), (np.float64, 3e9), (np.int64, 2**30)])
def test_variance_of_values_far_above_their_spread_is_exact(ddof, dtype, top):
    image = (top - np.random.default_rng(9).integers(0, 4, (9, 11))).astype(dtype)
    g = dict(footprint=np.ones((3, 3), bool), mode="nearest")
    want = per_pixel(lambda w, v: var_of(w, ddof), image, np.float64, **g)
    got = rank.variance(image, g["footprint"], mode="nearest", ddof=ddof)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)
    naive = per_pixel(lambda w, v: (np.mean(w.astype(float) ** 2) - np.mean(w) ** 2)
                      * len(w) / (len(w) - ddof), image, np.float64, **g)
    assert not np.allclose(naive, want, rtol=1e-12, atol=0)  # the data needs care


def test_gradient_of_int8_spans_255():
    image = np.random.default_rng(10).integers(-128, 128, (9, 11)).astype(np.int8)
    image[4, 5], image[4, 6] = -128, 127
    box = np.ones((3, 3), bool)
    got = rank.gradient(image, box, mode="wrap")
    want = per_pixel(lambda w, v: gradient_of(w), image, np.uint8, footprint=box, mode="wrap")
    assert got.dtype == np.uint8 and want[4, 5] == 255
    np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------------------
# generic


@pytest.fixture(scope="module")
def kernels():
    numba = pytest.importorskip("numba")
    from numba import types
    sig = types.float64(types.CPointer(types.uint32), types.CPointer(types.float64), types.intp,
                        types.intp, types.intp)

    @numba.cfunc(sig)
    def median_kernel(counts, values, bins, population, centre):
        best = 0.0 if population == 0 else np.inf
        for i in range(bins):  # the bins' order is not relied on
            at_most = 0
            for j in range(bins):
                if counts[j] != 0 and values[j] <= values[i]:
                    at_most += counts[j]
            if counts[i] != 0 and at_most > population // 2 and values[i] < best:
                best = values[i]
        return best

    @numba.cfunc(sig)
    def entropy_kernel(counts, values, bins, population, centre):
        h = np.nan if population == 0 else 0.0
        for i in range(bins):
            if counts[i] != 0:
                h -= counts[i] / population * math.log2(counts[i] / population)
        return h

    @numba.cfunc(sig)
    def nan_kernel(counts, values, bins, population, centre):
        return np.nan

    @numba.cfunc(sig)
    def raising_kernel(counts, values, bins, population, centre):
        if population >= 0:
            raise ValueError("kernel refused")
        return 0.0

    @numba.cfunc(types.float64(types.float64))
    def other_signature(x):
        return x

    return {k: v for k, v in locals().items() if k.endswith(("kernel", "signature"))}


# Windows of many values, for the engine's other structures: the mode over
# many bins, Otsu's search skipping blocks, entropy of codes, the variance's
# 32- and 64-bit lanes.
@pytest.mark.parametrize("name, ref, dtype, top", [
    ("mode", lambda w, v: mode_of(w), np.uint16, 3000),
    ("mode", lambda w, v: mode_of(w), np.float64, 40),
    ("entropy", lambda w, v: entropy_of(w), np.int32, 5000),
    ("otsu", lambda w, v: otsu_of(w.astype(np.float64).tolist()) if len(w) else 0, np.uint8, 256),
    ("otsu", lambda w, v: otsu_of(w.astype(np.float64).tolist()) if len(w) else 0, np.uint16,
     60000),
    ("variance", lambda w, v: var_of(w), np.uint8, 256),
    ("variance", lambda w, v: var_of(w), np.uint16, 65536),
])
@pytest.mark.parametrize("masked", [False, True])
def test_windows_of_many_values(name, ref, dtype, top, masked):
    rng = np.random.default_rng(31)
    shape = (23, 29)
    ramp = np.add.outer(np.arange(shape[0]), np.arange(shape[1])) * (top / 60)
    image = (ramp + rng.normal(0, top / 8, shape)).clip(0, top - 1).astype(dtype)
    mask = (rng.random(shape) < 0.8) if masked else None
    fp = disk(5)
    got = (rank.local_threshold(image, fp, mask=mask, method="otsu", return_threshold=True)[1]
           if name == "otsu" else getattr(rank, name)(image, fp, mask=mask))
    want = per_pixel(ref, image, got.dtype, footprint=fp, mask=mask)
    if name == "otsu" and masked:
        want[np.isnan(got)] = np.nan  # no pixel counted
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("case, dtype", [("mirror-wrap-mask", np.uint8), ("3d", np.float32),
                                         ("ignore-mask", np.float32)])
def test_generic_median_and_entropy_kernels(kernels, case, dtype):
    image = data(shape_of(case), dtype, 11)
    got = call("generic", image, case, kernels["median_kernel"])
    assert got.dtype == np.float64
    np.testing.assert_array_equal(got, call("median", image, case).astype(np.float64))
    got = call("generic", image, case, kernels["entropy_kernel"])
    np.testing.assert_allclose(got, call("entropy", image, case), rtol=1e-12, atol=1e-12)


def test_generic_population_through_a_ctypes_pointer():
    proto = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.POINTER(ctypes.c_uint32),
                             ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t,
                             ctypes.c_ssize_t, ctypes.c_ssize_t)
    kernel = proto(lambda counts, values, bins, population, centre: float(population))
    image = data((9, 11), np.int16, 13)
    got = call("generic", image, "ignore-mask", kernel)  # population 0 in the masked hole
    want = per_pixel(lambda w, v: len(w), image, np.float64, **CASES["ignore-mask"])
    np.testing.assert_array_equal(got, want)


def test_generic_nan_raise_and_wrong_signature(kernels):
    image = data((9, 11), np.uint8, 14)
    box = np.ones((3, 3), bool)
    assert np.isnan(rank.generic(image, kernels["nan_kernel"], box)).all()
    with pytest.raises(RuntimeError, match="ValueError"):
        rank.generic(image, kernels["raising_kernel"], box)
    with pytest.raises(TypeError):
        rank.generic(image, kernels["other_signature"], box)
    # Still usable after the failures.
    np.testing.assert_array_equal(rank.generic(image, kernels["median_kernel"], box),
                                  median(image, box).astype(np.float64))


# ---------------------------------------------------------------------------
# dask, bad input


@pytest.mark.parametrize("name, kw", [("variance", {"ddof": 1}), ("mode", {}),
                                      ("local_threshold", {"method": "otsu"}),
                                      ("tophat", {"kind": "black"}), ("entropy", {})])
def test_apply_dask_equals_in_memory(name, kw):
    da = pytest.importorskip("dask.array")
    image = data((17, 19), np.uint16, 15, few=name == "mode")
    fp = np.random.default_rng(16).random((3, 5)) < 0.7
    kw = dict(kw, shift=(1, -1), mode=("reflect", "wrap"))
    f = getattr(rank, name)
    got = apply_dask(f, da.from_array(image, chunks=(6, 5)), fp, **kw).compute(scheduler="sync")
    want = f(image, fp, **kw)
    assert got.dtype == want.dtype
    if want.dtype.kind == "f":
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)
    else:
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name, kw, error", [
    ("remove_outliers", {}, TypeError),
    ("remove_outliers", {"threshold": -1}, ValueError),
    ("remove_outliers", {"threshold": np.nan}, ValueError),
    ("remove_outliers", {"threshold": 5, "which": "grey"}, ValueError),
    ("tophat", {"kind": "grey"}, ValueError),
    ("local_threshold", {}, TypeError),
    ("local_threshold", {"method": "averaged"}, ValueError),
    ("variance", {"ddof": -1}, ValueError),
    ("std", {"ddof": -1}, ValueError),
])
def test_bad_arguments(name, kw, error):
    with pytest.raises(error):
        getattr(rank, name)(data((9, 11), np.uint8, 17), np.ones((3, 3), bool), **kw)
