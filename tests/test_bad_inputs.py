"""Every kind of argument a caller might pass: each either gets a result the
interface allows or the interpreter's own exception, and none of these touch
error()."""
import math

import pytest

import _vendrask

JOINT = "Joint size of data should be less than 32 Kb"


class Bytes(bytes):
    pass


class HasBytes:
    def __bytes__(self):
        return b"abc"


class HasFloat:
    def __float__(self):
        return 0.5


class HasIndex:
    def __index__(self):
        return 3


@pytest.fixture(autouse=True)
def known_error():
    with pytest.raises(RuntimeError):
        _vendrask.measure(b"a" * 32768, b"")
    assert _vendrask.error() == JOINT
    yield
    assert _vendrask.error() == JOINT


MEASURE_REFUSED = {
    "no arguments": ((), {}, TypeError),
    "one argument": ((b"a",), {}, TypeError),
    "three arguments": ((b"a", b"b", b"c"), {}, TypeError),
    "keywords": ((), {"t": b"a", "s": b"b"}, TypeError),
    "None": ((None, b"a"), {}, TypeError),
    "str": ((b"a", "a"), {}, TypeError),
    "int": ((1, b"a"), {}, TypeError),
    "float": ((b"a", 1.5), {}, TypeError),
    "bytearray": ((bytearray(b"a"), b"a"), {}, TypeError),
    "memoryview": ((b"a", memoryview(b"a")), {}, TypeError),
    "list": (([97], b"a"), {}, TypeError),
    "__bytes__": ((HasBytes(), b"abc"), {}, TypeError),
}


@pytest.mark.parametrize("args, kwargs, kind", MEASURE_REFUSED.values(), ids=MEASURE_REFUSED.keys())
def test_measure_refuses(args, kwargs, kind):
    with pytest.raises(kind):
        _vendrask.measure(*args, **kwargs)


@pytest.mark.parametrize("t, s, expected", [
    (Bytes(b"abc"), Bytes(b"abc"), 1.0),
    (b"", b"", 1.0),
    (b"\0", b"\0\0", None),
    (Bytes(b"abcabc"), b"abcabd", None),
], ids=["subclasses", "empty", "zero bytes", "subclass and bytes"])
def test_measure_accepts(t, s, expected):
    x = _vendrask.measure(t, s)
    assert x == expected if expected is not None else 0.0 <= x < 1.0


ADJUST_REFUSED = {
    "one argument": ((1.0,), {}, TypeError),
    "keywords": ((), {"a": 1.0, "b": 2.0}, TypeError),
    "None": ((None, 1.0), {}, TypeError),
    "str": (("1.0", 1.0), {}, TypeError),
    "bytes": ((b"1", 1.0), {}, TypeError),
    "list": (([1.0], 1.0), {}, TypeError),
    "int too large for a float": ((10**400, 1.0), {}, OverflowError),
}


@pytest.mark.parametrize("args, kwargs, kind", ADJUST_REFUSED.values(), ids=ADJUST_REFUSED.keys())
def test_adjust_refuses(args, kwargs, kind):
    with pytest.raises(kind):
        _vendrask.adjust(*args, **kwargs)


@pytest.mark.parametrize("a, b, expected", [
    (float("nan"), 1.0, math.nan),
    (float("inf"), 1.0, math.inf),
    (float("-inf"), float("inf"), math.nan),
    (1e300, 0.0, math.inf),  # beyond single precision
    (1e-50, 0.0, 0.0),       # below it
    (True, False, 0.5),
    (HasFloat(), 0.5, 0.5),
    (HasIndex(), 1, 2.0),
    (-3, 1, -1.0),
])
def test_adjust_accepts_any_number(a, b, expected):
    x = _vendrask.adjust(a, b)
    assert math.isnan(x) if math.isnan(expected) else x == expected


SWITCH_REFUSED = {
    "no argument": ((), {}, TypeError),
    "keyword": ((), {"text": "TRACEUP"}, TypeError),
    "None": ((None,), {}, TypeError),
    "bytes": ((b"TRACEUP",), {}, TypeError),
    "int": ((1,), {}, TypeError),
    "embedded NUL": (("TRACEUP\0",), {}, ValueError),
    "lone surrogate": (("\udc80",), {}, UnicodeEncodeError),
}


@pytest.mark.parametrize("args, kwargs, kind", SWITCH_REFUSED.values(), ids=SWITCH_REFUSED.keys())
def test_switch_refuses_without_echo(capfd, args, kwargs, kind):
    with pytest.raises(kind):
        _vendrask.abcdefgh(*args, **kwargs)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("text", ["", "TRACEUPé", "трасеуп", "🙂" * 1000])
def test_switch_takes_any_text_as_utf8(capfd, text):
    assert _vendrask.abcdefgh(text) is None
    _vendrask.measure(b"abcabc", b"abcabd")
    assert capfd.readouterr().err == f"vendrask: abcdefgh: {text}\n"


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((None,), {}), ((), {"x": 1})], ids=["int", "None", "keyword"])
def test_error_takes_nothing(args, kwargs):
    with pytest.raises(TypeError, match=r"^error\(\)"):
        _vendrask.error(*args, **kwargs)
