"""The runs method (minimum and maximum from running extremes along image
rows) against the reference path, and against SciPy where the border rules
agree; on both sides of its internal switches: members read directly or
through run tables, runs made in one pass or from shorter ones, cached or
pushed tables, marked lanes for empty windows."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy import ndimage

from engine_cases import assert_same, ball, cases, check, disk, image_of
from morvane.filters.rank import _filters


def _rows(*lengths_and_starts):
    """A footprint whose rows hold single runs (start, length)."""
    width = max(s + n for s, n in lengths_and_starts)
    fp = np.zeros((len(lengths_and_starts), width), bool)
    for row, (s, n) in enumerate(lengths_and_starts):
        fp[row, s:s + n] = True
    return fp


def _without_centre(fp):
    fp = fp.copy()
    fp[tuple(e // 2 for e in fp.shape)] = False
    return fp


FOOTPRINTS_2D = {
    "sparse": np.random.default_rng(3).random((5, 11)) < 0.45,  # several runs a row
    "box": np.ones((3, 7), bool),
    "single": np.ones((1, 1), bool),
    "no_centre": _without_centre(disk(2)),
    "eight_members": _rows((0, 3), (1, 2), (0, 3)),
    "nine_members": _rows((0, 3), (0, 3), (0, 3)),
    "long_runs": _rows((0, 16), (2, 17), (1, 33)),
}

MASKS = {
    "none": lambda rng, shape: None,
    "sparse": lambda rng, shape: rng.random(shape) < 0.3,
    # a block where every window is empty
    "holes": lambda rng, shape: np.pad(np.zeros((shape[0] // 2, shape[1] // 2), bool),
                                       ((0, shape[0] - shape[0] // 2),
                                        (0, shape[1] - shape[1] // 2)), constant_values=True),
}


@pytest.mark.parametrize("mask", sorted(MASKS))
@pytest.mark.parametrize("kind", ["u8few", "u16few", "u16"])
@pytest.mark.parametrize("name", sorted(FOOTPRINTS_2D))
@pytest.mark.parametrize("stat", ["min", "max"])
def test_footprints_2d(stat, name, kind, mask):
    rng = np.random.default_rng(len(name) + len(kind))
    image = image_of(rng, (29, 75), kind)
    fp = FOOTPRINTS_2D[name]
    for shift in (None, (0, -(fp.shape[1] // 2)), (fp.shape[0] - 1 - fp.shape[0] // 2, 0)):
        assert check("runs", stat, image, fp, MASKS[mask](rng, image.shape), shift)


@pytest.mark.parametrize("stat", ["min", "max"])
@pytest.mark.parametrize("fp, shift", [
    (ball(1), None),
    (np.random.default_rng(1).random((3, 4, 9)) < 0.4, (1, -2, 3)),
    (_without_centre(ball(2)), None),
    (np.ones((2, 3, 20), bool), (0, 1, -9)),
], ids=["ball", "sparse", "no_centre", "box_long_runs"])
def test_volumes(stat, fp, shift):
    rng = np.random.default_rng(7)
    image = image_of(rng, (9, 11, 30), "u16few")
    for mask in (None, rng.random(image.shape) < 0.4):
        assert check("runs", stat, image, fp, mask, shift, workers=2)


@pytest.mark.parametrize("stat", ["min", "max"])
@pytest.mark.parametrize("shape, fp", [
    ((1, 1), disk(3)),
    ((3, 4), disk(3)),
    ((2, 40), _rows((0, 21), (5, 30))),
    ((2, 1, 3), ball(2)),
], ids=["pixel", "smaller", "narrow_rows", "volume"])
def test_images_smaller_than_the_footprint(stat, shape, fp):
    rng = np.random.default_rng(11)
    image = image_of(rng, shape, "u8few")
    for mask in (None, rng.random(shape) < 0.5):
        assert check("runs", stat, image, fp, mask, None)


@pytest.mark.parametrize("workers", [2, 3])
@pytest.mark.parametrize("width", [60, 2000], ids=["cached_tables", "pushed_tables"])
@pytest.mark.parametrize("kind", ["u8", "u16"])
def test_bands_and_table_memory(workers, width, kind):
    """Wide rows under a tall footprint with many lengths outgrow the table
    cache; both ways and the band edges give the reference."""
    rng = np.random.default_rng(width)
    image = image_of(rng, (37, width), kind)
    fp = rng.random((25, 45)) < 0.5
    fp[:2] = fp[-2:] = False  # corner centres: every member above, or below
    mask = rng.random(image.shape) < 0.8
    for stat in ("min", "max"):
        for shift in ((3, -7), (12, 0), (-12, 0)):
            assert check("runs", stat, image, fp, mask, shift, workers=workers)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("radius", [1, 3, 6])
def test_scipy_agrees_without_empty_windows(dtype, radius):
    rng = np.random.default_rng(radius)
    top = np.iinfo(dtype).max
    for fp, shape in ((disk(radius), (40, 53)), (ball(min(radius, 3)), (9, 12, 14))):
        image = rng.integers(0, top + 1, shape, dtype=dtype)
        got_min = _run("min", image, fp)
        got_max = _run("max", image, fp)
        assert np.array_equal(got_min, ndimage.minimum_filter(
            image, footprint=fp, mode="constant", cval=top))
        assert np.array_equal(got_max, ndimage.maximum_filter(
            image, footprint=fp, mode="constant", cval=0))


def _run(stat, image, fp):
    """The dispatcher's result; gathering never wins for extremes."""
    out = np.empty_like(image)
    name = _filters.engine(2 if stat == "min" else 3, image, fp.astype(np.uint8), None, out,
                           (0,) * image.ndim, 0.0, 1, "auto")
    assert name != "sort"
    return out


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=cases(max_extent=20), stat=st.sampled_from(["min", "max"]))
def test_random_wide_footprints(case, stat):
    image, footprint, mask, shift = case
    check("runs", stat, image, footprint, mask, shift)


