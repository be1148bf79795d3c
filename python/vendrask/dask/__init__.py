"""The many-document functions on a Dask cluster.

``cdist``, ``matrix``, ``nearest``, ``pairs`` and ``pdist`` take the
arguments of the in-process functions of the same names, plus ``client=``,
``tile=``, ``from_paths=`` and ``timeout=``, and give bit-identical results.
The documents are cut into blocks of ``tile`` documents and sent to the
cluster once, each block as the argument of a task that the scheduler keeps,
so that a block lost with its worker is placed again. Each task runs the
native core on one tile (a block of rows against a block of columns, or for
one list against itself a tile together with its mirror, so that each cross
size is still computed once) on the Dask worker's threads, and hands its
cells to the reducer that the in-process function uses.

``cdist`` and ``matrix`` are lazy: they return a ``dask.array.Array``.
``nearest``, ``pairs`` and ``pdist`` run at once and return numpy arrays, as
in-process; top-k lists are merged on the workers in a tree, so only the
answer comes back to the client.

A job whose client loses its connection to the scheduler raises
``SchedulerConnectionLost`` (a ConnectionError), whatever form Dask gave the
loss: Dask cancels every future of that client, so nothing of the job is left.
"""
from __future__ import annotations

import operator
import os
from typing import TYPE_CHECKING, Any, Callable, Iterable, Literal, Optional, Tuple, Union, \
    overload

import numpy as np

try:
    import dask
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph
except ImportError as error:  # the extra is optional
    raise ImportError("vendrask.dask needs Dask: pip install 'vendrask[dask]'") from error

from .. import _checks, _pairs
from .._reduce import Condensed, Dense, Pairs, TopK
from . import _tasks
from ._cluster import TREE_FAN_IN, ClusterJob, SchedulerConnectionLost  # noqa: F401
from ._tiles import (MAX_TILE, MIN_TILE, OVERHEAD_SHARE, TASK_OVERHEAD,  # noqa: F401
                     TILES_PER_THREAD, default_tile)

if TYPE_CHECKING:
    import dask.dataframe as dd
    import numpy.typing as npt
    from distributed import Client

__all__ = ["cdist", "matrix", "nearest", "pairs", "pdist", "default_tile",
           "SchedulerConnectionLost"]

# A document, or with from_paths=True the path of one.
Document = Union[str, bytes, bytearray, memoryview, os.PathLike[str], os.PathLike[bytes]]
Documents = Iterable[Document]
Progress = Optional[Callable[[int, int], object]]
Errors = Literal["raise", "nan"]
Symmetric = Literal["mean", "min", "max"]
PrimedBy = Literal["query", "document"]
Timeout = Union[float, str, None]


def cdist(ts: Documents, ss: Documents, *, symmetric: Optional[Symmetric] = None,
          dtype: npt.DTypeLike = np.float64, workers: Optional[int] = None,
          errors: Errors = "raise", max_bytes: Optional[int] = None, progress: Progress = None,
          client: Optional[Client] = None, tile: Optional[int] = None,
          from_paths: bool = False, timeout: Timeout = None) -> da.Array:
    """The measure of every ``ss[j]`` through every ``ts[i]``, as a lazy Dask array.

    Equals ``vendrask.cdist`` with the same arguments bit for bit once
    computed. Block ``(I, J)`` is one task running the native core; when both
    lists hold the same documents, blocks ``(I, J)`` and ``(J, I)`` come from
    one task, as each cross size serves both. Call ``.compute()``, or slice,
    reduce or store the array first as with any Dask array.

    client: a ``distributed.Client``; by default the current one, else Dask's
        default scheduler in this process.
    tile: documents per block (default: ``default_tile``).
    workers: native threads per task; by default each task takes the Dask
        worker's threads that other tiles leave free.
    from_paths: ``ts`` and ``ss`` are paths on a filesystem that the workers
        share, read there (cut to ``max_bytes``) rather than sent.
    timeout: how long to wait while no task of the job runs or finishes on
        the cluster before raising TimeoutError (seconds, or a Dask time
        such as ``"10 minutes"``; ``math.inf``: no limit). By default the
        Dask config ``vendrask.dask.timeout``, else 5 minutes. A lazy
        result's own computation waits as Dask does.
    progress: a lazy array cannot report progress; use Dask's own
        (``distributed.progress``, ``dask.diagnostics.ProgressBar``).
    """
    return _lazy_dense(ts, ss, ("ts", "ss"), symmetric, dtype, workers, errors, max_bytes,
                       progress, client, tile, from_paths, timeout)


def matrix(docs: Documents, *, symmetric: Optional[Symmetric] = None,
           dtype: npt.DTypeLike = np.float64, workers: Optional[int] = None,
           errors: Errors = "raise", max_bytes: Optional[int] = None, progress: Progress = None,
           client: Optional[Client] = None, tile: Optional[int] = None,
           from_paths: bool = False, timeout: Timeout = None) -> da.Array:
    """``cdist(docs, docs)`` as a lazy Dask array, over-limit pairs named
    ``docs[i]`` and ``docs[j]``. Options as for cdist."""
    return _lazy_dense(docs, None, ("docs", "docs"), symmetric, dtype, workers, errors,
                       max_bytes, progress, client, tile, from_paths, timeout)


