"""Reducers: what a job makes of its cells, in the shape of a Dask reduction.

``chunk(cells)`` turns one tile's Cells (TopK and Pairs also take
SparseCells, the scores of some pairs only) into a part (a pure function of the
tile: a Dask task runs it on a worker), ``combine(state, part)`` folds a part
into the running state, starting from ``start()``, and ``aggregate(state)``
gives the result. The in-process functions and vendrask.dask run these same
reducers, so both give the same values, order and ties. A reducer holds only
its options, so that it travels to the workers cheaply. ``combine`` takes
``poll``, which long Python work calls now and then: the caller's progress,
so that a callback (or Ctrl-C) can stop it; a Dask merge passes none.
"""
import numpy as np

from . import _pairs
from ._plan import SparseCells, combine_directions, listed, same_scores

# Cells written at once when a dense result is assembled, between polls.
_DENSE_STEP = 1 << 18


def _no_poll():
    pass


class Dense:
    """The full matrix over positions, of shape ``(n_rows, n_cols)``."""

    def __init__(self, n_rows, n_cols, dtype=np.float64):
        self.shape, self.dtype = (n_rows, n_cols), np.dtype(dtype)

    def start(self):
        return np.empty(self.shape, dtype=self.dtype)

    def chunk(self, cells):
        return cells  # kept over places: expanding here would multiply repeats

    def combine(self, out, cells, poll=_no_poll):
        for rows, cols, values in cells:
            if rows.plain and cols.plain:
                r0, c0 = rows.positions[0], cols.positions[0]
                out[r0:r0 + len(rows), c0:c0 + len(cols)] = values
                continue
            i, a, j, b = rows.positions, rows.place, cols.positions, cols.place
            step = max(1, _DENSE_STEP // max(1, len(j)))
            for at in range(0, len(i), step):
                out[i[at:at + step, None], j] = values[a[at:at + step, None], b]
                poll()
        return out

    def aggregate(self, out):
        return out

    def block(self, cells):
        """The one cell of ``cells`` as a dense block over its positions in
        rising order (a Dask array's block)."""
        (rows, cols, values), = cells
        a = rows.place[np.argsort(rows.positions, kind="stable")]
        b = cols.place[np.argsort(cols.positions, kind="stable")]
        return np.ascontiguousarray(values[np.ix_(a, b)], dtype=self.dtype)


class TopK:
    """Each row's k best columns: score descending, ties by the smaller
    index; NaN and scores below the cutoff are never candidates. With
    ``leave_out_own`` (one list against itself) a row never lists its own
    position. ``n_cols``: how many columns there are, if known."""

    def __init__(self, n_rows, k, cutoff=None, leave_out_own=False, n_cols=None):
        self.n_rows, self.k, self.cutoff = n_rows, k, cutoff
        self.leave_out_own = leave_out_own
        self.keep = _pairs.candidates_kept(k, n_cols, leave_out_own)

    def start(self, positions=None):
        """No candidates yet for ``positions`` (all rows by default), in rising order."""
        if positions is None:
            positions = np.arange(self.n_rows)
        return (positions, np.full((len(positions), self.keep), -np.inf),
                np.full((len(positions), self.keep), _pairs.RANKS_LAST, dtype=np.int64))

    def chunk(self, cells):
        """A part for each cell: (row positions, their best scores, their indices)."""
        parts = []
        for cell in cells:
            if isinstance(cell, SparseCells):
                scores, index = self._side_by_side(cell)
            else:
                # The first `keep` positions of each column place are all it can add.
                col_positions, col_place = cell.cols.first(self.keep)
                scores, index = cell.values[:, col_place], col_positions[None, :]
            drop = np.isnan(scores)
            if self.cutoff is not None:
                drop |= scores < self.cutoff
            scores = np.where(drop, -np.inf, scores)
            index = np.where(drop, _pairs.RANKS_LAST, index)
            scores, index = _best(scores, index, self.keep)
            rows = cell.rows
            parts.append((rows.positions, scores[rows.place], index[rows.place]))
        return parts

    def _side_by_side(self, cell):
        """The candidates of each row place of SparseCells in a row of its
        own, as a dense cell's are: each entry's column place brings its
        first `keep` positions; empty slots rank last."""
        positions, entry = cell.cols.of(cell.b, self.keep)
        row, values = cell.a[entry], cell.values[entry]
        n_rows = len(cell.rows)
        counts = np.bincount(row, minlength=n_rows)
        order = np.argsort(row, kind="stable")
        slot = np.arange(len(row)) - np.repeat(np.cumsum(counts) - counts, counts)
        width = max(1, int(counts.max()) if n_rows else 1)
        scores = np.full((n_rows, width), -np.inf)
        index = np.full((n_rows, width), _pairs.RANKS_LAST, dtype=np.int64)
        scores[row[order], slot], index[row[order], slot] = values[order], positions[order]
        return scores, index

    def combine(self, state, parts, poll=_no_poll):
        positions, best_scores, best_index = state
        for part_positions, scores, index in parts:
            at = np.searchsorted(positions, part_positions)
            merged = _best(np.concatenate([best_scores[at], scores], axis=1),
                           np.concatenate([best_index[at], index], axis=1), self.keep)
            best_scores[at], best_index[at] = merged
        return state

    def aggregate(self, state):
        """(scores, indices) of shape (rows, k), short rows padded with NaN and -1."""
        positions, scores, index = state
        if self.leave_out_own:
            scores, index = _pairs.leave_out_own(scores, index, positions)
        return _pairs.padded(scores, index, self.k)


def _best(scores, index, keep):
    """The ``keep`` best of each row, by score descending then index."""
    best = np.lexsort((index, -scores))[:, :keep]
    scores = np.take_along_axis(scores, best, axis=1)
    index = np.take_along_axis(index, best, axis=1)
    if scores.shape[1] < keep:
        pad = ((0, 0), (0, keep - scores.shape[1]))
        scores = np.pad(scores, pad, constant_values=-np.inf)
        index = np.pad(index, pad, constant_values=_pairs.RANKS_LAST)
    return scores, index


class Pairs:
    """Every position pair whose score is at least the threshold, by i then j.

    ``leave_out_own``: a position is never paired with itself (one list
    against itself); ``unordered``: each unordered pair once, as i < j (one
    list with a symmetric score). ``_pairs.listing`` says which a job wants."""

    def __init__(self, threshold, leave_out_own=False, unordered=False):
        self.threshold, self.leave_out_own, self.unordered = threshold, leave_out_own, unordered

    def start(self):
        return []

    def chunk(self, cells):
        """A part for each cell: (i, j, score), not yet in order."""
        parts = []
        for cell in cells:
            # NaN never passes.
            if isinstance(cell, SparseCells):
                a, b, found = cell.a, cell.b, cell.values
                passes = found >= self.threshold
                if not passes.all():  # often all do: the pairs given were screened
                    a, b, found = a[passes], b[passes], found[passes]
            else:
                a, b = np.nonzero(cell.values >= self.threshold)
                found = cell.values[a, b]
            i, j, pair = cell.rows.expand(a, cell.cols, b)
            if not (cell.rows.plain and cell.cols.plain):  # else each place pair is one
                found = found[pair]
            del a, b, pair
            keep = _pairs.kept(i, j, self.leave_out_own, self.unordered)
            if not (isinstance(keep, slice) or keep.all()):
                i, j, found = i[keep], j[keep], found[keep]
            parts.append((i, j, found))
        return parts

    def combine(self, state, parts, poll=_no_poll):
        state.extend(part for part in parts if len(part[0]))
        return state

    def aggregate(self, state):
        if not state:
            return (np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0))
        i, j, found = state[0] if len(state) == 1 else (np.concatenate(p) for p in zip(*state))
        state.clear()
        # Pairs often come in order (a screen's candidates do): no copy to sort them then.
        later = (i[1:] > i[:-1]) | ((i[1:] == i[:-1]) & (j[1:] > j[:-1]))
        if not later.all():
            order = np.lexsort((j, i))
            i, j, found = i[order], j[order], found[order]
        del later
        return i.astype(np.int64, copy=False), j.astype(np.int64, copy=False), found


