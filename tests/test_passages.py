"""vendrask.WindowIndex: windows cut where documented, exact answers equal a
loop of _vendrask.measure over the windows, the default search returns only
exact scores with the window that gave them, and files round-trip."""
import warnings

import numpy as np
import pytest

import _vendrask
import vendrask
from vendrask import _store
from vendrask._passages import MAX_WINDOW, WindowIndex, cut
from corpora import stdlib_chunks

LIMIT = vendrask.JOINT_SIZE_LIMIT


def text(n, seed):
    """n bytes of the standard library's sources, from a seeded place."""
    chunks = stdlib_chunks(64, 1024)
    data = b"".join(chunks[seed % 16:])
    return data[:n]


DOCS = [text(3000, 0), "né à Noël, ça coûte 5 € — " * 40, b"", b"short", text(700, 1),
        text(3000, 0), text(5200, 2)]  # a repeat, to tie


def windows_of(doc, window, overlap):
    offsets, lengths = cut(len(doc), window, overlap)
    return [(int(o), int(n), doc[o:o + n]) for o, n in zip(offsets, lengths)]


def as_bytes(doc):
    return doc.encode() if isinstance(doc, str) else doc


def brute_nearest(docs, query, window, overlap, direction):
    """(score, document, offset) of every document, best first, by a loop of
    the measure over its windows; a document's first best window."""
    out = []
    for d, doc in enumerate(docs):
        best = None
        for offset, length, piece in windows_of(as_bytes(doc), window, overlap):
            if len(piece) + len(query) > LIMIT and piece != query:
                continue
            forward = _vendrask.measure(query, piece)
            backward = _vendrask.measure(piece, query)
            score = {"forward": forward, "backward": backward,
                     "mean": (forward + backward) * 0.5}[direction]
            if best is None or score > best[0]:
                best = (score, d, offset)
        if best is not None:
            out.append(best)
    return sorted(out, key=lambda hit: (-hit[0], hit[1]))


@pytest.mark.parametrize("size, window, overlap, expected", [
    (0, 8, 4, [(0, 0)]),                     # empty: one empty window
    (5, 8, 4, [(0, 5)]),                     # shorter than a window
    (8, 8, 4, [(0, 8)]),                     # exactly one window
    (9, 8, 4, [(0, 8), (1, 8)]),             # one byte more: the last ends at the end
    (16, 8, 0, [(0, 8), (8, 8)]),
    (17, 8, 0, [(0, 8), (8, 8), (9, 8)]),
    (20, 8, 4, [(0, 8), (4, 8), (8, 8), (12, 8)]),
    (21, 8, 7, [(k, 8) for k in range(14)]),
])
def test_windows_are_cut_where_documented(size, window, overlap, expected):
    offsets, lengths = cut(size, window, overlap)
    assert list(zip(offsets.tolist(), lengths.tolist())) == expected


@pytest.mark.parametrize("size", [1, 999, 1000, 1001, 4095, 4096, 4097, 12345])
@pytest.mark.parametrize("window, overlap", [(1000, 0), (1000, 250), (1000, 999), (4096, 2048)])
def test_windows_cover_each_document_and_hold_every_short_passage(size, window, overlap):
    offsets, lengths = cut(size, window, overlap)
    ends = offsets + lengths
    assert offsets[0] == 0 and ends[-1] == size and (lengths == min(size, window)).all()
    assert (np.diff(offsets) > 0).all() and (offsets[1:] <= ends[:-1]).all()
    # Every stretch of `overlap` bytes lies whole in some window.
    span = min(max(overlap, 1), size)
    for at in range(0, size - span + 1, 97):
        assert ((offsets <= at) & (at + span <= ends)).any()


