# SPDX-License-Identifier: GPL-2.0-or-later
# s88-reporter -m 0 -f: the toggling test event for contact 32 reaches a UDP listener on the
# VM's loopback as exact 13-byte S88 event frames (closed, open, closed), one trace line each.
. "$KIT_LIB"

start_monitor frames 15730 -c 3 -t 10
s88-reporter -m 0 -f -b 127.0.0.1 >trace 2>errors &
reporter=$!
wait $monitor_pid
kill $reporter

expect_eq "frames" "00 23 03 00 08 00 00 00 20 01 00 00 00
00 23 03 00 08 00 00 00 20 00 01 00 00
00 23 03 00 08 00 00 00 20 01 00 00 00" "$(datagrams frames)"
expect_eq "errors" "" "$(cat errors)"
expect_contains "trace" "->S88>UDP  CANID 0x00230300   [8]" "$(head -n 1 trace)"
