# SPDX-License-Identifier: GPL-2.0-or-later
# Soak: can-bridge forwards KIT_SOAK_FRAMES (default 1,000,000) numbered frames in each
# direction at the same time, each at 6,250 frames/s (the rate of a fully loaded 250 kbit/s CAN
# bus), with no frame lost, duplicated, reordered or corrupted, and its resident memory flat.
# can-bench makes and counts the frames: cangen cannot hold a rate (it sleeps a gap per burst)
# and, in this VM, makes fewer than 6,250 a second. On vcan0, which takes frames as fast as they
# come: the soak judges can-bridge, not the serial line of the board's adapter.
# kit-timeout: 1200
. "$KIT_LIB"

frames=${KIT_SOAK_FRAMES:-1000000}
rate=6250

# As a daemon, like on the board: no trace lines to pay for. It returns once its sockets are open.
can-bridge -i vcan0 -b 127.0.0.1 || fail "can-bridge did not start"
pid=$(pidof can-bridge) || fail "can-bridge is not running"
rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status"; }
rss_start=$(rss)

# Generators and counters on CPU 1 when there is one (the runner keeps it free), the bridge on
# CPU 0; what is still on its way after the last frame sent gets 20 s.
generator=
[ "$(grep -c '^processor' /proc/cpuinfo)" -lt 2 ] || generator="taskset -c 1"
$generator can-bench c2u -i vcan0 -p 7655 -I 00F00001 -n "$frames" -f $rate -w 20 >to-udp &
to_udp=$!
$generator can-bench u2c -i vcan0 -p 7654 -I 00F00002 -n "$frames" -f $rate -w 20 >to-can &
to_can=$!

rss_max=$rss_start
samples=$rss_start
while kill -0 $to_udp 2>/dev/null || kill -0 $to_can 2>/dev/null; do
    sleep 10
    now=$(rss) || fail "can-bridge ended"
    [ -n "$now" ] || fail "can-bridge ended"
    samples="$samples $now"
    [ "$now" -gt "$rss_max" ] && rss_max=$now
done
rss_end=$(rss)
kill "$pid"

figure "soak can-bridge CAN->UDP: $(cat to-udp)"
figure "soak can-bridge UDP->CAN: $(cat to-can)"
figure "soak can-bridge VmRSS kB: start $rss_start, end $rss_end, max $rss_max"
figure "soak can-bridge VmRSS kB every 10 s: $samples"
all="received $frames lost 0 duplicate 0 corrupt 0"
expect_contains "CAN->UDP" "$all" "$(cat to-udp)"
expect_contains "CAN->UDP" "reordered 0" "$(cat to-udp)"
expect_contains "UDP->CAN" "$all" "$(cat to-can)"
expect_contains "UDP->CAN" "reordered 0" "$(cat to-can)"
# Flat: what the first frames touched may settle in, nothing may keep growing.
[ $((rss_max - rss_start)) -le 16 ] || fail "resident memory grew from $rss_start to $rss_max kB"
