// Module start-up: one interpreter per process, a single module object,
// the import-time checks on Python and NumPy, the C-API table, and the
// traceback entries every error raised inside the module carries.
#include "module.hpp"

#include "memview.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace morvane::rt {
namespace {

// ------------------------------------------------------------------------
// Process-wide state (one copy per module)

int64_t main_interpreter_id = -1;
PyObject *module_object = nullptr;
PyObject *module_dict = nullptr;
PyObject *builtins_module = nullptr;
PyObject *runtime_support = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *empty_bytes = nullptr;
PyObject *empty_str = nullptr;
Names name_table{};
PyObject *ints[5] = {}; // 0, 1, 3, 4, 11
PyObject *cached_builtins[11] = {};
std::vector<PyObject *> constants; // tuples, the full slice, the code object
std::vector<PyObject *> extra_tuples;
PyObject *int_constant_tuple = nullptr;
PyObject *import_error_args = nullptr;
PyObject *imported_types[16] = {};
void **numpy_api = nullptr;

constexpr const char *kSupportModule = "_morvane_slidewin_runtime";
constexpr const char *kNumpyImportFunction = "numpy.import_array";
constexpr const char *kNumpyImportFile = "numpy/__init__.pxd";
constexpr int kNumpyImportLine = 1;

// Lines of the module's own statements that traceback entries name.
constexpr int kLineImports = 1;
constexpr int kLineNumpy = 6;
constexpr int kLineImportArray = 9;
constexpr int kLineRuntime = 1;
constexpr const char *kRuntimeFile = "<stringsource>";

std::string init_name() { return std::string("init ") + module_config.dotted; }

// ------------------------------------------------------------------------
// Traceback entries

bool cline_in_traceback() {
    if (runtime_support == nullptr) return false;
    ErrorStash keep;
    PyObject *dict = PyModule_GetDict(runtime_support);
    PyObject *flag = dict ? PyDict_GetItemString(dict, "cline_in_traceback") : nullptr;
    if (flag == nullptr) {
        if (dict) PyDict_SetItemString(dict, "cline_in_traceback", Py_False);
        PyErr_Clear();
        return false;
    }
    int on = PyObject_IsTrue(flag);
    PyErr_Clear();
    return on > 0;
}

// ------------------------------------------------------------------------
// Names and constants

int make_names() {
    struct Item {
        PyObject **slot;
        const char *text;
    } items[] = {
        {&name_table.np, "np"},
        {&name_table.zeros, "zeros"},
        {&name_table.empty, "empty"},
        {&name_table.hstack, "hstack"},
        {&name_table.vstack, "vstack"},
        {&name_table.dstack, "dstack"},
        {&name_table.diff, "diff"},
        {&name_table.axis, "axis"},
        {&name_table.dtype, "dtype"},
        {&name_table.intp, "intp"},
        {&name_table.uint8, "uint8"},
        {&name_table.view, "view"},
        {&name_table.not_equal, "not_equal"},
    };
    for (auto &item : items) {
        if (*item.slot != nullptr) continue;
        *item.slot = PyUnicode_InternFromString(item.text);
        if (*item.slot == nullptr) return -1;
    }
    const long values[5] = {0, 1, 3, 4, 11};
    for (int i = 0; i < 5; ++i) {
        if (ints[i] == nullptr && (ints[i] = PyLong_FromLong(values[i])) == nullptr) return -1;
    }
    return 0;
}

int cache_builtins() {
    for (int i = 0; i < 11; ++i) {
        const char *name = module_config.builtins[i];
        PyObject *value = PyObject_GetAttrString(builtins_module, name);
        if (value == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            }
            return -1;
        }
        Py_XSETREF(cached_builtins[i], value);
    }
    return 0;
}

int make_constants() {
    if (!constants.empty()) return 0;
    std::vector<PyObject *> made;
    auto keep = [&](PyObject *o) {
        if (o != nullptr) made.push_back(o);
        return o != nullptr;
    };
    bool ok =
        keep(Py_BuildValue("(s)", "sys")) && keep(Py_BuildValue("(s)", "collections.abc")) &&
        keep(Py_BuildValue("(s)", "collections")) &&
        keep(import_error_args = Py_BuildValue("(s)", "numpy._core.multiarray failed to import")) &&
        keep(Py_BuildValue("(OO)", ints[2], ints[2])) &&
        keep(PySlice_New(Py_None, Py_None, Py_None)) &&
        keep(reinterpret_cast<PyObject *>(PyCode_NewEmpty(kRuntimeFile, "__pyx_unpickle_Enum", 1)));
    for (int i = 0; ok && i < module_config.extra_message_count; ++i) {
        PyObject *t = Py_BuildValue("(s)", module_config.extra_messages[i]);
        ok = keep(t);
        if (ok) extra_tuples.push_back(t);
    }
    if (ok && module_config.extra_int_tuple != 0)
        ok = keep(int_constant_tuple = Py_BuildValue("(l)", module_config.extra_int_tuple));
    if (!ok) {
        for (PyObject *o : made) Py_DECREF(o);
        extra_tuples.clear();
        import_error_args = int_constant_tuple = nullptr;
        return -1;
    }
    constants = std::move(made);
    return 0;
}

