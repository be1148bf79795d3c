"""How much work one option or file can cause, and what the command says
about documents cut, left out or over the joint size limit."""
import csv
import io
import os
import resource
import subprocess
import sys

import numpy as np
import pytest

import _vendrask
import vendrask
from vendrask.cli import inputs, main, reading, selection

LIMIT = 32767


def run(*args, cwd, memory=None, **options):
    """The command in a fresh interpreter, its memory capped at ``memory``
    bytes: its address space, or under AddressSanitizer (which reserves
    terabytes of shadow at start) its resident size, as a guard only."""
    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    options.setdefault("capture_output", True)
    if memory and os.environ.get("VENDRASK_SANITIZED"):
        asan = os.environ.get("ASAN_OPTIONS", "")
        options["env"] = dict(os.environ, ASAN_OPTIONS=f"{asan}:hard_rss_limit_mb={2 * memory >> 20}")
        memory = None
    return subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=cwd, timeout=120,
                          preexec_fn=cap if memory else None, **options)


def lines(done):
    return done.stderr.decode("utf-8", "surrogateescape").splitlines()


def matrix_of(done):
    assert done.returncode == 0, done.stderr
    rows = list(csv.reader(io.StringIO(done.stdout.decode())))
    return rows[0][1:], np.array([[float(x) if x else np.nan for x in row[1:]] for row in rows[1:]])


def put(folder, files):
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


# ---------------------------------------------------------------- -k