def nearest(ts: Documents, ss: Optional[Documents] = None, *, k: int = 5,
            symmetric: Optional[Symmetric] = None, primed_by: PrimedBy = "query",
            score_cutoff: Optional[float] = None, workers: Optional[int] = None,
            errors: Errors = "raise", max_bytes: Optional[int] = None, progress: Progress = None,
            client: Optional[Client] = None, tile: Optional[int] = None,
            from_paths: bool = False, timeout: Timeout = None,
            ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """The ``k`` best matches of every ``ts[i]``: ``(scores, indices)`` exactly
    as ``vendrask.nearest`` gives them, ``symmetric`` and ``primed_by``
    included.

    Each tile task keeps only its rows' top-k lists; they are merged on the
    workers in a tree, one per block of rows, and only the answer comes back.
    ``progress(done, total)`` is called on this thread as tiles finish;
    an exception from it, or Ctrl-C, cancels the job. Other options as for
    cdist.
    """
    k = _checks.positive("k", k)
    cutoff = _checks.score_bound("score_cutoff", score_cutoff, allow_none=True)
    direction = _checks.direction(symmetric, primed_by)
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    job = ClusterJob(client, ts, ss, names, direction=direction, errors=errors,
                     max_bytes=max_bytes, tile=tile, from_paths=from_paths, workers=workers,
                     progress=progress, timeout=timeout)
    with job:
        reducer = TopK(job.rows.count, k, cutoff, leave_out_own=ss is None, n_cols=job.cols.count)
        # Each row block's parts: (tile task, which of its parts), the
        # block's own or, for a tile of one list, its mirror's.
        parts: list = [[] for _ in job.rows]
        tiles = {}
        for a, b in job.tiles():
            task = dask.delayed(_tasks.chunk, pure=False)(
                *job.tile_args(a, b, mirror=True), job.options, reducer,
                dask_key_name=job.key("nearest-tile", a, b))
            tiles[task] = job.tile_work(a, b)
            parts[a].append((task, 0))
            if job.square and a != b:
                parts[b].append((task, 1))
        finals = {job.merge_tree(row_parts, reducer, a): a
                  for a, row_parts in enumerate(parts) if row_parts}
        state = reducer.start()
        job.run(tiles, finals, lambda a, best: reducer.combine(state, [best]))
    return reducer.aggregate(state)


@overload
def pairs(ts: Documents, ss: Optional[Documents] = None, *, threshold: float,
          symmetric: Optional[Symmetric] = None, workers: Optional[int] = None,
          errors: Errors = "raise", max_bytes: Optional[int] = None, progress: Progress = None,
          client: Optional[Client] = None, tile: Optional[int] = None, from_paths: bool = False,
          lazy: Literal[False] = False, timeout: Timeout = None,
          ) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...


@overload
def pairs(ts: Documents, ss: Optional[Documents] = None, *, threshold: float,
          symmetric: Optional[Symmetric] = None, workers: Optional[int] = None,
          errors: Errors = "raise", max_bytes: Optional[int] = None, progress: None = None,
          client: Optional[Client] = None, tile: Optional[int] = None, from_paths: bool = False,
          lazy: Literal[True], timeout: Timeout = None) -> dd.DataFrame: ...


def pairs(ts: Documents, ss: Optional[Documents] = None, *, threshold: float,
          symmetric: Optional[Symmetric] = None, workers: Optional[int] = None,
          errors: Errors = "raise", max_bytes: Optional[int] = None, progress: Progress = None,
          client: Optional[Client] = None, tile: Optional[int] = None, from_paths: bool = False,
          lazy: bool = False, timeout: Timeout = None) -> Any:
    """Every pair scoring at least ``threshold``: ``(i, j, score)`` exactly as
    ``vendrask.pairs`` gives them, in row-major order.

    With ``lazy=True`` it returns at once a ``dask.dataframe.DataFrame`` with
    the columns ``i``, ``j`` and ``score``, one partition per block of rows,
    in the same order; nothing runs until it is computed (this needs
    ``dask[dataframe]``). Other options as for nearest.
    """
    threshold = _checks.score_bound("threshold", threshold)
    direction = _checks.direction(symmetric)
    if lazy:
        if progress is not None:
            raise TypeError("pairs(lazy=True) returns a lazy Dask dataframe and takes no "
                            "progress callable; use Dask's own")
        try:
            import dask.dataframe as dd
            import pandas as pd  # type: ignore[import-untyped]
        except ImportError as error:
            raise ImportError("pairs(lazy=True) needs dask.dataframe: "
                              "pip install 'dask[dataframe]'") from error
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    leave_out_own, unordered = _pairs.listing(ss is None, symmetric)
    # Unordered pairs (i < j) all lie in tiles on and above the diagonal, so
    # no tile needs its mirror.
    job = ClusterJob(client, ts, ss, names, direction=direction, errors=errors,
                     max_bytes=max_bytes, tile=tile, from_paths=from_paths, workers=workers,
                     progress=progress, keep=lazy, timeout=timeout)
    with job:
        reducer = Pairs(threshold, leave_out_own, unordered)
        tasks = {}
        parts: list = [[] for _ in job.rows]
        for a, b in job.tiles():
            task = dask.delayed(_tasks.chunk, pure=False)(
                *job.tile_args(a, b, mirror=not unordered), job.options, reducer,
                dask_key_name=job.key("pairs-tile", a, b))
            tasks[task] = job.tile_work(a, b)
            parts[a].append((task, 0))
            if job.square and a != b and not unordered:
                parts[b].append((task, 1))
        if lazy:
            meta = pd.DataFrame({"i": np.empty(0, np.int64), "j": np.empty(0, np.int64),
                                 "score": np.empty(0, np.float64)})
            if not tasks:
                return dd.from_pandas(meta, npartitions=1)
            # The tile tasks go in as arguments of their own: nested in a list,
            # Dask would leave the scattered blocks out of the frames' graphs,
            # and nothing would keep the blocks on the cluster.
            frames = [dask.delayed(_tasks.pairs_frame, pure=False)(
                reducer, [which for _, which in row_parts], *(task for task, _ in row_parts),
                dask_key_name=job.key("pairs-rows", a)) for a, row_parts in enumerate(parts)]
            return dd.from_delayed(frames, meta=meta, verify_meta=False)
        state = reducer.start()
        job.run(tasks, dict.fromkeys(tasks), lambda _, found: reducer.combine(state, found))
    return reducer.aggregate(state)


def pdist(docs: Documents, *, symmetric: Symmetric = "mean", workers: Optional[int] = None,
          errors: Errors = "raise", max_bytes: Optional[int] = None, progress: Progress = None,
          client: Optional[Client] = None, tile: Optional[int] = None,
          from_paths: bool = False, timeout: Timeout = None) -> npt.NDArray[np.float64]:
    """The condensed distances ``1 - score`` in scipy's order, exactly as
    ``vendrask.pdist`` gives them. Each tile comes back as the places in the
    vector it covers and their distances, written in as they arrive. Other
    options as for nearest."""
    how = _checks.symmetric(symmetric, allow_none=False)
    job = ClusterJob(client, docs, None, ("docs", "docs"), direction=how, errors=errors,
                     max_bytes=max_bytes, tile=tile, from_paths=from_paths, workers=workers,
                     progress=progress, timeout=timeout)
    with job:
        reducer = Condensed(job.rows.count)
        # A symmetric score needs no mirror: every pair i < j lies in a tile
        # on or above the diagonal.
        tasks = {dask.delayed(_tasks.chunk, pure=False)(
            *job.tile_args(a, b), job.options, reducer,
            dask_key_name=job.key("pdist-tile", a, b)): job.tile_work(a, b)
            for a, b in job.tiles()}
        state = reducer.start()
        job.run(tasks, dict.fromkeys(tasks), lambda _, part: reducer.combine(state, part))
    return reducer.aggregate(state)


def _lazy_dense(ts, ss, names, symmetric, dtype, workers, errors, max_bytes, progress,
                client, tile, from_paths, timeout):
    if progress is not None:
        raise TypeError("cdist and matrix return a lazy Dask array and take no progress "
                        "callable; use distributed.progress or dask.diagnostics.ProgressBar")
    direction, dtype = _checks.direction(symmetric), _checks.float_dtype(dtype)
    job = ClusterJob(client, ts, ss, names, direction=direction, errors=errors,
                     max_bytes=max_bytes, tile=tile, from_paths=from_paths, workers=workers,
                     keep=True, timeout=timeout)
    shape = (job.rows.count, job.cols.count)
    if not shape[0] or not shape[1]:
        job.release()  # nothing to compute: the other side's blocks are not needed
        return da.zeros(shape, dtype=dtype)
    reducer = Dense(*shape, dtype=dtype)
    name = job.key("cdist")
    layer = {}
    for a, b in job.tiles():
        rows, cols, row_start, col_start, _ = job.tile_args(a, b)
        rows, cols = rows.key, None if cols is None else cols.key
        if job.square:
            pair = job.key("cdist-pair", a, b)
            layer[pair] = (_tasks.dense_blocks, rows, cols, row_start, col_start, job.options,
                           reducer)
            layer[(name, a, b)] = (operator.getitem, pair, 0)
            if a != b:
                layer[(name, b, a)] = (operator.getitem, pair, 1)
        else:
            layer[(name, a, b)] = (_tasks.dense_block, rows, cols, row_start, col_start,
                                   job.options, reducer)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=job.handles())
    return da.Array(graph, name, (job.rows.chunks(), job.cols.chunks()), dtype=dtype)
