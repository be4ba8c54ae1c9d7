"""SciPy's rank filters, on this package's engine.

    from morvane.filters.rank import ndimage
    smooth = ndimage.median_filter(image, size=5)            # as scipy.ndimage does

``median_filter``, ``percentile_filter``, ``rank_filter``, ``minimum_filter``
and ``maximum_filter`` take the arguments of their namesakes in
``scipy.ndimage`` (positional and keyword: ``size``, ``footprint``,
``output`` as an array or a dtype, ``mode`` with ``cval``, ``origin``,
``axes``), accept and reject the same inputs, and return the same arrays,
for arrays of any number of dimensions whose footprint spans at most three
axes (the other axes are filtered slice by slice). One keyword more:
``workers``, the threads to use (default 1; None or 0 for every core).
SciPy is not needed.

Differences that remain:

- NaN. Here NaN ranks above every number, as in ``numpy.sort`` (a window
  holding NaN has NaN as its maximum and, when enough values are NaN, as its
  median). SciPy's result for windows holding NaN depends on the order in
  which its selection visits the values, and is not reproduced.
- ``-0.0`` and ``0.0`` rank as ``-0.0`` below ``0.0``; SciPy treats them as
  equal, so where both are in a window the sign of a zero result may differ
  (the values compare equal).
- uint64 values of 2**63 and more order as the unsigned numbers they are;
  SciPy orders them as negative ones.
- int64 and uint64 values beyond 2**53 are ranked and returned exactly;
  SciPy rounds them to the nearest float64 on the way, so its result there
  may be a neighbouring value (or one not in the window).
- A ``cval`` outside the input type's range is cast as NumPy casts it
  (wrapping); SciPy's separable minimum and maximum may cast it otherwise.
- An ``output`` dtype other than the input's gets the filtered values, cast;
  SciPy's one-dimensional rank filters store raw bytes there instead.
- Big-endian input is accepted (SciPy refuses it).
"""

import operator
import warnings

import numpy as np

from . import _api, _filters, _values

__all__ = ["median_filter", "percentile_filter", "rank_filter", "minimum_filter",
           "maximum_filter"]


def _fail(message):
    # SciPy reports these as RuntimeError; a drop-in keeps the type.
    raise RuntimeError(message)


def _sequence(value, n, what):
    """`value` for each of n axes."""
    if np.ndim(value) == 0:
        return [value] * n
    value = list(value)
    if len(value) != n:
        _fail(f"{what}: sequence argument must have length equal to input rank ({n}), "
              f"got {len(value)}")
    return value


def _input(input, kind):
    array = np.asarray(input)
    if array.dtype.kind == "c":
        raise TypeError("Complex type not supported")
    if array.dtype.kind not in "biuf":
        _fail(f"Unsupported array type {array.dtype}")
    if array.dtype == np.float16 and not (kind == "rank" and array.ndim == 1):
        _fail("array type float16 not supported: convert it to float32 first")
    return _values.native(array)


def _axes(axes, ndim):
    if axes is None:
        return list(range(ndim))
    if np.ndim(axes) == 0:
        axes = [axes]
    result = []
    for axis in axes:
        axis = operator.index(axis)
        if not -ndim <= axis < ndim:
            raise ValueError(f"specified axis: {axis} is out of range")
        result.append(axis % ndim)
    if len(set(result)) != len(result):
        raise ValueError("axes must be unique")
    return result


def _output(output, input, shape, kind):
    if output is None:
        return np.empty(shape, input.dtype)
    if isinstance(output, np.ndarray):
        if output.shape != shape:
            _fail(f"output shape not correct: {output.shape} instead of {shape}")
        if not output.flags.writeable:
            raise ValueError("output array is read-only")
        dtype = output.dtype
    else:
        dtype = np.dtype(output)
    # Complex results only from 1D rank filters, as SciPy allows.
    if (dtype.kind not in "biufc" or dtype == np.float16 or
            (dtype.kind == "c" and (kind != "rank" or input.ndim != 1))):
        _fail(f"array type {dtype} not supported as output")
    return output if isinstance(output, np.ndarray) else np.empty(shape, dtype)


