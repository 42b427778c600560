#!/bin/sh
# The Debian packages, as a user gets them: builds libvok1, libvok-dev,
# vok-tools, vok-sim and python3-vok with dpkg-buildpackage (without the
# tests, which CI has run already), checks them with lintian, installs them
# with apt-get, builds examples/quickstart.c against the installed libvok-dev
# with pkg-config and with find_package(vok), runs it on a virtual token with
# the installed vok-sim, checks `vok --version` and `man -w vok`, runs the
# Python tests on python3-vok and on a wheel in a fresh virtual environment
# (check-python-packages.sh), then purges the packages and checks that none
# of their files is left. Needs root (apt-get).
set -eu
cd "$(dirname "$0")/.."
# Debian's own programs, as on a build daemon: no interpreter or tool that a
# user put first on PATH (a pyenv python3, say) takes part.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
packages="libvok1 libvok-dev vok-tools vok-sim python3-vok"
passed=0
pass() { echo "packages: $*"; passed=$((passed + 1)); }

# What building, checking and using the packages needs.
needs="debhelper dpkg-dev lintian cmake ninja-build g++ gcc make pkg-config man-db
libcli11-dev nlohmann-json3-dev dh-python pybuild-plugin-pyproject python3-all python3-setuptools
python3-wheel python3-pip python3-venv python3-pytest"
missing=""
for p in $needs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
export DEBIAN_FRONTEND=noninteractive
if [ -n "$missing" ]; then
  echo "installing:$missing" >&2
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

tmp=$(mktemp -d /tmp/vok-packages-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

# dpkg-buildpackage writes beside the source tree: build in a copy.
mkdir "$tmp/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$tmp/src"
if ! (cd "$tmp/src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=2" \
      dpkg-buildpackage -b -us -uc -Pnocheck >"$tmp/build.log" 2>&1); then
  tail -40 "$tmp/build.log" >&2
  echo "packages: dpkg-buildpackage failed" >&2
  exit 1
fi
debs=$(for deb in "$tmp"/*.deb; do basename "${deb%%_*}"; done | sort | tr '\n' ' ')
[ "$debs" = "libvok-dev libvok1 python3-vok vok-sim vok-tools " ] ||
  { echo "packages: built '$debs'" >&2; exit 1; }
pass "dpkg-buildpackage built $debs(symbols checked by dpkg-gensymbols)"

if ! lintian --fail-on error,warning,info,pedantic --display-info --pedantic "$tmp"/vok_*.changes \
    >"$tmp/lintian.log" 2>&1; then
  grep -v 'running with root privileges' "$tmp/lintian.log" >&2
  echo "packages: lintian findings above" >&2
  exit 1
fi
pass "lintian: clean (pedantic)"

(cd "$tmp" && apt-get install -y -qq ./*.deb >/dev/null)
for p in $packages; do dpkg -L "$p" >>"$tmp/files"; done
pass "apt-get installed $packages"

mkdir "$tmp/consumer"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror examples/quickstart.c -o "$tmp/consumer/quickstart-pc" $(pkg-config --cflags --libs vok)
cmake -S tests/packaging/quickstart -B "$tmp/consumer/cmake" -G Ninja >/dev/null
cmake --build "$tmp/consumer/cmake" >/dev/null
for program in "$tmp/consumer/quickstart-pc" "$tmp/consumer/cmake/quickstart"; do
  ldd "$program" | grep -Eq "libvok.so.1 => (/usr)?/lib/[^ ]*/libvok.so.1 " ||
    { echo "packages: $program does not use the installed libvok.so.1" >&2; exit 1; }
done
pass "examples/quickstart.c built with pkg-config and with find_package(vok)"

tree="$tmp/usb"
vok-sim create "$tree" --tokens 1 >/dev/null
for program in "$tmp/consumer/quickstart-pc" "$tmp/consumer/cmake/quickstart"; do
  vok-sim run "$tree" -- "$program" >"$tmp/run.log" 2>&1 ||
    { cat "$tmp/run.log" >&2; echo "packages: $program failed on the virtual token" >&2; exit 1; }
done
pass "quickstart ran on a virtual token under the installed vok-sim"

version=$(sed -n 's/^project(vok VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ "$(vok --version)" = "$version" ] || { echo "packages: vok --version says '$(vok --version)'" >&2; exit 1; }
manpage=$(man -w vok)
grep -qx "$manpage" "$tmp/files" || { echo "packages: man -w vok gave '$manpage'" >&2; exit 1; }
pass "vok --version is $version; man -w vok is $manpage"

sh scripts/check-python-packages.sh "$tmp"
passed=$((passed + 2))

# shellcheck disable=SC2086
apt-get purge -y -qq $packages >/dev/null
for p in $packages; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed; then
    echo "packages: $p is still installed" >&2; exit 1
  fi
done
left=""
while read -r path; do
  [ -e "$path" ] || continue
  # Shared directories (/usr, /usr/bin, ...) stay; a directory of our own must go.
  if [ ! -d "$path" ] || echo "$path" | grep -q vok; then left="$left $path"; fi
done <"$tmp/files"
[ -z "$left" ] || { echo "packages: left after purge:$left" >&2; exit 1; }
pass "purged: no file or directory of the packages is left"

echo "$passed passed, 0 failed"
