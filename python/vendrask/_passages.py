"""vendrask.WindowIndex: which long document holds a passage, and where.

The measure's denominator counts the whole of the longer text, so a long
document never wins for a short passage it holds. A window index cuts each
document into overlapping windows of a few kilobytes, keeps them in a
``vendrask.Index``, and answers per document: a document scores what its
best window scores, and the answer says which window that was (its byte
offset and length in the document).

Every window score is an exact value of ``_vendrask.measure``; a
document's score is the largest of its windows', a score of its own and not
the measure of the whole document.
"""
import collections
import threading
import typing

import numpy as np

from . import JOINT_SIZE_LIMIT, IndexFileError, _checks
from ._pairs import EVERY_PAIR_FITS
from ._documents import documents
from ._progress import JobProgress
from ._reduce import _no_poll

# Chosen on the standard library's sources with passages of 300 to 500 bytes
# (bench/passage_bench.py sweep): windows of 1, 2 and 4 KB overlapping by 0,
# a quarter and a half found the right file first equally often (0.98 of
# excerpts, 0.95 to 0.96 of edited chunks), so the fewest windows win: they
# cost the least to build, keep and search.
DEFAULT_WINDOW = 4096
# The default overlap, as a share of the window: a passage up to this long
# (1 KB at the default) lies whole in some window, for a quarter more windows.
OVERLAP_SHARE = 4
# Two windows must fit the joint size limit together for neighbors and pairs.
MAX_WINDOW = EVERY_PAIR_FITS
KIND = "windows"
# Cells of (rows, documents) an exact search holds at once (two arrays of 8
# bytes each): 64 MiB.
_CELLS = 1 << 22
_NONE = np.iinfo(np.int64).max


class Hits(typing.NamedTuple):
    """Each query's best documents, shape (queries, k) each: the score, the
    document's position, and the byte offset and length in that document of
    the window that scored it (NaN and -1 where a row has fewer hits)."""
    scores: np.ndarray
    indices: np.ndarray
    offsets: np.ndarray
    lengths: np.ndarray


def check_window(window, overlap):
    """(window, overlap) checked; overlap None is the default share."""
    if isinstance(window, bool):
        raise ValueError(f"window must be a positive integer, not {window!r}")
    window = _checks.positive("window", window)
    if window > MAX_WINDOW:
        raise ValueError(f"window must be at most {MAX_WINDOW} bytes, so that any two windows "
                         f"fit the joint size limit of {JOINT_SIZE_LIMIT} bytes together, not "
                         f"{window}")
    if overlap is None:
        overlap = window // OVERLAP_SHARE
    if isinstance(overlap, bool):
        raise ValueError(f"overlap must be a whole number of bytes, not {overlap!r}")
    try:
        overlap = int(_index(overlap))
    except TypeError:
        raise ValueError(f"overlap must be a whole number of bytes, not {overlap!r}") from None
    if overlap < 0:
        raise ValueError(f"overlap must be 0 or more bytes, not {overlap}")
    if overlap >= window:
        raise ValueError(f"overlap must be less than the window ({window} bytes), not {overlap}")
    return window, overlap


def _index(value):
    import operator
    return operator.index(value)


