"""The shared core: inputs that are refused, a corpus that outlives a call,
index-form pairwise that converts only what it scores, and a dense result
assembled in steps that progress can stop."""
import array

import numpy as np
import pytest

import _vendrask
import vendrask
from vendrask import _pairs, _progress, _reduce
from vendrask._corpus import Corpus
from vendrask._plan import Cells, Plan, Side, SparseCells, listed, reduced, same_scores
from vendrask._reduce import Dense, Pairs, TopK

PROSE = "the quick brown fox jumps over the lazy dog and keeps on running far away"


def measure(t, s):
    return _vendrask.measure(t.encode() if isinstance(t, str) else bytes(t),
                             s.encode() if isinstance(s, str) else bytes(s))


@pytest.mark.parametrize("docs, text", [
    (np.arange(12.0).reshape(3, 4), r"^docs\[0\] is a buffer of 'd' items \(ndarray\), not of bytes"),
    ([b"ok", array.array("i", [1, 2])], r"^docs\[1\] is a buffer of 'i' items \(array\)"),
    ([b"ok", memoryview(b"abcd").cast("H")], r"^docs\[1\] is a buffer of 'H' items"),
], ids=["float rows", "int array", "cast memoryview"])
def test_buffers_of_anything_but_bytes_are_refused(docs, text):
    with pytest.raises(TypeError, match=text):
        vendrask.matrix(docs)


@pytest.mark.parametrize("doc", [np.frombuffer(b"abc abc", dtype=np.uint8),
                                 np.frombuffer(b"abc abc", dtype=np.int8),
                                 memoryview(b"abc abc").cast("c"), np.bytes_(b"abc abc")],
                         ids=["uint8", "int8", "char", "numpy.bytes_"])
def test_byte_buffers_are_documents(doc):
    assert vendrask.cdist([doc], [b"abc abd"])[0, 0] == _vendrask.measure(b"abc abc", b"abc abd")


def test_a_dataframe_is_refused_rather_than_its_column_names_scored():
    pandas = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match="not a DataFrame; pass one of its columns"):
        vendrask.matrix(pandas.DataFrame({"text": [PROSE, "other"]}))


@pytest.mark.parametrize("call, kind, text", [
    (lambda: vendrask.nearest([PROSE], k=True), ValueError, "k must be a positive integer, not True"),
    (lambda: vendrask.nearest([PROSE], k=2.0), ValueError, "k must be a positive integer"),
    (lambda: vendrask.nearest([PROSE], score_cutoff=float("nan")), ValueError, "score_cutoff must be a number, not NaN"),
    (lambda: vendrask.nearest([PROSE], primed_by="doc"), ValueError, "primed_by must be one of 'query', 'document', not 'doc'"),
    (lambda: vendrask.pairwise([PROSE], rows=[2**64 - 1], cols=[0]), IndexError,
     r"rows\[0\] = 18446744073709551615 is out of range for 1 documents"),
    (lambda: vendrask.pairwise([PROSE], rows=[0], cols=[2**63]), IndexError, r"cols\[0\] = 9223372036854775808 is out"),
    (lambda: vendrask.pairwise([PROSE], rows=[0], cols=[2**70]), IndexError, r"cols\[0\] = 1180591620717411303424 is out"),
    (lambda: vendrask.matrix([PROSE], tile=0), ValueError, "tile must be a positive integer"),
], ids=["bool k", "float k", "NaN cutoff", "primed_by", "uint64 row", "2**63 col", "huge col", "tile"])
def test_bad_arguments_are_named(call, kind, text):
    with pytest.raises(kind, match=text):
        call()


class Unconvertible:
    """A document that fails if anything converts it."""


