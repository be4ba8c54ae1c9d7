// The engine's entry from Python: `_filters.engine(...)` and the value
// helpers; the engine's methods run here in cancellable bands.
#include "engine_entry.hpp"

#include "bands.hpp"
#include "engine/dispatch.hpp"
#include "engine/values.hpp"
#include "helpers.hpp"

#include <morvane/slidewin.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace sw = morvane::slidewin;

namespace morvane::engine {
namespace {

// A buffer held for the call.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    int get(PyObject *obj, bool writable) {
        const int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
        held_ = true;
        return 0;
    }
    const Py_buffer &view() const { return view_; }

    // The buffer as planes x rows x cols (a 2D buffer has one plane).
    Plane3 plane() const {
        Plane3 p;
        p.data = static_cast<const char *>(view_.buf);
        const int lead = 3 - view_.ndim;
        for (int d = 0; d < view_.ndim; ++d) {
            p.shape[lead + d] = view_.shape[d];
            p.strides[lead + d] = view_.strides[d];
        }
        return p;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Bytes per value of an image the engine reads (see Task::item), or 0.
int item_of(const Py_buffer &b) {
    if (sw::detail::reads_as<uint8_t>(b)) return 1;
    if (sw::detail::reads_as<uint16_t>(b)) return 2;
    if (sw::detail::reads_as<double>(b)) return 8;
    const char code = sw::detail::format_code(b.format);
    if (b.itemsize == 4 && (code == 'I' || code == 'L')) return 4;
    return 0;
}

// Whether every byte of a mask is 0 or 1.
bool zero_one(const Plane3 &m) {
    for (Index z = 0; z < m.shape[0]; ++z)
        for (Index y = 0; y < m.shape[1]; ++y) {
            const char *row = m.data + z * m.strides[0] + y * m.strides[1];
            unsigned char any = 0;
            for (Index x = 0; x < m.shape[2]; ++x) any |= static_cast<unsigned char>(row[x]);
            if (any > 1) return false;
        }
    return true;
}

bool same_shape(const Py_buffer &a, const Py_buffer &b) {
    if (a.ndim != b.ndim) return false;
    for (int d = 0; d < a.ndim; ++d)
        if (a.shape[d] != b.shape[d]) return false;
    return true;
}

// Bytes of keys per chunk of a band of float bits (see FloatChunks): a few
// chunks in all, so that the per-band set-up of the method stays a small
// share, each well inside a core's L2.
constexpr Index kFloatChunkBytes = Index{1} << 20;

// A band of an image that holds the bits of floats (float16 or float32, as
// uint16 or uint32), filtered by a method that reads keys: in chunks of rows
// (planes in 3D) whose keys, with the rows their windows reach, are made
// into a buffer while they are in cache; the chunk is filtered from there
// into out, whose results are turned back into floats in place while they
// are still in cache. No pass over the whole image, no image-sized buffer.
// The chunk's sub-image ends where the image ends, or past every row its
// windows reach, so each window counts the members it would in the image.
// A chunk whose values all lie in [+0, +inf] (no sign bit, no NaN) needs no
// keys: it is filtered from the image itself, its bits being in the keys'
// order, and the results are the bits of floats already.
class FloatChunks {
public:
    // `reads`: how the method reads the image, which it may then read in
    // place when its layout suits the method.
    FloatChunks(const Task &t, MethodFn fn, bool three_d, const Reading &reads)
        : t_(t), fn_(fn), three_d_(three_d),
          bits_readable_(!Working::copies(t.image, t.item, reads)) {}

    void run(const Band &band, const Control &c) {
        const int axis = three_d_ ? 0 : 1;
        const Index n = t_.image.shape[axis];
        const Index lo = t_.fp->lo[axis], hi = t_.fp->hi[axis];
        const Index slab = (three_d_ ? t_.image.shape[1] : 1) * t_.image.shape[2] * t_.item;
        const Index a = three_d_ ? band.z0 : band.y0, b = three_d_ ? band.z1 : band.y1;
        const Index step = std::max<Index>(1, kFloatChunkBytes / std::max<Index>(1, slab));
        // One buffer per thread, kept from call to call: fresh memory would
        // cost a page fault every few kilobytes.
        static thread_local std::vector<char> buffer;
        for (Index c0 = a; c0 < b && !c.cancelled(); c0 += step) {
            const Index c1 = std::min(b, c0 + step);
            const Index s0 = std::max<Index>(0, std::min(c0, c0 + lo));
            const Index s1 = std::min(n, std::max(c1, c1 + hi));
            Plane3 keys;
            for (int d = 0; d < 3; ++d) keys.shape[d] = t_.image.shape[d];
            keys.shape[axis] = s1 - s0;
            keys.strides[2] = t_.item;
            keys.strides[1] = good_pitch(t_.image.shape[2] * t_.item);
            keys.strides[0] = good_pitch(keys.shape[1] * keys.strides[1]);
            buffer.resize(static_cast<size_t>(keys.shape[0] * keys.strides[0]));
            keys.data = buffer.data();
            Task sub = t_;
            const values::Strided source = slabs(t_.image.data, t_.image.strides, s0, s1);
            // No negative value, nor NaN: the bits themselves are in the
            // keys' order, and the ranks of the bits are the results.
            const bool as_bits = bits_readable_ && values::bits_in_order(source);
            if (as_bits) {
                sub.image.data = t_.image.data + s0 * t_.image.strides[axis];
                sub.image.shape[axis] = s1 - s0;
            } else {
                values::to_keys(values::Kind::Float, source,
                                slabs(buffer.data(), keys.strides, 0, s1 - s0));
                sub.image = keys;
            }
            sub.out.data = t_.out.data + s0 * t_.out.strides[axis];
            fn_(sub,
                three_d_ ? Band{c0 - s0, c1 - s0, 0, t_.image.shape[1]}
                         : Band{0, 1, c0 - s0, c1 - s0},
                c);
            if (as_bits) continue;
            const values::Strided done = slabs(t_.out.data, t_.out.strides, c0, c1);
            values::from_keys(values::Kind::Float, done, done, nullptr);
        }
    }

private:
    // Slabs [s0, s1) along the band's axis of a planes x rows x columns
    // array with these strides, as a strided array.
    values::Strided slabs(const char *data, const Index *strides, Index s0, Index s1) const {
        const int axis = three_d_ ? 0 : 1;
        values::Strided v;
        v.data = const_cast<char *>(data) + s0 * strides[axis];
        v.ndim = 3;
        v.item = t_.item;
        for (int d = 0; d < 3; ++d) {
            v.shape[d] = t_.image.shape[d];
            v.strides[d] = strides[d];
        }
        v.shape[axis] = s1 - s0;
        return v;
    }

    const Task &t_;
    MethodFn fn_;
    bool three_d_;
    bool bits_readable_;
};

// Estimated nanoseconds of work (see method_cost) below which a call runs on
// one thread whatever `workers` says.
constexpr double kOneThreadWork = 4e4;
// Estimated work of a call that wakes sleeping helpers (a helper wakes
// tens of microseconds late, on a cold core); shorter calls take only the
// helpers still awake from a recent call.
constexpr double kWakeWork = 1e6;
// Estimated work per thread below which a call runs without a thread that
// watches for signals.
constexpr double kShortWork = 2e6;

// Runs `method` over the whole image in bands along the caller's first axis
// (rows in 2D, planes in 3D) on up to `workers` threads, cancellable by
// Ctrl-C. `bands`: 0 to choose, else how many to cut; `progress`: null, or a
// callable told progress(done, total). Called with the interpreter lock
// held; returns 0, or -1 with an exception set.
int run(Task &t, Method method, int workers, int ndim, Index bands, PyObject *progress,
        bool floats) {
    const bool three_d = ndim == 3;
    const MethodFn method_run = method_fn(method);
    // Image bits of floats: each band in chunks that make their own keys.
    auto fn = [&](const Task &task, const Band &band, const Control &control) {
        if (floats)
            FloatChunks(task, method_run, three_d, reading(task, method)).run(band, control);
        else
            method_run(task, band, control);
    };
    const Index n = three_d ? t.image.shape[0] : t.image.shape[1];
    if (n <= 0 || t.image.shape[1] <= 0 || t.image.shape[2] <= 0) return 0;
    // Each band builds its own windows: keep bands a few footprints high.
    const Index reach = t.fp->shape[three_d ? 0 : 1];
    const double estimate = static_cast<double>(t.image.shape[0]) * t.image.shape[1] *
                            t.image.shape[2] * method_cost(method, t);
    // Waking a kept helper, and the caches of a core that has not seen the
    // image, cost some microseconds: work that one thread does in less
    // than about ten times that runs on one.
    if (bands <= 0 && estimate < kOneThreadWork) bands = 1;
    if (bands <= 0)
        bands = std::min<Index>(workers, std::max<Index>(1, n / std::max<Index>(1, 2 * reach)));
    bands = std::max<Index>(1, std::min(bands, n));
    auto band_of = [&](Index k) {
        const Index a = k * n / bands, b = (k + 1) * n / bands;
        return three_d ? Band{a, b, 0, t.image.shape[1]} : Band{0, 1, a, b};
    };
    // Short calls run on the calling thread, and on helpers that take
    // bands beside it: too short to need cancelling, and no thread to wake
    // at the end.
    const int threads = static_cast<int>(std::min<Index>(bands, workers));
    if (progress == nullptr && estimate < kShortWork * threads) {
        Control control;
        std::atomic<Index> next{0};
        std::atomic<bool> failed{false};
        auto work = [&] {
            for (Index k; !failed.load() && (k = next.fetch_add(1)) < bands;) {
                try {
                    fn(t, band_of(k), control);
                } catch (const std::bad_alloc &) {
                    failed.store(true);
                }
            }
        };
        const bool wake = estimate >= kWakeWork;
        Py_BEGIN_ALLOW_THREADS if (threads == 1 ||
                                   !filters::Helpers::run(threads - 1, work, wake)) {
            // The kept helpers are busy with another call: threads of the
            // call's own, where the work is worth starting them.
            std::vector<std::thread> own;
            try {
                for (int i = 1; wake && i < threads; ++i) own.emplace_back(work);
            } catch (const std::exception &) {
                // Fewer threads: the calling thread takes their bands.
            }
            work();
            for (auto &o : own) o.join();
        }
        Py_END_ALLOW_THREADS if (failed.load()) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    filters::Bands work(bands, static_cast<int>(std::min<Index>(bands, workers)));
    Control control{&work.cancel_flag()};
    return work.run_threaded(
        [&](Index k) {
            try {
                fn(t, band_of(k), control);
            } catch (const std::bad_alloc &) {
                PyGILState_STATE gil = PyGILState_Ensure();
                PyErr_NoMemory();
                work.fail();
                PyGILState_Release(gil);
                return -1;
            }
            return 0;
        },
        progress);
}

// What "explain" returns: {"method", "isa", "costs" (ns per pixel of every
// method that applies), "scales" (every method's calibration factor for the
// active instruction set), "image_copy", "mask_copy" (whether the method
// reads them from a copy with a better layout)}.
PyObject *explanation(const Task &t, const Decision &d, const Reading &reads) {
    PyObject *costs = PyDict_New(), *scales = PyDict_New();
    for (int k = 0; k < kMethodCount && costs && scales; ++k) {
        const auto m = static_cast<Method>(k + 1);
        PyObject *scale = PyFloat_FromDouble(method_scale(m));
        int rc = scale ? PyDict_SetItemString(scales, method_name(m), scale) : -1;
        Py_XDECREF(scale);
        if (rc == 0 && d.cost[k] >= 0) {
            PyObject *c = PyFloat_FromDouble(d.cost[k]);
            rc = c ? PyDict_SetItemString(costs, method_name(m), c) : -1;
            Py_XDECREF(c);
        }
        if (rc < 0) Py_CLEAR(costs);
    }
    if (costs == nullptr || scales == nullptr) {
        Py_XDECREF(costs);
        Py_XDECREF(scales);
        return nullptr;
    }
    const bool image_copy = Working::copies(t.image, t.item, reads);
    const bool mask_copy = t.has_mask() && Working::copies(t.mask, 1, reads);
    return Py_BuildValue("{s:s,s:s,s:N,s:N,s:O,s:O}", "method", method_name(d.method), "isa",
                         isa_name(active_isa()), "costs", costs, "scales", scales, "image_copy",
                         image_copy ? Py_True : Py_False, "mask_copy",
                         mask_copy ? Py_True : Py_False);
}

} // namespace

// engine(stat, image, footprint, mask, out, shift, p, workers, method,
//        bands=0, progress=None) -> name
//
// stat: 0 rank (of rank floor(p * n)), 1 mean, 2 minimum, 3 maximum, as the
// filters' kinds PERCENTILE, MEAN, MINIMUM, MAXIMUM. image: uint8, uint16 or
// uint32 (float64 for the mean), 2D or 3D; footprint: one-byte entries of the image's number of dimensions,
// non-zero = member; mask: None or one-byte entries of the image's shape,
// non-zero = counted; out: the image's shape, of the image's dtype (float64
// for the mean); method: "auto" or a method's name; bands: 0 to choose, else
// how many bands to cut the first axis into; progress: None, or called as
// progress(done, total) with the bands done; bins: None, or for uint32
// images whose values are codes, their number; offset: subtracted from every
// value of a mean. Returns the name of the method that ran; method "values"
// returns what a rank filter of uint32 values should read ("codes" or
// "keys", the engine's one rule), and "explain" a dict of the choice (see
// explanation()); both run nothing and read no pixel (out may then be
// None). floats: the image (uint16 or uint32) holds the bits of float16 or
// float32 values, which out receives: the method makes the keys itself,
// a chunk at a time; when the chosen method cannot, nothing runs and
// "keys" is returned (the caller then gives keys).
PyObject *engine_filter(PyObject *, PyObject *args) {
    int stat_code, workers;
    PyObject *image_obj, *fp_obj, *mask_obj, *out_obj, *shift, *progress = Py_None;
    double p;
    const char *method_name;
    Py_ssize_t bands = 0;
    PyObject *bins_obj = Py_None, *values_obj = Py_None, *kernel_obj = Py_None;
    long long offset = 0;
    int floats = 0;
    if (!PyArg_ParseTuple(args, "iOOOOOdis|nOOLOOp:engine", &stat_code, &image_obj, &fp_obj,
                          &mask_obj, &out_obj, &shift, &p, &workers, &method_name, &bands,
                          &progress, &bins_obj, &offset, &values_obj, &kernel_obj, &floats))
        return nullptr;
    static const Stat stats[] = {Stat::Rank, Stat::Mean,    Stat::Min,  Stat::Max,   Stat::Variance,
                                 Stat::Mode, Stat::Entropy, Stat::Otsu, Stat::Kernel};
    if (stat_code < 0 || stat_code >= static_cast<int>(std::size(stats))) {
        PyErr_SetString(PyExc_ValueError, "unknown statistic");
        return nullptr;
    }
    Task t;
    t.stat = stats[stat_code];
    const bool real = real_result(t.stat);

    // "values" and "explain" need no output: out may be None.
    const bool no_out = out_obj == Py_None && (std::strcmp(method_name, "values") == 0 ||
                                               std::strcmp(method_name, "explain") == 0);
    Buffer image, fp, mask, out;
    if (image.get(image_obj, false) < 0 || fp.get(fp_obj, false) < 0 ||
        (!no_out && out.get(out_obj, true) < 0))
        return nullptr;
    const int ndim = image.view().ndim;
    t.item = item_of(image.view());
    if (ndim < 2 || ndim > 3 || t.item == 0 ||
        (t.item == 8 && t.stat != Stat::Mean && t.stat != Stat::Variance)) {
        PyErr_SetString(PyExc_TypeError, "image must be 2D or 3D uint8, uint16 or uint32 "
                                         "(or float64 for the mean and the variance)");
        return nullptr;
    }
    if (fp.view().ndim != ndim || !sw::detail::reads_as<char>(fp.view())) {
        PyErr_SetString(PyExc_TypeError,
                        "footprint must have one-byte entries and the image's dimensions");
        return nullptr;
    }
    if (mask_obj != Py_None) {
        if (mask.get(mask_obj, false) < 0) return nullptr;
        if (!same_shape(mask.view(), image.view()) || !sw::detail::reads_as<uint8_t>(mask.view())) {
            PyErr_SetString(PyExc_TypeError,
                            "mask must have one-byte entries and the image's shape");
            return nullptr;
        }
    }
    const int out_item = no_out ? t.item : item_of(out.view());
    const bool out_double = no_out ? real : sw::detail::reads_as<double>(out.view());
    if ((!no_out && !same_shape(out.view(), image.view())) ||
        (real ? !out_double : out_double || out_item != t.item)) {
        PyErr_SetString(PyExc_TypeError, "out must have the image's shape and the result's dtype");
        return nullptr;
    }
    t.out.type = real          ? OutType::F64
                 : t.item == 1 ? OutType::U8
                 : t.item == 2 ? OutType::U16
                               : OutType::U32;
    const bool whole = t.stat == Stat::Mode || t.stat == Stat::Entropy || t.stat == Stat::Otsu ||
                       t.stat == Stat::Kernel;
    if ((t.item == 4 || (whole && t.item <= 2)) && bins_obj != Py_None) {
        t.bins = PyLong_AsSsize_t(bins_obj);
        if (t.bins < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "bins must be >= 0");
            return nullptr;
        }
    }
    t.offset = offset;
    if (t.stat == Stat::Variance) t.ddof = p;
    // Otsu and kernels: the value of every bin; kernels: the kernel's address.
    Buffer values;
    if (values_obj != Py_None) {
        if (values.get(values_obj, false) < 0) return nullptr;
        const Py_buffer &v = values.view();
        const Py_ssize_t need = static_cast<Py_ssize_t>(t.top()) + 1;
        if (v.ndim != 1 || !sw::detail::reads_as<double>(v) || v.strides[0] != 8 ||
            v.shape[0] < need) {
            PyErr_Format(PyExc_TypeError,
                         "values must be a contiguous float64 array of at least %zd entries", need);
            return nullptr;
        }
        t.bin_values = static_cast<const double *>(v.buf);
    }
    if (kernel_obj != Py_None) {
        void *address = PyLong_AsVoidPtr(kernel_obj);
        if (address == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ValueError, "the kernel's address must not be 0");
            return nullptr;
        }
        t.kernel = reinterpret_cast<HistogramKernel>(address);
    }

