"""Output of the vendrask command: csv, tsv and JSON written as rows are ready.

Everything is written as UTF-8; bytes of file names that are not UTF-8 pass
through unchanged in csv and tsv (the names stay exact) and become \\udcXX
escapes in JSON (which must stay valid UTF-8 text).
"""
import csv
import io
import json
import os
import re
import stat
import sys

from .errors import WriteError, shown

TEXT_FORMATS = ("csv", "tsv", "json")
_SURROGATE = re.compile("[\ud800-\udfff]")
_TSV_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


def json_string(text):
    quoted = json.dumps(text, ensure_ascii=False)
    return _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", quoted)


TEXT_SUFFIXES = tuple(f".{fmt}" for fmt in TEXT_FORMATS)
BINARY_SUFFIXES = (".npy", ".npz")  # matrix only


def suffix_of(path):
    """The suffix of an output file's name, in lower case ('' for none)."""
    return os.path.splitext(os.path.basename(path or ""))[1].lower()


def format_of(path):
    """The text format that an output file's name asks for; csv by default
    (and for a name without a suffix, such as /dev/stdout)."""
    suffix = suffix_of(path)
    return suffix[1:] if suffix in TEXT_SUFFIXES else "csv"


def number(value, nan):
    return repr(value) if value == value else nan


_OWN_DESCRIPTOR = re.compile(r"/proc/(self|thread-self|\d+)(?:/task/\d+)?/fd/(\d+)")
LINKS_FOLLOWED = 40  # as the kernel's limit on symbolic links in a path


class Target:
    """Where output for PATH goes, decided before any work:

    - a regular file, or a path where nothing is yet, is replaced at the end,
      all at once: the output is written to a temporary file beside it,
      which takes the old file's mode (and owner, where allowed) and is then
      renamed over it;
    - a symbolic link is followed, and what it points to is what is
      replaced (beside it); the link stays;
    - anything else (a device such as /dev/null, a FIFO, a terminal) and a
      descriptor of this process (/dev/stdout, /dev/fd/N, /proc/self/fd/N,
      which keep their offset and append mode) is written to as it is;
    - a directory is an error.
    """

    def __init__(self, path):
        self.path, self.name = path, shown(path)
        self.descriptor = None  # of this process, for /dev/stdout and the like
        self.replace = None  # the path of the file to replace, when replacing
        self.existing = None  # its os.stat_result, if there is one
        where, links = path, 0
        while True:
            own = _own_descriptor(where)
            if own is not None:
                self.descriptor = own
                return
            try:
                target = os.readlink(where)
            except OSError:  # not a link (or nothing there)
                break
            links += 1
            if links > LINKS_FOLLOWED:
                raise WriteError(f"{self.name}: Too many levels of symbolic links")
            where = os.path.join(os.path.dirname(where), target)
        try:
            found = os.stat(where)
        except FileNotFoundError:
            found = None
        except OSError as error:
            raise WriteError(f"{self.name}: {error.strerror or error}") from None
        if found is not None and stat.S_ISDIR(found.st_mode):
            raise WriteError(f"{self.name}: Is a directory")
        if found is not None and not stat.S_ISREG(found.st_mode):
            self.direct = where
            return
        self.direct = None
        self.replace, self.existing = where, found

    def check(self):
        """Refuses, before the work, an output that cannot be written."""
        if self.descriptor is not None:
            try:
                os.fstat(self.descriptor)
            except OSError as error:
                raise WriteError(f"{self.name}: {error.strerror or error}") from None
            return
        if self.direct is not None:
            if not os.access(self.direct, os.W_OK):
                raise WriteError(f"{self.name}: Permission denied")
            return
        folder = os.path.dirname(self.replace) or "."
        if not os.path.isdir(folder):
            raise WriteError(f"{self.name}: No such file or directory")
        if not os.access(folder, os.W_OK | os.X_OK) or \
                (self.existing is not None and not os.access(self.replace, os.W_OK)):
            raise WriteError(f"{self.name}: Permission denied")


def _own_descriptor(path):
    """N if ``path`` names this process's descriptor N (/dev/stdout,
    /dev/fd/N, /proc/self/fd/N), else None."""
    if path in ("/dev/stdin", "/dev/stdout", "/dev/stderr"):
        return ("/dev/stdin", "/dev/stdout", "/dev/stderr").index(path)
    if not path.startswith(("/dev/fd/", "/proc/")):
        return None
    if path.startswith("/dev/fd/"):
        number = path[len("/dev/fd/"):]
        return int(number) if number.isdigit() else None
    found = _OWN_DESCRIPTOR.fullmatch(path)
    if found is None or found.group(1) not in ("self", "thread-self", str(os.getpid())):
        return None
    return int(found.group(2))


