"""The vendrask command: measures of files against each other.

  vendrask measure T S
  vendrask matrix DOCS... [--symmetric [mean|min|max]] [--output FILE] [--plot FILE]
  vendrask nearest [-k N] [--query FILE]... [--primed-by query|document] DOCS...
  vendrask pairs --threshold X [--symmetric [mean|min|max]] [--plot FILE] DOCS...
  vendrask index build INDEX DOCS... [--window N [--overlap M]]
  vendrask index add INDEX DOCS...
  vendrask index info INDEX [--format text|json]
  vendrask search INDEX QUERY... [-k N] [--primed-by query|document] [--symmetric [mean|min|max]] [--exact]
  vendrask dedup DOCS... --threshold X [--symmetric mean|min|max] [--clusters] [--exact]
  vendrask dedup --index INDEX --threshold X [--clusters] [--exact]
  vendrask doctor

The modules: ``errors`` (error types, exit statuses, the message line),
``args`` (the grammar), ``run`` (the table of commands; measure, matrix,
nearest, pairs), ``command`` (what a run shares: reading the documents, the
API call, writing the output, the bar), ``index`` and ``index_files`` (the
commands on vendrask.Index, and its files), ``dedup`` and ``records``
(near-duplicates of documents and of records in datasets), ``inputs`` (reading
documents), ``output`` (csv, tsv, json, numpy files), ``plot`` (pictures),
``bar`` (the progress bar). numpy, argparse and tqdm are imported only by the
commands that need them, so that ``vendrask measure`` starts quickly.
"""
import os
import sys

from .errors import (CLOSED_PIPE, DATA_ERROR, INTERRUPTED, OK, CommandError, Terminated,
                     WriteError, say)

__all__ = ["main"]


def main(argv=None):
    """Runs the command on ``argv`` (default: ``sys.argv[1:]``); returns its exit status."""
    from . import run
    from .command import quiet_dask
    restore = None
    try:
        argv = sys.argv[1:] if argv is None else list(argv)
        args = run.parse(argv)
        if args.command in run.LONG_JOBS:
            restore = _on_sigterm(_terminate)
        args.run(args)
        return OK
    except WriteError as error:
        _silence_stdout()
        say(str(error))
        return error.status
    except CommandError as error:
        say(str(error))
        return error.status
    except BrokenPipeError:
        _silence_stdout()
        return CLOSED_PIPE
    except KeyboardInterrupt:
        _silence_stdout()
        return INTERRUPTED
    except Terminated as stop:
        _silence_stdout()
        return stop.status
    except MemoryError:
        say("out of memory")
        return DATA_ERROR
    except Exception as error:  # never a traceback; the line still names the fault
        say(f"unexpected {type(error).__name__}: {error}")
        return DATA_ERROR
    finally:
        if restore is not None:
            _on_sigterm(restore)
        quiet_dask.release()  # after a Dask run: what its threads log is not shown


def _on_sigterm(handler):
    """Installs ``handler`` for SIGTERM; returns the one it replaces. (Only the
    long jobs need it, and `measure` is spared the import.)"""
    import signal
    previous = signal.getsignal(signal.SIGTERM)
    signal.signal(signal.SIGTERM, handler)
    return previous


def _terminate(signum, frame):
    raise Terminated()


def _silence_stdout():
    """After a write failure, what is still buffered must not fail again at exit."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass
