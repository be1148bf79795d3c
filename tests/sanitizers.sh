#!/usr/bin/env bash
# The native tests and the Python suite against a build with AddressSanitizer
# and UndefinedBehaviorSanitizer (gcc), and the native tests once more with
# ThreadSanitizer (the matrix workers share nothing with the module-wide state). The interpreter gets the ASan runtime
# preloaded and allocates through malloc so ASan sees its objects too; leak
# detection is on for the native tests and off for the interpreter, which
# keeps memory until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tests/install_deps.sh
sanitize=address,undefined

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRASK_SANITIZE=$sanitize
cmake --build build/sanitize
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/sanitize --output-on-failure -j "$(nproc)"

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRASK_SANITIZE=thread
cmake --build build/tsan
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$(nproc)"

py=${PYTHON:-python3}
venv=build/venv-sanitize
"$py" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]" -C build-dir=build/wheel-sanitize \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.VENDRASK_SANITIZE=$sanitize
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc VENDRASK_SANITIZED=1 \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$venv/bin/python" -m pytest -p no:cacheprovider