    // The footprint, dense, and its centre.
    if (!PyTuple_Check(shift) || PyTuple_GET_SIZE(shift) != ndim) {
        PyErr_SetString(PyExc_TypeError, "shift must be a tuple with one int per axis");
        return nullptr;
    }
    const Plane3 fplane = fp.plane();
    Index centre[3] = {0, 0, 0};
    for (int d = 0; d < ndim; ++d) {
        const Index s = PyLong_AsSsize_t(PyTuple_GET_ITEM(shift, d));
        if (s == -1 && PyErr_Occurred()) return nullptr;
        const Index extent = fplane.shape[3 - ndim + d];
        centre[3 - ndim + d] = extent / 2 + s;
        if (centre[3 - ndim + d] < 0 || centre[3 - ndim + d] >= extent) {
            PyErr_SetString(PyExc_ValueError, "shift puts the centre outside the footprint");
            return nullptr;
        }
    }
    Footprint footprint;
    Working image_work, mask_work;
    try {
        std::vector<uint8_t> dense(
            static_cast<size_t>(fplane.shape[0] * fplane.shape[1] * fplane.shape[2]));
        size_t k = 0;
        for (Index i = 0; i < fplane.shape[0]; ++i)
            for (Index j = 0; j < fplane.shape[1]; ++j)
                for (Index l = 0; l < fplane.shape[2]; ++l)
                    dense[k++] = fplane.data[i * fplane.strides[0] + j * fplane.strides[1] +
                                             l * fplane.strides[2]] != 0;
        footprint = analyse(dense.data(), fplane.shape, centre);
        t.fp = &footprint;
        t.rank_of = ranks_for(p, footprint.size());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!no_out) {
        const Plane3 oplane = out.plane();
        t.out.data = const_cast<char *>(oplane.data);
        for (int d = 0; d < 3; ++d) t.out.strides[d] = oplane.strides[d];
    }

