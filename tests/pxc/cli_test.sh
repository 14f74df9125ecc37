#!/bin/bash
# The pxc program as a user runs it:
#   cli_test.sh GROUP PXC MAKE_PICTURE PLUGIN_PICTURE
# MAKE_PICTURE writes a random picture and the pixels it must decode to;
# PLUGIN_PICTURE writes the plug-in's picture of a file (GetPicture).
# Outputs are checked with ImageMagick (convert, identify), JSON with jq.
set -u
group=$1
PXC=$2
MAKE=$3
PLUGIN=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/pxc-cli-$group.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL [$group]: $*" >&2
    failures=$((failures + 1))
}

# run EXPECTED_STATUS ARGS...: runs pxc, keeps stdout in out.txt and
# stderr in err.txt, and checks the exit status.
run() {
    local want=$1
    shift
    "$PXC" "$@" >out.txt 2>err.txt </dev/null
    local got=$?
    if [ "$got" != "$want" ]; then
        fail "pxc $* exited $got, expected $want; stderr: $(cat err.txt)"
    fi
}

has() { # has FILE TEXT: the file holds the text
    grep -qF -- "$2" "$1" || fail "$1 lacks '$2': $(cat "$1")"
}
lacks() { # lacks FILE TEXT
    if grep -qF -- "$2" "$1"; then fail "$1 holds '$2': $(cat "$1")"; fi
}

# same_pixels A B: both pictures hold the same RGB bytes (alpha and
# depth beyond 8 bits left out of A).
same_pixels() {
    convert "$1" -alpha off -depth 8 rgb:a.rgb || { fail "convert cannot read $1"; return; }
    convert "$2" -alpha off -depth 8 rgb:b.rgb || { fail "convert cannot read $2"; return; }
    [ "$(identify -format '%w %h' "$1")" = "$(identify -format '%w %h' "$2")" ] ||
        fail "$1 and $2 differ in size"
    cmp -s a.rgb b.rgb || fail "$1 and $2 hold different pixels"
}

no_leftovers() { # no temporary files of pxc under the folder
    local left
    left=$(find "${1:-.}" -name '.pxc-*' | head -1)
    [ -z "$left" ] || fail "temporary file left behind: $left"
}

# limited KBYTES COMMAND...: runs the command with its data memory (heap,
# private writable mappings; not the mapped input files) limited, except
# under the sanitizers, whose shadow memory cannot live with a limit.
limited() {
    local kbytes=$1
    shift
    if [ -n "${ASAN_OPTIONS:-}${UBSAN_OPTIONS:-}" ]; then
        "$@"
    else
        (ulimit -d "$kbytes" && "$@")
    fi
}

json() { # json FILTER: jq on out.txt
    jq -r "$1" out.txt 2>&1 || echo "(jq failed on: $(head -c 300 out.txt))"
}

# The 2 x 1 picture whose stream holds one table set and two tokens.
two_by_one() {
    printf 'PXCM\x00\x00\x01\x00\x00\x00\x00\x00\x02\x00\x01\x00\x18\x00\x00\x00\x00\x00\x00\x00'
    printf '\x64\x02\x07\x01\x57\x67\xFA\x00\x00\x00\x00'
}
# A header alone: header WIDTH_HEX_LE HEIGHT_HEX_LE, e.g. '\xff\xff'.
header() {
    printf 'PXCM\x00\x00\x01\x00\x00\x00\x00\x00%b%b\x18\x00\x00\x00\x00\x00\x00\x00' "$1" "$2"
}

case $group in
outputs)
    two_by_one >tiny.pxc
    run 0 decode tiny.pxc -o tiny.png
    run 0 decode tiny.pxc -o tiny.bmp
    for f in tiny.png tiny.bmp; do
        [ "$(convert $f rgb:- | od -An -tx1 | tr -d ' \n')" = "fefefefefefe" ] || fail "$f is not two pixels (254,254,254)"
    done
    "$MAKE" 5 37 23 pic.pxc expected.ppm || exit 1
    run 0 decode pic.pxc -o pic.png
    has err.txt "decoded 1 file, 0 failed"
    run 0 decode pic.pxc -o pic.bmp
    same_pixels expected.ppm pic.png
    same_pixels expected.ppm pic.bmp
    [ "$(identify -format '%m %w %h' pic.png)" = "PNG 37 23" ] || fail "pic.png: $(identify pic.png)"
    # BMP: file header, 40-byte information block, 23 rows of 112 bytes.
    [ "$(stat -c %s pic.bmp)" = $((14 + 40 + 23 * 112)) ] || fail "pic.bmp has $(stat -c %s pic.bmp) bytes"
    [ "$(head -c 2 pic.bmp)" = "BM" ] || fail "pic.bmp does not start with BM"
    # Larger PNGs, each through another of the writer's coders: noise, a
    # photograph and a drawing (crops of the corpus, to keep the encodes
    # short), as ImageMagick reads them.
    corpus=$(dirname "$0")/../data/corpus
    "$MAKE" 6 400 301 noise.pxc noise.ppm || exit 1
    run 0 decode noise.pxc -o noise.png
    same_pixels noise.ppm noise.png
    for name in coffee color; do
        convert "$corpus/$name.png" -crop 320x300+40+50 +repage "$name-crop.png" || fail "cannot crop $name.png"
        run 0 encode "$name-crop.png" -o "$name.pxc"
        run 0 decode "$name.pxc" -o "$name.png"
        same_pixels "$name-crop.png" "$name.png"
    done
    # --format decides for a name without extension; default name beside the input.
    run 0 decode pic.pxc -o pic --format bmp
    [ "$(head -c 2 pic)" = "BM" ] || fail "--format bmp did not write a BMP"
    mkdir sub && cp pic.pxc sub/
    run 0 decode sub/pic.pxc
    same_pixels expected.ppm sub/pic.png
    # Honest formats: an extension that is no format, or that disagrees
    # with --format, is refused before any work.
    run 2 decode pic.pxc -o pic.jpg
    has err.txt "'.jpg' is not an output format"
    run 2 decode pic.pxc -o other.png --format bmp
    has err.txt "--format bmp but -o other.png names a png file"
    run 2 encode expected.ppm -o x.png
    [ ! -e pic.jpg ] && [ ! -e other.png ] || fail "a refused output was written"
    # -o creates missing folders, as --out-dir does.
    run 0 decode pic.pxc -o new/deeper/pic.png
    same_pixels expected.ppm new/deeper/pic.png
    no_leftovers
    ;;

