"""Side-by-side timings, all in one run on one machine:

1. _vendrask.measure against a pure-Python measure on the standard library's
   zlib (tests/reference.py), per joint-size class, in a plain interpreter and
   in one that has imported numpy (which changes how glibc's malloc treats
   zlib's 270 KB of stream state: see the README);
2. vendrask.matrix on 100 documents of about 2 KB, with 1 worker and with all
   cores, against a Python loop of _vendrask.measure over all ordered pairs;
3. the peak memory of a matrix of 1000 documents.

Run: python bench/compare.py   (after pip install .)
"""
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import _vendrask  # noqa: E402
import reference  # noqa: E402

JOINT_SIZES = (100, 1024, 8192, 32767)
WORDS = [bytes(random.Random(i).choices(b"abcdefghijklmnopqrstuvwxyz", k=1 + i % 9)) for i in range(400)]


def document(size, seed):
    """Text-like bytes from a shared vocabulary, so documents overlap."""
    rng = random.Random(seed)
    return b" ".join(rng.choices(WORDS[:60 + seed % 200], k=size))[:size]


def per_call(function, *args, budget=0.4):
    """Median seconds per call over rounds of about `budget` seconds each."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            function(*args)
        if time.perf_counter() - start > budget / 10:
            break
        calls *= 2
    rounds = []
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(calls):
            function(*args)
        rounds.append((time.perf_counter() - start) / calls)
    return statistics.median(rounds)


def single_times():
    """Prints, per joint size, seconds per call of _vendrask and of pure Python."""
    for joint in JOINT_SIZES:
        text = document(joint, joint)
        t, s = text[: joint // 2], text[joint // 2:]
        assert _vendrask.measure(t, s) == reference.measure(t, s)
        ours, theirs = [], []
        for _ in range(3):  # interleaved, so drifts in machine load hit both
            ours.append(per_call(_vendrask.measure, t, s))
            theirs.append(per_call(reference.measure, t, s))
        print(joint, min(ours), min(theirs))


def single_measures():
    print("1. One measure: _vendrask.measure against pure Python on zlib")
    print(f"   {'':>10} {'plain interpreter':^33} {'after import numpy':^33}")
    print(f"   {'joint size':>10}" + f" {'vendrask':>10} {'pure Python':>12} {'ratio':>8}" * 2)
    runs = []
    for prelude in ("", "import numpy; "):
        code = prelude + "import sys; sys.path.insert(0, sys.argv[1]); import compare; compare.single_times()"
        out = subprocess.run([sys.executable, "-c", code, HERE], capture_output=True, text=True, check=True)
        runs.append([line.split() for line in out.stdout.splitlines()])
    for plain, busy in zip(*runs):
        cells = "".join(f" {float(o) * 1e6:>8.1f}us {float(p) * 1e6:>10.1f}us {float(p) / float(o):>7.2f}x"
                        for _, o, p in (plain, busy))
        print(f"   {plain[0]:>10}{cells}")


def matrices():
    import vendrask

    docs = [document(2048, seed) for seed in range(100)]
    cores = os.cpu_count() or 1
    print("\n2. All ordered pairs of 100 documents of 2 KB: vendrask.matrix against a loop of measure")

    def loop():
        return [[_vendrask.measure(t, s) for s in docs] for t in docs]

    assert (vendrask.matrix(docs, workers=cores) == loop()).all()
    times = {"loop": [], "1": [], str(cores): []}
    for _ in range(3):
        start = time.perf_counter()
        loop()
        times["loop"].append(time.perf_counter() - start)
        for workers in (1, cores):
            start = time.perf_counter()
            vendrask.matrix(docs, workers=workers)
            times[str(workers)].append(time.perf_counter() - start)
    base = min(times["loop"])
    print(f"   {'loop of measure':<24} {base:>7.3f}s")
    for workers in (1, cores):
        best = min(times[str(workers)])
        print(f"   {f'matrix, {workers} worker(s)':<24} {best:>7.3f}s {base / best:>6.2f}x")


def peak_memory():
    code = (
        "import resource, sys; sys.path.insert(0, sys.argv[1]); from compare import document; import vendrask\n"
        "docs = [document(1024, seed) for seed in range(1000)]\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "m = vendrask.matrix(docs, workers=-1)\n"
        "after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "print(before, after, m.nbytes)\n")
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code, HERE], capture_output=True, text=True, check=True).stdout
    seconds = time.perf_counter() - start
    before, after, result = map(int, out.split())
    print(f"\n3. Matrix of 1000 documents of 1 KB, all cores: {seconds:.1f}s")
    print(f"   peak RSS {after / 1024:.1f} MiB, of which {(after - before) / 1024:.1f} MiB for the job "
          f"(result {result / 2**20:.1f} MiB)")


if __name__ == "__main__":
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, zlib {__import__('zlib').ZLIB_RUNTIME_VERSION}\n")
    single_measures()
    matrices()
    peak_memory()