// ------------------------------------------------------------------------
// C-API table

int export_function(const Export &e) {
    Ref table(PyObject_GetAttrString(module_object, "__pyx_capi__"));
    if (!table) {
        PyErr_Clear();
        table.reset(PyDict_New());
        if (!table) return -1;
        Py_INCREF(table.get()); // PyModule_AddObject steals one on success
        if (PyModule_AddObject(module_object, "__pyx_capi__", table.get()) < 0) {
            Py_DECREF(table.get());
            return -1;
        }
    }
    Ref capsule(PyCapsule_New(reinterpret_cast<void *>(e.address), e.signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), e.key, capsule.get());
}

// ------------------------------------------------------------------------
// Type imports with size checks

enum class SizeCheck { Warn, Ignore };

PyObject *import_checked_type(PyObject *module, const char *module_name, const char *class_name,
                              size_t expected, SizeCheck mode) {
    Ref result(PyObject_GetAttrString(module, class_name));
    if (!result) return nullptr;
    if (!PyType_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name,
                     class_name);
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(result.get());
    Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item != 0) {
        Py_ssize_t remainder = static_cast<Py_ssize_t>(expected % 8);
        Py_ssize_t floor = remainder == 0 ? 8 : remainder;
        if (item < floor) item = floor;
    }
    size_t actual = static_cast<size_t>(basic + item);
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     module_name, class_name, static_cast<Py_ssize_t>(expected),
                     static_cast<Py_ssize_t>(actual));
        return nullptr;
    }
    if (mode == SizeCheck::Warn && static_cast<size_t>(basic) > expected) {
        char warning[200];
        std::snprintf(warning, sizeof warning,
                      "%s.%s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, class_name, static_cast<Py_ssize_t>(expected), basic);
        if (PyErr_WarnEx(nullptr, warning, 0) < 0) return nullptr;
    }
    return result.release();
}

int import_types() {
    struct Row {
        const char *name;
        size_t size;
        SizeCheck mode;
    };
    // Sizes the module was built against; numpy's scalar types are plain
    // objects, the others carry their C structs.
    static const Row numpy_rows[15] = {
        {"dtype", 32, SizeCheck::Ignore},         {"flatiter", 2632, SizeCheck::Ignore},
        {"broadcast", 304, SizeCheck::Ignore},    {"ndarray", 16, SizeCheck::Ignore},
        {"generic", 16, SizeCheck::Warn},         {"number", 16, SizeCheck::Warn},
        {"integer", 16, SizeCheck::Warn},         {"signedinteger", 16, SizeCheck::Warn},
        {"unsignedinteger", 16, SizeCheck::Warn}, {"inexact", 16, SizeCheck::Warn},
        {"floating", 16, SizeCheck::Warn},        {"complexfloating", 16, SizeCheck::Warn},
        {"flexible", 16, SizeCheck::Warn},        {"character", 16, SizeCheck::Warn},
        {"ufunc", 216, SizeCheck::Ignore},
    };
    {
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins) return -1;
        PyObject *t = import_checked_type(builtins.get(), "builtins", "type",
                                          sizeof(PyHeapTypeObject), SizeCheck::Warn);
        if (t == nullptr) return -1;
        Py_XSETREF(imported_types[0], t);
    }
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (int i = 0; i < 15; ++i) {
        PyObject *t = import_checked_type(numpy.get(), "numpy", numpy_rows[i].name,
                                          numpy_rows[i].size, numpy_rows[i].mode);
        if (t == nullptr) return -1;
        Py_XSETREF(imported_types[i + 1], t);
    }
    return 0;
}

// ------------------------------------------------------------------------
// NumPy

PyObject *import_numpy() {
    Ref name(PyUnicode_FromString("numpy"));
    if (!name) return nullptr;
    PyObject *found = PyImport_GetModule(name.get());
    if (found != nullptr) {
        Ref module(found);
        Ref spec(PyObject_GetAttrString(module.get(), "__spec__"));
        if (!spec) {
            PyErr_Clear();
            return module.release();
        }
        Ref initializing(PyObject_GetAttrString(spec.get(), "_initializing"));
        int busy = initializing ? PyObject_IsTrue(initializing.get()) : 0;
        PyErr_Clear();
        if (busy <= 0) return module.release();
    } else {
        PyErr_Clear();
    }
    Ref locals(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name.get(), module_dict, locals.get(), nullptr, 0);
}

