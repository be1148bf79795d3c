"""Threshold pairs from sketch candidates: every candidate pair is scored
exactly, in large native batches, and only those at or over the threshold
are kept.

``rescore(corpus, chunks, ...)`` works on corpus ids, as an index does;
``near_pairs(docs, threshold)`` is the whole stage over a list, with the
result of ``vendrask.pairs(docs, threshold=threshold, symmetric=symmetric,
errors="nan")`` for the pairs that the sketches find, score for score.

The bands come from the threshold (``setting``), from measurements of which
band settings keep the exact pairs on real corpora: see ``SETTINGS``.
"""
import numpy as np

from . import _checks, _pairs
from ._corpus import Corpus
from ._documents import documents
from ._minhash import Bands, agreement, signatures
from ._plan import Plan, Side, combine_directions as combine
from ._reduce import Pairs, listed_pairs
from ._progress import JobProgress

# Pairs sent to the native core at once: 131 072 compressions keep every
# worker busy for seconds, and the arrays around them stay at a few MiB (with
# 2^20 pairs they took 150 MiB, three times the exact path's peak).
BATCH = 1 << 16
# Above this share of all pairs, candidates save next to nothing and the
# tiles of the exact path score the pairs at less cost per pair.
FALLBACK_SHARE = 0.5

# (threshold from, bands, rows): the first row whose threshold is at most
# the one asked for. Measured by bench/dedup_bench.py on 2000 documents each
# of licence texts, edited copies of prose, code and log lines: the setting
# that keeps 99% of the exact pairs (95% at 0.3) on every corpus, at the
# threshold and also 0.05 under it (the safety margin: a corpus whose pairs
# share somewhat fewer shingles for the same score still keeps its pairs),
# for the fewest kilobytes of pairs to score, and on 100 000 chunks of code
# and prose for the fewest candidates (these grow as the square of the
# corpus). Per document, candidates and (after the screen below) pairs
# scored; recall with the screen:
#
#   mean  bands x rows      licences    edited      code        lines       worst recall  100 000
#   0.3   48 x 2            295 / 101   177 / 0.62  76 / 0.21   272 / 226   0.9962 (lines)
#   0.5   32 x 4 (+ 40 x 3)  42 / 22    0.6 / 0.11  0.3 / 0.01  106 / 33    0.9955 (edited)  23
#   0.7   24 x 4             33 / 5.4   0.5 / 0.10  0.1 / 0.00   29 / 6.0   0.9994 (lines)
#   0.9   12 x 8 (+ 20 x 5) 3.8 / 0.39  0.1 / 0.04  0.0 / 0.00   11 / 0.95  1.0
#
# At 0.5, 40 x 3 bands kept every pair of licences, edited prose and code
# but made 251 candidates per document in 100 000 chunks, ten times as many
# as in 10 000 (slots where common shingles agree across unrelated code);
# 32 x 4 bands make 23, and short documents still meet through 40 x 3 (the
# SHORT_BANDS of _minhash: log lines 0.9973). At 0.9, 12 x 8 alone kept 15
# of the 16 pairs of log lines. The margin holds everywhere
# but on log lines, whose scores are high for the few shingles they share
# (0.985 of their pairs at 0.45, 0.980 at 0.25), and on licences at 0.45
# just (0.9907). Fewer rows at 0.3 lose pairs of code (32 x 3 keeps 0.93),
# so its 48 x 2 bands make candidates of 9% of all pairs of code: at 0.3 the
# stage costs the square of the corpus, a tenth of the exact path's.
# For None and "max" a document held in a longer one passes with few
# shingles in common: 0.5 needs 20 x 2 (149, 142, 15 and 165 candidates;
# recall 0.9987 on lines, 1.0 elsewhere); the others are as for "mean".
# "min" passes only where "mean" does. Under 0.3 nothing was measured: the
# most sensitive setting, knowing that it finds fewer of the pairs.
SETTINGS = {
    "mean": ((0.9, 12, 8), (0.7, 24, 4), (0.5, 32, 4), (0.3, 48, 2), (0.0, 64, 2)),
    "max": ((0.9, 12, 8), (0.7, 24, 4), (0.5, 20, 2), (0.3, 48, 2), (0.0, 64, 2)),
}


