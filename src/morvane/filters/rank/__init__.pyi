from collections.abc import Callable, Sequence
from typing import Any, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from . import ndimage as ndimage

__all__ = ["median", "percentile", "mean", "minimum", "maximum", "histogram", "apply_dask",
           "disk", "ball", "box", "ndimage", "get_include"]

_Shift = Sequence[SupportsIndex] | None
_Workers = SupportsIndex | None
_Image = NDArray[Any]
_Footprint = ArrayLike | None
_Mode = str | Sequence[str]

def median(image: ArrayLike, footprint: _Footprint = ..., *, size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
           mask: ArrayLike | None = ..., shift: _Shift = ..., mode: _Mode = ..., cval: float = ...,
           out: _Image | None = ..., workers: _Workers = ..., channels: SupportsIndex | None = ...) -> _Image: ...
def percentile(image: ArrayLike, footprint: _Footprint = ..., p: float | None = ..., *, size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
           mask: ArrayLike | None = ..., shift: _Shift = ..., mode: _Mode = ..., cval: float = ...,
               out: _Image | None = ..., workers: _Workers = ..., channels: SupportsIndex | None = ...) -> _Image: ...
def mean(image: ArrayLike, footprint: _Footprint = ..., *, size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
           mask: ArrayLike | None = ..., shift: _Shift = ..., mode: _Mode = ..., cval: float = ...,
         out: NDArray[np.float64] | None = ..., workers: _Workers = ...,
         channels: SupportsIndex | None = ...) -> NDArray[np.float64]: ...
def minimum(image: ArrayLike, footprint: _Footprint = ..., *, size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
           mask: ArrayLike | None = ..., shift: _Shift = ..., mode: _Mode = ..., cval: float = ...,
           out: _Image | None = ..., workers: _Workers = ..., channels: SupportsIndex | None = ...) -> _Image: ...
def maximum(image: ArrayLike, footprint: _Footprint = ..., *, size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
           mask: ArrayLike | None = ..., shift: _Shift = ..., mode: _Mode = ..., cval: float = ...,
           out: _Image | None = ..., workers: _Workers = ..., channels: SupportsIndex | None = ...) -> _Image: ...
def histogram(image: ArrayLike, footprint: _Footprint = ..., *, size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
           mask: ArrayLike | None = ..., shift: _Shift = ..., mode: _Mode = ..., cval: float = ...,
              normalized: bool = ..., bins: SupportsIndex | None = ..., dtype: DTypeLike | None = ...,
              out: NDArray[Any] | None = ..., workers: _Workers = ...,
              channels: SupportsIndex | None = ...,
              max_bytes: SupportsIndex | None = ...) -> NDArray[Any]: ...
def explain(statistic: str | Callable[..., Any], image: ArrayLike, footprint: _Footprint = ..., *,
            p: float | None = ..., size: SupportsIndex | Sequence[SupportsIndex] | None = ...,
            radius: float | None = ..., mask: ArrayLike | None = ..., shift: _Shift = ...,
            mode: _Mode = ..., cval: float = ..., workers: _Workers = ...,
            channels: SupportsIndex | None = ...) -> dict[str, Any]: ...
def apply_dask(filter: Callable[..., NDArray[Any]], array: Any, footprint: _Footprint = ..., *,
               size: SupportsIndex | Sequence[SupportsIndex] | None = ..., radius: float | None = ...,
               mask: Any = ..., shift: _Shift = ..., **kwargs: Any) -> Any: ...
def disk(radius: float) -> NDArray[np.bool_]: ...
def ball(radius: float) -> NDArray[np.bool_]: ...
def box(shape: SupportsIndex | Sequence[SupportsIndex]) -> NDArray[np.bool_]: ...
def get_include() -> str: ...
