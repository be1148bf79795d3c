"""Runs the Dask test files again and again on a machine kept busy, and says
which tests ever failed.

Each round runs pytest on the Dask test files in a process of its own while
K busy processes (pure Python loops, each on its own core if it can) keep
the machine loaded; the busy processes are started before the first round
and killed after the last. Every round prints its counts; the end prints how
many rounds held and, for every test that failed, in how many rounds.

Run it niced on a shared machine, from the checkout:

    nice -n 10 python bench/dask_soak.py [--runs 20] [--load K] [--minutes M] [FILES...]

K is 4 x the cores by default. With --minutes, no round starts after M
minutes, and the rounds run by then count. It exits 1 if any round failed (a
test failed or errored, pytest itself failed, or a round ran over
--round-limit), 0 if all held. Options after ``--`` go to pytest (``-- -k fault``).
"""
import argparse
import collections
import os
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FILES = ["tests/test_dask.py", "tests/test_index_dask.py", "tests/test_cli_dask.py"]

# A busy process: spins until its parent is gone, so that even a soak killed
# with SIGKILL leaves no load behind.
BUSY = """
import os, sys
parent = int(sys.argv[1])
x = 0
while True:
    for _ in range(1_000_000):
        x = (x * 31 + 7) % 1_000_003
    if os.getppid() != parent:
        break
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Runs the Dask test files N times in a row on a loaded machine.")
    parser.add_argument("files", nargs="*", default=FILES,
                        help="test files, relative to the checkout (default: the Dask ones)")
    parser.add_argument("--runs", type=_positive, default=20, help="rounds (default 20)")
    parser.add_argument("--load", type=_at_least_zero, default=None,
                        help="busy processes (default 4 x the cores)")
    parser.add_argument("--minutes", type=float, default=None,
                        help="start no round after this many minutes (default: no limit)")
    parser.add_argument("--round-limit", type=_positive, default=3600,
                        help="seconds after which a round is stopped and counted as failed "
                             "(a hang guard; default 3600)")
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter that runs pytest (default: this one)")
    # What follows "--" goes to pytest untouched.
    cut = argv.index("--") if "--" in argv else len(argv)
    args = parser.parse_args(argv[:cut])
    args.pytest_args = argv[cut + 1:]
    if args.load is None:
        args.load = 4 * (os.cpu_count() or 1)
    return args


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text}")
    return value


def _at_least_zero(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text}")
    return value


class Round:
    """One pytest run's outcome, read from its JUnit XML report."""

    def __init__(self, number):
        self.number = number
        self.passed = self.failed = self.skipped = 0
        self.failures = []  # test ids that failed or errored
        self.problem = None  # what went wrong beyond the tests, if anything
        self.seconds = 0.0

    @property
    def held(self):
        return not self.failed and self.problem is None

    def read(self, report):
        try:
            root = ElementTree.parse(report).getroot()
        except (OSError, ElementTree.ParseError) as error:
            self.problem = f"no test report ({error})"
            return
        for case in root.iter("testcase"):
            name = f"{case.get('classname', '')}::{case.get('name', '')}"
            outcome = {child.tag for child in case}
            if outcome & {"failure", "error"}:
                self.failed += 1
                self.failures.append(name)
            elif "skipped" in outcome:
                self.skipped += 1
            else:
                self.passed += 1

    def line(self):
        text = (f"round {self.number}: {self.passed} passed, {self.failed} failed, "
                f"{self.skipped} skipped in {self.seconds:.0f} s")
        if self.problem:
            text += f"; {self.problem}"
        return text


def start_load(count):
    return [subprocess.Popen([sys.executable, "-c", BUSY, str(os.getpid())],
                             stdin=subprocess.DEVNULL) for _ in range(count)]


def stop_load(processes):
    for process in processes:
        if process.poll() is None:
            process.kill()
    for process in processes:
        process.wait()


def run_round(number, args, log):
    done = Round(number)
    with tempfile.TemporaryDirectory(prefix="dask-soak-") as folder:
        report = os.path.join(folder, "report.xml")
        command = [args.python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfE",
                   f"--junitxml={report}", *args.files, *args.pytest_args]
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            filter(None, [os.path.join(ROOT, "python"), env.get("PYTHONPATH")]))
        started = time.monotonic()
        with open(log, "ab") as output:
            output.write(f"==== round {number}\n".encode())
            output.flush()
            # A session of its own: a round that runs over is stopped with
            # every process it started (clusters, workers, the command).
            pytest = subprocess.Popen(command, cwd=ROOT, env=env, stdout=output,
                                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                      start_new_session=True)
            try:
                code = pytest.wait(timeout=args.round_limit)
            except subprocess.TimeoutExpired:
                code = None
                done.problem = f"stopped after {args.round_limit} s"
            except BaseException:
                _stop_group(pytest)
                raise
            if code is None:
                _stop_group(pytest)
        done.seconds = time.monotonic() - started
        done.read(report)
        if code not in (None, 0, 1) and done.problem is None:
            done.problem = f"pytest exited with status {code}"
        if code == 1 and not done.failed and done.problem is None:
            done.problem = "pytest failed without a failing test"
    return done


def _stop_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def summary(rounds, load):
    held = sum(r.held for r in rounds)
    lines = [f"{len(rounds)} rounds with {_busy(load)}: {held} held, "
             f"{len(rounds) - held} failed"]
    counts = collections.Counter(name for r in rounds for name in r.failures)
    for name, count in counts.most_common():
        lines.append(f"  failed in {count} of {len(rounds)} rounds: {name}")
    for r in rounds:
        if r.problem:
            lines.append(f"  round {r.number}: {r.problem}")
    return "\n".join(lines)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    # SIGTERM ends the soak as Ctrl-C does: the load and the round are stopped.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(143))
    log = os.path.join(tempfile.gettempdir(), f"dask-soak-{os.getpid()}.log")
    print(f"{args.runs} rounds of {' '.join(args.files)} with {_busy(args.load)} "
          f"on {os.cpu_count()} cores; pytest output in {log}", flush=True)
    rounds = []
    interrupted = False
    started = time.monotonic()
    load = start_load(args.load)
    try:
        for number in range(1, args.runs + 1):
            if args.minutes is not None and time.monotonic() - started > 60 * args.minutes:
                print(f"no round {number}: {args.minutes:g} minutes are up", flush=True)
                break
            done = run_round(number, args, log)
            rounds.append(done)
            print(done.line(), flush=True)
            for name in done.failures:
                print(f"  FAILED {name}", flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("interrupted", file=sys.stderr)
    finally:
        stop_load(load)
    if not rounds:
        return 1
    print(summary(rounds, args.load))
    return 1 if interrupted or not all(r.held for r in rounds) else 0


def _busy(count):
    return f"{count} busy process" + ("" if count == 1 else "es")


if __name__ == "__main__":
    sys.exit(main())
