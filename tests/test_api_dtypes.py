"""The public filters on every real dtype, with footprints by size or
radius, SciPy's border modes beside the default "ignore", and colour
channels: against SciPy where the rules meet and against a brute force
where they do not."""

import numpy as np
import pytest
from scipy import ndimage

from morvane.filters.rank import (ball, box, disk, histogram, maximum, mean, median, minimum,
                                  percentile)

RNG = np.random.default_rng(99)
DTYPES = [bool, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
          np.uint64, np.float16, np.float32, np.float64]


def values(shape, dtype):
    data = RNG.normal(size=shape) * 70
    if np.dtype(dtype).kind in "ub":
        data = np.abs(data)
    return data.astype(dtype)


def brute(stat, image, footprint, p=0.5):
    """Windows of in-image pixels only (mode "ignore"), by sorting."""
    offsets = np.argwhere(footprint) - np.array(footprint.shape) // 2
    out = np.empty(image.shape, np.float64 if stat == "mean" else image.dtype)
    for index in np.ndindex(*image.shape):
        window = [image[tuple(np.add(index, o))] for o in offsets
                  if all(0 <= i + d < n for i, d, n in zip(index, o, image.shape))]
        window = np.sort(np.array(window, image.dtype))
        if stat == "mean":
            out[index] = np.mean(window.astype(np.float64))
        elif stat == "min":
            out[index] = window[0]
        elif stat == "max":
            out[index] = window[-1]
        else:
            out[index] = window[min(int(np.floor(p * len(window) + 1e-9)), len(window) - 1)]
    return out


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("shape, footprint", [((9, 12), disk(2)), ((4, 5, 6), ball(1))],
                         ids=["2d", "3d"])
def test_every_dtype_by_brute_force(dtype, shape, footprint):
    image = values(shape, dtype)
    for stat, f in (("median", median), ("min", minimum), ("max", maximum)):
        got = f(image, footprint)
        assert got.dtype == image.dtype
        np.testing.assert_array_equal(got, brute(stat, image, footprint))
    np.testing.assert_array_equal(percentile(image, footprint, 0.9),
                                  brute("p", image, footprint, 0.9))
    np.testing.assert_allclose(mean(image, footprint), brute("mean", image, footprint),
                               rtol=1e-6 if dtype == np.float16 else 1e-12)


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint32, np.float32, np.float64],
                         ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("mode", ["reflect", "mirror", "nearest", "wrap", "constant"])
def test_modes_equal_scipy(dtype, mode):
    image = values((15, 17), dtype)
    kw = dict(mode=mode, cval=5)
    for ours, theirs in ((median, ndimage.median_filter), (minimum, ndimage.minimum_filter),
                         (maximum, ndimage.maximum_filter)):
        np.testing.assert_array_equal(ours(image, size=4, **kw), theirs(image, size=4, **kw))
        np.testing.assert_array_equal(ours(image, radius=2, **kw),
                                      theirs(image, footprint=disk(2), **kw))
    np.testing.assert_array_equal(percentile(image, size=3, p=0.25, **kw),
                                  ndimage.percentile_filter(image, 25, size=3, **kw))
    want = ndimage.correlate(image.astype(np.float64), np.ones((3, 3)) / 9, **kw)
    np.testing.assert_allclose(mean(image, size=3, **kw), want, rtol=1e-9, atol=1e-9)


def test_a_mode_per_axis_and_shift():
    image = values((12, 14), np.uint8)
    got = minimum(image, size=(3, 5), mode=("wrap", "nearest"), shift=(1, -2))
    want = ndimage.minimum_filter(image, size=(3, 5), mode=["wrap", "nearest"], origin=(1, -2))
    np.testing.assert_array_equal(got, want)
    # "ignore" along one axis only: no padding there.
    ignore_rows = median(image, size=3, mode=("ignore", "wrap"))
    padded = np.pad(image, ((0, 0), (1, 1)), mode="wrap")
    np.testing.assert_array_equal(ignore_rows, median(padded, size=3)[:, 1:-1])


