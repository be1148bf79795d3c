"""The joins over neighbour graphs in bounded memory: ``within`` closes a
threshold graph with the same pairs, scores and count however its joins and
scores are cut, stops at a ``limit`` before scoring past it, and holds
memory in proportion to what it finds; ``_join_pairs`` gives the same keys
whatever its chunks, without laying out wide lists all at once."""
import collections
import functools
import tracemalloc

import numpy as np
import pytest

from vendrask import _descent
from vendrask._corpus import Corpus
from vendrask._descent import Graph, descend, key_of, within
from vendrask._pairs import NO_NEIGHBOUR
from corpora import stdlib_chunks

TEST_SECONDS = 300

USERS = ["admin", "root", "test"]


def sshd_lines(n):
    """Failed logins from one host: near-copies of one another."""
    return [("Dec 10 02:%02d:%02d host sshd[%d]: Failed password for invalid user %s "
             "from 10.0.%d.%d port %d ssh2"
             % (i // 60 % 60, i % 60, 20000 + i, USERS[i % 3], i // 256 % 256, i % 256,
                50000 + i)).encode() for i in range(n)]


source_chunks = functools.partial(stdlib_chunks, size=200)


class Scorer:
    """score(u, v) as an index scores pairs, counting the pairs it is given."""

    def __init__(self, corpus):
        self.corpus, self.pairs, self.calls = corpus, 0, 0

    def __call__(self, u, v):
        assert len(u) and (u < v).all()  # every pair once, lo first
        self.pairs += len(u)
        self.calls += 1
        forward_sizes, backward_sizes, failure = self.corpus.cross_sizes(u, v)
        assert failure is None
        forward, backward, failure = self.corpus.measures(u, v, forward_sizes, backward_sizes)
        assert failure is None
        return (forward, backward, forward_sizes.astype(np.uint16),
                backward_sizes.astype(np.uint16))


