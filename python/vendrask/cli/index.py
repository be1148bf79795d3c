"""The commands on top of ``vendrask.Index``: ``index build``, ``index add``,
``index info``, ``search`` and ``dedup``. The files they read and write are
``index_files``'s.
"""
import json

from .errors import Failure, UsageError, listed, say, shown
from .index_files import IndexPath, index_class, load, save
from .inputs import STDIN, _unpaired_against, scored
from .run import NO_DOCUMENTS, CommandRun, _print, _say_cut

NO_QUERIES = "no queries given: name query files or directories after INDEX, or --files-from PATH"


# ---------------------------------------------------------------- the calls

def _call(job, function, *positional, **options):
    """An Index call: its errors as one line, the bar cleared before them,
    and its warnings unsaid (the command names files where it warns of
    positions)."""
    import warnings

    import vendrask
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vendrask.DocumentWarning)
            return function(*positional, **options)
    except (ValueError, RuntimeError) as error:
        job.progress.close()
        raise Failure(str(error)) from None
    except BaseException:
        job.progress.close()
        raise


def _skip_unpaired(texts, docs, others, itself, what):
    """With --errors skip: ``texts`` and ``docs`` without the long documents
    that fit with none of ``others`` (see inputs.unpaired)."""
    gone = set(_unpaired_against(docs, others, itself=itself))
    if gone:
        say(f"skipped {len(gone)} of {len(docs)} documents, each over the joint size limit with "
            f"every {what}: " + listed([texts[i].label for i in sorted(gone)]))
    kept = [i for i in range(len(docs)) if i not in gone]
    return [texts[i] for i in kept], [docs[i] for i in kept]


def build(args):
    job = CommandRun(args)
    IndexPath(args.index).check_replaceable()  # before the work, not after it
    labels, docs = job.one_list(job.documents(args.docs), stable=True)
    Index, _ = index_class()
    job.progress.unit = " documents"
    job.progress.plan(len(docs), 0)
    index = _call(job, Index, docs, max_bytes=args.max_bytes, workers=args.workers,
                  progress=job.progress.callback())
    job.progress.close()
    save(index, labels, args.index)


def add(args):
    job = CommandRun(args)
    index, names = load(args.index, args.workers)
    if args.max_bytes is not None and args.max_bytes != index.max_bytes:
        raise UsageError(f"--max-bytes {args.max_bytes}: {shown(args.index)} cuts its documents "
                         f"to {index.max_bytes or 'no'} bytes, and so does add (leave out "
                         f"--max-bytes)")
    args.max_bytes = index.max_bytes
    texts = job.documents(args.docs)
    known = set(names)
    again = [text.label for text in texts if text.label != STDIN and text.label in known]
    if again:
        say(f"left out {len(again)} documents already in the index by name: {listed(again)}")
        texts = [text for text in texts if text.label == STDIN or text.label not in known]
    if not texts:
        return
    _say_cut(texts, args.max_bytes)
    docs = scored(texts, stable=True)
    if args.errors == "skip":
        texts, docs = _skip_unpaired(texts, docs, docs + [index[p] for p in range(len(index))],
                                     True, "other document")
        if not texts:
            return
    job.progress.unit = " documents"
    job.progress.plan(len(docs), 0)
    positions = _call(job, index.add, docs, progress=job.progress.callback()).tolist()
    job.progress.close()
    names = names + [None] * (max(positions, default=-1) + 1 - len(names))
    for position, text in zip(positions, texts):
        names[position] = text.label
    if any(name is None for name in names):
        raise Failure(f"{shown(args.index)}: the index gave positions with no document: "
                      f"nothing was saved")
    save(index, names, args.index)


INFO_KEYS = ("documents", "distinct", "max_bytes", "zlib", "format", "degree", "bytes")


def info(args):
    index, _ = load(args.index)
    found = index.info()
    if args.format == "json":
        _print([json.dumps(found, ensure_ascii=False, default=str)])
        return
    keys = [key for key in INFO_KEYS if key in found] + [key for key in found if key not in INFO_KEYS]
    lines = []
    for key in keys:
        value = found[key]
        if key == "max_bytes" and value is None:
            value = "none (documents kept whole)"
        elif key == "bytes" and isinstance(value, int):
            value = f"{value} ({_size(value)})"
        lines.append(f"{key}: {value}")
    _print(lines)


def _size(count):
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024


def search(args):
    job = CommandRun(args)
    index, names = load(args.index, args.workers)
    if args.max_bytes is None:  # queries are cut as the documents were
        args.max_bytes = index.max_bytes
    texts = job.documents(args.docs, NO_QUERIES)
    _say_cut(texts, args.max_bytes)
    queries = scored(texts, stable=True)
    if args.errors == "skip":
        texts, queries = _skip_unpaired(texts, queries, [index[p] for p in range(len(index))],
                                        False, "document of the index")
        if not texts:
            raise Failure("no queries left to search")
    labels = [text.label for text in texts]
    # No row holds more hits than the index holds documents.
    k = max(1, min(args.k, len(index)))
    job.progress.plan(len(queries) * len(index), 0)
    scores, hits = _call(job, index.nearest, queries, k=k, symmetric=args.symmetric,
                         exact=args.exact, workers=args.workers, progress=job.progress.callback())
    cutoff = args.score_cutoff

    def rows():
        for query, score_row, hit_row in zip(labels, scores.tolist(), hits.tolist()):
            found = [(score, hit) for score, hit in zip(score_row, hit_row)
                     if hit >= 0 and (cutoff is None or score >= cutoff)]
            for rank, (score, hit) in enumerate(found, 1):
                yield query, names[hit], rank, score
    job.write(lambda table: table.records(["query", "hit", "rank", "score"], rows()))


def dedup(args):
    import numpy as np
    job = CommandRun(args)
    labels, docs = job.one_list(job.documents(args.docs, NO_DOCUMENTS))
    Index, _ = index_class()
    job.progress.plan(len(docs) * len(docs), 0)
    # Building takes about as long as finding the pairs: half the bar each.
    index = _call(job, Index, docs, workers=args.workers, progress=job.progress.callback(0, 0.5))
    options = dict(symmetric=args.symmetric, exact=args.exact, workers=args.workers,
                   progress=job.progress.callback(0.5, 0.5))
    if args.clusters:
        found = _call(job, index.clusters, args.threshold, **options).tolist()
        job.write(lambda table: table.records(["cluster", "name"], zip(found, labels)))
        return
    i, j, score = _call(job, index.pairs, args.threshold, **options)
    order = np.lexsort((j, i, -score))  # highest first; ties in input order, as pairs prints

    def rows():
        for a, b, x in zip(i[order].tolist(), j[order].tolist(), score[order].tolist()):
            yield labels[a], labels[b], x
    job.write(lambda table: table.records(["t", "s", "score"], rows()))
