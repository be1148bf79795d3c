"""Threshold pairs from sketch candidates: every candidate pair is scored
exactly, in large native batches, and only those at or over the threshold
are kept.

``rescore(corpus, chunks, ...)`` works on corpus ids, as an index does;
``near_pairs(docs, threshold)`` is the whole stage over a list, with the
result of ``vendrask.pairs(docs, threshold=threshold, symmetric=symmetric,
errors="nan")`` for the pairs that the bands find, score for score.

The bands come from the threshold (``setting``), from measurements of which
band settings keep the exact pairs on real corpora: see ``SETTINGS``.
"""
import numpy as np

from . import JOINT_SIZE_LIMIT, _checks
from ._corpus import Corpus
from ._documents import documents
from ._minhash import Bands, signatures
from ._plan import Plan, score as combine
from ._progress import JobProgress
from ._reduce import Pairs

# Pairs sent to the native core at once: enough to keep every worker busy,
# with the arrays around them at tens of MiB.
BATCH = 1 << 20
# Above this share of all pairs, candidates save next to nothing and the
# tiles of the exact path score the pairs at less cost per pair.
FALLBACK_SHARE = 0.5

# (threshold from, bands, rows) for symmetric "mean" and "min", and for None
# and "max" (where one document held in a longer one passes with a low
# Jaccard similarity): the first row whose threshold is at most the one asked
# for. Filled from bench/dedup_bench.py's table.
SETTINGS = {
    "mean": ((0.9, 16, 4), (0.7, 16, 4), (0.5, 16, 4), (0.0, 16, 4)),
    "max": ((0.0, 16, 4),),
}


def setting(threshold, direction):
    """(bands, rows) for pairs at or over ``threshold`` in ``direction``."""
    table = SETTINGS["mean" if direction in ("mean", "min") else "max"]
    for start, bands, rows in table:
        if threshold >= start:
            return bands, rows
    return table[-1][1:]


def rescore(corpus, chunks, threshold, direction, *, workers=1, job=None, sizes=None):
    """The id pairs (u < v) of ``chunks`` (an iterable of (u, v) arrays)
    scoring at least ``threshold``: (u, v, forward, backward) with forward
    = measure(u, v) and backward = measure(v, u). In direction "forward"
    (ordered pairs) a pair passes when either way does. Pairs longer
    together than the joint size limit are never scored. ``job``: a
    JobProgress; ``sizes``: what runs the batches (a cluster), as for
    Corpus.compute_sizes. Raises RuntimeError for a failed probe."""
    job = job or JobProgress(None, 0)
    lengths = corpus.lengths
    found = []
    for u, v in _batches(chunks):
        keep = lengths[u] + lengths[v] <= JOINT_SIZE_LIMIT
        u, v = u[keep], v[keep]
        if not len(u):
            continue
        ids = np.unique(np.concatenate([u, v]))
        fresh = np.count_nonzero(corpus.alone[ids] < 0) + np.count_nonzero(corpus.self_[ids] < 0)
        job.total += fresh + 2 * len(u)
        failure = corpus.compute_sizes(ids, ids, workers, job, sizes)
        if failure is None:
            forward, backward, failure = corpus.cross(u, v, workers=workers, progress=job,
                                                      sizes=sizes)
        if failure is not None:
            raise RuntimeError(failure)
        if direction == "forward":
            passing = (forward >= threshold) | (backward >= threshold)
        else:
            passing = combine(forward, backward, direction) >= threshold
        found.append((u[passing], v[passing], forward[passing], backward[passing]))
    if not found:
        empty = np.empty(0, dtype=np.int64)
        return empty, empty, np.empty(0), np.empty(0)
    return tuple(np.concatenate(part) for part in zip(*found))


def _batches(chunks):
    """The pairs of ``chunks`` again, in batches of about BATCH pairs."""
    held, count = [], 0
    for u, v in chunks:
        held.append((np.asarray(u, dtype=np.int64), np.asarray(v, dtype=np.int64)))
        count += len(u)
        if count >= BATCH:
            yield tuple(np.concatenate(part) for part in zip(*held))
            held, count = [], 0
    if held:
        yield tuple(np.concatenate(part) for part in zip(*held))


