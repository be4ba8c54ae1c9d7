"""More statistics of a window: spread (variance, std, gradient), the most
frequent value, entropy, outlier removal, top-hats, local thresholds, and
kernels of the window's histogram written in Python (numba) or C.

Each runs on the engine by its fastest exact route: running sums of values
and squares for the variance, the runs of minimum and maximum for gradients
and top-hats, histograms whose answer follows the updates for the mode,
the entropy and Otsu's threshold, and combinations of these for the other
thresholds. Keywords and rules (windows, borders, masks, channels, out) are
those of ``median``.
"""

import ctypes
import math
import numbers
import sys
import threading

import numpy as np

from . import _api, _filters, _progress, _request, _values
from ._api import ENTROPY, KERNEL, MODE, OTSU, VARIANCE, _doc, _statistic

__all__ = ["variance", "std", "gradient", "mode", "entropy", "remove_outliers", "tophat",
           "local_threshold", "generic", "THRESHOLD_METHODS", "KERNEL_SIGNATURE"]

_PERCENTILE, _MINIMUM, _MAXIMUM, _MEAN = (_filters.PERCENTILE, _filters.MINIMUM,
                                          _filters.MAXIMUM, _filters.MEAN)

# ---------------------------------------------------------------------------
# Arguments


def _real(value, what, low=None):
    """A real number (not a bool, not a string, not NaN), at least `low`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__} {value!r}")
    value = float(value)
    if math.isnan(value) or (low is not None and value < low):
        raise ValueError(f"{what} must be a number of at least {low}, got {value}"
                         if low is not None else f"{what} must not be NaN")
    return value


def _choice(value, what, choices):
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{what} must be one of {', '.join(map(repr, choices))}, got {value!r}")
    return value


def _difference_dtype(dtype):
    """The type of max - min of values of `dtype`: its own, or for signed
    integers the unsigned type of their width, which holds every such
    difference."""
    dtype = np.dtype(dtype).newbyteorder("=")
    if dtype.kind == "i":
        return np.dtype(f"u{dtype.itemsize}")
    return dtype


def _footprint_once(image, footprint, size, radius, channels, stacklevel=3):
    """The footprint as the engine reads it (one warning about colour, as
    the filters give it), for functions that run several filters."""
    if channels is None:
        _request.colour_warning(image, footprint, size, radius, stacklevel + 1)
    _values.check_dtype(image.dtype)
    ndim = image.ndim - (channels is not None)
    if ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions besides any channels, got {ndim}")
    return _request.footprint_from(footprint, size, radius, ndim)


def _reflected(footprint, shift):
    """The footprint reflected through its centre, and its shift: offset d
    becomes -d."""
    flipped = np.ascontiguousarray(footprint[(slice(None, None, -1),) * footprint.ndim])
    shift = tuple(-s if extent % 2 else -1 - s for extent, s in zip(footprint.shape, shift))
    return flipped, shift


def _result(out, shape, dtype):
    """A native array for the result, and what the caller gave (checked)."""
    given = None if out is None else _request.out_array(out, shape, dtype)
    return np.empty(shape, dtype), given


def _returned(result, given):
    if given is None:
        return result
    given[...] = result
    return given


def _clipped_difference(a, b, out):
    """max(a - b, 0) into `out` (of _difference_dtype(a.dtype)), never
    wrapping."""
    if a.dtype.kind == "b":
        np.greater(a, b, out=out)
    elif a.dtype.kind in "iu":
        unsigned = out.dtype
        np.subtract(a.view(unsigned), b.view(unsigned), out=out)
        out[a < b] = 0
    else:
        np.subtract(a, b, out=out)
        np.maximum(out, 0, out=out)
    return out


def _exceeds(a, b, threshold):
    """Where a - b > threshold, exactly for integers (no wrapping, no
    rounding); floats compare in float64."""
    if a.dtype.kind == "f":
        with np.errstate(invalid="ignore"):
            return (a.astype(np.float64) - b) > threshold
    if a.dtype.kind == "b":
        return (a & ~b) if threshold < 1 else np.zeros(a.shape, bool)
    limit = math.floor(threshold)
    if limit >= 1 << (8 * a.dtype.itemsize):
        return np.zeros(a.shape, bool)
    unsigned = _difference_dtype(a.dtype)
    difference = np.subtract(a.view(unsigned), b.view(unsigned))
    return (a > b) & (difference > unsigned.type(limit))


def _counted_windows(image, footprint, shift, mask, mode, workers):
    """Bool array of image's shape, False where a window counts no pixel
    (border modes and mask as the filters apply them); None when every
    window counts one."""
    modes = _request.modes_of(mode, image.ndim)
    centre = tuple(e // 2 + s for e, s in zip(footprint.shape, shift))
    if mask is None and (footprint[centre] or all(m != "ignore" for m in modes)):
        return None
    ones = np.ones(image.shape, np.uint8)
    return _statistic(_MAXIMUM, ones, footprint, mask=mask, shift=shift, mode=modes, cval=1,
                      workers=workers) != 0


def _planes(image, out, mask, channels, result_dtype, fn, progress):
    """fn(plane, out, mask, progress) for each channel (see _api._per_channel)."""
    return _api._per_channel(fn, image, out, mask, channels, result_dtype, progress)


# ---------------------------------------------------------------------------
# Spread


def variance(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
             mode="ignore", cval=0.0, out=None, workers=1, channels=None, ddof=0,
             progress=None):
    return _statistic(VARIANCE, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, p=_real(ddof, "ddof", 0),
                      progress=_progress.reporter(progress, "variance"))


def std(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
        mode="ignore", cval=0.0, out=None, workers=1, channels=None, ddof=0, progress=None):
    return _statistic(VARIANCE, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, p=_real(ddof, "ddof", 0), root=True,
                      progress=_progress.reporter(progress, "std"))


def gradient(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
             mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    parts = _progress.Parts(_progress.reporter(progress, "gradient"), 2)
    image = np.asarray(image)
    fp = _footprint_once(image, footprint, size, radius, channels)
    common = dict(mask=mask, shift=shift, mode=mode, cval=cval, workers=workers,
                  channels=channels)
    result, given = _result(out, image.shape, _difference_dtype(image.dtype))
    high = _statistic(_MAXIMUM, image, fp, **common, progress=parts.part(0))
    low = _statistic(_MINIMUM, image, fp, **common, progress=parts.part(1))
    result = _returned(_clipped_difference(high, low, result), given)
    parts.finish()
    return result


def tophat(image, footprint=None, *, kind="white", size=None, radius=None, mask=None,
           shift=None, mode="ignore", cval=0.0, out=None, workers=1, channels=None,
           progress=None):
    _choice(kind, "kind", ("white", "black"))
    parts = _progress.Parts(_progress.reporter(progress, "tophat"), 2)
    image = np.asarray(image)
    fp = _footprint_once(image, footprint, size, radius, channels)
    shift = _request.shift_of(shift, fp.shape)
    back, back_shift = _reflected(fp, shift)
    common = dict(mask=mask, mode=mode, cval=cval, workers=workers, channels=channels)
    result, given = _result(out, image.shape, _difference_dtype(image.dtype))
    first, second = (_MINIMUM, _MAXIMUM) if kind == "white" else (_MAXIMUM, _MINIMUM)
    shaped = _statistic(first, image, fp, shift=shift, **common, progress=parts.part(0))
    shaped = _statistic(second, shaped, back, shift=back_shift, **common,
                        progress=parts.part(1))
    if kind == "white":
        _clipped_difference(image, shaped, result)
    else:
        _clipped_difference(shaped, image, result)
    result = _returned(result, given)
    parts.finish()
    return result


# ---------------------------------------------------------------------------
# Histograms


def mode(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
         mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    return _statistic(MODE, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, progress=_progress.reporter(progress, "mode"))


def entropy(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
            mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    return _statistic(ENTROPY, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, progress=_progress.reporter(progress, "entropy"))


def remove_outliers(image, footprint=None, *, threshold, which="bright", size=None,
                    radius=None, mask=None, shift=None, mode="ignore", cval=0.0, out=None,
                    workers=1, channels=None, progress=None):
    threshold = _real(threshold, "threshold", 0)
    report = _progress.reporter(progress, "remove_outliers")
    _choice(which, "which", ("bright", "dark"))
    image = np.asarray(image)
    fp = _footprint_once(image, footprint, size, radius, channels)
    dtype = image.dtype.newbyteorder("=")
    if channels is not None:
        def one(plane, out, mask, progress):
            remove_outliers(plane, fp, threshold=threshold, which=which, mask=mask,
                            shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                            progress=progress)
        return _planes(image, out, mask, channels, dtype, one, report)
    result, given = _result(out, image.shape, dtype)
    image = _values.native(image)
    median = _statistic(_PERCENTILE, image, fp, p=0.5, mask=mask, shift=shift, mode=mode,
                        cval=cval, workers=workers, progress=report)
    replace = (_exceeds(image, median, threshold) if which == "bright"
               else _exceeds(median, image, threshold))
    counted = _counted_windows(image, fp, _request.shift_of(shift, fp.shape), mask, mode,
                               workers)
    if counted is not None:
        replace &= counted
    np.copyto(result, image)
    np.copyto(result, median, where=replace)
    return _returned(result, given)


# ---------------------------------------------------------------------------
# Local thresholds

THRESHOLD_METHODS = ("bernsen", "contrast", "mean", "median", "midgrey", "niblack", "otsu",
                     "phansalkar", "sauvola")


def _range_of(dtype):
    """(scale, half): the largest value of an integer type and half its
    range of magnitudes (uint8: 255 and 128; other unsigned: 2^(bits-1);
    signed: 2^(bits-1)); 1 and 0.5 for floats and bools."""
    if dtype.kind in "iu":
        bits = 8 * dtype.itemsize
        return float(np.iinfo(dtype).max), float(2 ** (bits - 1))
    return 1.0, 0.5


def local_threshold(image, footprint=None, *, method, k=None, r=None, size=None, radius=None,
                    mask=None, shift=None, mode="ignore", cval=0.0, out=None, workers=1,
                    channels=None, return_threshold=False, progress=None):
    _choice(method, "method", THRESHOLD_METHODS)
    report = _progress.reporter(progress, "local_threshold")
    return_threshold = _request.flag(return_threshold, "return_threshold")
    image = np.asarray(image)
    fp = _footprint_once(image, footprint, size, radius, channels)
    dtype = image.dtype.newbyteorder("=")
    scale, half = _range_of(dtype)
    defaults = {"bernsen": (15 * scale / 255 if dtype.kind in "iu" else 15 / 255,
                            0.0 if dtype.kind == "i" else half),
                "mean": (0.0, None), "median": (0.0, None), "midgrey": (0.0, None),
                "niblack": (0.2, None), "phansalkar": (0.25, 0.5), "sauvola": (0.5, half)}
    k_default, r_default = defaults.get(method, (None, None))
    k = k_default if k is None else _real(k, "k")
    r = r_default if r is None else _real(r, "r")
    if method in ("phansalkar", "sauvola") and r == 0:
        raise ValueError("r must not be 0: it divides the standard deviation")
    given = None if out is None else _request.out_array(out, image.shape, np.bool_)
    foreground = np.empty(image.shape, bool)
    threshold = np.empty(image.shape, np.float64)
    planes = 1 if channels is None else image.shape[
        _request.axis_of(channels, image.ndim, "channels")]
    parts = _progress.Parts(report, planes * _STAGES[method])
    counter = iter(range(planes * _STAGES[method]))

    def next_part():
        return parts.part(next(counter))

    if channels is None:
        _threshold_plane(image, fp, method, k, r, scale, mask, shift, mode, cval, workers,
                         foreground, threshold, next_part)
    else:
        axis = _request.axis_of(channels, image.ndim, "channels")
        planes = np.moveaxis(image, axis, 0)
        masks = [None] * len(planes)
        if mask is not None:
            mask = np.asarray(mask)
            masks = np.moveaxis(mask, axis, 0) if mask.shape == image.shape else [mask] * len(
                planes)
        for c, (plane, m) in enumerate(zip(planes, masks)):
            _threshold_plane(plane, fp, method, k, r, scale, m, shift, mode, cval, workers,
                             np.moveaxis(foreground, axis, 0)[c],
                             np.moveaxis(threshold, axis, 0)[c], next_part)
    foreground = _returned(foreground, given)
    parts.finish()
    return (foreground, threshold) if return_threshold else foreground


# The filters each method runs (per channel), for its progress.
_STAGES = {"bernsen": 2, "contrast": 2, "midgrey": 2, "mean": 1, "median": 1, "niblack": 2,
           "otsu": 1, "phansalkar": 2, "sauvola": 2}


def _threshold_plane(image, fp, method, k, r, scale, mask, shift, mode, cval, workers,
                     foreground, threshold, next_part):
    """One image's threshold and foreground, into the arrays given;
    next_part() gives each filter's progress callable."""
    common = dict(mask=mask, shift=shift, mode=mode, cval=cval, workers=workers)

    def of(kind, **more):
        return _statistic(kind, image, fp, **common, **more,
                          progress=next_part()).astype(np.float64, copy=False)

    def spread():
        return of(VARIANCE, root=True)

    with np.errstate(invalid="ignore", over="ignore"):
        if method in ("bernsen", "contrast", "midgrey"):
            high, low = of(_MAXIMUM), of(_MINIMUM)
            np.add(high, low, out=threshold)
            threshold *= 0.5
            if method == "bernsen":
                low_contrast = (high - low) < k
            if method == "midgrey":
                threshold -= k
            del high, low
        elif method == "mean":
            np.subtract(of(_MEAN), k, out=threshold)
        elif method == "median":
            np.subtract(of(_PERCENTILE, p=0.5), k, out=threshold)
        elif method == "niblack":
            threshold[...] = of(_MEAN) + k * spread()
        elif method == "sauvola":
            m = of(_MEAN)
            threshold[...] = m * (1 + k * (spread() / r - 1))
        elif method == "phansalkar":
            m = of(_MEAN) / scale
            s = spread() / scale
            threshold[...] = scale * m * (1 + 2 * np.exp(-10 * m) + k * (s / r - 1))
        else:
            threshold[...] = of(OTSU)
        counted = _counted_windows(image, fp, _request.shift_of(shift, fp.shape), mask, mode,
                                   workers)
        if counted is not None:
            threshold[~counted] = np.nan
        v = _values.native(image).astype(np.float64, copy=False)
        if method == "bernsen":
            np.greater_equal(v, threshold, out=foreground)
            if low_contrast.any():
                foreground[low_contrast] = threshold[low_contrast] >= r
        elif method == "contrast":
            np.greater_equal(v, threshold, out=foreground)
        else:
            np.greater(v, threshold, out=foreground)
    if counted is not None:
        foreground[~counted] = False


