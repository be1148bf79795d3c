"""Sketches: short dense vectors whose dot products rank documents roughly as
the measure does, only to choose which pairs the exact measure scores first.

A document is the TF-IDF weighting of its byte 4-grams, hashed into
``FEATURES`` features and folded into ``DIM`` signed buckets (a count
sketch, which keeps dot products unbiased), then scaled to unit length. The
IDF comes from the document frequencies of every document the index has
seen, so a document's sketch depends a little on when it was added; that
only moves which pairs are tried first, never a score.

The n-grams are hashed here in numpy rather than by scikit-learn's
HashingVectorizer: that one builds a Python string per n-gram, which made
sketching about a tenth of an index's build; over raw bytes, a 4-gram is one
32-bit word and its hash one multiplication.
"""
import numpy as np

FEATURES_BITS = 18
FEATURES = 1 << FEATURES_BITS
DIM = 128
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
        """float16 sketches (len(strings), DIM) of a list of bytes; with
        ``learn`` their n-grams count in the document frequencies first."""
        if self._folding is None:
            self._folding = _folding()
        bucket, sign = self._folding
        out = np.zeros((len(strings), DIM), dtype=np.float16)
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
        idf = np.log((1.0 + self.seen) / (1.0 + self.df)) + 1.0
        for start, stop, rows, feature, count in found:
            # A repeated n-gram counts less and less (log1p of its count).
            weight = np.log1p(count) * idf[feature] * sign[feature]
            dense = np.bincount(rows * DIM + bucket[feature], weights=weight,
                                minlength=(stop - start) * DIM)
            # (bincount gives integers when there are no weights at all)
            dense = dense.astype(np.float64, copy=False).reshape(stop - start, DIM)
            norms = np.linalg.norm(dense, axis=1, keepdims=True)
            np.divide(dense, norms, out=dense, where=norms > 0)
            out[start:stop] = dense
        return out


def most_similar(queries, vectors, count, block=2048, exclude_self=False, poll=None):
    """The ``count`` rows of ``vectors`` with the largest dot product with
    each query (int64, -1 where there are fewer), by blocks of queries; with
    ``exclude_self`` the queries are ``vectors`` itself and each row leaves
    out its own."""
    n = len(vectors)
    width = min(count, n - 1 if exclude_self else n)
    out = np.full((len(queries), max(count, 0)), -1, dtype=np.int64)
    if width <= 0:
        return out
    base = np.asarray(vectors, dtype=np.float32)
    for start in range(0, len(queries), block):
        q = np.asarray(queries[start:start + block], dtype=np.float32)
        dots = q @ base.T
        if exclude_self:
            rows = np.arange(len(q))
            dots[rows, start + rows] = -np.inf
        top = np.argpartition(-dots, width - 1, axis=1)[:, :width]
        order = np.argsort(-np.take_along_axis(dots, top, axis=1), axis=1, kind="stable")
        out[start:start + len(q), :width] = np.take_along_axis(top, order, axis=1)
        if poll is not None:
            poll()
    return out
