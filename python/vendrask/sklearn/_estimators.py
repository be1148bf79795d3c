"""scikit-learn estimators on raw documents (``pip install 'vendrask[sklearn]'``).

``NearestNeighbors``, ``KNeighborsClassifier``, ``KNeighborsRegressor`` and
``KNeighborsTransformer`` follow scikit-learn's neighbour estimators of the
same names, with documents in place of feature vectors: ``X`` is a list,
numpy array of objects (or of ``str``/``bytes``) or pandas Series of
``str`` (taken as UTF-8) or bytes-like documents. The distance between a
query and a fitted document is ``1 - score``, the score being

- ``symmetric=None``: ``measure(query, document)``, the document compressed
  with the query as the preset dictionary (``vendrask.nearest``'s default);
- ``"mean"`` (the default), ``"min"`` or ``"max"`` of both directions.

Every distance returned is ``1 - `` an exact score. ``exact=False`` (the
default) searches with a ``vendrask.Index`` built at fit, which is
approximate in which documents it scores; ``exact=True`` scores every pair.

As in scikit-learn, ``kneighbors(X=None)`` gives each fitted document's
neighbours without itself, asking for more neighbours than there are fitted
documents is a ValueError, and rows are sorted by distance, ties going to
the smaller index. Two documents over the joint size limit (32767 bytes
together) are never neighbours; a query left with fewer than
``n_neighbors`` neighbours by that raises a ValueError that suggests
``max_bytes`` rather than padding its row with made-up distances.

The estimators declare string input in their tags, so
``sklearn.utils.estimator_checks.check_estimator`` skips its checks that
feed numeric arrays (dtypes, NaN and inf, sparse input, sample order and
subsets, pickling, empty data, the classifier and regressor checks on
random features): every one of them builds a float matrix, which is no
document. The checks of the estimator protocol that take no data run in
the tests, and the data checks (fit returns self, parameters untouched,
unfitted errors, pickling, clone) run there on documents.
"""
import numbers
import os
import sys
import warnings

import numpy as np
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, TransformerMixin
from sklearn.exceptions import DataConversionWarning
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_array, check_is_fitted

from .. import JOINT_SIZE_LIMIT, _checks
from .._api import nearest, pairs, report
from .._documents import documents

__all__ = ["NearestNeighbors", "KNeighborsClassifier", "KNeighborsRegressor",
           "KNeighborsTransformer", "symmetric_graph"]

# A score at or above 1 - radius may still give a distance just over radius
# once rounded (and the other way round): ask for slightly more, then keep
# what passes on the distance itself.
_RADIUS_SLACK = 1e-9


def _as_documents(X, max_bytes, name="X"):
    """``X`` as a list of bytes, each cut to ``max_bytes``; refuses feature
    arrays, sparse matrices and missing documents."""
    if sparse.issparse(X):
        raise TypeError(f"{name} must be a list of documents (str or bytes), not a sparse "
                        f"matrix: these estimators compare raw documents, not feature vectors")
    if isinstance(X, np.ndarray):
        if X.ndim != 1:
            raise TypeError(f"{name} must be a one-dimensional list of documents, not an array "
                            f"of shape {X.shape}")
        if X.dtype.kind not in "OSU":
            raise TypeError(f"{name} must hold documents (str or bytes), not {X.dtype} values: "
                            f"these estimators compare raw documents, not feature vectors")
    cut = []
    docs = documents(X, name, max_bytes, missing=True, cut=cut)
    for k, doc in enumerate(docs):
        if doc is None:
            labels = getattr(X, "index", None) if hasattr(X, "iloc") else None
            label = "" if labels is None else f" (label {labels[k]!r})"
            raise TypeError(f"{name}[{k}]{label} is missing; drop the missing documents first")
    if cut:
        report(max_bytes, len(docs), [f"{name}[{k}]" for k in cut], [], [],
               stacklevel=1 + _depth_outside())
    return docs


def _depth_outside():
    """How many frames above its caller the first one outside this package
    is: a warning names the caller's line, not the package's own."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    frame, depth = sys._getframe(2), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(here):
        frame, depth = frame.f_back, depth + 1
    return depth


def _workers(n_jobs):
    """scikit-learn's n_jobs as threads: None is 1, -1 every CPU, -2 all but one."""
    if n_jobs is None:
        return 1
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, numbers.Integral):
        raise TypeError(f"n_jobs must be None or a whole number, not {n_jobs!r}")
    if n_jobs == 0:
        raise ValueError("n_jobs must be None, a positive number or negative, not 0")
    if n_jobs < 0:
        return max(1, _checks.worker_count(-1) + 1 + int(n_jobs))
    return _checks.worker_count(int(n_jobs))