def test_index_form_pairwise_converts_only_the_rows_and_cols_asked_for():
    docs = [Unconvertible()] * 1000 + [PROSE, PROSE[::-1], "x" * 40000]
    out = vendrask.pairwise(docs, rows=[1000, -2], cols=[1001, 1000])
    assert out.tolist() == [measure(PROSE, PROSE[::-1]), measure(PROSE[::-1], PROSE)]
    with pytest.raises(TypeError, match=r"^docs\[3\] must be str or bytes-like"):
        vendrask.pairwise(docs, rows=[3], cols=[1000])
    with pytest.raises(vendrask.JointSizeError, match=r"^docs\[1002\] and docs\[1000\]"):
        vendrask.pairwise(docs, rows=[1000, 1002], cols=[1001, 1000])


def test_index_form_pairwise_takes_series_by_position():
    pandas = pytest.importorskip("pandas")
    series = pandas.Series([PROSE, "other text", PROSE[::-1]], index=[2, 1, 0])
    assert vendrask.pairwise(series, rows=[0, 2], cols=[2, 1]).tolist() == [
        measure(PROSE, PROSE[::-1]), measure(PROSE[::-1], "other text")]


def test_a_corpus_interns_documents_and_keeps_their_sizes_across_jobs():
    corpus = Corpus()
    first = corpus.add([b"abc abc", b"xyz", b"abc abc"])
    second = corpus.add([b"xyz", b"new one"])
    assert first.tolist() == [0, 1, 0] and second.tolist() == [1, 2] and len(corpus) == 3
    plan = Plan(corpus, first, second)
    progress = _progress.JobProgress(None, plan.work)
    plan.compute_sizes(progress=progress)
    assert progress.done == plan.work - plan.cross == 2 + 3
    # A later job computes only the sizes no job has computed yet: here the
    # lone size of the string that was only ever a dictionary.
    again = Plan(corpus, second, first)
    progress = _progress.JobProgress(None, again.work)
    again.compute_sizes(progress=progress)
    assert progress.done == 1 and (corpus.lone_sizes > 0).all() and (corpus.primed_sizes > 0).all()


@pytest.mark.parametrize("direction", ["forward", "backward", "mean"])
def test_mirrored_cells_hold_the_columns_against_the_rows(direction):
    rows, cols = [PROSE, "quick brown", PROSE[::-1]], ["lazy dog", PROSE + "!"]
    corpus = Corpus()
    plan = Plan(corpus, corpus.add([r.encode() for r in rows]), corpus.add([c.encode() for c in cols]),
                direction=direction, mirror=True, offsets=(10, 20))
    plan.compute_sizes()
    (tile,) = plan.tiles()
    cells, mirror = plan.cells(tile)
    want = {"forward": lambda t, s: measure(t, s), "backward": lambda t, s: measure(s, t),
            "mean": lambda t, s: (measure(t, s) + measure(s, t)) * 0.5}[direction]
    assert cells.rows.positions.tolist() == [10, 11, 12] and mirror.rows.positions.tolist() == [20, 21]
    assert cells.values.tolist() == [[want(t, s) for s in cols] for t in rows]
    assert mirror.values.tolist() == [[want(s, t) for t in rows] for s in cols]


def test_top_k_parts_merge_in_any_order():
    docs = [PROSE[i:] + PROSE[:i] for i in range(9)] * 2
    corpus = Corpus()
    plan = Plan(corpus, corpus.add([d.encode() for d in docs]), tile=2)
    plan.compute_sizes()
    reducer = TopK(len(docs), 3, leave_out_own=True)
    parts = [reducer.chunk(plan.cells(tile)) for tile in plan.tiles()]
    forward = reducer.aggregate(
        [reducer.combine(reducer.start(), part) for part in [sum(parts, [])]][0])
    backward = reducer.start()
    for part in reversed(parts):
        backward = reducer.combine(backward, part)
    for got, want in zip(reducer.aggregate(backward), forward):
        assert np.array_equal(got, want, equal_nan=True)
    assert np.array_equal(forward[1], vendrask.nearest(docs, k=3)[1])


