"""What the public filters do with inputs that are easy to get wrong: an out
that shares memory with the image or mask, arguments of the wrong type, and
histogram counts (their type, grouping and memory)."""

import os
import tracemalloc

import numpy as np
import pytest

from morvane.filters.rank import histogram, maximum, mean, median, minimum, percentile

RNG = np.random.default_rng(77)
IMAGE8 = RNG.integers(0, 256, (64, 64), dtype=np.uint8)
IMAGE16 = RNG.integers(0, 4000, (33, 40), dtype=np.uint16)
VOLUME8 = RNG.integers(0, 256, (9, 10, 11), dtype=np.uint8)
BOX = np.ones((3, 3), bool)
DISK = np.hypot(*np.ogrid[-2:3, -2:3]) <= 2

SAME_TYPE = {  # filters whose result has the image's dtype
    "median": median,
    "percentile": lambda im, fp, **kw: percentile(im, fp, 0.3, **kw),
    "minimum": minimum,
    "maximum": maximum,
}


# ---------------------------------------------------------------------------
# out sharing memory with the inputs: the result is the out-of-place one


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("image", [IMAGE8, IMAGE16, VOLUME8], ids=["u8", "u16", "u8-3d"])
@pytest.mark.parametrize("name", sorted(SAME_TYPE))
def test_out_is_the_image(name, image, workers):
    f = SAME_TYPE[name]
    fp = np.ones((3,) * image.ndim, bool)
    want = f(image.copy(), fp)
    work = image.copy()
    assert f(work, fp, out=work, workers=workers) is work
    np.testing.assert_array_equal(work, want)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("name", sorted(SAME_TYPE))
def test_out_overlaps_the_image(name, workers):
    """The image is rows 1.. of a buffer and out rows 0..: every row of out
    is the next row of the image."""
    f = SAME_TYPE[name]
    base = np.vstack([IMAGE8, IMAGE8[:1]])
    image, out = base[1:], base[:-1]
    want = f(image.copy(), DISK, shift=(1, 0))
    f(image, DISK, shift=(1, 0), out=out, workers=workers)
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("workers", [1, 2])
def test_mean_out_holds_the_image_bytes(workers):
    out = np.zeros((16, 20), np.float64)
    image = out.view(np.uint8)[:, :20]  # the first 20 bytes of every out row
    image[...] = IMAGE8[:16, :20]
    want = mean(image.copy(), DISK)
    mean(image, DISK, out=out, workers=workers)
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("workers", [1, 2])
def test_histogram_out_holds_the_image(workers):
    image = IMAGE8[:20, :24] % 7
    want = histogram(image, BOX)
    out = np.zeros(image.shape + (256,), np.uint8)
    view = out[..., 0]
    view[...] = image
    histogram(view, BOX, out=out, workers=workers)
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("name", sorted(SAME_TYPE))
def test_mask_is_out(name, workers):
    f = SAME_TYPE[name]
    mask = (IMAGE8 > 100).astype(np.uint8)
    want = f(IMAGE8, DISK, mask=mask.copy())
    f(IMAGE8, DISK, mask=mask, out=mask, workers=workers)
    np.testing.assert_array_equal(mask, want)


def test_core_clients_read_an_overlapping_image_from_a_copy(client):
    image = IMAGE8[:20, :30]
    out = np.zeros(image.shape + (1,), np.uint8)
    want = out.copy()
    client.core("max", image.copy(), BOX, None, want)
    out[..., 0] = image
    client.core("max", out[..., 0], BOX, None, out)
    np.testing.assert_array_equal(out, want)


# ---------------------------------------------------------------------------
# Argument types


ALL = {**SAME_TYPE, "mean": mean, "histogram": histogram}


@pytest.mark.parametrize("shift", [(0.7, 0.2), (1.0, 0), "10", "ab", b"10", (True, 0),
                                   (np.bool_(False), 0), (0, "1"), (None, 0), 1, 1.5],
                         ids=repr)
@pytest.mark.parametrize("name", sorted(ALL))
def test_shift_entries_must_be_integers(name, shift):
    with pytest.raises(TypeError, match="shift"):
        ALL[name](IMAGE8[:8, :8], BOX, shift=shift)


@pytest.mark.parametrize("shift", [(np.int8(1), np.uint64(0)), [1, -1], np.array([0, 1])],
                         ids=repr)
def test_shift_accepts_numpy_integers_and_sequences(shift):
    want = median(IMAGE8, BOX, shift=tuple(int(s) for s in shift))
    np.testing.assert_array_equal(median(IMAGE8, BOX, shift=shift), want)


@pytest.mark.parametrize("p", ["0.5", True, np.bool_(False), None, [0.5], 0.5j], ids=repr)
def test_p_must_be_a_real_number(p):
    with pytest.raises(TypeError, match="p must be"):
        percentile(IMAGE8, BOX, p)


