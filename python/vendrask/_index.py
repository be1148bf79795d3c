"""vendrask.Index: documents kept with their sizes, a sketch each and a graph of
near neighbours, so that searches score a few pairs instead of all of them.

Every score the index returns is computed by the native core exactly as the
in-process functions compute it; only which pairs get scored is approximate,
and ``exact=True`` scores them all. Work is on distinct documents (corpus
ids); positions, which may repeat a document, are mapped at the end.
"""
import collections
import contextlib
import copy
import math
import threading

import numpy as np

from . import _checks, _pairs
from ._corpus import Corpus
from ._descent import (BUILD, Graph, build_sample, descend, graph_degrees, key_of, link,
                       search, search_pool, search_seeds, within)
from ._documents import documents
from ._plan import Plan, Side, listed, reduced, same_scores
from ._progress import JobProgress
from ._reduce import Pairs, TopK, listed_pairs
from ._sketch import Sketches, reranked
from ._minhash import SLOTS, Bands, signatures as minhash_signatures
from ._rescore import FALLBACK_SHARE, rescore, screen, setting

# Pairs sent to the native core at once: big enough to keep every worker
# busy, small enough that the arrays around them stay at tens of MiB.
_BATCH = 1 << 20
# New and old neighbours of each document in the one-way graph that join
# the walked graph's in each round. The walk, by the mean, reaches a
# document's best one-way primers late or not at all; with 4, one-way
# recall on 100 000 code chunks went from 0.930 to 0.944 for 9% more pairs
# (8 gave no more).
_JOINED = 4
# How pairs() finds its candidates.
VIAS = ("sketch", "graph")


class _State:
    """What an index holds, replaced whole by every change: an add builds
    the next state on copies and puts it in place with one assignment, so
    that an add stopped at any point leaves the index as it was, and a
    search in another thread works on one state from start to end. Once in
    place a state is never changed, but for the caches of what searches
    derive from it (two threads may both make one; they make the same)."""

    __slots__ = ("corpus", "ids", "sketches", "graphs", "signatures", "settled", "tried",
                 "rekeyed", "by_id", "found", "bands")
    FIELDS = ("corpus", "ids", "sketches", "graphs", "signatures", "settled")

    def __init__(self, corpus, ids, sketches, graphs, signatures, settled=0):
        self.corpus = corpus
        self.ids = ids  # the corpus id of each position
        self.sketches = sketches  # of each corpus id, and what finds the nearest
        # "mean" is the graph every search walks; "forward" collects the
        # same scored pairs by one direction. They hold the first
        # graphs["mean"].n corpus ids: an add leaves them as they were, and
        # the ids after those are linked when a search first needs the graph.
        self.graphs = graphs
        # The MinHash signature of each corpus id (threshold queries).
        self.signatures = signatures
        # The graph has had all its rounds for the first ``settled`` ids;
        # after those, only the rounds a search needs (BUILD.search_rounds).
        self.settled = settled
        # While it is not settled: (n, sorted keys lo*n + hi) of the pairs
        # its rounds tried, which the last rounds need not try again (a
        # fifth of what their first round proposed on prose). Not saved.
        self.tried = None
        self.rekeyed = {}  # direction -> that graph keyed so, refined once
        self.by_id = None  # the positions as a Side: grouped by id
        self.found = None  # (arguments, result) of the last pairs()
        self.bands = {}  # (bands, rows) -> (member ids, their Bands)

    def replace(self, **fields):
        values = {name: getattr(self, name) for name in self.FIELDS}
        values.update(fields)
        state = _State(**values)
        if "graphs" not in fields:  # the same graphs (an add): the same pairs tried
            state.tried = self.tried
        return state


def _held(name):
    """An attribute of the index's state: read from the current state;
    set (as Index.load does) by putting a state with it in place."""
    def get(self):
        return getattr(self._state, name)

    def put(self, value):
        with self._writing():
            self._state = self._state.replace(**{name: value})
    return property(get, put)


def _sketches_part(name):
    """The sketches' ``vectors`` or ``sketcher``, as ``_held``."""
    def get(self):
        return getattr(self._state.sketches, name)

    def put(self, value):
        with self._writing():
            state = self._state
            self._state = state.replace(sketches=state.sketches.replace(**{name: value}))
    return property(get, put)


