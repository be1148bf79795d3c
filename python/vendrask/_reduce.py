"""Reducers: each turns one tile's measures, over distinct strings, into its
part of the output over positions, before the next tile is computed. The
in-process functions and vendrask.dask share them, so both give the same
values, order and ties."""
import numpy as np

_NO_INDEX = np.iinfo(np.int64).max


def combine(forward, backward, how):
    """Both directions of each pair in one score: "mean" ((a + b) * 0.5 in
    float64), "min" or "max". NaN if either direction is NaN."""
    if how == "mean":
        return (forward + backward) * 0.5
    if how == "min":
        return np.minimum(forward, backward)
    return np.maximum(forward, backward)


class Side:
    """One list of documents: its positions grouped by distinct string.

    ``distinct`` are the list's distinct string ids in the order that tiles
    use; ``index[p]`` is the place in ``distinct`` of position ``p``.
    """

    def __init__(self, ids):
        self.size = len(ids)
        # Without repeats, in rising order, places are positions.
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

    def positions(self, lo, hi):
        """Positions whose string lies in places [lo, hi), and those places less lo."""
        if self.plain:
            at = np.arange(lo, hi)
            return at, at - lo
        at = self.order[self.starts[lo]:self.starts[hi]]
        return at, self.index[at] - lo

    def expand(self, places, other, other_places):
        """All position pairs (i, j) of the place pairs given, and for each
        the number of the place pair it came from."""
        if self.plain and other.plain:
            return places, other_places, np.arange(len(places))
        n_a, n_b = self.counts[places], other.counts[other_places]
        total = n_a * n_b
        pair = np.repeat(np.arange(len(places)), total)
        k = np.arange(total.sum()) - np.repeat(np.cumsum(total) - total, total)
        i = self.order[self.starts[places][pair] + k // n_b[pair]]
        j = other.order[other.starts[other_places][pair] + k % n_b[pair]]
        return i, j, pair


class Dense:
    """The full matrix over positions."""

    def __init__(self, rows, cols, dtype):
        self.rows, self.cols = rows, cols
        self.out = np.empty((rows.size, cols.size), dtype=dtype)

    def add(self, r0, r1, c0, c1, values):
        if self.rows.plain and self.cols.plain:
            self.out[r0:r1, c0:c1] = values
            return
        i, a = self.rows.positions(r0, r1)
        j, b = self.cols.positions(c0, c1)
        self.out[np.ix_(i, j)] = values[np.ix_(a, b)]


class TopK:
    """Each row's k best columns: score descending, ties by smaller index; NaN
    and scores below the cutoff are never candidates. Kept per distinct row
    string, with one spare when a row must leave out its own position."""

    def __init__(self, rows, cols, k, cutoff=None, leave_out_own=False):
        self.rows, self.cols, self.k = rows, cols, k
        self.cutoff, self.leave_out_own = cutoff, leave_out_own
        self.keep = k + 1 if leave_out_own else k
        self.scores = np.full((len(rows.distinct), self.keep), -np.inf)
        self.index = np.full((len(rows.distinct), self.keep), _NO_INDEX, dtype=np.int64)
        # The first `keep` positions of each distinct column are all it can add.
        taken = np.minimum(cols.counts, self.keep)
        place = np.repeat(np.arange(len(cols.distinct)), taken)
        rank = np.arange(taken.sum()) - np.repeat(np.cumsum(taken) - taken, taken)
        self._col_position = cols.order[cols.starts[place] + rank]
        self._col_place = place
        self._col_starts = np.concatenate([[0], np.cumsum(taken)])

    def add(self, r0, r1, c0, c1, values):
        lo, hi = self._col_starts[c0], self._col_starts[c1]
        scores = values[:, self._col_place[lo:hi] - c0]
        drop = np.isnan(scores)
        if self.cutoff is not None:
            drop |= scores < self.cutoff
        scores = np.where(drop, -np.inf, scores)
        index = np.broadcast_to(np.where(drop, _NO_INDEX, self._col_position[lo:hi]), scores.shape)
        scores = np.concatenate([self.scores[r0:r1], scores], axis=1)
        index = np.concatenate([self.index[r0:r1], index], axis=1)
        best = np.lexsort((index, -scores))[:, :self.keep]
        self.scores[r0:r1] = np.take_along_axis(scores, best, axis=1)
        self.index[r0:r1] = np.take_along_axis(index, best, axis=1)

    def result(self):
        scores, index = self.scores[self.rows.index], self.index[self.rows.index]
        if self.leave_out_own:
            own = index == np.arange(self.rows.size)[:, None]
            order = np.argsort(own, axis=1, kind="stable")[:, :self.k]
            scores = np.take_along_axis(scores, order, axis=1)
            index = np.take_along_axis(index, order, axis=1)
        missing = index == _NO_INDEX
        scores[missing], index[missing] = np.nan, -1
        return scores, index


class Pairs:
    """Every position pair whose score is at least the threshold."""

    def __init__(self, rows, cols, threshold):
        self.rows, self.cols, self.threshold = rows, cols, threshold
        self.parts = []

    def add(self, r0, r1, c0, c1, values, *, upper=False, unordered=False, distinct=False):
        """``upper``: only cells on or above the tile's diagonal count;
        ``unordered``: each pair is given as (min, max); ``distinct``: a
        position is never paired with itself."""
        hit = values >= self.threshold
        if upper:
            hit &= np.triu(np.ones(hit.shape, dtype=bool))
        a, b = np.nonzero(hit)
        i, j, pair = self.rows.expand(r0 + a, self.cols, c0 + b)
        score = values[a, b][pair]
        if unordered:
            # A cell pairs a string's positions with each other both ways:
            # keep one way. Other cells give each unordered pair once.
            same = (a == b)[pair] if r0 == c0 else False
            keep = np.where(same, i < j, i != j)
            i, j = np.minimum(i, j), np.maximum(i, j)
        elif distinct:
            keep = i != j
        else:
            keep = slice(None)
        self.parts.append((i[keep], j[keep], score[keep]))

    def result(self):
        if not self.parts:
            return (np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0))
        i, j, score = (np.concatenate(part) for part in zip(*self.parts))
        order = np.lexsort((j, i))
        return i[order].astype(np.int64), j[order].astype(np.int64), score[order]


class Condensed:
    """1 - score for each position pair i < j of one list, in scipy's order."""

    def __init__(self, side):
        self.side, self.n = side, side.size
        self.out = np.empty(self.n * (self.n - 1) // 2)

    def add(self, r0, r1, c0, c1, values, *, upper=False):
        hit = np.ones(values.shape, dtype=bool)
        if upper:
            hit = np.triu(hit)
        a, b = np.nonzero(hit)
        i, j, pair = self.side.expand(r0 + a, self.side, c0 + b)
        distance = 1.0 - values[a, b][pair]
        i, j = np.minimum(i, j), np.maximum(i, j)
        keep = i < j
        i, j = i[keep], j[keep]
        self.out[self.n * i - i * (i + 1) // 2 + (j - i - 1)] = distance[keep]