def test_masks_with_modes():
    """Beyond the border a pixel has the mask of the pixel it repeats."""
    image = values((10, 11), np.uint16)
    mask = RNG.random(image.shape) < 0.7
    got = maximum(image, size=3, mask=mask, mode="reflect")
    padded = np.pad(image, 1, mode="symmetric")
    want = maximum(padded, size=3, mask=np.pad(mask, 1, mode="symmetric"))[1:-1, 1:-1]
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("f", [median, minimum, mean, histogram])
def test_channels_are_filtered_one_by_one(f):
    image = values((13, 9, 3), np.uint8)
    mask = RNG.random((13, 9)) < 0.8
    got = f(image, radius=1.5, mask=mask, channels=-1)
    for c in range(3):
        np.testing.assert_array_equal(np.moveaxis(got, 2, 0)[c] if f is not histogram
                                      else got[:, :, c], f(image[..., c], radius=1.5, mask=mask))
    front = f(np.moveaxis(image, 2, 0).copy(), radius=1.5, mask=mask, channels=0)
    np.testing.assert_array_equal(front, np.moveaxis(got, 2, 0) if f is not histogram
                                  else np.moveaxis(got, 2, 0))


def test_footprint_arguments():
    image = values((8, 9), np.uint8)
    np.testing.assert_array_equal(median(image, size=3), median(image, box(3)))
    np.testing.assert_array_equal(median(image, size=(1, 3)), median(image, box((1, 3))))
    np.testing.assert_array_equal(median(image, np.ones((3, 3)) * 0.5), median(image, size=3))
    assert disk(1.5).sum() == 9 and ball(2).sum() == 33 and disk(0).shape == (1, 1)
    for bad in (dict(), dict(size=3, radius=1), dict(footprint=box(3), size=3)):
        with pytest.raises(TypeError, match="exactly one"):
            median(image, **bad)
    for bad, error in ((dict(size=0), ValueError), (dict(size=(3,)), ValueError),
                       (dict(radius=-1), ValueError), (dict(radius="a"), TypeError),
                       (dict(size=3, mode="bogus"), ValueError),
                       (dict(size=3, mode=("wrap",)), ValueError)):
        with pytest.raises(error):
            median(image, **bad)
    with pytest.raises(ValueError, match="channels=-1"):
        median(np.zeros((5, 5, 3), np.uint8), disk(1))


@pytest.mark.parametrize("dtype, bins", [(bool, 2), (np.int8, None), (np.int32, 16),
                                         (np.float32, 10)], ids=str)
def test_histogram_of_other_dtypes(dtype, bins):
    image = values((7, 8), dtype)
    if dtype == np.float32:
        image[2, 3] = np.nan
    got = histogram(image, size=3, bins=bins)
    # Each pixel's counts sum to its window's counted pixels; the bins are
    # those of np.histogram over the value range.
    counted = ndimage.correlate((~np.isnan(image.astype(np.float64))).astype(int),
                                np.ones((3, 3), int), mode="constant")
    np.testing.assert_array_equal(got.sum(axis=-1), counted)
    finite = image[~np.isnan(image.astype(np.float64))].astype(np.float64)
    lo, hi = (0 if np.dtype(dtype).kind in "bu" else finite.min()), finite.max()
    edges = (np.linspace(lo, hi, got.shape[-1] + 1) if np.dtype(dtype).kind == "f" else
             lo - 0.5 + np.ceil((hi - lo + 1) * np.arange(got.shape[-1] + 1) / got.shape[-1]))
    centre = np.histogram(image[2:5, 3:6].astype(np.float64), bins=edges)[0]
    np.testing.assert_array_equal(got[3, 4], centre)


@pytest.mark.parametrize("dtype", [np.float32, np.int32, np.uint32], ids=lambda d: np.dtype(d).name)
def test_32_bit_values_in_windows_too_large_for_a_network(dtype):
    """Wide windows of 32-bit values run on dense codes; NaN ranks last,
    infinities and zeros of both signs keep their places."""
    image = values((19, 23), dtype)
    if dtype == np.float32:
        special = np.array([np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 3e38, -1e-45], dtype)
        image.flat[RNG.choice(image.size, 60, replace=False)] = RNG.choice(special, 60)
    else:
        info = np.iinfo(dtype)
        image.flat[::7] = RNG.choice([info.min, info.max, 0], image.flat[::7].shape)
    footprint = disk(7)
    for p in (0.0, 0.3, 0.5, 1.0):
        np.testing.assert_array_equal(percentile(image, footprint, p),
                                      brute("p", image, footprint, p))
