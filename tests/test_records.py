"""Records of JSON Lines, CSV, TSV and Parquet files as the documents of
dedup: read with one-line errors naming the file and the line or row, and
written back with a cluster each, or without their duplicates."""
import bz2
import csv
import gzip
import io
import json
import os
import sys

import pytest

pytest.importorskip("scipy.sparse")  # Index.clusters

import vendrask  # noqa: E402
from vendrask.cli import main, records, run  # noqa: E402
from vendrask.cli.args import _Parser, _fill_dedup  # noqa: E402
from vendrask.cli.errors import Failure, UsageError  # noqa: E402

FOX = "the quick brown fox jumps over the lazy dog, then naps in the sun. " * 3
LOREM = "lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod. " * 3
ROWS = [
    {"id": 1, "text": FOX},
    {"id": 2, "text": LOREM},
    {"id": 3, "text": FOX.replace("naps", "sleeps") + "again"},
    {"id": 4, "text": None},
    {"id": 5, "text": "disk full on /dev/sda1 at 03:00,\nretrying with \"care\"\tand a tab"},
    {"id": 6, "text": LOREM + " Ut enim ad minim veniam."},
    {"id": 7, "text": "caf\u00e9 \u00fcber na\u00efve r\u00e9sum\u00e9 " * 4},
    {"id": 8, "text": FOX},
]
THRESHOLD = 0.5
TEXTS = [None if row["text"] is None else row["text"].encode() for row in ROWS]
LABELS = [0, 1, 0, None, 2, 1, 3, 0]  # Index.clusters at THRESHOLD, None without text
# Where record 4, without text, is: CSV has a header, and record 5 on two lines.
MISSING_AT = {"jsonl": "line 4", "jsonl.gz": "line 4", "csv": "line 5", "tsv": "line 5",
              "parquet": "row 4"}


def _write(path, fmt, rows):
    if fmt.startswith("jsonl"):
        data = "".join(json.dumps(row, ensure_ascii=False) + "\n" for row in rows).encode()
        with (gzip.open if fmt.endswith(".gz") else open)(path, "wb") as file:
            file.write(data)
    elif fmt in ("csv", "tsv"):
        with open(path, "w", newline="", encoding="utf-8") as file:
            writer = csv.writer(file, delimiter="," if fmt == "csv" else "\t")
            writer.writerow(list(rows[0]))
            writer.writerows([["" if v is None else v for v in row.values()] for row in rows])
    else:
        pa, pq = _pyarrow()
        pq.write_table(pa.Table.from_pylist(rows), path, compression="zstd")
    return str(path)


def _pyarrow():
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    return pa, pq


FORMATS = ["jsonl", "csv", "tsv", "parquet", "jsonl.gz"]


