// Strided view records, view objects and their acquisition rules.
#include "memview.hpp"

#include <atomic>
#include <cstdio>
#include <string>
#include <type_traits>

namespace morvane::rt {

const TypeInfo kUnsignedChar{"unsigned char", 1, 'U'};
const TypeInfo kSsize{"Py_ssize_t", static_cast<Py_ssize_t>(sizeof(Py_ssize_t)), 'I'};

namespace {

// ------------------------------------------------------------------------
// Acquisition counts

int add_count(ViewObject *v, int delta) {
    return std::atomic_ref<int>(v->acquisition_count).fetch_add(delta);
}

[[noreturn]] void fatal_count(int count, int site) {
    char message[200];
    std::snprintf(message, sizeof message, "Acquisition count is %d (line %d)", count, site);
    _Py_FatalErrorFunc("__pyx_fatalerror", message);
}

bool holds_object(const ViewObject *v) {
    return v != nullptr && reinterpret_cast<const PyObject *>(v) != Py_None;
}

// ------------------------------------------------------------------------
// Runtime state (one copy per module; set up at import)

constexpr int kLockPoolSize = 8;
PyThread_type_lock pool_members[kLockPoolSize]; // every lock of the pool
PyThread_type_lock free_locks[kLockPoolSize];   // those not handed out
int free_count = 0;

PyObject *sequence_abc = nullptr;
PyObject *view_kinds[5] = {};
PyObject *unpickle_enum = nullptr;

constexpr long kEnumChecksum = 0x5f1d3a7;

// View objects take a lock from the pool while it lasts, then their own.
// Both run with the interpreter lock held.
PyThread_type_lock take_lock() {
    if (free_count > 0) return free_locks[--free_count];
    return PyThread_allocate_lock();
}

void give_lock(PyThread_type_lock lock) {
    if (lock == nullptr) return;
    for (PyThread_type_lock member : pool_members) {
        if (member == lock) {
            free_locks[free_count++] = lock;
            return;
        }
    }
    PyThread_free_lock(lock);
}

// ------------------------------------------------------------------------
// Element formats

struct FormatCode {
    char code;
    char kind; // 'U', 'I', 'F', 'B' (bool), '?' other
    Py_ssize_t size;
    const char *name;
};

constexpr FormatCode kFormats[] = {
    {'c', 'C', 1, "char"},
    {'b', 'I', 1, "signed char"},
    {'B', 'U', 1, "unsigned char"},
    {'?', 'B', 1, "bool"},
    {'h', 'I', sizeof(short), "short"},
    {'H', 'U', sizeof(short), "unsigned short"},
    {'i', 'I', sizeof(int), "int"},
    {'I', 'U', sizeof(int), "unsigned int"},
    {'l', 'I', sizeof(long), "long"},
    {'L', 'U', sizeof(long), "unsigned long"},
    {'q', 'I', sizeof(long long), "long long"},
    {'Q', 'U', sizeof(long long), "unsigned long long"},
    {'n', 'I', sizeof(Py_ssize_t), "Py_ssize_t"},
    {'N', 'U', sizeof(size_t), "size_t"},
    {'e', 'F', 2, "half"},
    {'f', 'F', sizeof(float), "float"},
    {'d', 'F', sizeof(double), "double"},
    {'g', 'F', sizeof(long double), "long double"},
};

// The single native element code of a format string, or 0 when the format
// is anything else (structs, non-native byte order, several items).
char native_code(const char *format) {
    if (format == nullptr) return 'B';
    const char *f = format;
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (f[0] == 0 || f[1] != 0) return 0;
    return f[0];
}

const FormatCode *find_code(char code) {
    for (const auto &fc : kFormats)
        if (fc.code == code) return &fc;
    return nullptr;
}

// ------------------------------------------------------------------------
// Operation tables of the view types

struct ViewVtable {
    char *(*get_item_pointer)(ViewObject *, PyObject *);
    PyObject *(*convert_item_to_object)(ViewObject *, char *);
    int (*assign_item_from_object)(ViewObject *, char *, PyObject *);
    PyObject *(*get_base)(ViewObject *);
};

struct ArrayVtable {
    PyObject *(*get_memview)(PyObject *);
};

// A wrapped record: the record, the base object, element conversions.
struct SliceObject {
    ViewObject base;
    int ndim;
    Record from_slice;
    PyObject *from_object;
    ToObject to_object_func;
    FromObject to_dtype_func;
};

// A memory-owning array.
struct ArrayObject {
    PyObject_HEAD void *vtab;
    char *data;
    Py_ssize_t len;
    char *format;
    int ndim;
    Py_ssize_t *shape;
    Py_ssize_t *strides;
    Py_ssize_t itemsize;
    PyObject *mode;
    PyObject *format_bytes;
    int free_data;
    int dtype_is_object;
};

struct EnumObject {
    PyObject_HEAD PyObject *name;
};

PyTypeObject memoryview_t = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject slice_t = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject array_t = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject enum_t = {PyVarObject_HEAD_INIT(nullptr, 0)};
std::string type_names[4];

bool is_view(PyObject *o) { return PyObject_TypeCheck(o, &memoryview_t); }
bool is_slice(PyObject *o) { return PyObject_TypeCheck(o, &slice_t); }

// Buffer geometry of a view object: the record for slices, the buffer otherwise.
struct Geometry {
    char *data;
    int ndim;
    const Py_ssize_t *shape;
    const Py_ssize_t *strides;
    const Py_ssize_t *suboffsets;
};

Geometry geometry(ViewObject *v) {
    if (is_slice(reinterpret_cast<PyObject *>(v))) {
        auto *s = reinterpret_cast<SliceObject *>(v);
        return {s->from_slice.data, s->ndim, s->from_slice.shape, s->from_slice.strides,
                s->from_slice.suboffsets};
    }
    return {static_cast<char *>(v->view.buf), v->view.ndim, v->view.shape, v->view.strides,
            v->view.suboffsets};
}

char *view_item_pointer(ViewObject *v, PyObject *index) {
    Geometry g = geometry(v);
    Ref items;
    if (PyTuple_Check(index)) {
        items = Ref::borrow(index);
    } else {
        items.reset(PyTuple_Pack(1, index));
        if (!items) return nullptr;
    }
    if (PyTuple_GET_SIZE(items.get()) != g.ndim) {
        PyErr_Format(PyExc_IndexError, "expected %d indices, got %zd", g.ndim,
                     PyTuple_GET_SIZE(items.get()));
        return nullptr;
    }
    char *p = g.data;
    for (int d = 0; d < g.ndim; ++d) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), d);
        if (!PyIndex_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "only integer indices are supported");
            return nullptr;
        }
        Py_ssize_t i = PyNumber_AsSsize_t(item, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        Py_ssize_t extent = g.shape ? g.shape[d] : v->view.len / v->view.itemsize;
        if (i < 0) i += extent;
        if (i < 0 || i >= extent) {
            PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", d);
            return nullptr;
        }
        p += i * (g.strides ? g.strides[d] : v->view.itemsize);
        if (g.suboffsets && g.suboffsets[d] >= 0)
            p = *reinterpret_cast<char **>(p) + g.suboffsets[d];
    }
    return p;
}

