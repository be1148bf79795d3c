"""The index file: one file, written atomically, mapped when read.

Layout (all numbers little-endian):

    16 bytes   MAGIC
    8 bytes    header length H (unsigned)
    H bytes    header: UTF-8 JSON (format, package version, max_bytes, the zlib
               build, counts, tuning, and for each array its dtype, shape,
               offset, length and CRC-32)
    4 bytes    CRC-32 of the header
    arrays     each at an offset that is a multiple of 64, raw C-order data

The arrays: ``ids`` (corpus id of each position), ``offsets`` and ``blob``
(the distinct documents, concatenated), ``alone`` and ``self`` (their sizes),
``vectors`` (sketches, int8), ``df`` (the sketches' document frequencies) and the
graphs, for each direction D the header lists: ``D_ids`` (int32, -1 where
unused), ``D_there`` and ``D_back`` (uint16, the two cross sizes of each
edge, from which its scores are computed again) and ``D_new``.
Every byte is covered by a checksum, and every array is checked against the
others before it is used, so a damaged file is refused, never half-read.
"""
import json
import mmap
import os
import struct
import tempfile
import zlib

import numpy as np

from . import IndexFileError, __version__
from ._progress import JobProgress

MAGIC = b"vendrask index\n\x00"
FORMAT = 3
_ALIGN = 64
_DTYPES = {"<i8", "<i4", "<u2", "<f8", "|i1", "|u1", "|b1"}
_CHUNK = 1 << 24
_GRAPH = {"ids": "<i4", "there": "<u2", "back": "<u2", "new": "|b1"}


def _arrays(index):
    corpus = index.corpus
    strings = corpus.strings
    lengths = np.fromiter(map(len, strings), dtype=np.int64, count=len(strings))
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    blob = np.frombuffer(b"".join(strings), dtype=np.uint8)
    arrays = {
        "ids": index.ids.astype("<i8"), "offsets": offsets.astype("<i8"), "blob": blob,
        "alone": corpus.alone.astype("<i4"), "self": corpus.self_.astype("<i4"),
        "vectors": index.vectors.astype("|i1"), "df": index.sketcher.df.astype("<i4"),
    }
    for direction, graph in index.graphs.items():
        arrays.update({f"{direction}_{part}": getattr(graph, part).astype(dtype)
                       for part, dtype in _GRAPH.items()})
    return arrays


