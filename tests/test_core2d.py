"""Tests of the 2D driver `_core`, through the two test clients.

Every result is compared with the brute-force reference in reference.py (or
with SciPy where the border rules agree), never with numbers produced by the
driver itself.  The probe kernel writes what it is handed: call index,
population, centre value, bin_count, middle_bin, the four parameters and
whether the interpreter lock was held.
"""

import re
import subprocess
import sys
import traceback

import hypothesis
import hypothesis.extra.numpy as hnp
import hypothesis.strategies as st
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided
from scipy import ndimage

from helpers import (
    run_optimised,
    FP_ELEMENTS,
    IN_DTYPES,
    KERNEL_CASES,
    OUT_DTYPES,
    P_BINS,
    P_CENTRE,
    P_F0,
    P_F1,
    P_GIL,
    P_I0,
    P_I1,
    P_INDEX,
    P_MIDDLE,
    P_POP,
    PROBE_DEPTH,
    SENTINEL_BYTE,
    STRIDED_WHICH,
    VALUE_CASE_IDS,
    VALUE_CASES,
    dtype_name,
    fixed_random,
    is_cpp,
    random_mask,
    sentinel_buffer,
    sentinel_value,
    stat_case,
    valid_shifts,
)
from reference import (
    c_convert,
    call_index_map,
    hist_max,
    hist_mean,
    population,
    window_histograms,
    window_population,
)

CORE_NAME = "morvane.filters.rank.slidewin._core"
CORE_FILE = "slidewin"


# --------------------------------------------------------------------------
# Footprints and shifts

def _ring(n, hole):
    fp = np.ones((n, n), np.uint8)
    lo = (n - hole) // 2
    fp[lo:lo + hole, lo:lo + hole] = 0
    return fp


FOOTPRINTS = {
    "full3x3": np.ones((3, 3), np.uint8),
    "cross3x3": np.array([[0, 1, 0], [1, 1, 1], [0, 1, 0]], np.uint8),
    "ring3x3": _ring(3, 1),
    "ring5x5": _ring(5, 3),
    "single": np.ones((1, 1), np.uint8),
    "zero3x3": np.zeros((3, 3), np.uint8),
    "full4x4": np.ones((4, 4), np.uint8),
    "full2x3": np.ones((2, 3), np.uint8),
    "row1x5": np.ones((1, 5), np.uint8),
    "col4x1": np.ones((4, 1), np.uint8),
    "diag4x4": np.eye(4, dtype=np.uint8),
    "antidiag3x5": np.fliplr(np.eye(3, 5, dtype=np.uint8)).copy(),
    "random5x6": fixed_random((5, 6), 0.5, 11),
    "random4x7": fixed_random((4, 7), 0.4, 12),
    # Larger than the 9 x 11 image used with them.
    "full13x15": np.ones((13, 15), np.uint8),
    "random12x14": fixed_random((12, 14), 0.3, 13),
}


def shift_cases(name, limit=16, seed=0):
    """(name, shift_y, shift_x): all valid pairs for small footprints, the
    four corners, zero and a few random pairs for large ones."""
    srows, scols = FOOTPRINTS[name].shape
    ys, xs = valid_shifts(srows), valid_shifts(scols)
    pairs = [(y, x) for y in ys for x in xs]
    if len(pairs) > limit:
        rng = np.random.default_rng(seed)
        chosen = {(ys[0], xs[0]), (ys[0], xs[-1]), (ys[-1], xs[0]),
                  (ys[-1], xs[-1]), (0, 0)}
        while len(chosen) < limit - 3:
            chosen.add(pairs[rng.integers(len(pairs))])
        pairs = sorted(chosen)
    return [(name, y, x) for y, x in pairs]


ALL_SHIFT_CASES = [case for name in FOOTPRINTS for case in shift_cases(name)]


# --------------------------------------------------------------------------
# Array layouts

# Layouts both clients accept: C order (the Cython declarations ask for
# C-contiguous views).
LAYOUTS_2D_ALL = ["contiguous"]
# Layouts only the C++ client can hand over.
LAYOUTS_2D_CPP = ["row_padded", "col_step", "reversed", "transposed",
                  "zero_row_stride"]


def place_2d(values, layout, junk):
    """An array with the contents of `values` laid out as `layout`.

    `junk` is an array of the same dtype from which padding is taken, so a
    driver that reads outside the view sees wrong but harmless values."""
    values = np.asarray(values)
    rows, cols = values.shape
    if layout == "contiguous":
        return np.ascontiguousarray(values)
    if layout == "row_padded":
        big = np.resize(junk, (rows, cols + 3)).copy()
        view = big[:, :cols]
        view[...] = values
        return view
    if layout == "col_step":
        big = np.resize(junk, (rows, 2 * cols + 1)).copy()
        view = big[:, 1::2][:, :cols]
        view[...] = values
        return view
    if layout == "reversed":
        holder = np.ascontiguousarray(values[::-1, ::-1])
        return holder[::-1, ::-1]
    if layout == "transposed":
        return np.asfortranarray(values)
    if layout == "zero_row_stride":
        # Only meaningful when every row is the same; callers make sure.
        assert (values == values[:1]).all()
        row = np.ascontiguousarray(values[0])
        return as_strided(row, shape=values.shape,
                          strides=(0, row.strides[0]))
    raise ValueError(layout)


OUT_LAYOUTS_ALL = ["contiguous"]
OUT_LAYOUTS_CPP = ["row_padded", "rows_reversed", "pixels_transposed", "col_step",
                   "depth_strided"]


class Out:
    """An output array prefilled with a sentinel byte pattern, laid out as
    asked, that remembers its base buffer so writes outside the view can be
    detected."""

    def __init__(self, shape, dtype, layout="contiguous"):
        rows, cols, depth = shape
        if layout == "contiguous":
            self.base = sentinel_buffer(shape, dtype)
            self._slice = lambda b: b
        elif layout == "row_padded":
            self.base = sentinel_buffer((rows, cols + 2, depth), dtype)
            self._slice = lambda b: b[:, :cols, :]
        elif layout == "rows_reversed":
            self.base = sentinel_buffer(shape, dtype)
            self._slice = lambda b: b[::-1]
        elif layout == "pixels_transposed":
            self.base = sentinel_buffer((cols, rows, depth), dtype)
            self._slice = lambda b: b.transpose(1, 0, 2)
        elif layout == "col_step":
            self.base = sentinel_buffer((rows, 2 * cols, depth), dtype)
            self._slice = lambda b: b[:, ::2, :]
        elif layout == "depth_strided":
            # A non-contiguous depth axis is allowed when it has one element.
            if depth != 1:
                raise ValueError("depth_strided needs depth 1")
            self.base = sentinel_buffer((rows, cols, 3), dtype)
            self._slice = lambda b: b[:, :, 1::5]
        else:
            raise ValueError(layout)
        self.array = self._slice(self.base)
        assert self.array.shape == tuple(shape)

    def assert_outside_untouched(self):
        check = self.base.copy()
        self._slice(check)[...] = sentinel_value(check.dtype)
        assert check.tobytes() == bytes([SENTINEL_BYTE]) * check.nbytes, \
            "bytes outside the output view were written"


