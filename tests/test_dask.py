"""vendrask.dask against the in-process functions, on a LocalCluster of two
worker processes bound to 127.0.0.1. Every cluster is stopped by its fixture;
every wait is bounded, by WAIT or by the alarm in `bounded`: hang guards,
loose enough for a machine loaded many times over. No outcome here depends on
which of two things happens first: faults strike at points the test holds."""
import collections
import functools
import gc
import logging
import os
import pickle
import signal
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vendrask

dask = pytest.importorskip("dask",
                           reason="Dask is not installed (vendrask[dask] needs a recent Python)")
distributed = pytest.importorskip(
    "distributed", reason="distributed is not installed (vendrask[dask] needs a recent Python)")
vd = pytest.importorskip("vendrask.dask")

TEST_SECONDS = 600  # a hang guard: no test here takes a twentieth of it on an idle machine
WAIT = 200  # seconds for any one wait: workers arriving, a job's tasks leaving the scheduler


def _corpus(count, seed):
    """Licence text cut at random places, with duplicates, empty and non-ASCII documents."""
    rng = np.random.default_rng(seed)
    text = b"".join(open(os.path.join("/usr/share/common-licenses", name), "rb").read()
                    for name in ("GPL-3", "Apache-2.0"))
    docs = []
    for _ in range(count):
        start = int(rng.integers(0, len(text) - 1500))
        docs.append(text[start:start + int(rng.integers(0, 1200))])
    return docs + [docs[0], docs[3], b"", "naïve café ✓ " * 20]


DOCS = _corpus(36, 1)
QUERIES = _corpus(9, 2)


def _local_cluster(threads=1, workers=2):
    return distributed.LocalCluster(
        n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=logging.CRITICAL,
        # The scheduler's HTTP routes on a free port, not on 8787 by default.
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})


@pytest.fixture(scope="module")
def client():
    with _local_cluster() as cluster, distributed.Client(cluster, set_as_default=False) as client:
        yield client


def _scheduler_tasks(client):
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


def _wait_until_idle(client, seconds=WAIT):
    """Waits (bounded) until the scheduler holds no task; returns how many it holds."""
    deadline = time.monotonic() + seconds
    while True:
        left = _scheduler_tasks(client)
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.05)


def _equal(got, want, client=None):
    if isinstance(want, tuple):
        return len(got) == len(want) and all(_equal(g, w, client) for g, w in zip(got, want))
    if hasattr(got, "compute"):  # a lazy array computes where its documents are
        got = got.compute() if client is None else client.compute(got).result()
    return got.dtype == want.dtype and got.shape == want.shape and \
        np.array_equal(got, want, equal_nan=True)


CALLS = {
    "cdist": lambda m, **o: m.cdist(QUERIES, DOCS, **o),
    "cdist one list symmetric float32": lambda m, **o: m.cdist(
        DOCS, list(DOCS), symmetric="mean", dtype=np.float32, **o),
    "matrix max": lambda m, **o: m.matrix(DOCS, symmetric="max", **o),
    "nearest": lambda m, **o: m.nearest(DOCS, k=4, **o),
    "nearest padded with cutoff": lambda m, **o: m.nearest(QUERIES, DOCS, k=50,
                                                           score_cutoff=0.05, **o),
    "pairs": lambda m, **o: m.pairs(DOCS, threshold=0.1, **o),
    "pairs min": lambda m, **o: m.pairs(DOCS, threshold=0.1, symmetric="min", **o),
    "pairs cross mean": lambda m, **o: m.pairs(QUERIES, DOCS, threshold=0.05, symmetric="mean",
                                               **o),
    # The same documents passed as ss: tile pairs, but no position left out.
    "nearest same list as ss": lambda m, **o: m.nearest(DOCS, list(DOCS), k=3, **o),
    "pairs same list as ss": lambda m, **o: m.pairs(DOCS, list(DOCS), threshold=0.1, **o),
    "pdist": lambda m, **o: m.pdist(DOCS, **o),
    "nearest symmetric min": lambda m, **o: m.nearest(DOCS, k=4, symmetric="min", **o),
    "nearest primed by document": lambda m, **o: m.nearest(DOCS, k=4, primed_by="document",
                                                           **o),
    "nearest cross primed by document with cutoff": lambda m, **o: m.nearest(
        QUERIES, DOCS, k=6, primed_by="document", score_cutoff=0.05, **o),
    "nearest cross symmetric max": lambda m, **o: m.nearest(QUERIES, DOCS, k=3, symmetric="max",
                                                            **o),
}


