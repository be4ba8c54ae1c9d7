"""The public rank filters of morvane.filters.rank, 2D and 3D, uint8 and uint16.

Every result is compared with a brute-force NumPy reference written here
(each window gathered member by member, nothing incremental), and in the
region where border rules agree with SciPy's ndimage filters.
"""

import os
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy import ndimage

import morvane.filters.rank as rank
from morvane.filters.rank import (ball, disk, histogram, maximum, mean, median, minimum,
                                  percentile)

# ---------------------------------------------------------------------------
# Brute-force reference


def gather(image, footprint, mask=None, shift=None):
    """(values, counted), both of shape (members,) + image.shape: for every
    non-zero footprint entry, the value of the pixel it covers and whether
    that pixel is counted (inside the image and, with a mask, mask != 0)."""
    image = np.asarray(image)
    members = np.argwhere(np.asarray(footprint) != 0)
    shape = image.shape
    shift = (0,) * image.ndim if shift is None else tuple(shift)
    centre = [extent // 2 + s for extent, s in zip(np.shape(footprint), shift)]
    countable = np.ones(shape, bool) if mask is None else np.asarray(mask) != 0
    values = np.zeros((len(members),) + shape, np.int64)
    counted = np.zeros((len(members),) + shape, bool)
    for k, member in enumerate(members):
        offset = [int(m) - c for m, c in zip(member, centre)]
        dst = tuple(slice(max(0, -d), min(n, n - d)) for n, d in zip(shape, offset))
        if any(s.start >= s.stop for s in dst):
            continue
        src = tuple(slice(s.start + d, s.stop + d) for s, d in zip(dst, offset))
        values[k][dst] = image[src]
        counted[k][dst] = countable[src]
    return values, counted


def brute_percentile(windows, p, dtype):
    """Value of rank floor(p * n) (p read as the decimal it was written as;
    n - 1 at most) among the n counted values; 0 for an empty window."""
    values, counted = windows
    n = counted.sum(axis=0)
    ordered = np.sort(np.where(counted, values, np.iinfo(np.int64).max), axis=0)
    fraction = Fraction(str(p))
    rank_ = (n * fraction.numerator) // fraction.denominator
    rank_ = np.maximum(np.minimum(rank_, n - 1), 0)
    result = np.take_along_axis(ordered, rank_[np.newaxis], axis=0)[0]
    result[n == 0] = 0
    return result.astype(dtype)


def brute_minimum(windows, dtype):
    values, counted = windows
    result = np.where(counted, values, np.iinfo(np.int64).max).min(axis=0)
    result[~counted.any(axis=0)] = 0
    return result.astype(dtype)


def brute_maximum(windows, dtype):
    values, counted = windows
    result = np.where(counted, values, -1).max(axis=0)
    result[~counted.any(axis=0)] = 0
    return result.astype(dtype)


def brute_mean(windows):
    values, counted = windows
    n = counted.sum(axis=0)
    total = np.where(counted, values, 0).sum(axis=0).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(n > 0, total / n, np.nan)


def brute_histogram(windows, bins, normalized=False):
    values, counted = windows
    shape = values.shape[1:]
    hist = np.zeros((int(np.prod(shape)), bins), np.float64)
    pixel = np.arange(hist.shape[0]).reshape(shape)
    for v, ok in zip(values, counted):
        np.add.at(hist, (pixel[ok], v[ok]), 1)
    hist = hist.reshape(shape + (bins,))
    if normalized:
        n = hist.sum(axis=-1, keepdims=True)
        hist = np.divide(hist, n, out=np.zeros_like(hist), where=n > 0)
    return hist


def bins_of(image):
    return 256 if image.dtype == np.uint8 else int(image.max()) + 1


# ---------------------------------------------------------------------------
# Test data

PERCENTILES = (0.0, 0.1, 0.25, 0.3, 0.5, 0.75, 0.9, 1.0)


def _images():
    rng = np.random.default_rng(20240611)
    few16 = np.array([0, 5, 1000, 40000, 60000, 65535], np.uint16)
    few8 = np.array([0, 17, 200, 255], np.uint8)
    images = {}
    for ndim, shape in ((2, (40, 50)), (3, (8, 12, 14))):
        images[f"u8_{ndim}d"] = rng.integers(0, 256, shape, dtype=np.uint8)
        images[f"u8few_{ndim}d"] = rng.choice(few8, shape)
        images[f"u16big_{ndim}d"] = rng.integers(0, 60001, shape, dtype=np.uint16)
        images[f"u16few_{ndim}d"] = rng.choice(few16, shape)
    return images



def _footprints():
    rng = np.random.default_rng(7)
    odd2 = rng.random((4, 5)) < 0.5
    odd2[0, 0] = odd2[-1, -1] = True
    odd3 = rng.random((2, 3, 4)) < 0.5
    odd3[0, 0, 0] = odd3[-1, -1, -1] = True
    return {
        2: {
            "box3": np.ones((3, 3), bool),
            "disk2": disk(2),
            "odd4x5": odd2,
            "row7": np.ones((1, 7), np.uint8),
            "ints": np.array([[0, 3, 0, -1], [7, 0, 0, 1], [0, 255, 2, 0]], np.int16),
        },
        3: {
            "box3": np.ones((3, 3, 3), bool),
            "ball1": ball(1),
            "odd2x3x4": odd3,
            "ints": np.array([[[1, 0, -4], [0, 0, 2]], [[0, 9, 0], [3, 0, 0]],
                              [[0, 0, 1], [0, -1, 0]]], np.int8),
        },
    }


def _masks():
    rng = np.random.default_rng(99)
    masks = {}
    for ndim, shape in ((2, (40, 50)), (3, (8, 12, 14))):
        random = (rng.random(shape) < 0.7).astype(np.uint8)
        holed = rng.random(shape) < 0.8
        # A block of masked-out pixels wider than any footprint: empty windows.
        holed[tuple(slice(n // 4, n // 4 + max(6, n // 2)) for n in shape)] = False
        masks[ndim] = {"none": None, "random": random, "holed": holed}
    return masks


IMAGES = _images()
FOOTPRINTS = _footprints()
MASKS = _masks()


def shifts_for(footprint_shape):
    low = tuple(-(e // 2) for e in footprint_shape)
    high = tuple(e - 1 - e // 2 for e in footprint_shape)
    mixed = (low[0],) + high[1:]
    return {"none": None, "low": low, "high": high, "mixed": mixed}


def _cases(ndim, image_keys):
    cases = []
    for image_key in image_keys:
        for fp_key, fp in FOOTPRINTS[ndim].items():
            for shift_key, shift in shifts_for(fp.shape).items():
                for mask_key in MASKS[ndim]:
                    cases.append(pytest.param(
                        image_key, ndim, fp_key, shift, mask_key,
                        id=f"{image_key}-{fp_key}-shift_{shift_key}-mask_{mask_key}"))
    return cases


CASES = (_cases(2, ["u8_2d", "u8few_2d", "u16big_2d", "u16few_2d"])
         + _cases(3, ["u8_3d", "u8few_3d", "u16big_3d", "u16few_3d"]))


def _mismatch(name, got, want):
    if got.dtype.kind == "f":
        same = np.isclose(got, want, rtol=1e-12, atol=0, equal_nan=True)
    else:
        same = got == want
    if same.all():
        return None
    where = tuple(int(i) for i in np.argwhere(~same)[0])
    return (f"{name}: {int((~same).sum())} pixels differ, first at {where}: "
            f"got {got[where]!r}, want {want[where]!r}")


# ---------------------------------------------------------------------------
# Against the brute force


@pytest.mark.parametrize("image_key, ndim, fp_key, shift, mask_key", CASES)
def test_scalar_filters_match_brute_force(image_key, ndim, fp_key, shift, mask_key):
    image, fp, mask = IMAGES[image_key], FOOTPRINTS[ndim][fp_key], MASKS[ndim][mask_key]
    windows = gather(image, fp, mask, shift)
    kw = dict(mask=mask, shift=shift)
    checks = [("median", median(image, fp, **kw), brute_percentile(windows, 0.5, image.dtype)),
              ("minimum", minimum(image, fp, **kw), brute_minimum(windows, image.dtype)),
              ("maximum", maximum(image, fp, **kw), brute_maximum(windows, image.dtype)),
              ("mean", mean(image, fp, **kw), brute_mean(windows))]
    for p in PERCENTILES:
        checks.append((f"percentile p={p}", percentile(image, fp, p, **kw),
                       brute_percentile(windows, p, image.dtype)))
    problems = []
    for name, got, want in checks:
        assert got.shape == image.shape, name
        assert got.dtype == want.dtype, name
        problem = _mismatch(name, got, want)
        if problem:
            problems.append(problem)
    assert not problems, "\n".join(problems)


HIST_CASES = [
    ("u8_2d", 2, "disk2", None, "none"),
    ("u8_2d", 2, "odd4x5", (-2, 2), "holed"),
    ("u8few_2d", 2, "ints", (1, -2), "random"),
    ("u8_3d", 3, "odd2x3x4", (-1, 1, -2), "random"),
    ("u8_3d", 3, "ball1", (1, 0, -1), "holed"),
]


@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("image_key, ndim, fp_key, shift, mask_key", HIST_CASES)
def test_histogram_uint8_matches_brute_force(image_key, ndim, fp_key, shift, mask_key,
                                             normalized):
    image, fp, mask = IMAGES[image_key], FOOTPRINTS[ndim][fp_key], MASKS[ndim][mask_key]
    got = histogram(image, fp, normalized=normalized, mask=mask, shift=shift)
    want = brute_histogram(gather(image, fp, mask, shift), 256, normalized)
    assert got.dtype == (np.float64 if normalized else np.uint8)
    assert got.shape == image.shape + (256,)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def _small_u16(shape, values, seed):
    return np.random.default_rng(seed).choice(np.array(values, np.uint16), shape)


U16_HIST_CASES = [
    # Large values, few of them: bins = max + 1 is big, the image small.
    pytest.param(_small_u16((6, 7), [0, 3, 30000, 59999, 60000], 1),
                 np.ones((3, 3), bool), None, id="2d-max60000"),
    pytest.param(_small_u16((9, 8), list(range(0, 300, 7)) + [300], 2),
                 disk(1), (1, -1), id="2d-max300-shift"),
    pytest.param(_small_u16((4, 5, 6), [1, 2, 999, 1000, 4321], 3),
                 ball(1), (-1, 0, 1), id="3d-max4321-shift"),
    pytest.param(np.random.default_rng(4).integers(0, 70, (5, 6, 7), dtype=np.uint16),
                 np.ones((2, 3, 2), np.uint8), None, id="3d-max<70"),
]


@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("image, fp, shift", U16_HIST_CASES)
@pytest.mark.parametrize("masked", [False, True])
def test_histogram_uint16_matches_brute_force(image, fp, shift, normalized, masked):
    mask = None
    if masked:
        mask = np.random.default_rng(5).random(image.shape) < 0.6
    got = histogram(image, fp, normalized=normalized, mask=mask, shift=shift)
    bins = int(image.max()) + 1
    assert got.shape == image.shape + (bins,)
    assert got.dtype == (np.float64 if normalized else np.uint8)
    want = brute_histogram(gather(image, fp, mask, shift), bins, normalized)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


TINY_SHAPES = [(1, 1), (1, 9), (9, 1), (2, 3), (3, 2), (1, 1, 1), (2, 1, 5), (1, 4, 1),
               (3, 2, 2)]


@pytest.mark.parametrize("shape", TINY_SHAPES, ids=str)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_images_smaller_than_the_footprint(shape, dtype):
    rng = np.random.default_rng(len(shape) * 100 + shape[0])
    top = 255 if dtype == np.uint8 else 65535
    image = rng.integers(0, top + 1, shape, dtype=dtype)
    fp = np.ones((5,) * len(shape), bool)
    shift = (2,) + (-2,) * (len(shape) - 1)
    for sh in (None, shift):
        windows = gather(image, fp, None, sh)
        assert np.array_equal(median(image, fp, shift=sh), brute_percentile(windows, 0.5, dtype))
        assert np.array_equal(percentile(image, fp, 0.25, shift=sh),
                              brute_percentile(windows, 0.25, dtype))
        assert np.array_equal(minimum(image, fp, shift=sh), brute_minimum(windows, dtype))
        assert np.array_equal(maximum(image, fp, shift=sh), brute_maximum(windows, dtype))
        np.testing.assert_allclose(mean(image, fp, shift=sh), brute_mean(windows), rtol=1e-12)
        bins = bins_of(image)
        if bins <= 256:
            np.testing.assert_array_equal(histogram(image, fp, shift=sh),
                                          brute_histogram(windows, bins))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_random_geometries_match_brute_force(data):
    ndim = data.draw(st.sampled_from([2, 3]), label="ndim")
    shape = tuple(data.draw(st.lists(st.integers(1, 9), min_size=ndim, max_size=ndim),
                            label="shape"))
    fp_shape = tuple(data.draw(st.lists(st.integers(1, 5), min_size=ndim, max_size=ndim),
                               label="fp_shape"))
    seed = data.draw(st.integers(0, 2**32 - 1), label="seed")
    rng = np.random.default_rng(seed)
    dtype = data.draw(st.sampled_from([np.uint8, np.uint16]), label="dtype")
    top = data.draw(st.sampled_from([1, 3, 255] + ([65535] if dtype == np.uint16 else [])),
                    label="top")
    image = rng.integers(0, top + 1, shape, dtype=dtype)
    fp = rng.random(fp_shape) < 0.6
    fp.flat[rng.integers(fp.size)] = True
    shift = tuple(data.draw(st.integers(-(e // 2), e - 1 - e // 2)) for e in fp_shape)
    mask = rng.random(shape) < 0.7 if data.draw(st.booleans(), label="masked") else None
    p = data.draw(st.sampled_from(PERCENTILES), label="p")
    workers = data.draw(st.sampled_from([1, 2, 3]), label="workers")
    windows = gather(image, fp, mask, shift)
    kw = dict(mask=mask, shift=shift, workers=workers)
    assert np.array_equal(percentile(image, fp, p, **kw), brute_percentile(windows, p, dtype))
    assert np.array_equal(median(image, fp, **kw), brute_percentile(windows, 0.5, dtype))
    assert np.array_equal(minimum(image, fp, **kw), brute_minimum(windows, dtype))
    assert np.array_equal(maximum(image, fp, **kw), brute_maximum(windows, dtype))
    np.testing.assert_allclose(mean(image, fp, **kw), brute_mean(windows), rtol=1e-12)
    if top <= 255:
        np.testing.assert_allclose(histogram(image, fp, normalized=True, **kw),
                                   brute_histogram(windows, bins_of(image), True), rtol=1e-12)


# The brute force itself, against the histograms of tests/reference.py.

def test_brute_force_agrees_with_reference_2d():
    import reference

    image, fp, mask = IMAGES["u8_2d"][:15, :17], FOOTPRINTS[2]["odd4x5"], MASKS[2]["random"]
    mask = mask[:15, :17]
    want = reference.window_histograms(image, fp, mask, shift_x=2, shift_y=-2)
    got = brute_histogram(gather(image, fp, mask, (-2, 2)), 256)
    np.testing.assert_array_equal(got, want)


def test_brute_force_agrees_with_reference_3d():
    import reference

    if not hasattr(reference, "window_histograms_3d_naive"):
        pytest.skip("tests/reference.py has no 3D helpers")
    image, fp = IMAGES["u8_3d"][:4, :5, :6], FOOTPRINTS[3]["odd2x3x4"]
    mask = MASKS[3]["random"][:4, :5, :6]
    # reference: shift_x moves along planes, shift_y rows, shift_z columns.
    want = reference.window_histograms_3d_naive(image, fp, mask, shift_x=-1, shift_y=-1,
                                                shift_z=1)
    got = brute_histogram(gather(image, fp, mask, (-1, -1, 1)), 256)
    np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------------------
# Against SciPy


def interior(image_shape, fp_shape, shift):
    """Pixels whose whole footprint box lies inside the image."""
    shift = (0,) * len(fp_shape) if shift is None else shift
    region = []
    for n, e, s in zip(image_shape, fp_shape, shift):
        centre = e // 2 + s
        region.append(slice(centre, n - (e - 1 - centre)))
    return tuple(region)


SCIPY_CASES = []
for _ndim, _keys in ((2, ["u8_2d", "u16big_2d", "u16few_2d"]),
                     (3, ["u8_3d", "u16big_3d", "u16few_3d"])):
    for _image_key in _keys:
        for _fp_key, _fp in FOOTPRINTS[_ndim].items():
            for _shift_key, _shift in shifts_for(_fp.shape).items():
                if _shift_key == "low":
                    continue
                SCIPY_CASES.append(pytest.param(_image_key, _ndim, _fp_key, _shift,
                                                id=f"{_image_key}-{_fp_key}-{_shift_key}"))


@pytest.mark.parametrize("image_key, ndim, fp_key, shift", SCIPY_CASES)
def test_interior_matches_scipy(image_key, ndim, fp_key, shift):
    image, fp = IMAGES[image_key], FOOTPRINTS[ndim][fp_key]
    members = fp != 0
    origin = 0 if shift is None else list(shift)
    inside = interior(image.shape, fp.shape, shift)
    assert image[inside].size > 0
    kw = dict(footprint=members, mode="constant", origin=origin)
    pairs = [("median", median(image, fp, shift=shift), ndimage.median_filter(image, **kw))]
    for p in (0.25, 0.5, 0.75):
        pairs.append((f"p={p}", percentile(image, fp, p, shift=shift),
                      ndimage.percentile_filter(image, 100 * p, **kw)))
    pairs.append(("minimum", minimum(image, fp, shift=shift), ndimage.minimum_filter(image, **kw)))
    pairs.append(("maximum", maximum(image, fp, shift=shift), ndimage.maximum_filter(image, **kw)))
    for name, ours, theirs in pairs:
        np.testing.assert_array_equal(ours[inside], theirs[inside], err_msg=name)
    weights = members / members.sum()
    theirs = ndimage.correlate(image.astype(np.float64), weights, mode="constant",
                               origin=origin)
    np.testing.assert_allclose(mean(image, fp, shift=shift)[inside], theirs[inside],
                               rtol=1e-12, err_msg="mean")


@pytest.mark.parametrize("image_key", ["u8_2d", "u16big_2d", "u8_3d", "u16few_3d"])
@pytest.mark.parametrize("size, shift", [((3,), None), ((4,), "high"), ((5,), "low")])
def test_box_mean_interior_matches_uniform_filter(image_key, size, shift):
    image = IMAGES[image_key]
    fp = np.ones(size * image.ndim, bool)
    shift = shifts_for(fp.shape)[shift or "none"]
    inside = interior(image.shape, fp.shape, shift)
    theirs = ndimage.uniform_filter(image.astype(np.float64), size=fp.shape, mode="constant",
                                    origin=0 if shift is None else list(shift))
    np.testing.assert_allclose(mean(image, fp, shift=shift)[inside], theirs[inside], rtol=1e-12)


@pytest.mark.parametrize("image_key", ["u8_2d", "u16big_2d", "u16few_2d",
                                       "u8_3d", "u16big_3d", "u16few_3d"])
@pytest.mark.parametrize("masked", [False, True])
def test_whole_image_matches_scipy_without_padding(image_key, masked):
    """No padding, with a mask: on the whole image the minimum equals SciPy's
    with the border (and masked pixels) set to the dtype's top, the maximum
    with them set to 0, and the mean equals correlate(image * mask) /
    correlate(mask)."""
    image = IMAGES[image_key]
    ndim = image.ndim
    fp = FOOTPRINTS[ndim]["odd4x5" if ndim == 2 else "odd2x3x4"]
    shift = shifts_for(fp.shape)["mixed"]
    mask = MASKS[ndim]["random"].astype(bool) if masked else np.ones(image.shape, bool)
    kw = dict(footprint=fp, origin=list(shift), mode="constant")
    top = np.iinfo(image.dtype).max
    # Where a window holds no counted pixel our filters give 0 (and NaN).
    n = ndimage.correlate(mask.astype(np.float64), fp.astype(np.float64), mode="constant",
                          origin=list(shift))
    empty = n == 0
    want_min = ndimage.minimum_filter(np.where(mask, image, top).astype(image.dtype),
                                      cval=top, **kw)
    want_min[empty] = 0
    want_max = ndimage.maximum_filter(np.where(mask, image, 0).astype(image.dtype), cval=0,
                                      **kw)
    want_max[empty] = 0
    with np.errstate(invalid="ignore"):
        want_mean = ndimage.correlate(np.where(mask, image, 0).astype(np.float64),
                                      fp.astype(np.float64), mode="constant",
                                      origin=list(shift)) / n
    m = mask if masked else None
    np.testing.assert_array_equal(minimum(image, fp, mask=m, shift=shift), want_min)
    np.testing.assert_array_equal(maximum(image, fp, mask=m, shift=shift), want_max)
    np.testing.assert_allclose(mean(image, fp, mask=m, shift=shift), want_mean, rtol=1e-9)


# ---------------------------------------------------------------------------
# Semantics by hand


NINE = np.arange(1, 10, dtype=np.uint8).reshape(3, 3)


def test_hand_computed_corner_windows():
    box = np.ones((3, 3), bool)
    # Corner (0, 0) sees 1, 2, 4, 5 (no padding): rank 4 // 2 = 2 -> 4.
    assert median(NINE, box)[0, 0] == 4
    assert median(NINE, box)[1, 1] == 5
    assert percentile(NINE, box, 0.25)[0, 0] == 2
    assert percentile(NINE, box, 1.0)[0, 0] == 5
    assert percentile(NINE, box, 0.0)[2, 2] == 5
    assert minimum(NINE, box)[2, 2] == 5
    assert maximum(NINE, box)[0, 0] == 5
    assert mean(NINE, box)[0, 0] == 3.0
    assert mean(NINE, box)[0, 1] == 3.5
    hist = histogram(NINE, box)
    assert hist[0, 0, [1, 2, 4, 5]].tolist() == [1, 1, 1, 1]
    assert hist[0, 0].sum() == 4
    assert histogram(NINE, box, normalized=True)[0, 1, 6] == pytest.approx(1 / 6)


def test_hand_computed_shift():
    row = np.array([[10, 20, 30, 40, 50]], np.uint8)
    fp = np.ones((1, 3), bool)
    # shift +1 along columns: entry 2 sits on the pixel, the window looks left.
    np.testing.assert_array_equal(maximum(row, fp, shift=(0, 1)), [[10, 20, 30, 40, 50]])
    np.testing.assert_array_equal(minimum(row, fp, shift=(0, 1)), [[10, 10, 10, 20, 30]])
    np.testing.assert_array_equal(minimum(row, fp, shift=(0, -1)), [[10, 20, 30, 40, 50]])
    np.testing.assert_array_equal(maximum(row, fp, shift=(0, -1)), [[30, 40, 50, 50, 50]])
    # Even extent: entry 4 // 2 = 2 sits on the pixel.
    fp4 = np.ones((1, 4), bool)
    np.testing.assert_array_equal(minimum(row, fp4), [[10, 10, 10, 20, 30]])
    np.testing.assert_array_equal(maximum(row, fp4), [[20, 30, 40, 50, 50]])
    col = row.T.copy()
    np.testing.assert_array_equal(minimum(col, fp.T, shift=(1, 0)), [[10], [10], [10], [20],
                                                                     [30]])


def test_hand_computed_3d_shift():
    vol = np.zeros((3, 2, 2), np.uint16)
    vol[0], vol[1], vol[2] = 100, 50000, 7
    fp = np.ones((3, 1, 1), bool)
    np.testing.assert_array_equal(maximum(vol, fp, shift=(1, 0, 0))[:, 0, 0], [100, 50000, 50000])
    np.testing.assert_array_equal(maximum(vol, fp, shift=(-1, 0, 0))[:, 0, 0], [50000, 50000, 7])
    np.testing.assert_allclose(mean(vol, fp)[:, 1, 1], [25050, (100 + 50000 + 7) / 3, 25003.5])


@pytest.mark.parametrize("ndim", [2, 3])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_empty_windows(ndim, dtype):
    shape = (6, 7) if ndim == 2 else (4, 5, 6)
    image = np.full(shape, 9, dtype)
    fp = np.ones((3,) * ndim, bool)
    mask = np.zeros(shape, bool)
    for f in (median, minimum, maximum):
        result = f(image, fp, mask=mask)
        assert result.dtype == dtype and not result.any()
    assert not percentile(image, fp, 0.3, mask=mask).any()
    assert np.isnan(mean(image, fp, mask=mask)).all()
    for normalized in (False, True):
        hist = histogram(image, fp, mask=mask, normalized=normalized)
        assert hist.shape == shape + (bins_of(image),)
        assert not hist.any()
    # One counted pixel: windows that reach it see it, the others are empty.
    mask[(1,) * ndim] = True
    reach = np.zeros(shape, bool)
    reach[(slice(0, 3),) * ndim] = True
    np.testing.assert_array_equal(median(image, fp, mask=mask), np.where(reach, 9, 0))
    np.testing.assert_array_equal(np.isnan(mean(image, fp, mask=mask)), ~reach)
    norm = histogram(image, fp, mask=mask, normalized=True)
    np.testing.assert_array_equal(norm[..., 9], reach.astype(float))


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_median_is_percentile_half_and_extremes_are_min_max(dtype):
    image = IMAGES["u8_2d"].astype(dtype) * (1 if dtype == np.uint8 else 200)
    fp, mask, shift = disk(2), MASKS[2]["random"], (1, -2)
    kw = dict(mask=mask, shift=shift)
    assert np.array_equal(median(image, fp, **kw), percentile(image, fp, 0.5, **kw))
    assert np.array_equal(percentile(image, fp, 0, **kw), minimum(image, fp, **kw))
    assert np.array_equal(percentile(image, fp, 1, **kw), maximum(image, fp, **kw))


def test_no_padding_at_the_border():
    image = np.full((6, 8), 255, np.uint8)
    fp = np.ones((5, 5), bool)
    assert (minimum(image, fp) == 255).all()
    assert (median(image, fp) == 255).all()
    assert (mean(image, fp) == 255).all()
    image16 = np.full((3, 4, 5), 60000, np.uint16)
    assert (minimum(image16, np.ones((3, 3, 3), bool)) == 60000).all()
    shares = histogram(image16[0], np.ones((3, 3), bool), normalized=True)
    np.testing.assert_array_equal(shares[..., 60000], 1.0)


@pytest.mark.parametrize("ndim", [2, 3])
def test_mask_and_footprint_dtypes_only_zero_matters(ndim):
    image = IMAGES[f"u16big_{ndim}d"]
    rng = np.random.default_rng(3)
    fp = FOOTPRINTS[ndim]["ints"]
    mask = MASKS[ndim]["random"]
    want = median(image, fp != 0, mask=mask.astype(bool))
    weird_mask = np.where(mask != 0, rng.choice([-3, 1, 2, 1000], image.shape), 0).astype(np.int32)
    for m in (mask, mask.astype(bool), mask.astype(np.int64), weird_mask):
        for f in (fp, (fp != 0).astype(np.uint8), (fp != 0).astype(np.uint64) * 7):
            np.testing.assert_array_equal(median(image, f, mask=m), want)


@pytest.mark.parametrize("ndim", [2, 3])
def test_non_contiguous_inputs(ndim):
    rng = np.random.default_rng(11)
    shape = (40, 50) if ndim == 2 else (8, 12, 14)
    big = rng.integers(0, 60001, tuple(2 * n for n in shape), dtype=np.uint16)
    view = big[(slice(None, None, 2),) * ndim]
    mask_big = rng.random(big.shape) < 0.7
    mask_view = mask_big[(slice(1, None, 2),) * ndim]
    fp = FOOTPRINTS[ndim]["odd4x5" if ndim == 2 else "odd2x3x4"]
    shift = shifts_for(fp.shape)["mixed"]
    for f in (median, mean, minimum, maximum):
        got = f(view, fp, mask=mask_view, shift=shift)
        want = f(np.ascontiguousarray(view), fp, mask=np.ascontiguousarray(mask_view),
                 shift=shift)
        np.testing.assert_array_equal(got, want)
    # A transposed image (Fortran order).
    image = IMAGES[f"u8_{ndim}d"]
    t = image.T
    fpt = np.ascontiguousarray(fp.T)
    windows = gather(t, fpt, None, None)
    np.testing.assert_array_equal(median(t, fpt), brute_percentile(windows, 0.5, np.uint8))
    np.testing.assert_allclose(histogram(t, fpt), brute_histogram(windows, 256))


def test_image_given_as_nested_lists_of_uint8_arrays():
    rows = [np.array([1, 2, 3], np.uint8), np.array([4, 5, 6], np.uint8)]
    assert median(rows, np.ones((1, 3), bool)).dtype == np.uint8


# ---------------------------------------------------------------------------
# Output


@pytest.mark.parametrize("key, bins", [("u8_2d", 256), ("u8few_2d", 256), ("u8_3d", 256),
                                       ("u16few_2d", None)])
def test_output_shapes_and_dtypes(key, bins):
    image = IMAGES[key]
    fp = np.ones((3,) * image.ndim, bool)
    for f in (median, minimum, maximum):
        r = f(image, fp)
        assert r.shape == image.shape and r.dtype == image.dtype
    r = percentile(image, fp, 0.2)
    assert r.shape == image.shape and r.dtype == image.dtype
    r = mean(image, fp)
    assert r.shape == image.shape and r.dtype == np.float64
    if bins is not None:
        r = histogram(image, fp)
        assert r.shape == image.shape + (bins,) and r.dtype == np.uint8


def test_uint16_histogram_bins_follow_the_largest_value():
    image = np.array([[0, 5], [300, 7]], np.uint16)
    assert histogram(image, np.ones((3, 3), bool)).shape == (2, 2, 301)
    assert histogram(np.zeros((2, 3, 4), np.uint16), np.ones((1, 1, 1), bool)).shape == (2, 3, 4, 1)
    # uint8 always has 256 bins.
    assert histogram(np.zeros((2, 2), np.uint8), np.ones((1, 1), np.uint8)).shape == (2, 2, 256)
    norm = histogram(IMAGES["u16few_2d"][:5, :6] // 100, disk(1), normalized=True)
    np.testing.assert_allclose(norm.sum(axis=-1), 1.0, rtol=1e-12)


FILTER_CALLS = {
    "median": (lambda im, fp, **kw: median(im, fp, **kw), None),
    "percentile": (lambda im, fp, **kw: percentile(im, fp, 0.3, **kw), None),
    "mean": (lambda im, fp, **kw: mean(im, fp, **kw), np.float64),
    "minimum": (lambda im, fp, **kw: minimum(im, fp, **kw), None),
    "maximum": (lambda im, fp, **kw: maximum(im, fp, **kw), None),
    "histogram": (lambda im, fp, **kw: histogram(im, fp, **kw), np.uint8),
    "histogram_normalized": (lambda im, fp, **kw: histogram(im, fp, normalized=True, **kw),
                             np.float64),
}


def _out_shape(name, image):
    return image.shape + (bins_of(image),) if name.startswith("histogram") else image.shape


@pytest.mark.parametrize("name", sorted(FILTER_CALLS))
@pytest.mark.parametrize("key", ["u8_2d", "u16few_2d", "u8_3d", "u16big_3d"])
def test_out_is_filled_and_returned(name, key):
    image = IMAGES[key]
    if name.startswith("histogram") and image.dtype == np.uint16:
        image = image // 1000
    call, dtype = FILTER_CALLS[name]
    dtype = dtype or image.dtype
    fp = FOOTPRINTS[image.ndim]["box3"]
    kw = dict(mask=MASKS[image.ndim]["holed"], shift=(1,) * image.ndim)
    want = call(image, fp, **kw)
    out = np.full(_out_shape(name, image), 77, dtype)
    got = call(image, fp, out=out, **kw)
    assert got is out
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("name", sorted(FILTER_CALLS))
@pytest.mark.parametrize("key", ["u8_2d", "u16few_2d", "u8_3d"])
def test_out_may_be_a_strided_view(name, key, workers):
    """A view with gaps between its rows (and between its pixels) is filled
    like a fresh array, and nothing between its elements is touched."""
    image = IMAGES[key]
    if name.startswith("histogram") and image.dtype == np.uint16:
        image = image // 1000
    call, dtype = FILTER_CALLS[name]
    dtype = dtype or image.dtype
    fp = FOOTPRINTS[image.ndim]["box3"]
    want = call(image, fp)
    shape = _out_shape(name, image)
    lead = image.ndim
    # Every image axis strided, any trailing (bins) axis contiguous.
    base = np.zeros(tuple(2 * n for n in shape[:lead]) + shape[lead:], dtype)
    out = base[(slice(None, None, 2),) * lead]
    got = call(image, fp, out=out, workers=workers)
    assert got is out
    np.testing.assert_array_equal(out, want)
    assert not base[(slice(1, None, 2),) * lead].any()


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("key", ["u8_2d", "u8_3d"])
def test_histogram_out_with_strided_bins(key, normalized, workers):
    """out of the right shape and dtype whose bins axis is not contiguous
    (every other element of a wider array) is accepted and filled."""
    image = IMAGES[key]
    fp = FOOTPRINTS[image.ndim]["box3"]
    want = histogram(image, fp, normalized=normalized)
    base = np.zeros(image.shape + (512,), np.float64)
    out = base[..., ::2]
    got = histogram(image, fp, normalized=normalized, out=out, workers=workers)
    assert got is out
    np.testing.assert_array_equal(out, want)
    assert not base[..., 1::2].any()


# ---------------------------------------------------------------------------
# Workers


WORKER_CASES = [
    pytest.param("u8_2d", (-1, 1), "holed", id="u8_2d"),
    pytest.param("u16big_2d", (1, -1), "random", id="u16big_2d"),
    pytest.param("u16few_2d", None, "none", id="u16few_2d"),
    pytest.param("u8_3d", (-1, 1, 0), "holed", id="u8_3d"),
    pytest.param("u16few_3d", (1, -1, 1), "random", id="u16few_3d"),
]


@pytest.mark.parametrize("name", sorted(FILTER_CALLS))
@pytest.mark.parametrize("key, shift, mask_key", WORKER_CASES)
def test_workers_do_not_change_the_result(name, key, shift, mask_key):
    image = IMAGES[key]
    if name.startswith("histogram") and image.dtype == np.uint16:
        image = image // 1000
    call, _ = FILTER_CALLS[name]
    # A footprint reaching far along the first axis, where bands are cut.
    fp = np.ones((5,) + (3,) * (image.ndim - 1), bool)
    fp[0, ...] = False
    fp[0, (0,) * (image.ndim - 1)] = True
    if shift is not None:
        shift = (2 * shift[0],) + tuple(shift[1:])
    kw = dict(mask=MASKS[image.ndim][mask_key], shift=shift)
    want = call(image, fp, workers=1, **kw)
    windows = gather(image, fp, kw["mask"], shift)
    if name == "median":
        np.testing.assert_array_equal(want, brute_percentile(windows, 0.5, image.dtype))
    most = 8 * (os.cpu_count() or 1)
    for workers in (2, 3, 4, min(image.shape[0] + 3, most), most, None, 0, np.int64(2)):
        got = call(image, fp, workers=workers, **kw)
        np.testing.assert_array_equal(got, want, err_msg=f"workers={workers!r}")


def _median_in_child(image, fp):
    return median(image, fp, workers=2)


def test_kept_helper_threads_under_concurrent_calls_and_fork():
    """Calls from several Python threads at once (one takes the kept helper
    threads, the others find them busy), calls short and long enough to
    use them, and a forked child whose parent's helpers do not exist in it:
    every result equals one worker's."""
    import concurrent.futures
    import multiprocessing
    rng = np.random.default_rng(11)
    cases = [(rng.integers(0, 256, (n, n), dtype=np.uint8), np.ones((k, k), bool))
             for n, k in ((96, 3), (512, 5), (700, 3), (300, 7))]
    want = [median(image, fp, workers=1) for image, fp in cases]

    def call(i):
        image, fp = cases[i % len(cases)]
        return i % len(cases), median(image, fp, workers=2)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for i, got in pool.map(call, range(48)):
            np.testing.assert_array_equal(got, want[i])
    if "fork" in multiprocessing.get_all_start_methods():
        with multiprocessing.get_context("fork").Pool(1) as child:
            got = child.apply_async(_median_in_child, cases[1]).get(timeout=60)
        np.testing.assert_array_equal(got, want[1])


# ---------------------------------------------------------------------------
# Errors


ALL = [median, mean, minimum, maximum, histogram,
       lambda im, fp, **kw: percentile(im, fp, 0.5, **kw)]
ALL_IDS = ["median", "mean", "minimum", "maximum", "histogram", "percentile"]
GOOD = np.zeros((6, 7), np.uint8)
BOX = np.ones((3, 3), bool)


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
@pytest.mark.parametrize("dtype", [np.complex64, object, "U2", "M8[s]", "V4"], ids=str)
def test_image_dtype_error(f, dtype):
    with pytest.raises(TypeError, match="real numbers"):
        f(np.zeros((6, 7), dtype), BOX)


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
def test_byte_swapped_uint16_is_read_by_value(f):
    rng = np.random.default_rng(31)
    native = rng.integers(0, 3000, (9, 11)).astype(np.uint16)
    swapped = native.astype(">u2" if native.dtype.byteorder in "=<" else "<u2")
    expected = f(native, BOX)
    got = f(swapped, BOX)
    assert got.dtype.isnative
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
@pytest.mark.parametrize("shape", [(5,), (2, 3, 4, 5), ()], ids=str)
def test_image_ndim_error(f, shape):
    with pytest.raises(ValueError):
        f(np.zeros(shape, np.uint8), np.ones((1,) * len(shape), bool))


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
def test_footprint_errors(f):
    with pytest.raises(TypeError):
        f(GOOD, np.ones((3, 3), np.complex128))
    with pytest.raises(ValueError):
        f(GOOD, np.ones((3, 3, 3), bool))
    with pytest.raises(ValueError):
        f(GOOD, np.ones(3, bool))
    with pytest.raises(ValueError):
        f(np.zeros((3, 4, 5), np.uint8), BOX)
    for empty in ((0, 3), (3, 0), (0, 0)):
        with pytest.raises(ValueError):
            f(GOOD, np.ones(empty, bool))
    with pytest.raises(ValueError):
        f(np.zeros((3, 4, 5), np.uint16), np.ones((2, 0, 2), bool))


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
def test_mask_errors(f):
    for shape in ((7, 6), (6, 8), (6, 7, 1), (6,)):
        with pytest.raises(ValueError):
            f(GOOD, BOX, mask=np.ones(shape, bool))
    for dtype in (np.float64, np.float32, np.complex64):
        with pytest.raises(TypeError):
            f(GOOD, BOX, mask=np.ones((6, 7), dtype))


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
def test_shift_errors(f):
    with pytest.raises(ValueError):
        f(GOOD, BOX, shift=(1,))
    with pytest.raises(ValueError):
        f(GOOD, BOX, shift=(0, 0, 0))
    with pytest.raises(ValueError):
        f(GOOD, BOX, shift=())
    for bad in ((2, 0), (0, 2), (-2, 0), (0, -2), (200, 0)):
        with pytest.raises(ValueError):
            f(GOOD, BOX, shift=bad)
    # Even extent 4: -2..1 allowed.
    fp4 = np.ones((4, 4), bool)
    f(GOOD, fp4, shift=(-2, 1))
    with pytest.raises(ValueError):
        f(GOOD, fp4, shift=(2, 0))
    with pytest.raises(ValueError):
        f(GOOD, fp4, shift=(0, -3))
    # 3D: one entry per axis, each within its own extent.
    vol = np.zeros((3, 4, 5), np.uint8)
    fp3 = np.ones((1, 3, 5), bool)
    f(vol, fp3, shift=(0, -1, 2))
    for bad in ((1, 0, 0), (0, 2, 0), (0, 0, 3), (0, 0)):
        with pytest.raises(ValueError):
            f(vol, fp3, shift=bad)
    for bad in (1, 0, 2.5):
        with pytest.raises(TypeError):
            f(GOOD, BOX, shift=bad)


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
def test_out_errors(f):
    is_hist = f is histogram
    dtype = np.float64 if f in (mean, histogram) else np.uint8
    shape = (6, 7, 256) if is_hist else (6, 7)
    f(GOOD, BOX, out=np.empty(shape, dtype))
    wrong_shapes = [(7, 6) + shape[2:], (6, 7, 255) if is_hist else (6, 7, 1), (6,)]
    for wrong in wrong_shapes:
        with pytest.raises(ValueError):
            f(GOOD, BOX, out=np.empty(wrong, dtype))
    # A histogram's counts take the type of its out, if that can hold them.
    wrong_dtypes = ((np.complex64, np.float16, bool) if is_hist else
                    (np.uint16, np.float32, np.int64, np.uint8 if dtype != np.uint8
                     else np.float64))
    for wrong_dtype in wrong_dtypes:
        with pytest.raises(ValueError):
            f(GOOD, BOX, out=np.empty(shape, wrong_dtype))
    readonly = np.empty(shape, dtype)
    readonly.setflags(write=False)
    with pytest.raises(ValueError):
        f(GOOD, BOX, out=readonly)
    with pytest.raises(TypeError):
        f(GOOD, BOX, out=np.empty(shape, dtype).tolist())


def test_out_dtype_follows_the_image():
    with pytest.raises(ValueError):
        median(GOOD.astype(np.uint16), BOX, out=np.empty((6, 7), np.uint8))
    with pytest.raises(ValueError):
        maximum(GOOD, BOX, out=np.empty((6, 7), np.uint16))


@pytest.mark.parametrize("f", ALL, ids=ALL_IDS)
@pytest.mark.parametrize("workers", [-1, -5, 1.5, 2.0, 0.0, True, False, np.float64(2),
                                     np.bool_(True), np.bool_(False)], ids=repr)
def test_workers_errors(f, workers):
    with pytest.raises(ValueError):
        f(GOOD, BOX, workers=workers)


@pytest.mark.parametrize("p", [-0.01, 1.01, -1, 2, float("nan"), float("inf")], ids=repr)
def test_percentile_out_of_range(p):
    with pytest.raises(ValueError):
        percentile(GOOD, BOX, p)


def test_public_names():
    assert set(rank.__all__) >= {"median", "percentile", "mean", "minimum", "maximum",
                                 "histogram", "apply_dask"}
    for name in ("median", "percentile", "mean", "minimum", "maximum", "histogram"):
        assert callable(getattr(rank, name))
    with pytest.raises(AttributeError):
        rank.no_such_filter
    assert os.path.isfile(os.path.join(rank.get_include(), "morvane", "slidewin.h"))
