"""Documents as the bytes that get scored.

``str`` is taken as its UTF-8 encoding and any other bytes-like object as its
bytes. A buffer of anything but bytes (a float array, say) is refused: its
raw memory is not a document, and scoring it would be a silent wrong answer.
"""
import numbers

from . import _checks

_SINGLE = (str, bytes, bytearray, memoryview)
_BYTE_FORMATS = ("B", "b", "c")


def documents(objs, name="docs", max_bytes=None, missing=False, cut=None):
    """The documents of ``objs`` (any iterable) as a list of ``bytes``, each
    cut to its first ``max_bytes`` bytes when that is given (the positions
    cut are appended to the list ``cut``, if given). A missing value (None,
    NaN, pandas' NA) is None with ``missing``, else refused."""
    max_bytes = _checks.max_bytes(max_bytes)
    labels = _labels(objs)
    return [document(item, name, k, max_bytes, missing, labels, cut)
            for k, item in enumerate(_items(objs, name))]


def documents_at(objs, positions, name="docs", max_bytes=None, missing=False, cut=None):
    """The documents at ``positions`` (in range) of a sequence, converting
    only those: a Series by ``iloc``, anything else by ``objs[p]``."""
    max_bytes = _checks.max_bytes(max_bytes)
    take = objs.iloc.__getitem__ if hasattr(objs, "iloc") else objs.__getitem__
    labels = _labels(objs)
    return [document(take(p), name, p, max_bytes, missing, labels, cut) for p in positions]


def is_missing(item):
    """None, a NaN, or pandas' NA or NaT: a cell with no document in it."""
    if item is None:
        return True
    if isinstance(item, numbers.Number) and not isinstance(item, bool):
        try:
            return bool(item != item)
        except TypeError:
            return False
    kind = type(item)
    return kind.__name__ in ("NAType", "NaTType") and kind.__module__.startswith("pandas")


def _labels(objs):
    """A Series' index, to name a cell by its label as well as its position."""
    index = getattr(objs, "index", None) if hasattr(objs, "iloc") else None
    return index


def sequence(objs, name="docs"):
    """``objs`` if it can be indexed and measured without converting it (a
    list, tuple, Series or array), else its items as a list."""
    _items(objs, name)  # the same refusals as for any list of documents
    if hasattr(objs, "__len__") and hasattr(objs, "__getitem__") and not isinstance(objs, dict):
        return objs
    return list(objs)


def _items(objs, name):
    if isinstance(objs, _SINGLE):
        raise TypeError(f"{name} must be a list of documents, not a single {type(objs).__name__}; "
                        f"wrap it in a list")
    if hasattr(objs, "columns") and hasattr(objs, "iloc"):
        # Iterating a DataFrame gives its column names, never its cells.
        raise TypeError(f"{name} must be a list of documents, not a DataFrame; "
                        f"pass one of its columns")
    try:
        return iter(objs)
    except TypeError:
        raise TypeError(f"{name} must be an iterable of documents (str or bytes-like), "
                        f"not {type(objs).__name__}") from None


def document(item, name, k, max_bytes=None, missing=False, labels=None, cut=None):
    """One document as bytes (None for a missing one, with ``missing``);
    ``name[k]`` in messages, with its label from ``labels`` if given; ``k``
    goes into the list ``cut``, if given, when max_bytes cuts it."""
    if type(item) is bytes:
        doc = item
    elif isinstance(item, str):
        try:
            doc = item.encode("utf-8")
        except UnicodeEncodeError as error:
            raise ValueError(f"{name}[{k}] cannot be encoded as UTF-8: {error.reason} "
                             f"at position {error.start}") from None
    elif isinstance(item, bytes):
        # The stored bytes themselves: a subclass's own __len__, __eq__ or
        # __bytes__ has no say.
        doc = bytes.__getitem__(item, slice(None))
    elif is_missing(item):
        if missing:
            return None
        label = "" if labels is None else f" (label {labels[k]!r})"
        raise TypeError(f"{name}[{k}]{label} is missing ({item!r}); drop it, or pass "
                        f"errors=\"nan\" to give it NaN scores")
    else:
        try:
            view = memoryview(item)
        except TypeError:
            raise TypeError(f"{name}[{k}] must be str or bytes-like, "
                            f"not {type(item).__name__}") from None
        with view:
            if view.format not in _BYTE_FORMATS:
                raise TypeError(f"{name}[{k}] is a buffer of {view.format!r} items "
                                f"({type(item).__name__}), not of bytes; pass str or bytes "
                                f"documents (a buffer's format must be 'B', 'b' or 'c')")
            doc = view.tobytes()
    if max_bytes is not None and len(doc) > max_bytes:
        doc = doc[:max_bytes]
        if cut is not None:
            cut.append(k)
    return doc


def listed(names, most=5):
    """``a, b, c and 4 more``: a few names of a long list."""
    shown = ", ".join(names[:most])
    return shown if len(names) <= most else f"{shown} and {len(names) - most} more"
