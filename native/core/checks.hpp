// Checks both drivers make before the scan, on what the scan relies on.
#pragma once

#include "runtime/memview.hpp"

namespace morvane::rank {

enum class ArgumentFault { None, OutExtent, OutDepthStride, MaskShape };

// `out` must cover the image in its first D extents and, with more than one
// value per pixel, have a contiguous last axis; a mask must have the image's
// shape. `axes` names the image axes in messages. Returns the fault, with
// ValueError set when it is not None.
ArgumentFault check_out_and_mask(int ndim, const char *const *axes, const Py_ssize_t *image_shape,
                                 const rt::Record &mask, bool has_mask, const rt::Record &out,
                                 Py_ssize_t out_item);

// Raise the ValueError of an image value that has no histogram bin.
void raise_value_not_below(Py_ssize_t value, Py_ssize_t bin_count);

// The largest value an input element type can hold.
template <class In> constexpr Py_ssize_t kLargestValue = (Py_ssize_t{1} << (8 * sizeof(In))) - 1;

} // namespace morvane::rank
