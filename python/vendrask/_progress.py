"""A job's progress: the native batches' counts mapped onto one count for the job."""
import time

from . import _checks

# Seconds between progress calls from work that runs in Python (assembling a
# dense result), so that a callback can stop it as quickly as a native batch.
POLL_INTERVAL = 0.1


def tqdm_bar(total, unit, notebook=True, **options):
    """A tqdm bar of ``total`` ``unit``s: the one place the package makes one,
    for ``progress=True`` (``Bar``) and for the command's bar. ``notebook``:
    tqdm.auto's, so that a notebook gets a widget; the command, which only
    ever draws on a terminal, takes plain tqdm."""
    if notebook:
        from tqdm.auto import tqdm
    else:
        from tqdm import tqdm
    return tqdm(total=total, unit=unit, unit_scale=True, dynamic_ncols=True, **options)


class Bar:
    """``progress=True``: a tqdm bar, made at the first report."""

    def __init__(self):
        self.bar = None

    def __call__(self, done, total):
        if self.bar is None:
            self.bar = tqdm_bar(total, "compression")
        if total != self.bar.total:  # a job that learns its size as it goes
            self.bar.total = total
        self.bar.update(done - self.bar.n)

    def close(self):
        if self.bar is not None:
            self.bar.close()


class JobProgress:
    """Counts a job's compressions and reports them as ``callback(done, total)``.

    ``total`` is the work known so far: a job that learns its size as it
    goes raises it with ``grow()`` before each batch. ``estimate`` is what
    such a job expects to do in all. What the callback sees never goes back:
    its total is only ever raised, ``done / total`` never falls, and
    ``done`` reaches ``total`` only at ``finish()``. While the work stays
    within the larger of the two, the callback sees the count itself; past
    it, each step takes the same share of what is left of the bar, which
    slows down but never stops or fills up before the end. The in-process
    API and vendrask.dask (whose jobs count their tiles through one) report
    alike.
    """

    def __init__(self, callback, total, estimate=0):
        callback = _checks.progress(callback)
        self.callback = Bar() if callback is True else callback
        self.total, self.done = int(total), 0
        self.estimate = int(estimate)
        self._at = 0.0  # the fraction shown, from 0 to 1
        self._counted = 0  # the count it was last moved by
        self._shown = (0, 0)  # the last (done, total) shown
        self._last = time.monotonic()

    def grow(self, count):
        """``count`` more compressions found to do: a job that learns its
        size as it goes says so before it does them."""
        if count < 0:
            raise ValueError(f"a job's work only grows: {count} compressions")
        self.total += int(count)

    def batch(self, count):
        """The callback for the native core's next batch of ``count`` probes."""
        if self.callback is None:
            return None
        base = self.done

        def report(done, _):
            self._last = time.monotonic()
            self._count(base + done)
        return report

    def advance(self, count):
        self.done += count

    def poll(self):
        """Calls back now and then from Python work with nothing to count, so
        that the callback (and Ctrl-C) can stop it."""
        if self.callback is not None and time.monotonic() - self._last >= POLL_INTERVAL:
            self._last = time.monotonic()
            self._count(self.done)

    def rest(self):
        """A ``progress(done, total)`` callback for another job that does the
        rest of this one (an exact search when a graph's would cost more):
        its fraction fills what is left of this job's bar. None without a
        callback."""
        if self.callback is None:
            return None
        start = self._at

        def report(done, total):
            part = 1.0 if total <= 0 and done >= total else done / max(total, 1)
            self._move(start + (1.0 - start) * min(part, 1.0))
        return report

    def finish(self):
        if self.callback is not None:
            total = max(self._shown[1], self.total, self.estimate)
            self._at, self._shown = 1.0, (total, total)
            self.callback(total, total)

    def _count(self, done):
        """Shows ``done`` compressions of the job."""
        known = max(self.total, self.estimate)
        step, self._counted = max(0, done - self._counted), max(self._counted, done)
        if known and done / known > self._at:
            self._move(done / known, (done, known))
        elif known:
            # Past the estimate: a step takes its share of the rest of the bar.
            self._move(self._at + (1.0 - self._at) * min(1.0, step / known))
        else:
            self._move(0.0)

    def _move(self, at, count=None):
        """Shows the fraction ``at`` of the job (``count``: as done of
        known, exactly), or what was shown if that is more."""
        self._at = max(self._at, min(at, 1.0))
        shown, of = self._shown
        total = max(of, self.total, self.estimate, 1)
        # Where the last report was, on this total (rounded up, so that a
        # larger total never shows a smaller fraction)...
        least = -(-shown * total // of) if of else 0
        reached = int(self._at * total) if count is None else count[0] * total // count[1]
        # ...and never the whole before finish().
        done = min(total - 1, max(least, reached))
        self._shown = (done, total)
        self.callback(done, total)

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