def _n_neighbors(value, name="n_neighbors"):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    if value <= 0:
        raise ValueError(f"Expected {name} > 0. Got {value}")
    return int(value)


# The index of exact=False and how queries search it, chosen on 10 000
# labelled source chunks (bench/sklearn_bench.py): a sparser graph than the
# index's default, since building it is most of a fit, and queries that
# start from many more sketch candidates, which cost one pair each. Against
# 20 neighbours and 12 seeds that cut fit + predict from 122 s to 67 s and
# the accuracy lost against exact search from 1.65 points to 0.35.
_DEGREE, _CANDIDATES, _SEEDS = 10, 16, 256


def _index_class():
    import vendrask
    try:
        return vendrask.Index
    except AttributeError:
        raise RuntimeError("exact=False searches a vendrask.Index, which this vendrask lacks; "
                           "pass exact=True") from None


def _graph(dist, ind, n_cols, mode):
    """A CSR matrix with one row of ``ind`` per query. Explicit zero distances
    stay: to scikit-learn a missing entry is no neighbour at all."""
    if mode not in ("connectivity", "distance"):
        raise ValueError(f'mode must be "connectivity" or "distance", not {mode!r}')
    n_rows, k = ind.shape
    data = np.ones(ind.size) if mode == "connectivity" else dist.ravel()
    indptr = np.arange(0, n_rows * k + 1, k)
    return sparse.csr_matrix((data, ind.ravel(), indptr), shape=(n_rows, n_cols))


def _objects(values, indptr):
    out = np.empty(len(indptr) - 1, dtype=object)
    for row in range(len(out)):
        out[row] = values[indptr[row]:indptr[row + 1]]
    return out


class _Neighbors(BaseEstimator):
    """Fit and the k-nearest-neighbour queries shared by every estimator."""

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.string = True
        tags.input_tags.two_d_array = False
        tags.input_tags.sparse = False
        return tags

    def _more_tags(self):  # scikit-learn before 1.6
        return {"X_types": ["string"]}

    def _fit_documents(self, X, n=None):
        """Checks the parameters and converts X; the index is built by _store."""
        if self.n_neighbors is not None:
            _n_neighbors(self.n_neighbors)
        _checks.symmetric(self.symmetric)
        if not isinstance(self.exact, (bool, np.bool_)):
            raise TypeError(f"exact must be True or False, not {self.exact!r}")
        _workers(self.n_jobs)
        max_bytes = _checks.max_bytes(self.max_bytes)
        docs = _as_documents(X, max_bytes)
        if not docs:
            raise ValueError("X holds no documents; at least 1 is needed to fit")
        return docs

    def _store(self, docs):
        self._max_bytes = _checks.max_bytes(self.max_bytes)
        self.n_samples_fit_ = len(docs)
        if self.exact:
            self._fit_X, self.index_ = docs, None
        else:
            self._fit_X = None
            self.index_ = _index_class()(docs, workers=_workers(self.n_jobs), degree=_DEGREE,
                                         candidates=_CANDIDATES)

    def _fitted_documents(self):
        if self._fit_X is not None:
            return self._fit_X
        return [self.index_[p] for p in range(len(self.index_))]

    def _queries(self, X):
        return None if X is None else _as_documents(X, self._max_bytes)

    def _check_k(self, n_neighbors, queries):
        """scikit-learn's check and message for more neighbours than documents."""
        k = self.n_neighbors if n_neighbors is None else _n_neighbors(n_neighbors)
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
        fitted documents, each without itself."""
        symmetric, workers = self.symmetric, _workers(self.n_jobs)
        if self.exact or self.index_ is None:
            docs = self._fitted_documents()
            if queries is None:
                scores, ind = nearest(docs, k=k, symmetric=symmetric, workers=workers,
                                      errors="nan")
            else:
                scores, ind = nearest(queries, docs, k=k, symmetric=symmetric, workers=workers,
                                      errors="nan")
        else:
            if queries is None:
                scores, ind = self.index_.neighbors(k, symmetric=symmetric, workers=workers)
            else:
                scores, ind = self.index_.nearest(queries, k, symmetric=symmetric,
                                                  workers=workers, seeds=_SEEDS,
                                                  candidates=max(_SEEDS, 4 * k))
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
        docs, symmetric, workers = self._fitted_documents(), self.symmetric, _workers(self.n_jobs)
        if queries is not None:
            return nearest([queries[r] for r in rows], docs, k=k, symmetric=symmetric,
                           workers=workers, errors="nan")
        scores, ind = nearest([docs[r] for r in rows], docs, k=k + 1, symmetric=symmetric,
                              workers=workers, errors="nan")
        # Leave out each row's own position; where equal documents crowd it
        # out, the last one goes, as scikit-learn does.
        own = ind == rows[:, None]
        own[~own.any(axis=1), -1] = True
        return scores[~own].reshape(len(rows), k), ind[~own].reshape(len(rows), k)

    def kneighbors(self, X=None, n_neighbors=None, return_distance=True):
        """The ``n_neighbors`` nearest fitted documents of each document of
        ``X``: ``(distances, indices)`` of shape ``(len(X), n_neighbors)``,
        distances ``1 - score`` ascending, ties by the smaller index. With
        ``X=None`` each fitted document's neighbours, leaving out itself
        (other positions holding the same bytes stay, at distance 0)."""
        check_is_fitted(self)
        queries = self._queries(X)
        k = self._check_k(n_neighbors, queries)
        dist, ind = self._search(queries, k)
        return (dist, ind) if return_distance else ind

    def kneighbors_graph(self, X=None, n_neighbors=None, mode="connectivity"):
        """kneighbors as a CSR matrix of shape ``(len(X), n_samples_fit_)``:
        ones (``mode="connectivity"``) or distances (``"distance"``, explicit
        zeros kept) at each row's neighbours."""
        check_is_fitted(self)
        queries = self._queries(X)
        k = self._check_k(n_neighbors, queries)
        if mode not in ("connectivity", "distance"):
            raise ValueError(f'mode must be "connectivity" or "distance", not {mode!r}')
        dist, ind = self._search(queries, k)
        return _graph(dist, ind, self.n_samples_fit_, mode)


