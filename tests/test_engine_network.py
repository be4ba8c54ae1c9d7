"""The network method (selection networks over vectors of pixels) against
the core's C-API: the specialised footprints and the interpreted ones, at
every rank, across the border paths (rows cut at the top and bottom,
columns at the sides, images narrower than a vector or smaller than the
footprint), and the dispatcher's choice of it."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from engine_cases import assert_same, ball, cases, check, disk, image_of, raw_engine
from morvane.filters.rank import _filters
from morvane.filters.rank._testing import filters as _testing
from test_engine import LAYOUTS

RANKS = ["p0", "p0.1", "p0.29", "median", "p0.9", "p1"]

FOOTPRINTS = {
    # specialised
    "square3": np.ones((3, 3), bool),
    "square5": np.ones((5, 5), bool),
    "disk1": disk(1),
    "disk2": disk(2),
    "ball1": ball(1),
    "plane3x3": np.ones((1, 3, 3), bool),
    # interpreted
    "rect2x4": np.ones((2, 4), bool),
    "square7": np.ones((7, 7), bool),
    "disk3": disk(3),
    "ring": disk(3) & ~np.pad(disk(1), 2),
    "ball2": ball(2),
    "sparse3d": np.random.default_rng(7).random((3, 4, 5)) < 0.5,
}


@pytest.mark.parametrize("kind", ["u8", "u16"])
@pytest.mark.parametrize("name", sorted(FOOTPRINTS))
def test_every_rank(name, kind):
    footprint = FOOTPRINTS[name]
    # Wide and tall enough for vectors, strips of rows and border rows.
    shape = (70, 45) if footprint.ndim == 2 else (8, 40, 37)
    image = image_of(np.random.default_rng(len(name)), shape, kind)
    for stat in RANKS:
        assert check("network", stat, image, footprint)


@pytest.mark.parametrize("name", sorted(FOOTPRINTS))
def test_32_bit_keys_against_the_plain_method(name):
    """uint32 keys across the whole range (the top bit decides the order of
    float and signed keys), specialised and interpreted footprints."""
    footprint = FOOTPRINTS[name]
    shape = (50, 45) if footprint.ndim == 2 else (6, 30, 37)
    rng = np.random.default_rng(len(name) + 32)
    image = rng.choice(np.array([0, 1, 2**31 - 1, 2**31, 2**31 + 1, 2**32 - 1], np.uint32), shape)
    image[::3] = rng.integers(0, 2**32, image[::3].shape, dtype=np.uint32)
    for stat in RANKS:
        got = raw_engine("network", stat, image, footprint)
        assert got is not None, name
        np.testing.assert_array_equal(got, raw_engine("sort", stat, image, footprint), stat)


@pytest.mark.parametrize("kind", ["u8", "u16"])
@pytest.mark.parametrize("name", ["square3", "square5", "disk1", "disk2", "ball1"])
def test_each_rank_of_the_specialised_footprints(name, kind):
    """Each rank has a kernel of its own."""
    footprint = FOOTPRINTS[name]
    m = int(footprint.sum())
    shape = (40, 45) if footprint.ndim == 2 else (5, 20, 40)
    image = image_of(np.random.default_rng(m), shape, kind)
    for rank in range(m):
        p = (rank + 0.5) / m
        want = _testing.core_filter(_filters.PERCENTILE, image, footprint, None, None, None, 1, p)
        got = _testing.engine_filter(_filters.PERCENTILE, image, footprint, None, None, None, 1, p,
                           _method="network")
        assert_same(got, want, f"{name} rank {rank}")


@pytest.mark.parametrize("width", [66, 131, 1080, 1100])
@pytest.mark.parametrize("kind", ["u8", "u16", "u32"])
@pytest.mark.parametrize("name", ["square3", "square5", "disk1", "disk2", "ball1"])
def test_specialised_kernels_on_wide_rows(name, kind, width):
    """Rows of one to a few 64-byte vectors of windows and of more than a
    chunk of columns (the kernels of the widest registers, the last chunk
    joined to the one before or not), each rank against the sort method."""
    footprint = FOOTPRINTS[name]
    rng = np.random.default_rng(width)
    shape = (11, width) if footprint.ndim == 2 else (4, 7, width)
    if kind == "u32":
        image = rng.integers(0, 2**32, shape, dtype=np.uint32)
    else:
        image = image_of(rng, shape, kind)
    m = int(footprint.sum())
    for rank in range(m):
        p = (rank + 0.5) / m
        got = raw_engine("network", "median", image, footprint, p=p)
        want = raw_engine("sort", "median", image, footprint, p=p)
        np.testing.assert_array_equal(got, want, f"rank {rank}")


@pytest.mark.parametrize("kind", ["u8", "u16", "u32"])
@pytest.mark.parametrize("name, shift, shape", [
    ("square3", None, (40, 150)), ("disk1", (1, 0), (9, 70)), ("disk2", (0, 2), (33, 131)),
    ("square5", (-2, 0), (12, 66)), ("ball1", None, (5, 9, 80)), ("square3", (0, 0), (3, 5)),
])
def test_minimum_and_maximum(name, shift, shape, kind):
    """The extreme ranks of the counted members (the specialised footprints
    only), as the sort method gives them."""
    rng = np.random.default_rng(len(shape) + shape[-1])
    if kind == "u32":
        image = rng.integers(0, 2**32, shape, dtype=np.uint32)
    else:
        image = image_of(rng, shape, kind)
    footprint = FOOTPRINTS[name]
    for stat in ("min", "max"):
        got = raw_engine("network", stat, image, footprint, shift=shift)
        if got is None:  # no specialised kernel on this instruction set or for 32-bit balls
            assert _filters.ISA not in ("avx2", "avx512") or (kind, name) == ("u32", "ball1")
            continue
        np.testing.assert_array_equal(got, raw_engine("sort", stat, image, footprint, shift=shift),
                                      stat)


@pytest.mark.parametrize("view", ["every_other", "reversed"])
@pytest.mark.parametrize("name", ["square3", "disk2", "square7", "ball1"])
def test_outputs_with_strides(name, view):
    footprint = FOOTPRINTS[name]
    shape = (40, 70) if footprint.ndim == 2 else (4, 36, 40)
    image = image_of(np.random.default_rng(4), shape, "u16")
    base = np.zeros(shape[:-1] + (2 * shape[-1],), np.uint16)
    out = base[..., ::2] if view == "every_other" else base[..., shape[-1]:][..., ::-1]
    got = _testing.engine_filter(_filters.PERCENTILE, image, footprint, None, None, out, 1, 0.5,
                       _method="network")
    assert got is out
    assert_same(out, _run(image, footprint, "sort"), view)


SMALL_2D = [(1, 1), (1, 60), (60, 1), (2, 3), (3, 70), (40, 20), (35, 34)]
SMALL_3D = [(1, 1, 1), (2, 3, 40), (5, 4, 3), (3, 20, 1)]


@pytest.mark.parametrize("name, shift, shape", [
    (name, shift, shape)
    for name, shift in [("square3", (1, -1)), ("square5", (-2, 2)), ("disk2", (0, 1)),
                        ("square7", (3, -3)), ("ball1", (-1, 1, 0)), ("sparse3d", (1, -2, 2))]
    for shape in (SMALL_2D if len(shift) == 2 else SMALL_3D)], ids=str)
def test_small_images_and_shifts(name, shift, shape):
    footprint = FOOTPRINTS[name]
    rng = np.random.default_rng(sum(shape))
    for kind in ("u8", "u16few"):
        image = image_of(rng, shape, kind)
        for stat in ("p0", "median", "p0.9"):
            assert check("network", stat, image, footprint, shift=shift)


def _one_sided(ndim, axis, offset):
    """A footprint whose members all lie `offset` entries to one side of
    its centre along `axis` (windows may miss the image entirely)."""
    shape = [3] * ndim
    shape[axis] = 2 * abs(offset) + 1
    footprint = np.zeros(shape, bool)
    index = [slice(None)] * ndim
    index[axis] = abs(offset) + offset
    footprint[tuple(index)] = True
    return footprint


@pytest.mark.parametrize("ndim, axis, offset", [(2, 1, 2), (2, 1, -3), (2, 0, 2), (3, 0, -2),
                                                (3, 0, 3), (3, 2, 2)])
def test_footprints_off_centre(ndim, axis, offset):
    footprint = _one_sided(ndim, axis, offset)
    shapes = [(50, 70), (3, 40)] if ndim == 2 else [(3, 22, 67), (9, 40, 36)]
    for shape in shapes:
        image = image_of(np.random.default_rng(len(shape)), shape, "u16")
        for stat in ("p0", "median", "p1"):
            assert check("network", stat, image, footprint)


@pytest.mark.parametrize("workers", [2, 3])
@pytest.mark.parametrize("name", ["square3", "disk2", "square7", "ball1"])
def test_bands(name, workers):
    footprint = FOOTPRINTS[name]
    shape = (101, 67) if footprint.ndim == 2 else (11, 36, 40)
    image = image_of(np.random.default_rng(workers), shape, "u16_12bit")
    assert check("network", "median", image, footprint, workers=workers)


@pytest.mark.parametrize("kind", ["u8", "u16"])
@pytest.mark.parametrize("name", ["square3", "square7", "disk3"])
def test_blocks_of_wide_rows(name, kind):
    """Rows so wide that the interior rows and their border columns run in
    blocks of a few rows each (specialised, pair and single-row plans)."""
    image = image_of(np.random.default_rng(11), (130, 8300), kind)
    got = raw_engine("network", "median", image, FOOTPRINTS[name])
    np.testing.assert_array_equal(got, raw_engine("sort", "median", image, FOOTPRINTS[name]))


def _at_page_offset(shape, dtype, offset):
    """An array whose data start `offset` bytes into a 4 KiB page."""
    size = int(np.prod(shape)) * np.dtype(dtype).itemsize
    raw = np.zeros(size + 8192, np.uint8)
    start = (-raw.ctypes.data) % 4096 + offset
    return raw[start:start + size].view(dtype).reshape(shape)


@pytest.mark.parametrize("offset", [0, 16, 64, 4032, 2064])
@pytest.mark.parametrize("kind, width", [("u8", 1024), ("u16", 1024), ("u32", 1024), ("u16", 77)])
@pytest.mark.parametrize("name", ["square3", "disk2", "ball1"])
def test_outputs_near_the_image_modulo_4k(name, kind, width, offset):
    """Outputs just ahead of or behind the image's rows modulo 4 KiB (the
    columns walked from the right or the left): the same as the sort."""
    rng = np.random.default_rng(offset + width)
    dtype = {"u8": np.uint8, "u16": np.uint16, "u32": np.uint32}[kind]
    footprint = FOOTPRINTS[name]
    image = _at_page_offset((19, width) if footprint.ndim == 2 else (4, 9, width), dtype, 0)
    image[...] = rng.integers(0, np.iinfo(dtype).max, image.shape, dtype=np.int64, endpoint=True)
    for p in (0.0, 0.3, 0.5, 1.0):
        out = _at_page_offset(image.shape, dtype, offset)
        _filters.engine(0, image, footprint.astype(np.uint8), None, out, (0,) * image.ndim, p, 1,
                        "network", 0, None, 0)
        np.testing.assert_array_equal(out, raw_engine("sort", "median", image, footprint, p=p), p)


@pytest.mark.parametrize("layout", ["reversed", "negative_rows", "pitch_4096", "every_other"])
def test_layouts(layout):
    rng = np.random.default_rng(3)
    image = image_of(rng, (50, 70), "u8")
    for footprint in (FOOTPRINTS["square3"], FOOTPRINTS["disk3"]):
        got = _run(LAYOUTS[layout](image), footprint, "network")
        assert np.array_equal(got, _run(image, footprint, "sort"))


SETTINGS = settings(max_examples=80, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(case=cases(max_extent=9, max_side=80), stat=st.sampled_from(RANKS))
def test_random_footprints(case, stat):
    image, footprint, _, shift = case
    if footprint.any():
        check("network", stat, image, footprint, shift=shift)


def _first(count, shape):
    footprint = np.zeros(shape[0] * shape[1], bool)
    footprint[:count] = True
    return footprint.reshape(shape)


@pytest.mark.parametrize("members, applies", [(128, True), (129, False)])
def test_largest_footprint(members, applies):
    image = image_of(np.random.default_rng(1), (40, 50), "u8")
    assert check("network", "median", image, _first(members, (12, 11))) == applies


def _engine(image, footprint, method, mask=None):
    """(median, name of the method that ran)."""
    out = np.empty_like(image)
    name = _filters.engine(0, image, footprint.astype(np.uint8), mask, out,
                           (0,) * image.ndim, 0.5, 1, method)
    return out, name


def _run(image, footprint, method):
    return _engine(image, footprint, method)[0]


def _chosen(image, footprint, mask=None):
    return _engine(image, footprint, "auto", mask)[1]


def test_dispatcher_choice():
    image = image_of(np.random.default_rng(2), (1024, 1024), "u8")
    assert _chosen(image, FOOTPRINTS["square3"]) == "network"
    # Building programs costs more than gathering a few windows.
    assert _chosen(image[:4, :4], FOOTPRINTS["square3"]) != "network"
    assert _chosen(image, np.ones((13, 13), bool)) != "network"
    mask = np.ones(image.shape, np.uint8)
    assert _chosen(image, FOOTPRINTS["square3"], mask) != "network"
