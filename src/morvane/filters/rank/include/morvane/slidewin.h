/*
 * Client declarations for the slidewin sliding-histogram core.
 *
 * The modules morvane.filters.rank.slidewin and morvane.filters.rank.slidewin_3d
 * publish their native entry points in the module attribute `__pyx_capi__`:
 * a dict mapping an export key to a capsule whose name is the entry point's
 * signature string. This header gives a C or C++ client everything it needs
 * to bind and call them:
 *
 *   - the strided view record `__Pyx_memviewslice` passed by value across
 *     the C-API, and the layout of the view objects that records point to;
 *   - the kernel and entry-point types for every element-type combination;
 *   - the export keys and signature strings;
 *   - `slidewin_bind`, which fetches one entry point and turns a missing key
 *     or a signature mismatch into an ImportError naming both strings;
 *   - for C++ clients (C++17 or later), `morvane::slidewin::View`, which turns
 *     any object with a buffer (a NumPy array) into a live record, and typed
 *     binding helpers.
 *
 * The drivers read the image and the mask while the kernel writes `out`:
 * the arrays of one call must be distinct, and `out` must not share memory
 * with the image or the mask. A client that may be handed overlapping
 * arrays copies its input first (NumPy: np.shares_memory).
 *
 * Include Python.h first or let this header do it. Find the directory with
 * morvane.filters.rank.get_include().
 */
#ifndef MORVANE_SLIDEWIN_H
#define MORVANE_SLIDEWIN_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <pythread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* View objects and records                                            */
/* ------------------------------------------------------------------ */

/* The head of every view object that a record may point to. All modules of
 * the system (and Cython 3 modules) lay their view objects out like this, so
 * a record made by one can be acquired and released by another. Only
 * `acquisition_count` is touched across modules, and only atomically. */
struct __pyx_memoryview_obj {
    PyObject_HEAD void *vtab; /* the owning type's table of operations */
    PyObject *obj;            /* the object whose buffer is viewed */
    PyObject *size;
    void *unused;
    PyThread_type_lock lock;
    int acquisition_count; /* records holding the object */
    Py_buffer view;        /* the buffer, as obtained from obj */
    int flags;
    int dtype_is_object;
    const void *typeinfo;
};

/* A strided view of up to 8 dimensions. `memview` is a view object, the
 * None object (an absent optional array) or null (unset). Element
 * (i0, i1, ...) of a direct view lies at data + sum(i_d * strides[d]). */
typedef struct {
    struct __pyx_memoryview_obj *memview;
    char *data;
    Py_ssize_t shape[8];
    Py_ssize_t strides[8];
    Py_ssize_t suboffsets[8];
} __Pyx_memviewslice;

/* ------------------------------------------------------------------ */
/* Element types, kernels and entry points                            */
/* ------------------------------------------------------------------ */

/* Input element types: index 0 = uint8, 1 = uint16.
 * Output element types: index 0 = uint8, 1 = uint16, 2 = float32, 3 = float64. */

#define SLIDEWIN_KERNEL_PARAMS(OUT, IN)                                                            \
    (OUT * out, Py_ssize_t out_depth, __Pyx_memviewslice histogram, double population,             \
     IN centre_value, Py_ssize_t bin_count, Py_ssize_t middle_bin, double fparam0, double fparam1, \
     Py_ssize_t iparam0, Py_ssize_t iparam1)

