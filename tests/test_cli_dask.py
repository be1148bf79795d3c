"""The command on a Dask cluster gives what it gives in-process, byte for byte.
Faults strike at points the tests hold (a tile running), never after a fixed
sleep; every wait is a hang guard, loose enough for a loaded machine."""
import signal
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")

TEST_SECONDS = 900  # a hang guard: no test here takes a twentieth of it on an idle machine
WAIT = 300  # seconds for any one wait: a cluster starting, a command run, a job getting under way


@pytest.fixture(scope="module")
def scheduler():
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp",
                                  host="127.0.0.1", dashboard_address=":0") as cluster:
        yield cluster.scheduler_address


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("docs")
    for i in range(30):
        (folder / f"{i:02}.txt").write_bytes(b"part %d of the shared text. " % (i % 5) * (5 + i % 7))
    (folder / "big.txt").write_bytes(b"x" * 30000)  # over the joint limit with most others
    return folder


@pytest.mark.parametrize("args", [
    ["matrix", "--errors", "nan"],
    ["matrix", "--symmetric", "--errors", "skip", "--format", "json"],
    ["nearest", "-k", "3", "--errors", "nan"],
    ["nearest", "-k", "3", "--primed-by", "document", "--errors", "nan"],
    ["nearest", "-k", "2", "--symmetric", "min", "--errors", "nan"],
    ["pairs", "--threshold", "0.3", "--errors", "nan"],
    ["pairs", "--threshold", "0.3", "--symmetric", "min", "--errors", "nan", "--format", "tsv"],
    ["matrix"],  # over the limit: the same message and status
])
def test_a_cluster_gives_the_same_output(scheduler, corpus, args):
    here, there = (subprocess.run([sys.executable, "-m", "vendrask", *args, str(corpus), *extra],
                                  capture_output=True, timeout=WAIT)
                   for extra in ([], ["--scheduler", scheduler]))
    assert (there.returncode, there.stdout, there.stderr) == (here.returncode, here.stdout, here.stderr)
    assert here.stdout or here.returncode == 1


# ---------------------------------------------------------------- faults: one line, whatever Dask logs

@pytest.fixture(scope="module")
def long_corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("long")
    for i in range(3000):  # about 9 million compressions: tens of seconds on 2 threads
        (folder / f"{i:04}").write_bytes(b"%d " % (i * 7919 % 10007) * 60)
    return folder


@pytest.fixture(scope="module")
def cluster(module_dask_processes):
    return module_dask_processes(seconds=WAIT)


def _tiles_running(client):
    """Whether a worker runs a tile of a job (not only its blocks)."""
    return any(str(key).startswith("vendrask-") and "-block-" not in str(key)
               for keys in client.processing().values() for key in keys)


