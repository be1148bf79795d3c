"""The plan of a job: which pairs of documents get scored, and in which tiles.

Every consumer (the in-process functions, vendrask.dask) runs its job through
a Plan: the distinct strings of each side, the over-limit check and the sizes
to compute (only for strings with a partner), both by the rules of _pairs,
and the tiles. For one list against itself a tile off the diagonal comes with its
mirror, so that each cross size is compressed once. A tile's measures come
out as normalised cells: blocks of final scores over (row places, column
places), each with the positions its places stand for, so that reducers never
see diagonals, mirrors or directions.

A planner that scores only some pairs (vendrask.Index) gives its scores as
SparseCells over the same Sides, so that the same reducers turn them into
positions, ranks and pairs.
"""
import collections
import functools

import numpy as np

from ._pairs import refuse_over_limit, same, unfit, with_partners
from ._progress import JobProgress

# Distinct documents per side of a tile: a tile's batch keeps both cores busy
# for a long while compared with the numpy work around it, and its temporary
# arrays stay at a few MiB.
DEFAULT_TILE = 256

# What a cell holds for rows t and columns s: measure(t, s) ("forward"),
# measure(s, t) ("backward"), or both combined.
DIRECTIONS = ("forward", "backward", "mean", "min", "max")


def combine_directions(forward, backward, direction):
    """The cell values for ``direction`` from both directions of each pair;
    "mean" is (a + b) * 0.5 in float64, and any combination is NaN where
    either direction is."""
    if direction == "forward":
        return forward
    if direction == "backward":
        return backward
    if direction == "mean":
        return (forward + backward) * 0.5
    if direction == "min":
        return np.minimum(forward, backward)
    return np.maximum(forward, backward)


