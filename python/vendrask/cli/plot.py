"""Pictures for the vendrask command (matplotlib and scipy, the plot extra).

Figures are drawn without pyplot, so no GUI backend is ever touched, and are
written through the same replace-when-complete file as the other outputs.
"""
import contextlib
import functools
import math
import os
import re
import warnings
from collections import Counter

from .errors import shown
from .output import write_file

FONT_POINTS = 8.0
SMALL_FONT_POINTS = 6.0  # for many documents, so that more labels fit
BAND_FONT_POINTS = 7.0  # cluster labels: few, so they can be larger than row names
LABEL_CHARACTERS = 40  # longer names are shortened where they resemble the others
POINTS_PER_INCH = 72.0
DOTS_PER_INCH = 100
LINE_PITCH = 1.25  # a label needs this many times its font size of height
NAMES_SIDE = 15.0  # inches of heatmap it may take to name every document
MOST_BANDS = 24  # named clusters when the names of all documents cannot fit
NEARLY = 0.95  # cuts that stand out this much of the best are as good
# Score within a cluster / score where it joins the rest: at which it counts
# fully, and below which it is not named.
STANDS_OUT = 2.0
STANDS_OUT_AT_ALL = 1.1
ELLIPSIS = "…"
LOWEST_SCORE = 1e-3  # the far end of the log scale of a cut tree
# Words and what separates them in a file name: the units shortening drops.
_PIECES = re.compile(r"[^/.\- ]+|[/.\- ]+")


def display_names(labels, limit=LABEL_CHARACTERS):
    """Labels as drawn, one line each, odd bytes shown as U+FFFD: without the
    leading folders and the trailing path components that all of them share,
    and those longer than ``limit`` shortened where they resemble the others.
    Returns (names, shared leading folder or '', shared trailing part or '')."""
    parts = [_displayed(label).split("/") for label in labels]
    lead = _shared_length([p[:-1] for p in parts])  # the name itself is never shared away
    trail = _shared_length([p[lead + 1:][::-1] for p in parts])  # nor all that is left of it
    prefix = ("/".join(parts[0][:lead]) or "/") if lead else ""  # or the root, which splits to ''
    suffix = "/".join(parts[0][len(parts[0]) - trail:]) if trail else ""
    names = ["/".join(p[lead:len(p) - trail]) for p in parts]
    return _shortened(names, limit), prefix, suffix


def _displayed(text):
    return shown(text).encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _shared_length(sequences):
    """How many leading items all ``sequences`` have in common."""
    if not sequences:
        return 0
    shared = 0
    for items in zip(*sequences):
        if any(item != items[0] for item in items):
            break
        shared += 1
    return shared


def _shortened(names, limit):
    """Names over ``limit`` characters with what most of the others also have
    replaced by an ellipsis: first whole folders, as long as no other file of
    the same name would fit what is left, then words of the file name but its
    extension (the rare words are what tell files apart), then, if still too
    long, the middle, keeping more of the end."""
    if all(len(name) <= limit for name in names):
        return names
    split = [name.split("/") for name in names]
    folders = Counter(folder for parts in split for folder in set(parts[:-1]))
    words = Counter(word for parts in split for word in set(_PIECES.findall(parts[-1])))
    alike = {}  # full names by file name: what a name without some folders could be mistaken for
    for name, parts in zip(names, split):
        alike.setdefault(parts[-1], []).append(name)
    short = []
    for name, parts in zip(names, split):
        if len(name) > limit:
            name = _without_folders(name, parts, folders, alike[parts[-1]], limit)
            head, _, last = name.rpartition("/")
            if len(name) > limit:
                pieces = _PIECES.findall(last)
                ending = [k for k, piece in enumerate(pieces) if not _is_separator(piece)][-1:]
                last = _elided(pieces, words, len(last) - (len(name) - limit), keep=ending)
                name = f"{head}/{last}" if head or name.startswith("/") else last
            name = _cut_middle(name, limit)
        short.append(name)
    taken = Counter(short)
    # Two names shortened alike would be told apart by nothing: keep their file names whole.
    return [_cut_middle(_without_folders(name, parts, folders, alike[parts[-1]], limit), limit)
            if taken[s] > 1 and s != name else s for name, parts, s in zip(names, split, short)]