# ---------------------------------------------------------------------------
# Kernels

KERNEL_SIGNATURE = ("double kernel(const uint32_t *counts, const double *values, "
                    "intptr_t bins, intptr_t population, intptr_t centre)")

_POINTER_SIZED = {t for t in (ctypes.c_ssize_t, ctypes.c_long, ctypes.c_longlong, ctypes.c_int64,
                              ctypes.c_int)
                  if ctypes.sizeof(t) == ctypes.sizeof(ctypes.c_void_p)}


def _pointer_to(t, target):
    return isinstance(t, type) and issubclass(t, ctypes._Pointer) and t._type_ is target


def _kernel_address(kernel):
    """The address of a kernel of KERNEL_SIGNATURE: a numba cfunc or a
    ctypes function pointer of that signature."""
    fn = getattr(kernel, "ctypes", kernel)
    argtypes = getattr(fn, "argtypes", None)
    restype = getattr(fn, "restype", None)
    signature_ok = (
        isinstance(fn, ctypes._CFuncPtr) and argtypes is not None and len(argtypes) == 5
        and restype is ctypes.c_double and _pointer_to(argtypes[0], ctypes.c_uint32)
        and _pointer_to(argtypes[1], ctypes.c_double)
        and all(t in _POINTER_SIZED for t in argtypes[2:]))
    if not signature_ok:
        raise TypeError(f"kernel must be a numba cfunc or a ctypes function of the signature "
                        f"{KERNEL_SIGNATURE}, got {kernel!r}")
    return ctypes.cast(fn, ctypes.c_void_p).value


