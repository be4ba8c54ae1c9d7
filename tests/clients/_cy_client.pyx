# cython: language_level=3, boundscheck=False, wraparound=False, cdivision=True
"""A Cython client of the 2D and 3D cores, bound through the .pxd declarations.

core(kernel, image, footprint, mask, out, ...) runs `_core`, and
core_3d(kernel, volume, footprint, mask, out, ...) runs `_core_3D`, with one
of the kernels below; the specialization follows the dtypes of image and out.
"""
cimport numpy as cnp
import numpy as np

cdef extern from "Python.h":
    int PyGILState_Check() nogil

from morvane.filters.rank.slidewin cimport _core, _max, _min, dtype_t, dtype_t_out
from morvane.filters.rank.slidewin_3d cimport _core_3D

cnp.import_array()

# Order of kernel calls within one core() call (probe kernel).
cdef Py_ssize_t call_index = 0


cdef void k_probe(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                  cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                  cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                  Py_ssize_t s1) noexcept nogil:
    global call_index
    cdef double fields[10]
    fields[0] = call_index
    fields[1] = pop
    fields[2] = g
    fields[3] = n_bins
    fields[4] = mid_bin
    fields[5] = p0
    fields[6] = p1
    fields[7] = s0
    fields[8] = s1
    fields[9] = PyGILState_Check()
    call_index += 1
    cdef Py_ssize_t i
    for i in range(min(depth, 10)):
        out[i] = <dtype_t_out>fields[i]


cdef void k_hist(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                 cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                 cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                 Py_ssize_t s1) noexcept nogil:
    cdef Py_ssize_t i
    for i in range(min(depth, n_bins)):
        out[i] = <dtype_t_out>histo[i]


cdef void k_mean(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                 cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                 cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                 Py_ssize_t s1) noexcept nogil:
    cdef Py_ssize_t i
    cdef double total = 0
    if depth < 1:
        return
    if pop == 0:
        out[0] = 0
        return
    for i in range(n_bins):
        total += i * histo[i]
    out[0] = <dtype_t_out>(total / pop)


cdef void k_percentile(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                       cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                       cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                       Py_ssize_t s1) noexcept nogil:
    cdef Py_ssize_t i, rank, running = 0
    if depth < 1:
        return
    if pop == 0:
        out[0] = 0
        return
    rank = <Py_ssize_t>(p0 * pop)
    if rank > <Py_ssize_t>pop - 1:
        rank = <Py_ssize_t>pop - 1
    for i in range(n_bins):
        running += histo[i]
        if running > rank:
            out[0] = <dtype_t_out>i
            return


cdef void k_min(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                Py_ssize_t s1) noexcept nogil:
    cdef Py_ssize_t i
    cdef dtype_t best = g
    cdef bint found = False
    if depth < 1:
        return
    for i in range(n_bins):
        if histo[i] > 0:
            best = <dtype_t>i if not found else _min(best, <dtype_t>i)
            found = True
    out[0] = <dtype_t_out>(best if found else 0)


cdef void k_max(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                Py_ssize_t s1) noexcept nogil:
    cdef Py_ssize_t i
    cdef dtype_t best = 0
    if depth < 1:
        return
    for i in range(n_bins):
        if histo[i] > 0:
            best = _max(best, <dtype_t>i)
    out[0] = <dtype_t_out>best


cdef void k_copy(dtype_t_out* out, Py_ssize_t depth, Py_ssize_t[::1] histo,
                 cnp.float64_t pop, dtype_t g, Py_ssize_t n_bins, Py_ssize_t mid_bin,
                 cnp.float64_t p0, cnp.float64_t p1, Py_ssize_t s0,
                 Py_ssize_t s1) noexcept nogil:
    # Taking a typed copy of the lent record acquires the driver's view
    # object and releases it again on return.
    cdef Py_ssize_t[::1] local = histo
    cdef Py_ssize_t i, total = 0
    for i in range(local.shape[0]):
        total += local[i]
    if depth >= 1:
        out[0] = <dtype_t_out>total
    if depth >= 2 and g < local.shape[0]:
        out[1] = <dtype_t_out>local[g]