def _is_separator(piece):
    return piece[:1] in ("/", ".", "-", " ")


def _without_folders(name, parts, frequency, alike, limit):
    pieces = re.split(r"(/)", name)
    folders = [k for k in range(0, len(pieces) - 1, 2) if pieces[k]]
    others = [other for other in alike if other != name]
    dropped, text = set(), name
    for k in sorted(folders, key=lambda k: (-frequency[pieces[k]], -len(pieces[k]), k)):
        if len(text) <= limit:
            break
        candidate = _joined(pieces, dropped | {k})
        pattern = re.compile(".*".join(map(re.escape, candidate.split(ELLIPSIS))), re.DOTALL)
        if len(candidate) < len(text) and not any(pattern.fullmatch(other) for other in others):
            dropped.add(k)
            text = candidate
    return text


def _elided(pieces, frequency, limit, keep=()):
    """Joins ``pieces`` with the most frequent of its words elided until it
    fits in ``limit``; a word no other name has is kept, and so are ``keep``."""
    words = [k for k, piece in enumerate(pieces) if not _is_separator(piece) and k not in keep]
    dropped, text = set(), "".join(pieces)
    # Most common first; of equally common words, the longer saves more room.
    for k in sorted(words, key=lambda k: (-frequency[pieces[k]], -len(pieces[k]), k)):
        if len(text) <= limit or frequency[pieces[k]] < 2 or len(dropped) + 1 >= len(words) + len(keep):
            break
        candidate = _joined(pieces, dropped | {k})
        if len(candidate) < len(text):
            dropped.add(k)
            text = candidate
    return text


def _joined(pieces, dropped):
    """``pieces`` with the words at ``dropped`` and the separators between two
    of them replaced by one ellipsis per run."""
    out = []
    for k, piece in enumerate(pieces):
        gone = k in dropped or (_is_separator(piece) and k - 1 in dropped and k + 1 in dropped)
        if not gone:
            out.append(piece)
        elif not out or out[-1] != ELLIPSIS:
            out.append(ELLIPSIS)
    return "".join(out)


def _cut_middle(name, limit):
    if len(name) <= limit:
        return name
    head = (limit - 1) // 3  # the end has the file name
    tail = limit - 1 - head
    return name[:head].rstrip(ELLIPSIS) + ELLIPSIS + name[-tail:].lstrip(ELLIPSIS)


def _save(figure, paths):
    for path in paths:
        _save_one(figure, path)


def _save_one(figure, path):
    import matplotlib
    def save(binary):
        # Text stays text in SVG: searchable and selectable names.
        with matplotlib.rc_context({"svg.fonttype": "none"}):
            figure.savefig(binary, format=os.path.splitext(path)[1][1:].lower(), dpi=DOTS_PER_INCH)
    write_file(path, save)


COMBINED = {"mean": "mean of both directions", "min": "lower of both directions",
            "max": "higher of both directions"}


