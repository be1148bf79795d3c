"""The two files of an index on disk: INDEX, as ``Index.save`` writes it,
and INDEX.names beside it (beside the file a symbolic link INDEX points to),
one line of ASCII JSON holding the names of its documents, in order, with
the SHA-256 of the index file they belong to. JSON escapes newlines, tabs and
the bytes of names that are not UTF-8, so any file name survives. The index
file knows nothing of its names: a names file that is missing, truncated, or
written for another index file (one of the two replaced or moved without
the other) is refused with one line, never paired with the wrong documents.
"""
import hashlib
import json
import os
import stat

from .errors import Failure, WriteError, shown
from .reading import STDIN

NAMES_SUFFIX = ".names"
NAMES_FORMAT = "vendrask index names"
NAMES_HEAD = b'{"format": "' + NAMES_FORMAT.encode() + b'"'  # how a names file begins
NAMES_VERSION = 1


class IndexPath:
    """INDEX as given; a symbolic link is followed, and its target (with the
    names beside it) is what is read and replaced."""

    def __init__(self, given):
        self.given, self.name = given, shown(given)
        self.real = os.path.realpath(given)
        self.names = self.real + NAMES_SUFFIX
        self.names_name = shown(given + NAMES_SUFFIX if not os.path.islink(given) else self.names)

    def check_readable(self):
        try:
            found = os.stat(self.real)
        except OSError as error:
            raise Failure(f"{self.name}: {error.strerror or error}") from None
        if stat.S_ISDIR(found.st_mode):
            raise Failure(f"{self.name}: Is a directory: expected an index file "
                          f"(vendrask index build INDEX DOCS... makes one)")

    def check_replaceable(self):
        """Before any work: build replaces an index, never another file.
        (Failure, not WriteError: nothing has been written, so standard
        output stays as it is.)"""
        for path, name, what in ((self.real, self.name, _is_index),
                                 (self.names, self.names_name, _is_names)):
            try:
                found = os.stat(path)
            except FileNotFoundError:
                continue
            except OSError as error:
                raise Failure(f"{name}: {error.strerror or error}") from None
            if stat.S_ISDIR(found.st_mode):
                raise Failure(f"{name}: Is a directory")
            if not stat.S_ISREG(found.st_mode) or not what(path):
                raise Failure(f"{name}: exists and is not {what.__doc__}; build replaces only "
                                 f"an index: remove it first, or name another INDEX")
        folder = os.path.dirname(self.real) or "."
        if not os.path.isdir(folder):
            raise Failure(f"{self.name}: No such file or directory")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise Failure(f"{self.name}: Permission denied")


def _head(path, size):
    try:
        with _files().open_regular(path) as file:
            return file.read(size)
    except OSError:
        return b""


def _is_index(path):
    """a vendrask index"""
    from .._store import MAGIC
    return _head(path, len(MAGIC)) == MAGIC


def _is_names(path):
    """the names file of a vendrask index"""
    return _head(path, len(NAMES_HEAD)) == NAMES_HEAD


def index_class():
    import vendrask
    return vendrask.Index, vendrask.IndexFileError


def window_class():
    from .._passages import WindowIndex
    return WindowIndex


def stored_kind(path):
    """The kind the index file at ``path`` names in its header (None: an
    index of whole documents), or None where it cannot be read: the load
    that follows says why."""
    from .. import IndexFileError, _store
    try:
        with _files().open_regular(path) as file:
            size = os.fstat(file.fileno()).st_size
            meta, _ = _store.read_header(_store._Reader(file, path), size)
    except (OSError, IndexFileError):
        return None
    kind = meta.get("kind")
    return kind if isinstance(kind, str) else None


def _files():
    from .. import _files
    return _files


def load(path, workers=1):
    """(index, names) from INDEX and its names file; one line for any fault.
    Both must be regular files: a FIFO or device is refused at once, never
    waited on or read without end."""
    where = IndexPath(path)
    where.check_readable()
    Index, IndexFileError = index_class()
    from .. import _store
    digest = hashlib.sha256()
    try:
        # The digest is of the very bytes the index was read from.
        if stored_kind(where.real) == "windows":
            index = window_class()._load(where.real, workers, digest=digest)
        else:
            index = _store.load(Index, where.real, workers, digest=digest)
    except IndexFileError as error:
        raise Failure(f"{where.name}: {_unprefixed(str(error), where)}") from None
    except OSError as error:
        raise Failure(f"{where.name}: {error.strerror or error}") from None
    return index, _read_names(where, digest.hexdigest(), len(index))


def _unprefixed(message, where):
    """An error about the file as the user named it, not by the path it was read at."""
    for prefix in (f"{where.real}: ", f"{where.given}: "):
        if message.startswith(prefix):
            return message[len(prefix):]
    return message


