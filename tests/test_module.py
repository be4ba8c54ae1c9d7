"""Start-up of morvane.filters.rank.slidewin, its C-API table, leaks, threads.

Whatever touches process-wide import state (sub-interpreters, NumPy packages
that fail one of the import gates, failed imports and their retries) runs in
a child process, so this process keeps its one good copy of the module.  The
fake NumPy packages are generated into a temporary directory that comes first
on the child's path; they provide the type objects and the `_ARRAY_API`
capsule that the module checks at import, and nothing else.
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

NAME = "morvane.filters.rank.slidewin"
INIT = "init " + NAME

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


EXPORTS = (
    [(f"__pyx_fuse_{j}_max", minmax_signature(t)) for j, t in enumerate(IN_TYPES)]
    + [(f"__pyx_fuse_{j}_min", minmax_signature(t)) for j, t in enumerate(IN_TYPES)]
    + [(f"__pyx_fuse_{i}_{j}_core", core_signature(o, t))
       for i, o in enumerate(OUT_TYPES) for j, t in enumerate(IN_TYPES)]
)
SIGNATURE = dict(EXPORTS)
CAPI_KEYS = [key for key, _ in EXPORTS]
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


@pytest.fixture(scope="module")
def slidewin():
    # No importorskip: a module that does not import must fail the suite.
    return importlib.import_module(NAME)


class TestCapiTable:
    def test_keys_in_registration_order(self, slidewin):
        capi = slidewin.__pyx_capi__
        assert type(capi) is dict
        assert list(capi) == CAPI_KEYS

    @pytest.mark.parametrize("key", CAPI_KEYS)
    def test_capsule_named_by_signature(self, slidewin, key):
        capsule = slidewin.__pyx_capi__[key]
        assert type(capsule).__name__ == "PyCapsule"
        assert capsule_name(capsule) == SIGNATURE[key]
        assert capsule_pointer(capsule, SIGNATURE[key])
        # A bare entry point: clients keep only the address.
        assert _capsule_get_context(capsule) is None
        assert _capsule_get_destructor(capsule) is None

    def test_signature_strings_verbatim(self, slidewin):
        # Written out once by hand, so the builder above cannot drift.
        capi = slidewin.__pyx_capi__
        assert capsule_name(capi["__pyx_fuse_2_1_core"]) == (
            "void (void (__pyx_t_5numpy_float32_t *, Py_ssize_t, "
            "__Pyx_memviewslice, __pyx_t_5numpy_float64_t, "
            "__pyx_t_5numpy_uint16_t, Py_ssize_t, Py_ssize_t, "
            "__pyx_t_5numpy_float64_t, __pyx_t_5numpy_float64_t, Py_ssize_t, "
            "Py_ssize_t), __Pyx_memviewslice, __Pyx_memviewslice, "
            "__Pyx_memviewslice, __Pyx_memviewslice, signed char, signed char, "
            "__pyx_t_5numpy_float64_t, __pyx_t_5numpy_float64_t, Py_ssize_t, "
            "Py_ssize_t, Py_ssize_t)")
        assert capsule_name(capi["__pyx_fuse_1_min"]) == (
            "__pyx_t_5numpy_uint16_t (__pyx_t_5numpy_uint16_t, "
            "__pyx_t_5numpy_uint16_t)")

    @pytest.mark.parametrize("key, wrong", [
        ("__pyx_fuse_0_0_core", core_signature("uint8", "uint8", shifts=3)),
        ("__pyx_fuse_0_0_core", core_signature("uint8", "uint16")),
        ("__pyx_fuse_0_0_core", core_signature("uint8", "uint8") + " "),
        ("__pyx_fuse_3_1_core", core_signature("float32", "uint16")),
        ("__pyx_fuse_0_max", minmax_signature("uint16")),
        ("__pyx_fuse_1_min", minmax_signature("uint8")),
        ("__pyx_fuse_1_max", None),
    ], ids=["core-3d-params", "core-other-input", "core-trailing-blank",
            "core-other-output", "max-other-width", "min-other-width",
            "max-unnamed"])
    def test_pointer_refused_under_other_name(self, slidewin, key, wrong):
        with pytest.raises(ValueError, match="incorrect name"):
            capsule_pointer(slidewin.__pyx_capi__[key], wrong)

    @pytest.mark.parametrize("key, ctype, a, b, expected", [
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
    ])
    def test_minmax_entry_points(self, slidewin, key, ctype, a, b, expected):
        # Calling through the capsule checks that each key holds the helper
        # it names, at the width it names, compared unsigned.
        address = capsule_pointer(slidewin.__pyx_capi__[key], SIGNATURE[key])
        fn = ctypes.CFUNCTYPE(ctype, ctype, ctype)(address)
        assert fn(a, b) == expected

    def test_max_and_min_are_distinct_functions(self, slidewin):
        capi = slidewin.__pyx_capi__
        addresses = {key: capsule_pointer(capi[key], SIGNATURE[key])
                     for key in ("__pyx_fuse_0_max", "__pyx_fuse_1_max",
                                 "__pyx_fuse_0_min", "__pyx_fuse_1_min")}
        assert len(set(addresses.values())) == 4


# ---------------------------------------------------------------------------
# The imported module
# ---------------------------------------------------------------------------

# What module creation and the import system put on any module of this kind.
IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__",
                            "__spec__", "__file__"}


class TestModuleObject:
    def test_attributes(self, slidewin):
        own = set(vars(slidewin)) - IMPORT_SYSTEM_ATTRIBUTES
        assert own == {"__builtins__", "__pyx_capi__", "__pyx_unpickle_Enum",
                       "np", "__test__"}
        assert slidewin.np is sys.modules["numpy"]
        assert slidewin.__builtins__ is builtins
        assert type(slidewin.__test__) is dict and slidewin.__test__ == {}
        assert slidewin.__doc__ is None

    def test_unpickle_enum_belongs_to_view_runtime(self, slidewin):
        fn = getattr(slidewin, "__pyx_unpickle_Enum")
        assert callable(fn)
        assert fn.__module__ == "View.MemoryView"

    def test_identity_from_importer(self, slidewin):
        found = slidewin.__spec__
        assert slidewin.__name__ == found.name == NAME
        assert slidewin.__file__ == found.origin
        assert slidewin.__package__ == "morvane.filters.rank"
        # An extension module is not a package.
        assert not hasattr(slidewin, "__path__")
        assert sys.modules[NAME] is slidewin

    def test_view_runtime_types(self, slidewin):
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
                if sub.__module__ == NAME:
                    found[sub.__name__] = sub
        assert set(found) == {"array", "Enum", "memoryview", "_memoryviewslice"}
        assert issubclass(found["_memoryviewslice"], found["memoryview"])
        for name, cls in found.items():
            assert not hasattr(slidewin, name)
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

    def test_reimport_after_removal_returns_same_module(self, slidewin):
        capi = slidewin.__pyx_capi__
        capsules = list(capi.values())
        test_dict = slidewin.__test__
        del sys.modules[NAME]
        try:
            again = importlib.import_module(NAME)
        finally:
            if sys.modules.get(NAME) is not slidewin:
                sys.modules[NAME] = slidewin
        assert again is slidewin
        # Nothing ran a second time: the table and __test__ are the first ones.
        assert again.__pyx_capi__ is capi
        assert all(a is b for a, b in zip(capi.values(), capsules))
        assert again.__test__ is test_dict

    def test_reload_changes_nothing(self, slidewin):
        capi = slidewin.__pyx_capi__
        test_dict = slidewin.__test__
        assert importlib.reload(slidewin) is slidewin
        assert slidewin.__pyx_capi__ is capi
        assert slidewin.__test__ is test_dict
        assert list(capi) == CAPI_KEYS


# ---------------------------------------------------------------------------
# Child processes
# ---------------------------------------------------------------------------

# Helper module for the child processes.  An import attempt is summarised as
# plain data; the module's own traceback entries are those in its source
# files, plus the entries of NumPy's import procedure that it adds.
PROBE = r'''
import importlib
import json
import sys
import traceback
import warnings

NAME = "morvane.filters.rank.slidewin"
OWN_FILES = ("slidewin", "<stringsource>")
LAST = {}


def own_entries(tb):
    return [[f.name, f.filename, f.lineno]
            for f in traceback.extract_tb(tb)
            if f.filename in OWN_FILES or f.name == "numpy.import_array"]


def module_globals(tb):
    # The module's traceback entries run in the namespace of the module
    # object being initialised, even when that object is then discarded.
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "slidewin":
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


def attempt(action="always"):
    """Import the module once; action is the warnings filter to run under
    (None keeps the interpreter's own filters)."""
    rec = {}
    LAST.clear()
    with warnings.catch_warnings(record=True) as caught:
        if action is not None:
            warnings.simplefilter(action)
        try:
            mod = importlib.import_module(NAME)
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
    rec["in_sys_modules"] = NAME in sys.modules
    return rec


def finish(result):
    with open(sys.argv[1], "w") as f:
        json.dump(result, f)
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


def run_child(tmp_path, body, *, fake=None, flags=()):
    """Run body as a script in a fresh interpreter and return what it passed
    to _probe.finish.  With fake (keyword arguments of write_fake_numpy) the
    generated NumPy comes first on the path."""
    (tmp_path / "_probe.py").write_text(
        PROBE + f"\nSUB_IMPORT = {SUB_IMPORT!r}\n")
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


def assert_failed_at(rec, line, exc_type, message=None):
    """The import failed with exc_type, the module's only traceback entry is
    its init at line, and the module is gone from sys.modules."""
    err = rec["error"]
    assert err is not None, rec
    assert err["type"] == exc_type, err
    if message is not None:
        assert err["message"] == message
    assert err["own"] == [[INIT, "slidewin", line]], err["own"]
    assert not rec["in_sys_modules"]


class TestImportInFreshProcess:
    def test_import_issues_no_warning(self, tmp_path):
        rec = run_child(tmp_path, """
            import sys
            import _probe
            before = "numpy" in sys.modules
            rec = _probe.attempt(action=None)
            rec["numpy_before"] = before
            _probe.finish(rec)
        """, flags=("-W", "error"))
        assert rec["error"] is None, rec["error"]
        assert rec["warnings"] == []
        assert rec["capi"] == CAPI_KEYS
        # The module imported NumPy itself and bound it as np.
        assert rec["numpy_before"] is False
        assert rec["np"] == "real" and rec["np_is_sys_numpy"]
        assert rec["test_is_empty_dict"]

    def test_missing_builtin_then_retry(self, tmp_path):
        rec = run_child(tmp_path, """
            import builtins
            import _probe
            saved = builtins.Ellipsis
            del builtins.Ellipsis
            failed = _probe.attempt()
            builtins.Ellipsis = saved
            _probe.finish({"failed": failed, "retried": _probe.attempt()})
        """)
        assert_failed_at(rec["failed"], 1, "NameError",
                         "name 'Ellipsis' is not defined")
        # Builtins are cached before anything is exported.
        assert rec["failed"]["error"]["globals"]["capi"] is None
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        assert retried["capi"] == CAPI_KEYS

    def test_import_under_another_name(self, tmp_path):
        rec = run_child(tmp_path, """
            import importlib
            import importlib.util
            import sys
            import _probe
            origin = importlib.util.find_spec(_probe.NAME).origin
            # The init function is found by the last name component.
            found = importlib.util.spec_from_file_location("elsewhere.slidewin", origin)
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
        assert rec == {"alias_name": "elsewhere.slidewin", "registered": True,
                       "same": True, "capi": CAPI_KEYS}


SUB_IMPORT = '''
import json, sys, traceback
rec = {{}}
try:
    import morvane.filters.rank.slidewin as mod
except BaseException as exc:
    rec = {{"type": type(exc).__name__, "message": str(exc),
           "own": [f.name for f in traceback.extract_tb(exc.__traceback__)
                   if f.filename == "slidewin"],
           "in_sys_modules": "morvane.filters.rank.slidewin" in sys.modules}}
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
    def test_subinterpreter_refused_after_main(self, tmp_path):
        rec = run_child(tmp_path, """
            import json, sys
            import _xxsubinterpreters as interpreters
            import _probe
            main = _probe.attempt()
            module = _probe.LAST.get("module")
            subs = []
            for n in range(2):
                path = f"sub{n}.json"
                interp = interpreters.create()
                interpreters.run_string(interp, _probe.SUB_IMPORT.format(path=path))
                interpreters.destroy(interp)
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

    def test_first_subinterpreter_owns_the_module(self, tmp_path):
        rec = run_child(tmp_path, """
            import json, sys
            import _xxsubinterpreters as interpreters
            import _probe
            subs = []
            interps = [interpreters.create() for _ in range(2)]
            for n, interp in enumerate(interps):
                path = f"sub{n}.json"
                interpreters.run_string(interp, _probe.SUB_IMPORT.format(path=path))
                with open(path) as f:
                    subs.append(json.load(f))
            for interp in reversed(interps):
                interpreters.destroy(interp)
            # The owner is gone, the refusal stays.
            main = _probe.attempt()
            _probe.finish({"subs": subs, "main": main})
        """)
        first, second = rec["subs"]
        # NumPy itself imports into the first sub-interpreter (with a warning
        # of its own), so the whole import succeeds there.
        assert first == {"type": None, "capi": CAPI_KEYS, "np_is_sys_numpy": True}
        assert second == REFUSED
        main = rec["main"]
        assert main["error"]["type"] == "ImportError"
        assert main["error"]["message"] == INTERPRETER_MESSAGE
        assert main["error"]["own"] == []
        assert not main["in_sys_modules"]


class TestNumpyTypeChecks:
    @pytest.mark.parametrize("types, failing, got, warnings", [
        # The first failing row decides: ufunc, not a type, comes later.
        ({"dtype": ("size", 24), "ufunc": ("value", "ufunc")}, "dtype", 24, []),
        # Rows run in order and a size warning does not stop them.
        ({"generic": ("size", 24), "ufunc": ("size", 208)}, "ufunc", 208,
         [["RuntimeWarning", size_message("generic", 16, 24)]]),
    ], ids=["dtype", "ufunc"])
    def test_smaller_type_fails_import(self, tmp_path, types, failing, got,
                                       warnings):
        rec = run_child(tmp_path, ONE_ATTEMPT, fake={"types": types})
        expected = dict((n, s) for n, s, _ in NUMPY_TYPES)[failing]
        assert_failed_at(rec, 1, "ValueError",
                         size_message(failing, expected, got))
        assert rec["warnings"] == warnings
        # The table was exported before the types were checked; np not yet.
        g = rec["error"]["globals"]
        assert g["name"] == NAME and g["capi"] == CAPI_KEYS
        assert g["np"] is None and not g["has_test"]

    @pytest.mark.parametrize("types, exc_type, message", [
        ({"ndarray": ("absent",)}, "AttributeError", None),
        ({"character": ("value", 7)}, "TypeError",
         "numpy.character is not a type object"),
    ], ids=["missing", "not-a-type"])
    def test_bad_type_attribute_fails_import(self, tmp_path, types, exc_type,
                                             message):
        rec = run_child(tmp_path, ONE_ATTEMPT, fake={"types": types})
        assert_failed_at(rec, 1, exc_type, message)
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
    def test_larger_types_accepted(self, tmp_path, types, warned):
        rec = run_child(tmp_path, """
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
        assert rec["capi"] == CAPI_KEYS
        assert rec["np"] == "fake-large" and rec["np_is_sys_numpy"]
        assert rec["test_is_empty_dict"] and rec["in_sys_modules"]
        assert rec["handled_kept"]
        assert not rec["core_loaded"]

    def test_size_warning_as_error_then_retry(self, tmp_path):
        rec = run_child(tmp_path, """
            import _probe
            failed = _probe.attempt("error")
            retried = _probe.attempt("always")
            _probe.finish({"failed": failed, "retried": retried})
        """, fake={"types": {"generic": ("size", 32)}})
        message = size_message("generic", 16, 32)
        assert_failed_at(rec["failed"], 1, "RuntimeWarning", message)
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        # The whole sequence ran again, warning included.
        assert retried["warnings"] == [["RuntimeWarning", message]]
        assert retried["capi"] == CAPI_KEYS and retried["in_sys_modules"]

    def test_missing_numpy_then_retry(self, tmp_path):
        rec = run_child(tmp_path, """
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
        assert_failed_at(rec["failed"], 1, "ModuleNotFoundError")
        assert "numpy" in rec["failed"]["error"]["message"]
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        assert retried["np"] == "real" and retried["np_is_sys_numpy"]
        assert retried["capi"] == CAPI_KEYS and retried["fresh"]

    def test_numpy_import_failing_after_type_checks(self, tmp_path):
        # The last type lookup takes NumPy out of sys.modules and blocks its
        # re-import, so binding np is the step that fails.
        rec = run_child(tmp_path, ONE_ATTEMPT,
                        fake={"types": {"ufunc": ("vanishing", 216)}})
        assert_failed_at(rec, 6, "ImportError",
                         "numpy can no longer be imported")
        g = rec["error"]["globals"]
        assert g["capi"] == CAPI_KEYS
        assert g["np"] is None and not g["has_test"]


def assert_gate_failure(rec, context_type, context_message):
    err = rec["error"]
    assert err is not None, rec
    assert err["type"] == "ImportError"
    assert err["message"] == "numpy._core.multiarray failed to import"
    own = err["own"]
    assert own[0] == [INIT, "slidewin", 9], own
    assert len(own) >= 2 and all(e[0] == "numpy.import_array" for e in own[1:]), own
    ctx = err["context"]
    assert ctx is not None and ctx["type"] == context_type, ctx
    if context_message is not None:
        assert ctx["message"] == context_message
    assert [e[0] for e in ctx["own"]] == ["numpy.import_array"]
    # np was bound before the gate; __test__ comes after it.
    g = err["globals"]
    assert g["capi"] == CAPI_KEYS and g["np"] == "fake" and not g["has_test"]
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
    def test_gate_failure(self, tmp_path, umath, context_type, context_message):
        rec = run_child(tmp_path, ONE_ATTEMPT, fake={"umath": umath})
        assert_gate_failure(rec, context_type, context_message)
        if context_type == "AttributeError":
            assert "_ARRAY_API" in rec["error"]["context"]["message"]

    def test_old_feature_version_then_retry(self, tmp_path):
        rec = run_child(tmp_path, """
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
        assert_gate_failure(rec["failed"], "RuntimeError", None)
        message = rec["failed"]["error"]["context"]["message"]
        assert message.startswith(
            "module was compiled against NumPy C-API version 0xe (NumPy 1.20) "
            "but the running NumPy has C-API version 0xd. Check the section "
            "C-API incompatibility at the Troubleshooting ImportError section "
            "at ")
        assert message.endswith(" for indications on how to solve this problem.")
        retried = rec["retried"]
        assert retried["error"] is None, retried["error"]
        assert retried["capi"] == CAPI_KEYS and retried["np"] == "fake"
        assert retried["fresh"] and retried["fresh_capi"]
        assert retried["in_sys_modules"]

    def test_base_exception_passes_unwrapped(self, tmp_path):
        rec = run_child(tmp_path, ONE_ATTEMPT,
                        fake={"umath": {"_core": {"raise": ["Halt", "halt"]},
                                        "core": {}}})
        err = rec["error"]
        assert err["type"] == "Halt" and not err["is_exception"]
        assert err["message"] == "halt"
        names = [e[0] for e in err["own"]]
        assert [INIT, "slidewin", 9] in err["own"]
        assert "numpy.import_array" in names
        assert not rec["in_sys_modules"]

    def test_fallback_to_numpy_core(self, tmp_path):
        rec = run_child(tmp_path, """
            import sys
            import _probe
            rec = _probe.attempt()
            rec["loaded"] = sorted(n for n in sys.modules if n.startswith("numpy."))
            _probe.finish(rec)
        """, fake={"umath": {"core": {"abi": 0x1000009, "feature": 14}}})
        # An older ABI and the oldest accepted feature version pass.
        assert rec["error"] is None, rec["error"]
        assert rec["warnings"] == []
        assert rec["capi"] == CAPI_KEYS and rec["np"] == "fake"
        assert rec["loaded"] == ["numpy.core", "numpy.core._multiarray_umath"]


# ---------------------------------------------------------------------------
# Leaks and threads, through the test clients
# ---------------------------------------------------------------------------

def _leak_case(kind):
    rng = np.random.default_rng(3)
    footprint = np.ones((3, 3), dtype=np.uint8)
    if kind == "mean":
        image = rng.integers(0, 256, (16, 16), dtype=np.uint8)
        return dict(kernel="mean", image=image, footprint=footprint, mask=None,
                    out=np.zeros((16, 16, 1), np.float64)), None
    if kind == "hist-masked":
        image = rng.integers(0, 16, (16, 12), dtype=np.uint16)
        mask = (rng.random((16, 12)) < 0.7).astype(np.uint8)
        return dict(kernel="hist", image=image, footprint=footprint, mask=mask,
                    out=np.zeros((16, 12, 16), np.uint16), bin_count=16), None
    if kind == "centre-check":
        image = rng.integers(0, 256, (8, 8), dtype=np.uint8)
        return dict(kernel="mean", image=image, footprint=footprint, mask=None,
                    out=np.zeros((8, 8, 1), np.float64), shift_x=2), \
            (AssertionError, "centre_c 3 >= scols 3")
    if kind == "bin-count":
        image = np.full((8, 8), 200, dtype=np.uint8)
        return dict(kernel="mean", image=image, footprint=footprint, mask=None,
                    out=np.zeros((8, 8, 1), np.float64), bin_count=16), \
            (ValueError, "image value 200 is not below bin_count 16")
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["mean", "hist-masked", "centre-check",
                                  "bin-count"])
def test_repeated_calls_do_not_leak(client, kind):
    if kind == "centre-check" and sys.flags.optimize:
        pytest.skip("centre checks are skipped under -O")
    args, failure = _leak_case(kind)

    def call():
        client.core(args["kernel"], args["image"], args["footprint"],
                    args["mask"], args["out"],
                    shift_x=args.get("shift_x", 0),
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
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        once()
    gc.collect()
    growth = sys.getallocatedblocks() - before
    # A leak costs at least one block per call; free lists and caches of
    # the interpreter and NumPy wander by a few dozen blocks.
    assert growth < 200, f"{growth} blocks more after 2000 calls"
    assert [sys.getrefcount(a) for a in arrays] == refcounts


def _disk(radius):
    y, x = np.mgrid[-radius:radius + 1, -radius:radius + 1]
    return (x * x + y * y <= radius * radius).astype(np.uint8)


@pytest.mark.parametrize("kernel", ["mean", "hist"])
def test_concurrent_calls_match_sequential(client, kernel):
    rng = np.random.default_rng(11)
    bins = 16
    shared_image = rng.integers(0, bins, (300, 300), dtype=np.uint8)
    box = np.ones((7, 7), dtype=np.uint8)
    # Two calls over the very same inputs, one with everything different.
    jobs = [
        dict(image=shared_image, footprint=box, mask=None, shift_x=0, shift_y=0),
        dict(image=shared_image, footprint=box, mask=None, shift_x=0, shift_y=0),
        dict(image=rng.integers(0, bins, (280, 310), dtype=np.uint16),
             footprint=_disk(3),
             mask=(rng.random((280, 310)) < 0.8).astype(np.uint8),
             shift_x=1, shift_y=-2),
    ]
    depth = 1 if kernel == "mean" else bins
    dtype = np.float64 if kernel == "mean" else np.uint16
    sentinel = np.nan if kernel == "mean" else np.iinfo(np.uint16).max

    def fresh_out(job):
        return np.full(job["image"].shape + (depth,), sentinel, dtype=dtype)

    def run(job, out):
        client.core(kernel, job["image"], job["footprint"], job["mask"], out,
                    shift_x=job["shift_x"], shift_y=job["shift_y"],
                    bin_count=bins)

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
