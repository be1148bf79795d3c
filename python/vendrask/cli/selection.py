"""Which files are the command's documents: names, directories walked with
--glob, --exclude and --hidden, and --files-from lists.

Kept free of numpy so that ``vendrask measure`` starts as fast as the module.
"""
import os
import re
import stat

from .errors import Failure, UsageError, shown
from .reading import CHUNK, STDIN, reason, stdin

ONCE = ("standard input can be read only once: name '-' once, as a document, a query or "
        "the --files-from list")
LONGEST_PATH = 4096  # bytes of one path in a --files-from list (Linux's PATH_MAX)


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
        file = stdin() if source == STDIN else open(source, "rb")
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
        raise Failure(f"{shown(source)}: {reason(error)}") from None


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
            problems.append((directory, reason(error)))
            continue
        for name, mode, error in entries:
            path = os.path.join(directory, name)
            inner = f"{relative}/{name}" if relative else name
            if error is not None:
                if selection.take(inner):
                    problems.append((path, reason(error)))
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