def _read_names(where, digest, count):
    name = where.names_name
    files = _files()
    try:
        files.remove_stale(where.names)
        with files.open_regular(where.names) as file:
            data = file.read()
    except FileNotFoundError:
        raise Failure(f"{name}: No such file or directory: the names of {where.name}'s documents "
                      f"are kept in it, beside the index (copy and move both files)") from None
    except files.NotRegularFileError as error:
        raise Failure(f"{name}: {error.strerror}: the names file of an index is a regular "
                      f"file") from None
    except OSError as error:
        raise Failure(f"{name}: {error.strerror or error}") from None
    try:
        found = json.loads(data.decode("ascii"))
        ok = (isinstance(found, dict) and found.get("format") == NAMES_FORMAT
              and isinstance(found.get("names"), list)
              and all(isinstance(n, str) for n in found["names"]))
    except (UnicodeDecodeError, ValueError, RecursionError):
        ok = False
    if not ok:
        raise Failure(f"{name}: truncated or corrupt: not the names file of a vendrask index "
                      f"(vendrask index build makes both again)")
    if found.get("version") != NAMES_VERSION:
        raise Failure(f"{name}: written by another version of vendrask (names format "
                      f"{found.get('version')!r}, this one reads {NAMES_VERSION})")
    if found.get("index_sha256") != digest or len(found["names"]) != count:
        raise Failure(f"{name}: the names of another index file ({len(found['names'])} names, "
                      f"{where.name} holds {count} documents): one of the two was replaced without "
                      f"the other (vendrask index build makes both again)")
    return found["names"]


class _Digested:
    """A binary file that also feeds what is written to it to a digest."""

    def __init__(self, file, digest):
        self.file, self.digest = file, digest

    def write(self, data):
        self.digest.update(data)
        return self.file.write(data)


def save(index, names, path):
    """Saves ``index`` at INDEX and ``names`` beside it, each through a
    temporary file created beside it and renamed into place once complete
    (``_files.Replacement``); an index file and a names file left from
    different runs (a crash between the two renames) are told apart by
    the digest."""
    from .. import IndexFileError, _store
    where = IndexPath(path)
    where.check_replaceable()
    files = _files()
    replacements = []
    try:
        stored = getattr(index, "_stored", None)
        if stored is not None:  # an index of windows: its table goes with it
            inner, kind, annex = stored()
            head, arrays = _store.encode(inner, where.real, kind, annex)
        else:
            head, arrays = _store.encode(index, where.real)
        replacements = [files.Replacement(where.real), files.Replacement(where.names)]
        digest = hashlib.sha256()
        _store.write(_Digested(replacements[0].file, digest), head, arrays)
        record = {"format": NAMES_FORMAT, "version": NAMES_VERSION,
                  "index_sha256": digest.hexdigest(), "documents": len(names), "names": names}
        # ensure_ascii: newlines, tabs and undecodable bytes (\udcXX) all escaped
        replacements[1].file.write((json.dumps(record, ensure_ascii=True) + "\n").encode("ascii"))
        replacements[1].commit()
        replacements[0].commit()
    except IndexFileError as error:
        raise Failure(f"{where.name}: {_unprefixed(str(error), where)}") from None
    except OSError as error:
        raise WriteError(f"{where.name}: {error.strerror or error}") from None
    finally:
        for replacement in replacements:
            replacement.discard()


# ---------------------------------------------------------------- names

def _recorded(label):
    """What INDEX.names records of a document named ``label``: its absolute
    path (symbolic links kept, so that the name stays the one given)."""
    return label if label == STDIN else os.path.abspath(label)


class _Names:
    """The names of an index's documents as the commands print them, and
    which files they are."""

    def __init__(self, names):
        self.names = names
        try:
            here = os.getcwd()
        except OSError:  # the current folder was removed: absolute names
            here = None
        self.prefix = None if here is None else here.rstrip(os.sep) + os.sep
        self._files = {}

    def __getitem__(self, position):
        name = self.names[position]
        if self.prefix is not None and name.startswith(self.prefix) and len(name) > len(self.prefix):
            return name[len(self.prefix):]
        return name

    def file(self, position):
        """(device, inode) of the file the name at ``position`` names, or
        None (stdin, or no such file now); an earlier version's relative
        names are taken from the current folder."""
        name = self.names[position]
        if name not in self._files:
            self._files[name] = _file_of(name)
        return self._files[name]


def _file_of(name):
    if name == STDIN:
        return None
    try:
        found = os.stat(name)
    except (OSError, ValueError):
        return None
    return found.st_dev, found.st_ino
