#!/usr/bin/env bash
# The thread test under ThreadSanitizer: configures a clang build with
# -fsanitize=thread in build/fuzz-tsan, builds pxcm_threads and runs
# `ctest -L tsan` there. Installs clang when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=build/fuzz-tsan
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="-fsanitize=thread" -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" \
    -DPXCM_TOOLS=OFF >/dev/null
cmake --build "$build" -j "${PXCM_JOBS:-2}" --target pxcm_threads
# halt_on_error: a race fails the test instead of only being printed.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$build" -L tsan --output-on-failure
