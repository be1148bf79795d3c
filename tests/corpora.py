"""Real text for the tests: distinct chunks of the standard library's sources,
among which some are near neighbours."""
import glob
import os


def stdlib_chunks(n, size=1024):
    """The first ``n`` distinct chunks of ``size`` bytes of the standard
    library's top-level modules, in file order."""
    out, seen = [], set()
    for path in sorted(glob.glob(os.path.join(os.path.dirname(os.__file__), "*.py"))):
        with open(path, "rb") as file:
            data = file.read()
        for at in range(0, len(data) - size, size):
            chunk = data[at:at + size]
            if chunk not in seen:
                seen.add(chunk)
                out.append(chunk)
            if len(out) == n:
                return out
    return out