@pytest.mark.parametrize("options, message", [
    ({"window": 0}, "window must be a positive integer"),
    ({"window": True}, "window must be a positive integer"),
    ({"window": 2.5}, "window must be a positive integer"),
    ({"window": MAX_WINDOW + 1}, f"window must be at most {MAX_WINDOW} bytes"),
    ({"window": 100, "overlap": 100}, "overlap must be less than the window (100 bytes)"),
    ({"window": 100, "overlap": -1}, "overlap must be 0 or more bytes"),
    ({"window": 100, "overlap": "5"}, "overlap must be a whole number of bytes"),
])
def test_bad_windows_are_refused(options, message):
    with pytest.raises(ValueError) as error:
        WindowIndex([b"abc"], **options)
    assert message in str(error.value)


@pytest.fixture(scope="module")
def small():
    return WindowIndex(DOCS, window=1024, overlap=256)


def test_documents_come_back_as_their_utf8_bytes(small):
    assert len(small) == len(DOCS)
    assert [small[d] for d in range(len(DOCS))] == [as_bytes(doc) for doc in DOCS]
    assert list(small) == [as_bytes(doc) for doc in DOCS] and small[-1] == DOCS[-1]
    document, offset, length = small.windows()
    for w in range(len(document)):
        assert small.index[w] == small[int(document[w])][offset[w]:offset[w] + length[w]]
    with pytest.raises(IndexError):
        small[len(DOCS)]


@pytest.mark.parametrize("symmetric, primed_by, direction", [
    (None, "query", "forward"), (None, "document", "backward"), ("mean", "query", "mean")])
def test_exact_nearest_is_a_loop_of_the_measure_over_windows(small, symmetric, primed_by,
                                                            direction):
    queries = [DOCS[0][1500:1900], "à Noël, ça coûte", b"", text(300, 3)]
    found = small.nearest(queries, k=len(DOCS) + 2, symmetric=symmetric, primed_by=primed_by,
                          exact=True)
    for row, query in enumerate(queries):
        expected = brute_nearest(DOCS, as_bytes(query), 1024, 256, direction)
        n = len(expected)
        assert found.scores[row, :n].tolist() == [hit[0] for hit in expected]  # bit for bit
        assert found.indices[row, :n].tolist() == [hit[1] for hit in expected]
        assert found.offsets[row, :n].tolist() == [hit[2] for hit in expected]
        assert np.isnan(found.scores[row, n:]).all() and (found.indices[row, n:] == -1).all()


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("primed_by", ["query", "document"])
def test_every_hit_names_the_window_whose_exact_score_it_is(small, exact, primed_by):
    queries = [DOCS[6][4000:4400], DOCS[1].encode()[10:200], DOCS[4][100:600]]
    found = small.nearest(queries, k=3, primed_by=primed_by, exact=exact)
    for row, query in enumerate(queries):
        for score, d, offset, length in zip(*(part[row].tolist() for part in found)):
            if d < 0:
                continue
            piece = small[d][offset:offset + length]
            pair = (query, piece) if primed_by == "query" else (piece, query)
            assert score == _vendrask.measure(*pair)
        # The holder first, at the window that holds the passage.
        assert as_bytes(query) in small[found.indices[row, 0]]
        held = small[found.indices[row, 0]][found.offsets[row, 0]:][:found.lengths[row, 0]]
        assert as_bytes(query) in held


def test_equal_documents_tie_by_position_and_their_windows_by_offset(small):
    found = small.nearest([DOCS[0][:400]], k=2, exact=True)
    assert found.indices[0].tolist() == [0, 5] and found.scores[0, 0] == found.scores[0, 1]
    assert found.offsets[0].tolist() == [0, 0]


def test_a_query_at_the_joint_limit_fits_and_one_byte_more_finds_nothing():
    index = WindowIndex([text(MAX_WINDOW + 500, 4)], window=MAX_WINDOW, overlap=0)
    fits = b"q" * (LIMIT - MAX_WINDOW)
    found = index.nearest([fits, fits + b"q"], k=1, exact=True)
    assert found.indices[:, 0].tolist() == [0, -1] and np.isnan(found.scores[1, 0])
    assert index.nearest([fits + b"q"], k=1).indices[0, 0] == -1


