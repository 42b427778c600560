# The token monitor through the real usbfs, sourced by kernel-guest.sh:
# `vok monitor --json` runs while a virtual token is attached to vhci-hcd and
# detached again in cycles, and while the host adds a QEMU USB keyboard
# (device_add on the QEMU monitor, asked for with KT-KEYBOARD-PLEASE). Every
# attach must give one arrival and every detach one departure, in turn, and
# the keyboard nothing.
monitor_tree=/tmp/monitor-tree
monitor_cycles=5
insmod /modules/uhci-hcd.ko 2>/dev/null
vok-sim create "$monitor_tree" --tokens 1 >/dev/null
vok monitor --json --present > /tmp/monitor.out 2> /tmp/monitor.err &
monitor_pid=$!
tokens_present() {
  for _ in $(seq 100); do
    found=0
    for candidate in /dev/bus/usb/*/*; do
      [ "$(od -An -tx1 -j8 -N4 "$candidate" 2>/dev/null | tr -d ' ')" = 55f00104 ] && found=$((found + 1))
    done
    [ "$found" -eq "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
cycles_status=0
for cycle in $(seq "$monitor_cycles"); do
  vok-sim attach "$monitor_tree" > /tmp/monitor-attach.log 2>&1 &
  server=$!
  tokens_present 1 || cycles_status=1
  vok-sim detach "$monitor_tree"
  wait "$server"
  tokens_present 0 || cycles_status=1
done
echo KT-KEYBOARD-PLEASE
keyboard=""
for _ in $(seq 300); do
  for candidate in /dev/bus/usb/*/*; do
    [ "$(od -An -tx1 -j8 -N2 "$candidate" 2>/dev/null | tr -d ' ')" = 2706 ] && keyboard=$candidate
  done
  [ -n "$keyboard" ] && break
  sleep 0.1
done
echo "keyboard node: ${keyboard:-none}"
# One more cycle after the keyboard: the monitor is still awake and says
# nothing of it.
vok-sim attach "$monitor_tree" > /tmp/monitor-attach.log 2>&1 &
server=$!
tokens_present 1 || cycles_status=1
vok-sim detach "$monitor_tree"
wait "$server"
tokens_present 0 || cycles_status=1
sleep 1
kill "$monitor_pid"
wait "$monitor_pid" 2>/dev/null
cat /tmp/monitor.out /tmp/monitor.err
arrived=$(grep -c '"event":"arrived"' /tmp/monitor.out)
left=$(grep -c '"event":"left"' /tmp/monitor.out)
# Paired: the events alternate arrived, left, arrived...
alternating=$(awk -F'"event":"' '{ split($2, e, "\""); if (e[1] == last) bad = 1; last = e[1] }
  END { print bad ? 1 : 0 }' /tmp/monitor.out)
echo "KT-MONITOR $arrived arrivals and $left departures over $((monitor_cycles + 1)) attach cycles; keyboard ${keyboard:-not added}"
[ "$cycles_status" -eq 0 ] && [ "$arrived" -eq $((monitor_cycles + 1)) ] &&
  [ "$left" -eq $((monitor_cycles + 1)) ] && [ "$alternating" -eq 0 ] && [ -n "$keyboard" ] &&
  ! grep -q "\"$keyboard\"" /tmp/monitor.out
result monitor $?
