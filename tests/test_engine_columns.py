"""The column-histogram method for rank filters over boxes: against the
reference for box shapes, shifts (to the extremes), masks, value ranges
(8-bit, recoded 16-bit images with few and many distinct values),
images smaller than the box, volumes and several workers; where it does not
apply; and where the dispatcher picks it."""

import itertools
import zlib

import numpy as np
import pytest

from engine_cases import check, disk, image_of
from morvane.filters.rank import _filters

RANKS = ["p0", "p0.1", "p0.29", "median", "p0.9", "p1"]
KINDS = ["u8", "u8few", "u16", "u16_12bit", "u16few", "u16_300"]


def image(rng, shape, kind):
    if kind == "u16_300":  # more than 256 distinct values, fewer than 512
        return rng.choice(rng.choice(65536, 300, replace=False).astype(np.uint16), shape)
    return image_of(rng, shape, kind)


def extreme_shifts(box):
    """The centre at each corner and in the middle of the box."""
    ends = [(-(e // 2), 0, e - 1 - e // 2) for e in box]
    return sorted(set(itertools.product(*ends)))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape, box", [
    ((37, 45), (1, 7)), ((37, 45), (7, 1)), ((37, 45), (4, 6)), ((37, 45), (5, 5)),
    ((70, 90), (41, 61)),   # wider than stripes of windows, most pixels near a border
    ((6, 9), (11, 13)),     # image smaller than the box
    ((1, 40), (3, 5)), ((40, 1), (5, 3)), ((1, 1), (3, 3)),
])
def test_boxes(kind, shape, box):
    rng = np.random.default_rng(zlib.crc32(repr((kind, shape, box)).encode()))
    img = image(rng, shape, kind)
    footprint = np.ones(box, bool)
    for n, shift in enumerate(extreme_shifts(box)):
        stat = RANKS[n % len(RANKS)]
        mask = None if n % 2 else rng.random(shape) < 0.6
        assert check("columns", stat, img, footprint, mask, shift)


@pytest.mark.parametrize("stat", RANKS)
def test_masks(stat):
    """Masked pixels are not counted; windows with no counted pixel give 0."""
    rng = np.random.default_rng(7)
    for kind in ("u8", "u16"):
        img = image(rng, (40, 50), kind)
        mask = rng.random(img.shape) < 0.3
        mask[5:25, 10:40] = False
        assert check("columns", stat, img, np.ones((5, 7), bool), mask, (1, -2))


@pytest.mark.parametrize("kind", ["u8", "u16", "u16_12bit"])
@pytest.mark.parametrize("box, shift", [((3, 3, 3), (0, 0, 0)), ((2, 5, 4), (-1, 2, 1)),
                                        ((5, 1, 2), (2, 0, -1))])
def test_volumes(kind, box, shift):
    rng = np.random.default_rng(zlib.crc32(repr((kind, box)).encode()))
    img = image(rng, (9, 14, 17), kind)
    mask = rng.random(img.shape) < 0.7
    for stat, m in (("median", None), ("p0.9", mask), ("p0", mask)):
        assert check("columns", stat, img, np.ones(box, bool), m, shift)


@pytest.mark.parametrize("workers", [2, 3, 5])
def test_workers(workers):
    rng = np.random.default_rng(workers)
    for kind in ("u8", "u16"):
        img = image(rng, (300, 70), kind)
        assert check("columns", "median", img, np.ones((9, 15), bool), None, (2, 3), workers)
        vol = image(rng, (23, 12, 10), kind)
        assert check("columns", "p0.29", vol, np.ones((3, 3, 4), bool), None, None, workers)


def test_counts_wider_than_16_bits():
    """A box of more than 65535 pixels."""
    rng = np.random.default_rng(3)
    img = image(rng, (12, 300), "u16")
    assert check("columns", "median", img, np.ones((257, 256), bool), None, (100, -90))


@pytest.mark.parametrize("footprint, stat", [
    (disk(3), "median"),
    (np.pad(np.ones((3, 4), bool), ((0, 0), (1, 0))), "median"),  # a box with an empty column
    (np.ones((5, 5), bool), "mean"), (np.ones((5, 5), bool), "min"),
    (np.ones((5, 5), bool), "max"),
])
def test_does_not_apply(footprint, stat):
    img = image_of(np.random.default_rng(0), (20, 20), "u8")
    assert not check("columns", stat, img, footprint)


def chosen(img, box):
    return _filters.engine(0, img, np.ones(box, np.uint8), None, np.empty_like(img),
                           (0,) * img.ndim, 0.5, 1, "auto")


@pytest.mark.parametrize("dtype, box, columns", [
    # uint16 at 41x41 goes to the columns or the histogram by instruction set:
    # the golden table in test_dispatch.py fixes it per set.
    (np.uint8, (41, 41), True),
    # Where the choice flips: above, the columns beat the plain method; below,
    # they do not run.
    (np.uint8, (1, 3), True), (np.uint8, (1, 2), False),
    (np.uint16, (3, 3), True), (np.uint16, (2, 3), False),
])
def test_dispatcher_choice(dtype, box, columns):
    img = image_of(np.random.default_rng(1), (512, 512), "u8").astype(dtype)
    method = chosen(img, box)
    if box == (41, 41):
        assert method == "columns"
    elif columns:
        assert method != "sort"
    else:
        assert method != "columns"
