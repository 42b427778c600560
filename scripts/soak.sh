#!/bin/sh
# Hours of load: 3 processes x 8 threads on 2 virtual tokens with a modelled
# bus latency, one worker killed and restarted every few seconds. Prints
# operations per second, the slowest call, and any lost or torn write,
# stalled call or leaked descriptor (then exits non-zero).
# usage: soak.sh [SECONDS] [more vok_soak options]   (default 1800 s)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-1800}
[ $# -gt 0 ] && shift
sh scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vok_soak
exec build/release/tests/soak/vok_soak --seconds "$seconds" --processes 3 --threads 8 \
  --latency-us 50 --kill-every-ms 2000 --stall-ms 10000 "$@"