def new_out(shape, dtype=np.float64, layout="contiguous"):
    return Out(shape, dtype, layout)


def call_core(client, kernel, image, footprint, mask, out, *, shift_x=0,
              shift_y=0, fparam0=0.0, fparam1=0.0, iparam0=0, iparam1=0,
              bin_count=256):
    client.core(kernel, image, footprint, mask, out, shift_x=shift_x,
                shift_y=shift_y, fparam0=fparam0, fparam1=fparam1,
                iparam0=iparam0, iparam1=iparam1, bin_count=bin_count)


def run(client, kernel, image, footprint, mask=None, *, depth=1,
        out_dtype=np.float64, **kwargs):
    image = np.asarray(image)
    out = new_out(image.shape + (depth,), out_dtype).array
    call_core(client, kernel, image, footprint, mask, out, **kwargs)
    return out


def assert_pixels_equal(actual, expected, what=""):
    """Per-pixel comparison of (rows, cols, ...) arrays that names the first
    pixels that differ."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    if actual.ndim > 2:
        bad = (actual != expected).reshape(actual.shape[:2] + (-1,)).any(-1)
    else:
        bad = actual != expected
    if bad.any():
        where = [tuple(int(i) for i in p) for p in np.argwhere(bad)[:5]]
        y, x = where[0]
        raise AssertionError(
            "%s: %d pixel(s) differ, first %s; at %s got %r expected %r"
            % (what or "mismatch", int(bad.sum()), where, (y, x),
               actual[y, x], expected[y, x]))


def random_image(rng, shape, dtype=np.uint8, top=255):
    return rng.integers(0, top + 1, size=shape).astype(dtype)


def check_hist(client, image, footprint, mask=None, *, shift_x=0, shift_y=0,
               bin_count=256, out_dtype=np.float64):
    out = run(client, "hist", image, footprint, mask, depth=bin_count,
              out_dtype=out_dtype, shift_x=shift_x, shift_y=shift_y,
              bin_count=bin_count)
    expected = window_histograms(np.asarray(image), np.asarray(footprint),
                                 None if mask is None else np.asarray(mask),
                                 shift_x, shift_y, bin_count)
    assert_pixels_equal(out, c_convert(expected, out_dtype), "histogram")
    return expected


# --------------------------------------------------------------------------
# Histograms: footprints and shifts

@pytest.mark.parametrize("name,shift_y,shift_x", ALL_SHIFT_CASES)
def test_hist_footprints_and_shifts(client, name, shift_y, shift_x):
    rng = np.random.default_rng(100)
    image = random_image(rng, (9, 11))
    check_hist(client, image, FOOTPRINTS[name], shift_x=shift_x,
               shift_y=shift_y)


@pytest.mark.parametrize("mask_kind", ["none", "ones", "zeros", "random",
                                       "checker", "one_pixel"])
@pytest.mark.parametrize("name,shift_y,shift_x", [
    ("full3x3", 0, 0), ("full3x3", 1, -1), ("ring5x5", -2, 2),
    ("full4x4", -2, 1), ("random5x6", 1, -3), ("random12x14", 3, -4),
])
def test_hist_masks(client, mask_kind, name, shift_y, shift_x):
    rng = np.random.default_rng(101)
    shape = (9, 11)
    image = random_image(rng, shape)
    mask = {
        "none": None,
        "ones": np.ones(shape, np.uint8),
        "zeros": np.zeros(shape, np.uint8),
        "random": random_mask(rng, shape),
        "checker": (np.indices(shape).sum(0) % 2).astype(np.uint8) * 3,
        "one_pixel": np.zeros(shape, np.uint8),
    }[mask_kind]
    if mask_kind == "one_pixel":
        mask[4, 5] = 1
    check_hist(client, image, FOOTPRINTS[name], mask, shift_x=shift_x,
               shift_y=shift_y)


@pytest.mark.parametrize("out_dtype", OUT_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
def test_hist_element_types(client, in_dtype, out_dtype):
    rng = np.random.default_rng(102)
    shape = (10, 12)
    if in_dtype is np.uint16:
        # Values above 255 must land in their own bins.
        top, bin_count = 999, 1000
    else:
        top, bin_count = 255, 256
    image = random_image(rng, shape, in_dtype, top)
    image[0, 0] = top
    check_hist(client, image, FOOTPRINTS["ring5x5"], random_mask(rng, shape),
               shift_x=-2, shift_y=1, bin_count=bin_count,
               out_dtype=out_dtype)


IMAGE_SHAPES = [(1, 1), (1, 2), (2, 1), (1, 9), (9, 1), (2, 2), (3, 3), (2, 17),
                (17, 2), (4, 5), (20, 20)]
SHAPE_FOOTPRINTS = ["full3x3", "full4x4", "single", "ring5x5", "random12x14"]


def check_image_shape(client, shape, name, layout):
    rng = np.random.default_rng(103)
    image = place_2d(random_image(rng, shape), layout,
                     random_image(rng, (5,)))
    mask = random_mask(rng, shape) if sum(shape) % 2 else None
    fp = FOOTPRINTS[name]
    shift_y = valid_shifts(fp.shape[0])[-1]
    shift_x = valid_shifts(fp.shape[1])[0]
    check_hist(client, image, fp, mask, shift_x=shift_x, shift_y=shift_y)


@pytest.mark.parametrize("shape", IMAGE_SHAPES, ids=str)
@pytest.mark.parametrize("name", SHAPE_FOOTPRINTS)
def test_hist_image_shapes(client, shape, name):
    check_image_shape(client, shape, name, "contiguous")


@pytest.mark.parametrize("shape", IMAGE_SHAPES, ids=str)
@pytest.mark.parametrize("name", SHAPE_FOOTPRINTS)
def test_hist_image_shapes_row_stride_larger_than_row(cpp_client, shape, name):
    check_image_shape(cpp_client, shape, name, "row_padded")


@pytest.mark.parametrize("bin_count", [7, 256, 300])
def test_hist_out_depth_other_than_bin_count(client, bin_count):
    """out_depth is the output's third extent, whatever bin_count is."""
    rng = np.random.default_rng(104)
    image = random_image(rng, (6, 7), top=min(bin_count, 256) - 1)
    fp = FOOTPRINTS["cross3x3"]
    expected = window_histograms(image, fp, bin_count=bin_count)

    wide = new_out((6, 7, bin_count + 3))
    call_core(client, "hist", image, fp, None, wide.array, bin_count=bin_count)
    assert_pixels_equal(wide.array[:, :, :bin_count], expected)
    trailing = np.ascontiguousarray(wide.array[:, :, bin_count:])
    assert (trailing.view(np.uint8) == SENTINEL_BYTE).all()

    narrow = new_out((6, 7, 5))
    call_core(client, "hist", image, fp, None, narrow.array,
              bin_count=bin_count)
    assert_pixels_equal(narrow.array, expected[:, :, :5])


