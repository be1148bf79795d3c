"""Kills a worker in the middle of vendrask.dask jobs and checks every answer.

A LocalCluster of 3 worker processes (1 thread each, on 127.0.0.1, each
behind a nanny that starts a new one when it dies) runs, in turn,
nearest, pdist, pairs and a lazy matrix(...).compute() over documents cut
from the licence texts in /usr/share/common-licenses. In each run one
worker, picked at random, is killed with SIGKILL at a random moment of the
job: while its blocks are being placed (right after the first one is
sent), or at a time drawn from [0, 1.2 x the job's length without a
kill], so that some kills land after the memory manager has trimmed the
copies of the blocks (every 2 s) and some after the job ended. A run holds
when its answer is bit-identical to the in-process one (same dtype, shape
and values, NaN where NaN).

Run: python bench/dask_faults.py [--runs 24] [--seed 1] [--documents 700]
Every job is bounded (timeout= and an alarm); it exits 1 if a run did not hold.
"""
import argparse
import logging
import os
import random
import signal
import sys
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare  # noqa: E402  (the corpus and how documents are cut from it)

import distributed  # noqa: E402

import vendrask  # noqa: E402
import vendrask.dask as vd  # noqa: E402

WORKERS = 3
TILE = 100
JOB_TIMEOUT = 60  # seconds without news from the cluster: vendrask.dask's own limit
RUN_ALARM = 300  # seconds for a whole run, a lazy compute's wait included

JOBS = {
    "nearest": (lambda m, docs, **o: m.nearest(docs, k=5, **o)),
    "pdist": (lambda m, docs, **o: m.pdist(docs, **o)),
    "pairs": (lambda m, docs, **o: m.pairs(docs, threshold=0.12, **o)),
    "matrix (lazy)": (lambda m, docs, **o: m.matrix(docs, dtype=np.float32, **o)),
}


def run_job(name, docs, client):
    if name == "matrix (lazy)":
        return vd.matrix(docs, dtype=np.float32, tile=TILE, timeout=JOB_TIMEOUT).compute()
    return JOBS[name](vd, docs, client=client, tile=TILE, timeout=JOB_TIMEOUT)


def same(got, want):
    if isinstance(want, tuple):
        return len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))
    return got.dtype == want.dtype and got.shape == want.shape and \
        np.array_equal(got, want, equal_nan=True)


class Killer:
    """Kills one worker with SIGKILL, at a time or from the first placement call."""

    def __init__(self, client, rng):
        self.client, self.rng = client, rng
        self.pids = list(client.run(os.getpid).values())
        self.at = None  # seconds into the job at which the kill came
        self.start = None
        self._timer = None
        self._submit = None

    def kill(self):
        if self.at is None:
            self.at = time.perf_counter() - self.start
            os.kill(self.rng.choice(self.pids), signal.SIGKILL)

    def after(self, seconds):
        self.start = time.perf_counter()
        self._timer = threading.Timer(seconds, self.kill)
        self._timer.start()

    def during_placement(self):
        self.start = time.perf_counter()
        self._submit = self.client.submit

        def submit_then_kill(*args, **options):
            future = self._submit(*args, **options)
            self.kill()
            return future
        self.client.submit = submit_then_kill

    def stop(self):
        if self._timer is not None:
            self._timer.cancel()
            self._timer.join()
        if self._submit is not None:
            del self.client.submit  # the instance's own attribute: back to the method


def alarm(signum, frame):
    raise TimeoutError(f"a run took over {RUN_ALARM} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=24, help="runs in all, over the 4 jobs")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--documents", type=int, default=700)
    parser.add_argument("--logs", action="store_true", help="show the cluster's warnings")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    docs = compare.cut_documents(compare.read_corpus(), args.documents, 300, 900, seed=args.seed)
    signal.signal(signal.SIGALRM, alarm)

    print(f"{args.documents} documents of 300-900 B, tile {TILE}; "
          f"LocalCluster of {WORKERS} worker processes of 1 thread on {os.cpu_count()} CPUs")
    want = {name: job(vendrask, docs) for name, job in JOBS.items()}
    with distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                  silence_logs=logging.WARNING if args.logs else logging.CRITICAL,
                                  ) as cluster, \
            distributed.Client(cluster) as client:  # the default: .compute() uses it
        length = {}
        for name in JOBS:  # the length of each job without a kill, and a check
            start = time.perf_counter()
            assert same(run_job(name, docs, client), want[name]), name
            length[name] = time.perf_counter() - start
        print("without a kill: " + ", ".join(f"{n} {s:.1f} s" for n, s in length.items()))
        print("\n| run | job | kill | at | job took | held |\n|---|---|---|---|---|---|")
        names = list(JOBS)
        tally = {name: [0, 0, 0] for name in names}  # runs, kills before the end, held
        for run in range(args.runs):
            name = names[run % len(names)]
            try:
                client.wait_for_workers(WORKERS, timeout=30)
            except distributed.exceptions.WorkerStartTimeoutError:
                # A nanny that never brings its worker back is the cluster's
                # fault, not the job's: go on while a kill leaves a worker.
                print(f"| - | (only {len(client.nthreads())} workers came back) |", flush=True)
                client.wait_for_workers(2, timeout=60)
            killer = Killer(client, rng)
            placement = run % 5 == 0
            if placement:
                killer.during_placement()
            else:
                killer.after(rng.uniform(0, 1.2 * length[name]))
            signal.alarm(RUN_ALARM)
            try:
                got = run_job(name, docs, client)
                held = same(got, want[name])
                outcome = "yes" if held else "NO: a different answer"
            except Exception as error:
                held = False
                outcome = f"NO: {type(error).__name__}: {str(error)[:120]}"
            finally:
                signal.alarm(0)
                took = time.perf_counter() - killer.start
                killer.stop()
            landed = killer.at is not None and killer.at < took
            tally[name][0] += 1
            tally[name][1] += landed
            tally[name][2] += held
            moment = "placement" if placement else "timer"
            at = f"{killer.at:.2f} s" if killer.at is not None else "-"
            print(f"| {run + 1} | {name} | {moment} | {at}{'' if landed else ' (after)'} | "
                  f"{took:.2f} s | {outcome} |", flush=True)
    print("\n| job | runs | killed mid-job | held |\n|---|---|---|---|")
    for name, (runs, landed, held) in tally.items():
        print(f"| {name} | {runs} | {landed} | {held} |")
    runs, landed, held = (sum(t[k] for t in tally.values()) for k in range(3))
    print(f"| all | {runs} | {landed} | {held} |")
    return 0 if held == runs else 1


if __name__ == "__main__":
    sys.exit(main())
