"""Index files from the Python API: a save never writes an index that a load
would refuse, replaces only regular files (through links), leaves no
temporary file behind even when killed; a load reads only regular files,
checks content as well as checksums, and keeps what it checked."""
import json
import json.decoder
import os
import pickle
import re
import signal
import stat
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import vendrask
from vendrask import _files, _store

HANG_GUARD = 120  # seconds: only against a hang, never a measure of speed


def chunks(count, size=300):
    """Distinct pieces of real text."""
    out = []
    for path in (os.__file__, subprocess.__file__, json.decoder.__file__):
        data = open(path, "rb").read()
        out += [data[at:at + size] for at in range(0, len(data) - size, size)]
    out = list(dict.fromkeys(out))
    assert len(out) >= count
    return out[:count]


DOCS = chunks(48)


@pytest.fixture(scope="module")
def built():
    index = vendrask.Index(DOCS, max_bytes=1000)
    index.build_graph()
    return index


@pytest.fixture(scope="module")
def saved(built, tmp_path_factory):
    path = tmp_path_factory.mktemp("saved") / "good.idx"
    built.save(path)
    return path.read_bytes()


# ---------------------------------------------------------------- forging files

def parse(data):
    """(meta, arrays) of an index file, the arrays in file order."""
    start = len(_store.MAGIC) + 8
    size, = struct.unpack_from("<Q", data, len(_store.MAGIC))
    meta = json.loads(data[start:start + size])
    base = -(-(start + size + 4) // 64) * 64
    arrays = {}
    for name, entry in sorted(meta["arrays"].items(), key=lambda item: item[1]["offset"]):
        count = int(np.prod(entry["shape"]))
        arrays[name] = np.frombuffer(data, dtype=entry["dtype"], count=count,
                                     offset=base + entry["offset"]).reshape(entry["shape"]).copy()
    return meta, arrays


def forge(meta, arrays, edit_header=None):
    """An index file of ``meta`` and ``arrays`` with every checksum right."""
    table, body = {}, b""
    for name, array in arrays.items():
        raw = np.ascontiguousarray(array).tobytes()
        table[name] = {"dtype": array.dtype.str, "shape": list(array.shape), "offset": len(body),
                       "length": len(raw), "crc32": zlib.crc32(raw)}
        body += raw + b"\0" * (-len(raw) % 64)
    header = json.dumps(dict(meta, arrays=table), sort_keys=True)
    if edit_header is not None:
        header = edit_header(header)
    header = header.encode()
    head = _store.MAGIC + struct.pack("<Q", len(header)) + header + struct.pack("<I", zlib.crc32(header))
    return head + b"\0" * (-len(head) % 64) + body


def _shift_edge_sizes(meta, arrays):
    valid = arrays["mean_ids"] != -1
    arrays["mean_there"][valid] = np.roll(arrays["mean_there"][valid], 1)


def _swap_two_edges(meta, arrays):
    ids = arrays["mean_ids"]
    row = int(np.flatnonzero((ids[:, :2] != -1).all(axis=1))[0])
    for part in ("ids", "there", "back", "new"):
        array = arrays[f"mean_{part}"]
        array[row, [0, 1]] = array[row, [1, 0]]


def _edge_to_itself(meta, arrays):
    arrays["mean_ids"][0, 0] = 0


def _edge_twice(meta, arrays):
    for part in ("ids", "there", "back"):
        arrays[f"mean_{part}"][0, 1] = arrays[f"mean_{part}"][0, 0]


def _documents_changed(meta, arrays):
    offsets, blob = arrays["offsets"], arrays["blob"]
    for start, stop in zip(offsets[:-1], offsets[1:]):
        blob[start:stop] = np.sort(blob[start:stop])  # same lengths, other sizes


def _retype(name, dtype=None, shape=None):
    def change(meta, arrays):
        array = arrays[name].astype(dtype or arrays[name].dtype)
        arrays[name] = array.reshape(shape(array)) if shape else array
    return change


def _set(**fields):
    return lambda meta, arrays: meta.update(fields)


def _add(name, delta):
    def change(meta, arrays):
        arrays[name] += delta
    return change


def _deep(header):
    return header[:-1] + ', "deep": ' + "[" * 100000 + "]" * 100000 + "}"


def _no_edges(meta, arrays):
    for name in arrays:
        if name.endswith(("_ids", "_there", "_back", "_new")) and name != "ids":
            arrays[name][...] = -1 if name.endswith("_ids") else 0


def _one_edge_a_row(meta, arrays):
    for graph in meta["graphs"]:
        for part in ("ids", "there", "back", "new"):
            arrays[f"{graph}_{part}"][:, 1:] = -1 if part == "ids" else 0


def _both(*changes):
    def change(meta, arrays):
        for one in changes:
            one(meta, arrays)
    return change


DISAGREE = "its arrays do not agree with each other: "
FORGED = {
    # Header fields of the wrong type or value.
    "nested 100 000 deep": (None, _deep, "the header is not JSON"),
    "a shape of 1e400": (None, lambda h: h.replace('"shape": [48]', '"shape": [1e400]', 1),
                         "is described wrongly"),
    "rounds 0": (_set(rounds=0), None, "'rounds' is not a positive whole number"),
    "max_bytes true": (_set(max_bytes=True), None,
                       "'max_bytes' is not None or a positive whole number"),
    "max_bytes 0": (_set(max_bytes=0), None, "'max_bytes' is not None or a positive whole number"),
    "degree a string": (_set(degree="24"), None, "'degree' is not a positive whole number"),
    "documents a float": (_set(documents=48.0), None, "'documents' is not a whole number"),
    "seen negative": (_set(seen=-1), None, "'seen' is not a whole number"),
    "no zlib build": (_set(zlib="1.2.13"), None, "'zlib' is not a zlib build"),
    "graphs twice": (_set(graphs=["mean", "mean", "forward"]), None, "'graphs' is not a list"),
    "documents over max_bytes": (_set(max_bytes=10), None, DISAGREE + "a document longer than"),
    # Arrays of another type or rank, or one too many.
    "offsets int32": (_retype("offsets", "<i4"), None, "'offsets' is described wrongly"),
    "offsets of rank 2": (_retype("offsets", shape=lambda a: (1, len(a))), None,
                          "'offsets' is described wrongly"),
    "alone float": (_retype("alone", "<f8"), None, "'alone' is described wrongly"),
    "an extra array": (lambda m, a: a.update(extra=np.zeros(3, "<i8")), None,
                       "lists other arrays than an index has"),
    "new holding 2": (lambda m, a: a["mean_new"].view(np.uint8).__setitem__((0, 0), 2), None,
                      "'mean_new' holds values that are not true or false"),
    # Content that agrees with its checksums but not with itself: sizes
    # that break the order of a graph's rows...
    "lone sizes off by one": (_add("alone", 1), None, "not in the order of its scores"),
    "edge sizes shifted by one": (_shift_edge_sizes, None, "not in the order of its scores"),
    "two edges swapped": (_swap_two_edges, None, "not in the order of its scores"),
    # ...and sizes that do not, found by compressing a sample again.
    "lone sizes off by one, no edges": (_both(_no_edges, _add("alone", 1)), None,
                                        "a document's sizes are not its own"),
    "self-primed sizes off by one, no edges": (_both(_no_edges, _add("self", 1)), None,
                                               "a document's sizes are not its own"),
    "edge sizes off by one, one edge a row": (
        _both(_one_edge_a_row, lambda m, a: a["mean_there"].__iadd__(a["mean_ids"] != -1)), None,
        "an edge's sizes in the mean graph are not its documents'"),
    "documents' bytes changed": (_documents_changed, None, "a document's sizes are not its own"),
    "an edge to itself": (_edge_to_itself, None, "links a document to itself"),
    "an edge twice": (_edge_twice, None, "has an edge twice"),
    "a position past the documents": (lambda m, a: a["ids"].__setitem__(0, 48), None,
                                      "a position of no document"),
    # The MinHash signatures and how much of the corpus the graph holds.
    "a signature changed": (lambda m, a: a["signatures"].__iadd__(np.uint32(1)), None,
                            "a document's MinHash signature is not its own"),
    "signatures short": (lambda m, a: a.update(signatures=a["signatures"][:-1]), None,
                         DISAGREE + "the MinHash signatures"),
    "linked past the documents": (_set(linked=49), None, DISAGREE + "a graph of more documents"),
    "linked short of the graph": (_set(linked=47), None, DISAGREE + "the mean graph's shape"),
    "linked a float": (_set(linked=48.0), None, "'linked' is not a whole number"),
    "settled past the graph": (_set(settled=49), None,
                               DISAGREE + "a graph settled for more documents than it links"),
    "settled below zero": (_set(settled=-1), None, "'settled' is not a whole number"),
    "a kind of no name": (_set(kind="two words"), None, "'kind' is not None or a name"),
    "annex of a string": (_set(annex={"window": "8"}), None,
                          "'annex' is not a table of whole numbers"),
    "an annex array not listed": (lambda m, a: a.update(annex_doc=np.zeros(3, "<i8")), None,
                                  "lists other arrays than an index has"),
}


def test_a_forged_file_that_changes_nothing_loads(saved, tmp_path):
    # The forger writes files as save does: what the cases below change is
    # all that makes them fail.
    path = tmp_path / "same.idx"
    path.write_bytes(forge(*parse(saved)))
    assert path.read_bytes() == saved and list(vendrask.Index.load(path)) == DOCS


@pytest.mark.parametrize("case", FORGED)
def test_a_file_whose_content_disagrees_is_refused(saved, tmp_path, case):
    change, edit_header, reason = FORGED[case]
    meta, arrays = parse(saved)
    if change is not None:
        change(meta, arrays)
    path = tmp_path / "forged.idx"
    path.write_bytes(forge(meta, arrays, edit_header))
    with pytest.raises(vendrask.IndexFileError, match=f"^{re.escape(str(path))}: corrupt") as caught:
        vendrask.Index.load(path)
    assert reason in str(caught.value) and "\n" not in str(caught.value)


def _cut_last(data):
    return data[:-1]


def _flip_last(data):
    return data[:-1] + bytes([data[-1] ^ 1])


def _header_end(data):
    start = len(_store.MAGIC) + 8
    return start + struct.unpack_from("<Q", data, len(_store.MAGIC))[0] + 4


@pytest.mark.parametrize("damage", [_cut_last, _flip_last,
                                    lambda data: data + b"\0", lambda data: data + b"more"],
                         ids=["cut in the final padding", "final padding byte flipped",
                              "a zero appended", "bytes appended"])
def test_every_byte_of_the_file_counts(saved, tmp_path, damage):
    assert saved[-1] == 0, "the last array must end in padding for this test"
    path = tmp_path / "damaged.idx"
    path.write_bytes(damage(saved))
    with pytest.raises(vendrask.IndexFileError, match=f"^{re.escape(str(path))}: (corrupt|truncated)"):
        vendrask.Index.load(path)


def test_a_byte_of_the_header_padding_counts(tmp_path):
    # The header's length varies with what it records: take an index whose
    # header does not end on the arrays' alignment.
    path = tmp_path / "damaged.idx"
    for count in range(2, 40):
        vendrask.Index([b"document %d of a few" % i for i in range(count)]).save(path)
        data = path.read_bytes()
        end = _header_end(data)
        if end % 64:
            break
    path.write_bytes(data[:end] + b"\1" + data[end + 1:])
    with pytest.raises(vendrask.IndexFileError, match=f"^{re.escape(str(path))}: corrupt"):
        vendrask.Index.load(path)


def test_an_empty_index_saves_and_loads(tmp_path):
    path = tmp_path / "empty.idx"
    vendrask.Index().save(path)
    loaded = vendrask.Index.load(path)
    assert len(loaded) == 0 and loaded.nearest([b"query"], 2)[1].tolist() == [[-1, -1]]
    assert loaded.add([b"a first", b"a second"]).tolist() == [0, 1]


# ---------------------------------------------------------------- saving what load would refuse

def _half_added(index):
    index.corpus.add([b"a document interned but never sized"])


def _short_sketches(index):
    index.vectors = index.vectors[:-1]


def _edge_past_the_end(index):
    index.graphs["mean"].ids[0, 0] = len(index.corpus)


def _unsized(index):
    index.corpus.lone_sizes[3] = -1


@pytest.mark.parametrize("spoil", [_half_added, _short_sketches, _edge_past_the_end, _unsized])
def test_an_inconsistent_index_is_not_saved_over_a_good_file(saved, tmp_path, spoil):
    path = tmp_path / "good.idx"
    path.write_bytes(saved)
    index = vendrask.Index.load(path)
    spoil(index)
    with pytest.raises(vendrask.IndexFileError,
                       match=f"^{re.escape(str(path))}: not saved: .* left as it was$"):
        index.save(path)
    assert path.read_bytes() == saved and os.listdir(tmp_path) == ["good.idx"]


def test_a_save_after_a_stopped_add_never_destroys_the_file(saved, tmp_path):
    path = tmp_path / "good.idx"
    path.write_bytes(saved)
    index = vendrask.Index.load(path)

    def stop(done, total):
        if done:
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        index.add(chunks(60)[48:], progress=stop)
    try:
        index.save(path)
    except vendrask.IndexFileError:
        assert path.read_bytes() == saved  # refused: the old file stands
    assert list(vendrask.Index.load(path))[:48] == DOCS  # either way a file that loads


# ---------------------------------------------------------------- what save replaces

def test_a_link_is_followed_and_its_target_replaced(saved, tmp_path):
    (tmp_path / "real.idx").write_bytes(saved)
    os.chmod(tmp_path / "real.idx", 0o640)
    os.symlink("real.idx", tmp_path / "link.idx")
    os.symlink("made.idx", tmp_path / "dangling.idx")
    for link in ("link.idx", "dangling.idx"):
        vendrask.Index([b"one document", b"another"]).save(tmp_path / link)
    assert os.readlink(tmp_path / "link.idx") == "real.idx"
    for target in ("real.idx", "made.idx"):
        assert list(vendrask.Index.load(tmp_path / target)) == [b"one document", b"another"]
    assert stat.S_IMODE(os.stat(tmp_path / "real.idx").st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["dangling.idx", "link.idx", "made.idx", "real.idx"]


def _fifo(path):
    os.mkfifo(path)


def _device(path):
    try:
        os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))  # a second /dev/null
    except PermissionError:
        pytest.skip("mknod needs root")