def test_an_exception_from_progress_stops_the_dense_assembly(monkeypatch):
    # Many positions for a few strings: nearly all the time goes to
    # assembling the result, after the last compression.
    monkeypatch.setattr(_progress, "POLL_INTERVAL", 0.0)
    monkeypatch.setattr(_reduce, "_DENSE_STEP", 1000)
    docs = [PROSE[:20 + i % 7] for i in range(700)]
    calls = []

    def progress(done, total):
        calls.append(done)
        if done == total and len(calls) > 3:
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        vendrask.matrix(docs, progress=progress)
    assert vendrask.matrix(docs).shape == (700, 700)


def test_the_dense_result_assembles_repeats_right():
    docs = ["b", PROSE, "a", PROSE, "b", "c" * 30]
    dense = Dense(len(docs), len(docs))
    corpus = Corpus()
    plan = Plan(corpus, corpus.add([d.encode() for d in docs]), tile=2)
    out = plan.run(dense)
    assert out.tolist() == [[measure(t, s) for s in docs] for t in docs]


@pytest.mark.parametrize("call", [
    lambda: vendrask.pairs([PROSE, PROSE[::-1]], threshold=80),
    lambda: vendrask.pairs([PROSE], threshold=-0.1),
    lambda: vendrask.nearest([PROSE, "x"], score_cutoff=1.5),
    lambda: vendrask.scorer(PROSE, PROSE, score_cutoff=80),
], ids=["threshold 80", "negative threshold", "cutoff 1.5", "scorer cutoff 80"])
def test_thresholds_on_another_scale_are_refused(call):
    with pytest.raises(ValueError, match=r"must be from 0 to 1, as the scores are \(not 0 to 100\)"):
        call()


def test_rapidfuzz_cutoffs_on_its_own_scale_are_refused():
    process = pytest.importorskip("rapidfuzz.process")
    with pytest.raises(ValueError, match="must be from 0 to 1"):
        process.extract(PROSE, [PROSE, "other"], scorer=vendrask.scorer, score_cutoff=80)


def test_a_k_beyond_the_documents_costs_only_its_padding():
    docs = [PROSE, PROSE[::-1], "lazy dog", PROSE]
    scores, indices = vendrask.nearest(docs, k=50_000)
    small_scores, small_indices = vendrask.nearest(docs, k=3)
    assert scores.shape == (4, 50_000) and np.array_equal(indices[:, :3], small_indices)
    assert np.array_equal(scores[:, :3], small_scores, equal_nan=True)
    assert (indices[:, 3:] == -1).all() and np.isnan(scores[:, 3:]).all()


def test_progress_true_draws_a_bar_and_closes_it(capsys):
    pytest.importorskip("tqdm")
    vendrask.matrix([PROSE, PROSE[::-1], "lazy dog"], progress=True)
    vendrask.pairwise([PROSE, "x"], rows=[0], cols=[1], progress=True)
    err = capsys.readouterr().err
    assert err.count("100%") == 2 and "compression" in err
    with pytest.raises(TypeError, match=r"progress must be callable, True \(a progress bar\) or None"):
        vendrask.matrix([PROSE], progress="yes")


MISSING = [None, float("nan"), np.float32("nan")]


@pytest.mark.parametrize("gap", MISSING, ids=["None", "NaN", "float32 NaN"])
def test_a_missing_document_scores_nan_everywhere_with_errors_nan(gap):
    docs = [PROSE, gap, PROSE[::-1], PROSE, gap]
    present = [0, 2, 3]
    full = vendrask.matrix(docs, errors="nan")
    assert np.isnan(full[[1, 4]]).all() and np.isnan(full[:, [1, 4]]).all()
    assert full[np.ix_(present, present)].tolist() == [[measure(docs[a], docs[b]) for b in present]
                                                       for a in present]
    scores, indices = vendrask.nearest(docs, k=4, errors="nan")
    assert (indices[[1, 4]] == -1).all() and not np.isin(indices, [1, 4]).any()
    i, j, _ = vendrask.pairs(docs, threshold=0.0, errors="nan", symmetric="mean")
    assert not np.isin(np.concatenate([i, j]), [1, 4]).any() and len(i) == 3
    condensed = vendrask.pdist(docs, errors="nan")
    assert np.isnan(condensed).sum() == 7  # every pair with position 1 or 4
    out = vendrask.pairwise(docs, rows=[1, 1, 0], cols=[1, 0, 3], errors="nan")
    assert np.isnan(out[:2]).all() and out[2] == 1.0


