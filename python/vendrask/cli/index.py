"""The commands on top of ``vendrask.Index``: ``index build``, ``index add``,
``index info``, ``search`` and ``dedup``. The files they read and write are
``index_files``'s.

An index outlives the folder it was built from, so INDEX.names records each
document's absolute path, and the commands print it relative to the current
folder when it lies below it (as given, from where the index was built).
Names from indexes of earlier versions, relative to wherever they were
built, are printed as they were recorded.
"""
import json

from .. import JOINT_SIZE_LIMIT
from .command import CommandRun, _call, _print, _say_cut
from .errors import Failure, UsageError, listed, say, shown
from .index_files import (IndexPath, _file_of, _Names, _recorded, index_class, load,
                          save, window_class)
from .inputs import STDIN, _unpaired_against, scored

NO_QUERIES = "no queries given: name query files or directories after INDEX, or --files-from PATH"

# Floors under what the index reports as its total work, in compressions:
# each document's two sizes, and at least this many pairs scored for each
# new document (a build scored 35 to 48 per document on 400 to 700 files,
# 300 on 10 000) or each query (it starts from at least 128 sketch seeds).
# A growing total then starts from a sensible size instead of from the
# sizes alone, which are done in a moment.
PAIRS_PER_DOCUMENT = 24
PAIRS_PER_QUERY = 64
# The share of the pairs search in dedup's work, in units of the build's,
# where it is not known in advance (without --exact): 1% to 25% of the
# build on 710 copyright files, for thresholds of 0.5 to 0.3.
PAIRS_AFTER_BUILD = 0.1


# ---------------------------------------------------------------- progress, and what is left out

class _Work:
    """The progress of one or more Index calls as one stream of
    compressions for the bar: each call's reports counted after those of
    the calls before it, the total never under ``floor``, and while a call
    runs, ``ahead(total)`` more known or guessed to follow it."""

    def __init__(self, report, floor=0):
        self.report, self.floor = report, floor
        self.before, self.total = 0, 0

    def call(self, ahead=None):
        """The progress callback of the next call (None: no bar)."""
        if self.report is None:
            return None
        self.before += self.total
        self.total = 0

        def part(done, total):
            self.total = total
            more = ahead(total) if ahead is not None else 0
            self.report(self.before + done, max(self.floor, self.before + total + more))
        return part


def _skip_unpaired(texts, docs, others, itself, what):
    """With --errors skip: ``texts`` and ``docs`` without the long documents
    that fit with none of ``others`` (see inputs.unpaired)."""
    gone = set(_unpaired_against(docs, others, itself=itself))
    if gone:
        say(f"skipped {len(gone)} of {len(docs)} documents, each over the joint size limit with "
            f"every {what}: " + listed([texts[i].label for i in sorted(gone)]))
    kept = [i for i in range(len(docs)) if i not in gone]
    return [texts[i] for i in kept], [docs[i] for i in kept]


def _cut_in(index, max_bytes):
    """How many documents of ``index`` are ``max_bytes`` long or longer
    (cut to it, or kept whole past the joint limit); 0 or 1 will do, since
    it only decides whether two cut documents may meet."""
    if max_bytes is None or max_bytes <= JOINT_SIZE_LIMIT // 2:
        return 0
    return int(any(len(doc) >= max_bytes for doc in index))


# ---------------------------------------------------------------- the commands

def build(args):
    job = CommandRun(args)
    window = _window(args)
    IndexPath(args.index).check_replaceable()  # before the work, not after it
    labels, docs = job.one_list(job.documents(args.docs), stable=True, whole=window is None)
    job.progress.plan_share(f"{len(docs)} documents")
    if window is None:
        Index, _ = index_class()
        options, count = {}, len(docs)
    else:
        Index = window_class()
        options = {"window": window[0], "overlap": window[1]}
        count = _window_count(docs, *window)
    work = _Work(job.progress.callback(), _build_floor(count, count))
    index = _call(job, Index, docs, max_bytes=args.max_bytes, workers=args.workers,
                  progress=work.call(), **options)
    _graphed(job, index, work)
    job.progress.reached(1.0)
    try:
        save(index, [_recorded(label) for label in labels], args.index)
    finally:
        job.progress.close()


def _window(args):
    """(window, overlap) of --window and --overlap, or None without them;
    a usage error for values that cannot be."""
    if args.window is None:
        if args.overlap is not None:
            raise UsageError("--overlap needs --window: the overlap is of the windows "
                             "(--window N --overlap M)")
        return None
    from .._passages import MAX_WINDOW, check_window
    if args.window > MAX_WINDOW:
        raise UsageError(f"--window {args.window}: at most {MAX_WINDOW} bytes, so that any two "
                         f"windows fit the joint size limit of {JOINT_SIZE_LIMIT} bytes together")
    if args.overlap is not None and args.overlap >= args.window:
        raise UsageError(f"--overlap {args.overlap}: less than the window ({args.window} "
                         f"bytes), or every window would start where the one before it did")
    return check_window(args.window, args.overlap)


def _window_count(docs, window, overlap):
    """The windows the documents make."""
    from .._passages import cut
    return sum(len(cut(len(doc), window, overlap)[0]) for doc in docs)


def _graphed(job, index, work):
    """Builds the neighbour graph of an index that builds it lazily, so that
    the saved file carries it and search does not build it each time."""
    build = getattr(index, "build_graph", None)
    if build is not None:
        _call(job, build, progress=work.call())


