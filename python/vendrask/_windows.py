"""A score for documents longer than the joint size limit allows.

Each document is cut into consecutive windows of at most ``window`` bytes,
so that any two windows fit the limit together, and the windowed score of
``s`` through ``t`` is the mean, over the windows of ``s``, of each one's
best measure against any window of ``t``: how well ``t``, piece by piece,
says ``s``. It is a score of its own, not the measure: for two documents
that each fit in one window it equals ``measure(t, s)``.
"""
import numpy as np

from . import _checks
from ._pairs import EVERY_PAIR_FITS
from ._api import cdist, report
from ._documents import documents
from ._plan import combine_directions

# Windows of the rows scored against all windows of the columns at once: the
# block of window measures held at a time is this many rows wide.
_ROW_WINDOWS = 512


def windowed(ts, ss=None, *, window=EVERY_PAIR_FITS, symmetric=None, workers=1,
             errors="raise", max_bytes=None, progress=None):
    """The windowed score of every ``ss[j]`` through every ``ts[i]``: an
    array of shape ``(len(ts), len(ss))`` (``ss=None``: ``ts`` against
    itself, its diagonal 1.0).

    Cell ``[i, j]`` is the mean over the windows ``w`` of ``ss[j]`` of the
    largest ``measure(v, w)`` over the windows ``v`` of ``ts[i]``, where a
    document's windows are its consecutive pieces of ``window`` bytes (the
    last one shorter; an empty document is one empty window). ``window``
    is at most 16383, so that any two windows fit the joint size limit.
    ``symmetric`` combines both directions as elsewhere. Every window
    measure is exact (``_vendrask.measure`` bit for bit).

    Cost: about ``(len(t) / window) * (len(s) / window)`` measures of two
    windows for each pair of documents, so a pair of 64 KiB documents at the
    default window costs what 16 pairs of 16 KiB documents do.
    ``errors="nan"`` gives missing documents (None, NaN) NaN scores; other
    options as for cdist.
    """
    window = _checks.positive("window", window)
    if window > EVERY_PAIR_FITS:
        raise ValueError(f"window must be at most {EVERY_PAIR_FITS} bytes, so that any "
                         f"two windows fit the joint size limit, not {window}")
    direction = _checks.direction(symmetric)
    errors = _checks.errors(errors)
    workers = _checks.worker_count(workers)
    cut = ([], [])
    t_docs = documents(ts, "ts", max_bytes, errors == "nan", cut[0])
    s_docs = t_docs if ss is None else documents(ss, "ss", max_bytes, errors == "nan", cut[1])
    sides = [("ts", t_docs)] if ss is None else [("ts", t_docs), ("ss", s_docs)]
    report(max_bytes, sum(len(docs) for _, docs in sides),
           [f"{name}[{k}]" for (name, _), found in zip(sides, cut) for k in found],
           [f"{name}[{k}]" for name, docs in sides for k, doc in enumerate(docs) if doc is None],
           [], stacklevel=2)
    t_windows, t_owner = _cut(t_docs, window)
    s_windows, s_owner = (t_windows, t_owner) if ss is None else _cut(s_docs, window)
    forward = _through(t_windows, t_owner, len(t_docs), s_windows, s_owner, len(s_docs),
                       workers, progress)
    if direction == "forward":
        return forward
    backward = forward.T if ss is None else _through(
        s_windows, s_owner, len(s_docs), t_windows, t_owner, len(t_docs), workers, progress).T
    return combine_directions(forward, backward, direction)


def _cut(docs, window):
    """Every document's windows, and the document each window belongs to
    (a missing document has none)."""
    windows, owner = [], []
    for k, doc in enumerate(docs):
        if doc is None:
            continue
        pieces = [doc[at:at + window] for at in range(0, len(doc), window)] or [b""]
        windows.extend(pieces)
        owner.extend([k] * len(pieces))
    return windows, np.asarray(owner, dtype=np.int64)


def _through(t_windows, t_owner, n_t, s_windows, s_owner, n_s, workers, progress):
    out = np.full((n_t, n_s), np.nan)
    if not len(t_owner) or not len(s_owner):
        return out
    s_starts = np.flatnonzero(np.r_[True, s_owner[1:] != s_owner[:-1]])
    s_docs = s_owner[s_starts]
    s_counts = np.diff(np.r_[s_starts, len(s_owner)])
    # Row chunks end on a document's last window, so a maximum is never split.
    t_starts = np.flatnonzero(np.r_[True, t_owner[1:] != t_owner[:-1]])
    at = 0
    while at < len(t_starts):
        last = at + 1
        while last < len(t_starts) and t_starts[last] - t_starts[at] < _ROW_WINDOWS:
            last += 1
        lo = t_starts[at]
        hi = t_starts[last] if last < len(t_starts) else len(t_owner)
        block = cdist(t_windows[lo:hi], s_windows, workers=workers, progress=progress)
        starts = t_starts[at:last] - lo
        best = np.maximum.reduceat(block, starts, axis=0)
        means = np.add.reduceat(best, s_starts, axis=1) / s_counts
        out[np.ix_(t_owner[t_starts[at:last]], s_docs)] = means
        at = last
    return out
