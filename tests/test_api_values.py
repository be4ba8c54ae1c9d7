"""What the public filters return at the edges of the dtypes: empty windows
on every dtype, method and statistic; signed zeros; means whose sums would
overflow; outputs of either byte order; the colour warning; the bound on
histograms; and the peak memory of a call."""

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from morvane.filters.rank import (_api, _filters, _values, histogram, maximum, mean, median,
                                  minimum, percentile)

DTYPES = [bool, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
          np.uint64, np.float16, np.float32, np.float64]
METHODS = ["auto", "sort", "network", "histogram", "columns", "runs", "sums"]
STATS = [("median", _filters.PERCENTILE, 0.5), ("p90", _filters.PERCENTILE, 0.9),
         ("min", _filters.MINIMUM, 0.0), ("max", _filters.MAXIMUM, 0.0),
         ("mean", _filters.MEAN, 0.0)]


def values(shape, dtype, seed):
    data = np.random.default_rng(seed).normal(size=shape) * 50
    if np.dtype(dtype).kind in "bu":
        data = np.abs(data)
    data = data.astype(dtype)
    # The type's extremes, which keys and codes map to and from 0 most easily.
    if np.dtype(dtype).kind in "iu":
        data.flat[:2] = np.iinfo(dtype).min, np.iinfo(dtype).max
    return data


def brute(stat, p, image, footprint, mask):
    """Mode "ignore": the counted in-image pixels under the footprint, by
    sorting; 0 (NaN for the mean) where none is counted."""
    offsets = np.argwhere(footprint) - np.array(footprint.shape) // 2
    out = np.empty(image.shape, np.float64 if stat == "mean" else image.dtype)
    for index in np.ndindex(*image.shape):
        window = []
        for o in offsets:
            at = tuple(np.add(index, o))
            if all(0 <= i < n for i, n in zip(at, image.shape)) and (mask is None or mask[at]):
                window.append(image[at])
        window = np.sort(np.array(window, image.dtype))
        if not len(window):
            out[index] = np.nan if stat == "mean" else 0
        elif stat == "mean":
            out[index] = np.mean(window.astype(np.float64))
        else:
            rank = {"min": 0, "max": len(window) - 1}.get(
                stat, min(int(np.floor(p * len(window) + 1e-9)), len(window) - 1))
            out[index] = window[rank]
    return out


def corner_only(shape):
    fp = np.zeros(shape, bool)
    fp[(-1,) * len(shape)] = True  # windows past the last row or column are empty
    return fp


EMPTIES = {
    "mask": lambda shape: (np.ones((3,) * len(shape), bool), "block"),
    "centre_outside": lambda shape: (corner_only((5,) * len(shape)), None),
    "all_false": lambda shape: (np.zeros((3,) * len(shape), bool), None),
}


@pytest.mark.parametrize("empty", sorted(EMPTIES))
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("shape", [(7, 9), (4, 5, 6)], ids=["2d", "3d"])
def test_empty_windows_give_zero_on_every_dtype_method_and_statistic(shape, dtype, empty):
    image = values(shape, dtype, 1)
    footprint, mask = EMPTIES[empty](shape)
    if mask == "block":
        mask = np.ones(shape, bool)
        mask[tuple(slice(0, min(4, n)) for n in shape)] = False
    ran = 0
    for name, kind, p in STATS:
        want = brute(name, p, image, footprint, mask)
        for method in METHODS:
            try:
                got = _api._statistic(kind, image, footprint, mask=mask, p=p, method=method)
            except ValueError as error:
                assert "does not apply" in str(error)
                continue
            ran += 1
            if name == "mean":
                np.testing.assert_allclose(got, want, rtol=1e-12, err_msg=f"{name} by {method}")
            else:
                np.testing.assert_array_equal(got, want, err_msg=f"{name} by {method}")
            assert got.dtype == want.dtype
    assert ran >= len(STATS) * 2


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_negative_zero_ranks_below_zero(dtype):
    image = np.array([[-0.0, 0.0, 0.0, -0.0, -0.0]], dtype)
    for f, negative in ((maximum, [0, 0, 0, 0, 1]), (minimum, [1, 1, 1, 1, 1]),
                        (median, [0, 0, 0, 1, 1])):
        got = f(image, size=(1, 3))
        assert (got == 0).all()
        np.testing.assert_array_equal(np.signbit(got)[0], np.array(negative, bool), f.__name__)