#define SLIDEWIN_DECLARE_TYPES(I, J, OUT, IN)                                                      \
    typedef void(*slidewin_kernel_##I##_##J) SLIDEWIN_KERNEL_PARAMS(OUT, IN);                      \
    typedef void (*slidewin_core_##I##_##J)(                                                       \
        slidewin_kernel_##I##_##J kernel, __Pyx_memviewslice image, __Pyx_memviewslice footprint,  \
        __Pyx_memviewslice mask, __Pyx_memviewslice out, signed char shift_x, signed char shift_y, \
        double fparam0, double fparam1, Py_ssize_t iparam0, Py_ssize_t iparam1,                    \
        Py_ssize_t bin_count);                                                                     \
    typedef void (*slidewin_core_3D_##I##_##J)(                                                    \
        slidewin_kernel_##I##_##J kernel, __Pyx_memviewslice image, __Pyx_memviewslice footprint,  \
        __Pyx_memviewslice mask, __Pyx_memviewslice out, signed char shift_x, signed char shift_y, \
        signed char shift_z, double fparam0, double fparam1, Py_ssize_t iparam0,                   \
        Py_ssize_t iparam1, Py_ssize_t bin_count);

SLIDEWIN_DECLARE_TYPES(0, 0, uint8_t, uint8_t)
SLIDEWIN_DECLARE_TYPES(0, 1, uint8_t, uint16_t)
SLIDEWIN_DECLARE_TYPES(1, 0, uint16_t, uint8_t)
SLIDEWIN_DECLARE_TYPES(1, 1, uint16_t, uint16_t)
SLIDEWIN_DECLARE_TYPES(2, 0, float, uint8_t)
SLIDEWIN_DECLARE_TYPES(2, 1, float, uint16_t)
SLIDEWIN_DECLARE_TYPES(3, 0, double, uint8_t)
SLIDEWIN_DECLARE_TYPES(3, 1, double, uint16_t)

typedef uint8_t (*slidewin_minmax_0)(uint8_t a, uint8_t b);
typedef uint16_t (*slidewin_minmax_1)(uint16_t a, uint16_t b);

/* ------------------------------------------------------------------ */
/* Export keys and signature strings                                   */
/* ------------------------------------------------------------------ */

#define SLIDEWIN_MODULE_2D "morvane.filters.rank.slidewin"
#define SLIDEWIN_MODULE_3D "morvane.filters.rank.slidewin_3d"

#define SLIDEWIN_T_UINT8 "__pyx_t_5numpy_uint8_t"
#define SLIDEWIN_T_UINT16 "__pyx_t_5numpy_uint16_t"
#define SLIDEWIN_T_FLOAT32 "__pyx_t_5numpy_float32_t"
#define SLIDEWIN_T_FLOAT64 "__pyx_t_5numpy_float64_t"

#define SLIDEWIN_SIG_MINMAX(T) T " (" T ", " T ")"

#define SLIDEWIN_SIG_KERNEL(OUT, IN)                                                               \
    "void (" OUT " *, Py_ssize_t, __Pyx_memviewslice, " SLIDEWIN_T_FLOAT64 ", " IN                 \
    ", Py_ssize_t, Py_ssize_t, " SLIDEWIN_T_FLOAT64 ", " SLIDEWIN_T_FLOAT64                        \
    ", Py_ssize_t, Py_ssize_t)"

#define SLIDEWIN_SIG_DRIVER(OUT, IN, SHIFTS)                                                       \
    "void (" SLIDEWIN_SIG_KERNEL(                                                                  \
        OUT, IN) ", __Pyx_memviewslice, "                                                          \
                 "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, " SHIFTS             \
                 ", " SLIDEWIN_T_FLOAT64 ", " SLIDEWIN_T_FLOAT64                                   \
                 ", Py_ssize_t, Py_ssize_t, Py_ssize_t)"

#define SLIDEWIN_SIG_CORE(OUT, IN) SLIDEWIN_SIG_DRIVER(OUT, IN, "signed char, signed char")
#define SLIDEWIN_SIG_CORE_3D(OUT, IN)                                                              \
    SLIDEWIN_SIG_DRIVER(OUT, IN, "signed char, signed char, signed char")

typedef struct {
    const char *key;
    const char *signature;
} slidewin_export_name;

/* The 12 entries of each module's table, in registration order. */
#define SLIDEWIN_MINMAX_EXPORTS                                                                    \
    {"__pyx_fuse_0_max", SLIDEWIN_SIG_MINMAX(SLIDEWIN_T_UINT8)},                                   \
        {"__pyx_fuse_1_max", SLIDEWIN_SIG_MINMAX(SLIDEWIN_T_UINT16)},                              \
        {"__pyx_fuse_0_min", SLIDEWIN_SIG_MINMAX(SLIDEWIN_T_UINT8)}, {                             \
        "__pyx_fuse_1_min", SLIDEWIN_SIG_MINMAX(SLIDEWIN_T_UINT16)                                 \
    }

#define SLIDEWIN_DRIVER_EXPORTS(NAME, SIG)                                                         \
    {"__pyx_fuse_0_0" NAME, SIG(SLIDEWIN_T_UINT8, SLIDEWIN_T_UINT8)},                              \
        {"__pyx_fuse_0_1" NAME, SIG(SLIDEWIN_T_UINT8, SLIDEWIN_T_UINT16)},                         \
        {"__pyx_fuse_1_0" NAME, SIG(SLIDEWIN_T_UINT16, SLIDEWIN_T_UINT8)},                         \
        {"__pyx_fuse_1_1" NAME, SIG(SLIDEWIN_T_UINT16, SLIDEWIN_T_UINT16)},                        \
        {"__pyx_fuse_2_0" NAME, SIG(SLIDEWIN_T_FLOAT32, SLIDEWIN_T_UINT8)},                        \
        {"__pyx_fuse_2_1" NAME, SIG(SLIDEWIN_T_FLOAT32, SLIDEWIN_T_UINT16)},                       \
        {"__pyx_fuse_3_0" NAME, SIG(SLIDEWIN_T_FLOAT64, SLIDEWIN_T_UINT8)}, {                      \
        "__pyx_fuse_3_1" NAME, SIG(SLIDEWIN_T_FLOAT64, SLIDEWIN_T_UINT16)                          \
    }

static const slidewin_export_name slidewin_exports_2d[12] = {
    SLIDEWIN_MINMAX_EXPORTS, SLIDEWIN_DRIVER_EXPORTS("_core", SLIDEWIN_SIG_CORE)};
static const slidewin_export_name slidewin_exports_3d[12] = {
    SLIDEWIN_MINMAX_EXPORTS, SLIDEWIN_DRIVER_EXPORTS("_core_3D", SLIDEWIN_SIG_CORE_3D)};

/* Indices into the tables above. */
enum {
    SLIDEWIN_MAX_0 = 0,
    SLIDEWIN_MAX_1 = 1,
    SLIDEWIN_MIN_0 = 2,
    SLIDEWIN_MIN_1 = 3,
    SLIDEWIN_DRIVER_FIRST = 4 /* + 2 * out index + in index */
};

/* ------------------------------------------------------------------ */
/* Binding                                                             */
/* ------------------------------------------------------------------ */

/* Fetch one entry point from an imported module. Returns the address, or
 * null with ImportError set when the key is missing or the capsule carries
 * another signature; the message names the key and both signatures. */
static inline void *slidewin_bind(PyObject *module, const char *key, const char *signature) {
    PyObject *table = PyObject_GetAttrString(module, "__pyx_capi__");
    if (table == NULL) return NULL;
    if (!PyDict_Check(table)) {
        Py_DECREF(table);
        PyErr_Format(PyExc_ImportError, "%R.__pyx_capi__ is not a dict", module);
        return NULL;
    }
    PyObject *capsule = PyDict_GetItemString(table, key); /* borrowed */
    void *address = NULL;
    if (capsule == NULL) {
        const char *name = PyModule_Check(module) ? PyModule_GetName(module) : NULL;
        if (name == NULL) {
            PyErr_Clear();
            name = "the module";
        }
        PyErr_Format(PyExc_ImportError, "%s does not export %s (expected signature \"%s\")", name,
                     key, signature);
    } else if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "entry %s is not a capsule", key);
    } else {
        const char *found = PyCapsule_GetName(capsule);
        if (found == NULL || strcmp(found, signature) != 0) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ImportError, "entry %s has signature \"%s\", expected \"%s\"",
                             key, found ? found : "(none)", signature);
        } else {
            address = PyCapsule_GetPointer(capsule, signature);
        }
    }
    Py_DECREF(table);
    return address;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ------------------------------------------------------------------ */
