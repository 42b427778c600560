#!/bin/sh
# Builds vok and runs the whole test suite: every test under AddressSanitizer +
# UndefinedBehaviorSanitizer (warnings as errors), then the concurrency tests
# under ThreadSanitizer, then the style checks (clang-format, clang-tidy).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
sh scripts/lint.sh build/asan