# --------------------------------------------------------------------------
# Footprint entries: every non-zero byte is a member

@pytest.mark.parametrize("variant", ["twos_uint8", "all_ff_uint8",
                                     "minus_one_int8", "mixed_int8", "bool"])
@pytest.mark.parametrize("name,shift_y,shift_x", [
    ("full3x3", 0, 0), ("cross3x3", 1, -1), ("ring5x5", 0, 2),
    ("random5x6", -2, 2), ("random4x7", 1, -3), ("diag4x4", -1, 1),
])
def test_nonzero_footprint_entries_are_members(client, variant, name,
                                               shift_y, shift_x):
    rng = np.random.default_rng(105)
    support = FOOTPRINTS[name]
    if variant == "twos_uint8":
        fp = (support * 2).astype(np.uint8)
    elif variant == "all_ff_uint8":
        fp = (support * 255).astype(np.uint8)
    elif variant == "minus_one_int8":
        fp = (support.astype(np.int8) * -1).astype(np.int8)
    elif variant == "mixed_int8":
        values = rng.choice(np.array([1, 2, 3, 127, -1, -2, -128], np.int8),
                            size=support.shape)
        fp = np.where(support != 0, values, 0).astype(np.int8)
    else:
        fp = support != 0
    image = random_image(rng, (8, 9))
    mask = random_mask(rng, image.shape)
    expected = window_histograms(image, support, mask, shift_x, shift_y)
    got = run(client, "hist", image, fp, mask, depth=256, shift_x=shift_x,
              shift_y=shift_y)
    assert_pixels_equal(got, expected, "histogram with %s footprint" % variant)


# --------------------------------------------------------------------------
# Strides of every array

# Which layout of `out` goes with each input layout when out is strided too.
_OUT_LAYOUT_FOR = {"row_padded": "row_padded", "col_step": "col_step",
                   "reversed": "rows_reversed",
                   "transposed": "pixels_transposed"}


def check_strided(client, which, layout):
    """`which` array(s) laid out as `layout`, the others contiguous; the
    histograms must be the reference's for the logical contents."""
    rng = np.random.default_rng(106)
    shape = (7, 10)
    fp_values = FOOTPRINTS["random4x7"]
    if layout == "zero_row_stride":
        image_values = np.tile(random_image(rng, (1, shape[1])), (shape[0], 1))
        mask_values = np.tile(random_mask(rng, (1, shape[1])), (shape[0], 1))
    else:
        image_values = random_image(rng, shape)
        mask_values = random_mask(rng, shape)

    def lay(kind, values, junk):
        if which in (kind, "all"):
            return place_2d(values, layout, junk)
        return np.ascontiguousarray(values)

    image = lay("image", image_values, random_image(rng, (13,)))
    footprint = lay("footprint", fp_values, np.ones(5, np.uint8))
    mask = lay("mask", mask_values, rng.integers(0, 2, 9).astype(np.uint8))
    out_layout = "contiguous"
    if which in ("out", "all"):
        out_layout = _OUT_LAYOUT_FOR[layout]
    out = new_out(shape + (256,), np.float64, out_layout)

    image_before, fp_before, mask_before = (np.array(a) for a in
                                            (image, footprint, mask))
    call_core(client, "hist", image, footprint, mask, out.array, shift_x=2,
              shift_y=-1)
    expected = window_histograms(image_values, fp_values, mask_values, 2, -1)
    assert_pixels_equal(out.array, expected)
    out.assert_outside_untouched()
    # The driver only reads its inputs.
    np.testing.assert_array_equal(image, image_before)
    np.testing.assert_array_equal(footprint, fp_before)
    np.testing.assert_array_equal(mask, mask_before)


@pytest.mark.parametrize("which", STRIDED_WHICH)
def test_row_stride_larger_than_row(cpp_client, which):
    check_strided(cpp_client, which, "row_padded")


@pytest.mark.parametrize("which,layout", [
    (which, layout)
    for layout in ["col_step", "reversed", "transposed"]
    for which in STRIDED_WHICH
] + [("image", "zero_row_stride"), ("mask", "zero_row_stride")])
def test_any_strides(cpp_client, which, layout):
    check_strided(cpp_client, which, layout)


def check_out_layout_depth_one(client, layout):
    rng = np.random.default_rng(107)
    image = random_image(rng, (6, 8))
    fp = FOOTPRINTS["ring3x3"]
    out = new_out((6, 8, 1), np.float64, layout)
    call_core(client, "mean", image, fp, None, out.array)
    expected = hist_mean(window_histograms(image, fp))
    assert_pixels_equal(out.array[:, :, 0], expected)
    out.assert_outside_untouched()


@pytest.mark.parametrize("layout", OUT_LAYOUTS_ALL)
def test_out_layouts_depth_one(client, layout):
    check_out_layout_depth_one(client, layout)


@pytest.mark.parametrize("layout", OUT_LAYOUTS_CPP)
def test_out_any_strides_depth_one(cpp_client, layout):
    """With one value per pixel the depth axis may have any stride."""
    check_out_layout_depth_one(cpp_client, layout)


