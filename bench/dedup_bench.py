"""The sketch candidate stage for threshold pairs against exact pairs.

    python bench/dedup_bench.py exact                 # cache the exact answers (slow, once)
    python bench/dedup_bench.py table                 # recall and cost per band setting
    python bench/dedup_bench.py defaults              # the defaults' recall and pairs scored
    python bench/dedup_bench.py compare               # CPU side by side with datasketch
    python bench/dedup_bench.py compare --corpus copyright --threshold 0.3
    python bench/dedup_bench.py memory                # peak memory against the exact path
    nice -n 10 python bench/dedup_bench.py growth --n 10000 30000 100000
    nice -n 10 python bench/dedup_bench.py growth --growth-corpus pool

Corpora, about 1 KB each: "copyright" (/usr/share/doc/*/copyright cut into
chunks: the same licences again and again, natural near-duplicates),
"edited" (2000 chunks of the prose under /usr/share/doc and 200 copies of
some of them with 2-6% of their words changed, a line moved and a header
added), "code" (chunks of the standard library: few duplicates) and "lines"
(lines of the package manager's logs: short, near-identical by the hundred).
Exact answers are every ordered pair's measure, computed once per corpus and
cached under /tmp (the whole matrix gives every threshold and direction).
CPU is time.process_time() of this process; its workers are threads, so
their time counts too. Figures vary with the machine's load.

Growth runs each size in a child process (CPU, and the peak resident set
above the one the child started with) on one of two corpora of about 1 KB
a document: "few" (the default), distinct chunks of code and prose without
their near-duplicates (every chunk that scores 0.3 or more with an earlier
one is left out, found once and cached) plus 1% edited copies, so that the
pairs to find grow as the corpus does; or "pool", the first n distinct
chunks as they come (the standard library first, then the other packages
installed), near-duplicates kept: about 0.4 pairs at 0.5 per document at
every size, but the candidates that pass the screen and score under 0.5
(similar code in versions of the same packages) grow from 0.84 per
document in 10 000 to 2.2 in 100 000.
"""
import argparse
import glob
import gzip
import hashlib
import itertools
import os
import random
import sys
import time

import numpy as np

import vendrask
from vendrask import _minhash, _native

CHUNK = 1024
N = 2000
COPIES = 200
CACHE = "/tmp/vendrask-dedup-bench"


def _chunks(data, size=CHUNK):
    """Line-aligned pieces of about ``size`` bytes."""
    out, at = [], 0
    while at < len(data):
        end = data.find(b"\n", at + size)
        end = len(data) if end < 0 else end + 1
        piece = data[at:end]
        if len(piece) >= size // 4:
            out.append(piece[:2 * size])
        at = end
    return out


def _read(path):
    try:
        with open(path, "rb") as file:
            data = file.read()
        return gzip.decompress(data) if path.endswith(".gz") else data
    except (OSError, EOFError, gzip.BadGzipFile):
        return b""


def _distinct(chunks, n, seed):
    seen, out = set(), []
    for chunk in chunks:
        if chunk not in seen:
            seen.add(chunk)
            out.append(chunk)
    random.Random(seed).shuffle(out)
    return out[:n]


def copyright_corpus(n=N):
    chunks = []
    for path in sorted(glob.glob("/usr/share/doc/*/copyright")):
        chunks += _chunks(_read(path))[:16]
    return _distinct(chunks, n, 1)


def prose_chunks():
    paths = []
    for pattern in ("*.md", "*.txt", "*.rst", "README*.gz", "NEWS*.gz"):
        paths += glob.glob(f"/usr/share/doc/**/{pattern}", recursive=True)
    for path in sorted(set(paths)):
        yield from _chunks(_read(path))


def edit(doc, rng, vocabulary):
    """A copy of ``doc`` with 2-6% of its words replaced, a line moved and a header added."""
    lines = doc.split(b"\n")
    if len(lines) > 2:
        line = lines.pop(rng.randrange(len(lines)))
        lines.insert(rng.randrange(len(lines) + 1), line)
    words = b"\n".join(lines).split(b" ")
    for at in rng.sample(range(len(words)), max(1, round(len(words) * rng.uniform(0.02, 0.06)))):
        words[at] = rng.choice(vocabulary)
    header = b"From: %s <%s@example.org>\nSubject: %s\n\n" % (
        rng.choice(vocabulary), rng.choice(vocabulary), b" ".join(rng.sample(vocabulary, 4)))
    return header + b" ".join(words)


