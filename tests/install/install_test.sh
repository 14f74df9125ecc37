#!/bin/bash
# Installs the build tree into a fresh prefix and builds against what was
# installed, the way a user of the library would:
#   install_test.sh CMAKE BUILD_DIR CONFIG SOURCE_DIR CC GENERATOR MAKE_PROGRAM
#                   VERSION LIBDIR INCLUDEDIR BINDIR HAS_PXC DATADIR [DESKTOP_FILE...]
# - the installed files, the SONAME and the exported names;
# - the example program built with pkg-config, with find_package(pxcm),
#   and statically with both (pkg-config --static, pxcm::pxcm_static), each
#   run on a sample:
#   a P6 header with the sample's size, the right byte count, identical
#   outputs, and the pixels pxc writes to a BMP;
# - the plug-in header and the native API from one C program.
# Exit 77 (skipped) when the C compiler is missing.
#
# "test && pass ... || failed ...": pass only prints, so failed runs exactly
# when the test fails. Functions run through check look unreachable.
# shellcheck disable=SC2015,SC2317
set -u
cmake=$1 build=$2 config=$3 src=$4 cc=$5 generator=$6 make_program=$7
version=$8 libdir=$9 includedir=${10} bindir=${11} has_pxc=${12} datadir=${13}
desktop_files=("${@:14}") # the desktop component's files, relative to the prefix
sample=$src/samples/chelsea.pxc

if ! command -v "$cc" >/dev/null 2>&1; then
    echo "SKIP: no C compiler ($cc)"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pxcm-install.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
lib=$prefix/$libdir
fail=0
pass() { echo "PASS $*"; }
failed() {
    echo "FAIL $*"
    fail=1
}
# check DESCRIPTION COMMAND...: runs the command, its output shown on failure.
check() {
    local what=$1 out
    shift
    if out=$("$@" 2>&1); then
        pass "$what"
    else
        failed "$what"
        printf '%s\n' "$out" | head -40
    fi
}

if ! "$cmake" --install "$build" --config "$config" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL cmake --install"
    exit 1
fi
pass "cmake --install into $prefix"

# ---------------------------------------------------------------- layout
expected=(
    "$includedir/pxcm/plugin.h" "$includedir/pxcm/pxcm.h" "$includedir/pxcm/pxcm_codes.h"
    "$libdir/cmake/pxcm/pxcmConfig.cmake" "$libdir/cmake/pxcm/pxcmConfigVersion.cmake"
    "$libdir/cmake/pxcm/pxcmTargets-CONFIG.cmake" "$libdir/cmake/pxcm/pxcmTargets.cmake"
    "$libdir/libpxcm.a" "$libdir/libpxcm.so" "$libdir/libpxcm.so.0" "$libdir/libpxcm.so.$version"
    "$libdir/pkgconfig/pxcm.pc"
)
[ "$has_pxc" = 1 ] && expected+=("$bindir/pxc" "$datadir/man/man1/pxc.1"
    "$datadir/bash-completion/completions/pxc" "$datadir/zsh/site-functions/_pxc")
expected+=("${desktop_files[@]}")
want=$(printf '%s\n' "${expected[@]}" | sort)
found=$(cd "$prefix" && find . ! -type d | sed 's|^\./||; s|pxcmTargets-[^/]*\.cmake$|pxcmTargets-CONFIG.cmake|' | sort)
if [ "$found" = "$want" ]; then
    pass "installed files: ${found//$'\n'/ }"
else
    failed "installed files differ from the expected ones (< expected, > installed):"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$found") | grep '^[<>]'
fi

[ "$(readlink "$lib/libpxcm.so")" = libpxcm.so.0 ] && [ "$(readlink "$lib/libpxcm.so.0")" = "libpxcm.so.$version" ] &&
    pass "libpxcm.so -> libpxcm.so.0 -> libpxcm.so.$version" ||
    failed "symbolic links: libpxcm.so -> $(readlink "$lib/libpxcm.so"), libpxcm.so.0 -> $(readlink "$lib/libpxcm.so.0")"
