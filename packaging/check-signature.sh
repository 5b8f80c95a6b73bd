#!/usr/bin/env bash
# Checks a test-signed package against the certificate that signed it (scripts/sign-test.sh),
# with osslsigncode, for each of its two drivers (the bus driver and the sample reader driver): the
# driver's and its catalog's signatures, the driver's and its INF's hashes as members of its catalog,
# and that one changed byte in the driver or the INF fails that.
#   usage: packaging/check-signature.sh <target build dir> <certificate (PEM)>
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <target build dir> <certificate (PEM)>" >&2
    exit 2
fi
manifest=$(find "$1" -name package-manifest.txt -type f -print -quit 2>/dev/null)
folder=$(awk '$1 == "folder" { print $2 }' "${manifest:-/dev/null}")
if [ -z "$folder" ]; then
    echo "check-signature: no package-manifest.txt under $1 (configure the target build)" >&2
    exit 1
fi
cert=$2
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
[ -f "$cert" ] || { echo "check-signature: no $cert" >&2; exit 1; }
for base in msdscbus msdscsample; do
    for file in "$folder/$base.sys" "$folder/$base.cat" "$folder/$base.inf"; do
        [ -f "$file" ] || { echo "check-signature: no $file" >&2; exit 1; }
    done
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
pass() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }
# Verification against this certificate alone: -CAfile replaces the system's roots, so a
# signature by any other key fails.
verify() { osslsigncode verify -CAfile "$cert" -ignore-crl "$@" >"$scratch/verify.log" 2>&1; }
echo "check-signature: $folder against $(openssl x509 -in "$cert" -noout -subject)"

if cmp -s <(openssl x509 -in "$cert" -outform DER) "$folder/msdscbus-test.cer"; then
    pass "msdscbus-test.cer is the signing certificate's public part"
else
    fail "msdscbus-test.cer is missing or is not the signing certificate"
fi

# The driver as a member of catalog $1: osslsigncode computes its Authenticode hash and page
# hashes and finds them in the catalog.
driver_in_catalog() {
    verify -catalog "$1" -in "$2" && grep -q "File is signed in catalog" "$scratch/verify.log"
}
# The INF as a member of catalog $1: osslsigncode has no hashing for an INF, so the flat SHA-256 of
# the file is compared with the digest osslsigncode lists for the member of the INF's name ($3).
inf_in_catalog() {
    verify -verbose -in "$1" || return 1
    local listed
    listed=$(awk -v name="$3" '$0 == "\tFile name: " name { found = 1 } found && /Message digest:/ { print $3; exit }' "$scratch/verify.log")
    [ -n "$listed" ] && [ "$listed" = "$(sha256sum "$2" | awk '{ print toupper($1) }')" ]
}
flip_byte() {
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "$(printf '\\%03o' $((byte ^ 0xff)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

check_driver_package() {
    local base=$1
    local sys="$folder/$base.sys" cat="$folder/$base.cat" inf="$folder/$base.inf"
    if verify -in "$sys" && grep -q "Number of verified signatures: 1" "$scratch/verify.log"; then
        pass "$base.sys: its embedded SHA-256 signature verifies"
    else
        fail "$base.sys: embedded signature does not verify: $(grep -m1 -iE 'fail|mismatch|error' "$scratch/verify.log")"
    fi
    if grep -q "Page hash algorithm *: SHA256" "$scratch/verify.log"; then pass "$base.sys: the signature carries SHA-256 page hashes"; else fail "$base.sys: no SHA-256 page hashes in its signature"; fi
    if verify -in "$cat"; then pass "$base.cat: its signature verifies"; else fail "$base.cat: signature does not verify"; fi
    if grep -q "Message digest algorithm: SHA256" "$scratch/verify.log"; then pass "$base.cat: signed with SHA-256"; else fail "$base.cat: not signed with SHA-256"; fi

    if driver_in_catalog "$cat" "$sys"; then pass "$base.sys: its hash and page hashes are members of $base.cat"; else fail "$base.sys: not a member of $base.cat"; fi
    if inf_in_catalog "$cat" "$inf" "$base.inf"; then pass "$base.inf: its hash is a member of $base.cat"; else fail "$base.inf: its hash is not in $base.cat"; fi

    # One changed byte: a byte in the middle of the driver's code, and the first byte of the INF.
    local text_size text_start text_offset
    read -r text_size text_start < <("$objdump" -h "$sys" | awk '$2 == ".text" { print $3, $6; exit }')
    text_offset=$((0x${text_start:-0} + 0x${text_size:-0} / 2))
    cp "$sys" "$scratch/$base.sys"
    cp "$inf" "$scratch/$base.inf"
    flip_byte "$scratch/$base.sys" "$text_offset"
    flip_byte "$scratch/$base.inf" 0
    if cmp -s "$sys" "$scratch/$base.sys"; then
        fail "could not change a byte of $base.sys's copy"
    elif driver_in_catalog "$cat" "$scratch/$base.sys"; then
        fail "$base.sys with one changed byte still passes as a member of the catalog"
    else
        pass "$base.sys with one changed byte at offset $text_offset is not a member of the catalog"
    fi
    if verify -in "$scratch/$base.sys"; then fail "$base.sys with one changed byte still passes its embedded signature"; else pass "$base.sys with one changed byte fails its embedded signature"; fi
    if inf_in_catalog "$cat" "$scratch/$base.inf" "$base.inf"; then fail "$base.inf with one changed byte still passes as a member of the catalog"; else pass "$base.inf with one changed byte is not a member of the catalog"; fi
    # Each catalog covers its own package only: the other driver is no member of it.
    local other=msdscbus
    [ "$base" = msdscbus ] && other=msdscsample
    if driver_in_catalog "$cat" "$folder/$other.sys"; then fail "$other.sys passes as a member of $base.cat"; else pass "$other.sys is not a member of $base.cat"; fi
}

check_driver_package msdscbus
check_driver_package msdscsample

if [ $failures -ne 0 ]; then
    echo "check-signature: $failures check(s) failed"
    exit 1
fi
echo "check-signature: all checks passed"
