"""MinHash signatures and LSH bands: which pairs of documents are worth scoring
when only the pairs over a threshold are wanted.

A signature is a one-permutation MinHash of a document's byte shingles: each
shingle is hashed once, the top bits of its hash choose one of ``SLOTS``
slots and each slot keeps the least of the other bits that fall in it. Slots
no shingle fell in borrow another slot's value (a fixed sequence of random
slots per slot, the same for every document), so two signatures agree on
about the share of slots that their shingle sets' Jaccard similarity says.
A document shorter than a shingle is one shingle: its whole bytes and length.

Bands cut the first ``bands * rows`` slots into ``bands`` groups of ``rows``;
two documents are candidates when some band of theirs is equal, which for a
Jaccard similarity J happens with probability 1 - (1 - J^rows)^bands. Some
settings add a second set of bands through which a short document (few
shingles) meets every other one (SHORT_BANDS). The band keys are kept in
sorted runs that merge as they grow, so that adding documents costs what
their own candidates cost, not a rescan.

Everything is deterministic: fixed constants and seeds, the same signatures
on every run and platform.
"""
import functools

import numpy as np

from . import JOINT_SIZE_LIMIT
from ._sorted import sorted_unique

# Byte shingles and slots, chosen by bench/dedup_bench.py: of 4, 5 and 6
# bytes and 64 or 128 slots, 4 bytes and 128 slots found 99% of the pairs at
# 0.5 (mean) on four corpora for the fewest candidates (9.7 per document on
# edited copies of prose, against 25.6 for 5 bytes). Deflate copies strings
# of 3 bytes and more; 3 bytes made unrelated documents look alike. 128
# slots (512 bytes a document) let the bands be many and long enough.
SHINGLE = 4
SLOTS = 128
EMPTY = np.uint32(0xFFFFFFFF)
_M1 = np.uint64(0xBF58476D1CE4E5B9)  # splitmix64's finaliser
_M2 = np.uint64(0x94D049BB133111EB)
_SEED = 20261210
_BORROW_TRIES = 32
_BLOCK_BYTES = 1 << 19  # text hashed at a time: its arrays take about 30 times that
# Raw pairs (before the bands' repeats are removed) generated at a time.
CHUNK_PAIRS = 1 << 18
# Short documents also meet through a second, more sensitive set of bands.
# Their few shingles leave pairs of them less in common for the same score
# (log lines scoring 0.5 share a third of their shingles), while between
# longer documents sensitive bands mostly pair unrelated ones that happen to
# share common shingles (indentation, keywords): on 100 000 chunks of code,
# 40 x 3 bands made 25 million candidates, 32 x 4 bands 1.3 million. A
# document is short when its signature fills fewer than SHORT_FILLED slots,
# about 270 shingles or fewer. At 0.9 (12 x 8), 20 x 5 bands for short
# documents find the pair of log lines that 12 x 8 missed of 16, for 11
# candidates per line instead of 1.6.
SHORT_FILLED = 112
SHORT_BANDS = {(32, 4): (40, 3), (12, 8): (20, 5)}
# The low bits of a band key that a run's sort gives to the key's place.
_PLACE_BITS = 28
_PLACE_MASK = (1 << _PLACE_BITS) - 1


def _mix(h):
    """splitmix64's finaliser, in place on uint64."""
    h ^= h >> np.uint64(30)
    h *= _M1
    h ^= h >> np.uint64(27)
    h *= _M2
    h ^= h >> np.uint64(31)
    return h


@functools.lru_cache(maxsize=None)
def _borrow_table(slots):
    """For each slot, the slots it tries in turn when it is empty: from the
    same integer hash as the shingles (a random generator's stream may
    change with numpy's version, and stored signatures with it)."""
    tries = np.arange(_BORROW_TRIES * slots, dtype=np.uint64) + np.uint64(_SEED << 32)
    return (_mix(tries) % np.uint64(slots)).astype(np.int64).reshape(_BORROW_TRIES, slots)