errors)
    echo "hello, not a picture" >text.pxc
    run 1 decode text.pxc -o text.png
    has err.txt "text.pxc: not a PXCM picture"
    [ ! -e text.png ] || fail "an output was written for a file that is not a picture"
    run 1 decode missing.pxc -o missing.png
    has err.txt "missing.pxc: cannot open"

    # A stream cut inside its first table set cannot be decoded (nor can the
    # plug-in decode it): no output.
    "$MAKE" 9 120 40 pic.pxc expected.ppm || exit 1
    head -c 28 pic.pxc >stub.pxc
    "$PLUGIN" stub.pxc 0 stub.ppm >/dev/null && fail "the plug-in decodes a stream cut in its table set"
    run 1 decode stub.pxc -o stub.png
    has err.txt "stub.pxc: damaged picture data"
    [ ! -e stub.png ] || fail "a broken stream left an output"

    # An existing output is kept without --force; the other files go on.
    echo "precious" >taken.png
    cp pic.pxc taken.pxc
    run 1 decode taken.pxc pic.pxc --out-dir .
    has err.txt "taken.pxc: output taken.png exists (use --force to replace it)"
    has err.txt "decoded 1 file, 1 failed"
    [ "$(cat taken.png)" = "precious" ] || fail "taken.png was overwritten without --force"
    same_pixels expected.ppm pic.png
    run 0 decode taken.pxc -o taken.png --force
    same_pixels expected.ppm taken.png
    no_leftovers
    ;;

batch)
    mkdir in out
    "$MAKE" 1 64 48 in/a.PXC a.ppm && "$MAKE" 2 1 17 in/b.PXC b.ppm &&
        "$MAKE" 3 300 9 in/c.PXC c.ppm && "$MAKE" 4 5 5 in/d.PXC d.ppm || exit 1
    printf 'PXCM but no more' >in/e.PXC
    size=$(stat -c %s in/a.PXC)
    head -c $((size / 2)) in/a.PXC >in/f.PXC
    "$PLUGIN" in/f.PXC 0 f.ppm >/dev/null || fail "the plug-in cannot decode half of a.PXC"
    run 1 decode in/a.PXC in/b.PXC in/c.PXC in/d.PXC in/e.PXC in/f.PXC --out-dir out -j 2
    has err.txt "decoded 5 files, 1 failed"
    has err.txt "in/e.PXC: "
    has err.txt "warning: in/f.PXC: the picture data ends early, in row"
    for n in a b c d; do same_pixels $n.ppm out/$n.png; done
    same_pixels f.ppm out/f.png
    [ ! -e out/e.png ] || fail "a failed file left an output"
    run 0 decode in/a.PXC in/b.PXC --out-dir out --format bmp -j 2 -q
    [ ! -s err.txt ] || fail "-q still printed: $(cat err.txt)"
    same_pixels a.ppm out/a.bmp
    same_pixels b.ppm out/b.bmp
    # Two inputs with one output name: the second is refused.
    mkdir other && cp in/d.PXC other/a.PXC
    run 1 decode in/a.PXC other/a.PXC --out-dir clash
    has err.txt "other/a.PXC: output clash/a.png is also the output of in/a.PXC"
    run 2 decode in/a.PXC in/b.PXC -o one.png
    no_leftovers out
    ;;