def listed_pairs(side, corpus, u, v, forward, backward, direction, threshold):
    """The position pairs of the list ``side`` scoring at least
    ``threshold``, as the Pairs of a Plan of that list lists them, from the
    id pairs u < v with both directions scored (ordered pairs for
    "forward"), and the pairs of positions holding the same id."""
    if direction == "forward":
        # Ordered pairs: u -> v scores forward, v -> u backward.
        ways = [(u, v, forward), (v, u, backward)]
    else:
        combined = combine_directions(forward, backward, direction)
        # Pairs keeps whichever way lists the positions as i < j; where the
        # places are the positions, u < v is that way (millions of pairs,
        # for a group of near-copies: the other way would be copied for nothing).
        ways = [(u, v, combined)] if side.plain else [(u, v, combined), (v, u, combined)]
    repeated = side.place_ids[side.counts > 1]
    ways.append((repeated, repeated, same_scores(corpus, repeated)))
    reducer = Pairs(threshold, *_pairs.listing(True, None if direction == "forward" else direction))
    state = reducer.start()
    for t, s, values in ways:
        state = reducer.combine(state, reducer.chunk([listed(side, side, t, s, values)]))
    return reducer.aggregate(state)


class Condensed:
    """1 - score for each position pair i < j of one list of ``n``, in scipy's order."""

    def __init__(self, n):
        self.n = n

    def start(self):
        return np.empty(self.n * (self.n - 1) // 2)

    def chunk(self, cells):
        """(offsets into the condensed vector, distances) for each cell."""
        parts = []
        for rows, cols, values in cells:
            a, b = np.nonzero(np.ones(values.shape, dtype=bool))
            i, j, pair = rows.expand(a, cols, b)
            keep = _pairs.kept(i, j, unordered=True)
            i, j = i[keep], j[keep]
            parts.append((self.offset(i, j), 1.0 - values[a, b][pair][keep]))
        return parts

    def offset(self, i, j):
        """Where pair (i, j), i < j, lies in the condensed vector."""
        return self.n * i - i * (i + 1) // 2 + (j - i - 1)

    def combine(self, out, parts, poll=_no_poll):
        for offsets, distances in parts:
            out[offsets] = distances
        return out

    def aggregate(self, out):
        return out
