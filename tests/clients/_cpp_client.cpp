// A C++ client of the sliding-histogram core, bound through the C/C++
// header. Records are made over arrays of any strides, so this client can
// hand the drivers layouts that a Cython client cannot.
#include <morvane/slidewin.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace sw = morvane::slidewin;

namespace {

thread_local Py_ssize_t call_index = 0;

const Py_ssize_t *bins(const __Pyx_memviewslice &h) {
    return reinterpret_cast<const Py_ssize_t *>(h.data);
}

template <class Out, class In>
void k_probe(Out *out, Py_ssize_t depth, __Pyx_memviewslice, double pop, In g, Py_ssize_t n_bins,
             Py_ssize_t mid_bin, double p0, double p1, Py_ssize_t s0, Py_ssize_t s1) {
    const double fields[10] = {static_cast<double>(call_index++),
                               pop,
                               static_cast<double>(g),
                               static_cast<double>(n_bins),
                               static_cast<double>(mid_bin),
                               p0,
                               p1,
                               static_cast<double>(s0),
                               static_cast<double>(s1),
                               static_cast<double>(PyGILState_Check())};
    for (Py_ssize_t i = 0; i < std::min<Py_ssize_t>(depth, 10); ++i)
        out[i] = static_cast<Out>(fields[i]);
}

template <class Out, class In>
void k_hist(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double, In, Py_ssize_t n_bins,
            Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    for (Py_ssize_t i = 0; i < std::min(depth, n_bins); ++i) out[i] = static_cast<Out>(bins(h)[i]);
}

template <class Out, class In>
void k_mean(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double pop, In, Py_ssize_t n_bins,
            Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (depth < 1) return;
    if (pop == 0) {
        out[0] = 0;
        return;
    }
    double total = 0;
    for (Py_ssize_t i = 0; i < n_bins; ++i) total += static_cast<double>(i) * bins(h)[i];
    out[0] = static_cast<Out>(total / pop);
}

template <class Out, class In>
void k_percentile(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double pop, In,
                  Py_ssize_t n_bins, Py_ssize_t, double p0, double, Py_ssize_t, Py_ssize_t) {
    if (depth < 1) return;
    if (pop == 0) {
        out[0] = 0;
        return;
    }
    Py_ssize_t rank = std::min(static_cast<Py_ssize_t>(p0 * pop), static_cast<Py_ssize_t>(pop) - 1);
    Py_ssize_t running = 0;
    for (Py_ssize_t i = 0; i < n_bins; ++i) {
        running += bins(h)[i];
        if (running > rank) {
            out[0] = static_cast<Out>(i);
            return;
        }
    }
}

// `_min` / `_max` of the input width, bound at import.
template <class In> sw::minmax_fn<In> bound_max = nullptr;
template <class In> sw::minmax_fn<In> bound_min = nullptr;

template <class Out, class In>
void k_min(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double, In, Py_ssize_t n_bins,
           Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (depth < 1) return;
    bool found = false;
    In best = 0;
    for (Py_ssize_t i = 0; i < n_bins; ++i) {
        if (bins(h)[i] <= 0) continue;
        best = found ? bound_min<In>(best, static_cast<In>(i)) : static_cast<In>(i);
        found = true;
    }
    out[0] = static_cast<Out>(best);
}

template <class Out, class In>
void k_max(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double, In, Py_ssize_t n_bins,
           Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (depth < 1) return;
    In best = 0;
    for (Py_ssize_t i = 0; i < n_bins; ++i)
        if (bins(h)[i] > 0) best = bound_max<In>(best, static_cast<In>(i));
    out[0] = static_cast<Out>(best);
}

template <class Out, class In> sw::rank_kernel<Out, In> kernel_named(const std::string &name) {
    if (name == "probe") return k_probe<Out, In>;
    if (name == "hist") return k_hist<Out, In>;
    if (name == "mean") return k_mean<Out, In>;
    if (name == "percentile") return k_percentile<Out, In>;
    if (name == "min") return k_min<Out, In>;
    if (name == "max") return k_max<Out, In>;
    return nullptr;
}

sw::DriverTable drivers; // bound at import

struct Args {
    std::string kernel;
    PyObject *image, *footprint, *mask, *out;
    int shift[3] = {0, 0, 0};
    double fparam0 = 0, fparam1 = 0;
    Py_ssize_t iparam0 = 0, iparam1 = 0, bin_count = 256;
};

// Index of a NumPy array's dtype among the input or output types, or -1.
int dtype_index(PyObject *array, bool output) {
    PyObject *dtype = PyObject_GetAttrString(array, "dtype");
    if (dtype == nullptr) return -1;
    PyObject *str = PyObject_Str(dtype);
    Py_DECREF(dtype);
    if (str == nullptr) return -1;
    std::string name = PyUnicode_AsUTF8(str);
    Py_DECREF(str);
    static const char *const outputs[4] = {"uint8", "uint16", "float32", "float64"};
    for (int i = 0; i < (output ? 4 : 2); ++i)
        if (name == outputs[i]) return i;
    PyErr_Format(PyExc_TypeError, "unsupported %s dtype %s", output ? "output" : "input",
                 name.c_str());
    return -1;
}

template <class Out, class In>
void call(const Args &a, const sw::View *v, bool three_d, const sw::rank_kernel<Out, In> k) {
    auto sx = static_cast<signed char>(a.shift[0]), sy = static_cast<signed char>(a.shift[1]),
         sz = static_cast<signed char>(a.shift[2]);
    call_index = 0;
    if (three_d) {
        drivers.core_3d<Out, In>()(k, v[0].record(), v[1].record(), v[2].record(), v[3].record(),
                                   sx, sy, sz, a.fparam0, a.fparam1, a.iparam0, a.iparam1,
                                   a.bin_count);
    } else {
        drivers.core<Out, In>()(k, v[0].record(), v[1].record(), v[2].record(), v[3].record(), sx,
                                sy, a.fparam0, a.fparam1, a.iparam0, a.iparam1, a.bin_count);
    }
}

template <class Out, class In> int dispatch_kernel(const Args &a, sw::View *v, bool three_d) {
    auto k = kernel_named<Out, In>(a.kernel);
    if (k == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown kernel '%s'", a.kernel.c_str());
        return -1;
    }
    const int nd = three_d ? 3 : 2;
    // The drivers need distinct arrays: an input sharing memory with out is
    // read from a copy.
    PyObject *image = sw::distinct_from(a.image, a.out);
    PyObject *mask = image ? sw::distinct_from(a.mask, a.out) : nullptr;
    // The records hold the copies for the call.
    const bool opened = mask != nullptr && v[0].open<In>(image, nd, false) == 0 &&
                        v[1].open<char>(a.footprint, nd, false) == 0 &&
                        v[2].open<uint8_t>(mask, nd, false) == 0 &&
                        v[3].open<Out>(a.out, nd + 1, true) == 0;
    Py_XDECREF(image);
    Py_XDECREF(mask);
    if (!opened) return -1;
    call<Out, In>(a, v, three_d, k);
    return PyErr_Occurred() ? -1 : 0;
}

template <class In> int dispatch_out(int out_index, const Args &a, sw::View *v, bool three_d) {
    switch (out_index) {
    case 0: return dispatch_kernel<uint8_t, In>(a, v, three_d);
    case 1: return dispatch_kernel<uint16_t, In>(a, v, three_d);
    case 2: return dispatch_kernel<float, In>(a, v, three_d);
    default: return dispatch_kernel<double, In>(a, v, three_d);
    }
}

PyObject *run(PyObject *args, PyObject *kwargs, bool three_d) {
    static const char *kw2[] = {"kernel",  "image",     "footprint", "mask",    "out",
                                "shift_x", "shift_y",   "fparam0",   "fparam1", "iparam0",
                                "iparam1", "bin_count", nullptr};
    static const char *kw3[] = {"kernel",  "image",   "footprint", "mask",    "out",
                                "shift_x", "shift_y", "shift_z",   "fparam0", "fparam1",
                                "iparam0", "iparam1", "bin_count", nullptr};
    Args a;
    const char *kernel;
    bool ok = three_d
                  ? PyArg_ParseTupleAndKeywords(
                        args, kwargs, "sOOOO|iiiddnnn:core_3d", const_cast<char **>(kw3), &kernel,
                        &a.image, &a.footprint, &a.mask, &a.out, &a.shift[0], &a.shift[1],
                        &a.shift[2], &a.fparam0, &a.fparam1, &a.iparam0, &a.iparam1, &a.bin_count)
                  : PyArg_ParseTupleAndKeywords(
                        args, kwargs, "sOOOO|iiddnnn:core", const_cast<char **>(kw2), &kernel,
                        &a.image, &a.footprint, &a.mask, &a.out, &a.shift[0], &a.shift[1],
                        &a.fparam0, &a.fparam1, &a.iparam0, &a.iparam1, &a.bin_count);
    if (!ok) return nullptr;
    a.kernel = kernel;
    int in_index = dtype_index(a.image, false);
    if (in_index < 0) return nullptr;
    int out_index = dtype_index(a.out, true);
    if (out_index < 0) return nullptr;
    sw::View views[4];
    int rc = in_index == 0 ? dispatch_out<uint8_t>(out_index, a, views, three_d)
                           : dispatch_out<uint16_t>(out_index, a, views, three_d);
    if (rc < 0) return nullptr;
    // The drivers return every acquisition they took of our records.
    for (const auto &v : views) {
        if (v.record().memview != nullptr &&
            reinterpret_cast<PyObject *>(v.record().memview) != Py_None && v.acquisitions() != 1) {
            PyErr_Format(PyExc_AssertionError, "acquisition count %d after the call",
                         v.acquisitions());
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *core(PyObject *, PyObject *args, PyObject *kwargs) { return run(args, kwargs, false); }
PyObject *core_3d(PyObject *, PyObject *args, PyObject *kwargs) { return run(args, kwargs, true); }

PyObject *minmax(PyObject *args, bool is_max) {
    unsigned long a, b;
    int width;
    if (!PyArg_ParseTuple(args, "kki", &a, &b, &width)) return nullptr;
    if (width == 8) {
        auto f = is_max ? bound_max<uint8_t> : bound_min<uint8_t>;
        return PyLong_FromUnsignedLong(f(static_cast<uint8_t>(a), static_cast<uint8_t>(b)));
    }
    if (width == 16) {
        auto f = is_max ? bound_max<uint16_t> : bound_min<uint16_t>;
        return PyLong_FromUnsignedLong(f(static_cast<uint16_t>(a), static_cast<uint16_t>(b)));
    }
    PyErr_SetString(PyExc_ValueError, "width must be 8 or 16");
    return nullptr;
}

PyObject *max_(PyObject *, PyObject *args) { return minmax(args, true); }
PyObject *min_(PyObject *, PyObject *args) { return minmax(args, false); }

// Binds `key` from `module` under `signature` the way a client does at
// import; True on success, ImportError otherwise.
PyObject *bind_check(PyObject *, PyObject *args) {
    const char *module_name, *key, *signature;
    if (!PyArg_ParseTuple(args, "sss", &module_name, &key, &signature)) return nullptr;
    PyObject *module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    void *address = slidewin_bind(module, key, signature);
    Py_DECREF(module);
    if (address == nullptr) return nullptr;
    Py_RETURN_TRUE;
}

PyMethodDef methods[] = {
    {"core", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core)),
     METH_VARARGS | METH_KEYWORDS, "Run _core with a named kernel."},
    {"core_3d", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_3d)),
     METH_VARARGS | METH_KEYWORDS, "Run _core_3D with a named kernel."},
    {"max_", max_, METH_VARARGS, "The exported _max of width 8 or 16."},
    {"min_", min_, METH_VARARGS, "The exported _min of width 8 or 16."},
    {"bind_check", bind_check, METH_VARARGS, "Bind an entry point by key and signature."},
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject *) {
    PyObject *module = PyImport_ImportModule(SLIDEWIN_MODULE_2D);
    if (module == nullptr) return -1;
    PyObject *module_3d = PyImport_ImportModule(SLIDEWIN_MODULE_3D);
    if (module_3d == nullptr) {
        Py_DECREF(module);
        return -1;
    }
    int rc = drivers.bind(module, module_3d);
    if (rc == 0) {
        bound_max<uint8_t> = sw::bind_minmax<uint8_t>(module, true);
        bound_max<uint16_t> = sw::bind_minmax<uint16_t>(module, true);
        bound_min<uint8_t> = sw::bind_minmax<uint8_t>(module, false);
        bound_min<uint16_t> = sw::bind_minmax<uint16_t>(module, false);
        if (!bound_max<uint8_t> || !bound_max<uint16_t> || !bound_min<uint8_t> ||
            !bound_min<uint16_t>)
            rc = -1;
    }
    Py_DECREF(module);
    Py_DECREF(module_3d);
    return rc;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(exec_module)}, {0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_cpp_client",
                          "A C++ client of the sliding-histogram core (test support).",
                          0,
                          methods,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace

PyMODINIT_FUNC PyInit__cpp_client(void) { return PyModuleDef_Init(&definition); }
