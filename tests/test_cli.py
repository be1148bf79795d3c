import json
import subprocess
import sys

import numpy as np
import pytest

import _vendrask

TEXTS = {
    "fox.txt": b"the quick brown fox jumps over the lazy dog",
    "dog.txt": b"the lazy dog sleeps under the quick brown fox",
    "empty.txt": b"",
    "bin.dat": bytes(range(256)) * 3,
}


@pytest.fixture
def files(tmp_path):
    for name, data in TEXTS.items():
        (tmp_path / name).write_bytes(data)
    (tmp_path / "big.txt").write_bytes(b"b" * 32768)
    (tmp_path / "half.txt").write_bytes(b"h" * 20000)
    (tmp_path / "other.txt").write_bytes(b"o" * 20000)
    return tmp_path


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=cwd, capture_output=True, text=True)


def test_measure_prints_the_measure(files):
    done = run("measure", "fox.txt", "dog.txt", cwd=files)
    assert (done.returncode, done.stdout) == (0, "0.56\n")


@pytest.mark.parametrize("symmetric", [False, True])
@pytest.mark.parametrize("fmt", ["csv", "tsv", "json"])
def test_matrix_prints_a_labelled_matrix(files, fmt, symmetric):
    names = list(TEXTS)
    done = run("matrix", *names, "--format", fmt, "--workers", "2", *(["--symmetric"] if symmetric else []), cwd=files)
    assert done.returncode == 0, done.stderr
    expected = np.array([[_vendrask.measure(TEXTS[t], TEXTS[s]) for s in names] for t in names])
    if symmetric:
        expected = np.array([[_vendrask.adjust(expected[i, j], expected[j, i]) for j in range(4)] for i in range(4)])
    if fmt == "json":
        data = json.loads(done.stdout)
        labels, values = data["files"], np.array(data["matrix"])
        rows = names
    else:
        lines = [line.split("," if fmt == "csv" else "\t") for line in done.stdout.splitlines()]
        labels, rows = lines[0][1:], [line[0] for line in lines[1:]]
        values = np.array([[float(x) for x in line[1:]] for line in lines[1:]])
    assert labels == rows == names
    assert np.array_equal(values, expected)


@pytest.mark.parametrize("args, message", [
    (["measure", "fox.txt", "missing.txt"], "vendrask: missing.txt: No such file or directory\n"),
    (["matrix", "fox.txt", "."], "vendrask: .: Is a directory\n"),
    (["matrix", "fox.txt", "big.txt"], "vendrask: big.txt: over the size limit of 32767 bytes\n"),
    (["measure", "half.txt", "other.txt"],
     "vendrask: half.txt and other.txt are 20000 + 20000 = 40000 bytes together, over the joint size limit of 32767 bytes\n"),
    (["matrix", "fox.txt", "half.txt", "other.txt"],
     "vendrask: half.txt and other.txt are 20000 + 20000 = 40000 bytes together, over the joint size limit of 32767 bytes\n"),
])
def test_failures_exit_with_a_message(files, args, message):
    done = run(*args, cwd=files)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", message)


def test_usage_errors_exit_with_status_2(files):
    assert run("matrix", cwd=files).returncode == 2
    assert run("matrix", "fox.txt", "--format", "xml", cwd=files).returncode == 2


def test_console_script_is_installed(files):
    script = subprocess.run([sys.executable, "-c", "import shutil, sys, os; print(os.path.join(os.path.dirname(sys.executable), 'vendrask'))"],
                            capture_output=True, text=True).stdout.strip()
    done = subprocess.run([script, "measure", "fox.txt", "fox.txt"], cwd=files, capture_output=True, text=True)
    assert done.stdout == "1.0\n"