template <class R> R api_call(int index) { return reinterpret_cast<R (*)()>(numpy_api[index])(); }

int numpy_api_gate() {
    Ref core(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!core && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        core.reset(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!core) return -1;
    Ref capsule(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
    if (!capsule) return -1;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return -1;
    }
    void **api = static_cast<void **>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (api == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return -1;
    }
    numpy_api = api;
    constexpr unsigned kAbi = 0x2000000;
    constexpr unsigned kFeature = 0xe;
    unsigned abi = api_call<unsigned>(0);
    if (abi > kAbi) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kAbi, abi);
        return -1;
    }
    unsigned feature = api_call<unsigned>(211);
    if (feature <= 13) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.20) but the "
                     "running NumPy has C-API version 0x%x. Check the section C-API "
                     "incompatibility at the Troubleshooting ImportError section at "
                     "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
                     "#c-api-incompatibility for indications on how to solve this problem.",
                     kFeature, feature);
        return -1;
    }
    int endian = api_call<int>(210);
    if (endian == 0) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return -1;
    }
    if (endian != 1) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different "
                        "endianness at runtime");
        return -1;
    }
    return 0;
}

int import_array() {
    PyObject *handled_type, *handled_value, *handled_tb;
    PyErr_GetExcInfo(&handled_type, &handled_value, &handled_tb);
    int rc = numpy_api_gate();
    if (rc < 0) {
        add_traceback(kNumpyImportFunction, __LINE__, kNumpyImportLine, kNumpyImportFile);
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            if (tb != nullptr) PyException_SetTraceback(value, tb);
            PyErr_SetExcInfo(type, value, tb); // now the exception being handled
            Ref error(PyObject_Call(builtin("ImportError"), import_error_args, nullptr));
            if (error)
                PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
            add_traceback(kNumpyImportFunction, __LINE__, kNumpyImportLine, kNumpyImportFile);
        }
    }
    PyErr_SetExcInfo(handled_type, handled_value, handled_tb);
    return rc;
}

// ------------------------------------------------------------------------
// module_exec

// Where a failing step reports itself.
struct Failure {
    int c_line;
    int py_line;
    const char *file;
};

