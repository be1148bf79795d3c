"""The measure of two builds side by side in one process: typically the exact
build (VENDRASK_ZLIB=1.2.1) against a default one on the system zlib.

    python bench/zlib_speed.py OTHER/_vendrask.cpython-*.so

times the `_vendrask` that this interpreter imports and the one at the given
path, on the same pairs cut from /usr/share/common-licenses (128 different
pairs per joint size, cycled), in interleaved rounds, in CPU time.
"""
import argparse
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import time

import _vendrask
from vendrask import _native

CORPUS_DIRECTORY = "/usr/share/common-licenses"
JOINT_SIZES = (100, 1024, 8192, 32767)
PAIRS = 128


def load(path):
    """Another build's _vendrask, under the same name but as its own module."""
    loader = importlib.machinery.ExtensionFileLoader("_vendrask", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("_vendrask", path, loader=loader))
    loader.exec_module(module)
    return module


def pairs_of(corpus, joint):
    """PAIRS different pairs of related text (two nearby pieces of one stretch)."""
    step = max((len(corpus) - 2 * joint) // PAIRS, 1)
    out = []
    for k in range(PAIRS):
        start = k * step
        split = joint // 3 + k % (joint // 3 + 1)
        out.append((corpus[start:start + split], corpus[start + joint // 2:start + joint // 2 + joint - split]))
    return out


def cpu_seconds(measure, pairs, repeats):
    start = time.process_time()
    for _ in range(repeats):
        for t, s in pairs:
            measure(t, s)
    return (time.process_time() - start) / (repeats * len(pairs))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("other", help="the other build's _vendrask extension file")
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    other = load(options.other)
    corpus = b"".join(open(os.path.join(CORPUS_DIRECTORY, n), "rb").read()
                      for n in sorted(os.listdir(CORPUS_DIRECTORY))
                      if not os.path.islink(os.path.join(CORPUS_DIRECTORY, n)))
    print(f"this build: zlib {_native.version}{' (linked in)' if _native.static else ''}; "
          f"other: {options.other}")
    print(f"{'joint size':>10} | {'this (µs)':>10} {'other (µs)':>10} | {'this/other':>10}")
    for joint in JOINT_SIZES:
        pairs = pairs_of(corpus, joint)
        repeats = max(1, 20000 // joint)
        rounds = ([], [])
        for _ in range(options.rounds):  # interleaved, so load drifts hit both alike
            rounds[0].append(cpu_seconds(_vendrask.measure, pairs, repeats))
            rounds[1].append(cpu_seconds(other.measure, pairs, repeats))
        ours, theirs = (statistics.median(r) * 1e6 for r in rounds)
        print(f"{joint:>10} | {ours:>10.1f} {theirs:>10.1f} | {ours / theirs:>9.2f}x")


if __name__ == "__main__":
    sys.exit(main())
