"""What each command of vendrask does; ``CommandRun`` is what matrix, nearest
and pairs share: reading the documents, calling the API, writing the output.

Nothing here imports numpy, argparse or tqdm at load time: ``vendrask measure``
must start quickly.
"""
import os
import sys

from .. import JOINT_SIZE_LIMIT, __version__
from .errors import Failure, UsageError, WriteError, say, shown
from .inputs import ONCE, STDIN, expand, over_limit, read, read_all, unpaired

BINARY_SUFFIXES = (".npy", ".npz")  # matrix only
LONG_JOBS = ("matrix", "nearest", "pairs")
NO_DOCUMENTS = "no documents given: name files, directories, or --files-from PATH"
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
    runners = {"measure": measure, "matrix": matrix, "nearest": nearest, "pairs": pairs,
               "doctor": doctor}
    return parse_options(argv, runners, lambda: _print(_about()))


def _about():
    lines = [f"vendrask {__version__}"]
    try:
        from .._zlib import report_lines
    except ImportError:  # a build without the zlib report
        return lines
    return lines + list(report_lines())


def _print(lines):
    if sys.stdout is None:  # started with stdout closed
        raise WriteError("write error: standard output is closed")
    try:
        sys.stdout.write("".join(f"{line}\n" for line in lines))
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise WriteError(f"write error: {error.strerror or error}") from None


def doctor(args):
    _print(_about())


def measure(args):
    import _vendrask
    if args.t == args.s == STDIN:
        raise UsageError(ONCE)
    t, s = read(args.t, args.max_bytes), read(args.s, args.max_bytes)
    if t != s and len(t) + len(s) > JOINT_SIZE_LIMIT:
        problem = f"{shown(args.t)} and {shown(args.s)} {over_limit(len(t), len(s))}"
        if args.errors == "raise":
            raise Failure(f"{problem}; see --max-bytes and --errors")
        if args.errors == "skip":
            say(f"skipped: {problem}")
            return
        value = float("nan")
    else:
        try:
            value = _vendrask.measure(t, s)
        except RuntimeError:
            raise Failure(f"{shown(args.t)}, {shown(args.s)}: {_vendrask.error()}") from None
    _print([repr(value)])


def matrix(args):
    job = CommandRun(args)
    labels, docs = job.documents(args.docs)
    labels, docs = job.drop_unpaired(labels, docs)
    n = len(labels)
    binary = job.output_path is not None and job.output_path.lower().endswith(BINARY_SUFFIXES)
    job.progress.plan(n * n, 0 if binary else n * n)
    values = job.run("cdist", docs, None, (labels, labels), symmetric=args.symmetric)
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
    labels, docs = job.documents(args.docs, NO_DOCUMENTS_TO_SEARCH if args.query else NO_DOCUMENTS)
    if args.query:
        queries, query_docs = job.documents(args.query, files_from=False)
        (queries, query_docs), (labels, docs) = job.drop_unpaired_two(queries, query_docs, labels, docs)
    else:
        labels, docs = job.drop_unpaired(labels, docs)
        queries, query_docs = labels, None
    n_queries = len(queries)
    # A query that is itself one of the documents is not its own hit, as without --query.
    itself = _same_files(queries, labels) if args.query else {}
    job.progress.plan(n_queries * len(labels), n_queries * args.k)
    scores, hits = job.run("nearest", query_docs if args.query else docs, docs if args.query else None,
                           (queries, labels), k=args.k + bool(itself), score_cutoff=args.score_cutoff,
                           symmetric=args.symmetric, primed_by=args.primed_by)

    def rows():
        for q, (query, score_row, hit_row) in enumerate(zip(queries, scores.tolist(), hits.tolist())):
            found = [(score, hit) for score, hit in zip(score_row, hit_row)
                     if hit >= 0 and hit != itself.get(q)]
            for rank, (score, hit) in enumerate(found[:args.k], 1):
                yield query, labels[hit], rank, score
    job.write(lambda table: table.records(["query", "hit", "rank", "score"], rows()))


def pairs(args):
    import numpy as np
    job = CommandRun(args)
    labels, docs = job.documents(args.docs)
    labels, docs = job.drop_unpaired(labels, docs)
    n = len(labels)
    all_scores = None
    if args.plot:
        # The histogram needs every score, so compute the square once and take
        # the pairs from it rather than scoring everything twice.
        job.progress.plan(n * n, 0)
        square = job.run("cdist", docs, None, (labels, labels), symmetric=args.symmetric)
        above = np.triu(np.ones((n, n), dtype=bool), 1) if args.symmetric else ~np.eye(n, dtype=bool)
        all_scores = square[above]
        i, j = np.nonzero(above & (square >= args.threshold))
        score = square[i, j]
        del square, above
    else:
        job.progress.plan(n * n, 0)
        i, j, score = job.run("pairs", docs, None, (labels, labels),
                              threshold=args.threshold, symmetric=args.symmetric)
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


# ---------------------------------------------------------------- one job

