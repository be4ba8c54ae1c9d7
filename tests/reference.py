"""Brute-force NumPy reference for the 2D sliding-histogram driver.

Nothing here is incremental: every window histogram is counted from scratch,
one footprint member at a time, so the results do not depend on edge lists,
scan order or any other device of the driver.  The helpers that turn
histograms into statistics follow the definitions of the test kernels.
"""

import numpy as np


def footprint_centre(footprint_shape, shift_x=0, shift_y=0):
    """(centre_r, centre_c) of a footprint: middle entry (the second of the
    two middle entries for an even extent) moved by the shifts.  No range
    check: the centre may lie anywhere, even outside the footprint."""
    srows, scols = footprint_shape
    return srows // 2 + shift_y, scols // 2 + shift_x


def window_histograms(image, footprint, mask=None, shift_x=0, shift_y=0,
                      bin_count=256):
    """Histogram of the window of every pixel, shape (rows, cols, bin_count).

    The window of pixel (y, x) holds, for every non-zero footprint entry
    (fy, fx), the pixel (y + fy - centre_r, x + fx - centre_c).  It is counted
    in bin image[that pixel] when it lies inside the image and, if a mask is
    given, the mask is non-zero there.
    """
    image = np.asarray(image)
    footprint = np.asarray(footprint)
    if image.ndim != 2 or footprint.ndim != 2:
        raise ValueError("image and footprint must be 2D")
    rows, cols = image.shape
    centre_r, centre_c = footprint_centre(footprint.shape, shift_x, shift_y)

    if mask is None:
        counted = np.ones((rows, cols), dtype=bool)
    else:
        counted = np.asarray(mask) != 0
        if counted.shape != image.shape:
            raise ValueError("mask shape differs from image shape")

    values = image.astype(np.intp)
    if counted.any() and values[counted].max() >= bin_count:
        raise ValueError("a counted image value is not below bin_count")

    hist = np.zeros((rows, cols, bin_count), dtype=np.int64)
    members = np.argwhere(footprint != 0)
    for fy, fx in members:
        dy = int(fy) - centre_r
        dx = int(fx) - centre_c
        # Output pixels whose neighbour (y + dy, x + dx) is inside the image.
        y0, y1 = max(0, -dy), min(rows, rows - dy)
        x0, x1 = max(0, -dx), min(cols, cols - dx)
        if y0 >= y1 or x0 >= x1:
            continue
        src_values = values[y0 + dy:y1 + dy, x0 + dx:x1 + dx]
        src_counted = counted[y0 + dy:y1 + dy, x0 + dx:x1 + dx]
        yy, xx = np.nonzero(src_counted)
        np.add.at(hist, (yy + y0, xx + x0, src_values[yy, xx]), 1)
    return hist


def window_population(shape, footprint, mask=None, shift_x=0, shift_y=0):
    """Number of counted pixels in the window of every pixel of an image of
    `shape`; it depends on geometry and mask only, not on the values."""
    zeros = np.zeros(shape, dtype=np.uint8)
    return population(window_histograms(zeros, footprint, mask, shift_x,
                                        shift_y, bin_count=1))


def window_histograms_naive(image, footprint, mask=None, shift_x=0,
                            shift_y=0, bin_count=256):
    """The same as window_histograms, as plain nested loops (tiny inputs)."""
    image = np.asarray(image)
    footprint = np.asarray(footprint)
    rows, cols = image.shape
    srows, scols = footprint.shape
    centre_r, centre_c = footprint_centre(footprint.shape, shift_x, shift_y)
    hist = np.zeros((rows, cols, bin_count), dtype=np.int64)
    for y in range(rows):
        for x in range(cols):
            for fy in range(srows):
                for fx in range(scols):
                    if footprint[fy, fx] == 0:
                        continue
                    py = y + fy - centre_r
                    px = x + fx - centre_c
                    if not (0 <= py < rows and 0 <= px < cols):
                        continue
                    if mask is not None and mask[py, px] == 0:
                        continue
                    hist[y, x, int(image[py, px])] += 1
    return hist


def serpentine_order(rows, cols):
    """Pixels in visiting order: even rows west to east, odd rows east to
    west."""
    order = []
    for y in range(rows):
        xs = range(cols) if y % 2 == 0 else range(cols - 1, -1, -1)
        order.extend((y, x) for x in xs)
    return order


def call_index_map(rows, cols):
    """(rows, cols) array giving each pixel's position in serpentine order."""
    index = np.empty((rows, cols), dtype=np.int64)
    for i, (y, x) in enumerate(serpentine_order(rows, cols)):
        index[y, x] = i
    return index


def population(hist):
    return hist.sum(axis=-1)


def hist_mean(hist):
    """sum(k * h[k]) / population as float64; 0 where the window is empty."""
    pop = population(hist).astype(np.float64)
    weighted = (hist * np.arange(hist.shape[-1], dtype=np.int64)).sum(axis=-1)
    result = np.zeros(pop.shape, dtype=np.float64)
    nonempty = pop > 0
    result[nonempty] = weighted[nonempty].astype(np.float64) / pop[nonempty]
    return result


def hist_percentile(hist, fraction):
    """Smallest k with cumsum(h)[k] > r, r = min(int(fraction * population),
    population - 1); 0 where the window is empty."""
    pop = population(hist)
    rank = np.trunc(float(fraction) * pop.astype(np.float64)).astype(np.int64)
    rank = np.minimum(rank, pop - 1)
    above = np.cumsum(hist, axis=-1) > rank[..., None]
    result = np.argmax(above, axis=-1).astype(np.int64)
    result[pop == 0] = 0
    return result