template <class T> PyObject *load(const char *p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::is_floating_point_v<T>)
        return PyFloat_FromDouble(static_cast<double>(value));
    else if constexpr (std::is_signed_v<T>)
        return PyLong_FromLongLong(static_cast<long long>(value));
    else
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

template <class T> int store(char *p, PyObject *o) {
    T value;
    if constexpr (std::is_floating_point_v<T>) {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return -1;
        value = static_cast<T>(d);
    } else if constexpr (std::is_signed_v<T>) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) return -1;
        value = static_cast<T>(v);
        if (static_cast<long long>(value) != v) {
            PyErr_SetString(PyExc_OverflowError, "value out of range for the element type");
            return -1;
        }
    } else {
        unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        value = static_cast<T>(v);
        if (static_cast<unsigned long long>(value) != v) {
            PyErr_SetString(PyExc_OverflowError, "value out of range for the element type");
            return -1;
        }
    }
    std::memcpy(p, &value, sizeof value);
    return 0;
}

PyObject *view_convert_item(ViewObject *v, char *p) {
    switch (native_code(v->view.format)) {
    case 'b': return load<signed char>(p);
    case 'B': return load<unsigned char>(p);
    case '?': return PyBool_FromLong(*p != 0);
    case 'h': return load<short>(p);
    case 'H': return load<unsigned short>(p);
    case 'i': return load<int>(p);
    case 'I': return load<unsigned int>(p);
    case 'l': return load<long>(p);
    case 'L': return load<unsigned long>(p);
    case 'q': return load<long long>(p);
    case 'Q': return load<unsigned long long>(p);
    case 'n': return load<Py_ssize_t>(p);
    case 'N': return load<size_t>(p);
    case 'f': return load<float>(p);
    case 'd': return load<double>(p);
    default:
        PyErr_Format(PyExc_NotImplementedError, "items of format '%s' are not supported",
                     v->view.format ? v->view.format : "B");
        return nullptr;
    }
}

int view_assign_item(ViewObject *v, char *p, PyObject *value) {
    switch (native_code(v->view.format)) {
    case 'b': return store<signed char>(p, value);
    case 'B': return store<unsigned char>(p, value);
    case 'h': return store<short>(p, value);
    case 'H': return store<unsigned short>(p, value);
    case 'i': return store<int>(p, value);
    case 'I': return store<unsigned int>(p, value);
    case 'l': return store<long>(p, value);
    case 'L': return store<unsigned long>(p, value);
    case 'q': return store<long long>(p, value);
    case 'Q': return store<unsigned long long>(p, value);
    case 'n': return store<Py_ssize_t>(p, value);
    case 'N': return store<size_t>(p, value);
    case 'f': return store<float>(p, value);
    case 'd': return store<double>(p, value);
    default:
        PyErr_Format(PyExc_NotImplementedError, "items of format '%s' are not supported",
                     v->view.format ? v->view.format : "B");
        return -1;
    }
}

