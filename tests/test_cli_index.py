"""The index commands: index build/add/info, search and dedup, against what
nearest and pairs print, and their one-line errors."""
import json
import os
import subprocess
import sys

import pytest

scipy_sparse = pytest.importorskip("scipy.sparse")
from scipy.sparse import coo_matrix  # noqa: E402
from scipy.sparse.csgraph import connected_components  # noqa: E402

import _vendrask

ODD = os.fsdecode(b'odd, "quoted"\nname\t caf\xe9.txt')  # newline, tab, not UTF-8
TEXTS = {f"{i:02}.txt": b"%s %d: " % (topic, i % 3) + b" ".join([topic] * (5 + i % 4)) + b" end"
         for i, topic in enumerate([b"the quick brown fox", b"lorem ipsum dolor sit amet",
                                    b"error: disk full on sda1"] * 4)}
TEXTS[ODD] = b"the quick brown fox 2: the quick brown fox jumps"
QUERIES = {"q1": b"the quick brown fox 1: the lazy dog", "q2": b"lorem ipsum 0: dolor sit amet amet"}


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for folder, texts in (("docs", TEXTS), ("queries", QUERIES)):
        os.mkdir(folder)
        for name, data in texts.items():
            with open(os.path.join(folder, name), "wb") as file:
                file.write(data)
    return tmp_path


def ok(done):
    status, out, err = done
    assert status == 0, err
    return out


def failed(done, status=1):
    assert done[0] == status, done
    assert len(done[2]) == 1 or status == 2, done[2]
    return done[2][-1]


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json"])
@pytest.mark.parametrize("symmetric", [[], ["--symmetric", "min"]])
def test_build_search_add_search_print_what_nearest_prints(here, run, fmt, symmetric):
    first = sorted(TEXTS, key=os.fsencode)[:8]
    ok(run("index", "build", "idx", *[f"docs/{name}" for name in first]))
    info = json.loads(ok(run("index", "info", "--format", "json", "idx")))
    assert info["documents"] == 8 and info["max_bytes"] is None
    search = ["search", "idx", "queries", "-k", "3", "--format", fmt, "--exact", *symmetric]
    nearest = ["nearest", "-k", "3", "--errors", "nan", "--format", fmt, "--query", "queries",
               *symmetric]
    assert ok(run(*search)) == ok(run(*nearest, *[f"docs/{name}" for name in first]))
    # add takes only the names it lacks; the index then holds them all
    ok(run("index", "add", "idx", "docs"))
    assert json.loads(ok(run("index", "info", "--format", "json", "idx")))["documents"] == len(TEXTS)
    assert ok(run(*search)) == ok(run(*nearest, "docs"))
    # approximate: which documents are scored may differ, never a score
    for line in ok(run(*search[:-1 - len(symmetric)], "--format", "json")).splitlines():
        row = json.loads(line)
        query, hit = QUERIES[row["query"][len("queries/"):]], TEXTS[row["hit"][len("docs/"):]]
        if not symmetric:
            assert row["score"] == _vendrask.measure(query, hit)


def test_odd_names_survive_the_names_file(here, run):
    ok(run("index", "build", "idx", "docs"))
    rows = [json.loads(line) for line in ok(run("search", "idx", "--format", "json", "-k", "50",
                                                "--exact", "queries")).splitlines()]
    assert {row["hit"] for row in rows} == {f"docs/{name}" for name in TEXTS}


@pytest.mark.parametrize("symmetric", ["mean", "min", "max"])
@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_dedup_prints_what_pairs_symmetric_prints(here, run, symmetric, fmt):
    options = ["--threshold", "0.3", "--symmetric", symmetric, "--format", fmt, "docs"]
    expected = ok(run("pairs", "--errors", "nan", *options))
    assert ok(run("dedup", "--exact", *options)) == expected
    assert set(ok(run("dedup", *options)).splitlines()) <= set(expected.splitlines())


