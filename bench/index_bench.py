"""vendrask.Index against exact search: recall@10 and cost, on real text.

    python bench/index_bench.py --corpus code prose man --n 10000
    python bench/index_bench.py --corpus code --n 10000 30000 --only build
    python bench/index_bench.py --corpus code --n 2000 --peers
    python bench/index_bench.py --corpus prose --n 10000 --builds default --degree 16
    python bench/index_bench.py --corpus code --n 10000 --builds default --only neighbors --min-max

Corpora, cut into distinct chunks of about 1 KB: "code" (the standard
library's .py files), "prose" (package descriptions from `apt-cache
dumpavail` and /usr/share/doc/*/copyright), "man" (the manual pages of
/usr/share/man/man*, as their roff sources).

Each build of --builds runs on the same documents in one process, side by
side: "default" (the settings in vendrask._descent.BUILD, the graph given
all its rounds: ``build_graph(settle=True)``), "search" (the same, with
only the rounds a search needs: ``build_graph()``; its ``nearest`` is
measured before ``neighbors`` gives it the rest, whose cost is printed),
"previous" (the build before the joins picked their pairs by sketch: 32
seeds from the stored sketches alone, half the degree sampled per round,
every joined pair scored, all rounds). A build is timed as ``Index(docs)`` and its ``build_graph``; CPU
time is this process's (time.process_time(), every thread). Compressions
are two per pair scored.

Recall@10 of ``neighbors`` is against the exact top 10 of --sample random
rows (scored against every document), and of ``nearest`` against the exact
answer for 100 held-out chunks, one way and ``symmetric="mean"``; the exact
answers are computed once per corpus and size, for every build. With two or
more --n, the build CPU's exponent between the two largest and the
projection to 10^6 documents at that exponent are printed. --peers adds
datasketch's HNSW and pynndescent (its metric compiled by numba, calling
back through numba's objmode; either is skipped if it is not installed)
over the same documents with the distance 1 - the mean of both directions
(each pair compressed once each way, however often a peer asks), and
their recall against the same exact answers, as ``neighbors(symmetric=
"mean")``. --min-max adds ``neighbors(symmetric="min")`` and ``"max"`` (each
refines a graph of its own: its cost is printed) against their exact top
10 on the same rows. Figures vary with the machine's load; compare the
lines of one run.
"""
import argparse
import contextlib
import glob
import gzip
import math
import subprocess
import sys
import time

import numpy as np

import vendrask
from vendrask import _descent

CHUNK = 1024
K = 10
# The build before the joins picked by sketch, for comparison.
PREVIOUS = _descent.BuildSettings(seeds=32, seed_pool=1, sample_per=2, top=0)


