"""The sums method (means from exact running sums along image rows) against
the reference path, and against exact float sums from SciPy; on both sides
of its lane layouts: 32- and 64-bit sums, counts from the geometry, packed
above the sums, or in lanes of their own."""

import math

import numpy as np
import pytest
from scipy import ndimage

from engine_cases import assert_same, ball, check, disk, image_of
from morvane.filters.rank import _filters
from test_engine_runs import FOOTPRINTS_2D, MASKS, against_plain, values_u32


@pytest.mark.parametrize("mask", sorted(MASKS))
@pytest.mark.parametrize("kind", ["u8few", "u16few", "u16"])
@pytest.mark.parametrize("name", sorted(FOOTPRINTS_2D))
def test_footprints_2d(name, kind, mask):
    rng = np.random.default_rng(len(name) * 7 + len(kind))
    image = image_of(rng, (29, 75), kind)
    fp = FOOTPRINTS_2D[name]
    for shift in (None, (0, -(fp.shape[1] // 2)), (fp.shape[0] - 1 - fp.shape[0] // 2, 0)):
        assert check("sums", "mean", image, fp, MASKS[mask](rng, image.shape), shift)


@pytest.mark.parametrize("shape, fp, shift", [
    ((9, 11, 30), ball(2), None),
    ((9, 11, 30), np.random.default_rng(2).random((3, 5, 9)) < 0.4, (-1, 2, 4)),
    ((2, 1, 3), ball(2), None),
    ((1, 1), disk(3), None),
    ((3, 50), np.ones((1, 60), bool), (0, 20)),
], ids=["ball", "sparse", "small_volume", "pixel", "narrow_rows"])
def test_shapes(shape, fp, shift):
    rng = np.random.default_rng(5)
    image = image_of(rng, shape, "u16few")
    for mask in (None, rng.random(shape) < 0.4):
        assert check("sums", "mean", image, fp, mask, shift, workers=2)


@pytest.mark.parametrize("kind, shape, fp", [
    ("u16few", (40, 57), disk(7)),                        # 149 members: packed counts
    ("u16few", (40, 57), disk(8)),                        # 197: counts in lanes of their own
    ("u8few", (70, 90), np.ones((45, 45), bool)),         # 2025: packed
    ("u8few", (70, 90), np.ones((60, 60), bool)),         # 3600: own lanes
    ("u16few", (60, 200), np.ones((183, 181), bool)),     # 64-bit sums
], ids=["u16_packed", "u16_lanes", "u8_packed", "u8_lanes", "u16_wide"])
def test_lane_layouts(kind, shape, fp):
    rng = np.random.default_rng(fp.size)
    image = image_of(rng, shape, kind)
    for mask in (None, rng.random(shape) < 0.6):
        assert check("sums", "mean", image, fp, mask, (1, -2), workers=3)


@pytest.mark.parametrize("width", [60, 2000], ids=["cached_tables", "pushed_tables"])
def test_table_memory(width):
    rng = np.random.default_rng(width)
    image = image_of(rng, (37, width), "u16")
    fp = rng.random((25, 45)) < 0.5
    fp[:2] = fp[-2:] = False
    for mask in (None, rng.random(image.shape) < 0.8):
        for shift in ((3, -7), (12, 0), (-12, 0)):
            assert check("sums", "mean", image, fp, mask, shift, workers=2)


@pytest.mark.parametrize("masked", [False, True])
@pytest.mark.parametrize("fp, shape", [(disk(4), (40, 53)), (ball(2), (9, 12, 14))],
                         ids=["disk", "ball"])
def test_scipy_sums_agree(fp, shape, masked):
    """Integer sums are exact in float64, so SciPy's sums of values and of
    counted pixels divide to exactly our means (0 / 0 = NaN for empty
    windows)."""
    rng = np.random.default_rng(9)
    image = rng.integers(0, 65536, shape, dtype=np.uint16)
    mask = rng.random(shape) < 0.2 if masked else np.ones(shape, bool)
    sums = ndimage.correlate(image * mask.astype(np.float64), fp.astype(np.float64),
                             mode="constant")
    counts = ndimage.correlate(mask.astype(np.float64), fp.astype(np.float64), mode="constant")
    with np.errstate(invalid="ignore"):
        want = sums / counts
    out = np.empty(shape, np.float64)
    name = _filters.engine(1, image, fp.astype(np.uint8), mask if masked else None, out,
                           (0,) * image.ndim, 0.0, 1, "auto")
    assert name != "sort"
    assert_same(out, want, "mean")


# ---------------------------------------------------------------------------
# Offsets, uint32 values and float64 values, which the reference path cannot
# take: integers against the plain method (exactly), doubles against exact
# sums (math.fsum) of each window.

OFFSETS = {1: [128, -3], 2: [32768], 4: [2 ** 31, 0]}


@pytest.mark.parametrize("mask", sorted(MASKS))
@pytest.mark.parametrize("item, fp", [
    (1, disk(3)),
    (2, disk(8)),                      # counts in lanes of their own with a mask
    (4, disk(3)),                      # 64-bit lanes, packed counts
    (4, np.ones((3, 200), bool)),      # 64-bit lanes, counts of their own
], ids=["u8", "u16", "u32", "u32_many"])
def test_offsets(item, fp, mask):
    rng = np.random.default_rng(item + fp.size)
    shape = (25, 230)
    image = (values_u32(rng, shape) if item == 4 else
             image_of(rng, shape, "u8" if item == 1 else "u16few"))
    for offset in OFFSETS[item]:
        assert against_plain("sums", "mean", image, fp, MASKS[mask](rng, shape), (1, -1),
                             offset=offset, workers=2)


@pytest.mark.parametrize("bins, offset, fp", [
    (1000, 500, disk(4)),                          # codes: 32-bit lanes
    (None, 2 ** 40, np.ones((50, 50), bool)),      # numerators past 2^51
])
def test_uint32_lane_choices(bins, offset, fp):
    rng = np.random.default_rng(3)
    image = values_u32(rng, (60, 80), bins)
    for mask in (None, rng.random(image.shape) < 0.7):
        assert against_plain("sums", "mean", image, fp, mask, None, bins, offset)


def fsum_means(image, fp, mask, shift, pixels):
    """NumPy's mean of each listed pixel's window, from exact sums."""
    fp = np.asarray(fp, bool)
    centre = np.array(fp.shape) // 2 + np.array(shift or (0,) * fp.ndim)
    members = np.argwhere(fp) - centre
    result = []
    for p in pixels:
        at = members + p
        inside = np.all((at >= 0) & (at < image.shape), axis=1)
        at = tuple(at[inside].T)
        values = image[at][mask[at]] if mask is not None else image[at]
        with np.errstate(invalid="ignore"):
            special = values[~np.isfinite(values)].sum()  # IEEE: NaN, +-inf or 0
        if values.size == 0 or special != 0 or np.isnan(special):
            result.append(np.nan if values.size == 0 else special)
        else:
            result.append(math.fsum(values) / values.size)
    return np.array(result)


def doubles(rng, shape, kind):
    """Values of magnitudes 1e-200 .. 1e200 and either sign, with NaN / +-inf
    sprinkled; or ("cancelling") positive ones with pairs of huge values of
    opposite signs that cancel within a window (powers of two: sums among
    them are exact, so that only one level of rounding errors separates them
    from the rest, which is what one compensation holds)."""
    if kind == "cancelling":
        image = rng.random(shape) * 10.0 ** rng.integers(-3, 4, shape)
        flat = image.reshape(-1)
        at = rng.integers(0, flat.size - 1, max(1, flat.size // 50))
        flat[at], flat[at + 1] = 2.0 ** 996, -2.0 ** 996
        return image
    image = rng.standard_normal(shape) * 10.0 ** rng.integers(-200, 200, shape)
    flat = image.reshape(-1)
    for value in SPECIALS[kind]:
        flat[rng.integers(0, flat.size, max(1, flat.size // 200))] = value
    return image


SPECIALS = {"finite": [], "nan": [np.nan], "inf": [np.inf], "both_infs": [np.inf, -np.inf]}


@pytest.mark.parametrize("kind", ["finite", "cancelling", "nan", "inf", "both_infs"])
@pytest.mark.parametrize("mask", ["none", "sparse", "holes"])
@pytest.mark.parametrize("shape, fp, shift", [
    ((30, 41), FOOTPRINTS_2D["sparse"], (1, -3)),
    ((30, 41), disk(4), None),
    ((30, 41), FOOTPRINTS_2D["no_centre"], None),
    ((7, 8, 9), ball(2), (0, 1, 0)),
    ((3, 4000), np.ones((3, 301), bool), (0, 100)),  # long rows
], ids=["sparse", "disk", "no_centre", "ball", "long_rows"])
def test_doubles(shape, fp, shift, mask, kind):
    """Within 2 ulps of the exact mean (8 where huge values cancel: the rest
    is then summed among the rounding errors, without their compensation);
    NaN and infinities as NumPy has them."""
    rng = np.random.default_rng(len(kind) + len(mask) + fp.size)
    image = doubles(rng, shape, kind)
    m = MASKS[mask](rng, shape) if len(shape) == 2 else (
        None if mask == "none" else rng.random(shape) < 0.5)
    out = np.empty(shape)
    assert _filters.engine(1, image, fp.astype(np.uint8), None if m is None else m.astype(np.uint8),
                           out, shift or (0,) * len(shape), 0.0, 2, "sums") == "sums"
    pixels = np.argwhere(np.ones(shape, bool))[::7 if shape[-1] > 1000 else 1]
    want = fsum_means(image, fp, m, shift, pixels)
    got = out[tuple(pixels.T)]
    with np.errstate(invalid="ignore"):
        same = (got == want) | (np.isnan(got) & np.isnan(want)) | (
            np.abs(got - want) <= (8 if kind == "cancelling" else 2) * np.spacing(np.abs(want)))
    assert same.all(), (pixels[~same][:3], got[~same][:3], want[~same][:3])
