"""morvane: image filters.

``morvane.filters.rank`` holds local rank filters (median, percentile,
minimum, maximum, mean and local histograms) of 2D images and 3D volumes.
"""

from ._version import __version__

__all__ = ["__version__"]
