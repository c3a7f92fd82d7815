# SPDX-License-Identifier: GPL-2.0-or-later
# What every case may rely on: can0 and can1 up, the board's and the layout's serial-line
# adapters on one bus, carrying frames both ways between can-utils peers; vcan0 up; the IR
# receiver with no decoder on; the FUSE devices, and the zero-filled /dev/mem stand-in reaching
# past the PIO block.
. "$KIT_LIB"

expect_contains "can0 state" "UP" "$(ip link show can0)"
expect_contains "vcan0 state" "UP" "$(ip link show vcan0)"
candump -L -n 2 can0 >dump0 &
dump0=$!
candump -L -n 2 can1 >dump1 &
dump1=$!
wait_for 5 sh -c "[ \$(grep -c ' can[01] ' /proc/net/can/rcvlist_all) -ge 2 ]"
cansend can1 12345678#0102030405060708 || fail "cansend of an extended frame failed"
wait_for 5 grep -q 12345678 dump0
cansend can0 123#ff || fail "cansend of a standard frame failed"
wait_for 5 sh -c "! kill -0 $dump0 $dump1 2>/dev/null"
expect_eq "candump" "can0 12345678#0102030405060708
can0 123#FF
can1 12345678#0102030405060708
can1 123#FF" "$(sed 's/^([0-9.]*) //' dump0 dump1)"
ir_receiver
expect_eq "IR decoders at the start" "" "$(sed 's/\[lirc\]//' "$rc/protocols" | grep -o '\[[^]]*\]')"

[ -c /dev/fuse ] || fail "/dev/fuse is missing"
[ -c /dev/cuse ] || fail "/dev/cuse is missing"
grep -q '^evdev ' /proc/modules || fail "evdev is not loaded"

expect_contains "mounts" " /dev/mem " "$(cat /proc/mounts)"
expect_eq "/dev/mem size" $((0x01C22000)) "$(stat -c %s /dev/mem)"
expect_eq "PIO block" "0000000 0000 0000 0000 0000 0000 0000 0000 0000
*
0001000" "$(dd if=/dev/mem bs=4096 skip=$((0x01C20000 / 4096)) count=1 2>/dev/null | hexdump)"
