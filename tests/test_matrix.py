import math
import re
import random

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _vendrask
import vendrask
from vendrask import _native

rng = random.Random(7)
PROSE = b"the quick brown fox jumps over the lazy dog while the cat sleeps "
DOCS = [
    b"", b"x", b"abc", b"abcabc", PROSE, PROSE * 3, PROSE[::-1] * 2,
    bytes(rng.getrandbits(8) for _ in range(300)), bytes(range(256)), PROSE, b"\0" * 40,
    PROSE * 400, (PROSE * 400)[:-1],  # over the limit together
]


def loop(ts, ss):
    def one(t, s):
        try:
            return _vendrask.measure(t, s)
        except RuntimeError:
            return math.nan
    return np.array([[one(t, s) for s in ss] for t in ts], dtype=np.float64).reshape(len(ts), len(ss))


@pytest.mark.parametrize("workers", [1, 3, -1])
@pytest.mark.parametrize("ts, ss", [
    (DOCS, DOCS), (DOCS[:6], DOCS[4:]), (DOCS[7:], DOCS[:3]), ([PROSE], [PROSE]),
    ([], DOCS), (DOCS, []), ([], []),
], ids=["square", "overlapping", "disjoint", "identical", "no rows", "no columns", "empty"])
def test_cdist_equals_a_loop_of_measure(ts, ss, workers):
    before = _vendrask.error()
    got = vendrask.cdist(ts, ss, workers=workers, errors="nan")
    assert got.dtype == np.float64 and got.shape == (len(ts), len(ss))
    assert np.array_equal(got, loop(ts, ss), equal_nan=True)
    assert _vendrask.error() == before or before is None


def test_matrix_is_cdist_of_a_list_with_itself():
    docs = DOCS[:11]
    assert np.array_equal(vendrask.matrix(iter(docs), workers=2), loop(docs, docs))


def test_over_limit_pair_is_refused_before_any_work():
    calls = []
    with pytest.raises(vendrask.JointSizeError) as info:
        vendrask.cdist([b"a", b"y" * 30000], [b"b", b"y" * 30000, b"c" * 5000, b"d" * 9000],
                       progress=lambda *a: calls.append(a))
    assert (info.value.i, info.value.j, info.value.len_t, info.value.len_s) == (1, 2, 30000, 5000)
    assert str(info.value) == ("ts[1] and ss[2] are 30000 + 5000 = 35000 bytes together, "
                               "over the joint size limit of 32767 bytes; errors=\"nan\" scores such "
                               "pairs as NaN, max_bytes=N cuts every document first")
    assert isinstance(info.value, ValueError) and calls == []


def test_matrix_leaves_the_modules_error_alone():
    with pytest.raises(RuntimeError):
        _vendrask.measure(b"a" * 40000, b"")
    vendrask.matrix(DOCS, errors="nan")
    assert _vendrask.error() == "Joint size of data should be less than 32 Kb"


def test_progress_reports_from_the_calling_thread_and_ends_at_the_total():
    seen = []
    vendrask.matrix([PROSE * (i % 50 + 1) for i in range(60)], workers=2,
                    progress=lambda done, total: seen.append((done, total)))
    assert seen and seen[-1][0] == seen[-1][1] > 0
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)


def test_an_exception_from_progress_stops_the_work():
    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vendrask.matrix([PROSE * (i % 50 + 1) for i in range(80)], workers=2, progress=stop)


