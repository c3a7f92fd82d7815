# SPDX-License-Identifier: GPL-2.0-or-later
# can-bridge's options at work on the target: default ports, -l cut to 16 bits, -b with a
# broadcast address (needs SO_BROADCAST), -i cut to 15 characters, a missing interface, the
# same port for -l and -d (its own datagrams go to the bus once, no loop), and the daemon. The
# gateway runs on can0, the board's serial-line adapter; the layout's, can1, sends and watches.
. "$KIT_LIB"

bridge_ready() {
    wait_for 5 sh -c "[ \$(ls -l /proc/$1/fd 2>/dev/null | grep -c socket:) -ge 3 ]"
}

# Default ports 7654 in, 7655 out; -b with lo's broadcast address.
can-bridge -f -i can0 -b 127.255.255.255 >trace 2>errors &
bridge=$!
bridge_ready $bridge
start_monitor got 7655 -c 1 -t 10
cansend can1 00000765#55
wait $monitor_pid
expect_eq "datagram to lo's broadcast address on port 7655" "00 00 07 65 01 55 00 00 00 00 00 00 00" "$(datagrams got)"
candump -L -n 1 can1 >dump &
dump=$!
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
kit-send 127.0.0.1 00000654#55
wait_for 5 sh -c "! kill -0 $dump 2>/dev/null"
expect_eq "frame from port 7654" "can1 00000654#55" "$(sed 's/^([0-9.]*) //' dump)"
expect_eq "errors" "" "$(cat errors)"
kill $bridge

# -l 70000 listens on 4464; a 20-character -i names the interface by its first 15 (can0 renamed
# for the while).
rename() {
    ip link set "$1" down && ip link set "$1" name "$2" && ip link set "$2" up || fail "$1 not renamed $2"
}
rename can0 can0_abcdefghij
can-bridge -f -i can0_abcdefghijKLMNO -l 70000 -d 17001 -b 127.0.0.1 >trace2 2>errors2 &
bridge=$!
bridge_ready $bridge
candump -L -n 1 can1 >dump2 &
dump=$!
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
kit-send -p 4464 127.0.0.1 00004464#
wait_for 5 sh -c "! kill -0 $dump 2>/dev/null"
kill $bridge
wait $bridge
rename can0_abcdefghij can0
expect_eq "frame from port 4464" "can1 00004464#" "$(sed 's/^([0-9.]*) //' dump2)"
expect_eq "errors with -l 70000" "" "$(cat errors2)"

# A missing interface ends the start-up.
expect_status "missing interface" 1 can-bridge -f -i nosuchcan0 -l 17002 2>missing
expect_eq "missing interface" "CAN setup error: No such device" "$(cat missing)"

# One port for -l and -d: its own datagram comes back and goes to the bus once; the bridge
# does not read its own frames back, so there is no loop.
candump -L can1 >dump3 &
dump=$!
can-bridge -f -i can0 -l 17003 -d 17003 -b 127.0.0.1 >trace3 2>errors3 &
bridge=$!
bridge_ready $bridge
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
cansend can1 00000333#33
sleep 1
expect_eq "own datagram on the bus once" "can1 00000333#33
can1 00000333#33" "$(sed 's/^([0-9.]*) //' dump3)"
expect_eq "trace of both ways" "->CAN>UDP CANID 0x00000333   [1] 33
->CAN>UDP CANID 0x00000333   [1] 33" "$(cat trace3)"
kill $dump $bridge

# Without -f: detaches with status 0 once its sockets are open, prints nothing, and forwards.
expect_status "going into the background" 0 can-bridge -i can0 -l 17004 -d 17005 -b 127.0.0.1 \
    >daemon-out 2>daemon-err
start_monitor got4 17005 -c 1 -t 10
cansend can1 00000004#04
wait $monitor_pid
expect_eq "datagram from the daemon" "00 00 00 04 01 04 00 00 00 00 00 00 00" "$(datagrams got4)"
expect_eq "daemon output" "" "$(cat daemon-out daemon-err)"