@pytest.mark.parametrize("tile", [5, 16, None], ids=lambda t: f"tile{t}")
@pytest.mark.parametrize("call", CALLS)
def test_results_equal_the_in_process_functions(client, call, tile):
    # 40 documents: tiles of 16 leave a ragged last block; the default is one tile.
    assert _equal(CALLS[call](vd, client=client, tile=tile), CALLS[call](vendrask), client)


@pytest.mark.parametrize("call", [
    lambda m, **o: m.cdist([], DOCS, **o),
    lambda m, **o: m.cdist(DOCS[:1], DOCS, **o),
    lambda m, **o: m.cdist(DOCS, DOCS[:1], **o),
    lambda m, **o: m.nearest(DOCS[:1], k=3, **o),
    lambda m, **o: m.nearest(DOCS, [], k=2, **o),
    lambda m, **o: m.nearest(DOCS[:1], DOCS, k=2, **o),
    lambda m, **o: m.pairs([], DOCS, threshold=0.0, **o),
    lambda m, **o: m.pdist(DOCS[:1], **o),
    lambda m, **o: m.pdist([], **o),
], ids=["cdist 0xN", "cdist 1xN", "cdist Nx1", "nearest 1", "nearest Nx0", "nearest 1xN",
        "pairs 0xN", "pdist 1", "pdist 0"])
def test_degenerate_shapes(client, call):
    assert _equal(call(vd, client=client, tile=5), call(vendrask), client)


def test_without_a_client_dask_s_own_scheduler_runs_it():
    seen = []
    got = vd.nearest(DOCS, k=3, tile=8, progress=lambda done, total: seen.append((done, total)))
    assert _equal(got, vendrask.nearest(DOCS, k=3))
    assert _equal(vd.cdist(QUERIES, DOCS, tile=8), vendrask.cdist(QUERIES, DOCS))
    assert seen[0][0] == 0 and seen[-1][0] == seen[-1][1] > 0


LONG = [b"a" * 20000, b"b" * 20000, b"c" * 100, b"a" * 20000]

_documents = st.lists(st.one_of(st.sampled_from(DOCS[:6] + LONG[:2]), st.binary(max_size=40),
                                st.text(max_size=10)), max_size=14)


@settings(max_examples=60, deadline=None)
@given(docs=_documents, others=st.one_of(st.none(), _documents), tile=st.integers(1, 6),
       how=st.sampled_from([None, "mean", "max"]))
def test_any_tiling_gives_the_in_process_results(docs, others, tile, how):
    """On Dask's synchronous scheduler: duplicates, empty documents, pairs over
    the joint limit (NaN) and every way a list can be cut into tiles."""
    with dask.config.set(scheduler="sync"):
        options = dict(errors="nan")
        assert _equal(vd.nearest(docs, others, k=3, tile=tile, **options),
                      vendrask.nearest(docs, others, k=3, **options))
        assert _equal(vd.pairs(docs, others, threshold=0.05, symmetric=how, tile=tile, **options),
                      vendrask.pairs(docs, others, threshold=0.05, symmetric=how, **options))
        assert _equal(vd.cdist(docs, docs if others is None else others, symmetric=how,
                               tile=tile, **options),
                      vendrask.cdist(docs, docs if others is None else others, symmetric=how,
                                     **options))
        if how is not None:
            assert _equal(vd.pdist(docs, symmetric=how, tile=tile, **options),
                          vendrask.pdist(docs, symmetric=how, **options))


def _every_function(m, name, docs, others, how, primed_by, **options):
    """One call of each function with the direction given (pdist has no
    forward direction: "mean" then)."""
    if name == "cdist":
        return m.cdist(docs, docs if others is None else others, symmetric=how, **options)
    if name == "matrix":
        return m.matrix(docs, symmetric=how, dtype=np.float32, **options)
    if name == "nearest":
        return m.nearest(docs, others, k=3, symmetric=how, primed_by=primed_by, **options)
    if name == "nearest with cutoff":
        return m.nearest(docs, others, k=2, symmetric=how, primed_by=primed_by,
                         score_cutoff=0.3, **options)
    if name == "pairs":
        return m.pairs(docs, others, threshold=0.05, symmetric=how, **options)
    return m.pdist(docs, symmetric=how or "mean", **options)