def edited_corpus(n=N, copies=COPIES, seed=2):
    base = _distinct(prose_chunks(), n, seed)
    rng = random.Random(seed)
    vocabulary = sorted({w for doc in base[:200] for w in doc.split() if w.isalpha()})
    return base + [edit(base[rng.randrange(len(base))], rng, vocabulary) for _ in range(copies)]


def code_chunks():
    for path in sorted(glob.glob(f"{sys.base_prefix}/lib/python3*/**/*.py", recursive=True)):
        yield from _chunks(_read(path))


def code_corpus(n=N):
    return _distinct(code_chunks(), n, 3)


def large_corpus(n):
    """Up to ``n`` distinct chunks of code and prose: few duplicates."""
    def every():
        yield from code_chunks()
        for path in sorted(glob.glob("/usr/lib/python3/dist-packages/**/*.py", recursive=True)):
            yield from _chunks(_read(path))
        yield from prose_chunks()
        for path in sorted(glob.glob(f"{sys.prefix}/lib/python3*/site-packages/**/*.py",
                                     recursive=True)):
            yield from _chunks(_read(path))
    seen, out = set(), []
    for chunk in every():
        if chunk not in seen:
            seen.add(chunk)
            out.append(chunk)
            if len(out) >= n:
                break
    random.Random(4).shuffle(out)
    return out


def log_lines(n=N):
    """Lines of the package manager's logs: short, and near-identical by the hundred."""
    lines = []
    for path in sorted(glob.glob("/var/log/dpkg.log*") + glob.glob("/var/log/apt/*.log*")):
        lines += [line for line in _read(path).split(b"\n") if line.strip()]
    return _distinct(lines, n, 5)


CORPORA = {"copyright": copyright_corpus, "edited": edited_corpus, "code": code_corpus,
           "lines": log_lines}


def exact_matrix(name, docs, workers=1):
    """Every ordered pair's measure (NaN on the diagonal), cached by content."""
    digest = hashlib.sha256(b"\0".join(docs) + _native.version.encode()).hexdigest()[:16]
    path = os.path.join(CACHE, f"{name}-{len(docs)}-{digest}.npy")
    if os.path.exists(path):
        return np.load(path)
    os.makedirs(CACHE, exist_ok=True)
    start = time.process_time()
    matrix = vendrask.matrix(docs, workers=workers, errors="nan")
    np.fill_diagonal(matrix, np.nan)
    print(f"exact {name}: {len(docs)} documents, {time.process_time() - start:.1f} s CPU",
          flush=True)
    np.save(path + ".tmp.npy", matrix)
    os.replace(path + ".tmp.npy", path)
    return matrix


THRESHOLDS = (0.3, 0.5, 0.7, 0.9)
# The safety margin: a setting must also keep the floor for the pairs a
# little under the threshold, so that a corpus whose pairs share somewhat
# fewer shingles for the same scores still keeps them.
MARGIN = 0.05
SHINGLES = (4, 5, 6)
SLOTS = (64, 128)
FLOOR = {0.3: 0.95}  # the recall a setting must keep, 0.99 elsewhere


def exact_keys(matrix, direction, threshold):
    """The pair keys i * n + j (i < j) at or over the threshold."""
    both = np.maximum(matrix, matrix.T) if direction == "max" else (matrix + matrix.T) * 0.5
    i, j = np.nonzero(np.triu(both >= threshold, 1))
    return i * len(matrix) + j


def settings(slots):
    for rows in range(1, 9):
        for bands in (2, 4, 6, 8, 10, 12, 16, 20, 24, 32, 40, 48, 64, 96, 128):
            if bands * rows <= slots and (rows > 1 or bands <= 16):
                yield bands, rows