PyObject *view_get_base(ViewObject *v) { return Py_NewRef(v->obj ? v->obj : Py_None); }

PyObject *slice_convert_item(ViewObject *v, char *p) {
    auto *s = reinterpret_cast<SliceObject *>(v);
    if (s->to_object_func) return s->to_object_func(p);
    return view_convert_item(v, p);
}

int slice_assign_item(ViewObject *v, char *p, PyObject *value) {
    auto *s = reinterpret_cast<SliceObject *>(v);
    if (s->to_dtype_func) return s->to_dtype_func(p, value) ? 0 : -1;
    return view_assign_item(v, p, value);
}

PyObject *slice_get_base(ViewObject *v) {
    auto *s = reinterpret_cast<SliceObject *>(v);
    return Py_NewRef(s->from_object ? s->from_object : Py_None);
}

ViewVtable memoryview_vtable = {view_item_pointer, view_convert_item, view_assign_item,
                                view_get_base};
ViewVtable slice_vtable = {view_item_pointer, slice_convert_item, slice_assign_item,
                           slice_get_base};

ViewVtable *vtable_of(PyObject *o) {
    return static_cast<ViewVtable *>(reinterpret_cast<ViewObject *>(o)->vtab);
}

// ------------------------------------------------------------------------
// memoryview and _memoryviewslice

// A fresh view object (count 0) over obj's buffer, requested with `flags`.
ViewObject *new_view(PyTypeObject *type, PyObject *obj, int flags, bool dtype_is_object) {
    auto *v = reinterpret_cast<ViewObject *>(type->tp_alloc(type, 0));
    if (v == nullptr) return nullptr;
    v->vtab = type == &slice_t ? &slice_vtable : &memoryview_vtable;
    if (obj != Py_None) {
        if (PyObject_GetBuffer(obj, &v->view, flags) < 0) {
            v->view.obj = nullptr;
            Py_DECREF(v);
            return nullptr;
        }
    }
    v->obj = Py_NewRef(obj);
    v->lock = take_lock();
    if (v->lock == nullptr) {
        Py_DECREF(v);
        PyErr_NoMemory();
        return nullptr;
    }
    v->flags = flags;
    v->dtype_is_object = dtype_is_object;
    return v;
}

PyObject *memoryview_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"obj", "flags", "dtype_is_object", nullptr};
    PyObject *obj;
    int flags;
    int dtype_is_object = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Oi|p:memoryview", const_cast<char **>(kwlist),
                                     &obj, &flags, &dtype_is_object))
        return nullptr;
    return reinterpret_cast<PyObject *>(new_view(type, obj, flags, dtype_is_object));
}

void memoryview_dealloc(PyObject *self) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    PyObject_GC_UnTrack(self);
    if (v->view.obj != nullptr) PyBuffer_Release(&v->view);
    Py_CLEAR(v->obj);
    Py_CLEAR(v->size);
    give_lock(v->lock);
    v->lock = nullptr;
    Py_TYPE(self)->tp_free(self);
}

int memoryview_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    Py_VISIT(v->obj);
    Py_VISIT(v->size);
    return 0;
}

int memoryview_clear(PyObject *self) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    Py_CLEAR(v->size);
    return 0;
}

int memoryview_getbuffer(PyObject *self, Py_buffer *info, int flags) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    if ((flags & PyBUF_WRITABLE) && v->view.readonly) {
        PyErr_SetString(PyExc_ValueError,
                        "Cannot create writable memory view from read-only memoryview");
        info->obj = nullptr;
        return -1;
    }
    Geometry g = geometry(v);
    info->buf = g.data;
    info->len = v->view.len;
    info->itemsize = v->view.itemsize;
    info->readonly = v->view.readonly;
    info->ndim = g.ndim;
    info->format = (flags & PyBUF_FORMAT)
                       ? (v->view.format ? v->view.format : const_cast<char *>("B"))
                       : nullptr;
    info->shape = (flags & PyBUF_ND) ? const_cast<Py_ssize_t *>(g.shape) : nullptr;
    info->strides = (flags & PyBUF_STRIDES) ? const_cast<Py_ssize_t *>(g.strides) : nullptr;
    info->suboffsets = nullptr;
    if (is_slice(self)) {
        Py_ssize_t len = v->view.itemsize;
        for (int d = 0; d < g.ndim; ++d) len *= g.shape[d];
        info->len = len;
        for (int d = 0; d < g.ndim; ++d)
            if (g.suboffsets[d] >= 0) info->suboffsets = const_cast<Py_ssize_t *>(g.suboffsets);
    } else if (flags & PyBUF_INDIRECT) {
        info->suboffsets = v->view.suboffsets;
    }
    if (info->suboffsets != nullptr && !(flags & PyBUF_INDIRECT)) {
        PyErr_SetString(PyExc_BufferError, "buffer is indirect; request PyBUF_INDIRECT");
        info->obj = nullptr;
        return -1;
    }
    info->internal = nullptr;
    info->obj = Py_NewRef(self);
    return 0;
}

