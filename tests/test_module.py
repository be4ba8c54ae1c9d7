"""Start-up of the two modules, their C-API tables, leaks, threads.

Every check is made on morvane.filters.rank.slidewin (2D) and
morvane.filters.rank.slidewin_3d (3D) alike, from a small table of what
differs between them (`Facts`); the checks of one module against the other
are in TestTwoModules.

Whatever touches process-wide import state (sub-interpreters, NumPy packages
that fail one of the import gates, failed imports and their retries) runs in
a child process, so this process keeps its one good copy of each module.  The
fake NumPy packages are generated into a temporary directory that comes first
on the child's path; they provide the type objects and the `_ARRAY_API`
capsule that the modules check at import, and nothing else.
"""

import builtins
import ctypes
import gc
import importlib
import json
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

# ---------------------------------------------------------------------------
# The C-API table: keys in registration order and their signature strings.
# ---------------------------------------------------------------------------

TOKEN = {
    "uint8": "__pyx_t_5numpy_uint8_t",
    "uint16": "__pyx_t_5numpy_uint16_t",
    "float32": "__pyx_t_5numpy_float32_t",
    "float64": "__pyx_t_5numpy_float64_t",
}
IN_TYPES = ("uint8", "uint16")                          # in_pixel_t index j
OUT_TYPES = ("uint8", "uint16", "float32", "float64")   # out_pixel_t index i


def minmax_signature(t):
    tok = TOKEN[t]
    return f"{tok} ({tok}, {tok})"


def core_signature(out_t, in_t, shifts=2):
    f64 = TOKEN["float64"]
    kernel = (f"void ({TOKEN[out_t]} *, Py_ssize_t, __Pyx_memviewslice, "
              f"{f64}, {TOKEN[in_t]}, Py_ssize_t, Py_ssize_t, {f64}, {f64}, "
              f"Py_ssize_t, Py_ssize_t)")
    views = ", ".join(["__Pyx_memviewslice"] * 4)
    shift_params = ", ".join(["signed char"] * shifts)
    return (f"void ({kernel}, {views}, {shift_params}, {f64}, {f64}, "
            f"Py_ssize_t, Py_ssize_t, Py_ssize_t)")


class Facts:
    """What differs between the two modules."""

    def __init__(self, short, driver, dims, builtins_order,
                 centre_checked_when_optimised):
        self.short = short                  # last name component, source file
        self.name = "morvane.filters.rank." + short
        self.init = "init " + self.name     # traceback entries of start-up
        self.driver = driver                # exported driver name
        self.dims = dims                    # image dimensions = shift count
        self.builtins_order = builtins_order
        self.centre_checked_when_optimised = centre_checked_when_optimised
        self.exports = (
            [(f"__pyx_fuse_{j}_max", minmax_signature(t))
             for j, t in enumerate(IN_TYPES)]
            + [(f"__pyx_fuse_{j}_min", minmax_signature(t))
               for j, t in enumerate(IN_TYPES)]
            + [(f"__pyx_fuse_{i}_{j}_{driver}", core_signature(o, t, dims))
               for i, o in enumerate(OUT_TYPES) for j, t in enumerate(IN_TYPES)])
        self.signature = dict(self.exports)
        self.capi_keys = [key for key, _ in self.exports]

    def __repr__(self):
        return self.short


SLIDEWIN = Facts(
    "slidewin", "core", 2,
    ("AssertionError", "range", "__import__", "ValueError", "MemoryError",
     "enumerate", "TypeError", "Ellipsis", "id", "IndexError", "ImportError"),
    centre_checked_when_optimised=False)
SLIDEWIN_3D = Facts(
    "slidewin_3d", "core_3D", 3,
    ("range", "ValueError", "__import__", "MemoryError", "enumerate",
     "TypeError", "AssertionError", "Ellipsis", "id", "IndexError",
     "ImportError"),
    centre_checked_when_optimised=True)
MODULES = (SLIDEWIN, SLIDEWIN_3D)
MODULE_IDS = [m.short for m in MODULES]


def other(facts):
    return SLIDEWIN_3D if facts is SLIDEWIN else SLIDEWIN


def load(facts):
    # No importorskip: a module that does not import must fail the suite.
    return importlib.import_module(facts.name)