def _shingles(strings, shingle):
    """(row, word): every shingle of each string as a uint64 word, the
    string's row first; a string shorter than a shingle is one word holding
    its bytes and, above them, its length plus one."""
    lengths = np.fromiter(map(len, strings), dtype=np.int64, count=len(strings))
    data = np.frombuffer(b"".join(strings) + bytes(8), dtype=np.uint8)
    total = len(data) - 8
    # Each position's next 8 bytes, little-endian whatever the machine.
    words = np.ndarray((total,), dtype="<u8", buffer=data, strides=(1,))
    starts = np.cumsum(lengths) - lengths
    counts = np.maximum(lengths - (shingle - 1), 1)
    row = np.repeat(np.arange(len(strings)), counts)
    at = np.arange(len(row)) - np.repeat(np.cumsum(counts) - counts, counts) + starts[row]
    word = words[np.minimum(at, max(total - 1, 0))] if total else np.zeros(len(row), np.uint64)
    word = word.astype(np.uint64)
    short = lengths < shingle
    if short.any():
        width = np.minimum(lengths[row], shingle) * 8
        # bytes past the string's end are cleared; its length marks the word
        masks = np.where(short[row], (np.uint64(1) << width.astype(np.uint64)) - np.uint64(1),
                         np.uint64((1 << (8 * shingle)) - 1))
        word &= masks
        word |= np.where(short[row], (lengths[row] + 1).astype(np.uint64) << np.uint64(56),
                         np.uint64(0))
    else:
        word &= np.uint64((1 << (8 * shingle)) - 1)
    return row, word


def _blocks(strings):
    start, size = 0, 0
    for stop, string in enumerate(strings):
        if size and size + len(string) > _BLOCK_BYTES:
            yield start, stop
            start, size = stop, 0
        size += len(string)
    if start < len(strings):
        yield start, len(strings)


def signatures(strings, poll=None, *, slots=SLOTS, shingle=SHINGLE):
    """uint32 signatures (len(strings), slots) of a list of bytes; ``slots``
    is a power of two up to 4096, ``shingle`` from 1 to 7 bytes."""
    if not (isinstance(slots, int) and 1 <= slots <= 4096 and slots & (slots - 1) == 0):
        raise ValueError(f"slots must be a power of two from 1 to 4096, not {slots!r}")
    if not (isinstance(shingle, int) and 1 <= shingle <= 7):
        raise ValueError(f"shingle must be from 1 to 7 bytes, not {shingle!r}")
    # A longer document can be paired with no other one (only its equals,
    # which need no signature to be found): its first bytes stand for it,
    # so that one huge document never takes gigabytes to hash.
    strings = [s if len(s) <= JOINT_SIZE_LIMIT else s[:JOINT_SIZE_LIMIT] for s in strings]
    out = np.empty((len(strings), slots), dtype=np.uint32)
    for start, stop in _blocks(strings):
        out[start:stop] = _signatures(strings[start:stop], slots, shingle)
        if poll is not None:
            poll()
    return out


def _signatures(strings, n_slots, shingle):
    row, word = _shingles(strings, shingle)
    h = _mix(word)
    bits = n_slots.bit_length() - 1
    cell = row * n_slots + (h >> np.uint64(64 - bits)).astype(np.int64) if bits else row
    sig = np.full(len(strings) * n_slots, EMPTY, dtype=np.uint32)
    np.minimum.at(sig, cell, h.astype(np.uint32))
    filled = np.bincount(cell, minlength=len(sig)) > 0
    sig, filled = sig.reshape(-1, n_slots), filled.reshape(-1, n_slots)
    # Empty slots borrow from filled ones (never from a borrowed value).
    rows, slots = np.nonzero(~filled)
    out = sig.copy()
    for tries in _borrow_table(n_slots):
        if not len(rows):
            break
        source = tries[slots]
        ok = filled[rows, source]
        out[rows[ok], slots[ok]] = sig[rows[ok], source[ok]]
        rows, slots = rows[~ok], slots[~ok]
    if len(rows):
        # Still empty after every try (a document of a few shingles): the
        # first filled slot, which every document has.
        first = np.argmax(filled, axis=1)
        out[rows, slots] = sig[rows, first[rows]]
    return out


