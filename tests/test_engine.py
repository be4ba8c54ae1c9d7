"""The engine behind median, percentile, mean, minimum and maximum: every
method, forced in turn, gives exactly what the sliding-histogram core gives
through the C-API, for any footprint, shift, mask, element type, shape and
memory layout, in 2D and 3D; and the dispatcher's choice does too."""

import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from engine_cases import (METHODS, STATS, assert_same, cases, check, disk, engine,
                          image_of, reference)

SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(case=cases(), stat=st.sampled_from(sorted(STATS)))
def test_every_method_equals_the_core(case, stat):
    image, footprint, mask, shift = case
    ran = [m for m in METHODS if check(m, stat, image, footprint, mask, shift)]
    assert "sort" in ran


@SETTINGS
@given(case=cases(), stat=st.sampled_from(sorted(STATS)), workers=st.sampled_from([1, 2, 3]))
def test_the_chosen_method_equals_the_core(case, stat, workers):
    image, footprint, mask, shift = case
    assert_same(engine(stat, image, footprint, mask, shift, workers=workers),
                reference(stat, image, footprint, mask, shift), stat)


LAYOUTS = {
    # name -> function of a C-contiguous image giving a view with its values
    "reversed": lambda a: np.flip(np.flip(a.copy(), axis=-1).copy(), axis=-1),
    "transposed": lambda a: np.ascontiguousarray(np.swapaxes(a, 0, -1)).swapaxes(0, -1),
    "every_other": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "negative_rows": lambda a: np.flip(np.flip(a, axis=0).copy(), axis=0),
    "pitch_4096": lambda a: _padded(a, 4096),
    "pitch_2048": lambda a: _padded(a, 2048),
}


def _padded(a, pitch):
    """The image in rows of `pitch` bytes, a power of two."""
    row = a.shape[-1] * a.itemsize
    base = np.zeros(a.shape[:-1] + (max(pitch, row) // a.itemsize,), a.dtype)
    view = base[..., :a.shape[-1]]
    view[...] = a
    return view


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("kind, shape, footprint", [
    ("u8", (37, 41), disk(3)),
    ("u16", (23, 29), np.ones((4, 5), bool)),
    ("u16_12bit", (7, 9, 11), np.ones((3, 3, 3), bool)),
], ids=["u8-disk", "u16-box", "u16-3d"])
def test_memory_layouts(layout, method, kind, shape, footprint):
    rng = np.random.default_rng(zlib.crc32(repr((layout, kind)).encode()))
    image = image_of(rng, shape, kind)
    view = LAYOUTS[layout](image)
    assert np.array_equal(view, image)
    mask = rng.random(shape) < 0.8
    for stat in ("median", "p0.9", "mean", "min", "max"):
        want = reference(stat, image, footprint, mask, None)
        try:
            got = engine(stat, view, footprint, LAYOUTS[layout](mask), None, method)
        except Exception as error:  # noqa: BLE001 - a method may not apply
            if type(error).__name__ == "DoesNotApply":
                continue
            raise
        assert_same(got, want, f"{layout} {method} {stat}")


@pytest.mark.parametrize("method", METHODS)
def test_out_with_strides(method):
    rng = np.random.default_rng(5)
    image = image_of(rng, (30, 20), "u8")
    for stat in ("median", "mean", "max"):
        want = reference(stat, image, disk(2))
        base = np.zeros((60, 40), want.dtype)
        out = base[::-2, ::2]
        try:
            got = engine(stat, image, disk(2), method=method, out=out)
        except Exception as error:  # noqa: BLE001
            if type(error).__name__ == "DoesNotApply":
                continue
            raise
        assert got is out
        assert_same(out, want, f"{method} {stat}")
        assert not base[::2].any()


def test_footprint_without_members():
    image = np.arange(12, dtype=np.uint8).reshape(3, 4)
    empty = np.zeros((3, 3), bool)
    for stat in STATS:
        assert_same(engine(stat, image, empty), reference(stat, image, empty), stat)


def test_unknown_method():
    with pytest.raises(ValueError, match="unknown method"):
        engine("median", np.zeros((3, 3), np.uint8), np.ones((3, 3), bool), method="magic")


@pytest.mark.parametrize("workers,bands", [(2, 0), (2, 5), (3, 7)])
@pytest.mark.parametrize("method", ["network", "runs", "sums"])
def test_threads_that_share_bands_with_the_calling_thread(method, workers, bands):
    # A call too short to need cancelling runs its bands on the calling
    # thread and helpers; bands=0 lets the engine cut them (this image is
    # large enough to be worth two threads).
    from morvane.filters.rank import _filters
    from morvane.filters.rank._api import _STATS
    kind = {"network": _filters.PERCENTILE, "runs": _filters.MINIMUM, "sums": _filters.MEAN}
    image = image_of(np.random.default_rng(5), (1500, 1500), "u8")
    fp = np.ones((3, 3), np.uint8)
    dtype = np.float64 if method == "sums" else np.uint8
    one, many = np.empty(image.shape, dtype), np.empty(image.shape, dtype)
    for out, w, b in ((one, 1, 1), (many, workers, bands)):
        _filters.engine(_STATS[kind[method]], image, fp, None, out, (0, 0), 0.5, w, method, b)
    np.testing.assert_array_equal(one, many)
