"""The ``dedup`` command: near-duplicate pairs or clusters of documents or
records, through the sketch stage, or with --exact every pair. Records in
datasets (JSON Lines, Parquet, CSV) are ``records``'s."""
from .command import NO_DOCUMENTS, CommandRun, _call
from .errors import UsageError, shown
from .index_files import _is_index, _Names, index_class, load


def dedup(args):
    from . import records
    if records.wanted(args):  # before CommandRun, which knows no .jsonl or .parquet output
        records.dedup(args, _record_clusters)
        return
    job = CommandRun(args)
    if args.index is not None:
        if args.docs:
            raise UsageError(f"--index {shown(args.index)} is the corpus: name no DOCS beside it")
        index, names = load(args.index, args.workers)
        names = _Names(names)
        labels = [names[position] for position in range(len(index))]
        found = _from_index(job, index, args)
    else:
        for doc in args.docs:
            if _is_index(doc):
                raise UsageError(f"{shown(doc)} is an index: deduplicate what it holds with "
                                 f"--index {shown(doc)}")
        labels, docs = job.one_list(job.documents(args.docs, NO_DOCUMENTS))
        if args.exact:
            Index, _ = index_class()
            job.progress.plan_share(f"{len(docs)} documents")
            index = _call(job, Index, docs, workers=args.workers)
            found = _from_index(job, index, args)
        else:
            # The sketch stage alone: nothing else to build for one answer.
            found = _sketch_pairs(job, docs, args)
            if args.clusters:
                found = _components(len(docs), *found[:2])
    if args.clusters:
        found = found.tolist()
        job.write(lambda table: table.records(["cluster", "name"], zip(found, labels)))
    else:
        _write_pairs(job, labels, *found)


def _from_index(job, index, args):
    """Clusters (with --clusters) or pairs of the documents ``index`` holds."""
    options = dict(symmetric=args.symmetric, exact=args.exact, workers=args.workers,
                   progress=job.progress.callback())
    job.progress.plan_share(f"{len(index)} documents")
    found = _call(job, index.clusters if args.clusters else index.pairs, args.threshold,
                  **options)
    job.progress.reached(1.0)
    return found


def _write_pairs(job, labels, i, j, score):
    import numpy as np
    order = np.lexsort((j, i, -score))  # highest first; ties in input order, as pairs prints

    def rows():
        for a, b, x in zip(i[order].tolist(), j[order].tolist(), score[order].tolist()):
            yield labels[a], labels[b], x
    job.write(lambda table: table.records(["t", "s", "score"], rows()))


def _sketch_pairs(job, docs, args):
    """The pairs of ``docs`` at --threshold that the sketch stage finds, every
    score exact."""
    from .._rescore import near_pairs
    job.progress.plan_share(f"{len(docs)} documents")
    found = _call(job, near_pairs, docs, args.threshold, symmetric=args.symmetric,
                  workers=args.workers, progress=job.progress.callback())
    job.progress.reached(1.0)
    return found


def _components(n, i, j):
    """A label for each of n documents, from 0 in order of first
    appearance: the connected components of the pairs (i, j)."""
    import numpy as np
    from scipy import sparse
    from scipy.sparse.csgraph import connected_components
    adjacency = sparse.coo_array((np.ones(len(i), dtype=np.int8), (i, j)), shape=(n, n)).tocsr()
    _, labels = connected_components(adjacency, directed=True, connection="weak")
    _, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
    rank = np.empty(len(first), dtype=np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(first))
    return rank[inverse.reshape(-1)]


def _record_clusters(job, docs):
    """Each record's cluster, for records.dedup (its texts come cut to
    --max-bytes, with long ones standing in for themselves)."""
    args = job.args
    if not args.exact:
        i, j, _ = _sketch_pairs(job, docs, args)
        return _components(len(docs), i, j)
    Index, _ = index_class()
    index = _call(job, Index, docs, workers=args.workers)
    return _from_index(job, index, args)
