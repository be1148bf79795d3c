"""How the vendrask command ends: exit status and one clear line, never a traceback."""
import os
import signal
import subprocess
import sys
import time

import pytest

import vendrask

COMMANDS = {
    "measure": ["measure", "a.txt", "b.txt"],
    "matrix": ["matrix", "docs"],
    "nearest": ["nearest", "docs"],
    "pairs": ["pairs", "--threshold", "0", "docs"],
}


def command(*args):
    return [sys.executable, "-m", "vendrask", *args]


def run(*args, cwd, **options):
    if "stdout" not in options:
        options.setdefault("capture_output", True)
    return subprocess.run(command(*args), cwd=cwd, timeout=120, **options)


@pytest.fixture
def corpus(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"the quick brown fox jumps over the lazy dog")
    (tmp_path / "b.txt").write_bytes(b"the lazy dog sleeps under the quick brown fox")
    docs = tmp_path / "docs"
    docs.mkdir()
    for i in range(200):  # a few hundred KB of output: more than a pipe holds
        (docs / f"{i:03}.txt").write_bytes(b"document %d: " % i + b"word %d " % (i * 7) * 30)
    return tmp_path


@pytest.mark.parametrize("name", COMMANDS)
def test_a_closed_pipe_ends_quietly(corpus, name):
    if name == "matrix":  # more output than a pipe holds: head stops reading after a line
        process = subprocess.Popen(command(*COMMANDS[name]), cwd=corpus, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        process.stdout.read(100)
        process.stdout.close()
    else:  # a reader already gone before the first line
        reader, writer = os.pipe()
        os.close(reader)
        process = subprocess.Popen(command(*COMMANDS[name]), cwd=corpus, stdout=writer,
                                   stderr=subprocess.PIPE)
        os.close(writer)
    assert (process.wait(timeout=120), process.stderr.read()) == (141, b"")
    process.stderr.close()


@pytest.mark.parametrize("name", COMMANDS)
def test_a_full_disk_is_one_line_and_status_1(corpus, name):
    with open("/dev/full", "wb") as full:
        done = run(*COMMANDS[name], cwd=corpus, stdout=full, stderr=subprocess.PIPE)
    assert (done.returncode, done.stderr) == (1, b"vendrask: write error: No space left on device\n")


def test_a_full_disk_leaves_no_output_file(corpus, tmp_path):
    done = run("matrix", "docs", "-o", "/dev/full/m.csv", cwd=corpus)
    assert done.returncode == 1 and done.stderr.startswith(b"vendrask: /dev/full/m.csv: ")


@pytest.fixture
def long_job(tmp_path):
    docs = tmp_path / "long"
    docs.mkdir()
    for i in range(1200):  # about 1.4 million compressions: many seconds on one thread
        (docs / f"{i:04}").write_bytes(b"%d " % (i * 7919 % 10007) * 60)
    return docs


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_a_long_job_and_leaves_nothing_behind(long_job, signum, status):
    process = subprocess.Popen(command("matrix", str(long_job), "--progress", "-o", "out.csv"),
                               cwd=long_job.parent, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        first = process.stderr.read(1)  # the bar appears once the work has started
        assert first, "no progress bar"
        process.send_signal(signum)
        rest = process.stderr.read()
        assert process.wait(timeout=30) == status
    finally:
        process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()
    assert b"Traceback" not in first + rest
    assert sorted(os.listdir(long_job.parent)) == ["long"]


def test_progress_is_silent_when_stderr_is_not_a_terminal(corpus):
    done = run("matrix", "docs", cwd=corpus)
    assert done.returncode == 0 and done.stderr == b""


@pytest.mark.parametrize("args, message", [
    (["measure", "a.txt", "missing.txt"], "vendrask: missing.txt: No such file or directory\n"),
    (["matrix", "a.txt", "missing"], "vendrask: missing: No such file or directory\n"),
    (["matrix", "empty"], "vendrask: no documents: the inputs hold no regular files\n"),
    (["matrix", "--files-from", "missing"], "vendrask: missing: No such file or directory\n"),
    (["matrix", "a.txt", "-o", "missing/m.csv"], "vendrask: missing/m.csv: No such file or directory\n"),
    (["matrix", "a.txt", "/proc/self/mem"], "vendrask: /proc/self/mem: Input/output error\n"),
    (["matrix", "/proc/self/mem", "--errors", "skip"],
     "vendrask: skipped /proc/self/mem: Input/output error\n"
     "vendrask: no documents: none of the inputs could be read\n"),
    (["measure", "half.txt", "other.txt"],
     "vendrask: half.txt and other.txt are 20000 + 20000 = 40000 bytes together, over the joint size "
     "limit of 32767 bytes; see --max-bytes and --errors\n"),
    (["pairs", "--threshold", "0.5", "a.txt", "half.txt", "other.txt"],
     "vendrask: half.txt and other.txt are 20000 + 20000 = 40000 bytes together, over the joint size "
     "limit of 32767 bytes; see --max-bytes and --errors\n"),
    (["nearest", "--query", "half.txt", "--", "other.txt", "a.txt"],
     "vendrask: half.txt and other.txt are 20000 + 20000 = 40000 bytes together, over the joint size "
     "limit of 32767 bytes; see --max-bytes and --errors\n"),
])
def test_data_errors_are_one_line_and_status_1(corpus, args, message):
    empty = corpus / "empty"
    (empty / "nothing").mkdir(parents=True)
    os.mkfifo(empty / "fifo")
    os.symlink("missing", empty / "dangling")
    (corpus / "half.txt").write_bytes(b"h" * 20000)
    (corpus / "other.txt").write_bytes(b"o" * 20000)
    done = run(*args, cwd=corpus)
    assert (done.returncode, done.stdout, done.stderr.decode()) == (1, b"", message)


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["matrix"], ["matrix", "--format", "xml", "docs"],
    ["matrix", "--workers", "0", "docs"], ["matrix", "--workers", "-2", "docs"],
    ["nearest", "--workers", "two", "docs"], ["matrix", "--max-bytes", "0", "docs"],
    ["nearest", "-k", "0", "docs"], ["pairs", "docs"], ["pairs", "--threshold", "nan", "docs"],
    ["pairs", "--threshold", "0.5", "-o", "p.npy", "docs"], ["matrix", "--plot", "m.gif", "docs"],
    ["measure", "-", "-"], ["matrix", "-", "--files-from", "-"], ["measure", "a.txt"],
    ["nearest", "--query", "-", "--", "-", "a.txt"],
    ["matrix", "--errors", "ignore", "docs"],
])
def test_usage_errors_are_status_2(corpus, args):
    done = run(*args, cwd=corpus, stdin=subprocess.DEVNULL)
    lines = done.stderr.decode().splitlines()
    assert done.returncode == 2 and done.stdout == b"" and b"Traceback" not in done.stderr
    assert lines[-1].startswith(("vendrask: ", "vendrask matrix: error: ", "vendrask nearest: error: ",
                                 "vendrask pairs: error: ", "vendrask measure: error: ", "vendrask: error: "))


