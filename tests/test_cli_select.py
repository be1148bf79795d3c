"""Which files of a directory are documents: --glob, --exclude, --hidden."""
import csv
import io
import subprocess
import sys

import pytest

from vendrask.cli.errors import UsageError
from vendrask.cli.inputs import Selection, _Pattern

TREE = ["a.txt", "b.md", "__pycache__/a.cpython-311.pyc", "sub/c.txt", "sub/d.py", "sub/deep/e.txt",
        "sub/deep/f.pyc", ".hidden.txt", ".git/config", "sub/.env", "notes/sub/g.txt"]


@pytest.fixture
def tree(tmp_path):
    for name in TREE:
        path = tmp_path / "docs" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(name.encode() + b" is here")
    return tmp_path


def found(tree, *args):
    done = subprocess.run([sys.executable, "-m", "vendrask", "matrix", *args], cwd=tree, capture_output=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    header = next(csv.reader(io.StringIO(done.stdout.decode())))
    return sorted(label[len("docs/"):] if label.startswith("docs/") else label for label in header[1:])


VISIBLE = sorted(name for name in TREE if not any(part.startswith(".") for part in name.split("/")))


@pytest.mark.parametrize("args, expected", [
    ([], VISIBLE),  # hidden files and folders are left out
    (["--hidden"], sorted(TREE)),
    (["--glob", "*.txt"], ["a.txt", "notes/sub/g.txt", "sub/c.txt", "sub/deep/e.txt"]),
    (["--glob", "*.txt", "--hidden"], [".hidden.txt", "a.txt", "notes/sub/g.txt", "sub/c.txt", "sub/deep/e.txt"]),
    (["--glob", "*.txt", "--glob", "*.md"], ["a.txt", "b.md", "notes/sub/g.txt", "sub/c.txt", "sub/deep/e.txt"]),
    (["--glob", "sub/*"], ["sub/c.txt", "sub/d.py"]),  # anchored: * stays in one folder
    (["--glob", "/sub/*.txt"], ["sub/c.txt"]),
    (["--glob", "sub"], None),  # as in ripgrep, a --glob matches files: sub/** for all under sub
    (["--glob", "sub/**"], ["sub/c.txt", "sub/d.py", "sub/deep/e.txt", "sub/deep/f.pyc"]),
    (["--glob", "**/deep/*"], ["sub/deep/e.txt", "sub/deep/f.pyc"]),
    (["--glob", "sub/**/*.txt"], ["sub/c.txt", "sub/deep/e.txt"]),
    (["--glob", "[ab].*"], ["__pycache__/a.cpython-311.pyc", "a.txt", "b.md"]),  # the name at any depth
    (["--glob", "[!ab]*.txt"], ["notes/sub/g.txt", "sub/c.txt", "sub/deep/e.txt"]),
    (["--glob", "?.md"], ["b.md"]),
    (["--exclude", "__pycache__", "--exclude", "*.pyc"],
     ["a.txt", "b.md", "notes/sub/g.txt", "sub/c.txt", "sub/d.py", "sub/deep/e.txt"]),
    (["--exclude", "sub/"], ["__pycache__/a.cpython-311.pyc", "a.txt", "b.md"]),  # every folder named sub
    (["--exclude", "/sub"], ["__pycache__/a.cpython-311.pyc", "a.txt", "b.md", "notes/sub/g.txt"]),
    (["--exclude", "*.txt/"], VISIBLE),  # folders only: no folder ends in .txt
    (["--glob", "*.txt", "--exclude", "deep"], ["a.txt", "notes/sub/g.txt", "sub/c.txt"]),
    (["--glob", "*.TXT"], None),  # case matters
])
def test_patterns_pick_files_under_the_directory_given(tree, args, expected):
    if expected is None:
        done = subprocess.run([sys.executable, "-m", "vendrask", "matrix", "docs", *args], cwd=tree,
                              capture_output=True, timeout=120)
        assert (done.returncode, done.stderr) == (1, b"vendrask: no documents: the inputs hold no regular files\n")
        return
    assert found(tree, "docs", *args) == expected


def test_patterns_are_relative_to_each_directory_given(tree):
    # sub/* would match docs/sub/c.txt from docs; from docs/sub, it matches nothing but deeper down.
    assert found(tree, "docs/sub", "docs/notes", "--glob", "deep/*") == ["sub/deep/e.txt", "sub/deep/f.pyc"]
    assert found(tree, "docs/sub", "--glob", "*.py") == ["sub/d.py"]


def test_files_named_and_hidden_directories_named_are_taken(tree):
    assert found(tree, "docs/sub/d.py", "docs/.hidden.txt", "docs", "--glob", "*.md") == \
        [".hidden.txt", "b.md", "sub/d.py"]
    assert found(tree, "docs/.git") == [".git/config"]  # named: read though hidden


def test_our_own_temporary_output_is_hidden(tree):
    (tree / "docs" / ".out.csv.123.tmp").write_bytes(b"partial")
    assert found(tree, "docs") == VISIBLE


@pytest.mark.parametrize("pattern, path, is_folder, matches", [
    ("*.txt", "a/b/c.txt", False, True),
    ("a/*.txt", "a/b/c.txt", False, False),
    ("a/**/c.txt", "a/c.txt", False, True),
    ("a/**/c.txt", "a/b/x/c.txt", False, True),
    ("**", "a/b", False, True),
    ("a/**", "a", True, False),
    ("\\*.txt", "*.txt", False, True),
    ("\\*.txt", "a.txt", False, False),
    ("build/", "x/build", True, True),
    ("build/", "x/build", False, False),
    ("a**b", "axxb", False, True),
    ("a**b", "ax/b", False, False),
    ("[a-c]", "b", False, True),
    ("[a-c]", "/", False, False),
    ("[", "[", False, True),
])
def test_one_pattern(pattern, path, is_folder, matches):
    assert _Pattern(pattern).match(path, is_folder) is matches


@pytest.mark.parametrize("pattern", ["", "/", "//"])
def test_an_empty_pattern_is_a_usage_error(pattern):
    with pytest.raises(UsageError):
        Selection([pattern])


def test_the_help_explains_the_options(tree):
    done = subprocess.run([sys.executable, "-m", "vendrask", "matrix", "--help"], capture_output=True, timeout=60)
    text = " ".join(done.stdout.decode().split())
    for said in ("--glob PATTERN", "--exclude PATTERN", "--hidden", "16k: 16384", ".gitignore",
                 "keeping its mode", "a device, FIFO or /dev/stdout is written to directly",
                 "16384 bytes or more that fits with no other document"):
        assert said in text, said
