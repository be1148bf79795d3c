"""Behaviour that belongs to a process: the fresh state, the one-time read of
VENDRASK_DEBUG_MODE, and the lines written to the standard error stream."""
import pytest

import _vendrask

TRACE = "vendrask, after measure: "
PAIR = "import _vendrask as v\nv.measure(b'abcabc', b'abcabd')\n"


def test_fresh_process_has_no_error(run_python):
    done = run_python("import _vendrask as v; print(v.error())")
    assert done.stdout == "None\n"


@pytest.mark.parametrize("value, traced", [("ON", True), ("OFF", False), ("on", False), ("ON ", False), ("", False), (None, True)])
def test_environment_decides_at_the_first_measure(run_python, value, traced):
    # Switched on beforehand: the variable, when set, overrides the switch.
    code = "import _vendrask as v\nv.abcdefgh('TRACEUP')\n" + PAIR
    done = run_python(code, debug_mode=value)
    assert (TRACE in done.stderr) == traced, done.stderr


def test_environment_is_read_once(run_python):
    code = PAIR + "import os\nos.environ['VENDRASK_DEBUG_MODE'] = 'ON'\n" + PAIR
    assert TRACE not in run_python(code, debug_mode="OFF").stderr


def test_an_identical_pair_is_a_first_measure_too(run_python):
    code = "import _vendrask as v\nv.measure(b'x', b'x')\nv.abcdefgh('TRACEUP')\n" + PAIR
    assert TRACE in run_python(code, debug_mode="OFF").stderr


@pytest.mark.parametrize("text, on", [("TRACEUP", True), ("TRACEUPX", False), ("traceup", False), ("", False)])
def test_switch_echoes_and_sets_tracing(capfd, text, on):
    assert _vendrask.abcdefgh(text) is None
    _vendrask.measure(b"abcabc", b"abcabd")
    _vendrask.measure(b"same", b"same")
    _vendrask.abcdefgh("off")
    err = capfd.readouterr().err.splitlines()
    trace = ["vendrask, after measure: l_s: 6, l_t: 6, k_s_e: 8, k_s_t: 4, k_t_s: 5, k_s_s: 4, k_t_t: 3"]
    assert err == [f"vendrask: abcdefgh: {text}"] + (trace if on else []) + ["vendrask: abcdefgh: off"]