# Private prototypes: setting restype/argtypes on ctypes.pythonapi's shared
# function objects would leak into every other user of them.
_api = ctypes.pythonapi
_capsule_get_name = ctypes.PYFUNCTYPE(
    ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", _api))
_capsule_get_pointer = ctypes.PYFUNCTYPE(
    ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(("PyCapsule_GetPointer", _api))
_capsule_get_context = ctypes.PYFUNCTYPE(
    ctypes.c_void_p, ctypes.py_object)(("PyCapsule_GetContext", _api))
_capsule_get_destructor = ctypes.PYFUNCTYPE(
    ctypes.c_void_p, ctypes.py_object)(("PyCapsule_GetDestructor", _api))


def capsule_name(capsule):
    raw = _capsule_get_name(capsule)
    return None if raw is None else raw.decode("ascii")


def capsule_pointer(capsule, name):
    return _capsule_get_pointer(capsule, None if name is None else name.encode("ascii"))


@pytest.fixture(scope="module", params=MODULES, ids=MODULE_IDS)
def facts(request):
    return request.param


@pytest.fixture(scope="module")
def module(facts):
    return load(facts)


def per_key(select=lambda key: True):
    """(facts, key) for the keys of both modules, for direct parametrisation."""
    return [pytest.param(m, key, id=f"{m.short}-{key}")
            for m in MODULES for key in m.capi_keys if select(key)]


# A few strings written out by hand, so the builder above cannot drift.
VERBATIM = [
    pytest.param(SLIDEWIN, "__pyx_fuse_2_1_core", (
        "void (void (__pyx_t_5numpy_float32_t *, Py_ssize_t, "
        "__Pyx_memviewslice, __pyx_t_5numpy_float64_t, "
        "__pyx_t_5numpy_uint16_t, Py_ssize_t, Py_ssize_t, "
        "__pyx_t_5numpy_float64_t, __pyx_t_5numpy_float64_t, Py_ssize_t, "
        "Py_ssize_t), __Pyx_memviewslice, __Pyx_memviewslice, "
        "__Pyx_memviewslice, __Pyx_memviewslice, signed char, signed char, "
        "__pyx_t_5numpy_float64_t, __pyx_t_5numpy_float64_t, Py_ssize_t, "
        "Py_ssize_t, Py_ssize_t)"), id="slidewin-core"),
    pytest.param(SLIDEWIN_3D, "__pyx_fuse_2_1_core_3D", (
        "void (void (__pyx_t_5numpy_float32_t *, Py_ssize_t, "
        "__Pyx_memviewslice, __pyx_t_5numpy_float64_t, "
        "__pyx_t_5numpy_uint16_t, Py_ssize_t, Py_ssize_t, "
        "__pyx_t_5numpy_float64_t, __pyx_t_5numpy_float64_t, Py_ssize_t, "
        "Py_ssize_t), __Pyx_memviewslice, __Pyx_memviewslice, "
        "__Pyx_memviewslice, __Pyx_memviewslice, signed char, signed char, "
        "signed char, __pyx_t_5numpy_float64_t, __pyx_t_5numpy_float64_t, "
        "Py_ssize_t, Py_ssize_t, Py_ssize_t)"), id="slidewin_3d-core_3D"),
] + [
    pytest.param(m, "__pyx_fuse_1_min", (
        "__pyx_t_5numpy_uint16_t (__pyx_t_5numpy_uint16_t, "
        "__pyx_t_5numpy_uint16_t)"), id=f"{m.short}-min")
    for m in MODULES
]

# Names under which a capsule must refuse to hand out its pointer.
WRONG_NAMES = [
    pytest.param(SLIDEWIN, key, wrong, id=f"slidewin-{name}")
    for key, wrong, name in [
        ("__pyx_fuse_0_0_core", core_signature("uint8", "uint8", shifts=3),
         "core-3d-params"),
        ("__pyx_fuse_0_0_core", core_signature("uint8", "uint16"),
         "core-other-input"),
        ("__pyx_fuse_0_0_core", core_signature("uint8", "uint8") + " ",
         "core-trailing-blank"),
        ("__pyx_fuse_3_1_core", core_signature("float32", "uint16"),
         "core-other-output"),
    ]
] + [
    pytest.param(SLIDEWIN_3D, key, wrong, id=f"slidewin_3d-{name}")
    for key, wrong, name in [
        ("__pyx_fuse_0_0_core_3D", core_signature("uint8", "uint8", shifts=2),
         "core-2d-params"),
        ("__pyx_fuse_0_0_core_3D", core_signature("uint8", "uint8", shifts=4),
         "core-4-shifts"),
        ("__pyx_fuse_0_0_core_3D", core_signature("uint8", "uint16", shifts=3),
         "core-other-input"),
        ("__pyx_fuse_0_0_core_3D", core_signature("uint8", "uint8", shifts=3) + " ",
         "core-trailing-blank"),
        ("__pyx_fuse_3_1_core_3D", core_signature("float32", "uint16", shifts=3),
         "core-other-output"),
    ]
] + [
    pytest.param(m, key, wrong, id=f"{m.short}-{name}")
    for m in MODULES
    for key, wrong, name in [
        ("__pyx_fuse_0_max", minmax_signature("uint16"), "max-other-width"),
        ("__pyx_fuse_1_min", minmax_signature("uint8"), "min-other-width"),
        ("__pyx_fuse_1_max", None, "max-unnamed"),
    ]
]

MINMAX_CALLS = [
    ("__pyx_fuse_0_max", ctypes.c_uint8, 0, 255, 255),
    ("__pyx_fuse_0_max", ctypes.c_uint8, 200, 7, 200),
    ("__pyx_fuse_0_max", ctypes.c_uint8, 9, 9, 9),
    ("__pyx_fuse_0_min", ctypes.c_uint8, 0, 255, 0),
    ("__pyx_fuse_0_min", ctypes.c_uint8, 200, 7, 7),
    ("__pyx_fuse_1_max", ctypes.c_uint16, 256, 255, 256),
    ("__pyx_fuse_1_max", ctypes.c_uint16, 0, 65535, 65535),
    ("__pyx_fuse_1_min", ctypes.c_uint16, 65535, 0, 0),
    ("__pyx_fuse_1_min", ctypes.c_uint16, 300, 40000, 300),
    ("__pyx_fuse_1_min", ctypes.c_uint16, 513, 513, 513),
]
MINMAX_KEYS = ("__pyx_fuse_0_max", "__pyx_fuse_1_max", "__pyx_fuse_0_min",
               "__pyx_fuse_1_min")


def minmax_function(mod, facts, key):
    ctype = ctypes.c_uint8 if key[11] == "0" else ctypes.c_uint16
    address = capsule_pointer(mod.__pyx_capi__[key], facts.signature[key])
    return ctypes.CFUNCTYPE(ctype, ctype, ctype)(address)


class TestCapiTable:
    def test_keys_in_registration_order(self, facts, module):
        capi = module.__pyx_capi__
        assert type(capi) is dict
        assert list(capi) == facts.capi_keys

    @pytest.mark.parametrize("facts, key", per_key())
    def test_capsule_named_by_signature(self, facts, key):
        capsule = load(facts).__pyx_capi__[key]
        assert type(capsule).__name__ == "PyCapsule"
        assert capsule_name(capsule) == facts.signature[key]
        assert capsule_pointer(capsule, facts.signature[key])
        # A bare entry point: clients keep only the address.
        assert _capsule_get_context(capsule) is None
        assert _capsule_get_destructor(capsule) is None

    @pytest.mark.parametrize("facts, key, text", VERBATIM)
    def test_signature_strings_verbatim(self, facts, key, text):
        assert capsule_name(load(facts).__pyx_capi__[key]) == text

    @pytest.mark.parametrize("facts, key, wrong", WRONG_NAMES)
    def test_pointer_refused_under_other_name(self, facts, key, wrong):
        with pytest.raises(ValueError, match="incorrect name"):
            capsule_pointer(load(facts).__pyx_capi__[key], wrong)

    @pytest.mark.parametrize("key, ctype, a, b, expected", MINMAX_CALLS)
    def test_minmax_entry_points(self, facts, module, key, ctype, a, b,
                                 expected):
        # Calling through the capsule checks that each key holds the helper
        # it names, at the width it names, compared unsigned.
        address = capsule_pointer(module.__pyx_capi__[key], facts.signature[key])
        fn = ctypes.CFUNCTYPE(ctype, ctype, ctype)(address)
        assert fn(a, b) == expected

    def test_max_and_min_are_distinct_functions(self, facts, module):
        capi = module.__pyx_capi__
        addresses = {key: capsule_pointer(capi[key], facts.signature[key])
                     for key in MINMAX_KEYS}
        assert len(set(addresses.values())) == 4


# ---------------------------------------------------------------------------
# The imported module
# ---------------------------------------------------------------------------

# What module creation and the import system put on any module of this kind.
IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__",
                            "__spec__", "__file__"}


def runtime_types(facts):
    """The view runtime's types whose module is the given one, by name."""
    found = {}
    seen = set()
    stack = [object]
    while stack:
        cls = stack.pop()
        for sub in type.__subclasses__(cls):
            if id(sub) in seen:
                continue
            seen.add(id(sub))
            stack.append(sub)
            if sub.__module__ == facts.name:
                found[sub.__name__] = sub
    return found


class TestModuleObject:
    def test_attributes(self, module):
        own = set(vars(module)) - IMPORT_SYSTEM_ATTRIBUTES
        assert own == {"__builtins__", "__pyx_capi__", "__pyx_unpickle_Enum",
                       "np", "__test__"}
        assert module.np is sys.modules["numpy"]
        assert module.__builtins__ is builtins
        assert type(module.__test__) is dict and module.__test__ == {}
        assert module.__doc__ is None

    def test_unpickle_enum_belongs_to_view_runtime(self, module):
        fn = getattr(module, "__pyx_unpickle_Enum")
        assert callable(fn)
        assert fn.__module__ == "View.MemoryView"

    def test_identity_from_importer(self, facts, module):
        found = module.__spec__
        assert module.__name__ == found.name == facts.name
        assert module.__file__ == found.origin
        assert module.__package__ == "morvane.filters.rank"
        # An extension module is not a package.
        assert not hasattr(module, "__path__")
        assert sys.modules[facts.name] is module

    def test_view_runtime_types(self, facts, module):
        found = runtime_types(facts)
        assert set(found) == {"array", "Enum", "memoryview", "_memoryviewslice"}
        assert issubclass(found["_memoryviewslice"], found["memoryview"])
        for name, cls in found.items():
            assert not hasattr(module, name)
            assert cls.__qualname__ == name
        vtables = {}
        for name in ("array", "memoryview", "_memoryviewslice"):
            vtable = found[name].__dict__["__pyx_vtable__"]
            assert type(vtable).__name__ == "PyCapsule"
            assert capsule_name(vtable) is None
            vtables[name] = capsule_pointer(vtable, None)
            assert vtables[name]
        assert "__pyx_vtable__" not in found["Enum"].__dict__
        # _memoryviewslice extends the memoryview table: a table of its own.
        assert vtables["_memoryviewslice"] != vtables["memoryview"]

    def test_reimport_after_removal_returns_same_module(self, facts, module):
        capi = module.__pyx_capi__
        capsules = list(capi.values())
        test_dict = module.__test__
        del sys.modules[facts.name]
        try:
            again = importlib.import_module(facts.name)
        finally:
            if sys.modules.get(facts.name) is not module:
                sys.modules[facts.name] = module
        assert again is module
        # Nothing ran a second time: the table and __test__ are the first ones.
        assert again.__pyx_capi__ is capi
        assert all(a is b for a, b in zip(capi.values(), capsules))
        assert again.__test__ is test_dict

    def test_reload_changes_nothing(self, facts, module):
        capi = module.__pyx_capi__
        test_dict = module.__test__
        assert importlib.reload(module) is module
        assert module.__pyx_capi__ is capi
        assert module.__test__ is test_dict
        assert list(capi) == facts.capi_keys


class TestTwoModules:
    """Each module carries its own copy of everything it shares with the
    other one; neither finds the other's driver."""

    def test_drivers_not_shared(self):
        capi_2d = load(SLIDEWIN).__pyx_capi__
        capi_3d = load(SLIDEWIN_3D).__pyx_capi__
        assert "__pyx_fuse_0_0_core" not in capi_3d
        assert "__pyx_fuse_0_0_core_3D" not in capi_2d
        assert not {k for k in capi_2d if k.endswith("_core")} & set(capi_3d)
        assert not {k for k in capi_3d if k.endswith("_core_3D")} & set(capi_2d)

    @pytest.mark.parametrize("key", MINMAX_KEYS)
    def test_helpers_same_name_own_address_same_results(self, key):
        mod_2d, mod_3d = load(SLIDEWIN), load(SLIDEWIN_3D)
        capsule_2d = mod_2d.__pyx_capi__[key]
        capsule_3d = mod_3d.__pyx_capi__[key]
        assert capsule_name(capsule_2d) == capsule_name(capsule_3d)
        assert (capsule_pointer(capsule_2d, SLIDEWIN.signature[key])
                != capsule_pointer(capsule_3d, SLIDEWIN_3D.signature[key]))
        fn_2d = minmax_function(mod_2d, SLIDEWIN, key)
        fn_3d = minmax_function(mod_3d, SLIDEWIN_3D, key)
        values = {0, 1, 2, 127, 128, 254, 255}
        if key[11] == "1":
            values |= {256, 257, 32767, 32768, 65534, 65535}
        pick = max if key.endswith("max") else min
        for a in values:
            for b in values:
                assert fn_2d(a, b) == fn_3d(a, b) == pick(a, b), (a, b)

    def test_runtime_types_of_their_own(self):
        types_2d, types_3d = runtime_types(SLIDEWIN), runtime_types(SLIDEWIN_3D)
        assert set(types_2d) == set(types_3d)
        for name, cls in types_3d.items():
            assert f"{cls.__module__}.{cls.__name__}" == \
                f"morvane.filters.rank.slidewin_3d.{name}"
            assert cls is not types_2d[name]
            assert not issubclass(cls, types_2d[name])
            assert not issubclass(types_2d[name], cls)


# ---------------------------------------------------------------------------
# Child processes
# ---------------------------------------------------------------------------

# Helper module for the child processes.  An import attempt is summarised as
# plain data; the module's own traceback entries are those in its source
# files, plus the entries of NumPy's import procedure that it adds.  run_child
# puts NAME and SOURCE (the module under test), MODULES (source file by
# module name) and SUB_IMPORT around it.
PROBE = r'''
import importlib
import json
import sys
import traceback
import warnings

OWN_FILES = tuple(MODULES.values()) + ("<stringsource>",)
LAST = {}

# Sub-interpreters that share the main interpreter's lock and allocator, as
# legacy extension modules (NumPy, and these) need; each Python version has
# its own private module for them.
try:
    import _interpreters as _subinterpreters  # 3.13 and later

    def new_interpreter():
        return _subinterpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as _subinterpreters

    def new_interpreter():
        try:
            return _subinterpreters.create(isolated=False)  # 3.12
        except TypeError:
            return _sub_probe.new_interpreter()  # 3.11: shared by default

run_string = _subinterpreters.run_string
destroy_interpreter = _subinterpreters.destroy


def own_entries(tb):
    return [[f.name, f.filename, f.lineno]
            for f in traceback.extract_tb(tb)
            if f.filename in OWN_FILES or f.name == "numpy.import_array"]


def module_globals(tb):
    # The module's traceback entries run in the namespace of the module
    # object being initialised, even when that object is then discarded.
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == SOURCE:
            return tb.tb_frame.f_globals
        tb = tb.tb_next
    return None


def np_tag(np_module):
    return getattr(np_module, "_FAKE", "real")


def describe(exc):
    rec = {
        "type": type(exc).__name__,
        "is_exception": isinstance(exc, Exception),
        "message": str(exc),
        "own": own_entries(exc.__traceback__),
        "context": None,
        "globals": None,
    }
    g = module_globals(exc.__traceback__)
    LAST["globals"] = g
    if g is not None:
        rec["globals"] = {
            "name": g.get("__name__"),
            "capi": list(g["__pyx_capi__"]) if "__pyx_capi__" in g else None,
            "np": np_tag(g["np"]) if "np" in g else None,
            "has_test": "__test__" in g,
        }
    ctx = exc.__context__
    if ctx is not None:
        rec["context"] = {"type": type(ctx).__name__, "message": str(ctx),
                          "own": own_entries(ctx.__traceback__)}
    return rec


def attempt(action="always", name=None):
    """Import a module (by default the one under test) once; action is the
    warnings filter to run under (None keeps the interpreter's own filters)."""
    name = NAME if name is None else name
    rec = {}
    LAST.clear()
    with warnings.catch_warnings(record=True) as caught:
        if action is not None:
            warnings.simplefilter(action)
        try:
            mod = importlib.import_module(name)
        except BaseException as exc:
            rec["error"] = describe(exc)
        else:
            LAST["module"] = mod
            rec["error"] = None
            rec["capi"] = list(mod.__pyx_capi__)
            rec["np"] = np_tag(mod.np)
            rec["np_is_sys_numpy"] = mod.np is sys.modules.get("numpy")
            rec["test_is_empty_dict"] = type(mod.__test__) is dict and not mod.__test__
    rec["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
    rec["in_sys_modules"] = name in sys.modules
    return rec


def finish(result):
    with open(sys.argv[1], "w") as f:
        json.dump(result, f)


def sub_import(path, name=None, block_numpy=False):
    """Script for a sub-interpreter: import a module (by default the one
    under test), with NumPy made unimportable there if asked, and write
    what happened to path."""
    name = NAME if name is None else name
    prelude = 'sys.modules["numpy"] = None' if block_numpy else ""
    return SUB_IMPORT.format(name=name, source=MODULES[name], path=path,
                             prelude=prelude)
'''

NUMPY_INIT = r'''
import sys as _sys

_CONFIG = {config!r}
_FAKE = _CONFIG["tag"]
_HEADER = type("_header", (), {{"__slots__": ()}}).__basicsize__


def _sized(name, size):
    # One pointer-sized slot per 8 bytes beyond the object header.
    extra = size - _HEADER
    assert extra >= 0 and extra % 8 == 0, (name, size)
    slots = tuple("f%d" % i for i in range(extra // 8))
    return type(name, (), {{"__slots__": slots, "__module__": "numpy"}})


def _make(name, how):
    kind = how[0]
    if kind == "size":
        return _sized(name, how[1])
    if kind == "int":
        # Variable-sized instances: a non-zero item size.
        return type(name, (int,), {{"__slots__": (), "__module__": "numpy"}})
    if kind == "value":
        return how[1]
    raise AssertionError(how)


_LAZY = {{}}
for _name, _how in _CONFIG["types"].items():
    if _how[0] == "absent":
        continue
    if _how[0] == "vanishing":
        _LAZY[_name] = _how[1]
        continue
    globals()[_name] = _make(_name, _how)


class _Refuse:
    @staticmethod
    def find_spec(fullname, path=None, target=None):
        if fullname == "numpy":
            raise ImportError("numpy can no longer be imported")
        return None


def __getattr__(name):
    # A type that is looked up takes NumPy out of sys.modules and makes any
    # later import of it fail.
    if name in _LAZY:
        del _sys.modules[__name__]
        _sys.meta_path.insert(0, _Refuse)
        return _sized(name, _LAZY[name])
    raise AttributeError("module 'numpy' has no attribute %r" % name)
'''

UMATH = r'''
import ctypes as _ctypes

_CONFIG = {config!r}


class Halt(BaseException):
    pass


if _CONFIG.get("raise"):
    _kind, _message = _CONFIG["raise"]
    raise {{"ImportError": ImportError, "RuntimeError": RuntimeError,
            "Halt": Halt}}[_kind](_message)

# Read at call time, so a child can repair a gate and import again.
ABI_VERSION = _CONFIG.get("abi", 0x2000000)
FEATURE_VERSION = _CONFIG.get("feature", 0x14)
ENDIANNESS = _CONFIG.get("endian", 1)

_uint_fn = _ctypes.CFUNCTYPE(_ctypes.c_uint)
_int_fn = _ctypes.CFUNCTYPE(_ctypes.c_int)
_entries = {{
    0: _uint_fn(lambda: ABI_VERSION),        # PyArray_GetNDArrayCVersion
    210: _int_fn(lambda: ENDIANNESS),        # PyArray_GetEndianness
    211: _uint_fn(lambda: FEATURE_VERSION),  # PyArray_GetNDArrayCFeatureVersion
}}
# Every other entry is null: the import gate must call only these three.
_table = (_ctypes.c_void_p * 212)()
for _index, _fn in _entries.items():
    _table[_index] = _ctypes.cast(_fn, _ctypes.c_void_p).value

_capsule_new = _ctypes.PYFUNCTYPE(
    _ctypes.py_object, _ctypes.c_void_p, _ctypes.c_char_p, _ctypes.c_void_p
)(("PyCapsule_New", _ctypes.pythonapi))

if _CONFIG.get("native"):
    # Functions of the interpreter itself instead of Python callbacks, which
    # cannot be called in a sub-interpreter: Py_IsInitialized returns 1 (an
    # old ABI, little endian), Py_GetRecursionLimit 1000 (a new feature
    # version).
    def _native(name):
        return _ctypes.cast(getattr(_ctypes.pythonapi, name), _ctypes.c_void_p).value
    _table[0] = _table[210] = _native("Py_IsInitialized")
    _table[211] = _native("Py_GetRecursionLimit")

_api = _CONFIG.get("api", "capsule")
if _api == "capsule":
    _ARRAY_API = _capsule_new(_ctypes.addressof(_table), None, None)
elif _api == "value":
    _ARRAY_API = _ctypes.addressof(_table)
'''

# (name, expected size, mode) of the NumPy types the module checks, in order.
NUMPY_TYPES = (
    ("dtype", 32, "ignore"), ("flatiter", 2632, "ignore"),
    ("broadcast", 304, "ignore"), ("ndarray", 16, "ignore"),
    ("generic", 16, "warn"), ("number", 16, "warn"), ("integer", 16, "warn"),
    ("signedinteger", 16, "warn"), ("unsignedinteger", 16, "warn"),
    ("inexact", 16, "warn"), ("floating", 16, "warn"),
    ("complexfloating", 16, "warn"), ("flexible", 16, "warn"),
    ("character", 16, "warn"), ("ufunc", 216, "ignore"),
)


def write_fake_numpy(root, *, types=None, umath=None, tag="fake"):
    """Write a package `numpy` into root.

    types: overrides per type name, each ("size", n), ("int",), ("value", v),
    ("absent",) or ("vanishing", n); the others have exactly the expected size.
    umath: {subpackage: config} for numpy.<subpackage>._multiarray_umath;
    default a good `_core` only.
    """
    config_types = {name: ("size", size) for name, size, _ in NUMPY_TYPES}
    config_types.update(types or {})
    pkg = root / "numpy"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text(
        NUMPY_INIT.format(config={"tag": tag, "types": config_types}))
    for sub, cfg in (umath if umath is not None else {"_core": {}}).items():
        (pkg / sub).mkdir()
        (pkg / sub / "__init__.py").write_text("")
        (pkg / sub / "_multiarray_umath.py").write_text(UMATH.format(config=cfg))
    return root


def run_child(tmp_path, facts, body, *, fake=None, flags=()):
    """Run body as a script in a fresh interpreter, with the module of facts
    as _probe's module under test, and return what it passed to
    _probe.finish.  With fake (keyword arguments of write_fake_numpy) the
    generated NumPy comes first on the path."""
    header = (f"NAME = {facts.name!r}\nSOURCE = {facts.short!r}\n"
              f"MODULES = {({m.name: m.short for m in MODULES})!r}\n"
              f"SUB_IMPORT = {SUB_IMPORT!r}\n")
    (tmp_path / "_probe.py").write_text(header + PROBE)
    script = tmp_path / "child.py"
    script.write_text(textwrap.dedent(body))
    result = tmp_path / "result.json"
    env = dict(os.environ)
    path = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if fake is not None:
        path.insert(0, str(write_fake_numpy(tmp_path / "site", **fake)))
    env["PYTHONPATH"] = os.pathsep.join(path)
    proc = subprocess.run([sys.executable, *flags, str(script), str(result)],
                          cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0 and result.exists(), (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout}"
        f"\n--- stderr\n{proc.stderr}")
    return json.loads(result.read_text())


ONE_ATTEMPT = """
    import _probe
    _probe.finish(_probe.attempt())
"""


def size_message(name, expected, got):
    return (f"numpy.{name} size changed, may indicate binary incompatibility. "
            f"Expected {expected} from C header, got {got} from PyObject")


def assert_failed_at(rec, facts, line, exc_type, message=None):
    """The import failed with exc_type, the module's only traceback entry is
    its init at line, and the module is gone from sys.modules."""
    err = rec["error"]
    assert err is not None, rec
    assert err["type"] == exc_type, err
    if message is not None:
        assert err["message"] == message
    assert err["own"] == [[facts.init, facts.short, line]], err["own"]
    assert not rec["in_sys_modules"]


class TestImportInFreshProcess:
    def test_import_issues_no_warning(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import sys
            import _probe
            before = "numpy" in sys.modules
            rec = _probe.attempt(action=None)
            rec["numpy_before"] = before
            rec["loaded"] = sorted(n for n in sys.modules
                                   if n.startswith("morvane.filters.rank."))
            _probe.finish(rec)
        """, flags=("-W", "error"))
        assert rec["error"] is None, rec["error"]
        assert rec["warnings"] == []
        assert rec["capi"] == facts.capi_keys
        # The module imported NumPy itself and bound it as np.
        assert rec["numpy_before"] is False
        assert rec["np"] == "real" and rec["np_is_sys_numpy"]
        assert rec["test_is_empty_dict"]
        # Neither module loads the other.
        assert rec["loaded"] == [facts.name]

    def test_missing_builtin_then_retry(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import builtins
            import _probe
            saved = builtins.Ellipsis
            del builtins.Ellipsis
            failed = _probe.attempt()
            builtins.Ellipsis = saved
            _probe.finish({"failed": failed, "retried": _probe.attempt()})
        """)
        assert_failed_at(rec["failed"], facts, 1, "NameError",
                         "name 'Ellipsis' is not defined")
        # Builtins are cached before anything is exported.
        assert rec["failed"]["error"]["globals"]["capi"] is None
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        assert retried["capi"] == facts.capi_keys

    def test_builtins_looked_up_in_order(self, tmp_path, facts):
        # Each builtin alone, then each pair of neighbours in the expected
        # order: with both missing, the earlier one is named.  Only the
        # import itself runs while builtins are missing.
        order = list(facts.builtins_order)
        rec = run_child(tmp_path, facts, f"""
            import builtins
            import importlib
            import sys
            import _probe
            order = {order!r}
            saved = {{n: getattr(builtins, n) for n in order}}
            cases = [[n] for n in order] + [list(p) for p in zip(order, order[1:])]
            results = []
            for missing in cases:
                for n in missing:
                    delattr(builtins, n)
                try:
                    importlib.import_module(_probe.NAME)
                except BaseException as exc:
                    caught = exc
                else:
                    caught = None
                finally:
                    for n in missing:
                        setattr(builtins, n, saved[n])
                results.append({{
                    "missing": missing,
                    "error": None if caught is None else _probe.describe(caught),
                    "in_sys_modules": _probe.NAME in sys.modules}})
            _probe.finish(results)
        """)
        expected = order + order[:-1]
        assert [r["missing"][0] for r in rec] == expected
        named = []
        for r in rec:
            assert_failed_at(r, facts, 1, "NameError")
            assert r["error"]["globals"]["capi"] is None
            named.append(r["error"]["message"])
        assert named == [f"name '{n}' is not defined" for n in expected]

    def test_import_under_another_name(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import importlib
            import importlib.util
            import sys
            import _probe
            origin = importlib.util.find_spec(_probe.NAME).origin
            # The init function is found by the last name component.
            alias_name = "elsewhere." + _probe.SOURCE
            found = importlib.util.spec_from_file_location(alias_name, origin)
            alias = importlib.util.module_from_spec(found)
            found.loader.exec_module(alias)
            dotted = importlib.import_module(_probe.NAME)
            _probe.finish({
                "alias_name": alias.__name__,
                "registered": sys.modules.get(_probe.NAME) is alias,
                "same": dotted is alias,
                "capi": list(alias.__pyx_capi__),
            })
        """)
        # Named as the importer asked, and registered under its
        # full dotted name as well, so the ordinary import finds it.
        assert rec == {"alias_name": "elsewhere." + facts.short,
                       "registered": True, "same": True,
                       "capi": facts.capi_keys}

    def test_failed_import_under_another_name_leaves_no_dotted_entry(self, tmp_path, facts):
        # The module registers its dotted name itself when imported under
        # another; a failure must take that entry away again, and a later
        # ordinary import starts afresh.
        rec = run_child(tmp_path, facts, """
            import importlib
            import importlib.util
            import sys
            import _probe
            origin = importlib.util.find_spec(_probe.NAME).origin
            found = importlib.util.spec_from_file_location(
                "elsewhere." + _probe.SOURCE, origin)
            alias = importlib.util.module_from_spec(found)
            saved = sys.modules.pop("numpy", None)
            sys.modules["numpy"] = None          # the type imports fail
            try:
                found.loader.exec_module(alias)
                error = None
            except ImportError as exc:
                error = type(exc).__name__
            del sys.modules["numpy"]
            if saved is not None:
                sys.modules["numpy"] = saved
            left = _probe.NAME in sys.modules
            again = importlib.import_module(_probe.NAME)
            _probe.finish({"error": error, "left": left,
                           "fresh": again is not alias,
                           "capi": list(again.__pyx_capi__)})
        """)
        assert rec == {"error": "ModuleNotFoundError", "left": False, "fresh": True,
                       "capi": facts.capi_keys}

    def test_second_module_object_refused(self, tmp_path, facts):
        # The exec slot run again, on the module itself and on another module
        # object, through the module definition.
        rec = run_child(tmp_path, facts, """
            import ctypes
            import importlib
            import types
            import _probe
            api = ctypes.pythonapi
            get_def = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)(
                ("PyModule_GetDef", api))
            exec_def = ctypes.PYFUNCTYPE(
                ctypes.c_int, ctypes.py_object, ctypes.c_void_p)(
                ("PyModule_ExecDef", api))
            mod = importlib.import_module(_probe.NAME)
            capi = mod.__pyx_capi__
            definition = get_def(mod)
            same = exec_def(mod, definition)
            stranger = types.ModuleType(_probe.NAME)
            untouched = sorted(vars(stranger))
            try:
                exec_def(stranger, definition)
            except BaseException as exc:
                error = _probe.describe(exc)
            else:
                error = None
            again = importlib.import_module(_probe.NAME)
            _probe.finish({
                "same": same, "error": error,
                "stranger": sorted(vars(stranger)) == untouched,
                "kept": again is mod and again.__pyx_capi__ is capi,
                "capi": list(capi),
            })
        """)
        assert rec["same"] == 0
        err = rec["error"]
        assert err is not None
        assert err["type"] == "RuntimeError"
        assert err["message"] == (
            f"Module '{facts.short}' has already been imported. "
            "Re-initialisation is not supported.")
        assert err["own"] == []
        # Refused before anything was set on the other object or changed.
        assert rec["stranger"] and rec["kept"]
        assert rec["capi"] == facts.capi_keys


SUB_IMPORT = '''
import importlib, json, sys, traceback
NAME = {name!r}
{prelude}
try:
    mod = importlib.import_module(NAME)
except BaseException as exc:
    rec = {{"type": type(exc).__name__, "message": str(exc),
           "own": [f.name for f in traceback.extract_tb(exc.__traceback__)
                   if f.filename == {source!r}],
           "in_sys_modules": NAME in sys.modules}}
else:
    rec = {{"type": None, "capi": list(mod.__pyx_capi__),
           "np_is_sys_numpy": mod.np is sys.modules["numpy"]}}
with open({path!r}, "w") as f:
    json.dump(rec, f)
'''

INTERPRETER_MESSAGE = ("Interpreter change detected - this module can only be "
                       "loaded into one interpreter per process.")
REFUSED = {"type": "ImportError", "message": INTERPRETER_MESSAGE, "own": [],
           "in_sys_modules": False}


class TestOneInterpreterPerProcess:
    def test_subinterpreter_refused_after_main(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import json, sys
            import _probe
            main = _probe.attempt()
            module = _probe.LAST.get("module")
            subs = []
            for n in range(2):
                path = f"sub{n}.json"
                interp = _probe.new_interpreter()
                _probe.run_string(interp, _probe.sub_import(path))
                _probe.destroy_interpreter(interp)
                with open(path) as f:
                    subs.append(json.load(f))
            again = _probe.attempt()
            _probe.finish({"main": main, "subs": subs, "again": again,
                           "same": _probe.LAST.get("module") is module})
        """)
        assert rec["main"]["error"] is None
        assert rec["subs"] == [REFUSED, REFUSED]
        # The owning interpreter is unaffected.
        assert rec["again"]["error"] is None and rec["same"]

    def test_first_subinterpreter_owns_the_module(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import json, sys
            import _probe
            subs = []
            interps = [_probe.new_interpreter() for _ in range(2)]
            for n, interp in enumerate(interps):
                path = f"sub{n}.json"
                _probe.run_string(interp, _probe.sub_import(path))
                with open(path) as f:
                    subs.append(json.load(f))
            for interp in reversed(interps):
                _probe.destroy_interpreter(interp)
            # The owner is gone, the refusal stays.
            main = _probe.attempt()
            _probe.finish({"subs": subs, "main": main})
        """)
        first, second = rec["subs"]
        # NumPy itself imports into the first sub-interpreter (with a warning
        # of its own), so the whole import succeeds there.
        assert first == {"type": None, "capi": facts.capi_keys,
                         "np_is_sys_numpy": True}
        assert second == REFUSED
        main = rec["main"]
        assert main["error"]["type"] == "ImportError"
        assert main["error"]["message"] == INTERPRETER_MESSAGE
        assert main["error"]["own"] == []
        assert not main["in_sys_modules"]

    def test_failed_first_import_still_owns_the_module(self, tmp_path, facts):
        # The owner is the interpreter that first created the module, even
        # though its import then failed.  The other module is not affected.
        rec = run_child(tmp_path, facts, """
            import json
            import _probe
            interp = _probe.new_interpreter()
            _probe.run_string(
                interp, _probe.sub_import("sub.json", block_numpy=True))
            _probe.destroy_interpreter(interp)
            with open("sub.json") as f:
                sub = json.load(f)
            main = _probe.attempt()
            other_name = [n for n in _probe.MODULES if n != _probe.NAME][0]
            other = _probe.attempt(name=other_name)
            _probe.finish({"sub": sub, "main": main, "other": other})
        """)
        assert rec["sub"] == {"type": "ModuleNotFoundError",
                              "message": rec["sub"]["message"],
                              "own": [facts.init], "in_sys_modules": False}
        assert "numpy" in rec["sub"]["message"]
        main = rec["main"]
        assert main["error"]["type"] == "ImportError"
        assert main["error"]["message"] == INTERPRETER_MESSAGE
        assert main["error"]["own"] == [] and not main["in_sys_modules"]
        second = rec["other"]
        assert second["error"] is None, second["error"]
        assert second["capi"] == other(facts).capi_keys

    def test_each_module_has_its_own_owner(self, tmp_path, facts):
        # With a NumPy that imports into any interpreter, a sub-interpreter
        # owns this module and the main interpreter the other one.
        rec = run_child(tmp_path, facts, """
            import json
            import _probe
            other_name = [n for n in _probe.MODULES if n != _probe.NAME][0]

            def in_sub(name):
                interp = _probe.new_interpreter()
                _probe.run_string(interp, _probe.sub_import("sub.json", name))
                _probe.destroy_interpreter(interp)
                with open("sub.json") as f:
                    return json.load(f)

            first = in_sub(_probe.NAME)
            other_main = _probe.attempt(name=other_name)
            main = _probe.attempt()
            other_sub = in_sub(other_name)
            _probe.finish({"first": first, "other_main": other_main,
                           "main": main, "other_sub": other_sub})
        """, fake={"umath": {"_core": {"native": True}}})
        assert rec["first"] == {"type": None, "capi": facts.capi_keys,
                                "np_is_sys_numpy": True}
        other_main = rec["other_main"]
        assert other_main["error"] is None, other_main["error"]
        assert other_main["capi"] == other(facts).capi_keys
        assert other_main["np"] == "fake" and other_main["np_is_sys_numpy"]
        main = rec["main"]["error"]
        assert main["type"] == "ImportError"
        assert main["message"] == INTERPRETER_MESSAGE and main["own"] == []
        assert rec["other_sub"] == REFUSED


class TestNumpyTypeChecks:
    @pytest.mark.parametrize("types, failing, got, warnings", [
        # The first failing row decides: ufunc, not a type, comes later.
        ({"dtype": ("size", 24), "ufunc": ("value", "ufunc")}, "dtype", 24, []),
        # Rows run in order and a size warning does not stop them.
        ({"generic": ("size", 24), "ufunc": ("size", 208)}, "ufunc", 208,
         [["RuntimeWarning", size_message("generic", 16, 24)]]),
    ], ids=["dtype", "ufunc"])
    def test_smaller_type_fails_import(self, tmp_path, facts, types, failing,
                                       got, warnings):
        rec = run_child(tmp_path, facts, ONE_ATTEMPT, fake={"types": types})
        expected = dict((n, s) for n, s, _ in NUMPY_TYPES)[failing]
        assert_failed_at(rec, facts, 1, "ValueError",
                         size_message(failing, expected, got))
        assert rec["warnings"] == warnings
        # The table was exported before the types were checked; np not yet.
        g = rec["error"]["globals"]
        assert g["name"] == facts.name and g["capi"] == facts.capi_keys
        assert g["np"] is None and not g["has_test"]

    @pytest.mark.parametrize("types, exc_type, message", [
        ({"ndarray": ("absent",)}, "AttributeError", None),
        ({"character": ("value", 7)}, "TypeError",
         "numpy.character is not a type object"),
    ], ids=["missing", "not-a-type"])
    def test_bad_type_attribute_fails_import(self, tmp_path, facts, types, exc_type,
                                             message):
        rec = run_child(tmp_path, facts, ONE_ATTEMPT, fake={"types": types})
        assert_failed_at(rec, facts, 1, exc_type, message)
        if message is None:
            assert "ndarray" in rec["error"]["message"]

    @pytest.mark.parametrize("types, warned", [
        ({"generic": ("size", 24), "number": ("size", 32),
          "inexact": ("size", 40), "character": ("size", 48),
          # ignore mode: larger is fine and silent
          "flatiter": ("size", 2640), "broadcast": ("size", 312),
          "ndarray": ("size", 96), "ufunc": ("size", 240)},
         [("generic", 24), ("number", 32), ("inexact", 40), ("character", 48)]),
        # Types with variable-sized instances: the warning reports the
        # fixed part alone, and the item size is counted as at least 8, so an
        # int-like dtype of 24 + 4 bytes passes the 32-byte minimum.
        ({"dtype": ("int",), "integer": ("int",), "flexible": ("int",)},
         [("integer", 24), ("flexible", 24)]),
    ], ids=["slots", "variable-size"])
    def test_larger_types_accepted(self, tmp_path, facts, types, warned):
        rec = run_child(tmp_path, facts, """
            import sys
            import _probe
            try:
                raise LookupError("being handled")
            except LookupError as handled:
                rec = _probe.attempt()
                # The NumPy gate leaves the exception being handled alone.
                rec["handled_kept"] = sys.exc_info()[1] is handled
            rec["core_loaded"] = "numpy.core" in sys.modules
            _probe.finish(rec)
        """, fake={"types": types, "tag": "fake-large",
                   # numpy.core must not be looked at when numpy._core works.
                   "umath": {"_core": {},
                             "core": {"raise": ["RuntimeError", "not me"]}}})
        assert rec["error"] is None, rec["error"]
        assert rec["warnings"] == [
            ["RuntimeWarning", size_message(name, 16, got)] for name, got in warned]
        assert rec["capi"] == facts.capi_keys
        assert rec["np"] == "fake-large" and rec["np_is_sys_numpy"]
        assert rec["test_is_empty_dict"] and rec["in_sys_modules"]
        assert rec["handled_kept"]
        assert not rec["core_loaded"]

    def test_size_warning_as_error_then_retry(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import _probe
            failed = _probe.attempt("error")
            retried = _probe.attempt("always")
            _probe.finish({"failed": failed, "retried": retried})
        """, fake={"types": {"generic": ("size", 32)}})
        message = size_message("generic", 16, 32)
        assert_failed_at(rec["failed"], facts, 1, "RuntimeWarning", message)
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        # The whole sequence ran again, warning included.
        assert retried["warnings"] == [["RuntimeWarning", message]]
        assert retried["capi"] == facts.capi_keys and retried["in_sys_modules"]

    def test_missing_numpy_then_retry(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import sys
            import _probe
            sys.modules["numpy"] = None
            failed = _probe.attempt()
            dead = _probe.LAST["globals"]
            del sys.modules["numpy"]
            retried = _probe.attempt()
            module = _probe.LAST.get("module")
            retried["fresh"] = module is not None and module.__dict__ is not dead
            _probe.finish({"failed": failed, "retried": retried})
        """)
        assert_failed_at(rec["failed"], facts, 1, "ModuleNotFoundError")
        assert "numpy" in rec["failed"]["error"]["message"]
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        assert retried["np"] == "real" and retried["np_is_sys_numpy"]
        assert retried["capi"] == facts.capi_keys and retried["fresh"]

    def test_numpy_import_failing_after_type_checks(self, tmp_path, facts):
        # The last type lookup takes NumPy out of sys.modules and blocks its
        # re-import, so binding np is the step that fails.
        rec = run_child(tmp_path, facts, ONE_ATTEMPT,
                        fake={"types": {"ufunc": ("vanishing", 216)}})
        assert_failed_at(rec, facts, 6, "ImportError",
                         "numpy can no longer be imported")
        g = rec["error"]["globals"]
        assert g["capi"] == facts.capi_keys
        assert g["np"] is None and not g["has_test"]


def assert_gate_failure(rec, facts, context_type, context_message):
    err = rec["error"]
    assert err is not None, rec
    assert err["type"] == "ImportError"
    assert err["message"] == "numpy._core.multiarray failed to import"
    own = err["own"]
    assert own[0] == [facts.init, facts.short, 9], own
    assert len(own) >= 2 and all(e[0] == "numpy.import_array" for e in own[1:]), own
    ctx = err["context"]
    assert ctx is not None and ctx["type"] == context_type, ctx
    if context_message is not None:
        assert ctx["message"] == context_message
    assert [e[0] for e in ctx["own"]] == ["numpy.import_array"]
    # np was bound before the gate; __test__ comes after it.
    g = err["globals"]
    assert g["capi"] == facts.capi_keys and g["np"] == "fake" and not g["has_test"]
    assert not rec["in_sys_modules"]


GOOD_CORE = {"abi": 0x2000000, "feature": 0x14, "endian": 1}


class TestNumpyApiGate:
    @pytest.mark.parametrize("umath, context_type, context_message", [
        ({"_core": {**GOOD_CORE, "abi": 0x2000001}}, "RuntimeError",
         "module compiled against ABI version 0x2000000 but this version of "
         "numpy is 0x2000001"),
        ({"_core": {**GOOD_CORE, "endian": 0}}, "RuntimeError",
         "FATAL: module compiled as unknown endian"),
        ({"_core": {**GOOD_CORE, "endian": 2}}, "RuntimeError",
         "FATAL: module compiled as little endian, but detected different "
         "endianness at runtime"),
        ({"_core": {"api": "value"}}, "RuntimeError",
         "_ARRAY_API is not PyCapsule object"),
        ({"_core": {"api": "absent"}}, "AttributeError", None),
        # Only a missing numpy._core falls back to numpy.core.
        ({"_core": {"raise": ["ImportError", "broken build"]}, "core": {}},
         "ImportError", "broken build"),
    ], ids=["abi-newer", "endian-unknown", "endian-big", "not-a-capsule",
            "no-array-api", "core-broken"])
    def test_gate_failure(self, tmp_path, facts, umath, context_type, context_message):
        rec = run_child(tmp_path, facts, ONE_ATTEMPT, fake={"umath": umath})
        assert_gate_failure(rec, facts, context_type, context_message)
        if context_type == "AttributeError":
            assert "_ARRAY_API" in rec["error"]["context"]["message"]

    def test_old_feature_version_then_retry(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import sys
            import _probe
            failed = _probe.attempt()
            dead = _probe.LAST["globals"]
            sys.modules["numpy._core._multiarray_umath"].FEATURE_VERSION = 14
            retried = _probe.attempt()
            module = _probe.LAST.get("module")
            retried["fresh"] = module is not None and module.__dict__ is not dead
            retried["fresh_capi"] = (module is not None and
                                     module.__pyx_capi__ is not dead["__pyx_capi__"])
            _probe.finish({"failed": failed, "retried": retried})
        """, fake={"umath": {"_core": {**GOOD_CORE, "feature": 13}}})
        assert_gate_failure(rec["failed"], facts, "RuntimeError", None)
        message = rec["failed"]["error"]["context"]["message"]
        assert message.startswith(
            "module was compiled against NumPy C-API version 0xe (NumPy 1.20) "
            "but the running NumPy has C-API version 0xd. Check the section "
            "C-API incompatibility at the Troubleshooting ImportError section "
            "at ")
        assert message.endswith(" for indications on how to solve this problem.")
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        assert retried["capi"] == facts.capi_keys and retried["np"] == "fake"
        assert retried["fresh"] and retried["fresh_capi"]
        assert retried["in_sys_modules"]

    def test_base_exception_passes_unwrapped(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, ONE_ATTEMPT,
                        fake={"umath": {"_core": {"raise": ["Halt", "halt"]},
                                        "core": {}}})
        err = rec["error"]
        assert err["type"] == "Halt" and not err["is_exception"]
        assert err["message"] == "halt"
        names = [e[0] for e in err["own"]]
        assert [facts.init, facts.short, 9] in err["own"]
        assert "numpy.import_array" in names
        assert not rec["in_sys_modules"]

    def test_fallback_to_numpy_core(self, tmp_path, facts):
        rec = run_child(tmp_path, facts, """
            import sys
            import _probe
            rec = _probe.attempt()
            rec["loaded"] = sorted(n for n in sys.modules if n.startswith("numpy."))
            _probe.finish(rec)
        """, fake={"umath": {"core": {"abi": 0x1000009, "feature": 14}}})
        # An older ABI and the oldest accepted feature version pass.
        assert rec["error"] is None, rec["error"]
        assert rec["warnings"] == []
        assert rec["capi"] == facts.capi_keys and rec["np"] == "fake"
        assert rec["loaded"] == ["numpy.core", "numpy.core._multiarray_umath"]


