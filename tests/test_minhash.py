"""The sketch candidate stage: signatures, band buckets and exact rescoring.

Whatever the bands find, every pair returned is an exact pair with its exact
score; planted near-duplicates are found; the buckets give the same
candidates however the documents come and after a round trip to arrays."""
import glob
import os
import pickle
import random
import tracemalloc
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vendrask
from vendrask import _minhash, _rescore
from vendrask._corpus import Corpus
from vendrask._plan import Side
from vendrask._reduce import listed_pairs

import _vendrask  # noqa: E402

TEST_SECONDS = 600
DIRECTIONS = [None, "mean", "min", "max"]
LIMIT = vendrask.JOINT_SIZE_LIMIT

doc = st.one_of(st.binary(max_size=30), st.text(alphabet="ab ", max_size=40),
                st.sampled_from([b"", b"abcde" * 8, b"abcde" * 7 + b"x", b"x" * (LIMIT // 2 + 1),
                                 b"y" * (LIMIT // 2 + 1), b"z" * (LIMIT // 2), b"w" * LIMIT]))
corpora = st.lists(doc, min_size=0, max_size=10)


def exact(docs, threshold, symmetric):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vendrask.DocumentWarning)
        return vendrask.pairs(docs, threshold=threshold, symmetric=symmetric, errors="nan")


def as_dict(found):
    i, j, s = found
    return dict(zip(zip(i.tolist(), j.tolist()), s.tolist()))


def text_chunks(n, size=1024):
    out = []
    for path in sorted(glob.glob(os.path.join(os.path.dirname(os.__file__), "*.py"))):
        data = open(path, "rb").read()
        out += [data[at:at + size] for at in range(0, len(data) - size, size)]
        if len(out) >= n:
            break
    return list(dict.fromkeys(out))[:n]


def edited(doc, rng):
    """A near-copy: a few words changed, a line moved, a header added."""
    lines = doc.split(b"\n")
    lines.insert(rng.randrange(len(lines)), lines.pop(rng.randrange(len(lines))))
    words = b"\n".join(lines).split(b" ")
    for at in rng.sample(range(len(words)), max(1, len(words) // 25)):
        words[at] = b"changed"
    return b"# copy\n" + b" ".join(words)


# -- the stage keeps the exact contract


@settings(max_examples=200, deadline=None)
@given(corpora, st.sampled_from(DIRECTIONS), st.sampled_from([0.0, 0.3, 0.6, 1.0]),
       st.sampled_from([(16, 4), (64, 1), (2, 8), (32, 4)]))
def test_near_pairs_are_exact_pairs_with_their_exact_scores(docs, symmetric, threshold, band):
    found = _rescore.near_pairs(docs, threshold, symmetric=symmetric, bands=band[0],
                                rows=band[1])
    want = as_dict(exact(docs, threshold, symmetric))
    got = as_dict(found)
    assert set(got) <= set(want)
    assert all(got[key] == want[key] for key in got)  # bit for bit, and never under
    i, j, _ = found
    assert np.all(np.lexsort((j, i)) == np.arange(len(i)))
    if symmetric is not None:
        assert np.all(i < j)
    # Equal documents always meet (1.0), short or empty as they may be.
    same = {(a, b) for a in range(len(docs)) for b in range(len(docs))
            if a != b and docs[a] == docs[b] and (symmetric is None or a < b)}
    assert same <= set(got)


@settings(max_examples=150, deadline=None)
@given(corpora, st.sampled_from(DIRECTIONS), st.sampled_from([0.0, 0.2, 0.5]),
       st.integers(1, 7))
def test_rescoring_every_pair_gives_the_exact_pairs(docs, symmetric, threshold, pieces):
    """Given every pair as candidates, in any chunks, rescoring is exact."""
    corpus = Corpus()
    ids = corpus.add([d.encode() if isinstance(d, str) else d for d in docs])
    u, v = np.triu_indices(len(corpus), 1)
    cuts = np.linspace(0, len(u), pieces + 1).astype(int)
    chunks = [(u[a:b], v[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
    direction = {None: "forward"}.get(symmetric, symmetric)
    found = _rescore.rescore(corpus, chunks, threshold, direction)
    got = as_dict(listed_pairs(Side(ids), corpus, *found, direction, threshold))
    assert got == as_dict(exact(docs, threshold, symmetric))


@pytest.mark.parametrize("symmetric", DIRECTIONS)
def test_missing_and_over_limit_documents_are_never_paired(symmetric):
    long = b"q" * (LIMIT - 10)
    docs = [None, b"some text here", None, long, long + b"!", b"some text here!", long]
    got = as_dict(_rescore.near_pairs(docs, 0.0, symmetric=symmetric, bands=64, rows=1))
    assert got == as_dict(exact(docs, 0.0, symmetric))
    assert not any(docs[a] is None or docs[b] is None for a, b in got)
    assert (3, 6) in got and (3, 4) not in got  # equal at 1.0; unequal over the limit


def test_planted_near_duplicates_are_found():
    rng = random.Random(5)
    base = text_chunks(400)
    copies = [edited(base[k], rng) for k in range(0, 400, 10)]
    docs = base + copies
    found = as_dict(_rescore.near_pairs(docs, 0.5))
    want = as_dict(exact(docs, 0.5, "mean"))
    planted = [(k * 10, 400 + k) for k in range(len(copies))]
    assert all(pair in want for pair in planted)  # the copies are near-duplicates
    assert all(pair in found for pair in planted)
    assert len(set(want) - set(found)) <= len(want) // 100
    assert all(found[key] == want[key] for key in found)


@pytest.mark.parametrize("threshold, edits", [(0.5, (4, 20)), (0.9, (1, 3))])
def test_planted_near_duplicate_lines_are_found(threshold, edits):
    """Short documents pass with fewer shingles in common than pages do;
    their near-copies are found all the same."""
    rng = random.Random(3)
    lines = [doc[:rng.randrange(80, 250)] for doc in text_chunks(300)]
    copies = []
    for line in lines[:150]:
        for _ in range(rng.randint(*edits)):
            at = rng.randrange(len(line) - 2)
            line = line[:at] + b"#" + line[at + 2:]
        copies.append(line)
    docs = lines + copies
    want = as_dict(exact(docs, threshold, "mean"))
    planted = [pair for pair in ((k, 300 + k) for k in range(150)) if pair in want]
    assert len(planted) >= 30
    found = as_dict(_rescore.near_pairs(docs, threshold))
    assert all(found[key] == want[key] for key in found)
    assert sum(pair in found for pair in planted) >= 0.99 * len(planted)
    assert len(set(want) - set(found)) <= len(want) // 100


def test_near_identical_lines_fall_back_to_every_pair(monkeypatch):
    lines = [b"2026-12-10 02:13:07 worker 3 finished the nightly job in 12 ms, id %04d" % k
             for k in range(300)]
    candidates = _minhash.Bands(*_rescore.setting(0.5, "mean")).add(_minhash.signatures(lines))
    assert candidates.count() > _rescore.FALLBACK_SHARE * candidates.all_pairs
    scored = []
    monkeypatch.setattr(_rescore, "rescore", lambda *args, **kwargs: scored.append(args))
    got, want = _rescore.near_pairs(lines, 0.5), exact(lines, 0.5, "mean")
    assert not scored  # the tiles of the exact path, not the candidates
    assert len(want[0]) == 300 * 299 // 2
    assert all(np.array_equal(a, b) for a, b in zip(got, want))


def peak_bytes(run):
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("others", [0, 2000])
def test_a_group_of_near_copies_costs_what_the_exact_path_costs(others):
    """1000 near-identical lines make half a million pairs: alone (every
    pair is a candidate) and among unrelated documents (they are not), the
    stage holds what the exact path holds for the same pairs, plus its
    signatures and band keys (a few KiB a document)."""
    rng = np.random.default_rng(0)
    docs = [b"2026-12-10 02:13:07 worker 3 finished the nightly job in 12 ms, id %04d" % k
            for k in range(1000)]
    docs += [bytes(rng.integers(32, 127, 120).astype(np.uint8)) for _ in range(others)]
    exact_peak = peak_bytes(lambda: exact(docs, 0.5, "mean"))
    stage_peak = peak_bytes(lambda: _rescore.near_pairs(docs, 0.5))
    assert stage_peak <= 1.05 * exact_peak + 4096 * len(docs)


@pytest.mark.parametrize("symmetric", DIRECTIONS)
def test_rescoring_takes_pairs_either_way_round(symmetric):
    docs = text_chunks(6)
    corpus = Corpus()
    corpus.add(docs + [docs[0] + b"!"])
    direction = {None: "forward"}.get(symmetric, symmetric)
    u, v = np.array([6, 2, 3, 0, 1]), np.array([0, 2, 1, 3, 4])  # reversed, and an id with itself
    got = _rescore.rescore(corpus, [(u, v)], 0.0, direction)
    assert got[0].tolist() == [0, 1, 0, 1] and got[1].tolist() == [6, 3, 3, 4]
    for a, b, forward, backward in zip(*got):
        assert forward == _vendrask.measure(corpus.strings[a], corpus.strings[b])
        assert backward == _vendrask.measure(corpus.strings[b], corpus.strings[a])


def test_a_huge_document_is_hashed_by_its_first_bytes():
    huge = b"".join(text_chunks(100)) * 40  # 4 MB
    sig = _minhash.signatures([huge, huge[:LIMIT], huge[:LIMIT] + b"more"])
    assert np.array_equal(sig[0], sig[1]) and np.array_equal(sig[1], sig[2])


# -- signatures


def test_signatures_are_fixed():
    docs = [b"", b"a", b"abcd", b"abcde", b"The quick brown fox jumps over the lazy dog"]
    first = _minhash.signatures(docs)
    assert first.dtype == np.uint32 and first.shape == (len(docs), _minhash.SLOTS)
    assert np.array_equal(first, _minhash.signatures(list(docs)))
    # The same values on every run and machine: a change here changes every
    # stored signature.
    assert first[:, :3].tolist() == PINNED


PINNED = [[2823580342] * 3, [1075539033] * 3, [3745826256] * 3, [3975455482] * 3,
          [840592515, 1925245974, 727680170]]


@pytest.mark.parametrize("a, b, meet", [
    (b"", b"", True), (b"ab", b"ab", True), (b"ab", b"ab\0", False), (b"", b"\0", False),
    (b"abc", b"abcd", False), (b"x" * 100, b"x" * 101, True),
])
def test_short_documents(a, b, meet):
    """A document with no shingle is one shingle of its own bytes: it meets
    its equals and not the strings it is a prefix of."""
    sig = _minhash.signatures([a, b])
    assert np.array_equal(sig[0], sig[1]) == meet


def test_signatures_estimate_jaccard_similarity():
    rng = np.random.default_rng(0)
    words = [bytes(rng.integers(97, 123, 6).astype(np.uint8)) for _ in range(400)]
    a = b" ".join(words)
    b = b" ".join(words[:300] + [w[::-1] for w in words[300:]])
    grams = lambda s: {s[k:k + _minhash.SHINGLE] for k in range(len(s) - _minhash.SHINGLE + 1)}
    jaccard = len(grams(a) & grams(b)) / len(grams(a) | grams(b))
    agree = np.mean(np.equal(*_minhash.signatures([a, b])))
    assert abs(agree - jaccard) < 0.15


def test_signatures_of_many_blocks_are_those_of_each(monkeypatch):
    docs = text_chunks(50)
    whole = _minhash.signatures(docs)
    monkeypatch.setattr(_minhash, "_BLOCK_BYTES", 3000)
    assert np.array_equal(_minhash.signatures(docs), whole)
    assert np.array_equal(_minhash.signatures(docs[7:8]), whole[7:8])


@pytest.mark.parametrize("shorter, agree, threshold, kept", [
    (1000, 0.41, 0.5, True), (1000, 0.39, 0.5, False),  # long pairs: 0.1 under
    (100, 0.31, 0.5, True), (100, 0.29, 0.5, False),    # a short one: 0.2 under
    (1000, 0.0, 0.05, True), (255, 1.0, 1.0, True), (256, 0.85, 1.0, False),
])
def test_screen_keeps_the_pairs_that_agree_enough(shorter, agree, threshold, kept):
    slots = _minhash.SLOTS
    sigs = np.zeros((2, slots), dtype=np.uint32)
    sigs[1, round(agree * slots):] = 1  # agree on the first agree * slots slots
    lengths = np.array([shorter, 5000])
    pair = (np.array([0]), np.array([1]))
    out = list(_rescore.screen([pair], sigs, lengths, threshold))
    assert bool(out) == kept
    assert _minhash.agreement(sigs, *pair)[0] == pytest.approx(round(agree * slots) / slots)


# -- the band buckets


def candidate_keys(pairs, n):
    i, j = pairs
    assert np.all(i < j)
    keys = i * n + j
    assert len(np.unique(keys)) == len(keys)  # each pair once
    return set(keys.tolist())


@pytest.fixture(scope="module")
def grouped_signatures():
    """Signatures with groups of near-copies, and unrelated documents."""
    rng = random.Random(1)
    base = text_chunks(120)
    docs = list(base)
    for k in range(0, 120, 4):
        docs += [edited(base[k], rng) for _ in range(k % 5)]
    rng.shuffle(docs)
    return _minhash.signatures(docs)


@pytest.fixture(scope="module")
def mixed_signatures():
    """Short lines and long chunks, each kind with near-copies: the short
    bands pair short documents with every other one."""
    rng = random.Random(2)
    base = text_chunks(60)
    lines = [line for doc in base for line in doc.split(b"\n") if len(line) > 20][:120]
    docs = base + lines + [edited(base[k], rng) for k in range(0, 60, 3)]
    docs += [line[:-3] + b"xyz" for line in lines[::2]] + [b"", b"ab", b"ab"]
    rng.shuffle(docs)
    sigs = _minhash.signatures(docs)
    short = _minhash.filled_slots(sigs) < _minhash.SHORT_FILLED
    assert 50 < short.sum() < len(docs) - 50
    return sigs


def band_sharers(keys, short=None):
    """Pairs sharing some band (one of them short, if ``short`` is given)."""
    n = len(keys)
    return {a * n + b for a in range(n) for b in range(a + 1, n)
            if (short is None or short[a] or short[b]) and np.any(keys[a] == keys[b])}


@pytest.mark.parametrize("kind, setting, short", [
    ("grouped", (10, 3), None), ("mixed", (10, 3), None), ("mixed", (6, 4), (8, 2)),
    ("mixed", (32, 4), ...), ("grouped", (6, 4), (8, 2)),
])
@pytest.mark.parametrize("piece", [1, 7, 50, 1000])
@pytest.mark.parametrize("chunk", [1, 30, _minhash.CHUNK_PAIRS])
def test_adding_in_pieces_gives_the_same_candidates(request, kind, setting, short, piece, chunk,
                                                    monkeypatch):
    monkeypatch.setattr(_minhash, "CHUNK_PAIRS", chunk)
    sigs = request.getfixturevalue(f"{kind}_signatures")
    n = len(sigs)
    whole = _minhash.Bands(*setting, short=short)
    every = candidate_keys(whole.add(sigs).pairs(), n)
    assert every == candidate_keys(whole.candidates().pairs(), n)
    bands, found = _minhash.Bands(*setting, short=short), set()
    for start in range(0, n, piece):
        queried = candidate_keys(bands.query(sigs[start:start + piece]).pairs(), n)
        new = bands.add(sigs[start:start + piece])
        keys = candidate_keys(new.pairs(), n)
        assert all(start <= key % n < start + piece for key in keys)  # new ones only
        assert not keys & found
        assert new.count() == len(keys) <= new.bound
        assert queried == keys  # a query is an add that leaves the bands as they were
        found |= keys
    assert found == every
    assert candidate_keys(bands.candidates().pairs(), n) == every
    assert len(bands._runs) <= 2 + int(np.log2(n))


def test_candidates_are_the_pairs_sharing_a_band(grouped_signatures):
    sigs = grouped_signatures[:150]
    want = band_sharers(_minhash.band_keys(sigs, 6, 4))
    assert want  # the groups share bands
    assert candidate_keys(_minhash.Bands(6, 4).add(sigs).pairs(), len(sigs)) == want


@pytest.mark.parametrize("place_bits", [3, 28])
def test_runs_too_long_for_one_sort_give_the_same_candidates(grouped_signatures, place_bits,
                                                              monkeypatch):
    """A run of more keys than the places a key's low bits hold is sorted
    another way (there, at 3 bits, a run of more than 7 keys)."""
    sigs = grouped_signatures
    n = len(sigs)
    is_short = _minhash.filled_slots(sigs) < _minhash.SHORT_FILLED
    want = (band_sharers(_minhash.band_keys(sigs, 6, 4))
            | band_sharers(_minhash.band_keys(sigs, 8, 2), is_short))
    monkeypatch.setattr(_minhash, "_PLACE_BITS", place_bits)
    monkeypatch.setattr(_minhash, "_PLACE_MASK", (1 << place_bits) - 1)
    bands = _minhash.Bands(6, 4, short=(8, 2))
    found = candidate_keys(bands.add(sigs).pairs(), n)
    assert found == candidate_keys(bands.candidates().pairs(), n)
    # Keys cut to their top bits meet a little more often, never less.
    assert want <= found and len(found - want) <= (len(want) // 100 if place_bits < 28 else 0)


@pytest.mark.parametrize("setting, short", [((6, 4), (8, 2)), ((32, 4), (40, 3)),
                                            ((12, 8), (20, 5))])
def test_short_documents_also_meet_through_the_short_bands(mixed_signatures, setting, short):
    sigs = mixed_signatures
    is_short = _minhash.filled_slots(sigs) < _minhash.SHORT_FILLED
    main = band_sharers(_minhash.band_keys(sigs, *setting))
    extra = band_sharers(_minhash.band_keys(sigs, *short), is_short) - main
    assert extra  # pairs that only the short bands find
    found = candidate_keys(_minhash.Bands(*setting, short=short).add(sigs).pairs(), len(sigs))
    assert found == main | extra
    assert _minhash.Bands(*setting).short == _minhash.SHORT_BANDS.get(setting)


@pytest.mark.parametrize("docs, short", [
    ([b"", b"a", b"2026-12-10 02:13:07 status installed libc6:amd64 2.36-9"], True),
    ([np.random.default_rng(0).bytes(1000), b"".join(text_chunks(3))], False),
    ([bytes(range(256)) * 4], True),  # few distinct shingles however long
])
def test_short_documents_are_told_by_their_signatures(docs, short):
    filled = _minhash.filled_slots(_minhash.signatures(docs))
    assert np.all((filled < _minhash.SHORT_FILLED) == short)


def test_chunks_stay_bounded(monkeypatch):
    monkeypatch.setattr(_minhash, "CHUNK_PAIRS", 500)
    sigs = np.zeros((200, _minhash.SLOTS), dtype=np.uint32)  # all in one bucket
    candidates = _minhash.Bands(8, 2).add(sigs)
    sizes = [len(i) for i, _ in candidates]
    assert sum(sizes) == candidates.count() == candidates.all_pairs == 200 * 199 // 2
    assert candidates.bound == 8 * candidates.all_pairs
    # a chunk holds at most its budget's raw pairs, or one document's
    assert max(sizes) <= 500 // 8 + 199


@pytest.mark.parametrize("setting, short", [((12, 5), ...), ((32, 4), ...), ((6, 4), (8, 2)),
                                            ((32, 4), None)])
def test_round_trip_through_arrays(grouped_signatures, setting, short):
    bands = _minhash.Bands(*setting, short=short)
    bands.add(grouped_signatures[:100])
    bands.add(grouped_signatures[100:])
    arrays = bands.to_arrays()
    assert all(isinstance(value, (np.ndarray, np.integer)) for value in arrays.values())
    again = _minhash.Bands.from_arrays(**{k: np.array(v) for k, v in arrays.items()})
    assert again.short == bands.short
    pickled = pickle.loads(pickle.dumps(bands))
    n = len(grouped_signatures)
    assert (candidate_keys(again.candidates().pairs(), n)
            == candidate_keys(bands.candidates().pairs(), n)
            == candidate_keys(pickled.candidates().pairs(), n))
    assert again.add(grouped_signatures[:3]).count() == bands.add(grouped_signatures[:3]).count()


@pytest.mark.parametrize("args, error, message", [
    ((0, 4), ValueError, "must be positive"),
    ((40, 4), ValueError, "need 160 slots"),
    ((8, 4, 128, (0, 2)), ValueError, r"short bands must be positive and fit in 128 slots, "
                                      r"not \(0, 2\)"),
    ((8, 4, 128, (40, 4)), ValueError, "short bands must be positive"),
])
def test_bad_band_settings(args, error, message):
    with pytest.raises(error, match=message):
        _minhash.Bands(*args)


@pytest.mark.parametrize("value, error, message", [
    (np.zeros((3, 5), np.uint32), ValueError, r"shape \(n, 128\)"),
    (np.zeros(128, np.uint32), ValueError, r"shape \(n, 128\)"),
    (np.zeros((3, 128), np.int64), TypeError, "must be uint32"),
])
def test_bad_signatures(value, error, message):
    with pytest.raises(error, match=message):
        _minhash.Bands(16, 4).add(value)


def test_empty_stores():
    bands = _minhash.Bands(16, 4)
    assert bands.candidates().count() == 0
    none = bands.add(np.empty((0, _minhash.SLOTS), np.uint32))
    assert (none.count(), none.bound, none.all_pairs) == (0, 0, 0)
    one = bands.add(_minhash.signatures([b"x"]))
    assert (one.count(), len(bands)) == (0, 1)
    assert [len(a) for a in _rescore.near_pairs([], 0.5)] == [0, 0, 0]


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(bands=4), TypeError, "both bands and rows"),
    (dict(bands=0, rows=2), ValueError, "bands must be a positive integer"),
    (dict(symmetric="avg"), ValueError, "symmetric must be one of"),
])
def test_bad_stage_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        _rescore.near_pairs([b"a", b"b"], 0.5, **kwargs)
