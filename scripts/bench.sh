#!/bin/sh
# Builds the benchmark (optimised, in build/enc-bench), runs it on the
# picture corpus and writes the tables to docs/benchmarks.md as well as to
# the terminal. Extra arguments go to pxcm_bench (e.g. --runs 3 --efforts 1,9).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
PXCM_BENCH_DEPS=1 "$root/scripts/deps.sh"
build=${PXCM_BENCH_BUILD:-$root/build/enc-bench}
corpus=${PXCM_CORPUS:-$root/tests/data/corpus}
generator=""
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" $generator -DCMAKE_BUILD_TYPE=Release \
    -DPXCM_TESTS=OFF -DPXCM_TOOLS=OFF >/dev/null
cmake --build "$build" --target pxcm_bench -j2 >/dev/null
tables=$(mktemp)
trap 'rm -f "$tables"' EXIT
"$build/bench/pxcm_bench" "$@" "$corpus" >"$tables"
mkdir -p "$root/docs"
model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
{
    echo "# Benchmarks"
    echo
    echo "Made by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo "Machine: ${model:-unknown} ($(nproc) cores; the benchmark runs on one, pinned),"
    echo "$(c++ --version | head -n 1), Release build."
    echo
    echo "Every picture of the corpus is read once from its PNG; the WebP (lossless,"
    echo "default settings) and QOI copies are encoded by the benchmark itself. Decoding"
    echo "goes from memory to 24-bit pixels (RGB for the other formats, the bottom-up"
    echo "bitmap for PXCM), allocation of the output included; PXCM is also decoded"
    echo "from a file through GetPicture. The PXCM file decoded is the one of the"
    echo "highest effort level measured. Every decoded picture is compared with the"
    echo "source pixels. Times are the thread's CPU time, which leaves out waiting for"
    echo "the processor but not the cache and memory traffic of other work: on a busy"
    echo "machine figures vary by a fifth or more between runs."
    echo
    cat "$tables"
} >"$root/docs/benchmarks.md"
cat "$root/docs/benchmarks.md"
