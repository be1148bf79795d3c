"""The index file: one file, replaced atomically, read whole into memory.

Layout (all numbers little-endian):

    16 bytes   MAGIC
    8 bytes    header length H (unsigned)
    H bytes    header: UTF-8 JSON (format, package version, max_bytes, the zlib
               build, counts, tuning, and for each array its dtype, shape,
               offset, length and CRC-32)
    4 bytes    CRC-32 of the header
    zeros      to the next multiple of 64
    arrays     each at the next multiple of 64 after the one before it, in
               the order below, raw C-order data, followed by zeros to a
               multiple of 64; the file ends with the last one's zeros

The arrays: ``ids`` (corpus id of each position), ``offsets`` and ``blob``
(the distinct documents, concatenated), ``alone`` and ``self`` (their lone
and primed sizes), ``vectors`` (sketches, int8), ``df`` (the sketches'
document frequencies), ``signatures`` (MinHash, uint32) and the graphs, for
each direction D the header lists: ``D_ids`` (int32, -1 where unused),
``D_there`` and ``D_back`` (uint16, the forward and backward sizes of each
edge, from which its scores are computed again) and ``D_new`` (the sizes'
terms are those of the glossary of ``_pairs``). The graphs have a row for
each of the first ``linked`` documents (the graph is built when first
needed, so an index may be saved with fewer, or none). An index of another
``kind`` than whole documents (of windows, say) adds the arrays it names in
``annex_arrays``, ``annex_NAME`` (int64), and whole numbers in ``annex``;
the header's ``kind`` says which, and each kind is read only by its own
class.

Every byte is covered: the header and each array by a checksum, the padding
by being zeros, the end by the length the header implies. A checksum only
tells damage, so the content is checked too, the same way before a save and
after a load (``check``): every array against the others, each graph's rows
in the order its scores give them, and a sample of the documents' sizes and
of the edges' cross sizes compressed again. A file that fails is refused,
never half-read; an index in memory that fails is never written. A loaded
index holds its own copy of everything, so what was checked is what it uses,
whatever happens to the file afterwards.

Each class gives and takes its own arrays (``to_arrays``, ``from_arrays``);
this module lays them out, checks them and maps the file's names to theirs.
"""
import copy
import io
import json
import os
import struct
import zlib

import numpy as np

from . import IndexFileError, __version__, _files
from ._pairs import NO_NEIGHBOUR, fitting
from ._progress import JobProgress, silent

MAGIC = b"vendrask index\n\x00"
FORMAT = 4
_ALIGN = 64
_CHUNK = 1 << 24
# Each graph array's name in the file (after its direction's), with the
# Graph's name for it and its type.
_GRAPH = {"ids": ("ids", "<i4"), "there": ("forward_sizes", "<u2"),
          "back": ("backward_sizes", "<u2"), "new": ("new", "|b1")}
# The file's names of the documents' sizes, with the Corpus's.
_SIZES = {"alone": "lone_sizes", "self": "primed_sizes"}
_ARRAYS = {"ids": ("<i8", 1), "offsets": ("<i8", 1), "blob": ("|u1", 1), "alone": ("<i4", 1),
           "self": ("<i4", 1), "vectors": ("|i1", 2), "df": ("<i4", 1),
           "signatures": ("<u4", 2)}
_ANNEX = "annex_"
_DIRECTIONS = ("forward", "mean", "min", "max")
# A header is a few kilobytes; a length past this is damage, not an index.
_HEADER_MAX = 1 << 20
# Documents whose two sizes, and edges per graph whose two cross sizes, are
# compressed again on every save and load: a few milliseconds, and a file
# whose sizes were altered wholesale never passes.
SAMPLE = 32


