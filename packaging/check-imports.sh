#!/usr/bin/env bash
# Lists each image's load-time imports (its import table, which the Windows loader resolves before
# any code of the image runs) and fails on a DLL outside what its kind may import. A kernel image:
# ntoskrnl.exe and hal.dll. A program or DLL: known DLLs of System32 alone, which Windows maps from
# its KnownDlls and never looks for beside the image, where a writable folder (Downloads) could hold
# a planted DLL of the same name; anything else must be loaded at run time from System32.
#   usage: packaging/check-imports.sh IMAGE...
set -uo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 IMAGE..." >&2
    exit 2
fi
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

KERNEL_IMPORTS="ntoskrnl.exe hal.dll"
# ntdll.dll is mapped into every process before the image; the others are KnownDlls entries on
# every Windows this package supports.
USER_IMPORTS="kernel32.dll ntdll.dll msvcrt.dll advapi32.dll user32.dll setupapi.dll"

failures=0
for image in "$@"; do
    name=$(basename "$image")
    case "${name,,}" in
        *.sys) allowed=$KERNEL_IMPORTS hint="a driver links only what the kernel exports" ;;
        *.exe | *.dll) allowed=$USER_IMPORTS hint="load it at run time from System32" ;;
        *) echo "  FAIL  $name: not an image this check knows (.sys, .exe, .dll)"; failures=$((failures + 1)); continue ;;
    esac
    if ! headers=$("$objdump" -p "$image" 2>/dev/null); then
        echo "  FAIL  $name: $objdump cannot read it"
        failures=$((failures + 1))
        continue
    fi
    mapfile -t dlls < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
    bad=()
    for dll in "${dlls[@]}"; do
        grep -qw -- "${dll,,}" <<<"$allowed" || bad+=("$dll")
    done
    if [ ${#dlls[@]} -eq 0 ]; then
        echo "  FAIL  $name: no import table"
        failures=$((failures + 1))
    elif [ ${#bad[@]} -eq 0 ]; then
        echo "  ok    $name imports at load only ${dlls[*]}"
    else
        echo "  FAIL  $name imports at load ${bad[*]}, outside $allowed ($hint)"
        failures=$((failures + 1))
    fi
done
exit $((failures != 0))
