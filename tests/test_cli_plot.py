"""The pictures of the vendrask command: valid, not blank, and labelled."""
import re
import subprocess
import sys

import pytest

pytest.importorskip("matplotlib", reason="the plot extra (matplotlib) is not installed")
pytest.importorskip("scipy", reason="the plot extra (scipy) is not installed")
import numpy as np  # noqa: E402
from matplotlib import image  # noqa: E402


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vendrask", *args], cwd=cwd, capture_output=True,
                          timeout=300)


def corpus(folder, count):
    folder.mkdir()
    for i in range(count):  # families of related texts, so that the clustering has work to do
        text = b"family %d: " % (i % 4) + b"line %d of the shared text\n" % (i % 4) * 20 + b"own %d" % i
        (folder / f"doc{i:03}.txt").write_bytes(text)
    return folder


def check_png(path, min_pixels=300, max_pixels=3000):
    pixels = image.imread(path)
    height, width = pixels.shape[:2]
    assert min_pixels <= width <= max_pixels and min_pixels <= height <= max_pixels
    rgb = pixels[..., :3].reshape(-1, 3)
    assert rgb.std() > 0.05 and len({tuple(p) for p in rgb[::7].tolist()}) > 20  # not blank


def svg_texts(path):
    return re.findall(r"<text[^>]*>([^<]*)</text>", path.read_text())


@pytest.mark.parametrize("count", [3, 10, 130])  # 130: a larger picture, not one name in two
def test_heatmap_names_every_document_when_there_are_few(tmp_path, count):
    docs = corpus(tmp_path / "docs", count)
    for name in ("m.png", "m.svg", "m.pdf"):
        done = run("matrix", str(docs), "--plot", name, cwd=tmp_path)
        assert done.returncode == 0 and b"Traceback" not in done.stderr, done.stderr
    check_png(tmp_path / "m.png")
    assert (tmp_path / "m.pdf").read_bytes().startswith(b"%PDF")
    texts = svg_texts(tmp_path / "m.svg")
    for i in range(count):  # once beside each row and once below each column
        assert texts.count(f"doc{i:03}.txt") == 2


