#!/usr/bin/env bash
# Builds the control-device fuzzer (clang, libFuzzer) and runs it for a bounded time from the
# committed corpus, with the dictionary of control codes; then reports how many of the driver's own
# edges the corpus it ended with reaches, and which of the driver's functions no input reached. Any
# finding (a crash, a stop, a verifier violation, a broken expectation) fails the script and leaves
# its input under build/fuzz/findings/.
#   FUZZ_SECONDS  how long to fuzz (default 75)
#   FUZZ_KEEP     a folder to keep the new inputs in (default: a scratch folder, removed after)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-75}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target control_fuzzer

fuzzer=build/fuzz/fuzz/control_fuzzer
findings=build/fuzz/findings
mkdir -p "$findings"
# New inputs go to a scratch corpus, so the committed one stays as it is.
if [ -n "${FUZZ_KEEP:-}" ]; then
  scratch=$FUZZ_KEEP
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
fi

"$fuzzer" "$scratch" fuzz/corpus -dict=fuzz/control.dict \
  -max_total_time="$seconds" -max_len=1024 -timeout=20 -rss_limit_mb=4096 \
  -artifact_prefix="$findings/" -print_final_stats=1

echo "=== the driver's edges the corpus reaches"
"$fuzzer" -runs=0 -print_coverage=1 "$scratch" fuzz/corpus 2>&1 | python3 fuzz/driver_coverage.py .