info_probe)
    "$MAKE" 1 64 48 a.pxc a.ppm && "$MAKE" 2 1 17 b.pxc b.ppm || exit 1
    echo "short" >s.txt
    run 0 info --fast a.pxc b.pxc
    [ "$(cat out.txt)" = "a.pxc: 64 x 48, 24 bits per pixel
b.pxc: 1 x 17, 24 bits per pixel" ] || fail "info --fast printed: $(cat out.txt)"
    # Without --fast the stream is decoded and judged.
    size=$(stat -c %s a.pxc)
    head -c $((size - 40)) a.pxc >cut.pxc
    { cat b.pxc; printf 'GARBAGE'; } >trail.pxc
    run 0 info a.pxc cut.pxc trail.pxc
    has out.txt "a.pxc: 64 x 48, 24 bits per pixel, stream complete ($size bytes)"
    has out.txt "cut.pxc: 64 x 48, 24 bits per pixel, stream ends early, in row"
    has out.txt "trail.pxc: 1 x 17, 24 bits per pixel, stream complete"
    has out.txt "7 trailing bytes after its stream"
    run 1 info a.pxc s.txt
    has out.txt "a.pxc: 64 x 48"
    has err.txt "s.txt: not a PXCM picture"
    printf "PXCM\\x00\\x00" >head.pxc
    run 1 info head.pxc
    has err.txt "head.pxc: file is cut short inside its header"
    printf 'PXCM\x00\x00\x01\x00\x00\x00\x00\x00\x02\x00\x01\x00\x20\x00\x00\x00\x00\x00\x00\x00' >depth32.pxc
    run 1 info depth32.pxc
    has err.txt "depth32.pxc: not a PXCM picture"

    # One JSON document with stable names.
    run 1 info --json a.pxc cut.pxc trail.pxc s.txt
    [ "$(json '[.files[] | .file] | join(" ")')" = "a.pxc cut.pxc trail.pxc s.txt" ] || fail "info --json files: $(cat out.txt)"
    [ "$(json '.files[0] | "\(.width) \(.height) \(.depth) \(.stream) \(.stream_bytes) \(.trailing_bytes) \(.end_row)"')" = \
        "64 48 24 complete $size 0 null" ] || fail "info --json, a.pxc: $(json '.files[0]')"
    [ "$(json '.files[1] | "\(.stream) \(.end_row | type) \(.bits_past_end > 0)"')" = "ends_early number true" ] ||
        fail "info --json, cut.pxc: $(json '.files[1]')"
    [ "$(json '.files[2].trailing_bytes')" = 7 ] || fail "info --json, trail.pxc: $(json '.files[2]')"
    [ "$(json '.files[3].error')" = "not a PXCM picture" ] || fail "info --json, s.txt: $(json '.files[3]')"

    # probe: 0 is, 1 is not, 2 could not read.
    run 0 probe a.pxc b.pxc
    [ "$(cat out.txt)" = "a.pxc: PXCM picture
b.pxc: PXCM picture" ] || fail "probe printed: $(cat out.txt)"
    run 1 probe a.pxc s.txt depth32.pxc
    has out.txt "s.txt: not a PXCM picture"
    has out.txt "depth32.pxc: not a PXCM picture"
    run 2 probe nothing.pxc
    has err.txt "nothing.pxc: cannot open"
    run 2 probe a.pxc s.txt nothing.pxc
    run 2 probe .
    run 0 probe --json a.pxc
    [ "$(json '.files[0].pxcm')" = true ] || fail "probe --json: $(cat out.txt)"

    # A failed write to standard output is a failure.
    if [ -w /dev/full ]; then
        "$PXC" info a.pxc >/dev/full 2>err.txt
        [ $? = 1 ] || fail "info > /dev/full did not fail"
        has err.txt "cannot write standard output"
        "$PXC" probe a.pxc >/dev/full 2>err.txt
        [ $? = 2 ] || fail "probe > /dev/full did not fail with 2"
        "$PXC" verify --json a.pxc >/dev/full 2>/dev/null && fail "verify > /dev/full did not fail"
    fi

    # verify: complete, ends early, trailing bytes, fails; the status adds them up.
    run 0 verify a.pxc
    has out.txt "a.pxc: complete ($size bytes)"
    run 4 verify a.pxc cut.pxc
    has out.txt "cut.pxc: ends early, in row"
    run 8 verify trail.pxc
    has out.txt "trail.pxc: complete, with 7 trailing bytes after its stream"
    run 13 verify a.pxc cut.pxc trail.pxc s.txt
    has out.txt "s.txt: fails: not a PXCM picture"
    run 13 verify -q a.pxc cut.pxc trail.pxc s.txt
    lacks out.txt "a.pxc"
    run 12 verify --json trail.pxc cut.pxc
    [ "$(json '[.files[] | .status] | join(" ")')" = "trailing_bytes ends_early" ] || fail "verify --json: $(cat out.txt)"
    [ "$(json '.summary | "\(.files) \(.complete) \(.ends_early) \(.trailing_bytes) \(.failed)"')" = "2 0 1 1 0" ] ||
        fail "verify --json summary: $(json .summary)"
    ;;

limits)
    # A header claiming 65535 x 65535 with a few bytes of data.
    { header '\xff\xff' '\xff\xff'; printf '\x64\x02\x07\x01'; } >huge.pxc
    run 1 decode huge.pxc -o huge.png
    has err.txt "huge.pxc: picture is 65535 x 65535 = 4294836225 pixels, more than the limit of 268435456 (--max-pixels)"
    # With the limit lifted: too few bytes for so many pixels, known
    # without allocating them (the plug-in fails on it too).
    limited 300000 "$PXC" decode huge.pxc -o huge.png --max-pixels 4294836225 >out.txt 2>err.txt
    [ $? = 1 ] || fail "huge.pxc with the limit lifted: $(cat err.txt)"
    has err.txt "huge.pxc: damaged picture data: 4 bytes of picture data cannot hold 65535 x 65535 pixels"
    [ ! -e huge.png ] || fail "output written for a refused picture"
    "$MAKE" 3 37 23 pic.pxc pic.ppm || exit 1
    run 1 decode pic.pxc -o pic.png --max-pixels 850
    has err.txt "more than the limit of 850"
    run 0 decode pic.pxc -o pic.png --max-pixels 851
    # Numbers are checked: no negative limit that turns it off, no wrapping.
    for bad in -1 -5 0 4294836226 1e9 18446744073709551616 x; do
        run 2 decode pic.pxc -o bad.png --max-pixels "$bad"
    done
    run 2 decode pic.pxc -o bad.png -j 0
    run 2 decode pic.pxc -o bad.png -j -1
    run 2 decode pic.pxc -o bad.png --offset -24
    run 2 encode pic.png -o bad.pxc --effort 10
    [ ! -e bad.png ] && [ ! -e bad.pxc ] || fail "a refused command wrote an output"
    ;;

encode)
    convert -size 40x30 -seed 1 plasma: -depth 8 -type TrueColor rgb.png &&
        convert rgb.png -colorspace Gray -type Grayscale grey.png &&
        convert rgb.png -colors 16 -type Palette palette.png &&
        convert rgb.png -depth 16 deep.png &&
        convert rgb.png -alpha set -channel A -evaluate set 50% +channel rgba.png &&
        convert rgb.png -type TrueColor BMP3:plain.bmp || exit 1
    for f in rgb grey palette deep rgba; do
        [ -s $f.png ] || fail "convert made no $f.png"
    done
    mkdir out
    run 0 encode rgb.png grey.png palette.png deep.png rgba.png plain.bmp --out-dir out -j 2
    has err.txt "encoded 6 files, 0 failed: "
    has err.txt "warning: rgba.png: transparency dropped"
    lacks err.txt "warning: rgb.png"
    # The summary's sizes are those of the files.
    bytes_in=$(cat rgb.png grey.png palette.png deep.png rgba.png plain.bmp | wc -c)
    bytes_out=$(cat out/*.pxc | wc -c)
    has err.txt ": $bytes_in bytes in, $bytes_out bytes out ("
    has err.txt "bits per pixel"
    for f in rgb grey palette deep rgba; do
        run 0 decode out/$f.pxc -o $f.back.png
        same_pixels $f.png $f.back.png
    done
    run 0 decode out/plain.pxc -o plain.back.png
    same_pixels plain.bmp plain.back.png
    run 0 info out/grey.pxc
    has out.txt "out/grey.pxc: 40 x 30, 24 bits per pixel"
    run 0 encode rgb.png -o one.pxc -v
    has err.txt "rgb.png: 40 x 30: $(stat -c %s rgb.png) bytes -> $(stat -c %s one.pxc) bytes ("

    # Every effort gives the same pixels.
    for e in -1 -9; do
        run 0 encode rgb.png -o e$e.pxc $e
        run 0 decode e$e.pxc -o e$e.png
        same_pixels rgb.png e$e.png
    done

    # A 24-bit BMP 65536 pixels wide (ImageMagick's own limits refuse
    # to make one).
    {
        printf 'BM\x36\x00\x03\x00\x00\x00\x00\x00\x36\x00\x00\x00'
        printf '\x28\x00\x00\x00\x00\x00\x01\x00\x01\x00\x00\x00\x01\x00\x18\x00'
        head -c 24 /dev/zero
        head -c 196608 /dev/zero
    } >wide.bmp
    run 1 encode wide.bmp -o wide.pxc
    has err.txt "wide.bmp: picture is 65536 x 1, a PXCM picture can be at most 65535 x 65535"
    echo "no picture" >text.png
    run 1 encode text.png -o text.pxc
    has err.txt "text.png: neither a PNG nor a BMP file"
    run 1 encode rgb.png -o out/rgb.pxc
    has err.txt "exists"
    no_leftovers
    ;;

cli)
    run 0 --version
    # The program's version and the plug-in banner's mark are one number.
    version=$(sed -n 's/^pxc \([0-9][0-9.]*\)$/\1/p' out.txt)
    [ -n "$version" ] || fail "--version names no version: $(cat out.txt)"
    has out.txt "PXCM to DIB filter ver0.01  pxcm $version"
    run 0 --help
    for sub in info probe verify decode encode scan extract; do has out.txt "$sub"; done
    # Every subcommand's help ends with examples of it, and takes -q and -v.
    two_by_one >tiny.pxc
    for sub in info probe verify decode encode scan extract; do
        run 0 $sub --help
        tail -n 8 out.txt | grep -q "^  pxc $sub " || fail "pxc $sub --help does not end with examples: $(tail -n 4 out.txt)"
        has out.txt "-q,--quiet"
        has out.txt "-v,--verbose"
    done
    run 2 dec tiny.pxc
    [ "$(head -1 err.txt)" = "pxc: unknown command 'dec'; did you mean 'decode'?" ] || fail "pxc dec: $(cat err.txt)"
    run 2 verfiy tiny.pxc
    has err.txt "did you mean 'verify'?"
    run 2 frobnicate
    has err.txt "unknown command 'frobnicate'"
    lacks err.txt "did you mean"
    run 2 decode
    run 2 info -q -v tiny.pxc
    # -j defaults to the number of cores pxc may run on: those of its
    # affinity mask, not all the machine's.
    run 0 decode --help
    has out.txt "-j,--jobs UINT:N=$(nproc)"
    if command -v taskset >/dev/null && taskset -c 0 true 2>/dev/null; then
        taskset -c 0 "$PXC" decode --help >out.txt 2>err.txt </dev/null
        has out.txt "-j,--jobs UINT:N=1"
    fi

    # The progress bar goes to a terminal only; there it fits the width,
    # names the file and is redrawn in place.
    "$MAKE" 1 64 300 a.pxc a.ppm || exit 1
    run 0 decode a.pxc -o a.png
    grep -q $'\r' err.txt && fail "progress drawn on a stderr that is not a terminal"
    mkdir many
    for i in 1 2 3 4 5 6; do cp a.pxc "many/picture-with-a-rather-long-name-$i.pxc"; done
    if command -v script >/dev/null; then
        script -qec "stty cols 36; '$PXC' decode a.pxc -o b.png; '$PXC' decode many/*.pxc --out-dir o -j 2" /dev/null >tty.txt 2>&1
        has tty.txt "decoding rows"
        has tty.txt "files 6/6"
        has tty.txt "...-"
        same_pixels a.ppm b.png
        # Every redraw of the bar fits in 35 columns (escape sequences aside).
        wide=$(tr '\r' '\n' <tty.txt | sed 's/\x1b\[K//g' | grep -E '%' | awk 'length($0) > 35' | head -1)
        [ -z "$wide" ] || fail "a progress line wider than the terminal: [$wide]"
        script -qec "stty cols 120; '$PXC' decode many/*.pxc --out-dir p -j 1 --no-progress" /dev/null >tty2.txt 2>&1
        grep -q '%' tty2.txt && fail "--no-progress still drew a bar"
        # Binary output is not sent to a terminal.
        script -qec "'$PXC' decode a.pxc -o -; echo status=\$?" /dev/null >tty3.txt 2>&1
        has tty3.txt "standard output is a terminal"
        has tty3.txt "status=2"
    fi
    ;;

ends_early)
    # Streams whose last tokens rely on the zero bits after the data: pxc
    # writes exactly the plug-in's picture, with a warning naming the row;
    # --strict makes it a failure. Where the plug-in cannot decode the cut
    # stream, neither can pxc.
    "$MAKE" 7 90 70 pic.pxc pic.ppm || exit 1
    size=$(stat -c %s pic.pxc)
    early=0
    for keep in 40 120 $((size / 3)) $((size / 2)) $((size - 200)) $((size - 2)); do
        head -c "$keep" pic.pxc >cut.pxc
        if "$PLUGIN" cut.pxc 0 plugin.ppm >/dev/null; then
            early=$((early + 1))
            rm -f cut.png cut.bmp
            run 0 decode cut.pxc -o cut.png
            has err.txt "warning: cut.pxc: the picture data ends early, in row"
            same_pixels plugin.ppm cut.png
            run 0 decode cut.pxc -o cut.bmp
            same_pixels plugin.ppm cut.bmp
            rm -f strict.png
            run 1 decode cut.pxc -o strict.png --strict
            has err.txt "cut.pxc: the picture data ends early, in row"
            has err.txt "(--strict)"
            [ ! -e strict.png ] || fail "--strict left an output"
            run 4 verify cut.pxc
            row=$(sed -n 's/.*in row \([0-9]*\) of 70.*/\1/p' out.txt)
            [ -n "$row" ] && [ "$row" -ge 1 ] && [ "$row" -le 70 ] || fail "verify names no row: $(cat out.txt)"
        else
            run 1 decode cut.pxc -o broken.png
            has err.txt "damaged picture data"
            [ ! -e broken.png ] || fail "a stream the plug-in cannot decode left an output"
            run 1 verify cut.pxc
        fi
    done
    [ "$early" -ge 3 ] || fail "only $early of the cuts decode with the plug-in"
    # The complete file is not flagged.
    run 0 decode pic.pxc -o pic.png --strict
    lacks err.txt "warning"
    same_pixels pic.ppm pic.png
    # Old flags do no harm.
    head -c $((size - 2)) pic.pxc >cut.pxc
    run 0 decode cut.pxc -o old.png --keep-partial --no-tail-check
    "$PLUGIN" cut.pxc 0 plugin.ppm >/dev/null && same_pixels plugin.ppm old.png
    ;;

pipes)
    "$MAKE" 11 70 40 pic.pxc pic.ppm || exit 1
    # Standard input in, standard output out; PNG by default.
    "$PXC" decode - -o - <pic.pxc >stdout.png 2>err.txt || fail "decode - -o -: $(cat err.txt)"
    [ "$(identify -format %m stdout.png)" = PNG ] || fail "-o - did not write a PNG"
    same_pixels pic.ppm stdout.png
    [ ! -e ./- ] || fail "-o - wrote a file named -"
    cat pic.pxc | "$PXC" decode - --format bmp >stdout.bmp 2>err.txt || fail "decode - --format bmp: $(cat err.txt)"
    [ "$(head -c 2 stdout.bmp)" = BM ] || fail "--format bmp to standard output is no BMP"
    same_pixels pic.ppm stdout.bmp
    # A round trip through encode and decode, in a pipe.
    convert -size 33x21 -seed 4 plasma: -depth 8 src.png || exit 1
    "$PXC" encode - -o - <src.png 2>err.txt | "$PXC" decode - -o - 2>>err.txt >round.png || fail "pipe round trip: $(cat err.txt)"
    same_pixels src.png round.png
    # Standard input is read no further than the picture can use: an
    # endless input after it does not keep the decode waiting.
    { cat pic.pxc; yes; } | timeout 60 "$PXC" decode - -o endless.png 2>err.txt
    [ "${PIPESTATUS[1]}" = 0 ] || fail "decode of a picture followed by endless input: $(cat err.txt)"
    same_pixels pic.ppm endless.png
    # verify counts what follows the picture on standard input.
    { cat pic.pxc; printf 'xyz'; } | "$PXC" verify - >out.txt 2>err.txt
    [ "${PIPESTATUS[1]}" = 8 ] || fail "verify - with 3 trailing bytes: $(cat out.txt err.txt)"
    has out.txt "3 trailing bytes"
    # A picture at an offset of standard input.
    { printf 'ABCDEFG'; cat pic.pxc; } | "$PXC" decode - --offset 7 -o offset.png 2>err.txt || fail "decode - --offset 7: $(cat err.txt)"
    same_pixels pic.ppm offset.png
    # Text answers go to standard output and mix with pipes.
    "$PXC" info - <pic.pxc >out.txt
    has out.txt "(standard input): 70 x 40, 24 bits per pixel, stream complete"
    run 2 decode - pic.pxc --out-dir o
    ;;

