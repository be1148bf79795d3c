"""What runs on the workers: reading blocks, one tile through a reducer,
and one share of a batch of sizes.

A tile task is the in-process job in small: a corpus of its blocks'
documents, a plan of one tile over them (positions counted from the blocks'
starts) and the reducer's ``chunk`` of its cells. What it sends back is a
reducer's part, never a score matrix the reducer does not want.
"""
import dataclasses
import hashlib

import numpy as np

from .. import _native
from .._corpus import Corpus
from .._plan import Plan
from .._progress import JobProgress


@dataclasses.dataclass(frozen=True)
class TaskOptions:
    """What every tile task of a job is told: what a cell holds, errors, the
    names for messages, native threads (None: the worker's free threads) and
    the job it belongs to. Not a tuple, which a graph could take for a task."""
    direction: str
    errors: str
    names: tuple
    workers: object
    token: str


def tile_cells(rows, cols, row_start, col_start, mirror, options):
    """The normalised cells of one tile: the block of ``rows`` against the
    block of ``cols`` (None: the rows against themselves, a tile on the
    diagonal of one list) and, with ``mirror``, the columns against the rows."""
    corpus = Corpus()
    row_ids = corpus.add(rows)
    col_ids = None if cols is None else corpus.add(cols)
    size = max(1, len(rows), 0 if cols is None else len(cols))  # one tile covers both blocks
    plan = Plan(corpus, row_ids, col_ids, direction=options.direction, errors=options.errors,
                names=options.names, tile=size, offsets=(row_start, col_start), mirror=mirror)
    threads = native_threads(options.workers)
    progress = JobProgress(stop_when_cancelled(options.token), 0)
    plan.compute_sizes(threads, progress)
    cells = [cell for tile in plan.tiles() for cell in plan.cells(tile, threads, progress)]
    plan.raise_failure()
    return cells


def chunk(rows, cols, row_start, col_start, mirror, options, reducer):
    """The reducer's part for one tile (a list: one entry per cell, the
    block's then its mirror's)."""
    return reducer.chunk(tile_cells(rows, cols, row_start, col_start, mirror, options))


def dense_block(rows, cols, row_start, col_start, options, reducer):
    """One block of a lazy dense array."""
    return reducer.block(tile_cells(rows, cols, row_start, col_start, False, options))


def dense_blocks(rows, cols, row_start, col_start, options, reducer):
    """Blocks (a, b) and, off the diagonal, (b, a) of one list against
    itself, from one tile's cross sizes."""
    cells = tile_cells(rows, cols, row_start, col_start, cols is not None, options)
    return tuple(reducer.block([cell]) for cell in cells)


def sizes(dictionaries, data, options, *blocks):
    """``Corpus.run_batch`` for one share of a batch: the probes name strings
    by place in the blocks given, taken end to end. (sizes, failure)."""
    strings = tuple(doc for block in blocks for doc in block)
    out = np.empty(len(data), dtype=np.int32)
    failure = _native.batch_sizes(strings, dictionaries, data, out, native_threads(options.workers),
                                  stop_when_cancelled(options.token))
    return out, failure


def merge_top_k(reducer, start, stop, parts):
    """The top-k lists of rows [start, stop) from ``parts``, (result,
    which) each: a tile's part list and the entry for these rows, or
    (state, None) for a merge one level down."""
    state = reducer.start(np.arange(start, stop))
    return reducer.combine(state, [result if which is None else result[which]
                                   for result, which in parts])


def pairs_frame(reducer, which, *results):
    """One block of rows' pairs as a pandas DataFrame, in row-major order."""
    import pandas as pd  # type: ignore[import-untyped]
    state = reducer.combine(reducer.start(), [result[w] for result, w in zip(results, which)])
    i, j, score = reducer.aggregate(state)
    return pd.DataFrame({"i": i, "j": j, "score": score})


def block(docs):
    """A block of documents sent from the client: the task's argument is the
    block, which the scheduler keeps to place it again if it is lost."""
    return docs


def read_block(paths, max_bytes):
    """The documents of a block of paths, each cut to ``max_bytes``."""
    docs = []
    for path in paths:
        with open(path, "rb") as file:
            docs.append(file.read() if max_bytes is None else file.read(max_bytes))
    return docs


def fingerprint(docs):
    """Lengths and digests of a block's documents: enough for the joint size
    check on the client without sending the documents back."""
    lengths = np.fromiter(map(len, docs), dtype=np.int64, count=len(docs))
    return lengths, [hashlib.blake2b(doc, digest_size=20).digest() for doc in docs]


def native_threads(workers):
    """Native threads for one tile: the worker's threads that no other tile holds."""
    if workers is not None:
        return workers
    try:
        from distributed import get_worker
        state = get_worker().state
    except (ImportError, ValueError):
        return 1  # Dask's local schedulers run one tile per core already
    return max(1, state.nthreads // max(1, state.executing_count))


def stop_when_cancelled(token):
    """A progress callable that stops the native core once the job is cancelled:
    on a distributed worker when Dask cancels the task, in this process
    (Dask's local schedulers) when the job's run was interrupted."""
    try:
        from distributed import get_worker
        worker = get_worker()
        key = worker.get_current_task()
    except (ImportError, ValueError):
        def check(done, total):
            if token in CANCELLED:
                raise Cancelled(token)
        return check

    def check(done, total):
        task = worker.state.tasks.get(key)
        if task is None or task.state in ("cancelled", "released", "forgotten"):
            raise Cancelled(key)
    return check


# Tokens of the jobs run on Dask's local schedulers that were interrupted: a
# few bytes each, kept so that a tile still running in a pool thread stops.
CANCELLED: set = set()


class Cancelled(Exception):
    """The task was cancelled while its tile ran."""