def test_long_queries_that_match_one_document_throughout_still_get_k_documents():
    docs = [text(20000, 5), text(3000, 6), text(3000, 7), text(3000, 8)]
    index = WindowIndex(docs, window=1024, overlap=512)
    found = index.nearest([docs[0][:12000]], k=4)
    assert sorted(found.indices[0].tolist()) == [0, 1, 2, 3]


def brute_documents(docs, window, overlap):
    """Every ordered pair of documents' best measure(w, v) over their windows."""
    pieces = [windows_of(as_bytes(doc), window, overlap) for doc in docs]
    best = np.full((len(docs), len(docs)), -np.inf)
    for d, mine in enumerate(pieces):
        for e, theirs in enumerate(pieces):
            if d != e:
                best[d, e] = max(_vendrask.measure(w, v) for _, _, w in mine for _, _, v in theirs)
    return best


@pytest.fixture(scope="module")
def tiny():
    docs = [text(1500, 9), text(1500, 9)[200:] + b"tail", b"other", text(900, 10), b""]
    return docs, WindowIndex(docs, window=512, overlap=128)


def test_exact_neighbors_and_pairs_are_a_loop_over_window_pairs(tiny):
    docs, index = tiny
    best = brute_documents(docs, 512, 128)
    scores, indices = index.neighbors(k=len(docs), exact=True)
    for d in range(len(docs)):
        expected = sorted(((best[d, e], e) for e in range(len(docs)) if e != d),
                          key=lambda x: (-x[0], x[1]))
        assert scores[d, :len(docs) - 1].tolist() == [s for s, _ in expected]
        assert indices[d, :len(docs) - 1].tolist() == [e for _, e in expected]
    i, j, s = index.pairs(0.3, symmetric=None, exact=True)
    want = [(d, e) for d in range(len(docs)) for e in range(len(docs)) if best[d, e] >= 0.3]
    assert list(zip(i.tolist(), j.tolist())) == want and s.tolist() == [best[p] for p in want]


@pytest.mark.parametrize("symmetric", [None, "mean"])
def test_default_neighbors_and_pairs_give_only_exact_document_scores(tiny, symmetric):
    docs, index = tiny
    exact_scores, exact_indices = index.neighbors(k=3, symmetric=symmetric, exact=True)
    scores, indices = index.neighbors(k=3, symmetric=symmetric)
    assert np.array_equal(scores, exact_scores, equal_nan=True)  # a tiny index: all reached
    assert np.array_equal(indices, exact_indices)
    pairs = index.pairs(0.5, symmetric=symmetric)
    exact_pairs = index.pairs(0.5, symmetric=symmetric, exact=True)
    assert all(np.array_equal(a, b) for a, b in zip(pairs, exact_pairs)) and len(pairs[0])
    pytest.importorskip("scipy.sparse")
    labels = index.clusters(0.5, symmetric=symmetric or "mean")
    assert labels.tolist()[:3] == [0, 0, 1]


def test_add_grows_the_index_as_building_it_at_once_would(small):
    grown = WindowIndex(DOCS[:3], window=1024, overlap=256)
    assert grown.add(DOCS[3:]).tolist() == list(range(3, len(DOCS)))
    assert list(grown) == list(small)
    query = [DOCS[6][2000:2400], b"5 \xe2\x82\xac"]
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(
        grown.nearest(query, k=4, exact=True), small.nearest(query, k=4, exact=True)))


def test_max_bytes_cuts_documents_before_windows():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vendrask.DocumentWarning)
        index = WindowIndex([text(5000, 11), b"abc"], window=1024, max_bytes=3000)
    assert [len(doc) for doc in index] == [3000, 3]


# ---------------------------------------------------------------- files

