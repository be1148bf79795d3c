"""The package's functions: many documents against each other, by tiles."""
import numpy as np

import _vendrask

from . import JOINT_SIZE_LIMIT, JointSizeError
from . import _core
from ._core import Corpus, Progress, check_choice, documents, first_over_limit, partnered, worker_count
from ._reduce import Condensed, Dense, Pairs, Side, TopK, combine

_ERRORS = ("raise", "nan")
_SYMMETRIC = ("mean", "min", "max")


class _Job:
    """One list against another (or against itself) ready to run by tiles:
    the documents converted and interned, the over-limit check made, and
    the lone and self-primed sizes of every string that is paired computed."""

    def __init__(self, ts, ss, names, *, workers, errors, max_bytes, progress, both_ways=False):
        self.workers = worker_count(workers)
        self.errors = check_choice("errors", errors, _ERRORS)
        t = documents(ts, names[0], max_bytes)
        s = None if ss is None else documents(ss, names[1], max_bytes)
        self.corpus = Corpus(t) if s is None else Corpus(t, s)
        ids_t = self.corpus.ids[0]
        ids_s = ids_t if s is None else self.corpus.ids[1]
        # The same strings in the same order: one list against itself.
        self.square = s is None or np.array_equal(ids_t, ids_s)
        lengths = self.corpus.lengths
        if self.errors == "raise":
            over = first_over_limit(ids_t, ids_s, lengths)
            if over is not None:
                i, j = over
                raise JointSizeError(i, j, len(t[i]), len((t if s is None else s)[j]), names)
        self.rows = Side(ids_t)
        self.cols = self.rows if self.square else Side(ids_s)
        rows, cols = self.rows.distinct, self.cols.distinct
        in_rows = np.zeros(len(lengths), dtype=bool)
        in_rows[rows] = True
        in_cols = in_rows
        if not self.square:
            in_cols = np.zeros(len(lengths), dtype=bool)
            in_cols[cols] = True
        # Only strings paired with something are compressed at all.
        row_partners = partnered(rows, cols, lengths, in_cols)
        paired_rows = rows[row_partners > 0]
        if self.square:
            alone = self_ = paired_rows
        else:
            paired_cols = cols[partnered(cols, rows, lengths, in_rows) > 0]
            alone = np.union1d(paired_cols, paired_rows) if both_ways else paired_cols
            self_ = np.union1d(paired_rows, paired_cols)
        both_ways = both_ways or self.square
        cross = int(row_partners.sum()) * (1 if self.square else 2)
        self.progress = Progress(progress, len(alone) + len(self_) + cross)
        self.corpus.compute_sizes(alone, self_, self.workers, self.progress)
        self.both_ways = both_ways

    def tiles(self):
        """(r0, r1, c0, c1, forward, backward, diagonal) for every tile: rows
        [r0, r1) against columns [c0, c1) in the sides' places. For one list
        against itself only tiles on and above the diagonal come, each
        off-diagonal one with its mirror in backward; otherwise backward is
        there when both directions were asked for."""
        rows, cols, tile = self.rows.distinct, self.cols.distinct, _core.TILE
        options = {"workers": self.workers, "progress": self.progress}
        for r0 in range(0, len(rows), tile):
            r1 = min(r0 + tile, len(rows))
            for c0 in range(r0 if self.square else 0, len(cols), tile):
                c1 = min(c0 + tile, len(cols))
                diagonal = self.square and r0 == c0
                forward, backward = self.corpus.block(
                    rows[r0:r1], cols[c0:c1], diagonal=diagonal,
                    mirror=not diagonal and self.both_ways, **options)
                yield r0, r1, c0, c1, forward, backward, diagonal

    def finish(self):
        self.progress.finish()
        if self.corpus.failure is not None and self.errors == "raise":
            raise RuntimeError(self.corpus.failure)


def _symmetric(how, allow_none=True):
    if how is None and allow_none:
        return None
    return check_choice("symmetric", how, _SYMMETRIC)


