"""The rules of pairs: which pairs of documents are scored, and how results list them.

The exact functions, the index, the estimators, vendrask.dask and the command
ask here; none restates a rule.

Glossary
- position: where a document stands in a list a caller gave, from 0.
- id: a distinct string of a corpus; equal documents share one.
- the same string: two positions holding equal bytes, neither missing. Such
  a pair scores 1.0 whatever its length.
- the joint size limit: two different strings are scored together only
  when their lengths add up to JOINT_SIZE_LIMIT bytes or less ("they fit").
  A pair that does not fit is refused (JointSizeError) or NaN (errors="nan").
- a missing document (None, NaN: errors="nan") fits with nothing, not even
  itself: every pair it is in is NaN. Its id is given MISSING_LENGTH.
- a partner of a document: a different string that fits with it. A
  document some different one does not fit with is "unfit" (warned of); a
  long one with no partner at all, nor a copy of itself, is "unpaired"
  (left out by the command's --errors skip).
- own position: in one list against itself, row i's column i. Searches
  leave it out; other positions holding the same string stay.
- an unordered pair: {i, j} of one list. With a symmetric score it is
  listed once, as i < j.
- no neighbour: a row with fewer than k candidates is padded with NaN and
  NO_NEIGHBOUR (-1). While candidates are ranked, an empty slot holds
  RANKS_LAST, which sorts after every position. A neighbour graph's unused
  slots, and a search's seeds and pool where there are none, hold
  NO_NEIGHBOUR too.

Sizes (compressed bytes, from the native core; a score is made of five)
- lone size (``lone_sizes``, of the ids ``lone_ids``): a string compressed
  alone, with no dictionary.
- primed size (``primed_sizes``, of the ids ``primed_ids``): a string
  compressed after itself, as its own dictionary.
- cross sizes of an id pair (t, s): its forward size (``forward_sizes``),
  s compressed after t, and its backward size (``backward_sizes``), t
  compressed after s. measure(t, s) is made chiefly of the forward size,
  measure(s, t) of the backward one: the pair (s, t) has the same two,
  swapped. A graph's edge u -> v keeps those of (u, v). Under the joint
  size limit each fits in 16 bits.

numpy is imported by the functions that need it, not here: the command's
``vendrask measure`` asks ``fits`` and must start without it.
"""
from . import JOINT_SIZE_LIMIT, JointSizeError

# The max_bytes at or below which any two documents fit together.
EVERY_PAIR_FITS = JOINT_SIZE_LIMIT // 2
# The shortest document that can fail to fit with another: two shorter ones
# always fit, so a shorter one is never to blame for a pair over the limit.
HALF_LIMIT = EVERY_PAIR_FITS + 1
# The length given to a missing document: over the limit with anything.
MISSING_LENGTH = JOINT_SIZE_LIMIT + 1
NO_NEIGHBOUR = -1
RANKS_LAST = (1 << 63) - 1  # int64's largest


# ---------------------------------------------------------------- the joint limit

def fits(a, b):
    """Whether the byte strings ``a`` and ``b`` are scored together."""
    return a == b or len(a) + len(b) <= JOINT_SIZE_LIMIT


def cut_never_fit(max_bytes):
    """Whether two different documents cut to ``max_bytes`` are over the limit together."""
    return max_bytes is not None and max_bytes > EVERY_PAIR_FITS


def same(t, s, missing):
    """For id pairs (t[k], s[k]): whether both are the same string."""
    return (t == s) & ~missing[t]


def fitting(t, s, lengths, missing):
    """For id pairs (t[k], s[k]): ``(same, fit)``, the pairs of the same
    string and the pairs of different strings that fit (those computed).
    Whatever is neither is NaN or refused."""
    is_same = same(t, s, missing)
    return is_same, ~is_same & (lengths[t] + lengths[s] <= JOINT_SIZE_LIMIT)


def over_limit(t, s, lengths, missing):
    """For id pairs (t[k], s[k]): whether they are over the limit together,
    neither being missing (a missing document's pairs are NaN for that)."""
    return (t != s) & ~missing[t] & ~missing[s] & (lengths[t] + lengths[s] > JOINT_SIZE_LIMIT)


# ---------------------------------------------------------------- partners

def fitting_with(lengths, shortest):
    """The ids (rising) whose length fits with a string of length ``shortest``:
    with the shortest of a corpus, the ids that may fit with some other."""
    import numpy as np
    return np.flatnonzero(lengths + shortest <= JOINT_SIZE_LIMIT)


def partner_counts(xs, ys, lengths, ys_mask):
    """For each distinct id of ``xs``: how many distinct ids of ``ys`` other
    than itself fit with it. ``ys_mask[id]`` tells whether ``id`` is among ``ys``."""
    import numpy as np
    room = JOINT_SIZE_LIMIT - lengths[xs]
    count = np.searchsorted(np.sort(lengths[ys]), room, side="right")
    count -= ys_mask[xs] & (lengths[xs] <= room)
    return count


def _mask(ids, size):
    import numpy as np
    mask = np.zeros(size, dtype=bool)
    mask[ids] = True
    return mask


def with_partners(xs, ys, lengths):
    """The distinct ids of ``xs`` that some id of ``ys`` (distinct) is a
    partner of: only they need sizes. Also each one's number of partners."""
    count = partner_counts(xs, ys, lengths, _mask(ys, len(lengths)))
    return xs[count > 0], count