def _store(target, result, members):
    """result into target as SciPy stores it: C casts (truncating floats,
    wrapping integers); a bool target holds whether the value cast to a byte
    is non-zero, except where the footprint has one member and the input is
    copied."""
    with np.errstate(invalid="ignore", over="ignore"):
        if target.dtype == bool and result.dtype != bool and members > 1:
            result = result.astype(np.uint8) != 0
        np.copyto(target, result.reshape(target.shape), casting="unsafe")


def _filter(name, input, size, footprint, output, mode, cval, origin, axes, workers, rank=None,
            percentile=None):
    kind = "rank" if name in ("median", "rank", "percentile") else name
    array = _input(input, kind)
    axes = _axes(axes, array.ndim)
    n_axes = len(axes)
    separable = False
    if footprint is None:
        if size is None:
            _fail("no footprint or filter size provided")
        sizes = _sequence(size, n_axes, "size")
        if kind != "rank":
            # Minimum and maximum filter axis by axis: a size below 1 leaves
            # its axis alone, and sizes are truncated to integers.
            sizes = [max(1, int(s)) for s in sizes]
        sizes = [operator.index(s) for s in sizes]
        if min(sizes, default=1) < 0:
            raise ValueError("negative dimensions are not allowed")
        if 0 in sizes:
            _fail(f"footprint.ndim ({n_axes}) must match len(axes) ({n_axes}): a size of 0 "
                  f"gives no footprint")
        fp = np.ones(sizes, bool)
        separable = True
    else:
        if size is not None:
            warnings.warn("ignoring size because footprint is set", UserWarning, stacklevel=3)
        fp = np.asarray(footprint)
        if fp.dtype.kind == "c":
            raise TypeError("Complex type not supported")
        fp = fp.astype(bool)
        if fp.ndim != n_axes:
            _fail(f"footprint.ndim ({fp.ndim}) must match len(axes) ({n_axes})")
        separable = bool(fp.all())
    # A footprint's dimensions go to the axes in increasing order, and so do
    # the sizes of a rank filter; those of a minimum or maximum go to the
    # axes as given, like origins and modes. Origins are checked against the
    # footprint first, and must be integers
    # only once the rank is known to fit (the order in which SciPy checks).
    # The extents of a box's minimum or maximum (by size or an all-True
    # footprint), with their origins and modes, go to the axes in the order
    # given, and axes of extent 1 are left alone (their origins unchecked).
    # A rank filter's or another footprint's go to the axes in increasing
    # order; their origins to the axes as given, or in increasing order when
    # the axes are all the array's.
    by_axis = kind != "rank" and separable
    fp_axes = axes if by_axis else sorted(axes)
    origin_axes = fp_axes if by_axis or len(axes) == array.ndim else axes
    shape = [1] * array.ndim
    for axis, extent in zip(fp_axes, fp.shape):
        shape[axis] = extent
    origins = _sequence(origin, n_axes, "origin")
    if by_axis:
        origins = [0 if shape[axis] == 1 else o for o, axis in zip(origins, fp_axes)]
    for o, axis in zip(origins, origin_axes):
        centre = shape[axis] // 2 + o
        if centre < 0 or centre >= shape[axis]:
            raise ValueError("invalid origin")
    members = int(fp.sum())
    if kind != "rank" and members == 0:
        raise ValueError("All-zero footprint is not supported.")
    if kind == "rank":
        if percentile is not None:
            if not -100.0 <= percentile <= 100.0:
                _fail("invalid percentile")
            if percentile < 0.0:
                percentile += 100.0
            rank = int(float(members) * percentile / 100.0)
            if rank == members:
                rank -= 1
        elif rank is None:
            rank = members // 2
        else:
            rank = operator.index(rank)
            if rank < 0:
                rank += members
        if not 0 <= rank < members:
            _fail("rank not within filter footprint size")

    origins = [operator.index(o) for o in origins]
    if isinstance(mode, str):
        modes = [mode] * n_axes
    else:
        modes = _sequence(mode, n_axes, "mode")
        if kind == "rank":
            _fail("A sequence of modes is not supported by non-separable rank filters")
        if not separable:
            _fail("A sequence of modes is not supported for non-separable footprints")
    for m in modes:
        if m not in _values.PAD_MODES:
            _fail(f"boundary mode not supported: {m!r}")
    try:
        cval = float(cval)
    except (TypeError, ValueError):
        raise TypeError(f"must be real number, not {type(cval).__name__}") from None

    out = _output(output, array, array.shape, kind)
    if array.size == 0:
        return out

    # The footprint over every axis of the array (extent 1 off `axes`). The
    # engine filters the two or three axes it spans (with axes of extent 1
    # added when it spans fewer), slice by slice along the others.
    shifts, full_modes = [0] * array.ndim, ["constant"] * array.ndim
    for axis, o, m in zip(origin_axes, origins, modes):
        shifts[axis], full_modes[axis] = o, m
    full = np.transpose(fp, np.argsort(np.argsort(fp_axes))).reshape(shape) if fp.ndim else \
        fp.reshape(shape)
    spanned = [d for d in range(array.ndim) if shape[d] > 1 or shifts[d] != 0]
    if kind != "rank" and separable and (len(spanned) > 1 or out.dtype != array.dtype):
        # A box's minimum (maximum) is that of its rows, axis by axis, each
        # pass stored in the output's type (so values are cast after the
        # first pass, as SciPy does), for any number of axes.
        result = array
        for axis, o, m in zip(fp_axes, origins, modes):
            if shape[axis] <= 1:
                continue
            passed = _filter(name, result, None, np.ones(shape[axis], bool), None, m, cval,
                             o, (axis,), workers)
            _store(out, passed, shape[axis])
            result = out
        if result is array:
            _store(out, array, 1)
        return out
    if len(spanned) > 3:
        _fail(f"the footprint spans {len(spanned)} axes; rank filters of at most 3 are "
              f"supported")
    others = [d for d in range(array.ndim) if d not in spanned]
    while len(spanned) < 2 and others:
        spanned.append(others.pop())
    spanned.sort()
    lead = (1,) * (2 - len(spanned))
    order = others + spanned
    data, target = np.transpose(array, order), np.transpose(out, order)
    footprint_k = full.transpose(order)[(0,) * len(others)].reshape(
        lead + tuple(shape[d] for d in spanned))
    shift_k = (0,) * len(lead) + tuple(shifts[d] for d in spanned)
    modes_k = ("constant",) * len(lead) + tuple(full_modes[d] for d in spanned)
    stat = {"rank": _filters.PERCENTILE, "minimum": _filters.MINIMUM,
            "maximum": _filters.MAXIMUM}[kind]
    if kind == "rank" and rank == 0:
        stat, rank = _filters.MINIMUM, None
    elif kind == "rank" and rank == members - 1:
        stat, rank = _filters.MAXIMUM, None
    # An output of the input's type is filtered into directly.
    direct = out.dtype.newbyteorder("=") == array.dtype
    for index in np.ndindex(*data.shape[:len(others)]):
        # Views (of 0-d arrays too: indexing them by () gives a scalar).
        plane = data[index + (Ellipsis,)][(np.newaxis,) * len(lead) + (Ellipsis,)]
        into = target[index + (Ellipsis,)][(np.newaxis,) * len(lead) + (Ellipsis,)] \
            if direct else None
        result = _api._statistic(stat, plane, footprint_k, shift=shift_k, mode=modes_k,
                                 cval=cval, out=into, workers=workers, rank=rank)
        if not direct:
            _store(target[index + (Ellipsis,)], result, members)
    return out


