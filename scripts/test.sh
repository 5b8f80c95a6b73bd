#!/usr/bin/env bash
# Checks the tree's format, builds the host and the target build and runs every test: the host
# tests plain, under AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer and
# built by clang (whose thread-safety analysis fails the build on a lock the driver's code misses),
# the Python package's tests against the simulated kernel (with the plain host tests), the target
# image's own checks and the test-signed release package. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "=== the tree follows .clang-format"
bash scripts/check-format.sh

run_host_preset() {
  local preset=$1
  echo "=== host tests: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

# The plain host preset's ctest also runs the Python package's tests (one entry per test file).
run_host_preset host

run_host_preset host-asan
run_host_preset host-tsan
run_host_preset host-clang

echo "=== target build"
cmake --preset target >/dev/null
cmake --build --preset target
bash target/check-image.sh build/target
bash target/check-image.sh build/target msdscsample

echo "=== the release package, test-signed"
cmake --build --preset package
bash scripts/sign-test.sh --cert-dir build/test-signing
bash packaging/check-package.sh --signed build/target
bash packaging/check-signature.sh build/target build/test-signing/test-signing.pem
bash client/check-library.sh build/target

if [ -x scripts/wine-test.sh ]; then
  echo "=== the target build end to end under Wine (bounded)"
  bash scripts/wine-test.sh build/target
fi

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzzing (bounded)"
  bash scripts/fuzz.sh
fi
echo "=== all tests passed"
