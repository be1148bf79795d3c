"""The commands on top of ``vendrask.Index``: ``index build``, ``index add``,
``index info``, ``search`` and ``dedup``.

An index on disk is two files: INDEX, as ``Index.save`` writes it, and
INDEX.names beside it (beside the file a symbolic link INDEX points to), one
line of ASCII JSON holding the names of its documents, in order, with the
SHA-256 of the index file they belong to. JSON escapes newlines, tabs and
the bytes of names that are not UTF-8, so any file name survives. The index
file knows nothing of its names: a names file that is missing, truncated, or
written for another index file (one of the two replaced or moved without
the other) is refused with one line, never paired with the wrong documents.
"""
import hashlib
import json
import os
import stat

from .errors import Failure, UsageError, WriteError, listed, say, shown
from .inputs import STDIN, _unpaired_against, scored
from .run import NO_DOCUMENTS, CommandRun, _print, _say_cut

NAMES_SUFFIX = ".names"
NAMES_FORMAT = "vendrask index names"
NAMES_HEAD = b'{"format": "' + NAMES_FORMAT.encode() + b'"'  # how a names file begins
NAMES_VERSION = 1
NO_QUERIES = "no queries given: name query files or directories after INDEX, or --files-from PATH"
CHUNK = 1 << 20


# ---------------------------------------------------------------- the files

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
        with open(path, "rb") as file:
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


def _file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while True:
            part = file.read(CHUNK)
            if not part:
                return digest.hexdigest()
            digest.update(part)


def _index_class():
    import vendrask
    return vendrask.Index, vendrask.IndexFileError


def load(path, workers=1):
    """(index, names) from INDEX and its names file; one line for any fault."""
    where = IndexPath(path)
    where.check_readable()
    Index, IndexFileError = _index_class()
    try:
        digest = _file_digest(where.real)
        index = Index.load(where.real, workers=workers)
    except IndexFileError as error:
        message = str(error)  # named as the user named it, not by the path it was read at
        for prefix in (f"{where.real}: ", f"{where.given}: "):
            if message.startswith(prefix):
                message = message[len(prefix):]
        raise Failure(f"{where.name}: {message}") from None
    except OSError as error:
        raise Failure(f"{where.name}: {error.strerror or error}") from None
    return index, _read_names(where, digest, len(index))


def _read_names(where, digest, count):
    name = where.names_name
    try:
        with open(where.names, "rb") as file:
            data = file.read()
    except FileNotFoundError:
        raise Failure(f"{name}: No such file or directory: the names of {where.name}'s documents "
                      f"are kept in it, beside the index (copy and move both files)") from None
    except OSError as error:
        raise Failure(f"{name}: {error.strerror or error}") from None
    try:
        found = json.loads(data.decode("ascii"))
        ok = (isinstance(found, dict) and found.get("format") == NAMES_FORMAT
              and isinstance(found.get("names"), list)
              and all(isinstance(n, str) for n in found["names"]))
    except (UnicodeDecodeError, ValueError):
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


def save(index, names, path):
    """Saves ``index`` at INDEX and ``names`` beside it, each through a
    temporary file renamed into place once complete; an index file and a
    names file left from different runs (a crash between the two renames)
    are told apart by the digest."""
    where = IndexPath(path)
    where.check_replaceable()
    temps = [_temporary(where.real), _temporary(where.names)]
    try:
        index.save(temps[0])
        record = {"format": NAMES_FORMAT, "version": NAMES_VERSION,
                  "index_sha256": _file_digest(temps[0]), "documents": len(names), "names": names}
        with open(temps[1], "w", encoding="ascii") as file:
            # ensure_ascii: newlines, tabs and undecodable bytes (\udcXX) all escaped
            file.write(json.dumps(record, ensure_ascii=True) + "\n")
        for temp, final in zip(temps, (where.real, where.names)):
            _keep_mode(final, temp)
        os.replace(temps[1], where.names)
        os.replace(temps[0], where.real)
    except OSError as error:
        raise WriteError(f"{where.name}: {error.strerror or error}") from None
    finally:
        for temp in temps:
            try:
                os.unlink(temp)
            except OSError:
                pass


def _temporary(final):
    folder, base = os.path.split(final)
    return os.path.join(folder, f".{base}.{os.getpid()}.tmp")


def _keep_mode(final, temp):
    try:
        os.chmod(temp, stat.S_IMODE(os.stat(final).st_mode))
    except FileNotFoundError:
        pass


# ---------------------------------------------------------------- the calls

def _call(job, function, *positional, **options):
    """An Index call: its errors as one line, the bar cleared before them,
    and its warnings unsaid (the command names files where it warns of
    positions)."""
    import warnings

    import vendrask
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vendrask.DocumentWarning)
            return function(*positional, **options)
    except (ValueError, RuntimeError) as error:
        job.progress.close()
        raise Failure(str(error)) from None
    except BaseException:
        job.progress.close()
        raise


def _skip_unpaired(texts, docs, others, itself, what):
    """With --errors skip: ``texts`` and ``docs`` without the long documents
    that fit with none of ``others`` (see inputs.unpaired)."""
    gone = set(_unpaired_against(docs, others, itself=itself))
    if gone:
        say(f"skipped {len(gone)} of {len(docs)} documents, each over the joint size limit with "
            f"every {what}: " + listed([texts[i].label for i in sorted(gone)]))
    kept = [i for i in range(len(docs)) if i not in gone]
    return [texts[i] for i in kept], [docs[i] for i in kept]


