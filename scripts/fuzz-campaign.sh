#!/usr/bin/env bash
# A fuzzing campaign: the fuzz targets one after another, one process at a
# time and niced, each for the given number of seconds, keeping what they
# find in build/fuzz-asan/campaign/<target> (and crashes in .../artifacts).
#   scripts/fuzz-campaign.sh SECONDS TARGET...   (default: 600 s, every target)
# Build first with scripts/fuzz-tests.sh (or configure build/fuzz-asan the
# same way). The last lines of each log give the runs and the coverage.
set -uo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/fuzz-asan
seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_tables fuzz_picture fuzz_info)
    [ -x $build/fuzz/fuzz_roundtrip ] && targets+=(fuzz_roundtrip)
fi
work=$build/campaign
mkdir -p $work/artifacts
$build/fuzz/fuzz_seeds $work/seeds "${targets[@]}" >/dev/null
for t in "${targets[@]}"; do
    # With -jobs the fuzzer goes on after a crash; its output goes to
    # fuzz-0.log in the current folder, one folder per run.
    run=$work/logs/$t-$(date -u +%Y%m%dT%H%M%S)
    mkdir -p $work/$t "$run"
    echo "$(date -u +%FT%TZ) $t for $seconds s, log $run/fuzz-0.log"
    (cd "$run" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        nice -n 10 $build/fuzz/$t -jobs=1 -workers=1 -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$work/artifacts/$t- \
        $work/$t $work/seeds/seeds/$t >driver.log 2>&1)
    echo "$(date -u +%FT%TZ) $t exit $?"
    grep -hE 'stat::number_of_executed_units|SUMMARY|check failed|^#[0-9]+.*DONE' "$run"/fuzz-*.log
done
