"""Build the two example clients in place:

    python setup.py build_ext --inplace

Needs Cython, NumPy and morvane-slidewin installed.
"""
import sys

import numpy
from Cython.Build import cythonize
from setuptools import Extension, setup

import morvane.filters.rank

std = "/std:c++17" if sys.platform == "win32" else "-std=c++17"

setup(
    name="slidewin-client-examples",
    ext_modules=cythonize(
        [Extension("local_range", ["local_range.pyx"], include_dirs=[numpy.get_include()],
                   language="c++")],
        language_level=3)
    + [Extension("local_mode", ["local_mode.cpp"],
                 include_dirs=[morvane.filters.rank.get_include()],
                 extra_compile_args=[std], language="c++")],
)
