#!/bin/bash
# Makes the release zip for Windows users:
#
#   scripts/package-windows.sh [OUTPUT_DIR]     # default: dist
#
# Builds what goes into it (the listed targets only, in the presets' build
# folders build/win32 and build/win64) and writes
# OUTPUT_DIR/pxcm-VERSION-windows.zip, which holds
#
#   x86/pxcm.dll      the plug-in for 32-bit viewers
#   x64/pxcm.dll      the plug-in for 64-bit viewers
#   pxc.exe           the command-line converter (64-bit)
#   README.txt        for Windows users (from cmake/windows-README.txt)
#   LICENSE.txt       the licence
#   SHA256SUMS.txt    the SHA-256 checksums of the other files
#
# and OUTPUT_DIR/pxcm-VERSION-windows.zip.sha256 beside it. The texts get
# Windows line ends. Every file carries the time of the last commit, so the
# same sources give the same zip. Prints the zip's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

# The binaries: preset, CMake target, the file in the preset's build
# folder, its place in the zip.
binaries=(
    "win32 pxcm pxcm.dll x86/pxcm.dll"
    "win64 pxcm pxcm.dll x64/pxcm.dll"
    "win64 pxc tools/pxc/pxc.exe pxc.exe"
)

out=${1:-dist}
version=$(sed -n 's/^project(pxcm VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || {
    echo "package-windows: no version in CMakeLists.txt" >&2
    exit 1
}
name=pxcm-$version-windows
line() { tr '\n' ' ' <<<"$1" | sed 's/ *$//'; } # the lines of $1 as one

# pxc.exe links libspng and libdeflate built from their sources.
scripts/fetch-windows-sources.sh >/dev/null

for preset in $(printf '%s\n' "${binaries[@]}" | cut -d' ' -f1 | sort -u); do
    targets=$(printf '%s\n' "${binaries[@]}" | awk -v p="$preset" '$1 == p { print $2 }' | sort -u)
    echo "package-windows: building $(line "$targets") ($preset)"
    cmake --preset "$preset" >/dev/null
    # shellcheck disable=SC2086 # one word per target
    cmake --build "build/$preset" --target $targets
done

stage=$(mktemp -d "${TMPDIR:-/tmp}/pxcm-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
files=()
for entry in "${binaries[@]}"; do
    read -r preset _ built place <<<"$entry"
    mkdir -p "$stage/$(dirname "$place")"
    cp "build/$preset/$built" "$stage/$place"
    files+=("$place")
done

crlf() { sed 's/\r*$/\r/' "$@"; }
grep -v '^#' cmake/windows-README.txt | sed "s/@VERSION@/$version/g" | crlf >"$stage/README.txt"
crlf LICENSE >"$stage/LICENSE.txt"
files+=(README.txt LICENSE.txt)
(cd "$stage" && sha256sum "${files[@]}" | crlf >SHA256SUMS.txt)
files+=(SHA256SUMS.txt)

# The same bytes from the same sources: fixed times (zip stores local time,
# hence UTC), no extra attributes, the files in a fixed order.
stamp=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export TZ=UTC
find "$stage" -exec touch -h -d "@$stamp" {} +
mkdir -p "$out"
zip_path=$(realpath "$out")/$name.zip
rm -f "$zip_path"
(cd "$stage" && zip -q -X -D "$zip_path" "${files[@]}")
(cd "$out" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "package-windows: $(unzip -Z1 "$zip_path" | tr '\n' ' ')"
echo "$zip_path"
