"""How far the values of other zlib builds are from the defining ones.

Run it where vendrask was built with VENDRASK_ZLIB=1.2.1 (the reference
values); it compares, on one corpus it generates, the measures that these
zlibs give, each through the engine's dictionary rule:

- system:  the interpreter's zlib module, i.e. the zlib a default build uses
           on this machine (the same library, the same parameters);
- zlib-ng: the `zlib-ng` package from PyPI (zlib-ng in its native mode: the
           same compressor as its zlib-compatible libz), if installed;
- any other vendrask build, through its own engine: --build NAME=PATH names
  that build's vendrask/_native*.so (e.g. one built on zlib-ng's libz;
  an older build's vendrask/_zlib_native*.so works too).

The corpus: 60 documents of 200 B to 6 KB cut from the standard library's
sources (12 of them lightly edited copies of others), all 3540 ordered pairs;
and, reported apart, 120 degenerate pairs (repeats, runs, a few bytes).

    pip install . -C cmake.define.VENDRASK_ZLIB=1.2.1 && pip install zlib-ng
    python bench/zlib_values.py [--build NAME=PATH ...]
"""
import argparse
import importlib.machinery
import importlib.util
import math
import os
import random
import statistics
import sys
import sysconfig
import zlib

from vendrask import _native

CLAMPED = 0.99980002641677856


def compressor(module):
    """A probe on a zlib-like module, with the engine's dictionary rule."""
    def probe(data, dictionary=None):
        if dictionary is not None and len(dictionary) >= 3:
            stream = module.compressobj(3, module.DEFLATED, -15, 8, module.Z_DEFAULT_STRATEGY,
                                        dictionary[-32506:])
        else:
            stream = module.compressobj(3, module.DEFLATED, -15, 8, module.Z_DEFAULT_STRATEGY)
        return len(stream.compress(data)) + len(stream.flush())
    return probe


def build_probe(path):
    """The probe and zlib version of another build's _native module (or of an
    older build's _zlib_native: the file's name says which module it is)."""
    name = "vendrask." + os.path.basename(path).partition(".")[0]
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location(name, path, loader=loader))
    loader.exec_module(module)
    probe = getattr(module, "compressed_size", None) or module.probe
    return probe, f"vendrask built on zlib {module.version}" + (", linked in" if module.static else "")


def measure(probe, t, s):
    if t == s:
        return 1.0
    k_s_e, k_s_t, k_t_s = probe(s), probe(s, t), probe(t, s)
    k_s_s, k_t_t = probe(s, s), probe(t, t)
    x = (k_s_e - k_s_t) / max(k_s_e + k_t_s - k_s_s - k_t_t, 1)
    return 0.0 if x < 0 else CLAMPED if x > 0.9998 else x


def documents(seed=11):
    """60 documents cut from the standard library's sources."""
    rng = random.Random(seed)
    stdlib = sysconfig.get_paths()["stdlib"]
    files = sorted(f for f in os.listdir(stdlib) if f.endswith(".py")
                   and os.path.getsize(os.path.join(stdlib, f)) > 20000)
    docs = []
    for name in rng.sample(files, 12):
        with open(os.path.join(stdlib, name), "rb") as file:
            text = file.read()
        for _ in range(4):
            length = int(math.exp(rng.uniform(math.log(200), math.log(6000))))
            start = rng.randrange(len(text) - length)
            docs.append(text[start:start + length])
    for doc in rng.sample(docs, 12):  # near-duplicates: a few words cut and added
        words = doc.split(b" ")
        for _ in range(rng.randint(1, 8)):
            i = rng.randrange(len(words))
            words[i:i + 1] = [] if rng.random() < 0.5 else [words[i], rng.choice(words)]
        docs.append(b" ".join(words))
    return docs


def degenerate_pairs(seed=12):
    rng = random.Random(seed)
    pairs = []
    for _ in range(40):
        n = rng.randint(1, 12)
        t = bytes(rng.randrange(256) for _ in range(rng.randint(3, 2000))) + bytes(rng.randrange(256) for _ in range(2))
        pairs.append((t, t[-2:] * rng.randint(1, 400)))          # repeats the last bytes of t
        pairs.append((bytes([rng.randrange(256)]) * rng.randint(1, 30000),
                      bytes([rng.randrange(256)]) * rng.randint(1, 2000)))
        pairs.append((bytes(rng.randrange(256) for _ in range(n)),
                      bytes(rng.randrange(256) for _ in range(rng.randint(1, 12)))))
    return pairs