def agreement(signatures, i, j):
    """The share of slots on which the signatures of documents i[k] and j[k]
    agree: an estimate of their Jaccard similarity (float32)."""
    out = np.empty(len(i), dtype=np.float32)
    step = max(1, (1 << 20) // max(1, signatures.shape[1]))  # 4 MiB of slots a side at a time
    for start in range(0, len(i), step):
        same = signatures[i[start:start + step]] == signatures[j[start:start + step]]
        # a sum of bytes: twice as fast as count_nonzero along an axis
        out[start:start + step] = same.view(np.uint8).sum(axis=1, dtype=np.uint16)
    return out / np.float32(max(1, signatures.shape[1]))


def collision_probability(similarity, bands, rows):
    """The chance that two documents of this Jaccard similarity share a band."""
    return 1.0 - (1.0 - np.asarray(similarity, dtype=np.float64) ** rows) ** bands


def band_keys(signatures, bands, rows):
    """uint64 keys (n, bands): a hash of each band's slots and its number."""
    signatures = np.asarray(signatures, dtype=np.uint32)
    if bands * rows > signatures.shape[1]:
        raise ValueError(f"{bands} bands of {rows} rows need {bands * rows} slots; "
                         f"the signatures have {signatures.shape[1]}")
    cut = signatures[:, :bands * rows].reshape(len(signatures), bands, rows)
    keys = np.empty((len(signatures), bands), dtype=np.uint64)
    keys[:] = np.arange(1, bands + 1, dtype=np.uint64) * _M2
    # Two slots to a word, so that a band of 4 rows takes two mixes, not 4.
    for r in range(0, rows, 2):
        word = cut[:, :, r].astype(np.uint64)
        if r + 1 < rows:
            word |= cut[:, :, r + 1].astype(np.uint64) << np.uint64(32)
        keys ^= word
        _mix(keys)
    return keys


class _Run:
    """Band keys of some documents, sorted by key and then by id."""

    __slots__ = ("keys", "ids", "at")

    def __init__(self, keys, ids, at=None):
        # at: where each document's keys went, document by document (known
        # for a run just made: it spares a sort of the run by id)
        self.keys, self.ids, self.at = keys, ids, at

    @classmethod
    def of(cls, keys, ids):
        """The run of the (m, bands) keys of documents ``ids`` (rising).
        Keys are kept to their top 64 - _PLACE_BITS bits: unrelated bands
        meet by chance once in 2^36, a few candidates more in 10^6
        documents."""
        # ids as int32: a third less memory for the runs (2^31 documents
        # would take a terabyte of signatures)
        ids = np.asarray(ids, dtype=np.int32)
        flat = keys.reshape(-1) >> np.uint64(_PLACE_BITS)
        if len(flat) <= _PLACE_MASK:
            # Keys and places sorted together, as one word each: five times
            # faster than a stable argsort of the keys on millions.
            flat <<= np.uint64(_PLACE_BITS)
            flat |= np.arange(len(flat), dtype=np.uint64)
            flat.sort()
            order = (flat & np.uint64(_PLACE_MASK)).view(np.int64)
            flat >>= np.uint64(_PLACE_BITS)
        else:
            order = np.argsort(flat, kind="stable")
            flat = flat[order]
        at = np.empty(len(order), dtype=np.int64)
        at[order] = np.arange(len(order))
        order //= max(1, keys.shape[1])
        return cls(flat, ids[order], at)

    def by_document(self, which=None):
        """The positions of the keys of the documents ``which`` (a mask
        over the run's documents in order; all when None), document by
        document."""
        at = self.at  # read once: a run is shared by the threads that query it
        if at is None:
            at = np.argsort(self.ids, kind="stable")
        if which is None or not len(at):
            return at
        return at.reshape(len(which), -1)[which].reshape(-1)

    @classmethod
    def merged(cls, runs):
        """One run of runs given in rising order of their ids: a stable sort
        keeps the ids of equal keys rising."""
        keys = np.concatenate([run.keys for run in runs])
        order = np.argsort(keys, kind="stable")
        return cls(keys[order], np.concatenate([run.ids for run in runs])[order])

    @classmethod
    def empty(cls):
        return cls(np.empty(0, np.uint64), np.empty(0, np.int32))

    def __len__(self):
        return len(self.keys)


def _merge(runs):
    """Runs merge while the one before is at most twice as long, so there
    are O(log n) of them and each key is merged O(log n) times."""
    runs = list(runs)
    while len(runs) > 1 and len(runs[-2]) <= 2 * len(runs[-1]):
        runs[-2:] = [_Run.merged(runs[-2:])]
    return runs


def _ranges(starts, counts):
    """starts[k], starts[k] + 1, ..., for counts[k] each, all together."""
    total = int(counts.sum())
    return np.arange(total) - np.repeat(np.cumsum(counts) - counts - starts, counts)


# How a target gives the partners of an entry: the ids after it in its own
# run (greater, as the run is sorted by id within a key), the ids of its
# bucket in another run of the same documents of which only the greater
# ones count, or an older run (all smaller).
_AFTER, _OVER, _OLDER = range(3)


def _part(run, entries, own, older):
    """The entries ``entries`` of ``run`` (new documents' keys, document by
    document) with their partners: in ``own`` (``run`` itself: the entries
    after them; another run of new documents: its greater ids) and in the
    older runs."""
    targets = []
    if len(entries):
        # Searched in the run's order, sorted, which numpy's binary search
        # takes many times faster than keys in random order.
        keys = run.keys
        if own is run:
            hi = np.searchsorted(keys, keys, side="right")
            targets.append((run.ids, entries + 1, hi[entries], _AFTER))
        elif len(own):
            targets.append((own.ids, np.searchsorted(own.keys, keys, side="left")[entries],
                            np.searchsorted(own.keys, keys, side="right")[entries], _OVER))
        for other in older:
            if len(other):
                targets.append((other.ids, np.searchsorted(other.keys, keys, side="left")[entries],
                                np.searchsorted(other.keys, keys, side="right")[entries],
                                _OLDER))
    # Only the entries with some partner are kept: most have none.
    some = np.zeros(len(entries), dtype=bool)
    for _, lo, hi, _ in targets:
        some |= hi > lo
    some = np.flatnonzero(some)
    return run.ids[entries[some]], [(ids, lo[some], hi[some], kind)
                                    for ids, lo, hi, kind in targets]


class Candidates:
    """The candidate pairs (i < j) of some documents with all documents up to
    them, generated in chunks of about CHUNK_PAIRS raw pairs (a document's
    own pairs are never split). ``bound`` (the pairs counted once per band
    they share) is known at once; ``count()`` removes those repeats."""

    def __init__(self, parts, first, new, n, chunk=None):
        self.n, self._chunk = n, CHUNK_PAIRS if chunk is None else chunk
        self._first = first
        self._parts = []
        per_doc = np.zeros(new, dtype=np.int64)
        for own, targets in parts:
            if not len(own) or not targets:
                continue
            starts = np.concatenate([[0], np.cumsum(np.bincount(own - first, minlength=new))])
            raw = np.zeros(len(own) + 1, dtype=np.int64)
            for _, lo, hi, _ in targets:
                raw[1:] += hi - lo
            raw = np.cumsum(raw, out=raw)
            per_doc += raw[starts[1:]] - raw[starts[:-1]]
            self._parts.append((own, targets, starts))
        self._per_doc = per_doc
        self.bound = int(per_doc.sum())
        # every pair these documents make with each other and with the older ones
        self.all_pairs = new * (new - 1) // 2 + new * first

    def __iter__(self):
        docs = len(self._per_doc)
        cumulative = np.cumsum(self._per_doc)
        a = 0
        while a < docs:
            done = cumulative[a - 1] if a else 0
            b = int(np.searchsorted(cumulative, done + self._chunk, side="right"))
            b = min(max(b, a + 1), docs)
            i, j = self._pairs(a, b)
            a = b
            if len(i):
                yield i, j

    def _pairs(self, a, b):
        """The distinct pairs of the documents first + [a, b)."""
        lo, hi = [], []
        for own, targets, starts in self._parts:
            at = slice(starts[a], starts[b])
            mine = own[at]
            if not len(mine):
                continue
            for ids, start, stop, kind in targets:
                count = stop[at] - start[at]
                partner = ids[_ranges(start[at], count)]
                me = np.repeat(mine, count)
                if kind == _OVER:
                    keep = partner > me
                    partner, me = partner[keep], me[keep]
                if kind == _OLDER:
                    lo.append(partner)
                    hi.append(me)
                else:
                    lo.append(me)
                    hi.append(partner)
        if not lo:
            empty = np.empty(0, dtype=np.int64)
            return empty, empty
        lo, hi = np.concatenate(lo).astype(np.int64), np.concatenate(hi).astype(np.int64)
        width = np.int64(max(self.n, 1))
        keys = sorted_unique(lo * width + hi)
        return keys // width, keys % width

    def count(self):
        """The number of distinct candidate pairs (generates them)."""
        return sum(len(i) for i, _ in self)

    def pairs(self):
        """All the candidate pairs at once: (i, j), int64."""
        found = list(self)
        if not found:
            return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
        return tuple(np.concatenate(part) for part in zip(*found))


def filled_slots(signatures):
    """How many slots of each signature a shingle fell in: its distinct
    values (the others are borrowed copies)."""
    signatures = np.sort(np.asarray(signatures, dtype=np.uint32), axis=1)
    return 1 + np.count_nonzero(signatures[:, 1:] != signatures[:, :-1], axis=1)


class Bands:
    """Signatures with their LSH band buckets. ``add(signatures)`` gives the
    new documents ids from ``len(self)`` on and returns their Candidates;
    ``candidates()`` gives every candidate pair.

    ``short`` (bands, rows): a second set of bands through which pairs with
    a short document also meet (one whose signature fills fewer than
    SHORT_FILLED slots); by default SHORT_BANDS' for this setting."""

    def __init__(self, bands, rows, slots=SLOTS, short=...):
        if bands < 1 or rows < 1:
            raise ValueError(f"bands and rows must be positive, not {bands} and {rows}")
        if bands * rows > slots:
            raise ValueError(f"{bands} bands of {rows} rows need {bands * rows} slots, "
                             f"over the {slots} of a signature")
        if short is ...:
            short = SHORT_BANDS.get((bands, rows)) if slots == SLOTS else None
        if short is not None:
            short = tuple(int(x) for x in short)
            if len(short) != 2 or min(short) < 1 or short[0] * short[1] > slots:
                raise ValueError(f"short bands must be positive and fit in {slots} slots, "
                                 f"not {short}")
        self.bands, self.rows, self.slots, self.short = bands, rows, slots, short
        # Room grows by doubling, so that adding one document at a time
        # never copies all the others each time.
        self._held = np.empty((0, slots), dtype=np.uint32)
        self._n = 0
        self._runs = []
        self._wide = []    # the short bands' runs of every document
        self._narrow = []  # and of the short documents alone

    def __len__(self):
        return self._n

    @property
    def signatures(self):
        """The signatures of every document so far (a read-only view)."""
        view = self._held[:self._n]
        view.flags.writeable = False
        return view

    def _new(self, signatures, first):
        """The runs of documents ``first``, ``first + 1``, ... by their
        signatures: (main, wide, narrow, which are short)."""
        ids = np.arange(first, first + len(signatures), dtype=np.int64)
        run = _Run.of(band_keys(signatures, self.bands, self.rows), ids)
        if self.short is None:
            return run, None, None, None
        short = filled_slots(signatures) < SHORT_FILLED
        keys = band_keys(signatures, *self.short)
        return run, _Run.of(keys, ids), _Run.of(keys[short], ids[short]), short

    def _candidates(self, new, first, count, runs, wide, narrow):
        run, new_wide, new_narrow, short = new
        parts = [_part(run, run.by_document(), run, runs)]
        if short is not None:
            # A short document meets every document through the short
            # bands; a longer one only the short ones.
            parts.append(_part(new_wide, new_wide.by_document(short), new_wide, wide))
            parts.append(_part(new_wide, new_wide.by_document(~short), new_narrow, narrow))
        for made in new[:3]:
            if made is not None:
                made.at = None  # needed no more once the candidates are laid out
        return Candidates(parts, first, count, first + count)

    def add(self, signatures):
        """Adds documents by their signatures; returns the Candidates of
        their pairs with every document so far, themselves included."""
        signatures = self._checked(signatures)
        first = self._n
        new = self._new(signatures, first)
        out = self._candidates(new, first, len(signatures), self._runs, self._wide,
                               self._narrow)
        if first + len(signatures) > len(self._held):
            held = np.empty((max(2 * len(self._held), first + len(signatures)), self.slots),
                            dtype=np.uint32)
            held[:first] = self._held[:first]
            self._held = held
        self._held[first:first + len(signatures)] = signatures
        self._n = first + len(signatures)
        self._runs = _merge(self._runs + [new[0]])
        if self.short is not None:
            self._wide = _merge(self._wide + [new[1]])
            self._narrow = _merge(self._narrow + [new[2]])
        return out

    def candidates(self):
        """The Candidates of every pair of documents."""
        def one(runs):
            return _Run.merged(runs) if len(runs) > 1 else runs[0] if runs else _Run.empty()
        self._runs = [one(self._runs)] if self._runs else []
        run = one(self._runs)
        short = wide = narrow = None
        if self.short is not None:
            self._wide = [one(self._wide)] if self._wide else []
            self._narrow = [one(self._narrow)] if self._narrow else []
            wide, narrow = one(self._wide), one(self._narrow)
            short = filled_slots(self.signatures) < SHORT_FILLED
        return self._candidates((run, wide, narrow, short), 0, self._n, [], [], [])

    def query(self, signatures):
        """The Candidates of documents given by their signatures with every
        document so far and with each other, as if added (ids from
        ``len(self)`` on), leaving the bands as they are."""
        signatures = self._checked(signatures)
        return self._candidates(self._new(signatures, self._n), self._n, len(signatures),
                                self._runs, self._wide, self._narrow)

    def to_arrays(self):
        """Plain arrays to store: the parameters, and the signatures."""
        short = self.short or (0, 0)
        return {"bands": np.int64(self.bands), "rows": np.int64(self.rows),
                "short_bands": np.int64(short[0]), "short_rows": np.int64(short[1]),
                "signatures": self.signatures}

    @classmethod
    def from_arrays(cls, bands, rows, signatures, short_bands=None, short_rows=None):
        """The Bands of to_arrays' arrays (the buckets are made again);
        without the short bands, those of the setting."""
        signatures = np.asarray(signatures)
        if signatures.ndim != 2:
            raise ValueError(f"signatures must be two-dimensional, "
                             f"not {signatures.ndim}-dimensional")
        if short_bands is None and short_rows is None:
            short = ...
        elif int(short_bands) == 0 and int(short_rows) == 0:
            short = None
        else:
            short = (short_bands, short_rows)
        out = cls(int(bands), int(rows), signatures.shape[1], short=short)
        out.add(signatures)
        return out

    def _checked(self, signatures):
        signatures = np.asarray(signatures)
        if signatures.ndim != 2 or signatures.shape[1] != self.slots:
            raise ValueError(f"signatures must be of shape (n, {self.slots}), "
                             f"not {signatures.shape}")
        if signatures.dtype != np.uint32:
            raise TypeError(f"signatures must be uint32, not {signatures.dtype}")
        return np.ascontiguousarray(signatures)