@pytest.fixture
def hundred(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    for i in range(100):
        (docs / f"{i:03}").write_bytes(b"document %d: " % i + b"word %d " % (i * 7 % 13) * (i % 9 + 1))
    return tmp_path


@pytest.mark.parametrize("args, most", [
    (["-k", "1000000", "docs"], 99),  # each document's candidates: the other 99
    (["-k", "2147483647", "--query", "docs/000", "docs"], 100),  # itself is left out after
    (["-k", "1000000", "--query", "docs/000", "--", "docs/001", "docs/002"], 2),
    (["-k", "3", "docs"], 3),
    (["-k", "1000", "docs/000"], 1),  # no candidate at all: still a valid call, no hit listed
])
def test_k_is_cut_to_the_candidates_before_the_api_sees_it(hundred, monkeypatch, args, most):
    seen = []
    real = vendrask.nearest

    def nearest(*call, **options):
        seen.append(options["k"])
        assert options["k"] <= 100  # a k not cut would take all the memory there is
        return real(*call, **options)
    monkeypatch.setattr(vendrask, "nearest", nearest)
    monkeypatch.chdir(hundred)
    assert main(["nearest", "-o", "out.csv", *args]) == 0
    assert seen == [most]


def test_a_huge_k_lists_what_every_hit_lists_and_costs_no_more(hundred):
    every = run("nearest", "-k", "99", "docs", cwd=hundred)
    # Before, k was not cut: 62 s and 6.3 GB here.
    huge = run("nearest", "-k", "1000000", "docs", cwd=hundred, memory=1 << 30)
    assert (huge.returncode, huge.stderr) == (0, b"")
    assert huge.stdout == every.stdout and huge.stdout.count(b"\n") == 1 + 100 * 99
    fewer = run("nearest", "-k", "1000000", "--query", "docs/000", "docs", cwd=hundred)
    assert fewer.returncode == 0 and fewer.stdout.count(b"\n") == 1 + 99


# ---------------------------------------------------------------- reading

@pytest.fixture
def small(tmp_path):
    put(tmp_path, {"a.txt": b"abc", "b.txt": b"abd"})
    return tmp_path


def test_an_endless_document_is_read_no_further_than_the_limit(small):
    done = run("measure", "/dev/zero", "a.txt", cwd=small, memory=1 << 30)
    assert done.returncode == 1 and done.stdout == b""
    assert lines(done) == [
        "vendrask: /dev/zero and a.txt are over the joint size limit of 32767 bytes together "
        "(/dev/zero is longer than that: reading stopped at 32768 bytes); see --max-bytes and --errors"]
    with open("/dev/zero", "rb") as zero:  # stdin endless too
        done = run("matrix", "-", "a.txt", cwd=small, memory=1 << 30, stdin=zero)
    assert done.returncode == 1 and lines(done)[0].startswith("vendrask: - and a.txt are over")


@pytest.mark.parametrize("max_bytes, wanted", [(None, LIMIT + 1), (100, 101), (LIMIT, LIMIT + 1),
                                               (10 ** 6, LIMIT + 1)])
def test_at_most_the_limit_plus_one_byte_is_read(monkeypatch, max_bytes, wanted):
    asked = []
    real = reading._read_up_to
    monkeypatch.setattr(reading, "_read_up_to", lambda file, count: asked.append(count) or real(file, count))
    text = reading.read_text("/dev/zero", max_bytes)
    assert asked == [wanted] and len(text.data) == min(wanted, max_bytes or wanted)
    assert text.cut == (max_bytes is not None and max_bytes <= LIMIT)
    assert text.length == (max_bytes if text.cut else None)  # how long /dev/zero is, no one knows


@pytest.mark.parametrize("errors", ["nan", "skip"])
def test_an_endless_document_is_over_the_limit_with_every_other(small, errors):
    done = run("matrix", "/dev/zero", "a.txt", "b.txt", "--errors", errors, cwd=small, memory=1 << 30)
    labels, values = matrix_of(done)
    if errors == "skip":
        assert labels == ["a.txt", "b.txt"]
        assert lines(done) == ["vendrask: skipped /dev/zero: more than 32767 bytes, over the joint size "
                               "limit of 32767 bytes with every other document"]
    else:
        assert labels == ["/dev/zero", "a.txt", "b.txt"] and values[0, 0] == 1.0
        assert np.isnan(values[0, 1:]).all() and np.isnan(values[1:, 0]).all()
        assert lines(done) == ["vendrask: 3 documents are over the joint size limit of 32767 bytes with "
                               "some other document; those pairs are not scored (--max-bytes 16383 "
                               "makes every pair fit): /dev/zero, a.txt, b.txt"]


@pytest.mark.parametrize("null", [False, True])
def test_an_endless_list_of_paths_is_refused(small, null):
    done = run("matrix", "--files-from", "/dev/zero", *(["-0"] if null else []), cwd=small, memory=1 << 30)
    assert done.returncode == 1 and len(lines(done)) == 1
    assert lines(done)[0].startswith("vendrask: /dev/zero: not a list of paths")


def test_a_long_list_of_paths_streams(small):
    (small / "list").write_bytes(b"a.txt\n" * 3 + b"\n" * 10 + b"b.txt" + b"\n")
    labels, _ = matrix_of(run("matrix", "--files-from", "list", cwd=small))
    assert labels == ["a.txt"] * 3 + ["b.txt"]


# ---------------------------------------------------------------- --errors skip

@pytest.mark.parametrize("files, kept, skipped", [
    # Only the long one is to blame: the short one stays, alone.
    ({"big.bin": b"\1" * 40000, "a.txt": b"abc"}, ["a.txt"],
     "skipped big.bin: 40000 bytes, over the joint size limit of 32767 bytes with every other document"),
    ({"x": b"x" * 16383, "y": b"y" * 16385}, ["x"],
     "skipped y: 16385 bytes, over the joint size limit of 32767 bytes with every other document"),
    # Both to blame: both go.
    ({"x": b"x" * 16384, "y": b"y" * 16384}, None,
     "skipped 2 documents, each over the joint size limit of 32767 bytes with every other document: x, y"),
    ({"big": b"b" * 40000, "bigger": b"c" * 50000}, None,
     "skipped 2 documents, each over the joint size limit of 32767 bytes with every other document: "
     "big, bigger"),
    # A long document with an identical twin pairs with it; a short one then stays too.
    ({"a": b"abc", "twin1": b"t" * 40000, "twin2": b"t" * 40000}, ["a", "twin1", "twin2"], None),
    ({"half": b"h" * 20000, "other": b"o" * 20000, "a": b"abc"}, ["a", "half", "other"], None),
    # Alone, a document is kept however long.
    ({"big": b"b" * 40000}, ["big"], None),
])
def test_skip_leaves_out_only_long_documents_that_fit_with_nothing(tmp_path, files, kept, skipped):
    put(tmp_path, files)
    done = run("matrix", "--errors", "skip", *sorted(files), cwd=tmp_path)
    skip_lines = [line for line in lines(done) if line.startswith("vendrask: skipped")]
    assert skip_lines == ([f"vendrask: {skipped}"] if skipped else [])
    if kept is None:
        assert done.returncode == 1 and lines(done)[-1] == "vendrask: no documents left to compare"
    else:
        labels, values = matrix_of(done)
        assert labels == kept and np.all(np.diag(values) == 1.0)


def test_skip_with_queries_leaves_out_the_long_side(tmp_path):
    put(tmp_path, {"q": b"abc", "d1": b"1" * 40000, "d2": b"2" * 20000, "d3": b"3" * 30000})
    done = run("nearest", "--errors", "skip", "--query", "q", "d1", "d2", "d3", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert lines(done) == ["vendrask: skipped d1: 40000 bytes, over the joint size limit of 32767 bytes "
                           "with every query"]
    assert sorted(row.split(",")[1] for row in done.stdout.decode().splitlines()[1:]) == ["d2", "d3"]
    put(tmp_path, {"big": b"b" * 40000})
    done = run("nearest", "--errors", "skip", "--query", "big", "q", "d2", cwd=tmp_path)
    assert done.returncode == 1 and lines(done) == [
        "vendrask: skipped big: 40000 bytes, over the joint size limit of 32767 bytes with every document",
        "vendrask: no documents left to compare"]


# ---------------------------------------------------------------- saying what was cut or left out

def test_long_documents_with_twins_score_with_their_twins_and_are_named(tmp_path):
    # Longer than the limit, so read only as far as it: told apart without
    # reading further unless two could be identical (same size, same start).
    start = os.urandom(LIMIT + 500)
    files = {"short1": b"a" * 100, "short2": b"b" * 200, "mid": b"m" * 20000,
             "long": start + b"x" * 1000, "long.copy": start + b"x" * 1000,  # identical twins
             "long.other": start + b"y" * 1000,  # same size, same start, a different end
             "lone": os.urandom(50000),
             "big": b"g" * 33000, "big.copy": b"g" * 33000}
    put(tmp_path, files)
    names = sorted(files)
    for errors in ("nan", "skip"):
        done = run("matrix", "--errors", errors, *names, cwd=tmp_path)
        labels, values = matrix_of(done)
        said = lines(done)
        if errors == "skip":
            assert said[0] == ("vendrask: skipped 2 documents, each over the joint size limit of 32767 bytes "
                               "with every other document: lone, long.other")
            said = said[1:]
        assert labels == [name for name in names if errors == "nan" or name not in ("lone", "long.other")]
        expected = np.array([[_vendrask.measure(files[t], files[s])
                              if files[t] == files[s] or len(files[t]) + len(files[s]) <= LIMIT else np.nan
                              for s in labels] for t in labels])
        assert np.array_equal(values, expected, equal_nan=True)
        over = [t for t in labels if any(files[t] != files[s] and len(files[t]) + len(files[s]) > LIMIT
                                         for s in labels)]
        assert len(over) > 5
        assert said == [f"vendrask: {len(over)} documents are over the joint size limit of 32767 bytes "
                        f"with some other document; those pairs are not scored (--max-bytes 16383 "
                        f"makes every pair fit): "
                        + inputs.listed(over)]


def test_max_bytes_names_what_it_cut(tmp_path):
    files = {f"doc{i}": b"%d" % i * (10 + i * 10) for i in range(10)}
    put(tmp_path, files)
    done = run("matrix", "--max-bytes", "45", *sorted(files), cwd=tmp_path)
    assert done.returncode == 0
    cut = [name for name in sorted(files) if len(files[name]) > 45]
    assert lines(done) == [f"vendrask: --max-bytes 45 cut {len(cut)} of 10 documents: "
                           f"{', '.join(cut[:5])} and {len(cut) - 5} more"]
    done = run("measure", "--max-bytes", "1k", "doc0", "doc1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, b"")
    put(tmp_path, {"huge": b"h" * 20000, "huge2": b"k" * 20000})
    done = run("measure", "--max-bytes", "16000", "huge", "huge2", cwd=tmp_path)
    assert done.returncode == 0 and float(done.stdout) == _vendrask.measure(b"h" * 16000, b"k" * 16000)
    assert lines(done) == ["vendrask: --max-bytes 16000 cut 2 of 2 documents: huge, huge2"]
    done = run("matrix", "--max-bytes", "16k", "--errors", "nan", "huge", "huge2", "doc0", cwd=tmp_path)
    assert done.returncode == 0 and lines(done) == [
        "vendrask: --max-bytes 16384 cut 2 of 3 documents: huge, huge2",
        "vendrask: --max-bytes 16384 is over 16383: two different documents cut to it are 32768 "
        "bytes together, over the joint size limit of 32767 bytes, and are never scored together "
        "(--max-bytes 16383 or less lets every pair fit)",
        "vendrask: 2 documents are over the joint size limit of 32767 bytes with some other document; "
        "those pairs are not scored (--max-bytes 16383 makes every pair fit): huge, huge2"]


def test_max_bytes_over_the_limit_still_finds_twins(tmp_path):
    same = os.urandom(40000)
    put(tmp_path, {"a": same + b"1", "b": same + b"2", "c": b"small"})
    done = run("matrix", "--max-bytes", "40000", "--errors", "nan", "a", "b", "c", cwd=tmp_path)
    labels, values = matrix_of(done)
    assert values[0, 1] == values[1, 0] == 1.0  # the same once cut
    assert lines(done)[0] == "vendrask: --max-bytes 40000 cut 2 of 3 documents: a, b"


def test_nan_of_measure_is_said(tmp_path):
    put(tmp_path, {"h": b"h" * 20000, "o": b"o" * 20000})
    done = run("measure", "--errors", "nan", "h", "o", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, b"nan\n")
    assert lines(done) == ["vendrask: h and o are 20000 + 20000 = 40000 bytes together, over the joint "
                           "size limit of 32767 bytes: the score is empty (nan)"]


# ---------------------------------------------------------------- walking directories

def test_a_directory_of_this_process_descriptors_is_walked_without_its_own(tmp_path):
    done = run("matrix", "/proc/self/fd", cwd=tmp_path)  # links only: nothing to read
    assert (done.returncode, lines(done)) == (1, ["vendrask: no documents: the inputs hold no regular files"])
    done = run("matrix", "/proc/self/fdinfo", cwd=tmp_path)  # regular files, the walker's own gone
    labels, _ = matrix_of(done)
    assert {"/proc/self/fdinfo/0", "/proc/self/fdinfo/1", "/proc/self/fdinfo/2"} <= set(labels)


class _Vanishing:
    """An entry listed but gone by the time it is looked at."""
    name = "gone.txt"

    def stat(self, follow_symlinks=True):
        raise FileNotFoundError(2, "No such file or directory")


@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_an_entry_that_vanished_while_walking_is_an_unreadable_file(tmp_path, monkeypatch, capsys, errors):
    put(tmp_path, {"docs/a.txt": b"abc", "docs/b.txt": b"abd"})
    real = os.scandir

    class Listing:
        def __init__(self, where):
            self.listing = real(where)

        def __enter__(self):
            return [*self.listing, _Vanishing()]

        def __exit__(self, *exc):
            self.listing.close()
    monkeypatch.setattr(selection.os, "scandir", Listing)
    monkeypatch.chdir(tmp_path)
    status = main(["matrix", "docs", "--errors", errors, "-o", "out.csv"])
    err = capsys.readouterr().err
    if errors == "raise":
        assert (status, err) == (1, "vendrask: docs/gone.txt: No such file or directory\n")
    else:
        assert (status, err) == (0, "vendrask: skipped docs/gone.txt: No such file or directory\n")
        assert (tmp_path / "out.csv").read_text().splitlines()[0] == ",docs/a.txt,docs/b.txt"
