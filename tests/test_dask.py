"""apply_dask: every filter on dask arrays, computed on a dask.distributed
cluster of two worker processes, equals the in-memory filter."""

import dask
import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster, get_task_stream

from morvane.filters.rank import (apply_dask, histogram, maximum, mean, median, minimum,
                                  percentile)


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


# Filter name -> (function, keyword arguments).
FILTERS = {
    "median": (median, {}),
    "percentile_0.25": (percentile, {"p": 0.25}),
    "percentile_0.3": (percentile, {"p": 0.3}),
    "mean": (mean, {}),
    "minimum": (minimum, {}),
    "maximum": (maximum, {}),
    "histogram": (histogram, {}),
    "histogram_normalized": (histogram, {"normalized": True}),
}


def in_memory(name, image, footprint, mask, shift, **kw):
    f, defaults = FILTERS[name]
    kw = dict(defaults, **kw)
    if f is percentile:
        return f(image, footprint, kw.pop("p"), mask=mask, shift=shift, **kw)
    return f(image, footprint, mask=mask, shift=shift, **kw)


def _footprint(shape, seed):
    """Irregular footprint whose corners and middle entry are members, so
    that with the shifts used here no window is empty."""
    fp = np.random.default_rng(seed).random(shape) < 0.6
    for corner in np.ndindex(*(2,) * len(shape)):
        fp[tuple(c * (n - 1) for c, n in zip(corner, shape))] = True
    fp[tuple(n // 2 for n in shape)] = True
    return fp


def _image(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    if dtype == np.uint8:
        return rng.integers(0, 256, shape, dtype=np.uint8)
    return rng.integers(0, 60001, shape, dtype=np.uint16)


def _mask(shape, seed):
    """Random, but every border pixel counted."""
    mask = np.random.default_rng(seed).random(shape) < 0.75
    inner = tuple(slice(1, n - 1) for n in shape)
    border = np.ones(shape, bool)
    border[inner] = False
    return mask | border


SHAPES = {2: (40, 50), 3: (8, 12, 14)}
# Chunks smaller than the reach make many blocks: a smaller image keeps them few.
SMALL_SHAPES = {2: (16, 20), 3: (6, 7, 8)}
FOOTPRINT_SHAPES = {2: (7, 5), 3: (3, 4, 5)}


def _shift(ndim, kind):
    fp_shape = FOOTPRINT_SHAPES[ndim]
    if kind == "none":
        return None
    low = tuple(-(e // 2) for e in fp_shape)
    high = tuple(e - 1 - e // 2 for e in fp_shape)
    if kind == "low":
        return low
    if kind == "high":
        return high
    return (high[0],) + low[1:]  # mixed


# chunks: "small" is smaller than the footprint's reach along every axis.
CHUNKS = {2: {"small": (4, 3), "uneven": (13, 17), "large": (25, 30), "whole": (40, 50)},
          3: {"small": (2, 2, 3), "uneven": (3, 5, 9), "large": (6, 10, 12),
              "whole": (8, 12, 14)}}

CASES = [
    # ndim, dtype, chunks, shift, mask ("none", "numpy", "dask")
    (2, np.uint8, "small", "none", "none"),
    (2, np.uint8, "small", "low", "numpy"),
    (2, np.uint8, "uneven", "mixed", "dask"),
    (2, np.uint8, "large", "high", "none"),
    (2, np.uint16, "small", "high", "dask"),
    (2, np.uint16, "uneven", "none", "numpy"),
    (2, np.uint16, "large", "low", "dask"),
    (2, np.uint16, "whole", "mixed", "numpy"),
    (3, np.uint8, "small", "mixed", "none"),
    (3, np.uint8, "uneven", "high", "dask"),
    (3, np.uint8, "large", "low", "numpy"),
    (3, np.uint16, "small", "low", "numpy"),
    (3, np.uint16, "uneven", "mixed", "none"),
    (3, np.uint16, "large", "none", "dask"),
    (3, np.uint16, "whole", "high", "dask"),
]


def _case_id(case):
    ndim, dtype, chunks, shift, mask = case
    return f"{ndim}d-{np.dtype(dtype).name}-chunks_{chunks}-shift_{shift}-mask_{mask}"


SCALAR = ["median", "percentile_0.25", "percentile_0.3", "mean", "minimum", "maximum"]
HISTOGRAMS = ["histogram", "histogram_normalized"]


def _run_case(client, case, names):
    """Filter one case with the named filters through apply_dask on the
    cluster and in memory; return a list of problems."""
    ndim, dtype, chunks_key, shift_key, mask_key = case
    seed = sum(map(ord, _case_id(case)))
    image = _image((SMALL_SHAPES if chunks_key == "small" else SHAPES)[ndim], dtype, seed)
    if names is HISTOGRAMS and dtype == np.uint16:
        image = image // 500  # max + 1 bins: keep them short
    fp = _footprint(FOOTPRINT_SHAPES[ndim], seed + 1)
    shift = _shift(ndim, shift_key)
    chunks = CHUNKS[ndim][chunks_key]
    array = da.from_array(image, chunks=chunks)
    mask = dmask = None
    if mask_key != "none":
        mask = _mask(image.shape, seed + 2)
        # A dask mask is chunked unlike the image.
        dmask = mask if mask_key == "numpy" else da.from_array(
            mask, chunks=tuple(max(1, c - 1) for c in chunks))
    # Every window of these cases holds a counted pixel (see _footprint, _mask).
    assert not np.isnan(mean(image, fp, mask=mask, shift=shift)).any()

    problems = []
    lazy, wanted = {}, {}
    for name in names:
        f, kw = FILTERS[name]
        if f is histogram and dtype == np.uint16:
            kw = dict(kw, bins=int(image.max()) + 1)
        lazy[name] = apply_dask(f, array, fp, mask=dmask, shift=shift, **kw)
        wanted[name] = in_memory(name, image, fp, mask, shift, **kw)
        if not isinstance(lazy[name], da.Array):
            problems.append(f"{name}: not a dask array but {type(lazy[name])}")
        elif lazy[name].shape != wanted[name].shape or lazy[name].dtype != wanted[name].dtype:
            problems.append(f"{name}: lazy result has shape {lazy[name].shape} and dtype "
                            f"{lazy[name].dtype}, want {wanted[name].shape} and "
                            f"{wanted[name].dtype}")
    with get_task_stream(client) as stream:
        futures = client.compute(list(lazy.values()))
        results = dict(zip(lazy, client.gather(futures)))
    assert stream.data, "nothing ran on the cluster"
    for name, got in results.items():
        want = wanted[name]
        if got.shape != want.shape or got.dtype != want.dtype:
            problems.append(f"{name}: computed shape {got.shape} and dtype {got.dtype}, "
                            f"want {want.shape} and {want.dtype}")
            continue
        same = (np.isclose(got, want, rtol=1e-12, atol=0) if name == "mean"
                else got == want)
        if not same.all():
            where = tuple(int(i) for i in np.argwhere(~same)[0])
            problems.append(f"{name}: {int((~same).sum())} values differ, first at {where}: "
                            f"{got[where]!r} instead of {want[where]!r}")
    return problems


@pytest.mark.parametrize("case", CASES, ids=_case_id)
def test_apply_dask_equals_in_memory(client, case):
    problems = _run_case(client, case, SCALAR)
    assert not problems, "\n".join(problems)


HISTOGRAM_CASES = [case for k, case in enumerate(CASES) if k % 2 == 0]


@pytest.mark.parametrize("case", HISTOGRAM_CASES, ids=_case_id)
def test_apply_dask_histogram_equals_in_memory(client, case):
    problems = _run_case(client, case, HISTOGRAMS)
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("ndim", [2, 3])
def test_empty_windows_through_dask(client, ndim, dtype):
    """A block of masked-out pixels wider than the footprint: the windows
    inside it are empty (0, NaN, zero histograms) whichever block they fall in."""
    shape = SHAPES[ndim]
    image = _image(shape, dtype, 5) | 1  # no zero anywhere
    fp = np.ones((3,) * ndim, bool)
    mask = np.ones(shape, bool)
    mask[tuple(slice(1, n - 1) for n in shape)] = False
    chunks = CHUNKS[ndim]["uneven"]
    dmask = da.from_array(mask, chunks=chunks)
    names = ["median", "percentile_0.3", "minimum", "maximum", "mean", "histogram_normalized"]
    hist_image = image if dtype == np.uint8 else image // 1000
    lazy = []
    for name in names:
        f, kw = FILTERS[name]
        src = hist_image if f is histogram else image
        if f is histogram and dtype == np.uint16:
            kw = dict(kw, bins=int(src.max()) + 1)
        lazy.append(apply_dask(f, da.from_array(src, chunks=chunks), fp, mask=dmask, **kw))
    results = dask.compute(*lazy)  # the client is the default scheduler
    empty = np.zeros(shape, bool)
    empty[tuple(slice(2, n - 2) for n in shape)] = True
    for name, got in zip(names, results):
        src = hist_image if name.startswith("histogram") else image
        extra = {"bins": int(src.max()) + 1} if name.startswith("histogram") else {}
        want = in_memory(name, src, fp, mask, None, **extra)
        assert got.shape == want.shape, name
        if name == "mean":
            np.testing.assert_array_equal(np.isnan(got), empty)
        elif name.startswith("histogram"):
            assert not got[empty].any()
            np.testing.assert_allclose(got[~empty].sum(axis=-1), 1.0)
        else:
            np.testing.assert_array_equal(got[empty], 0, err_msg=f"{name}: empty windows")
            assert got[~empty].all(), name
        np.testing.assert_array_equal(got, want, err_msg=name)


def test_numpy_input_and_dot_compute(client):
    image = _image((40, 50), np.uint16, 9)
    fp = _footprint((5, 5), 10)
    lazy = apply_dask(percentile, image, fp, p=0.75, shift=(2, -2))
    assert isinstance(lazy, da.Array)
    np.testing.assert_array_equal(lazy.compute(), percentile(image, fp, 0.75, shift=(2, -2)))


def test_runs_on_worker_processes(client):
    import os

    pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    where = client.run(lambda: __import__("morvane.filters.rank._api", fromlist=["x"]).__file__)
    import morvane.filters.rank._api as api

    assert set(where.values()) == {api.__file__}


def test_lazy_metadata():
    image = da.zeros((40, 50), dtype=np.uint16, chunks=(10, 10))
    fp = np.ones((3, 3), bool)
    assert apply_dask(median, image, fp).dtype == np.uint16
    assert apply_dask(minimum, image.astype(np.uint8), fp).dtype == np.uint8
    assert apply_dask(mean, image, fp).dtype == np.float64
    hist = apply_dask(histogram, image.astype(np.uint8), fp, normalized=True)
    assert hist.shape == (40, 50, 256) and hist.dtype == np.float64
    vol = da.zeros((8, 12, 14), dtype=np.uint8, chunks=(4, 6, 7))
    assert apply_dask(histogram, vol, np.ones((3, 3, 3), bool)).shape == (8, 12, 14, 256)


# ---------------------------------------------------------------------------
# Errors (raised when the graph is built)

ARRAY = da.zeros((20, 30), dtype=np.uint8, chunks=(10, 10))
BOX = np.ones((3, 3), bool)


@pytest.mark.parametrize("not_a_filter", [np.median, lambda x, fp, **kw: x, "median", None,
                                          print, da.map_overlap],
                         ids=["np.median", "lambda", "str", "None", "print", "map_overlap"])
def test_not_a_filter(not_a_filter):
    with pytest.raises(TypeError):
        apply_dask(not_a_filter, ARRAY, BOX)


def test_scipy_filter_is_not_a_filter():
    from scipy import ndimage

    with pytest.raises(TypeError):
        apply_dask(ndimage.median_filter, ARRAY, BOX)


MODES = ["ignore", "reflect", "mirror", "nearest", "wrap", "constant", ("wrap", "reflect")]


@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("ndim", [2, 3])
def test_every_mode_equals_in_memory(mode, ndim):
    """Across chunk borders and the array's edges, for footprints that reach
    further on one side than the other, and axes shorter than the reach."""
    rng = np.random.default_rng(31 + ndim)
    shape = (23, 17) if ndim == 2 else (9, 11, 7)
    image = rng.integers(0, 50, shape).astype(np.int16) - 20
    fp = _footprint((5, 3) if ndim == 2 else (3, 5, 3), 32)
    shift = (1, -1) if ndim == 2 else (0, 2, 1)
    mode = mode if isinstance(mode, str) or ndim == 2 else mode + ("nearest",)
    array = da.from_array(image, chunks=(6, 5) if ndim == 2 else (4, 4, 3))
    calls = [(median, {}), (percentile, {"p": 0.8}), (mean, {}), (minimum, {}),
             (histogram, {"bins": 7})]
    for f, kw in calls:
        kw = dict(kw, mode=mode, cval=-3, shift=shift)
        got = apply_dask(f, array, fp, **kw).compute(scheduler="sync")
        np.testing.assert_array_equal(got, f(image, fp, **kw), err_msg=f.__name__)
    tall = np.ones((31, 1) if ndim == 2 else (11, 1, 1), bool)  # longer than the array
    got = apply_dask(median, array, tall, mode=mode).compute(scheduler="sync")
    np.testing.assert_array_equal(got, median(image, tall, mode=mode))


@pytest.mark.parametrize("dtype", [np.float32, np.int16, np.uint32, bool, np.float64])
def test_histogram_of_other_dtypes(dtype):
    image = (np.random.default_rng(33).normal(size=(20, 30)) * 40).astype(dtype)
    if dtype == np.float32:
        image[3, 4] = np.nan
    kw = {"bins": 9, "mode": "constant", "cval": 5} if dtype is not bool else {}
    got = apply_dask(histogram, da.from_array(image, chunks=7), BOX, **kw)
    np.testing.assert_array_equal(got.compute(scheduler="sync"), histogram(image, BOX, **kw))


def test_channels():
    rgb = np.random.default_rng(34).integers(0, 256, (19, 23, 3), dtype=np.uint8)
    array = da.from_array(rgb, chunks=(7, 8, 2))
    mask = np.random.default_rng(35).random((19, 23)) < 0.8
    for f, kw in ((median, {}), (histogram, {"bins": 4}), (mean, {"mode": "wrap"})):
        got = apply_dask(f, array, radius=2, channels=-1, mask=mask, **kw)
        np.testing.assert_array_equal(got.compute(scheduler="sync"),
                                      f(rgb, radius=2, channels=-1, mask=mask, **kw))


def _error(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return type(error), str(error)
    return None


@pytest.mark.parametrize("f, kw", [
    (percentile, {"p": "0.5"}), (percentile, {}), (median, {"mode": "bogus"}),
    (median, {"mode": ("wrap",)}), (median, {"workers": -1}), (median, {"channels": 5}),
    (median, {"radius": "2", "footprint": None}), (median, {"size": 0, "footprint": None}),
    (median, {"shift": (4, 0)}), (median, {"bogus": 1}), (histogram, {"bins": 0}),
    (histogram, {"normalized": 1}), (histogram, {"dtype": np.uint8, "footprint": np.ones(
        (17, 17), bool)}), (mean, {"p": 0.5}), (median, {"mask": np.ones((20, 30), complex)}),
], ids=lambda v: getattr(v, "__name__", None) or str(sorted(v)))
def test_errors_are_those_of_the_in_memory_call(f, kw):
    kw = dict({"footprint": BOX}, **kw)
    want = _error(lambda: f(np.zeros((20, 30), np.uint8), **kw))
    assert want is not None
    assert _error(lambda: apply_dask(f, ARRAY, **kw)) == want


@pytest.mark.parametrize("dtype", [np.complex64, "U2"])
@pytest.mark.parametrize("f", [median, mean, histogram])
def test_wrong_dtype(f, dtype):
    with pytest.raises(TypeError):
        apply_dask(f, ARRAY.astype(dtype), BOX)


def test_other_errors():
    with pytest.raises(ValueError):
        apply_dask(median, da.zeros((20,), dtype=np.uint8, chunks=5), np.ones(3, bool))
    with pytest.raises(ValueError):
        apply_dask(median, da.zeros((2, 3, 4, 5), dtype=np.uint8), np.ones((1, 1, 1, 1), bool))
    with pytest.raises(ValueError):
        apply_dask(median, ARRAY, np.ones((3, 3, 3), bool))
    with pytest.raises(TypeError):
        apply_dask(median, ARRAY, np.ones((3, 3), np.complex128))
    with pytest.raises(ValueError):
        apply_dask(median, ARRAY, BOX, shift=(2, 0))
    with pytest.raises(ValueError):
        apply_dask(median, ARRAY, BOX, shift=(0,))
    with pytest.raises(ValueError):
        apply_dask(median, ARRAY, BOX, mask=np.ones((30, 20), bool))
    with pytest.raises(ValueError):
        apply_dask(mean, ARRAY, BOX, mask=da.ones((20, 31), dtype=bool))
    with pytest.raises(TypeError):
        apply_dask(median, ARRAY, BOX, out=np.empty((20, 30), np.uint8))
    with pytest.raises(TypeError):
        apply_dask(histogram, ARRAY, BOX, p=0.5)


# ---------------------------------------------------------------------------
# The graph: short trailing chunks, nothing computed while it is built


@pytest.mark.parametrize("name", ["median", "mean", "histogram"])
def test_short_trailing_chunk(client, name):
    """A last chunk thinner than the overlap (41 rows in chunks of 20) keeps
    the other chunks as they are, and the result equals the in-memory one."""
    image = _image((41, 37), np.uint8, 11)
    fp = _footprint((9, 7), 12)
    shift = (3, -2)
    f, kw = FILTERS[name]
    lazy = apply_dask(f, da.from_array(image, chunks=(20, 18)), fp, shift=shift, **kw)
    assert max(lazy.chunks[0]) <= 21 and max(lazy.chunks[1]) <= 19
    np.testing.assert_array_equal(lazy.compute(), in_memory(name, image, fp, None, shift))


def _poisoned(shape, dtype):
    """A dask array whose blocks raise when computed."""
    def boom(block):
        raise RuntimeError("computed")
    return da.zeros(shape, dtype=dtype, chunks=10).map_blocks(boom, dtype=dtype)


@pytest.mark.parametrize("name", sorted(FILTERS))
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_graph_builds_without_computing(name, dtype):
    f, kw = FILTERS[name]
    if f is histogram and dtype == np.uint16:
        kw = dict(kw, bins=16)
    array = _poisoned((30, 25), dtype)
    lazy = apply_dask(f, array, BOX, mask=_poisoned((30, 25), bool), **kw)
    assert lazy.shape[:2] == (30, 25)
    with pytest.raises(RuntimeError, match="computed"):
        lazy.compute(scheduler="sync")


def test_uint16_histogram_groups_like_in_memory(client):
    image = _image((30, 40), np.uint16, 13)
    fp = _footprint((3, 5), 14)
    lazy = apply_dask(histogram, da.from_array(image, chunks=(7, 9)), fp, bins=32,
                      shift=(1, -2))
    want = histogram(image, fp, bins=32, shift=(1, -2))
    assert lazy.shape == want.shape and lazy.dtype == want.dtype
    np.testing.assert_array_equal(lazy.compute(), want)
    with pytest.raises(ValueError, match="needs bins="):
        apply_dask(histogram, da.from_array(image, chunks=10), fp)


@pytest.mark.parametrize("dtype", [np.float32, np.int16, np.int64])
def test_other_dtypes_size_radius_and_modes(client, dtype):
    rng = np.random.default_rng(15)
    image = (rng.normal(size=(30, 41)) * 100).astype(dtype)
    array = da.from_array(image, chunks=(8, 9))
    for f, kw in ((median, dict(size=5, mode="reflect")), (maximum, dict(radius=2)),
                  (mean, dict(size=(3, 5), mode="constant", cval=2))):
        lazy = apply_dask(f, array, shift=(1, -1), **kw)
        np.testing.assert_allclose(lazy.compute(), f(image, shift=(1, -1), **kw), rtol=1e-12)
