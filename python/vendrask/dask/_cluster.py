"""One call on the cluster: its documents checked, cut into blocks and placed
once, its tasks named, run, counted for progress and cancelled."""
import asyncio
import concurrent.futures
import contextlib
import contextvars
import math
import operator
import os
import time
import uuid

import dask
import numpy as np
from dask.utils import parse_bytes, parse_timedelta

from .. import _checks
from .._corpus import Corpus
from .._documents import documents
from .._api import report_plan
from .._pairs import refuse_over_limit
from .._plan import Plan, tile_work
from .._progress import JobProgress
from . import _tasks
from ._tiles import default_tile

TREE_FAN_IN = 8  # top-k lists merged by one reduction task

# How long a job may wait with no task of its own finishing or running on
# any worker before it gives up: a cluster with no workers, or a wait that
# Dask will never end, is an error rather than a hang. A tile that runs for
# an hour is news all along; tasks queued behind other clients' work are
# not, hence minutes rather than seconds.
DEFAULT_TIMEOUT = "5 minutes"
TIMEOUT_CONFIG = "vendrask.dask.timeout"
_POLL = 1.0  # seconds between looks at what the workers are running, while nothing finishes

# Set while a caller that keeps its own documents' limits (vendrask.Index,
# which never warns of pairs over the joint size limit) runs jobs: they warn
# of nothing. A context variable, so that other threads' jobs still warn.
_UNREPORTED = contextvars.ContextVar("vendrask.dask unreported", default=False)


class SchedulerConnectionLost(ConnectionError):
    """The client lost its connection to the Dask scheduler during a job.

    Dask cancels every future of a client whose connection drops, so the
    job's tasks and results are gone: run it again once the scheduler is
    back. Whatever form Dask gave the loss (a closed comm, a closed client,
    cancelled futures, a refused connection), the job raises this."""

    def __init__(self, address=None):
        self.address = address
        where = f" at {address}" if address else ""
        # Dask's own reason for the futures it cancels, for callers that look for it.
        super().__init__(f"lost the connection to the scheduler{where}; the job's tasks were "
                         f"cancelled (scheduler-connection-lost)")

    def __reduce__(self):
        return type(self), (self.address,)


def connection_lost(client, error):
    """Whether ``error``, raised while ``client`` ran a job, means that its
    connection to the scheduler is gone. A task's own error (an unreadable
    file on a worker, say) is not, while the client is still connected."""
    if client is None or not isinstance(error, Exception):
        return False
    if isinstance(error, SchedulerConnectionLost):
        return True
    if getattr(error, "reason", None) == "scheduler-connection-lost" or \
            "scheduler-connection-lost" in str(error):
        return True  # futures cancelled when the connection dropped
    try:
        from distributed.comm import CommClosedError
        from distributed import client as client_module
    except ImportError:
        return False
    closed = (CommClosedError,) + tuple(
        kind for kind in (getattr(client_module, "ClosedClientError", None),) if kind)
    if isinstance(error, closed):
        return True
    # What a client that is reconnecting or closed raises besides: refused or
    # timed-out connections, a closed connection pool or event loop, futures
    # cancelled with no reason, a job that never hears back, and the bare
    # Exception of older clients asked to send once closed.
    return not _connected(client) and (type(error) is Exception or isinstance(
        error, (OSError, RuntimeError, TimeoutError, asyncio.CancelledError,
                concurrent.futures.CancelledError)))


def _connected(client):
    return getattr(client, "status", "running") == "running"


def _address(client):
    try:
        return client.scheduler.address
    except AttributeError:  # closed already, or not a distributed.Client
        return None


class Blocks:
    """One list of documents cut into blocks; the graph refers to each by key."""

    def __init__(self, count, tile, delayeds):
        self.count = count
        self.bounds = list(range(0, count, tile)) + [count]
        self.delayeds = delayeds

    def __len__(self):
        return len(self.delayeds)

    def __iter__(self):
        return iter(range(len(self)))

    def start(self, a):
        return self.bounds[a]

    def stop(self, a):
        return self.bounds[a + 1]

    def size(self, a):
        return self.bounds[a + 1] - self.bounds[a]

    def handle(self, a):
        return self.delayeds[a]

    def chunks(self):
        return tuple(self.size(a) for a in self)


