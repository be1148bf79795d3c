"""Which zlib a build runs on, and whether it gives the values of zlib 1.2.1.

On a build with zlib 1.2.1 compiled in, every known answer must match. CI
sets VENDRASK_EXPECT_EXACT=1 for such a build, so that a build that silently
fell back to another zlib fails instead of skipping.
"""
import concurrent.futures
import importlib
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import _vendrask
import vendrask
from vendrask import _native, _zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
EXPECT_EXACT = os.environ.get("VENDRASK_EXPECT_EXACT") == "1"
EXACT_BUILD = _native.version == "1.2.1" and _native.static
needs_exact_build = pytest.mark.skipif(not (EXACT_BUILD or EXPECT_EXACT),
                                       reason="needs a build with VENDRASK_ZLIB=1.2.1")

PROBES, MEASURES = _zlib.known_answers()
with open(_zlib.TABLE, encoding="utf-8") as table:
    NOTES = [p["note"] for p in json.load(table)["probes"]]


def version_tuple(text):
    return tuple(int(part) for part in re.findall(r"\d+", text)[:3])


@needs_exact_build
def test_exact_build_reports_itself():
    assert vendrask.zlib_info() == {"version": "1.2.1", "static": True, "zlib_ng": False, "exact": True}
    assert _native.header_version == "1.2.1"


@needs_exact_build
def test_every_known_probe_matches():
    differing = [NOTES[i] for i in _zlib.differing_probes(PROBES)]
    assert differing == []


@needs_exact_build
def test_every_known_measure_matches():
    got = [_vendrask.measure(t, s) for t, s, _ in MEASURES]
    assert got == [value for _, _, value in MEASURES]
    np = pytest.importorskip("numpy")
    for t, s, value in MEASURES:
        assert vendrask.cdist([t], [s])[0, 0] == np.float64(value)


def test_info_agrees_with_the_known_answers():
    info = vendrask.zlib_info()
    assert info["version"] == _native.version
    assert isinstance(info["static"], bool) and isinstance(info["zlib_ng"], bool)
    assert info["exact"] == (_zlib.differing_probes(PROBES) == [])
    if info["zlib_ng"] or version_tuple(info["version"]) >= (1, 2, 11):
        # These releases match strings that start in a dictionary's last two
        # bytes, which several known answers probe.
        assert not info["exact"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("module", ["_vendrask", "vendrask._native"])
def test_static_flag_matches_what_the_module_links(module):
    # A module on a shared zlib imports deflate; one with zlib linked in keeps
    # it, and everything else, to itself.
    path = importlib.import_module(module).__file__

    def symbols(kind):
        out = subprocess.run(["nm", "-D", kind, path], capture_output=True, text=True, check=True).stdout
        return [line.split()[-1].split("@")[0] for line in out.splitlines()]

    assert ("deflate" in symbols("--undefined-only")) == (not _native.static)
    assert symbols("--defined-only") == ["PyInit_" + module.rpartition(".")[2]]


@pytest.mark.parametrize("data, dictionary, size", [
    (b"", None, 2), (b"", b"", 2), (bytearray(b""), b"abc", 2),
    (memoryview(b"abcabcabc"), None, _native.compressed_size(b"abcabcabc")),
    (b"abcabcabc", bytearray(b"ab"), _native.compressed_size(b"abcabcabc")),  # under 3 bytes: no effect
])
def test_compressed_size_takes_any_bytes_like(data, dictionary, size):
    assert _native.compressed_size(data, dictionary) == size


@pytest.mark.parametrize("args", [("text",), (b"x", "text"), (b"x", 5), (), (b"x", None, None)])
def test_compressed_size_refuses_bad_arguments(args):
    with pytest.raises(TypeError):
        _native.compressed_size(*args)


@pytest.mark.parametrize("args", [(memoryview(b"abcdef")[::2],), (b"x", memoryview(b"abcdef")[::2])])
def test_compressed_size_refuses_scattered_buffers(args):
    with pytest.raises((TypeError, BufferError)):
        _native.compressed_size(*args)


def test_compressed_size_calls_at_once_on_threads_do_not_disturb_each_other():
    # Each call has zlib memory of its own and lets the GIL go: calls that
    # overlap must still give the serial sizes.
    jobs = [(data, dictionary) for data, dictionary, _ in PROBES] * 3
    expected = [_native.compressed_size(*job) for job in jobs]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(lambda job: _native.compressed_size(*job), jobs)) == expected


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a GIL of their own came in 3.12")
def test_native_module_loads_in_an_interpreter_with_its_own_gil(run_python):
    size = _native.compressed_size(b"abcabcabc", b"abc")
    done = run_python(textwrap.dedent(f"""
        import sys
        code = ("from vendrask import _native\\n"
                "assert _native.compressed_size(b'abcabcabc', b'abc') == {size}\\n"
                "assert _native.version == {_native.version!r}\\n")
        if sys.version_info >= (3, 13):
            import _interpreters
            interpreter = _interpreters.create("isolated")
            failure = _interpreters.run_string(interpreter, code)
            assert failure is None, failure
        else:
            import _xxsubinterpreters
            interpreter = _xxsubinterpreters.create(isolated=True)
            _xxsubinterpreters.run_string(interpreter, code)
        """))
    assert done.returncode == 0, done.stderr


