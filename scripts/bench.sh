#!/bin/sh
# The benchmark, in one run: builds the optimised library, pxc and
# pxcm_bench (in build/enc-bench), runs pxcm_bench on the picture corpus and
# on pictures it makes itself, times pxc batches to PNG and to BMP, draws
# the plots with gnuplot and writes everything to docs/benchmarks.md (and
# the terminal).
#
# PXCM_BENCH_BASELINE (default: the commit before the speed work, 4c319fb;
# empty to skip) names a commit whose pxc is built from `git archive` in
# build/bench-baseline and timed on the same batches and encodes, so that
# the document shows what the changes since then bought. Extra arguments go
# to pxcm_bench (e.g. --runs 3 --efforts 1,6,9).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
PXCM_BENCH_DEPS=1 "$root/scripts/deps.sh"
build=${PXCM_BENCH_BUILD:-$root/build/enc-bench}
corpus=${PXCM_CORPUS:-$root/tests/data/corpus}
baseline=${PXCM_BENCH_BASELINE-4c319fb}
generator=""
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" $generator -DCMAKE_BUILD_TYPE=Release \
    -DPXCM_TESTS=OFF -DPXCM_TOOLS=ON >/dev/null
cmake --build "$build" --target pxcm_bench pxc -j2 >/dev/null
pxc=$build/tools/pxc/pxc

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/pxc" "$work/out" "$root/docs"

"$build/bench/pxcm_bench" --data "$work/data" --keep "$work/pxc" --unseen "$@" "$corpus" >"$work/tables.md"

# The baseline's pxc, from its own sources.
old_pxc=""
if [ -n "$baseline" ] && git -C "$root" rev-parse -q --verify "$baseline^{commit}" >/dev/null; then
    old_src=$root/build/bench-baseline/src
    rm -rf "$old_src"
    mkdir -p "$old_src"
    git -C "$root" archive "$baseline" | tar -x -C "$old_src"
    # shellcheck disable=SC2086
    cmake -S "$old_src" -B "$root/build/bench-baseline/build" $generator -DCMAKE_BUILD_TYPE=Release \
        -DPXCM_TESTS=OFF -DPXCM_TOOLS=ON >/dev/null
    cmake --build "$root/build/bench-baseline/build" --target pxc -j2 >/dev/null
    old_pxc=$root/build/bench-baseline/build/tools/pxc/pxc
fi

