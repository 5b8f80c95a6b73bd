#!/usr/bin/env bash
# Checks a test-signed package against the certificate that signed it (scripts/sign-test.sh),
# with osslsigncode: the driver's and the catalog's signatures, the driver's and the INF's hashes
# as members of the catalog, and that one changed byte in the driver or the INF fails that.
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
sys="$folder/msdscbus.sys"
cat="$folder/msdscbus.cat"
inf="$folder/msdscbus.inf"
for file in "$sys" "$cat" "$inf" "$cert"; do
    [ -f "$file" ] || { echo "check-signature: no $file" >&2; exit 1; }
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

if verify -in "$sys" && grep -q "Number of verified signatures: 1" "$scratch/verify.log"; then
    pass "msdscbus.sys: its embedded SHA-256 signature verifies"
else
    fail "msdscbus.sys: embedded signature does not verify: $(grep -m1 -iE 'fail|mismatch|error' "$scratch/verify.log")"
fi
if grep -q "Page hash algorithm *: SHA256" "$scratch/verify.log"; then pass "msdscbus.sys: the signature carries SHA-256 page hashes"; else fail "msdscbus.sys: no SHA-256 page hashes in its signature"; fi
if verify -in "$cat"; then pass "msdscbus.cat: its signature verifies"; else fail "msdscbus.cat: signature does not verify"; fi
if grep -q "Message digest algorithm: SHA256" "$scratch/verify.log"; then pass "msdscbus.cat: signed with SHA-256"; else fail "msdscbus.cat: not signed with SHA-256"; fi
if cmp -s <(openssl x509 -in "$cert" -outform DER) "$folder/msdscbus-test.cer"; then
    pass "msdscbus-test.cer is the signing certificate's public part"
else
    fail "msdscbus-test.cer is missing or is not the signing certificate"
fi

# The driver as a catalog member: osslsigncode computes its Authenticode hash and page hashes
# and finds them in the catalog.
driver_in_catalog() {
    verify -catalog "$cat" -in "$1" && grep -q "File is signed in catalog" "$scratch/verify.log"
}
# The INF as a catalog member: osslsigncode has no hashing for an INF, so the flat SHA-256 of the
# file is compared with the digest osslsigncode lists for the member named msdscbus.inf.
inf_in_catalog() {
    verify -verbose -in "$cat" || return 1
    local listed
    listed=$(awk '/^\tFile name: msdscbus.inf$/ { found = 1 } found && /Message digest:/ { print $3; exit }' "$scratch/verify.log")
    [ -n "$listed" ] && [ "$listed" = "$(sha256sum "$1" | awk '{ print toupper($1) }')" ]
}
if driver_in_catalog "$sys"; then pass "msdscbus.sys: its hash and page hashes are members of msdscbus.cat"; else fail "msdscbus.sys: not a member of msdscbus.cat"; fi
if inf_in_catalog "$inf"; then pass "msdscbus.inf: its hash is a member of msdscbus.cat"; else fail "msdscbus.inf: its hash is not in msdscbus.cat"; fi

# One changed byte: a byte in the middle of the driver's code, and the first byte of the INF.
read -r text_size text_start < <("$objdump" -h "$sys" | awk '$2 == ".text" { print $3, $6; exit }')
text_offset=$((0x${text_start:-0} + 0x${text_size:-0} / 2))
cp "$sys" "$scratch/msdscbus.sys"
cp "$inf" "$scratch/msdscbus.inf"
flip_byte() {
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "$(printf '\\%03o' $((byte ^ 0xff)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
flip_byte "$scratch/msdscbus.sys" "$text_offset"
flip_byte "$scratch/msdscbus.inf" 0
if cmp -s "$sys" "$scratch/msdscbus.sys"; then
    fail "could not change a byte of the driver's copy"
elif driver_in_catalog "$scratch/msdscbus.sys"; then
    fail "a driver with one changed byte still passes as a member of the catalog"
else
    pass "a driver with one changed byte at offset $text_offset is not a member of the catalog"
fi
if verify -in "$scratch/msdscbus.sys"; then fail "a driver with one changed byte still passes its embedded signature"; else pass "a driver with one changed byte fails its embedded signature"; fi
if inf_in_catalog "$scratch/msdscbus.inf"; then fail "an INF with one changed byte still passes as a member of the catalog"; else pass "an INF with one changed byte is not a member of the catalog"; fi

if [ $failures -ne 0 ]; then
    echo "check-signature: $failures check(s) failed"
    exit 1
fi
echo "check-signature: all checks passed"