def save(index, path, progress=None):
    path = os.fspath(path)
    arrays = _arrays(index)
    table, at = {}, 0
    for name, array in arrays.items():
        array = np.ascontiguousarray(array)
        arrays[name] = array
        table[name] = {"dtype": array.dtype.str, "shape": list(array.shape), "offset": at,
                       "length": array.nbytes, "crc32": zlib.crc32(memoryview(array).cast("B"))}
        at += -(-array.nbytes // _ALIGN) * _ALIGN
    header = json.dumps({
        "format": FORMAT, "version": __version__, "max_bytes": index.max_bytes,
        "zlib": index.corpus.zlib, "documents": len(index.ids), "distinct": len(index.corpus),
        "degree": index.degree, "candidates": index.candidates, "rounds": index.rounds,
        "graphs": list(index.graphs), "seen": int(index.sketcher.seen), "arrays": table,
    }, sort_keys=True).encode()
    head = MAGIC + struct.pack("<Q", len(header)) + header + struct.pack("<I", zlib.crc32(header))
    base = -(-len(head) // _ALIGN) * _ALIGN
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise IsADirectoryError(f"{path} is a directory")
    fd, temporary = tempfile.mkstemp(prefix=".vendrask-index-", dir=directory)
    try:
        with JobProgress(progress, base + at) as job, os.fdopen(fd, "wb") as out:
            out.write(head + b"\0" * (base - len(head)))
            job.advance(base)
            for name, array in arrays.items():
                data = memoryview(array).cast("B")
                for start in range(0, len(data), _CHUNK):
                    out.write(data[start:start + _CHUNK])
                    job.advance(min(_CHUNK, len(data) - start))
                    job.poll()
                out.write(b"\0" * (-len(data) % _ALIGN))
            out.flush()
            os.fsync(out.fileno())
            job.finish()
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _refuse(path, why):
    raise IndexFileError(f"{path}: {why}")


def read_header(path, data):
    """The header of a mapped index file, checked; refuses what is not one."""
    if len(data) < len(MAGIC) + 12 or bytes(data[:len(MAGIC)]) != MAGIC:
        _refuse(path, "not a vendrask index file")
    size, = struct.unpack_from("<Q", data, len(MAGIC))
    start = len(MAGIC) + 8
    if size > len(data) - start - 4:
        _refuse(path, "truncated (the header runs past the end of the file)")
    header = bytes(data[start:start + size])
    crc, = struct.unpack_from("<I", data, start + size)
    if zlib.crc32(header) != crc:
        _refuse(path, "corrupt (the header's checksum does not match)")
    try:
        meta = json.loads(header)
    except ValueError:
        _refuse(path, "corrupt (the header is not JSON)")
    if not isinstance(meta, dict) or not isinstance(meta.get("format"), int):
        _refuse(path, "corrupt (the header names no format)")
    if meta["format"] != FORMAT:
        _refuse(path, f"format {meta['format']} is not one this version ({__version__}) "
                      f"reads (format {FORMAT}); build the index again")
    meta["_base"] = -(-(start + size + 4) // _ALIGN) * _ALIGN
    return meta


def load(cls, path, workers=1, progress=None):
    from ._corpus import Corpus
    from ._descent import Graph
    from ._index import zlib_identity
    from ._sketch import DIM, FEATURES, Sketcher

    shown = os.fspath(path)
    with open(path, "rb") as handle:
        try:
            data = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_COPY)
        except ValueError:  # an empty file cannot be mapped
            _refuse(shown, "not a vendrask index file (it is empty)")
    meta = read_header(shown, data)
    arrays = {}
    table = meta.get("arrays")
    if not isinstance(table, dict):
        _refuse(shown, "corrupt (the header lists no arrays)")
    total = sum(entry.get("length", 0) for entry in table.values()
                if isinstance(entry, dict) and isinstance(entry.get("length"), int))
    with JobProgress(progress, total) as job:
        directions = meta.get("graphs")
        if not isinstance(directions, list) or not directions or not set(directions) <= set(
                ("forward", "mean", "min", "max")) or "mean" not in directions:
            _refuse(shown, "corrupt (the header lists no graphs)")
        names = ["ids", "offsets", "blob", "alone", "self", "vectors", "df"]
        names += [f"{d}_{part}" for d in directions for part in _GRAPH]
        for name in names:
            arrays[name] = _array(shown, data, meta, name, job)
        job.finish()
    try:
        zlib_build = dict(meta["zlib"])
        max_bytes = meta["max_bytes"]
        degree, candidates, rounds = int(meta["degree"]), int(meta["candidates"]), int(meta["rounds"])
        seen = int(meta["seen"])
    except (KeyError, TypeError, ValueError):
        _refuse(shown, "corrupt (the header lacks a setting)")
    here = Corpus().zlib
    if (zlib_build.get("version"), bool(zlib_build.get("zlib_ng"))) != (
            here["version"], bool(here["zlib_ng"])):
        _refuse(shown, f"saved under {zlib_identity(zlib_build)}, whose values differ from "
                       f"this build's {zlib_identity(here)}; build the index again here")
    ids, offsets, blob = arrays["ids"], arrays["offsets"], arrays["blob"]
    d = len(offsets) - 1
    checks = [
        d >= 0 and offsets[0] == 0 and np.all(np.diff(offsets) >= 0) and offsets[-1] == len(blob),
        ids.ndim == 1 and (not len(ids) or (ids.min() >= 0 and ids.max() < d)),
        len(np.unique(ids)) == d,
        arrays["alone"].shape == (d,) and arrays["self"].shape == (d,),
        arrays["vectors"].shape == (d, DIM), arrays["df"].shape == (FEATURES,),
        all(_graph_fits(arrays, direction, d, cls._degrees(degree).get(direction, degree))
            for direction in directions),
        meta.get("documents") == len(ids) and meta.get("distinct") == d,
        max_bytes is None or (isinstance(max_bytes, int) and max_bytes >= 0),
        degree >= 1,
    ]
    if not all(checks):
        _refuse(shown, "corrupt (its arrays do not agree with each other)")
    index = cls(max_bytes=max_bytes, workers=workers, degree=degree,
                candidates=candidates, rounds=rounds)
    corpus = index.corpus
    bounds = offsets.tolist()
    raw = memoryview(blob)
    corpus.strings = [raw[bounds[i]:bounds[i + 1]].tobytes() for i in range(d)]
    corpus._ids = {s: i for i, s in enumerate(corpus.strings)}
    if len(corpus._ids) != d:
        _refuse(shown, "corrupt (a document is stored twice)")
    corpus.lengths = np.diff(offsets).astype(np.int64)
    corpus.alone, corpus.self_ = np.array(arrays["alone"]), np.array(arrays["self"])
    corpus.missing = np.zeros(d, dtype=bool)
    if (corpus.alone < 0).any() or (corpus.self_ < 0).any():
        _refuse(shown, "corrupt (a document's sizes are missing)")
    index.ids = np.array(ids, dtype=np.int64)
    index.vectors = arrays["vectors"]
    index.sketcher = Sketcher(np.array(arrays["df"]), seen)
    index.graphs = {}
    for direction in directions:
        ids = arrays[f"{direction}_ids"]
        graph = Graph(d, ids.shape[1], direction, corpus.measures)
        for part in _GRAPH:  # mapped, copied only where a page is written
            setattr(graph, part, arrays[f"{direction}_{part}"])
        index.graphs[direction] = graph
    return index


def _graph_fits(arrays, direction, d, degree):
    ids = arrays[f"{direction}_ids"]
    return (ids.shape == (d, degree)
            and all(arrays[f"{direction}_{part}"].shape == ids.shape
                    and arrays[f"{direction}_{part}"].dtype == np.dtype(dtype)
                    for part, dtype in _GRAPH.items())
            and (not ids.size or (ids.min() >= -1 and ids.max() < d)))


def _array(path, data, meta, name, job):
    """One array of the file, its bounds, dtype and checksum checked."""
    entry = meta["arrays"].get(name)
    try:
        dtype, shape = entry["dtype"], tuple(int(x) for x in entry["shape"])
        offset, length, crc = int(entry["offset"]), int(entry["length"]), int(entry["crc32"])
    except (KeyError, TypeError, ValueError):
        _refuse(path, f"corrupt (the header does not describe the array {name!r})")
    if dtype not in _DTYPES or any(x < 0 for x in shape) or offset < 0:
        _refuse(path, f"corrupt (the array {name!r} is described wrongly)")
    start = meta["_base"] + offset
    if int(np.prod(shape, dtype=object)) * np.dtype(dtype).itemsize != length:
        _refuse(path, f"corrupt (the array {name!r} is described wrongly)")
    if start + length > len(data):
        _refuse(path, f"truncated (the array {name!r} runs past the end of the file)")
    view = memoryview(data)[start:start + length]
    check = 0
    for at in range(0, length, _CHUNK):
        check = zlib.crc32(view[at:at + _CHUNK], check)
        job.advance(min(_CHUNK, length - at))
        job.poll()
    if check != crc:
        _refuse(path, f"corrupt (the array {name!r} does not match its checksum)")
    return np.frombuffer(data, dtype=np.dtype(dtype), count=int(np.prod(shape)),
                         offset=start).reshape(shape)
