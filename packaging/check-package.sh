#!/usr/bin/env bash
# Checks the release package `cmake --build --preset package` made: the folder holds exactly the
# files packaging/package.cmake declares (plus, with --signed, the two scripts/sign-test.sh
# adds), nothing the Wine test or the build leaves, and the zip holds the same; the INFs' identity
# and version and the INF rules (packaging/check-inf.py); the drivers free of debug sections and the
# bus driver's PDB, where the build made one, matching it; the tool a console program; each image's
# load-time imports within what its kind may import; the Python wheel with its package and pytest plugin.
#   usage: packaging/check-package.sh [--signed] <target build dir>
set -uo pipefail

signed=0
if [ "${1:-}" = "--signed" ]; then
    signed=1
    shift
fi
if [ $# -ne 1 ]; then
    echo "usage: $0 [--signed] <target build dir>" >&2
    exit 2
fi
build_dir=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
pass() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }

manifest=$(find "$build_dir" -name package-manifest.txt -type f -print -quit 2>/dev/null)
if [ -z "$manifest" ]; then
    echo "check-package: no package-manifest.txt under $build_dir (configure the target build)" >&2
    exit 1
fi
folder=$(awk '$1 == "folder" { print $2 }' "$manifest")
zip=$(awk '$1 == "zip" { print $2 }' "$manifest")
mapfile -t expected < <(awk '$1 == "file" { n = split($2, p, "/"); print p[n] }' "$manifest")
if [ $signed -eq 1 ]; then
    # What scripts/sign-test.sh leaves: the test certificate's public part and the commands that
    # trust it.
    expected+=(msdscbus-test.cer trust-test-certificate.cmd)
fi
if [ ! -d "$folder" ]; then
    echo "check-package: no package folder $folder (cmake --build --preset package)" >&2
    exit 1
fi
echo "check-package: $folder"

expected_list=$(printf '%s\n' "${expected[@]}" | sort)
actual_list=$(cd "$folder" && find . -mindepth 1 -printf '%P\n' | sort)
if [ "$actual_list" = "$expected_list" ]; then
    pass "the folder holds exactly what ships: $(paste -sd' ' <<<"$expected_list")"
else
    fail "the folder differs from what ships: missing [$(comm -23 <(echo "$expected_list") <(echo "$actual_list") | paste -sd' ')]," \
         "not shipped [$(comm -13 <(echo "$expected_list") <(echo "$actual_list") | paste -sd' ')]"
fi
# The README's table of the zip's files names each file as the folder holds it (a version as
# <version>); the signing files are named whether or not this package is signed yet.
readme="$folder/README.md"
if [ -f "$readme" ]; then
    version=$(sed -n 's/^msdscbus-\(.*\)-x64$/\1/p' <<<"$(basename "$folder")")
    documented=$(sed -n '/^## What is in the zip/,/^## /p' "$readme" | grep '^| `' | cut -d'|' -f2 |
                 grep -o '`[^`]*`' | tr -d '`' | sed "s/<version>/$version/" | sort -u)
    python_version=$(unzip -p "$(find "$folder" -maxdepth 1 -name 'msdsc-*.whl' -print -quit)" '*/METADATA' 2>/dev/null |
                     sed -n 's/^Version: //p')
    documented=$(sed "s/^msdsc-$version-/msdsc-$python_version-/" <<<"$documented" | sort -u)
    shipped=$(printf '%s\n' "$expected_list" msdscbus-test.cer trust-test-certificate.cmd | sort -u)
    if [ "$documented" = "$shipped" ]; then
        pass "README.md names every file of the zip as it is there: $(paste -sd' ' <<<"$documented")"
    else
        fail "README.md's table of the zip differs: not named [$(comm -13 <(echo "$documented") <(echo "$shipped") | paste -sd' ')]," \
             "named but not shipped [$(comm -23 <(echo "$documented") <(echo "$shipped") | paste -sd' ')]"
    fi
fi
# What the Wine test and the build leave next to the driver must never be declared as shipping.
leftovers=$(grep -iE '^(winefill\.sys|msdscwine\.exe|CMakeFiles|Makefile|cmake_install\.cmake)$|\.(log|o|obj)$' <<<"$expected_list")
if [ -z "$leftovers" ]; then
    pass "nothing Wine-only, test-only or left by the build is declared"
else
    fail "declared as shipping but Wine-only, test-only or build output: $(paste -sd' ' <<<"$leftovers")"
fi
if [ -f "$zip" ] && zip_list=$(unzip -Z1 "$zip" 2>/dev/null); then
    name=$(basename "$folder")
    zip_files=$(grep -v '/$' <<<"$zip_list" | sed "s|^$name/||" | sort)
    if [ "$zip_files" = "$actual_list" ] && ! grep -qv "^$name/" <<<"$zip_list"; then
        pass "$(basename "$zip") holds the folder $name/ and the same files"
    else
        fail "$(basename "$zip") differs from the folder: $(paste -sd' ' <<<"$zip_files")"
    fi
