"""The progress bar of the vendrask command (tqdm), counted in scores.

Writing the output is part of the job: on this machine, formatting a score
as text costs about 1/30 of computing it (0.7 us against 20 us for a cross
compression of 1 KB), so each written value counts as that share of a score
and the bar reaches 100% only when the last row is out.
"""
import sys

WRITTEN_PER_SCORE = 30  # values written in the time one score is computed
SHOW_AFTER = 0.5  # seconds: quicker jobs draw no bar


class ProgressBar:
    unit = " scores"  # what plan() counts

    def __init__(self, enabled, description):
        if sys.stderr is None:  # started with stderr closed
            enabled = False
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.description = description
        self.bar, self.scores, self.output = None, 0, 0.0

    def plan(self, scores, values_written):
        """The job: ``scores`` computed, then ``values_written`` written."""
        self.scores = scores
        self.output = values_written / WRITTEN_PER_SCORE
        if self.bar is not None:
            self.bar.total = max(1, round(scores + self.output))
            self.bar.refresh()
        elif self.enabled:
            from tqdm import tqdm
            self.bar = tqdm(total=max(1, round(scores + self.output)), desc=self.description,
                            unit=self.unit, unit_scale=True, delay=SHOW_AFTER, leave=False,
                            file=sys.stderr, dynamic_ncols=True)

    def computing(self, done, total):
        """The API's progress(done, total) callback, in compressions."""
        if self.bar is not None and total:
            self._move_to(self.scores * done / total)

    def written(self, values):
        if self.bar is not None:
            self._move_to(self.bar.n + values / WRITTEN_PER_SCORE + self._carry)

    _carry = 0.0

    def _move_to(self, position):
        whole = int(position)
        self._carry = position - whole
        if whole > self.bar.n:
            self.bar.update(whole - self.bar.n)

    def callback(self, start=0.0, share=1.0):
        """The API's progress callback; ``start`` and ``share`` place it in a
        job of several calls, as fractions of the planned work."""
        if self.bar is None:
            return None
        if (start, share) == (0.0, 1.0):
            return self.computing

        def part(done, total):
            if self.bar is not None and total:
                self._move_to(self.scores * (start + share * done / total))
        return part

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None