def test_a_missing_document_is_named_with_its_label():
    pandas = pytest.importorskip("pandas")
    series = pandas.Series([PROSE, pandas.NA, "other"], index=["x", "y", "z"])
    # pandas may hold NA as NaN in a column of strings.
    with pytest.raises(TypeError, match=r"^docs\[1\] \(label 'y'\) is missing \((<NA>|nan)\); drop it, "
                                        r"or pass errors=\"nan\""):
        vendrask.matrix(series)
    with pytest.raises(TypeError, match=r"^ss\[0\] is missing \(None\)"):
        vendrask.cdist([PROSE], [None])
    assert np.isnan(vendrask.matrix(series, errors="nan")[1]).all()


def test_every_job_that_cuts_or_leaves_out_documents_says_which():
    long, other, twin = b"a" * 20000, b"b" * 20000, b"a" * 20000
    with pytest.warns(vendrask.DocumentWarning) as caught:
        vendrask.matrix([long, other, twin, b"short", None], errors="nan")
    texts = sorted(str(w.message) for w in caught)
    # The twin fits with its equal, but not with the other long document.
    assert texts == [
        "1 of 5 documents are missing; their scores are NaN: docs[4]",
        "3 of 5 documents are over the joint size limit of 32767 bytes with some other "
        "document, and those pairs are NaN (max_bytes=16383 makes every pair fit; "
        "vendrask.windowed scores long documents): docs[0], docs[1], docs[2]"]
    with pytest.warns(vendrask.DocumentWarning, match=r"^max_bytes=100 cut 7 of 8 documents: ts\[0\], "
                                                      r"ts\[1\], ts\[2\], ss\[0\], ss\[1\] and 2 more$"):
        vendrask.cdist([long, other, twin, b"x"], [long, other, twin, long], max_bytes=100)
    with pytest.warns(vendrask.DocumentWarning, match=r"^2 of 2 documents are over .*: docs\[1\], docs\[2\]$"):
        vendrask.pairwise([b"x", long, other], rows=[1, 1], cols=[1, 2], errors="nan")  # itself fits
    with pytest.warns(vendrask.DocumentWarning, match=r"2 of 3 documents are over .*: docs\[1\], docs\[2\]$"):
        vendrask.pairwise([b"x", long, other], rows=[1, 0], cols=[2, 1], errors="nan")


def test_jobs_that_keep_every_document_whole_say_nothing(recwarn):
    vendrask.matrix([PROSE, PROSE[::-1]], max_bytes=1000, errors="nan")
    vendrask.pairwise([PROSE, PROSE[::-1]], rows=[0], cols=[1], max_bytes=len(PROSE))
    assert not [w for w in recwarn if issubclass(w.category, vendrask.DocumentWarning)]


@pytest.mark.parametrize("window", [7, 64, 16383])
def test_windowed_is_the_mean_of_each_window_s_best_measure(window):
    t = (PROSE * 3).encode()
    s = (PROSE[::-1] * 2 + PROSE).encode()
    pieces = lambda doc: [doc[at:at + window] for at in range(0, len(doc), window)]
    want = np.mean([max(measure(v, w) for v in pieces(t)) for w in pieces(s)])
    got = vendrask.windowed([t, s], [s], window=window)
    assert got[0, 0] == want and got[1, 0] == 1.0
    if window == 16383:
        assert got[0, 0] == measure(t, s)  # one window each: the measure itself