@contextlib.contextmanager
def quiet_libraries():
    """Without the deprecation warnings that matplotlib's own internals raise
    on some pairings of versions (an older matplotlib with a newer pyparsing,
    at import and when drawing text): they are not the user's to act on, and
    under ``-W error`` they would stop the picture."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=DeprecationWarning,
                                module=r"(matplotlib|pyparsing)(\.|$)")
        yield


def _quiet_libraries(draw):
    @functools.wraps(draw)
    def quietly(*args, **kwargs):
        with quiet_libraries():
            return draw(*args, **kwargs)
    return quietly


@_quiet_libraries
def heatmap(values, labels, paths, symmetric):
    """Symmetric scores ordered by average-linkage clustering of 1 - score,
    with the dendrogram on the left and the file names on the right and below.
    When the names of all documents cannot fit, the tree is cut into clusters
    and the picture names those instead, each by its most central document.
    ``symmetric``: how ``values`` combine both directions (None: they do not,
    and the picture shows their mean)."""
    import numpy as np
    from matplotlib.figure import Figure

    n = len(labels)
    scores = values if symmetric else (values + values.T) * 0.5
    tree = _tree(scores) if n >= 2 else None
    names, prefix, suffix = display_names(labels)

    side = min(max(0.22 * n, 4.0), 11.0)  # inches of heatmap
    font = FONT_POINTS if n <= 60 else SMALL_FONT_POINTS
    # A larger picture rather than clusters of two or three: names say more.
    room = n * LINE_PITCH * font / POINTS_PER_INCH
    every_name = room <= NAMES_SIDE
    side = max(side, room) if every_name else side
    if every_name:
        bands = None
        row_labels = column_labels = names
    else:
        font = BAND_FONT_POINTS
        bands = _bands(tree, scores, math.ceil(LINE_PITCH * font * n / (side * POINTS_PER_INCH)))
        row_labels = [f"{names[central]}  ({stop - start})" for start, stop, central in bands.named]
        column_labels = []
    label_width = max(map(len, row_labels), default=0) * font * 0.6 / POINTS_PER_INCH
    right_room = 0.15 + label_width
    # Below: the names of the columns, or the score scale of the cut tree.
    bottom_room = 0.15 + (max(map(len, column_labels)) * font * 0.6 / POINTS_PER_INCH
                          if column_labels else 0.3)
    tree_room = 0.0 if tree is None else min(max(0.25 * side, 1.0), 2.2)

    unscored = int(np.isnan(scores).sum())
    if suffix:
        where = f" in {_displayed(os.path.join(os.path.abspath(prefix) if prefix else '', '*', suffix))}"
    else:
        where = f" in {_displayed(os.path.abspath(prefix))}" if prefix else ""
    heading = [(f"{n} document{'s' * (n != 1)}{where}", 10, "black"),
               (f"{COMBINED[symmetric or 'mean']}, clustered by average linkage", FONT_POINTS, "0.3")]
    if bands is not None:
        cut = "" if bands.height is None else f", cut at score {1.0 - bands.height:.2g}"
        count = len(bands.named)
        heading.append((f"named: {count} cluster{'s' * (count != 1)} of the tree{cut}, each by its "
                        f"most central document (size in brackets); columns in the same order"
                        if count else "named: none, no cluster stands out from the rest",
                        FONT_POINTS, "0.3"))
    if unscored:
        heading.append((f"grey: {unscored} cells not scored (over the joint size limit)",
                        FONT_POINTS, "0.3"))
    left, gap, bar_room, top = 0.25, 0.05, 0.9, 0.25 + 0.25 * len(heading)
    heat_x, heat_y = left + tree_room + gap, bottom_room + 0.1
    width = max(heat_x + side + right_room + bar_room,
                heat_x + max(len(line) * size * 0.55 for line, size, _ in heading) / POINTS_PER_INCH + 0.2)
    height = top + side + bottom_room + 0.2
    figure = Figure(figsize=(width, height))

    def axes(x, y, w, h):  # inches from the bottom left
        return figure.add_axes((x / width, y / height, w / width, h / height))

    heat = axes(heat_x, heat_y, side, side)
    order = [0]
    if tree is not None:
        branches = axes(left, heat_y, tree_room, side)
        if bands is None:
            order = _draw_tree(branches, tree)
            branches.set_axis_off()
        else:
            order = bands.order
            _draw_cut_tree(branches, tree, bands, font)
    image = _draw_scores(heat, scores, order, side)
    heat.yaxis.tick_right()
    if bands is None:
        ticks, ordered = [k + 0.5 for k in range(n)], [names[k] for k in order]
        # parse_math off: a '$' in a file name is not TeX.
        heat.set_yticks(ticks, ordered, fontsize=font, parse_math=False)
        heat.set_xticks(ticks, ordered, fontsize=font, rotation=90, parse_math=False)
        heat.tick_params(length=2, pad=2)
    else:
        _mark_bands(heat, bands, row_labels, font)
    scale = axes(heat_x + side + right_room + 0.15, heat_y + side * 0.25, 0.15, side * 0.5)
    figure.colorbar(image, cax=scale).ax.tick_params(labelsize=FONT_POINTS)
    for row, (line, size, colour) in enumerate(heading):
        figure.text(heat_x, height - 0.3 - 0.25 * row, line, transform=figure.dpi_scale_trans,
                    fontsize=size, va="center", color=colour, parse_math=False)
    _save(figure, paths)


def _tree(scores):
    """Average-linkage tree of 1 - score, leaves in their optimal order."""
    import numpy as np
    from scipy.cluster.hierarchy import linkage, optimal_leaf_ordering
    from scipy.spatial.distance import squareform

    distance = 1.0 - scores
    distance[np.isnan(distance)] = 1.0  # a pair that cannot be scored counts as unrelated
    np.fill_diagonal(distance, 0.0)
    condensed = np.clip(squareform(distance, checks=False), 0.0, 1.0)
    del distance
    return optimal_leaf_ordering(linkage(condensed, method="average"), condensed)


def _draw_tree(branches, tree):
    """The whole dendrogram, one leaf per row; returns the rows' order."""
    from scipy.cluster.hierarchy import dendrogram
    drawn = dendrogram(tree, orientation="left", ax=branches, no_labels=True,
                       link_color_func=lambda k: "0.35")
    branches.set_ylim(10 * len(drawn["leaves"]), 0)  # scipy's leaves are 10 apart; first on top
    return drawn["leaves"]


