#!/usr/bin/env bash
# Installs Wine (Debian's wine64: the 64-bit loader, wineserver and the Windows DLLs, about 25 packages
# without the recommended ones, some 20 s) for the end-to-end test under Wine, when it is missing.
set -euo pipefail
if [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1; then
    exit 0
fi
echo "wine-setup: installing wine64"
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends wine64
