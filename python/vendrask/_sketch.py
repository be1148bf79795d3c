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
import copy
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
# The build's joins rank each node's candidates by sketch (see
# _descent.BuildSettings.top), where folding into DIM buckets adds noise of
# about 1/sqrt(DIM) to every cosine: more than what parts a node's good
# candidates from its poor ones on prose. Of a prose chunk's exact top 10
# (10 000 chunks), 48% lay within its 48 best by these sketches; FINE_DIM
# buckets cut to -1, 0 or +1 at half a standard deviation put 74% there
# (code: 72% and 88%), in two bit planes, 1 KB a row. The cut damps a few
# heavy n-grams; unfolded vectors did worse (67% on prose). They are not
# weighed by the IDF, which only lost (its square root: 70% where the
# unweighted cut vectors of the same trial gave 72%), so that a row's
# depends on its document alone: made once, when a build first needs it,
# and never saved.
FINE_DIM = 4096
_FINE_SEED = 20261210
_FINE_ROWS = 1024  # rows made at a time: their dense buckets take 32 MiB
_BLOCK_BYTES = 1 << 23  # text hashed at a time: its index arrays take 10-20x that
_GOLDEN = np.uint32(0x9E3779B1)  # Fibonacci hashing: a bijection on 32 bits, top bits well mixed


def _folding(dim=DIM, seed=_SEED):
    """The fixed bucket and sign of each hashed feature."""
    rng = np.random.default_rng(seed)
    return rng.integers(0, dim, FEATURES), rng.choice(np.array([-1.0, 1.0]), FEATURES)


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

    def idf(self):
        # The square root of the IDF: weak neighbours share common n-grams,
        # which the full IDF all but drops.
        return np.sqrt(np.log((1.0 + self.seen) / (1.0 + self.df)) + 1.0)

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
        idf = self.idf()
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


_FINE = {}  # the fine folding, made once


