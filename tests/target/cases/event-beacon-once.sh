# event-beacon -i 0 -f: exactly one beacon frame (0x00300300, no data, all 13 bytes present) on
# the VM's loopback, then status 0.
. "$KIT_LIB"

start_udp_dump frames 15731 -t 1500
event-beacon -i 0 -f -b 127.0.0.1 >trace 2>errors
status=$?
wait $udp_dump_pid

expect_eq "event-beacon status" 0 $status
expect_eq "frames" "13 00 30 03 00 00 00 00 00 00 00 00 00 00" "$(cat frames)"
expect_eq "errors" "" "$(cat errors)"
expect_eq "trace lines" 1 "$(wc -l <trace)"