def near_pairs(docs, threshold, *, symmetric="mean", workers=1, max_bytes=None, progress=None,
               bands=None, rows=None):
    """The pairs scoring at least ``threshold`` among the sketch candidates:
    ``(i, j, score)`` as ``vendrask.pairs(docs, threshold=threshold,
    symmetric=symmetric, errors="nan")`` gives them (ordered pairs with
    symmetric=None, else i < j; by i, then j), every score exact, only pairs
    the bands miss missing. ``bands`` and ``rows`` override the setting for
    the threshold. When the candidates are most of all pairs, every pair is
    scored instead."""
    threshold = _checks.score("threshold", threshold)
    direction = _checks.direction(symmetric)
    workers = _checks.worker_count(workers)
    corpus = Corpus(_checks.max_bytes(max_bytes))
    ids = corpus.add(documents(docs, "docs", corpus.max_bytes, True))
    if (bands is None) != (rows is None):
        raise TypeError("near_pairs needs both bands and rows, or neither")
    if bands is None:
        bands, rows = setting(threshold, direction)
    else:
        bands, rows = _checks.positive("bands", bands), _checks.positive("rows", rows)
    # Only documents that fit with some other document take part: a missing
    # one, or one over the limit alone, would only add pairs to drop.
    shortest = corpus.lengths.min() if len(corpus) else 0
    member = np.flatnonzero(corpus.lengths + shortest <= JOINT_SIZE_LIMIT)
    candidates = Bands(bands, rows).add(signatures([corpus.strings[k] for k in member.tolist()]))
    if (candidates.bound > FALLBACK_SHARE * candidates.all_pairs
            and candidates.count() > FALLBACK_SHARE * candidates.all_pairs):
        plan = Plan(corpus, ids, None, direction=direction, errors="nan", names=("docs", "docs"))
        return plan.run(Pairs(threshold, distinct=symmetric is None,
                              unordered=symmetric is not None), workers, progress)
    with JobProgress(progress, 0) as job:
        chunks = ((member[i], member[j]) for i, j in candidates)
        u, v, forward, backward = rescore(corpus, chunks, threshold, direction,
                                         workers=workers, job=job)
        job.finish()
    return position_pairs(ids, corpus.missing, u, v, forward, backward, direction, threshold)


def position_pairs(ids, missing, u, v, forward, backward, direction, threshold):
    """Pairs of positions from the id pairs u < v that passed, and the pairs
    of positions holding one id (1.0; not for a missing document), as
    vendrask.pairs gives them: ordered pairs for "forward", else i < j."""
    order = np.argsort(ids, kind="stable")
    counts = np.bincount(ids, minlength=len(missing))
    starts = np.concatenate([[0], np.cumsum(counts)])

    def expand(a, b):
        """Every position pair of the id pairs (a[k], b[k]), and k for each."""
        n_a, n_b = counts[a], counts[b]
        total = n_a * n_b
        pair = np.repeat(np.arange(len(a)), total)
        r = np.arange(total.sum()) - np.repeat(np.cumsum(total) - total, total)
        return order[starts[a][pair] + r // n_b[pair]], order[starts[b][pair] + r % n_b[pair]], pair

    if direction == "forward":
        sides = [(u, v, forward), (v, u, backward)]
    else:
        sides = [(u, v, combine(forward, backward, direction))]
    parts = []
    for a, b, s in sides:
        keep = s >= threshold
        i, j, pair = expand(a[keep], b[keep])
        if direction != "forward":
            i, j = np.minimum(i, j), np.maximum(i, j)
        parts.append((i, j, s[keep][pair]))
    repeated = np.flatnonzero((counts > 1) & ~missing)
    i, j, _ = expand(repeated, repeated)
    keep = i != j if direction == "forward" else i < j
    parts.append((i[keep], j[keep], np.ones(int(keep.sum()))))
    i, j, s = (np.concatenate(part) for part in zip(*parts))
    sort = np.lexsort((j, i))
    return i[sort].astype(np.int64), j[sort].astype(np.int64), s[sort]