def test_windowed_scores_documents_over_the_limit():
    licence = PROSE.encode() * 700  # about 50 KB
    shifted = b"a header line\n" * 75 + licence
    scores = vendrask.windowed([licence, shifted, None], symmetric="mean", errors="nan")
    assert scores[0, 0] == scores[1, 1] == 1.0 and scores[0, 1] == scores[1, 0] > 0.5
    assert np.isnan(scores[2]).all() and np.isnan(scores[:, 2]).all()
    with pytest.raises(ValueError, match="window must be at most 16383 bytes"):
        vendrask.windowed([licence], window=20000)


# ---------------------------------------------------------------- the rules of pairs

LENGTHS = [0, 1, 100, 16383, 16384, 16385, 20000, 32767, 40000]


@pytest.mark.parametrize("seed", range(40))
def test_the_first_pair_over_the_limit_is_the_first_in_row_major_order(seed):
    rng = np.random.default_rng(seed)
    lengths = np.array(LENGTHS, dtype=np.int64)
    rows = rng.integers(0, len(lengths), rng.integers(0, 8))
    cols = rows if seed % 3 == 0 else rng.integers(0, len(lengths), rng.integers(0, 8))
    over = [(i, j) for i, t in enumerate(rows.tolist()) for j, s in enumerate(cols.tolist())
            if t != s and lengths[t] + lengths[s] > vendrask.JOINT_SIZE_LIMIT]
    assert _pairs.first_over_limit(rows, cols, lengths) == (over[0] if over else None)


@pytest.mark.parametrize("seed", range(40))
def test_partners_unfit_and_unpaired_agree_with_pair_by_pair(seed):
    rng = np.random.default_rng(seed)
    lengths = np.array(LENGTHS + [_pairs.MISSING_LENGTH], dtype=np.int64)
    missing = np.arange(len(lengths)) == len(lengths) - 1
    xs = np.unique(rng.integers(0, len(lengths), 5))
    ys = np.unique(rng.integers(0, len(lengths), 5))

    def fit(x, y):
        return x != y and not missing[x] and not missing[y] and lengths[x] + lengths[y] <= 32767
    paired, counts = _pairs.with_partners(xs, ys, lengths)
    assert counts.tolist() == [sum(fit(x, y) for y in ys) for x in xs]
    assert paired.tolist() == [x for x, c in zip(xs, counts) if c]
    unfit = [not missing[x] and any(x != y and not missing[y] and not fit(x, y) for y in ys)
             for x in xs]
    assert _pairs.unfit(xs, ys, lengths, missing).tolist() == unfit


@pytest.mark.parametrize("one_list, symmetric, wanted", [
    (False, None, lambda i, j: True), (False, "mean", lambda i, j: True),
    (True, None, lambda i, j: i != j), (True, "min", lambda i, j: i < j),
], ids=["two lists", "two lists, symmetric", "one list", "one list, symmetric"])
def test_pair_listing_and_its_square_agree(one_list, symmetric, wanted):
    how = _pairs.listing(one_list, symmetric)
    i, j = (a.ravel() for a in np.indices((4, 4)))
    square = _pairs.kept_cells(4, *how)
    expected = np.array([wanted(a, b) for a, b in zip(i.tolist(), j.tolist())])
    assert square.ravel().tolist() == expected.tolist()
    listed = np.zeros(16, dtype=bool)
    listed[np.arange(16)[_pairs.kept(i, j, *how)]] = True
    assert listed.tolist() == expected.tolist()


@pytest.mark.parametrize("row, own, k, wanted", [
    ([5, 3, 9], 3, 2, [5, 9]), ([5, 3, 9], 7, 2, [5, 3]), ([3, 5], 3, 3, [5, -1, -1]),
    ([3, None], 3, 2, [-1, -1]), ([5, None, None], -1, 2, [5, -1]), ([4, 2], 4, 1, [2]),
    (list(range(60, 0, -1)), 30, 59, [p for p in range(60, 0, -1) if p != 30]),
], ids=["own in the middle", "own not among them", "padded", "only itself", "no own",
        "cut to k", "a long row keeps its order"])
