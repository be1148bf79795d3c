"""The package's functions: many documents against each other, by tiles."""
import warnings

import numpy as np

from . import JOINT_SIZE_LIMIT, DocumentWarning, JointSizeError, _checks, _pairs
from ._corpus import Corpus
from ._documents import documents, documents_at, listed, sequence
from ._plan import DEFAULT_TILE, Plan, combine_directions
from ._progress import JobProgress
from ._reduce import Condensed, Dense, Pairs, TopK


def _plan(ts, ss, names, *, direction="forward", errors="raise", max_bytes=None, tile=None):
    """Converts both lists into one new corpus and plans the job over them."""
    errors = _checks.errors(errors)
    tile = DEFAULT_TILE if tile is None else _checks.positive("tile", tile)
    max_bytes = _checks.max_bytes(max_bytes)
    corpus = Corpus(max_bytes)
    missing = errors == "nan"
    cut = ([], [])
    row_ids = corpus.add(documents(ts, names[0], max_bytes, missing, cut[0]))
    col_ids = None if ss is None else corpus.add(documents(ss, names[1], max_bytes, missing,
                                                           cut[1]))
    plan = Plan(corpus, row_ids, col_ids, direction=direction, errors=errors, names=names,
                tile=tile)
    sides = [(names[0], row_ids)] if ss is None else [(names[0], row_ids), (names[1], col_ids)]
    report_plan(plan, sides, cut, stacklevel=4)
    return plan


def report_plan(plan, sides, cut, stacklevel):
    """report() for a job planned over whole lists: ``sides`` are (name,
    ids) per list, ``cut`` the positions cut per list."""
    corpus = plan.corpus
    unfit = plan.unfit() if plan.errors == "nan" else ([], [])
    named = lambda found: [f"{name}[{k}]" for (name, _), positions in zip(sides, found)
                           for k in np.asarray(positions, dtype=np.int64).tolist()]
    report(corpus.max_bytes, sum(len(ids) for _, ids in sides), named(cut),
           named([np.flatnonzero(corpus.missing[ids]) for _, ids in sides]), named(unfit),
           stacklevel=stacklevel)


def report(max_bytes, total, cut, missing, unfit, stacklevel):
    """Warns (DocumentWarning) of the documents, by name, that max_bytes
    cut, that are missing, or that are over the joint size limit with some
    other document: how many of ``total`` and which."""
    texts = {
        "cut": f"max_bytes={max_bytes} cut {len(cut)} of {total} documents",
        "missing": f"{len(missing)} of {total} documents are missing; their scores are NaN",
        "unfit": (f"{len(unfit)} of {total} documents are over the joint size limit of "
                  f"{JOINT_SIZE_LIMIT} bytes with some other document, and those pairs are NaN "
                  f"(max_bytes={_pairs.EVERY_PAIR_FITS} makes every pair fit; vendrask.windowed "
                  f"scores long documents)"),
    }
    for kind, names in (("cut", cut), ("missing", missing), ("unfit", unfit)):
        if names:
            warnings.warn(f"{texts[kind]}: {listed(names)}", DocumentWarning,
                          stacklevel=stacklevel + 1)
    if _pairs.cut_never_fit(max_bytes) and len(cut) >= 2:
        # Silently nothing: two documents cut to such a size never fit together.
        warnings.warn(
            f"max_bytes={max_bytes} is over {_pairs.EVERY_PAIR_FITS}: two different documents "
            f"cut to it are {2 * max_bytes} bytes together, over the joint size limit of "
            f"{JOINT_SIZE_LIMIT} bytes, and are never scored together (max_bytes="
            f"{_pairs.EVERY_PAIR_FITS} or less lets every pair fit)", DocumentWarning,
            stacklevel=stacklevel + 1)