def _socket(path):
    import socket
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(path))


@pytest.mark.parametrize("make, message", [
    (_fifo, "not a regular file (it is a FIFO): only a regular file is replaced"),
    (_device, "not a regular file (it is a character device): only a regular file is replaced"),
    (_socket, "not a regular file (it is a socket): only a regular file is replaced"),
    (os.mkdir, "Is a directory"),
])
@pytest.mark.parametrize("through_link", [False, True])
def test_save_refuses_anything_but_a_regular_file(tmp_path, make, message, through_link):
    make(tmp_path / "special")
    before = os.lstat(tmp_path / "special")
    name = tmp_path / "special"
    if through_link:
        os.symlink("special", tmp_path / "link")
        name = tmp_path / "link"
    with pytest.raises(OSError) as caught:
        vendrask.Index([b"x"]).save(name)
    assert str(caught.value) == f"{name}: {message}"
    after = os.lstat(tmp_path / "special")
    assert (after.st_mode, after.st_ino) == (before.st_mode, before.st_ino)
    assert sorted(os.listdir(tmp_path)) == sorted(["special"] + ["link"] * through_link)


def test_a_replaced_file_keeps_its_owner_where_allowed(saved, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("only root may give a file to someone else")
    (tmp_path / "owned.idx").write_bytes(saved)
    os.chown(tmp_path / "owned.idx", 4321, 4322)
    vendrask.Index([b"x"]).save(tmp_path / "owned.idx")
    found = os.stat(tmp_path / "owned.idx")
    assert (found.st_uid, found.st_gid) == (4321, 4322)


def test_a_link_planted_at_a_temporary_name_is_never_written_through(tmp_path, monkeypatch):
    victim = tmp_path / "victim"
    victim.write_bytes(b"secret")
    os.chmod(victim, 0o600)
    draws = iter([b"\0" * 4, b"\1" * 4])
    monkeypatch.setattr(_files.os, "urandom", lambda n: next(draws))
    planted = tmp_path / f".x.idx.{os.getpid()}.{_files._host_tag()}.00000000.tmp"
    os.symlink(victim, planted)
    vendrask.Index([b"x"]).save(tmp_path / "x.idx")
    assert victim.read_bytes() == b"secret" and os.path.islink(planted)
    assert sorted(os.listdir(tmp_path)) == sorted([planted.name, "victim", "x.idx"])


def test_a_name_as_long_as_allowed_is_saved(tmp_path):
    name = tmp_path / ("é" * 100 + "x" * 53)  # 253 bytes: its temporary file's name is cut
    vendrask.Index([b"x"]).save(name)
    assert len(vendrask.Index.load(name)) == 1 and os.listdir(tmp_path) == [name.name]


# ---------------------------------------------------------------- what a loaded index holds

def test_a_loaded_index_keeps_what_it_read_when_the_file_changes(saved, tmp_path):
    path = tmp_path / "loaded.idx"
    path.write_bytes(saved)
    loaded = vendrask.Index.load(path)
    before = loaded.neighbors(5), loaded.nearest(DOCS[:5], 5)
    vendrask.Index(chunks(100)[52:], max_bytes=1000).save(tmp_path / "other.idx")
    other = (tmp_path / "other.idx").read_bytes()
    with open(path, "r+b") as file:  # cp other.idx loaded.idx: the same file, overwritten
        file.write(other)
        file.truncate()
    after = loaded.neighbors(5), loaded.nearest(DOCS[:5], 5)
    for a, b in zip(before, after):
        assert all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b))
    loaded.add([b"grows as before"])
    assert path.read_bytes() == other  # and growing never writes to the file