else
    fail "no readable zip $zip"
fi

# The shipped driver carries no debug information: symbols live in a separate file.
image="$folder/msdscbus.sys"
if [ -f "$image" ]; then
    debug_sections=$("$objdump" -h "$image" | awk '$1 ~ /^[0-9]+$/ && $2 ~ /^\.debug/ { print $2 }')
    if [ -z "$debug_sections" ]; then pass "msdscbus.sys: no debug sections"; else fail "msdscbus.sys: debug sections $(paste -sd' ' <<<"$debug_sections")"; fi
fi

# The symbols zip, when the build made one: the PDB a debugger matches to this very driver, by the
# GUID and age in the driver's CodeView record; the record names the PDB by file name alone.
symbols=$(awk '$1 == "symbols" { print $2 }' "$manifest")
if [ -n "$symbols" ] && [ -f "$image" ]; then
    pdb="$scratch/msdscbus.pdb"
    if [ "$(unzip -Z1 "$symbols" 2>/dev/null)" = "msdscbus.pdb" ] && unzip -p "$symbols" msdscbus.pdb >"$pdb"; then
        pass "$(basename "$symbols") holds msdscbus.pdb alone"
    else
        fail "$(basename "$symbols") does not hold msdscbus.pdb alone"
    fi
    record=$(llvm-readobj --coff-debug-directory "$image" 2>/dev/null)
    read -r -a g < <(sed -n 's/.*PDBGUID: (\(.*\))/\1/p' <<<"$record")
    image_id="{${g[3]}${g[2]}${g[1]}${g[0]}-${g[5]}${g[4]}-${g[7]}${g[6]}-${g[8]}${g[9]}-${g[10]}${g[11]}${g[12]}${g[13]}${g[14]}${g[15]}} $(awk '/PDBAge:/ { print $2 }' <<<"$record")"
    pdb_id=$(llvm-pdbutil dump -summary "$pdb" 2>/dev/null | awk '/GUID:/ { guid = $2 } /Age:/ { age = $2 } END { print guid, age }')
    if [ ${#g[@]} -eq 16 ] && [ "$image_id" = "$pdb_id" ]; then
        pass "msdscbus.pdb matches msdscbus.sys (GUID and age $pdb_id)"
    else
        fail "msdscbus.pdb ($pdb_id) does not match msdscbus.sys ($image_id)"
    fi
    pdb_name=$(awk '/PDBFileName:/ { print $2 }' <<<"$record")
    if [ "$pdb_name" = "msdscbus.pdb" ]; then pass "msdscbus.sys names its PDB msdscbus.pdb, no build path"; else fail "msdscbus.sys names its PDB '$pdb_name'"; fi
fi

# INF keys are case-insensitive and may carry spaces around '='; compare on a normalised copy.
normalised_inf() {
    tr -d '\r' <"$1" | sed -e 's/;.*$//' -e 's/[[:space:]]*=[[:space:]]*/=/' -e 's/[[:space:]]*$//' | tr '[:upper:]' '[:lower:]'
}
# $1: the INF, $2: the version its DriverVer must carry, $3: where that version comes from.
check_inf_identity() {
    # name and norm stay set for the checks of this INF that follow.
    local inf=$1 version=$2 origin=$3 inf_version
    name=$(basename "$inf")
    norm=$(normalised_inf "$inf")
    expect_line() {
        if grep -qxF "$1" <<<"$norm"; then pass "$name: $2"; else fail "$name: $2 (no line '$1')"; fi
    }
    inf_version=$(sed -n 's/^driverver=[^,]*,\([0-9.]*\)$/\1/p' <<<"$norm")
    if [ -n "$version" ] && [ "$inf_version" = "$version" ]; then
        pass "$name: DriverVer $inf_version is $origin"
    else
        fail "$name: DriverVer '$inf_version' differs from $origin '$version'"
    fi
    expect_line 'class=system' "class System"
    expect_line 'classguid={4d36e97d-e325-11ce-bfc1-08002be10318}' "the System class GUID"
    if grep -q $'\r$' "$inf" && ! grep -q $'[^\r]$' "$inf"; then pass "$name: CRLF line ends"; else fail "$name: line ends are not CRLF throughout"; fi
}

inf="$folder/msdscbus.inf"
if [ -f "$inf" ]; then
    driver_version=$(sed -n 's/.*DRIVER_VERSION_STRING\[\] *= *"\([0-9.]*\)".*/\1/p' "$source_dir/driver/driver_version.h")
    check_inf_identity "$inf" "$driver_version" "the driver's version"
    expect_line '%busdevicedescription%=msdscbus_store, root\microsdsmartcardbus' "binds the hardware ID Root\\MicroSDSmartCardBus (driver store)"
    expect_line '%busdevicedescription%=msdscbus_device, root\microsdsmartcardbus' "binds the hardware ID Root\\MicroSDSmartCardBus (System32)"
    expect_line 'addservice=msdscbus, 0x00000002, msdscbus_service' "the service is the device's function driver"
    expect_line 'servicebinary=%13%\msdscbus.sys' "the service runs msdscbus.sys from the driver store (Windows 10 1709 on)"
    expect_line 'servicebinary=%12%\msdscbus.sys' "the service runs the installed msdscbus.sys (older versions)"
fi

inf="$folder/msdscsample.inf"
if [ -f "$inf" ]; then
    # The sample's version is SAMPLE_VERSION in its source, last component first.
    sample_version=$(sed -n 's/.*SAMPLE_VERSION = {{\([0-9]*\), \([0-9]*\), \([0-9]*\), \([0-9]*\)}};.*/\4.\3.\2.\1/p' "$source_dir/sample/sample_driver.cpp")
    check_inf_identity "$inf" "$sample_version" "the sample's version"
    expect_line '%readerdescription%=msdscsample_store, microsdsmartcardbus\microsdsmartcardreader' "binds the reader's hardware ID (driver store)"
    expect_line '%readerdescription%=msdscsample_device, microsdsmartcardbus\microsdsmartcardreader' "binds the reader's hardware ID (System32)"
    # Older than any driver of the user's own, which then ranks above the sample.
    sample_year=$(sed -n 's/^driverver=[0-9]*\/[0-9]*\/\([0-9]*\),.*/\1/p' <<<"$norm")
    if [ -n "$sample_year" ] && [ "$sample_year" -le 2000 ]; then pass "msdscsample.inf: DriverVer dated $sample_year, older than any reader driver"; else fail "msdscsample.inf: DriverVer dated '$sample_year', after 2000"; fi
fi

# Both INFs against the named INF rules (packaging/check-inf.py, whose fixtures show each rule
# failing).
if [ -f "$folder/msdscbus.inf" ] && [ -f "$folder/msdscsample.inf" ]; then
    if rules=$(python3 "$source_dir/packaging/check-inf.py" "$folder/msdscbus.inf" "$folder/msdscsample.inf"); then
        pass "msdscbus.inf and msdscsample.inf: every INF rule holds ($(grep -c '  ok ' <<<"$rules") checks)"
    else
        fail "INF rules broken: $(grep 'FAIL' <<<"$rules" | paste -sd';')"
    fi
fi

# The shipped drivers carry no debug information: symbols live in a separate file.
image="$folder/msdscsample.sys"
if [ -f "$image" ]; then
    debug_sections=$("$objdump" -h "$image" | awk '$1 ~ /^[0-9]+$/ && $2 ~ /^\.debug/ { print $2 }')
    if [ -z "$debug_sections" ]; then pass "msdscsample.sys: no debug sections"; else fail "msdscsample.sys: debug sections $(paste -sd' ' <<<"$debug_sections")"; fi
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
fi

# Every image that ships, each against what its kind may import at load (packaging/check-imports.sh).
mapfile -t images < <(find "$folder" -maxdepth 1 -type f \( -iname '*.sys' -o -iname '*.exe' -o -iname '*.dll' \) | sort)
if [ ${#images[@]} -eq 0 ]; then
    fail "no image in $folder"
else
    imports=$(bash "$source_dir/packaging/check-imports.sh" "${images[@]}")
    echo "$imports"
    failures=$((failures + $(grep -c '^  FAIL' <<<"$imports")))
fi

# The Python wheel: the package with its type information, registering the pytest plugin.
wheel=$(find "$folder" -maxdepth 1 -name 'msdsc-*-py3-none-any.whl' -print -quit)
if [ -n "$wheel" ] && wheel_list=$(unzip -Z1 "$wheel" 2>/dev/null); then
    missing=()
    for member in msdsc/__init__.py msdsc/client.py msdsc/pytest_plugin.py msdsc/py.typed; do
        grep -qx "$member" <<<"$wheel_list" || missing+=("$member")
    done
    entry_points=$(unzip -p "$wheel" '*.dist-info/entry_points.txt' 2>/dev/null)
    if [ ${#missing[@]} -eq 0 ] && grep -q '^\[pytest11\]' <<<"$entry_points" &&
       grep -q '^msdsc.pytest_plugin = msdsc.pytest_plugin' <<<"$entry_points"; then
        pass "$(basename "$wheel"): the package, py.typed and the pytest11 entry point"
    else
        fail "$(basename "$wheel"): missing [${missing[*]}] or no pytest11 entry point msdsc.pytest_plugin"
    fi
else
    fail "no readable msdsc wheel in $folder"
fi

if [ $failures -ne 0 ]; then
    echo "check-package: $failures check(s) failed"
    exit 1
fi
echo "check-package: all checks passed"
