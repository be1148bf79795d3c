"""Set operations on sorted int64 arrays (pair keys, ids)."""
import numpy as np


def sorted_unique(keys):
    """The sorted distinct values of an integer array. np.unique hashes
    integers since numpy 2.3, which is about 20 times slower than sorting on
    pair keys like these (3 million: 14.6 s against 0.7 s)."""
    return _once(np.sort(keys, axis=None))


def _once(keys):
    """A sorted array without its repeats."""
    if len(keys) < 2:
        return keys
    first = np.empty(len(keys), dtype=bool)
    first[0] = True
    np.not_equal(keys[1:], keys[:-1], out=first[1:])
    return keys[first]


def union(*arrays):
    """The sorted distinct values of sorted integer arrays together. Their
    runs are merged rather than sorted again: numpy's stable sort of
    integers is a timsort, which merges sorted runs in linear time (4 times
    faster than a quicksort on 20 million keys plus 3 million)."""
    return _once(np.sort(np.concatenate(arrays), kind="stable"))


def among(sorted_keys, keys):
    """Whether each of ``keys`` is in the sorted array ``sorted_keys``."""
    if not len(sorted_keys):
        return np.zeros(len(keys), dtype=bool)
    at = np.minimum(np.searchsorted(sorted_keys, keys), len(sorted_keys) - 1)
    return sorted_keys[at] == keys
