"""vendrask.dask on a LocalCluster of 2 worker processes (1 thread each, on
127.0.0.1) against the in-process functions with 2 threads, on documents cut
from the licence texts in /usr/share/common-licenses:

1. overhead: what one task costs beyond its work, for a bare Dask task and
   for a vendrask tile task whose tile holds next to no work (many tiny
   tiles), as worker-thread time per task;
2. cost: microseconds per ordered pair (one cross compression, plus its
   share of the lone and self-primed sizes) at a few document sizes, on one
   thread: the cost model that sizes a cluster;
3. throughput: the same nearest(k=10) job over 3000 documents in-process on
   2 threads and on the cluster with the default tile, in interleaved rounds
   (wall-clock time: it needs a machine that is otherwise idle), checked to
   be bit-identical;
4. estimate: 100 000 documents on 64 cores from the figures above.

Run: python bench/dask_bench.py [--quick] [--documents N] [--rounds R]
(after pip install '.[dask]')
"""
import argparse
import logging
import math
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare  # noqa: E402  (the corpus and how documents are cut from it)

import dask  # noqa: E402
import distributed  # noqa: E402

import vendrask  # noqa: E402
import vendrask.dask as vd  # noqa: E402

COST_SIZES = ((100, 240), (1024, 120), (2048, 90), (8192, 44))  # (bytes, documents)


def _noop(x):
    return x


def cpu_seconds(client):
    """CPU time of this process (the client and the LocalCluster's scheduler)
    and of every worker process."""
    return time.process_time() + sum(client.run(time.process_time).values())


def timed(client, job):
    """(wall seconds, CPU seconds of every process of the cluster) for job()."""
    cpu, wall = cpu_seconds(client), time.perf_counter()
    result = job()
    return time.perf_counter() - wall, cpu_seconds(client) - cpu, result


def overhead(client, threads, tasks):
    """Per task beyond its work: (wall x threads, CPU) seconds for bare Dask
    tasks, then for vendrask tile tasks with next to no work."""
    client.gather(client.map(_noop, range(50), pure=False))  # warm up
    wall, cpu, _ = timed(client, lambda: client.gather(client.map(_noop, range(tasks),
                                                                  pure=False)))
    bare = (wall * threads / tasks, cpu / tasks)
    # Distinct one-byte documents in tiles of 4: 16 tiny pairs per tile.
    docs = [bytes([k]) for k in range(4 * math.ceil(math.sqrt(2 * tasks)))]
    blocks = len(docs) // 4
    tiles = blocks * (blocks + 1) // 2
    vd.nearest(docs[:40], k=1, client=client, tile=4)  # warm up
    wall, cpu, _ = timed(client, lambda: vd.nearest(docs, k=1, client=client, tile=4))
    return bare, (wall * threads / tiles, cpu / tiles), tiles


def cost(corpus, quick):
    """CPU microseconds per ordered pair at each document size, on one thread."""
    out = []
    for size, count in COST_SIZES:
        if quick:
            count //= 2
        docs = compare.cut_documents(corpus, count, size, size, seed=size)
        vendrask.nearest(docs[:10], k=1)
        start = time.process_time()
        vendrask.nearest(docs, k=1, workers=1)
        seconds = time.process_time() - start
        out.append((size, seconds / (count * (count - 1)) * 1e6))
    return out


def throughput(client, docs, rounds):
    """(wall, CPU) seconds per round for the same nearest job in-process and
    on the cluster, run in turn."""
    times = {"in-process, 2 threads": [], "cluster, 2 processes": []}
    for _ in range(rounds):
        cpu, wall = time.process_time(), time.perf_counter()
        want = vendrask.nearest(docs, k=10, workers=2)
        times["in-process, 2 threads"].append((time.perf_counter() - wall,
                                              time.process_time() - cpu))
        wall, cpu, got = timed(client, lambda: vd.nearest(docs, k=10, client=client))
        times["cluster, 2 processes"].append((wall, cpu))
        assert all(np.array_equal(g, w, equal_nan=True) for g, w in zip(got, want))
    return times