def test_a_loaded_index_survives_its_file_being_cut(built, saved, tmp_path):
    # Mapped arrays would make this a bus error: the process killed.
    path = tmp_path / "cut.idx"
    path.write_bytes(saved)
    script = ("import sys, vendrask; index = vendrask.Index.load(sys.argv[1]); "
              "open(sys.argv[1], 'r+b').truncate(100); "
              "print(index.neighbors(3)[1][:2].tolist())")
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True,
                          timeout=HANG_GUARD)
    assert (done.returncode, done.stderr) == (0, b"")
    assert json.loads(done.stdout) == built.neighbors(3)[1][:2].tolist()


# ---------------------------------------------------------------- what load reads

def _load_in_child(path):
    """Index.load(path) in a child (a FIFO would block this process for good):
    (status, the exception's type and text)."""
    script = ("import sys, vendrask\n"
              "try:\n    vendrask.Index.load(sys.argv[1])\n"
              "except Exception as error:\n    print(type(error).__name__, error)\n")
    done = subprocess.run([sys.executable, "-c", script, path], capture_output=True,
                          timeout=HANG_GUARD)
    return done.returncode, done.stdout.decode().strip()


@pytest.mark.parametrize("make, kind", [(_fifo, "a FIFO"), (None, "a character device")])
@pytest.mark.parametrize("through_link", [False, True])
def test_load_refuses_anything_but_a_regular_file_at_once(tmp_path, make, kind, through_link):
    name = "/dev/zero"
    if make is not None:
        make(tmp_path / "special")
        name = str(tmp_path / "special")
    if through_link:
        os.symlink(name, tmp_path / "link")
        name = str(tmp_path / "link")
    assert _load_in_child(name) == (0, f"IndexFileError {name}: not a regular file (it is {kind}): "
                                       f"an index is a regular file")