class _Raised:
    """Collects the exceptions that kernels report while calls run (a numba
    cfunc that raises reports its exception as unraisable, returns 0.0 and
    goes on). The hook is installed while any call runs (calls on several
    threads, as dask makes them, share it); each call sees what was reported
    while it ran."""

    _lock = threading.Lock()
    _active = []
    _previous = None

    def __enter__(self):
        self.errors = []
        with self._lock:
            if not self._active:
                _Raised._previous = sys.unraisablehook
                sys.unraisablehook = _Raised._report
            self._active.append(self)
        return self

    def __exit__(self, *exc):
        with self._lock:
            self._active.remove(self)
            if not self._active:
                sys.unraisablehook = _Raised._previous
        return False

    @staticmethod
    def _report(unraisable):
        with _Raised._lock:
            for call in _Raised._active:
                call.errors.append(unraisable.exc_value)


def generic(image, kernel, footprint=None, *, size=None, radius=None, mask=None, shift=None,
            mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    address = _kernel_address(kernel)
    report = _progress.reporter(progress, "generic")
    with _Raised() as raised:
        result = _statistic(KERNEL, image, footprint, size=size, radius=radius, mask=mask,
                            shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                            channels=channels, kernel=address, progress=report)
    if raised.errors:
        error = raised.errors[0]
        raise RuntimeError(f"the kernel raised {type(error).__name__}: {error} (on "
                           f"{len(raised.errors)} pixel(s)); the result is not "
                           f"valid") from error
    return result


# ---------------------------------------------------------------------------
# Documentation


def _example(lines, result, name=None):
    head = ("    >>> import numpy as np\n"
            "    >>> from morvane.filters.rank import {name}\n"
            "    >>> image = np.array([[1, 2, 3], [4, 5, 6], [7, 8, 9]], np.uint8)\n")
    name = name or lines[0].split("(")[0]
    body = "".join(f"    >>> {line}\n" if not line.startswith("...") else f"    {line}\n"
                   for line in lines)
    return head.format(name=name) + body + f"    {result}"


_FLOAT_RESULT = """ndarray of float64
        The image's shape; NaN where {nan}."""
_SPREAD_RESULT = """ndarray
        The image's shape; the image's dtype, except that signed integers
        give the unsigned type of their width (int8: uint8), which holds
        every difference; bool images give True where {true}; 0 where no
        pixel is counted."""
# What the variance and the standard deviation document alike.
_SPREAD_DOC = dict(
    extra_args="""
    ddof : float, optional
        The divisor is ``n - ddof`` for ``n`` counted values (default 0:
        the population variance); at least 0.""",
    type_extra=", or a ddof that is not a real number", value_extra=", or a negative ddof")
_SPREAD_RETURNS = """ndarray of float64
        The image's shape; NaN where ``n - ddof`` is not positive (no pixel
        counted)."""

variance.__doc__ = _doc(
    "Local variance: ``sum((x - m)**2) / (n - ddof)`` over the ``n`` counted\n"
    "    values ``x`` of mean ``m``.\n\n"
    "    Exact for integer images of up to 16 bits (integer sums of values and\n"
    "    squares, one rounding at the end); other types through compensated\n"
    "    float64 sums of the values and of their squares (each square with its\n"
    "    rounding error) and ``n * S2 - S1**2`` from exact products, which\n"
    "    keeps a window's spread however large its values (64-bit integers\n"
    "    beyond 2**53 are rounded to float64 first).",
    _SPREAD_RETURNS,
    _example(["variance(image, np.ones((1, 3), bool))"],
             """array([[0.25      , 0.66666667, 0.25      ],
           [0.25      , 0.66666667, 0.25      ],
           [0.25      , 0.66666667, 0.25      ]])"""),
    **_SPREAD_DOC)

std.__doc__ = _doc(
    "Local standard deviation: the square root of ``variance``.",
    _SPREAD_RETURNS,
    _example(["std(image, np.ones((3, 1), bool))"],
             """array([[1.5       , 1.5       , 1.5       ],
           [2.44948974, 2.44948974, 2.44948974],
           [1.5       , 1.5       , 1.5       ]])"""),
    **_SPREAD_DOC)

gradient.__doc__ = _doc(
    "Local range (morphological gradient): the maximum less the minimum of\n"
    "    the counted values.",
    _SPREAD_RESULT.format(true="the window holds both values"),
    _example(["gradient(image, np.ones((3, 3), bool))"],
             """array([[4, 5, 4],
           [7, 8, 7],
           [4, 5, 4]], dtype=uint8)"""))

mode.__doc__ = _doc(
    "Local mode (majority filter): the most frequent of the counted values,\n"
    "    the smallest of them on a tie. Values are told apart as they order:\n"
    "    -0.0 and 0.0 are two values, every NaN is one.",
    """ndarray
        The image's shape and dtype; 0 where no pixel is counted.""",
    _example(["mode(np.array([[1, 1, 2], [2, 3, 3], [3, 1, 1]], np.uint8), "
              "np.ones((3, 3), bool))"],
             """array([[1, 1, 3],
           [1, 1, 1],
           [3, 3, 1]], dtype=uint8)"""))

entropy.__doc__ = _doc(
    "Local Shannon entropy in bits: ``-sum(p * log2(p))`` over the distinct\n"
    "    counted values, ``p`` the share of the window each holds (values told\n"
    "    apart as ``mode`` tells them). A texture measure: 0 for a flat window,\n"
    "    ``log2(n)`` for ``n`` distinct values.",
    _FLOAT_RESULT.format(nan="no pixel is counted"),
    _example(["entropy(image, np.ones((1, 2), bool))"],
             """array([[0., 1., 1.],
           [0., 1., 1.],
           [0., 1., 1.]])"""))

remove_outliers.__doc__ = _doc(
    "Removes outliers: a pixel that lies more than ``threshold`` above\n"
    "    (``which=\"bright\"``) or below (``\"dark\"``) the median of its window is\n"
    "    replaced by that median; other pixels are kept. Differences are exact\n"
    "    for integers (no wrapping); floats compare in float64.",
    """ndarray
        The image's shape and dtype; pixels whose window counts no pixel
        are kept.""",
    _example(["remove_outliers(np.array([[1, 2, 3], [4, 90, 6], [7, 8, 9]], np.uint8),",
              "...                 np.ones((3, 3), bool), threshold=20)"],
             """array([[1, 2, 3],
           [4, 6, 6],
           [7, 8, 9]], dtype=uint8)"""),
    extra_args="""
    threshold : float
        How far from the median a pixel may lie, at least 0 (keyword only,
        required).
    which : {"bright", "dark"}, optional
        Which outliers go: those above the median (default) or below it.""",
    type_extra=", or a threshold that is not a real number",
    value_extra=", a negative threshold, or an unknown which")

tophat.__doc__ = _doc(
    "Top-hat: the image less its opening (``kind=\"white\"``: the bright details\n"
    "    smaller than the footprint), or its closing less the image (``\"black\"``:\n"
    "    the dark ones). The opening is the ``maximum`` of the ``minimum``, the\n"
    "    closing the ``minimum`` of the ``maximum``, the second filter with the\n"
    "    footprint reflected through its centre; both with the same mask and\n"
    "    border mode. Differences below 0 (which a mask or a constant border\n"
    "    can make) give 0.",
    _SPREAD_RESULT.format(true="the difference is 1"),
    _example(["tophat(np.array([[1, 1, 1], [1, 9, 1], [1, 1, 1]], np.uint8), "
              "np.ones((1, 3), bool))"],
             """array([[0, 0, 0],
           [0, 8, 0],
           [0, 0, 0]], dtype=uint8)"""),
    extra_args="""
    kind : {"white", "black"}, optional
        The white top-hat (default) or the black one.""",
    value_extra=", or an unknown kind")

local_threshold.__doc__ = _doc(
    "Local (adaptive) threshold: the foreground of the image, each pixel\n"
    "    compared with a threshold made from its own window. With ``m``, ``s``\n"
    "    the window's mean and standard deviation (divisor ``n``), ``lo``, ``hi``\n"
    "    its minimum and maximum, ``med`` its median and ``v`` the pixel:\n\n"
    "    - ``\"bernsen\"`` (Bernsen 1986, Proc. 8th ICPR, 1251-1255): ``t = (hi + lo) / 2``;\n"
    "      foreground ``v >= t``, but where the contrast ``hi - lo < k`` the\n"
    "      whole window is one class: foreground where ``t >= r``. ``k``\n"
    "      defaults to 15 for uint8 (15/255 of the type's largest value for\n"
    "      other integers and of 1 for floats), ``r`` to the middle of the\n"
    "      range (128 for uint8, 2**(bits-1) for other unsigned types, 0 for\n"
    "      signed ones, 0.5 for floats).\n"
    "    - ``\"contrast\"`` (toggle contrast: Soille 2004, Morphological Image\n"
    "      Analysis, 2nd ed., 259): foreground where ``v`` lies at least as close to ``hi``\n"
    "      as to ``lo``: ``v >= t``, ``t = (hi + lo) / 2``.\n"
    "    - ``\"mean\"``, ``\"median\"``, ``\"midgrey\"`` (variable thresholding by local\n"
    "      statistics: Gonzalez and Woods 2008, Digital Image Processing, 3rd ed.,\n"
    "      10.3.7): ``v > t`` with ``t = m - k``, ``t = med - k`` and\n"
    "      ``t = (hi + lo) / 2 - k`` (``k`` default 0).\n"
    "    - ``\"niblack\"`` (Niblack 1986, An Introduction to Digital Image\n"
    "      Processing, 115-116): ``v > t``, ``t = m + k s`` (``k`` default 0.2).\n"
    "    - ``\"otsu\"`` (Otsu 1979, IEEE Trans. SMC 9(1), 62-66): ``v > t``, ``t``\n"
    "      the window's value that best splits it in two: among values ``t``\n"
    "      that leave some value above them, the smallest maximising\n"
    "      ``d**2 / q``, ``d = M w0 - n m0``, ``q = w0 (n - w0)``, where ``w0``\n"
    "      and ``m0`` count and sum the values ``<= t`` and ``n``, ``M`` all of\n"
    "      them (float64); a window of one value gives that value, one holding\n"
    "      a NaN gives NaN.\n"
    "    - ``\"phansalkar\"`` (Phansalkar et al. 2011, Proc. ICCSP, 218-220): on values\n"
    "      divided by the type's largest value (1 for floats), ``v > t``,\n"
    "      ``t = m (1 + 2 exp(-10 m) + k (s / r - 1))`` (``k`` default 0.25,\n"
    "      ``r`` 0.5).\n"
    "    - ``\"sauvola\"`` (Sauvola and Pietikainen 2000, Pattern Recognition 33(2),\n"
    "      225-236): ``v > t``, ``t = m (1 + k (s / r - 1))`` (``k`` default 0.5,\n"
    "      ``r`` 128 for uint8, 2**(bits-1) for other integers, 0.5 for floats).\n\n"
    "    Statistics and comparisons are in float64 (64-bit integers beyond\n"
    "    2**53 are rounded).",
    """ndarray of bool, or (ndarray of bool, ndarray of float64)
        The foreground, of the image's shape (False where no pixel is
        counted); with ``return_threshold`` also the threshold of every
        pixel (NaN where no pixel is counted).""",
    _example(["local_threshold(image, np.ones((3, 3), bool), method=\"mean\")"],
             """array([[False, False, False],
           [False, False,  True],
           [ True,  True,  True]])"""),
    extra_args="""
    method : str
        One of THRESHOLD_METHODS (keyword only, required): "bernsen",
        "contrast", "mean", "median", "midgrey", "niblack", "otsu",
        "phansalkar", "sauvola".
    k : float, optional
        The method's first parameter, as above (None: its default).
    r : float, optional
        The method's second parameter, as above (None: its default).
    return_threshold : bool, optional
        Also return the threshold image.""",
    type_extra=", or a k or r that is not a real number",
    value_extra=", an unknown method, or r = 0 where it divides")

generic.__doc__ = _doc(
    "Any statistic of the window's histogram, computed by a kernel written in\n"
    "    C or with numba, which the engine calls once per pixel (also where no\n"
    "    pixel is counted) on its sliding histogram, without the interpreter\n"
    "    lock and on ``workers`` threads. The kernel's C signature is\n"
    "    KERNEL_SIGNATURE::\n\n"
    "        double kernel(const uint32_t *counts, const double *values,\n"
    "                      intptr_t bins, intptr_t population, intptr_t centre)\n\n"
    "    ``counts[i]`` counted pixels of the window hold the value ``values[i]``\n"
    "    (``i < bins``; bins that count nothing may carry any value);\n"
    "    ``population`` is the sum of the counts, ``centre`` the bin of the\n"
    "    pixel's own value; the kernel returns the pixel's result. uint8 and\n"
    "    uint16 images have a bin per value of their type (in order), int8,\n"
    "    int16 and float16 ones a bin per value of their width in the order\n"
    "    of values, other types a bin per distinct value of the image (in\n"
    "    order, bin 0 empty). With numba::\n\n"
    "        from numba import cfunc, types\n"
    "        signature = types.float64(types.CPointer(types.uint32),\n"
    "                                  types.CPointer(types.float64),\n"
    "                                  types.intp, types.intp, types.intp)\n\n"
    "        @cfunc(signature)\n"
    "        def local_median(counts, values, bins, population, centre):\n"
    "            seen = 0\n"
    "            for i in range(bins):\n"
    "                seen += counts[i]\n"
    "                if seen > population // 2:\n"
    "                    return values[i]\n"
    "            return np.nan\n\n"
    "        smooth = generic(image, local_median, radius=5)\n\n"
    "    A kernel may return NaN. One that raises (numba reports it and goes\n"
    "    on) makes the call raise RuntimeError once it ends.",
    """ndarray of float64
        The image's shape: the kernel's result at every pixel.""",
    _example(["import ctypes",
              "KERNEL = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.POINTER(ctypes.c_uint32),",
              "...                       ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t,",
              "...                       ctypes.c_ssize_t, ctypes.c_ssize_t)",
              "@KERNEL",
              "... def distinct(counts, values, bins, population, centre):",
              "...     return sum(1 for i in range(bins) if counts[i])",
              "generic(image, distinct, np.ones((1, 2), bool))"],
             """array([[1., 2., 2.],
           [1., 2., 2.],
           [1., 2., 2.]])""", name="generic"),
    extra_args="""
    kernel : numba cfunc or ctypes function
        Of the signature above (positional, after the image).""",
    type_extra=", or a kernel that is not a function of that signature",
    value_extra="")
