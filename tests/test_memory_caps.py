"""Out of memory anywhere in a job is MemoryError, never a crash: a sweep of
address-space caps just above what a warmed-up interpreter holds, each cap
in a fresh interpreter (a crash must not take the suite with it)."""
import errno
import hashlib
import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vendrask
from vendrask import _optional

SANITIZED = bool(os.environ.get("VENDRASK_SANITIZED"))

DOCS = [b"lorem ipsum dolor %d sit amet " % i * (3 + i % 5) for i in range(600)]
JOBS = {"pdist": "vendrask.pdist(docs, workers=2)",
        "nearest": "vendrask.nearest(docs, k=5, workers=2)",
        "matrix": "vendrask.matrix(docs, workers=2)"}

CAPPED = textwrap.dedent("""
    import hashlib, resource, sys
    import numpy as np
    import vendrask
    docs = [b"lorem ipsum dolor %d sit amet " % i * (3 + i % 5) for i in range(600)]
    small = docs[:50]
    vendrask.pdist(small), vendrask.nearest(small, k=3), vendrask.matrix(small)

    def digest(result):
        parts = result if isinstance(result, tuple) else (result,)
        return hashlib.sha256(b"".join(np.ascontiguousarray(p).tobytes() for p in parts)).hexdigest()

    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    limit = size + int(sys.argv[1]) * 256 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    for name, job in {JOBS}.items():
        try:
            outcome = digest(eval(job))
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as error:
            outcome = "%s: %s" % (type(error).__name__, error)
        print(name, outcome, sep="|", flush=True)
""").replace("{JOBS}", repr(JOBS))


def digest(result):
    parts = result if isinstance(result, tuple) else (result,)
    return hashlib.sha256(b"".join(np.ascontiguousarray(p).tobytes() for p in parts)).hexdigest()


@pytest.mark.skipif(SANITIZED, reason="address-space caps mean nothing under ASan")
def test_every_cap_gives_the_exact_result_or_memory_error():
    names = {"vendrask": vendrask, "docs": DOCS}
    expected = {name: digest(eval(job, names)) for name, job in JOBS.items()}
    outcomes = []
    for step in range(0, 48, 2):
        done = subprocess.run([sys.executable, "-c", CAPPED, str(step)], capture_output=True,
                              text=True, timeout=120)
        # A signal (a crash) or glibc giving up would show here.
        assert done.returncode == 0, (step, done.returncode, done.stderr[-2000:])
        for line in done.stdout.splitlines():
            name, outcome = line.split("|", 1)
            outcomes.append("exact" if outcome == expected[name] else outcome)
    # Threads that cannot start leave the job to the calling thread.
    assert set(outcomes) <= {"exact", "MemoryError"}, set(outcomes)
    assert "exact" in outcomes and "MemoryError" in outcomes  # the sweep spans the edge


# -- the index under caps: BLAS, whose buffers are mapped at a thread's first
# call, ends the process (rc 1) where it cannot map them; the index keeps out
# of it, and lazy imports of scipy tell lack of memory from a missing package.

INDEX_DOCS = [b"lorem ipsum dolor %d sit amet " % i * (3 + i % 5) for i in range(600)]

INDEX_CAPPED = textwrap.dedent("""
    import hashlib, resource, sys
    import numpy as np
    import vendrask
    docs = [b"lorem ipsum dolor %d sit amet " % i * (3 + i % 5) for i in range(600)]
    vendrask.pdist(docs[:50])  # the native module's threads, once; no BLAS
    loaded = vendrask.Index.load(sys.argv[2])

    def digest(index):
        scores, indices = index.neighbors(5)
        return hashlib.sha256(scores.tobytes() + indices.tobytes()).hexdigest()

    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    limit = size + int(sys.argv[1]) * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    for name, job in (("build", lambda: vendrask.Index(docs)),
                      ("add", lambda: (loaded.add(docs[300:]), loaded)[1])):
        try:
            outcome = digest(job())
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as error:
            outcome = "%s: %s" % (type(error).__name__, error)
        print(name, outcome, sep="|", flush=True)
""")


