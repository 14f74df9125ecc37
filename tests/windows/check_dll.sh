#!/bin/bash
# Checks a built pxcm.dll from the Linux side with objdump:
#   check_dll.sh OBJDUMP pxcm.dll
# The export table must hold exactly the five plug-in functions under their
# plain names (no stdcall @n, no leading underscore, nothing else exported),
# and the DLL may import from kernel32, winmm and msvcrt only: the C, C++
# and thread runtimes are linked in.
set -u
objdump=$1
dll=$2
fail=0

dump=$("$objdump" -p "$dll") || {
    echo "FAIL objdump: cannot read $dll"
    exit 1
}

# The name table follows the line "[Ordinal/Name Pointer] Table" up to the
# first blank line; entries look like "[   0] GetPicture".
exports=$(printf '%s\n' "$dump" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^[[:space:]]*$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
expected=$(printf '%s\n' GetPicture GetPictureInfo GetPluginInfo GetPreview IsSupported | sort)
if [ "$exports" = "$expected" ]; then
    echo "PASS exports: $(echo $exports)"
else
    echo "FAIL exports: expected [$(echo $expected)], found $(printf '%s\n' "$exports" | grep -c .) [$(printf '%s\n' "$exports" | head -8 | tr '\n' ' ')...]"
    fail=1
fi
if printf '%s\n' "$exports" | grep -qE '@|^_'; then
    echo "FAIL exports: decorated names: $(printf '%s\n' "$exports" | grep -E '@|^_' | head -8 | tr '\n' ' ')"
    fail=1
fi

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' |
    tr '[:upper:]' '[:lower:]' | sort -u)
unexpected=$(printf '%s\n' "$imports" | grep -vx -e kernel32.dll -e winmm.dll -e msvcrt.dll)
if [ -n "$imports" ] && [ -z "$unexpected" ]; then
    echo "PASS imports: $(echo $imports)"
else
    echo "FAIL imports: only kernel32, winmm and msvcrt allowed, found [$(echo $imports)]"
    fail=1
fi
for needed in kernel32.dll winmm.dll; do
    if ! printf '%s\n' "$imports" | grep -qx "$needed"; then
        echo "FAIL imports: $needed missing (the plug-in reads through it)"
        fail=1
    fi
done
exit $fail
