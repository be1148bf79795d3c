"""The options of the vendrask command (argparse)."""
import argparse

from . import JOINT_SIZE_LIMIT
from ._cli_output import TEXT_FORMATS
PLOT_SUFFIXES = (".png", ".svg", ".pdf")


def _whole(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _positive(text):
    value = _whole(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def _workers(text):
    value = _whole(text)
    if value < 1 and value != -1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, or -1 for every core, not {value}")
    return value


def _score(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value != value:
        raise argparse.ArgumentTypeError("must be a number, not nan")
    return value


def _suffixed(suffixes):
    def check(path):
        if not path.lower().endswith(suffixes):
            raise argparse.ArgumentTypeError(f"{path!r}: the name must end in {', '.join(suffixes)}")
        return path
    return check


class _Version(argparse.Action):
    def __init__(self, option_strings, dest, about, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="print the version and the zlib in use")
        self.about = about

    def __call__(self, parser, namespace, values, option_string=None):
        self.about()
        parser.exit()


def _add_limits(parser):
    parser.add_argument("--max-bytes", type=_positive, metavar="N",
                        help="cut each document to its first N bytes before scoring")
    parser.add_argument("--errors", choices=("raise", "nan", "skip"), default="raise",
                        help="for documents over the joint limit of %d bytes together: stop with "
                             "a message (raise, the default), score them NaN (nan), or leave out "
                             "files that fit with no other document and list them on stderr "
                             "(skip)" % JOINT_SIZE_LIMIT)


def _add_many(parser):
    parser.add_argument("docs", nargs="*", metavar="DOCS",
                        help="files and directories (searched for regular files, in sorted "
                             "order); '-' reads one document from stdin")
    parser.add_argument("--files-from", metavar="PATH",
                        help="also the paths listed in PATH, one per line ('-': stdin)")
    parser.add_argument("-0", "--null", action="store_true",
                        help="the --files-from list is separated by NUL bytes (find -print0)")
    _add_limits(parser)
    parser.add_argument("--workers", type=_workers, default=1, metavar="N",
                        help="threads to use (default 1); -1 for every core this process may use")
    parser.add_argument("--format", choices=TEXT_FORMATS,
                        help="csv (default), tsv or json; NaN is an empty field, or null in json")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE, replaced only once complete (default: stdout)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="draw a progress bar on stderr (default: when it is a terminal)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster at ADDRESS (needs vendrask[dask])")


def _fill_measure(parser):
    parser.add_argument("t", metavar="T")
    parser.add_argument("s", metavar="S")
    _add_limits(parser)


def _fill_matrix(parser):
    _add_many(parser)
    parser.add_argument("--symmetric", action="store_true",
                        help="the mean of both directions, in double precision")
    parser.add_argument("--plot", type=_suffixed(PLOT_SUFFIXES), action="append", metavar="FILE",
                        help="also draw a clustered heatmap to FILE (.png, .svg or .pdf; "
                             "may be given more than once)")


def _fill_nearest(parser):
    _add_many(parser)
    parser.add_argument("-k", type=_positive, default=5, metavar="N",
                        help="hits per query (default 5)")
    parser.add_argument("--query", nargs="+", action="extend", metavar="FILE",
                        help="queries (files or directories) to look up among DOCS; end the "
                             "list with -- when DOCS follow")
    parser.add_argument("--score-cutoff", type=_score, metavar="X",
                        help="leave out hits scoring below X")


def _fill_pairs(parser):
    _add_many(parser)
    parser.add_argument("--threshold", type=_score, required=True, metavar="X")
    parser.add_argument("--symmetric", choices=("mean", "min", "max"),
                        help="combine both directions and list each pair once")
    parser.add_argument("--plot", type=_suffixed(PLOT_SUFFIXES), action="append", metavar="FILE",
                        help="also draw a histogram of all scores with the threshold to FILE "
                             "(.png, .svg or .pdf; may be given more than once)")


def parser(argv, runners, about):
    """The parser of the vendrask command; ``runners`` maps each command to its function
    and ``about`` prints the version."""
    parser = argparse.ArgumentParser(
        prog="vendrask",
        description="How much one file can be expressed through another, from 0 to 1.",
        epilog="Exit status: 0 success, 1 data errors, 2 usage errors, 130 interrupted.")
    parser.add_argument("--version", action=_Version, about=about)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    table = {
        "measure": (runners["measure"], _fill_measure, "the measure of file S through file T",
                    "Print the measure of S through T ('-': stdin)."),
        "matrix": (runners["matrix"], _fill_matrix, "every document through every other, one row per T",
                   "Print the measure of every document (column, S) through every document "
                   "(row, T)."),
        "nearest": (runners["nearest"], _fill_nearest, "each document's k nearest documents",
                    "For each query (without --query: each document), its k best-scoring "
                    "documents: one line per hit with query, hit, rank and score, the measure of "
                    "the query through the hit."),
        "pairs": (runners["pairs"], _fill_pairs, "pairs of documents scoring at least a threshold",
                  "Print every pair of documents whose score is at least X, highest first: t, s "
                  "and the measure of s through t (or both directions combined)."),
        "doctor": (runners["doctor"], None, "print which zlib this install runs on",
                   "Print the version and the zlib this install runs on, and whether it gives "
                   "the defining values."),
    }
    # Only the chosen command is built (it is quicker); all of them when none
    # is chosen yet (help, or a usage error to explain).
    chosen = next((arg for arg in argv if not arg.startswith("-")), None)
    for name, (run, fill, summary, description) in table.items():
        if chosen in table and chosen != name:
            continue
        command = commands.add_parser(name, help=summary, description=description)
        command.set_defaults(run=run)
        if fill is not None:
            fill(command)
    return parser
