"""Sketches: short dense vectors whose dot products rank documents roughly as
the measure does, only to choose which pairs the exact measure scores first.

A document is the TF-IDF weighting of its byte 4-grams (scikit-learn's
HashingVectorizer over the bytes read as Latin-1, so that any bytes are text
and none is lost), folded into ``DIM`` signed buckets (a count sketch, which
keeps dot products unbiased) and scaled to unit length. The IDF comes from
the document frequencies of every document the index has seen, so a
document's sketch depends a little on when it was added; that only moves
which pairs are tried first, never a score.
"""
import numpy as np

FEATURES = 1 << 18
DIM = 128
NGRAM = 4
_SEED = 20261209


def _vectorizer():
    try:
        import scipy.sparse  # noqa: F401
        from sklearn.feature_extraction.text import HashingVectorizer
    except ImportError as error:
        raise ImportError(f"vendrask.Index needs scikit-learn and scipy ({error}): "
                          f"pip install 'vendrask[index]'") from None
    return HashingVectorizer(analyzer="char", ngram_range=(NGRAM, NGRAM), n_features=FEATURES,
                             alternate_sign=False, norm=None, lowercase=False,
                             dtype=np.float32)


def _folding():
    """The fixed sparse map of the hashed features onto DIM signed buckets."""
    import scipy.sparse
    rng = np.random.default_rng(_SEED)
    bucket = rng.integers(0, DIM, FEATURES)
    sign = rng.choice(np.array([-1.0, 1.0], dtype=np.float32), FEATURES)
    return scipy.sparse.csr_matrix((sign, (np.arange(FEATURES), bucket)), shape=(FEATURES, DIM))


class Sketcher:
    """Sketches documents, counting document frequencies as it goes."""

    def __init__(self, df=None, seen=0):
        self.df = np.zeros(FEATURES, dtype=np.int32) if df is None else df
        self.seen = seen
        self._vectorizer = self._folding = None

    def __getstate__(self):
        # The vectorizer and the folding are made again from fixed seeds.
        return {"df": self.df, "seen": self.seen}

    def __setstate__(self, state):
        self.__init__(state["df"], state["seen"])

    def sketch(self, strings, poll=None, learn=True):
        """float16 sketches (len(strings), DIM) of a list of bytes; with
        ``learn`` their n-grams count in the document frequencies."""
        if self._vectorizer is None:
            self._vectorizer, self._folding = _vectorizer(), _folding()
        out = np.zeros((len(strings), DIM), dtype=np.float16)
        if not len(strings):
            return out
        counts = self._vectorizer.transform([s.decode("latin-1") for s in strings])
        if poll is not None:
            poll()
        counts.data = np.log1p(counts.data)  # a repeated n-gram counts less and less
        df, seen = self.df, self.seen
        if learn:
            df = df.astype(np.int64) + np.bincount(counts.indices, minlength=FEATURES)
            df = np.minimum(df, np.iinfo(np.int32).max).astype(np.int32)
            seen += len(strings)
            self.df, self.seen = df, seen
        idf = np.log((1.0 + seen) / (1.0 + df)).astype(np.float32) + 1.0
        counts.data *= idf[counts.indices]
        dense = np.asarray((counts @ self._folding).toarray(), dtype=np.float32)
        norms = np.linalg.norm(dense, axis=1, keepdims=True)
        np.divide(dense, norms, out=dense, where=norms > 0)
        out[:] = dense
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