    // The method is chosen on the caller's layout: costs depend on shapes
    // and on whether there is a mask only; choosing reads no pixel.
    const std::string wanted = method_name;
    const bool explain = wanted == "explain";
    t.image = image.plane();
    if (mask_obj != Py_None) t.mask = mask.plane();
    if (wanted == "values") return PyUnicode_FromString(reads_codes(t) ? "codes" : "keys");
    Method method = method_named(method_name);
    if (method == Method::Auto && wanted != "auto" && !explain) {
        PyErr_Format(PyExc_ValueError, "unknown method '%s'", method_name);
        return nullptr;
    }
    const Decision decision = decide(t);
    if (method == Method::Auto) {
        method = decision.method;
        if (method == Method::Auto) {
            PyErr_SetString(PyExc_ValueError, "no method of the engine computes this statistic "
                                              "for these arguments");
            return nullptr;
        }
    } else if (!method_applies(method, t)) {
        PyErr_Format(PyExc_ValueError, "method '%s' does not apply to this call", method_name);
        return nullptr;
    }
    const Reading reads = reading(t, method);
    if (explain) return explanation(t, decision, reads);
    // Float bits are filtered here only by the selection networks, which
    // read keys a chunk at a time; other methods want the caller's keys or
    // codes of the whole image.
    if (floats && (method != Method::Network || t.stat != Stat::Rank || t.has_mask() ||
                   (t.item != 2 && t.item != 4)))
        return PyUnicode_FromString("keys");
    if (!values_fit(t)) {
        PyErr_Format(PyExc_ValueError, "image values must be codes below bins (%zd)",
                     static_cast<Py_ssize_t>(t.bins));
        return nullptr;
    }

