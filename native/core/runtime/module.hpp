// Module start-up, C-API export and traceback entries, shared by both
// extension modules. Each module links its own copy of this code and so has
// its own process-wide state; it describes itself through `module_config`.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace morvane::rt {

// One entry of the C-API table.
struct Export {
    const char *key;
    void (*address)();
    const char *signature;
};

template <class F> void (*entry(F *f))() { return reinterpret_cast<void (*)()>(f); }

struct ModuleConfig {
    const char *name;                  // last component of the dotted name
    const char *dotted;                // "morvane.filters.rank.<name>"
    const char *source_file;           // file named by traceback entries
    const char *cpp_file;              // shown when cline_in_traceback is on
    const char *builtins[11];          // cached in this order
    const char *const *extra_messages; // more constant 1-tuples of str
    int extra_message_count;
    long extra_int_tuple; // a constant 1-tuple of this int, when non-zero
    const Export *exports;
    int export_count;
};

// Each module defines this.
extern const ModuleConfig module_config;

// The two slots of the module definition.
PyObject *module_create(PyObject *spec, PyModuleDef *def);
int module_exec(PyObject *module);

// The module definition: named by the config, no docstring, no methods, no
// per-module state, and the two slots above.
PyModuleDef *module_definition();

// Appends a traceback entry (function, source file and line) to the pending
// exception. Skipped silently when it cannot be built.
void add_traceback(const char *function, int c_line, int py_line, const char *file);

// Interned names of the module's Python-level operations.
struct Names {
    PyObject *np, *zeros, *empty, *hstack, *vstack, *dstack, *diff, *axis, *dtype, *intp, *uint8,
        *view, *not_equal;
};
const Names &names();

// A module global looked up in the module dict, then in builtins; a missing
// name raises NameError. Returns a new reference.
PyObject *module_global(PyObject *name);

// An attribute of the module global `np`; new reference or null.
PyObject *numpy_attr(PyObject *attr);

// A builtin cached at import (borrowed), by name.
PyObject *builtin(const char *name);

// The constant 1-tuples made at import, in the order of the config's
// extra messages (borrowed).
PyObject *message_tuple(int index);
PyObject *int_tuple();

} // namespace morvane::rt
