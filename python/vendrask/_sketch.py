"""Sketches: short dense vectors whose dot products rank documents roughly as
the measure does, only to choose which pairs the exact measure scores first.

A document is the TF-IDF weighting of its byte 4-grams, hashed into
``FEATURES`` features and folded into ``DIM`` signed buckets (a count
sketch, which keeps dot products unbiased), then scaled to unit length and
stored as int8. The
IDF comes from the document frequencies of every document the index has
seen, so a document's sketch depends a little on when it was added; that
only moves which pairs are tried first, never a score.

The n-grams are hashed here in numpy rather than by scikit-learn's
HashingVectorizer: that one builds a Python string per n-gram, which made
sketching about a tenth of an index's build; over raw bytes, a 4-gram is one
32-bit word and its hash one multiplication.
"""
import warnings

import numpy as np
import numpy.random  # noqa: F401  loaded now, not by a first use under a memory limit

from ._pairs import NO_NEIGHBOUR
from ._optional import blas_call_room, check_room, need

FEATURES_BITS = 18
FEATURES = 1 << FEATURES_BITS
# Folding adds noise of about 1/sqrt(DIM) to every dot product, which buries
# weak neighbours (scores near 0.06, common on code): on 100 000 chunks of
# code, 128 buckets put a row's exact top 10 within its top 32 sketches 19%
# of the time for such rows, 512 buckets 53%. int8 keeps 512 in 512 bytes.
DIM = 512
# int8 steps of a unit vector's coordinates: 4.5 standard deviations
# (1/sqrt(DIM) each) map to 127, so clipping is rare. Dots of such vectors
# are integers below 2^24 (DIM * 127^2), exact in float32 in any order of
# addition.
_STEPS = 127 * DIM ** 0.5 / 4.5
NGRAM = 4
_SEED = 20261209
_BLOCK_BYTES = 1 << 23  # text hashed at a time: its index arrays take 10-20x that
_GOLDEN = np.uint32(0x9E3779B1)  # Fibonacci hashing: a bijection on 32 bits, top bits well mixed


def _folding():
    """The fixed bucket and sign of each hashed feature."""
    rng = np.random.default_rng(_SEED)
    return rng.integers(0, DIM, FEATURES), rng.choice(np.array([-1.0, 1.0]), FEATURES)


def _grams(strings):
    """(row, feature, count) of the distinct hashed 4-grams of each string."""
    lengths = np.fromiter(map(len, strings), dtype=np.int64, count=len(strings))
    grams = np.maximum(lengths - (NGRAM - 1), 0)
    data = np.frombuffer(b"".join(strings), dtype=np.uint8)
    total = int(grams.sum())
    rows = np.repeat(np.arange(len(strings)), grams)
    # Each gram's first byte: its string's start plus its place in the string.
    ends = np.cumsum(grams)
    at = np.arange(total) + np.repeat(np.cumsum(lengths) - lengths - (ends - grams), grams)
    word = np.zeros(total, dtype=np.uint32)
    for shift in range(NGRAM):
        word = (word << np.uint32(8)) | data[at + shift]
    feature = (word * _GOLDEN) >> np.uint32(32 - FEATURES_BITS)
    keys, count = np.unique(rows * FEATURES + feature, return_counts=True)
    return keys // FEATURES, keys % FEATURES, count


def _blocks(strings):
    """Runs of strings of about _BLOCK_BYTES together: (start, stop)."""
    start, size = 0, 0
    for stop, string in enumerate(strings):
        if size and size + len(string) > _BLOCK_BYTES:
            yield start, stop
            start, size = stop, 0
        size += len(string)
    if start < len(strings):
        yield start, len(strings)