@pytest.mark.parametrize("window, want", [
    ([1.7e308, 1.7e308, -np.inf], -np.inf),
    ([1.7e308, 1.7e308, 1.0e308], 1.4666666666666667e308),
    ([-1.7e308, -1.7e308, -1.7e308], -1.7e308),
    ([1.7e308, -1.7e308, 5.0], 5.0 / 3),
    ([np.inf, 1.7e308, 1.7e308], np.inf),
    ([np.inf, -np.inf, 1.0], np.nan),
    ([np.nan, 1.7e308, 1.7e308], np.nan),
    ([5e-324, 1.7e308, 1.7e308], 1.7e308 / 3 * 2),
])
def test_means_do_not_overflow(window, want):
    image = np.array([window + [0.0, 1e-300]])
    got = mean(image, size=(1, 3), mode="wrap")[0, 1]
    np.testing.assert_allclose(got, want, rtol=1e-15)
    np.testing.assert_array_equal(mean(image, size=(1, 1)), image)


FILTERS = [(median, {}), (percentile, {"p": 0.3}), (minimum, {}), (maximum, {}), (mean, {}),
           (histogram, {"bins": 4})]


@pytest.mark.parametrize("f, kw", FILTERS, ids=lambda v: getattr(v, "__name__", ""))
@pytest.mark.parametrize("dtype", [">i4", "<i4", ">f8", ">u2", ">i8"])
def test_out_of_either_byte_order(f, kw, dtype):
    image = values((6, 7), dtype, 2)
    want = f(image.astype(np.dtype(dtype).newbyteorder("=")), size=3, **kw)
    assert want.dtype.isnative
    np.testing.assert_array_equal(f(image, size=3, **kw), want)
    for order in "<>":
        out = np.empty(want.shape, want.dtype.newbyteorder(order))
        assert f(image, size=3, out=out, **kw) is out
        np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("f", [median, mean, histogram])
def test_colour_warning(f):
    rgb = values((8, 9, 3), np.uint8, 3)
    for kw in ({"radius": 1}, {"size": 3}):
        with pytest.warns(UserWarning, match=r"channels=-1") as record:
            f(rgb, **kw)
        assert record[0].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        f(rgb, radius=1, channels=-1)
        f(rgb, size=(3, 3, 3))
        f(rgb, np.ones((3, 3, 3), bool))
        f(values((8, 9, 5), np.uint8, 4), radius=1)


def test_histogram_bound():
    image = np.arange(256 * 256, dtype=np.uint16).reshape(256, 256)
    with pytest.raises(ValueError, match="bins="):
        histogram(image, radius=1)
    with pytest.raises(ValueError, match="max_bytes"):
        histogram(image[:8, :8], radius=1, max_bytes=64 * 1800 - 1)  # values 0 .. 1799
    assert histogram(image[:8, :8], radius=1, max_bytes=64 * 1800).shape == (8, 8, 1800)
    assert histogram(image[:8, :8], radius=1, max_bytes=None).shape == (8, 8, 1800)
    assert histogram(image, radius=1, bins=16).shape == (256, 256, 16)