def _started(cluster, command, corpus, output, wait_until, preexec_fn=None):
    """The command on the cluster, once a tile of its job runs there."""
    with cluster.client() as client:
        # What an earlier job left is gone, so that only this one's tiles count.
        wait_until(lambda: not client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)),
                   "the scheduler to drop an earlier job", WAIT)
        job = subprocess.Popen([sys.executable, "-m", "vendrask", *command, "--scheduler",
                                cluster.address, str(corpus), "-o", str(output)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        try:
            wait_until(lambda: _tiles_running(client) or job.poll() is not None, "a tile to run", WAIT)
        except BaseException:
            job.kill()
            job.communicate()
            raise
    assert job.poll() is None, job.communicate()  # about 9 million compressions to go
    return job


@pytest.mark.parametrize("command", [["matrix"], ["nearest", "-k", "2"]])
def test_a_scheduler_killed_mid_job_is_one_line(dask_processes, long_corpus, tmp_path, command,
                                               wait_until):
    own = dask_processes(seconds=WAIT)
    job = _started(own, command, long_corpus, tmp_path / "out.csv", wait_until)
    own.kill_scheduler()
    out, err = job.communicate(timeout=WAIT)
    assert job.returncode == 1 and out == b""
    assert err == f"vendrask: the Dask cluster failed: lost the connection to the scheduler at {own.address}\n".encode()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("attempt", range(3))
def test_ctrl_c_on_a_cluster_prints_nothing(cluster, long_corpus, tmp_path, attempt, ctrl_c,
                                           wait_until):
    job = _started(cluster, ["matrix"], long_corpus, tmp_path / "out.csv", wait_until,
                   preexec_fn=ctrl_c)
    job.send_signal(signal.SIGINT)
    out, err = job.communicate(timeout=WAIT)
    assert (job.returncode, out, err) == (130, b"", b"")
    assert list(tmp_path.iterdir()) == []


def test_the_quiet_run_is_undone_at_the_end(monkeypatch):
    import logging
    import threading
    from vendrask.cli.run import quiet_dask
    hooks = (threading.excepthook, sys.unraisablehook, logging.root.manager.disable)
    with quiet_dask():
        logging.getLogger("distributed.client").error("not shown")
        assert logging.root.manager.disable == logging.CRITICAL
    quiet_dask.release()
    assert (threading.excepthook, sys.unraisablehook, logging.root.manager.disable) == hooks


def test_a_failing_close_is_not_printed():
    from vendrask.cli.run import _close

    class Broken:
        def close(self, timeout=None):
            raise OSError("comm closed on the way out")
    _close(Broken())


# ---------------------------------------------------------------- one progress contract

PROGRESS_DOCS = [b"doc %d: " % i + b"word %d " % (i % 4) * (3 + i % 7) for i in range(40)]


def _reports(call):
    seen = []
    call(lambda done, total: seen.append((done, total)))
    return seen


@pytest.mark.parametrize("call", [
    lambda vd, p: vd.nearest(PROGRESS_DOCS, k=3, tile=8, progress=p),
    lambda vd, p: vd.pairs(PROGRESS_DOCS, None, threshold=0.2, tile=8, progress=p),
    lambda vd, p: vd.pdist(PROGRESS_DOCS[:9], tile=4, progress=p),
    lambda vd, p: vd.nearest(PROGRESS_DOCS[:1], [], k=3, progress=p),
], ids=["nearest", "pairs", "pdist", "nothing to do"])
@pytest.mark.parametrize("where", ["dask", "in-process"])
def test_dask_reports_progress_as_the_in_process_api_does(call, where):
    # What the command's bar is fed, on a cluster or not: the total never
    # falls, done / total never falls, and done reaches total once, last.
    import vendrask
    import vendrask.dask
    api = vendrask.dask if where == "dask" else vendrask
    options = {} if where == "dask" else {"tile": None}
    reports = _reports(lambda p: call(_without(api, options), p))
    assert reports
    for (done0, total0), (done1, total1) in zip(reports, reports[1:]):
        assert total1 >= total0 and done1 * total0 >= done0 * total1, reports
    assert all(done < total for done, total in reports[:-1]), reports
    assert reports[-1][0] == reports[-1][1]


class _without:
    """``api`` with ``options`` taken out of each call (the in-process API has no tile)."""

    def __init__(self, api, options):
        self.api, self.options = api, options

    def __getattr__(self, name):
        function = getattr(self.api, name)
        return lambda *args, **kw: function(*args, **{k: v for k, v in kw.items()
                                                       if k not in self.options})


class _Shown:
    """A stand-in for tqdm that keeps each count the bar showed."""
    counts = []

    def __init__(self, total, **options):
        self.n, self.total = 0, total

    def update(self, count):
        self.n += count
        _Shown.counts.append((self.n, self.total))

    def refresh(self):
        pass

    def close(self):
        pass


@pytest.mark.parametrize("command", [["nearest", "-k", "3"], ["pairs", "--threshold", "0.2"]])
def test_the_bar_follows_a_job_on_a_cluster(scheduler, corpus, monkeypatch, capfd, command):
    # Before the job returns, not only once it is over: the bar is fed the
    # cluster's reports as it is fed the in-process API's.
    import tqdm
    from vendrask.cli import main
    from vendrask.cli.bar import ProgressBar
    monkeypatch.setattr(tqdm, "tqdm", _Shown)
    _Shown.counts = []
    planned = []
    plan = ProgressBar.plan
    monkeypatch.setattr(ProgressBar, "plan", lambda bar, scores, written: (
        planned.append(scores), plan(bar, scores, written))[1])
    status = main([*command, "--progress", "--errors", "nan", "--scheduler", scheduler,
                   "--exclude", "big.txt", str(corpus)])
    capfd.readouterr()
    assert status == 0
    # (Once the job returns, the bar stands just short of its scores.)
    assert any(0 < n < 0.9 * planned[0] for n, _ in _Shown.counts), (_Shown.counts, planned)
