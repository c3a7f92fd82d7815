# can-bridge keeps running while vcan0 goes down, reports what it cannot do meanwhile, and
# forwards both ways again once vcan0 is up, without a restart.
. "$KIT_LIB"

can-bridge -f -i vcan0 -l 17654 -d 17655 -b 127.0.0.1 >trace 2>errors &
bridge=$!
wait_for 5 sh -c "[ \$(ls -l /proc/$bridge/fd | grep -c socket:) -ge 3 ]"
start_monitor got 17655

cansend vcan0 00000001#01
wait_for 5 grep -q hex= got
ip link set vcan0 down || fail "vcan0 does not go down"
kit-send -p 17654 127.0.0.1 00000002#02
wait_for 5 grep -q "^CAN write error: " errors
ip link set vcan0 up || fail "vcan0 does not come up again"

candump -L -n 2 vcan0 >dump &
dump=$!
sleep 0.3
cansend vcan0 00000003#03
kit-send -p 17654 127.0.0.1 00000004#04
wait_for 5 sh -c "! kill -0 $dump 2>/dev/null"
wait_for 5 sh -c "[ \$(grep -c hex= got) -ge 2 ]"
kill -0 $bridge || fail "can-bridge ended"
kill $bridge

expect_eq "datagrams before and after" "00 00 00 01 01 01 00 00 00 00 00 00 00
00 00 00 03 01 03 00 00 00 00 00 00 00" "$(datagrams got)"
expect_eq "frames after" "vcan0 00000003#03
vcan0 00000004#04" "$(sed 's/^([0-9.]*) //' dump)"
expect_eq "write while down" "CAN write error: Network is down" "$(grep '^CAN write error: ' errors)"
# Going down may also wake the CAN socket with the error; that is reported, nothing else.
expect_eq "other errors" "" "$(grep -v -e '^CAN write error: ' -e '^CAN read error: Network is down$' errors)"
