// morvane.filters.rank._filters: the rank-filter kernels behind the Python
// functions of morvane.filters.rank.
//
// A client of the two core modules like any other: it binds `_core` and
// `_core_3D` through the public header, makes records over NumPy arrays and
// hands the drivers its kernels. The Python layer (_api.py) validates the
// arguments; this module checks only what keeps memory safe.
#include <morvane/slidewin.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace sw = morvane::slidewin;

namespace {

enum Kind { Percentile = 0, Mean, Minimum, Maximum, Counts, Normalised, KindCount };

const Py_ssize_t *bins_of(const __Pyx_memviewslice &h) {
    return reinterpret_cast<const Py_ssize_t *>(h.data);
}

// Inputs may arrive with their values replaced by codes (the rank of each
// value among the image's distinct values) so that histograms are short;
// the mean then needs the value of each code. Set for the calling thread,
// which is the thread the drivers call the kernels on.
thread_local const double *value_of_code = nullptr;

// Bins scanned as one block before looking at single bins.
constexpr Py_ssize_t kBlock = 16;

// Rank filters: the value of rank floor(p * n) among the n counted values
// (n - 1 for p = 1), 0 for an empty window. A tiny allowance keeps decimal
// fractions such as 0.29 of 100 values on the rank a person expects.
template <class Out, class In>
void k_percentile(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In,
                  Py_ssize_t bin_count, Py_ssize_t, double p, double, Py_ssize_t, Py_ssize_t) {
    if (population <= 0) {
        out[0] = 0;
        return;
    }
    const auto n = static_cast<Py_ssize_t>(population);
    auto rank = static_cast<Py_ssize_t>(std::floor(p * population + 1e-9));
    if (rank > n - 1) rank = n - 1;
    if (rank < 0) rank = 0;
    // Whole blocks of bins first (their sums vectorise), then bin by bin.
    const Py_ssize_t *bins = bins_of(h);
    Py_ssize_t running = 0, v = 0;
    for (; v + kBlock <= bin_count; v += kBlock) {
        Py_ssize_t block = 0;
        for (Py_ssize_t k = 0; k < kBlock; ++k) block += bins[v + k];
        if (running + block > rank) break;
        running += block;
    }
    for (; v < bin_count; ++v) {
        running += bins[v];
        if (running > rank) {
            out[0] = static_cast<Out>(v);
            return;
        }
    }
    out[0] = static_cast<Out>(bin_count - 1);
}

template <class Out, class In>
void k_mean(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In,
            Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (population <= 0) {
        out[0] = static_cast<Out>(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const Py_ssize_t *bins = bins_of(h);
    double total = 0;
    if (const double *values = value_of_code) {
        for (Py_ssize_t v = 0; v < bin_count; ++v) total += values[v] * static_cast<double>(bins[v]);
    } else {
        for (Py_ssize_t v = 0; v < bin_count; ++v)
            total += static_cast<double>(v) * static_cast<double>(bins[v]);
    }
    out[0] = static_cast<Out>(total / population);
}

// First (last) occupied bin, looking at whole blocks first.
Py_ssize_t first_occupied(const Py_ssize_t *bins, Py_ssize_t bin_count) {
    Py_ssize_t v = 0;
    for (; v + kBlock <= bin_count; v += kBlock) {
        Py_ssize_t any = 0;
        for (Py_ssize_t k = 0; k < kBlock; ++k) any |= bins[v + k];
        if (any != 0) break;
    }
    for (; v < bin_count; ++v)
        if (bins[v] > 0) return v;
    return 0;
}

Py_ssize_t last_occupied(const Py_ssize_t *bins, Py_ssize_t bin_count) {
    Py_ssize_t v = bin_count;
    for (; v - kBlock >= 0; v -= kBlock) {
        Py_ssize_t any = 0;
        for (Py_ssize_t k = 1; k <= kBlock; ++k) any |= bins[v - k];
        if (any != 0) break;
    }
    for (--v; v >= 0; --v)
        if (bins[v] > 0) return v;
    return 0;
}

template <class Out, class In>
void k_minimum(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In,
               Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    out[0] = static_cast<Out>(population > 0 ? first_occupied(bins_of(h), bin_count) : 0);
}

template <class Out, class In>
void k_maximum(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In,
               Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    out[0] = static_cast<Out>(population > 0 ? last_occupied(bins_of(h), bin_count) : 0);
}

template <class Out, class In>
void k_counts(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double, In, Py_ssize_t bin_count,
              Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    const Py_ssize_t *bins = bins_of(h);
    const Py_ssize_t n = depth < bin_count ? depth : bin_count;
    for (Py_ssize_t v = 0; v < n; ++v) out[v] = static_cast<Out>(bins[v]);
}

template <class Out, class In>
void k_normalised(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double population, In,
                  Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    const Py_ssize_t *bins = bins_of(h);
    const Py_ssize_t n = depth < bin_count ? depth : bin_count;
    const double scale = population > 0 ? 1.0 / population : 0.0;
    for (Py_ssize_t v = 0; v < n; ++v) out[v] = static_cast<Out>(static_cast<double>(bins[v]) * scale);
}

template <class Out, class In> sw::rank_kernel<Out, In> kernel_of(int kind) {
    switch (kind) {
    case Percentile: return k_percentile<Out, In>;
    case Mean: return k_mean<Out, In>;
    case Minimum: return k_minimum<Out, In>;
    case Maximum: return k_maximum<Out, In>;
    case Counts: return k_counts<Out, In>;
    default: return k_normalised<Out, In>;
    }
}

sw::DriverTable drivers; // bound at import

struct Call {
    int kind;
    double param;
    int shift[3];
    Py_ssize_t bin_count;
};

template <class Out, class In> void call_driver(const Call &c, const sw::View *v, int ndim) {
    const sw::rank_kernel<Out, In> kernel = kernel_of<Out, In>(c.kind);
    auto s = [&](int k) { return static_cast<signed char>(c.shift[k]); };
    if (ndim == 2) {
        // The 2D driver takes the column shift first.
        drivers.core<Out, In>()(kernel, v[0].record(), v[1].record(), v[2].record(),
                                v[3].record(), s(1), s(0), c.param, 0.0, 0, 0, c.bin_count);
    } else {
        drivers.core_3d<Out, In>()(kernel, v[0].record(), v[1].record(), v[2].record(),
                                   v[3].record(), s(0), s(1), s(2), c.param, 0.0, 0, 0,
                                   c.bin_count);
    }
}

template <class In> void dispatch_out(int out_index, const Call &c, const sw::View *v, int ndim) {
    switch (out_index) {
    case 0: call_driver<uint8_t, In>(c, v, ndim); break;
    case 1: call_driver<uint16_t, In>(c, v, ndim); break;
    case 2: call_driver<float, In>(c, v, ndim); break;
    default: call_driver<double, In>(c, v, ndim); break;
    }
}

// Index of the array's element type among uint8, uint16, float32, float64.
int element_index(const Py_buffer &b) {
    const char *f = b.format ? b.format : "B";
    if (*f == '=' || *f == '<' || *f == '@') ++f;
    if (f[1] != 0) return -1;
    switch (*f) {
    case 'B': return b.itemsize == 1 ? 0 : -1;
    case 'H': return b.itemsize == 2 ? 1 : -1;
    case 'f': return b.itemsize == 4 ? 2 : -1;
    case 'd': return b.itemsize == 8 ? 3 : -1;
    default: return -1;
    }
}

bool live(const sw::View &v) {
    const PyObject *o = reinterpret_cast<const PyObject *>(v.record().memview);
    return o != nullptr && o != Py_None;
}

// run(kind, image, footprint, mask, out, shift, param, bin_count, values=None)
PyObject *run(PyObject *, PyObject *args) {
    Call c{};
    PyObject *image, *footprint, *mask, *out, *shift, *values = Py_None;
    if (!PyArg_ParseTuple(args, "iOOOOOdn|O:run", &c.kind, &image, &footprint, &mask, &out,
                          &shift, &c.param, &c.bin_count, &values))
        return nullptr;
    if (c.kind < 0 || c.kind >= KindCount) {
        PyErr_SetString(PyExc_ValueError, "unknown filter kind");
        return nullptr;
    }
    if (!PyTuple_Check(shift) || PyTuple_GET_SIZE(shift) < 2 || PyTuple_GET_SIZE(shift) > 3) {
        PyErr_SetString(PyExc_TypeError, "shift must be a tuple of 2 or 3 ints");
        return nullptr;
    }
    const int ndim = static_cast<int>(PyTuple_GET_SIZE(shift));
    for (int k = 0; k < ndim; ++k) {
        long s = PyLong_AsLong(PyTuple_GET_ITEM(shift, k));
        if (s == -1 && PyErr_Occurred()) return nullptr;
        if (s < -128 || s > 127) {
            PyErr_SetString(PyExc_ValueError, "shifts must lie in -128..127");
            return nullptr;
        }
        c.shift[k] = static_cast<int>(s);
    }
    sw::View views[4];
    if (views[0].open(image, ndim, false) < 0 || views[1].open(footprint, ndim, false) < 0 ||
        views[2].open(mask, ndim, false) < 0 || views[3].open(out, ndim + 1, true) < 0)
        return nullptr;
    const int in_index = element_index(views[0].record().memview->view);
    const int out_index = element_index(views[3].record().memview->view);
    if (in_index < 0 || in_index > 1) {
        PyErr_SetString(PyExc_TypeError, "image must be uint8 or uint16");
        return nullptr;
    }
    if (out_index < 0) {
        PyErr_SetString(PyExc_TypeError, "out must be uint8, uint16, float32 or float64");
        return nullptr;
    }
    if (views[1].record().memview->view.itemsize != 1 ||
        (live(views[2]) && views[2].record().memview->view.itemsize != 1)) {
        PyErr_SetString(PyExc_TypeError, "footprint and mask must have one-byte elements");
        return nullptr;
    }
    Py_buffer table{};
    if (values != Py_None) {
        if (PyObject_GetBuffer(values, &table, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
        if (table.itemsize != sizeof(double) || table.len / table.itemsize < c.bin_count ||
            std::strcmp(table.format ? table.format : "B", "d") != 0) {
            PyBuffer_Release(&table);
            PyErr_SetString(PyExc_ValueError, "values must be float64 with bin_count entries");
            return nullptr;
        }
    }
    value_of_code = values != Py_None ? static_cast<const double *>(table.buf) : nullptr;
    if (in_index == 0)
        dispatch_out<uint8_t>(out_index, c, views, ndim);
    else
        dispatch_out<uint16_t>(out_index, c, views, ndim);
    value_of_code = nullptr;
    if (values != Py_None) PyBuffer_Release(&table);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run", run, METH_VARARGS,
     "run(kind, image, footprint, mask, out, shift, param, bin_count, values=None)\n\n"
     "Filter through the sliding-histogram core; the interpreter lock is released\n"
     "while the image is scanned."},
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject *module) {
    PyObject *m2 = PyImport_ImportModule(SLIDEWIN_MODULE_2D);
    PyObject *m3 = m2 ? PyImport_ImportModule(SLIDEWIN_MODULE_3D) : nullptr;
    int rc = -1;
    if (m3 != nullptr && drivers.bind(m2, m3) == 0) {
        static const char *const names[KindCount] = {"PERCENTILE", "MEAN",   "MINIMUM",
                                                     "MAXIMUM",    "COUNTS", "NORMALISED"};
        rc = 0;
        for (int k = 0; k < KindCount && rc == 0; ++k)
            rc = PyModule_AddIntConstant(module, names[k], k);
    }
    Py_XDECREF(m2);
    Py_XDECREF(m3);
    return rc;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void *>(exec_module)}, {0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_filters",
                          "Rank-filter kernels bound to the sliding-histogram core.",
                          0,
                          methods,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace

PyMODINIT_FUNC PyInit__filters(void) { return PyModuleDef_Init(&definition); }
