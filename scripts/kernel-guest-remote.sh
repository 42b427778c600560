# Sourced by the guest's /init (kernel-guest.sh) once the directly attached
# devices are gone: the remote path. `vok-sim serve` offers a fresh tree on
# 127.0.0.1, Debian's `usbip` client lists it and attaches its devices through
# the kernel's vhci-hcd over TCP, and the end-to-end binary, the demo and the
# timing run go through it; a second importer is refused, `usbip detach`
# frees the ports, and SIGTERM stops the server.
remote_started=$(date +%s)
ip link set lo up || ifconfig lo 127.0.0.1 up
remote=/tmp/remote
vok-sim create "$remote" --tokens 2 --foreign 1 --units 255 \
  --foreign-vendor-id 0x1234 --foreign-product-id 0x5678 >/dev/null
mkdir -p /tmp/record-serve /var/run
vok-sim serve "$remote" --record /tmp/record-serve > /tmp/serve.log 2>&1 &
serve_pid=$!
for _ in $(seq 600); do
  grep -q '^serving' /tmp/serve.log && break
  sleep 0.1
done

# Four clients list at once; each sees the two tokens and the foreign device.
list_pids=""
for i in 1 2 3 4; do
  usbip list -r 127.0.0.1 > "/tmp/list$i.out" 2>&1 &
  list_pids="$list_pids $!"
done
listed=0
for pid in $list_pids; do wait "$pid" || listed=1; done
cat /tmp/list1.out
for i in 1 2 3 4; do
  [ "$(grep -c 'f055:0401' "/tmp/list$i.out")" -eq 2 ] && grep -q '1-4:.*(1234:5678)' "/tmp/list$i.out" ||
    listed=1
done
result remote-list "$listed"

attached=0
for busid in 1-2 1-3 1-4; do usbip attach -r 127.0.0.1 -b "$busid" || attached=1; done
devices_present 3 || attached=1
usbip port
result remote-attach "$attached"

# A second client asks for a device that is attached already.
usbip attach -r 127.0.0.1 -b 1-2 > /tmp/busy.out 2>&1
busy_status=$?
cat /tmp/busy.out
[ "$busy_status" -ne 0 ] && grep -q 'Device busy' /tmp/busy.out &&
  grep -q "import of '1-2' refused: imported by another client" /tmp/serve.log
result remote-second-client-refused $?

VOK_KERNEL_TREE=$remote vok_kernel_test --gtest_brief=1
result remote-end-to-end $?
demo
result remote-demo $?
VOK_KERNEL_TREE=$remote timing "remote: vok-sim serve + usbip attach (TCP over loopback)"
result remote-timing $?

# The end-to-end binary unplugged the second token, which released its port;
# `usbip detach` frees the others, and the server sees each client go.
detached=0
for port in $(usbip port | sed -n 's/^Port \([0-9]*\):.*/\1/p'); do
  usbip detach -p "$port" || detached=1
done
ports_free || detached=1
released() { [ "$(grep -c ': released ' /tmp/serve.log)" -eq 3 ]; }
for _ in $(seq 600); do released && break; sleep 0.1; done
released || detached=1
result remote-detach "$detached"

kill -TERM "$serve_pid"
wait "$serve_pid"
serve_status=$?
cat /tmp/serve.log
[ "$serve_status" -eq 0 ] && tail -n 1 /tmp/serve.log | grep -q '^stopped'
result remote-stop $?
echo "KT-REMOTE-SECONDS $(($(date +%s) - remote_started))"
