# SPDX-License-Identifier: GPL-2.0-or-later
# ir-throttle fed bad input from a file standing in for the input device, for what no remote
# makes through the kernel's decoders (ir-throttle-remote plays those): records of other types,
# a clock set back, a torn last record, short reads; and repeats within 250 ms, unhandled codes,
# and CAN writes that fail with can0, the board's serial-line adapter, down. The layout's
# adapter, can1, watches the bus. Each row prints what it should and the loop goes on until
# the device read comes back short.
. "$KIT_LIB"
command -v ir-throttle >/dev/null || skip "ir-throttle is not in this build"

# le32 N: four bytes, least significant first.
le32() {
    for shift in 0 8 16 24; do
        printf "\\$(printf %o $(( ($1 >> shift) & 255 )))"
    done
}
# record SEC USEC TYPE CODE VALUE: one 16-byte input event record as the armhf kernel gives it.
record() {
    le32 $1
    le32 $2
    printf "\\$(printf %o $(($3 & 255)))\\$(printf %o $(($3 >> 8)))"
    printf "\\$(printf %o $(($4 & 255)))\\$(printf %o $(($4 >> 8)))"
    le32 $5
}

{
    record 100 0 4 4 16          # speed up: acts
    record 100 1000 1 16 1       # a key event: ignored, does not restart the guard
    record 100 100000 4 3 16     # within 250 ms: ignored
    record 100 250000 4 4 272    # 0x110 acts as key 16, exactly 250 ms later
    record 101 0 4 4 511         # 0x1ff: unhandled, printed with the full value
    record 101 249999 4 4 17     # 1 us too soon
    record 99 0 4 4 3            # before the last key time (clock set back): ignored
    record 101 250000 4 4 3      # function 3
    printf 'torn'                # 4 bytes of a record that never completes
} >events
expect_eq "event file size" 132 "$(wc -c <events)"

candump -L can1 >on-can &
candump_pid=$!
wait_for 5 grep -q ' can1 ' /proc/net/can/rcvlist_all
ir-throttle -i can0 -r events >out 2>errors
status=$?
wait_for 5 grep -q 000C0300 on-can
kill $candump_pid

expect_eq "status at the end of the file" 1 $status
expect_eq "lines" "loco 5 speed + 16
loco 5 speed + 32
unhandled value 0x1ff
function 3" "$(cat out)"
expect_eq "errors" "error reading IR device: Success" "$(cat errors)"
expect_eq "frames" "00080300#000040050010
00080300#000040050020
000C0300#000040050301" "$(cut -d ' ' -f 3 on-can)"

# A read of 15 bytes or fewer is not a record: the program ends before acting on anything.
record 100 0 4 4 16 | head -c 15 >short
ir-throttle -i can0 -r short >out 2>errors
expect_eq "short read status" 1 $?
expect_eq "short read output" "" "$(cat out)"
expect_eq "short read errors" "error reading IR device: Success" "$(cat errors)"

# With can0 down every write fails: reported, and the keys after it are still handled.
{
    record 5 0 4 4 12
    record 6 0 4 4 13
    record 7 0 4 4 17
} >down-events
ip link set can0 down || fail "can0 down"
ir-throttle -i can0 -r down-events >out 2>errors
status=$?
ip link set can0 up
expect_eq "status, can0 down" 1 $status
expect_eq "lines, can0 down" "Start/Stop
Direction
loco 5 speed - 0 " "$(cat out)"
# The end of the file sets no errno: the last line carries whatever the last failure left.
expect_eq "errors, can0 down" "error writing CAN frame: Network is down
error writing CAN frame: Network is down
error writing CAN frame: Network is down" "$(head -n 3 errors)"
expect_contains "last error, can0 down" "error reading IR device: " "$(tail -n 1 errors)"
expect_eq "error lines, can0 down" 4 "$(wc -l <errors)"

# The device cannot be opened.
ir-throttle -i can0 -r /nonexistent/event1 >out 2>errors
expect_eq "missing device status" 1 $?
expect_eq "missing device errors" "error opening IR device: No such file or directory" "$(cat errors)"
