// The engine's entry from Python, registered by the filters' module.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace morvane::engine {

PyObject *engine_filter(PyObject *, PyObject *args);
PyObject *keys(PyObject *, PyObject *args);
PyObject *dedupe(PyObject *, PyObject *args);
PyObject *sort_keys(PyObject *, PyObject *args);
PyObject *codes(PyObject *, PyObject *args);
PyObject *take(PyObject *, PyObject *args);

} // namespace morvane::engine
