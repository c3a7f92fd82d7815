# SPDX-License-Identifier: GPL-2.0-or-later
# The board's side of tests/target/lan/run: a session that kit-monitor captured on the host is
# replayed with canplayer by the layout (can1, the layout's serial-line adapter) onto the bus,
# and can-bridge on can0, the board's adapter, carries it back to the host's monitor; a frame
# that the host sends with kit-send, and one sent with python-can's bus.send(), must show up in
# candump on the layout's side. Then a train runs over the emulator's S88 bus and s88-reporter sends its events
# to two ports of the host (python-can's bus.recv() and can.logger). The kernel command line
# gives the host's ports: railkit.back=PORT (its monitor) railkit.log=PORT (TCP, the session log)
# railkit.s88=PORT,PORT (the reporter's -p and -s).
# kit-timeout: 300
# kit-bus: train modules:2 train:15-18@20/40
. "$KIT_LIB"

for word in $(cat /proc/cmdline); do
    case $word in
    railkit.back=*) back=${word#*=} ;;
    railkit.log=*) log=${word#*=} ;;
    railkit.s88=*) s88=${word#*=} ;;
    esac
done
say() { echo "board: $*" >/dev/console; }

wait_for 10 test -e /sys/class/net/eth0
ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2 ||
    fail "no LAN: eth0 does not come up"
nc 10.0.2.2 "$log" >session.log
grep -q '^(' session.log || fail "no session log from the host: $(cat session.log)"

candump can1 >bus.txt &
# candump is ready once it shows a frame of ours (sent before the bridge, which would forward it).
wait_for 20 sh -c 'cansend can1 1FFFFFFF#; grep -q 1FFFFFFF bus.txt'
can-bridge -i can0 -b 10.0.2.2 -d "$back" -f >/dev/null 2>bridge.errors &
wait_for 10 grep -q ':1DE6 ' /proc/net/udp  # port 7654 is bound
say "ready"
wait_for 30 grep -q '00080300' bus.txt
say "candump: $(grep '00080300' bus.txt)"
wait_for 30 grep -q '000C0300' bus.txt
say "candump: $(grep '000C0300' bus.txt)"

# The train's run is over when its last contact, 18 (0x12), is free again.
s88-bus train >/dev/null || fail "no S88 bus"
s88-reporter -b 10.0.2.2 -p "${s88%,*}" -s "${s88#*,}" -m 2 -f >reporter.trace 2>reporter.errors &
reporter=$!
wait_for 120 grep -q '\[8\] 00 00 00 12 01 00' reporter.trace
kill "$reporter"
[ -s reporter.errors ] && fail "s88-reporter: $(cat reporter.errors)"
say "train done: $(grep -c 'S88>UDP' reporter.trace) S88 events sent"

# The host says when all frames are back, on port 7656.
start_monitor end.txt 7656 -c 1 -t 60
# The log names can0, as kit-monitor writes by default; canplayer maps it onto the layout's can1.
canplayer -I session.log can1=can0 || fail "canplayer failed"
say "replayed $(grep -c '^(' session.log) frames"
wait "$monitor_pid"
grep -q hex= end.txt || fail "the host did not say it has them all"
[ -s bridge.errors ] && fail "can-bridge: $(cat bridge.errors)"
say "done"
