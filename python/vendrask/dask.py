"""The many-document functions on a Dask cluster.

``cdist``, ``matrix``, ``nearest``, ``pairs`` and ``pdist`` take the
arguments of the in-process functions of the same names, plus ``client=``,
``tile=`` and ``from_paths=``, and give bit-identical results. The documents
are cut into blocks of ``tile`` documents and sent to the workers once; each
task runs the native core on one tile (a block of rows against a block of
columns, or for one list against itself a tile together with its mirror, so
that each cross size is still computed once) on the Dask worker's threads.

``cdist`` and ``matrix`` are lazy: they return a ``dask.array.Array``.
``nearest``, ``pairs`` and ``pdist`` run at once and return numpy arrays, as
in-process; top-k lists are merged on the workers in a tree, so only the
answer comes back to the client.
"""
import dataclasses
import math
import operator
import os
import uuid

import numpy as np

try:
    import dask
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph
except ImportError as error:  # the extra is optional
    raise ImportError("vendrask.dask needs Dask: pip install 'vendrask[dask]'") from error

from . import JointSizeError
from ._api import _float_dtype, _positive, _symmetric
from ._core import (Corpus, Progress, check_choice, documents, first_over_limit, partnered,
                    worker_count)
from ._reduce import combine

__all__ = ["cdist", "matrix", "nearest", "pairs", "pdist", "default_tile"]

# The default tile: big enough that what a task costs beyond its work
# (scheduling, moving its inputs and result, the Python around the native
# core: 5 ms per task measured by bench/dask_bench.py on an idle 2-core
# machine, 10 ms under load) stays under OVERHEAD_SHARE of the task, small enough that every
# thread gets about TILES_PER_THREAD tiles, so the last ones leave few
# threads idle. MAX_TILE keeps a dense block at 8 MiB and the work that a
# dead worker loses at one tile.
TASK_OVERHEAD = 0.010  # seconds
OVERHEAD_SHARE = 0.02
TILES_PER_THREAD = 16
MIN_TILE = 64
MAX_TILE = 1024
TREE_FAN_IN = 8  # top-k lists merged by one reduction task

_ERRORS = ("raise", "nan")
_NO_INDEX = np.iinfo(np.int64).max


def default_tile(count, threads, mean_bytes=100):
    """Documents per block for ``count`` documents of ``mean_bytes`` on
    ``threads`` Dask threads in all."""
    # A tile pair is 2 * tile**2 ordered pairs, each one cross compression.
    smallest = math.sqrt(TASK_OVERHEAD / (OVERHEAD_SHARE * 2 * _pair_seconds(mean_bytes)))
    balanced = count / math.ceil(math.sqrt(2 * TILES_PER_THREAD * max(1, threads)))
    return min(MAX_TILE, max(MIN_TILE, math.ceil(smallest), math.ceil(balanced)))


def _pair_seconds(mean_bytes):
    """One ordered pair on one core, about linear in the size: 5-6 us at
    100 B, 19-21 us at 1 KB, 34-37 us at 2 KB, 107-120 us at 8 KB
    (bench/dask_bench.py); the larger figures keep the tile smaller."""
    return (4.3 + 0.0139 * mean_bytes) * 1e-6


# ---------------------------------------------------------------- the public functions


