#!/usr/bin/env bash
# Checks the Windows package the target build made: msdscbus.sys, msdscbus.inf and msdscctl.exe in
# one folder, the INF's identity and version, and the tool being a console program that imports
# only DLLs that ship with Windows. usage: packaging/check-package.sh <target build dir>
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <target build dir>" >&2
    exit 2
fi
build_dir=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

failures=0
pass() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }

image=$(find "$build_dir" -name msdscbus.sys -type f -print -quit 2>/dev/null)
if [ -z "$image" ]; then
    echo "check-package: no msdscbus.sys under $build_dir" >&2
    exit 1
fi
folder=$(dirname "$image")
echo "check-package: $folder"

for file in msdscbus.sys msdscbus.inf msdscctl.exe; do
    if [ -f "$folder/$file" ]; then pass "$file is in the output folder"; else fail "$file is missing from $folder"; fi
done

inf="$folder/msdscbus.inf"
if [ -f "$inf" ]; then
    # INF keys are case-insensitive and may carry spaces around '='; compare on a normalised copy.
    norm=$(tr -d '\r' <"$inf" | sed -e 's/;.*$//' -e 's/[[:space:]]*=[[:space:]]*/=/' -e 's/[[:space:]]*$//' | tr '[:upper:]' '[:lower:]')
    expect_line() {
        if grep -qxF "$1" <<<"$norm"; then pass "INF: $2"; else fail "INF: $2 (no line '$1')"; fi
    }
    driver_version=$(sed -n 's/.*DRIVER_VERSION_STRING\[\] *= *"\([0-9.]*\)".*/\1/p' "$source_dir/driver/driver_entry.h")
    inf_version=$(sed -n 's/^driverver=[^,]*,\([0-9.]*\)$/\1/p' <<<"$norm")
    if [ -n "$driver_version" ] && [ "$inf_version" = "$driver_version" ]; then
        pass "INF: DriverVer $inf_version is the driver's version"
    else
        fail "INF: DriverVer '$inf_version' differs from the driver's version '$driver_version'"
    fi
    expect_line 'class=system' "class System"
    expect_line 'classguid={4d36e97d-e325-11ce-bfc1-08002be10318}' "the System class GUID"
    expect_line '%manufacturername%=standard,ntamd64' "models for x64 (NTamd64)"
    expect_line '%busdevicedescription%=msdscbus_device, root\microsdsmartcardbus' "binds the hardware ID Root\\MicroSDSmartCardBus"
    expect_line 'addservice=msdscbus, 0x00000002, msdscbus_service' "the service is the device's function driver"
    expect_line 'servicetype=1' "a kernel driver service"
    expect_line 'starttype=3' "demand start"
    expect_line 'servicebinary=%12%\msdscbus.sys' "the service runs the installed msdscbus.sys"
    if grep -q $'\r$' "$inf" && ! grep -q $'[^\r]$' "$inf"; then pass "INF: CRLF line ends"; else fail "INF: line ends are not CRLF throughout"; fi
fi

exe="$folder/msdscctl.exe"
if [ -f "$exe" ]; then
    headers=$("$objdump" -p "$exe") || { fail "$objdump cannot read $exe"; headers=""; }
    field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
    if grep -q "file format pei-x86-64" <<<"$headers" && [ "$(field Magic)" = "020b" ]; then
        pass "msdscctl.exe: PE32+ for x86-64"
    else
        fail "msdscctl.exe: not a PE32+ x86-64 image"
    fi
    subsystem=$(field Subsystem)
    if [ "$subsystem" = "00000003" ]; then pass "msdscctl.exe: console subsystem (3)"; else fail "msdscctl.exe: subsystem '$subsystem', expected 00000003 (console)"; fi
    # Only DLLs that every Windows has: the compiler's own run-time DLLs (libstdc++-6.dll,
    # libgcc_s_seh-1.dll, libwinpthread-1.dll) would make the tool fail to start elsewhere.
    mapfile -t dlls < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
    bad=()
    for dll in "${dlls[@]}"; do
        case "${dll,,}" in
            kernel32.dll | ntdll.dll | msvcrt.dll | setupapi.dll | newdev.dll | advapi32.dll | user32.dll) ;;
            # The project's client library, shipped in the same folder (client/check-library.sh).
            msdscclient.dll) ;;
            *) bad+=("$dll") ;;
        esac
    done
    if [ ${#dlls[@]} -gt 0 ] && [ ${#bad[@]} -eq 0 ]; then
        pass "msdscctl.exe: imports only system DLLs (${dlls[*]})"
    else
        fail "msdscctl.exe: imports ${bad[*]:-nothing} (only system DLLs are allowed)"
    fi
fi

if [ $failures -ne 0 ]; then
    echo "check-package: $failures check(s) failed"
    exit 1
fi
echo "check-package: all checks passed"
