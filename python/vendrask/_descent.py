"""Neighbour graphs refined by the exact measure, and searches through them.

A Graph holds, for each of n nodes (distinct documents), up to ``degree``
neighbours with both directions of the measure for each edge, best first by
the key of its direction. ``descend`` improves it by NN-descent's local joins
(Dong, Charikar and Li, WWW 2011): two neighbours of the same node are likely
neighbours of each other, so each round scores the pairs among every node's
new neighbours and between its new and old ones, forward and reverse,
skipping pairs that are already edges. ``search`` walks the graph best-first
for documents that are not nodes; ``within`` closes a threshold graph under
the same joins. Nothing here compresses: every score comes from the
``score(u, v)`` callable, which returns (measure(u, v), measure(v, u)) as
float64 arrays with NaN for pairs that cannot be scored, and the pair's
forward and backward sizes they came from (v after u, u after v; uint16;
see the glossary of ``_pairs``).

All of it is numpy over whole rounds: a round's pairs go to the native core
as one batch, and nothing here is of size n squared.
"""
import dataclasses

import numpy as np
import numpy.random  # noqa: F401  loaded now, not by a first use under a memory limit

from ._pairs import NO_NEIGHBOUR
from ._plan import combine_directions as combine
from ._sorted import among, sorted_unique, union


def key_of(forward, backward, direction):
    """The sort key of edges u -> v with measure(u, v) = forward and
    measure(v, u) = backward: the score in ``direction``, -inf for NaN."""
    key = combine(forward, backward, direction)
    return np.where(np.isnan(key), -np.inf, key)


def graph_degrees(degree):
    """The degree of each graph an index of ``degree`` builds, by direction.
    The one-way graph keeps only as many as a default search returns: it
    collects the same pairs as the walked one, so its best 10 are what a
    wider one's best 10 would be."""
    return {"mean": degree, "forward": min(degree, 10)}


