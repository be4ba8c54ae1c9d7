"""The engine's sliding-histogram method against the core's C-API path:
footprints of every kind, shifts, masks, both element types, 2D and 3D,
borders, bands, windows whose rank moves far, and the counters' widths;
and on uint32 codes below a number of bins, against the plain method."""

import zlib

import numpy as np
import pytest

from engine_cases import ball, check, disk, engine, image_of, raw_engine as codes, reference

RANKS = ["median", "p0", "p0.29", "p1", "min", "max"]


def footprint(rng, kind, ndim):
    if kind == "disk":
        return disk(3) if ndim == 2 else ball(2)
    if kind == "large":
        return disk(20) if ndim == 2 else ball(4)
    if kind == "sparse":
        return rng.random((7, 9) if ndim == 2 else (5, 3, 7)) < 0.2
    if kind == "dense":
        return rng.random((6, 5) if ndim == 2 else (4, 5, 3)) < 0.8
    if kind == "single":
        one = np.zeros((3, 5) if ndim == 2 else (3, 3, 3), bool)
        one.flat[1] = True
        return one
    if kind == "hollow":  # no centre member
        ring = disk(4) if ndim == 2 else ball(2)
        ring[(ring.shape[0] // 2,) * ndim] = False
        return ring
    raise ValueError(kind)


@pytest.mark.parametrize("ndim, shape", [(2, (45, 53)), (3, (9, 11, 13))])
@pytest.mark.parametrize("kind", ["u8", "u8few", "u16", "u16_12bit", "u16few"])
@pytest.mark.parametrize("fp", ["disk", "large", "sparse", "dense", "single", "hollow"])
@pytest.mark.parametrize("masked", [False, True])
def test_equals_the_core(ndim, shape, kind, fp, masked):
    rng = np.random.default_rng(zlib.crc32(repr((ndim, kind, fp, masked)).encode()))
    image = image_of(rng, shape, kind)
    f = footprint(rng, fp, ndim)
    mask = rng.random(shape) < 0.6 if masked else None
    shift = tuple(int(rng.integers(-(e // 2), e - e // 2)) for e in f.shape)
    for stat in RANKS:
        assert check("histogram", stat, image, f, mask, shift if stat == "median" else None)


@pytest.mark.parametrize("shape, fshape", [
    ((1, 1), (41, 41)), ((2, 3), (9, 9)), ((5, 40), (11, 3)), ((40, 4), (1, 15)),
    ((1, 1, 1), (9, 9, 9)), ((2, 3, 30), (9, 9, 9)), ((4, 6, 5), (1, 7, 1)),
])
@pytest.mark.parametrize("kind", ["u8", "u16"])
def test_windows_larger_than_the_image(shape, fshape, kind):
    rng = np.random.default_rng(len(shape) * 100 + fshape[0])
    image = image_of(rng, shape, kind)
    f = rng.random(fshape) < 0.7
    for mask in (None, rng.random(shape) < 0.3, np.zeros(shape, bool)):
        assert check("histogram", "median", image, f, mask)
        assert check("histogram", "p0.9", image, f, mask, tuple(e // 2 for e in fshape))


@pytest.mark.parametrize("workers", [2, 3])
@pytest.mark.parametrize("shape, f", [((150, 31), disk(3)), ((24, 10, 12), ball(2))])
def test_bands(workers, shape, f):
    rng = np.random.default_rng(workers)
    for kind in ("u8", "u16"):
        image = image_of(rng, shape, kind)
        assert check("histogram", "median", image, f, rng.random(shape) < 0.7, workers=workers)


@pytest.mark.parametrize("dtype, high", [(np.uint8, 255), (np.uint16, 65535)])
@pytest.mark.parametrize("f", [disk(1), disk(6), np.ones((3, 31), bool),
                               np.ones((41, 3), bool)])  # many pairs: no sums of blocks
def test_rank_moving_far(dtype, high, f):
    """Plateaus at both ends of the range, as stripes, checkers and noise:
    the answer jumps across every empty bin between them."""
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:60, 0:70]
    for plateaus in ((x // 17) % 2, ((x // 5 + y // 4) % 2), rng.random((60, 70)) < 0.5):
        image = (plateaus * high).astype(dtype)
        for stat in ("median", "p0.1", "p0.9"):
            assert check("histogram", stat, image, f)
        assert check("histogram", "median", image, f, rng.random(image.shape) < 0.5)


@pytest.mark.parametrize("kind, shape, f", [
    ("u16", (160, 150), disk(2)),        # values far apart: the bitmap walk
    ("u16", (60, 70), disk(25)),         # crowded: the block walk
    ("spaced", (60, 70), disk(2)),       # gaps of every size, both walks
    ("spaced", (60, 70), disk(12)),
    ("spaced", (60, 70), disk(21)),      # many pairs: groups added up
    ("u16_12bit", (3, 6, 7), np.ones((41, 41, 41), bool)),  # 32-bit counters
    ("u8", (3, 6, 7), np.ones((41, 41, 41), bool)),
])
def test_walks_and_counter_widths(kind, shape, f):
    rng = np.random.default_rng(3)
    if kind == "spaced":  # gaps of every size between a few levels
        levels = np.r_[0, 1, rng.integers(0, 4096, 30), 40000, 65535].astype(np.uint16)
        image = rng.choice(levels, shape)
    else:
        image = image_of(rng, shape, kind)
    for mask in (None, rng.random(shape) < 0.5):
        assert check("histogram", "median", image, f, mask)
        assert check("histogram", "p0.9", image, f, mask)


@pytest.mark.parametrize("f", [np.ones((5, 5), bool), np.ones((3, 41), bool)])
def test_every_rank_within_a_group_of_bins(f):
    """Values within 64 bins, so every rank's answer is picked among the
    blocks and bins of one group: each rank from the lowest to the highest."""
    rng = np.random.default_rng(11)
    image = (1000 + rng.integers(0, 64, (30, 60))).astype(np.uint16)
    n = int(f.sum())
    for k in range(n):
        p = (k + 0.5) / n
        np.testing.assert_array_equal(codes("histogram", "median", image, f, p=p),
                                      codes("sort", "median", image, f, p=p), f"rank {k} of {n}")


def test_where_it_does_not_apply():
    image = np.zeros((5, 5), np.uint8)
    assert not check("histogram", "mean", image, disk(1))
    assert not check("histogram", "median", image, np.zeros((3, 3), bool))


@pytest.mark.parametrize("radius", [1, 2, 3, 4, 6, 10])
@pytest.mark.parametrize("kind", ["u8", "u16"])
def test_dispatcher_around_its_crossovers(radius, kind):
    rng = np.random.default_rng(radius)
    image = image_of(rng, (70, 80), kind)
    for stat in ("median", "max"):
        np.testing.assert_array_equal(engine(stat, image, disk(radius)),
                                      reference(stat, image, disk(radius)))


# ---------------------------------------------------------------------------
# uint32 codes below `bins` (the distinct values of other types, numbered)


def check_codes(stat, image, footprint, mask=None, shift=None, bins=0, workers=1):
    got = codes("histogram", stat, image, footprint, mask, shift, bins, workers)
    want = codes("sort", stat, image, footprint, mask, shift)
    np.testing.assert_array_equal(got, want, f"{stat} bins={bins} shift={shift}")


def code_image(rng, shape, bins, kind):
    size = int(np.prod(shape))
    if kind == "uniform":
        values = rng.integers(0, bins, size)
    elif kind == "distinct":  # every code at most once: the sparsest windows
        values = rng.choice(bins, size, replace=bins < size)
    else:  # the two ends of the range: the answer crosses every level
        values = rng.choice([0, 1, bins - 2, bins - 1], size)
    return values.astype(np.uint32).reshape(shape)


# 256 and 65536 bins or fewer take the 8- and 16-bit histograms; beyond,
# bitmaps of 3 to 5 levels.
@pytest.mark.parametrize("bins", [200, 5000, 65537, 300_000, (1 << 24) + 5])
@pytest.mark.parametrize("ndim, shape", [(2, (37, 45)), (3, (7, 9, 11))])
@pytest.mark.parametrize("kind", ["uniform", "distinct", "ends"])
@pytest.mark.parametrize("fp", ["disk", "large", "sparse", "hollow"])
def test_codes_equal_the_plain_method(bins, ndim, shape, kind, fp):
    rng = np.random.default_rng(zlib.crc32(repr((bins, ndim, kind, fp)).encode()))
    image = code_image(rng, shape, bins, kind)
    f = footprint(rng, fp, ndim)
    mask = rng.random(shape) < 0.6
    shift = tuple(int(rng.integers(-(e // 2), e - e // 2)) for e in f.shape)
    for stat in RANKS:
        check_codes(stat, image, f, None, None, bins)
    check_codes("median", image, f, mask, shift, bins)
    check_codes("p0.9", image, f, mask, None, bins, workers=2)


@pytest.mark.parametrize("shape", [(40, 45), (8, 9, 11)])
def test_codes_repeated_near_one_end(shape):
    """Distinct codes but for a few repeated in the last rows (planes), some
    twice in one window: the bands that meet them count, the others do
    not, and both agree with the plain method."""
    rng = np.random.default_rng(len(shape))
    image = code_image(rng, shape, 1 << 20, "distinct")
    image[-1].flat[:6] = image[-2].flat[3:9]
    f = footprint(rng, "disk", len(shape))
    mask = rng.random(shape) < 0.7
    for workers in (1, 2):
        for stat in ("median", "p0", "max"):
            check_codes(stat, image, f, None, None, 1 << 20, workers)
        check_codes("p0.29", image, f, mask, None, 1 << 20, workers)


@pytest.mark.parametrize("shape, fshape", [((1, 1), (9, 9)), ((3, 40), (11, 5)),
                                           ((2, 3, 4), (5, 5, 5))])
def test_codes_in_windows_larger_than_the_image(shape, fshape):
    rng = np.random.default_rng(fshape[0])
    image = code_image(rng, shape, 1 << 20, "uniform")
    f = rng.random(fshape) < 0.7
    for mask in (None, rng.random(shape) < 0.3, np.zeros(shape, bool)):
        check_codes("median", image, f, mask, None, 1 << 20)


def test_codes_where_it_does_not_apply():
    image = np.array([[0, 5], [7, 70000]], np.uint32)
    assert codes("histogram", "median", image, disk(1), bins=70001) is not None
    assert codes("histogram", "median", image, disk(1), bins=0) is None  # keys
    for method in ("auto", "histogram", "sort"):  # a stray code: refused, whatever runs
        with pytest.raises(ValueError, match="codes below bins"):
            codes(method, "median", image, disk(1), bins=70000)


@pytest.mark.parametrize("f", [disk(1), np.ones((3, 3), bool), disk(2), np.ones((9, 1), bool),
                               np.ones((1, 9), bool)])
def test_codes_dispatcher_around_its_crossovers(f):
    image = code_image(np.random.default_rng(1), (60, 70), 1 << 20, "distinct")
    np.testing.assert_array_equal(codes("auto", "median", image, f, bins=1 << 20),
                                  codes("sort", "median", image, f))
