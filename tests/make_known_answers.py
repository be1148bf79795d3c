"""Regenerates python/vendrask/known_answers.json from an exact build.

Run it in an environment where vendrask was installed with the zlib release
that defines the values compiled in:

    pip install . -C cmake.define.VENDRASK_ZLIB=1.2.1 \
        -C cmake.define.VENDRASK_ZLIB_SOURCE=$PWD/../shared/third_party/zlib-1.2.1.tar.gz
    python tests/make_known_answers.py

The texts inside the table are kept; --texts FILE... replaces them.
"""
import argparse
import json
import os
import sys

import _vendrask
from vendrask import _native, _zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "..", "python", "vendrask", "known_answers.json")

# Dictionary lengths where zlib releases treat a preset dictionary differently:
# under 3 bytes ignored, and only the last 32768 - 262 = 32506 bytes kept.
EDGE_LENGTHS = (0, 1, 2, 3, 4, 32505, 32506, 32507, 32767)


def rnd(seed, n):
    return [["random", seed, n]]


def text(i, start, n):
    return [["text", i, start, n]]


def lit(value):
    return [["bytes", value]]


def rep(recipe, count):
    return [["repeat", recipe, count]]


def cut(recipe, start, stop):
    return [["slice", recipe, start, stop]]


def cases():
    """(note, data, dictionary) of every probe."""
    out = []

    def add(note, data, dictionary=None):
        out.append((note, data, dictionary))

    # Empty data: an empty final block, whatever the dictionary.
    add("empty", [])
    for n in (0, 1, 2, 3, 4, 300, 32506, 32767):
        add(f"empty after {n}-byte dictionary", [], rnd(1, n))

    # Dictionaries around the edges, random and text, with data that is new,
    # that continues the dictionary, or that repeats its head or its tail.
    for n in EDGE_LENGTHS:
        for name, dictionary in (("random", rnd(2, n)), ("text", text(0, 0, n))):
            add(f"{name} dictionary {n}: fresh text", text(1, 500, 400), dictionary)
            add(f"{name} dictionary {n}: its head", cut(dictionary, 0, 300), dictionary)
            add(f"{name} dictionary {n}: its tail", cut(dictionary, max(n - 300, 0), n), dictionary)
            add(f"{name} dictionary {n}: random", rnd(3, 1000), dictionary)
        add(f"text dictionary {n}: the text that follows", text(0, n, 2000), text(0, 0, n))
        add(f"random dictionary {n}: its first 4 bytes", cut(rnd(2, n), 0, 4), rnd(2, n))

    # Best matches that start in the last bytes of the dictionary: the data
    # repeats the dictionary's last one, two or three bytes.
    for n in (3, 4, 5, 40, 1000, 32505, 32506, 32767):
        dictionary = rnd(4, n)
        for k in (1, 2, 3):
            tail = cut(dictionary, n - k, n)
            add(f"{n}-byte dictionary, data repeats its last {k}", rep(tail, 60 // k), dictionary)
            add(f"{n}-byte dictionary, its last {k} then random", tail + rnd(5, 50), dictionary)
        add(f"{n}-byte dictionary, data repeats its last 2, short", rep(cut(dictionary, n - 2, n), 2),
            dictionary)
    for n in (100, 5000):
        dictionary = text(1, 0, n)
        for k in (1, 2):
            add(f"text dictionary {n}, data repeats its last {k}",
                rep(cut(dictionary, n - k, n), 200 // k), dictionary)

    # Incompressible data: more than one 10240-byte scratch area of output.
    for n in (100, 5000, 10240, 10300, 20000, 32767, 65534):
        add(f"random {n}", rnd(6, n))
    for n in (10300, 16383, 20000):
        add(f"random {n} after itself", rnd(7, n), rnd(7, n))
        add(f"random {n} after other random", rnd(8, n), rnd(9, 32767 - n))

    # Repetitive data.
    for n in (1, 2, 3, 4, 258, 259, 1000, 32767, 100000):
        add(f"'a' x {n}", rep(lit("a"), n))
    for period in (2, 3, 7, 64, 255, 256, 4095, 8191):
        add(f"period {period}, 32767 bytes", cut(rep(rnd(10 + period, period), 32767 // period + 1), 0, 32767))
    for n in (10, 1000, 20000):
        add(f"'ab' x {n // 2} after 'ab' x {n // 2}", rep(lit("ab"), n // 2), rep(lit("ab"), n // 2))
        add(f"zeros {n} after random", rep(lit("\0"), n), rnd(11, 1000))

    # Real text: our own documentation and code.
    for i in (0, 1):
        for n in (1, 5, 20, 100, 700, 3000, 8000, 16383, 32767):
            add(f"text {i}, {n} bytes", text(i, 0, n))
        for n in (100, 1000, 8000):
            add(f"text {i}, {n} bytes after text {1 - i}", text(i, 1000, n), text(1 - i, 0, 4000))
            add(f"text {i}, {n} bytes after itself", text(i, 1000, n), text(i, 1000, n))
            add(f"text {i}, {n} bytes after what precedes it", text(i, 6000, n), text(i, 0, 6000))
    return out


def measure_cases():
    """(t, s) of every measured pair."""
    pairs = []
    for n in (1, 2, 3, 4, 100, 5000, 16383):
        pairs.append((text(0, 0, n), text(0, n // 2, n)))
        pairs.append((rnd(20, n), cut(rnd(20, n), n // 3, n) + text(1, 0, 50)))
    for n in (32505, 32506, 32507):
        pairs.append((text(0, 0, n), text(0, n, 32767 - n)))
        pairs.append((rnd(21, n - 200), rnd(21, 200)))
    for k in (1, 2, 3):
        t = rnd(22, 500)
        pairs.append((t, rep(cut(t, 500 - k, 500), 90 // k)))
        pairs.append((t + rep(cut(t, 500 - k, 500), 10), rep(cut(t, 500 - k, 500), 90 // k)))
    pairs += [
        ([], text(1, 0, 100)), (text(1, 0, 100), []),
        (text(0, 0, 1000), text(1, 0, 1000)), (text(1, 0, 1000), text(0, 0, 1000)),
        (text(0, 0, 16000), text(0, 16000, 16767)), (rnd(23, 10000), rnd(24, 10000)),
        (rep(lit("ab"), 5000), rep(lit("ab"), 4000)), (rep(lit("x"), 20000), rep(lit("y"), 12767)),
        (text(0, 0, 300), text(0, 0, 301)),
    ]
    return pairs


def dumps(table):
    """JSON with one probe or measure a line, so that a change shows in a diff."""
    head = {k: v for k, v in table.items() if k not in ("probes", "measures")}
    lines = ["{"] + [f"{json.dumps(k)}: {json.dumps(v, ensure_ascii=False)}," for k, v in head.items()]
    for key in ("probes", "measures"):
        rows = ",\n".join(json.dumps(row) for row in table[key])
        lines.append(f'"{key}": [\n{rows}\n]' + ("," if key == "probes" else ""))
    return "\n".join(lines) + "\n}\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", nargs="+", metavar="FILE", help="texts to build the probes from")
    parser.add_argument("--output", default=TABLE)
    options = parser.parse_args()
    if _native.version != _zlib.RELEASE or not _native.static:
        sys.exit(f"make_known_answers.py: this build runs on zlib {_native.version}; "
                 f"install the exact build first (see the docstring)")
    if options.texts:
        texts = []
        for path in options.texts:
            with open(path, encoding="utf-8") as file:
                texts.append(file.read())
    elif not os.path.exists(TABLE):
        sys.exit("make_known_answers.py: no table yet to take the texts from; give --texts FILE...")
    else:
        with open(TABLE, encoding="utf-8") as file:
            texts = json.load(file)["texts"]
    encoded = [t.encode("utf-8") for t in texts]

    def bytes_of(recipe):
        return None if recipe is None else _zlib.build(recipe, encoded)

    probes = []
    for note, data, dictionary in cases():
        size = _native.compressed_size(bytes_of(data), bytes_of(dictionary))
        probes.append({"note": note, "data": data, "dictionary": dictionary, "size": size})
    measures = []
    for t, s in measure_cases():
        value = _vendrask.measure(bytes_of(t), bytes_of(s))
        measures.append({"t": t, "s": s, "measure": value})
    table = {
        "about": "Compressed sizes (raw Deflate, level 3, 32 KiB window, memory level 8) and "
                 "measures as zlib 1.2.1 gives them. Made by tests/make_known_answers.py.",
        "zlib": _native.version, "texts": texts, "probes": probes, "measures": measures,
    }
    with open(options.output, "w", encoding="utf-8") as file:
        file.write(dumps(table))
    print(f"{len(probes)} probes and {len(measures)} measures written to {options.output}")


if __name__ == "__main__":
    main()
