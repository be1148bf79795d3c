"""Which zlib this build compresses with, and whether it gives the defining values.

The measure's values are the compressed sizes of zlib 1.2.1. A build on
another zlib gives slightly different values (zlib-ng: quite different ones).
``zlib_info()`` says which zlib the modules run on and checks the known
answers of zlib 1.2.1 (``known_answers.json``) in this process, once.

Kept free of numpy, so that ``vendrask --version`` stays quick.
"""
import functools
import hashlib
import json
import os

from . import _native

RELEASE = "1.2.1"
EXACT_BUILD = "pip install . -C cmake.define.VENDRASK_ZLIB=1.2.1 (in the source tree)"
TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "known_answers.json")

__all__ = ["zlib_info", "report_lines"]


def build(recipe, texts, cache=None):
    """The bytes that a known answer's recipe describes: a list of pieces,
    each ["random", seed, n], ["text", i, start, n] (texts[i] repeated as
    needed), ["bytes", latin-1 text], ["repeat", recipe, count] or
    ["slice", recipe, start, stop], joined. `cache` (a dict) keeps what was
    built for reuse: many probes share their dictionaries."""
    if cache is None:
        cache = {}
    key = json.dumps(recipe)
    if key not in cache:
        cache[key] = _build(recipe, texts, cache)
    return cache[key]


def _build(recipe, texts, cache):
    out = []
    for piece in recipe:
        kind = piece[0]
        if kind == "random":
            out.append(hashlib.shake_256(b"vendrask known answers %d" % piece[1]).digest(piece[2]))
        elif kind == "text":
            text, start, length = texts[piece[1]], piece[2], piece[3]
            copies = -(-(start + length) // len(text))
            out.append((text * copies)[start:start + length])
        elif kind == "bytes":
            out.append(piece[1].encode("latin-1"))
        elif kind == "repeat":
            out.append(build(piece[1], texts, cache) * piece[2])
        elif kind == "slice":
            out.append(build(piece[1], texts, cache)[piece[2]:piece[3]])
        else:
            raise ValueError(f"unknown piece {kind!r} in a known answer")
    return b"".join(out)


def known_answers(path=None):
    """(probes, measures): lists of (data, dictionary or None, size) and of
    (t, s, measure), as zlib 1.2.1 gives them."""
    with open(path or TABLE, encoding="utf-8") as file:
        table = json.load(file)
    texts = [text.encode("utf-8") for text in table["texts"]]
    cache = {}
    probes = [(build(p["data"], texts, cache),
               None if p["dictionary"] is None else build(p["dictionary"], texts, cache),
               p["size"]) for p in table["probes"]]
    measures = [(build(m["t"], texts, cache), build(m["s"], texts, cache), m["measure"])
                for m in table["measures"]]
    return probes, measures


def differing_probes(probes):
    """Indices of the probes whose size differs in this process."""
    return [i for i, (data, dictionary, size) in enumerate(probes)
            if _native.compressed_size(data, dictionary) != size]


@functools.lru_cache(maxsize=None)
def _check():
    """(differing, total) known answers; computed once, on first use."""
    probes, _ = known_answers()
    return len(differing_probes(probes)), len(probes)


def zlib_info():
    """The zlib that vendrask's modules compress with, as a dict:

    - ``version``: its version text (``zlibVersion()``);
    - ``static``: whether it is linked into the modules (not a shared library);
    - ``zlib_ng``: whether it is zlib-ng, whose values differ most;
    - ``exact``: whether every known answer of zlib 1.2.1, the release that
      defines the measure's values, comes out the same here.
    """
    differing, _ = _check()
    return {"version": _native.version, "static": _native.static,
            "zlib_ng": _native.zlib_ng, "exact": differing == 0}


def report_lines():
    """One or two lines for ``vendrask --version`` and ``vendrask doctor``."""
    kind = "zlib-ng, " if _native.zlib_ng else ""
    kind += "linked in" if _native.static else "shared library"
    head = f"zlib {_native.version} ({kind}): "
    try:
        differing, total = _check()
    except (OSError, ValueError, KeyError, TypeError) as failure:
        return [head + f"cannot check the values: known answers unreadable ({failure})"]
    if differing == 0:
        return [head + f"exact values (all {total} known answers of zlib {RELEASE} match)"]
    return [head + f"not the defining values: {differing} of {total} known answers of "
                   f"zlib {RELEASE} differ",
            f"for the exact values build with: {EXACT_BUILD}"]
