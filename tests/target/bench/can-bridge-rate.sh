# kit-timeout: 3600
# can-bridge's forwarding rate in the VM, both directions, against the least a relay can do
# (can-bench's read-and-sendto and recvfrom-and-write loops): the highest rate with no loss
# over 100,000 frames, and the loss at 6,250 frames/s (8-byte extended frames filling a
# 1 Mbit/s bus). Once with the kernel's default receive buffers, once with 4 MiB ones
# (net.core.rmem_default, so the very same binaries are measured). Prints figures; fails only
# when a measurement cannot be made.
. "$KIT_LIB"
# The runner shows only a failing case's output; figures go to the console as they come.
exec >/dev/console 2>&1

FRAMES=100000
PROBE=20000
summary=$PWD/summary

bridge_pid() {
    for p in /proc/[0-9]*; do
        case "$(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)" in
        "can-bridge "*) echo "${p#/proc/}" ;;
        esac
    done
}

# start_relay bridge|floor: the relay under test on vcan0, UDP in on 17654, out to 17655.
start_relay() {
    relay_kind=$1
    if [ "$1" = bridge ]; then
        # As on the board: detached, no trace.
        can-bridge -i vcan0 -l 17654 -d 17655 -b 127.0.0.1 || fail "can-bridge did not start"
        relay=$(bridge_pid)
    else
        can-bench relay-can-udp -i vcan0 -p 17655 &
        relay=$!
        can-bench relay-udp-can -i vcan0 -p 17654 &
        relay="$relay $!"
    fi
    sleep 1
    # Emulation translates code on first use: a short run each way before measuring.
    can-bench c2u -i vcan0 -p 17655 -n 1000 -f 500 >/dev/null
    can-bench u2c -i vcan0 -p 17654 -n 1000 -f 500 >/dev/null
}

stop_relay() {
    kill $relay
    sleep 1
}

# trial c2u|u2c RATE COUNT: sets $lost and $received.
trial() {
    port=17655
    [ "$1" = u2c ] && port=17654
    line=$(can-bench "$1" -i vcan0 -p $port -n "$3" -f "$2") || fail "can-bench $1 failed"
    echo "bench:   $relay_kind $1 $line"
    set -- $line
    received=$6
    lost=$8
    # What the generator managed: above some rate the VM cannot even produce the frames.
    achieved=$(awk -v n="$4" -v s="${14}" 'BEGIN { printf "%d", (s > 0 ? n / s : 0) }')
}

# max_rate c2u|u2c: sets $max, the highest rate of a ladder with no loss, found with short
# probes and confirmed over $FRAMES frames (stepping down when the long run loses).
max_rate() {
    max=0
    for rate in 1000 1250 1500 1750 2000 2500 3000 4000 5000 6250 8000 10000 12500 16000 20000; do
        trial "$1" $rate $PROBE
        [ "$lost" = 0 ] || break
        [ $((achieved * 100)) -ge $((rate * 95)) ] || break
        max=$rate
    done
    if [ $max = 0 ]; then
        for rate in 750 500 250 125; do
            trial "$1" $rate $PROBE
            [ "$lost" = 0 ] && { max=$rate; break; }
        done
    fi
    tries=0
    while [ $max -gt 0 ] && [ $tries -lt 4 ]; do
        trial "$1" $max $FRAMES
        [ "$lost" = 0 ] && return
        max=$((max * 4 / 5))
        tries=$((tries + 1))
    done
    max=0
}

measure() {
    buffers=$1
    for dir in c2u u2c; do
        [ $dir = c2u ] && name="CAN->UDP" || name="UDP->CAN"
        start_relay bridge
        max_rate $dir
        bridge_max=$max
        trial $dir 6250 $FRAMES
        bridge_lost=$lost
        bridge_sent_at=$achieved
        stop_relay
        start_relay floor
        max_rate $dir
        floor_max=$max
        stop_relay
        awk -v n="$name" -v b="$buffers" -v bm=$bridge_max -v fm=$floor_max -v l=$bridge_lost \
            -v f=$FRAMES -v a=$bridge_sent_at 'BEGIN {
                ratio = "n/a"
                if (fm > 0)
                    ratio = sprintf("%.2f", bm / fm)
                printf "bench: can-bridge %s, %s receive buffers: no loss up to %d frames/s over %d frames; floor %d frames/s; ratio %s; at 6250 frames/s (generated at %d/s) lost %d of %d (%.1f%%)\n", n, b, bm, f, fm, ratio, a, l, f, 100 * l / f
            }' | tee -a "$summary"
    done
}

echo "bench: $(grep -m 1 BogoMIPS /proc/cpuinfo | tr -s '\t ' ' '), $(grep -c ^processor /proc/cpuinfo) CPU(s), receive buffers $(cat /proc/sys/net/core/rmem_default) bytes by default"
measure "default"
echo $((4 << 20)) >/proc/sys/net/core/rmem_default || fail "cannot enlarge rmem_default"
measure "4 MiB"
echo "bench: summary"
cat "$summary"