def built(docs, degree=12):
    """A neighbour graph of ``docs`` refined by NN-descent, and its corpus."""
    corpus = Corpus()
    ids = corpus.add(docs)
    assert corpus.compute_sizes(ids, ids) is None
    n = len(corpus)
    graph = Graph(n, degree, "mean", corpus.measures)
    rng = np.random.default_rng(n)
    u = np.repeat(np.arange(n), 6)
    v = rng.integers(0, n, len(u))
    keep = u != v
    u, v = np.minimum(u[keep], v[keep]), np.maximum(u[keep], v[keep])
    keys = np.unique(u * n + v)
    u, v = keys // n, keys % n
    graph.offer(u, v, *Scorer(corpus)(u, v))
    descend(graph, Scorer(corpus), rounds=6, sample=degree // 2)
    return graph, corpus


@pytest.fixture(scope="module")
def graphs():
    return {"prose": built(source_chunks(160)), "near copies": built(sshd_lines(90)),
            "few": built(source_chunks(3))}


def closure_by_rounds(graph, score, threshold, rounds):
    """The pairs ``within`` answers, the plain way: each round scores the
    untried pairs among the neighbours (over the threshold) of every node
    that a pair passing in the round before touched."""
    n = graph.n
    u, v, forward, backward, _, _ = graph.edges()
    found = {}
    for a, b, f, r in zip(u.tolist(), v.tolist(), forward.tolist(), backward.tolist()):
        if key_of(np.array([f]), np.array([r]), graph.direction)[0] >= threshold:
            found[(a, b) if a < b else (b, a)] = (f, r) if a < b else (r, f)
    tried, fresh, scored = set(found), set(found), 0
    for _ in range(rounds):
        near = collections.defaultdict(set)
        for a, b in found:
            near[a].add(b)
            near[b].add(a)
        touched = {node for pair in fresh for node in pair}
        todo = sorted({(x, y) for t in touched for x in near[t] for y in near[t] if x < y}
                      - tried)
        if not todo:
            break
        tried.update(todo)
        lo, hi = np.array(todo).T
        f, r, _, _ = score(lo, hi)
        scored += len(todo)
        passing = key_of(f, r, graph.direction) >= threshold
        fresh = {pair for pair, ok in zip(todo, passing) if ok}
        if not fresh:
            break
        found.update((pair, (a, b)) for pair, ok, a, b in zip(todo, passing, f, r) if ok)
    pairs = sorted(found)
    lo = np.array([a for a, _ in pairs], dtype=np.int64)
    hi = np.array([b for _, b in pairs], dtype=np.int64)
    f = np.array([found[p][0] for p in pairs])
    r = np.array([found[p][1] for p in pairs])
    assert n == 0 or not len(lo) or hi.max() < n
    return lo, hi, f, r, scored


@pytest.mark.parametrize("corpus, threshold", [("prose", 0.15), ("prose", 0.3),
                                               ("near copies", 0.5), ("few", 0.0)])
@pytest.mark.parametrize("rounds", [1, 2, 20])
@pytest.mark.parametrize("join_keys, score_batch", [(1, 1), (37, 5), (None, None)])
def test_within_gives_the_pairs_of_the_plain_closure_however_cut(
        graphs, monkeypatch, corpus, threshold, rounds, join_keys, score_batch):
    if join_keys is not None:
        monkeypatch.setattr(_descent, "_JOIN_KEYS", join_keys)
        monkeypatch.setattr(_descent, "_SCORE_BATCH", score_batch)
    graph, store = graphs[corpus]
    expected = closure_by_rounds(graph, Scorer(store), threshold, rounds)
    scorer = Scorer(store)
    found = within(graph, scorer, threshold, rounds=rounds)
    assert len(expected[0]) > graph.n // 2 or corpus == "few"  # joins found something
    for got, want in zip(found[:4], expected[:4]):
        assert np.array_equal(got, want)  # same pairs, same scores bit for bit
    assert found[4] == expected[4] == scorer.pairs


def test_within_scores_nothing_on_a_graph_without_edges():
    corpus = Corpus()
    corpus.add([b"a", b"b"])
    graph = Graph(2, 4, "mean", corpus.measures)
    u, v, f, b, scored = within(graph, Scorer(corpus), 0.0, limit=0)
    assert len(u) == len(v) == len(f) == len(b) == scored == 0


def unlimited_scored(graph, store, threshold):
    return within(graph, Scorer(store), threshold)[4]


@pytest.mark.parametrize("corpus, threshold", [("prose", 0.15), ("near copies", 0.5)])
@pytest.mark.parametrize("short", [None, 0, 1])
def test_a_limit_answers_none_before_scoring_past_it(graphs, monkeypatch, corpus, threshold,
                                                      short):
    # Only the limit on pairs here: no bound on the joins' keys.
    monkeypatch.setattr(_descent, "_JOIN_PER_PAIR", 1 << 40)
    graph, store = graphs[corpus]
    full = within(graph, Scorer(store), threshold)
    limit = full[4] if short is None else full[4] - 1 - short * full[4] // 2
    scorer = Scorer(store)
    found = within(graph, scorer, threshold, limit=limit)
    if short is None:  # room for every pair it scores: the same answer
        assert all(np.array_equal(a, b) for a, b in zip(found, full))
    else:
        assert found is None
        assert scorer.pairs <= limit


@pytest.mark.parametrize("per_pair", [0, 1])
def test_joins_past_their_share_of_the_limit_answer_none_before_scoring(graphs, monkeypatch,
                                                                        per_pair):
    monkeypatch.setattr(_descent, "_JOIN_PER_PAIR", per_pair)
    graph, store = graphs["near copies"]
    scorer = Scorer(store)
    assert within(graph, scorer, 0.5, limit=graph.n * (graph.n - 1) // 4) is None
    # Round one's joins alone are more keys than the limit's pairs.
    assert scorer.pairs == 0


@pytest.fixture(scope="module")
def near_copies():
    return built(sshd_lines(300), degree=24)


def test_near_copies_give_up_at_the_limit_in_little_memory(near_copies):
    graph, store = near_copies
    limit = graph.n * (graph.n - 1) // 4  # half of all pairs, as Index.pairs asks
    scorer = Scorer(store)
    tracemalloc.start()
    try:
        found = within(graph, scorer, 0.5, limit=limit)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert found is None
    assert scorer.pairs <= limit
    # Some hundreds of bytes for each pair it may score (the joins once took
    # 7 KB for each pair they found here).
    assert peak < 1024 * limit, peak


def test_the_closure_of_near_copies_takes_memory_in_proportion_to_its_pairs(near_copies,
                                                                             monkeypatch):
    monkeypatch.setattr(_descent, "_JOIN_KEYS", 1 << 12)
    graph, store = near_copies
    tracemalloc.start()
    try:
        found = within(graph, Scorer(store), 0.5)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    pairs = len(found[0])
    assert pairs > graph.n * (graph.n - 1) // 4  # most pairs: the joins were wide
    assert peak < 1024 * pairs, (peak, pairs)


def join_pairs_plainly(new, old, n):
    keys = set()
    for a, b in zip(new.tolist(), old.tolist()):
        a = [x for x in a if x != NO_NEIGHBOUR]
        b = [y for y in b if y != NO_NEIGHBOUR]
        keys.update(min(x, y) * n + max(x, y) for x in a for y in a + b if x != y)
    return np.array(sorted(keys), dtype=np.int64)


@pytest.mark.parametrize("entries", [1, 50, 1 << 23])
@pytest.mark.parametrize("rows, new_width, old_width", [(0, 3, 2), (40, 5, 0), (60, 7, 9),
                                                        (30, 1, 1)])
def test_join_pairs_are_the_same_whatever_the_chunks(monkeypatch, entries, rows, new_width,
                                                     old_width):
    monkeypatch.setattr(_descent, "_JOIN_ENTRIES", entries)
    rng = np.random.default_rng(rows * 100 + new_width)
    n = 25  # few ids: many repeats within and across rows
    new = rng.integers(0, n, (rows, new_width))
    old = rng.integers(0, n, (rows, old_width))
    new[rng.random(new.shape) < 0.3] = NO_NEIGHBOUR
    old[rng.random(old.shape) < 0.3] = NO_NEIGHBOUR
    assert np.array_equal(_descent._join_pairs(new, old, n), join_pairs_plainly(new, old, n))


def test_wide_join_lists_are_laid_out_a_chunk_at_a_time(monkeypatch):
    # A degree of 300 gives lists this wide; 200 rows were once laid out at
    # once, 200 * 300 * 600 entries of several bytes each.
    monkeypatch.setattr(_descent, "_JOIN_ENTRIES", 1 << 18)
    rng = np.random.default_rng(3)
    n = 600
    new, old = rng.integers(0, n, (200, 300)), rng.integers(0, n, (200, 300))
    tracemalloc.start()
    try:
        keys = _descent._join_pairs(new, old, n)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(keys) == n * (n - 1) // 2  # every pair, many times over
    assert peak < 48 << 20, peak  # 12 MiB, where it was 800