PyObject *memoryview_getitem(PyObject *self, PyObject *index) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    char *p = vtable_of(self)->get_item_pointer(v, index);
    if (p == nullptr) return nullptr;
    return vtable_of(self)->convert_item_to_object(v, p);
}

int memoryview_setitem(PyObject *self, PyObject *index, PyObject *value) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "Cannot delete memoryview items");
        return -1;
    }
    if (v->view.readonly) {
        PyErr_SetString(PyExc_TypeError, "Cannot assign to read-only memoryview");
        return -1;
    }
    char *p = vtable_of(self)->get_item_pointer(v, index);
    if (p == nullptr) return -1;
    return vtable_of(self)->assign_item_from_object(v, p, value);
}

Py_ssize_t memoryview_length(PyObject *self) {
    Geometry g = geometry(reinterpret_cast<ViewObject *>(self));
    return g.ndim >= 1 && g.shape ? g.shape[0] : 0;
}

PyObject *memoryview_repr(PyObject *self) {
    Ref base(vtable_of(self)->get_base(reinterpret_cast<ViewObject *>(self)));
    return PyUnicode_FromFormat("<MemoryView of '%s' object>", Py_TYPE(base.get())->tp_name);
}

PyObject *tuple_of(const Py_ssize_t *values, int n) {
    Ref t(PyTuple_New(n));
    if (!t) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject *item = PyLong_FromSsize_t(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, item);
    }
    return t.release();
}

