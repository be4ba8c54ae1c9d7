// Footprint analysis with NumPy: the edge maps that say which footprint
// entries enter or leave the window on a one-step move.
#pragma once

#include "runtime/memview.hpp"

namespace morvane::rank {

// Which part of making an edge map failed: the stacking (wrapping the
// footprint, the membership test, the zero block, the stack) or what
// follows (difference, comparison, reinterpretation).
enum class EdgeStage { Stack, Map };

// A new uint8 array of the footprint's shape holding 1 where a footprint
// member's neighbour on one side along `axis` is not a member (a virtual
// non-member lies beyond the border). Every non-zero entry is a member.
//
// `stack` names the NumPy function that joins the footprint and a zero
// block of shape `zeros_shape` along `axis`; `zeros_first` puts the block
// before the footprint (the neighbour on the lower side); `op` is Py_LT
// for the upper side and Py_GT for the lower side. On failure returns null
// with an exception set and `stage` telling where.
PyObject *edge_map(const rt::Record &footprint, int ndim, PyObject *stack, PyObject *zeros_shape,
                   bool zeros_first, long axis, int op, EdgeStage &stage);

// np.<function>(*args, dtype=np.intp): the drivers' integer arrays. A new
// reference, or null with an exception set.
PyObject *intp_array(PyObject *function, PyObject *args);

} // namespace morvane::rank
