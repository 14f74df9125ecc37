#!/bin/bash
# pxc.exe from the unpacked release zip, under 64-bit Wine, against the
# Linux pxc of the same sources:
#
#   pxc_test.sh PXC_EXE LINUX_PXC SAMPLE_DIR VERSION
#
# SAMPLE_DIR holds .pxc pictures. Checks, one Wine start per command:
# - pxc --version gives VERSION;
# - decode of a sample to PNG and to BMP, and from standard input to
#   standard output, each with the pixels of the Linux pxc's PNG
#   (ImageMagick compare -metric AE: 0);
# - encode of that PNG to .pxc: the bytes the Linux pxc writes; decoded
#   again, the same pixels;
# - an existing output: kept without --force, replaced with it;
# - info --json of a sample and of the encoded file: the same document as
#   the Linux pxc gives, file names aside;
# - a batch over a folder with a non-ASCII name ("CG 画像", the samples with
#   upper-case names and extension, one in a subfolder) with -r and
#   --out-dir to a folder with a non-ASCII name, named with a drive letter
#   and backslashes: the same names and tree as the Linux pxc writes, the
#   same pixels, and the messages naming the files in UTF-8;
# - the folder's top files through wildcards that pxc.exe expands itself;
# - the exit statuses for a missing file and a file that is not a PXCM
#   picture: those of the Linux pxc;
# - on a console (a terminal that Wine makes one; console_stop.py): the
#   report with a non-ASCII name, and Ctrl-C giving exit status 130.
# One line per check (PASS, FAIL or SKIPPED); exit status 1 when any failed,
# 77 when Wine cannot run here.
set -uo pipefail
if [ $# -ne 4 ]; then
    echo "usage: pxc_test.sh PXC_EXE LINUX_PXC SAMPLE_DIR VERSION" >&2
    exit 2
fi
exe=$(realpath "$1")
linux=$(realpath "$2")
samples=$(realpath "$3")
version=$4
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export LC_ALL=C.UTF-8 # Wine takes the arguments' and the output's encoding from it

failed=0
pass() { echo "PASS pxc.exe $*"; }
fail() {
    echo "FAIL pxc.exe $*"
    failed=1
}
line() { tr '\n' ' ' <<<"$1" | sed 's/ *$//'; }

work=$(mktemp -d "${TMPDIR:-/tmp}/pxc-exe-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# The program runs from where it is (the unpacked zip), in the working
# folder.
wine() { # wine OUT ERR args... : pxc.exe under Wine, its exit status
    local out=$1 err=$2
    shift 2
    bash "$root/cmake/wine-run.sh" 64 "$exe" "$@" >"$out" 2>"$err"
}
winpath() { echo "Z:${1//\//\\}"; } # a Linux path as Wine's Windows name of it

if ! wine version.txt version.err --version; then
    if grep -q '^SKIPPED' version.txt; then
        echo "SKIPPED pxc.exe under Wine: $(sed -n 's/^SKIPPED: //p' version.txt)"
        exit 77
    fi
    fail "--version: exit status not 0: $(line "$(cat version.txt version.err)")"
fi
if [ "$(head -1 version.txt | tr -d '\r')" = "pxc $version" ]; then
    pass "--version: pxc $version"
else
    fail "--version: want 'pxc $version', found '$(head -1 version.txt)'"
fi

pictures=("$samples"/*.pxc)
[ -f "${pictures[0]}" ] || {
    fail "no .pxc pictures in $samples"
    exit 1
}
same_pixels() { # same_pixels WHAT A B
    local ae
    if ae=$(compare -metric AE "$2" "$3" null: 2>&1) && [ "$ae" = 0 ]; then
        return 0
    fi
    fail "$1: $(basename "$2") and $(basename "$3") differ: compare says '$ae'"
    return 1
}

# ------------------------------------------------------------ one picture
sample=${pictures[0]}
cp "$sample" one.pxc
"$linux" decode one.pxc -o linux.png -q || fail "the Linux pxc cannot decode $(basename "$sample")"
# The input named with a drive letter, the output in a new folder named
# with a backslash.
for format in png bmp; do
    if wine /dev/null err.txt decode "$(winpath "$work/one.pxc")" -o "new dir\\one.$format" -q &&
        [ -s "new dir/one.$format" ]; then
        same_pixels "decode to ${format^^}" "new dir/one.$format" linux.png &&
            pass "decode to ${format^^} (Z:\\ input, new dir\\ output): the Linux pixels"
    else
        fail "decode to ${format^^}: $(line "$(cat err.txt)")"
    fi
done
# An existing output: kept without --force (the status the Linux pxc
# gives), replaced with it; no temporary files left beside it.
other=${pictures[1]:-${pictures[0]}}
"$linux" decode "$other" -o other.png -q
before=$(sha256sum <"new dir/one.png")
wine /dev/null err.txt decode "$other" -o "new dir\\one.png" -q
kept=$?
"$linux" decode one.pxc -o linux.png -q 2>/dev/null
linux_kept=$?
if [ "$kept" != "$linux_kept" ] || [ "$(sha256sum <"new dir/one.png")" != "$before" ] || ! grep -q -- --force err.txt; then
    fail "existing output without --force: exit status $kept (Linux $linux_kept), said: $(line "$(cat err.txt)")"
elif ! wine /dev/null err.txt decode "$other" -o "new dir\\one.png" -q --force; then
    fail "existing output with --force: $(line "$(cat err.txt)")"
elif same_pixels "existing output with --force" "new dir/one.png" other.png; then
    left=$(cd "new dir" && ls -A | grep -v '^one\.\(png\|bmp\)$')
    if [ -n "$left" ]; then
        fail "existing output: files left beside it: $(line "$left")"
    else
        pass "existing output: kept without --force (exit status $kept, as on Linux), replaced with it"
    fi
fi

# Pipes on standard input and output carry the bytes as they are.
if cat one.pxc | wine /dev/stdout err.txt decode - | cat >pipe.png && [ -s pipe.png ]; then
    same_pixels "decode from standard input to standard output" pipe.png linux.png &&
        pass "decode from standard input to standard output: the Linux pixels"
else
    fail "decode from standard input to standard output: $(line "$(cat err.txt)")"
fi
"$linux" encode linux.png -o linux.pxc -q
if wine /dev/null err.txt encode linux.png -o back.pxc -q &&
    wine /dev/null err2.txt decode back.pxc -o back.png -q; then
    if ! cmp -s back.pxc linux.pxc; then
        fail "encode: the file differs from the Linux pxc's for the same PNG ($(stat -c %s back.pxc) and $(stat -c %s linux.pxc) bytes)"
    elif same_pixels "encode and decode" back.png linux.png; then
        pass "encode of a PNG: the Linux pxc's bytes, decoded again the same pixels"
    fi
else
    fail "encode and decode: $(line "$(cat err.txt err2.txt 2>/dev/null)")"
fi

files=(one.pxc)
[ -f back.pxc ] && files+=(back.pxc)
if wine info.json err.txt info --json "${files[@]}" && "$linux" info --json "${files[@]}" >linux.json; then
    drop='del(.files[].file)'
    if ! jq -e '.files | length > 0' info.json >/dev/null; then
        fail "info --json: no files in its document: $(line "$(head -c 300 info.json)")"
    elif [ "$(jq -S "$drop" info.json)" = "$(jq -S "$drop" linux.json)" ]; then
        pass "info --json: as the Linux pxc's ($(jq -c '[.files[0] | keys[]]' info.json))"
    else
        fail "info --json differs: $(diff <(jq -S "$drop" linux.json) <(jq -S "$drop" info.json) | grep '^[<>]' | head -6 | tr '\n' ' ')"
    fi
else
    fail "info --json: $(line "$(cat err.txt)")"
fi

# ------------------------------------------------------------ a folder
in="CG 画像"
mkdir -p "$in/差分 2"
i=0
for p in "${pictures[@]}"; do
    i=$((i + 1))
    name=$(basename "$p" .pxc)
    dest="$in"
    [ "$i" = 2 ] && dest="$in/差分 2"
    [ "$i" = 3 ] && name="画像"
    cp "$p" "$dest/${name^^}_$i.PXC"
done
"$linux" decode -r "$in" --out-dir linux-out -q || fail "the Linux pxc cannot decode the folder"
want=$(cd linux-out && find . -type f | sort)

batch() { # batch WHAT OUT_DIR args...: the Windows outputs against Linux
    local what=$1 out=$2 got f ok=1
    shift 2
    if ! wine stdout.txt err.txt decode "$@" --out-dir "$(winpath "$work/$out")" -v --no-progress; then
        fail "$what: exit status not 0: $(line "$(cat err.txt)")"
        return
    fi
    got=$(cd "$out" 2>/dev/null && find . -type f | sort)
    if [ "$got" != "$want" ]; then
        fail "$what: wrote [$(line "$got")], the Linux pxc [$(line "$want")]"
        return
    fi
    while read -r f; do
        same_pixels "$what" "$out/$f" "linux-out/$f" || ok=0
    done <<<"$want"
    # Messages to a pipe are UTF-8 bytes, the names as given.
    if ! grep -qF "CG 画像" err.txt; then
        fail "$what: the messages do not name 'CG 画像' in UTF-8: $(line "$(head -3 err.txt)")"
        ok=0
    fi
    [ $ok = 1 ] && pass "$what: $(grep -c . <<<"$want") pictures, the Linux names and pixels"
}
batch "decode -r of 'CG 画像' to 'PNG 出力'" "PNG 出力" -r "$in"

# The top folder's files through wildcards, which Windows shells pass on
# to the program: letters in any case, ? for one character (画 is three
# bytes in UTF-8).
want=$(cd linux-out && find . -maxdepth 1 -type f | sort)
batch "decode 'CG 画像\\c*.pxc' 'CG 画像\\?像_?.PXC' (wildcards)" "ワイルド" "$in\\c*.pxc" "$in\\?像_?.PXC"

# ------------------------------------------------------------ the console
# On a console: the report written as characters (a non-ASCII name comes
# back whole), and Ctrl-C while pxc waits on standard input ends it with
# 130, as SIGINT does on Linux.
if command -v python3 >/dev/null; then
    cp one.pxc "猫 1.pxc"
    report="猫 1.pxc: $(jq -r '.files[0] | "\(.width) x \(.height)"' info.json)"
    python3 "$here/console_stop.py" "$root/cmake/wine-run.sh" "$exe" "猫 1.pxc" "$report" >console.txt 2>&1
    status=$(sed -n '1s/^status //p' console.txt)
    shown=$(tail -n +2 console.txt | tr -d ' \n')
    if ! grep -qF "${report// /}" <<<"$shown"; then
        fail "console: no report '$report': $(line "$(tail -n +2 console.txt | head -5)")"
    elif [ "$status" != 130 ]; then
        fail "Ctrl-C on the console: exit status $status, want 130; shown: $(line "$(tail -n +2 console.txt | head -5)")"
    elif ! grep -qF "interrupted" <<<"$shown"; then
        fail "Ctrl-C on the console: exit status 130 but no 'interrupted': $(line "$(tail -n +2 console.txt)")"
    else
        pass "console: the report names '猫 1.pxc'; Ctrl-C ends the wait on standard input with 130"
    fi
else
    echo "SKIPPED pxc.exe on a console: no python3"
fi

# ------------------------------------------------------------ statuses
cp "$root/LICENSE" not-a-picture.pxc
for input in missing.pxc not-a-picture.pxc; do
    wine /dev/null err.txt decode "$input" -q
    got=$?
    "$linux" decode "$input" -q 2>/dev/null
    want_status=$?
    if [ "$got" = "$want_status" ] && [ "$got" != 0 ] && grep -qF "$input" err.txt; then
        pass "decode $input: exit status $got, as on Linux, naming the file"
    else
        fail "decode $input: exit status $got, on Linux $want_status; said: $(line "$(cat err.txt)")"
    fi
done
exit $failed