def compare(name, probe, reference, pairs, nearest_docs=None, width=8):
    got = [measure(probe, t, s) for t, s in pairs]
    deltas = [abs(a - b) for a, b in zip(got, reference)]
    changed = [d for d in deltas if d != 0]
    line = f"  {name:{width}} {len(changed) / len(pairs):6.1%} of measures differ"
    if changed:
        changed.sort()
        line += (f"; |difference|: median {statistics.median(changed):.5f}, "
                 f"99th percentile {changed[int(0.99 * (len(changed) - 1))]:.4f}, max {changed[-1]:.4f}; "
                 f"{sum(d > 0.01 for d in deltas) / len(pairs):.2%} of all by more than 0.01")
    print(line)
    if nearest_docs is not None:
        n = nearest_docs
        moved = sum(nearest(got, n, j) != nearest(reference, n, j) for j in range(n))
        print(f"  {'':{width}} nearest neighbour changes for {moved} of {n} documents")
    return got


def nearest(values, n, j):
    """The t with the highest measure of document j as s (ties: the lowest index)."""
    column = [(values[k], -i) for k, i in ((pair_index(i, j, n), i) for i in range(n) if i != j)]
    return -max(column)[1]


def pair_index(i, j, n):
    return i * (n - 1) + (j if j < i else j - 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", default=[], metavar="NAME=PATH",
                        help="another build's vendrask/_native*.so to compare too")
    options = parser.parse_args()
    if _native.version != "1.2.1" or not _native.static:
        sys.exit("zlib_values.py: needs the exact build (pip install . -C "
                 "cmake.define.VENDRASK_ZLIB=1.2.1); this one runs on zlib " + _native.version)
    backends = [("system", compressor(zlib), f"zlib {zlib.ZLIB_RUNTIME_VERSION}")]
    try:
        from zlib_ng import zlib_ng
        backends.append(("zlib-ng", compressor(zlib_ng), f"zlib-ng {zlib_ng.ZLIBNG_VERSION}"))
    except ImportError:
        print("zlib-ng: not measured (pip install zlib-ng)")
    for recipe in options.build:
        name, _, path = recipe.partition("=")
        if not path:
            parser.error(f"--build wants NAME=PATH, not {recipe!r}")
        try:
            backends.append((name, *build_probe(path)))
        except (ImportError, OSError, AttributeError) as failure:
            parser.error(f"--build {name}: cannot load {path}: {failure}")
    exact = _native.compressed_size

    docs = documents()
    n = len(docs)
    pairs = [(docs[i], docs[j]) for i in range(n) for j in range(n) if i != j]
    assert all(pair_index(i, j, n) == k for k, (i, j) in
               enumerate((i, j) for i in range(n) for j in range(n) if i != j))
    print(f"Python {sys.version.split()[0]}; {n} documents from the standard library, "
          f"{len(pairs)} ordered pairs; reference: zlib 1.2.1 compiled in")
    width = max(len(name) for name, _, _ in backends)
    for name, _, what in backends:
        print(f"  {name:{width}} = {what}")
    reference = [measure(exact, t, s) for t, s in pairs]
    for name, probe, _ in backends:
        compare(name, probe, reference, pairs, nearest_docs=n, width=width)

    sizes = [(s, None) for s in docs] + [(s, s) for s in docs] + [(s, t) for t, s in pairs[::7]]
    for name, probe, _ in backends:
        ratios = [probe(d, t) / exact(d, t) for d, t in sizes]
        moved = [r for r in ratios if r != 1]
        print(f"  {name:{width}} sizes: {len(moved) / len(sizes):.1%} of {len(sizes)} differ, "
              f"from {min(ratios) - 1:+.1%} to {max(ratios) - 1:+.1%}")

    example = (b"the quick brown fox jumps over the lazy dog", b"the lazy dog sleeps under the quick brown fox")
    print("README example: " + ", ".join(
        [f"exact {measure(exact, *example):.4f}"] + [f"{name} {measure(p, *example):.4f}" for name, p, _ in backends]))

    odd = degenerate_pairs()
    print(f"{len(odd)} degenerate pairs:")
    reference = [measure(exact, t, s) for t, s in odd]
    for name, probe, _ in backends:
        compare(name, probe, reference, odd, width=width)


if __name__ == "__main__":
    main()
