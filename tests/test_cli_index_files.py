"""The command's index files: INDEX and INDEX.names written only through
temporary files of their own, read only when they are regular files, and
every fault one line."""
import json
import os
import resource
import struct
import subprocess
import sys
import zlib

import pytest

from vendrask import _files, _store

HANG_GUARD = 120  # seconds: only against a hang, never a measure of speed
MEMORY_GUARD = 2 << 30  # a child reading /dev/zero without end stops here, not the machine

TEXTS = {f"{i:02}.txt": b"%d: " % i + b" ".join([b"the quick brown fox", b"lorem ipsum dolor",
                                                 b"disk full on sda1"][i % 3:] * (4 + i % 5))
         for i in range(12)}


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for folder in ("docs", "queries"):
        os.mkdir(folder)
    for name, data in TEXTS.items():
        (tmp_path / "docs" / name).write_bytes(data)
    (tmp_path / "queries" / "q").write_bytes(b"the quick brown fox: the lazy dog")
    return tmp_path


def ok(done):
    assert done[0] == 0, done
    return done[1]


def child(*argv):
    """The command in a child process whose memory is bounded, with a hang
    guard: (status, stderr)."""
    def bounded():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_GUARD, MEMORY_GUARD))
    options = {"preexec_fn": bounded}
    if os.environ.get("VENDRASK_SANITIZED"):
        # AddressSanitizer reserves terabytes of shadow at start: cap the
        # resident size instead of the address space.
        asan = os.environ.get("ASAN_OPTIONS", "")
        options = {"env": dict(os.environ,
                               ASAN_OPTIONS=f"{asan}:hard_rss_limit_mb={2 * MEMORY_GUARD >> 20}")}
    done = subprocess.run([sys.executable, "-m", "vendrask", *argv], capture_output=True,
                          timeout=HANG_GUARD, stdin=subprocess.DEVNULL, **options)
    return done.returncode, done.stderr.decode("utf-8", "surrogateescape")


# ---------------------------------------------------------------- writing

def test_links_planted_at_the_temporary_names_are_never_written_through(here, run):
    victim = here / "victim"
    victim.write_bytes(b"private")
    os.chmod(victim, 0o600)
    for name in ("idx", "idx.names"):  # the names temporaries used to have
        os.symlink(victim, here / f".{name}.{os.getpid()}.tmp")
    ok(run("index", "build", "idx", "docs"))
    assert victim.read_bytes() == b"private"
    assert not os.path.islink("idx.names") and not os.path.islink("idx")
    assert len(json.loads(open("idx.names").read())["names"]) == len(TEXTS)
    ok(run("search", "idx", "queries"))


@pytest.mark.parametrize("argv", [["index", "build", "NAME", "docs"],
                                  ["matrix", "docs", "-o", "NAME.csv"]])
def test_a_name_as_long_as_allowed_is_written(here, run, argv):
    # Temporary names are cut to fit: NAME plus a suffix of their own would not.
    name = "n" * (255 - len(".names") if argv[0] == "index" else 255 - len(".csv"))
    ok(run(*[arg.replace("NAME", name) for arg in argv]))
    if argv[0] == "index":
        assert json.loads(ok(run("index", "info", "--format", "json", name)))["documents"] == 12
    assert not [n for n in os.listdir() if n.endswith(".tmp")]


def test_a_stale_temporary_of_a_killed_build_goes_at_the_next_run(here, run):
    ok(run("index", "build", "idx", "docs"))
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, timeout=HANG_GUARD, check=True)
    dead = int(gone.stdout)
    stale = [f".{name}.{dead}.{_files._host_tag()}.0123abcd.tmp" for name in ("idx", "idx.names")]
    live = f".idx.{os.getpid()}.{_files._host_tag()}.0123abcd.tmp"
    for name in stale + [live]:
        (here / name).write_bytes(b"partial")
    ok(run("index", "info", "idx"))
    assert sorted(n for n in os.listdir() if n.endswith(".tmp")) == [live]


# ---------------------------------------------------------------- reading

def _fifo(path):
    os.mkfifo(path)


def _zero(path):
    os.symlink("/dev/zero", path)


@pytest.mark.parametrize("argv", [["index", "info", "INDEX"], ["search", "INDEX", "queries"],
                                  ["index", "add", "INDEX", "queries"]])
@pytest.mark.parametrize("which, make, kind", [
    ("INDEX", _fifo, "a FIFO"), ("INDEX", _zero, "a character device"),
    ("INDEX.names", _fifo, "a FIFO"), ("INDEX.names", _zero, "a character device"),
])
def test_a_special_file_is_one_line_at_once(here, run, argv, which, make, kind):
    ok(run("index", "build", "idx", "docs"))
    if which == "INDEX":
        index, path, what = "special", "special", "an index"
    else:
        index, path, what = "idx", "idx.names", "the names file of an index"
        names = (here / path).read_bytes()
        os.unlink(path)
    make(here / path)
    status, err = child(*[arg.replace("INDEX", index) for arg in argv])
    assert (status, err) == (1, f"vendrask: {path}: not a regular file (it is {kind}): {what} "
                                f"is a regular file\n")
    assert os.path.islink(path) or not os.path.isfile(path)  # left as it was
    if which == "INDEX.names":
        os.unlink(path)
        (here / path).write_bytes(names)
        ok(run("index", "info", "idx"))  # nothing else was touched


def test_dev_zero_as_the_index_is_one_line_at_once(here):
    for argv in (["index", "info", "/dev/zero"], ["search", "/dev/zero", "queries"]):
        assert child(*argv) == (1, "vendrask: /dev/zero: not a regular file (it is a character "
                                   "device): an index is a regular file\n")


def _deep_header(data):
    start = len(_store.MAGIC) + 8
    size, = struct.unpack_from("<Q", data, len(_store.MAGIC))
    header = data[start:start + size - 1] + b', "deep": ' + b"[" * 100000 + b"]" * 100000 + b"}"
    return (_store.MAGIC + struct.pack("<Q", len(header)) + header
            + struct.pack("<I", zlib.crc32(header)))


def test_a_header_nested_too_deep_is_one_line(here, run):
    ok(run("index", "build", "idx", "docs"))
    (here / "idx").write_bytes(_deep_header((here / "idx").read_bytes()))
    status, _, err = run("index", "info", "idx")
    assert (status, err) == (1, ["vendrask: idx: corrupt (the header is not JSON)"])
