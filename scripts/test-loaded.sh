#!/bin/sh
# Runs the timing-sensitive tests (labels sim, concurrency, tool, monitor) again while
# every core is kept busy by another process, so that a test that leans on
# the machine's speed fails here rather than on a user's busy machine.
# usage: test-loaded.sh [PRESET...]   (default: asan tsan, each built by
# scripts/test.sh; under tsan only the concurrency tests run, as there)
set -eu
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- asan tsan

load=""
stop_load() {
  # shellcheck disable=SC2086
  [ -z "$load" ] || kill $load 2>/dev/null || true
}
trap stop_load EXIT
trap 'exit 1' INT TERM
for _ in $(seq "$(nproc)"); do
  sh -c 'while :; do :; done' &
  load="$load $!"
done
echo "test-loaded: $(nproc) busy loops running (load: $(cut -d' ' -f1-3 /proc/loadavg))"

for preset in "$@"; do
  labels='sim|concurrency|tool|monitor'
  [ "$preset" = tsan ] && labels=concurrency
  ctest --preset "$preset" -L "$labels"
done
echo "test-loaded: passed under load (load: $(cut -d' ' -f1-3 /proc/loadavg))"