def test_dedup_clusters_are_the_components_of_the_pairs(here, run):
    names = sorted(TEXTS, key=os.fsencode)
    pairs = [json.loads(line) for line in
             ok(run("pairs", "--symmetric", "--threshold", "0.4", "--format", "json", "docs")).splitlines()]
    where = {f"docs/{name}": i for i, name in enumerate(names)}
    edges = coo_matrix(([1] * len(pairs), ([where[p["t"]] for p in pairs], [where[p["s"]] for p in pairs])),
                       shape=(len(names), len(names)))
    _, expected = connected_components(edges, directed=False)
    rows = [json.loads(line) for line in ok(run("dedup", "--clusters", "--exact", "--threshold", "0.4",
                                                "--format", "json", "docs")).splitlines()]
    assert [row["name"] for row in rows] == [f"docs/{name}" for name in names]
    labels = [row["cluster"] for row in rows]
    assert all((labels[a] == labels[b]) == (expected[a] == expected[b])
               for a in range(len(names)) for b in range(len(names)))


@pytest.mark.parametrize("what", [["--exact"], [], ["--clusters"], ["--clusters", "--exact"]])
def test_dedup_of_a_saved_index_is_dedup_of_its_files(here, run, what):
    ok(run("index", "build", "idx", "docs"))
    options = ["--threshold", "0.3", "--format", "json", *what]
    assert ok(run("dedup", "--index", "idx", *options)) == ok(run("dedup", "docs", *options))


@pytest.mark.parametrize("argv, message", [
    (["idx"], "vendrask: idx is an index: deduplicate what it holds with --index idx"),
    (["--index", "idx", "docs"], "vendrask: --index idx is the corpus: name no DOCS beside it"),
])
def test_dedup_says_how_to_name_an_index(here, run, argv, message):
    ok(run("index", "build", "idx", "docs"))
    assert run("dedup", "--threshold", "0.5", *argv)[1:] == (b"", [message])


def test_long_documents_meet_their_copies_across_runs(here, run):
    long = b"".join(b"line %d of a long file\n" % i for i in range(2000))  # over the joint limit
    for name, data in (("a", long), ("b", long), ("c", long[:-1] + b"!")):
        with open(name, "wb") as file:
            file.write(data)
    ok(run("index", "build", "idx", "a", "docs/00.txt"))
    ok(run("index", "add", "idx", "b", "c"))
    rows = ok(run("search", "idx", "a", "--exact", "-k", "4")).decode().splitlines()
    # a itself is no hit, as in nearest; c begins alike but differs: no hit
    assert rows[1:] == ["a,b,1,1.0"]


def test_max_bytes_is_the_index_s_for_add_and_search(here, run):
    ok(run("index", "build", "--max-bytes", "20", "idx", "docs"))
    assert json.loads(ok(run("index", "info", "--format", "json", "idx")))["max_bytes"] == 20
    assert "cuts its documents to 20 bytes" in failed(run("index", "add", "--max-bytes", "30", "idx",
                                                          "queries"), 2)
    assert ok(run("search", "idx", "queries", "--exact")) == \
        ok(run("nearest", "--max-bytes", "20", "--errors", "nan", "--query", "queries", "docs"))


def test_info_is_readable(here, run):
    ok(run("index", "build", "idx", "docs"))
    lines = ok(run("index", "info", "idx")).decode().splitlines()
    assert [line.split(":")[0] for line in lines[:7]] == \
        ["documents", "distinct", "max_bytes", "zlib", "format", "degree", "bytes"]
    assert lines[0] == f"documents: {len(TEXTS)}"


def test_build_replaces_an_index_through_a_link_and_keeps_its_mode(here, run):
    ok(run("index", "build", "real", "docs/00.txt"))
    os.chmod("real", 0o600)
    os.symlink("real", "link")
    ok(run("index", "build", "link", "docs"))
    assert os.path.islink("link") and os.stat("real").st_mode & 0o777 == 0o600
    assert json.loads(ok(run("index", "info", "--format", "json", "link")))["documents"] == len(TEXTS)
    assert sorted(os.listdir()) == ["docs", "link", "queries", "real", "real.names"]  # no temporaries


