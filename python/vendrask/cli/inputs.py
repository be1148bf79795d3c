"""Documents for the vendrask command: files, directories, lists of paths, stdin.

No document is read further than it can be scored: at most the joint size
limit plus one byte (or ``--max-bytes`` plus one, to know whether it was
cut), so an endless file such as /dev/zero costs one read of 32 KB. A
document longer than the limit can only be paired with an identical one;
such documents are told apart without holding them (see ``scored``).

Kept free of numpy so that ``vendrask measure`` starts as fast as the module.
"""
import os
import re
import stat
import sys

from .. import JOINT_SIZE_LIMIT
from .errors import Failure, UsageError, listed, say, shown

STDIN = "-"
ONCE = ("standard input can be read only once: name '-' once, as a document, a query or "
        "the --files-from list")
HALF_LIMIT = JOINT_SIZE_LIMIT // 2 + 1  # 16384: two documents shorter than this always fit
LONGEST_PATH = 4096  # bytes of one path in a --files-from list (Linux's PATH_MAX)
CHUNK = 1 << 20


def _reason(error):
    return error.strerror or str(error)


# ---------------------------------------------------------------- which files

class Selection:
    """Which files found inside a directory are documents: --glob, --exclude
    and --hidden. Patterns are matched against the path relative to the
    directory given, with '/' between folders, as .gitignore lines are:

    - a pattern without a '/' (a trailing one aside) matches a file or folder
      name at any depth (``*.pyc``, ``__pycache__``); one with a '/' matches
      the whole relative path (``src/*.py``; a leading '/' changes nothing);
    - ``*`` matches anything but '/', ``?`` one character but '/', ``[a-z]``
      (``[!a-z]``) one of (not of) a set, ``**`` any number of folders
      (``**/test_*.py``, ``docs/**``, ``a/**/b``), and ``\\*`` a plain ``*``;
    - a pattern ending in '/' matches folders only.

    A file is taken if it matches no --exclude and, when there are --glob
    patterns, at least one of them. As in ripgrep, --glob matches the path
    of the file itself (``docs/**`` for every file under docs, not ``docs``),
    while a folder that matches an --exclude is left out with all under it. Names starting with '.' are hidden:
    skipped, with everything under them, unless ``hidden``. Case matters.
    Files named on the command line or in --files-from are always taken.
    """

    def __init__(self, globs=(), excludes=(), hidden=False):
        self.globs = [_Pattern(text) for text in globs or ()]
        self.excludes = [_Pattern(text) for text in excludes or ()]
        self.hidden = hidden

    def enter(self, relative):
        """Whether to look inside the folder at ``relative``."""
        return self._visible(relative) and not any(p.match(relative, True) for p in self.excludes)

    def take(self, relative):
        """Whether the file at ``relative`` (in folders entered) is a document."""
        if not self._visible(relative) or any(p.match(relative, False) for p in self.excludes):
            return False
        return not self.globs or any(p.match(relative, False) for p in self.globs)

    def _visible(self, relative):
        return self.hidden or not relative.rsplit("/", 1)[-1].startswith(".")


class _Pattern:
    def __init__(self, text):
        if not text or text.strip("/") == "":
            raise UsageError(f"{text!r} is not a pattern: expected a file or folder name such as "
                             f"'*.txt' or 'build/'")
        self.text = text
        self.folders_only = text.endswith("/")
        body = text.rstrip("/")
        anchored = "/" in body
        body = body.lstrip("/")
        self.regex = re.compile(("" if anchored else "(?:.*/)?") + _translate(body), re.DOTALL)

    def match(self, relative, is_folder):
        return (is_folder or not self.folders_only) and self.regex.fullmatch(relative) is not None


def _translate(glob):
    """A gitignore-like glob as a regular expression (see Selection)."""
    out, i, n = [], 0, len(glob)
    while i < n:
        c = glob[i]
        if c == "*" and glob.startswith("**", i) and (i == 0 or glob[i - 1] == "/") \
                and (i + 2 == n or glob[i + 2] == "/"):
            if i + 2 == n:  # a/** : everything under a
                out.append(".*")
                i += 2
            else:  # **/x or a/**/x : any number of folders, none included
                out.append("(?:.*/)?")
                i += 3
            continue
        if c == "*":
            while i < n and glob[i] == "*":  # other runs of * are one *
                i += 1
            out.append("[^/]*")
            continue
        if c == "?":
            out.append("[^/]")
        elif c == "\\" and i + 1 < n:
            i += 1
            out.append(re.escape(glob[i]))
        elif c == "[":
            end = i + 1
            if end < n and glob[end] in "!^":
                end += 1
            if end < n and glob[end] == "]":
                end += 1
            end = glob.find("]", end)
            if end < 0:
                out.append(re.escape(c))
            else:
                inside = glob[i + 1:end]
                negate = inside[:1] in ("!", "^")
                inside = inside[1:] if negate else inside
                inside = inside.replace("\\", "\\\\").replace("[", "\\[")
                out.append(f"[^/{inside}]" if negate else f"(?!/)[{inside}]")
                i = end
        else:
            out.append(re.escape(c))
        i += 1
    return "".join(out)


