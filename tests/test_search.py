"""nearest, pairs, pdist, pairwise and the new cdist options, each against a
loop of _vendrask.measure, at tile sizes that put tile edges everywhere."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _vendrask
import vendrask

PROSE = "the quick brown fox jumps over the lazy dog while the cat sleeps "
HALF = vendrask.JOINT_SIZE_LIMIT // 2
POOL = [
    b"", b"x", "abc", b"abcabc", PROSE, PROSE * 3, "fünf Zwerge, fünf Äpfel " * 4, "日本語のテキスト" * 9,
    bytes(range(256)), b"\0" * 40, b"a" * HALF, b"b" * (HALF + 1), b"c" * (HALF + 2),  # at and over the limit
]


def as_bytes(doc):
    return doc.encode() if isinstance(doc, str) else bytes(doc)


def loop(ts, ss):
    def one(t, s):
        try:
            return _vendrask.measure(as_bytes(t), as_bytes(s))
        except RuntimeError:
            return math.nan
    return np.array([[one(t, s) for s in ss] for t in ts], dtype=np.float64).reshape(len(ts), len(ss))


def expected_nearest(full, k, cutoff, leave_out_own):
    scores, indices = np.full((len(full), k), np.nan), np.full((len(full), k), -1)
    for i, row in enumerate(full):
        hits = sorted((-x, j) for j, x in enumerate(row)
                      if not math.isnan(x) and (cutoff is None or x >= cutoff) and not (leave_out_own and i == j))
        for r, (minus, j) in enumerate(hits[:k]):
            scores[i, r], indices[i, r] = -minus, j
    return scores, indices


COMBINE = {None: lambda a, b: a, "mean": lambda a, b: (a + b) * 0.5, "min": np.minimum, "max": np.maximum}

corpora = st.lists(st.sampled_from(POOL) | st.binary(max_size=60) | st.text(max_size=20), max_size=9)


@pytest.fixture(params=[2, 3, 256], ids=lambda t: f"tile{t}")
def tile(request):
    return request.param


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(docs=corpora, others=corpora, workers=st.sampled_from([1, 2]), how=st.sampled_from(list(COMBINE)))
def test_every_function_equals_a_loop_of_measure(tile, docs, others, workers, how):
    full = loop(docs, docs)
    options = {"workers": workers, "errors": "nan", "tile": tile}
    assert np.array_equal(vendrask.matrix(docs, symmetric=how, **options),
                          COMBINE[how](full, full.T), equal_nan=True)
    cross = loop(docs, others)
    assert np.array_equal(vendrask.cdist(docs, others, symmetric=how, **options),
                          COMBINE[how](cross, loop(others, docs).T), equal_nan=True)

    for ss, grid, own in ((None, full, True), (others, cross, False)):
        for k, cutoff in ((1, None), (3, 0.2), (12, None)):
            scores, indices = vendrask.nearest(docs, ss, k=k, score_cutoff=cutoff, **options)
            want_scores, want_indices = expected_nearest(grid, k, cutoff, own)
            assert indices.dtype == np.int64 and np.array_equal(indices, want_indices)
            assert np.array_equal(scores, want_scores, equal_nan=True)
        # The other direction, and both combined, rank by what they say.
        other = loop(docs, docs).T if ss is None else loop(others, docs).T
        for options_more, want_grid in (({"primed_by": "document"}, other),
                                        ({"symmetric": how}, COMBINE[how](grid, other))):
            scores, indices = vendrask.nearest(docs, ss, k=3, **options_more, **options)
            want_scores, want_indices = expected_nearest(want_grid, 3, None, own)
            assert np.array_equal(indices, want_indices)
            assert np.array_equal(scores, want_scores, equal_nan=True)

    threshold = 0.25
    i, j, score = vendrask.pairs(docs, threshold=threshold, symmetric=how, **options)
    sym = COMBINE[how](full, full.T)
    want = [(a, b) for a in range(len(docs)) for b in range(len(docs))
            if (a < b if how else a != b) and sym[a, b] >= threshold]
    assert list(zip(i.tolist(), j.tolist())) == want
    assert np.array_equal(score, sym[i, j])
    i, j, score = vendrask.pairs(docs, others, threshold=threshold, symmetric=how, **options)
    sym = COMBINE[how](cross, loop(others, docs).T)
    assert list(zip(i.tolist(), j.tolist())) == [tuple(x) for x in np.argwhere(sym >= threshold).tolist()]

    if how is not None:
        condensed = vendrask.pdist(docs, symmetric=how, **options)
        sym = COMBINE[how](full, full.T)
        upper = np.triu_indices(len(docs), 1)
        assert np.array_equal(condensed, 1.0 - sym[upper], equal_nan=True)

    if docs:
        rng = np.random.default_rng(len(docs))
        rows, cols = rng.integers(0, len(docs), 30), rng.integers(0, len(docs), 30)
        assert np.array_equal(vendrask.pairwise(docs, rows=rows, cols=cols, workers=workers, errors="nan"),
                              full[rows, cols], equal_nan=True)
        pair_options = {"workers": workers, "errors": "nan"}
        assert np.array_equal(vendrask.pairwise([docs[r] for r in rows], [docs[c] for c in cols], **pair_options),
                              full[rows, cols], equal_nan=True)
        assert np.array_equal(vendrask.pairwise(docs, rows=rows, cols=cols, symmetric=how, **pair_options),
                              COMBINE[how](full, full.T)[rows, cols], equal_nan=True)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (1, 7), (7, 1), (0, 0)])
def test_degenerate_shapes(tile, shape):
    ts, ss = [PROSE * (i + 1) for i in range(shape[0])], [PROSE[i:] for i in range(shape[1])]
    assert np.array_equal(vendrask.cdist(ts, ss, tile=tile), loop(ts, ss))
    scores, indices = vendrask.nearest(ts, ss, k=2, tile=tile)
    assert scores.shape == indices.shape == (shape[0], 2)
    assert all(len(x) == 0 for x in vendrask.pairs(ts, ss, threshold=0, tile=tile)) == (0 in shape)
    assert vendrask.pdist(ts, tile=tile).shape == (shape[0] * (shape[0] - 1) // 2,)


def test_ties_go_to_the_smaller_index_and_own_position_alone_is_left_out():
    docs = [PROSE, "x", PROSE, PROSE, "y" * 300]
    scores, indices = vendrask.nearest(docs, k=4)
    # Equal bytes elsewhere score 1.0; only the row's own position is left out.
    assert indices[0].tolist() == [2, 3, 4, 1] or indices[0, :2].tolist() == [2, 3]
    assert indices[2, :2].tolist() == [0, 3] and scores[2, :2].tolist() == [1.0, 1.0]
    scores, indices = vendrask.nearest(docs, k=4, score_cutoff=0.999)
    assert indices[1].tolist() == [-1] * 4 and np.isnan(scores[1]).all()
    assert indices[0].tolist() == [2, 3, -1, -1]


def test_nan_cells_are_never_candidates_and_raise_refuses_them():
    docs = [b"a" * 20000, b"b" * 20000, b"ab" * 10]
    scores, indices = vendrask.nearest(docs, k=2, errors="nan")
    assert indices[0].tolist() == [2, -1] and math.isnan(scores[0, 1])
    for call in (lambda: vendrask.nearest(docs), lambda: vendrask.pairs(docs, threshold=0.5),
                 lambda: vendrask.pdist(docs), lambda: vendrask.pairwise(docs, rows=[2, 0], cols=[0, 1])):
        with pytest.raises(vendrask.JointSizeError, match=r"^docs\[0\] and docs\[1\]|^ts\[0\] and ts\[1\]"):
            call()
    assert math.isnan(vendrask.pdist(docs, errors="nan")[0])


def test_matrix_names_its_argument_docs():
    with pytest.raises(vendrask.JointSizeError, match=r"^docs\[1\] and docs\[2\] are"):
        vendrask.matrix([b"x", b"a" * 20000, b"b" * 20000])


def test_pdist_goes_straight_into_scipy():
    hierarchy = pytest.importorskip("scipy.cluster.hierarchy")
    distance = pytest.importorskip("scipy.spatial.distance")
    docs = [PROSE * (i % 3 + 1) + str(i) for i in range(12)]
    condensed = vendrask.pdist(docs)
    square = distance.squareform(condensed)
    assert np.array_equal(square, 1.0 - (vendrask.matrix(docs) + vendrask.matrix(docs).T) * 0.5 - np.eye(12) * 0.0)
    assert hierarchy.linkage(condensed, "average").shape == (11, 4)


def test_float32_is_the_rounded_float64():
    docs = [PROSE[i:] + PROSE[:i] for i in range(6)]
    single = vendrask.matrix(docs, dtype=np.float32)
    assert single.dtype == np.float32 and np.array_equal(single, vendrask.matrix(docs).astype(np.float32))


class LyingBytes(bytes):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0

    def __len__(self):
        return 1


@pytest.mark.parametrize("doc", [
    b"abc abc", bytearray(b"abc abc"), memoryview(b"abc abc"), np.bytes_(b"abc abc"), "abc abc",
    memoryview(b"xabc abcx")[1:-1],
], ids=["bytes", "bytearray", "memoryview", "numpy.bytes_", "str", "sliced memoryview"])
def test_bytes_likes_and_str_are_taken_as_their_bytes(doc):
    assert vendrask.cdist([doc], [b"abc abd"]).tolist() == [[_vendrask.measure(b"abc abc", b"abc abd")]]


def test_a_lying_bytes_subclass_is_taken_as_its_stored_bytes():
    big = LyingBytes(b"z" * 20000)
    with pytest.raises(vendrask.JointSizeError):
        vendrask.cdist([big], [b"y" * 20000])
    assert vendrask.cdist([LyingBytes(b"abc")], [b"abd"])[0, 0] == _vendrask.measure(b"abc", b"abd")


def test_pandas_series_and_generators_are_lists_of_documents():
    pandas = pytest.importorskip("pandas")
    series = pandas.Series([PROSE, "other text", PROSE[::-1]], index=[10, 20, 30])
    assert np.array_equal(vendrask.matrix(series), vendrask.matrix(list(series)))
    assert np.array_equal(vendrask.matrix(d for d in series), vendrask.matrix(list(series)))


def test_max_bytes_cuts_each_document_first():
    docs = [b"a" * 30000 + b"tail", b"b" * 30000]
    assert np.array_equal(vendrask.matrix(docs, max_bytes=100), loop([d[:100] for d in docs], [d[:100] for d in docs]))


def test_pairwise_shares_cross_sizes_between_a_pair_and_its_reverse():
    docs = [PROSE + str(i) for i in range(5)]
    seen = []
    rows, cols = [0, 1, 1, 0, 2, 2, 4], [1, 0, 0, 1, 2, 3, 4]
    vendrask.pairwise(docs, rows=rows, cols=cols, progress=lambda done, total: seen.append(total))
    # Lone sizes of the s strings 0, 1, 3; self-primed sizes of 0 to 3 (4 is
    # only paired with itself, which costs nothing); both cross sizes of the
    # unordered pairs {0, 1} and {2, 3}, however often they come.
    assert seen[-1] == 3 + 4 + 2 * 2


def test_scorer_works_with_rapidfuzz():
    process = pytest.importorskip("rapidfuzz.process")
    choices = [PROSE, "something else entirely", PROSE.upper(), ""]
    best = process.extractOne(PROSE[:40], choices, scorer=vendrask.scorer)
    assert best[0] == PROSE and best[1] == _vendrask.measure(PROSE[:40].encode(), PROSE.encode())
    folded = process.extract("THE QUICK BROWN FOX", choices, scorer=vendrask.scorer, processor=str.lower, limit=2)
    assert folded[0][0] in (PROSE, PROSE.upper())
    assert process.extract("zzz", choices, scorer=vendrask.scorer, score_cutoff=0.5) == []
    grid = process.cdist(choices, choices, scorer=vendrask.scorer)
    assert np.allclose(grid, vendrask.matrix(choices), atol=1e-6)