def hist_min(hist):
    """Smallest occupied bin; 0 where the window is empty."""
    occupied = hist > 0
    result = np.argmax(occupied, axis=-1).astype(np.int64)
    result[~occupied.any(axis=-1)] = 0
    return result


def hist_max(hist):
    """Largest occupied bin; 0 where the window is empty."""
    occupied = hist > 0
    last = hist.shape[-1] - 1 - np.argmax(occupied[..., ::-1], axis=-1)
    result = last.astype(np.int64)
    result[~occupied.any(axis=-1)] = 0
    return result


def c_convert(values, dtype):
    """What a C assignment of the float64 values to `dtype` stores: rounding
    to nearest for floats, truncation toward zero for integers.  Integer
    values must fit the type."""
    dtype = np.dtype(dtype)
    values = np.asarray(values, dtype=np.float64)
    if dtype.kind == "f":
        return values.astype(dtype)
    truncated = np.trunc(values)
    info = np.iinfo(dtype)
    if truncated.size and (truncated.min() < info.min
                           or truncated.max() > info.max):
        raise ValueError("value does not fit %s" % dtype)
    return truncated.astype(dtype)


# --------------------------------------------------------------------------
# 3D: volumes of (planes, rows, cols)

def footprint_centre_3d(footprint_shape, shift_x=0, shift_y=0, shift_z=0):
    """(centre_p, centre_r, centre_c) of a 3D footprint.  In 3D the first
    shift moves the centre along axis 0 (planes), the second along the rows
    and the third along the columns.  No range check."""
    splanes, srows, scols = footprint_shape
    return splanes // 2 + shift_x, srows // 2 + shift_y, scols // 2 + shift_z


def window_histograms_3d(volume, footprint, mask=None, shift_x=0, shift_y=0,
                         shift_z=0, bin_count=256):
    """Histogram of the window of every voxel, shape
    (planes, rows, cols, bin_count).

    The window of voxel (p, r, c) holds, for every non-zero footprint entry
    (i, j, k), the voxel (p + i - centre_p, r + j - centre_r,
    c + k - centre_c).  It is counted in bin volume[that voxel] when it lies
    inside the volume and, if a mask is given, the mask is non-zero there.
    """
    volume = np.asarray(volume)
    footprint = np.asarray(footprint)
    if volume.ndim != 3 or footprint.ndim != 3:
        raise ValueError("volume and footprint must be 3D")
    shape = volume.shape
    centre = footprint_centre_3d(footprint.shape, shift_x, shift_y, shift_z)

    if mask is None:
        counted = np.ones(shape, dtype=bool)
    else:
        counted = np.asarray(mask) != 0
        if counted.shape != shape:
            raise ValueError("mask shape differs from volume shape")

    values = volume.astype(np.intp)
    if counted.any() and values[counted].max() >= bin_count:
        raise ValueError("a counted volume value is not below bin_count")

    hist = np.zeros(shape + (bin_count,), dtype=np.int64)
    for member in np.argwhere(footprint != 0):
        offsets = [int(m) - c for m, c in zip(member, centre)]
        # Output voxels whose neighbour (voxel + offsets) is inside.
        dst, src = [], []
        for extent, d in zip(shape, offsets):
            lo, hi = max(0, -d), min(extent, extent - d)
            dst.append(slice(lo, hi))
            src.append(slice(lo + d, hi + d))
        if any(s.start >= s.stop for s in dst):
            continue
        src = tuple(src)
        where = np.nonzero(counted[src])
        at = tuple(w + s.start for w, s in zip(where, dst))
        np.add.at(hist, at + (values[src][where],), 1)
    return hist


def window_histograms_3d_naive(volume, footprint, mask=None, shift_x=0,
                               shift_y=0, shift_z=0, bin_count=256):
    """The same as window_histograms_3d, as plain nested loops (tiny
    inputs)."""
    volume = np.asarray(volume)
    footprint = np.asarray(footprint)
    planes, rows, cols = volume.shape
    splanes, srows, scols = footprint.shape
    cp, cr, cc = footprint_centre_3d(footprint.shape, shift_x, shift_y,
                                     shift_z)
    hist = np.zeros((planes, rows, cols, bin_count), dtype=np.int64)
    for p in range(planes):
        for r in range(rows):
            for c in range(cols):
                for i in range(splanes):
                    for j in range(srows):
                        for k in range(scols):
                            if footprint[i, j, k] == 0:
                                continue
                            vp, vr, vc = p + i - cp, r + j - cr, c + k - cc
                            if not (0 <= vp < planes and 0 <= vr < rows
                                    and 0 <= vc < cols):
                                continue
                            if mask is not None and mask[vp, vr, vc] == 0:
                                continue
                            hist[p, r, c, int(volume[vp, vr, vc])] += 1
    return hist


def window_population_3d(shape, footprint, mask=None, shift_x=0, shift_y=0,
                         shift_z=0):
    """Number of counted voxels in the window of every voxel of a volume of
    `shape`."""
    zeros = np.zeros(shape, dtype=np.uint8)
    return population(window_histograms_3d(zeros, footprint, mask, shift_x,
                                           shift_y, shift_z, bin_count=1))


def call_index_map_3d(planes, rows, cols):
    """(planes, rows, cols) array giving each voxel's position in the order
    of kernel calls: plane after plane, each plane in serpentine order."""
    index = np.empty((planes, rows, cols), dtype=np.int64)
    per_plane = rows * cols
    for p in range(planes):
        index[p] = call_index_map(rows, cols) + p * per_plane
    return index


def ball(radius):
    """Euclidean ball of the given radius, as a uint8 cube of side
    2 * radius + 1."""
    axis = np.arange(-radius, radius + 1)
    p, r, c = np.meshgrid(axis, axis, axis, indexing="ij")
    return (p * p + r * r + c * c <= radius * radius).astype(np.uint8)