class Graph:
    """For each of n nodes up to ``degree`` edges u -> v, best first by
    their key in ``direction``: ``ids`` (n, degree) int32 (NO_NEIGHBOUR
    where unused), ``forward_sizes`` and ``backward_sizes`` the cross sizes
    each edge was scored from (v compressed after u, u after v), and
    ``new``, whether an edge is new since its node's last join. Scores are
    not kept: two sizes of 2 bytes take a quarter of the room of two
    float64 scores, and ``measures(u, v, forward_sizes, backward_sizes)``
    -> (forward, backward, failure) turns them back into the same scores
    bit for bit."""

    # The arrays that are the graph (each (n, degree)), with their types.
    PARTS = {"ids": np.int32, "forward_sizes": np.uint16, "backward_sizes": np.uint16,
             "new": np.bool_}

    def __init__(self, n, degree, direction, measures):
        self.n, self.degree, self.direction = n, degree, direction
        self.measures = measures
        self.ids = np.full((n, degree), NO_NEIGHBOUR, dtype=np.int32)
        self.forward_sizes = np.zeros((n, degree), dtype=np.uint16)
        self.backward_sizes = np.zeros((n, degree), dtype=np.uint16)
        self.new = np.zeros((n, degree), dtype=bool)

    # What an earlier version called the forward and backward sizes.
    _FORMER_NAMES = {"there": "forward_sizes", "back": "backward_sizes"}

    def __setstate__(self, state):
        # An index pickled by an earlier version holds its graphs' fields by
        # name, the sizes under the names they had.
        self.__dict__.update((self._FORMER_NAMES.get(name, name), value)
                             for name, value in state.items())

    def to_arrays(self):
        """The graph's arrays by name (those of PARTS), as held (no copy)."""
        return {part: getattr(self, part) for part in self.PARTS}

    @classmethod
    def from_arrays(cls, direction, measures, ids, forward_sizes, backward_sizes, new):
        """The graph of ``to_arrays``' arrays, held as given (no copy): n
        and degree are their shape. They must agree with each other and
        with ``measures`` (the file's checks see to that); only their
        shapes and types are checked here."""
        graph = cls.__new__(cls)
        graph.direction, graph.measures = direction, measures
        arrays = {"ids": ids, "forward_sizes": forward_sizes, "backward_sizes": backward_sizes,
                  "new": new}
        shape = np.shape(ids)
        for part, dtype in cls.PARTS.items():
            array = arrays[part]
            if (not isinstance(array, np.ndarray) or array.ndim != 2 or array.shape != shape
                    or not np.can_cast(array.dtype, dtype, casting="equiv")):
                raise ValueError(f"a graph's {part!r} is not an array of {np.dtype(dtype)} "
                                 f"of the shape of its ids {shape}")
            setattr(graph, part, array)
        graph.n, graph.degree = shape
        return graph

    def copy(self, n=None, measures=None):
        """A copy sharing no array with this graph, with room for ``n``
        nodes (None: as many) and scored by ``measures`` (None: the same)."""
        arrays = {part: array.copy() for part, array in self.to_arrays().items()}
        other = Graph.from_arrays(self.direction, self.measures if measures is None else measures,
                                  **arrays)
        other.grow(self.n if n is None else n)
        return other

    def edges(self):
        """(u, v, forward, backward, forward_sizes, backward_sizes) of every
        edge, u int64."""
        u, slot = np.nonzero(self.ids != NO_NEIGHBOUR)
        v = self.ids[u, slot].astype(np.int64)
        forward_sizes, backward_sizes = self.forward_sizes[u, slot], self.backward_sizes[u, slot]
        forward, backward, failure = self.measures(u, v, forward_sizes, backward_sizes)
        if failure is not None:
            raise RuntimeError(failure)
        return u, v, forward, backward, forward_sizes, backward_sizes

    def scores(self):
        """(forward, backward) of shape (n, degree), NaN where unused."""
        forward, backward = np.full((2, self.n, self.degree), np.nan)
        u, slot = np.nonzero(self.ids != NO_NEIGHBOUR)
        _, _, forward[u, slot], backward[u, slot], _, _ = self.edges()
        return forward, backward

    @property
    def keys(self):
        keys = key_of(*self.scores(), self.direction)
        keys[self.ids == NO_NEIGHBOUR] = -np.inf
        return keys

    def grow(self, n):
        """Room for nodes n.. (added documents), with no edges."""
        extra = n - self.n
        if extra <= 0:
            return
        pad = lambda a, fill: np.concatenate([a, np.full((extra, self.degree), fill,
                                                         dtype=a.dtype)])
        self.ids, self.new = pad(self.ids, NO_NEIGHBOUR), pad(self.new, False)
        self.forward_sizes = pad(self.forward_sizes, 0)
        self.backward_sizes = pad(self.backward_sizes, 0)
        self.n = n

    def rekeyed(self, direction, degree=None):
        """The same edges as a graph keyed in another direction (all new)."""
        degree = self.degree if degree is None else degree
        other = Graph(self.n, degree, direction, self.measures)
        other.offer(*self.edges(), both=False)
        return other

    def edge_keys(self):
        """Sorted keys min*n + max of the graph's edges, either way round."""
        u, slot = np.nonzero(self.ids != NO_NEIGHBOUR)
        v = self.ids[u, slot].astype(np.int64)
        return sorted_unique(np.minimum(u, v) * self.n + np.maximum(u, v))

    def offer(self, u, v, forward, backward, forward_sizes, backward_sizes, both=True):
        """Offers edges u -> v scored ``forward`` and ``backward`` from the
        cross sizes ``forward_sizes`` and ``backward_sizes`` (and, with
        ``both``, v -> u with each pair swapped); each node keeps its
        ``degree`` best by key, ties by the smaller id. Returns how many
        offered edges were kept."""
        if both:
            u, v = np.concatenate([u, v]), np.concatenate([v, u])
            forward, backward = np.concatenate([forward, backward]), np.concatenate([backward, forward])
            forward_sizes, backward_sizes = (np.concatenate([forward_sizes, backward_sizes]),
                                             np.concatenate([backward_sizes, forward_sizes]))
        have_u, have_v, have_f, have_b, have_forward_sizes, have_backward_sizes = self.edges()
        have_key = key_of(have_f, have_b, self.direction)
        # A full node's worst key bars every offer below it: most of a late
        # round's offers, which thus skip the sort below.
        rows = np.full((self.n, self.degree), -np.inf)
        rows[self.ids != NO_NEIGHBOUR] = have_key
        worst = np.where((self.ids != NO_NEIGHBOUR).all(axis=1), rows.min(axis=1), -np.inf)
        key = key_of(forward, backward, self.direction)
        fits = np.isfinite(key) & (key >= worst[u])
        u, v, key = u[fits], v[fits], key[fits]
        forward_sizes, backward_sizes = forward_sizes[fits], backward_sizes[fits]
        if not len(u):
            return 0
        have_new = self.new[self.ids != NO_NEIGHBOUR]
        all_u = np.concatenate([have_u, u])
        all_v = np.concatenate([have_v, v])
        all_forward_sizes = np.concatenate([have_forward_sizes, forward_sizes])
        all_backward_sizes = np.concatenate([have_backward_sizes, backward_sizes])
        all_new = np.concatenate([have_new, np.ones(len(u), dtype=bool)])
        all_key = np.concatenate([have_key, key])
        offered = np.concatenate([np.zeros(len(have_u), dtype=bool), np.ones(len(u), dtype=bool)])
        # Best first within each node, ties by the smaller id. An edge offered
        # again has the same scores, hence the same key, so it sorts right
        # after the kept one and goes as a repeat.
        order = np.lexsort((offered, all_v, -all_key, all_u))
        sorted_u, sorted_v = all_u[order], all_v[order]
        first = np.ones(len(order), dtype=bool)
        first[1:] = (sorted_u[1:] != sorted_u[:-1]) | (sorted_v[1:] != sorted_v[:-1])
        order, sorted_u = order[first], sorted_u[first]
        starts = np.searchsorted(sorted_u, np.arange(self.n))
        rank = np.arange(len(order)) - starts[sorted_u]
        kept = rank < self.degree
        at = order[kept]
        u_k, r_k = sorted_u[kept], rank[kept]
        for array, fill in ((self.ids, NO_NEIGHBOUR), (self.forward_sizes, 0),
                            (self.backward_sizes, 0), (self.new, False)):
            array.fill(fill)
        self.ids[u_k, r_k] = all_v[at]
        self.forward_sizes[u_k, r_k] = all_forward_sizes[at]
        self.backward_sizes[u_k, r_k] = all_backward_sizes[at]
        self.new[u_k, r_k] = all_new[at]
        return int(offered[at].sum())