PyObject *mv_base(PyObject *self, void *) {
    return vtable_of(self)->get_base(reinterpret_cast<ViewObject *>(self));
}
PyObject *mv_shape(PyObject *self, void *) {
    Geometry g = geometry(reinterpret_cast<ViewObject *>(self));
    return tuple_of(g.shape, g.ndim);
}
PyObject *mv_strides(PyObject *self, void *) {
    Geometry g = geometry(reinterpret_cast<ViewObject *>(self));
    if (g.strides == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Buffer view does not expose strides");
        return nullptr;
    }
    return tuple_of(g.strides, g.ndim);
}
PyObject *mv_suboffsets(PyObject *self, void *) {
    Geometry g = geometry(reinterpret_cast<ViewObject *>(self));
    if (g.suboffsets == nullptr) {
        Py_ssize_t none[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        return tuple_of(none, g.ndim);
    }
    return tuple_of(g.suboffsets, g.ndim);
}
PyObject *mv_ndim(PyObject *self, void *) {
    return PyLong_FromLong(geometry(reinterpret_cast<ViewObject *>(self)).ndim);
}
PyObject *mv_itemsize(PyObject *self, void *) {
    return PyLong_FromSsize_t(reinterpret_cast<ViewObject *>(self)->view.itemsize);
}
PyObject *mv_size(PyObject *self, void *) {
    Geometry g = geometry(reinterpret_cast<ViewObject *>(self));
    Py_ssize_t n = 1;
    for (int d = 0; d < g.ndim; ++d) n *= g.shape[d];
    return PyLong_FromSsize_t(n);
}
PyObject *mv_nbytes(PyObject *self, void *) {
    auto *v = reinterpret_cast<ViewObject *>(self);
    Geometry g = geometry(v);
    Py_ssize_t n = v->view.itemsize;
    for (int d = 0; d < g.ndim; ++d) n *= g.shape[d];
    return PyLong_FromSsize_t(n);
}

PyGetSetDef memoryview_getset[] = {{"base", mv_base, nullptr, nullptr, nullptr},
                                   {"shape", mv_shape, nullptr, nullptr, nullptr},
                                   {"strides", mv_strides, nullptr, nullptr, nullptr},
                                   {"suboffsets", mv_suboffsets, nullptr, nullptr, nullptr},
                                   {"ndim", mv_ndim, nullptr, nullptr, nullptr},
                                   {"itemsize", mv_itemsize, nullptr, nullptr, nullptr},
                                   {"nbytes", mv_nbytes, nullptr, nullptr, nullptr},
                                   {"size", mv_size, nullptr, nullptr, nullptr},
                                   {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject *no_reduce(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyMethodDef view_methods[] = {{"__reduce__", no_reduce, METH_NOARGS, nullptr},
                              {nullptr, nullptr, 0, nullptr}};

PyMappingMethods memoryview_mapping = {memoryview_length, memoryview_getitem, memoryview_setitem};
PySequenceMethods memoryview_sequence = {memoryview_length};
PyBufferProcs memoryview_buffer = {memoryview_getbuffer, nullptr};

void slice_dealloc(PyObject *self) {
    auto *s = reinterpret_cast<SliceObject *>(self);
    PyObject_GC_UnTrack(self);
    release(s->from_slice, __LINE__);
    Py_CLEAR(s->from_object);
    // The base dealloc untracks again, which is harmless.
    memoryview_dealloc(self);
}

int slice_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *s = reinterpret_cast<SliceObject *>(self);
    Py_VISIT(s->from_object);
    return memoryview_traverse(self, visit, arg);
}

// ------------------------------------------------------------------------
// array

void array_dealloc(PyObject *self) {
    auto *a = reinterpret_cast<ArrayObject *>(self);
    if (a->free_data) PyMem_Free(a->data);
    PyMem_Free(a->shape);
    Py_CLEAR(a->mode);
    Py_CLEAR(a->format_bytes);
    Py_TYPE(self)->tp_free(self);
}

PyObject *array_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"shape", "itemsize",        "format",
                                   "mode",  "allocate_buffer", nullptr};
    PyObject *shape_obj, *format_obj;
    Py_ssize_t itemsize;
    const char *mode = "c";
    int allocate = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!nO|sp:array", const_cast<char **>(kwlist),
                                     &PyTuple_Type, &shape_obj, &itemsize, &format_obj, &mode,
                                     &allocate))
        return nullptr;
    Py_ssize_t ndim = PyTuple_GET_SIZE(shape_obj);
    if (ndim < 1 || ndim > 8) {
        PyErr_SetString(PyExc_ValueError, "Empty shape tuple for cython.array");
        return nullptr;
    }
    if (itemsize <= 0) {
        PyErr_SetString(PyExc_ValueError, "itemsize <= 0 for cython.array");
        return nullptr;
    }
    bool fortran = std::strcmp(mode, "fortran") == 0;
    if (!fortran && std::strcmp(mode, "c") != 0) {
        PyErr_Format(PyExc_ValueError, "Invalid mode, expected 'c' or 'fortran', got %s", mode);
        return nullptr;
    }
    Ref format_bytes;
    if (PyUnicode_Check(format_obj))
        format_bytes.reset(PyUnicode_AsASCIIString(format_obj));
    else
        format_bytes = Ref::borrow(format_obj);
    if (!format_bytes || !PyBytes_Check(format_bytes.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "format must be str or bytes");
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto *a = reinterpret_cast<ArrayObject *>(self.get());
    a->shape = static_cast<Py_ssize_t *>(PyMem_Malloc(2 * ndim * sizeof(Py_ssize_t)));
    if (a->shape == nullptr) return PyErr_NoMemory();
    a->strides = a->shape + ndim;
    a->ndim = static_cast<int>(ndim);
    a->itemsize = itemsize;
    a->format_bytes = format_bytes.release();
    a->format = PyBytes_AS_STRING(a->format_bytes);
    a->mode = PyUnicode_FromString(fortran ? "fortran" : "c");
    if (a->mode == nullptr) return nullptr;
    Py_ssize_t len = itemsize;
    for (Py_ssize_t d = 0; d < ndim; ++d) {
        Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape_obj, d));
        if (extent == -1 && PyErr_Occurred()) return nullptr;
        if (extent <= 0) {
            PyErr_Format(PyExc_ValueError, "Invalid shape in axis %zd: %zd.", d, extent);
            return nullptr;
        }
        a->shape[d] = extent;
        len *= extent;
    }
    Py_ssize_t stride = itemsize;
    for (Py_ssize_t k = 0; k < ndim; ++k) {
        Py_ssize_t d = fortran ? k : ndim - 1 - k;
        a->strides[d] = stride;
        stride *= a->shape[d];
    }
    a->len = len;
    if (allocate) {
        a->data = static_cast<char *>(PyMem_Malloc(len));
        if (a->data == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
            return nullptr;
        }
        a->free_data = 1;
    }
    return self.release();
}

int array_getbuffer(PyObject *self, Py_buffer *info, int flags) {
    auto *a = reinterpret_cast<ArrayObject *>(self);
    info->buf = a->data;
    info->len = a->len;
    info->itemsize = a->itemsize;
    info->readonly = 0;
    info->ndim = a->ndim;
    info->format = (flags & PyBUF_FORMAT) ? a->format : nullptr;
    info->shape = (flags & PyBUF_ND) ? a->shape : nullptr;
    info->strides = (flags & PyBUF_STRIDES) ? a->strides : nullptr;
    info->suboffsets = nullptr;
    info->internal = nullptr;
    info->obj = Py_NewRef(self);
    return 0;
}

PyObject *array_memview(PyObject *self) {
    return reinterpret_cast<PyObject *>(
        new_view(&memoryview_t, self, PyBUF_ANY_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE, false));
}

PyObject *array_get_memview(PyObject *self, void *) { return array_memview(self); }

Py_ssize_t array_length(PyObject *self) { return reinterpret_cast<ArrayObject *>(self)->shape[0]; }

PyObject *array_getitem(PyObject *self, PyObject *index) {
    Ref view(array_memview(self));
    if (!view) return nullptr;
    return PyObject_GetItem(view.get(), index);
}

int array_setitem(PyObject *self, PyObject *index, PyObject *value) {
    Ref view(array_memview(self));
    if (!view) return -1;
    return value ? PyObject_SetItem(view.get(), index, value) : PyObject_DelItem(view.get(), index);
}