def test_a_row_leaves_out_its_own_position_and_is_padded(row, own, k, wanted):
    index = np.array([[_pairs.RANKS_LAST if p is None else p for p in row]])
    scores = np.array([[-np.inf if p is None else 1.0 / (1 + r) for r, p in enumerate(row)]])
    kept_scores, kept_index = _pairs.padded(*_pairs.leave_out_own(scores, index, [own]), k)
    assert kept_index.tolist() == [wanted]
    expected = [np.nan if p == -1 else scores[0, row.index(p)] for p in wanted]
    assert np.array_equal(kept_scores[0], expected, equal_nan=True)


def test_a_reducer_is_polled_through_combine(monkeypatch):
    # The job's progress reaches every reducer through combine's poll, so
    # that a callback (or Ctrl-C) can stop its long merges.
    monkeypatch.setattr(_progress, "POLL_INTERVAL", 0.0)

    class Counting(TopK):
        polled = 0

        def combine(self, state, parts, poll):
            poll()
            self.polled += 1
            return super().combine(state, parts, poll)
    corpus = Corpus()
    docs = [PROSE[:20 + i] for i in range(6)]
    plan = Plan(corpus, corpus.add([d.encode() for d in docs]), tile=2)
    reducer = Counting(len(docs), 2, leave_out_own=True)
    calls = []
    scores, index = plan.run(reducer, progress=lambda done, total: calls.append(done))
    assert reducer.polled == len(list(plan.tiles())) and len(calls) > reducer.polled
    assert np.array_equal(index, vendrask.nearest(docs, k=2)[1])


# Sparse cells: some pairs scored, as vendrask.Index gives them. Repeated
# strings (several positions per place, more than k of one), ties between
# different strings, and missing documents (NaN with everything).
CHUNKS = [PROSE[i:] + PROSE[:i] for i in range(0, 40, 5)]
REPEATS = [CHUNKS[0], CHUNKS[1], None, CHUNKS[0], CHUNKS[2], CHUNKS[0], CHUNKS[3], None,
           CHUNKS[1], CHUNKS[0], CHUNKS[4], CHUNKS[0], CHUNKS[5], CHUNKS[0]]


def whole_cell(rows, cols=None, direction="forward"):
    """The one cell of a plan whose single tile holds every place."""
    corpus = Corpus()
    corpus.add([b"not in either list", b"nor this"])  # ids of the lists start above 0
    plan = Plan(corpus, corpus.add(rows), None if cols is None else corpus.add(cols),
                direction=direction, errors="nan")
    plan.compute_sizes()
    (tile,) = plan.tiles()
    return plan, plan.cells(tile)[0]


def sparse_and_dense(cell, share, seed):
    """The same scores as SparseCells (entries in random order) and as Cells
    with NaN for every pair not listed."""
    rng = np.random.default_rng(seed)
    listed = rng.random(cell.values.shape) < share
    a, b = np.nonzero(listed)
    shuffle = rng.permutation(len(a))
    a, b = a[shuffle], b[shuffle]
    return (SparseCells(cell.rows, cell.cols, a, b, cell.values[a, b]),
            Cells(cell.rows, cell.cols, np.where(listed, cell.values, np.nan)))


def encoded(docs):
    return [None if d is None else d.encode() for d in docs]


@pytest.mark.filterwarnings("ignore::vendrask.DocumentWarning")
@pytest.mark.parametrize("one_list", [True, False], ids=["one list", "two lists"])
@pytest.mark.parametrize("direction", ["forward", "mean"])
@pytest.mark.parametrize("k", [1, 3, 20])
@pytest.mark.parametrize("share", [1.0, 0.4])
def test_sparse_cells_rank_as_dense_ones(one_list, direction, k, share):
    rows = encoded(REPEATS)
    cols = None if one_list else encoded(REPEATS[3:] + [CHUNKS[6], CHUNKS[0]])
    _, cell = whole_cell(rows, cols, direction)
    n_cols = len(rows if cols is None else cols)
    for seed in range(3):
        sparse, dense = sparse_and_dense(cell, share, seed)
        for cutoff in (None, 0.3):
            reducer = TopK(len(rows), k, cutoff, leave_out_own=one_list, n_cols=n_cols)
            got, want = reduced(reducer, [sparse]), reduced(reducer, [dense])
            assert np.array_equal(got[0], want[0], equal_nan=True)
            assert np.array_equal(got[1], want[1]) and got[1].dtype == np.int64
    if share == 1.0 and one_list:
        symmetric = None if direction == "forward" else direction
        want = vendrask.nearest(rows, k=k, symmetric=symmetric, errors="nan")
        got = reduced(TopK(len(rows), k, None, leave_out_own=True, n_cols=n_cols), [sparse])
        assert np.array_equal(got[1], want[1]) and np.array_equal(got[0], want[0], equal_nan=True)