def _grouped(rows, values, n, width, rng):
    """(n, width) int64 of ``values`` grouped by ``rows``, at most ``width``
    per row chosen at random, NO_NEIGHBOUR elsewhere."""
    out = np.full((n, width), NO_NEIGHBOUR, dtype=np.int64)
    if not len(rows):
        return out
    shuffle = rng.permutation(len(rows))
    rows, values = rows[shuffle], values[shuffle]
    order = np.argsort(rows, kind="stable")
    rows, values = rows[order], values[order]
    rank = np.arange(len(rows)) - np.searchsorted(rows, rows)
    take = rank < width
    out[rows[take], rank[take]] = values[take]
    return out


# Entries of the (rows, new, new + old) joins that _join_pairs lays out at a
# time: 4096 rows of the default lists (32 new, 32 old), about 100 MiB of
# temporaries however wide a wider degree makes the lists.
_JOIN_ENTRIES = 1 << 23


def _join_pairs(new, old, n):
    """Keys lo*n + hi of the pairs among each row's ``new`` entries and
    between its ``new`` and ``old`` ones, without repeats."""
    width = new.shape[1] * (new.shape[1] + old.shape[1])
    chunk = max(1, _JOIN_ENTRIES // max(width, 1))
    merged, pending, held = np.empty(0, dtype=np.int64), [], 0
    for start in range(0, len(new), chunk):
        a, b = new[start:start + chunk], old[start:start + chunk]
        x, y = a[:, :, None], a[:, None, :]
        mask = (x != NO_NEIGHBOUR) & (y != NO_NEIGHBOUR) & (x < y)
        among_new = np.broadcast_to(x, mask.shape)[mask] * n + np.broadcast_to(y, mask.shape)[mask]
        x, y = a[:, :, None], b[:, None, :]
        mask = (x != NO_NEIGHBOUR) & (y != NO_NEIGHBOUR) & (x != y)
        lo = np.minimum(np.broadcast_to(x, mask.shape)[mask], np.broadcast_to(y, mask.shape)[mask])
        hi = np.maximum(np.broadcast_to(x, mask.shape)[mask], np.broadcast_to(y, mask.shape)[mask])
        del mask
        # Each chunk sorted on its own and merged in runs: sorting what
        # earlier chunks found again at each chunk took 65 s instead of 10 s
        # for 100 000 rows of 20 new and 20 old neighbours. Merging once the
        # pending runs outgrow the merged keys keeps their repeats from
        # piling up when chunks are small (wide lists) and each key in
        # about log(chunks) merges.
        pending.append(sorted_unique(np.concatenate([among_new, lo * n + hi])))
        del among_new, lo, hi
        held += len(pending[-1])
        if held > max(len(merged), _JOIN_ENTRIES):
            merged, pending, held = union(merged, *pending), [], 0
    return union(merged, *pending)


def _lists(graph, sample, rng):
    """A join's (new, old) lists of each node: up to ``sample`` of its new
    neighbours (best first) and of its old ones, each with as many of the
    nodes that list it, chosen at random; the new ones are new no more."""
    n = graph.n
    valid = graph.ids != NO_NEIGHBOUR
    fresh = valid & graph.new
    fresh &= np.cumsum(fresh, axis=1) <= sample  # the best new ones first
    stale = valid & ~graph.new
    graph.new[fresh] = False
    u_new, s_new = np.nonzero(fresh)
    u_old, s_old = np.nonzero(stale)
    v_new, v_old = graph.ids[u_new, s_new], graph.ids[u_old, s_old]
    new = np.concatenate([_grouped(u_new, v_new, n, sample, rng),
                          _grouped(v_new, u_new, n, sample, rng)], axis=1)
    old = np.concatenate([_grouped(u_old, v_old, n, sample, rng),
                          _grouped(v_old, u_old, n, sample, rng)], axis=1)
    return new, old


@dataclasses.dataclass(frozen=True)
class BuildSettings:
    """How a graph is built unless its caller says otherwise, in one place.
    Measured on 10 000 distinct 1 KB chunks (recall@10 of ``neighbors`` one
    way / by the mean against exact search on 200 rows, compressions per
    document; ``bench/index_bench.py``): ranking each node's candidates by
    the fine sketches rather than the stored ones, 24 of them rather than
    48, took the build for searches from 213 to 131 on code, 231 to 145 on
    prose, 221 to 137 on manual pages, and all its rounds to 237 (0.954 /
    0.972), 282 (0.961 / 0.961) and 182 (0.991 / 0.995). With the stored
    sketches prose needed 557 for 0.958 / 0.959: they put a prose chunk's
    exact top 10 within its 48 best by sketch half the time (0.48), the
    fine ones 0.70 of it.

    seeds: sketch candidates scored with each new document (16 found as
        much as 32 or 48 once the joins pick by sketch: the joins find the
        rest, each pair of them more likely a neighbour);
    seed_pool: the seeds are the best by fine sketch of ``seed_pool`` times
        as many found by the stored sketches (which find them without
        comparing every pair, see _sketch.Sketches.query). 16 rather than 4
        spent fewer pairs in all (better seeds, fewer joins: 2-4% on
        10 000 chunks, recall within 0.003) and took ``neighbors`` one way
        on 100 000 code chunks from 0.937 to 0.948 (278 compressions per
        document to 271). Ranking the larger pool (256 fine cosines a
        document at about 0.6 us each) costs about what 6 compressions do;
    sample_per: a node's new and old neighbours joined per round are its
        degree / ``sample_per`` best (2: 12 of 24; a quarter spends fewer
        pairs in rounds that change few edges, but prose lost recall);
    top: of the pairs a round's joins propose, each node keeps its ``top``
        nearest by fine sketch, and only pairs kept by either end are
        scored. The sketch ranks well within one node's candidates, where
        one cosine threshold for all does not (code has weak neighbours at
        cosines where prose has none). A pair passed over is not
        remembered: a later round proposes it again. 32 in the rounds
        after the searches' left one-way recall on 200 rows of 100 000
        code chunks where it was (0.9495) for 18 more compressions per
        document, and gave nothing on 10 000 chunks for 3 to 18 more;
    search_rounds: the rounds a graph gets before it serves searches; the
        rest (up to the index's ``rounds``) come when the graph's own lists
        are asked for (``neighbors``, ``recall``, pairs via the graph). A
        search walks the graph and scores what it reaches, so it needs the
        graph to connect near documents, not to list each one's best: on
        10 000 code chunks, three rounds took 131 compressions per document
        for ``nearest`` recall 0.990 / 0.997, while ``neighbors`` needs the
        rest (106 more)."""

    seeds: int = 16
    seed_pool: int = 16
    sample_per: int = 2
    top: int = 24
    search_rounds: int = 3

    def sample(self, degree):
        return max(1, degree // self.sample_per)


BUILD = BuildSettings()


def build_sample(degree):
    """The neighbours of each node a round joins in a graph of ``degree``."""
    return BUILD.sample(degree)


# Pairs whose sketches are gathered at a time: 2 x 8 MiB of float32.
_DOT_PAIRS = 1 << 12


def sketch_cosines(vectors):
    """cosines(u, v) of the rows of int8 sketches ``vectors`` (float32). The
    dots of int8 sketches are integers below 2^24, exact in float32."""
    norms = np.empty(len(vectors), dtype=np.float32)
    for start in range(0, len(vectors), 1 << 16):
        rows = np.asarray(vectors[start:start + (1 << 16)], dtype=np.float32)
        norms[start:start + len(rows)] = np.sqrt(np.einsum("ij,ij->i", rows, rows,
                                                           optimize=False))
    norms[norms == 0] = 1

    def cosines(u, v):
        out = np.empty(len(u), dtype=np.float32)
        for start in range(0, len(u), _DOT_PAIRS):
            a = np.asarray(vectors[u[start:start + _DOT_PAIRS]], dtype=np.float32)
            b = np.asarray(vectors[v[start:start + _DOT_PAIRS]], dtype=np.float32)
            out[start:start + _DOT_PAIRS] = np.einsum("ij,ij->i", a, b, optimize=False)
        return out / (norms[u] * norms[v])
    return cosines


def nearest_by_sketch(keys, n, cosines, top):
    """Which of the pair keys lo*n + hi to score: those among the ``top``
    best by sketch cosine (``cosines(u, v)``) of either end's pairs, ties by
    the order of the keys (so the choice never depends on anything but its
    inputs)."""
    u, v = keys // n, keys % n
    cosine = cosines(u, v)
    ends = np.concatenate([u, v])
    order = np.lexsort((np.concatenate([keys, keys]), -np.concatenate([cosine, cosine]), ends))
    ends = ends[order]
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order)) - np.searchsorted(ends, ends)
    return (rank[:len(u)] < top) | (rank[len(u):] < top)