# ---------------------------------------------------------------- temporaries of killed writers

KILLED_SAVE = """
import os, signal, sys, vendrask
def die(done, total):
    os.kill(os.getpid(), signal.SIGKILL)  # as if killed while writing
vendrask.Index([b"first", b"second"]).save(sys.argv[1], progress=die)
"""


def _killed_writer(path):
    done = subprocess.run([sys.executable, "-c", KILLED_SAVE, str(path)], timeout=HANG_GUARD)
    assert done.returncode == -signal.SIGKILL


def _temporaries(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".tmp"))


@pytest.mark.parametrize("then", ["save", "load"])
def test_a_killed_save_leaves_a_temporary_that_the_next_save_or_load_removes(saved, tmp_path, then):
    path = tmp_path / "x.idx"
    path.write_bytes(saved)
    _killed_writer(path)
    left = _temporaries(tmp_path)
    assert len(left) == 1 and left[0].startswith(".x.idx.")
    # Not removed: a live writer's (this process), another host's, another
    # file's, and names this package does not make.
    others = [f".x.idx.{os.getpid()}.{_files._host_tag()}.0123abcd.tmp",
              left[0].replace(_files._host_tag(), "00000000" if _files._host_tag() != "00000000"
                              else "11111111"),
              ".y.idx" + left[0][len(".x.idx"):], ".x.idx.123.tmp", "x.idx.names"]
    for name in others:
        (tmp_path / name).write_bytes(b"")
    if then == "save":
        vendrask.Index([b"new"]).save(path)
    else:
        assert list(vendrask.Index.load(path)) == DOCS
    assert sorted(os.listdir(tmp_path)) == sorted(others + ["x.idx"])


