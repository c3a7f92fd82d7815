# SPDX-License-Identifier: GPL-2.0-or-later
# can-bridge -f on can0, the board's serial-line adapter: 13-byte datagrams become extended
# frames on the bus (candump on can1, the layout's adapter), flag bits in the
# top identifier bits stripped, all traced; datagrams of other lengths are refused with their
# length; a length byte of 9 is refused by the CAN layer and reported, and still traced.
. "$KIT_LIB"

candump -L can1 >dump &
dump=$!
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
can-bridge -f -i can0 -l 17654 -d 17655 -b 127.0.0.1 >trace 2>errors &
bridge=$!
wait_for 5 sh -c "[ \$(ls -l /proc/$bridge/fd | grep -c socket:) -ge 3 ]"

send_hex 17654 \
    "00123456 02 aabb000000000000" \
    "e0000001 00 0000000000000000" \
    "9fffffff 08 0102030405060708" \
    "" \
    "00000001 08 01020304050607" \
    "00000001 08 010203040506070809" \
    "00000042 09 0102030405060708" \
    "40000300 05 0000000001000000" || fail "udp-send failed"
wait_for 5 sh -c "[ \$(grep -c . trace) -ge 5 ]"
wait_for 5 grep -q 00000300# dump
kill $bridge $dump

expect_eq "frames on the bus" "can1 00123456#AABB
can1 00000001#
can1 1FFFFFFF#0102030405060708
can1 00000300#0000000001" "$(sed 's/^([0-9.]*) //' dump)"
expect_eq "trace" "->CAN>UDP CANID 0x00123456   [2] aa bb
->CAN>UDP CANID 0x00000001   [0]
->CAN>UDP CANID 0x1FFFFFFF   [8] 01 02 03 04 05 06 07 08
->CAN>UDP CANID 0x00000042   [9] 01 02 03 04 05 06 07 08
->CAN>UDP CANID 0x00000300   [5] 00 00 00 00 01" "$(cat trace)"
expect_eq "size errors" "UDP packet size error: got 0 bytes
UDP packet size error: got 12 bytes
UDP packet size error: got 14 bytes" "$(grep -v '^CAN write error: ' errors)"
expect_eq "refused length 9" 1 "$(grep -c '^CAN write error: ..*' errors)"
