"""The index commands as users met them: the progress bar, documents cut
past half the joint limit, names that outlive the working folder, and a
query that is itself indexed."""
import json
import math
import os

import pytest

pytest.importorskip("scipy.sparse")

import tqdm  # noqa: E402

from vendrask.cli import bar  # noqa: E402
from vendrask.cli import index as index_commands  # noqa: E402

TEXTS = {f"{i:02}.txt": b"%s %d: " % (topic, i % 3) + b" ".join([topic] * (5 + i % 4)) + b" end"
         for i, topic in enumerate([b"the quick brown fox", b"lorem ipsum dolor sit amet",
                                    b"error: disk full on sda1", b"warning: low memory"] * 10)}


@pytest.fixture
def here(tmp_path, monkeypatch):
    (tmp_path / "docs").mkdir()
    for name, data in TEXTS.items():
        (tmp_path / "docs" / name).write_bytes(data)
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path)
    return tmp_path


def ok(done):
    """The output of a run that succeeded, as text (names as os.fsdecode gives them)."""
    assert done[0] == 0, done[2]
    return done[1].decode("utf-8", "surrogateescape")


# ---------------------------------------------------------------- the bar

class Recorded:
    """Stands for tqdm: keeps every position the bar was drawn at."""
    made = []

    def __init__(self, total, **options):
        self.total, self.n, self.seen, self.closed = total, 0, [], False
        Recorded.made.append(self)

    def update(self, count):
        assert count > 0, "the bar moved back"
        self.n += count
        self.seen.append((self.n, self.total))

    def refresh(self):
        self.seen.append((self.n, self.total))

    def close(self):
        self.closed = True


@pytest.fixture
def recorded(monkeypatch):
    Recorded.made = []
    monkeypatch.setattr(tqdm, "tqdm", Recorded)
    return Recorded.made


def drive(reports, share=(0.0, 1.0)):
    """A bar of a job of unknown size fed ``reports``; the per cent shown
    after each."""
    progress = bar.ProgressBar(True, "test")
    progress.plan(1000, 0)
    stage = progress.callback(*share)
    shown = []
    for done, total in reports:
        stage(done, total)
        shown.append(100 * progress.bar.n / progress.bar.total)
    return progress, shown


# How an index build reported before its reports were made monotone: the
# sizes first (done == total at once), then batches of pairs, each raising
# the total and ending at it; and how nearest did, from the queries' sizes.
BUILD_AS_IT_WAS = [(0, 340), (340, 340), (340, 8188), (2476, 8188), (8188, 8188), (8188, 15000),
                   (12000, 15000), (15000, 15000), (15000, 28448), (27688, 28448), (28448, 28466),
                   (28466, 28466)]
SEARCH_AS_IT_WAS = [(0, 200), (200, 200), (200, 12446), (6000, 12446), (13396, 15002),
                    (15002, 15002)]
# Reports whose ratio never falls, from an estimate raised ahead of the work.
ESTIMATED = [(done, 30000 if done < 15000 else 32000) for done in range(0, 32000, 1600)] + \
    [(32000, 32000)]
NONSENSE = [(5, 0), (-1, 10), (float("nan"), 10), (10, float("nan")), (10, math.inf), (20, 10),
            (3, 10), (1, 10), ("x", 10), (None, None), (10, 10)]


@pytest.mark.parametrize("reports", [BUILD_AS_IT_WAS, SEARCH_AS_IT_WAS, ESTIMATED, NONSENSE],
                         ids=["build", "search", "estimated", "nonsense"])
@pytest.mark.parametrize("share", [(0.0, 1.0), (0.5, 0.5)])
def test_the_bar_never_moves_back_nor_ends_before_the_call_returns(recorded, reports, share):
    progress, shown = drive(reports, share)
    start, size = (100 * x for x in share)
    assert shown == sorted(shown) and shown[-1] < start + size and max(shown) < 100
    if reports is not NONSENSE:  # the sizes, done == total in a moment, are not the job done
        assert shown[1] <= start + size / 2
    if reports is ESTIMATED:  # a steady estimate is followed
        assert all(abs(a - start - size * done / total) <= 1
                   for a, (done, total) in zip(shown[:-2], reports))
    progress.reached(sum(share))
    assert 100 * progress.bar.n / progress.bar.total >= min(start + size, 99)
    progress.close()
    assert recorded[0].closed


def test_writing_moves_the_bar_only_when_planned(recorded):
    progress = bar.ProgressBar(True, "test")
    progress.plan(100, 0)
    progress.written(3000)
    assert progress.bar.n == 0
    progress.plan(100, 3000)  # 100 scores' worth of output
    progress.reached(1.0)
    progress.written(3000)
    assert progress.bar.n == math.floor(200 * bar.SHOWN_BEFORE_THE_END)


@pytest.mark.parametrize("argv", [
    ["index", "build", "--progress", "idx", "docs"],
    ["search", "--progress", "-k", "3", "idx", "docs/03.txt", "docs/07.txt"],
    ["search", "--progress", "--exact", "idx", "docs/03.txt"],
    ["dedup", "--progress", "--threshold", "0.5", "docs"],
    ["dedup", "--progress", "--exact", "--clusters", "--threshold", "0.5", "docs"],
], ids=["build", "search", "search exact", "dedup", "dedup exact"])
def test_the_commands_bars_move_forward_and_end_with_the_work(here, run, recorded, argv):
    if argv[0] == "search":
        ok(run("index", "build", "idx", "docs"))
        recorded.clear()
    ok(run(*argv))
    (drawn,) = recorded
    assert drawn.closed and drawn.seen
    positions = [n for n, _ in drawn.seen]
    assert positions == sorted(positions)
    assert all(n < total for n, total in drawn.seen)  # 100% is the work done: the bar closed
    assert positions[-1] >= 0.9 * drawn.total


