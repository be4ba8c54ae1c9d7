"""Rank filters of 2D images and 3D volumes, one function per statistic.

Every function takes an image (2D) or a volume (3D) of any real dtype and a
footprint of the same number of dimensions, and computes, for every pixel,
a statistic of the values under the footprint: the footprint entry at
``extent // 2 + shift`` along each axis sits on the pixel, every non-zero
entry is a member, pixels outside the image are not counted unless a border
mode extends it, and where a mask is given only pixels whose mask is
non-zero are counted. Values order as NumPy sorts them, except that -0.0
ranks just below 0.0 and every NaN above every number. A window that counts
no pixel gives 0 of the result's type (NaN for the mean) on every dtype.

Arguments are validated here, once; the native module gets plain arrays.
"""

import numbers
import operator
import os
import warnings

import numpy as np

from . import _filters, _values
from ._footprints import ball, box, disk

__all__ = ["median", "percentile", "mean", "minimum", "maximum", "histogram"]

_RANK_KINDS = (_filters.PERCENTILE, _filters.MINIMUM, _filters.MAXIMUM)

# More threads than this per core only add overhead; far more is a mistake.
WORKERS_PER_CPU = 8
_CPUS = os.cpu_count() or 1


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
    if footprint.dtype == bool and footprint.ndim == ndim and footprint.size:
        return footprint.view(np.uint8)  # bool bytes are 0 or 1 already
    if footprint.dtype.kind not in "biuf":
        raise TypeError(f"footprint must hold real numbers (non-zero: member), got "
                        f"{footprint.dtype}")
    if footprint.ndim != ndim:
        hint = ("; for a colour image, say which axis holds the channels, e.g. channels=-1 "
                "(or give a footprint of shape (k, k, 1))"
                if ndim == 3 and footprint.ndim == 2 else "")
        raise ValueError(f"footprint must have {ndim} dimensions like the image, "
                         f"got {footprint.ndim}{hint}")
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
    # A new array, laid out for the engine: it never shares memory with
    # `out`, and the engine reads it as it is.
    counted = _values.engine_array(shape, np.uint8)
    np.not_equal(mask, 0, out=counted.view(bool))
    return counted


def _integer(value, what):
    """`value` as an int: Python and NumPy integers, not bools, floats or
    strings."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, not a bool ({value!r})")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__} "
                        f"{value!r}") from None


def _shift(shift, footprint_shape):
    ndim = len(footprint_shape)
    if shift is None:
        return (0,) * ndim
    if isinstance(shift, (str, bytes)) or not hasattr(shift, "__len__"):
        raise TypeError(f"shift must be a sequence of {ndim} integers, got {shift!r}")
    if len(shift) != ndim:
        raise ValueError(f"shift must have {ndim} entries, one per axis, got {len(shift)}")
    shift = tuple(_integer(s, f"shift[{axis}]") for axis, s in enumerate(shift))
    for axis, (s, extent) in enumerate(zip(shift, footprint_shape)):
        low, high = -(extent // 2), extent - 1 - extent // 2
        if not low <= s <= high:
            raise ValueError(f"shift[{axis}] = {s} puts the centre outside the footprint; "
                             f"allowed {low}..{high} for extent {extent}")
    return shift


def _workers(workers):
    """Threads to use: None or 0 for every core, else 1 to 8 per core."""
    cpus = _CPUS
    if workers is None:
        return cpus
    if isinstance(workers, (bool, np.bool_)) or not isinstance(workers, (int, np.integer)):
        raise ValueError(f"workers must be an integer, 0 or None, got {workers!r}")
    workers = int(workers)
    limit = WORKERS_PER_CPU * cpus
    if workers < 0 or workers > limit:
        raise ValueError(f"workers must lie between 0 (all cores) and {limit} "
                         f"({WORKERS_PER_CPU} per core), got {workers}")
    return workers or cpus


def _fraction(p):
    """A percentile's p: a real number between 0 and 1."""
    if isinstance(p, (bool, np.bool_)) or not isinstance(p, numbers.Real):
        raise TypeError(f"p must be a real number between 0 and 1, got "
                        f"{type(p).__name__} {p!r}")
    p = float(p)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"p must lie between 0 and 1, got {p}")
    return p


def _flag(value, what):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be True or False, got {type(value).__name__} {value!r}")
    return bool(value)


def _out(out, shape, dtype):
    if out is None:
        return np.empty(shape, dtype)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, got {type(out).__name__}")
    dtype = np.dtype(dtype)
    if out.shape != shape or out.dtype.newbyteorder("=") != dtype.newbyteorder("="):
        raise ValueError(f"out must have shape {shape} and dtype {dtype} (either byte "
                         f"order), got {out.shape} and {out.dtype}")
    if not out.flags.writeable:
        raise ValueError("out must be writeable")
    return out


def _shares_memory(a, b):
    try:
        return np.shares_memory(a, b, max_work=1 << 20)
    except np.exceptions.TooHardError:
        return True


def _distinct(image, out):
    """The image itself, or a copy where it shares memory with `out`: the
    core reads its input while it writes `out`."""
    if out is not None and np.may_share_memory(image, out) and _shares_memory(image, out):
        return image.copy()
    return image


