"""Arguments of the filters, checked once, for every front end: the
functions of this package, the SciPy drop-in and dask.

Each helper takes what a caller gave and returns it checked and normalised,
or raises the TypeError or ValueError that the public functions document.
"""

import numbers
import operator
import os
import warnings

import numpy as np

from . import _values
from ._footprints import ball, box, disk

# More threads than this per core only add overhead; far more is a mistake.
WORKERS_PER_CPU = 8
_CPUS = os.cpu_count() or 1


def footprint_array(footprint, ndim):
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


def mask_array(mask, shape):
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


def integer(value, what):
    """`value` as an int: Python and NumPy integers, not bools, floats or
    strings."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, not a bool ({value!r})")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__} "
                        f"{value!r}") from None


def shift_of(shift, footprint_shape):
    ndim = len(footprint_shape)
    if shift is None:
        return (0,) * ndim
    if isinstance(shift, (str, bytes)) or not hasattr(shift, "__len__"):
        raise TypeError(f"shift must be a sequence of {ndim} integers, got {shift!r}")
    if len(shift) != ndim:
        raise ValueError(f"shift must have {ndim} entries, one per axis, got {len(shift)}")
    shift = tuple(integer(s, f"shift[{axis}]") for axis, s in enumerate(shift))
    for axis, (s, extent) in enumerate(zip(shift, footprint_shape)):
        low, high = -(extent // 2), extent - 1 - extent // 2
        if not low <= s <= high:
            raise ValueError(f"shift[{axis}] = {s} puts the centre outside the footprint; "
                             f"allowed {low}..{high} for extent {extent}")
    return shift


def workers_of(workers):
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


def fraction(p):
    """A percentile's p: a real number between 0 and 1."""
    if isinstance(p, (bool, np.bool_)) or not isinstance(p, numbers.Real):
        raise TypeError(f"p must be a real number between 0 and 1, got "
                        f"{type(p).__name__} {p!r}")
    p = float(p)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"p must lie between 0 and 1, got {p}")
    return p


def flag(value, what):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be True or False, got {type(value).__name__} {value!r}")
    return bool(value)


def out_array(out, shape, dtype):
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


def footprint_from(footprint, size, radius, ndim):
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
            size = (integer(size, "size"),) * ndim
        size = tuple(integer(n, "size") for n in size)
        if len(size) != ndim:
            raise ValueError(f"size must have {ndim} entries, one per axis, got {len(size)}")
        return footprint_array(box(size), ndim)
    if radius is not None:
        if ndim not in (2, 3):
            raise ValueError("radius gives a disk (2D) or a ball (3D)")
        return footprint_array((disk if ndim == 2 else ball)(radius), ndim)
    return footprint_array(footprint, ndim)


def modes_of(mode, ndim):
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


def reach(footprint_shape, shift, modes=None):
    """Pixels before and after a pixel that its window reaches, per axis (0
    along axes whose mode is "ignore", which are not extended)."""
    before = [extent // 2 + s for extent, s in zip(footprint_shape, shift)]
    after = [extent - 1 - b for extent, b in zip(footprint_shape, before)]
    if modes is not None:
        before = [0 if m == "ignore" else b for b, m in zip(before, modes)]
        after = [0 if m == "ignore" else a for a, m in zip(after, modes)]
    return before, after


def axis_of(axis, ndim, what):
    axis = integer(axis, what)
    if not -ndim <= axis < ndim:
        raise ValueError(f"{what} {axis} is out of range for {ndim} dimensions")
    return axis % ndim


def colour_warning(image, footprint, size, radius, stacklevel):
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


def count_dtype(members, dtype, normalized):
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


def bins_of(bins, top):
    """Number of bins: `top` (every value its own bin) by default."""
    if bins is None:
        return top
    bins = integer(bins, "bins")
    if not 1 <= bins <= 65536:
        raise ValueError(f"bins must lie between 1 and 65536, got {bins}")
    return bins


class Request:
    """A filter of one image, checked:
    `image` (native byte order, 2D or 3D), `footprint` (bytes, 0 or 1),
    `mask` (bytes laid out for the engine, or None), `shift` (a tuple),
    `modes` (one per axis), `cval`, `out` (the caller's array, or None),
    `workers`, `p` (the rank's fraction), `members` (of the footprint) and
    `result_dtype`."""

    __slots__ = ("real", "image", "footprint", "mask", "shift", "modes", "cval", "out",
                 "workers", "p", "members", "result_dtype")

    def __init__(self, *, real, image, footprint, mask, shift, modes, cval, out, workers, p,
                 members, result_dtype):
        self.real, self.image, self.footprint, self.mask = real, image, footprint, mask
        self.shift, self.modes, self.cval, self.out = shift, modes, cval, out
        self.workers, self.p, self.members, self.result_dtype = workers, p, members, result_dtype


def statistic(image, *, real=False, footprint=None, size=None, radius=None, mask=None,
              shift=None, mode="ignore", cval=0.0, out=None, workers=1, p=0.0, rank=None):
    """The checked request of a filter of `image` (an ndarray of real
    numbers, without colour channels), whose result is float64 when `real`,
    else of the image's dtype. `rank`, when given, is the fixed rank
    of windows that a border mode fills; else the rank is floor(p * n)."""
    dtype = _values.check_dtype(image.dtype)
    result_dtype = np.dtype(np.float64) if real else dtype.newbyteorder("=")
    image = _values.native(image)
    if image.ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions, got {image.ndim}"
                         + ("; for colour, say which axis holds the channels, e.g. "
                            "channels=-1" if image.ndim == 4 else ""))
    footprint = footprint_from(footprint, size, radius, image.ndim)
    mask = mask_array(mask, image.shape)
    shift = shift_of(shift, footprint.shape)
    workers = workers_of(workers)
    modes = modes_of(mode, image.ndim)
    if out is not None:
        out = out_array(out, image.shape, result_dtype)
    members = int(np.count_nonzero(footprint))
    if rank is not None and members:
        p = (rank + 0.5) / members  # every window is full: rank floor(p * members)
    return Request(real=real, image=image, footprint=footprint, mask=mask, shift=shift,
                   modes=modes, cval=cval, out=out, workers=workers, p=p, members=members,
                   result_dtype=result_dtype)
