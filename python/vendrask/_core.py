"""The native core driven over tiles of pairs.

Documents are interned by content, so each distinct string's lone and
self-primed sizes are computed once; a tile is a block of rows against a
block of columns whose cross sizes are computed in one batch on the worker
threads (for a list against itself, a tile on the diagonal or a tile together
with its mirror, so that each cross size is computed once). Everything here
works on distinct strings; the reducers in _reduce map them to positions.
"""
import operator
import os

import numpy as np

from . import JOINT_SIZE_LIMIT, _matrix

# Distinct documents per side of a tile: a tile's batch keeps both cores busy
# for a long while compared with the numpy work around it, and its temporary
# arrays stay at a few MiB.
TILE = 256

_SINGLE = (str, bytes, bytearray, memoryview)


def worker_count(workers):
    """The number of threads for ``workers`` (-1: the CPUs this process may use)."""
    workers = operator.index(workers)
    if workers == -1:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):
            return os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"workers must be a positive number or -1, not {workers}")
    return min(workers, 1024)


def check_choice(name, value, choices):
    if value not in choices:
        listed = ", ".join(repr(c) for c in choices)
        raise ValueError(f"{name} must be one of {listed}, not {value!r}")
    return value


def documents(objs, name="docs", max_bytes=None):
    """The documents of ``objs`` as a list of ``bytes``.

    ``str`` is taken as its UTF-8 encoding and any other bytes-like object as
    its bytes; with ``max_bytes`` each is cut to its first ``max_bytes`` bytes.
    """
    if max_bytes is not None:
        max_bytes = operator.index(max_bytes)
        if max_bytes < 0:
            raise ValueError(f"max_bytes must be None or at least 0, not {max_bytes}")
    if isinstance(objs, _SINGLE):
        raise TypeError(f"{name} must be a list of documents, not a single {type(objs).__name__}; "
                        f"wrap it in a list")
    try:
        items = iter(objs)
    except TypeError:
        raise TypeError(f"{name} must be an iterable of documents (str or bytes-like), "
                        f"not {type(objs).__name__}") from None
    out = []
    for k, item in enumerate(items):
        if type(item) is bytes:
            doc = item
        elif isinstance(item, str):
            try:
                doc = item.encode("utf-8")
            except UnicodeEncodeError as error:
                raise ValueError(f"{name}[{k}] cannot be encoded as UTF-8: {error.reason} "
                                 f"at position {error.start}") from None
        elif isinstance(item, bytes):
            # The stored bytes themselves: a subclass's own __len__, __eq__ or
            # __bytes__ has no say.
            doc = bytes.__getitem__(item, slice(None))
        else:
            try:
                doc = memoryview(item).tobytes()
            except TypeError:
                raise TypeError(f"{name}[{k}] must be str or bytes-like, "
                                f"not {type(item).__name__}") from None
        if max_bytes is not None and len(doc) > max_bytes:
            doc = doc[:max_bytes]
        out.append(doc)
    return out


class Progress:
    """Maps the progress of each native batch onto one count for the whole job."""

    def __init__(self, callback, total):
        if callback is not None and not callable(callback):
            raise TypeError("progress must be callable or None")
        self.callback, self.total, self.done = callback, int(total), 0

    def batch(self, count):
        """The callback for the native core's next batch of ``count`` probes."""
        if self.callback is None:
            return None
        base, callback, total = self.done, self.callback, self.total
        return lambda done, _: callback(base + done, total)

    def advance(self, count):
        self.done += count

    def finish(self):
        if self.callback is not None:
            self.callback(self.total, self.total)


