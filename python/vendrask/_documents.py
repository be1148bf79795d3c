"""Documents as the bytes that get scored.

``str`` is taken as its UTF-8 encoding and any other bytes-like object as its
bytes. A buffer of anything but bytes (a float array, say) is refused: its
raw memory is not a document, and scoring it would be a silent wrong answer.

A pyarrow Array or ChunkedArray of strings or binaries, and a polars Series
of String or Binary values, are taken too (their nulls are missing values);
neither library is imported unless the object passed is one of theirs.
"""
import numbers
import os
from collections.abc import Mapping

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
    docs, names = [], []  # names: the str documents of a short list, to see if they are paths
    for k, item in enumerate(_items(objs, name)):
        docs.append(document(item, name, k, max_bytes, missing, labels, cut))
        if names is not None:
            if type(item) is str and k < PATHS_CHECKED:
                names.append(item)
            else:
                names = None
    if names:
        _warn_if_paths(names, name)
    return docs


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
    _check(objs, name)  # the same refusals as for any list of documents
    if hasattr(objs, "__len__") and hasattr(objs, "__getitem__") and not isinstance(objs, dict):
        return objs  # a pyarrow array gives scalars, which document() takes
    return list(objs)


def _items(objs, name):
    library = _check(objs, name)
    if library == "pyarrow":
        return iter(_arrow_values(objs, name))
    if library == "polars":
        return iter(objs.to_list())
    try:
        return iter(objs)
    except TypeError:
        raise TypeError(f"{name} must be an iterable of documents (str or bytes-like), "
                        f"not {type(objs).__name__}") from None


def _library(obj):
    """"pyarrow" or "polars" when ``obj`` is one of their objects, else None.
    Told by its type's module, so that neither is imported for anything else."""
    top = (getattr(type(obj), "__module__", None) or "").partition(".")[0]
    return top if top in ("pyarrow", "polars") else None


_TABLES = {"pyarrow": ("Table", "RecordBatch"), "polars": ("DataFrame", "LazyFrame")}


def _check(objs, name):
    """Refuses what is no list of documents; returns _library(objs)."""
    if isinstance(objs, _SINGLE):
        raise TypeError(f"{name} must be a list of documents, not a single {type(objs).__name__}; "
                        f"wrap it in a list")
    if hasattr(objs, "columns") and hasattr(objs, "iloc"):
        # Iterating a DataFrame gives its column names, never its cells.
        raise TypeError(f"{name} must be a list of documents, not a DataFrame; "
                        f"pass one of its columns")
    if isinstance(objs, Mapping):
        # Iterating a mapping gives its keys: documents taken silently from the wrong side.
        raise TypeError(f"{name} must be a list of documents, not a mapping "
                        f"({type(objs).__name__}); pass list(d.values()) for its values, or "
                        f"list(d) for its keys")
    library = _library(objs)
    if library is None:
        return None
    kind = type(objs).__name__
    if kind in _TABLES[library]:
        raise TypeError(f"{name} must be a list of documents, not a {library} {kind}; "
                        f"pass one of its columns")
    if library == "pyarrow" and hasattr(objs, "type") and hasattr(objs, "to_pylist"):
        _arrow_binary_type(objs.type, name, kind)
    elif library == "polars" and kind == "Series":
        import polars
        if objs.dtype not in (polars.String, polars.Binary, polars.Categorical, polars.Enum,
                              polars.Null):
            raise TypeError(f"{name} is a polars Series of {objs.dtype} values; documents must "
                            f"be String or Binary")
    return library


def _arrow_binary_type(kind, name, what):
    """The binary type whose values are the bytes of ``kind``'s (a string
    type's UTF-8); a pyarrow type of anything but text is refused."""
    import pyarrow as pa
    if pa.types.is_dictionary(kind):
        return _arrow_binary_type(kind.value_type, name, what)
    as_bytes = {pa.string(): pa.binary(), pa.large_string(): pa.large_binary()}
    for maker in ("string_view", "binary_view"):
        if hasattr(pa, maker):  # pyarrow 16 and later
            as_bytes[getattr(pa, maker)()] = pa.binary_view()
    if kind in as_bytes:
        return as_bytes[kind]
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or \
            pa.types.is_fixed_size_binary(kind) or pa.types.is_null(kind):
        return kind
    raise TypeError(f"{name} is a pyarrow {what} of {kind} values; documents must be strings "
                    f"or binaries (string, large_string, binary, large_binary)")


def _arrow_values(array, name="docs"):
    """The values of a pyarrow Array or ChunkedArray of strings or binaries
    as bytes (a string's UTF-8 as it is stored, without decoding it), None
    for a null."""
    import pyarrow as pa
    kind = array.type
    if pa.types.is_dictionary(kind):
        array = array.cast(kind.value_type)
        kind = array.type
    if pa.types.is_null(kind):
        return [None] * len(array)
    target = _arrow_binary_type(kind, name, type(array).__name__)
    return (array if target == kind else array.cast(target)).to_pylist()


PATHS_CHECKED = 100  # longer lists are not checked for file paths
_LONGEST_PATH = 4096


def _warn_if_paths(names, name):
    """Warns (DocumentWarning) when every one of ``names``, the documents of a
    short list, names a file or folder that exists: most likely the caller
    meant the files' contents. Stops at the first that does not."""
    for text in names:
        if not text or len(text) > _LONGEST_PATH or "\n" in text or "\0" in text \
                or not os.path.exists(text):
            return
    import warnings

    from . import DocumentWarning
    which = "the one document names" if len(names) == 1 else f"all {len(names)} documents name"
    warnings.warn(f"{name}: {which} an existing file or folder ({names[0]!r}"
                  f"{', ...' if len(names) > 1 else ''}), scored as the text of the path; this "
                  f"looks like file paths: pass the files' contents (open(path, 'rb').read()) to "
                  f"compare the files", DocumentWarning, stacklevel=_outside_stacklevel())


def _outside_stacklevel():
    """The stacklevel, for a warning raised one call below here, of the
    first caller outside this package: the line of the user's code."""
    import sys
    package = os.path.dirname(os.path.abspath(__file__)) + os.sep
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(package):
        frame, level = frame.f_back, level + 1
    return level


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
    elif _library(item) == "pyarrow" and hasattr(item, "as_py"):
        # A scalar of a pyarrow array (what indexing one gives).
        value = item.as_py()
        if value is not None and not isinstance(value, (str, bytes)):
            raise TypeError(f"{name}[{k}] must be str or bytes-like, not a pyarrow "
                            f"{type(item).__name__}")
        return document(value, name, k, max_bytes, missing, labels, cut)
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
