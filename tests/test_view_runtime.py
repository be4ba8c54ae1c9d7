"""The view object types each module carries: array, memoryview, Enum.

They are not module attributes; the drivers use them internally and client
code may meet them. Their Python-level behaviour is checked against NumPy.
"""

import collections.abc
import copy
import pickle

import numpy as np
import pytest

import morvane.filters.rank.slidewin as slidewin

PyBUF_RECORDS = 0x0001 | 0x0004 | 0x0008 | 0x0010 | 0x0018  # writable, format, strides
PyBUF_RECORDS_RO = 0x0004 | 0x0018


def runtime_types(module):
    found, stack = {}, [object]
    while stack:
        for sub in type.__subclasses__(stack.pop()):
            stack.append(sub)
            if sub.__module__ == module.__name__:
                found[sub.__name__] = sub
    return found


TYPES = runtime_types(slidewin)


def test_types_are_named_after_the_module():
    assert {t.__qualname__ for t in TYPES.values()} == {
        "array", "Enum", "memoryview", "_memoryviewslice"}
    for name, t in TYPES.items():
        assert f"{t.__module__}.{t.__name__}" == f"morvane.filters.rank.slidewin.{name}"


def test_enum_repr_and_reduce_round_trip():
    Enum = TYPES["Enum"]
    kind = Enum("<strided and direct>")
    assert repr(kind) == "<strided and direct>"
    rebuild, args = kind.__reduce__()
    assert rebuild is getattr(slidewin, "__pyx_unpickle_Enum")
    again = rebuild(*args)
    assert type(again) is Enum and repr(again) == repr(kind)
    assert repr(copy.deepcopy(kind)) == repr(kind)
    unpickle = getattr(slidewin, "__pyx_unpickle_Enum")
    with pytest.raises(ValueError, match="Incompatible checksums"):
        unpickle(Enum, 1, ("x",))


@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int64, np.float32,
                                   np.float64])
def test_memoryview_over_an_array(dtype):
    memoryview_t = TYPES["memoryview"]
    base = np.arange(24).astype(dtype).reshape(4, 6)[:, ::2]
    view = memoryview_t(base, PyBUF_RECORDS)
    assert view.base is base
    assert view.shape == base.shape and view.strides == base.strides
    assert view.ndim == 2 and view.itemsize == base.itemsize
    assert view.size == base.size and view.nbytes == base.nbytes
    assert len(view) == 4
    assert view[2, 1] == base[2, 1] and view[-1, -1] == base[-1, -1]
    view[1, 2] = 5
    assert base[1, 2] == 5
    shared = np.asarray(view)
    assert shared.shape == base.shape and np.shares_memory(shared, base)
    np.testing.assert_array_equal(shared, base)
    with pytest.raises(IndexError):
        view[4, 0]
    with pytest.raises(TypeError):
        pickle.dumps(view)


def test_memoryview_of_read_only_array_refuses_writes():
    memoryview_t = TYPES["memoryview"]
    base = np.zeros((3,), np.uint8)
    base.flags.writeable = False
    with pytest.raises(ValueError):
        memoryview_t(base, PyBUF_RECORDS)
    view = memoryview_t(base, PyBUF_RECORDS_RO)
    with pytest.raises(TypeError, match="read-only"):
        view[0] = 1
    assert not np.asarray(view).flags.writeable


@pytest.mark.parametrize("mode", ["c", "fortran"])
def test_array_owns_memory_in_either_order(mode):
    array_t = TYPES["array"]
    a = array_t((3, 5), 8, "d", mode)
    data = np.asarray(a)
    assert data.shape == (3, 5) and data.dtype == np.float64
    assert data.flags.c_contiguous if mode == "c" else data.flags.f_contiguous
    data[...] = np.arange(15).reshape(3, 5)
    assert a[2, 4] == 14.0 and len(a) == 3
    a[0, 1] = -1.5
    assert data[0, 1] == -1.5
    assert isinstance(a.memview, TYPES["memoryview"])
    assert isinstance(a, collections.abc.Sequence)


@pytest.mark.parametrize("args", [((), 1, "B"), ((3, 0), 1, "B"), ((3,), 0, "B"),
                                  ((3,), 1, "B", "x")])
def test_array_rejects_bad_shapes(args):
    with pytest.raises(ValueError):
        TYPES["array"](*args)
