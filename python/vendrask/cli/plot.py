"""Pictures for the vendrask command (matplotlib and scipy, the plot extra).

Figures are drawn without pyplot, so no GUI backend is ever touched, and are
written through the same replace-when-complete file as the other outputs.
"""
import math
import os

from .errors import shown
from .output import write_file

FONT_POINTS = 8.0
SMALL_FONT_POINTS = 6.0  # for many documents, so that more labels fit
LABEL_CHARACTERS = 40  # longer names are shortened in the middle
POINTS_PER_INCH = 72.0


def display_names(labels):
    """Labels as drawn: without the folder they all share, one line each,
    odd bytes shown as U+FFFD. Returns (names, shared folder or '')."""
    folders = [os.path.dirname(label) for label in labels]
    try:
        shared = os.path.commonpath(folders) or "." if all(folders) else ""
    except ValueError:  # absolute and relative paths mixed
        shared = ""
    names = []
    for label in labels:
        name = os.path.relpath(label, shared) if shared else label
        name = shown(name).encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        if len(name) > LABEL_CHARACTERS:
            half = (LABEL_CHARACTERS - 1) // 2
            name = name[:half] + "…" + name[-half:]
        names.append(name)
    return names, shared


def _save(figure, paths):
    for path in paths:
        _save_one(figure, path)


def _save_one(figure, path):
    import matplotlib
    def save(binary):
        # Text stays text in SVG: searchable and selectable names.
        with matplotlib.rc_context({"svg.fonttype": "none"}):
            figure.savefig(binary, format=os.path.splitext(path)[1][1:].lower(), dpi=100)
    write_file(path, save)


def _every(count, room_points, font_points):
    """Show every k-th of ``count`` labels so that they do not overlap."""
    pitch = room_points / max(count, 1)
    return max(1, math.ceil(1.25 * font_points / pitch))


COMBINED = {"mean": "mean of both directions", "min": "lower of both directions",
            "max": "higher of both directions"}


def heatmap(values, labels, paths, symmetric):
    """Symmetric scores ordered by average-linkage clustering of 1 - score,
    with the dendrogram on the left and the file names on the right and below.
    ``symmetric``: how ``values`` combine both directions (None: they do not,
    and the picture shows their mean)."""
    import matplotlib
    import numpy as np
    from matplotlib.figure import Figure
    from scipy.cluster.hierarchy import dendrogram, linkage, optimal_leaf_ordering
    from scipy.spatial.distance import squareform

    n = len(labels)
    scores = values if symmetric else (values + values.T) * 0.5
    order = list(range(n))
    tree = None
    if n >= 2:
        distance = 1.0 - scores
        distance[np.isnan(distance)] = 1.0  # a pair that cannot be scored counts as unrelated
        np.fill_diagonal(distance, 0.0)
        condensed = np.clip(squareform(distance, checks=False), 0.0, 1.0)
        tree = optimal_leaf_ordering(linkage(condensed, method="average"), condensed)
    names, shared = display_names(labels)

    font = FONT_POINTS if n <= 60 else SMALL_FONT_POINTS
    side = min(max(0.22 * n, 4.0), 11.0)  # inches of heatmap
    label_room = 0.15 + max(map(len, names)) * font * 0.6 / POINTS_PER_INCH
    tree_room = 0.0 if tree is None else min(max(0.25 * side, 1.0), 2.2)
    step = _every(n, side * POINTS_PER_INCH, font)
    unscored = int(np.isnan(scores).sum())
    where = f" in {shown(os.path.abspath(shared))}" if shared else ""
    heading = [(f"{n} document{'s' * (n != 1)}{where}", 10, "black"),
               (f"{COMBINED[symmetric or 'mean']}, clustered by average linkage"
                + (f"; one name in {step} shown" if step > 1 else ""), FONT_POINTS, "0.3")]
    if unscored:
        heading.append((f"grey: {unscored} cells not scored (over the joint size limit)",
                        FONT_POINTS, "0.3"))
    left, gap, bar_room, top = 0.25, 0.05, 0.9, 0.25 + 0.25 * len(heading)
    width = left + tree_room + gap + side + label_room + bar_room
    height = top + side + label_room + 0.2
    figure = Figure(figsize=(width, height))

    def axes(x, y, w, h):  # inches from the bottom left
        return figure.add_axes([x / width, y / height, w / width, h / height])

    heat_x, heat_y = left + tree_room + gap, label_room + 0.1
    heat = axes(heat_x, heat_y, side, side)
    if tree is not None:
        branches = axes(left, heat_y, tree_room, side)
        drawn = dendrogram(tree, orientation="left", ax=branches, no_labels=True,
                           link_color_func=lambda k: "0.35")
        order = drawn["leaves"]
        branches.set_ylim(10 * n, 0)  # first leaf on top, like the first row
        branches.set_axis_off()
    shown_scores = np.ma.masked_invalid(scores[np.ix_(order, order)])
    colours = matplotlib.colormaps["viridis"].copy()
    colours.set_bad("0.85")
    image = heat.imshow(shown_scores, cmap=colours, vmin=0.0, vmax=1.0, interpolation="nearest",
                        aspect="auto", extent=(0, n, n, 0))
    ticks = list(range(0, n, step))
    heat.set_yticks([k + 0.5 for k in ticks])
    heat.set_yticklabels([names[order[k]] for k in ticks], fontsize=font)
    heat.yaxis.tick_right()
    heat.set_xticks([k + 0.5 for k in ticks])
    heat.set_xticklabels([names[order[k]] for k in ticks], fontsize=font, rotation=90)
    heat.tick_params(length=2, pad=2)
    scale = axes(heat_x + side + label_room + 0.15, heat_y + side * 0.25, 0.15, side * 0.5)
    figure.colorbar(image, cax=scale).ax.tick_params(labelsize=FONT_POINTS)
    for row, (line, size, colour) in enumerate(heading):
        figure.text(heat_x, height - 0.3 - 0.25 * row, line, transform=figure.dpi_scale_trans,
                    fontsize=size, va="center", color=colour)
    _save(figure, paths)


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
    axes.hist(scores, bins=np.linspace(low, 1.0, 51), color="#3b6ea5", edgecolor="white",
              linewidth=0.4)
    # Near-duplicates are few against many unrelated pairs: a log scale shows both.
    axes.set_yscale("log")
    axes.set_ylim(bottom=0.7)
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