def blocked(module, *args):
    """The command in an interpreter where ``module`` cannot be imported."""
    return [sys.executable, "-c", f"import sys; sys.modules[{module!r}] = None; "
            f"from vendrask.cli import main; sys.exit(main({list(args)!r}))"]


@pytest.mark.parametrize("module, args, message", [
    ("matplotlib", ["matrix", "--plot", "m.png", "docs"],
     "vendrask: --plot needs matplotlib and scipy: pip install 'vendrask[plot]'\n"),
    ("scipy", ["pairs", "--threshold", "1", "--plot", "m.svg", "docs"],
     "vendrask: --plot needs matplotlib and scipy: pip install 'vendrask[plot]'\n"),
    ("distributed", ["nearest", "--scheduler", "tcp://127.0.0.1:1", "docs"],
     "vendrask: --scheduler needs the dask extra: pip install 'vendrask[dask]'\n"),
])
def test_a_missing_extra_is_one_line_saying_what_to_install(corpus, module, args, message):
    done = subprocess.run(blocked(module, *args), cwd=corpus, capture_output=True, timeout=120)
    assert (done.returncode, done.stderr.decode()) == (2, message)
    assert not os.path.exists(corpus / "m.png")


def test_an_unreachable_scheduler_is_one_line_and_status_1(corpus):
    pytest.importorskip("distributed", reason="the dask extra is not installed")
    started = time.monotonic()
    done = run("matrix", "--scheduler", "tcp://127.0.0.1:1", "docs", cwd=corpus)
    assert done.returncode == 1 and time.monotonic() - started < 60
    assert done.stderr.decode().startswith("vendrask: cannot reach the Dask scheduler at tcp://127.0.0.1:1")
    assert done.stderr.count(b"\n") == 1


def test_measure_does_not_import_numpy(corpus):
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "vendrask", "measure", "a.txt", "b.txt"],
                          cwd=corpus, capture_output=True, timeout=120)
    assert done.stdout == b"0.56\n"
    imported = {line.split("|")[-1].strip() for line in done.stderr.decode().splitlines()}
    assert "_vendrask" in imported and not {"numpy", "tqdm", "argparse"} & imported


@pytest.mark.parametrize("args", [["--version"], ["doctor"]])
def test_version_and_doctor(corpus, args):
    done = run(*args, cwd=corpus)
    lines = done.stdout.decode().splitlines()
    assert done.returncode == 0 and done.stderr == b""
    assert lines[0] == f"vendrask {vendrask.__version__}" and 1 <= len(lines) <= 3
