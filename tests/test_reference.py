"""_vendrask against the independent measure in reference.py, bit for bit."""
import random

import pytest
from hypothesis import given, settings, strategies as st

import zlib

import _vendrask
import reference
from vendrask import _native

# The reference runs on the interpreter's zlib; a build with another zlib
# compiled in (zlib 1.2.1 for the defining values) differs from it by design.
pytestmark = pytest.mark.skipif(_native.version != zlib.ZLIB_RUNTIME_VERSION,
                                reason="the module runs on another zlib than the interpreter's")

text_like = st.text(max_size=600).map(lambda s: s.encode("utf-8"))
repetitive = st.tuples(st.binary(min_size=1, max_size=12), st.integers(1, 200)).map(lambda p: p[0] * p[1])
strings = st.one_of(st.binary(max_size=3), st.binary(max_size=2000), text_like, repetitive)


@st.composite
def near_the_limit(draw):
    """A pair of related strings whose lengths add up to within a few bytes of 32767."""
    total = reference.LIMIT - draw(st.integers(0, 8))
    split = draw(st.integers(0, total))
    rng = random.Random(draw(st.integers(0, 2**32)))
    words = [bytes(rng.choices(b"abcdefghij ", k=rng.randint(1, 9))) for _ in range(50)]
    data = b" ".join(rng.choices(words, k=total)) [:total]
    return data[:split], data[split:]


def pairs():
    return st.one_of(st.tuples(strings, strings), near_the_limit(),
                     strings.flatmap(lambda t: st.tuples(st.just(t), st.just(t + b"!"))))


@settings(max_examples=300, deadline=None)
@given(pairs())
def test_measure_equals_the_reference(pair):
    t, s = pair
    assert _vendrask.measure(t, s) == reference.measure(t, s)


@pytest.mark.parametrize("t, s", [
    (b"the quick brown fox", b"the lazy dog"),
    (bytes(range(256)) * 8, bytes(range(255, -1, -1)) * 4),
    (b"ab", b"abababababab"),
    (b"x" * 20000, b"y" * 12767),
])
def test_trace_gives_the_reference_sizes(capfd, t, s):
    _vendrask.abcdefgh("TRACEUP")
    _vendrask.measure(t, s)
    _vendrask.abcdefgh("off")
    k = reference.sizes(t, s)
    line = ("vendrask, after measure: l_s: {}, l_t: {}, k_s_e: {}, k_s_t: {}, k_t_s: {}, k_s_s: {}, k_t_t: {}"
            .format(len(s), len(t), *k))
    assert capfd.readouterr().err.splitlines()[1:-1] == [line]
