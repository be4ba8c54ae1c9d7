"""Calls that go straight to the engine (an image it reads as it is, an
`out` given, border mode "ignore"): the same results as windows counted by
brute force, footprints kept by their contents, and the full road taken
for what it does not cover."""

import numpy as np
import pytest

from morvane.filters.rank import maximum, mean, median, minimum, percentile
from morvane.filters.rank import _api


def brute(image, footprint, statistic):
    """Each window's members inside the image (mode "ignore"), reduced."""
    fp = np.asarray(footprint, bool)
    centre = [n // 2 for n in fp.shape]
    offsets = np.argwhere(fp) - centre
    result = np.empty(image.shape, np.float64 if statistic == "mean" else image.dtype)
    for index in np.ndindex(image.shape):
        at = offsets + index
        inside = np.all((at >= 0) & (at < image.shape), axis=1)
        values = np.sort(image[tuple(at[inside].T)])
        if statistic == "mean":
            result[index] = values.mean()
        else:
            result[index] = values[min(len(values) - 1, int(np.floor(statistic * len(values))))]
    return result


CALLS = {"median": (lambda im, fp, out: median(im, fp, out=out), 0.5),
         "p=0.2": (lambda im, fp, out: percentile(im, fp, 0.2, out=out), 0.2),
         "minimum": (lambda im, fp, out: minimum(im, fp, out=out), 0.0),
         "maximum": (lambda im, fp, out: maximum(im, fp, out=out), 1.0),
         "mean": (lambda im, fp, out: mean(im, fp, out=out), "mean")}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("shape,footprint", [
    ((9, 37), np.ones((3, 3), bool)),
    ((7, 40), np.array([[0, 1, 0], [1, 1, 1], [0, 1, 1]], np.int32)),
    ((5, 6, 7), np.ones((3, 1, 3), bool))])
def test_same_as_brute_force(name, dtype, shape, footprint):
    call, statistic = CALLS[name]
    image = np.random.default_rng(11).integers(0, 2000, shape).astype(dtype)
    out = np.empty(image.shape, np.float64 if statistic == "mean" else dtype)
    assert call(image, footprint, out) is out
    np.testing.assert_allclose(out, brute(image, footprint, statistic), rtol=1e-12)


def test_a_footprint_changed_in_place_is_a_new_footprint():
    image = np.random.default_rng(12).integers(0, 256, (12, 12)).astype(np.uint8)
    fp = np.ones((3, 3), bool)
    out = np.empty_like(image)
    median(image, fp, out=out)
    fp[0, :] = False
    median(image, fp, out=out)
    np.testing.assert_array_equal(out, brute(image, fp, 0.5))


@pytest.mark.parametrize("case", ["strided out", "out is the image", "out overlaps the image"])
def test_the_full_road_where_memory_is_shared_or_strided(case):
    buffer = np.random.default_rng(13).integers(0, 256, (10, 17)).astype(np.uint8)
    image = buffer[:, :16]
    expect = brute(image.copy(), np.ones((3, 3)), 0.5)
    out = {"strided out": np.zeros((10, 32), np.uint8)[:, ::2], "out is the image": image,
           "out overlaps the image": buffer[:, 1:]}[case]
    assert median(image, size=3, out=out) is out
    np.testing.assert_array_equal(out, expect)


def test_the_cache_stays_small():
    image = np.zeros((6, 6), np.uint8)
    out = np.empty_like(image)
    for k in range(1, 80):
        fp = np.zeros((3, 3), bool)
        fp.flat[k % 9] = True
        fp[1, 1] = k % 2 == 0
        median(image, fp, out=out, workers=1 + k % 2)
        median(image, size=1 + k % 5, out=out)
    assert len(_api._QUICK_FOOTPRINTS) <= 64