# ---------------------------------------------------------------------------
# Running the core, in bands along the first axis

def _band_count(rows, footprint_shape, workers):
    """Bands of at least 32 rows (planes) and 8 times the footprint's reach,
    so halos cost little, and at least one per worker."""
    height = max(32, 8 * footprint_shape[0])
    return max(1, min(rows, max(workers, -(-rows // height))))


def _run(kind, image, footprint, mask, out, shift, param, bin_count, values, workers,
         bands=None, progress=None):
    """Filter `image` into `out` (which has a trailing axis of values per pixel)."""
    if bands is None:
        bands = _band_count(image.shape[0], footprint.shape, workers)
    _filters.run(kind, image, footprint, mask, out, shift, param, bin_count, values,
                 workers, bands, progress)


_STATS = {_filters.PERCENTILE: 0, _filters.MEAN: 1, _filters.MINIMUM: 2, _filters.MAXIMUM: 3}


def _filter(kind, image, footprint, mask, shift, out, workers, param=0.0,
            _bands=None, _progress=None, _method="auto"):
    """A rank, mean, minimum or maximum filter by the engine."""
    image = _image(image)
    footprint = _footprint(footprint, image.ndim)
    mask = _mask(mask, image.shape)
    shift = _shift(shift, footprint.shape)
    workers = _workers(workers)
    if out is not None:
        out = _out(out, image.shape, np.float64 if kind == _filters.MEAN else image.dtype)
        image = _distinct(image, out)
    else:
        out = np.empty(image.shape, np.float64 if kind == _filters.MEAN else image.dtype)
    _filters.engine(_STATS[kind], image, footprint, mask, out, shift, param, workers, _method,
                    _bands or 0, _progress)
    return out


def _core_filter(kind, image, footprint, mask, shift, out, workers, param=0.0):
    """The same filter through the sliding-histogram core's C-API and the
    kernels of this package's client: the reference the engine is tested
    against."""
    image = _image(image)
    footprint = _footprint(footprint, image.ndim)
    mask = _mask(mask, image.shape)
    shift = _shift(shift, footprint.shape)
    workers = _workers(workers)
    out_dtype = np.float64 if kind == _filters.MEAN else image.dtype
    out = _out(out, image.shape, out_dtype)
    image = _distinct(image, out)
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
    _run(kind, codes, footprint, mask, result[..., np.newaxis], shift, param, bin_count,
         values, workers)
    if result is not out:
        np.take(distinct, result, out=out)
    return out


def _footprint_from(footprint, size, radius, ndim):
    """The footprint given as an array, a box `size` or a disk / ball
    `radius`: exactly one of them."""
    given = [name for name, v in (("footprint", footprint), ("size", size),
                                  ("radius", radius)) if v is not None]
    if len(given) != 1:
        raise TypeError("give exactly one of footprint, size and radius, got "
                        + (", ".join(given) if given else "none"))
    if size is not None:
        if isinstance(size, (bool, np.bool_)):
            raise TypeError(f"size must be an int or one int per axis, got {size!r}")
        if np.ndim(size) == 0:
            size = (_integer(size, "size"),) * ndim
        size = tuple(_integer(n, "size") for n in size)
        if len(size) != ndim:
            raise ValueError(f"size must have {ndim} entries, one per axis, got {len(size)}")
        return _footprint(box(size), ndim)
    if radius is not None:
        if ndim not in (2, 3):
            raise ValueError("radius gives a disk (2D) or a ball (3D)")
        return _footprint((disk if ndim == 2 else ball)(radius), ndim)
    return _footprint(footprint, ndim)


def _modes(mode, ndim):
    """One border mode per axis."""
    if isinstance(mode, str):
        mode = (mode,) * ndim
    try:
        mode = tuple(mode)
    except TypeError:
        raise TypeError(f"mode must be a string or one string per axis, got {mode!r}") from None
    if len(mode) != ndim:
        raise ValueError(f"mode must have {ndim} entries, one per axis, got {len(mode)}")
    for m in mode:
        if m not in _values.MODES:
            raise ValueError(f"mode must be one of {', '.join(_values.MODES)}, got {m!r}")
    return mode


def _reach(footprint_shape, shift, modes=None):
    """Pixels before and after a pixel that its window reaches, per axis (0
    along axes whose mode is "ignore", which are not extended)."""
    before = [extent // 2 + s for extent, s in zip(footprint_shape, shift)]
    after = [extent - 1 - b for extent, b in zip(footprint_shape, before)]
    if modes is not None:
        before = [0 if m == "ignore" else b for b, m in zip(before, modes)]
        after = [0 if m == "ignore" else a for a, m in zip(after, modes)]
    return before, after


def _axis(axis, ndim, what):
    axis = _integer(axis, what)
    if not -ndim <= axis < ndim:
        raise ValueError(f"{what} {axis} is out of range for {ndim} dimensions")
    return axis % ndim


def _per_channel(fn, image, out, mask, channels, result_dtype, **kwargs):
    """fn filtered channel by channel: the axis `channels` holds them; the
    mask has the image's shape or its shape without that axis."""
    axis = _axis(channels, image.ndim, "channels")
    planes = np.moveaxis(image, axis, 0)
    if out is not None and (not isinstance(out, np.ndarray) or out.shape != image.shape):
        raise ValueError(f"out must have the image's shape {image.shape}")
    out = _out(out, image.shape, result_dtype)
    targets = np.moveaxis(out, axis, 0)
    masks = [None] * len(planes)
    if mask is not None:
        mask = np.asarray(mask)
        if mask.shape == image.shape:
            masks = np.moveaxis(mask, axis, 0)
        else:
            masks = [mask] * len(planes)
    for plane, target, m in zip(planes, targets, masks):
        fn(plane, out=target, mask=m, **kwargs)
    return out


def _colour_warning(image, footprint, size, radius, stacklevel):
    """Warns when a picture of 3 or 4 colour channels would be filtered as a
    volume because `channels` was not given: its last axis has 3 or 4
    entries and the footprint was given by a radius or one size for every
    axis."""
    if (image.ndim == 3 and image.shape[-1] in (3, 4) and footprint is None
            and (radius is not None or (size is not None and np.ndim(size) == 0))):
        warnings.warn(
            f"an array of shape {tuple(image.shape)} is filtered as a volume (planes, rows, "
            f"columns); if its last axis holds colour channels, give channels=-1 to filter "
            f"each channel alone; for a real volume give the footprint per axis "
            f"(size=(k, k, k)) or as an array (footprint=ball(r)) to silence this warning",
            UserWarning, stacklevel=stacklevel + 1)


def _empty_fill(out, kind):
    """Every window empty: 0 (NaN for the mean)."""
    out[...] = np.nan if kind == _filters.MEAN else 0
    return out


def _counted(footprint, shift, mask, shape, modes, workers):
    """Bytes of `shape`, 0 where a window counts no pixel; None when every
    window counts one (the centre is a member and nothing is masked, or
    the image is extended along every axis)."""
    centre = tuple(e // 2 + s for e, s in zip(footprint.shape, shift))
    if mask is None and (footprint[centre] or all(m != "ignore" for m in modes)):
        return None
    source = mask if mask is not None else np.ones(shape, np.uint8)
    counted = np.empty(shape, np.uint8)
    _filters.engine(_STATS[_filters.MAXIMUM], source, footprint, None, counted, shift, 0.0,
                    workers, "auto")
    return counted


def _largest_finite(data):
    """The largest magnitude among the finite values, in slices that keep
    the temporaries small."""
    largest = 0.0
    step = max(1, (1 << 20) // max(1, data[0].size if data.ndim and len(data) else 1))
    for start in range(0, len(data), step):
        part = np.abs(data[start:start + step])
        part[~np.isfinite(part)] = 0.0
        if part.size:
            largest = max(largest, float(part.max()))
    return largest


def _mean_of_doubles(data, footprint, mask, target, shift, workers, bands, progress):
    """The mean of float64 values into `target`, with no overflow in the
    windows' sums: where the sum of finite values would pass the largest
    double, the values are scaled by a power of two first (exactly), so
    such a window's mean is finite, and one with infinities of one sign is
    that infinity."""
    _filters.engine(_STATS[_filters.MEAN], data, footprint, mask, target, shift, 0.0, workers,
                    "auto", bands, progress)
    members = int(np.count_nonzero(footprint))
    largest = _largest_finite(data) if data.size else 0.0
    if largest * members < 2.0 ** 1020:
        return
    power = int(np.ceil(np.log2(largest))) + int(np.ceil(np.log2(members))) - 1020
    scaled = np.empty(target.shape, np.float64)
    _filters.engine(_STATS[_filters.MEAN], np.ldexp(data, -power), footprint, mask, scaled,
                    shift, 0.0, workers, "auto", bands)
    np.ldexp(scaled, power, out=scaled)
    np.copyto(target, scaled, where=~np.isfinite(target))


def _statistic(kind, image, footprint=None, size=None, radius=None, mask=None, shift=None,
               mode="ignore", cval=0.0, out=None, workers=1, channels=None, p=0.0,
               rank=None, _method="auto", _bands=None, _progress=None, _stacklevel=2):
    """A rank (of rank floor(p * n), or the fixed `rank` in windows that the
    border mode fills), mean, minimum or maximum filter of an image of any
    real dtype."""
    image = np.asarray(image)
    dtype = _values.check_dtype(image.dtype)
    result_dtype = np.dtype(np.float64) if kind == _filters.MEAN else dtype.newbyteorder("=")
    if channels is not None:
        def one(plane, out, mask):
            _statistic(kind, plane, footprint, size, radius, mask, shift, mode, cval, out,
                       workers, None, p, rank, _method, _bands, _progress)
        return _per_channel(one, image, out, mask, channels, result_dtype)
    _colour_warning(image, footprint, size, radius, _stacklevel + 1)
    image = _values.native(image)
    dtype = image.dtype
    if image.ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions, got {image.ndim}"
                         + ("; for colour, say which axis holds the channels, e.g. "
                            "channels=-1" if image.ndim == 4 else ""))
    footprint = _footprint_from(footprint, size, radius, image.ndim)
    mask = _mask(mask, image.shape)
    shift = _shift(shift, footprint.shape)
    workers = _workers(workers)
    modes = _modes(mode, image.ndim)
    given = None
    if out is not None:
        given = out = _out(out, image.shape, result_dtype)
        if not out.dtype.isnative:
            out = None  # filtered into a native array, then stored
    result = np.empty(image.shape, result_dtype) if out is None else out
    members = int(np.count_nonzero(footprint))
    if members == 0:
        return _store_given(given, _empty_fill(result, kind))
    if rank is not None:
        p = (rank + 0.5) / members  # every window is full: rank floor(p * members)

    constant = any(_values.PAD_MODES.get(m) == "constant" for m in modes)
    if kind == _filters.MEAN and (dtype.kind == "f" or dtype.itemsize == 8):
        values = None
        data = image.astype(np.float64, copy=False)
        fill = float(_values.cast_like(cval, dtype)) if constant else None
    else:
        values = _values.Values(image, cval=cval if constant else None)
        if (kind == _filters.PERCENTILE and values.data.dtype == np.uint32
                and _filters.engine(_STATS[kind], values.data, footprint, mask, None, shift, p,
                                    workers, "choose") == "sort"):
            # 32-bit keys in windows too large for a network: dense codes
            # let a histogram run.
            values = None
            values = _values.Values(image, codes=True, cval=cval if constant else None)
        data, fill = values.data, values.fill
    # The runs read the image while they write the result.
    data = _distinct(data, result)
    if mask is not None:
        mask = _distinct(mask, result)
    run = _Run(kind, values, footprint, shift, p, workers, _method)
    # Every window inside the image is the same whatever the border mode:
    # the whole image first, then the slabs along its borders again, each
    # from the part of the extended image its windows reach.
    run(data, mask, result, bands=_bands or 0, progress=_progress)
    before, after = _reach(footprint.shape, shift, modes)
    for sub, sub_mask, crop, slab in _border_slabs(data, mask, fill, before, after, modes):
        run(sub, sub_mask, result[slab], crop)
    return _store_given(given, result)


class _Run:
    """One engine run of a filter: values (or their keys or codes) and mask
    in, the image's values out."""

    def __init__(self, kind, values, footprint, shift, p, workers, method):
        self.kind, self.values, self.footprint, self.shift = kind, values, footprint, shift
        self.p, self.workers, self.method = p, workers, method

    def __call__(self, data, mask, result, crop=None, bands=0, progress=None):
        """Filters `data` (mode "ignore") into `result`, of data's shape, or
        of the part `crop` of it."""
        kind, values = self.kind, self.values
        back = values is not None and kind != _filters.MEAN
        counted = None  # codes and float keys of an empty window map back to 0
        if back and values.kind == "keys" and values.dtype.kind == "i":
            counted = _counted(self.footprint, self.shift, mask, data.shape,
                               ("ignore",) * data.ndim, self.workers)
        target = None
        if crop is None:  # data and mask never share the result's memory
            target = values.target(result) if back else result
        if target is None:
            target = np.empty(data.shape, np.float64 if kind == _filters.MEAN else data.dtype)
        if values is None:
            _mean_of_doubles(data, self.footprint, mask, target, self.shift, self.workers, bands,
                             progress)
        else:
            _filters.engine(_STATS[kind], data, self.footprint, mask, target, self.shift, self.p,
                            self.workers, self.method, bands, progress, values.bins,
                            values.offset)
        if crop is not None:
            target = target[crop]
            counted = None if counted is None else counted[crop]
        if back:
            values.back(target, result, counted)
        elif target is not result:
            np.copyto(result, target)


def _border_slabs(data, mask, fill, before, after, modes):
    """(data, mask, crop, slab) for the slabs of pixels along the image's
    borders whose windows reach beyond it: `slab` the slab's place in the
    image, data and mask the part of the extended image its windows reach
    (mode "ignore" within it), `crop` the slab's place in them. A slab
    along an axis leaves out the pixels that the slabs along the axes
    before it give."""
    shape = data.shape
    # Per axis, the part that a slab along a later axis covers.
    spans = [(0, n) for n in shape]
    for d, (n, b, a, m) in enumerate(zip(shape, before, after, modes)):
        if m == "ignore" or not (b or a):
            continue
        sides = [(0, min(n, b))] if b else []
        if a:
            low = max(0, n - a)
            if sides and sides[0][1] >= low:
                sides = [(0, n)]
            else:
                sides.append((low, n))
        for lo, hi in sides:
            out = list(spans)
            out[d] = (lo, hi)
            if any(l >= h for l, h in out):
                continue
            # Pixels [l, h) of an axis reach [l - before, h + after).
            box = [(l - be, h + af) if mo != "ignore" else (0, n_e)
                   for (l, h), be, af, mo, n_e in zip(out, before, after, modes, shape)]
            index = [_values.border_index(n_e, start, stop, m_e)
                     for n_e, (start, stop), m_e in zip(shape, box, modes)]
            crop = tuple(slice(l - start, h - start) for (l, h), (start, _) in zip(out, box))
            slab = tuple(slice(l, h) for l, h in out)
            yield (_values.take_box(data, index, fill),
                   None if mask is None else _values.take_box(mask, index, 1), crop, slab)
        spans[d] = (min(n, b), max(min(n, b), n - a))


def _store_given(given, result):
    """The result, stored into the `out` the caller gave when it is not the
    result itself (an out of the other byte order)."""
    if given is None or given is result:
        return result
    given[...] = result
    return given


# ---------------------------------------------------------------------------
# Histograms

# Counts are written as unsigned integers of the output's width; 32- and
# 64-bit ones through a float record of the same width.
_COUNT_VIEWS = {1: (np.uint8, _filters.COUNTS), 2: (np.uint16, _filters.COUNTS),
                4: (np.float32, _filters.COUNT_BITS), 8: (np.float64, _filters.COUNT_BITS)}


def _count_dtype(members, dtype, normalized):
    """The dtype of the histogram's entries."""
    if dtype is None:
        if normalized:
            return np.dtype(np.float64)
        for candidate in (np.uint8, np.uint16, np.uint32, np.uint64):
            if members <= np.iinfo(candidate).max:
                return np.dtype(candidate)
    dtype = np.dtype(dtype)
    if dtype.kind == "f" and dtype.itemsize in (4, 8):
        return dtype
    if normalized:
        raise TypeError(f"dtype of a normalized histogram must be float32 or float64, "
                        f"got {dtype}")
    if dtype.kind not in "iu":
        raise TypeError(f"dtype must be an integer type, float32 or float64, got {dtype}")
    if members > np.iinfo(dtype).max:
        raise ValueError(f"dtype {dtype} cannot hold counts up to {members}, the "
                         f"footprint's size")
    return dtype


def _bins(bins, top):
    """Number of bins: `top` (every value its own bin) by default."""
    if bins is None:
        return top
    bins = _integer(bins, "bins")
    if not 1 <= bins <= 65536:
        raise ValueError(f"bins must lie between 1 and 65536, got {bins}")
    return bins


def _grouped(image, bins, top):
    """Bin codes: value v goes to bin v * bins // top."""
    if bins == top:
        return image
    codes = image.astype(np.uint64) * bins // top
    return codes.astype(np.uint8 if bins <= 256 else np.uint16)


def _histogram(image, footprint, normalized, mask, shift, out, workers, bins, dtype, top):
    footprint = _footprint(footprint, image.ndim)
    mask = _mask(mask, image.shape)
    shift = _shift(shift, footprint.shape)
    workers = _workers(workers)
    bins = _bins(bins, top)
    members = int(np.count_nonzero(footprint))
    if dtype is None and isinstance(out, np.ndarray):
        # The counts take the type of a given out.
        try:
            dtype = _count_dtype(members, out.dtype, normalized)
        except (TypeError, ValueError) as error:
            raise ValueError(f"out dtype {out.dtype} cannot hold this histogram: "
                             f"{error}") from None
    dtype = _count_dtype(members, dtype, normalized)
    out = _out(out, image.shape + (bins,), dtype)
    image = _distinct(image, out)
    codes = _grouped(image, bins, top)
    if dtype.kind == "f":
        target, kind = out, (_filters.NORMALISED if normalized else _filters.COUNTS)
    else:
        as_type, kind = _COUNT_VIEWS[dtype.itemsize]
        target = out.view(as_type)
    _run(kind, codes, footprint, mask, target, shift, 0.0, bins, None, workers)
    return out


# ---------------------------------------------------------------------------
# Public functions

_ARGS = """image : array_like of real numbers (bool, integers or floats), 2D or 3D
        The image (rows, columns) or volume (planes, rows, columns), with
        one more axis for colour channels when ``channels`` says which.
    footprint : array_like of real numbers, optional
        The neighbourhood: every non-zero entry is a member. The entry at
        ``extent // 2 + shift`` along each axis sits on the pixel. Give
        exactly one of ``footprint``, ``size`` and ``radius``.{extra}
    size : int or sequence of ints, optional
        A box of this extent along every axis (or these extents).
    radius : float, optional
        A disk (2D) or ball (3D) of this radius, as ``disk`` and ``ball``.
    mask : array_like of bool or integers, optional
        Same shape as image; only pixels where it is non-zero are counted.
    shift : sequence of ints, optional
        Moves the footprint's centre, one entry per axis (default zeros);
        each must keep the centre inside the footprint.
    mode : str or sequence of str, optional
        What lies beyond the image's border: "ignore" (the default: nothing,
        those pixels are not counted), or as in scipy.ndimage: "reflect",
        "mirror", "nearest", "wrap" or "constant" (with ``cval``), one for
        every axis or one per axis. Pixels beyond the border take the mask
        of the pixel they repeat; constant ones are counted.
    cval : float, optional
        The value beyond the border with mode "constant", cast to the
        image's dtype as NumPy casts it (default 0).
    out : ndarray, optional
        Written and returned; must have the result's shape and dtype, in
        either byte order (the result made without ``out`` is in native
        order). It may be the image itself: the image is then read from a
        copy.
    workers : int or None, optional
        Threads filtering bands of the image at once: None or 0 for every
        core, at most 8 per core. The result does not depend on it.
    channels : int, optional
        The axis that holds colour channels: each channel is filtered with
        the same footprint, and the result keeps the axis. The mask has the
        image's shape, or its shape without that axis. Without it a 3D
        array is a volume: when its last axis has 3 or 4 entries and the
        footprint comes from ``radius`` or a single ``size``, a
        ``UserWarning`` suggests ``channels=-1`` (give the footprint per
        axis or as an array to filter such a volume without it)."""

_RAISES = """TypeError
        For an image or footprint that does not hold real numbers, a mask
        that is not bool or integer, a shift entry that is not an integer,
        or not exactly one of footprint, size and radius{type_extra}.
    ValueError
        For an image that is not 2D or 3D, a footprint of another number of
        dimensions or empty, a mask or out of the wrong shape or dtype, a
        shift that moves the centre outside the footprint, an unknown mode,
        or workers that is not an integer between 0 and 8 per core{value_extra}.
    KeyboardInterrupt
        When the call is interrupted (Ctrl-C): it ends within a fraction of a
        second and its threads with it; a given ``out`` is left partly
        written."""


def _doc(summary, returns, example, extra_args="", type_extra="", value_extra=""):
    return f"""{summary}

    Parameters
    ----------
    {_ARGS.format(extra=extra_args)}

    Returns
    -------
    {returns}

    Raises
    ------
    {_RAISES.format(type_extra=type_extra, value_extra=value_extra)}

    Examples
    --------
{example}
    """


def _example(call, result):
    return f"""    >>> import numpy as np
    >>> from morvane.filters.rank import {call.split("(")[0]}
    >>> image = np.array([[1, 2, 3], [4, 5, 6], [7, 8, 9]], np.uint8)
    >>> {call}
    {result}"""


def median(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
           mode="ignore", cval=0.0, out=None, workers=1, channels=None):
    return _statistic(_filters.PERCENTILE, image, footprint, size, radius, mask, shift, mode,
                      cval, out, workers, channels, 0.5)


def percentile(image, footprint=None, p=None, *, size=None, radius=None, mask=None,
               shift=None, mode="ignore", cval=0.0, out=None, workers=1, channels=None):
    if p is None:
        raise TypeError("p must be given: percentile(image, footprint, p), p between 0 and 1")
    return _statistic(_filters.PERCENTILE, image, footprint, size, radius, mask, shift, mode,
                      cval, out, workers, channels, _fraction(p))


def mean(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
         mode="ignore", cval=0.0, out=None, workers=1, channels=None):
    return _statistic(_filters.MEAN, image, footprint, size, radius, mask, shift, mode, cval,
                      out, workers, channels)


def minimum(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
            mode="ignore", cval=0.0, out=None, workers=1, channels=None):
    return _statistic(_filters.MINIMUM, image, footprint, size, radius, mask, shift, mode,
                      cval, out, workers, channels)


def maximum(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
            mode="ignore", cval=0.0, out=None, workers=1, channels=None):
    return _statistic(_filters.MAXIMUM, image, footprint, size, radius, mask, shift, mode,
                      cval, out, workers, channels)


# The largest histogram result allocated without being asked for more.
MAX_HISTOGRAM_BYTES = 2 << 30


def histogram(image, footprint=None, *, size=None, radius=None, normalized=False, bins=None,
              dtype=None, mask=None, shift=None, mode="ignore", cval=0.0, out=None, workers=1,
              channels=None, max_bytes=MAX_HISTOGRAM_BYTES):
    return _histogram_of(image, footprint, size, radius, normalized, bins, dtype, mask, shift,
                         mode, cval, out, workers, channels, max_bytes)


def _histogram_args(image, footprint, size, radius, normalized, shift, mode, channels):
    """The checked arguments that do not depend on the values: (ndim,
    footprint, shift, modes, normalized)."""
    _values.check_dtype(image.dtype)
    normalized = _flag(normalized, "normalized")
    ndim = image.ndim - (channels is not None)
    if ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions besides any channels, got {ndim}")
    footprint = _footprint_from(footprint, size, radius, ndim)
    shift = _shift(shift, footprint.shape)
    modes = _modes(mode, ndim)
    return ndim, footprint, shift, modes, normalized


def _histogram_of(image, footprint, size, radius, normalized, bins, dtype, mask, shift, mode,
                  cval, out, workers, channels, max_bytes, extremes=None, stacklevel=3):
    """histogram(); `extremes` the (smallest, largest) counted values of the
    whole array (the blocks of a dask array), else those of the image."""
    image = np.asarray(image)
    if channels is None:
        _colour_warning(image, footprint, size, radius, stacklevel)
    ndim, footprint, shift, modes, normalized = _histogram_args(
        image, footprint, size, radius, normalized, shift, mode, channels)
    image = _values.native(image)
    workers = _workers(workers)
    if max_bytes is not None:
        max_bytes = _integer(max_bytes, "max_bytes")
    shape = image.shape
    axis = None
    if channels is not None:
        # Channels last while filtering, each with the same bins.
        axis = _axis(channels, image.ndim, "channels")
        image = np.moveaxis(image, axis, -1)
        if mask is not None and np.shape(mask) == shape:
            mask = np.moveaxis(np.asarray(mask), axis, -1)
    if mask is not None:
        mask = np.asarray(mask)
        if mask.shape not in (image.shape[:ndim], image.shape):
            raise ValueError(f"mask must have the image's shape {shape}, got {mask.shape}")
    constant = any(_values.PAD_MODES.get(m) == "constant" for m in modes)
    fill = _values.cast_like(cval, image.dtype) if constant else None
    if extremes is None:
        extremes = _extremes(image, fill)
    codes, counted, bins, top, fill_code = _histogram_codes(image, bins, extremes, fill)
    members = int(np.count_nonzero(footprint))
    if dtype is None and isinstance(out, np.ndarray):
        try:  # the counts take the type of a given out
            dtype = _count_dtype(members, out.dtype.newbyteorder("="), normalized)
        except (TypeError, ValueError) as error:
            raise ValueError(f"out dtype {out.dtype} cannot hold this histogram: "
                             f"{error}") from None
    dtype = _count_dtype(members, dtype, normalized)
    result_shape = shape + (bins,)
    if out is None and max_bytes is not None:
        size_bytes = int(np.prod(result_shape, dtype=object)) * dtype.itemsize
        if size_bytes > max_bytes:
            raise ValueError(
                f"the histogram would take {size_bytes / 2**30:.2f} GiB ({bins} bins of "
                f"{dtype} per pixel), more than max_bytes={max_bytes}: give bins= to group "
                f"the values into fewer bins (e.g. bins=256), or a larger max_bytes")
    given = out = _out(out, result_shape, dtype)
    if not out.dtype.isnative:
        out = np.empty(result_shape, dtype)

    padded = any(m != "ignore" for m in modes)
    before, after = _reach(footprint.shape, shift, modes)
    if padded:
        extra = image.ndim - ndim
        widths = (before + [0] * extra, after + [0] * extra, modes + ("ignore",) * extra)
        codes = _values.pad(codes, *widths, fill_code)
        if counted is not None:
            counted = _values.pad(counted, *widths, fill is None or fill == fill)
        if mask is not None:
            m = mask.ndim - ndim
            mask = _values.pad((mask != 0).view(np.uint8), before + [0] * m, after + [0] * m,
                               modes + ("ignore",) * m, 1)
    targets = out if axis is None else np.moveaxis(out, axis, -2)
    crop = tuple(slice(b, b + n) for b, n in zip(before, targets.shape[:ndim]))
    planes = [()] if axis is None else [(..., c) for c in range(image.shape[-1])]
    for c in planes:
        m = mask
        if mask is not None and mask.ndim > ndim:
            m = mask[c]
        if counted is not None:
            m = counted[c] if m is None else (m != 0) & counted[c]
        target = targets if c == () else targets[..., c[1], :]
        if padded:
            full = _histogram(codes[c], footprint, normalized, m, shift, None, workers, bins,
                              dtype, top)
            target[...] = full[crop]
        else:
            _histogram(codes[c], footprint, normalized, m, shift, target, workers, bins,
                       dtype, top)
    return _store_given(given, out)


def _extremes(image, fill=None):
    """(smallest, largest) of the values that count (all but NaN) and of the
    constant border's `fill`, as Python numbers; None for uint8 and bool,
    whose bins do not depend on them."""
    dtype = image.dtype
    if dtype in (np.uint8, bool):
        return None
    if not image.size:
        lo = hi = 0
    elif dtype.kind == "f":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all NaN
            lo, hi = np.nanmin(image), np.nanmax(image)
        lo, hi = (0.0, 0.0) if np.isnan(lo) else (float(lo), float(hi))
    else:
        lo, hi = int(image.min()), int(image.max())
    return _with_fill((lo, hi), fill)


def _with_fill(extremes, fill):
    """(smallest, largest) of the values and of the constant border's
    `fill` (unless it is NaN)."""
    lo, hi = extremes
    if fill is not None and fill == fill:
        lo, hi = min(lo, fill.item()), max(hi, fill.item())
    return lo, hi


def _histogram_codes(image, bins, extremes, fill):
    """(codes, counted, bins, top, fill_code): the values as codes of uint8
    or uint16 for `_histogram`, which groups codes below `top` into `bins`;
    which values count (None: all; floats: not NaN); the code of `fill`."""
    dtype = image.dtype

    def code_of_fill(function):
        return None if fill is None else function(np.asarray(fill).reshape(1))[0]

    if dtype == np.uint8:
        return image, None, _bins(bins, 256), 256, fill
    if dtype == np.uint16:
        top = extremes[1] + 1
        return image, None, _bins(bins, top), top, fill
    if dtype == bool:
        return image.view(np.uint8), None, _bins(bins, 2), 2, code_of_fill(
            lambda v: v.view(np.uint8))
    lo, hi = extremes
    if dtype.kind in "iu":
        # Bins over [min, max] of signed values, [0, max] of unsigned ones:
        # value v goes to bin (v - lo) * bins // span.
        lo = lo if dtype.kind == "i" else 0
        span = hi - lo + 1
        if bins is None:
            if span > 65536:
                raise ValueError(f"the image's values span {span} integers: give bins= "
                                 f"(at most 65536) to group them")
            bins = span
        bins = _bins(bins, span)
        # Bin k begins at the offset ceil(k * span / bins) from lo.
        starts = np.array([-(-k * span // bins) for k in range(bins)], np.uint64)
        low = np.array(lo).astype(dtype)

        def group(values):
            offsets = values.astype(np.uint64) - low.astype(np.uint64)  # modulo 2**64: exact
            if bins < span:
                offsets = np.searchsorted(starts, offsets, side="right") - 1
            return offsets.astype(np.uint8 if bins <= 256 else np.uint16)

        return group(image), None, bins, bins, code_of_fill(group)
    # Floats: bins of equal width over [min, max] of the values that are
    # not NaN (the largest value in the last bin), as numpy.histogram has.
    bins = _bins(256 if bins is None else bins, None)
    scale = bins / (hi - lo) if hi > lo else 0.0

    def group(values):
        with np.errstate(invalid="ignore"):
            scaled = (values.astype(np.float64) - lo) * scale
        codes = np.clip(np.nan_to_num(scaled), 0, bins - 1).astype(np.int64)
        return codes.astype(np.uint8 if bins <= 256 else np.uint16)

    return group(image), ~np.isnan(image), bins, bins, code_of_fill(group)


median.__doc__ = _doc(
    "Local median: the value of rank ``n // 2`` among the ``n`` counted values.",
    """ndarray
        The image's shape and dtype; 0 where no pixel is counted.""",
    _example("median(image, np.ones((3, 3), bool))",
             """array([[4, 4, 5],
           [5, 5, 6],
           [7, 7, 8]], dtype=uint8)"""))

percentile.__doc__ = _doc(
    "Local percentile: the value of rank ``floor(p * n)`` among the ``n`` counted\n"
    "    values (rank ``n - 1`` for ``p = 1``).",
    """ndarray
        The image's shape and dtype; 0 where no pixel is counted.""",
    _example("percentile(image, np.ones((3, 3), bool), 0.9)",
             """array([[5, 6, 6],
           [8, 9, 9],
           [8, 9, 9]], dtype=uint8)"""),
    extra_args="""
    p : float
        Between 0 and 1 (0: the minimum, 1: the maximum).""",
    type_extra=", or a p that is not a real number (bools and strings are not)",
    value_extra=", or a p outside 0 to 1")

mean.__doc__ = _doc(
    "Local mean of the counted values.",
    """ndarray of float64
        The image's shape; NaN where no pixel is counted. Sums never
        overflow: a window of finite values has a finite mean, one holding
        infinities of one sign that infinity, one holding both or a NaN
        NaN.""",
    _example("mean(image, np.ones((1, 3), bool))",
             """array([[1.5, 2. , 2.5],
           [4.5, 5. , 5.5],
           [7.5, 8. , 8.5]])"""))

minimum.__doc__ = _doc(
    "Local minimum of the counted values.",
    """ndarray
        The image's shape and dtype; 0 where no pixel is counted.""",
    _example("minimum(image, np.ones((3, 3), bool))",
             """array([[1, 1, 2],
           [1, 1, 2],
           [4, 4, 5]], dtype=uint8)"""))

maximum.__doc__ = _doc(
    "Local maximum of the counted values.",
    """ndarray
        The image's shape and dtype; 0 where no pixel is counted.""",
    _example("maximum(image, np.ones((3, 3), bool))",
             """array([[5, 6, 6],
           [8, 9, 9],
           [8, 9, 9]], dtype=uint8)"""))

histogram.__doc__ = _doc(
    "The local histogram of every pixel: entry ``v`` of a pixel's histogram\n"
    "    counts the counted pixels of its window whose value falls in bin ``v``.",
    """ndarray
        Shape ``image.shape + (bins,)`` (the bins axis last, also with
        ``channels``). Counts in ``dtype`` (by default the
        smallest unsigned integer type that holds the footprint's size), or
        with ``normalized`` each count's share of the counted pixels as
        float64 (0 where no pixel is counted).""",
    _example("histogram(image, np.ones((1, 2), bool), bins=4)[0]",
             """array([[1, 0, 0, 0],
           [2, 0, 0, 0],
           [2, 0, 0, 0]], dtype=uint8)"""),
    extra_args="""
    normalized : bool, optional
        Shares instead of counts.
    bins : int, optional
        Number of bins, 1 to 65536. By default every value has its own bin:
        256 bins for uint8, the largest value + 1 for uint16. With fewer,
        values are grouped into equal ranges: value ``v`` goes to bin
        ``v * bins // top``, where ``top`` is 256 for uint8 and the largest
        value + 1 for uint16. bool images have 2 bins; other integer types
        one per integer from the smallest value (0 for unsigned types) to the
        largest, grouped alike; floats 256 bins (or ``bins``) of equal width
        from the smallest to the largest value, the largest in the last bin,
        NaN not counted. With a border mode, the values beyond the border
        are part of the range.
    dtype : dtype, optional
        Type of the counts: an integer type that holds the footprint's size,
        float32 or float64 (only these two with ``normalized``). By default
        that of ``out`` if given.
    max_bytes : int or None, optional
        The largest result, in bytes, that is allocated (default 2 GiB);
        a larger one is refused with a ValueError that suggests ``bins=``.
        None: no bound. Not applied to a given ``out``.""",
    type_extra=(", a dtype that is not an integer type, float32 or float64, or a\n"
                "        normalized that is not a bool"),
    value_extra=(", bins outside 1 to 65536, a result larger than max_bytes, or an\n"
                 "        integer dtype too small for the footprint's size"))