def table(names):
    """For each corpus, shingle size and signature length, each band
    setting's candidates per document and its recall of the exact pairs per
    direction and threshold. A setting whose candidates are most of all
    pairs falls back to scoring every pair, as near_pairs does: recall 1."""
    from vendrask._rescore import FALLBACK_SHARE
    rows_out = []
    for name in names:
        docs = CORPORA[name]()
        matrix = exact_matrix(name, docs)
        n = len(docs)
        kb = np.mean([len(doc) for doc in docs]) / 1024
        wanted = {(d, t): exact_keys(matrix, d, t) for d in ("mean", "max")
                  for t in THRESHOLDS + tuple(round(t - MARGIN, 2) for t in THRESHOLDS)}
        print(f"{name}: {n} documents of {kb:.2f} KB on average, exact pairs (mean) "
              + ", ".join(f"{t}: {len(wanted['mean', t])}" for t in THRESHOLDS), flush=True)
        for shingle, slots in itertools.product(SHINGLES, SLOTS):
            start = time.process_time()
            sigs = _minhash.signatures(docs, slots=slots, shingle=shingle)
            per_doc = (time.process_time() - start) / n * 1e6
            for bands, rows in settings(slots):
                candidates = _minhash.Bands(bands, rows, slots).add(sigs)
                share = FALLBACK_SHARE * candidates.all_pairs
                if candidates.bound > share and candidates.count() > share:
                    recall = {key: 1.0 for key in wanted}
                    count, fallback = candidates.all_pairs, True
                else:
                    i, j = candidates.pairs()
                    found = i * n + j
                    recall = {key: (np.isin(keys, found).mean() if len(keys) else 1.0)
                              for key, keys in wanted.items()}
                    count, fallback = len(found), False
                rows_out.append(dict(corpus=name, shingle=shingle, slots=slots, bands=bands,
                                     rows=rows, per_doc=count / n, kb=kb, sig_us=per_doc,
                                     recall=recall, fallback=fallback))
    return rows_out


def choose(rows_out, direction, show=3):
    """For each threshold, shingle size and signature length, the settings
    that keep the floor on every corpus at the threshold and MARGIN under
    it, cheapest first: cost is the KB of pairs scored per document, summed
    over the corpora (a pair of short lines costs less than one of pages)."""
    by_setting = {}
    for row in rows_out:
        by_setting.setdefault((row["shingle"], row["slots"], row["bands"], row["rows"]),
                              []).append(row)
    for t in THRESHOLDS:
        floor = FLOOR.get(t, 0.99)
        best = {}
        for (shingle, slots, bands, rows), group in by_setting.items():
            if all(row["recall"][direction, t] >= floor
                   and row["recall"][direction, round(t - MARGIN, 2)] >= floor for row in group):
                cost = sum(row["per_doc"] * row["kb"] for row in group)
                best.setdefault((shingle, slots), []).append((cost, bands, rows, group))
        for (shingle, slots), found in sorted(best.items()):
            for cost, bands, rows, group in sorted(found, key=lambda f: f[0])[:show]:
                cells = " ".join(
                    f"{row['corpus']} {row['recall'][direction, t]:.4f}/"
                    + ("all" if row["fallback"] else f"{row['per_doc']:.1f}") for row in group)
                print(f"{direction} {t} shingle {shingle} slots {slots} {bands:3d} x {rows}: "
                      f"cost {cost:7.1f} | {cells} | {group[0]['sig_us']:.0f} us", flush=True)


def defaults(names):
    """The stage as it runs by default (its bands for each threshold, then
    the signature screen): candidates and pairs scored per document, and
    recall at the threshold and MARGIN under it, per corpus and direction."""
    from vendrask import _rescore
    for name in names:
        docs = CORPORA[name]()
        matrix = exact_matrix(name, docs)
        n = len(docs)
        lengths = np.array([len(doc) for doc in docs])
        sigs = _minhash.signatures(docs)
        for direction, t in itertools.product(("mean", "max"), THRESHOLDS):
            bands, rows = _rescore.setting(t, direction)
            candidates = _minhash.Bands(bands, rows).add(sigs)
            i, j = candidates.pairs()
            kept = list(_rescore.screen([(i, j)], sigs, lengths, t))
            si, sj = kept[0] if kept else (i[:0], j[:0])
            found = si * n + sj
            recall = [np.isin(keys, found).mean() if len(keys) else 1.0
                      for keys in (exact_keys(matrix, direction, t),
                                   exact_keys(matrix, direction, round(t - MARGIN, 2)))]
            print(f"{name:9s} {direction:4s} {t}: {bands:2d} x {rows}, {len(i) / n:7.1f} "
                  f"candidates, {len(si) / n:6.2f} scored per document, recall {recall[0]:.4f} "
                  f"({recall[1]:.4f} at {t - MARGIN:.2f})", flush=True)


