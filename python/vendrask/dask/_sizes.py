"""vendrask.Index on a cluster: its batches of sizes, and its exact searches.

A batch of sizes is ``Corpus.run_batch`` run as tasks: the batch's strings go to
the cluster once, in blocks that the scheduler keeps (as a job's documents
do), and the probes are cut into shares of a fraction of a second of work,
each a task that depends on the blocks its probes name. A block or a share
lost with its worker is run again elsewhere.
"""
import dask
import numpy as np

from . import _tasks
from ._cluster import Job, _client, _thread_count, job_timeout, sending, unreported
from ._tiles import default_tile, probes_per_task


class ClusterSizes:
    """Called as ``Corpus.run_batch(strings, dictionaries, data, workers,
    progress)``, it gives the same ``(sizes, failure)`` from the cluster of
    ``client``; every task takes its worker's free threads, whatever
    ``workers`` says. ``progress`` (a JobProgress) counts each share as it
    finishes; Ctrl-C or an exception from it cancels the batch's tasks, and
    a batch with nothing running or finishing for ``timeout`` (as for
    vendrask.dask's functions) raises TimeoutError.
    """

    def __init__(self, client, timeout=None):
        self.client = _client(client)  # a wrong client is refused here, not mid-build
        self.timeout = job_timeout(timeout)

    def __call__(self, strings, dictionaries, data, workers, progress):
        out = np.empty(len(data), dtype=np.int32)
        failures = {}
        if len(data):
            job = Job(self.client, progress=progress.batch(len(data)), timeout=self.timeout)
            with job:
                options = _tasks.TaskOptions(None, None, (), job.threads, job.token)
                threads = _thread_count(job.client)
                lengths = np.fromiter(map(len, strings), dtype=np.int64, count=len(strings))
                tile = default_tile(len(strings), threads, lengths.mean())
                blocks = job._place(list(strings), tile, None, "strings")
                per = probes_per_task(len(data), threads, lengths.mean())
                shares, work = {}, {}
                for at in range(0, len(data), per):
                    needed, dictionaries_at, data_at = _renumbered(
                        np.asarray(dictionaries[at:at + per]), np.asarray(data[at:at + per]),
                        tile)
                    task = dask.delayed(_tasks.sizes, pure=False)(
                        dictionaries_at, data_at, options, *map(blocks.handle, needed),
                        dask_key_name=job.key("sizes", at))
                    shares[task], work[task] = at, len(data_at)

                def store(at, result):
                    sizes, failures[at] = result
                    out[at:at + len(sizes)] = sizes
                with sending(8 * len(data)):  # the probes travel in the graph, on purpose
                    job.run(work, shares, store)
        progress.advance(len(data))
        # The first failure in the batch's order, as one native batch would
        # report one of its failed probes.
        failure = next((failures[at] for at in sorted(failures) if failures[at] is not None),
                       None)
        return out, failure

    def nearest(self, *args, **options):
        """``vendrask.dask.nearest`` on this client, warning of no document."""
        from . import nearest
        with unreported():
            return nearest(*args, errors="nan", client=self.client, timeout=self.timeout,
                           **options)

    def pairs(self, *args, **options):
        """``vendrask.dask.pairs`` on this client, warning of no document."""
        from . import pairs
        with unreported():
            return pairs(*args, errors="nan", client=self.client, timeout=self.timeout,
                         **options)


def _renumbered(dictionaries, data, tile):
    """The blocks of ``tile`` strings that a share's probes name, and the
    probes with each string's place in those blocks taken end to end
    (only the batch's last block may be short, and it comes last)."""
    named = dictionaries >= 0  # -1: no dictionary
    needed = np.unique(np.concatenate([data // tile, dictionaries[named] // tile]))

    def place(ids):
        return (np.searchsorted(needed, ids // tile) * tile + ids % tile).astype(np.int32)
    local = np.full(len(dictionaries), -1, dtype=np.int32)
    local[named] = place(dictionaries[named])
    return needed.tolist(), local, place(data)
