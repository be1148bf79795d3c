"""vendrask.Index against exact search: recall@10 and cost, on real text.

    python bench/index_bench.py --corpus code --n 10000
    python bench/index_bench.py --corpus prose --n 10000 --degree 16 --rounds 6
    python bench/index_bench.py --corpus code --n 10000 100000 --only build
    python bench/index_bench.py --corpus code --n 100000 --sample 100 --only neighbors

Corpora, cut into distinct chunks of about 1 KB: "code" (the standard
library's .py files), "prose" (package descriptions from `apt-cache
dumpavail` and /usr/share/doc/*/copyright). The exact answer is computed for
--sample random rows against every document; the exact functions' time for
all rows is that sample's time times (n - 1) / (2 * sample), over the same
documents and workers: the full job compresses each unordered pair once each
way, n (n - 1) compressions, where the sample's rows against all documents
take 2 * sample * n. Prints
one line per measurement; figures vary with the machine's load.
"""
import argparse
import glob
import resource
import subprocess
import sys
import time

import numpy as np

import vendrask

CHUNK = 1024


def code_chunks():
    for path in sorted(glob.glob(f"{sys.base_prefix}/lib/python3*/**/*.py", recursive=True)):
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError:
            continue
        for at in range(0, len(data) - CHUNK // 2, CHUNK):
            yield data[at:at + CHUNK]


def prose_chunks():
    text = subprocess.run(["apt-cache", "dumpavail"], capture_output=True).stdout
    paragraphs = []
    for block in text.split(b"\n\n"):
        lines = [line for line in block.split(b"\n") if line.startswith((b"Description", b" "))]
        if lines:
            paragraphs.append(b"\n".join(lines))
    for path in sorted(glob.glob("/usr/share/doc/*/copyright")):
        try:
            with open(path, "rb") as file:
                paragraphs.append(file.read())
        except OSError:
            pass
    buffer = b""
    for paragraph in paragraphs:
        buffer += paragraph + b"\n\n"
        while len(buffer) >= CHUNK:
            yield buffer[:CHUNK]
            buffer = buffer[CHUNK:]


def corpus(kind, n):
    seen, out = set(), []
    for chunk in (code_chunks if kind == "code" else prose_chunks)():
        if chunk not in seen and len(chunk.strip()) > 200:
            seen.add(chunk)
            out.append(chunk)
            if len(out) == n:
                break
    if len(out) < n:
        sys.exit(f"only {len(out)} distinct chunks in the {kind} corpus")
    rng = np.random.default_rng(0)
    return [out[i] for i in rng.permutation(n)]


def exact_sample(docs, rows, k, symmetric, workers):
    """Exact top k (own row left out) of the sampled rows, and its time."""
    start = time.perf_counter()
    scores, index = vendrask.nearest([docs[r] for r in rows], docs, k=k + 1, symmetric=symmetric,
                                     workers=workers, errors="nan")
    took = time.perf_counter() - start
    own = index == np.asarray(rows)[:, None]
    order = np.argsort(own, axis=1, kind="stable")
    scores = np.take_along_axis(np.where(own, np.nan, scores), order, axis=1)[:, :k]
    return scores, took


def recall(approx, exact):
    kth = np.nanmin(np.where(np.isnan(exact), np.inf, exact), axis=1)
    wanted = np.sum(~np.isnan(exact), axis=1)
    found = np.minimum(np.sum(approx >= kth[:, None], axis=1), wanted)
    return found.sum() / max(1, wanted.sum())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", choices=("code", "prose"), default="code")
    parser.add_argument("--n", type=int, nargs="+", default=[10000])
    parser.add_argument("--sample", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--degree", type=int, default=24)
    parser.add_argument("--candidates", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--only", choices=("build", "neighbors", "all"), default="all",
                        help="stop after the build, or after neighbors' recall")
    args = parser.parse_args()
    k = 10
    for n in args.n:
        docs = corpus(args.corpus, n + 100)
        held_out, docs = docs[n:], docs[:n]
        start, cpu = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF)
        index = vendrask.Index(docs, workers=args.workers, degree=args.degree,
                               candidates=args.candidates, rounds=args.rounds)
        build, built_pairs = time.perf_counter() - start, index.scored
        now = resource.getrusage(resource.RUSAGE_SELF)
        cpu = now.ru_utime + now.ru_stime - cpu.ru_utime - cpu.ru_stime
        info = index.info()
        print(f"{args.corpus} n={n} degree={args.degree} candidates={args.candidates} "
              f"rounds={args.rounds}: build {build:.1f} s ({cpu:.0f} s of CPU), "
              f"{built_pairs / n:.0f} pairs/document "
              f"({built_pairs / (n * (n - 1) / 2):.2%} of all pairs), "
              f"{(info['bytes'] - sum(map(len, index.corpus.strings))) / n:.0f} bytes/document "
              f"besides the text", flush=True)
        if args.only == "build":
            continue
        rows = np.sort(np.random.default_rng(1).choice(n, min(args.sample, n), replace=False))
        for symmetric in (None, "mean"):
            exact, took = exact_sample(docs, rows, k, symmetric, args.workers)
            exact_all = took * (n - 1) / (2 * len(rows))
            before = index.scored
            start = time.perf_counter()
            scores, _ = index.neighbors(k, symmetric=symmetric)
            graph_time = time.perf_counter() - start
            approx_time = build + graph_time
            print(f"  neighbors symmetric={symmetric}: recall@10 {recall(scores[rows], exact):.3f}, "
                  f"{build:.1f} + {graph_time:.1f} s against {exact_all:.0f} s exact "
                  f"({approx_time / exact_all:.1%}); {index.scored - before} more pairs", flush=True)
            if args.only == "neighbors":
                continue
            # Queries: documents of the same corpus that are not in the index.
            mixed = held_out
            start = time.perf_counter()
            got, _ = index.nearest(mixed, k, symmetric=symmetric)
            approx_time = time.perf_counter() - start
            start = time.perf_counter()
            want, _ = vendrask.nearest(mixed, docs, k=k, symmetric=symmetric,
                                       workers=args.workers, errors="nan")
            exact_time = time.perf_counter() - start
            print(f"  nearest symmetric={symmetric} ({len(mixed)} queries): recall@10 "
                  f"{recall(got, want):.3f}, {approx_time:.2f} s against {exact_time:.1f} s exact "
                  f"({approx_time / exact_time:.1%})", flush=True)
        if args.only == "neighbors":
            continue
        start = time.perf_counter()
        i, j, _ = index.pairs(0.5, symmetric="mean")
        pairs_time = time.perf_counter() - start
        # Exact pairs over the sampled rows only: those the index found among them.
        sampled = np.zeros(n, dtype=bool)
        sampled[rows] = True
        exact_s = vendrask.cdist([docs[r] for r in rows], docs, symmetric="mean",
                                 workers=args.workers, errors="nan")
        exact_s[np.arange(len(rows)), rows] = np.nan
        want = {(min(r, c), max(r, c)) for a, r in enumerate(rows.tolist())
                for c in np.flatnonzero(exact_s[a] >= 0.5).tolist()}
        got = {(a, b) for a, b in zip(i.tolist(), j.tolist()) if sampled[a] or sampled[b]}
        found = len(want & got) / max(1, len(want))
        print(f"  pairs >= 0.5 mean: {found:.3f} of {len(want)} exact pairs touching the sample, "
              f"{len(i)} pairs in all, {build + pairs_time:.1f} s with the build "
              f"({(build + pairs_time) / exact_all:.1%} of exact)", flush=True)


if __name__ == "__main__":
    main()
