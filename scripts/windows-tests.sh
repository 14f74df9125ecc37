#!/bin/bash
# Builds and tests the Windows DLLs under Wine:
#
#   scripts/windows-tests.sh            # everything below
#   scripts/windows-tests.sh win64      # pictures, win64 build and its tests
#   scripts/windows-tests.sh win32      # pictures, win32 build and its tests
#   scripts/windows-tests.sh package    # pictures, both plug-ins and hosts, the zip
#
# 0. wine setup: scripts/setup-wine.sh (when run as root; cheap when done);
# 1. pictures: builds make_pictures and pxc natively (build/win-native) and
#    writes the test pictures with their natively decoded pixels
#    (build/win-pictures); pxc.exe is checked against that pxc;
# 2. win64: builds the win64 preset and runs its tests: the DLL's export and
#    import tables, the unit tests and the test host under 64-bit Wine;
# 3. win32: builds the win32 preset and runs its tests (label wine32 for the
#    ones under 32-bit Wine): the tables, the unit tests and the host, each
#    one Wine start. Where 32-bit programs cannot run, those tests report
#    SKIPPED with the reason and CTest counts them as skipped;
# 4. package: makes the release zip (scripts/package-windows.sh) and tests it
#    (tests/windows/package_test.sh): contents, checksums, imports and
#    version resources of every binary, and each plug-in loaded from the
#    unpacked zip by the test host under Wine, one Wine start per build
#    (32-bit: SKIPPED where it cannot run), and pxc.exe from the unpacked
#    zip under 64-bit Wine (a few seconds). With "package", only the
#    plug-ins and the hosts are built, not the unit tests.
#
# Every step runs even when an earlier one failed; the exit status is 1 when
# any failed. Each step prints how long it took.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

what=${1:-all}
case $what in
all | win64 | win32 | package) ;;
*)
    echo "usage: scripts/windows-tests.sh [all|win64|win32|package]" >&2
    exit 2
    ;;
esac

failed=()
step() { # name command...
    local name=$1 start rc
    shift
    echo "=== $name"
    start=$(date +%s)
    "$@"
    rc=$?
    echo "=== $name: $([ $rc = 0 ] && echo ok || echo "FAILED ($rc)") in $(($(date +%s) - start)) s"
    [ $rc = 0 ] || failed+=("$name")
    return $rc
}

# Wine itself: scripts/setup-wine.sh, when we may (root) and unless
# PXCM_NO_WINE_SETUP=1. Without 64-bit Wine nothing here can run; without
# 32-bit execution the 32-bit tests report SKIPPED.
setup() {
    if [ "${PXCM_NO_WINE_SETUP:-0}" = 1 ] || [ "$(id -u)" != 0 ]; then
        echo "using Wine as it is (scripts/setup-wine.sh, as root, sets it up)"
        return 0
    fi
    scripts/setup-wine.sh --no-32 || return 1
    [ "$what" = win64 ] && return 0
    scripts/setup-wine.sh ||
        echo "windows-tests: 32-bit Wine could not be set up; the 32-bit tests will report SKIPPED"
    return 0
}

pictures() {
    if [ ! -f build/win-native/build.ninja ]; then
        cmake -S . -B build/win-native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
    fi
    cmake --build build/win-native -j2 --target make_pictures pxc &&
        build/win-native/tests/windows/make_pictures build/win-pictures tests/data/corpus samples
}

build() { # preset
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}

hosts() { # the plug-ins and the test hosts only
    local preset
    for preset in win32 win64; do
        cmake --preset "$preset" >/dev/null && cmake --build "build/$preset" --target pxcm pxhost || return 1
    done
}

package() {
    local zip
    zip=$(scripts/package-windows.sh | tail -1) &&
        bash tests/windows/package_test.sh "$zip" build/win32/tools/winhost/pxhost.exe \
            build/win64/tools/winhost/pxhost.exe build/win-pictures build/win-native/tools/pxc/pxc
}

step "wine setup" setup || exit 1
# The sources of the libraries pxc.exe links (cheap when fetched): before the
# first configure of win64, which builds pxc.exe only when they are there.
step "library sources for pxc.exe" scripts/fetch-windows-sources.sh || exit 1
step pictures pictures || exit 1

if [ "$what" = all ] || [ "$what" = win64 ]; then
    step "win64 build" build win64 &&
        step "win64 tests (64-bit Wine)" ctest --preset win64
fi
if [ "$what" = all ] || [ "$what" = win32 ]; then
    step "win32 build" build win32 &&
        step "win32 tests (32-bit Wine, label wine32)" ctest --preset win32
fi
if [ "$what" = all ] || { [ "$what" = package ] && step "plug-ins and hosts" hosts; }; then
    step "package: the release zip, unpacked and under Wine" package
fi

if [ ${#failed[@]} -ne 0 ]; then
    echo "windows-tests: failed: ${failed[*]}"
    exit 1
fi
echo "windows-tests: all steps passed"
