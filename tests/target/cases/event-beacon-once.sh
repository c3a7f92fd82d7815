# SPDX-License-Identifier: GPL-2.0-or-later
# event-beacon -i 0 -f: exactly one beacon frame (0x00300300, no data, all 13 bytes present) on
# the VM's loopback, then status 0.
. "$KIT_LIB"

start_monitor frames 15731
event-beacon -i 0 -f -b 127.0.0.1 >trace 2>errors
status=$?
kit-send -p 15731 127.0.0.1 $LAST
stop_monitor frames

expect_eq "event-beacon status" 0 $status
expect_eq "frames" "00 30 03 00 00 00 00 00 00 00 00 00 00" "$(datagrams frames)"
expect_eq "errors" "" "$(cat errors)"
expect_eq "trace lines" 1 "$(wc -l <trace)"