class Index:
    """Documents to search, deduplicate and cluster without scoring every pair.

    ``Index(docs)`` stores the documents (``str`` as UTF-8, or bytes-like;
    cut to ``max_bytes`` first), computes each distinct document's lone and
    self-primed sizes once, and two sketches of it: byte 4-gram vectors and
    a MinHash signature. Threshold queries (``pairs``, ``clusters``,
    ``duplicates``) find their candidates through the signatures alone.
    Searches for the nearest (``nearest``, ``neighbors``, ``recall``) walk a
    graph that links each document to its near neighbours: seeds from the
    vectors, refined by the exact measure (NN-descent). The graph costs
    far more than the rest, so it is built when first needed, or by
    ``build_graph()``; an add leaves it to be extended likewise. A search
    needs only its first rounds; the rest come when the graph's own lists
    are first asked for (``neighbors``, ``recall``). Tuning:

    degree: neighbours kept per distinct document (memory and build cost
        grow with it, and recall with it);
    seeds: sketch neighbours scored exactly to seed each new document in
        the graph (``candidates``, its former name, is deprecated);
    rounds: refinement rounds at most (a round stops the build early once
        few edges change).

    Pairs of documents longer together than the joint size limit are never
    scored and never found (as with ``errors="nan"`` elsewhere).

    An index may be shared between threads: searches run side by side, and
    each sees the index as it was before or after an add, never in between.
    Adds run one at a time.

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

    corpus = _held("corpus")
    ids = _held("ids")
    sketches = _held("sketches")
    vectors = _sketches_part("vectors")
    sketcher = _sketches_part("sketcher")
    graphs = _held("graphs")
    signatures = _held("signatures")
    settled = _held("settled")

    def __init__(self, docs=(), *, max_bytes=None, workers=1, progress=None, degree=24,
                 seeds=None, rounds=20, client=None, candidates=None):
        self.client = None if client is None else _cluster(client).client
        self.max_bytes = _checks.max_bytes(max_bytes)
        self.workers = _checks.worker_count(workers)
        self.degree = _checks.positive("degree", degree)
        seeds = _checks.renamed("candidates", candidates, "seeds", seeds)
        self.seeds = BUILD.seeds if seeds is None else _checks.positive("seeds", seeds)
        self.rounds = _checks.positive("rounds", rounds)
        self.scored = 0  # pairs scored in this process, for benchmarks
        self._unlocked()
        corpus = Corpus(self.max_bytes)
        self._state = _State(
            corpus, np.empty(0, dtype=np.int64), Sketches(),
            {direction: Graph(0, degree, direction, corpus.measures)
             for direction, degree in graph_degrees(self.degree).items()},
            np.empty((0, SLOTS), dtype=np.uint32))
        if len(docs) if hasattr(docs, "__len__") else True:
            self.add(docs, progress=progress)

    def _unlocked(self):
        self._lock = threading.Lock()  # held by the change being made
        self._writer = None  # the thread making it
        self._counting = threading.Lock()

    def __getstate__(self):
        # The bytes of its file, so that a pickle is checked as a file is,
        # both ways; not the client (a connection) nor the locks.
        from . import _store
        return {"file": _store.dumps(self._holding(self._state)), "workers": self.workers,
                "scored": self.scored}

    def __copy__(self):
        # The same state (a state in place never changes), locks of its own.
        other = type(self).__new__(type(self))
        other.__dict__.update((name, value) for name, value in self.__dict__.items()
                              if name not in ("client", "_lock", "_writer", "_counting"))
        other._unlocked()
        return other

    @property
    def candidates(self):
        """The former name of ``seeds``."""
        return self.seeds

    def __setstate__(self, state):
        state = dict(state)
        if "file" in state:
            from . import _store
            loaded = _store.loads(type(self), state.pop("file"), state["workers"])
            self.__dict__.update(loaded.__dict__)
            self.__dict__.update(state)
            return
        # A pickle of an earlier version: the state's parts by name.
        if "candidates" in state:  # pickled before seeds had its name
            state["seeds"] = state.pop("candidates")
        if "signatures" not in state:  # pickled before signatures were kept
            state["signatures"] = minhash_signatures(state["corpus"].strings)
        if "sketches" not in state:  # pickled before the sketches were one object
            state["sketches"] = Sketches(state.pop("vectors"), state.pop("sketcher"))
        if "settled" not in state:  # pickled before searches came before the last rounds
            state["settled"] = state["graphs"]["mean"].n
        held = _State(**{name: state.pop(name) for name in _State.FIELDS})
        for cache in ("_graphs", "_by_id"):  # an older pickle's caches
            state.pop(cache, None)
        self.__dict__.update(state)
        self._unlocked()
        self._state = held

    @contextlib.contextmanager
    def _writing(self):
        """Makes a change with the index to itself. A change made from
        inside another (from an add's progress callback) would be lost when
        that one is put in place, so it is refused."""
        me = threading.get_ident()
        if self._writer == me:
            raise RuntimeError("an Index cannot be changed while it is being changed (from "
                               "the progress callback of its own add, say)")
        with self._lock:
            try:
                self._writer = me
                yield
            finally:
                self._writer = None

    # -- the documents

    def __len__(self):
        return len(self._state.ids)

    def __getitem__(self, position):
        if not isinstance(position, (int, np.integer)) or isinstance(position, bool):
            raise TypeError(f"Index positions are integers, not {type(position).__name__}")
        state = self._state
        n = len(state.ids)
        if not -n <= position < n:
            raise IndexError(f"position {position} is out of range for {n} documents")
        return state.corpus.strings[state.ids[position]]

    def __iter__(self):
        return _documents_of(self._state)

    def __repr__(self):
        state = self._state
        return (f"vendrask.Index({len(state.ids)} documents, {len(state.corpus)} distinct, "
                f"max_bytes={self.max_bytes})")

    def add(self, docs, *, progress=None, client=None):
        """Adds documents; returns the positions given to them (int64).
        Equal documents are stored and sized once. The graph is extended to
        them when a search next needs it (or by ``build_graph``). All or
        nothing: an exception or Ctrl-C at any point, one from ``progress``
        too, leaves the index as it was. Searches in other threads meanwhile
        see the index as it was until the add is done."""
        from ._api import report
        cluster = self._on(client)
        cut = []
        new_docs = documents(docs, "docs", self.max_bytes, False, cut)
        report(self.max_bytes, len(new_docs), [f"docs[{k}]" for k in cut], [], [], stacklevel=2)
        with self._writing():
            old = self._state
            corpus = old.corpus.copy()
            ids = corpus.add(new_docs)
            fresh = np.arange(len(old.corpus), len(corpus))
            with JobProgress(progress, 2 * len(fresh)) as job:
                failure = corpus.compute_sizes(fresh, fresh, self.workers, job, cluster)
                if failure is not None:
                    raise RuntimeError(failure)
                strings = [corpus.strings[i] for i in fresh.tolist()]
                sketches = old.sketches.add(strings, job.poll)
                signatures = np.concatenate([self._signatures(old),
                                             minhash_signatures(strings, poll=job.poll)])
                new = old.replace(corpus=corpus, ids=np.concatenate([old.ids, ids]),
                                  sketches=sketches, signatures=signatures)
                job.finish()
            self._state = new  # the add, in one step
        return np.arange(len(old.ids), len(new.ids))

    def build_graph(self, *, progress=None, client=None, settle=False):
        """Links every document not yet in the neighbour graph, as the first
        ``nearest`` after a build or an add would (it calls it): to pay for
        it at a time of your choosing, or to save an index with its graph.
        A graph serves searches after a few rounds; ``neighbors``,
        ``recall`` and ``pairs(via="graph")`` list its own edges, and give
        it the rest of its ``rounds`` first (about as many pairs again).
        ``settle``: those rounds too, now. Nothing to do costs nothing.
        All or nothing, as ``add``."""
        state = self._state
        with JobProgress(progress, 0, self._link_work(state, settle)) as job:
            self._graphed(state, job, self._on(client), finish=True, settle=settle)

    def _graphed(self, state, job, cluster, finish=False, settle=False):
        """``state`` with every id in its graph, linking those that are not
        (and with ``settle``, the graph given all its rounds).
        Linking is a change, made under the lock as an add is: a search in
        another thread that needs it too waits, then uses it. If an add
        came in first, the linked state serves this search only.
        ``finish``: ends ``job`` before the change is put in place (an
        exception from its last report leaves the index as it was)."""
        def ready(state):
            n = len(state.corpus)
            return _walked(state).n == n and (not settle or state.settled == n)

        if ready(state):
            if finish:
                job.finish()
            return state
        with self._writing():
            current = self._state
            if current.corpus is state.corpus:
                # Another search may have linked (or settled) it meanwhile.
                if ready(current):
                    if finish:
                        job.finish()
                    return current
                state = current
            n, linked = len(state.corpus), _walked(state).n
            graphs = {direction: graph.copy(n, state.corpus.measures)
                      for direction, graph in state.graphs.items()}
            new = state.replace(graphs=graphs)
            rounds = self.rounds if settle else min(self.rounds, BUILD.search_rounds)
            if linked < n:
                ended, tried = self._link(new, np.arange(linked, n), rounds, job, cluster,
                                          _tried(state, n))
            else:
                ended, tried = self._refine(new, rounds, job, cluster, _tried(state, n))
            # Rounds that ended before their number changed too few edges to
            # go on: the graph is as settled as all its rounds would leave it.
            if ended or rounds == self.rounds:
                new.settled = n
            else:
                new.tried = (n, tried)
            if finish:
                job.finish()
            if current is state:
                self._state = new
        return new

    def _link_work(self, state, settle):
        """About the compressions that linking the ids of ``state`` not yet
        in its graph costs, and with ``settle`` giving it all its rounds."""
        n = len(state.corpus)
        fresh = n - _walked(state).n
        work = _add_work(fresh, n, self.degree, self.rounds) - 2 * fresh
        if not settle:
            return int(work * (1 - _SETTLING))
        if fresh:
            return work
        unsettled = n - state.settled
        return 2 * unsettled * _link_pairs(n, self.degree, self.rounds) * _SETTLING

    def _link(self, state, fresh, rounds, job, cluster, tried):
        """Seeds the new ids' edges from their sketches, then refines the
        whole graph (of ``state``, not yet in place) for ``rounds``, ``tried``
        the pairs its earlier rounds tried (None: not known); whether they
        ended on their own, and the pairs tried."""
        cosines = _fine_cosines(state, job)
        seeds = state.sketches.seeds(
            fresh, self.seeds * BUILD.seed_pool, poll=job.poll,
            choose=lambda rows, found: reranked(rows, found, cosines, self.seeds))
        return link(_walked(state), _followers(state), fresh, seeds,
                    self._scorer(state.corpus, job, cluster=cluster), rounds=rounds,
                    sample=build_sample(self.degree), joined=_JOINED, cosines=cosines,
                    tried=tried)

    def _refine(self, state, rounds, job, cluster, tried):
        """More rounds on the graph of ``state`` (not yet in place), from
        where its last ones stopped, ``tried`` the pairs those tried (None:
        not known); whether they ended on their own, and the pairs tried."""
        return descend(_walked(state), self._scorer(state.corpus, job, cluster=cluster),
                       rounds=rounds, sample=build_sample(self.degree),
                       followers=_followers(state), joined=_JOINED, tried=tried,
                       cosines=_fine_cosines(state, job), top=BUILD.top)[1:]

    def _on(self, client):
        """What runs this call's batches of sizes: the cluster of ``client``
        (by default the index's), or None for this process."""
        client = self.client if client is None else client
        return None if client is None else _cluster(client)

    def _scorer(self, corpus, job, workers=None, cluster=None):
        """score(u, v) -> (measure(u, v), measure(v, u), forward sizes,
        backward sizes) over corpus ids: the two measures, NaN where the pair
        does not fit together and 1.0 for the same id, and the pair's cross
        sizes (uint16, 0 where not compressed). ``cluster`` runs the batches
        of sizes (None: this process's threads)."""
        lengths = corpus.lengths
        workers = self.workers if workers is None else workers

        def score(u, v):
            forward = np.full(len(u), np.nan)
            backward = np.full(len(u), np.nan)
            forward_sizes = np.zeros(len(u), dtype=np.uint16)
            backward_sizes = np.zeros(len(u), dtype=np.uint16)
            same, fit = _pairs.fitting(u, v, lengths, corpus.missing)
            forward[same] = backward[same] = 1.0
            todo = np.flatnonzero(fit)
            for start in range(0, len(todo), _BATCH):
                at = todo[start:start + _BATCH]
                job.grow(2 * len(at))
                with self._counting:
                    self.scored += len(at)
                found_forward, found_backward, failure = corpus.cross_sizes(
                    u[at], v[at], workers=workers, progress=job, runner=cluster)
                if failure is None:
                    forward[at], backward[at], failure = corpus.measures(
                        u[at], v[at], found_forward, found_backward)
                if failure is not None:
                    raise RuntimeError(failure)
                # The joint size limit keeps a cross size far below 2**16.
                forward_sizes[at], backward_sizes[at] = found_forward, found_backward
            return forward, backward, forward_sizes, backward_sizes
        return score

    # -- searches

    def nearest(self, queries, k=10, *, symmetric=None, primed_by="query", exact=False,
                workers=None, progress=None, pool=None, seeds=None, client=None,
                candidates=None):
        """The ``k`` best documents of the index for each query: ``(scores,
        indices)`` of shape ``(len(queries), k)``, as
        ``vendrask.nearest(queries, list(index), k=k, symmetric=symmetric,
        primed_by=primed_by, errors="nan")`` gives them (score
        ``measure(queries[i], index[j])``; with ``primed_by="document"``
        ``measure(index[j], queries[i])``, the query compressed with the
        document as the dictionary, which finds the documents that hold a
        passage; or both directions combined; best first, ties by the
        smaller index, padded with NaN and -1). With ``exact`` that call's
        result bit for bit; otherwise only the documents the search reaches
        are scored (``pool``: the documents each query keeps while it
        walks, by default max(4k, 64) growing to 128 with the index, and
        twice that up to 128 while the graph has had only the rounds a
        search needs (see ``build_graph``); ``seeds``: the sketch
        candidates it starts from, by default 128 growing to 256, and at
        least the index's ``seeds``; ``candidates`` is the former name of
        ``pool``, deprecated). The first search after
        a build or an add links the documents not yet in the graph (see
        ``build_graph``)."""
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric, primed_by)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        pool = _checks.renamed("candidates", candidates, "pool", pool)
        pool = None if pool is None else _checks.positive("pool", pool)
        seeds = None if seeds is None else _checks.positive("seeds", seeds)
        cut = []
        qdocs = documents(queries, "queries", self.max_bytes, False, cut)
        from ._api import report
        report(self.max_bytes, len(qdocs), [f"queries[{i}]" for i in cut], [], [], stacklevel=2)
        state = self._state
        if exact or not len(state.ids) or not len(qdocs):
            if cluster is not None and len(state.ids) and len(qdocs):
                return cluster.nearest(qdocs, list(_documents_of(state)), k=k,
                                       symmetric=symmetric, primed_by=primed_by,
                                       progress=progress)
            overlay = state.corpus.overlay()
            qids = overlay.add(qdocs)
            plan = Plan(overlay, qids, state.ids, direction=direction, errors="nan",
                        names=("queries", "docs"))
            reducer = TopK(len(qids), k, None, leave_out_own=False, n_cols=len(state.ids))
            return plan.run(reducer, workers, progress)
        estimate = self._link_work(state, False) + 2 * len(qdocs) * (
            1 + _search_pairs(len(state.corpus), *self._search_knobs(state, k, pool, seeds)))
        with JobProgress(progress, 0, estimate) as job:
            state = self._graphed(state, job, cluster)
            n = len(state.corpus)
            pool, seeds = self._search_knobs(state, k, pool, seeds)
            overlay = state.corpus.overlay()
            queries = Side(overlay.add(qdocs))
            distinct = queries.place_ids
            fresh = distinct[distinct >= n]
            job.grow(2 * len(fresh))
            failure = overlay.compute_sizes(fresh, fresh, workers, job, cluster)
            if failure is not None:
                raise RuntimeError(failure)
            vectors = state.sketches.sketch([overlay.strings[i] for i in distinct.tolist()],
                                            job.poll)
            starts = state.sketches.query(vectors, seeds, poll=job.poll)
            own = np.where(distinct < n, distinct, _pairs.NO_NEIGHBOUR)
            starts = np.concatenate([own[:, None], starts], axis=1)
            score = self._scorer(overlay, job, workers, cluster)

            def keys(rows, nodes):
                forward, backward, _, _ = score(distinct[rows], nodes)
                return key_of(forward, backward, direction)
            ids, found, _ = search(starts, _walked(state).ids, keys, pool=pool)
            job.finish()
        return self._ranked(state, queries, distinct, ids, found, k)

    def _search_knobs(self, state, k, pool, seeds):
        """(pool, seeds) of a search for k in ``state``, the defaults where None.
        A larger index has more documents in a query's way: on 100 000 code
        chunks, 256 seeds and a pool of 128 took one-way recall from 0.930
        to 0.950 for 1.6 times the pairs, still 1% of scoring them all.
        Seeds cost a pair each: 128 rather than 32 took 10 000 prose
        chunks' recall from 0.948 / 0.942 to 0.956 / 0.955 for 12% more."""
        n = len(state.corpus)
        if pool is None:
            pool = search_pool(n, k, settled=state.settled == n)
        if seeds is None:
            seeds = search_seeds(n, self.seeds)
        return pool, seeds

    def neighbors(self, k=10, *, symmetric=None, exact=False, workers=None, progress=None,
                  client=None):
        """The ``k`` best other documents of each document of the index:
        ``vendrask.nearest(list(index), k=k, symmetric=symmetric,
        errors="nan")``, exactly so with ``exact``. Each row leaves out its
        own position; other positions holding the same bytes stay, at 1.0."""
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        return self._neighbors(self._state, k, symmetric, direction, exact, workers, progress,
                               self._on(client))

    def _neighbors(self, state, k, symmetric, direction, exact, workers, progress, cluster):
        if exact or not len(state.ids):
            if cluster is not None and len(state.ids):
                return cluster.nearest(list(_documents_of(state)), k=k, symmetric=symmetric,
                                       progress=progress)
            plan = Plan(state.corpus, state.ids, None, direction=direction, errors="nan",
                        names=("docs", "docs"))
            reducer = TopK(len(state.ids), k, None, leave_out_own=True, n_cols=len(state.ids))
            return plan.run(reducer, workers, progress)
        estimate = self._link_work(state, True) + self._graph_work(state, k)
        with JobProgress(progress, 0, estimate) as job:
            state = self._graphed(state, job, cluster, settle=True)
            graph = self._kept_graph(state, direction, k)
            if graph is None:
                graph = self._refined_graph(state, direction, k, workers, job, cluster)
            job.finish()
        return self._graph_neighbors(state, graph, k)

    def _kept_graph(self, state, direction, k):
        """The graph of ``state`` keyed in ``direction`` with room for k, if
        it has one already."""
        if direction in state.graphs and k <= state.graphs[direction].degree:
            return state.graphs[direction]
        graph = state.rekeyed.get(direction)
        return graph if graph is not None and graph.degree >= max(self.degree, k) else None

    def _refined_graph(self, state, direction, k, workers, job, cluster):
        """The graph keyed in ``direction`` with room for k, refined once and
        kept. Its rounds score only the pairs the fine sketch ranks near,
        as the build's do. On 10 000 chunks ("min" / "max", compressions per
        document and recall@10 on 200 rows; ``bench/index_bench.py
        --min-max``, before and after) that took code from 415 / 417 to
        125 / 129 (recall 0.988 / 0.981 to 0.983 / 0.978), prose from 391 /
        365 to 142 / 137 (0.966 / 0.978 to 0.960 / 0.967) and manual pages
        from 281 / 282 to 95 / 95 (0.996 / 0.994 to 0.995 / 0.993)."""
        graph = _walked(state).rekeyed(direction, max(self.degree, k))
        if direction in state.graphs:
            graph.offer(*state.graphs[direction].edges(), both=False)
        descend(graph, self._scorer(state.corpus, job, workers, cluster), rounds=self.rounds,
                sample=build_sample(graph.degree), cosines=_fine_cosines(state, job),
                top=BUILD.top)
        state.rekeyed[direction] = graph  # only once whole
        return graph

    def _graph_work(self, state, k):
        """About the compressions _refined_graph makes: on 10 000 code
        chunks about half the pairs that linking them took."""
        n = len(state.corpus)
        return int(2 * 0.55 * n * _link_pairs(n, max(self.degree, k), self.rounds))

    def pairs(self, threshold, *, symmetric="mean", exact=False, via="sketch", workers=None,
              progress=None, client=None):
        """Every pair scoring at least ``threshold``: ``(i, j, score)`` as
        ``vendrask.pairs(list(index), threshold=threshold,
        symmetric=symmetric, errors="nan")``, exactly so with ``exact``;
        otherwise the pairs among the candidates found ``via``:

        "sketch": MinHash signatures of the documents banded so that pairs
            at the threshold share a band (made at the first such call and
            kept; an add computes only its new documents' signatures). The
            bands were measured to keep 99% of the pairs at thresholds of
            0.3 to 0.9 with symmetric="mean"; below 0.3 the graph may find
            more;
        "graph": the graph's neighbours of neighbours (with symmetric=None,
            ordered pairs passing in either direction).

        Every score returned is exact. Where the candidates would be more
        than half of all pairs (groups of near-copies), all are scored, as
        with ``exact``. The last answer is kept until the next add:
        ``clusters`` of the same threshold reuses it."""
        threshold = _checks.score_bound("threshold", threshold)
        direction = _checks.direction(symmetric)
        via = _checks.choice("via", via, VIAS)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        return self._pairs(self._state, threshold, symmetric, direction, exact, workers,
                           progress, self._on(client), via)

    def _pairs(self, state, threshold, symmetric, direction, exact, workers, progress, cluster,
               via="sketch"):
        asked = (threshold, symmetric, bool(exact) or via)
        kept = state.found
        if kept is None or kept[0] != asked:
            if exact or not len(state.ids):
                found = self._exact_pairs(state, threshold, symmetric, direction, workers,
                                          progress, cluster)
            elif via == "sketch":
                found = self._sketch_pairs(state, threshold, symmetric, direction, workers,
                                           progress, cluster)
            else:
                found = self._graph_pairs(state, threshold, symmetric, direction, workers,
                                          progress, cluster)
            kept = state.found = asked, found
        # Copies: the caller may change what it gets.
        return tuple(part.copy() for part in kept[1])

    def _exact_pairs(self, state, threshold, symmetric, direction, workers, progress, cluster):
        if cluster is not None and len(state.ids):
            return cluster.pairs(list(_documents_of(state)), threshold=threshold,
                                 symmetric=symmetric, progress=progress)
        plan = Plan(state.corpus, state.ids, None, direction=direction, errors="nan",
                    names=("docs", "docs"))
        reducer = Pairs(threshold, *_pairs.listing(True, symmetric))
        return plan.run(reducer, workers, progress)

    @staticmethod
    def _signatures(state):
        """The signatures of every corpus id of ``state``, computing only
        those of the ids that lack them."""
        held = state.signatures
        n = len(state.corpus)
        if len(held) < n:
            strings = state.corpus.strings
            held = np.concatenate([held, minhash_signatures(strings[len(held):n])])
            state.signatures = held  # a racing thread makes the same
        return held[:n]

    def _bands(self, state, bands, rows):
        """(member ids, their Bands) for this setting, made once per state.
        Only ids that fit with some other id take part: one over the limit
        with the shortest would only bring pairs to drop."""
        kept = state.bands.get((bands, rows))
        if kept is None:
            lengths = state.corpus.lengths
            member = _pairs.fitting_with(lengths, lengths.min() if len(lengths) else 0)
            held = Bands(bands, rows)
            held.add(self._signatures(state)[member])
            kept = state.bands[(bands, rows)] = member, held
        return kept

    def _sketch_pairs(self, state, threshold, symmetric, direction, workers, progress, cluster):
        member, held = self._bands(state, *setting(threshold, direction))
        sigs = held.signatures
        candidates = held.candidates()
        if (candidates.bound > FALLBACK_SHARE * candidates.all_pairs
                and candidates.count() > FALLBACK_SHARE * candidates.all_pairs):
            return self._exact_pairs(state, threshold, symmetric, direction, workers, progress,
                                     cluster)
        def chunks():
            for i, j in screen(candidates, sigs, state.corpus.lengths[member], threshold):
                with self._counting:
                    self.scored += len(i)
                yield member[i], member[j]

        with JobProgress(progress, 0) as job:
            u, v, forward, backward = rescore(state.corpus, chunks(), threshold, direction,
                                              workers=workers, job=job, runner=cluster)
            job.finish()
        return self._listed_pairs(state, u, v, forward, backward, direction, threshold)

    def _graph_pairs(self, state, threshold, symmetric, direction, workers, progress, cluster):
        reach = "max" if direction == "forward" else direction
        d = len(state.corpus)
        with JobProgress(progress, 0, self._link_work(state, True)) as job:
            state = self._graphed(state, job, cluster, settle=True)
            walked = _walked(state)
            graph = walked if reach == walked.direction else walked.rekeyed(reach)
            if progress not in (None, False):
                job.estimate += _within_work(graph, threshold)
            found = within(graph, self._scorer(state.corpus, job, workers, cluster), threshold,
                           limit=d * (d - 1) // 2 // 2)
            if found is None:
                # Joins would score more than half of all pairs (near-copies
                # that all pass): scoring them all costs less.
                pairs = self._exact_pairs(state, threshold, symmetric, direction, workers,
                                          job.rest(), cluster)
            else:
                u, v, forward, backward, _ = found
                pairs = self._listed_pairs(state, u, v, forward, backward, direction,
                                           threshold)
            job.finish()
        return pairs

    def duplicates(self, docs, threshold, *, symmetric="mean", workers=None, progress=None,
                   client=None):
        """The pairs at or over ``threshold`` that new documents ``docs``
        would make if added, without adding them: ``(i, j, score)`` as
        ``pairs`` of the index with ``docs`` after it gives them, only the
        pairs with a new document (positions from len(index) on are those
        ``docs`` would take). The new documents' signatures are looked up
        in the index's bands: the cost is their candidates', not a scan.
        ``client``: as for ``Index()``, for this call."""
        from ._api import report
        threshold = _checks.score_bound("threshold", threshold)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        cut = []
        new_docs = documents(docs, "docs", self.max_bytes, False, cut)
        report(self.max_bytes, len(new_docs), [f"docs[{k}]" for k in cut], [], [], stacklevel=2)
        state = self._state
        n = len(state.ids)
        corpus = state.corpus.copy()
        new_ids = corpus.add(new_docs)
        empty = np.empty(0, dtype=np.int64)
        if not len(new_ids):
            return empty, empty, np.empty(0)
        fresh = np.arange(len(state.corpus), len(corpus))
        with JobProgress(progress, 2 * len(fresh)) as job:
            failure = corpus.compute_sizes(fresh, fresh, workers, job, cluster)
            if failure is not None:
                raise RuntimeError(failure)
            found = self._new_pairs(state, corpus, new_ids, fresh, threshold, symmetric,
                                    direction, workers, job, cluster)
            job.finish()
        i, j, s = found
        keep = (i >= n) | (j >= n)
        return i[keep], j[keep], s[keep]

    def _new_pairs(self, state, corpus, new_ids, fresh, threshold, symmetric, direction,
                   workers, job, cluster):
        """The pairs of ``state`` with the new ids added, among those with a new one."""
        joined = _State(corpus, np.concatenate([state.ids, new_ids]), state.sketches,
                        state.graphs, state.signatures)
        bands, rows = setting(threshold, direction)
        member, held = self._bands(state, bands, rows)
        # The queries: every id of a new document, and the old ids the
        # bands left out that may fit with a new, shorter one.
        shortest = corpus.lengths[new_ids].min()
        outside = np.setdiff1d(np.arange(len(state.corpus)), member)
        outside = outside[_pairs.fitting_with(corpus.lengths[outside], shortest)]
        queries = np.union1d(new_ids, outside)
        old_sigs = self._signatures(state)
        fresh_sigs = minhash_signatures([corpus.strings[k] for k in fresh.tolist()])
        query_sigs = np.concatenate([old_sigs, fresh_sigs])[queries]
        candidates = held.query(query_sigs)
        if candidates.count() > FALLBACK_SHARE * candidates.all_pairs:
            return self._exact_pairs(joined, threshold, symmetric, direction, workers,
                                     job.rest(), cluster)
        else:
            lifted = np.concatenate([member, queries])  # candidate ids -> corpus ids
            sigs = np.concatenate([held.signatures, query_sigs])
            lengths = corpus.lengths[lifted]
            is_new = np.zeros(len(corpus), dtype=bool)
            is_new[new_ids] = True

            def chunks():
                for a, b in screen(candidates, sigs, lengths, threshold):
                    u, v = lifted[a], lifted[b]
                    keep = is_new[u] | is_new[v]
                    yield u[keep], v[keep]

            u, v = _distinct_pairs(chunks(), len(corpus))
            u, v, forward, backward = rescore(corpus, [(u, v)], threshold, direction,
                                              workers=workers, job=job, runner=cluster)
            return self._listed_pairs(joined, u, v, forward, backward, direction, threshold)

    def pairs_recall(self, threshold, sample=500, *, symmetric="mean", seed=0, workers=None,
                     progress=None, client=None):
        """The share of the exact pairs among ``sample`` documents drawn at
        random (all of them scored) that the default ``pairs`` finds; 1.0
        when they make no pair. A check of the sketch on your own
        documents: its cost is the sample's pairs and one ``pairs``
        (``progress`` reports the sample's). ``client``: as for
        ``Index()``, for this call."""
        threshold = _checks.score_bound("threshold", threshold)
        sample = _checks.positive("sample", sample)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        state = self._state
        n = len(state.ids)
        rows = np.sort(np.random.default_rng(seed).choice(n, min(sample, n), replace=False))
        drawn = state.replace(ids=state.ids[rows])
        ei, ej, _ = self._exact_pairs(drawn, threshold, symmetric, direction, workers, progress,
                                      cluster)
        if not len(ei):
            return 1.0
        i, j, _ = self._pairs(state, threshold, symmetric, direction, False, workers, None,
                              cluster)
        found = set(zip(i.tolist(), j.tolist()))
        hits = sum((a, b) in found for a, b in zip(rows[ei].tolist(), rows[ej].tolist()))
        return hits / len(ei)

    def clusters(self, threshold, *, symmetric="mean", exact=False, graph="pairs", k=10,
                 via="sketch", workers=None, progress=None, client=None):
        """A label (int64, from 0 in order of first appearance) for each
        document: the connected components of the graph of pairs scoring at
        least ``threshold`` (``graph="pairs"``: those of ``pairs``, reused
        from the last ``pairs`` call of the same arguments;
        ``graph="neighbors"``: only each document's ``k`` nearest). ``via``
        as for ``pairs``."""
        kind = _checks.choice("graph", graph, ("pairs", "neighbors"))
        via = _checks.choice("via", via, VIAS)
        threshold = _checks.score_bound("threshold", threshold)
        direction = _checks.direction(symmetric)
        if kind == "neighbors":
            k = _checks.positive("k", k)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        from ._optional import need
        sparse = need("scipy.sparse", "Index.clusters")
        connected_components = need("scipy.sparse.csgraph", "Index.clusters").connected_components
        state = self._state
        n = len(state.ids)
        if kind == "pairs":
            i, j, _ = self._pairs(state, threshold, symmetric, direction, exact, workers,
                                  progress, cluster, via)
        else:
            scores, index = self._neighbors(state, k, symmetric, direction, exact, workers,
                                            progress, cluster)
            rows, slot = np.nonzero(scores >= threshold)
            i, j = rows, index[rows, slot]
        adjacency = sparse.coo_array((np.ones(len(i), dtype=np.int8), (i, j)),
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
        over all sampled rows. A check of the index on your own documents.

        The exact search it checks against scores each sampled document
        against every other, ``sample`` * len(index) pairs: on 512-byte
        chunks of code, recall(200) took as much CPU as building the index
        of 1000 of them (4.1 s against 4.4 s), and half as much at 10 000
        (37 s against 79 s). A smaller sample costs less, for a rougher
        figure."""
        sample = _checks.positive("sample", sample)
        k = _checks.positive("k", k)
        direction = _checks.direction(symmetric)
        workers = self.workers if workers is None else _checks.worker_count(workers)
        cluster = self._on(client)
        state = self._state
        n = len(state.ids)
        if n < 2:
            return 1.0
        rows = np.sort(np.random.default_rng(seed).choice(n, min(sample, n), replace=False))
        estimate = 2 * len(rows) * len(state.corpus) + self._link_work(state, True)
        if _walked(state).n < len(state.corpus) or self._kept_graph(state, direction, k) is None:
            estimate += self._graph_work(state, k)
        with JobProgress(progress, 0, estimate) as job:
            state = self._graphed(state, job, cluster, settle=True)
            graph = self._kept_graph(state, direction, k)
            if graph is None:
                graph = self._refined_graph(state, direction, k, workers, job, cluster)
            approx, _ = self._graph_neighbors(state, graph, k)
            if cluster is not None:
                docs = list(_documents_of(state))
                scores, index = cluster.nearest([docs[r] for r in rows.tolist()], docs,
                                                k=k + 1, symmetric=symmetric,
                                                progress=job.rest())
            else:
                plan = Plan(state.corpus, state.ids[rows], state.ids, direction=direction,
                            errors="nan", names=("docs", "docs"))
                scores, index = plan.run(TopK(len(rows), k + 1, None, n_cols=n), workers,
                                         job.rest())
            job.finish()
        exact = _pairs.padded(*_pairs.leave_out_own(scores, index, rows), k)[0]
        wanted = np.sum(~np.isnan(exact))
        if not wanted:
            return 1.0
        kth = np.nanmin(np.where(np.isnan(exact), np.inf, exact), axis=1)
        found = np.sum(np.minimum(np.sum(approx[rows] >= kth[:, None], axis=1),
                                  np.sum(~np.isnan(exact), axis=1)))
        return float(found / wanted)

    # -- positions
    #
    # A search's answers are lists of ids with their scores; the reducers of
    # the exact functions turn them into positions (ties, repeats, a row's
    # own position, padding), so that both rank and list alike.

    @staticmethod
    def _side(state):
        """The positions of ``state`` grouped by id (a Side), made once."""
        if state.by_id is None:
            state.by_id = Side(state.ids)  # a racing thread makes the same
        return state.by_id

    def _ranked(self, state, rows, row_ids, ids, keys, k, own=False):
        """(scores, indices) of shape (rows.size, k), as TopK gives them over
        positions, from the id-level lists ``ids`` (NO_NEIGHBOUR where none) with
        their ``keys``, row r being the candidates of the id ``row_ids[r]``.
        ``rows`` is the Side of the rows' positions: queries, or (``own``)
        the index's own positions, where each id is also its own
        candidate at the score of the same string, which lists the other
        positions holding it and, as with the exact search, not itself."""
        valid = (ids != _pairs.NO_NEIGHBOUR) & np.isfinite(keys)
        r, slot = np.nonzero(valid)
        t, s, values = row_ids[r], ids[r, slot], keys[r, slot]
        if own:
            t, s = np.concatenate([t, row_ids]), np.concatenate([s, row_ids])
            values = np.concatenate([values, same_scores(state.corpus, row_ids)])
        reducer = TopK(rows.size, k, None, leave_out_own=own, n_cols=len(state.ids))
        return reduced(reducer, [listed(rows, self._side(state), t, s, values)])

    def _graph_neighbors(self, state, graph, k):
        """Each position's k best others among its id's neighbours in ``graph``."""
        return self._ranked(state, self._side(state), np.arange(len(graph.ids)), graph.ids,
                            graph.keys, k, own=True)

    def _listed_pairs(self, state, u, v, forward, backward, direction, threshold):
        """The position pairs of ``state`` as ``pairs`` lists them, from the
        id pairs u < v with both directions scored."""
        return listed_pairs(self._side(state), state.corpus, u, v, forward, backward, direction,
                            threshold)

    # -- files

    def save(self, path, *, progress=None):
        """Writes the index to ``path`` atomically (a temporary file beside
        it, then a rename): a failure or Ctrl-C leaves what was there. An
        add in another thread meanwhile is not in the file, nor partly. A
        symbolic link is followed and its target replaced; a directory,
        device, FIFO or socket is refused with an OSError. An index whose
        arrays do not agree (one that load would refuse) raises
        IndexFileError, and nothing is written."""
        from . import _store
        _store.save(self._holding(self._state), path, progress)

    def _holding(self, state):
        """This index as it is in ``state``, whatever adds come after."""
        view = copy.copy(self)
        view._state = state
        return view

    @classmethod
    def load(cls, path, *, workers=1, progress=None, client=None):
        """The index saved at ``path``. A truncated, corrupt or foreign file,
        or one saved under a zlib build whose values differ from this one's,
        raises IndexFileError. Only a regular file is read (a FIFO or device
        raises IndexFileError at once), whole, into memory: the index never
        changes with its file. ``client`` as for Index()."""
        from . import _store
        client = None if client is None else _cluster(client).client
        index = _store.load(cls, path, workers, progress)
        index.client = client
        return index

    def info(self):
        """What the index holds: counts, its limits and build, its memory."""
        from . import _store
        state = self._state
        held = (state.ids.nbytes + state.sketches.nbytes + state.signatures.nbytes
                + sum(array.nbytes for g in state.graphs.values()
                      for array in g.to_arrays().values())
                + state.corpus.lengths.nbytes * 2 + sum(map(len, state.corpus.strings)))
        return collections.OrderedDict([
            ("documents", len(state.ids)), ("distinct", len(state.corpus)),
            ("max_bytes", self.max_bytes), ("zlib", _store.zlib_identity(state.corpus.zlib)),
            ("format", _store.FORMAT), ("degree", self.degree),
            ("linked", int(_walked(state).n)), ("settled", int(state.settled)),
            ("bytes", int(held)),
        ])


def _distinct_pairs(chunks, n):
    """The pairs of ``chunks`` as u < v, each once."""
    keys = [np.minimum(u, v) * n + np.maximum(u, v) for u, v in chunks]
    keys = np.unique(np.concatenate(keys)) if keys else np.empty(0, dtype=np.int64)
    return keys // n, keys % n


def _followers(state):
    """The graphs of ``state`` that take the walked graph's scored pairs."""
    walked = _walked(state)
    return [graph for graph in state.graphs.values() if graph is not walked]


def _tried(state, n):
    """The pairs the rounds of ``state``'s graph tried, as keys lo*n + hi
    (None: not known)."""
    if state.tried is None:
        return None
    was, keys = state.tried
    # lo*n + hi with hi < n sorts as (lo, hi) does: the order holds.
    return keys if was == n else (keys // was) * n + keys % was


def _fine_cosines(state, job):
    """The cosines of the fine sketches of ``state``'s ids, which rank a
    build's candidates (made for the ids that have none yet)."""
    return state.sketches.fine(state.corpus.strings, poll=job.poll).cosines


def _walked(state):
    """The graph every search walks."""
    return state.graphs["mean"]


def _documents_of(state):
    """The documents of each position of ``state``."""
    strings = state.corpus.strings
    return (strings[i] for i in state.ids.tolist())


# Estimates of a job's work, so that its progress shows a fraction of it
# from the start: measured on 300 to 100 000 chunks of code (1 KB), the
# pairs a document's links cost grow with the log of the documents, from 5
# times the degree at 300 to 16 times at 100 000; a third of that is the
# first refinement round and almost all the first three. The joins that
# score only a node's 24 nearest candidates by fine sketch take about two
# fifths of that (121 pairs a document on 10 000 code chunks, 141 on prose).
_PRUNED = 0.4


# The share of a build's pairs scored after its first BUILD.search_rounds
# rounds, on 10 000 chunks: 0.46 of code, 0.48 of prose, 0.25 of manual
# pages.
_SETTLING = 0.45


def _link_pairs(n, degree, rounds):
    """About the pairs that linking a new document costs in an index of n."""
    growth = min(16.0, max(1.0, 2.5 * math.log2(max(n, 1) / 64)))
    return min(_PRUNED * degree * growth * min(1.0, rounds / 3), (n - 1) / 2)


def _add_work(fresh, n, degree, rounds):
    """About the compressions an add of ``fresh`` new distinct documents
    makes, n in all after it: their sizes and their links. Links into an
    index that has documents already cost more: the whole graph is refined
    again (on 4000 chunks, 1.5 times the pairs per document and about
    n * degree / 20 more)."""
    if not fresh:
        return 0
    old = n - fresh
    pairs = fresh * _link_pairs(n, degree, rounds) * (1.5 if old else 1.0) + old * degree / 20
    return int(2 * fresh + 2 * min(pairs, n * (n - 1) / 2))


def _search_pairs(n, seeds, pool):
    """About the pairs a query scores in a search of an index of n: its
    seeds and some expansions of its pool (on 300 to 4000 chunks, 270 to
    730 with 128 seeds and a pool of 64)."""
    return int(min(n, seeds + pool * min(10.0, max(0.0, 2 * math.log2(max(n, 1) / 64)))))


def _within_work(graph, threshold):
    """About the compressions ``within`` makes: two pairs for each edge of
    the graph over the threshold (the joins they bring, from a fifth as many
    to many times as many as the threshold falls)."""
    _, _, forward, backward, _, _ = graph.edges()
    return 2 * int(np.count_nonzero(key_of(forward, backward, graph.direction) >= threshold))


def _cluster(client):
    """The runner of an index's batches on the cluster of ``client``."""
    from .dask._sizes import ClusterSizes
    return ClusterSizes(client)