def fine_sketches(strings, poll=None):
    """The FINE_DIM sketches of a list of bytes, as FinePlanes."""
    if not _FINE:
        _FINE["folding"] = _folding(FINE_DIM, _FINE_SEED)
    bucket, sign = _FINE["folding"]
    planes = np.zeros((2, len(strings), FINE_DIM // 8), dtype=np.uint8)
    for first, last in _blocks(strings):
        for start in range(first, last, _FINE_ROWS):
            stop = min(start + _FINE_ROWS, last)
            rows, feature, count = _grams(strings[start:stop])
            dense = np.bincount(rows * FINE_DIM + bucket[feature],
                                weights=np.log1p(count) * sign[feature],
                                minlength=(stop - start) * FINE_DIM)
            dense = dense.astype(np.float64, copy=False).reshape(stop - start, FINE_DIM)
            cut = 0.5 * np.linalg.norm(dense, axis=1, keepdims=True) / FINE_DIM ** 0.5
            planes[0, start:stop] = np.packbits(dense > cut, axis=1)
            planes[1, start:stop] = np.packbits(dense < -cut, axis=1)
            if poll is not None:
                poll()
    return FinePlanes(planes)


_BYTE_BITS = np.array([bin(byte).count("1") for byte in range(256)], dtype=np.int64)


def _bit_counts(planes):
    """The set bits of each row of uint8 bit planes (rows, bytes)."""
    if hasattr(np, "bitwise_count"):  # numpy 2
        return np.bitwise_count(planes.view(np.uint64)).sum(axis=1, dtype=np.int64)
    return _BYTE_BITS[planes].sum(axis=1)


# Pairs whose planes are gathered at a time: 4 x 2 MiB.
_PLANE_PAIRS = 1 << 12


class FinePlanes:
    """Sketches of -1, 0 and +1 as two bit planes (``planes[0]`` the +1s,
    ``planes[1]`` the -1s), each row's dot products with others made of set
    bits alone."""

    def __init__(self, planes):
        self.planes = planes
        norms = np.sqrt(_bit_counts(planes[0]) + _bit_counts(planes[1])).astype(np.float32)
        norms[norms == 0] = 1
        self.norms = norms

    def __len__(self):
        return self.planes.shape[1]

    def extended(self, more):
        """These rows, then those of the FinePlanes ``more``."""
        return FinePlanes(np.concatenate([self.planes, more.planes], axis=1))

    def cosines(self, u, v):
        """The cosines of the rows u with the rows v (float32)."""
        out = np.empty(len(u), dtype=np.float32)
        positive, negative = self.planes
        for start in range(0, len(u), _PLANE_PAIRS):
            a, b = u[start:start + _PLANE_PAIRS], v[start:start + _PLANE_PAIRS]
            pa, na, pb, nb = positive[a], negative[a], positive[b], negative[b]
            out[start:start + len(a)] = (_bit_counts(pa & pb) + _bit_counts(na & nb)
                                         - _bit_counts(pa & nb) - _bit_counts(na & pb))
        return out / (self.norms[u] * self.norms[v])


_BASE_ROWS = 1 << 16  # sketches taken to float32 at a time: 128 MiB
# Room for the candidates of the new rows seeded at a time: through the
# cells a row's count for each of PROBES cells, with their dots, take
# 12 * PROBES * count bytes (8192 rows of 64 candidates in 48 MiB, where
# a million new rows of 256 at once would take 24 GiB).
_SEED_BYTES = 48 << 20


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
_LEAST_ROWS = 64 * PROBES  # fewer rows than this are never cut into cells
# Cells are learnt again once the rows have grown this many times over since
# they were: they are about sqrt(n) for n rows, so by then each holds twice
# the rows that cells learnt anew would (each probe costs twice the dots),
# and their centroids come from a quarter of the rows. Learning them costs
# about n * sqrt(n) dots (assigning every row), so learning them again only
# at a growth by a factor keeps that a bounded share of the adds' cost, where
# learning them on every add would cost each add as much as all before it.
REGROW = 4
# A query alone goes through the cells from this many rows on (else every
# row is scored, as below the dots budget), and searches QUERY_PROBES cells,
# more than a build's row: a query walks from its seeds alone. On 30 000
# chunks of code (bench/sketch_bench.py), 8, 16 and 32 cells kept 56%, 67%
# and 79% of the seeds that every row gives and nearest()'s recall@10 went
# from 0.965 / 0.972 (one way / mean) to 0.957 / 0.964, 0.958 / 0.964 and
# 0.965 / 0.970, its seeds costing 1.3 and 2.3 ms CPU a query against 3.9
# ms; on 10 000, every row costs 1 ms and 32 cells 2.
QUERY_ROWS = 1 << 15
QUERY_PROBES = 32


def _float32(rows):
    return np.asarray(rows, dtype=np.float32)


class _Cells:
    """The cells of an inverted file: k-means centroids learnt (scipy's
    kmeans2, on a sample) from the sketches as they were when made. Never
    changed once made, so states share them."""

    __slots__ = ("centroids", "offsets", "rows")

    def __init__(self, vectors, kmeans2):
        n = len(vectors)
        cells = max(PROBES, int(np.sqrt(n)))
        rng = np.random.default_rng(n)
        sample = vectors[np.sort(rng.choice(n, min(n, _TRAINING_PER_CELL * cells), replace=False))]
        sample = sample.astype(np.float64)
        with warnings.catch_warnings():
            # An empty cell keeps its old centre: harmless here, and no news to the caller.
            warnings.simplefilter("ignore")
            centroids, _ = kmeans2(sample, _kmeans_plus_plus(sample, cells, n), iter=8,
                                   minit="matrix")
        self.centroids = centroids.astype(np.float32)
        # Nearest centroid: the largest x.c - |c|^2 / 2.
        self.offsets = 0.5 * np.einsum("ij,ij->i", self.centroids, self.centroids)
        self.rows = n

    def __len__(self):
        return len(self.centroids)

    def assign(self, vectors):
        """The cell of each sketch (int64)."""
        # The centroids' dots go through BLAS (rounding in its own order,
        # which the cells follow).
        out = [np.argmax(_float32(vectors[a:a + 8192]) @ self.centroids.T - self.offsets, axis=1)
               for a in range(0, len(vectors), 8192)]
        return np.concatenate(out) if out else np.empty(0, dtype=np.int64)

    def probes(self, queries, probes):
        """The ``probes`` cells nearest each query, nearest first."""
        out = [np.argsort(self.offsets - _float32(queries[a:a + 8192]) @ self.centroids.T,
                          axis=1)[:, :probes] for a in range(0, len(queries), 8192)]
        return np.concatenate(out) if out else np.empty((0, probes), dtype=np.int64)


def _kmeans_plus_plus(sample, k, seed):
    """The k-means++ start that kmeans2(minit="++", seed=seed) takes, the
    same rows drawn the same way, at a fraction of its cost: scipy measures
    each new centre's draw against every centre so far (k^2 / 2 passes over
    the sample: making the cells of 100 000 sketches took 154 s CPU with
    it, 3.7 s with this), this keeps each row's distance to its nearest
    centre so far (k passes). The rows are int8 values, so the distances are exact
    integers either way."""
    rng = np.random.RandomState(seed)
    squares = np.einsum("ij,ij->i", sample, sample)
    nearest = np.full(len(sample), np.inf)
    out = np.empty((k, sample.shape[1]))
    for i in range(k):
        total = nearest.sum()
        if i == 0 or not total:  # not total: every row is a centre already (equal sketches)
            row = rng.randint(len(sample), dtype="int64")
        else:
            row = int(np.searchsorted((nearest / total).cumsum(), rng.uniform()))
        out[i] = sample[row]
        np.minimum(nearest, squares - 2 * (sample @ out[i]) + squares[row], out=nearest)
    return out


def _blas_room():
    # kmeans2 and the centroids' dots go through BLAS: leave it room for its
    # buffers rather than have it end the process.
    check_room(blas_call_room(), "Index seeding by k-means (BLAS buffers)")


def _kmeans2():
    """scipy's kmeans2, or None without scipy (slower, not worse)."""
    try:
        return need("scipy.cluster.vq", "Index seeding").kmeans2
    except ImportError:
        return None


class Sketches:
    """The sketches of an index's distinct documents (``vectors``, int8, a
    row each), the document frequencies that weigh them (``sketcher``) and,
    once there are enough rows to need them, the cells that find a row's
    nearest without scanning every row.

    Copied on add: ``add`` gives a new object and leaves this one as it
    was, for the readers that hold it. The cells are made when a search
    first needs them (two threads may both make them; they make the same),
    kept by later adds, which put their new rows in the cells there are."""

    def __init__(self, vectors=None, sketcher=None, cells=None, fine=None):
        self.vectors = np.empty((0, DIM), dtype=np.int8) if vectors is None else vectors
        self.sketcher = Sketcher() if sketcher is None else sketcher
        # The FinePlanes of the first rows, once a build has needed them.
        self._fine = fine
        # (the _Cells, the cell of each row, the rows of each cell or None):
        # replaced whole, so that a reader sees one or the other.
        self._cells = cells
        self._spent = 0  # dots of lone queries scored by brute force since

    def __len__(self):
        return len(self.vectors)

    @property
    def df(self):
        return self.sketcher.df

    @property
    def seen(self):
        return self.sketcher.seen

    @property
    def cells(self):
        """The cells there are (None before they are made)."""
        return None if self._cells is None else self._cells[0]

    @property
    def nbytes(self):
        """What they hold in memory: the sketches, the document
        frequencies, the folding table once made, the cells once made."""
        held = self.vectors.nbytes + self.sketcher.df.nbytes
        held += sum(a.nbytes for a in (self.sketcher._folding or ()))
        if self._fine is not None:
            held += self._fine.planes.nbytes + self._fine.norms.nbytes
        if self._cells is not None:
            cells, cell_of, lists = self._cells
            held += cells.centroids.nbytes + cells.offsets.nbytes + cell_of.nbytes
            held += sum(a.nbytes for a in lists or ())
        return held

    def to_arrays(self):
        """{"vectors", "df", "seen"}: what a file holds of them. Cells are
        not kept: they are made again when first needed."""
        return {"vectors": self.vectors.astype("|i1"), "df": self.sketcher.df.astype("<i4"),
                "seen": int(self.sketcher.seen)}

    @classmethod
    def from_arrays(cls, vectors, df, seen):
        return cls(vectors, Sketcher(df, seen))

    def sketch(self, strings, poll=None):
        """The sketches of ``strings`` as these would weigh them, counting
        nothing (queries)."""
        return self.sketcher.sketch(strings, poll, learn=False)

    def add(self, strings, poll=None):
        """A new Sketches: these rows, then those of ``strings`` (their
        n-grams counted in the document frequencies first), in the cells
        there are. This one is left as it was."""
        sketcher = copy.copy(self.sketcher)
        sketcher.df = self.sketcher.df.copy()
        sketcher._folding = self.sketcher._folding  # fixed, and costly to make again
        fresh = sketcher.sketch(strings, poll)
        vectors = np.concatenate([self.vectors, fresh])
        cells = self._cells
        if cells is not None and len(vectors) >= REGROW * cells[0].rows:
            cells = None  # learnt again when next needed
        if cells is not None and len(fresh):
            try:
                _blas_room()
            except MemoryError:  # made again when next needed, room or not
                cells = None
            else:
                cells = (cells[0], np.concatenate([cells[1], cells[0].assign(fresh)]), None)
        return Sketches(vectors, sketcher, cells, self._fine)

    def fine(self, strings, poll=None):
        """The FinePlanes of every row, ``strings`` the documents of the
        rows (indexed by row); made for the rows that have none yet."""
        fine, n = self._fine, len(self.vectors)
        have = 0 if fine is None else len(fine)
        if have < n:
            more = fine_sketches([strings[row] for row in range(have, n)], poll)
            fine = self._fine = more if fine is None else fine.extended(more)
        return fine

    def replace(self, vectors=None, sketcher=None):
        """These sketches with ``vectors`` or ``sketcher`` in place (cells
        dropped: the rows may be others)."""
        return Sketches(self.vectors if vectors is None else vectors,
                        self.sketcher if sketcher is None else sketcher)

    def seeds(self, fresh, count, poll=None, choose=None):
        """About the ``count`` rows with the largest dot product with each
        row ``fresh`` (int64 (len(fresh), count), -1 where there are fewer,
        own row left out): from every pair while that is cheap, else from
        the rows of the cells nearest each row. ``choose(rows, found)``, if
        given, cuts each block of rows' candidates down to its seeds (the
        columns it returns), so that only a block's candidates are held."""
        fresh = np.asarray(fresh, dtype=np.int64)
        cells = self._path(len(fresh), False, poll)
        out = None
        block = max(1, _SEED_BYTES // (12 * PROBES * max(count, 1)))
        for start in range(0, len(fresh), block):
            rows = fresh[start:start + block]
            found = self._found(cells, self.vectors[rows], count, rows, poll, PROBES)
            if choose is not None:
                found = choose(rows, found)
            if out is None:
                out = np.empty((len(fresh), found.shape[1]), dtype=np.int64)
            out[start:start + len(rows)] = found
        return np.empty((0, count), dtype=np.int64) if out is None else out

    def query(self, vectors_or_rows, count, own=None, poll=None, alone=True):
        """About the ``count`` rows with the largest dot product with each
        query (int64 (queries, count), -1 where there are fewer):
        ``vectors_or_rows`` are sketches (int8, DIM wide) or rows of these
        (integers); ``own[q]``: a row query q leaves out (-1: none). Every
        row is scored while the queries' dots with all of them stay within
        BRUTE_FORCE_DOTS; above it, only the rows of the PROBES cells
        nearest each query. With ``alone`` (searches, not a build: their
        QUERY_PROBES cells), the cells serve from QUERY_ROWS rows on, and
        are made for them once the rows scored by brute force meanwhile
        would have paid for them."""
        queries = np.asarray(vectors_or_rows)
        if queries.ndim == 1:
            queries = self.vectors[queries]
        cells = self._path(len(queries), alone, poll)
        return self._found(cells, queries, count, own, poll, QUERY_PROBES if alone else PROBES)

    def _path(self, queries, alone, poll):
        """The cells that ``queries`` queries go through (made if need be),
        or None where every row is scored (see ``query``)."""
        n = len(self.vectors)
        dots = queries * n
        if n >= _LEAST_ROWS and (dots > BRUTE_FORCE_DOTS or alone and n >= QUERY_ROWS):
            ready = self._cells is not None and self._cells[0].rows * REGROW > n
            # Making the cells costs about what n * sqrt(n) dots by brute
            # force do (3.7 s CPU and 4.2 s at 100 000 rows).
            making = dots > BRUTE_FORCE_DOTS or self._spent + dots > n * np.sqrt(n)
            if ready or making:
                return self._made(poll)
            self._spent += dots
        return None

    def _found(self, cells, queries, count, own, poll, probes):
        if cells is None:
            return most_similar(queries, self.vectors, count, poll=poll, own=own)
        return self._through_cells(cells, queries, count, own, poll, probes)

    def _made(self, poll):
        """The cells (their cell of each row and rows of each cell made if
        they are not yet), or None where they cannot be: without scipy."""
        cells = self._cells
        if cells is None or cells[0].rows * REGROW <= len(self.vectors):
            kmeans2 = _kmeans2()
            if kmeans2 is None:
                return None
            _blas_room()
            made = _Cells(self.vectors, kmeans2)
            cells = (made, made.assign(self.vectors), None)
            if poll is not None:
                poll()
        if cells[2] is None:
            cell_of = cells[1]
            members = np.argsort(cell_of, kind="stable")
            bounds = np.searchsorted(cell_of[members], np.arange(len(cells[0]) + 1))
            place = np.empty(len(cell_of), dtype=np.int64)  # each row's place in its cell
            place[members] = np.arange(len(cell_of)) - bounds[cell_of[members]]
            cells = (cells[0], cell_of, (members, bounds, place))
        self._cells = cells
        self._spent = 0
        return cells

    def _through_cells(self, cells, queries, count, own, poll, probes):
        """An inverted file: each query is compared with the rows of its
        ``probes`` nearest cells, about probes * sqrt(n) dots each."""
        made, cell_of, (members, bounds, place) = cells
        _blas_room()
        probes = made.probes(queries, min(probes, len(made)))
        found = np.full((len(queries), probes.shape[1], max(count, 0)), NO_NEIGHBOUR, dtype=np.int64)
        dots = np.full(found.shape, -np.inf, dtype=np.float32)
        order = np.argsort(probes.reshape(-1), kind="stable")
        probe_bounds = np.searchsorted(probes.reshape(-1)[order], np.arange(len(made) + 1))
        if own is None:
            own = np.full(len(queries), NO_NEIGHBOUR, dtype=np.int64)
        own_cell = np.where(own >= 0, cell_of[np.maximum(own, 0)], NO_NEIGHBOUR)
        asked = np.flatnonzero((np.diff(probe_bounds) > 0) & (np.diff(bounds) > 0))
        for cell in asked.tolist():  # (a few queries ask a few of many cells)
            rows = members[bounds[cell]:bounds[cell + 1]]
            asking = order[probe_bounds[cell]:probe_bounds[cell + 1]]
            q, probe = asking // probes.shape[1], asking % probes.shape[1]
            leave = np.where(own_cell[q] == cell, place[np.maximum(own[q], 0)], NO_NEIGHBOUR)
            top, best = most_similar(queries[q], self.vectors[rows], count, own=leave,
                                     with_dots=True)
            found[q, probe] = np.where(top == NO_NEIGHBOUR, NO_NEIGHBOUR, rows[top])
            dots[q, probe] = best
            if poll is not None:
                poll()
        found, dots = found.reshape(len(queries), -1), dots.reshape(len(queries), -1)
        best = np.argsort(-dots, axis=1, kind="stable")[:, :count]
        found = np.take_along_axis(found, best, axis=1)
        found[~np.isfinite(np.take_along_axis(dots, best, axis=1))] = NO_NEIGHBOUR
        return found


def reranked(rows, candidates, cosines, count):
    """Of each row's ``candidates`` (NO_NEIGHBOUR where none), its ``count``
    best by ``cosines(u, v)``, ties by their order there."""
    candidates = np.asarray(candidates, dtype=np.int64)
    u = np.repeat(np.asarray(rows, dtype=np.int64), candidates.shape[1])
    v = candidates.reshape(-1)
    found = v != NO_NEIGHBOUR
    cosine = np.full(len(v), -np.inf, dtype=np.float32)
    cosine[found] = cosines(u[found], v[found])
    cosine = cosine.reshape(candidates.shape)
    best = np.argsort(-cosine, axis=1, kind="stable")[:, :count]
    out = np.take_along_axis(candidates, best, axis=1)
    out[~np.isfinite(np.take_along_axis(cosine, best, axis=1))] = NO_NEIGHBOUR
    return out