def descend(graph, score, *, rounds=8, sample=10, stop=0.002, seed=0,
            followers=(), joined=0, tried=None, cosines=None, top=None):
    """NN-descent rounds on ``graph`` in place. ``sample``: new neighbours a
    node joins per round (forward and reverse each); ``stop``: the fraction
    of n * degree edge updates below which a round is the last. Every pair
    scored is offered to the ``followers`` too (graphs keyed in other
    directions, which thus come for free); ``joined``: how many of each
    follower's new and old neighbours join as well. ``tried``: sorted keys
    lo*n + hi of pairs scored already, besides the graph's edges. With the
    nodes' sketch ``cosines(u, v)`` and ``top``, only the pairs among each
    node's ``top`` nearest by sketch of a round's joins are scored (see
    BuildSettings). Returns (pairs scored, whether the rounds
    ended on their own, by ``stop`` or for want of new pairs, rather than
    at ``rounds``); the scorer counts the pairs for the job's progress."""
    rng = np.random.default_rng(seed)
    n, scored = graph.n, 0
    # A pair once scored and turned down would be turned down again (lists
    # only get better), and a quarter of the joins' pairs are such repeats:
    # remember every pair of this descent, not just the current edges.
    tried = graph.edge_keys() if tried is None else union(tried, graph.edge_keys())
    for _ in range(rounds):
        lists = [_lists(graph, sample, rng)]
        if joined:
            lists += [_lists(other, joined, rng) for other in followers]
        new = np.concatenate([new for new, _ in lists], axis=1)
        old = np.concatenate([old for _, old in lists], axis=1)
        keys = _join_pairs(new, old, n)
        keys = keys[~among(tried, keys)]
        if not len(keys):
            return scored, True, tried
        if cosines is not None and top:
            keys = keys[nearest_by_sketch(keys, n, cosines, top)]
        tried = union(tried, keys)
        u, v = keys // n, keys % n
        scores = score(u, v)
        scored += len(keys)
        for other in followers:
            other.offer(u, v, *scores)
        if graph.offer(u, v, *scores) < stop * n * graph.degree:
            return scored, True, tried
    return scored, False, tried