/* C++ helpers                                                         */
/* ------------------------------------------------------------------ */
#ifdef __cplusplus
#include <atomic>
#include <cstring>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace morvane::slidewin {

/* The element types a record may be for. `index` is the type's index among
 * the output types (uint8 and uint16 are also the input types), `codes` the
 * buffer format characters whose items read correctly as the type (bool
 * bytes are 0 or 1, so they read as uint8 and as footprint chars). */
template <class T> struct element;
template <> struct element<uint8_t> {
    static constexpr int index = 0;
    static constexpr const char *name = "uint8";
    static constexpr const char *codes = "B?";
};
template <> struct element<uint16_t> {
    static constexpr int index = 1;
    static constexpr const char *name = "uint16";
    static constexpr const char *codes = "H";
};
template <> struct element<float> {
    static constexpr int index = 2;
    static constexpr const char *name = "float32";
    static constexpr const char *codes = "f";
};
template <> struct element<double> {
    static constexpr int index = 3;
    static constexpr const char *name = "float64";
    static constexpr const char *codes = "d";
};
/* Footprints: one-byte entries, 0 or 1. */
template <> struct element<char> {
    static constexpr int index = -1;
    static constexpr const char *name = "char";
    static constexpr const char *codes = "bB?c";
};
template <> struct element<signed char> : element<char> {};

