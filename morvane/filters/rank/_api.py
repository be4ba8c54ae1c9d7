"""Rank filters of 2D images and 3D volumes, one function per statistic.

Every function takes an image (2D) or a volume (3D) of uint8 or uint16 and a
footprint of the same number of dimensions, and computes, for every pixel,
a statistic of the values under the footprint: the footprint entry at
``extent // 2 + shift`` along each axis sits on the pixel, every non-zero
entry is a member, pixels outside the image are not counted (no padding),
and where a mask is given only pixels whose mask is non-zero are counted.
"""

import os
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import _filters

__all__ = ["median", "percentile", "mean", "minimum", "maximum", "histogram"]

_RANK_KINDS = (_filters.PERCENTILE, _filters.MINIMUM, _filters.MAXIMUM)


# ---------------------------------------------------------------------------
# Arguments

def _image(image):
    image = np.asarray(image)
    if image.dtype.kind != "u" or image.dtype.itemsize not in (1, 2):
        raise TypeError(f"image must be uint8 or uint16, got {image.dtype}")
    if not image.dtype.isnative:
        image = image.astype(image.dtype.newbyteorder("="))
    if image.ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions, got {image.ndim}")
    return image


def _footprint(footprint, ndim):
    footprint = np.asarray(footprint)
    if footprint.dtype != bool and not np.issubdtype(footprint.dtype, np.integer):
        raise TypeError(f"footprint must be bool or integer, got {footprint.dtype}")
    if footprint.ndim != ndim:
        raise ValueError(f"footprint must have {ndim} dimensions like the image, "
                         f"got {footprint.ndim}")
    if 0 in footprint.shape:
        raise ValueError(f"footprint must not be empty, got shape {footprint.shape}")
    return (footprint != 0).view(np.uint8)


def _mask(mask, shape):
    if mask is None:
        return None
    mask = np.asarray(mask)
    if mask.dtype != bool and not np.issubdtype(mask.dtype, np.integer):
        raise TypeError(f"mask must be bool or integer, got {mask.dtype}")
    if mask.shape != shape:
        raise ValueError(f"mask must have the image's shape {shape}, got {mask.shape}")
    return (mask != 0).view(np.uint8)