folders)
    mkdir -p in/sub/deeper in/empty
    "$MAKE" 1 20 10 in/a.pxc a.ppm && "$MAKE" 2 9 31 in/sub/b.PXC b.ppm && "$MAKE" 3 40 4 in/sub/deeper/c.dat c.ppm || exit 1
    echo "notes, not a picture" >in/sub/readme.txt
    run 2 decode in --out-dir out
    has err.txt "in is a folder (use -r to take the files in it)"
    run 0 decode -r in --out-dir out
    has err.txt "decoded 3 files, 0 failed"
    same_pixels a.ppm out/a.png
    same_pixels b.ppm out/sub/b.png
    same_pixels c.ppm out/sub/deeper/c.png
    [ ! -e out/sub/readme.png ] || fail "a text file was decoded"
    # A second run fails on the outputs it would replace; --skip-existing
    # leaves them and counts them.
    echo "mine" >out/a.png
    run 1 decode -r in --out-dir out
    run 0 decode -r in --out-dir out --skip-existing
    has err.txt "decoded 0 files, 0 failed, 3 skipped (output exists)"
    [ "$(cat out/a.png)" = mine ] || fail "--skip-existing replaced an output"
    rm out/sub/b.png
    run 0 decode -r in --out-dir out --skip-existing
    has err.txt "decoded 1 file, 0 failed, 2 skipped (output exists)"
    same_pixels b.ppm out/sub/b.png
    # Output names: a suffix, a template.
    run 0 decode in/a.pxc --out-dir named --suffix _full --format bmp
    same_pixels a.ppm named/a_full.bmp
    run 0 decode -r in --out-dir named --name 'pic-{name}.{ext}'
    same_pixels c.ppm named/sub/deeper/pic-c.dat.png
    run 2 decode in/a.pxc --name '{nope}.png'
    run 2 decode in/a.pxc --name '../{stem}.{ext}'
    run 2 decode in/a.pxc --name x --suffix y
    # Beside the inputs when there is no --out-dir.
    run 0 decode -r in/sub
    same_pixels b.ppm in/sub/b.png
    # encode walks for PNG and BMP files.
    mkdir pngs && convert a.ppm pngs/a.png && cp named/a_full.bmp pngs/ || exit 1
    run 0 encode -r pngs --out-dir pxc
    has err.txt "encoded 2 files, 0 failed"
    [ -s pxc/a.pxc ] && [ -s pxc/a_full.pxc ] || fail "encode -r wrote: $(ls pxc)"
    # info and verify walk too.
    run 0 verify -r in
    [ "$(wc -l <out.txt)" = 3 ] || fail "verify -r in: $(cat out.txt)"
    no_leftovers
    ;;