def test_report_says_whether_values_are_exact():
    lines = _zlib.report_lines()
    assert lines[0].startswith(f"zlib {_native.version} (")
    differing = len(_zlib.differing_probes(PROBES))
    if differing == 0:
        assert len(lines) == 1 and f"all {len(PROBES)} known answers" in lines[0]
    else:
        assert len(lines) == 2
        assert f"not the defining values: {differing} of {len(PROBES)} known answers" in lines[0]
        assert "cmake.define.VENDRASK_ZLIB=1.2.1" in lines[1]


@pytest.mark.parametrize("content", ["", "{not json", '{"texts": [], "probes": [{"data": 1}]}'])
def test_report_survives_a_broken_table(monkeypatch, tmp_path, content):
    table = tmp_path / "known_answers.json"
    table.write_text(content)
    monkeypatch.setattr(_zlib, "TABLE", str(table))
    _zlib._check.cache_clear()
    try:
        assert len(_zlib.report_lines()) == 1
        assert "cannot check the values" in _zlib.report_lines()[0]
    finally:
        _zlib._check.cache_clear()


def test_check_is_lazy_and_needs_no_numpy(run_python):
    done = run_python(
        "import sys, vendrask._zlib as z\n"
        "assert z._check.cache_info().currsize == 0\n"
        "assert 'numpy' not in sys.modules, 'numpy imported'\n"
        "z.zlib_info(); z.report_lines()\n"
        "assert z._check.cache_info().misses == 1\n")
    assert done.returncode == 0, done.stderr


# --- the configure-time warning -------------------------------------------------

def configure(tmp_path, header, *options):
    """Configures the project against a zlib whose zlib.h holds `header`."""
    include = tmp_path / "include"
    include.mkdir()
    (include / "zlib.h").write_text(header)
    return subprocess.run(
        ["cmake", "-S", ROOT, "-B", str(tmp_path / "build"), "-DVENDRASK_PYTHON=OFF",
         "-DVENDRASK_TESTS=OFF", f"-DZLIB_INCLUDE_DIR={include}",
         f"-DZLIB_LIBRARY={tmp_path / 'libz.so'}", *options],
        capture_output=True, text=True, timeout=120,
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})  # the sanitizer run's


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
@pytest.mark.parametrize("header, options, expected", [
    ('#define ZLIB_VERSION "1.3.0.zlib-ng"\n#define ZLIBNG_VERSION "2.1.6"\n', (),
     "is zlib-ng"),
    ('#define ZLIB_VERSION "1.2.13"\n', (), "is release 1.2.13, not 1.2.1"),
    ('#define ZLIB_VERSION "1.2.1"\n', (), None),
    ('#define ZLIB_VERSION "1.2.13"\n', ("-DVENDRASK_ZLIB=1.2.2",),
     'VENDRASK_ZLIB must be "system" or "1.2.1", not "1.2.2"'),
    ('#define ZLIB_VERSION "1.2.13"\n', ("-DVENDRASK_ZLIB=1.2.1", "-DVENDRASK_ZLIB_SOURCE=/nonexistent"),
     "VENDRASK_ZLIB_SOURCE=/nonexistent does not exist"),
    ('#define ZLIB_VERSION "1.2.13"\n', ("-DVENDRASK_ZLIB_SOURCE=/nonexistent",),
     "VENDRASK_ZLIB_SOURCE is used only with VENDRASK_ZLIB=1.2.1"),
    ('#define ZLIB_VERSION "1.2.13"\n', ("-DFETCHCONTENT_SOURCE_DIR_ZLIB=/nonexistent",),
     "FETCHCONTENT_SOURCE_DIR_ZLIB is used only with VENDRASK_ZLIB=1.2.1"),
])
def test_configure_says_what_the_zlib_means(tmp_path, header, options, expected):
    done = configure(tmp_path, header, *options)
    output = " ".join((done.stdout + done.stderr).split())
    if expected is None:
        assert done.returncode == 0, output
        assert "vendrask: the zlib found" not in output
    else:
        assert expected in output
