"""The options of the vendrask command (argparse), and the few rules of its
grammar that argparse cannot say by itself.

Before argparse sees them, the arguments of a command are rewritten into
``--option=value`` form where argparse would misread them:

- a negative number after an option that takes a number (``--workers -1``):
  argparse takes ``-1`` for an option, because ``-0`` (``--null``) is one;
- ``--symmetric`` takes a value only if one of its choices follows, so that
  ``--symmetric DIR`` means the mean and ``--symmetric min DIR`` the minimum
  (a plain word that is no file, such as ``median``, is refused as a wrong
  choice rather than looked for as a document): argparse's ``nargs="?"``
  takes any word that follows and refuses DIR as a wrong choice;
- ``--query`` takes one file, and may be repeated; a run of files after it
  is a list of queries only when a ``--`` later on ends the options (the
  ``--query Q1 Q2 -- DOCS`` spelling of earlier versions): ``nargs="+"``
  would take the documents too whenever no ``--`` follows.

The positional arguments may come anywhere among the options; they are
moved after the options: ``parse_intermixed_args`` would allow that, but
(in Python 3.11) parses what follows ``--`` as options again.
"""
import argparse
import os
import sys

from .. import JOINT_SIZE_LIMIT
from .errors import USAGE_ERROR, WriteError, statuses_text
from .output import TEXT_FORMATS

PLOT_SUFFIXES = (".png", ".svg", ".pdf")
SYMMETRIC = ("mean", "min", "max")
PRIMED_BY = ("query", "document")
QUERY_HINT = "repeat --query for each query file, or end a list of them with --"


MAX_COUNT = 2**31 - 1  # the largest -k, --workers or --max-bytes taken; more is a mistake
UNITS = {"k": 1024, "K": 1024, "m": 1024 ** 2, "M": 1024 ** 2}