def cdist(ts, ss, *, symmetric=None, dtype=np.float64, workers=None, errors="raise",
          max_bytes=None, progress=None, client=None, tile=None, from_paths=False):
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
    progress: a lazy array cannot report progress; use Dask's own
        (``distributed.progress``, ``dask.diagnostics.ProgressBar``).
    """
    return _lazy_dense(ts, ss, ("ts", "ss"), symmetric, dtype, workers, errors, max_bytes,
                       progress, client, tile, from_paths)


def matrix(docs, *, symmetric=None, dtype=np.float64, workers=None, errors="raise",
           max_bytes=None, progress=None, client=None, tile=None, from_paths=False):
    """``cdist(docs, docs)`` as a lazy Dask array, over-limit pairs named
    ``docs[i]`` and ``docs[j]``. Options as for cdist."""
    return _lazy_dense(docs, None, ("docs", "docs"), symmetric, dtype, workers, errors,
                       max_bytes, progress, client, tile, from_paths)


def nearest(ts, ss=None, *, k=5, score_cutoff=None, workers=None, errors="raise",
            max_bytes=None, progress=None, client=None, tile=None, from_paths=False):
    """The ``k`` best matches of every ``ts[i]``: ``(scores, indices)`` exactly
    as ``vendrask.nearest`` gives them.

    Each tile task keeps only its rows' top-k lists; they are merged on the
    workers in a tree, one per block of rows, and only the answer comes back.
    ``progress(done, total)`` is called on this thread as tiles finish;
    an exception from it, or Ctrl-C, cancels the job. Other options as for
    cdist.
    """
    k = _positive("k", k)
    cutoff = None if score_cutoff is None else float(score_cutoff)
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    job = _Job(client, ts, ss, names, errors=errors, max_bytes=max_bytes, tile=tile,
               from_paths=from_paths, workers=workers, progress=progress)
    own = ss is None
    with job:
        parts = [[] for _ in job.rows]
        tiles = {}
        for a, b in job.tiles():
            task = dask.delayed(_nearest_tile, pure=False)(
                *job.tile_inputs(a, b), job.rows.start(a), job.cols.start(b), k, cutoff, own,
                job.options, dask_key_name=job.key("nearest-tile", a, b))
            tiles[task] = job.tile_work(a, b)
            parts[a].append((task, 0))
            if job.square and a != b:
                parts[b].append((task, 1))
        finals = {_tree(row_parts, k, job.key("nearest-merge", a)): a
                  for a, row_parts in enumerate(parts) if row_parts}
        scores = np.full((job.rows.count, k), np.nan)
        indices = np.full((job.rows.count, k), -1, dtype=np.int64)

        def store(a, best):
            start = job.rows.start(a)
            best_scores, best_index = best
            missing = best_index == _NO_INDEX
            best_scores[missing], best_index[missing] = np.nan, -1
            scores[start:start + len(best_scores)] = best_scores
            indices[start:start + len(best_index)] = best_index
        job.run(tiles, finals, store)
    return scores, indices


def pairs(ts, ss=None, *, threshold, symmetric=None, workers=None, errors="raise",
          max_bytes=None, progress=None, client=None, tile=None, from_paths=False, lazy=False):
    """Every pair scoring at least ``threshold``: ``(i, j, score)`` exactly as
    ``vendrask.pairs`` gives them, in row-major order.

    With ``lazy=True`` it returns at once a ``dask.dataframe.DataFrame`` with
    the columns ``i``, ``j`` and ``score``, one partition per block of rows,
    in the same order; nothing runs until it is computed (this needs
    ``dask[dataframe]``). Other options as for nearest.
    """
    threshold = float(threshold)
    if threshold != threshold:
        raise ValueError("threshold must be a number, not NaN")
    how = _symmetric(symmetric)
    if lazy:
        if progress is not None:
            raise TypeError("pairs(lazy=True) returns a lazy Dask dataframe and takes no "
                            "progress callable; use Dask's own")
        try:
            import dask.dataframe as dd
            import pandas as pd
        except ImportError as error:
            raise ImportError("pairs(lazy=True) needs dask.dataframe: "
                              "pip install 'dask[dataframe]'") from error
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    job = _Job(client, ts, ss, names, errors=errors, max_bytes=max_bytes, tile=tile,
               from_paths=from_paths, workers=workers, progress=progress,
               both_ways=how is not None, keep=lazy)
    one_list = ss is None
    tasks = {}
    parts = [[] for _ in job.rows]
    for a, b in job.tiles():
        task = dask.delayed(_pairs_tile, pure=False)(
            *job.tile_inputs(a, b), job.rows.start(a), job.cols.start(b), threshold, how,
            one_list, job.square, job.options,
            dask_key_name=job.key("pairs-tile", a, b))
        tasks[task] = (a, b)
        parts[a].append((task, 0))
        if job.square and a != b and not (one_list and how is not None):
            parts[b].append((task, 1))
    if lazy:
        meta = pd.DataFrame({"i": np.empty(0, np.int64), "j": np.empty(0, np.int64),
                             "score": np.empty(0, np.float64)})
        if not tasks:
            return dd.from_pandas(meta, npartitions=1)
        # The tile tasks go in as arguments of their own: nested in a list,
        # Dask would leave the scattered blocks out of the frames' graphs,
        # and nothing would keep the blocks on the cluster.
        frames = [dask.delayed(_pairs_frame, pure=False)(
            [which for _, which in row_parts], *(task for task, _ in row_parts),
            dask_key_name=job.key("pairs-rows", a)) for a, row_parts in enumerate(parts)]
        return dd.from_delayed(frames, meta=meta, verify_meta=False)
    found = []
    with job:
        def store(key, result):
            found.extend(part for part in result if part is not None)
        job.run({task: job.tile_work(a, b) for task, (a, b) in tasks.items()}, tasks, store)
    return _row_major(found)


def pdist(docs, *, symmetric="mean", workers=None, errors="raise", max_bytes=None,
          progress=None, client=None, tile=None, from_paths=False):
    """The condensed distances ``1 - score`` in scipy's order, exactly as
    ``vendrask.pdist`` gives them. Each tile pair comes back as the stretches
    of the vector it covers, written in as they arrive. Other options as for
    nearest."""
    how = _symmetric(symmetric, allow_none=False)
    job = _Job(client, docs, None, ("docs", "docs"), errors=errors, max_bytes=max_bytes,
               tile=tile, from_paths=from_paths, workers=workers, progress=progress)
    n = job.rows.count
    out = np.empty(n * (n - 1) // 2, dtype=np.float64)
    with job:
        tasks = {}
        for a, b in job.tiles():
            rows, cols, _ = job.tile_inputs(a, b)
            task = dask.delayed(_pdist_tile, pure=False)(
                rows, cols, job.rows.start(a), job.cols.start(b), n, how, job.options,
                dask_key_name=job.key("pdist-tile", a, b))
            tasks[task] = (a, b)

        def store(key, stretches):
            for start, values in stretches:
                out[start:start + len(values)] = values
        job.run({task: job.tile_work(a, b) for task, (a, b) in tasks.items()}, tasks, store)
    return out


def _lazy_dense(ts, ss, names, symmetric, dtype, workers, errors, max_bytes, progress,
                client, tile, from_paths):
    if progress is not None:
        raise TypeError("cdist and matrix return a lazy Dask array and take no progress "
                        "callable; use distributed.progress or dask.diagnostics.ProgressBar")
    how, dtype = _symmetric(symmetric), _float_dtype(dtype)
    job = _Job(client, ts, ss, names, errors=errors, max_bytes=max_bytes, tile=tile,
               from_paths=from_paths, workers=workers, both_ways=how is not None, keep=True)
    shape = (job.rows.count, job.cols.count)
    if not shape[0] or not shape[1]:
        return da.zeros(shape, dtype=dtype)
    name = job.key("cdist")
    layer = {}
    for a, b in job.tiles():
        rows, cols, mirror = job.tile_inputs(a, b)
        rows, cols = rows.key, None if cols is None else cols.key
        if job.square:
            pair = job.key("cdist-pair", a, b)
            layer[pair] = (_dense_pair, rows, cols, how, dtype.str, job.options)
            layer[(name, a, b)] = (operator.getitem, pair, 0)
            if a != b:
                layer[(name, b, a)] = (operator.getitem, pair, 1)
        else:
            layer[(name, a, b)] = (_dense_block, rows, cols, how, dtype.str, job.options)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=job.handles())
    return da.Array(graph, name, (job.rows.chunks(), job.cols.chunks()), dtype=dtype)


# ---------------------------------------------------------------- setting up a job


@dataclasses.dataclass(frozen=True)
class _TaskOptions:
    """What every tile task is told: native threads (None: the worker's free
    threads), errors, and the job it belongs to. Not a tuple, which a graph
    could take for a task."""
    workers: object
    errors: str
    token: str


class _Blocks:
    """One list of documents cut into blocks; the graph refers to each by key."""

    def __init__(self, count, tile, delayeds):
        self.count = count
        self.bounds = list(range(0, count, tile)) + [count]
        self.delayeds = delayeds

    def __len__(self):
        return len(self.delayeds)

    def __iter__(self):
        return iter(range(len(self)))

    def start(self, a):
        return self.bounds[a]

    def size(self, a):
        return self.bounds[a + 1] - self.bounds[a]

    def handle(self, a):
        return self.delayeds[a]

    def chunks(self):
        return tuple(self.size(a) for a in self)


class _Job:
    """The documents of one call, checked and held by the cluster, and the run of its tasks."""

    def __init__(self, client, ts, ss, names, *, errors, max_bytes, tile, from_paths, workers,
                 progress=None, both_ways=False, keep=False):
        self.errors = check_choice("errors", errors, _ERRORS)
        self.workers = None if workers is None or workers == -1 else worker_count(workers)
        self.token = uuid.uuid4().hex[:16]
        self.options = _TaskOptions(self.workers, self.errors, self.token)
        if progress is not None and not callable(progress):
            raise TypeError("progress must be callable or None")
        self.progress = progress
        self.client = _client(client)
        self.keep = keep  # a lazy result holds the blocks; otherwise they go when the job ends
        self._futures = []
        if from_paths:
            documents((), names[0], max_bytes)  # checks max_bytes as for documents
            t = _paths(ts, names[0])
            s = t if ss is None else _paths(ss, names[1])
            self.square = ss is None or t == s
        else:
            t = documents(ts, names[0], max_bytes)
            s = t if ss is None else documents(ss, names[1], max_bytes)
            corpus = Corpus(t) if ss is None else Corpus(t, s)
            ids_t, ids_s = corpus.ids[0], corpus.ids[-1]
            # The same strings in the same order: tile pairs serve both directions.
            self.square = ss is None or np.array_equal(ids_t, ids_s)
            if self.errors == "raise":
                _refuse(ids_t, ids_s, corpus.lengths, names)
            del corpus
        # Tiles of one list against itself have their mirror anyway.
        self.mirror = both_ways and not self.square
        # Paths give no sizes before reading: assume small documents, the
        # case that needs the largest tiles.
        mean_bytes = 100 if from_paths else \
            (sum(map(len, t)) + sum(map(len, s))) / max(1, len(t) + len(s))
        tile = self._tile(tile, max(len(t), len(s)), mean_bytes)
        place = self._read if from_paths else self._place
        try:
            self.rows = place(t, tile, max_bytes, "rows")
            self.cols = self.rows if self.square else place(s, tile, max_bytes, "cols")
            if from_paths and self.errors == "raise":
                self._refuse_read(names)
        except BaseException:
            self.release()
            raise

    def _tile(self, tile, count, mean_bytes):
        if tile is None:
            return default_tile(count, _thread_count(self.client), mean_bytes)
        return _positive("tile", tile)

    def _place(self, docs, tile, max_bytes, side):
        """Sends each block to the cluster once; the graph holds only its key."""
        blocks = [docs[at:at + tile] for at in range(0, len(docs), tile)]
        if self.client is None:
            # Dask's local schedulers share this process's memory: nothing to send.
            delayeds = [dask.delayed(block, traverse=False) for block in blocks]
        else:
            # Every worker gets a copy, so that losing a worker loses no documents.
            futures = self.client.scatter(blocks, broadcast=True, hash=False) if blocks else []
            self._futures.extend(futures)
            delayeds = [dask.delayed(future) for future in futures]
        return _Blocks(len(docs), tile, delayeds)

    def _read(self, paths, tile, max_bytes, side):
        """Reads each block's files on a worker, once; a lost block is read again."""
        reads = [dask.delayed(_read_block, pure=False)(
            paths[at:at + tile], max_bytes, dask_key_name=self.key("read", side, at // tile))
            for at in range(0, len(paths), tile)]
        if self.client is None:
            delayeds = [dask.delayed(block, traverse=False) for block in dask.compute(*reads)]
        else:
            futures = self.client.compute(reads)
            self._futures.extend(futures)
            delayeds = [dask.delayed(future) for future in futures]
        return _Blocks(len(paths), tile, delayeds)

    def _refuse_read(self, names):
        """The joint size check from lengths and digests only, before any compression."""
        sides = [self.rows] if self.square else [self.rows, self.cols]
        tasks = [[dask.delayed(_fingerprint, pure=False)(d) for d in side.delayeds]
                 for side in sides]
        found = self._gather(tasks)
        digests = {}
        ids, lengths = [], []
        for side in found:
            side_ids = []
            for block_lengths, block_digests in side:
                for length, digest in zip(block_lengths.tolist(), block_digests):
                    if digest not in digests:
                        digests[digest] = len(digests)
                        lengths.append(length)
                    side_ids.append(digests[digest])
            ids.append(np.array(side_ids, dtype=np.int64))
        _refuse(ids[0], ids[-1], np.array(lengths, dtype=np.int64), names)

    def _gather(self, tasks):
        if self.client is None:
            return [list(dask.compute(*side)) for side in tasks]
        futures = [self.client.compute(side) for side in tasks]
        try:
            return [self.client.gather(side) for side in futures]
        finally:
            self.client.cancel([f for side in futures for f in side])

    def key(self, *parts):
        return "-".join(["vendrask", *map(str, parts), self.token])

    def handles(self):
        return self.rows.delayeds + ([] if self.square else self.cols.delayeds)

    def tiles(self):
        """(a, b) for every tile; for one list, only those on and above the diagonal."""
        for a in self.rows:
            for b in (range(a, len(self.cols)) if self.square else self.cols):
                yield a, b

    def tile_inputs(self, a, b):
        """Rows, columns (None on the diagonal of one list) and whether to mirror."""
        if self.square and a == b:
            return self.rows.handle(a), None, False
        return self.rows.handle(a), self.cols.handle(b), self.square or self.mirror

    def tile_work(self, a, b):
        """The cross compressions of a tile, the unit of progress."""
        r, c = self.rows.size(a), self.cols.size(b)
        if self.square:
            return r * (r - 1) if a == b else 2 * r * c
        return 2 * r * c

    def run(self, tiles, finals, store):
        """Runs the tasks and calls ``store(finals[task], result)`` as each final
        one arrives. ``tiles`` maps the tile tasks to their work, for progress.
        Any exception here, Ctrl-C or one from progress, cancels the job."""
        total = sum(tiles.values())
        progress = self.progress
        if progress is not None:
            progress(0, total)
        if self.client is None:
            try:
                results = _local_run(tiles, list(finals), total, progress)
            except BaseException:
                _CANCELLED.add(self.token)
                raise
            for task, result in zip(finals, results):
                store(finals[task], result)
        else:
            self._distributed_run(tiles, finals, store, total)
        if progress is not None:
            progress(total, total)

    def _distributed_run(self, tiles, finals, store, total):
        from distributed import as_completed
        watched = [t for t in tiles if t not in finals] if self.progress is not None else []
        futures = self.client.compute(watched + list(finals))
        self._futures.extend(futures)
        by_key = {f.key: f for f in futures}
        what = {by_key[t.key]: finals[t] for t in finals}
        work = {by_key[t.key]: tiles[t] for t in tiles if t.key in by_key}
        done = 0
        try:
            for future in as_completed(futures, loop=self.client.loop):
                if future in what:
                    store(what.pop(future), future.result())
                elif future.status == "error":
                    future.result()
                future.release()
                if self.progress is not None and future in work:
                    done += work[future]
                    self.progress(done, total)
        except BaseException:
            self.release()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if not self.keep:
            self.release()

    def release(self):
        """Cancels whatever of the job is still held or running on the cluster."""
        futures, self._futures = self._futures, []
        if self.client is not None and futures:
            try:
                self.client.cancel(futures)
            except Exception:  # a lost scheduler: the job's own error says more
                pass


def _local_run(tiles, finals, total, progress):
    """Runs on Dask's default scheduler, counting tiles as they finish."""
    if progress is None:
        return dask.compute(*finals)
    from dask.callbacks import Callback
    work = {t.key: w for t, w in tiles.items()}
    done = [0]

    def posttask(key, result, dsk, state, worker_id):
        if key in work:
            done[0] += work[key]
            progress(done[0], total)
    with Callback(posttask=posttask):
        return dask.compute(*finals)


def _client(client):
    if client is not None:
        if not all(hasattr(client, name) for name in ("scatter", "compute", "nthreads")):
            raise TypeError(f"client must be a distributed.Client or None, "
                            f"not {type(client).__name__}")
        return client
    try:
        from distributed import default_client
        return default_client()
    except (ImportError, ValueError):
        return None


def _thread_count(client):
    if client is None:
        return os.cpu_count() or 1
    return max(1, sum(client.nthreads().values()))


def _paths(paths, name):
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a list of paths, not a single {type(paths).__name__}; "
                        f"wrap it in a list")
    out = []
    for i, path in enumerate(paths):
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"{name}[{i}] must be a path, not {type(path).__name__}")
        out.append(os.fspath(path))
    return out


