# cython: language_level=3, boundscheck=False, wraparound=False
"""A Cython client of the sliding-histogram core: the local range
(maximum - minimum) of 2D images and 3D volumes."""
cimport numpy as cnp
import numpy as np

from morvane.filters.rank.slidewin cimport _core, dtype_t, dtype_t_out
from morvane.filters.rank.slidewin_3d cimport _core_3D

cnp.import_array()


# The kernel: called once per pixel, without the interpreter lock, with the
# histogram of the window. It writes the pixel's output value(s) and must
# not touch Python objects or change the histogram.
cdef void kernel_range(dtype_t_out* out, Py_ssize_t out_depth, Py_ssize_t[::1] histogram,
                       cnp.float64_t population, dtype_t centre_value,
                       Py_ssize_t bin_count, Py_ssize_t middle_bin,
                       cnp.float64_t fparam0, cnp.float64_t fparam1,
                       Py_ssize_t iparam0, Py_ssize_t iparam1) noexcept nogil:
    cdef Py_ssize_t low = 0, high = bin_count - 1
    if population == 0:
        out[0] = 0
        return
    while histogram[low] == 0:
        low += 1
    while histogram[high] == 0:
        high -= 1
    out[0] = <dtype_t_out>(high - low)


def _range_2d(dtype_t[:, ::1] image, char[:, ::1] footprint, cnp.uint8_t[:, ::1] mask,
              dtype_t_out[:, :, ::1] out, Py_ssize_t bin_count):
    _core(kernel_range[dtype_t_out, dtype_t], image, footprint, mask, out,
          0, 0, 0.0, 0.0, 0, 0, bin_count)


def _range_3d(dtype_t[:, :, ::1] image, char[:, :, ::1] footprint, cnp.uint8_t[:, :, ::1] mask,
              dtype_t_out[:, :, :, ::1] out, Py_ssize_t bin_count):
    _core_3D(kernel_range[dtype_t_out, dtype_t], image, footprint, mask, out,
             0, 0, 0, 0.0, 0.0, 0, 0, bin_count)


def local_range(image, footprint, mask=None):
    """max - min of the values under the footprint (centred), per pixel."""
    image = np.ascontiguousarray(image)
    footprint = np.ascontiguousarray(footprint != 0, dtype=np.int8)
    if mask is not None:
        mask = np.ascontiguousarray(mask != 0, dtype=np.uint8)
    out = np.zeros(image.shape + (1,), image.dtype)
    bin_count = 256 if image.dtype == np.uint8 else int(image.max()) + 1
    run = _range_2d if image.ndim == 2 else _range_3d
    run(image, footprint, mask, out, bin_count)   # failures arrive as exceptions
    return out[..., 0]
