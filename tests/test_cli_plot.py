"""The pictures of the vendrask command: valid, not blank, and labelled."""
import re
import subprocess
import sys

import pytest

pytest.importorskip("matplotlib", reason="the plot extra (matplotlib) is not installed")
pytest.importorskip("scipy", reason="the plot extra (scipy) is not installed")
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


@pytest.mark.parametrize("count", [3, 10])
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


def test_heatmap_thins_names_that_cannot_fit(tmp_path):
    docs = corpus(tmp_path / "docs", 300)
    done = run("matrix", str(docs), "--plot", "m.svg", "--plot", "m.png", "--workers", "2", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    check_png(tmp_path / "m.png")
    shown = [t for t in svg_texts(tmp_path / "m.svg") if t.startswith("doc")]
    assert 2 * 40 <= len(shown) < 2 * 300


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
