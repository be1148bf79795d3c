"""Documents for the vendrask command: files, directories, lists of paths, stdin.

Kept free of numpy so that ``vendrask measure`` starts as fast as the module.
"""
import os
import stat
import sys

from .. import JOINT_SIZE_LIMIT
from .errors import Failure, UsageError, say, shown

STDIN = "-"
ONCE = ("standard input can be read only once: name '-' once, as a document, a query or "
        "the --files-from list")


def _reason(error):
    return error.strerror or str(error)


def expand(args, files_from=None, null=False):
    """The documents named by ``args`` and the ``files_from`` list, in order.

    Returns (paths, problems): directories are replaced by the regular files
    under them, sorted by their bytes; ``problems`` holds (path, reason) for
    what could not be listed. Symbolic links inside directories are not
    followed (no cycles, no doubles), but a path given by name is always read.
    """
    names = list(args)
    if files_from is not None:
        names += _read_list(files_from, null)
    if names.count(STDIN) > 1 or (STDIN in names and files_from == STDIN):
        raise UsageError(ONCE)
    paths, problems = [], []
    for name in names:
        if name != STDIN and os.path.isdir(name):
            found = []
            _walk(name, found, problems)
            found.sort(key=os.fsencode)
            paths += found
        else:
            paths.append(name)
    return paths, problems


def _read_list(source, null):
    try:
        if source == STDIN:
            data = _stdin().read()
        else:
            with open(source, "rb") as file:
                data = file.read()
    except OSError as error:
        raise Failure(f"{shown(source)}: {_reason(error)}") from None
    separator = b"\0" if null else b"\n"
    lines = data.split(separator)
    if not null:
        lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    return [os.fsdecode(line) for line in lines if line]


def _walk(directory, found, problems):
    try:
        with os.scandir(directory) as entries:
            entries = list(entries)
    except OSError as error:
        problems.append((directory, _reason(error)))
        return
    for entry in entries:
        try:
            mode = entry.stat(follow_symlinks=False).st_mode
        except OSError as error:
            problems.append((entry.path, _reason(error)))
            continue
        if stat.S_ISDIR(mode):
            _walk(entry.path, found, problems)
        elif stat.S_ISREG(mode):
            found.append(entry.path)


def read(path, max_bytes=None):
    """The bytes of one document (at most ``max_bytes`` of them)."""
    try:
        return _read(path, max_bytes)
    except OSError as error:
        raise Failure(f"{shown(path)}: {_reason(error)}") from None


def _stdin():
    if sys.stdin is None:  # started with stdin closed
        raise OSError(9, "standard input is closed")
    return sys.stdin.buffer


def _read(path, max_bytes):
    limit = -1 if max_bytes is None else max_bytes
    if path == STDIN:
        return _stdin().read(limit)
    with open(path, "rb") as file:
        return file.read(limit)


def read_all(paths, problems, max_bytes, errors):
    """(labels, docs) for ``paths``; unreadable ones fail unless errors='skip'."""
    labels, docs = [], []
    for path in paths:
        try:
            data = _read(path, max_bytes)
        except OSError as error:
            problems.append((path, _reason(error)))
            continue
        labels.append(path)
        docs.append(data)
    if problems:
        if errors != "skip":
            path, reason = problems[0]
            raise Failure(f"{shown(path)}: {reason}")
        for path, reason in problems:
            say(f"skipped {shown(path)}: {reason}")
    return labels, docs


def over_limit(len_t, len_s):
    return (f"are {len_t} + {len_s} = {len_t + len_s} bytes together, "
            f"over the joint size limit of {JOINT_SIZE_LIMIT} bytes")


def unpaired(ts, ss=None):
    """Positions in ``ts`` (and ``ss``) of documents that cannot be paired at all.

    A document pairs with another if both fit the joint limit together or the
    two are equal. With ``ss`` None, ``ts`` is one list against itself and a
    document's own position does not count; alone in the list, it is kept.
    """
    if ss is None:
        if len(ts) < 2:
            return [], []
        lengths = sorted(map(len, ts))
        copies = {}
        for doc in ts:
            if len(doc) + lengths[0] > JOINT_SIZE_LIMIT:
                copies[doc] = copies.get(doc, 0) + 1

        def lone(doc):
            shortest_other = lengths[1] if len(doc) == lengths[0] else lengths[0]
            return len(doc) + shortest_other > JOINT_SIZE_LIMIT and copies.get(doc, 0) < 2
        gone = [i for i, doc in enumerate(ts) if lone(doc)]
        return gone, gone
    return _unpaired_against(ts, ss), _unpaired_against(ss, ts)


def _unpaired_against(docs, others):
    if not others:
        return list(range(len(docs)))
    shortest = min(map(len, others))
    big = {doc for doc in others if len(doc) + shortest > JOINT_SIZE_LIMIT} if docs else set()
    return [i for i, doc in enumerate(docs)
            if len(doc) + shortest > JOINT_SIZE_LIMIT and doc not in big]
