#!/bin/sh
# /init of the guest that scripts/kernel-test.sh boots: loads vhci-hcd,
# attaches a virtual tree with `vok-sim attach`, runs the checks through the
# real usbfs, then the same over TCP through `vok-sim serve` and Debian's
# `usbip` client (kernel-guest-remote.sh), then the token monitor across
# attach cycles and a hot-plugged keyboard (kernel-guest-monitor.sh), and
# prints one
# "KT-RESULT NAME pass|fail" line for each, the timing tables between
# KT-TIMING-BEGIN/END, then KT-DONE, and powers off.
export PATH=/bin LD_LIBRARY_PATH=/lib HOME=/tmp
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
chmod 1777 /tmp

result() { if [ "$2" -eq 0 ]; then echo "KT-RESULT $1 pass"; else echo "KT-RESULT $1 fail"; fi; }
finish() { echo KT-DONE; sync; poweroff -f; }

status=0
for module in usb-common usbcore usbip-core; do
  insmod "/modules/$module.ko" || status=1
done
# One controller (Debian's default is eight, each with two root hubs).
insmod /modules/vhci-hcd.ko num_controllers=1 || status=1
result modules "$status"
[ "$status" -eq 0 ] || finish

tree=/tmp/tree
vok-sim create "$tree" --tokens 2 --foreign 1 --units 255 \
  --foreign-vendor-id 0x1234 --foreign-product-id 0x5678 >/dev/null
mkdir -p /tmp/record
vok-sim attach "$tree" --record /tmp/record > /tmp/attach.log 2>&1 &
attach_pid=$!
# The three devices (device 001 of a bus is its root hub). Each wait of the
# guest gives up after a minute: far beyond its need, however loaded the host.
count=0
for _ in $(seq 600); do
  count=$(ls /dev/bus/usb/*/* 2>/dev/null | grep -vc '/001$')
  [ "$count" -ge 3 ] && break
  sleep 0.1
done
[ "$count" -ge 3 ]
result attach $?
cat /tmp/attach.log
sleep 0.5

# Attaching needs root, and a tree is attached once.
su -p -s /bin/sh nobody -c "vok-sim attach $tree" 2>&1 | tee /tmp/errors.out
vok-sim attach "$tree" 2>&1 | tee -a /tmp/errors.out
grep -q "needs root" /tmp/errors.out && grep -q "already attached by process $attach_pid" /tmp/errors.out
result attach-errors $?

VOK_KERNEL_TREE=$tree vok_kernel_test --gtest_brief=1
result end-to-end $?

# The README's demo session, on the token that remains.
DEMO_PIN=2468 WRONG_PIN=1357
export DEMO_PIN WRONG_PIN
demo() {
  vok list && vok info &&
    vok block provision --block 2 --vendor-id 0x1234 --new-pin-env DEMO_PIN --yes &&
    printf 'Hello from vok!' | vok write --block 2 --pin-env DEMO_PIN &&
    vok read --block 2 --length 32 --pin-env DEMO_PIN > /tmp/read.out &&
    cat /tmp/read.out && grep -q 'Hello from vok!' /tmp/read.out &&
    ! vok read --block 2 --length 32 --pin-env WRONG_PIN
}
demo
result demo $?

# vok doctor as a user who may read the token's node but not write it.
node=""
for candidate in /dev/bus/usb/*/*; do
  if [ "$(od -An -tx1 -j8 -N4 "$candidate" | tr -d ' ')" = 55f00104 ]; then node=$candidate; fi
done
chmod 0644 "$node"
su -p -s /bin/sh nobody -c "vok doctor" > /tmp/doctor.out 2>&1
doctor_status=$?
chmod 0664 "$node"
cat /tmp/doctor.out
[ "$doctor_status" -ne 0 ] && grep -q "$node" /tmp/doctor.out &&
  grep -q "cannot open it for reading and writing" /tmp/doctor.out
result doctor $?

# The timing table between KT-TIMING-BEGIN/END, under the title $1.
timing() {
  echo "KT-TIMING-BEGIN $1"
  vok_kernel_timing
  timing_status=$?
  echo KT-TIMING-END
  return "$timing_status"
}
timing "direct: vok-sim attach (socket pair to vhci-hcd)"
result timing $?

. /kernel-guest-wire.sh

# Detaching frees the kernel's ports.
vok-sim detach "$tree"
wait "$attach_pid"
attach_status=$?
used=$(grep -c '^hs  *[0-9]*  *006' /sys/devices/platform/vhci_hcd.0/status)
[ "$attach_status" -eq 0 ] && [ "$used" -eq 0 ] && [ ! -e "$tree/.attached" ]
result detach $?
cat /tmp/attach.log

# A server killed with SIGKILL, or a tree deleted while attached, leaves the
# kernel's ports free again; a stale record does not block the next attach.
ports_free() {
  for _ in $(seq 600); do
    grep -q '^hs  *[0-9]*  *006' /sys/devices/platform/vhci_hcd.0/status || return 0
    sleep 0.1
  done
  return 1
}
devices_present() {
  for _ in $(seq 600); do
    [ "$(ls /dev/bus/usb/*/* 2>/dev/null | grep -vc '/001$')" -ge "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
vok-sim attach "$tree" > /tmp/attach2.log 2>&1 &
server=$!
devices_present 2 && kill -9 "$server" && ports_free
killed=$?
vok-sim attach "$tree" > /tmp/attach3.log 2>&1 &
server=$!
devices_present 2 && rm -rf "$tree" && ports_free
deleted=$?
wait "$server"
[ "$killed" -eq 0 ] && [ "$deleted" -eq 0 ] && grep -q "state is gone" /tmp/attach3.log &&
  grep -q "node is gone" /tmp/attach3.log
result kill-and-delete $?
cat /tmp/attach2.log /tmp/attach3.log

. /kernel-guest-remote.sh
. /kernel-guest-monitor.sh

if grep -q 'kt.record=1' /proc/cmdline; then
  for file in /tmp/record/*.usbip /tmp/record-serve/*.usbip; do
    [ -e "$file" ] || continue
    name=$(basename "$file" .usbip)
    case "$file" in /tmp/record-serve/*) name=serve-$name ;; esac
    echo "KT-RECORD-BEGIN $name"
    base64 "$file"
    echo KT-RECORD-END
  done
fi
finish