# Candidates whose signatures agree on fewer slots than the threshold less a
# margin are dropped before any compression. Bands that find 99% of the
# pairs at 0.45 cannot also pass over pairs of Jaccard similarity 0.2 (that
# would take thousands of slots), and the background of such pairs grows as
# the square of the corpus: on 20 000 chunks of code, 80 candidates per
# document, of which 1.3 agree on 40% of the slots. Comparing two signatures
# costs about a hundredth of a compression. Of the exact pairs at the
# threshold less 0.05, 99.9% agree on more than the threshold less 0.07
# where both documents have 256 bytes or more (licences, edited prose), and
# less 0.17 where one is shorter (log lines: their scores are high for the
# shingles they share). The margins are those, rounded up.
SCREEN_MARGIN = 0.1
SCREEN_MARGIN_SHORT = 0.2
SHORT = 256


def screen(chunks, sigs, lengths, threshold):
    """The pairs of ``chunks`` (over the rows of ``sigs`` and ``lengths``)
    whose signatures agree enough to be worth scoring at ``threshold``."""
    for i, j in chunks:
        shorter = np.minimum(lengths[i], lengths[j])
        floor = threshold - np.where(shorter < SHORT, SCREEN_MARGIN_SHORT, SCREEN_MARGIN)
        keep = agreement(sigs, i, j) >= floor
        if keep.any():
            yield i[keep], j[keep]


def setting(threshold, direction):
    """(bands, rows) for pairs at or over ``threshold`` in ``direction``."""
    table = SETTINGS["mean" if direction in ("mean", "min") else "max"]
    for start, bands, rows in table:
        if threshold >= start:
            return bands, rows
    return table[-1][1:]


def rescore(corpus, chunks, threshold, direction, *, workers=1, job=None, runner=None):
    """The id pairs of ``chunks`` (an iterable of (u, v) arrays, each pair
    taken as u < v) scoring at least ``threshold``: (u, v, forward, backward) with forward
    = measure(u, v) and backward = measure(v, u). In direction "forward"
    (ordered pairs) a pair passes when either way does. Pairs longer
    together than the joint size limit are never scored. ``job``: a
    JobProgress; ``sizes``: what runs the batches (a cluster), as for
    Corpus.compute_sizes. Raises RuntimeError for a failed probe."""
    job = job or JobProgress(None, 0)
    lengths = corpus.lengths
    found = []
    for u, v in _batches(chunks):
        # Each pair as u < v; an id with itself is no pair of two documents.
        u, v = np.minimum(u, v), np.maximum(u, v)
        _, keep = _pairs.fitting(u, v, lengths, corpus.missing)
        u, v = u[keep], v[keep]
        if not len(u):
            continue
        ids = np.unique(np.concatenate([u, v]))
        fresh = (np.count_nonzero(corpus.lone_sizes[ids] < 0)
                 + np.count_nonzero(corpus.primed_sizes[ids] < 0))
        job.grow(fresh + 2 * len(u))
        failure = corpus.compute_sizes(ids, ids, workers, job, runner)
        if failure is None:
            forward, backward, failure = corpus.cross(u, v, workers=workers, progress=job,
                                                      runner=runner)
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
    # One array at a time, each batch's part freed as it is copied.
    out = []
    for k in range(4):
        out.append(np.concatenate([part[k] for part in found]))
        found = [part[:k] + (None,) + part[k + 1:] for part in found]
    return tuple(out)


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
    symmetric=None, else i < j; by i, then j), every score exact, only the
    pairs that the sketches miss missing. ``bands`` and ``rows`` override the
    setting for the threshold. When the candidates are most of all pairs, every pair is
    scored instead."""
    threshold = _checks.score_bound("threshold", threshold)
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
    member = _pairs.fitting_with(corpus.lengths, corpus.lengths.min() if len(corpus) else 0)
    sigs = signatures([corpus.strings[k] for k in member.tolist()])
    candidates = Bands(bands, rows).add(sigs)
    if (candidates.bound > FALLBACK_SHARE * candidates.all_pairs
            and candidates.count() > FALLBACK_SHARE * candidates.all_pairs):
        plan = Plan(corpus, ids, None, direction=direction, errors="nan", names=("docs", "docs"))
        return plan.run(Pairs(threshold, *_pairs.listing(True, symmetric)), workers, progress)
    with JobProgress(progress, 0) as job:
        found = screen(candidates, sigs, corpus.lengths[member], threshold)
        chunks = ((member[i], member[j]) for i, j in found)
        u, v, forward, backward = rescore(corpus, chunks, threshold, direction,
                                         workers=workers, job=job)
        job.finish()
    del candidates, found, chunks  # the buckets, before the pairs are laid out
    return listed_pairs(Side(ids), corpus, u, v, forward, backward, direction, threshold)