    // The image and mask as the methods read them: last axis contiguous,
    // and copied with a padded pitch when a window's rows would crowd a few
    // cache sets.
    try {
        // Float bits are read through buffers of keys of their own pitch.
        if (!floats) image_work.adopt(image.plane(), t.item, reads);
        t.image = floats ? image.plane() : image_work.plane;
        if (mask_obj != Py_None) {
            // Counted pixels as 0 / 1 bytes, copied only when the caller's
            // bytes are not 0 / 1 already or their layout does not suit.
            mask_work.adopt(mask.plane(), 1, reads);
            if (mask_work.storage.empty() && !zero_one(mask_work.plane))
                mask_work.adopt(mask.plane(), 1, reads, /*force=*/true);
            for (char &c : mask_work.storage) c = c != 0;
            t.mask = mask_work.plane;
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (run(t, method, workers < 1 ? 1 : workers, ndim, bands,
            progress == Py_None ? nullptr : progress, floats != 0) < 0)
        return nullptr;
    return PyUnicode_FromString(engine::method_name(method));
}

namespace {

// A buffer held for the call, as a strided array, with its element kind.
class Array {
public:
    // -1 with TypeError unless obj is an array of native-order real
    // numbers of at most 8 dimensions.
    int get(PyObject *obj, bool writable, const char *what) {
        if (buffer_.get(obj, writable) < 0) return -1;
        const Py_buffer &view = buffer_.view();
        const char code = sw::detail::format_code(view.format);
        const Py_ssize_t item = view.itemsize;
        const bool sized = item == 1 || item == 2 || item == 4 || item == 8;
        bool known = code != 0;
        if (known && std::strchr("bhilq", code))
            kind = values::Kind::Signed;
        else if (known && std::strchr("?BHILQ", code))
            kind = values::Kind::Unsigned;
        else if (known && std::strchr("efd", code) && item >= 2)
            kind = values::Kind::Float;
        else
            known = false;
        if (!known || !sized || view.ndim > values::kMaxDims) {
            PyErr_Format(PyExc_TypeError,
                         "%s must hold native-order real numbers of 1, 2, 4 "
                         "or 8 bytes in at most %d dimensions",
                         what, values::kMaxDims);
            return -1;
        }
        s.data = static_cast<char *>(view.buf);
        s.ndim = view.ndim;
        s.item = static_cast<int>(item);
        for (int d = 0; d < view.ndim; ++d) {
            s.shape[d] = view.shape[d];
            s.strides[d] = view.strides[d];
        }
        return 0;
    }

    values::Strided s;
    values::Kind kind = values::Kind::Unsigned;

private:
    Buffer buffer_;
};

int fail(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    return -1;
}

// The optional byte array of dst's shape that says which windows counted
// a pixel (0: empty).
int counted_of(PyObject *obj, Array &a, const values::Strided &dst) {
    if (obj == Py_None) return 0;
    if (a.get(obj, false, "counted") < 0) return -1;
    if (a.s.item != 1 || !values::same_shape(a.s, dst))
        return fail(PyExc_ValueError, "counted must hold bytes in the result's shape");
    return 0;
}

} // namespace

// keys(src, dst, back, counted=None) -> None
//
// back false: dst (unsigned, src's width) gets the order-preserving keys of
// the values src. back true: dst (the values' type) gets the values of the
// keys src, and 0 where `counted` holds 0. Same shapes; any strides; src
// and dst may be one array.
PyObject *keys(PyObject *, PyObject *args) {
    PyObject *src_obj, *dst_obj, *counted_obj = Py_None;
    int back;
    if (!PyArg_ParseTuple(args, "OOp|O:keys", &src_obj, &dst_obj, &back, &counted_obj))
        return nullptr;
    Array src, dst, counted;
    if (src.get(src_obj, false, "src") < 0 || dst.get(dst_obj, true, "dst") < 0) return nullptr;
    const Array &typed = back ? dst : src, &keyed = back ? src : dst;
    if (!values::same_shape(src.s, dst.s) || src.s.item != dst.s.item ||
        keyed.kind != values::Kind::Unsigned) {
        PyErr_SetString(PyExc_TypeError, "keys: the keys must be unsigned, of the values' "
                                         "width and shape");
        return nullptr;
    }
    if (counted_of(counted_obj, counted, dst.s) < 0) return nullptr;
    const values::Strided *c = counted_obj == Py_None ? nullptr : &counted.s;
    Py_BEGIN_ALLOW_THREADS if (back) values::from_keys(typed.kind, src.s, dst.s, c);
    else values::to_keys(typed.kind, src.s, dst.s);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

// dedupe(keys, n, shift) -> count
//
// keys: a contiguous one-dimensional unsigned array whose first n entries
// are sorted; their distinct entries move to its front (from its second
// entry on when shift, which then needs one entry more), in order; returns
// their number.
PyObject *dedupe(PyObject *, PyObject *args) {
    PyObject *obj;
    Py_ssize_t n;
    int shift;
    if (!PyArg_ParseTuple(args, "Onp:dedupe", &obj, &n, &shift)) return nullptr;
    Array keys;
    if (keys.get(obj, true, "keys") < 0) return nullptr;
    if (keys.kind != values::Kind::Unsigned || keys.s.ndim != 1 || !keys.s.contiguous()) {
        PyErr_SetString(PyExc_TypeError, "dedupe takes a contiguous 1D unsigned array");
        return nullptr;
    }
    if (n < 0 || n + (shift ? 1 : 0) > keys.s.shape[0]) {
        PyErr_SetString(PyExc_ValueError, "dedupe: n does not fit the array");
        return nullptr;
    }
    values::Index distinct;
    Py_BEGIN_ALLOW_THREADS distinct = values::dedupe(keys.s.data, keys.s.item, n, shift != 0);
    Py_END_ALLOW_THREADS return PyLong_FromSsize_t(distinct);
}

// sort_keys(keys, n) -> None
//
// keys: a contiguous one-dimensional unsigned array whose first n entries
// get sorted in place.
PyObject *sort_keys(PyObject *, PyObject *args) {
    PyObject *obj;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On:sort_keys", &obj, &n)) return nullptr;
    Array keys;
    if (keys.get(obj, true, "keys") < 0) return nullptr;
    if (keys.kind != values::Kind::Unsigned || keys.s.ndim != 1 || !keys.s.contiguous()) {
        PyErr_SetString(PyExc_TypeError, "sort_keys takes a contiguous 1D unsigned array");
        return nullptr;
    }
    if (n < 0 || n > keys.s.shape[0]) {
        PyErr_SetString(PyExc_ValueError, "sort_keys: n does not fit the array");
        return nullptr;
    }
    bool fits = true;
    Py_BEGIN_ALLOW_THREADS try {
        values::sort_keys(keys.s.data, keys.s.item, n);
    } catch (const std::bad_alloc &) {
        fits = false; // no room for the scratch copy: the keys are as they were
    }
    Py_END_ALLOW_THREADS if (!fits) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// codes(values, distinct, dst) -> None
//
// dst (uint8, uint16 or uint32 of the values' shape) gets 1 + each value's
// index among `distinct`: the sorted distinct keys of the values (as
// dedupe leaves them, contiguous, the values' width). Code 0 is no value's.
PyObject *codes(PyObject *, PyObject *args) {
    PyObject *values_obj, *distinct_obj, *dst_obj;
    if (!PyArg_ParseTuple(args, "OOO:codes", &values_obj, &distinct_obj, &dst_obj)) return nullptr;
    Array v, distinct, dst;
    if (v.get(values_obj, false, "values") < 0 ||
        distinct.get(distinct_obj, false, "distinct") < 0 || dst.get(dst_obj, true, "dst") < 0)
        return nullptr;
    if (distinct.kind != values::Kind::Unsigned || distinct.s.ndim != 1 ||
        !distinct.s.contiguous() || distinct.s.item != v.s.item ||
        dst.kind != values::Kind::Unsigned || dst.s.item > 4 || !values::same_shape(v.s, dst.s)) {
        PyErr_SetString(PyExc_TypeError, "codes: distinct keys of the values' width, and "
                                         "unsigned codes of their shape");
        return nullptr;
    }
    bool ok = false, fits = true;
    Py_BEGIN_ALLOW_THREADS try {
        ok = values::codes(v.kind, v.s, distinct.s.data, distinct.s.shape[0], dst.s);
    } catch (const std::bad_alloc &) {
        fits = false; // the lookup's tables
    }
    Py_END_ALLOW_THREADS if (!fits) return PyErr_NoMemory();
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "codes: a value is not among the distinct keys, or "
                                          "the codes are too narrow for them");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// take(table, codes, dst, counted=None) -> None
//
// dst = table[codes], and 0 where `counted` holds 0. codes may be dst's own
// memory (a view of its first bytes, as narrow or narrower items): both
// then contiguous.
PyObject *take(PyObject *, PyObject *args) {
    PyObject *table_obj, *codes_obj, *dst_obj, *counted_obj = Py_None;
    if (!PyArg_ParseTuple(args, "OOO|O:take", &table_obj, &codes_obj, &dst_obj, &counted_obj))
        return nullptr;
    Array table, c, dst, counted;
    if (table.get(table_obj, false, "table") < 0 || c.get(codes_obj, false, "codes") < 0 ||
        dst.get(dst_obj, true, "dst") < 0)
        return nullptr;
    if (table.s.ndim != 1 || !table.s.contiguous() || table.s.item != dst.s.item ||
        c.kind != values::Kind::Unsigned || c.s.item > 4 || !values::same_shape(c.s, dst.s)) {
        PyErr_SetString(PyExc_TypeError, "take: a contiguous table of dst's type, and "
                                         "unsigned codes of dst's shape");
        return nullptr;
    }
    if (counted_of(counted_obj, counted, dst.s) < 0) return nullptr;
    bool ok;
    Py_BEGIN_ALLOW_THREADS ok = values::take(table.s.data, table.s.shape[0], c.s, dst.s,
                                             counted_obj == Py_None ? nullptr : &counted.s);
    Py_END_ALLOW_THREADS if (!ok) {
        PyErr_SetString(PyExc_ValueError, "take: a code is not below the table's length, or "
                                          "codes in dst's memory are not laid out as dst");
        return nullptr;
    }
    Py_RETURN_NONE;
}

} // namespace morvane::engine
