// morvane.filters.rank._filters: the native side of morvane.filters.rank.
//
// `run` filters through the sliding-histogram core: a client of the two core
// modules like any other, which binds `_core` and `_core_3D` through the
// public header, makes records over NumPy arrays and hands the drivers its
// kernels. The image is cut into bands of rows (planes in 3D) that the
// filter's own threads hand to the drivers one by one, each with the rows
// its windows reach (its halo); the call is cancellable between and, for the
// kernels' work, inside bands. The Python layer (_api.py) validates the
// arguments; this module checks only what keeps memory safe.
#include <morvane/slidewin.h>

#include "bands.hpp"
#include "engine/engine.hpp"
#include "engine/isa.hpp"
#include "engine_entry.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace sw = morvane::slidewin;
using morvane::filters::Bands;

namespace {

enum Kind { Percentile = 0, Mean, Minimum, Maximum, Counts, CountBits, Normalised, KindCount };

const Py_ssize_t *bins_of(const __Pyx_memviewslice &h) {
    return reinterpret_cast<const Py_ssize_t *>(h.data);
}

// What the kernels of one band need beyond their parameters. Set for the
// thread that calls the driver, which is the thread the drivers call the
// kernels on.
struct BandContext {
    // Inputs may arrive with their values replaced by codes (the rank of
    // each value among the image's distinct values) so that histograms are
    // short; the mean then needs the value of each code.
    const double *value_of_code = nullptr;
    // Outputs are written only for pixels in [keep_lo, keep_hi): the band's
    // own rows, not its halo.
    const char *keep_lo = nullptr, *keep_hi = nullptr;
    // Once set, the kernels write nothing and the scan ends at the cost of
    // its histogram updates alone.
    const std::atomic<bool> *cancel = nullptr;
};
thread_local BandContext band_context;

template <class Out> inline bool skip(const Out *out) {
    const BandContext &c = band_context;
    const char *p = reinterpret_cast<const char *>(out);
    return p < c.keep_lo || p >= c.keep_hi || c.cancel->load(std::memory_order_relaxed);
}

// Bins scanned as one block before looking at single bins.
constexpr Py_ssize_t kBlock = 16;

// Rank filters: the value of rank rank_for(p, n) among the n counted values
// (engine.hpp), 0 for an empty window.
template <class Out, class In>
void k_percentile(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In,
                  Py_ssize_t bin_count, Py_ssize_t, double p, double, Py_ssize_t, Py_ssize_t) {
    if (skip(out)) return;
    if (population <= 0) {
        out[0] = 0;
        return;
    }
    const Py_ssize_t rank = morvane::engine::rank_for(p, static_cast<Py_ssize_t>(population));
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
void k_mean(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In, Py_ssize_t bin_count,
            Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (skip(out)) return;
    if (population <= 0) {
        out[0] = static_cast<Out>(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const Py_ssize_t *bins = bins_of(h);
    double total = 0;
    if (const double *values = band_context.value_of_code) {
        for (Py_ssize_t v = 0; v < bin_count; ++v)
            total += values[v] * static_cast<double>(bins[v]);
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
    if (skip(out)) return;
    out[0] = static_cast<Out>(population > 0 ? first_occupied(bins_of(h), bin_count) : 0);
}

template <class Out, class In>
void k_maximum(Out *out, Py_ssize_t, __Pyx_memviewslice h, double population, In,
               Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (skip(out)) return;
    out[0] = static_cast<Out>(population > 0 ? last_occupied(bins_of(h), bin_count) : 0);
}

template <class Out, class In>
void k_counts(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double, In, Py_ssize_t bin_count,
              Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (skip(out)) return;
    const Py_ssize_t *bins = bins_of(h);
    const Py_ssize_t n = depth < bin_count ? depth : bin_count;
    for (Py_ssize_t v = 0; v < n; ++v) out[v] = static_cast<Out>(bins[v]);
}

// Counts as unsigned integers of the output's width: a float32 (float64)
// record stands for a 32-bit (64-bit) integer array, since the drivers only
// form addresses from its strides.
template <class Out, class In>
void k_count_bits(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double, In,
                  Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (skip(out)) return;
    using U = std::conditional_t<
        sizeof(Out) == 8, uint64_t,
        std::conditional_t<sizeof(Out) == 4, uint32_t,
                           std::conditional_t<sizeof(Out) == 2, uint16_t, uint8_t>>>;
    U *counts = reinterpret_cast<U *>(out);
    const Py_ssize_t *bins = bins_of(h);
    const Py_ssize_t n = depth < bin_count ? depth : bin_count;
    for (Py_ssize_t v = 0; v < n; ++v) counts[v] = static_cast<U>(bins[v]);
}

template <class Out, class In>
void k_normalised(Out *out, Py_ssize_t depth, __Pyx_memviewslice h, double population, In,
                  Py_ssize_t bin_count, Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t) {
    if (skip(out)) return;
    const Py_ssize_t *bins = bins_of(h);
    const Py_ssize_t n = depth < bin_count ? depth : bin_count;
    const double scale = population > 0 ? 1.0 / population : 0.0;
    for (Py_ssize_t v = 0; v < n; ++v)
        out[v] = static_cast<Out>(static_cast<double>(bins[v]) * scale);
}

template <class Out, class In> sw::rank_kernel<Out, In> kernel_of(int kind) {
    switch (kind) {
    case Percentile: return k_percentile<Out, In>;
    case Mean: return k_mean<Out, In>;
    case Minimum: return k_minimum<Out, In>;
    case Maximum: return k_maximum<Out, In>;
    case Counts: return k_counts<Out, In>;
    case CountBits: return k_count_bits<Out, In>;
    default: return k_normalised<Out, In>;
    }
}

sw::DriverTable drivers; // bound at import

struct Call {
    int kind = 0;
    double param = 0;
    int ndim = 2;
    int shift[3] = {0, 0, 0};
    Py_ssize_t bin_count = 0;
    const double *values = nullptr;
    Py_ssize_t before = 0, after = 0; // halo rows (planes) of a band
};

// One band: out rows [a, b) from image rows [lo, hi). The records are the
// whole arrays' records, cut down to the band; the drivers borrow them.
template <class Out, class In> void call_driver(const Call &c, const __Pyx_memviewslice *rec) {
    const sw::rank_kernel<Out, In> kernel = kernel_of<Out, In>(c.kind);
    auto s = [&](int k) { return static_cast<signed char>(c.shift[k]); };
    if (c.ndim == 2) {
        // The 2D driver takes the column shift first.
        drivers.core<Out, In>()(kernel, rec[0], rec[1], rec[2], rec[3], s(1), s(0), c.param, 0.0, 0,
                                0, c.bin_count);
    } else {
        drivers.core_3d<Out, In>()(kernel, rec[0], rec[1], rec[2], rec[3], s(0), s(1), s(2),
                                   c.param, 0.0, 0, 0, c.bin_count);
    }
}

__Pyx_memviewslice rows_of(__Pyx_memviewslice r, Py_ssize_t lo, Py_ssize_t hi) {
    r.data += lo * r.strides[0];
    r.shape[0] = hi - lo;
    return r;
}

bool live(const __Pyx_memviewslice &r) {
    const PyObject *o = reinterpret_cast<const PyObject *>(r.memview);
    return o != nullptr && o != Py_None;
}

// The byte range that out[i] (all its elements) occupies, relative to
// out[i]'s first element: [low, high).
void slab_span(const __Pyx_memviewslice &out, int ndim, Py_ssize_t item, Py_ssize_t *low,
               Py_ssize_t *high) {
    *low = 0;
    *high = item;
    for (int d = 1; d < ndim; ++d) {
        const Py_ssize_t reach = (out.shape[d] - 1) * out.strides[d];
        (reach < 0 ? *low : *high) += reach;
    }
}

// Copies slabs [a, b) of a C-contiguous band buffer (whose slab 0 is out
// slab `first`) into out, element by element through out's strides.
void copy_back(const __Pyx_memviewslice &out, int ndim, Py_ssize_t item, const char *buffer,
               Py_ssize_t first, Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t per_slab = 1;
    for (int d = 1; d < ndim; ++d) per_slab *= out.shape[d];
    std::vector<Py_ssize_t> index(ndim, 0);
    for (Py_ssize_t s = a; s < b; ++s) {
        const char *src = buffer + (s - first) * per_slab * item;
        for (Py_ssize_t k = 0; k < per_slab; ++k, src += item) {
            char *dst = out.data + s * out.strides[0];
            Py_ssize_t rest = k;
            for (int d = ndim - 1; d >= 1; --d) {
                dst += (rest % out.shape[d]) * out.strides[d];
                rest /= out.shape[d];
            }
            std::memcpy(dst, src, item);
        }
    }
}

template <class Out, class In> struct Runner {
    const Call &c;
    const __Pyx_memviewslice *whole; // image, footprint, mask, out
    Py_ssize_t slabs, bands;
    Bands *control;

    int band(Py_ssize_t index) {
        const Py_ssize_t a = index * slabs / bands, b = (index + 1) * slabs / bands;
        if (b <= a) return 0;
        const Py_ssize_t lo = std::max<Py_ssize_t>(0, a - c.before);
        const Py_ssize_t hi = std::min(slabs, b + c.after);
        const int nd = c.ndim + 1; // out carries the values per pixel
        const __Pyx_memviewslice &out = whole[3];
        const Py_ssize_t item = sizeof(Out);
        Py_ssize_t low, high;
        slab_span(out, nd, item, &low, &high);
        // Bands write straight into out when its slabs are laid out one
        // after another; otherwise into a buffer of their own, copied back.
        // (The drivers also need a pixel's values side by side.)
        const bool direct = out.strides[0] > 0 && low >= 0 && high <= out.strides[0] &&
                            (out.shape[nd - 1] <= 1 || out.strides[nd - 1] == item);
        std::vector<char> buffer;
        __Pyx_memviewslice rec[4] = {rows_of(whole[0], lo, hi), whole[1],
                                     live(whole[2]) ? rows_of(whole[2], lo, hi) : whole[2],
                                     rows_of(out, lo, hi)};
        BandContext &context = band_context;
        context.value_of_code = c.values;
        context.cancel = &control->cancel_flag();
        PyGILState_STATE gil = PyGILState_Ensure();
        if (direct) {
            context.keep_lo = out.data + a * out.strides[0];
            context.keep_hi = out.data + b * out.strides[0];
        } else {
            Py_ssize_t per_slab = 1;
            for (int d = 1; d < nd; ++d) per_slab *= out.shape[d];
            try {
                buffer.resize(static_cast<size_t>((hi - lo) * per_slab * item));
            } catch (const std::bad_alloc &) {
                PyErr_NoMemory();
                control->fail();
                PyGILState_Release(gil);
                return -1;
            }
            rec[3].data = buffer.data();
            Py_ssize_t stride = item;
            for (int d = nd - 1; d >= 0; --d) {
                rec[3].strides[d] = stride;
                stride *= rec[3].shape[d];
            }
            context.keep_lo = buffer.data() + (a - lo) * per_slab * item;
            context.keep_hi = buffer.data() + (b - lo) * per_slab * item;
        }
        call_driver<Out, In>(c, rec);
        const bool failed = PyErr_Occurred() != nullptr;
        if (failed) control->fail();
        PyGILState_Release(gil);
        if (failed) return -1;
        if (!direct && !control->cancelled()) copy_back(out, nd, item, buffer.data(), lo, a, b);
        return 0;
    }
};

template <class Out, class In>
int run_typed(const Call &c, sw::View *views, PyObject *arrays[4], Py_ssize_t bands, int threads,
              PyObject *progress) {
    if (views[0].open<In>(arrays[0], c.ndim, false) < 0 ||
        views[1].open<char>(arrays[1], c.ndim, false) < 0 ||
        views[2].open<uint8_t>(arrays[2], c.ndim, false) < 0 ||
        views[3].open<Out>(arrays[3], c.ndim + 1, true) < 0)
        return -1;
    __Pyx_memviewslice whole[4];
    for (int k = 0; k < 4; ++k) whole[k] = views[k].record();
    const Py_ssize_t slabs = whole[0].shape[0];
    for (int d = 0; d < c.ndim; ++d) {
        if (whole[3].shape[d] != whole[0].shape[d] ||
            (live(whole[2]) && whole[2].shape[d] != whole[0].shape[d])) {
            PyErr_SetString(PyExc_ValueError, "image, mask and out must have the same shape");
            return -1;
        }
    }
    if (slabs == 0) return 0;
    bands = std::clamp<Py_ssize_t>(bands, 1, slabs);
    Bands control(bands, threads);
    Runner<Out, In> runner{c, whole, slabs, bands, &control};
    return control.run_threaded([&](Py_ssize_t b) { return runner.band(b); }, progress);
}

template <class In>
int run_out(int out_index, const Call &c, sw::View *v, PyObject *a[4], Py_ssize_t bands,
            int threads, PyObject *progress) {
    switch (out_index) {
    case 0: return run_typed<uint8_t, In>(c, v, a, bands, threads, progress);
    case 1: return run_typed<uint16_t, In>(c, v, a, bands, threads, progress);
    case 2: return run_typed<float, In>(c, v, a, bands, threads, progress);
    default: return run_typed<double, In>(c, v, a, bands, threads, progress);
    }
}

// run(kind, image, footprint, mask, out, shift, param, bin_count, values,
//     threads, bands, progress)
PyObject *run(PyObject *, PyObject *args) {
    Call c{};
    PyObject *arrays[4], *shift, *values, *progress;
    Py_ssize_t bands;
    int threads;
    if (!PyArg_ParseTuple(args, "iOOOOOdnOinO:run", &c.kind, &arrays[0], &arrays[1], &arrays[2],
                          &arrays[3], &shift, &c.param, &c.bin_count, &values, &threads, &bands,
                          &progress))
        return nullptr;
    if (c.kind < 0 || c.kind >= KindCount) {
        PyErr_SetString(PyExc_ValueError, "unknown filter kind");
        return nullptr;
    }
    if (!PyTuple_Check(shift) || PyTuple_GET_SIZE(shift) < 2 || PyTuple_GET_SIZE(shift) > 3) {
        PyErr_SetString(PyExc_TypeError, "shift must be a tuple of 2 or 3 ints");
        return nullptr;
    }
    c.ndim = static_cast<int>(PyTuple_GET_SIZE(shift));
    for (int k = 0; k < c.ndim; ++k) {
        long s = PyLong_AsLong(PyTuple_GET_ITEM(shift, k));
        if (s == -1 && PyErr_Occurred()) return nullptr;
        if (s < -128 || s > 127) {
            PyErr_SetString(PyExc_ValueError, "shifts must lie in -128..127");
            return nullptr;
        }
        c.shift[k] = static_cast<int>(s);
    }
    const int in_index = sw::element_index(arrays[0]);
    if (in_index < 0 && PyErr_Occurred()) return nullptr;
    const int out_index = sw::element_index(arrays[3]);
    if (out_index < 0 && PyErr_Occurred()) return nullptr;
    if (in_index < 0 || in_index > 1) {
        PyErr_SetString(PyExc_TypeError, "image must be uint8 or uint16");
        return nullptr;
    }
    if (out_index < 0) {
        PyErr_SetString(PyExc_TypeError, "out must be uint8, uint16, float32 or float64");
        return nullptr;
    }
    // Halo: the rows (planes) before and after a band that its windows reach.
    PyObject *fshape = PyObject_GetAttrString(arrays[1], "shape");
    if (fshape == nullptr) return nullptr;
    const Py_ssize_t extent = PyTuple_Check(fshape) && PyTuple_GET_SIZE(fshape) == c.ndim
                                  ? PyLong_AsSsize_t(PyTuple_GET_ITEM(fshape, 0))
                                  : -1;
    Py_DECREF(fshape);
    if (extent < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "footprint has the wrong number of dimensions");
        return nullptr;
    }
    c.before = extent / 2 + c.shift[0];
    c.after = extent - 1 - c.before;
    if (c.before < 0 || c.after < 0) {
        PyErr_SetString(PyExc_ValueError, "shift puts the centre outside the footprint");
        return nullptr;
    }
    Py_buffer table{};
    if (values != Py_None) {
        if (PyObject_GetBuffer(values, &table, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
            return nullptr;
        if (sw::element_index(table) != 3 || table.len / table.itemsize < c.bin_count) {
            PyBuffer_Release(&table);
            PyErr_SetString(PyExc_ValueError, "values must be float64 with bin_count entries");
            return nullptr;
        }
        c.values = static_cast<const double *>(table.buf);
    }
    if (progress == Py_None) progress = nullptr;
    int rc;
    {
        sw::View views[4];
        rc = in_index == 0
                 ? run_out<uint8_t>(out_index, c, views, arrays, bands, threads, progress)
                 : run_out<uint16_t>(out_index, c, views, arrays, bands, threads, progress);
    }
    if (values != Py_None) PyBuffer_Release(&table);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run", run, METH_VARARGS,
     "run(kind, image, footprint, mask, out, shift, param, bin_count, values, threads, bands,\n"
     "    progress)\n\n"
     "Filter through the sliding-histogram core in `bands` bands on `threads` threads,\n"
     "without the interpreter lock; Ctrl-C cancels the call."},
    {"engine", morvane::engine::engine_filter, METH_VARARGS,
     "engine(stat, image, footprint, mask, out, shift, p, workers, method) -> method\n\n"
     "Rank, mean, minimum or maximum filter by the engine's fastest exact method (or the\n"
     "one named); returns the name of the method that ran."},
    {"keys", morvane::engine::keys, METH_VARARGS,
     "keys(src, dst, back, counted=None)\n\n"
     "Order-preserving unsigned keys of values (back false), or the values of keys (0 where\n"
     "`counted` is 0)."},
    {"dedupe", morvane::engine::dedupe, METH_VARARGS,
     "dedupe(keys, n, shift) -> count\n\nThe distinct keys of the sorted first n moved to the\n"
     "front (from the second entry when shift); their number."},
    {"sort_keys", morvane::engine::sort_keys, METH_VARARGS,
     "sort_keys(keys, n)\n\nThe first n keys sorted in place."},
    {"codes", morvane::engine::codes, METH_VARARGS,
     "codes(values, distinct_keys, dst)\n\n1 + each value's index among the distinct keys."},
    {"take", morvane::engine::take, METH_VARARGS,
     "take(table, codes, dst, counted=None)\n\ndst = table[codes] (0 where `counted` is 0);\n"
     "codes may lie in dst's own memory."},
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject *module) {
    if (const char *error = morvane::engine::isa_error()) {
        PyErr_SetString(PyExc_ImportError, error);
        return -1;
    }
    if (PyModule_AddStringConstant(module, "ISA",
                                   morvane::engine::isa_name(morvane::engine::active_isa())) < 0)
        return -1;
    PyObject *m2 = PyImport_ImportModule(SLIDEWIN_MODULE_2D);
    PyObject *m3 = m2 ? PyImport_ImportModule(SLIDEWIN_MODULE_3D) : nullptr;
    int rc = -1;
    if (m3 != nullptr && drivers.bind(m2, m3) == 0) {
        static const char *const names[KindCount] = {
            "PERCENTILE", "MEAN", "MINIMUM", "MAXIMUM", "COUNTS", "COUNT_BITS", "NORMALISED"};
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
