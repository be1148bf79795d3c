"""Where the vendrask command writes: -o and --plot onto files, links, devices,
FIFOs and descriptors; output suffixes; help and usage when a stream is full
or closed."""
import json
import os
import stat
import subprocess
import sys
import threading
import zipfile

import numpy as np
import pytest

import _vendrask
from vendrask.cli.output import Target, _own_descriptor

A, B = b"the quick brown fox jumps over the lazy dog", b"the lazy dog sleeps under the quick brown fox"
CSV = (",a,b\na,1.0,%r\nb,%r,1.0\n" % (_vendrask.measure(A, B), _vendrask.measure(B, A))).encode()


def run(*args, cwd, **options):
    options.setdefault("capture_output", True)
    return subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=cwd, timeout=120, **options)


@pytest.fixture
def here(tmp_path):
    (tmp_path / "a").write_bytes(A)
    (tmp_path / "b").write_bytes(B)
    return tmp_path


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".tmp")]


def test_a_device_is_written_to_not_replaced(here):
    try:
        os.mknod(here / "fakenull", 0o644 | stat.S_IFCHR, os.makedev(1, 3))  # a second /dev/null
    except PermissionError:
        pytest.skip("mknod needs root")
    done = run("matrix", "a", "b", "-o", "fakenull", cwd=here)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert stat.S_ISCHR(os.lstat(here / "fakenull").st_mode)
    assert leftovers(here) == []


def test_a_fifo_is_written_to_not_replaced(here):
    os.mkfifo(here / "f")
    got = []
    reader = threading.Thread(target=lambda: got.append((here / "f").read_bytes()))
    reader.start()
    try:
        done = run("matrix", "a", "b", "-o", "f", cwd=here)
    finally:
        if reader.is_alive() and not got:  # unblock a reader nothing opened the FIFO for
            with open(here / "f", "wb"):
                pass
        reader.join(timeout=30)
    assert (done.returncode, done.stderr) == (0, b"")
    assert got == [CSV] and stat.S_ISFIFO(os.lstat(here / "f").st_mode)


def test_a_numpy_file_streams_into_a_fifo(here):
    os.mkfifo(here / "m.npy")
    got = []
    reader = threading.Thread(target=lambda: got.append((here / "m.npy").read_bytes()))
    reader.start()
    try:
        done = run("matrix", "a", "b", "-o", "m.npy", cwd=here)
    finally:
        if reader.is_alive() and not got:
            with open(here / "m.npy", "wb"):
                pass
        reader.join(timeout=30)
    assert done.returncode == 0, done.stderr
    (here / "copy.npy").write_bytes(got[0])
    assert np.load(here / "copy.npy").tolist() == [[1.0, _vendrask.measure(A, B)], [_vendrask.measure(B, A), 1.0]]
    assert json.loads((here / "m.json").read_text()) == {"files": ["a", "b"]}


def test_a_symbolic_link_is_followed_and_its_target_replaced(here):
    (here / "elsewhere").mkdir()
    (here / "elsewhere" / "target.csv").write_bytes(b"original\n")
    os.symlink("elsewhere/target.csv", here / "l.csv")
    os.symlink("l.csv", here / "l2.csv")  # a link to a link
    done = run("matrix", "a", "b", "-o", "l2.csv", cwd=here)
    assert (done.returncode, done.stderr) == (0, b"")
    assert os.readlink(here / "l2.csv") == "l.csv" and os.readlink(here / "l.csv") == "elsewhere/target.csv"
    assert (here / "elsewhere" / "target.csv").read_bytes() == CSV
    assert leftovers(here) == [] and leftovers(here / "elsewhere") == []


def test_a_dangling_link_makes_its_target(here):
    os.symlink("new.csv", here / "l.csv")
    done = run("matrix", "a", "b", "-o", "l.csv", cwd=here)
    assert (done.returncode, done.stderr) == (0, b"")
    assert os.path.islink(here / "l.csv") and (here / "new.csv").read_bytes() == CSV


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
def test_a_replaced_file_keeps_its_mode(here, mode):
    (here / "p.csv").write_bytes(b"old\n")
    os.chmod(here / "p.csv", mode)
    done = run("matrix", "a", "b", "-o", "p.csv", cwd=here)
    assert (done.returncode, done.stderr) == (0, b"")
    assert stat.S_IMODE(os.stat(here / "p.csv").st_mode) == mode
    assert (here / "p.csv").read_bytes() == CSV


def test_a_replaced_file_keeps_its_owner_where_allowed(here):
    if os.geteuid() != 0:
        pytest.skip("only root may give a file to someone else")
    (here / "p.csv").write_bytes(b"old\n")
    os.chown(here / "p.csv", 4321, 4322)
    done = run("matrix", "a", "b", "-o", "p.csv", cwd=here)
    assert done.returncode == 0, done.stderr
    found = os.stat(here / "p.csv")
    assert (found.st_uid, found.st_gid) == (4321, 4322)


def test_a_new_file_is_made_as_the_umask_says(here):
    done = run("matrix", "a", "b", "-o", "new.csv", cwd=here,
               preexec_fn=lambda: os.umask(0o027))
    assert done.returncode == 0, done.stderr
    assert stat.S_IMODE(os.stat(here / "new.csv").st_mode) == 0o640


@pytest.mark.parametrize("path", ["/dev/fd/1", "/proc/self/fd/1"])
def test_a_descriptor_of_the_command_is_written_where_it_stands(here, path):
    # Through the descriptor itself: what the shell already wrote stays, as
    # with `{ echo header; vendrask matrix -o /dev/stdout; } > out`.
    with open(here / "out", "wb") as out:
        out.write(b"header\n")
        out.flush()
        done = run("matrix", "a", "b", "-o", path, cwd=here, stdout=out, stderr=subprocess.PIPE,
                   capture_output=False)
    assert (done.returncode, done.stderr) == (0, b"")
    assert (here / "out").read_bytes() == b"header\n" + CSV


