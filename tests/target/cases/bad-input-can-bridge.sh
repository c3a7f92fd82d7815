# SPDX-License-Identifier: GPL-2.0-or-later
# can-bridge fed bad input: every row of its loop failures prints its line and the gateway goes
# on forwarding. Bad datagrams between good ones, a length byte of 9 (the CAN layer refuses it;
# the trace shows no more than the 8 bytes a frame has), standard frames, can0 (the board's
# serial-line adapter) going down and up, and a destination that cannot be sent to. The layout's
# adapter, can1, sends and watches the bus.
# kit-timeout: 90
. "$KIT_LIB"
command -v can-bridge >/dev/null || skip "can-bridge is not in this build"

candump -L can1 >on-can &
candump_pid=$!
start_monitor to-udp 7655
can-bridge -f -i can0 -b 127.0.0.1 >trace 2>errors &
bridge=$!
sleep 1

long=$(i=0; while [ $i -lt 500 ]; do printf 'ffffffffffffffffffff'; i=$((i + 1)); done)
send_hex 7654 \
    80123456021122334455667788 \
    001234560211223344556677 \
    0012345602112233445566778899 \
    - \
    "$long" \
    000000010900010203040506070809 \
    00000001090001020304050607 \
    1fffffff08a0a1a2a3a4a5a6a7 || fail "udp-send"
sleep 1
cansend can1 123#1122 || fail "cansend standard frame"
cansend can1 00abcdef#33 || fail "cansend extended frame"
sleep 1

# The gateway's interface goes down: the gateway must go on.
ip link set can0 down || fail "can0 down"
sleep 0.5
kit-send 127.0.0.1 00000002#01 || fail "kit-send while down"
sleep 0.5
ip link set can0 up || fail "can0 up"
sleep 0.5
kit-send 127.0.0.1 00000003#03 || fail "kit-send after up"
sleep 1
# The bridge is done with what it forwarded to UDP once it traced the last frame.
wait_for 5 grep -q 'CANID 0x00000003' trace
wait_for 5 grep -q '00000003#03' on-can
kit-send -p 7655 127.0.0.1 $LAST
stop_monitor to-udp
kill -0 $bridge || fail "can-bridge ended: $(cat errors)"
kill $bridge $candump_pid

# On CAN: the good datagrams, flag bits stripped, nothing from the bad ones; and the two frames
# cansend put there; nothing while can0 was down, the datagram after it came back.
expect_eq "frames on the bus" "00123456#1122
1FFFFFFF#A0A1A2A3A4A5A6A7
123#1122
00ABCDEF#33
00000003#03" "$(cut -d ' ' -f 3 on-can)"
# On UDP: the extended frame only, its first 7 bytes (the rest is what the buffer held).
expect_eq "datagrams" "00 ab cd ef 01 33" "$(datagrams to-udp | cut -c 1-17)"
expect_eq "errors" "UDP packet size error: got 12 bytes
UDP packet size error: got 14 bytes
UDP packet size error: got 0 bytes
UDP packet size error: got 4096 bytes
UDP packet size error: got 15 bytes
CAN write error: Invalid argument
CAN read error: Network is down
CAN write error: Network is down" "$(cat errors)"
expect_eq "trace" "->CAN>UDP CANID 0x00123456   [2] 11 22
->CAN>UDP CANID 0x00000001   [9] 00 01 02 03 04 05 06 07
->CAN>UDP CANID 0x1FFFFFFF   [8] a0 a1 a2 a3 a4 a5 a6 a7
->CAN>UDP CANID 0x00ABCDEF   [1] 33
->CAN>UDP CANID 0x00000002   [1] 01
->CAN>UDP CANID 0x00000003   [1] 03" "$(cat trace)"

# A destination that cannot be sent to (port 0): each frame is reported and still traced, and
# the other direction goes on.
candump -L can1 >on-can2 &
candump_pid=$!
can-bridge -f -i can0 -b 127.0.0.1 -d 0 >trace2 2>errors2 &
bridge=$!
sleep 1
cansend can1 00000010#10 || fail "cansend"
cansend can1 00000011#11 || fail "cansend"
sleep 0.5
kit-send 127.0.0.1 00000012#12 || fail "kit-send"
sleep 1
kill $bridge $candump_pid
expect_eq "errors, port 0" "UDP write error: Invalid argument
UDP write error: Invalid argument" "$(cat errors2)"
expect_eq "trace, port 0" "->CAN>UDP CANID 0x00000010   [1] 10
->CAN>UDP CANID 0x00000011   [1] 11
->CAN>UDP CANID 0x00000012   [1] 12" "$(cat trace2)"
expect_eq "frames on the bus, port 0" "00000010#10
00000011#11
00000012#12" "$(cut -d ' ' -f 3 on-can2)"
