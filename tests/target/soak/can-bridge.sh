# Soak: can-bridge forwards KIT_SOAK_FRAMES (default 1,000,000) numbered frames in each
# direction at the same time, each at about 6,250 frames/s (the rate of a fully loaded 250 kbit/s
# CAN bus), with no frame lost, duplicated, reordered or corrupted, and its resident memory flat.
# cangen numbers the frames (-D i: the data is a little-endian count from 1); those for the UDP
# side come from vcan1 as the datagrams of a second can-bridge.
# kit-timeout: 1200
. "$KIT_LIB"

frames=${KIT_SOAK_FRAMES:-1000000}

# As a daemon, like on the board: no trace lines to pay for.
can-bridge -i vcan0 -b 127.0.0.1 || fail "can-bridge did not start"
pid=$(pidof can-bridge) || fail "can-bridge is not running"
rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status"; }
rss_start=$(rss)

# Generators and counters on CPU 1 when there is one (the runner keeps it free), the bridge on
# CPU 0. Receive queues with room for bursts: the counters must not be where frames get lost.
generator=
[ "$(grep -c '^processor' /proc/cpuinfo)" -lt 2 ] || generator="taskset -c 1"
echo $((32 << 20)) >/proc/sys/net/core/rmem_max
ip link add dev vcan1 type vcan && ip link set vcan1 up || fail "no vcan1"
$generator can-bridge -f -i vcan1 -l 17999 -d 7654 -b 127.0.0.1 >/dev/null 2>feeder.errors &
feeder=$!
wait_for 5 sh -c "[ \$(ls -l /proc/$feeder/fd | grep -c socket:) -ge 3 ]"

# The frames that come, without the time and interface of their candump log lines, kept for
# after the run.
$generator kit-monitor -p 7655 -c "$frames" -L - 2>to-udp.errors | $generator cut -d ' ' -f 3 >to-udp &
to_udp=$!
filters=$(cat /proc/net/can/rcvlist_* | grep -c ' vcan0 ')
$generator candump -L -n "$frames" -r $((16 << 20)) vcan0,00F00002:1FFFFFFF |
    $generator cut -d ' ' -f 3 >to-can &
to_can=$!
wait_for 10 grep -q '^listening' to-udp.errors
wait_for 10 sh -c "[ \$(cat /proc/net/can/rcvlist_* | grep -c ' vcan0 ') -gt $filters ]"

# 25 frames every 4 ms: about 6,250 a second, less what the sleeps overrun.
uptime_cs() { sed 's/^\([0-9]*\)\.\([0-9]*\) .*/\1\2/' /proc/uptime; }
start=$(uptime_cs)
for to in vcan0 vcan1; do
    id=00F00001
    [ $to = vcan0 ] || id=00F00002
    ($generator cangen $to -e -I $id -L 8 -D i -g 4 -c 25 -p 1000 -n "$frames" &&
        uptime_cs || echo "cangen $to failed") >"sent-$to" &
done

rss_max=$rss_start
samples=$rss_start
while ! [ -s sent-vcan0 ] || ! [ -s sent-vcan1 ]; do
    sleep 10
    now=$(rss) || fail "can-bridge ended"
    [ -n "$now" ] || fail "can-bridge ended"
    samples="$samples $now"
    [ "$now" -gt "$rss_max" ] && rss_max=$now
done
# What is still under way gets 20 s to arrive.
tries=100
while pidof kit-monitor candump >/dev/null && [ $tries -gt 0 ]; do
    sleep 0.2
    tries=$((tries - 1))
done
kill $(pidof kit-monitor candump) 2>/dev/null
wait $to_udp $to_can
rss_end=$(rss)
kill "$pid" $feeder

sent() {
    awk -v n="$frames" -v s="$start" '/^[0-9]+$/ { t = ($1 - s) / 100
        printf "sent %d frames in %.1f s (%.0f frames/s)\n", n, t, n / t; next } 1' "sent-$1"
}
# Frame k must be ID#k, as cangen -D i made it.
in_sequence() {
    awk -v id="$1" '{
        want = sprintf("%s#%02X%02X%02X%02X00000000", id, NR % 256, int(NR / 256) % 256,
                       int(NR / 65536) % 256, int(NR / 16777216))
        if ($1 == want) good++
        else if (!bad) bad = ", the first other " NR ": " $1
    } END { printf "received %d, %d of them in sequence%s\n", NR, good, bad }' "$2"
}
in_sequence 00F00001 to-udp >to-udp.tally
in_sequence 00F00002 to-can >to-can.tally
figure "soak can-bridge CAN->UDP: $(sent vcan0); $(cat to-udp.tally)"
figure "soak can-bridge UDP->CAN: $(sent vcan1); $(cat to-can.tally)"
figure "soak can-bridge VmRSS kB: start $rss_start, end $rss_end, max $rss_max"
figure "soak can-bridge VmRSS kB every 10 s: $samples"
expect_eq "CAN->UDP" "received $frames, $frames of them in sequence" "$(cat to-udp.tally)"
expect_eq "UDP->CAN" "received $frames, $frames of them in sequence" "$(cat to-can.tally)"
expect_eq "errors of the second can-bridge" "" "$(cat feeder.errors)"
# Flat: what the first frames touched may settle in, nothing may keep growing.
[ $((rss_max - rss_start)) -le 16 ] || fail "resident memory grew from $rss_start to $rss_max kB"