@pytest.mark.parametrize("p", [0, 1, np.float32(0.25), np.int64(1), 0.5])
def test_p_accepts_real_numbers(p):
    assert percentile(IMAGE8, BOX, p).dtype == np.uint8


@pytest.mark.parametrize("normalized", ["yes", 1, 0, None, 1.0], ids=repr)
def test_normalized_must_be_a_bool(normalized):
    with pytest.raises(TypeError, match="normalized"):
        histogram(IMAGE8, BOX, normalized=normalized)


@pytest.mark.parametrize("workers", [10 ** 30, 8 * (os.cpu_count() or 1) + 1], ids=repr)
def test_workers_beyond_the_bound(workers):
    with pytest.raises(ValueError, match="workers must lie between"):
        median(IMAGE8, BOX, workers=workers)


def test_more_workers_than_rows():
    image = IMAGE8[:3]
    np.testing.assert_array_equal(median(image, BOX, workers=8 * (os.cpu_count() or 1)),
                                  median(image, BOX))


# ---------------------------------------------------------------------------
# Histogram counts


@pytest.mark.parametrize("members, want", [(1, np.uint8), (255, np.uint8), (256, np.uint16),
                                           (65535, np.uint16), (65536, np.uint32)])
def test_count_type_holds_the_footprint(members, want):
    fp = np.zeros(65536, bool)
    fp[:members] = True
    fp = fp.reshape(256, 256)
    # The pixel at the footprint's centre sees the whole 256 x 256 image.
    got = histogram(np.zeros((256, 256), np.uint8), fp, bins=1)
    assert got.dtype == want
    assert got[128, 128, 0] == members == got.max()


@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int16, np.uint32,
                                   np.int32, np.uint64, np.int64, np.float32, np.float64])
@pytest.mark.parametrize("workers", [1, 2])
def test_count_dtypes_agree(dtype, workers):
    want = histogram(IMAGE8, DISK)
    got = histogram(IMAGE8, DISK, dtype=dtype, workers=workers)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, want)
    out = np.full(want.shape, 99, dtype)
    assert histogram(IMAGE8, DISK, out=out, workers=workers) is out
    np.testing.assert_array_equal(out, want)


def test_count_dtype_errors():
    with pytest.raises(ValueError, match="cannot hold counts up to 300"):
        histogram(IMAGE8, np.ones((15, 20), bool), dtype=np.uint8)
    with pytest.raises(ValueError, match="cannot hold counts up to 200"):
        histogram(IMAGE8, np.ones((10, 20), bool), dtype=np.int8)
    for bad in (bool, np.complex64, np.float16, "U3"):
        with pytest.raises(TypeError, match="dtype"):
            histogram(IMAGE8, BOX, dtype=bad)
    with pytest.raises(TypeError, match="normalized histogram"):
        histogram(IMAGE8, BOX, normalized=True, dtype=np.uint16)
    assert histogram(IMAGE8, BOX, normalized=True, dtype=np.float32).dtype == np.float32


@pytest.mark.parametrize("image, bins", [(IMAGE8, 16), (IMAGE8, 1), (IMAGE8, 300),
                                         (IMAGE16, 7), (IMAGE16, 256), (IMAGE16, 1000)],
                         ids=["u8-16", "u8-1", "u8-300", "u16-7", "u16-256", "u16-1000"])
def test_bins_group_values(image, bins):
    """Value v falls in bin v * bins // top (top: 256, or the largest value
    + 1): the grouped histogram is the sum of the full one's bins."""
    top = 256 if image.dtype == np.uint8 else int(image.max()) + 1
    full = histogram(image, DISK, dtype=np.uint32)
    got = histogram(image, DISK, bins=bins)
    assert got.shape == image.shape + (bins,)
    want = np.zeros(image.shape + (bins,), np.uint32)
    groups = np.arange(top) * bins // top
    np.add.at(want, (..., groups), full[..., :top])
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("bins", [0, -1, 65537, 2.0, True, "8"], ids=repr)
def test_bins_errors(bins):
    with pytest.raises((TypeError, ValueError), match="bins"):
        histogram(IMAGE8, BOX, bins=bins)


def test_peak_memory_does_not_grow_with_workers():
    """Bands write the counts straight into the result: with two workers the
    peak is the result and little more, not a second copy of it."""
    image = RNG.integers(0, 256, (256, 256), dtype=np.uint8)
    result_bytes = image.size * 256
    for workers in (1, 2):
        tracemalloc.start()
        histogram(image, DISK, workers=workers)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert peak < 1.2 * result_bytes, (workers, peak / result_bytes)