def cut(size, window, overlap):
    """(offsets, lengths) of the windows of a document of ``size`` bytes:
    from offset 0 one every ``window - overlap`` bytes, all ``window`` bytes
    long, the last one ending at the document's end (so it may overlap the
    one before it by more); a document no longer than the window is one
    window, and an empty one is one empty window."""
    if size <= window:
        return np.zeros(1, dtype=np.int64), np.array([size], dtype=np.int64)
    step = window - overlap
    count = 1 + -(-(size - window) // step)
    offsets = np.arange(count, dtype=np.int64) * step
    offsets[-1] = size - window
    return offsets, np.full(count, window, dtype=np.int64)


class _Table:
    """Which document each window is from, at what offset, how long; the
    documents' sizes. Never changed once made: an add makes the next."""

    __slots__ = ("document", "offset", "length", "sizes", "starts")

    def __init__(self, document, offset, length, sizes):
        self.document, self.offset, self.length, self.sizes = document, offset, length, sizes
        # Each document's first window; its windows are consecutive.
        self.starts = np.searchsorted(document, np.arange(len(sizes) + 1))

    @classmethod
    def empty(cls):
        none = np.empty(0, dtype=np.int64)
        return cls(none, none, none, none)

    def grown(self, sizes, window, overlap):
        parts = [cut(int(size), window, overlap) for size in sizes]
        first = len(self.sizes)
        document = np.concatenate([self.document] + [np.full(len(o), first + k, dtype=np.int64)
                                                     for k, (o, _) in enumerate(parts)])
        offset = np.concatenate([self.offset] + [o for o, _ in parts])
        length = np.concatenate([self.length] + [n for _, n in parts])
        return _Table(document, offset, length,
                      np.concatenate([self.sizes, np.asarray(sizes, dtype=np.int64)]))

    def __len__(self):
        return len(self.document)


class WindowIndex:
    """Long documents searched by windows: ``nearest`` finds which documents
    hold a passage and where.

    ``WindowIndex(docs, window=4096, overlap=window // 4)`` cuts each
    document (``str`` as UTF-8, or bytes-like; cut to ``max_bytes`` first)
    into windows of ``window`` bytes, one every ``window - overlap`` bytes,
    the last ending at the document's end (see ``cut``): offsets and
    lengths are in bytes, and a window may start or end inside a UTF-8
    character. A passage up to ``overlap`` bytes long lies whole in some
    window. The windows are kept in a ``vendrask.Index`` (``index``), built
    with ``degree``, ``seeds``, ``rounds`` and ``client`` as that one is;
    equal windows are stored once.

    A query fits with a window when the two are at most the joint size
    limit together: queries up to ``JOINT_SIZE_LIMIT - window`` bytes
    (28 671 at the default) are scored against every window, longer ones
    find nothing.

    Scores are per document and of their own: a document's score for a
    query is the best of its windows' scores (each exact, as
    ``_vendrask.measure`` gives it); between two documents, the best over
    every pair of their windows. ``exact=True`` scores every window (pair);
    otherwise the windows' index finds the best windows as its searches do.
    """

    def __init__(self, docs=(), *, window=DEFAULT_WINDOW, overlap=None, max_bytes=None,
                 workers=1, progress=None, degree=24, seeds=None, rounds=20, client=None):
        from ._index import Index
        self.window, self.overlap = check_window(window, overlap)
        self.max_bytes = _checks.max_bytes(max_bytes)
        tuning = {} if seeds is None else {"seeds": seeds}
        self.index = Index(workers=workers, degree=degree, rounds=rounds, client=client, **tuning)
        self._table = _Table.empty()
        self._lock = threading.Lock()
        self._writer = None
        if len(docs) if hasattr(docs, "__len__") else True:
            self.add(docs, progress=progress)

    @property
    def workers(self):
        return self.index.workers

    # -- the documents

    def __len__(self):
        return len(self._table.sizes)

    def __getitem__(self, position):
        """The document at ``position``, as the bytes its windows hold."""
        if not isinstance(position, (int, np.integer)) or isinstance(position, bool):
            raise TypeError(f"WindowIndex positions are integers, not {type(position).__name__}")
        table = self._table
        n = len(table.sizes)
        if not -n <= position < n:
            raise IndexError(f"position {position} is out of range for {n} documents")
        return _joined(self.index, table, int(position) % n)

    def __iter__(self):
        table = self._table
        return (_joined(self.index, table, d) for d in range(len(table.sizes)))

    def __repr__(self):
        table = self._table
        return (f"vendrask.WindowIndex({len(table.sizes)} documents, {len(table)} windows, "
                f"window={self.window}, overlap={self.overlap}, max_bytes={self.max_bytes})")

    def windows(self):
        """(document, offset, length) of every window of the index, in the
        order of the windows' positions in ``index`` (int64 arrays, copies)."""
        table = self._table
        return table.document.copy(), table.offset.copy(), table.length.copy()

    def add(self, docs, *, progress=None, client=None):
        """Adds documents; returns the positions given to them (int64). All
        or nothing, as ``Index.add``; searches in other threads meanwhile
        see the index as it was."""
        from ._api import report
        cut_positions = []
        new_docs = documents(docs, "docs", self.max_bytes, False, cut_positions)
        report(self.max_bytes, len(new_docs), [f"docs[{k}]" for k in cut_positions], [], [],
               stacklevel=2)
        with self._changing():
            old = self._table
            table = old.grown([len(doc) for doc in new_docs], self.window, self.overlap)
            pieces = [new_docs[d - len(old.sizes)][o:o + n] for d, o, n in zip(
                table.document[len(old):].tolist(), table.offset[len(old):].tolist(),
                table.length[len(old):].tolist())]
            self.index.add(pieces, progress=progress, client=client)
            self._table = table  # the add, in one step
        return np.arange(len(old.sizes), len(table.sizes))

    def _changing(self):
        me = threading.get_ident()
        if self._writer == me:
            raise RuntimeError("a WindowIndex cannot be changed or saved while it is being "
                               "changed (from the progress callback of its own add, say)")
        return _Holding(self, me)

    def build_graph(self, progress=None, client=None):
        """Builds the windows' neighbour graph now, where the index builds it
        lazily (else it was built with the windows)."""
        build = getattr(self.index, "build_graph", None)
        if build is not None:
            build(progress=progress, client=client)

    # -- searches

    def nearest(self, queries, k=10, *, symmetric=None, primed_by="query", exact=False,
                workers=None, progress=None, candidates=None, seeds=None, client=None):
        """The ``k`` best documents for each query, as ``Hits(scores,
        indices, offsets, lengths)`` of shape ``(len(queries), k)``: best
        first, ties by the smaller document position, padded with NaN and
        -1. A document's score is its best window's (ties: the first
        window), the window's byte offset and length alongside.

        A window's score is ``measure(query, window)``; with
        ``primed_by="document"`` ``measure(window, query)``, the query
        compressed with the window as the dictionary (which finds the
        holders of a passage); ``symmetric`` combines both. With ``exact``
        every window is scored; otherwise the windows' index is searched
        for the best windows (``candidates`` and ``seeds`` as for
        ``Index.nearest``) and its best documents are among theirs.
        ``client`` (by default the index's) runs the scores on a Dask
        cluster, as for ``Index.nearest``."""
        from ._api import report
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric, primed_by)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cut_positions = []
        qdocs = documents(queries, "queries", self.max_bytes, False, cut_positions)
        report(self.max_bytes, len(qdocs), [f"queries[{i}]" for i in cut_positions], [], [],
               stacklevel=2)
        table = self._table
        if exact and len(table) and (client is not None or self.index.client is not None):
            scores, indices, where = self._cluster_nearest(table, qdocs, k, symmetric,
                                                           primed_by, progress, client)
        elif exact or not len(table):
            scores, indices, where = self._exact_nearest(table, qdocs, k, direction, workers,
                                                         progress)
        else:
            scores, indices, where = self._search(table, qdocs, k, symmetric, primed_by,
                                                  workers, progress, candidates, seeds, client)
        return self._hits(table, scores, indices, where)

    def _search(self, table, qdocs, k, symmetric, primed_by, workers, progress, candidates,
                seeds, client):
        """The windows' index searched for enough windows to give each
        query k documents: rows whose best windows crowd into fewer
        documents (a long query like one document throughout, say) are
        searched again for four times as many windows, up to all."""
        wide = self._wide(k, len(table))
        want = min(k, len(table.sizes))
        todo = np.arange(len(qdocs))
        out = None
        while True:
            window_scores, found = self.index.nearest(
                [qdocs[i] for i in todo.tolist()], k=wide, symmetric=symmetric,
                primed_by=primed_by, workers=workers, progress=progress, candidates=candidates,
                seeds=seeds, client=client)
            got = _by_document(table, window_scores, found, k)
            if out is None:
                out = got
            else:
                for part, new in zip(out, got):
                    part[todo] = new
            short = (got[1] >= 0).sum(axis=1) < want
            # A row short of documents among windows that all scored is one
            # whose documents crowd; one with unscored windows has no more.
            short &= (found >= 0).all(axis=1)
            if not short.any() or wide >= len(table):
                return out
            todo, wide = todo[short], min(len(table), 4 * wide)

    def _wide(self, k, n):
        """The windows a search asks for to give k documents: the windows
        a stretch of text lies in, and as many again, per document."""
        per = -(-self.window // (self.window - self.overlap))
        return int(min(n, max(10, 2 * k * per)))

    @staticmethod
    def _hits(table, scores, indices, where):
        found = where >= 0
        offsets = np.full(where.shape, -1, dtype=np.int64)
        lengths = np.full(where.shape, -1, dtype=np.int64)
        offsets[found] = table.offset[where[found]]
        lengths[found] = table.length[where[found]]
        return Hits(scores, indices, offsets, lengths)

    def _exact_nearest(self, table, qdocs, k, direction, workers, progress):
        from ._plan import Plan
        corpus, ids = self.index.corpus, self.index.ids[:len(table)]
        overlay = corpus.overlay()
        qids = overlay.add(qdocs)
        n_docs = len(table.sizes)
        step = max(1, _CELLS // max(1, n_docs))
        out = [np.full((len(qids), k), np.nan), np.full((len(qids), k), -1, dtype=np.int64),
               np.full((len(qids), k), -1, dtype=np.int64)]
        with JobProgress(progress, 2 * len(qids) + len(qids) * len(ids)) as job:
            for lo in range(0, len(qids), step):
                hi = min(lo + step, len(qids))
                plan = Plan(overlay, qids[lo:hi], ids, direction=direction, errors="nan",
                            names=("queries", "windows"))
                reducer = _Best(np.arange(hi - lo), hi - lo, table.document, n_docs)
                best, where = plan.run(reducer, workers, job.batch(plan.work))
                job.advance(plan.work)
                for part, got in zip(out, _top(best, where, k)):
                    part[lo:hi] = got
            job.finish()
        return tuple(out)

    def _cluster_nearest(self, table, qdocs, k, symmetric, primed_by, progress, client):
        """Exact search on a cluster: every window ranked for a block of
        queries at a time (Index.nearest with exact=True), then per document."""
        n = len(table)
        step = max(1, _CELLS // n)
        parts = []
        for lo in range(0, len(qdocs), step):
            window_scores, found = self.index.nearest(
                qdocs[lo:lo + step], k=n, symmetric=symmetric, primed_by=primed_by, exact=True,
                progress=progress, client=client)
            parts.append(_by_document(table, window_scores, found, k))
        if not parts:
            return _by_document(table, np.empty((0, 1)), np.empty((0, 1), dtype=np.int64), k)
        return tuple(np.concatenate(part) for part in zip(*parts))

    def neighbors(self, k=10, *, symmetric=None, exact=False, workers=None, progress=None,
                  client=None):
        """The ``k`` best other documents of each document: ``(scores,
        indices)`` of shape ``(len(index), k)``, best first, ties by the
        smaller position, padded with NaN and -1. Documents ``d`` and ``e``
        score the best, over every window ``w`` of ``d`` and ``v`` of
        ``e``, of ``measure(w, v)`` (or both directions combined by
        ``symmetric``): a score of its own, not the measure of the two
        documents. With ``exact`` every window pair is scored, in this
        process; otherwise the windows' own neighbours are taken."""
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        table = self._table
        n_docs = len(table.sizes)
        if exact or not len(table):
            scores = np.full((n_docs, k), np.nan)
            indices = np.full((n_docs, k), -1, dtype=np.int64)
            for d0, best in self._exact_documents(table, direction, workers, progress):
                rows = np.arange(len(best))
                best[rows, d0 + rows] = -np.inf  # not its own neighbour
                got = _top(best, np.zeros(best.shape, dtype=np.int64), k)
                scores[d0:d0 + len(best)], indices[d0:d0 + len(best)] = got[:2]
            return scores, indices
        wide = self._wide(k, len(table))
        window_scores, found = self.index.neighbors(wide, symmetric=symmetric, workers=workers,
                                                    progress=progress, client=client)
        rows = np.repeat(np.arange(len(found)), found.shape[1])
        d, e, s = _document_pairs(table, rows, found.reshape(-1), window_scores.reshape(-1))
        keep = (d != e) & (d < n_docs)
        d, e, s = _largest(d[keep], e[keep], s[keep])
        order = np.lexsort((e, -s, d))
        d, e, s = d[order], e[order], s[order]
        rank = np.arange(len(d)) - np.searchsorted(d, d)
        fit = rank < k
        scores = np.full((n_docs, k), np.nan)
        indices = np.full((n_docs, k), -1, dtype=np.int64)
        scores[d[fit], rank[fit]], indices[d[fit], rank[fit]] = s[fit], e[fit]
        return scores, indices

    def _exact_documents(self, table, direction, workers, progress):
        """(first document, best) for blocks of documents in turn: ``best``
        holds, for each document of the block and every document, the best
        score of their window pairs (the block's windows prime), -inf where
        none fits. A block is of about 512 windows, so that what is held
        at once grows with the documents, not with their square."""
        from ._plan import Plan
        corpus, ids = self.index.corpus, self.index.ids[:len(table)]
        n_docs = len(table.sizes)
        counts = np.diff(table.starts)
        with JobProgress(progress, len(ids) * len(ids)) as job:
            d0 = 0
            while d0 < n_docs:
                d1 = max(d0 + 1, int(np.searchsorted(table.starts, table.starts[d0] + 512,
                                                     side="right")) - 1)
                d1 = min(d1, n_docs)
                lo, hi = table.starts[d0], table.starts[d1]
                plan = Plan(corpus, ids[lo:hi], ids, direction=direction, errors="nan",
                            names=("windows", "windows"))
                reducer = _Best(table.document[lo:hi] - d0, d1 - d0, table.document, n_docs)
                best, _ = plan.run(reducer, workers, job.batch(plan.work))
                job.advance(int(counts[d0:d1].sum()) * len(ids))
                yield d0, best
                d0 = d1
            job.finish()

    def pairs(self, threshold, *, symmetric="mean", exact=False, via="sketch", workers=None,
              progress=None, client=None):
        """Every pair of documents scoring at least ``threshold``: ``(i, j,
        score)`` by i then j, each pair once as i < j with ``symmetric``,
        both ways (i != j) with ``symmetric=None``; scores as for
        ``neighbors``. With ``exact`` every window pair is scored (in this
        process); otherwise
        the windows' pairs come from ``Index.pairs`` (``via`` as there),
        which finds the pair of windows that scores a pair of documents
        whenever it finds that pair of windows."""
        threshold = _checks.score_bound("threshold", threshold)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        table = self._table
        if exact or not len(table):
            parts = []
            for d0, best in self._exact_documents(table, direction, workers, progress):
                i, j = np.nonzero(best >= threshold)
                i += d0
                # Each pair once (i < j) where the score is symmetric; never (i, i).
                keep = i < j if symmetric is not None else i != j
                parts.append((i[keep], j[keep], best[i[keep] - d0, j[keep]]))
            if not parts:
                return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0)
            i, j, s = (np.concatenate(part) for part in zip(*parts))
            return i.astype(np.int64), j.astype(np.int64), s
        wi, wj, ws = self.index.pairs(threshold, symmetric=symmetric, via=via, workers=workers,
                                      progress=progress, client=client)
        i, j, s = _document_pairs(table, wi, wj, ws)
        keep = (i != j) & (i < len(table.sizes)) & (j < len(table.sizes))
        i, j, s = i[keep], j[keep], s[keep]
        if symmetric is not None:
            i, j = np.minimum(i, j), np.maximum(i, j)
        i, j, s = _largest(i, j, s)
        order = np.lexsort((j, i))
        return i[order], j[order], s[order]

    def clusters(self, threshold, *, symmetric="mean", exact=False, via="sketch", workers=None,
                 progress=None, client=None):
        """A label (int64, from 0 in order of first appearance) for each
        document: the connected components of the pairs of ``pairs``."""
        from ._optional import need
        sparse = need("scipy.sparse", "WindowIndex.clusters")
        components = need("scipy.sparse.csgraph", "WindowIndex.clusters").connected_components
        n = len(self)
        i, j, _ = self.pairs(threshold, symmetric=symmetric, exact=exact, via=via,
                             workers=workers, progress=progress, client=client)
        i, j = i[(i < n) & (j < n)], j[(i < n) & (j < n)]
        adjacency = sparse.coo_array((np.ones(len(i), dtype=np.int8), (i, j)), shape=(n, n))
        _, labels = components(adjacency.tocsr(), directed=True, connection="weak")
        _, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
        rank = np.empty(len(first), dtype=np.int64)
        rank[np.argsort(first, kind="stable")] = np.arange(len(first))
        return rank[inverse.reshape(-1)]

    # -- files

    def save(self, path, *, progress=None):
        """Writes the index to ``path`` as ``Index.save`` does, in one
        checked file with the table of windows; an add in progress in
        another thread is waited for."""
        from . import _store
        with self._changing():
            _store.save(self.index, path, progress, kind=KIND, annex=self._annex())

    def _annex(self):
        table = self._table
        return {"window": self.window, "overlap": self.overlap,
                "max_bytes": 0 if self.max_bytes is None else self.max_bytes,
                "document": table.document, "offset": table.offset, "length": table.length,
                "sizes": table.sizes}

    @classmethod
    def load(cls, path, *, workers=1, progress=None, client=None):
        """The window index saved at ``path``. Anything ``Index.load``
        refuses, an index of whole documents, and a table of windows that
        does not cut the documents its windows hold raise IndexFileError.
        ``client`` as for ``Index.load``."""
        return cls._load(path, workers, progress, client)

    @classmethod
    def _load(cls, path, workers=1, progress=None, client=None, digest=None):
        from . import _store
        from ._index import Index
        index, annex = _store.load(Index, path, workers, progress, digest=digest, kind=KIND)
        return cls._made(index, annex, path, client)

    def _stored(self):
        """(windows' index, kind, annex): what a file of this index holds."""
        return self.index, KIND, self._annex()

    @classmethod
    def _made(cls, index, annex, path, client=None):
        import os
        shown = os.fsdecode(os.fspath(path))
        table, window, overlap, max_bytes = _checked_table(index, annex, shown)
        self = cls.__new__(cls)
        self.window, self.overlap, self.max_bytes = window, overlap, max_bytes
        self.index = index
        if client is not None:
            from ._index import _cluster
            index.client = _cluster(client).client
        self._table = table
        self._lock = threading.Lock()
        self._writer = None
        return self

    def info(self):
        """What the index holds: its documents and windows, then the
        windows' index's ``info()`` (its ``distinct`` counts windows)."""
        table = self._table
        inner = self.index.info()
        found = collections.OrderedDict([
            ("documents", len(table.sizes)), ("windows", len(table)),
            ("window", self.window), ("overlap", self.overlap),
            ("max_bytes", self.max_bytes), ("text_bytes", int(table.sizes.sum())),
        ])
        for key, value in inner.items():
            if key == "documents":
                continue
            found["distinct_windows" if key == "distinct" else key] = value
        found["bytes"] = int(inner["bytes"]) + sum(
            a.nbytes for a in (table.document, table.offset, table.length, table.sizes,
                               table.starts))
        return found


class _Holding:
    """The lock of a change (or a save) to a WindowIndex, and who holds it."""

    def __init__(self, owner, me):
        self.owner, self.me = owner, me

    def __enter__(self):
        self.owner._lock.acquire()
        self.owner._writer = self.me

    def __exit__(self, *exc):
        self.owner._writer = None
        self.owner._lock.release()


# ---------------------------------------------------------------- helpers

def _joined(index, table, d):
    """Document ``d`` again, from its windows."""
    lo, hi = table.starts[d], table.starts[d + 1]
    out, end = [], 0
    for w in range(lo, hi):
        offset, length = int(table.offset[w]), int(table.length[w])
        piece = index[w]
        out.append(piece[end - offset:])
        end = offset + length
    return b"".join(out)


def _document_pairs(table, u, v, s):
    """Window pairs as document pairs; pairs with a window past the table
    (added after it was read) get a document past the last."""
    n = len(table)
    beyond = len(table.sizes)
    valid = (u >= 0) & (v >= 0) & ~np.isnan(s)
    u, v, s = u[valid], v[valid], s[valid]
    d = np.where(u < n, table.document[np.minimum(u, n - 1)] if n else beyond, beyond)
    e = np.where(v < n, table.document[np.minimum(v, n - 1)] if n else beyond, beyond)
    return d.astype(np.int64), e.astype(np.int64), s


def _largest(i, j, s):
    """Each (i, j) once, with its largest score."""
    if not len(i):
        return i, j, s
    order = np.lexsort((-s, j, i))
    i, j, s = i[order], j[order], s[order]
    first = np.r_[True, (i[1:] != i[:-1]) | (j[1:] != j[:-1])]
    return i[first], j[first], s[first]


def _by_document(table, window_scores, found, k):
    """Per query, the k best documents among the windows found (best
    first, ties by position; windows ranked best first, ties by position,
    so each document's first window is its best)."""
    n_q, wide = found.shape
    n = len(table)
    rows = np.repeat(np.arange(n_q), wide)
    w = found.reshape(-1)
    s = window_scores.reshape(-1)
    keep = (w >= 0) & (w < n) & ~np.isnan(s)
    rows, w, s = rows[keep], w[keep], s[keep]
    d = table.document[w]
    # Each (query, document) once: its best window, the first of its ties.
    order = np.lexsort((w, -s, d, rows))
    rows, w, s, d = rows[order], w[order], s[order], d[order]
    first = np.r_[True, (rows[1:] != rows[:-1]) | (d[1:] != d[:-1])] if len(rows) else \
        np.zeros(0, dtype=bool)
    rows, w, s, d = rows[first], w[first], s[first], d[first]
    order = np.lexsort((d, -s, rows))
    rows, w, s, d = rows[order], w[order], s[order], d[order]
    rank = np.arange(len(rows)) - np.searchsorted(rows, rows)
    fit = rank < k
    scores = np.full((n_q, k), np.nan)
    indices = np.full((n_q, k), -1, dtype=np.int64)
    where = np.full((n_q, k), -1, dtype=np.int64)
    scores[rows[fit], rank[fit]] = s[fit]
    indices[rows[fit], rank[fit]] = d[fit]
    where[rows[fit], rank[fit]] = w[fit]
    return scores, indices, where


def _top(best, where, k):
    """(scores, indices, windows) of each row's k best columns of ``best``
    (-inf: none), best first, ties by the smaller column."""
    n_rows, n_cols = best.shape
    keep = min(k, n_cols)
    order = np.lexsort((np.broadcast_to(np.arange(n_cols), best.shape), -best))[:, :keep]
    scores = np.full((n_rows, k), np.nan)
    indices = np.full((n_rows, k), -1, dtype=np.int64)
    windows = np.full((n_rows, k), -1, dtype=np.int64)
    got = np.take_along_axis(best, order, axis=1)
    there = np.isfinite(got)
    scores[:, :keep] = np.where(there, got, np.nan)
    indices[:, :keep] = np.where(there, order, -1)
    windows[:, :keep] = np.where(there, np.take_along_axis(where, order, axis=1), -1)
    return scores, indices, windows


class _Best:
    """A reducer (see _reduce): for each group of rows and each document of
    the columns, the best score of their cells and the first column
    (window) giving it. ``row_group[p]``: the group of row position p;
    ``col_document[q]``: the document of column position q. NaN (a pair
    over the joint size limit) is never a best."""

    def __init__(self, row_group, n_groups, col_document, n_docs):
        self.row_group, self.n_groups = row_group, n_groups
        self.col_document, self.n_docs = col_document, n_docs

    def start(self):
        return (np.full((self.n_groups, self.n_docs), -np.inf),
                np.full((self.n_groups, self.n_docs), _NONE, dtype=np.int64))

    def chunk(self, cells):
        parts = []
        for rows, cols, values in cells:
            col_positions, col_place = cols.first(_NONE)
            row_positions, row_place = rows.first(_NONE)
            docs = self.col_document[col_positions]
            order = np.lexsort((col_positions, docs))
            col_positions, col_place, docs = col_positions[order], col_place[order], docs[order]
            block = values[np.ix_(row_place, col_place)]
            block = np.where(np.isnan(block), -np.inf, block)
            starts = np.flatnonzero(np.r_[True, docs[1:] != docs[:-1]])
            best = np.maximum.reduceat(block, starts, axis=1)
            counts = np.diff(np.r_[starts, len(docs)])
            hit = block == np.repeat(best, counts, axis=1)
            first = np.minimum.reduceat(np.where(hit, col_positions[None, :], _NONE), starts,
                                        axis=1)
            groups = self.row_group[row_positions]
            parts.append((groups, docs[starts], best, first))
        return parts

    def combine(self, state, parts, poll=_no_poll):
        best, where = state
        for groups, docs, scores, first in parts:
            # Rows of one group: fold them one after another.
            for r in range(len(groups)):
                g = groups[r]
                old, old_where = best[g, docs], where[g, docs]
                new, new_where = scores[r], first[r]
                better = (new > old) | ((new == old) & (new_where < old_where))
                best[g, docs[better]] = new[better]
                where[g, docs[better]] = new_where[better]
            poll()
        return state

    def aggregate(self, state):
        best, where = state
        where = np.where(where == _NONE, -1, where)
        return best, where


def _checked_table(index, annex, path):
    """The table of a loaded window index, after checking that it cuts the
    documents its windows hold; IndexFileError naming ``path`` if not."""
    def refuse(why):
        raise IndexFileError(f"{path}: corrupt (its table of windows {why})")

    if not isinstance(annex, dict):
        refuse("is missing")
    need = {"window": int, "overlap": int, "max_bytes": int, "document": np.ndarray,
            "offset": np.ndarray, "length": np.ndarray, "sizes": np.ndarray}
    for name, kind in need.items():
        value = annex.get(name)
        if kind is int:
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
                refuse(f"lacks the whole number {name!r}")
        elif not (isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype.kind == "i"):
            refuse(f"lacks the array {name!r}")
    try:
        window, overlap = check_window(int(annex["window"]), int(annex["overlap"]))
    except ValueError as error:
        refuse(f"has a wrong window: {error}")
    max_bytes = int(annex["max_bytes"])
    if max_bytes < 0:
        refuse("has a negative max_bytes")
    sizes = annex["sizes"].astype(np.int64)
    document, offset, length = (annex[name].astype(np.int64)
                                for name in ("document", "offset", "length"))
    if len(sizes) and (sizes.min() < 0 or (max_bytes and sizes.max() > max_bytes)):
        refuse("gives a document a size it cannot have")
    expected = _Table.empty().grown(sizes.tolist(), window, overlap)
    if not (np.array_equal(expected.document, document) and np.array_equal(expected.offset, offset)
            and np.array_equal(expected.length, length)):
        refuse("does not cut its documents into windows as the window and overlap do")
    if len(index) != len(document):
        refuse(f"lists {len(document)} windows, the file holds {len(index)}")
    table = _Table(document, offset, length, sizes)
    held = index.corpus.lengths[index.ids]
    if not np.array_equal(held, length):
        refuse("gives a window another length than it has")
    # Where two windows of a document overlap, they hold the same bytes.
    for d in range(len(sizes)):
        lo, hi = table.starts[d], table.starts[d + 1]
        for w in range(lo + 1, hi):
            shared = int(offset[w - 1] + length[w - 1] - offset[w])
            if shared > 0 and index[w - 1][length[w - 1] - shared:] != index[w][:shared]:
                refuse(f"holds windows of document {d} that do not agree where they overlap")
    return table, window, overlap, None if max_bytes == 0 else max_bytes
