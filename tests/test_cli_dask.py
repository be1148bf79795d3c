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