@pytest.mark.filterwarnings("ignore::vendrask.DocumentWarning")
@pytest.mark.parametrize("one_list, symmetric", [(True, None), (True, "mean"), (False, None)],
                         ids=["ordered", "unordered", "two lists"])
@pytest.mark.parametrize("threshold", [0.0, 0.5, 1.0])
def test_sparse_cells_pair_as_dense_ones(one_list, symmetric, threshold):
    rows = encoded(REPEATS)
    cols = None if one_list else encoded(REPEATS[5:] + [CHUNKS[6]])
    direction = "forward" if symmetric is None else symmetric
    _, cell = whole_cell(rows, cols, direction)
    reducer = Pairs(threshold, *_pairs.listing(one_list, symmetric))
    for seed in range(3):
        sparse, dense = sparse_and_dense(cell, 0.5, seed)
        for got, want in zip(reduced(reducer, [sparse]), reduced(reducer, [dense])):
            assert np.array_equal(got, want) and got.dtype == want.dtype
    sparse, _ = sparse_and_dense(cell, 1.0, 0)
    want = vendrask.pairs(rows, cols, threshold=threshold, symmetric=symmetric, errors="nan")
    for got, wanted in zip(reduced(reducer, [sparse]), want):
        assert np.array_equal(got, wanted)


@pytest.mark.filterwarnings("ignore::vendrask.DocumentWarning")
def test_sparse_cells_listed_by_id_keep_the_pairs_of_their_sides():
    # Ids of no position of a side are left out; an id paired with itself
    # scores 1.0 as the same string, NaN when missing.
    plan, cell = whole_cell(encoded(REPEATS))
    side, corpus = plan.rows, plan.corpus
    ids = side.place_ids
    assert ids[0] > 0  # the lists' ids do not start at 0: places are looked up
    t, s = np.meshgrid(ids, ids, indexing="ij")
    values = cell.values.ravel()
    same = t.ravel() == s.ravel()
    assert np.array_equal(same_scores(corpus, t.ravel()[same]), np.diag(cell.values),
                          equal_nan=True)
    absent = np.array([0, 1, ids.max() + 5])
    t = np.concatenate([t.ravel(), absent, ids[:3]])
    s = np.concatenate([s.ravel(), ids[:3], absent])
    values = np.concatenate([values, [0.9] * 6])
    sparse = listed(side, side, t, s, values)
    assert len(sparse.a) == len(ids) ** 2
    reducer = TopK(len(REPEATS), 4, leave_out_own=True, n_cols=len(REPEATS))
    got, want = reduced(reducer, [sparse]), reduced(reducer, [cell])
    assert np.array_equal(got[0], want[0], equal_nan=True) and np.array_equal(got[1], want[1])


def test_places_of_ids_on_a_side_with_and_without_repeats():
    for ids in ([0, 1, 2, 3], [3, 1, 3, 0, 2], [2, 5, 9], [9, 2, 2]):
        side = Side(np.array(ids))
        probe = np.array([-1, 0, 1, 2, 3, 5, 9, 10])
        place, has = side.places_of(probe)
        assert has.tolist() == [p in ids for p in probe.tolist()]
        assert side.place_ids[place[has]].tolist() == probe[has].tolist()
