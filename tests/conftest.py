import os
import signal
import subprocess
import sys
import time

import pytest

# Every time bound in the suite is a hang guard, not a measure: it must hold
# on a machine loaded many times over (CI runners, a shared box, several
# interpreters' suites at once), where a step of a second idle takes twenty.
HANG_SECONDS = 600

# The module reads VENDRASK_DEBUG_MODE at its first measure: keep the suite's
# own process independent of the caller's environment.
os.environ.pop("VENDRASK_DEBUG_MODE", None)

# A suite started with SIGINT ignored (in the background of a shell, under
# nohup) would hand that on to every process it starts, and their Ctrl-C
# tests would see nothing; a handler of this process is not inherited.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter; returns the completed process."""
    def run(code, debug_mode=None):
        env = {k: v for k, v in os.environ.items() if k != "VENDRASK_DEBUG_MODE"}
        if debug_mode is not None:
            env["VENDRASK_DEBUG_MODE"] = debug_mode
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=HANG_SECONDS)
    return run


@pytest.fixture
def run(capfdbinary):
    """The vendrask command in this process: ``run(*argv)`` gives (status,
    stdout as bytes, stderr lines). Every line it prints is one message
    (``vendrask: ...``); only argparse's usage errors (status 2) print more."""
    from vendrask.cli import main

    def run(*argv):
        try:
            status = main(list(argv))
        except SystemExit as stop:  # argparse's usage errors
            status = stop.code
        out, err = capfdbinary.readouterr()
        lines = err.decode("utf-8", "surrogateescape").splitlines()
        if status != 2:  # nothing else is ever a traceback
            assert all(line.startswith("vendrask: ") for line in lines), lines
        return status, out, lines
    return run


@pytest.fixture
def quiet_stderr():
    """Sends fd 2 to /dev/null for the test: echo and trace lines in bulk
    would otherwise pile up in pytest's capture."""
    saved, null = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


@pytest.fixture
def wait_until():
    """``wait_until(condition, what, seconds)`` polls ``condition()`` until it
    is true and returns its value; after ``seconds`` (a hang guard) it fails
    the test saying ``what`` never happened."""
    def wait(condition, what, seconds=HANG_SECONDS / 3, pause=0.05):
        deadline = time.monotonic() + seconds
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() > deadline:
                pytest.fail(f"{what}: still not so after {seconds:g} s")
            time.sleep(pause)
    return wait


@pytest.fixture
def ctrl_c():
    """SIGINT raises KeyboardInterrupt for the test, as in an interactive run,
    even when the suite was started with SIGINT ignored (in the background,
    under nohup, by some CI runners). Yields a ``preexec_fn`` that gives a
    child process the same: SIGINT back to its default, for which Python
    installs its own handler."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield _default_sigint
    finally:
        signal.signal(signal.SIGINT, previous)


def _default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.fixture(autouse=True)
def bounded(request):
    """In a module that sets TEST_SECONDS, fails a test that runs over it
    instead of hanging the suite: a hang guard, so generous (see HANG_SECONDS)."""
    seconds = getattr(request.module, "TEST_SECONDS", None)
    if seconds is None:
        yield
        return

    def expire(signum, frame):
        raise TimeoutError(f"test ran over {seconds} s")
    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


class DaskProcesses:
    """A Dask scheduler and one worker in processes of their own, which a
    test may kill; ``address`` is the scheduler's."""

    def __init__(self, folder, threads=2, seconds=HANG_SECONDS / 3):
        import distributed
        # The scheduler picks its port and writes its address to a file: no
        # port taken from under it between a look and its start.
        scheduler_file = str(folder / "scheduler.json")
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ))
        self.seconds = seconds
        self.scheduler = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", "0", "--no-dashboard", "--scheduler-file", scheduler_file], **quiet)
        self.worker = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
             scheduler_file, "--nthreads", str(threads), "--no-dashboard"], **quiet)
        try:
            with distributed.Client(scheduler_file=scheduler_file, timeout=f"{seconds}s",
                                    set_as_default=False) as client:
                client.wait_for_workers(1, timeout=seconds)
                self.address = client.scheduler.address
        except BaseException:
            self.stop()
            raise

    def client(self, seconds=None, **options):
        """A client of the test's own; ``seconds``: its timeout (by default
        the one the processes were started with), which bounds its
        connecting and, once the scheduler is gone, each call that asks it."""
        import distributed
        return distributed.Client(self.address, timeout=f"{seconds or self.seconds}s",
                                  set_as_default=False, **options)

    def kill_scheduler(self):
        self.scheduler.kill()
        self.scheduler.wait()

    def stop(self):
        for process in (self.worker, self.scheduler):
            process.kill()
            process.wait()


def _started_processes(tmp_path_factory):
    started = []

    def start(**options):
        started.append(DaskProcesses(tmp_path_factory.mktemp("dask"), **options))
        return started[-1]
    try:
        yield start
    finally:
        for cluster in started:
            cluster.stop()


@pytest.fixture
def dask_processes(tmp_path_factory):
    """Starts DaskProcesses (``dask_processes(threads=2, seconds=...)``); all
    are stopped after the test."""
    yield from _started_processes(tmp_path_factory)


@pytest.fixture(scope="module")
def module_dask_processes(tmp_path_factory):
    """dask_processes, for a module's fixtures."""
    yield from _started_processes(tmp_path_factory)
