#!/usr/bin/env bash
# Test-signs the release package for a test machine: signs msdscbus.sys and msdscsample.sys (with
# page hashes) and their catalogs with a test code-signing certificate (SHA-256, osslsigncode),
# leaves the certificate's public part and the commands that trust it in the package, and remakes the zip.
#   usage: scripts/sign-test.sh [--cert-dir DIR] [PACKAGE_FOLDER]
# PACKAGE_FOLDER defaults to dist/msdscbus-<the driver's version>-x64, which
# `cmake --build --preset package` writes.
# DIR keeps the key and certificate so that every package made here is signed by the one
# certificate a test machine already trusts; default $MSDSC_TEST_SIGNING_DIR, else
# ~/.local/share/msdscbus/test-signing. The key never enters the package.
set -euo pipefail
cd "$(dirname "$0")/.."

cert_dir=${MSDSC_TEST_SIGNING_DIR:-$HOME/.local/share/msdscbus/test-signing}
if [ "${1:-}" = "--cert-dir" ]; then
    cert_dir=$2
    shift 2
fi
if [ $# -gt 1 ]; then
    echo "usage: $0 [--cert-dir DIR] [PACKAGE_FOLDER]" >&2
    exit 2
fi
if [ $# -eq 1 ]; then
    package=$1
else
    version=$(sed -n 's/.*DRIVER_VERSION_STRING\[\] *= *"\([0-9.]*\)".*/\1/p' driver/driver_version.h)
    package=dist/msdscbus-$version-x64
fi
for file in msdscbus.sys msdscbus.cat msdscsample.sys msdscsample.cat; do
    [ -f "$package/$file" ] || { echo "sign-test: no $file in $package" >&2; exit 1; }
done

# The names a test machine sees; packaging/check-package.sh --signed expects exactly these two.
certificate_name=msdscbus-test.cer
trust_script_name=trust-test-certificate.cmd

key="$cert_dir/test-signing.key"
cert="$cert_dir/test-signing.pem"
# Reused while it has a month left, so a machine that trusts it keeps trusting new packages.
if [ -f "$key" ] && [ -f "$cert" ] && openssl x509 -in "$cert" -noout -checkend $((30 * 86400)) >/dev/null; then
    echo "sign-test: reusing the test certificate in $cert_dir"
else
    echo "sign-test: making a test certificate in $cert_dir"
    mkdir -p "$cert_dir"
    chmod 700 "$cert_dir"
    # Self-signed, so trusting it is one certificate in Root and TrustedPublisher; an end entity
    # (CA:FALSE) for code signing only, so trusting it cannot vouch for anything else.
    openssl req -x509 -newkey rsa:3072 -sha256 -days 730 -nodes -keyout "$key" -out "$cert" \
        -subj "/CN=MicroSDSmartCardBus test signing (not for release)" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" 2>/dev/null
    chmod 600 "$key"
fi

sign() {
    local file=$1
    shift
    local signed
    signed=$(mktemp "$package/.signing.XXXXXX")
    rm -f "$signed"
    # osslsigncode replaces a signature the file already has (without -nest), so signing again
    # after a rebuild of the same folder is safe.
    if ! osslsigncode sign -certs "$cert" -key "$key" -h sha256 "$@" -in "$package/$file" -out "$signed" >/dev/null; then
        rm -f "$signed"
        echo "sign-test: osslsigncode could not sign $file" >&2
        exit 1
    fi
    mv "$signed" "$package/$file"
    echo "sign-test: signed $file"
}
# Page hashes: Windows checks each page of a kernel image as it is paged in, where they exist.
sign msdscbus.sys -ph -n "MicroSD SmartCard Bus driver"
sign msdscbus.cat
sign msdscsample.sys -ph -n "MicroSD SmartCard sample reader driver"
sign msdscsample.cat

openssl x509 -in "$cert" -outform DER -out "$package/$certificate_name"
# certutil comes with every Windows; -f replaces an older copy of the same certificate.
printf '%s\r\n' \
    '@echo off' \
    'rem Trusts the test certificate this package is signed with. For a test machine only:' \
    'rem run from an administrator prompt; test signing must be on (bcdedit /set testsigning on).' \
    "certutil -f -addstore Root \"%~dp0$certificate_name\" || exit /b 1" \
    "certutil -f -addstore TrustedPublisher \"%~dp0$certificate_name\" || exit /b 1" \
    >"$package/$trust_script_name"

name=$(basename "$package")
(cd "$(dirname "$package")" && rm -f "$name.zip" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "sign-test: $package (and .zip) signed by $(openssl x509 -in "$cert" -noout -subject)"
