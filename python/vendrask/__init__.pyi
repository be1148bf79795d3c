import os
from typing import (Any, Callable, Dict, Iterable, Iterator, Literal, NamedTuple, Optional, Sequence, Tuple,
                    TypedDict, Union, type_check_only)

import numpy as np
import numpy.typing as npt

_Document = Union[str, bytes, bytearray, memoryview]
_Documents = Iterable[Optional[_Document]]
_Indices = Union[Sequence[int], npt.NDArray[np.integer[Any]]]
_Progress = Union[None, bool, Callable[[int, int], object]]
_Errors = Literal["raise", "nan"]
_Symmetric = Literal["mean", "min", "max"]
_PrimedBy = Literal["query", "document"]
_Client = Any  # a distributed.Client; typed loosely, as distributed is optional

@type_check_only
class _ZlibInfo(TypedDict):
    version: str
    static: bool
    zlib_ng: bool
    exact: bool

__all__ = [
    "JOINT_SIZE_LIMIT", "JointSizeError", "cdist", "matrix", "nearest", "pairs", "pdist",
    "pairwise", "scorer", "windowed", "zlib_info", "DocumentWarning", "Index", "IndexFileError",
    "WindowIndex", "__version__",
]
__version__: str
JOINT_SIZE_LIMIT: int

class DocumentWarning(UserWarning): ...
class IndexFileError(ValueError): ...

class JointSizeError(ValueError):
    i: int
    j: int
    len_t: int
    len_s: int
    def __init__(self, i: int, j: int, len_t: int, len_s: int, names: Tuple[str, str] = ...) -> None: ...

def cdist(ts: _Documents, ss: _Documents, *, symmetric: Optional[_Symmetric] = None, dtype: npt.DTypeLike = ...,
          workers: int = 1, errors: _Errors = "raise", max_bytes: Optional[int] = None,
          progress: _Progress = None, tile: Optional[int] = None) -> npt.NDArray[np.floating[Any]]: ...
def matrix(docs: _Documents, *, symmetric: Optional[_Symmetric] = None, dtype: npt.DTypeLike = ...,
           workers: int = 1, errors: _Errors = "raise", max_bytes: Optional[int] = None,
           progress: _Progress = None, tile: Optional[int] = None) -> npt.NDArray[np.floating[Any]]: ...
def nearest(ts: _Documents, ss: Optional[_Documents] = None, *, k: int = 5, symmetric: Optional[_Symmetric] = None,
            primed_by: _PrimedBy = "query", score_cutoff: Optional[float] = None, workers: int = 1,
            errors: _Errors = "raise", max_bytes: Optional[int] = None, progress: _Progress = None,
            tile: Optional[int] = None) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def pairs(ts: _Documents, ss: Optional[_Documents] = None, *, threshold: float,
          symmetric: Optional[_Symmetric] = None, workers: int = 1, errors: _Errors = "raise",
          max_bytes: Optional[int] = None, progress: _Progress = None,
          tile: Optional[int] = None) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
def pdist(docs: _Documents, *, symmetric: _Symmetric = "mean", workers: int = 1, errors: _Errors = "raise",
          max_bytes: Optional[int] = None, progress: _Progress = None,
          tile: Optional[int] = None) -> npt.NDArray[np.float64]: ...
def pairwise(ts: _Documents, ss: Optional[_Documents] = None, *, rows: Optional[_Indices] = None,
             cols: Optional[_Indices] = None, symmetric: Optional[_Symmetric] = None, workers: int = 1,
             errors: _Errors = "raise", max_bytes: Optional[int] = None,
             progress: _Progress = None) -> npt.NDArray[np.float64]: ...
def scorer(t: _Document, s: _Document, *, processor: Optional[Callable[[Any], Any]] = None,
           score_cutoff: Optional[float] = None, max_bytes: Optional[int] = None, **kwargs: Any) -> float: ...
def windowed(ts: _Documents, ss: Optional[_Documents] = None, *, window: int = ...,
             symmetric: Optional[_Symmetric] = None, workers: int = 1, errors: _Errors = "raise",
             max_bytes: Optional[int] = None, progress: _Progress = None) -> npt.NDArray[np.float64]: ...
def zlib_info() -> _ZlibInfo: ...

@type_check_only
class _IndexInfo(TypedDict):
    documents: int
    distinct: int
    max_bytes: int
    zlib: str
    format: int
    degree: int
    bytes: int

_Scores = npt.NDArray[np.float64]
_Positions = npt.NDArray[np.int64]