# Join keys made at a time by ``within``: each takes about 40 bytes while
# it is made, sorted and filtered, so 2^20 keep a chunk near 40 MiB however
# many neighbours a node has.
_JOIN_KEYS = 1 << 20
# Pairs ``within`` scores at a time.
_SCORE_BATCH = 1 << 18
# Join keys ``within`` may make per pair of its ``limit``. A key costs about
# 20 ns to make, sort and look up; scoring a pair of 100-byte lines about
# 3.7 us: at 16 keys a pair, joins that find nothing new (groups of
# near-duplicates, whose neighbours' neighbours are all tried) cost under a
# tenth of scoring every pair, which is what the caller then does.
_JOIN_PER_PAIR = 16


def link(walked, followers, fresh, seeds, score, *, rounds, sample, joined, cosines=None,
         top=None, tried=None):
    """Links the nodes ``fresh`` (new, with no edges yet) into ``walked``:
    scores each with its ``seeds`` (rows of candidate ids, NO_NEIGHBOUR where
    none) and with two random older nodes, so that a new island of nodes
    still meets the rest, offers those pairs to ``walked`` and every graph
    of ``followers``, then refines ``walked`` by ``descend`` (its followers
    collecting the same scored pairs; with the sketch ``cosines``, each
    round scoring only each node's ``top`` candidates by sketch, by
    default ``BUILD.top``; 0 scores them all; ``tried``: keys of pairs the
    graph's earlier rounds tried). Returns whether the rounds ended on their
    own and the pairs tried (see ``descend``)."""
    top = BUILD.top if top is None else top
    n = walked.n
    u = np.repeat(fresh, seeds.shape[1])
    v = seeds.reshape(-1)
    keep = (v != NO_NEIGHBOUR) & (v != u)
    u, v = u[keep], v[keep]
    if len(u) and n > len(fresh):
        rng = np.random.default_rng(n)
        extra = rng.integers(0, n, len(fresh) * 2)
        u, v = np.concatenate([u, np.repeat(fresh, 2)]), np.concatenate([v, extra])
        keep = u != v
        u, v = u[keep], v[keep]
    lo, hi = np.minimum(u, v), np.maximum(u, v)
    keys = sorted_unique(lo * n + hi)
    u, v = keys // n, keys % n
    scores = score(u, v)
    for graph in [walked, *followers]:
        graph.offer(u, v, *scores)
    return descend(walked, score, rounds=rounds, sample=sample, followers=followers,
                   joined=joined, tried=keys if tried is None else union(tried, keys),
                   cosines=cosines, top=top)[1:]