def cdist(ts, ss, *, symmetric=None, dtype=np.float64, workers=1, errors="raise",
          max_bytes=None, progress=None):
    """The measure of every ``ss[j]`` through every ``ts[i]``.

    Returns an array of shape ``(len(ts), len(ss))`` whose cell ``[i, j]``
    equals ``_vendrask.measure(ts[i], ss[j])`` bit for bit. Documents may be
    ``str`` (taken as UTF-8), any bytes-like object, or a mix, in any
    iterable (a pandas Series too).

    symmetric: None, or "mean", "min" or "max" of ``measure(ts[i], ss[j])``
        and ``measure(ss[j], ts[i])``; "mean" is ``(a + b) * 0.5`` in float64.
    dtype: ``numpy.float64`` (default) or ``numpy.float32``, which halves the
        memory and rounds each value to single precision.
    workers: threads to use; -1 for every CPU this process may run on. The
        GIL is released meanwhile.
    errors: "raise" refuses a pair of different documents longer together
        than JOINT_SIZE_LIMIT with JointSizeError before any work; "nan"
        makes that cell NaN and computes the rest.
    max_bytes: cut each document to its first ``max_bytes`` bytes first.
    progress: called as ``progress(done, total)`` from the calling thread at
        the start, about ten times a second and at the end (counting
        compressions); an exception from it, or Ctrl-C, stops the work.
    """
    how, dtype = _symmetric(symmetric), _float_dtype(dtype)
    job = _Job(ts, ss, ("ts", "ss"), workers=workers, errors=errors, max_bytes=max_bytes,
               progress=progress, both_ways=how is not None)
    return _dense(job, how, dtype)


def matrix(docs, *, symmetric=None, dtype=np.float64, workers=1, errors="raise",
           max_bytes=None, progress=None):
    """``cdist(docs, docs)``: every document through every other, computing
    each cross size once. Options as for cdist; over-limit pairs are named
    ``docs[i]`` and ``docs[j]``."""
    how, dtype = _symmetric(symmetric), _float_dtype(dtype)
    job = _Job(docs, None, ("docs", "docs"), workers=workers, errors=errors, max_bytes=max_bytes,
               progress=progress)
    return _dense(job, how, dtype)


def _dense(job, how, dtype):
    out = Dense(job.rows, job.cols, dtype)
    for r0, r1, c0, c1, forward, backward, diagonal in job.tiles():
        if diagonal:
            out.add(r0, r1, c0, c1, forward if how is None else combine(forward, forward.T, how))
        elif how is None:
            out.add(r0, r1, c0, c1, forward)
            if job.square:
                out.add(c0, c1, r0, r1, backward)
        else:
            scores = combine(forward, backward.T, how)
            out.add(r0, r1, c0, c1, scores)
            if job.square:
                out.add(c0, c1, r0, r1, scores.T)
    job.finish()
    return out.out


def nearest(ts, ss=None, *, k=5, score_cutoff=None, workers=1, errors="raise", max_bytes=None,
            progress=None):
    """The ``k`` documents of ``ss`` through which each document of ``ts`` is
    best expressed: ``(scores, indices)``, float64 and int64 arrays of shape
    ``(len(ts), k)``, as scikit-learn's ``kneighbors`` gives them but with
    similarities in place of distances.

    Each row is sorted by score, highest first, ties broken by the smaller
    index, and ``scores[i, r] == measure(ts[i], ss[indices[i, r]])`` bit for
    bit. With ``ss=None`` the documents are searched against themselves and
    each row leaves out its own position (other positions holding the same
    bytes stay, at 1.0). NaN cells (``errors="nan"``) are never candidates,
    nor are scores below ``score_cutoff``; rows with fewer than ``k``
    candidates are padded with NaN and -1. Other options as for cdist; memory
    grows with ``len(ts) * k``, never with ``len(ts) * len(ss)``.
    """
    k = _positive("k", k)
    cutoff = None if score_cutoff is None else float(score_cutoff)
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    job = _Job(ts, ss, names, workers=workers, errors=errors, max_bytes=max_bytes,
               progress=progress)
    best = TopK(job.rows, job.cols, k, cutoff, leave_out_own=ss is None)
    for r0, r1, c0, c1, forward, backward, diagonal in job.tiles():
        best.add(r0, r1, c0, c1, forward)
        if job.square and not diagonal:
            best.add(c0, c1, r0, r1, backward)
    job.finish()
    return best.result()