_SHARED = """    size : scalar or tuple, optional
        See footprint, below. Ignored if footprint is given.
    footprint : array, optional
        Either ``size`` or ``footprint`` must be defined. ``size`` gives the
        shape that is taken from the input array, at every element position,
        to define the input to the filter function. ``footprint`` is a
        boolean array that specifies (implicitly) a shape, but also which of
        the elements within this shape will get passed to the filter.
    output : array or dtype, optional
        The array in which to place the output, or the dtype of the
        returned array. By default an array of the same dtype as input.
    mode : {{'reflect', 'constant', 'nearest', 'mirror', 'wrap'}}, optional
        How the input is extended beyond its boundaries ('grid-mirror',
        'grid-constant' and 'grid-wrap' are aliases). Default 'reflect'.{modes}
    cval : scalar, optional
        Value to fill past edges of input if mode is 'constant'. Default 0.0.
    origin : int or sequence, optional
        Controls the placement of the filter on the input array's pixels. A
        value of 0 (the default) centers the filter over the pixel, with
        positive values shifting the filter to the left, and negative ones
        to the right.
    axes : tuple of int or None, optional
        If None, input is filtered along all axes. Otherwise, input is
        filtered along the specified axes.
    workers : int or None, optional
        Threads to use (default 1; None or 0 for every core). The result
        does not depend on it."""