# ---------------------------------------------------------------------------
# Leaks and threads, through the test clients
# ---------------------------------------------------------------------------

def run_core(client, facts, kernel, image, footprint, mask, out, shifts=(),
             bin_count=256):
    """One call of the module's driver through the client; shifts are
    (shift_x, shift_y[, shift_z]), missing ones 0."""
    names = ("shift_x", "shift_y", "shift_z")[:facts.dims]
    call = client.core if facts.dims == 2 else client.core_3d
    call(kernel, image, footprint, mask, out, bin_count=bin_count,
         **dict(zip(names, shifts)))


def _leak_case(facts, kind):
    rng = np.random.default_rng(3)
    if facts.dims == 2:
        footprint = np.ones((3, 3), dtype=np.uint8)
        mean_shape, hist_shape, small = (16, 16), (16, 12), (8, 8)
        off_centre = (2,)
        centre_message = "centre_c 3 >= scols 3"
    else:
        footprint = np.ones((3, 3, 3), dtype=np.uint8)
        mean_shape, hist_shape, small = (4, 8, 8), (3, 8, 6), (2, 5, 5)
        # The first two centre checks pass, the last one fails.
        off_centre = (1, -1, 2)
        centre_message = "half footprint + shift_z must be between 0 and footprint"
    if kind == "mean":
        image = rng.integers(0, 256, mean_shape, dtype=np.uint8)
        return dict(kernel="mean", image=image, footprint=footprint, mask=None,
                    out=np.zeros(mean_shape + (1,), np.float64)), None
    if kind == "hist-masked":
        image = rng.integers(0, 16, hist_shape, dtype=np.uint16)
        mask = (rng.random(hist_shape) < 0.7).astype(np.uint8)
        return dict(kernel="hist", image=image, footprint=footprint, mask=mask,
                    out=np.zeros(hist_shape + (16,), np.uint16), bin_count=16), None
    if kind == "centre-check":
        image = rng.integers(0, 256, small, dtype=np.uint8)
        return dict(kernel="mean", image=image, footprint=footprint, mask=None,
                    out=np.zeros(small + (1,), np.float64), shifts=off_centre), \
            (AssertionError, centre_message)
    if kind == "bin-count":
        image = np.full(small, 200, dtype=np.uint8)
        return dict(kernel="mean", image=image, footprint=footprint, mask=None,
                    out=np.zeros(small + (1,), np.float64), bin_count=16), \
            (ValueError, "image value 200 is not below bin_count 16")
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["mean", "hist-masked", "centre-check",
                                  "bin-count"])
