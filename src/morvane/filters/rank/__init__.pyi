from collections.abc import Callable, Sequence
from typing import Any, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

__all__ = ["median", "percentile", "mean", "minimum", "maximum", "histogram", "apply_dask",
           "get_include"]

_Shift = Sequence[SupportsIndex] | None
_Workers = SupportsIndex | None
_Image = NDArray[np.uint8] | NDArray[np.uint16]

def median(image: ArrayLike, footprint: ArrayLike, *, mask: ArrayLike | None = ...,
           shift: _Shift = ..., out: _Image | None = ..., workers: _Workers = ...) -> _Image: ...
def percentile(image: ArrayLike, footprint: ArrayLike, p: float, *,
               mask: ArrayLike | None = ..., shift: _Shift = ..., out: _Image | None = ...,
               workers: _Workers = ...) -> _Image: ...
def mean(image: ArrayLike, footprint: ArrayLike, *, mask: ArrayLike | None = ...,
         shift: _Shift = ..., out: NDArray[np.float64] | None = ...,
         workers: _Workers = ...) -> NDArray[np.float64]: ...
def minimum(image: ArrayLike, footprint: ArrayLike, *, mask: ArrayLike | None = ...,
            shift: _Shift = ..., out: _Image | None = ..., workers: _Workers = ...) -> _Image: ...
def maximum(image: ArrayLike, footprint: ArrayLike, *, mask: ArrayLike | None = ...,
            shift: _Shift = ..., out: _Image | None = ..., workers: _Workers = ...) -> _Image: ...
def histogram(image: ArrayLike, footprint: ArrayLike, *, normalized: bool = ...,
              bins: SupportsIndex | None = ..., dtype: DTypeLike | None = ...,
              mask: ArrayLike | None = ..., shift: _Shift = ...,
              out: NDArray[Any] | None = ..., workers: _Workers = ...) -> NDArray[Any]: ...
def apply_dask(filter: Callable[..., NDArray[Any]], array: Any, footprint: ArrayLike, *,
               mask: Any = ..., shift: _Shift = ..., **kwargs: Any) -> Any: ...
def get_include() -> str: ...