FUNCTIONS = ["cdist", "matrix", "nearest", "nearest with cutoff", "pairs", "pdist"]


@pytest.mark.parametrize("name", FUNCTIONS)
@settings(max_examples=25, deadline=None)
@given(docs=_documents, others=st.one_of(st.none(), _documents), repeats=st.integers(1, 3),
       tile=st.integers(1, 7), in_process_tile=st.integers(1, 9),
       how=st.sampled_from([None, "mean", "min", "max"]),
       primed_by=st.sampled_from(["query", "document"]))
def test_every_function_and_direction_on_any_tiling_of_either_path(
        name, docs, others, repeats, tile, in_process_tile, how, primed_by):
    """Both paths tiled at random over the same documents, some repeated
    whole (blocks that hold the same strings at other positions): any
    drift between the cluster's tiles and the in-process plan shows."""
    docs = docs * repeats
    with dask.config.set(scheduler="sync"):
        got = _every_function(vd, name, docs, others, how, primed_by, tile=tile, errors="nan")
    want = _every_function(vendrask, name, docs, others, how, primed_by, tile=in_process_tile,
                           errors="nan")
    assert _equal(got, want)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_blocks_holding_the_same_documents_keep_their_own_positions(name):
    # Three blocks of the same eight documents: every block pair of one list
    # holds equal strings in equal order, yet its columns lie elsewhere.
    docs = DOCS[:8] * 3
    with dask.config.set(scheduler="sync"):
        got = _every_function(vd, name, docs, None, "max", "document", tile=8)
    assert _equal(got, _every_function(vendrask, name, docs, None, "max", "document"))


def test_without_dask_the_import_says_what_to_install(run_python):
    done = run_python("import sys; sys.modules['dask'] = None\n"
                      "try:\n    import vendrask.dask\n"
                      "except ImportError as error:\n    print(error)")
    assert done.stdout == "vendrask.dask needs Dask: pip install 'vendrask[dask]'\n", done.stderr


@pytest.mark.parametrize("call", [
    lambda m, **o: m.cdist(LONG, LONG[::-1], **o),
    lambda m, **o: m.nearest(LONG, k=2, **o),
    lambda m, **o: m.pairs(LONG, threshold=0.0, symmetric="mean", **o),
    lambda m, **o: m.pdist(LONG, **o),
], ids=["cdist", "nearest", "pairs", "pdist"])
def test_over_the_limit_raises_before_any_work_or_gives_nan(client, call):
    assert _wait_until_idle(client) == 0
    with pytest.raises(vendrask.JointSizeError) as raised:
        call(vendrask)
    with pytest.raises(vendrask.JointSizeError) as on_cluster:
        call(vd, client=client, tile=2)
    assert str(on_cluster.value) == str(raised.value)
    assert _scheduler_tasks(client) == 0 and not client.futures  # nothing was sent
    assert _equal(call(vd, client=client, tile=2, errors="nan"), call(vendrask, errors="nan"),
                  client)


def test_documents_read_on_the_workers_from_paths(client, tmp_path):
    paths = []
    for k, doc in enumerate(DOCS):
        path = tmp_path / f"doc{k}"
        path.write_bytes(doc.encode() if isinstance(doc, str) else doc)
        paths.append(str(path))
    assert _equal(vd.nearest(paths, k=3, client=client, tile=9, from_paths=True, max_bytes=500),
                  vendrask.nearest(DOCS, k=3, max_bytes=500))
    assert _equal(vd.cdist(paths[:5], paths, client=client, tile=9, from_paths=True),
                  vendrask.cdist(DOCS[:5], DOCS), client)
    (tmp_path / "long1").write_bytes(LONG[0])
    (tmp_path / "long2").write_bytes(LONG[1])
    with pytest.raises(vendrask.JointSizeError, match=r"ts\[1\] and ts\[2\]"):
        vd.pairs(paths[:1] + [str(tmp_path / "long1"), str(tmp_path / "long2")], threshold=0.5,
                 client=client, from_paths=True)
    with pytest.raises(FileNotFoundError):
        vd.pdist(paths[:3] + [str(tmp_path / "missing")], client=client, from_paths=True)
    assert _wait_until_idle(client) == 0


def _graph_bytes(collections):
    return sum(len(pickle.dumps(dict(c.__dask_graph__()))) for c in collections)


