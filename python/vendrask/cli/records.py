"""Records of a dataset file as the documents of ``vendrask dedup``: one text
field of each object of a JSON Lines file, or one column of a Parquet, CSV or
TSV table; and the same file written back, each record with its cluster
added, or without its duplicates.

JSON Lines and CSV are read as a stream, one record at a time, and written
back from the input itself, so each record comes out byte for byte as it
went in (with ``--clusters``, one field or column added at its end). They
may be compressed (``.gz``, ``.bz2``, ``.xz``). Parquet is read in batches,
the text column first and the whole rows only while writing, and written
with the input's schema and compression. Only Parquet needs pyarrow (the
``datasets`` extra).

Lines and rows are counted from 1 in messages. A text longer than the joint
size limit can only pair with an identical one: it is held as a stand-in of
the limit's size (its hash, then its beginning), as the command holds long
files.
"""
import csv
import hashlib
import io
import json
import os
import shutil
import stat
import sys
import tempfile
from array import array

from .. import JOINT_SIZE_LIMIT
from .errors import Failure, UsageError, listed, say, shown

FORMATS = ("jsonl", "parquet", "csv", "tsv")
FORMAT_NAMES = {"jsonl": "JSON Lines", "parquet": "Parquet", "csv": "CSV", "tsv": "TSV"}
SUFFIXES = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".parquet": "parquet",
            ".pq": "parquet", ".csv": "csv", ".tsv": "tsv"}
KEEP = ("first", "longest")
ERRORS = ("raise", "nan", "skip")
CLUSTER = "cluster"  # the field or column --clusters adds, unless --cluster-field
NEED_PYARROW = "reading Parquet needs pyarrow: pip install 'vendrask[datasets]'"
# Parquet is read in batches of this many rows, through a buffer instead of
# whole column chunks: on 100 000 prose records (90 MB of text) reading
# peaks at 150 MB above the texts' own 95 MB with 4096 rows, against 315 MB
# in batches of 65536 read whole. The output's row groups gather batches up
# to ROW_GROUP rows or ROW_GROUP_BYTES.
BATCH = 4096
READ_BUFFER = 1 << 20
ROW_GROUP = 65536
ROW_GROUP_BYTES = 64 << 20
FEW = 5  # records named in a message before "and N more"


def _compressions():
    import bz2
    import gzip
    import lzma
    return {".gz": gzip, ".bz2": bz2, ".xz": lzma}


COMPRESSED = (".gz", ".bz2", ".xz")


def _stripped(path):
    """(the name without a compression suffix, that suffix or '')."""
    base, suffix = os.path.splitext(path)
    if suffix.lower() in COMPRESSED:
        return base, suffix.lower()
    return path, ""


def format_of(path):
    """The format that a file's name says ('jsonl', 'parquet', 'csv',
    'tsv'), behind any compression suffix; None if it says none."""
    base, _ = _stripped(path)
    return SUFFIXES.get(os.path.splitext(base)[1].lower())


def _format_named(path):
    """format_of(path), or a UsageError saying what names a format."""
    if path == "-":
        raise UsageError("records on stdin need --input-format FORMAT")
    fmt = format_of(path)
    if fmt is None:
        raise UsageError(f"{shown(path)}: cannot tell the records' format from its name: "
                         f"expected .jsonl, .ndjson, .json, .parquet, .pq, .csv or .tsv (any "
                         f"case, and .gz, .bz2 or .xz behind), or --input-format FORMAT")
    return fmt


# ---------------------------------------------------------------- the records

class _Noted:
    """How many records something befell, and where the first few are."""

    def __init__(self):
        self.count, self.where = 0, []

    def add(self, where):
        self.count += 1
        if len(self.where) < FEW:
            self.where.append(where)

    def text(self):
        shown_ = ", ".join(self.where)
        return shown_ if self.count <= len(self.where) else \
            f"{shown_} and {self.count - len(self.where)} more"