class NearestNeighbors(_Neighbors):
    """Unsupervised neighbour search over documents.

    n_neighbors: neighbours for ``kneighbors`` when it is not given one.
    radius: distance for ``radius_neighbors`` when it is not given one (None:
        it must be given; distances run from 0 to 1).
    symmetric: None for ``measure(query, document)`` (the document
        compressed with the query as the preset dictionary), or "mean",
        "min" or "max" of both directions.
    exact: False searches a ``vendrask.Index`` built at fit (approximate in
        which documents it scores, exact in every score); True scores every
        pair. ``radius_neighbors`` of new documents always scores every pair.
    max_bytes: cut each document, fitted or queried, to its first max_bytes.
    n_jobs: threads; None is 1, -1 every CPU, -2 all but one.

    Attributes: ``n_samples_fit_``; ``index_``, the ``vendrask.Index`` of the
    fitted documents (None with ``exact=True``).
    """

    def __init__(self, n_neighbors=5, radius=None, *, symmetric="mean", exact=False,
                 max_bytes=None, n_jobs=None):
        self.n_neighbors = n_neighbors
        self.radius = radius
        self.symmetric = symmetric
        self.exact = exact
        self.max_bytes = max_bytes
        self.n_jobs = n_jobs

    def fit(self, X, y=None):
        """Stores the documents of ``X`` (and indexes them unless ``exact``); ``y`` is ignored."""
        if self.radius is not None:
            self._radius(self.radius)
        self._store(self._fit_documents(X))
        return self

    @staticmethod
    def _radius(radius):
        value = _checks.number("radius", radius)
        if value < 0:
            raise ValueError(f"radius must be at least 0, not {value:g}")
        return value

    def _within(self, queries, radius):
        """(distances, indices, indptr): each row's neighbours within ``radius``."""
        if radius is None:
            if self.radius is None:
                raise ValueError("radius_neighbors needs a radius: pass radius= here or to "
                                 "NearestNeighbors")
            radius = self.radius
        radius = self._radius(radius)
        threshold = min(1.0, max(0.0, 1.0 - radius - _RADIUS_SLACK))
        symmetric, workers = self.symmetric, _workers(self.n_jobs)
        if queries is None:
            n_rows = self.n_samples_fit_
            if self.exact or self.index_ is None:
                i, j, score = pairs(self._fitted_documents(), threshold=threshold,
                                    symmetric=symmetric, workers=workers, errors="nan")
            else:
                i, j, score = self.index_.pairs(threshold, symmetric=symmetric, workers=workers)
            if symmetric is not None:  # each unordered pair came once
                i, j, score = np.concatenate([i, j]), np.concatenate([j, i]), \
                    np.concatenate([score, score])
        else:
            n_rows = len(queries)
            i, j, score = pairs(queries, self._fitted_documents(), threshold=threshold,
                                symmetric=symmetric, workers=workers, errors="nan")
        dist = 1.0 - np.asarray(score, dtype=np.float64)
        keep = dist <= radius
        i, j, dist = np.asarray(i)[keep], np.asarray(j)[keep], dist[keep]
        order = np.lexsort((j, dist, i))
        indptr = np.zeros(n_rows + 1, dtype=np.int64)
        np.cumsum(np.bincount(i, minlength=n_rows), out=indptr[1:])
        return dist[order], j[order].astype(np.int64), indptr

    def radius_neighbors(self, X=None, radius=None, return_distance=True, sort_results=False):
        """The fitted documents within ``radius`` (a distance, ``1 - score``)
        of each document of ``X``, as scikit-learn gives them: object arrays
        of one array per row. Rows are always sorted by distance, ties by
        the smaller index. With ``X=None`` each fitted document's, leaving out
        itself."""
        check_is_fitted(self)
        if sort_results and not return_distance:
            raise ValueError("return_distance must be True if sort_results is True.")
        dist, ind, indptr = self._within(self._queries(X), radius)
        if return_distance:
            return _objects(dist, indptr), _objects(ind, indptr)
        return _objects(ind, indptr)

    def radius_neighbors_graph(self, X=None, radius=None, mode="connectivity",
                               sort_results=False):
        """radius_neighbors as a CSR matrix of shape ``(len(X), n_samples_fit_)``
        (``mode`` as for kneighbors_graph; explicit zeros kept)."""
        check_is_fitted(self)
        if mode not in ("connectivity", "distance"):
            raise ValueError(f'mode must be "connectivity" or "distance", not {mode!r}')
        dist, ind, indptr = self._within(self._queries(X), radius)
        data = np.ones(len(ind)) if mode == "connectivity" else dist
        return sparse.csr_matrix((data, ind, indptr), shape=(len(indptr) - 1,
                                                             self.n_samples_fit_))


