# The UDP helpers other cases lean on: what udp-send sends, udp-dump prints byte for byte, an
# empty datagram included; udp-send refuses half bytes before sending anything.
. "$KIT_LIB"

start_udp_dump got 4000 -n 3 -t 3000
udp-send -p 4000 0023030008000000200100 "00 ff 7F" "" || fail "udp-send failed"
wait $udp_dump_pid
expect_eq "udp-dump status" 0 $?
expect_eq "datagrams" "11 00 23 03 00 08 00 00 00 20 01 00
3 00 ff 7f
0" "$(cat got)"

start_udp_dump got 4001 -n 1 -t 500
expect_status "udp-send with an odd digit count" 2 udp-send -p 4001 00 123
wait $udp_dump_pid
expect_eq "udp-dump status when fewer came" 1 $?
expect_eq "datagrams after a refused udp-send" "" "$(cat got)"
