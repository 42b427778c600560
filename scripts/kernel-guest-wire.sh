# Sourced by kernel-guest.sh while the tree is attached: the wire as the real
# kernel shows it. usbmon's text (debugfs) and tcpdump on usbmon0 record a few
# vok runs on the tokens, with a stall (and the reset exchange after it), a
# missing echo and a token status among them, while the library writes its
# own capture (--capture) and its trace. vok decode of all three captures must
# give the trace's transactions, command for command and status for status.
# The tcpdump capture goes to the console between KT-WIRE-BEGIN/END for the
# host to check with tshark and the dissector.
wire_status=0
insmod /modules/usbmon.ko || wire_status=1
mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null
cat /sys/kernel/debug/usb/usbmon/0u > /tmp/usbmon.txt &
text_pid=$!
tcpdump -Z root -U -i usbmon0 -w /tmp/kernel.pcap 2>/tmp/tcpdump.log &
dump_pid=$!
sleep 1
for faults in "" "--fail-transfer 5" "--wrong-tag 19" "--status-phase 2 --status-value 23" ""; do
  for token in "$tree"/*/*; do
    # shellcheck disable=SC2086
    vok-sim fault set "$token" $faults >/dev/null 2>&1
  done
  VOK_DEBUG=2 vok --capture /tmp/library.pcap read --length 8 >/dev/null 2>>/tmp/trace.txt
done
for token in "$tree"/*/*; do vok-sim fault clear "$token" >/dev/null 2>&1; done
sleep 1
kill "$dump_pid" "$text_pid"
wait "$dump_pid" "$text_pid"
cat /tmp/tcpdump.log

# "CODE STATUS" per transaction, the code in decimal.
decoded() { vok decode --json "$1" | sed -n 's/.*"code":\([0-9]*\),.*"status":\([0-9a-z]*\),"summary".*/\1 \2/p'; }
grep -o 'transaction 0x[0-9a-f]* .*status [0-9]*' /tmp/trace.txt |
  while read -r _ code rest; do printf '%d %s\n' "$code" "${rest##* }"; done > /tmp/trace.list
decoded /tmp/library.pcap > /tmp/library.list
decoded /tmp/kernel.pcap > /tmp/kernel.list
decoded /tmp/usbmon.txt > /tmp/text.list
echo "wire: trace $(wc -l < /tmp/trace.list) transactions, library capture $(wc -l < /tmp/library.list)," \
  "tcpdump $(wc -l < /tmp/kernel.list), usbmon text $(wc -l < /tmp/text.list)"
vok decode /tmp/kernel.pcap
[ -s /tmp/trace.list ] && cmp /tmp/trace.list /tmp/library.list &&
  cmp /tmp/trace.list /tmp/kernel.list && cmp /tmp/trace.list /tmp/text.list || wire_status=1
result wire "$wire_status"
echo KT-WIRE-BEGIN
base64 /tmp/kernel.pcap
echo KT-WIRE-END
