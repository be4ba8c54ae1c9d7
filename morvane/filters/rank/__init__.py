"""Local rank filters built on a sliding-histogram core.

The extension modules ``slidewin`` (2D) and ``slidewin_3d`` (3D) publish
their native entry points in ``__pyx_capi__``; client extension modules bind
them with ``cimport`` (Cython) or through the C/C++ header found in
``get_include()``.
"""

import os


def get_include():
    """Directory holding ``morvane/slidewin.h`` for C and C++ clients."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")
