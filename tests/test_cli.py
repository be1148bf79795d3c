"""The vendrask command's inputs, values and formats, parsed back strictly."""
import csv
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _vendrask
from vendrask.cli.inputs import _unpaired_against, over_with_some, unpaired

ODD = os.fsdecode(b'odd, "quoted"\nname\t\\ caf\xe9.txt')  # comma, quote, newline, tab, not UTF-8
TEXTS = {
    "fox.txt": b"the quick brown fox jumps over the lazy dog",
    "dog.txt": b"the lazy dog sleeps under the quick brown fox",
    "empty.txt": b"",
    "bin.dat": bytes(range(256)) * 3,
    ODD: b"the quick brown fox sleeps",
}
NAMES = sorted(TEXTS, key=os.fsencode)


def run(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=cwd, input=stdin,
                          capture_output=True, timeout=120)


def text(data):
    return data.decode("utf-8", "surrogateescape")


@pytest.fixture
def corpus(tmp_path):
    docs = tmp_path / "docs"
    (docs / "sub").mkdir(parents=True)
    for name, data in TEXTS.items():
        (docs / name).write_bytes(data)
    (tmp_path / "half.txt").write_bytes(b"h" * 20000)
    (tmp_path / "other.txt").write_bytes(b"o" * 20000)
    (tmp_path / "big.txt").write_bytes(b"b" * 32768)
    return tmp_path


def expected_matrix(datas):
    return np.array([[_vendrask.measure(t, s) for s in datas] for t in datas])


def parse_matrix(out, fmt):
    """(labels, values) from matrix output, refusing anything malformed."""
    if fmt == "json":
        data = json.loads(text(out), parse_constant=lambda name: pytest.fail(f"bare {name}"))
        return data["files"], np.array([[np.nan if x is None else x for x in row]
                                        for row in data["matrix"]], dtype=float)
    if fmt == "csv":
        rows = list(csv.reader(io.StringIO(text(out), newline=""), strict=True))
    else:
        rows = [[unescape_tsv(field) for field in line.split("\t")] for line in text(out).split("\n")[:-1]]
    assert rows[0][0] == "" and all(len(row) == len(rows[0]) for row in rows)
    assert [row[0] for row in rows[1:]] == rows[0][1:]
    return rows[0][1:], np.array([[float(x) if x else np.nan for x in row[1:]] for row in rows[1:]])