def _weights(dist, weights):
    """scikit-learn's neighbour weights: None for uniform, 1/distance (the
    zero-distance neighbours alone where there are any), or a callable's."""
    if weights == "uniform":
        return None
    if weights == "distance":
        with np.errstate(divide="ignore"):
            w = 1.0 / dist
        inf = np.isinf(w)
        rows = inf.any(axis=1)
        w[rows] = inf[rows]
        return w
    w = np.asarray(weights(dist), dtype=np.float64)
    if w.shape != dist.shape:
        raise ValueError(f"weights returned shape {w.shape} for distances of shape {dist.shape}")
    if (w == 0).all(axis=1).any():
        raise ValueError("All neighbors of some sample is getting zero weights. Please modify "
                         "'weights' to avoid this case if you are using a user-defined function.")
    return w


def _check_weights(weights):
    if not (callable(weights) or weights in ("uniform", "distance")):
        raise ValueError(f'weights must be "uniform", "distance" or a callable, not {weights!r}')


def _targets(y, n, numeric):
    if y is None:
        raise ValueError("y is needed to fit: one target per document")
    y = check_array(y, ensure_2d=False, dtype="numeric" if numeric else None)
    if y.ndim == 0 or len(y) != n:
        raise ValueError(f"Found input variables with inconsistent numbers of samples: "
                         f"{n} documents and {len(y) if y.ndim else 1} targets")
    if numeric and y.dtype.kind == "O":
        y = y.astype(np.float64)
    return y


