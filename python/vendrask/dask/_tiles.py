"""How many documents go in a block: the default tile of a cluster job."""
import math

# The default tile: big enough that what a task costs beyond its work
# (scheduling, moving its inputs and result, the Python around the native
# core: 5 ms per task measured by bench/dask_bench.py on an idle 2-core
# machine, 10 ms under load) stays under OVERHEAD_SHARE of the task, small
# enough that every thread gets about TILES_PER_THREAD tiles, so the last
# ones leave few threads idle. MAX_TILE keeps a dense block at 8 MiB and the
# work that a dead worker loses at one tile.
TASK_OVERHEAD = 0.010  # seconds
OVERHEAD_SHARE = 0.02
TILES_PER_THREAD = 16
MIN_TILE = 64
MAX_TILE = 1024
MAX_PROBES = 1 << 16  # seconds of work at most, however long the strings


def default_tile(count: int, threads: int, mean_bytes: float = 100) -> int:
    """Documents per block for ``count`` documents of ``mean_bytes`` on
    ``threads`` Dask threads in all."""
    # A tile pair is 2 * tile**2 ordered pairs, each one cross compression.
    smallest = math.sqrt(TASK_OVERHEAD / (OVERHEAD_SHARE * 2 * pair_seconds(mean_bytes)))
    balanced = count / math.ceil(math.sqrt(2 * TILES_PER_THREAD * max(1, threads)))
    return min(MAX_TILE, max(MIN_TILE, math.ceil(smallest), math.ceil(balanced)))


def probes_per_task(count: int, threads: int, mean_bytes: float = 100) -> int:
    """Probes per task when a batch of ``count`` sizes of strings of
    ``mean_bytes`` is cut into tasks: the tile's rule for one probe (one
    ordered pair), at most MAX_PROBES, the work a dead worker loses."""
    smallest = TASK_OVERHEAD / (OVERHEAD_SHARE * pair_seconds(mean_bytes))
    balanced = count / (TILES_PER_THREAD * max(1, threads))
    return min(MAX_PROBES, max(math.ceil(smallest), math.ceil(balanced)))


def pair_seconds(mean_bytes: float) -> float:
    """One ordered pair on one core, about linear in the size: 5-6 us at
    100 B, 19-21 us at 1 KB, 34-37 us at 2 KB, 107-120 us at 8 KB
    (bench/dask_bench.py); the larger figures keep the tile smaller."""
    return (4.3 + 0.0139 * mean_bytes) * 1e-6