def _joins(pair_keys, fresh, n):
    """The joins that the ``fresh`` pairs of the graph of ``pair_keys``
    (both lo*n + hi) bring: each fresh pair (t, x) joins x with every other
    neighbour y of t, either way round (the pairs among a node's older
    neighbours were joined when the later of them came). Returns (starts,
    others, node, joined, cost): t's neighbours are others[starts[t]:
    starts[t + 1]]; row r joins ``joined[r]`` with those of ``node[r]``;
    ``cost``, the running count of the keys the rows make."""
    lo, hi = pair_keys // n, pair_keys % n
    ends = np.sort(np.concatenate([lo * n + hi, hi * n + lo]))
    del lo, hi
    starts = np.searchsorted(ends, np.arange(n + 1) * n)
    others = ends % n
    del ends
    fresh_lo, fresh_hi = fresh // n, fresh % n
    node, joined = np.concatenate([fresh_lo, fresh_hi]), np.concatenate([fresh_hi, fresh_lo])
    return starts, others, node, joined, np.cumsum(np.diff(starts)[node])


def _joined_keys(joins, n, skip, room):
    """The sorted keys lo*n + hi of the pairs ``joins`` (from ``_joins``)
    make that are not in the sorted ``skip``, made about _JOIN_KEYS at a
    time so that no more than a chunk is held beside the answer; None as
    soon as the answer would hold more than ``room`` keys (None: no bound)."""
    starts, others, node, joined, cost = joins
    found = np.empty(0, dtype=np.int64)
    start = 0
    while start < len(node):
        done = cost[start - 1] if start else 0
        stop = max(start + 1, int(np.searchsorted(cost, done + _JOIN_KEYS, side="right")))
        t = node[start:stop]
        count = starts[t + 1] - starts[t]
        # Row r's neighbours: others[starts[t[r]] + 0 .. count[r] - 1].
        at = np.repeat(starts[t] - (np.cumsum(count) - count), count)
        at += np.arange(len(at))
        y = others[at]
        x = np.repeat(joined[start:stop], count)
        del at
        keep = x != y
        x, y = x[keep], y[keep]
        del keep
        keys = sorted_unique(np.minimum(x, y) * n + np.maximum(x, y))
        del x, y
        found = union(found, keys[~among(skip, keys)])
        if room is not None and len(found) > room:
            return None
        start = stop
    return found


