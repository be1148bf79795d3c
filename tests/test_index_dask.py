"""vendrask.Index with client=: every batch of exact scores on a Dask cluster,
with the in-process results bit for bit, through killed workers, Ctrl-C and
a cluster that never runs anything. Every wait is bounded, by WAIT or by the
alarm in `bounded`: hang guards, loose enough for a machine loaded many times
over. Workers are killed at points the tests hold."""
import logging
import os
import pickle
import signal
import time
import warnings

import numpy as np
import pytest

import vendrask
from vendrask import _native
from vendrask._corpus import Corpus

pytest.importorskip("sklearn")
pytest.importorskip("scipy")
dask = pytest.importorskip("dask",
                           reason="Dask is not installed (vendrask[dask] needs a recent Python)")
distributed = pytest.importorskip(
    "distributed", reason="distributed is not installed (vendrask[dask] needs a recent Python)")
sizes_module = pytest.importorskip("vendrask.dask._sizes")

TEST_SECONDS = 600  # a hang guard: no test here takes a twentieth of it on an idle machine
WAIT = 200  # seconds for any one wait: workers arriving, a batch's tasks leaving the scheduler


def _corpus(count, seed):
    """Licence text cut at random places, with duplicates, empty documents and
    two long ones whose pair is over the joint size limit."""
    rng = np.random.default_rng(seed)
    text = b"".join(open(os.path.join("/usr/share/common-licenses", name), "rb").read()
                    for name in ("GPL-3", "Apache-2.0"))
    docs = []
    for _ in range(count):
        start = int(rng.integers(0, len(text) - 1500))
        docs.append(text[start:start + int(rng.integers(0, 1200))])
    return docs + [docs[0], docs[3], b"", b"", text[:17000], text[-17000:], "naïve café ✓ " * 20]


DOCS = _corpus(70, 1)
QUERIES = _corpus(6, 2)[:6] + [DOCS[5], b"", "naïve café ✓ " * 20]