def cdist(ts, ss, *, symmetric=None, dtype=np.float64, workers=1, errors="raise",
          max_bytes=None, progress=None, tile=None):
    """The measure of every ``ss[j]`` with the compressor primed by every ``ts[i]``.

    Returns an array of shape ``(len(ts), len(ss))`` whose cell ``[i, j]``
    equals ``_vendrask.measure(ts[i], ss[j])`` bit for bit. Documents may be
    ``str`` (taken as UTF-8), any bytes-like object of bytes, or a mix, in
    any iterable (a pandas Series too).

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
        ``True`` draws a tqdm bar (a widget in a notebook).
    tile: distinct documents per side of a tile (default 256), the unit of
        work between two reductions.
    """
    direction, dtype = _checks.direction(symmetric), _checks.float_dtype(dtype)
    workers = _checks.worker_count(workers)
    plan = _plan(ts, ss, ("ts", "ss"), direction=direction, errors=errors,
                 max_bytes=max_bytes, tile=tile)
    return plan.run(Dense(plan.rows.size, plan.cols.size, dtype), workers, progress)


def matrix(docs, *, symmetric=None, dtype=np.float64, workers=1, errors="raise",
           max_bytes=None, progress=None, tile=None):
    """``cdist(docs, docs)``: every document against every other, computing
    each cross size once. Options as for cdist; over-limit pairs are named
    ``docs[i]`` and ``docs[j]``."""
    direction, dtype = _checks.direction(symmetric), _checks.float_dtype(dtype)
    workers = _checks.worker_count(workers)
    plan = _plan(docs, None, ("docs", "docs"), direction=direction, errors=errors,
                 max_bytes=max_bytes, tile=tile)
    return plan.run(Dense(plan.rows.size, plan.rows.size, dtype), workers, progress)


def nearest(ts, ss=None, *, k=5, symmetric=None, primed_by="query", score_cutoff=None,
            workers=1, errors="raise", max_bytes=None, progress=None, tile=None):
    """The ``k`` best-scoring documents of ``ss`` for each query ``ts[i]``:
    ``(scores, indices)``, float64 and int64 arrays of shape
    ``(len(ts), k)``, as scikit-learn's ``kneighbors`` gives them but with
    similarities in place of distances.

    What a score measures:
    primed_by="query" (default): ``measure(ts[i], ss[j])``, the document
        compressed with the query as the preset dictionary.
    primed_by="document": ``measure(ss[j], ts[i])``, the query compressed
        with the document as the preset dictionary: high when the document
        holds the query's text, the direction for finding which document a
        passage comes from.
    symmetric: "mean", "min" or "max" of both directions (``primed_by`` then
        has no say); "mean" suits near-duplicates and classification.

    Each row is sorted by score, highest first, ties broken by the smaller
    index. With ``ss=None`` the documents are searched against themselves and
    each row leaves out its own position (other positions holding the same
    bytes stay, at 1.0). NaN cells (``errors="nan"``) are never candidates,
    nor are scores below ``score_cutoff`` (from 0 to 1); rows with fewer
    than ``k`` candidates are padded with NaN and -1, so a ``k`` beyond the
    number of documents costs only that padding. Other options as for cdist; memory
    grows with ``len(ts) * k``, never with ``len(ts) * len(ss)``.
    """
    k = _checks.positive("k", k)
    cutoff = _checks.score_bound("score_cutoff", score_cutoff, allow_none=True)
    direction = _checks.direction(symmetric, primed_by)
    workers = _checks.worker_count(workers)
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    plan = _plan(ts, ss, names, direction=direction, errors=errors, max_bytes=max_bytes,
                 tile=tile)
    # Against itself a row leaves out its own position.
    reducer = TopK(plan.rows.size, k, cutoff, leave_out_own=ss is None, n_cols=plan.cols.size)
    return plan.run(reducer, workers, progress)