def recall_of(found, wanted, n):
    """The share of the exact pair keys among the pairs found."""
    i, j = np.asarray(found[0]), np.asarray(found[1])
    keys = np.minimum(i, j) * n + np.maximum(i, j)
    return float(np.isin(wanted, keys).mean()) if len(wanted) else 1.0


def stage(docs, threshold=0.5, workers=1):
    """The candidate stage step by step: (pairs, CPU seconds per step, candidates)."""
    from vendrask._corpus import Corpus
    from vendrask._plan import Side
    from vendrask._reduce import listed_pairs
    from vendrask._rescore import rescore, screen, setting
    cpu = {}
    start = time.process_time()
    corpus = Corpus()
    ids = corpus.add(docs)
    sigs = _minhash.signatures(corpus.strings)
    cpu["signatures"] = time.process_time() - start
    start = time.process_time()
    bands, rows = setting(threshold, "mean")
    candidates = _minhash.Bands(bands, rows).add(sigs)
    count = 0

    def counted():
        nonlocal count
        for i, j in candidates:
            count += len(i)
            yield i, j
    chunks = list(screen(counted(), sigs, corpus.lengths, threshold))
    cpu["bands"] = time.process_time() - start
    start = time.process_time()
    u, v, forward, backward = rescore(corpus, chunks, threshold, "mean", workers=workers)
    found = listed_pairs(Side(ids), corpus, u, v, forward, backward, "mean", threshold)
    cpu["rescoring"] = time.process_time() - start
    return found, cpu, (count, sum(len(i) for i, _ in chunks))


def datasketch_minhashes(docs):
    """datasketch MinHash of each document's byte 5-grams, 128 permutations:
    (the MinHashes, CPU seconds)."""
    from datasketch import MinHash
    start = time.process_time()
    hashes = []
    for doc in docs:
        m = MinHash(num_perm=128)
        m.update_batch([doc[a:a + 5] for a in range(max(1, len(doc) - 4))])
        hashes.append(m)
    return hashes, time.process_time() - start


def datasketch_pipeline(docs, hashes, lsh_threshold, threshold=0.5, workers=1):
    """LSH (datasketch) at ``lsh_threshold`` over the MinHashes, and
    vendrask.pairwise on its candidates: (pairs, CPU seconds, candidates)."""
    from datasketch import MinHashLSH
    start = time.process_time()
    lsh = MinHashLSH(threshold=lsh_threshold, num_perm=128)
    for k, m in enumerate(hashes):
        lsh.insert(k, m)
    pairs = {(min(k, q), max(k, q)) for k, m in enumerate(hashes) for q in lsh.query(m) if q != k}
    i = np.array(sorted(pairs), dtype=np.int64).reshape(-1, 2)
    scores = vendrask.pairwise(docs, rows=i[:, 0], cols=i[:, 1], symmetric="mean",
                               workers=workers, errors="nan")
    keep = scores >= threshold
    return (i[keep, 0], i[keep, 1], scores[keep]), time.process_time() - start, len(i)


def exact_scores_hold(found, matrix, threshold):
    """Whether every pair found is at or over the threshold with the exact
    score of the matrix (the mean of both directions, bit for bit)."""
    i, j, score = (np.asarray(a) for a in found)
    want = (matrix[i, j] + matrix[j, i]) * 0.5
    return bool(np.all(score >= threshold) and np.array_equal(score, want))


