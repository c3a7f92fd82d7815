# Soak: s88-reporter scans a simulated bus of two modules for KIT_SOAK_SECONDS (default 600)
# while 22 contacts keep changing, each with its own period of 2 to 12 cycles. Every change
# that lasts four cycles must be reported exactly once, in the fourth cycle that reads it, and
# nothing else: the contacts with periods of 2 and 3 cycles never. Checked against both the
# trace lines (which carry the cycle) and the datagrams on the wire.
# kit-timeout: 900
. "$KIT_LIB"

seconds=${KIT_SOAK_SECONDS:-600}
changes=
c=1
while [ $c -le 22 ]; do
    changes="$changes toggle:$c/$((2 + (c - 1) % 11))"
    c=$((c + 1))
done

# On the reporter's CPU, polling every 0.5 ms at real-time priority: it sees every edge however
# busy the emulator's host.
s88-sim -s -p 500 -m 2 -x $((seconds + 60)) $changes >sim.out 2>&1 &
sim=$!
wait_for 10 grep -qs ready sim.out
start_udp_dump frames 15730 -t 60000
s88-reporter -f -m 2 -b 127.0.0.1 -t 2000 >trace 2>errors &
reporter=$!
sleep "$seconds"
kill -0 $reporter 2>/dev/null || fail "s88-reporter ended: $(cat errors)"
# Together: the simulator checks that the cycle under way when it stops is a whole one.
kill $reporter $sim
sleep 1
kill $udp_dump_pid

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
sed -n 's/^13 00 23 03 00 08 00 00 \(..\) \(..\) .. \(..\) 00 00$/0x\1\2 \3/p' frames |
    while read -r contact state; do echo "$((contact)) $((state))"; done | head -n "$count" >wire
cut -d ' ' -f 2,3 got >got-wire

figure "soak s88-reporter: $seconds s, $last cycles, $count changes reported up to cycle $upto, $(wc -l <expected) expected; $(wc -l <frames) datagrams in all; simulator: $(head -n 1 sim.out), $(grep -c '^missed' sim.out) cycle(s) with edges lost"
expect_eq "errors" "" "$(cat errors)"
expect_eq "reported changes (cycle contact state)" "$(cat expected)" "$(cat got)"
expect_eq "datagrams on the wire" "$(cat got-wire)" "$(cat wire)"
