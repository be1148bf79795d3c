"""The sketches of an index as one object: rows added copy on add, queries by
brute force or through the cells, and what a file keeps of them."""
import warnings

import numpy as np
import pytest

import vendrask
from vendrask import _sketch
from corpora import stdlib_chunks

DOCS = stdlib_chunks(700)


@pytest.fixture
def cells_everywhere(monkeypatch):
    """Every search goes through the cells, each probing them all (so that
    they must find what brute force finds)."""
    pytest.importorskip("scipy")
    monkeypatch.setattr(_sketch, "BRUTE_FORCE_DOTS", 0)
    monkeypatch.setattr(_sketch, "QUERY_ROWS", 0)
    monkeypatch.setattr(_sketch, "_LEAST_ROWS", 0)
    monkeypatch.setattr(_sketch, "PROBES", 40)  # the cells of 600 rows: max(40, 24)
    monkeypatch.setattr(_sketch, "QUERY_PROBES", 40)


def _dots_found(vectors, queries, found):
    """The dots of each query with its found rows, largest first, -1 rows dropped."""
    exact = queries.astype(np.int64) @ vectors.astype(np.int64).T
    return [sorted(exact[q, row[row >= 0]].tolist(), reverse=True) for q, row in enumerate(found)]


@pytest.mark.parametrize("as_rows", [False, True])
@pytest.mark.parametrize("count", [1, 12, 700])
def test_a_query_through_every_cell_finds_what_brute_force_finds(cells_everywhere, as_rows,
                                                                 count):
    sketches = _sketch.Sketches().add(DOCS[:600])
    queries = np.arange(590, 600) if as_rows else sketches.sketch(DOCS[600:610])
    own = np.array([590, -1, 592, -1, -1, -1, -1, -1, -1, 599]) if as_rows else None
    found = sketches.query(queries, count, own=own)
    assert sketches.cells is not None and len(sketches.cells) == 40
    vectors = sketches.vectors
    q = vectors[queries] if as_rows else queries
    want = _sketch.most_similar(q, vectors, count, own=own)
    assert found.shape == want.shape
    assert _dots_found(vectors, q, found) == _dots_found(vectors, q, want)
    for row, left_out in zip(found, own if own is not None else [-1] * len(found)):
        real = row[row >= 0].tolist()
        assert len(set(real)) == len(real) and left_out not in real
        assert np.all(row[len(real):] == -1)


@pytest.mark.parametrize("no_scipy", [False, True])
def test_below_the_budget_or_without_scipy_every_row_is_scored(monkeypatch, no_scipy):
    sketches = _sketch.Sketches().add(DOCS[:600])
    queries = sketches.sketch(DOCS[600:700])
    if no_scipy:  # above every budget, but no k-means to cut cells with
        monkeypatch.setattr(_sketch, "BRUTE_FORCE_DOTS", 0)
        monkeypatch.setattr(_sketch, "QUERY_ROWS", 0)
        monkeypatch.setattr(_sketch, "_kmeans2", lambda: None)
    for got, want in ((sketches.query(queries, 20), _sketch.most_similar(queries,
                                                                          sketches.vectors, 20)),
                      (sketches.seeds(np.arange(5, 50), 9),
                       _sketch.most_similar(sketches.vectors[5:50], sketches.vectors, 9,
                                            own=np.arange(5, 50)))):
        assert np.array_equal(got, want)
    assert sketches.cells is None


def test_an_add_keeps_the_cells_and_leaves_the_old_sketches_as_they_were(cells_everywhere):
    old = _sketch.Sketches().add(DOCS[:600])
    old.seeds(np.arange(600), 5)
    cells = old.cells
    kept = (old.vectors.copy(), old.df.copy(), old.seen, old._cells)
    new = old.add(DOCS[600:650])
    # The old object, as readers that hold it see it.
    assert np.array_equal(old.vectors, kept[0]) and np.array_equal(old.df, kept[1])
    assert old.seen == kept[2] == 600 and old._cells is kept[3] and len(old) == 600
    # The new rows, sketched with the new counts, sit in the cells there were.
    assert new.seen == 650 and new.df.sum() > old.df.sum()
    assert np.array_equal(new.vectors[:600], old.vectors)
    assert new.cells is cells
    assert np.array_equal(new._cells[1], np.concatenate([old._cells[1],
                                                         cells.assign(new.vectors[600:])]))
    found = new.seeds(np.arange(600, 650), 5)
    assert new.cells is cells
    want = _sketch.most_similar(new.vectors[600:], new.vectors, 5, own=np.arange(600, 650))
    assert _dots_found(new.vectors, new.vectors[600:], found) == _dots_found(
        new.vectors, new.vectors[600:], want)