class Records:
    """A dataset file read by read_records: what writing it back needs.
    ``lengths[i]`` is the length in bytes of record i's whole text (-1 when
    it has none); ``missing`` and ``cut`` note the records without text and
    those whose text --max-bytes cut. Close it (or use it in a with block)
    to remove the copy kept of a stream."""

    def __init__(self, path, fmt, field, errors):
        self.path, self.name, self.fmt = path, shown(path), fmt
        self.field, self.errors = field, errors
        self.compression = _stripped(path)[1] if path != "-" else ""
        self.lengths = array("q")
        self.missing, self.cut = _Noted(), _Noted()
        self.header = None  # CSV: the header's fields; Parquet: the schema
        self.newline = b"\n"  # CSV: the header's line ending, for a last line without one
        self._spool = None  # a stream (stdin, a pipe) copied to a temporary file
        self._identity = None  # a regular file's (device, inode, size, mtime) when read

    def __len__(self):
        return len(self.lengths)

    def close(self):
        if self._spool is not None:
            self._spool.close()
            self._spool = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # ---------------------------------------------------------- the bytes

    def _prepare(self):
        """A stream (stdin, a FIFO, a pipe of <(...)) cannot be read twice:
        copy it to a temporary file first. A regular file is read in place
        and must not change until it is written back."""
        try:
            if self.path == "-":
                if sys.stdin is None:
                    raise OSError(9, "standard input is closed")
                self._copy(sys.stdin.buffer)
                return
            with open(self.path, "rb") as file:
                found = os.fstat(file.fileno())
                if stat.S_ISREG(found.st_mode):
                    self._identity = _identity(found)
                else:
                    self._copy(file)
        except OSError as error:
            raise Failure(f"{self.name}: {error.strerror or error}") from None

    def _copy(self, stream):
        self._spool = tempfile.TemporaryFile(prefix="vendrask-records-")
        shutil.copyfileobj(stream, self._spool, 1 << 20)
        self._spool.flush()

    def open_raw(self):
        """The file's bytes as stored (compressed or not), from the start."""
        if self._spool is not None:
            self._spool.seek(0)
            return _Unclosed(self._spool)
        try:
            file = open(self.path, "rb")
        except OSError as error:
            raise Failure(f"{self.name}: {error.strerror or error}") from None
        if self._identity is not None and _identity(os.fstat(file.fileno())) != self._identity:
            file.close()
            raise Failure(f"{self.name} changed while it was being deduplicated; nothing was "
                          f"written")
        return file

    def open(self):
        """The file's contents, decompressed, from the start: a buffered
        reader whose faults are one-line Failures naming the file."""
        raw = self.open_raw()
        inner = _compressions()[self.compression].open(raw, "rb") if self.compression else raw
        return io.BufferedReader(_Reading(inner, raw, self.name), 1 << 20)


def _identity(found):
    return found.st_dev, found.st_ino, found.st_size, found.st_mtime_ns


class _Unclosed:
    """The spooled copy, lent to a reader that closes what it reads."""

    def __init__(self, file):
        self.file = file

    def __getattr__(self, name):
        return getattr(self.file, name)

    def __iter__(self):
        return iter(self.file)

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class _Reading(io.RawIOBase):
    """The input as read (and decompressed): a fault on the way (a disk
    error, a truncated or corrupt compressed file) is a one-line Failure
    naming the input, never taken for one of the output's."""

    def __init__(self, inner, raw, name):
        self.inner, self.raw, self.name = inner, raw, name

    def readable(self):
        return True

    def readinto(self, buffer):
        try:
            return self.inner.readinto(buffer)
        except OSError as error:
            if error.errno is not None:
                raise Failure(f"{self.name}: {error.strerror or error}") from None
            raise Failure(f"{self.name}: cannot decompress: {error}") from None
        except (EOFError, ValueError) as error:
            raise Failure(f"{self.name}: cannot decompress: {error}") from None
        except Exception as error:  # zlib.error, lzma.LZMAError: each module's own
            raise Failure(f"{self.name}: cannot decompress: {error}") from None

    def close(self):
        try:
            if self.inner is not self.raw:
                self.inner.close()
        finally:
            self.raw.close()
            super().close()


