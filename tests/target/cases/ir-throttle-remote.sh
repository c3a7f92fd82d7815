# ir-throttle on a real input event device (uinput, as a remote's receiver driver presents
# itself): each press that comes 250 ms or more after the last one sends exactly its frame on
# vcan0 (candump) and prints its line; the raw and scan events of one press, presses closer
# than 250 ms, and key and sync events act not at all; when the device goes away the program
# ends with "error reading IR device: ..." and status 1.
. "$KIT_LIB"

uinput-remote -g go -e end \
    press=16 sleep=400 press=16 sleep=50 press=16 sleep=400 \
    key=16 sleep=400 scan=0x110 sleep=400 raw=17 sleep=400 \
    press=13 sleep=400 press=3 sleep=400 press=3 sleep=400 press=12 sleep=400 \
    press=0x1ff sleep=50 press=16 sleep=400 press=16 >remote 2>remote-errors &
wait_for 10 grep -q '^event' remote
event=$(head -n 1 remote)
device=/dev/input/$event
if [ ! -c "$device" ]; then
    # busybox's mdev does not run here: make the node from what sysfs says.
    mkdir -p /dev/input
    numbers=$(cat /sys/class/input/$event/dev)
    mknod "$device" c "${numbers%:*}" "${numbers#*:}" || fail "mknod $device"
fi

candump -L vcan0 >dump &
dump=$!
ir-throttle -i vcan0 -r "$device" -l 300 >lines 2>errors &
throttle=$!
wait_for 5 sh -c "ls -l /proc/$throttle/fd | grep -q '$device'"
sleep 0.3
touch go
wait_for 30 grep -q '^played' remote
sleep 0.5
kill -0 $throttle || fail "ir-throttle ended early: $(cat errors)"
touch end
wait $throttle
status=$?
kill $dump

expect_eq "lines" "loco 300 speed + 16
loco 300 speed + 32
loco 300 speed + 48
loco 300 speed - 32 
Direction
function 3
function 3
Start/Stop
unhandled value 0x1ff
loco 300 speed + 48" "$(cat lines)"
expect_eq "frames" "vcan0 00080300#0000402C0010
vcan0 00080300#0000402C0020
vcan0 00080300#0000402C0030
vcan0 00080300#0000402C0020
vcan0 000A0300#0000402C02
vcan0 000C0300#0000402C0301
vcan0 000C0300#0000402C0300
vcan0 00000300#0000000001
vcan0 00080300#0000402C0030" "$(sed 's/^([0-9.]*) //' dump)"
expect_eq "status after the device went away" 1 $status
expect_contains "read error" "error reading IR device: " "$(cat errors)"
expect_eq "errors" 1 "$(grep -c . errors)"
