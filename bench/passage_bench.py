"""Which long document holds a passage: vendrask.WindowIndex against exact
search over the same windows and against TF-IDF, side by side in one run.

    python bench/passage_bench.py sweep [--queries 100]
    python bench/passage_bench.py targets [--window 4096 --overlap 1024]

The documents are the standard library's whole .py files. The queries, seeded:
excerpts of 300 to 500 bytes, and chunks of 2 KB lightly edited (2% of the
words replaced, one line dropped). A hit is right when it is the file the
query came from or a file with the same bytes (an excerpt: any file that
holds it). Times are CPU seconds (time.process_time(), all threads).

``sweep`` measures exact search over windows of 1, 2 and 4 KB, overlapping
by 0, a quarter and a half; ``targets`` the chosen setting, its default
search against exact search and TF-IDF, and recall@10 of the default
search against exact search on a second corpus, manual pages
(/usr/share/man/man1/*.gz, a seeded sample).
"""
import argparse
import glob
import gzip
import os
import re
import sys
import time

import numpy as np

from vendrask._passages import WindowIndex

# The system interpreter's library, as the issue measured it (this one's may hold
# site-packages too).
STDLIB = "/usr/lib/python3.11"
if not os.path.isdir(STDLIB):
    STDLIB = os.path.dirname(os.__file__)


def stdlib_files():
    """(paths, contents) of the library's .py files, hidden folders left out."""
    paths = []
    for top, folders, names in os.walk(STDLIB):
        folders[:] = sorted(f for f in folders if not f.startswith("."))
        paths += [os.path.join(top, n) for n in sorted(names) if n.endswith(".py")
                  and not n.startswith(".")]
    paths.sort()
    contents = []
    for path in paths:
        with open(path, "rb") as file:
            contents.append(file.read())
    keep = [k for k, data in enumerate(contents) if data]
    return [paths[k] for k in keep], [contents[k] for k in keep]


def man_pages(count, seed):
    paths = sorted(glob.glob("/usr/share/man/man1/*.gz"))
    rng = np.random.default_rng(seed)
    out = []
    for k in rng.permutation(len(paths)).tolist():
        try:
            with gzip.open(paths[k]) as file:
                data = file.read()
        except (OSError, EOFError):
            continue
        if len(data) >= 2048 and data not in out:
            out.append(data)
        if len(out) == count:
            break
    return out


WORD = re.compile(rb"[A-Za-z_][A-Za-z0-9_]*")


