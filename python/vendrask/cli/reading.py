"""Reading the command's documents: files, stdin, and stand-ins for long ones.

No document is read further than it can be scored: at most the joint size
limit plus one byte (or ``--max-bytes`` plus one, to know whether it was
cut), so an endless file such as /dev/zero costs one read of 32 KB. A
document longer than the limit can only be paired with an identical one;
such documents are told apart without holding them (see ``scored``).

Kept free of numpy so that ``vendrask measure`` starts as fast as the module.
"""
import os
import stat
import sys

from .. import JOINT_SIZE_LIMIT
from .errors import Failure, listed, say, shown

STDIN = "-"
CHUNK = 1 << 20


def reason(error):
    """What an OSError says, for a message."""
    return error.strerror or str(error)


def stdin():
    if sys.stdin is None:  # started with stdin closed
        raise OSError(9, "standard input is closed")
    return sys.stdin.buffer


class Text:
    """One document as read. ``data`` holds its bytes, cut to ``max_bytes``;
    a document longer than the joint size limit holds only its first
    limit + 1 bytes (then ``long`` is true). ``length`` is its length after
    the cut, None if it is long and not a regular file (where reading stopped
    is all that is known); ``cut`` whether --max-bytes cut it."""
    __slots__ = ("label", "data", "length", "cut", "identity")

    def __init__(self, label, data, length, cut, identity):
        self.label, self.data, self.length, self.cut, self.identity = label, data, length, cut, identity

    @property
    def long(self):
        return len(self.data) > JOINT_SIZE_LIMIT

    def size(self):
        """Its length for a message."""
        return f"{self.length} bytes" if self.length is not None else \
            f"more than {JOINT_SIZE_LIMIT} bytes"


def read_text(path, max_bytes=None):
    """The document at ``path`` ('-': stdin), read no further than needed."""
    wanted = min(JOINT_SIZE_LIMIT if max_bytes is None else max_bytes, JOINT_SIZE_LIMIT) + 1
    if path == STDIN:
        return _text(path, _read_up_to(stdin(), wanted), max_bytes, None)
    with open(path, "rb") as file:
        found = os.fstat(file.fileno())
        data = _read_up_to(file, wanted)
    regular = stat.S_ISREG(found.st_mode)
    return _text(path, data, max_bytes, found if regular else None)


def _read_up_to(file, count):
    parts, left = [], count
    while left > 0:
        part = file.read(left)
        if not part:
            break
        parts.append(part)
        left -= len(part)
    return b"".join(parts)


def _text(path, data, max_bytes, regular):
    identity = (regular.st_dev, regular.st_ino) if regular is not None else None
    if max_bytes is not None and len(data) > max_bytes:  # only when max_bytes <= the limit
        return Text(path, data[:max_bytes], max_bytes, True, identity)
    if len(data) <= JOINT_SIZE_LIMIT:
        return Text(path, data, len(data), False, identity)
    # Long: only an identical document pairs with it. A regular file's size
    # is its length (when it is not less than what was read: /proc says 0).
    size = regular.st_size if regular is not None and regular.st_size >= len(data) else None
    if size is None:
        return Text(path, data, None, False, None)
    if max_bytes is not None and size > max_bytes:
        return Text(path, data, max_bytes, True, identity)
    return Text(path, data, size, False, identity)


def read(path, max_bytes=None):
    """One document as a Text; an unreadable one is a Failure."""
    try:
        return read_text(path, max_bytes)
    except OSError as error:
        raise Failure(f"{shown(path)}: {reason(error)}") from None


def read_all(paths, problems, max_bytes, errors):
    """Texts for ``paths``; unreadable ones (and ``problems`` found while
    listing) fail unless errors='skip', which names them on one line."""
    texts = []
    for path in paths:
        try:
            texts.append(read_text(path, max_bytes))
        except OSError as error:
            problems.append((path, reason(error)))
    if problems:
        if errors != "skip":
            path, why = problems[0]
            raise Failure(f"{shown(path)}: {why}")
        if len(problems) == 1:
            say(f"skipped {shown(problems[0][0])}: {problems[0][1]}")
        else:
            say(f"skipped {len(problems)} files that cannot be read: "
                + listed([f"{path} ({why})" for path, why in problems]))
    return texts


def scored(texts, stable=False):
    """The bytes to score for each Text, all from one run (or, ``stable``,
    from any run: see ``_stable``).

    A long document (over the joint size limit) pairs only with an identical
    one, so instead of its bytes it is given a stand-in: its first limit + 1
    bytes followed by a number, the same for identical documents and
    different otherwise, so that the scores are those of the whole documents.
    Two long documents are identical when they are the same file; or, for
    regular files of the same length that begin alike, when their contents
    (up to --max-bytes) hash alike, which is read only then.
    """
    if stable:
        return [_stable(text) if text.long else text.data for text in texts]
    classes = {}
    candidates = {}
    for text in texts:
        if text.long and text.identity is not None:
            candidates.setdefault((text.length, text.data), {}).setdefault(text.identity, text)
    digests = {}
    for files in candidates.values():
        if len(files) > 1:
            for identity, text in files.items():
                digests[identity] = _digest(text.label, text.length)
    stand_ins = []
    for text in texts:
        if not text.long:
            stand_ins.append(text.data)
            continue
        if text.identity is None:
            key = object()  # read from a stream: it cannot be read again to compare
        elif digests.get(text.identity) is not None:
            key = ("digest", text.length, text.data, digests[text.identity])
        else:
            key = ("file", text.identity)
        if key not in classes:
            classes[key] = text.data + b"\0" + len(classes).to_bytes(8, "big")
        stand_ins.append(classes[key])
    return stand_ins


def _stable(text):
    """The stand-in of a long document kept in an index, where it meets the
    documents of later runs: the hash of all its bytes (up to --max-bytes)
    then its beginning, 32768 bytes in all, so that an index cutting at
    --max-bytes (more than the limit) keeps it whole. One read from a stream
    cannot be read again: it gets a random hash, equal to nothing."""
    digest = _digest(text.label, text.length) if text.identity is not None else None
    token = b"\0" + (digest or os.urandom(32))
    return token + text.data[:JOINT_SIZE_LIMIT + 1 - len(token)]


def _digest(path, length):
    """A hash of the first ``length`` bytes of the file at ``path``; None if
    it cannot be read again, or has changed."""
    import hashlib
    digest, left = hashlib.sha256(), length
    try:
        with open(path, "rb") as file:
            while left > 0:
                part = file.read(min(left, CHUNK))
                if not part:
                    return None
                digest.update(part)
                left -= len(part)
    except OSError:
        return None
    return digest.digest()

