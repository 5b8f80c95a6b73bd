#!/usr/bin/env bash
# Builds the control-device fuzzer (clang, libFuzzer) and runs it for a bounded time from the
# committed corpus. Any finding (a crash, a stop, a verifier violation, a broken expectation)
# fails the script and leaves its input under build/fuzz/findings/.
#   FUZZ_SECONDS  how long to fuzz (default 75)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-75}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target control_fuzzer

findings=build/fuzz/findings
mkdir -p "$findings"
# New inputs go to a scratch corpus, so the committed one stays as it is.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

build/fuzz/fuzz/control_fuzzer "$scratch" fuzz/corpus \
  -max_total_time="$seconds" -max_len=1024 -timeout=20 -rss_limit_mb=4096 \
  -artifact_prefix="$findings/" -print_final_stats=1