class KNeighborsClassifier(ClassifierMixin, _Neighbors):
    """Classifies documents by a vote of their ``n_neighbors`` nearest fitted
    documents.

    weights: "uniform" (one vote each), "distance" (``1 / distance``; a
        query at distance 0 from some fitted documents takes their votes
        alone) or a callable of the distance array.

    A tie in the vote goes to the first of the tied classes in ``classes_``
    (sorted) order, as in scikit-learn: the rule never looks at the query's
    label, and the predictions equal scikit-learn's ``KNeighborsClassifier(
    metric="precomputed")`` fed ``1 - vendrask.cdist`` of the same documents.
    ``predict(None)`` and ``predict_proba(None)`` give each fitted document's
    prediction from its neighbours without itself. Multi-output ``y`` (one
    column per output) works as in scikit-learn. Other parameters and
    attributes as for NearestNeighbors; ``classes_`` holds the labels.
    """

    def __init__(self, n_neighbors=5, weights="uniform", *, symmetric="mean", exact=False,
                 max_bytes=None, n_jobs=None):
        self.n_neighbors = n_neighbors
        self.weights = weights
        self.symmetric = symmetric
        self.exact = exact
        self.max_bytes = max_bytes
        self.n_jobs = n_jobs

    def fit(self, X, y):
        """Stores the documents of ``X`` with their labels ``y``."""
        _n_neighbors(self.n_neighbors)  # predict takes no other
        _check_weights(self.weights)
        docs = self._fit_documents(X)
        y = _targets(y, len(docs), numeric=False)
        if y.ndim == 2 and y.shape[1] == 1:
            warnings.warn("A column-vector y was passed when a 1d array was expected. Please "
                          "change the shape of y to (n_samples,), for example using ravel().",
                          DataConversionWarning, stacklevel=2)
            y = y.ravel()
        check_classification_targets(y)
        self.outputs_2d_ = y.ndim == 2
        columns = y.reshape(len(docs), -1)
        codes = np.empty(columns.shape, dtype=np.intp)
        classes = []
        for c in range(columns.shape[1]):
            labels, codes[:, c] = np.unique(columns[:, c], return_inverse=True)
            classes.append(labels)
        self._store(docs)
        self.classes_ = classes if self.outputs_2d_ else classes[0]
        self._y = codes
        return self

    def _votes(self, X):
        """Per output, each query's summed weight for each class."""
        check_is_fitted(self)
        queries = self._queries(X)
        dist, ind = self._search(queries, self._check_k(None, queries))
        w = _weights(dist, self.weights)
        w = np.ones(ind.shape) if w is None else w
        classes = self.classes_ if self.outputs_2d_ else [self.classes_]
        out = []
        for c, labels in enumerate(classes):
            voters = self._y[:, c][ind]
            # Summed along each row as scikit-learn's weighted_mode sums.
            out.append(np.stack([np.where(voters == k, w, 0.0).sum(axis=1)
                                 for k in range(len(labels))], axis=1))
        return classes, out

    def predict(self, X):
        """The class of each document of ``X`` (None: of each fitted document,
        leaving itself out)."""
        classes, votes = self._votes(X)
        pred = [labels[np.argmax(v, axis=1)] for labels, v in zip(classes, votes)]
        return np.stack(pred, axis=1) if self.outputs_2d_ else pred[0]

    def predict_proba(self, X):
        """Each class's share of the (weighted) vote, columns in ``classes_``
        order; a list of such arrays for multi-output ``y``."""
        _, votes = self._votes(X)
        shares = []
        for v in votes:
            total = v.sum(axis=1, keepdims=True)
            total[total == 0] = 1.0
            shares.append(v / total)
        return shares if self.outputs_2d_ else shares[0]


class KNeighborsRegressor(RegressorMixin, _Neighbors):
    """Predicts a document's target as the (weighted) mean of its
    ``n_neighbors`` nearest fitted documents' targets; parameters as for
    KNeighborsClassifier, ``y`` numeric of one or more columns."""

    def __init__(self, n_neighbors=5, weights="uniform", *, symmetric="mean", exact=False,
                 max_bytes=None, n_jobs=None):
        self.n_neighbors = n_neighbors
        self.weights = weights
        self.symmetric = symmetric
        self.exact = exact
        self.max_bytes = max_bytes
        self.n_jobs = n_jobs

    def fit(self, X, y):
        """Stores the documents of ``X`` with their targets ``y``."""
        _n_neighbors(self.n_neighbors)  # predict takes no other
        _check_weights(self.weights)
        docs = self._fit_documents(X)
        y = _targets(y, len(docs), numeric=True)
        self._store(docs)
        self._y = y
        return self

    def predict(self, X):
        """The target of each document of ``X`` (None: of each fitted
        document, leaving itself out)."""
        check_is_fitted(self)
        queries = self._queries(X)
        dist, ind = self._search(queries, self._check_k(None, queries))
        w = _weights(dist, self.weights)
        y = self._y.reshape(len(self._y), -1)
        if w is None:
            pred = np.mean(y[ind], axis=1)
        else:
            pred = np.stack([np.sum(y[ind, c] * w, axis=1) for c in range(y.shape[1])],
                            axis=1) / np.sum(w, axis=1)[:, None]
        return pred.ravel() if self._y.ndim == 1 else pred


