# The board's side of tests/target/lan/run: a session that kit-monitor captured on the host is
# replayed with canplayer into vcan0 here, and can-bridge carries it back to the host's monitor;
# a frame that the host sends with kit-send must show up in candump. The kernel command line
# gives the host's ports: railkit.back=PORT (its monitor) railkit.log=PORT (TCP, the session log).
# kit-timeout: 120
. "$KIT_LIB"

for word in $(cat /proc/cmdline); do
    case $word in
    railkit.back=*) back=${word#*=} ;;
    railkit.log=*) log=${word#*=} ;;
    esac
done
say() { echo "board: $*" >/dev/console; }

wait_for 10 test -e /sys/class/net/eth0
ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2 ||
    fail "no LAN: eth0 does not come up"
nc 10.0.2.2 "$log" >session.log
grep -q '^(' session.log || fail "no session log from the host: $(cat session.log)"

candump vcan0 >bus.txt &
# candump is ready once it shows a frame of ours (sent before the bridge, which would forward it).
wait_for 20 sh -c 'cansend vcan0 1FFFFFFF#; grep -q 1FFFFFFF bus.txt'
can-bridge -i vcan0 -b 10.0.2.2 -d "$back" -f >/dev/null 2>bridge.errors &
wait_for 10 grep -q ':1DE6 ' /proc/net/udp  # port 7654 is bound
say "ready"
wait_for 30 grep -q '00080300' bus.txt
say "candump: $(grep '00080300' bus.txt)"

# The host says when all frames are back, on port 7656.
start_monitor end.txt 7656 -c 1 -t 60
# The log names can0, as kit-monitor writes by default; canplayer maps it onto vcan0.
canplayer -I session.log vcan0=can0 || fail "canplayer failed"
say "replayed $(grep -c '^(' session.log) frames"
wait "$monitor_pid"
grep -q hex= end.txt || fail "the host did not say it has them all"
[ -s bridge.errors ] && fail "can-bridge: $(cat bridge.errors)"
say "done"