def queries(docs, count, rng):
    """(excerpts, their sources), (edited chunks, their sources)."""
    long_enough = [k for k, d in enumerate(docs) if len(d) >= 600]
    excerpts, sources = [], []
    for _ in range(count):
        k = int(rng.choice(long_enough))
        size = int(rng.integers(300, 501))
        at = int(rng.integers(0, len(docs[k]) - size + 1))
        excerpts.append(docs[k][at:at + size])
        sources.append(k)
    vocabulary = sorted({w for d in docs[:50] for w in WORD.findall(d)})
    edited, edit_sources = [], []
    chunky = [k for k, d in enumerate(docs) if len(d) >= 2048]
    for _ in range(count):
        k = int(rng.choice(chunky))
        at = int(rng.integers(0, len(docs[k]) - 2048 + 1))
        chunk = docs[k][at:at + 2048]
        words = list(WORD.finditer(chunk))
        change = set(rng.choice(len(words), max(1, len(words) // 50), replace=False).tolist()) \
            if words else set()
        out, last = [], 0
        for n, match in enumerate(words):
            if n in change:
                out += [chunk[last:match.start()],
                        vocabulary[int(rng.integers(len(vocabulary)))]]
                last = match.end()
        out.append(chunk[last:])
        lines = b"".join(out).split(b"\n")
        if len(lines) > 2:
            del lines[int(rng.integers(len(lines)))]
        edited.append(b"\n".join(lines))
        edit_sources.append(k)
    return (excerpts, sources), (edited, edit_sources)


def right_answers(docs, qs, sources, verbatim):
    """For each query the set of documents counted right."""
    same = {}
    for k, d in enumerate(docs):
        same.setdefault(d, set()).add(k)
    out = []
    for q, k in zip(qs, sources):
        right = set(same[docs[k]])
        if verbatim:
            right |= {j for j, d in enumerate(docs) if q in d}
        out.append(right)
    return out


def top1(hits, right):
    return float(np.mean([h in r for h, r in zip(hits.tolist(), right)]))


def cpu(function, *args, **kwargs):
    start = time.process_time()
    result = function(*args, **kwargs)
    return result, time.process_time() - start


def tfidf(docs, query_sets):
    from sklearn.feature_extraction.text import TfidfVectorizer
    texts = [d.decode("latin-1") for d in docs]
    vectorizer = TfidfVectorizer(analyzer="char", ngram_range=(3, 5))
    matrix, build = cpu(vectorizer.fit_transform, texts)
    out = []
    for qs in query_sets:
        def search():
            vectors = vectorizer.transform([q.decode("latin-1") for q in qs])
            return np.asarray((vectors @ matrix.T).argmax(axis=1)).reshape(-1)
        hits, seconds = cpu(search)
        out.append((hits, seconds / len(qs)))
    return build, out


def window_rows(docs, query_sets, rights, window, overlap, workers, primed_by, default=True):
    """One setting: build, size, and for each query set top-1 and CPU per
    query of exact search and (``default``) the default search."""
    index, build = cpu(WindowIndex, docs, window=window, overlap=overlap, workers=workers)
    row = {"window": window, "overlap": index.overlap, "windows": len(index.windows()[0])}
    if default:
        _, graph = cpu(index.build_graph)
        info = index.info()
        row.update(build_s=build + graph, bytes_per_text_byte=info["bytes"] / info["text_bytes"])
    for name, qs, right in zip(("excerpts", "edited"), query_sets, rights):
        best, seconds = cpu(index.nearest, qs, k=10, primed_by=primed_by, exact=True)
        row[f"{name}_exact_top1"] = top1(best.indices[:, 0], right)
        row[f"{name}_exact_cpu"] = seconds / len(qs)
        if default:
            found, seconds = cpu(index.nearest, qs, k=10, primed_by=primed_by)
            row[f"{name}_top1"] = top1(found.indices[:, 0], right)
            row[f"{name}_cpu"] = seconds / len(qs)
            row[f"{name}_recall10"] = recall(found, best)
    return index, row


def recall(found, best):
    """The share of the exact top 10 documents (as many as there are) that
    the default search matched in score."""
    wanted = hit = 0
    for s_row, e_row in zip(found.scores, best.scores):
        exact = e_row[~np.isnan(e_row)]
        if not len(exact):
            continue
        kth = exact.min()
        wanted += len(exact)
        hit += min(len(exact), int(np.sum(s_row >= kth)))
    return hit / max(wanted, 1)


def show(rows, keys):
    print(" | ".join(keys))
    for row in rows:
        print(" | ".join(f"{row[k]:.3f}" if isinstance(row[k], float) else str(row[k])
                         for k in keys))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=("sweep", "targets"))
    parser.add_argument("--queries", type=int, default=300, help="queries of each kind")
    parser.add_argument("--window", type=int, default=4096)
    parser.add_argument("--overlap", type=int, default=None)
    parser.add_argument("--primed-by", default="document", choices=("query", "document"))
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--man", type=int, default=400, help="targets: manual pages")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    paths, docs = stdlib_files()
    (ex, ex_src), (ed, ed_src) = queries(docs, args.queries, rng)
    rights = [right_answers(docs, ex, ex_src, True), right_answers(docs, ed, ed_src, False)]
    print(f"{len(docs)} files, {sum(map(len, docs))} bytes; {len(ex)} excerpts, "
          f"{len(ed)} edited chunks; primed_by={args.primed_by}, workers={args.workers}")
    build, found = tfidf(docs, (ex, ed))
    print(f"TF-IDF (char 3-5): build {build:.2f} s; top-1 excerpts "
          f"{top1(found[0][0], rights[0]):.3f} ({found[0][1] * 1e3:.2f} ms/query), edited "
          f"{top1(found[1][0], rights[1]):.3f} ({found[1][1] * 1e3:.2f} ms/query)")
    keys = ["window", "overlap", "windows", "build_s", "bytes_per_text_byte",
            "excerpts_top1", "excerpts_exact_top1", "edited_top1", "edited_exact_top1",
            "excerpts_cpu", "excerpts_exact_cpu", "edited_cpu", "edited_exact_cpu",
            "excerpts_recall10", "edited_recall10"]
    if args.what == "sweep":
        # Exact search only: which windows hold the right answer best, the
        # default search's share of it measured by ``targets``.
        keys = ["window", "overlap", "windows", "excerpts_exact_top1", "edited_exact_top1",
                "excerpts_exact_cpu", "edited_exact_cpu"]
        rows = []
        for window in (1024, 2048, 4096):
            for overlap in (0, window // 4, window // 2):
                _, row = window_rows(docs, (ex, ed), rights, window, overlap, args.workers,
                                     args.primed_by, default=False)
                rows.append(row)
                show([row], keys)
        print()
        show(rows, keys)
        return
    index, row = window_rows(docs, (ex, ed), rights, args.window, args.overlap, args.workers,
                             args.primed_by)
    show([row], keys)
    for name in ("excerpts", "edited"):
        print(f"{name}: default search {row[f'{name}_cpu'] / row[f'{name}_exact_cpu']:.1%} of "
              f"exact search's CPU per query")
    pages = man_pages(args.man, args.seed)
    pq = []
    for _ in range(args.queries // 2):
        d = pages[int(rng.integers(len(pages)))]
        size = int(rng.integers(300, 501))
        at = int(rng.integers(0, len(d) - size + 1))
        pq.append(d[at:at + size])
    man = WindowIndex(pages, window=args.window, overlap=args.overlap, workers=args.workers)
    man.build_graph()
    for primed_by in ("query", "document"):
        found = man.nearest(pq, k=10, primed_by=primed_by)
        best = man.nearest(pq, k=10, primed_by=primed_by, exact=True)
        print(f"man pages ({len(pages)}, {sum(map(len, pages))} bytes, {len(pq)} excerpts), "
              f"primed_by={primed_by}: recall@10 {recall(found, best):.3f}")


if __name__ == "__main__":
    main()