# ---------------------------------------------------------------- kinds and the graph

def test_an_annex_round_trips_and_each_kind_is_read_only_as_itself(built, tmp_path):
    path = tmp_path / "windows.idx"
    annex = {"window": 512, "doc": np.arange(5, dtype=np.int64) * 3, "offset": np.zeros(0, np.int32)}
    _store.save(built, path, kind="windows", annex=annex)
    index, got = _store.load(vendrask.Index, path, kind="windows")
    assert got["window"] == 512 and set(got) == set(annex)
    assert all(np.array_equal(got[name], annex[name]) and got[name].dtype == np.int64
               for name in ("doc", "offset"))
    assert list(index) == list(built)
    with pytest.raises(vendrask.IndexFileError, match="an index of windows, not of whole documents"):
        vendrask.Index.load(path)
    plain = tmp_path / "plain.idx"
    built.save(plain)
    with pytest.raises(vendrask.IndexFileError, match="an index of whole documents, not of windows"):
        _store.load(vendrask.Index, plain, kind="windows")


@pytest.mark.parametrize("annex, message", [
    ({"a b": 1}, "identifiers"), ({"x": 1.5}, "ints and integer arrays"),
    ({"x": np.zeros((2, 2), np.int64)}, "one-dimensional integers"),
    ({"x": np.zeros(2)}, "one-dimensional integers"),
])
def test_an_annex_of_other_values_is_refused(built, tmp_path, annex, message):
    with pytest.raises(ValueError, match=message):
        _store.save(built, tmp_path / "x.idx", kind="windows", annex=annex)
    assert not os.listdir(tmp_path)