def within(graph, score, threshold, *, rounds=20, limit=None):
    """Every pair (u < v) scoring at least ``threshold`` in the graph's
    direction that the graph's edges reach by joins: start from the edges
    over the threshold, then score the pairs among each node's neighbours
    over it until no new pair passes. Returns (u, v, forward, backward,
    scored), or None with a ``limit``: as soon as the pairs scored and to
    be scored would be more than ``limit``, or the joins would make more
    than _JOIN_PER_PAIR keys a pair of it (on groups of near-duplicates,
    where scoring every pair costs less). Memory stays within the pairs
    found and scored and a chunk of joins."""
    n = graph.n
    u, v, f, b, _, _ = graph.edges()
    over = key_of(f, b, graph.direction) >= threshold
    u, v, f, b = u[over], v[over], f[over], b[over]
    lo, hi = np.minimum(u, v), np.maximum(u, v)
    swap = u > v
    f, b = np.where(swap, b, f), np.where(swap, f, b)
    pair_keys, first = np.unique(lo * n + hi, return_index=True)
    found_f, found_b = f[first], b[first]
    del u, v, f, b, lo, hi, swap, over, first
    tried = pair_keys.copy()
    fresh = pair_keys
    scored = made = 0
    for _ in range(rounds):
        # Joins over the threshold graph, through the pairs that passed last.
        joins = _joins(pair_keys, fresh, n)
        made += int(joins[-1][-1]) if len(fresh) else 0
        if limit is not None and made > _JOIN_PER_PAIR * limit:
            return None
        cand = _joined_keys(joins, n, tried, None if limit is None else limit - scored)
        del joins
        if cand is None:
            return None
        if not len(cand):
            break
        tried = union(tried, cand)
        passed = []
        for start in range(0, len(cand), _SCORE_BATCH):
            batch = cand[start:start + _SCORE_BATCH]
            forward, backward, _, _ = score(batch // n, batch % n)
            scored += len(batch)
            passing = key_of(forward, backward, graph.direction) >= threshold
            passed.append((batch[passing], forward[passing], backward[passing]))
        del cand
        fresh = np.concatenate([keys for keys, _, _ in passed])
        if not len(fresh):
            break
        pair_keys = np.concatenate([pair_keys, fresh])
        found_f = np.concatenate([found_f] + [f for _, f, _ in passed])
        found_b = np.concatenate([found_b] + [b for _, _, b in passed])
        del passed
        order = np.argsort(pair_keys, kind="stable")
        pair_keys, found_f, found_b = pair_keys[order], found_f[order], found_b[order]
    return pair_keys // n, pair_keys % n, found_f, found_b, scored


@dataclasses.dataclass(frozen=True)
class SearchSettings:
    """How a query walks the graph unless its caller says otherwise, in one
    place. A larger index has more documents in a query's way, so the pool
    and the seeds grow with its n distinct documents up to a cap: on 100 000
    code chunks, 256 seeds and a pool of 128 took one-way recall from 0.930
    to 0.950 for 1.6 times the pairs, still 1% of scoring them all. Seeds
    cost a pair each: 128 rather than 32 took 10 000 prose chunks' recall
    from 0.948 / 0.942 to 0.956 / 0.955 for 12% more.

    expand: pool entries each query expands per round;
    rounds: expansion rounds at most;
    pool(n, k, settled): the pool each query keeps: max(4k, n / 800), the
        second at least ``pool_least`` and at most ``pool_most``; on a graph
        that has had only its search rounds (BuildSettings.search_rounds),
        ``unsettled`` times that, up to ``pool_most``: on 10 000 prose
        chunks such a graph's pool of 64 found 0.942 / 0.956, 128 found
        0.955 / 0.963 for 22% more pairs per query (532 to 648);
    seeds(n, floor): the sketch candidates a query starts from: n / 400,
        at least ``seeds_least`` and at most ``seeds_most``, and never
        fewer than ``floor`` (the index's own seeds per new document)."""

    expand: int = 8
    rounds: int = 12
    pool_per: int = 800
    pool_least: int = 64
    pool_most: int = 128
    seeds_per: int = 400
    seeds_least: int = 128
    seeds_most: int = 256
    unsettled: int = 2

    def pool(self, n, k, settled=True):
        pool = max(4 * k, min(self.pool_most, max(self.pool_least, n // self.pool_per)))
        return pool if settled else max(pool, min(self.pool_most, self.unsettled * pool))

    def seeds(self, n, floor=0):
        return max(floor, min(self.seeds_most, max(self.seeds_least, n // self.seeds_per)))


SEARCH = SearchSettings()


def search_pool(n, k, settled=True):
    """The default pool of a query for k answers in an index of n (whose
    graph has had all its rounds, or only its search rounds)."""
    return SEARCH.pool(n, k, settled)


def search_seeds(n, floor=0):
    """The default sketch seeds of a query in an index of n, at least ``floor``."""
    return SEARCH.seeds(n, floor)


def search(seeds, neighbours, score, *, pool=None, expand=SEARCH.expand, rounds=SEARCH.rounds,
           k=10):
    """Best-first search for queries that are not nodes. ``seeds`` (q, c):
    node ids to start from (NO_NEIGHBOUR: none); ``neighbours`` (n, degree): the
    graph to walk; ``score(query_rows, nodes)`` the keys of those pairs.
    Each round expands every query's ``expand`` best unexpanded nodes of its
    ``pool`` (by default ``search_pool(len(neighbours), k)``). Returns (ids,
    keys) of shape (q, pool), best first (ties by the smaller id),
    NO_NEIGHBOUR/-inf where unused, and the number of pairs scored."""
    q, n = len(seeds), len(neighbours)
    pool = search_pool(n, k) if pool is None else pool
    ids = np.full((q, pool), NO_NEIGHBOUR, dtype=np.int64)
    keys = np.full((q, pool), -np.inf)
    done = np.zeros((q, pool), dtype=bool)
    visited = np.empty(0, dtype=np.int64)
    rows, nodes = np.nonzero(seeds != NO_NEIGHBOUR)
    nodes = seeds[rows, nodes]
    scored = 0
    for _ in range(rounds + 1):
        pair = sorted_unique(rows * n + nodes)
        pair = pair[~among(visited, pair)]
        if not len(pair):
            break
        visited = union(visited, pair)
        rows, nodes = pair // n, pair % n
        found = score(rows, nodes)
        scored += len(pair)
        # Merge into each query's pool: best key first, ties by the smaller id.
        all_rows = np.concatenate([np.repeat(np.arange(q), pool), rows])
        all_ids = np.concatenate([ids.reshape(-1), nodes])
        all_keys = np.concatenate([keys.reshape(-1), np.where(np.isnan(found), -np.inf, found)])
        all_done = np.concatenate([done.reshape(-1), np.zeros(len(rows), dtype=bool)])
        order = np.lexsort((all_ids, -all_keys, all_rows))
        all_rows = all_rows[order]
        rank = np.arange(len(order)) - np.searchsorted(all_rows, all_rows)
        take = rank < pool
        at, r = order[take], rank[take]
        ids[all_rows[take], r] = all_ids[at]
        keys[all_rows[take], r] = all_keys[at]
        done[all_rows[take], r] = all_done[at]
        ids[~np.isfinite(keys)] = NO_NEIGHBOUR
        open_ = (ids != NO_NEIGHBOUR) & ~done
        open_ &= np.cumsum(open_, axis=1) <= expand
        if not open_.any():
            break
        done |= open_
        qr, slot = np.nonzero(open_)
        nxt = neighbours[ids[qr, slot]]
        rows = np.repeat(qr, nxt.shape[1])
        nodes = nxt.reshape(-1)
        keep = nodes != NO_NEIGHBOUR
        rows, nodes = rows[keep], nodes[keep]
    return ids, keys, scored
