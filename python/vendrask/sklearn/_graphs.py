"""Neighbours as scikit-learn hands them out: CSR graphs, object arrays of
rows, and the symmetric graph HDBSCAN needs. Explicit zero distances stay
in every graph: to scikit-learn a missing entry is no neighbour at all."""
import numpy as np
from scipy import sparse


def in_rows(i, j, dist, n_rows):
    """Pairs ``(i, j, dist)`` in any order as rows: ``(dist, j, indptr)``,
    each row by distance, ties by the smaller index."""
    order = np.lexsort((j, dist, i))
    indptr = np.zeros(n_rows + 1, dtype=np.int64)
    np.cumsum(np.bincount(i, minlength=n_rows), out=indptr[1:])
    return dist[order], np.asarray(j)[order].astype(np.int64), indptr


def graph(dist, ind, indptr, n_cols, mode):
    """A CSR matrix of rows ``ind[indptr[r]:indptr[r + 1]]``: ones
    (``mode="connectivity"``) or the distances."""
    data = np.ones(len(ind)) if mode == "connectivity" else dist
    return sparse.csr_matrix((data, ind, indptr), shape=(len(indptr) - 1, n_cols))


def k_graph(dist, ind, n_cols, mode):
    """``graph`` of ``k`` neighbours a row, from arrays of shape ``(rows, k)``."""
    n_rows, k = ind.shape
    return graph(dist.ravel(), ind.ravel(), np.arange(0, n_rows * k + 1, k), n_cols, mode)


def objects(values, indptr):
    """One array per row in an object array, as radius_neighbors gives them."""
    out = np.empty(len(indptr) - 1, dtype=object)
    for row in range(len(out)):
        out[row] = values[indptr[row]:indptr[row + 1]]
    return out


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
