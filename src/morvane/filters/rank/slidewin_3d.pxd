# Declarations of the 3D sliding-histogram core for Cython clients.
#
#     from morvane.filters.rank.slidewin_3d cimport _core_3D
#
# The kernel type and the fused element types are those of the 2D core.
#
# The arrays of one call must be distinct: `out` must not share memory with
# the image or the mask, which _core_3D reads while the kernel writes `out`. A
# client that may be handed overlapping arrays copies its input first, for
# example `if np.shares_memory(out, image): image = image.copy()`.
cimport numpy as cnp
from morvane.filters.rank.slidewin cimport dtype_t, dtype_t_out

cdef dtype_t _max(dtype_t a, dtype_t b) noexcept nogil
cdef dtype_t _min(dtype_t a, dtype_t b) noexcept nogil

# Axis 0 is the plane, axis 1 the row, axis 2 the column; shift_x moves the
# footprint centre along axis 0, shift_y along rows, shift_z along columns.
# The first kernel call of every plane is made with the interpreter lock
# held, the others without it.
cdef void _core_3D(void kernel(dtype_t_out*, Py_ssize_t, Py_ssize_t[::1], cnp.float64_t,
                               dtype_t, Py_ssize_t, Py_ssize_t, cnp.float64_t,
                               cnp.float64_t, Py_ssize_t, Py_ssize_t) noexcept nogil,
                   dtype_t[:, :, ::1] image,
                   char[:, :, ::1] footprint,
                   cnp.uint8_t[:, :, ::1] mask,
                   dtype_t_out[:, :, :, ::1] out,
                   signed char shift_x,
                   signed char shift_y,
                   signed char shift_z,
                   cnp.float64_t fparam0,
                   cnp.float64_t fparam1,
                   Py_ssize_t iparam0,
                   Py_ssize_t iparam1,
                   Py_ssize_t bin_count) except *
