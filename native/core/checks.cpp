#include "checks.hpp"

#include "runtime/module.hpp"

#include <string>

namespace morvane::rank {
namespace {

std::string shape_text(int ndim, const Py_ssize_t *shape) {
    std::string text = "(";
    for (int d = 0; d < ndim; ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(shape[d]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

} // namespace

ArgumentFault check_out_and_mask(int ndim, const char *const *axes, const Py_ssize_t *image_shape,
                                 const rt::Record &mask, bool has_mask, const rt::Record &out,
                                 Py_ssize_t out_item) {
    PyObject *value_error = rt::builtin("ValueError");
    for (int d = 0; d < ndim; ++d) {
        if (out.shape[d] < image_shape[d]) {
            PyErr_Format(value_error, "out %s %zd is smaller than image %s %zd", axes[d],
                         out.shape[d], axes[d], image_shape[d]);
            return ArgumentFault::OutExtent;
        }
    }
    if (out.shape[ndim] > 1 && out.strides[ndim] != out_item) {
        PyErr_Format(value_error, "out depth stride %zd is not the item size %zd",
                     out.strides[ndim], out_item);
        return ArgumentFault::OutDepthStride;
    }
    if (has_mask) {
        for (int d = 0; d < ndim; ++d) {
            if (mask.shape[d] != image_shape[d]) {
                PyErr_Format(value_error, "mask shape %s is not the image shape %s",
                             shape_text(ndim, mask.shape).c_str(),
                             shape_text(ndim, image_shape).c_str());
                return ArgumentFault::MaskShape;
            }
        }
    }
    return ArgumentFault::None;
}

void raise_value_not_below(Py_ssize_t value, Py_ssize_t bin_count) {
    PyErr_Format(rt::builtin("ValueError"), "image value %zd is not below bin_count %zd", value,
                 bin_count);
}

} // namespace morvane::rank
