"""The sums method (means from exact running sums along image rows) against
the reference path, and against exact float sums from SciPy; on both sides
of its lane layouts: 32- and 64-bit sums, counts from the geometry, packed
above the sums, or in lanes of their own."""

import numpy as np
import pytest
from scipy import ndimage

from engine_cases import assert_same, ball, check, disk, image_of
from morvane.filters.rank import _filters
from test_engine_runs import FOOTPRINTS_2D, MASKS


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
