"""morvane.filters.rank.ndimage against scipy.ndimage itself: the same
arrays for the same calls, and the same exception types for the calls SciPy
refuses."""

import warnings

import numpy as np
import pytest
from scipy import ndimage as sp

from morvane.filters.rank import ndimage as mv

RNG = np.random.default_rng(2024)
DTYPES = [np.uint8, np.uint16, np.int8, np.int16, np.int32, np.uint32, np.int64,
          np.float32, np.float64, bool]
MODES = ["reflect", "constant", "nearest", "mirror", "wrap", "grid-wrap", "grid-constant",
         "grid-mirror"]


def data(shape, dtype):
    values = RNG.normal(size=shape) * 60
    if np.dtype(dtype).kind == "u":
        values = np.abs(values)
    return values.astype(dtype)


def same(name, *args, **kwargs):
    """Both give equal arrays of one dtype, or raise the same exception type."""
    ours, theirs = getattr(mv, name), getattr(sp, name)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            want = theirs(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the type is what is compared
        with pytest.raises(type(error)):
            ours(*args, **kwargs)
        return None
    got = ours(*args, **kwargs)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    return got


CALLS = [
    ("median_filter", ()), ("percentile_filter", (30,)), ("percentile_filter", (-20.5,)),
    ("rank_filter", (1,)), ("rank_filter", (-2,)), ("minimum_filter", ()),
    ("maximum_filter", ()),
]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("name, extra", CALLS, ids=lambda c: str(c))
@pytest.mark.parametrize("shape", [(23,), (9, 11), (5, 6, 7)], ids=str)
def test_every_dtype_and_dimension(name, extra, dtype, shape):
    image = data(shape, dtype)
    same(name, image, *extra, size=3)
    same(name, image, *extra, footprint=RNG.random((3,) * len(shape)) < 0.6, mode="nearest")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, extra", CALLS, ids=lambda c: str(c))
def test_modes_and_origins(name, extra, mode):
    image = data((12, 13), np.int16)
    for size, origin in ((3, 0), (4, 1), (4, -2), ((2, 5), (0, -1)), (9, 0)):
        same(name, image, *extra, size=size, mode=mode, cval=-7.5, origin=origin)
    # Windows larger than the image: extended more than once.
    same(name, image[:3, :2], *extra, size=7, mode=mode, cval=3)


@pytest.mark.parametrize("name", ["minimum_filter", "maximum_filter"])
def test_a_mode_per_axis(name):
    image = data((10, 12, 5), np.uint8)
    same(name, image, size=(3, 4, 1), mode=["wrap", "nearest", "reflect"])
    same(name, image, footprint=np.ones((3, 3, 3)), mode=["mirror", "constant", "wrap"])


@pytest.mark.parametrize("name, extra", CALLS, ids=lambda c: str(c))
def test_axes_and_more_dimensions(name, extra):
    image = data((4, 5, 6, 7), np.float32)
    same(name, image, *extra, size=3, axes=(1, 3))
    same(name, image, *extra, size=(3, 2, 3), axes=(-1, 0, 2), origin=(1, 0, -1))
    same(name, image, *extra, footprint=np.ones((3, 1, 3, 1)))


@pytest.mark.parametrize("output", [np.int8, np.uint8, np.float64, np.complex128, bool, "array"],
                         ids=str)
def test_output(output):
    image = data((8, 9), np.float64) / 7
    same("minimum_filter", image, size=2, output=output)
    if output is not np.complex128:  # SciPy's 1D path would store raw bytes
        same("median_filter", image, size=1, output=output)
    if output == "array":
        out = np.zeros((8, 9), np.int32)
        assert same("median_filter", image, size=3, output=out) is out
    else:
        same("median_filter", image, size=3, output=output)


def test_in_place_and_lists():
    image = data((9, 10), np.uint8)
    want = sp.median_filter(image, size=3)
    work = image.copy()
    mv.median_filter(work, size=3, output=work)
    np.testing.assert_array_equal(work, want)
    same("median_filter", [[3, 1, 2], [9, 8, 7]], size=2)
    same("maximum_filter", np.array(5.0), size=1)
    same("minimum_filter", np.zeros((0, 4)), size=3)


@pytest.mark.parametrize("kwargs", [
    dict(), dict(size=0), dict(size=-1), dict(size=2.0), dict(size=(3,)), dict(size=(3, 3, 3)),
    dict(size=3, origin=5), dict(size=3, origin=1.5), dict(size=3, origin=(0,)),
    dict(size=3, mode="bogus"), dict(size=3, mode=["wrap"]), dict(size=3, cval="x"),
    dict(footprint=np.ones(3)), dict(footprint=np.zeros((3, 3))),
    dict(size=3, axes=(2,)), dict(size=3, axes=(1, 1)), dict(size=3, output=np.zeros(3)),
    dict(size=3, output=np.float16), dict(footprint=[[1, 0, 1]], mode=["wrap", "wrap"]),
], ids=repr)
@pytest.mark.parametrize("name, extra", CALLS + [("percentile_filter", (101,)),
                                                 ("rank_filter", (9,)),
                                                 ("rank_filter", (-10,))],
                         ids=lambda c: str(c))
def test_rejected_like_scipy(name, extra, kwargs):
    same(name, data((4, 5), np.float64), *extra, **kwargs)


@pytest.mark.parametrize("image", [np.zeros((3, 3), np.complex64), np.zeros(3, object),
                                   np.zeros((3, 3), np.float16)], ids=str)
def test_rejected_types(image):
    for name in ("median_filter", "minimum_filter"):
        same(name, image, size=3)


def test_workers_and_warning():
    image = data((64, 70), np.float32)
    want = sp.median_filter(image, size=5)
    np.testing.assert_array_equal(mv.median_filter(image, size=5, workers=2), want)
    with pytest.warns(UserWarning, match="ignoring size"):
        mv.median_filter(image, size=3, footprint=np.ones((3, 3)))


def test_nan_ranks_last():
    """Windows holding NaN: NaN is the largest value."""
    image = np.array([[1.0, np.nan, 3.0, 0.5, np.nan, np.nan, 2.0]])
    np.testing.assert_array_equal(mv.maximum_filter(image, size=(1, 3), mode="nearest"),
                                  [[np.nan] * 6 + [np.nan]])
    np.testing.assert_array_equal(mv.minimum_filter(image, size=(1, 3), mode="nearest"),
                                  [[1.0, 1.0, 0.5, 0.5, 0.5, 2.0, 2.0]])
    np.testing.assert_array_equal(mv.median_filter(image, size=(1, 3), mode="nearest"),
                                  [[1.0, 3.0, 3.0, 3.0, np.nan, np.nan, 2.0]])


@pytest.mark.parametrize("name, extra", CALLS, ids=lambda c: str(c))
@pytest.mark.parametrize("axes", [(1, 0), (0, 1), (2, 1), (2, 0), (1, 2, 0)], ids=str)
def test_axes_orders_and_origins(name, extra, axes):
    """Footprints of every kind on axes given out of order, with origins of
    every axis (extent-1 ones included), as SciPy places and checks them."""
    image = data((6, 7, 5), np.int16)
    n = len(axes)
    shapes = [(2, 3, 1)[:n], (1, 4, 2)[:n]]
    for fp_shape in shapes:
        fps = [RNG.random(fp_shape) < 0.7, np.ones(fp_shape, bool)]
        origins = [0, 1, -1] + [tuple(o) for o in np.ndindex(*(3,) * n)]
        for origin in origins:
            origin = origin if np.ndim(origin) == 0 else tuple(o - 1 for o in origin)
            for fp in fps:
                same(name, image, *extra, footprint=fp, axes=axes, origin=origin)
            same(name, image, *extra, size=fp_shape, axes=axes, origin=origin)


@pytest.mark.parametrize("percentile", ["50", b"50", "fifty"])
def test_percentile_as_a_string_is_refused(percentile):
    with pytest.raises(TypeError):
        sp.percentile_filter(np.arange(9.0).reshape(3, 3), percentile, size=3)
    with pytest.raises(TypeError):
        mv.percentile_filter(np.arange(9.0).reshape(3, 3), percentile, size=3)
