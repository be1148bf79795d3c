"""The many-document functions of the vendrask package, side by side in one
run, on documents cut from the licence texts in /usr/share/common-licenses:

1. order: the same cross compressions (every ordered pair of 1-2 KB
   documents) run column by column (one data string after a run of
   dictionaries), row by row (one dictionary before a run of data strings)
   and shuffled, on one thread, through the native core's batch_sizes();
2. cost per ordered pair of nearest, pairs, pdist and pairwise against
   matrix on the same documents, 1 worker;
3. 1 against 2 workers for matrix and nearest, in wall-clock time and as
   the CPU times predict it for two free cores;
4. rescoring candidate pairs: pairwise against a loop of _vendrask.measure
   and against the matrix's cost per pair;
5. peak memory, each in a fresh interpreter: nearest(k=10) and matrix over
   5000 documents of about 200 B, as the peak resident set after the job
   less the resident set before it;
6. index-form: rescoring 20 candidate pairs of a corpus of 100 000
   documents of 100-300 B (cut from the standard library's Python sources
   and the Perl modules, not the licences: those hold too few different
   pieces), pairwise(docs, rows=i, cols=j) against the same pairs passed as
   two lists, pairwise([docs[a] for a in i], [docs[b] for b in j]).

Times are medians of interleaved rounds (a round runs every variant once, so
drifts in the load of a shared machine hit all alike); ratios are taken
within each round, with the range over the rounds. One-worker times are CPU
times, which leave out the time other processes had the core; the wall-clock
speed-up of the workers comparison needs a machine that is otherwise idle.

Run: python bench/api_bench.py [--quick] [--only order,cost,workers,rescoring,memory,index-form]
(after pip install .). The memory section takes about 2 minutes per function
on two free cores; --quick runs it on 1000 documents.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare  # noqa: E402  (the corpus and how documents are cut from it)

SECTIONS = ("order", "cost", "workers", "rescoring", "memory", "index-form")


def race(variants, rounds, clock=time.process_time):
    """{name: [seconds per round]}, each variant run once per round in turn,
    after one untimed warm-up round."""
    for job in variants.values():
        job()
    times = {name: [] for name in variants}
    for _ in range(rounds):
        for name, job in variants.items():
            start = clock()
            job()
            times[name].append(clock() - start)
    return times


def ratio_text(ratios):
    """The median of per-round ratios, with their range."""
    return f"{statistics.median(ratios):5.2f}x ({min(ratios):.2f}-{max(ratios):.2f})"


def ratio(times, name, base):
    """Median and range over the rounds of times[name] / times[base]."""
    return ratio_text([a / b for a, b in zip(times[name], times[base])])


def ordered_pairs(n):
    """Row and column indices of every ordered pair (i, j), i != j, row-major."""
    rows, cols = np.nonzero(~np.eye(n, dtype=bool))
    return rows.astype(np.int64), cols.astype(np.int64)


def order(docs, rounds):
    from vendrask import _native

    n = len(docs)
    strings = tuple(docs)
    dictionary, data = ordered_pairs(n)  # row by row: one dictionary, a run of data strings
    by_column = np.lexsort((dictionary, data))  # one data string, a run of dictionaries
    shuffled = np.random.default_rng(8).permutation(len(data))
    orders = {"column by column": by_column, "row by row": np.arange(len(data)), "shuffled": shuffled}
    sizes = {name: np.empty(len(data), dtype=np.int32) for name in orders}

    def job(name, permutation):
        dictionaries = np.ascontiguousarray(dictionary[permutation], dtype=np.int32)
        datas = np.ascontiguousarray(data[permutation], dtype=np.int32)

        def run():
            failure = _native.batch_sizes(strings, dictionaries, datas, sizes[name], 1, None)
            if failure is not None:
                raise RuntimeError(failure)
        return run

    times = race({name: job(name, permutation) for name, permutation in orders.items()}, rounds)
    # Each order's sizes back in row-by-row order: the same probes give the same sizes.
    same = all(np.array_equal(sizes[name][np.argsort(orders[name])], sizes["row by row"]) for name in orders)
    print(f"\n1. Order of the cross compressions: the {len(data)} ordered pairs of {n} documents "
          f"of 1-2 KB, 1 worker (sizes identical in every order: {same})")
    print(f"   {'order':<18} {'CPU time':>8} {'per probe':>10}   {'row by row / this':<22}")
    for name in orders:
        seconds = statistics.median(times[name])
        print(f"   {name:<18} {seconds:>7.3f}s {seconds / len(data) * 1e6:>8.1f}us   "
              f"{ratio(times, 'row by row', name)}")


def cost(docs, rounds):
    import vendrask

    n = len(docs)
    rows, cols = ordered_pairs(n)
    m = vendrask.matrix(docs)
    # The same work, so the same values: a cheap guard against timing the wrong thing.
    assert np.array_equal(vendrask.pairwise(docs, rows=rows, cols=cols), m[rows, cols])
    scores, indices = vendrask.nearest(docs, k=10)
    assert np.array_equal(scores[:, 0], np.max(np.where(np.eye(n, dtype=bool), -np.inf, m), axis=1))
    variants = {
        "matrix": lambda: vendrask.matrix(docs),
        "nearest(k=10)": lambda: vendrask.nearest(docs, k=10),
        "pairs(threshold=0.5)": lambda: vendrask.pairs(docs, threshold=0.5),
        "pdist": lambda: vendrask.pdist(docs),
        "pairwise, index form": lambda: vendrask.pairwise(docs, rows=rows, cols=cols),
    }
    times = race(variants, rounds)
    pairs = n * (n - 1)
    print(f"\n2. Cost per ordered pair against matrix: {n} documents of 1-2 KB ({pairs} ordered pairs), 1 worker")
    print(f"   {'function':<22} {'CPU time':>8} {'per pair':>9}   {'this / matrix':<22}")
    for name in variants:
        seconds = statistics.median(times[name])
        print(f"   {name:<22} {seconds:>7.3f}s {seconds / pairs * 1e6:>7.2f}us   {ratio(times, name, 'matrix')}")


def workers(docs, rounds):
    """Wall-clock speed-up from 1 to 2 workers, and what the CPU times say it
    would be on two free cores: the work outside the probe batches runs on the
    calling thread alone, the batches' CPU time splits over both workers. On a
    busy machine only the second is worth reading."""
    import vendrask
    from vendrask import _native

    jobs = {"matrix": lambda count: vendrask.matrix(docs, workers=count),
            "nearest(k=10)": lambda count: vendrask.nearest(docs, k=10, workers=count)}
    in_batches = [0.0]  # CPU seconds of the whole process inside probe batches
    batch_sizes = _native.batch_sizes

    def timed_batch_sizes(*args):
        start = time.process_time()
        try:
            return batch_sizes(*args)
        finally:
            in_batches[0] += time.process_time() - start

    load = os.getloadavg()[0]
    rows = {(name, count): [] for name in jobs for count in (1, 2)}  # (wall, cpu, cpu in batches)
    _native.batch_sizes = timed_batch_sizes
    try:
        for job in jobs.values():
            job(1), job(2)
        for _ in range(rounds):
            for name, job in jobs.items():
                for count in (1, 2):
                    in_batches[0] = 0.0
                    wall, cpu = time.perf_counter(), time.process_time()
                    job(count)
                    rows[name, count].append((time.perf_counter() - wall, time.process_time() - cpu,
                                              in_batches[0]))
    finally:
        _native.batch_sizes = batch_sizes
    print(f"\n3. 1 against 2 workers: {len(docs)} documents of 1-2 KB "
          f"(load average before: {load:.2f}, {os.cpu_count()} cores)")
    print(f"   {'':<14} {'wall-clock time':^37} | {'CPU time':^26} {'speed-up on':>12}")
    print(f"   {'':<14} {'1 worker':>8} {'2 workers':>9} {'speed-up':>18} | {'1 worker':>8} {'2 workers':>9} "
          f"{'serial':>7} {'2 free cores':>12}")
    for name in jobs:
        one, two = rows[name, 1], rows[name, 2]
        speed_ups = [a[0] / b[0] for a, b in zip(one, two)]
        # Serial: the calling thread's work outside the batches (1 worker).
        ideal = [a[1] / ((a[1] - a[2]) + b[2] / 2) for a, b in zip(one, two)]
        serial = statistics.median((a[1] - a[2]) / a[1] for a in one)
        print(f"   {name:<14} {statistics.median(r[0] for r in one):>7.3f}s "
              f"{statistics.median(r[0] for r in two):>8.3f}s {ratio_text(speed_ups):>18} | "
              f"{statistics.median(r[1] for r in one):>7.3f}s {statistics.median(r[1] for r in two):>8.3f}s "
              f"{serial:>7.1%} {statistics.median(ideal):>11.2f}x")


def rescoring(docs, rounds, candidates):
    import _vendrask
    import vendrask

    n = len(docs)
    numbers = np.random.default_rng(4)
    first = numbers.integers(0, n, size=candidates)
    second = (first + numbers.integers(1, n, size=candidates)) % n  # never the same document
    both = (np.concatenate([first, second]), np.concatenate([second, first]))
    cases = {"one direction": (first, second), "both directions": both}

    def loop(rows, cols):
        return [_vendrask.measure(docs[i], docs[j]) for i, j in zip(rows.tolist(), cols.tolist())]

    for rows, cols in cases.values():
        assert np.array_equal(vendrask.pairwise(docs, rows=rows, cols=cols), loop(rows, cols))
    variants = {"matrix": lambda: vendrask.matrix(docs)}
    for name, (rows, cols) in cases.items():
        variants[f"pairwise, {name}"] = (lambda r, c: lambda: vendrask.pairwise(docs, rows=r, cols=c))(rows, cols)
        variants[f"loop of measure, {name}"] = (lambda r, c: lambda: loop(r, c))(rows, cols)
    times = race(variants, rounds)
    per_pair = {"matrix": n * (n - 1)}
    for name, (rows, _) in cases.items():
        per_pair[f"pairwise, {name}"] = per_pair[f"loop of measure, {name}"] = len(rows)
    base = statistics.median(times["matrix"]) / per_pair["matrix"]
    print(f"\n4. Rescoring {candidates} random candidate pairs of {n} documents of 1-2 KB (once in one "
          f"direction, once listed in both), 1 worker, against the matrix's cost per ordered pair")
    print(f"   {'CPU time':<34} {'per pair':>9}   {'this / matrix':>13}")
    for name in variants:
        seconds = statistics.median(times[name]) / per_pair[name]
        print(f"   {name:<34} {seconds * 1e6:>7.2f}us   {seconds / base:>12.2f}x")


MEMORY_JOB = """
import sys, time
sys.path.insert(0, sys.argv[1])
import compare, vendrask
count, function = int(sys.argv[2]), sys.argv[3]
docs = compare.cut_documents(compare.read_corpus(), count, 150, 250, seed=5)
job = {"nearest": lambda: vendrask.nearest(docs, k=10, workers=2),
       "matrix": lambda: vendrask.matrix(docs, workers=2)}[function]
