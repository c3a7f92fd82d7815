# SPDX-License-Identifier: GPL-2.0-or-later
# can-bridge started without -f with standard input closed, then with all three standard streams
# closed (as some init scripts and supervisors start it): none of its three sockets may end up
# on descriptors 0 to 2, which daemon(0, 0) points at the null device. It forwards both ways for
# several seconds.
# kit-timeout: 90
. "$KIT_LIB"

# Rounds of one frame each way, a second apart; $1 names the variant, $2 the ports' last digit.
forward_for_a_while() {
    in_port=1764$2
    out_port=1765$2
    # The gateway on can0, the board's serial-line adapter; candump on can1, the layout's,
    # counts once its socket is on can1's receive list: frames sent before are not seen.
    listeners=$(grep -c ' can1 ' /proc/net/can/rcvlist_all)
    candump -L can1 >"bus-$1" &
    dump=$!
    wait_for 10 sh -c "[ \$(grep -c ' can1 ' /proc/net/can/rcvlist_all) -gt $listeners ]"
    start_monitor "lan-$1" $out_port -c 4 -t 20
    round=1
    while [ $round -le 4 ]; do
        kit-send -p $in_port 127.0.0.1 0000100$round#0$round || fail "kit-send failed"
        cansend can1 0000200$round#0$round || fail "cansend failed"
        sleep 1
        round=$((round + 1))
    done
    wait $monitor_pid
    sleep 0.3
    kill $dump
    expect_eq "$1: datagrams from the bus" "00 00 20 01 01 01 00 00 00 00 00 00 00
00 00 20 02 01 02 00 00 00 00 00 00 00
00 00 20 03 01 03 00 00 00 00 00 00 00
00 00 20 04 01 04 00 00 00 00 00 00 00" "$(datagrams "lan-$1")"
    # The bridge's own frames and those of cansend; within a round either may come first.
    expect_eq "$1: frames on the bus" "can1 00001001#01
can1 00001002#02
can1 00001003#03
can1 00001004#04
can1 00002001#01
can1 00002002#02
can1 00002003#03
can1 00002004#04" "$(sed 's/^([0-9.]*) //' "bus-$1" | sort)"
}

# The parent returns once the daemon's sockets are open.
expect_status "detached with standard input closed" 0 \
    sh -c 'exec can-bridge -i can0 -l 17641 -d 17651 -b 127.0.0.1 <&-'
forward_for_a_while stdin 1
killall can-bridge

expect_status "detached with all standard streams closed" 0 \
    sh -c 'exec can-bridge -i can0 -l 17642 -d 17652 -b 127.0.0.1 <&- >&- 2>&-'
forward_for_a_while all 2
