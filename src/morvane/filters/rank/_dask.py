"""Rank filters of dask arrays, block by block with the overlap they need."""

import warnings

import numpy as np

from . import _api, _progress, _request, _statistics, _values

# The filters of one value per pixel, and their result's dtype (None: the
# array's own; a function: of the array's dtype).
_SCALAR_FILTERS = {
    _api.median: None, _api.percentile: None, _api.minimum: None, _api.maximum: None,
    _api.mean: np.float64, _statistics.variance: np.float64, _statistics.std: np.float64,
    _statistics.entropy: np.float64, _statistics.generic: np.float64,
    _statistics.mode: None, _statistics.remove_outliers: None,
    _statistics.gradient: _statistics._difference_dtype,
    _statistics.tophat: _statistics._difference_dtype,
    _statistics.local_threshold: np.bool_,
}
_NAMES = ", ".join(f.__name__ for f in _SCALAR_FILTERS) + " or histogram"


def apply_dask(filter, array, footprint=None, *, size=None, radius=None, mask=None,
               shift=None, **kwargs):
    """Apply one of this package's filters to a dask array, lazily.

    Each block is filtered with the neighbouring pixels its windows reach
    (``dask.array.map_overlap``): the array's own pixels inside it, and at
    the array's border what the border mode puts there (for "wrap", the far
    side of the array), which makes the result equal the in-memory
    filter's, pixel for pixel, for every mode. Building the graph computes
    nothing.

    Parameters
    ----------
    filter : callable
        ``median``, ``percentile``, ``mean``, ``minimum``, ``maximum``,
        ``histogram``, ``variance``, ``std``, ``gradient``, ``mode``,
        ``entropy``, ``remove_outliers``, ``tophat``, ``local_threshold`` or
        ``generic`` of ``morvane.filters.rank``.
    array : dask array or array_like of real numbers, 2D or 3D
        The image or volume, with one more axis for colour channels when
        ``channels`` says which.
    footprint : array_like of real numbers, optional
        As for the filter; or give ``size`` or ``radius``.
    size : int or sequence of ints, optional
        A box footprint, as for the filter.
    radius : float, optional
        A disk or ball footprint, as for the filter.
    mask : dask array or array_like, optional
        The array's shape (or, with ``channels``, its shape without that
        axis); only pixels where it is non-zero are counted.
    shift : sequence of ints, optional
        As for the filter.
    **kwargs
        The filter's other keyword arguments, as it takes them (``kernel``
        of ``generic`` among them, by name): ``p`` for ``percentile``;
        ``mode`` and ``cval`` (the border of the whole array); ``channels``;
        ``workers`` (threads for each block, default 1); ``progress`` (True
        for a bar on stderr, or a callable told ``(done, total)`` blocks as
        they finish: under dask's threaded or synchronous scheduler; with
        processes or a cluster each worker counts its own, and
        ``distributed.progress`` shows a cluster's); ``normalized``,
        ``bins``, ``dtype`` and ``max_bytes`` (a bound on each block's
        result) for ``histogram``. ``bins`` is required for
        the histogram of an integer array other than uint8 (by default
        every value has its own bin, which would need the array's values in
        advance).

    Returns
    -------
    dask array
        The filter's result, lazily: the array's shape (``+ (bins,)`` for a
        histogram) and the filter's dtype, chunked like the array.

    Raises
    ------
    TypeError
        For a filter that is not one of these, ``out`` (a dask result is
        lazy: store it with ``dask.array.store``), ``return_threshold``, or
        any argument the filter itself refuses with a TypeError.
    ValueError
        For a mask of another shape, a histogram of integers without
        ``bins``, or any argument the filter itself refuses with a
        ValueError.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> from morvane.filters.rank import apply_dask, median
    >>> image = da.from_array(np.arange(36, dtype=np.uint8).reshape(6, 6), chunks=3)
    >>> smooth = apply_dask(median, image, np.ones((3, 3), bool), mode="wrap")
    >>> bool((smooth.compute() == median(image.compute(), np.ones((3, 3), bool),
    ...                                  mode="wrap")).all())
    True
    """
    import dask.array as da

    if filter is not _api.histogram and filter not in _SCALAR_FILTERS:
        raise TypeError(f"filter must be one of {_NAMES}, got {filter!r}")
    if kwargs.get("return_threshold"):
        raise TypeError("return_threshold does not apply to dask arrays: filter the "
                        "threshold with a second call")
    if "out" in kwargs:
        raise TypeError("out does not apply to dask arrays: the result is a lazy dask array "
                        "(store it with dask.array.store or to_zarr)")
    report = _progress.reporter(kwargs.pop("progress", None), getattr(filter, "__name__", "filter"))
    array = da.asarray(array)
    _values.check_dtype(array.dtype, "array")
    channels = kwargs.get("channels")
    ndim = array.ndim - (channels is not None)
    # Every argument is checked by the filter itself, on a one-pixel sample
    # of the array's type, so that a dask call accepts and refuses exactly
    # what an in-memory call does.
    sample = np.zeros((1,) * array.ndim, array.dtype)
    sample_mask = None if mask is None else np.zeros((1,) * array.ndim,
                                                     getattr(mask, "dtype", np.uint8))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        filter(sample, footprint=footprint, size=size, radius=radius, shift=shift,
               mask=sample_mask, **kwargs)
    if channels is None:
        _request.colour_warning(array, footprint, size, radius, stacklevel=2)
    footprint = _request.footprint_from(footprint, size, radius, ndim)
    shift = _request.shift_of(shift, footprint.shape)
    modes = _request.modes_of(kwargs.pop("mode", "ignore"), ndim)
    axis = None if channels is None else _request.axis_of(channels, array.ndim, "channels")
    spatial = [d for d in range(array.ndim) if d != axis]

    arrays = [array]
    if mask is not None:
        mask = da.asarray(mask)
        shape_without = tuple(array.shape[d] for d in spatial)
        if axis is not None and mask.shape == shape_without:
            mask = da.broadcast_to(da.expand_dims(mask, axis), array.shape)
        if mask.shape != array.shape:
            raise ValueError(f"mask must have the image's shape {array.shape}, "
                             f"got {mask.shape}")
        arrays.append(mask)

    # Along every axis a block needs the pixels its windows reach. "wrap"
    # takes them from the far side of the array (dask's periodic boundary,
    # which needs the same depth on both sides); an axis shorter than the
    # reach is kept whole, and the filter extends it as in memory.
    before, after = _request.reach(footprint.shape, shift)
    if filter is _statistics.tophat:
        # A filter of a filter: each reach is both of them.
        before = after = [b + a for b, a in zip(before, after)]
    depth, boundary, block_modes = {}, {}, list(modes)
    chunks = dict(enumerate(array.chunks))
    for k, (d, b, a, m) in enumerate(zip(spatial, before, after, modes)):
        if max(b, a) >= array.shape[d]:
            chunks[d] = (array.shape[d],) if array.shape[d] else ()
            depth[d], boundary[d] = 0, "none"
        elif _values.PAD_MODES.get(m) == "wrap":
            depth[d], boundary[d] = max(b, a), "periodic"
            block_modes[k] = "ignore"  # the overlap holds what wrapping adds
        else:
            depth[d], boundary[d] = (b, a), "none"
            if m != "ignore":
                # The filter extends the first and last blocks itself: they
                # must hold what it mirrors.
                chunks[d] = _edge_chunks(chunks[d], max(b, a) + 1)
    if axis is not None:
        depth[axis], boundary[axis] = 0, "none"
    arrays = [x.rechunk(tuple(chunks[d] for d in range(array.ndim))) for x in arrays]
    kwargs["mode"] = tuple(block_modes)

    # Blocks count as they finish, on whatever thread computes them.
    blocks = None if report is None else _progress.Blocks(report,
                                                          int(np.prod(arrays[0].numblocks)))
    if filter is _api.histogram:
        return _histogram(arrays, footprint, shift, depth, boundary, kwargs, blocks)

    dtype = _SCALAR_FILTERS[filter] or array.dtype.newbyteorder("=")
    if callable(dtype) and not isinstance(dtype, type):
        dtype = dtype(array.dtype)
    dtype = np.dtype(dtype)

    def block(x, m=None):
        result = filter(x, footprint=footprint, mask=m, shift=shift, **kwargs)
        if blocks is not None:
            blocks.tick()
        return result

    return da.map_overlap(block, *arrays, depth=depth, boundary=boundary, dtype=dtype,
                          meta=np.empty((0,) * array.ndim, dtype))


