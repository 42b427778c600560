#!/bin/sh
# Style checks: clang-format on every C and C++ source, clang-tidy (the
# repository's .clang-tidy, findings as errors) on the library, the virtual
# token and the tool. Needs a configured build for its compile database.
# usage: lint.sh [BUILD_DIR]   (default build/asan)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/asan}
[ -f "$build/compile_commands.json" ] || { echo "lint: no compile database in $build" >&2; exit 1; }

git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "clang-format: clean"

out=$(mktemp)
database=$(mktemp -d)
trap 'rm -rf "$out" "$database"' EXIT
# One entry per file, also for the files that a unity build compiles in batches;
# one file per clang-tidy, so that no core idles behind a batch of long ones.
python3 scripts/compile-db-per-file.py "$build" "$database"
status=0
ls src/*/*.cpp sim/*/*.cpp tools/vok/*.cpp |
  xargs -P "$(nproc)" -n 1 clang-tidy -p "$database" --quiet --warnings-as-errors='*' >"$out" 2>&1 || status=1
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$out" || true
if [ "$status" -ne 0 ]; then
  echo "clang-tidy: findings above" >&2
  exit 1
fi
echo "clang-tidy: clean"