def test_the_graph_does_not_grow_with_the_bytes_of_the_corpus(client, monkeypatch):
    small = [b"%d" % k for k in range(60)]
    large = [b"%d" % k * 4000 for k in range(60)]
    sizes = {}
    for name, docs in (("small", small), ("large", large)):
        sizes[name] = _graph_bytes([vd.cdist(docs, docs, client=client, tile=8, errors="nan")])
        sent = []
        compute = client.compute

        def spy(collections, **options):
            sent.append(_graph_bytes(collections))
            return compute(collections, **options)
        monkeypatch.setattr(client, "compute", spy)
        vd.nearest(docs, k=2, client=client, tile=8, errors="nan")
        monkeypatch.undo()
        sizes[name + " nearest"] = sum(sent)
    # The documents differ 4000-fold in size (60 B against 240 kB in all);
    # what the graphs hold besides keys and options must not.
    assert abs(sizes["large"] - sizes["small"]) < 1000
    assert abs(sizes["large nearest"] - sizes["small nearest"]) < 1000
    assert sizes["large nearest"] < sum(map(len, large)) / 4
    assert _wait_until_idle(client) == 0


def test_a_worker_killed_mid_job_does_not_change_the_answer():
    docs = _corpus(150, 3)
    want = vendrask.nearest(docs, k=5)
    with _local_cluster(threads=2) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        # A tile alone on a worker runs on all of the worker's threads.
        assert client.submit(vd._tasks.native_threads, None, pure=False).result() == 2
        pids = list(client.run(os.getpid).values())
        killed = []

        def kill_one(done, total):
            if done and not killed:
                os.kill(pids[0], signal.SIGKILL)
                killed.append(done)
        got = vd.nearest(docs, k=5, client=client, tile=15, progress=kill_one)
    assert killed, "the job ended before a worker could be killed"
    assert _equal(got, want)


@pytest.mark.parametrize("how", ["progress raises", "SIGINT"])
def test_a_cancelled_job_leaves_the_cluster_usable(client, ctrl_c, how):
    docs = _corpus(200, 4)
    calls = []
    main = threading.main_thread().ident

    def stop(done, total):
        calls.append((done, total))
        if not done:
            return
        # A tile has finished: the job is under way, with most tiles to go.
        if how == "progress raises":
            raise KeyboardInterrupt
        # Ctrl-C as a terminal sends it, from outside the job; the job waits
        # here until it lands, so it cannot finish first. Short sleeps: one
        # that the signal just missed would otherwise run to its end.
        threading.Thread(target=signal.pthread_kill, args=(main, signal.SIGINT)).start()
        for _ in range(WAIT * 10):
            time.sleep(0.1)
    with pytest.raises(KeyboardInterrupt):
        vd.nearest(docs, k=3, client=client, tile=10, progress=stop)
    assert 0 < calls[-1][0] < calls[-1][1]  # stopped before the end
    assert _wait_until_idle(client) == 0
    assert _equal(vd.nearest(DOCS, k=3, client=client, tile=9), vendrask.nearest(DOCS, k=3))


def _interrupting_checks(stop_when_cancelled, interrupt, seconds, log):
    """A stand-in for ``_tasks.stop_when_cancelled``: at a tile's first check
    it logs "running", calls ``interrupt()`` (Ctrl-C in the client) and
    holds the tile there until the job's cancellation reaches the check
    (logs "stopped") or ``seconds`` go by (logs "not stopped"), so that the
    tile cannot end first. It sends Ctrl-C again every half second: one
    that lands just as the client's thread goes to sleep waits for it to
    wake (see _first_ctrl_c)."""
    import time

    def watched(token):
        check = stop_when_cancelled(token)

        def report(done, total):
            if log:
                return check(done, total)
            log.append("running")
            deadline = time.monotonic() + seconds
            again = 0
            while time.monotonic() < deadline:
                if time.monotonic() >= again:
                    interrupt()
                    again = time.monotonic() + 0.5
                try:
                    check(done, total)
                except Exception:
                    log.append("stopped")
                    raise
                time.sleep(0.01)
            log.append("not stopped")
        return report
    return watched


@pytest.fixture
def first_ctrl_c(ctrl_c):
    """The first SIGINT raises KeyboardInterrupt in the main thread, later
    ones do nothing: a signal sent while that thread is on its way into a
    blocking wait only wakes it when the wait ends, so the test sends it
    until it lands, and must not interrupt the job's own cleanup."""
    taken = []

    def handler(signum, frame):
        if not taken:
            taken.append(signum)
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, handler)
    yield taken