@pytest.mark.parametrize("call, kind, text", [
    (lambda: vendrask.cdist([b"a", 3], [b"c"]), TypeError, "ts[1] must be str or bytes-like, not int"),
    (lambda: vendrask.cdist([b"a"], [None]), TypeError, "ss[0] is missing (None); drop it, or pass errors="),
    (lambda: vendrask.matrix([b"a", 2.5]), TypeError, "docs[1] must be str or bytes-like, not float"),
    (lambda: vendrask.matrix(b"abc"), TypeError, "docs must be a list of documents, not a single bytes"),
    (lambda: vendrask.nearest("abc"), TypeError, "ts must be a list of documents, not a single str"),
    (lambda: vendrask.cdist(None, [b"c"]), TypeError, "ts must be an iterable of documents"),
    (lambda: vendrask.cdist(["\ud800"], [b"c"]), ValueError, "ts[0] cannot be encoded as UTF-8"),
    (lambda: vendrask.cdist([b"a"], [b"c"], workers=0), ValueError, "workers must be"),
    (lambda: vendrask.cdist([b"a"], [b"c"], workers=-2), ValueError, "workers must be"),
    (lambda: vendrask.cdist([b"a"], [b"c"], workers=1.5), TypeError, ""),
    (lambda: vendrask.cdist([b"a"], [b"c"], errors="ignore"), ValueError, "errors must be one of"),
    (lambda: vendrask.cdist([b"a"], [b"c"], symmetric="avg"), ValueError, "symmetric must be one of"),
    (lambda: vendrask.cdist([b"a"], [b"c"], dtype=np.int32), ValueError, "dtype must be float64 or float32"),
    (lambda: vendrask.cdist([b"a"], [b"c"], max_bytes=-1), ValueError, "max_bytes must be"),
    (lambda: vendrask.cdist([b"a"], [b"c"], progress=3), TypeError, "progress must be callable"),
    (lambda: vendrask.nearest([b"a"], k=0), ValueError, "k must be a positive integer"),
    (lambda: vendrask.pairs([b"a"], threshold=float("nan")), ValueError, "threshold must be a number"),
    (lambda: vendrask.pdist([b"a"], symmetric=None), ValueError, "symmetric must be one of"),
    (lambda: vendrask.pairwise([b"a"], [b"b", b"c"]), ValueError, "ts and ss differ in length: 1 and 2"),
    (lambda: vendrask.pairwise([b"a"], rows=[0]), TypeError, "both rows and cols"),
    (lambda: vendrask.pairwise([b"a"], rows=[0], cols=[1]), IndexError, "cols[0] = 1 is out of range"),
    # The native core checks what it is given, too.
    (lambda: _native.batch_sizes((b"a",), np.zeros(2, np.int32), np.zeros(1, np.int32), np.zeros(1, np.int32), 1, None),
     ValueError, "dictionaries must be a contiguous array of 1 'i' items"),
    (lambda: _native.batch_sizes((b"a",), np.zeros(1, np.int32), np.zeros(1, np.int64), np.zeros(1, np.int32), 1, None),
     ValueError, "data must be"),
    (lambda: _native.batch_sizes((b"a",), np.zeros(1, np.int32), np.zeros(1, np.int32), b"1234", 1, None), BufferError, ""),
    (lambda: _native.batch_sizes((b"a",), np.full(1, -2, np.int32), np.zeros(1, np.int32), np.zeros(1, np.int32), 1, None),
     IndexError, "probe 0 indexes no string"),
    (lambda: _native.batch_sizes((b"a",), np.zeros(1, np.int32), np.ones(1, np.int32), np.zeros(1, np.int32), 1, None),
     IndexError, "probe 0 indexes no string"),
    (lambda: _native.batch_sizes(("a",), np.zeros(1, np.int32), np.zeros(1, np.int32), np.zeros(1, np.int32), 1, None),
     TypeError, "strings[0] must be bytes, not str"),
    (lambda: _native.batch_sizes((b"a",), np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0, np.int32), 0, None),
     ValueError, "workers must be from 1"),
    (lambda: _native.quotients(*[np.zeros(2, np.int32)] * 5, np.zeros(1)), ValueError, "k_s_e must be"),
])
def test_bad_arguments(call, kind, text):
    with pytest.raises(kind, match=re.escape(text) if text else None):
        call()


@pytest.mark.parametrize("workers", [1, 2])
def test_batch_sizes_are_the_probes_of_compressed_size(workers):
    # Every (dictionary, data) pair of DOCS, -1 for none: well over the size
    # at which the batch goes to threads.
    strings = tuple(DOCS)
    pairs = [(d, k) for d in range(-1, len(strings)) for k in range(len(strings))]
    dictionaries = np.array([d for d, _ in pairs], np.int32)
    data = np.array([k for _, k in pairs], np.int32)
    sizes = np.full(len(pairs), -7, np.int32)
    assert _native.batch_sizes(strings, dictionaries, data, sizes, workers, None) is None
    assert sizes.tolist() == [_native.compressed_size(strings[k], None if d < 0 else strings[d])
                              for d, k in pairs]


def test_quotients_of_the_five_sizes_are_the_measure():
    t, s = PROSE, PROSE[::-1] * 2
    k = [_native.compressed_size(s), _native.compressed_size(s, t), _native.compressed_size(t, s),
         _native.compressed_size(s, s), _native.compressed_size(t, t)]
    out = np.empty(3)
    columns = [np.array([size, size, 0 if i == 0 else size], np.int32) for i, size in enumerate(k)]
    columns[1][1] = -1  # a failed probe
    assert _native.quotients(*columns, out) == "An impossible zero value has appeared in the calculation"
    assert out[0] == _vendrask.measure(t, s) and np.isnan(out[1]) and np.isnan(out[2])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 33000), max_size=6), st.lists(st.integers(0, 33000), max_size=6))
def test_the_first_pair_over_the_limit_is_refused(len_ts, len_ss):
    ts, ss = [b"a" * n for n in len_ts], [b"a" * n for n in len_ss]
    over = [(i, j) for i, t in enumerate(ts) for j, s in enumerate(ss)
            if t != s and len(t) + len(s) > vendrask.JOINT_SIZE_LIMIT]
    if not over:
        return
    with pytest.raises(vendrask.JointSizeError) as info:
        vendrask.cdist(ts, ss)
    assert (info.value.i, info.value.j) == over[0]
