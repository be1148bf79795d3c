"""One run of a command that reads documents and writes a table:
``CommandRun`` (reading the documents, calling the API, writing the output,
the progress bar), ``_call`` (an API call on the command's terms), and the
messages and checks the commands share. ``run`` (matrix, nearest, pairs)
and ``index`` and ``dedup`` build on it; it imports none of them.

Nothing here imports numpy, argparse or tqdm at load time: ``vendrask measure``
must start quickly.
"""
import sys

from .. import JOINT_SIZE_LIMIT, _pairs
from .errors import Failure, UsageError, WriteError, listed, say, shown
from .limits import over_limit, over_with_some, unpaired
from .reading import read_all, scored
from .selection import Selection, expand

BINARY_SUFFIXES = (".npy", ".npz")  # matrix only
NO_DOCUMENTS = "no documents given: name files, directories, or --files-from PATH"


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


class CommandRun:
    """What matrix, nearest, pairs, the index commands and dedup share:
    documents, the API call, the output."""

    def __init__(self, args):
        from .bar import ProgressBar
        from .output import TEXT_SUFFIXES, Target, format_of, suffix_of
        self.args = args
        self.output_path = args.output
        suffix = suffix_of(args.output)
        self.binary = suffix in BINARY_SUFFIXES
        if self.binary and args.command != "matrix":
            raise UsageError(f"{shown(args.output)}: only matrix writes .npy and .npz files; "
                             f"{args.command} writes .csv, .tsv or .json")
        known = TEXT_SUFFIXES + (BINARY_SUFFIXES if args.command == "matrix" else ())
        if suffix and suffix not in known and args.format is None:
            raise UsageError(f"{shown(args.output)}: unknown output suffix {shown(suffix)}: "
                             f"expected {', '.join(known[:-1])} or {known[-1]} (any case), no "
                             f"suffix for csv, or --format csv|tsv|json to write any name")
        self.format = args.format or format_of(args.output)
        if getattr(args, "plot", None):
            _require_plotting()
        for path in [args.output] + (getattr(args, "plot", None) or []):
            if path:
                Target(path).check()  # before the work, not after it
        if args.scheduler:
            _require_dask()  # before any work; the connection is made when the documents are read
        self.selection = Selection(args.glob, args.exclude, args.hidden)
        self.progress = ProgressBar(args.progress, f"vendrask {args.command}")
        self.texts = (None, None)  # of the rows and of the columns, for messages

    def documents(self, names, missing=NO_DOCUMENTS, files_from=True):
        """The Texts named by ``names`` (and --files-from); ``missing`` is the
        message when nothing is named."""
        args = self.args
        if files_from and not names and args.files_from is None:
            raise UsageError(missing)
        paths, problems = expand(names, args.files_from if files_from else None, args.null,
                                 self.selection)
        texts = read_all(paths, problems, args.max_bytes, args.errors)
        if not texts:
            raise Failure("no documents: " + ("none of the inputs could be read" if paths
                                              else "the inputs hold no regular files"))
        return texts

    def one_list(self, texts, stable=False, whole=True):
        """(labels, docs) to score against each other, after saying what was
        cut, and leaving out (with --errors skip) what pairs with nothing;
        ``stable``: to keep in an index (see inputs.scored); ``whole``:
        False where documents are scored by their windows, which the joint
        size limit concerns instead."""
        _say_cut(texts, self.args.max_bytes)
        docs = scored(texts, stable)
        if not whole:
            self.texts = (texts, texts)
            return [text.label for text in texts], docs
        if self.args.errors == "skip":
            gone, _ = unpaired(docs)
            texts, docs = self._drop(texts, docs, gone, "other document")
        self.texts = (texts, texts)
        if self.args.errors != "raise":
            _say_over([texts[i].label for i in over_with_some(docs)])
        return [text.label for text in texts], docs

    def two_lists(self, query_texts, texts):
        """((queries, query docs), (labels, docs)), as one_list does for one."""
        _say_cut(query_texts + texts, self.args.max_bytes)
        both = scored(query_texts + texts)
        query_docs, docs = both[:len(query_texts)], both[len(query_texts):]
        if self.args.errors == "skip":
            gone_queries, gone_docs = unpaired(query_docs, docs)
            query_texts, query_docs = self._drop(query_texts, query_docs, gone_queries, "document")
            texts, docs = self._drop(texts, docs, gone_docs, "query")
        self.texts = (query_texts, texts)
        if self.args.errors != "raise":
            names = [query_texts[i].label for i in over_with_some(query_docs, docs)]
            names += [texts[i].label for i in over_with_some(docs, query_docs)]
            _say_over(list(dict.fromkeys(names)))
        return ([text.label for text in query_texts], query_docs), ([text.label for text in texts], docs)

    @staticmethod
    def _drop(texts, docs, gone, others):
        """Leaves out the documents at ``gone``, saying so in one line."""
        if gone:
            limit = f"over the joint size limit of {JOINT_SIZE_LIMIT} bytes with every {others}"
            if len(gone) == 1:
                say(f"skipped {shown(texts[gone[0]].label)}: {texts[gone[0]].size()}, {limit}")
            else:
                say(f"skipped {len(gone)} documents, each {limit}: "
                    + listed([texts[i].label for i in gone]))
        gone = set(gone)
        kept = [i for i in range(len(docs)) if i not in gone]
        if not kept:
            raise Failure("no documents left to compare")
        return [texts[i] for i in kept], [docs[i] for i in kept]

    def run(self, function, ts, ss, **options):
        """The API's ``function`` on ``ts`` (and ``ss``; None: ts against itself)."""
        args = self.args
        # The documents are already cut to --max-bytes (and long ones stand in
        # for themselves: see inputs.scored), so the API must not cut them again.
        options.update(errors="nan" if args.errors == "skip" else args.errors, max_bytes=None)
        import warnings

        import vendrask
        try:
            with warnings.catch_warnings():
                # What the API warns of (documents cut, pairs NaN) the command
                # has said already, naming files rather than positions.
                warnings.simplefilter("ignore", getattr(vendrask, "DocumentWarning", UserWarning))
                found = self._call(vendrask, function, ts, ss, options)
            self.progress.reached(1.0)
            return found
        except BaseException:
            self.progress.close()  # clears the bar before any message
            raise

    def _call(self, vendrask, function, ts, ss, options):
        args = self.args
        try:
            if args.scheduler:
                return self._run_on_cluster(function, ts, ss, options)
            options.update(workers=args.workers, progress=self.progress.callback())
            if function == "cdist":
                return vendrask.cdist(ts, ts if ss is None else ss, **options)
            return getattr(vendrask, function)(ts, ss, **options)
        except vendrask.JointSizeError as error:
            t, s = self.texts[0][error.i], self.texts[1][error.j]
            raise Failure(f"{shown(t.label)} and {shown(s.label)} {over_limit(t, s)}; "
                          f"see --max-bytes and --errors") from None
        except (ValueError, RuntimeError) as error:
            raise Failure(str(error)) from None

    def _run_on_cluster(self, function, ts, ss, options):
        import vendrask.dask as cluster
        call = getattr(cluster, function)
        if function != "cdist":  # a lazy array reports no progress
            options.update(progress=self.progress.callback())
        with quiet_dask():
            client = _connect(self.args.scheduler)
            try:
                if function == "cdist":
                    return call(ts, ts if ss is None else ss, client=client, **options).compute()
                return call(ts, ss, client=client, **options)
            except Exception as error:  # a lost connection, a killed worker, a cancelled task
                from vendrask.dask._cluster import connection_lost
                # Before the job's own errors: Dask says a lost scheduler in
                # many ways, "IOLoop is closed" (a RuntimeError) among them.
                if connection_lost(client, error):
                    raise Failure(f"the Dask cluster failed: lost the connection to the scheduler "
                                  f"at {self.args.scheduler}") from None
                if isinstance(error, (ValueError, RuntimeError)):
                    raise  # the job's own errors, reported as in-process
                raise Failure(f"the Dask cluster failed: {type(error).__name__}: {error}") from None
            finally:
                _close(client)

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


