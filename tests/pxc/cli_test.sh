#!/bin/bash
# The pxc program as a user runs it: cli_test.sh GROUP PXC MAKE_PICTURE
# Outputs are checked with ImageMagick (convert, identify).
set -u
group=$1
PXC=$2
MAKE=$3

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
    "$PXC" "$@" >out.txt 2>err.txt
    local got=$?
    if [ "$got" != "$want" ]; then
        fail "pxc $* exited $got, expected $want; stderr: $(cat err.txt)"
    fi
}

has() { # has FILE TEXT: the file holds the text
    grep -qF -- "$2" "$1" || fail "$1 lacks '$2': $(cat "$1")"
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

no_leftovers() { # no temporary files of pxc in the directory
    local left
    left=$(find "${1:-.}" -name '.*.pxc-*' | head -1)
    [ -z "$left" ] || fail "temporary file left behind: $left"
}

# The 2 x 1 picture whose stream holds one table set and two tokens.
two_by_one() {
    printf 'PXCM\x00\x00\x01\x00\x00\x00\x00\x00\x02\x00\x01\x00\x18\x00\x00\x00\x00\x00\x00\x00'
    printf '\x64\x02\x07\x01\x57\x67\xFA\x00\x00\x00\x00'
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
    # --format decides over the missing extension; default name beside the input.
    run 0 decode pic.pxc -o pic.out --format bmp
    [ "$(head -c 2 pic.out)" = "BM" ] || fail "--format bmp did not write a BMP"
    mkdir sub && cp pic.pxc sub/
    run 0 decode sub/pic.pxc
    same_pixels expected.ppm sub/pic.png
    no_leftovers
    ;;

errors)
    echo "hello, not a picture" >text.pxc
    run 1 decode text.pxc -o text.png
    has err.txt "text.pxc: not a PXCM picture"
    [ ! -e text.png ] || fail "an output was written for a file that is not a picture"
    run 1 decode missing.pxc -o missing.png
    has err.txt "missing.pxc: cannot open"

    "$MAKE" 9 120 40 pic.pxc expected.ppm || exit 1
    size=$(stat -c %s pic.pxc)
    head -c $((size * 3 / 4)) pic.pxc >cut.pxc
    run 1 decode cut.pxc -o cut.png
    has err.txt "cut.pxc: file is cut short"
    [ ! -e cut.png ] || fail "a cut-short file left an output"
    head -c 30 pic.pxc >stub.pxc
    run 1 decode stub.pxc -o stub.png
    has err.txt "stub.pxc: file is cut short"

    # An existing output is kept without --force; the other files go on.
    echo "precious" >taken.png
    cp pic.pxc taken.pxc
    run 1 decode taken.pxc pic.pxc --out-dir .
    has err.txt "taken.pxc: output ./taken.png exists (use --force to replace it)"
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
    run 1 decode in/a.PXC in/b.PXC in/c.PXC in/d.PXC in/e.PXC in/f.PXC --out-dir out -j 2
    has err.txt "decoded 4 files, 2 failed"
    has err.txt "in/e.PXC: "
    has err.txt "in/f.PXC: file is cut short"
    for n in a b c d; do same_pixels $n.ppm out/$n.png; done
    [ ! -e out/e.png ] && [ ! -e out/f.png ] || fail "failed files left outputs"
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
    run 0 info a.pxc b.pxc
    [ "$(cat out.txt)" = "a.pxc: 64 x 48, 24 bits per pixel
b.pxc: 1 x 17, 24 bits per pixel" ] || fail "info printed: $(cat out.txt)"
    run 1 info a.pxc s.txt
    has out.txt "a.pxc: 64 x 48"
    has err.txt "s.txt: not a PXCM picture"
    printf "PXCM\\x00\\x00" >head.pxc
    run 1 info head.pxc
    has err.txt "head.pxc: file cannot be read or is cut short"
    printf 'PXCM\x00\x00\x01\x00\x00\x00\x00\x00\x02\x00\x01\x00\x20\x00\x00\x00\x00\x00\x00\x00' >depth32.pxc
    run 1 info depth32.pxc
    has err.txt "depth32.pxc: not a PXCM picture"
    run 0 probe a.pxc b.pxc
    [ "$(cat out.txt)" = "a.pxc: PXCM picture
b.pxc: PXCM picture" ] || fail "probe printed: $(cat out.txt)"
    run 1 probe a.pxc s.txt depth32.pxc
    has out.txt "s.txt: not a PXCM picture"
    has out.txt "depth32.pxc: not a PXCM picture"
    run 1 probe nothing.pxc
    has err.txt "nothing.pxc: cannot open"
    ;;

limits)
    # A header claiming 65535 x 65535 with a few bytes of data.
    printf 'PXCM\x00\x00\x01\x00\x00\x00\x00\x00\xff\xff\xff\xff\x18\x00\x00\x00\x00\x00\x00\x00\x64\x02\x07\x01' >huge.pxc
    run 1 decode huge.pxc -o huge.png
    has err.txt "huge.pxc: picture is 65535 x 65535 = 4294836225 pixels, more than the limit of 268435456 (--max-pixels)"
    run 1 decode huge.pxc -o huge.png --max-pixels 5000000000
    has err.txt "huge.pxc: file is cut short: its 4 bytes of picture data cannot hold more than 0 of its 65535 rows"
    [ ! -e huge.png ] || fail "output written for a refused picture"
    "$MAKE" 3 37 23 pic.pxc pic.ppm || exit 1
    run 1 decode pic.pxc -o pic.png --max-pixels 850
    has err.txt "more than the limit of 850"
    run 0 decode pic.pxc -o pic.png --max-pixels 851

    # --keep-partial on a cut file: the top rows as in the picture.
    convert -size 96x64 -seed 3 plasma: -depth 8 src.png || exit 1
    run 0 encode src.png -o src.pxc
    size=$(stat -c %s src.pxc)
    head -c $((size * 2 / 3)) src.pxc >cut.pxc
    run 1 decode cut.pxc -o cut.png
    has err.txt "cut.pxc: file is cut short"
    run 0 decode cut.pxc -o cut.png --keep-partial
    has err.txt "warning: cut.pxc: file is cut short: kept the first"
    kept=$(sed -n 's/.*kept the first \([0-9]*\) of 64 rows.*/\1/p' err.txt)
    if [ -z "$kept" ] || [ "$kept" -lt 20 ] || [ "$kept" -ge 64 ]; then
        fail "kept '$kept' rows of a file cut at two thirds"
    else
        convert src.png -crop 96x${kept}+0+0 +repage top.png
        convert cut.png -crop 96x${kept}+0+0 +repage got.png
        same_pixels top.png got.png
        convert cut.png -crop 96x$((64 - kept))+0+${kept} +repage -format '%[fx:maxima]' info: >max.txt
        [ "$(cat max.txt)" = "0" ] || fail "rows after the cut are not black"
    fi
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
    has err.txt "encoded 6 files, 0 failed"
    has err.txt "warning: rgba.png: transparency dropped"
    grep -q "warning: rgb.png" err.txt && fail "a warning for an opaque picture"
    for f in rgb grey palette deep rgba; do
        run 0 decode out/$f.pxc -o $f.back.png
        same_pixels $f.png $f.back.png
    done
    run 0 decode out/plain.pxc -o plain.back.png
    same_pixels plain.bmp plain.back.png
    run 0 info out/grey.pxc
    has out.txt "out/grey.pxc: 40 x 30, 24 bits per pixel"

    # Every effort gives the same pixels.
    for e in -1 -9; do
        run 0 encode rgb.png -o e$e.pxc $e
        run 0 decode e$e.pxc -o e$e.png
        same_pixels rgb.png e$e.png
    done
    run 2 encode rgb.png -o bad.pxc --effort 10

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
    for sub in info probe decode encode; do has out.txt "$sub"; done
    run 2 frobnicate
    run 2 decode

    # The progress bar goes to a terminal only.
    "$MAKE" 1 64 300 a.pxc a.ppm || exit 1
    run 0 decode a.pxc -o a.png
    grep -q $'\r' err.txt && fail "progress drawn on a stderr that is not a terminal"
    if command -v script >/dev/null; then
        script -qec "'$PXC' decode a.pxc -o b.png; '$PXC' decode a.pxc a.pxc --out-dir o -j 2" /dev/null >tty.txt 2>&1
        has tty.txt "decoding rows"
        has tty.txt "files 2/2"
        same_pixels a.ppm b.png
    fi
    ;;

*)
    echo "unknown group $group" >&2
    exit 2
    ;;
esac

[ "$failures" = 0 ] || exit 1
exit 0
