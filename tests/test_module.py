import ast
import os
import re
import shutil
import subprocess

import pytest

import _vendrask
import reference
from vendrask import _native

ENSURE = "Contract violation: ensure: (result>=0)&&(result<=1)"
JOINT = "Joint size of data should be less than 32 Kb"
FOX = b"the quick brown fox jumps over the lazy dog"
DOG = b"the lazy dog sleeps under the quick brown fox"


class Bytes(bytes):
    pass


@pytest.mark.parametrize("t, s", [
    (b"abc", b"abc"),
    (b"", b""),
    (bytes(range(256)) * 400, bytes(range(256)) * 400),  # far over the size limit
    (Bytes(b"abc"), b"abc"),
])
def test_identical_strings_measure_exactly_one(t, s):
    assert _vendrask.measure(t, s) == 1.0


def test_known_answer():
    # Sizes 46, 18, 16, 6, 6: (46 - 18) / (46 + 16 - 6 - 6).
    assert _vendrask.measure(FOX, DOG) == 0.56


@pytest.mark.parametrize("t, s", [(b"", b"abcdef"), (b"abcdef", b"")])
def test_empty_against_non_empty_is_zero(t, s):
    assert _vendrask.measure(t, s) == 0.0


def test_joint_size_limit_and_lasting_error():
    text = (FOX + DOG) * 400
    assert 0.0 <= _vendrask.measure(text[:20000], text[20000:32767]) < 1.0
    with pytest.raises(RuntimeError, match=re.escape(ENSURE)):
        _vendrask.measure(text[:20000], text[20000:32768])
    assert _vendrask.error() == JOINT
    _vendrask.measure(FOX, DOG)
    _vendrask.measure(FOX, FOX)
    assert _vendrask.error() == JOINT


def test_zero_bytes_are_measured_as_data():
    # Cut at the first zero byte, both would be empty and measure 1.0.
    t, s = b"\0" * 40 + FOX, b"\0" * 40 + DOG
    assert _vendrask.measure(t, s) == reference.measure(t, s) != 1.0


@pytest.mark.parametrize("a, b, mean", [(0.5, 0.25, 0.375), (1, 2, 1.5), (0.1, 0.2, 0.15000000223517418)])
def test_adjust_is_the_mean_of_two_single_precision_values(a, b, mean):
    assert _vendrask.adjust(a, b) == mean


@pytest.mark.parametrize("call, name", [
    (lambda: _vendrask.measure(b"a"), "measure"),
    (lambda: _vendrask.measure(b"a", b"b", b"c"), "measure"),
    (lambda: _vendrask.adjust(1.0), "adjust"),
    (lambda: _vendrask.error(1), "error"),
    (lambda: _vendrask.abcdefgh(), "abcdefgh"),
])
def test_wrong_arity_names_the_function(call, name):
    with pytest.raises(TypeError, match=rf"^{name}\(\)"):
        call()


def test_surface_is_the_four_functions_without_docs():
    public = sorted(n for n in vars(_vendrask) if not n.startswith("__"))
    assert public == ["abcdefgh", "adjust", "error", "measure"]
    assert _vendrask.__doc__ is None
    assert all(getattr(_vendrask, n).__doc__ is None for n in public)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("module, init", [(_vendrask, "PyInit__vendrask"), (_native, "PyInit__native")])
def test_only_the_init_function_is_exported(module, init):
    # Nothing of the engine or of a statically linked zlib leaks out.
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == [init]


def test_type_stub_is_installed_where_checkers_look():
    # A top-level _vendrask.pyi in site-packages is not found by mypy: the
    # stub is a stub-only package beside the module (PEP 561), and declares
    # exactly the module's functions, all positional-only. tests/test_types.py
    # runs mypy on it.
    stub = os.path.join(os.path.dirname(_vendrask.__file__), "_vendrask-stubs", "__init__.pyi")
    with open(stub, encoding="utf-8") as file:
        tree = ast.parse(file.read())
    functions = {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert sorted(functions) == sorted(n for n in vars(_vendrask) if not n.startswith("__"))
    assert all(not args.args and not args.kwonlyargs for args in functions.values())