ArrayVtable array_vtable = {array_memview};

PyGetSetDef array_getset[] = {{"memview", array_get_memview, nullptr, nullptr, nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyMappingMethods array_mapping = {array_length, array_getitem, array_setitem};
PySequenceMethods array_sequence = {array_length};
PyBufferProcs array_buffer = {array_getbuffer, nullptr};

// ------------------------------------------------------------------------
// Enum

PyObject *enum_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"name", nullptr};
    PyObject *name;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Enum", const_cast<char **>(kwlist), &name))
        return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<EnumObject *>(self)->name = Py_NewRef(name);
    return self;
}

void enum_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<EnumObject *>(self)->name);
    Py_TYPE(self)->tp_free(self);
}

int enum_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<EnumObject *>(self)->name);
    return 0;
}

int enum_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<EnumObject *>(self)->name);
    return 0;
}

PyObject *enum_repr(PyObject *self) {
    PyObject *name = reinterpret_cast<EnumObject *>(self)->name;
    return PyObject_Str(name ? name : Py_None);
}

PyObject *enum_reduce(PyObject *self, PyObject *) {
    PyObject *name = reinterpret_cast<EnumObject *>(self)->name;
    if (unpickle_enum == nullptr) {
        PyErr_SetString(PyExc_TypeError, "Enum pickling is not set up");
        return nullptr;
    }
    return Py_BuildValue("O(Ol(O))", unpickle_enum, Py_TYPE(self), kEnumChecksum,
                         name ? name : Py_None);
}

PyObject *enum_setstate(PyObject *self, PyObject *state) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) < 1) {
        PyErr_SetString(PyExc_TypeError, "Enum state must be a tuple (name,)");
        return nullptr;
    }
    auto *e = reinterpret_cast<EnumObject *>(self);
    Py_XSETREF(e->name, Py_NewRef(PyTuple_GET_ITEM(state, 0)));
    Py_RETURN_NONE;
}

PyMethodDef enum_methods[] = {{"__reduce__", enum_reduce, METH_NOARGS, nullptr},
                              {"__setstate__", enum_setstate, METH_O, nullptr},
                              {nullptr, nullptr, 0, nullptr}};

PyObject *unpickle_enum_impl(PyObject *, PyObject *args) {
    PyObject *type, *state;
    long checksum;
    if (!PyArg_ParseTuple(args, "OlO:__pyx_unpickle_Enum", &type, &checksum, &state))
        return nullptr;
    if (checksum != kEnumChecksum) {
        PyErr_Format(PyExc_ValueError, "Incompatible checksums (0x%lx vs 0x%lx = (name))", checksum,
                     kEnumChecksum);
        return nullptr;
    }
    if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type), &enum_t)) {
        PyErr_SetString(PyExc_TypeError, "__pyx_unpickle_Enum needs an Enum type");
        return nullptr;
    }
    Ref self(PyObject_CallFunctionObjArgs(type, Py_None, nullptr));
    if (!self) return nullptr;
    if (state != Py_None) {
        Ref done(enum_setstate(self.get(), state));
        if (!done) return nullptr;
    }
    return self.release();
}

PyMethodDef unpickle_enum_def = {"__pyx_unpickle_Enum", unpickle_enum_impl, METH_VARARGS, nullptr};

// ------------------------------------------------------------------------
// Type set-up

void fill_types() {
    memoryview_t.tp_name = type_names[2].c_str();
    memoryview_t.tp_basicsize = sizeof(ViewObject);
    memoryview_t.tp_dealloc = memoryview_dealloc;
    memoryview_t.tp_repr = memoryview_repr;
    memoryview_t.tp_as_sequence = &memoryview_sequence;
    memoryview_t.tp_as_mapping = &memoryview_mapping;
    memoryview_t.tp_as_buffer = &memoryview_buffer;
    memoryview_t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    memoryview_t.tp_traverse = memoryview_traverse;
    memoryview_t.tp_clear = memoryview_clear;
    memoryview_t.tp_methods = view_methods;
    memoryview_t.tp_getset = memoryview_getset;
    memoryview_t.tp_new = memoryview_new;

    slice_t.tp_name = type_names[3].c_str();
    slice_t.tp_basicsize = sizeof(SliceObject);
    slice_t.tp_dealloc = slice_dealloc;
    slice_t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    slice_t.tp_traverse = slice_traverse;
    slice_t.tp_clear = memoryview_clear;
    slice_t.tp_methods = view_methods;
    slice_t.tp_base = &memoryview_t;
    slice_t.tp_new = nullptr; // made only by wrap

    array_t.tp_name = type_names[0].c_str();
    array_t.tp_basicsize = sizeof(ArrayObject);
    array_t.tp_dealloc = array_dealloc;
    array_t.tp_as_sequence = &array_sequence;
    array_t.tp_as_mapping = &array_mapping;
    array_t.tp_as_buffer = &array_buffer;
    array_t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    array_t.tp_methods = view_methods;
    array_t.tp_getset = array_getset;
    array_t.tp_new = array_new;

    enum_t.tp_name = type_names[1].c_str();
    enum_t.tp_basicsize = sizeof(EnumObject);
    enum_t.tp_dealloc = enum_dealloc;
    enum_t.tp_repr = enum_repr;
    enum_t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    enum_t.tp_traverse = enum_traverse;
    enum_t.tp_clear = enum_clear;
    enum_t.tp_methods = enum_methods;
    enum_t.tp_new = enum_new;
}