def test_the_cells_are_made_again_once_the_rows_have_grown_enough(cells_everywhere):
    small = _sketch.Sketches().add(DOCS[:150])
    small.seeds(np.arange(150), 3)
    grown = small.add(DOCS[150:599])  # 599 < 4 * 150: kept
    assert grown.cells is small.cells
    grown = small.add(DOCS[150:600])  # 4 times the rows they were made from
    assert grown.cells is None
    grown.seeds(np.arange(600), 3)
    assert grown.cells is not small.cells and grown.cells.rows == 600


def test_lone_queries_go_through_cells_once_brute_force_would_have_paid_for_them(monkeypatch):
    pytest.importorskip("scipy")
    monkeypatch.setattr(_sketch, "QUERY_ROWS", 0)
    sketches = _sketch.Sketches().add(DOCS[:600])
    query = sketches.sketch(DOCS[600:601])
    # Making the cells costs about n * sqrt(n) dots: some 24 lone queries of 600.
    first = sketches.query(query, 5)
    assert sketches.cells is None
    assert np.array_equal(first, _sketch.most_similar(query, sketches.vectors, 5))
    for _ in range(30):
        sketches.query(query, 5)
    assert sketches.cells is not None


def test_the_file_keeps_the_sketches_not_the_cells(cells_everywhere, tmp_path):
    index = vendrask.Index(DOCS[:600])
    index.save(tmp_path / "before.idx")
    scores, _ = index.nearest(DOCS[600:610], 5)
    assert index.sketches.cells is not None
    index.save(tmp_path / "after.idx")  # the graph is built now: the file differs there
    loaded = vendrask.Index.load(tmp_path / "after.idx")
    assert loaded.sketches.cells is None
    arrays = index.sketches.to_arrays()
    again = loaded.sketches.to_arrays()
    assert arrays.keys() == again.keys() == {"vectors", "df", "seen"}
    assert all(np.array_equal(arrays[name], again[name]) for name in arrays)
    loaded.save(tmp_path / "again.idx")
    assert (tmp_path / "again.idx").read_bytes() == (tmp_path / "after.idx").read_bytes()
    # What the cells hold is counted in the index's memory.
    assert index.info()["bytes"] > loaded.info()["bytes"]
    assert np.array_equal(loaded.nearest(DOCS[600:610], 5)[0], scores)



@pytest.mark.parametrize("rows, cells", [(300, 17), (600, 40), (100, 90)])
def test_the_cells_start_as_kmeans2_would_start_them(rows, cells):
    # The cells' k-means++ start keeps each row's distance to its nearest
    # centre instead of measuring against every centre again: the same
    # draws, so the same cells, as scipy's own start from the same seed.
    vq = pytest.importorskip("scipy.cluster.vq")
    sample = _sketch.Sketches().add(DOCS[:rows]).vectors.astype(np.float64)
    start = _sketch._kmeans_plus_plus(sample, cells, rows)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # empty cells
        theirs, _ = vq.kmeans2(sample, cells, iter=3, minit="++", seed=rows)
        ours, _ = vq.kmeans2(sample, start, iter=3, minit="matrix")
    assert len(np.unique(start, axis=0)) == cells
    assert np.array_equal(theirs, ours)


def test_a_search_probes_its_own_count_of_cells_a_build_its_own(monkeypatch):
    pytest.importorskip("scipy")
    for name, value in (("BRUTE_FORCE_DOTS", 0), ("QUERY_ROWS", 0), ("_LEAST_ROWS", 0),
                        ("PROBES", 1), ("QUERY_PROBES", 99)):  # 99: every one of 24
        monkeypatch.setattr(_sketch, name, value)
    sketches = _sketch.Sketches().add(DOCS[:600])
    seeds = sketches.seeds(np.arange(600), 5)
    cell_of = sketches._cells[1]
    assert len(sketches.cells) == 24
    assert all(len(set(cell_of[row[row >= 0]].tolist())) == 1 for row in seeds)
    queries = sketches.sketch(DOCS[600:640])
    found = sketches.query(queries, 5)
    want = _sketch.most_similar(queries, sketches.vectors, 5)
    assert _dots_found(sketches.vectors, queries, found) == _dots_found(sketches.vectors,
                                                                        queries, want)


