"""What every estimator shares: fitting the documents and searching them."""
import numpy as np
from sklearn.base import BaseEstimator

from .. import JOINT_SIZE_LIMIT, _checks
from .._api import nearest
from . import _params
from ._inputs import as_documents

# The index of exact=False and how queries search it, chosen on 10 000
# labelled source chunks (bench/sklearn_bench.py): a sparser graph than the
# index's default, since building it is most of a fit, and queries that
# start from many more sketch candidates, which cost one pair each. Against
# 20 neighbours and 12 seeds that cut fit + predict from 122 s to 67 s and
# the accuracy lost against exact search from 1.65 points to 0.35.
# BUILD_SEEDS: the sketch candidates each document starts from as the graph
# is built; SEEDS those of a query, which keeps at least as many in its pool.
DEGREE, BUILD_SEEDS, SEEDS = 10, 16, 256


def leave_out_own(scores, ind, positions, k):
    """Each row's ``k`` best candidates other than its own position: the
    row's own position (``positions[r]``) is masked first, then the rest are
    ordered by score, highest first, ties by the smaller index; missing
    candidates (NaN, -1) go last, as NaN and -1. Given each row's ``k + 1``
    best columns, this is its ``k`` best among the other positions, whether
    its own position was among them or not."""
    never = (ind < 0) | (ind == np.asarray(positions)[:, None]) | np.isnan(scores)
    key = np.where(never, -np.inf, scores)
    index = np.where(never, np.iinfo(np.int64).max, ind)
    best = np.lexsort((index, -key), axis=-1)[:, :k]
    scores, ind = np.take_along_axis(key, best, 1), np.take_along_axis(index, best, 1)
    gone = np.take_along_axis(never, best, 1)
    scores[gone], ind[gone] = np.nan, -1
    return scores, ind


def _index_class():
    import vendrask
    try:
        return vendrask.Index
    except AttributeError:
        raise RuntimeError("exact=False searches a vendrask.Index, which this vendrask lacks; "
                           "pass exact=True") from None


class NeighborsBase(BaseEstimator):
    """Fit, and the search of the fitted documents behind every query.

    After fit: ``_fit_X``, the fitted documents as bytes (cut to
    ``max_bytes``); ``n_samples_fit_``; ``index_``, the ``vendrask.Index`` of
    them (None with ``exact=True``)."""

    def __init__(self, n_neighbors=5, *, symmetric="mean", exact=False, max_bytes=None,
                 n_jobs=None):
        # The parameters every estimator has; each names its own on top, in a
        # signature of its own (scikit-learn reads the parameters from it).
        self.n_neighbors = n_neighbors
        self.symmetric = symmetric
        self.exact = exact
        self.max_bytes = max_bytes
        self.n_jobs = n_jobs

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.string = True
        tags.input_tags.two_d_array = False
        tags.input_tags.sparse = False
        return tags

    def _more_tags(self):  # scikit-learn before 1.6
        return {"X_types": ["string"]}

    def __setstate__(self, state):
        super().__setstate__(state)
        # Estimators pickled with an index and no documents of their own.
        if self.__dict__.get("_fit_X", ()) is None and self.__dict__.get("index_") is not None:
            self._fit_X = [self.index_[p] for p in range(len(self.index_))]

    def _fit_documents(self, X):
        """Checks the parameters every estimator has, then converts X."""
        if self.n_neighbors is not None:
            _params.n_neighbors(self.n_neighbors)
        _checks.symmetric(self.symmetric)
        _params.exact(self.exact)
        _params.workers(self.n_jobs)
        docs = as_documents(X, _checks.max_bytes(self.max_bytes))
        if not docs:
            raise ValueError("X holds no documents; at least 1 is needed to fit")
        return docs

    def _store(self, docs):
        """Keeps the documents, and indexes them unless ``exact``."""
        self._max_bytes = _checks.max_bytes(self.max_bytes)
        self.n_samples_fit_ = len(docs)
        self._fit_X = docs
        self.index_ = None if self.exact else _index_class()(
            docs, workers=_params.workers(self.n_jobs), degree=DEGREE, seeds=BUILD_SEEDS)

    def _queries(self, X):
        return None if X is None else as_documents(X, self._max_bytes)

    def _check_k(self, n_neighbors, queries):
        """scikit-learn's check and message for more neighbours than documents."""
        k = self.n_neighbors if n_neighbors is None else _params.n_neighbors(n_neighbors)
        if k is None:
            name = type(self).__name__
            raise ValueError(f"n_neighbors is needed: pass n_neighbors= to kneighbors, or a "
                             f"whole number to {name}(n_neighbors=...)")
        n = self.n_samples_fit_
        if (k + 1 if queries is None else k) > n:
            inequality = "n_neighbors < n_samples_fit" if queries is None else \
                "n_neighbors <= n_samples_fit"
            n_samples = n if queries is None else len(queries)
            raise ValueError(f"Expected {inequality}, but n_neighbors = {k}, "
                             f"n_samples_fit = {n}, n_samples = {n_samples}")
        return k

    def _search(self, queries, k):
        """(distances, indices) of shape (n_queries, k); queries=None: the
        fitted documents, each without its own position."""
        if self.exact or self.index_ is None:
            scores, ind = self._search_rows(queries, None, k)
        else:
            workers = _params.workers(self.n_jobs)
            if queries is None:
                scores, ind = self.index_.neighbors(k, symmetric=self.symmetric, workers=workers)
            else:
                scores, ind = self.index_.nearest(queries, k, symmetric=self.symmetric,
                                                  workers=workers, seeds=SEEDS,
                                                  pool=max(SEEDS, 4 * k))
            scores, ind = np.array(scores, dtype=np.float64), np.array(ind, dtype=np.int64)
            short = np.flatnonzero((ind < 0).any(axis=1))
            if len(short):
                # The index may miss candidates that exist: search these rows exhaustively.
                scores[short], ind[short] = self._search_rows(queries, short, k)
        short = np.flatnonzero((ind < 0).any(axis=1))
        if len(short):
            row = int(short[0])
            name = f"fitted document {row}" if queries is None else f"X[{row}]"
            raise ValueError(
                f"{name} has {int((ind[row] >= 0).sum())} neighbours of the {k} asked for "
                f"({len(short)} rows are short): pairs over the joint size limit of "
                f"{JOINT_SIZE_LIMIT} bytes together are never neighbours; "
                f"max_bytes={JOINT_SIZE_LIMIT // 2} makes every pair fit")
        return 1.0 - scores, ind

    def _search_rows(self, queries, rows, k):
        """(scores, indices) of the queries at ``rows`` (None: all of them)
        against every fitted document; queries=None: the fitted documents,
        each without its own position."""
        docs, symmetric, workers = self._fit_X, self.symmetric, _params.workers(self.n_jobs)
        if queries is not None:
            if rows is not None:
                queries = [queries[r] for r in rows]
            return nearest(queries, docs, k=k, symmetric=symmetric, workers=workers,
                           errors="nan")
        rows = np.arange(len(docs)) if rows is None else np.asarray(rows)
        own = docs if len(rows) == len(docs) else [docs[r] for r in rows]
        scores, ind = nearest(own, docs, k=k + 1, symmetric=symmetric, workers=workers,
                              errors="nan")
        return leave_out_own(scores, ind, rows, k)
