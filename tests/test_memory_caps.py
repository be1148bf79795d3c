"""Out of memory anywhere in a job is MemoryError, never a crash: a sweep of
address-space caps just above what a warmed-up interpreter holds, each cap
in a fresh interpreter (a crash must not take the suite with it)."""
import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vendrask

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