namespace detail {
/* The format character of a buffer in this machine's byte order, or 0 when
 * the format is not a single native-order item. */
inline char format_code(const char *format) {
    if (format == nullptr) return 'B'; /* the buffer protocol's default */
    const uint16_t probe = 1;
    const bool little = *reinterpret_cast<const unsigned char *>(&probe) == 1;
    switch (*format) {
    case '@':
    case '=': ++format; break;
    case '<':
        if (!little) return 0;
        ++format;
        break;
    case '>':
    case '!':
        if (little) return 0;
        ++format;
        break;
    default: break;
    }
    return format[0] != 0 && format[1] == 0 ? format[0] : 0;
}

template <class T> inline bool reads_as(const Py_buffer &b) {
    const char code = format_code(b.format);
    return code != 0 && b.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
           std::strchr(element<T>::codes, code) != nullptr;
}
} // namespace detail

/* Index of a buffer's element type among uint8, uint16, float32, float64
 * (bool counts as uint8), or -1 for any other type or byte order. */
inline int element_index(const Py_buffer &b) {
    if (detail::reads_as<uint8_t>(b)) return 0;
    if (detail::reads_as<uint16_t>(b)) return 1;
    if (detail::reads_as<float>(b)) return 2;
    if (detail::reads_as<double>(b)) return 3;
    return -1;
}

/* The same for any object with a buffer; -1 with an exception set when it
 * has none, -1 without one for an unsupported type. */
inline int element_index(PyObject *obj) {
    Py_buffer b;
    if (PyObject_GetBuffer(obj, &b, PyBUF_RECORDS_RO) < 0) return -1;
    const int index = element_index(b);
    PyBuffer_Release(&b);
    return index;
}

template <class Out, class In>
using rank_kernel = void (*)(Out *, Py_ssize_t, __Pyx_memviewslice, double, In, Py_ssize_t,
                             Py_ssize_t, double, double, Py_ssize_t, Py_ssize_t);

template <class Out, class In>
using core_fn = void (*)(rank_kernel<Out, In>, __Pyx_memviewslice, __Pyx_memviewslice,
                         __Pyx_memviewslice, __Pyx_memviewslice, signed char, signed char, double,
                         double, Py_ssize_t, Py_ssize_t, Py_ssize_t);

template <class Out, class In>
using core_3d_fn = void (*)(rank_kernel<Out, In>, __Pyx_memviewslice, __Pyx_memviewslice,
                            __Pyx_memviewslice, __Pyx_memviewslice, signed char, signed char,
                            signed char, double, double, Py_ssize_t, Py_ssize_t, Py_ssize_t);

template <class T> using minmax_fn = T (*)(T, T);

/* Typed binding of one driver specialization; null with ImportError set on
 * failure. `table` is slidewin_exports_2d or slidewin_exports_3d. */
template <class Fn, class Out, class In>
inline Fn bind_driver(PyObject *module, const slidewin_export_name *table) {
    const slidewin_export_name &e =
        table[SLIDEWIN_DRIVER_FIRST + 2 * element<Out>::index + element<In>::index];
    return reinterpret_cast<Fn>(slidewin_bind(module, e.key, e.signature));
}

template <class Out, class In> inline core_fn<Out, In> bind_core(PyObject *module) {
    return bind_driver<core_fn<Out, In>, Out, In>(module, slidewin_exports_2d);
}

template <class Out, class In> inline core_3d_fn<Out, In> bind_core_3d(PyObject *module) {
    return bind_driver<core_3d_fn<Out, In>, Out, In>(module, slidewin_exports_3d);
}

/* Every specialization of `_core` and of `_core_3D`, bound at once and
 * fetched by element types: table.core<double, uint8_t>(). */
