// A C++ client of the sliding-histogram core, bound through the header in
// morvane.filters.rank.get_include(): the local mode (most frequent value,
// the smallest on ties) of uint8 images.
#include <morvane/slidewin.h>

namespace sw = morvane::slidewin;

namespace {

sw::core_fn<uint8_t, uint8_t> core = nullptr; // bound at import

// Called once per pixel without the interpreter lock: no Python here.
void kernel_mode(uint8_t *out, Py_ssize_t, __Pyx_memviewslice histogram, double, uint8_t,
                 Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    const auto *bins = reinterpret_cast<const Py_ssize_t *>(histogram.data);
    Py_ssize_t best = 0;
    for (Py_ssize_t v = 1; v < bin_count; ++v)
        if (bins[v] > bins[best]) best = v;
    out[0] = static_cast<uint8_t>(best);
}

// mode(image, footprint, out): image 2D uint8, footprint 2D of one-byte
// entries (bool, int8 or uint8), out 3D uint8 of shape image.shape + (1,).
// Any other element type raises TypeError.
PyObject *mode(PyObject *, PyObject *args) {
    PyObject *image, *footprint, *out;
    if (!PyArg_ParseTuple(args, "OOO", &image, &footprint, &out)) return nullptr;
    // The driver reads the image while the kernel writes out: an image that
    // shares memory with out is read from a copy.
    PyObject *input = sw::distinct_from(image, out);
    if (input == nullptr) return nullptr;
    sw::View views[4];
    const bool opened = views[0].open<uint8_t>(input, 2, false) == 0 &&
                        views[1].open<char>(footprint, 2, false) == 0 &&
                        views[2].open<uint8_t>(Py_None, 2, false) == 0 &&
                        views[3].open<uint8_t>(out, 3, true) == 0;
    Py_DECREF(input); // the record holds it
    if (!opened) return nullptr;
    core(kernel_mode, views[0].record(), views[1].record(), views[2].record(), views[3].record(), 0,
         0, 0.0, 0.0, 0, 0, 256);
    if (PyErr_Occurred()) return nullptr; // the driver reports failure this way
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {{"mode", mode, METH_VARARGS, "Local mode of a uint8 image."},
                         {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject *) {
    PyObject *slidewin = PyImport_ImportModule(SLIDEWIN_MODULE_2D);
    if (slidewin == nullptr) return -1;
    core = sw::bind_core<uint8_t, uint8_t>(slidewin); // ImportError on a mismatch
    Py_DECREF(slidewin);
    return core == nullptr ? -1 : 0;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(exec_module)}, {0, nullptr}};
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "local_mode", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

} // namespace

PyMODINIT_FUNC PyInit_local_mode(void) { return PyModuleDef_Init(&definition); }
