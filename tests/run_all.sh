#!/usr/bin/env bash
# The whole test suite: the native tests under CTest, then the Python suite on
# every installed CPython >= 3.9, each in a venv of its own, and once more on a
# build that links zlib statically.
#
# Every stage runs, whatever the stages before it gave: a failure is reported
# in the table at the end, not by stopping there, and the run exits 1 if any
# stage failed (130 if it was interrupted). Within a stage, the first failing
# step (an install, a build, a test run) fails the stage.
set -euo pipefail

# ------------------------------------------------------------ stages

stage_names=()
stage_results=()
stage_counts=()
stage_seconds=()
interrupted=0
stage_logs=$(mktemp -d "${TMPDIR:-/tmp}/vendrask-run-all.XXXXXX")
trap 'rm -rf "$stage_logs"' EXIT
# Ctrl-C (or a stage that a SIGINT ended) stops the run after the current
# stage: the stages left are listed as not run.
trap 'interrupted=1' INT

# run_stage NAME COMMAND...: runs COMMAND (a function or a program) as one
# stage, in a subshell with errexit, nounset and pipefail of its own, its
# output shown and kept for the summary. Always returns 0.
run_stage() {
    local name=$1 log status started
    shift
    if [ "$interrupted" = 1 ]; then
        _record "$name" "not run" "" 0
        return 0
    fi
    log="$stage_logs/${#stage_names[@]}.log"
    started=$SECONDS
    echo "== $name"
    # Not in an if or after || : there bash would ignore errexit inside.
    set +e
    # tee -i: on Ctrl-C the stage's last words are still shown.
    (set -euo pipefail; "$@") 2>&1 | tee -i "$log"
    status=${PIPESTATUS[0]}
    set -e
    if [ "$status" = 130 ]; then interrupted=1; fi
    if [ "$status" = 0 ]; then
        _record "$name" passed "$(stage_counts "$log")" $((SECONDS - started))
    else
        _record "$name" "failed ($status)" "$(stage_counts "$log")" $((SECONDS - started))
    fi
}

_record() {
    stage_names+=("$1")
    stage_results+=("$2")
    stage_counts+=("$3")
    stage_seconds+=("$4")
}

# stage_counts LOG: the counts lines of the test runs in LOG (pytest's last
# line, CTest's "tests passed" line), "; " between them.
stage_counts() {
    sed -e 's/\x1b\[[0-9;]*m//g' "$1" |
        grep -E '^=* *[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed|warnings?)\b.* in [0-9.]+s|^=* *no tests ran in |tests passed, [0-9]+ tests failed out of' |
        sed -E -e 's/^=+ *//' -e 's/ *=+$//' | paste -sd ';' - | sed 's/;/; /g' || true
}

