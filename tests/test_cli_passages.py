"""The window index on the command line: index build --window, search's
offsets and lengths, index info and add, and the one-line errors of the
window options."""
import json
import os

import pytest

import _vendrask
from vendrask import WindowIndex
from corpora import stdlib_chunks

CHUNKS = stdlib_chunks(40, 1024)
FILES = {f"{k:02}.py": b"".join(CHUNKS[6 * k:6 * k + 4 + k % 3]) for k in range(6)}
FILES["short.txt"] = "une phrase courte, née à Noël".encode()
PASSAGE = FILES["03.py"][1500:1900]


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkdir("docs")
    for name, data in FILES.items():
        with open(os.path.join("docs", name), "wb") as file:
            file.write(data)
    with open("q.txt", "wb") as file:
        file.write(PASSAGE)
    return tmp_path


def ok(done):
    """The output of a run that succeeded, as text."""
    status, out, err = done
    assert status == 0, err
    return out.decode()


def records(out):
    return [json.loads(line) for line in out.splitlines()]


@pytest.mark.parametrize("primed_by", ["query", "document"])
@pytest.mark.parametrize("exact", [[], ["--exact"]])
def test_search_prints_the_document_and_where_its_best_window_lies(here, run, primed_by, exact):
    ok(run("index", "build", "w.idx", "docs", "--window", "1k", "--overlap", "512"))
    out = ok(run("search", "w.idx", "q.txt", "-k", "3", "--format", "json",
                 "--primed-by", primed_by, *exact))
    hits = records(out)
    assert [hit["rank"] for hit in hits] == [1, 2, 3]
    assert hits[0]["hit"] == os.path.join("docs", "03.py")
    for hit in hits:
        with open(hit["hit"], "rb") as file:
            window = file.read()[hit["offset"]:hit["offset"] + hit["length"]]
        pair = (PASSAGE, window) if primed_by == "query" else (window, PASSAGE)
        assert hit["score"] == _vendrask.measure(*pair)
    # The best window covers most of the passage (which window wins between
    # two that both overlap it depends on the text).
    start, end = 1500, 1900  # where PASSAGE was cut from
    covered = min(end, hits[0]["offset"] + hits[0]["length"]) - max(start, hits[0]["offset"])
    assert covered >= (end - start) // 2
    # What the command prints is what the class answers.
    index = WindowIndex.load("w.idx")
    found = index.nearest([PASSAGE], k=3, primed_by=primed_by, exact=bool(exact))
    assert [hit["score"] for hit in hits] == found.scores[0].tolist()
    assert [hit["offset"] for hit in hits] == found.offsets[0].tolist()


def test_csv_has_the_offset_and_length_columns(here, run):
    ok(run("index", "build", "w.idx", "docs", "--window", "2048"))
    lines = ok(run("search", "w.idx", "q.txt", "-k", "1")).splitlines()
    assert lines[0] == "query,hit,offset,length,rank,score"
    assert lines[1].startswith(f"q.txt,{os.path.join('docs', '03.py')},")


def test_info_shows_the_windowing_and_add_grows_the_index(here, run):
    names = sorted(FILES)
    ok(run("index", "build", "w.idx", *[f"docs/{n}" for n in names[:3]], "--window", "1k",
           "--overlap", "0"))
    info = records(ok(run("index", "info", "w.idx", "--format", "json")))[0]
    assert (info["documents"], info["window"], info["overlap"]) == (3, 1024, 0)
    assert info["text_bytes"] == sum(len(FILES[n]) for n in names[:3])
    text = ok(run("index", "info", "w.idx"))
    assert "window: 1024\noverlap: 0\n" in text and text.startswith("documents: 3\nwindows: ")
    ok(run("index", "add", "w.idx", "docs"))
    info = records(ok(run("index", "info", "w.idx", "--format", "json")))[0]
    assert info["documents"] == len(FILES) and info["window"] == 1024
    assert info["windows"] > 3 and info["text_bytes"] == sum(map(len, FILES.values()))
    # the added documents are found, at the window that holds the passage
    hit = records(ok(run("search", "w.idx", "q.txt", "-k", "1", "--format", "json",
                         "--primed-by", "document")))[0]
    assert hit["hit"] == os.path.join("docs", "03.py") and hit["length"] == 1024