# ---------------------------------------------------------------------------
# uint32 values (keys of other types, or codes below `bins`), which the
# reference path cannot take: against the plain method of the engine.

STAT_CODES = {"mean": 1, "min": 2, "max": 3}


def against_plain(method, stat, image, fp, mask=None, shift=None, bins=None, offset=0,
                  workers=1):
    """`method`'s result equals the plain method's, exactly; False when the
    method does not apply."""
    def run(name):
        out = np.empty(image.shape, np.float64 if stat == "mean" else image.dtype)
        _filters.engine(STAT_CODES[stat], image, np.asarray(fp, np.uint8),
                        None if mask is None else mask.astype(np.uint8), out,
                        shift or (0,) * image.ndim, 0.0, workers, name, 0, None, bins, offset)
        return out
    want = run("sort")
    try:
        got = run(method)
    except ValueError as error:
        if "does not apply" in str(error):
            return False
        raise
    assert_same(got, want, f"{method} {stat} {image.dtype} fp={np.shape(fp)} shift={shift} "
                           f"mask={mask is not None} bins={bins} offset={offset}")
    return True


def values_u32(rng, shape, bins=None):
    """Any 32-bit values, heavy on the extremes; or codes below `bins`."""
    if bins:
        return rng.integers(0, bins, shape).astype(np.uint32)
    extremes = np.array([0, 1, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 2, 2 ** 32 - 1], np.uint32)
    return np.where(rng.random(shape) < 0.5, rng.choice(extremes, shape),
                    rng.integers(0, 2 ** 32, shape, dtype=np.uint64).astype(np.uint32))


# Codes of at most 255 / 256 / 65535 / 65536 values straddle the lane
# widths with and without room for the empty-window marker; None: flags.
@pytest.mark.parametrize("bins", [None, 200, 256, 65535, 65536, 70000])
@pytest.mark.parametrize("mask", ["none", "holes"])
@pytest.mark.parametrize("name", ["sparse", "box", "no_centre", "eight_members", "long_runs"])
@pytest.mark.parametrize("stat", ["min", "max"])
def test_uint32(stat, name, mask, bins):
    rng = np.random.default_rng(len(name) + (bins or 0))
    image = values_u32(rng, (23, 70), bins)
    fp = FOOTPRINTS_2D[name]
    for shift in (None, (0, -(fp.shape[1] // 2))):
        assert against_plain("runs", stat, image, fp, MASKS[mask](rng, image.shape), shift,
                             bins)


@pytest.mark.parametrize("shape, fp, width_note", [
    ((9, 11, 30), ball(2), "volume"),
    ((2, 1, 3), ball(2), "smaller than the footprint"),
    ((37, 2000), np.random.default_rng(4).random((25, 45)) < 0.5, "pushed tables"),
])
def test_uint32_shapes(shape, fp, width_note):
    rng = np.random.default_rng(len(width_note))
    image = values_u32(rng, shape)
    for stat in ("min", "max"):
        for mask in (None, rng.random(shape) < 0.6):
            assert against_plain("runs", stat, image, fp, mask, None, workers=2), width_note
