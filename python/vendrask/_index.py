"""vendrask.Index: documents kept with their sizes, a sketch each and a graph of
near neighbours, so that searches score a few pairs instead of all of them.

Every score the index returns is computed by the native core exactly as the
in-process functions compute it; only which pairs get scored is approximate,
and ``exact=True`` scores them all. Work is on distinct documents (corpus
ids); positions, which may repeat a document, are mapped at the end.
"""
import collections

import numpy as np

from . import JOINT_SIZE_LIMIT, _checks
from ._corpus import Corpus
from ._descent import EMPTY, Graph, descend, key_of, search, within
from ._documents import documents
from ._plan import Plan
from ._progress import JobProgress
from ._reduce import Pairs, TopK
from ._sorted import distinct
from ._sketch import DIM, Sketcher, most_similar, seeds as sketch_seeds

# Pairs sent to the native core at once: big enough to keep every worker
# busy, small enough that the arrays around them stay at tens of MiB.
_BATCH = 1 << 20
# New and old neighbours of each document in the one-way graph that join
# the walked graph's in each round. The walk, by the mean, reaches a
# document's best one-way primers late or not at all; with 4, one-way
# recall on 100 000 code chunks went from 0.930 to 0.944 for 9% more pairs
# (8 gave no more).
_JOINED = 4
# The directions whose graphs an index builds and keeps.
BUILT = ("mean", "forward")