def _shift(shift, footprint_shape):
    ndim = len(footprint_shape)
    if shift is None:
        shift = (0,) * ndim
    try:
        shift = tuple(int(s) for s in shift)
    except TypeError:
        raise TypeError(f"shift must be a tuple of {ndim} ints, got {shift!r}") from None
    if len(shift) != ndim:
        raise ValueError(f"shift must have {ndim} entries, one per axis, got {len(shift)}")
    for axis, (s, extent) in enumerate(zip(shift, footprint_shape)):
        low, high = -(extent // 2), extent - 1 - extent // 2
        if not low <= s <= high:
            raise ValueError(f"shift[{axis}] = {s} puts the centre outside the footprint; "
                             f"allowed {low}..{high} for extent {extent}")
    return shift


def _workers(workers):
    if workers is None:
        return os.cpu_count() or 1
    if (isinstance(workers, (bool, np.bool_)) or not isinstance(workers, (int, np.integer))
            or workers < 0):
        raise ValueError(f"workers must be a positive int, 0 or None, got {workers!r}")
    return int(workers) or os.cpu_count() or 1


def _out(out, shape, dtype):
    if out is None:
        return np.empty(shape, dtype)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, got {type(out).__name__}")
    if out.shape != shape or out.dtype != dtype:
        raise ValueError(f"out must have shape {shape} and dtype {np.dtype(dtype)}, "
                         f"got {out.shape} and {out.dtype}")
    if not out.flags.writeable:
        raise ValueError("out must be writeable")
    return out


# ---------------------------------------------------------------------------
# Running the core, in bands along the first axis

def _halo(footprint_shape, shift):
    """Rows (planes) before and after a band that its windows reach."""
    centre = footprint_shape[0] // 2 + shift[0]
    return centre, footprint_shape[0] - 1 - centre


def _run_bands(kind, image, footprint, mask, out, shift, param, bin_count, values,
               workers, bands=None, progress=None):
    """Filter `image` into `out` (which has a trailing depth axis).

    With more than one band, each band is filtered with the rows its windows
    reach (its halo) into a buffer of its own, and the band's rows are copied
    into `out`: every window sees exactly the pixels it sees in one pass."""
    n = image.shape[0]
    bands = max(1, min(bands or workers, n))
    # Several values per pixel must lie side by side; a band buffer keeps
    # them so when `out` does not.
    dense = out.shape[-1] <= 1 or out.strides[-1] == out.itemsize
    if bands == 1 and dense:
        _filters.run(kind, image, footprint, mask, out, shift, param, bin_count, values)
        if progress is not None:
            progress(1, 1)
        return
    before, after = _halo(footprint.shape, shift)
    edges = np.linspace(0, n, bands + 1).round().astype(int)
    done = [0]
    lock = threading.Lock()

    def band(a, b):
        lo, hi = max(0, a - before), min(n, b + after)
        part = np.empty((hi - lo,) + out.shape[1:], out.dtype)
        _filters.run(kind, image[lo:hi], footprint, None if mask is None else mask[lo:hi],
                     part, shift, param, bin_count, values)
        out[a:b] = part[a - lo:b - lo]
        if progress is not None:
            with lock:
                done[0] += 1
                progress(done[0], bands)

    jobs = [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]
    if workers == 1:
        for a, b in jobs:
            band(a, b)
        return
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for future in [pool.submit(band, a, b) for a, b in jobs]:
            future.result()


def _filter(kind, image, footprint, mask, shift, out, workers, param=0.0,
            _bands=None, _progress=None):
    image = _image(image)
    footprint = _footprint(footprint, image.ndim)
    mask = _mask(mask, image.shape)
    shift = _shift(shift, footprint.shape)
    workers = _workers(workers)
    out_dtype = np.float64 if kind == _filters.MEAN else image.dtype
    out = _out(out, image.shape, out_dtype)
    codes, values, bin_count = image, None, 256
    if image.dtype == np.uint16 and image.size:
        # Short histograms: filter codes 1, 2, ... standing for the image's
        # distinct values in order. Rank statistics map back exactly (code 0,
        # the result of an empty window, to 0); the mean weighs each code by
        # its value.
        distinct, inverse = np.unique(image, return_inverse=True)
        if len(distinct) < 65536:
            codes = (inverse.reshape(image.shape) + 1).astype(np.uint16)
            distinct = np.concatenate([[0], distinct]).astype(np.uint16)
            bin_count = len(distinct)
            if kind == _filters.MEAN:
                values = distinct.astype(np.float64)
        else:
            bin_count = 65536
    # Rank statistics of codes are codes: filter into a buffer, map back.
    result = out if codes is image or kind not in _RANK_KINDS else np.empty(
        image.shape, np.uint16)
    _run_bands(kind, codes, footprint, mask, result[..., np.newaxis], shift, param,
               bin_count, values, workers, _bands, _progress)
    if result is not out:
        np.take(distinct, result, out=out)
    return out


# ---------------------------------------------------------------------------
# Public functions

_ARGS = """
    Parameters
    ----------
    image : ndarray of uint8 or uint16, 2D or 3D
    footprint : ndarray of bool or integers, as many dimensions as image
        Non-zero entries are the neighbourhood.
    mask : ndarray, optional
        Same shape as image; only pixels where it is non-zero are counted.
    shift : tuple of ints, optional
        Moves the footprint's centre, one entry per axis (default zeros).
    out : ndarray, optional
        Written and returned; must have the result's shape and dtype.
    workers : int or None
        Threads filtering bands of the image at once (None or 0: all cores);
        the result does not depend on it.
"""


def median(image, footprint, *, mask=None, shift=None, out=None, workers=1):
    """Local median (the value of rank n // 2 of the n counted values).

    Returns an array of the image's shape and dtype; 0 where no pixel is
    counted.
    """
    return _filter(_filters.PERCENTILE, image, footprint, mask, shift, out, workers, 0.5)


def percentile(image, footprint, p, *, mask=None, shift=None, out=None, workers=1):
    """Local percentile: the value of rank floor(p * n) of the n counted values
    (rank n - 1 for p = 1), for p between 0 and 1.

    Returns an array of the image's shape and dtype; 0 where no pixel is
    counted.
    """
    p = float(p)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"p must lie between 0 and 1, got {p}")
    return _filter(_filters.PERCENTILE, image, footprint, mask, shift, out, workers, p)


def mean(image, footprint, *, mask=None, shift=None, out=None, workers=1):
    """Local mean, as float64; NaN where no pixel is counted."""
    return _filter(_filters.MEAN, image, footprint, mask, shift, out, workers)


def minimum(image, footprint, *, mask=None, shift=None, out=None, workers=1):
    """Local minimum, in the image's dtype; 0 where no pixel is counted."""
    return _filter(_filters.MINIMUM, image, footprint, mask, shift, out, workers)


def maximum(image, footprint, *, mask=None, shift=None, out=None, workers=1):
    """Local maximum, in the image's dtype; 0 where no pixel is counted."""
    return _filter(_filters.MAXIMUM, image, footprint, mask, shift, out, workers)


def histogram(image, footprint, *, normalized=False, mask=None, shift=None, out=None,
              workers=1):
    """The local histogram of every pixel, as float64 of shape
    ``image.shape + (bins,)``: bins is 256 for uint8 and the largest value
    + 1 for uint16. Entry v counts the pixels of value v (``normalized``:
    their share of the counted pixels, 0 where none is counted).
    """
    image = _image(image)
    return _histogram(image, footprint, normalized, mask, shift, out, workers,
                      histogram_bins(image))


def histogram_bins(image):
    """Bins of the local histograms of `image`: every value has its own."""
    if image.dtype == np.uint8:
        return 256
    return int(image.max()) + 1 if image.size else 1


def _histogram(image, footprint, normalized, mask, shift, out, workers, bins):
    footprint = _footprint(footprint, image.ndim)
    mask = _mask(mask, image.shape)
    shift = _shift(shift, footprint.shape)
    workers = _workers(workers)
    out = _out(out, image.shape + (bins,), np.float64)
    kind = _filters.NORMALISED if normalized else _filters.COUNTS
    _run_bands(kind, image, footprint, mask, out, shift, 0.0, bins, None, workers)
    return out


for _f in (median, percentile, mean, minimum, maximum):
    _f.__doc__ += _ARGS
histogram.__doc__ += _ARGS