class Sketcher:
    """Sketches documents, counting document frequencies as it goes."""

    def __init__(self, df=None, seen=0):
        self.df = np.zeros(FEATURES, dtype=np.int32) if df is None else df
        self.seen = seen
        self._folding = None

    def __getstate__(self):
        # The folding is made again from its fixed seed.
        return {"df": self.df, "seen": self.seen}

    def __setstate__(self, state):
        self.__init__(state["df"], state["seen"])

    def sketch(self, strings, poll=None, learn=True):
        """int8 sketches (len(strings), DIM) of a list of bytes; with
        ``learn`` their n-grams count in the document frequencies first."""
        if self._folding is None:
            self._folding = _folding()
        bucket, sign = self._folding
        out = np.zeros((len(strings), DIM), dtype=np.int8)
        found = []
        for start, stop in _blocks(strings):
            rows, feature, count = _grams(strings[start:stop])
            found.append((start, stop, rows, feature, count))
            if poll is not None:
                poll()
        if learn and found:
            df = self.df.astype(np.int64) + sum(np.bincount(f, minlength=FEATURES)
                                                for _, _, _, f, _ in found)
            self.df = np.minimum(df, np.iinfo(np.int32).max).astype(np.int32)
            self.seen += len(strings)
        # The square root of the IDF: weak neighbours share common n-grams,
        # which the full IDF all but drops.
        idf = np.sqrt(np.log((1.0 + self.seen) / (1.0 + self.df)) + 1.0)
        for start, stop, rows, feature, count in found:
            # A repeated n-gram counts less and less (log1p of its count).
            weight = np.log1p(count) * idf[feature] * sign[feature]
            dense = np.bincount(rows * DIM + bucket[feature], weights=weight,
                                minlength=(stop - start) * DIM)
            # (bincount gives integers when there are no weights at all)
            dense = dense.astype(np.float64, copy=False).reshape(stop - start, DIM)
            norms = np.linalg.norm(dense, axis=1, keepdims=True)
            np.divide(dense, norms, out=dense, where=norms > 0)
            out[start:stop] = np.clip(np.rint(dense * _STEPS), -127, 127)
        return out


_BASE_ROWS = 1 << 16  # sketches taken to float32 at a time: 128 MiB


def _dots(queries, rows):
    """queries @ rows.T of float32 sketches, without BLAS: OpenBLAS maps a
    buffer for each thread on its first call and, when it cannot (under an
    address-space limit), ends the process instead of failing the call.
    einsum adds up each dot on its own; for sketches the dots are exact
    integers, the same as BLAS gives, at four to five times its CPU time."""
    return np.einsum("ij,kj->ik", queries, rows, optimize=False)


