"""A corpus: distinct documents with their sizes, kept for as long as it lives.

Documents are interned by content, so that each distinct string's lone and
self-primed compressed sizes are computed once for the life of the corpus,
whatever job, call or list they come in through. It can grow (``add``), and
it records what its sizes depend on: the ``max_bytes`` its documents were cut
to and the zlib build that compressed them.
"""
import collections
import copy

import numpy as np

from . import _native
from ._pairs import MISSING_LENGTH, fitting
from ._progress import silent
from ._sorted import sorted_unique

_UNKNOWN = -1


class Corpus:
    """Distinct documents (``strings``) with their lengths and, once computed,
    their ``lone_sizes`` and ``primed_sizes`` (see the glossary of
    ``_pairs``), -1 until then."""

    def __init__(self, max_bytes=None):
        self.max_bytes = max_bytes
        self.zlib = {"version": _native.version, "static": bool(_native.static),
                     "zlib_ng": bool(_native.zlib_ng)}
        self.strings = []
        self._ids = {}
        self.lengths = np.empty(0, dtype=np.int64)
        self.lone_sizes = np.empty(0, dtype=np.int32)
        self.primed_sizes = np.empty(0, dtype=np.int32)
        self.missing = np.empty(0, dtype=bool)

    def __len__(self):
        return len(self.strings)

    # What an earlier version called the lone and primed sizes.
    _FORMER_NAMES = {"alone": "lone_sizes", "self_": "primed_sizes"}

    def __setstate__(self, state):
        # An index pickled by an earlier version holds its corpus's fields
        # by name, the sizes under the names they had.
        self.__dict__.update((self._FORMER_NAMES.get(name, name), value)
                             for name, value in state.items())

    def to_arrays(self):
        """What a file keeps of the corpus, by name: ``strings`` (the
        distinct documents, a list of bytes), ``lone_sizes`` and
        ``primed_sizes`` (int32), as held (no copy). The rest is made again
        from them."""
        return {"strings": self.strings, "lone_sizes": self.lone_sizes,
                "primed_sizes": self.primed_sizes}

    @classmethod
    def from_arrays(cls, strings, lone_sizes, primed_sizes, *, max_bytes=None, interned=None):
        """The corpus of distinct documents ``strings`` (bytes, none
        missing) with those sizes, under this build's zlib. The size arrays
        are held as given (no copy: the caller hands them over); the list of
        strings is a new one, since adds grow it. ``interned``: the dict of
        each string's id, where the caller has made one already (handed
        over too)."""
        corpus = cls(max_bytes)
        corpus.strings = list(strings)
        corpus._ids = {s: i for i, s in enumerate(strings)} if interned is None else interned
        corpus.lengths = np.fromiter(map(len, strings), dtype=np.int64, count=len(strings))
        corpus.lone_sizes = np.asarray(lone_sizes, dtype=np.int32)
        corpus.primed_sizes = np.asarray(primed_sizes, dtype=np.int32)
        corpus.missing = np.zeros(len(strings), dtype=bool)
        return corpus

    def copy(self):
        """A corpus to add to that starts as this one and shares nothing an
        add would change (the strings themselves are immutable)."""
        other = copy.copy(self)
        other.strings = list(self.strings)
        other._ids = dict(self._ids)
        for name in ("lengths", "lone_sizes", "primed_sizes", "missing"):
            setattr(other, name, getattr(self, name).copy())
        return other

    def overlay(self):
        """A corpus that starts as this one and grows on its own: documents
        added to it (queries, say) are interned against this corpus's, so an
        equal one takes its id and sizes, and new ones stay out of it."""
        other = Corpus.__new__(Corpus)
        other.__dict__.update(self.__dict__)
        other.strings = list(self.strings)
        other._ids = collections.ChainMap({}, self._ids)
        return other

    def add(self, docs):
        """The ids of ``docs`` (a list of bytes, already cut to max_bytes),
        interning those not seen before. None is a missing document: each
        gets an id of its own that fits with no string, not even itself, so
        that every cell it takes part in is NaN."""
        ids, strings, missing = self._ids, self.strings, []
        before = len(strings)

        def intern(doc):
            if doc is None:
                missing.append(len(strings))
                strings.append(b"")
                return len(strings) - 1
            at = ids.get(doc)
            if at is None:
                at = ids[doc] = len(strings)
                strings.append(doc)
            return at
        out = np.fromiter(map(intern, docs), dtype=np.int64, count=len(docs))
        if len(strings) > before:
            new = strings[before:]
            lengths = np.fromiter(map(len, new), dtype=np.int64, count=len(new))
            flags = np.zeros(len(new), dtype=bool)
            flags[np.asarray(missing, dtype=np.int64) - before] = True
            lengths[flags] = MISSING_LENGTH
            self.lengths = np.concatenate([self.lengths, lengths])
            self.missing = np.concatenate([self.missing, flags])
            unknown = np.full(len(new), _UNKNOWN, dtype=np.int32)
            self.lone_sizes = np.concatenate([self.lone_sizes, unknown])
            self.primed_sizes = np.concatenate([self.primed_sizes, unknown])
        return out

    def run_batch(self, strings, dictionaries, data, workers, progress):
        """Native sizes of strings[data[k]] primed with strings[dictionaries[k]]
        (-1: none) over a tuple of this batch's strings: (sizes, failure)."""
        sizes = np.empty(len(data), dtype=np.int32)
        failure = None
        if len(data):
            failure = _native.batch_sizes(
                strings, np.ascontiguousarray(dictionaries, dtype=np.int32),
                np.ascontiguousarray(data, dtype=np.int32), sizes, workers,
                progress.batch(len(data)))
        progress.advance(len(data))
        return sizes, failure

    def compute_sizes(self, lone_ids, primed_ids, workers=1, progress=None, runner=None):
        """Computes the lone sizes of the ids ``lone_ids`` and the primed
        sizes of ``primed_ids`` that are not known yet; returns the failure
        message of a probe that failed, or None. ``runner``: what runs the
        batch in place of ``self.run_batch``, on its terms (a cluster, say)."""
        progress = progress or silent()
        run = runner or self.run_batch
        lone_ids = np.unique(lone_ids[self.lone_sizes[lone_ids] < 0])
        primed_ids = np.unique(primed_ids[self.primed_sizes[primed_ids] < 0])
        local, where = np.unique(np.concatenate([lone_ids, primed_ids]), return_inverse=True)
        where = where.reshape(-1)
        strings = tuple(self.strings[i] for i in local.tolist())
        sizes, failure = run(
            strings, np.concatenate([np.full(len(lone_ids), -1), where[len(lone_ids):]]),
            where, workers, progress)
        self.lone_sizes[lone_ids] = sizes[:len(lone_ids)]
        self.primed_sizes[primed_ids] = sizes[len(lone_ids):]
        return failure

    def quotients(self, k_s_e, k_s_t, k_t_s, k_s_s, k_t_t):
        """The measures from the five sizes of each pair: (values, failure)."""
        out = np.empty(len(k_s_e), dtype=np.float64)
        failure = _native.quotients(*(np.ascontiguousarray(k, dtype=np.int32)
                                      for k in (k_s_e, k_s_t, k_t_s, k_s_s, k_t_t)), out)
        return out, failure

    def cross(self, t, s, *, both_ways=True, workers=1, progress=None, runner=None):
        """The measures of the id pairs ``(t[k], s[k])``: ``(forward,
        backward, failure)`` with ``forward[k] = measure(t[k], s[k])`` and,
        with ``both_ways``, ``backward[k] = measure(s[k], t[k])`` (else None).
        The pairs must be of different strings that fit together, whose sizes
        have been computed. ``runner`` as for compute_sizes."""
        forward_sizes, backward_sizes, failure = self.cross_sizes(
            t, s, workers=workers, progress=progress, runner=runner)
        forward, backward, failed = self.measures(t, s, forward_sizes, backward_sizes, both_ways)
        return forward, backward, failure or failed

    def cross_sizes(self, t, s, *, workers=1, progress=None, runner=None):
        """The two cross sizes of each id pair ``(t[k], s[k])``:
        ``(forward_sizes, backward_sizes, failure)``, s[k] compressed after
        t[k] and the other way round. A pair and its reverse share them, so
        each unordered pair is compressed once each way."""
        progress = progress or silent()
        run = runner or self.run_batch
        lo, hi = np.minimum(t, s), np.maximum(t, s)
        width = max(1, len(self.lengths))
        keys, which = np.unique(lo * width + hi, return_inverse=True)
        which = which.reshape(-1)
        lo_u, hi_u = keys // width, keys % width
        # Grouped by data string: one string against a run of dictionaries.
        data = np.concatenate([hi_u, lo_u])
        dictionaries = np.concatenate([lo_u, hi_u])
        order = np.lexsort((dictionaries, data))
        local, where = np.unique(np.concatenate([data, dictionaries]), return_inverse=True)
        where = where.reshape(-1)
        strings = tuple(self.strings[i] for i in local.tolist())
        local_data, local_dictionaries = where[:len(data)], where[len(data):]
        sizes = np.empty(len(data), dtype=np.int32)
        sizes[order], failure = run(strings, local_dictionaries[order], local_data[order],
                                    workers, progress)
        # The cross sizes of the pairs (lo_u, hi_u), turned to those of (t, s).
        lo_forward, lo_backward = sizes[:len(keys)], sizes[len(keys):]
        t_is_lo = t == lo_u[which]
        forward_sizes = np.where(t_is_lo, lo_forward[which], lo_backward[which])
        backward_sizes = np.where(t_is_lo, lo_backward[which], lo_forward[which])
        return forward_sizes, backward_sizes, failure

    def measures(self, t, s, forward_sizes, backward_sizes, both_ways=True):
        """``(forward, backward, failure)``: the measures of the id pairs
        ``(t[k], s[k])`` from their cross sizes and the strings' own sizes,
        each way (backward None without ``both_ways``)."""
        lone, primed = self.lone_sizes, self.primed_sizes
        forward, failure = self.quotients(lone[s], forward_sizes, backward_sizes,
                                          primed[s], primed[t])
        backward = None
        if both_ways:
            backward, failed = self.quotients(lone[t], backward_sizes, forward_sizes,
                                              primed[t], primed[s])
            failure = failure or failed
        return forward, backward, failure

    @staticmethod
    def cross_work(t, s):
        """The compressions cross() makes for these pairs."""
        if not len(t):
            return 0
        lo, hi = np.minimum(t, s), np.maximum(t, s)
        return 2 * len(sorted_unique(lo * (int(max(hi.max(), 0)) + 1) + hi))

    def tile(self, rows, cols, *, diagonal=False, both_ways=False, workers=1, progress=None):
        """The measures of one tile of distinct ids: ``(forward, backward,
        failure)`` where ``forward[a, b] = measure(rows[a], cols[b])`` and,
        with ``both_ways``, ``backward[a, b] = measure(cols[b], rows[a])``
        from the same cross sizes (else None). With ``diagonal`` rows and cols
        are the same strings, each unordered pair is compressed once and
        backward is forward's transpose. NaN stands for pairs over the joint
        size limit and failed probes. The sizes of the strings involved must
        have been computed."""
        progress = progress or silent()
        lengths = self.lengths
        # Every (row, col) pair as flat operands of one shape: broadcasting
        # would run numpy's buffered iterator, whose buffers are allocated
        # with the GIL released: under a memory limit that crashes the
        # interpreter instead of raising MemoryError.
        t, s = np.repeat(rows, len(cols)), np.tile(cols, len(rows))
        same, todo = (m.reshape(len(rows), len(cols))
                      for m in fitting(t, s, lengths, self.missing))
        del t, s
        if diagonal:
            todo &= np.triu(np.ones(todo.shape, dtype=bool), 1)
        # One tuple holds the tile's strings: rows, then (off the diagonal)
        # cols, so that a probe names its strings by place.
        names = rows if diagonal else np.concatenate([rows, cols])
        strings = tuple(self.strings[i] for i in names.tolist())
        col_base = 0 if diagonal else len(rows)
        # The forward sizes (s after t) column by column (one data string
        # against a run of dictionaries), then the backward ones (t after s)
        # row by row: the same string stays the data for a run of probes,
        # which the CPU predicts better.
        b_first, a_first = np.nonzero(todo.T)
        a, b = np.nonzero(todo)
        sizes, failure = self.run_batch(strings, np.concatenate([a_first, col_base + b]),
                                     np.concatenate([col_base + b_first, a]), workers, progress)
        forward_sizes = np.empty(todo.shape, dtype=np.int32)
        forward_sizes[a_first, b_first] = sizes[:len(a_first)]
        forward_sizes = forward_sizes[a, b]
        backward_sizes = sizes[len(a_first):]
        t, s = rows[a], cols[b]
        lone, primed = self.lone_sizes, self.primed_sizes

        forward = np.full(todo.shape, np.nan)
        forward[same] = 1.0
        forward[a, b], failed = self.quotients(lone[s], forward_sizes, backward_sizes,
                                               primed[s], primed[t])
        failure = failure or failed
        backward = None
        if diagonal or both_ways:
            other_way, failed = self.quotients(lone[t], backward_sizes, forward_sizes,
                                               primed[t], primed[s])
            failure = failure or failed
            if diagonal:
                forward[b, a] = other_way
                backward = forward.T
            else:
                backward = np.full(todo.shape, np.nan)
                backward[same] = 1.0
                backward[a, b] = other_way
        return forward, backward, failure

