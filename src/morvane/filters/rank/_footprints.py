"""Footprints by name: disks, balls and boxes."""

import numbers
import operator

import numpy as np

__all__ = ["disk", "ball", "box"]


def _radius(radius):
    if isinstance(radius, (bool, np.bool_)):
        raise TypeError(f"radius must be a number, not a bool ({radius!r})")
    if isinstance(radius, np.ndarray) and radius.ndim == 0 and radius.dtype.kind in "iuf":
        radius = radius[()]
    if not isinstance(radius, numbers.Real):
        raise TypeError(f"radius must be a number, got {type(radius).__name__} "
                        f"{radius!r}")
    radius = float(radius)
    if not radius >= 0 or radius == float("inf"):
        raise ValueError(f"radius must be a finite number >= 0, got {radius}")
    return radius


def _round(radius, ndim):
    r = _radius(radius)
    reach = int(np.floor(r))
    axes = np.ogrid[(slice(-reach, reach + 1),) * ndim]
    return sum(a * a for a in axes) <= r * r


def disk(radius):
    """A disk: the pixels within `radius` of the centre.

    Parameters
    ----------
    radius : float
        0 or more; pixel (y, x) from the centre is a member when
        ``y**2 + x**2 <= radius**2``.

    Returns
    -------
    ndarray of bool
        Shape ``(2 * floor(radius) + 1,) * 2``, the centre in the middle.

    Raises
    ------
    TypeError
        For a radius that is not a number.
    ValueError
        For a negative, infinite or NaN radius.

    Examples
    --------
    >>> from morvane.filters.rank import disk
    >>> disk(1).astype(int)
    array([[0, 1, 0],
           [1, 1, 1],
           [0, 1, 0]])
    """
    return _round(radius, 2)


def ball(radius):
    """A ball: the voxels within `radius` of the centre.

    Parameters
    ----------
    radius : float
        0 or more; voxel (z, y, x) from the centre is a member when
        ``z**2 + y**2 + x**2 <= radius**2``.

    Returns
    -------
    ndarray of bool
        Shape ``(2 * floor(radius) + 1,) * 3``, the centre in the middle.

    Raises
    ------
    TypeError
        For a radius that is not a number.
    ValueError
        For a negative, infinite or NaN radius.

    Examples
    --------
    >>> from morvane.filters.rank import ball
    >>> ball(1).sum(), ball(2).shape
    (np.int64(7), (5, 5, 5))
    """
    return _round(radius, 3)


def box(shape):
    """A box: every entry of a footprint of `shape` is a member.

    Parameters
    ----------
    shape : int or sequence of ints
        The box's extent along each axis (1 or more); one int gives a 2D
        square.

    Returns
    -------
    ndarray of bool
        All True, of `shape`.

    Raises
    ------
    TypeError
        For extents that are not integers.
    ValueError
        For extents below 1, or no extents.

    Examples
    --------
    >>> from morvane.filters.rank import box
    >>> box((1, 3))
    array([[ True,  True,  True]])
    """
    if isinstance(shape, (bool, np.bool_)):
        raise TypeError(f"shape must be integers, got {shape!r}")
    try:
        shape = (operator.index(shape),) * 2
    except TypeError:
        try:
            shape = tuple(operator.index(n) if not isinstance(n, (bool, np.bool_))
                          else operator.index("") for n in shape)
        except TypeError:
            raise TypeError(f"shape must be an int or a sequence of ints, got "
                            f"{shape!r}") from None
    if not shape or min(shape) < 1:
        raise ValueError(f"every extent of a box must be 1 or more, got {shape}")
    return np.ones(shape, bool)
