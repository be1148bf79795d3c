"""The neighbour queries, as scikit-learn's mixins of the same names: on a
NeighborsBase, whose search they call."""
import numpy as np
from sklearn.utils.validation import check_is_fitted

from .._api import pairs
from . import _graphs, _params
from ._inputs import targets

# A score at or above 1 - radius may still give a distance just over radius
# once rounded (and the other way round): ask for slightly more, then keep
# what passes on the distance itself.
RADIUS_SLACK = 1e-9


class KNeighborsMixin:
    """kneighbors and kneighbors_graph."""

    def kneighbors(self, X=None, n_neighbors=None, return_distance=True):
        """The ``n_neighbors`` nearest fitted documents of each document of
        ``X``: ``(distances, indices)`` of shape ``(len(X), n_neighbors)``,
        distances ``1 - score`` ascending, ties by the smaller index. With
        ``X=None`` each fitted document's neighbours, leaving out itself
        (other positions holding the same bytes stay, at distance 0)."""
        check_is_fitted(self)
        queries = self._queries(X)
        dist, ind = self._search(queries, self._check_k(n_neighbors, queries))
        return (dist, ind) if return_distance else ind

    def kneighbors_graph(self, X=None, n_neighbors=None, mode="connectivity"):
        """kneighbors as a CSR matrix of shape ``(len(X), n_samples_fit_)``:
        ones (``mode="connectivity"``) or distances (``"distance"``, explicit
        zeros kept) at each row's neighbours."""
        check_is_fitted(self)
        queries = self._queries(X)
        k = self._check_k(n_neighbors, queries)
        _params.mode(mode)
        dist, ind = self._search(queries, k)
        return _graphs.k_graph(dist, ind, self.n_samples_fit_, mode)


class WeightedKNeighborsMixin(KNeighborsMixin):
    """What the classifier and the regressor share: fitting documents with
    their targets, and each query's neighbours with their ``weights``."""

    def _fit_targets(self, X, y, numeric):
        """(documents, targets) of a fit, after the checks of the parameters."""
        _params.n_neighbors(self.n_neighbors)  # predict takes no other
        _params.weights(self.weights)
        docs = self._fit_documents(X)
        return docs, targets(y, len(docs), numeric=numeric)

    def _weighted(self, X):
        """(indices, weights) of the neighbours of each document of ``X``;
        weights None for uniform."""
        dist, ind = self.kneighbors(X)
        return ind, _weights(dist, self.weights)


def _weights(dist, weights):
    """scikit-learn's neighbour weights: None for uniform, 1/distance (the
    zero-distance neighbours alone where there are any), or a callable's."""
    if isinstance(weights, str) and weights == "uniform":
        return None
    if isinstance(weights, str) and weights == "distance":
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


class RadiusNeighborsMixin:
    """radius_neighbors and radius_neighbors_graph, for an estimator with a
    ``radius`` parameter."""

    def _within(self, queries, radius):
        """(distances, indices, indptr): each row's neighbours within ``radius``."""
        if radius is None:
            if self.radius is None:
                raise ValueError(f"radius_neighbors needs a radius: pass radius= here or to "
                                 f"{type(self).__name__}")
            radius = self.radius
        radius = _params.radius(radius)
        threshold = min(1.0, max(0.0, 1.0 - radius - RADIUS_SLACK))
        symmetric, workers = self.symmetric, _params.workers(self.n_jobs)
        if queries is None:
            n_rows = self.n_samples_fit_
            # Pairs of one list never pair a position with itself.
            if self.exact or self.index_ is None:
                i, j, score = pairs(self._fit_X, threshold=threshold, symmetric=symmetric,
                                    workers=workers, errors="nan")
            else:
                i, j, score = self.index_.pairs(threshold, symmetric=symmetric, workers=workers)
            if symmetric is not None:  # each unordered pair came once
                i, j, score = np.concatenate([i, j]), np.concatenate([j, i]), \
                    np.concatenate([score, score])
        else:
            n_rows = len(queries)
            i, j, score = pairs(queries, self._fit_X, threshold=threshold, symmetric=symmetric,
                                workers=workers, errors="nan")
        dist = 1.0 - np.asarray(score, dtype=np.float64)
        keep = dist <= radius
        return _graphs.in_rows(np.asarray(i)[keep], np.asarray(j)[keep], dist[keep], n_rows)

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
            return _graphs.objects(dist, indptr), _graphs.objects(ind, indptr)
        return _graphs.objects(ind, indptr)

    def radius_neighbors_graph(self, X=None, radius=None, mode="connectivity",
                               sort_results=False):
        """radius_neighbors as a CSR matrix of shape ``(len(X), n_samples_fit_)``
        (``mode`` as for kneighbors_graph; explicit zeros kept)."""
        check_is_fitted(self)
        _params.mode(mode)
        dist, ind, indptr = self._within(self._queries(X), radius)
        return _graphs.graph(dist, ind, indptr, self.n_samples_fit_, mode)
