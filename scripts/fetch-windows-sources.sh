#!/bin/bash
# Fetches the sources of the C libraries that pxc.exe links in and that
# Debian has no MinGW build of (libspng, libdeflate), from Debian's source
# packages, and unpacks them:
#
#   scripts/fetch-windows-sources.sh [DIR]     # default: build/third-party
#
# DIR then holds spng/ and libdeflate/ (the unpacked source packages); the
# win64 build takes them with -DPXCM_WINDOWS_THIRD_PARTY=DIR (the preset
# points there). apt-get downloads the .dsc and the tarballs and checks them
# against the signed index of the Debian release this machine runs. Cheap
# when done: a folder that is there is kept. Prints DIR last.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=$(realpath -m "${1:-build/third-party}")
packages=(libspng libdeflate)
# Unpacked source package -> folder name.
declare -A folder=([libspng]=spng [libdeflate]=libdeflate)

missing=()
for p in "${packages[@]}"; do
    [ -f "$dir/${folder[$p]}/.unpacked" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "$dir"
    exit 0
fi

for tool in apt-get dpkg-source; do
    command -v "$tool" >/dev/null || {
        echo "fetch-windows-sources: $tool is missing (package dpkg-dev)" >&2
        exit 1
    }
done

# A private apt state: the machine's own sources as deb-src, nothing else.
apt=$dir/apt
mkdir -p "$apt/sources" "$apt/lists/partial" "$apt/archives/partial"
. /etc/os-release
codename=${VERSION_CODENAME:-bookworm}
cat >"$apt/sources/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
aptopts=(-q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/sources"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
apt-get "${aptopts[@]}" update >/dev/null

download=$dir/download
mkdir -p "$download"
for p in "${missing[@]}"; do
    rm -rf "${download:?}/$p" "${dir:?}/${folder[$p]}"
    mkdir -p "$download/$p"
    (cd "$download/$p" && apt-get "${aptopts[@]}" source --download-only "$p" >/dev/null)
    dsc=$(ls "$download/$p"/*.dsc)
    # The tarballs' checksums are checked against the .dsc (whose own
    # signature apt's index stands for; gpgv's warning about it is noise).
    if ! log=$(dpkg-source -x "$dsc" "$dir/${folder[$p]}" 2>&1); then
        printf '%s\n' "$log" >&2
        exit 1
    fi
    rm -f "$dir"/*.orig.tar.* "$dir"/*.debian.tar.*
    basename "$dsc" >"$dir/${folder[$p]}/.unpacked"
    echo "fetch-windows-sources: $(basename "$dsc") unpacked in $dir/${folder[$p]}" >&2
done
echo "$dir"
