#!/usr/bin/env bash
# Checks that every C and C++ file the repository tracks follows .clang-format, as Debian's
# clang-format-14 formats it. Fails (never skips) when that formatter is missing: a check that
# quietly passes on a machine without it would let a second style back in.
#   --fix   formats the files in place instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$formatter" >/dev/null 2>&1; then
  echo "check-format: $formatter not found; run scripts/setup.sh" >&2
  exit 1
fi
if ! "$formatter" --version | grep -q 'version 14\.'; then
  echo "check-format: $formatter is not version 14: $("$formatter" --version)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format: no tracked source files found (not a git checkout?)" >&2
  exit 1
fi
if [ "${1:-}" = "--fix" ]; then
  "$formatter" -i --style=file "${files[@]}"
  exit 0
fi
if ! "$formatter" --dry-run --Werror --style=file "${files[@]}"; then
  echo "check-format: the files above differ from .clang-format; scripts/check-format.sh --fix formats them" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