def test_the_graph_is_saved_as_far_as_it_was_built_and_grows_after_a_load(tmp_path):
    index = vendrask.Index(DOCS[:30])
    index.save(tmp_path / "none.idx")  # no graph yet: sizes, sketches and signatures only
    index.build_graph()
    index.add(DOCS[30:])
    index.save(tmp_path / "part.idx")
    for name, linked in (("none.idx", 0), ("part.idx", 30)):
        loaded = vendrask.Index.load(tmp_path / name)
        assert loaded.info()["linked"] == linked
        scores, _ = loaded.nearest(DOCS[:3], 2)  # links the rest first
        assert loaded.info()["linked"] == len(loaded.corpus)
        assert scores[:, 0].tolist() == [1.0] * 3
    index.build_graph()
    loaded.save(tmp_path / "again.idx")
    index.save(tmp_path / "whole.idx")
    # Linked after the load or before the save: one graph.
    assert (tmp_path / "again.idx").read_bytes() == (tmp_path / "whole.idx").read_bytes()


# ---------------------------------------------------------------- what each class keeps

def test_a_file_is_saved_again_byte_for_byte_after_a_load_or_a_pickle(tmp_path):
    # Whatever goes through the classes' own arrays (to_arrays, then
    # from_arrays on load) comes back in the same bytes, dtypes included.
    windows = vendrask.WindowIndex([b"".join(DOCS[i:i + 6]) for i in range(0, 48, 6)], window=700)
    windows.index.build_graph()
    partial = vendrask.Index(DOCS[:20], max_bytes=250, degree=7)
    partial.build_graph()
    partial.add(DOCS[20:])
    for name, index in (("empty", vendrask.Index()), ("partial", partial), ("windows", windows)):
        first, again = tmp_path / f"{name}.idx", tmp_path / f"{name}.again.idx"
        index.save(first)
        type(index).load(first).save(again)
        assert again.read_bytes() == first.read_bytes(), name
        if name != "windows":
            pickle.loads(pickle.dumps(index)).save(again)
            assert again.read_bytes() == first.read_bytes(), name


