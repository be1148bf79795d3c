"""Documents from pyarrow arrays and polars Series score as the same bytes in
a list do; mappings are refused; a short list of existing paths is warned of."""
import collections
import os
import re
import types
import warnings

import numpy as np
import pytest

import vendrask

PROSE = "the quick brown fox jumps over the lazy dog while the cat sleeps "
TEXTS = [PROSE, None, PROSE + "!", "lorem ipsum dolor sit amet", "caf\u00e9 \u00fcber na\u00efve " * 3,
         "", PROSE * 2]
AS_BYTES = [None if text is None else text.encode() for text in TEXTS]
FULL = [doc for doc in AS_BYTES if doc is not None]

# Missing documents and cuts are warned of; what is tested here is the values.
pytestmark = pytest.mark.filterwarnings("ignore::vendrask.DocumentWarning")


def _arrow(kind, binary=False, chunked=False, dictionary=False):
    def make(values):
        pa = pytest.importorskip("pyarrow")
        if kind.endswith("_view") and not hasattr(pa, kind):
            pytest.skip(f"this pyarrow has no {kind}")
        data = [None if v is None else v.encode() if binary else v for v in values]
        array = pa.array(data, getattr(pa, kind)())
        if dictionary:
            array = array.dictionary_encode()
        if chunked:
            array = pa.chunked_array([array[:2], array[2:4], array[4:]], array.type)
        return array
    return make


def _polars(dtype):
    def make(values):
        pl = pytest.importorskip("polars")
        if dtype == "Binary":
            return pl.Series([None if v is None else v.encode() for v in values], dtype=pl.Binary)
        return pl.Series(values, dtype=getattr(pl, dtype))
    return make


MAKERS = {
    "arrow string": _arrow("string"),
    "arrow large_string": _arrow("large_string"),
    "arrow string_view": _arrow("string_view"),
    "arrow binary": _arrow("binary", binary=True),
    "arrow large_binary": _arrow("large_binary", binary=True),
    "arrow binary_view": _arrow("binary_view", binary=True),
    "arrow chunked": _arrow("string", chunked=True),
    "arrow dictionary": _arrow("string", dictionary=True),
    "polars String": _polars("String"),
    "polars Binary": _polars("Binary"),
    "polars Categorical": _polars("Categorical"),
}


@pytest.fixture(params=list(MAKERS), ids=list(MAKERS))
def make(request):
    return MAKERS[request.param]


def test_scores_equal_those_of_the_bytes(make):
    assert np.array_equal(vendrask.matrix(make(TEXTS), errors="nan"),
                          vendrask.matrix(AS_BYTES, errors="nan"), equal_nan=True)
    full = [text for text in TEXTS if text is not None]
    for a, b in zip(vendrask.pairs(make(full), threshold=0.2, symmetric="mean"),
                    vendrask.pairs(FULL, threshold=0.2, symmetric="mean")):
        assert np.array_equal(a, b)
    # pairwise converts only the documents at rows and cols, one by one
    rows, cols = [0, 2, 3, 6], [2, 0, 6, 4]
    assert np.array_equal(vendrask.pairwise(make(TEXTS), rows=rows, cols=cols),
                          vendrask.pairwise(AS_BYTES, rows=rows, cols=cols))
    assert list(vendrask.Index(make(full), max_bytes=20)) == [doc[:20] for doc in FULL]
    with pytest.raises(TypeError, match=r"^docs\[1\] is missing \(None\); drop it, or pass "):
        vendrask.Index(make(TEXTS))


@pytest.mark.parametrize("build, message", [
    (lambda pa, pl: pa.array([1, 2]), "docs is a pyarrow Int64Array of int64 values; documents "
                                      "must be strings or binaries"),
    (lambda pa, pl: pa.array([["a"]]), "of list<item: string> values"),
    (lambda pa, pl: pa.table({"text": ["a"]}), "docs must be a list of documents, not a pyarrow "
                                                "Table; pass one of its columns"),
    (lambda pa, pl: pl.Series([1, 2]), "docs is a polars Series of Int64 values; documents must "
                                       "be String or Binary"),
    (lambda pa, pl: pl.DataFrame({"text": ["a"]}), "not a polars DataFrame; pass one of its "
                                                    "columns"),
], ids=["int array", "list array", "table", "int series", "frame"])
def test_columns_of_anything_but_text_are_refused(build, message):
    pa, pl = pytest.importorskip("pyarrow"), pytest.importorskip("polars")
    for call in (vendrask.matrix, vendrask.Index):
        with pytest.raises(TypeError, match=re.escape(message)):
            call(build(pa, pl))


