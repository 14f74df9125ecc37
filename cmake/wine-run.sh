#!/bin/bash
# Runs a Windows program of the cross builds under Wine:
#   wine-run.sh 32|64 program.exe [arguments...]
# CTest calls it as the cross-compiling emulator. The prefixes are the ones
# scripts/setup-wine.sh creates; PXCM_WINEPREFIX32 / PXCM_WINEPREFIX64
# choose others. When a program cannot be run here at all (no Wine, or no
# way to execute 32-bit code), it prints SKIPPED with the reason and exits
# with 77, which the tests declare as their skip code.
set -u
bits=$1
shift
skip() {
    echo "SKIPPED: $*"
    exit 77
}

export WINEDEBUG=-all
case $bits in
64)
    export WINEPREFIX=${PXCM_WINEPREFIX64:-/root/.wine-pxcm64}
    export WINEARCH=win64
    loader=/usr/lib/wine/wine64
    [ -x "$loader" ] || skip "64-bit Wine ($loader) is not installed"
    ;;
32)
    export WINEPREFIX=${PXCM_WINEPREFIX32:-/root/.wine-pxcm32}
    export WINEARCH=win32
    loader=/usr/lib/wine/wine
    [ -x "$loader" ] || skip "32-bit Wine ($loader, package wine32:i386) is not installed"
    # 32-bit x86 code runs either natively or through qemu-user registered
    # with binfmt_misc; try the loader's own interpreter path first.
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        skip "this machine cannot execute 32-bit x86 programs (kernel without 32-bit support and no qemu-i386 binfmt registration); run scripts/setup-wine.sh as root"
    fi
    ;;
*)
    echo "usage: wine-run.sh 32|64 program.exe [arguments...]" >&2
    exit 2
    ;;
esac

[ -f "$WINEPREFIX/system.reg" ] ||
    skip "Wine prefix $WINEPREFIX does not exist; run scripts/setup-wine.sh as root"

exec "$loader" "$@"