def test_dev_stdout_is_the_descriptor():
    assert Target("/dev/stdout").descriptor == 1 and Target("/dev/stderr").descriptor == 2
    assert Target(f"/proc/{os.getpid()}/fd/7").descriptor == 7
    assert _own_descriptor("/proc/1/fd/1") is None  # another process's: written as a device is


@pytest.mark.parametrize("link", [False, True])
def test_a_directory_is_one_line_and_status_1(here, link):
    (here / "d").mkdir()
    name = "d"
    if link:
        os.symlink("d", here / "dl")
        name = "dl"
    done = run("matrix", "a", "b", "-o", name, cwd=here)
    assert (done.returncode, done.stdout, done.stderr) == (1, b"", f"vendrask: {name}: Is a directory\n".encode())
    assert os.listdir(here / "d") == []


def test_plot_follows_the_same_rules(here):
    pytest.importorskip("matplotlib", reason="the plot extra is not installed")
    pytest.importorskip("scipy", reason="the plot extra is not installed")
    (here / "pictures").mkdir()
    (here / "pictures" / "m.png").write_bytes(b"old")
    os.chmod(here / "pictures" / "m.png", 0o600)
    os.symlink("pictures/m.png", here / "link.png")
    (here / "folder.svg").mkdir()
    done = run("matrix", "a", "b", "--plot", "link.png", cwd=here)
    assert done.returncode == 0, done.stderr
    assert os.path.islink(here / "link.png")
    assert (here / "pictures" / "m.png").read_bytes().startswith(b"\x89PNG")
    assert stat.S_IMODE(os.stat(here / "pictures" / "m.png").st_mode) == 0o600
    done = run("matrix", "a", "b", "--plot", "folder.svg", cwd=here)
    assert (done.returncode, done.stderr) == (1, b"vendrask: folder.svg: Is a directory\n")


@pytest.mark.parametrize("name", ["OUT.NPZ", "out.Npz"])
def test_an_upper_case_npz_is_an_archive(here, name):
    done = run("matrix", "a", "b", "-o", name, cwd=here)
    assert done.returncode == 0, done.stderr
    assert zipfile.is_zipfile(here / name)
    assert sorted(os.listdir(here)) == sorted(["a", "b", name])  # no .json beside it
    with np.load(here / name) as saved:
        assert list(saved["files"]) == ["a", "b"]


def test_an_upper_case_npy_has_its_labels_beside_it(here):
    done = run("matrix", "a", "b", "-o", "OUT.NPY", cwd=here)
    assert done.returncode == 0, done.stderr
    assert np.load(here / "OUT.NPY").shape == (2, 2)
    assert json.loads((here / "OUT.json").read_text()) == {"files": ["a", "b"]}


@pytest.mark.parametrize("command, name", [
    (["matrix"], "m.parquet"), (["matrix"], "m.txt"), (["pairs", "--threshold", "0"], "p.xlsx"),
    (["nearest"], "n.CSV.gz"),
])
def test_an_unknown_suffix_is_a_usage_error_listing_the_known_ones(here, command, name):
    done = run(*command, "a", "b", "-o", name, cwd=here)
    assert done.returncode == 2 and done.stdout == b""
    line = done.stderr.decode()
    assert line.count("\n") == 1 and line.startswith(f"vendrask: {name}: unknown output suffix")
    assert (".csv, .tsv, .json, .npy or .npz" in line) if command == ["matrix"] else (".csv, .tsv or .json" in line)
    assert not os.path.exists(here / name)


@pytest.mark.parametrize("args, expected", [
    (["-o", "m.txt", "--format", "tsv"], "tsv"),  # --format takes any name
    (["-o", "m.JSON"], "json"),
    (["-o", "m"], "csv"),  # no suffix: csv
])
def test_names_that_are_written(here, args, expected):
    done = run("matrix", "a", "b", *args, cwd=here)
    assert done.returncode == 0, done.stderr
    written = (here / args[1]).read_bytes()
    assert written.startswith({"csv": b",a,b", "tsv": b"\ta\tb", "json": b'{"files"'}[expected])


@pytest.mark.parametrize("args", [["matrix", "--help"], ["--help"], ["nearest", "-h"], ["--version"]])
def test_help_that_cannot_be_written_is_status_1(here, args):
    with open("/dev/full", "wb") as full:
        done = run(*args, cwd=here, stdout=full, stderr=subprocess.PIPE, capture_output=False)
    assert (done.returncode, done.stderr) == (1, b"vendrask: write error: No space left on device\n")


def test_help_with_stdout_closed_is_status_1(here):
    done = subprocess.run([sys.executable, "-m", "vendrask", "matrix", "--help"], cwd=here,
                          stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, timeout=60,
                          preexec_fn=lambda: os.close(1))
    assert (done.returncode, done.stderr) == (1, b"vendrask: write error: standard output is closed\n")


@pytest.mark.parametrize("args", [
    ["matrix", "--bogus", "a"], ["matrix", "--workers", "0", "a"], ["frobnicate"], [],
    ["pairs", "--threshold", "80", "a"], ["matrix", "a", "-o", "m.parquet"],
])
def test_usage_errors_with_stderr_closed_print_nothing(here, args):
    done = subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=here, stdout=subprocess.PIPE,
                          timeout=60, preexec_fn=lambda: os.close(2))
    assert (done.returncode, done.stdout) == (2, b"")
