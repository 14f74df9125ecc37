#!/bin/bash
# 32-bit builds: the host calls the five exports as stdcall functions with
# 32-bit arguments, so the objects must define them with the callee-pops
# decoration and the argument bytes of that interface:
#   check_stdcall.sh NM object...
set -u
nm=$1
shift
symbols=$("$nm" --defined-only "$@" 2>/dev/null | awk '$2 == "T" { print $3 }')
fail=0
for want in _GetPluginInfo@12 _IsSupported@8 _GetPictureInfo@16 _GetPicture@28 _GetPreview@28; do
    base=${want%@*}
    if printf '%s\n' "$symbols" | grep -qx "$want"; then
        echo "PASS $want"
    else
        found=$(printf '%s\n' "$symbols" | grep -E "^${base}(@[0-9]+)?$" | tr '\n' ' ')
        echo "FAIL $want: defined as [${found:-nothing}]"
        fail=1
    fi
done
exit $fail
