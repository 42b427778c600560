#!/bin/sh
# The whole system in one command, without hardware: installs what the build
# needs, builds what the session runs (the library, the vok tool, vok-sim and
# libvoksim.so; no tests, in build/demo), creates a virtual token and runs a
# short session of the vok tool on it (list, info, provision a block, write,
# read back, a wrong PIN refused). Each command is printed before its output.
#
# VOK_BUILD_DIR=DIR runs the session on an existing build tree instead of
# installing and building.
set -eu
cd "$(dirname "$0")/.."

if [ -n "${VOK_BUILD_DIR:-}" ]; then
  build=$(cd "$VOK_BUILD_DIR" && pwd)
else
  sh scripts/deps.sh demo
  cmake --preset demo >/dev/null
  cmake --build --preset demo --target vok_tool vok_sim
  build=$PWD/build/demo
fi
vok_sim=$build/sim/tool/vok-sim
vok=$build/tools/vok/vok
tree=$(mktemp -d /tmp/vok-demo-XXXXXX)
trap 'rm -rf "$tree"' EXIT
trap 'exit 130' INT TERM

# The PINs of the session come from the environment, never from the command line.
DEMO_PIN=2468
WRONG_PIN=1357
export DEMO_PIN WRONG_PIN

show() { printf '\n$ %s\n' "$*"; }

# Runs vok on the virtual token.
vok() { "$vok_sim" run "$tree" -- "$vok" "$@"; }

step() {
  show "vok $*"
  vok "$@"
}

# A step that the token must refuse; vok's one-line message is shown in order.
refused_step() {
  show "vok $*"
  if vok "$@" 2>&1; then
    echo "demo: the token accepted what it should have refused" >&2
    exit 1
  fi
  echo "(refused, as it should be: the virtual token answers 0x10 to a wrong PIN)"
}

show "vok-sim create $tree --tokens 1"
"$vok_sim" create "$tree" --tokens 1

step list
step info
printf '\n# The PINs come from environment variables: DEMO_PIN=%s, WRONG_PIN=%s\n' \
  "$DEMO_PIN" "$WRONG_PIN"
step block provision --block 2 --vendor-id 0x1234 --new-pin-env DEMO_PIN --yes
show "printf 'Hello from vok!' | vok write --block 2 --pin-env DEMO_PIN"
printf 'Hello from vok!' | vok write --block 2 --pin-env DEMO_PIN
step read --block 2 --length 32 --pin-env DEMO_PIN
refused_step read --block 2 --length 32 --pin-env WRONG_PIN

printf '\nDone: the vok tool, libvok and a virtual token worked together. See vok(1) and vok-sim(1).\n'
