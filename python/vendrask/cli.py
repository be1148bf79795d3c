"""The vendrask command: measures of files.

  vendrask measure T S
  vendrask matrix FILE... [--workers N] [--format csv|tsv|json] [--symmetric]
"""
import argparse
import csv
import json
import sys
import time

import numpy as np

import _vendrask

from . import JOINT_SIZE_LIMIT, JointSizeError, matrix

PROGRESS_AFTER = 0.5  # seconds: shorter jobs draw no progress bar


class Failure(Exception):
    """A message for the user; the command exits with status 1."""


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        if args.command == "measure":
            print(repr(_measure(_read(args.t), _read(args.s), args.t, args.s)))
        else:
            _print_matrix(args)
    except Failure as failure:
        print(f"vendrask: {failure}", file=sys.stderr)
        return 1
    return 0


def _parser():
    parser = argparse.ArgumentParser(
        prog="vendrask", description="How much one file can be expressed through another (0 to 1).")
    commands = parser.add_subparsers(dest="command", required=True)
    one = commands.add_parser("measure", help="print the measure of file S through file T")
    one.add_argument("t", metavar="T")
    one.add_argument("s", metavar="S")
    many = commands.add_parser(
        "matrix", help="print the measure of every file through every other, one row per T")
    many.add_argument("files", nargs="+", metavar="FILE")
    many.add_argument("--workers", type=int, default=1, help="threads to use; -1 for one per core")
    many.add_argument("--format", choices=("csv", "tsv", "json"), default="csv")
    many.add_argument("--symmetric", action="store_true",
                      help="print the mean of both directions, as _vendrask.adjust computes it")
    return parser


def _read(path):
    try:
        with open(path, "rb") as file:
            data = file.read(JOINT_SIZE_LIMIT + 1)
    except OSError as error:
        raise Failure(f"{path}: {error.strerror or error}") from None
    if len(data) > JOINT_SIZE_LIMIT:
        raise Failure(f"{path}: over the size limit of {JOINT_SIZE_LIMIT} bytes")
    return data


def _measure(t, s, t_name, s_name):
    if t != s and len(t) + len(s) > JOINT_SIZE_LIMIT:
        raise Failure(_over_limit(t_name, s_name, len(t), len(s)))
    try:
        return _vendrask.measure(t, s)
    except RuntimeError:
        raise Failure(f"{t_name}, {s_name}: {_vendrask.error()}") from None


def _over_limit(t_name, s_name, len_t, len_s):
    return (f"{t_name} and {s_name} are {len_t} + {len_s} = {len_t + len_s} bytes together, "
            f"over the joint size limit of {JOINT_SIZE_LIMIT} bytes")


def _print_matrix(args):
    docs = [_read(path) for path in args.files]
    try:
        values = matrix(docs, workers=args.workers, progress=_progress_bar())
    except JointSizeError as error:
        raise Failure(_over_limit(args.files[error.i], args.files[error.j], error.len_t, error.len_s)) from None
    except (ValueError, RuntimeError) as error:
        raise Failure(str(error)) from None
    finally:
        if sys.stderr.isatty():
            sys.stderr.write("\r\033[K")
    if args.symmetric:
        single = values.astype(np.float32).astype(np.float64)
        values = (single + single.T) * 0.5
    rows = [[repr(x) for x in row] for row in values.tolist()]
    if args.format == "json":
        json.dump({"files": args.files, "matrix": values.tolist()}, sys.stdout)
        print()
        return
    writer = csv.writer(sys.stdout, delimiter="," if args.format == "csv" else "\t", lineterminator="\n")
    writer.writerow([""] + args.files)
    writer.writerows([name] + row for name, row in zip(args.files, rows))


def _progress_bar():
    if not sys.stderr.isatty():
        return None
    start = time.monotonic()

    def show(done, total):
        if time.monotonic() - start >= PROGRESS_AFTER and total:
            filled = 30 * done // total
            sys.stderr.write(f"\rvendrask: [{'#' * filled}{' ' * (30 - filled)}] {100 * done // total}%")
            sys.stderr.flush()
    return show