def pairs(ts, ss=None, *, threshold, symmetric=None, workers=1, errors="raise",
          max_bytes=None, progress=None):
    """Every pair whose score is at least ``threshold``: three arrays
    ``(i, j, score)`` in row-major order (by ``i``, then ``j``), where
    ``score == measure(ts[i], ss[j])``.

    With ``ss=None`` the pairs are ordered pairs of positions ``i != j`` of
    ``ts``. With ``symmetric`` ("mean", "min" or "max") the score combines
    both directions; with ``ss=None`` each unordered pair then appears once,
    with ``i < j``. NaN scores never pass. Memory grows with the number of
    pairs found. For a sparse matrix:
    ``scipy.sparse.coo_array((score, (i, j)), shape=(len(ts), len(ss or ts)))``;
    for a table: ``pandas.DataFrame({"i": i, "j": j, "score": score})``.
    Other options as for cdist.
    """
    threshold = float(threshold)
    if threshold != threshold:
        raise ValueError("threshold must be a number, not NaN")
    how = _symmetric(symmetric)
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    job = _Job(ts, ss, names, workers=workers, errors=errors, max_bytes=max_bytes,
               progress=progress, both_ways=how is not None)
    found = Pairs(job.rows, job.cols, threshold)
    one_list = ss is None
    for r0, r1, c0, c1, forward, backward, diagonal in job.tiles():
        if how is None:
            found.add(r0, r1, c0, c1, forward, distinct=one_list)
            if job.square and not diagonal:
                found.add(c0, c1, r0, r1, backward, distinct=one_list)
            continue
        scores = combine(forward, (forward if diagonal else backward).T, how)
        if one_list:
            found.add(r0, r1, c0, c1, scores, upper=diagonal, unordered=True)
        else:
            found.add(r0, r1, c0, c1, scores)
            if job.square and not diagonal:
                found.add(c0, c1, r0, r1, scores.T)
    job.finish()
    return found.result()


def pdist(docs, *, symmetric="mean", workers=1, errors="raise", max_bytes=None, progress=None):
    """Condensed distances ``1 - score`` for every pair ``i < j``, in the order
    of ``scipy.spatial.distance.pdist``, with the score combining both
    directions (``symmetric``: "mean", "min" or "max"). The result goes
    straight into ``scipy.cluster.hierarchy.linkage`` and ``squareform``; it
    holds half of what the square matrix would. Other options as for cdist.
    """
    how = _symmetric(symmetric, allow_none=False)
    job = _Job(docs, None, ("docs", "docs"), workers=workers, errors=errors,
               max_bytes=max_bytes, progress=progress)
    out = Condensed(job.rows)
    for r0, r1, c0, c1, forward, backward, diagonal in job.tiles():
        out.add(r0, r1, c0, c1, combine(forward, (forward if diagonal else backward).T, how),
                upper=diagonal)
    job.finish()
    return out.out


