"""What a type checker sees of the installed modules: mypy on a small program,
and stubtest holding each stub to its module at runtime.

Both run on the package installed for this interpreter, never on the source
tree (PYTHONPATH is dropped for them): the stubs that count are the ones a
user's checker finds. One mypy run and one stubtest run serve every test.
"""
import importlib.util
import os
import re
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy")

# The modules whose stubs stubtest holds to the runtime; a submodule needs its
# package listed too. stubtest goes through a package's submodules, and those
# not listed here are left out whole: add a module or package here to check it.
STUBTESTED = [
    "_vendrask",
    "vendrask",
    "vendrask._native",
]

# Lines of the program mypy checks, each with what mypy must say about it
# (a pattern), or None for nothing: the line type-checks.
CASES = [
    ("import _vendrask", None),
    ("import vendrask", None),
    ("from vendrask import _native", None),
    ("reveal_type(_vendrask.measure)", r'note: Revealed type is "def \((builtins\.)?bytes, (builtins\.)?bytes\) -> (builtins\.)?float"'),
    ('_vendrask.measure("a", "b")', r'error: Argument [12] to "measure" has incompatible type "str"; expected "bytes"'),
    ('_vendrask.measure(t=b"a", s=b"b")', r'error: Unexpected keyword argument "[ts]" for "measure"'),
    ("reveal_type(_vendrask.error())", r'note: Revealed type is "((builtins\.)?str \| None|Union\[builtins\.str, None\])"'),
    ("reveal_type(_native.compressed_size(b'abc', bytearray(b'ab')))", r'note: Revealed type is "(builtins\.)?int"'),
    ("_native.compressed_size('abc')", r'error: Argument 1 to "compressed_size" has incompatible type "str"'),
    ("reveal_type(vendrask.zlib_info()['exact'])", r'note: Revealed type is "(builtins\.)?bool"'),
    ("reveal_type(vendrask.nearest(['a', b'b'], k=2, primed_by='document'))",
     r'note: Revealed type is "(tuple|Tuple)\[numpy\.ndarray\[.*(float64|floating\[.*64Bit\])\]\], '
     r'numpy\.ndarray\[.*(int64|64Bit).*\]\]"'),
    ("vendrask.nearest(['a'], primed_by='documents')", r'error: Argument "primed_by" to "nearest" has incompatible type'),
    ("vendrask.pairs(['a'], threshold=0.5, symmetric='mean', tile=64)", None),
]


def clean_environment():
    """This interpreter's environment without the source tree on its path."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


def unchecked_submodules(env):
    """The submodules of the stubtested packages that STUBTESTED leaves out."""
    packages = sorted({name for name in STUBTESTED if "." not in name})
    listing = subprocess.run(
        [sys.executable, "-c", "import importlib, pkgutil, sys\n"
         "for top in sys.argv[1:]:\n"
         "    for info in pkgutil.iter_modules(getattr(importlib.import_module(top), '__path__', [])):\n"
         "        print(top + '.' + info.name)\n", *packages],
        env=env, capture_output=True, text=True, timeout=60)
    if listing.returncode != 0:
        pytest.skip(f"the stubtested modules are not installed for this interpreter: {listing.stderr[-300:]}")
    return [name for name in listing.stdout.split() if name not in STUBTESTED]


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """(mypy's messages by line of the program, stubtest's completed run)."""
    where = tmp_path_factory.mktemp("types")
    env = clean_environment()
    skipped = unchecked_submodules(env)
    config = where / "mypy.ini"
    config.write_text("[mypy]\ncache_dir = {}\n".format(where / "cache") + (
        "[mypy-{}]\nignore_errors = True\n".format(",".join(f"{m},{m}.*" for m in skipped))
        if skipped else ""))
    allowlist = where / "allowlist.txt"
    allowlist.write_text("".join(rf"{re.escape(m)}(\..*)?" + "\n" for m in skipped))
    program = where / "program.py"
    program.write_text("".join(line + "\n" for line, _ in CASES))

    packages = list(dict.fromkeys(name.partition(".")[0] for name in STUBTESTED))
    runs = [subprocess.Popen(command, cwd=where, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
            for command in (
                [sys.executable, "-m", "mypy", "--config-file", str(config), "--hide-error-context",
                 "--no-color-output", "--no-error-summary", str(program)],
                [sys.executable, "-m", "mypy.stubtest", "--concise", "--mypy-config-file", str(config),
                 "--allowlist", str(allowlist), "--ignore-unused-allowlist", *packages])]
    outputs = [run.communicate(timeout=600)[0] for run in runs]
    messages = {}
    for line in outputs[0].splitlines():
        found = re.match(r".*program\.py:(\d+): (.*)", line)
        if not found and ": note: " in line:
            continue  # where a name is defined, as some mypy versions add
        assert found, f"mypy said: {outputs[0]}"
        messages.setdefault(int(found.group(1)), []).append(found.group(2))
    return messages, runs[1].returncode, outputs[1]


@pytest.mark.parametrize("number, line, expected", [(k + 1, line, expected) for k, (line, expected)
                                                    in enumerate(CASES)], ids=[line for line, _ in CASES])
def test_mypy_sees(checked, number, line, expected):
    # Where a callee is defined is context, not a finding.
    said = [m for m in checked[0].get(number, []) if not re.match(r'note: ".*" defined in ', m)]
    if expected is None:
        assert said == []
    else:
        assert said and all(re.match(expected, message) for message in said), said


def test_mypy_says_nothing_about_any_other_line(checked):
    assert set(checked[0]) <= set(range(1, len(CASES) + 1))


def test_stubs_agree_with_the_runtime(checked):
    _, returncode, output = checked
    assert returncode == 0, output
