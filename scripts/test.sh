#!/bin/sh
# Builds vok and runs the whole test suite: every test under AddressSanitizer +
# UndefinedBehaviorSanitizer (warnings as errors), then the concurrency tests
# under ThreadSanitizer, and the style checks (clang-format, clang-tidy) beside
# the test runs.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan
# The style checks need only the ASan build's compile database: they run on
# the cores that the tests leave idle, and report at the end.
lint_log=$(mktemp)
sh scripts/lint.sh build/asan >"$lint_log" 2>&1 &
lint=$!
trap 'kill "$lint" 2>/dev/null || true; rm -f "$lint_log"' EXIT
ctest --preset asan
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
status=0
wait "$lint" || status=$?
cat "$lint_log"
exit "$status"