# ---------------------------------------------------------------- --max-bytes past half the limit

@pytest.fixture
def long_files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in ("a", "b", "c"):
        (tmp_path / name).write_bytes((b"%s line of a long file\n" % name.encode()) * 1000)
    (tmp_path / "short").write_bytes(b"a short one")
    return tmp_path


NOTE = ("vendrask: --max-bytes 16384 is over 16383: two different documents cut to it are 32768 "
        "bytes together, over the joint size limit of 32767 bytes, and are never scored together "
        "(--max-bytes 16383 or less lets every pair fit)")


@pytest.mark.parametrize("argv, said", [
    (["dedup", "--threshold", "0", "--max-bytes", "16k", "a", "b", "short"], True),
    (["dedup", "--threshold", "0", "--max-bytes", "16383", "a", "b", "short"], False),
    (["dedup", "--threshold", "0", "--max-bytes", "16k", "a", "short"], False),  # one cut: no pair
    (["index", "build", "--max-bytes", "16k", "idx", "a", "b"], True),
    (["matrix", "--errors", "nan", "--max-bytes", "16k", "a", "b"], True),
    (["matrix", "--errors", "nan", "--max-bytes", "40000", "a", "b"], False),  # nothing cut
])
def test_cutting_past_half_the_limit_says_the_cut_documents_never_meet(long_files, run, argv, said):
    status, _, err = run(*argv)
    assert status == 0, err
    assert (NOTE in err) == said, err


@pytest.mark.parametrize("command", [["index", "add", "idx"], ["search", "idx"]])
def test_one_cut_document_meeting_a_cut_one_of_the_index_is_said(long_files, run, command):
    ok(run("index", "build", "--max-bytes", "16k", "idx", "a", "short"))
    status, _, err = run(*command, "b")
    assert status == 0 and NOTE in err, err


# ---------------------------------------------------------------- names outlive the working folder

def test_a_file_added_again_from_another_folder_is_left_out(here, run, monkeypatch):
    ok(run("index", "build", "idx", "docs/00.txt", "docs/01.txt"))
    monkeypatch.chdir(here / "elsewhere")
    os.symlink(here / "docs" / "01.txt", "link")
    status, _, err = run("index", "add", "../idx", "../docs/00.txt", str(here / "docs" / "01.txt"),
                         "link", "../docs/02.txt")
    assert status == 0
    assert err == ["vendrask: left out 3 documents already in the index: ../docs/00.txt, "
                   f"{here}/docs/01.txt, link"]
    rows = ok(run("search", "-k", "10", "--exact", "../idx", "../docs/03.txt")).splitlines()[1:]
    hits = [row.split(",")[1] for row in rows]
    assert sorted(hits) == [f"{here}/docs/0{i}.txt" for i in range(3)]  # each once, absolute
    monkeypatch.chdir(here)  # from where it was built: the names as given
    rows = ok(run("search", "-k", "10", "--exact", "idx", "docs/03.txt")).splitlines()[1:]
    assert sorted(row.split(",")[1] for row in rows) == [f"docs/0{i}.txt" for i in range(3)]


def test_names_of_an_earlier_version_still_read_and_match(here, run):
    ok(run("index", "build", "idx", "docs/00.txt", "docs/01.txt"))
    with open("idx.names") as file:
        record = json.load(file)
    record["names"] = ["docs/00.txt", "docs/01.txt"]  # relative, as they were recorded
    with open("idx.names", "w") as file:
        json.dump(record, file)
    status, _, err = run("index", "add", "idx", "docs/01.txt", "./docs/00.txt", "docs/02.txt")
    assert status == 0 and err == ["vendrask: left out 2 documents already in the index: "
                                   "docs/01.txt, ./docs/00.txt"]
    rows = ok(run("search", "-k", "10", "idx", "docs/03.txt")).splitlines()[1:]
    assert sorted(row.split(",")[1] for row in rows) == [f"docs/0{i}.txt" for i in range(3)]


def test_add_with_another_max_bytes_says_what_the_index_does(here, run):
    ok(run("index", "build", "idx", "docs/00.txt"))
    status, _, err = run("index", "add", "--max-bytes", "1000", "idx", "docs/01.txt")
    assert status == 2 and err[-1] == ("vendrask: --max-bytes 1000: idx keeps its documents whole, "
                                       "and so does add (leave out --max-bytes)")


# ---------------------------------------------------------------- a query that is indexed

@pytest.mark.parametrize("options", [[], ["--symmetric", "min"], ["--format", "json", "-k", "1"],
                                     ["--score-cutoff", "0.5"]])
def test_search_exact_prints_what_nearest_prints_for_indexed_queries(here, run, options):
    ok(run("index", "build", "idx", "docs"))
    queries = ["docs/00.txt", "docs/05.txt", "docs/17.txt"]
    nearest = ["nearest", "--errors", "nan", *options, "--query", *queries, "--", "docs"]
    search = ok(run("search", "--exact", *options, "idx", *queries))
    assert search == ok(run(*nearest))
    assert "docs/00.txt,docs/00.txt" not in search  # never its own hit
    # a copy under another name is another document, at 1.0; a link is the file itself
    (here / "copy.txt").write_bytes(TEXTS["00.txt"])
    os.symlink("docs/05.txt", "link.txt")
    rows = ok(run("search", "--exact", "-k", "1", "idx", "copy.txt", "link.txt")).splitlines()
    assert rows[1] == "copy.txt,docs/00.txt,1,1.0" and not rows[2].startswith("link.txt,docs/05.txt")
