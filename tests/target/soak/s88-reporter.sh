# SPDX-License-Identifier: GPL-2.0-or-later
# Soak: s88-reporter scans the emulator's S88 bus of two modules at its default microtiming for
# KIT_SOAK_SECONDS (default 600) while 22 contacts keep changing, each with its own period of 2
# to 12 cycles. Every change
# that lasts four cycles must be reported exactly once, in the fourth cycle that reads it, and
# nothing else: the contacts with periods of 2 and 3 cycles never. Checked against both the
# trace lines (which carry the cycle) and the datagrams on the wire.
# kit-timeout: 900
# kit-bus: soak modules:2 toggle:1/2 toggle:2/3 toggle:3/4 toggle:4/5 toggle:5/6 toggle:6/7 toggle:7/8 toggle:8/9 toggle:9/10 toggle:10/11 toggle:11/12 toggle:12/2 toggle:13/3 toggle:14/4 toggle:15/5 toggle:16/6 toggle:17/7 toggle:18/8 toggle:19/9 toggle:20/10 toggle:21/11 toggle:22/12
. "$KIT_LIB"

seconds=${KIT_SOAK_SECONDS:-600}
s88-bus soak >/dev/null || fail "no S88 bus"
start_monitor frames 15730
s88-reporter -f -m 2 -b 127.0.0.1 >trace 2>errors &
reporter=$!
sleep "$seconds"
kill -0 $reporter 2>/dev/null || fail "s88-reporter ended: $(cat errors)"
kill $reporter
wait $reporter
kit-send -p 15730 127.0.0.1 $LAST
stop_monitor frames

# "cycle contact new-state" of every trace line, in decimal.
sed -n 's/^[0-9:.]* \[\(0x[0-9A-F]*\)\] ->S88>UDP  CANID 0x00230300   \[8\] 00 00 \(..\) \(..\) .. \(..\) 00 00 $/\1 0x\2\3 \4/p' trace |
    while read -r cycle contact state; do echo "$((cycle)) $((contact)) $((state))"; done >events
expect_eq "trace lines that are not event lines" "$(wc -l <trace)" "$(wc -l <events)"
last=$(tail -n 1 events | cut -d ' ' -f 1)
[ -n "$last" ] || fail "no events at all; errors: $(cat errors)"
# The last cycle may have been cut short by the kill: compare the cycles before it.
upto=$((last - 1))

awk -v upto=$upto '$1 <= upto' events >got
c=1
while [ $c -le 22 ]; do
    period=$((2 + (c - 1) % 11))
    if [ $period -ge 4 ]; then
        k=1
        while [ $((k * period + 4)) -le $upto ]; do
            echo "$((k * period + 4)) $c $((k % 2))"
            k=$((k + 1))
        done
    fi
    c=$((c + 1))
done | sort -n -k1,1 -k2,2 >expected
count=$(wc -l <got)

# The datagrams, in the order sent, against the trace lines.
datagrams frames | sed -n 's/^00 23 03 00 08 00 00 \(..\) \(..\) .. \(..\) 00 00$/0x\1\2 \3/p' |
    while read -r contact state; do echo "$((contact)) $((state))"; done | head -n "$count" >wire
cut -d ' ' -f 2,3 got >got-wire

figure "soak s88-reporter: $seconds s, $last cycles, $count changes reported up to cycle $upto, $(wc -l <expected) expected; $(datagrams frames | wc -l) datagrams in all"
expect_eq "errors" "" "$(cat errors)"
expect_eq "reported changes (cycle contact state)" "$(cat expected)" "$(cat got)"
expect_eq "datagrams on the wire" "$(cat got-wire)" "$(cat wire)"
