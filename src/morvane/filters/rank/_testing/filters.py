"""Test support (private): the filters' two roads for uint8 and uint16
images without the public functions' conversions: the engine with a method
of one's choice, and the core's C-API with this package's kernels, the
reference the engine is tested against."""

import numpy as np

from .. import _api, _filters, _request

RANK_KINDS = (_filters.PERCENTILE, _filters.MINIMUM, _filters.MAXIMUM)


def _image(image):
    """uint8 or uint16, 2D or 3D, in native byte order: what these paths take."""
    image = np.asarray(image)
    if image.dtype.kind != "u" or image.dtype.itemsize not in (1, 2):
        raise TypeError(f"image must be uint8 or uint16, got {image.dtype}")
    if not image.dtype.isnative:
        image = image.astype(image.dtype.newbyteorder("="))
    if image.ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions, got {image.ndim}")
    return image


def engine_filter(kind, image, footprint, mask, shift, out, workers, param=0.0,
                  _bands=None, _progress=None, _method="auto"):
    """A rank, mean, minimum or maximum filter by the engine."""
    image = _image(image)
    footprint = _request.footprint_array(footprint, image.ndim)
    mask = _request.mask_array(mask, image.shape)
    shift = _request.shift_of(shift, footprint.shape)
    workers = _request.workers_of(workers)
    if out is not None:
        dtype = np.float64 if kind == _filters.MEAN else image.dtype
        out = _request.out_array(out, image.shape, dtype)
        image = _api._distinct(image, out)
    else:
        out = np.empty(image.shape, np.float64 if kind == _filters.MEAN else image.dtype)
    _filters.engine(_api._STATS[kind], image, footprint, mask, out, shift, param, workers, _method,
                    _bands or 0, _progress)
    return out


def core_filter(kind, image, footprint, mask, shift, out, workers, param=0.0):
    """The same filter through the sliding-histogram core's C-API and the
    kernels of this package's client: the reference the engine is tested
    against."""
    image = _image(image)
    footprint = _request.footprint_array(footprint, image.ndim)
    mask = _request.mask_array(mask, image.shape)
    shift = _request.shift_of(shift, footprint.shape)
    workers = _request.workers_of(workers)
    out_dtype = np.float64 if kind == _filters.MEAN else image.dtype
    out = _request.out_array(out, image.shape, out_dtype)
    image = _api._distinct(image, out)
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
    result = out if codes is image or kind not in RANK_KINDS else np.empty(
        image.shape, np.uint16)
    _api._run(kind, codes, footprint, mask, result[..., np.newaxis], shift, param, bin_count,
         values, workers)
    if result is not out:
        np.take(distinct, result, out=out)
    return out