def compare(name="edited", workers=1, threshold=0.5):
    """near_pairs against MinHash + LSH (datasketch) + vendrask.pairwise at
    several LSH thresholds, CPU and recall side by side in one run."""
    docs = CORPORA[name]()
    n = len(docs)
    matrix = exact_matrix(name, docs)
    wanted = exact_keys(matrix, "mean", threshold)
    print(f"{name}: {n} documents, {len(wanted)} exact pairs at {threshold} (mean), "
          f"workers={workers}", flush=True)
    from vendrask._rescore import near_pairs
    start = time.process_time()
    found = near_pairs(docs, threshold, workers=workers)
    elapsed = time.process_time() - start
    ours = recall_of(found, wanted, n)
    print(f"  near_pairs:          {elapsed:6.2f} s CPU, recall {ours:.4f}, "
          f"exact scores over the threshold: {exact_scores_hold(found, matrix, threshold)}",
          flush=True)
    found, cpu, (count, scored) = stage(docs, threshold, workers)
    print(f"  its steps:           {sum(cpu.values()):6.2f} s CPU, {count / n:.1f} candidates "
          f"and {scored / n:.2f} scored per document, "
          + ", ".join(f"{k} {v:.2f} s" for k, v in cpu.items()), flush=True)
    # What a user calls: an index (sizes, sketches, signatures) and its
    # pairs; and, as every index did before the graph was built lazily,
    # the neighbour graph built first and walked.
    for label, via in (("Index + pairs:", "sketch"), ("graph + walk:", "graph")):
        start = time.process_time()
        index = vendrask.Index(docs, workers=workers)
        if via == "graph":
            index.build_graph()
        found = index.pairs(threshold, via=via)
        elapsed = time.process_time() - start
        print(f"  {label:20} {elapsed:6.2f} s CPU, recall {recall_of(found, wanted, n):.4f}, "
              f"exact scores over the threshold: {exact_scores_hold(found, matrix, threshold)}",
              flush=True)
    hashes, hashing = datasketch_minhashes(docs)
    for lsh_threshold in (0.1, 0.2, 0.3, 0.4, 0.5):
        found, elapsed, count = datasketch_pipeline(docs, hashes, lsh_threshold, threshold,
                                                    workers)
        print(f"  datasketch LSH {lsh_threshold}:  {hashing + elapsed:6.2f} s CPU "
              f"({hashing:.2f} s hashing), recall {recall_of(found, wanted, n):.4f}, "
              f"{count / n:.1f} candidates per document", flush=True)


def memory(workers=1):
    """tracemalloc peaks of near_pairs and of the exact path (vendrask.pairs)
    on 1000 near-identical log lines, alone and among unrelated documents."""
    import tracemalloc
    from vendrask._rescore import near_pairs
    lines = [b"2026-12-10 02:13:07 worker 3 finished the nightly job in 12 ms, id %04d" % k
             for k in range(1000)]
    for others in (0, 2000):
        docs = lines + large_corpus(others) if others else lines
        peaks = {}
        for label, run in (("exact", lambda: vendrask.pairs(docs, threshold=0.5,
                                                           symmetric="mean", errors="nan",
                                                           workers=workers)),
                           ("near_pairs", lambda: near_pairs(docs, 0.5, workers=workers))):
            tracemalloc.start()
            start = time.process_time()
            found = run()
            elapsed = time.process_time() - start
            peaks[label] = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            print(f"{len(lines)} near-identical lines + {others} others, {label}: "
                  f"peak {peaks[label] / 2**20:.1f} MiB, {elapsed:.1f} s CPU, "
                  f"{len(found[0])} pairs", flush=True)


def _few_pool(size):
    """The first ``size`` chunks of the pool less every one that scores 0.3
    or more (mean) with an earlier one: ids into large_corpus(size), cached."""
    pool = large_corpus(size)
    digest = hashlib.sha256(b"\0".join(pool) + _native.version.encode()).hexdigest()[:16]
    path = os.path.join(CACHE, f"few-{size}-{digest}.npy")
    if os.path.exists(path):
        return pool, np.load(path)
    from vendrask._rescore import near_pairs
    start = time.process_time()
    # bands more sensitive than those of 0.3, to leave out all that can be found
    _, j, _ = near_pairs(pool, 0.3, bands=40, rows=3)
    kept = np.setdiff1d(np.arange(len(pool)), j)
    print(f"few: {len(pool) - len(kept)} of {len(pool)} chunks left out as near-duplicates "
          f"({time.process_time() - start:.0f} s CPU)", flush=True)
    os.makedirs(CACHE, exist_ok=True)
    np.save(path + ".tmp.npy", kept)
    os.replace(path + ".tmp.npy", path)
    return pool, kept


def few_duplicates(n, share=0.01, pool_size=160000):
    """``n`` documents: distinct chunks without near-duplicates, and a share
    of them edited copies of some of the others (one pair each at least)."""
    pool, kept = _few_pool(pool_size)
    copies = round(n * share)
    if n - copies > len(kept):
        raise SystemExit(f"only {len(kept)} chunks without near-duplicates for {n}")
    base = [pool[k] for k in kept[:n - copies].tolist()]
    rng = random.Random(6)
    vocabulary = sorted({w for doc in base[:500] for w in doc.split() if w.isalpha()})
    return base + [edit(base[rng.randrange(len(base))], rng, vocabulary) for _ in range(copies)]


