#!/usr/bin/env bash
# Checks the client library the target build made: msdscclient.dll exports exactly the functions
# msdscclient.h declares (MSDSC_API), by name and nothing else; it is a 64-bit DLL that imports only
# known DLLs of System32; its import library and the header are next to it.
#   usage: client/check-library.sh <target build dir>
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <target build dir>" >&2
    exit 2
fi
build_dir=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
header=$(cd "$(dirname "$0")" && pwd)/include/msdscclient.h

failures=0
pass() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }

dll=$(find "$build_dir" -name msdscclient.dll -type f -print -quit 2>/dev/null)
if [ -z "$dll" ]; then
    echo "check-library: no msdscclient.dll under $build_dir" >&2
    exit 1
fi
folder=$(dirname "$dll")
echo "check-library: $dll"

for file in libmsdscclient.dll.a msdscclient.h; do
    if [ -f "$folder/$file" ]; then pass "$file is next to the DLL"; else fail "$file is missing from $folder"; fi
done
if [ -f "$folder/msdscclient.h" ] && cmp -s "$folder/msdscclient.h" "$header"; then
    pass "the shipped header is client/include/msdscclient.h"
else
    fail "the shipped header differs from client/include/msdscclient.h"
fi

headers=$("$objdump" -p "$dll") || { echo "check-library: $objdump cannot read $dll" >&2; exit 1; }
if grep -q "file format pei-x86-64" <<<"$headers" && grep -qE '^Characteristics .*' <<<"$headers" &&
   grep -q 'DLL$' <<<"$(awk '/^Characteristics/ { f = 1; next } f && /^\t/ { print; next } f { exit }' <<<"$headers")"; then
    pass "PE32+ x86-64 DLL"
else
    fail "not a PE32+ x86-64 DLL"
fi

# The documented functions: every MSDSC_API declaration of the header, by name.
documented=$(grep -v '^ *#' "$header" | tr '\n' ' ' | grep -oE 'MSDSC_API [^(;]*\(' | sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort)
exported=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | awk '/^\t\[/ { print $NF }' | sort)
if [ -z "$documented" ]; then
    fail "no MSDSC_API declaration found in $header"
elif [ "$documented" = "$exported" ]; then
    pass "exports exactly the $(wc -l <<<"$documented") functions of msdscclient.h: $(paste -sd' ' <<<"$exported")"
else
    missing=$(comm -23 <(echo "$documented") <(echo "$exported") | paste -sd' ')
    extra=$(comm -13 <(echo "$documented") <(echo "$exported") | paste -sd' ')
    fail "exports differ from msdscclient.h: missing '${missing}', undocumented '${extra}'"
fi

# Only known DLLs of System32 at load: the same rule as every image of the package.
if imports=$(bash "$(dirname "$0")/../packaging/check-imports.sh" "$dll"); then
    pass "${imports#  ok    }"
else
    fail "${imports#  FAIL  }"
fi

if [ $failures -ne 0 ]; then
    echo "check-library: $failures check(s) failed"
    exit 1
fi
echo "check-library: all checks passed"
