#!/bin/sh
# The library through a real Linux kernel's usbfs, without hardware: boots
# Debian's own kernel in QEMU (TCG), loads vhci-hcd, attaches two virtual
# tokens and one foreign device with `vok-sim attach`, and runs in the guest
# the end-to-end test binary, the README's demo session with `vok`,
# `vok doctor` on a node the user cannot open, and the timing run; then the
# same devices over TCP: `vok-sim serve` on the guest's loopback and Debian's
# `usbip` client (list, attach, a refused second importer, detach), and
# `vok monitor` across attach cycles and a hot-plugged QEMU keyboard. Prints a
# short report; exits non-zero on any failure, and when QEMU or the kernel
# cannot be had (it never skips).
#
# VOK_KERNEL_WORK=DIR keeps the downloaded kernel and the guest's files there
# (default build/kernel-test). VOK_KERNEL_RECORD=DIR saves the kernel's
# USB/IP traffic of each attached device there (the fuzz corpus's seeds).
set -eu
cd "$(dirname "$0")/.."
source_dir=$PWD
work=${VOK_KERNEL_WORK:-$source_dir/build/kernel-test}
die() { echo "kernel-test: FAILED: $*" >&2; exit 1; }
started=$(date +%s)

# 1. Packages: the build's, then the guest's.
sh scripts/deps.sh
packages="qemu-system-x86 busybox-static kmod cpio xz-utils libusb-1.0-0-dev pkg-config usbip
tcpdump tshark python3"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  [ "$(id -u)" -eq 0 ] || die "needs these Debian packages:$missing (sudo apt-get install$missing)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || die "apt-get update failed"
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
    die "cannot install$missing"
fi
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing after installing"
usbip_client=$(command -v usbip || echo /usr/sbin/usbip)
[ -x "$usbip_client" ] || die "Debian's usbip client is missing after installing the usbip package"

# 2. The guest's programs, built without sanitizers.
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target vok vok_tool vok_sim vok_kernel_test vok_kernel_timing \
  >/dev/null || die "the build failed (cmake --build --preset release)"
build=$source_dir/build/release
programs="$build/sim/tool/vok-sim $build/tools/vok/vok $build/tests/kernel/vok_kernel_test
$build/tests/kernel/vok_kernel_timing $usbip_client $(command -v tcpdump)"

# 3. Debian's kernel, downloaded and unpacked (never installed on this host).
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
kernel_package=$(kernel_package)
if [ -z "$kernel_package" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -qq || die "apt-get update failed"
  kernel_package=$(kernel_package)
fi
[ -n "$kernel_package" ] || die "apt-cache names no kernel package behind linux-image-amd64"
mkdir -p "$work/deb"
if ! ls "$work/deb/${kernel_package}"_*.deb >/dev/null 2>&1; then
  rm -f "$work/deb/"*.deb
  (cd "$work/deb" && apt-get download "$kernel_package" >/dev/null 2>&1) ||
    die "cannot download $kernel_package (apt-get download $kernel_package)"
fi
deb=$(ls "$work/deb/${kernel_package}"_*.deb | head -1)
kernel_root=$work/kernel
if [ ! -f "$kernel_root/.unpacked" ] || [ "$(cat "$kernel_root/.unpacked")" != "$deb" ]; then
  rm -rf "$kernel_root"
  dpkg-deb -x "$deb" "$kernel_root" || die "cannot unpack $deb"
  version=$(ls "$kernel_root/lib/modules" | head -1)
  depmod -b "$kernel_root" "$version" || die "depmod failed on the unpacked modules"
  # The uncompressed kernel boots through its PVH entry: no decompression
  # under emulation. It is the XZ stream inside vmlinuz.
  vmlinuz=$kernel_root/boot/vmlinuz-$version
  offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1)
  [ -n "$offset" ] || die "no XZ payload in $vmlinuz"
  tail -c +"$((offset + 1))" "$vmlinuz" | xz -dc > "$kernel_root/vmlinux" 2>/dev/null || true
  [ "$(head -c 4 "$kernel_root/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
    die "cannot extract vmlinux from $vmlinuz"
  echo "$deb" > "$kernel_root/.unpacked"
fi
version=$(ls "$kernel_root/lib/modules" | head -1)

# 4. The initramfs: busybox, the four modules, the programs (with the usbip
# client) and their libraries.
initramfs=$work/initramfs
rm -rf "$initramfs"
mkdir -p "$initramfs/bin" "$initramfs/lib" "$initramfs/lib64" "$initramfs/modules" \
  "$initramfs/etc" "$initramfs/proc" "$initramfs/sys" "$initramfs/dev" "$initramfs/tmp"
cp /bin/busybox "$initramfs/bin/busybox"
for applet in $(/bin/busybox --list); do
  [ -e "$initramfs/bin/$applet" ] || ln -s busybox "$initramfs/bin/$applet"
done
for module in usb-common usbcore usbmon usbip-core vhci-hcd uhci-hcd; do
  path=$(modinfo -b "$kernel_root" -k "$version" -n "$module") || die "no module $module"
  case "$path" in
    *.xz) xz -dc "$path" > "$initramfs/modules/$module.ko" ;;
    *.zst) die "zstd-compressed module $path" ;;
    *) cp "$path" "$initramfs/modules/$module.ko" ;;
  esac
done
for program in $programs; do
  cp "$program" "$initramfs/bin/"
  for library in $(ldd "$program" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }'); do
    case "$library" in
      */ld-linux*) cp -L "$library" "$initramfs/lib64/" ;;
      *) cp -L "$library" "$initramfs/lib/" ;;
    esac
  done