# The encoder alone, timed by the harness built against each tree's own
# encoder; rounds alternate between the two builds, and the best time of
# each picture counts.
encode_rounds=3
encode_runs=5
pin=""
command -v taskset >/dev/null 2>&1 && pin="taskset -c 0"
if [ -n "$old_pxc" ]; then
    # shellcheck disable=SC2086
    cmake -S "$root/bench/encode-timing" -B "$build/encode-timing" $generator -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/encode-timing" -j2 >/dev/null
    # shellcheck disable=SC2086
    cmake -S "$root/bench/encode-timing" -B "$root/build/bench-baseline/encode-timing" $generator \
        -DCMAKE_BUILD_TYPE=Release -DPXCM_TREE="$old_src" >/dev/null
    cmake --build "$root/build/bench-baseline/encode-timing" -j2 >/dev/null
    : >"$work/encode-new.tsv"
    : >"$work/encode-old.tsv"
    for _ in $(seq "$encode_rounds"); do
        # shellcheck disable=SC2086
        $pin "$build/encode-timing/pxcm_encode_timing" --runs "$encode_runs" "$corpus"/*.png >>"$work/encode-new.tsv"
        # shellcheck disable=SC2086
        $pin "$root/build/bench-baseline/encode-timing/pxcm_encode_timing" --runs "$encode_runs" "$corpus"/*.png >>"$work/encode-old.tsv"
    done
fi

# Wall time of one run of a command, in seconds.
wall_time() {
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s.%N)
    echo "$t0 $t1" | awk '{printf "%.3f\n", $2 - $1}'
}
# The smaller of two times.
smaller() { echo "$1 $2" | awk '{print ($1 < $2 ? $1 : $2)}'; }
batch_runs=7

# The corpus pictures only (the made ones are marked with -, * or cut- names).
corpus_pxc=$(for f in "$corpus"/*.png; do echo "$work/pxc/$(basename "$f" .png).pxc"; done)
# shellcheck disable=SC2086
pixels=$("$pxc" info $corpus_pxc 2>/dev/null | awk '{for (i = 2; i + 2 <= NF; i++) if ($(i + 1) == "x") {n += $i * $(i + 2); break}} END {print n + 0}')
cores=$(nproc)
{
    echo "### pxc decode: a batch of the corpus ($(echo "$corpus_pxc" | wc -w) pictures), best wall time of $batch_runs${old_pxc:+ (the two builds alternating)}, -j at its default ($cores cores)"
    echo
    echo "| output | this commit, s | Mpixel/s | PNG bytes |${old_pxc:+ $baseline, s | $baseline PNG bytes | speed-up |}"
    echo "|---|---:|---:|---:|${old_pxc:+---:|---:|---:|}"
    for format in png bmp; do
        mkdir -p "$work/out/new-$format" "$work/out/old-$format"
        # Rounds alternate between the two builds, so that a busy spell of
        # the machine falls on both.
        t=1e9
        ot=1e9
        for _ in $(seq "$batch_runs"); do
            # shellcheck disable=SC2086
            t=$(smaller "$t" "$(wall_time "$pxc" decode $corpus_pxc --out-dir "$work/out/new-$format" --force --format "$format")")
            if [ -n "$old_pxc" ]; then
                # shellcheck disable=SC2086
                ot=$(smaller "$ot" "$(wall_time "$old_pxc" decode $corpus_pxc --out-dir "$work/out/old-$format" --force --format "$format")")
            fi
        done
        bytes=$(cat "$work/out/new-$format"/*."$format" 2>/dev/null | wc -c)
        row="| $format | $t | $(echo "$pixels $t" | awk '{printf "%.1f", $1 / $2 / 1e6}') | $([ "$format" = png ] && echo "$bytes" || echo "") |"
        if [ -n "$old_pxc" ]; then
            obytes=$(cat "$work/out/old-$format"/*."$format" 2>/dev/null | wc -c)
            row="$row $ot | $([ "$format" = png ] && echo "$obytes" || echo "") | $(echo "$ot $t" | awk '{printf "%.2f×", $1 / $2}') |"
        fi
        echo "$row"
    done
    echo
    if [ -n "$old_pxc" ]; then
        echo "PNG files per picture, bytes (this commit against $baseline; every pair has the same pixels as ImageMagick reads them):"
        echo
        echo "| picture | this commit | $baseline | ratio | same pixels |"
        echo "|---|---:|---:|---:|---|"
        for f in "$work/out/new-png"/*.png; do
            n=$(basename "$f")
            a=$(wc -c <"$f")
            b=$(wc -c <"$work/out/old-png/$n")
            same=no
            [ "$(identify -format '%#' "$f")" = "$(identify -format '%#' "$work/out/old-png/$n")" ] && same=yes
            echo "| ${n%.png} | $a | $b | $(echo "$a $b" | awk '{printf "%.3f", $1 / $2}') | $same |"
        done
        echo
        echo "### Encoding at the default effort: this commit against $baseline (the encoder alone, best thread CPU time of $((encode_rounds * encode_runs)) encodes, the two alternating)"
        echo
        echo "Timed by pxcm_encode_timing (bench/encode-timing), built once against this tree's encoder and once against $baseline's,"
        echo "which reads each PNG once and times EncodePicture in memory: PNG reading, process start and file output are left out."
        echo
        echo "| picture | this commit, s | bytes | $baseline, s | bytes | speed-up |"
        echo "|---|---:|---:|---:|---:|---:|"
        awk -F '\t' 'FNR == 1 { file++ }
            { if (!(($1, file) in t) || $2 < t[$1, file]) t[$1, file] = $2; b[$1, file] = $3; if (file == 1 && !($1 in seen)) { seen[$1] = 1; order[++n] = $1 } }
            END { for (i = 1; i <= n; i++) { p = order[i]; printf "| %s | %.4f | %d | %.4f | %d | %.2f× |\n", p, t[p, 1], b[p, 1], t[p, 2], b[p, 2], (t[p, 1] > 0 ? t[p, 2] / t[p, 1] : 0) } }' \
            "$work/encode-new.tsv" "$work/encode-old.tsv"
        echo
    fi
} >"$work/batch.md"

# Plots: decode speed per picture as bars, size against encode time per effort.
gnuplot <<EOF
set terminal pngcairo size 1100,520 font ",10"
set datafile separator "\t"
set output "$root/docs/bench-decode.png"
set title "Decoding, Mpixel/s, one core (log scale; * = not in the corpus)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set logscale y
set yrange [10:*]
set xtics rotate by -30 scale 0
set key top left horizontal
set grid ytics
plot for [c=2:8] "$work/data/decode.tsv" using c:xtic(1) title columnheader(c)
set output "$root/docs/bench-encode.png"
unset logscale y
set style data linespoints
set title "PXCM encoding, all pictures: total size against total time per effort"
set xlabel "seconds (thread CPU time, one core)"
set ylabel "bytes"
set yrange [*:*]
set xtics norotate
set key off
plot "$work/data/encode.tsv" using 2:3 with linespoints pt 7, "" using 2:3:(sprintf("%d", \$1)) with labels offset 0,1
EOF

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
# The model name alone may not tell one processor generation from another
# (virtual machines often give only the vendor's brand), nor the cache the
# decoder's tables share with the pixels: the family and model numbers and
# each core's first- and second-level data caches go with it.
family=$(sed -n 's/^cpu family[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo 2>/dev/null | head -n 1)
number=$(sed -n 's/^model[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo 2>/dev/null | head -n 1)
caches=$(lscpu -C=NAME,ONE-SIZE 2>/dev/null | awk '$1 == "L1d" || $1 == "L2" {printf "%s%s %s", n++ ? ", " : "", $1, $2}')
detail=""
[ -n "$family" ] && [ -n "$number" ] && detail="family $family, model $number"
[ -n "$caches" ] && detail="${detail:+$detail; }$caches per core"
{
    echo "# Benchmarks"
    echo
    echo "Made by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo "Machine: ${model:-unknown} (${detail:+$detail; }$cores cores; pxcm_bench runs on one, pinned),"
    echo "$(c++ --version | head -n 1), Release build."
    echo
    echo "Every picture of the corpus is read once from its PNG; the pictures marked *"
    echo "are made by the benchmark (cut out of corpus pictures at other places, a noisy"
    echo "gradient, flat tiles), so no tuning can have seen them. The WebP (lossless,"
    echo "default settings) and QOI copies are encoded by the benchmark itself. Decoding"
    echo "goes from memory to 24-bit pixels (RGB for the other formats; for PXCM the"
    echo "native API into the bottom-up DIB layout and into RGB), allocation of the"
    echo "output included; PXCM is also decoded from a file through GetPicture. The"
    echo "PXCM file decoded is the one of the default effort. Every decoded picture is"
    echo "compared with the source pixels. Times are the thread's CPU time, which"
    echo "leaves out waiting for the processor but not the cache and memory traffic of"
    echo "other work: on a busy machine figures vary by a fifth or more between runs."
    echo "So the decodes go in rounds, each round two decodes in a row of every picture"
    echo "by every decoder, and each figure is the best of its rounds: a busy spell"
    echo "falls on a few runs of many pictures rather than on every run of one."
    echo "Cycles are those of the time-stamp counter (its fixed reference clock), over"
    echo "the best DIB decode; symbols are tokens, offsets and escapes."
    echo
    echo "![Decoding speed per picture](bench-decode.png)"
    echo
    cat "$work/tables.md"
    echo
    echo "![Size against encoding time per effort](bench-encode.png)"
    echo
    cat "$work/batch.md"
    # What each change bought: measured when it was made, kept by hand.
    if [ -f "$root/docs/bench-changes.md" ]; then
        echo
        cat "$root/docs/bench-changes.md"
    fi
} >"$root/docs/benchmarks.md"
cat "$root/docs/benchmarks.md"