def pairs(ts, ss=None, *, threshold, symmetric=None, workers=1, errors="raise",
          max_bytes=None, progress=None, tile=None):
    """Every pair whose score is at least ``threshold`` (from 0 to 1): three arrays
    ``(i, j, score)`` in row-major order (by ``i``, then ``j``), where
    ``score == measure(ts[i], ss[j])``.

    With ``ss=None`` the pairs are ordered pairs of positions ``i != j`` of
    ``ts``. With ``symmetric`` ("mean", "min" or "max") the score combines
    both directions; with ``ss=None`` each unordered pair then appears once,
    with ``i < j``. NaN scores never pass. Memory grows with the number of
    pairs found. For a sparse matrix:
    ``scipy.sparse.coo_array((score, (i, j)), shape=(len(ts), len(ts if ss is None else ss)))``;
    for a table: ``pandas.DataFrame({"i": i, "j": j, "score": score})``.
    Other options as for cdist.
    """
    threshold = _checks.score_bound("threshold", threshold)
    direction = _checks.direction(symmetric)
    workers = _checks.worker_count(workers)
    names = ("ts", "ts") if ss is None else ("ts", "ss")
    plan = _plan(ts, ss, names, direction=direction, errors=errors, max_bytes=max_bytes,
                 tile=tile)
    return plan.run(Pairs(threshold, *_pairs.listing(ss is None, symmetric)), workers, progress)


def pdist(docs, *, symmetric="mean", workers=1, errors="raise", max_bytes=None, progress=None,
          tile=None):
    """Condensed distances ``1 - score`` for every pair ``i < j``, in the order
    of ``scipy.spatial.distance.pdist``, with the score combining both
    directions (``symmetric``: "mean", "min" or "max"). The result goes
    straight into ``scipy.cluster.hierarchy.linkage`` and ``squareform``; it
    holds half of what the square matrix would. With ``errors="nan"`` pairs
    over the joint size limit are NaN, which ``linkage`` refuses: treat them
    as unrelated with ``numpy.nan_to_num(d, nan=1.0)`` first. Other options
    as for cdist.
    """
    how = _checks.symmetric(symmetric, allow_none=False)
    workers = _checks.worker_count(workers)
    plan = _plan(docs, None, ("docs", "docs"), direction=how, errors=errors,
                 max_bytes=max_bytes, tile=tile)
    return plan.run(Condensed(plan.rows.size), workers, progress)


def pairwise(ts, ss=None, *, rows=None, cols=None, symmetric=None, workers=1, errors="raise",
             max_bytes=None, progress=None):
    """The measure of each pair: ``out[k] == measure(ts[k], ss[k])``, or in
    index form ``pairwise(docs, rows=i, cols=j)`` with ``out[k] ==
    measure(docs[i[k]], docs[j[k]])``. Returns float64 of shape ``(n,)``.
    Swap the lists (or rows and cols) for the other direction; ``symmetric``
    ("mean", "min" or "max") combines both.

    Each distinct document's lone and self-primed sizes are computed once,
    and a pair and its reverse share their two cross sizes, so rescoring
    candidate pairs drawn from one corpus costs about one compression per
    ordered pair. In index form only the documents at ``rows`` and ``cols``
    are converted and sized: ``docs`` may be a long list (or Series) of which
    a few pairs are rescored. Other options as for cdist.
    """
    workers = _checks.worker_count(workers)
    errors = _checks.errors(errors)
    direction = _checks.direction(symmetric)
    max_bytes = _checks.max_bytes(max_bytes)
    if (rows is None) != (cols is None):
        raise TypeError("pairwise needs both rows and cols, or neither")
    corpus = Corpus(max_bytes)
    if rows is not None:
        if ss is not None:
            raise TypeError("pairwise takes either ss or rows and cols, not both")
        docs = sequence(ts, "docs")
        rows = _checks.indices("rows", rows, len(docs))
        cols = _checks.indices("cols", cols, len(docs))
        if len(rows) != len(cols):
            raise ValueError(f"rows and cols differ in length: {len(rows)} and {len(cols)}")
        needed = np.unique(np.concatenate([rows, cols]))
        cut = []
        ids = corpus.add(documents_at(docs, needed.tolist(), "docs", max_bytes, errors == "nan",
                                      cut))
        t, s = ids[np.searchsorted(needed, rows)], ids[np.searchsorted(needed, cols)]
        names, where_t, where_s = ("docs", "docs"), rows, cols
        cut, total = [f"docs[{k}]" for k in cut], len(needed)
    else:
        if ss is None:
            raise TypeError("pairwise needs ss, or rows and cols")
        cut = ([], [])
        t = corpus.add(documents(ts, "ts", max_bytes, errors == "nan", cut[0]))
        s = corpus.add(documents(ss, "ss", max_bytes, errors == "nan", cut[1]))
        if len(t) != len(s):
            raise ValueError(f"ts and ss differ in length: {len(t)} and {len(s)}")
        names = ("ts", "ss")
        where_t = where_s = np.arange(len(t))
        cut, total = [f"ts[{k}]" for k in cut[0]] + [f"ss[{k}]" for k in cut[1]], 2 * len(t)
    _report_pairs(corpus, t, s, where_t, where_s, names, cut, total)
    return _pair_scores(corpus, t, s, where_t, where_s, names, direction, errors, workers,
                        progress)