class Span:
    """A run of places of a side. ``positions`` are the list positions of its
    places, grouped by place in rising order; ``place[k]`` is the place (from
    0) of ``positions[k]``; ``counts`` and ``starts`` say where each place's
    positions lie in ``positions``."""

    __slots__ = ("positions", "place", "counts", "starts", "plain")

    def __init__(self, positions, place, counts, starts, plain):
        self.positions, self.place, self.counts = positions, place, counts
        self.starts, self.plain = starts, plain

    def __len__(self):
        return len(self.counts)

    def first(self, most):
        """The first ``most`` positions of each place, and the place of each."""
        if self.plain:
            return self.positions, self.place
        return self.of(np.arange(len(self.counts)), most)

    def of(self, places, most):
        """The first ``most`` positions of each of the places given (a place
        may come more than once), and for each the number of the place it
        came from."""
        if self.plain:
            return self.positions[places], np.arange(len(places))
        taken = np.minimum(self.counts[places], most)
        pair = np.repeat(np.arange(len(places)), taken)
        rank = np.arange(taken.sum()) - np.repeat(np.cumsum(taken) - taken, taken)
        return self.positions[self.starts[places][pair] + rank], pair

    def expand(self, places, other, other_places):
        """Every position pair (i, j) of the place pairs given, and for each
        the number of the place pair it came from."""
        if self.plain and other.plain:
            return self.positions[places], other.positions[other_places], np.arange(len(places))
        n_a, n_b = self.counts[places], other.counts[other_places]
        total = n_a * n_b
        pair = np.repeat(np.arange(len(places)), total)
        k = np.arange(total.sum()) - np.repeat(np.cumsum(total) - total, total)
        i = self.positions[self.starts[places][pair] + k // n_b[pair]]
        j = other.positions[other.starts[other_places][pair] + k % n_b[pair]]
        return i, j, pair


class Side:
    """One list of documents: its positions (from ``offset``) grouped by
    distinct string. ``place_ids`` are the list's distinct ids in the order
    of their places (rising id); ``index[p]`` is the place of position p."""

    def __init__(self, ids, offset=0):
        self.size, self.offset = len(ids), offset
        # Without repeats and in rising order, places are positions.
        self.plain = bool(np.all(ids[1:] > ids[:-1]))
        if self.plain:
            self.place_ids, self.index = ids, np.arange(self.size)
            self.counts = np.ones(self.size, dtype=np.int64)
            self.starts, self.order = np.arange(self.size + 1), self.index
            return
        self.place_ids, self.index = np.unique(ids, return_inverse=True)
        self.index = self.index.reshape(-1)
        self.counts = np.bincount(self.index, minlength=len(self.place_ids))
        self.starts = np.concatenate([[0], np.cumsum(self.counts)])
        self.order = np.argsort(self.index, kind="stable")

    def __len__(self):
        return len(self.place_ids)

    def places_of(self, ids):
        """The place of each of ``ids``, and whether it has one (an id that
        no position of the list holds has none; its place is then 0)."""
        ids = np.asarray(ids)
        n = len(self.place_ids)
        if not n or (self.place_ids[0] == 0 and self.place_ids[-1] == n - 1):
            # Distinct and rising from 0 to n - 1: every id is its place.
            has = (ids >= 0) & (ids < n)
            return np.where(has, ids, 0), has
        at = np.minimum(np.searchsorted(self.place_ids, ids), n - 1)
        return at, self.place_ids[at] == ids

    def span(self, lo, hi):
        """Places [lo, hi) as a Span."""
        if self.plain:
            at = np.arange(lo, hi)
            return Span(at + self.offset, at - lo, self.counts[lo:hi], np.arange(hi - lo + 1), True)
        positions = self.order[self.starts[lo]:self.starts[hi]]
        return Span(positions + self.offset, self.index[positions] - lo, self.counts[lo:hi],
                    self.starts[lo:hi + 1] - self.starts[lo], False)


Cells = collections.namedtuple("Cells", "rows cols values")
Cells.__doc__ = """Final scores of a block: values[a, b] for the a-th place of
the Span rows against the b-th place of the Span cols."""

SparseCells = collections.namedtuple("SparseCells", "rows cols a b values")
SparseCells.__doc__ = """Final scores of some pairs of places: values[k] for
the a[k]-th place of the Span rows against the b[k]-th place of the Span
cols. A reducer gives what it would give for Cells holding these scores and
NaN elsewhere (the pairs never scored)."""

Tile = collections.namedtuple("Tile", "r0 r1 c0 c1")


def listed(rows, cols, t, s, values):
    """SparseCells over the whole of the Sides ``rows`` and ``cols`` from
    the scores ``values`` of the id pairs (t[k], s[k]). An id that no
    position of its side holds has no place there: its pairs are left out."""
    a, has_a = rows.places_of(t)
    b, has_b = cols.places_of(s)
    values = np.asarray(values, dtype=np.float64)
    keep = has_a & has_b
    if not keep.all():
        a, b, values = a[keep], b[keep], values[keep]
    return SparseCells(rows.span(0, len(rows)), cols.span(0, len(cols)), a, b, values)


def same_scores(corpus, ids):
    """Each of ``ids`` scored against itself, as a tile scores the same
    string: 1.0, and NaN for a missing document (it is not even itself)."""
    ids = np.asarray(ids)
    return np.where(same(ids, ids, corpus.missing), 1.0, np.nan)


def reduced(reducer, cells):
    """What ``reducer`` makes of ``cells`` alone, as Plan.run makes it of a tile's."""
    return reducer.aggregate(reducer.combine(reducer.start(), reducer.chunk(cells)))


class Plan:
    """One list of documents against another, or against itself, as tiles.

    ``row_ids`` and ``col_ids`` are corpus ids by position (``col_ids=None``:
    the rows against themselves). ``direction`` is what a cell holds (see
    DIRECTIONS). With ``errors="raise"`` a pair of different documents over
    the joint size limit raises JointSizeError, named by ``names``, before
    any work. Positions in the cells start at the offsets (a Dask task's
    block of a longer list). With ``mirror`` every tile off the diagonal
    also yields its mirror, the cells of the columns against the rows (for
    one list against itself it always does; a Dask task that computes two
    blocks of one list from one tile asks for it).
    """

    def __init__(self, corpus, row_ids, col_ids=None, *, direction="forward", errors="raise",
                 names=("ts", "ss"), tile=DEFAULT_TILE, offsets=(0, 0), mirror=False):
        self.corpus, self.direction, self.errors, self.tile = corpus, direction, errors, tile
        col_list = row_ids if col_ids is None else col_ids
        # The same strings in the same order at the same positions: one list
        # against itself. Two blocks of one list that hold the same strings
        # are still two sides, whose positions differ.
        self.square = col_ids is None or (
            offsets[0] == offsets[1] and np.array_equal(row_ids, col_ids))
        lengths = corpus.lengths
        if errors == "raise":
            refuse_over_limit(row_ids, col_list, lengths, names, offsets)
        self.rows = Side(row_ids, offsets[0])
        self.cols = self.rows if self.square else Side(col_list, offsets[1])
        self.mirror = self.square or mirror
        self.both_ways = self.mirror or direction != "forward"
        rows, cols = self.rows.place_ids, self.cols.place_ids
        # Sizes are computed only for strings with a partner: the ids whose
        # lone size and whose self-primed size the cells need.
        paired_rows, row_partners = with_partners(rows, cols, lengths)
        if self.square:
            self.lone_ids = self.primed_ids = paired_rows
        else:
            paired_cols, _ = with_partners(cols, rows, lengths)
            self.lone_ids = np.union1d(paired_cols, paired_rows) if self.both_ways else paired_cols
            self.primed_ids = np.union1d(paired_rows, paired_cols)
        # Cross compressions: for one list each ordered pair once (an
        # unordered pair twice), otherwise both sizes of every pair.
        self.cross = int(row_partners.sum()) * (1 if self.square else 2)
        self.failure = None

    def unfit(self):
        """The positions, of the rows and of the columns, of documents that
        some different document is over the joint size limit with (their
        pairs are NaN with errors="nan"); missing documents are not counted."""
        lengths, missing = self.corpus.lengths, self.corpus.missing

        def positions(side, other):
            bad = unfit(side.place_ids, other.place_ids, lengths, missing)
            return np.flatnonzero(bad[side.index]) + side.offset
        rows = positions(self.rows, self.cols)
        return rows, rows if self.square else positions(self.cols, self.rows)

    @property
    def work(self):
        """Compressions at most: the unknown sizes count as if none were known."""
        return len(self.lone_ids) + len(self.primed_ids) + self.cross

    def tiles(self):
        """Tile(r0, r1, c0, c1) over places; for one list only those on and
        above the diagonal, whose cells include their mirrors."""
        tile, n_rows, n_cols = self.tile, len(self.rows), len(self.cols)
        for r0 in range(0, n_rows, tile):
            r1 = min(r0 + tile, n_rows)
            for c0 in range(r0 if self.square else 0, n_cols, tile):
                yield Tile(r0, r1, c0, min(c0 + tile, n_cols))

    def tile_work(self, tile):
        """The cross compressions of a tile at most, for progress by tiles."""
        return tile_work(tile.r1 - tile.r0, tile.c1 - tile.c0,
                         diagonal=self.square and tile.r0 == tile.c0)

    def compute_sizes(self, workers=1, progress=None):
        self._failed(self.corpus.compute_sizes(self.lone_ids, self.primed_ids, workers, progress))

    def cells(self, tile, workers=1, progress=None):
        """The Cells of one tile: the block itself and, when mirrored and off
        the diagonal, its mirror."""
        diagonal = self.square and tile.r0 == tile.c0
        rows = self.rows.place_ids[tile.r0:tile.r1]
        cols = self.cols.place_ids[tile.c0:tile.c1]
        forward, backward, failure = self.corpus.tile(
            rows, cols, diagonal=diagonal, both_ways=self.both_ways, workers=workers,
            progress=progress)
        self._failed(failure)
        row_span, col_span = self.rows.span(tile.r0, tile.r1), self.cols.span(tile.c0, tile.c1)
        out = [Cells(row_span, col_span, combine_directions(forward, backward, self.direction))]
        if self.mirror and not diagonal:
            out.append(Cells(col_span, row_span,
                             combine_directions(backward.T, forward.T, self.direction)))
        return out

    def run(self, reducer, workers=1, progress=None):
        """The reducer's result over every tile, each reduced before the next
        is computed. ``progress`` is a callable or None."""
        with JobProgress(progress, self.work) as progress:
            combine = functools.partial(reducer.combine, poll=progress.poll)
            self.compute_sizes(workers, progress)
            state = reducer.start()
            for tile in self.tiles():
                state = combine(state, reducer.chunk(self.cells(tile, workers, progress)))
            progress.finish()
        self.raise_failure()
        return reducer.aggregate(state)

    def raise_failure(self):
        if self.failure is not None and self.errors == "raise":
            raise RuntimeError(self.failure)

    def _failed(self, failure):
        self.failure = self.failure or failure


def tile_work(rows, cols, diagonal=False):
    """The cross compressions of a tile of ``rows`` by ``cols`` at most: on
    the diagonal of one list each ordered pair of different places once,
    elsewhere both directions of every pair."""
    return rows * (rows - 1) if diagonal else 2 * rows * cols
