"""Measures of many byte strings against each other, on top of ``_vendrask``.

``cdist(ts, ss)[i, j]`` equals ``_vendrask.measure(ts[i], ss[j])`` bit for bit;
``nearest``, ``pairs``, ``pdist`` and ``pairwise`` give the same values for
search, deduplication and clustering without holding a square matrix. Each
distinct document's lone and self-primed compressed sizes are computed once,
and each cross size once, on worker threads with the GIL released.

The array functions load (with numpy) on first use, so that importing the
package stays cheap for the command line. ``vendrask.dask`` runs the same
functions on a Dask cluster (``pip install 'vendrask[dask]'``);
``zlib_info()`` says whether this build gives the defining values.
"""
__version__ = "0.2.0"

JOINT_SIZE_LIMIT = 32767

__all__ = [
    "JOINT_SIZE_LIMIT", "JointSizeError", "cdist", "matrix", "nearest", "pairs", "pdist",
    "pairwise", "scorer", "windowed", "zlib_info", "DocumentWarning", "Index", "IndexFileError",
    "WindowIndex", "__version__",
]

_LAZY = {
    "cdist": "._api", "matrix": "._api", "nearest": "._api", "pairs": "._api",
    "pdist": "._api", "pairwise": "._api", "scorer": "._api", "windowed": "._windows",
    "zlib_info": "._zlib", "Index": "._index", "WindowIndex": "._passages",
}


class JointSizeError(ValueError):
    """Two different documents are longer together than JOINT_SIZE_LIMIT bytes."""

    def __init__(self, i, j, len_t, len_s, names=("ts", "ss")):
        super().__init__(
            f"{names[0]}[{i}] and {names[1]}[{j}] are {len_t} + {len_s} = {len_t + len_s} bytes "
            f"together, over the joint size limit of {JOINT_SIZE_LIMIT} bytes; "
            f"errors=\"nan\" scores such pairs as NaN, max_bytes=N cuts every document first")
        self.i, self.j, self.len_t, self.len_s = i, j, len_t, len_s


class DocumentWarning(UserWarning):
    """A job cut documents (max_bytes), or leaves some of their pairs NaN
    (over the joint size limit, or missing, with errors="nan")."""


class IndexFileError(ValueError):
    """A file that Index.load cannot use: not an index, truncated, corrupt,
    or saved under a zlib build whose values differ from this one's; or an
    index that Index.save will not write because its arrays do not agree."""


def __getattr__(name):
    if name in _LAZY:
        import importlib
        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