def _ternary(fine):
    """The fine sketches as -1/0/+1 rows of int64."""
    return (np.unpackbits(fine.planes[0], axis=1).astype(np.int64)
            - np.unpackbits(fine.planes[1], axis=1))


@pytest.mark.parametrize("numpy2", [True, False])
def test_fine_cosines_are_those_of_the_ternary_rows(monkeypatch, numpy2):
    if not numpy2:  # the byte table numpy 1 counts bits with
        monkeypatch.delattr(np, "bitwise_count", raising=False)
    docs = DOCS[:40] + [b"", b"abc", DOCS[3], DOCS[3][:200]]
    sketches = _sketch.Sketches().add(docs)
    fine = sketches.fine(docs)
    rows = _ternary(fine)
    assert set(np.unique(rows).tolist()) <= {-1, 0, 1} and not rows[40:42].any()
    u, v = np.triu_indices(len(docs), 1)
    norms = np.sqrt((rows * rows).sum(axis=1))
    norms[norms == 0] = 1
    want = (rows[u] * rows[v]).sum(axis=1) / (norms[u] * norms[v])
    assert np.allclose(fine.cosines(u, v), want, rtol=1e-6, atol=1e-7)
    assert fine.cosines(np.array([3]), np.array([42]))[0] == pytest.approx(1.0)


def test_fine_sketches_are_made_once_each_and_as_one_add_of_them_all_makes_them():
    # A build after a load must choose the pairs it would have chosen
    # without the save: a row's fine sketch may not depend on when it came.
    made = []

    class Strings(list):
        def __getitem__(self, row):
            made.append(row)
            return list.__getitem__(self, row)

    docs = Strings(DOCS[:30])
    first = _sketch.Sketches().add(docs[:20])
    fine = first.fine(docs)
    assert len(fine) == 20 and first.fine(docs) is fine
    second = first.add(docs[20:30])
    made.clear()
    grown = second.fine(docs)
    assert sorted(made) == list(range(20, 30)) and len(first.fine(docs)) == 20
    assert np.array_equal(grown.planes, _sketch.Sketches().add(docs).fine(docs).planes)
    # Rows replaced are other rows: their fine sketches go with the old ones.
    assert second.replace(vectors=second.vectors.copy())._fine is None


@pytest.mark.parametrize("count", [1, 3, 8])
def test_reranked_keeps_each_rows_best_by_cosine_ties_by_order(count):
    cosine = {(0, 5): 0.5, (0, 6): 0.9, (0, 7): 0.5, (0, 8): 0.1, (1, 5): 0.2}

    def cosines(u, v):
        return np.array([cosine[pair] for pair in zip(u.tolist(), v.tolist())],
                        dtype=np.float32)

    none = _sketch.NO_NEIGHBOUR
    candidates = np.array([[8, 7, 6, 5], [none, 5, none, none]])
    out = _sketch.reranked(np.array([0, 1]), candidates, cosines, count)
    want = [[6, 7, 5, 8], [5, none, none, none]]
    assert out.tolist() == [row[:count] for row in want]


@pytest.mark.parametrize("through_cells", [False, True])
def test_seeds_by_blocks_are_those_of_all_rows_at_once(monkeypatch, through_cells):
    if through_cells:
        pytest.importorskip("scipy")
        monkeypatch.setattr(_sketch, "BRUTE_FORCE_DOTS", 0)
        monkeypatch.setattr(_sketch, "_LEAST_ROWS", 0)
    sketches = _sketch.Sketches().add(DOCS[:600])
    fresh = np.arange(0, 600, 3)
    whole = sketches.seeds(fresh, 20)
    # Room for 7 rows of 20 candidates a block.
    monkeypatch.setattr(_sketch, "_SEED_BYTES", 12 * _sketch.PROBES * 20 * 7 + 5)
    seen = []

    def choose(rows, found):
        seen.append(len(rows))
        return found[:, ::2]

    assert np.array_equal(sketches.seeds(fresh, 20), whole)
    assert np.array_equal(sketches.seeds(fresh, 20, choose=choose), whole[:, ::2])
    assert max(seen) == 7 and sum(seen) == len(fresh)
    assert sketches.seeds(fresh[:0], 5, choose=choose).shape == (0, 5)
