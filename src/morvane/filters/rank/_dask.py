"""Rank filters of dask arrays, block by block with the overlap they need."""

import numpy as np

from . import _api

_SCALAR_FILTERS = {
    _api.median: None, _api.percentile: None, _api.minimum: None, _api.maximum: None,
    _api.mean: np.float64,
}


def apply_dask(filter, array, footprint=None, *, size=None, radius=None, mask=None,
               shift=None, **kwargs):
    """Apply one of this package's filters to a dask array, lazily.

    Each block is filtered with the neighbouring pixels its windows reach
    (``dask.array.map_overlap`` with ``boundary="none"``, so nothing is added
    beyond the array's own border), which makes the result equal the
    in-memory filter's, pixel for pixel. Building the graph computes nothing.

    Parameters
    ----------
    filter : callable
        ``median``, ``percentile``, ``mean``, ``minimum``, ``maximum`` or
        ``histogram`` of ``morvane.filters.rank``.
    array : dask array or array_like of real numbers, 2D or 3D
        The image or volume (uint8 or uint16 for ``histogram``).
    footprint : array_like of real numbers, optional
        As for the filter; or give ``size`` or ``radius``.
    size : int or sequence of ints, optional
        A box footprint, as for the filter.
    radius : float, optional
        A disk or ball footprint, as for the filter.
    mask : dask array or array_like, optional
        The array's shape; only pixels where it is non-zero are counted.
    shift : sequence of ints, optional
        As for the filter.
    **kwargs
        The filter's own keyword arguments: ``p`` for ``percentile``,
        ``mode`` and ``cval`` (the border of the whole array);
        ``normalized``, ``bins`` and ``dtype`` for ``histogram``. ``bins`` is
        required for the histogram of a uint16 array (by default every value
        has its own bin, which would need the array's maximum in advance).

    Returns
    -------
    dask array
        The filter's result, lazily: the array's shape (``+ (bins,)`` for a
        histogram) and the filter's dtype, chunked like the array.

    Raises
    ------
    TypeError
        For a filter that is not one of the six, an array that does not hold
        real numbers (or, for a histogram, is not uint8 or uint16), ``workers``,
        ``channels`` or ``out`` (they do not apply to dask arrays)
        or an argument the filter does not take.
    ValueError
        For an array that is not 2D or 3D, a mask of another shape, a bad
        footprint or shift, or a uint16 histogram without ``bins``.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> from morvane.filters.rank import apply_dask, median
    >>> image = da.from_array(np.arange(36, dtype=np.uint8).reshape(6, 6), chunks=3)
    >>> smooth = apply_dask(median, image, np.ones((3, 3), bool))
    >>> bool((smooth.compute() == median(image.compute(), np.ones((3, 3), bool))).all())
    True
    """
    import dask.array as da

    if filter is not _api.histogram and filter not in _SCALAR_FILTERS:
        raise TypeError(f"filter must be one of median, percentile, mean, minimum, maximum "
                        f"or histogram, got {filter!r}")
    array = da.asarray(array)
    _api._values.check_dtype(array.dtype, "array")
    if filter is _api.histogram and array.dtype not in (np.uint8, np.uint16):
        # Other types' bins span the values present: they would differ by block.
        raise TypeError(f"the histogram of a dask array needs uint8 or uint16 values, got "
                        f"{array.dtype}")
    if array.ndim not in (2, 3):
        raise ValueError(f"array must have 2 or 3 dimensions, got {array.ndim}")
    footprint = _api._footprint_from(footprint, size, radius, array.ndim)
    shift = _api._shift(shift, footprint.shape)
    if {"workers", "out", "channels"} & set(kwargs):
        raise TypeError("workers, out and channels do not apply to dask arrays")

    # Along every axis, a block needs the pixels its windows reach: as many
    # before it as the centre has footprint rows before it, and the rest after.
    depth = {}
    for axis, (extent, s) in enumerate(zip(footprint.shape, shift)):
        centre = extent // 2 + s
        depth[axis] = (centre, extent - 1 - centre)
    arrays, depths = [array], [depth]
    if mask is not None:
        mask = da.asarray(mask)
        if mask.shape != array.shape:
            raise ValueError(f"mask must have the array's shape {array.shape}, "
                             f"got {mask.shape}")
        arrays.append(mask.rechunk(array.chunks))
        depths.append(depth)

    if filter is _api.histogram:
        return _histogram(array, arrays, depths, footprint, shift, kwargs)

    dtype = _SCALAR_FILTERS[filter] or array.dtype
    if filter is _api.percentile:
        if "p" not in kwargs:
            raise TypeError("percentile needs p")
        kwargs["p"] = _api._fraction(kwargs["p"])
    unexpected = set(kwargs) - {"mode", "cval"} - ({"p"} if filter is _api.percentile
                                                   else set())
    if unexpected:
        raise TypeError(f"unexpected arguments {sorted(unexpected)}")

    def block(x, m=None):
        return filter(x, footprint, mask=m, shift=shift, **kwargs)

    return da.map_overlap(block, *arrays, depth=depths, boundary="none", dtype=dtype,
                          meta=np.empty((0,) * array.ndim, dtype))


def _histogram(array, arrays, depths, footprint, shift, kwargs):
    import dask.array as da

    normalized = _api._flag(kwargs.pop("normalized", False), "normalized")
    bins, dtype = kwargs.pop("bins", None), kwargs.pop("dtype", None)
    if kwargs:
        raise TypeError(f"unexpected arguments {sorted(kwargs)}")
    if array.dtype == np.uint8:
        top, bins = None, _api._bins(bins, 256)
    else:
        if bins is None:
            raise ValueError("the histogram of a uint16 dask array needs bins=: by "
                             "default every value has its own bin, and the number of "
                             "values is not known before the array is computed")
        bins = _api._bins(bins, None)
        # The grouping needs the array's largest value: a lazy one-element
        # array, handed to every block without overlap.
        top = (array.max().astype(np.int64) + 1).reshape((1,) * array.ndim)
        arrays, depths = arrays + [top], depths + [0]
    dtype = _api._count_dtype(int(np.count_nonzero(footprint)), dtype, normalized)

    def block(x, *rest):
        rest = list(rest)  # the mask, if any, then the top, if any
        t = int(rest.pop().item()) if top is not None else 256
        m = rest[0] if rest else None
        return _api._histogram(x, footprint, normalized, m, shift, None, 1, bins, dtype, t)

    # The blocks grow by the overlap and gain a bins axis. map_overlap's own
    # trim misplaces the depths past a new axis, so the overlap is trimmed
    # here, with the bins axis untouched.
    overlapped = da.overlap.overlap(array, depth=depths[0], boundary="none").chunks
    counts = da.map_overlap(block, *arrays, depth=depths, boundary="none", trim=False,
                            new_axis=array.ndim, chunks=overlapped + ((bins,),), dtype=dtype,
                            meta=np.empty((0,) * (array.ndim + 1), dtype))
    return da.overlap.trim_internal(counts, {**depths[0], array.ndim: 0},
                                    boundary="none")