def index_digest(index):
    scores, indices = index.neighbors(5)
    return hashlib.sha256(scores.tobytes() + indices.tobytes()).hexdigest()


@pytest.mark.skipif(SANITIZED, reason="address-space caps mean nothing under ASan")
def test_an_index_build_and_add_under_caps_give_the_exact_index_or_memory_error(tmp_path):
    path = tmp_path / "half.idx"
    vendrask.Index(INDEX_DOCS[:300]).save(path)
    grown = vendrask.Index.load(path)
    grown.add(INDEX_DOCS[300:])
    expected = {"build": index_digest(vendrask.Index(INDEX_DOCS)), "add": index_digest(grown)}
    outcomes = {"build": [], "add": []}
    for megabytes in range(0, 128, 8):
        done = subprocess.run([sys.executable, "-c", INDEX_CAPPED, str(megabytes), str(path)],
                              capture_output=True, text=True, timeout=120)
        # OpenBLAS giving up ("Memory allocation still failed after 10
        # retries") ends the process with rc 1; a crash with a signal.
        assert done.returncode == 0, (megabytes, done.returncode, done.stderr[-2000:])
        for line in done.stdout.splitlines():
            name, outcome = line.split("|", 1)
            outcomes[name].append("exact" if outcome == expected[name] else outcome)
    for name, seen in outcomes.items():
        assert set(seen) <= {"exact", "MemoryError"}, (name, seen)
        assert "exact" in seen and "MemoryError" in seen, (name, seen)  # the sweep spans the edge


SCIPY_CAPPED = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from vendrask._optional import need
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    limit = size + int(sys.argv[1]) * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        need("scipy.sparse.csgraph", "Index.clusters").connected_components
        print("loaded", flush=True)
    except MemoryError:
        print("MemoryError", flush=True)
    except BaseException as error:
        print("%s: %s" % (type(error).__name__, error), flush=True)
