# Declarations of the 2D sliding-histogram core for Cython clients.
#
#     from morvane.filters.rank.slidewin cimport _core, _max, _min, dtype_t, dtype_t_out
#
# Cython binds the entry points from the module's __pyx_capi__ when the
# client is imported and checks each signature string there.
#
# The arrays of one call must be distinct: `out` must not share memory with
# the image or the mask, which _core reads while the kernel writes `out`. A
# client that may be handed overlapping arrays copies its input first, for
# example `if np.shares_memory(out, image): image = image.copy()`.
cimport numpy as cnp

ctypedef fused dtype_t:
    cnp.uint8_t
    cnp.uint16_t

ctypedef fused dtype_t_out:
    cnp.uint8_t
    cnp.uint16_t
    cnp.float32_t
    cnp.float64_t

cdef dtype_t _max(dtype_t a, dtype_t b) noexcept nogil
cdef dtype_t _min(dtype_t a, dtype_t b) noexcept nogil

# kernel(out, out_depth, histogram, population, centre_value, bin_count,
#        middle_bin, fparam0, fparam1, iparam0, iparam1) is called once per
# pixel without the interpreter lock; it must not touch Python objects.
cdef void _core(void kernel(dtype_t_out*, Py_ssize_t, Py_ssize_t[::1], cnp.float64_t,
                            dtype_t, Py_ssize_t, Py_ssize_t, cnp.float64_t,
                            cnp.float64_t, Py_ssize_t, Py_ssize_t) noexcept nogil,
                dtype_t[:, ::1] image,
                char[:, ::1] footprint,
                cnp.uint8_t[:, ::1] mask,
                dtype_t_out[:, :, ::1] out,
                signed char shift_x,
                signed char shift_y,
                cnp.float64_t fparam0,
                cnp.float64_t fparam1,
                Py_ssize_t iparam0,
                Py_ssize_t iparam1,
                Py_ssize_t bin_count) except *