def test_repeated_calls_do_not_leak(client, facts, kind):
    if (kind == "centre-check" and sys.flags.optimize
            and not facts.centre_checked_when_optimised):
        pytest.skip("centre checks of this driver are skipped under -O")
    args, failure = _leak_case(facts, kind)

    def call():
        run_core(client, facts, args["kernel"], args["image"],
                 args["footprint"], args["mask"], args["out"],
                 shifts=args.get("shifts", ()),
                 bin_count=args.get("bin_count", 256))

    def once():
        if failure is None:
            call()
            return
        try:
            call()
        except failure[0] as exc:
            message = str(exc)
        else:
            raise AssertionError(f"no {failure[0].__name__}")
        assert message == failure[1]

    arrays = [a for a in (args["image"], args["footprint"], args["mask"],
                          args["out"]) if a is not None]
    # Warm-up fills NumPy's and the interpreter's own caches.
    for _ in range(1000):
        once()
    refcounts = [sys.getrefcount(a) for a in arrays]
    # A leak costs at least one block per call, in every round; free lists
    # and caches of the interpreter and NumPy wander by a few dozen blocks,
    # and now and then, early in a session, by a couple of hundred once.
    growths = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(2000):
            once()
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
        if growths[-1] < 200:
            break
    assert growths[-1] < 200, f"{growths} blocks more after 2000 calls"
    assert [sys.getrefcount(a) for a in arrays] == refcounts