int set_vtable(PyTypeObject *type, void *vtable) {
    Ref capsule(PyCapsule_New(vtable, nullptr, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", capsule.get());
}

int ready(PyTypeObject *type) {
    if (type->tp_flags & Py_TPFLAGS_READY) return 0;
    return PyType_Ready(type);
}

} // namespace

// ------------------------------------------------------------------------
// Public operations

void acquire(Record &rec, bool have_gil, int site) {
    ViewObject *v = rec.memview;
    if (!holds_object(v)) return;
    int old = add_count(v, 1);
    if (old > 0) return;
    if (old < 0) fatal_count(old + 1, site);
    if (have_gil) {
        Py_INCREF(reinterpret_cast<PyObject *>(v));
    } else {
        PyGILState_STATE state = PyGILState_Ensure();
        Py_INCREF(reinterpret_cast<PyObject *>(v));
        PyGILState_Release(state);
    }
}

void release(Record &rec, int site) {
    ViewObject *v = rec.memview;
    if (!holds_object(v)) {
        rec.memview = nullptr;
        return;
    }
    int old = add_count(v, -1);
    rec.data = nullptr;
    rec.memview = nullptr;
    if (old > 1) return;
    if (old < 1) fatal_count(old - 1, site);
    Py_DECREF(reinterpret_cast<PyObject *>(v));
}

int bind(PyObject *obj, const TypeInfo &type, int ndim, const Axis *axes, Record *rec) {
    if (rec->memview != nullptr || rec->data != nullptr) {
        PyErr_SetString(PyExc_ValueError, "memviewslice is already initialized!");
        return -1;
    }
    if (obj == Py_None) {
        std::memset(rec, 0, sizeof *rec);
        rec->memview = reinterpret_cast<ViewObject *>(Py_None);
        return 0;
    }
    // Reuse one of our own view objects of the same element type; any other
    // object gets a fresh view object whose reference the record takes over.
    Ref view;
    bool fresh = true;
    if (is_view(obj) && reinterpret_cast<ViewObject *>(obj)->typeinfo == &type) {
        view = Ref::borrow(obj);
        fresh = false;
    } else {
        view.reset(
            reinterpret_cast<PyObject *>(new_view(&memoryview_t, obj, PyBUF_RECORDS, false)));
        if (!view) return -1;
        reinterpret_cast<ViewObject *>(view.get())->typeinfo = &type;
    }
    auto *v = reinterpret_cast<ViewObject *>(view.get());
    const Py_buffer &buf = v->view;
    Geometry g = geometry(v);

    if (buf.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, buf.ndim);
        return -1;
    }
    if (buf.itemsize != type.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(buf.itemsize), buf.itemsize == 1 ? "" : "s", type.name,
                     static_cast<size_t>(type.size), type.size == 1 ? "" : "s");
        return -1;
    }
    const FormatCode *fc = find_code(native_code(buf.format));
    if (fc == nullptr || fc->kind != type.kind || fc->size != type.size) {
        std::string got = fc ? std::string("'") + fc->name + "'"
                             : std::string("'") + (buf.format ? buf.format : "") + "'";
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     type.name, "'", got.c_str());
        return -1;
    }
    if (g.suboffsets != nullptr && g.strides == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
        return -1;
    }
    Py_ssize_t computed[8];
    Py_ssize_t stride = buf.itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
        computed[d] = g.strides ? g.strides[d] : stride;
        stride *= g.shape[d];
    }
    for (int d = 0; d < ndim; ++d) {
        if (g.suboffsets != nullptr && g.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", d);
            return -1;
        }
        if (g.shape[d] <= 1) continue; // any stride is contiguous for one element
        if (axes[d] == Axis::Contiguous && computed[d] != buf.itemsize) {
            PyErr_Format(PyExc_ValueError, "C-contiguous buffer is not contiguous in dimension %d",
                         d);
            return -1;
        }
        if (axes[d] == Axis::Follow && d + 1 < ndim &&
            computed[d] != computed[d + 1] * g.shape[d + 1]) {
            PyErr_SetString(PyExc_ValueError,
                            "Buffer and memoryview are not contiguous in the same dimension.");
            return -1;
        }
    }

    std::memset(rec, 0, sizeof *rec);
    rec->data = g.data;
    for (int d = 0; d < ndim; ++d) {
        rec->shape[d] = g.shape[d];
        rec->strides[d] = computed[d];
        rec->suboffsets[d] = g.suboffsets ? g.suboffsets[d] : -1;
    }
    rec->memview = v;
    if (fresh) {
        // The first acquisition takes over the new object's reference.
        add_count(v, 1);
        view.release();
    } else {
        acquire(*rec, true, __LINE__);
    }
    return 0;
}