class DriverTable {
public:
    /* Returns 0, or -1 with ImportError set. Either module may be null to
     * leave its driver unbound. */
    int bind(PyObject *module_2d, PyObject *module_3d) {
        for (int o = 0; o < 4; ++o) {
            for (int i = 0; i < 2; ++i) {
                const int k = SLIDEWIN_DRIVER_FIRST + 2 * o + i;
                if (module_2d != nullptr &&
                    (core_[o][i] = slidewin_bind(module_2d, slidewin_exports_2d[k].key,
                                                 slidewin_exports_2d[k].signature)) == nullptr)
                    return -1;
                if (module_3d != nullptr &&
                    (core_3d_[o][i] = slidewin_bind(module_3d, slidewin_exports_3d[k].key,
                                                    slidewin_exports_3d[k].signature)) == nullptr)
                    return -1;
            }
        }
        return 0;
    }
    template <class Out, class In> core_fn<Out, In> core() const {
        return reinterpret_cast<core_fn<Out, In>>(core_[element<Out>::index][element<In>::index]);
    }
    template <class Out, class In> core_3d_fn<Out, In> core_3d() const {
        return reinterpret_cast<core_3d_fn<Out, In>>(
            core_3d_[element<Out>::index][element<In>::index]);
    }

private:
    void *core_[4][2] = {};
    void *core_3d_[4][2] = {};
};

/* `_max` (is_max) or `_min` of element type T from either module. */
template <class T> inline minmax_fn<T> bind_minmax(PyObject *module, bool is_max) {
    const slidewin_export_name &e =
        slidewin_exports_2d[(is_max ? SLIDEWIN_MAX_0 : SLIDEWIN_MIN_0) + element<T>::index];
    return reinterpret_cast<minmax_fn<T>>(slidewin_bind(module, e.key, e.signature));
}

namespace detail {

// Acquisition counts change only atomically, whatever the C++ standard.
inline int add_count(__pyx_memoryview_obj *v, int delta) {
#if defined(__cpp_lib_atomic_ref)
    return std::atomic_ref<int>(v->acquisition_count).fetch_add(delta);
#elif defined(_MSC_VER)
    static_assert(sizeof(long) == sizeof(int), "long must be 32 bits");
    return static_cast<int>(
        _InterlockedExchangeAdd(reinterpret_cast<volatile long *>(&v->acquisition_count), delta));
#else
    return __atomic_fetch_add(&v->acquisition_count, delta, __ATOMIC_SEQ_CST);
#endif
}

inline void view_dealloc(PyObject *self) {
    auto *v = reinterpret_cast<__pyx_memoryview_obj *>(self);
    PyTypeObject *type = Py_TYPE(self);
    if (v->view.obj != nullptr) PyBuffer_Release(&v->view);
    Py_CLEAR(v->obj);
    if (v->lock != nullptr) PyThread_free_lock(v->lock);
    type->tp_free(self);
    Py_DECREF(type);
}

inline int view_getbuffer(PyObject *self, Py_buffer *info, int flags) {
    auto *v = reinterpret_cast<__pyx_memoryview_obj *>(self);
    if ((flags & PyBUF_WRITABLE) && v->view.readonly) {
        PyErr_SetString(PyExc_BufferError, "buffer is read-only");
        info->obj = nullptr;
        return -1;
    }
    *info = v->view;
    info->internal = nullptr;
    if (!(flags & PyBUF_FORMAT)) info->format = nullptr;
    info->obj = Py_NewRef(self);
    return 0;
}

inline void view_releasebuffer(PyObject *, Py_buffer *) {}

/* One heap type per client module, made on first use. */
inline PyTypeObject *view_type() {
    static PyTypeObject *type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(view_dealloc)},
            {Py_bf_getbuffer, reinterpret_cast<void *>(view_getbuffer)},
            {Py_bf_releasebuffer, reinterpret_cast<void *>(view_releasebuffer)},
            {0, nullptr}};
        static PyType_Spec spec = {"morvane_slidewin_client.view", sizeof(__pyx_memoryview_obj), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    }
    return type;
}

} // namespace detail

/* `input` itself, or a copy of it when it shares memory with `out` (by
 * numpy.shares_memory): a new reference, or null with an exception set.
 * None stays None. The drivers need distinct arrays; a client that may be
 * handed an `out` overlapping its image or mask passes them through this. */