def test_out_larger_than_image(client):
    """Only the image's pixels get kernel calls; the rest of out is left."""
    rng = np.random.default_rng(108)
    image = random_image(rng, (5, 6))
    fp = FOOTPRINTS["full3x3"]
    out = new_out((7, 9, PROBE_DEPTH))
    call_core(client, "probe", image, fp, None, out.array)
    got = out.array[:5, :6]
    assert_pixels_equal(got[:, :, P_INDEX], call_index_map(5, 6))
    assert_pixels_equal(got[:, :, P_POP], window_population(image.shape, fp))
    rest = np.ones((7, 9), bool)
    rest[:5, :6] = False
    assert (out.array[rest].view(np.uint8) == SENTINEL_BYTE).all()


# --------------------------------------------------------------------------
# Order of kernel calls and what each call is handed

@pytest.mark.parametrize("shape", [(1, 1), (1, 6), (6, 1), (2, 2), (2, 5),
                                   (3, 3), (4, 5), (5, 4), (7, 2), (9, 11)],
                         ids=str)
def test_calls_follow_serpentine_order(client, shape):
    rng = np.random.default_rng(109)
    image = random_image(rng, shape)
    out = run(client, "probe", image, FOOTPRINTS["cross3x3"],
              depth=PROBE_DEPTH)
    assert_pixels_equal(out[:, :, P_INDEX], call_index_map(*shape),
                        "call index")


def test_call_order_of_a_3x3_image(client):
    image = np.arange(9, dtype=np.uint8).reshape(3, 3)
    out = run(client, "probe", image, FOOTPRINTS["full3x3"], depth=PROBE_DEPTH)
    visited = [(int(y), int(x)) for y, x in
               (np.argwhere(out[:, :, P_INDEX] == i)[0] for i in range(9))]
    assert visited == [(0, 0), (0, 1), (0, 2), (1, 2), (1, 1), (1, 0),
                       (2, 0), (2, 1), (2, 2)]


@pytest.mark.parametrize("in_dtype,bin_count,middle", [
    (np.uint8, 1, 0), (np.uint8, 2, 1), (np.uint8, 7, 3), (np.uint8, 255, 127),
    (np.uint8, 256, 128), (np.uint8, 300, 150), (np.uint16, 1000, 500),
    (np.uint16, 65536, 32768),
], ids=lambda v: dtype_name(v) if isinstance(v, type) else str(v))
def test_probe_slots(client, in_dtype, bin_count, middle):
    rng = np.random.default_rng(110)
    shape = (7, 9)
    top = min(bin_count - 1, np.iinfo(in_dtype).max)
    image = random_image(rng, shape, in_dtype, top)
    image[3, 4] = top
    mask = random_mask(rng, shape)
    fp = FOOTPRINTS["random5x6"]
    params = dict(fparam0=0.25, fparam1=-2.5e300, iparam0=-(2 ** 53),
                  iparam1=2 ** 53 - 1)
    out = run(client, "probe", image, fp, mask, depth=PROBE_DEPTH,
              shift_x=-1, shift_y=1, bin_count=bin_count, **params)
    expected_pop = window_population(shape, fp, mask, -1, 1)
    assert_pixels_equal(out[:, :, P_POP], expected_pop, "population")
    assert_pixels_equal(out[:, :, P_CENTRE], image, "centre_value")
    assert (out[:, :, P_BINS] == bin_count).all()
    assert (out[:, :, P_MIDDLE] == middle).all()
    assert (out[:, :, P_F0] == params["fparam0"]).all()
    assert (out[:, :, P_F1] == params["fparam1"]).all()
    assert (out[:, :, P_I0] == float(params["iparam0"])).all()
    assert (out[:, :, P_I1] == float(params["iparam1"])).all()
    # The 2D scan runs with the interpreter lock released.
    assert (out[:, :, P_GIL] == 0).all()


@pytest.mark.parametrize("shift", [-128, 127])
def test_extreme_shifts_in_range(client, shift):
    """Shifts are signed chars; a 256 x 256 footprint accepts both ends."""
    fp = np.zeros((256, 256), np.uint8)
    fp[128 + shift, 128 + shift] = 1
    image = np.arange(12, dtype=np.uint8).reshape(3, 4)
    got = run(client, "hist", image, fp, depth=256, shift_x=shift,
              shift_y=shift)
    # The only member is the centre itself: each pixel counts itself.
    assert_pixels_equal(got, window_histograms(image, fp, None, shift, shift))
    assert_pixels_equal(hist_max(got.astype(np.int64)), image)


def test_population_with_shifted_full_footprint(client):
    """3x3 of ones with shift_x = 1 covers columns x-2..x: at (0, 0) only
    (0, 0) and (1, 0) are in the image."""
    image = np.zeros((4, 5), np.uint8)
    out = run(client, "probe", image, FOOTPRINTS["full3x3"], depth=PROBE_DEPTH,
              shift_x=1)
    assert out[0, 0, P_POP] == 2.0
    assert_pixels_equal(out[:, :, P_POP],
                        window_population(image.shape, FOOTPRINTS["full3x3"],
                                          shift_x=1))


def test_all_zero_mask_still_calls_every_pixel(client):
    rng = np.random.default_rng(111)
    image = random_image(rng, (5, 7))
    mask = np.zeros(image.shape, np.uint8)
    out = run(client, "probe", image, FOOTPRINTS["full3x3"], mask,
              depth=PROBE_DEPTH)
    assert_pixels_equal(out[:, :, P_INDEX], call_index_map(5, 7))
    assert (out[:, :, P_POP] == 0).all()
    assert_pixels_equal(out[:, :, P_CENTRE], image)
    hist = run(client, "hist", image, FOOTPRINTS["full3x3"], mask, depth=256)
    assert (hist == 0).all()


def test_masked_out_pixel_gets_its_own_call(client):
    rng = np.random.default_rng(112)
    image = random_image(rng, (6, 6), top=200)
    image[2, 3] = 250  # the only pixel of this value, and it is masked out
    mask = np.ones(image.shape, np.uint8)
    mask[2, 3] = 0
    fp = FOOTPRINTS["full3x3"]
    probe = run(client, "probe", image, fp, mask, depth=PROBE_DEPTH)
    assert probe[2, 3, P_CENTRE] == 250
    assert probe[2, 3, P_POP] == 8
    hist = run(client, "hist", image, fp, mask, depth=256)
    assert hist[2, 3, 250] == 0
    assert_pixels_equal(hist, window_histograms(image, fp, mask))