class Job:
    """A run of tasks on the cluster (or on Dask's local scheduler without a
    client): named by a token of its own, counted for progress, bounded by
    the timeout, and cancelled by any exception, Ctrl-C or one from progress.

    ``threads``: native threads per task (None: each worker's free ones).
    """

    from_paths = False
    keep = False

    def __init__(self, client, *, workers=None, progress=None, timeout=None):
        # Counted as the in-process jobs count: the same callback(done, total).
        self.progress = JobProgress(progress, 0)
        self.timeout = job_timeout(timeout)
        self.token = uuid.uuid4().hex[:16]
        self.threads = _native_threads(workers)
        self.client = _client(client)
        self.address = None if self.client is None else _address(self.client)
        self._futures = []
        self._block_futures = []

    def key(self, *parts):
        """A key of this job's graph: unique per job, so that two jobs never share a task."""
        return "-".join(["vendrask", *map(str, parts), self.token])

    def _place(self, docs, tile, max_bytes, side):
        """Sends each block to the cluster once; the graph holds only its key."""
        blocks = [docs[at:at + tile] for at in range(0, len(docs), tile)]
        if self.client is None:
            # Dask's local schedulers share this process's memory: nothing to send.
            delayeds = [dask.delayed(block, traverse=False) for block in blocks]
        else:
            # Each block is the argument of a task of its own, which the
            # scheduler keeps: workers fetch the block from whichever peer
            # holds it, and when the last holder dies the scheduler runs the
            # task again elsewhere. Scattered data has no such task: the
            # memory manager trims broadcast copies to one, whose loss
            # cancelled the job, and a broadcast that loses a worker hangs.
            futures = []
            largest = max((sum(len(doc) for doc in block if doc is not None) for block in blocks),
                          default=0)
            with sending(largest):  # sent once, on purpose
                for a, block in enumerate(blocks):
                    futures.append(self.client.submit(
                        _tasks.block, block, key=self.key("block", side, a), pure=False))
            self._futures.extend(futures)
            self._block_futures.extend(futures)
            delayeds = [dask.delayed(future) for future in futures]
        return Blocks(len(docs), tile, delayeds)

    # ------------------------------------------------------------ running

    def run(self, tiles, finals, store):
        """Runs the tasks and calls ``store(finals[task], result)`` as each final
        one arrives. ``tiles`` maps the tile tasks to their work, for progress.
        Any exception here, Ctrl-C or one from progress, cancels the job."""
        total = sum(tiles.values())
        self.progress.grow(total)
        progress = self.progress.batch(total)
        if progress is not None and total:
            progress(0, total)
        if self.client is None:
            try:
                results = _local_run(tiles, list(finals), total, progress)
            except BaseException:
                _tasks.CANCELLED.add(self.token)
                raise
            for task, result in zip(finals, results):
                store(finals[task], result)
        else:
            self._distributed_run(tiles, finals, store, total, progress)
        self.progress.advance(total)
        self.progress.finish()

    def _distributed_run(self, tiles, finals, store, total, progress):
        watched = [t for t in tiles if t not in finals] if progress is not None else []
        futures = self.client.compute(watched + list(finals))
        self._futures.extend(futures)
        by_key = {f.key: f for f in futures}
        what = {by_key[t.key]: finals[t] for t in finals}
        work = {by_key[t.key]: tiles[t] for t in tiles if t.key in by_key}
        done = 0
        try:
            for future in self._as_completed(futures):
                if future in what:
                    store(what.pop(future), self._result(future))
                elif future.status == "error":
                    future.result()
                future.release()
                if progress is not None and future in work:
                    done += work[future]
                    progress(done, total)
        except BaseException:
            self.release()
            raise

    def _as_completed(self, futures):
        """The futures as they finish, like ``distributed.as_completed``, but
        raising TimeoutError once ``timeout`` seconds go by in which none
        finishes and no task of the job runs anywhere."""
        from distributed import as_completed
        pending = as_completed(futures, loop=self.client.loop)
        heard = looked = time.monotonic()
        pause = 0.002
        while not pending.is_empty():
            batch = pending.next_batch(block=False)
            if batch:
                heard, pause = time.monotonic(), 0.002
                yield from batch
                continue
            now = time.monotonic()
            if now - looked >= min(_POLL, self.timeout / 4):
                looked = now
                if self._running():
                    heard = now
            if now - heard > self.timeout:
                raise TimeoutError(f"{self._stage()} timed out: no task of the job ran or "
                                   f"finished for {_seconds(self.timeout)}")
            time.sleep(pause)
            pause = min(0.1, 2 * pause)  # at once for short tasks, ten looks a second later

    def _running(self):
        """Whether a worker is running (or about to run) a task of this job."""
        if not _connected(self.client):
            # Dask cancelled the job's futures when the connection dropped;
            # asking a scheduler that is gone would wait for its timeout.
            raise SchedulerConnectionLost(self.address)
        return any(self.token in str(key) for keys in self.client.processing().values()
                   for key in keys)

    def _stage(self):
        """What the job waits for: its blocks, or the tasks that use them."""
        if any(f.status == "pending" for f in self._block_futures):
            return ("reading the documents on the workers" if self.from_paths
                    else "placing the documents on the cluster")
        return "running the job's tasks"

    def _result(self, future):
        """A finished task's result, fetched within the timeout (the fetch
        waits for the task to run again if its worker died meanwhile)."""
        try:
            return future.result(timeout=None if math.isinf(self.timeout) else self.timeout)
        except TimeoutError:
            if future.status == "error":
                raise
            raise TimeoutError(f"fetching a result of the job timed out after "
                               f"{_seconds(self.timeout)}") from None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        # A lazy result holds the blocks; a failure before it exists does not.
        if not self.keep or kind is not None:
            self.release()
        self.progress.close()
        self.raise_lost(value)

    def raise_lost(self, error):
        """Raises SchedulerConnectionLost in place of ``error`` if that is what it means."""
        if error is not None and not isinstance(error, SchedulerConnectionLost) and \
                connection_lost(self.client, error):
            raise SchedulerConnectionLost(self.address) from error

    def release(self):
        """Cancels whatever of the job is still held or running on the cluster."""
        futures, self._futures = self._futures, []
        self._cancel(futures)

    def _cancel(self, futures):
        """Lets go of ``futures``: the scheduler forgets the tasks that no one
        else wants, and tells the workers to stop those running. Released, not
        Client.cancel: cancelling a block with the tiles that use it in one
        call trips an assertion in the scheduler, which then drops the
        client's connection and with it every future the client holds (other
        jobs' and lazy results' too)."""
        for future in futures:
            try:
                future.release()
            except Exception:  # a client closed meanwhile: nothing is held any more
                pass


