#!/usr/bin/env bash
# Installs the Debian packages that the build, the tools and the tests need,
# when they are missing. Run as root (or with sudo available).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    googletest libgtest-dev
    libcli11-dev nlohmann-json3-dev libspng-dev libpng-dev libdeflate-dev zlib1g-dev libisal-dev
    imagemagick zip unzip jq groff-base python3
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
    # pxc.exe: zlib for MinGW; dpkg-dev unpacks the Debian sources of libspng
    # and libdeflate (scripts/fetch-windows-sources.sh).
    libz-mingw-w64-dev dpkg-dev
    clang libclang-rt-14-dev
    # The desktop integration (tools/desktop) and its tests: the gdk-pixbuf
    # loader, the Qt 6 plugin, and the clients they run headless.
    libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin qt6-base-dev shared-mime-info libglib2.0-bin
    python3-gi gir1.2-gdkpixbuf-2.0 xvfb eog
)
if [ "${PXCM_BENCH_DEPS:-0}" = 1 ]; then
    packages+=(libwebp-dev libqoi-dev gnuplot-nox)
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
    # A mirror caught in the middle of a sync fails the update for a minute
    # or two: try again, then go on with the package lists at hand.
    for attempt in 1 2 3; do
        $SUDO apt-get update -qq && break
        [ $attempt = 3 ] && break
        echo "apt-get update failed; trying again in $((attempt * 15)) s"
        sleep $((attempt * 15))
    done
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