class Corpus:
    """Distinct documents of one or two lists, with their sizes once computed.

    ``ids[n][p]`` is the distinct string at position ``p`` of list ``n``.
    """

    def __init__(self, *lists):
        index = {}
        self.ids = [np.fromiter((index.setdefault(doc, len(index)) for doc in docs),
                                dtype=np.int64, count=len(docs)) for docs in lists]
        self.strings = tuple(index)
        self.lengths = np.fromiter(map(len, self.strings), dtype=np.int64, count=len(self.strings))
        self.alone = np.full(len(self.strings), -1, dtype=np.int32)
        self.self_ = np.full(len(self.strings), -1, dtype=np.int32)
        self.failure = None

    def probe(self, dictionaries, data, workers, progress):
        """Sizes of strings[data[k]] after strings[dictionaries[k]] (-1: none)."""
        dictionaries = np.ascontiguousarray(dictionaries, dtype=np.int32)
        data = np.ascontiguousarray(data, dtype=np.int32)
        sizes = np.empty(len(data), dtype=np.int32)
        if len(data):
            failure = _matrix.probe(self.strings, dictionaries, data, sizes, workers,
                                    progress.batch(len(data)))
            self.failure = self.failure or failure
        progress.advance(len(data))
        return sizes

    def compute_sizes(self, alone, self_, workers, progress):
        """Probes the lone sizes of the strings ``alone`` and the self-primed
        sizes of ``self_`` (arrays of distinct ids) that are not known yet."""
        alone = alone[self.alone[alone] < 0]
        self_ = self_[self.self_[self_] < 0]
        sizes = self.probe(np.concatenate([np.full(len(alone), -1), self_]),
                           np.concatenate([alone, self_]), workers, progress)
        self.alone[alone] = sizes[:len(alone)]
        self.self_[self_] = sizes[len(alone):]

    def quotients(self, k_s_e, k_s_t, k_t_s, k_s_s, k_t_t):
        out = np.empty(len(k_s_e), dtype=np.float64)
        failure = _matrix.quotients(*(np.ascontiguousarray(k, dtype=np.int32)
                                      for k in (k_s_e, k_s_t, k_t_s, k_s_s, k_t_t)), out)
        self.failure = self.failure or failure
        return out

    def block(self, rows, cols, *, diagonal=False, mirror=False, workers=1, progress=None):
        """The measures of one tile: ``forward[a, b]`` is the measure of
        ``cols[b]`` through ``rows[a]`` and, with ``mirror``, ``backward[b, a]``
        the measure the other way, from the same cross sizes. With ``diagonal``
        rows and cols are the same strings and each unordered pair is
        compressed once; forward then holds both directions. NaN stands for
        pairs over the joint size limit and failed probes. The sizes of the
        strings involved must have been computed."""
        progress = progress or Progress(None, 0)
        lengths = self.lengths
        same = rows[:, None] == cols[None, :]
        todo = (lengths[rows][:, None] + lengths[cols][None, :] <= JOINT_SIZE_LIMIT) & ~same
        if diagonal:
            todo &= np.triu(np.ones(todo.shape, dtype=bool), 1)
        # s after t column by column (one data string against a run of
        # dictionaries), then t after s row by row: the same string stays the
        # data for a run of probes, which the CPU predicts better.
        b_first, a_first = np.nonzero(todo.T)
        a, b = np.nonzero(todo)
        sizes = self.probe(np.concatenate([rows[a_first], cols[b]]),
                           np.concatenate([cols[b_first], rows[a]]), workers, progress)
        s_after_t = np.empty(todo.shape, dtype=np.int32)
        s_after_t[a_first, b_first] = sizes[:len(a_first)]
        s_after_t = s_after_t[a, b]
        t_after_s = sizes[len(a_first):]
        t, s = rows[a], cols[b]

        forward = np.full(todo.shape, np.nan)
        forward[same] = 1.0
        forward[a, b] = self.quotients(self.alone[s], s_after_t, t_after_s, self.self_[s], self.self_[t])
        backward = None
        if diagonal or mirror:
            other_way = self.quotients(self.alone[t], t_after_s, s_after_t, self.self_[t], self.self_[s])
            if diagonal:
                forward[b, a] = other_way
            else:
                backward = np.full(todo.shape[::-1], np.nan)
                backward[same.T] = 1.0
                backward[b, a] = other_way
        return forward, backward


def partnered(xs, ys, lengths, ys_mask):
    """For each distinct string of ``xs``: whether ``ys`` holds a different
    string within the joint size limit of it. ``ys_mask[id]`` tells whether
    ``id`` is among ``ys``."""
    room = JOINT_SIZE_LIMIT - lengths[xs]
    fits = np.searchsorted(np.sort(lengths[ys]), room, side="right")
    fits -= ys_mask[xs] & (lengths[xs] <= room)
    return fits


def first_over_limit(row_ids, col_ids, lengths):
    """The first (i, j) in row-major order whose strings differ and are longer
    together than the joint size limit, or None. O(n log n) however many
    equal documents there are."""
    if not len(row_ids) or not len(col_ids):
        return None
    if lengths[row_ids].max() + lengths[col_ids].max() <= JOINT_SIZE_LIMIT:
        return None
    cols, first = np.unique(col_ids, return_index=True)
    by_length = np.argsort(-lengths[cols], kind="stable")
    cols, first = cols[by_length], first[by_length]
    # The two smallest first positions among the longest q columns, for every
    # q: a row string takes the smallest unless it is that column itself.
    best = np.empty(len(cols), dtype=np.int64)
    best_id = np.empty(len(cols), dtype=np.int64)
    second = np.empty(len(cols), dtype=np.int64)
    b1 = b2 = np.iinfo(np.int64).max
    id1 = -1
    for q, (col, at) in enumerate(zip(cols.tolist(), first.tolist())):
        if at < b1:
            b1, b2, id1 = at, b1, col
        elif at < b2:
            b2 = at
        best[q], best_id[q], second[q] = b1, id1, b2
    rows, row_first = np.unique(row_ids, return_index=True)
    longer = np.searchsorted(-lengths[cols], -(JOINT_SIZE_LIMIT - lengths[rows]), side="left")
    has = longer > 0
    q = np.maximum(longer - 1, 0)
    j = np.where(best_id[q] == rows, second[q], best[q])
    has &= j != np.iinfo(np.int64).max
    if not has.any():
        return None
    k = np.argmin(np.where(has, row_first, np.iinfo(np.int64).max))
    return int(row_first[k]), int(j[k])
