#!/usr/bin/env bash
# Short fuzz runs for the test suite: configures a clang build with the
# address and undefined-behaviour sanitizers in build/fuzz-asan, builds the
# fuzz targets and runs `ctest -L fuzz` there (each target for
# PXCM_FUZZ_SECONDS seconds, 30 by default, from generated seeds).
# Installs clang and its sanitizer runtimes when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=build/fuzz-asan
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$sanitizers" -DCMAKE_CXX_FLAGS="$sanitizers" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DPXCM_FUZZ=ON -DPXCM_TOOLS=OFF -DPXCM_FUZZ_SECONDS="${PXCM_FUZZ_SECONDS:-30}" >/dev/null
cmake --build "$build" -j "${PXCM_JOBS:-2}" --target fuzz_all
ctest --test-dir "$build" -L fuzz --output-on-failure
