"""Which direction of the score suits which task, measured on real text.

measure(t, s) asks how much of s the compressor can say through t, and its
denominator grows with what s cannot say of t: it is not symmetric. This
benchmark scores every query against every document both ways,
measure(query, doc) and measure(doc, query), and the mean, lower and higher
of the two, and reports how well each choice does three tasks:

1. containment search: passages of 200 and 300 bytes cut verbatim from the
   documents; which document holds the passage? Top-1 is right when the best
   document holds the passage verbatim (a passage some documents share may
   be found in any of them). The documents: the licence texts of 1-8 KB in
   /usr/share/common-licenses and the /usr/share/doc/*/copyright files of
   1-8 KB, each text once, and no two sharing half their 5-word shingles.
   Reported too: top-1 by the size of the document the passage came from
   (the score's denominator grows with the document, so a big holder can
   lose to a small document that shares only part of the passage), and the
   same search among the 14 licence texts alone, each cut to its first
   8 KB (long texts with little in common). The median true score is that
   of the document the passage was cut from.
2. near-duplicates: one edited copy of each of some of those documents (1-5%
   of its words replaced, or a few blocks of lines moved, or a header of a
   few lines put in front), mixed into the corpus; for each copy, is its
   original the best of all other documents; and how well a threshold
   separates the true pairs (copy, original) from the false ones (copy, any
   other document).
3. classification: the language of 1-2 KB chunks of source files (Python
   from /usr/lib/python3*, C headers from /usr/include, Perl from
   /usr/share/perl*, shell scripts from /usr/bin and /usr/sbin), split into
   train and test by file; accuracy of the nearest training chunk's label.

Every matrix is two vendrask.cdist calls: cdist(queries, docs) is
measure(query, doc), cdist(docs, queries).T is measure(doc, query).
The same seed picks the same documents, passages, edits and splits (on the
same files: installing packages changes /usr/share/doc). Last, one 200-byte
passage of the BSD licence, scored both ways.

Run: python bench/directions.py [--seed N] [--quick]
(after pip install ., or with PYTHONPATH pointing at the source tree's
python/ directory holding the built native modules). Under a minute on 2
cores; --quick takes a smaller sample of every task.
"""
import argparse
import glob
import hashlib
import os
import re
import statistics
import sys
import time

import numpy as np

LICENCES = "/usr/share/common-licenses"
SMALLEST, LARGEST = 1024, 8192  # document sizes for search and near-duplicates
PASSAGE_SIZES = (200, 300)
WORD = re.compile(rb"\S+")
DIRECTIONS = ("measure(query, doc)", "measure(doc, query)", "mean", "min", "max")


def read(path):
    with open(path, "rb") as file:
        return file.read()


def shingles(text, width=5):
    words = WORD.findall(text.lower())
    # The tuples themselves, not their hashes: bytes hash differently in every process.
    return {tuple(words[i:i + width]) for i in range(max(1, len(words) - width + 1))}


def drop_near_copies(named, limit=0.5):
    """The documents less any that shares `limit` of its 5-word shingles (by
    Jaccard index) with one kept before it: many packages ship the same
    copyright file with a different name in it, and a corpus full of such
    twins would blur which document is *the* original of an edited copy."""
    kept, kept_sets = [], []
    for name, text in named:
        own = shingles(text)
        if all(len(own & other) / len(own | other) < limit for other in kept_sets):
            kept.append((name, text))
            kept_sets.append(own)
    return kept


def read_documents():
    """[(name, text)]: licences first, then copyright files, in name order."""
    named, seen = [], set()
    paths = [os.path.join(LICENCES, name) for name in sorted(os.listdir(LICENCES))]
    paths += sorted(glob.glob("/usr/share/doc/*/copyright"))
    for path in paths:
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        text = read(path)
        digest = hashlib.sha256(text).digest()
        if SMALLEST <= len(text) <= LARGEST and digest not in seen:
            seen.add(digest)
            named.append((path, text))
    return named


def directions(query_by_doc, doc_by_query):
    """{direction: (queries, docs) scores} from measure(query, doc) and
    measure(doc, query)."""
    a, b = query_by_doc, doc_by_query
    return {"measure(query, doc)": a, "measure(doc, query)": b, "mean": (a + b) * 0.5,
            "min": np.minimum(a, b), "max": np.maximum(a, b)}


def both_ways(vendrask, queries, docs):
    return directions(vendrask.cdist(queries, docs, workers=-1), vendrask.cdist(docs, queries, workers=-1).T)