def unescape_tsv(field):
    out, chars = [], iter(field)
    for c in chars:
        assert c not in "\t\n\r"
        out.append({"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}[next(chars)] if c == "\\" else c)
    return "".join(out)


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json"])
@pytest.mark.parametrize("symmetric", [False, True])
def test_matrix_values_and_odd_names_survive_each_format(corpus, fmt, symmetric):
    done = run("matrix", "docs", "--format", fmt, "--workers", "2",
               *(["--symmetric"] if symmetric else []), cwd=corpus)
    assert done.returncode == 0, done.stderr
    labels, values = parse_matrix(done.stdout, fmt)
    assert labels == [os.path.join("docs", name) for name in NAMES]
    expected = expected_matrix([TEXTS[name] for name in NAMES])
    if symmetric:
        expected = (expected + expected.T) * 0.5
    assert values.tobytes() == expected.tobytes()


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json"])
def test_nan_cells_are_empty_or_null(corpus, fmt):
    done = run("matrix", "docs/fox.txt", "half.txt", "other.txt", "--errors", "nan", "--format", fmt,
               cwd=corpus)
    assert done.returncode == 0, done.stderr
    labels, values = parse_matrix(done.stdout, fmt)
    datas = [TEXTS["fox.txt"], b"h" * 20000, b"o" * 20000]
    expected = expected_matrix(datas[:2])
    assert np.isnan(values[1, 2]) and np.isnan(values[2, 1])
    assert values[:2, :2].tobytes() == expected.tobytes() and values[2, 2] == 1.0


def matrix_labels(done):
    assert done.returncode == 0, done.stderr
    return parse_matrix(done.stdout, "csv")[0]


def test_each_input_form(corpus):
    docs = corpus / "docs"
    (docs / "sub" / "z.txt").write_bytes(b"z")
    (docs / "sub" / "a.txt").write_bytes(b"a")
    os.symlink("fox.txt", docs / "link.txt")  # links inside directories are not followed
    os.symlink("..", docs / "sub" / "loop")
    os.mkfifo(docs / "fifo")  # neither are other non-regular files
    found = sorted([os.path.join("docs", n) for n in NAMES] + ["docs/sub/a.txt", "docs/sub/z.txt"],
                   key=os.fsencode)
    assert matrix_labels(run("matrix", "docs", cwd=corpus)) == found
    # Files and directories keep the order given; '-' is a document from stdin.
    assert matrix_labels(run("matrix", "docs/sub", "-", "docs/fox.txt", cwd=corpus, stdin=b"x")) == \
        ["docs/sub/a.txt", "docs/sub/z.txt", "-", "docs/fox.txt"]
    (corpus / "list").write_bytes(b"docs/dog.txt\r\n\ndocs/sub\n")
    nul_list = b"docs/dog.txt\0docs/sub\0" + os.fsencode(os.path.join("docs", ODD)) + b"\0"
    for args, stdin in [(("--files-from", "-", "-0"), nul_list), (("--files-from", "list"), None)]:
        labels = matrix_labels(run("matrix", "docs/fox.txt", *args, cwd=corpus, stdin=stdin))
        assert labels == ["docs/fox.txt", "docs/dog.txt", "docs/sub/a.txt", "docs/sub/z.txt"] + \
            [os.path.join("docs", ODD)] * ("-0" in args)


def test_values_come_from_the_stdin_document_and_the_cut(corpus):
    done = run("matrix", "-", "docs/fox.txt", "half.txt", "--max-bytes", "30", cwd=corpus,
               stdin=TEXTS["dog.txt"])
    labels, values = parse_matrix(done.stdout, "csv")
    cut = [TEXTS["dog.txt"][:30], TEXTS["fox.txt"][:30], b"h" * 30]
    assert values.tobytes() == expected_matrix(cut).tobytes()


@pytest.mark.parametrize("args, stdin, out", [
    (["docs/fox.txt", "docs/dog.txt"], None, "0.56"),
    (["-", "docs/dog.txt"], TEXTS["fox.txt"], "0.56"),
    (["docs/fox.txt", "-"], TEXTS["dog.txt"], "0.56"),
    (["half.txt", "other.txt", "--max-bytes", "10"], None, repr(_vendrask.measure(b"h" * 10, b"o" * 10))),
    (["big.txt", "big.txt"], None, "1.0"),
    (["half.txt", "other.txt", "--errors", "nan"], None, "nan"),
    (["half.txt", "other.txt", "--errors", "skip"], None, ""),
])
def test_measure(corpus, args, stdin, out):
    done = run("measure", *args, cwd=corpus, stdin=stdin)
    assert (done.returncode, text(done.stdout)) == (0, out + "\n" * bool(out)), done.stderr
    assert (b"skipped" in done.stderr) == ("skip" in args)


def test_skip_leaves_out_files_that_fit_with_nothing_and_says_so(corpus):
    (corpus / "big2.txt").write_bytes(b"b" * 32768)  # a copy of big.txt: the two pair
    (corpus / "huge.txt").write_bytes(b"u" * 40000)
    done = run("matrix", "docs/fox.txt", "half.txt", "other.txt", "big.txt", "big2.txt", "huge.txt",
               "--errors", "skip", cwd=corpus)
    assert done.returncode == 0
    assert text(done.stderr) == (
        "vendrask: skipped huge.txt: 40000 bytes, over the joint size limit "
        "of 32767 bytes with every other document\n"
        "vendrask: 5 documents are over the joint size limit of 32767 bytes with some other "
        "document; those pairs are not scored (--max-bytes 16383 makes every pair fit): "
        "docs/fox.txt, half.txt, other.txt, big.txt, big2.txt\n")
    labels, values = parse_matrix(done.stdout, "csv")
    assert labels == ["docs/fox.txt", "half.txt", "other.txt", "big.txt", "big2.txt"]
    assert values[3, 4] == 1.0 and np.isnan(values[1, 2]) and np.isnan(values[0, 3])


def test_nearest_matches_a_loop_of_measure(corpus):
    datas = [TEXTS[name] for name in NAMES]
    labels = [os.path.join("docs", name) for name in NAMES]
    done = run("nearest", "-k", "2", "docs", "--format", "json", "--workers", "2", cwd=corpus)
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in text(done.stdout).splitlines()]
    expected = []
    for q, t in enumerate(datas):
        hits = sorted(((-_vendrask.measure(t, s), j) for j, s in enumerate(datas) if j != q))[:2]
        expected += [{"query": labels[q], "hit": labels[j], "rank": r, "score": -x}
                     for r, (x, j) in enumerate(hits, 1)]
    assert lines == expected
    done = run("nearest", "--query", "docs/fox.txt", "-", "-k", "9", "--format", "tsv", "--", "docs/sub",
               "docs/dog.txt", "docs/empty.txt", cwd=corpus, stdin=b"lazy dog")
    rows = [line.split("\t") for line in text(done.stdout).splitlines()]
    assert rows[0] == ["query", "hit", "rank", "score"] and len(rows) == 5
    assert rows[1] == ["docs/fox.txt", "docs/dog.txt", "1", "0.56"]
    assert rows[3][:3] == ["-", "docs/dog.txt", "1"]
    assert float(rows[3][3]) == _vendrask.measure(b"lazy dog", TEXTS["dog.txt"])


@pytest.mark.parametrize("symmetric", [None, "mean", "min", "max"])
def test_pairs_match_a_loop_of_measure_highest_first(corpus, symmetric):
    datas = [TEXTS[name] for name in NAMES]
    labels = [os.path.join("docs", name) for name in NAMES]
    m = expected_matrix(datas)
    combine = {None: lambda a, b: a, "mean": lambda a, b: (a + b) * 0.5, "min": min, "max": max}[symmetric]
    cells = [(-float(combine(m[i, j], m[j, i])), i, j) for i in range(len(datas)) for j in range(len(datas))
             if (i < j if symmetric else i != j)]
    expected = [[labels[i], labels[j], repr(-x)] for x, i, j in sorted(cells) if -x >= 0.05]
    done = run("pairs", "docs", "--threshold", "0.05", *(["--symmetric", symmetric] if symmetric else []),
               cwd=corpus)
    assert done.returncode == 0, done.stderr
    rows = list(csv.reader(io.StringIO(text(done.stdout), newline=""), strict=True))
    assert rows == [["t", "s", "score"]] + expected


@pytest.mark.parametrize("suffix", [".npy", ".npz"])
def test_matrix_saves_numpy_files_with_their_labels(corpus, suffix):
    done = run("matrix", "docs", "--output", "m" + suffix, cwd=corpus)
    assert (done.returncode, done.stdout) == (0, b""), done.stderr
    if suffix == ".npz":
        with np.load(corpus / "m.npz") as saved:
            values, labels = saved["matrix"], list(saved["files"])
    else:
        values = np.load(corpus / "m.npy")
        labels = json.loads((corpus / "m.json").read_text())["files"]
    assert labels == [os.path.join("docs", name) for name in NAMES]
    assert values.tobytes() == expected_matrix([TEXTS[name] for name in NAMES]).tobytes()
    assert sorted(os.listdir(corpus)) == sorted(["docs", "half.txt", "other.txt", "big.txt", "m" + suffix]
                                                + (["m.json"] if suffix == ".npy" else []))


def test_output_file_takes_its_format_from_its_name(corpus):
    done = run("pairs", "docs", "--threshold", "0.55", "-o", "pairs.json", cwd=corpus)
    assert (done.returncode, done.stdout) == (0, b"")
    assert [json.loads(line) for line in (corpus / "pairs.json").read_text().splitlines()] == [
        {"t": "docs/dog.txt", "s": "docs/fox.txt", "score": 0.56},
        {"t": "docs/fox.txt", "s": "docs/dog.txt", "score": 0.56}]


def test_a_query_is_not_its_own_hit(corpus):
    done = run("nearest", "-k", "1", "--query", "docs/fox.txt", "./docs/dog.txt", "--", "docs", cwd=corpus)
    assert text(done.stdout).splitlines()[1:] == ["docs/fox.txt,docs/dog.txt,1,0.56",
                                                  "./docs/dog.txt,docs/fox.txt,1,0.56"]

LENGTHS = st.sampled_from([0, 1, 100, 16383, 16384, 16385, 20000, 32767, 40000])
DOCS = st.lists(st.tuples(LENGTHS, st.sampled_from(b"ab")).map(lambda d: bytes([d[1]]) * d[0]), max_size=6)


def pairs_with(doc, other):
    return doc == other or len(doc) + len(other) <= 32767


@given(DOCS, st.one_of(st.none(), DOCS))
def test_unpaired_finds_exactly_the_long_documents_that_pair_with_nothing(ts, ss):
    # Left out: 16384 bytes or more, and no partner. A shorter document is
    # never to blame for a pair over the limit, so it stays even when it has
    # no partner (its only one being a long document that is left out).
    if ss is None:
        lone = [i for i, t in enumerate(ts) if len(ts) > 1 and len(t) >= 16384 and
                not any(pairs_with(t, u) for j, u in enumerate(ts) if j != i)]
        assert unpaired(ts) == (lone, lone)
    else:
        assert unpaired(ts, ss) == (
            [i for i, t in enumerate(ts) if len(t) >= 16384 and not any(pairs_with(t, s) for s in ss)],
            [j for j, s in enumerate(ss) if len(s) >= 16384 and not any(pairs_with(t, s) for t in ts)])


@given(DOCS, DOCS, st.one_of(st.none(), DOCS))
def test_unpaired_against_a_longer_list_and_over_with_some_agree_pair_by_pair(docs, more, others):
    # As the index commands ask: new documents against themselves and the
    # documents already kept, their own positions first.
    pool = docs + more
    gone = [i for i, t in enumerate(docs) if len(pool) > 1 and len(t) >= 16384
            and not any(pairs_with(t, u) for j, u in enumerate(pool) if j != i)]
    assert _unpaired_against(docs, pool, itself=True) == gone
    against = docs if others is None else others
    assert over_with_some(docs, others) == [
        i for i, t in enumerate(docs) if any(t != u and not pairs_with(t, u) for u in against)]


def test_a_long_document_alone_against_itself_is_kept():
    long = b"a" * 20000
    assert _unpaired_against([long], [long], itself=True) == []  # an IndexError before
    assert unpaired([long]) == ([], []) and unpaired([long], []) == ([0], [])


# ---------------------------------------------------------------- the modules

CLI = os.path.join(os.path.dirname(__file__), os.pardir, "python", "vendrask", "cli")
CLI_MODULES = sorted(name[:-3] for name in os.listdir(CLI) if name.endswith(".py"))


def _imports(module):
    """The modules of vendrask.cli that ``module`` imports, at load or in a function."""
    import ast
    with open(os.path.join(CLI, module + ".py"), encoding="utf-8") as file:
        tree = ast.parse(file.read())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            found |= {node.module} if node.module else {alias.name for alias in node.names}
    return found & set(CLI_MODULES)


def test_no_module_of_the_command_imports_one_that_imports_it_back():
    graph = {module: _imports(module) for module in CLI_MODULES}

    def reached(start):
        seen, todo = set(), [start]
        while todo:
            for module in graph[todo.pop()] - seen:
                seen.add(module)
                todo.append(module)
        return seen
    assert [module for module in CLI_MODULES if module in reached(module)] == []


@pytest.mark.parametrize("module", CLI_MODULES)
def test_each_module_of_the_command_imports_alone(run_python, module):
    done = run_python(f"import vendrask.cli.{module}" if module != "__init__" else
                      "import vendrask.cli")
    assert done.returncode == 0, done.stderr
