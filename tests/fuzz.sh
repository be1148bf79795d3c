#!/usr/bin/env bash
# Fuzzes the engine with libFuzzer under ASan and UBSan for FUZZ_SECONDS
# (default 60), starting from fuzz/corpus. New inputs go to build/fuzz-corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRA_PACKAGES="clang-14 libclang-rt-14-dev" bash tests/install_deps.sh

cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVENDRASK_TESTS=OFF -DVENDRASK_FUZZ=ON -DVENDRASK_SANITIZE=fuzzer-no-link,address,undefined
cmake --build build/fuzz
mkdir -p build/fuzz-corpus
# The target's own stderr (echo and trace lines) is closed: -close_fd_mask=2.
build/fuzz/fuzz/measure_fuzz build/fuzz-corpus fuzz/corpus -max_len=34000 -close_fd_mask=2 \
    -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1