class ClusterJob(Job):
    """The documents of one call, checked and held by the cluster, and the run
    of its tasks.

    ``square``: both sides are one list (the same strings in the same order),
    so that only the tiles on and above the diagonal run, each serving its
    mirror too. ``keep``: the result is lazy and holds the blocks itself;
    otherwise they go when the job ends.
    """

    def __init__(self, client, ts, ss, names, *, direction, errors, max_bytes, tile, from_paths,
                 workers, progress=None, keep=False, timeout=None):
        errors = _checks.errors(errors)
        tile = None if tile is None else _checks.positive("tile", tile)
        max_bytes = _checks.max_bytes(max_bytes)
        super().__init__(client, workers=workers, progress=progress, timeout=timeout)
        self.from_paths = from_paths
        self.names = names
        self.options = _tasks.TaskOptions(direction, errors, tuple(names), self.threads,
                                          self.token)
        self.keep = keep
        if from_paths:
            t = _paths(ts, names[0])
            s = t if ss is None else _paths(ss, names[1])
            self.square = ss is None or t == s
        else:
            missing, cut = errors == "nan", ([], [])
            t = documents(ts, names[0], max_bytes, missing, cut[0])
            s = t if ss is None else documents(ss, names[1], max_bytes, missing, cut[1])
            corpus = Corpus(max_bytes)
            ids_t = corpus.add(t)
            ids_s = ids_t if ss is None else corpus.add(s)
            self.square = ss is None or np.array_equal(ids_t, ids_s)
            # The over-limit check (errors="raise"), or the warning of what
            # the job cuts and leaves NaN, as in-process.
            plan = Plan(corpus, ids_t, None if ss is None else ids_s, errors=errors, names=names)
            sides = [(names[0], ids_t)] if ss is None else [(names[0], ids_t), (names[1], ids_s)]
            if not _UNREPORTED.get():
                report_plan(plan, sides, cut, stacklevel=4)
            del corpus, plan
        # Paths give no sizes before reading: assume small documents, the
        # case that needs the largest tiles.
        sizes = [len(d) for d in t + ([] if ss is None else s) if d is not None] if not from_paths \
            else []
        mean_bytes = sum(sizes) / len(sizes) if sizes else 100
        place = self._read if from_paths else self._place
        try:
            if tile is None:
                tile = default_tile(max(len(t), len(s)), _thread_count(self.client), mean_bytes)
            self.rows = place(t, tile, max_bytes, "rows")
            self.cols = self.rows if self.square else place(s, tile, max_bytes, "cols")
            if from_paths and errors == "raise":
                self._refuse_read()
        except BaseException as error:
            self.release()
            self.raise_lost(error)
            raise

    # ------------------------------------------------------------ placing the blocks

    def _read(self, paths, tile, max_bytes, side):
        """Reads each block's files on a worker, once; a lost block is read again."""
        reads = [dask.delayed(_tasks.read_block, pure=False)(
            paths[at:at + tile], max_bytes, dask_key_name=self.key("read", side, at // tile))
            for at in range(0, len(paths), tile)]
        if self.client is None:
            delayeds = [dask.delayed(block, traverse=False) for block in dask.compute(*reads)]
        else:
            futures = self.client.compute(reads)
            self._futures.extend(futures)
            self._block_futures.extend(futures)
            delayeds = [dask.delayed(future) for future in futures]
        return Blocks(len(paths), tile, delayeds)

    def _refuse_read(self):
        """The joint size check from lengths and digests only, before any compression."""
        sides = [self.rows] if self.square else [self.rows, self.cols]
        tasks = [[dask.delayed(_tasks.fingerprint, pure=False)(d) for d in side.delayeds]
                 for side in sides]
        found = self._gather(tasks)
        digests = {}
        ids, lengths = [], []
        for side in found:
            side_ids = []
            for block_lengths, block_digests in side:
                for length, digest in zip(block_lengths.tolist(), block_digests):
                    if digest not in digests:
                        digests[digest] = len(digests)
                        lengths.append(length)
                    side_ids.append(digests[digest])
            ids.append(np.array(side_ids, dtype=np.int64))
        refuse_over_limit(ids[0], ids[-1], np.array(lengths, dtype=np.int64), self.names)

    def _gather(self, tasks):
        if self.client is None:
            return [list(dask.compute(*side)) for side in tasks]
        futures = [self.client.compute(side) for side in tasks]
        try:
            for _ in self._as_completed([f for side in futures for f in side]):
                pass
            return [[self._result(f) for f in side] for side in futures]
        finally:
            self._cancel([f for side in futures for f in side])

    # ------------------------------------------------------------ naming the tasks

    def handles(self):
        return self.rows.delayeds + ([] if self.square else self.cols.delayeds)

    def tiles(self):
        """(a, b) for every tile; for one list, only those on and above the diagonal."""
        for a in self.rows:
            for b in (range(a, len(self.cols)) if self.square else self.cols):
                yield a, b

    def tile_args(self, a, b, mirror=False):
        """A tile task's arguments before its options: the row block, the
        column block (None on the diagonal of one list, which goes against
        itself), the blocks' starts, and whether to mirror it (``mirror``:
        the caller wants the columns' cells of a tile of one list)."""
        diagonal = self.square and a == b
        cols = None if diagonal else self.cols.handle(b)
        return (self.rows.handle(a), cols, self.rows.start(a), self.cols.start(b),
                bool(mirror and self.square and not diagonal))

    def tile_work(self, a, b):
        """The cross compressions of a tile, the unit of progress."""
        return tile_work(self.rows.size(a), self.cols.size(b), diagonal=self.square and a == b)

    def merge_tree(self, parts, reducer, a):
        """The top-k lists of row block ``a`` from ``parts`` ((tile task,
        which part) each), merged on the workers TREE_FAN_IN at a time until
        one is left."""
        start, stop = self.rows.start(a), self.rows.stop(a)
        level = 0
        while level == 0 or len(parts) > 1:
            parts = [(dask.delayed(_tasks.merge_top_k, pure=False)(
                reducer, start, stop, parts[at:at + TREE_FAN_IN],
                dask_key_name=self.key("nearest-merge", a, level, at)), None)
                for at in range(0, len(parts), TREE_FAN_IN)]
            level += 1
        return parts[0][0]


@contextlib.contextmanager
def unreported():
    """A context whose jobs warn of no document (see _UNREPORTED)."""
    token = _UNREPORTED.set(True)
    try:
        yield
    finally:
        _UNREPORTED.reset(token)


def sending(nbytes):
    """A context in which a graph carrying ``nbytes`` of documents on
    purpose is sent without Dask's warning of a large graph."""
    threshold = "distributed.admin.large-graph-warning-threshold"
    return dask.config.set({threshold: max(parse_bytes(dask.config.get(threshold)), 2 * nbytes)})


def _local_run(tiles, finals, total, progress):
    """Runs on Dask's default scheduler, counting tiles as they finish."""
    if progress is None:
        return dask.compute(*finals)
    from dask.callbacks import Callback
    work = {t.key: w for t, w in tiles.items()}
    done = [0]

    def posttask(key, result, dsk, state, worker_id):
        if key in work:
            done[0] += work[key]
            progress(done[0], total)
    with Callback(posttask=posttask):
        return dask.compute(*finals)


def job_timeout(timeout):
    """Seconds a job may go without news from the cluster (inf: no limit).
    None takes the Dask config ``vendrask.dask.timeout`` (null there: no
    limit); a number is seconds, a string a Dask time such as "10 minutes"."""
    if timeout is None:
        timeout = dask.config.get(TIMEOUT_CONFIG, DEFAULT_TIMEOUT)
        if timeout is None:
            return math.inf
    seconds = None
    if isinstance(timeout, str):
        try:
            seconds = parse_timedelta(timeout)
        except (KeyError, ValueError):
            pass
    elif isinstance(timeout, (int, float)) and not isinstance(timeout, bool):
        seconds = float(timeout)
    if seconds is None or not seconds > 0:
        raise ValueError(f"timeout must be a positive number of seconds, a time such as "
                         f"'10 minutes', or None, not {timeout!r}")
    return float(seconds)


def _seconds(seconds):
    return f"{seconds:g} s"


def _native_threads(workers):
    """Native threads per task: None (and -1) leave it to each worker, which
    knows its own threads; anything else is checked as in-process."""
    if workers is None:
        return None
    if not isinstance(workers, bool):
        try:
            if operator.index(workers) == -1:
                return None
        except TypeError:
            pass  # refused below with the in-process message
    return _checks.worker_count(workers)


def _client(client):
    if client is not None:
        if not all(hasattr(client, name) for name in ("scatter", "compute", "nthreads")):
            raise TypeError(f"client must be a distributed.Client or None, "
                            f"not {type(client).__name__}")
        return client
    try:
        from distributed import default_client
        return default_client()
    except (ImportError, ValueError):
        return None


def _thread_count(client):
    if client is None:
        return os.cpu_count() or 1
    return max(1, sum(client.nthreads().values()))


def _paths(paths, name):
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a list of paths, not a single {type(paths).__name__}; "
                        f"wrap it in a list")
    out = []
    for i, path in enumerate(paths):
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"{name}[{i}] must be a path, not {type(path).__name__}")
        out.append(os.fspath(path))
    return out