# One tile of 400 documents of about 1 KB: seconds of work on one worker.
CTRL_C_DOCS = [doc + doc for doc in _corpus(400, 5) if isinstance(doc, bytes)]


def test_ctrl_c_stops_a_running_tile_on_its_worker(client, first_ctrl_c, wait_until):
    make = _interrupting_checks

    def watch(interrupt, seconds, dask_worker):
        from vendrask.dask import _tasks
        dask_worker.tile_log, dask_worker.real_check = [], _tasks.stop_when_cancelled
        _tasks.stop_when_cancelled = make(_tasks.stop_when_cancelled, interrupt, seconds,
                                          dask_worker.tile_log)

    def unwatch(dask_worker):
        from vendrask.dask import _tasks
        _tasks.stop_when_cancelled = dask_worker.real_check
        return dask_worker.tile_log
    busy = lambda: sum(client.run(lambda dask_worker: dask_worker.state.executing_count).values())
    # From the worker's process, as a terminal's Ctrl-C comes from outside.
    client.run(watch, functools.partial(os.kill, os.getpid(), signal.SIGINT), WAIT)
    try:
        with pytest.raises(KeyboardInterrupt):
            vd.pdist(CTRL_C_DOCS, client=client, tile=len(CTRL_C_DOCS), errors="nan",
                     max_bytes=1100)
        wait_until(lambda: not busy(), "the worker's tile to end", WAIT)
    finally:
        logs = client.run(unwatch)
    # The tile was stopped by the cancellation, not run to its end.
    assert sorted(logs.values()) == [[], ["running", "stopped"]]
    assert _wait_until_idle(client) == 0


def test_ctrl_c_stops_a_running_tile_on_dask_s_local_scheduler(first_ctrl_c, monkeypatch,
                                                               wait_until):
    log = []
    # To the main thread: one that the tile's own thread sent to its process
    # could be taken by that thread, leaving the main one asleep.
    interrupt = functools.partial(signal.pthread_kill, threading.main_thread().ident,
                                  signal.SIGINT)
    monkeypatch.setattr(vd._tasks, "stop_when_cancelled", _interrupting_checks(
        vd._tasks.stop_when_cancelled, interrupt, WAIT, log))
    with dask.config.set(scheduler="threads"), pytest.raises(KeyboardInterrupt):
        vd.pdist(CTRL_C_DOCS, tile=len(CTRL_C_DOCS), errors="nan", max_bytes=1100)
    # A tile left running in the pool would not stop.
    wait_until(lambda: len(log) > 1, "the tile to end", WAIT)
    assert log == ["running", "stopped"]


