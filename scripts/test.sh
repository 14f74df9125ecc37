#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native debug and
# sanitizer builds, the Windows DLLs (tested under Wine) and the fuzz
# targets, and runs their suites. Exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh || exit 1

jobs=${PXCM_JOBS:-2}
failed=()

step() {
    local name=$1
    shift
    echo "=== $name"
    if "$@"; then
        echo "=== $name: ok"
    else
        echo "=== $name: FAILED"
        failed+=("$name")
    fi
}

native() {
    local preset=$1
    shift
    cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" -j "$jobs" &&
        ctest --preset "$preset" -j "$jobs" --output-on-failure "$@"
}

# The corpus round trip (every picture at every effort level) runs in the
# optimised build only; the debug and sanitizer builds run everything else.
step "native debug" native debug -LE '^corpus$'
step "native asan+ubsan" native asan -LE '^corpus$'
step "native release: corpus round trip" native release -L '^corpus$'

[ -x scripts/windows-tests.sh ] && step "windows" scripts/windows-tests.sh
[ -x scripts/fuzz-tests.sh ] && step "fuzz (short runs)" scripts/fuzz-tests.sh
[ -x scripts/fuzz-tsan.sh ] && step "threads under ThreadSanitizer" scripts/fuzz-tsan.sh

echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all test steps passed"