def cut_passages(docs, size, count, rng):
    """`count` different passages of `size` bytes, each from a random place
    in a document, the documents taken in a seeded round so that no few
    dominate; and the document each was cut from."""
    queries, origins, seen = [], [], set()
    order = rng.permutation(len(docs))
    while len(queries) < count:
        origin = int(order[len(queries) % len(order)])
        text = docs[origin]
        start = int(rng.integers(0, len(text) - size + 1))
        passage = text[start:start + size]
        if passage not in seen:
            seen.add(passage)
            queries.append(passage)
            origins.append(origin)
    return queries, origins


SIZE_BANDS = ((1024, 2048), (2049, 4096), (4097, 8192))


def containment(vendrask, docs, per_size, rng, label="search"):
    """Top-1 and the true document's median score per passage size, and
    top-1 by the size of the document the passage came from."""
    rows, counts, by_band, every_origin = {}, {}, {}, []
    for size in PASSAGE_SIZES:
        queries, origins = cut_passages(docs, size, per_size, rng)
        every_origin += origins
        holders = [[j for j, d in enumerate(docs) if q in d] for q in queries]
        counts[size] = (len(queries), sum(len(h) > 1 for h in holders))
        for name, scores in both_ways(vendrask, queries, docs).items():
            hit = np.array([int(b) in h for b, h in zip(np.argmax(scores, axis=1), holders)])
            rows.setdefault(name, {})[f"{label} {size} B: top-1"] = hit.mean()
            rows[name][f"{label} {size} B: median true score"] = float(
                np.median(scores[np.arange(len(queries)), origins]))
            by_band.setdefault(name, []).extend(zip(hit, (len(docs[o]) for o in origins)))
    if label == "search":
        for name, outcomes in by_band.items():
            for low, high in SIZE_BANDS:
                band = [hit for hit, length in outcomes if low <= length <= high]
                rows[name][f"{label} both sizes: top-1, holder {round(low / 1024)}-{high // 1024} KB"] = (
                    np.mean(band) if band else float("nan"))
        counts["bands"] = [sum(low <= len(docs[o]) <= high for o in every_origin) for low, high in SIZE_BANDS]
    return rows, counts


def licence_heads():
    """Every licence text of LICENCES, cut to the lines of its first 8 KB."""
    heads = []
    for name in sorted(os.listdir(LICENCES)):
        path = os.path.join(LICENCES, name)
        if os.path.isfile(path) and not os.path.islink(path):
            text = read(path)
            heads.append(text if len(text) <= LARGEST else text[:text.rfind(b"\n", 0, LARGEST) + 1])
    return heads


def edit_words(text, rng, vocabulary):
    words = list(WORD.finditer(text))
    share = rng.uniform(0.01, 0.05)
    chosen = sorted(rng.choice(len(words), size=max(1, round(share * len(words))), replace=False))
    parts, last = [], 0
    for index in chosen:
        match = words[index]
        parts += [text[last:match.start()], vocabulary[int(rng.integers(len(vocabulary)))]]
        last = match.end()
    return b"".join(parts) + text[last:]


def move_lines(text, rng):
    lines = text.split(b"\n")
    for _ in range(2):
        length = int(rng.integers(3, 11))
        if len(lines) <= length + 1:
            break
        start = int(rng.integers(0, len(lines) - length))
        block = lines[start:start + length]
        del lines[start:start + length]
        at = int(rng.integers(0, len(lines) + 1))
        lines[at:at] = block
    return b"\n".join(lines)


def add_header(text, rng, vocabulary):
    words = [vocabulary[int(i)].decode("latin-1") for i in rng.integers(len(vocabulary), size=6)]
    header = (f"Retrieved: 20{rng.integers(10, 30)}-{rng.integers(1, 13):02}-{rng.integers(1, 29):02}\n"
              f"Source: https://example.org/{words[0]}/{words[1]}\n"
              f"Note: {' '.join(words[2:])}\n\n")
    return header.encode("latin-1") + text


EDITS = ("words", "lines", "header")


