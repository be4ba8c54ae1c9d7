"""Rank filters of dask arrays, block by block with the overlap they need."""

import numpy as np

from . import _api

_SCALAR_FILTERS = {
    _api.median: None, _api.percentile: None, _api.minimum: None, _api.maximum: None,
    _api.mean: np.float64,
}


def apply_dask(filter, array, footprint, *, mask=None, shift=None, **kwargs):
    """Apply one of this package's filters to a dask array.

    ``filter`` is ``median``, ``percentile``, ``mean``, ``minimum``,
    ``maximum`` or ``histogram``; ``kwargs`` are its own keyword arguments
    (``p`` for ``percentile``, ``normalized`` for ``histogram``). Each block
    is filtered with the neighbouring pixels its windows reach and nothing
    beyond the array's own border, so the result equals the in-memory
    filter's. ``mask`` may be a NumPy or dask array of the array's shape.
    Returns a lazy dask array.
    """
    import dask.array as da

    if filter is not _api.histogram and filter not in _SCALAR_FILTERS:
        raise TypeError(f"filter must be one of median, percentile, mean, minimum, maximum "
                        f"or histogram, got {filter!r}")
    array = da.asarray(array)
    if array.dtype not in (np.uint8, np.uint16):
        raise TypeError(f"array must be uint8 or uint16, got {array.dtype}")
    if array.ndim not in (2, 3):
        raise ValueError(f"array must have 2 or 3 dimensions, got {array.ndim}")
    footprint = _api._footprint(footprint, array.ndim)
    shift = _api._shift(shift, footprint.shape)
    if "workers" in kwargs or "out" in kwargs:
        raise TypeError("workers and out do not apply to dask arrays")

    # Each block needs, along every axis, the pixels its windows reach.
    depth = {}
    for axis, (extent, s) in enumerate(zip(footprint.shape, shift)):
        centre = extent // 2 + s
        depth[axis] = max(centre, extent - 1 - centre)
    # Blocks must be at least as deep as the overlap they lend.
    array = array.rechunk({axis: max(depth[axis], min(array.chunks[axis]))
                           for axis in depth if min(array.chunks[axis]) < depth[axis]})
    arrays = [array]
    if mask is not None:
        mask = da.asarray(mask)
        if mask.shape != array.shape:
            raise ValueError(f"mask must have the array's shape {array.shape}, "
                             f"got {mask.shape}")
        arrays.append(mask.rechunk(array.chunks))

    # Overlap each block with its neighbours' pixels (none at the array's own
    # border), filter every block, then trim the overlap off again.
    overlapped = [da.overlap.overlap(a, depth=depth, boundary="none") for a in arrays]
    if filter is _api.histogram:
        bins = 256 if array.dtype == np.uint8 else int(array.max().compute()) + 1
        normalized = kwargs.pop("normalized", False)
        if kwargs:
            raise TypeError(f"unexpected arguments {sorted(kwargs)}")

        def block(x, m=None):
            return _api._histogram(x, footprint, normalized, m, shift, None, 1, bins)

        filtered = da.map_blocks(block, *overlapped, new_axis=array.ndim,
                                 chunks=overlapped[0].chunks + ((bins,),), dtype=np.float64,
                                 meta=np.empty((0,) * (array.ndim + 1)))
    else:
        dtype = _SCALAR_FILTERS[filter] or array.dtype

        def block(x, m=None):
            return filter(x, footprint, mask=m, shift=shift, **kwargs)

        filtered = da.map_blocks(block, *overlapped, dtype=dtype,
                                 meta=np.empty((0,) * array.ndim, dtype))
    return da.overlap.trim_internal(filtered, depth, boundary="none")
