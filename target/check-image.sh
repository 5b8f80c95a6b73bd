#!/usr/bin/env bash
# Checks the built kernel image against what the Windows loader and the kernel's rules demand:
# usage: target/check-image.sh <target build dir> [image name, msdscbus by default; msdscsample for
# the sample reader driver]. Prints each check; exits non-zero on any failure.
set -uo pipefail

if [ $# -ne 1 ] && [ $# -ne 2 ]; then
    echo "usage: $0 <target build dir> [image name]" >&2
    exit 2
fi
build_dir=$1
name=${2:-msdscbus}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
image=$(find "$build_dir" -name "$name.sys" -type f -print -quit 2>/dev/null)
# The image's own objects only: user-mode tools built in the same tree may have constructors.
object_dir=$(find "$build_dir" -type d -name "$name.dir" -print -quit 2>/dev/null)

failures=0
pass() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }

if [ -z "$image" ]; then
    echo "check-image: no $name.sys under $build_dir" >&2
    exit 1
fi
if ! command -v "$objdump" >/dev/null; then
    echo "check-image: $objdump not found" >&2
    exit 1
fi
echo "check-image: $image"

headers=$("$objdump" -p "$image") || { echo "check-image: $objdump cannot read $image" >&2; exit 1; }
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

# PE32+ for x86-64: the only format the x64 kernel loads.
magic=$(field Magic)
if grep -q "file format pei-x86-64" <<<"$headers" && [ "$magic" = "020b" ]; then
    pass "PE32+ image for x86-64 (magic $magic)"
else
    fail "not a PE32+ x86-64 image (magic '${magic:-none}')"
fi

# Subsystem 1 (native): a kernel-mode image, not a Windows application or DLL.
subsystem=$(field Subsystem)
if [ "$subsystem" = "00000001" ]; then
    pass "subsystem native (1)"
else
    fail "subsystem is '${subsystem:-none}', expected 00000001 (native)"
fi

# A driver can import only what the kernel exports; a user-mode DLL in the table (a C run time,
# kernel32) makes the loader refuse the image.
mapfile -t dlls < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
if [ ${#dlls[@]} -eq 0 ]; then
    fail "no import table (the image must import from ntoskrnl.exe)"
else
    bad_dlls=()
    for dll in "${dlls[@]}"; do
        case "${dll,,}" in
            ntoskrnl.exe | hal.dll) ;;
            *) bad_dlls+=("$dll") ;;
        esac
    done
    if [ ${#bad_dlls[@]} -eq 0 ]; then
        pass "imports only from ntoskrnl.exe/hal.dll (${dlls[*]})"
    else
        fail "imports from ${bad_dlls[*]} (only ntoskrnl.exe and hal.dll are allowed)"
    fi
fi

# The kernel places the image at an address of its choosing: it needs base relocations, and
# every one must be a full 64-bit fixup (ABSOLUTE entries only pad a block).
characteristics=$(awk '/^DllCharacteristics/ { f = 1; next } f && /^\t\t\t\t\t/ { print $1; next } f { exit }' <<<"$headers")
for flag in DYNAMIC_BASE NX_COMPAT; do
    if grep -qx "$flag" <<<"$characteristics"; then
        pass "DllCharacteristics has $flag"
    else
        fail "DllCharacteristics lacks $flag"
    fi
done
reloc_types=$(awk '/^\treloc / { n[$NF]++ } END { for (t in n) printf "%s %s\n", n[t], t }' <<<"$headers" | sort -k2)
if [ -z "$reloc_types" ]; then
    fail "no base relocations: the image could only load at its preferred base"
elif awk '$2 != "DIR64" && $2 != "ABSOLUTE" { bad = 1 } END { exit !bad }' <<<"$reloc_types"; then
    fail "base relocations other than DIR64: $(paste -sd, <<<"$reloc_types")"
else
    pass "base relocations are all 64-bit ($(paste -sd, <<<"$reloc_types"))"
fi

# No section may be both executable and writable.
wx=$("$objdump" -h "$image" | awk '/^ *[0-9]+ / { name = $2; next } /CODE/ && !/READONLY/ { print name }')
if [ -z "$wx" ]; then
    pass "no writable code section"
else
    fail "writable code section(s): $wx"
fi

# Nothing runs a global constructor in a kernel image (no C++ start-up code calls the list), so
# an object that registers one would leave that global unconstructed. The linker folds these
# sections into .text, so only the objects show them.
if [ -z "$object_dir" ]; then
    fail "no object directory of $name under $build_dir"
else
    mapfile -t objects < <(find "$object_dir" -type f \( -name '*.obj' -o -name '*.o' \) | sort)
    if [ ${#objects[@]} -eq 0 ]; then
        fail "no object files under $object_dir"
    else
        offenders=()
        for object in "${objects[@]}"; do
            sections=$("$objdump" -h "$object") || { fail "$objdump cannot read $object"; continue; }
            if awk '$1 ~ /^[0-9]+$/ && $2 ~ /^\.(ctors|dtors|init_array|fini_array)(\.|$)/ { found = 1 } END { exit !found }' <<<"$sections"; then
                offenders+=("${object#"$object_dir"/}")
            fi
        done
        if [ ${#offenders[@]} -eq 0 ]; then
            pass "no .ctors/.dtors/.init_array/.fini_array in ${#objects[@]} object file(s)"
        else
            fail "global constructors or destructors in: ${offenders[*]}"
        fi
    fi
fi

if [ $failures -ne 0 ]; then
    echo "check-image: $failures check(s) failed"
    exit 1
fi
echo "check-image: all checks passed"