def unfit(xs, ys, lengths, missing):
    """For each distinct id of ``xs``: whether some different id of ``ys``
    (distinct) is over the limit with it, missing ones left out on both sides."""
    ys = ys[~missing[ys]]
    in_ys = _mask(ys, len(lengths))
    others = len(ys) - in_ys[xs]
    return (partner_counts(xs, ys, lengths, in_ys) < others) & ~missing[xs]


def unpaired(xs, ys, itself, lengths):
    """The positions of ``xs`` (ids by position) that pair with no position
    of ``ys``: HALF_LIMIT bytes long or more, with no partner among ``ys``
    and no copy of themselves at another position of it. With ``itself``
    the first positions of ``ys`` are those of ``xs``, and a position does
    not pair with itself; a document alone in its list stays.

    Leaving such documents out takes no other document's partner, since
    they have none."""
    import numpy as np
    xs, ys = np.asarray(xs, dtype=np.int64), np.asarray(ys, dtype=np.int64)
    if itself and len(ys) < 2:
        return np.empty(0, dtype=np.int64)
    distinct_ys, copies = np.unique(ys, return_counts=True)
    count = np.zeros(len(lengths), dtype=np.int64)
    count[distinct_ys] = copies
    distinct_xs, where = np.unique(xs, return_inverse=True)
    partners = partner_counts(distinct_xs, distinct_ys, lengths, count > 0)
    alone = (partners == 0) & (count[distinct_xs] <= int(itself))
    return np.flatnonzero((alone & (lengths[distinct_xs] >= HALF_LIMIT))[where.reshape(-1)])


def first_over_limit(row_ids, col_ids, lengths):
    """The first (i, j) in row-major order whose strings differ and are longer
    together than the joint size limit, or None. O(n log n) however many
    equal documents there are."""
    import numpy as np
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
    b1 = b2 = RANKS_LAST
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
    has &= j != RANKS_LAST
    if not has.any():
        return None
    k = np.argmin(np.where(has, row_first, RANKS_LAST))
    return int(row_first[k]), int(j[k])


def refuse_over_limit(row_ids, col_ids, lengths, names=("ts", "ss"), offsets=(0, 0)):
    """Raises JointSizeError for the first pair (in row-major order) of
    different strings over the joint size limit, at positions counted from
    the offsets and named by ``names``."""
    over = first_over_limit(row_ids, col_ids, lengths)
    if over is not None:
        i, j = over
        raise JointSizeError(i + offsets[0], j + offsets[1], int(lengths[row_ids[i]]),
                             int(lengths[col_ids[j]]), names)


def refuse_first(over, t, s, where_t, where_s, lengths, names):
    """Raises JointSizeError for the first of the id pairs (t[k], s[k])
    flagged in ``over``, named by its positions ``where_t[k]``, ``where_s[k]``."""
    import numpy as np
    found = np.flatnonzero(over)
    if len(found):
        k = found[0]
        raise JointSizeError(int(where_t[k]), int(where_s[k]), int(lengths[t[k]]),
                             int(lengths[s[k]]), names)


# ---------------------------------------------------------------- how pairs are listed

def listing(one_list, symmetric):
    """``(leave_out_own, unordered)`` for a list of pairs: one list never
    pairs a position with itself, and with a symmetric score (``symmetric``
    not None) gives each unordered pair once, as i < j."""
    return one_list and symmetric is None, one_list and symmetric is not None


def kept(i, j, leave_out_own=False, unordered=False):
    """Which of the position pairs (i[k], j[k]) such a list holds (an index)."""
    if unordered:
        return i < j
    if leave_out_own:
        return i != j
    return slice(None)


def kept_cells(n, leave_out_own=False, unordered=False):
    """The cells of a square of ``n`` positions that such a list holds."""
    import numpy as np
    if unordered:
        return np.triu(np.ones((n, n), dtype=bool), 1)
    if leave_out_own:
        return ~np.eye(n, dtype=bool)
    return np.ones((n, n), dtype=bool)


# ---------------------------------------------------------------- neighbours

def candidates_kept(k, n_cols=None, leave_out_own=False):
    """Candidates a row keeps to give its ``k`` best: one spare in case its
    own position is among them, and never more than the ``n_cols`` there are
    (a huge k then costs only its padding); at least one."""
    keep = k + 1 if leave_out_own else k
    return keep if n_cols is None else max(1, min(keep, n_cols))


def leave_out_own(scores, index, own):
    """Rows of ranked candidates (best first, empty slots RANKS_LAST)
    without each row's own position ``own[r]`` (negative: none): the others
    move up in order and the freed slot, now last, is empty."""
    import numpy as np
    own = np.asarray(own, dtype=np.int64)[:, None]
    is_own = (index == own) & (own >= 0)
    order = np.argsort(is_own, axis=1, kind="stable")
    scores = np.take_along_axis(scores, order, axis=1)
    index = np.take_along_axis(index, order, axis=1)
    index[np.take_along_axis(is_own, order, axis=1)] = RANKS_LAST
    return scores, index


def padded(scores, index, k):
    """Ranked candidates as ``(scores, indices)`` of ``k`` columns: float64
    and int64, empty slots (RANKS_LAST, or beyond those given) NaN and
    NO_NEIGHBOUR."""
    import numpy as np
    width = min(k, scores.shape[1])
    out_scores = np.full((len(scores), k), np.nan)
    out_index = np.full((len(scores), k), NO_NEIGHBOUR, dtype=np.int64)
    out_scores[:, :width], out_index[:, :width] = scores[:, :width], index[:, :width]
    empty = out_index == RANKS_LAST
    out_scores[empty], out_index[empty] = np.nan, NO_NEIGHBOUR
    return out_scores, out_index