def _aligned(count):
    return -(-count // _ALIGN) * _ALIGN


def _bytes(array):
    """The bytes of a C-contiguous array, as a flat memoryview (of any
    shape: an empty index has arrays of shape (0, N))."""
    return memoryview(array.reshape(-1).view(np.uint8))


def _refuse(path, why):
    raise IndexFileError(f"{path}: {why}")


class _Inconsistent(Exception):
    """The arrays of an index do not agree with each other (the reason)."""


# ---------------------------------------------------------------- saving

def _held(index):
    """``index`` as it is now, whatever adds come after: an index's copy
    keeps the state it was made with (an add replaces the state whole)."""
    return copy.copy(index)


def _arrays(held, strings):
    """The file's arrays of the index ``held``, by the file's names;
    ``strings``, its distinct documents."""
    corpus = held.corpus.to_arrays()
    lengths = np.fromiter(map(len, strings), dtype=np.int64, count=len(strings))
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    blob = np.frombuffer(b"".join(strings), dtype=np.uint8)
    sketches = held.sketches.to_arrays()
    arrays = {"ids": held.ids.astype("<i8"), "offsets": offsets.astype("<i8"), "blob": blob}
    arrays.update((name, corpus[field].astype(_ARRAYS[name][0])) for name, field in _SIZES.items())
    arrays.update({"vectors": sketches["vectors"], "df": sketches["df"],
                   "signatures": held.signatures.astype("<u4")})
    for direction, graph in held.graphs.items():
        parts = graph.to_arrays()
        arrays.update({f"{direction}_{part}": parts[field].astype(dtype)
                       for part, (field, dtype) in _GRAPH.items()})
    return {name: np.ascontiguousarray(array) for name, array in arrays.items()}


def _graph_parts(arrays, direction):
    """The arrays of the graph of ``direction`` by the Graph's names."""
    return {field: arrays[f"{direction}_{part}"] for part, (field, _) in _GRAPH.items()}


def zlib_identity(zlib):
    """One line naming a zlib build, as recorded by a corpus."""
    kind = "zlib-ng" if zlib.get("zlib_ng") else "zlib"
    link = "static" if zlib.get("static") else "shared"
    return f"{kind} {zlib.get('version')} ({link})"


def _annexed(annex):
    """(whole numbers, arrays) of an annex: names to ints or 1-D int64 arrays."""
    numbers, arrays = {}, {}
    for name, value in (annex or {}).items():
        if not (isinstance(name, str) and name.isidentifier()):
            raise ValueError(f"an annex's names are identifiers, not {name!r}")
        if isinstance(value, np.ndarray):
            if value.ndim != 1 or value.dtype.kind not in "iu":
                raise ValueError(f"the annex array {name!r} is not one-dimensional integers")
            arrays[_ANNEX + name] = np.ascontiguousarray(value.astype("<i8"))
        elif type(value) is int:
            numbers[name] = value
        else:
            raise ValueError(f"an annex holds ints and integer arrays, not {type(value).__name__}")
    return numbers, arrays


def encode(index, path, kind=None, annex=None):
    """(head, arrays): the start of the file for ``index`` (its padding
    included) and its arrays in file order, checked as ``load`` checks
    them. An index whose arrays do not agree (an ``add`` that was stopped
    or failed half way leaves one so) raises IndexFileError naming
    ``path``, before anything is written. ``kind`` and ``annex``: what an
    index of another kind (of windows, say) adds, ints and int64 arrays by
    name."""
    held = _held(index)
    strings = held.corpus.to_arrays()["strings"]
    arrays = _arrays(held, strings)
    numbers, annexed = _annexed(annex)
    settings = {
        "max_bytes": index.max_bytes, "documents": len(held.ids), "distinct": len(strings),
        "degree": index.degree, "seeds": index.seeds, "rounds": index.rounds,
        "graphs": list(held.graphs), "seen": int(held.sketches.seen),
        "linked": int(held.graphs["mean"].n), "settled": int(held.settled),
        "kind": kind, "annex": numbers,
        "annex_arrays": sorted(name[len(_ANNEX):] for name in annexed),
    }
    arrays.update((name, annexed[name]) for name in sorted(annexed))
    try:
        check(settings, arrays, strings, index.workers)
    except _Inconsistent as why:
        if path == _PICKLED:
            _refuse(path, f"not pickled: the index's arrays do not agree with each other ({why})")
        _refuse(path, f"not saved: the index's arrays do not agree with each other ({why}), "
                      f"as an add that was stopped or failed leaves them; the file is left "
                      f"as it was")
    table, at = {}, 0
    for name, array in arrays.items():
        table[name] = {"dtype": array.dtype.str, "shape": list(array.shape), "offset": at,
                       "length": array.nbytes, "crc32": zlib.crc32(_bytes(array))}
        at += _aligned(array.nbytes)
    header = json.dumps(dict(settings, format=FORMAT, version=__version__,
                             zlib=held.corpus.zlib, arrays=table), sort_keys=True).encode()
    head = MAGIC + struct.pack("<Q", len(header)) + header + struct.pack("<I", zlib.crc32(header))
    return head + b"\0" * (_aligned(len(head)) - len(head)), arrays


def write(out, head, arrays, progress=None):
    """Writes what ``encode`` gave to the binary file ``out``."""
    total = len(head) + sum(_aligned(array.nbytes) for array in arrays.values())
    with JobProgress(progress, total) as job:
        out.write(head)
        job.advance(len(head))
        for array in arrays.values():
            data = _bytes(array)
            for start in range(0, len(data), _CHUNK):
                out.write(data[start:start + _CHUNK])
                job.advance(min(_CHUNK, len(data) - start))
                job.poll()
            out.write(b"\0" * (-len(data) % _ALIGN))
        job.finish()


def save(index, path, progress=None, *, kind=None, annex=None):
    """Writes ``index`` at ``path`` through a temporary file renamed over it
    once complete (see ``_files.Replacement``: a link is followed, anything
    but a regular file is refused). A failure or Ctrl-C leaves what was
    there; so does an index that fails the checks (IndexFileError).
    ``kind`` and ``annex`` as for ``encode``."""
    shown = os.fsdecode(os.fspath(path))
    head, arrays = encode(index, shown, kind, annex)
    with _files.Replacement(shown) as replacement:
        write(replacement.file, head, arrays, progress)


# ---------------------------------------------------------------- reading

class _Reader:
    """Reads a file front to back, each byte once, into memory: what was
    read is what gets checked and used."""

    def __init__(self, file, path, digest=None):
        self.file, self.path, self.digest = file, path, digest

    def bytes(self, count, what):
        data = self.file.read(count)
        if len(data) != count:
            _refuse(self.path, f"truncated (it ends inside {what})")
        if self.digest is not None:
            self.digest.update(data)
        return data

    def into(self, array, name, job):
        """Fills ``array`` from the file; returns the CRC-32 of its bytes."""
        view = _bytes(array)
        crc = 0
        for at in range(0, len(view), _CHUNK):
            part = view[at:at + _CHUNK]
            got = self.file.readinto(part)
            while got and got < len(part):  # a short read before the end
                more = self.file.readinto(part[got:])
                if not more:
                    break
                got += more
            if got != len(part):
                _refuse(self.path, f"truncated (the array {name!r} runs past the end of the file)")
            crc = zlib.crc32(part, crc)
            if self.digest is not None:
                self.digest.update(part)
            job.advance(len(part))
            job.poll()
        return crc

    def documents(self, bounds, job):
        """The documents of the blob, each read into bytes of its own (no
        copy of the whole blob besides them), and the blob's CRC-32."""
        read, crc, strings, counted = self.file.read, 0, [], 0
        for start, stop in zip(bounds[:-1], bounds[1:]):
            data = read(stop - start)
            if len(data) != stop - start:
                _refuse(self.path, "truncated (the array 'blob' runs past the end of the file)")
            crc = zlib.crc32(data, crc)
            if self.digest is not None:
                self.digest.update(data)
            strings.append(data)
            if stop - counted >= _CHUNK:
                job.advance(stop - counted)
                counted = stop
                job.poll()
        job.advance(bounds[-1] - counted)
        return strings, crc

    def zeros(self, count, after):
        if self.bytes(count, f"the padding after {after}").strip(b"\0"):
            _refuse(self.path, f"corrupt (the padding after {after} is not zeros)")

    def end(self):
        if self.file.read(1):
            _refuse(self.path, "corrupt (bytes follow the end of the index)")


def _int(value, least=0):
    """``value`` if it is a whole number (not a bool) of at least ``least``."""
    return type(value) is int and value >= least


def read_header(reader, size):
    """The header of an index file of ``size`` bytes, its format and checksum
    checked, and the offset its arrays start at."""
    path = reader.path
    if size == 0:
        _refuse(path, "not a vendrask index file (it is empty)")
    if size < len(MAGIC) + 12 or reader.file.read(len(MAGIC)) != MAGIC:
        _refuse(path, "not a vendrask index file")
    if reader.digest is not None:
        reader.digest.update(MAGIC)
    length, = struct.unpack("<Q", reader.bytes(8, "the header"))
    start = len(MAGIC) + 8
    if length > size - start - 4:
        _refuse(path, "truncated (the header runs past the end of the file)")
    if length > _HEADER_MAX:
        _refuse(path, f"corrupt (a header of {length} bytes)")
    header = reader.bytes(length, "the header")
    crc, = struct.unpack("<I", reader.bytes(4, "the header"))
    if zlib.crc32(header) != crc:
        _refuse(path, "corrupt (the header's checksum does not match)")
    try:
        meta = json.loads(header)
    except (ValueError, RecursionError):  # RecursionError: nested too deep to read
        _refuse(path, "corrupt (the header is not JSON)")
    if not isinstance(meta, dict) or not _int(meta.get("format")):
        _refuse(path, "corrupt (the header names no format)")
    if meta["format"] != FORMAT:
        _refuse(path, f"format {meta['format']} is not one this version ({__version__}) "
                      f"reads (format {FORMAT}); build the index again")
    base = _aligned(start + length + 4)
    reader.zeros(base - (start + length + 4), "the header")
    return meta, base


def _settings(path, meta):
    """The index's settings from the header, each of its type exactly."""
    def need(name, test, what):
        value = meta.get(name)
        if not test(value):
            _refuse(path, f"corrupt (the header's {name!r} is not {what})")
        return value
    zlib_build = need("zlib", lambda z: isinstance(z, dict) and isinstance(z.get("version"), str)
                      and all(type(z.get(key)) is bool for key in ("zlib_ng", "static")),
                      "a zlib build")
    need("version", lambda v: isinstance(v, str), "a version")
    settings = {
        "max_bytes": need("max_bytes", lambda v: v is None or _int(v, 1),
                          "None or a positive whole number"),
        "graphs": need("graphs", lambda v: isinstance(v, list) and "mean" in v
                       and all(d in _DIRECTIONS for d in v) and len(set(v)) == len(v),
                       "a list of graph directions"),
    }
    for name in ("documents", "distinct", "seen", "linked"):
        settings[name] = need(name, _int, "a whole number")
    # Files from before a graph served searches ahead of its last rounds
    # have every linked document settled.
    if "settled" not in meta:
        meta = dict(meta, settled=settings["linked"])
    settings["settled"] = need("settled", _int, "a whole number")
    for name in ("degree", "seeds", "rounds"):
        settings[name] = need(name, lambda v: _int(v, 1), "a positive whole number")
    settings["kind"] = need("kind", lambda v: v is None or (isinstance(v, str) and v.isidentifier()),
                            "None or a name")
    settings["annex"] = need("annex", lambda v: isinstance(v, dict) and all(
        isinstance(name, str) and name.isidentifier() and type(x) is int
        for name, x in v.items()), "a table of whole numbers")
    settings["annex_arrays"] = need("annex_arrays", lambda v: isinstance(v, list) and all(
        isinstance(name, str) and name.isidentifier() for name in v) and v == sorted(set(v)),
        "a list of names")
    need("arrays", lambda v: isinstance(v, dict), "a table of arrays")
    return settings, zlib_build


def _names(settings):
    return (list(_ARRAYS) + [f"{d}_{part}" for d in settings["graphs"] for part in _GRAPH]
            + [_ANNEX + name for name in settings["annex_arrays"]])


def _dtype(name):
    if name.startswith(_ANNEX):
        return "<i8"
    return _ARRAYS[name][0] if name in _ARRAYS else _GRAPH[name.split("_", 1)[1]][1]


def _rank(name):
    if name.startswith(_ANNEX):
        return 1
    return _ARRAYS[name][1] if name in _ARRAYS else 2


def _layout(path, meta, settings, base, size):
    """[(name, dtype, shape, crc)] in file order, each array described as
    ``save`` writes it and the file exactly as long as they make it."""
    table = meta["arrays"]
    names = _names(settings)
    if set(table) != set(names):
        _refuse(path, "corrupt (the header lists other arrays than an index has)")
    layout, at = [], 0
    for name in names:
        entry = table[name]
        wrong = lambda: _refuse(path, f"corrupt (the array {name!r} is described wrongly)")
        if not isinstance(entry, dict) or set(entry) != {"dtype", "shape", "offset", "length", "crc32"}:
            wrong()
        shape = entry["shape"]
        if (entry["dtype"] != _dtype(name) or not isinstance(shape, list)
                or len(shape) != _rank(name) or not all(_int(x) for x in shape)
                or not _int(entry["crc32"]) or entry["crc32"] >= 1 << 32
                or not _int(entry["offset"]) or entry["offset"] != at
                or not _int(entry["length"])):
            wrong()
        if int(np.prod(shape, dtype=object)) * np.dtype(entry["dtype"]).itemsize != entry["length"]:
            wrong()
        if base + at + entry["length"] > size:
            _refuse(path, f"truncated (the array {name!r} runs past the end of the file)")
        layout.append((name, entry["dtype"], tuple(shape), entry["crc32"]))
        at += _aligned(entry["length"])
    if base + at != size:
        _refuse(path, f"corrupt (the file is {size} bytes, its header says {base + at})")
    return layout


def load(cls, path, workers=1, progress=None, *, digest=None, kind=None):
    """The index saved at ``path``; ``digest`` (a hashlib object), if given,
    is fed every byte of the file as it is read. Only an index of ``kind``
    is read (None: of whole documents); with a kind, ``(index, annex)``."""
    shown = os.fsdecode(os.fspath(path))
    try:
        file = _files.open_regular(path)
    except _files.NotRegularFileError as error:
        _refuse(shown, f"{error.strerror}: an index is a regular file")
    _files.remove_stale(_files.resolve(path))
    with file:
        return _read(cls, file, shown, os.fstat(file.fileno()).st_size, workers, progress,
                     digest, kind)


def dumps(index):
    """The bytes of ``index``'s file (for a pickle: checked as a save is)."""
    head, arrays = encode(index, _PICKLED)
    out = io.BytesIO()
    write(out, head, arrays)
    return out.getvalue()


def loads(cls, data, workers=1):
    """The index of ``dumps``'s bytes, checked as a load is."""
    return _read(cls, io.BytesIO(data), _PICKLED, len(data), workers, None, None, None)


# What errors name where an index came from a pickle, not a file.
_PICKLED = "a pickled vendrask.Index"


def _read(cls, file, shown, size, workers, progress, digest, kind):
    from ._corpus import Corpus
    from ._descent import Graph
    from ._sketch import Sketches

    reader = _Reader(file, shown, digest)
    meta, base = read_header(reader, size)
    settings, zlib_build = _settings(shown, meta)
    if settings["kind"] != kind:
        _refuse(shown, f"an index of {settings['kind'] or 'whole documents'}, not of "
                       f"{kind or 'whole documents'}: load it as one")
    directions = settings["graphs"]
    layout = _layout(shown, meta, settings, base, size)
    arrays = {}
    with JobProgress(progress, size - base) as job:
        for name, dtype, shape, crc in layout:
            if name == "blob":  # after the offsets, which cut it into documents
                offsets = arrays["offsets"]
                if not (len(offsets) and offsets[0] == 0 and np.all(np.diff(offsets) >= 0)
                        and offsets[-1] == shape[0]):
                    _refuse(shown, "corrupt (its arrays do not agree with each other: the "
                                   "documents' offsets)")
                strings, found = reader.documents(offsets.tolist(), job)
                if found != crc:
                    _refuse(shown, "corrupt (the array 'blob' does not match its checksum)")
                reader.zeros(-shape[0] % _ALIGN, "the array 'blob'")
                arrays[name] = np.empty(0, dtype=np.uint8)  # the documents are in ``strings``
                continue
            # Bools are read as bytes: only 0 and 1 are one.
            array = np.empty(shape, dtype=np.uint8 if dtype == "|b1" else np.dtype(dtype))
            if reader.into(array, name, job) != crc:
                _refuse(shown, f"corrupt (the array {name!r} does not match its checksum)")
            reader.zeros(-array.nbytes % _ALIGN, f"the array {name!r}")
            if dtype == "|b1":
                if array.size and array.max() > 1:
                    _refuse(shown, f"corrupt (the array {name!r} holds values that are not "
                                   f"true or false)")
                array = array.view(bool)
            arrays[name] = array
        reader.end()
        job.finish()
    here = Corpus().zlib
    if (zlib_build["version"], zlib_build["zlib_ng"]) != (here["version"], here["zlib_ng"]):
        _refuse(shown, f"saved under {zlib_identity(zlib_build)}, whose values differ from "
                       f"this build's {zlib_identity(here)}; build the index again here")
    interned = {s: i for i, s in enumerate(strings)}
    try:
        check(settings, arrays, strings, workers, blob=sum(map(len, strings)),
              interned=interned)
    except _Inconsistent as why:
        _refuse(shown, f"corrupt (its arrays do not agree with each other: {why})")

    index = cls(max_bytes=settings["max_bytes"], workers=workers, degree=settings["degree"],
                seeds=settings["seeds"], rounds=settings["rounds"])
    # In memory, the file's arrays as they were checked.
    corpus = Corpus.from_arrays(strings, **{field: arrays[name] for name, field in _SIZES.items()},
                                max_bytes=index.max_bytes, interned=interned)
    index.corpus = corpus
    index.ids = arrays["ids"]
    index.sketches = Sketches.from_arrays(arrays["vectors"], arrays["df"], settings["seen"])
    index.signatures = arrays["signatures"]
    index.settled = settings["settled"]
    index.graphs = {direction: Graph.from_arrays(direction, corpus.measures,
                                                 **_graph_parts(arrays, direction))
                    for direction in directions}
    if kind is None:
        return index
    return index, dict(settings["annex"], **{name[len(_ANNEX):]: arrays[name]
                                             for name in _names(settings) if name.startswith(_ANNEX)})


# ---------------------------------------------------------------- checking

def check(settings, arrays, strings, workers=1, blob=None, interned=None):
    """Raises _Inconsistent unless the arrays of an index (by the file's
    names) agree with each other, with its ``settings`` and with its
    documents ``strings``: what ``save`` writes and ``load`` uses. ``blob``:
    the documents' total length, where ``arrays`` no longer hold them;
    ``interned``: a dict keyed by the documents, where one is made anyway."""
    from ._corpus import Corpus
    from ._descent import graph_degrees
    from ._minhash import SLOTS, signatures as minhash_signatures
    from ._sketch import DIM, FEATURES

    def need(ok, why):
        if not ok:
            raise _Inconsistent(why)

    directions = settings["graphs"]
    need(set(arrays) == set(_names(settings)), "not the arrays of an index")
    for name, array in arrays.items():
        dtype = np.dtype(_dtype(name))
        need(array.dtype == dtype and array.ndim == _rank(name), f"the array {name!r} is of "
                                                                 f"another type")
    d = len(strings)
    offsets, ids = arrays["offsets"], arrays["ids"]
    lengths = np.fromiter(map(len, strings), dtype=np.int64, count=d)
    need(len(offsets) == d + 1 and offsets[0] == 0 and np.array_equal(np.diff(offsets), lengths)
         and offsets[-1] == (len(arrays["blob"]) if blob is None else blob),
         "the documents' offsets")
    need(settings["documents"] == len(ids) and settings["distinct"] == d,
         "the counts of documents")
    need(not len(ids) or (ids.min() >= 0 and ids.max() < d), "a position of no document")
    need(len(np.unique(ids)) == d, "a document at no position")
    if interned is None:
        interned = {s: i for i, s in enumerate(strings)}
    need(len(interned) == d, "a document stored twice")
    max_bytes = settings["max_bytes"]
    need(max_bytes is None or not d or lengths.max() <= max_bytes,
         "a document longer than max_bytes")
    lone, primed = (arrays[name] for name in _SIZES)
    need(lone.shape == (d,) and primed.shape == (d,), "the documents' sizes")
    need(not d or (lone.min() > 0 and primed.min() > 0), "a document's sizes are missing")
    need(arrays["vectors"].shape == (d, DIM), "the sketches")
    need(arrays["df"].shape == (FEATURES,) and (arrays["df"] >= 0).all() and settings["seen"] >= 0,
         "the sketches' document frequencies")
    need(arrays["signatures"].shape == (d, SLOTS), "the MinHash signatures")
    linked = settings["linked"]
    need(linked <= d, "a graph of more documents than there are")

    corpus = Corpus.from_arrays(strings, **{field: arrays[name] for name, field in _SIZES.items()},
                                max_bytes=max_bytes, interned=interned)
    degree = settings["degree"]
    for direction in directions:
        _check_graph(corpus, _graph_parts(arrays, direction), direction, linked,
                     graph_degrees(degree).get(direction, degree), need)
    need(settings["settled"] <= linked, "a graph settled for more documents than it links")

    # Sizes compressed again: a sample of the documents' and of each graph's edges'.
    rng = np.random.default_rng(d)
    if d:
        sample = np.sort(rng.choice(d, min(SAMPLE, d), replace=False))
        sizes, failure = corpus.run_batch(
            tuple(strings[i] for i in sample.tolist()),
            np.concatenate([np.full(len(sample), -1), np.arange(len(sample))]),
            np.concatenate([np.arange(len(sample))] * 2), workers, silent())
        need(failure is None and np.array_equal(
            sizes, np.concatenate([lone[sample], primed[sample]]).astype(np.int32)),
            "a document's sizes are not its own")
        need(np.array_equal(minhash_signatures([strings[i] for i in sample.tolist()]),
                            arrays["signatures"][sample]),
             "a document's MinHash signature is not its own")
    for direction in directions:
        parts = _graph_parts(arrays, direction)
        ids = parts["ids"]
        # Rows with edges, then one of each chosen row's edges (rows are
        # filled from the front, as checked above).
        counts = (ids != NO_NEIGHBOUR).sum(axis=1)
        rows = np.flatnonzero(counts)
        if not len(rows):
            continue
        u = np.sort(rng.choice(rows, min(SAMPLE, len(rows)), replace=False))
        slot = rng.integers(0, counts[u])
        v = ids[u, slot].astype(np.int64)
        forward_sizes, backward_sizes, failure = corpus.cross_sizes(u, v, workers=workers)
        need(failure is None and np.array_equal(forward_sizes, parts["forward_sizes"][u, slot])
             and np.array_equal(backward_sizes, parts["backward_sizes"][u, slot]),
             f"an edge's sizes in the {direction} graph are not its documents'")


# Rows of a graph checked at a time: the arrays made for them (about 80
# bytes an edge) stay under 10 MiB at degree 24, however large the index.
_ROWS = 1 << 12


def _check_graph(corpus, parts, direction, d, degree, need):
    """Checks one graph's arrays (``parts``, by the Graph's names) against
    the documents, a block of rows at a time."""
    what = f"the {direction} graph"
    need(all(a.shape == (d, degree) for a in parts.values()), f"{what}'s shape")
    for start in range(0, d, _ROWS):
        block = slice(start, min(start + _ROWS, d))
        rows = {field: array[block] for field, array in parts.items()}
        _check_rows(corpus, direction, start, rows, d, lambda ok, why: need(ok, f"{what} {why}"))


def _check_rows(corpus, direction, start, parts, d, need):
    from ._descent import key_of

    ids, forward_sizes, backward_sizes, new = (
        parts[name] for name in ("ids", "forward_sizes", "backward_sizes", "new"))

    need(ids.min() >= NO_NEIGHBOUR and ids.max() < d, "links to no document")
    valid = ids != NO_NEIGHBOUR
    # Each row: its edges first, then unused slots holding nothing.
    need(not (valid[:, 1:] & ~valid[:, :-1]).any(), "has a gap in a row")
    need(not (forward_sizes[~valid].any() or backward_sizes[~valid].any()
              or new[~valid].any()),
         "has sizes in an unused slot")
    row, slot = np.nonzero(valid)
    u = row + start
    v = ids[row, slot].astype(np.int64)
    need(not (u == v).any(), "links a document to itself")
    ordered = np.sort(ids, axis=1)
    need(not ((ordered[:, 1:] == ordered[:, :-1]) & (ordered[:, 1:] != NO_NEIGHBOUR)).any(),
         "has an edge twice")
    del ordered
    need(fitting(u, v, corpus.lengths, corpus.missing)[1].all(),
         "has an edge over the joint size limit")
    edge_forward, edge_backward = forward_sizes[row, slot], backward_sizes[row, slot]
    need((edge_forward > 0).all() and (edge_backward > 0).all(), "has an edge never scored")
    forward, backward, failure = corpus.measures(u, v, edge_forward, edge_backward)
    need(failure is None, "has sizes that give no score")
    keys = np.full(ids.shape, -np.inf)
    keys[row, slot] = key_of(forward, backward, direction)
    need(np.isfinite(keys[row, slot]).all(), "has an edge with no score")
    # Best first, ties by the smaller id, as Graph.offer keeps them.
    pairs = valid[:, 1:]
    left, right = keys[:, :-1][pairs], keys[:, 1:][pairs]
    need(((left > right) | ((left == right) & (ids[:, :-1][pairs] < ids[:, 1:][pairs]))).all(),
         "is not in the order of its scores")
