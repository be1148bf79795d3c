"""The state of a vendrask.Index: an add is all or nothing, one index is safe
to share between threads, progress only goes forward, repeated work is reused
and quiet mistakes are refused."""
import copy
import functools
import pickle
import signal
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vendrask
from vendrask import _descent, _index, _progress, _sketch
from vendrask._corpus import Corpus
from vendrask._sketch import Sketcher, Sketches

import _vendrask  # noqa: E402
from conftest import HANG_SECONDS
from corpora import stdlib_chunks


chunks = functools.partial(stdlib_chunks, size=300)


DOCS = chunks(400)


def answers(index):
    """Everything a search of the index gives, to compare two states."""
    return (index.nearest(DOCS[:5] + DOCS[-5:], 4), index.neighbors(3),
            index.neighbors(3, symmetric="min"), index.pairs(0.3), len(index), list(index))


def same(a, b):
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b, equal_nan=True)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def saved(index, path):
    index.save(path)
    return path.read_bytes()


# -- an add is all or nothing


@pytest.fixture(scope="module")
def grown(tmp_path_factory):
    """The files of an index of 60 documents with its graph, after adding 30
    more, and after linking them into the graph: {stage: (path, bytes)}."""
    folder = tmp_path_factory.mktemp("grown")
    index = vendrask.Index(DOCS[:60], workers=2)
    index.build_graph()
    files = {"before": folder / "before.idx", "added": folder / "added.idx",
             "linked": folder / "linked.idx"}
    found = {"before": saved(index, files["before"])}
    index.add(DOCS[60:90])
    found["added"] = saved(index, files["added"])
    index.build_graph()
    found["linked"] = saved(index, files["linked"])
    return {stage: (files[stage], found[stage]) for stage in files}


# The two changes an index goes through: an add, then the graph's growth.
CHANGES = {"add": ("before", lambda index, **options: index.add(DOCS[60:90], **options),
                   "added"),
           "link": ("added", lambda index, **options: index.build_graph(**options), "linked")}


def _after(original, calls=1):
    """A stand-in that runs ``original`` and fails on its ``calls``-th call,
    once its work is done (and whatever it changed in place is changed)."""
    count = [0]

    def fail(*args, **kwargs):
        result = original(*args, **kwargs)
        count[0] += 1
        if count[0] == calls:
            raise KeyboardInterrupt
        return result
    return fail


FAILURES = {
    "sizes": ("add", lambda mp: mp.setattr(Corpus, "compute_sizes",
                                           _after(Corpus.compute_sizes))),
    "sketches": ("add", lambda mp: mp.setattr(Sketcher, "sketch", _after(Sketcher.sketch))),
    "signatures": ("add", lambda mp: mp.setattr(_index, "minhash_signatures",
                                                _after(_index.minhash_signatures))),
    "fine sketches": ("link", lambda mp: mp.setattr(_sketch, "fine_sketches",
                                                    _after(_sketch.fine_sketches))),
    "seeds": ("link", lambda mp: mp.setattr(Sketches, "seeds", _after(Sketches.seeds))),
    "second offer": ("link", lambda mp: mp.setattr(_descent.Graph, "offer",
                                                   _after(_descent.Graph.offer, calls=2))),
    "refinement": ("link", lambda mp: mp.setattr(_descent, "descend",
                                                 _after(_descent.descend))),
    "a late batch": ("link", lambda mp: mp.setattr(Corpus, "cross_sizes",
                                                   _after(Corpus.cross_sizes, calls=4))),
}


def _same_as_file(index, path, expected_bytes, tmp_path):
    """The index saves as the file at ``path`` and answers as it does (the
    bytes first: a search may link documents into the graph)."""
    assert saved(index, tmp_path / "again.idx") == expected_bytes
    assert same(answers(index), answers(vendrask.Index.load(path)))


@pytest.mark.parametrize("where", sorted(FAILURES))
def test_a_change_stopped_inside_leaves_the_index_as_it_was(grown, tmp_path, monkeypatch, where):
    change, stop = FAILURES[where]
    start, run, end = CHANGES[change]
    index = vendrask.Index.load(grown[start][0], workers=2)
    with monkeypatch.context() as patched:
        stop(patched)
        with pytest.raises(KeyboardInterrupt):
            run(index)
    _same_as_file(index, *grown[start], tmp_path)
    # Tried again, it changes the index as if the first try never was.
    index = vendrask.Index.load(grown[start][0], workers=2)
    with monkeypatch.context() as patched:
        stop(patched)
        with pytest.raises(KeyboardInterrupt):
            run(index)
    run(index)
    assert saved(index, tmp_path / "again.idx") == grown[end][1]


