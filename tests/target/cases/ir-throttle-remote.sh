# SPDX-License-Identifier: GPL-2.0-or-later
# ir-throttle on the board's IR path: ir-ctl sends a remote's pulses through rc-loopback, the
# kernel's NEC and RC-5 decoders make scan codes of them on rc-core's input device, and each
# key that comes 250 ms or more after the last one sends its frame on can0, the board's
# serial-line adapter: the local echo takes it to can-bridge on the same can0 (its datagram; slcan
# does not echo itself, so the CAN layer does, as it sends), the adapter to the layout (candump
# on can1). Two presses 100 ms apart, a NEC key held (its
# decoder's repeats) and an RC-5 key held (its frame again, same toggle) act once each. A second
# reader of the input device holds the kernel's own time stamps, to show how the keys came.
# When the receiver goes away, ir-throttle ends with "error reading IR device: ..." and status 1.
. "$KIT_LIB"

ir_receiver nec rc-5
dd if="$event" of=scans bs=16 2>/dev/null &
reader=$!
candump -L can1 >bus &
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
can-bridge -f -i can0 -l 17654 -d 17655 -b 127.0.0.1 >/dev/null 2>bridge-errors &
bridge=$!
wait_for 5 sh -c "[ \$(ls -l /proc/$bridge/fd | grep -c socket:) -ge 3 ]"
start_monitor lan 17655
ir-throttle -i can0 -r "$event" -l 300 >lines 2>errors &
throttle=$!
wait_for 5 sh -c "ls -l /proc/$throttle/fd /proc/$reader/fd | grep -c '$event' | grep -qx 2"

# Each row one press, one held key (a NEC key's repeat codes 108 ms apart, an RC-5 key's frame
# again with the same toggle) or two presses about 100 ms apart, sent in one transmission; a row
# comes well past the guard after the one before.
for keys in "nec:0x10" "nec:0x10 gap:40000 nec-repeat gap:96000 nec-repeat" "nec:0x11 gap:30000 nec:0x11" \
    "rc5:0x0d gap:89000 rc5:0x0d" "rc5:0x03" "nec:0x1ff" "rc5:0x0c"; do
    # shellcheck disable=SC2086 # one word a signal
    ir_pulses $keys >row
    ir-ctl -d "$lirc" -s row || fail "ir-ctl $keys"
    sleep 0.3
done
wait_for 10 grep -q '^Start/Stop' lines
cansend can1 $LAST
stop_monitor lan
rmmod rc_loopback || fail "rmmod rc_loopback"
wait $throttle
status=$?
insmod /lib/modules/rc-loopback.ko || fail "insmod rc-loopback"

# The scan codes as the kernel's decoders gave them (EV_MSC MSC_SCAN records), with the ms since
# the first of each row: the held keys' repeats are there, in the same row.
scans=$(hexdump -v -e '4/4 "%u " "\n"' scans | awk '$3 == 262148 {
    t = $1 * 1000 + $2 / 1000; if (!n++ || t - row > 240) row = t; printf "%d+%d ", $4, t - row }')
echo "scan codes, each with its ms after the first of its row: $scans"
expect_eq "scan codes" "16 16 16 16 17 17 13 13 3 511 12" "$(echo "$scans" | sed 's/+[0-9]*//g; s/ $//')"
expect_eq "lines" "loco 300 speed + 16
loco 300 speed + 32
loco 300 speed - 16 
Direction
function 3
unhandled value 0x1ff
Start/Stop" "$(cat lines)"
frames="00080300#0000402C0010
00080300#0000402C0020
00080300#0000402C0010
000A0300#0000402C02
000C0300#0000402C0301
00000300#0000000001"
expect_eq "frames on the layout's side" "$frames" "$(sed -n '/1FFFFFFF#/q; s/^([0-9.]*) can1 //p' bus)"
expect_eq "datagrams from can-bridge on can0" "00 08 03 00 06 00 00 40 2c 00 10 00 00
00 08 03 00 06 00 00 40 2c 00 20 00 00
00 08 03 00 06 00 00 40 2c 00 10 00 00
00 0a 03 00 05 00 00 40 2c 02 10 00 00
00 0c 03 00 06 00 00 40 2c 03 01 00 00
00 00 03 00 05 00 00 00 00 01 01 00 00" "$(datagrams lan)"
expect_eq "status after the receiver went away" 1 $status
expect_eq "errors" "error reading IR device: No such device" "$(cat errors)"
expect_eq "can-bridge errors" "" "$(cat bridge-errors)"
