#!/usr/bin/env bash
# The whole test suite: the native tests under CTest, then the Python suite on
# every installed CPython >= 3.9, each in a venv of its own, and once more on a
# build that links zlib statically.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
bash tests/install_deps.sh

echo "== native tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs"

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
optional=(scipy pandas rapidfuzz matplotlib "dask[array]" distributed "dask[dataframe]" mypy scikit-learn)

# suite NAME PYTHON [pip options]: installs the project into a fresh venv and runs pytest.
# With OPTIONAL=1 the optional test packages are installed too.
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
    "$venv/bin/python" -m pytest -p no:cacheprovider
}

# The optional packages go to the oldest and the newest interpreter: their
# tests (Dask clusters, scikit-learn's checks, the index) are the slow part,
# and the interpreters between run everything else.
first=$(pythons | sed -n 1p)  # not head: pythons would die of SIGPIPE under pipefail
last=$(pythons | tail -n 1)
for py in $(pythons); do
    with=0
    if [ "$py" = "$first" ] || [ "$py" = "$last" ]; then with=1; fi
    OPTIONAL=$with suite "$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')" "$py"
done
suite static-zlib "$(pythons | tail -n 1)" -C cmake.define.VENDRASK_STATIC_ZLIB=ON
# The exact build: zlib 1.2.1 compiled in from the release source beside the
# checkout; every known answer must match there.
zlib_source=../shared/third_party/zlib-1.2.1.tar.gz
if [ -f "$zlib_source" ]; then
    VENDRASK_EXPECT_EXACT=1 suite exact-zlib "$(pythons | tail -n 1)" -C cmake.define.VENDRASK_ZLIB=1.2.1 \
        -C cmake.define.VENDRASK_ZLIB_SOURCE="$(realpath "$zlib_source")"
else
    echo "== Python suite: exact-zlib skipped: $zlib_source (the zlib 1.2.1 release source) is missing"
fi

bash tests/sanitizers.sh
bash tests/valgrind.sh
bash tests/fuzz.sh
