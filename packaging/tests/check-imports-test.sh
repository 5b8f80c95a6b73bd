#!/usr/bin/env bash
# packaging/check-imports.sh on images made for it: a tool that imports newdev.dll at load (as
# msdscctl.exe once did, so Windows would look for it beside the tool first) must fail, named; one
# that loads it at run time from System32 and imports only known DLLs must pass.
#   usage: packaging/tests/check-imports-test.sh [mingw-w64 C compiler]
set -uo pipefail

cc=${1:-x86_64-w64-mingw32-gcc}
here=$(cd "$(dirname "$0")" && pwd)
check="$here/../check-imports.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

mkdir -p "$scratch/planted" "$scratch/system32"
if ! "$cc" -O2 -o "$scratch/planted/msdscctl.exe" "$here/imports/static_newdev.c" -lnewdev ||
   ! "$cc" -O2 -o "$scratch/system32/msdscctl.exe" "$here/imports/runtime_newdev.c"; then
    echo "check-imports-test: $cc cannot build the images" >&2
    exit 1
fi

if output=$(bash "$check" "$scratch/planted/msdscctl.exe"); then
    echo "FAIL  a tool importing newdev.dll at load passed: $output"
    failures=$((failures + 1))
elif grep -q 'FAIL  msdscctl.exe imports at load newdev.dll' <<<"$output"; then
    echo "ok    refused, naming the DLL: $output"
else
    echo "FAIL  refused without naming newdev.dll: $output"
    failures=$((failures + 1))
fi

if output=$(bash "$check" "$scratch/system32/msdscctl.exe"); then
    echo "ok    passed: $output"
else
    echo "FAIL  a tool loading newdev.dll from System32 at run time was refused: $output"
    failures=$((failures + 1))
fi
exit $((failures != 0))