def most_similar(queries, vectors, count, poll=None, own=None, with_dots=False):
    """The ``count`` rows of ``vectors`` with the largest dot product with
    each query (int64, -1 where there are fewer), by blocks of queries;
    ``own[q]``: a row that query q leaves out (-1: none). With ``with_dots``
    also their dot products (float32, -inf where there are none)."""
    n = len(vectors)
    width = min(count, n)
    out = np.full((len(queries), max(count, 0)), NO_NEIGHBOUR, dtype=np.int64)
    best = np.full(out.shape, -np.inf, dtype=np.float32)
    # The rows are taken to float32 a slice at a time (a million sketches
    # would be 2 GiB at once), each query keeping its best so far.
    for base_start in range(0, n if width > 0 else 0, _BASE_ROWS):
        base = np.asarray(vectors[base_start:base_start + _BASE_ROWS], dtype=np.float32)
        w = min(width, len(base))
        block = max(1, (1 << 24) // len(base))  # the dots of a block: 64 MB
        for start in range(0, len(queries), block):
            q = np.asarray(queries[start:start + block], dtype=np.float32)
            dots = _dots(q, base)
            if own is not None:
                leave = own[start:start + block] - base_start
                at = np.flatnonzero((leave >= 0) & (leave < len(base)))
                dots[at, leave[at]] = -np.inf
            top = np.argpartition(-dots, w - 1, axis=1)[:, :w]
            rows = slice(start, start + len(q))
            ids = np.concatenate([out[rows, :width], top + base_start], axis=1)
            found = np.concatenate([best[rows, :width], np.take_along_axis(dots, top, axis=1)],
                                   axis=1)
            order = np.argsort(-found, axis=1, kind="stable")[:, :width]
            out[rows, :width] = np.take_along_axis(ids, order, axis=1)
            best[rows, :width] = np.take_along_axis(found, order, axis=1)
            if poll is not None:
                poll()
    out[~np.isfinite(best)] = NO_NEIGHBOUR
    return (out, best) if with_dots else out


# Above this many dot products, seeds come from the rows of a few nearby
# cells of a partition of the sketches instead of from every row: all pairs
# of a million sketches would be 10^12 dot products.
BRUTE_FORCE_DOTS = 1 << 28
PROBES = 8  # cells searched per row
_TRAINING_PER_CELL = 40  # rows of the sample k-means learns the cells from


def seeds(fresh, vectors, count, poll=None):
    """About the ``count`` rows of ``vectors`` with the largest dot product
    with each row ``fresh`` (int64 (len(fresh), count), -1 where there are
    fewer, own row left out): from every pair while that is cheap, else from
    the rows of the cells nearest each row."""
    if len(fresh) * len(vectors) > BRUTE_FORCE_DOTS and len(vectors) >= 64 * PROBES:
        try:
            kmeans2 = need("scipy.cluster.vq", "Index seeding").kmeans2
        except ImportError:  # without scipy: slower, not worse
            pass
        else:
            return _partitioned(fresh, vectors, count, poll, kmeans2)
    return most_similar(vectors[fresh], vectors, count, poll=poll, own=fresh)


def _partitioned(fresh, vectors, count, poll, kmeans2):
    """An inverted file: k-means (scipy's kmeans2, on a sample) cuts the
    sketches into about sqrt(n) cells; each row is compared with the rows of
    its PROBES nearest cells, so each does about PROBES * sqrt(n) dots."""
    # kmeans2 and the centroids' dots go through BLAS (rounding in its own
    # order, which the cells follow): leave it room for its buffers rather
    # than have it end the process.
    check_room(blas_call_room(), "Index seeding by k-means (BLAS buffers)")
    n = len(vectors)
    cells = max(PROBES, int(np.sqrt(n)))
    rng = np.random.default_rng(n)
    sample = vectors[np.sort(rng.choice(n, min(n, _TRAINING_PER_CELL * cells), replace=False))]
    with warnings.catch_warnings():
        # An empty cell keeps its old centre: harmless here, and no news to the caller.
        warnings.simplefilter("ignore")
        centroids, _ = kmeans2(sample.astype(np.float64), cells, iter=8, minit="++", seed=n)
    centroids = centroids.astype(np.float32)
    # Nearest centroid: the largest x.c - |c|^2 / 2.
    offsets = 0.5 * np.einsum("ij,ij->i", centroids, centroids)
    as32 = lambda rows: np.asarray(rows, dtype=np.float32)
    cell_of = np.concatenate([np.argmax(as32(vectors[a:a + 8192]) @ centroids.T - offsets, axis=1)
                              for a in range(0, n, 8192)])
    probes = np.concatenate([np.argsort(offsets - as32(vectors[fresh[a:a + 8192]]) @ centroids.T,
                                        axis=1)[:, :PROBES] for a in range(0, len(fresh), 8192)])
    members = np.argsort(cell_of, kind="stable")
    bounds = np.searchsorted(cell_of[members], np.arange(cells + 1))
    place = np.empty(n, dtype=np.int64)  # each row's place among its cell's rows
    place[members] = np.arange(n) - bounds[cell_of[members]]
    found = np.full((len(fresh), PROBES, count), NO_NEIGHBOUR, dtype=np.int64)
    dots = np.full((len(fresh), PROBES, count), -np.inf, dtype=np.float32)
    order = np.argsort(probes.reshape(-1), kind="stable")
    probe_bounds = np.searchsorted(probes.reshape(-1)[order], np.arange(cells + 1))
    for cell in range(cells):
        rows = members[bounds[cell]:bounds[cell + 1]]
        asking = order[probe_bounds[cell]:probe_bounds[cell + 1]]
        if not len(rows) or not len(asking):
            continue
        q, probe = asking // PROBES, asking % PROBES
        own = np.where(cell_of[fresh[q]] == cell, place[fresh[q]], NO_NEIGHBOUR)
        top, best = most_similar(vectors[fresh[q]], vectors[rows], count, own=own, with_dots=True)
        found[q, probe] = np.where(top == NO_NEIGHBOUR, NO_NEIGHBOUR, rows[top])
        dots[q, probe] = best
        if poll is not None:
            poll()
    found, dots = found.reshape(len(fresh), -1), dots.reshape(len(fresh), -1)
    best = np.argsort(-dots, axis=1, kind="stable")[:, :count]
    found = np.take_along_axis(found, best, axis=1)
    found[~np.isfinite(np.take_along_axis(dots, best, axis=1))] = NO_NEIGHBOUR
    return found
