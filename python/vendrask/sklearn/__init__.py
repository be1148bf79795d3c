"""scikit-learn estimators on raw documents (``pip install 'vendrask[sklearn]'``)."""
from ._estimators import *  # noqa: F401,F403
from ._estimators import __all__  # noqa: F401