class Index:
    max_bytes: int
    workers: int
    degree: int
    seeds: int
    @property
    def candidates(self) -> int: ...
    rounds: int
    client: _Client
    # What the index holds (one consistent state, replaced whole by add).
    corpus: Any
    ids: npt.NDArray[np.int64]
    vectors: npt.NDArray[np.int8]
    sketcher: Any
    sketches: Any
    graphs: Dict[str, Any]
    signatures: npt.NDArray[np.uint32]
    settled: int
    def __init__(self, docs: _Documents = ..., *, max_bytes: Optional[int] = None, workers: int = 1,
                 progress: _Progress = None, degree: int = 24, seeds: Optional[int] = None,
                 rounds: int = 20, client: _Client = None,
                 candidates: Optional[int] = None) -> None: ...
    def __copy__(self) -> "Index": ...
    def __len__(self) -> int: ...
    def __getitem__(self, position: int) -> bytes: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def add(self, docs: _Documents, *, progress: _Progress = None, client: _Client = None) -> _Positions: ...
    def build_graph(self, *, progress: _Progress = None, client: _Client = None,
                    settle: bool = False) -> None: ...
    def nearest(self, queries: _Documents, k: int = 10, *, symmetric: Optional[_Symmetric] = None,
                primed_by: _PrimedBy = "query", exact: bool = False, workers: Optional[int] = None, progress: _Progress = None,
                pool: Optional[int] = None, seeds: Optional[int] = None,
                client: _Client = None, candidates: Optional[int] = None) -> Tuple[_Scores, _Positions]: ...
    def neighbors(self, k: int = 10, *, symmetric: Optional[_Symmetric] = None, exact: bool = False,
                  workers: Optional[int] = None, progress: _Progress = None,
                  client: _Client = None) -> Tuple[_Scores, _Positions]: ...
    def pairs(self, threshold: float, *, symmetric: Optional[_Symmetric] = "mean", exact: bool = False,
              via: Literal["sketch", "graph"] = "sketch", workers: Optional[int] = None,
              progress: _Progress = None, client: _Client = None) -> Tuple[_Positions, _Positions, _Scores]: ...
    def pairs_recall(self, threshold: float, sample: int = 500, *, symmetric: Optional[_Symmetric] = "mean",
                     seed: int = 0, workers: Optional[int] = None, progress: _Progress = None,
                     client: _Client = None) -> float: ...
    def duplicates(self, docs: _Documents, threshold: float, *, symmetric: Optional[_Symmetric] = "mean",
                   workers: Optional[int] = None, progress: _Progress = None,
                   client: _Client = None) -> Tuple[_Positions, _Positions, _Scores]: ...
    def clusters(self, threshold: float, *, symmetric: Optional[_Symmetric] = "mean", exact: bool = False,
                 graph: Literal["pairs", "neighbors"] = "pairs", k: int = 10,
                 via: Literal["sketch", "graph"] = "sketch", workers: Optional[int] = None,
                 progress: _Progress = None, client: _Client = None) -> _Positions: ...
    def recall(self, sample: int = 200, k: int = 10, *, symmetric: Optional[_Symmetric] = None, seed: int = 0,
               workers: Optional[int] = None, progress: _Progress = None, client: _Client = None) -> float: ...
    def save(self, path: Union[str, os.PathLike[str]], *, progress: _Progress = None) -> None: ...
    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]], *, workers: int = 1, progress: _Progress = None,
             client: _Client = None) -> Index: ...
    def info(self) -> _IndexInfo: ...

@type_check_only
class _Hits(NamedTuple):
    scores: _Scores
    indices: _Positions
    offsets: _Positions
    lengths: _Positions

class WindowIndex:
    window: int
    overlap: int
    max_bytes: Optional[int]
    index: Index
    @property
    def workers(self) -> int: ...
    def __init__(self, docs: _Documents = ..., *, window: int = 4096, overlap: Optional[int] = None,
                 max_bytes: Optional[int] = None, workers: int = 1, progress: _Progress = None, degree: int = 24,
                 seeds: Optional[int] = None, rounds: int = 20, client: _Client = None) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, position: int) -> bytes: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def windows(self) -> Tuple[_Positions, _Positions, _Positions]: ...
    def add(self, docs: _Documents, *, progress: _Progress = None, client: _Client = None) -> _Positions: ...
    def build_graph(self, progress: _Progress = None, client: _Client = None) -> None: ...
    def nearest(self, queries: _Documents, k: int = 10, *, symmetric: Optional[_Symmetric] = None,
                primed_by: _PrimedBy = "query", exact: bool = False, workers: Optional[int] = None,
                progress: _Progress = None, candidates: Optional[int] = None, seeds: Optional[int] = None,
                client: _Client = None) -> _Hits: ...
    def neighbors(self, k: int = 10, *, symmetric: Optional[_Symmetric] = None, exact: bool = False,
                  workers: Optional[int] = None, progress: _Progress = None,
                  client: _Client = None) -> Tuple[_Scores, _Positions]: ...
    def pairs(self, threshold: float, *, symmetric: Optional[_Symmetric] = "mean", exact: bool = False,
              via: Literal["sketch", "graph"] = "sketch", workers: Optional[int] = None,
              progress: _Progress = None, client: _Client = None) -> Tuple[_Positions, _Positions, _Scores]: ...
    def clusters(self, threshold: float, *, symmetric: Optional[_Symmetric] = "mean", exact: bool = False,
                 via: Literal["sketch", "graph"] = "sketch", workers: Optional[int] = None,
                 progress: _Progress = None, client: _Client = None) -> _Positions: ...
    def save(self, path: Union[str, os.PathLike[str]], *, progress: _Progress = None) -> None: ...
    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]], *, workers: int = 1, progress: _Progress = None,
             client: _Client = None) -> WindowIndex: ...
    def info(self) -> Dict[str, Any]: ...