soname=$(objdump -p "$lib/libpxcm.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libpxcm.so.0 ] && pass "SONAME libpxcm.so.0" || failed "SONAME is [$soname], not libpxcm.so.0"

api_names=$(printf '%s\n' GetPluginInfo IsSupported GetPictureInfo GetPicture GetPreview \
    LockBlock UnlockBlock FreeBlock GetBlockSize \
    pxcm_read_info pxcm_stride pxcm_buffer_size pxcm_decode pxcm_encode pxcm_free pxcm_result_text pxcm_version |
    sort)
exports=$(nm -D --defined-only "$lib/libpxcm.so" | awk '{ print $NF }' | sort)
[ "$exports" = "$api_names" ] && pass "libpxcm.so exports the plug-in, the block helpers and pxcm_*, nothing else" || {
    failed "libpxcm.so exports (< missing, > extra):"
    diff <(printf '%s\n' "$api_names") <(printf '%s\n' "$exports") | grep '^[<>]' | head -20
}
# The archive's global names: the same, so that no internal name can clash
# with a program's own, and the C++ standard library's template instances
# (std::, __gnu_cxx::, operators new and delete), which a C++ caller shares.
globals=$(nm -g --defined-only "$lib/libpxcm.a" | awk 'NF == 3 { print $3 }' |
    grep -Ev '^_Z(St|N(K)?(St|Sa|Ss|9__gnu_cxx)|NK9__gnu_cxx|T[VIS]N?St|GVZNSt|nw|na|dl|da)' | sort)
[ "$globals" = "$api_names" ] && pass "libpxcm.a defines no other global names" || {
    failed "libpxcm.a global names (< missing, > extra):"
    diff <(printf '%s\n' "$api_names") <(printf '%s\n' "$globals") | grep '^[<>]' | head -20
}

# ---------------------------------------------------------------- builds
export PKG_CONFIG_PATH=$lib/pkgconfig
check "pkg-config knows pxcm $version" test "$(pkg-config --modversion pxcm 2>&1)" = "$version"
cflags=(-std=c99 -Wall -Wextra -pedantic -Werror)

# shellcheck disable=SC2046 # pkg-config's words are meant to be split
check "example built with pkg-config" \
    "$cc" "${cflags[@]}" "$src/examples/decode_to_ppm.c" -o "$work/ppm-pkgconfig" $(pkg-config --cflags --libs pxcm)
# cmake_example ROUTE STATIC: examples/CMakeLists.txt against the prefix.
cmake_example() {
    local dir=$work/build-$1
    "$cmake" -S "$src/examples" -B "$dir" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
        -DCMAKE_BUILD_TYPE=Release -DDECODE_TO_PPM_STATIC="$2" &&
        grep -qx "pxcm_DIR:PATH=$prefix/$libdir/cmake/pxcm" "$dir/CMakeCache.txt" &&
        "$cmake" --build "$dir" &&
        cp "$dir/decode_to_ppm" "$work/ppm-$1"
}
check "example built with find_package(pxcm), pxcm::pxcm" cmake_example cmake OFF
check "example built with find_package(pxcm), pxcm::pxcm_static" cmake_example cmake-static ON
# shellcheck disable=SC2046
check "example linked statically with pkg-config --static" \
    "$cc" "${cflags[@]}" -static "$src/examples/decode_to_ppm.c" -o "$work/ppm-static" \
    $(pkg-config --static --cflags --libs pxcm)
# A C++ program with its own instances of the standard templates the
# library uses too.
cat >"$work/with_vector.cpp" <<'CPP'
#include <pxcm/pxcm.h>
#include <string>
#include <vector>
int main() {
    std::vector<unsigned char> head(24, 0);
    std::string name = "not a picture";
    pxcm_info info;
    return pxcm_read_info(head.data(), head.size(), &info) == PXCM_ERR_BAD_FORMAT && !name.empty() ? 0 : 1;
}
CPP
cxx=${CXX:-c++}
# shellcheck disable=SC2046
check "a C++ program with std::vector links libpxcm.a" \
    "$cxx" -std=c++17 "$work/with_vector.cpp" -o "$work/with-vector" $(pkg-config --static --cflags pxcm) \
    "$lib/libpxcm.a"
[ -x "$work/with-vector" ] && check "that program runs" "$work/with-vector"
# shellcheck disable=SC2046
check "plug-in header and native API built together" \
    "$cc" -std=c11 -Wall -Wextra -pedantic -Werror "$src/tests/install/plugin_and_api.c" -o "$work/plugin-and-api" \
    $(pkg-config --cflags --libs pxcm)

if [ -x "$work/ppm-pkgconfig" ]; then
    loaded=$(LD_LIBRARY_PATH=$lib ldd "$work/ppm-pkgconfig" | awk '$1 == "libpxcm.so.0" { print $3 }')
    [ "$loaded" = "$lib/libpxcm.so.0" ] && pass "the example loads libpxcm.so.0 from the prefix" ||
        failed "the example loads libpxcm.so.0 from [$loaded], not $lib"
fi
for route in static cmake-static; do
    [ -x "$work/ppm-$route" ] || continue
    readelf -d "$work/ppm-$route" 2>/dev/null | grep -q 'NEEDED.*libpxcm' &&
        failed "the $route example needs libpxcm.so" || pass "the $route example needs no libpxcm.so"
done

# ---------------------------------------------------------------- outputs
width=$(od -An -tu2 -j12 -N2 "$sample" | tr -d ' ')
height=$(od -An -tu2 -j14 -N2 "$sample" | tr -d ' ')
header=$(printf 'P6\n%s %s\n255\n' "$width" "$height")
header_bytes=$((${#header} + 1)) # with the newline that $( ) drops
ppm_bytes=$((header_bytes + width * height * 3))
outputs=()
routes=(pkgconfig cmake static cmake-static)
for route in "${routes[@]}"; do
    program=$work/ppm-$route
    [ -x "$program" ] || continue
    out=$work/$route.ppm
    if ! LD_LIBRARY_PATH=$lib "$program" "$sample" "$out" >"$work/$route.log" 2>&1; then
        failed "$route example on $(basename "$sample"): $(cat "$work/$route.log")"
        continue
    fi
    got_header=$(head -c "$header_bytes" "$out")
    got_bytes=$(stat -c %s "$out")
    if [ "$got_header" = "$header" ] && [ "$got_bytes" = "$ppm_bytes" ]; then
        pass "$route example: P6 ${width}x${height}, $got_bytes bytes"
        outputs+=("$out")
    else
        failed "$route example: header [$(printf '%s' "$got_header" | od -c | head -2 | tr -s ' ')], $got_bytes bytes (want $ppm_bytes)"
    fi
done
if [ ${#outputs[@]} = ${#routes[@]} ]; then
    same=1
    for out in "${outputs[@]:1}"; do cmp "${outputs[0]}" "$out" || same=0; done
    [ $same = 1 ] && pass "the ${#routes[@]} outputs are identical" || failed "the outputs differ"
else
    failed "only ${#outputs[@]} of the ${#routes[@]} examples gave a picture"
fi

# The pixels against the installed pxc's BMP (bottom-up BGR rows, padded).
if [ "$has_pxc" = 1 ] && [ ${#outputs[@]} -gt 0 ]; then
    if "$prefix/$bindir/pxc" decode "$sample" -o "$work/pxc.bmp" >"$work/pxc.log" 2>&1; then
        offset=$(od -An -tu4 -j10 -N4 "$work/pxc.bmp" | tr -d ' ')
        od -An -v -tu1 -j"$offset" "$work/pxc.bmp" | awk -v w="$width" -v h="$height" '
            { for (i = 1; i <= NF; i++) b[n++] = $i }
            END {
                stride = int((w * 3 + 3) / 4) * 4
                for (y = h - 1; y >= 0; y--)
                    for (x = 0; x < w; x++) { o = y * stride + 3 * x; print b[o + 2]; print b[o + 1]; print b[o] }
            }' >"$work/pxc.txt"
        od -An -v -tu1 -j"$header_bytes" "${outputs[0]}" | tr -s ' ' '\n' | sed '/^$/d' >"$work/ppm.txt"
        cmp -s "$work/pxc.txt" "$work/ppm.txt" && pass "the pixels are those pxc writes to a BMP" ||
            failed "the pixels differ from pxc's BMP"
    else
        failed "installed pxc cannot decode the sample: $(cat "$work/pxc.log")"
    fi
fi

# The installed manual page and the bash completion work.
if [ "$has_pxc" = 1 ]; then
    if command -v groff >/dev/null; then
        page=$(groff -man -Tutf8 -ww "$prefix/$datadir/man/man1/pxc.1" 2>&1 >/dev/null)
        [ -z "$page" ] && pass "pxc.1 formats without warnings" || failed "pxc.1: $page"
    fi
    words=$(bash -c 'source "$1"; COMP_WORDS=(pxc dec); COMP_CWORD=1; _pxc; echo "${COMPREPLY[*]}"' _ \
        "$prefix/$datadir/bash-completion/completions/pxc" 2>&1)
    [ "$words" = decode ] && pass "bash completes 'pxc dec' to decode" || failed "bash completion of 'pxc dec': [$words]"
fi

if [ -x "$work/ppm-pkgconfig" ]; then
    message=$(LD_LIBRARY_PATH=$lib "$work/ppm-pkgconfig" "$src/README.md" "$work/not.ppm" 2>&1)
    status=$?
    [ $status = 1 ] && [[ $message == *"not a PXCM picture"* ]] && [ ! -e "$work/not.ppm" ] &&
        pass "the example refuses a file that is not a picture: $message" ||
        failed "on a file that is not a picture: status $status, [$message]"
fi
if [ -x "$work/plugin-and-api" ]; then
    check "plug-in and native API agree on $(basename "$sample")" \
        env LD_LIBRARY_PATH="$lib" "$work/plugin-and-api" "$sample"
fi

exit $fail