def _refuse(ids_t, ids_s, lengths, names):
    over = first_over_limit(ids_t, ids_s, lengths)
    if over is not None:
        i, j = over
        raise JointSizeError(i, j, int(lengths[ids_t[i]]), int(lengths[ids_s[j]]), names)


def _tree(parts, k, name):
    """Merges top-k lists TREE_FAN_IN at a time until one is left."""
    level = 0
    while level == 0 or len(parts) > 1:
        parts = [(dask.delayed(_merge_best, pure=False)(
            parts[at:at + TREE_FAN_IN], k, dask_key_name=f"{name}-{level}-{at}"), None)
            for at in range(0, len(parts), TREE_FAN_IN)]
        level += 1
    return parts[0][0]


def _row_major(found):
    if not found:
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0)
    i, j, score = (np.concatenate(part) for part in zip(*found))
    order = np.lexsort((j, i))
    return i[order].astype(np.int64), j[order].astype(np.int64), score[order]


# ---------------------------------------------------------------- tasks, run on the workers


def _threads(workers):
    """Native threads for one tile: the worker's threads that no other tile holds."""
    if workers is not None:
        return workers
    try:
        from distributed import get_worker
        state = get_worker().state
    except (ImportError, ValueError):
        return 1  # Dask's local schedulers run one tile per core already
    return max(1, state.nthreads // max(1, state.executing_count))


def _stop_when_cancelled(token):
    """A progress callable that stops the native core once the job is cancelled:
    on a distributed worker when Dask cancels the task, in this process
    (Dask's local schedulers) when the job's run was interrupted."""
    try:
        from distributed import get_worker
        worker = get_worker()
        key = worker.get_current_task()
    except (ImportError, ValueError):
        def check(done, total):
            if token in _CANCELLED:
                raise _Cancelled(token)
        return check

    def check(done, total):
        task = worker.state.tasks.get(key)
        if task is None or task.state in ("cancelled", "released", "forgotten"):
            raise _Cancelled(key)
    return check


# Tokens of the jobs run on Dask's local schedulers that were interrupted: a
# few bytes each, kept so that a tile still running in a pool thread stops.
_CANCELLED = set()


class _Cancelled(Exception):
    """The task was cancelled while its tile ran."""


def _measures(rows, cols, mirror, options):
    """The measures of one tile over positions.

    ``forward[i, j]`` is the measure of ``cols[j]`` through ``rows[i]`` and,
    with ``mirror``, ``backward[j, i]`` the other way. With ``cols=None`` the
    rows go against themselves and forward holds both directions. NaN stands
    for pairs over the joint size limit and, with errors="nan", failed probes.
    """
    corpus = Corpus(rows) if cols is None else Corpus(rows, cols)
    row_ids, col_ids = corpus.ids[0], corpus.ids[-1]
    row_set, row_at = np.unique(row_ids, return_inverse=True)
    col_set, col_at = np.unique(col_ids, return_inverse=True)
    lengths = corpus.lengths
    in_rows = np.zeros(len(lengths), dtype=bool)
    in_rows[row_set] = True
    in_cols = np.zeros(len(lengths), dtype=bool)
    in_cols[col_set] = True
    row_partners = partnered(row_set, col_set, lengths, in_cols)
    col_partners = partnered(col_set, row_set, lengths, in_rows)
    paired_rows, paired_cols = row_set[row_partners > 0], col_set[col_partners > 0]
    both_ways = mirror or cols is None
    alone = np.union1d(paired_cols, paired_rows) if both_ways else paired_cols
    self_ = np.union1d(paired_rows, paired_cols)
    threads = _threads(options.workers)
    progress = Progress(_stop_when_cancelled(options.token), 0)
    corpus.compute_sizes(alone, self_, threads, progress)
    forward, backward = corpus.block(row_set, col_set, diagonal=cols is None,
                                     mirror=mirror and cols is not None, workers=threads,
                                     progress=progress)
    if corpus.failure is not None and options.errors == "raise":
        raise RuntimeError(corpus.failure)
    forward = forward[np.ix_(row_at.reshape(-1), col_at.reshape(-1))]
    if backward is not None:
        backward = backward[np.ix_(col_at.reshape(-1), row_at.reshape(-1))]
    return forward, backward


def _dense_block(rows, cols, how, dtype, options):
    forward, backward = _measures(rows, cols, how is not None, options)
    if how is not None:
        forward = combine(forward, backward.T, how)
    return forward.astype(dtype, copy=False)


def _dense_pair(rows, cols, how, dtype, options):
    """Blocks (a, b) and (b, a) of one list against itself, from one tile pair."""
    forward, backward = _measures(rows, cols, cols is not None, options)
    if cols is None:
        if how is not None:
            forward = combine(forward, forward.T, how)
        return forward.astype(dtype, copy=False), None
    if how is not None:
        forward = combine(forward, backward.T, how)
        backward = forward.T
    return forward.astype(dtype, copy=False), np.ascontiguousarray(backward, dtype=dtype)


def _best(values, k, cutoff, col_start, leave_out=False):
    """Each row's k best columns as (scores, global indices): score
    descending, ties by the smaller index; NaN and scores below the cutoff are
    never candidates. Missing places hold -inf and _NO_INDEX."""
    drop = np.isnan(values)
    if cutoff is not None:
        drop |= values < cutoff
    if leave_out:  # a diagonal tile: each row leaves out its own position
        np.fill_diagonal(drop, True)
    index = np.broadcast_to(np.arange(values.shape[1], dtype=np.int64) + col_start, values.shape)
    return _select(np.where(drop, -np.inf, values), np.where(drop, _NO_INDEX, index), k)


def _select(scores, index, k):
    best = np.lexsort((index, -scores))[:, :k]
    scores = np.take_along_axis(scores, best, axis=1)
    index = np.take_along_axis(index, best, axis=1)
    if scores.shape[1] < k:
        pad = ((0, 0), (0, k - scores.shape[1]))
        scores = np.pad(scores, pad, constant_values=-np.inf)
        index = np.pad(index, pad, constant_values=_NO_INDEX)
    return scores, index


def _nearest_tile(rows, cols, mirror, row_start, col_start, k, cutoff, own, options):
    """The top-k lists of one tile's rows, and for a tile pair those of its columns."""
    forward, backward = _measures(rows, cols, mirror, options)
    if cols is None:
        return _best(forward, k, cutoff, col_start, leave_out=own), None
    mine = _best(forward, k, cutoff, col_start)
    return mine, (_best(backward, k, cutoff, row_start) if mirror else None)


def _merge_best(parts, k):
    lists = [result if which is None else result[which] for result, which in parts]
    return _select(np.concatenate([s for s, _ in lists], axis=1),
                   np.concatenate([i for _, i in lists], axis=1), k)


def _pairs_tile(rows, cols, mirror, row_start, col_start, threshold, how, one_list, square,
                options):
    """The pairs of one tile at or above threshold, with global indices: those
    of its rows and, for a tile pair of one list, those of its mirror (None
    when the pairs are unordered and all lie above the diagonal)."""
    forward, backward = _measures(rows, cols, mirror, options)
    diagonal = cols is None
    if diagonal:
        backward = forward  # both directions of each pair
    if how is not None:
        forward = combine(forward, backward.T, how)
        backward = forward.T
    keep = forward >= threshold  # NaN never passes
    if diagonal and one_list:
        keep &= np.triu(np.ones(keep.shape, dtype=bool), 1) if how is not None else \
            ~np.eye(len(keep), dtype=bool)
    mine = _cells(forward, keep, row_start, col_start)
    if diagonal or not square or (one_list and how is not None):
        return mine, None
    return mine, _cells(backward, backward >= threshold, col_start, row_start)


def _cells(values, keep, row_start, col_start):
    i, j = np.nonzero(keep)
    return i + row_start, j + col_start, values[i, j]


def _pairs_frame(which, *results):
    import pandas as pd
    i, j, score = _row_major([result[w] for result, w in zip(results, which)
                              if result[w] is not None])
    return pd.DataFrame({"i": i, "j": j, "score": score})


def _pdist_tile(rows, cols, row_start, col_start, n, how, options):
    """One tile pair's stretches of the condensed vector: (start, 1 - score) per row."""
    forward, backward = _measures(rows, cols, cols is not None, options)
    distance = 1.0 - combine(forward, (forward if cols is None else backward).T, how)
    out = []
    for r in range(distance.shape[0]):
        i = row_start + r
        first = r + 1 if cols is None else 0
        if first < distance.shape[1]:
            j = col_start + first
            out.append((n * i - i * (i + 1) // 2 + (j - i - 1), distance[r, first:]))
    return out


def _read_block(paths, max_bytes):
    docs = []
    for path in paths:
        with open(path, "rb") as file:
            docs.append(file.read() if max_bytes is None else file.read(max_bytes))
    return docs


def _fingerprint(docs):
    import hashlib
    lengths = np.fromiter(map(len, docs), dtype=np.int64, count=len(docs))
    return lengths, [hashlib.blake2b(doc, digest_size=20).digest() for doc in docs]