""")


@pytest.mark.skipif(SANITIZED, reason="address-space caps mean nothing under ASan")
def test_loading_scipy_under_caps_loads_it_or_gives_memory_error():
    pytest.importorskip("scipy.sparse.csgraph")
    outcomes = []
    for megabytes in range(0, 240, 24):
        try:
            done = subprocess.run([sys.executable, "-c", SCIPY_CAPPED, str(megabytes)],
                                  capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            # OpenBLAS, loaded without room for its buffers, loops forever.
            outcomes.append("hung")
            continue
        assert done.returncode == 0, (megabytes, done.returncode, done.stderr[-2000:])
        outcomes.append(done.stdout.strip())
    # An installed scipy that cannot be mapped is no missing package.
    assert set(outcomes) <= {"loaded", "MemoryError"}, outcomes
    assert "loaded" in outcomes and "MemoryError" in outcomes, outcomes


# -- need(): the reasons an import fails, told apart

@pytest.mark.parametrize("failure, kind, words", [
    (ImportError("libscipy_openblas.so: failed to map segment from shared object"),
     MemoryError, "out of memory while loading"),
    (ImportError("libx.so: cannot map zero-fill pages"), MemoryError, "out of memory"),
    (OSError(errno.ENOMEM, "Cannot allocate memory"), MemoryError, "out of memory"),
    (MemoryError(), MemoryError, "Index.clusters: out of memory while loading fake_pkg.sub"),
    (ImportError("libgomp.so: cannot allocate memory in static TLS block"), ImportError,
     "Index.clusters needs fake_pkg (libgomp.so: cannot allocate memory in static TLS block): "
     "pip install 'vendrask[index]'"),
    (ImportError("numpy.core.multiarray failed to import"), ImportError,
     "Index.clusters needs fake_pkg (numpy.core.multiarray failed to import): "
     "pip install 'vendrask[index]'"),
])
def test_need_tells_lack_of_memory_from_a_broken_package(monkeypatch, failure, kind, words):
    def fail(name):
        assert name == "fake_pkg.sub"
        raise failure
    monkeypatch.setattr(_optional.importlib, "import_module", fail)
    with pytest.raises(kind) as raised:
        _optional.need("fake_pkg.sub", "Index.clusters")
    assert type(raised.value) is kind
    assert words in str(raised.value)


def test_need_names_what_to_install_for_a_missing_package():
    with pytest.raises(ImportError) as raised:
        _optional.need("vendrask_absent_package.sub", "Index.clusters", "plot")
    assert str(raised.value) == ("Index.clusters needs vendrask_absent_package (No module named "
                                 "'vendrask_absent_package'): pip install 'vendrask[plot]'")


def test_need_gives_a_loaded_scipy_however_little_room_is_left(monkeypatch):
    csgraph = pytest.importorskip("scipy.sparse.csgraph")
    monkeypatch.setattr(_optional, "_BLAS_LOADED", "scipy.vendrask_never_loaded")
    monkeypatch.setattr(_optional, "headroom", lambda: 0)
    assert _optional.need("scipy.sparse.csgraph", "Index.clusters") is csgraph


def test_need_refuses_to_load_scipys_blas_without_room_for_it(monkeypatch):
    pytest.importorskip("scipy")
    monkeypatch.setattr(_optional, "_BLAS_LOADED", "scipy.vendrask_never_loaded")
    monkeypatch.setattr(_optional, "headroom", lambda: 10 << 20)
    monkeypatch.setattr(_optional, "blas_threads", lambda: 2)
    with pytest.raises(MemoryError) as raised:
        _optional.need("scipy.vendrask_absent", "Index.clusters")
    assert str(raised.value) == ("Loading scipy.vendrask_absent for Index.clusters takes about "
                                 "144 MiB of address space; 10 MiB are left under this "
                                 "process's limit")


@pytest.mark.parametrize("environment, threads", [
    ({"OPENBLAS_NUM_THREADS": "3", "OMP_NUM_THREADS": "5"}, 3),
    ({"GOTO_NUM_THREADS": "4", "OMP_NUM_THREADS": "5"}, 4),
    ({"OPENBLAS_NUM_THREADS": "", "OMP_NUM_THREADS": "5"}, 5),
    ({"OPENBLAS_NUM_THREADS": "many", "OMP_NUM_THREADS": "0"}, None),
    ({"OPENBLAS_NUM_THREADS": "1000"}, 64),
])
def test_blas_threads_follow_openblas_rule(monkeypatch, environment, threads):
    for name in ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    cpus = min(len(os.sched_getaffinity(0)), 64)
    assert _optional.blas_threads() == (cpus if threads is None else threads)


@pytest.mark.parametrize("soft_as, soft_data, expected", [
    (None, None, None),
    (1 << 40, None, "as"),
    (None, 1 << 40, "data"),
    (1 << 40, 1 << 41, "as"),
    (0, None, 0),
])
def test_headroom_is_what_the_tightest_limit_leaves(monkeypatch, soft_as, soft_data, expected):
    infinity = resource.RLIM_INFINITY
    limits = {resource.RLIMIT_AS: soft_as, resource.RLIMIT_DATA: soft_data}
    monkeypatch.setattr(_optional.resource, "getrlimit",
                        lambda which: (infinity if limits.get(which) is None else limits[which],
                                       infinity))
    sizes = {"VmSize:": 3 << 30, "VmData:": 1 << 30}
    monkeypatch.setattr(_optional, "_status", sizes.get)
    want = {"as": (1 << 40) - (3 << 30), "data": (1 << 40) - (1 << 30)}.get(expected, expected)
    assert _optional.headroom() == want


@pytest.mark.parametrize("value", [127, -127])
def test_sketch_dots_without_blas_are_the_exact_integers(value):
    from vendrask import _sketch
    rng = np.random.default_rng(7)
    rows = rng.integers(-127, 128, (300, _sketch.DIM)).astype(np.int8)
    rows[0] = value  # the largest dots there are: DIM * 127^2, below 2^24
    queries = np.concatenate([rows[:1], -rows[:1], rows[1:40]]).astype(np.float32)
    dots = _sketch._dots(queries, rows.astype(np.float32))
    exact = queries.astype(np.int64) @ rows.astype(np.int64).T
    assert dots.dtype == np.float32
    assert np.array_equal(dots, exact)
    assert dots[0, 0] == _sketch.DIM * 127 ** 2