def _whole(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if value > MAX_COUNT:
        raise argparse.ArgumentTypeError(f"expected at most {MAX_COUNT}, not {text}")
    return value


def _positive(text):
    value = _whole(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected 1 or more, not {value}")
    return value


def _workers(text):
    value = _whole(text)
    if value < 1 and value != -1:
        raise argparse.ArgumentTypeError(f"expected 1 or more, or -1 for every core, not {value}")
    return value


def _sized(text, least):
    unit = UNITS.get(text[-1:], 1) if text[:-1].strip() else 1
    digits = text[:-1] if unit != 1 else text
    try:
        value = int(digits) * unit
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a number of bytes, such as 16384 or 16k (k: 1024, M: 1024*1024), "
            f"not {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"expected {least} or more, not {text}")
    if value > MAX_COUNT:
        raise argparse.ArgumentTypeError(f"expected at most {MAX_COUNT} bytes (2047M), not {text}")
    return value


def _size(text):
    """Bytes: a whole number, or one followed by k or M (1024 or 1024**2)."""
    return _sized(text, 1)


def _bytes(text):
    """Bytes as for _size, 0 too."""
    return _sized(text, 0)


def _score(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None
    if value != value:
        raise argparse.ArgumentTypeError("expected a number, not nan")
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(
            f"expected a score from 0 to 1, not {text}: vendrask's scores run from 0 to 1 "
            f"(not from 0 to 100, as rapidfuzz's do)")
    return value


NUMBERS = (_whole, _positive, _workers, _size, _bytes, _score)


def _suffixed(suffixes):
    def check(path):
        if not path.lower().endswith(suffixes):
            raise argparse.ArgumentTypeError(f"{path!r}: expected a name ending in {', '.join(suffixes)}")
        return path
    return check


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser that knows which of its options need the rewriting
    described at the top of this module, and that adds hints to its errors."""

    def __init__(self, *args, **kwargs):
        self.long_options, self.short_options = set(), set()
        self.numbers, self.optional_choices, self.listed, self.valued = set(), {}, set(), set()
        super().__init__(*args, **kwargs)

    def add_argument(self, *names, listed=False, **kwargs):
        """``listed``: one value per use, or a run of them ended by a later ``--``."""
        action = super().add_argument(*names, **kwargs)
        for name in action.option_strings:
            (self.long_options if name.startswith("--") else self.short_options).add(name)
            if kwargs.get("type") in NUMBERS:
                self.numbers.add(name)
            if action.nargs == argparse.OPTIONAL and action.choices:
                self.optional_choices[name] = (action.choices, action.const)
            if listed:
                self.listed.add(name)
            if action.nargs is None:
                self.valued.add(name)
        return action

    def _option(self, arg):
        """The option that ``arg`` names on its own (no ``=value``), abbreviations
        resolved as argparse resolves them; None if it names none, or several."""
        if arg in self.short_options or arg in self.long_options:
            return arg
        if not arg.startswith("--") or "=" in arg or not self.allow_abbrev:
            return None
        matches = [name for name in self.long_options if name.startswith(arg)]
        return matches[0] if len(matches) == 1 else None

    def rewrite(self, argv):
        """``argv`` with the values described at the top of this module attached
        to their options, and the positional arguments moved after them
        (argparse's own intermixed parsing mishandles ``--``)."""
        options, positionals, i = [], [], 0
        while i < len(argv):
            arg = argv[i]
            if arg == "--":
                positionals += argv[i + 1:]
                break
            if arg == "-" or not arg.startswith("-"):
                positionals.append(arg)
                i += 1
                continue
            name = self._option(arg)
            following = argv[i + 1] if i + 1 < len(argv) else None
            plain = following is not None and (following == "-" or not following.startswith("-"))
            i += 1
            if name in self.optional_choices:
                choices, const = self.optional_choices[name]
                if following in choices:
                    options.append(f"{arg}={following}")
                    i += 1
                elif plain and following.isalpha() and not os.path.lexists(following):
                    # A plain word that names no file is a wrong choice rather
                    # than a missing document: say so, listing the choices.
                    self.error(f"argument {name}: {following!r} is neither one of "
                               f"{', '.join(choices)} nor a file")
                else:
                    options.append(f"{arg}={const}")
            elif name in self.numbers and following is not None and following.startswith("-") \
                    and _is_number(following):
                options.append(f"{arg}={following}")
                i += 1
            elif name in self.listed:
                run = []
                for value in argv[i:]:
                    if value.startswith("-") and value != "-":
                        break
                    run.append(value)
                taken = run if len(run) > 1 and "--" in argv[i + len(run):] else run[:1]
                options += [f"{arg}={value}" for value in taken] or [arg]
                i += len(taken)
            elif name in self.valued and plain:
                options += [arg, following]
                i += 1
            else:  # a flag, a value attached (-k3, --x=y), or what argparse will refuse
                options.append(arg)
        # Behind a --, no positional argument passes for an option or for the
        # value of an option left without one (--query -- DOCS).
        return options + (["--"] + positionals if positionals else [])

    def print_help(self, file=None):
        """Help on stdout; one that cannot be written is a write error (status 1)."""
        if file is not None:
            return super().print_help(file)
        if sys.stdout is None:
            raise WriteError("write error: standard output is closed")
        try:
            sys.stdout.write(self.format_help())
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise WriteError(f"write error: {error.strerror or error}") from None

    def print_usage(self, file=None):
        """The usage goes to stderr only, and nowhere if stderr is closed
        (argparse would print it on stdout)."""
        if file is None or file is sys.stdout:
            file = sys.stderr
        if file is not None:
            super().print_usage(file)

    def _print_message(self, message, file=None):
        # With standard error closed there is no stream (Python 3.9's
        # argparse would fail on None); the exit status still says it.
        file = sys.stderr if file is None else file
        if message and file is not None:
            super()._print_message(message, file)

    def error(self, message):
        if message.startswith("argument --query"):
            message = f"{message}; {QUERY_HINT}"
        elif message.startswith("the following arguments are required: COMMAND"):
            message = "expected a command: " + ", ".join(COMMANDS)
        elif message.startswith("the following arguments are required: ACTION"):
            message = "expected what to do with the index: " + ", ".join(INDEX_COMMANDS)
        elif message.startswith("unrecognized arguments:"):
            extra = message.split(":", 1)[1].replace(" -- ", " ", 1)  # the -- of rewrite()
            message = f"unrecognized arguments:{extra}; {self.prog} --help lists what it takes"
        self.print_usage(sys.stderr)
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


class _Version(argparse.Action):
    def __init__(self, option_strings, dest, about, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="print the version and the zlib in use")
        self.about = about

    def __call__(self, parser, namespace, values, option_string=None):
        self.about()
        parser.exit()


ERRORS = ("raise", "nan", "skip")
INDEX_ERRORS = ("nan", "skip")  # an index never scores a pair over the joint limit: no raise


def _add_limits(parser, errors=ERRORS):
    parser.add_argument("--max-bytes", type=_size, metavar="N",
                        help="cut each document to its first N bytes before scoring; k and M mean "
                             "1024 and 1024*1024 bytes (16k: 16384); the cut documents are named "
                             "on stderr. Two different documents cut to more than %d bytes "
                             "(16k too) are over the joint limit together and never scored "
                             "together" % (JOINT_SIZE_LIMIT // 2))
    if errors == INDEX_ERRORS:
        parser.add_argument("--errors", choices=errors, default="nan",
                            help="two documents over the joint limit of %d bytes together are "
                                 "never each other's hits nor a pair (nan, the default); skip also "
                                 "leaves out files that cannot be read, and each document of 16384 "
                                 "bytes or more that fits with no other document, naming them on "
                                 "stderr" % JOINT_SIZE_LIMIT)
        return
    parser.add_argument("--errors", choices=errors, default="raise",
                        help="for two documents over the joint limit of %d bytes together: stop "
                             "with a message (raise, the default), or leave their score empty "
                             "(nan); skip also leaves out each document of 16384 bytes or more "
                             "that fits with no other document (a shorter one is never to blame), "
                             "and files that cannot be read. Either way stderr says how many "
                             "documents and which. A document longer than the limit is read no "
                             "further than that: it scores only with identical ones"
                             % JOINT_SIZE_LIMIT)


DOCS_HELP = ("files and directories (searched for regular files, in sorted order, hidden ones "
             "left out); '-' reads one document from stdin")


def _add_many(parser):
    parser.add_argument("docs", nargs="*", metavar="DOCS", help=DOCS_HELP)
    _add_reading(parser)
    _add_writing(parser)
    _add_progress(parser)
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster at ADDRESS (needs vendrask[dask]); Dask's "
                             "own log messages are not shown")


def _add_reading(parser, errors=ERRORS):
    """How documents are found and read, and the threads that score them."""
    parser.add_argument("--files-from", metavar="PATH",
                        help="also the paths listed in PATH, one per line ('-': stdin)")
    parser.add_argument("-0", "--null", action="store_true",
                        help="the --files-from list is separated by NUL bytes (find -print0)")
    parser.add_argument("--glob", action="append", metavar="PATTERN",
                        help="in directories, take only files matching PATTERN (may be repeated: "
                             "any of them). Matched like a .gitignore line against the path below "
                             "the directory given: without a '/', the name at any depth (*.txt); "
                             "with one, the whole path (src/*.py); ** spans folders (docs/**/*.md, "
                             "docs/** for all under docs). Files named on the command line are "
                             "always taken")
    parser.add_argument("--exclude", action="append", metavar="PATTERN",
                        help="in directories, leave out files and folders matching PATTERN (as "
                             "for --glob, and a trailing '/' matches folders only; a folder left "
                             "out takes all under it; may be repeated): --exclude __pycache__ "
                             "--exclude '*.pyc'")
    parser.add_argument("--hidden", action="store_true",
                        help="in directories, also take hidden files and folders (names starting "
                             "with '.'), left out by default")
    _add_limits(parser, errors)
    parser.add_argument("--workers", type=_workers, default=1, metavar="N",
                        help="threads to use (default 1); -1 for every core this process may use")


def _add_writing(parser):
    parser.add_argument("--format", choices=TEXT_FORMATS,
                        help="csv (default), tsv or json; NaN is an empty field, or null in json")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE (default: stdout), in the format its suffix names "
                             "(.csv, .tsv, .json; matrix also .npy, .npz; no suffix: csv; another "
                             "one needs --format). A file is replaced only once the output is "
                             "complete, keeping its mode; a symbolic link's target is what is "
                             "replaced; a device, FIFO or /dev/stdout is written to directly")


def _add_progress(parser):
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="draw a progress bar on stderr (default: when it is a terminal)")


def _add_symmetric(parser, default=None):
    parser.add_argument("--symmetric", nargs="?", choices=SYMMETRIC, const="mean", default=default,
                        help="score each pair by both directions, measure(a, b) and measure(b, a): "
                             "their mean (the default when no choice follows), the lower (min) or "
                             "the higher (max)" + (f"; {default} by default" if default else ""))


def _fill_measure(parser):
    parser.add_argument("t", metavar="T", help="the file that primes the compressor ('-': stdin)")
    parser.add_argument("s", metavar="S", help="the file compressed with T as the preset dictionary "
                                               "('-': stdin)")
    _add_limits(parser)


def _fill_matrix(parser):
    _add_many(parser)
    _add_symmetric(parser)
    parser.add_argument("--plot", type=_suffixed(PLOT_SUFFIXES), action="append", metavar="FILE",
                        help="also draw a clustered heatmap to FILE (.png, .svg or .pdf; "
                             "may be given more than once; written as -o FILE is)")


def _fill_nearest(parser):
    _add_many(parser)
    parser.add_argument("-k", type=_positive, default=5, metavar="N",
                        help="hits per query (default 5); fewer when there are fewer documents "
                             "to find, or fewer scoring at least --score-cutoff")
    parser.add_argument("--query", action="append", listed=True, metavar="FILE",
                        help="a query (a file, or a directory of them) to look up among DOCS; "
                             "repeat --query for more, or list several after one --query and "
                             "end the list with -- (--query Q1 Q2 -- DOCS)")
    parser.add_argument("--primed-by", choices=PRIMED_BY, default="query",
                        help="which one primes the compressor: the query, scoring "
                             "measure(query, hit), the hit compressed with the query as the "
                             "preset dictionary (the default); or the document, scoring "
                             "measure(hit, query), the query compressed with the hit (for finding "
                             "which documents hold a passage); no effect with --symmetric")
    _add_symmetric(parser)
    parser.add_argument("--score-cutoff", type=_score, metavar="X",
                        help="leave out hits scoring below X, from 0 to 1")


def _fill_pairs(parser):
    _add_many(parser)
    parser.add_argument("--threshold", type=_score, required=True, metavar="X",
                        help="list the pairs scoring X or more, from 0 to 1")
    _add_symmetric(parser)
    parser.add_argument("--plot", type=_suffixed(PLOT_SUFFIXES), action="append", metavar="FILE",
                        help="also draw a histogram of all scores with the threshold to FILE "
                             "(.png, .svg or .pdf; may be given more than once; written as -o "
                             "FILE is)")


INDEX_HELP = "the index file (its documents' names are kept beside it, in INDEX.names)"
EXACT_HELP = ("score every candidate, as %s does, rather than those the index's graph leads to; "
              "either way every score printed is exact")


def _fill_index_documents(parser):
    parser.add_argument("index", metavar="INDEX", help=INDEX_HELP)
    parser.add_argument("docs", nargs="*", metavar="DOCS", help=DOCS_HELP)
    _add_reading(parser, INDEX_ERRORS)
    _add_progress(parser)
    parser.set_defaults(output=None, format=None, scheduler=None)


def _fill_index_build(parser):
    _fill_index_documents(parser)
    parser.add_argument("--window", type=_size, metavar="N",
                        help="index windows of N bytes of each document instead of whole "
                             "documents (at most %d; 4k, vendrask.WindowIndex's default, found "
                             "passages as well as smaller ones): search then finds which "
                             "documents hold a passage, and where" % (JOINT_SIZE_LIMIT // 2))
    parser.add_argument("--overlap", type=_bytes, metavar="M",
                        help="bytes each window shares with the next (default: a quarter of "
                             "the window); a passage up to M bytes lies whole in some window. "
                             "Needs --window")


def _fill_index_info(parser):
    parser.add_argument("index", metavar="INDEX", help=INDEX_HELP)
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="one 'name: value' line each (text, the default), or one JSON object")


def _fill_search(parser):
    parser.add_argument("index", metavar="INDEX", help=INDEX_HELP)
    parser.add_argument("docs", nargs="*", metavar="QUERY",
                        help="the queries: files and directories (as for DOCS elsewhere); '-' "
                             "reads one from stdin")
    _add_reading(parser, INDEX_ERRORS)
    parser.add_argument("-k", type=_positive, default=5, metavar="N",
                        help="hits per query (default 5); fewer when the index holds fewer "
                             "documents, or fewer scoring at least --score-cutoff")
    parser.add_argument("--primed-by", choices=PRIMED_BY, default="query",
                        help="which one primes the compressor: the query, scoring "
                             "measure(query, hit) (the default); or the document (of a window "
                             "index: the window), scoring measure(hit, query), the query "
                             "compressed with the hit (for finding which documents hold a "
                             "passage); no effect with --symmetric")
    _add_symmetric(parser)
    parser.add_argument("--score-cutoff", type=_score, metavar="X",
                        help="leave out hits scoring below X, from 0 to 1")
    parser.add_argument("--exact", action="store_true", help=EXACT_HELP % "nearest")
    _add_writing(parser)
    _add_progress(parser)
    parser.set_defaults(scheduler=None)


def _fill_dedup(parser):
    parser.add_argument("docs", nargs="*", metavar="DOCS", help=DOCS_HELP)
    parser.add_argument("--index", metavar="INDEX",
                        help="the documents of the index at INDEX (index build made it), "
                             "instead of DOCS: nothing is read or built again")
    _add_reading(parser, INDEX_ERRORS)
    parser.add_argument("--threshold", type=_score, required=True, metavar="X",
                        help="list the pairs scoring X or more, from 0 to 1")
    _add_symmetric(parser, default="mean")
    parser.add_argument("--clusters", action="store_true",
                        help="print one line per document instead: its cluster (the connected "
                             "components of the pairs scoring X or more) and its name")
    parser.add_argument("--exact", action="store_true", help=EXACT_HELP % "pairs")
    _add_writing(parser)
    _add_progress(parser)
    from .records import add_options
    add_options(parser)
    parser.set_defaults(scheduler=None)


WHAT = ("the score of S compressed with T as zlib's preset dictionary: what priming with T saves "
        "on S, over the information in S plus what of T is not in S; near 1 when the two say "
        "nearly the same thing, 0 when T is of no help, and 1 for identical files")
SCORE = f"measure(T, S) is {WHAT}"
COMMANDS = {
    "measure": (_fill_measure, "the score of file S compressed with file T as the preset dictionary",
                f"Print measure(T, S), {WHAT}."),
    "matrix": (_fill_matrix, "every document against every other, one row per T",
               "Print measure(T, S) for every document as T (row) and every document as S "
               f"(column); with --symmetric, both directions combined. {SCORE}."),
    "nearest": (_fill_nearest, "each query's k best-scoring documents",
                "For each query (without --query: each document), its k best-scoring documents, "
                "best first: one line per hit with query, hit, rank and score. The score is "
                "measure(query, hit): the hit compressed with the query as the preset dictionary. "
                "With --primed-by document it is measure(hit, query): the query compressed with "
                "the hit as the dictionary (for finding which documents hold a passage). "
                f"--symmetric combines both directions. {SCORE}."),
    "pairs": (_fill_pairs, "pairs of documents scoring at least a threshold",
              "Print every pair of documents scoring at least X, highest first: t, s and "
              "measure(t, s), s compressed with t as the preset dictionary; with --symmetric, both "
              f"directions combined and each pair once. {SCORE}."),
    "index": (None, "build an index of documents, add to it, or describe it",
              "Build an index of documents for search (index build), add documents to one (index "
              "add), or print what it holds (index info)."),
    "search": (_fill_search, "each query's k best-scoring documents of an index",
               "For each query, its k best-scoring documents of INDEX, best first: one line per "
               "hit with query, hit, rank and score, as nearest prints them. The score is "
               "measure(query, hit), the hit compressed with the query as the preset dictionary "
               "(--primed-by document: measure(hit, query)); --symmetric combines both "
               "directions. Of an index of windows (index build --window), a document scores "
               "its best window's score, and each line also gives that window's byte offset "
               "and length in the document. Which documents are scored is approximate "
               "(those the index's graph leads to) unless --exact; every score printed is exact. "
               "A query that is itself one of the indexed files is not its own hit (a copy under "
               f"another name is). {SCORE}."),
    "dedup": (_fill_dedup, "near-duplicate pairs or clusters of documents or records",
              "Print every pair of documents scoring at least X, highest first, as pairs "
              "--symmetric prints them: t, s and the mean (or --symmetric min or max) of both "
              "directions, each pair once; with --clusters, each document's cluster instead. "
              "The documents are DOCS, the records of a dataset (--field, --column) or those of "
              "an index (--index INDEX). Which pairs are scored is approximate (those whose "
              "MinHash sketches meet) unless --exact; every score printed is exact. "
              f"{SCORE}."),
    "doctor": (None, "print which zlib this install runs on",
               "Print the version and the zlib this install runs on, and whether it gives "
               "the defining values."),
}


INDEX_COMMANDS = {
    "build": (_fill_index_build, "build an index of documents and save it at INDEX",
              "Build an index of DOCS and save it at INDEX, with their names in INDEX.names beside "
              "it; both files are replaced at once when complete. An existing INDEX is replaced "
              "only if it is an index. With --window, an index of each document's windows, for "
              "finding which long documents hold a passage, and where."),
    "add": (_fill_index_documents, "add documents to an index",
            "Add DOCS to the index at INDEX and save it again, replacing INDEX and INDEX.names "
            "at once when complete. Documents are cut as the index's were (its max_bytes), and "
            "windowed as its were (its window and overlap); a file "
            "already in the index (by its path, or another path to it) is left out. INDEX.names "
            "records absolute paths; they are printed relative to the current folder when they "
            "lie below it."),
    "info": (_fill_index_info, "print what an index holds",
             "Print what the index at INDEX holds: its documents, how many are distinct, the cut "
             "(max_bytes), the zlib it was built with, its file format, its graph's degree and "
             "the memory it takes; of an index of windows also its windows, their size and "
             "overlap."),
}


def parse(argv, runners, about):
    """The parsed ``argv`` of the vendrask command: a namespace with ``command``
    and ``run``, the function of ``runners`` (one per command) that runs it;
    ``about`` prints the version."""
    top = _Parser(prog="vendrask",
                  description="How much one file can be expressed through another, from 0 to 1.",
                  epilog=statuses_text())
    top.add_argument("--version", action=_Version, about=about)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    # Only the chosen command is built (it is quicker); all of them when none
    # is chosen (help, or a usage error to explain).
    chosen = argv[0] if argv and argv[0] in COMMANDS else None
    for name, (fill, summary, description) in COMMANDS.items():
        if chosen in (None, name):
            command = commands.add_parser(name, help=summary, description=description,
                                          epilog=statuses_text())
            command.set_defaults(command=name, run=runners.get(name))
            if fill is not None:
                fill(command)
            if name == "index":
                index = command
    if chosen is None:
        return top.parse_args(argv)
    if chosen == "index":  # a second word chooses what to do with an index
        return _parse_index(index, argv[1:], runners)
    return command.parse_args(command.rewrite(argv[1:]))


def _parse_index(parser, argv, runners):
    actions = parser.add_subparsers(dest="action", required=True, metavar="ACTION")
    chosen = argv[0] if argv and argv[0] in INDEX_COMMANDS else None
    for name, (fill, summary, description) in INDEX_COMMANDS.items():
        if chosen in (None, name):
            command = actions.add_parser(name, help=summary, description=description,
                                         epilog=statuses_text())
            command.set_defaults(command=f"index {name}", run=runners[f"index {name}"])
            fill(command)
    if chosen is None:
        return parser.parse_args(argv)
    return command.parse_args(command.rewrite(argv[1:]))
