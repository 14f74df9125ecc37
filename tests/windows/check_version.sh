#!/bin/bash
# Checks the version resource of a Windows binary from the Linux side:
#   check_version.sh OBJDUMP WINDRES FILE VERSION 32|64
# objdump -p must show the PE format of the given build and a version
# resource (type 16) in the resource directory. windres, which turns the
# resource back into resource script, must show VERSION as the file and
# product version (the numbers, with 0 for what VERSION leaves out, and the
# strings), "pxcm" as the product, the file's own name as its original name,
# the file's type (DLL or program), and a description naming the build.
set -u
objdump=$1
windres=$2
file=$3
version=$4
bits=$5
name=$(basename "$file")
fail=0
line() { tr '\n' ' ' <<<"$1" | sed 's/ *$//'; } # the lines of $1 as one
pass() { echo "PASS $name $*"; }
bad() {
    echo "FAIL $name $*"
    fail=1
}

case $bits in
32) format=pei-i386 kind="(32-bit, x86)" ;;
64) format=pei-x86-64 kind="(64-bit, x64)" ;;
*)
    echo "usage: check_version.sh OBJDUMP WINDRES FILE VERSION 32|64" >&2
    exit 2
    ;;
esac
case ${name,,} in
*.dll) type=0x2 ;;
*.exe) type=0x1 ;;
*) type="(none)" ;;
esac

dump=$("$objdump" -p "$file") || {
    bad "objdump: cannot read $file"
    exit 1
}
if printf '%s\n' "$dump" | grep -q "file format $format\$"; then
    pass "format: $format"
else
    bad "format: want $format, found '$(printf '%s\n' "$dump" | sed -n 's/.*file format //p' | head -1)'"
fi
# The resource directory, a tree printed depth first and indented by
# level: "010   Entry: ID: 0x000010, ..." (three blanks) is a type.
types=$(printf '%s\n' "$dump" | sed -n '/^The \.rsrc Resource Directory section/,/^Resources start/p' |
    sed -n 's/^[0-9a-f]*   Entry: ID: \(0x[0-9a-f]*\),.*/\1/p')
if printf '%s\n' "$types" | grep -qx 0x000010; then
    pass "objdump: version resource"
else
    bad "objdump: no version resource (resource types: [$(line "$types")])"
fi

rc=$("$windres" -i "$file" -O rc 2>&1) || {
    bad "windres: cannot read the resources: $rc"
    exit 1
}
IFS=. read -r major minor patch tweak <<<"$version"
numbers="${major:-0}, ${minor:-0}, ${patch:-0}, ${tweak:-0}"
value() { # the string VALUE "NAME", "..." of the resource script
    printf '%s\n' "$rc" | sed -n "s/^ *VALUE \"$1\", \"\\(.*\\)\"\$/\\1/p"
}
check() { # check WHAT GOT WANT
    if [ "$2" = "$3" ]; then
        pass "$1: $2"
    else
        bad "$1: want '$3', found '$2'"
    fi
}
check "file version" "$(printf '%s\n' "$rc" | sed -n 's/^ *FILEVERSION //p')" "$numbers"
check "product version" "$(printf '%s\n' "$rc" | sed -n 's/^ *PRODUCTVERSION //p')" "$numbers"
check "file type" "$(printf '%s\n' "$rc" | sed -n 's/^ *FILETYPE //p')" "$type"
check FileVersion "$(value FileVersion)" "$version"
check ProductVersion "$(value ProductVersion)" "$version"
check ProductName "$(value ProductName)" pxcm
check OriginalFilename "$(value OriginalFilename)" "$name"
description=$(value FileDescription)
case $description in
*"$kind"*) pass "FileDescription: $description" ;;
*) bad "FileDescription: want one naming $kind, found '$description'" ;;
esac
exit $fail
