"""How the vendrask command fails: its error types, its exit statuses, and the
one line on standard error that says why.

Kept free of imports beyond ``sys`` so that ``vendrask measure`` starts quickly.
"""
import sys

# The exit statuses, defined here only: main() returns them and --help lists them.
OK = 0
DATA_ERROR = 1
USAGE_ERROR = 2
INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it
CLOSED_PIPE = 141  # 128 + SIGPIPE
TERMINATED = 143  # 128 + SIGTERM

STATUSES = (
    (OK, "success"),
    (DATA_ERROR, "data or write errors"),
    (USAGE_ERROR, "usage errors"),
    (INTERRUPTED, "interrupted (Ctrl-C)"),
    (CLOSED_PIPE, "output pipe closed by its reader"),
    (TERMINATED, "terminated (SIGTERM)"),
)


def statuses_text():
    """The exit statuses as one sentence, for --help."""
    return "Exit status: " + ", ".join(f"{status} {meaning}" for status, meaning in STATUSES) + "."


class CommandError(Exception):
    """An error for the user: one line, then the command exits with ``status``."""
    status = DATA_ERROR


class Failure(CommandError):
    """A data error: a missing or unreadable file, no documents, a pair over the
    joint size limit, an unreachable scheduler."""


class UsageError(CommandError):
    """A usage error found after parsing (argparse reports its own)."""
    status = USAGE_ERROR


class WriteError(CommandError):
    """Writing the output failed (a full disk, say)."""


class Terminated(BaseException):
    """SIGTERM: stop like Ctrl-C, cleaning up on the way out."""
    status = TERMINATED


def shown(name):
    """A path as one line of a message: control characters escaped."""
    return "".join(c if c.isprintable() or c == " " or "\udc80" <= c <= "\udcff"
                   else repr(c)[1:-1] for c in name)


FEW = 5  # names listed in a message before "and N more"


def listed(names, few=FEW):
    """``names`` for a message: the first ``few`` of them, then "and N more"."""
    names = [shown(name) for name in names]
    if len(names) <= few:
        return ", ".join(names)
    return f"{', '.join(names[:few])} and {len(names) - few} more"


def say(message):
    """One line on stderr; raw bytes of odd file names pass through unchanged.
    A message of several lines (some of Dask's) is joined into one."""
    message = str(message)
    if "\n" in message or "\r" in message:
        message = " ".join(part.strip() for part in message.splitlines() if part.strip())
    try:
        sys.stderr.flush()
        sys.stderr.buffer.write(f"vendrask: {message}\n".encode("utf-8", "surrogateescape"))
        sys.stderr.buffer.flush()
    except (OSError, ValueError, AttributeError):
        pass