done
printf 'root:x:0:0::/root:/bin/sh\nnobody:x:65534:65534::/:/bin/false\n' > "$initramfs/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' > "$initramfs/etc/group"
cp scripts/kernel-guest.sh "$initramfs/init"
cp scripts/kernel-guest-remote.sh "$initramfs/kernel-guest-remote.sh"
cp scripts/kernel-guest-monitor.sh "$initramfs/kernel-guest-monitor.sh"
cp scripts/kernel-guest-wire.sh "$initramfs/kernel-guest-wire.sh"
chmod 755 "$initramfs/init"
(cd "$initramfs" && find . | cpio -o -H newc --quiet) > "$work/initramfs.cpio"

# 5. Boot. The guest prints KT-RESULT lines and powers off.
record=0
[ -n "${VOK_KERNEL_RECORD:-}" ] && record=1
console=$work/console.log
boot_started=$(date +%s)
# A USB 1.1 controller (-usb) for the keyboard that the monitor's check asks
# the host to plug in through QEMU's monitor socket.
qemu_monitor=$work/qemu-monitor.sock
rm -f "$qemu_monitor"
timeout 600 qemu-system-x86_64 -accel tcg -smp 1 -m 512 -nographic -no-reboot -nic none -usb \
  -monitor "unix:$qemu_monitor,server=on,wait=off" \
  -kernel "$kernel_root/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 kt.record=$record" > "$console" 2>&1 &
qemu_pid=$!
keyboard_added=0
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ "$keyboard_added" = 0 ] && tr -d '\r' < "$console" | grep -q '^KT-KEYBOARD-PLEASE'; then
    python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])
s.sendall(b"device_add usb-kbd,id=kt-keyboard\n"); time.sleep(1); s.close()' "$qemu_monitor" ||
      echo "kernel-test: cannot reach QEMU's monitor" >&2
    keyboard_added=1
  fi
  sleep 1
done
wait "$qemu_pid" || true
boot_seconds=$(($(date +%s) - boot_started))

if [ "$record" = 1 ]; then
  mkdir -p "$VOK_KERNEL_RECORD"
  tr -d '\r' < "$console" |
    awk '/^KT-RECORD-BEGIN/ { name = $2; next } /^KT-RECORD-END/ { name = ""; next }
         name != "" { print > (dir "/" name ".b64") }' dir="$VOK_KERNEL_RECORD"
  for file in "$VOK_KERNEL_RECORD"/*.b64; do
    [ -e "$file" ] || continue
    base64 -d < "$file" > "${file%.b64}.usbip" && rm -f "$file"
  done
fi

# 6. The kernel's capture of the wire check: tshark with the dissector sees
# the transactions that vok decode sees (commands, and the tags handed out).
tr -d '\r' < "$console" | awk '/^KT-WIRE-END/ { inside = 0 } inside { print } /^KT-WIRE-BEGIN/ { inside = 1 }' |
  base64 -d > "$work/kernel.pcap" 2>/dev/null || true
wire_fields() {
  tshark -r "$work/kernel.pcap" -X lua_script:"$source_dir/tools/wireshark/vok.lua" -T fields \
    -e "$1" -Y "$2" 2>/dev/null
}
decode_fields() {
  "$build/tools/vok/vok" decode --json "$work/kernel.pcap" | sed -n "s/.*\"$1\":\([0-9]*\),\"$2\".*/\1/p" |
    while read -r value; do printf '0x%02x\n' "$value"; done
}
dissector=fail
if [ -s "$work/kernel.pcap" ] &&
  [ "$(wire_fields vok.command 'vok.kind == "packet" && vok.phase == 0')" = "$(decode_fields code command)" ] &&
  [ "$(wire_fields vok.tag 'vok.kind == "reply" && vok.phase == 0 && vok.status == 0')" = \
    "$(decode_fields tag time)" ]; then
  dissector=pass
fi

# 7. The report.
remote_seconds=$(tr -d '\r' < "$console" | sed -n 's/^KT-REMOTE-SECONDS //p')
echo "kernel-test: Debian kernel $version under QEMU TCG, guest run ${boot_seconds}s" \
  "(of which the remote path ${remote_seconds:-?}s; whole script $(($(date +%s) - started))s)"
tr -d '\r' < "$console" | awk '
  /^KT-TIMING-BEGIN/ { sub(/^KT-TIMING-BEGIN /, ""); print; inside = 1; next }
  /^KT-TIMING-END/ { inside = 0; next }
  inside { print "  " $0 }
  inside && /^bare USBDEVFS_CONTROL/ { floor[++n] = $(NF - 1) }
  END { if (n == 2) printf "per transfer: %s us through vok-sim serve and usbip attach, %s us attached directly (%.2fx)\n", floor[2], floor[1], floor[2] / floor[1] }'
tr -d '\r' < "$console" | grep '^KT-SHARING' | sed 's/^KT-SHARING /  one token, /'
tr -d '\r' < "$console" | grep '^KT-MONITOR' | sed 's/^KT-MONITOR /  vok monitor: /'
tr -d '\r' < "$console" | grep '^KT-RESULT' | sed 's/^KT-RESULT /  /'
echo "  dissector $dissector (tshark with vok.lua on the kernel's tcpdump capture)"
if ! tr -d '\r' < "$console" | grep -q '^KT-DONE'; then
  tail -n 60 "$console" >&2
  die "the guest did not finish (console: $console)"
fi
if tr -d '\r' < "$console" | grep '^KT-RESULT' | grep -qv ' pass$'; then
  tr -d '\r' < "$console" | grep -v '^KT-RECORD' | tail -n 120 >&2
  die "a check in the guest failed (console: $console)"
fi
[ "$dissector" = pass ] || die "the dissector disagrees with vok decode on $work/kernel.pcap"
echo "kernel-test: passed"