@pytest.mark.parametrize("change", sorted(CHANGES))
@pytest.mark.parametrize("stop_at", [1, 2, 5, 0.5, -1])
def test_a_change_stopped_from_progress_leaves_the_index_as_it_was(grown, tmp_path, change,
                                                                   stop_at):
    # The report in the middle, and the last, which comes once the work is done.
    start, run, end = CHANGES[change]
    counted = []
    run(vendrask.Index.load(grown[start][0]), progress=lambda *report: counted.append(report))
    stop_at = {0.5: len(counted) // 2, -1: len(counted)}.get(stop_at, stop_at)
    index = vendrask.Index.load(grown[start][0], workers=2)
    calls = []

    def progress(done, total):
        calls.append(done)
        # How many reports come depends on the machine's load: the last one
        # (done == total, once the work is done) stands in for a count not reached.
        if len(calls) == stop_at or done == total:
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        run(index, progress=progress)
    assert saved(index, tmp_path / "again.idx") == grown[start][1]
    run(index)
    assert saved(index, tmp_path / "again.idx") == grown[end][1]


@pytest.mark.parametrize("change", sorted(CHANGES))
def test_ctrl_c_at_any_moment_of_a_change_leaves_it_undone_or_done(grown, tmp_path, ctrl_c,
                                                                    change):
    start_at, run, end = CHANGES[change]
    (path, before), after = grown[start_at], grown[end][1]
    start = time.monotonic()
    run(vendrask.Index.load(path))
    took = time.monotonic() - start
    main = threading.get_ident()
    outcomes = set()
    for step in range(14):
        index = vendrask.Index.load(path)
        timer = threading.Timer(took * step / 10, signal.pthread_kill, (main, signal.SIGINT))
        try:
            try:
                timer.start()
                run(index)
            finally:
                timer.join()
                time.sleep(0.01)  # the signal, if it came after the change
        except KeyboardInterrupt:
            pass
        got = saved(index, tmp_path / "now.idx")
        assert got in (before, after), f"SIGINT at {step / 10:.1f} of an {change} left a third state"
        outcomes.add(got == after)
    assert False in outcomes  # at least one signal stopped a change


def test_an_add_from_inside_an_add_is_refused_and_a_search_sees_the_index_before(tmp_path):
    index = vendrask.Index(DOCS[:40])
    before = saved(index, tmp_path / "before.idx")
    seen = []

    def progress(done, total):
        if not seen:
            seen.append(len(index))
            seen.append(index.nearest([DOCS[45]], 1, exact=True))
            index.add(DOCS[80:85])
    with pytest.raises(RuntimeError, match="cannot be changed while it is being changed"):
        index.add(DOCS[40:60], progress=progress)
    assert seen[0] == 40 and seen[1][1].max() < 40
    assert saved(index, tmp_path / "after.idx") == before
    index.add(DOCS[40:60])  # the lock was given back
    assert len(index) == 60


def test_pickles_and_copies_hold_one_state_and_locks_of_their_own():
    index = vendrask.Index(DOCS[:50])
    expected = answers(index)
    for other in (pickle.loads(pickle.dumps(index)), copy.deepcopy(index), copy.copy(index)):
        assert same(answers(other), expected)
        thread = threading.Thread(target=other.add, args=(DOCS[50:60],))
        thread.start()
        thread.join(HANG_SECONDS)
        assert len(other) == 60
    assert same(answers(index), expected)
    # A pickle made before the state was one object: its parts, and caches;
    # before signatures were kept, and before seeds had their name.
    index.build_graph()
    state = {name: getattr(index, name)
             for name in ("corpus", "ids", "vectors", "sketcher", "graphs")}
    state.update(max_bytes=None, workers=1, degree=24, candidates=32, rounds=20, scored=0,
                 _graphs={}, _by_id=None)
    old = vendrask.Index.__new__(vendrask.Index)
    old.__setstate__(state)
    assert old.seeds == 32 and same(answers(old), expected)


def test_a_pickle_of_an_earlier_version_holding_its_sizes_under_former_names_loads(tmp_path):
    # Such a pickle holds the corpus and the graphs by their fields, the
    # sizes named alone and self_, there and back.
    index = vendrask.Index(DOCS[:50])
    index.build_graph()
    expected, file = answers(index), saved(index, tmp_path / "now.idx")

    def former(thing, names, **fields):
        old = type(thing).__new__(type(thing))
        old.__dict__.update((names.get(name, name), value) for name, value in vars(thing).items())
        old.__dict__.update(fields)
        return old
    corpus = former(index.corpus, {"lone_sizes": "alone", "primed_sizes": "self_"})
    graphs = {direction: former(graph, {"forward_sizes": "there", "backward_sizes": "back"},
                                measures=corpus.measures)
              for direction, graph in index.graphs.items()}
    state = dict(corpus=corpus, graphs=graphs, ids=index.ids, vectors=index.vectors,
                 sketcher=index.sketcher, max_bytes=None, workers=1, degree=24, seeds=16,
                 rounds=20, scored=0)
    old = vendrask.Index.__new__(vendrask.Index)
    old.__setstate__(pickle.loads(pickle.dumps(state)))
    assert same(answers(old), expected) and saved(old, tmp_path / "old.idx") == file
    old.add(DOCS[50:60])
    index.add(DOCS[50:60])
    assert same(answers(old), answers(index))


def test_a_pickle_is_checked_as_a_file_is():
    index = vendrask.Index(DOCS[:30])
    index.build_graph()
    data = pickle.dumps(index)
    assert same(answers(pickle.loads(data)), answers(index))
    index._state.corpus.lone_sizes[3] += 1  # sizes that are not the document's
    with pytest.raises(vendrask.IndexFileError, match="^a pickled vendrask.Index: not pickled: "):
        pickle.dumps(index)
    with pytest.raises(vendrask.IndexFileError, match="^a pickled vendrask.Index: corrupt"):
        pickle.loads(data.replace(DOCS[7], DOCS[7][::-1]))


# -- threads


def test_an_index_shared_by_threads_gives_exact_scores_and_whole_files(tmp_path):
    docs = chunks(330, size=200)
    index = vendrask.Index(docs[:90])
    batches = [docs[90 + 40 * b:130 + 40 * b] for b in range(6)]
    done, failures, found, files = threading.Event(), [], [], []

    def guarded(work):
        def run():
            try:
                work()
            except BaseException as error:  # noqa: B902 - reported below
                failures.append(error)
                done.set()
        return threading.Thread(target=run)

    def adding():
        for batch in batches:
            index.add(batch)
        done.set()

    def searching(seed):
        rng = np.random.default_rng(seed)
        while not done.is_set():
            # Queries the index does not hold yet: their ids must not be
            # taken for those of the documents an add gives the same ids.
            queries = [docs[i] for i in rng.choice(len(docs), 4, replace=False)]
            found.append(("nearest", queries) + index.nearest(queries, 3))
            found.append(("neighbors", None) + index.neighbors(2))
            found.append(("pairs", None) + index.pairs(0.25))

    def saving():
        while not done.is_set():
            path = tmp_path / f"{len(files)}.idx"
            index.save(path)
            files.append(path)

    threads = [guarded(adding), guarded(saving)] + [guarded(lambda s=s: searching(s))
                                                    for s in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HANG_SECONDS)
    assert not failures, failures
    assert len(index) == len(docs) and list(index) == docs

    memo = {}

    def measure(t, s):
        if (t, s) not in memo:
            memo[t, s] = _vendrask.measure(t, s)
        return memo[t, s]

    for kind, queries, first, second, *third in found:
        if kind == "pairs":
            for i, j, score in zip(first.tolist(), second.tolist(), third[0].tolist()):
                assert score == (measure(docs[i], docs[j]) + measure(docs[j], docs[i])) * 0.5
            continue
        rows = queries if kind == "nearest" else docs[:len(first)]
        assert kind == "nearest" or len(first) in {90 + 40 * b for b in range(7)}
        for row, scores, positions in zip(rows, first, second):
            for score, j in zip(scores.tolist(), positions.tolist()):
                if j >= 0:
                    assert score == measure(row, docs[j]), (kind, j)
    sizes = set()
    for path in files:
        loaded = vendrask.Index.load(path)
        assert list(loaded) == docs[:len(loaded)]
        sizes.add(len(loaded))
    assert sizes <= {90 + 40 * b for b in range(7)}


# -- progress


def _checked(calls):
    """Asserts that the reports only went forward and ended once, at the end."""
    assert calls, "no report"
    for (done0, total0), (done1, total1) in zip(calls, calls[1:]):
        assert total1 >= total0 and done1 >= done0, calls
        assert done1 * total0 >= done0 * total1, f"went back: {done0}/{total0} -> {done1}/{total1}"
    assert all(done < total for done, total in calls[:-1]), calls
    assert calls[-1][0] == calls[-1][1]


NEAR_COPIES = [b"%s#%d" % (DOCS[0][:200], i) for i in range(120)]
JOBS = {
    "build": lambda p: vendrask.Index(DOCS[:250], progress=p),
    "add": lambda p: vendrask.Index(DOCS[:150]).add(DOCS[150:250], progress=p),
    "nearest": lambda p: vendrask.Index(DOCS[:200]).nearest(DOCS[200:260], 5, progress=p),
    "pairs": lambda p: vendrask.Index(DOCS[:250]).pairs(0.1, progress=p),
    "pairs of near-copies": lambda p: vendrask.Index(NEAR_COPIES).pairs(0.5, progress=p),
    "neighbors keyed again": lambda p: vendrask.Index(DOCS[:200]).neighbors(
        12, symmetric="min", progress=p),
    "recall": lambda p: vendrask.Index(DOCS[:200]).recall(20, k=12, symmetric="max", progress=p),
}


@pytest.mark.parametrize("job", sorted(JOBS))
def test_progress_of_the_index_only_goes_forward(job):
    calls = []
    JOBS[job](lambda done, total: calls.append((done, total)))
    _checked(calls)


@settings(max_examples=200, deadline=None)
@given(st.integers(0, 5000), st.lists(st.tuples(st.integers(0, 3000), st.integers(0, 3000),
                                                st.integers(0, 4)), max_size=12))
def test_a_job_s_progress_only_goes_forward_whatever_its_estimate(estimate, batches):
    # Each batch raises the known total, then counts in a few reports; now
    # and then another job does the rest of it.
    calls = []
    job = _progress.JobProgress(lambda done, total: calls.append((done, total)), 0, estimate)
    for raised, count, reports in batches:
        job.grow(raised)
        report = job.batch(count)
        for k in range(1, reports + 1):
            report(count * k // reports, count)
        job.advance(count)
        job.poll()
        if reports == 4:
            rest = job.rest()
            for k in range(raised + 1):
                rest(k, raised)
    job.finish()
    _checked(calls)


def test_a_job_whose_size_is_known_reports_its_counts_as_they_are():
    calls = []
    job = _progress.JobProgress(lambda *report: calls.append(report), 10)
    for _ in range(10):
        job.batch(1)(1, 1)
        job.advance(1)
    job.finish()
    assert calls == [(k, 10) for k in range(1, 10)] + [(9, 10), (10, 10)]


# -- reused work and quiet mistakes


def test_clusters_reuse_the_pairs_just_found_until_an_add():
    pytest.importorskip("scipy")
    index = vendrask.Index(DOCS[:200])
    start = index.scored
    i, j, scores = index.pairs(0.2)
    assert index.scored > start
    scored = index.scored
    expected = (i.copy(), j.copy(), scores.copy())
    i[:] = 0  # the caller's copy
    labels = index.clusters(0.2)
    assert index.scored == scored
    assert same(index.pairs(0.2), expected) and index.scored == scored
    assert (labels[expected[0]] == labels[expected[1]]).all()
    # Other arguments are other pairs.
    index.pairs(0.25)
    assert index.scored > scored
    index.add(DOCS[200:220])
    scored = index.scored
    assert len(index.clusters(0.25)) == 220 and index.scored > scored


def test_pairs_of_near_copies_are_scored_as_exactly_and_no_dearer():
    # 120 near-copies all pass: joins through the graph would score most
    # pairs one by one, more than half of them.
    index = vendrask.Index(NEAR_COPIES)
    start = index.scored
    got = index.pairs(0.5)
    assert same(got, index.pairs(0.5, exact=True))
    assert len(got[0]) == 120 * 119 // 2
    assert index.scored - start <= 120 * 119 // 4


BAD_THRESHOLDS = [("0.5", "str"), (None, "None"), (True, "a bool"), ([0.5], "list"),
                  (np.bool_(True), "a bool")]


@pytest.mark.parametrize("call, name", [
    (lambda v: vendrask.Index(DOCS[:3]).pairs(v), "threshold"),
    (lambda v: vendrask.Index(DOCS[:3]).clusters(v), "threshold"),
    (lambda v: vendrask.pairs(DOCS[:3], threshold=v), "threshold"),
    (lambda v: vendrask.nearest(DOCS[:3], score_cutoff=v), "score_cutoff"),
])
@pytest.mark.parametrize("value, what", BAD_THRESHOLDS)
def test_thresholds_that_are_not_numbers_are_refused(call, name, value, what):
    if value is None and name == "score_cutoff":
        return  # no cutoff at all
    with pytest.raises(TypeError, match=f"^{name} must be a number, not {what}$"):
        call(value)


@pytest.mark.parametrize("value", [np.float32(0.5), np.float64(0.5), np.int64(0), 1, 0.5,
                                   np.array(0.5)])
def test_thresholds_of_numpy_and_python_numbers_are_taken(value):
    index = vendrask.Index(DOCS[:20])
    assert same(index.pairs(value), index.pairs(float(value)))


@pytest.mark.parametrize("call", [
    lambda: vendrask.Index(DOCS[:3], max_bytes=0),
    lambda: vendrask.cdist(DOCS[:2], DOCS[:2], max_bytes=0),
    lambda: vendrask.scorer(DOCS[0], DOCS[1], max_bytes=0),
])
def test_max_bytes_of_zero_is_refused(call):
    # Every document cut to nothing: every pair would score 1.0.
    with pytest.raises(ValueError, match="^max_bytes must be None or at least 1, not 0$"):
        call()


def test_neighbour_estimators_without_n_neighbors_say_what_is_missing():
    sk = pytest.importorskip("vendrask.sklearn")
    docs = [d.decode("latin-1") for d in DOCS[:12]]
    fitted = sk.NearestNeighbors(n_neighbors=None).fit(docs)
    with pytest.raises(ValueError, match="n_neighbors is needed: pass n_neighbors= to kneighbors"):
        fitted.kneighbors()
    assert fitted.kneighbors(n_neighbors=2)[1].shape == (12, 2)
    for estimator in (sk.KNeighborsClassifier(n_neighbors=None),
                      sk.KNeighborsRegressor(n_neighbors=None)):
        with pytest.raises(TypeError, match="n_neighbors must be a whole number, not None"):
            estimator.fit(docs, [0, 1] * 6)
    with pytest.raises(TypeError, match="n_neighbors must be a whole number, not None"):
        sk.KNeighborsTransformer(n_neighbors=None).fit(docs)



@pytest.mark.parametrize("saved", [False, True])
def test_the_last_rounds_and_an_add_try_no_pair_the_first_rounds_tried(monkeypatch, tmp_path,
                                                                        saved):
    # The pairs a graph's search rounds tried are kept (in memory, not in
    # the file) for its last rounds, across an add too; after a load they
    # are not known, and the last rounds may try some again.
    tried = []
    scorer = _index.Index._scorer

    def recording(self, corpus, job, workers=None, cluster=None):
        score = scorer(self, corpus, job, workers, cluster)

        def recorded(u, v):
            tried.extend(zip(np.minimum(u, v).tolist(), np.maximum(u, v).tolist()))
            return score(u, v)
        return recorded

    monkeypatch.setattr(_index.Index, "_scorer", recording)
    docs = chunks(400)
    index = vendrask.Index(docs[:300])
    index.build_graph()
    index.add(docs[300:])
    index.build_graph()
    assert index.info()["settled"] == 0
    if saved:
        index.save(tmp_path / "search.idx")
        index = vendrask.Index.load(tmp_path / "search.idx")
    before = len(tried)
    index.build_graph(settle=True)
    assert index.info()["settled"] == 400 and len(tried) > before
    repeats = len(tried) - len(set(tried))
    assert (repeats > 0) if saved else (repeats == 0)
    want = vendrask.nearest(docs, k=3, symmetric="mean", errors="nan")
    got = index.neighbors(3, symmetric="mean")
    # Most of the lists as exact search has them.
    assert np.mean(got[0] == want[0]) > 0.9
