"""What each command of vendrask does: the table of runners, and measure,
matrix, nearest and pairs; the index commands are ``index``'s and dedup is
``dedup``'s. What they share (``CommandRun``) is ``command``'s.

Nothing here imports numpy, argparse or tqdm at load time: ``vendrask measure``
must start quickly.
"""
import os

from .. import __version__, _pairs
from .command import (NO_DOCUMENTS, CommandRun, _close, _print, _say_cut,  # noqa: F401
                      quiet_dask)
from .errors import Failure, UsageError, say, shown
from .limits import over_limit
from .reading import STDIN, read, scored
from .selection import ONCE

LONG_JOBS = ("matrix", "nearest", "pairs", "index build", "index add", "index info", "search",
             "dedup")
NO_DOCUMENTS_TO_SEARCH = ("no documents given to search the queries in: name files or directories "
                          "besides the queries, or --files-from PATH (repeat --query for each "
                          "query file, or end a list of them with --)")


def parse(argv):
    """The options; the plain `measure T S` skips argparse, whose import would
    otherwise double the time the command takes."""
    if len(argv) == 3 and argv[0] == "measure" and all(
            arg == STDIN or not arg.startswith("-") for arg in argv[1:]):
        from types import SimpleNamespace
        return SimpleNamespace(command="measure", run=measure, t=argv[1], s=argv[2],
                               max_bytes=None, errors="raise")
    from .args import parse as parse_options
    from . import dedup, index
    runners = {"measure": measure, "matrix": matrix, "nearest": nearest, "pairs": pairs,
               "doctor": doctor, "index build": index.build, "index add": index.add,
               "index info": index.info, "search": index.search, "dedup": dedup.dedup}
    return parse_options(argv, runners, lambda: _print(_about()))


def _about():
    lines = [f"vendrask {__version__}"]
    try:
        from .._zlib import report_lines
    except ImportError:  # a build without the zlib report
        return lines
    return lines + list(report_lines())


def doctor(args):
    _print(_about())


def measure(args):
    import _vendrask
    if args.t == args.s == STDIN:
        raise UsageError(ONCE)
    texts = [read(args.t, args.max_bytes), read(args.s, args.max_bytes)]
    _say_cut(texts, args.max_bytes)
    t, s = scored(texts)
    if not _pairs.fits(t, s):
        problem = f"{shown(args.t)} and {shown(args.s)} {over_limit(*texts)}"
        if args.errors == "raise":
            raise Failure(f"{problem}; see --max-bytes and --errors")
        if args.errors == "skip":
            say(f"skipped: {problem}")
            return
        say(f"{problem}: the score is empty (nan)")
        value = float("nan")
    else:
        try:
            value = _vendrask.measure(t, s)
        except RuntimeError:
            raise Failure(f"{shown(args.t)}, {shown(args.s)}: {_vendrask.error()}") from None
    _print([repr(value)])


def matrix(args):
    job = CommandRun(args)
    texts = job.documents(args.docs)
    labels, docs = job.one_list(texts)
    n = len(labels)
    binary = job.binary
    job.progress.plan(n * n, 0 if binary else n * n)
    values = job.run("cdist", docs, None, symmetric=args.symmetric)
    if args.plot:  # first, so that a reader who stops early (| head) still gets the picture
        from .plot import heatmap
        heatmap(values, labels, args.plot, symmetric=args.symmetric)
    if binary:
        from .output import save_array
        job.progress.close()
        save_array(job.output_path, values, labels)
    else:
        job.write(lambda table: table.matrix(labels, (row.tolist() for row in values)))


def nearest(args):
    job = CommandRun(args)
    if args.query and STDIN in args.query and (STDIN in args.docs or args.files_from == STDIN):
        raise UsageError(ONCE)
    texts = job.documents(args.docs, NO_DOCUMENTS_TO_SEARCH if args.query else NO_DOCUMENTS)
    if args.query:
        query_texts = job.documents(args.query, files_from=False)
        (queries, query_docs), (labels, docs) = job.two_lists(query_texts, texts)
    else:
        labels, docs = job.one_list(texts)
        queries, query_docs = labels, None
    n_queries = len(queries)
    # A query that is itself one of the documents is not its own hit, as
    # without --query (where the API leaves out each row's own position).
    itself = _same_files(queries, labels) if args.query else {}
    # No row holds more hits than there are documents to find: k is cut to
    # that, so that a huge -k costs no more than listing every document.
    candidates = len(labels) if args.query else len(labels) - 1
    asked = _pairs.candidates_kept(args.k, candidates, bool(itself))
    job.progress.plan(n_queries * len(labels), n_queries * min(args.k, candidates))
    scores, hits = job.run("nearest", query_docs if args.query else docs, docs if args.query else None,
                           k=asked, score_cutoff=args.score_cutoff, symmetric=args.symmetric,
                           primed_by=args.primed_by)
    if itself:
        own = [itself.get(q, _pairs.NO_NEIGHBOUR) for q in range(n_queries)]
        scores, hits = _pairs.leave_out_own(scores, hits, own)
    scores, hits = _pairs.padded(scores, hits, min(args.k, hits.shape[1]))  # no more than k

    def rows():
        for query, score_row, hit_row in zip(queries, scores.tolist(), hits.tolist()):
            found = [(value, hit) for value, hit in zip(score_row, hit_row) if hit >= 0]
            for rank, (value, hit) in enumerate(found, 1):
                yield query, labels[hit], rank, value
    job.write(lambda table: table.records(["query", "hit", "rank", "score"], rows()))


def pairs(args):
    import numpy as np
    job = CommandRun(args)
    labels, docs = job.one_list(job.documents(args.docs))
    n = len(labels)
    all_scores = None
    if args.plot:
        # The histogram needs every score, so compute the square once and take
        # the pairs from it rather than scoring everything twice.
        job.progress.plan(n * n, 0)
        square = job.run("cdist", docs, None, symmetric=args.symmetric)
        listed_cells = _pairs.kept_cells(n, *_pairs.listing(True, args.symmetric))
        all_scores = square[listed_cells]
        i, j = np.nonzero(listed_cells & (square >= args.threshold))
        score = square[i, j]
        del square, listed_cells
    else:
        job.progress.plan(n * n, 0)
        i, j, score = job.run("pairs", docs, None, threshold=args.threshold,
                              symmetric=args.symmetric)
    order = np.lexsort((j, i, -score))  # highest first; ties in input order
    job.progress.plan(n * n, len(order))

    if args.plot:
        from .plot import histogram
        histogram(all_scores, args.threshold, len(order), args.plot, symmetric=args.symmetric)
        del all_scores

    def rows():
        for a, b, x in zip(i[order].tolist(), j[order].tolist(), score[order].tolist()):
            yield labels[a], labels[b], x
    job.write(lambda table: table.records(["t", "s", "score"], rows()))


def _same_files(queries, labels):
    """{query position: position of the same file among the documents}."""
    def identity(path):
        try:
            found = os.stat(path)
        except (OSError, ValueError):
            return None
        return found.st_dev, found.st_ino
    where = {}
    for j, label in enumerate(labels):
        if label != STDIN:
            where.setdefault(identity(label), j)
    where.pop(None, None)
    return {q: where[key] for q, query in enumerate(queries)
            if query != STDIN and (key := identity(query)) in where}
