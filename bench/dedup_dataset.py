"""A dataset deduplicated from the command line, end to end: wall and CPU
time and peak memory of

    vendrask dedup --field text FILE.jsonl --threshold 0.5 --keep first -o OUT.jsonl

on a JSON Lines file of 100 000 records made from real text: distinct chunks
of about 1 KB of the standard library's sources (then of the other Python
packages installed, when the standard library has too few), and 5% edited
copies of some of them (2-6% of the words changed, a line moved, a header
added; see dedup_bench.edit).

    python bench/dedup_dataset.py                  # makes /tmp/vendrask-dedup-dataset/records.jsonl once
    python bench/dedup_dataset.py --records 20000 --workers 2

The command runs under /usr/bin/time -v in a child process; its figures are
those the kernel reports for it (user + system CPU, maximum resident set).
"""
import argparse
import json
import os
import random
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dedup_bench  # noqa: E402

DIRECTORY = "/tmp/vendrask-dedup-dataset"


def make(path, records, copies=0.05, seed=7):
    """Writes ``records`` JSON objects {"id", "text"}: distinct chunks with
    ``copies`` of them edited copies of earlier ones, in a random order."""
    n_copies = round(records * copies)
    base = dedup_bench.large_corpus(records - n_copies)
    if len(base) < records - n_copies:
        raise SystemExit(f"only {len(base)} distinct chunks for {records - n_copies}")
    rng = random.Random(seed)
    vocabulary = sorted({w for doc in base[:500] for w in doc.split() if w.isalpha()})
    docs = base + [dedup_bench.edit(base[rng.randrange(len(base))], rng, vocabulary)
                   for _ in range(n_copies)]
    rng.shuffle(docs)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as file:
        for k, doc in enumerate(docs):
            text = doc.decode("utf-8", "replace")
            file.write(json.dumps({"id": k, "text": text}, ensure_ascii=False) + "\n")
    os.replace(tmp, path)


FIELDS = {"wall": r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)",
          "user": r"User time \(seconds\): (\S+)", "system": r"System time \(seconds\): (\S+)",
          "peak": r"Maximum resident set size \(kbytes\): (\d+)"}


def seconds(clock):
    out = 0.0
    for part in clock.split(":"):
        out = out * 60 + float(part)
    return out


def run(path, out, threshold, workers):
    command = [os.path.join(os.path.dirname(sys.executable), "vendrask"), "dedup", "--field",
               "text", path, "--threshold", str(threshold), "--keep", "first", "-o", out,
               "--workers", str(workers)]
    print("$", " ".join(command), flush=True)
    done = subprocess.run(["/usr/bin/time", "-v"] + command, capture_output=True, text=True)
    lines = [line for line in done.stderr.splitlines() if line.startswith("vendrask:")]
    print("\n".join(lines) or "(no summary line)")
    figures = {}
    for name, pattern in FIELDS.items():
        found = re.search(pattern, done.stderr)
        figures[name] = found.group(1) if found else None
    if done.returncode != 0 or None in figures.values():
        print(done.stderr[-3000:])
        raise SystemExit(f"the command failed (exit status {done.returncode})")
    cpu = float(figures["user"]) + float(figures["system"])
    with open(path, "rb") as file:
        given = sum(1 for _ in file)
    with open(out, "rb") as file:
        kept = sum(1 for _ in file)
    print(f"{given} records in, {kept} out; wall {seconds(figures['wall']):.1f} s, CPU "
          f"{cpu:.1f} s (user {figures['user']}, system {figures['system']}), peak RSS "
          f"{int(figures['peak']) / 1024:.0f} MiB", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--records", type=int, default=100000)
    parser.add_argument("--threshold", type=float, default=0.5)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--directory", default=DIRECTORY)
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    path = os.path.join(args.directory, f"records-{args.records}.jsonl")
    if not os.path.exists(path):
        make(path, args.records)
    run(path, os.path.join(args.directory, f"kept-{args.records}.jsonl"), args.threshold,
        args.workers)


if __name__ == "__main__":
    main()
