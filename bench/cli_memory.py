"""Peak memory of `vendrask matrix` against the API for the same job.

Writes N small files cut from the licence texts every Debian box has (the same
files on every run), then runs, side by side and alternately, a script that
reads them and calls vendrask.matrix, and the command on the same folder with
its output to /dev/null, in each format. Reports each one's peak RSS (the
child's ru_maxrss) and wall time, and the command's ratio to the API.

    python bench/cli_memory.py [--count 2000] [--rounds 1] [--workers 2]

Each round runs five jobs of COUNT**2 pairs: about two minutes each for 2000
files on two busy cores.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

LICENCES = "/usr/share/common-licenses"
LIMIT = 1.3  # the command may peak at most this much above the API

API_JOB = """
import os, sys, vendrask
folder, workers = sys.argv[1], int(sys.argv[2])
paths = sorted((os.path.join(folder, name) for name in os.listdir(folder)), key=os.fsencode)
docs = []
for path in paths:
    with open(path, "rb") as file:
        docs.append(file.read())
values = vendrask.matrix(docs, workers=workers)
"""


def make_corpus(folder, count):
    texts = []
    for name in sorted(os.listdir(LICENCES)):
        path = os.path.join(LICENCES, name)
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as file:
                texts.append(file.read())
    for i in range(count):
        text = texts[i % len(texts)]
        size = 200 + (i * 37) % 600
        start = (i * 7919) % max(1, len(text) - size)
        with open(os.path.join(folder, f"doc{i:05}.txt"), "wb") as file:
            file.write(text[start:start + size])


def peak(command):
    """(peak RSS in MiB, seconds) of a child process, its output thrown away."""
    started = time.perf_counter()
    with open(os.devnull, "wb") as null:
        child = subprocess.Popen(command, stdout=null)
        _, status, usage = os.wait4(child.pid, 0)
    if status:
        raise SystemExit(f"failed ({status}): {' '.join(command)}")
    return usage.ru_maxrss / 1024, time.perf_counter() - started


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--count", type=int, default=2000)
    options.add_argument("--rounds", type=int, default=1)
    options.add_argument("--workers", type=int, default=2)
    args = options.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        make_corpus(folder, args.count)
        jobs = {"API: vendrask.matrix": [sys.executable, "-c", API_JOB, folder, str(args.workers)]}
        for fmt in ("csv", "json"):
            jobs[f"vendrask matrix --format {fmt}"] = [
                sys.executable, "-m", "vendrask", "matrix", folder, "--format", fmt,
                "--workers", str(args.workers), "--no-progress"]
        jobs["vendrask matrix --symmetric"] = jobs["vendrask matrix --format csv"] + ["--symmetric"]
        jobs["vendrask matrix -o m.npy"] = [
            sys.executable, "-m", "vendrask", "matrix", folder, "--workers", str(args.workers),
            "-o", os.path.join(folder, "..", f"cli_memory_{os.getpid()}.npy")]
        results = {name: [] for name in jobs}
        for _ in range(args.rounds):
            for name, command in jobs.items():
                results[name].append(peak(command))
        for leftover in (".npy", ".json"):
            try:
                os.unlink(os.path.join(folder, "..", f"cli_memory_{os.getpid()}{leftover}"))
            except OSError:
                pass
    api = statistics.median(rss for rss, _ in results["API: vendrask.matrix"])
    print(f"{args.count} files of 200-800 bytes, {args.workers} workers, median of {args.rounds} rounds")
    print(f"{'job':32} {'peak RSS':>10} {'ratio':>7} {'time':>8}")
    worst = 0.0
    for name, runs in results.items():
        rss = statistics.median(r for r, _ in runs)
        seconds = statistics.median(t for _, t in runs)
        worst = max(worst, rss / api)
        print(f"{name:32} {rss:7.1f} MiB {rss / api:6.2f}x {seconds:7.2f} s")
    print(f"highest ratio {worst:.2f}x (limit {LIMIT}x): {'ok' if worst <= LIMIT else 'OVER'}")
    return 0 if worst <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main())