@pytest.fixture(scope="module", autouse=True)
def small_shares():
    """Batches cut into many blocks and shares, as a large corpus's are."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sizes_module, "default_tile", lambda count, threads, mean: 16)
        patch.setattr(sizes_module, "probes_per_task", lambda count, threads, mean: 150)
        yield


def _cluster(processes, workers=2):
    """Threads of this process (processes=False), or processes on 127.0.0.1."""
    where = {"host": "127.0.0.1"} if processes else {}
    return distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=processes, dashboard_address=None,
        silence_logs=logging.CRITICAL, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        **where)


@pytest.fixture(scope="module")
def client():
    with _cluster(processes=False) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


def _built(index):
    index.build_graph()
    return index


@pytest.fixture(scope="module")
def in_process():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vendrask.DocumentWarning)
        return _built(vendrask.Index(DOCS, degree=6, seeds=4))


def _idle(client, seconds=WAIT):
    """Whether the scheduler comes to hold no task (within ``seconds``)."""
    deadline = time.monotonic() + seconds
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def _same(got, want):
    if isinstance(want, tuple):
        return len(got) == len(want) and all(map(_same, got, want))
    return got.dtype == want.dtype and got.shape == want.shape and \
        np.array_equal(got, want, equal_nan=True)


CALLS = {
    "nearest": lambda index, **o: index.nearest(QUERIES, 4, **o),
    "nearest min": lambda index, **o: index.nearest(QUERIES, 3, symmetric="min", **o),
    "neighbors": lambda index, **o: index.neighbors(4, **o),
    "neighbors past the degree": lambda index, **o: index.neighbors(9, symmetric="max", **o),
    "pairs": lambda index, **o: index.pairs(0.2, **o),
    "pairs forward": lambda index, **o: index.pairs(0.3, symmetric=None, **o),
    "clusters": lambda index, **o: index.clusters(0.3, **o),
    "clusters of neighbors": lambda index, **o: index.clusters(0.3, graph="neighbors", k=3, **o),
}


def _nothing_in_process(patch):
    """Fails any batch of sizes run in this process rather than on the cluster."""
    def refuse(*args):
        raise AssertionError("a batch of sizes ran in process")
    patch.setattr(Corpus, "run_batch", refuse)


@pytest.fixture(scope="module")
def on_cluster(client, small_shares):
    with pytest.MonkeyPatch.context() as patch:
        _nothing_in_process(patch)
        return _built(vendrask.Index(DOCS, degree=6, seeds=4, client=client))


@pytest.mark.parametrize("exact", [False, True], ids=["default", "exact"])
@pytest.mark.parametrize("call", CALLS)
def test_an_index_built_on_the_cluster_gives_the_in_process_results(
        client, on_cluster, in_process, call, exact):
    assert np.array_equal(on_cluster.graphs["mean"].ids, in_process.graphs["mean"].ids)
    want = CALLS[call](in_process, exact=exact)
    with warnings.catch_warnings(record=True) as caught, pytest.MonkeyPatch.context() as patch, \
            distributed.get_task_stream(client=client) as stream:
        warnings.simplefilter("always")
        if not exact:  # exact tiles size their own corpus, on workers in this process
            _nothing_in_process(patch)
        got = CALLS[call](on_cluster, exact=exact)
    assert _same(got, want)
    assert stream.data or not exact
    # As in process, the pair over the joint size limit is no warning.
    assert not [w for w in caught if issubclass(w.category, vendrask.DocumentWarning)]


def test_a_call_s_client_and_the_client_never_kept_in_a_file(client, in_process, tmp_path):
    index, want = (vendrask.Index(DOCS[:40], degree=6, seeds=4) for _ in range(2))
    index.add(DOCS[40:], client=client)
    want.add(DOCS[40:])
    assert _same(index.neighbors(5, client=client), want.neighbors(5))
    assert index.recall(30, 4, client=client) == want.recall(30, 4)
    for threshold in (0.2, 0.0):  # through the bands, and every pair (their fall-back)
        assert _same(index.duplicates(QUERIES + DOCS[:3], threshold, client=client),
                     want.duplicates(QUERIES + DOCS[:3], threshold))
        assert (index.pairs_recall(threshold, 30, client=client)
                == want.pairs_recall(threshold, 30))
    assert _same(index.nearest(QUERIES, 2, exact=True, client=client, progress=True),
                 in_process.nearest(QUERIES, 2, exact=True))
    index.save(tmp_path / "index")
    loaded = vendrask.Index.load(tmp_path / "index", client=client)
    assert loaded.client is client and vendrask.Index.load(tmp_path / "index").client is None
    copy = pickle.loads(pickle.dumps(loaded))
    assert copy.client is None and _same(copy.pairs(0.2), loaded.pairs(0.2))
    assert _idle(client)


@pytest.mark.parametrize("call", [
    lambda: vendrask.Index(DOCS, client="tcp://127.0.0.1:8786"),
    lambda: vendrask.Index(DOCS).nearest(QUERIES, client=object()),
    lambda: vendrask.Index.load("no such file", client=3),
], ids=["Index", "nearest", "load"])
def test_a_wrong_client_is_refused_before_any_work(call):
    with pytest.raises(TypeError, match="^client must be a distributed.Client or None, not "):
        call()


def test_a_failed_probe_in_one_share_fails_the_call_as_in_process(client, monkeypatch):
    # zlib never fails here: one document stands for a probe that did.
    real, marker = _native.batch_sizes, b"a probe of this fails"

    def failing(strings, *args):
        found = real(strings, *args)
        return "deflate failed" if marker in strings else found
    monkeypatch.setattr(_native, "batch_sizes", failing)
    with pytest.raises(RuntimeError, match="^deflate failed$"):
        vendrask.Index(DOCS + [marker], client=client)


def test_an_exception_from_progress_cancels_the_batch(client):
    calls = []

    def stop(done, total):
        calls.append(done)
        if len(calls) == 5:
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        vendrask.Index(DOCS, degree=6, seeds=4, client=client).build_graph(progress=stop)
    assert len(calls) == 5 and _idle(client)


def test_a_cluster_that_runs_nothing_times_out():
    with _cluster(processes=True, workers=0) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client, \
            dask.config.set({"vendrask.dask.timeout": "1s"}):
        with pytest.raises(TimeoutError) as raised:
            vendrask.Index(DOCS, client=client)
        assert _idle(client)
    assert str(raised.value) == ("placing the documents on the cluster timed out: no task of "
                                 "the job ran or finished for 1 s")


@pytest.fixture(scope="module")
def three_workers():
    """Worker processes whose nannies bring a killed one back."""
    with _cluster(processes=True, workers=3) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


@pytest.mark.parametrize("part", ["early", "middle", "late"])
def test_a_build_survives_a_worker_killed_at_any_moment(three_workers, part):
    client = three_workers
    # The worker an earlier test killed forgotten, and its nanny's new one arrived.
    deadline = time.monotonic() + WAIT
    while True:
        try:
            client.wait_for_workers(3, timeout=max(1.0, deadline - time.monotonic()))
            pids = list(client.run(os.getpid).values())  # fails while a dead one is listed
            break
        except Exception:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
    assert _idle(client)
    # At a random progress report of that part of the build, a random worker.
    first = 1 + 10 * ["early", "middle", "late"].index(part)
    rng = np.random.default_rng(first)
    when, victim, calls = int(rng.integers(first, first + 10)), int(rng.integers(0, 3)), []

    def kill(done, total):
        calls.append(done)
        if len(calls) == when:
            os.kill(pids[victim], signal.SIGKILL)
    index = vendrask.Index(DOCS, degree=6, seeds=4, client=client)
    index.build_graph(progress=kill)
    assert len(calls) > when, "the build ended before a worker could be killed"
    # Built afresh: the module's index may have been settled by a search of its lists.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vendrask.DocumentWarning)
        expected = _built(vendrask.Index(DOCS, degree=6, seeds=4))
    assert np.array_equal(index.graphs["mean"].ids, expected.graphs["mean"].ids)
    assert _same(index.nearest(QUERIES, 4), expected.nearest(QUERIES, 4))
