#!/usr/bin/env bash
# Installs what the builds and tests need, with apt-get, only where something is missing.
set -euo pipefail
packages=(cmake make g++ gcc clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
# Wine, for the end-to-end test of the target build.
if [ -x "$(dirname "$0")/wine-setup.sh" ]; then bash "$(dirname "$0")/wine-setup.sh"; fi