class _Bands:
    """A cut of the tree into clusters: ``order`` (documents by row),
    ``clusters`` [(first row, row after the last, tree node)] in row order,
    ``named`` [(first row, row after the last, document that names it)] for
    those large enough to label, and the ``height`` of the cut."""

    def __init__(self, order, clusters, named, height):
        self.order, self.clusters, self.named, self.height = order, clusters, named, height


def _bands(tree, scores, smallest):
    """Cuts the tree into clusters and picks those to name: at least
    ``smallest`` documents (room for a label) that score STANDS_OUT_AT_ALL
    times as high within as where they join the rest. Of the cuts with at
    most MOST_BANDS of them, the one where they stand out most: the sum of
    log(score within / score joined at), the length of their stems on the log
    scale of the drawn tree, each at most log(STANDS_OUT). Counting them
    instead would split a tight family of documents into as many pieces as
    fit."""
    import numpy as np
    from scipy.cluster.hierarchy import leaves_list

    n = len(tree) + 1
    sizes = np.concatenate([np.ones(n, dtype=np.int64), tree[:, 3].astype(np.int64)])
    log_score = np.log(np.maximum(1.0 - np.concatenate([np.zeros(n), tree[:, 2]]), LOWEST_SCORE))
    children = tree[:, :2].astype(np.int64)
    stem = np.zeros(2 * n - 1)  # the root has none
    stem[children] = log_score[children] - log_score[n:, None]
    # A cluster counts fully once it scores twice as high within as where it joins,
    # so that a few near-duplicate groups do not outweigh many looser families;
    # one that barely does is a chance grouping of unrelated documents.
    large = (sizes >= smallest) & (stem >= math.log(STANDS_OUT_AT_ALL))
    stem = np.minimum(stem, math.log(STANDS_OUT))
    count, standing = int(large[-1]), 0.0
    candidates = [(standing, n - 1)]  # (how much they stand out, the merges from here up undone)
    for merge in range(n - 2, -1, -1):  # average linkage merges in order of height
        node, a, b = n + merge, int(tree[merge, 0]), int(tree[merge, 1])
        count += int(large[a]) + int(large[b]) - int(large[node])
        standing += stem[a] * large[a] + stem[b] * large[b] - stem[node] * large[node]
        if count <= MOST_BANDS:
            candidates.append((standing, merge))
    # Of cuts nearly as good as the best, the coarsest: it names larger families.
    best = max(standing for standing, _ in candidates)
    best_at = max(merge for standing, merge in candidates if standing >= NEARLY * best)
    cut = {2 * n - 2}
    for merge in range(n - 2, best_at - 1, -1):
        cut.discard(n + merge)
        cut.update((int(tree[merge, 0]), int(tree[merge, 1])))
    height = float(tree[best_at, 2]) if best_at < n - 1 else None

    # A subtree's documents are consecutive rows: its first row and its size place it.
    order = leaves_list(tree)
    first = np.empty(2 * n - 1, dtype=np.int64)
    first[order] = np.arange(n)
    for merge in range(n - 1):
        first[n + merge] = min(first[int(tree[merge, 0])], first[int(tree[merge, 1])])
    clusters = sorted((int(first[node]), int(first[node] + sizes[node]), node) for node in cut)
    named = []
    for start, stop, node in clusters:
        if large[node]:
            rows = order[start:stop]
            # The most central document: the highest total score with the rest of its cluster.
            block = np.nan_to_num(scores[np.ix_(rows, rows)], nan=0.0)
            named.append((start, stop, int(rows[int(np.argmax(block.sum(axis=1)))])))
    return _Bands(order, clusters, named, height)