archive)
    # An archive of random bytes holding three pictures at odd offsets, one
    # followed by garbage, and a header whose stream is garbage.
    "$MAKE" 21 33 17 p1.pxc p1.ppm && "$MAKE" 22 5 40 p2.pxc p2.ppm && "$MAKE" 23 64 9 p3.pxc p3.ppm || exit 1
    head -c 4099 /dev/urandom >r1 && head -c 777 /dev/urandom >r2 && head -c 1001 /dev/urandom >r3 && head -c 55 /dev/urandom >r4
    { header '\x2c\x01' '\xc8\x00'; head -c 3000 /dev/urandom; } >fake
    cat r1 p1.pxc r2 p2.pxc fake r3 p3.pxc r4 >game.dat
    s1=$(stat -c %s r1) s2=$(stat -c %s r2) s3=$(stat -c %s r3)
    o1=$s1
    o2=$((o1 + $(stat -c %s p1.pxc) + s2))
    o3=$((o2 + $(stat -c %s p2.pxc) + $(stat -c %s fake) + s3))
    lengths=""
    for p in p1 p2 p3; do
        run 0 info --json $p.pxc
        lengths="$lengths $(json '.files[0].stream_bytes')"
    done
    read -r l1 l2 l3 <<<"$lengths"
    run 0 scan game.dat
    [ "$(cat out.txt)" = "game.dat: offset $o1, $l1 bytes, 33 x 17
game.dat: offset $o2, $l2 bytes, 5 x 40
game.dat: offset $o3, $l3 bytes, 64 x 9" ] || fail "scan listed: $(cat out.txt)"
    run 0 scan --json game.dat
    [ "$(json '[.files[0].pictures[] | "\(.offset):\(.length):\(.width)x\(.height):\(.complete):\(.inside)"] | join(" ")')" = \
        "$o1:$l1:33x17:true:null $o2:$l2:5x40:true:null $o3:$l3:64x9:true:null" ] || fail "scan --json: $(cat out.txt)"
    [ "$(json '.files[0].size')" = "$(stat -c %s game.dat)" ] || fail "scan --json size: $(json '.files[0].size')"
    [ "$(json '.files[0].candidates - .files[0].rejected')" = 3 ] || fail "scan --json counts: $(cat out.txt)"
    run 0 extract game.dat --out-dir cg
    has err.txt "extracted 3 pictures from 1 file, 0 failed"
    [ "$(find cg -type f | sort | tr '\n' ' ')" = "cg/game.dat-$o1.png cg/game.dat-$o2.png cg/game.dat-$o3.png " ] ||
        fail "extract wrote: $(find cg -type f)"
    same_pixels p1.ppm cg/game.dat-$o1.png
    same_pixels p2.ppm cg/game.dat-$o2.png
    same_pixels p3.ppm cg/game.dat-$o3.png
    run 1 extract game.dat --out-dir cg
    run 0 extract game.dat --out-dir cg --skip-existing
    has err.txt "extracted 0 pictures from 1 file, 0 failed, 3 skipped (output exists)"
    run 0 extract game.dat --out-dir bmp --format bmp --name '{stem}_{offset}.{ext}'
    same_pixels p2.ppm bmp/game_$o2.bmp
    # A picture inside another one's stream (the outer one, cut by a byte,
    # takes its last bits from the inner header): listed, and extracted
    # with --all only.
    "$MAKE" 44 3 2 outer.pxc outer.ppm && "$MAKE" 45 2 2 inner.pxc inner.ppm || exit 1
    at=$(($(stat -c %s outer.pxc) - 1))
    { head -c "$at" outer.pxc; cat inner.pxc; } >nested.dat
    run 0 scan nested.dat
    has out.txt "nested.dat: offset $at, $(stat -c %s inner.pxc) bytes, 2 x 2, inside the picture at 0"
    run 0 extract nested.dat --out-dir nested
    has err.txt "extracted 1 picture from 1 file"
    run 0 extract nested.dat --out-dir nested --all --skip-existing
    has err.txt "extracted 1 picture from 1 file, 0 failed, 1 skipped"
    same_pixels inner.ppm nested/nested.dat-$at.png
    # One picture at a known offset.
    run 0 decode game.dat --offset "$o2" -o at.png
    same_pixels p2.ppm at.png
    run 8 verify game.dat --offset "$o2"
    run 0 info game.dat --offset "$o3" --fast
    has out.txt "game.dat at $o3: 64 x 9, 24 bits per pixel"
    run 1 decode game.dat --offset 999999999 -o far.png
    has err.txt "past the end of the file"
    # An archive cut inside its last picture: listed as ending early.
    head -c $((o3 + l3 - 3)) game.dat >cut.dat
    run 0 scan cut.dat
    has out.txt "cut.dat: offset $o3, $((l3 - 3)) bytes, 64 x 9, ends early (the file ends in row"
    # Several GB, sparse: scanned with little memory (file pages are given
    # back as the scan moves on; the sparse holes read as zeros).
    truncate -s 3G big.dat
    dd if=p1.pxc of=big.dat bs=1 seek=2000000001 conv=notrunc status=none
    limited 200000 "$PXC" scan big.dat >out.txt 2>err.txt || fail "scan of 3 GB: $(cat err.txt)"
    has out.txt "big.dat: offset 2000000001, $l1 bytes, 33 x 17"
    no_leftovers
    ;;

files)
    "$MAKE" 31 24 16 pic.pxc pic.ppm || exit 1
    # A device node as -o with --force stays a device: written through.
    if mknod null c 1 3 2>/dev/null; then
        run 0 decode pic.pxc -o null --force
        [ -c null ] || fail "the device node was replaced: $(ls -l null)"
    else
        echo "mknod not permitted: device case tried on /dev/null only"
    fi
    run 0 decode pic.pxc -o /dev/null --force
    [ -c /dev/null ] || fail "/dev/null is no longer a device"
    # A FIFO as -o: written through to its reader, never replaced; without
    # a reader refused at once.
    mkfifo pipe_out
    # The shell holds the FIFO open until the reader has opened it too, so
    # that pxc finds a reader whatever the order in which they start.
    exec 4<>pipe_out
    cat pipe_out >from_fifo.png &
    reader=$!
    for _ in $(seq 200); do
        ls -l "/proc/$reader/fd" 2>/dev/null | grep -q pipe_out && break
        sleep 0.05
    done
    exec 4>&-
    (sleep 60 && kill $reader) >/dev/null 2>&1 </dev/null &
    watchdog=$!
    run 0 decode pic.pxc -o pipe_out --force --format png
    wait $reader
    pkill -P $watchdog sleep
    [ -p pipe_out ] || fail "the FIFO was replaced"
    same_pixels pic.ppm from_fifo.png
    timeout 20 "$PXC" decode pic.pxc -o pipe_out --force --format png >out.txt 2>err.txt
    [ $? = 1 ] || fail "a FIFO without a reader: $(cat err.txt)"
    has err.txt "is a FIFO that nobody reads"
    [ -p pipe_out ] || fail "the FIFO was replaced"
    # A symbolic link is followed, never replaced by a file.
    echo old >target.png
    ln -s target.png link.png
    run 1 decode pic.pxc -o link.png
    run 0 decode pic.pxc -o link.png --force
    [ -L link.png ] || fail "the link was replaced"
    same_pixels pic.ppm target.png
    ln -s nowhere.png dangling.png
    run 1 decode pic.pxc -o dangling.png --force
    [ -L dangling.png ] && [ ! -e nowhere.png ] || fail "a dangling link was written through"
    # A FIFO as input (no writer) is refused within seconds, by every command.
    mkfifo in.fifo
    for command in info probe verify decode; do
        timeout 20 "$PXC" $command in.fifo >out.txt 2>err.txt
        status=$?
        [ $status != 124 ] || fail "pxc $command waited on a FIFO"
        [ $status != 0 ] || fail "pxc $command accepted a FIFO"
        cat out.txt err.txt >both.txt
        has both.txt "not a regular file"
    done
    # Output names of up to 255 bytes, the longest a name can be.
    long=$(printf 'n%.0s' $(seq 251))
    run 0 decode pic.pxc -o "$long.png"
    same_pixels pic.ppm "$long.png"
    # 4 GB, sparse, claiming 2 x 1 pixels: memory near the picture's.
    { two_by_one; } >sparse.pxc
    truncate -s 4G sparse.pxc
    limited 100000 "$PXC" decode sparse.pxc -o sparse.png >out.txt 2>err.txt || fail "sparse 4 GB: $(cat err.txt)"
    [ "$(convert sparse.png rgb:- | od -An -tx1 | tr -d ' \n')" = "fefefefefefe" ] || fail "sparse.png is not the 2 x 1 picture"
    limited 100000 "$PXC" verify sparse.pxc >out.txt 2>err.txt
    [ $? = 8 ] || fail "verify of the sparse file: $(cat out.txt err.txt)"
    has out.txt "complete, with $((4 * 1024 * 1024 * 1024 - 31)) trailing bytes after its stream of 31 bytes"
    # A BMP over 4 GiB is refused from the header, before any work.
    { header '\xff\xff' '\xff\xff'; head -c 2000000 /dev/urandom; } >huge.pxc
    limited 100000 "$PXC" decode huge.pxc -o huge.bmp --max-pixels 4294836225 >out.txt 2>err.txt
    [ $? = 1 ] || fail "huge BMP: $(cat err.txt)"
    has err.txt "is too large for a BMP file (at most 4 GiB)"
    no_leftovers
    ;;