def test_pyarrow_scalars_in_a_list_are_their_values():
    pa = pytest.importorskip("pyarrow")
    array = pa.array(["abc abc", None, "abd abd"])
    assert np.array_equal(vendrask.matrix(list(array), errors="nan"),
                          vendrask.matrix([b"abc abc", None, b"abd abd"], errors="nan"),
                          equal_nan=True)
    with pytest.raises(TypeError, match=r"docs\[0\] must be str or bytes-like, not a pyarrow "
                                        r"Int64Scalar"):
        vendrask.matrix([pa.scalar(3), pa.scalar("a")])


@pytest.mark.parametrize("mapping", [
    {"first text": "one", "second text": "two"}, collections.OrderedDict(a="one", b="two"),
    types.MappingProxyType({"a": "one", "b": "two"})], ids=["dict", "OrderedDict", "proxy"])
@pytest.mark.parametrize("call", [
    lambda docs: vendrask.matrix(docs),
    lambda docs: vendrask.pairwise(docs, rows=[0], cols=[1]),
    lambda docs: vendrask.Index(docs),
], ids=["matrix", "pairwise", "Index"])
def test_mappings_are_refused_not_taken_by_their_keys(mapping, call):
    with pytest.raises(TypeError, match=r"must be a list of documents, not a mapping \(\w+\); "
                                        r"pass list\(d.values\(\)\) for its values, or list\(d\) "
                                        r"for its keys"):
        call(mapping)


@pytest.fixture
def files(tmp_path):
    (tmp_path / "folder").mkdir()
    for name in ("a.txt", "b.txt"):
        (tmp_path / name).write_text(PROSE)
    return [str(tmp_path / "a.txt"), str(tmp_path / "b.txt"), str(tmp_path / "folder")]


def _warned(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return [w for w in caught if "looks like file paths" in str(w.message)]


@pytest.mark.parametrize("call, name, few", [
    (lambda docs: vendrask.matrix(docs), "docs", "all 3 documents name"),
    (lambda docs: vendrask.Index(docs), "docs", "all 3 documents name"),
    (lambda docs: vendrask.nearest(docs, k=1), "ts", "all 3 documents name"),
    (lambda docs: vendrask.matrix(docs[2:]), "docs", "the one document names"),
], ids=["matrix", "Index", "nearest", "one"])
def test_a_list_of_existing_paths_is_warned_of_at_the_callers_line(files, call, name, few):
    found = _warned(lambda: call(files))
    assert len(found) == 1 and found[0].category is vendrask.DocumentWarning
    assert os.path.samefile(found[0].filename, __file__)
    shown = f"{files[0]!r}, ..." if few.startswith("all") else repr(files[2])
    assert str(found[0].message).startswith(
        f"{name}: {few} an existing file or folder ({shown}), scored as the text of the path; "
        f"this looks like file paths: pass the files' contents")


@pytest.mark.parametrize("docs", [
    lambda files: files[:2] + ["not a file at all"],  # one that is no path: no warning
    lambda files: ["plain text"] + files,
    lambda files: [os.fsencode(name) for name in files],  # bytes are contents, never paths
    lambda files: files[:1] * 101,  # long lists are not checked
    lambda files: [files[0] + "\n"],
    lambda files: [""],
], ids=["one is text", "first is text", "bytes", "long list", "newline", "empty"])
def test_what_is_not_all_paths_is_not_warned_of(files, docs):
    assert _warned(lambda: vendrask.matrix(docs(files))) == []


def test_plain_lists_import_neither_pyarrow_nor_polars(run_python):
    done = run_python("import sys, vendrask\n"
                      "vendrask.matrix(['a', b'b', bytearray(b'c')]); vendrask.Index(['x', 'y'])\n"
                      "print(sorted(m for m in ('pyarrow', 'polars') if m in sys.modules))")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.parametrize("call", [
    lambda docs: vendrask.pairs(docs, threshold=0.5, max_bytes=16384, errors="nan"),
    lambda docs: vendrask.Index(docs, max_bytes=16384),
])
def test_cutting_past_half_the_limit_warns_that_the_cut_never_meet(call):
    docs = [bytes(range(256)) * 80, bytes(range(255, -1, -1)) * 80, b"short"]
    with pytest.warns(vendrask.DocumentWarning, match="never scored together"):
        call(docs)
