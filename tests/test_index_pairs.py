"""Index.pairs through MinHash bands: every pair exact and over the
threshold, near-copies found, positions as the exact path lays them out,
signatures carried across adds, and threads that search while others add."""
import functools
import random
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vendrask

import _vendrask  # noqa: E402
from corpora import stdlib_chunks


chunks = functools.partial(stdlib_chunks, size=300)


def edited(doc, rng, edits=3):
    """``doc`` with a few bytes changed: a near-copy."""
    data = bytearray(doc)
    for _ in range(edits):
        data[rng.randrange(len(data))] = rng.randrange(32, 127)
    return bytes(data)


def planted(n=120, copies=20, seed=1):
    """Distinct chunks with near-copies of some of them, and where each
    copy went: (docs, [(original, copy)])."""
    rng = random.Random(seed)
    docs = chunks(n)
    pairs = []
    for k in range(copies):
        pairs.append((k * 3, len(docs)))
        docs.append(edited(docs[k * 3], rng))
    return docs, pairs


def measured(docs, i, j, symmetric):
    f = _vendrask.measure(docs[i], docs[j])
    if symmetric is None:
        return f
    b = _vendrask.measure(docs[j], docs[i])
    return {"mean": (f + b) / 2, "max": max(f, b), "min": min(f, b)}[symmetric]


def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))


DOCS, PLANTED = planted()


@pytest.fixture(scope="module")
def built():
    return vendrask.Index(DOCS)


@pytest.mark.parametrize("symmetric", ["mean", None, "max", "min"])
@pytest.mark.parametrize("threshold", [0.3, 0.5, 0.8])
def test_sketch_pairs_are_exact_over_the_threshold_and_find_planted_copies(built, symmetric,
                                                                          threshold):
    index = built
    i, j, score = index.pairs(threshold, symmetric=symmetric)
    for a, b, s in zip(i.tolist(), j.tolist(), score.tolist()):
        assert s == measured(DOCS, a, b, symmetric) and s >= threshold
        assert a != b and (symmetric is None or a < j.max() + 1 and a < b)
    found = set(zip(i.tolist(), j.tolist()))
    for a, b in PLANTED:
        if measured(DOCS, a, b, symmetric) >= threshold:
            assert (a, b) in found
    assert np.all(np.diff(i * len(DOCS) + j) > 0)  # by i, then j, no repeat


@given(st.lists(st.integers(0, 30), min_size=2, max_size=40), st.sampled_from([None, "mean"]),
       st.sampled_from([0.3, 0.6]))
@settings(max_examples=10, deadline=None)
def test_sketch_pairs_lay_out_repeated_documents_as_the_exact_path(picks, symmetric, threshold):
    # Few documents with repeats: the candidates are what the exact path
    # finds, and equal documents at several positions pair at 1.0.
    docs = [DOCS[p] if p < 20 else DOCS[120 + p - 20] for p in picks]
    index = vendrask.Index(docs)
    sketch = index.pairs(threshold, symmetric=symmetric)
    assert same(sketch, index.pairs(threshold, symmetric=symmetric, exact=True))
    assert same(sketch, vendrask.pairs(docs, threshold=threshold, symmetric=symmetric,
                                       errors="nan"))


def test_graph_pairs_remain_and_both_ways_agree_on_planted_copies(built):
    index = built
    sketch, graph = index.pairs(0.5, via="sketch"), index.pairs(0.5, via="graph")
    exact = index.pairs(0.5, exact=True)
    assert same(sketch, exact) and same(graph, exact)
    with pytest.raises(ValueError, match="via"):
        index.pairs(0.5, via="walk")


def test_clusters_agree_both_ways(built):
    pytest.importorskip("scipy.sparse.csgraph")
    labels = built.clusters(0.5, via="graph")
    assert np.array_equal(labels, built.clusters(0.5))