def _resident(field):
    with open("/proc/self/status") as file:
        for line in file:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def _growth_child(docs, threshold, workers, out):
    """In a child process: the stage's CPU per step, and its peak RSS above
    the resident set the child started with."""
    before = _resident("VmRSS")
    found, cpu, (count, scored) = stage(docs, threshold, workers)
    out.send((cpu, count, scored, len(found[0]), _resident("VmHWM") - before))
    out.close()


def growth(sizes, workers=1, threshold=0.5, corpus="few", repeat=3):
    """The stage's CPU and peak memory as the corpus grows, and a projection
    to 10^6: the least CPU of ``repeat`` runs of each size (a shared
    machine's load only ever adds to it)."""
    import multiprocessing
    context = multiprocessing.get_context("fork")
    measured = []
    for n in sizes:
        docs = few_duplicates(n) if corpus == "few" else large_corpus(n)
        if len(docs) < n:
            print(f"only {len(docs)} distinct chunks for {n}", flush=True)
            break
        kb = np.mean([len(doc) for doc in docs]) / 1024
        runs = []
        for _ in range(repeat):
            receive, send = context.Pipe(duplex=False)
            child = context.Process(target=_growth_child, args=(docs, threshold, workers, send))
            child.start()
            send.close()
            runs.append(receive.recv())
            child.join()
        cpu, count, scored, pairs, peak = min(runs, key=lambda run: sum(run[0].values()))
        total = sum(cpu.values())
        measured.append((n, total))
        print(f"{corpus} {n:7d} documents ({kb:.2f} KB): {total:7.1f} s CPU "
              f"({total / n * 1e6:.0f} us per document), {count / n:.2f} candidates, "
              f"{scored / n:.2f} scored and {pairs / n:.3f} pairs per document, peak "
              f"{peak / 2**20:.0f} MiB over the start ({peak / n:.0f} B per document); "
              + ", ".join(f"{k} {v:.2f} s" for k, v in cpu.items())
              + f"; all runs {', '.join(f'{sum(run[0].values()):.2f}' for run in runs)} s",
              flush=True)
    if len(measured) >= 2:
        (n0, t0), (n1, t1) = measured[0], measured[-1]
        exponent = np.log(t1 / t0) / np.log(n1 / n0)
        projected = t1 * (1e6 / n1) ** exponent
        # The pairs unrelated documents make grow as n^2: t = a n + b n^2
        # through both ends is the more cautious projection.
        b = max(0.0, (t1 / n1 - t0 / n0) / (n1 - n0))
        a = t0 / n0 - b * n0
        cautious = a * 1e6 + b * 1e12
        print(f"growth exponent {exponent:.3f} from {n0} to {n1}; 10^6 documents projected "
              f"at {projected:.0f} s CPU ({projected / 3600:.2f} core-hours), or at "
              f"{cautious:.0f} s ({cautious / 3600:.2f} core-hours) with a term in n^2",
              flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("what", choices=("exact", "table", "defaults", "compare", "growth",
                                         "memory"))
    parser.add_argument("--corpus", nargs="*", default=list(CORPORA), choices=list(CORPORA))
    parser.add_argument("--n", type=int, nargs="*", default=[10000, 30000, 100000])
    parser.add_argument("--growth-corpus", choices=("few", "pool"), default="few")
    parser.add_argument("--repeat", type=int, default=3, help="growth: runs of each size")
    parser.add_argument("--threshold", type=float, nargs="*", default=[0.5])
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args()
    if args.what == "exact":
        for name in args.corpus:
            exact_matrix(name, CORPORA[name](), args.workers)
    elif args.what == "table":
        found = table(args.corpus)
        for direction in ("mean", "max"):
            choose(found, direction)
    elif args.what == "defaults":
        defaults(args.corpus)
    elif args.what == "compare":
        for name in args.corpus if args.corpus != list(CORPORA) else ["copyright", "edited",
                                                                      "code"]:
            for threshold in args.threshold:
                compare(name, args.workers, threshold)
    elif args.what == "memory":
        memory(args.workers)
    else:
        growth(args.n, args.workers, corpus=args.growth_corpus, repeat=args.repeat)


if __name__ == "__main__":
    main()
