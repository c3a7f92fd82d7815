# SPDX-License-Identifier: GPL-2.0-or-later
# can-bridge -f on can0, the board's serial-line adapter: extended frames from the layout
# (cansend on can1, the layout's adapter), 0 to 8 bytes and remote requests, reach
# the UDP destination as exact 13-byte datagrams, one trace line each; standard frames are
# dropped without a datagram, a trace line or a message. Data bytes past a frame's length keep
# what the previous frame left in the buffer.
. "$KIT_LIB"

can-bridge -f -i can0 -l 17654 -d 17655 -b 127.0.0.1 >trace 2>errors &
bridge=$!
# Ready once its three sockets are open.
wait_for 5 sh -c "[ \$(ls -l /proc/$bridge/fd | grep -c socket:) -ge 3 ]"
start_monitor got 17655

for frame in 00000000# 00000001#11 00000002#1122 123#AABB 00000003#112233 00000004#11223344 \
    00000005#1122334455 00000006#112233445566 7FF#R 00000007#11223344556677 \
    1FFFFFFF#8899AABBCCDDEEFF 12345678#R 0ABCDEF0#R3 00000009#01 $LAST; do
    cansend can1 $frame || fail "cansend $frame"
done
stop_monitor got
kill $bridge

expect_eq "datagrams" "00 00 00 00 00 00 00 00 00 00 00 00 00
00 00 00 01 01 11 00 00 00 00 00 00 00
00 00 00 02 02 11 22 00 00 00 00 00 00
00 00 00 03 03 11 22 33 00 00 00 00 00
00 00 00 04 04 11 22 33 44 00 00 00 00
00 00 00 05 05 11 22 33 44 55 00 00 00
00 00 00 06 06 11 22 33 44 55 66 00 00
00 00 00 07 07 11 22 33 44 55 66 77 00
1f ff ff ff 08 88 99 aa bb cc dd ee ff
12 34 56 78 00 88 99 aa bb cc dd ee ff
0a bc de f0 03 00 00 00 bb cc dd ee ff
00 00 00 09 01 01 00 00 bb cc dd ee ff" "$(datagrams got)"
expect_eq "trace" "->CAN>UDP CANID 0x00000000   [0]
->CAN>UDP CANID 0x00000001   [1] 11
->CAN>UDP CANID 0x00000002   [2] 11 22
->CAN>UDP CANID 0x00000003   [3] 11 22 33
->CAN>UDP CANID 0x00000004   [4] 11 22 33 44
->CAN>UDP CANID 0x00000005   [5] 11 22 33 44 55
->CAN>UDP CANID 0x00000006   [6] 11 22 33 44 55 66
->CAN>UDP CANID 0x00000007   [7] 11 22 33 44 55 66 77
->CAN>UDP CANID 0x1FFFFFFF   [8] 88 99 aa bb cc dd ee ff
->CAN>UDP CANID 0x12345678   [0]
->CAN>UDP CANID 0x0ABCDEF0   [3] 00 00 00
->CAN>UDP CANID 0x00000009   [1] 01
->CAN>UDP CANID 0x1FFFFFFF   [3] 45 4e 44" "$(cat trace)"
expect_eq "errors" "" "$(cat errors)"
