"""The client examples of docs/examples build against the installed package
(its .pxd files and C/C++ header, as an outside author would) and compute
what they promise."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from scipy import ndimage

from reference import window_histograms

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "docs", "examples")


@pytest.fixture(scope="module")
def examples(tmp_path_factory):
    build = tmp_path_factory.mktemp("examples")
    for name in ("local_range.pyx", "local_mode.cpp", "setup.py"):
        shutil.copy(os.path.join(EXAMPLES, name), build)
    result = subprocess.run([sys.executable, "setup.py", "build_ext", "--inplace"],
                            cwd=build, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    sys.path.insert(0, str(build))
    try:
        import local_mode
        import local_range
        yield local_range, local_mode
    finally:
        sys.path.remove(str(build))


def brute_range(image, footprint, mask=None):
    hist = window_histograms(image, footprint, mask, bin_count=int(image.max()) + 1)
    occupied = hist > 0
    top = hist.shape[-1] - 1 - np.argmax(occupied[..., ::-1], axis=-1)
    bottom = np.argmax(occupied, axis=-1)
    return np.where(occupied.any(-1), top - bottom, 0)


@pytest.mark.parametrize("dtype,top", [(np.uint8, 255), (np.uint16, 40000)])
def test_local_range_2d(examples, dtype, top):
    local_range, _ = examples
    rng = np.random.default_rng(5)
    image = rng.integers(0, top + 1, (23, 31)).astype(dtype)
    footprint = rng.random((5, 4)) < 0.6
    mask = rng.random(image.shape) < 0.8
    result = local_range.local_range(image, footprint, mask)
    assert result.dtype == dtype
    np.testing.assert_array_equal(result, brute_range(image, footprint, mask))


def test_local_range_3d(examples):
    local_range, _ = examples
    rng = np.random.default_rng(6)
    volume = rng.integers(0, 3000, (6, 9, 11)).astype(np.uint16)
    ball = np.sum(np.square(np.mgrid[-1:2, -1:2, -1:2]), axis=0) <= 1
    high = ndimage.maximum_filter(volume, footprint=ball, mode="constant", cval=0)
    low = ndimage.minimum_filter(volume, footprint=ball, mode="constant", cval=65535)
    np.testing.assert_array_equal(local_range.local_range(volume, ball), high - low)


def test_local_mode(examples):
    _, local_mode = examples
    rng = np.random.default_rng(7)
    image = rng.integers(0, 6, (17, 19)).astype(np.uint8)
    footprint = np.ones((3, 5), np.uint8)
    out = np.zeros(image.shape + (1,), np.uint8)
    local_mode.mode(image, footprint, out)
    expected = np.argmax(window_histograms(image, footprint), axis=-1)
    np.testing.assert_array_equal(out[..., 0], expected)


def test_local_mode_reports_driver_errors(examples):
    _, local_mode = examples
    image = np.zeros((4, 4), np.uint8)
    with pytest.raises(ValueError, match="out rows 3 is smaller than image rows 4"):
        local_mode.mode(image, np.ones((3, 3), np.uint8), np.zeros((3, 4, 1), np.uint8))


@pytest.mark.parametrize("image_dtype, footprint_dtype, out_dtype", [
    (np.float64, np.uint8, np.uint8), (np.uint16, np.uint8, np.uint8),
    (np.int8, np.uint8, np.uint8), (np.uint8, np.float64, np.uint8),
    (np.uint8, np.int16, np.uint8), (np.uint8, np.uint8, np.float64),
    (np.uint8, np.uint8, np.int8),
])
def test_local_mode_checks_element_types(examples, image_dtype, footprint_dtype, out_dtype):
    """A buffer whose items do not read as the record's type is refused,
    naming both types, before the driver runs."""
    _, local_mode = examples
    out = np.full((6, 6, 1), 9, out_dtype)
    with pytest.raises(TypeError, match=r"cannot be read as (uint8|char)"):
        local_mode.mode(np.ones((6, 6), image_dtype), np.ones((3, 3), footprint_dtype), out)
    assert (out == 9).all()


def test_local_mode_reads_an_overlapping_image_from_a_copy(examples):
    _, local_mode = examples
    rng = np.random.default_rng(8)
    image = rng.integers(0, 4, (15, 16, 1)).astype(np.uint8)
    footprint = np.ones((3, 3), bool)
    expected = np.argmax(window_histograms(image[..., 0].copy(), footprint), axis=-1)
    local_mode.mode(image[..., 0], footprint, image)
    np.testing.assert_array_equal(image[..., 0], expected)
