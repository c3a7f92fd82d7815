# The real s88-reporter with the real GPIO library against s88-sim, a simulated S88 bus on the
# /dev/mem stand-in. A microtiming of 2 ms gives the polling simulator time to follow.
# kit-timeout: 240
. "$KIT_LIB"

# run_bus NAME COUNT "SIM ARGS" "REPORTER ARGS": runs the simulator and the reporter until
# COUNT frames came or none came for 8 s; leaves NAME.frames, NAME.trace and NAME.errors.
run_bus() {
    s88-sim $3 > "$1.sim" 2>&1 &
    sim=$!
    wait_for 10 grep -qs ready "$1.sim"
    start_udp_dump "$1.frames" 15730 -n "$2" -t 8000
    s88-reporter -f -b 127.0.0.1 -t 2000 $4 > "$1.trace" 2> "$1.errors" &
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

# Contacts 3 and 16 closed before start: reported once each, in cycle 4. Contact 3 opens after
# cycle 6: read open from cycle 7, reported in cycle 10. Nothing else within 8 s.
run_bus plain 4 "-m 1 close:3 close:16 open:3@6" ""
expect_eq "plain: frames" "13 00 23 03 00 08 00 00 00 03 00 01 00 00
13 00 23 03 00 08 00 00 00 10 00 01 00 00
13 00 23 03 00 08 00 00 00 03 01 00 00 00" "$(cat plain.frames)"
expect_eq "plain: trace" "[0x00000004] 03 00 01
[0x00000004] 10 00 01
[0x0000000A] 03 01 00" "$(trace_cycles plain.trace)"

# Three modules, offset 100: contact j of module m is 100 + 16 m + j
# (101 = 0x65, 117 = 0x75, 132 = 0x84, 148 = 0x94).
run_bus numbering 5 "-m 3 close:1 close:17 close:32 close:48" "-m 3 -o 100"
expect_eq "numbering: frames" "13 00 23 03 00 08 00 00 00 65 00 01 00 00
13 00 23 03 00 08 00 00 00 75 00 01 00 00
13 00 23 03 00 08 00 00 00 84 00 01 00 00
13 00 23 03 00 08 00 00 00 94 00 01 00 00" "$(cat numbering.frames)"

# Inverted lines: they rest high and pulse low, and a closed contact pulls DATA low.
run_bus inverted 3 "-m 1 -i 1 close:5 close:12@2" "-i 1"
expect_eq "inverted: frames" "13 00 23 03 00 08 00 00 00 05 00 01 00 00
13 00 23 03 00 08 00 00 00 0c 00 01 00 00" "$(cat inverted.frames)"
expect_eq "inverted: trace" "[0x00000004] 05 00 01
[0x00000006] 0c 00 01" "$(trace_cycles inverted.trace)"
