# SPDX-License-Identifier: GPL-2.0-or-later
# The whole kit at work on one board, for `./kit demo` (scripts/demo): the VM has a LAN (qemu's
# user-mode network, the server is 10.0.2.2) and all programs run together as on a layout:
#   - s88-reporter, two modules at the default microtiming, on the S88 bus that the emulator plays
#     (the bus script "train" that scripts/demo or scripts/board gives: a train run with contact
#     bounce);
#   - ir-throttle on the IR receiver (rc-loopback with the kernel's NEC decoder), whose remote
#     ir-ctl plays, on can0, the board's serial-line CAN adapter;
#   - can-bridge between can0 and the LAN, so the throttle's frames reach the server;
#   - event-beacon every 5 s.
# candump on can1, the layout's adapter, shows the bus on the console. Lines for the host side
# start with "board: "; at the end the reporter's trace follows as "demo-trace: " (the bus's
# change log is the emulator's, BUILD_DIR/demo/s88-bus.log) and the scan codes that the IR
# decoder gave as "demo-key: SECONDS.MICROSECONDS CODE" (the kernel's time stamps). The kernel
# command line sets the run: railkit.demo=SECONDS (0: run
# until the VM is stopped, for `make board`), railkit.train=FIRST-LAST@CYCLE/PERIOD (the train run
# of the bus script, whose end the board waits for), railkit.microtiming=USEC and
# railkit.ports=S88,BEACON,FRAMES (the server's ports for s88-reporter, event-beacon and
# can-bridge; default their own, 15730, 15731 and 7655).
# kit-timeout: 150
. "$KIT_LIB"

seconds=30
train=13-20@50/300
microtiming=
ports=15730,15731,7655
for word in $(cat /proc/cmdline); do
    case $word in
    railkit.demo=*) seconds=${word#*=} ;;
    railkit.train=*) train=${word#*=} ;;
    railkit.microtiming=*) microtiming="-t ${word#*=}" ;;
    railkit.ports=*) ports=${word#*=} ;;
    esac
done
say() { echo "board: $*" >/dev/console; }
elapsed() { read -r up _ </proc/uptime; echo "${up%.*}"; }

wait_for 10 test -e /sys/class/net/eth0
ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2 ||
    fail "no LAN: eth0 does not come up"
say "LAN up: this board is 10.0.2.15, the server 10.0.2.2"

s88-bus train >/dev/null || fail "no S88 bus"

# For the server's clock relation: it sends datagrams here, the answer carries this board's time.
clock-echo -p 7656 &
echo_pid=$!

# The remote speaks NEC; its scan codes as the decoder gives them, with the kernel's time stamps.
ir_receiver nec
dd if="$event" of=scans bs=16 2>/dev/null &

# Started the way the guide starts them, with the server's address in place of br-lan (the
# user-mode network has no broadcast) and -f as the units give it.
s88_port=${ports%%,*} beacon_port=${ports#*,} frames_port=${ports##*,}
beacon_port=${beacon_port%,*}
start=$(elapsed)
candump can1 >/dev/console &
can-bridge -i can0 -b 10.0.2.2 -d $frames_port -f >bridge.trace 2>bridge.errors &
event-beacon -b 10.0.2.2 -p $beacon_port -i 5 -f >beacon.trace 2>beacon.errors &
ir-throttle -i can0 -l 5 -r "$event" >throttle.lines 2>throttle.errors &
throttle=$!
# shellcheck disable=SC2086
s88-reporter -b 10.0.2.2 -p $s88_port -m 2 $microtiming -f >reporter.trace 2>reporter.errors &
reporter=$!
say "ready: s88-reporter -b 10.0.2.2 -p $s88_port -m 2${microtiming:+ $microtiming}, can-bridge -i can0 -b 10.0.2.2 -d $frames_port, event-beacon -b 10.0.2.2 -p $beacon_port -i 5, ir-throttle -i can0 -l 5 -r $event; the emulator plays the bus \"train\""

if [ "$seconds" = 0 ]; then
    say "running until the VM is stopped"
    while :; do sleep 3600; done
fi
sleep $((seconds / 3))
say "the remote plays: speed + 3 times (the first held), function 3, direction, speed -, start/stop"
# scripts/demo checks that exactly these reach the server, as loco frames (its THROTTLE). A held
# key sends its frame and then NEC's repeat code every 108 ms: the throttle acts once.
for keys in "nec:0x10 gap:40000 nec-repeat gap:96000 nec-repeat" "nec:0x10" "nec:0x10" "nec:0x03" \
    "nec:0x0d" "nec:0x11" "nec:0x0c"; do
    # shellcheck disable=SC2086 # one word a signal
    ir_pulses $keys >keys
    ir-ctl -d "$lirc" -s keys || say "ir-ctl $keys failed"
    sleep 0.7
done

# The train run is over when its last contact is free again (data bytes 2-5: 00 LAST 01 00).
last=$(printf '%02X' "$(echo "$train" | sed 's/^[0-9]*-\([0-9]*\)@.*/\1/')")
while ! grep -q "\[8\] 00 00 00 $last 01 00" reporter.trace && [ $(($(elapsed) - start)) -lt $((seconds + 15)) ]; do
    sleep 0.2
done
while [ $(($(elapsed) - start)) -lt "$seconds" ]; do
    sleep 0.2
done
# The reporter first: a bus that stops answering reads as all contacts changed.
kill $reporter $throttle
wait $reporter $throttle 2>/dev/null
s88-bus -d >/dev/null
say "train run over after $(($(elapsed) - start)) s; waiting for the server's second clock relation"
say "sync"
i=0
while kill -0 $echo_pid 2>/dev/null && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done

for name in reporter bridge beacon throttle; do
    [ -s $name.errors ] && say "$name: $(cat $name.errors)"
done
sed -n 's/^/demo-trace: /p' reporter.trace >/dev/console
# EV_MSC MSC_SCAN records: seconds, microseconds, type and code as one word, the scan code.
hexdump -v -e '4/4 "%u " "\n"' scans | awk '$3 == 262148 { printf "demo-key: %d.%06d %d\n", $1, $2, $4 }' >/dev/console
say "done"
