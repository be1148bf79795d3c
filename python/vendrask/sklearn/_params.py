"""The estimators' parameters, each checked by one function with one message."""
import numbers

import numpy as np

from .. import _checks

MODES = ("connectivity", "distance")


def workers(n_jobs):
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


def n_neighbors(value, name="n_neighbors"):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    if value <= 0:
        raise ValueError(f"Expected {name} > 0. Got {value}")
    return int(value)


def mode(value):
    """A graph's ``mode``: ones at the neighbours, or their distances."""
    if not (isinstance(value, str) and value in MODES):
        raise ValueError(f'mode must be "connectivity" or "distance", not {value!r}')
    return value


def weights(value):
    if not (callable(value) or (isinstance(value, str) and value in ("uniform", "distance"))):
        raise ValueError(f'weights must be "uniform", "distance" or a callable, not {value!r}')
    return value


def radius(value):
    value = _checks.number("radius", value)
    if value < 0:
        raise ValueError(f"radius must be at least 0, not {value:g}")
    return value


def exact(value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"exact must be True or False, not {value!r}")
    return bool(value)
