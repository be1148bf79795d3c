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
import sys

from .errors import WriteError, shown

TEXT_FORMATS = ("csv", "tsv", "json")
_SURROGATE = re.compile("[\ud800-\udfff]")
_TSV_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


def json_string(text):
    quoted = json.dumps(text, ensure_ascii=False)
    return _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", quoted)


def format_of(path):
    """The text format that an output file's name asks for; csv by default."""
    suffix = os.path.splitext(path or "")[1].lower().lstrip(".")
    return suffix if suffix in TEXT_FORMATS else "csv"


def number(value, nan):
    return repr(value) if value == value else nan


class Destination:
    """Standard output, or a file that replaces PATH only once it is complete,
    so that a failed or interrupted run leaves no half-written output behind."""

    def __init__(self, path=None):
        self.path, self.temp = path, None
        if path is None:
            self.name = "write error"
            if sys.stdout is None:  # started with stdout closed
                raise WriteError("write error: standard output is closed")
            sys.stdout.flush()
            self.binary = sys.stdout.buffer
            return
        self.name = shown(path)
        folder, base = os.path.split(path)
        self.temp = os.path.join(folder, f".{base}.{os.getpid()}.tmp")
        try:
            self.binary = io.open(os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), "wb")
        except OSError as error:
            raise WriteError(f"{self.name}: {error.strerror or error}") from None

    def commit(self):
        try:
            self.binary.flush()
            if self.temp is not None:
                self.binary.close()
                os.replace(self.temp, self.path)
                self.temp = None
        except OSError as error:
            self.fail(error)

    def discard(self):
        if self.temp is not None:
            try:
                self.binary.close()
            except OSError:
                pass
            try:
                os.unlink(self.temp)
            except OSError:
                pass
            self.temp = None

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


def write_file(path, save):
    """Calls ``save(binary)`` on a Destination for ``path`` and puts the file
    in place only if it succeeds."""
    destination = Destination(path)
    try:
        save(destination.binary)
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
    if path.endswith(".npz"):
        write_file(path, lambda binary: np.savez(binary, matrix=values, files=np.array(labels, dtype=str)))
        return
    sidecar = path[: -len(".npy")] + ".json"
    written = []
    try:
        for target, save in ((path, lambda binary: np.save(binary, values)),
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
