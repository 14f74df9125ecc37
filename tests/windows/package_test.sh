#!/bin/bash
# The release zip as a Windows user gets it:
#
#   package_test.sh dist/pxcm-VERSION-windows.zip HOST32 HOST64 PICTURE_DIR LINUX_PXC
#
# Unpacks the zip into a fresh folder (with a blank in its name, as
# "Program Files" has) and checks
# - the contents: exactly the files a release holds; SHA256SUMS.txt lists
#   every other file and matches it; README.txt has the version filled in,
#   no notes of ours, and Windows line ends; LICENSE.txt is LICENSE;
# - every binary, with x86_64-w64-mingw32-objdump -p: the PE format of its
#   folder (x86/ 32-bit, everything else 64-bit), imports from system DLLs
#   only, and the version resource (check_version.sh); the plug-ins also
#   their exports and imports (check_dll.sh);
# - under Wine, each plug-in loaded from the unpacked folder by the test
#   host of its build (HOST32 and HOST64, pxhost.exe), which runs all its
#   checks, the banner's and version resource's version among them, in one
#   Wine start. Where Wine or 32-bit Wine cannot run, that part reports
#   SKIPPED (and counts as skipped, not as passed);
# - pxc.exe from the unpacked folder under 64-bit Wine, against LINUX_PXC,
#   the Linux pxc of the same sources (pxc_test.sh): decode, encode, info,
#   batches over folders with non-ASCII names, exit statuses.
#
# One line per check (PASS, FAIL or SKIPPED) and a summary; the exit status
# is 1 when any check failed.
set -u
if [ $# -ne 5 ]; then
    echo "usage: package_test.sh ZIP HOST32 HOST64 PICTURE_DIR LINUX_PXC" >&2
    exit 2
fi
zip=$(realpath "$1")
host32=$(realpath "$2")
host64=$(realpath "$3")
pictures=$(realpath "$4")
linux_pxc=$(realpath "$5")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres

# What a release holds.
expected=(x86/pxcm.dll x64/pxcm.dll pxc.exe README.txt LICENSE.txt SHA256SUMS.txt)
# DLLs that every Windows has; a binary may import from these only.
system_dlls="kernel32 user32 gdi32 advapi32 shell32 ole32 oleaut32 shlwapi version winmm msvcrt windowscodecs"

passed=0 failed=0 skipped=0
line() { tr '\n' ' ' <<<"$1" | sed 's/ *$//'; } # the lines of $1 as one
pass() {
    echo "PASS $*"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL $*"
    failed=$((failed + 1))
}
skip() {
    echo "SKIPPED $*"
    skipped=$((skipped + 1))
}

version=$(basename "$zip" | sed -n 's/^pxcm-\([0-9][0-9.]*\)-windows\.zip$/\1/p')
[ -n "$version" ] || fail "zip name: $(basename "$zip") is not pxcm-VERSION-windows.zip"

work=$(mktemp -d "${TMPDIR:-/tmp}/pxcm-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
dir="$work/unpacked zip"
mkdir "$dir"
if ! unzip -q "$zip" -d "$dir"; then
    fail "unzip: cannot unpack $zip"
    echo "package: $passed passed, $failed failed, $skipped skipped"
    exit 1
fi

# ------------------------------------------------------------ contents
found=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
want=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$found" = "$want" ]; then
    pass "contents: $(line "$found")"
else
    fail "contents: want [$(line "$want")], found [$(line "$found")]"
fi

listed=$(tr -d '\r' <"$dir/SHA256SUMS.txt" | sed -n 's/^[0-9a-f]\{64\}  //p' | sort)
others=$(printf '%s\n' "${expected[@]}" | grep -vx SHA256SUMS.txt | sort)
if [ "$listed" != "$others" ]; then
    fail "checksums: SHA256SUMS.txt lists [$(line "$listed")], want [$(line "$others")]"
elif report=$(cd "$dir" && tr -d '\r' <SHA256SUMS.txt | sha256sum -c 2>&1); then
    pass "checksums: every file matches SHA256SUMS.txt"
else
    fail "checksums: $(printf '%s\n' "$report" | grep -v ': OK$' | tr '\n' ' ')"
fi

readme=$dir/README.txt
problems=()
grep -qF "pxcm $version for Windows" "$readme" || problems+=("no title with the version $version")
grep -qF "ver0.01  pxcm $version" "$readme" || problems+=("no banner with the version")
grep -q '@[A-Z_]*@' "$readme" && problems+=("placeholders left: $(grep -o '@[A-Z_]*@' "$readme" | sort -u | tr '\n' ' ')")
grep -q '^#' "$readme" && problems+=("notes left in")
for place in x86/pxcm.dll x64/pxcm.dll; do
    grep -qF "${place//\//\\}" "$readme" || problems+=("${place//\//\\} not named")
done
for words in "pxc.exe" "pxc decode" "pxc encode" "pxc info" "--out-dir"; do
    grep -qF -- "$words" "$readme" || problems+=("no '$words'")
done
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] || problems+=("lines without CR LF")
if [ ${#problems[@]} -eq 0 ]; then
    pass "README.txt: version, both DLLs, pxc.exe, Windows line ends"
else
    fail "README.txt: $(printf '%s; ' "${problems[@]}")"
fi
if tr -d '\r' <"$dir/LICENSE.txt" | cmp -s - "$root/LICENSE"; then
    pass "LICENSE.txt is LICENSE"
else
    fail "LICENSE.txt differs from LICENSE"
fi

# ------------------------------------------------------------ binaries
bits_of() { # the build a file in the zip belongs to
    case $1 in
    x86/*) echo 32 ;;
    *) echo 64 ;;
    esac
}
# Runs a checker script, one line per failed check, one summary line.
checker() { # checker NAME script args...
    local name=$1 out
    shift
    if out=$(bash "$@" 2>&1); then
        pass "$name"
    else
        fail "$name: $(printf '%s\n' "$out" | grep -v '^PASS' | tr '\n' ' ')"
    fi
}
for place in $(printf '%s\n' "${expected[@]}" | grep -iE '\.(dll|exe)$'); do
    file=$dir/$place
    [ -f "$file" ] || continue
    bits=$(bits_of "$place")
    imports=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' |
        tr '[:upper:]' '[:lower:]' | sed 's/\.dll$//' | sort -u)
    others=$(printf '%s\n' "$imports" | grep -vxF -f <(tr ' ' '\n' <<<"$system_dlls"))
    if [ -n "$imports" ] && [ -z "$others" ]; then
        pass "$place imports system DLLs only: $(line "$imports")"
    else
        fail "$place imports: [$(line "$imports")], not system DLLs: [$(line "$others")]"
    fi
    checker "$place version resource $version, $bits-bit" \
        "$here/check_version.sh" "$objdump" "$windres" "$file" "$version" "$bits"
    case $place in
    *.dll) checker "$place exports and imports" "$here/check_dll.sh" "$objdump" "$file" ;;
    esac
done

# ------------------------------------------------------------ under Wine
for place in x86/pxcm.dll x64/pxcm.dll; do
    bits=$(bits_of "$place")
    host=$host64
    [ "$bits" = 32 ] && host=$host32
    log=$work/host$bits.log
    bash "$root/cmake/wine-run.sh" "$bits" "$host" "$dir/$place" "$pictures" >"$log" 2>&1
    rc=$?
    summary=$(grep '^pxhost: .* passed' "$log" | tail -1)
    case $rc in
    0) pass "$place under $bits-bit Wine, from the unpacked zip: ${summary#pxhost: }" ;;
    77) skip "$place under $bits-bit Wine: $(grep -m1 '^SKIPPED' "$log" | sed 's/^SKIPPED: //')" ;;
    *) fail "$place under $bits-bit Wine (exit $rc): $(grep -E '^FAIL|^pxhost: .*passed' "$log" | head -12 | tr '\n' ' ')" ;;
    esac
done

# pxc.exe: one line per check of pxc_test.sh, counted here.
log=$work/pxc.log
bash "$here/pxc_test.sh" "$dir/pxc.exe" "$linux_pxc" "$root/samples" "$version" >"$log" 2>&1
rc=$?
while IFS= read -r result; do
    case $result in
    "PASS "*) pass "${result#PASS }" ;;
    "FAIL "*) fail "${result#FAIL }" ;;
    "SKIPPED "*) skip "${result#SKIPPED }" ;;
    esac
done <"$log"
if [ $rc != 0 ] && [ $rc != 77 ] && ! grep -q '^FAIL' "$log"; then
    fail "pxc.exe tests (exit $rc): $(line "$(tail -5 "$log")")"
fi

echo "package: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
