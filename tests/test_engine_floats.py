"""Ranks of float16 and float32 images whose keys the engine makes itself,
a chunk of rows (planes) at a time: the same results as the keys made
beforehand and ranked by sorting, across chunk boundaries, off-centre
footprints, bands, strided outputs and the values floats order oddly
(NaN, infinities, -0.0, subnormals); and the keys made beforehand where
the method chosen wants them."""

import numpy as np
import pytest

from morvane.filters.rank import _api, _filters, disk, median, percentile

ODD = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-40, -1e-40, 3.5, -3.5], np.float64)


def image(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(0, 100, shape).astype(dtype)
    pick = rng.random(shape) < 0.05
    x[pick] = rng.choice(ODD, int(pick.sum())).astype(dtype)
    return x


def by_sorting(x, fp, p, out=None):
    return _api._statistic(_filters.PERCENTILE, x, fp, p=p, method="sort", out=out)


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
@pytest.mark.parametrize("shape,fp", [
    ((700, 530), np.ones((3, 3), bool)),            # more than one chunk of rows
    ((700, 300), np.array([[0, 0, 0], [0, 0, 0], [1, 1, 1]], bool)),  # all below the centre
    ((300, 200), np.array([[1, 1], [1, 0], [0, 1]], bool)),
    ((24, 130, 90), np.ones((3, 3, 3), bool)),      # chunks of planes
    ((9, 40, 33), np.ones((1, 1, 5), bool))])
@pytest.mark.parametrize("p", [0.0, 0.5, 0.9])
def test_same_as_keys_made_beforehand(dtype, shape, fp, p):
    x = image(shape, dtype, len(shape) + int(p * 10))
    got = percentile(x, fp, p)
    want = by_sorting(x, fp, p)
    np.testing.assert_array_equal(got.view(f"u{x.itemsize}"), want.view(f"u{x.itemsize}"))


@pytest.mark.parametrize("workers", [1, 2])
def test_bands_and_a_strided_out(workers):
    x = image((900, 400), np.float32, 3)
    out = np.zeros((900, 800), np.float32)[:, ::2]
    median(x, disk(2), out=out, workers=workers)
    np.testing.assert_array_equal(out, by_sorting(x, disk(2), 0.5))


def test_keys_made_beforehand_where_the_method_wants_them():
    x = image((80, 90), np.float16, 4)
    fp = disk(7)  # beyond the selection networks' footprints
    np.testing.assert_array_equal(median(x, fp).view(np.uint16),
                                  by_sorting(x, fp, 0.5).view(np.uint16))
    # The image itself is left as it was.
    assert np.array_equal(x, image((80, 90), np.float16, 4), equal_nan=True)


def non_negative(shape, dtype, seed):
    """Values in [+0, +inf]: +0, +inf, subnormals and repeats among them."""
    x = np.abs(image(shape, dtype, seed))
    x[np.isnan(x)] = np.inf
    x[x == 0] = 0.0  # -0.0 becomes +0.0
    return x


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
@pytest.mark.parametrize("spoil", [None, "negative", "minus zero", "nan"])
@pytest.mark.parametrize("shape,fp", [
    ((700, 530), np.ones((3, 3), bool)),
    ((600, 1024), disk(3)),                     # rows that crowd a few cache sets
    ((24, 130, 90), np.ones((3, 3, 3), bool))])
def test_floats_without_sign_or_nan(dtype, spoil, shape, fp):
    """Chunks whose values all lie in [+0, +inf] rank their bits in place;
    a chunk holding one negative value, -0.0 or NaN makes keys as before.
    Both kinds of chunk in one image give what sorting the keys gives."""
    x = non_negative(shape, dtype, 5)
    if spoil is not None:
        where = (shape[0] - 3,) + tuple(n // 2 for n in shape[1:])
        x[where] = {"negative": -2.0, "minus zero": -0.0, "nan": np.nan}[spoil]
    for view in (x, np.repeat(x, 2, axis=-1)[..., ::2]):  # also a strided image
        got = median(view, fp)
        want = by_sorting(view, fp, 0.5)
        np.testing.assert_array_equal(got.view(f"u{x.itemsize}"), want.view(f"u{x.itemsize}"))
