#!/bin/sh
# Style checks: clang-format on every C and C++ source, clang-tidy (the
# repository's .clang-tidy, findings as errors) on the library, the virtual
# token and the tools. Needs a configured build for its compile database.
# usage: lint.sh [BUILD_DIR]   (default build/asan)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/asan}
[ -f "$build/compile_commands.json" ] || { echo "lint: no compile database in $build" >&2; exit 1; }

git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "clang-format: clean"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
# Each unit as the build compiles it (a unity batch as one unit), one unit per
# clang-tidy, on every core.
status=0
python3 scripts/lint-units.py "$build" |
  xargs -P "$(nproc)" -L 1 sh -c \
    'exec clang-tidy -p "$0" --quiet --warnings-as-errors="*" ${2:+--checks="$2"} "$1"' "$build" \
    >"$out" 2>&1 || status=1
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$out" || true
if [ "$status" -ne 0 ]; then
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: clean"