signals)
    "$MAKE" 41 30 20 pic.pxc pic.ppm || exit 1
    cp pic.pxc other.pxc
    # The input comes from a FIFO whose writer sends nothing: pxc is caught
    # in the middle of its work when the signal comes.
    mkfifo feed
    mkdir o
    # Ctrl-C: one line, status 130, no output and no temporary file.
    sleep 60 >feed &
    feeder=$!
    "$PXC" decode - -o o/stdin.png <feed 2>err.txt &
    pid=$!
    sleep 1
    kill -INT $pid
    wait $pid
    status=$?
    kill $feeder 2>/dev/null
    [ $status = 130 ] || fail "Ctrl-C: status $status"
    [ "$(wc -l <err.txt)" = 1 ] || fail "Ctrl-C printed more than one line: $(cat err.txt)"
    has err.txt "interrupted"
    [ -z "$(ls -A o)" ] || fail "Ctrl-C left: $(ls -A o)"
    # SIGTERM in a batch: no line per pending file, no summary, and the
    # files before it answered.
    sleep 60 >feed &
    feeder=$!
    "$PXC" info pic.pxc - other.pxc pic.pxc -j 1 <feed >out.txt 2>err.txt &
    pid=$!
    sleep 1
    kill -TERM $pid
    wait $pid
    status=$?
    kill $feeder 2>/dev/null
    [ $status = 143 ] || fail "SIGTERM: status $status"
    [ "$(wc -l <err.txt)" = 1 ] || fail "SIGTERM printed: $(cat err.txt)"
    has out.txt "pic.pxc: 30 x 20"
    lacks out.txt "other.pxc"
    # A second signal ends the program even if the first one is not heeded
    # at once: here both come before pxc looks.
    sleep 60 >feed &
    feeder=$!
    "$PXC" decode - -o o/again.png <feed 2>err.txt &
    pid=$!
    sleep 1
    kill -INT $pid
    kill -INT $pid
    wait $pid
    status=$?
    kill $feeder 2>/dev/null
    [ $status = 130 ] || fail "two Ctrl-C: status $status"
    [ -z "$(ls -A o)" ] || fail "two Ctrl-C left: $(ls -A o)"
    ;;

*)
    echo "unknown group $group" >&2
    exit 2
    ;;
esac

[ "$failures" = 0 ] || exit 1
exit 0