def estimate(per_pair_us, size, task_overhead_s, n=100_000, cores=64):
    """(tile, tasks, hours, extra share) for nearest over n documents of
    `size` bytes on `cores` cores, each as fast as one here, by the cost
    model: every ordered pair one cross compression, each tile pair the lone
    and self-primed sizes of its documents again, each task its overhead."""
    tile = vd.default_tile(n, cores, size)
    blocks = math.ceil(n / tile)
    tasks = blocks * (blocks + 1) // 2
    pairs = n * (n - 1)
    extra = 2 * 2 * tile * tasks  # 2 sizes for each of up to 2 x tile documents
    work = (pairs + extra) * per_pair_us * 1e-6 + tasks * task_overhead_s
    return tile, tasks, work / cores / 3600, extra / pairs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller jobs, one round")
    parser.add_argument("--documents", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    corpus = compare.read_corpus()
    count = 1000 if args.quick else args.documents
    rounds = 1 if args.quick else args.rounds
    docs = compare.cut_documents(corpus, count, 100, 300, seed=3000)
    print(f"Python {sys.version.split()[0]}, dask {dask.__version__}, "
          f"{os.cpu_count()} CPUs")

    print("\n## cost per ordered pair, 1 thread (CPU time)")
    print("| document size | µs per ordered pair |\n|---|---|")
    costs = cost(corpus, args.quick)
    for size, us in costs:
        print(f"| {size} B | {us:.1f} |")

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                  silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        threads = sum(client.nthreads().values())
        print("\n## per-task overhead, 2 worker processes")
        bare, tile, tiles = overhead(client, threads, 200 if args.quick else 600)
        print("| task | wall x threads per task | CPU per task (all processes) |\n|---|---|---|")
        print(f"| bare Dask task | {bare[0] * 1e3:.2f} ms | {bare[1] * 1e3:.2f} ms |")
        print(f"| vendrask tile task, next to no work ({tiles} tiles) | {tile[0] * 1e3:.2f} ms "
              f"| {tile[1] * 1e3:.2f} ms |")
        mean_bytes = sum(map(len, docs)) / len(docs)
        default = vd.default_tile(count, threads, mean_bytes)
        blocks = math.ceil(count / default)
        tile_pairs = blocks * (blocks + 1) // 2
        mean_pairs = count * (count - 1) / tile_pairs
        print(f"default tile for {count} documents of {mean_bytes:.0f} B on {threads} threads: "
              f"{default} ({tile_pairs} tile pairs of {mean_pairs:,.0f} ordered pairs on average; "
              f"at {costs[0][1]:.1f} µs per pair a {tile[0] * 1e3:.1f} ms overhead is "
              f"{100 * tile[0] / (mean_pairs * costs[0][1] * 1e-6):.2f}% of a task)")

        print(f"\n## nearest(k=10), {count} documents of 100-300 B, {rounds} round(s)")
        times = throughput(client, docs, rounds)
    base = times["in-process, 2 threads"]
    print("| run | wall s | CPU s | throughput, wall | throughput, CPU |\n|---|---|---|---|---|")
    for name, runs in times.items():
        wall = [b[0] / r[0] for b, r in zip(base, runs)]
        cpu = [b[1] / r[1] for b, r in zip(base, runs)]
        print(f"| {name} | {statistics.median(r[0] for r in runs):.2f} | "
              f"{statistics.median(r[1] for r in runs):.2f} | {statistics.median(wall):.3f}x "
              f"({min(wall):.3f}-{max(wall):.3f}) | {statistics.median(cpu):.3f}x "
              f"({min(cpu):.3f}-{max(cpu):.3f}) |")

    print("\n## estimate: nearest over 100 000 documents on 64 cores")
    print("| document size | tile, tasks | hours | lone and self sizes again per tile |")
    print("|---|---|---|---|")
    for size, us in costs:
        if size in (1024, 2048):
            tile_size, tasks, hours, extra = estimate(us, size, tile[0])
            print(f"| {size} B | {tile_size}, {tasks} | {hours:.1f} | +{100 * extra:.1f}% |")


if __name__ == "__main__":
    main()