def _draw_cut_tree(branches, tree, bands, font):
    """The tree above the named clusters. Each named cluster, and each
    subtree holding none, is one wedge across its rows, reaching the score at
    which it formed: a few dozen shapes however many documents there are.
    Scores are on a log scale: unrelated documents score a few hundredths,
    and it is among those that large trees branch."""
    from matplotlib.collections import LineCollection, PolyCollection
    from matplotlib.ticker import FuncFormatter, NullFormatter

    n = len(tree) + 1
    sizes = tree[:, 3].astype(int)
    lowest = max(1.0 - float(tree[-1, 2]), LOWEST_SCORE)
    first = {start: (start, stop) for start, stop, _ in bands.named}
    roots = {node: first[start] for start, stop, node in bands.clusters if start in first}
    place = {}  # node drawn as, or joined at: (height, row)
    wedges, colours, links = [], [], []

    def height(node):  # as the score of the merge
        return max(1.0 - float(tree[node - n, 2]), lowest) if node >= n else 1.0

    def wedge(node, start, stop, colour):
        place[node] = (height(node), (start + stop) / 2)
        wedges.append([(1.0, start), (1.0, stop), place[node]])
        colours.append(colour)

    span = {}  # rows of every node above the named clusters: (first, after last)
    for node, (start, stop) in roots.items():
        span[node] = (start, stop)
        wedge(node, start, stop, "0.7")
    if not roots:  # nothing stands out: the whole tree is one wedge
        wedge(2 * n - 2, 0, n, "0.9")
    for merge in range(n - 1):
        node, children = n + merge, (int(tree[merge, 0]), int(tree[merge, 1]))
        if node in roots or not any(child in span for child in children):
            continue
        for child in children:
            if child not in span:  # a subtree without a named cluster: its rows follow its sibling's
                sibling = span[children[0] if child == children[1] else children[1]]
                size = 1 if child < n else sizes[child - n]
                start = sibling[1] if child == children[1] else sibling[0] - size
                span[child] = (start, start + size)
                wedge(child, start, start + size, "0.9")
        (xa, ya), (xb, yb) = place[children[0]], place[children[1]]
        links.append([(xa, ya), (height(node), ya), (height(node), yb), (xb, yb)])
        place[node] = (height(node), (ya + yb) / 2)
        span[node] = (span[children[0]][0], span[children[1]][1])
    branches.add_collection(PolyCollection(wedges, facecolors=colours, edgecolors="0.5", linewidths=0.3))
    branches.add_collection(LineCollection(links, colors="0.3", linewidths=0.7))
    branches.set_xscale("log")
    branches.set_xlim(lowest / 1.15, 1.0)  # the root on the left
    branches.set_ylim(n, 0)
    for edge in ("left", "right", "top"):
        branches.spines[edge].set_visible(False)
    branches.set_yticks([])
    branches.xaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    branches.xaxis.set_minor_formatter(NullFormatter())
    branches.tick_params(labelsize=font, length=2, pad=1)
    branches.set_xlabel("score at which they join", fontsize=font, labelpad=1)