def test_pairs_after_adds_equal_pairs_of_an_index_built_at_once():
    grown = vendrask.Index(DOCS[:50])
    grown.pairs(0.5)  # bands of the first state
    grown.add(DOCS[50:100] + DOCS[:5])
    grown.add(DOCS[100:])
    once = vendrask.Index(DOCS[:50] + DOCS[50:100] + DOCS[:5] + DOCS[100:])
    for symmetric in ("mean", None):
        assert same(grown.pairs(0.5, symmetric=symmetric), once.pairs(0.5, symmetric=symmetric))
    assert len(grown._state.signatures) == len(grown._state.corpus)
    assert np.array_equal(grown._state.signatures, once._state.signatures)


def test_a_loaded_index_finds_the_same_pairs(built, tmp_path):
    index = built
    expected = index.pairs(0.5)
    index.save(tmp_path / "x.idx")
    loaded = vendrask.Index.load(tmp_path / "x.idx")
    assert np.array_equal(loaded._state.signatures, index._state.signatures)  # saved, not made
    assert same(loaded.pairs(0.5), expected)


def test_sketch_pairs_in_threads_beside_adds_stay_exact():
    docs = chunks(300, size=200)
    index = vendrask.Index(docs[:80])
    done, failures, found = threading.Event(), [], {}

    def adding():
        try:
            for b in range(4):
                index.add(docs[80 + 55 * b:135 + 55 * b])
        except BaseException as error:  # noqa: B902 - reported below
            failures.append(error)
        done.set()

    def searching():
        try:
            while not done.is_set():
                state = index._state
                result = index._pairs(state, 0.4, "mean", "mean", False, 1, None, None)
                # A state is known by its size (adds only grow it); the same
                # state must give the same pairs, and each is measured once.
                if len(state.ids) in found:
                    assert same(found[len(state.ids)][1], result)
                else:
                    held = [state.corpus.strings[k] for k in state.ids.tolist()]
                    found[len(state.ids)] = (held, result)
        except BaseException as error:  # noqa: B902 - reported below
            failures.append(error)
            done.set()

    threads = [threading.Thread(target=adding)] + [threading.Thread(target=searching)
                                                   for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(600)  # a hang guard only
    assert not failures and found
    for held, (i, j, score) in found.values():
        for a, b, s in zip(i.tolist(), j.tolist(), score.tolist()):
            assert s == measured(held, a, b, "mean") >= 0.4


@pytest.mark.parametrize("symmetric", ["mean", None])
@pytest.mark.parametrize("new", [
    pytest.param(lambda: DOCS[120:] + DOCS[:2] + [DOCS[125]], id="near-copies-and-repeats"),
    pytest.param(lambda: [DOCS[3]], id="an-equal-document"),
    pytest.param(lambda: chunks(200)[180:], id="unrelated"),
])
def test_duplicates_are_the_exact_pairs_touching_new_documents(built, symmetric, new):
    base = vendrask.Index(DOCS[:120] + DOCS[:3])
    added = new()
    i, j, score = base.duplicates(added, 0.5, symmetric=symmetric)
    assert len(base) == 123  # unchanged
    every = DOCS[:120] + DOCS[:3] + added
    ei, ej, es = vendrask.pairs(every, threshold=0.5, symmetric=symmetric, errors="nan")
    touching = (ei >= 123) | (ej >= 123)
    assert same((i, j, score), (ei[touching], ej[touching], es[touching]))


@pytest.mark.parametrize("threshold, sample", [(0.5, 500), (0.5, 60), (0.3, 40), (0.99, 10)])
def test_pairs_recall_is_a_share_and_whole_on_planted_copies(built, threshold, sample):
    recall = built.pairs_recall(threshold, sample)
    assert 0.0 <= recall <= 1.0
    if sample >= len(DOCS):
        assert recall == 1.0  # the planted copies are all found


def test_pairs_recall_counts_missed_pairs(built, monkeypatch):
    monkeypatch.setattr(vendrask.Index, "_sketch_pairs",
                        lambda self, *a: (np.empty(0, np.int64),) * 2 + (np.empty(0),))
    fresh = vendrask.Index(DOCS[:40] + DOCS[120:])
    assert fresh.pairs_recall(0.5) == 0.0