inline PyObject *distinct_from(PyObject *input, PyObject *out) {
    if (input == Py_None || out == Py_None) return Py_NewRef(input);
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return nullptr;
    PyObject *shared = PyObject_CallMethod(numpy, "shares_memory", "OO", input, out);
    PyObject *result = nullptr;
    if (shared != nullptr) {
        const int yes = PyObject_IsTrue(shared);
        if (yes == 0)
            result = Py_NewRef(input);
        else if (yes > 0)
            result = PyObject_CallMethod(numpy, "array", "O", input);
        Py_DECREF(shared);
    }
    Py_DECREF(numpy);
    return result;
}

/* A live record over the buffer of any object, owning one acquisition of a
 * fresh view object. `View(Py_None)` gives the None record of an absent
 * optional array. Release happens in the destructor, with the interpreter
 * lock held. */
class View {
public:
    View() { std::memset(&rec_, 0, sizeof rec_); }
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() { reset(); }

    /* A record of `ndim` dimensions for elements of type T (uint8_t,
     * uint16_t, float or double; char for a footprint). Returns 0, or -1 with
     * an exception set: ValueError when ndim does not match the buffer,
     * TypeError when its items do not read as T (another format, item size
     * or byte order). The drivers need distinct arrays: an `out` must not
     * share memory with the image or the mask of the same call. */
    template <class T> int open(PyObject *obj, int ndim, bool writable) {
        if (open_buffer(obj, ndim, writable) < 0) return -1;
        if (rec_.memview == nullptr || reinterpret_cast<PyObject *>(rec_.memview) == Py_None)
            return 0;
        const Py_buffer &b = rec_.memview->view;
        if (!detail::reads_as<T>(b)) {
            PyErr_Format(PyExc_TypeError,
                         "buffer of format '%s' with %zd-byte items cannot be read as %s "
                         "(format '%c', %zu-byte items)",
                         b.format ? b.format : "B", b.itemsize, element<T>::name,
                         element<T>::codes[0], sizeof(T));
            reset();
            return -1;
        }
        return 0;
    }

private:
    int open_buffer(PyObject *obj, int ndim, bool writable) {
        reset();
        if (obj == Py_None) {
            rec_.memview = reinterpret_cast<__pyx_memoryview_obj *>(Py_None);
            return 0;
        }
        PyTypeObject *type = detail::view_type();
        if (type == nullptr) return -1;
        auto *v = PyObject_New(__pyx_memoryview_obj, type);
        if (v == nullptr) return -1;
        std::memset(reinterpret_cast<char *>(v) + sizeof(PyObject), 0,
                    sizeof(*v) - sizeof(PyObject));
        v->lock = PyThread_allocate_lock();
        int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
        if (v->lock == nullptr || PyObject_GetBuffer(obj, &v->view, flags) < 0) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            Py_DECREF(v);
            return -1;
        }
        if (v->view.ndim != ndim) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                         v->view.ndim);
            Py_DECREF(v);
            return -1;
        }
        v->obj = Py_NewRef(obj);
        rec_.memview = v; /* the new reference becomes the holders' reference */
        v->acquisition_count = 1;
        rec_.data = static_cast<char *>(v->view.buf);
        Py_ssize_t stride = v->view.itemsize;
        for (int d = ndim - 1; d >= 0; --d) {
            rec_.shape[d] = v->view.shape[d];
            rec_.strides[d] = v->view.strides ? v->view.strides[d] : stride;
            rec_.suboffsets[d] = -1;
            stride *= v->view.shape[d];
        }
        return 0;
    }

public:
    void reset() {
        __pyx_memoryview_obj *v = rec_.memview;
        if (v != nullptr && reinterpret_cast<PyObject *>(v) != Py_None) {
            if (detail::add_count(v, -1) == 1) Py_DECREF(reinterpret_cast<PyObject *>(v));
        }
        std::memset(&rec_, 0, sizeof rec_);
    }

    const __Pyx_memviewslice &record() const { return rec_; }
    int acquisitions() const {
        return rec_.memview && reinterpret_cast<PyObject *>(rec_.memview) != Py_None
                   ? rec_.memview->acquisition_count
                   : 0;
    }

private:
    __Pyx_memviewslice rec_;
};

} // namespace morvane::slidewin
#endif /* __cplusplus */

#endif /* MORVANE_SLIDEWIN_H */
