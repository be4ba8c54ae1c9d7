"""Running the engine with a forced method beside the reference path (the
sliding-histogram core's C-API with the package's kernels), for the engine
tests."""

import numpy as np
from hypothesis import strategies as st

from morvane.filters.rank import _api, _filters, ball, disk  # noqa: F401 (for the engine tests)
from morvane.filters.rank._testing import filters as _testing

METHODS = ["sort", "network", "histogram", "columns", "runs", "sums"]

# name -> (filter kind, p)
STATS = {
    "median": (_filters.PERCENTILE, 0.5),
    "p0": (_filters.PERCENTILE, 0.0),
    "p0.1": (_filters.PERCENTILE, 0.1),
    "p0.29": (_filters.PERCENTILE, 0.29),
    "p0.9": (_filters.PERCENTILE, 0.9),
    "p1": (_filters.PERCENTILE, 1.0),
    "mean": (_filters.MEAN, 0.0),
    "min": (_filters.MINIMUM, 0.0),
    "max": (_filters.MAXIMUM, 0.0),
}


class DoesNotApply(Exception):
    pass


def engine(stat, image, footprint, mask=None, shift=None, method="auto", workers=1,
           out=None):
    """(result, method used) of the engine; DoesNotApply when the forced
    method cannot run this call."""
    kind, p = STATS[stat]
    try:
        # Small calls run on one thread unless bands are asked for: cut one
        # band per worker, so that bands are what these cases test.
        result = _testing.engine_filter(kind, image, footprint, mask, shift, out, workers, p,
                                        _bands=workers if workers > 1 else None, _method=method)
    except ValueError as error:
        if "does not apply" in str(error):
            raise DoesNotApply(method) from None
        raise
    return result


def raw_engine(method, stat, image, footprint, mask=None, shift=None, bins=0, workers=1, p=None):
    """The engine on an image of the engine's own element types (uint32
    keys or codes below `bins` included), `p` for the percentile's if
    given; None when the method does not apply."""
    kind, default = STATS[stat]
    p = default if p is None else p
    out = np.empty(image.shape, np.uint32 if image.dtype == np.uint32 else image.dtype)
    shift = shift or (0,) * image.ndim
    mask = None if mask is None else mask.astype(np.uint8)
    try:
        _filters.engine(_api._STATS[kind], image, footprint.astype(np.uint8), mask, out, shift,
                        p, workers, method, workers if workers > 1 else 0, None, bins)
    except ValueError as error:
        if "does not apply" not in str(error):
            raise
        return None
    return out


def reference(stat, image, footprint, mask=None, shift=None):
    kind, p = STATS[stat]
    return _testing.core_filter(kind, image, footprint, mask, shift, None, 1, p)


def assert_same(got, want, what=""):
    """Exactly equal; NaN where the reference has NaN (empty windows)."""
    assert got.dtype == want.dtype and got.shape == want.shape, what
    if got.dtype.kind == "f":
        same = (got == want) | (np.isnan(got) & np.isnan(want))
    else:
        same = got == want
    if not same.all():
        where = tuple(int(i) for i in np.argwhere(~same)[0])
        raise AssertionError(f"{what}: {int((~same).sum())} of {same.size} pixels differ, "
                             f"first at {where}: {got[where]!r} instead of {want[where]!r}")


def check(method, stat, image, footprint, mask=None, shift=None, workers=1):
    """The engine's result with `method` equals the reference's. Returns
    False (and checks nothing) when the method does not apply."""
    want = reference(stat, image, footprint, mask, shift)
    try:
        got = engine(stat, image, footprint, mask, shift, method, workers)
    except DoesNotApply:
        return False
    assert_same(got, want, f"{method} {stat} shape={image.shape} {image.dtype} "
                           f"fp={np.shape(footprint)} shift={shift} mask={mask is not None}")
    return True


# ---------------------------------------------------------------------------
# Images, footprints and masks


def image_of(rng, shape, kind):
    """uint8 or uint16 images of a few value distributions."""
    if kind == "u8":
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == "u8few":
        return rng.choice(np.array([0, 3, 200, 255], np.uint8), shape)
    if kind == "u16":
        return rng.integers(0, 65536, shape, dtype=np.uint16)
    if kind == "u16_12bit":
        return rng.integers(0, 4096, shape, dtype=np.uint16)
    if kind == "u16few":
        return rng.choice(np.array([0, 1, 255, 256, 40000, 65535], np.uint16), shape)
    raise ValueError(kind)


IMAGE_KINDS = ["u8", "u8few", "u16", "u16_12bit", "u16few"]



@st.composite
def cases(draw, ndim=None, max_extent=7, max_side=None):
    """(image, footprint, mask, shift) of random shape, content, footprint
    (boxes, sparse and dense ones, single entries), shift and mask."""
    ndim = draw(st.sampled_from([2, 3])) if ndim is None else ndim
    seed = draw(st.integers(0, 2 ** 32 - 1))
    rng = np.random.default_rng(seed)
    side = max_side or (40 if ndim == 2 else 9)
    shape = tuple(draw(st.integers(1, side)) for _ in range(ndim))
    image = image_of(rng, shape, draw(st.sampled_from(IMAGE_KINDS)))
    fshape = tuple(draw(st.integers(1, max_extent)) for _ in range(ndim))
    density = draw(st.sampled_from([1.0, 1.0, 0.8, 0.5, 0.2]))
    footprint = rng.random(fshape) < density
    shift = tuple(draw(st.integers(-(e // 2), e - 1 - e // 2)) for e in fshape)
    mask = None
    if draw(st.booleans()):
        mask = rng.random(shape) < draw(st.sampled_from([0.9, 0.5, 0.1]))
    return image, footprint, mask, shift
