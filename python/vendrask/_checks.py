"""Argument checks shared by the in-process functions, vendrask.dask and the index."""
import math
import numbers
import operator
import os

ERRORS = ("raise", "nan")
SYMMETRIC = ("mean", "min", "max")
PRIMED_BY = ("query", "document")
MAX_WORKERS = 1024


def choice(name, value, choices):
    if not isinstance(value, str) or value not in choices:
        listed = ", ".join(repr(c) for c in choices)
        raise ValueError(f"{name} must be one of {listed}, not {value!r}")
    return value


def errors(value):
    return choice("errors", value, ERRORS)


def symmetric(value, allow_none=True):
    if value is None and allow_none:
        return None
    return choice("symmetric", value, SYMMETRIC)


def primed_by(value):
    return choice("primed_by", value, PRIMED_BY)


def direction(symmetric_, primed_by_="query"):
    """What each cell of a job holds: measure(row, col) ("forward"), the
    other way ("backward"), or both combined."""
    how = symmetric(symmetric_)
    if how is not None:
        return how
    return "forward" if primed_by(primed_by_) == "query" else "backward"


def worker_count(workers):
    """The number of threads for ``workers`` (-1: the CPUs this process may use)."""
    if isinstance(workers, bool):
        raise TypeError("workers must be a positive number or -1, not a bool")
    workers = operator.index(workers)
    if workers == -1:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):
            return os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"workers must be a positive number or -1, not {workers}")
    return min(workers, MAX_WORKERS)


def positive(name, value):
    """A whole number of at least 1 (a bool is not one)."""
    if isinstance(value, bool):
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be a positive integer, not {value!r}") from None
    if number < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return number


def max_bytes(value):
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError("max_bytes must be None or a whole number, not a bool")
    value = operator.index(value)
    if value < 1:
        # 0 would cut every document to nothing: every pair would score 1.0.
        raise ValueError(f"max_bytes must be None or at least 1, not {value}")
    return value


def number(name, value, allow_none=False):
    """A real number that is not NaN: an int, a float, numpy's (or a 0-d
    array of one), a Fraction or a Decimal; not a bool, a string or None."""
    if value is None and allow_none:
        return None
    kind = getattr(getattr(value, "dtype", None), "kind", None)
    if isinstance(value, bool) or kind == "b":
        raise TypeError(f"{name} must be a number, not a bool")
    real = (isinstance(value, numbers.Real)
            or (isinstance(value, numbers.Number) and not isinstance(value, numbers.Complex))
            or (kind in ("i", "u", "f") and getattr(value, "ndim", None) == 0))
    if not real:
        what = "None" if value is None else type(value).__name__
        raise TypeError(f"{name} must be a number, not {what}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must be a number, not NaN")
    return value


def score_bound(name, value, allow_none=False):
    """A threshold on scores, which run from 0 to 1 (rapidfuzz's own scorers
    run from 0 to 100: a cutoff of 80 would silently keep nothing)."""
    value = number(name, value, allow_none)
    if value is not None and not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must be from 0 to 1, as the scores are (not 0 to 100), "
                         f"not {value:g}")
    return value


def progress(callback):
    """None, a callable, or True for a progress bar (False: none)."""
    if callback is False:
        return None
    if callback is not None and callback is not True and not callable(callback):
        raise TypeError("progress must be callable, True (a progress bar) or None")
    return callback


def float_dtype(dtype):
    import numpy as np
    dtype = np.dtype(dtype)
    if dtype not in (np.dtype(np.float64), np.dtype(np.float32)):
        raise ValueError(f"dtype must be float64 or float32, not {dtype}")
    return dtype


def indices(name, values, n):
    """``values`` as int64 positions into ``n`` documents, negative ones
    counted from the end; IndexError names the first out-of-range value as
    given (an unsigned or huge value is never wrapped)."""
    import numpy as np
    array = np.asarray(values)
    if array.ndim != 1 or not (array.dtype.kind in "iu" or len(array) == 0):
        if array.ndim == 1 and array.dtype.kind == "O" and all(
                isinstance(v, int) and not isinstance(v, bool) for v in array.tolist()):
            bad = next(k for k, v in enumerate(array.tolist()) if not -n <= v < n)
            raise IndexError(f"{name}[{bad}] = {array[bad]} is out of range for {n} documents")
        raise TypeError(f"{name} must be a one-dimensional sequence of integers")
    if array.dtype.kind == "u":
        bad = np.flatnonzero(array >= n)
    else:
        array = array.astype(np.int64)
        bad = np.flatnonzero((array < -n) | (array >= n))
    if len(bad):
        raise IndexError(f"{name}[{bad[0]}] = {array[bad[0]]} is out of range for {n} documents")
    array = array.astype(np.int64)
    return np.where(array < 0, array + n, array)


def renamed(old, old_value, new, new_value):
    """The value of a keyword given by its new name ``new`` or, with a
    DeprecationWarning, its former name ``old``; None when neither is."""
    if old_value is None:
        return new_value
    if new_value is not None:
        raise TypeError(f"{new} and {old} are one option ({old} is its former name): give {new}")
    import warnings
    warnings.warn(f"{old}= is now called {new}=", DeprecationWarning, stacklevel=3)
    return old_value