# ---------------------------------------------------------------- the texts

def _scored(doc, max_bytes, records, where):
    """A text as it is scored: cut to ``max_bytes``; a long one replaced by
    a stand-in equal only to the stand-ins of the same text."""
    records.lengths.append(len(doc))
    if max_bytes is not None and len(doc) > max_bytes:
        doc = doc[:max_bytes]
        records.cut.add(where)
    if len(doc) > JOINT_SIZE_LIMIT:
        token = b"\0" + hashlib.sha256(doc).digest()
        doc = token + doc[:JOINT_SIZE_LIMIT + 1 - len(token)]
    return doc


def _absent(records, texts, where, problem):
    """A record without text: an error with errors='raise', else None."""
    if records.errors == "raise":
        raise Failure(f"{records.name}: {where}: {problem}; with --errors nan such records are "
                      f"kept without a cluster, with --errors skip left out")
    records.missing.add(where)
    records.lengths.append(-1)
    texts.append(None)


_KINDS = {bool: "true or false", int: "a number", float: "a number", list: "an array",
          dict: "an object"}


def read_records(path, field, fmt=None, errors="raise", max_bytes=None, added=None):
    """The records of the dataset file at ``path`` ('-': stdin): (Records,
    texts), ``texts[i]`` the bytes of record i's ``field`` (or column) as
    scored, None for a record without one (unless ``errors`` is 'raise',
    which stops there). ``fmt`` is the file's format, by default what its
    name says; ``added`` the field or column that writing clusters will add,
    refused if the records have one already. Every fault is a one-line
    Failure naming the file and the line or row."""
    if errors not in ERRORS:
        raise ValueError(f"errors must be one of {', '.join(ERRORS)}, not {errors!r}")
    if fmt is None:
        fmt = _format_named(path)
    if fmt not in FORMATS:
        raise UsageError(f"unknown records format {fmt!r}: expected {', '.join(FORMATS)}")
    records = Records(path, fmt, field, errors)
    if fmt == "parquet":
        _pyarrow()
        if records.compression:
            raise UsageError(f"{records.name}: a Parquet file compresses itself; name it without "
                             f"{records.compression}")
    try:
        records._prepare()
        texts = {"jsonl": _read_jsonl, "parquet": _read_parquet}.get(fmt, _read_csv)(
            records, field, max_bytes, added)
    except BaseException:
        records.close()
        raise
    return records, texts


def _read_jsonl(records, field, max_bytes, added):
    texts, seen, first = [], False, None
    with records.open() as file:
        for number, line in _jsonl_lines(file):
            where = f"line {number}"
            value = _json_object(records, line, number, first is None)
            if first is None:
                first = (number, list(value))
            if added is not None and added in value:
                raise Failure(f"{records.name}: {where} has a field {added!r} already; name "
                              f"another for the clusters with --cluster-field NAME")
            if field not in value:
                if records.errors == "raise":
                    raise Failure(f"{records.name}: {where} has no field {field!r}; its fields: "
                                  f"{listed(list(value)) or 'none'} (with --errors nan records "
                                  f"without it are kept without a cluster, with skip left out)")
                _absent(records, texts, where, f"no field {field!r}")
                continue
            seen = True
            text = value[field]
            if text is None:
                _absent(records, texts, where, f"the field {field!r} is null")
                continue
            if not isinstance(text, str):
                raise Failure(f"{records.name}: {where}: the field {field!r} is "
                              f"{_KINDS.get(type(text), type(text).__name__)}, not text")
            try:
                doc = text.encode("utf-8")
            except UnicodeEncodeError as error:
                raise Failure(f"{records.name}: {where}: the field {field!r} is not valid "
                              f"Unicode: {error.reason} at character {error.start}") from None
            texts.append(_scored(doc, max_bytes, records, where))
    if texts and not seen:
        number, keys = first
        raise Failure(f"{records.name}: no record has the field {field!r}; the fields of line "
                      f"{number}: {listed(keys) or 'none'}")
    return texts


