// Strided view records and the view objects that own their memory.
//
// Every array crosses the C-API as a `__Pyx_memviewslice` record passed by
// value. A record that "holds" its view object counts in the object's
// acquisition count; the holders together own one strong reference. The
// layout of the view objects is shared by every module of the system (and by
// Cython 3 modules), so records made elsewhere can be acquired and released
// here and a client kernel may copy the histogram record we lend it.
#pragma once

#include "pyref.hpp"

#include <morvane/slidewin.h>

#include <cstring>

namespace morvane::rt {

using Record = __Pyx_memviewslice;
using ViewObject = __pyx_memoryview_obj;

// Element type of a typed view, as bind checks it against a buffer.
struct TypeInfo {
    const char *name; // as it appears in messages
    Py_ssize_t size;
    char kind; // 'U' unsigned integer, 'I' signed integer
};
extern const TypeInfo kUnsignedChar;
extern const TypeInfo kSsize;

// What bind requires of one dimension.
enum class Axis {
    Strided,    // any stride
    Contiguous, // stride == item size (the last dimension of a C-ordered view)
    Follow,     // stride == next stride * next extent (row-major, not last)
};

// Make `rec` (which must be unset) a live record over obj's buffer. Returns 0,
// or -1 with ValueError (or the exporter's exception) set and `rec` unset.
// None gives a None record.
int bind(PyObject *obj, const TypeInfo &type, int ndim, const Axis *axes, Record *rec);

// A new _memoryviewslice object exporting the record's memory with the
// element format of the record's view object; it holds one acquisition of
// the record for its lifetime. None for a None record; null on failure.
using ToObject = PyObject *(*)(const char *item);
using FromObject = int (*)(char *item, PyObject *value);
PyObject *wrap(const Record &rec, int ndim, ToObject to_object, FromObject from_object);

// Acquisition rules. `site` identifies the caller in the fatal message.
void acquire(Record &rec, bool have_gil, int site);
void release(Record &rec, int site);

// A record bound by this module, released when it goes out of scope (the
// interpreter lock must be held then).
class OwnedRecord {
public:
    OwnedRecord() { std::memset(&rec_, 0, sizeof rec_); }
    OwnedRecord(const OwnedRecord &) = delete;
    OwnedRecord &operator=(const OwnedRecord &) = delete;
    ~OwnedRecord() { release(rec_, __LINE__); }

    int bind(PyObject *obj, const TypeInfo &type, int ndim, const Axis *axes) {
        return rt::bind(obj, type, ndim, axes, &rec_);
    }
    const Record &get() const { return rec_; }
    template <class T> T *data() const { return reinterpret_cast<T *>(rec_.data); }

private:
    Record rec_;
};

// Start-up of the runtime: ready the four view types under `dotted`
// ("<module>.array" and so on) and put their operation tables in place.
int ready_types(const char *dotted);

// Sequence registration, the view-kind constants, the lock pool and
// `__pyx_unpickle_Enum` (stored in module_dict). Failures of the sequence
// registration are ignored; any other failure returns -1.
int setup(PyObject *module_dict);

// For tests of the runtime itself: the type objects.
PyTypeObject *memoryview_type();

} // namespace morvane::rt
