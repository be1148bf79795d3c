"""The stage runner of tests/run_all.sh, on stub stages: every stage runs,
a failing step fails its stage, and the summary says what each gave."""
import os
import re
import subprocess

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_all.sh")


def _run(body, folder):
    """Sources the script (which defines its functions only) and runs ``body``."""
    return subprocess.run(["bash", "-c", f'source "{SCRIPT}"\n{body}\n'], cwd=folder,
                          capture_output=True, text=True, timeout=60)


def _table(out):
    """{stage: (result, counts)} from the summary table."""
    rows = out.split("== Summary\n", 1)[1].splitlines()[1:]
    table = {}
    for row in rows:
        found = re.match(r"(.+?) {2,}(passed|failed \(\d+\)|skipped|not run) +\d+s  (.*)$", row)
        if found:
            table[found[1]] = (found[2], found[3])
    return table


@pytest.mark.parametrize("stages, status, results, last", [
    (["run_stage first false", "run_stage second touch second.ran"], 1,
     {"first": "failed (1)", "second": "passed"}, "1 of 2 stages failed"),
    (["run_stage first bash -c 'exit 3'", "run_stage second false",
      "run_stage third touch second.ran"], 1,
     {"first": "failed (3)", "second": "failed (1)", "third": "passed"}, "2 of 3 stages failed"),
    (["run_stage first true", "run_stage second touch second.ran"], 0,
     {"first": "passed", "second": "passed"}, "all 2 stages passed"),
    (["_record skipped-one skipped 'source missing' 0", "run_stage second touch second.ran"], 0,
     {"skipped-one": "skipped", "second": "passed"}, "all 2 stages passed"),
], ids=["fail then pass", "two failures", "all pass", "a skip is no failure"])
def test_every_stage_runs_and_the_summary_tells_them_apart(tmp_path, stages, status, results,
                                                          last):
    body = "\n".join(stages) + "\nreport"
    done = _run(body, tmp_path)
    assert done.returncode == status, done.stdout + done.stderr
    assert (tmp_path / "second.ran").exists()  # the stage after a failure ran all the same
    assert {name: got for name, (got, _) in _table(done.stdout).items()} == results
    assert done.stdout.rstrip().endswith(last)


@pytest.mark.parametrize("step", [
    "false",
    "false | cat",  # pipefail
    'echo "$no_such_variable"',  # nounset
    "pip_install() { return 4; }; pip_install",  # a failed install, as suite's steps fail
])
def test_a_failing_step_fails_its_stage_and_ends_it(tmp_path, step):
    body = f"""
stage() {{ touch before; {step}; touch after; }}
run_stage "Python cp39" stage
report"""
    done = _run(body, tmp_path)
    assert done.returncode == 1
    assert (tmp_path / "before").exists() and not (tmp_path / "after").exists()
    assert _table(done.stdout)["Python cp39"][0].startswith("failed")


def test_the_summary_keeps_each_stage_s_test_counts(tmp_path):
    body = r"""
native() {
    echo "Test project /build/native"
    echo "100% tests passed, 0 tests failed out of 57"
}
python_suite() {
    echo "tests/test_dask.py ..F.."
    printf '\033[31m===== 3 passed, 1 failed, 2 skipped, 1 warning in 0.52s =====\033[0m\n'
    exit 1
}
both() { native; echo "12 passed in 1.05s"; }
quiet() { echo "built"; }
run_stage native native
run_stage "Python cp313" python_suite
run_stage sanitizers both
run_stage valgrind quiet
report"""
    done = _run(body, tmp_path)
    assert done.returncode == 1
    assert _table(done.stdout) == {
        "native": ("passed", "100% tests passed, 0 tests failed out of 57"),
        "Python cp313": ("failed (1)", "3 passed, 1 failed, 2 skipped, 1 warning in 0.52s"),
        "sanitizers": ("passed", "100% tests passed, 0 tests failed out of 57; "
                                 "12 passed in 1.05s"),
        "valgrind": ("passed", "-"),
    }


def test_ctrl_c_stops_the_run_after_the_current_stage(tmp_path):
    # "$$" is the run's own shell: the signal reaches it as Ctrl-C would,
    # while the stage's pytest ends on it with status 2.
    body = """
run_stage first bash -c "kill -INT $$; sleep 0.2; exit 2"
run_stage second touch second.ran
report"""
    done = _run(body, tmp_path)
    assert done.returncode == 130
    assert not (tmp_path / "second.ran").exists()
    assert _table(done.stdout) == {"first": ("failed (2)", "-"), "second": ("not run", "-")}
    assert done.stdout.rstrip().endswith("interrupted")