def code_chunks():
    for path in sorted(glob.glob(f"{sys.base_prefix}/lib/python3*/**/*.py", recursive=True)):
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError:
            continue
        for at in range(0, len(data) - CHUNK // 2, CHUNK):
            yield data[at:at + CHUNK]


def _buffered(paragraphs):
    buffer = b""
    for paragraph in paragraphs:
        buffer += paragraph + b"\n\n"
        while len(buffer) >= CHUNK:
            yield buffer[:CHUNK]
            buffer = buffer[CHUNK:]


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
    return _buffered(paragraphs)


def man_chunks():
    def pages():
        for path in sorted(glob.glob("/usr/share/man/man*/*.gz")):
            try:
                with gzip.open(path, "rb") as file:
                    yield file.read()
            except (OSError, EOFError):
                continue
    return _buffered(pages())


CORPORA = {"code": code_chunks, "prose": prose_chunks, "man": man_chunks}


def corpus(kind, n):
    seen, out = set(), []
    for chunk in CORPORA[kind]():
        if chunk not in seen and len(chunk.strip()) > 200:
            seen.add(chunk)
            out.append(chunk)
            if len(out) == n:
                break
    if len(out) < n:
        sys.exit(f"only {len(out)} distinct chunks in the {kind} corpus")
    rng = np.random.default_rng(0)
    return [out[i] for i in rng.permutation(n)]


def exact_rows(docs, rows, symmetric, workers):
    """Exact top K scores of the sampled rows, own row left out."""
    scores, index = vendrask.nearest([docs[r] for r in rows], docs, k=K + 1,
                                     symmetric=symmetric, workers=workers, errors="nan")
    own = index == np.asarray(rows)[:, None]
    order = np.argsort(own, axis=1, kind="stable")
    return np.take_along_axis(np.where(own, np.nan, scores), order, axis=1)[:, :K]


def recall(approx, exact):
    """The share of each row's exact top K that ``approx`` matched in score."""
    kth = np.nanmin(np.where(np.isnan(exact), np.inf, exact), axis=1)
    wanted = np.sum(~np.isnan(exact), axis=1)
    found = np.minimum(np.sum(approx >= kth[:, None], axis=1), wanted)
    return found.sum() / max(1, wanted.sum())


@contextlib.contextmanager
def settings(build):
    """The build settings of ``build`` in place for the indexes made meanwhile."""
    from vendrask import _index
    kept = _descent.BUILD
    # Both modules read the settings: the index its own import of them.
    _descent.BUILD = _index.BUILD = PREVIOUS if build == "previous" else kept
    try:
        yield _descent.BUILD
    finally:
        _descent.BUILD = _index.BUILD = kept


def build_index(docs, args, build):
    """(index, CPU seconds, wall seconds) of one build of ``docs``."""
    with settings(build) as chosen:
        cpu, wall = time.process_time(), time.perf_counter()
        index = vendrask.Index(docs, workers=args.workers, degree=args.degree,
                               seeds=chosen.seeds, rounds=args.rounds)
        if hasattr(index, "build_graph"):
            try:
                index.build_graph(settle=build != "search")
            except TypeError:  # a version whose graph is built in one step
                index.build_graph()
        return index, time.process_time() - cpu, time.perf_counter() - wall


class PairScores:
    """1 - the mean of both directions of document pairs, each pair
    compressed once each way however often it is asked for."""

    def __init__(self, docs, workers):
        from vendrask._corpus import Corpus
        self.corpus = Corpus()
        ids = self.corpus.add(docs)
        assert self.corpus.compute_sizes(ids, ids, workers) is None
        self.known = {}

    def __call__(self, a, b):
        i, j = int(a[0]), int(b[0])
        if i == j:
            return 0.0
        key = (min(i, j), max(i, j))
        found = self.known.get(key)
        if found is None:
            forward, backward, failure = self.corpus.cross(np.array([key[0]]),
                                                           np.array([key[1]]))
            assert failure is None
            mean = 0.5 * (forward[0] + backward[0])
            found = self.known[key] = 1.0 if np.isnan(mean) else 1.0 - mean
        return found


def hnsw_peer(docs, rows, exact_mean, workers):
    """datasketch HNSW with our distance: (CPU s, pairs per document, recall)."""
    from datasketch import HNSW
    cpu = time.process_time()
    distance = PairScores(docs, workers)
    index = HNSW(distance_func=distance, seed=0)
    for i in range(len(docs)):
        index.insert(i, np.array([i]))
    build = time.process_time() - cpu
    pairs = len(distance.known)
    found = np.full((len(rows), K), np.nan)
    for a, r in enumerate(rows.tolist()):
        hits = [(key, d) for key, d in index.query(np.array([r]), k=K + 1) if key != r][:K]
        found[a, :len(hits)] = [1.0 - d for _, d in hits]
    return build, pairs / len(docs), recall(found, exact_mean)


_PEER_DISTANCE = []  # what pynndescent's compiled metric calls back


def pynndescent_peer(docs, rows, exact_mean, workers):
    """pynndescent with our distance, called back from its compiled metric
    through numba's objmode: (CPU s, pairs per document, recall)."""
    import numba
    from pynndescent import NNDescent

    @numba.njit
    def metric(a, b):
        with numba.objmode(out="float64"):
            out = _PEER_DISTANCE[0](a, b)
        return out

    def build(docs):
        _PEER_DISTANCE[:] = [PairScores(docs, workers)]
        data = np.arange(len(docs), dtype=np.float64)[:, None]
        return NNDescent(data, metric=metric, n_neighbors=K + 1, random_state=0, n_jobs=1,
                         compressed=True)

    build(docs[:100])  # numba compiles the metric and the descent once, untimed
    cpu = time.process_time()
    index = build(docs)
    ids, distances = index.neighbor_graph
    build = time.process_time() - cpu
    found = np.full((len(rows), K), np.nan)
    for a, r in enumerate(rows.tolist()):
        hits = [1.0 - d for i, d in zip(ids[r].tolist(), distances[r].tolist())
                if i != r and i >= 0][:K]
        found[a, :len(hits)] = hits
    return build, len(_PEER_DISTANCE[0].known) / len(docs), recall(found, exact_mean)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", choices=sorted(CORPORA), nargs="+", default=["code"])
    parser.add_argument("--n", type=int, nargs="+", default=[10000])
    parser.add_argument("--sample", type=int, default=200)
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--degree", type=int, default=24)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--builds", nargs="+", choices=("previous", "default", "search"),
                        default=["previous", "default"])
    parser.add_argument("--only", choices=("build", "neighbors", "all"), default="all",
                        help="stop after the builds, or after neighbors' recall")
    parser.add_argument("--min-max", action="store_true",
                        help='neighbors(symmetric="min" and "max") too')
    parser.add_argument("--peers", action="store_true",
                        help="datasketch's HNSW on the same documents too")
    args = parser.parse_args()
    for kind in args.corpus:
        cpu_at = {build: [] for build in args.builds}
        for n in args.n:
            docs = corpus(kind, n + args.queries)
            held_out, docs = docs[n:], docs[:n]
            rows = np.sort(np.random.default_rng(1).choice(n, min(args.sample, n),
                                                           replace=False))
            exact = {}
            if args.only != "build":
                for symmetric in (None, "mean") + (("min", "max") if args.min_max else ()):
                    exact[symmetric] = exact_rows(docs, rows, symmetric, args.workers)
            wanted = {}
            if args.only == "all":
                for symmetric in (None, "mean"):
                    wanted[symmetric], _ = vendrask.nearest(held_out, docs, k=K,
                                                            symmetric=symmetric,
                                                            workers=args.workers, errors="nan")
            for build in args.builds:
                index, cpu, wall = build_index(docs, args, build)
                cpu_at[build].append((n, cpu))
                pairs = index.scored / n
                line = (f"{kind} n={n} {build:8s} build {cpu:7.1f} s CPU ({wall:.1f} s), "
                        f"{2 * pairs:6.1f} compressions/document")
                # A graph built for searches is searched before neighbors settles it.
                steps = ["nearest", "neighbors"] if build == "search" else ["neighbors", "nearest"]
                for step in steps:
                    if step == "neighbors" and args.only != "build":
                        before, cpu = index.scored, time.process_time()
                        got = {symmetric: recall(index.neighbors(K, symmetric=symmetric)[0][rows],
                                                 exact[symmetric]) for symmetric in (None, "mean")}
                        cpu = time.process_time() - cpu
                        line += f"; neighbors {got[None]:.3f} / {got['mean']:.3f}"
                        if index.scored > before:
                            line += (f" (settling {2 * (index.scored - before) / n:.1f} "
                                     f"compressions/document, {cpu:.1f} s CPU)")
                        for symmetric in ("min", "max") if args.min_max else ():
                            before, cpu = index.scored, time.process_time()
                            got = recall(index.neighbors(K, symmetric=symmetric)[0][rows],
                                         exact[symmetric])
                            line += (f"; {symmetric} {got:.3f} ({2 * (index.scored - before) / n:.1f}"
                                     f" compressions/document, {time.process_time() - cpu:.1f} s CPU)")
                    if step == "nearest" and args.only == "all":
                        before, cpu = index.scored, time.process_time()
                        got = {symmetric: recall(index.nearest(held_out, K, symmetric=symmetric)[0],
                                                 wanted[symmetric]) for symmetric in (None, "mean")}
                        cpu = time.process_time() - cpu
                        line += (f"; nearest {got[None]:.3f} / {got['mean']:.3f} "
                                 f"({(index.scored - before) / (2 * len(held_out)):.0f} pairs/query, "
                                 f"{cpu:.1f} s CPU)")
                print(line, flush=True)
            if args.peers:
                if "mean" not in exact:
                    exact["mean"] = exact_rows(docs, rows, "mean", args.workers)
                for name, peer in (("HNSW", hnsw_peer), ("pynndescent", pynndescent_peer)):
                    try:
                        cpu, pairs, got = peer(docs, rows, exact["mean"], args.workers)
                    except ImportError as error:
                        print(f"{kind} n={n} {name}: not run ({error})", flush=True)
                        continue
                    print(f"{kind} n={n} {name:8s} build {cpu:7.1f} s CPU, {2 * pairs:6.1f} "
                          f"compressions/document; neighbors mean {got:.3f}", flush=True)
        for build, runs in cpu_at.items():
            if len(runs) >= 2:
                (n1, c1), (n2, c2) = sorted(runs)[-2:]
                exponent = math.log(c2 / c1) / math.log(n2 / n1)
                hours = c2 * (1e6 / n2) ** exponent / 3600
                print(f"{kind} {build}: build CPU as n^{exponent:.2f} from {n1} to {n2}; "
                      f"10^6 documents: {hours:.1f} core-hours at that exponent", flush=True)


if __name__ == "__main__":
    main()
