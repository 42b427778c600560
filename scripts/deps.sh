#!/bin/sh
# Installs the Debian packages that building and testing vok need, if missing.
# usage: deps.sh [demo]   (demo: only what the demo's build needs: the
# library, the vok tool and the virtual token, without tests or style checks)
set -eu
demo_packages="cmake ninja-build g++ libcli11-dev nlohmann-json3-dev libpcap-dev pkg-config"
packages="$demo_packages gcc binutils tshark libgtest-dev libgmock-dev
libbenchmark-dev mandoc clang-format clang-tidy python3-pytest"
[ "${1:-}" = demo ] && packages=$demo_packages
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "vok needs these Debian packages:$missing" >&2
  echo "install them with: sudo apt-get install$missing" >&2
  exit 1
fi
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