def expand(args, files_from=None, null=False, selection=None):
    """The documents named by ``args`` and the ``files_from`` list, in order.

    Returns (paths, problems): directories are replaced by the regular files
    under them that ``selection`` takes, sorted by their bytes; ``problems``
    holds (path, reason) for what could not be listed. Symbolic links inside
    directories are not followed (no cycles, no doubles), but a path given by
    name is always read.
    """
    selection = selection or Selection()
    names = list(args)
    if files_from is not None:
        names += _read_list(files_from, null)
    if names.count(STDIN) > 1 or (STDIN in names and files_from == STDIN):
        raise UsageError(ONCE)
    paths, problems = [], []
    for name in names:
        if name != STDIN and os.path.isdir(name):
            found = []
            _walk(name, selection, found, problems)
            found.sort(key=os.fsencode)
            paths += found
        else:
            paths.append(name)
    return paths, problems


def _read_list(source, null):
    """The paths of a --files-from list, read as a stream: an entry longer
    than any path can be, or a run of that many empty ones, is no list of
    paths (so that /dev/zero is refused, not read for ever)."""
    separator = b"\0" if null else b"\n"
    what = "NUL-separated" if null else "one a line"
    names, pending, empty = [], b"", 0
    try:
        file = _stdin() if source == STDIN else open(source, "rb")
        try:
            while True:
                chunk = file.read1(CHUNK)
                lines = (pending + chunk).split(separator)
                pending = lines.pop() if chunk else b""
                if len(pending) > LONGEST_PATH:
                    lines.append(pending)
                for line in lines:
                    if not null and line.endswith(b"\r"):
                        line = line[:-1]
                    if len(line) > LONGEST_PATH:
                        raise Failure(f"{shown(source)}: not a list of paths ({what}): an entry "
                                      f"longer than {LONGEST_PATH} bytes")
                    if line:
                        names.append(os.fsdecode(line))
                        empty = 0
                    else:
                        empty += 1
                        if empty > LONGEST_PATH:
                            raise Failure(f"{shown(source)}: not a list of paths ({what}): more "
                                          f"than {LONGEST_PATH} empty entries in a row")
                if not chunk:
                    return names
        finally:
            if source != STDIN:
                file.close()
    except OSError as error:
        raise Failure(f"{shown(source)}: {_reason(error)}") from None


_OWN_DESCRIPTORS = re.compile(r"/proc/(\d+)(?:/task/\d+)?/fd(?:info)?")
_PROC = []


def _proc_device():
    if not _PROC:
        try:
            _PROC.append(os.stat("/proc").st_dev)
        except OSError:
            _PROC.append(None)
    return _PROC[0]


def _walk(top, selection, found, problems):
    """Appends to ``found`` the regular files under ``top`` that ``selection``
    takes; (path, reason) to ``problems`` for what cannot be listed or has
    vanished since it was listed."""
    pending = [(top, "")]
    while pending:
        directory, relative = pending.pop()
        try:
            entries = _listing(directory)
        except OSError as error:
            problems.append((directory, _reason(error)))
            continue
        for name, mode, error in entries:
            path = os.path.join(directory, name)
            inner = f"{relative}/{name}" if relative else name
            if error is not None:
                if selection.take(inner):
                    problems.append((path, _reason(error)))
            elif stat.S_ISDIR(mode):
                if selection.enter(inner):
                    pending.append((path, inner))
            elif stat.S_ISREG(mode) and selection.take(inner):
                found.append(path)


def _listing(directory):
    """(name, mode or None, error or None) of each entry of ``directory``,
    without symbolic links followed. When the directory lists this process's
    own descriptors (/proc/self/fd, /proc/self/fdinfo), the descriptor that
    the listing itself holds is left out: it is gone once the listing is done."""
    itself = _listing_itself(directory)
    entries = []
    with os.scandir(directory) as listing:
        for entry in listing:
            try:
                if itself is not None and _points_to(entry.name, itself):
                    continue
                entries.append((entry.name, entry.stat(follow_symlinks=False).st_mode, None))
            except OSError as error:  # vanished since it was listed, say
                entries.append((entry.name, None, error))
    return entries


