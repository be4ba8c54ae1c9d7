"""Local rank filters built on a sliding-histogram core.

Filters for Python callers, on 2D images and 3D volumes of any real dtype::

    from morvane.filters.rank import median, percentile, mean, minimum, maximum, histogram
    smooth = median(image, radius=5, workers=None)

and more statistics of a window: ``variance``, ``std``, ``gradient``, ``mode``,
``entropy``, ``remove_outliers``, ``tophat``, ``local_threshold`` (nine
methods), and ``generic`` for kernels of the window's histogram written with
numba or in C.

``disk``, ``ball`` and ``box`` make footprints; ``ndimage`` holds SciPy's
rank filters with their signatures and results.

``apply_dask`` runs any of them on a dask array, block by block with the
overlap the footprint needs.

The extension modules ``slidewin`` (2D) and ``slidewin_3d`` (3D) are the core:
they publish their native entry points in ``__pyx_capi__`` for client
extension modules, which bind them with ``cimport`` (Cython) or through the
C/C++ header found in ``get_include()``.
"""

import os

__all__ = ["median", "percentile", "mean", "minimum", "maximum", "histogram", "explain",
           "variance", "std", "gradient", "mode", "entropy", "remove_outliers", "tophat",
           "local_threshold", "generic", "apply_dask",
           "disk", "ball", "box", "ndimage", "get_include"]

_FILTERS = frozenset(["median", "percentile", "mean", "minimum", "maximum", "histogram",
                      "explain"])
_STATISTICS = frozenset(["variance", "std", "gradient", "mode", "entropy", "remove_outliers",
                         "tophat", "local_threshold", "generic", "THRESHOLD_METHODS",
                         "KERNEL_SIGNATURE"])


def get_include():
    """The directory that holds ``morvane/slidewin.h``, the header of C and
    C++ clients of the core.

    Parameters
    ----------
    None

    Returns
    -------
    str
        An absolute path, to pass to the compiler as an include directory.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> import os
    >>> from morvane.filters.rank import get_include
    >>> os.path.isfile(os.path.join(get_include(), "morvane", "slidewin.h"))
    True
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")


def __getattr__(name):
    # The filters load the core modules and NumPy on first use only, so that
    # importing the package (for get_include, or to import one core module)
    # stays light.
    if name in _FILTERS:
        from . import _api
        return getattr(_api, name)
    if name in _STATISTICS:
        from . import _statistics
        return getattr(_statistics, name)
    if name == "apply_dask":
        from ._dask import apply_dask
        return apply_dask
    if name in ("disk", "ball", "box"):
        from . import _footprints
        return getattr(_footprints, name)
    if name == "ndimage":
        import importlib
        return importlib.import_module(".ndimage", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
