"""The command on a Dask cluster gives what it gives in-process, byte for byte."""
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")


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
                                  capture_output=True, timeout=300)
                   for extra in ([], ["--scheduler", scheduler]))
    assert (there.returncode, there.stdout, there.stderr) == (here.returncode, here.stdout, here.stderr)
    assert here.stdout or here.returncode == 1


# ---------------------------------------------------------------- faults: one line, whatever Dask logs

def _free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class _Cluster:
    """A scheduler and a worker in processes of their own, which a test may kill."""

    def __init__(self):
        import os
        import time
        self.port = _free_port()
        self.address = f"tcp://127.0.0.1:{self.port}"
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ))
        self.scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host",
                                           "127.0.0.1", "--port", str(self.port), "--no-dashboard"], **quiet)
        self.worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", self.address,
                                        "--nthreads", "2", "--no-dashboard"], **quiet)
        with distributed.Client(self.address, timeout="60s") as client:
            client.wait_for_workers(1, timeout=60)
        time.sleep(0.2)

    def stop(self):
        for process in (self.worker, self.scheduler):
            process.kill()
            process.wait()


@pytest.fixture(scope="module")
def long_corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("long")
    for i in range(3000):  # about 9 million compressions: tens of seconds on 2 threads
        (folder / f"{i:04}").write_bytes(b"%d " % (i * 7919 % 10007) * 60)
    return folder


@pytest.fixture(scope="module")
def cluster():
    running = _Cluster()
    yield running
    running.stop()


def _started(address, corpus, tmp_path):
    import time
    job = subprocess.Popen([sys.executable, "-m", "vendrask", "matrix", "--scheduler", address, str(corpus),
                            "-o", str(tmp_path / "out.csv")], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(4)  # connected, documents sent, tiles running
    assert job.poll() is None, job.communicate()
    return job


def test_a_scheduler_killed_mid_job_is_one_line(long_corpus, tmp_path):
    own = _Cluster()
    try:
        job = _started(own.address, long_corpus, tmp_path)
        own.scheduler.kill()
        out, err = job.communicate(timeout=120)
    finally:
        own.stop()
    assert job.returncode == 1 and out == b""
    assert err == f"vendrask: the Dask cluster failed: lost the connection to the scheduler at {own.address}\n".encode()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("attempt", range(3))
def test_ctrl_c_on_a_cluster_prints_nothing(cluster, long_corpus, tmp_path, attempt):
    import signal
    job = _started(cluster.address, long_corpus, tmp_path)
    job.send_signal(signal.SIGINT)
    out, err = job.communicate(timeout=120)
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