class CommandRun:
    """What matrix, nearest and pairs share: documents, the API call, the output."""

    def __init__(self, args):
        from .bar import ProgressBar
        self.args = args
        self.output_path = args.output
        from .output import format_of
        self.format = args.format or format_of(args.output)
        if getattr(args, "plot", None):
            _require_plotting()
        if args.output and args.output.lower().endswith(BINARY_SUFFIXES) and args.command != "matrix":
            raise UsageError(f"{shown(args.output)}: only matrix writes .npy and .npz files; "
                             f"{args.command} writes .csv, .tsv or .json")
        for path in [args.output] + (getattr(args, "plot", None) or []):
            if path:
                _check_writable(path)
        if args.scheduler:
            _require_dask()  # before any work; the connection is made when the documents are read
        self.progress = ProgressBar(args.progress, f"vendrask {args.command}")

    def documents(self, names, missing=NO_DOCUMENTS, files_from=True):
        """(labels, docs) named by ``names`` (and --files-from); ``missing`` is
        the message when nothing is named."""
        args = self.args
        if files_from and not names and args.files_from is None:
            raise UsageError(missing)
        paths, problems = expand(names, args.files_from if files_from else None, args.null)
        labels, docs = read_all(paths, problems, args.max_bytes, args.errors)
        if not docs:
            raise Failure("no documents: " + ("none of the inputs could be read" if paths
                                              else "the inputs hold no regular files"))
        return labels, docs

    def drop_unpaired(self, labels, docs):
        if self.args.errors != "skip":
            return labels, docs
        gone, _ = unpaired(docs)
        return self._drop(labels, docs, gone, "every other document")

    def drop_unpaired_two(self, queries, query_docs, labels, docs):
        if self.args.errors != "skip":
            return (queries, query_docs), (labels, docs)
        gone_queries, gone_docs = unpaired(query_docs, docs)
        return (self._drop(queries, query_docs, gone_queries, "every document"),
                self._drop(labels, docs, gone_docs, "every query"))

    @staticmethod
    def _drop(labels, docs, gone, others):
        for i in gone:
            say(f"skipped {shown(labels[i])}: {len(docs[i])} bytes, over the joint size limit "
                f"of {JOINT_SIZE_LIMIT} bytes with {others}")
        gone = set(gone)
        kept = [i for i in range(len(docs)) if i not in gone]
        if not kept:
            raise Failure("no documents left to compare")
        return [labels[i] for i in kept], [docs[i] for i in kept]

    def run(self, function, ts, ss, names, **options):
        """The API's ``function`` on ``ts`` (and ``ss``; None: ts against itself);
        ``names`` are the labels of ts and ss, for messages."""
        args = self.args
        options.update(errors="nan" if args.errors == "skip" else args.errors,
                       max_bytes=args.max_bytes)
        import vendrask
        try:
            return self._call(vendrask, function, ts, ss, names, options)
        except BaseException:
            self.progress.close()  # clears the bar before any message
            raise

    def _call(self, vendrask, function, ts, ss, names, options):
        args = self.args
        try:
            if args.scheduler:
                return self._run_on_cluster(function, ts, ss, options)
            options.update(workers=args.workers, progress=self.progress.callback())
            if function == "cdist":
                return vendrask.cdist(ts, ts if ss is None else ss, **options)
            return getattr(vendrask, function)(ts, ss, **options)
        except vendrask.JointSizeError as error:
            t, s = names[0][error.i], names[1][error.j]
            raise Failure(f"{shown(t)} and {shown(s)} {over_limit(error.len_t, error.len_s)}; "
                          f"see --max-bytes and --errors") from None
        except (ValueError, RuntimeError) as error:
            raise Failure(str(error)) from None

    def _run_on_cluster(self, function, ts, ss, options):
        import vendrask.dask as cluster
        call = getattr(cluster, function)
        client = _connect(self.args.scheduler)
        try:
            if function == "cdist":
                return call(ts, ts if ss is None else ss, client=client, **options).compute()
            return call(ts, ss, client=client, **options)
        except (ValueError, RuntimeError):
            raise  # the job's own errors, reported as in-process
        except Exception as error:  # a lost connection, a killed worker, a cancelled task
            raise Failure(f"the Dask cluster failed: {type(error).__name__}: {error}") from None
        finally:
            client.close()

    def write(self, fill):
        from .output import Destination, Table
        destination = Destination(self.output_path)
        table = Table(destination, self.format, self.progress.written)
        try:
            fill(table)
            destination.commit()
        except BaseException:
            destination.discard()
            raise
        finally:
            table.detach()
            self.progress.close()


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


def _check_writable(path):
    """Refuses an output that cannot be written before the work, not after it."""
    folder = os.path.dirname(path) or "."
    if os.path.isdir(path):
        raise Failure(f"{shown(path)}: Is a directory")
    if not os.path.isdir(folder):
        raise Failure(f"{shown(path)}: No such file or directory")
    if not os.access(folder, os.W_OK):
        raise Failure(f"{shown(path)}: Permission denied")


def _require_plotting():
    try:
        import matplotlib  # noqa: F401
        import scipy  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib and scipy: pip install 'vendrask[plot]'") from None


def _require_dask():
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        raise UsageError("--scheduler needs the dask extra: pip install 'vendrask[dask]'") from None
    import vendrask.dask  # noqa: F401  (a fault of its own is not a missing extra)


def _connect(address):
    import distributed
    try:
        return distributed.Client(address, timeout="10s")
    except (OSError, TimeoutError, ValueError) as error:
        raise Failure(f"cannot reach the Dask scheduler at {address}: {error}") from None
