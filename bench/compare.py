"""_vendrask.measure against the same measure in pure Python on the standard
library's zlib (tests/reference.py), side by side in one run, per joint-size
class, in a plain interpreter and in one that has imported numpy (which
changes how glibc's malloc treats zlib's 270 KB of stream state: see the
README).

The pairs are 128 different ones per class, cut from the licence texts in
/usr/share/common-licenses (the same pairs as bench/measure_bench.cpp). Each
variant makes the same calls in two orders: "cycled" runs through all pairs
again and again, "repeated" measures each pair many times running, as a
benchmark of one pair would. The repeated order lets the CPU's branch
predictor learn the input, so it flatters the figures; the cycled order is
what a workload of many different pairs pays.

Run: python bench/compare.py [--quick]   (after pip install .)
The many-document functions are in bench/api_bench.py.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS_DIRECTORY = "/usr/share/common-licenses"
JOINT_SIZES = (100, 1024, 8192, 32767)
PAIRS = 128
MASK64 = (1 << 64) - 1


def read_corpus():
    """The directory's regular files (not the symlinks that repeat them), in
    name order, concatenated: the same bytes as the native benchmark's."""
    names = sorted(name for name in os.listdir(CORPUS_DIRECTORY)
                   if not os.path.islink(os.path.join(CORPUS_DIRECTORY, name)))
    parts = []
    for name in names:
        path = os.path.join(CORPUS_DIRECTORY, name)
        if os.path.isfile(path):
            with open(path, "rb") as file:
                parts.append(file.read())
    return b"".join(parts)


def splitmix64(seed):
    """The same stream of numbers as the native benchmark's generator."""
    state = seed & MASK64
    while True:
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        yield z ^ (z >> 31)


def cut_pairs(corpus, joint, count=PAIRS):
    """`count` different pairs of `joint` bytes together, each string cut from
    a random place in the corpus."""
    n_t = joint // 2
    n_s = joint - n_t
    numbers = splitmix64(joint)
    pairs = []
    while len(pairs) < count:
        a = next(numbers) % (len(corpus) - n_t + 1)
        b = next(numbers) % (len(corpus) - n_s + 1)
        t, s = corpus[a:a + n_t], corpus[b:b + n_s]
        if t != s:
            pairs.append((t, s))
    return pairs


def cut_documents(corpus, count, smallest, largest, seed):
    """`count` documents of `smallest` to `largest` bytes, each cut from a
    random place in the corpus and starting at a line, as the same call
    always cuts them."""
    numbers = splitmix64(seed)
    documents = []
    while len(documents) < count:
        size = smallest + next(numbers) % (largest - smallest + 1)
        start = corpus.find(b"\n", next(numbers) % (len(corpus) - largest)) + 1
        document = corpus[start:start + size]
        if len(document) == size:
            documents.append(document)
    return documents


def split_documents(corpus, smallest, largest, seed):
    """The corpus cut into consecutive documents of `smallest` to `largest`
    bytes, each ending at a line where there is one: no two overlap."""
    numbers = splitmix64(seed)
    documents = []
    start = 0
    while len(corpus) - start >= smallest:
        end = start + smallest + next(numbers) % (largest - smallest + 1)
        end = corpus.rfind(b"\n", start + smallest, end) + 1 or end
        documents.append(corpus[start:end])
        start = end
    return documents


def repeats_in_a_row(joint):
    """How often the repeated order measures each pair running: dozens of runs
    let a branch predictor learn an input; fewer for the larger pairs keeps a
    run short, and there one measure is long enough to learn from anyway."""
    return 64 if joint <= 1024 else 16 if joint <= 8192 else 8


def call_order(pairs, repeats, cycled):
    """Every pair `repeats` times: cycling through them, or each running."""
    if cycled:
        return pairs * repeats
    return [pair for pair in pairs for _ in range(repeats)]


def seconds_per_call(function, order):
    # CPU time: on a shared machine the wall clock also counts the time other
    # processes had the core.
    start = time.process_time()
    for t, s in order:
        function(t, s)
    return (time.process_time() - start) / len(order)


def single_times(quick):
    """Prints, per joint size, median seconds per call of _vendrask and of pure
    Python, repeated and cycled. Runs in the interpreter being measured."""
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import _vendrask
    import reference

    import zlib
    from vendrask import _native
    # On a build with another zlib compiled in the values differ by design.
    same_zlib = _native.version == zlib.ZLIB_RUNTIME_VERSION

    corpus = read_corpus()
    for joint in JOINT_SIZES:
        pairs = cut_pairs(corpus, joint)[:16 if quick else PAIRS]
        if same_zlib:
            for t, s in pairs:
                assert _vendrask.measure(t, s) == reference.measure(t, s)
        variants = [(function, call_order(pairs, repeats_in_a_row(joint), cycled))
                    for function in (_vendrask.measure, reference.measure) for cycled in (False, True)]
        rounds = [[] for _ in variants]
        for _ in range(2 if quick else 3):  # interleaved, so drifts in machine load hit all alike
            for times, (function, order) in zip(rounds, variants):
                times.append(seconds_per_call(function, order))
        print(joint, *(statistics.median(times) for times in rounds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="16 pairs per joint size, two rounds")
    options = parser.parse_args()
    if not os.path.isdir(CORPUS_DIRECTORY):
        sys.exit(f"compare.py: needs the licence texts in {CORPUS_DIRECTORY}")

    import zlib
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, zlib {zlib.ZLIB_RUNTIME_VERSION}, "
          f"{16 if options.quick else PAIRS} pairs per joint size cut from {CORPUS_DIRECTORY}")
    print("CPU microseconds per measure (medians); cycled: all pairs in turn; repeated: each pair "
          + "/".join(str(repeats_in_a_row(joint)) for joint in JOINT_SIZES) + " times running")
    for prelude, title in (("", "plain interpreter"), ("import numpy; ", "after import numpy")):
        code = (prelude + "import sys; sys.path.insert(0, sys.argv[1]); import compare; "
                f"compare.single_times({options.quick})")
        result = subprocess.run([sys.executable, "-c", code, HERE], capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(f"compare.py: the {title} run failed:\n{result.stderr}")
        print(f"\n{title}")
        print(f"{'joint size':>10} | {'vendrask':>8} {'':>8} {'cycled/':>8} | {'pure Python':>11} {'':>8} "
              f"{'cycled/':>8} | {'pure Python/':>12}")
        print(f"{'':>10} | {'repeated':>8} {'cycled':>8} {'repeated':>8} | {'repeated':>11} {'cycled':>8} "
              f"{'repeated':>8} | {'vendrask':>12}")
        for line in result.stdout.splitlines():
            joint, ours_repeated, ours, theirs_repeated, theirs = line.split()
            ours_repeated, ours, theirs_repeated, theirs = (
                float(x) * 1e6 for x in (ours_repeated, ours, theirs_repeated, theirs))
            print(f"{joint:>10} | {ours_repeated:>8.1f} {ours:>8.1f} {ours / ours_repeated:>7.2f}x | "
                  f"{theirs_repeated:>11.1f} {theirs:>8.1f} {theirs / theirs_repeated:>7.2f}x | "
                  f"{theirs / ours:>11.2f}x")


if __name__ == "__main__":
    main()
