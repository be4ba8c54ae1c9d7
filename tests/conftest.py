import os
import sys

import pytest

# The brute-force reference lives beside the tests; make it importable
# whatever import mode pytest runs in.
_TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if _TESTS_DIR not in sys.path:
    sys.path.insert(0, _TESTS_DIR)

# No skip here: if the test clients were not built and installed, every test
# that needs them must fail, not vanish.
from morvane.filters.rank._testing import _cpp_client, _cy_client  # noqa: E402

CLIENTS = {"cy": _cy_client, "cpp": _cpp_client}


@pytest.fixture(scope="session", params=sorted(CLIENTS))
def client(request):
    """Each test client in turn: the Cython one (binds by cimport, needs the
    last axis of every array contiguous) and the C++ one (binds through the
    C header, accepts any strides)."""
    return CLIENTS[request.param]


@pytest.fixture(scope="session")
def cy_client():
    return _cy_client


@pytest.fixture(scope="session")
def cpp_client():
    return _cpp_client


@pytest.fixture(scope="session")
def tests_dir():
    return _TESTS_DIR
