#!/usr/bin/env bash
# The native tests under valgrind: no memory error, no leak.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRA_PACKAGES=valgrind bash tests/install_deps.sh

cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/native
run() { valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite "$@"; }
run build/native/tests/native/engine_test --gtest_brief=1
VENDRASK_DEBUG_MODE=ON EXPECT_DEBUG=on run build/native/tests/native/environment_test --gtest_brief=1
echo "valgrind: native tests clean"