def pairwise(ts, ss=None, *, rows=None, cols=None, workers=1, errors="raise", max_bytes=None,
             progress=None):
    """The measure of each pair: ``out[k] == measure(ts[k], ss[k])``, or in
    index form ``pairwise(docs, rows=i, cols=j)`` with ``out[k] ==
    measure(docs[i[k]], docs[j[k]])``. Returns float64 of shape ``(n,)``.

    Each distinct document's lone and self-primed sizes are computed once,
    and a pair and its reverse share their two cross sizes, so rescoring
    candidate pairs drawn from one corpus costs about one compression per
    ordered pair. Other options as for cdist.
    """
    workers = worker_count(workers)
    errors = check_choice("errors", errors, _ERRORS)
    if (rows is None) != (cols is None):
        raise TypeError("pairwise needs both rows and cols, or neither")
    if rows is not None:
        if ss is not None:
            raise TypeError("pairwise takes either ss or rows and cols, not both")
        docs = documents(ts, "docs", max_bytes)
        corpus = Corpus(docs)
        rows, cols = _indices("rows", rows, len(docs)), _indices("cols", cols, len(docs))
        if len(rows) != len(cols):
            raise ValueError(f"rows and cols differ in length: {len(rows)} and {len(cols)}")
        t = corpus.ids[0][rows]
        s = corpus.ids[0][cols]
        names, where_t, where_s = ("docs", "docs"), rows, cols
    else:
        if ss is None:
            raise TypeError("pairwise needs ss, or rows and cols")
        t_docs, s_docs = documents(ts, "ts", max_bytes), documents(ss, "ss", max_bytes)
        if len(t_docs) != len(s_docs):
            raise ValueError(f"ts and ss differ in length: {len(t_docs)} and {len(s_docs)}")
        corpus = Corpus(t_docs, s_docs)
        t, s = corpus.ids
        names = ("ts", "ss")
        where_t = where_s = np.arange(len(t))
    lengths = corpus.lengths
    same = t == s
    todo = ~same & (lengths[t] + lengths[s] <= JOINT_SIZE_LIMIT)
    if errors == "raise":
        over = np.flatnonzero(~same & ~todo)
        if len(over):
            k = over[0]
            raise JointSizeError(int(where_t[k]), int(where_s[k]), int(lengths[t[k]]),
                                 int(lengths[s[k]]), names)
    t_todo, s_todo = t[todo], s[todo]
    # A pair and its reverse share both cross sizes: probe each unordered
    # pair once in each direction.
    lo, hi = np.minimum(t_todo, s_todo), np.maximum(t_todo, s_todo)
    keys, which = np.unique(lo * len(lengths) + hi, return_inverse=True)
    which = which.reshape(-1)
    lo_u, hi_u = keys // len(lengths), keys % len(lengths)
    alone = np.unique(s_todo)
    self_ = np.unique(np.concatenate([t_todo, s_todo]))
    progress = Progress(progress, len(alone) + len(self_) + 2 * len(keys))
    corpus.compute_sizes(alone, self_, workers, progress)
    # Grouped by data string: one string against a run of dictionaries.
    data = np.concatenate([hi_u, lo_u])
    dictionaries = np.concatenate([lo_u, hi_u])
    order = np.lexsort((dictionaries, data))
    sizes = np.empty(len(data), dtype=np.int32)
    sizes[order] = corpus.probe(dictionaries[order], data[order], workers, progress)
    hi_after_lo, lo_after_hi = sizes[:len(keys)], sizes[len(keys):]
    t_is_lo = t_todo == lo_u[which]
    s_after_t = np.where(t_is_lo, hi_after_lo[which], lo_after_hi[which])
    t_after_s = np.where(t_is_lo, lo_after_hi[which], hi_after_lo[which])
    out = np.full(len(t), np.nan)
    out[same] = 1.0
    out[todo] = corpus.quotients(corpus.alone[s_todo], s_after_t, t_after_s,
                                 corpus.self_[s_todo], corpus.self_[t_todo])
    progress.finish()
    if corpus.failure is not None and errors == "raise":
        raise RuntimeError(corpus.failure)
    return out


def scorer(t, s, *, processor=None, score_cutoff=None, max_bytes=None, **kwargs):
    """``measure(t, s)`` as a scorer for rapidfuzz (``process.extract``,
    ``extractOne``, ``cdist``: ``scorer=vendrask.scorer``). Higher is more
    similar, from 0 to 1. ``processor`` is applied to both strings first;
    a score below ``score_cutoff`` comes back as 0. ``str`` is taken as
    UTF-8; ``max_bytes`` cuts both first. A pair over the joint size limit
    raises JointSizeError."""
    if processor is not None:
        t, s = processor(t), processor(s)
    t, s = documents([t, s], "scorer arguments", max_bytes)
    if t != s and len(t) + len(s) > JOINT_SIZE_LIMIT:
        raise JointSizeError(0, 1, len(t), len(s), ("scorer arguments", "scorer arguments"))
    score = _vendrask.measure(t, s)
    if score_cutoff is not None and score < score_cutoff:
        return 0.0
    return score


def _float_dtype(dtype):
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.float64), np.dtype(np.float32)):
        raise ValueError(f"dtype must be float64 or float32, not {dtype}")
    return dtype


def _positive(name, value):
    value = int(value) if isinstance(value, (int, np.integer)) else value
    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return value


def _indices(name, values, n):
    values = np.asarray(values)
    if values.ndim != 1 or not (values.dtype.kind in "iu" or len(values) == 0):
        raise TypeError(f"{name} must be a one-dimensional sequence of integers")
    values = values.astype(np.int64)
    bad = np.flatnonzero((values < -n) | (values >= n))
    if len(bad):
        raise IndexError(f"{name}[{bad[0]}] = {values[bad[0]]} is out of range for {n} documents")
    return np.where(values < 0, values + n, values)
