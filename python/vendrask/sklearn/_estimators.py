"""The estimators: scikit-learn's neighbour estimators of the same names,
on documents."""
import warnings

import numpy as np
from sklearn.base import ClassifierMixin, RegressorMixin, TransformerMixin
from sklearn.exceptions import DataConversionWarning
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _graphs, _params
from ._base import NeighborsBase
from ._mixins import KNeighborsMixin, RadiusNeighborsMixin, WeightedKNeighborsMixin


class NearestNeighbors(KNeighborsMixin, RadiusNeighborsMixin, NeighborsBase):
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
    fitted documents (None with ``exact=True``); ``_fit_X``, the fitted
    documents as bytes, cut to ``max_bytes``, with or without the index.
    """

    def __init__(self, n_neighbors=5, radius=None, *, symmetric="mean", exact=False,
                 max_bytes=None, n_jobs=None):
        super().__init__(n_neighbors, symmetric=symmetric, exact=exact, max_bytes=max_bytes,
                         n_jobs=n_jobs)
        self.radius = radius

    def fit(self, X, y=None):
        """Stores the documents of ``X`` (and indexes them unless ``exact``); ``y`` is ignored."""
        if self.radius is not None:
            _params.radius(self.radius)
        self._store(self._fit_documents(X))
        return self


class KNeighborsClassifier(WeightedKNeighborsMixin, ClassifierMixin, NeighborsBase):
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
        super().__init__(n_neighbors, symmetric=symmetric, exact=exact, max_bytes=max_bytes,
                         n_jobs=n_jobs)
        self.weights = weights

    def fit(self, X, y):
        """Stores the documents of ``X`` with their labels ``y``."""
        docs, y = self._fit_targets(X, y, numeric=False)
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
        ind, w = self._weighted(X)
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


class KNeighborsRegressor(WeightedKNeighborsMixin, RegressorMixin, NeighborsBase):
    """Predicts a document's target as the (weighted) mean of its
    ``n_neighbors`` nearest fitted documents' targets; parameters as for
    KNeighborsClassifier, ``y`` numeric of one or more columns."""

    def __init__(self, n_neighbors=5, weights="uniform", *, symmetric="mean", exact=False,
                 max_bytes=None, n_jobs=None):
        super().__init__(n_neighbors, symmetric=symmetric, exact=exact, max_bytes=max_bytes,
                         n_jobs=n_jobs)
        self.weights = weights

    def fit(self, X, y):
        """Stores the documents of ``X`` with their targets ``y``."""
        docs, y = self._fit_targets(X, y, numeric=True)
        self._store(docs)
        self._y = y
        return self

    def predict(self, X):
        """The target of each document of ``X`` (None: of each fitted
        document, leaving itself out)."""
        ind, w = self._weighted(X)
        y = self._y.reshape(len(self._y), -1)
        if w is None:
            pred = np.mean(y[ind], axis=1)
        else:
            pred = np.stack([np.sum(y[ind, c] * w, axis=1) for c in range(y.shape[1])],
                            axis=1) / np.sum(w, axis=1)[:, None]
        return pred.ravel() if self._y.ndim == 1 else pred


class KNeighborsTransformer(KNeighborsMixin, TransformerMixin, NeighborsBase):
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
        super().__init__(n_neighbors, symmetric=symmetric, exact=exact, max_bytes=max_bytes,
                         n_jobs=n_jobs)
        self.mode = mode

    def fit(self, X, y=None):
        """Stores the documents of ``X`` (and indexes them unless ``exact``); ``y`` is ignored."""
        _params.mode(self.mode)
        _params.n_neighbors(self.n_neighbors)  # transform takes no other
        self._store(self._fit_documents(X))
        return self

    def _k(self):
        return _params.n_neighbors(self.n_neighbors) + (self.mode == "distance")

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
        return _graphs.k_graph(dist, ind, n, self.mode)

    def get_feature_names_out(self, input_features=None):
        """One output column per fitted document."""
        check_is_fitted(self)
        prefix = type(self).__name__.lower()
        return np.asarray([f"{prefix}{i}" for i in range(self.n_samples_fit_)], dtype=object)
