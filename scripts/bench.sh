#!/bin/sh
# Builds the release preset and runs every benchmark; each prints a table.
# Extra arguments go to each benchmark program (for example
# --benchmark_repetitions=5).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
for bench in build/release/bench/*/*_bench; do
  [ -x "$bench" ] || continue
  printf '\n== %s ==\n' "$(basename "$bench")"
  "$bench" "$@"
done