def test_plain_indexes_search_with_primed_by_and_keep_their_columns(here, run):
    ok(run("index", "build", "p.idx", "docs"))
    out = ok(run("search", "p.idx", "q.txt", "-k", "2", "--primed-by", "document", "--exact"))
    lines = out.splitlines()
    assert lines[0] == "query,hit,rank,score"
    best = max(FILES, key=lambda n: _vendrask.measure(FILES[n], PASSAGE)
               if len(FILES[n]) + len(PASSAGE) <= 32767 else -1)
    assert lines[1].startswith(f"q.txt,{os.path.join('docs', best)},1,")


def test_a_window_index_is_refused_where_a_plain_one_is_needed_and_the_reverse(here, run):
    ok(run("index", "build", "w.idx", "docs", "--window", "1k"))
    from vendrask import Index, IndexFileError
    with pytest.raises(IndexFileError, match="windows"):
        Index.load("w.idx")
    ok(run("index", "build", "p.idx", "docs"))
    with pytest.raises(IndexFileError, match="whole documents"):
        WindowIndex.load("p.idx")


@pytest.mark.parametrize("argv, status, message", [
    (["--window", "0"], 2, "argument --window: expected 1 or more, not 0"),
    (["--window", "x"], 2, "argument --window: expected a number of bytes"),
    (["--window", "-5"], 2, "argument --window: expected 1 or more, not -5"),
    (["--window", "16k"], 2, "--window 16384: at most 16383 bytes"),
    (["--overlap", "10"], 2, "--overlap needs --window"),
    (["--window", "1k", "--overlap", "1k"], 2, "--overlap 1024: less than the window (1024 bytes)"),
    (["--window", "1k", "--overlap", "4096"], 2, "--overlap 4096: less than the window"),
    (["--window", "1k", "--overlap", "-1"], 2, "argument --overlap: expected 0 or more, not -1"),
])
def test_bad_window_options_are_one_line(here, run, argv, status, message):
    done = run("index", "build", "w.idx", "docs", *argv)
    assert done[0] == status and message in done[2][-1], done
    assert not os.path.exists("w.idx")


def test_add_takes_the_window_of_the_index(here, run):
    ok(run("index", "build", "w.idx", "docs/00.py", "--window", "1k"))
    done = run("index", "add", "w.idx", "docs", "--window", "2k")
    assert done[0] == 2 and "unrecognized arguments: --window" in done[2][-1]


def test_a_query_too_long_for_every_window_is_skipped_with_errors_skip(here, run):
    with open("big.txt", "wb") as file:  # windows of 4096 bytes each
        file.write(b"".join(FILES[name] for name in sorted(FILES)))
    ok(run("index", "build", "w.idx", "big.txt", "--window", "4k"))
    with open("long.txt", "wb") as file:
        file.write(b"x" * (32767 - 4096 + 1))
    status, out, err = run("search", "w.idx", "long.txt", "q.txt", "--errors", "skip", "-k", "1")
    assert status == 0 and "long.txt" in err[-1] and "window of the index" in err[-1]
    assert out.splitlines()[1].startswith(b"q.txt,big.txt,")
    # without: the long query finds nothing, the other its window
    out = ok(run("search", "w.idx", "long.txt", "q.txt", "-k", "1"))
    assert [line.split(",")[0] for line in out.splitlines()] == ["query", "q.txt"]


@pytest.mark.parametrize("errors", ["nan", "skip"])
def test_documents_over_the_joint_limit_are_windows_like_any_other(here, run, errors):
    # Whole, they pair with no other; cut into windows, every pair fits:
    # nothing to warn of and nothing to leave out.
    for name in ("long1.py", "long2.py"):
        with open(os.path.join("docs", name), "wb") as file:
            file.write(b"".join(CHUNKS) * 2)
    status, _, err = run("index", "build", "w.idx", "docs", "--window", "2048",
                         "--errors", errors)
    assert (status, err) == (0, [])
    assert WindowIndex.load("w.idx").info()["documents"] == len(FILES) + 2