def _listing_itself(directory):
    """The real path of ``directory`` if it lists this process's own descriptors, else None."""
    try:
        if os.stat(directory).st_dev != _proc_device():
            return None
    except OSError:
        return None
    real = os.path.realpath(directory)
    own = _OWN_DESCRIPTORS.fullmatch(real)
    return real if own and int(own.group(1)) == os.getpid() else None


def _points_to(name, real):
    """Whether this process's descriptor ``name`` is open on the directory ``real``."""
    if not name.isdigit():
        return False
    try:
        return os.readlink(f"/proc/self/fd/{name}") == real
    except OSError:
        return False


# ---------------------------------------------------------------- reading

def _stdin():
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
        return _text(path, _read_up_to(_stdin(), wanted), max_bytes, None)
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
        raise Failure(f"{shown(path)}: {_reason(error)}") from None


def read_all(paths, problems, max_bytes, errors):
    """Texts for ``paths``; unreadable ones (and ``problems`` found while
    listing) fail unless errors='skip', which names them on one line."""
    texts = []
    for path in paths:
        try:
            texts.append(read_text(path, max_bytes))
        except OSError as error:
            problems.append((path, _reason(error)))
    if problems:
        if errors != "skip":
            path, reason = problems[0]
            raise Failure(f"{shown(path)}: {reason}")
        if len(problems) == 1:
            say(f"skipped {shown(problems[0][0])}: {problems[0][1]}")
        else:
            say(f"skipped {len(problems)} files that cannot be read: "
                + listed([f"{path} ({reason})" for path, reason in problems]))
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


def over_limit(t, s):
    """The message for two Texts over the joint size limit together."""
    if t.length is not None and s.length is not None:
        return (f"are {t.length} + {s.length} = {t.length + s.length} bytes together, "
                f"over the joint size limit of {JOINT_SIZE_LIMIT} bytes")
    long = t if t.length is None else s
    return (f"are over the joint size limit of {JOINT_SIZE_LIMIT} bytes together "
            f"({shown(long.label)} is longer than that: reading stopped at "
            f"{JOINT_SIZE_LIMIT + 1} bytes)")


# ---------------------------------------------------------------- the joint limit

def _fits(a, b):
    return a == b or len(a) + len(b) <= JOINT_SIZE_LIMIT


def unpaired(ts, ss=None):
    """Positions in ``ts`` (and ``ss``) of the documents that --errors skip
    leaves out: those that fit the joint limit with no other document (or with
    no document of the other list) and are themselves long, 16384 bytes or
    more. A shorter one is never to blame: two such always fit together, so it
    fits with nothing only because every other document is long, and stays.
    Leaving a document out never takes another's partner, since it has none.

    With ``ss`` None, ``ts`` is one list against itself and a document's own
    position does not count; alone in the list, it is kept.
    """
    if ss is None:
        if len(ts) < 2:
            return [], []
        gone = _unpaired_against(ts, ts, itself=True)
        return gone, gone
    return _unpaired_against(ts, ss), _unpaired_against(ss, ts)


def _unpaired_against(docs, others, itself=False):
    """``itself``: ``docs`` is ``others``, and a document's own position does not count."""
    if not others:
        return [i for i, doc in enumerate(docs) if len(doc) >= HALF_LIMIT]
    copies = {}
    for doc in others:
        if len(doc) >= HALF_LIMIT:
            copies[doc] = copies.get(doc, 0) + 1
    order = sorted(range(len(others)), key=lambda j: len(others[j]))[:2]
    gone = []
    for i, doc in enumerate(docs):
        if len(doc) < HALF_LIMIT or copies.get(doc, 0) > itself:
            continue  # short, or with an identical partner
        shortest = order[1] if itself and order[0] == i else order[0]
        if len(doc) + len(others[shortest]) > JOINT_SIZE_LIMIT:
            gone.append(i)
    return gone


def over_with_some(docs, others=None):
    """Positions in ``docs`` of the documents over the joint limit with some
    other (different) document: of ``docs`` itself, or of ``others``."""
    pool = docs if others is None else others
    if not pool:
        return []
    longest = max(range(len(pool)), key=lambda j: len(pool[j]))
    different = [j for j in range(len(pool)) if pool[j] != pool[longest]]
    runner_up = max(different, key=lambda j: len(pool[j])) if different else None
    over = []
    for i, doc in enumerate(docs):
        partner = runner_up if doc == pool[longest] else longest
        if partner is not None and not _fits(doc, pool[partner]):
            over.append(i)
    return over
