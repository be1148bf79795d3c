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
neighbours without its own position (other positions holding the same bytes
stay, at distance 0), and asking for more neighbours than there are fitted
documents is a ValueError. Rows are sorted by distance, equal distances by
the smaller index. scikit-learn's search of a precomputed matrix leaves
equal distances in the order its partial sort leaves them, and where more
copies of a document than ``n_neighbors + 1`` crowd it out at distance 0
it drops the first of them: its indices among equal distances may differ
from these, never its distances, nor its predictions where equal documents
have equal targets. Two documents over the joint size limit (32767 bytes
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
# Names this module has had at its top level since it was one file, kept so
# that no import of them from here breaks.
import numbers  # noqa: F401
import os  # noqa: F401
import sys  # noqa: F401
import warnings  # noqa: F401

import numpy as np  # noqa: F401
from scipy import sparse  # noqa: F401
from sklearn.base import (BaseEstimator, ClassifierMixin, RegressorMixin,  # noqa: F401
                          TransformerMixin)
from sklearn.exceptions import DataConversionWarning  # noqa: F401
from sklearn.utils.multiclass import check_classification_targets  # noqa: F401
from sklearn.utils.validation import check_array, check_is_fitted  # noqa: F401

from .. import JOINT_SIZE_LIMIT  # noqa: F401
from .._api import nearest, pairs, report  # noqa: F401
from .._documents import documents  # noqa: F401
from ._estimators import (KNeighborsClassifier, KNeighborsRegressor, KNeighborsTransformer,
                          NearestNeighbors)
from ._graphs import symmetric_graph

__all__ = ["NearestNeighbors", "KNeighborsClassifier", "KNeighborsRegressor",
           "KNeighborsTransformer", "symmetric_graph"]

# Where users import them from, for repr, help and pickles: the modules
# behind them may move.
for _public in (NearestNeighbors, KNeighborsClassifier, KNeighborsRegressor,
                KNeighborsTransformer, symmetric_graph):
    _public.__module__ = __name__
del _public