def _build_floor(new, everything):
    return 2 * new + 2 * new * min((everything - 1) // 2, PAIRS_PER_DOCUMENT)


def add(args):
    job = CommandRun(args)
    index, names = load(args.index, args.workers)
    if args.max_bytes is not None and args.max_bytes != index.max_bytes:
        kept = (f"cuts its documents to {index.max_bytes} bytes" if index.max_bytes is not None
                else "keeps its documents whole")
        raise UsageError(f"--max-bytes {args.max_bytes}: {shown(args.index)} {kept}, and so "
                         f"does add (leave out --max-bytes)")
    args.max_bytes = index.max_bytes
    texts = job.documents(args.docs)
    texts = _left_out_if_known(texts, names)
    if not texts:
        return
    windows = getattr(index, "window", None)
    _say_cut(texts, args.max_bytes, 0 if windows else _cut_in(index, args.max_bytes))
    docs = scored(texts, stable=True)
    if args.errors == "skip" and not windows:  # every window fits with every other
        texts, docs = _skip_unpaired(texts, docs, docs + list(index), True, "other document")
        if not texts:
            return
    job.progress.plan_share(f"{len(docs)} documents")
    if windows:
        new = _window_count(docs, index.window, index.overlap)
        floor = _build_floor(new, new + len(index.index))
    else:
        floor = _build_floor(len(docs), len(docs) + len(index))
    work = _Work(job.progress.callback(), floor)
    positions = _call(job, index.add, docs, progress=work.call()).tolist()
    _graphed(job, index, work)
    job.progress.reached(1.0)
    try:
        names = names + [None] * (max(positions, default=-1) + 1 - len(names))
        for position, text in zip(positions, texts):
            names[position] = _recorded(text.label)
        if any(name is None for name in names):
            raise Failure(f"{shown(args.index)}: the index gave positions with no document: "
                          f"nothing was saved")
        save(index, names, args.index)
    finally:
        job.progress.close()


def _left_out_if_known(texts, names):
    """``texts`` without the files the index holds already: by name as
    recorded, by name as given (an earlier version's relative names), or as
    the same file (another path to it, a link); said in one line."""
    known = set(names)
    files = {}
    for position, name in enumerate(names):
        files.setdefault(_file_of(name), position)
    files.pop(None, None)
    again = [text for text in texts if text.label != STDIN and (
        text.label in known or _recorded(text.label) in known
        or (text.identity is not None and text.identity in files))]
    if again:
        which = "1 document" if len(again) == 1 else f"{len(again)} documents"
        say(f"left out {which} already in the index: {listed([text.label for text in again])}")
        gone = set(map(id, again))
        texts = [text for text in texts if id(text) not in gone]
    return texts


INFO_KEYS = ("documents", "windows", "window", "overlap", "distinct", "distinct_windows",
             "max_bytes", "text_bytes", "zlib", "format", "degree", "bytes")


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
        elif key in ("bytes", "text_bytes") and isinstance(value, int):
            value = f"{value} ({_size(value)})"
        elif key == "settled" and value != found.get("linked"):
            value = (f"{value} (the graph has the rounds searches need; "
                     f"listing neighbours gives it the rest)")
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
    names = _Names(names)
    windows = getattr(index, "window", None)
    if args.max_bytes is None:  # queries are cut as the documents were
        args.max_bytes = index.max_bytes
    texts = job.documents(args.docs, NO_QUERIES)
    _say_cut(texts, args.max_bytes, 0 if windows else _cut_in(index, args.max_bytes))
    queries = scored(texts, stable=True)
    if args.errors == "skip":
        others, what = ((list(index.index), "window of the index") if windows
                        else (list(index), "document of the index"))
        texts, queries = _skip_unpaired(texts, queries, others, False, what)
        if not texts:
            raise Failure("no queries left to search")
    labels = [text.label for text in texts]
    # A query that is itself one of the indexed files is not its own hit,
    # as in nearest; one more hit is asked for where that may happen.
    files = [text.identity for text in texts]
    mine = any(file is not None for file in files)
    # No row holds more hits than the index holds documents.
    k = max(1, min(args.k + mine, len(index)))
    job.progress.plan_share(f"{len(queries)} queries")
    size = len(index.index) if windows else len(index)
    floor = 2 * len(queries) + len(queries) * min(size, PAIRS_PER_QUERY)
    work = _Work(job.progress.callback(), floor)
    found = _call(job, index.nearest, queries, k=k, symmetric=args.symmetric,
                  primed_by=args.primed_by, exact=args.exact, workers=args.workers,
                  progress=work.call())
    job.progress.reached(1.0)
    scores, hits = found[0].tolist(), found[1].tolist()
    # A window index also says where in the document its best window lies.
    places = (list(zip(found.offsets.tolist(), found.lengths.tolist())) if windows
              else [[None] * k] * len(hits))
    cutoff = args.score_cutoff

    def rows():
        for query, file, score_row, hit_row, place_row in zip(labels, files, scores, hits,
                                                              places):
            kept = [(score, hit, place) for score, hit, place in zip(score_row, hit_row,
                                                                     _rows(place_row, windows))
                    if hit >= 0 and (cutoff is None or score >= cutoff)]
            if file is not None:
                itself = next((n for n, (_, hit, _) in enumerate(kept)
                               if names.file(hit) == file), None)
                if itself is not None:
                    del kept[itself]
            for rank, (score, hit, place) in enumerate(kept[:args.k], 1):
                if windows:
                    yield (query, names[hit], *place, rank, score)
                else:
                    yield query, names[hit], rank, score
    header = (["query", "hit", "offset", "length", "rank", "score"] if windows
              else ["query", "hit", "rank", "score"])
    job.write(lambda table: table.records(header, rows()))


def _rows(place_row, windows):
    """The (offset, length) of each hit of a row of a window index."""
    if windows:
        offsets, lengths = place_row
        return list(zip(offsets, lengths))
    return place_row
