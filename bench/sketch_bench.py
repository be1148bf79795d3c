"""Sketch seeds of Index queries: every sketch scored vs the probed cells.

    python bench/sketch_bench.py --corpus code prose --n 10000
    python bench/sketch_bench.py --corpus code --rows 10000 30000 100000 --only sketches

"index": for each corpus, one index of --n chunks (index_bench's corpora),
then ``Index.nearest`` of --queries held-out chunks, one way and
symmetric="mean", with the seeds from every sketch and through the cells at
each of --probes, side by side on the same index: recall@10 against the
exact answers, CPU per query (time.process_time(), every thread), and the
share of the brute-force seeds the cells find.

"sketches": the seeding step alone on --rows sketches of real chunks: CPU to
make the cells, CPU per query by brute force and through the cells (lone
queries and batches of --queries), and the share of brute force's seeds
found. Figures vary with the machine's load; compare the lines of one run.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vendrask  # noqa: E402
from vendrask import _descent, _sketch  # noqa: E402
from index_bench import K, corpus, recall  # noqa: E402


def found_share(got, want):
    """The share of the rows of ``want`` that ``got`` holds too, row by row."""
    hits = total = 0
    for g, w in zip(got, want):
        w = set(w[w >= 0].tolist())
        hits += len(w & set(g[g >= 0].tolist()))
        total += len(w)
    return hits / max(total, 1)


def through(mode, probes):
    """Sets the sketch search to every row ("brute") or to the cells."""
    _sketch.QUERY_ROWS = 1 << 62 if mode == "brute" else 0
    _sketch.QUERY_PROBES = probes or _sketch.QUERY_PROBES


def index_runs(kind, args):
    docs = corpus(kind, args.n + args.queries)
    held_out, docs = docs[args.n:], docs[:args.n]
    wanted = {symmetric: vendrask.nearest(held_out, docs, k=K, symmetric=symmetric,
                                          workers=args.workers, errors="nan")[0]
              for symmetric in (None, "mean")}
    cpu = time.process_time()
    index = vendrask.Index(docs, workers=args.workers)
    index.build_graph()
    print(f"{kind} n={args.n}: build {time.process_time() - cpu:.1f} s CPU", flush=True)
    sketches = index.sketches
    cpu = time.process_time()
    sketches._made(None)
    print(f"{kind} n={args.n}: cells {len(sketches.cells)}, made in "
          f"{time.process_time() - cpu:.2f} s CPU", flush=True)
    queries = sketches.sketch(held_out)
    seeds = _descent.search_seeds(len(docs), index.seeds)
    brute = _sketch.most_similar(queries, sketches.vectors, seeds)
    for mode, probes in [("brute", 0)] + [("cells", p) for p in args.probes]:
        through(mode, probes)
        share = found_share(sketches.query(queries, seeds), brute)
        cpu = time.process_time()
        for q in queries:
            sketches.query(q[None], seeds)
        seeding = (time.process_time() - cpu) / len(queries)
        line = f"{kind} n={args.n} {mode:5s} probes={probes or '-':>2}: seeds found {share:.3f}"
        for symmetric in (None, "mean"):
            cpu = time.process_time()
            got = index.nearest(held_out, K, symmetric=symmetric)[0]
            cpu = (time.process_time() - cpu) / len(held_out)
            line += (f"; {symmetric or 'one way'} recall {recall(got, wanted[symmetric]):.3f} "
                     f"{1e3 * cpu:.1f} ms/query")
        line += f"; seeding alone {1e3 * seeding:.2f} ms/query"
        print(line, flush=True)


def sketch_runs(kind, args):
    docs = corpus(kind, max(args.rows) + args.queries)
    held_out = docs[-args.queries:]
    for n in args.rows:
        sketches = _sketch.Sketches().add(docs[:n])
        queries = sketches.sketch(held_out)
        seeds = _descent.search_seeds(n, 16)
        cpu = time.process_time()
        sketches._made(None)
        made = time.process_time() - cpu
        brute = _sketch.most_similar(queries, sketches.vectors, seeds)
        line = f"{kind} rows={n}: {len(sketches.cells)} cells made in {made:.2f} s CPU"
        for mode, probes in [("brute", 0)] + [("cells", p) for p in args.probes]:
            through(mode, probes)
            cpu = time.process_time()
            got = sketches.query(queries, seeds)
            batch = (time.process_time() - cpu) / len(queries)
            cpu = time.process_time()
            for q in queries[:20]:
                sketches.query(q[None], seeds)
            alone = (time.process_time() - cpu) / 20
            line += (f"; {mode} probes={probes or '-'} {1e3 * alone:.2f} ms alone, "
                     f"{1e3 * batch:.2f} ms in a batch, seeds found {found_share(got, brute):.3f}")
        print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", nargs="+", default=["code"])
    parser.add_argument("--n", type=int, default=10000)
    parser.add_argument("--rows", type=int, nargs="+", default=[10000, 30000])
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--probes", type=int, nargs="+", default=[8, 16])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--only", choices=("index", "sketches"))
    args = parser.parse_args()
    for kind in args.corpus:
        if args.only != "sketches":
            index_runs(kind, args)
        if args.only != "index":
            sketch_runs(kind, args)


if __name__ == "__main__":
    main()
