"""Build the two example clients in place:

    python setup.py build_ext --inplace

Needs Cython, NumPy and morvane-slidewin installed.
"""
import os
import sys

import numpy
from Cython.Build import cythonize
from setuptools import Extension, setup

import morvane.filters.rank

# The folder that holds the package: Cython looks for its .pxd files on
# sys.path, where an editable install of the package is not.
packages = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(morvane.filters.rank.__file__)))))
std = "/std:c++17" if sys.platform == "win32" else "-std=c++17"

setup(
    name="slidewin-client-examples",
    ext_modules=cythonize(
        [Extension("local_range", ["local_range.pyx"], include_dirs=[numpy.get_include()],
                   language="c++")],
        language_level=3, include_path=[packages])
    + [Extension("local_mode", ["local_mode.cpp"],
                 include_dirs=[morvane.filters.rank.get_include()],
                 extra_compile_args=[std], language="c++")],
)
