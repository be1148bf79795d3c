from typing import Any, Callable, Iterable, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

Document = Union[str, bytes, bytearray, memoryview]
Documents = Iterable[Document]
Progress = Optional[Callable[[int, int], object]]
Errors = Literal["raise", "nan"]
Symmetric = Literal["mean", "min", "max"]
PrimedBy = Literal["query", "document"]

__version__: str
JOINT_SIZE_LIMIT: int

class JointSizeError(ValueError):
    i: int
    j: int
    len_t: int
    len_s: int
    def __init__(self, i: int, j: int, len_t: int, len_s: int, names: Tuple[str, str] = ...) -> None: ...

def cdist(ts: Documents, ss: Documents, *, symmetric: Optional[Symmetric] = None, dtype: npt.DTypeLike = ...,
          workers: int = 1, errors: Errors = "raise", max_bytes: Optional[int] = None,
          progress: Progress = None, tile: Optional[int] = None) -> npt.NDArray[np.floating[Any]]: ...
def matrix(docs: Documents, *, symmetric: Optional[Symmetric] = None, dtype: npt.DTypeLike = ...,
           workers: int = 1, errors: Errors = "raise", max_bytes: Optional[int] = None,
           progress: Progress = None, tile: Optional[int] = None) -> npt.NDArray[np.floating[Any]]: ...
def nearest(ts: Documents, ss: Optional[Documents] = None, *, k: int = 5, symmetric: Optional[Symmetric] = None,
            primed_by: PrimedBy = "query", score_cutoff: Optional[float] = None,
            workers: int = 1, errors: Errors = "raise", max_bytes: Optional[int] = None,
            progress: Progress = None, tile: Optional[int] = None) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def pairs(ts: Documents, ss: Optional[Documents] = None, *, threshold: float, symmetric: Optional[Symmetric] = None,
          workers: int = 1, errors: Errors = "raise", max_bytes: Optional[int] = None,
          progress: Progress = None, tile: Optional[int] = None) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
def pdist(docs: Documents, *, symmetric: Symmetric = "mean", workers: int = 1, errors: Errors = "raise",
          max_bytes: Optional[int] = None, progress: Progress = None,
          tile: Optional[int] = None) -> npt.NDArray[np.float64]: ...
def pairwise(ts: Documents, ss: Optional[Documents] = None, *, rows: Optional[Sequence[int]] = None,
             cols: Optional[Sequence[int]] = None, symmetric: Optional[Symmetric] = None, workers: int = 1, errors: Errors = "raise",
             max_bytes: Optional[int] = None, progress: Progress = None) -> npt.NDArray[np.float64]: ...
def scorer(t: Document, s: Document, *, processor: Optional[Callable[[Any], Any]] = None,
           score_cutoff: Optional[float] = None, max_bytes: Optional[int] = None, **kwargs: Any) -> float: ...
def zlib_info() -> dict: ...