vendrask.nearest, vendrask.matrix  # load them (and numpy) before the first reading

def kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

resident, peak = kib("VmRSS"), kib("VmHWM")
start = time.perf_counter()
result = job()
seconds = time.perf_counter() - start
size = sum(a.nbytes for a in result) if isinstance(result, tuple) else result.nbytes
print(resident, peak, kib("VmHWM"), size, seconds)
"""


def memory(count):
    # The growth is counted from the resident set before the job, not from the
    # peak so far, so that a peak left by the imports cannot hide the job's.
    print(f"\n5. Peak memory, each in a fresh interpreter: {count} documents of 150-250 B, 2 workers")
    print(f"   {'function':<16} {'time':>7} {'resident before':>16} {'peak before':>12} {'peak after':>11} "
          f"{'growth':>10} {'result':>10}")
    for function in ("nearest", "matrix"):
        run = subprocess.run([sys.executable, "-c", MEMORY_JOB, HERE, str(count), function],
                             capture_output=True, text=True)
        if run.returncode != 0:
            print(f"   {function}: failed\n{run.stderr}")
            continue
        resident, before, after, size, seconds = (float(x) for x in run.stdout.split())
        label = "nearest(k=10)" if function == "nearest" else function
        print(f"   {label:<16} {seconds:>6.1f}s {resident / 1024:>12.1f} MiB {before / 1024:>8.1f} MiB "
              f"{after / 1024:>7.1f} MiB {(after - resident) / 1024:>6.1f} MiB {size / 2**20:>6.1f} MiB")


def source_pieces(count):
    """`count` consecutive pieces of 100-300 B, each ending at a line where
    one ends in range, of the running interpreter's standard library and the
    Perl modules in /usr/share/perl*, in path order: no two pieces overlap;
    and where they come from."""
    import glob
    import sysconfig

    stdlib = sysconfig.get_paths()["stdlib"]
    paths = sorted(p for p in glob.glob(os.path.join(stdlib, "**", "*.py"), recursive=True)
                   if "-packages" not in p)
    paths += sorted(glob.glob("/usr/share/perl*/**/*.pm", recursive=True))
    parts, size = [], 0
    for path in paths:
        if size > count * 300:  # enough for count pieces of up to 300 B
            break
        with open(path, "rb") as file:
            parts.append(file.read())
        size += len(parts[-1])
    docs = compare.split_documents(b"".join(parts), 100, 300, seed=9)[:count]
    if len(docs) < count:
        sys.exit(f"api_bench.py: only {len(docs)} pieces of source text for the index-form section")
    return docs, f"{stdlib}/**/*.py and /usr/share/perl*/**/*.pm"


def index_form(rounds, count, candidates=20, calls=10):
    """A few candidate pairs of a big corpus, as pairwise's index form gets
    them (the corpus and two index arrays, as another index hands them on)
    and as two lists of just those documents. Every call rescores different
    pairs, the same ones in both forms; a timed run is `calls` calls."""
    import vendrask

    docs, source = source_pieces(count)
    numbers = np.random.default_rng(6)
    draws = []
    for _ in range((rounds + 1) * calls):  # the warm-up round too
        first = numbers.integers(0, count, size=candidates)
        draws.append((first, (first + numbers.integers(1, count, size=candidates)) % count))
    rows, cols = draws[0]
    assert np.array_equal(vendrask.pairwise(docs, rows=rows, cols=cols),
                          vendrask.pairwise([docs[a] for a in rows], [docs[b] for b in cols]))

    def form(score):
        upcoming = iter(draws)

        def run():
            for _ in range(calls):
                score(*next(upcoming))
        return run

    variants = {
        "index form": form(lambda i, j: vendrask.pairwise(docs, rows=i, cols=j)),
        "two lists": form(lambda i, j: vendrask.pairwise([docs[a] for a in i], [docs[b] for b in j])),
    }
    times = race(variants, rounds)
    print(f"\n6. Rescoring {candidates} candidate pairs of a corpus of {count} documents of 100-300 B "
          f"cut from {source}, different pairs in every call, 1 worker")
    print(f"   {'form':<12} {'CPU time per call':>17}   {'this / two lists':<22}")
    for name in variants:
        seconds = statistics.median(times[name]) / calls
        print(f"   {name:<12} {seconds * 1e3:>15.3f}ms   {ratio(times, name, 'two lists')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer documents and rounds (1000 documents for the memory section)")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated sections to run, of {', '.join(SECTIONS)}")
    options = parser.parse_args()
    chosen = options.only.split(",")
    unknown = sorted(set(chosen) - set(SECTIONS))
    if unknown:
        parser.error(f"no section named {', '.join(unknown)}")
    if not os.path.isdir(compare.CORPUS_DIRECTORY):
        sys.exit(f"api_bench.py: needs the licence texts in {compare.CORPUS_DIRECTORY}")

    import zlib
    import vendrask
    docs = compare.split_documents(compare.read_corpus(), 1024, 2048, seed=1)
    rounds = 5
    if options.quick:
        docs, rounds = docs[:60], 2
    print(f"vendrask {vendrask.__version__}, Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"zlib {zlib.ZLIB_RUNTIME_VERSION}; documents cut from {compare.CORPUS_DIRECTORY}")
    if "order" in chosen:
        order(docs, rounds)
    if "cost" in chosen:
        cost(docs, rounds)
    if "workers" in chosen:
        workers(docs, rounds)
    if "rescoring" in chosen:
        rescoring(docs, rounds, 500 if options.quick else 2000)
    if "memory" in chosen:
        memory(1000 if options.quick else 5000)
    if "index-form" in chosen:
        index_form(rounds, 100_000)


if __name__ == "__main__":
    main()
