# SPDX-License-Identifier: GPL-2.0-or-later
# kit-timeout: 3600
# can-bridge's forwarding rate in the VM, both directions, against the least a relay can do
# (can-bench's read-and-sendto and recvfrom-and-write loops): the highest rate with no loss
# over 100,000 frames, and the loss at 6,250 frames/s (8-byte extended frames filling a
# 1 Mbit/s bus). Once with the kernel's default receive buffers, once with 4 MiB ones
# (net.core.rmem_default, so the very same binaries are measured). First, the CPU time each
# relay process spends per forwarded frame (user + system, from /proc/PID/stat) at a rate both
# carry without loss: the figure that carries over to the board, whatever the emulator's speed.
# The CPU time is measured for can-bridge detached, and in the foreground (-f, as under systemd)
# with its trace going to /dev/null, which it skips, and to /dev/zero, which swallows the lines
# just the same but is not skipped: the cost of formatting and writing them, as every frame paid
# before the null device was recognised.
# The frame generators and counters run on CPU 1 when the VM has one (the runner keeps it free),
# the relays on CPU 0. Prints figures; fails only when a measurement cannot be made.
# KIT_BENCH_FRAMES (default 100000) and KIT_BENCH_CPU_FRAMES (default 40000) set the lengths of
# the runs, e.g. for a quicker look; KIT_BENCH_CPU_ONLY=1 stops after the CPU time figures.
. "$KIT_LIB"
# The runner shows only a failing case's output; figures go to the console as they come.
exec >/dev/console 2>&1

FRAMES=${KIT_BENCH_FRAMES:-100000}
PROBE=$((FRAMES / 5))
CPU_FRAMES=${KIT_BENCH_CPU_FRAMES:-40000}
CPU_RATE=1000
# utime and stime count in USER_HZ ticks, 100 per second on Linux.
TICK_US=10000
summary=$PWD/summary
generator=
[ "$(grep -c '^processor' /proc/cpuinfo)" -lt 2 ] || generator="taskset -c 1"

bridge_pid() {
    for p in /proc/[0-9]*; do
        case "$(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)" in
        "can-bridge "*) echo "${p#/proc/}" ;;
        esac
    done
}

# start_relay bridge|null|zero|floor: the relay under test on vcan0 (which takes frames as fast
# as they come, so that the rate is the relay's and not that of an adapter's serial line), UDP in
# on 17654, out to 17655; null and zero are can-bridge -f with its trace to /dev/null or /dev/zero.
start_relay() {
    relay_kind=$1
    if [ "$1" = bridge ]; then
        # As on the board: detached, no trace.
        can-bridge -i vcan0 -l 17654 -d 17655 -b 127.0.0.1 || fail "can-bridge did not start"
        relay=$(bridge_pid)
    elif [ "$1" != floor ]; then
        can-bridge -f -i vcan0 -l 17654 -d 17655 -b 127.0.0.1 >/dev/$1 &
        relay=$!
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
    line=$($generator can-bench "$1" -i vcan0 -p $port -n "$3" -f "$2") || fail "can-bench $1 failed"
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

# cpu_ticks PID: user + system time of the process so far, in ticks (fields 14 and 15; the
# name in field 2 has no spaces here).
cpu_ticks() {
    stat=$(cat "/proc/$1/stat") || fail "process $1 is gone"
    set -- $stat
    echo $((${14} + ${15}))
}

# cpu_per_frame c2u|u2c PID: one trial at $CPU_RATE over $CPU_FRAMES / 2 frames; adds the ticks
# PID spent to $ticks, the frames received to $frames and those lost to $lost_all.
cpu_per_frame() {
    before=$(cpu_ticks $2)
    trial $1 $CPU_RATE $((CPU_FRAMES / 2))
    after=$(cpu_ticks $2)
    echo "bench:   $relay_kind $1: $((after - before)) ticks for $received frames"
    ticks=$((ticks + after - before))
    frames=$((frames + received))
    lost_all=$((lost_all + lost))
}

# cpu_figures: each kind of relay in turn, twice, so that all meet the same emulator weather.
cpu_figures() {
    for dir in c2u u2c; do
        for kind in bridge null zero floor; do
            eval "${kind}_ticks_$dir=0 ${kind}_frames_$dir=0 ${kind}_lost_$dir=0"
        done
    done
    for round in 1 2; do
        for kind in bridge null zero floor; do
            start_relay $kind
            set -- $relay $relay
            for dir in c2u u2c; do
                eval "ticks=\$${kind}_ticks_$dir frames=\$${kind}_frames_$dir lost_all=\$${kind}_lost_$dir"
                # The floor is two processes, one per direction; the bridge is one.
                if [ $dir = c2u ]; then cpu_per_frame $dir $1; else cpu_per_frame $dir $2; fi
                eval "${kind}_ticks_$dir=$ticks ${kind}_frames_$dir=$frames ${kind}_lost_$dir=$lost_all"
            done
            stop_relay
        done
    done
    for dir in c2u u2c; do
      for kind in bridge null zero; do
        case $dir in c2u) name="CAN->UDP" ;; *) name="UDP->CAN" ;; esac
        case $kind in
        null) name="-f $name, trace to /dev/null (skipped)" ;;
        zero) name="-f $name, trace to /dev/zero (formatted, as before)" ;;
        esac
        eval "bt=\$${kind}_ticks_$dir bf=\$${kind}_frames_$dir bl=\$${kind}_lost_$dir"
        eval "ft=\$floor_ticks_$dir ff=\$floor_frames_$dir fl=\$floor_lost_$dir"
        # Frames lost at this rate are named: the figure is then not one of a relay keeping up.
        awk -v n="$name" -v bt=$bt -v bf=$bf -v bl=$bl -v ft=$ft -v ff=$ff -v fl=$fl -v u=$TICK_US \
            -v r=$CPU_RATE 'BEGIN {
                b = bt * u / bf
                f = ft * u / ff
                ratio = "n/a"
                if (f > 0)
                    ratio = sprintf("%.2f", b / f)
                printf "bench: can-bridge %s, CPU time per frame at %d frames/s over %d frames: %.1f us (%d lost); floor %.1f us (%d lost); ratio bridge/floor %s\n", n, r, bf + bl, b, bl, f, fl, ratio
            }' | tee -a "$summary"
      done
    done
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

echo "bench: $(grep -m 1 BogoMIPS /proc/cpuinfo | tr -s '\t ' ' '), $(grep -c ^processor /proc/cpuinfo) CPU(s), receive buffers $(cat /proc/sys/net/core/rmem_default) bytes by default; generators ${generator:-on CPU 0 with the relays}"
cpu_figures
if [ "${KIT_BENCH_CPU_ONLY:-0}" = 1 ]; then
    echo "bench: summary"
    cat "$summary"
    exit 0
fi
measure "default"
echo $((4 << 20)) >/proc/sys/net/core/rmem_default || fail "cannot enlarge rmem_default"
measure "4 MiB"
echo "bench: summary"
cat "$summary"