def _distinct(image, mask, out):
    """The drivers need distinct arrays: inputs sharing memory with out are
    read from copies."""
    if image is not None and out is not None and np.shares_memory(image, out):
        image = np.array(image)
    if mask is not None and out is not None and np.shares_memory(mask, out):
        mask = np.array(mask)
    return image, mask


def _run(str kernel, dtype_t[:, ::1] image, char[:, ::1] footprint,
         cnp.uint8_t[:, ::1] mask, dtype_t_out[:, :, ::1] out,
         signed char shift_x, signed char shift_y, double fparam0, double fparam1,
         Py_ssize_t iparam0, Py_ssize_t iparam1, Py_ssize_t bin_count):
    global call_index
    call_index = 0
    if kernel == "probe":
        _core(k_probe[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x, shift_y,
              fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "hist":
        _core(k_hist[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x, shift_y,
              fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "mean":
        _core(k_mean[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x, shift_y,
              fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "percentile":
        _core(k_percentile[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
              shift_y, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "min":
        _core(k_min[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x, shift_y,
              fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "max":
        _core(k_max[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x, shift_y,
              fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "copy":
        _core(k_copy[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x, shift_y,
              fparam0, fparam1, iparam0, iparam1, bin_count)
    else:
        raise ValueError(f"unknown kernel {kernel!r}")


def core(kernel, image, footprint, mask, out, shift_x=0, shift_y=0, fparam0=0.0,
         fparam1=0.0, iparam0=0, iparam1=0, bin_count=256):
    """Run `_core` with the named kernel on NumPy arrays."""
    image, mask = _distinct(image, mask, out)
    footprint = np.asarray(footprint)
    if footprint.dtype.itemsize == 1 and footprint.dtype != np.int8:
        footprint = footprint.view(np.int8)
    _run(kernel, image, footprint, mask, out, shift_x, shift_y, fparam0, fparam1, iparam0,
         iparam1, bin_count)


def _run3d(str kernel, dtype_t[:, :, ::1] image, char[:, :, ::1] footprint,
           cnp.uint8_t[:, :, ::1] mask, dtype_t_out[:, :, :, ::1] out,
           signed char shift_x, signed char shift_y, signed char shift_z, double fparam0,
           double fparam1, Py_ssize_t iparam0, Py_ssize_t iparam1, Py_ssize_t bin_count):
    global call_index
    call_index = 0
    if kernel == "probe":
        _core_3D(k_probe[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "hist":
        _core_3D(k_hist[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "mean":
        _core_3D(k_mean[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "percentile":
        _core_3D(k_percentile[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "min":
        _core_3D(k_min[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "max":
        _core_3D(k_max[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    elif kernel == "copy":
        _core_3D(k_copy[dtype_t_out, dtype_t], image, footprint, mask, out, shift_x,
                 shift_y, shift_z, fparam0, fparam1, iparam0, iparam1, bin_count)
    else:
        raise ValueError(f"unknown kernel {kernel!r}")


def core_3d(kernel, image, footprint, mask, out, shift_x=0, shift_y=0, shift_z=0,
            fparam0=0.0, fparam1=0.0, iparam0=0, iparam1=0, bin_count=256):
    """Run `_core_3D` with the named kernel on NumPy arrays."""
    image, mask = _distinct(image, mask, out)
    footprint = np.asarray(footprint)
    if footprint.dtype.itemsize == 1 and footprint.dtype != np.int8:
        footprint = footprint.view(np.int8)
    _run3d(kernel, image, footprint, mask, out, shift_x, shift_y, shift_z, fparam0, fparam1,
           iparam0, iparam1, bin_count)


def max_(a, b, width):
    """The exported `_max` of the given width (8 or 16)."""
    if width == 8:
        return _max[cnp.uint8_t](a, b)
    if width == 16:
        return _max[cnp.uint16_t](a, b)
    raise ValueError("width must be 8 or 16")


def min_(a, b, width):
    """The exported `_min` of the given width (8 or 16)."""
    if width == 8:
        return _min[cnp.uint8_t](a, b)
    if width == 16:
        return _min[cnp.uint16_t](a, b)
    raise ValueError("width must be 8 or 16")
