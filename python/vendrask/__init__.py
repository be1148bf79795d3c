"""Measures of many byte strings against each other.

``cdist(ts, ss)[i, j]`` equals ``_vendrask.measure(ts[i], ss[j])`` bit for
bit, but each distinct string's lone and self-primed compressed sizes are
computed once, and each ordered cross size once, on several threads.
"""
import operator
import os

import numpy as np

from . import _matrix

__all__ = ["JOINT_SIZE_LIMIT", "JointSizeError", "cdist", "matrix"]

JOINT_SIZE_LIMIT = 32767


class JointSizeError(ValueError):
    """A pair of different strings is longer together than JOINT_SIZE_LIMIT."""

    def __init__(self, i, j, len_t, len_s):
        super().__init__(
            f"ts[{i}] and ss[{j}] are {len_t} + {len_s} = {len_t + len_s} bytes together, "
            f"over the joint size limit of {JOINT_SIZE_LIMIT} bytes")
        self.i, self.j, self.len_t, self.len_s = i, j, len_t, len_s


def cdist(ts, ss, *, workers=1, errors="raise", progress=None):
    """The measure of every ``ss[j]`` through every ``ts[i]``.

    Returns a float64 array of shape ``(len(ts), len(ss))``. ``workers`` is
    the number of threads (-1: one per core); the GIL is released meanwhile.
    With ``errors="raise"`` a pair of different strings over the joint size
    limit raises JointSizeError before any work; with ``errors="nan"`` it
    comes out NaN and the rest is computed. ``progress``, if given, is called
    as ``progress(done, total)`` from the calling thread at the start, about
    ten times a second and at the end (counting compressions); an exception
    from it stops the work.
    """
    ts, ss = tuple(ts), tuple(ss)  # also keeps every string alive meanwhile
    workers = _worker_count(workers)
    if errors not in ("raise", "nan"):
        raise ValueError(f"errors must be 'raise' or 'nan', not {errors!r}")
    for name, strings in (("ts", ts), ("ss", ss)):
        for i, string in enumerate(strings):
            if not isinstance(string, bytes):
                raise TypeError(f"{name}[{i}] must be bytes, not {type(string).__name__}")
    if errors == "raise":
        _refuse_over_limit(ts, ss)
    out = np.empty((len(ts), len(ss)), dtype=np.float64)
    failure = _matrix.compute(ts, ss, out, workers, progress)
    if failure is not None and errors == "raise":
        raise RuntimeError(failure)
    return out


def matrix(docs, **options):
    """``cdist(docs, docs, **options)``: every document through every other."""
    docs = tuple(docs)
    return cdist(docs, docs, **options)


def _worker_count(workers):
    workers = operator.index(workers)
    if workers == -1:
        return os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"workers must be a positive number or -1, not {workers}")
    return min(workers, 1024)


def _refuse_over_limit(ts, ss):
    if not ts or not ss:
        return
    len_t = np.fromiter(map(len, ts), dtype=np.int64, count=len(ts))
    len_s = np.fromiter(map(len, ss), dtype=np.int64, count=len(ss))
    for i in np.flatnonzero(len_t > JOINT_SIZE_LIMIT - len_s.max()):
        for j in np.flatnonzero(len_s > JOINT_SIZE_LIMIT - len_t[i]):
            if ts[i] != ss[j]:
                raise JointSizeError(int(i), int(j), int(len_t[i]), int(len_s[j]))
