"""The vendrask command's grammar: --query, --symmetric, negative numbers,
documents among the options, and usage errors that say what was expected."""
import os
import subprocess
import sys

import pytest

import _vendrask
from vendrask.cli.errors import STATUSES
from vendrask.cli.run import parse

HINT = "repeat --query for each query file, or end a list of them with --"
TEXTS = {
    "fox": b"the quick brown fox jumps over the lazy dog",
    "dog": b"the lazy dog sleeps under the quick brown fox",
    "cat": b"a cat sleeps in the sun all day long, the lazy cat",
    "log": b"error: disk full on /dev/sda1; the quick brown fox log line",
}


@pytest.fixture(autouse=True)
def elsewhere(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # d, d1 and d2 are files here; no other word is
    for name in ("d", "d1", "d2"):
        (tmp_path / name).write_bytes(b"")


def rejected(capsys, *argv):
    """The last line argparse printed for a usage error (status 2)."""
    with pytest.raises(SystemExit) as stop:
        parse(list(argv))
    assert stop.value.code == 2
    return capsys.readouterr().err.splitlines()[-1]


@pytest.mark.parametrize("argv, queries, docs", [
    (["-k", "3", "--query", "q", "d"], ["q"], ["d"]),
    (["--query", "q1", "--query", "q2", "d"], ["q1", "q2"], ["d"]),
    (["--query", "q1", "q2", "d"], ["q1"], ["q2", "d"]),  # without a later --, one file each
    (["d1", "--query", "q", "d2"], ["q"], ["d1", "d2"]),
    (["--query=q", "d"], ["q"], ["d"]),
    (["--que", "q", "d"], ["q"], ["d"]),
    (["--query", "-", "d"], ["-"], ["d"]),
    # A run of files ended by a later -- is a list of queries, as it always was.
    (["--query", "q1", "q2", "--", "d"], ["q1", "q2"], ["d"]),
    (["--query", "q1", "-", "-k", "9", "--", "d1", "d2"], ["q1", "-"], ["d1", "d2"]),
    (["--query", "q1", "q2", "--query", "q3", "--", "d"], ["q1", "q2", "q3"], ["d"]),
    (["--query", "q", "--", "--query", "q2"], ["q"], ["--query", "q2"]),  # after --, documents
    (["--", "d", "--workers", "3"], None, ["d", "--workers", "3"]),
])
def test_query_takes_one_file_or_a_list_ended_by_double_dash(argv, queries, docs):
    args = parse(["nearest", *argv])
    assert (args.query, args.docs) == (queries, docs)


@pytest.mark.parametrize("command", ["matrix", "nearest", "pairs"])
@pytest.mark.parametrize("argv, symmetric, docs", [
    (["d"], None, ["d"]),
    (["--symmetric", "d"], "mean", ["d"]),
    (["--symmetric", "min", "d"], "min", ["d"]),
    (["d", "--symmetric"], "mean", ["d"]),
    (["d", "--symmetric", "max"], "max", ["d"]),
    (["--symmetric=max", "d"], "max", ["d"]),
    (["--sym", "min", "d"], "min", ["d"]),
    (["--symmetric", "--workers", "2", "d"], "mean", ["d"]),
    (["--symmetric", "-", "d"], "mean", ["-", "d"]),
    (["--symmetric", "--", "min"], "mean", ["min"]),  # a document named min
    (["d1", "--symmetric", "d2", "--workers", "2", "d"], "mean", ["d1", "d2", "d"]),
])
def test_one_symmetric_option_whose_choice_may_be_left_out(command, argv, symmetric, docs):
    threshold = ["--threshold", "0"] if command == "pairs" else []
    args = parse([command, *threshold, *argv])
    assert (args.symmetric, args.docs) == (symmetric, docs)


@pytest.mark.parametrize("command", ["matrix", "nearest", "pairs"])
@pytest.mark.parametrize("argv", [
    ["--workers", "-1", "d"], ["d", "--workers", "-1"], ["--workers=-1", "d"], ["--work", "-1", "d"],
    ["-0", "--workers", "-1", "d"],
])
def test_workers_minus_one_in_every_form(command, argv):
    threshold = ["--threshold", "0"] if command == "pairs" else []
    args = parse([command, *threshold, *argv])
    assert (args.workers, args.docs) == (-1, ["d"])


@pytest.mark.parametrize("argv, name, value", [
    (["pairs", "--threshold", "0", "d"], "threshold", 0.0),
    (["pairs", "--threshold", "1e-3", "d"], "threshold", 0.001),
    (["pairs", "--threshold", "1", "d"], "threshold", 1.0),
    (["nearest", "--score-cutoff", "0.25", "d"], "score_cutoff", 0.25),
    (["nearest", "-k", "2147483647", "d"], "k", 2147483647),
    (["matrix", "--max-bytes", "16k", "d"], "max_bytes", 16384),
    (["matrix", "--max-bytes", "16K", "d"], "max_bytes", 16384),
    (["matrix", "--max-bytes", "2M", "d"], "max_bytes", 2 * 1024 * 1024),
    (["matrix", "--max-bytes", "2m", "d"], "max_bytes", 2 * 1024 * 1024),
    (["matrix", "--max-bytes", "16000", "d"], "max_bytes", 16000),
    (["matrix", "--glob", "*.txt", "--glob=*.md", "d"], "glob", ["*.txt", "*.md"]),
    (["matrix", "--exclude", "__pycache__", "d"], "exclude", ["__pycache__"]),
    (["matrix", "d"], "hidden", False),
    (["pairs", "--threshold", "0", "--hidden", "d"], "hidden", True),
    (["nearest", "--primed-by", "document", "d"], "primed_by", "document"),
    (["nearest", "d"], "primed_by", "query"),
])
def test_option_values(argv, name, value):
    assert getattr(parse(argv), name) == value


@pytest.mark.parametrize("argv, line", [
    (["nearest", "--query"], f"vendrask nearest: error: argument --query: expected one argument; {HINT}"),
    (["nearest", "--query", "--", "d"],
     f"vendrask nearest: error: argument --query: expected one argument; {HINT}"),
    (["nearest", "-k", "-1", "d"], "vendrask nearest: error: argument -k: expected 1 or more, not -1"),
    (["matrix", "--max-bytes", "-5", "d"],
     "vendrask matrix: error: argument --max-bytes: expected 1 or more, not -5"),
    (["pairs", "--threshold", "0", "--workers", "-2", "d"],
     "vendrask pairs: error: argument --workers: expected 1 or more, or -1 for every core, not -2"),
    (["matrix", "--workers", "-0", "d"],
     "vendrask matrix: error: argument --workers: expected 1 or more, or -1 for every core, not 0"),
    (["nearest", "--workers", "two", "d"],
     "vendrask nearest: error: argument --workers: expected a whole number, not 'two'"),
    (["pairs", "--threshold", "nan", "d"], "vendrask pairs: error: argument --threshold: expected a number, not nan"),
    # Scores run from 0 to 1: 80 is rapidfuzz's scale, and would silently find nothing.
    (["pairs", "--threshold", "80", "d"],
     "vendrask pairs: error: argument --threshold: expected a score from 0 to 1, not 80: vendrask's "
     "scores run from 0 to 1 (not from 0 to 100, as rapidfuzz's do)"),
    (["pairs", "--threshold", "-0.5", "d"],
     "vendrask pairs: error: argument --threshold: expected a score from 0 to 1, not -0.5: vendrask's "
     "scores run from 0 to 1 (not from 0 to 100, as rapidfuzz's do)"),
    (["nearest", "--score-cutoff", "80", "d"],
     "vendrask nearest: error: argument --score-cutoff: expected a score from 0 to 1, not 80: "
     "vendrask's scores run from 0 to 1 (not from 0 to 100, as rapidfuzz's do)"),
    (["nearest", "--score-cutoff=1.5", "d"],
     "vendrask nearest: error: argument --score-cutoff: expected a score from 0 to 1, not 1.5: "
     "vendrask's scores run from 0 to 1 (not from 0 to 100, as rapidfuzz's do)"),
    # Absurd counts and sizes are usage errors, not "out of memory" or an OverflowError.
    (["nearest", "-k", "2147483648", "d"],
     "vendrask nearest: error: argument -k: expected at most 2147483647, not 2147483648"),
    (["matrix", "--max-bytes", "99999999999999999999999", "d"],
     "vendrask matrix: error: argument --max-bytes: expected at most 2147483647 bytes (2047M), "
     "not 99999999999999999999999"),
    (["matrix", "--max-bytes", "4096M", "d"],
     "vendrask matrix: error: argument --max-bytes: expected at most 2147483647 bytes (2047M), not 4096M"),
    (["matrix", "--max-bytes", "16kb", "d"],
     "vendrask matrix: error: argument --max-bytes: expected a number of bytes, such as 16384 or 16k "
     "(k: 1024, M: 1024*1024), not '16kb'"),
    (["matrix", "--max-bytes", "0k", "d"], "vendrask matrix: error: argument --max-bytes: expected 1 or more, not 0k"),
    (["matrix", "--workers", "99999999999", "d"],
     "vendrask matrix: error: argument --workers: expected at most 2147483647, not 99999999999"),
    (["matrix", "--plot", "m.gif", "d"],
     "vendrask matrix: error: argument --plot: 'm.gif': expected a name ending in .png, .svg, .pdf"),
    ([], "vendrask: error: expected a command: measure, matrix, nearest, pairs, index, search, dedup, doctor"),
    (["measure", "d", "d1", "d2"],
     "vendrask measure: error: unrecognized arguments: d2; vendrask measure --help lists what it takes"),
    (["doctor", "d"], "vendrask doctor: error: unrecognized arguments: d; vendrask doctor --help lists what it takes"),
])
def test_usage_errors_say_what_was_expected(capsys, argv, line):
    assert rejected(capsys, *argv) == line


def test_a_plain_word_after_symmetric_that_is_no_file_is_a_wrong_choice(capsys):
    assert rejected(capsys, "matrix", "--symmetric", "median", "d") == (
        "vendrask matrix: error: argument --symmetric: 'median' is neither one of mean, min, max nor a file")


@pytest.mark.parametrize("argv, option, wrong", [
    (["pairs", "--threshold", "0", "--symmetric=avg", "d"], "--symmetric", "avg"),
    (["nearest", "--primed-by", "hit", "d"], "--primed-by", "hit"),
])
def test_a_wrong_choice_lists_the_choices(capsys, argv, option, wrong):
    line = rejected(capsys, *argv)
    assert line.startswith(f"vendrask {argv[0]}: error: argument {option}: invalid choice: '{wrong}'")
    assert "choose from" in line


@pytest.mark.parametrize("command", ["measure", "matrix", "nearest", "pairs", "doctor", None])
def test_help_lists_every_exit_status(capsys, command):
    with pytest.raises(SystemExit) as stop:
        parse([command, "--help"] if command else ["--help"])
    assert stop.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    for status, meaning in STATUSES:
        assert f"{status} {meaning}" in text
    if command == "nearest":
        assert "measure(query, hit): the hit compressed with the query as the preset dictionary" in text


# ------------------------------------------------ the command on real files

def run(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=cwd, input=stdin,
                          capture_output=True, timeout=120)


@pytest.fixture
def corpus(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    for name, data in TEXTS.items():
        (docs / name).write_bytes(data)
    return tmp_path


def hits(done):
    assert done.returncode == 0, done.stderr
    return [line.split(",") for line in done.stdout.decode().splitlines()[1:]]


COMBINE = {
    (): lambda q, d: _vendrask.measure(q, d),
    ("--primed-by", "document"): lambda q, d: _vendrask.measure(d, q),
    ("--symmetric",): lambda q, d: (_vendrask.measure(q, d) + _vendrask.measure(d, q)) * 0.5,
    ("--symmetric", "min"): lambda q, d: min(_vendrask.measure(q, d), _vendrask.measure(d, q)),
    ("--primed-by", "document", "--symmetric", "max"):
        lambda q, d: max(_vendrask.measure(q, d), _vendrask.measure(d, q)),
}


@pytest.mark.parametrize("options", list(COMBINE))
@pytest.mark.parametrize("spelling", [
    ["--query", "docs/fox", "--query", "docs/log", "docs"],
    ["docs", "--query", "docs/fox", "--query=docs/log"],
    ["--query", "docs/fox", "docs/log", "--", "docs"],
])
def test_nearest_scores_each_direction_as_asked(corpus, options, spelling):
    done = run("nearest", "-k", "2", *options, *spelling, cwd=corpus)
    expected = []
    for query in ("fox", "log"):
        scored = sorted((-COMBINE[options](TEXTS[query], TEXTS[name]), f"docs/{name}")
                        for name in sorted(TEXTS) if name != query)  # a query is not its own hit
        expected += [[f"docs/{query}", hit, str(rank), repr(-score)]
                     for rank, (score, hit) in enumerate(scored[:2], 1)]
    assert hits(done) == expected


def test_query_then_a_directory_searches_the_directory(corpus):
    # Before, --query took every path after it and found no documents.
    done = run("nearest", "-k", "3", "--query", "docs/cat", "docs", cwd=corpus)
    assert [row[:3] for row in hits(done)] == [["docs/cat", "docs/dog", "1"], ["docs/cat", "docs/fox", "2"],
                                               ["docs/cat", "docs/log", "3"]]


@pytest.mark.parametrize("argv", [
    ["matrix", "docs"], ["matrix", "--symmetric", "min", "docs"], ["nearest", "-k", "2", "docs"],
    ["nearest", "--query", "docs/fox", "docs"], ["pairs", "--threshold", "0.1", "docs"],
    ["pairs", "--threshold", "0", "--symmetric", "docs"],
])
def test_workers_minus_one_gives_the_one_thread_output(corpus, argv):
    one, every = (run(*argv, "--workers", workers, cwd=corpus) for workers in ("1", "-1"))
    assert every.returncode == 0, every.stderr
    assert (every.stdout, every.stderr) == (one.stdout, one.stderr) and every.stdout


def test_matrix_symmetric_min_is_not_a_document(corpus):
    done = run("matrix", "--symmetric", "min", "docs/fox", "docs/dog", cwd=corpus)
    assert done.returncode == 0, done.stderr
    low = min(_vendrask.measure(TEXTS["fox"], TEXTS["dog"]), _vendrask.measure(TEXTS["dog"], TEXTS["fox"]))
    assert done.stdout.decode().splitlines()[1] == f"docs/fox,1.0,{low!r}"


@pytest.mark.parametrize("argv, message", [
    (["nearest", "--query", "docs/fox"],
     "vendrask: no documents given to search the queries in: name files or directories besides the "
     f"queries, or --files-from PATH ({HINT})\n"),
    (["pairs", "--threshold", "0", "-o", "p.npy", "docs"],
     "vendrask: p.npy: only matrix writes .npy and .npz files; pairs writes .csv, .tsv or .json\n"),
    (["nearest", "--query", "-", "-"],
     "vendrask: standard input can be read only once: name '-' once, as a document, a query or the "
     "--files-from list\n"),
])
def test_usage_errors_found_after_parsing(corpus, argv, message):
    done = run(*argv, cwd=corpus, stdin=b"")
    assert (done.returncode, done.stdout, done.stderr.decode()) == (2, b"", message)
    assert not os.path.exists(corpus / "p.npy")