PEAK = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from morvane.filters.rank import ndimage

    dtype = np.dtype(sys.argv[1])
    rng = np.random.default_rng(5)
    image = np.empty((2048, 2048), dtype)
    for row in range(0, 2048, 64):  # no temporary as large as the image
        image[row:row + 64] = rng.random((64, 2048)) * 60000
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    ndimage.median_filter(image, size=5)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((after - before) * 1024 / image.nbytes)
""")


def spread(kind, dtype, rng, size):
    """Values whose keys spread evenly, crowd (a dense cluster beside a few
    far values), repeat few values, or are one value."""
    info = np.finfo(dtype) if np.dtype(dtype).kind == "f" else np.iinfo(dtype)
    if kind == "even":
        data = rng.random(size) * 2e4 - 1e4 if np.dtype(dtype).kind == "f" else \
            rng.integers(info.min, info.max, size, dtype=dtype, endpoint=True)
    elif kind == "crowded":
        data = np.concatenate([(rng.integers(0, 50, size - 3) + 1000).astype(dtype),
                               np.array([info.min, info.max, 0], dtype)])
    elif kind == "few":
        data = rng.choice(np.array([info.min, 7, info.max], dtype), size)
    else:
        data = np.full(size, 3, dtype)
    return rng.permutation(np.asarray(data, dtype)).reshape(-1, 37)


@pytest.mark.parametrize("dtype", [np.uint16, np.int16, np.int32, np.float32, np.uint64,
                                   np.float64])
@pytest.mark.parametrize("kind", ["even", "crowded", "few", "one"])
@pytest.mark.parametrize("cval", [None, 5])
def test_codes_number_the_distinct_values(dtype, kind, cval):
    """Each value's code is 1 + its index among the image's distinct values
    (and the border value's), whose table maps codes back."""
    image = spread(kind, dtype, np.random.default_rng(3), 37 * 300)
    got = _values.Values(image, cval=cval, dense=True)
    border = [] if cval is None else [cval]
    distinct = np.unique(np.concatenate([image.ravel(), np.array(border, dtype)]))
    np.testing.assert_array_equal(got.data, np.searchsorted(distinct, image) + 1)
    np.testing.assert_array_equal(got.table[1:], distinct)


@pytest.mark.skipif(sys.platform != "linux", reason="ru_maxrss in KiB")
@pytest.mark.parametrize("dtype", ["float64", "uint16", "float32", "int64", "int8"])
def test_peak_memory(dtype):
    """A rank filter needs at most its output (as large as the input) and
    twice the input beyond the input (the growth of the peak resident size;
    nearly every value distinct, so codes need a table as large as the
    input)."""
    child = subprocess.run([sys.executable, "-c", PEAK, dtype], capture_output=True,
                           text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert float(child.stdout) <= 3.0, f"{float(child.stdout):.2f} x the input"


@pytest.mark.parametrize("modes", [("reflect", "wrap"), ("mirror", "constant"),
                                   ("nearest", "ignore"), ("ignore", "wrap", "mirror"),
                                   ("constant", "reflect", "nearest")], ids=str)
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32, np.float64])
def test_border_modes_against_a_padded_image(modes, dtype):
    """Border modes give what mode "ignore" gives on the image padded by
    NumPy (the mask padded alike, counted where constant), for shifted
    footprints larger than some axes, with and without a mask."""
    shape = (9, 5) if len(modes) == 2 else (4, 7, 3)
    image = values(shape, dtype, 6)
    rng = np.random.default_rng(7)
    footprint = rng.random((5, 7) if len(modes) == 2 else (3, 5, 7)) < 0.6
    shift = (1, -2) if len(modes) == 2 else (0, 1, -3)
    before = [e // 2 + s for e, s in zip(footprint.shape, shift)]
    after = [e - 1 - b for e, b in zip(footprint.shape, before)]
    for mask in (None, rng.random(shape) < 0.7):
        padded, padded_mask = image, None if mask is None else mask
        for axis, (b, a, m) in enumerate(zip(before, after, modes)):
            if m == "ignore":
                continue
            widths = [(0, 0)] * len(shape)
            widths[axis] = (b, a)
            how = {"reflect": "symmetric", "mirror": "reflect", "nearest": "edge"}.get(m, m)
            extra = {"constant_values": 3} if m == "constant" else {}
            padded = np.pad(padded, widths, mode=how, **extra)
            if mask is not None:
                padded_mask = np.pad(padded_mask, widths, mode=how,
                                     **({"constant_values": True} if extra else {}))
        crop = tuple(slice(b if m != "ignore" else 0, (b if m != "ignore" else 0) + n)
                     for b, m, n in zip(before, modes, shape))
        for f, kw in ((median, {}), (percentile, {"p": 0.8}), (minimum, {}), (mean, {})):
            want = f(padded, footprint, mask=padded_mask, shift=shift, **kw)[crop]
            got = f(image, footprint, mask=mask, shift=shift, mode=modes, cval=3, **kw)
            np.testing.assert_array_equal(got, want, err_msg=f.__name__)


def test_histogram_bins_of_wide_integer_spans():
    """Bins of int64 values spanning nearly 2**64: value v goes to bin
    (v - lo) * bins // span, computed without overflow."""
    image = np.array([[-2**63, -2**62, 0, 2**62, 2**63 - 1, 12345]], np.int64)
    got = histogram(image, size=(1, 1), bins=65536)[0]
    span = 2**64
    want = [(int(v) + 2**63) * 65536 // span for v in image[0]]
    np.testing.assert_array_equal(got.argmax(axis=-1), want)