class Index:
    """Documents to search, deduplicate and cluster without scoring every pair.

    ``Index(docs)`` stores the documents (``str`` as UTF-8, or bytes-like;
    cut to ``max_bytes`` first), computes each distinct document's lone and
    self-primed sizes once, and links each to its near neighbours: seeds from
    byte 4-gram sketches, refined by the exact measure (NN-descent). Searches
    then walk that graph. Tuning:

    degree: neighbours kept per distinct document (memory and build cost
        grow with it, and recall with it);
    candidates: sketch neighbours scored exactly to seed each new document;
    rounds: refinement rounds at most (a round stops the build early once
        few edges change).

    Pairs of documents longer together than the joint size limit are never
    scored and never found (as with ``errors="nan"`` elsewhere).

    client: a ``distributed.Client`` (``vendrask[dask]``) on whose cluster
        every batch of exact scores runs, with the same results: the sizes
        of new documents, the pairs scored to build, refine and search the
        graph, and the ``exact=True`` searches (``vendrask.dask.nearest``
        and ``pairs``). Each method's ``client`` overrides it for one call.
        Tasks take their workers' threads (``workers`` is for this
        process), and the Dask config ``vendrask.dask.timeout`` bounds a
        wait. The client is never saved or pickled.
    """

    client = None  # also for an index pickled before there was one

    def __init__(self, docs=(), *, max_bytes=None, workers=1, progress=None, degree=24,
                 candidates=32, rounds=20, client=None):
        self.client = None if client is None else _cluster(client).client
        self.max_bytes = _checks.max_bytes(max_bytes)
        self.workers = _checks.worker_count(workers)
        self.degree = _checks.positive("degree", degree)
        self.candidates = _checks.positive("candidates", candidates)
        self.rounds = _checks.positive("rounds", rounds)
        self.corpus = Corpus(self.max_bytes)
        self.ids = np.empty(0, dtype=np.int64)  # the corpus id of each position
        self.vectors = np.empty((0, DIM), dtype=np.int8)
        self.sketcher = Sketcher()
        # Built as documents come: "mean" is the graph every search walks;
        # "forward" collects the same scored pairs by one direction.
        self.graphs = {direction: Graph(0, degree, direction, self.corpus.measures)
                       for direction, degree in self._degrees(self.degree).items()}
        self._graphs = {}
        self.scored = 0  # pairs scored in this process, for benchmarks
        self._by_id = None
        if len(docs) if hasattr(docs, "__len__") else True:
            self.add(docs, progress=progress)

    def __getstate__(self):
        state = self.__dict__.copy()
        state.pop("client", None)  # a connection, not part of the index
        return state

    # -- the documents

    def __len__(self):
        return len(self.ids)

    def __getitem__(self, position):
        if not isinstance(position, (int, np.integer)) or isinstance(position, bool):
            raise TypeError(f"Index positions are integers, not {type(position).__name__}")
        n = len(self.ids)
        if not -n <= position < n:
            raise IndexError(f"position {position} is out of range for {n} documents")
        return self.corpus.strings[self.ids[position]]

    def __iter__(self):
        strings = self.corpus.strings
        return (strings[i] for i in self.ids.tolist())

    def __repr__(self):
        return (f"vendrask.Index({len(self)} documents, {len(self.corpus)} distinct, "
                f"max_bytes={self.max_bytes})")

    def add(self, docs, *, progress=None, client=None):
        """Adds documents; returns the positions given to them (int64).
        Equal documents are stored and sized once."""
        from ._api import report
        cluster = self._on(client)
        cut = []
        new_docs = documents(docs, "docs", self.max_bytes, False, cut)
        corpus, before = self.corpus, len(self.corpus)
        ids = corpus.add(new_docs)
        positions = np.arange(len(self.ids), len(self.ids) + len(ids))
        report(self.max_bytes, len(new_docs), [f"docs[{k}]" for k in cut], [], [], stacklevel=2)
        fresh = np.arange(before, len(corpus))
        with JobProgress(progress, 2 * len(fresh)) as job:
            failure = corpus.compute_sizes(fresh, fresh, self.workers, job, cluster)
            if failure is not None:
                raise RuntimeError(failure)
            self.vectors = np.concatenate([self.vectors, self.sketcher.sketch(
                [corpus.strings[i] for i in fresh.tolist()], job.poll)])
            for graph in self.graphs.values():
                graph.grow(len(corpus))
            if len(fresh):
                self._link(fresh, job, cluster)
            job.finish()
        self.ids = np.concatenate([self.ids, ids])
        self._graphs, self._by_id = {}, None
        return positions

    def _link(self, fresh, job, cluster):
        """Seeds the new ids' edges from their sketches, then refines the whole graph."""
        seeds = sketch_seeds(fresh, self.vectors, self.candidates, poll=job.poll)
        u = np.repeat(fresh, seeds.shape[1])
        v = seeds.reshape(-1)
        keep = (v != EMPTY) & (v != u)
        u, v = u[keep], v[keep]
        if len(u) and len(self.corpus) > len(fresh):
            # A few random old documents too, so that a new island of
            # documents still meets the rest of the graph.
            rng = np.random.default_rng(len(self.corpus))
            extra = rng.integers(0, len(self.corpus), len(fresh) * 2)
            u, v = np.concatenate([u, np.repeat(fresh, 2)]), np.concatenate([v, extra])
            keep = u != v
            u, v = u[keep], v[keep]
        lo, hi = np.minimum(u, v), np.maximum(u, v)
        keys = distinct(lo * len(self.corpus) + hi)
        u, v = keys // len(self.corpus), keys % len(self.corpus)
        score = self._scorer(self.corpus, job, cluster=cluster)
        scores = score(u, v)
        others = [graph for graph in self.graphs.values() if graph is not self._walked]
        for graph in self.graphs.values():
            graph.offer(u, v, *scores)
        descend(self._walked, score, rounds=self.rounds, sample=self.degree // 2,
                followers=others, joined=_JOINED, tried=keys)

    @property
    def _walked(self):
        return self.graphs["mean"]

    @staticmethod
    def _degrees(degree):
        """The degree of each built graph. The one-way graph keeps only as
        many as a default search returns: it collects the same pairs as the
        walked one, so its best 10 are what a wider one's best 10 would be."""
        return {"mean": degree, "forward": min(degree, 10)}

    def _on(self, client):
        """What runs this call's batches of sizes: the cluster of ``client``
        (by default the index's), or None for this process."""
        client = self.client if client is None else client
        return None if client is None else _cluster(client)

    def _scorer(self, corpus, job, workers=None, cluster=None):
        """score(u, v) -> (measure(u, v), measure(v, u), v after u, u after v)
        over corpus ids: the two measures, NaN where the pair does not fit
        together and 1.0 for the same id, and the two cross sizes (uint16, 0
        where not compressed). ``cluster`` runs the batches of sizes (None:
        this process's threads)."""
        lengths = corpus.lengths
        workers = self.workers if workers is None else workers

        def score(u, v):
            forward = np.full(len(u), np.nan)
            backward = np.full(len(u), np.nan)
            there = np.zeros(len(u), dtype=np.uint16)
            back = np.zeros(len(u), dtype=np.uint16)
            same = u == v
            forward[same] = backward[same] = 1.0
            todo = np.flatnonzero(~same & (lengths[u] + lengths[v] <= JOINT_SIZE_LIMIT))
            for start in range(0, len(todo), _BATCH):
                at = todo[start:start + _BATCH]
                job.total += 2 * len(at)
                self.scored += len(at)
                v_after_u, u_after_v, failure = corpus.cross_sizes(
                    u[at], v[at], workers=workers, progress=job, sizes=cluster)
                if failure is None:
                    forward[at], backward[at], failure = corpus.measures(
                        u[at], v[at], v_after_u, u_after_v)
                if failure is not None:
                    raise RuntimeError(failure)
                # The joint size limit keeps a cross size far below 2**16.
                there[at], back[at] = v_after_u, u_after_v
            return forward, backward, there, back
        return score

    # -- searches

    def nearest(self, queries, k=10, *, symmetric=None, exact=False, workers=None,
                progress=None, candidates=None, seeds=None, client=None):
        """The ``k`` best documents of the index for each query: ``(scores,
        indices)`` of shape ``(len(queries), k)``, as
        ``vendrask.nearest(queries, list(index), k=k, symmetric=symmetric,
        errors="nan")`` gives them (score ``measure(queries[i], index[j])``,
        or both directions combined; best first, ties by the smaller index,
        padded with NaN and -1). With ``exact`` that call's result bit for
        bit; otherwise only the documents the search reaches are scored
        (``candidates``: the pool each query keeps, by default max(4k, 64)
        growing to 128 with the index; ``seeds``: the sketch candidates it
        starts from, by default 128 growing to 256, and at least the
        index's ``candidates``)."""
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        cut = []
        qdocs = documents(queries, "queries", self.max_bytes, False, cut)
        overlay = self.corpus.overlay()
        qids = overlay.add(qdocs)
        from ._api import report
        report(self.max_bytes, len(qdocs), [f"queries[{i}]" for i in cut], [], [], stacklevel=2)
        if exact or not len(self.ids) or not len(qids):
            if cluster is not None and len(self.ids) and len(qids):
                return cluster.nearest(qdocs, list(self), k=k, symmetric=symmetric,
                                       progress=progress)
            plan = Plan(overlay, qids, self.ids, direction=direction, errors="nan",
                        names=("queries", "docs"))
            reducer = TopK(len(qids), k, None, leave_out_own=False, n_cols=len(self.ids))
            return plan.run(reducer, workers, progress)
        # A larger index has more documents in a query's way: on 100 000 code
        # chunks, 256 seeds and a pool of 128 took one-way recall from 0.930
        # to 0.950 for 1.6 times the pairs, still 1% of scoring them all.
        # Seeds cost a pair each: 128 rather than 32 took 10 000 prose
        # chunks' recall from 0.948 / 0.942 to 0.956 / 0.955 for 12% more.
        n = len(self.corpus)
        pool = (max(4 * k, min(128, max(64, n // 800))) if candidates is None
                else _checks.positive("candidates", candidates))
        seeds = (max(self.candidates, min(256, max(128, n // 400))) if seeds is None
                 else _checks.positive("seeds", seeds))
        distinct, where = np.unique(qids, return_inverse=True)
        with JobProgress(progress, 0) as job:
            fresh = distinct[distinct >= len(self.corpus)]
            job.total += 2 * len(fresh)
            failure = overlay.compute_sizes(fresh, fresh, workers, job, cluster)
            if failure is not None:
                raise RuntimeError(failure)
            vectors = self.sketcher.sketch([overlay.strings[i] for i in distinct.tolist()],
                                           job.poll, learn=False)
            starts = most_similar(vectors, self.vectors, seeds, poll=job.poll)
            own = np.where(distinct < len(self.corpus), distinct, EMPTY)
            starts = np.concatenate([own[:, None], starts], axis=1)
            score = self._scorer(overlay, job, workers, cluster)

            def keys(rows, nodes):
                forward, backward, _, _ = score(distinct[rows], nodes)
                return key_of(forward, backward, direction)
            ids, found, _ = search(starts, self._walked.ids, keys, pool=pool, expand=8, rounds=12)
            job.finish()
        scores, positions = self._positions(ids, found, k)
        return scores[where.reshape(-1)], positions[where.reshape(-1)]

    def neighbors(self, k=10, *, symmetric=None, exact=False, workers=None, progress=None,
                  client=None):
        """The ``k`` best other documents of each document of the index:
        ``vendrask.nearest(list(index), k=k, symmetric=symmetric,
        errors="nan")``, exactly so with ``exact``. Each row leaves out its
        own position; other positions holding the same bytes stay, at 1.0."""
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        if exact or not len(self.ids):
            if cluster is not None and len(self.ids):
                return cluster.nearest(list(self), k=k, symmetric=symmetric, progress=progress)
            plan = Plan(self.corpus, self.ids, None, direction=direction, errors="nan",
                        names=("docs", "docs"))
            reducer = TopK(len(self.ids), k, None, leave_out_own=True, n_cols=len(self.ids))
            return plan.run(reducer, workers, progress)
        graph = self._graph(direction, k, workers, progress, cluster)
        return self._positions(graph.ids, graph.keys, k, own=True)

    def _graph(self, direction, k, workers, progress, cluster):
        """The graph keyed in ``direction`` with room for k, refined once and kept."""
        if direction in self.graphs and k <= self.graphs[direction].degree:
            return self.graphs[direction]
        degree = max(self.degree, k)
        graph = self._graphs.get(direction)
        if graph is None or graph.degree < degree:
            graph = self._walked.rekeyed(direction, degree)
            if direction in self.graphs:
                graph.offer(*self.graphs[direction].edges(), both=False)
            with JobProgress(progress, 0) as job:
                descend(graph, self._scorer(self.corpus, job, workers, cluster),
                        rounds=self.rounds, sample=degree // 2)
                job.finish()
            self._graphs[direction] = graph
        return graph

    def pairs(self, threshold, *, symmetric="mean", exact=False, workers=None, progress=None,
              client=None):
        """Every pair scoring at least ``threshold``: ``(i, j, score)`` as
        ``vendrask.pairs(list(index), threshold=threshold,
        symmetric=symmetric, errors="nan")``, exactly so with ``exact``;
        otherwise the pairs that the graph's neighbours of neighbours reach
        (with symmetric=None, ordered pairs passing in either direction)."""
        threshold = _checks.score("threshold", threshold)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        if exact or not len(self.ids):
            if cluster is not None and len(self.ids):
                return cluster.pairs(list(self), threshold=threshold, symmetric=symmetric,
                                     progress=progress)
            plan = Plan(self.corpus, self.ids, None, direction=direction, errors="nan",
                        names=("docs", "docs"))
            reducer = Pairs(threshold, distinct=symmetric is None, unordered=symmetric is not None)
            return plan.run(reducer, workers, progress)
        reach = "max" if direction == "forward" else direction
        graph = self._walked if reach == self._walked.direction else self._walked.rekeyed(reach)
        with JobProgress(progress, 0) as job:
            u, v, forward, backward, _ = within(
                graph, self._scorer(self.corpus, job, workers, cluster), threshold)
            job.finish()
        return self._position_pairs(u, v, forward, backward, direction, threshold)

    def clusters(self, threshold, *, symmetric="mean", exact=False, graph="pairs", k=10,
                 workers=None, progress=None, client=None):
        """A label (int64, from 0 in order of first appearance) for each
        document: the connected components of the graph of pairs scoring at
        least ``threshold`` (``graph="pairs"``: those of ``pairs``;
        ``graph="neighbors"``: only each document's ``k`` nearest)."""
        kind = _checks.choice("graph", graph, ("pairs", "neighbors"))
        threshold = _checks.score("threshold", threshold)
        try:
            import scipy.sparse
            from scipy.sparse.csgraph import connected_components
        except ImportError as error:
            raise ImportError(f"Index.clusters needs scipy ({error}): "
                              f"pip install 'vendrask[index]'") from None
        n = len(self.ids)
        if kind == "pairs":
            i, j, _ = self.pairs(threshold, symmetric=symmetric, exact=exact, workers=workers,
                                 progress=progress, client=client)
        else:
            scores, index = self.neighbors(k, symmetric=symmetric, exact=exact, workers=workers,
                                           progress=progress, client=client)
            rows, slot = np.nonzero(scores >= threshold)
            i, j = rows, index[rows, slot]
        adjacency = scipy.sparse.coo_array((np.ones(len(i), dtype=np.int8), (i, j)),
                                           shape=(n, n)).tocsr()
        _, labels = connected_components(adjacency, directed=True, connection="weak")
        _, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
        rank = np.empty(len(first), dtype=np.int64)
        rank[np.argsort(first, kind="stable")] = np.arange(len(first))
        return rank[inverse.reshape(-1)]

    def recall(self, sample=200, k=10, *, symmetric=None, seed=0, workers=None, progress=None,
               client=None):
        """The recall@k of the default ``neighbors`` against exact search on
        ``sample`` documents drawn at random: the share of each row's exact
        top k (as many as it has) that the default search matched in score,
        over all sampled rows. A check of the index on your own documents."""
        sample = _checks.positive("sample", sample)
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        n = len(self.ids)
        if n < 2:
            return 1.0
        rows = np.sort(np.random.default_rng(seed).choice(n, min(sample, n), replace=False))
        approx, _ = self.neighbors(k, symmetric=symmetric, workers=workers, progress=progress,
                                   client=client)
        cluster = self._on(client)
        if cluster is not None:
            docs = list(self)
            scores, index = cluster.nearest([docs[r] for r in rows.tolist()], docs, k=k + 1,
                                            symmetric=symmetric, progress=progress)
        else:
            plan = Plan(self.corpus, self.ids[rows], self.ids, direction=direction,
                        errors="nan", names=("docs", "docs"))
            scores, index = plan.run(TopK(len(rows), k + 1, None, n_cols=n), workers, progress)
        own = index == rows[:, None]
        order = np.argsort(own, axis=1, kind="stable")
        exact = np.take_along_axis(np.where(own, np.nan, scores), order, axis=1)[:, :k]
        wanted = np.sum(~np.isnan(exact))
        if not wanted:
            return 1.0
        kth = np.nanmin(np.where(np.isnan(exact), np.inf, exact), axis=1)
        found = np.sum(np.minimum(np.sum(approx[rows] >= kth[:, None], axis=1),
                                  np.sum(~np.isnan(exact), axis=1)))
        return float(found / wanted)

    # -- positions

    def _positions_of(self):
        """(order, starts, counts): the positions of each id, in rising order."""
        if self._by_id is None:
            order = np.argsort(self.ids, kind="stable")
            counts = np.bincount(self.ids, minlength=len(self.corpus))
            starts = np.concatenate([[0], np.cumsum(counts)])
            self._by_id = order, starts, counts
        return self._by_id

    def _positions(self, ids, keys, k, own=False):
        """Position-level (scores, indices) of shape (rows, k) from id-level
        lists ``ids`` (rows, w) with their ``keys``; rows are ids' lists
        for queries, or (``own``) for the index's own ids, expanded to
        every position holding that id, which leaves itself out and lists
        its equal positions at 1.0."""
        order, starts, counts = self._positions_of()
        per = int(min(k + own, max(1, counts.max() if len(counts) else 1)))
        valid = (ids != EMPTY) & np.isfinite(keys)
        rows, slot = np.nonzero(valid)
        cand_ids, cand_keys = ids[rows, slot], keys[rows, slot]
        if own:
            # Each row's own id, at 1.0, for the positions that repeat it.
            rows = np.concatenate([rows, np.arange(len(ids))])
            cand_ids = np.concatenate([cand_ids, np.arange(len(ids))])
            cand_keys = np.concatenate([cand_keys, np.ones(len(ids))])
        take = np.minimum(counts[cand_ids], per)
        row = np.repeat(rows, take)
        rank = np.arange(take.sum()) - np.repeat(np.cumsum(take) - take, take)
        position = order[starts[np.repeat(cand_ids, take)] + rank]
        key = np.repeat(cand_keys, take)
        if own:
            # Rows are positions: each position takes its id's candidates.
            pos_rows = self.ids
            sort = np.lexsort((position, -key, row))
            row, position, key = row[sort], position[sort], key[sort]
            starts_r = np.searchsorted(row, np.arange(len(ids) + 1))
            width = k + 1
            out_scores = np.full((len(pos_rows), k), np.nan)
            out_index = np.full((len(pos_rows), k), -1, dtype=np.int64)
            lo, hi = starts_r[pos_rows], np.minimum(starts_r[pos_rows + 1], starts_r[pos_rows] + width)
            grab = hi - lo
            prow = np.repeat(np.arange(len(pos_rows)), grab)
            at = np.arange(grab.sum()) - np.repeat(np.cumsum(grab) - grab, grab) + np.repeat(lo, grab)
            cand_pos = position[at]
            keep = cand_pos != prow  # leave out the row's own position
            prow, cand_pos, cand_key = prow[keep], cand_pos[keep], key[at][keep]
            rank = np.arange(len(prow)) - np.searchsorted(prow, prow)
            fit = rank < k
            out_scores[prow[fit], rank[fit]] = cand_key[fit]
            out_index[prow[fit], rank[fit]] = cand_pos[fit]
            return out_scores, out_index
        sort = np.lexsort((position, -key, row))
        row, position, key = row[sort], position[sort], key[sort]
        rank = np.arange(len(row)) - np.searchsorted(row, row)
        fit = rank < k
        out_scores = np.full((len(ids), k), np.nan)
        out_index = np.full((len(ids), k), -1, dtype=np.int64)
        out_scores[row[fit], rank[fit]] = key[fit]
        out_index[row[fit], rank[fit]] = position[fit]
        return out_scores, out_index

    def _position_pairs(self, u, v, forward, backward, direction, threshold):
        """Position-level pairs from id pairs u < v (both directions known),
        plus the pairs of positions holding the same id (1.0), as pairs()."""
        from ._plan import score as combine
        order, starts, counts = self._positions_of()
        repeated = np.flatnonzero(counts > 1)
        parts = []
        if direction == "forward":
            # Ordered pairs: u -> v scores forward, v -> u backward.
            sides = [(u, v, forward), (v, u, backward)]
        else:
            sides = [(u, v, combine(forward, backward, direction))]
        for a, b, s in sides:
            keep = s >= threshold
            a, b, s = a[keep], b[keep], s[keep]
            n_a, n_b = counts[a], counts[b]
            total = n_a * n_b
            pair = np.repeat(np.arange(len(a)), total)
            r = np.arange(total.sum()) - np.repeat(np.cumsum(total) - total, total)
            i = order[starts[a][pair] + r // n_b[pair]]
            j = order[starts[b][pair] + r % n_b[pair]]
            if direction != "forward":
                i, j = np.minimum(i, j), np.maximum(i, j)
            parts.append((i, j, s[pair]))
        if len(repeated):
            c = counts[repeated]
            total = c * c
            pair = np.repeat(np.arange(len(repeated)), total)
            r = np.arange(total.sum()) - np.repeat(np.cumsum(total) - total, total)
            i = order[starts[repeated][pair] + r // c[pair]]
            j = order[starts[repeated][pair] + r % c[pair]]
            keep = i != j if direction == "forward" else i < j
            parts.append((i[keep], j[keep], np.ones(int(keep.sum()))))
        i, j, s = (np.concatenate(part) for part in zip(*parts))
        sort = np.lexsort((j, i))
        return i[sort].astype(np.int64), j[sort].astype(np.int64), s[sort]

    # -- files

    def save(self, path, *, progress=None):
        """Writes the index to ``path`` atomically (a temporary file beside
        it, then a rename): a failure or Ctrl-C leaves what was there."""
        from . import _store
        _store.save(self, path, progress)

    @classmethod
    def load(cls, path, *, workers=1, progress=None, client=None):
        """The index saved at ``path``. A truncated, corrupt or foreign file,
        or one saved under a zlib build whose values differ from this one's,
        raises IndexFileError. ``client`` as for Index()."""
        from . import _store
        client = None if client is None else _cluster(client).client
        index = _store.load(cls, path, workers, progress)
        index.client = client
        return index

    def info(self):
        """What the index holds: counts, its limits and build, its memory."""
        from . import _store
        held = (self.ids.nbytes + self.vectors.nbytes
                + sum(g.ids.nbytes + g.there.nbytes + g.back.nbytes + g.new.nbytes
                      for g in self.graphs.values())
                + self.corpus.lengths.nbytes * 2 + sum(map(len, self.corpus.strings)))
        return collections.OrderedDict([
            ("documents", len(self.ids)), ("distinct", len(self.corpus)),
            ("max_bytes", self.max_bytes), ("zlib", zlib_identity(self.corpus.zlib)),
            ("format", _store.FORMAT), ("degree", self.degree), ("bytes", int(held)),
        ])


def _cluster(client):
    """The runner of an index's batches on the cluster of ``client``."""
    from .dask._sizes import ClusterSizes
    return ClusterSizes(client)


def zlib_identity(zlib):
    """One line naming a zlib build, as recorded by a corpus."""
    kind = "zlib-ng" if zlib.get("zlib_ng") else "zlib"
    link = "static" if zlib.get("static") else "shared"
    return f"{kind} {zlib.get('version')} ({link})"