def test_mask_none_and_all_ones_give_identical_calls(client):
    rng = np.random.default_rng(113)
    image = random_image(rng, (8, 9))
    fp = FOOTPRINTS["ring5x5"]
    kwargs = dict(depth=PROBE_DEPTH, shift_x=1, shift_y=-1, fparam0=0.5,
                  iparam1=3)
    unmasked = run(client, "probe", image, fp, None, **kwargs)
    ones = run(client, "probe", image, fp, np.full(image.shape, 1, np.uint8),
               **kwargs)
    np.testing.assert_array_equal(unmasked, ones)
    hist_none = run(client, "hist", image, fp, None, depth=256)
    hist_ones = run(client, "hist", image, fp, np.ones(image.shape, np.uint8),
                    depth=256)
    np.testing.assert_array_equal(hist_none, hist_ones)


def test_all_zero_footprint_counts_nothing(client):
    rng = np.random.default_rng(114)
    image = random_image(rng, (5, 6))
    out = run(client, "probe", image, FOOTPRINTS["zero3x3"], depth=PROBE_DEPTH)
    assert (out[:, :, P_POP] == 0).all()
    assert_pixels_equal(out[:, :, P_INDEX], call_index_map(5, 6))
    assert_pixels_equal(out[:, :, P_CENTRE], image)


@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
def test_all_output_types_see_identical_calls(client, in_dtype):
    """Every value the probe writes fits uint8 here, so the four output
    specializations must produce the same numbers."""
    rng = np.random.default_rng(115)
    shape = (12, 13)  # 156 calls: every call index fits uint8
    bin_count = 200
    image = random_image(rng, shape, in_dtype, bin_count - 1)
    mask = random_mask(rng, shape)
    fp = FOOTPRINTS["random5x6"]
    kwargs = dict(depth=PROBE_DEPTH, shift_x=2, shift_y=-1, fparam0=3.0,
                  fparam1=250.0, iparam0=17, iparam1=99, bin_count=bin_count)
    results = {dtype_name(dt): run(client, "probe", image, fp, mask,
                                   out_dtype=dt, **kwargs).astype(np.float64)
               for dt in OUT_DTYPES}
    for name, result in results.items():
        np.testing.assert_array_equal(result, results["float64"],
                                      err_msg="output type " + name)
    # And they are the right calls.
    reference = results["float64"]
    assert_pixels_equal(reference[:, :, P_INDEX], call_index_map(*shape))
    assert_pixels_equal(reference[:, :, P_POP],
                        window_population(shape, fp, mask, 2, -1))


def test_concurrent_calls_do_not_interfere(client):
    """The scan runs without the interpreter lock and keeps all its state
    per call, so calls on several threads at once give each its own
    result."""
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(124)
    jobs = []
    for i in range(16):
        shape = (14 + i % 5, 15 + i % 3)
        fp = FOOTPRINTS[["ring5x5", "random5x6", "full4x4", "cross3x3"][i % 4]]
        jobs.append((random_image(rng, shape, top=63), fp,
                     random_mask(rng, shape) if i % 2 else None))

    def work(job):
        image, fp, mask = job
        results = []
        for _ in range(5):
            results.append(run(client, "hist", image, fp, mask, depth=64,
                               bin_count=64))
        return results

    with ThreadPoolExecutor(max_workers=4) as pool:
        outcomes = list(pool.map(work, jobs))
    for (image, fp, mask), results in zip(jobs, outcomes):
        expected = window_histograms(image, fp, mask, bin_count=64)
        for got in results:
            assert_pixels_equal(got, expected, "histogram on a thread")


# --------------------------------------------------------------------------
# Kernels built on the histogram