int exec_steps(PyObject *module, bool &names_ready, bool &added_to_sys_modules, Failure &at) {
    // 2. The module object and its dictionary.
    Py_XSETREF(module_object, Py_NewRef(module));
    PyObject *dict = PyModule_GetDict(module);
    if (dict == nullptr) return -1;
    Py_XSETREF(module_dict, Py_NewRef(dict));

    // 3., 4. builtins and the runtime's support module.
    builtins_module = PyImport_AddModule("builtins");
    if (builtins_module == nullptr) return -1;
    runtime_support = PyImport_AddModule(kSupportModule);
    if (runtime_support == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", builtins_module) < 0) return -1;

    // 5. Python version: a mismatch with the headers this module was
    // compiled against is only a warning.
    constexpr unsigned long kCompiledVersion = PY_VERSION_HEX & ~0xFFFFUL;
    unsigned long runtime_version = Py_Version & ~0xFFFFUL;
    if (runtime_version != kCompiledVersion) {
        char message[200];
        std::snprintf(
            message, sizeof message,
            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_config.dotted, "does not match",
            static_cast<int>((Py_Version >> 24) & 0xFF),
            static_cast<int>((Py_Version >> 16) & 0xFF));
        if (PyErr_WarnEx(nullptr, message, 1) < 0) return -1;
    }

    // 6., 7. Empty constants, the name table and integer constants.
    if (empty_tuple == nullptr && (empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (empty_bytes == nullptr && (empty_bytes = PyBytes_FromStringAndSize("", 0)) == nullptr)
        return -1;
    if (empty_str == nullptr && (empty_str = PyUnicode_FromStringAndSize("", 0)) == nullptr)
        return -1;
    if (make_names() < 0) return -1;
    names_ready = true;

    // 8. Register under the full dotted name.
    at = {__LINE__, kLineImports, module_config.source_file};
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *existing = PyDict_GetItemString(modules, module_config.dotted);
    if (existing == nullptr) {
        if (PyErr_Occurred()) return -1;
        if (PyDict_SetItemString(modules, module_config.dotted, module) < 0) return -1;
        added_to_sys_modules = true;
    }

    // 9., 10. Cached builtins and constants.
    at.c_line = __LINE__;
    if (cache_builtins() < 0) return -1;
    at.c_line = __LINE__;
    if (make_constants() < 0) return -1;

    // 11., 12. The C-API table.
    at.c_line = __LINE__;
    for (int i = 0; i < module_config.export_count; ++i)
        if (export_function(module_config.exports[i]) < 0) return -1;

    // 13. The view types.
    at.c_line = __LINE__;
    if (ready_types(module_config.dotted) < 0) return -1;

    // 14. Type imports with size checks (numpy is first imported here).
    at.c_line = __LINE__;
    if (import_types() < 0) return -1;

    // 15. The view runtime.
    at = {__LINE__, kLineRuntime, kRuntimeFile};
    if (setup(module_dict) < 0) return -1;

    // 16. np
    at = {__LINE__, kLineNumpy, module_config.source_file};
    {
        Ref numpy(import_numpy());
        if (!numpy) return -1;
        if (PyDict_SetItem(module_dict, name_table.np, numpy.get()) < 0) return -1;
    }

    // 17. NumPy's native API, as a compatibility gate.
    at = {__LINE__, kLineImportArray, module_config.source_file};
    if (import_array() < 0) return -1;

    // 18. __test__
    at = {__LINE__, kLineImports, module_config.source_file};
    Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(module_dict, "__test__", test.get()) < 0) return -1;
    return 0;
}

} // namespace

// ------------------------------------------------------------------------
// Public

const Names &names() { return name_table; }

PyObject *builtin(const char *name) {
    for (int i = 0; i < 11; ++i)
        if (std::strcmp(module_config.builtins[i], name) == 0) return cached_builtins[i];
    return nullptr;
}

PyObject *message_tuple(int index) { return extra_tuples.at(static_cast<size_t>(index)); }
PyObject *int_tuple() { return int_constant_tuple; }

PyObject *module_global(PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(module_dict, name);
    if (value != nullptr) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    value = PyObject_GetAttr(builtins_module, name);
    if (value != nullptr) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

PyObject *numpy_attr(PyObject *attr) {
    Ref np(module_global(name_table.np));
    if (!np) return nullptr;
    return PyObject_GetAttr(np.get(), attr);
}

void add_traceback(const char *function, int c_line, int py_line, const char *file) {
    if (module_dict == nullptr) return;
    PyCodeObject *code = nullptr;
    PyFrameObject *frame = nullptr;
    {
        ErrorStash keep;
        std::string name = function;
        if (c_line != 0 && cline_in_traceback()) {
            name += " (" + std::string(module_config.cpp_file) + ":" + std::to_string(c_line) + ")";
        }
        code = PyCode_NewEmpty(file, name.c_str(), py_line);
        if (code != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, module_dict, nullptr);
        PyErr_Clear();
    }
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter_id == -1) {
        main_interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    name.reset();
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    static const char *const copies[4][2] = {{"loader", "__loader__"},
                                             {"origin", "__file__"},
                                             {"parent", "__package__"},
                                             {"submodule_search_locations", "__path__"}};
    for (int i = 0; i < 4; ++i) {
        Ref value(PyObject_GetAttrString(spec, copies[i][0]));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (i == 3 && value.get() == Py_None) continue;
        if (PyDict_SetItemString(dict, copies[i][1], value.get()) < 0) return nullptr;
    }
    return module.release();
}

PyModuleDef *module_definition() {
    static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
    static PyModuleDef_Slot slots[] = {{Py_mod_create, reinterpret_cast<void *>(module_create)},
                                       {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
                                       {0, nullptr}};
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                                     module_config.name,
                                     nullptr,
                                     0,
                                     no_methods,
                                     slots,
                                     nullptr,
                                     nullptr,
                                     nullptr};
    return &definition;
}

int module_exec(PyObject *module) {
    if (module_object != nullptr) {
        if (module_object == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_config.name);
        return -1;
    }
    bool names_ready = false;
    bool added_to_sys_modules = false;
    Failure at{__LINE__, 0, nullptr};
    if (exec_steps(module, names_ready, added_to_sys_modules, at) == 0) return 0;

    if (module_dict != nullptr && names_ready && at.file != nullptr)
        add_traceback(init_name().c_str(), at.c_line, at.py_line, at.file);
    if (added_to_sys_modules) {
        // Nothing half-initialised may be found under the dotted name later.
        ErrorStash keep;
        PyObject *modules = PyImport_GetModuleDict();
        if (PyDict_GetItemString(modules, module_config.dotted) == module)
            PyDict_DelItemString(modules, module_config.dotted);
        PyErr_Clear();
    }
    Py_CLEAR(module_object);
    return -1;
}

} // namespace morvane::rt