def _disk(radius):
    y, x = np.mgrid[-radius:radius + 1, -radius:radius + 1]
    return (x * x + y * y <= radius * radius).astype(np.uint8)


def _ball(radius):
    z, y, x = np.mgrid[-radius:radius + 1, -radius:radius + 1,
                       -radius:radius + 1]
    return (x * x + y * y + z * z <= radius * radius).astype(np.uint8)


def _thread_jobs(facts, rng, bins):
    """Two calls over the very same inputs, one with everything different."""
    if facts.dims == 2:
        shared_image = rng.integers(0, bins, (300, 300), dtype=np.uint8)
        box = np.ones((7, 7), dtype=np.uint8)
        return [
            dict(image=shared_image, footprint=box, mask=None, shifts=(0, 0)),
            dict(image=shared_image, footprint=box, mask=None, shifts=(0, 0)),
            dict(image=rng.integers(0, bins, (280, 310), dtype=np.uint16),
                 footprint=_disk(3),
                 mask=(rng.random((280, 310)) < 0.8).astype(np.uint8),
                 shifts=(1, -2)),
        ]
    # Many planes, so that the calls keep handing the interpreter lock over.
    shared_image = rng.integers(0, bins, (24, 40, 40), dtype=np.uint8)
    box = np.ones((3, 5, 5), dtype=np.uint8)
    return [
        dict(image=shared_image, footprint=box, mask=None, shifts=(0, 0, 0)),
        dict(image=shared_image, footprint=box, mask=None, shifts=(0, 0, 0)),
        dict(image=rng.integers(0, bins, (20, 36, 44), dtype=np.uint16),
             footprint=_ball(2),
             mask=(rng.random((20, 36, 44)) < 0.8).astype(np.uint8),
             shifts=(1, -2, 1)),
    ]