def damage(how):
    with open("idx", "rb") as file:
        data = file.read()
    with open("idx.names", "rb") as file:
        names = file.read()
    if how == "truncated index":
        data = data[:len(data) // 2]
    elif how == "flipped byte":
        data = data[:100] + bytes([data[100] ^ 1]) + data[101:]
    elif how == "foreign index":
        data = b"not an index at all\n" * 10
    elif how == "truncated names":
        names = names[:len(names) // 2]
    elif how == "names of another index":
        os.rename("other.names", "idx.names")
        return
    elif how == "no names":
        os.unlink("idx.names")
        return
    with open("idx", "wb") as file:
        file.write(data)
    with open("idx.names", "wb") as file:
        file.write(names)


@pytest.mark.parametrize("how, message", [
    ("truncated index", ""), ("flipped byte", ""), ("foreign index", ""),
    ("truncated names", "idx.names: truncated or corrupt"),
    ("names of another index", "idx.names: the names of another index file"),
    ("no names", "idx.names: No such file or directory"),
])
def test_a_damaged_index_is_one_line_and_status_1(here, run, how, message):
    ok(run("index", "build", "idx", "docs"))
    ok(run("index", "build", "other", "docs/00.txt"))
    damage(how)
    for command in (["search", "idx", "queries"], ["index", "info", "idx"],
                    ["index", "add", "idx", "queries"]):
        line = failed(run(*command))
        assert line.startswith("vendrask: idx") and message in line, line


@pytest.mark.parametrize("argv, status, message", [
    (["search", "missing", "queries"], 1, "missing: No such file or directory"),
    (["index", "info", "docs"], 1, "docs: Is a directory"),
    (["index", "add", "docs", "queries"], 1, "docs: Is a directory"),
    (["index", "build", "docs", "queries"], 1, "docs: Is a directory"),
    (["index", "build", "queries/q1", "docs"], 1, "queries/q1: exists and is not a vendrask index"),
    (["index", "build", "nowhere/idx", "docs"], 1, "nowhere/idx: No such file or directory"),
    (["index", "build", "idx"], 2, "no documents given"),
    (["search", "idx"], 2, "no queries given"),
    (["search", "idx", "queries", "-k", "0"], 2, "expected 1 or more, not 0"),
    (["search", "idx", "queries", "-k", "-3"], 2, "expected 1 or more, not -3"),
    (["search", "idx", "queries", "-k", "many"], 2, "expected a whole number"),
    (["dedup", "--threshold", "1.5", "docs"], 2, "expected a score from 0 to 1"),
    (["dedup", "--threshold", "-0.1", "docs"], 2, "expected a score from 0 to 1"),
    (["dedup", "--threshold", "50", "docs"], 2, "not from 0 to 100"),
    (["dedup", "docs"], 2, "the following arguments are required: --threshold"),
    (["dedup", "--threshold", "0.5", "--errors", "raise", "docs"], 2, "invalid choice: 'raise'"),
    (["index"], 2, "expected what to do with the index: build, add, info"),
    (["index", "remove", "idx"], 2, "invalid choice: 'remove'"),
])
def test_bad_inputs_are_one_line(here, run, argv, status, message):
    if argv[0] == "search" and argv[1] == "idx":
        ok(run("index", "build", "idx", "docs"))
    line = failed(run(*argv), status)
    assert line.startswith("vendrask") and message in line, line
    assert os.path.isfile("queries/q1")  # a file that is no index is never replaced


@pytest.mark.parametrize("argv", [["search", "idx", "queries"], ["dedup", "--threshold", "0", "docs"],
                                  ["index", "info", "idx"]])
def test_a_full_disk_is_one_line_and_status_1(here, run, argv):
    ok(run("index", "build", "idx", "docs"))
    with open("/dev/full", "wb") as full:
        done = subprocess.run([sys.executable, "-m", "vendrask", *argv], stdout=full,
                              stderr=subprocess.PIPE, timeout=120)
    assert (done.returncode, done.stderr) == (1, b"vendrask: write error: No space left on device\n")