def test_heatmap_names_clusters_when_names_cannot_fit(tmp_path):
    docs = corpus(tmp_path / "docs", 300)
    done = run("matrix", str(docs), "--plot", "m.svg", "--plot", "m.png", "--workers", "2", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    check_png(tmp_path / "m.png")
    texts = svg_texts(tmp_path / "m.svg")
    # One label per family of 75 (not one name in k, nor families split to fill the room),
    # each naming one of its members, and no column names.
    bands = sorted(t for t in texts if t.startswith("doc"))
    assert [t[-4:] for t in bands] == ["(75)"] * 4
    assert sorted(int(t[3:6]) % 4 for t in bands) == [0, 1, 2, 3]
    assert any(t.startswith("named: 4 clusters of the tree") for t in texts)


def planted(sizes, within=0.6, between=0.04, seed=1):
    """A symmetric score matrix with blocks of related documents among unrelated ones."""
    rng = np.random.default_rng(seed)
    n = sum(sizes) + 400  # and 400 unrelated to anything
    scores = between + rng.uniform(0.0, 0.03, (n, n))
    start = 0
    for size in sizes:
        scores[start:start + size, start:start + size] = within + rng.uniform(0.0, 0.1, (size, size))
        start += size
    scores = (scores + scores.T) / 2
    np.fill_diagonal(scores, 1.0)
    perm = rng.permutation(n)
    return scores[np.ix_(perm, perm)], perm


@pytest.mark.parametrize("sizes", [[600, 300, 150, 100, 60, 50], [120] * 12])
def test_heatmap_of_thousands_names_each_family_once_with_a_light_tree(tmp_path, sizes):
    from vendrask.cli.plot import heatmap
    scores, perm = planted(sizes)
    labels = [f"/srv/corpus/{'family' if k < sum(sizes) else 'lone'}-{k:04}/data.bin" for k in perm]
    heatmap(scores, labels, [str(tmp_path / "m.svg"), str(tmp_path / "m.png")], symmetric="mean")
    check_png(tmp_path / "m.png")
    svg = (tmp_path / "m.svg").read_text()
    texts = svg_texts(tmp_path / "m.svg")
    assert f"{len(labels)} documents in /srv/corpus/*/data.bin" in texts
    named = [t for t in texts if t.startswith("family-")]
    assert sorted(int(t.rsplit("(", 1)[1][:-1]) for t in named) == sorted(sizes)
    # The whole tree would be a line per document: thousands of paths, a grey mass.
    assert svg.count("<path") < 600


@pytest.mark.parametrize("labels, names, heading", [
    (["/usr/share/doc/zlib1g/copyright", "/usr/share/doc/libc6/copyright"],
     ["zlib1g", "libc6"], "/usr/share/doc/*/copyright"),
    (["./GPL-2", "./BSD"], ["GPL-2", "BSD"], None),
    (["a/x/README", "b/x/README", "c"], ["a/x/README", "b/x/README", "c"], None),
    (["only/one/file.txt"], ["file.txt"], None),
])
def test_labels_lose_what_all_names_share(labels, names, heading):
    from vendrask.cli.plot import display_names
    shown, prefix, suffix = display_names(labels)
    assert shown == names
    if heading:
        assert f"{prefix}/*/{suffix}" == heading


def test_long_labels_keep_what_tells_them_apart():
    from vendrask.cli.plot import LABEL_CHARACTERS, display_names
    stems = ["text", "image", "audio", "multipart", "nonmultipart", "base", "message", "application"]
    labels = [f"/usr/lib/python3.11/email/mime/__pycache__/{stem}.cpython-311{opt}.pyc"
              for stem in stems for opt in ("", ".opt-1", ".opt-2")]
    labels += [f"/usr/lib/python3.11/email/mime/{stem}.py" for stem in stems]
    labels += [f"/usr/lib/python3/dist-packages/setuptools/_distutils/__pycache__/{stem}.cpython-311.pyc"
               for stem in stems]
    names, _, _ = display_names(labels)
    assert len(set(names)) == len(labels) and max(map(len, names)) <= LABEL_CHARACTERS
    for label, name in zip(labels, names):
        stem, _, ending = label.rpartition("/")[2].partition(".")
        assert stem in name and name.endswith(ending[-3:]), (label, name)
        assert ("opt-1" in name) == ("opt-1" in label)


@pytest.mark.parametrize("command", [
    ["matrix", "docs", "--plot", "m.svg", "--plot", "m.png"],
    ["pairs", "--threshold", "0.5", "docs", "--plot", "h.png"],
    ["pairs", "--threshold", "0.5", "docs/doc000.txt", "--plot", "h.png"],  # no pair at all
])
def test_pictures_warn_of_nothing_even_under_w_error(tmp_path, command):
    corpus(tmp_path / "docs", 6)
    done = subprocess.run([sys.executable, "-W", "error", "-m", "vendrask", *command], cwd=tmp_path,
                          capture_output=True, timeout=300)
    assert (done.returncode, done.stderr) == (0, b"")
    check_png(tmp_path / command[-1], min_pixels=200)


@pytest.mark.parametrize("draw", ["heatmap", "histogram"])
def test_pictures_of_unscored_pairs_warn_of_nothing(tmp_path, draw):
    import warnings

    from vendrask.cli import plot
    values = np.full((3, 3), np.nan)
    np.fill_diagonal(values, 1.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if draw == "heatmap":
            plot.heatmap(values, ["a", "b", "c"], [str(tmp_path / "p.png")], symmetric=None)
        else:
            plot.histogram(values[~np.eye(3, dtype=bool)], 0.5, 0, [str(tmp_path / "p.png")], symmetric=None)
    check_png(tmp_path / "p.png", min_pixels=200)


def test_names_with_dollars_are_text_not_tex(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    names = ["$$.txt", "a$^$b.txt", "price $5 or $6"]
    for k, name in enumerate(names):
        (docs / name).write_bytes(b"some shared text %d " % k * 30)
    done = run("matrix", str(docs), "--plot", "m.svg", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    texts = svg_texts(tmp_path / "m.svg")
    assert all(texts.count(name) == 2 for name in names)


def test_heatmap_of_one_document_and_of_unscored_pairs(tmp_path):
    (tmp_path / "a").write_bytes(b"a" * 20000)
    (tmp_path / "b").write_bytes(b"b" * 20000)
    (tmp_path / "c").write_bytes(b"c")
    for args in (["a"], ["a", "b", "c", "--errors", "nan"]):
        done = run("matrix", *args, "--plot", "m.png", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        check_png(tmp_path / "m.png")


@pytest.mark.parametrize("symmetric", [[], ["--symmetric", "min"]])
def test_histogram_marks_the_threshold(tmp_path, symmetric):
    docs = corpus(tmp_path / "docs", 12)
    done = run("pairs", str(docs), "--threshold", "0.5", *symmetric, "--plot", "h.svg", "--plot", "h.png",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    check_png(tmp_path / "h.png")
    pairs = done.stdout.decode().count("\n") - 1
    assert f"threshold 0.5: {pairs} pairs" in " ".join(t.strip() for t in svg_texts(tmp_path / "h.svg"))


@pytest.mark.parametrize("symmetric, heading", [
    ([], "mean of both directions"), (["--symmetric"], "mean of both directions"),
    (["--symmetric", "min"], "lower of both directions"), (["--symmetric", "max"], "higher of both directions"),
])
def test_heatmap_says_how_it_combines_both_directions(tmp_path, symmetric, heading):
    docs = corpus(tmp_path / "docs", 4)
    done = run("matrix", *symmetric, str(docs), "--plot", "m.svg", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert f"{heading}, clustered by average linkage" in svg_texts(tmp_path / "m.svg")