@pytest.mark.parametrize("masked", [False, True], ids=["unmasked", "masked"])
@pytest.mark.parametrize("out_dtype", OUT_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("kernel,fparam0,statistic", KERNEL_CASES,
                         ids=["%s-%g" % (k, f) for k, f, _ in KERNEL_CASES])
def test_statistic_kernels(client, kernel, fparam0, statistic, in_dtype,
                           out_dtype, masked):
    rng = np.random.default_rng(116)
    shape = (11, 13)
    top, bin_count = stat_case(in_dtype, out_dtype)
    image = random_image(rng, shape, in_dtype, top)
    mask = random_mask(rng, shape, 0.5) if masked else None
    fp = FOOTPRINTS["ring5x5"]
    out = run(client, kernel, image, fp, mask, out_dtype=out_dtype,
              shift_x=1, shift_y=-2, fparam0=fparam0, bin_count=bin_count)
    hist = window_histograms(image, fp, mask, 1, -2, bin_count)
    expected = c_convert(statistic(hist), out_dtype)
    assert_pixels_equal(out[:, :, 0], expected, kernel)


@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("name,shift_y,shift_x", [
    ("full3x3", 0, 0), ("cross3x3", 1, 0), ("ring5x5", -2, 1),
    ("full4x4", -2, 1), ("full4x4", 1, -2), ("full2x3", 0, -1),
    ("random5x6", 2, 2), ("diag4x4", 0, 0),
])
def test_median_matches_scipy_inside(client, in_dtype, name, shift_y,
                                     shift_x):
    """Where the whole footprint lies in the image, percentile 0.5 is SciPy's
    median (rank size // 2), SciPy's origin being (shift_y, shift_x)."""
    rng = np.random.default_rng(117)
    top, bin_count = (255, 256) if in_dtype is np.uint8 else (4000, 4001)
    image = random_image(rng, (16, 17), in_dtype, top)
    fp = FOOTPRINTS[name]
    got = run(client, "percentile", image, fp, out_dtype=np.float64,
              shift_x=shift_x, shift_y=shift_y, fparam0=0.5,
              bin_count=bin_count)[:, :, 0]
    expected = ndimage.median_filter(image, footprint=fp != 0, mode="mirror",
                                     origin=(shift_y, shift_x))
    whole = window_population(image.shape, fp, None, shift_x, shift_y) \
        == np.count_nonzero(fp)
    assert whole.sum() > 0
    assert_pixels_equal(np.where(whole, got, 0),
                        np.where(whole, expected, 0).astype(np.float64),
                        "median inside")


@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("name,shift_y,shift_x", [
    ("full3x3", 0, 0), ("ring5x5", 2, -2), ("full4x4", -2, 1),
    ("random4x7", 1, 3), ("random12x14", -3, 2),
])
def test_min_max_match_scipy(client, in_dtype, name, shift_y, shift_x):
    """Pixels outside the image are not counted: for the maximum that is
    SciPy's constant border 0; for the minimum the dtype's largest value,
    wherever the window holds at least one pixel."""
    rng = np.random.default_rng(118)
    top, bin_count = (255, 256) if in_dtype is np.uint8 else (65535, 65536)
    image = random_image(rng, (10, 12), in_dtype, top)
    fp = FOOTPRINTS[name]
    kwargs = dict(out_dtype=np.uint16, shift_x=shift_x, shift_y=shift_y,
                  bin_count=bin_count)
    got_max = run(client, "max", image, fp, **kwargs)[:, :, 0]
    got_min = run(client, "min", image, fp, **kwargs)[:, :, 0]
    scipy_args = dict(footprint=fp != 0, mode="constant",
                      origin=(shift_y, shift_x))
    assert_pixels_equal(got_max, ndimage.maximum_filter(image, cval=0,
                                                        **scipy_args))
    expected_min = ndimage.minimum_filter(image, cval=np.iinfo(in_dtype).max,
                                          **scipy_args)
    nonempty = window_population(image.shape, fp, None, shift_x,
                                 shift_y) > 0
    assert_pixels_equal(got_min, np.where(nonempty, expected_min, 0))


def test_full_uint16_range_needs_65536_bins(client):
    image = np.array([[0, 65535, 1], [65534, 2, 300]], np.uint16)
    fp = FOOTPRINTS["full3x3"]
    got = run(client, "max", image, fp, out_dtype=np.uint16,
              bin_count=65536)[:, :, 0]
    assert_pixels_equal(got, hist_max(window_histograms(image, fp,
                                                        bin_count=65536)))
    with pytest.raises(ValueError,
                       match=re.escape("image value 65535 is not below "
                                       "bin_count 65535")):
        run(client, "max", image, fp, out_dtype=np.uint16, bin_count=65535)


# --------------------------------------------------------------------------
# The exported _max and _min helpers

@pytest.mark.parametrize("width,a,b", [
    (8, 0, 0), (8, 255, 255), (8, 0, 255), (8, 255, 0), (8, 127, 128),
    (8, 128, 127), (16, 0, 0), (16, 65535, 65535), (16, 65535, 0),
    (16, 0, 65535), (16, 32767, 32768), (16, 32768, 32767), (16, 255, 256),
])
def test_max_min_edges(client, width, a, b):
    # Unsigned comparison: 128 > 127 and 32768 > 32767.
    assert client.max_(a, b, width) == max(a, b)
    assert client.min_(a, b, width) == min(a, b)


def test_max_min_uint8_exhaustive(client):
    for a in range(256):
        for b in range(256):
            assert client.max_(a, b, 8) == max(a, b), (a, b)
            assert client.min_(a, b, 8) == min(a, b), (a, b)


def test_max_min_uint16_sample(client):
    rng = np.random.default_rng(119)
    for a, b in rng.integers(0, 65536, size=(3000, 2)):
        a, b = int(a), int(b)
        assert client.max_(a, b, 16) == max(a, b), (a, b)
        assert client.min_(a, b, 16) == min(a, b), (a, b)


# --------------------------------------------------------------------------
# Failures: exact messages, traceback entry, no kernel call, out untouched

def assert_core_failure(client, exc_type, message, line, image, footprint,
                        mask=None, out=None, **kwargs):
    image = np.asarray(image)
    if out is None:
        out = new_out(image.shape + (PROBE_DEPTH,)).array
    before = np.array(out).tobytes()
    with pytest.raises(exc_type) as excinfo:
        call_core(client, "probe", image, footprint, mask, out, **kwargs)
    assert str(excinfo.value) == message
    last = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == (CORE_NAME, CORE_FILE,
                                                       line)
    # The probe writes every pixel it is called for: an unchanged out means
    # no kernel call.
    assert np.array(out).tobytes() == before


CENTRE_CASES = [
    # (footprint shape, shift_y, shift_x, message, line)
    ((3, 3), -2, 0, "centre_r -1 < 0", 72),
    ((3, 3), 0, -2, "centre_c -1 < 0", 73),
    ((3, 3), 2, 0, "centre_r 3 >= srows 3", 74),
    ((3, 3), 0, 2, "centre_c 3 >= scols 3", 75),
    # When several fail, the first in the order above decides.
    ((3, 3), -2, -2, "centre_r -1 < 0", 72),
    ((3, 3), 2, -2, "centre_c -1 < 0", 73),
    ((3, 3), 2, 2, "centre_r 3 >= srows 3", 74),
    ((3, 3), -2, 2, "centre_r -1 < 0", 72),
    ((4, 4), -3, 0, "centre_r -1 < 0", 72),
    ((4, 4), 0, 2, "centre_c 4 >= scols 4", 75),
    ((4, 4), 2, 0, "centre_r 4 >= srows 4", 74),
    ((2, 5), 0, -3, "centre_c -1 < 0", 73),
    ((1, 1), 0, 1, "centre_c 1 >= scols 1", 75),
    ((1, 1), 1, 0, "centre_r 1 >= srows 1", 74),
    # Shifts are sign-extended signed chars.
    ((2, 5), -128, 127, "centre_r -127 < 0", 72),
    ((5, 5), 0, -128, "centre_c -126 < 0", 73),
    ((5, 5), 127, 0, "centre_r 129 >= srows 5", 74),
    ((5, 6), 0, 127, "centre_c 130 >= scols 6", 75),
    # Empty footprints.
    ((0, 3), 0, 0, "centre_r 0 >= srows 0", 74),
    ((3, 0), 0, 0, "centre_c 0 >= scols 0", 75),
]


@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("fp_shape,shift_y,shift_x,message,line",
                         CENTRE_CASES, ids=[c[3] for c in CENTRE_CASES])
def test_centre_checks(client, in_dtype, fp_shape, shift_y, shift_x, message,
                       line):
    if sys.flags.optimize:
        pytest.skip("centre assertions are skipped under python -O")
    image = np.arange(30, dtype=in_dtype).reshape(5, 6)
    footprint = np.ones(fp_shape, np.uint8)
    assert_core_failure(client, AssertionError, message, line, image,
                        footprint, shift_x=shift_x, shift_y=shift_y)


@pytest.mark.parametrize("out_shape,message", [
    ((4, 6, 3), "out rows 4 is smaller than image rows 5"),
    ((5, 5, 3), "out cols 5 is smaller than image cols 6"),
    ((0, 6, 3), "out rows 0 is smaller than image rows 5"),
    ((4, 2, 3), "out rows 4 is smaller than image rows 5"),
], ids=["rows", "cols", "no_rows", "both"])
def test_out_smaller_than_image(client, out_shape, message):
    image = np.zeros((5, 6), np.uint8)
    out = new_out(out_shape).array
    assert_core_failure(client, ValueError, message, 123, image,
                        FOOTPRINTS["full3x3"], out=out)


@pytest.mark.parametrize("dtype", OUT_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("step", [2, -1, 3])
def test_out_depth_not_contiguous(cpp_client, dtype, step):
    itemsize = np.dtype(dtype).itemsize
    base = new_out((4, 5, 12), dtype).array
    out = base[:, :, ::step][:, :, :4]
    assert out.shape[2] > 1
    message = "out depth stride %d is not the item size %d" % (
        step * itemsize, itemsize)
    image = np.zeros((4, 5), np.uint8)
    before = base.tobytes()
    assert_core_failure(cpp_client, ValueError, message, 124, image,
                        FOOTPRINTS["full3x3"], out=out)
    assert base.tobytes() == before


@pytest.mark.parametrize("mask_shape", [(5, 7), (4, 6), (6, 5), (5, 1),
                                        (1, 6)], ids=str)
def test_mask_shape_differs(client, mask_shape):
    image = np.zeros((5, 6), np.uint8)
    mask = np.ones(mask_shape, np.uint8)
    message = "mask shape (%d, %d) is not the image shape (5, 6)" % mask_shape
    assert_core_failure(client, ValueError, message, 125, image,
                        FOOTPRINTS["full3x3"], mask)


@pytest.mark.parametrize("in_dtype,values,bin_count,masked_out,largest",
                         VALUE_CASES, ids=VALUE_CASE_IDS)
def test_image_value_not_below_bin_count(client, in_dtype, values, bin_count,
                                         masked_out, largest):
    rng = np.random.default_rng(120)
    image = random_image(rng, (6, 7), in_dtype, min(values) - 1)
    mask = np.ones(image.shape, np.uint8) if masked_out else None
    positions = [(1, 2), (4, 6), (5, 0)]
    for i, v in enumerate(values):
        image[positions[i]] = v
        if i in masked_out:
            mask[positions[i]] = 0
    message = "image value %d is not below bin_count %d" % (largest, bin_count)
    assert_core_failure(client, ValueError, message, 126, image,
                        FOOTPRINTS["full3x3"], mask, bin_count=bin_count)


@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
def test_masked_out_values_may_exceed_bin_count(client, in_dtype):
    rng = np.random.default_rng(121)
    bin_count = 50
    image = random_image(rng, (7, 8), in_dtype, bin_count - 1)
    mask = random_mask(rng, image.shape)
    high = np.iinfo(in_dtype).max
    image[mask == 0] = high
    fp = FOOTPRINTS["full3x3"]
    check_hist(client, image, fp, mask, bin_count=bin_count, shift_x=1)
    probe = run(client, "probe", image, fp, mask, depth=PROBE_DEPTH,
                bin_count=bin_count)
    # Masked-out pixels still report their own (too large) value.
    assert_pixels_equal(probe[:, :, P_CENTRE], image)


def test_row_padding_is_not_part_of_the_image(cpp_client):
    """Values beyond the row's end, in the row stride's padding, are not
    image values and must not trip the bin_count check."""
    rng = np.random.default_rng(122)
    image = place_2d(random_image(rng, (5, 6), top=99), "row_padded",
                     np.full(4, 255, np.uint8))
    check_hist(cpp_client, image, FOOTPRINTS["cross3x3"], bin_count=100)


@pytest.mark.parametrize("with_mask", [False, True])
@pytest.mark.parametrize("image_shape,out_shape", [
    ((0, 3), (2, 4, 4)), ((3, 0), (3, 2, 4)), ((0, 0), (1, 1, 4)),
    ((0, 3), (0, 3, 4)), ((3, 0), (3, 0, 4)),
], ids=str)
def test_empty_image_makes_no_call(client, image_shape, out_shape,
                                   with_mask):
    image = np.zeros(image_shape, np.uint8)
    mask = np.ones(image_shape, np.uint8) if with_mask else None
    out = new_out(out_shape)
    call_core(client, "probe", image, FOOTPRINTS["full3x3"], mask, out.array)
    assert out.base.tobytes() == bytes([SENTINEL_BYTE]) * out.base.nbytes


# --------------------------------------------------------------------------
# python -O: the centre assertions are skipped, the result stays right

_OPTIMISED_SCRIPT = """
import sys
import numpy as np
sys.path.insert(0, {tests_dir!r})
from reference import window_histograms, call_index_map
from morvane.filters.rank._testing import {client} as client

# Plain checks: assert statements vanish under -O.
if not sys.flags.optimize:
    sys.exit("not running optimised")

failures = []
rng = np.random.default_rng(7)
cases = [
    ((3, 3), 2, 0), ((3, 3), -2, 0), ((3, 3), 0, 2), ((3, 3), 0, -2),
    ((3, 3), 2, -2), ((3, 3), -2, 2), ((4, 4), 5, -4), ((1, 1), -3, 3),
    ((2, 5), 127, -128), ((5, 5), -6, 7), ((0, 3), 0, 0), ((3, 0), 0, 0),
]
for (srows, scols), shift_y, shift_x in cases:
    for masked in (False, True):
        image = rng.integers(0, 256, (7, 9)).astype(np.uint8)
        footprint = (rng.random((srows, scols)) < 0.7).astype(np.uint8)
        mask = (rng.random(image.shape) < 0.6).astype(np.uint8) if masked else None
        label = ((srows, scols), shift_y, shift_x, masked)
        expected = window_histograms(image, footprint, mask, shift_x, shift_y, 256)
        out = np.full((7, 9, 256), -1.0)
        client.core("hist", image, footprint, mask, out, shift_x=shift_x,
                    shift_y=shift_y, bin_count=256)
        if not np.array_equal(out, expected):
            failures.append(("hist", label))
        probe = np.full((7, 9, 10), -1.0)
        client.core("probe", image, footprint, mask, probe, shift_x=shift_x,
                    shift_y=shift_y, bin_count=256)
        if not np.array_equal(probe[:, :, 0], call_index_map(7, 9)):
            failures.append(("order", label))
        if not np.array_equal(probe[:, :, 1], expected.sum(-1)):
            failures.append(("population", label))

# The value checks are not assertions: -O keeps them.
image = np.zeros((4, 4), np.uint8)
try:
    client.core("probe", image, np.ones((3, 3), np.uint8), None,
                np.zeros((3, 4, 10)))
except ValueError as exc:
    if str(exc) != "out rows 3 is smaller than image rows 4":
        failures.append(("message", str(exc)))
else:
    failures.append(("no ValueError under -O",))

if failures:
    print(failures)
    sys.exit(1)
print("ok")
"""


def test_optimised_run_skips_centre_checks(client, tests_dir, tmp_path):
    run_optimised(client, _OPTIMISED_SCRIPT, tests_dir, tmp_path)


# --------------------------------------------------------------------------
# A Cython kernel that copies the lent histogram into its own memoryview

_COPY_SCRIPT = """
import gc
import sys
import numpy as np
from morvane.filters.rank._testing import _cy_client as client

image = np.arange(48, dtype=np.uint8).reshape(6, 8)
footprint = np.ones((3, 3), np.uint8)
out = np.zeros((6, 8, 2))

def call():
    client.core("copy", image, footprint, None, out)

for _ in range(20):
    call()
gc.collect()
before = sys.getallocatedblocks()
for _ in range(400):
    call()
gc.collect()
print(sys.getallocatedblocks() - before)
"""


def test_copy_kernel_runs_cleanly_and_leaves_no_reference(tmp_path):
    """A copy that took an acquisition and never gave it back would keep
    the driver's histogram alive after every call (or stop the process on
    an inconsistent acquisition count)."""
    proc = subprocess.run([sys.executable, "-c", _COPY_SCRIPT],
                          cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, (proc.returncode, proc.stdout, proc.stderr)
    assert "Acquisition count" not in proc.stderr
    growth = int(proc.stdout.strip().splitlines()[-1])
    assert growth < 200, "allocated blocks grew by %d over 400 calls" % growth


@pytest.mark.parametrize("out_dtype", OUT_DTYPES, ids=dtype_name)
@pytest.mark.parametrize("in_dtype", IN_DTYPES, ids=dtype_name)
def test_copy_kernel_sees_the_histogram(cy_client, in_dtype, out_dtype):
    rng = np.random.default_rng(123)
    bin_count = 60
    image = random_image(rng, (9, 10), in_dtype, bin_count - 1)
    mask = random_mask(rng, image.shape)
    # Masked-out pixels may hold values beyond the bins; the kernel then
    # leaves its second slot alone.
    image[(mask == 0) & (rng.random(image.shape) < 0.5)] = bin_count + 5
    fp = FOOTPRINTS["random5x6"]
    out = new_out(image.shape + (2,), out_dtype).array
    call_core(cy_client, "copy", image, fp, mask, out, shift_x=-2,
              shift_y=1, bin_count=bin_count)
    hist = window_histograms(image, fp, mask, -2, 1, bin_count)
    assert_pixels_equal(out[:, :, 0], c_convert(population(hist), out_dtype),
                        "sum of the copy")
    in_range = image < bin_count
    rows, cols = np.indices(image.shape)
    at_centre = hist[rows, cols, np.minimum(image, bin_count - 1)]
    expected = np.where(in_range, c_convert(at_centre, out_dtype),
                        sentinel_value(out_dtype))
    assert_pixels_equal(out[:, :, 1], expected.astype(out_dtype),
                        "copy[centre_value]")


# --------------------------------------------------------------------------
# Property: hist equals the reference for random small cases


@st.composite
def core_cases(draw, any_strides):
    in_dtype = draw(st.sampled_from(IN_DTYPES))
    rows = draw(st.integers(1, 8))
    cols = draw(st.integers(1, 8))
    if in_dtype is np.uint8:
        top = draw(st.integers(0, 255))
        bin_count = draw(st.integers(top + 1, 256))
    else:
        top = draw(st.integers(0, 1500))
        bin_count = top + 1 + draw(st.integers(0, 20))
    image = draw(hnp.arrays(in_dtype, (rows, cols),
                            elements=st.integers(0, top)))
    srows = draw(st.integers(1, 6))
    scols = draw(st.integers(1, 6))
    fp_dtype = draw(st.sampled_from(sorted(FP_ELEMENTS)))
    footprint = draw(hnp.arrays(np.dtype(fp_dtype), (srows, scols),
                                elements=FP_ELEMENTS[fp_dtype]))
    shift_y = draw(st.sampled_from(valid_shifts(srows)))
    shift_x = draw(st.sampled_from(valid_shifts(scols)))
    mask = draw(st.none() | hnp.arrays(np.uint8, (rows, cols),
                                       elements=st.sampled_from([0, 1, 255])))
    out_dtype = draw(st.sampled_from(OUT_DTYPES))
    layouts_2d = LAYOUTS_2D_ALL + (["row_padded", "col_step", "reversed",
                                    "transposed"] if any_strides else [])
    out_layouts = OUT_LAYOUTS_ALL + (["row_padded", "rows_reversed",
                                      "pixels_transposed", "col_step"]
                                     if any_strides else [])
    layout = dict(image=draw(st.sampled_from(layouts_2d)),
                  footprint=draw(st.sampled_from(layouts_2d)),
                  mask=draw(st.sampled_from(layouts_2d)),
                  out=draw(st.sampled_from(out_layouts)))
    seed = draw(st.integers(0, 2 ** 32 - 1))
    return dict(image=image, footprint=footprint, mask=mask, shift_x=shift_x,
                shift_y=shift_y, bin_count=bin_count, top=top,
                out_dtype=out_dtype, layout=layout, seed=seed)


@hypothesis.settings(max_examples=60, deadline=None)
@hypothesis.given(data=st.data())
def test_hist_property(client, data):
    case = data.draw(core_cases(any_strides=is_cpp(client)))
    rng = np.random.default_rng(case["seed"])
    image_values, fp_values, mask_values = (case["image"], case["footprint"],
                                            case["mask"])
    layout = case["layout"]
    image = place_2d(image_values, layout["image"],
                     random_image(rng, (7,), image_values.dtype, case["top"]))
    footprint = place_2d(fp_values, layout["footprint"],
                         np.ones(3, fp_values.dtype))
    mask = None if mask_values is None else place_2d(
        mask_values, layout["mask"], rng.integers(0, 2, 5).astype(np.uint8))
    bin_count = case["bin_count"]
    out = new_out(image_values.shape + (bin_count,), case["out_dtype"],
                  layout["out"])
    call_core(client, "hist", image, footprint, mask, out.array,
              shift_x=case["shift_x"], shift_y=case["shift_y"],
              bin_count=bin_count)
    expected = window_histograms(image_values, fp_values, mask_values,
                                 case["shift_x"], case["shift_y"], bin_count)
    assert_pixels_equal(out.array, c_convert(expected, case["out_dtype"]))
    out.assert_outside_untouched()
