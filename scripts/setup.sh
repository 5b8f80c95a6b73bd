#!/usr/bin/env bash
# Installs what the builds and tests need, with apt-get, only where something is missing.
#   --host-only   just what the host build needs (the main job); otherwise also the cross
#                 compilers, clang for the fuzzer and the lock analysis, clang-format-14 for the
#                 format check and Wine for the end-to-end test.
set -euo pipefail
packages=(cmake make g++ gcc googletest libgtest-dev libgmock-dev nlohmann-json3-dev)
if [ "${1:-}" != "--host-only" ]; then
  packages+=(clang clang-format-14 libclang-rt-14-dev libstdc++-12-dev libbenchmark-dev valgrind
             g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
             lld llvm osslsigncode python3-asn1crypto openssl unzip python3-pytest python3-pytest-xdist python3-venv python3-pip python3-setuptools python3-wheel)
fi
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
# The package's catalog and its checks need osslsigncode 2.8 or later (extract-data, verify
# -catalog); Debian 12 has 2.5, its backports 2.9.
if [ "${1:-}" != "--host-only" ] && \
   ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' osslsigncode)" ge 2.8; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  if grep -q '^VERSION_CODENAME=bookworm' /etc/os-release; then
    echo "setup: installing osslsigncode from bookworm-backports"
    echo "deb http://deb.debian.org/debian bookworm-backports main" |
      $SUDO tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q -t bookworm-backports osslsigncode
  else
    echo "setup: osslsigncode is older than 2.8; install 2.8 or later" >&2
    exit 1
  fi
fi
# Wine, for the end-to-end test of the target build.
if [ "${1:-}" != "--host-only" ] && [ -x "$(dirname "$0")/wine-setup.sh" ]; then
  bash "$(dirname "$0")/wine-setup.sh"
fi
