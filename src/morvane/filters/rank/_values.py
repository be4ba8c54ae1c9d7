"""Values of any real dtype as the engine reads them, and borders by mode.

The engine reads 8-, 16- and 32-bit unsigned integers. Other types go in
as order-preserving keys (a key's order is its value's order, and the key
maps back to the exact value) or, when the image has few distinct values
of a wide type or the method needs them dense, as codes: the rank of each
value among the image's distinct values, in NumPy's sort order (NaN last).
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

_SIGN = {1: np.uint8(0x80), 2: np.uint16(0x8000), 4: np.uint32(0x80000000)}
_UNSIGNED = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}


def check_dtype(dtype, what="image"):
    """Real numbers only: bool, integers, floats."""
    dtype = np.dtype(dtype)
    if dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers (bool, integers or floats), "
                        f"got {dtype}")
    return dtype


class Values:
    """An image's values as the engine reads them, and the way back.

    `data` is uint8, uint16 or uint32; `bins` is the number of codes when
    `data` holds codes of a 32-bit... (0 for keys); `offset` is what the
    mean must subtract from each value; `mean_values` the float64 values
    when a mean cannot be computed from `data` exactly."""

    def __init__(self, image, codes=False):
        dtype = image.dtype
        self.dtype = dtype
        self.bins = None
        self.offset = 0
        self.distinct = None
        self.kind = "direct"
        if dtype.kind == "b":
            self.data = image.view(np.uint8)
            self.kind = "bool"
        elif dtype in (np.uint8, np.uint16) or (dtype == np.uint32 and not codes):
            self.data = image
        elif dtype.kind == "i" and dtype.itemsize <= 4 and not (codes and dtype.itemsize == 4):
            self.data = image.view(_UNSIGNED[dtype.itemsize]) ^ _SIGN[dtype.itemsize]
            self.offset = int(_SIGN[dtype.itemsize])
            self.kind = "signed"
        elif dtype.kind == "f" and dtype.itemsize <= 4 and not codes:
            self.data = float_keys(image.astype(np.float32, copy=False))
            self.kind = "float"
        else:
            if dtype.itemsize <= 4 and image.size < 2**32:
                # 32-bit keys sort packed with their positions, faster than
                # np.unique; the keys' order is the values' (-0.0 below 0.0).
                keys = Values(image).data
                distinct, inverse = codes_of_keys(keys)
                self.distinct = Values(image).back(distinct)
            else:
                self.distinct, inverse = np.unique(image, return_inverse=True)
            n = len(self.distinct)
            code_type = np.uint8 if n <= 256 else np.uint16 if n <= 65536 else np.uint32
            self.data = inverse.reshape(image.shape).astype(code_type, copy=False)
            self.bins = n if code_type == np.uint32 else None
            self.kind = "codes"

    def back(self, data):
        """Values of the image's dtype from engine results (values, keys or
        codes); may reuse `data`'s memory."""
        if self.kind == "direct":
            return data
        if self.kind == "bool":
            return data.view(bool)
        if self.kind == "signed":
            return (data ^ _SIGN[self.dtype.itemsize]).view(self.dtype)
        if self.kind == "float":
            return float_values(data, in_place=True).astype(self.dtype, copy=False)
        return self.distinct[data]


def codes_of_keys(keys):
    """(the distinct keys in order, each key's index among them) for uint32
    keys, by one sort of key-position pairs."""
    flat = keys.ravel()
    n = flat.size
    pairs = (flat.astype(np.uint64) << np.uint64(32)) | np.arange(n, dtype=np.uint64)
    pairs.sort()
    ordered = (pairs >> np.uint64(32)).astype(np.uint32)
    first = np.empty(n, bool)
    first[:1] = True
    np.not_equal(ordered[1:], ordered[:-1], out=first[1:])
    codes = np.cumsum(first, dtype=np.uint32)
    codes -= np.uint32(1)
    inverse = np.empty(n, np.uint32)
    inverse[(pairs & np.uint64(0xFFFFFFFF)).astype(np.intp)] = codes
    return ordered[first], inverse.reshape(keys.shape)


def float_keys(values):
    """uint32 keys of float32 values whose order is the values' order, NaN
    last (every NaN as one quiet NaN), -0.0 just below 0.0."""
    bits = np.ascontiguousarray(values, np.float32).view(np.uint32)
    keys = np.empty(bits.shape, np.uint32)
    _filters.float_keys(bits, keys, False)
    return keys


def float_values(keys, in_place=False):
    """float32 values of keys (in the keys' own memory when `in_place` and
    they are contiguous uint32)."""
    keys = np.ascontiguousarray(keys, np.uint32)
    bits = keys if in_place else np.empty(keys.shape, np.uint32)
    _filters.float_keys(keys, bits, True)
    return bits.view(np.float32)


def cast_like(value, dtype):
    """A fill value as an array of `dtype` holds it (C casting: wrapped,
    truncated)."""
    with np.errstate(invalid="ignore", over="ignore"):
        return np.array(value).astype(dtype)[()]


def pad(image, before, after, modes, cval):
    """The image extended by `before` / `after` pixels along each axis, by
    one mode per axis ("ignore" axes are not extended)."""
    for axis, (b, a, mode) in enumerate(zip(before, after, modes)):
        if mode == "ignore" or (b == 0 and a == 0):
            continue
        widths = [(0, 0)] * image.ndim
        widths[axis] = (b, a)
        how = PAD_MODES[mode]
        if how == "constant":
            image = np.pad(image, widths, mode="constant",
                           constant_values=cast_like(cval, image.dtype))
        else:
            image = np.pad(image, widths, mode=how)
    return image