def test_a_corpus_from_its_arrays_interns_and_scores_as_the_original():
    from vendrask._corpus import Corpus
    corpus = Corpus(max_bytes=500)
    ids = corpus.add(DOCS[:12] + DOCS[:3])
    assert corpus.compute_sizes(ids, ids) is None
    arrays = corpus.to_arrays()
    assert set(arrays) == {"strings", "lone_sizes", "primed_sizes"}
    other = Corpus.from_arrays(**arrays, max_bytes=500)
    assert other.strings == corpus.strings and other.max_bytes == 500
    assert np.array_equal(other.lengths, corpus.lengths) and not other.missing.any()
    t, s = np.arange(12), np.arange(12)[::-1].copy()
    t, s = t[t != s], s[t != s]
    assert all(np.array_equal(a, b) for a, b in zip(other.cross(t, s)[:2], corpus.cross(t, s)[:2]))
    # Known documents keep their ids; a new one comes after them, unsized.
    assert other.add([DOCS[5], DOCS[40], DOCS[0]]).tolist() == [5, 12, 0]
    assert other.lone_sizes[12] == other.primed_sizes[12] == -1 and len(corpus) == 12


@pytest.mark.parametrize("spoil", [
    lambda a: a.update(forward_sizes=a["forward_sizes"][:, :-1]),
    lambda a: a.update(ids=a["ids"].astype(np.int64)),
    lambda a: a.update(new=a["new"].reshape(-1)),
    lambda a: a.update(backward_sizes=a["backward_sizes"].tolist()),
], ids=["narrower sizes", "wider ids", "flat flags", "a list"])
def test_a_graph_is_made_only_of_arrays_that_agree_in_shape_and_type(built, spoil):
    from vendrask._descent import Graph
    graph = built.graphs["mean"]
    again = Graph.from_arrays("mean", built.corpus.measures, **graph.to_arrays())
    assert (again.n, again.degree) == (graph.n, graph.degree)
    assert all(np.array_equal(a, b) for a, b in zip(again.edges(), graph.edges()))
    arrays = graph.to_arrays()
    spoil(arrays)
    with pytest.raises(ValueError, match="^a graph's '[a-z_]+' is not an array of "):
        Graph.from_arrays("mean", built.corpus.measures, **arrays)


def test_copies_of_a_corpus_and_a_graph_share_nothing_a_change_writes(built):
    corpus, graph = built.corpus, built.graphs["mean"]
    before = ({k: list(v) if k == "strings" else v.copy() for k, v in corpus.to_arrays().items()},
              {k: v.copy() for k, v in graph.to_arrays().items()})
    other = corpus.copy()
    other.add([b"a document only the copy holds"])
    other.lone_sizes[:] = other.primed_sizes[:] = 7
    wider = graph.copy(graph.n + 5)
    for array in wider.to_arrays().values():
        array[...] = 0
    assert len(corpus) == len(before[0]["strings"]) and wider.n == graph.n + 5
    assert corpus.to_arrays()["strings"] == before[0]["strings"]
    for now, then in ((corpus.to_arrays(), before[0]), (graph.to_arrays(), before[1])):
        assert all(np.array_equal(now[k], then[k]) for k in then if k != "strings")


def test_a_graph_built_for_searches_gets_its_last_rounds_once_its_lists_are_asked_for(tmp_path):
    docs = chunks(300)
    index = vendrask.Index(docs)
    index.nearest(docs[:2], 3)
    assert index.info()["linked"] == 300 and index.info()["settled"] == 0
    index.save(tmp_path / "search.idx")
    loaded = vendrask.Index.load(tmp_path / "search.idx")
    assert loaded.info()["settled"] == 0
    before = loaded.scored
    loaded.neighbors(3)
    assert loaded.info()["settled"] == 300 and loaded.scored > before
    # Settled once: a second call scores nothing more.
    scored = loaded.scored
    loaded.neighbors(3)
    loaded.build_graph(settle=True)
    assert loaded.scored == scored
    loaded.save(tmp_path / "settled.idx")
    assert vendrask.Index.load(tmp_path / "settled.idx").info()["settled"] == 300
    # A file saved before the graph's rounds were split has every linked document settled.
    meta, arrays = parse((tmp_path / "search.idx").read_bytes())
    del meta["settled"]
    (tmp_path / "older.idx").write_bytes(forge(meta, arrays))
    assert vendrask.Index.load(tmp_path / "older.idx").info()["settled"] == 300