def _edge_chunks(chunks, need):
    """Chunks whose first and last are at least `need` long (when the axis
    is), merged with their neighbours where they are shorter."""
    chunks = list(chunks)
    while len(chunks) > 1 and chunks[-1] < need:
        chunks[-2:] = [chunks[-2] + chunks[-1]]
    while len(chunks) > 1 and chunks[0] < need:
        chunks[:2] = [chunks[0] + chunks[1]]
    return tuple(chunks)


def _histogram(arrays, footprint, shift, depth, boundary, kwargs, blocks):
    import dask.array as da

    array = arrays[0]
    dtype = array.dtype
    normalized = kwargs.pop("normalized", False)
    bins, count_dtype = kwargs.pop("bins", None), kwargs.pop("dtype", None)
    max_bytes = kwargs.pop("max_bytes", _api.MAX_HISTOGRAM_BYTES)
    if dtype.kind in "iu" and dtype != np.uint8 and bins is None:
        raise ValueError(f"the histogram of a {dtype} dask array needs bins=: by default "
                         f"every value has its own bin, and the values are not known "
                         f"before the array is computed")
    bins = _request.bins_of(bins, 256 if dtype == np.uint8 else 2 if dtype == np.bool_ else 256)
    count_dtype = _request.count_dtype(int(np.count_nonzero(footprint)), count_dtype,
                                    _request.flag(normalized, "normalized"))
    extremes = None
    if dtype not in (np.uint8, bool):
        # The bins span the whole array's values: its extremes, lazily, as a
        # two-element array handed whole to every block.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # an all-NaN array
            low, high = ((da.nanmin(array), da.nanmax(array)) if dtype.kind == "f"
                         else (array.min(), array.max()))
        kind = np.float64 if dtype.kind == "f" else dtype
        extremes = [v.astype(kind).reshape((1,) * array.ndim) for v in (low, high)]

    def block(x, *rest):
        rest = list(rest)  # the mask, if any, then the extremes, if any
        given = None
        if extremes is not None:
            high, low = rest.pop(), rest.pop()
            given = _raw(low.item(), high.item(), dtype)
        m = rest[0] if rest else None
        fill = None
        if any(_values.PAD_MODES.get(md) == "constant" for md in kwargs["mode"]):
            fill = _values.cast_like(kwargs.get("cval", 0.0), dtype)
        span = None if given is None else _api._with_fill(given, fill)
        result = _api._histogram_of(x, footprint, None, None, normalized, bins, count_dtype, m,
                                    shift, kwargs["mode"], kwargs.get("cval", 0.0), None,
                                    kwargs.get("workers", 1), kwargs.get("channels"),
                                    max_bytes, extremes=span)
        if blocks is not None:
            blocks.tick()
        return result

    extra = extremes or []
    inputs = arrays + extra
    depths = [depth] * len(arrays) + [0] * len(extra)
    boundaries = [boundary] * len(arrays) + ["none"] * len(extra)
    # The blocks grow by the overlap and gain a bins axis. map_overlap's own
    # trim misplaces the depths past a new axis, so the overlap is trimmed
    # here, with the bins axis untouched.
    overlapped = da.overlap.overlap(array, depth=depth, boundary=boundary).chunks
    counts = da.map_overlap(block, *inputs, depth=depths, boundary=boundaries, trim=False,
                            new_axis=array.ndim, chunks=overlapped + ((bins,),),
                            dtype=count_dtype, meta=np.empty((0,) * (array.ndim + 1),
                                                             count_dtype))
    return da.overlap.trim_internal(counts, {**depth, array.ndim: 0},
                                    boundary={**boundary, array.ndim: "none"})


def _raw(low, high, dtype):
    """The (smallest, largest) counted values from the lazy reductions;
    (0, 0) for an array without any (all NaN)."""
    if dtype.kind == "f":
        return (0.0, 0.0) if np.isnan(low) else (float(low), float(high))
    return int(low), int(high)