_RETURNS = """    Returns
    -------
    ndarray
        Filtered array. Has the same shape as input.

    Raises
    ------
    TypeError
        For complex input, a non-integer size, origin or rank, or a cval
        that is not a number.
    ValueError
        For an invalid origin, repeated or out-of-range axes, a negative
        size, or (minimum and maximum) an all-zero footprint.
    RuntimeError
        Where SciPy raises it: no size or footprint, sequences of the wrong
        length, an unknown mode, a sequence of modes where the filter is not
        separable, a rank or percentile outside the footprint, an output of
        the wrong shape or of an unsupported type, unsupported input types."""


def _document(f, summary, first, example, modes_note=""):
    f.__doc__ = f"""{summary}

    Parameters
    ----------
    input : array_like
        The input array.
{first}{_SHARED.format(modes=modes_note)}

{_RETURNS}

    Examples
    --------
    >>> import numpy as np
    >>> from morvane.filters.rank import ndimage
{example}
    """


def median_filter(input, size=None, footprint=None, output=None, mode="reflect", cval=0.0,
                  origin=0, *, axes=None, workers=1):
    return _filter("median", input, size, footprint, output, mode, cval, origin, axes, workers)


def percentile_filter(input, percentile, size=None, footprint=None, output=None,
                      mode="reflect", cval=0.0, origin=0, *, axes=None, workers=1):
    try:
        if isinstance(percentile, (str, bytes, np.str_, np.bytes_)):
            raise TypeError
        percentile = float(percentile)
    except (TypeError, ValueError):
        raise TypeError(f"percentile must be a number, got {percentile!r}") from None
    return _filter("percentile", input, size, footprint, output, mode, cval, origin, axes,
                   workers, percentile=percentile)


def rank_filter(input, rank, size=None, footprint=None, output=None, mode="reflect",
                cval=0.0, origin=0, *, axes=None, workers=1):
    return _filter("rank", input, size, footprint, output, mode, cval, origin, axes, workers,
                   rank=operator.index(rank))


def minimum_filter(input, size=None, footprint=None, output=None, mode="reflect", cval=0.0,
                   origin=0, *, axes=None, workers=1):
    return _filter("minimum", input, size, footprint, output, mode, cval, origin, axes,
                   workers)


def maximum_filter(input, size=None, footprint=None, output=None, mode="reflect", cval=0.0,
                   origin=0, *, axes=None, workers=1):
    return _filter("maximum", input, size, footprint, output, mode, cval, origin, axes,
                   workers)


_SEPARABLE = ("\n        A sequence of modes, one per axis, is allowed when the footprint is\n"
              "        a box (``size`` or an all-True footprint).")
_document(median_filter, "Calculate a multidimensional median filter.", "",
          """    >>> ndimage.median_filter(np.array([1, 9, 2, 8, 3], np.uint8), size=3)
    array([1, 2, 8, 3, 3], dtype=uint8)""")
_document(percentile_filter, "Calculate a multidimensional percentile filter.",
          """    percentile : scalar
        The percentile parameter may be less than zero, i.e.,
        percentile = -20 equals percentile = 80.
""",
          """    >>> ndimage.percentile_filter(np.array([1, 9, 2, 8, 3]), 90, size=3)
    array([9, 9, 9, 8, 8])""")
_document(rank_filter, "Calculate a multidimensional rank filter.",
          """    rank : int
        The rank parameter may be less than zero, i.e., rank = -1 indicates
        the largest element.
""",
          """    >>> ndimage.rank_filter(np.array([1, 9, 2, 8, 3]), -1, size=3)
    array([9, 9, 9, 8, 8])""")
_document(minimum_filter, "Calculate a multidimensional minimum filter.", "",
          """    >>> ndimage.minimum_filter(np.array([1, 9, 2, 8, 3]), size=3)
    array([1, 1, 2, 2, 3])""", _SEPARABLE)
_document(maximum_filter, "Calculate a multidimensional maximum filter.", "",
          """    >>> ndimage.maximum_filter(np.array([1, 9, 2, 8, 3]), size=3)
    array([9, 9, 9, 8, 8])""", _SEPARABLE)
