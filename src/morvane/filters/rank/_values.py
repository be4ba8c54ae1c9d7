"""Values of any real dtype as the engine reads them, and borders by mode.

The engine reads 8-, 16- and 32-bit unsigned integers. Other types go in
as order-preserving keys of their own width (a key's order is its value's
order, and the key maps back to the exact value: every NaN is one quiet NaN
above +inf, -0.0 lies just below 0.0) or, for 64-bit types and where a
method needs them dense, as codes: the index of each value among the
image's distinct values, in the keys' order, from 1 (code 0 and float key 0
are no value's: an empty window's result maps back to 0); mapping back from
keys of signed integers writes 0 where a window counted no pixel.
"""

import numpy as np

from . import _filters

# SciPy's boundary modes and the np.pad modes that extend an image alike.
PAD_MODES = {
    "reflect": "symmetric", "grid-mirror": "symmetric",
    "mirror": "reflect",
    "nearest": "edge",
    "wrap": "wrap", "grid-wrap": "wrap",
    "constant": "constant", "grid-constant": "constant",
}
MODES = ("ignore",) + tuple(PAD_MODES)

_UNSIGNED = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}


def check_dtype(dtype, what="image"):
    """Real numbers only: bool, integers, floats."""
    dtype = np.dtype(dtype)
    if dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers (bool, integers or floats), "
                        f"got {dtype}")
    return dtype


def native(array):
    """`array` in native byte order (a copy only when it is not)."""
    if array.dtype.isnative:
        return array
    return array.astype(array.dtype.newbyteorder("="))


def code_type(n):
    """The narrowest unsigned type that numbers `n` codes."""
    return np.uint8 if n <= 256 else np.uint16 if n <= 65536 else np.uint32


