#!/bin/bash
# The desktop component installed into a fresh prefix and used by the real
# clients, headless:
#   desktop_test.sh GROUP CMAKE BUILD_DIR CONFIG SOURCE_DIR PXC WRITE_PICTURES PYTHON [QT_TESTS]
# The prefix is set up with exactly the commands that cmake --install
# prints for a prefix other than the system's. Groups:
#   installed: the file type (gio info), gdk-pixbuf from Python and the
#              thumbnailer entry (pixbuf_test.py), the Qt program against
#              the installed plugin, and undoing the install as the README
#              says;
#   eog:       Eye of GNOME under Xvfb and a screenshot (eog_test.py), kept
#              as BUILD_DIR/tests/desktop/eog-screenshot.png.
# Pixels are compared with what pxc decodes.
#
# "test && pass ... || failed ...": pass only prints, so failed runs exactly
# when the test fails. Functions run through check look unreachable.
# shellcheck disable=SC2015,SC2317
set -u
group=$1 cmake=$2 build=$3 config=$4 src=$5 pxc=$6 write_pictures=$7 python=$8 qt_tests=${9:-}
here=$src/tests/desktop

work=$(mktemp -d "${TMPDIR:-/tmp}/pxcm-desktop.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
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
        pass "$what: $(printf '%s\n' "$out" | tail -1)"
    else
        failed "$what"
        printf '%s\n' "$out" | tail -40
    fi
}

# ---------------------------------------------------------------- install
if ! "$cmake" --install "$build" --config "$config" --component desktop --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL cmake --install --component desktop"
    exit 1
fi
manifest=$work/manifest.txt
cp "$build/install_manifest_desktop.txt" "$manifest"
# The indented lines after "For programs to find them:", run as they are.
sed -n '/For programs to find them:/,/^[^ ]/s/^    //p' "$work/install.log" >"$work/setup.sh"
grep -q GDK_PIXBUF_MODULE_FILE "$work/setup.sh" && grep -q QT_PLUGIN_PATH "$work/setup.sh" ||
    failed "the install did not say how to use the prefix: $(cat "$work/install.log")"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
unset XDG_DATA_DIRS
# shellcheck disable=SC1091
if ! . "$work/setup.sh" >"$work/setup.log" 2>&1; then
    failed "the commands the install printed failed: $(cat "$work/setup.log")"
    exit 1
fi
pass "installed into $prefix and set up as the install said"

# The test pictures, and what pxc decodes of them.
mkdir -p "$work/pictures" "$work/references" "$work/scratch"
"$write_pictures" "$work/pictures" &&
    "$pxc" decode "$work/pictures"/*.pxc --out-dir "$work/references" --format bmp -q || {
    echo "FAIL cannot make the test pictures or their references"
    exit 1
}
sample=$work/pictures/chelsea.pxc

content_type() { gio info -a standard::content-type "$1" 2>&1 | sed -n 's/^ *standard::content-type: //p'; }

case $group in
installed)
    # ------------------------------------------------------------ file type
    cp "$sample" "$work/scratch/CHELSEA.PXC"
    cp "$sample" "$work/scratch/chelsea.dat"
    head -c 8 "$sample" >"$work/scratch/magic.bin"
    head -c 1000 /dev/urandom >>"$work/scratch/magic.bin"
    { printf 'PXCM\002\000\000\000'; head -c 1000 /dev/zero; } >"$work/scratch/other-word.bin"
    for f in "$sample" "$work/scratch/CHELSEA.PXC" "$work/scratch/chelsea.dat" "$work/scratch/magic.bin"; do
        type=$(content_type "$f")
        [ "$type" = image/x-pxcm ] && pass "gio: $(basename "$f") is image/x-pxcm" ||
            failed "gio: $(basename "$f") is [$type], not image/x-pxcm"
    done
    for f in "$work/scratch/other-word.bin" "$src/README.md"; do
        type=$(content_type "$f")
        [ -n "$type" ] && [ "$type" != image/x-pxcm ] && pass "gio: $(basename "$f") is $type" ||
            failed "gio: $(basename "$f") is [$type]"
    done
    comment=$("$python" -c 'from gi.repository import Gio; print(Gio.content_type_get_description("image/x-pxcm"))' 2>&1)
    [ "$comment" = "PXCM picture" ] && pass "the type is described as \"$comment\"" ||
        failed "the type is described as [$comment]"

    # ------------------------------------------------------------ gdk-pixbuf, thumbnailer
    check "gdk-pixbuf from Python (pixbuf_test.py)" \
        "$python" "$here/pixbuf_test.py" "$work/pictures" "$work/references" \
        "$prefix/share/thumbnailers/pxcm.thumbnailer" "$work/scratch"

    # ------------------------------------------------------------ Qt
    if [ -n "$qt_tests" ]; then
        check "the Qt program reads through the installed plugin ($QT_PLUGIN_PATH)" \
            env QT_QPA_PLATFORM=offscreen "$qt_tests"
    fi

    # ------------------------------------------------------------ undo
    # As the README says: remove what the manifest lists, refresh the database.
    xargs rm -f <"$manifest" && update-mime-database "$prefix/share/mime" >/dev/null 2>&1
    left=$(cd "$prefix" && find . -name '*pxcm*' ! -name loaders.cache)
    [ -z "$left" ] && pass "removing the manifest's files leaves none of ours" || failed "left behind: $left"
    type=$(content_type "$sample")
    [ "$type" != image/x-pxcm ] && pass "after the undo gio says $type" || failed "after the undo still image/x-pxcm"
    ;;
eog)
    screenshot=$build/tests/desktop/eog-screenshot.png
    check "Eye of GNOME shows the picture (eog_test.py)" \
        "$python" "$here/eog_test.py" "$sample" "$work/references/chelsea.bmp" "$screenshot" "$work/scratch"
    [ -s "$screenshot" ] && echo "screenshot: $screenshot"
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac
exit $fail
