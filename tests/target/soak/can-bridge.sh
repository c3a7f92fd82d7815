# Soak: can-bridge forwards KIT_SOAK_FRAMES (default 1,000,000) numbered frames in each
# direction at the same time, each at 6,250 frames/s (the rate of a fully loaded 250 kbit/s CAN
# bus), with no frame lost, duplicated, reordered or corrupted, and its resident memory flat.
# kit-timeout: 1200
. "$KIT_LIB"

frames=${KIT_SOAK_FRAMES:-1000000}
rate=6250

# As a daemon, like on the board: no trace lines to pay for.
can-bridge -i vcan0 -b 127.0.0.1 || fail "can-bridge did not start"
sleep 1
pid=$(pidof can-bridge) || fail "can-bridge is not running"
rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status"; }
rss_start=$(rss)

# Generators and counters on CPU 1 when there is one (the runner keeps it free), the bridge on
# CPU 0.
generator=
[ "$(grep -c '^processor' /proc/cpuinfo)" -lt 2 ] || generator="taskset -c 1"
$generator frame-count -u 7655 -i 00F00001 -n "$frames" -t 20000 -r to-udp.ready >to-udp &
to_udp=$!
$generator frame-count -c vcan0 -i 00F00002 -n "$frames" -t 20000 -r to-can.ready >to-can &
to_can=$!
wait_for 10 test -e to-udp.ready
wait_for 10 test -e to-can.ready

$generator frame-flood -c vcan0 -i 00F00001 -n "$frames" -r $rate >flood-can &
flood_can=$!
$generator frame-flood -u 7654 -i 00F00002 -n "$frames" -r $rate >flood-udp &
flood_udp=$!

rss_max=$rss_start
samples=$rss_start
while kill -0 $to_udp 2>/dev/null || kill -0 $to_can 2>/dev/null; do
    sleep 10
    now=$(rss) || fail "can-bridge ended"
    [ -n "$now" ] || fail "can-bridge ended"
    samples="$samples $now"
    [ "$now" -gt "$rss_max" ] && rss_max=$now
done
wait $to_udp
up_status=$?
wait $to_can
down_status=$?
wait $flood_can
wait $flood_udp
rss_end=$(rss)
kill "$pid"

figure "soak can-bridge CAN->UDP: $(cat flood-can); $(cat to-udp)"
figure "soak can-bridge UDP->CAN: $(cat flood-udp); $(cat to-can)"
figure "soak can-bridge VmRSS kB: start $rss_start, end $rss_end, max $rss_max"
figure "soak can-bridge VmRSS kB every 10 s: $samples"
expect_eq "CAN->UDP count status" 0 $up_status
expect_eq "UDP->CAN count status" 0 $down_status
# Flat: what the first frames touched may settle in, nothing may keep growing.
[ $((rss_max - rss_start)) -le 16 ] || fail "resident memory grew from $rss_start to $rss_max kB"
