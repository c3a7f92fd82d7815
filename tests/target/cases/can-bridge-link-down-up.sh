# SPDX-License-Identifier: GPL-2.0-or-later
# can-bridge keeps running while can0, the board's serial-line adapter, goes down, reports what
# it cannot do meanwhile, and forwards both ways again once can0 is up, without a restart. The
# layout's adapter, can1, sends and watches the bus.
. "$KIT_LIB"

can-bridge -f -i can0 -l 17654 -d 17655 -b 127.0.0.1 >trace 2>errors &
bridge=$!
wait_for 5 sh -c "[ \$(ls -l /proc/$bridge/fd | grep -c socket:) -ge 3 ]"
start_monitor got 17655

cansend can1 00000001#01
wait_for 5 grep -q hex= got
ip link set can0 down || fail "can0 does not go down"
kit-send -p 17654 127.0.0.1 00000002#02
wait_for 5 grep -q "^CAN write error: " errors
ip link set can0 up || fail "can0 does not come up again"

candump -L -n 2 can1 >dump &
dump=$!
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
cansend can1 00000003#03
kit-send -p 17654 127.0.0.1 00000004#04
wait_for 5 sh -c "! kill -0 $dump 2>/dev/null"
wait_for 5 sh -c "[ \$(grep -c hex= got) -ge 2 ]"
kill -0 $bridge || fail "can-bridge ended"
kill $bridge

expect_eq "datagrams before and after" "00 00 00 01 01 01 00 00 00 00 00 00 00
00 00 00 03 01 03 00 00 00 00 00 00 00" "$(datagrams got)"
expect_eq "frames after" "can1 00000003#03
can1 00000004#04" "$(sed 's/^([0-9.]*) //' dump)"
expect_eq "write while down" "CAN write error: Network is down" "$(grep '^CAN write error: ' errors)"
# Going down may also wake the CAN socket with the error; that is reported, nothing else.
expect_eq "other errors" "" "$(grep -v -e '^CAN write error: ' -e '^CAN read error: Network is down$' errors)"
