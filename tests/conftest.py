import os
import signal
import subprocess
import sys

import pytest

# The module reads VENDRASK_DEBUG_MODE at its first measure: keep the suite's
# own process independent of the caller's environment.
os.environ.pop("VENDRASK_DEBUG_MODE", None)


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter; returns the completed process."""
    def run(code, debug_mode=None):
        env = {k: v for k, v in os.environ.items() if k != "VENDRASK_DEBUG_MODE"}
        if debug_mode is not None:
            env["VENDRASK_DEBUG_MODE"] = debug_mode
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=120)
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


@pytest.fixture(autouse=True)
def bounded(request):
    """In a module that sets TEST_SECONDS, fails a test that runs over it
    instead of hanging the suite."""
    seconds = getattr(request.module, "TEST_SECONDS", None)
    if seconds is None:
        yield
        return

    def expire(signum, frame):
        raise TimeoutError(f"test ran over {seconds} s")
    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)
