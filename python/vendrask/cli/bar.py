"""The progress bar of the vendrask command (tqdm), counted in scores.

Writing the output is part of the job: on this machine, formatting a score
as text costs about 1/30 of computing it (0.7 us against 20 us for a cross
compression of 1 KB), so each written value counts as that share of a score
and the bar reaches the end only when the last row is out.

The API's progress(done, total) reports place the bar within a stage of the
job (one call). They are taken for what they are worth: a total may grow as
the work learns its size (an index finds out how many pairs it will score
as it goes), and a stage may report done == total before more work comes.
So the bar never moves back, a report closes at most half of what is left
of its stage, and a stage ends only when the command says its call
returned. The bar never shows 100% before close(): the job may still be
saving or writing.
"""
import math
import sys

WRITTEN_PER_SCORE = 30  # values written in the time one score is computed
SHOW_AFTER = 0.5  # seconds: quicker jobs draw no bar
STEPS = 1000  # the scale of a job whose count of scores is not known in advance
MOST_PER_REPORT = 0.5  # of what is left of a stage, at most, moved by one report
SHOWN_BEFORE_THE_END = 0.99  # the furthest the bar goes before close()


class ProgressBar:
    unit = " scores"  # what plan() counts

    def __init__(self, enabled, description):
        if sys.stderr is None:  # started with stderr closed
            enabled = False
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.description = description
        self.bar, self.scores, self.output = None, 0, 0.0
        self.position = 0.0  # in planned scores; the bar shows it cut to a whole number
        self.format = None

    def plan(self, scores, values_written):
        """The job: ``scores`` computed, then ``values_written`` written."""
        self.scores = scores
        self.output = values_written / WRITTEN_PER_SCORE
        total = max(1, round(scores + self.output))
        if self.bar is not None:
            self.bar.total = total
            self._show()
        elif self.enabled:
            from .._progress import tqdm_bar
            self.bar = tqdm_bar(total, self.unit, notebook=False, desc=self.description,
                                delay=SHOW_AFTER, leave=False, file=sys.stderr,
                                bar_format=self.format)

    def plan_share(self, what):
        """A job whose scores are counted only as it goes (an index's): the
        bar shows how far it is, in per cent, and ``what`` it works on
        ("1200 documents") in place of counts that would be made up."""
        shown = what.replace("{", "{{").replace("}", "}}")
        self.format = f"{{desc}}: {{percentage:3.0f}}%|{{bar}}| {shown} [{{elapsed}}<{{remaining}}]"
        self.plan(STEPS, 0)

    def written(self, values):
        if self.bar is not None and self.output:
            self._move_to(self.position + values / WRITTEN_PER_SCORE)

    def reached(self, fraction):
        """The calls up to ``fraction`` of the planned scores have returned."""
        if self.bar is not None:
            self._move_to(self.scores * fraction)

    def callback(self, start=0.0, share=1.0):
        """The API's progress callback for one call, which does the share
        ``share`` of the planned scores from ``start`` on (as fractions);
        None when no bar is drawn. Call reached(start + share) once the call
        returns."""
        if self.bar is None:
            return None
        return _Stage(self, start, share)

    def _move_to(self, position):
        if position > self.position:
            self.position = position
        self._show()

    def _show(self):
        last = math.floor(self.bar.total * SHOWN_BEFORE_THE_END)
        whole = min(int(self.position), last)
        if whole > self.bar.n:
            self.bar.update(whole - self.bar.n)
        else:
            self.bar.refresh()

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None


class _Stage:
    """progress(done, total) of one call, shown as the share of the bar
    from ``start`` to ``start + share``. ``fraction`` (of the stage) never
    falls and never reaches 1: the call's return ends the stage.

    While a report's done / total is not below what is shown, the bar
    follows it. When the total grows and that ratio falls behind, the work
    done since the last report moves the bar by its part of the work then
    known to be left, over what is left of the stage; so a growing total
    slows the bar down instead of moving it back.
    """

    def __init__(self, bar, start, share):
        self.bar, self.start, self.share = bar, start, share
        self.fraction, self.last = 0.0, None

    def __call__(self, done, total):
        if self.bar.bar is None:  # closed: the command is ending
            return
        try:
            done, total = float(done), float(total)
        except (TypeError, ValueError):
            return
        if not (0 <= done and 0 < total < math.inf):
            return
        done = min(done, total)
        fraction = self.fraction
        target = done / total
        if target < fraction:
            target = fraction
            if self.last is not None:
                before, _ = self.last
                if done > before:
                    target += (1 - fraction) * (done - before) / (total - before)
        left = 1 - fraction
        fraction = min(max(fraction, target), fraction + left * MOST_PER_REPORT)
        self.fraction, self.last = fraction, (done, total)
        self.bar._move_to(self.bar.scores * (self.start + self.share * fraction))
