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

Arguments are checked once (_request.py); the native module gets plain arrays.
"""

import warnings

import numpy as np

from . import _filters, _progress, _request, _values

__all__ = ["median", "percentile", "mean", "minimum", "maximum", "histogram", "explain"]

# ---------------------------------------------------------------------------
# Memory shared between arguments

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


# The statistics beyond the rank filters and the mean (their kinds here).
VARIANCE, MODE, ENTROPY, OTSU, KERNEL = "variance", "mode", "entropy", "otsu", "kernel"

# The engine's code of each statistic.
_STATS = {_filters.PERCENTILE: 0, _filters.MEAN: 1, _filters.MINIMUM: 2, _filters.MAXIMUM: 3,
          VARIANCE: 4, MODE: 5, ENTROPY: 6, OTSU: 7, KERNEL: 8}

# Statistics whose result is float64 (the others give values of the image).
_REAL = frozenset([_filters.MEAN, VARIANCE, ENTROPY, KERNEL])


def _per_channel(fn, image, out, mask, channels, result_dtype, progress=None, **kwargs):
    """fn filtered channel by channel: the axis `channels` holds them; the
    mask has the image's shape or its shape without that axis; `progress`
    (done, total) is told of the channels in turn."""
    axis = _request.axis_of(channels, image.ndim, "channels")
    planes = np.moveaxis(image, axis, 0)
    if out is not None and (not isinstance(out, np.ndarray) or out.shape != image.shape):
        raise ValueError(f"out must have the image's shape {image.shape}")
    out = _request.out_array(out, image.shape, result_dtype)
    targets = np.moveaxis(out, axis, 0)
    masks = [None] * len(planes)
    if mask is not None:
        mask = np.asarray(mask)
        if mask.shape == image.shape:
            masks = np.moveaxis(mask, axis, 0)
        else:
            masks = [mask] * len(planes)
    for plane, target, m, p in zip(planes, targets, masks,
                                   _progress.per_channel(progress, len(planes))):
        fn(plane, out=target, mask=m, progress=p, **kwargs)
    return out


def _empty_fill(out, kind):
    """Every window empty: 0 (NaN for statistics of float64 results)."""
    out[...] = np.nan if kind in _REAL else 0
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


# The call that most code makes over and over (an image the engine reads as
# it is, into an `out` given, border mode "ignore", nothing else) goes
# straight to the engine: the footprints of such calls are checked once and
# kept, by their bytes, so that a small image costs little more than the
# engine's own work.
_DIRECT = frozenset([np.dtype(np.uint8), np.dtype(np.uint16)])
_QUICK_KINDS = frozenset([_filters.PERCENTILE, _filters.MEAN, _filters.MINIMUM,
                          _filters.MAXIMUM])
_QUICK_FOOTPRINTS = {}
_FLOAT64 = np.dtype(np.float64)
_ORIGIN = {2: (0, 0), 3: (0, 0, 0)}


def _quick_footprint(footprint, size, radius, ndim):
    """(footprint as the engine reads it, members) from the cache, or None
    for what is not kept there."""
    if footprint is not None:
        if size is not None or radius is not None or type(footprint) is not np.ndarray:
            return None
        key = (ndim, footprint.shape, footprint.dtype.str, footprint.tobytes())
    elif size is not None and radius is None and type(size) is int:
        key = (ndim, "size", size)
    elif radius is not None and size is None and type(radius) in (int, float):
        key = (ndim, "radius", radius)
    else:
        return None
    found = _QUICK_FOOTPRINTS.get(key)
    if found is None:
        fp = np.ascontiguousarray(_request.footprint_from(footprint, size, radius, ndim)).copy()
        members = int(np.count_nonzero(fp))
        if len(_QUICK_FOOTPRINTS) >= 64:
            _QUICK_FOOTPRINTS.clear()
        found = _QUICK_FOOTPRINTS[key] = (fp, members)
    return found


def _quick(kind, image, footprint, size, radius, out, workers, p):
    """The result of a call that can go straight to the engine, or None."""
    dtype = image.dtype
    if (dtype not in _DIRECT or image.ndim not in (2, 3) or type(out) is not np.ndarray
            or out.shape != image.shape
            or out.dtype != (_FLOAT64 if kind == _filters.MEAN else dtype)
            or not out.flags.writeable or type(workers) is not int
            or not 1 <= workers <= _request.WORKERS_PER_CPU * _request._CPUS
            or (image.ndim == 3 and image.shape[-1] in (3, 4) and footprint is None)
            or np.may_share_memory(image, out)):
        return None
    found = _quick_footprint(footprint, size, radius, image.ndim)
    if found is None or not found[1]:
        return None
    _filters.engine(_STATS[kind], image, found[0], None, out, _ORIGIN[image.ndim], p, workers,
                    "auto")
    return out


def _statistic(kind, image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
               mode="ignore", cval=0.0, out=None, workers=1, channels=None, p=0.0, rank=None,
               method="auto", bands=0, progress=None, stacklevel=2, kernel=None, root=False):
    """A filter of an image of any real dtype: a rank (of rank floor(p * n),
    or the fixed `rank` in windows that the border mode fills), mean,
    minimum, maximum or another of the engine's statistics (the variance of
    divisor n - p, its square root with `root`; a kernel at address
    `kernel`); `method` forces one of the engine's methods, `bands` how many
    bands the engine cuts, `progress` is told (done, total) bands."""
    if (out is not None and type(mode) is str and mode == "ignore" and type(image) is np.ndarray
            and mask is None
            and shift is None and channels is None and rank is None and progress is None
            and method == "auto" and not bands and kernel is None and not root
            and kind in _QUICK_KINDS):
        done = _quick(kind, image, footprint, size, radius, out, workers, p)
        if done is not None:
            return done
    image = np.asarray(image)
    arguments = dict(footprint=footprint, size=size, radius=radius, shift=shift, mode=mode,
                     cval=cval, workers=workers, p=p, rank=rank, kernel=kernel, root=root)
    if channels is not None:
        dtype = _values.check_dtype(image.dtype)
        result_dtype = np.dtype(np.float64) if kind in _REAL else dtype.newbyteorder("=")

        def one(plane, out, mask, progress):
            _statistic(kind, plane, out=out, mask=mask, method=method, bands=bands,
                       progress=progress, **arguments)
        return _per_channel(one, image, out, mask, channels, result_dtype, progress)
    _request.colour_warning(image, footprint, size, radius, stacklevel + 1)
    del arguments["kernel"], arguments["root"]
    request = _request.statistic(image, real=kind in _REAL, mask=mask, out=out, **arguments)
    return _filter(kind, request, method, bands, progress, kernel, root)


def _keys_in_chunks(kind, request):
    """Whether the engine may make the keys of this request's values itself,
    a chunk at a time (a rank of float16 or float32 values without border
    modes), when its method is the selection networks."""
    dtype = request.image.dtype
    return (kind == _filters.PERCENTILE and dtype.kind == "f" and dtype.itemsize in (2, 4)
            and all(m == "ignore" for m in request.modes))


def _values_of(kind, request, floats=False):
    """What the engine reads for a request: (Values or None for float64
    values, the data, the constant border's value as the data holds it,
    None or what turns the engine's result into the statistic). `floats`:
    a rank of float16 or float32 values without border modes may hand the
    engine the values' bits (Floats), for it to make their keys itself."""
    image, dtype = request.image, request.image.dtype
    constant = any(_values.PAD_MODES.get(m) == "constant" for m in request.modes)
    cval = request.cval if constant else None
    fill = None if cval is None else float(_values.cast_like(cval, dtype))
    if kind == _filters.MEAN and (dtype.kind == "f" or dtype.itemsize == 8):
        return None, image.astype(np.float64, copy=False), fill, None
    if kind == VARIANCE and (dtype.kind == "f" or dtype.itemsize > 2
                             or (request.mask is not None and request.members >= 1 << 20)):
        return _doubles_for_variance(image, fill)
    # Keys or codes of 32-bit values: the engine's rule, asked before any
    # keys are made (it reads no pixel, so a stand-in of the keys' layout
    # serves). Statistics of the whole histogram count codes of them.
    codes = kind in (MODE, ENTROPY, KERNEL) and dtype.itemsize == 4
    if kind == _filters.PERCENTILE and dtype.itemsize == 4:
        stand_in = _values.stand_in(image.shape, np.uint32)
        codes = _filters.engine(_STATS[kind], stand_in, request.footprint, request.mask, None,
                                request.shift, request.p, request.workers, "values") == "codes"
    if floats and not codes and _keys_in_chunks(kind, request):
        values = _values.Floats(image)
        return values, values.data, None, None
    values = _values.Values(image, codes=codes, cval=cval, dense=kind == OTSU)
    return values, values.data, values.fill, None


def _doubles_for_variance(image, fill):
    """The values as float64 for the variance, scaled by a power of two
    that keeps squares and their sums finite (and away from subnormals);
    the result is scaled back."""
    data = image.astype(np.float64, copy=False)
    largest = _largest_finite(data) if data.size else 0.0
    power = 0
    if largest > 0 and not 2.0 ** -200 < largest < 2.0 ** 200:
        power = int(np.frexp(largest)[1])
        data = np.ldexp(data, -power)
        if fill is not None:
            fill = float(np.ldexp(fill, -power))

    def finish(result):
        if power:
            np.ldexp(result, 2 * power, out=result)
    return None, data, fill, finish


def _filter(kind, request, method="auto", bands=0, progress=None, kernel=None, root=False):
    """The filter of a checked request (`kernel`, `root`: as _statistic)."""
    out = request.out
    given = out
    if out is not None and not out.dtype.isnative:
        out = None  # filtered into a native array, then stored
    result = np.empty(request.image.shape, request.result_dtype) if out is None else out
    if request.members == 0:
        return _store_given(given, _empty_fill(result, kind))
    values, data, fill, finish = _values_of(kind, request, floats=True)
    # The runs read the image while they write the result.
    data = _distinct(data, result)
    mask = request.mask
    if mask is not None:
        mask = _distinct(mask, result)
    run = _Run(kind, values, request.footprint, request.shift, request.p, request.workers, method,
               kernel)
    if progress is not None and not bands:
        # Bands often enough to be told of (a band reports as it ends), yet
        # each a few footprints high, so halos stay a small share.
        rows, reach = data.shape[0], request.footprint.shape[0]
        bands = max(request.workers, min(32, rows // max(1, 4 * reach)))
    # Every window inside the image is the same whatever the border mode:
    # the whole image first, then the slabs along its borders again, each
    # from the part of the extended image its windows reach.
    run(data, mask, result, bands=bands, progress=progress)
    if any(m != "ignore" for m in request.modes):
        before, after = _request.reach(request.footprint.shape, request.shift, request.modes)
        for sub, sub_mask, crop, slab in _border_slabs(data, mask, fill, before, after,
                                                       request.modes):
            run(sub, sub_mask, result[slab], crop)
    if finish is not None:
        finish(result)
    if root:
        np.sqrt(result, out=result)
    return _store_given(given, result)


_KINDS = {"median": (_filters.PERCENTILE, 0.5), "percentile": (_filters.PERCENTILE, None),
          "mean": (_filters.MEAN, 0.0), "minimum": (_filters.MINIMUM, 0.0),
          "maximum": (_filters.MAXIMUM, 0.0)}


def explain(statistic, image, footprint=None, *, p=None, size=None, radius=None, mask=None,
            shift=None, mode="ignore", cval=0.0, workers=1, channels=None):
    """How a call would run: the engine's method for it, and why.

    Parameters
    ----------
    statistic : str or callable
        "median", "percentile", "mean", "minimum" or "maximum" (or the
        function of that name).
    image : array_like of real numbers, 2D or 3D
        As for that function.
    footprint : array_like of real numbers, optional
        As for that function; or ``size`` or ``radius``.
    p : float, optional
        For "percentile" only: between 0 and 1.
    size : int or sequence of ints, optional
    radius : float, optional
    mask : array_like of bool or integers, optional
    shift : sequence of ints, optional
    mode : str or sequence of str, optional
    cval : float, optional
    workers : int or None, optional
    channels : int, optional
        As for that function (with channels, every channel runs alike: the
        first is explained).

    Returns
    -------
    dict
        ``method``: the engine's method for the image (with a border mode:
        for its whole image; the slabs along the borders may take
        another); ``isa``: the instruction set the engine runs
        (``MORVANE_ISA`` forces one); ``costs``: every method that applies,
        with its estimated cost in nanoseconds per pixel on one core;
        ``values``: what the engine reads ("direct", "bool", "keys",
        "codes" or "float64"); ``copies``: the working copies the call
        makes, each a line of text.

    Raises
    ------
    TypeError, ValueError
        As the function itself would for these arguments, and a ValueError
        for an unknown statistic.

    Examples
    --------
    >>> import numpy as np
    >>> from morvane.filters.rank import explain
    >>> how = explain("median", np.zeros((64, 64), np.uint8), size=3)
    >>> sorted(how)
    ['copies', 'costs', 'isa', 'method', 'values']
    >>> how["method"] in how["costs"]
    True
    """
    name = getattr(statistic, "__name__", statistic)
    if not isinstance(name, str) or name not in _KINDS:
        raise ValueError(f"statistic must be one of {', '.join(_KINDS)}, got {statistic!r}")
    kind, fraction = _KINDS[name]
    if name == "percentile":
        if p is None:
            raise TypeError("p must be given for a percentile")
        fraction = _request.fraction(p)
    elif p is not None:
        raise TypeError(f"p applies to a percentile only, not to {name}")
    image = np.asarray(image)
    copies = []
    if channels is not None:
        axis = _request.axis_of(channels, image.ndim, "channels")
        copies.append(f"each of the {image.shape[axis]} channels filtered alone, alike")
        image = np.take(image, 0, axis=axis)
        if mask is not None and np.ndim(mask) == image.ndim + 1:
            mask = np.take(np.asarray(mask), 0, axis=axis)
    request = _request.statistic(image, real=kind == _filters.MEAN, footprint=footprint,
                                 size=size, radius=radius, mask=mask, shift=shift, mode=mode,
                                 cval=cval, workers=workers, p=fraction)
    if request.members == 0:
        return {"method": "none", "isa": _filters.ISA, "costs": {}, "values": "none",
                "copies": copies + ["no member: every window empty"]}
    values, data, _, _ = _values_of(kind, request)
    megabytes = data.size * data.itemsize / 1e6
    if values is None:
        described = "float64"
        if request.image.dtype != np.float64:
            copies.append(f"the values as float64 ({megabytes:.1f} MB)")
    else:
        described = values.kind
        if values.kind == "keys":
            copies.append(f"order-preserving keys of the values ({data.dtype}, {megabytes:.1f} MB)")
        elif values.kind == "codes":
            copies.append(f"codes of the values ({data.dtype}, {megabytes:.1f} MB) and a table of "
                          f"{len(values.table) - 1} distinct values")
        if values.kind == "keys" and request.image.dtype.kind == "i" and kind != _filters.MEAN:
            if _counted(request.footprint, request.shift, request.mask, data.shape,
                        ("ignore",) * data.ndim, request.workers) is not None:
                copies.append(f"a map of empty windows ({data.size / 1e6:.1f} MB)")
    if request.mask is not None:
        copies.append(f"the mask as bytes ({request.mask.size / 1e6:.1f} MB)")
    info = _filters.engine(_STATS[kind], data, request.footprint, request.mask, None,
                           request.shift, request.p, request.workers, "explain", 0, None,
                           None if values is None else values.bins,
                           0 if values is None else values.offset)
    if (values is not None and values.kind == "keys" and info["method"] == "network"
            and _keys_in_chunks(kind, request)):
        # The networks make the keys of float bits themselves.
        copies = [c for c in copies if not c.startswith("order-preserving keys")]
        copies.append("order-preserving keys of the values, a chunk of rows at a time "
                      "(none for chunks without negative values or NaN)")
        info["image_copy"] = False
    if info["image_copy"]:
        copies.append("the values again, with a row pitch the method reads faster")
    if info["mask_copy"]:
        copies.append("the mask again, as 0 / 1 bytes with a row pitch the method reads faster")
    before, after = _request.reach(request.footprint.shape, request.shift, request.modes)
    slabs = list(_border_slabs(_values.stand_in(data.shape, data.dtype), None, 0, before, after,
                               request.modes, build=False))
    if slabs:
        pixels = sum(int(np.prod([s.stop - s.start for s in box])) for box in slabs)
        copies.append(f"{len(slabs)} border slabs of the extended image ({pixels} pixels)")
    return {"method": info["method"], "isa": info["isa"], "costs": info["costs"],
            "values": described, "copies": copies}


class _Run:
    """One engine run of a filter: values (or their keys or codes) and mask
    in, the image's values out."""

    def __init__(self, kind, values, footprint, shift, p, workers, method, kernel=None):
        self.kind, self.values, self.footprint, self.shift = kind, values, footprint, shift
        self.p, self.workers, self.method, self.kernel = p, workers, method, kernel
        # The value of each bin, for statistics that read values, not ranks;
        # statistics of the whole histogram count as many bins as there are
        # codes.
        self.bin_values = values.bin_values() if kind in (OTSU, KERNEL) else None
        self.bins = values.bins if values is not None else None
        if kind in (MODE, ENTROPY, OTSU, KERNEL) and values.kind == "codes":
            self.bins = len(values.table)

    def __call__(self, data, mask, result, crop=None, bands=0, progress=None):
        """Filters `data` (mode "ignore") into `result`, of data's shape, or
        of the part `crop` of it."""
        kind, values = self.kind, self.values
        back = values is not None and kind not in _REAL
        counted = None  # codes and float keys of an empty window map back to 0
        if back and values.kind == "keys" and values.dtype.kind == "i":
            counted = _counted(self.footprint, self.shift, mask, data.shape,
                               ("ignore",) * data.ndim, self.workers)
        target = None
        if crop is None:  # data and mask never share the result's memory
            target = values.target(result) if back else result
        if target is None:
            target = np.empty(data.shape, np.float64 if kind in _REAL else data.dtype)
        if values is None and kind == _filters.MEAN:
            _mean_of_doubles(data, self.footprint, mask, target, self.shift, self.workers, bands,
                             progress)
        elif values is None:
            _filters.engine(_STATS[kind], data, self.footprint, mask, target, self.shift, self.p,
                            self.workers, self.method, bands, progress)
        else:
            ran = _filters.engine(_STATS[kind], data, self.footprint, mask, target, self.shift,
                                  self.p, self.workers, self.method, bands, progress, self.bins,
                                  values.offset, self.bin_values, self.kernel,
                                  values.kind == "floats")
            if ran == "keys":  # the method chosen reads keys made beforehand
                _filters.engine(_STATS[kind], values.keys(data), self.footprint, mask, target,
                                self.shift, self.p, self.workers, self.method, bands, progress)
        if crop is not None:
            target = target[crop]
            counted = None if counted is None else counted[crop]
        if back:
            values.back(target, result, counted)
        elif target is not result:
            np.copyto(result, target)


def _border_slabs(data, mask, fill, before, after, modes, build=True):
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
            if any(first >= last for first, last in out):
                continue
            # Pixels [first, last) of an axis reach [first - before, last + after).
            box = [(first - be, last + af) if mo != "ignore" else (0, n_e)
                   for (first, last), be, af, mo, n_e in zip(out, before, after, modes, shape)]
            index = [_values.border_index(n_e, start, stop, m_e)
                     for n_e, (start, stop), m_e in zip(shape, box, modes)]
            crop = tuple(slice(first - start, last - start)
                         for (first, last), (start, _) in zip(out, box))
            slab = tuple(slice(first, last) for first, last in out)
            if not build:  # the boxes of the extended image only
                yield tuple(slice(start, stop) for start, stop in box)
                continue
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


def _grouped(image, bins, top):
    """Bin codes: value v goes to bin v * bins // top."""
    if bins == top:
        return image
    codes = image.astype(np.uint64) * bins // top
    return codes.astype(np.uint8 if bins <= 256 else np.uint16)


def _histogram(image, footprint, normalized, mask, shift, out, workers, bins, dtype, top,
               progress=None):
    footprint = _request.footprint_array(footprint, image.ndim)
    mask = _request.mask_array(mask, image.shape)
    shift = _request.shift_of(shift, footprint.shape)
    workers = _request.workers_of(workers)
    bins = _request.bins_of(bins, top)
    members = int(np.count_nonzero(footprint))
    if dtype is None and isinstance(out, np.ndarray):
        # The counts take the type of a given out.
        try:
            dtype = _request.count_dtype(members, out.dtype, normalized)
        except (TypeError, ValueError) as error:
            raise ValueError(f"out dtype {out.dtype} cannot hold this histogram: "
                             f"{error}") from None
    dtype = _request.count_dtype(members, dtype, normalized)
    out = _request.out_array(out, image.shape + (bins,), dtype)
    image = _distinct(image, out)
    codes = _grouped(image, bins, top)
    if dtype.kind == "f":
        target, kind = out, (_filters.NORMALISED if normalized else _filters.COUNTS)
    else:
        as_type, kind = _COUNT_VIEWS[dtype.itemsize]
        target = out.view(as_type)
    _run(kind, codes, footprint, mask, target, shift, 0.0, bins, None, workers,
         progress=progress)
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
    progress : bool or callable, optional
        True for a progress bar on stderr (tqdm's where it is installed),
        or a callable told ``progress(done, total)`` as the work proceeds
        (``done`` rising to ``total``, from the calling thread; an
        exception it raises stops the call). None (the default): nothing
        is reported and nothing is spent on it.
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
           mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    return _statistic(_filters.PERCENTILE, image, footprint, size=size, radius=radius,
                      mask=mask, shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, p=0.5,
                      progress=_progress.reporter(progress, "median"))


def percentile(image, footprint=None, p=None, *, size=None, radius=None, mask=None,
               shift=None, mode="ignore", cval=0.0, out=None, workers=1, channels=None,
               progress=None):
    if p is None:
        raise TypeError("p must be given: percentile(image, footprint, p), p between 0 and 1")
    return _statistic(_filters.PERCENTILE, image, footprint, size=size, radius=radius,
                      mask=mask, shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, p=_request.fraction(p),
                      progress=_progress.reporter(progress, "percentile"))


def mean(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
         mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    return _statistic(_filters.MEAN, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, progress=_progress.reporter(progress, "mean"))


def minimum(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
            mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    return _statistic(_filters.MINIMUM, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, progress=_progress.reporter(progress, "minimum"))


def maximum(image, footprint=None, *, size=None, radius=None, mask=None, shift=None,
            mode="ignore", cval=0.0, out=None, workers=1, channels=None, progress=None):
    return _statistic(_filters.MAXIMUM, image, footprint, size=size, radius=radius, mask=mask,
                      shift=shift, mode=mode, cval=cval, out=out, workers=workers,
                      channels=channels, progress=_progress.reporter(progress, "maximum"))


# The largest histogram result allocated without being asked for more.
MAX_HISTOGRAM_BYTES = 2 << 30


def histogram(image, footprint=None, *, size=None, radius=None, normalized=False, bins=None,
              dtype=None, mask=None, shift=None, mode="ignore", cval=0.0, out=None, workers=1,
              channels=None, max_bytes=MAX_HISTOGRAM_BYTES, progress=None):
    return _histogram_of(image, footprint, size, radius, normalized, bins, dtype, mask, shift,
                         mode, cval, out, workers, channels, max_bytes,
                         progress=_progress.reporter(progress, "histogram"))


def _histogram_args(image, footprint, size, radius, normalized, shift, mode, channels):
    """The checked arguments that do not depend on the values: (ndim,
    footprint, shift, modes, normalized)."""
    _values.check_dtype(image.dtype)
    normalized = _request.flag(normalized, "normalized")
    ndim = image.ndim - (channels is not None)
    if ndim not in (2, 3):
        raise ValueError(f"image must have 2 or 3 dimensions besides any channels, got {ndim}")
    footprint = _request.footprint_from(footprint, size, radius, ndim)
    shift = _request.shift_of(shift, footprint.shape)
    modes = _request.modes_of(mode, ndim)
    return ndim, footprint, shift, modes, normalized


def _histogram_of(image, footprint, size, radius, normalized, bins, dtype, mask, shift, mode,
                  cval, out, workers, channels, max_bytes, extremes=None, stacklevel=3,
                  progress=None):
    """histogram(); `extremes` the (smallest, largest) counted values of the
    whole array (the blocks of a dask array), else those of the image."""
    image = np.asarray(image)
    if channels is None:
        _request.colour_warning(image, footprint, size, radius, stacklevel)
    ndim, footprint, shift, modes, normalized = _histogram_args(
        image, footprint, size, radius, normalized, shift, mode, channels)
    image = _values.native(image)
    workers = _request.workers_of(workers)
    if max_bytes is not None:
        max_bytes = _request.integer(max_bytes, "max_bytes")
    shape = image.shape
    axis = None
    if channels is not None:
        # Channels last while filtering, each with the same bins.
        axis = _request.axis_of(channels, image.ndim, "channels")
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
            dtype = _request.count_dtype(members, out.dtype.newbyteorder("="), normalized)
        except (TypeError, ValueError) as error:
            raise ValueError(f"out dtype {out.dtype} cannot hold this histogram: "
                             f"{error}") from None
    dtype = _request.count_dtype(members, dtype, normalized)
    result_shape = shape + (bins,)
    if out is None and max_bytes is not None:
        size_bytes = int(np.prod(result_shape, dtype=object)) * dtype.itemsize
        if size_bytes > max_bytes:
            raise ValueError(
                f"the histogram would take {size_bytes / 2**30:.2f} GiB ({bins} bins of "
                f"{dtype} per pixel), more than max_bytes={max_bytes}: give bins= to group "
                f"the values into fewer bins (e.g. bins=256), or a larger max_bytes")
    given = out = _request.out_array(out, result_shape, dtype)
    if not out.dtype.isnative:
        out = np.empty(result_shape, dtype)

    padded = any(m != "ignore" for m in modes)
    before, after = _request.reach(footprint.shape, shift, modes)
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
    for c, told in zip(planes, _progress.per_channel(progress, len(planes))):
        m = mask
        if mask is not None and mask.ndim > ndim:
            m = mask[c]
        if counted is not None:
            m = counted[c] if m is None else (m != 0) & counted[c]
        target = targets if c == () else targets[..., c[1], :]
        if padded:
            full = _histogram(codes[c], footprint, normalized, m, shift, None, workers, bins,
                              dtype, top, told)
            target[...] = full[crop]
        else:
            _histogram(codes[c], footprint, normalized, m, shift, target, workers, bins,
                       dtype, top, told)
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
        return image, None, _request.bins_of(bins, 256), 256, fill
    if dtype == np.uint16:
        top = extremes[1] + 1
        return image, None, _request.bins_of(bins, top), top, fill
    if dtype == np.bool_:
        return image.view(np.uint8), None, _request.bins_of(bins, 2), 2, code_of_fill(
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
        bins = _request.bins_of(bins, span)
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
    bins = _request.bins_of(256 if bins is None else bins, None)
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
