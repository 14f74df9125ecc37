#!/usr/bin/env bash
# Installs the Debian packages that the build, the tools and the tests need,
# when they are missing. Run as root (or with sudo available).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    googletest libgtest-dev
    libcli11-dev nlohmann-json3-dev libspng-dev libpng-dev
    imagemagick jq groff-base
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
    clang libclang-rt-14-dev
)
if [ "${PXCM_BENCH_DEPS:-0}" = 1 ]; then
    packages+=(libwebp-dev libqoi-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