@pytest.mark.parametrize("modules", [(SLIDEWIN,), (SLIDEWIN_3D,),
                                     (SLIDEWIN, SLIDEWIN_3D)],
                         ids=["slidewin", "slidewin_3d", "both"])
@pytest.mark.parametrize("kernel", ["mean", "hist"])
def test_concurrent_calls_match_sequential(client, modules, kernel):
    rng = np.random.default_rng(11)
    bins = 16
    jobs = [dict(job, facts=m) for m in modules
            for job in _thread_jobs(m, rng, bins)]
    depth = 1 if kernel == "mean" else bins
    dtype = np.float64 if kernel == "mean" else np.uint16
    sentinel = np.nan if kernel == "mean" else np.iinfo(np.uint16).max

    def fresh_out(job):
        return np.full(job["image"].shape + (depth,), sentinel, dtype=dtype)

    def run(job, out):
        run_core(client, job["facts"], kernel, job["image"], job["footprint"],
                 job["mask"], out, shifts=job["shifts"], bin_count=bins)

    expected = []
    for job in jobs:
        out = fresh_out(job)
        run(job, out)
        # Every output value was written.
        if kernel == "mean":
            assert not np.isnan(out).any()
        else:
            assert (out != sentinel).all()
        expected.append(out)

    repeats = 4
    results = [[fresh_out(job) for _ in range(repeats)] for job in jobs]
    barrier = threading.Barrier(len(jobs))
    errors = []

    def worker(n):
        try:
            barrier.wait()
            for out in results[n]:
                run(jobs[n], out)
        except BaseException as exc:  # reported below, in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,))
               for n in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for want, outs in zip(expected, results):
        for out in outs:
            np.testing.assert_array_equal(out, want)