@pytest.mark.parametrize("call, error, text", [
    (lambda: vd.nearest(b"one document", k=1), TypeError, "not a single bytes"),
    (lambda: vd.nearest([1], k=1), TypeError, r"ts\[0\] must be str or bytes-like, not int"),
    (lambda: vd.pairs(DOCS, threshold=0.5, errors="skip"), ValueError, "errors must be one of"),
    (lambda: vd.pdist(DOCS, symmetric=None), ValueError, "symmetric must be one of"),
    (lambda: vd.nearest(DOCS, tile=0), ValueError, "tile must be a positive integer"),
    (lambda: vd.nearest(DOCS, k=0), ValueError, "k must be a positive integer"),
    (lambda: vd.cdist(DOCS, DOCS, progress=print), TypeError, "lazy Dask array"),
    (lambda: vd.nearest(DOCS, client="tcp://127.0.0.1:8786"), TypeError,
     "client must be a distributed.Client or None, not str"),
    (lambda: vd.nearest("abc", from_paths=True), TypeError, "not a single str"),
])
def test_bad_arguments_get_the_in_process_errors(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_lazy_results_keep_their_documents_on_the_cluster(client):
    matrix = vd.cdist(QUERIES, DOCS, client=client, tile=7)[2:, ::3] * 2
    gc.collect()  # only the lazy array holds the documents now
    assert np.array_equal(client.compute(matrix).result(),
                          vendrask.cdist(QUERIES, DOCS)[2:, ::3] * 2)
    try:
        import dask.dataframe  # noqa: F401  (pyarrow and pandas may be missing)
    except ImportError:  # dask itself is there, what dask.dataframe needs is not
        pytest.skip("dask[dataframe] is not installed")
    frame = vd.pairs(DOCS, threshold=0.1, client=client, tile=7, lazy=True)
    gc.collect()
    got = client.compute(frame[frame.score >= 0.2]).result()
    i, j, score = vendrask.pairs(DOCS, threshold=0.2)
    assert np.array_equal(got["i"].to_numpy(), i) and np.array_equal(got["j"].to_numpy(), j)
    assert np.array_equal(got["score"].to_numpy(), score)


# ---------------------------------------------------------------- faults

@pytest.fixture(scope="module")
def three_workers():
    """A cluster whose nannies bring a killed worker back, for the fault tests."""
    with _local_cluster(workers=3) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


def _ready(client, workers=3):
    """Waits (bounded) for ``workers`` live workers, a worker killed by the
    test before forgotten and its nanny's new one arrived, and for an empty
    scheduler; returns {worker address: pid}."""
    deadline = time.monotonic() + WAIT
    while True:
        try:
            client.wait_for_workers(workers, timeout=max(1.0, deadline - time.monotonic()))
            pids = client.run(os.getpid)  # fails while the scheduler lists a dead worker
            break
        except Exception:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
    assert _wait_until_idle(client) == 0
    return pids


def _block_holders(client):
    """{block key: the workers holding it} for the blocks held on the cluster."""
    return {key: holders for key, holders in client.who_has().items()
            if str(key).startswith("vendrask-block-") and holders}


def _kill_a_sole_holder(client, pids, blocks):
    """Waits (bounded) until the job's ``blocks`` blocks are all placed,
    before any tile runs (so that each is on one worker only), then kills
    the worker holding most of them: their only copies are lost. Returns
    the worker's address."""
    deadline = time.monotonic() + WAIT
    while len(held := _block_holders(client)) < blocks and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(held) == blocks and all(len(holders) == 1 for holders in held.values()), held
    victim = collections.Counter(holders[0] for holders in held.values()).most_common(1)[0][0]
    os.kill(pids[victim], signal.SIGKILL)
    return victim


FAULT_DOCS = _corpus(60, 6)  # 64 documents: 4 blocks of 16
EAGER = {
    "nearest": lambda m, **o: m.nearest(FAULT_DOCS, k=3, **o),
    "pdist": lambda m, **o: m.pdist(FAULT_DOCS, **o),
    "pairs": lambda m, **o: m.pairs(FAULT_DOCS, QUERIES, threshold=0.05, **o),
}


@pytest.mark.parametrize("name", EAGER)
def test_a_job_survives_losing_the_only_copy_of_a_block(three_workers, name):
    client = three_workers
    pids = _ready(client)
    blocks = 4 + (name == "pairs")
    killed = []

    def kill_once_placed(done, total):
        if not killed:
            killed.append(done)
            _kill_a_sole_holder(client, pids, blocks)
    got = EAGER[name](vd, client=client, tile=16, progress=kill_once_placed)
    assert killed and _equal(got, EAGER[name](vendrask))


@pytest.mark.parametrize("name", ["matrix", "pairs lazy"])
def test_a_lazy_result_survives_losing_the_only_copy_of_a_block(three_workers, name,
                                                                wait_until):
    client = three_workers
    pids = _ready(client)
    if name == "matrix":
        lazy, want = vd.matrix(FAULT_DOCS, client=client, tile=16), vendrask.matrix(FAULT_DOCS)
    else:
        pytest.importorskip("dask.dataframe")
        lazy = vd.pairs(FAULT_DOCS, threshold=0.1, client=client, tile=16, lazy=True)
        want = vendrask.pairs(FAULT_DOCS, threshold=0.1)
    victim = _kill_a_sole_holder(client, pids, 4)
    # Computed once the scheduler knows, so that it must place the blocks again.
    wait_until(lambda: victim not in client.nthreads(), "the scheduler to forget a dead worker",
               WAIT)
    got = client.compute(lazy).result(timeout=WAIT)
    if name != "matrix":
        got = tuple(got[column].to_numpy() for column in ("i", "j", "score"))
    assert _equal(got, want)


def test_a_worker_killed_while_the_blocks_are_placed(three_workers, monkeypatch):
    client = three_workers
    _ready(client)
    killed = []
    submit = client.submit

    def place_then_kill(*args, **options):
        # The first three blocks: each once on a worker, whose death, before
        # the next block is sent, loses it.
        placed = submit(*args, **options)
        if len(killed) < 3:
            placed.result(timeout=WAIT)  # in memory on one worker
            holder = client.who_has(placed)[placed.key][0]
            os.kill(client.run(os.getpid, workers=[holder])[holder], signal.SIGKILL)
            killed.append(holder)
        return placed
    monkeypatch.setattr(client, "submit", place_then_kill)
    got = vd.nearest(FAULT_DOCS, QUERIES, k=3, client=client, tile=16)
    monkeypatch.undo()
    assert len(killed) == 3 and _equal(got, vendrask.nearest(FAULT_DOCS, QUERIES, k=3))


@pytest.fixture(scope="module")
def no_workers():
    with distributed.LocalCluster(n_workers=0, processes=True, host="127.0.0.1",
                                  dashboard_address=None, silence_logs=logging.CRITICAL,
                                  scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) \
            as cluster, distributed.Client(cluster, set_as_default=False) as client:
        yield client


@pytest.mark.parametrize("call, stage", [
    (lambda **o: vd.nearest(DOCS, k=2, **o), "placing the documents on the cluster"),
    (lambda **o: vd.pdist(DOCS, **o), "placing the documents on the cluster"),
    (lambda **o: vd.pairs(DOCS, QUERIES, threshold=0.5, **o),
     "placing the documents on the cluster"),
    (lambda **o: vd.matrix(["/etc/hostname"] * 3, from_paths=True, **o),
     "reading the documents on the workers"),
], ids=["nearest", "pdist", "pairs", "matrix from paths"])
@pytest.mark.parametrize("how", ["argument", "config"])
def test_a_cluster_without_workers_times_out_and_says_where(no_workers, call, stage, how):
    options = dict(client=no_workers, tile=16)
    with dask.config.set({"vendrask.dask.timeout": "1s" if how == "config" else None}):
        with pytest.raises(TimeoutError) as raised:
            call(**options, **({"timeout": 1} if how == "argument" else {}))
    assert str(raised.value) == f"{stage} timed out: no task of the job ran or finished for 1 s"
    assert _wait_until_idle(no_workers) == 0  # the job's tasks went with it


def test_a_failed_job_lets_go_of_its_own_tasks_and_of_nothing_else(no_workers):
    client = no_workers
    other = client.submit(len, "four", pure=False)  # waits for a worker, as the jobs' tasks do
    for call in (lambda **o: vd.nearest(DOCS, k=2, **o), lambda **o: vd.pdist(DOCS, **o),
                 lambda **o: vd.pairs(DOCS, QUERIES, threshold=0.5, **o)):
        # Many blocks and tiles: letting go of them all at once must not trip
        # the scheduler, which would drop the client and all it holds.
        with pytest.raises(TimeoutError):
            call(client=client, tile=4, timeout=1)
    assert client.status == "running" and other.status == "pending"
    other.release()
    assert _wait_until_idle(client) == 0


@pytest.mark.parametrize("timeout", [0, -1, True, "soon", [1]])
def test_a_bad_timeout_is_refused(timeout):
    with pytest.raises(ValueError) as raised:
        vd.nearest(DOCS, timeout=timeout)
    assert str(raised.value) == ("timeout must be a positive number of seconds, a time such "
                                 f"as '10 minutes', or None, not {timeout!r}")


def test_missing_documents_and_thresholds_as_in_process(client):
    docs = [b"the quick brown fox " * 3, None, b"the lazy dog " * 4, b"the quick brown fox " * 3,
            float("nan")]
    with pytest.warns(vendrask.DocumentWarning, match="2 of 5 documents are missing"):
        got = vd.nearest(docs, k=3, errors="nan", client=client, tile=2)
    for a, b in zip(got, vendrask.nearest(docs, k=3, errors="nan")):
        assert np.array_equal(a, b, equal_nan=True)
    with pytest.raises(TypeError, match=r"^docs\[1\] is missing \(None\)"):
        vd.pdist(docs, client=client)
    with pytest.raises(ValueError, match="threshold must be from 0 to 1"):
        vd.pairs(docs, threshold=80, client=client)


# ---------------------------------------------------------------- a lost scheduler

LOST_DOCS = _corpus(96, 7)  # 100 documents: 10 blocks of 10, 55 tiles


def _lose_the_scheduler(cluster, client, monkeypatch, when):
    """Kills the scheduler at ``when``, a point of the job that the test
    holds; returns the job's progress callable."""
    def kill_in(method):
        real = getattr(client, method)

        def kill_then_call(*args, **options):
            monkeypatch.undo()
            cluster.kill_scheduler()
            return real(*args, **options)
        monkeypatch.setattr(client, method, kill_then_call)

    if when == "placing the blocks":  # one block sent, nine to go
        submit = client.submit

        def submit_then_kill(*args, **options):
            placed = submit(*args, **options)
            monkeypatch.undo()
            cluster.kill_scheduler()
            return placed
        monkeypatch.setattr(client, "submit", submit_then_kill)
    elif when == "asking for the cluster's threads":
        kill_in("nthreads")
    elif when == "asking what the workers run":
        # At the first look, long before the job's last tile ends.
        monkeypatch.setattr(vd._cluster, "_POLL", 0.0)
        kill_in("processing")

    def progress(done, total):
        if not done or when not in ("a tile done", "the client reconnecting", "the client closed"):
            return
        if cluster.scheduler.poll() is None:
            cluster.kill_scheduler()
            deadline = time.monotonic() + WAIT
            while client.status == "running" and time.monotonic() < deadline:
                if when == "a tile done":
                    break
                time.sleep(0.01)
            if when == "the client closed":  # as it does once it gives up reconnecting
                client.close()
    return progress


@pytest.mark.parametrize("when", ["placing the blocks", "asking for the cluster's threads",
                                  "asking what the workers run", "a tile done",
                                  "the client reconnecting", "the client closed"])
def test_a_lost_scheduler_is_one_error_however_dask_says_it(dask_processes, monkeypatch, when):
    cluster = dask_processes(threads=1)
    # A call that asks a scheduler gone meanwhile waits out the client's
    # timeout: short, yet far more than a connection here takes, loaded or not.
    client = cluster.client(seconds=10)
    try:
        progress = _lose_the_scheduler(cluster, client, monkeypatch, when)
        with pytest.raises(vd.SchedulerConnectionLost) as raised:
            vd.pdist(LOST_DOCS, client=client, progress=progress, timeout=WAIT,
                     tile=None if "threads" in when else 10)
    finally:
        monkeypatch.undo()
        client.close(timeout=10)
    assert cluster.scheduler.poll() is not None  # the fault struck where the test meant
    assert isinstance(raised.value, ConnectionError)
    assert str(raised.value) == (f"lost the connection to the scheduler at {cluster.address}; "
                                 "the job's tasks were cancelled (scheduler-connection-lost)")


class _Client:
    """What connection_lost reads of a client: its status."""

    def __init__(self, status):
        self.status = status


def _errors():
    from distributed.client import FutureCancelledError
    from distributed.comm import CommClosedError
    # Newer clients raise ClosedClientError once closed, older ones a bare Exception.
    closed = getattr(distributed.client, "ClosedClientError", Exception)
    return {
        "client closed": closed("Client is closed. Can't send update-graph message."),
        "comm closed": CommClosedError("in <TCP (closed) ConnectionPool.processing local=tcp://"
                                       "127.0.0.1:5 remote=tcp://127.0.0.1:6>: Stream is closed"),
        "cancelled, connection lost": FutureCancelledError("k", "scheduler-connection-lost"),
        "cancelled, no reason": FutureCancelledError("k", None),
        "connect timed out": OSError("Timed out trying to connect to tcp://127.0.0.1:6 after 30 s"),
        "pool closed": RuntimeError("ConnectionPool is closed"),
        "job timed out": TimeoutError("running the job's tasks timed out"),
        "a task's missing file": FileNotFoundError(2, "No such file or directory"),
        "a task's own error": ValueError("threshold must be from 0 to 1"),
    }


AFTER_THE_LOSS = {"client closed", "comm closed", "cancelled, connection lost",
                  "cancelled, no reason", "connect timed out", "pool closed", "job timed out",
                  "a task's missing file"}


@pytest.mark.parametrize("status, lost", [
    # Connected: only what says so itself; a task's own errors are its own.
    ("running", {"comm closed", "cancelled, connection lost"}
     | ({"client closed"} if hasattr(distributed.client, "ClosedClientError") else set())),
    ("connecting", AFTER_THE_LOSS),
    ("closed", AFTER_THE_LOSS),
])
def test_what_counts_as_a_lost_connection(status, lost):
    from vendrask.dask._cluster import connection_lost
    errors = _errors()
    assert {name for name, error in errors.items() if connection_lost(_Client(status), error)} \
        == lost
    assert not connection_lost(_Client(status), KeyboardInterrupt())
    assert not connection_lost(None, errors["comm closed"])  # Dask's local schedulers