def _call(job, function, *positional, **options):
    """A call of the index commands or of dedup (an Index's, the sketch
    stage's) for ``job``, which has a ``progress`` bar: its errors as one
    line, the bar cleared before them, and its warnings unsaid (the command
    names files where it warns of positions)."""
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


def _say_cut(texts, max_bytes, cut_elsewhere=0):
    """Names the documents --max-bytes cut; ``cut_elsewhere``: how many
    documents they meet were cut too (those of an index)."""
    cut = [text.label for text in texts if text.cut]
    if cut:
        say(f"--max-bytes {max_bytes} cut {len(cut)} of {len(texts)} documents: {listed(cut)}")
    if cut and len(cut) + cut_elsewhere >= 2 and _pairs.cut_never_fit(max_bytes):
        # Else the cut documents would look comparable while no two of them are.
        say(f"--max-bytes {max_bytes} is over {_pairs.EVERY_PAIR_FITS}: two different documents "
            f"cut to it are {2 * max_bytes} bytes together, over the joint size limit of "
            f"{JOINT_SIZE_LIMIT} bytes, and are never scored together (--max-bytes "
            f"{_pairs.EVERY_PAIR_FITS} or less lets every pair fit)")


def _say_over(names):
    if names:
        which = "1 document is" if len(names) == 1 else f"{len(names)} documents are"
        say(f"{which} over the joint size limit of {JOINT_SIZE_LIMIT} bytes with some other "
            f"document; those pairs are not scored (--max-bytes {_pairs.EVERY_PAIR_FITS} makes "
            f"every pair fit): {listed(names)}")


def _require_plotting():
    from .plot import quiet_libraries
    try:
        with quiet_libraries():
            import matplotlib.figure  # noqa: F401
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


def _close(client):
    """Closes the client; what fails on the way (a scheduler already gone)
    is no news after the job's own outcome."""
    try:
        client.close(timeout=5)
    except Exception:
        pass


class quiet_dask:
    """For the command's run on a cluster: distributed, tornado and asyncio
    log nothing (their tracebacks of a lost scheduler, of a task cancelled by
    Ctrl-C, of a comm closed on the way out), and warnings and exceptions in
    their threads are not printed. ``release()`` puts everything back;
    main() does so at the very end, after collecting what might still log."""
    active = None

    def __enter__(self):
        if quiet_dask.active is None:
            import logging
            import threading
            import warnings
            saved = {"disable": logging.root.manager.disable,
                     "threads": threading.excepthook, "unraisable": sys.unraisablehook,
                     "warnings": warnings.catch_warnings()}
            saved["warnings"].__enter__()
            warnings.simplefilter("ignore")
            logging.disable(logging.CRITICAL)
            threading.excepthook = lambda args: None
            sys.unraisablehook = lambda unraisable: None
            quiet_dask.active = saved
        return self

    def __exit__(self, *exc):
        return False  # stays quiet until release(): Dask's threads may still log

    @staticmethod
    def release():
        saved = quiet_dask.active
        if saved is None:
            return
        import gc
        import logging
        import threading
        gc.collect()  # tasks never awaited log when they are collected: now, while quiet
        logging.disable(saved["disable"])
        threading.excepthook = saved["threads"]
        sys.unraisablehook = saved["unraisable"]
        saved["warnings"].__exit__(None, None, None)
        quiet_dask.active = None