PyObject *wrap(const Record &rec, int ndim, ToObject to_object, FromObject from_object) {
    PyObject *source = reinterpret_cast<PyObject *>(rec.memview);
    if (source == nullptr || source == Py_None) return Py_NewRef(Py_None);
    auto *s = reinterpret_cast<SliceObject *>(slice_t.tp_alloc(&slice_t, 0));
    if (s == nullptr) return nullptr;
    Ref self(reinterpret_cast<PyObject *>(s));
    s->base.vtab = &slice_vtable;
    // Format, item size and writability come through the buffer protocol,
    // which works for view objects of any module.
    if (PyObject_GetBuffer(source, &s->base.view, PyBUF_RECORDS_RO) < 0) {
        s->base.view.obj = nullptr;
        return nullptr;
    }
    s->ndim = ndim;
    s->base.lock = take_lock();
    if (s->base.lock == nullptr) return PyErr_NoMemory();
    s->from_slice = rec;
    acquire(s->from_slice, true, __LINE__);
    if (is_view(source)) {
        Ref base(vtable_of(source)->get_base(reinterpret_cast<ViewObject *>(source)));
        s->from_object = base.release();
    } else {
        s->from_object = Py_NewRef(source);
    }
    s->to_object_func = to_object;
    s->to_dtype_func = from_object;
    s->base.obj = Py_NewRef(Py_None);
    return self.release();
}

PyTypeObject *memoryview_type() { return &memoryview_t; }

int ready_types(const char *dotted) {
    static const char *const names[4] = {".array", ".Enum", ".memoryview", "._memoryviewslice"};
    for (int i = 0; i < 4; ++i) type_names[i] = std::string(dotted) + names[i];
    if (!(memoryview_t.tp_flags & Py_TPFLAGS_READY)) fill_types();
    if (ready(&array_t) < 0 || set_vtable(&array_t, &array_vtable) < 0) return -1;
    if (ready(&enum_t) < 0) return -1;
    if (ready(&memoryview_t) < 0 || set_vtable(&memoryview_t, &memoryview_vtable) < 0) return -1;
    if (ready(&slice_t) < 0 || set_vtable(&slice_t, &slice_vtable) < 0) return -1;
    return 0;
}

int setup(PyObject *module_dict) {
    // Registering the view types as sequences is a courtesy: failures are
    // swallowed.
    {
        ErrorStash keep;
        Ref sys(PyImport_ImportModule("sys"));
        Ref version = sys ? Ref(PyObject_GetAttrString(sys.get(), "version_info")) : Ref();
        Ref limit(Py_BuildValue("(ii)", 3, 3));
        int old =
            (version && limit) ? PyObject_RichCompareBool(version.get(), limit.get(), Py_LT) : -1;
        Ref abc =
            old < 0 ? Ref() : Ref(PyImport_ImportModule(old ? "collections" : "collections.abc"));
        if (abc) {
            Py_XSETREF(sequence_abc, PyObject_GetAttrString(abc.get(), "Sequence"));
        }
        if (sequence_abc != nullptr) {
            for (const char *name : {"count", "index"}) {
                Ref method(PyObject_GetAttrString(sequence_abc, name));
                if (method) {
                    PyDict_SetItemString(memoryview_t.tp_dict, name, method.get());
                    PyDict_SetItemString(slice_t.tp_dict, name, method.get());
                }
            }
            PyType_Modified(&memoryview_t);
            PyType_Modified(&slice_t);
            for (PyTypeObject *t : {&slice_t, &array_t}) {
                Ref done(PyObject_CallMethod(sequence_abc, "register", "O",
                                             reinterpret_cast<PyObject *>(t)));
            }
        }
        PyErr_Clear();
    }
    static const char *const kinds[5] = {"<strided and direct or indirect>", "<strided and direct>",
                                         "<strided and indirect>", "<contiguous and direct>",
                                         "<contiguous and indirect>"};
    for (int i = 0; i < 5; ++i) {
        PyObject *kind =
            PyObject_CallFunction(reinterpret_cast<PyObject *>(&enum_t), "s", kinds[i]);
        if (kind == nullptr) return -1;
        Py_XSETREF(view_kinds[i], kind);
    }
    if (pool_members[0] == nullptr) {
        for (int i = 0; i < kLockPoolSize; ++i) {
            PyThread_type_lock lock = PyThread_allocate_lock();
            if (lock == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            pool_members[i] = free_locks[free_count++] = lock;
        }
    }
    if (unpickle_enum == nullptr) {
        Ref module_name(PyUnicode_FromString("View.MemoryView"));
        if (!module_name) return -1;
        unpickle_enum = PyCFunction_NewEx(&unpickle_enum_def, nullptr, module_name.get());
        if (unpickle_enum == nullptr) return -1;
    }
    return PyDict_SetItemString(module_dict, "__pyx_unpickle_Enum", unpickle_enum);
}

} // namespace morvane::rt