class KNeighborsTransformer(TransformerMixin, _Neighbors):
    """Documents into a sparse graph of their nearest neighbours, for the
    estimators that take ``metric="precomputed"`` (DBSCAN, HDBSCAN, Isomap,
    TSNE) or ``affinity="precomputed_nearest_neighbors"`` (SpectralClustering)
    in a Pipeline, without a square matrix.

    As scikit-learn's KNeighborsTransformer, ``transform(X)`` gives
    ``kneighbors_graph(X, mode=mode)`` with ``n_neighbors + 1`` neighbours per
    row in ``mode="distance"`` (``n_neighbors`` in ``"connectivity"``), and
    ``fit_transform(X)`` includes each document itself as its first
    neighbour, at distance 0. Zero distances stay as explicit entries.
    Other parameters as for NearestNeighbors.
    """

    def __init__(self, n_neighbors=5, mode="distance", *, symmetric="mean", exact=False,
                 max_bytes=None, n_jobs=None):
        self.n_neighbors = n_neighbors
        self.mode = mode
        self.symmetric = symmetric
        self.exact = exact
        self.max_bytes = max_bytes
        self.n_jobs = n_jobs

    def fit(self, X, y=None):
        """Stores the documents of ``X`` (and indexes them unless ``exact``); ``y`` is ignored."""
        if self.mode not in ("connectivity", "distance"):
            raise ValueError(f'mode must be "connectivity" or "distance", not {self.mode!r}')
        _n_neighbors(self.n_neighbors)  # transform takes no other
        self._store(self._fit_documents(X))
        return self

    def _k(self):
        return _n_neighbors(self.n_neighbors) + (self.mode == "distance")

    def transform(self, X):
        """The graph of each document of ``X`` against the fitted documents:
        CSR of shape ``(len(X), n_samples_fit_)``."""
        check_is_fitted(self)
        return self.kneighbors_graph(X, mode=self.mode, n_neighbors=self._k())

    def fit_transform(self, X, y=None):
        """fit(X), then the graph of the fitted documents against themselves,
        each one its own first neighbour at distance 0 (the rest searched
        without it, so equal documents come after it, never in its place)."""
        self.fit(X)
        k, n = self._k(), self.n_samples_fit_
        if k > n:
            raise ValueError(f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {k}, "
                             f"n_samples_fit = {n}, n_samples = {n}")
        dist, ind = (self._search(None, k - 1) if k > 1 else
                     (np.zeros((n, 0)), np.zeros((n, 0), dtype=np.int64)))
        dist = np.hstack([np.zeros((n, 1)), dist])
        ind = np.hstack([np.arange(n, dtype=np.int64)[:, None], ind])
        return _graph(dist, ind, n, self.mode)

    def get_feature_names_out(self, input_features=None):
        """One output column per fitted document."""
        check_is_fitted(self)
        prefix = type(self).__name__.lower()
        return np.asarray([f"{prefix}{i}" for i in range(self.n_samples_fit_)], dtype=object)


def symmetric_graph(graph):
    """A neighbour graph made symmetric, as HDBSCAN(metric="precomputed")
    requires: an entry at ``(i, j)`` wherever ``graph`` has one at ``(i, j)``
    or ``(j, i)``, the larger distance where it has both (they are equal
    unless ``symmetric=None``). Explicit zeros stay, which
    ``graph.maximum(graph.T)`` would drop. Rows are sorted by distance.
    In a Pipeline: ``FunctionTransformer(symmetric_graph, accept_sparse=True)``."""
    coo = sparse.coo_matrix(graph)
    n_rows, n_cols = coo.shape
    if n_rows != n_cols:
        raise ValueError(f"symmetric_graph needs a square graph, not one of shape {coo.shape}")
    rows = np.concatenate([coo.row, coo.col]).astype(np.int64)
    cols = np.concatenate([coo.col, coo.row]).astype(np.int64)
    data = np.concatenate([coo.data, coo.data])
    order = np.lexsort((-data, cols, rows))  # the larger value first for each (i, j)
    rows, cols, data = rows[order], cols[order], data[order]
    first = np.ones(len(rows), dtype=bool)
    first[1:] = (rows[1:] != rows[:-1]) | (cols[1:] != cols[:-1])
    rows, cols, data = rows[first], cols[first], data[first]
    order = np.lexsort((cols, data, rows))
    indptr = np.zeros(n_rows + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n_rows), out=indptr[1:])
    return sparse.csr_matrix((data[order], cols[order], indptr), shape=coo.shape)