def near_duplicates(vendrask, docs, copies, rng):
    vocabulary = sorted({w for d in docs for w in WORD.findall(d) if w.isalpha()})
    originals = sorted(rng.choice(len(docs), size=min(copies, len(docs)), replace=False).tolist())
    edited, kinds = [], []
    for k, origin in enumerate(originals):
        kind = EDITS[k % len(EDITS)]
        text = docs[origin]
        copy = (edit_words(text, rng, vocabulary) if kind == "words" else
                move_lines(text, rng) if kind == "lines" else add_header(text, rng, vocabulary))
        if copy == text:  # too few lines to move: change words instead
            copy, kind = edit_words(text, rng, vocabulary), "words"
        edited.append(copy)
        kinds.append(kind)
    corpus = docs + edited
    m, n = len(edited), len(docs)
    rows_, truth = np.arange(m), np.asarray(originals)
    own = np.zeros((m, len(corpus)), dtype=bool)
    own[rows_, n + rows_] = True
    false = ~own
    false[rows_, truth] = False
    kinds = np.asarray(kinds)
    rows = {}
    for name, scores in both_ways(vendrask, edited, corpus).items():
        best = np.argmax(np.where(own, -np.inf, scores), axis=1)
        hit = best == truth
        true_scores, false_scores = scores[rows_, truth], scores[false]
        rows[name] = {"near-dup: top-1": hit.mean()}
        for kind in EDITS:
            rows[name][f"near-dup: top-1, {kind}"] = hit[kinds == kind].mean()
        rows[name]["near-dup: median true score"] = float(np.median(true_scores))
        rows[name]["near-dup: true pairs >= 0.5"] = np.mean(true_scores >= 0.5)
        rows[name]["near-dup: false pairs >= 0.5"] = np.mean(false_scores >= 0.5)
        # The threshold a user would pick to let through 1 false pair in 1000.
        cut = np.quantile(false_scores, 0.999)
        rows[name]["near-dup: true pairs above the 99.9th pct of false"] = np.mean(true_scores > cut)
        rows[name]["near-dup: highest false score"] = float(false_scores.max())
    counts = {kind: int((kinds == kind).sum()) for kind in EDITS}
    return rows, (m, len(corpus), int(false.sum()), counts)


SHEBANG = re.compile(rb"#! ?(/usr)?/bin/(env +)?(ba|da)?sh\b")


def source_files():
    """{language: [paths]} of the files each language's chunks come from."""
    python = sorted(glob.glob("/usr/lib/python3*/**/*.py", recursive=True))
    c = sorted(glob.glob("/usr/include/**/*.h", recursive=True))
    perl = sorted(p for pattern in ("/usr/share/perl*/**/*.pm", "/usr/share/perl*/**/*.pl")
                  for p in glob.glob(pattern, recursive=True))
    shell = []
    for path in sorted(glob.glob("/usr/bin/*") + glob.glob("/usr/sbin/*")):
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as file:
                if SHEBANG.match(file.read(40)):
                    shell.append(path)
    found = {"Python": python, "C": c, "Perl": perl, "shell": shell}
    return {language: [p for p in paths if os.path.isfile(p)] for language, paths in found.items()}


def chunks_of(text, smallest=1024, largest=2048, rng=None):
    """The text cut into consecutive chunks of 1-2 KB, each ending at a line
    where one ends in range; a shorter tail is dropped."""
    chunks, start = [], 0
    while len(text) - start >= smallest:
        end = start + int(rng.integers(smallest, largest + 1))
        end = text.rfind(b"\n", start + smallest, end) + 1 or min(end, len(text))
        chunks.append(text[start:end])
        start = end
    return chunks


def labelled_chunks(per_class, rng, per_file=3):
    """Train and test chunks with their languages: the files of each
    language in a seeded order, every third file's chunks for testing; at
    most `per_file` chunks of a file, so that no few big files make a class;
    each chunk's bytes once (licence headers repeat across files)."""
    train, test, seen = ([], []), ([], []), set()
    for language, paths in source_files().items():
        taken = 0
        for k, index in enumerate(rng.permutation(len(paths))):
            if taken >= per_class:
                break
            chunks = [c for c in chunks_of(read(paths[index]), rng=rng) if c not in seen]
            if len(chunks) > per_file:
                chunks = [chunks[i] for i in sorted(rng.choice(len(chunks), size=per_file, replace=False))]
            chunks = chunks[:per_class - taken]
            seen.update(chunks)
            taken += len(chunks)
            texts, labels = test if k % 3 == 0 else train
            texts += chunks
            labels += [language] * len(chunks)
    return train, test


def classification(vendrask, per_class, rng):
    (train, train_labels), (test, test_labels) = labelled_chunks(per_class, rng)
    train_labels, test_labels = np.asarray(train_labels), np.asarray(test_labels)
    rows = {}
    for name, scores in both_ways(vendrask, test, train).items():
        predicted = train_labels[np.argmax(scores, axis=1)]
        rows[name] = {"classification: 1-NN accuracy": np.mean(predicted == test_labels)}
    languages = sorted(set(test_labels))
    counts = {lang: (int((train_labels == lang).sum()), int((test_labels == lang).sum())) for lang in languages}
    return rows, counts