def _pitch(nbytes):
    """Bytes from one row (plane) to the next: an odd number of cache lines,
    so that the rows a window spans fall into every set of the cache."""
    lines = -(-nbytes // 64)
    return 64 * (lines + 1 - lines % 2)


def engine_array(shape, dtype):
    """An empty array for the engine to read: 2D or 3D with rows (and
    planes) a pitch apart that the engine reads as they are (a C-contiguous
    array whose rows are a power of two of bytes apart it would copy)."""
    dtype = np.dtype(dtype)
    if len(shape) not in (2, 3) or 0 in shape:
        return np.empty(shape, dtype)
    strides = _strides(shape, dtype)
    size = strides[0] * shape[0]
    return np.lib.stride_tricks.as_strided(np.empty(size, np.uint8).view(dtype), shape, strides)


def stand_in(shape, dtype):
    """An array of `shape` laid out as engine_array() lays it out, over no
    memory of its own: for asking the engine what it would do (which reads
    no pixel), never for reading."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape,
                                           _strides(shape, np.dtype(dtype)), writeable=False)


def _strides(shape, dtype):
    """The strides engine_array() gives an array of `shape`."""
    if len(shape) not in (2, 3) or 0 in shape:
        strides, step = [], dtype.itemsize
        for n in reversed(shape):
            strides.append(step)
            step *= max(n, 1)
        return tuple(reversed(strides))
    row = _pitch(shape[-1] * dtype.itemsize)
    plane = (_pitch(row * shape[-2]),) if len(shape) == 3 else ()
    return plane + (row, dtype.itemsize)


def keys_of(values, engine=False):
    """Order-preserving unsigned keys of `values` (any real dtype but bool,
    native byte order), of their width; laid out for the engine when
    `engine`."""
    values = np.asarray(values)
    width = _UNSIGNED[values.dtype.itemsize]
    keys = engine_array(values.shape, width) if engine else np.empty(values.shape, width)
    _filters.keys(values, keys, False)
    return keys


class Values:
    """An image's values as the engine reads them, and the way back.

    `kind` is "direct" (uint8, uint16, uint32 as they are), "bool" (its
    bytes), "keys" (keys of the values' width: signed integers, float16,
    float32) or "codes" (64-bit types, 32-bit ones when `codes`, and every
    type of more than one byte when `dense`).
    `data` is what the engine reads; `bins` the number of codes when they
    are uint32 (else None); `offset` what a mean subtracts from each key;
    `fill` the constant border value `cval` (cast to the image's dtype) as
    `data` holds it, or None when `cval` is None."""

    def __init__(self, image, codes=False, cval=None, dense=False):
        dtype = image.dtype
        self.dtype = dtype
        self.bins = None
        self.offset = 0
        self.table = None
        fill = None if cval is None else np.asarray(cast_like(cval, dtype))
        if dense and dtype.itemsize > 1:
            self.kind = "codes"
            fill = self._codes(image, fill)
        elif dtype.kind == "b":
            self.kind, self.data = "bool", image.view(np.uint8)
            if fill is not None:
                fill = fill.view(np.uint8)
        elif dtype in (np.uint8, np.uint16) or (dtype == np.uint32 and not codes):
            self.kind, self.data = "direct", image
        elif dtype.itemsize <= 2 or (dtype.itemsize == 4 and not codes):
            self.kind, self.data = "keys", keys_of(image, engine=True)
            if dtype.kind == "i":
                self.offset = 1 << (8 * dtype.itemsize - 1)
            if fill is not None:
                fill = keys_of(fill)
        else:
            self.kind = "codes"
            fill = self._codes(image, fill)
        self.fill = None if fill is None else fill.astype(self.data.dtype)[()]

    def _codes(self, image, fill):
        # The distinct keys: every key (and the border value's) sorted in
        # place, repeats dropped, moved up one place (code 0 is left for an
        # empty window); then each value's code found among them in one
        # pass, into the codes' own array; then the table of values by code
        # (0 first) in the keys' own memory.
        size = image.size
        count = size + (fill is not None)
        ordered = np.empty(count + 1, _UNSIGNED[self.dtype.itemsize])
        _filters.keys(image, ordered[:size].reshape(image.shape), False)
        if fill is not None:
            ordered[size] = keys_of(fill)[()]
        _filters.sort_keys(ordered, count)
        n = _filters.dedupe(ordered, count, True)
        ordered.resize(n + 1, refcheck=False)  # the memory past them goes back
        distinct = ordered[1:]
        self.data = engine_array(image.shape, code_type(n + 1))
        _filters.codes(image, distinct, self.data)
        self.bins = n + 1 if self.data.dtype == np.uint32 else None
        fill_code = None if fill is None else np.searchsorted(distinct, keys_of(fill)) + 1
        self.table = ordered.view(self.dtype)
        _filters.keys(distinct, self.table[1:], True)
        self.table[0] = 0
        return fill_code

    def bin_values(self):
        """The value of every bin the engine counts (every code, or key, or
        value of the data's type), as float64."""
        if self.kind == "codes":
            return self.table.astype(np.float64)
        keys = np.arange(1 << (8 * self.data.itemsize), dtype=self.data.dtype)
        if self.kind != "keys":
            return keys.astype(np.float64)
        values = np.empty(keys.shape, self.dtype)
        _filters.keys(keys, values, True)
        return values.astype(np.float64)

    def target(self, out):
        """A view of `out`'s memory that the engine may fill instead of a
        buffer of its own (back() then maps it in place), or None."""
        data = self.data
        if not out.dtype.isnative:
            return None
        if self.kind == "direct":
            return out if out.dtype == data.dtype else None
        if self.kind in ("bool", "keys", "floats"):
            return out.view(data.dtype)
        if out.flags.c_contiguous and data.itemsize <= out.itemsize:
            flat = out.reshape(-1).view(np.uint8)[:out.size * data.itemsize]
            return flat.view(data.dtype).reshape(out.shape)
        return None

    def back(self, data, out, counted=None):
        """The image's values from engine results `data` (values, keys or
        codes of out's shape) into `out`, which `data` may be a view of
        (from target()); 0 where `counted` (bytes of out's shape) is 0."""
        if self.kind in ("direct", "bool", "floats"):
            if data is not out:
                np.copyto(out, data if self.kind == "direct" else data.view(out.dtype))
        elif self.kind == "keys":
            _filters.keys(data, out, True, counted)
        else:
            _filters.take(self.table, data, out, counted)
        return out


class Floats(Values):
    """float16 or float32 values whose bits the engine reads as they are
    (kind "floats"), for a method that makes their keys itself a chunk at
    a time; keys() turns it into the usual keys, for the methods that want
    them made beforehand."""

    def __init__(self, image):
        self.dtype = image.dtype
        self.bins, self.offset, self.table, self.fill = None, 0, None, None
        self.kind, self.data = "floats", image.view(f"u{image.dtype.itemsize}")

    def keys(self, data):
        """The keys of `data` (the values' bits, or a copy of them), in an
        array laid out for the engine; from now on this reads as kind
        "keys"."""
        self.kind, self.data = "keys", keys_of(data.view(self.dtype), engine=True)
        return self.data


def cast_like(value, dtype):
    """A fill value as an array of `dtype` holds it (C casting: wrapped,
    truncated)."""
    with np.errstate(invalid="ignore", over="ignore"):
        return np.array(value).astype(dtype)[()]


def pad(image, before, after, modes, fill):
    """The image extended by `before` / `after` pixels along each axis, by
    one mode per axis ("ignore" axes are not extended); constant borders
    hold `fill`, already of the image's dtype."""
    extended = [(axis, (b, a), PAD_MODES[mode])
                for axis, (b, a, mode) in enumerate(zip(before, after, modes))
                if mode != "ignore" and (b or a)]
    # One copy when every axis is extended alike, else one per axis.
    groups = {}
    for axis, width, how in extended:
        groups.setdefault(how, []).append((axis, width))
    for how, axes in groups.items():
        widths = [(0, 0)] * image.ndim
        for axis, width in axes:
            widths[axis] = width
        if how == "constant":
            image = np.pad(image, widths, mode="constant", constant_values=fill)
        else:
            image = np.pad(image, widths, mode=how)
    return image


def border_index(n, start, stop, mode):
    """For the positions start .. stop - 1 of an axis of n pixels extended
    by `mode`, the pixel each repeats (-1: the constant value), as np.pad
    extends it."""
    i = np.arange(start, stop)
    how = "ignore" if mode == "ignore" else PAD_MODES[mode]
    if how == "edge":
        return np.clip(i, 0, n - 1)
    if how == "wrap":
        return i % n
    if how == "symmetric":
        j = i % (2 * n)
        return np.where(j < n, j, 2 * n - 1 - j)
    if how == "reflect":
        if n == 1:
            return np.zeros_like(i)
        j = i % (2 * n - 2)
        return np.where(j < n, j, 2 * n - 2 - j)
    return np.where((i >= 0) & (i < n), i, -1)


def take_box(array, index, fill):
    """array[np.ix_(*index)], with `fill` where an index is -1."""
    box = array[np.ix_(*[np.maximum(i, 0) for i in index])]
    for axis, i in enumerate(index):
        outside = np.flatnonzero(i < 0)
        if outside.size:
            box[(slice(None),) * axis + (outside,)] = fill
    return box