class Destination:
    """Standard output, or PATH as Target says: a file replaced only once the
    output is complete (so that a failed or interrupted run leaves no
    half-written output behind), or a device, FIFO or descriptor written to
    as it is."""

    def __init__(self, path=None):
        self.path = path
        self.temp = None  # the Replacement of a file replaced
        if path is None:
            self.name = "write error"
            if sys.stdout is None:  # started with stdout closed
                raise WriteError("write error: standard output is closed")
            sys.stdout.flush()
            self.binary = sys.stdout.buffer
            return
        target = Target(path)
        self.name = target.name
        try:
            if target.descriptor is not None:
                if target.descriptor == 1 and sys.stdout is not None:
                    sys.stdout.flush()
                descriptor = os.dup(target.descriptor)
            elif target.direct is not None:
                descriptor = os.open(target.direct, os.O_WRONLY)
            else:
                # The package's one way to replace a file (see _files).
                from .._files import Replacement
                self.temp = Replacement(target.replace)
                self.binary = self.temp.file
                return
            self.binary = io.open(descriptor, "wb")
        except OSError as error:
            self.discard()
            raise WriteError(f"{self.name}: {error.strerror or error}") from None

    def commit(self):
        try:
            if self.temp is not None:
                self.temp.commit()  # flushed, closed and renamed into place
                self.temp = None
                return
            self.binary.flush()
            if self.path is not None:
                self.binary.close()
        except OSError as error:
            self.fail(error)

    def discard(self):
        if self.temp is not None:
            self.temp.discard()
            self.temp = None
            return
        binary = getattr(self, "binary", None)
        if self.path is not None and binary is not None:
            try:
                binary.close()
            except OSError:
                pass

    def fail(self, error):
        """Turns an OSError from writing into WriteError (a broken pipe stays as it is)."""
        if isinstance(error, BrokenPipeError):
            raise error
        raise WriteError(f"{self.name}: {error.strerror or error}") from None


class Table:
    """Rows of named fields in one of the text formats."""

    def __init__(self, destination, fmt, progress=None):
        self.destination, self.fmt = destination, fmt
        self.progress = progress or (lambda rows: None)
        self.text = io.TextIOWrapper(destination.binary, encoding="utf-8", errors="surrogateescape",
                                     newline="\n", write_through=False)
        self.csv = csv.writer(self.text, lineterminator="\n") if fmt == "csv" else None

    def _write_fields(self, fields):
        if self.csv is not None:
            self.csv.writerow(fields)
        else:
            self.text.write("\t".join(field.translate(_TSV_ESCAPES) for field in fields) + "\n")

    def records(self, names, rows):
        """One line per row: a header then fields, or JSON objects with ``names`` as keys.

        ``rows`` yields tuples of str (names) and floats (scores, NaN allowed)."""
        try:
            if self.fmt == "json":
                keys = [json_string(name) + ": " for name in names]
                for row in rows:
                    self.text.write("{" + ", ".join(
                        key + (json_string(value) if isinstance(value, str) else
                               number(value, "null") if isinstance(value, float) else str(value))
                        for key, value in zip(keys, row)) + "}\n")
                    self.progress(1)
            else:
                self._write_fields(names)
                for row in rows:
                    self._write_fields([value if isinstance(value, str) else
                                        number(value, "") if isinstance(value, float) else str(value)
                                        for value in row])
                    self.progress(1)
            self.text.flush()
        except OSError as error:
            self.destination.fail(error)

    def matrix(self, labels, rows):
        """A labelled square table: csv/tsv with a header row, or one JSON object
        {"files": [...], "matrix": [[...], ...]} with one row per line."""
        try:
            if self.fmt == "json":
                self.text.write('{"files": [' + ", ".join(map(json_string, labels)) + '],\n"matrix": [')
                for i, row in enumerate(rows):
                    self.text.write(("\n[" if i == 0 else ",\n[")
                                    + ", ".join([number(x, "null") for x in row]) + "]")
                    self.progress(len(row))
                self.text.write("]}\n")
            else:
                self._write_fields([""] + labels)
                for label, row in zip(labels, rows):
                    self._write_fields([label] + [number(x, "") for x in row])
                    self.progress(len(row))
            self.text.flush()
        except OSError as error:
            self.destination.fail(error)

    def detach(self):
        try:
            self.text.detach()
        except (OSError, ValueError):
            pass


def write_file(path, save, streams=False):
    """Calls ``save(binary)`` on a Destination for ``path`` and puts the file
    in place only if it succeeds. Unless ``save`` ``streams`` (copes with a
    file it cannot seek in), a destination that cannot seek (a FIFO, a pipe)
    gets what ``save`` wrote all at the end: a writer may go back to fill in
    what it wrote."""
    destination = Destination(path)
    try:
        if streams or destination.binary.seekable():
            save(destination.binary)
        else:
            buffer = io.BytesIO()
            save(buffer)
            destination.binary.write(buffer.getbuffer())
    except OSError as error:
        destination.discard()
        destination.fail(error)
    except BaseException:
        destination.discard()
        raise
    destination.commit()


def save_array(path, values, labels):
    """``values`` in numpy's format: FILE.npz holds ``matrix`` and ``files``;
    FILE.npy holds the matrix with the labels in FILE.json beside it."""
    import numpy as np
    if suffix_of(path) == ".npz":
        write_file(path, lambda binary: np.savez(binary, matrix=values, files=np.array(labels, dtype=str)),
                   streams=True)  # zipfile writes to a stream it cannot seek in
        return
    sidecar = os.path.splitext(path)[0] + ".json"
    written = []
    try:
        for target, save in ((path, lambda binary: np.save(_stream(binary), values)),
                             (sidecar, lambda binary: binary.write(
                                 ('{"files": [' + ", ".join(map(json_string, labels)) + "]}\n").encode()))):
            destination = Destination(target)
            written.append(destination)
            try:
                save(destination.binary)
            except OSError as error:
                destination.fail(error)
        for destination in written:
            destination.commit()
    except BaseException:
        for destination in written:
            destination.discard()
        raise


class _Stream:
    """A file numpy cannot take for a real one: np.save then writes it in
    chunks rather than with tofile, which needs a file position (a FIFO has none)."""

    def __init__(self, binary):
        self.write = binary.write


def _stream(binary):
    return binary if binary.seekable() else _Stream(binary)
