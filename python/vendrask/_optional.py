"""Imports of optional packages that tell lack of memory from a missing package.

Under an address-space limit (RLIMIT_AS, or RLIMIT_DATA for private
mappings) loading an extension module can fail half way: the dynamic loader
cannot map a segment of a shared library, which Python reports as an
ImportError although the package is installed; and scipy's OpenBLAS, loaded
with too little room left for its per-thread buffers, loops forever inside
the loader. ``need`` answers both with MemoryError, and a package that is
really missing with what to install.
"""
import errno
import importlib
import importlib.util
import os
import sys

try:
    import resource
except ImportError:  # not on Windows: no limits to read there
    resource = None

MiB = 1 << 20
# What loading scipy's BLAS-linked modules adds to the address space: the
# libraries themselves, and for each of OpenBLAS's threads (one a CPU unless
# OPENBLAS_NUM_THREADS says otherwise) a 32 MiB buffer and a stack, which it
# maps as it loads. Measured at 99 MiB with one thread and 139 MiB with two.
_BLAS_LIBRARIES = 64 * MiB
_BLAS_PER_THREAD = 40 * MiB
# A loaded OpenBLAS maps a buffer for a thread at that thread's first call
# (and ends the process when it cannot): 40 MiB of room let a first call on
# 2 threads through, 32 did not.
_BLAS_BUFFER = 32 * MiB
_BLAS_MAX_THREADS = 64  # what the wheels' OpenBLAS is built for
# Modules that are loaded once OpenBLAS is: then it needs no more room.
_BLAS_LOADED = "scipy.linalg._fblas"

# The loader's words for a library it could not map for lack of memory
# ("cannot allocate memory in static TLS block" is another matter).
_OUT_OF_MEMORY = ("failed to map segment", "cannot map zero-fill pages",
                  "cannot allocate memory", "out of memory")


def need(name, what_for, extra="index"):
    """The module ``name``, imported if it is not yet. MemoryError when it
    cannot be loaded for lack of memory (or, for scipy under an address-space
    limit, would not have the room to load at all); ImportError "<what_for>
    needs <package> (<reason>): pip install 'vendrask[<extra>]'" when it is
    missing or broken."""
    module = sys.modules.get(name)
    if module is not None:
        return module
    package = name.partition(".")[0]
    if package == "scipy" and _BLAS_LOADED not in sys.modules and _installed(package):
        check_room(blas_room(), f"Loading {name} for {what_for}")
    try:
        return importlib.import_module(name)
    except MemoryError as error:
        raise MemoryError(f"{what_for}: out of memory while loading {name}") from error
    except (ImportError, OSError) as error:
        if _for_lack_of_memory(error):
            raise MemoryError(f"{what_for}: out of memory while loading {name} "
                              f"({error})") from None
        raise ImportError(f"{what_for} needs {package} ({error}): "
                          f"pip install 'vendrask[{extra}]'") from None


def _installed(package):
    try:
        return importlib.util.find_spec(package) is not None
    except (ImportError, ValueError):
        return False


def _for_lack_of_memory(error):
    if isinstance(error, OSError) and error.errno == errno.ENOMEM:
        return True
    text = str(error).lower()
    return "static tls" not in text and any(words in text for words in _OUT_OF_MEMORY)


def blas_threads():
    """How many threads scipy's OpenBLAS starts with (its own rule: the
    first of these variables that is set, else the CPUs this process may
    use), up to what it was built for."""
    for variable in ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"):
        try:
            threads = int(os.environ.get(variable, ""))
        except ValueError:
            continue
        if threads > 0:
            return min(threads, _BLAS_MAX_THREADS)
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    return max(1, min(cpus, _BLAS_MAX_THREADS))


def blas_room():
    """The address space that loading scipy's OpenBLAS takes, about."""
    return _BLAS_LIBRARIES + _BLAS_PER_THREAD * blas_threads()


def blas_call_room():
    """The address space that a first BLAS call may take for its buffers."""
    return _BLAS_BUFFER * (blas_threads() + 1)


def headroom():
    """The bytes this process may still map under its RLIMIT_AS and
    RLIMIT_DATA limits (None: no limit, or no way to tell)."""
    left = None
    if resource is None:
        return left
    for limit, field in ((resource.RLIMIT_AS, "VmSize:"), (resource.RLIMIT_DATA, "VmData:")):
        soft, _ = resource.getrlimit(limit)
        if soft == resource.RLIM_INFINITY:
            continue
        used = _status(field)
        if used is None:
            continue
        room = max(soft - used, 0)
        left = room if left is None else min(left, room)
    return left


def _status(field):
    """A size in bytes from /proc/self/status (None where there is none)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def check_room(needed, doing):
    """MemoryError, saying what it was for, unless ``needed`` bytes are left
    under this process's limits (or it has none)."""
    left = headroom()
    if left is not None and left < needed:
        raise MemoryError(f"{doing} takes about {needed // MiB} MiB of address space; "
                          f"{left // MiB} MiB are left under this process's limit")