@pytest.fixture(params=FORMATS)
def dataset(request, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fmt = request.param
    return fmt, _write(tmp_path / f"data.{fmt}", fmt, ROWS)


def _clusters(job, docs):
    args = job.args
    return vendrask.Index(docs).clusters(args.threshold, symmetric=args.symmetric, exact=args.exact)


def _wired():
    parser = _Parser(prog="vendrask dedup")
    _fill_dedup(parser)
    return "--field" in parser.long_options


@pytest.fixture
def dedup(capfdbinary, monkeypatch):
    """``vendrask dedup`` in this process: (status, stdout, stderr lines).
    Until the command's own parser takes --field, the records are routed
    to records.dedup here."""
    if not _wired():
        def parse(argv):
            parser = _Parser(prog="vendrask dedup")
            _fill_dedup(parser)
            records.add_options(parser)
            args = parser.parse_args(parser.rewrite(argv[1:]))
            args.command = "dedup"
            args.run = lambda args: records.wanted(args) and records.dedup(args, _clusters)
            return args
        monkeypatch.setattr(run, "parse", parse)

    def call(*argv):
        try:
            status = main(["dedup", "--threshold", str(THRESHOLD), *argv])
        except SystemExit as stop:
            status = stop.code
        out, err = capfdbinary.readouterr()
        lines = err.decode("utf-8", "surrogateescape").splitlines()
        if status != 2:
            assert all(line.startswith("vendrask: ") for line in lines), lines
        return status, out, lines
    return call


def _option(fmt):
    return "--field" if fmt.startswith("jsonl") else "--column"


# ---------------------------------------------------------------- reading

@pytest.mark.parametrize("errors", ["nan", "skip"])
def test_each_format_reads_the_same_texts(dataset, errors):
    fmt, path = dataset
    found, texts = records.read_records(path, "text", errors=errors)
    with found:
        assert texts == TEXTS and len(found) == len(ROWS)
        assert list(found.lengths) == [-1 if t is None else len(t) for t in TEXTS]
        assert (found.missing.count, found.missing.where) == (1, [MISSING_AT[fmt]])


def test_a_missing_text_stops_with_errors_raise(dataset):
    fmt, path = dataset
    with pytest.raises(Failure) as info:
        records.read_records(path, "text")
    what = "the field 'text' is null" if fmt.startswith("jsonl") else \
        "the column 'text' is null" if fmt == "parquet" else "the column 'text' is empty"
    assert str(info.value) == (f"{path}: {MISSING_AT[fmt]}: {what}; with --errors nan such "
                               f"records are kept without a cluster, with --errors skip left out")


def test_a_wrong_column_names_those_there_are(dataset):
    fmt, path = dataset
    with pytest.raises(Failure) as info:
        records.read_records(path, "txt", errors="nan")
    if fmt.startswith("jsonl"):
        assert str(info.value) == f"{path}: no record has the field 'txt'; the fields of line 1: id, text"
    else:
        assert str(info.value) == f"{path}: no column 'txt'; its columns: id, text"
    if fmt.startswith("jsonl"):  # with raise, the first record without it says so
        with pytest.raises(Failure, match=r"line 1 has no field 'txt'; its fields: id, text \("):
            records.read_records(path, "txt")


MALFORMED = {
    # A missing comma, which every Python words alike (3.13 words a trailing one otherwise).
    "bad JSON": ("jsonl", b'{"text": "a"}\n\n{"text": "b" "c"}\n',
                 "line 3: not valid JSON: Expecting ',' delimiter (column 14)"),
    "not an object": ("jsonl", b'{"text": "a"}\n["b"]\n', "line 2: expected a JSON object, not an array"),
    "an array": ("jsonl", b'[{"text": "a"},\n{"text": "b"}]\n',
                 "line 1 opens a JSON array: JSON Lines holds one object a line"),
    "not UTF-8": ("jsonl", b'{"text": "a"}\n{"text": "\xff"}\n', "line 2 is not UTF-8 text"),
    "number": ("jsonl", b'{"text": "a"}\n{"text": 12}\n', "line 2: the field 'text' is a number, not text"),
    "surrogate": ("jsonl", b'{"text": "\\ud800"}\n',
                  "line 1: the field 'text' is not valid Unicode: surrogates not allowed at character 0"),
    "field count": ("csv", b'id,text\n1,"a, b"\n2,c,d\n', "line 3: 3 fields, where the header has 2"),
    "quote": ("csv", b'id,text\n1,"a"b\n', "line 2: not valid CSV: ',' expected after '\"'"),
    "unclosed": ("csv", b'id,text\n1,a\n2,"b\nc\n', "line 3: not valid CSV: unexpected end of data"),
    "twice": ("csv", b'text,text\na,b\n', "the header names the column 'text' 2 times"),
    "empty": ("csv", b'', "no header: the file is empty"),
}


@pytest.mark.parametrize("fmt, data, message", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_records_are_one_line_naming_file_and_line(tmp_path, fmt, data, message):
    path = tmp_path / f"in.{fmt}"
    path.write_bytes(data)
    with pytest.raises(Failure) as info:
        records.read_records(str(path), "text", errors="nan")
    assert str(info.value) == f"{path}: {message}"


@pytest.mark.parametrize("column, kind", [("id", "int64"), ("tags", "list<element: string>")])
def test_parquet_columns_of_anything_but_text_are_refused(tmp_path, column, kind):
    pa, pq = _pyarrow()
    path = str(tmp_path / "in.parquet")
    pq.write_table(pa.table({"id": [1], "tags": [["a"]]}), path)
    with pytest.raises(Failure) as info:
        records.read_records(path, column)
    assert str(info.value) == f"{path}: the column {column!r} holds {kind} values, not text (string or binary)"
    (tmp_path / "in.parquet").write_bytes(b"id,text\n1,a\n")
    with pytest.raises(Failure, match=r"in.parquet: not a Parquet file: "):
        records.read_records(path, "text")


def test_texts_are_cut_and_long_ones_stand_in_for_themselves(tmp_path):
    long_a, long_b = b"a" * 40000, b"a" * 39999 + b"b"
    rows = [{"text": t.decode()} for t in (long_a, b"short text", long_b, long_a)]
    path = _write(tmp_path / "in.jsonl", "jsonl", rows)
    found, texts = records.read_records(path, "text")
    assert list(found.lengths) == [40000, 10, 40000, 40000]
    assert len(texts[0]) == vendrask.JOINT_SIZE_LIMIT + 1 and texts[0] == texts[3] != texts[2]
    assert vendrask.Index(texts).clusters(0.9).tolist() == [0, 1, 2, 0]
    found, texts = records.read_records(path, "text", max_bytes=100)
    assert texts == [long_a[:100], b"short text", long_b[:100], long_a[:100]]
    assert (found.cut.count, found.cut.where) == (3, ["line 1", "line 3", "line 4"])


# ---------------------------------------------------------------- choosing

@pytest.mark.parametrize("labels, lengths, how, kept", [
    ([0, 1, 0, 1, 2], [5, 5, 9, 3, 1], "first", [1, 1, 0, 0, 1]),
    ([0, 1, 0, 1, 2], [5, 5, 9, 3, 1], "longest", [0, 1, 1, 0, 1]),
    ([0, 0, 0], [4, 9, 9], "longest", [0, 1, 0]),  # a tie: the first of the longest
    ([None, 0, None, 0], [-1, 2, -1, 3], "first", [1, 1, 1, 0]),  # without text: always kept
    ([], [], "longest", []),
])
def test_keep_chooses_one_record_per_cluster(labels, lengths, how, kept):
    texts = [None if n < 0 else b"x" * n for n in lengths]
    assert records.keep(labels, texts, how) == [bool(k) for k in kept]
    assert records.keep(labels, [b""] * len(labels), how, lengths=lengths) == [bool(k) for k in kept]


# ---------------------------------------------------------------- the command

def _records(fmt, path):
    """(the file's records as bytes, header first for CSV; as dicts)."""
    if fmt == "parquet":
        return None, _pyarrow()[1].read_table(path).to_pylist()
    with (gzip.open if fmt.endswith(".gz") else open)(path, "rb") as file:
        data = file.read()
    end = b"\n" if fmt.startswith("jsonl") else b"\r\n"  # csv.writer's; record 5 holds a \n
    pieces = [piece + end for piece in data.split(end)[:-1]]
    if fmt.startswith("jsonl"):
        return pieces, [json.loads(piece) for piece in pieces]
    rows = list(csv.DictReader(io.StringIO(data.decode(), newline=""),
                               delimiter="," if fmt == "csv" else "\t"))
    return pieces, [{key: int(v) if v.isdigit() else v or None for key, v in row.items()}
                    for row in rows]


def test_clusters_add_exactly_one_field(dataset, dedup):
    fmt, path = dataset
    status, out, err = dedup(_option(fmt), "text", path, "--clusters", "-o", f"out.{fmt}")
    assert status == 0, err
    present = [t for t in TEXTS if t is not None]
    assert vendrask.Index(present).clusters(THRESHOLD).tolist() == [x for x in LABELS if x is not None]
    assert err[-1] == "vendrask: 8 records, 4 clusters, 3 duplicates"
    (before, old), (after, new) = _records(fmt, path), _records(fmt, f"out.{fmt}")
    assert new == [{**row, "cluster": label} for row, label in zip(old, LABELS)]
    if before is not None:  # each record's own bytes, then the field
        assert len(after) == len(before)
        assert all(b.startswith(a.rstrip()[:-1] if fmt.startswith("jsonl") else a.rstrip())
                   for a, b in zip(before, after))
    else:
        assert _pyarrow()[1].ParquetFile(f"out.{fmt}").metadata.row_group(0).column(0).compression == "ZSTD"


@pytest.mark.parametrize("how", ["first", "longest"])
def test_keep_writes_a_subset_of_the_records_unchanged(dataset, dedup, how):
    fmt, path = dataset
    status, out, err = dedup(_option(fmt), "text", path, "--keep", how, "-o", f"out.{fmt}")
    assert status == 0, err
    assert err[-1] == "vendrask: 8 records, 4 clusters, 3 duplicates removed"
    # the record without text stays; the longest of clusters 0 and 1 are records 2 and 5
    chosen = {"first": [0, 1, 3, 4, 6], "longest": [2, 3, 4, 5, 6]}[how]
    (before, old), (after, new) = _records(fmt, path), _records(fmt, f"out.{fmt}")
    assert new == [old[i] for i in chosen]
    if before is not None:
        header = before[:1] if fmt in ("csv", "tsv") else []
        assert after == header + [before[len(header) + i] for i in chosen]


@pytest.mark.parametrize("option, kept", [("nan", 8), ("skip", 7)])
def test_records_without_text_are_kept_or_left_out(tmp_path, dedup, monkeypatch, option, kept):
    monkeypatch.chdir(tmp_path)
    path = _write(tmp_path / "in.jsonl", "jsonl", ROWS)
    status, out, err = dedup("--field", "text", path, "--clusters", "--errors", option)
    assert status == 0, err
    lines = out.splitlines()
    assert len(lines) == kept
    fate = "left out" if option == "skip" else "kept without a cluster"
    assert err[0] == f"vendrask: 1 of 8 records has no text in 'text', {fate}: line 4"
    assert (json.loads(lines[3])["cluster"] is None) == (option == "nan")


def test_line_ends_bom_and_spacing_stay_as_they_were(tmp_path, dedup):
    data = (b'\xef\xbb\xbf{"text": "one two three four five six seven"}\r\n'
            b'  {  "text" : "one two three four five six seven!" }  \r\n'
            b'{"text": "completely other words"}')
    (tmp_path / "in.jsonl").write_bytes(data)
    status, out, err = dedup("--field", "text", str(tmp_path / "in.jsonl"), "--clusters",
                             "--cluster-field", "group id")
    assert status == 0, err
    assert out == (b'\xef\xbb\xbf{"text": "one two three four five six seven", "group id": 0}\r\n'
                   b'  {  "text" : "one two three four five six seven!" , "group id": 0}  \r\n'
                   b'{"text": "completely other words", "group id": 1}\n')
    status, out, err = dedup("--field", "text", str(tmp_path / "in.jsonl"), "--keep", "first")
    assert out == data.split(b"\n")[0] + b"\n" + data.split(b"\n")[2] + b"\n"


def test_csv_line_ends_and_quoting_stay_as_they_were(tmp_path, dedup):
    data = (b'"id;x",text,"n"\r\n1,"one, two three four five six seven","a\r\nb"\r\n'
            b'2,"one, two three four five six seven",\'y\'\r\n3,other,"multi\nline"')
    (tmp_path / "in.csv").write_bytes(data)
    status, out, err = dedup("--column", "text", str(tmp_path / "in.csv"), "--clusters")
    assert status == 0, err
    assert out == (b'"id;x",text,"n",cluster\r\n1,"one, two three four five six seven","a\r\nb",0'
                   b'\r\n2,"one, two three four five six seven",\'y\',0\r\n3,other,"multi\nline",1'
                   b'\r\n')


def test_stdin_and_compressed_files(tmp_path, dedup, monkeypatch):
    data = "".join(json.dumps(row) + "\n" for row in ROWS).encode()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    status, piped, err = dedup("--field", "text", "-", "--input-format", "jsonl", "--keep", "first")
    assert status == 0, err
    with bz2.open(tmp_path / "in.jsonl.bz2", "wb") as file:
        file.write(data)
    status, out, err = dedup("--field", "text", str(tmp_path / "in.jsonl.bz2"), "--keep", "first",
                             "-o", str(tmp_path / "out.jsonl.gz"))
    assert status == 0, err
    with gzip.open(tmp_path / "out.jsonl.gz", "rb") as file:
        assert file.read() == piped == b"".join(data.splitlines(keepends=True)[i]
                                                for i in (0, 1, 3, 4, 6))


def test_the_output_may_replace_the_input(tmp_path, dedup):
    path = _write(tmp_path / "in.csv", "csv", ROWS)
    status, _, err = dedup("--column", "text", path, "--keep", "first", "-o", path)
    assert status == 0, err
    with open(path, newline="", encoding="utf-8") as file:
        assert [row[0] for row in csv.reader(file)] == ["id", "1", "2", "4", "5", "7"]


def test_an_input_changed_before_it_is_written_back_is_refused(tmp_path):
    path = _write(tmp_path / "in.jsonl", "jsonl", ROWS)
    found, texts = records.read_records(path, "text", errors="nan")
    with open(path, "ab") as file:
        file.write(b'{"text": "late"}\n')
    with pytest.raises(Failure, match="in.jsonl changed while it was being deduplicated; nothing "
                                      "was written"):
        records.write_kept(found, [True] * len(found), str(tmp_path / "out.jsonl"))
    assert not os.path.exists(tmp_path / "out.jsonl")


def test_a_truncated_compressed_file_is_one_line(tmp_path, dedup):
    data = gzip.compress("".join(json.dumps(row) + "\n" for row in ROWS).encode())
    (tmp_path / "in.jsonl.gz").write_bytes(data[:len(data) // 2])
    status, out, err = dedup("--field", "text", str(tmp_path / "in.jsonl.gz"), "--keep", "first")
    assert (status, out, len(err)) == (1, b"", 1)
    assert err[0].startswith(f"vendrask: {tmp_path / 'in.jsonl.gz'}: cannot decompress: ")


USAGE = {
    "two files": (["a.jsonl", "b.jsonl", "--keep", "first"], "with --field, name one dataset file "
                  "(or '-' for stdin, with --input-format), not 2"),
    "nothing to write": (["a.jsonl"], "with --field, say what to write: --clusters (each record "
                         "with its cluster) or --keep first|longest (the records without their "
                         "duplicates)"),
    "both": (["a.jsonl", "--clusters", "--keep", "first"], "--clusters and --keep: choose one"),
    "unknown suffix": (["a.txt", "--keep", "first"], "a.txt: cannot tell the records' format "
                       "from its name: expected .jsonl, .ndjson, .json, .parquet, .pq, .csv or "
                       ".tsv (any case, and .gz, .bz2 or .xz behind), or --input-format FORMAT"),
    "stdin": (["-", "--keep", "first"], "records on stdin need --input-format FORMAT"),
    "other output": (["a.jsonl", "--keep", "first", "-o", "out.csv"], "out.csv: the records are "
                     "written as JSON Lines, as they are read; name the output accordingly (or "
                     "with no suffix)"),
    "parquet to stdout": (["a.parquet", "--keep", "first"], "writing Parquet needs -o FILE"),
    "glob": (["a.jsonl", "--keep", "first", "--glob", "*.txt"], "--glob selects files among DOCS; "
             "with --field, DOCS is one dataset file"),
    "format": (["a.jsonl", "--keep", "first", "--format", "json"], "--format sets how pairs and "
               "clusters of files are printed; records are written in their own format; with "
               "--field, DOCS is one dataset file"),
    "cluster field": (["a.jsonl", "--keep", "first", "--cluster-field", "c"],
                      "--cluster-field names the field that --clusters adds"),
}
NEEDS_FIELD = "needs --field NAME (or --column NAME): the field or column of the records that holds the text"
USAGE.update({f"{option} alone": (argv, f"{option} {NEEDS_FIELD}") for option, argv in (
    ("--keep", ["a.txt", "--keep", "first"]), ("--input-format", ["a.txt", "--input-format", "csv"]),
    ("--cluster-field", ["a.txt", "--clusters", "--cluster-field", "c"]))})


@pytest.mark.parametrize("argv, message", USAGE.values(), ids=USAGE.keys())
def test_usage_errors_are_one_line(tmp_path, monkeypatch, dedup, argv, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_text("text")
    field = [] if message.endswith(NEEDS_FIELD) else ["--field", "text"]
    status, out, err = dedup(*field, *argv)
    assert (status, out, err[-1]) == (2, b"", f"vendrask: {message}")


def test_the_added_field_must_be_new(dataset, dedup):
    fmt, path = dataset
    status, out, err = dedup(_option(fmt), "text", path, "--clusters", "--cluster-field", "id",
                             "-o", f"out.{fmt}")
    where = "line 1 has a field 'id' already" if fmt.startswith("jsonl") else "it has a column 'id' already"
    assert (status, err) == (1, [f"vendrask: {path}: {where}; name another for the clusters with "
                                 f"--cluster-field NAME"])
    assert not os.path.exists(f"out.{fmt}")


def test_parquet_without_pyarrow_says_what_to_install(tmp_path, dedup, monkeypatch):
    for name in [m for m in sys.modules if m == "pyarrow" or m.startswith("pyarrow.")]:
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    (tmp_path / "a.parquet").write_bytes(b"PAR1")
    status, out, err = dedup("--column", "text", str(tmp_path / "a.parquet"), "--keep", "first",
                             "-o", str(tmp_path / "out.parquet"))
    assert (status, err) == (2, ["vendrask: reading Parquet needs pyarrow: pip install "
                                 "'vendrask[datasets]'"])
    with pytest.raises(UsageError, match=r"pip install 'vendrask\[datasets\]'"):
        records.read_records(str(tmp_path / "a.parquet"), "text")
