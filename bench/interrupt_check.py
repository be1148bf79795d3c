"""Interrupts Index.add and Index.save at random moments and checks what is left.

    python bench/interrupt_check.py                 # 60 runs
    python bench/interrupt_check.py --runs 200 --seed 7

Each run starts from a saved index of real text (chunks of the licence and
copyright files) and stops an ``add`` or a ``save`` at a random moment in one
of four ways: an exception raised from the progress callback at its k-th
report, SIGINT or SIGKILL sent to a child process that adds and saves, or
SIGKILL of a child in the middle of a save. Then, whatever happened, the
index in memory (for the in-process ways) and the file on disk must be an
index of the documents they report:

- it loads (the file), and holds either the old documents or all of them,
  saving to the very bytes of the index an uninterrupted run leaves in that
  state;
- every row of ``neighbors`` has neighbours, and each score equals
  ``_vendrask.measure`` of its pair (both directions, combined by the mean);
- each document, searched for, comes back first at 1.0;
- adding the documents it lacks brings it to the full corpus, with answers
  that pass the same checks.

Prints one line per run and a summary; exits 1 if any run left an index
that fails a check.
"""
import argparse
import glob
import os
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

import _vendrask
import vendrask

CHUNK = 700


def corpus(count):
    chunks = []
    paths = sorted(glob.glob("/usr/share/common-licenses/*")) + sorted(
        glob.glob("/usr/share/doc/*/copyright"))
    for path in paths:
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError:
            continue
        for at in range(0, len(data) - CHUNK // 2, CHUNK):
            chunk = data[at:at + CHUNK]
            if chunk not in chunks:
                chunks.append(chunk)
            if len(chunks) == count:
                return chunks
    return chunks


def saved(index, path):
    index.save(path)
    with open(path, "rb") as file:
        return file.read()


def check(index, docs_known, label, expected=None, scratch=None):
    """Problems of ``index`` as an index of its own documents; [] if none.
    ``expected``: the saved bytes of every state it may be in (one built
    without interruption from the same documents), compared with its own."""
    problems = []
    if expected is not None and saved(index, scratch) not in expected:
        problems.append(f"{label}: saves to bytes of neither the old nor the new index")
    docs = list(index)
    if len(docs) not in docs_known:
        problems.append(f"{label}: {len(docs)} documents, expected one of {sorted(docs_known)}")
    scores, hits = index.neighbors(k=3, symmetric="mean")
    for row in range(len(docs)):
        if hits[row, 0] < 0:
            problems.append(f"{label}: row {row} has no neighbour")
            break
        for score, hit in zip(scores[row], hits[row]):
            if hit < 0:
                continue
            a, b = docs[row], docs[hit]
            if len(a) + len(b) > vendrask.JOINT_SIZE_LIMIT:
                continue
            want = (_vendrask.measure(a, b) + _vendrask.measure(b, a)) / 2
            if score != want:
                problems.append(f"{label}: neighbors score {score!r} of ({row}, {hit}), "
                                f"measure gives {want!r}")
                break
    sample = random.Random(len(docs)).sample(range(len(docs)), min(10, len(docs)))
    found, at = index.nearest([docs[i] for i in sample], k=1)
    for i, f, a in zip(sample, found[:, 0], at[:, 0]):
        if f != 1.0 or docs[a] != docs[i]:
            problems.append(f"{label}: document {i} searched for came back as {a} at {f}")
            break
    return problems


CHILD = textwrap.dedent("""
    import sys, vendrask
    base, target, first = sys.argv[1], sys.argv[2], int(sys.argv[3])
    docs = [bytes.fromhex(line) for line in open(sys.argv[4])]
    index = vendrask.Index.load(base)
    index.add(docs[first:])
    index.save(target)
    print("saved", flush=True)
""")


def run_child(base, target, first, docs_file, sig, delay):
    child = subprocess.Popen([sys.executable, "-c", CHILD, base, target, str(first), docs_file],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    child.send_signal(sig)
    child.communicate(timeout=300)
    return child.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=60)
    parser.add_argument("--docs", type=int, default=240)
    parser.add_argument("--seed", type=int, default=0)
    options = parser.parse_args()
    rng = random.Random(options.seed)
    docs = corpus(options.docs)
    first = len(docs) // 2
    everything = {first, len(docs)}
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        base = os.path.join(folder, "base.idx")
        vendrask.Index(docs[:first]).save(base)
        scratch = os.path.join(folder, "scratch.idx")
        # What an add that nobody stops leaves: the states a sound run may end in.
        whole_index = vendrask.Index.load(base)
        whole_index.add(docs[first:])
        with open(base, "rb") as file:
            states = {first: file.read(), len(docs): saved(whole_index, scratch)}
        both = set(states.values())
        docs_file = os.path.join(folder, "docs.hex")
        with open(docs_file, "w") as out:
            out.write("\n".join(d.hex() for d in docs) + "\n")
        # How long a child's whole add and save take, to aim the signals.
        started = time.monotonic()
        run_child(base, os.path.join(folder, "probe.idx"), first, docs_file, 0, 0)
        whole = time.monotonic() - started
        # How many reports an add and a save make, to aim the exceptions.
        reports = {}
        for way in ("progress", "save-progress"):
            count = [0]

            def tally(done, total):
                count[0] += 1
            index = vendrask.Index.load(base)
            if way == "progress":
                index.add(docs[first:], progress=tally)
            else:
                index.add(docs[first:])
                index.save(os.path.join(folder, "probe.idx"), progress=tally)
            reports[way] = count[0]
        print(f"{len(docs)} documents; an add makes {reports['progress']} reports, a save "
              f"{reports['save-progress']}; a child's add and save take {whole:.2f} s", flush=True)
        for run in range(options.runs):
            way = ("progress", "save-progress", "sigint", "sigkill")[run % 4]
            target = os.path.join(folder, f"run{run}.idx")
            with open(base, "rb") as src, open(target, "wb") as out:
                out.write(src.read())
            what = ""
            problems = []
            if way in ("progress", "save-progress"):
                index = vendrask.Index.load(target)
                stop_at = rng.randint(1, reports[way])
                calls = [0]

                def stop(done, total):
                    calls[0] += 1
                    if calls[0] >= stop_at:
                        raise (KeyboardInterrupt if rng.random() < 0.5 else RuntimeError)("stop")
                try:
                    if way == "progress":
                        index.add(docs[first:], progress=stop)
                    else:
                        index.add(docs[first:])
                        index.save(target, progress=stop)
                    what = f"finished before report {stop_at}"
                except (KeyboardInterrupt, RuntimeError):
                    what = f"stopped at report {stop_at}"
                problems += check(index, everything, "in memory", both, scratch)
                index.add(docs[len(index):])
                problems += check(index, {len(docs)}, "in memory, completed",
                                  {states[len(docs)]}, scratch)
            else:
                sig = signal.SIGINT if way == "sigint" else signal.SIGKILL
                delay = rng.uniform(0.1, 1.1) * whole
                code = run_child(base, target, first, docs_file, sig, delay)
                what = f"signal after {delay:.2f} s, exit {code}"
            try:
                loaded = vendrask.Index.load(target)
            except vendrask.IndexFileError as error:
                problems.append(f"file: {error}")
            else:
                problems += check(loaded, everything, "file", both, scratch)
                loaded.add(docs[len(loaded):])
                problems += check(loaded, {len(docs)}, "file, completed",
                                  {states[len(docs)]}, scratch)
            # Loading the file removes what a killed save left beside it.
            strays = [name for name in os.listdir(folder)
                      if name.startswith(".") and f"run{run}.idx" in name]
            if strays:
                problems.append(f"temporary files left: {strays}")
            failures += bool(problems)
            print(f"run {run:3d} {way:13s} {what:40s} "
                  + ("ok" if not problems else "FAILED: " + "; ".join(problems[:3])), flush=True)
            os.unlink(target)
    print(f"{options.runs - failures} of {options.runs} runs left a sound index")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