def _mark_bands(heat, bands, labels, font):
    """Names the clusters beside their rows, brackets them beside and below
    the heatmap, and outlines their blocks."""
    from matplotlib.lines import Line2D
    from matplotlib.patches import Rectangle

    heat.set_yticks([(start + stop) / 2 for start, stop, _ in bands.named], labels, fontsize=font,
                    parse_math=False)
    heat.set_xticks([])
    heat.tick_params(length=0, pad=7)
    right, below = heat.get_yaxis_transform(), heat.get_xaxis_transform()
    gap = len(bands.order) * 0.002  # so that adjacent brackets stay apart
    for start, stop, _ in bands.named:
        low, high = start + gap, stop - gap
        heat.add_line(Line2D([1.006, 1.006], [low, high], transform=right, clip_on=False,
                             color="0.3", linewidth=1.2))
        heat.add_line(Line2D([low, high], [-0.006, -0.006], transform=below, clip_on=False,
                             color="0.3", linewidth=1.2))
        for colour, width in (("black", 1.4), ("white", 0.6)):  # seen on dark and on bright cells
            heat.add_patch(Rectangle((start, start), stop - start, stop - start, fill=False,
                                     edgecolor=colour, linewidth=width))


def _draw_scores(heat, scores, order, side):
    """The scores in row order; beyond one cell a pixel, each pixel is the
    mean of the cells it covers, so that no row is dropped and SVG and PDF
    files stay small."""
    import matplotlib
    import numpy as np

    n = len(order)
    pixels = int(side * DOTS_PER_INCH)
    if n <= pixels:
        picture = scores[np.ix_(order, order)]
    else:
        edges = np.linspace(0, n, pixels + 1).round().astype(np.int64)
        picture = np.empty((pixels, pixels))
        for k in range(pixels):  # a band of rows at a time: no second n by n array
            block = scores[order[edges[k]:edges[k + 1]]][:, order]
            finite = np.isfinite(block)
            total = np.add.reduceat(np.where(finite, block, 0.0).sum(axis=0), edges[:-1])
            count = np.add.reduceat(finite.sum(axis=0), edges[:-1])
            picture[k] = np.divide(total, count, out=np.full(pixels, np.nan), where=count > 0)
    colours = matplotlib.colormaps["viridis"].with_extremes(bad="0.85")
    return heat.imshow(np.ma.masked_invalid(picture), cmap=colours, vmin=0.0, vmax=1.0,
                       interpolation="nearest", aspect="auto", extent=(0, n, n, 0))


@_quiet_libraries
def histogram(scores, threshold, kept, paths, symmetric):
    """How all pair scores are spread, with the threshold and the pairs it keeps."""
    import numpy as np
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, NullFormatter

    total = scores.size
    scores = scores[~np.isnan(scores)]
    figure = Figure(figsize=(7.5, 4.2), layout="constrained")
    axes = figure.add_subplot()
    low = min(0.0, float(scores.min())) if scores.size else 0.0
    counts, _, _ = axes.hist(scores, bins=np.linspace(low, 1.0, 51), color="#3b6ea5", edgecolor="white",
                             linewidth=0.4)
    # Near-duplicates are few against many unrelated pairs: a log scale shows both.
    # Limits first: with no pair at all, a log scale has nothing to fit itself to.
    axes.set_ylim(0.7, max(float(counts.max()), 1.0) * 1.6)
    axes.set_yscale("log")
    axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    axes.yaxis.set_minor_formatter(NullFormatter())
    axes.set_xlim(low, 1.0)
    axes.axvline(threshold, color="#c0392b", linewidth=1.5, linestyle="--")
    axes.text(threshold, 1.01, f" threshold {threshold:g}: {kept} pair{'s' * (kept != 1)} ",
              transform=axes.get_xaxis_transform(), color="#c0392b", fontsize=9, va="bottom",
              ha="right" if threshold > 0.6 else "left")
    how = COMBINED[symmetric] if symmetric else "measure(t, s), every ordered pair"
    axes.set_xlabel(f"score ({how})")
    axes.set_ylabel("pairs (log scale)")
    unscored = total - scores.size
    note = f", {unscored} not scored (over the joint size limit)" if unscored else ""
    axes.set_title(f"{scores.size} pair scores{note}", loc="left", fontsize=10, pad=18)
    _save(figure, paths)