def build(args):
    job = CommandRun(args)
    IndexPath(args.index).check_replaceable()  # before the work, not after it
    labels, docs = job.one_list(job.documents(args.docs), stable=True)
    Index, _ = _index_class()
    job.progress.unit = " documents"
    job.progress.plan(len(docs), 0)
    index = _call(job, Index, docs, max_bytes=args.max_bytes, workers=args.workers,
                  progress=job.progress.callback())
    job.progress.close()
    save(index, labels, args.index)


def add(args):
    job = CommandRun(args)
    index, names = load(args.index, args.workers)
    if args.max_bytes is not None and args.max_bytes != index.max_bytes:
        raise UsageError(f"--max-bytes {args.max_bytes}: {shown(args.index)} cuts its documents "
                         f"to {index.max_bytes or 'no'} bytes, and so does add (leave out "
                         f"--max-bytes)")
    args.max_bytes = index.max_bytes
    texts = job.documents(args.docs)
    known = set(names)
    again = [text.label for text in texts if text.label != STDIN and text.label in known]
    if again:
        say(f"left out {len(again)} documents already in the index by name: {listed(again)}")
        texts = [text for text in texts if text.label == STDIN or text.label not in known]
    if not texts:
        return
    _say_cut(texts, args.max_bytes)
    docs = scored(texts, stable=True)
    if args.errors == "skip":
        texts, docs = _skip_unpaired(texts, docs, docs + [index[p] for p in range(len(index))],
                                     True, "other document")
        if not texts:
            return
    job.progress.unit = " documents"
    job.progress.plan(len(docs), 0)
    positions = _call(job, index.add, docs, progress=job.progress.callback()).tolist()
    job.progress.close()
    names = names + [None] * (max(positions, default=-1) + 1 - len(names))
    for position, text in zip(positions, texts):
        names[position] = text.label
    if any(name is None for name in names):
        raise Failure(f"{shown(args.index)}: the index gave positions with no document: "
                      f"nothing was saved")
    save(index, names, args.index)


INFO_KEYS = ("documents", "distinct", "max_bytes", "zlib", "format", "degree", "bytes")


def info(args):
    index, _ = load(args.index)
    found = index.info()
    if args.format == "json":
        _print([json.dumps(found, ensure_ascii=False, default=str)])
        return
    keys = [key for key in INFO_KEYS if key in found] + [key for key in found if key not in INFO_KEYS]
    lines = []
    for key in keys:
        value = found[key]
        if key == "max_bytes" and value is None:
            value = "none (documents kept whole)"
        elif key == "bytes" and isinstance(value, int):
            value = f"{value} ({_size(value)})"
        lines.append(f"{key}: {value}")
    _print(lines)


def _size(count):
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024


def search(args):
    job = CommandRun(args)
    index, names = load(args.index, args.workers)
    if args.max_bytes is None:  # queries are cut as the documents were
        args.max_bytes = index.max_bytes
    texts = job.documents(args.docs, NO_QUERIES)
    _say_cut(texts, args.max_bytes)
    queries = scored(texts, stable=True)
    if args.errors == "skip":
        texts, queries = _skip_unpaired(texts, queries, [index[p] for p in range(len(index))],
                                        False, "document of the index")
        if not texts:
            raise Failure("no queries left to search")
    labels = [text.label for text in texts]
    # No row holds more hits than the index holds documents.
    k = max(1, min(args.k, len(index)))
    job.progress.plan(len(queries) * len(index), 0)
    scores, hits = _call(job, index.nearest, queries, k=k, symmetric=args.symmetric,
                         exact=args.exact, workers=args.workers, progress=job.progress.callback())
    cutoff = args.score_cutoff

    def rows():
        for query, score_row, hit_row in zip(labels, scores.tolist(), hits.tolist()):
            found = [(score, hit) for score, hit in zip(score_row, hit_row)
                     if hit >= 0 and (cutoff is None or score >= cutoff)]
            for rank, (score, hit) in enumerate(found, 1):
                yield query, names[hit], rank, score
    job.write(lambda table: table.records(["query", "hit", "rank", "score"], rows()))


def dedup(args):
    import numpy as np
    job = CommandRun(args)
    labels, docs = job.one_list(job.documents(args.docs, NO_DOCUMENTS))
    Index, _ = _index_class()
    job.progress.plan(len(docs) * len(docs), 0)
    # Building takes about as long as finding the pairs: half the bar each.
    index = _call(job, Index, docs, workers=args.workers, progress=job.progress.callback(0, 0.5))
    options = dict(symmetric=args.symmetric, exact=args.exact, workers=args.workers,
                   progress=job.progress.callback(0.5, 0.5))
    if args.clusters:
        found = _call(job, index.clusters, args.threshold, **options).tolist()
        job.write(lambda table: table.records(["cluster", "name"], zip(found, labels)))
        return
    i, j, score = _call(job, index.pairs, args.threshold, **options)
    order = np.lexsort((j, i, -score))  # highest first; ties in input order, as pairs prints

    def rows():
        for a, b, x in zip(i[order].tolist(), j[order].tolist(), score[order].tolist()):
            yield labels[a], labels[b], x
    job.write(lambda table: table.records(["t", "s", "score"], rows()))
