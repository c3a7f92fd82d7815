# SPDX-License-Identifier: GPL-2.0-or-later
# s88-reporter in scan mode fed what it cannot send: the run ends with the send error, the
# terminating line and status 1. With -i 1 the zero-filled /dev/mem stand-in reads as all 16
# contacts of one module closed, so the fourth cycle has 16 changes to send.
. "$KIT_LIB"

s88-reporter -m 1 -i 1 -f -b 127.0.0.1 -p 0 >out 2>errors
expect_eq "status, port 0" 1 $?
expect_eq "errors, port 0" "create_event: error sending UDP data: Invalid argument
problem sending event data - terminating" "$(cat errors)"
expect_eq "trace, port 0" "" "$(cat out)"

# The second port fails after the first destination had the frame: still the end.
start_monitor frames 15730
s88-reporter -m 1 -i 1 -f -b 127.0.0.1 -s 65536 >out 2>errors
expect_eq "status, second port 0" 1 $?
kit-send -p 15730 127.0.0.1 $LAST
stop_monitor frames
expect_eq "errors, second port 0" "create_event: error sending UDP data (second socket): Invalid argument
problem sending event data - terminating" "$(cat errors)"
expect_eq "frames before the failure" "00 23 03 00 08 00 00 00 01 00 01 00 00" "$(datagrams frames)"

# Nothing wrong: each of the 16 closed contacts is reported once, 0 -> 1, in cycle 4, and the
# reporter goes on scanning without repeating them (for the rest of 4 s).
start_monitor frames 15730 -t 4
s88-reporter -m 1 -i 1 -f -b 127.0.0.1 >out 2>errors &
reporter=$!
wait $monitor_pid
kill -0 $reporter || fail "s88-reporter ended: $(cat errors)"
kill $reporter
expected=
for contact in 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10; do
    expected="$expected${expected:+
}00 23 03 00 08 00 00 00 $contact 00 01 00 00"
done
expect_eq "frames" "$expected" "$(datagrams frames)"
expect_eq "errors" "" "$(cat errors)"
expect_eq "trace lines of cycle 4" 16 "$(grep -c '^..:..:..\....... \[0x00000004\] ->S88>UDP' out)"
expect_eq "trace lines" 16 "$(wc -l <out)"