def passage_example(vendrask, rng):
    """A 200-byte passage of the BSD licence, scored both ways."""
    licence = read(os.path.join(LICENCES, "BSD"))
    start = int(rng.integers(0, len(licence) - 200 + 1))
    passage = licence[start:start + 200]
    forward, backward = vendrask.pairwise([licence, passage], [passage, licence])
    return len(licence), start, forward, backward


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="picks documents, passages, edits and splits")
    parser.add_argument("--quick", action="store_true", help="a smaller sample of every task")
    options = parser.parse_args()
    if not os.path.isdir(LICENCES):
        sys.exit(f"directions.py: needs the licence texts in {LICENCES}")

    import zlib
    import vendrask

    rng = np.random.default_rng(options.seed)
    per_size, copies, per_class = (40, 40, 60) if options.quick else (150, 150, 300)
    named = read_documents()
    distinct = len(named)
    named = drop_near_copies(named)
    docs = [text for _, text in named]
    licences = sum(name.startswith(LICENCES) for name, _ in named)
    print(f"vendrask {vendrask.__version__}, Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"zlib {zlib.ZLIB_RUNTIME_VERSION}, seed {options.seed}")
    print(f"\nDocuments: {len(docs)} of {SMALLEST}-{LARGEST} B ({licences} licence texts of {LICENCES}, "
          f"{len(docs) - licences} /usr/share/doc/*/copyright files), of {distinct} distinct texts "
          f"less {distinct - len(docs)} sharing half their 5-word shingles with one kept; "
          f"median {statistics.median(map(len, docs)):.0f} B")

    table, seconds = {name: {} for name in DIRECTIONS}, {}

    def run(task, job):
        start = time.perf_counter()
        rows, counts = job()
        seconds[task] = time.perf_counter() - start
        for name in DIRECTIONS:
            table[name].update(rows[name])
        return counts

    search = run("search", lambda: containment(vendrask, docs, per_size, rng))
    bands = search.pop("bands")
    for size, (queries, shared) in search.items():
        print(f"Containment search, {size} B: {queries} passages (of them {shared} held verbatim by more "
              f"than one document) against the {len(docs)} documents")
    print("  passages by the size of the document they were cut from: "
          + ", ".join(f"{round(low / 1024)}-{high // 1024} KB {count}"
                      for (low, high), count in zip(SIZE_BANDS, bands)))
    heads = licence_heads()
    search = run("licences", lambda: containment(vendrask, heads, per_size // 2, rng, label="licences only"))
    print(f"Containment search among the licence texts alone: {len(heads)} texts of {LICENCES} cut to "
          f"their first 8 KB ({min(map(len, heads))}-{max(map(len, heads))} B), "
          + ", ".join(f"{q} passages of {size} B" for size, (q, _) in search.items()))
    copies_, corpus, false_pairs, kinds = run("near-dup", lambda: near_duplicates(vendrask, docs, copies, rng))
    print(f"Near-duplicates: {copies_} edited copies ({', '.join(f'{v} {k}' for k, v in kinds.items())}) "
          f"against the other {corpus - 1} documents of {corpus} (originals and copies); "
          f"{copies_} true pairs, {false_pairs} false")
    languages = run("classify", lambda: classification(vendrask, per_class, rng))
    print(f"Classification: chunks of 1-2 KB, train/test by file: "
          + ", ".join(f"{lang} {tr}/{te}" for lang, (tr, te) in languages.items())
          + f" ({sum(tr for tr, _ in languages.values())} train, "
            f"{sum(te for _, te in languages.values())} test)")
    print("Seconds (2 cdist calls each, all CPUs): "
          + ", ".join(f"{task} {value:.1f}" for task, value in seconds.items()))

    tasks = list(table[DIRECTIONS[0]])
    print()
    print("| task | " + " | ".join(f"`{d}`" if d.startswith("measure") else d for d in DIRECTIONS) + " |")
    print("|---|" + "---:|" * len(DIRECTIONS))
    for task in tasks:
        values = [table[name][task] for name in DIRECTIONS]
        best = max(values) if "false" not in task else min(values)
        # False-pair rates are small: as a percentage, lest they all print 0.000.
        text = [f"{v:.2%}" if "false pairs" in task else f"{v:.3f}" for v in values]
        cells = [f"**{t}**" if v == best and "score" not in task else t for v, t in zip(values, text)]
        print(f"| {task} | " + " | ".join(cells) + " |")

    size, start, forward, backward = passage_example(vendrask, rng)
    print(f"\nThe 200-byte passage at byte {start} of the {size}-byte BSD licence "
          f"({LICENCES}/BSD):")
    print(f"  measure(licence, passage) = {forward:.3f}   (how much of the passage the licence says)")
    print(f"  measure(passage, licence) = {backward:.3f}   (how much of the licence the passage says)")


if __name__ == "__main__":
    main()
