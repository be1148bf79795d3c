"""The plan of a job: which pairs of documents get scored, and in which tiles.

Every consumer (the in-process functions, vendrask.dask) runs its job through
a Plan: the distinct strings of each side, the over-limit check, the sizes to
compute (only for strings that some different string fits with) and the
tiles. For one list against itself a tile off the diagonal comes with its
mirror, so that each cross size is compressed once. A tile's measures come
out as normalised cells: blocks of final scores over (row places, column
places), each with the positions its places stand for, so that reducers never
see diagonals, mirrors or directions.
"""
import collections

import numpy as np

from . import JOINT_SIZE_LIMIT, JointSizeError
from ._progress import JobProgress

# Distinct documents per side of a tile: a tile's batch keeps both cores busy
# for a long while compared with the numpy work around it, and its temporary
# arrays stay at a few MiB.
DEFAULT_TILE = 256

# What a cell holds for rows t and columns s: measure(t, s) ("forward"),
# measure(s, t) ("backward"), or both combined.
DIRECTIONS = ("forward", "backward", "mean", "min", "max")


def score(forward, backward, direction):
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
        taken = np.minimum(self.counts, most)
        place = np.repeat(np.arange(len(self.counts)), taken)
        rank = np.arange(taken.sum()) - np.repeat(np.cumsum(taken) - taken, taken)
        return self.positions[self.starts[place] + rank], place

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
    distinct string. ``distinct`` are the list's distinct ids in the order of
    their places (rising id); ``index[p]`` is the place of position p."""

    def __init__(self, ids, offset=0):
        self.size, self.offset = len(ids), offset
        # Without repeats and in rising order, places are positions.
        self.plain = bool(np.all(ids[1:] > ids[:-1]))
        if self.plain:
            self.distinct, self.index = ids, np.arange(self.size)
            self.counts = np.ones(self.size, dtype=np.int64)
            self.starts, self.order = np.arange(self.size + 1), self.index
            return
        self.distinct, self.index = np.unique(ids, return_inverse=True)
        self.index = self.index.reshape(-1)
        self.counts = np.bincount(self.index, minlength=len(self.distinct))
        self.starts = np.concatenate([[0], np.cumsum(self.counts)])
        self.order = np.argsort(self.index, kind="stable")

    def __len__(self):
        return len(self.distinct)

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

Tile = collections.namedtuple("Tile", "r0 r1 c0 c1")


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
        rows, cols = self.rows.distinct, self.cols.distinct
        in_cols = np.zeros(len(lengths), dtype=bool)
        in_cols[cols] = True
        row_partners = partner_counts(rows, cols, lengths, in_cols)
        paired_rows = rows[row_partners > 0]
        if self.square:
            self.alone = self.self_ = paired_rows
        else:
            in_rows = np.zeros(len(lengths), dtype=bool)
            in_rows[rows] = True
            paired_cols = cols[partner_counts(cols, rows, lengths, in_rows) > 0]
            self.alone = np.union1d(paired_cols, paired_rows) if self.both_ways else paired_cols
            self.self_ = np.union1d(paired_rows, paired_cols)
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
            xs, ys = side.distinct, other.distinct
            ys = ys[~missing[ys]]
            in_ys = np.zeros(len(lengths), dtype=bool)
            in_ys[ys] = True
            others = len(ys) - in_ys[xs]
            bad = (partner_counts(xs, ys, lengths, in_ys) < others) & ~missing[xs]
            return np.flatnonzero(bad[side.index]) + side.offset
        rows = positions(self.rows, self.cols)
        return rows, rows if self.square else positions(self.cols, self.rows)

    @property
    def work(self):
        """Compressions at most: the unknown sizes count as if none were known."""
        return len(self.alone) + len(self.self_) + self.cross

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
        self._failed(self.corpus.compute_sizes(self.alone, self.self_, workers, progress))

    def cells(self, tile, workers=1, progress=None):
        """The Cells of one tile: the block itself and, when mirrored and off
        the diagonal, its mirror."""
        diagonal = self.square and tile.r0 == tile.c0
        rows = self.rows.distinct[tile.r0:tile.r1]
        cols = self.cols.distinct[tile.c0:tile.c1]
        forward, backward, failure = self.corpus.tile(
            rows, cols, diagonal=diagonal, both_ways=self.both_ways, workers=workers,
            progress=progress)
        self._failed(failure)
        row_span, col_span = self.rows.span(tile.r0, tile.r1), self.cols.span(tile.c0, tile.c1)
        out = [Cells(row_span, col_span, score(forward, backward, self.direction))]
        if self.mirror and not diagonal:
            out.append(Cells(col_span, row_span, score(backward.T, forward.T, self.direction)))
        return out

    def run(self, reducer, workers=1, progress=None):
        """The reducer's result over every tile, each reduced before the next
        is computed. ``progress`` is a callable or None."""
        with JobProgress(progress, self.work) as progress:
            reducer.poll = progress.poll
            self.compute_sizes(workers, progress)
            state = reducer.start()
            for tile in self.tiles():
                state = reducer.combine(state, reducer.chunk(self.cells(tile, workers, progress)))
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


def refuse_over_limit(row_ids, col_ids, lengths, names=("ts", "ss"), offsets=(0, 0)):
    """Raises JointSizeError for the first pair (in row-major order) of
    different strings over the joint size limit, at positions counted from
    the offsets and named by ``names``."""
    over = first_over_limit(row_ids, col_ids, lengths)
    if over is not None:
        i, j = over
        raise JointSizeError(i + offsets[0], j + offsets[1], int(lengths[row_ids[i]]),
                             int(lengths[col_ids[j]]), names)


def partner_counts(xs, ys, lengths, ys_mask):
    """For each distinct id of ``xs``: how many distinct ids of ``ys`` other
    than itself fit with it within the joint size limit. ``ys_mask[id]``
    tells whether ``id`` is among ``ys``."""
    room = JOINT_SIZE_LIMIT - lengths[xs]
    fits = np.searchsorted(np.sort(lengths[ys]), room, side="right")
    fits -= ys_mask[xs] & (lengths[xs] <= room)
    return fits


def first_over_limit(row_ids, col_ids, lengths):
    """The first (i, j) in row-major order whose strings differ and are longer
    together than the joint size limit, or None. O(n log n) however many
    equal documents there are."""
    if not len(row_ids) or not len(col_ids):
        return None
    if lengths[row_ids].max() + lengths[col_ids].max() <= JOINT_SIZE_LIMIT:
        return None
    cols, first = np.unique(col_ids, return_index=True)
    by_length = np.argsort(-lengths[cols], kind="stable")
    cols, first = cols[by_length], first[by_length]
    # The two smallest first positions among the longest q columns, for every
    # q: a row string takes the smallest unless it is that column itself.
    best = np.empty(len(cols), dtype=np.int64)
    best_id = np.empty(len(cols), dtype=np.int64)
    second = np.empty(len(cols), dtype=np.int64)
    b1 = b2 = np.iinfo(np.int64).max
    id1 = -1
    for q, (col, at) in enumerate(zip(cols.tolist(), first.tolist())):
        if at < b1:
            b1, b2, id1 = at, b1, col
        elif at < b2:
            b2 = at
        best[q], best_id[q], second[q] = b1, id1, b2
    rows, row_first = np.unique(row_ids, return_index=True)
    longer = np.searchsorted(-lengths[cols], -(JOINT_SIZE_LIMIT - lengths[rows]), side="left")
    has = longer > 0
    q = np.maximum(longer - 1, 0)
    j = np.where(best_id[q] == rows, second[q], best[q])
    has &= j != np.iinfo(np.int64).max
    if not has.any():
        return None
    k = np.argmin(np.where(has, row_first, np.iinfo(np.int64).max))
    return int(row_first[k]), int(j[k])