def _report_pairs(corpus, t, s, where_t, where_s, names, cut, total):
    """report() for pairwise: the documents of the pairs asked for."""
    missing = corpus.missing

    def named(mask):
        found = {f"{names[0]}[{k}]" for k in where_t[mask].tolist()}
        found |= {f"{names[1]}[{k}]" for k in where_s[mask].tolist()}
        return sorted(found, key=lambda name: (not name.startswith(names[0] + "["),
                                               int(name.split("[")[1][:-1])))
    over = _pairs.over_limit(t, s, corpus.lengths, missing)
    lost = {f"{names[0]}[{k}]" for k in where_t[missing[t]].tolist()}
    lost |= {f"{names[1]}[{k}]" for k in where_s[missing[s]].tolist()}
    report(corpus.max_bytes, total, cut, sorted(lost), named(over), stacklevel=3)


def _pair_scores(corpus, t, s, where_t, where_s, names, direction, errors, workers, progress):
    """Scores of the id pairs (t[k], s[k]); where_* name them in errors."""
    same, todo = _pairs.fitting(t, s, corpus.lengths, corpus.missing)
    if errors == "raise":
        _pairs.refuse_first(~same & ~todo, t, s, where_t, where_s, corpus.lengths, names)
    t_todo, s_todo = t[todo], s[todo]
    both = direction != "forward"
    lone_ids = np.unique(np.concatenate([t_todo, s_todo]) if both else s_todo)
    primed_ids = np.unique(np.concatenate([t_todo, s_todo]))
    work = len(lone_ids) + len(primed_ids) + corpus.cross_work(t_todo, s_todo)
    with JobProgress(progress, work) as progress:
        failure = corpus.compute_sizes(lone_ids, primed_ids, workers, progress)
        forward, backward, failed = corpus.cross(t_todo, s_todo, both_ways=both,
                                                 workers=workers, progress=progress)
        failure = failure or failed
        out = np.full(len(t), np.nan)
        out[same] = 1.0
        out[todo] = combine_directions(forward, backward, direction)
        progress.finish()
        if failure is not None and errors == "raise":
            raise RuntimeError(failure)
        return out


def scorer(t, s, *, processor=None, score_cutoff=None, max_bytes=None, **kwargs):
    """``measure(t, s)`` as a scorer for rapidfuzz (``process.extract``,
    ``extractOne``, ``cdist``: ``scorer=vendrask.scorer``). Higher is more
    similar, from 0 to 1, not 0 to 100 as rapidfuzz's own scorers: a
    ``score_cutoff`` outside [0, 1] is refused (for percentages, use
    ``process.cdist(..., score_multiplier=100)``). ``processor`` is applied
    to both strings first; a score below ``score_cutoff`` comes back as 0. ``str`` is taken as
    UTF-8; ``max_bytes`` cuts both first. A pair over the joint size limit
    raises JointSizeError."""
    import _vendrask  # only here: the package's own work runs without the module-wide state

    if processor is not None:
        t, s = processor(t), processor(s)
    cutoff = _checks.score_bound("score_cutoff", score_cutoff, allow_none=True)
    t, s = documents([t, s], "scorer arguments", max_bytes)
    if not _pairs.fits(t, s):
        raise JointSizeError(0, 1, len(t), len(s), ("scorer arguments", "scorer arguments"))
    value = _vendrask.measure(t, s)
    if cutoff is not None and value < cutoff:
        return 0.0
    return value