def _jsonl_lines(file):
    """(line number, line) of each line holding something but whitespace."""
    for number, line in enumerate(file, 1):
        if line.strip():
            yield number, line


def _json_object(records, line, number, first=False):
    """The JSON object on ``line`` (the ``first`` record's, maybe); a
    one-line Failure if it is none."""
    text = line[3:] if number == 1 and line.startswith(b"\xef\xbb\xbf") else line
    if first and text.lstrip().startswith(b"["):
        raise Failure(f"{records.name}: line {number} opens a JSON array: JSON Lines holds one "
                      f"object a line")
    try:
        value = json.loads(text)
    except UnicodeDecodeError:
        raise Failure(f"{records.name}: line {number} is not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise Failure(f"{records.name}: line {number}: not valid JSON: {error.msg} (column "
                      f"{error.colno})") from None
    except RecursionError:
        raise Failure(f"{records.name}: line {number}: JSON nested too deeply") from None
    if type(value) is not dict:
        kind = _KINDS.get(type(value), "a string" if isinstance(value, str) else "null")
        raise Failure(f"{records.name}: line {number}: expected a JSON object, not {kind}")
    return value


# ---------------------------------------------------------------- CSV

class _Feed:
    """The lines of a binary file as text for csv.reader, keeping the bytes
    of those read since the last take(): a record's own bytes, however many
    lines its quoted fields span."""

    def __init__(self, file):
        self.lines, self.number, self.raw = iter(file), 0, []

    def __iter__(self):
        return self

    def __next__(self):
        line = next(self.lines)
        self.number += 1
        self.raw.append(line)
        if self.number == 1 and line.startswith(b"\xef\xbb\xbf"):
            line = line[3:]
        return line.decode("utf-8", "surrogateescape")

    def take(self):
        """(first line number, bytes) of the lines read since the last take."""
        raw, self.raw = self.raw, []
        return self.number - len(raw) + 1, b"".join(raw)


def _csv_rows(file, fmt, name):
    """(line number, fields, raw bytes) of each record of a CSV or TSV file
    (the header first), blank lines left out."""
    feed = _Feed(file)
    reader = csv.reader(feed, delimiter="\t" if fmt == "tsv" else ",", strict=True)
    limit = csv.field_size_limit()
    csv.field_size_limit(2**31 - 1)  # a text may be longer than the 128 KiB default
    try:
        while True:
            try:
                fields = next(reader)
            except StopIteration:
                return
            except csv.Error as error:
                number, _ = feed.take()
                raise Failure(f"{name}: line {number}: not valid {FORMAT_NAMES[fmt]}: "
                              f"{error}") from None
            number, raw = feed.take()
            if fields:
                yield number, fields, raw
    finally:
        csv.field_size_limit(limit)


def _read_csv(records, column, max_bytes, added):
    texts = []
    with records.open() as file:
        rows = _csv_rows(file, records.fmt, records.name)
        for number, fields, raw in rows:
            if records.header is None:
                _csv_header(records, fields, raw, column, added)
                at = records.header.index(column)
                continue
            where = f"line {number}"
            if len(fields) != len(records.header):
                raise Failure(f"{records.name}: {where}: {len(fields)} fields, where the header "
                              f"has {len(records.header)}")
            text = fields[at]
            if text == "":
                _absent(records, texts, where, f"the column {column!r} is empty")
                continue
            texts.append(_scored(text.encode("utf-8", "surrogateescape"), max_bytes, records,
                                 where))
    if records.header is None:
        raise Failure(f"{records.name}: no header: the file is empty")
    return texts


def _csv_header(records, fields, raw, column, added):
    records.header = fields
    stripped = raw.rstrip(b"\r\n")
    records.newline = raw[len(stripped):] or b"\n"
    count = fields.count(column)
    if count == 0:
        raise Failure(f"{records.name}: no column {column!r}; its columns: {listed(fields)}")
    if count > 1:
        raise Failure(f"{records.name}: the header names the column {column!r} {count} times")
    if added is not None and added in fields:
        raise Failure(f"{records.name}: it has a column {added!r} already; name another for the "
                      f"clusters with --cluster-field NAME")


# ---------------------------------------------------------------- Parquet

def _pyarrow():
    try:
        import pyarrow  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise UsageError(NEED_PYARROW) from None
    return pyarrow


def _parquet_file(records):
    import pyarrow as pa
    import pyarrow.parquet as pq
    source = records.open_raw()
    try:
        return pq.ParquetFile(source, buffer_size=READ_BUFFER, pre_buffer=False), source
    except (pa.ArrowException, OSError, ValueError) as error:
        source.close()
        raise Failure(f"{records.name}: not a Parquet file: {_arrow_reason(error)}") from None


def _arrow_reason(error):
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def _read_parquet(records, column, max_bytes, added):
    import pyarrow as pa

    from .._documents import _arrow_binary_type, _arrow_values
    parquet, source = _parquet_file(records)
    with source:
        schema = parquet.schema_arrow
        records.header = schema
        names = schema.names
        if column not in names:
            raise Failure(f"{records.name}: no column {column!r}; its columns: {listed(names)}")
        if names.count(column) > 1:
            raise Failure(f"{records.name}: the schema names the column {column!r} "
                          f"{names.count(column)} times")
        if added is not None and added in names:
            raise Failure(f"{records.name}: it has a column {added!r} already; name another for "
                          f"the clusters with --cluster-field NAME")
        kind = schema.field(column).type
        try:
            _arrow_binary_type(kind, column, "column")
        except TypeError:
            raise Failure(f"{records.name}: the column {column!r} holds {kind} values, not "
                          f"text (string or binary)") from None
        texts, row = [], 0
        try:
            for batch in parquet.iter_batches(batch_size=BATCH, columns=[column]):
                for value in _arrow_values(batch.column(0), column):
                    row += 1
                    if value is None:
                        _absent(records, texts, f"row {row}", f"the column {column!r} is null")
                    else:
                        texts.append(_scored(value, max_bytes, records, f"row {row}"))
        except (pa.ArrowException, OSError) as error:
            raise Failure(f"{records.name}: cannot read row {row + 1} on: "
                          f"{_arrow_reason(error)}") from None
    return texts


# ---------------------------------------------------------------- choosing

def keep(labels, texts, how="first", lengths=None):
    """Which records to keep, one per cluster (a list of bools): the first
    of each cluster, or its ``longest`` text (the first of the longest on a
    tie). ``labels[i]`` is record i's cluster, None for a record without
    text, which is always kept (nothing is known to repeat it). The length
    of a text is ``lengths[i]`` if given (a text's whole length, before any
    cut), else ``len(texts[i])``."""
    if how not in KEEP:
        raise ValueError(f"keep must be one of {', '.join(KEEP)}, not {how!r}")
    if len(labels) != len(texts):
        raise ValueError(f"labels and texts differ in length: {len(labels)} and {len(texts)}")
    size = (lambda i: lengths[i]) if lengths is not None else (lambda i: len(texts[i]))
    best = {}
    for i, label in enumerate(labels):
        if label is None:
            continue
        j = best.get(label)
        if j is None or (how == "longest" and size(i) > size(j)):
            best[label] = i
    kept = [label is None for label in labels]
    for i in best.values():
        kept[i] = True
    return kept


# ---------------------------------------------------------------- writing

def _written(records, i, kept):
    """Whether record i goes to the output: not one without text with
    errors='skip', and one of ``kept`` if given."""
    if records.errors == "skip" and records.lengths[i] < 0:
        return False
    return kept is None or bool(kept[i])


def write_clusters(records, labels, output=None, name=CLUSTER):
    """The records with their cluster added as the field or column ``name``
    (null, or an empty CSV field, for a record without text; left out with
    errors='skip'), to ``output`` (None: stdout), in the input's format."""
    _check_labels(records, labels)
    _write(records, output, lambda out: _WRITERS[records.fmt](records, out, labels, None, name))


def write_kept(records, kept, output=None):
    """The records at the true positions of ``kept`` (keep() chooses them),
    unchanged and in input order, to ``output`` (None: stdout)."""
    _check_labels(records, kept)
    _write(records, output, lambda out: _WRITERS[records.fmt](records, out, None, kept, None))


def _check_labels(records, values):
    if len(values) != len(records):
        raise ValueError(f"{len(values)} values for {len(records)} records")


def _write(records, output, fill):
    from .output import Destination
    if records.fmt == "parquet" and output is None:
        raise UsageError("writing Parquet needs -o FILE")
    destination = Destination(output)
    compression = _stripped(output)[1] if output is not None else ""
    try:
        if compression:
            with _compressions()[compression].open(destination.binary, "wb") as packed:
                fill(packed)
        else:
            fill(destination.binary)
        destination.commit()
    except OSError as error:
        destination.discard()
        destination.fail(error)
    except BaseException:
        destination.discard()
        raise


def _write_jsonl(records, out, labels, kept, name):
    key = json.dumps(name, ensure_ascii=False).encode("utf-8", "surrogateescape") + b": " \
        if name is not None else None
    with records.open() as file:
        for i, (_, line) in enumerate(_jsonl_lines(file)):
            if i >= len(records):
                break
            if not _written(records, i, kept):
                continue
            if labels is None:
                out.write(line if line.endswith(b"\n") else line + b"\n")
                continue
            label = labels[i]
            body = line.rstrip(b" \t\r\n")
            end = line[len(body):] if line.endswith(b"\n") else b"\n"
            inner = body[:-1]  # the object's closing brace taken off
            comma = b"" if inner.rstrip(b" \t\r\n").endswith(b"{") else b", "
            value = b"null" if label is None else str(label).encode()
            out.write(inner + comma + key + value + b"}" + end)


def _write_csv(records, out, labels, kept, name):
    delimiter = "\t" if records.fmt == "tsv" else ","
    with records.open() as file:
        rows = _csv_rows(file, records.fmt, records.name)
        header = next(rows)[2]
        if name is not None:
            cell = io.StringIO()
            csv.writer(cell, delimiter=delimiter, lineterminator="").writerow([name])
            header = _appended(header, records.newline, cell.getvalue(), delimiter)
        out.write(header)
        for i, (_, _, raw) in enumerate(rows):
            if i >= len(records):
                break
            if not _written(records, i, kept):
                continue
            if labels is None:
                out.write(raw if raw.endswith(b"\n") else raw + records.newline)
                continue
            label = labels[i]
            out.write(_appended(raw, records.newline, "" if label is None else str(label),
                                delimiter))


def _appended(raw, newline, cell, delimiter):
    """A record's bytes with one more field at the end of its last line."""
    body = raw.rstrip(b"\r\n")
    end = raw[len(body):] or newline
    return body + (delimiter + cell).encode("utf-8", "surrogateescape") + end


def _write_parquet(records, out, labels, kept, name):
    import pyarrow as pa
    import pyarrow.parquet as pq
    parquet, source = _parquet_file(records)
    with source:
        schema = parquet.schema_arrow
        if name is not None:
            schema = schema.append(pa.field(name, pa.int64()))
        writer = pq.ParquetWriter(out, schema, compression=_codec(parquet))
        try:
            start, group = 0, []
            for batch in parquet.iter_batches(batch_size=BATCH):
                end = start + batch.num_rows
                if labels is not None:
                    column = pa.array(labels[start:end], pa.int64())  # None: null
                    batch = pa.RecordBatch.from_arrays(batch.columns + [column], schema=schema)
                chosen = [_written(records, i, kept) for i in range(start, end)]
                if not all(chosen):
                    batch = batch.filter(pa.array(chosen, pa.bool_()))
                group.append(batch)
                if sum(b.num_rows for b in group) >= ROW_GROUP or \
                        sum(b.nbytes for b in group) >= ROW_GROUP_BYTES:
                    writer.write_table(pa.Table.from_batches(group, schema))
                    group = []
                start = end
            if group:
                writer.write_table(pa.Table.from_batches(group, schema))
        except BaseException as error:
            try:
                writer.close()
            except Exception:
                pass  # the first fault is the one to tell
            if isinstance(error, pa.ArrowException) and not isinstance(error, OSError):
                raise Failure(f"{records.name}: cannot read it again: "
                              f"{_arrow_reason(error)}") from None
            raise
        writer.close()


def _codec(parquet):
    """The compression of the input's first column chunk, for the output."""
    metadata = parquet.metadata
    if metadata.num_row_groups == 0 or metadata.num_columns == 0:
        return "snappy"
    codec = metadata.row_group(0).column(0).compression.lower()
    return {"uncompressed": "none", "lz4_raw": "lz4"}.get(codec, codec)


_WRITERS = {"jsonl": _write_jsonl, "csv": _write_csv, "tsv": _write_csv, "parquet": _write_parquet}


# ---------------------------------------------------------------- the command

def add_options(parser):
    """The options of ``vendrask dedup`` for records."""
    parser.add_argument("--field", "--column", dest="field", metavar="NAME",
                        help="take DOCS as one dataset file of records (JSON Lines, Parquet, CSV "
                             "or TSV) whose field or column NAME holds the text, and write the "
                             "records back with --clusters (each with its cluster added) or "
                             "--keep (without their duplicates), in the input's format, to -o "
                             "FILE or stdout (Parquet needs -o FILE and pyarrow: pip install "
                             "'vendrask[datasets]'). A record whose text is missing (null, "
                             "absent, an empty CSV field) is kept without a cluster "
                             "(--errors nan) or left out (skip). Lines and rows are counted "
                             "from 1 in messages")
    parser.add_argument("--input-format", choices=FORMATS,
                        help="the records' format, by default what the file's suffix says: "
                             ".jsonl, .ndjson or .json (one JSON object a line), .parquet or "
                             ".pq, .csv, .tsv; any but Parquet may end in .gz, .bz2 or .xz")
    parser.add_argument("--keep", choices=KEEP,
                        help="with --field: write the records without their duplicates, one per "
                             "cluster, unchanged and in input order: the first of each cluster, "
                             "or the one with the longest text")
    parser.add_argument("--cluster-field", metavar="NAME",
                        help="with --field and --clusters: the field or column to add (default: "
                             "cluster)")


_RECORD_ONLY = (("keep", "--keep"), ("input_format", "--input-format"),
                ("cluster_field", "--cluster-field"))
_FILE_ONLY = (("files_from", "--files-from"), ("null", "--null"), ("glob", "--glob"),
              ("exclude", "--exclude"), ("hidden", "--hidden"), ("format", "--format"))


def wanted(args):
    """Whether ``dedup`` reads records (--field or --column NAME); an option
    of records without it is a UsageError."""
    if getattr(args, "field", None) is not None:
        return True
    for key, option in _RECORD_ONLY:
        if getattr(args, key, None) is not None:
            raise UsageError(f"{option} needs --field NAME (or --column NAME): the field or "
                             f"column of the records that holds the text")
    return False


def _plan(args):
    """The records' format, after refusing what does not go with records."""
    for key, option in _FILE_ONLY:
        if getattr(args, key, None):
            what = ("sets how pairs and clusters of files are printed; records are written in "
                    "their own format") if key == "format" else "selects files among DOCS"
            raise UsageError(f"{option} {what}; with --field, DOCS is one dataset file")
    if len(args.docs) != 1:
        raise UsageError(f"with --field, name one dataset file (or '-' for stdin, with "
                         f"--input-format), not {len(args.docs) or 'none'}")
    if bool(args.clusters) == bool(args.keep):
        raise UsageError("--clusters and --keep: choose one" if args.clusters else
                         "with --field, say what to write: --clusters (each record with its "
                         "cluster) or --keep first|longest (the records without their "
                         "duplicates)")
    if args.cluster_field is not None and not args.clusters:
        raise UsageError("--cluster-field names the field that --clusters adds")
    if args.cluster_field == "":
        raise UsageError("--cluster-field: expected a name, not an empty one")
    fmt = args.input_format or _format_named(args.docs[0])
    output = args.output
    if output is None and fmt == "parquet":
        raise UsageError("writing Parquet needs -o FILE")
    if output is not None:
        written = format_of(output)
        if written is not None and written != fmt:
            raise UsageError(f"{shown(output)}: the records are written as {FORMAT_NAMES[fmt]}, "
                             f"as they are read; name the output accordingly (or with no "
                             f"suffix)")
        if fmt == "parquet" and _stripped(output)[1]:
            raise UsageError(f"{shown(output)}: a Parquet file compresses itself; name it "
                             f"without {_stripped(output)[1]}")
        from .output import Target
        Target(output).check()  # before the work, not after it
    if fmt == "parquet":
        _pyarrow()
    return fmt


def dedup(args, clusters):
    """``vendrask dedup --field NAME``: the records of the file args.docs[0]
    with their clusters, or without their duplicates. ``clusters(job,
    docs)`` gives each document's cluster (from 0, in order of first
    appearance, as Index.clusters does); ``job`` has ``args`` and
    ``progress``, the command's ProgressBar."""
    from types import SimpleNamespace

    from .bar import ProgressBar
    fmt = _plan(args)
    added = (args.cluster_field or CLUSTER) if args.clusters else None
    records, texts = read_records(args.docs[0], args.field, fmt, args.errors, args.max_bytes,
                                  added)
    with records:
        total = len(records)
        if records.cut.count:
            say(f"--max-bytes {args.max_bytes} cut the text of {records.cut.count} of {total} "
                f"records: {records.cut.text()}")
        if records.missing.count:
            fate = "left out" if args.errors == "skip" else "kept without a cluster"
            verb = "has" if records.missing.count == 1 else "have"
            say(f"{records.missing.count} of {total} records {verb} no text in {args.field!r}, "
                f"{fate}: {records.missing.text()}")
        present = [i for i, text in enumerate(texts) if text is not None]
        docs = texts if len(present) == total else [texts[i] for i in present]
        labels = [None] * total
        if docs:
            job = SimpleNamespace(args=args, progress=ProgressBar(args.progress, "vendrask dedup"))
            try:
                found = clusters(job, docs)
            finally:
                job.progress.close()
            import numpy as np
            found = np.asarray(found, dtype=np.int64).tolist()
            if len(found) != len(docs):
                raise Failure(f"{len(found)} clusters found for {len(docs)} records: nothing was "
                              f"written")
            for i, label in zip(present, found):
                labels[i] = label
        count = len(set(labels) - {None})
        summary = (f"{_counted(total, 'record')}, {_counted(count, 'cluster')}, "
                   f"{_counted(len(docs) - count, 'duplicate')}")
        if args.keep:
            write_kept(records, keep(labels, texts, args.keep, records.lengths), args.output)
            say(f"{summary} removed")
        else:
            write_clusters(records, labels, args.output, added)
            say(summary)


def _counted(count, word):
    return f"{count} {word}" if count == 1 else f"{count} {word}s"
