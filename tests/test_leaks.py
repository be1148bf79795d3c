"""Repeated calls leave no objects, memory or references behind."""
import gc
import os
import resource
import sys
import tracemalloc

import pytest

import _vendrask

CALLS = 100_000
T, S = b"the quick brown fox jumps over the lazy dog", b"the lazy dog sleeps under the quick brown fox"
BIG = b"z" * 40000


def swallow(call):
    def run():
        try:
            call()
        except (TypeError, RuntimeError):
            pass
    return run


CASES = {
    "measure": lambda: _vendrask.measure(T, S),
    "measure identical": lambda: _vendrask.measure(T, T),
    "measure over the limit": swallow(lambda: _vendrask.measure(BIG, S)),
    "measure wrong type": swallow(lambda: _vendrask.measure(T, "text")),
    "adjust": lambda: _vendrask.adjust(0.25, 0.5),
    "adjust wrong type": swallow(lambda: _vendrask.adjust(T, 1.0)),
    "error": _vendrask.error,
    "error wrong arity": swallow(lambda: _vendrask.error(T)),
    "abcdefgh wrong type": swallow(lambda: _vendrask.abcdefgh(None)),
}


# ASan's quarantine holds freed memory back, so the RSS says nothing there.
CHECK_RSS = not os.environ.get("VENDRASK_SANITIZED")


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_repeated_calls_leak_nothing(call):
    for _ in range(1000):  # warm up caches and free lists
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in (T, S, BIG, None)]
    rss = rss_kib()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(CALLS):
        call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 4096
    assert not CHECK_RSS or rss_kib() - rss < 2048
    # None's count also moves with whatever other threads of the process do
    # (a Dask or tqdm thread left from an earlier test); a reference gained
    # or lost per call would move it by CALLS.
    after = [sys.getrefcount(o) for o in (T, S, BIG, None)]
    assert after[:3] == counts[:3]
    assert abs(after[3] - counts[3]) < CALLS // 100


def test_switch_leaks_nothing(quiet_stderr):
    test_repeated_calls_leak_nothing(lambda: _vendrask.abcdefgh("off"))
