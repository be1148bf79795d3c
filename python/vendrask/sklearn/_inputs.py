"""What the estimators take in: documents for X, targets for y."""
import numpy as np
from scipy import sparse
from sklearn.utils.validation import check_array

from .._api import report
from .._documents import _outside_stacklevel, documents


def as_documents(X, max_bytes, name="X"):
    """``X`` as a list of bytes, each cut to ``max_bytes`` (with one warning
    naming the cut ones at the caller's line); refuses feature arrays, sparse
    matrices and missing documents."""
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
               stacklevel=_outside_stacklevel())
    return docs


def targets(y, n, numeric):
    """``y`` checked against ``n`` documents: numbers for a regressor, any
    labels for a classifier."""
    if y is None:
        raise ValueError("y is needed to fit: one target per document")
    y = check_array(y, ensure_2d=False, dtype="numeric" if numeric else None)
    if y.ndim == 0 or len(y) != n:
        raise ValueError(f"Found input variables with inconsistent numbers of samples: "
                         f"{n} documents and {len(y) if y.ndim else 1} targets")
    if numeric and y.dtype.kind == "O":
        y = y.astype(np.float64)
    return y