def test_save_load_give_the_same_answers(small, tmp_path):
    small.build_graph()
    path = tmp_path / "w.idx"
    small.save(path)
    loaded = WindowIndex.load(path)
    assert (loaded.window, loaded.overlap, loaded.max_bytes) == (1024, 256, None)
    assert list(loaded) == list(small)
    queries = [DOCS[6][1000:1400], "ça coûte 5 €"]
    for exact in (False, True):
        assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(
            loaded.nearest(queries, k=3, exact=exact), small.nearest(queries, k=3, exact=exact)))
    loaded.add([b"one more document"])
    loaded.save(path)
    assert len(WindowIndex.load(path)) == len(DOCS) + 1


def test_each_kind_of_index_file_is_read_only_by_its_own_class(small, tmp_path):
    small.save(tmp_path / "w.idx")
    vendrask.Index([b"a", b"b"]).save(tmp_path / "plain.idx")
    with pytest.raises(vendrask.IndexFileError, match="w.idx"):
        vendrask.Index.load(tmp_path / "w.idx")
    with pytest.raises(vendrask.IndexFileError, match="plain.idx"):
        WindowIndex.load(tmp_path / "plain.idx")


def good_annex(index):
    _, kind, annex = index._stored()
    return dict(annex)


@pytest.mark.parametrize("change, message", [
    (lambda a: a.update(window=512), "does not cut its documents"),
    (lambda a: a.update(overlap=2048), "has a wrong window"),
    (lambda a: a.update(sizes=a["sizes"] + 1), "does not cut its documents|another length"),
    (lambda a: a.update(offset=a["offset"] + 1), "does not cut its documents"),
    (lambda a: a.update(document=np.zeros_like(a["document"])), "does not cut its documents"),
    (lambda a: a.pop("length"), "lacks the array 'length'"),
    (lambda a: a.update(max_bytes=10), "a size it cannot have"),
])
def test_a_table_that_does_not_cut_its_windows_is_refused(small, tmp_path, change, message):
    annex = good_annex(small)
    change(annex)
    path = tmp_path / "bad.idx"
    _store.save(small.index, path, kind="windows", annex=annex)
    with pytest.raises(vendrask.IndexFileError, match=f"bad.idx: corrupt .*({message})"):
        WindowIndex.load(path)


def test_windows_that_disagree_where_they_overlap_are_refused(tmp_path):
    index = WindowIndex([b"a" * 100], window=64, overlap=32)  # windows at 0, 32 and 36
    other = vendrask.Index([b"a" * 64, b"b" * 64, b"a" * 64])
    path = tmp_path / "bad.idx"
    _store.save(other, path, kind="windows", annex=good_annex(index))
    with pytest.raises(vendrask.IndexFileError, match="do not agree where they overlap"):
        WindowIndex.load(path)


def test_exact_search_on_a_cluster_is_the_in_process_search(small):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("vendrask.dask._sizes")
    import logging
    queries = [DOCS[6][2500:2900], "ça coûte", b""]
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None,
                                  silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        for primed_by in ("query", "document"):
            there = small.nearest(queries, k=4, primed_by=primed_by, exact=True, client=client)
            here = small.nearest(queries, k=4, primed_by=primed_by, exact=True)
            assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(there, here))


def test_an_add_stopped_by_its_progress_leaves_the_index_as_it_was(tmp_path):
    index = WindowIndex([text(3000, 12)], window=1024)
    before = (list(index), [part.tolist() for part in index.windows()])

    def save_meanwhile(done, total):
        index.save(tmp_path / "w.idx")  # a save from inside the add: refused

    with pytest.raises(RuntimeError, match="while it is being changed"):
        index.add([text(5000, 13)], progress=save_meanwhile)
    assert (list(index), [part.tolist() for part in index.windows()]) == before
    assert index.add([b"next"]).tolist() == [1] and len(index.index) == len(before[1][0]) + 1
