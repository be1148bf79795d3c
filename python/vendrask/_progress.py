"""A job's progress: the native batches' counts mapped onto one count for the job."""
import time

from . import _checks

# Seconds between progress calls from work that runs in Python (assembling a
# dense result), so that a callback can stop it as quickly as a native batch.
POLL_INTERVAL = 0.1


class Bar:
    """``progress=True``: a tqdm bar (tqdm.auto, so a notebook gets a widget),
    made at the first report."""

    def __init__(self):
        self.bar = None

    def __call__(self, done, total):
        if self.bar is None:
            from tqdm.auto import tqdm
            self.bar = tqdm(total=total, unit="compression", unit_scale=True, dynamic_ncols=True)
        if total != self.bar.total:  # a job that learns its size as it goes
            self.bar.total = total
        self.bar.update(done - self.bar.n)

    def close(self):
        if self.bar is not None:
            self.bar.close()


class JobProgress:
    """Counts a job's compressions and reports them as ``callback(done, total)``.
    A job that learns its size as it goes raises ``total`` before each batch."""

    def __init__(self, callback, total):
        callback = _checks.progress(callback)
        self.callback = Bar() if callback is True else callback
        self.total, self.done = int(total), 0
        self._last = time.monotonic()

    def batch(self, count):
        """The callback for the native core's next batch of ``count`` probes."""
        if self.callback is None:
            return None
        base, callback = self.done, self.callback

        def report(done, _):
            self._last = time.monotonic()
            callback(base + done, self.total)
        return report

    def advance(self, count):
        self.done += count

    def poll(self):
        """Calls back now and then from Python work with nothing to count, so
        that the callback (and Ctrl-C) can stop it."""
        if self.callback is not None and time.monotonic() - self._last >= POLL_INTERVAL:
            self._last = time.monotonic()
            self.callback(self.done, self.total)

    def finish(self):
        if self.callback is not None:
            self.callback(self.total, self.total)

    def close(self):
        """Ends a progress bar, however the job ended."""
        if isinstance(self.callback, Bar):
            self.callback.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def silent():
    return JobProgress(None, 0)