# report: the table of stages; returns 1 if any failed, 130 if interrupted
# (a stage skipped on purpose is no failure).
report() {
    local i failed=0 width=5
    for i in "${!stage_names[@]}"; do
        [ ${#stage_names[$i]} -le "$width" ] || width=${#stage_names[$i]}
    done
    echo
    echo "== Summary"
    printf '%-*s  %-12s  %6s  %s\n' "$width" stage result time "test counts"
    for i in "${!stage_names[@]}"; do
        printf '%-*s  %-12s  %5ss  %s\n' "$width" "${stage_names[$i]}" "${stage_results[$i]}" \
            "${stage_seconds[$i]}" "${stage_counts[$i]:--}"
        case ${stage_results[$i]} in failed*) failed=$((failed + 1)) ;; esac
    done
    if [ "$interrupted" = 1 ]; then
        echo "interrupted"
        return 130
    fi
    if [ "$failed" != 0 ]; then
        echo "$failed of ${#stage_names[@]} stages failed"
        return 1
    fi
    echo "all ${#stage_names[@]} stages passed"
}

# ------------------------------------------------------------ what the stages run

native_tests() {
    local jobs
    jobs=$(nproc)
    cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build/native -j "$jobs"
    ctest --test-dir build/native --output-on-failure -j "$jobs"
}

# Every CPython 3.9 or newer that pyenv has, else python3.
pythons() {
    local found=0 py
    for py in $(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 | sort -V); do
        [ -x "$py" ] || continue
        if "$py" -c 'import sys, sysconfig; sys.exit(sys.version_info < (3, 9) or bool(sysconfig.get_config_var("Py_GIL_DISABLED")))'; then
            echo "$py"; found=1
        fi
    done
    [ "$found" = 1 ] || command -v python3
}

# Packages that some tests use and skip without: each is installed where it
# installs on that interpreter.
optional=(scipy pandas rapidfuzz matplotlib "dask[array]" distributed "dask[dataframe]" mypy
          scikit-learn pyarrow polars)

# What depends on the interpreter or on the zlib build: the native boundary,
# the values, threads, leaks and the command's start. The interpreters
# between the oldest and the newest, and the static build, run these; the
# rest of the suite is pure Python over the same core, run in full on the
# oldest and newest interpreters and on the exact build.
boundary=(tests/test_module.py tests/test_bad_inputs.py tests/test_leaks.py
          tests/test_threads.py tests/test_reference.py tests/test_zlib.py
          tests/test_matrix.py tests/test_search.py tests/test_jobs.py tests/test_cli.py
          tests/test_documents_inputs.py tests/test_index_files.py)

# suite NAME PYTHON [pip options]: installs the project into a fresh venv and runs pytest
# (with TESTS set, only those files). With OPTIONAL=1 the optional test
# packages are installed too.
suite() {
    local name=$1 py=$2 venv=build/venv-$1 package
    shift 2
    echo "== Python suite: $name ($("$py" --version))"
    "$py" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ".[test]" -C build-dir="build/wheel-$name" "$@"
    if [ "${OPTIONAL:-0}" = 1 ]; then
        for package in "${optional[@]}"; do
            "$venv/bin/python" -m pip install -q "$package" 2>/dev/null ||
                echo "== $name: $package does not install here; its tests skip"
        done
    fi
    # shellcheck disable=SC2086  # TESTS is a list of files
    "$venv/bin/python" -m pytest -p no:cacheprovider ${TESTS:-}
}

tag() {
    "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'
}

main() {
    local py first last with zlib_source all tests
    cd "$(dirname "${BASH_SOURCE[0]}")/.."
    run_stage "system packages" bash tests/install_deps.sh
    run_stage "native tests" native_tests

    # The optional packages go to the oldest and the newest interpreter: their
    # tests (Dask clusters, scikit-learn's checks, the index) are the slow part,
    # and the interpreters between run everything else.
    all=$(pythons)
    first=$(sed -n 1p <<<"$all")
    last=$(tail -n 1 <<<"$all")
    for py in $all; do
        with=0
        if [ "$py" = "$first" ] || [ "$py" = "$last" ]; then with=1; fi
        if [ "$with" = 1 ]; then tests=""; else tests="${boundary[*]}"; fi
        TESTS=$tests OPTIONAL=$with run_stage "Python $(tag "$py")" suite "$(tag "$py")" "$py"
    done
    TESTS="${boundary[*]}" run_stage "Python static zlib" suite static-zlib "$last" \
        -C cmake.define.VENDRASK_STATIC_ZLIB=ON
    # The exact build: zlib 1.2.1 compiled in from the release source beside the
    # checkout; every known answer must match there.
    zlib_source=../shared/third_party/zlib-1.2.1.tar.gz
    if [ -f "$zlib_source" ]; then
        VENDRASK_EXPECT_EXACT=1 run_stage "Python exact zlib" suite exact-zlib "$last" \
            -C cmake.define.VENDRASK_ZLIB=1.2.1 \
            -C cmake.define.VENDRASK_ZLIB_SOURCE="$(realpath "$zlib_source")"
    else
        echo "== Python suite: exact-zlib skipped: $zlib_source (the zlib 1.2.1 release source) is missing"
        _record "Python exact zlib" "skipped" "the zlib 1.2.1 release source is missing" 0
    fi

    run_stage "sanitizers" bash tests/sanitizers.sh
    run_stage "valgrind" bash tests/valgrind.sh
    run_stage "fuzz" bash tests/fuzz.sh
    report
}

# Sourced (as the tests of the stage runner do), it only defines the functions.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
