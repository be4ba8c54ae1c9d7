// Edge maps of a footprint, made with NumPy on the module global `np`.
#include "footprint.hpp"

#include "runtime/module.hpp"

namespace morvane::rank {
namespace {

// Footprint entries are one-byte signed values.
PyObject *entry_to_object(const char *item) {
    return PyLong_FromLong(static_cast<signed char>(*item));
}

int entry_from_object(char *item, PyObject *value) {
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) return 0;
    if (v < -128 || v > 127) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to char");
        return 0;
    }
    *item = static_cast<char>(v);
    return 1;
}

} // namespace

PyObject *edge_map(const rt::Record &footprint, int ndim, PyObject *stack, PyObject *zeros_shape,
                   bool zeros_first, long axis, int op, EdgeStage &stage) {
    using rt::Ref;
    const rt::Names &n = rt::names();
    stage = EdgeStage::Stack;

    // The footprint's membership (entry != 0) as a boolean array, so that
    // any non-zero value counts as a member, then the zero block joined on
    // the chosen side.
    Ref fp(rt::wrap(footprint, ndim, entry_to_object, entry_from_object));
    if (!fp) return nullptr;
    Ref not_equal(rt::numpy_attr(n.not_equal));
    if (!not_equal) return nullptr;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref member(PyObject_CallFunctionObjArgs(not_equal.get(), fp.get(), zero.get(), nullptr));
    if (!member) return nullptr;
    fp.reset();
    Ref zeros_fn(rt::numpy_attr(n.zeros));
    if (!zeros_fn) return nullptr;
    Ref block(PyObject_CallOneArg(zeros_fn.get(), zeros_shape));
    if (!block) return nullptr;
    Ref stack_fn(rt::numpy_attr(stack));
    if (!stack_fn) return nullptr;
    Ref pair(zeros_first ? PyTuple_Pack(2, block.get(), member.get())
                         : PyTuple_Pack(2, member.get(), block.get()));
    if (!pair) return nullptr;
    Ref stacked(PyObject_CallOneArg(stack_fn.get(), pair.get()));
    if (!stacked) return nullptr;

    // The stacked array is float64, so the difference keeps its sign.
    stage = EdgeStage::Map;
    Ref diff_fn(rt::numpy_attr(n.diff));
    if (!diff_fn) return nullptr;
    Ref args(PyTuple_Pack(1, stacked.get()));
    Ref axis_value(PyLong_FromLong(axis));
    Ref kwargs(PyDict_New());
    if (!args || !axis_value || !kwargs ||
        PyDict_SetItem(kwargs.get(), n.axis, axis_value.get()) < 0)
        return nullptr;
    Ref difference(PyObject_Call(diff_fn.get(), args.get(), kwargs.get()));
    if (!difference) return nullptr;
    Ref edges(PyObject_RichCompare(difference.get(), zero.get(), op));
    if (!edges) return nullptr;
    Ref uint8(rt::numpy_attr(n.uint8));
    if (!uint8) return nullptr;
    return PyObject_CallMethodOneArg(edges.get(), n.view, uint8.get());
}

PyObject *intp_array(PyObject *function, PyObject *args) {
    using rt::Ref;
    const rt::Names &n = rt::names();
    if (args == nullptr) return nullptr;
    Ref make(rt::numpy_attr(function));
    if (!make) return nullptr;
    Ref intp(rt::numpy_attr(n.intp));
    if (!intp) return nullptr;
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), n.dtype, intp.get()) < 0) return nullptr;
    return PyObject_Call(make.get(), args, kwargs.get());
}

} // namespace morvane::rank
