# SPDX-License-Identifier: GPL-2.0-or-later
# The real s88-reporter with the real GPIO library against an S88 bus that the emulator plays at
# every store to the PIO registers (board/s88_bus_plugin.cpp), so no edge is ever lost.
# s88-reporter-bus-default-timing is this file too: it runs the buses at the reporter's default
# microtiming (15 us), this one at 2 ms.
# kit-timeout: 240
# kit-bus: plain close:3 close:16 open:3@6
# kit-bus: numbering modules:3 close:1 close:17 close:32 close:48
# kit-bus: inverted invert:1 close:5 close:12@2
. "$KIT_LIB"

# "[0x<cycle>] <contact low byte> <old> <new>" of each trace line.
trace_cycles() {
    sed -n 's/^[0-9:.]* \(\[0x[0-9A-F]*\]\) ->S88>UDP  CANID 0x00230300   \[8\] 00 00 00 \(.. .. ..\) 00 00 $/\1 \2/p' "$1"
}

# bus NAME COUNT "REPORTER ARGS" FRAMES [TRACE]: the reporter (at $timing) on bus NAME until
# COUNT frames came (one more than FRAMES: none may come) or 15 s passed; then the datagrams
# and (if given) the trace's cycles.
bus() {
    what="${timing:-default timing}, $1"
    s88-bus "$1" >/dev/null || fail "$what: no bus"
    start_monitor "$1.frames" 15730 -c "$2" -t 15
    s88-reporter -f -b 127.0.0.1 $timing $3 > "$1.trace" 2> "$1.errors" &
    reporter=$!
    wait $monitor_pid
    kill $reporter
    wait $reporter 2>/dev/null
    expect_eq "$what: reporter errors" "" "$(cat "$1.errors")"
    expect_eq "$what: frames" "$4" "$(datagrams "$1.frames")"
    [ $# -lt 5 ] || expect_eq "$what: trace" "$5" "$(trace_cycles "$1.trace")"
}

case $KIT_CASE in
*-default-timing) timing= ;;
*) timing="-t 2000" ;;
esac

# Contacts 3 and 16 closed before start: reported once each, in cycle 4. Contact 3 opens after
# cycle 6: read open from cycle 7, reported in cycle 10. Nothing else within 15 s.
bus plain 4 "" "00 23 03 00 08 00 00 00 03 00 01 00 00
00 23 03 00 08 00 00 00 10 00 01 00 00
00 23 03 00 08 00 00 00 03 01 00 00 00" "[0x00000004] 03 00 01
[0x00000004] 10 00 01
[0x0000000A] 03 01 00"

# Three modules, offset 100: contact j of module m is 100 + 16 m + j
# (101 = 0x65, 117 = 0x75, 132 = 0x84, 148 = 0x94).
bus numbering 5 "-m 3 -o 100" "00 23 03 00 08 00 00 00 65 00 01 00 00
00 23 03 00 08 00 00 00 75 00 01 00 00
00 23 03 00 08 00 00 00 84 00 01 00 00
00 23 03 00 08 00 00 00 94 00 01 00 00"

# Inverted lines: they rest high and pulse low, and a closed contact pulls DATA low.
bus inverted 3 "-i 1" "00 23 03 00 08 00 00 00 05 00 01 00 00
00 23 03 00 08 00 00 00 0c 00 01 00 00" "[0x00000004] 05 00 01
[0x00000006] 0c 00 01"
