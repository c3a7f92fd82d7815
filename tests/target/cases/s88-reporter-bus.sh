# The real s88-reporter with the real GPIO library against s88-sim, a simulated S88 bus on the
# /dev/mem stand-in; s88-reporter-bus-default-timing is this file too. This case runs every bus
# with a microtiming of 2 ms, the simulator sharing the reporter's CPU and polling every 0.5 ms
# at real-time priority. The other runs them at the reporter's default microtiming (15 us),
# which the simulator follows by polling on a CPU of its own; that holds only while the
# emulator's host keeps the CPU running, and the simulator tells when it lost edges. A wrong
# result with lost edges is tried again; when no try of a bus could be judged, that case is
# skipped.
# kit-timeout: 300
. "$KIT_LIB"

# run_bus NAME COUNT "SIM ARGS" "REPORTER ARGS": runs the simulator (with $sim_mode) and the
# reporter (at $timing) until COUNT frames came or none came for 8 s; leaves NAME.frames,
# NAME.trace, NAME.errors and NAME.sim.
run_bus() {
    s88-sim $sim_mode $3 > "$1.sim" 2>&1 &
    sim=$!
    wait_for 10 grep -qs ready "$1.sim"
    start_udp_dump "$1.frames" 15730 -n "$2" -t 8000
    s88-reporter -f -b 127.0.0.1 $timing $4 > "$1.trace" 2> "$1.errors" &
    reporter=$!
    wait $udp_dump_pid
    kill $reporter $sim
    wait $reporter $sim 2>/dev/null
    expect_eq "$1: reporter errors" "" "$(cat "$1.errors")"
}

# "[0x<cycle>] <contact low byte> <old> <new>" of each trace line.
trace_cycles() {
    sed -n 's/^[0-9:.]* \(\[0x[0-9A-F]*\]\) ->S88>UDP  CANID 0x00230300   \[8\] 00 00 00 \(.. .. ..\) 00 00 $/\1 \2/p' "$1"
}

# bus NAME COUNT "SIM ARGS" "REPORTER ARGS" FRAMES [TRACE]: run_bus, then the datagrams and (if
# given) the trace's cycles checked. When they are wrong but the simulator lost edges, the run
# proves nothing and is made again, three times at most; a bus that could not be judged in
# three tries is added to $unjudged when $may_go_unjudged is set, and fails otherwise.
bus() {
    what="${timing:-default timing}, $1"
    attempt=1
    while :; do
        run_bus "$1" "$2" "$3" "$4"
        expect_contains "$what: simulator" "$sim_expects" "$(cat "$1.sim")"
        missed=$(grep -c '^missed' "$1.sim")
        frames=$(cat "$1.frames")
        trace=$(trace_cycles "$1.trace")
        [ "$frames" = "$5" ] && { [ $# -lt 6 ] || [ "$trace" = "$6" ]; } && return 0
        [ "$missed" -gt 0 ] || break
        echo "$what: wrong, but the simulator lost edges in $missed cycle(s), the first: $(grep -m 1 '^missed' "$1.sim")"
        if [ $attempt = 3 ]; then
            [ -z "$may_go_unjudged" ] || { unjudged="$unjudged $1"; return 0; }
            break
        fi
        attempt=$((attempt + 1))
    done
    expect_eq "$what: frames" "$5" "$frames"
    [ $# -lt 6 ] || expect_eq "$what: trace" "$6" "$trace"
}

# The buses at $timing: the filter's cycle numbers in the trace are the same at any timing.
buses() {
    # Contacts 3 and 16 closed before start: reported once each, in cycle 4. Contact 3 opens
    # after cycle 6: read open from cycle 7, reported in cycle 10. Nothing else within 8 s.
    bus plain 4 "-m 1 close:3 close:16 open:3@6" "" "13 00 23 03 00 08 00 00 00 03 00 01 00 00
13 00 23 03 00 08 00 00 00 10 00 01 00 00
13 00 23 03 00 08 00 00 00 03 01 00 00 00" "[0x00000004] 03 00 01
[0x00000004] 10 00 01
[0x0000000A] 03 01 00"

    # Three modules, offset 100: contact j of module m is 100 + 16 m + j
    # (101 = 0x65, 117 = 0x75, 132 = 0x84, 148 = 0x94).
    bus numbering 5 "-m 3 close:1 close:17 close:32 close:48" "-m 3 -o 100" \
        "13 00 23 03 00 08 00 00 00 65 00 01 00 00
13 00 23 03 00 08 00 00 00 75 00 01 00 00
13 00 23 03 00 08 00 00 00 84 00 01 00 00
13 00 23 03 00 08 00 00 00 94 00 01 00 00"

    # Inverted lines: they rest high and pulse low, and a closed contact pulls DATA low.
    bus inverted 3 "-m 1 -i 1 close:5 close:12@2" "-i 1" "13 00 23 03 00 08 00 00 00 05 00 01 00 00
13 00 23 03 00 08 00 00 00 0c 00 01 00 00" "[0x00000004] 05 00 01
[0x00000006] 0c 00 01"
}

case $KIT_CASE in
*-default-timing)
    [ "$(grep -c '^processor' /proc/cpuinfo)" -ge 2 ] || skip "one CPU: the default microtiming needs a second one"
    sim_mode=
    sim_expects="on CPU 1"
    timing=
    may_go_unjudged=yes
    unjudged=
    buses
    [ -z "$unjudged" ] || skip "the simulator lost edges in every try of:$unjudged (the emulator's host was too busy to keep its CPU running)"
    ;;
*)
    sim_mode="-s -p 500"
    sim_expects="on CPU 0 with the reporter"
    timing="-t 2000"
    may_go_unjudged=
    buses
    ;;
esac
